// Streams an OGC 3D Tiles tileset (?tileset=URL of tileset.json) with
// 3d-tiles-renderer: the tiles that the camera needs are loaded and drawn,
// finer ones as it comes closer. window.tilesViewer exposes the state for
// scripts that drive the page: status "loading" | "ready" | "error", the
// error, the renderer, camera, controls and TilesRenderer, `drawn()` (the
// tiles drawn now) and `settled()` (nothing left to load for this view).
import * as THREE from "three";
import { OrbitControls } from "three/addons/controls/OrbitControls.js";
import { MeshoptDecoder } from "three/addons/libs/meshopt_decoder.module.js";
import { GLTFLoader } from "three/addons/loaders/GLTFLoader.js";
import { TilesRenderer } from "3d-tiles-renderer";

const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
renderer.setPixelRatio(window.devicePixelRatio);
renderer.setSize(window.innerWidth, window.innerHeight);
renderer.setClearColor(0x1b1f27);
document.body.appendChild(renderer.domElement);

const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(50, window.innerWidth / window.innerHeight, 0.01, 1e7);
const controls = new OrbitControls(camera, renderer.domElement);
const state = { status: "loading", error: null, renderer, camera, controls, tiles: null };
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
  tiles.addEventListener("load-root-tileset", () => {
    if (state.status !== "loading") return;
    frame(tiles);
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
