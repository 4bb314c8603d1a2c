from typing import Any

import numpy as np
import numpy.typing as npt

def atoms(positions: npt.NDArray[np.float32], types: npt.NDArray[np.uint16],
          box: tuple[float, ...] | None, compress: bool = ..., spheres: bool = ...,
          radius_per_atom: npt.NDArray[np.float32] | None = ...,
          radius_per_type: npt.NDArray[np.float32] | None = ...) -> bytes: ...
def point_cloud(positions: npt.NDArray[np.float32], colors: npt.NDArray[Any] | None,
                compress: bool = ..., keep_input_order: bool = ...) -> bytes: ...
def mesh(positions: npt.NDArray[np.float32], faces: npt.NDArray[np.uint32],
         normals: npt.NDArray[np.float32] | None, colors: npt.NDArray[Any] | None,
         material: tuple[tuple[float, ...], float, float, tuple[float, ...], bool],
         compress: bool = ...) -> bytes: ...
