"""Property tests: the module against a small reference written here.

The reference builds every file from a description of its glTF document
(nested dicts serialised with our number formats) and its payload, and orders
atoms with its own quantisation, bit-by-bit Morton interleave and a stable
sort. Hypothesis feeds both random inputs: NaN, infinite and out-of-box
coordinates, degenerate, inverted and huge boxes, odd buffer lengths and
buffer kinds, and clouds of 100000 atoms or more (the multi-worker path).
"""

from __future__ import annotations

import math
import os
import pathlib
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

# ---------------------------------------------------------------- reference --


class Fixed(float):
    """A number written in fixed notation with a given count of decimals."""

    def __new__(cls, value, decimals):
        self = super().__new__(cls, value)
        self.decimals = decimals
        return self


def serialise(value) -> str:
    """Compact JSON in insertion order, numbers as the documents write them."""
    if isinstance(value, dict):
        return "{" + ",".join(f'"{k}":{serialise(v)}' for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ",".join(serialise(v) for v in value) + "]"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, Fixed):
        return "%.*f" % (value.decimals, value)
    if isinstance(value, int):
        return str(value)
    return f'"{value}"'


def glb_file(document: str, payload: bytes) -> bytes:
    """Header, JSON chunk padded with spaces, BIN chunk padded with zeros."""
    text = document.encode("ascii")
    text += b" " * (-len(text) % 4)
    data = payload + b"\0" * (-len(payload) % 4)
    return (struct.pack("<4sII", b"glTF", 2, 28 + len(text) + len(data))
            + struct.pack("<I4s", len(text), b"JSON") + text
            + struct.pack("<I4s", len(data), b"BIN\0") + data)


