"""`plexorin info` on hostile files: one line naming the file and status 2
within 512 MiB, never a traceback, a hang or gigabytes; its text cannot
drive the terminal and --json is strict JSON."""

import json
import os
import struct

import pytest

from limited_run import assert_refused, run_plexorin


def glb(document, tail=b""):
    data = document.encode() if isinstance(document, str) else document
    data += b" " * (-len(data) % 4)
    body = struct.pack("<II", len(data), 0x4E4F534A) + data + tail
    return struct.pack("<4sII", b"glTF", 2, 12 + len(body)) + body


VIEW = '{"bufferViews":[{"extensions":{"EXT_meshopt_compression":%s}}]}'
HOSTILE = {  # name: (the file's bytes, or how to make it; words of the message, None if summarised)
    "string count": (glb(VIEW % '{"count":"ab","byteStride":1000000000}'), "count"),
    "huge stride": (glb(VIEW % '{"count":8,"byteStride":%d}' % 10**20), "byteStride"),
    "deep nesting": (glb(b'{"asset":' + b"[" * 100_000 + b"]" * 100_000 + b"}"), "nests"),
    "number of extensions": (glb('{"extensionsUsed":5}'), "extensionsUsed"),
    "node translation": (glb('{"scenes":[{"nodes":[0]}],"nodes":[{"translation":"abc"}]}'),
                         "translation"),
    "NaN": (glb('{"accessors":[{"componentType":5126,"count":1,"min":[NaN]}]}'), "NaN"),
    # 4 million empty chunks: a list of them took 30 times the file's size.
    "empty chunks": (glb("{}", struct.pack("<II", 0, 0x004E4942) * 4_000_000), None),
    "fifo": ("fifo", ""),  # opening it for reading would wait for a writer
    "proc": ("/proc/self/status", "magic"),  # its stat says 0 bytes
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_file_gives_one_line_naming_it_within_limits(tmp_path, name):
    data, words = HOSTILE[name]
    path = tmp_path / f"{name}.glb"
    if data == "fifo":
        os.mkfifo(path)
    elif isinstance(data, str):
        path = data
    else:
        path.write_bytes(data)
    run = run_plexorin("info", path, timeout=30)
    if words is None:
        assert run.returncode == 0 and "BIN chunk 0)" in run.stdout, run.stderr
    else:
        assert_refused(run, path, words)


def test_printed_strings_are_escaped_and_json_has_no_infinities(tmp_path):
    path = tmp_path / "x.glb"
    path.write_bytes(glb(
        '{"asset":{"version":"2.0\\u001b[2J","generator":"g\\u0007\\r\\u202e"},"accessors":'
        '[{"componentType":5126,"type":"VEC3","count":1,"min":[1e999,0,-1e400]}],"meshes":'
        '[{"name":"m\\nmesh 9","primitives":[{"attributes":{"POSITION\\u001b":0}}]}]}'))
    text = run_plexorin("info", path).stdout
    assert not any(c in text for c in "\x1b\x07\r\u202e") and len(text.splitlines()) == 8
    assert "2.0\\x1b[2J" in text and '"m\\nmesh 9"' in text
    summary = json.loads(run_plexorin("info", "--json", path).stdout,
                         parse_constant=lambda name: pytest.fail(f"{name} in --json"))
    assert summary["meshes"][0]["primitives"][0]["attributes"]["POSITION\x1b"]["min"] == [None, 0, None]
