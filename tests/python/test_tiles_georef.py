"""Tilesets placed on Earth: real LAS files read back through every
transform in float64 against pyproj's and laspy's own coordinates."""

from __future__ import annotations

import json

import numpy as np
import pytest
from scipy import spatial

import glb_reader
import plexorin
from plexorin import cli
from real_data import real_file
from test_tiles import decoded_tiles

laspy = pytest.importorskip("laspy")
pyproj = pytest.importorskip("pyproj")

NEBRASKA = "file_with_both_wkt_and_geotiff_vlrs.las"  # US survey feet, 2.4 million
Y_UP_TO_Z_UP = np.array([[1.0, 0, 0, 0], [0, 0, -1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])


def node_matrix(node):
    if "matrix" in node:
        return np.array(node["matrix"], np.float64).reshape(4, 4).T
    x, y, z, w = node.get("rotation", [0.0, 0.0, 0.0, 1.0])
    rotation = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                         [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                         [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    matrix = np.eye(4)
    matrix[:3, :3] = rotation * np.array(node.get("scale", [1.0, 1.0, 1.0]))
    matrix[:3, 3] = node.get("translation", [0.0, 0.0, 0.0])
    return matrix


def placed_points(glb, index, parent, placed):
    """The points below node `index` with its transforms and `parent` applied."""
    node = glb.document["nodes"][index]
    matrix = parent @ node_matrix(node)
    for primitive in glb.document["meshes"][node["mesh"]]["primitives"] if "mesh" in node else []:
        stored = glb_reader.accessor_array(glb, primitive["attributes"]["POSITION"])
        rows = np.c_[stored[:, :3].astype(np.float64), np.ones(len(stored))]
        placed.append((rows @ matrix.T)[:, :3])
    for child in node.get("children", []):
        placed_points(glb, child, matrix, placed)


def tileset_points(folder):
    """Every point of every tile in the tileset's frame (float64): glTF node
    transforms, the y-up to z-up turn, then the root's transform."""
    document = json.loads((folder / "tileset.json").read_text())
    root = np.array(document["root"].get("transform", np.eye(4).T.ravel()), np.float64)
    outer = root.reshape(4, 4).T @ Y_UP_TO_Z_UP
    placed: list = []
    for glb, _ in decoded_tiles(folder).values():
        for index in glb.document["scenes"][glb.document.get("scene", 0)]["nodes"]:
            placed_points(glb, index, outer, placed)
    return np.concatenate(placed)


def worst_distance(got, expected):
    """The largest distance from a point to the nearest of the others, both ways."""
    assert got.shape == expected.shape
    return max(spatial.cKDTree(b).query(a)[0].max() for a, b in ((got, expected), (expected, got)))


def test_a_las_file_lands_where_pyproj_puts_it_and_keeps_its_coordinates(tmp_path, validate_glbs,
                                                                        capsys):
    path = real_file("laspy", "2.7.0", f"tests/data/{NEBRASKA}")
    las = laspy.read(path)
    xyz = np.asarray(las.xyz, np.float64)
    crs = las.header.parse_crs()
    feet = crs.axis_info[0].unit_conversion_factor  # z is in the unit of x and y
    to_ecef = pyproj.Transformer.from_crs(crs, "EPSG:4978", always_xy=True)
    expected = np.column_stack(to_ecef.transform(xyz[:, 0], xyz[:, 1], xyz[:, 2] * feet))
    placed = tmp_path / "placed"
    assert cli.main(["tiles", str(path), str(placed), "--points-per-tile", "5000"]) == 0
    assert capsys.readouterr().out.startswith(f"crs: {crs.name}")
    # Compressed tiles: within 1 cm plus half a quantisation step of the tile.
    assert worst_distance(tileset_points(placed), expected) < 0.01
    local = tmp_path / "local"
    assert cli.main(["tiles", str(path), str(local), "--no-crs", "--no-compress"]) == 0
    assert worst_distance(tileset_points(local), xyz) < 0.001
    assert np.abs(xyz.astype(np.float32) - xyz).max() > 0.01  # what float32 alone would lose
    reports = validate_glbs(sorted(placed.glob("*.glb"))[:4] + sorted(local.glob("*.glb"))[:2])
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * len(reports)


def test_far_points_from_numpy_and_dask_give_the_same_placed_tileset(tmp_path):
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(3)
    points = rng.uniform(0, 300, (60_000, 3)) + [550_000.0, 4_180_000.0, 20.0]
    for crs in (None, "EPSG:32610"):
        a = plexorin.tileset(tmp_path / f"a{crs}", points, crs=crs, points_per_tile=8_000).parent
        b = plexorin.tileset(tmp_path / f"b{crs}", da.from_array(points, chunks=17_000), crs=crs,
                             points_per_tile=8_000).parent
        files = sorted(p.name for p in a.iterdir())
        assert files == sorted(p.name for p in b.iterdir()) and len(files) > 5
        assert all((a / n).read_bytes() == (b / n).read_bytes() for n in files)
    transform = json.loads((a / "tileset.json").read_text())["root"]["transform"]
    assert np.linalg.norm(transform[12:15]) > 6.3e6  # on the Earth's surface
    # Half a quantisation step of the root tile's 300 m per axis, at most.
    assert worst_distance(tileset_points(tmp_path / "aNone"), points) < 300 / 32766 * 3 ** 0.5


def test_a_crs_pyproj_cannot_use_is_refused_by_name(tmp_path, capsys):
    points = np.zeros((10, 3))
    for bad in ("EPSG:999999", "not a crs", 'ENGCRS["x",EDATUM["d"],CS[Cartesian,2],'
                'AXIS["x",east,LENGTHUNIT["metre",1]],AXIS["y",north,LENGTHUNIT["metre",1]]]'):
        with pytest.raises(ValueError, match="^crs: "):
            plexorin.tileset(tmp_path / "out", points, crs=bad)
    assert not (tmp_path / "out").exists()
    np.save(tmp_path / "p.npy", points)
    assert cli.main(["tiles", str(tmp_path / "p.npy"), str(tmp_path / "out"), "--crs", "x"]) == 2
    assert capsys.readouterr().err.startswith("plexorin: error: crs: ")
    assert not (tmp_path / "out").exists()
    # Points of the southern hemisphere in a northern zone: built, with one warning line.
    np.save(tmp_path / "south.npy", np.zeros((10, 3)) + [500_000.0, -4_000_000.0, 0.0])
    assert cli.main(["tiles", str(tmp_path / "south.npy"), str(tmp_path / "out"), "--crs",
                     "EPSG:32610"]) == 0
    err = capsys.readouterr().err
    assert err.startswith("plexorin: warning: crs: ") and "area of use" in err and err.count("\n") == 1
