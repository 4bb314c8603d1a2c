"""The public builders: NumPy arrays in, one complete GLB file out, as bytes."""

from __future__ import annotations

import inspect
from typing import Any, Callable, Literal, TypeVar

import numpy as np
import numpy.typing as npt

from . import _inputs, _native
from ._environment import round_to_nearest
from .material import Material

ArrayLike = npt.ArrayLike


# The part of the docstrings that every builder shares.
_COMPRESSED_LAYOUT = """With ``compress=True`` the file is the compressed web layout instead:
    glTF 2.0 with KHR_mesh_quantization and EXT_meshopt_compression (both
    required; three.js reads it with GLTFLoader's meshopt decoder). Positions
    are unsigned 16-bit integers over the exact bounds with 14 bits used per
    axis, turned back into coordinates by the node's translation and scale:
    each coordinate is off by at most half a step, (max - min) / 32766 of its
    axis. POSITION bounds are the integers stored. Every stream is compressed
    by meshoptimizer's codecs; the bytes depend only on the inputs."""

F = TypeVar("F", bound=Callable[..., bytes])


def _with_compressed_layout(function: F) -> F:
    # CPython 3.13 strips the docstrings' indentation; cleandoc strips the constant's.
    function.__doc__ = (function.__doc__ or "").replace("{compressed_layout}",
                                                        inspect.cleandoc(_COMPRESSED_LAYOUT))
    return function


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected True or False, got {type(value).__name__}")
    return bool(value)


def _workers(value: Any) -> int:
    """The core's thread limit: 0 for its default of one per processor."""
    if value is None:
        return 0
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"workers: expected a positive integer or None, got {type(value).__name__}")
    if not 1 <= value <= 1024:
        raise ValueError(f"workers: expected 1..1024 threads, got {value}")
    return int(value)


