"""Our files read back by independent readers: files built by hand from the
document templates, the Khronos glTF validator, trimesh, and a small
reference of the Morton order of atoms."""

import io
import struct

import numpy as np
import pytest

from glb_reader import accessor_array, attribute_array, indices_array, parse_glb

# ------------------------------------------------------ reference: files --

COMMON = ('{"asset":{"version":"2.0","generator":"Zarn Native"},"scene":0,"scenes":[{"nodes":[0]}],'
          '"nodes":[{"mesh":0,"name":"%s"}],')
CLOUD_TAIL = ('"meshes":[{"primitives":[{"attributes":{"POSITION":0,"COLOR_0":1},"mode":0}],'
              '"name":"AtomCloud"}],"accessors":[{"bufferView":0,"componentType":5126,"count":%d,'
              '"type":"VEC3","min":[%.6f,%.6f,%.6f],"max":[%.6f,%.6f,%.6f]},{"bufferView":1,'
              '"componentType":5126,"count":%d,"type":"%s"}],"bufferViews":[{"buffer":0,'
              '"byteOffset":0,"byteLength":%d,"target":34962},{"buffer":0,"byteOffset":%d,'
              '"byteLength":%d,"target":34962}],"buffers":[{"byteLength":%d}]}')
MATERIAL = ('"materials":[{"pbrMetallicRoughness":{"baseColorFactor":[%.4f,%.4f,%.4f,%.4f],'
            '"metallicFactor":%.4f,"roughnessFactor":%.4f},"emissiveFactor":[%.4f,%.4f,%.4f],'
            '"doubleSided":%s}],')
POSITION_ACCESSOR = ('{"bufferView":0,"componentType":5126,"count":%d,"type":"VEC3",'
                     '"min":[%.6f,%.6f,%.6f],"max":[%.6f,%.6f,%.6f]},'
                     '{"bufferView":1,"componentType":5126,"count":%d,"type":"VEC3"},')
VIEW = '{"buffer":0,"byteOffset":%d,"byteLength":%d,"target":%d}'


def cloud_document(count, vmin, vmax, color_type, position_bytes, color_bytes):
    return (COMMON % "Atoms") + CLOUD_TAIL % (
        count, *vmin, *vmax, count, color_type, position_bytes, position_bytes, color_bytes,
        position_bytes + color_bytes)


def mesh_document(vertices, bounds, material, blocks, index_count):
    """blocks: byte lengths of positions, normals, [colours,] indices."""
    colored = len(blocks) == 4
    attributes = '"POSITION":0,"NORMAL":1' + (',"COLOR_0":2' if colored else "")
    accessors = POSITION_ACCESSOR % (vertices, *bounds, vertices)
    if colored:
        accessors += '{"bufferView":2,"componentType":5126,"count":%d,"type":"VEC4"},' % vertices
    accessors += ('{"bufferView":%d,"componentType":5125,"count":%d,"type":"SCALAR"}'
                  % (len(blocks) - 1, index_count))
    offsets = np.concatenate([[0], np.cumsum(blocks)[:-1]]).tolist()
    targets = [34962] * (len(blocks) - 1) + [34963]
    views = ",".join(VIEW % view for view in zip(offsets, blocks, targets))
    base, metallic, roughness, emissive, double_sided = material
    return ((COMMON % "Mesh") + MATERIAL % (*base, metallic, roughness, *emissive,
                                           "true" if double_sided else "false")
            + '"meshes":[{"primitives":[{"attributes":{%s},"indices":%d,"material":0,"mode":4}],'
              '"name":"MeshGeometry"}],' % (attributes, len(blocks) - 1)
            + '"accessors":[%s],"bufferViews":[%s],"buffers":[{"byteLength":%d}]}'
            % (accessors, views, sum(blocks)))


def glb_file(document, payload):
    text = document.encode("ascii")
    text += b" " * (-len(text) % 4)
    payload += b"\0" * (-len(payload) % 4)
    return (struct.pack("<III", 0x46546C67, 2, 28 + len(text) + len(payload))
            + struct.pack("<II", len(text), 0x4E4F534A) + text
            + struct.pack("<II", len(payload), 0x004E4942) + payload)


