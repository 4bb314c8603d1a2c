"""Where a tileset sits: the root tile's transform and the small coordinates
its content holds.

float32 keeps 24 bits of a coordinate, not of the data's extent: LiDAR in
projected metres (10^5 to 10^6) would lose centimetres. So, before the
octree is planned:

- without a CRS, positions of a dtype float32 does not hold exactly
  (float64, wide integers) get an origin by the rule of `plexorin._origin`
  on their float64 bounds; with one, the root's transform is a translation
  to it and the tiles hold float32(x - origin), the difference taken in
  float64. Data whose float32 rounding already meets the aim keeps no
  transform, and the bytes it always had.
- with a CRS, positions are projected by pyproj into Earth-centred
  coordinates and held in the east-north-up frame at the middle of their
  bounds (`plexorin.geo`); the root's transform maps that frame to
  Earth-centred coordinates.

In both cases a pass writes the small coordinates once, as float32, into a
temporary file of the build, chunk by chunk on the tiler's threads (pyproj
releases the interpreter), and the build then tiles that file as it tiles
float32 input. Memory stays bounded by the chunk size.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

from .. import _inputs, _native, _origin, geo
from ._plan import Grid, grid_of
from ._source import ChunkSource, Mapped, raw_positions
from ._tasks import Caches, extents

LOCAL_FILE = "local.f32"


@dataclass
class Placement:
    source: ChunkSource  # the input, positions in the tileset's frame
    grid: Grid | None  # the octree's cube when already known
    transform: list[float] | None  # the root's, column-major; None: identity


def _wide_rows(chunk: Any, start: int, mappings: dict[Any, Any]) -> np.ndarray:
    """The chunk's positions as C-ordered float64 rows."""
    rows = _inputs.xyz_rows(raw_positions(chunk, mappings), "positions", "x y z per point")
    return np.require(rows, np.float64, ["C_CONTIGUOUS", "ALIGNED"])


def bounds64_task(caches: Caches, chunk: Any, start: int) -> Any:
    wide = _wide_rows(chunk, start, caches.mappings)
    if wide.shape[0] == 0:
        return None
    bounds = _native.float64_extents(wide, 1)
    if bounds is None:
        bad = np.flatnonzero(~np.isfinite(wide).all(axis=1))[0]
        raise ValueError(f"positions[{start + int(bad)}] is not finite")
    return bounds


def local_task(caches: Caches, chunk: Any, start: int, path: str, count: int,
               to_local: Any) -> Any:
    """Writes the chunk's positions in the tileset's frame (float32) into
    rows start.. of the file; returns their extents."""
    wide = _wide_rows(chunk, start, caches.mappings)
    if wide.shape[0] == 0:
        return None
    if isinstance(to_local, geo.EarthFrame):
        local = to_local.to_local(wide)
    else:
        local = _native.float32_offsets(wide, to_local, 1)
    low_high = extents(local, start)  # an offset beyond float32 is infinite here
    target = np.memmap(path, np.float32, "r+", shape=(count, 3))
    target[start:start + local.shape[0]] = local
    target.flush()
    del target
    return low_high


def _exact_in_float32(source: ChunkSource) -> bool:
    dtype = source.position_dtype
    return dtype is None or dtype.kind not in "fiu" or np.can_cast(dtype, np.float32)


def place(runner: Any, caches: Any, source: ChunkSource, corners: Any, crs: Any,
          work: Any) -> Placement:
    """The tileset's frame for `source` (see the module's notes)."""
    if source.count == 0 or (crs is None and _exact_in_float32(source)):
        return Placement(source, None, None)
    chunks = [(source.chunk_arg(i), source.starts[i]) for i in range(source.chunk_count)]
    if corners is not None and crs is None:
        lo, hi = tuple(corners[:3]), tuple(corners[3:])
    else:
        found = [b for b in runner.map(bounds64_task, [(caches, *c) for c in chunks], "bounds")
                 if b is not None]
        lo = tuple(min(b[0][a] for b in found) for a in range(3))
        hi = tuple(max(b[1][a] for b in found) for a in range(3))
    if crs is not None:
        middle = np.array([a + (b - a) / 2 for a, b in zip(lo, hi)])
        frame = geo.earth_frame(crs, middle)
        to_local: Any = frame
        transform = frame.root_transform()
    else:
        origin = _origin.origin_of(lo, hi)
        if max(-min(lo), max(hi)) > _inputs.FLOAT32_MAX:
            return Placement(source, None, None)  # refused by name as it always was
        if origin is None:  # float32 as given, as it always was
            return Placement(source, _float32_grid(lo, hi) if corners is None else None, None)
        to_local = origin
        transform = [1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, *origin, 1.0]
    path = os.path.join(os.fspath(work), LOCAL_FILE)
    with open(path, "wb") as file:
        file.truncate(source.count * 12)
    found = [e for e in runner.map(local_task, [(caches, c, s, path, source.count, to_local)
                                                for c, s in chunks], "placing")
             if e is not None]
    if corners is not None and crs is None:
        grid = grid_of([v - o for v, o in zip(lo, to_local)], [v - o for v, o in zip(hi, to_local)])
    else:
        grid = grid_of(np.min([e[0] for e in found], axis=0).astype(np.float64),
                       np.max([e[1] for e in found], axis=0).astype(np.float64))
    shape = (source.count, 3)
    stops = [*source.starts[1:], source.count]
    local_chunks = [(Mapped(path, 0, np.dtype(np.float32).str, shape, start, stop), *chunk[1:])
                    for (chunk, start), stop in zip(chunks, stops)]
    return Placement(replace(source, chunks=local_chunks, position_dtype=np.dtype(np.float32)),
                     grid, transform)


def _float32_grid(lo: Any, hi: Any) -> Grid:
    """The grid the float32 bounds of the points give (float32 rounding is
    monotonic: the bounds of the rounded points are the rounded bounds)."""
    return grid_of(np.asarray(lo, np.float32).astype(np.float64),
                   np.asarray(hi, np.float32).astype(np.float64))
