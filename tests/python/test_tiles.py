"""The tiler: every point in exactly one tile, the tile of each point as the
level-of-detail rule defines it (recomputed here by a plain global scan),
valid GLBs and tileset.json, and the same bytes on every runner and chunking.
Compressed tiles are decoded by the npm meshoptimizer decoder."""

from __future__ import annotations

import json
import pathlib
import pickle
import subprocess

import numpy as np
import pytest

import glb_reader
import plexorin
from plexorin import builders, tiles
from plexorin.tiles import _plan, _runners, _source, _tasks

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
    monkeypatch.setattr(_plan, "BUCKET_POINTS", 3000)
    monkeypatch.setattr(_source, "CHUNK_POINTS", 4096)


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


REPO = pathlib.Path(__file__).resolve().parents[2]


def decoded_tiles(folder: pathlib.Path) -> dict:
    """name -> (plain GLB, compressed?) of every tile in `folder`; compressed
    tiles decoded by tests/js/meshopt-decode.mjs into `folder`-decoded."""
    if not (REPO / "node_modules" / "meshoptimizer").is_dir():
        pytest.skip("node_modules/meshoptimizer missing (run make setup)")
    copies = folder.with_name(folder.name + "-decoded")
    copies.mkdir(exist_ok=True)
    names = sorted(p.name for p in folder.glob("*.glb"))
    compressed = [n for n in names if b"EXT_meshopt_compression" in (folder / n).read_bytes()[:2000]]
    subprocess.run(["node", str(REPO / "tests/js/meshopt-decode.mjs"),
                    *[str(d / n) for n in compressed for d in (folder, copies)]], check=True, cwd=REPO)
    return {n: (glb_reader.parse_glb(((copies if n in compressed else folder) / n).read_bytes()),
                n in compressed) for n in names}


def y_up(points: np.ndarray) -> np.ndarray:
    return np.stack([points[:, 0], points[:, 2], -points[:, 1]], axis=1)


def check_tile(glb, compressed: bool, expected: np.ndarray, colors=None, values=None) -> np.ndarray:
    """Asserts the tile holds exactly the `expected` points (float32, z-up)
    with their uint8 `colors` and `values` (name -> one value per point):
    in this order uncompressed, as the same multiset of rows of grid
    integers (quantised here like the writer), colours and values
    compressed. Returns the points drawn, z-up."""
    doc = glb.document
    node = doc["nodes"][doc["scenes"][0]["nodes"][0]]
    primitives = doc["meshes"][node["mesh"]]["primitives"]
    stored = np.concatenate([glb_reader.accessor_array(glb, p["attributes"]["POSITION"])[:, :3]
                             for p in primitives])
    want = y_up(expected)
    stored_colors = None
    if colors is not None:
        stored_colors = np.concatenate([glb_reader.accessor_array(glb, p["attributes"]["COLOR_0"])[:, :3]
                                        for p in primitives])
    for name, wanted in (values or {}).items():
        got = np.concatenate([glb_reader.accessor_array(glb, p["attributes"]["_" + name.upper()])
                              for p in primitives])
        colors = np.c_[colors, wanted] if colors is not None else wanted[:, None]
        stored_colors = np.c_[stored_colors, got] if stored_colors is not None else got[:, None]
    if not compressed:
        np.testing.assert_array_equal(stored, want)
        if colors is not None:
            np.testing.assert_array_equal(stored_colors, colors)
        drawn = stored.astype(np.float64)
    else:
        origin, step = np.array(node["translation"]), np.array(node["scale"])
        grid = np.floor(np.clip((want - origin) * (1.0 / step), 0, 16383) + 0.5)
        if colors is not None:
            stored, grid = np.c_[stored, stored_colors], np.c_[grid, colors]
        rows = [a[np.lexsort(a.T)] for a in (stored.astype(np.float64), grid)]
        np.testing.assert_array_equal(*rows)
        stored = stored[:, :3]
        drawn = origin + step * stored
    return np.stack([drawn[:, 0], -drawn[:, 2], drawn[:, 1]], axis=1)