def f32(*values):
    return np.array(values, np.float32).tobytes()


PALETTE = np.array([[0.5, 0.5, 0.5], [1.0, 0.267, 0.267], [0.267, 1.0, 0.267],
                    [0.267, 0.267, 1.0], [1.0, 1.0, 0.267], [1.0, 0.267, 1.0],
                    [0.267, 1.0, 1.0], [0.6, 0.6, 0.6]], np.float32)


def test_palette_reference_has_the_documented_bit_patterns():
    bits = PALETTE.view(np.uint32)
    assert bits[1, 1] == 0x3E88B439 and bits[7, 0] == 0x3F19999A


# ------------------------------------------------ reference: Morton order --

def processor_uses_bmi2_layout():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                return {"avx2", "bmi2"} <= flags
    return False


def cells(positions, vmin, vmax):
    """10-bit cell indices per axis, quantised over the box [vmin, vmax]."""
    extent = (np.asarray(vmax, np.float64) - np.asarray(vmin, np.float64)).astype(np.float32)
    with np.errstate(divide="ignore"):
        inverse = np.where(extent > np.float32(1e-10),
                           (1.0 / extent.astype(np.float64)).astype(np.float32), np.float32(1e10))
    low = np.asarray(vmin, np.float64).astype(np.float32).astype(np.float64)
    scaled = ((positions.astype(np.float64) - low) * inverse.astype(np.float64)) * 1023.0
    with np.errstate(invalid="ignore"):
        clipped = np.where(np.isnan(scaled) | (scaled <= 0), 0, np.minimum(scaled, 1023))
    return np.trunc(clipped).astype(np.uint32)


def morton_keys(cell_xyz, bmi2_layout):
    shifts = (1, 2, 0) if bmi2_layout else (0, 1, 2)  # key bit 3k + shift per axis
    keys = np.zeros(len(cell_xyz), np.uint32)
    for axis, shift in enumerate(shifts):
        for bit in range(10):
            keys |= ((cell_xyz[:, axis] >> bit) & 1) << (3 * bit + shift)
    return keys


def morton_order(positions, vmin, vmax, bmi2_layout=None):
    if bmi2_layout is None:
        bmi2_layout = processor_uses_bmi2_layout()
    keys = morton_keys(cells(positions, vmin, vmax), bmi2_layout)
    return np.argsort(keys, kind="stable")


@pytest.mark.parametrize("cell, bmi2, portable", [
    ((1, 0, 0), 2, 1), ((0, 1, 0), 4, 2), ((0, 0, 1), 1, 4),
    ((1023, 1023, 1023), 0x3FFFFFFF, 0x3FFFFFFF), ((255, 511, 767), 0x0CFFFFFF, 0x22FFFFFF),
])
def test_morton_reference_matches_documented_keys(cell, bmi2, portable):
    cell_xyz = np.array([cell], np.uint32)
    assert morton_keys(cell_xyz, True)[0] == bmi2
    assert morton_keys(cell_xyz, False)[0] == portable


def test_morton_reference_quantises_documented_example():
    assert cells(np.array([[0.25, 0.5, 0.75]], np.float32), [0, 0, 0], [1, 1, 1]).tolist() == \
        [[255, 511, 767]]


def grid_points(rng, count, cells_per_axis=256):
    """Coordinates that are multiples of 1/64: exact in six decimals."""
    return (rng.integers(0, cells_per_axis, (count, 3)) / 64 - 1).astype(np.float32)


def exact_box(positions):
    return positions.min(axis=0).tolist(), positions.max(axis=0).tolist()


def test_two_atom_order_follows_the_processor_layout(plexorin):
    positions = np.array([[1.5, 0.5, 0.5], [0.5, 0.5, 1.5]], np.float32)
    glb = parse_glb(plexorin.atom_glb(positions, np.array([1, 2], np.uint16),
                                      [0, 0, 0], [1023, 1023, 1023]))
    first = attribute_array(glb, "POSITION")[0]
    expected_first = positions[1] if processor_uses_bmi2_layout() else positions[0]
    np.testing.assert_array_equal(first, expected_first)


