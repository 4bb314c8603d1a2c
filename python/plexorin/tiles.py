"""OGC 3D Tiles 1.1 tilesets of points and atoms, built out of core in parallel.

`tileset(out_dir, positions, ...)` writes ``out_dir/tileset.json`` and one GLB
per tile. The build is a few phases of independent tasks (see `_runners`):

1. bounds per input chunk (only when no box is given);
2. a histogram of level-7 octree nodes per chunk: the tree down to level 7,
   the level-of-detail points of the coarse nodes and a split of the sorted
   point order into buckets of whole nodes follow from it alone;
3. routing per chunk: each chunk's rows, grouped by bucket, go to one
   temporary file: the row numbers (4 bytes per point) when the input is
   an array that fits in memory, which the bucket tasks then gather from
   it, or else the rows themselves (12 bytes per point and more);
4. one task per bucket: its points are gathered, sorted along the Morton
   curve, given their tiles, and the tiles that lie inside the bucket are
   written, one thread each; pieces of larger inner tiles go to temporary
   files;
5. one task per inner tile spanning buckets: its pieces become its GLB.

Memory is bounded by the chunk, bucket and tile sizes, never by the number of
points. Every decision depends only on the points' keys and their order in
the input, so the bytes written are the same for every executor, for Dask
and for every chunking of the input.
"""

from __future__ import annotations

import json
import math
import os
import pathlib
import shutil
import tempfile
import threading
from collections.abc import Callable
from concurrent.futures import Executor, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _inputs, _native, builders
from ._runners import compact_counts, make_runner
from ._tile_source import ChunkSource, Mapped, aligned, convert_rows, gathers_rows, load_chunk, source_for

HISTOGRAM_LEVEL = 7  # H: 8^7 nodes, 8 MiB of uint32 per chunk histogram
HISTOGRAM_MAX_POINTS = (1 << 32) - 1  # what one task's uint32 counts can hold
KEY_LEVELS = 10
BUCKET_POINTS = 1 << 20  # points per bucket task (a bucket holds whole level-7 units);
# its arrays stay below glibc's largest mmap threshold (32 MiB), so memory
# freed by one bucket is reused by the next instead of fresh zeroed pages.
DEFAULT_POINTS_PER_TILE = 200_000
# Tiles that span buckets take about a millisecond each to write, less than
# Dask takes to schedule a task: they are written in this many groups.
SMALL_TASK_BATCHES = 8
SQRT3 = math.sqrt(3.0)
Code = tuple[int, int]  # a node: (level, key prefix)


def grid_depth(points_per_tile: int) -> int:
    """k: an inner node of level L keeps one point per cell of level L + k.

    The largest k with 8^k <= 2 * points_per_tile: a node filled evenly in
    three dimensions then keeps at most twice a tile's points, a surface
    about 4^k.
    """
    k = 1
    while 8 ** (k + 1) <= 2 * points_per_tile:
        k += 1
    return k


@dataclass(frozen=True)
class _Grid:
    lo: tuple[float, float, float]
    side: float

    def native(self) -> tuple[float, float, float, float]:
        return (*self.lo, 1024.0 / self.side)


