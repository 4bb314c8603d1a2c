"""What a Python user would otherwise run, and the memory floor.

Each peer takes the same NumPy arrays as `_plexorin` and returns one GLB file
as `bytes`:

- `numpy_atom_glb`: the whole atom pipeline in NumPy (quantise, Morton keys
  with NumPy bit operations, stable argsort, gather, one bytes join). It
  gives the same bytes as `_plexorin.atom_glb`; the benchmark asserts that.
- `trimesh_*`: trimesh's GLB export of a coloured PointCloud or Trimesh. It
  does no ordering and stores colours as 8-bit RGBA, so for atoms it is a
  lower bar.
- `pygltflib_*`: pygltflib building a file with the same accessors and data
  (float colours, the same blocks in the same order), serialised by pygltflib.
- `copy_fresh` / `copy_warm`: one memcpy of a given size into newly allocated
  or into already written memory.
"""

from __future__ import annotations

import struct

import numpy as np

GLB_MAGIC = 0x46546C67  # "glTF"
CHUNK_JSON = 0x4E4F534A
CHUNK_BIN = 0x004E4942
GRID_MAX_CELL = 1023.0

# Red, green and blue of palette entries 0..7; types above 7 use entry 7.
PALETTE = np.array(
    [
        [0.5, 0.5, 0.5],
        [1.0, 0.267, 0.267],
        [0.267, 1.0, 0.267],
        [0.267, 0.267, 1.0],
        [1.0, 1.0, 0.267],
        [1.0, 0.267, 1.0],
        [0.267, 1.0, 1.0],
        [0.6, 0.6, 0.6],
    ],
    dtype=np.float32,
)

ATOM_DOCUMENT = (
    '{"asset":{"version":"2.0","generator":"Zarn Native"},"scene":0,"scenes":[{"nodes":[0]}]'
    ',"nodes":[{"mesh":0,"name":"Atoms"}]'
    ',"meshes":[{"primitives":[{"attributes":{"POSITION":0,"COLOR_0":1},"mode":0}]'
    ',"name":"AtomCloud"}]'
    ',"accessors":[{"bufferView":0,"componentType":5126,"count":%d,"type":"VEC3",'
    '"min":[%.6f,%.6f,%.6f],"max":[%.6f,%.6f,%.6f]}'
    ',{"bufferView":1,"componentType":5126,"count":%d,"type":"VEC3"}]'
    ',"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":%d,"target":34962}'
    ',{"buffer":0,"byteOffset":%d,"byteLength":%d,"target":34962}'
    '],"buffers":[{"byteLength":%d}]}'
)


def processor_has_avx2_and_bmi2() -> bool:
    """The processor test of the module, read from the kernel's CPU flags."""
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    return {"avx2", "bmi2"} <= flags
    except OSError:
        pass
    return False


def _spread_bits(v: np.ndarray) -> np.ndarray:
    """Bit k of each 10-bit value moves to bit 3k."""
    v = (v | (v << 16)) & np.uint32(0x030000FF)
    v = (v | (v << 8)) & np.uint32(0x0300F00F)
    v = (v | (v << 4)) & np.uint32(0x030C30C3)
    return (v | (v << 2)) & np.uint32(0x09249249)


def _cells(coordinates: np.ndarray, lo: float, hi: float) -> np.ndarray:
    """10-bit cells of one axis: single-precision minimum and inverse extent,
    the arithmetic in double, NaN and negatives to 0, the top at 1023."""
    extent = np.float32(hi - lo)
    inv = np.float32(1.0 / float(extent)) if extent > np.float32(1e-10) else np.float32(1e10)
    s = (coordinates.astype(np.float64) - np.float64(np.float32(lo))) * np.float64(inv)
    s *= GRID_MAX_CELL
    s = np.where(s > 0.0, s, 0.0)
    np.minimum(s, GRID_MAX_CELL, out=s)
    return s.astype(np.uint32)


def _glb(document: bytes, payload: list[bytes], payload_length: int) -> bytes:
    padded = document + b" " * (-len(document) % 4)
    total = 12 + 8 + len(padded) + 8 + payload_length
    return b"".join(
        [
            struct.pack("<III", GLB_MAGIC, 2, total),
            struct.pack("<II", len(padded), CHUNK_JSON),
            padded,
            struct.pack("<II", payload_length, CHUNK_BIN),
            *payload,
        ]
    )


def numpy_atom_glb(positions, types, vmin, vmax, bmi2_layout: bool) -> bytes:
    """The atom pipeline in NumPy, byte for byte the module's file."""
    p = np.asarray(positions, dtype=np.float32).reshape(-1, 3)
    count = len(p)
    x, y, z = (_spread_bits(_cells(p[:, a], vmin[a], vmax[a])) for a in range(3))
    if bmi2_layout:  # x to bits 3k+1, y to 3k+2, z to 3k
        keys = z | (x << 1) | (y << 2)
    else:  # x to 3k, y to 3k+1, z to 3k+2
        keys = x | (y << 1) | (z << 2)
    order = np.argsort(keys, kind="stable")
    sorted_positions = p[order]
    colors = PALETTE[np.minimum(np.asarray(types)[:count][order], 7)]
    half = 12 * count
    document = ATOM_DOCUMENT % (count, *vmin, *vmax, count, half, half, half, 2 * half)
    return _glb(document.encode("ascii"), [sorted_positions.tobytes(), colors.tobytes()], 2 * half)


