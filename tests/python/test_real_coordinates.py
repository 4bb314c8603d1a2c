"""Real coordinates: LiDAR files of laspy's test data (fetched from the
package index; 0.6 to 5.8 million, in state-plane feet and UTM metres) go
through `convert`, `point_cloud`, `atoms` and `mesh` (the scan's Delaunay
triangles), plain and compressed. Each file
is read back by parties independent of the builders: npm `meshoptimizer`
decodes the compressed ones, trimesh applies the node transforms in float64,
laspy gives the reference, the Khronos validator checks them all."""

import io
import json
import pathlib
import subprocess

import numpy as np
import pytest

from glb_reader import parse_glb
from real_data import real_file

laspy = pytest.importorskip("laspy")
trimesh = pytest.importorskip("trimesh")
spatial = pytest.importorskip("scipy.spatial")
plexorin = pytest.importorskip("plexorin")
from plexorin import cli  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[2]
DECODER = REPO / "tests" / "js" / "meshopt-decode.mjs"
# Extents from 2 m to 1.2 km; autzen_trim's 110,000 points split the
# float64 passes over threads.
LIDAR = ["plane.laz", "file_with_both_wkt_and_geotiff_vlrs.las", "autzen_trim.laz",
         "simple1_3.las"]
AIM = 2.0 ** -22  # of the largest extent, for each coordinate
STEPS = 16383  # a 14-bit grid over the extent: half a step is extent / 32766


def lidar(name):
    return real_file("laspy", "2.7.0", f"tests/data/{name}")


def world_points(path):
    """Every point of a plain GLB file with its node transforms applied in
    float64 (trimesh): glTF's y-up world coordinates."""
    scene = trimesh.load(io.BytesIO(path.read_bytes()), file_type="glb", process=False)
    placed = []
    for node in scene.graph.nodes_geometry:
        matrix, name = scene.graph[node]
        placed.append(trimesh.transform_points(np.asarray(scene.geometry[name].vertices,
                                                          np.float64), matrix))
    return np.concatenate(placed)


def assert_same_points(got, expected, bound):
    """The same number of points, each within `bound` per axis of one of the
    others and the other way round (nearest in the scaled max norm)."""
    assert got.shape == expected.shape
    for a, b in ((got, expected), (expected, got)):
        distance, _ = spatial.cKDTree(b / bound).query(a / bound, p=np.inf)
        assert distance.max() <= 1.0, (distance.max(), bound)


def files_of(name, folder):
    """{file name: (bytes, z up, compressed, per-axis grid)} for one LAS file."""
    path = lidar(name)
    xyz = laspy.read(path).xyz
    types = np.arange(len(xyz)) % 9
    faces = spatial.Delaunay(xyz[:, :2] - xyz[:, :2].min(axis=0)).simplices
    files = {}
    for compress in (False, True):
        tag = "c" if compress else "p"
        out = folder / f"{name}.convert.{tag}.glb"
        assert cli.main(["convert", str(path), str(out), *(["--compress"] if compress else [])]) == 0
        files[out.name] = (out.read_bytes(), True, compress, False)
        files[f"{name}.points.{tag}.glb"] = (plexorin.point_cloud(xyz, compress=compress), False,
                                             compress, False)
        files[f"{name}.atoms.{tag}.glb"] = (plexorin.atoms(xyz, types, compress=compress, up="z"),
                                            True, compress, True)
        files[f"{name}.mesh.{tag}.glb"] = (plexorin.mesh(xyz, faces, compress=compress, up="z"),
                                           True, compress, False)
    return xyz, files


