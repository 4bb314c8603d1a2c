"""Compressed files (compress=True), read back by independent parties: the
npm `meshoptimizer` decoder (tests/js/meshopt-decode.mjs) writes a plain copy
of each file, the Khronos validator checks the file and the copy, and the
copy is compared with the inputs and with the uncompressed file.
"""

import pathlib
import subprocess

import numpy as np
import pytest

import glb_reader

plexorin = pytest.importorskip("plexorin")

REPO = pathlib.Path(__file__).resolve().parents[2]
DECODER = REPO / "tests" / "js" / "meshopt-decode.mjs"
CHUNK = 262144


@pytest.fixture(scope="module")
def decode_and_validate(tmp_path_factory, validate_glbs):
    """function({name: compressed bytes}) -> {name: decoded Glb}, after
    asserting a clean validator report for every file and its decoded copy."""
    if not (REPO / "node_modules" / "meshoptimizer").is_dir():
        pytest.skip("node_modules/meshoptimizer missing (run make setup)")
    folder = tmp_path_factory.mktemp("compressed")

    def run(files):
        pairs = []
        for name, data in files.items():
            (folder / f"{name}.glb").write_bytes(data)
            pairs += [folder / f"{name}.glb", folder / f"{name}.decoded.glb"]
        subprocess.run(["node", str(DECODER), *map(str, pairs)], cwd=REPO, check=True, timeout=600)
        for path, report in zip(pairs, validate_glbs(pairs)):
            assert report["numErrors"] == 0, (path.name, report["messages"][:5])
            assert report["numWarnings"] == 0, (path.name, report["messages"][:5])
        return {name: glb_reader.parse_glb((folder / f"{name}.decoded.glb").read_bytes())
                for name in files}
    return run


def primitives(glb):
    """(primitive, integer positions) of the one node's mesh, and the node."""
    doc = glb.document
    node = doc["nodes"][doc["scenes"][0]["nodes"][0]]
    prims = doc["meshes"][node["mesh"]]["primitives"]
    return node, [(p, glb_reader.accessor_array(glb, p["attributes"]["POSITION"])) for p in prims]


def assert_within_half_step(node, stored, expected, extents, uniform=False):
    """Dequantised integers within half a step of `expected`, with the step of
    a 14-bit grid over the exact extents (the longest one when uniform)."""
    step, origin = np.array(node["scale"]), np.array(node["translation"])
    np.testing.assert_array_equal(origin, extents[0])
    extent = extents[1] - extents[0]
    extent = np.full(3, extent.max()) if uniform else extent
    assert np.all(step <= np.where(extent > 0, extent / 16383, 1) * (1 + 1e-12))
    error = np.abs(origin + step * stored[:, :3] - expected.astype(np.float64))
    assert np.all(error <= step / 2 * (1 + 1e-9)), error.max(axis=0) / step