def check_tree(folder: pathlib.Path, points: np.ndarray, ppt: int, colors=None, values=None) -> dict:
    """Every tile holds the rule's points; returns name -> points drawn."""
    expected = reference_tiles(points, ppt)
    tiles_found = decoded_tiles(folder)
    assert sorted(tiles_found) == sorted(tiles.tile_name(*c) + ".glb" for c in expected)
    drawn = {}
    for name, (glb, compressed) in tiles_found.items():
        code = (len(name[1:-4]), int(name[1:-4] or "0", 8))
        rows = expected[code]
        drawn[name] = check_tile(glb, compressed, points[rows], None if colors is None else colors[rows],
                                 {k: v[rows] for k, v in (values or {}).items()})
    return drawn


def tiles_of(document: dict):
    stack = [document["root"]]
    while stack:
        tile = stack.pop()
        yield tile
        stack.extend(tile.get("children", []))


@pytest.mark.parametrize("compress", [False, True])
def test_tiles_follow_the_rule_and_the_schema(tmp_path, small_buckets, validate_glbs, compress):
    points = scene()
    rng = np.random.default_rng(3)
    colors = rng.integers(0, 256, size=(len(points), 3), dtype=np.uint8)
    # Each point's row (exact in float32) pairs it with its other values.
    values = {"row": np.arange(len(points), dtype=np.float64),
              "label": rng.integers(-3, 1000, len(points)), "flag": rng.random(len(points)) < 0.5}
    out = tmp_path / "set"
    plexorin.tileset(out, points, colors=colors, points_per_tile=PPT, compress=compress,
                     attributes=values)
    document = json.loads((out / "tileset.json").read_text())
    assert document["asset"]["version"] == "1.1" and document["root"]["refine"] == "ADD"
    assert sorted(p.name for p in out.iterdir() if p.suffix != ".glb") == ["tileset.json"]
    values["flag"] = values["flag"].astype(np.uint8)
    drawn = check_tree(out, points, PPT, colors, values)
    types = {k: (v["type"], v["componentType"])
             for k, v in document["schema"]["classes"]["point"]["properties"].items()}
    assert types == {"row": ("SCALAR", "FLOAT32"), "label": ("SCALAR", "INT16"),
                     "flag": ("SCALAR", "UINT8")}
    statistics = document["statistics"]["classes"]["point"]
    assert statistics["count"] == len(points)
    assert statistics["properties"] == {k: {"min": v.min().item(), "max": v.max().item()}
                                        for k, v in values.items()}
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
        got = drawn[tile["content"]["uri"]]
        assert tile["extras"]["points"] == len(got) <= (2 * PPT if tile.get("children") else PPT)
        # The box holds the points as readers draw them (dequantised).
        assert np.all(np.abs(got - centre) <= half * (1 + 1e-6))
        seen += len(got)
    assert seen == document["asset"]["extras"]["points"] == len(points)
    files = sorted(out.glob("*.glb")) + sorted((tmp_path / "set-decoded").glob("*.glb"))
    assert len(files) == len(drawn) * (2 if compress else 1)
    reports = validate_glbs(files)
    assert [r["file"] for r in reports if r["numErrors"] or r["numWarnings"]] == []


def tree_bytes(folder: pathlib.Path) -> dict:
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


