"""What a GLB file holds, from its header, chunk table and JSON alone.

    summary = read_summary(path)   # a dict of plain values (JSON-ready)
    print(describe(summary))       # the text of ``plexorin info``

The BIN chunk is skipped, not read, so a file of any size is summarised in
the time it takes to read its JSON; no data is decoded, so the numbers are
what the JSON declares (counts, component types, bounds). Bounds are also
given as placed by the node transforms (_placement.py): in the data's own
coordinates, with the origin and the up axis of a root node that places the
scene. A malformed container or JSON raises GlbError with a one-line
message.
"""

from __future__ import annotations

import json
import struct
from pathlib import Path
from typing import Any, BinaryIO

from ._placement import placement

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


# ---- Container --------------------------------------------------------------

def _read_exactly(file: BinaryIO, count: int, what: str) -> bytes:
    data = file.read(count)
    if len(data) != count:
        raise GlbError(f"the file ends inside the {what}")
    return data


def _read_chunks(file: BinaryIO, size: int) -> tuple[int, bytes, list[dict[str, int]]]:
    """The header's version, the JSON chunk's bytes and every chunk's type and length."""
    magic, version, length = HEADER.unpack(_read_exactly(file, HEADER.size, "12-byte header"))
    if magic != MAGIC:
        raise GlbError(f"not a GLB file (magic {magic!r}, expected b'glTF')")
    if length != size:
        raise GlbError(f"the header gives a length of {length} bytes, the file has {size}")
    chunks: list[dict[str, int]] = []
    json_bytes = b""
    offset = HEADER.size
    while offset < length:
        chunk_length, chunk_type = CHUNK_HEADER.unpack(
            _read_exactly(file, CHUNK_HEADER.size, f"header of chunk {len(chunks)}"))
        offset += CHUNK_HEADER.size
        if chunk_length > length - offset:
            raise GlbError(f"chunk {len(chunks)} ({chunk_length} bytes) runs past the end of the file")
        if not chunks:
            if chunk_type != CHUNK_JSON:
                raise GlbError(f"the first chunk is of type 0x{chunk_type:08x}, not JSON")
            json_bytes = _read_exactly(file, chunk_length, "JSON chunk")
        else:
            file.seek(chunk_length, 1)  # BIN and unknown chunks: skipped, never read
        chunks.append({"type": chunk_type, "length": chunk_length})
        offset += chunk_length
    if not chunks:
        raise GlbError("the file has no JSON chunk")
    return version, json_bytes, chunks


def _parse_json(data: bytes) -> dict[str, Any]:
    try:
        document = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise GlbError(f"the JSON chunk is not valid JSON ({error})") from None
    if not isinstance(document, dict):
        raise GlbError("the JSON chunk does not hold a glTF object")
    return document


# ---- JSON ---------------------------------------------------------------------

def _items(document: dict[str, Any], key: str) -> list[dict[str, Any]]:
    value = document.get(key, [])
    if not isinstance(value, list) or not all(isinstance(item, dict) for item in value):
        raise GlbError(f'"{key}" is not a list of objects')
    return value


def _item(items: list[dict[str, Any]], index: Any, what: str) -> dict[str, Any]:
    if not isinstance(index, int) or not 0 <= index < len(items):
        raise GlbError(f"{what} refers to a missing entry {index!r}")
    return items[index]


def _accessor(accessors: list[dict[str, Any]], index: Any, what: str) -> dict[str, Any]:
    accessor = _item(accessors, index, what)
    component = accessor.get("componentType")
    summary: dict[str, Any] = {
        "accessor": index,
        "componentType": COMPONENT_TYPES.get(component, str(component)) if isinstance(component, int)
        else str(component),
        "type": accessor.get("type"),
        "count": accessor.get("count", 0),
    }
    if accessor.get("normalized"):
        summary["normalized"] = True
    for bound in ("min", "max"):
        if bound in accessor:
            summary[bound] = accessor[bound]
    return summary


def _element_count(mode: str, count: int) -> int:
    """Points, lines or triangles drawn by `count` vertices (or indices)."""
    per_mode = {"POINTS": count, "LINES": count // 2, "LINE_LOOP": count if count > 1 else 0,
                "LINE_STRIP": max(count - 1, 0), "TRIANGLES": count // 3,
                "TRIANGLE_STRIP": max(count - 2, 0), "TRIANGLE_FAN": max(count - 2, 0)}
    return per_mode.get(mode, count)


