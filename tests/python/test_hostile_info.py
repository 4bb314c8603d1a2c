"""`plexorin info` on hostile files: every value of the JSON is checked before
use, so each file gives one line naming it and status 2, within a memory
limit, instead of a traceback, a hang or gigabytes; what it prints cannot
drive the terminal, and --json is JSON."""

import json
import os
import struct

import pytest

from limited_run import assert_one_line_refusal, run_plexorin

ASSET = '"asset":{"version":"2.0"}'
MESHOPT = '"bufferViews":[{"extensions":{"EXT_meshopt_compression":%s}}]'


def glb(document: bytes, tail: bytes = b"") -> bytes:
    document += b" " * (-len(document) % 4)
    body = struct.pack("<II", len(document), 0x4E4F534A) + document + tail
    return struct.pack("<4sII", b"glTF", 2, 12 + len(body)) + body


def document(*members: str) -> bytes:
    return ("{" + ",".join((ASSET, *members)) + "}").encode()


HOSTILE = {  # file: (bytes, words of the message)
    "string count": (glb(document(MESHOPT % '{"count":"ab","byteStride":1000000000}')), "count"),
    "huge stride": (glb(document(MESHOPT % '{"count":8,"byteStride":1e300}')), "byteStride"),
    "stride overflow": (glb(document(MESHOPT % '{"count":8,"byteStride":%d}' % 10**20)), "byteStride"),
    "deep nesting": (glb(b'{"asset":' + b"[" * 100_000 + b"]" * 100_000 + b"}"), "nests"),
    "number of extensions": (glb(document('"extensionsUsed":5')), "extensionsUsed"),
    "NaN": (glb(document('"accessors":[{"componentType":5126,"count":1,"min":[NaN]}]')), "NaN"),
    # 4 million empty chunks: a list of them took 30 times the file's size.
    "empty chunks": (glb(document(), struct.pack("<II", 0, 0x004E4942) * 4_000_000), None),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_file_gives_one_line_or_a_summary_within_limits(tmp_path, name):
    data, words = HOSTILE[name]
    path = tmp_path / f"{name}.glb"
    path.write_bytes(data)
    run = run_plexorin("info", path)
    if words is None:
        assert run.returncode == 0 and "BIN chunk 0)" in run.stdout, run.stderr
    else:
        assert_one_line_refusal(run, path, words)
        assert "join" not in run.stderr and "Traceback" not in run.stderr


@pytest.mark.parametrize("make", ["fifo", "proc"])
def test_a_path_that_is_no_glb_file_is_refused_at_once(tmp_path, make):
    path = tmp_path / "pipe.glb"
    if make == "fifo":
        os.mkfifo(path)  # opening it for reading would wait for a writer
    else:
        path = "/proc/self/status"  # a regular file whose stat says 0 bytes
    assert_one_line_refusal(run_plexorin("info", path, timeout=30), path)


def test_printed_strings_are_escaped_and_json_has_no_infinities(tmp_path):
    path = tmp_path / "x.glb"
    names = '"asset":{"version":"2.0\\u001b[2J","generator":"g\\u0007\\r\\u202e"}'
    accessors = '"accessors":[{"componentType":5126,"type":"VEC3","count":1,"min":[1e999,0,-1e400]}]'
    mesh = '"meshes":[{"name":"m\\nmesh 9","primitives":[{"attributes":{"POSITION\\u001b":0}}]}]'
    path.write_bytes(glb(("{" + ",".join((names, accessors, mesh)) + "}").encode()))
    text = run_plexorin("info", path)
    assert text.returncode == 0, text.stderr
    assert not any(c in text.stdout for c in "\x1b\x07\r\u202e")
    assert "2.0\\x1b[2J" in text.stdout and '"m\\nmesh 9"' in text.stdout
    assert len(text.stdout.splitlines()) == 7
    summary = json.loads(run_plexorin("info", "--json", path).stdout,
                         parse_constant=lambda name: pytest.fail(f"{name} in --json"))
    accessor = summary["meshes"][0]["primitives"][0]["attributes"]["POSITION\x1b"]
    assert accessor["min"] == [None, 0, None]
