// Shows one GLB file with three.js: loads it from ?file=URL (or a file dropped
// onto the page), frames the camera on its bounds and orbits around it.
// window.viewer exposes the state for scripts that drive the page:
// status "loading" | "ready" | "error", the error text, the scene, the loaded
// model, the renderer and the camera, the legend's entries, the names of
// the served files (null until listed), the offset the model is shown at,
// the player of an animated file (player.js; null without animation), the
// values per point, vertex or instance it carries (attributes) and
// colorBy(name), which recolours points, meshes and spheres by one of them
// (null: the file's own colours). Rendering happens on demand only
// (after loading, resizing or moving the camera), so an idle page costs nothing.
import * as THREE from "three";
import { GLTFLoader } from "three/addons/loaders/GLTFLoader.js";
import { OrbitControls } from "three/addons/controls/OrbitControls.js";
import { MeshoptDecoder } from "three/addons/libs/meshopt_decoder.module.js";
import { createPlayer } from "./player.js";
import { colorBy, offerMenu, showLegendEntries, valueNames } from "./attributes.js";

const BACKGROUND = 0x1b1f27;
const VIEW_DIRECTION = new THREE.Vector3(1.0, 0.8, 1.2).normalize();

const renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
renderer.setPixelRatio(window.devicePixelRatio);
renderer.setSize(window.innerWidth, window.innerHeight);
renderer.setClearColor(BACKGROUND);
document.body.appendChild(renderer.domElement);

const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(40, window.innerWidth / window.innerHeight, 0.01, 1000);
scene.add(new THREE.HemisphereLight(0xffffff, 0x30343c, 1.2));
const headlight = new THREE.DirectionalLight(0xffffff, 2.0);
headlight.position.set(0.3, 0.6, 1.0);
camera.add(headlight); // the light follows the camera, so the lit side faces the viewer
scene.add(camera);

const controls = new OrbitControls(camera, renderer.domElement);
const state = { status: "loading", error: null, scene, model: null, renderer, camera, legend: [], files: null, offset: [0, 0, 0], player: null };
window.viewer = state;

const render = () => renderer.render(scene, camera);
controls.addEventListener("change", render);

// The status line: strings are shown as text, never parsed as markup, since
// they hold names from the URL and the served folder.
function setStatus(parts, isError = false) {
  const element = document.getElementById("status");
  element.replaceChildren(...[parts].flat());
  element.className = isError ? "error" : "";
}

function fileLabel(name) {
  const label = document.createElement("span");
  label.className = "file";
  label.textContent = name;
  return label;
}

function countElements(model) {
  const counts = { points: 0, vertices: 0, triangles: 0, instances: 0 };
  model.traverse((object) => {
    const geometry = object.geometry;
    if (!geometry) return;
    if (object.isInstancedMesh) {
      counts.instances += object.count; // atoms drawn as spheres
      return;
    }
    const count = geometry.attributes.position.count;
    if (object.isPoints) counts.points += count;
    if (object.isMesh) {
      counts.vertices += count;
      counts.triangles += (geometry.index ? geometry.index.count : count) / 3;
    }
  });
  return counts;
}

function describe(name, model, frames = 1) {
  const counts = countElements(model);
  const [points, vertices, triangles, instances] = ["points", "vertices", "triangles", "instances"]
    .map((key) => counts[key] / frames); // per frame of a trajectory
  const parts = [];
  if (points) parts.push(`${points.toLocaleString("en")} points`);
  if (instances) parts.push(`${instances.toLocaleString("en")} spheres`);
  if (vertices) parts.push(`${vertices.toLocaleString("en")} vertices, ${triangles.toLocaleString("en")} triangles`);
  const size = new THREE.Box3().setFromObject(model).getSize(new THREE.Vector3());
  const box = [size.x, size.y, size.z].map((v) => v.toPrecision(4)).join(" × ");
  const trajectory = frames > 1 ? `${frames.toLocaleString("en")} frames of ` : "";
  return [fileLabel(name), `: ${trajectory}${parts.join(", ")}; box ${box}`];
}

function pointSize(count) {
  // Fewer points get bigger dots so that sparse clouds still read as shapes.
  return count > 200000 ? 2 : count > 20000 ? 3 : 4;
}

function setPointSizes(model, size) {
  model.traverse((object) => {
    if (object.isPoints) object.material.size = size;
  });
}

