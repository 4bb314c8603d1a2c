"""The public package against independent parties: the Khronos validator,
trimesh, the low-level module's Morton order, and a NumPy normal reference."""

import io
import os
import threading
import time

import numpy as np
import pytest

from glb_reader import accessor_array, attribute_array, indices_array, parse_glb

plexorin = pytest.importorskip("plexorin")
_plexorin = pytest.importorskip("_plexorin")

SCALES = (1.0, 1e-9, 1e6)


def random_inputs(rng, number):
    """Clouds and meshes in float64, float32 and integer dtypes at three scales."""
    scale = SCALES[number % 3]
    count = int(rng.integers(1, 3000))
    dtype = (np.float64, np.float32, np.int32)[number % 3]
    xyz = rng.normal(scale=scale if dtype != np.int32 else 1000, size=(count, 3)).astype(dtype)
    types = rng.integers(0, 12, count)
    vertices = xyz[: max(3, count // 4)] if len(xyz) >= 3 else rng.normal(size=(3, 3))
    faces = rng.integers(0, len(vertices), (len(vertices), 3))
    faces = faces[(faces[:, 0] != faces[:, 1]) & (faces[:, 1] != faces[:, 2])
                  & (faces[:, 0] != faces[:, 2])]
    colors = [None, rng.random((count, 4)), rng.integers(0, 256, (count, 3)).astype(np.uint8),
              rng.integers(0, 65536, (count, 4)).astype(np.uint16)][number % 4]
    return xyz, types, colors, vertices, faces


@pytest.fixture(scope="module")
def random_files():
    rng = np.random.default_rng(7)
    files = []
    for number in range(120):
        xyz, types, colors, vertices, faces = random_inputs(rng, number)
        mesh_colors = None if colors is None else colors[: len(vertices)]
        files.append(("atoms", xyz, plexorin.atoms(xyz, types)))
        files.append(("cloud", (xyz, colors), plexorin.point_cloud(xyz, colors)))
        files.append(("mesh", (vertices, faces), plexorin.mesh(vertices, faces, colors=mesh_colors)))
    return files


def test_every_random_file_passes_the_validator(random_files, validate_glbs):
    reports = validate_glbs([data for _, _, data in random_files])
    bad = [(kind, r["numErrors"], r["numWarnings"], [m["code"] for m in r["messages"]][:3])
           for (kind, _, _), r in zip(random_files, reports)
           if r["numErrors"] or r["numWarnings"]]
    assert len(reports) == 360 and not bad, bad[:5]


def test_trimesh_reads_back_what_went_in(random_files):
    trimesh = pytest.importorskip("trimesh")
    for kind, inputs, data in random_files[:60]:
        scene = trimesh.load(io.BytesIO(data), file_type="glb", process=False)
        geometry = list(scene.geometry.values())
        if kind == "mesh":
            vertices, faces = inputs
            if len(faces) == 0:
                assert geometry == []
                continue
            (read,) = geometry
            np.testing.assert_array_equal(read.vertices, np.asarray(vertices, np.float32))
            np.testing.assert_array_equal(read.faces, faces)
        elif kind == "cloud":
            (cloud,) = geometry
            xyz, colors = inputs
            np.testing.assert_array_equal(cloud.vertices, np.asarray(xyz, np.float32))
            # trimesh reads float and 8-bit colours (it misreads normalised 16-bit ones).
            if colors is not None and colors.dtype != np.uint16:
                expected = colors * 255 if colors.dtype.kind == "f" else colors
                np.testing.assert_allclose(cloud.colors[:, :colors.shape[1]], expected, atol=0.5)
        else:
            points = np.sort(np.concatenate([g.vertices for g in geometry]), axis=0)
            np.testing.assert_array_equal(points, np.sort(np.asarray(inputs, np.float32), axis=0))


def test_atoms_follow_the_low_level_morton_order_over_the_box():
    rng = np.random.default_rng(3)
    xyz = rng.normal(size=(150_000, 3))
    types = rng.integers(0, 9, len(xyz))
    pos32, types16 = xyz.astype(np.float32), types.astype(np.uint16)
    cell = (np.full(3, -2.0), np.full(3, 2.0))
    for box, vmin, vmax in ((None, pos32.min(0), pos32.max(0)), (cell, *cell)):
        ours = parse_glb(plexorin.atoms(xyz, types, box=box))
        low = parse_glb(_plexorin.atom_glb(pos32, types16, vmin, vmax))
        assert ours.bin == low.bin
        accessor = ours.document["accessors"][0]
        # Shortest texts that read back as the exact float32 extremes.
        np.testing.assert_array_equal(np.float32(accessor["min"]), pos32.min(0))
        np.testing.assert_array_equal(np.float32(accessor["max"]), pos32.max(0))
        assert all(len(repr(v)) <= 16 for v in accessor["min"] + accessor["max"])
    # Other dtypes and layouts give the same file as contiguous float32/uint16.
    reference = plexorin.atoms(pos32, types16)
    assert plexorin.atoms(np.asfortranarray(xyz), types.astype(np.int8)) == reference
    assert plexorin.atoms(pos32.astype(">f4").ravel(), list(types)) == reference


def test_computed_normals_are_area_weighted():
    trimesh = pytest.importorskip("trimesh")
    sphere = trimesh.creation.icosphere(2)
    vertices = sphere.vertices * np.array([1.0, 2.0, 0.5])  # unequal face areas
    faces = sphere.faces
    cross = np.cross(vertices[faces[:, 1]] - vertices[faces[:, 0]],
                     vertices[faces[:, 2]] - vertices[faces[:, 0]])
    sums = np.zeros_like(vertices)
    for corner in range(3):
        np.add.at(sums, faces[:, corner], cross)
    expected = sums / np.linalg.norm(sums, axis=1, keepdims=True)
    written = attribute_array(parse_glb(plexorin.mesh(vertices, faces)), "NORMAL")
    np.testing.assert_allclose(written, expected, atol=1e-6)
    given = plexorin.mesh(vertices, faces, normals=expected, material=plexorin.Material(metallic=1))
    np.testing.assert_array_equal(attribute_array(parse_glb(given), "NORMAL"),
                                  expected.astype(np.float32))
    assert parse_glb(given).document["materials"][0]["pbrMetallicRoughness"]["metallicFactor"] == 1


def test_colours_are_stored_in_the_type_given():
    xyz = np.arange(12.0).reshape(4, 3)
    for colors, component, normalized in ((np.full((4, 3), 0.5), 5126, False),
                                          (np.full((4, 3), 200, np.uint8), 5121, True),
                                          (np.full((4, 4), 60000, np.uint16), 5123, True)):
        glb = parse_glb(plexorin.point_cloud(xyz, colors))
        accessor = glb.document["accessors"][1]
        assert (accessor["componentType"], accessor.get("normalized", False)) == (component, normalized)
        np.testing.assert_array_equal(accessor_array(glb, 1), colors)
    primitive = parse_glb(plexorin.point_cloud(xyz)).document["meshes"][0]["primitives"][0]
    assert "COLOR_0" not in primitive["attributes"]
    assert indices_array(parse_glb(plexorin.mesh(xyz, [0, 1, 2, 1, 2, 3]))).tolist() == [0, 1, 2, 1, 2, 3]


BAD_CALLS = [
    (lambda: plexorin.atoms(np.zeros((1000, 4)), np.zeros(1000, int)), ValueError,
     "positions: expected shape (N, 3)"),
    (lambda: plexorin.atoms(np.zeros((20, 3)), np.r_[np.zeros(17, int), -1, 0, 0]), ValueError,
     "types[17] = -1 is outside 0..65535"),
    (lambda: plexorin.atoms(np.zeros((3, 3)), np.zeros(2, int)), ValueError,
     "types: expected 3 values, one per atom, got 2"),
    (lambda: plexorin.atoms(np.zeros((3, 3)), np.zeros(3)), TypeError,
     "types: expected integers, got dtype float64"),
    (lambda: plexorin.atoms(np.r_[np.zeros((5, 3)), [[0, np.nan, 0]]], np.zeros(6, int)), ValueError,
     "positions[5] is not finite"),
    (lambda: plexorin.point_cloud(np.where(np.isin(np.arange(200_000), [120_000, 190_000])[:, None],
                                           np.nan, np.ones((200_000, 3)))), ValueError,
     "positions[120000] is not finite"),  # the first bad row over several chunks
    (lambda: plexorin.atoms([[0, 0, 1e39]], [0]), ValueError, "positions[0] overflows float32"),
    (lambda: plexorin.atoms(np.zeros((3, 3)), np.zeros(3, int), box=[0, 1]), ValueError,
     "box: expected the corners (lo, hi) as shape (2, 3), got (2,)"),
    (lambda: plexorin.point_cloud(np.zeros((4, 3)), np.full((4, 3), 1.5)), ValueError,
     "colors[0, 0] = 1.5 is outside 0..1"),
    (lambda: plexorin.point_cloud(np.zeros((4, 3)), np.zeros((4, 3), np.int64)), TypeError,
     "colors: expected floats in [0, 1] or uint8/uint16 integers"),
    (lambda: plexorin.mesh(np.zeros((3, 3)), [[0, 1, 3]]), ValueError,
     "faces[0, 2] = 3 is outside 0..2"),
    (lambda: plexorin.mesh(np.zeros((3, 3)), [[0, 1, 2]], material="shiny"), TypeError,
     "material: expected a plexorin.Material, got str"),
    (lambda: plexorin.Material(roughness=2), ValueError, "Material.roughness = 2.0 is outside 0..1"),
    (lambda: plexorin.point_cloud("points.ply"), TypeError,
     "positions: expected an array of numbers, got str"),
    (lambda: plexorin.mesh(np.zeros((3, 3)), [[0, 1, 2]], workers=0), ValueError,
     "workers: expected 1..1024 threads, got 0"),
    (lambda: plexorin.atoms(np.zeros((3, 3)), np.zeros(3, int), workers=True), TypeError,
     "workers: expected a positive integer or None, got bool"),
]


@pytest.mark.parametrize("call, error, text", BAD_CALLS)
def test_errors_name_the_argument(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).startswith(text) and len(str(raised.value)) < 300


def test_a_huge_bad_list_gives_a_short_message():
    points = [[0.0, 0.0]] * 1_000_000
    with pytest.raises(ValueError) as raised:
        plexorin.point_cloud(points)
    assert len(str(raised.value)) < 300


def test_other_threads_run_while_the_core_builds_and_results_match_serial():
    rng = np.random.default_rng(11)
    clouds = [(rng.normal(size=(n, 3)).astype(np.float32), rng.integers(0, 8, n).astype(np.uint16))
              for n in (3_000_000, 200_000, 150_000, 90_000)]
    serial = [plexorin.atoms(*cloud) for cloud in clouds]
    stamps, done = [], threading.Event()

    def tick():
        while not done.is_set():
            stamps.append(time.perf_counter())

    counter = threading.Thread(target=tick)
    counter.start()
    time.sleep(0.05)
    start = time.perf_counter()
    big = plexorin.atoms(*clouds[0])
    end = time.perf_counter()
    done.set()
    counter.join()
    # Holding the lock through the call would leave one gap as long as the call.
    ticks = np.array([start] + [s for s in stamps if start < s < end] + [end])
    assert big == serial[0] and np.diff(ticks).max() < 0.5 * (end - start)
    results = [None] * 8
    # Half of the calls on one core thread each: the same bytes.
    workers = [threading.Thread(target=lambda k=k: results.__setitem__(
        k, plexorin.atoms(*clouds[k % 4], workers=k // 4 or None))) for k in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert results == [serial[k % 4] for k in range(8)]


def test_save_replaces_atomically_and_keeps_the_old_file_on_failure(tmp_path, monkeypatch):
    target = tmp_path / "cloud.glb"
    plexorin.save(target, b"old")
    assert plexorin.save(str(target), b"new contents") == target and target.read_bytes() == b"new contents"

    def full_disk(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", full_disk)
    with pytest.raises(OSError, match="No space left"):
        plexorin.save(target, b"truncated?")
    assert target.read_bytes() == b"new contents" and os.listdir(tmp_path) == ["cloud.glb"]
    with pytest.raises(OSError):
        plexorin.save(tmp_path / "missing" / "x.glb", b"data")
