"""The tasks of a build, each on one chunk, run or bucket of points: they
run on threads or on Dask workers, keep their working memory per thread
(a native TileScratch) and write files only into the build's folders."""

from __future__ import annotations

import math
import os
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from .. import _native, builders
from . import _files
from ._document import tile_name
from ._plan import HISTOGRAM_LEVEL, Code, Grid
from ._runners import compact_counts
from ._source import aligned, convert_rows, load, load_chunk
from ._values import ValueLayout, bounds_of, pack_into, unpack

_SUFFIXES = ("pos", "typ", "col", "val")


@dataclass(frozen=True)
class TileContext:
    grid: Grid
    grid_depth: int
    points_per_tile: int
    cell_leaf_level: np.ndarray
    out: str  # the folder the tiles go to (the build's stage)
    tmp: str  # the folder of temporary files
    layout: tuple[bool, Any, int]  # (has types, colour dtype or None, colour columns)
    compress: bool
    chunks: list[Any] | None  # the input's chunks when buckets gather rows from them
    cell_bucket: np.ndarray  # per level-H node, as Plan's
    # Points of the largest bucket: a thread's arrays are made that large at
    # once, not again and again as buckets grow (fresh memory is slow).
    largest_bucket: int = 0
    values: ValueLayout | None = None  # the values per point, packed per point

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Arrays that Dask sends may arrive at any address, and the native
        # passes take aligned ones only: aligned once here, not per call.
        self.__dict__.update(state, cell_bucket=aligned(state["cell_bucket"]),
                             cell_leaf_level=aligned(state["cell_leaf_level"]))

    def column_bytes(self) -> tuple[int, int, int]:
        """Bytes of a row of types, of colours and of values (0: none)."""
        has_types, color_dtype, color_columns = self.layout
        colors = 0 if color_dtype is None else np.dtype(color_dtype).itemsize * color_columns
        return (2 if has_types else 0, colors, 0 if self.values is None else self.values.row_bytes)