def tileset(out_dir: str | os.PathLike[str], positions: Any, *, types: Any = None, colors: Any = None,
            box: Any = None, points_per_tile: int = DEFAULT_POINTS_PER_TILE,
            compress: bool = True, client: Any = None, executor: Executor | None = None,
            progress: bool = False) -> pathlib.Path:
    """Writes an OGC 3D Tiles 1.1 tileset of points or atoms into `out_dir`.

    Args:
        out_dir: the folder for ``tileset.json`` and the tiles (``r.glb`` for
            the root, ``r3.glb`` for its child 3, ``r35.glb`` ...); created
            when missing. Temporary files go to a hidden folder inside it and
            are removed at the end, also when the build fails.
        positions: x y z per point, shape (N, 3): a NumPy array, a memory-mapped
            ``.npy`` (``np.load(path, mmap_mode="r")``, which may be larger
            than memory) or a ``dask.array.Array`` chunked along the points.
            Converted to float32 chunk by chunk. z is up, as in 3D Tiles; the
            tiles' glTF content is stored y-up as glTF requires.
        types: one type per point (0..65535) for atoms: each tile is then the
            file of `plexorin.atoms`, coloured by type.
        colors: per-point colours as for `plexorin.point_cloud` (not with
            `types`).
        box: corners (lo, hi) of the volume to tile; by default the exact
            bounds. The octree covers the cube of the largest side from lo;
            points outside the box go to the boundary cells.
        points_per_tile: a node of the octree with more points is split.
            Nodes of 1/1024 of the cube's side are never split further, so
            one holding more points stays one tile.
        compress: tiles in the compressed layout of ``plexorin.atoms`` and
            ``plexorin.point_cloud`` with ``compress=True`` (quantised and
            meshopt-compressed; about a quarter of the size); False writes
            their float layout. Points go in the tileset's Morton order
            (1024 cells per axis, a cell's points in input order), each
            cell cut 2048 times per axis when compressed; atoms in the order
            of `plexorin.atoms` over the tile's box.
        client: a ``dask.distributed.Client`` to run the tasks on (its workers
            must see `out_dir`); a Dask array input without a client runs on
            Dask's default scheduler.
        executor: a ``concurrent.futures`` executor for the tasks otherwise;
            by default a thread pool of one thread per processor.
        progress: show a progress bar per phase (tqdm).

    Returns:
        The path of ``tileset.json``.

    The tree: refinement ADD, so every point is in exactly one tile. A node
    with at most `points_per_tile` points is a leaf holding all points left
    to it. An inner node of level L holds, from each cell of the grid of
    level L + k inside it (k from `grid_depth`), the first point in Morton
    order not taken by its ancestors; its children hold the rest. Its
    geometricError is the diagonal of those grid cells (so it halves per
    level), a leaf's is 0; bounding volumes are the exact boxes of the
    points below each tile, widened for compressed tiles to the dequantised
    positions (at most half a quantisation step further).
    """
    compress = builders._flag(compress, "compress")
    if types is not None and colors is not None:
        raise ValueError("types and colors: pass one of them, not both")
    if isinstance(points_per_tile, bool) or not isinstance(points_per_tile, int) or points_per_tile < 1:
        raise ValueError(f"points_per_tile: expected a positive integer, got {points_per_tile!r}")
    source = source_for(positions, types, colors, mapped=client is not None)
    corners = _inputs.box_corners(box)
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    own_executor = executor is None and client is None and not source.is_dask
    if own_executor:
        executor = ThreadPoolExecutor(max_workers=os.cpu_count() or 1)
    tmp = pathlib.Path(tempfile.mkdtemp(prefix=".plexorin-tiles-", dir=out))
    try:
        runner = make_runner(executor, client, source.is_dask, progress)
        return _build(runner, source, corners, out, tmp, points_per_tile, compress)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        if own_executor and executor is not None:
            executor.shutdown(cancel_futures=True)


# ---- Phases ---------------------------------------------------------------

def _build(runner: Any, source: ChunkSource, corners: Any, out: pathlib.Path, tmp: pathlib.Path,
           points_per_tile: int, compress: bool) -> pathlib.Path:
    chunks = [(source.chunk_arg(i), source.starts[i]) for i in range(source.chunk_count)]
    caches = runner.per_worker(_Caches)  # for every phase
    grid = _grid(runner, caches, chunks, corners)
    runs = _chunk_runs(chunks, source.count, runner.task_count(len(chunks)))
    histogram = runner.sum(_histogram_task, [(caches, run, grid.native()) for run in runs],
                           "histogram")
    plan = _plan(histogram, points_per_tile)
    # Row numbers are a third of the temporary bytes of rows; gathering
    # them from the input needs it in memory (or it is read once per bucket).
    gather = gathers_rows(source, runner.sends_arguments)
    context = runner.share(_TileContext(grid, plan.grid_depth, points_per_tile,
                                        plan.cell_leaf_level, str(out), str(tmp), source.layout,
                                        compress, [c for c, _ in chunks] if gather else None,
                                        plan.cell_bucket, plan.largest_bucket))
    route_counts = runner.map(
        _route_task,
        [(context, caches, c, s, plan.bucket_count, i) for i, (c, s) in enumerate(chunks)],
        "routing")
    filled = [(b, segments) for b in range(plan.bucket_count)
              if (segments := _segments(route_counts, b))]
    preselected = runner.send([plan.preselected(b) for b, _ in filled])
    bucket_args = [(context, caches, b, segments, chosen, plan.spanning)
                   for (b, segments), chosen in zip(filled, preselected)]
    results = runner.map(_bucket_task, bucket_args, "buckets")
    tiles: dict[Code, Any] = {}
    pieces: dict[Code, list[Any]] = {}
    for written, parts in results:
        tiles.update(written)
        for code, part in parts:
            pieces.setdefault(code, []).append(part)
    spanning = runner.map(_spanning_tile_task,
                          [(context, caches, code, parts)
                           for code, parts in sorted(pieces.items())],
                          "tiles", batches=SMALL_TASK_BATCHES)
    tiles.update(spanning)
    document = _tileset_document(tiles, grid, plan.grid_depth)
    path = out / "tileset.json"
    partial = tmp / "tileset.json"
    partial.write_text(json.dumps(document, separators=(",", ":")) + "\n")
    os.replace(partial, path)
    return path