def _primitive(primitive: dict[str, Any], accessors: list[dict[str, Any]], what: str) -> dict[str, Any]:
    mode = MODES.get(primitive.get("mode", 4), str(primitive.get("mode")))
    attributes = primitive.get("attributes", {})
    if not isinstance(attributes, dict):
        raise GlbError(f"{what}: attributes is not an object")
    summary: dict[str, Any] = {
        "mode": mode,
        "attributes": {name: _accessor(accessors, index, f"{what} attribute {name}")
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
        summary["material"] = primitive["material"]
    extensions = primitive.get("extensions")
    if isinstance(extensions, dict) and extensions:
        summary["extensions"] = sorted(extensions)
    return summary


def _meshes(document: dict[str, Any], accessors: list[dict[str, Any]]) -> list[dict[str, Any]]:
    meshes = []
    for number, mesh in enumerate(_items(document, "meshes")):
        primitives = mesh.get("primitives", [])
        if not isinstance(primitives, list) or not all(isinstance(p, dict) for p in primitives):
            raise GlbError(f"mesh {number}: primitives is not a list of objects")
        meshes.append({"name": mesh.get("name"),
                       "primitives": [_primitive(p, accessors, f"mesh {number} primitive {i}")
                                      for i, p in enumerate(primitives)]})
    return meshes


def _nodes(document: dict[str, Any], accessors: list[dict[str, Any]]) -> list[dict[str, Any]]:
    nodes = []
    for number, node in enumerate(_items(document, "nodes")):
        summary: dict[str, Any] = {"node": number, "name": node.get("name")}
        if "mesh" in node:
            summary["mesh"] = node["mesh"]
        instancing = (node.get("extensions") or {}).get(INSTANCING)
        if isinstance(instancing, dict):
            attributes = {name: _accessor(accessors, index, f"node {number} instance {name}")
                          for name, index in (instancing.get("attributes") or {}).items()}
            counts = {a["count"] for a in attributes.values()}
            summary["instances"] = {"count": max(counts) if counts else 0,
                                    "attributes": attributes}
        nodes.append(summary)
    return nodes


def _compressed_views(document: dict[str, Any]) -> list[dict[str, Any]]:
    views = []
    for number, view in enumerate(_items(document, "bufferViews")):
        stream = (view.get("extensions") or {}).get(MESHOPT)
        if not isinstance(stream, dict):
            continue
        count, stride = stream.get("count", 0), stream.get("byteStride", 0)
        views.append({"bufferView": number, "mode": stream.get("mode"),
                      "filter": stream.get("filter", "NONE"), "count": count,
                      "byteStride": stride, "byteLength": stream.get("byteLength", 0),
                      "decodedLength": count * stride})
    return views


def summarize(document: dict[str, Any], version: int = 2) -> dict[str, Any]:
    """The summary of a parsed glTF document (see read_summary)."""
    asset = document.get("asset")
    if not isinstance(asset, dict):
        asset = {}
    accessors = _items(document, "accessors")
    summary: dict[str, Any] = {
        "container_version": version,
        "version": asset.get("version"),
        "generator": asset.get("generator"),
        "extensionsUsed": document.get("extensionsUsed", []),
        "extensionsRequired": document.get("extensionsRequired", []),
        "counts": {key: len(_items(document, key)) for key in
                   ("scenes", "nodes", "meshes", "materials", "accessors", "bufferViews",
                    "buffers", "textures", "images")},
        "nodes": _nodes(document, accessors),
        "meshes": _meshes(document, accessors),
    }
    _add_placement(summary, document)
    compressed = _compressed_views(document)
    if compressed:
        summary["compressed"] = compressed
    return summary


def _add_placement(summary: dict[str, Any], document: dict[str, Any]) -> None:
    """Origin, up axis and placed bounds (see _placement.py) into the summary:
    "bounds" of the scene, of each primitive and of each instanced node."""
    placed = placement(document)
    summary["origin"], summary["up"] = placed.origin, placed.up
    if placed.bounds is not None:
        summary["bounds"] = {"min": placed.bounds[0], "max": placed.bounds[1]}
    for (mesh, number), (low, high) in placed.primitives.items():
        summary["meshes"][mesh]["primitives"][number]["bounds"] = {"min": low, "max": high}
    for node, (low, high) in placed.instances.items():
        summary["nodes"][node]["instances"]["bounds"] = {"min": low, "max": high}


def read_summary(path: Path | str) -> dict[str, Any]:
    """What the GLB file at `path` holds: generator, extensions, nodes (with
    instancing), meshes and their primitives (mode, counts, attribute
    accessors with component types and bounds), chunk sizes, and the
    EXT_meshopt_compression views. Raises GlbError or OSError."""
    path = Path(path)
    try:
        with open(path, "rb") as file:
            size = file.seek(0, 2)
            file.seek(0)
            version, json_bytes, chunks = _read_chunks(file, size)
        summary = summarize(_parse_json(json_bytes), version)
    except GlbError as error:
        raise GlbError(f"{path}: {error}") from None
    except (AttributeError, TypeError, ValueError) as error:  # JSON of unexpected shape
        raise GlbError(f"{path}: the glTF JSON is malformed ({error})") from None
    bin_bytes = sum(c["length"] for c in chunks if c["type"] == CHUNK_BIN)
    return {"file": str(path), "bytes": size, "json_bytes": chunks[0]["length"],
            "bin_bytes": bin_bytes, **summary}


# ---- Text ---------------------------------------------------------------------

def _number(value: Any) -> str:
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e16:
        return str(int(value))
    return repr(value) if isinstance(value, float) else str(value)


def _vector(values: Any) -> str:
    return "[" + ", ".join(_number(v) for v in values) + "]" if isinstance(values, list) else str(values)


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count:,} {word if count == 1 else words or word + 's'}"


ELEMENT_WORDS = {"POINTS": "point", "TRIANGLES": "triangle", "TRIANGLE_STRIP": "triangle",
                 "TRIANGLE_FAN": "triangle"}


def _accessor_line(name: str, accessor: dict[str, Any],
                   placed: dict[str, Any] | None = None) -> str:
    """One accessor; POSITION and TRANSLATION with their bounds, as placed
    when they are (the stored ones otherwise)."""
    kind = f"{accessor['componentType']}{' normalized' if accessor.get('normalized') else ''} {accessor['type']}"
    line = f"    {name:<11} {kind:<29} {accessor['count']:>11,}"
    bounds = placed or accessor
    if name in ("POSITION", "TRANSLATION") and "min" in bounds and "max" in bounds:
        line += f"  min {_vector(bounds['min'])}  max {_vector(bounds['max'])}"
    return line


def _primitive_lines(number: int, primitive: dict[str, Any]) -> list[str]:
    word = ELEMENT_WORDS.get(primitive["mode"], "line")
    head = f"  primitive {number}: {primitive['mode']}, {plural(primitive['elements'], word)}"
    if primitive["mode"] != "POINTS":
        head += f", {plural(primitive['vertices'], 'vertex', 'vertices')}"
    if "material" in primitive:
        head += f", material {primitive['material']}"
    lines = [head]
    lines += [_accessor_line(name, a, primitive.get("bounds") if name == "POSITION" else None)
              for name, a in primitive["attributes"].items()]
    if "indices" in primitive:
        lines.append(_accessor_line("indices", primitive["indices"]))
    return lines


def _placement_line(summary: dict[str, Any]) -> str:
    origin = summary.get("origin")
    line = f"origin {_vector(origin) if origin else 'none (coordinates as stored)'}, {summary['up']} up"
    if "bounds" in summary:
        line += (f"; bounds min {_vector(summary['bounds']['min'])}  max "
                 f"{_vector(summary['bounds']['max'])} (node transforms applied; the data's axes)")
    return line


def describe(summary: dict[str, Any]) -> str:
    """The summary as the text of ``plexorin info``."""
    counts = summary["counts"]
    lines = [
        f"{summary['file']}: {summary['bytes']:,} bytes (JSON chunk {summary['json_bytes']:,}, "
        f"BIN chunk {summary['bin_bytes']:,})",
        f"glTF {summary['version']}, generator {summary['generator'] or 'not given'}",
        "extensions used: " + (", ".join(summary["extensionsUsed"]) or "none")
        + (f"; required: {', '.join(summary['extensionsRequired'])}" if summary["extensionsRequired"] else ""),
        ", ".join(plural(counts[key], word, words) for key, word, words in
                  (("nodes", "node", None), ("meshes", "mesh", "meshes"),
                   ("materials", "material", None), ("accessors", "accessor", None),
                   ("bufferViews", "buffer view", None))),
        _placement_line(summary),
    ]
    for node in summary["nodes"]:
        if "instances" in node:
            names = ", ".join(node["instances"]["attributes"])
            lines.append(f"node {node['node']} {json.dumps(node['name'])}: mesh {node.get('mesh')}, "
                         f"{plural(node['instances']['count'], 'instance')} ({names})")
            lines += [_accessor_line(name, a, node["instances"].get("bounds")
                                     if name == "TRANSLATION" else None)
                      for name, a in node["instances"]["attributes"].items()]
    for number, mesh in enumerate(summary["meshes"]):
        lines.append(f"mesh {number} {json.dumps(mesh['name'])}:")
        for index, primitive in enumerate(mesh["primitives"]):
            lines += _primitive_lines(index, primitive)
    compressed = summary.get("compressed", [])
    if compressed:
        compressed_bytes = sum(view["byteLength"] for view in compressed)
        decoded = sum(view["decodedLength"] for view in compressed)
        lines.append(f"{MESHOPT}: {plural(len(compressed), 'buffer view')}, "
                     f"{compressed_bytes:,} bytes for {decoded:,} decoded")
        lines += [f"  view {v['bufferView']}: {v['mode']}, filter {v['filter']}, "
                  f"{v['count']:,} x {v['byteStride']} bytes -> {v['byteLength']:,} bytes"
                  for v in compressed]
    return "\n".join(lines)
