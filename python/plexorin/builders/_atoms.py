"""Atom clouds: Morton-ordered points or instanced spheres, coloured by type."""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _attributes, _inputs, _native, _origin
from .._bond_geometry import checked_cell
from .._environment import round_to_nearest
from ..elements import species
from . import _bonds
from ._common import ArrayLike, flag, thread_limit, with_compressed_layout


@with_compressed_layout
def atoms(positions: ArrayLike, types: ArrayLike | None = None, *,
          elements: ArrayLike | None = None, palette: ArrayLike | None = None, box: Any = None,
          style: str = "points", radius: Any = None, radius_scale: float = 1.0,
          compress: bool = False, workers: int | None = None, up: str = "y",
          bonds: Any = None, bond_radius: Any = None, cell: Any = None,
          attributes: Any = None) -> bytes:
    """An atom cloud as a GLB file: atoms in Morton order, coloured by type.

    Args:
        positions: x y z per atom, shape (N, 3) or flat; any float or integer
            dtype, stored as float32: {stored_positions}
        types: one integer type per atom, 0..65535. With the default palette,
            types 0 to 6 take the colours grey, red, green, blue, yellow,
            magenta and cyan; 7 and above light grey.
        elements: instead of `types`, the element of each atom, as symbols in
            any case ("C", "FE") or atomic numbers (0 is X, an unknown atom or
            a virtual site; unknown symbols become X with a warning). Each
            element present gets its own type, in order of atomic number,
            coloured by Jmol's element colours (stored as glTF's linear
            colours, so no two elements share one) and named by its symbol in
            the file (see below); as spheres, by default with van der Waals
            radii (plexorin.elements.VDW_RADII: Bondi's, else Alvarez's; X
            takes the nearest-neighbour default below).
        palette: instead of the default, the colour of each type: shape
            (M, 3) or (M, 4), linear RGB(A) as glTF stores colours, floats in
            [0, 1] or uint8 (0..255), any M from 1 to 65536. Types M - 1 and
            above take the last row, as 7 and above do in the default palette.
            An alpha below 1 is drawn blended (alphaMode BLEND).
        box: the cell the Morton curve is laid over, as corners ``(lo, hi)``
            or a (2, 3) array, e.g. a simulation cell, in the coordinates of
            the positions. By default the exact bounds of the positions.
        style: ``"points"`` (one pixel-sized point per atom),
            ``"spheres"`` (a shaded ball per atom, drawn by GPU instancing),
            ``"ball-and-stick"`` (spheres of
            plexorin.elements.BALL_AND_STICK_RADIUS_SCALE (0.25) times their
            radius, times `radius_scale`, joined by the `bonds`) or
            ``"licorice"`` (bonds with every atom a sphere of the bond
            radius, so that sticks end round).
        bonds: only with the two stick styles: None (no bonds), ``"guess"``
            (needs `elements`: atoms i and j are bonded when 0.1 < d <
            0.55 (R_i + R_j), R the van der Waals radii, MDAnalysis's and
            VMD's rule; d is the nearest image's distance in `cell`; atoms of
            element X take no bond), or an (M, 2) integer array of atom
            indices, e.g. a topology's bonds. Each bond is drawn as two
            half-cylinders from its atoms to its middle, each coloured as its
            atom. In a periodic `cell` the bond follows the nearest image, so
            a bond between atoms on opposite faces of the cell is drawn as
            two stubs leaving the cell, not across it.
        bond_radius: the sticks' radius in the units of the positions; by
            default 0.15 for ball-and-stick and 0.3 for licorice (Angstrom
            for molecules).
        cell: the periodic cell as a (3, 3) array of the cell vectors a, b,
            c as rows (orthogonal or triclinic, its corner at the origin), in
            the coordinates of the positions: drawn as its twelve edges, and
            the nearest image for bonds.
        radius: only with ``style="spheres"``: the sphere radius in the units
            of the positions, as one number; a table by type, either a dict
            ``{type: radius}`` (types it leaves out take the default) or a
            sequence indexed by type (NaN entries take the default); or one
            value per atom (a sequence of exactly N values); with `elements`,
            one number or one value per atom. Radii must be positive. By
            default (without `elements`) each colour type gets 0.4 times the
            median distance from its atoms to their nearest neighbour of any
            type, so atoms at the typical spacing show a gap of a fifth of it
            between their balls, and a type whose atoms sit closer to others
            gets smaller balls. A type whose median falls below a quarter of
            the typical spacing (the upper quartile of the nearest distances
            over all types) is not drawn by its close partners, such as a
            TIP4P water's virtual site 0.15 A from each oxygen or duplicated
            atoms: its atoms take their nearest neighbour beyond that cut. For
            speed the median is taken over about 1024 atoms of the type
            picked along the Morton curve, each with its nearest neighbour
            among the 32 atoms before and after it on the curve: exact up to
            65 atoms and on perfect lattices; where the true nearest
            neighbour lies farther along the curve a slightly farther atom
            counts instead, which makes the radius about 0.5 % larger on a
            crystal with thermal noise and about 5 % on a uniformly random
            gas. Coincident atoms are skipped, and a lone atom gets radius 1.
        radius_scale: only with ``style="spheres"``: every radius, given or
            default, times this positive factor: 1 draws space-filling
            spheres; plexorin.elements.BALL_AND_STICK_RADIUS_SCALE (0.25)
            the balls of a ball-and-stick drawing.
        compress: write the compressed layout described below.
        workers: the most threads the build runs at once; by default one
            per processor, and one below 100000 atoms. Pass 1 when several
            threads each build a file, as `tileset` does. The bytes do not
            depend on it.
        up: {up}
        attributes: {attributes} As spheres, one value per instance.

    Returns:
        The GLB file. As points: one POINTS primitive with POSITION and float
        RGB (RGBA for a palette with alpha) COLOR_0, the atoms ordered along a
        1024-cell-per-axis Z-order curve over the box (so atoms near in space
        are near in the file). The POSITION bounds are the exact float32
        extremes, so strict readers accept them. As spheres: a node "Atoms"
        with one child node per colour type present (named "type 0" ..
        "type 6", and "type 7+" for types 7 and above; with `elements` the
        element symbols) using ``EXT_mesh_gpu_instancing`` (listed as
        required): its TRANSLATION instances are the positions of that type's
        atoms in the same curve order, and its mesh a unit icosphere (162
        vertices, 320 triangles, smooth normals) scaled to the type's radius,
        with a metallic-roughness material of the type's colour. Only a type
        whose radii differ gets a per-instance SCALE (its sphere is then the
        unit one). Zero atoms give a valid file with an empty scene.

        Bonds form a node "Bonds" beside "Atoms" (extras ``{"bondCount":
        M}``) with one child node per colour type, named "bonds C" (or
        "bonds type 0" ...), whose mesh is an open unit cylinder along +y
        (16 sides) in the material of that type's spheres, instanced with
        ``EXT_mesh_gpu_instancing``: one instance per half-bond, FLOAT
        TRANSLATION (the half's middle), ROTATION as normalised SHORT (+y
        turned onto the bond) and FLOAT SCALE (bond radius, half the bond's
        length, bond radius). The cell is a node "Cell" with a LINES
        primitive (mode 1) of its eight corners and twelve edges in a grey
        material.

        With `palette` or `elements`, the node "Atoms" names the types in
        its ``extras``: ``{"atomTypes": [{"name": "C", "color": [r, g, b]},
        ...]}``, one entry per palette row in type order (the element symbols,
        else "type 0", "type 1", ... and "type M-1+" for the last), with the
        colours as stored. The viewer's legend reads it.

    {compressed_layout}
    Compressed atoms have no COLOR_0: the atoms of each palette colour form
    their own POINTS primitives (types 7 and above share one, and the types
    beyond a palette its last row), drawn with an unlit material of that
    colour (named by the element with `elements`), in Morton order within
    the colour, cut into chunks of at most 262144 atoms with their own
    bounds.

    Compressed spheres keep their nodes and sphere meshes, and their
    TRANSLATION and SCALE instances stay FLOAT, the only type that
    ``EXT_mesh_gpu_instancing`` allows them (there is no
    KHR_mesh_quantization here): translations lie on a uniform grid whose
    step is the largest power of two at most the largest extent / 16383, so
    each coordinate is off by at most half a step, no more than the
    quantised points' error; they are stored through meshoptimizer's
    EXPONENTIAL filter, which keeps such values exactly, and compressed,
    about 4 to 4.5 bytes per atom on a million-atom crystal. The node
    "Atoms" translates the grid onto the atoms (and scales it by a power of
    two only for coordinates beyond about 1e30 or extents below 1e-26), so
    radii and SCALE stay in the units of the positions.

    Raises:
        TypeError: an argument that is not an array of numbers of the right kind.
        ValueError: a wrong shape or length, a type outside 0..65535, a
            position that is not finite (the first bad row is named), a
            radius that is not positive, a palette colour outside [0, 1],
            both `types` and `elements` (or neither, or `palette` with
            `elements`), or a file that would reach 2 GiB; a bond index
            out of range or negative (``bonds[k]``, the first bad row, is
            named); a cell not of shape (3, 3), not finite or flat.

    The interpreter lock is released while the file is built, so threads
    may build several files at once; the bytes depend only on the inputs.
    """
    compress = flag(compress, "compress")
    threads = thread_limit(workers)
    turn = _origin.z_up(up)
    drawing = _bonds.sticks(style, radius, radius_scale, bonds, bond_radius)
    style, radius, radius_scale = drawing.style, drawing.radius, drawing.radius_scale
    cell_rows = checked_cell(cell)
    spheres = _inputs.atom_style(style)
    if radius is not None and not spheres:
        raise ValueError("radius: only used with style='spheres'")
    scale = _inputs.radius_scale(radius_scale, spheres)
    with round_to_nearest():
        rows = _inputs.xyz_rows(positions, "positions", "x y z per atom")
        values = _attributes.point_attributes(attributes, rows.shape[0], "atom")
        given = None if palette is None else _inputs.palette_colors(palette)
        # What the core refuses before it reads the atoms, refused before any copy.
        _native.atoms_size(rows.shape[0], compress, spheres, 0 if given is None else given.shape[1])
        kinds, colours, names, element_radii = _types_and_palette(types, elements, given,
                                                                  rows.shape[0])
        cell = _inputs.box_corners(box)
        if elements is not None and radius is None:
            per_atom, per_type = None, element_radii if spheres else None
        else:
            per_atom, per_type = _inputs.sphere_radii(radius, kinds,
                                                      tables=elements is None)
        stored, origin = _origin.stored_positions(rows, "positions", threads)
        pairs = _bonds.bond_pairs(bonds, rows.shape[0], stored,
                                  _bonds.type_numbers(kinds, names, elements), cell_rows, threads)
        glb = _native.atoms(stored, kinds, _origin.shifted_box(cell, origin), compress, spheres,
                            per_atom, per_type, threads, colours, names, scale, origin, turn,
                            values or None)
    entries = 8 if colours is None else len(colours)
    return _bonds.with_bonds_and_cell(glb, stored, origin, kinds, entries, names, pairs,
                                      drawing.bond_radius, cell_rows)


def _types_and_palette(types: Any, elements: Any, colours: np.ndarray | None, count: int) -> tuple[
        np.ndarray, np.ndarray | None, list[str] | None, np.ndarray | None]:
    """(types, palette, names, radius table by type) from types or elements."""
    if elements is None:
        if types is None:
            raise ValueError("types or elements: one of them is needed")
        return _inputs.atom_types(types, count), colours, None, None
    if types is not None:
        raise ValueError("types and elements: pass one of them, not both")
    if colours is not None:
        raise ValueError("palette and elements: elements take Jmol's colours; pass types "
                         "with a palette instead")
    numbers = _inputs.element_numbers(elements, count)
    if numbers.size == 0:  # no atoms: no element to colour, the empty file of bare types
        return np.zeros(0, np.uint16), None, None, None
    kinds, table = species(numbers)
    radii = np.where(table.numbers == 0, np.nan, table.vdw_radii).astype(np.float32)
    return (np.ascontiguousarray(kinds), table.linear_colors.astype(np.float32),
            list(table.symbols), radii)
