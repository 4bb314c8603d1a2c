"""The tileset's octree, planned from a histogram of level-7 nodes alone:
the grid over the points, the leaf level of every level-7 node, the split
of the sorted point order into buckets of whole nodes, the points that the
coarse inner nodes choose, and the inner tiles whose points span buckets.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .. import _native

HISTOGRAM_LEVEL = 7  # H: 8^7 nodes, 8 MiB of uint32 per chunk histogram
HISTOGRAM_MAX_POINTS = (1 << 32) - 1  # what one task's uint32 counts can hold
KEY_LEVELS = 10
BUCKET_POINTS = 1 << 20  # points per bucket task (a bucket holds whole level-7 units)
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
class Grid:
    """The cube of the octree: its low corner and side."""
    lo: tuple[float, float, float]
    side: float

    def native(self) -> tuple[float, float, float, float]:
        return (*self.lo, 1024.0 / self.side)


def grid_of(lo: Any, hi: Any) -> Grid:
    """The cube of the largest side of the box from lo; `box` when its side
    is not a finite float64 (corners such as -1e308 and 1e308)."""
    with np.errstate(over="ignore"):
        side = float(np.max(np.asarray(hi, np.float64) - np.asarray(lo, np.float64)))
    if not math.isfinite(side):
        raise ValueError(f"box: the side from {tuple(float(v) for v in lo)} to "
                         f"{tuple(float(v) for v in hi)} overflows float64")
    return Grid((float(lo[0]), float(lo[1]), float(lo[2])), side if side > 0 else 1.0)


def chunk_runs(chunks: list[Any], count: int, runs: int) -> list[list[Any]]:
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


@dataclass
class Plan:
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


def plan(histogram: np.ndarray, points_per_tile: int) -> Plan:
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
    return Plan(k, leaf, cell_bucket, len(bucket_starts) - 1, bucket_starts, selected, levels,
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
