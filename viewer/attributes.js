// Colour by value: lists the values per element a file carries (glTF
// attributes "_NAME" of points and meshes, which three.js keeps as geometry
// attributes "_name", and of instances, EXT_mesh_gpu_instancing's "_NAME",
// which it keeps as written) and recolours points, meshes and instanced
// spheres by one of them on the GPU. Each object gets a copy of its own
// material whose shader reads the value as a vertex (or instance)
// attribute and looks it up in a 256-entry colour table (a texture) in
// place of the base colour, so lit objects stay lit and choosing another
// attribute uploads nothing but a small table. LAS classification uses the
// ASPRS class colours and the legend names the classes; other values a
// colour map over their range, with a ramp legend. The tiles page uses the
// same pieces with ranges from the tileset's statistics.
import * as THREE from "three";

// Viridis and grey at nine even stops (sRGB), interpolated to 256 entries.
const RAMPS = {
  viridis: ["440154", "472c7a", "3b518b", "2c718e", "21908d", "27ad81", "5cc863", "aadc32", "fde725"],
  gray: ["000000", "ffffff"],
};
// ASPRS LAS 1.4 classes (python/plexorin/colormaps.py keeps the same table).
const CLASSES = {
  0: ["never classified", "BABABA"], 1: ["unclassified", "AAAAAA"], 2: ["ground", "AA5500"],
  3: ["low vegetation", "00AAAA"], 4: ["medium vegetation", "55FF55"], 5: ["high vegetation", "00AA00"],
  6: ["building", "FF5555"], 7: ["low noise", "AA0000"], 8: ["reserved", "555555"], 9: ["water", "55FFFF"],
  10: ["rail", "AA00AA"], 11: ["road surface", "000000"], 12: ["reserved", "555555"],
  13: ["wire guard", "FFFF55"], 14: ["wire conductor", "FFFF55"], 15: ["transmission tower", "FF55FF"],
  16: ["wire connector", "FFFF55"], 17: ["bridge deck", "5555FF"], 18: ["high noise", "646464"],
};
const OTHER_CLASS = "555555";
const CLASSIFICATION = "_classification";

const hexBytes = (hex) => [0, 2, 4].map((i) => parseInt(hex.slice(i, i + 2), 16));

function rampTable(stops) {
  const table = new Uint8Array(256 * 4);
  const colors = stops.map(hexBytes);
  for (let i = 0; i < 256; i += 1) {
    const t = (i / 255) * (colors.length - 1);
    const k = Math.min(Math.floor(t), colors.length - 2);
    for (let c = 0; c < 3; c += 1) table[4 * i + c] = Math.round(colors[k][c] + (colors[k + 1][c] - colors[k][c]) * (t - k));
    table[4 * i + 3] = 255;
  }
  return table;
}

function classTable() {
  const table = new Uint8Array(256 * 4);
  for (let i = 0; i < 256; i += 1) {
    table.set([...hexBytes((CLASSES[i] || [null, OTHER_CLASS])[1]), 255], 4 * i);
  }
  return table;
}

// The table holds display (sRGB) colours: marked so, the GPU hands the
// shader linear ones, which lighting scales and the renderer turns back
// into the display colours of the table where nothing dims them.
function tableTexture(table) {
  const texture = new THREE.DataTexture(table, 256, 1, THREE.RGBAFormat);
  texture.colorSpace = THREE.SRGBColorSpace;
  texture.magFilter = THREE.NearestFilter;
  texture.minFilter = THREE.NearestFilter;
  texture.needsUpdate = true;
  return texture;
}

// The value's attribute on a point or mesh object, or null. `name` is the
// menu's "_name"; an instance attribute keeps the file's "_NAME".
function valueAttribute(object, name) {
  if (!(object.isPoints || object.isMesh) || Array.isArray(object.material)) return null;
  const attributes = object.geometry.attributes;
  const found = attributes[name] || (object.isInstancedMesh ? attributes[name.toUpperCase()] : undefined);
  return found && found.itemSize === 1 ? found : null;
}

// The names ("_name") of the single values per point, vertex or instance
// that the model's objects carry, in first-seen order.
export function valueNames(model) {
  const names = [];
  model.traverse((object) => {
    if (!(object.isPoints || object.isMesh)) return;
    for (const key of Object.keys(object.geometry.attributes)) {
      const name = key.toLowerCase();
      if (key.startsWith("_") && !names.includes(name) && valueAttribute(object, name)) names.push(name);
    }
  });
  return names;
}

function forEachValue(root, name, visit) {
  root.traverse((object) => {
    const attribute = valueAttribute(object, name);
    if (attribute) for (let i = 0; i < attribute.count; i += 1) visit(attribute.getX(i));
  });
}

// [min, max] of the finite values over every object carrying `name`.
export function valueRange(root, name) {
  let lo = Infinity;
  let hi = -Infinity;
  forEachValue(root, name, (v) => {
    if (!Number.isFinite(v)) return; // NaN marks no value
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  });
  return lo <= hi ? [lo, hi] : [0, 1];
}

