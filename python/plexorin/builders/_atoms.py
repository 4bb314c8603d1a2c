"""Atom clouds: Morton-ordered points or instanced spheres, coloured by type."""

from __future__ import annotations

from typing import Any

from .. import _inputs, _native, _origin
from .._environment import round_to_nearest
from ._common import ArrayLike, flag, thread_limit, with_compressed_layout


@with_compressed_layout
def atoms(positions: ArrayLike, types: ArrayLike, *, box: Any = None,
          style: str = "points", radius: Any = None,
          compress: bool = False, workers: int | None = None, up: str = "y") -> bytes:
    """An atom cloud as a GLB file: atoms in Morton order, coloured by type.

    Args:
        positions: x y z per atom, shape (N, 3) or flat; any float or integer
            dtype, stored as float32: {stored_positions}
        types: one integer type per atom, 0..65535. Types 0 to 6 take the
            colours grey, red, green, blue, yellow, magenta and cyan; 7 and
            above light grey.
        box: the cell the Morton curve is laid over, as corners ``(lo, hi)``
            or a (2, 3) array, e.g. a simulation cell, in the coordinates of
            the positions. By default the exact bounds of the positions.
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
        up: {up}

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
    compress = flag(compress, "compress")
    threads = thread_limit(workers)
    turn = _origin.z_up(up)
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
        stored, origin = _origin.stored_positions(rows, "positions", threads)
        return _native.atoms(stored, kinds, _origin.shifted_box(cell, origin), compress, spheres,
                             per_atom, per_type, threads, origin, turn)
