"""What a GLB file holds, from its header, chunk table and JSON alone.

    summary = read_summary(path)   # a dict of plain values (JSON-ready)
    print(glb_text.describe(summary))   # the text of ``plexorin info``

The BIN chunk is skipped, not read, so a file of any size is summarised in
the time it takes to read its JSON; no data is decoded, so the numbers are
what the JSON declares (counts, component types, bounds). Every value is
checked for its type and range before use (counts below 2**32, compressed
streams no longer than the BIN chunk), so a hostile file gives a one-line
GlbError, never a long wait or a large allocation; bounds beyond a double's
range become None (null in JSON, which has no infinities). Bounds are also
given as placed by the node transforms (_placement.py): in the data's own
coordinates, with the origin and the up axis of a root node that places the
scene.
"""

from __future__ import annotations

import json
import math
import os
import stat
import struct
from pathlib import Path
from typing import Any, BinaryIO

from ._attribute_summary import attribute_summary
from ._placement import PlacementError, placement

MAGIC = b"glTF"
CHUNK_JSON = 0x4E4F534A
CHUNK_BIN = 0x004E4942
HEADER = struct.Struct("<4sII")  # magic, version, total length
CHUNK_HEADER = struct.Struct("<II")  # length, type

MODES = {0: "POINTS", 1: "LINES", 2: "LINE_LOOP", 3: "LINE_STRIP", 4: "TRIANGLES",
         5: "TRIANGLE_STRIP", 6: "TRIANGLE_FAN"}
COMPONENT_TYPES = {5120: "BYTE", 5121: "UNSIGNED_BYTE", 5122: "SHORT", 5123: "UNSIGNED_SHORT",
                   5125: "UNSIGNED_INT", 5126: "FLOAT"}
MESHOPT = "EXT_meshopt_compression"
INSTANCING = "EXT_mesh_gpu_instancing"


class GlbError(ValueError):
    """Not a well-formed GLB file; the message is one line."""


# GLB lengths and glTF indices are 32-bit: no count a loader can use reaches this.
COUNT_LIMIT = 1 << 32
MESHOPT_STRIDE_LIMIT = 256  # the largest byteStride EXT_meshopt_compression allows
BOUND_LENGTH_LIMIT = 16  # components of a MAT4, the widest accessor type


# ---- Container --------------------------------------------------------------

def _read_exactly(file: BinaryIO, count: int, what: str) -> bytes:
    data = file.read(count)
    if len(data) != count:
        raise GlbError(f"the file ends inside the {what}")
    return data


def _read_chunks(file: BinaryIO, size: int) -> tuple[int, bytes, int]:
    """The header's version, the JSON chunk's bytes and the BIN chunks' length.

    Chunks after the JSON one are skipped, not kept, so that memory does not
    grow with their number."""
    magic, version, length = HEADER.unpack(_read_exactly(file, HEADER.size, "12-byte header"))
    if magic != MAGIC:
        raise GlbError(f"not a GLB file (magic {magic!r}, expected b'glTF')")
    if length != size:
        raise GlbError(f"the header gives a length of {length} bytes, the file has {size}")
    json_bytes: bytes | None = None
    bin_bytes = 0
    offset, number = HEADER.size, 0
    while offset < length:
        chunk_length, chunk_type = CHUNK_HEADER.unpack(
            _read_exactly(file, CHUNK_HEADER.size, f"header of chunk {number}"))
        offset += CHUNK_HEADER.size
        if chunk_length > length - offset:
            raise GlbError(f"chunk {number} ({chunk_length} bytes) runs past the end of the file")
        if json_bytes is None:
            if chunk_type != CHUNK_JSON:
                raise GlbError(f"the first chunk is of type 0x{chunk_type:08x}, not JSON")
            json_bytes = _read_exactly(file, chunk_length, "JSON chunk")
        else:
            file.seek(chunk_length, 1)  # BIN and unknown chunks: skipped, never read
            bin_bytes += chunk_length if chunk_type == CHUNK_BIN else 0
        offset += chunk_length
        number += 1
    if json_bytes is None:
        raise GlbError("the file has no JSON chunk")
    return version, json_bytes, bin_bytes


