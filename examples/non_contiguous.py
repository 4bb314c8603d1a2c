"""Passing arrays that are not contiguous: record fields, slices, column-major arrays.

Every function takes any object with the buffer protocol. A C-contiguous
array is read in place, without a copy; any other layout is copied once into
row-major order first, so the file is the same as for np.ascontiguousarray().
What is never converted is the element type: the bytes are read as float32
(uint16 for atom types, uint32 for indices) whatever the array's dtype, so
convert with .astype() first.

Run:  PYTHONPATH=build .venv/bin/python examples/non_contiguous.py
"""

import numpy as np

import _plexorin

ATOM_RECORD = np.dtype([("xyz", np.float32, 3), ("type", np.uint16), ("charge", np.float32)])


def atoms_from_records(atoms: np.ndarray) -> bytes:
    """An atom file straight from a structured array: its fields are strided views."""
    xyz, types = atoms["xyz"], atoms["type"]
    return _plexorin.atom_glb(xyz, types, xyz.min(axis=0), xyz.max(axis=0))


def every_other_point(positions: np.ndarray, colors: np.ndarray) -> bytes:
    """A point cloud of every second point: a slice with a stride."""
    subset = positions[::2]
    return _plexorin.point_cloud_glb(subset, colors[::2], subset.min(axis=0), subset.max(axis=0))


def from_columns(x: np.ndarray, y: np.ndarray, z: np.ndarray, colors: np.ndarray) -> bytes:
    """Separate x, y, z columns, stacked into an (n, 3) array whose memory is
    column-major (the transpose of a (3, n) array)."""
    positions = np.stack([x, y, z]).T  # shape (n, 3), column-major memory
    return _plexorin.point_cloud_glb(positions, colors, positions.min(axis=0),
                                     positions.max(axis=0))


def main() -> None:
    rng = np.random.default_rng(5)
    n = 10_000
    atoms = np.zeros(n, dtype=ATOM_RECORD)
    atoms["xyz"] = rng.random((n, 3)) * 50
    atoms["type"] = rng.integers(0, 8, n)
    atoms["charge"] = rng.normal(size=n)
    copy = np.ascontiguousarray(atoms["xyz"])
    same = atoms_from_records(atoms) == _plexorin.atom_glb(
        copy, np.ascontiguousarray(atoms["type"]), copy.min(axis=0), copy.max(axis=0))
    print(f"structured array fields: same file as contiguous copies = {same}")

    positions = rng.random((n, 3), dtype=np.float32)
    colors = rng.random((n, 4), dtype=np.float32)
    half, half_colors = positions[::2].copy(), colors[::2].copy()
    same = every_other_point(positions, colors) == _plexorin.point_cloud_glb(
        half, half_colors, half.min(axis=0), half.max(axis=0))
    print(f"strided slices:          same file as contiguous copies = {same}")

    x, y, z = positions.T
    same = from_columns(x, y, z, colors) == _plexorin.point_cloud_glb(
        positions, colors, positions.min(axis=0), positions.max(axis=0))
    print(f"column-major positions:  same file as the row-major array = {same}")

    wrong = _plexorin.point_cloud_glb(positions.astype(np.float64), colors, [0, 0, 0], [1, 1, 1])
    right = _plexorin.point_cloud_glb(positions, colors, [0, 0, 0], [1, 1, 1])
    print(f"float64 positions are not converted: {len(wrong):,} bytes instead of {len(right):,}")


if __name__ == "__main__":
    main()
