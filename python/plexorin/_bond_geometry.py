"""Bonds and the periodic cell as geometry: the checks of `bonds` and `cell`,
guessed bonds, half-bond instances and the cell's twelve edges.

A bond is drawn as two half-cylinders, each from its own atom to the bond's
middle and coloured as that atom. The bond's vector is that of the nearest
image in a periodic cell, so a bond between atoms on opposite faces is drawn
as two stubs leaving the cell, not as a rod across it.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from . import _inputs, _native
from .elements import VDW_RADII

# MDAnalysis's guess_bonds rule (VMD's too): bonded when
# LOWER_BOUND < d < FUDGE_FACTOR * (R_i + R_j), with van der Waals radii.
FUDGE_FACTOR = 0.55
LOWER_BOUND = 0.1


def checked_cell(cell: Any) -> np.ndarray | None:
    """Rows a, b, c of the periodic cell as (3, 3) float64, or None."""
    if cell is None:
        return None
    array = _inputs.as_array(cell, "cell").astype(np.float64)
    if array.shape != (3, 3):
        raise ValueError(f"cell: expected the rows a, b, c as shape (3, 3), got {array.shape}")
    bad = np.argwhere(~np.isfinite(array))
    if len(bad):
        row, column = bad[0]
        raise ValueError(f"cell[{row}][{column}] = {array[row, column]} is not finite")
    if not abs(np.linalg.det(array)) > 0:
        raise ValueError("cell: the three vectors span no volume")
    return array


def checked_bonds(bonds: Any, count: int) -> np.ndarray:
    """(M, 2) uint32 atom indices, each in 0..count-1."""
    array = _inputs.as_array(bonds, "bonds")
    if array.dtype.kind not in "iu":
        raise TypeError(f"bonds: expected integer atom indices, got dtype {array.dtype}")
    if array.size == 0:
        return np.zeros((0, 2), dtype=np.uint32)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(f"bonds: expected pairs of atom indices, shape (M, 2), got {array.shape}")
    bad = np.flatnonzero(((array < 0) | (array >= count)).any(axis=1))
    if len(bad):
        row = int(bad[0])
        raise ValueError(f"bonds[{row}] = {array[row].tolist()}: atom indices must be 0..{count - 1}")
    return array.astype(np.uint32)


def guessed_bonds(positions: np.ndarray, numbers: np.ndarray, cell: np.ndarray | None,
                  workers: int) -> np.ndarray:
    """Bonds by MDAnalysis's rule over van der Waals radii; atoms of element
    X (unknown atoms, virtual sites) take none."""
    radii = VDW_RADII[numbers].astype(np.float32)
    radii[numbers == 0] = 0
    pairs = _native.guess_bonds(np.ascontiguousarray(positions, dtype=np.float32), radii, cell,
                                FUDGE_FACTOR, LOWER_BOUND, workers)
    unknown = numbers == 0
    return pairs[~(unknown[pairs[:, 0]] | unknown[pairs[:, 1]])] if unknown.any() else pairs


def nearest_image(vectors: np.ndarray, cell: np.ndarray | None) -> np.ndarray:
    if cell is None:
        return vectors
    fractional = vectors @ np.linalg.inv(cell)
    fractional -= np.round(fractional)
    nearest: np.ndarray = fractional @ cell
    return nearest


class HalfBonds(NamedTuple):
    """One instance per half-bond, the first atom's halves first."""
    atoms: np.ndarray         # the atom each half starts from
    translations: np.ndarray  # (2M, 3) float32: the half's middle
    rotations: np.ndarray     # (2M, 4) int16: x y z w of the unit quaternion, normalised
    scales: np.ndarray        # (2M, 3) float32: radius, half the bond's length, radius


def half_bonds(positions: np.ndarray, bonds: np.ndarray, cell: np.ndarray | None,
               radius: float) -> HalfBonds:
    """Instances of a unit cylinder along +y (radius 1, length 1, centred)."""
    start = positions[bonds[:, 0]].astype(np.float64)
    end = positions[bonds[:, 1]].astype(np.float64)
    d = nearest_image(end - start, cell)
    length = np.linalg.norm(d, axis=1)
    unit = np.divide(d, length[:, None], out=np.tile([0.0, 1.0, 0.0], (len(d), 1)),
                     where=length[:, None] > 0)
    # The rotation of +y onto the unit vector u: (uz, 0, -ux, 1 + uy) normalised;
    # for u = -y a half turn about x.
    w = 1.0 + unit[:, 1]
    quaternion = np.stack([unit[:, 2], np.zeros(len(d)), -unit[:, 0], w], axis=1)
    flipped = w < 1e-6
    quaternion[flipped] = (1.0, 0.0, 0.0, 0.0)
    quaternion /= np.linalg.norm(quaternion, axis=1)[:, None]
    rotation = np.round(quaternion * 32767).astype(np.int16)
    scale = np.stack([np.full(len(d), radius), length / 2, np.full(len(d), radius)], axis=1)
    return HalfBonds(np.concatenate([bonds[:, 0], bonds[:, 1]]),
                     np.concatenate([start + d / 4, end - d / 4]).astype(np.float32),
                     np.concatenate([rotation, rotation]),
                     np.concatenate([scale, scale]).astype(np.float32))


def cell_corners(cell: np.ndarray, origin: np.ndarray | None) -> np.ndarray:
    """The eight corners i a + j b + k c (index i + 2j + 4k) as float32 offsets
    from the file's origin."""
    steps = np.array([[i, j, k] for k in (0, 1) for j in (0, 1) for i in (0, 1)], dtype=np.float64)
    corners: np.ndarray = steps @ cell - (0 if origin is None else np.asarray(origin))
    return corners.astype(np.float32)


# The twelve edges: corner c to c | bit for each bit c lacks.
CELL_EDGES = np.array([(c, c | bit) for c in range(8) for bit in (1, 2, 4) if not c & bit],
                      dtype=np.uint16)


def cylinder(segments: int = 16) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """An open unit cylinder along +y: positions, normals (float32) and
    counter-clockwise triangles (uint16)."""
    angle = 2 * np.pi * np.arange(segments) / segments
    ring = np.stack([np.cos(angle), np.zeros(segments), -np.sin(angle)], axis=1)
    normals = np.concatenate([ring, ring]).astype(np.float32)
    positions = normals.copy()
    positions[:segments, 1] = -0.5
    positions[segments:, 1] = 0.5
    k = np.arange(segments)
    following = (k + 1) % segments
    triangles = np.stack([k, following, k + segments, following, following + segments,
                          k + segments], axis=1).reshape(-1, 3)
    return positions, normals, triangles.astype(np.uint16)