// The class codes present under `root`, sorted.
export function presentClasses(root, name = CLASSIFICATION) {
  const present = new Set();
  forEachValue(root, name, (v) => present.add(v));
  return [...present].sort((a, b) => a - b);
}

// A choice of colouring, shared by every object it paints: the value's
// name, its range and the table, as uniforms of the patched shaders.
export function valueColoring(name, range, mapName = "viridis") {
  const byClass = name === CLASSIFICATION;
  const [lo, hi] = byClass ? [0, 255] : range;
  const table = byClass ? classTable() : rampTable(RAMPS[mapName] || RAMPS.viridis);
  const texture = tableTexture(table);
  return {
    name, byClass, range: [lo, hi], table,
    uniforms: { plexorinRange: { value: new THREE.Vector2(lo, hi) }, plexorinTable: { value: texture } },
    dispose: () => texture.dispose(), // once no object is painted with it
  };
}

// The same shader text for every patched material, so they share programs.
function patchShader(shader, uniforms) {
  Object.assign(shader.uniforms, uniforms);
  shader.vertexShader = "attribute float plexorinValue;\nuniform vec2 plexorinRange;\nvarying float plexorinPlace;\n" +
    shader.vertexShader.replace("#include <begin_vertex>", `#include <begin_vertex>
  plexorinPlace = clamp((plexorinValue - plexorinRange.x) / max(plexorinRange.y - plexorinRange.x, 1e-30), 0.0, 1.0);`);
  shader.fragmentShader = "uniform sampler2D plexorinTable;\nvarying float plexorinPlace;\n" +
    shader.fragmentShader.replace("#include <color_fragment>",
      "diffuseColor.rgb = texture2D(plexorinTable, vec2((plexorinPlace * 255.0 + 0.5) / 256.0, 0.5)).rgb;");
}

function valueMaterial(own, uniforms) {
  const material = own.clone();
  material.onBeforeCompile = (shader) => patchShader(shader, uniforms);
  return material;
}

// Paints one object by `coloring` (null: back to the file's material).
function paintObject(object, coloring) {
  if (!(object.isPoints || object.isMesh) || Array.isArray(object.material)) return;
  const own = object.userData.fileMaterial || object.material;
  if (object.material !== own) {
    if (object.isPoints) own.size = object.material.size; // keep the size chosen meanwhile
    object.material.dispose();
  }
  const attribute = coloring && valueAttribute(object, coloring.name);
  object.material = attribute ? valueMaterial(own, coloring.uniforms) : own;
  if (attribute) object.geometry.setAttribute("plexorinValue", attribute);
  object.userData.fileMaterial = own;
}

export function paint(root, coloring) {
  root.traverse((object) => paintObject(object, coloring));
}

// The file's own material of an object painted by value, or its material.
export const fileMaterial = (object) => object.userData.fileMaterial || object.material;

// Legend entries {type, css, text} of a colouring: the classes given, or
// three stops of the ramp.
export function legendEntries(coloring, classes = []) {
  if (!coloring) return [];
  if (coloring.byClass) {
    return classes.map((code) => {
      const [label, hex] = CLASSES[code] || [`class ${code}`, OTHER_CLASS];
      return { type: String(code), css: `#${hex}`, text: `${code} · ${label}` };
    });
  }
  const [lo, hi] = coloring.range;
  return [0, 0.5, 1].map((t) => {
    const i = Math.round(t * 255) * 4;
    const css = `rgb(${coloring.table[i]}, ${coloring.table[i + 1]}, ${coloring.table[i + 2]})`;
    return { type: String(t), css, text: `${coloring.name.slice(1)} ${(lo + (hi - lo) * t).toPrecision(4)}` };
  });
}

// Recolours every object of the model carrying `name` (null: back to the
// file's own colours), over the value's range in the whole model.
// Returns the legend's entries.
export function colorBy(model, name, mapName = "viridis") {
  const coloring = name ? valueColoring(name, valueRange(model, name), mapName) : null;
  paint(model, coloring);
  model.userData.coloring?.dispose();
  model.userData.coloring = coloring;
  return legendEntries(coloring, coloring && coloring.byClass ? presentClasses(model, name) : []);
}

// The legend element: entries as coloured swatches; texts are shown as
// text, never as markup (they hold names from files).
export function showLegendEntries(element, entries) {
  element.replaceChildren(...entries.map(({ type, css, text }) => {
    const entry = document.createElement("div");
    entry.className = "entry";
    entry.dataset.type = type;
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = css;
    entry.append(swatch, text);
    return entry;
  }));
  element.hidden = entries.length === 0;
}

// Fills the colour-by menu with "_name" values (hidden when there are
// none) and calls choose(value or null) when the user picks one.
export function offerMenu(select, names, choose) {
  const option = (value, text) => Object.assign(document.createElement("option"), { value, textContent: text });
  select.replaceChildren(option("", "colours of the file"), ...names.map((name) => option(name, `colour by ${name.slice(1)}`)));
  select.hidden = names.length === 0;
  select.onchange = () => choose(select.value || null);
}
