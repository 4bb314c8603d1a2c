"""A small GLB reader for the tests, independent of the module under test.

Interface (all pure functions / plain data, no state):

    glb = parse_glb(data)          # -> Glb; raises GlbFormatError on a malformed file
    glb.magic, glb.version, glb.length        # 12-byte header fields
    glb.chunks                     # list of Chunk(type, offset, data) in file order
    glb.json_bytes                 # raw JSON chunk content (with its space padding)
    glb.document                   # the JSON chunk decoded (dict), or None if empty
    glb.bin                        # BIN chunk content (bytes), or None if absent
    accessor_array(glb, index)     # NumPy view of accessor `index`, shape (count, ncomp)
                                   # (shape (count,) for SCALAR), dtype from componentType
    attribute_array(glb, name)     # accessor_array of attribute `name` of the first
                                   # primitive of the first mesh, e.g. "POSITION"
    indices_array(glb)             # index accessor of that primitive, or None

Only what the module writes is supported: little-endian, tightly packed or
strided buffer views in the BIN chunk, no sparse accessors.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass

import numpy as np

GLB_MAGIC = 0x46546C67  # "glTF"
CHUNK_JSON = 0x4E4F534A  # "JSON"
CHUNK_BIN = 0x004E4942  # "BIN\0"

COMPONENT_DTYPES = {
    5120: np.int8,
    5121: np.uint8,
    5122: np.int16,
    5123: np.uint16,
    5125: np.uint32,
    5126: np.float32,
}
TYPE_COMPONENTS = {"SCALAR": 1, "VEC2": 2, "VEC3": 3, "VEC4": 4, "MAT4": 16}


class GlbFormatError(ValueError):
    """The bytes are not a well-formed GLB container."""


@dataclass(frozen=True)
class Chunk:
    type: int
    offset: int  # file offset of the chunk's data (after its 8-byte header)
    data: bytes


@dataclass(frozen=True)
class Glb:
    magic: int
    version: int
    length: int
    chunks: list

    @property
    def json_bytes(self) -> bytes:
        return self.chunks[0].data if self.chunks and self.chunks[0].type == CHUNK_JSON else b""

    @property
    def document(self):
        text = self.json_bytes
        return json.loads(text.decode("utf-8")) if text.strip() else None

    @property
    def bin(self):
        for chunk in self.chunks:
            if chunk.type == CHUNK_BIN:
                return chunk.data
        return None


def parse_glb(data) -> Glb:
    """Split a GLB file into header fields and chunks, checking the framing."""
    data = bytes(data)
    if len(data) < 12:
        raise GlbFormatError(f"file of {len(data)} bytes is shorter than the header")
    magic, version, length = struct.unpack_from("<III", data, 0)
    if length != len(data):
        raise GlbFormatError(f"header length {length} != file size {len(data)}")
    chunks = []
    offset = 12
    while offset < len(data):
        if offset + 8 > len(data):
            raise GlbFormatError(f"truncated chunk header at {offset}")
        size, ctype = struct.unpack_from("<II", data, offset)
        start = offset + 8
        if start + size > len(data):
            raise GlbFormatError(f"chunk at {offset} runs past the end")
        if size % 4:
            raise GlbFormatError(f"chunk at {offset} has length {size}, not a multiple of 4")
        chunks.append(Chunk(ctype, start, data[start:start + size]))
        offset = start + size
    return Glb(magic, version, length, chunks)


def accessor_array(glb: Glb, index: int) -> np.ndarray:
    """Typed copy of accessor `index` read from the BIN chunk."""
    doc = glb.document
    accessor = doc["accessors"][index]
    view = doc["bufferViews"][accessor["bufferView"]]
    dtype = np.dtype(COMPONENT_DTYPES[accessor["componentType"]]).newbyteorder("<")
    ncomp = TYPE_COMPONENTS[accessor["type"]]
    count = accessor["count"]
    element = dtype.itemsize * ncomp
    stride = view.get("byteStride", element)
    start = view.get("byteOffset", 0) + accessor.get("byteOffset", 0)
    blob = glb.bin
    needed = start + (count - 1) * stride + element if count else start
    if blob is None or needed > len(blob) or needed > view.get("byteOffset", 0) + view["byteLength"]:
        raise GlbFormatError(f"accessor {index} runs past its buffer view")
    rows = np.ndarray((count, ncomp), dtype=dtype, buffer=blob, offset=start,
                      strides=(stride, dtype.itemsize)).copy()
    return rows[:, 0] if accessor["type"] == "SCALAR" else rows


def first_primitive(glb: Glb) -> dict:
    return glb.document["meshes"][0]["primitives"][0]


def attribute_array(glb: Glb, name: str) -> np.ndarray:
    return accessor_array(glb, first_primitive(glb)["attributes"][name])


def indices_array(glb: Glb):
    primitive = first_primitive(glb)
    return accessor_array(glb, primitive["indices"]) if "indices" in primitive else None