def _grid(runner: Any, caches: Any, chunks: list[Any], corners: Any) -> _Grid:
    if corners is not None:
        lo, hi = np.array(corners[:3]), np.array(corners[3:])
    else:
        extents = [e for e in runner.map(_bounds_task, [(caches, *c) for c in chunks], "bounds")
                   if e is not None]
        if not extents:
            return _Grid((0.0, 0.0, 0.0), 1.0)
        lo = np.min([e[0] for e in extents], axis=0).astype(np.float64)
        hi = np.max([e[1] for e in extents], axis=0).astype(np.float64)
    side = float(np.max(hi - lo))
    return _Grid((float(lo[0]), float(lo[1]), float(lo[2])), side if side > 0 else 1.0)


def _bounds_task(caches: _Caches, chunk: Any, start: int) -> Any:
    positions, _, _ = load_chunk(chunk, start, caches.mappings)
    if positions.shape[0] == 0:
        return None
    return _extents(positions, start)


def _extents(positions: np.ndarray, start: int) -> tuple[Any, Any]:
    low, high, bad = _native.tiles.extents(positions)
    if bad < positions.shape[0]:
        raise ValueError(f"positions[{start + bad}] is not finite")
    return low, high


def _keys(positions: np.ndarray, start: int, grid: Any, out: Any = None) -> Any:
    keys, bad = _native.tiles.keys(positions, grid, out)
    if bad < positions.shape[0]:
        raise ValueError(f"positions[{start + bad}] is not finite")
    return keys


def _chunk_runs(chunks: list[Any], count: int, runs: int) -> list[list[Any]]:
    """The chunks (chunk, start) in `runs` runs of similar numbers of points
    (a chunk joins the run its middle falls in), a run that would reach
    2^32 points split before that (one task's counts are uint32)."""
    groups: list[tuple[int, int, list[Any]]] = []  # (run, first point, chunks)
    for i, (chunk, start) in enumerate(chunks):
        stop = chunks[i + 1][1] if i + 1 < len(chunks) else count
        run = (start + stop) * runs // (2 * max(count, 1))
        if not groups or run != groups[-1][0] or stop - groups[-1][1] > HISTOGRAM_MAX_POINTS:
            groups.append((run, start, []))
        groups[-1][2].append((chunk, start))
    return [group for _, _, group in groups]


def _histogram_task(caches: _Caches, chunks: list[Any], grid: Any) -> Any:
    """The histogram of a run of chunks (chunk, start)."""
    # In the buffer that the thread's routing and buckets sort in later.
    histogram = caches.thread_scratch().array("sort scratch", np.uint32, (8 ** HISTOGRAM_LEVEL,))
    histogram.fill(0)
    for chunk, start in chunks:
        positions, _, _ = load_chunk(chunk, start, caches.mappings)
        bad = _native.tiles.key_histogram(positions, grid, HISTOGRAM_LEVEL, histogram)
        if bad < positions.shape[0]:
            raise ValueError(f"positions[{start + bad}] is not finite")
    return compact_counts(histogram)  # a copy: the array is the thread's


