"""Nodes added to a finished GLB: the bonds and the periodic cell of an atom
file. The document gains buffer views at the end of its BIN chunk (buffer 0)
and nodes beside "Atoms", under the root node "Frame" when the file has one,
so that they share the atoms' stored coordinates."""

from __future__ import annotations

import json
import struct
from typing import Any

import numpy as np

_FLOAT, _SHORT, _UNSIGNED_SHORT = 5126, 5122, 5123
_ARRAY_BUFFER, _ELEMENT_ARRAY_BUFFER = 34962, 34963
_TYPES = {1: "SCALAR", 3: "VEC3", 4: "VEC4"}
_COMPONENTS = {np.dtype(np.float32): _FLOAT, np.dtype(np.int16): _SHORT,
               np.dtype(np.uint16): _UNSIGNED_SHORT}


class GlbDocument:
    """A GLB file's JSON and BIN chunk, to add to and write again."""

    def __init__(self, glb: bytes) -> None:
        json_length = struct.unpack_from("<I", glb, 12)[0]
        self.json: dict[str, Any] = json.loads(glb[20:20 + json_length])
        start = 20 + json_length
        bin_length = struct.unpack_from("<I", glb, start)[0] if len(glb) > start else 0
        self.bin = bytearray(glb[start + 8:start + 8 + bin_length])

    def accessor(self, values: np.ndarray, target: int | None = None, normalized: bool = False,
                 bounds: bool = False) -> int:
        """A tightly packed view and accessor of `values` ((n,) or (n, k))."""
        values = np.ascontiguousarray(values)
        self.bin.extend(b"\0" * (-len(self.bin) % 4))
        view: dict[str, Any] = {"buffer": 0, "byteOffset": len(self.bin),
                                "byteLength": values.nbytes}
        if target is not None:
            view["target"] = target
        self.bin.extend(values.tobytes())
        views = self.json.setdefault("bufferViews", [])
        views.append(view)
        columns = 1 if values.ndim == 1 else values.shape[1]
        accessor: dict[str, Any] = {"bufferView": len(views) - 1,
                                    "componentType": _COMPONENTS[values.dtype],
                                    "count": len(values), "type": _TYPES[columns]}
        if normalized:
            accessor["normalized"] = True
        if bounds:
            rows = values.reshape(len(values), columns)
            accessor["min"] = [float(v) for v in rows.min(axis=0)]
            accessor["max"] = [float(v) for v in rows.max(axis=0)]
        accessors = self.json.setdefault("accessors", [])
        accessors.append(accessor)
        return len(accessors) - 1

    def add(self, kind: str, record: dict[str, Any]) -> int:
        records = self.json.setdefault(kind, [])
        records.append(record)
        return len(records) - 1

    def add_top_node(self, node: dict[str, Any]) -> None:
        """A node beside "Atoms": a child of the root "Frame", else a root."""
        index = self.add("nodes", node)
        scene = self.json["scenes"][self.json.get("scene", 0)]
        roots = scene.setdefault("nodes", [])
        nodes = self.json["nodes"]
        frame = next((r for r in roots if nodes[r].get("name") == "Frame"), None)
        if frame is None:
            roots.append(index)
        else:
            nodes[frame].setdefault("children", []).append(index)

    def use_extension(self, name: str, required: bool) -> None:
        for key in ("extensionsUsed", "extensionsRequired") if required else ("extensionsUsed",):
            names = self.json.setdefault(key, [])
            if name not in names:
                names.append(name)

    def materials_by_node_name(self, parent: str) -> dict[str, int]:
        """The material of each child node of the node `parent`, by child name."""
        nodes = self.json.get("nodes", [])
        meshes = self.json.get("meshes", [])
        found: dict[str, int] = {}
        for node in nodes:
            if node.get("name") == parent:
                for child in node.get("children", []):
                    mesh = nodes[child].get("mesh")
                    if mesh is not None and "material" in meshes[mesh]["primitives"][0]:
                        found[nodes[child]["name"]] = meshes[mesh]["primitives"][0]["material"]
        return found

    def tobytes(self) -> bytes:
        if self.bin:
            buffers = self.json.setdefault("buffers", [{}])
            buffers[0]["byteLength"] = len(self.bin)
        text = json.dumps(self.json, separators=(",", ":"), allow_nan=False).encode()
        text += b" " * (-len(text) % 4)
        binary = bytes(self.bin) + b"\0" * (-len(self.bin) % 4)
        size = 12 + 8 + len(text) + (8 + len(binary) if binary else 0)
        if size >= 2**31:
            raise ValueError(f"the file would take {size} bytes; a GLB file must stay below "
                             f"2 GiB (2147483648 bytes)")
        chunks = struct.pack("<II", len(text), 0x4E4F534A) + text
        if binary:
            chunks += struct.pack("<II", len(binary), 0x004E4942) + binary
        return struct.pack("<III", 0x46546C67, 2, 12 + len(chunks)) + chunks
