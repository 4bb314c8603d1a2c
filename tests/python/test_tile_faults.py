"""The tiler against a hostile file system and hostile numbers: an earlier
tileset survives every failed rebuild, links planted in out_dir are never
written through, folders follow the umask, and bad numbers are refused by
name before anything is written."""

from __future__ import annotations

import json
import os
import resource
import signal

import numpy as np
import pytest

import plexorin
from plexorin.tiles import _source


def tree(folder):
    return {p.name: (os.readlink(p) if p.is_symlink() else p.read_bytes())
            for p in sorted(folder.iterdir())}


def test_a_rebuild_replaces_the_tileset_only_when_complete_and_never_through_links(tmp_path):
    points = np.random.default_rng(2).random((20_000, 3), np.float32)
    out, victim = tmp_path / "set", tmp_path / "victim"
    victim.write_bytes(b"keep")
    old_umask = os.umask(0o027)
    try:
        plexorin.tileset(out, points, points_per_tile=5000, compress=False)
    finally:
        os.umask(old_umask)
    assert out.stat().st_mode & 0o777 == 0o750 and (out / "r.glb").stat().st_mode & 0o777 == 0o640
    (out / "r0.glb").unlink()
    (out / "r0.glb").symlink_to(victim)  # named like a tile of the next build
    before = tree(out)
    bad = points.copy()
    bad[7] = np.nan
    with pytest.raises(ValueError, match=r"positions\[7\] is not finite"):
        plexorin.tileset(out, bad)
    # A write failing part-way (as on a full disk) names the tile and the error.
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, limits[1]))
    try:
        with pytest.raises(OSError, match=r"writing .*/r\d*\.glb failed: File too large"):
            plexorin.tileset(out, points, points_per_tile=30_000, compress=False)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, handler)
    assert tree(out) == before and victim.read_bytes() == b"keep"
    plexorin.tileset(out, points[::2], points_per_tile=5000)
    assert json.loads((out / "tileset.json").read_text())["asset"]["extras"]["points"] == 10_000
    assert not (out / "r0.glb").is_symlink() and victim.read_bytes() == b"keep"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["set", "victim"]  # nothing left beside
    (out / "notes.txt").write_text("mine")
    with pytest.raises(ValueError, match="^out_dir: .* holds 'notes.txt', not a file of a tileset"):
        plexorin.tileset(out, points)
    assert (out / "notes.txt").read_text() == "mine"


def test_bad_numbers_are_refused_by_name_before_any_file(tmp_path, monkeypatch):
    points = np.zeros((10, 3))
    out = tmp_path / "set"
    with pytest.raises(ValueError, match=r"^box: the side from .* overflows float64$"):
        plexorin.tileset(out, points, box=[(-1e308,) * 3, (1e308,) * 3])
    with pytest.raises(ValueError, match="^points_per_tile: expected an integer from 1 to 2"):
        plexorin.tileset(out, points, points_per_tile=2 ** 64)
    monkeypatch.setattr(_source, "CHUNK_POINTS", 4)
    points[9, 2] = 1e39  # in the third chunk
    with pytest.raises(ValueError, match=r"^positions\[9\] overflows float32"):
        plexorin.tileset(out, points)
    assert list(tmp_path.iterdir()) == []
    # The largest finite box still gives strict JSON.
    plexorin.tileset(out, points[:9], box=[(-1e307,) * 3, (1e307,) * 3])
    json.loads((out / "tileset.json").read_text(), parse_constant=pytest.fail)
