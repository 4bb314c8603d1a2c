"""The tiler: every point in exactly one tile, the tile of each point as the
level-of-detail rule defines it (recomputed here by a plain global scan),
valid GLBs and tileset.json, and the same bytes on every runner and chunking."""

from __future__ import annotations

import json
import pathlib

import numpy as np
import pytest

import glb_reader
import plexorin
from plexorin import _tile_source, tiles

PPT = 400


def scene(n=30_000, seed=5):
    """Uniform points plus a tight cluster, so that nodes split below level 7."""
    rng = np.random.default_rng(seed)
    uniform = rng.uniform(-3, 5, size=(n - n // 3, 3))
    cluster = 1.0 + rng.normal(scale=2e-2, size=(n // 3, 3))
    return np.concatenate((uniform, cluster)).astype(np.float32)


@pytest.fixture
def small_buckets(monkeypatch):
    """Many chunks, buckets and tiles crossing buckets on a small input."""
    monkeypatch.setattr(tiles, "BUCKET_POINTS", 3000)
    monkeypatch.setattr(_tile_source, "CHUNK_POINTS", 4096)


def reference_tiles(points: np.ndarray, ppt: int) -> dict:
    """(level, node) -> sorted rows, from the rule applied in one global scan."""
    lo = points.min(axis=0).astype(np.float64)
    side = float((points.max(axis=0) - lo).max())
    cells = np.clip(np.floor((points - lo) * (1024.0 / side)), 0, 1023).astype(np.int64)
    keys = np.zeros(len(points), dtype=np.int64)
    for bit in range(10):
        for axis in range(3):
            keys |= ((cells[:, axis] >> bit) & 1) << (3 * bit + axis)
    order = np.lexsort((np.arange(len(points)), keys))
    keys = keys[order]
    leaf = np.full(len(points), 10)
    for level in range(9, -1, -1):
        nodes = keys >> (3 * (10 - level))
        _, inverse, counts = np.unique(nodes, return_inverse=True, return_counts=True)
        leaf[counts[inverse] <= ppt] = level
    k = tiles.grid_depth(ppt)
    last = [-1] * 11
    result: dict = {}
    for i, key in enumerate(keys.tolist()):
        chosen = int(leaf[i])
        for level in range(chosen):
            cell = key >> (3 * (10 - min(level + k, 10)))
            if cell != last[level]:
                last[level], chosen = cell, level
                break
        result.setdefault((chosen, key >> (3 * (10 - chosen))), []).append(order[i])
    return result


def read_tile(path: pathlib.Path) -> np.ndarray:
    """Tile positions back in the tileset's z-up frame."""
    y_up = glb_reader.attribute_array(glb_reader.parse_glb(path.read_bytes()), "POSITION")
    return np.stack([y_up[:, 0], -y_up[:, 2], y_up[:, 1]], axis=1)


def tiles_of(document: dict):
    stack = [document["root"]]
    while stack:
        tile = stack.pop()
        yield tile
        stack.extend(tile.get("children", []))


def test_tiles_follow_the_rule_and_the_schema(tmp_path, small_buckets, validate_glbs):
    points = scene()
    plexorin.tileset(tmp_path, points, points_per_tile=PPT)
    document = json.loads((tmp_path / "tileset.json").read_text())
    expected = reference_tiles(points, PPT)
    assert document["asset"]["version"] == "1.1" and document["root"]["refine"] == "ADD"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["tileset.json"] + [tiles.tile_name(*code) + ".glb" for code in expected])
    seen = 0
    for tile in tiles_of(document):
        assert {"boundingVolume", "geometricError"} <= tile.keys()
        assert tile["geometricError"] > 0 if tile.get("children") else tile["geometricError"] == 0
        for child in tile.get("children", []):
            assert child["geometricError"] == (tile["geometricError"] / 2 if child.get("children")
                                               else 0)
        centre, half = np.array(tile["boundingVolume"]["box"][:3]), np.diag(
            np.reshape(tile["boundingVolume"]["box"][3:], (3, 3)))
        if "content" not in tile:
            continue
        name = tile["content"]["uri"]
        code = (len(name[1:-4]), int(name[1:-4] or "0", 8))
        got = read_tile(tmp_path / name)
        # The same points, and in Morton order for point clouds.
        np.testing.assert_array_equal(got, points[expected[code]])
        assert tile["extras"]["points"] == len(got) <= (2 * PPT if tile.get("children") else PPT)
        assert np.all(np.abs(got - centre) <= half * (1 + 1e-6))
        seen += len(got)
    assert seen == document["asset"]["extras"]["points"] == len(points)
    reports = validate_glbs(sorted(tmp_path.glob("*.glb")))
    assert [r["file"] for r in reports if r["numErrors"] or r["numWarnings"]] == []