def test_same_bytes_on_every_runner_and_chunking(tmp_path, small_buckets):
    """Atoms (the typed path) with values per atom on threads, one thread,
    Dask arrays of two chunkings and a two-process LocalCluster; the
    memory-mapped files on the cluster go through the workers' own
    mappings. The wide integers' stored type comes from all their values."""
    from concurrent.futures import ThreadPoolExecutor

    da = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    points = scene(12_000, seed=9).astype(np.float64)
    types = np.arange(len(points)) % 5
    charge = np.random.default_rng(2).normal(size=len(points))
    serial = np.arange(len(points), dtype=np.int64) * 3  # uint16 only as a whole
    np.save(tmp_path / "points.npy", points)
    np.save(tmp_path / "charge.npy", charge)
    mapped = np.load(tmp_path / "points.npy", mmap_mode="r")
    values = {"charge": charge, "serial": serial}
    runs = {
        "threads": dict(positions=points),
        "serial": dict(positions=mapped, executor=ThreadPoolExecutor(1)),
        "dask-3000": dict(positions=da.from_array(points, chunks=(3000, 3)),
                          attributes={"charge": da.from_array(charge, chunks=2500),
                                      "serial": da.from_array(serial, chunks=7000)}),
        "dask-uneven": dict(positions=da.concatenate([da.from_array(points[:777]),
                                                      da.from_array(points[777:], chunks=5000)]),
                            types=da.from_array(types, chunks=4000)),
    }
    outputs = {}
    for name, args in runs.items():
        args.setdefault("types", types)
        args.setdefault("attributes", values)
        plexorin.tileset(tmp_path / name, points_per_tile=300, **args)
        outputs[name] = tree_bytes(tmp_path / name)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        plexorin.tileset(tmp_path / "cluster", mapped, types=types, points_per_tile=300,
                         client=client, attributes={
                             "charge": np.load(tmp_path / "charge.npy", mmap_mode="r"),
                             "serial": serial})
        bad = points.copy()
        bad[4321, 1] = np.nan  # a failing task stops the build on the cluster too
        with pytest.raises(ValueError, match=r"positions\[4321\] is not finite"):
            plexorin.tileset(tmp_path / "bad", bad, types=types, client=client)
        assert not any(p.name.startswith((".bad.", "bad")) for p in tmp_path.iterdir())
    outputs["cluster"] = tree_bytes(tmp_path / "cluster")
    reference = outputs.pop("threads")
    assert len(reference) > 20
    assert {name: out == reference for name, out in outputs.items()} == dict.fromkeys(outputs, True)
    # Compressed atoms, each with its values.
    check_tree(tmp_path / "threads", points.astype(np.float32), 300,
               values={"charge": charge.astype(np.float32), "serial": serial})


def test_bad_points_fail_and_leave_no_temporary_files(tmp_path):
    points = scene(5000)
    points[4321, 1] = np.nan
    with pytest.raises(ValueError, match=r"positions\[4321\] is not finite"):
        plexorin.tileset(tmp_path, points, box=[(-3, -3, -3), (5, 5, 5)])
    assert list(tmp_path.iterdir()) == []


def test_no_points_give_the_root_alone(tmp_path):
    da = pytest.importorskip("dask.array")
    for name, points in (("numpy", np.zeros((0, 3), np.float32)),
                         ("dask", da.zeros((0, 3), dtype=np.float32, chunks=(10, 3)))):
        plexorin.tileset(tmp_path / name, points, attributes={"a": np.zeros(0, np.int64),
                                                              "b": np.zeros((0, 2))})
        assert [p.name for p in (tmp_path / name).iterdir()] == ["tileset.json"]
        document = json.loads((tmp_path / name / "tileset.json").read_text())
        assert document["asset"]["extras"]["points"] == 0 and "content" not in document["root"]
        assert document["statistics"]["classes"]["point"] == {"count": 0, "properties": {}}


def test_trajectory_frames_in_parallel(tmp_path, validate_glbs):
    ase = pytest.importorskip("ase")
    from ase.io import read, write

    from plexorin import trajectory

    rng = np.random.default_rng(2)
    frames = [ase.Atoms("H2O" * (10 + i), positions=rng.uniform(0, 8, size=(30 + 3 * i, 3)),
                        cell=[8, 8, 8], pbc=True) for i in range(7)]
    write(tmp_path / "run.extxyz", frames)
    paths = trajectory.write_frames(tmp_path / "run.extxyz", tmp_path / "out")
    assert [p.name for p in paths] == [f"frame_{i:05d}.glb" for i in range(7)]
    for frame, path in zip(read(tmp_path / "run.extxyz", index=":"), paths):
        got = glb_reader.attribute_array(glb_reader.parse_glb(path.read_bytes()), "POSITION")
        np.testing.assert_array_equal(np.unique(got, axis=0),
                                      np.unique(frame.positions.astype(np.float32), axis=0))
    assert [r["numErrors"] for r in validate_glbs(paths)] == [0] * 7


