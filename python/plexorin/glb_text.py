"""The text of ``plexorin info``: a summary of glb_info.read_summary as lines.

Strings from the file (names, generator, extensions, attribute names) are
shown with control and format characters escaped (ESC as \x1b), so that a
file cannot move the cursor, retitle the terminal or hide text.
"""

from __future__ import annotations

from typing import Any

from .glb_info import MESHOPT


def printable(text: str) -> str:
    """`text` with every character that is not printable (controls, format
    characters such as bidirectional overrides, line breaks) escaped as in
    Python's repr."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _printable_copy(value: Any) -> Any:
    """The summary with every string escaped (its values are plain JSON)."""
    if isinstance(value, str):
        return printable(value)
    if isinstance(value, dict):
        return {printable(k): _printable_copy(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_printable_copy(v) for v in value]
    return value


def _quoted(name: str | None) -> str:
    return "null" if name is None else f'"{name}"'


def _number(value: Any) -> str:
    if value is None:
        return "null"  # beyond a double's range
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
                   placed: dict[str, Any] | None = None, width: int = 11) -> str:
    """One accessor, its name in a column of `width`; POSITION and
    TRANSLATION with their bounds, as placed when they are (the stored ones
    otherwise)."""
    normalized = " normalized" if accessor.get("normalized") else ""
    kind = f"{accessor['componentType']}{normalized} {accessor['type']}"
    line = f"    {name:<{width}} {kind:<29} {accessor['count']:>11,}"
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
    width = max([11, *map(len, primitive["attributes"])])
    lines += [_accessor_line(name, a, primitive.get("bounds") if name == "POSITION" else None,
                             width)
              for name, a in primitive["attributes"].items()]
    if "indices" in primitive:
        lines.append(_accessor_line("indices", primitive["indices"]))
    return lines


def _attribute_lines(attributes: list[dict[str, Any]]) -> list[str]:
    """The values per point: name, type and range over the whole file."""
    if not attributes:
        return []
    lines = [f"values per point: {len(attributes)}"]
    for a in attributes:
        line = f"  {a['name']:<18} {a['attribute']:<18} {a['componentType']} {a['type']}"
        if "min" in a:
            line += f"  range {_vector(a['min'])} .. {_vector(a['max'])}"
        lines.append(line)
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
    summary = _printable_copy(summary)
    counts = summary["counts"]
    lines = [
        f"{summary['file']}: {summary['bytes']:,} bytes (JSON chunk {summary['json_bytes']:,}, "
        f"BIN chunk {summary['bin_bytes']:,})",
        f"glTF {summary['version']}, generator {summary['generator'] or 'not given'}",
        "extensions used: " + (", ".join(summary["extensionsUsed"]) or "none")
        + (f"; required: {', '.join(summary['extensionsRequired'])}"
           if summary["extensionsRequired"] else ""),
        ", ".join(plural(counts[key], word, words) for key, word, words in
                  (("nodes", "node", None), ("meshes", "mesh", "meshes"),
                   ("materials", "material", None), ("accessors", "accessor", None),
                   ("bufferViews", "buffer view", None))),
        _placement_line(summary),
    ]
    for node in summary["nodes"]:
        if "instances" in node:
            names = ", ".join(node["instances"]["attributes"])
            lines.append(f"node {node['node']} {_quoted(node['name'])}: mesh {node.get('mesh')}, "
                         f"{plural(node['instances']['count'], 'instance')} ({names})")
            lines += [_accessor_line(name, a, node["instances"].get("bounds")
                                     if name == "TRANSLATION" else None)
                      for name, a in node["instances"]["attributes"].items()]
    for number, mesh in enumerate(summary["meshes"]):
        lines.append(f"mesh {number} {_quoted(mesh['name'])}:")
        for index, primitive in enumerate(mesh["primitives"]):
            lines += _primitive_lines(index, primitive)
    lines += _attribute_lines(summary.get("attributes", []))
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