@pytest.mark.parametrize("count, cells_per_axis", [(1, 4), (500, 8), (5000, 256), (120_000, 64)])
def test_atoms_come_out_in_morton_order_with_palette_colours(plexorin, count, cells_per_axis):
    """Few cells per axis force many atoms into one cell, whose input order
    must survive; 120000 atoms take the multi-threaded path."""
    rng = np.random.default_rng(count)
    positions = grid_points(rng, count, cells_per_axis)
    types = rng.integers(0, 70000, count, dtype=np.uint32).astype(np.uint16)
    types[: min(count, 12)] = [0, 1, 2, 3, 4, 5, 6, 7, 8, 255, 65535, 9][: min(count, 12)]
    vmin, vmax = exact_box(positions)
    glb = parse_glb(plexorin.atom_glb(positions, types, vmin, vmax))
    order = morton_order(positions, vmin, vmax)
    np.testing.assert_array_equal(attribute_array(glb, "POSITION"), positions[order])
    np.testing.assert_array_equal(attribute_array(glb, "COLOR_0"),
                                  PALETTE[np.minimum(types[order], 7)])


def test_atoms_outside_the_box_are_kept_with_their_colours(plexorin):
    positions = np.array([[2, 2, 2], [-1, 0.5, 0.5], [0.5, 0.5, 0.5], [0, 0, 0]], np.float32)
    types = np.array([1, 2, 3, 4], np.uint16)
    box = ([0.0, 0.0, 0.0], [1.0, 1.0, 1.0])
    glb = parse_glb(plexorin.atom_glb(positions, types, *box))
    order = morton_order(positions, *box)
    np.testing.assert_array_equal(attribute_array(glb, "POSITION"), positions[order])
    np.testing.assert_array_equal(attribute_array(glb, "COLOR_0"), PALETTE[types[order]])
    assert glb.document["accessors"][0]["min"] == [0, 0, 0]


# ------------------------------------------------- worked, byte for byte --

def test_empty_atom_file(plexorin):
    expected = glb_file("{}", b"")
    assert len(expected) == 32
    assert plexorin.atom_glb(b"", b"", [5, 5, 5], [-1, -1, -1]) == expected


def test_one_atom_file(plexorin):
    vmin, vmax = (0, 0, 0), (1, 1, 1)
    document = (COMMON % "Atoms") + CLOUD_TAIL.replace('"type":"%s"', '"type":"VEC3"') % (
        1, *vmin, *vmax, 1, 12, 12, 12, 24)
    assert len(document) == 595
    expected = glb_file(document, f32(0.25, 0.5, 0.75, 0.267, 1.0, 0.267))
    assert len(expected) == 648
    assert plexorin.atom_glb(f32(0.25, 0.5, 0.75), struct.pack("<H", 2), vmin, vmax) == expected


@pytest.mark.parametrize("positions, colors, kind, document_length, file_length", [
    ((), (), "VEC4", 591, 620),
    ((0.25, 0.5, 0.75), (1.0, 0.5, 0.0), "VEC3", 595, 648),
    ((0.25, 0.5, 0.75, -1, -2, -3), (1, 0, 0, 1, 0, 1, 0, 0.5), "VEC4", None, None),
    ((1, 2, 3, 4, 5, 6, 7), (), "VEC3", None, None),  # 7 floats: two points
])
def test_point_cloud_files(plexorin, positions, colors, kind, document_length, file_length):
    vmin, vmax = (0, 0, 0), (0, 0, 0)
    document = cloud_document(len(positions) // 3, vmin, vmax, kind, 4 * len(positions),
                              4 * len(colors))
    expected = glb_file(document, f32(*positions) + f32(*colors))
    if document_length is not None:
        assert (len(document), len(expected)) == (document_length, file_length)
    assert plexorin.point_cloud_glb(f32(*positions), f32(*colors), vmin, vmax) == expected


