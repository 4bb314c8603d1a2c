"""The phases of a build in order, each a map of independent tasks."""

from __future__ import annotations

import pathlib
from typing import Any

import numpy as np

from . import _files
from ._document import tileset_document
from ._place import place
from ._plan import Code, Grid, chunk_runs, grid_of, plan
from ._source import ChunkSource, gathers_rows
from ._tasks import (
    Caches,
    TileContext,
    bounds_task,
    bucket_task,
    histogram_task,
    route_task,
    spanning_tile_task,
)
from ._values import merge_bounds, metadata

# Tiles that span buckets take about a millisecond each to write, less than
# Dask takes to schedule a task: they are written in this many groups.
SMALL_TASK_BATCHES = 8


def build(runner: Any, source: ChunkSource, corners: Any, out: pathlib.Path, tmp: pathlib.Path,
          points_per_tile: int, compress: bool, crs: Any = None) -> pathlib.Path:
    """Writes the tileset into `out` (a folder the build made), temporary
    files into `tmp`; returns the path of tileset.json."""
    caches = runner.per_worker(Caches)  # for every phase
    placement = place(runner, caches, source, corners, crs, tmp)
    source = placement.source
    chunks = [(source.chunk_arg(i), source.starts[i]) for i in range(source.chunk_count)]
    grid = placement.grid or _grid(runner, caches, chunks, corners)
    runs = chunk_runs(chunks, source.count, runner.task_count(len(chunks)))
    histogram = runner.sum(histogram_task, [(caches, run, grid.native()) for run in runs],
                           "histogram")
    octree = plan(histogram, points_per_tile)
    # Row numbers are a third of the temporary bytes of rows; gathering
    # them from the input needs it in memory (or it is read once per bucket).
    gather = gathers_rows(source, runner.sends_arguments)
    context = runner.share(TileContext(grid, octree.grid_depth, points_per_tile,
                                       octree.cell_leaf_level, str(out), str(tmp), source.layout,
                                       compress, [c for c, _ in chunks] if gather else None,
                                       octree.cell_bucket, octree.largest_bucket, source.values))
    route_counts = runner.map(
        route_task,
        [(context, caches, c, s, octree.bucket_count, i) for i, (c, s) in enumerate(chunks)],
        "routing")
    filled = [(b, segments) for b in range(octree.bucket_count)
              if (segments := _segments(route_counts, b))]
    preselected = runner.send([octree.preselected(b) for b, _ in filled])
    bucket_args = [(context, caches, b, segments, chosen, octree.spanning)
                   for (b, segments), chosen in zip(filled, preselected)]
    results = runner.map(bucket_task, bucket_args, "buckets")
    tiles: dict[Code, Any] = {}
    pieces: dict[Code, list[Any]] = {}
    for written, parts, _ in results:
        tiles.update(written)
        for code, part in parts:
            pieces.setdefault(code, []).append(part)
    spanning = runner.map(spanning_tile_task,
                          [(context, caches, code, parts)
                           for code, parts in sorted(pieces.items())],
                          "tiles", batches=SMALL_TASK_BATCHES)
    tiles.update(spanning)
    document = tileset_document(tiles, grid, octree.grid_depth, placement.transform)
    if source.values is not None:
        bounds = merge_bounds([found for _, _, found in results])
        document.update(metadata(source.values, bounds, source.count))
    path = out / _files.TILESET_JSON
    _files.write_new(path, _files.json_text(document).encode())
    return path


def _grid(runner: Any, caches: Any, chunks: list[Any], corners: Any) -> Grid:
    if corners is not None:
        return grid_of(corners[:3], corners[3:])
    extents = [e for e in runner.map(bounds_task, [(caches, *c) for c in chunks], "bounds")
               if e is not None]
    if not extents:
        return Grid((0.0, 0.0, 0.0), 1.0)
    lo = np.min([e[0] for e in extents], axis=0).astype(np.float64)
    hi = np.max([e[1] for e in extents], axis=0).astype(np.float64)
    return grid_of(lo, hi)


def _segments(route_counts: list[Any], bucket: int) -> list[tuple[int, int, int]]:
    """(chunk, first row, rows) of the bucket in each chunk file, in chunk order."""
    segments = []
    for index, counts in enumerate(route_counts):
        rows = int(counts[bucket])
        if rows:
            segments.append((index, int(counts[:bucket].sum()), rows))
    return segments
