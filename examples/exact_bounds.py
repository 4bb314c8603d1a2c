"""Exact bounds: what to pass as vmin/vmax (or bounds) so readers can trust them.

The module never computes bounds: it writes the corners you pass into the file
as the POSITION accessor's min and max. Viewers use them to frame and cull the
model, and strict readers (the Khronos validator) demand that they equal the
extremes of the stored float32 data exactly. Two rules make that hold:

1. Take the bounds from the float32 array you pass, not from the float64 data
   before conversion, and not from the formula that made the data.
2. The file holds each bound with six decimals. A float32 that is not the
   nearest float32 to some six-decimal number can read back as its neighbour.
   Rounding the coordinates to six decimals first changes each by at most
   5e-7 and makes every extreme read back exactly.

Run:  PYTHONPATH=build .venv/bin/python examples/exact_bounds.py
"""

import json
import struct

import numpy as np

import _plexorin


def snap_to_six_decimals(values) -> np.ndarray:
    """Float32 values that survive the file's six-decimal bounds unchanged."""
    return np.round(np.asarray(values, dtype=np.float64), 6).astype(np.float32)


def exact_bounds(positions: np.ndarray) -> tuple[list[float], list[float]]:
    """Lower and upper corner of float32 x y z positions, as Python floats.

    Widening float32 to float64 is exact, so these are the data's extremes.
    """
    xyz = np.asarray(positions).reshape(-1, 3)
    return xyz.min(axis=0).tolist(), xyz.max(axis=0).tolist()


def bounds_read_back(glb: bytes) -> tuple[np.ndarray, np.ndarray]:
    """The POSITION min and max as a reader sees them: decimals rounded to float32."""
    (json_length,) = struct.unpack_from("<I", glb, 12)
    accessor = json.loads(glb[20:20 + json_length])["accessors"][0]
    return np.array(accessor["min"], np.float32), np.array(accessor["max"], np.float32)


def bounds_are_exact(glb: bytes, positions: np.ndarray) -> bool:
    lo, hi = bounds_read_back(glb)
    xyz = positions.reshape(-1, 3)
    return bool((lo == xyz.min(axis=0)).all() and (hi == xyz.max(axis=0)).all())


def main() -> None:
    rng = np.random.default_rng(3)
    data = rng.normal(size=(100_000, 3))  # float64, as science code often has it
    colors = rng.random((len(data), 3), dtype=np.float32)

    # Wrong: bounds of the float64 data, positions converted afterwards.
    naive = data.astype(np.float32)
    glb = _plexorin.point_cloud_glb(naive, colors, data.min(axis=0), data.max(axis=0))
    print(f"bounds from the float64 data:        exact = {bounds_are_exact(glb, naive)}")

    # Better, but a float32 extreme may not survive six decimals.
    glb = _plexorin.point_cloud_glb(naive, colors, *exact_bounds(naive))
    print(f"bounds from the float32 data:        exact = {bounds_are_exact(glb, naive)}")

    # Exact: snap to six decimals, then take the bounds of what is passed.
    snapped = snap_to_six_decimals(data)
    glb = _plexorin.point_cloud_glb(snapped, colors, *exact_bounds(snapped))
    print(f"snapped, bounds from the float32 data: exact = {bounds_are_exact(glb, snapped)}")


if __name__ == "__main__":
    main()
