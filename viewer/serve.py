"""Serves the viewer page on 127.0.0.1 and prints a link for each GLB file.

    .venv/bin/python viewer/serve.py [--port 8000] [--files out]

URL layout: /viewer/ the page, /three/ three.js from node_modules, /files/
the GLB files (by default the demo's out/ folder), and /files.json the list
of the .glb files in that folder, read at each request:
{"files": [{"name": "atoms.glb", "bytes": 24000648}, ...]}, sorted by name.

Only what the pages need is served, and nothing else of the machine:
- /viewer/: the pages and their scripts (index.html, viewer.js, player.js, attributes.js,
  tiles.html, tiles.js); /three/ and /3d-tiles-renderer/: the JavaScript modules of
  those packages' build/ (and three's examples/jsm/) folders;
- /files/: .glb files and tileset.json files, in the folder or below it.
No listings of folders, no names starting with a dot, no symbolic link
leading out of its folder (links are resolved before the check); anything
else is 404. A path holding a NUL or another control character is 400.
Requests must name the server as localhost, 127.0.0.1 or [::1] with its
port in their Host header, or get 421 (Misdirected Request): a web page
that points a name of its own at 127.0.0.1 (DNS rebinding) cannot read the
files. Connections are accepted from loopback only, at most
MAX_CONNECTIONS at a time (more wait until one closes), and one that sends
nothing for TIMEOUT seconds is closed.

The tests use StaticServer directly: it picks a free port when given port 0
and stops when its `with` block ends.
"""

import argparse
import functools
import http
import http.server
import json
import os
import pathlib
import posixpath
import shutil
import threading
import urllib.parse
from collections.abc import Callable

REPO = pathlib.Path(__file__).resolve().parent.parent
TIMEOUT = 10  # seconds a connection may stay silent
MAX_CONNECTIONS = 32  # a browser opens about six per server
HOSTS = ("localhost", "127.0.0.1", "[::1]")
PAGE_FILES = ("index.html", "viewer.js", "player.js", "attributes.js", "tiles.html", "tiles.js")
CONTENT_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript",
                 ".glb": "model/gltf-binary", ".json": "application/json"}


def _page_file(rest: str) -> bool:
    return rest in PAGE_FILES


def _module(*folders: str) -> Callable[[str], bool]:
    def allowed(rest: str) -> bool:
        return rest.endswith(".js") and rest.startswith(folders)
    return allowed


def _model_file(rest: str) -> bool:
    return rest.endswith(".glb") or posixpath.basename(rest) == "tileset.json"


Mounts = dict[str, tuple[pathlib.Path, Callable[[str], bool]]]


class _Handler(http.server.BaseHTTPRequestHandler):
    def __init__(self, *args, mounts: Mounts, silence: float, **kwargs):
        self.mounts = mounts
        self.silence = silence
        super().__init__(*args, **kwargs)

    def setup(self) -> None:
        super().setup()
        self.connection.settimeout(self.silence)

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    def _answer(self, send_body: bool) -> None:
        if self.headers.get("Host", "") not in self._hosts():
            self.send_error(http.HTTPStatus.MISDIRECTED_REQUEST, "Unknown host")
            return
        try:
            path = urllib.parse.unquote(urllib.parse.urlsplit(self.path).path, errors="strict")
        except (UnicodeDecodeError, ValueError):
            path = ""
        if not path.startswith("/") or not path.isprintable():
            self.send_error(http.HTTPStatus.BAD_REQUEST, "Bad path")
            return
        if path == "/":
            self.send_response(http.HTTPStatus.FOUND)
            self.send_header("Location", "/viewer/")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path == "/files.json":
            self._send(self._file_list(), "application/json", send_body)
            return
        file = self._served_file(path)
        if file is None:
            self.send_error(http.HTTPStatus.NOT_FOUND, "Not served")
            return
        self._send_file(file, send_body)

    def _hosts(self) -> tuple[str, ...]:
        port = self.connection.getsockname()[1]
        return tuple(f"{host}:{port}" for host in HOSTS)

    def _served_file(self, path: str) -> pathlib.Path | None:
        """The file a URL path names if it is one the pages need, else None."""
        if path == "/viewer/":
            path = "/viewer/index.html"
        for prefix, (folder, allowed) in self.mounts.items():
            if not path.startswith(prefix):
                continue
            rest = path[len(prefix):]
            parts = rest.split("/")
            if any(part in ("", ".", "..") or part.startswith(".") for part in parts):
                return None
            if not allowed(rest):
                return None
            try:
                file = folder.joinpath(*parts).resolve(strict=True)
            except (OSError, RuntimeError):  # missing, or a loop of links
                return None
            # Links are followed, but only to files within the folder.
            return file if file.is_relative_to(folder) and file.is_file() else None
        return None

    def _file_list(self) -> bytes:
        folder = self.mounts["/files/"][0]
        files = [{"name": p.name, "bytes": p.stat().st_size} for p in sorted(folder.glob("*.glb"))
                 if p.name.isprintable() and self._served_file(f"/files/{p.name}")]
        return json.dumps({"files": files}).encode()

    def _send(self, body: bytes, content_type: str, send_body: bool) -> None:
        self.send_response(http.HTTPStatus.OK)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def _send_file(self, file: pathlib.Path, send_body: bool) -> None:
        try:
            stream = open(file, "rb")
        except OSError:
            self.send_error(http.HTTPStatus.NOT_FOUND, "Not served")
            return
        with stream:
            self.send_response(http.HTTPStatus.OK)
            self.send_header("Content-Type", CONTENT_TYPES[file.suffix])
            self.send_header("Content-Length", str(os.fstat(stream.fileno()).st_size))
            self.send_header("X-Content-Type-Options", "nosniff")
            self.end_headers()
            if send_body:
                shutil.copyfileobj(stream, self.wfile)

    def log_request(self, code="-", size="-") -> None:
        pass  # quiet: refusals and timeouts still reach stderr through log_error


class _Server(http.server.ThreadingHTTPServer):
    """One thread per connection, at most MAX_CONNECTIONS of them: a further
    connection waits (in the listen queue) until one closes."""

    def __init__(self, address, handler):
        self._slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        self._closing = threading.Event()
        super().__init__(address, handler)

    def process_request(self, request, client_address) -> None:
        while not self._slots.acquire(timeout=0.1):
            if self._closing.is_set():
                self.shutdown_request(request)
                return
        super().process_request(request, client_address)

    def shutdown(self) -> None:
        self._closing.set()
        super().shutdown()

    def process_request_thread(self, request, client_address) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()


class StaticServer:
    """The viewer, three.js and a folder of files on http://127.0.0.1:PORT/."""

    def __init__(self, files: pathlib.Path, port: int = 0, timeout: float = TIMEOUT):
        modules = REPO / "node_modules"
        mounts = {"/viewer/": (REPO / "viewer", _page_file),
                  "/three/": (modules / "three", _module("build/", "examples/jsm/")),
                  "/3d-tiles-renderer/": (modules / "3d-tiles-renderer", _module("build/")),
                  "/files/": (pathlib.Path(files), _model_file)}
        # Folders resolved once, so that containment is checked on real paths.
        mounts = {prefix: (folder.resolve(), allowed) for prefix, (folder, allowed) in mounts.items()}
        handler = functools.partial(_Handler, mounts=mounts, silence=timeout)
        self.httpd = _Server(("127.0.0.1", port), handler)
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
