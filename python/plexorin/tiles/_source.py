"""The tiler's input as chunks of rows: NumPy arrays (memory-mapped or not)
or Dask arrays chunked along the points.

A chunk argument is a tuple (positions, types, colours, values) of arrays,
Dask blocks (computed by Dask before the task runs) or `Mapped` slices of a
memory-mapped file that a task on another process opens itself; values is
None or a tuple of such, one per attribute (`_values`).
"""

from __future__ import annotations

import mmap
import os
import sys
from dataclasses import dataclass
from typing import Any

import numpy as np

from .. import _inputs
from ._values import ValueLayout, pack, value_layout

CHUNK_POINTS = 1 << 21


@dataclass(frozen=True)
class Mapped:
    """Rows start..stop of a C-ordered array memory-mapped from a file."""
    filename: str
    offset: int
    dtype: str
    shape: tuple[int, ...]
    start: int
    stop: int

    def load(self, mappings: dict[Any, np.memmap] | None = None) -> np.ndarray:
        """The rows, from the file's mapping in `mappings` when given (made
        and kept there on first use)."""
        key = (self.filename, self.offset, self.dtype, self.shape)
        whole = None if mappings is None else mappings.get(key)
        if whole is None:
            whole = np.memmap(self.filename, dtype=np.dtype(self.dtype), mode="r",
                              offset=self.offset, shape=self.shape)
            if mappings is not None:
                mappings[key] = whole
        return whole[self.start:self.stop]


def _mapped_slices(array: Any, bounds: list[tuple[int, int]]) -> list[Mapped] | None:
    """Mapped descriptors when `array` is a whole C-ordered mapping of a file."""
    if not (isinstance(array, np.memmap) and array.filename and array.flags.c_contiguous
            and isinstance(array.base, mmap.mmap)):
        return None
    return [Mapped(array.filename, int(array.offset), array.dtype.str, array.shape, a, b)
            for a, b in bounds]


@dataclass
class ChunkSource:
    starts: list[int]
    count: int
    is_dask: bool
    layout: tuple[bool, Any, int]  # (has types, colour dtype or None, colour columns)
    chunks: list[Any]
    position_dtype: np.dtype[Any] | None = None
    values: ValueLayout | None = None

    @property
    def chunk_count(self) -> int:
        return len(self.chunks)

    def chunk_arg(self, index: int) -> Any:
        return self.chunks[index]


def _layout(types: Any, colors: Any) -> tuple[bool, Any, int]:
    if colors is None:
        return (types is not None, None, 0)
    kind, size = np.dtype(colors.dtype).kind, np.dtype(colors.dtype).itemsize
    dtype = np.dtype(f"u{size}") if kind == "u" and size in (1, 2) else np.dtype(np.float32)
    return (types is not None, dtype, int(colors.shape[1]))


def source_for(positions: Any, types: Any, colors: Any, mapped: bool = False,
               attributes: Any = None) -> ChunkSource:
    # A Dask array exists only once dask.array is imported: no need to pay
    # for the import otherwise.
    da = sys.modules.get("dask.array")
    if da is not None and isinstance(positions, da.Array):
        return _dask_source(da, positions, types, colors, attributes)
    if not isinstance(positions, np.ndarray):
        positions = _inputs.as_array(positions, "positions")
    if positions.ndim == 1 and positions.size % 3 == 0:
        positions = positions.reshape(-1, 3)
    if positions.ndim != 2 or positions.shape[1] != 3:
        raise ValueError(f"positions: expected shape (N, 3), got {positions.shape}")
    count = positions.shape[0]
    arrays: list[Any] = [positions]
    for name, value in (("types", types), ("colors", colors)):
        if value is not None:
            value = value if isinstance(value, np.ndarray) else _inputs.as_array(value, name)
            if value.shape[:1] != (count,):
                raise ValueError(f"{name}: expected {count} rows, one per point, got {value.shape}")
        arrays.append(value)
    layout, values = value_layout(attributes, count)
    # No points still make one (empty) chunk, as a Dask array of no rows has.
    bounds = [(a, min(a + CHUNK_POINTS, count)) for a in range(0, max(count, 1), CHUNK_POINTS)]

    def sliced(array: Any) -> list[Any]:
        described = _mapped_slices(array, bounds) if mapped and array is not None else None
        return described or [None if array is None else array[a:b] for a, b in bounds]

    columns = [sliced(array) for array in arrays]
    columns.append(list(zip(*(sliced(v) for v in values))) if values else [None] * len(bounds))
    return ChunkSource([a for a, _ in bounds], count, False, _layout(arrays[1], arrays[2]),
                       list(zip(*columns)), positions.dtype, layout)


