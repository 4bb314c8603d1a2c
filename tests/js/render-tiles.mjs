// Opens a tileset in the tileset page (viewer/tiles.html, three.js with
// 3d-tiles-renderer) in Debian's headless Chromium, lets it settle at the
// first view, then moves the camera in toward the centre in steps. Prints
// one JSON line per view: {step, drawn: [{uri, points}], drawnFraction, pageErrors}.
// Usage: node tests/js/render-tiles.mjs BASE_URL TILESET_URL STEPS SCREENSHOT_DIR
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { chromium } from "playwright-core";

import { CHROMIUM_ARGS } from "./chromium-args.mjs";

const TIMEOUT_MS = 180000;

// Runs in the page: the share of pixels that differ from the background.
function drawnFraction() {
  const source = document.querySelector("canvas");
  const copy = document.createElement("canvas");
  copy.width = source.width;
  copy.height = source.height;
  const context = copy.getContext("2d");
  context.drawImage(source, 0, 0);
  const pixels = context.getImageData(0, 0, copy.width, copy.height).data;
  let drawn = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    if (Math.abs(pixels[i] - 0x1b) + Math.abs(pixels[i + 1] - 0x1f) + Math.abs(pixels[i + 2] - 0x27) > 24) drawn += 1;
  }
  return drawn / (pixels.length / 4);
}

async function settle(page) {
  // Settled for a few frames in a row: the renderer may queue more tiles
  // after the ones it just loaded.
  await page.waitForFunction(() => {
    const v = window.tilesViewer;
    if (v.status === "error") return true;
    v.quiet = v.status === "ready" && v.settled() ? (v.quiet ?? 0) + 1 : 0;
    return v.quiet > 20;
  }, null, { timeout: TIMEOUT_MS, polling: 100 });
}

const [baseUrl, tilesetUrl, steps, screenshotDir] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), "tiles-chromium-"));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: "/usr/bin/chromium", args: CHROMIUM_ARGS, viewport: { width: 800, height: 600 },
});
try {
  const page = await browser.newPage();
  const pageErrors = [];
  page.on("pageerror", (error) => pageErrors.push(String(error)));
  page.on("console", (message) => { if (message.type() === "error") pageErrors.push(message.text()); });
  await page.goto(`${baseUrl}/viewer/tiles.html?errorTarget=40&tileset=${encodeURIComponent(tilesetUrl)}`);
  for (let step = 0; step <= Number(steps); step += 1) {
    if (step > 0) {
      await page.evaluate(() => {
        const { camera, controls } = window.tilesViewer;
        camera.position.lerp(controls.target, 0.6);
        controls.update();
      });
    }
    await settle(page);
    const drawn = await page.evaluate(() => window.tilesViewer.drawn());
    await page.screenshot({ path: join(screenshotDir, `tiles-${step}.png`) });
    const error = await page.evaluate(() => window.tilesViewer.error);
    console.log(JSON.stringify({ step, error, drawn, drawnFraction: await page.evaluate(drawnFraction), pageErrors }));
  }
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
