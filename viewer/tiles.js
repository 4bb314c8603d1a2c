// Streams an OGC 3D Tiles tileset (?tileset=URL of tileset.json) with
// 3d-tiles-renderer: the tiles that the camera needs are loaded and drawn,
// finer ones as it comes closer. window.tilesViewer exposes the state for
// scripts that drive the page: status "loading" | "ready" | "error", the
// error, the renderer, camera, controls and TilesRenderer, `drawn()` (the
// tiles drawn now), `settled()` (nothing left to load for this view), the
// values per point the tileset describes (attributes: {name: [min, max]})
// and colorBy(name), which recolours every tile, loaded or still to come,
// by one of them (null: the tiles' own colours).
import * as THREE from "three";
import { OrbitControls } from "three/addons/controls/OrbitControls.js";
import { MeshoptDecoder } from "three/addons/libs/meshopt_decoder.module.js";
import { GLTFLoader } from "three/addons/loaders/GLTFLoader.js";
import { TilesRenderer } from "3d-tiles-renderer";
import { fileMaterial, legendEntries, offerMenu, paint, presentClasses, showLegendEntries, valueColoring } from "./attributes.js";

const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
renderer.setPixelRatio(window.devicePixelRatio);
renderer.setSize(window.innerWidth, window.innerHeight);
renderer.setClearColor(0x1b1f27);
document.body.appendChild(renderer.domElement);

const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(50, window.innerWidth / window.innerHeight, 0.01, 1e7);
const controls = new OrbitControls(camera, renderer.domElement);
const state = { status: "loading", error: null, renderer, camera, controls, tiles: null, attributes: {}, coloring: null };
window.tilesViewer = state;

function setStatus(text, isError = false) {
  const element = document.getElementById("status");
  element.textContent = text;
  element.className = isError ? "error" : "";
}

// Every drawn tile: its content URI and points. Content of 3D Tiles is
// z-up; the group is turned so that z points up on screen (three.js is y-up).
state.drawn = () => {
  const drawn = [];
  for (const tile of state.tiles.visibleTiles) {
    let points = 0;
    tile.engineData?.scene?.traverse((object) => {
      if (object.isPoints) points += object.geometry.attributes.position.count;
    });
    drawn.push({ uri: tile.content?.uri ?? null, points });
  }
  return drawn;
};
state.settled = () => {
  return state.tiles.loadProgress === 1 && state.tiles.visibleTiles.size > 0;
};

function frame(tiles) {
  const sphere = new THREE.Sphere();
  tiles.getBoundingSphere(sphere);
  sphere.applyMatrix4(tiles.group.matrixWorld);
  controls.target.copy(sphere.center);
  const direction = new THREE.Vector3(0.6, 0.5, 0.9).normalize();
  camera.position.copy(sphere.center).addScaledVector(direction, sphere.radius * 2.6);
  camera.near = sphere.radius / 1000;
  camera.far = sphere.radius * 100;
  camera.updateProjectionMatrix();
  controls.update();
}

// ---- Colour by a value per point ----
// The single values per point a tileset describes, "_name" -> [min, max]:
// properties of its schema's classes with statistics (3D Tiles 1.1) that
// hold a finite minimum and maximum. The tiles' glTF attribute of property
// "name" is "_NAME", which three.js calls "_name".
function describedValues(tileset) {
  const values = {};
  const classes = tileset.schema?.classes ?? {};
  for (const [className, described] of Object.entries(classes)) {
    const statistics = tileset.statistics?.classes?.[className]?.properties ?? {};
    for (const [property, definition] of Object.entries(described?.properties ?? {})) {
      const { min, max } = statistics[property] ?? {};
      if (definition?.type === "SCALAR" && Number.isFinite(min) && Number.isFinite(max)) {
        values[`_${property.toLowerCase()}`] = [min, max];
      }
    }
  }
  return values;
}

// Classes of the loaded tiles, counted once per tile.
function loadedClasses(tiles, name) {
  const present = new Set();
  tiles.forEachLoadedModel((scene) => {
    scene.userData.classes ??= presentClasses(scene, name);
    for (const code of scene.userData.classes) present.add(code);
  });
  return [...present].sort((a, b) => a - b);
}

function showValueLegend(tiles) {
  const coloring = state.coloring;
  const classes = coloring?.byClass ? loadedClasses(tiles, coloring.name) : [];
  showLegendEntries(document.getElementById("legend"), legendEntries(coloring, classes));
}

function offerValues(tiles, tileset) {
  state.attributes = describedValues(tileset);
  state.colorBy = (name) => {
    const previous = state.coloring;
    state.coloring = name ? valueColoring(name, state.attributes[name]) : null;
    tiles.forEachLoadedModel((scene) => paint(scene, state.coloring));
    previous?.dispose();
    showValueLegend(tiles);
  };
  offerMenu(document.getElementById("color-by"), Object.keys(state.attributes), state.colorBy);
  tiles.addEventListener("load-model", ({ scene }) => {
    if (!state.coloring) return;
    paint(scene, state.coloring);
    if (state.coloring.byClass) showValueLegend(tiles);
  });
  // The renderer disposes the material drawn; a tile painted by value also holds its own.
  tiles.addEventListener("dispose-model", ({ scene }) => scene.traverse((object) => {
    if (object.material && fileMaterial(object) !== object.material) fileMaterial(object).dispose();
  }));
}

function open(url) {
  const tiles = new TilesRenderer(url);
  const loader = new GLTFLoader(tiles.manager);
  loader.setMeshoptDecoder(MeshoptDecoder);
  tiles.manager.addHandler(/\.(gltf|glb)$/g, loader);
  // Pixels of geometric error allowed on screen (?errorTarget=, default 6).
  tiles.errorTarget = Number(new URLSearchParams(window.location.search).get("errorTarget") ?? 6);
  tiles.group.rotation.x = -Math.PI / 2;
  tiles.group.updateMatrixWorld(true);
  tiles.setCamera(camera);
  tiles.setResolutionFromRenderer(camera, renderer);
  tiles.addEventListener("load-root-tileset", ({ tileset }) => {
    if (state.status !== "loading") return;
    frame(tiles);
    offerValues(tiles, tileset);
    state.status = "ready";
    setStatus(url);
  });
  tiles.addEventListener("load-error", (event) => {
    state.status = "error";
    state.error = String(event.error);
    setStatus(state.error, true);
  });
  scene.add(tiles.group);
  state.tiles = tiles;
}

window.addEventListener("resize", () => {
  camera.aspect = window.innerWidth / window.innerHeight;
  camera.updateProjectionMatrix();
  renderer.setSize(window.innerWidth, window.innerHeight);
  state.tiles?.setResolutionFromRenderer(camera, renderer);
});

function loop() {
  requestAnimationFrame(loop);
  if (!state.tiles) return;
  camera.updateMatrixWorld();
  state.tiles.update();
  renderer.render(scene, camera);
}

const url = new URLSearchParams(window.location.search).get("tileset");
if (url) open(url);
else state.status = "empty";
loop();