@pytest.mark.parametrize("vmin, texts", [
    ((-0.0, 1e20, 4e-7), "-0.000000,100000000000000000000.000000,0.000000"),
    ((-4e-7, 0.1234567, 2 ** -21), "-0.000000,0.123457,0.000000"),
])
def test_bounds_are_written_with_six_decimals(plexorin, vmin, texts):
    data = plexorin.point_cloud_glb(b"", b"", vmin, (0, 0, 0))
    assert b'"min":[' + texts.encode() + b"]" in data
    assert data == glb_file(cloud_document(0, vmin, (0, 0, 0), "VEC4", 0, 0), b"")


TRIANGLE = dict(positions=(0, 0, 0, 1, 0, 0, 0, 1, 0), normals=(0, 0, 1) * 3, indices=(0, 1, 2))


@pytest.mark.parametrize("colors, double_sided, document_length, file_length", [
    (None, False, 943, 1056), ((1, 0, 0, 1) * 3, True, 1078, 1240),
])
def test_one_triangle_mesh_files(plexorin, colors, double_sided, document_length, file_length):
    bounds = (0, 0, 0, 1, 1, 0)
    material = ((1, 1, 1, 1), 0, 0.5, (0, 0, 0), double_sided)
    blocks = [36, 36] + ([48] if colors else []) + [12]
    document = mesh_document(3, bounds, material, blocks, 3)
    payload = (f32(*TRIANGLE["positions"]) + f32(*TRIANGLE["normals"]) +
               (f32(*colors) if colors else b"") + struct.pack("<3I", *TRIANGLE["indices"]))
    expected = glb_file(document, payload)
    assert (len(document), len(expected)) == (document_length, file_length)
    data = plexorin.mesh_glb(f32(*TRIANGLE["positions"]), f32(*TRIANGLE["normals"]),
                             struct.pack("<3I", *TRIANGLE["indices"]), bounds, [1, 1, 1, 1], 0,
                             0.5, [0, 0, 0], double_sided,
                             None if colors is None else f32(*colors))
    assert data == expected


def test_empty_mesh_with_default_material(plexorin):
    material = ((1, 1, 1, 1), 0, 1, (0, 0, 0), True)
    document = mesh_document(0, (0,) * 6, material, [0, 0, 0], 0)
    expected = glb_file(document, b"")
    assert (len(document), len(expected)) == (936, 964)
    assert plexorin.mesh_glb(b"", b"", b"", [0] * 6, [1, 1, 1, 1], 0, 1, [0] * 3, True) == expected


def test_mesh_factors_are_written_with_four_decimals(plexorin):
    material = ((0.25, 0.5, 0.75, 1), 1.5, -0.5, (-0.125, 0, 2), False)
    document = mesh_document(1, (-1.5, 0, 0, 1, 1, 1), material, [12, 0, 4, 4], 1)
    expected = glb_file(document, f32(0, 0, 0) + f32(1) + struct.pack("<I", 0))
    assert b'"metallicFactor":1.5000,"roughnessFactor":-0.5000' in expected
    assert b'"emissiveFactor":[-0.1250,0.0000,2.0000]' in expected
    data = plexorin.mesh_glb(f32(0, 0, 0), b"", struct.pack("<I", 0), [-1.5, 0, 0, 1, 1, 1],
                             [0.25, 0.5, 0.75, 1], 1.5, -0.5, [-0.125, 0, 2], False, f32(1))
    assert data == expected


# --------------------------------------------------- Khronos validator --

def unit_normals(rng, count):
    axes = np.concatenate([np.eye(3), -np.eye(3)]).astype(np.float32)
    return axes[rng.integers(0, 6, count)]


def grid_mesh(size):
    """A size x size grid of quads in the z = 0 plane, two triangles each."""
    ticks = np.arange(size + 1, dtype=np.float32) / 64
    x, y = np.meshgrid(ticks, ticks, indexing="xy")
    positions = np.stack([x.ravel(), y.ravel(), np.zeros(x.size, np.float32)], axis=1)
    corner = (np.arange(size)[None, :] + (size + 1) * np.arange(size)[:, None]).ravel()
    quads = np.stack([corner, corner + 1, corner + size + 2, corner, corner + size + 2,
                      corner + size + 1], axis=1)
    return positions.astype(np.float32), quads.astype(np.uint32).reshape(-1)