// ---- Legend of atom types ----
// Atom files get a legend of the types their atoms use. An atom file is one
// whose generator is "plexorin" or "Zarn Native", with a node or mesh named
// "Atoms", whose atoms all have colours of its palette (the older generator
// names point clouds "Atoms" too; their colours are not the palette's).
// Files written with a palette or with elements name their types in the
// extras of the node "Atoms", {"atomTypes": [{"name", "color"}]} in type
// order (python/plexorin/builders/_atoms.py): the legend shows those names,
// element symbols for molecules. Other atom files use the core's default
// palette (glbcore/order/order.h), whose entries are described by the
// elements that older versions of `plexorin convert` mapped onto them.
const ATOM_PALETTE = [
  { type: "0", rgb: [0.5, 0.5, 0.5], text: "type 0 · C" },
  { type: "1", rgb: [1.0, 0.267, 0.267], text: "type 1 · O" },
  { type: "2", rgb: [0.267, 1.0, 0.267], text: "type 2 · F Cl Br I" },
  { type: "3", rgb: [0.267, 0.267, 1.0], text: "type 3 · N" },
  { type: "4", rgb: [1.0, 1.0, 0.267], text: "type 4 · S Se Te" },
  { type: "5", rgb: [1.0, 0.267, 1.0], text: "type 5 · P As Sb" },
  { type: "6", rgb: [0.267, 1.0, 1.0], text: "type 6 · metals" },
  { type: "7+", rgb: [0.6, 0.6, 0.6], text: "type 7+ · H and the rest" },
];
const ATOM_GENERATORS = ["plexorin", "Zarn Native"];
// Colours compared at 8 bits, so float and normalised-integer colours match alike.
const colorKey = (r, g, b) => (Math.round(r * 255) * 256 + Math.round(g * 255)) * 256 + Math.round(b * 255);

function isAtomFile(json) {
  const named = (items) => (items || []).some((item) => item.name === "Atoms");
  return ATOM_GENERATORS.includes(json.asset && json.asset.generator) && (named(json.nodes) || named(json.meshes));
}

// The types the file names, as legend entries, or null. Names are text from
// the file: shown as text, never as markup.
function namedTypes(json) {
  const node = (json.nodes || []).find((item) => item.name === "Atoms" && item.extras && Array.isArray(item.extras.atomTypes));
  if (!node) return null;
  const entries = node.extras.atomTypes.map((entry, index) => ({
    type: String(index),
    rgb: Array.isArray(entry && entry.color) ? entry.color.slice(0, 3).map(Number) : [NaN, NaN, NaN],
    text: String(entry && entry.name),
  }));
  return entries.every(({ rgb }) => rgb.every(Number.isFinite)) ? entries : null;
}

// Sorted indices into `palette` of the atoms' colours (per point, or of the
// material where points or spheres have none); null if one is not a palette colour.
function paletteTypesUsed(model, palette) {
  const index = new Map();
  palette.forEach((entry, i) => {
    const key = colorKey(...entry.rgb);
    if (!index.has(key)) index.set(key, i);
  });
  const used = new Set();
  let foreign = false;
  const note = (r, g, b) => {
    const found = index.get(colorKey(r, g, b));
    if (found === undefined) foreign = true;
    else used.add(found);
  };
  model.traverse((object) => {
    if (!object.isInstancedMesh && !object.isPoints) return;
    const color = object.isPoints && object.geometry.attributes.color;
    if (!color) { // spheres, one instanced mesh per type, and compressed points: the material's colour
      note(object.material.color.r, object.material.color.g, object.material.color.b);
      return;
    }
    for (let i = 0; !foreign && i < color.count; i += 1) note(color.getX(i), color.getY(i), color.getZ(i));
  });
  return foreign ? null : [...used].sort((a, b) => a - b);
}

function showLegend(json, model) {
  const element = document.getElementById("legend");
  const palette = isAtomFile(json) ? namedTypes(json) || ATOM_PALETTE : null;
  const used = palette ? paletteTypesUsed(model, palette) : null;
  state.legend = (used || []).map((index) => palette[index]);
  element.replaceChildren(...state.legend.map(({ type, rgb, text }) => {
    const entry = document.createElement("div");
    entry.className = "entry";
    entry.dataset.type = type;
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    // The palette is linear, as COLOR_0 is: shown in sRGB as the renderer draws it.
    swatch.style.background = new THREE.Color().setRGB(...rgb, THREE.LinearSRGBColorSpace).getStyle();
    entry.append(swatch, text);
    return entry;
  }));
  element.hidden = state.legend.length === 0;
}

// ---- Loading progress and the list of served files ----
function setProgress(fraction) {
  // null hides the bar; undefined shows it without a known length.
  const bar = document.getElementById("progress");
  bar.hidden = fraction === null;
  if (fraction === undefined) bar.removeAttribute("value");
  else if (fraction !== null) bar.value = fraction;
}

// Links to the files serve.py lists at /files.json ({"files": [{name, bytes}]}).
async function listFiles() {
  const element = document.getElementById("files");
  try {
    const response = await fetch("/files.json");
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    const { files } = await response.json();
    element.replaceChildren(...files.map(({ name, bytes }) => {
      const link = document.createElement("a");
      link.href = `?file=/files/${encodeURIComponent(name)}`;
      link.title = `${bytes.toLocaleString("en")} bytes`;
      link.textContent = name;
      return link;
    }));
    if (files.length === 0) element.textContent = "The served folder has no .glb files.";
    state.files = files.map(({ name }) => name);
  } catch (error) {
    element.textContent = `No list of served files (${error.message}).`;
    state.files = [];
  }
}

