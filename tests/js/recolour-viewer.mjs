// Opens one GLB file in the viewer page with headless Chromium and picks each
// entry of its colour-by menu in turn, as a user would. Prints one JSON line:
// {status, options: [values], states: [{value, pixels, legend}]}, where
// pixels is a digest of the drawn canvas (the count of pixels of each 4-bit
// colour that is not the background) and legend the legend's entry texts.
// Usage: node tests/js/recolour-viewer.mjs BASE_URL FILE_URL
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
  const counts = {};
  for (let i = 0; i < pixels.length; i += 4) {
    if (Math.abs(pixels[i] - pixels[0]) + Math.abs(pixels[i + 1] - pixels[1]) + Math.abs(pixels[i + 2] - pixels[2]) <= 24) continue;
    const key = ((pixels[i] >> 4) << 8) | ((pixels[i + 1] >> 4) << 4) | (pixels[i + 2] >> 4);
    counts[key] = (counts[key] || 0) + 1;
  }
  const legend = [...document.querySelectorAll("#legend:not([hidden]) .entry")].map((e) => e.textContent);
  return { pixels: counts, legend };
}

const [baseUrl, fileUrl] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), "viewer-chromium-"));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: "/usr/bin/chromium", args: CHROMIUM_ARGS, viewport: { width: 800, height: 600 },
});
try {
  const page = await browser.newPage();
  await page.goto(`${baseUrl}/viewer/?file=${encodeURIComponent(fileUrl)}`);
  await page.waitForFunction(() => window.viewer && window.viewer.status !== "loading", null, { timeout: 120000 });
  const status = await page.evaluate(() => window.viewer.status);
  const options = await page.$$eval("#color-by option", (all) => all.map((o) => o.value));
  const states = [];
  for (const value of [...options.slice(1), options[0]]) {
    await page.selectOption("#color-by", value);
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => resolve())));
    states.push({ value, ...(await page.evaluate(drawnColours)) });
  }
  console.log(JSON.stringify({ status, options, states }));
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
