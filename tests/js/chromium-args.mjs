// How the browser tests start Debian's Chromium: headless, quiet, and with
// WebGL without a GPU (ANGLE on the SwiftShader software rasteriser).
export const CHROMIUM_ARGS = [
  "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
  "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
];
