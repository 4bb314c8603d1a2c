"""viewer/serve.py through a real HTTP client: what the pages need and nothing
else, only to loopback names, with bounded threads for stalled connections."""

import http.client
import pathlib
import socket
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "viewer"))
import serve  # noqa: E402

FILES = {"page.glb": b"glTF", ".env": b"KEY=1", "notes.txt": b"x", "set/tileset.json": b"{}",
         "set/r.glb": b"tile", ".cache/x.glb": b"x"}


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    root = tmp_path_factory.mktemp("machine")
    (root / "secret.glb").write_bytes(b"secret")
    for name, data in FILES.items():
        (root / "served" / name).parent.mkdir(parents=True, exist_ok=True)
        (root / "served" / name).write_bytes(data)
    for link, target in {"escape.glb": root / "secret.glb", "outside": root,
                         "alias.glb": root / "served" / "page.glb"}.items():
        (root / "served" / link).symlink_to(target)
    with serve.StaticServer(root / "served", timeout=1) as running:
        yield running


def get(server, path, host=None):
    connection = http.client.HTTPConnection(*server.httpd.server_address, timeout=30)
    connection.putrequest("GET", path, skip_host=True)
    connection.putheader("Host", server.url[7:] if host is None else host)
    connection.endheaders()
    response = connection.getresponse()
    return response.status, response.getheader("Content-Type"), response.read()


@pytest.mark.parametrize("path, status", [
    ("/viewer/", 200), ("/viewer/viewer.js", 200), ("/three/build/three.module.js", 200),
    ("/files/page.glb", 200), ("/files/alias.glb", 200), ("/files/set/tileset.json", 200),
    ("/files/set/r.glb", 200), ("/", 302), ("/files/../CMakeLists.txt", 404),
    ("/files/%2e%2e/CMakeLists.txt", 404), ("/viewer/../.git/HEAD", 404), ("/CMakeLists.txt", 404),
    ("/node_modules/three/package.json", 404), ("/viewer/serve.py", 404), ("/three/package.json", 404),
    ("/files/", 404), ("/three/", 404), ("/files/set/", 404), ("/files/.env", 404),
    ("/files/notes.txt", 404), ("/files/.cache/x.glb", 404), ("/files/escape.glb", 404),
    ("/files/outside/secret.glb", 404), ("/files/%00.glb", 400), ("/files/%ff.glb", 400)])
def test_server_serves_only_what_the_pages_need(server, path, status):
    answer, kind, body = get(server, path)
    assert answer == status and b"secret" not in body and b"KEY" not in body
    if path.endswith(".js"):
        assert kind.startswith("text/javascript")
    if path in ("/files/page.glb", "/files/alias.glb"):
        assert body == b"glTF" and kind == "model/gltf-binary"


@pytest.mark.parametrize("host, status", [
    ("localhost:{}", 200), ("127.0.0.1:{}", 200), ("[::1]:{}", 200), ("evil.example:{}", 421),
    ("localhost", 421), ("127.0.0.1:1", 421), ("", 421)])
def test_server_answers_only_requests_for_a_loopback_name(server, host, status):
    host = host.format(server.httpd.server_address[1])
    answer, _, body = get(server, "/files/page.glb", host)
    assert answer == status and (body == b"glTF") == (status == 200)
    if status == 200:  # links in the folder are listed only if they stay in it
        assert get(server, "/files.json", host)[2] == (
            b'{"files": [{"name": "alias.glb", "bytes": 4}, {"name": "page.glb", "bytes": 4}]}')


def test_connections_that_never_finish_a_request_hold_bounded_threads(server):
    threads = threading.active_count()
    stalled = [socket.create_connection(server.httpd.server_address, timeout=30)
               for _ in range(serve.MAX_CONNECTIONS + 8)]
    for connection in stalled:
        connection.sendall(b"GET /files/page.glb HTTP/1.1\r\n")  # and never the rest
    time.sleep(0.5)
    assert threading.active_count() <= threads + serve.MAX_CONNECTIONS
    assert all(connection.recv(1) == b"" for connection in stalled)  # closed after the timeout
    assert get(server, "/files/page.glb")[2] == b"glTF"
    for connection in stalled:
        connection.close()