@pytest.mark.parametrize("blob", [False, True], ids=["spread", "in-one-blob"])
def test_atoms_decode_to_the_uncompressed_file_colour_by_colour(decode_and_validate, blob):
    """Each palette colour's primitives, concatenated, hold that colour's atoms
    of the uncompressed file in the same (Morton) order; chunks stay small.
    Atoms in one blob fill one cell of the box's coarse grid, which is sorted
    another way than spread atoms."""
    rng = np.random.default_rng(7)
    count = 2 * CHUNK + 1000
    positions = (rng.random((count, 3)) * [40, 30, 1e-3]).astype(np.float32)
    if blob:
        positions[: count * 9 // 10] = positions[: count * 9 // 10] * 1e-3 + [5, 5, 0]
    types = rng.choice([1, 3, 7, 9, 300], count, p=[0.8, 0.1, 0.05, 0.03, 0.02]).astype(np.uint16)
    box = [[-1, -1, -1], [41, 31, 1]]
    compressed = decode_and_validate({"atoms": plexorin.atoms(positions, types, box=box,
                                                                  compress=True)})["atoms"]
    plain = glb_reader.parse_glb(plexorin.atoms(positions, types, box=box))
    plain_xyz = glb_reader.attribute_array(plain, "POSITION")
    plain_rgb = glb_reader.attribute_array(plain, "COLOR_0")
    node, prims = primitives(compressed)
    assert "COLOR_0" not in prims[0][0]["attributes"] and len(prims) == 4  # type 1 in two chunks
    assert all(len(stored) <= CHUNK for _, stored in prims)
    materials = compressed.document["materials"]
    by_colour = {}
    for primitive, stored in prims:
        material = materials[primitive["material"]]
        assert material["extensions"] == {"KHR_materials_unlit": {}}
        rgb = np.float32(material["pbrMetallicRoughness"]["baseColorFactor"][:3])
        by_colour.setdefault(tuple(rgb), []).append(stored)
    extents = np.array([positions.min(axis=0), positions.max(axis=0)], np.float64)
    # Types 7, 9 and 300 share the last palette entry.
    assert set(by_colour) == {tuple(row) for row in plain_rgb} and len(by_colour) == 3
    for rgb, parts in by_colour.items():
        expected = plain_xyz[np.all(plain_rgb == rgb, axis=1)]
        stored = np.concatenate(parts)
        assert len(stored) == len(expected)
        assert_within_half_step(node, stored, expected, extents)


def concatenated(glb, name):
    node, prims = primitives(glb)
    assert all(len(stored) <= CHUNK for _, stored in prims) and len(prims) == 2
    return node, np.concatenate([glb_reader.accessor_array(glb, p["attributes"][name])
                                 for p, _ in prims])


def processor_uses_bmi2_layout():
    with open("/proc/cpuinfo") as cpuinfo:
        flags = next((line.split(":", 1)[1].split() for line in cpuinfo
                      if line.startswith("flags")), [])
    return {"avx2", "bmi2"} <= set(flags)


def fine_morton_order(positions):
    """The documented order of compressed clouds: Morton keys of trunc(64 s),
    16 bits per axis in the processor's layout, s the atom pipeline's scaled
    coordinate (0..1023, float32 minimum and inverse extent) over the cube on
    the exact extents; ties in input order."""
    lo = positions.min(axis=0).astype(np.float64)
    hi = lo + (positions.max(axis=0) - lo).max()
    inverse = (1.0 / (hi - lo).astype(np.float32).astype(np.float64)).astype(np.float32)
    scaled = ((positions.astype(np.float64) - lo) * inverse.astype(np.float64)) * 1023.0 * 64
    fine = np.trunc(np.clip(scaled, 0, 1023 * 64)).astype(np.uint64)
    keys = np.zeros(len(positions), np.uint64)
    for axis, shift in enumerate((1, 2, 0) if processor_uses_bmi2_layout() else (0, 1, 2)):
        for bit in range(16):
            keys |= ((fine[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + shift)
    return np.argsort(keys, kind="stable")


def test_point_clouds_decode_to_their_points_and_colours_in_input_and_morton_order(
        decode_and_validate):
    """order="input" keeps the caller's sequence; the default is the fine
    Morton order (points clumped many to a pipeline cell, across the chunk
    boundary, test its refinement). Colours are a function of position, so
    each must follow its point; every one is within 1/255 of the value given."""
    rng = np.random.default_rng(11)
    count = CHUNK + 500
    clumps = np.round(rng.normal(size=(count, 3)) * [5, 1, 20] / 2) * 2
    positions = (clumps + rng.normal(0, 0.01, (count, 3)) + [0, 100, -3]).astype(np.float32)
    extents = np.array([positions.min(axis=0), positions.max(axis=0)], np.float64)

    def colour_of(xyz):
        return (xyz - extents[0]) / (extents[1] - extents[0])

    rgb16 = np.round(colour_of(positions) * 65535).astype(np.uint16)
    decoded = decode_and_validate({
        "input": plexorin.point_cloud(positions, colour_of(positions).astype(np.float32),
                                      compress=True, order="input"),
        "morton": plexorin.point_cloud(positions, np.c_[rgb16, rgb16[:, :1]], compress=True)})
    for name, expected in (("input", positions), ("morton", positions[fine_morton_order(positions)])):
        node, stored = concatenated(decoded[name], "POSITION")
        assert_within_half_step(node, stored, expected, extents, uniform=True)
        _, rgba = concatenated(decoded[name], "COLOR_0")
        assert rgba.dtype == np.uint8
        np.testing.assert_allclose(rgba[:, :3] / 255, colour_of(expected.astype(np.float64)),
                                   rtol=0, atol=1 / 255)
        np.testing.assert_array_equal(rgba[:, 3], 255 if name == "input" else rgba[:, 0])


def canonical_triangles(faces):
    """Each triangle rotated to start at its smallest index (winding kept), sorted."""
    faces = np.asarray(faces).reshape(-1, 3)
    start = faces.argmin(axis=1)
    rotated = np.stack([faces[np.arange(len(faces)), (start + k) % 3] for k in range(3)], axis=1)
    return rotated[np.lexsort(rotated.T[::-1])]


def test_mesh_decodes_to_the_same_triangles_over_the_same_vertices(decode_and_validate):
    """Vertices are matched to the caller's by their grid point; triangles,
    normals (against the uncompressed file's) and colours must then agree."""
    rng = np.random.default_rng(5)
    size = 300  # more than 65536 vertices: 32-bit indices
    u, v = np.meshgrid(np.linspace(0, 2 * np.pi, size, endpoint=False),
                       np.linspace(0, 2 * np.pi, size, endpoint=False), indexing="ij")
    torus = np.stack([(3 + np.cos(v)) * np.cos(u), (3 + np.cos(v)) * np.sin(u), np.sin(v)], -1)
    positions = np.vstack([torus.reshape(-1, 3), [[9, 9, 9]]]).astype(np.float32)  # one unused
    i, j = np.meshgrid(np.arange(size), np.arange(size), indexing="ij")
    a, b = i * size + j, ((i + 1) % size) * size + j
    c, d = ((i + 1) % size) * size + (j + 1) % size, i * size + (j + 1) % size
    faces = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3),
                            np.stack([a, c, d], -1).reshape(-1, 3)])
    colors = rng.integers(0, 256, (len(positions), 3), dtype=np.uint8)
    small = positions[:9]  # 16-bit indices
    decoded = decode_and_validate({
        "mesh": plexorin.mesh(positions, faces, colors=colors, compress=True),
        "small": plexorin.mesh(small, [[0, 1, 2], [2, 1, 3]], compress=True)})
    plain_normals = glb_reader.attribute_array(
        glb_reader.parse_glb(plexorin.mesh(positions, faces)), "NORMAL")
    sources = {}
    for name, xyz, tris in (("mesh", positions, faces), ("small", small, [[0, 1, 2], [2, 1, 3]])):
        glb = decoded[name]
        node, [(primitive, stored)] = primitives(glb)
        assert len(set(node["scale"])) == 1, "a uniform scale keeps normals' directions"
        step, origin = node["scale"][0], np.array(node["translation"])
        grid = np.round((xyz.astype(np.float64) - origin) / step).astype(np.int64)
        assert len({tuple(g) for g in grid}) == len(xyz)
        place = {tuple(g): k for k, g in enumerate(grid)}
        source = sources[name] = np.array([place[tuple(q)] for q in stored[:, :3].astype(np.int64)])
        assert sorted(source) == list(range(len(xyz)))
        assert np.all(np.abs(origin + step * stored[:, :3] - xyz[source]) <= step / 2 * (1 + 1e-9))
        indices = glb_reader.indices_array(glb)
        assert indices.dtype == (np.uint32 if name == "mesh" else np.uint16)
        np.testing.assert_array_equal(canonical_triangles(source[indices]), canonical_triangles(tris))
    source = sources["mesh"]
    normals = glb_reader.attribute_array(decoded["mesh"], "NORMAL").astype(np.float64)
    normals /= np.linalg.norm(normals, axis=1)[:, None]
    # 8-bit octahedral normals: within 2 degrees.
    cosines = np.einsum("ij,ij->i", normals, plain_normals[source])
    assert cosines.min() > np.cos(np.radians(2)), np.degrees(np.arccos(cosines.min()))
    np.testing.assert_array_equal(glb_reader.attribute_array(decoded["mesh"], "COLOR_0"),
                                  np.c_[colors[source], np.full(len(source), 255)])