def test_caches_sent_on_stay_behind_and_a_context_arrives_aligned(tmp_path):
    """A Dask worker may send what tasks share to another: the mappings and
    scratch stay (a mapped file would go as its whole contents), and the
    context's arrays arrive aligned (the native passes would copy them)."""
    np.save(tmp_path / "p.npy", np.zeros((50_000, 3), np.float32))
    mapped = _source._mapped_slices(np.load(tmp_path / "p.npy", mmap_mode="r"), [(0, 50_000)])
    caches = _tasks.Caches()
    mapped[0].load(caches.mappings)
    caches.thread_memory().tiles.input(0, np.dtype(np.float32), (50_000, 3))
    data = pickle.dumps(caches)
    assert len(data) < 1_000 and pickle.loads(data).mappings == {}  # nor the scratch, which cannot be pickled
    ctx = _tasks.TileContext(_plan.Grid((0.0, 0.0, 0.0), 1.0), 4, 300, np.zeros(8, np.uint8),
                             str(tmp_path), str(tmp_path), (False, None, 0), True, [mapped],
                             np.arange(8, dtype=np.uint32))
    buffers: list = []  # out of band, as Dask sends arrays: here at odd addresses
    data = pickle.dumps(ctx, protocol=5, buffer_callback=buffers.append)
    copy = pickle.loads(data, buffers=[memoryview(b"\0" + b.raw().tobytes())[1:] for b in buffers])
    assert copy.cell_bucket.flags.aligned and copy.cell_bucket.dtype == np.uint32
    assert np.array_equal(copy.cell_bucket, ctx.cell_bucket)
    assert copy.chunks == ctx.chunks and np.array_equal(copy.cell_leaf_level, ctx.cell_leaf_level)


def test_a_lent_file_array_gets_the_bytes_of_the_file_that_fits():
    """Files written one after another go into an array the writer lends
    when they fit (the same bytes as a new file), and into new bytes when
    they do not; the array must be writeable uint8."""
    points = np.random.default_rng(3).random((5_000, 3), np.float32)
    glb = builders.point_cloud_file(points, None, True, False, 1)
    lent = np.zeros(len(glb) + 7, np.uint8)
    written = builders.point_cloud_file(points, None, True, False, 1, out=lent)
    assert np.shares_memory(written, lent) and bytes(written) == glb
    assert builders.point_cloud_file(points, None, True, False, 1, out=lent[:9]) == glb
    lent.flags.writeable = False
    with pytest.raises(TypeError, match="^out: "):
        builders.point_cloud_file(points, None, True, False, 1, out=lent)


def test_dask_sums_of_compacted_counts_and_batches():
    """Chunk histograms travel as their non-zero cells while that is smaller:
    sums of sparse and dense parts, in any order, are the plain sums.
    Small tasks run in groups, their results in order."""
    pytest.importorskip("dask")
    assert _runners.DaskRunner(None, False).map(divmod, [(n, 3) for n in range(7)], "x",
                                                batches=3) == [divmod(n, 3) for n in range(7)]

    rng = np.random.default_rng(3)
    parts = [np.where(rng.random(1000) < density, rng.integers(1, 2**32, 1000), 0).astype(np.uint32)
             for density in (0.01, 0.3, 0.9, 0.0, 0.45, 0.6)]
    parts.append(rng.integers(0, 300, 1000).astype(np.uint32))  # fits uint16
    compact = [_runners.compact_counts(p) for p in parts]
    assert [isinstance(c, tuple) for c in compact] == [True, True, False, True, True, False, False]
    assert compact[-1].dtype == np.uint16
    for order in (range(7), [3, 1, 6, 4, 0, 5, 2]):
        total = None
        for i in order:
            total = _runners._add_into(total, compact[i])
        assert np.array_equal(total, np.sum(parts, axis=0, dtype=np.uint64))

    # Chunks of a histogram task: contiguous runs of similar size, in order,
    # none of more points than its uint32 counts hold unless a chunk has.
    starts = [0, 5, 10, 12, 20, 29, 30]
    chunks = [(f"c{i}", s) for i, s in enumerate(starts)]
    for runs, limit, sizes in ((3, 100, [[5, 5, 2], [8, 9], [1, 10]]), (9, 100, None),
                               (1, 9, [[5], [5, 2], [8], [9], [1], [10]])):
        _plan.HISTOGRAM_MAX_POINTS, saved = limit, _plan.HISTOGRAM_MAX_POINTS
        try:
            got = _plan.chunk_runs(chunks, 40, runs)
        finally:
            _plan.HISTOGRAM_MAX_POINTS = saved
        assert [c for run in got for c in run] == chunks
        run_sizes = [[(starts + [40])[starts.index(s) + 1] - s for _, s in run] for run in got]
        assert run_sizes == sizes or sizes is None and len(got) <= runs


