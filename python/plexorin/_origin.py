"""Coordinates far from zero, and the up axis: how positions are stored.

float32 keeps 24 bits of each coordinate, not of the data's extent: at 4
million its step is 0.25, so a LiDAR scan in projected metres, or any
simulation far from its origin, would lose centimetres or more. The
builders therefore store such positions as float32 offsets from an origin
and write the origin, as float64, into the translation of a root node
(named "Frame") above the scene; readers that apply node transforms see the
coordinates given.

The rule, on the float64 bounds lo..hi of the positions, E the largest
extent max(hi - lo) and m the largest magnitude max(|lo|, |hi|):

- Positions of a dtype that float32 holds exactly (float32, float16, 8- and
  16-bit integers) are stored as given.
- Other positions (float64, wider integers, converted to float64) are
  stored as float32 as they are when that rounds each coordinate by at most
  2^-22 * E: when half the float32 spacing at m, 2^(floor(log2 m) - 24), is
  at most 2^-22 * E. Data around zero thus keeps its bytes.
- Otherwise the origin is the middle of the bounds, lo + (hi - lo) / 2, and
  the file stores float32(x - origin), the difference taken in float64 and
  rounded once: within 2^-25 * E (and float32's own spacing) of the input.
- Values beyond float32's range raise, as they always did: readers keep
  node translations in float32 too.

A reader that ignores node transforms sees the offsets: the data centred on
zero. ``up="z"`` adds a rotation to the root node (x, y, z) -> (x, z, -y)
that stands z-up data upright in glTF's y-up world; the stored coordinates
do not change.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _inputs, _native

Origin = tuple[float, float, float]
UP_AXES = ("y", "z")
# The aim: float32 storage errs by at most this share of the largest extent.
RELATIVE_AIM = 2.0 ** -22
# Half the spacing of float32's subnormals, the least any rounding errs by.
SMALLEST_HALF_SPACING = 2.0 ** -150


def z_up(value: Any) -> bool:
    """`up` checked: True for "z", False for "y"."""
    if not isinstance(value, str) or value not in UP_AXES:
        raise ValueError(f"up: expected 'y' or 'z', got {value!r}")
    return value == "z"


def _half_float32_spacing(magnitude: float) -> float:
    """The most float32 rounding moves a value of this magnitude."""
    return max(math.ldexp(1.0, math.frexp(magnitude)[1] - 25), SMALLEST_HALF_SPACING)


def origin_of(lo: tuple[float, ...], hi: tuple[float, ...]) -> Origin | None:
    """The origin the rule above takes for float64 bounds lo..hi, or None."""
    extent = max(h - low for low, h in zip(lo, hi))
    reach = max(max(abs(low), abs(h)) for low, h in zip(lo, hi))
    if reach == 0 or _half_float32_spacing(reach) <= RELATIVE_AIM * extent:
        return None
    return (lo[0] + (hi[0] - lo[0]) / 2, lo[1] + (hi[1] - lo[1]) / 2, lo[2] + (hi[2] - lo[2]) / 2)


def stored_positions(rows: np.ndarray, name: str,
                     workers: int) -> tuple[npt.NDArray[np.float32], Origin | None]:
    """Rows of x y z (an (N, 3) array of numbers) as the float32 array the
    file stores and the origin it is offset from (None: stored as given)."""
    if np.can_cast(rows.dtype, np.float32) or rows.shape[0] == 0:
        return _inputs.to_float32(rows, name), None
    # The core reads float64 elements: contiguous, aligned, native byte order.
    wide = np.require(rows, np.float64, ["C_CONTIGUOUS", "ALIGNED"])
    bounds = _native.float64_extents(wide, workers)
    # A NaN, an infinity or a value beyond float32 (which readers keep node
    # translations in, too): refused by name on the usual path.
    if bounds is None or max(-min(bounds[0]), max(bounds[1])) > _inputs.FLOAT32_MAX:
        return _inputs.to_float32(rows, name), None
    origin = origin_of(*bounds)
    # With the origin 0: the rounding of NumPy's cast, on every core.
    return _native.float32_offsets(wide, origin or (0.0, 0.0, 0.0), workers), origin


def shifted_box(box: tuple[float, ...] | None, origin: Origin | None) -> tuple[float, ...] | None:
    """A Morton box (lo x y z, hi x y z) in the stored coordinates."""
    if box is None or origin is None:
        return box
    return tuple(value - origin[i % 3] for i, value in enumerate(box))