def _not_json_constant(name: str) -> None:
    raise GlbError(f"the JSON chunk holds {name}, which JSON does not have")


def _parse_json(data: bytes) -> dict[str, Any]:
    try:
        document = json.loads(data.decode("utf-8"), parse_constant=_not_json_constant)
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise GlbError(f"the JSON chunk is not valid JSON ({error})") from None
    except GlbError:
        raise
    except RecursionError:
        raise GlbError("the JSON chunk nests arrays or objects too deeply to be read") from None
    except ValueError:  # an integer of more digits than Python converts
        raise GlbError("the JSON chunk holds a number too long to be read") from None
    if not isinstance(document, dict):
        raise GlbError("the JSON chunk does not hold a glTF object")
    return document


# ---- Values of the JSON, each checked for its type and range ----------------

def _integer(value: Any, what: str, limit: int = COUNT_LIMIT) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < limit:
        raise GlbError(f"{what} is not an integer in 0..{limit - 1}")
    return value


def _string(value: Any, what: str) -> str | None:
    if value is not None and not isinstance(value, str):
        raise GlbError(f"{what} is not a string")
    return value


def _object(value: Any, what: str) -> dict[str, Any]:
    """A JSON object; a missing one (None) is empty."""
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise GlbError(f"{what} is not an object")
    return value


def _strings(value: Any, what: str) -> list[str]:
    if value is None:
        return []
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise GlbError(f"{what} is not a list of strings")
    return value


def _bound(value: Any, what: str) -> list[int | float | None]:
    """min or max: numbers, those beyond a double's range as None."""
    if (not isinstance(value, list) or len(value) > BOUND_LENGTH_LIMIT
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value)):
        raise GlbError(f"{what} is not a list of at most {BOUND_LENGTH_LIMIT} numbers")
    return [v if isinstance(v, int) or math.isfinite(v) else None for v in value]


def _items(document: dict[str, Any], key: str) -> list[dict[str, Any]]:
    value = document.get(key, [])
    if not isinstance(value, list) or not all(isinstance(item, dict) for item in value):
        raise GlbError(f'"{key}" is not a list of objects')
    return value


