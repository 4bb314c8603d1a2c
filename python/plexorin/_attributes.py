"""Values per point (`attributes=`): checked, then stored in the narrowest
glTF component type that holds them exactly."""

from __future__ import annotations

import re
import sys
from collections.abc import Callable, Mapping
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
    arrays = checked_attributes(attributes, count, what)
    return [(name, _narrowest(name, np.asarray(array))) for name, array in arrays]


def checked_attributes(attributes: Any, count: int, what: str = "point") -> list[tuple[str, Any]]:
    """(name, values) pairs of the mapping, each as checked_attribute gives
    it, their names distinct in upper case."""
    if attributes is None:
        return []
    if not isinstance(attributes, Mapping):
        raise TypeError(f"attributes: expected a mapping of names to arrays, got "
                        f"{type(attributes).__name__}")
    arrays = [(name, checked_attribute(name, value, count, what))
              for name, value in attributes.items()]
    seen: dict[str, str] = {}
    for name, _ in arrays:
        other = seen.setdefault(name.upper(), name)
        if other != name:
            raise ValueError(f"attributes[{name}]: collides with {other!r} in upper case "
                             f"(both would be _{name.upper()})")
    return arrays


def checked_attribute(name: Any, value: Any, count: int, what: str = "point") -> Any:
    """The attribute's values as an array of `count` rows (a Dask array
    stays lazy), or a refusal naming it."""
    if not isinstance(name, str) or not _IDENTIFIER.match(name):
        raise ValueError(f"attributes[{name!r}]: a name must be an identifier "
                         f"([A-Za-z_][A-Za-z0-9_]*)")
    array = value if _is_dask(value) else _as_array(name, value)
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


def _is_dask(value: Any) -> bool:
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(value, da.Array)


def _as_array(name: str, value: Any) -> np.ndarray:
    try:
        return np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"attributes[{name}]: not an array of numbers ({error})") from None


def stored_dtype(name: str, dtype: np.dtype[Any],
                 bounds: Callable[[], tuple[int, int] | None]) -> np.dtype[Any]:
    """The narrowest glTF type that holds the values exactly: int8/uint8/
    int16/uint16 as given; wider integers the narrowest of these that holds
    their values (from `bounds()`, called only for them, no values: uint8),
    else float32 when exact (|v| <= 2^24); floats as float32."""
    if dtype.kind == "f":
        return np.dtype(np.float32)
    native = dtype.newbyteorder("=")
    for narrow in _NARROW_INTEGERS:
        if native == np.dtype(narrow):
            return np.dtype(narrow)
    found = bounds()
    if found is None:
        return np.dtype(np.uint8)
    lo, hi = found
    for narrow in _NARROW_INTEGERS:
        info = np.iinfo(narrow)
        if info.min <= lo and hi <= info.max:
            return np.dtype(narrow)
    if -_FLOAT32_EXACT_INTEGERS <= lo and hi <= _FLOAT32_EXACT_INTEGERS:
        return np.dtype(np.float32)
    raise ValueError(f"attributes[{name}]: integers from {lo} to {hi} do not fit a glTF type "
                     f"exactly (8 or 16 bits, or float32 up to 2^24); convert them first")


def _narrowest(name: str, array: np.ndarray) -> np.ndarray:
    def bounds() -> tuple[int, int] | None:
        return (int(array.min()), int(array.max())) if array.size else None

    dtype = stored_dtype(name, array.dtype, bounds)
    if array.size == 0 and dtype.kind != "f":
        return np.zeros(0, dtype)
    return np.ascontiguousarray(array, dtype=dtype)