def mesh_bounds(positions):
    low, high = exact_box(positions)
    return low + high


@pytest.fixture(scope="module")
def written_files(plexorin):
    """Named non-empty files whose bounds are the exact min/max of their positions."""
    rng = np.random.default_rng(2024)
    files = {}
    for count in (1, 300, 120_000):
        positions = grid_points(rng, count)
        types = rng.integers(0, 20, count).astype(np.uint16)
        files[f"atoms-{count}"] = plexorin.atom_glb(positions, types, *exact_box(positions))
    positions = grid_points(rng, 500)
    rgba = (rng.integers(0, 65, (500, 4)) / 64).astype(np.float32)
    files["cloud-rgb"] = plexorin.point_cloud_glb(positions, rgba[:, :3], *exact_box(positions))
    files["cloud-rgba"] = plexorin.point_cloud_glb(positions, rgba, *exact_box(positions))
    xyzw = np.concatenate([positions, np.ones((500, 1), np.float32)], axis=1)
    files["cloud-strided"] = plexorin.point_cloud_glb(xyzw[:, :3], rgba[::-1], *exact_box(positions))
    grid, indices = grid_mesh(12)
    normals = np.tile(np.array([0, 0, 1], np.float32), (len(grid), 1))
    colors = (rng.integers(0, 65, (len(grid), 4)) / 64).astype(np.float32)
    bounds = mesh_bounds(grid)
    material = ([0.8, 0.25, 0.5, 1], 0.25, 0.75, [0.125, 0, 0])
    files["mesh-plain"] = plexorin.mesh_glb(grid, normals, indices, bounds, *material[:3],
                                            material[3], False)
    files["mesh-colored"] = plexorin.mesh_glb(grid, normals, indices, bounds, *material[:3],
                                              material[3], True, colors)
    odd = bytearray(1) + bytearray(grid.tobytes())
    files["mesh-unaligned-fortran"] = plexorin.mesh_glb(
        memoryview(odd)[1:], np.asfortranarray(normals), indices, bounds, *material[:3],
        material[3], True, np.asfortranarray(colors))
    scattered = grid_points(rng, 200)
    files["mesh-random"] = plexorin.mesh_glb(
        scattered, unit_normals(rng, 200), rng.integers(0, 200, 600).astype(np.uint32),
        mesh_bounds(scattered), [1, 1, 1, 1], 0, 1, [0, 0, 0], True)
    return files


@pytest.fixture(scope="module")
def validator_reports(written_files, validate_glbs):
    names = sorted(written_files)
    return dict(zip(names, validate_glbs([written_files[name] for name in names])))


FILE_NAMES = ["atoms-1", "atoms-300", "atoms-120000", "cloud-rgb", "cloud-rgba", "cloud-strided",
              "mesh-plain", "mesh-colored", "mesh-unaligned-fortran", "mesh-random"]


@pytest.mark.parametrize("name", FILE_NAMES)
def test_validator_finds_no_errors_or_warnings(validator_reports, name):
    report = validator_reports[name]
    problems = [m for m in report["messages"] if m["severity"] <= 1]
    assert (report["numErrors"], report["numWarnings"]) == (0, 0), problems


def test_validator_reports_for_empty_files_are_the_known_ones(plexorin, validate_glbs):
    empty_atoms, empty_cloud, empty_mesh = validate_glbs([
        plexorin.atom_glb(b"", b"", [0] * 3, [0] * 3),
        plexorin.point_cloud_glb(b"", b"", [0] * 3, [0] * 3),
        plexorin.mesh_glb(b"", b"", b"", [0] * 6, [1] * 4, 0, 1, [0] * 3, True),
    ])

    def errors(report):
        return sorted((m["code"], m.get("pointer")) for m in report["messages"] if m["severity"] == 0)

    def codes(report):
        return {m["code"] for m in report["messages"]}

    # The 32-byte file has no asset; every other empty file has zero counts.
    assert errors(empty_atoms) == [("UNDEFINED_PROPERTY", "/")]
    zero = "VALUE_NOT_IN_RANGE"
    assert errors(empty_cloud) == sorted(
        [(zero, f"/accessors/{i}/count") for i in range(2)]
        + [(zero, "/buffers/0/byteLength")] + [(zero, f"/bufferViews/{i}/byteLength") for i in range(2)])
    assert errors(empty_mesh) == sorted(
        [(zero, f"/accessors/{i}/count") for i in range(3)]
        + [(zero, "/buffers/0/byteLength")] + [(zero, f"/bufferViews/{i}/byteLength") for i in range(3)])
    for report in (empty_atoms, empty_cloud, empty_mesh):
        assert "GLB_EMPTY_BIN_CHUNK" in codes(report)
        assert report["numWarnings"] == 0