def trimesh_point_cloud_glb(positions, colors) -> bytes:
    import trimesh

    rgba = np.clip(np.asarray(colors) * 255.0 + 0.5, 0, 255).astype(np.uint8)
    cloud = trimesh.PointCloud(np.asarray(positions).reshape(-1, 3), colors=rgba)
    return cloud.export(file_type="glb")


def trimesh_atom_glb(positions, types) -> bytes:
    """A coloured point cloud of the atoms in input order (no Morton order)."""
    colors = PALETTE[np.minimum(np.asarray(types), 7)]
    return trimesh_point_cloud_glb(positions, colors)


def trimesh_mesh_glb(positions, normals, indices, colors=None) -> bytes:
    import trimesh

    kwargs = {}
    if colors is not None:
        kwargs["vertex_colors"] = np.clip(np.asarray(colors) * 255.0 + 0.5, 0, 255).astype(np.uint8)
    mesh = trimesh.Trimesh(
        vertices=np.asarray(positions).reshape(-1, 3),
        faces=np.asarray(indices).reshape(-1, 3),
        vertex_normals=np.asarray(normals).reshape(-1, 3),
        process=False,
        **kwargs,
    )
    return mesh.export(file_type="glb")


def _pygltflib_file(blocks, attributes, accessors, indices_accessor, mode, bounds):
    """A one-primitive file: `blocks` are (bytes, target) laid back to back."""
    import pygltflib as g

    views, offset, parts = [], 0, []
    for data, target in blocks:
        views.append(g.BufferView(buffer=0, byteOffset=offset, byteLength=len(data), target=target))
        parts.append(data)
        offset += len(data)
    lo, hi = bounds
    accessors[0].min, accessors[0].max = list(lo), list(hi)
    primitive = g.Primitive(attributes=g.Attributes(**attributes), mode=mode)
    if indices_accessor is not None:
        primitive.indices = indices_accessor
    gltf = g.GLTF2(
        asset=g.Asset(version="2.0", generator="pygltflib"),
        scene=0,
        scenes=[g.Scene(nodes=[0])],
        nodes=[g.Node(mesh=0)],
        meshes=[g.Mesh(primitives=[primitive])],
        accessors=accessors,
        bufferViews=views,
        buffers=[g.Buffer(byteLength=offset)],
    )
    gltf.set_binary_blob(b"".join(parts))
    return b"".join(gltf.save_to_bytes())


def pygltflib_point_cloud_glb(positions, colors, vmin, vmax) -> bytes:
    import pygltflib as g

    p = np.ascontiguousarray(positions, dtype=np.float32).reshape(-1, 3)
    c = np.ascontiguousarray(colors, dtype=np.float32).reshape(len(p), -1)
    kind = "VEC4" if c.shape[1] == 4 else "VEC3"
    accessors = [
        g.Accessor(bufferView=0, componentType=g.FLOAT, count=len(p), type="VEC3"),
        g.Accessor(bufferView=1, componentType=g.FLOAT, count=len(p), type=kind),
    ]
    blocks = [(p.tobytes(), g.ARRAY_BUFFER), (c.tobytes(), g.ARRAY_BUFFER)]
    return _pygltflib_file(
        blocks, {"POSITION": 0, "COLOR_0": 1}, accessors, None, g.POINTS, (vmin, vmax)
    )


def pygltflib_mesh_glb(positions, normals, indices, bounds, colors=None) -> bytes:
    import pygltflib as g

    p = np.ascontiguousarray(positions, dtype=np.float32).reshape(-1, 3)
    n = np.ascontiguousarray(normals, dtype=np.float32)
    i = np.ascontiguousarray(indices, dtype=np.uint32)
    blocks = [(p.tobytes(), g.ARRAY_BUFFER), (n.tobytes(), g.ARRAY_BUFFER)]
    accessors = [
        g.Accessor(bufferView=0, componentType=g.FLOAT, count=len(p), type="VEC3"),
        g.Accessor(bufferView=1, componentType=g.FLOAT, count=len(p), type="VEC3"),
    ]
    attributes = {"POSITION": 0, "NORMAL": 1}
    if colors is not None:
        blocks.append((np.ascontiguousarray(colors, dtype=np.float32).tobytes(), g.ARRAY_BUFFER))
        accessors.append(g.Accessor(bufferView=2, componentType=g.FLOAT, count=len(p), type="VEC4"))
        attributes["COLOR_0"] = 2
    blocks.append((i.tobytes(), g.ELEMENT_ARRAY_BUFFER))
    accessors.append(
        g.Accessor(bufferView=len(blocks) - 1, componentType=g.UNSIGNED_INT, count=i.size, type="SCALAR")
    )
    return _pygltflib_file(
        blocks, attributes, accessors, len(accessors) - 1, g.TRIANGLES, (bounds[:3], bounds[3:])
    )


def copy_fresh(source: np.ndarray) -> np.ndarray:
    """One memcpy into newly allocated memory (NumPy advises huge pages for
    large arrays, so this is the cheapest fresh memory a Python user gets)."""
    destination = np.empty_like(source)
    np.copyto(destination, source)
    return destination


def copy_warm(source: np.ndarray, destination: np.ndarray) -> np.ndarray:
    """One memcpy into memory that has been written before."""
    np.copyto(destination, source)
    return destination