def document(node: str, mesh: str, primitive: dict, accessors: list, views: list,
             payload_length: int, material: dict | None = None) -> str:
    doc = {"asset": {"version": "2.0", "generator": "Zarn Native"}, "scene": 0,
           "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0, "name": node}]}
    if material is not None:
        doc["materials"] = [material]
    doc["meshes"] = [{"primitives": [primitive], "name": mesh}]
    doc["accessors"] = accessors
    doc["bufferViews"] = [{"buffer": 0, "byteOffset": offset, "byteLength": length, "target": target}
                          for offset, length, target in views]
    doc["buffers"] = [{"byteLength": payload_length}]
    return serialise(doc)


def position_accessor(count, lo, hi):
    return {"bufferView": 0, "componentType": 5126, "count": count, "type": "VEC3",
            "min": [Fixed(v, 6) for v in lo], "max": [Fixed(v, 6) for v in hi]}


def blocks_layout(lengths_and_targets):
    """(byteOffset, byteLength, target) of blocks laid back to back."""
    views, offset = [], 0
    for length, target in lengths_and_targets:
        views.append((offset, length, target))
        offset += length
    return views, offset


ARRAY_BUFFER, ELEMENT_ARRAY_BUFFER = 34962, 34963


def reference_point_cloud(positions: bytes, colors: bytes, lo, hi) -> bytes:
    position_floats, color_floats = len(positions) // 4, len(colors) // 4
    points = position_floats // 3
    color_type = "VEC4" if color_floats == 4 * points else "VEC3"
    views, total = blocks_layout([(4 * position_floats, ARRAY_BUFFER),
                                  (4 * color_floats, ARRAY_BUFFER)])
    accessors = [position_accessor(points, lo, hi),
                 {"bufferView": 1, "componentType": 5126, "count": points, "type": color_type}]
    primitive = {"attributes": {"POSITION": 0, "COLOR_0": 1}, "mode": 0}
    doc = document("Atoms", "AtomCloud", primitive, accessors, views, total)
    return glb_file(doc, positions[:4 * position_floats] + colors[:4 * color_floats])


def reference_mesh(positions: bytes, normals: bytes, indices: bytes, bounds, base_color,
                   metallic, roughness, emissive, double_sided, colors: bytes | None) -> bytes:
    blocks = [positions[:len(positions) // 4 * 4], normals[:len(normals) // 4 * 4]]
    has_colors = colors is not None and len(colors) >= 4
    if has_colors:
        blocks.append(colors[:len(colors) // 4 * 4])
    blocks.append(indices[:len(indices) // 4 * 4])
    vertices = len(blocks[0]) // 12
    views, total = blocks_layout([(len(b), ARRAY_BUFFER) for b in blocks[:-1]]
                                 + [(len(blocks[-1]), ELEMENT_ARRAY_BUFFER)])
    accessors = [position_accessor(vertices, bounds[:3], bounds[3:6]),
                 {"bufferView": 1, "componentType": 5126, "count": vertices, "type": "VEC3"}]
    attributes = {"POSITION": 0, "NORMAL": 1}
    if has_colors:
        accessors.append({"bufferView": 2, "componentType": 5126, "count": vertices, "type": "VEC4"})
        attributes["COLOR_0"] = 2
    accessors.append({"bufferView": len(accessors), "componentType": 5125,
                      "count": len(blocks[-1]) // 4, "type": "SCALAR"})
    primitive = {"attributes": attributes, "indices": len(accessors) - 1, "material": 0, "mode": 4}
    material = {"pbrMetallicRoughness": {"baseColorFactor": [Fixed(v, 4) for v in base_color[:4]],
                                         "metallicFactor": Fixed(metallic, 4),
                                         "roughnessFactor": Fixed(roughness, 4)},
                "emissiveFactor": [Fixed(v, 4) for v in emissive[:3]],
                "doubleSided": bool(double_sided)}
    doc = document("Mesh", "MeshGeometry", primitive, accessors, views, total, material)
    return glb_file(doc, b"".join(blocks))


# The palette in single precision, from its decimal values.
PALETTE = np.array([[0.5, 0.5, 0.5], [1.0, 0.267, 0.267], [0.267, 1.0, 0.267],
                    [0.267, 0.267, 1.0], [1.0, 1.0, 0.267], [1.0, 0.267, 1.0],
                    [0.267, 1.0, 1.0], [0.6, 0.6, 0.6]], dtype=np.float32)


def processor_has_avx2_and_bmi2() -> bool:
    text = pathlib.Path("/proc/cpuinfo").read_text()
    flags = next((line.split(":", 1)[1].split() for line in text.splitlines()
                  if line.startswith("flags")), [])
    return "avx2" in flags and "bmi2" in flags


# Key bit 3k + offset receives bit k of x, y, z.
AXIS_OFFSETS = (1, 2, 0) if processor_has_avx2_and_bmi2() else (0, 1, 2)


def cells(coordinates: np.ndarray, lo: float, hi: float) -> np.ndarray:
    """Cell 0..1023 of each coordinate: scaled in double precision from the
    single-precision minimum and inverse extent; NaN and anything at or below
    0 give 0, anything at or above 1023 gives 1023."""
    with np.errstate(all="ignore"):
        extent = np.float32(hi - lo)
        inverse = np.float32(1.0 / np.float64(extent)) if extent > np.float32(1e-10) \
            else np.float32(1e10)
        scaled = ((coordinates.astype(np.float64) - np.float64(np.float32(lo)))
                  * np.float64(inverse)) * 1023.0
        cell = np.where(scaled >= 1023, 1023.0, np.trunc(scaled))
        cell = np.where(np.isnan(scaled) | (scaled <= 0), 0.0, cell)
    return cell.astype(np.uint64)


def morton_keys(xyz_cells) -> np.ndarray:
    key = np.zeros(len(xyz_cells[0]), np.uint64)
    for bit in range(10):
        for cell, offset in zip(xyz_cells, AXIS_OFFSETS):
            key |= ((cell >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + offset)
    return key


def reference_atoms(positions: np.ndarray, types: np.ndarray, lo, hi) -> bytes:
    count = len(positions)
    if count == 0:
        return glb_file("{}", b"")
    keys = morton_keys([cells(positions[:, a], lo[a], hi[a]) for a in range(3)])
    order = np.argsort(keys, kind="stable")
    payload = (positions[order].astype("<f4").tobytes()
               + PALETTE[np.minimum(types[order], 7)].astype("<f4").tobytes())
    views = [(0, 12 * count, ARRAY_BUFFER), (12 * count, 12 * count, ARRAY_BUFFER)]
    accessors = [position_accessor(count, lo, hi),
                 {"bufferView": 1, "componentType": 5126, "count": count, "type": "VEC3"}]
    primitive = {"attributes": {"POSITION": 0, "COLOR_0": 1}, "mode": 0}
    return glb_file(document("Atoms", "AtomCloud", primitive, accessors, views, 24 * count),
                    payload)


def test_reference_reproduces_hand_derived_sizes():
    """The reference itself against sizes worked out by hand: an empty point
    cloud is 620 bytes, one RGB point 648, one triangle without colours 1056
    and with colours 1240, and one atom of type 2 at (0.25, 0.5, 0.75) in the
    unit box 648 bytes with payload 0.25 0.5 0.75 0.267 1 0.267."""
    zero = [0.0] * 3
    assert len(reference_point_cloud(b"", b"", zero, zero)) == 620
    assert len(reference_point_cloud(bytes(12), bytes(12), zero, zero)) == 648
    tri = np.array([0, 0, 0, 1, 0, 0, 0, 1, 0], np.float32).tobytes()
    args = ([0, 0, 0, 1, 1, 0], [1, 1, 1, 1], 0.0, 0.5, [0, 0, 0])
    assert len(reference_mesh(tri, tri, bytes(12), *args, False, None)) == 1056
    assert len(reference_mesh(tri, tri, bytes(12), *args, True, bytes(48))) == 1240
    one = reference_atoms(np.array([[0.25, 0.5, 0.75]], np.float32), np.array([2], np.uint16),
                          [0, 0, 0], [1, 1, 1])
    assert len(one) == 648
    assert struct.unpack("<6f", one[-24:]) == pytest.approx([0.25, 0.5, 0.75, 0.267, 1, 0.267])
    # Cell (1, 0, 0) before (0, 0, 1) only with the portable layout.
    two = reference_atoms(np.array([[1.5, 0.5, 0.5], [0.5, 0.5, 1.5]], np.float32),
                          np.array([1, 2], np.uint16), [0, 0, 0], [1023, 1023, 1023])
    first_x = struct.unpack("<f", two[-48:-44])[0]
    assert first_x == (0.5 if AXIS_OFFSETS == (1, 2, 0) else 1.5)


# --------------------------------------------------------------- strategies --

finite_bounds = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False)
extreme_bounds = st.sampled_from([0.0, -0.0, 1e-7, -4e-7, 5e-7, 1e20, -1e20, 1e300, -1e300,
                                  1.7976931348623157e308])
any_bound = st.one_of(finite_bounds, extreme_bounds)
non_finite = st.sampled_from([math.nan, math.inf, -math.inf])


@st.composite
def boxes(draw):
    """Ordinary, degenerate (vmin = vmax on some axis), inverted and huge boxes."""
    kind = draw(st.sampled_from(["ordinary", "degenerate", "inverted", "extreme"]))
    lo = [draw(finite_bounds) for _ in range(3)]
    if kind == "ordinary":
        hi = [v + draw(st.floats(1e-3, 1e4)) for v in lo]
    elif kind == "degenerate":
        hi = [v if draw(st.booleans()) else v + 1.0 for v in lo]
    elif kind == "inverted":
        hi = [v - draw(st.floats(0, 1e4)) for v in lo]
    else:
        lo, hi = [draw(any_bound) for _ in range(3)], [draw(any_bound) for _ in range(3)]
    return lo, hi


def float32_within(value: float) -> float:
    """The nearest single-precision value, kept inside the finite range."""
    return float(np.float32(min(max(value, -3e38), 3e38)))


@st.composite
def atom_clouds(draw, max_atoms=200):
    lo, hi = draw(boxes())
    count = draw(st.integers(0, max_atoms))
    low, high = min(lo + hi), max(lo + hi)
    pad = max(1.0, (high - low) / 2) if math.isfinite(high - low) else 1.0
    corners = [float(np.float32(v)) for v in lo + hi if abs(v) < 3e38]
    coordinate = st.one_of(
        st.floats(float32_within(low - pad), float32_within(high + pad), width=32),  # around the box
        st.sampled_from([math.nan, math.inf, -math.inf, 3e38, -3e38, 0.0, -0.0]),
        st.sampled_from(corners) if corners else st.nothing(),  # on the corners
    )
    positions = draw(hnp.arrays(np.float32, (count, 3), elements=coordinate))
    types = draw(hnp.arrays(np.uint16, count, elements=st.integers(0, 65535)))
    return positions, types, lo, hi


def as_buffer(kind: str, data: bytes):
    """The same bytes as another kind of buffer object."""
    if kind == "bytes":
        return data
    if kind == "bytearray":
        return bytearray(data)
    if kind == "odd_address":  # a memoryview starting one byte into its block
        return memoryview(b"\0" + data)[1:]
    if kind == "strided":  # every second byte of a larger array: copied by the module
        spread = np.zeros(2 * len(data), np.uint8)
        spread[::2] = np.frombuffer(data, np.uint8)
        return spread[::2]
    raise AssertionError(kind)


buffer_kinds = st.sampled_from(["bytes", "bytearray", "odd_address", "strided"])

# ------------------------------------------------------------------- tests --

# `make reliability` asks for more examples than the everyday run.
EXAMPLES = int(os.environ.get("PLEXORIN_PROPERTY_EXAMPLES", "150"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@SETTINGS
@given(cloud=atom_clouds(), kind=buffer_kinds)
def test_atom_file_matches_reference(plexorin, cloud, kind):
    positions, types, lo, hi = cloud
    got = plexorin.atom_glb(as_buffer(kind, positions.tobytes()), as_buffer(kind, types.tobytes()),
                            lo, hi)
    assert got == reference_atoms(positions, types, lo, hi)


@settings(max_examples=max(6, EXAMPLES // 25), deadline=None)
@given(seed=st.integers(0, 2**32 - 1),
       count=st.sampled_from([100_000, 100_001, 131_073, 250_000]),
       box=boxes(),
       nan_share=st.sampled_from([0.0, 0.01]),
       outside_share=st.sampled_from([0.0, 0.1]))
def test_large_atom_cloud_matches_reference(plexorin, seed, count, box, nan_share, outside_share):
    """From 100000 atoms the module sorts with several workers; the order must
    still be the one stable sort by key gives."""
    lo, hi = box
    rng = np.random.default_rng(seed)
    with np.errstate(all="ignore"):
        span = np.array(hi, np.float64) - np.array(lo, np.float64)
        unit = rng.random((count, 3)) * (1 + 2 * outside_share) - outside_share
        positions = (np.array(lo) + unit * span).astype(np.float32)
    positions[rng.random((count, 3)) < nan_share] = np.nan
    clustered = rng.random(count) < 0.2  # many atoms share a cell
    positions[clustered] = positions[0]
    types = rng.integers(0, 12, count).astype(np.uint16)
    assert plexorin.atom_glb(positions, types, lo, hi) == reference_atoms(positions, types, lo, hi)


@SETTINGS
@given(cloud=atom_clouds(max_atoms=5), bad=non_finite, corner=st.integers(0, 5))
def test_atom_non_finite_bound_is_refused_unless_there_are_no_atoms(plexorin, cloud, bad, corner):
    positions, types, lo, hi = cloud
    bounds = lo + hi
    bounds[corner] = bad

    def call():
        return plexorin.atom_glb(positions, types, bounds[:3], bounds[3:])

    if len(positions) == 0:
        assert call() == reference_atoms(positions, types, lo, hi)
    else:
        with pytest.raises(ValueError, match="is not finite"):
            call()


@SETTINGS
@given(positions=st.binary(max_size=400), colors=st.binary(max_size=400),
       per_point=st.sampled_from([None, 3, 4]), lo=st.lists(any_bound, min_size=3, max_size=3),
       hi=st.lists(any_bound, min_size=3, max_size=3), kind=buffer_kinds)
def test_point_cloud_matches_reference(plexorin, positions, colors, per_point, lo, hi, kind):
    """Any bytes (NaN payloads included) reach the file bit for bit; lengths
    need not be whole floats or whole points."""
    if per_point is not None:  # the common case: exactly 3 or 4 floats per point
        wanted = len(positions) // 12 * 4 * per_point
        colors = (colors or b"\x3f") * (wanted // max(1, len(colors)) + 1)
        colors = colors[:wanted]
    got = plexorin.point_cloud_glb(as_buffer(kind, positions), as_buffer(kind, colors), lo, hi)
    assert got == reference_point_cloud(positions, colors, lo, hi)


factors = st.one_of(st.floats(-10, 10), extreme_bounds, st.integers(-3, 3))


@SETTINGS
@given(positions=st.binary(max_size=300), normals=st.binary(max_size=300),
       indices=st.binary(max_size=200), colors=st.one_of(st.none(), st.binary(max_size=300)),
       bounds=st.lists(any_bound, min_size=6, max_size=8),
       base_color=st.lists(factors, min_size=4, max_size=5), metallic=factors, roughness=factors,
       emissive=st.lists(factors, min_size=3, max_size=4), double_sided=st.booleans(),
       kind=buffer_kinds)
def test_mesh_matches_reference(plexorin, positions, normals, indices, colors, bounds, base_color,
                                metallic, roughness, emissive, double_sided, kind):
    got = plexorin.mesh_glb(as_buffer(kind, positions), as_buffer(kind, normals),
                            as_buffer(kind, indices), bounds, base_color, metallic, roughness,
                            emissive, double_sided,
                            None if colors is None else as_buffer(kind, colors))
    assert got == reference_mesh(positions, normals, indices, bounds, base_color, metallic,
                                 roughness, emissive, double_sided, colors)


@SETTINGS
@given(bad=non_finite, where=st.sampled_from(["bounds", "base_color", "metallic", "roughness",
                                              "emissive"]), place=st.integers(0, 5))
def test_mesh_non_finite_factor_or_bound_is_refused(plexorin, bad, where, place):
    args = {"bounds": [0.0] * 6, "base_color": [1.0] * 4, "metallic": 0.0, "roughness": 1.0,
            "emissive": [0.0] * 3}
    if isinstance(args[where], list):
        args[where][place % len(args[where])] = bad
    else:
        args[where] = bad
    with pytest.raises(ValueError, match="is not finite"):
        plexorin.mesh_glb(b"", b"", b"", args["bounds"], args["base_color"], args["metallic"],
                          args["roughness"], args["emissive"], True)


@SETTINGS
@given(positions=st.binary(max_size=48), bad=non_finite, corner=st.integers(0, 5))
def test_point_cloud_non_finite_bound_is_refused(plexorin, positions, bad, corner):
    bounds = [0.0, 0.0, 0.0, 1.0, 1.0, 1.0]
    bounds[corner] = bad
    with pytest.raises(ValueError, match="is not finite"):
        plexorin.point_cloud_glb(positions, b"", bounds[:3], bounds[3:])
