// Runs the Khronos glTF validator on GLB files and prints one JSON line per
// file: {"file", "numErrors", "numWarnings", "numInfos", "numHints", "messages"}.
// Usage: node scripts/validate-glb.mjs FILE...
// Exit status: 0 when every file was read and validated (whatever it found).
import { readFile } from "node:fs/promises";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const validator = require("gltf-validator");

for (const file of process.argv.slice(2)) {
  const bytes = new Uint8Array(await readFile(file));
  const report = await validator.validateBytes(bytes, { maxIssues: 200, writeTimestamp: false });
  const { numErrors, numWarnings, numInfos, numHints, messages } = report.issues;
  console.log(JSON.stringify({ file, numErrors, numWarnings, numInfos, numHints, messages }));
}