def _route_task(ctx: _TileContext, caches: _Caches, chunk: Any, start: int, bucket_count: int,
                index: int) -> Any:
    """Writes the chunk's rows (or, when buckets gather them from the input,
    row numbers) grouped by bucket, in input order within each."""
    arrays = load_chunk(chunk, start, caches.mappings)
    scratch = caches.thread_scratch()
    n = arrays[0].shape[0]
    # The buckets reuse these arrays.
    rows = ctx.largest_bucket
    keys = _keys(arrays[0], start, ctx.grid.native(), scratch.array("keys", np.uint32, (n,), rows))
    order, counts = _native.tiles.partition(keys, HISTOGRAM_LEVEL, ctx.cell_bucket, bucket_count,
                                           scratch.array("order", np.uint32, (n,), rows),
                                           scratch.array("sort scratch", np.uint32, (n,), 2 * rows))
    if ctx.chunks is not None:
        order.tofile(os.path.join(ctx.tmp, f"chunk{index}.row"))
        return counts
    for suffix, array in zip(_SUFFIXES, arrays):
        if array is not None:
            routed = scratch.array(f"routed {suffix}", array.dtype, array.shape)
            _native.tiles.gather(array, order, routed).tofile(
                os.path.join(ctx.tmp, f"chunk{index}.{suffix}"))
    return counts


_SUFFIXES = ("pos", "typ", "col")


def _segments(route_counts: list[Any], bucket: int) -> list[tuple[int, int, int]]:
    """(chunk, first row, rows) of the bucket in each chunk file, in chunk order."""
    segments = []
    for index, counts in enumerate(route_counts):
        rows = int(counts[bucket])
        if rows:
            segments.append((index, int(counts[:bucket].sum()), rows))
    return segments


# ---- The plan from the histogram -----------------------------------------

@dataclass
class _Plan:
    grid_depth: int
    cell_leaf_level: np.ndarray  # uint8 per level-H node
    cell_bucket: np.ndarray  # per level-H node, in the narrowest unsigned dtype
    bucket_count: int
    bucket_starts: np.ndarray  # first sorted place of each bucket, then N
    selected: np.ndarray  # sorted places chosen by coarse inner nodes
    selected_levels: np.ndarray
    spanning: frozenset[Code]  # (level, node) of inner tiles crossing buckets

    @property
    def largest_bucket(self) -> int:
        return int(np.diff(self.bucket_starts).max(initial=0))

    def preselected(self, bucket: int) -> tuple[Any, Any]:
        lo, hi = self.bucket_starts[bucket], self.bucket_starts[bucket + 1]
        a, b = np.searchsorted(self.selected, [lo, hi])
        return ((self.selected[a:b] - lo).astype(np.uint32),
                np.ascontiguousarray(self.selected_levels[a:b]))


def _plan(histogram: np.ndarray, points_per_tile: int) -> _Plan:
    h, k = HISTOGRAM_LEVEL, grid_depth(points_per_tile)
    counts = [histogram]  # counts[j]: points per node of level h - j ... reversed below
    for _ in range(h):
        counts.append(counts[-1].reshape(-1, 8).sum(axis=1))
    counts = counts[::-1]  # counts[j] per node of level j
    starts = [_exclusive_sums(c) for c in counts]
    leaf = np.full(8 ** h, h + 1 if h < KEY_LEVELS else KEY_LEVELS, dtype=np.uint8)
    for j in range(h, -1, -1):
        small = np.repeat(counts[j] <= points_per_tile, 8 ** (h - j))
        leaf[small] = j
    selected, levels = _native.tiles.coarse_selection(counts, starts, k, points_per_tile)
    cell_bucket, bucket_starts = _buckets(histogram, starts[h], leaf)
    spanning = _spanning(counts, starts, points_per_tile, bucket_starts)
    return _Plan(k, leaf, cell_bucket, len(bucket_starts) - 1, bucket_starts, selected, levels,
                 spanning)


def _exclusive_sums(counts: np.ndarray) -> np.ndarray:
    """The sum of the counts before each, int64, with no temporaries."""
    counts = counts.astype(np.uint64, copy=False)
    sums = np.empty(counts.size, dtype=np.int64)
    sums[:1] = 0
    # Into a uint64 view: an out array of another type takes NumPy's
    # casting loop, 20 times slower.
    np.cumsum(counts[:-1], out=sums[1:].view(np.uint64))
    return sums


