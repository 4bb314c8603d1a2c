"""Indexed triangle meshes with one metallic-roughness material."""

from __future__ import annotations

from typing import Any

from .. import _attributes, _inputs, _native, _origin, colormaps
from .._environment import round_to_nearest
from ..material import Material
from ._common import ArrayLike, flag, thread_limit, with_compressed_layout


@with_compressed_layout
def mesh(positions: ArrayLike, faces: ArrayLike, *, normals: ArrayLike | None = None,
         colors: ArrayLike | None = None, material: Material | None = None,
         compress: bool = False, workers: int | None = None, up: str = "y",
         attributes: Any = None, cmap: str | None = None, clim: Any = None,
         nan_color: Any = None) -> bytes:
    """An indexed triangle mesh as a GLB file.

    Args:
        positions: x y z per vertex, shape (V, 3) or flat, stored as float32
            as for `atoms`.
        faces: three vertex indices per triangle, counter-clockwise seen from
            the front, shape (M, 3) or flat; any integer dtype, each index
            checked to lie in 0..V-1.
        normals: unit normal per vertex, shape (V, 3); by default smooth
            normals are computed, each the area-weighted sum of the normals
            of the triangles around the vertex ((0, 0, 1) for a vertex that no
            triangle of non-zero area uses).
        colors: per-vertex colours (or scalars with `cmap`, `clim` and
            `nan_color`) as for `point_cloud`, or None.
        material: the surface's `Material`; by default ``Material()``.
        compress: write the compressed layout described below.
        workers: the most threads the build runs at once; by default one
            per processor. Pass 1 when several threads each build a file.
            The bytes do not depend on it.
        up: as for `atoms`; normals turn with the positions.
        attributes: {attributes}

    Returns:
        The GLB file: one TRIANGLES primitive with POSITION (exact float32
        bounds), NORMAL, optional COLOR_0 and 32-bit indices, and one
        metallic-roughness material. A mesh without triangles gives a valid
        file with an empty scene.

    {compressed_layout}
    A compressed mesh has the same triangles over the same vertices, both
    reordered by meshoptimizer's vertex-cache and vertex-fetch optimisers
    (vertices no triangle uses go last) and a corner may start a triangle
    in place of another, the winding kept; positions use one step on all
    axes, that of the longest, so normals keep their directions; NORMAL is
    octahedral-filtered signed bytes, COLOR_0 normalised RGBA8, indices
    16-bit up to 65536 vertices.

    Raises:
        TypeError, ValueError: as for `point_cloud`.
    """
    if material is None:
        material = Material()
    elif not isinstance(material, Material):
        raise TypeError(f"material: expected a plexorin.Material, got {type(material).__name__}")
    compress = flag(compress, "compress")
    threads = thread_limit(workers)
    turn = _origin.z_up(up)
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per vertex")
        count = rows.shape[0]
        face_rows = _inputs.face_rows(faces)
        pairs = _attributes.point_attributes(attributes, count, "vertex")
        colors = colormaps.resolve_colors(colors, count, cmap, clim, nan_color)
        color_rows = _inputs.color_rows(colors, count)
        # What the core refuses before it reads the mesh, refused before any copy.
        _native.mesh_size(count, face_rows.shape[0], _inputs.color_storage(color_rows),
                          material.as_tuple(), compress)
        stored, origin = _origin.stored_positions(rows, "positions", threads)
        faces32 = _inputs.to_face_indices(face_rows, count)
        normals32 = _inputs.to_normals(normals, count)
        return _native.mesh(stored, faces32, normals32, _inputs.to_colors(color_rows),
                            material.as_tuple(), compress, threads, origin, turn,
                            pairs or None)