def _dask_source(da: Any, positions: Any, types: Any, colors: Any, attributes: Any) -> ChunkSource:
    if positions.ndim != 2 or positions.shape[1] != 3:
        raise ValueError(f"positions: expected shape (N, 3), got {positions.shape}")
    if any(np.isnan(c) for c in positions.chunks[0]):
        raise ValueError("positions: a Dask array of unknown chunk sizes (call compute_chunk_sizes())")
    positions = positions.rechunk({1: -1})
    rows = positions.chunks[0]
    layout, values = value_layout(attributes, positions.shape[0])

    def blocks_of(value: Any) -> list[Any]:
        if value is None:
            return [None] * len(rows)
        value = da.asarray(value)
        value = value.rechunk((rows,) + tuple((s,) for s in value.shape[1:]))
        delayed = value.to_delayed()
        return list(delayed if value.ndim == 1 else delayed[:, 0])

    blocks: list[Any] = [list(positions.to_delayed()[:, 0]), blocks_of(types), blocks_of(colors)]
    blocks.append(list(zip(*(blocks_of(v) for v in values))) if values else [None] * len(rows))
    starts = list(np.concatenate(([0], np.cumsum(rows)[:-1])).astype(int))
    return ChunkSource(starts, int(sum(rows)), True, _layout(types, colors), list(zip(*blocks)),
                       positions.dtype, layout)


def gathers_rows(source: ChunkSource, sends_arguments: bool) -> bool:
    """Whether tasks can gather rows straight from the chunks: C-ordered
    NumPy arrays (memory-mapped files, or arrays of this process when the
    tasks do not run elsewhere) whose bytes fit in half the memory, as every
    bucket then reads from all of them."""
    if source.is_dask or not source.chunks:
        return False
    size = 0
    for column in zip(*(chunk_arrays(chunk) for chunk in source.chunks)):
        first = column[0]
        if first is None:
            continue
        if isinstance(first, Mapped):
            size += int(np.prod(first.shape)) * np.dtype(first.dtype).itemsize
        elif sends_arguments or not all(isinstance(c, np.ndarray) and c.flags.c_contiguous
                                        for c in column):
            return False
        else:
            size += sum(int(c.nbytes) for c in column)
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return False
    return size <= memory // 2


def chunk_arrays(chunk: Any) -> list[Any]:
    """Every array of a chunk: positions, types, colours, then each value's."""
    return [*chunk[:3], *(chunk[3] or ())]


def raw_positions(chunk: Any, mappings: dict[Any, np.memmap] | None = None) -> Any:
    """The chunk's positions as the input holds them."""
    positions = chunk[0]
    return positions.load(mappings) if isinstance(positions, Mapped) else positions


def load(array: Any, mappings: dict[Any, np.memmap] | None = None) -> Any:
    return array.load(mappings) if isinstance(array, Mapped) else array


def load_chunk(chunk: Any, start: int, mappings: dict[Any, np.memmap] | None = None,
               values: ValueLayout | None = None) -> tuple[Any, Any, Any, Any]:
    """The chunk as (float32 positions, uint16 types or None, colours or None,
    packed values or None: only when `values` is given), mapped files from
    `mappings` when given (as Mapped.load)."""
    raw = [load(c, mappings) for c in chunk[:3]]
    positions, types, colors = convert_rows(raw[0], raw[1], raw[2], start)
    packed = None
    if values is not None:
        packed = pack(values, [load(v, mappings) for v in chunk[3]], positions.shape[0])
    colors_checked = colors is None or colors.dtype.kind != "f"
    if not colors_checked:
        bad = ~((colors >= 0) & (colors <= 1)).all(axis=1)
        if bad.any():
            raise ValueError(f"colors[{start + int(np.flatnonzero(bad)[0])}] is outside [0, 1]")
    return positions, types, colors, packed


def aligned(array: np.ndarray) -> np.ndarray:
    """`array`, copied only when it does not start at an address of its
    element's alignment (a Dask block or argument may start anywhere), as
    the native passes read typed elements."""
    return np.require(array, requirements=("C", "A"))


def convert_rows(positions: Any, types: Any, colors: Any, start: int = 0) -> tuple[Any, Any, Any]:
    """Rows of the input from row `start` on as (aligned float32 positions,
    uint16 types or None, colours or None); the same values for any subset
    of rows."""
    positions = aligned(_inputs.float32_rows(positions, "positions", "x y z per point", start))
    count = positions.shape[0]
    types = None if types is None else _inputs.atom_types(np.asarray(types), count)
    colors = None if colors is None else _inputs.to_colors(_inputs.color_rows(np.asarray(colors), count))
    return positions, types, colors
