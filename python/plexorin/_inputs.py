"""Conversion and checking of the arrays that the public functions take.

Every function here turns an array-like into the exact C-contiguous NumPy
array that the native builders read, without copying what already is one,
and raises TypeError or ValueError with a short message that names the
argument, says what was expected and what came, and never shows the data.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

FLOAT32_MAX = float(np.finfo(np.float32).max)


def _describe(value: Any) -> str:
    return type(value).__name__


def as_array(value: Any, name: str) -> np.ndarray:
    """`value` as a NumPy array of numbers, refusing what NumPy cannot make one of."""
    if isinstance(value, (str, bytes, dict)) or value is None:
        raise TypeError(f"{name}: expected an array of numbers, got {_describe(value)}")
    try:
        array = np.asarray(value)
    except (ValueError, TypeError) as error:
        # NumPy's first sentence says what is wrong; the rest is detail.
        reason = str(error).split(". ")[0][:120]
        raise TypeError(f"{name}: expected an array of numbers, got {_describe(value)} that "
                        f"NumPy cannot read as one ({reason})") from None
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name}: expected an array of numbers, got dtype {array.dtype}")
    return array


def _rows_of_three(array: np.ndarray, name: str, what: str) -> np.ndarray:
    if array.ndim == 2 and array.shape[1] == 3:
        return array
    if array.ndim == 1 and array.size % 3 == 0:
        return array.reshape(-1, 3)
    raise ValueError(f"{name}: expected shape (N, 3) ({what}) or a flat length that is a "
                     f"multiple of 3, got {array.shape}")


def xyz_rows(value: Any, name: str, what: str) -> np.ndarray:
    """Rows of x y z as an (N, 3) array of numbers, not yet converted."""
    array = as_array(value, name)
    if array.dtype.kind == "b":
        raise TypeError(f"{name}: expected numbers, got dtype bool")
    return _rows_of_three(array, name, what)


def to_float32(array: np.ndarray, name: str, first_row: int = 0) -> npt.NDArray[np.float32]:
    """C-contiguous float32, not copied when it already is; overflowing floats
    raise, naming the row as `first_row` + its place (rows of a chunk)."""
    if array.dtype == np.float32 and array.dtype.isnative:
        return np.ascontiguousarray(array)
    try:
        with np.errstate(over="raise", invalid="ignore"):
            return np.ascontiguousarray(array, dtype=np.float32)
    except FloatingPointError:
        row = first_row + _first_overflowing_row(array)
        raise ValueError(f"{name}[{row}] overflows float32 (largest magnitude "
                         f"{FLOAT32_MAX:.7g})") from None


def float32_rows(value: Any, name: str, what: str, first_row: int = 0) -> npt.NDArray[np.float32]:
    """Rows of x y z as C-contiguous float32."""
    return to_float32(xyz_rows(value, name, what), name, first_row)


def _first_overflowing_row(array: np.ndarray) -> int:
    # Values just above FLOAT32_MAX round down to it: only those that become
    # infinite overflow.
    with np.errstate(over="ignore", invalid="ignore"):
        overflows = np.isinf(array.astype(np.float32)) & np.isfinite(array)
    return int(np.flatnonzero(overflows.any(axis=1))[0])


def integer_values(value: Any, name: str) -> np.ndarray:
    array = as_array(value, name)
    if array.size == 0:
        return array.astype(np.int64)  # an empty list has dtype float64
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name}: expected integers, got dtype {array.dtype}")
    return array


def _first_outside(array: np.ndarray, low: int, high: int) -> int | None:
    """Flat index of the first value outside low..high, or None."""
    if array.size == 0:
        return None
    info = np.iinfo(array.dtype)
    if info.min >= low and info.max <= high:
        return None
    if int(array.min()) >= low and int(array.max()) <= high:
        return None
    return int(np.flatnonzero((array < low) | (array > high))[0])


def atom_types(value: Any, count: int) -> npt.NDArray[np.uint16]:
    """One type per atom as C-contiguous uint16, each checked to lie in 0..65535."""
    array = integer_values(value, "types")
    if array.ndim != 1:
        raise ValueError(f"types: expected shape ({count},), one type per atom, got {array.shape}")
    if array.shape[0] != count:
        raise ValueError(f"types: expected {count} values, one per atom, got {array.shape[0]}")
    bad = _first_outside(array, 0, 65535)
    if bad is not None:
        raise ValueError(f"types[{bad}] = {int(array[bad])} is outside 0..65535")
    return np.ascontiguousarray(array, dtype=np.uint16)


def face_rows(value: Any) -> np.ndarray:
    """Triangles as an (M, 3) integer array, not yet checked or converted."""
    return _rows_of_three(integer_values(value, "faces"), "faces", "three vertex indices per triangle")


def to_face_indices(array: np.ndarray, vertex_count: int) -> npt.NDArray[np.uint32]:
    """C-contiguous uint32 triangles, each index checked against the vertices."""
    bad = _first_outside(array, 0, vertex_count - 1)
    if bad is not None:
        row, column = divmod(bad, 3)
        raise ValueError(f"faces[{row}, {column}] = {int(array[row, column])} is outside "
                         f"0..{vertex_count - 1} (there are {vertex_count} vertices)")
    return np.ascontiguousarray(array, dtype=np.uint32)


def color_rows(value: Any, count: int) -> np.ndarray | None:
    """Colours as an (N, 3) or (N, 4) array of floats, uint8 or uint16, not yet converted."""
    if value is None:
        return None
    array = as_array(value, "colors")
    if array.ndim != 2 or array.shape[1] not in (3, 4):
        raise ValueError(f"colors: expected shape ({count}, 3) or ({count}, 4), got {array.shape}")
    if array.shape[0] != count:
        raise ValueError(f"colors: expected {count} rows, one per point, got {array.shape[0]}")
    if not (array.dtype.kind == "f" or (array.dtype.kind == "u" and array.dtype.itemsize <= 2)):
        raise TypeError(f"colors: expected floats in [0, 1] or uint8/uint16 integers, got dtype "
                        f"{array.dtype} (convert with .astype(np.uint8) for 0..255 values)")
    return array


def _stored_color_dtype(array: np.ndarray) -> np.dtype[Any]:
    """uint8 and uint16 colours keep their type, float ones become float32."""
    if array.dtype.kind == "u":
        return np.dtype(np.uint8 if array.dtype.itemsize == 1 else np.uint16)
    return np.dtype(np.float32)


def color_storage(array: np.ndarray | None) -> tuple[str, int] | None:
    """(storage type, components) of colours as `to_colors` makes them."""
    if array is None:
        return None
    return _stored_color_dtype(array).name, int(array.shape[1])


def to_colors(array: np.ndarray | None) -> np.ndarray | None:
    """C-contiguous float32, uint8 or uint16 colours.

    Float values must lie in [0, 1]; the native builder checks that in its own
    pass and names the first bad element.
    """
    if array is None:
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        return np.ascontiguousarray(array, dtype=_stored_color_dtype(array))


def to_normals(value: Any, count: int) -> npt.NDArray[np.float32] | None:
    if value is None:
        return None
    array = float32_rows(value, "normals", "one normal per vertex")
    if array.shape[0] != count:
        raise ValueError(f"normals: expected {count} rows, one per vertex, got {array.shape[0]}")
    finite = np.isfinite(array).all(axis=1)
    if not finite.all():
        raise ValueError(f"normals[{int(np.flatnonzero(~finite)[0])}] is not finite")
    return array


def box_corners(value: Any) -> tuple[float, ...] | None:
    """A cell given as (lo, hi) or a (2, 3) array, as six floats lo x y z, hi x y z."""
    if value is None:
        return None
    array = as_array(value, "box").astype(np.float64)
    if array.shape != (2, 3):
        raise ValueError(f"box: expected the corners (lo, hi) as shape (2, 3), got {array.shape}")
    for corner, label in ((0, "lower"), (1, "upper")):
        for axis in range(3):
            if not np.isfinite(array[corner, axis]):
                raise ValueError(f"box[{corner}][{axis}] = {array[corner, axis]} is not finite "
                                 f"({label} corner)")
    for axis in range(3):
        if array[0, axis] > array[1, axis]:
            raise ValueError(f"box: the lower corner exceeds the upper corner on axis {axis} "
                             f"({array[0, axis]} > {array[1, axis]})")
    return tuple(float(v) for v in array.reshape(6))


ATOM_STYLES = ("points", "spheres")


def atom_style(value: Any) -> bool:
    """True for spheres, False for points."""
    if not isinstance(value, str) or value not in ATOM_STYLES:
        raise ValueError(f"style: expected 'points' or 'spheres', got {value!r}")
    return value == "spheres"


def _radius_table_from_dict(value: dict[Any, Any], types: np.ndarray) -> npt.NDArray[np.float32]:
    """A per-type table; types without an entry hold NaN, the native default."""
    keys = []
    for key in value:
        if isinstance(key, bool) or not isinstance(key, (int, np.integer)) or not 0 <= key <= 65535:
            raise ValueError(f"radius: dictionary keys are atom types 0..65535, got {key!r}")
        keys.append(int(key))
    length = max([*keys, int(types.max()) if types.size else 0]) + 1
    table = np.full(length, np.nan, np.float32)
    for key, radius in zip(keys, value.values()):
        if isinstance(radius, bool) or not isinstance(radius, (int, float, np.integer, np.floating)):
            raise TypeError(f"radius[{key}]: expected a number, got {_describe(radius)}")
        table[key] = radius
    return table


def sphere_radii(value: Any, types: np.ndarray,
                 tables: bool = True) -> tuple[np.ndarray | None, np.ndarray | None]:
    """`radius` as (one per atom, None), (None, a table by type) or (None, None);
    without `tables` (atoms given by element) only one number or one per atom.

    The values themselves (positive and finite) are checked by the native builder.
    """
    if value is None:
        return None, None
    if not tables and (isinstance(value, dict) or np.ndim(value) == 1 and
                       len(value) != types.shape[0]):
        raise ValueError(f"radius: with elements, expected one number or {types.shape[0]} "
                         f"values, one per atom")
    if isinstance(value, dict):
        return None, _radius_table_from_dict(value, types)
    if isinstance(value, bool):
        raise TypeError("radius: expected a number, a table by type or one value per atom, got bool")
    array = as_array(value, "radius")
    with np.errstate(over="ignore", invalid="ignore"):
        array = array.astype(np.float32)
    count = types.shape[0]
    highest = int(types.max()) if count else 0
    if array.ndim == 0:
        return None, np.full(highest + 1, array, np.float32)
    if array.ndim != 1:
        raise ValueError(f"radius: expected a number, a table by type or one value per atom, "
                         f"got shape {array.shape}")
    if array.shape[0] == count:
        return np.ascontiguousarray(array), None
    if array.shape[0] <= highest:
        raise ValueError(f"radius: expected {count} values (one per atom) or a table by type with "
                         f"at least {highest + 1} entries (types go up to {highest}), got "
                         f"{array.shape[0]}")
    return None, np.ascontiguousarray(array)


MAX_PALETTE_ROWS = 65536  # one per uint16 type


def palette_colors(value: Any) -> npt.NDArray[np.float32]:
    """A palette of (M, 3) or (M, 4) linear colours as C-contiguous float32:
    floats as given (the native builder checks that they lie in [0, 1]),
    uint8 values divided by 255."""
    array = as_array(value, "palette")
    if array.ndim != 2 or array.shape[1] not in (3, 4) or not 1 <= array.shape[0] <= MAX_PALETTE_ROWS:
        raise ValueError(f"palette: expected shape (M, 3) or (M, 4) with 1 to {MAX_PALETTE_ROWS} "
                         f"colours, got {array.shape}")
    if array.dtype == np.uint8:
        return np.ascontiguousarray(array, dtype=np.float32) / np.float32(255)
    if array.dtype.kind != "f":
        raise TypeError(f"palette: expected floats in [0, 1] or uint8 integers, got dtype "
                        f"{array.dtype}")
    with np.errstate(over="ignore", invalid="ignore"):
        return np.ascontiguousarray(array, dtype=np.float32)


def radius_scale(value: Any, spheres: bool) -> float:
    """A positive float32 factor on every sphere radius; only spheres take another than 1."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer,
                                                                     np.floating)):
        raise TypeError(f"radius_scale: expected a positive number, got {_describe(value)}")
    with np.errstate(over="ignore"):
        stored = np.float32(value)
    if not (np.isfinite(stored) and stored > 0):
        raise ValueError(f"radius_scale: expected a positive number, got {value}")
    if stored != 1 and not spheres:
        raise ValueError("radius_scale: only used with style='spheres'")
    return float(stored)


def element_numbers(value: Any, count: int) -> np.ndarray:
    """The atomic number (uint8) of each atom's element, given as symbols or numbers."""
    from .elements import atomic_numbers

    if isinstance(value, (str, bytes)):
        raise TypeError(f"elements: expected one symbol or atomic number per atom, got "
                        f"{_describe(value)}")
    numbers = atomic_numbers(value, "elements")
    if numbers.shape[0] != count:
        raise ValueError(f"elements: expected {count} values, one per atom, got {numbers.shape[0]}")
    return numbers
