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

The modules: `_plan` (the octree from the histogram), `_source` (the input
as chunks), `_tasks` (the tasks of the phases), `_build` (the phases in
order), `_document` (tileset.json), `_files` (the staging folder and the
files) and `_runners` (threads or Dask).

Memory is bounded by the chunk, bucket and tile sizes, never by the number of
points. Every decision depends only on the points' keys and their order in
the input, so the bytes written are the same for every executor, for Dask
and for every chunking of the input.
"""

from __future__ import annotations

import os
import pathlib
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any

from .. import _inputs, builders, geo
from ._build import build
from ._document import tile_name
from ._files import TILESET_JSON, staged
from ._plan import grid_depth, grid_of
from ._runners import make_runner
from ._source import source_for

__all__ = ["DEFAULT_POINTS_PER_TILE", "grid_depth", "tile_name", "tileset"]

DEFAULT_POINTS_PER_TILE = 200_000
MAX_POINTS_PER_TILE = (1 << 64) - 1  # the core counts points in 64 bits


def tileset(out_dir: str | os.PathLike[str], positions: Any, *, types: Any = None, colors: Any = None,
            attributes: Any = None, box: Any = None,
            points_per_tile: int = DEFAULT_POINTS_PER_TILE, compress: bool = True,
            crs: Any = None, client: Any = None,
            executor: Executor | None = None, progress: bool = False) -> pathlib.Path:
    """Writes an OGC 3D Tiles 1.1 tileset of points or atoms into `out_dir`.

    Args:
        out_dir: the folder for ``tileset.json`` and the tiles (``r.glb`` for
            the root, ``r3.glb`` for its child 3, ``r35.glb`` ...): new, empty
            or holding an earlier tileset (and nothing else), which the new
            one replaces. The build goes to a hidden folder
            ``.NAME.plexorin-XXXXXXXXXXXX.partial`` beside it (mode by the
            umask), renamed to `out_dir` once complete; when the build fails
            it is removed and `out_dir` is left as it was.
        positions: x y z per point, shape (N, 3): a NumPy array, a memory-mapped
            ``.npy`` (``np.load(path, mmap_mode="r")``, which may be larger
            than memory) or a ``dask.array.Array`` chunked along the points.
            z is up, as in 3D Tiles; the tiles' glTF content is stored y-up
            as glTF requires. Tiles hold float32: positions of a dtype
            float32 does not hold exactly (float64, wide integers) whose
            float32 rounding would miss 2^-22 of the data's extent are stored
            as offsets from the middle of their bounds, which the root tile's
            ``transform`` (float64) carries; applying the transforms gives
            back the coordinates given.
        types: one type per point (0..65535) for atoms: each tile is then the
            file of `plexorin.atoms`, coloured by type.
        colors: per-point colours as for `plexorin.point_cloud` (not with
            `types`).
        attributes: values per point, as for `plexorin.point_cloud` (a
            mapping of names to arrays of N rows: NumPy, memory-mapped or
            Dask arrays chunked like `positions`). Every tile carries its
            points' values (``_NAME`` glTF attributes described by
            EXT_structural_metadata), each stored in one type for the
            whole tileset (wide integers take the narrowest that holds all
            their values: one pass over them first); ``tileset.json`` gets
            the same ``schema`` and ``statistics`` with each value's finite
            extremes, by which viewers style the tiles.
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
        crs: the coordinate reference system of `positions`, anything
            pyproj accepts (``"EPSG:32610"``, WKT, a ``pyproj.CRS``; needs
            ``plexorin[geo]``). The points are then projected into
            Earth-centred coordinates (EPSG:4978) and held in the
            east-north-up frame at the middle of their bounds, in metres;
            the root's ``transform`` places that frame on the globe. The z
            of a CRS without a vertical part is height above its ellipsoid,
            in the unit of its horizontal axes (metres for a geographic CRS).
            Not with `box`.
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
    if (isinstance(points_per_tile, bool) or not isinstance(points_per_tile, int)
            or not 1 <= points_per_tile <= MAX_POINTS_PER_TILE):
        raise ValueError("points_per_tile: expected an integer from 1 to 2^64 - 1, "
                         f"got {points_per_tile!r}")
    if crs is not None:
        if box is not None:
            raise ValueError("box and crs: a box is in the data's coordinates, which a CRS "
                             "moves to Earth's; pass one of them")
        geo.earth_transformer(crs)  # refused before any file is made
    source = source_for(positions, types, colors, mapped=client is not None,
                        attributes=attributes)
    corners = _inputs.box_corners(box)
    if corners is not None:
        grid_of(corners[:3], corners[3:])  # refused before any file is made
    out = pathlib.Path(out_dir)
    own_executor = executor is None and client is None and not source.is_dask
    if own_executor:
        executor = ThreadPoolExecutor(max_workers=os.cpu_count() or 1)
    try:
        with staged(out) as (stage, work):
            runner = make_runner(executor, client, source.is_dask, progress)
            build(runner, source, corners, stage, work, points_per_tile, compress, crs)
        return out / TILESET_JSON
    finally:
        if own_executor and executor is not None:
            executor.shutdown(cancel_futures=True)
