// Plays animated files: play/pause, a frame slider and the frame's time.
// A trajectory written by plexorin.animate holds one node per frame under the
// node "Trajectory"; its animation scales frame k to 1 from its time until
// the next frame's and to 0 otherwise (STEP keyframes). Points scaled to 0
// would still draw one dot at their node's origin, so nodes of zero scale are
// hidden. Frame k's track holds [t0, t1] (k = 0) or [t(k-1), tk, t(k+1)], so
// it starts at its track's first time for k = 0, its second otherwise. Files
// with other animations get play/pause and a slider over the clip's time.
import * as THREE from "three";

const STEPS_WITHOUT_FRAMES = 100;

// The frame nodes' objects in frame order, from the glTF node indices of the
// node "Trajectory"'s children; null when the file has no such node.
function frameObjects(gltf) {
  const json = gltf.parser.json;
  const root = (json.nodes || []).find((node) => node.name === "Trajectory" && Array.isArray(node.children));
  if (!root) return null;
  const byIndex = new Map();
  gltf.scene.traverse((object) => {
    const association = gltf.parser.associations.get(object);
    if (association && association.nodes !== undefined) byIndex.set(association.nodes, object);
  });
  const objects = root.children.map((index) => byIndex.get(index));
  return objects.every(Boolean) ? objects : null;
}

// Sets up the player for `gltf` (shown as gltf.scene); returns its state, or
// null for a file without animation. `render` draws the scene once.
export function createPlayer(gltf, render) {
  const element = document.getElementById("player");
  element.hidden = true;
  if (!gltf.animations || gltf.animations.length === 0) return null;
  const clip = gltf.animations[0];
  const mixer = new THREE.AnimationMixer(gltf.scene);
  mixer.clipAction(clip).play();
  const frames = frameObjects(gltf);
  const starts = frames
    ? clip.tracks.map((track, k) => track.times[k === 0 ? 0 : 1])
    : Array.from({ length: STEPS_WITHOUT_FRAMES }, (_, k) => (k * clip.duration) / STEPS_WITHOUT_FRAMES);
  const unit = gltf.scene.getObjectByName("Trajectory")?.userData.timeUnit;
  const clock = new THREE.Clock(false);
  const button = document.getElementById("play");
  const slider = document.getElementById("frame-slider");
  const label = document.getElementById("frame-time");
  slider.max = String(starts.length - 1);

  const player = { count: starts.length, frame: 0, playing: false, label: "", visibleFrames: 0 };

  function sync() {
    if (frames) {
      player.visibleFrames = 0;
      frames.forEach((object, k) => {
        object.visible = object.scale.x > 0;
        if (object.visible) {
          player.frame = k;
          player.visibleFrames += 1;
        }
      });
    } else {
      player.frame = Math.min(starts.length - 1, Math.floor((mixer.time % clip.duration) / clip.duration * starts.length));
    }
    const time = frames && frames[player.frame].userData.time;
    const shown = typeof time === "number" && unit ? `${time.toLocaleString("en")} ${unit}` : `${starts[player.frame].toFixed(2)} s`;
    player.label = `frame ${player.frame + 1} / ${starts.length} · ${shown}`;
    label.textContent = player.label;
    slider.value = String(player.frame);
    button.textContent = player.playing ? "❚❚" : "▶";
  }

  function tick() {
    if (!player.playing) return;
    mixer.update(clock.getDelta());
    sync();
    render();
    requestAnimationFrame(tick);
  }

  player.play = () => {
    if (player.playing) return;
    player.playing = true;
    clock.start();
    requestAnimationFrame(tick);
    sync();
  };
  player.pause = () => {
    player.playing = false;
    clock.stop();
    sync();
  };
  player.setFrame = (k) => {
    player.pause();
    mixer.setTime(starts[Math.max(0, Math.min(starts.length - 1, k))]);
    sync();
    render();
  };
  // Runs `measure` with every frame at full size (to take the bounds of the
  // whole trajectory), then puts the scales back: the mixer sets a value
  // only when it changes, so it must find the scales it left.
  player.withAllFrames = (measure) => {
    const scales = (frames || []).map((object) => object.scale.clone());
    (frames || []).forEach((object) => object.scale.set(1, 1, 1));
    measure();
    (frames || []).forEach((object, k) => object.scale.copy(scales[k]));
  };

  button.onclick = () => (player.playing ? player.pause() : player.play());
  slider.oninput = () => player.setFrame(Number(slider.value));
  element.hidden = false;
  return player;
}
