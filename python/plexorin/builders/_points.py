"""Point clouds, plain or compressed, in the order given or in Morton order."""

from __future__ import annotations

from typing import Any, Literal

import numpy as np

from .. import _attributes, _inputs, _native, _origin, colormaps
from .._environment import round_to_nearest
from ._common import ArrayLike, flag, thread_limit, with_compressed_layout


@with_compressed_layout
def point_cloud(positions: ArrayLike, colors: ArrayLike | None = None, *, compress: bool = False,
                order: Literal["morton", "input"] | None = None,
                workers: int | None = None, up: str = "y", attributes: Any = None,
                cmap: str | None = None, clim: Any = None, nan_color: Any = None) -> bytes:
    """A point cloud as a GLB file.

    Args:
        positions: x y z per point, shape (N, 3) or flat, stored as float32
            as for `atoms`.
        colors: None for no colours, or shape (N, 3) (RGB) or (N, 4) (RGBA):
            floats in [0, 1], or uint8/uint16 integers stored as normalised
            values (255 or 65535 is full intensity); or shape (N,): one
            scalar per point, coloured through `cmap` over `clim`.
        compress: write the compressed layout described below.
        order: the order of the points in the file. "input" keeps the order
            given; "morton" (the default of compressed files, which the codec
            compresses about twice as well) sorts them in Morton order of the
            quantised positions: along a Z-order curve over the cube on their
            exact bounds, 1024 cells per axis (the cells of `atoms`' curve)
            each cut 64 times per axis, so 16 bits per axis; points in one
            fine cell keep their order.
            Uncompressed files always keep the order given.
        workers: the most threads the build runs at once; by default one
            per processor, and one below 100000 points. Pass 1 when several
            threads each build a file, as `tileset` does. The bytes do not
            depend on it.
        up: as for `atoms`: "z" for z-up data such as LiDAR scans.
        attributes: {attributes}
        cmap: the colour map of scalar `colors` (default "viridis"): any
            name of the `cmap` package (the ``colors`` extra) or, without
            it, of matplotlib. Colours are linearised for COLOR_0 and stored
            as uint16.
        clim: (lo, hi), the values at the map's ends (clamped beyond);
            default the finite minimum and maximum.
        nan_color: the (r, g, b) of NaN values, default mid grey.

    Returns:
        The GLB file: one POINTS primitive with POSITION (exact float32
        bounds) and, with colours, COLOR_0 in the type given.

    {compressed_layout}
    Point clouds use one step on all three axes, that of the longest
    extent: (longest extent) / 32766 of error at most, in every direction.
    Compressed points are cut into chunks of about 262144 points, each a
    POINTS primitive with its own bounds (consecutive along the curve in
    Morton order, where a chunk ends with the points of a 1024-grid cell);
    COLOR_0 is normalised RGBA8 (alpha 255 for RGB), each value within half
    of 1/255 of the one given.

    Raises:
        TypeError, ValueError: as for `atoms`; float colours outside [0, 1]
            raise ValueError naming the first one; ``order="morton"``
            without ``compress=True``, or another order, raises ValueError.
    """
    compress = flag(compress, "compress")
    threads = thread_limit(workers)
    turn = _origin.z_up(up)
    if order not in (None, "morton", "input"):
        raise ValueError(f"order: expected 'morton' or 'input', got {order!r}")
    if order == "morton" and not compress:
        raise ValueError("order: 'morton' needs compress=True; uncompressed files keep the "
                         "order given")
    count = _inputs.xyz_rows(positions, "positions", "x y z per point").shape[0]
    pairs = _attributes.point_attributes(attributes, count)
    colors = colormaps.resolve_colors(colors, count, cmap, clim, nan_color)
    glb = point_cloud_file(positions, colors, compress, order == "input", threads, z_up=turn,
                           attributes=pairs)
    assert isinstance(glb, bytes)  # nothing lent: a new bytes object
    return glb


def point_cloud_file(positions: ArrayLike, colors: ArrayLike | None, compress: bool,
                     keep_input_order: bool, workers: int,
                     scratch: _native.PointWriteScratch | None = None,
                     out: np.ndarray | None = None, z_up: bool = False,
                     attributes: _attributes.Attributes | None = None) -> bytes | np.ndarray:
    """`point_cloud` with its options checked, and memory lent by a caller
    that writes many files one after another: working memory (compressed
    files use it) and `out`, a uint8 array that gets the file, which is then
    its first bytes, when it fits there (a new bytes object otherwise)."""
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per point")
        color_rows = _inputs.color_rows(colors, rows.shape[0])
        # What the core refuses before it reads the points, refused before any copy.
        _native.point_cloud_size(rows.shape[0], _inputs.color_storage(color_rows), compress)
        stored, origin = _origin.stored_positions(rows, "positions", workers)
        return _native.point_cloud(stored, _inputs.to_colors(color_rows), compress,
                                   keep_input_order, workers, scratch, out, origin, z_up,
                                   attributes or None)
