from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

def atoms(positions: npt.NDArray[np.float32], types: npt.NDArray[np.uint16],
          box: tuple[float, ...] | None, compress: bool = ..., spheres: bool = ...,
          radius_per_atom: npt.NDArray[np.float32] | None = ...,
          radius_per_type: npt.NDArray[np.float32] | None = ..., workers: int = ...) -> bytes: ...
class PointWriteScratch:
    def __init__(self) -> None: ...
def point_cloud(positions: npt.NDArray[np.float32], colors: npt.NDArray[Any] | None,
                compress: bool = ..., keep_input_order: bool = ..., workers: int = ...,
                scratch: PointWriteScratch | None = ...,
                out: npt.NDArray[np.uint8] | None = ...) -> bytes | npt.NDArray[np.uint8]: ...
def mesh(positions: npt.NDArray[np.float32], faces: npt.NDArray[np.uint32],
         normals: npt.NDArray[np.float32] | None, colors: npt.NDArray[Any] | None,
         material: tuple[tuple[float, ...], float, float, tuple[float, ...], bool],
         compress: bool = ..., workers: int = ...) -> bytes: ...

# The tiler's passes (plexorin.tiles); grid = (lo x, lo y, lo z, cells per unit).
def tile_keys(positions: npt.NDArray[np.float32], grid: tuple[float, float, float, float],
              out: npt.NDArray[np.uint32] | None = ...) -> tuple[npt.NDArray[np.uint32], int]: ...
def tile_key_histogram(positions: npt.NDArray[np.float32], grid: tuple[float, float, float, float],
                       level: int, histogram: npt.NDArray[np.uint32]) -> int: ...
def tile_partition(keys: npt.NDArray[np.uint32], level: int, cell_group: npt.NDArray[Any],
                   groups: int, out: npt.NDArray[np.uint32] | None = ...,
                   scratch: npt.NDArray[np.uint32] | None = ...) -> tuple[
    npt.NDArray[np.uint32], npt.NDArray[np.uint64]]: ...
def tile_coarse_selection(counts: Sequence[npt.NDArray[np.uint64]],
                          starts: Sequence[npt.NDArray[np.int64]], grid_depth: int,
                          points_per_tile: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.uint8]]: ...
def tile_buckets(cell_starts: npt.NDArray[np.int64], leaf_level: npt.NDArray[np.uint8], level: int,
                 bucket_places: int) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.int64]]: ...
def tile_gather(source: npt.NDArray[Any], order: npt.NDArray[np.uint32],
                out: npt.NDArray[Any] | None = ...) -> npt.NDArray[Any]: ...
def tile_refine(positions: npt.NDArray[np.float32], keys: npt.NDArray[np.uint32],
                grid: tuple[float, float, float, float],
                others: list[npt.NDArray[Any] | None]) -> None: ...
def tile_extents(positions: npt.NDArray[np.float32]) -> tuple[tuple[float, float, float],
                                                               tuple[float, float, float], int]: ...
def tile_turn_y_up(positions: npt.NDArray[np.float32], cuts: npt.NDArray[np.uint32]
                   ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]: ...
def tile_group_by_level(levels: npt.NDArray[np.uint8], order: npt.NDArray[np.uint32],
                        keys: npt.NDArray[np.uint32], levels_out: npt.NDArray[np.uint8] | None = ...,
                        order_out: npt.NDArray[np.uint32] | None = ...,
                        keys_out: npt.NDArray[np.uint32] | None = ...) -> tuple[npt.NDArray[np.uint8],
                                                               npt.NDArray[np.uint32],
                                                               npt.NDArray[np.uint32]]: ...
def tile_runs(levels: npt.NDArray[np.uint8], keys: npt.NDArray[np.uint32]) -> tuple[
    npt.NDArray[np.uint8], npt.NDArray[np.uint32], npt.NDArray[np.uint32]]: ...
def tile_sort(keys: npt.NDArray[np.uint32], out: npt.NDArray[np.uint32] | None = ...,
              scratch: npt.NDArray[np.uint32] | None = ...) -> npt.NDArray[np.uint32]: ...
def tile_levels(sorted_keys: npt.NDArray[np.uint32], histogram_level: int, grid_depth: int,
                points_per_tile: int, cell_leaf_level: npt.NDArray[np.uint8],
                preselected_rows: npt.NDArray[np.uint32],
                preselected_levels: npt.NDArray[np.uint8],
                out: npt.NDArray[np.uint8] | None = ...,
                scratch: npt.NDArray[np.uint8] | None = ...) -> npt.NDArray[np.uint8]: ...
