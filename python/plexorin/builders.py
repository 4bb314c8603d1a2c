"""The public builders: NumPy arrays in, one complete GLB file out, as bytes."""

from __future__ import annotations

from typing import Any

import numpy.typing as npt

from . import _inputs, _native
from ._environment import round_to_nearest
from .material import Material

ArrayLike = npt.ArrayLike


def atoms(positions: ArrayLike, types: ArrayLike, *, box: Any = None) -> bytes:
    """An atom cloud as a GLB file: atoms in Morton order, coloured by type.

    Args:
        positions: x y z per atom, shape (N, 3) or flat; any float or integer
            dtype, converted to float32 (values that overflow float32 raise).
        types: one integer type per atom, 0..65535. Types 0 to 6 take the
            colours grey, red, green, blue, yellow, magenta and cyan; 7 and
            above light grey.
        box: the cell the Morton curve is laid over, as corners ``(lo, hi)``
            or a (2, 3) array, e.g. a simulation cell. By default the exact
            bounds of the positions.

    Returns:
        The GLB file: one POINTS primitive with POSITION and float RGB COLOR_0,
        the atoms ordered along a 1024-cell-per-axis Z-order curve over the
        box (so atoms near in space are near in the file). The POSITION
        bounds are the exact float32 extremes, so strict readers accept them.
        Zero atoms give a valid file with an empty scene.

    Raises:
        TypeError: an argument that is not an array of numbers of the right kind.
        ValueError: a wrong shape or length, a type outside 0..65535, a
            position that is not finite (the first bad row is named), or a
            file that would reach 2 GiB.

    The interpreter lock is released while the file is built, so threads
    may build several files at once; the bytes depend only on the inputs.
    """
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per atom")
        _inputs.require_file_below_limit(24 * rows.shape[0], f"{rows.shape[0]} atoms")
        kinds = _inputs.atom_types(types, rows.shape[0])
        cell = _inputs.box_corners(box)
        return _native.atoms(_inputs.to_float32(rows, "positions"), kinds, cell)


def point_cloud(positions: ArrayLike, colors: ArrayLike | None = None) -> bytes:
    """A point cloud as a GLB file, the points in the order given.

    Args:
        positions: x y z per point, shape (N, 3) or flat, converted to float32.
        colors: None for no colours, or shape (N, 3) (RGB) or (N, 4) (RGBA):
            floats in [0, 1], or uint8/uint16 integers stored as normalised
            values (255 or 65535 is full intensity).

    Returns:
        The GLB file: one POINTS primitive with POSITION (exact float32
        bounds) and, with colours, COLOR_0 in the type given.

    Raises:
        TypeError, ValueError: as for `atoms`; float colours outside [0, 1]
            raise ValueError naming the first one.
    """
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per point")
        color_rows = _inputs.color_rows(colors, rows.shape[0])
        _inputs.require_file_below_limit(12 * rows.shape[0] + _inputs.stored_color_bytes(color_rows),
                                         f"{rows.shape[0]} points")
        return _native.point_cloud(_inputs.to_float32(rows, "positions"),
                                   _inputs.to_colors(color_rows))


def mesh(positions: ArrayLike, faces: ArrayLike, *, normals: ArrayLike | None = None,
         colors: ArrayLike | None = None, material: Material | None = None) -> bytes:
    """An indexed triangle mesh as a GLB file.

    Args:
        positions: x y z per vertex, shape (V, 3) or flat, converted to float32.
        faces: three vertex indices per triangle, counter-clockwise seen from
            the front, shape (M, 3) or flat; any integer dtype, each index
            checked to lie in 0..V-1.
        normals: unit normal per vertex, shape (V, 3); by default smooth
            normals are computed, each the area-weighted sum of the normals
            of the triangles around the vertex ((0, 0, 1) for a vertex that no
            triangle of non-zero area uses).
        colors: per-vertex colours as for `point_cloud`, or None.
        material: the surface's `Material`; by default ``Material()``.

    Returns:
        The GLB file: one TRIANGLES primitive with POSITION (exact float32
        bounds), NORMAL, optional COLOR_0 and 32-bit indices, and one
        metallic-roughness material. A mesh without triangles gives a valid
        file with an empty scene.

    Raises:
        TypeError, ValueError: as for `point_cloud`.
    """
    if material is None:
        material = Material()
    elif not isinstance(material, Material):
        raise TypeError(f"material: expected a plexorin.Material, got {type(material).__name__}")
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per vertex")
        count = rows.shape[0]
        face_rows = _inputs.face_rows(faces)
        color_rows = _inputs.color_rows(colors, count)
        stored = 24 * count + _inputs.stored_color_bytes(color_rows) + 12 * face_rows.shape[0]
        _inputs.require_file_below_limit(stored, f"{count} vertices and {face_rows.shape[0]} faces")
        return _native.mesh(_inputs.to_float32(rows, "positions"),
                            _inputs.to_face_indices(face_rows, count),
                            _inputs.to_normals(normals, count), _inputs.to_colors(color_rows),
                            material.as_tuple())
