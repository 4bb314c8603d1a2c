"""Values per point (`attributes=`): checked, then stored in the narrowest
glTF component type that holds them exactly."""

from __future__ import annotations

import re
from collections.abc import Mapping
from typing import Any

import numpy as np

_IDENTIFIER = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
# float32 holds every integer up to 2^24 exactly.
_FLOAT32_EXACT_INTEGERS = 1 << 24
# Integer dtypes of at most 16 bits keep their glTF twin; wider ones take the
# narrowest type that holds their values.
_NARROW_INTEGERS = (np.uint8, np.int8, np.uint16, np.int16)

Attributes = list[tuple[str, np.ndarray]]


def point_attributes(attributes: Any, count: int, what: str = "point") -> Attributes:
    """(name, array) pairs ready for the native builders, in the mapping's order.

    Every refusal names the attribute and comes before any conversion of the
    others' values."""
    if attributes is None:
        return []
    if not isinstance(attributes, Mapping):
        raise TypeError(f"attributes: expected a mapping of names to arrays, got "
                        f"{type(attributes).__name__}")
    arrays = [(name, _checked(name, value, count, what)) for name, value in attributes.items()]
    seen: dict[str, str] = {}
    for name, _ in arrays:
        other = seen.setdefault(name.upper(), name)
        if other != name:
            raise ValueError(f"attributes[{name}]: collides with {other!r} in upper case "
                             f"(both would be _{name.upper()})")
    return [(name, _narrowest(name, array)) for name, array in arrays]


def _checked(name: Any, value: Any, count: int, what: str) -> np.ndarray:
    if not isinstance(name, str) or not _IDENTIFIER.match(name):
        raise ValueError(f"attributes[{name!r}]: a name must be an identifier "
                         f"([A-Za-z_][A-Za-z0-9_]*)")
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"attributes[{name}]: not an array of numbers ({error})") from None
    if array.dtype.kind == "b":
        array = array.astype(np.uint8)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"attributes[{name}]: expected integers or floats, got dtype {array.dtype}")
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if not (array.ndim == 1 or (array.ndim == 2 and 2 <= array.shape[1] <= 4)):
        raise ValueError(f"attributes[{name}]: expected shape ({count},) or ({count}, 2..4), "
                         f"got {array.shape}")
    if array.shape[0] != count:
        raise ValueError(f"attributes[{name}]: expected {count} rows, one per {what}, got "
                         f"{array.shape[0]}")
    if array.ndim == 2 and array.dtype.kind != "f":
        raise TypeError(f"attributes[{name}]: columns must be floats, got dtype {array.dtype}")
    return array


def _narrowest(name: str, array: np.ndarray) -> np.ndarray:
    """int8/uint8/int16/uint16 as given; wider integers in the narrowest of
    these that holds their values, else float32 when exact (|v| <= 2^24);
    floats as float32."""
    if array.dtype.kind == "f":
        return np.ascontiguousarray(array, dtype=np.float32)
    native = array.dtype.newbyteorder("=")
    for dtype in _NARROW_INTEGERS:
        if native == np.dtype(dtype):
            return np.ascontiguousarray(array, dtype=dtype)
    if array.size == 0:
        return np.zeros(0, np.uint8)
    lo, hi = int(array.min()), int(array.max())
    for dtype in _NARROW_INTEGERS:
        info = np.iinfo(dtype)
        if info.min <= lo and hi <= info.max:
            return np.ascontiguousarray(array, dtype=dtype)
    if -_FLOAT32_EXACT_INTEGERS <= lo and hi <= _FLOAT32_EXACT_INTEGERS:
        return np.ascontiguousarray(array, dtype=np.float32)
    raise ValueError(f"attributes[{name}]: integers from {lo} to {hi} do not fit a glTF type "
                     f"exactly (8 or 16 bits, or float32 up to 2^24); convert them first")
