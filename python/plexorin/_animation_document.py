"""The document of an animated trajectory: frames' GLB files stitched into one.

Each frame arrives as a complete GLB file from the core's atom builder
(points, spheres, compressed or not). Its JSON records are renumbered into
the whole document and its BIN chunk becomes the next stretch of the one
buffer, so that a frame's bytes can go to disk as soon as it is built; only
the records (a few hundred bytes per frame) are kept until the end, when the
animation that shows one frame at a time is added:

- frame k is node k under the root node "Trajectory", holding the frame's
  own scene (its "Frame" or "Atoms" nodes);
- one shared input T = [t0 .. tF] (tF one step after the last frame) and one
  shared STEP output S = [0, 1, 0, 1, 1] of VEC3 scales. Node 0 reads T[0..1]
  with S[1..2], node k T[k-1..k+1] with S[0..2], the last T[F-2..F] with
  S[2..4]; samplers hold their ends outside their range, so node k has scale
  1 exactly on [t_k, t_k+1) and 0 elsewhere. Accessors are offsets into T
  and S, so the animation costs O(F) bytes;
- static scales show frame 0 to a reader that ignores the animation.
"""

from __future__ import annotations

import hashlib
import json
import struct
from typing import Any

import numpy as np

GLB_LIMIT = 2**31  # every GLB length field is 32-bit; files stay below 2 GiB
HEADER_BYTES = 12 + 8 + 8  # the file header and the two chunk headers
MESHOPT = "EXT_meshopt_compression"
INSTANCING = "EXT_mesh_gpu_instancing"
_STITCHED = {"asset", "scene", "scenes", "nodes", "meshes", "materials", "accessors",
             "bufferViews", "buffers", "extensionsUsed", "extensionsRequired"}
_SCALES = np.array([0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1], np.float32)  # S as VEC3
FLOAT, SCALAR, VEC3 = 5126, "SCALAR", "VEC3"
_SHARED_VIEW_BYTES = 1 << 13  # views up to this size are stored once when frames repeat them


def _align(length: int, to: int = 8) -> int:
    return (length + to - 1) // to * to


def split_glb(data: bytes) -> tuple[dict[str, Any], memoryview]:
    """(JSON document, BIN chunk) of a GLB file the core wrote."""
    json_length = struct.unpack_from("<I", data, 12)[0]
    document = json.loads(bytes(data[20:20 + json_length]))
    start = 20 + json_length
    bin_length = struct.unpack_from("<I", data, start)[0] if len(data) > start else 0
    return document, memoryview(data)[start + 8:start + 8 + bin_length]


