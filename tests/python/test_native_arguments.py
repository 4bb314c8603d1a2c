"""plexorin._native takes arrays of exactly the dtype, layout and shape it
reads, and refuses any other with a TypeError naming the argument; values
that would index past an array are refused with a ValueError naming the
first bad entry, before the core reads with them."""

from __future__ import annotations

import numpy as np
import pytest

native = pytest.importorskip("plexorin._native")
tiles = native.tiles

GRID = (0.0, 0.0, 0.0, 1024.0)
POINTS = np.random.default_rng(1).random((40, 3), np.float32)
KEYS = np.arange(0, 1 << 30, (1 << 30) // 40, dtype=np.uint32)[:40]


def bucket(types=None, rows=None, levels=None, leaves=None):
    rows = np.zeros(3, np.uint32) if rows is None else rows
    levels = np.zeros(3, np.uint8) if levels is None else levels
    leaves = np.zeros(8, np.uint8) if leaves is None else leaves
    return tiles.TileScratch().bucket(POINTS, types, None, GRID, 1, 1, 10, leaves, rows, levels,
                                      False)


def unaligned(array: np.ndarray) -> np.ndarray:
    raw = np.zeros(array.nbytes + 1, np.uint8)[1:]
    copy = raw.view(array.dtype).reshape(array.shape)
    copy[...] = array
    return copy


def read_only(array: np.ndarray) -> np.ndarray:
    copy = array.copy()
    copy.flags.writeable = False
    return copy


@pytest.mark.parametrize("name, call, message", [
    ("float64", lambda: tiles.keys(POINTS.astype(np.float64), GRID),
     "positions: expected an aligned C-contiguous (N, 3) float32 array, got float64 array of "
     "shape (40, 3)"),
    ("strided", lambda: tiles.extents(np.asfortranarray(POINTS)), "positions: expected"),
    ("unaligned", lambda: tiles.keys(unaligned(POINTS), GRID), ", not aligned"),
    ("flat", lambda: tiles.extents(POINTS.reshape(-1)), "positions: expected"),
    ("int64 types", lambda: bucket(types=np.zeros(40, np.int64)), "types: expected"),
    ("read-only", lambda: tiles.keys(POINTS, GRID, read_only(KEYS)), ", read-only"),
    ("short histogram", lambda: tiles.key_histogram(POINTS, GRID, 2, np.zeros(63, np.uint32)),
     "histogram: expected a writeable, aligned C-contiguous 1-D uint32 array of 64 rows"),
    ("int16 table", lambda: tiles.partition(KEYS, 1, np.zeros(8, np.int16), 1), "cell_group:"),
    ("big-endian", lambda: native.atoms(POINTS.astype(">f4"), np.zeros(40, np.uint16), None),
     "positions: expected"),
    ("flat atoms", lambda: native.atoms(POINTS.reshape(-1), np.zeros(120, np.uint16), None),
     "positions: expected a C-contiguous (N, 3) float32 array, got float32 array of shape (120,)"),
    ("int64 faces", lambda: native.mesh(POINTS, np.zeros((1, 3), np.int64), None, None,
                                        ((1, 1, 1, 1), 0, 1, (0, 0, 0), True)), "faces: expected"),
    ("float64 colours", lambda: native.point_cloud(POINTS, np.ones((40, 3))), "colors: expected"),
])
def test_arrays_of_another_dtype_layout_or_shape_are_refused_by_name(name, call, message):
    with pytest.raises(TypeError) as refused:
        call()
    assert message in str(refused.value) and "\n" not in str(refused.value), name


@pytest.mark.parametrize("call, message", [
    (lambda: tiles.partition(np.array([5, 1 << 30, 7], np.uint32), 3, np.zeros(8 ** 3, np.uint8), 1),
     "keys[1] = 1073741824 is not below 2^30"),
    (lambda: tiles.partition(KEYS, 1, np.array([0, 1, 2, 0, 0, 0, 0, 0], np.uint16), 2),
     "cell_group[2] = 2 is not below groups"),
    (lambda: bucket(rows=np.array([0, 3, 40], np.uint32)),
     "preselected_rows[2] = 40 is not below the rows of positions"),
    (lambda: bucket(leaves=np.array([0, 0, 0, 200, 0, 0, 0, 0], np.uint8)),
     "cell_leaf_level[3] = 200 is not below 11"),
    (lambda: bucket(levels=np.array([10, 11, 0], np.uint8)),
     "preselected_levels[1] = 11 is not below 11"),
    (lambda: tiles.gather(POINTS, np.array([0, 40], np.uint32)),
     "order[1] = 40 is not below the rows of source"),
])
def test_values_that_would_index_past_an_array_are_refused(call, message):
    with pytest.raises(ValueError) as refused:
        call()
    assert str(refused.value) == message
