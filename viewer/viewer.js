// Shows one GLB file with three.js: loads it from ?file=URL (or a file dropped
// onto the page), frames the camera on its bounds and orbits around it.
// window.viewer exposes the state for scripts that drive the page:
// status "loading" | "ready" | "error", the error text, the scene, the loaded
// model, the renderer and the camera. Rendering happens on demand only (after
// loading, resizing or moving the camera), so an idle page costs nothing.
import * as THREE from "three";
import { GLTFLoader } from "three/addons/loaders/GLTFLoader.js";
import { OrbitControls } from "three/addons/controls/OrbitControls.js";
import { MeshoptDecoder } from "three/addons/libs/meshopt_decoder.module.js";

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
const state = { status: "loading", error: null, scene, model: null, renderer, camera };
window.viewer = state;

const render = () => renderer.render(scene, camera);
controls.addEventListener("change", render);

function setStatus(html, isError = false) {
  const element = document.getElementById("status");
  element.innerHTML = html;
  element.className = isError ? "error" : "";
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

function describe(name, model) {
  const { points, vertices, triangles, instances } = countElements(model);
  const parts = [];
  if (points) parts.push(`${points.toLocaleString("en")} points`);
  if (instances) parts.push(`${instances.toLocaleString("en")} spheres`);
  if (vertices) parts.push(`${vertices.toLocaleString("en")} vertices, ${triangles.toLocaleString("en")} triangles`);
  const size = new THREE.Box3().setFromObject(model).getSize(new THREE.Vector3());
  const box = [size.x, size.y, size.z].map((v) => v.toPrecision(4)).join(" × ");
  return `<span class="file">${name}</span>: ${parts.join(", ")}; box ${box}`;
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

function show(name, gltf) {
  if (state.model) scene.remove(state.model);
  const model = gltf.scene;
  state.model = model;
  scene.add(model);
  setPointSizes(model, pointSize(countElements(model).points));
  frame(model);
  render();
  setStatus(describe(name, model));
  state.status = "ready";
}

function fail(name, error) {
  state.status = "error";
  state.error = String(error && error.message ? error.message : error);
  setStatus(`${name}: ${state.error}`, true);
}

// Compressed files (EXT_meshopt_compression) need the decoder.
const loader = new GLTFLoader().setMeshoptDecoder(MeshoptDecoder);

function loadUrl(url) {
  const name = url.split("/").pop();
  state.status = "loading";
  setStatus(`loading ${name} …`);
  loader.load(url, (gltf) => show(name, gltf), undefined, (error) => fail(name, error));
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
  if (!state.model || (event.key !== "+" && event.key !== "-")) return;
  state.model.traverse((object) => {
    if (object.isPoints) {
      object.material.size = Math.max(1, object.material.size + (event.key === "+" ? 1 : -1));
    }
  });
  render();
});

window.addEventListener("dragover", (event) => event.preventDefault());
window.addEventListener("drop", (event) => {
  event.preventDefault();
  const file = event.dataTransfer.files[0];
  if (file) loadDropped(file);
});

const requested = new URLSearchParams(window.location.search).get("file");
if (requested) {
  loadUrl(requested);
} else {
  state.status = "idle";
  render();
}
