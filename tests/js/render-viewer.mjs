// Opens GLB files in the viewer page (viewer/index.html) with Debian's headless
// Chromium and reports what the browser made of each: the element counts of the
// three.js scene, how much of the canvas is drawn, and a screenshot.
// Usage: node tests/js/render-viewer.mjs BASE_URL SCREENSHOT_DIR FILE_URL...
// Prints one JSON line per file:
//   {file, status, error, points, vertices, triangles, colored, instances (per
//    instanced mesh name: count and material colour), drawnFraction,
//    distinctColors, legend: [{type, color, text}], fileLinks, statusText, title,
//    camera (position), offset (where the viewer moved the model from),
//    pageErrors, screenshot, and for an animated file animation: {count,
//    first and last: {frame, visibleFrames, label}, changedFraction (pixels
//    that differ between the first and the last frame)}}
// The counting and the pixel analysis below run in the page but belong to this
// script, not to the viewer, so a fault in the viewer cannot hide itself.
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

import { CHROMIUM_ARGS } from "./chromium-args.mjs";

const LOAD_TIMEOUT_MS = 120000;

// Runs in the page: what three.js built from the file.
function sceneCounts() {
  const counts = { points: 0, vertices: 0, triangles: 0, colored: true, instances: {} };
  window.viewer.model.traverse((object) => {
    if (!object.isPoints && !object.isMesh) return;
    if (object.isInstancedMesh) {
      counts.instances[object.name] = { count: object.count, color: object.material.color.toArray() };
    }
    const attributes = object.geometry.attributes;
    if (object.isPoints) counts.points += attributes.position.count;
    if (object.isMesh) {
      counts.vertices += attributes.position.count;
      counts.triangles += object.geometry.index.count / 3;
    }
    counts.colored = counts.colored && attributes.color !== undefined && object.material.vertexColors;
  });
  return counts;
}

// Runs in the page: the share of canvas pixels that differ from the corner
// pixel (the background), and how many distinct colours they have (4 bits per channel).
function canvasCoverage() {
  const source = document.querySelector("canvas");
  const copy = document.createElement("canvas");
  copy.width = source.width;
  copy.height = source.height;
  const context = copy.getContext("2d");
  context.drawImage(source, 0, 0);
  const pixels = context.getImageData(0, 0, copy.width, copy.height).data;
  const [r0, g0, b0] = pixels;
  let drawn = 0;
  const colors = new Set();
  for (let i = 0; i < pixels.length; i += 4) {
    const r = pixels[i], g = pixels[i + 1], b = pixels[i + 2];
    if (Math.abs(r - r0) + Math.abs(g - g0) + Math.abs(b - b0) > 24) {
      drawn += 1;
      colors.add(((r >> 4) << 8) | ((g >> 4) << 4) | (b >> 4));
    }
  }
  return { drawnFraction: drawn / (pixels.length / 4), distinctColors: colors.size };
}

// Runs in the page: the legend's entries (type, swatch colour), the files
// linked, the status line's text, the document's title, where the camera is
// and the offset the viewer shows the model at.
function pageParts() {
  const legend = [...document.querySelectorAll("#legend:not([hidden]) .entry")].map((entry) => ({
    type: entry.dataset.type,
    color: getComputedStyle(entry.querySelector(".swatch")).backgroundColor,
    text: entry.textContent,
  }));
  const fileLinks = [...document.querySelectorAll("#files a")]
    .map((link) => new URL(link.href).searchParams.get("file"));
  const statusText = document.getElementById("status").textContent;
  const { camera, offset } = window.viewer;
  return { legend, fileLinks, statusText, title: document.title,
           camera: camera.position.toArray(), offset };
}

// Runs in the page: the player's first and last frames, drawn one after
// the other, and the share of pixels that differ between the two.
function animationFrames() {
  const player = window.viewer.player;
  const pixels = () => {
    const source = document.querySelector("canvas");
    const copy = document.createElement("canvas");
    copy.width = source.width;
    copy.height = source.height;
    copy.getContext("2d").drawImage(source, 0, 0);
    return copy.getContext("2d").getImageData(0, 0, copy.width, copy.height).data;
  };
  const root = window.viewer.model.getObjectByName("Trajectory");
  const shown = (k) => {
    player.setFrame(k);
    // Counted here, not by the player: frame nodes drawn at a non-zero scale.
    const visibleFrames = root.children.filter((node) => node.visible && node.scale.x > 0).length;
    return [{ frame: player.frame, visibleFrames, label: player.label }, pixels()];
  };
  const [first, a] = shown(0);
  const [last, b] = shown(player.count - 1);
  let changed = 0;
  for (let i = 0; i < a.length; i += 4) {
    if (Math.abs(a[i] - b[i]) + Math.abs(a[i + 1] - b[i + 1]) + Math.abs(a[i + 2] - b[i + 2]) > 24) changed += 1;
  }
  return { count: player.count, first, last, changedFraction: changed / (a.length / 4) };
}

async function inspect(browser, baseUrl, screenshotDir, fileUrl) {
  const page = await browser.newPage();
  const pageErrors = [];
  page.on("pageerror", (error) => pageErrors.push(String(error)));
  page.on("console", (message) => {
    if (message.type() === "error") pageErrors.push(message.text());
  });
  await page.goto(`${baseUrl}/viewer/?file=${encodeURIComponent(fileUrl)}`);
  await page.waitForFunction(
    () => window.viewer && window.viewer.status !== "loading" && window.viewer.files !== null,
    null, { timeout: LOAD_TIMEOUT_MS });
  const { status, error } = await page.evaluate(() => ({ status: window.viewer.status, error: window.viewer.error }));
  const name = fileUrl.split("/").pop();
  const screenshot = join(screenshotDir, name.replace(/\.glb$/, ".png"));
  await page.screenshot({ path: screenshot });
  const report = { file: fileUrl, status, error, pageErrors, screenshot, ...(await page.evaluate(pageParts)) };
  if (status === "ready") {
    Object.assign(report, await page.evaluate(sceneCounts), await page.evaluate(canvasCoverage));
    if (await page.evaluate(() => Boolean(window.viewer.player))) {
      report.animation = await page.evaluate(animationFrames);
    }
  }
  await page.close();
  return report;
}

const [baseUrl, screenshotDir, ...files] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), "viewer-chromium-"));
// A persistent context is how playwright takes a user-data-dir of our choosing.
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: "/usr/bin/chromium",
  args: CHROMIUM_ARGS,
  viewport: { width: 800, height: 600 },
});
try {
  for (const file of files) {
    console.log(JSON.stringify(await inspect(browser, baseUrl, screenshotDir, file)));
  }
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
