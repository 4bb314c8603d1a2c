"""Serves the viewer page on 127.0.0.1 and prints a link for each GLB file.

    .venv/bin/python viewer/serve.py [--port 8000] [--files out]

URL layout: /viewer/ the page, /three/ three.js from node_modules, /files/
the GLB files (by default the demo's out/ folder), and /files.json the list
of the .glb files in that folder, read at each request:
{"files": [{"name": "atoms.glb", "bytes": 24000648}, ...]}, sorted by name.
Nothing else of the repository is served, and only loopback connections
are accepted.

The tests use StaticServer directly: it picks a free port when given port 0
and stops when its `with` block ends.
"""

import argparse
import functools
import http.server
import json
import pathlib
import posixpath
import threading
import urllib.parse

REPO = pathlib.Path(__file__).resolve().parent.parent


class _Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".js": "text/javascript", ".glb": "model/gltf-binary"}

    def __init__(self, *args, mounts: dict[str, pathlib.Path], **kwargs):
        self.mounts = mounts
        super().__init__(*args, directory=str(REPO / "viewer"), **kwargs)

    def translate_path(self, path: str) -> str:
        """Map /prefix/rest onto the mounted folder; unknown prefixes map nowhere."""
        clean = posixpath.normpath(urllib.parse.unquote(urllib.parse.urlsplit(path).path))
        for prefix, folder in self.mounts.items():
            if clean == prefix.rstrip("/") or clean.startswith(prefix):
                rest = clean[len(prefix):].lstrip("/")
                return str(folder.joinpath(*[p for p in rest.split("/") if p not in ("", "..")]))
        return str(REPO / "viewer" / "no-such-file")

    def do_GET(self) -> None:
        path = urllib.parse.urlsplit(self.path).path
        if path == "/":
            self.send_response(302)
            self.send_header("Location", "/viewer/")
            self.end_headers()
            return
        if path == "/files.json":
            self._send_file_list()
            return
        super().do_GET()

    def _send_file_list(self) -> None:
        folder = self.mounts["/files/"]
        files = [{"name": p.name, "bytes": p.stat().st_size}
                 for p in sorted(folder.glob("*.glb")) if p.is_file()]
        body = json.dumps({"files": files}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args) -> None:  # quiet: errors still reach stderr
        if args and str(args[1]).startswith(("4", "5")):
            super().log_message(format, *args)


class StaticServer:
    """The viewer, three.js and a folder of files on http://127.0.0.1:PORT/."""

    def __init__(self, files: pathlib.Path, port: int = 0):
        mounts = {"/viewer/": REPO / "viewer",
                  "/three/": REPO / "node_modules" / "three",
                  "/3d-tiles-renderer/": REPO / "node_modules" / "3d-tiles-renderer",
                  "/files/": pathlib.Path(files).resolve()}
        handler = functools.partial(_Handler, mounts=mounts)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self._thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self) -> "StaticServer":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self._thread.join()


def main() -> None:
    parser = argparse.ArgumentParser(description="Serve the GLB viewer on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--files", type=pathlib.Path, default=REPO / "out",
                        help="folder of .glb files to serve under /files/")
    args = parser.parse_args()
    if not (REPO / "node_modules" / "three").is_dir():
        raise SystemExit("three.js is missing: run make demo (or make setup) first")
    with StaticServer(args.files, args.port) as server:
        print(f"Serving {args.files} at {server.url}/viewer/ (Ctrl-C stops)")
        for glb in sorted(pathlib.Path(args.files).glob("*.glb")):
            print(f"  {server.url}/viewer/?file=/files/{glb.name}")
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
