"""A tileset of two million points in three.js with 3d-tiles-renderer (headless
Chromium): the first view draws the root, views closer in draw deeper tiles."""

import json
import subprocess
import sys

import numpy as np
import pytest

import plexorin
from test_viewer import REPO, browser_ready, recolour, share_along  # noqa: F401  (the fixture)

sys.path.insert(0, str(REPO / "viewer"))


def test_tiles_stream_in_as_the_camera_moves_in(tmp_path, browser_ready):  # noqa: F811
    if not (REPO / "node_modules" / "3d-tiles-renderer").is_dir():
        pytest.skip("node_modules/3d-tiles-renderer is missing (make setup installs it)")
    from serve import StaticServer

    rng = np.random.default_rng(3)
    count = 2_000_000
    xy = rng.uniform(0, 100, size=(count, 2))
    z = 5 * np.sin(xy[:, 0] / 9) + rng.normal(scale=0.3, size=count)
    colors = rng.integers(80, 256, size=(count, 3), dtype=np.uint8)
    plexorin.tileset(tmp_path / "set", np.column_stack((xy, z)), colors=colors,
                     points_per_tile=50_000)
    with StaticServer(tmp_path / "set") as server:
        done = subprocess.run(["node", str(REPO / "tests/js/render-tiles.mjs"), server.url,
                               "/files/tileset.json", "3", str(tmp_path)],
                              capture_output=True, text=True, timeout=900, cwd=REPO)
    assert done.returncode == 0, done.stderr
    views = [json.loads(line) for line in done.stdout.splitlines()]
    assert [v["error"] for v in views] == [None] * 4 and views[0]["pageErrors"] == []
    depths = [max(len(d["uri"]) - len("r.glb") for d in v["drawn"]) for v in views]
    assert "r.glb" in [d["uri"] for d in views[0]["drawn"]]
    assert all(d["points"] > 0 for v in views for d in v["drawn"])
    assert depths[-1] > depths[0], depths
    assert len(views[-1]["drawn"]) > len(views[0]["drawn"])
    assert min(v["drawnFraction"] for v in views) > 0.002  # one-pixel points


def test_a_tileset_placed_on_earth_draws_where_the_camera_frames_it(tmp_path, browser_ready):  # noqa: F811
    pytest.importorskip("pyproj")
    if not (REPO / "node_modules" / "3d-tiles-renderer").is_dir():
        pytest.skip("node_modules/3d-tiles-renderer is missing (make setup installs it)")
    from serve import StaticServer

    rng = np.random.default_rng(4)
    xy = rng.uniform(0, 100, size=(400_000, 2))
    z = 30 + 5 * np.sin(xy[:, 0] / 9) + rng.normal(scale=0.3, size=len(xy))
    plexorin.tileset(tmp_path / "set", np.column_stack((xy + [550_000, 4_180_000], z)),
                     crs="EPSG:32610", points_per_tile=50_000)
    with StaticServer(tmp_path / "set") as server:
        done = subprocess.run(["node", str(REPO / "tests/js/render-tiles.mjs"), server.url,
                               "/files/tileset.json", "2", str(tmp_path)],
                              capture_output=True, text=True, timeout=900, cwd=REPO)
    assert done.returncode == 0, done.stderr
    views = [json.loads(line) for line in done.stdout.splitlines()]
    assert [v["error"] for v in views] == [None] * 3 and views[0]["pageErrors"] == []
    assert min(v["drawnFraction"] for v in views) > 0.002  # 6,400 km from the origin
    assert len(views[-1]["drawn"]) > len(views[0]["drawn"])


def test_tiles_are_recoloured_by_the_menu_loaded_or_not(tmp_path, browser_ready):  # noqa: F811
    """White points, those at x < 50 of intensity 0 and ground, the others of
    intensity 4000 and building, tiled compressed with a pair of values that
    the menu leaves out: picked before any tile loads, the menu paints every
    tile in the ends of viridis, then in the ASPRS colours, then white again
    (unlit points: within a fraction of a degree of those colours)."""
    rng = np.random.default_rng(5)
    xyz = rng.uniform(0, 100, (60000, 3)) * [1, 1, 0.1]
    far = xyz[:, 0] >= 50
    plexorin.tileset(tmp_path, xyz, colors=np.full((60000, 3), 255, np.uint8), points_per_tile=20000,
                     attributes={"intensity": (far * 4000).astype(np.uint16),
                                 "classification": (2 + 4 * far).astype(np.uint8),
                                 "pair": rng.random((60000, 2))})
    report = recolour(tmp_path, "tileset.json", tiles=True)[0]
    assert report["options"] == ["", "_intensity", "_classification"] and report["pageErrors"] == []
    by = {state["value"]: state for state in report["states"]}
    for value, colours in (("_intensity", ("440154", "fde725")),
                           ("_classification", ("aa5500", "ff5555")), ("", ("ffffff",))):
        shares = share_along(by[value]["colours"], colours, 0.9995)
        assert shares.min() > 0.2 and shares.sum() > 0.99, (value, shares)
    assert by["_classification"]["legend"] == ["2 · ground", "6 · building"]
    assert by["_intensity"]["legend"] == ["intensity 0.000", "intensity 2000", "intensity 4000"]