def _coarse_selection_reference(counts, starts, points_per_tile, k, h):
    """The places inner nodes of grids up to level h choose, by the rule
    itself: each takes the first place of its cell that no shallower node
    took, counted among the sorted places chosen so far."""
    chosen, chosen_levels = np.zeros(0, np.int64), np.zeros(0, np.uint8)
    for j in range(h + 1):
        g = min(j + k, 10)
        inner = counts[j] > points_per_tile
        if g > h or not inner.any():
            break
        cells = np.flatnonzero(counts[g] > 0)
        cells = cells[inner[cells >> (3 * (g - j))]]
        first, size = starts[g][cells], counts[g][cells].astype(np.int64)
        taken = np.searchsorted(chosen, first + size) - np.searchsorted(chosen, first)
        places = (first + taken)[taken < size]
        order = np.argsort(np.concatenate((chosen, places)), kind="stable")
        chosen = np.concatenate((chosen, places))[order]
        chosen_levels = np.concatenate((chosen_levels, np.full(places.size, j, np.uint8)))[order]
    return chosen, chosen_levels


@pytest.mark.parametrize("h, k, points_per_tile", [(4, 2, 40), (5, 1, 300), (4, 3, 5), (6, 2, 2000)])
def test_coarse_places_follow_the_rule(h, k, points_per_tile):
    rng = np.random.default_rng(h * 10 + k)
    histogram = np.where(rng.random(8 ** h) < 0.3, rng.integers(0, 9, 8 ** h), 0).astype(np.uint64)
    histogram[: 8 ** (h - 1)] *= 40  # a dense corner next to sparse space
    counts = [histogram]
    for _ in range(h):
        counts.append(counts[-1].reshape(-1, 8).sum(axis=1))
    counts = counts[::-1]
    starts = [np.concatenate(([0], np.cumsum(c)[:-1])).astype(np.int64) for c in counts]
    places, levels = plexorin._native.tiles.coarse_selection(counts, starts, k, points_per_tile)
    expected = _coarse_selection_reference(counts, starts, points_per_tile, k, h)
    assert places.size > 0 and np.array_equal(places, expected[0])
    assert np.array_equal(levels, expected[1])


def test_keys_are_the_cells_of_the_grid_interleaved():
    """Keys of points inside, on the edges of and far outside the grid, in
    vector groups and the scalar tail, against the arithmetic in NumPy."""
    rng = np.random.default_rng(11)
    lo, side = np.array([-1.5, 0.25, 3.0]), 7.0
    edges = lo + side * np.array([0.0, 1.0, -0.0, 1 / 1024, 1023 / 1024, -3.0, 40.0, 1e30])[:, None]
    points = np.concatenate((rng.uniform(-2, 9, (1001, 3)), edges)).astype(np.float32)
    points[-1] = [-0.0, 0.0, -1e-38]
    scaled = (points.astype(np.float64) - lo) * (1024.0 / side)
    cells = np.clip(scaled, 0, 1023).astype(np.int64)
    expected = sum(((cells[:, a] >> b) & 1) << (3 * b + a) for b in range(10) for a in range(3))
    keys, bad = plexorin._native.tiles.keys(points, (*lo, 1024.0 / side), None)
    assert bad == len(points) and np.array_equal(keys, expected)


def test_partition_is_the_same_for_every_width_of_table():
    rng = np.random.default_rng(12)
    keys = rng.integers(0, 1 << 30, 5000).astype(np.uint32)
    table = rng.integers(0, 200, 8 ** 3)
    results = [plexorin._native.tiles.partition(keys, 3, table.astype(t), 200)
               for t in (np.uint8, np.uint16, np.uint32)]
    expected_order = np.argsort(table[keys >> 21], kind="stable")
    for order, counts in results:
        assert np.array_equal(order, expected_order)
        assert np.array_equal(counts, np.bincount(table[keys >> 21], minlength=200))