def _index(value: Any, length: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < length:
        shown = value if isinstance(value, int) else f"of type {type(value).__name__}"
        raise GlbError(f"{what} refers to a missing entry {shown} (there are {length})")
    return value


# ---- JSON ---------------------------------------------------------------------

def _accessor(accessors: list[dict[str, Any]], index: Any, what: str) -> dict[str, Any]:
    index = _index(index, len(accessors), what)
    accessor = accessors[index]
    where = f"accessor {index}"
    component = _integer(accessor.get("componentType"), f"{where} componentType")
    summary: dict[str, Any] = {
        "accessor": index,
        "componentType": COMPONENT_TYPES.get(component, str(component)),
        "type": _string(accessor.get("type"), f"{where} type"),
        "count": _integer(accessor.get("count", 0), f"{where} count"),
    }
    normalized = accessor.get("normalized", False)
    if not isinstance(normalized, bool):
        raise GlbError(f"{where} normalized is not true or false")
    if normalized:
        summary["normalized"] = True
    for bound in ("min", "max"):
        if bound in accessor:
            summary[bound] = _bound(accessor[bound], f"{where} {bound}")
    return summary


def _element_count(mode: str, count: int) -> int:
    """Points, lines or triangles drawn by `count` vertices (or indices)."""
    per_mode = {"POINTS": count, "LINES": count // 2, "LINE_LOOP": count if count > 1 else 0,
                "LINE_STRIP": max(count - 1, 0), "TRIANGLES": count // 3,
                "TRIANGLE_STRIP": max(count - 2, 0), "TRIANGLE_FAN": max(count - 2, 0)}
    return per_mode.get(mode, count)


def _extension_names(value: Any, what: str) -> list[str]:
    return sorted(_object(value, f"{what} extensions"))


def _primitive(primitive: dict[str, Any], accessors: list[dict[str, Any]], materials: int,
               what: str) -> dict[str, Any]:
    mode_number = _integer(primitive.get("mode", 4), f"{what} mode")
    mode = MODES.get(mode_number, str(mode_number))
    attributes = _object(primitive.get("attributes"), f"{what} attributes")
    summary: dict[str, Any] = {
        "mode": mode,
        "attributes": {name: _accessor(accessors, index, f"{what} attribute {name[:40]!r}")
                       for name, index in attributes.items()},
    }
    vertices = summary["attributes"].get("POSITION", {}).get("count", 0)
    drawn = vertices
    if "indices" in primitive:
        summary["indices"] = _accessor(accessors, primitive["indices"], f"{what} indices")
        drawn = summary["indices"]["count"]
    summary["vertices"] = vertices
    summary["elements"] = _element_count(mode, drawn)
    if "material" in primitive:
        summary["material"] = _index(primitive["material"], materials, f"{what} material")
    extensions = _extension_names(primitive.get("extensions"), what)
    if extensions:
        summary["extensions"] = extensions
    return summary


def _meshes(document: dict[str, Any], accessors: list[dict[str, Any]]) -> list[dict[str, Any]]:
    materials = len(_items(document, "materials"))
    meshes = []
    for number, mesh in enumerate(_items(document, "meshes")):
        primitives = mesh.get("primitives", [])
        if not isinstance(primitives, list) or not all(isinstance(p, dict) for p in primitives):
            raise GlbError(f"mesh {number}: primitives is not a list of objects")
        meshes.append({"name": _string(mesh.get("name"), f"mesh {number} name"),
                       "primitives": [_primitive(p, accessors, materials,
                                                 f"mesh {number} primitive {i}")
                                      for i, p in enumerate(primitives)]})
    return meshes


def _instances(value: Any, accessors: list[dict[str, Any]], what: str) -> dict[str, Any]:
    attributes = _object(_object(value, what).get("attributes"), f"{what} attributes")
    summaries = {name: _accessor(accessors, index, f"{what} {name[:40]!r}")
                 for name, index in attributes.items()}
    counts = {a["count"] for a in summaries.values()}
    return {"count": max(counts) if counts else 0, "attributes": summaries}


def _nodes(document: dict[str, Any], accessors: list[dict[str, Any]]) -> list[dict[str, Any]]:
    meshes = len(_items(document, "meshes"))
    nodes = []
    for number, node in enumerate(_items(document, "nodes")):
        summary: dict[str, Any] = {"node": number,
                                   "name": _string(node.get("name"), f"node {number} name")}
        if "mesh" in node:
            summary["mesh"] = _index(node["mesh"], meshes, f"node {number} mesh")
        extensions = _object(node.get("extensions"), f"node {number} extensions")
        if extensions.get(INSTANCING) is not None:
            summary["instances"] = _instances(extensions[INSTANCING], accessors,
                                              f"node {number} {INSTANCING}")
        nodes.append(summary)
    return nodes


def _compressed_views(document: dict[str, Any], bin_bytes: int) -> list[dict[str, Any]]:
    views = []
    for number, view in enumerate(_items(document, "bufferViews")):
        where = f"bufferView {number}"
        stream = _object(view.get("extensions"), f"{where} extensions").get(MESHOPT)
        if stream is None:
            continue
        where += f" {MESHOPT}"
        stream = _object(stream, where)
        count = _integer(stream.get("count", 0), f"{where} count")
        stride = _integer(stream.get("byteStride", 0), f"{where} byteStride",
                          MESHOPT_STRIDE_LIMIT + 1)
        # The compressed stream lies in the BIN chunk, so it cannot be longer.
        packed = _integer(stream.get("byteLength", 0), f"{where} byteLength", bin_bytes + 1)
        views.append({"bufferView": number, "mode": _string(stream.get("mode"), f"{where} mode"),
                      "filter": _string(stream.get("filter", "NONE"), f"{where} filter"),
                      "count": count, "byteStride": stride, "byteLength": packed,
                      "decodedLength": count * stride})
    return views


def summarize(document: dict[str, Any], version: int = 2,
              bin_bytes: int = COUNT_LIMIT) -> dict[str, Any]:
    """The summary of a parsed glTF document (see read_summary); `bin_bytes`
    bounds the compressed streams."""
    asset = _object(document.get("asset"), "asset")
    accessors = _items(document, "accessors")
    summary: dict[str, Any] = {
        "container_version": version,
        "version": _string(asset.get("version"), "asset version"),
        "generator": _string(asset.get("generator"), "asset generator"),
        "extensionsUsed": _strings(document.get("extensionsUsed"), "extensionsUsed"),
        "extensionsRequired": _strings(document.get("extensionsRequired"), "extensionsRequired"),
        "counts": {key: len(_items(document, key)) for key in
                   ("scenes", "nodes", "meshes", "materials", "accessors", "bufferViews",
                    "buffers", "textures", "images")},
        "nodes": _nodes(document, accessors),
        "meshes": _meshes(document, accessors),
    }
    values = attribute_summary(document, summary["meshes"], summary["nodes"])
    if values:
        summary["attributes"] = values
    _add_placement(summary, document)
    compressed = _compressed_views(document, bin_bytes)
    if compressed:
        summary["compressed"] = compressed
    return summary


def _open_regular(path: Path) -> BinaryIO:
    """`path` opened for reading if it is a regular file; a FIFO or device is
    refused without waiting for a writer."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise GlbError("not a file")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _add_placement(summary: dict[str, Any], document: dict[str, Any]) -> None:
    """Origin, up axis and placed bounds (see _placement.py) into the summary:
    "bounds" of the scene, of each primitive and of each instanced node."""
    try:
        placed = placement(document)
    except PlacementError as error:
        raise GlbError(str(error)) from None
    summary["origin"], summary["up"] = placed.origin, placed.up
    if placed.bounds is not None:
        summary["bounds"] = _finite_box(placed.bounds)
    for (mesh, number), box in placed.primitives.items():
        summary["meshes"][mesh]["primitives"][number]["bounds"] = _finite_box(box)
    for node, box in placed.instances.items():
        summary["nodes"][node]["instances"]["bounds"] = _finite_box(box)


def _finite_box(box: tuple[list[float], list[float]]) -> dict[str, list[float | None]]:
    """min and max, values beyond a double's range (overflowed transforms) as None."""
    return {key: [v if math.isfinite(v) else None for v in values]
            for key, values in zip(("min", "max"), box)}


def read_summary(path: Path | str) -> dict[str, Any]:
    """What the GLB file at `path` holds: generator, extensions, nodes (with
    instancing), meshes and their primitives (mode, counts, attribute
    accessors with component types and bounds), chunk sizes, and the
    EXT_meshopt_compression views. Every value is checked for its type and
    range; bounds beyond a double's range are None. Raises GlbError, or
    OSError naming `path`."""
    path = Path(path)
    try:
        with _open_regular(path) as file:
            size = os.fstat(file.fileno()).st_size
            version, json_bytes, bin_bytes = _read_chunks(file, size)
        summary = summarize(_parse_json(json_bytes), version, bin_bytes)
    except GlbError as error:
        raise GlbError(f"{path}: {error}") from None
    except OSError as error:
        raise OSError(error.errno, error.strerror, str(path)) from None
    return {"file": str(path), "bytes": size, "json_bytes": len(json_bytes),
            "bin_bytes": bin_bytes, **summary}
