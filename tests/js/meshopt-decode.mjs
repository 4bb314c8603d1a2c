// Decodes EXT_meshopt_compression files with meshoptimizer's own JavaScript
// decoder (npm `meshoptimizer`, independent of the C++ encoder under test)
// and writes each as a plain GLB: every compressed view decoded into one BIN
// chunk, the fallback buffer and the extension removed, everything else as
// it was. Usage: node tests/js/meshopt-decode.mjs IN.glb OUT.glb [IN OUT]...
import { readFileSync, writeFileSync } from "node:fs";
import { MeshoptDecoder } from "meshoptimizer";

const EXTENSION = "EXT_meshopt_compression";
const align4 = (n) => (n + 3) & ~3;

function readGlb(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (view.getUint32(0, true) !== 0x46546c67) throw new Error("not a GLB file");
  const jsonLength = view.getUint32(12, true);
  const json = JSON.parse(new TextDecoder().decode(bytes.subarray(20, 20 + jsonLength)).trim());
  const binStart = 20 + jsonLength;
  const bin = binStart < bytes.length ? bytes.subarray(binStart + 8, binStart + 8 + view.getUint32(binStart, true)) : null;
  return { json, bin };
}

function writeGlb(json, bin) {
  const text = new TextEncoder().encode(JSON.stringify(json));
  const jsonLength = align4(text.length);
  const binLength = align4(bin.length);
  const out = new Uint8Array(28 + jsonLength + binLength);
  const view = new DataView(out.buffer);
  view.setUint32(0, 0x46546c67, true);
  view.setUint32(4, 2, true);
  view.setUint32(8, out.length, true);
  view.setUint32(12, jsonLength, true);
  view.setUint32(16, 0x4e4f534a, true);
  out.fill(0x20, 20, 20 + jsonLength);
  out.set(text, 20);
  view.setUint32(20 + jsonLength, binLength, true);
  view.setUint32(24 + jsonLength, 0x004e4942, true);
  out.set(bin, 28 + jsonLength);
  return out;
}

function decode(bytes) {
  const { json, bin } = readGlb(bytes);
  const views = json.bufferViews.map((view) => {
    const stream = view.extensions && view.extensions[EXTENSION];
    if (!stream) return bin.subarray(view.byteOffset ?? 0, (view.byteOffset ?? 0) + view.byteLength);
    const target = new Uint8Array(stream.count * stream.byteStride);
    const source = bin.subarray(stream.byteOffset ?? 0, (stream.byteOffset ?? 0) + stream.byteLength);
    MeshoptDecoder.decodeGltfBuffer(target, stream.count, stream.byteStride, source, stream.mode, stream.filter);
    return target;
  });
  const out = new Uint8Array(views.reduce((n, v) => align4(n) + v.length, 0));
  let offset = 0;
  json.bufferViews.forEach((view, i) => {
    offset = align4(offset);
    out.set(views[i], offset);
    Object.assign(view, { buffer: 0, byteOffset: offset, byteLength: views[i].length });
    delete view.extensions;
    offset += views[i].length;
  });
  json.buffers = [{ byteLength: out.length }];
  for (const list of ["extensionsUsed", "extensionsRequired"]) {
    json[list] = (json[list] || []).filter((name) => name !== EXTENSION);
  }
  return writeGlb(json, out);
}

await MeshoptDecoder.ready;
const paths = process.argv.slice(2);
for (let i = 0; i + 1 < paths.length; i += 2) {
  writeFileSync(paths[i + 1], decode(new Uint8Array(readFileSync(paths[i]))));
}