def _buckets(histogram: Any, cell_starts: Any, leaf: Any) -> tuple[Any, Any]:
    """Groups whole units (leaves of level <= H, or level-H nodes) into buckets.

    A unit joins the bucket in which its first sorted place falls when the
    order is cut every BUCKET_POINTS places: buckets then hold at most
    BUCKET_POINTS points plus one unit.
    """
    cell_bucket, first_cells = _native.tiles.buckets(cell_starts, leaf, HISTOGRAM_LEVEL,
                                                    BUCKET_POINTS)
    total = int(histogram.sum())
    bucket_starts = np.append(cell_starts[first_cells], total).astype(np.int64)
    # Narrowest: routing reads it at random, and it travels to every worker
    # (uint8, a quarter of the bytes, up to 256 buckets).
    narrow = np.min_scalar_type(int(cell_bucket.max(initial=0)))
    return cell_bucket.astype(narrow, copy=False), bucket_starts


def _spanning(counts: list[Any], starts: list[Any], points_per_tile: int,
              bucket_starts: Any) -> frozenset[Code]:
    spanning: set[Code] = set()
    for j in range(HISTOGRAM_LEVEL):
        nodes = np.flatnonzero(counts[j] > points_per_tile)
        first = starts[j][nodes]
        last = first + counts[j][nodes].astype(np.int64) - 1
        crosses = (np.searchsorted(bucket_starts, first, "right")
                   != np.searchsorted(bucket_starts, last, "right"))
        spanning.update((j, int(n)) for n in nodes[crosses])
    return frozenset(spanning)


# ---- Tiles ----------------------------------------------------------------

@dataclass(frozen=True)
class _TileContext:
    grid: _Grid
    grid_depth: int
    points_per_tile: int
    cell_leaf_level: np.ndarray
    out: str
    tmp: str
    layout: tuple[bool, Any, int]  # (has types, colour dtype or None, colour columns)
    compress: bool
    chunks: list[Any] | None  # the input's chunks when buckets gather rows from them
    cell_bucket: np.ndarray  # per level-H node, as _Plan's
    # Points of the largest bucket: a thread's arrays are made that large at
    # once, not again and again as buckets grow (fresh memory is slow).
    largest_bucket: int = 0

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Arrays that Dask sends may arrive at any address, and the native
        # passes take aligned ones only: aligned once here, not per call.
        self.__dict__.update(state, cell_bucket=aligned(state["cell_bucket"]),
                             cell_leaf_level=aligned(state["cell_leaf_level"]))


class _Caches:
    """What the tasks of one process keep from task to task and phase to
    phase: its mappings of memory-mapped input (a fresh mapping faults its
    pages in again; each bucket reads rows from all over the file) and each
    thread's _Scratch. A copy sent to another process starts empty: the
    mappings would go as the files' contents, and a scratch cannot be
    pickled."""

    def __init__(self) -> None:
        self.mappings: dict[Any, Any] = {}
        self._scratches: dict[int, _Scratch] = {}

    def thread_scratch(self) -> _Scratch:
        scratch = self._scratches.get(threading.get_ident())
        if scratch is None:
            scratch = self._scratches[threading.get_ident()] = _Scratch()
        return scratch

    def __getstate__(self) -> dict[str, Any]:
        return {"mappings": {}, "_scratches": {}}


_LINE = 64  # bytes


