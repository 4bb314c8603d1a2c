"""A tileset of two million points in three.js with 3d-tiles-renderer (headless
Chromium): the first view draws the root, views closer in draw deeper tiles."""

import json
import subprocess
import sys

import numpy as np
import pytest

import plexorin
from test_viewer import REPO, browser_ready  # noqa: F401  (the fixture)

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