# -------------------------------------------------------------- trimesh --

def load_single_geometry(data):
    trimesh = pytest.importorskip("trimesh")
    scene = trimesh.load(io.BytesIO(data), file_type="glb", process=False)
    geometries = list(scene.geometry.values())
    assert len(geometries) == 1
    return geometries[0]


def as_bytes_colour(colors):
    return np.round(np.asarray(colors, np.float64) * 255)


def test_trimesh_reads_atoms_in_morton_order(plexorin):
    rng = np.random.default_rng(11)
    positions = grid_points(rng, 2000)
    types = rng.integers(0, 10, 2000).astype(np.uint16)
    vmin, vmax = exact_box(positions)
    cloud = load_single_geometry(plexorin.atom_glb(positions, types, vmin, vmax))
    order = morton_order(positions, vmin, vmax)
    np.testing.assert_array_equal(cloud.vertices, positions[order])
    colours = np.asarray(cloud.colors, np.float64)
    assert np.abs(colours[:, :3] - as_bytes_colour(PALETTE[np.minimum(types[order], 7)])).max() <= 1
    assert (colours[:, 3] == 255).all()


@pytest.mark.parametrize("components", [3, 4])
def test_trimesh_reads_point_cloud_positions_and_colours(plexorin, components):
    rng = np.random.default_rng(components)
    positions = grid_points(rng, 700)
    colors = (rng.integers(0, 65, (700, components)) / 64).astype(np.float32)
    cloud = load_single_geometry(plexorin.point_cloud_glb(positions, colors, *exact_box(positions)))
    np.testing.assert_array_equal(cloud.vertices, positions)  # never reordered
    colours = np.asarray(cloud.colors, np.float64)
    assert np.abs(colours[:, :components] - as_bytes_colour(colors)).max() <= 1


@pytest.mark.parametrize("with_colors", [False, True])
def test_trimesh_reads_mesh_arrays_and_material(plexorin, with_colors):
    rng = np.random.default_rng(5)
    positions, indices = grid_mesh(9)
    normals = unit_normals(rng, len(positions))
    colors = (rng.integers(0, 65, (len(positions), 4)) / 64).astype(np.float32)
    data = plexorin.mesh_glb(positions, normals, indices, mesh_bounds(positions),
                             [0.5, 0.25, 1, 1], 0.25, 0.75, [0, 0, 0], False,
                             colors if with_colors else None)
    mesh = load_single_geometry(data)
    np.testing.assert_array_equal(mesh.vertices, positions)
    np.testing.assert_array_equal(mesh.faces, indices.reshape(-1, 3))
    np.testing.assert_array_equal(mesh.vertex_normals, normals)
    attributes = mesh.visual.vertex_attributes
    if with_colors:
        np.testing.assert_array_equal(attributes["color"], colors)
    else:
        assert "color" not in attributes
    assert mesh.visual.material.doubleSided is False
    assert mesh.visual.material.roughnessFactor == pytest.approx(0.75)


def test_independent_reader_agrees_with_trimesh_on_indices(plexorin):
    positions, indices = grid_mesh(3)
    glb = parse_glb(plexorin.mesh_glb(positions, positions, indices, mesh_bounds(positions),
                                      [1] * 4, 0, 1, [0] * 3, True))
    np.testing.assert_array_equal(indices_array(glb), indices)
    np.testing.assert_array_equal(accessor_array(glb, 1), positions)