function frame(model) {
  const sphere = new THREE.Box3().setFromObject(model).getBoundingSphere(new THREE.Sphere());
  const radius = sphere.radius > 0 ? sphere.radius : 1;
  const distance = radius / Math.sin(THREE.MathUtils.degToRad(camera.fov / 2));
  camera.near = distance / 100;
  camera.far = distance * 100;
  camera.position.copy(sphere.center).addScaledVector(VIEW_DIRECTION, distance);
  camera.updateProjectionMatrix();
  controls.target.copy(sphere.center);
  controls.update();
}

// Real coordinates put content millions of units from zero (a root node's
// translation holds them, in double). A camera out there would orbit and
// light in numbers that float32 shaders round to metres, so the model is
// shown moved by minus the centre of its bounds, computed in double: camera,
// orbit and every matrix the GPU gets stay near zero. state.offset is that
// centre, what to add to a point of the scene to get the file's coordinates.
function bringNearZero(model) {
  model.updateMatrixWorld(true);
  const centre = new THREE.Box3().setFromObject(model).getCenter(new THREE.Vector3());
  model.position.copy(centre).negate();
  model.updateMatrixWorld(true);
  state.offset = centre.toArray();
}

function show(name, gltf) {
  if (state.model) scene.remove(state.model);
  if (state.player) state.player.pause();
  const model = gltf.scene;
  state.model = model;
  state.json = gltf.parser.json;
  scene.add(model);
  const player = createPlayer(gltf, render);
  state.player = player;
  const frames = player && player.count > 1 ? player.count : 1;
  let status = null;
  const place = () => {
    bringNearZero(model);
    frame(model);
    status = describe(name, model, frames);
  };
  if (player) player.withAllFrames(place); // the camera frames the whole trajectory
  else place();
  setPointSizes(model, pointSize(countElements(model).points / frames));
  showLegend(gltf.parser.json, model);
  if (player) player.setFrame(0);
  offerValues(model);
  render();
  setProgress(null);
  setStatus(status);
  state.status = "ready";
  if (player) player.play();
}

function fail(name, error) {
  state.status = "error";
  state.error = String(error && error.message ? error.message : error);
  setProgress(null);
  setStatus([fileLabel(name), `: ${state.error}`], true);
}

// ---- Colour by a value per point, vertex or instance ----
state.colorBy = (name) => {
  if (!state.model) return;
  const entries = colorBy(state.model, name || null);
  if (name) {
    state.legend = entries;
    showLegendEntries(document.getElementById("legend"), entries);
  } else {
    showLegend(state.json, state.model);
  }
  state.coloredBy = name || null;
  render();
};

function offerValues(model) {
  const names = valueNames(model);
  state.attributes = names.map((name) => name.slice(1));
  state.coloredBy = null;
  offerMenu(document.getElementById("color-by"), names, state.colorBy);
}

// Compressed files (EXT_meshopt_compression) need the decoder.
const loader = new GLTFLoader().setMeshoptDecoder(MeshoptDecoder);

function loadUrl(url) {
  const name = url.split("/").pop();
  state.status = "loading";
  setStatus(`loading ${name} …`);
  setProgress(undefined);
  const progress = (event) => setProgress(event.lengthComputable ? event.loaded / event.total : undefined);
  loader.load(url, (gltf) => show(name, gltf), progress, (error) => fail(name, error));
}

async function loadDropped(file) {
  state.status = "loading";
  setStatus(`loading ${file.name} …`);
  try {
    const gltf = await loader.parseAsync(await file.arrayBuffer(), "");
    show(file.name, gltf);
  } catch (error) {
    fail(file.name, error);
  }
}

window.addEventListener("resize", () => {
  camera.aspect = window.innerWidth / window.innerHeight;
  camera.updateProjectionMatrix();
  renderer.setSize(window.innerWidth, window.innerHeight);
  render();
});

window.addEventListener("keydown", (event) => {
  if (state.player && event.key === " ") {
    if (state.player.playing) state.player.pause();
    else state.player.play();
    return;
  }
  if (state.model && event.key === "r") {
    frame(state.model); // back to the view the file opened with
    render();
    return;
  }
  if (!state.model || (event.key !== "+" && event.key !== "-")) return;
  state.model.traverse((object) => {
    if (object.isPoints) object.material.size = Math.max(1, object.material.size + (event.key === "+" ? 1 : -1));
  });
  render();
});

window.addEventListener("dragover", (event) => event.preventDefault());
window.addEventListener("drop", (event) => {
  event.preventDefault();
  const file = event.dataTransfer.files[0];
  if (file) loadDropped(file);
});

listFiles();
const requested = new URLSearchParams(window.location.search).get("file");
if (requested) {
  loadUrl(requested);
} else {
  state.status = "idle";
  render();
}