def test_lidar_files_keep_every_coordinate_within_the_aims(tmp_path, validate_glbs, capsys):
    if not (REPO / "node_modules" / "meshoptimizer").is_dir():
        pytest.skip("node_modules/meshoptimizer missing (run make setup)")
    cases, pairs = [], []
    for name in LIDAR:
        xyz, files = files_of(name, tmp_path)
        for file_name, (data, z_up, compressed, per_axis) in files.items():
            path = tmp_path / file_name
            path.write_bytes(data)
            readable = path.with_suffix(".decoded.glb") if compressed else path
            if compressed:
                pairs += [path, readable]
            cases.append((xyz, path, readable, z_up, compressed, per_axis))
    subprocess.run(["node", str(DECODER), *map(str, pairs)], cwd=REPO, check=True, timeout=600)
    reports = validate_glbs([case[1] for case in cases] + pairs[1::2])
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * len(reports)
    worst = {}
    for xyz, path, readable, z_up, compressed, per_axis in cases:
        extents = xyz.max(axis=0) - xyz.min(axis=0)
        largest = extents.max()
        bound = np.full(3, AIM * largest)
        if compressed:
            bound += (extents if per_axis else largest) / STEPS / 2 * (1 + 1e-6)
        document = parse_glb(path.read_bytes()).document
        root = document["nodes"][document["scenes"][0]["nodes"][0]]
        assert root["name"] == "Frame" and ("rotation" in root) == z_up
        world = world_points(readable)
        # y-up world back to the data's z-up axes: (x, z, -y) -> (x, y, z).
        data = world[:, [0, 2, 1]] * [1, -1, 1] if z_up else world
        assert_same_points(data, xyz, bound)
        if "points.p" in path.name:  # the order given: compared point by point
            error = np.abs(data - xyz).max(axis=0)
            worst[path.name] = (error / largest).max()
        capsys.readouterr()
        assert cli.main(["info", "--json", str(path)]) == 0
        summary = json.loads(capsys.readouterr().out)
        assert summary["up"] == ("z" if z_up else "y")
        np.testing.assert_allclose(summary["origin"], (xyz.min(axis=0) + xyz.max(axis=0)) / 2,
                                   rtol=0, atol=1e-9 * np.abs(xyz).max())
        assert np.all(np.abs(np.array(summary["bounds"]["min"]) - xyz.min(axis=0)) <= bound)
        assert np.all(np.abs(np.array(summary["bounds"]["max"]) - xyz.max(axis=0)) <= bound)
    # Float32 offsets from the middle err by at most 2^-25 of the extent
    # (and trimesh's float64 sums by far less).
    assert max(worst.values()) <= 2.0 ** -25 * 1.01, worst


def test_convert_turns_lidar_upright_and_up_is_checked(tmp_path):
    """A LAS file's points become y-up: its heights run along glTF's y; with
    --up y they stay along z. `up` takes only "y" and "z"."""
    path = lidar("simple1_3.las")
    spans = {}
    for up in ("z", "y"):
        out = tmp_path / f"{up}.glb"
        assert cli.main(["convert", str(path), str(out), "--up", up]) == 0
        world = world_points(out)
        spans[up] = world.max(axis=0) - world.min(axis=0)
    heights = np.ptp(laspy.read(path).xyz[:, 2])
    assert spans["z"][1] == pytest.approx(heights) and spans["y"][2] == pytest.approx(heights)
    for builder in (lambda: plexorin.point_cloud(np.zeros((2, 3)), up="x"),
                    lambda: plexorin.mesh(np.zeros((3, 3)), [[0, 1, 2]], up=None),
                    lambda: plexorin.atoms(np.zeros((2, 3)), [0, 1], up="Z")):
        with pytest.raises(ValueError, match="^up: expected 'y' or 'z'"):
            builder()


@pytest.mark.parametrize("low, high, framed", [
    ((8.0, 0.0, 0.0), (10.0, 1.0, 1.0), False),   # 2^3 <= 4 * 2: float32 within the aim
    ((16.0, 0.0, 0.0), (18.0, 1.0, 1.0), True),   # 2^4 > 4 * 2
    ((-1e6, -1e6, 0.0), (1e6, 1e6, 1.0), False),  # large, but as wide as it is far
    ((5.0, 5.0, 5.0), (5.0, 5.0, 5.0), True),     # one place: nothing to lose only at 0
])
def test_the_origin_is_taken_only_where_float32_would_miss_the_aim(low, high, framed):
    """The documented rule: with m the largest magnitude and E the largest
    extent of float64 positions, an origin only when 2^floor(log2 m) > 4 E;
    float32 positions are always stored as given."""
    positions = np.linspace(low, high, 50)
    nodes = parse_glb(plexorin.point_cloud(positions)).document["nodes"]
    assert any(node["name"] == "Frame" for node in nodes) == framed
    if not framed:
        assert plexorin.point_cloud(positions) == plexorin.point_cloud(positions.astype(np.float32))
    assert b"Frame" not in plexorin.point_cloud(positions.astype(np.float32))
    # Any layout of the same values: unaligned, big-endian.
    odd = np.frombuffer(b"\0" + positions.astype(">f8").tobytes(), ">f8", offset=1).reshape(-1, 3)
    assert plexorin.point_cloud(odd) == plexorin.point_cloud(positions)
