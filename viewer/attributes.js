// Colour by value: lists the values per point a file carries (glTF
// attributes "_NAME", which three.js keeps as geometry attributes "_name")
// and recolours the points by one of them on the GPU: the value is read as a
// vertex attribute and looked up in a 256-entry colour table (a texture), so
// choosing another attribute uploads nothing but a small table. LAS
// classification uses the ASPRS class colours and the legend names the
// classes; other values a colour map over their range, with a ramp legend.
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

function tableTexture(table) {
  const texture = new THREE.DataTexture(table, 256, 1, THREE.RGBAFormat);
  texture.magFilter = THREE.NearestFilter;
  texture.minFilter = THREE.NearestFilter;
  texture.needsUpdate = true;
  return texture;
}

// The table holds display (sRGB) colours and the fragment writes them as
// they are, as the canvas shows them.
const VERTEX = `
attribute float plexorinValue;
uniform vec2 range;
uniform float size;
varying float place;
void main() {
  place = clamp((plexorinValue - range.x) / max(range.y - range.x, 1e-30), 0.0, 1.0);
  gl_Position = projectionMatrix * modelViewMatrix * vec4(position, 1.0);
  gl_PointSize = size;
}`;
const FRAGMENT = `
uniform sampler2D table;
varying float place;
void main() {
  gl_FragColor = texture2D(table, vec2((place * 255.0 + 0.5) / 256.0, 0.5));
}`;

// The names of the values per point of the model's points, in first-seen order.
export function pointAttributes(model) {
  const names = [];
  model.traverse((object) => {
    if (!object.isPoints) return;
    for (const name of Object.keys(object.geometry.attributes)) {
      if (name.startsWith("_") && object.geometry.attributes[name].itemSize === 1 && !names.includes(name)) names.push(name);
    }
  });
  return names;
}

function valueRange(model, name) {
  let lo = Infinity;
  let hi = -Infinity;
  model.traverse((object) => {
    const attribute = object.isPoints && object.geometry.attributes[name];
    if (!attribute) return;
    for (let i = 0; i < attribute.count; i += 1) {
      const v = attribute.getX(i);
      if (Number.isFinite(v)) {
        if (v < lo) lo = v;
        if (v > hi) hi = v;
      }
    }
  });
  return lo <= hi ? [lo, hi] : [0, 1];
}

function presentClasses(model, name) {
  const present = new Set();
  model.traverse((object) => {
    const attribute = object.isPoints && object.geometry.attributes[name];
    if (attribute) for (let i = 0; i < attribute.count; i += 1) present.add(attribute.getX(i));
  });
  return [...present].sort((a, b) => a - b);
}

// Recolours every point object by `name` (null: back to the file's own
// colours). Returns legend entries: {type, css, text}, or a ramp.
export function colorBy(model, name, mapName = "viridis") {
  const byClass = name === "_classification";
  const [lo, hi] = byClass ? [0, 255] : valueRange(model, name || "");
  const table = tableTexture(byClass ? classTable() : rampTable(RAMPS[mapName] || RAMPS.viridis));
  model.traverse((object) => {
    if (!object.isPoints) return;
    const own = object.userData.fileMaterial || object.material;
    object.userData.fileMaterial = own;
    const attribute = name && object.geometry.attributes[name];
    if (!attribute) {
      object.material = own;
      return;
    }
    object.geometry.setAttribute("plexorinValue", attribute);
    object.material = new THREE.ShaderMaterial({
      vertexShader: VERTEX, fragmentShader: FRAGMENT,
      uniforms: { range: { value: new THREE.Vector2(lo, hi) }, size: { value: own.size * window.devicePixelRatio }, table: { value: table } },
    });
    object.material.size = own.size;
  });
  if (!name) return [];
  if (byClass) {
    return presentClasses(model, name).map((code) => {
      const [label, hex] = CLASSES[code] || [`class ${code}`, OTHER_CLASS];
      return { type: String(code), css: `#${hex}`, text: `${code} · ${label}` };
    });
  }
  const css = (t) => { const i = Math.round(t * 255) * 4; const tb = rampTable(RAMPS[mapName] || RAMPS.viridis); return `rgb(${tb[i]}, ${tb[i + 1]}, ${tb[i + 2]})`; };
  return [0, 0.5, 1].map((t) => ({ type: String(t), css: css(t), text: `${name.slice(1)} ${(lo + (hi - lo) * t).toPrecision(4)}` }));
}
