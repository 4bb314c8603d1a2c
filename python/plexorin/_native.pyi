from collections.abc import Sequence
from types import ModuleType
from typing import Any

import numpy as np
import numpy.typing as npt

Material = tuple[tuple[float, ...], float, float, tuple[float, ...], bool]
Origin = tuple[float, float, float] | None
Attributes = list[tuple[str, npt.NDArray[Any]]]  # (name, values per point)
F64 = npt.NDArray[np.float64]

def atoms(positions: npt.NDArray[np.float32], types: npt.NDArray[np.uint16],
          box: tuple[float, ...] | None, compress: bool = ..., spheres: bool = ...,
          radius_per_atom: npt.NDArray[np.float32] | None = ...,
          radius_per_type: npt.NDArray[np.float32] | None = ..., workers: int = ...,
          palette: npt.NDArray[np.float32] | None = ...,
          palette_names: list[str] | None = ..., radius_scale: float = ...,
          origin: Origin = ..., z_up: bool = ...,
          attributes: Attributes | None = ...) -> bytes: ...
class PointWriteScratch:
    def __init__(self) -> None: ...
def point_cloud(positions: npt.NDArray[np.float32], colors: npt.NDArray[Any] | None,
                compress: bool = ..., keep_input_order: bool = ..., workers: int = ...,
                scratch: PointWriteScratch | None = ...,
                out: npt.NDArray[np.uint8] | None = ..., origin: Origin = ...,
                z_up: bool = ..., attributes: Attributes | None = ...
                ) -> bytes | npt.NDArray[np.uint8]: ...
def mesh(positions: npt.NDArray[np.float32], faces: npt.NDArray[np.uint32],
         normals: npt.NDArray[np.float32] | None, colors: npt.NDArray[Any] | None,
         material: Material, compress: bool = ..., workers: int = ..., origin: Origin = ...,
         z_up: bool = ..., attributes: Attributes | None = ...) -> bytes: ...
def atoms_size(count: int, compress: bool = ..., spheres: bool = ...,
               palette_components: int = ..., origin: Origin = ...,
               z_up: bool = ...) -> int | None: ...
def point_cloud_size(count: int, colors: tuple[str, int] | None = ...,
                     compress: bool = ..., origin: Origin = ..., z_up: bool = ...) -> int | None: ...
def mesh_size(vertex_count: int, face_count: int, colors: tuple[str, int] | None,
              material: Material, compress: bool = ..., origin: Origin = ...,
              z_up: bool = ...) -> int | None: ...
def float64_extents(positions: F64, workers: int = ...
                    ) -> tuple[tuple[float, float, float], tuple[float, float, float]] | None: ...
def float32_offsets(positions: F64, origin: tuple[float, float, float],
                    workers: int = ...) -> npt.NDArray[np.float32]: ...

# Bonds of molecules (plexorin.atoms(bonds="guess")): (M, 2) pairs i < j, ascending.
def guess_bonds(positions: npt.NDArray[np.float32], radii: npt.NDArray[np.float32],
                cell: npt.NDArray[np.float64] | None = ..., factor: float = ...,
                lower_bound: float = ..., workers: int = ...) -> npt.NDArray[np.uint32]: ...

# The tiler's passes (plexorin.tiles); grid = (lo x, lo y, lo z, cells per unit).
Grid = tuple[float, float, float, float]
U8 = npt.NDArray[np.uint8]
U32 = npt.NDArray[np.uint32]

class _Tiles(ModuleType):
    @staticmethod
    def keys(positions: npt.NDArray[np.float32], grid: Grid,
             out: U32 | None = ...) -> tuple[U32, int]: ...
    @staticmethod
    def key_histogram(positions: npt.NDArray[np.float32], grid: Grid, level: int,
                      histogram: U32) -> int: ...
    @staticmethod
    def partition(keys: U32, level: int, cell_group: npt.NDArray[Any], groups: int,
                  out: U32 | None = ...,
                  scratch: U32 | None = ...) -> tuple[U32, npt.NDArray[np.uint64]]: ...
    @staticmethod
    def coarse_selection(counts: Sequence[npt.NDArray[np.uint64]],
                         starts: Sequence[npt.NDArray[np.int64]], grid_depth: int,
                         points_per_tile: int) -> tuple[npt.NDArray[np.int64], U8]: ...
    @staticmethod
    def buckets(cell_starts: npt.NDArray[np.int64], leaf_level: U8, level: int,
                bucket_places: int) -> tuple[U32, npt.NDArray[np.int64]]: ...
    @staticmethod
    def gather(source: npt.NDArray[Any], order: U32,
               out: npt.NDArray[Any] | None = ...) -> npt.NDArray[Any]: ...
    @staticmethod
    def extents(positions: npt.NDArray[np.float32]) -> tuple[tuple[float, float, float],
                                                             tuple[float, float, float], int]: ...

    @staticmethod
    def box(y_up: npt.NDArray[np.float32], compress: bool, uniform_grid: bool
            ) -> tuple[tuple[float, float, float], tuple[float, float, float]]: ...
    class TileScratch:
        def __init__(self) -> None: ...
        def reserve(self, rows: int, type_bytes: int, color_bytes: int,
                    value_bytes: int = 0) -> None: ...
        def input(self, column: int, dtype: np.dtype[Any],
                  shape: tuple[int, ...]) -> npt.NDArray[Any]: ...
        def histogram(self, level: int) -> U32: ...
        def route(self, positions: npt.NDArray[np.float32], grid: Grid, level: int,
                  cell_group: npt.NDArray[Any], groups: int
                  ) -> tuple[U32 | None, npt.NDArray[np.uint64] | None, int]: ...
        def bucket(self, positions: npt.NDArray[np.float32],
                   types: npt.NDArray[np.uint16] | None, colors: npt.NDArray[Any] | None,
                   grid: Grid, histogram_level: int, grid_depth: int, points_per_tile: int,
                   cell_leaf_level: U8, preselected_rows: U32, preselected_levels: U8,
                   compress: bool, values: npt.NDArray[np.uint8] | None = None
                   ) -> tuple[Any, ...]: ...

tiles: _Tiles