class ThreadMemory:
    """What one thread reuses from task to task: fresh memory costs page
    faults, on Dask workers for every array (the nanny has glibc return
    freed memory at once). Nothing of a task's arrays outlives it."""

    def __init__(self) -> None:
        self.tiles = _native.tiles.TileScratch()
        self.point_writer = _native.PointWriteScratch()  # for compressed point files
        self._file = np.empty(0, np.uint8)
        self._reserved = 0

    def reserve(self, ctx: TileContext) -> None:
        """Room for the largest bucket, made once."""
        rows = ctx.largest_bucket
        if self._reserved < rows:
            self.tiles.reserve(rows, *ctx.column_bytes())
            for column, kind in enumerate(columns_of(ctx)):
                if kind is not None:
                    self.tiles.input(column, kind[0], (rows, *kind[1]))
            self._reserved = rows

    def file_buffer(self) -> np.ndarray:
        """Room for the next file this thread writes: the largest so far and
        an eighth more (a larger file comes as bytes, and widens it)."""
        return self._file

    def wrote_file(self, size: int) -> None:
        if size > self._file.size:
            self._file = np.empty(size + size // 8, np.uint8)


class Caches:
    """What the tasks of one process keep from task to task and phase to
    phase: its mappings of memory-mapped input (a fresh mapping faults its
    pages in again; each bucket reads rows from all over the file) and each
    thread's ThreadMemory. A copy sent to another process starts empty: the
    mappings would go as the files' contents, and native memory cannot be
    pickled."""

    def __init__(self) -> None:
        self.mappings: dict[Any, Any] = {}
        self._threads: dict[int, ThreadMemory] = {}

    def thread_memory(self) -> ThreadMemory:
        memory = self._threads.get(threading.get_ident())
        if memory is None:
            memory = self._threads[threading.get_ident()] = ThreadMemory()
        return memory

    def __getstate__(self) -> dict[str, Any]:
        return {"mappings": {}, "_threads": {}}


def _raise_non_finite(bad: int, rows: int, start: int) -> None:
    if bad < rows:
        raise ValueError(f"positions[{start + bad}] is not finite")


def extents(positions: np.ndarray, start: int) -> tuple[Any, Any]:
    low, high, bad = _native.tiles.extents(positions)
    _raise_non_finite(bad, positions.shape[0], start)
    return low, high


def bounds_task(caches: Caches, chunk: Any, start: int) -> Any:
    positions = load_chunk(chunk, start, caches.mappings)[0]
    if positions.shape[0] == 0:
        return None
    return extents(positions, start)


def histogram_task(caches: Caches, chunks: list[Any], grid: Any) -> Any:
    """The histogram of a run of chunks (chunk, start)."""
    histogram = caches.thread_memory().tiles.histogram(HISTOGRAM_LEVEL)
    for chunk, start in chunks:
        positions = load_chunk(chunk, start, caches.mappings)[0]
        bad = _native.tiles.key_histogram(positions, grid, HISTOGRAM_LEVEL, histogram)
        _raise_non_finite(bad, positions.shape[0], start)
    return compact_counts(histogram)  # a copy: the array is the thread's


def route_task(ctx: TileContext, caches: Caches, chunk: Any, start: int, bucket_count: int,
               index: int) -> Any:
    """Writes the chunk's rows (or, when buckets gather them from the input,
    row numbers) grouped by bucket, in input order within each. Returns the
    rows per bucket."""
    gathered_later = ctx.chunks is not None
    arrays = load_chunk(chunk, start, caches.mappings, None if gathered_later else ctx.values)
    scratch = caches.thread_memory().tiles
    order, counts, bad = scratch.route(arrays[0], ctx.grid.native(), HISTOGRAM_LEVEL,
                                      ctx.cell_bucket, bucket_count)
    _raise_non_finite(bad, arrays[0].shape[0], start)
    assert order is not None  # all finite
    if gathered_later:
        _files.append(os.path.join(ctx.tmp, f"chunk{index}.row"), order)
        return counts
    for column, (suffix, array) in enumerate(zip(_SUFFIXES, arrays)):
        if array is not None:
            routed = scratch.input(column, array.dtype, array.shape)
            _native.tiles.gather(array, order, routed)
            _files.append(os.path.join(ctx.tmp, f"chunk{index}.{suffix}"), routed)
    return counts


def columns_of(ctx: TileContext) -> list[Any]:
    """(dtype, row shape) of the positions, types, colours and packed values
    of buckets (None: no such column)."""
    has_types, color_dtype, color_columns = ctx.layout
    return [(np.dtype(np.float32), (3,)), (np.dtype(np.uint16), ()) if has_types else None,
            (np.dtype(color_dtype), (color_columns,)) if color_dtype is not None else None,
            (np.dtype(np.uint8), (ctx.values.row_bytes,)) if ctx.values is not None else None]


def _read_parts(ctx: TileContext, scratch: Any, parts: list[Any],
                name: Callable[[int], str]) -> list[Any]:
    """Arrays (positions, types, colours, values) of parts (file index,
    first row, rows), read into the thread's scratch."""
    total = sum(rows for _, _, rows in parts)
    arrays: list[Any] = []
    for column, (suffix, kind) in enumerate(zip(_SUFFIXES, columns_of(ctx))):
        if kind is None:
            arrays.append(None)
            continue
        dtype, shape = kind
        array = scratch.input(column, dtype, (total, *shape))
        row_bytes = array.itemsize * math.prod(shape)
        place = 0
        for i, first, rows in parts:
            _files.read_into(os.path.join(ctx.tmp, f"{name(i)}.{suffix}"), first * row_bytes,
                             array[place:place + rows])
            place += rows
        arrays.append(array)
    return arrays


def _gather_parts(ctx: TileContext, caches: Caches, segments: list[Any]) -> list[Any]:
    """Arrays (positions, types, colours, values) of the rows of `segments`
    (chunk, first, rows) of the routed row numbers, gathered from the input
    chunks."""
    assert ctx.chunks is not None
    total = sum(rows for _, _, rows in segments)
    arrays: list[Any] = [None, None, None]
    layout = ctx.values
    values = None if layout is None else \
        caches.thread_memory().tiles.input(3, np.dtype(np.uint8), (total, layout.row_bytes))
    scratch = caches.thread_memory().tiles
    numbers_room = np.empty(max(r for _, _, r in segments), np.uint32)
    place = 0
    for index, first, rows in segments:
        numbers = numbers_room[:rows]
        _files.read_into(os.path.join(ctx.tmp, f"chunk{index}.row"), first * numbers.itemsize,
                         numbers)
        chunk = ctx.chunks[index]
        raw = [load(c, caches.mappings) for c in chunk[:3]]
        if layout is not None and values is not None:
            pack_into(layout, [load(v, caches.mappings)[numbers] for v in chunk[3]],
                      values[place:place + rows])
        for k, array in enumerate(raw):
            if array is None:
                continue
            if arrays[k] is None:  # every chunk of a column has the same dtype and row shape
                arrays[k] = scratch.input(k, array.dtype, (total, *array.shape[1:]))
            _native.tiles.gather(array, numbers, out=arrays[k][place:place + rows])
        place += rows
    return [*convert_rows(*arrays), values]


def bucket_task(ctx: TileContext, caches: Caches, bucket: int, segments: list[Any],
                preselected: tuple[Any, Any],
                spanning: frozenset[Code]) -> tuple[dict[Code, Any], list[Any], Any]:
    """Writes the bucket's tiles (pieces of the tiles spanning buckets go to
    temporary files); returns (tile -> points and box, pieces, the extremes
    of the bucket's values)."""
    pre_rows, pre_levels = (aligned(a) for a in preselected)  # Dask may send them unaligned
    memory = caches.thread_memory()
    memory.reserve(ctx)
    if ctx.chunks is not None:
        positions, types, colors, values = _gather_parts(ctx, caches, segments)
    else:
        positions, types, colors, values = _read_parts(ctx, memory.tiles, segments,
                                                       lambda i: f"chunk{i}")
    done = memory.tiles.bucket(positions, types, colors, ctx.grid.native(), HISTOGRAM_LEVEL,
                               ctx.grid_depth, ctx.points_per_tile, ctx.cell_leaf_level,
                               pre_rows, pre_levels, ctx.compress, values)
    _raise_non_finite(done[0], positions.shape[0], 0)
    found = [] if ctx.values is None else bounds_of(ctx.values, values)
    _, y_up, kinds, tints, packed, levels, nodes, cuts, boxes = done
    written: dict[Code, Any] = {}
    parts: list[Any] = []
    piece_rows = 0
    codes: list[Code] = list(zip(levels.tolist(), nodes.tolist()))
    for code, c0, c1, box in zip(codes, cuts[:-1].tolist(), cuts[1:].tolist(), boxes):
        tile = [None if x is None else x[c0:c1] for x in (y_up, kinds, tints, packed)]
        if code in spanning:
            for suffix, array in zip(_SUFFIXES, tile):
                if array is not None:
                    _files.append(os.path.join(ctx.tmp, f"piece{bucket}.{suffix}"), array)
            parts.append((code, (bucket, piece_rows, c1 - c0)))
            piece_rows += c1 - c0
        else:
            _write_tile(ctx, memory, code, tile)
            written[code] = (c1 - c0, tuple(box[0].tolist()), tuple(box[1].tolist()))
    return written, parts, found


def spanning_tile_task(ctx: TileContext, caches: Caches, code: Code,
                       parts: list[Any]) -> tuple[Code, Any]:
    memory = caches.thread_memory()
    arrays = _read_parts(ctx, memory.tiles, parts, lambda i: f"piece{i}")
    _write_tile(ctx, memory, code, arrays)
    low, high = _native.tiles.box(arrays[0], ctx.compress, arrays[1] is None)
    return code, (arrays[0].shape[0], low, high)


def _write_tile(ctx: TileContext, memory: ThreadMemory, code: Code, arrays: list[Any]) -> None:
    """Writes one tile's GLB of points turned y-up (glTF is y-up and 3D Tiles
    z-up: readers turn content by +90 degrees about x, taking glTF (x, y, z)
    to (x, -z, y), so (x, z, -y) is stored), in the tileset's order."""
    # One thread per tile: the tiles are built side by side. Points keep
    # the tileset's order; atom files order theirs by type.
    y_up, types, colors, packed = arrays
    values = None if packed is None or ctx.values is None else unpack(ctx.values, packed)
    glb: bytes | np.ndarray
    if types is not None:
        glb = builders.atoms(y_up, types, compress=ctx.compress, workers=1,
                             attributes=dict(values) if values else None)
    else:
        glb = builders.point_cloud_file(y_up, colors, ctx.compress, ctx.compress, 1,
                                        memory.point_writer, memory.file_buffer(),
                                        attributes=values)
        memory.wrote_file(len(glb))
    _files.write_new(os.path.join(ctx.out, tile_name(*code) + ".glb"), glb)
