"""Values per point in a tileset (`attributes=`).

Each attribute's glTF type is decided once for the whole input, by the
rule of `plexorin.point_cloud`, so that every tile stores it alike and the
tileset's schema holds for all of them. Through the build a point's values
travel as one row of bytes, each value starting on 4 bytes as in the
tiles' files, which the native passes move with the point.
"""

from __future__ import annotations

import functools
import importlib
import sys
from dataclasses import dataclass
from typing import Any

import numpy as np

from .. import _attributes

METADATA_SCHEMA_ID = "plexorin"  # as in the tiles' EXT_structural_metadata
METADATA_CLASS = "point"
_COMPONENT_TYPES = {"u1": "UINT8", "i1": "INT8", "u2": "UINT16", "i2": "INT16", "f4": "FLOAT32"}
_ELEMENT_TYPES = {1: "SCALAR", 2: "VEC2", 3: "VEC3", 4: "VEC4"}

Bounds = list[tuple[np.ndarray, np.ndarray] | None]  # per value: (min, max) per component


@dataclass(frozen=True)
class Value:
    name: str
    dtype: np.dtype[Any]  # as stored
    components: int
    offset: int  # in the row of a point's values

    @property
    def nbytes(self) -> int:
        return self.dtype.itemsize * self.components


@dataclass(frozen=True)
class ValueLayout:
    values: tuple[Value, ...]
    row_bytes: int


def value_layout(attributes: Any, count: int) -> tuple[ValueLayout | None, list[Any]]:
    """The layout of the values and the checked arrays (NumPy or Dask), in
    the mapping's order; refusals name the attribute, before any file."""
    checked = _attributes.checked_attributes(attributes, count)
    if not checked:
        return None, []
    values = []
    offset = 0
    for name, array in checked:
        dtype = _attributes.stored_dtype(name, array.dtype, functools.partial(_integer_bounds, array))
        value = Value(name, dtype, 1 if array.ndim == 1 else int(array.shape[1]), offset)
        values.append(value)
        offset += -(-value.nbytes // 4) * 4
    return ValueLayout(tuple(values), offset), [array for _, array in checked]


def _integer_bounds(array: Any) -> tuple[int, int] | None:
    """Lowest and highest value of wide integers (one pass; for Dask, one
    computation), which choose their stored type."""
    if array.shape[0] == 0:
        return None
    da = sys.modules.get("dask.array")
    if da is not None and isinstance(array, da.Array):
        dask: Any = importlib.import_module("dask")
        lo, hi = dask.compute(array.min(), array.max())
    else:
        lo, hi = array.min(), array.max()
    return int(lo), int(hi)


def pack_into(layout: ValueLayout, arrays: list[Any], rows: np.ndarray) -> np.ndarray:
    """Writes each point's values (arrays of its rows, as given) into `rows`
    (uint8, one row of layout.row_bytes per point; padding zero)."""
    rows[...] = 0
    for value, array in zip(layout.values, arrays):
        view = rows[:, value.offset:value.offset + value.nbytes].view(value.dtype)
        view[...] = np.asarray(array).reshape(rows.shape[0], value.components)
    return rows


def pack(layout: ValueLayout, arrays: list[Any], count: int) -> np.ndarray:
    return pack_into(layout, arrays, np.empty((count, layout.row_bytes), np.uint8))


def unpack(layout: ValueLayout, rows: np.ndarray) -> list[tuple[str, np.ndarray]]:
    """(name, values) of rows of packed values, as the builders take them."""
    pairs = []
    for value in layout.values:
        view = rows[:, value.offset:value.offset + value.nbytes].view(value.dtype)
        pairs.append((value.name, np.ascontiguousarray(view if value.components > 1 else view[:, 0])))
    return pairs


def bounds_of(layout: ValueLayout, rows: np.ndarray) -> Bounds:
    """Per value, the extremes per component of its finite values (None: none)."""
    found: Bounds = []
    for value, (_, values) in zip(layout.values, unpack(layout, rows)):
        columns = values.reshape(values.shape[0], value.components)
        if columns.dtype.kind == "f":
            columns = np.where(np.isfinite(columns), columns, np.nan)
            if not np.isfinite(columns).any(axis=0).all():
                found.append(None)
                continue
            found.append((np.nanmin(columns, axis=0), np.nanmax(columns, axis=0)))
        else:
            found.append((columns.min(axis=0), columns.max(axis=0)) if columns.size else None)
    return found


def merge_bounds(parts: list[Bounds]) -> Bounds:
    merged: Bounds = []
    for per_value in zip(*parts):
        present = [b for b in per_value if b is not None]
        merged.append(None if not present else
                      (np.min([b[0] for b in present], axis=0), np.max([b[1] for b in present], axis=0)))
    return merged


def metadata(layout: ValueLayout, bounds: Bounds, count: int) -> dict[str, Any]:
    """tileset.json's `schema` (that of the tiles' content) and
    `statistics` (each value's extremes over the tileset, for styling)."""
    properties = {v.name: {"type": _ELEMENT_TYPES[v.components],
                           "componentType": _COMPONENT_TYPES[v.dtype.str[1:]]}
                  for v in layout.values}
    statistics: dict[str, Any] = {}
    for value, found in zip(layout.values, bounds):
        if found is not None:
            statistics[value.name] = {"min": _number(found[0]), "max": _number(found[1])}
    return {"schema": {"id": METADATA_SCHEMA_ID,
                       "classes": {METADATA_CLASS: {"properties": properties}}},
            "statistics": {"classes": {METADATA_CLASS: {"count": count,
                                                        "properties": statistics}}}}


def _number(components: np.ndarray) -> Any:
    numbers = [int(c) if components.dtype.kind in "iu" else float(c) for c in components]
    return numbers[0] if len(numbers) == 1 else numbers
