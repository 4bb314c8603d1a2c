// Opens one GLB file in the viewer page (or a tileset in the tiles page) with
// headless Chromium and picks each entry of its colour-by menu in turn, as a
// user would. Prints one JSON line: {status, options: [values], initial,
// states: [{value, colours, legend}], pageErrors}, where colours counts the
// drawn canvas's pixels of each colour (0xRRGGBB) but the background's,
// legend holds the legend's entry texts and initial is the page as it opened
// (null for tiles, whose requests wait until the first entry is picked).
// Usage: node tests/js/recolour-viewer.mjs BASE_URL FILE_URL [tiles]
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

import { CHROMIUM_ARGS } from "./chromium-args.mjs";

// Runs in the page, independent of the viewer's code.
function drawnColours() {
  const source = document.querySelector("canvas");
  const copy = document.createElement("canvas");
  copy.width = source.width;
  copy.height = source.height;
  const context = copy.getContext("2d");
  context.drawImage(source, 0, 0);
  const pixels = context.getImageData(0, 0, copy.width, copy.height).data;
  const colours = {};
  for (let i = 0; i < pixels.length; i += 4) {
    if (Math.abs(pixels[i] - pixels[0]) + Math.abs(pixels[i + 1] - pixels[1]) + Math.abs(pixels[i + 2] - pixels[2]) <= 24) continue;
    const colour = (pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2];
    colours[colour] = (colours[colour] || 0) + 1;
  }
  const legend = [...document.querySelectorAll("#legend:not([hidden]) .entry")].map((e) => e.textContent);
  return { colours, legend };
}

// Nothing left to load: the tiles renderer settled for a few frames in a row
// (the viewer draws at once).
function settled() {
  const v = window.tilesViewer;
  if (v) v.quiet = v.settled() ? (v.quiet ?? 0) + 1 : 0;
  return !v || v.quiet > 20;
}

const [baseUrl, fileUrl, kind] = process.argv.slice(2);
const tiles = kind === "tiles";
const profile = mkdtempSync(join(tmpdir(), "viewer-chromium-"));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: "/usr/bin/chromium", args: CHROMIUM_ARGS, viewport: { width: 800, height: 600 },
});
try {
  const page = await browser.newPage();
  const pageErrors = [];
  page.on("pageerror", (error) => pageErrors.push(String(error)));
  let release = () => {};
  const released = new Promise((resolve) => { release = resolve; });
  if (tiles) await page.route("**/*.glb", async (route) => { await released; await route.continue(); });
  await page.goto(tiles ? `${baseUrl}/viewer/tiles.html?tileset=${encodeURIComponent(fileUrl)}`
    : `${baseUrl}/viewer/?file=${encodeURIComponent(fileUrl)}`);
  await page.waitForFunction(() => (window.viewer || window.tilesViewer)?.status !== "loading", null, { timeout: 120000 });
  const status = await page.evaluate(() => (window.viewer || window.tilesViewer).status);
  const options = await page.$$eval("#color-by option", (all) => all.map((o) => o.value));
  const initial = tiles ? null : await page.evaluate(drawnColours);
  const states = [];
  for (const value of [...options.slice(1), options[0]]) {
    await page.selectOption("#color-by", value);
    release();
    await page.waitForFunction(settled, null, { timeout: 120000, polling: 100 });
    states.push({ value, ...(await page.evaluate(drawnColours)) });
  }
  console.log(JSON.stringify({ status, options, initial, states, pageErrors }));
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