class _Scratch:
    """Arrays by name that one thread reuses from task to task: fresh memory
    costs page faults, on Dask workers for every array (the nanny has glibc
    return freed memory at once). Nothing of a task's arrays outlives it."""

    def __init__(self) -> None:
        self._buffers: dict[str, np.ndarray] = {}
        self._point_writer: _native.PointWriteScratch | None = None
        self._largest_file = 0

    def point_writer(self) -> _native.PointWriteScratch:
        """Working memory for the compressed point files this thread writes."""
        if self._point_writer is None:
            self._point_writer = _native.PointWriteScratch()
        return self._point_writer

    def file_buffer(self) -> np.ndarray:
        """Room for the next file this thread writes: the largest so far and
        an eighth more (a larger file comes as bytes, and widens it)."""
        return self.array("file", np.uint8, (self._largest_file + self._largest_file // 8,))

    def wrote_file(self, size: int) -> None:
        self._largest_file = max(self._largest_file, size)

    def array(self, name: str, dtype: Any, shape: tuple[int, ...], rows: int = 0) -> np.ndarray:
        """An array starting on a cache line (the native sorts stream whole
        lines into such arrays), made with room for `rows` rows when it is
        made."""
        dtype = np.dtype(dtype)
        nbytes = dtype.itemsize * math.prod(shape)
        buffer = self._buffers.get(name)
        if buffer is None or buffer.nbytes < nbytes:
            reserved = dtype.itemsize * math.prod((rows, *shape[1:]))
            # Otherwise with room to spare: the next task's may be a little larger.
            room = reserved if reserved >= nbytes else nbytes + nbytes // 8
            buffer = np.empty(room + _LINE, dtype=np.uint8)
            start = -buffer.ctypes.data % _LINE
            buffer = buffer[start:start + buffer.nbytes - _LINE]
            self._buffers[name] = buffer
        array: np.ndarray = buffer[:nbytes].view(dtype).reshape(shape)
        return array


def _read_into(path: str, offset: int, out: np.ndarray) -> None:
    """Fills `out` (C-contiguous) with the bytes of `path` from `offset` on."""
    with open(path, "rb") as file:
        file.seek(offset)
        if file.readinto(memoryview(out).cast("B")) != out.nbytes:
            raise OSError(f"{path}: shorter than expected")


def _read_parts(ctx: _TileContext, scratch: _Scratch, parts: list[Any],
                name: Callable[[int], str], room: int = 0) -> list[Any]:
    """Arrays (positions, types, colours) of parts (file index, first row,
    rows), read into the thread's scratch (made with `room` rows)."""
    has_types, color_dtype, color_columns = ctx.layout
    columns: list[Any] = [("pos", np.float32, (3,)), ("typ", np.uint16, ()) if has_types else None,
                          ("col", color_dtype, (color_columns,)) if color_dtype is not None else None]
    total = sum(rows for _, _, rows in parts)
    arrays: list[Any] = []
    for column in columns:
        if column is None:
            arrays.append(None)
            continue
        suffix, dtype, shape = column
        array = scratch.array(f"read {suffix}", dtype, (total, *shape), room)
        row_bytes = array.itemsize * math.prod(shape)
        place = 0
        for i, first, rows in parts:
            _read_into(os.path.join(ctx.tmp, f"{name(i)}.{suffix}"), first * row_bytes,
                       array[place:place + rows])
            place += rows
        arrays.append(array)
    return arrays


def _gather_parts(ctx: _TileContext, caches: _Caches, segments: list[Any]) -> list[Any]:
    """Arrays (positions, types, colours) of the rows of `segments` (chunk,
    first, rows) of the routed row numbers, gathered from the input chunks."""
    assert ctx.chunks is not None
    total = sum(rows for _, _, rows in segments)
    arrays: list[Any] = [None, None, None]
    scratch = caches.thread_scratch()
    numbers_buffer = scratch.array("row numbers", np.uint32, (max(r for _, _, r in segments),))
    place = 0
    for index, first, rows in segments:
        numbers = numbers_buffer[:rows]
        _read_into(os.path.join(ctx.tmp, f"chunk{index}.row"), first * numbers.itemsize, numbers)
        raw = [c.load(caches.mappings) if isinstance(c, Mapped) else c
               for c in ctx.chunks[index]]
        for k, array in enumerate(raw):
            if array is None:
                continue
            if arrays[k] is None:  # every chunk of a column has the same dtype and row shape
                arrays[k] = scratch.array(f"column{k}", array.dtype, (total, *array.shape[1:]),
                                          ctx.largest_bucket)
            _native.tiles.gather(array, numbers, out=arrays[k][place:place + rows])
        place += rows
    return list(convert_rows(*arrays))


def _bucket_task(ctx: _TileContext, caches: _Caches, bucket: int, segments: list[Any],
                 preselected: tuple[Any, Any],
                 spanning: frozenset[Code]) -> tuple[dict[Code, Any], list[Any]]:
    pre_rows, pre_levels = (aligned(a) for a in preselected)  # Dask may send them unaligned
    scratch = caches.thread_scratch()
    if ctx.chunks is not None:
        positions, types, colors = _gather_parts(ctx, caches, segments)
    else:
        positions, types, colors = _read_parts(ctx, scratch, segments, lambda i: f"chunk{i}",
                                               ctx.largest_bucket)
    n, rows = positions.shape[0], ctx.largest_bucket
    keys = _keys(positions, 0, ctx.grid.native(), scratch.array("keys", np.uint32, (n,), rows))
    sort_scratch = scratch.array("sort scratch", np.uint32, (2 * n,), 2 * rows)
    order = _native.tiles.sort(keys, scratch.array("order", np.uint32, (n,), rows), sort_scratch)
    # The sort's scratch is free again: it holds the leaf levels, and then
    # the grouped order and keys.
    levels = _native.tiles.levels(keys, HISTOGRAM_LEVEL, ctx.grid_depth, ctx.points_per_tile,
                                 ctx.cell_leaf_level, pre_rows, pre_levels,
                                 scratch.array("levels", np.uint8, (n,), rows),
                                 sort_scratch.view(np.uint8)[:n])
    # Grouped by level and, within a level, in key order: every tile is one
    # run, so one gather per array puts all of them in place.
    levels, order, keys = _native.tiles.group_by_level(
        levels, order, keys, scratch.array("grouped levels", np.uint8, (n,), rows),
        sort_scratch[:n], sort_scratch[n:])
    in_order = _native.tiles.gather(positions, order,
                                   scratch.array("positions in order", np.float32, positions.shape,
                                                 rows))
    arrays = [in_order] + [None if a is None else
                           _native.tiles.gather(a, order, scratch.array(f"{name} in order", a.dtype,
                                                                       a.shape, rows))
                           for name, a in (("types", types), ("colors", colors))]
    level_starts = np.searchsorted(levels, np.arange(KEY_LEVELS + 2, dtype=levels.dtype))
    if ctx.compress and types is None:
        # The codec encodes differences between neighbours: points sharing a
        # grid cell go in a finer order (atom files order theirs by type),
        # level by level, as a cell may have points in two levels' tiles.
        for a, b in zip(level_starts[:-1], level_starts[1:]):
            _native.tiles.refine(in_order[a:b], keys[a:b], ctx.grid.native(),
                                [None if c is None else c[a:b] for c in arrays[2:]])
    # Each tile is a run of one level's places in key order.
    run_levels, nodes, cuts = _native.tiles.runs(levels, keys)
    codes: list[Code] = list(zip(run_levels.tolist(), nodes.tolist()))
    lows, highs = _native.tiles.turn_y_up(in_order, cuts)
    written: dict[Code, Any] = {}
    parts: list[Any] = []
    piece_rows = 0
    for code, c0, c1, low, high in zip(codes, cuts[:-1], cuts[1:], lows.tolist(), highs.tolist()):
        tile = [None if x is None else x[c0:c1] for x in arrays]
        if code in spanning:
            _append_piece(ctx, bucket, tile)
            parts.append((code, (bucket, piece_rows, c1 - c0)))
            piece_rows += c1 - c0
        else:
            y_up, kinds, tints = tile
            written[code] = _write_tile(ctx, scratch, code, y_up, kinds, tints,
                                        (tuple(low), tuple(high)))
    return written, parts


def _append_piece(ctx: _TileContext, bucket: int, arrays: list[Any]) -> None:
    for suffix, array in zip(_SUFFIXES, arrays):
        if array is not None:
            with open(os.path.join(ctx.tmp, f"piece{bucket}.{suffix}"), "ab") as file:
                array.tofile(file)


def _spanning_tile_task(ctx: _TileContext, caches: _Caches, code: Code,
                        parts: list[Any]) -> tuple[Code, Any]:
    scratch = caches.thread_scratch()
    arrays = _read_parts(ctx, scratch, parts, lambda i: f"piece{i}")
    return code, _write_tile(ctx, scratch, code, *arrays)


def _z_up_box(low: Any, high: Any) -> tuple[Any, Any]:
    """The z-up box of y-up points whose box is (low, high)."""
    return ((low[0], -high[2], low[1]), (high[0], -low[2], high[1]))


def tile_name(level: int, node: int) -> str:
    """r, then the child number (0..7) of each level down to the node."""
    return "r" + (format(node, f"0{level}o") if level else "")


def _write_tile(ctx: _TileContext, scratch: _Scratch, code: Code, y_up: Any, types: Any,
                colors: Any, z_up_box: Any = None) -> tuple[int, Any, Any]:
    """Writes one tile's GLB of points turned y-up (glTF is y-up and 3D Tiles
    z-up: readers turn content by +90 degrees about x, taking glTF (x, y, z)
    to (x, -z, y), so (x, z, -y) is stored), in the tileset's order; returns
    (points, low corner, high corner), z-up: `z_up_box` when given."""
    # One thread per tile: the tiles are built side by side. Points keep
    # the tileset's order; atom files order theirs by type.
    glb: bytes | np.ndarray
    if types is not None:
        glb = builders.atoms(y_up, types, compress=ctx.compress, workers=1)
    else:
        glb = builders.point_cloud_file(y_up, colors, ctx.compress, ctx.compress, 1,
                                        scratch.point_writer(), scratch.file_buffer())
        scratch.wrote_file(len(glb))
    pathlib.Path(ctx.out, tile_name(*code) + ".glb").write_bytes(glb)
    low, high = z_up_box if z_up_box is not None else _z_up_box(*_extents(y_up, 0))
    if ctx.compress:
        low, high = _with_dequantized(glb, low, high)
    return y_up.shape[0], low, high


def _with_dequantized(glb: Any, low: Any, high: Any) -> tuple[Any, Any]:
    """The box (z-up) of the exact points and of where readers draw them.

    Readers draw a compressed point at translation + scale * q (the
    node's dequantisation), up to half a step from the exact point and so
    possibly outside the exact box; POSITION min/max are the integers q.
    """
    view = memoryview(glb)  # bytes, or the first bytes of a lent array
    length = int.from_bytes(view[12:16], "little")
    document = json.loads(bytes(view[20:20 + length]))
    if not document.get("nodes"):
        return low, high
    node = document["nodes"][document["scenes"][0]["nodes"][0]]
    origin, step = np.array(node["translation"]), np.array(node["scale"])
    q_low = np.full(3, np.inf)
    q_high = np.full(3, -np.inf)
    for primitive in document["meshes"][node["mesh"]]["primitives"]:
        accessor = document["accessors"][primitive["attributes"]["POSITION"]]
        q_low = np.minimum(q_low, accessor["min"])
        q_high = np.maximum(q_high, accessor["max"])
    drawn_low, drawn_high = _z_up_box(origin + step * q_low, origin + step * q_high)
    return (np.minimum(np.asarray(low, np.float64), drawn_low),
            np.maximum(np.asarray(high, np.float64), drawn_high))


# ---- tileset.json ---------------------------------------------------------

def _tileset_document(tiles: dict[Code, Any], grid: _Grid, k: int) -> dict[str, Any]:
    children: dict[Code, set[Code]] = {(0, 0): set()}
    for level, node in tiles:
        while level > 0:
            parent = (level - 1, node >> 3)
            children.setdefault(parent, set()).add((level, node))
            children.setdefault((level, node), set())
            level, node = parent
    min_half = grid.side / 2048.0  # half a finest cell, for flat or single-point tiles

    def error(level: int) -> float:
        return grid.side * SQRT3 / 2.0 ** (level + k)

    def box(low: Any, high: Any) -> list[float]:
        centre = [(a + b) / 2.0 for a, b in zip(low, high)]
        half = [max((b - a) / 2.0, min_half) for a, b in zip(low, high)]
        return [*centre, half[0], 0.0, 0.0, 0.0, half[1], 0.0, 0.0, 0.0, half[2]]

    def build(code: Code) -> tuple[dict[str, Any], Any, Any]:
        kids = [build(c) for c in sorted(children[code])]
        lows = [t[1] for t in kids]
        highs = [t[2] for t in kids]
        tile: dict[str, Any] = {}
        if code in tiles:
            count, low, high = tiles[code]
            lows.append(low)
            highs.append(high)
        if not lows:  # nothing at all: only for an empty input
            lows, highs = [grid.lo], [grid.lo]
        low = tuple(min(v[a] for v in lows) for a in range(3))
        high = tuple(max(v[a] for v in highs) for a in range(3))
        tile["boundingVolume"] = {"box": box(low, high)}
        tile["geometricError"] = error(code[0]) if kids else 0.0
        if code in tiles:
            tile["content"] = {"uri": tile_name(*code) + ".glb",
                               "boundingVolume": {"box": box(tiles[code][1], tiles[code][2])}}
            tile["extras"] = {"points": tiles[code][0]}
        if kids:
            tile["children"] = [t[0] for t in kids]
        return tile, low, high

    root, _, _ = build((0, 0))
    root["refine"] = "ADD"
    total = sum(t[0] for t in tiles.values())
    return {"asset": {"version": "1.1", "generator": "plexorin", "extras": {"points": total}},
            "geometricError": error(-1), "root": root}