@_with_compressed_layout
def atoms(positions: ArrayLike, types: ArrayLike, *, box: Any = None,
          style: str = "points", radius: Any = None,
          compress: bool = False, workers: int | None = None) -> bytes:
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
        style: ``"points"`` (one pixel-sized point per atom) or
            ``"spheres"`` (a shaded ball per atom, drawn by GPU instancing).
        radius: only with ``style="spheres"``: the sphere radius in the units
            of the positions, as one number; a table by type, either a dict
            ``{type: radius}`` (types it leaves out take the default) or a
            sequence indexed by type (NaN entries take the default); or one
            value per atom (a sequence of exactly N values). Radii must be
            positive. By default each colour type gets 0.4 times the median
            distance from its atoms to their nearest neighbour of any type,
            so atoms at the typical spacing show a gap of a fifth of it
            between their balls, and a type whose atoms sit closer to others
            gets smaller balls. For speed the median is taken over about 1024
            atoms of the type picked along the Morton curve, each with its
            nearest neighbour among the 32 atoms before and after it on the
            curve: exact up to 65 atoms and on perfect lattices; where the
            true nearest neighbour lies farther along the curve a slightly
            farther atom counts instead, which makes the radius about 0.5 %
            larger on a crystal with thermal noise and about 5 % on a
            uniformly random gas. Coincident atoms are skipped, and a lone
            atom gets radius 1.
        compress: write the compressed layout described below.
        workers: the most threads the build runs at once; by default one
            per processor, and one below 100000 atoms. Pass 1 when several
            threads each build a file, as `tileset` does. The bytes do not
            depend on it.

    Returns:
        The GLB file. As points: one POINTS primitive with POSITION and float
        RGB COLOR_0, the atoms ordered along a 1024-cell-per-axis Z-order
        curve over the box (so atoms near in space are near in the file). The
        POSITION bounds are the exact float32 extremes, so strict readers
        accept them. As spheres: a node "Atoms" with one child node per colour
        type present (named "type 0" .. "type 6", and "type 7+" for types 7
        and above) using ``EXT_mesh_gpu_instancing`` (listed as required):
        its TRANSLATION instances are the positions of that type's atoms in
        the same curve order, and its mesh a unit icosphere (162 vertices,
        320 triangles, smooth normals) scaled to the type's radius, with a
        metallic-roughness material of the type's colour. Only a type whose
        radii differ gets a per-instance SCALE (its sphere is then the unit
        one). Zero atoms give a valid file with an empty scene.

    {compressed_layout}
    Compressed atoms have no COLOR_0: the atoms of each palette colour form
    their own POINTS primitives (types 7 and above share one), drawn with an
    unlit material of that colour, in Morton order within the colour, cut
    into chunks of at most 262144 atoms with their own bounds.

    Compressed spheres keep their nodes and sphere meshes, but each type's
    TRANSLATION instances become unsigned 16-bit integers (14 bits used)
    over the exact bounds with one step on all three axes (the largest
    extent / 16383), so that the spheres stay round, compressed by
    meshoptimizer: each coordinate is off by at most half a step. The node
    "Atoms" dequantises with its translation and scale, which scale the
    spheres too, so the sphere vertices and any SCALE are stored in steps.

    Raises:
        TypeError: an argument that is not an array of numbers of the right kind.
        ValueError: a wrong shape or length, a type outside 0..65535, a
            position that is not finite (the first bad row is named), a
            radius that is not positive, or a file that would reach 2 GiB.

    The interpreter lock is released while the file is built, so threads
    may build several files at once; the bytes depend only on the inputs.
    """
    compress = _flag(compress, "compress")
    threads = _workers(workers)
    spheres = _inputs.atom_style(style)
    if radius is not None and not spheres:
        raise ValueError("radius: only used with style='spheres'")
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per atom")
        # What the core refuses before it reads the atoms, refused before any copy.
        _native.atoms_size(rows.shape[0], compress, spheres)
        kinds = _inputs.atom_types(types, rows.shape[0])
        cell = _inputs.box_corners(box)
        per_atom, per_type = _inputs.sphere_radii(radius, kinds)
        return _native.atoms(_inputs.to_float32(rows, "positions"), kinds, cell, compress,
                             spheres, per_atom, per_type, threads)


@_with_compressed_layout
def point_cloud(positions: ArrayLike, colors: ArrayLike | None = None, *, compress: bool = False,
                order: Literal["morton", "input"] | None = None,
                workers: int | None = None) -> bytes:
    """A point cloud as a GLB file.

    Args:
        positions: x y z per point, shape (N, 3) or flat, converted to float32.
        colors: None for no colours, or shape (N, 3) (RGB) or (N, 4) (RGBA):
            floats in [0, 1], or uint8/uint16 integers stored as normalised
            values (255 or 65535 is full intensity).
        compress: write the compressed layout described below.
        order: the order of the points in the file. "input" keeps the order
            given; "morton" (the default of compressed files, which the codec
            compresses about twice as well) sorts them in Morton order of the
            quantised positions: along a Z-order curve over the cube on their
            exact bounds, 1024 cells per axis (the cells of `atoms`' curve)
            each cut 64 times per axis, so 16 bits per axis; points in one
            fine cell keep their order.
            Uncompressed files always keep the order given.
        workers: the most threads the build runs at once; by default one
            per processor, and one below 100000 points. Pass 1 when several
            threads each build a file, as `tileset` does. The bytes do not
            depend on it.

    Returns:
        The GLB file: one POINTS primitive with POSITION (exact float32
        bounds) and, with colours, COLOR_0 in the type given.

    {compressed_layout}
    Point clouds use one step on all three axes, that of the longest
    extent: (longest extent) / 32766 of error at most, in every direction.
    Compressed points are cut into chunks of about 262144 points, each a
    POINTS primitive with its own bounds (consecutive along the curve in
    Morton order, where a chunk ends with the points of a 1024-grid cell);
    COLOR_0 is normalised RGBA8 (alpha 255 for RGB), each value within half
    of 1/255 of the one given.

    Raises:
        TypeError, ValueError: as for `atoms`; float colours outside [0, 1]
            raise ValueError naming the first one; ``order="morton"``
            without ``compress=True``, or another order, raises ValueError.
    """
    compress = _flag(compress, "compress")
    threads = _workers(workers)
    if order not in (None, "morton", "input"):
        raise ValueError(f"order: expected 'morton' or 'input', got {order!r}")
    if order == "morton" and not compress:
        raise ValueError("order: 'morton' needs compress=True; uncompressed files keep the "
                         "order given")
    glb = point_cloud_file(positions, colors, compress, order == "input", threads)
    assert isinstance(glb, bytes)  # nothing lent: a new bytes object
    return glb


def point_cloud_file(positions: ArrayLike, colors: ArrayLike | None, compress: bool,
                     keep_input_order: bool, workers: int,
                     scratch: _native.PointWriteScratch | None = None,
                     out: np.ndarray | None = None) -> bytes | np.ndarray:
    """`point_cloud` with its options checked, and memory lent by a caller
    that writes many files one after another: working memory (compressed
    files use it) and `out`, a uint8 array that gets the file, which is then
    its first bytes, when it fits there (a new bytes object otherwise)."""
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per point")
        color_rows = _inputs.color_rows(colors, rows.shape[0])
        # What the core refuses before it reads the points, refused before any copy.
        _native.point_cloud_size(rows.shape[0], _inputs.color_storage(color_rows), compress)
        return _native.point_cloud(_inputs.to_float32(rows, "positions"),
                                   _inputs.to_colors(color_rows), compress, keep_input_order,
                                   workers, scratch, out)


@_with_compressed_layout
def mesh(positions: ArrayLike, faces: ArrayLike, *, normals: ArrayLike | None = None,
         colors: ArrayLike | None = None, material: Material | None = None,
         compress: bool = False, workers: int | None = None) -> bytes:
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
        compress: write the compressed layout described below.
        workers: the most threads the build runs at once; by default one
            per processor. Pass 1 when several threads each build a file.
            The bytes do not depend on it.

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
    compress = _flag(compress, "compress")
    threads = _workers(workers)
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per vertex")
        count = rows.shape[0]
        face_rows = _inputs.face_rows(faces)
        color_rows = _inputs.color_rows(colors, count)
        # What the core refuses before it reads the mesh, refused before any copy.
        _native.mesh_size(count, face_rows.shape[0], _inputs.color_storage(color_rows),
                          material.as_tuple(), compress)
        return _native.mesh(_inputs.to_float32(rows, "positions"),
                            _inputs.to_face_indices(face_rows, count),
                            _inputs.to_normals(normals, count), _inputs.to_colors(color_rows),
                            material.as_tuple(), compress, threads)