class AnimationDocument:
    """The records of the frames added so far and the length of their bytes."""

    def __init__(self) -> None:
        self.nodes: list[dict[str, Any]] = []
        self.meshes: list[dict[str, Any]] = []
        self.materials: list[dict[str, Any]] = []
        self.accessors: list[dict[str, Any]] = []
        self.views: list[dict[str, Any]] = []
        self.used: dict[str, None] = {}
        self.required: dict[str, None] = {}
        self.frames: list[int] = []
        self.payload_length = 0   # bytes of the BIN chunk so far
        self.fallback_length = 0  # bytes the meshopt decoder fills in
        self._materials: dict[str, int] = {}
        self._shared: dict[bytes, int] = {}  # accessors of small views, by bytes and layout
        self._kept: bytearray | memoryview = bytearray()

    def add_frame(self, glb: bytes, extras: dict[str, Any] | None) -> tuple[memoryview, bytes]:
        """Take a frame's records; return its BIN bytes and the zero bytes
        that pad them to 8, to be appended to the payload in this order."""
        document, payload = split_glb(glb)
        unknown = set(document) - _STITCHED
        if unknown:  # a record kind this stitcher would drop
            raise RuntimeError(f"frame documents hold {sorted(unknown)}, which are not stitched")
        for name in document.get("extensionsUsed", []):
            self.used[name] = None
        for name in document.get("extensionsRequired", []):
            self.required[name] = None
        buffers = document.get("buffers", [])
        fallback = [bool(b.get("extensions", {}).get(MESHOPT, {}).get("fallback")) for b in buffers]
        meshes = len(self.meshes)
        accessors = self._add_arrays(document.get("bufferViews", []), document.get("accessors", []),
                                     fallback, payload)
        materials = [self._material(m) for m in document.get("materials", [])]
        for mesh in document.get("meshes", []):
            for primitive in mesh["primitives"]:
                primitive["attributes"] = {k: accessors[v] for k, v in primitive["attributes"].items()}
                if "indices" in primitive:
                    primitive["indices"] = accessors[primitive["indices"]]
                if "material" in primitive:
                    primitive["material"] = materials[primitive["material"]]
            self.meshes.append(mesh)
        nodes = len(self.nodes)
        for node in document.get("nodes", []):
            self.nodes.append(self._node(node, nodes, meshes, accessors))
        roots = document["scenes"][document.get("scene", 0)]["nodes"] if "scenes" in document else []
        frame: dict[str, Any] = {"name": f"frame {len(self.frames)}",
                                 "scale": [1, 1, 1] if not self.frames else [0, 0, 0]}
        if roots:
            frame["children"] = [r + nodes for r in roots]
        if extras:
            frame["extras"] = extras
        self.frames.append(len(self.nodes))
        self.nodes.append(frame)
        kept = self._kept
        self.payload_length += _align(len(kept))
        return memoryview(kept), bytes(_align(len(kept)) - len(kept))

    def _add_arrays(self, views: list[dict[str, Any]], accessors: list[dict[str, Any]],
                    fallback: list[bool], payload: memoryview) -> list[int]:
        """Adds the frame's views (their bytes to self._kept) and accessors;
        returns the accessors' indices in the document. An accessor over a
        small view whose bytes, layout and accessor an earlier one repeats
        (the spheres' meshes, which every frame repeats) is that earlier
        one, and a view whose accessors all are is left out."""
        data = [self._source_bytes(view, payload) for view in views]
        keys = [self._accessor_key(a, views[a["bufferView"]], data[a["bufferView"]])
                if "bufferView" in a else None for a in accessors]
        repeated = [key is not None and key in self._shared for key in keys]
        left_out = {a["bufferView"] for a, r in zip(accessors, repeated) if r} - {
            a["bufferView"] for a, r in zip(accessors, repeated) if not r and "bufferView" in a}
        # The frame's payload as it is, or without what earlier frames hold.
        self._kept = payload if not left_out else bytearray()
        numbers = {index: self._add_view(view, fallback, data[index], not left_out)
                   for index, view in enumerate(views) if index not in left_out}
        out = []
        for accessor, key, again in zip(accessors, keys, repeated):
            if again and key is not None:
                out.append(self._shared[key])
                continue
            if "bufferView" in accessor:
                accessor["bufferView"] = numbers[accessor["bufferView"]]
            if key is not None:
                self._shared[key] = len(self.accessors)
            self.accessors.append(accessor)
            out.append(len(self.accessors) - 1)
        return out

    @staticmethod
    def _source_bytes(view: dict[str, Any], payload: memoryview) -> memoryview:
        source = view.get("extensions", {}).get(MESHOPT, view)
        start = source.get("byteOffset", 0)
        return payload[start:start + source["byteLength"]]

    @staticmethod
    def _accessor_key(accessor: dict[str, Any], view: dict[str, Any], data: memoryview) -> bytes | None:
        if len(data) > _SHARED_VIEW_BYTES:
            return None
        layout = {k: v for k, v in view.items() if k not in ("buffer", "byteOffset", "extensions")}
        stream = view.get("extensions", {}).get(MESHOPT)
        if stream is not None:
            layout["stream"] = {k: v for k, v in stream.items() if k not in ("buffer", "byteOffset")}
        layout["accessor"] = {k: v for k, v in accessor.items() if k != "bufferView"}
        digest = hashlib.blake2b(json.dumps(layout, sort_keys=True).encode(), digest_size=16)
        digest.update(b"\0")
        digest.update(data)
        return digest.digest()

    def _add_view(self, view: dict[str, Any], fallback: list[bool], data: memoryview,
                  in_place: bool) -> int:
        stream = view.get("extensions", {}).get(MESHOPT)
        source = stream if stream is not None else view
        if in_place:  # the frame's payload is kept whole: offsets move by its place
            source["byteOffset"] = self.payload_length + source.get("byteOffset", 0)
        else:
            kept = self._kept
            assert isinstance(kept, bytearray)
            kept += bytes(_align(len(kept), 4) - len(kept))
            source["byteOffset"] = self.payload_length + len(kept)
            kept += data
        source["buffer"] = 0
        if stream is not None:  # the decoded view, in the fallback buffer
            if not fallback[view["buffer"]]:
                raise RuntimeError("a compressed view outside the meshopt fallback buffer")
            view["buffer"], view["byteOffset"] = 1, self.fallback_length
            self.fallback_length += _align(view["byteLength"], 4)
        self.views.append(view)
        return len(self.views) - 1

    def _material(self, material: dict[str, Any]) -> int:
        # Every frame repeats the same materials: each is stored once.
        key = json.dumps(material, sort_keys=True)
        if key not in self._materials:
            self._materials[key] = len(self.materials)
            self.materials.append(material)
        return self._materials[key]

    @staticmethod
    def _node(node: dict[str, Any], nodes: int, meshes: int, accessors: list[int]) -> dict[str, Any]:
        if "mesh" in node:
            node["mesh"] += meshes
        if "children" in node:
            node["children"] = [c + nodes for c in node["children"]]
        instancing = node.get("extensions", {}).get(INSTANCING)
        if instancing is not None:
            instancing["attributes"] = {k: accessors[v] for k, v in instancing["attributes"].items()}
        return node

    def finish(self, times: np.ndarray, root_extras: dict[str, Any]) -> tuple[bytes, bytes]:
        """(the GLB file's start: header, JSON chunk and BIN chunk header;
        the payload's tail: the animation's times and scales). The payload
        so far (`payload_length` bytes, each frame padded to 8) goes between
        them. `times` holds F + 1 increasing playback seconds."""
        count = len(self.frames)
        tail = np.concatenate([np.asarray(times, np.float32), _SCALES]).tobytes()
        base = self.payload_length
        self.views += [{"buffer": 0, "byteOffset": base, "byteLength": 4 * (count + 1)},
                       {"buffer": 0, "byteOffset": base + 4 * (count + 1), "byteLength": _SCALES.nbytes}]
        document = self._document(times, root_extras)
        text = json.dumps(document, separators=(",", ":"), allow_nan=False).encode()
        text += b" " * (_align(len(text), 4) - len(text))
        payload = self.payload_length + len(tail)
        padded = _align(payload, 4)
        tail += bytes(padded - payload)
        total = HEADER_BYTES + len(text) + padded
        if total >= GLB_LIMIT:
            raise ValueError(too_large_message(total))
        head = struct.pack("<III", 0x46546C67, 2, total) + struct.pack("<II", len(text), 0x4E4F534A)
        return head + text + struct.pack("<II", padded, 0x004E4942), tail

    def _document(self, times: np.ndarray, root_extras: dict[str, Any]) -> dict[str, Any]:
        count = len(self.frames)
        inputs, outputs = len(self.views) - 2, len(self.views) - 1
        samplers, channels = [], []
        stored = np.asarray(times, np.float32)
        for k, node in enumerate(self.frames):
            first, last, scale = ((0, 1, 1) if k == 0 else (count - 2, count, 2) if k == count - 1
                                  else (k - 1, k + 1, 0))
            span = stored[first:last + 1]
            self.accessors.append({"bufferView": inputs, "byteOffset": 4 * first, "componentType": FLOAT,
                                   "count": len(span), "type": SCALAR,
                                   "min": [float(span[0])], "max": [float(span[-1])]})
            self.accessors.append({"bufferView": outputs, "byteOffset": 12 * scale,
                                   "componentType": FLOAT, "count": len(span), "type": VEC3})
            samplers.append({"input": len(self.accessors) - 2, "output": len(self.accessors) - 1,
                             "interpolation": "STEP"})
            channels.append({"sampler": k, "target": {"node": node, "path": "scale"}})
        root = {"name": "Trajectory", "children": self.frames, "extras": root_extras}
        self.nodes.append(root)
        document: dict[str, Any] = {"asset": {"version": "2.0", "generator": "plexorin"}}
        if self.used:
            document["extensionsUsed"] = list(self.used)
        if self.required:
            document["extensionsRequired"] = list(self.required)
        buffers: list[dict[str, Any]] = [{"byteLength": self.payload_length + 4 * (count + 1)
                                          + _SCALES.nbytes}]
        if self.fallback_length:
            buffers.append({"byteLength": self.fallback_length,
                            "extensions": {MESHOPT: {"fallback": True}}})
        document.update({"scene": 0, "scenes": [{"nodes": [len(self.nodes) - 1]}],
                         "nodes": self.nodes})
        if self.meshes:
            document["meshes"] = self.meshes
        if self.materials:
            document["materials"] = self.materials
        document.update({"accessors": self.accessors, "bufferViews": self.views, "buffers": buffers,
                         "animations": [{"name": "trajectory", "samplers": samplers,
                                         "channels": channels}]})
        return document


def too_large_message(total: int) -> str:
    return (f"the animated file would take {total:,} bytes; a GLB file must stay below 2 GiB "
            f"(2,147,483,648 bytes): write one file per frame instead (plexorin convert --frames, "
            f"plexorin.trajectory.write_frame_arrays), or fewer frames (a STEP)")
