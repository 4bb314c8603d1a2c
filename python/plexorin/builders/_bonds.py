"""Ball-and-stick and licorice drawings, and the periodic cell, added to the
spheres of `atoms`: bonds as GPU-instanced half-cylinders, the cell as the
twelve edges of a LINES primitive."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from .. import _bond_geometry as geometry, _inputs
from .._glb_append import GlbDocument
from ..elements import BALL_AND_STICK_RADIUS_SCALE, atomic_number

STICK_STYLES = ("ball-and-stick", "licorice")
# The default bond radius in the units of the positions (Angstrom for molecules).
BALL_AND_STICK_BOND_RADIUS = 0.15
LICORICE_BOND_RADIUS = 0.3
CELL_COLOR = [0.6, 0.6, 0.6, 1.0]


class Sticks(NamedTuple):
    """What a stick style asks of the sphere writer, and the bond radius."""
    style: str
    radius: Any
    radius_scale: float
    bond_radius: float | None


def sticks(style: Any, radius: Any, radius_scale: float, bonds: Any, bond_radius: Any) -> Sticks:
    """Ball-and-stick: spheres of BALL_AND_STICK_RADIUS_SCALE times their radius.
    Licorice: every sphere as thick as the bonds."""
    if style in STICK_STYLES:
        radius_scale = _inputs.radius_scale(radius_scale, True)
    if style not in STICK_STYLES:
        if bonds is not None or bond_radius is not None:
            name = "bonds" if bonds is not None else "bond_radius"
            raise ValueError(f"{name}: only used with style='ball-and-stick' or 'licorice'")
        return Sticks(style, radius, radius_scale, None)
    default = BALL_AND_STICK_BOND_RADIUS if style == "ball-and-stick" else LICORICE_BOND_RADIUS
    thickness = _bond_radius(default if bond_radius is None else bond_radius)
    if style == "licorice":
        if radius is not None:
            raise ValueError("radius: licorice draws every atom as thick as its bonds; "
                             "set bond_radius instead")
        return Sticks("spheres", thickness, radius_scale, thickness)
    return Sticks("spheres", radius, radius_scale * BALL_AND_STICK_RADIUS_SCALE, thickness)


def _bond_radius(value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer,
                                                                     np.floating)):
        raise TypeError(f"bond_radius: expected a positive number, got {type(value).__name__}")
    if not (np.isfinite(value) and value > 0):
        raise ValueError(f"bond_radius: expected a positive number, got {value}")
    return float(value)


def bond_pairs(bonds: Any, count: int, stored: np.ndarray, numbers: np.ndarray | None,
               cell: np.ndarray | None, workers: int) -> np.ndarray | None:
    """The bonds to draw: given, guessed, or none."""
    if bonds is None:
        return None
    if isinstance(bonds, str):
        if bonds != "guess":
            raise ValueError(f"bonds: expected 'guess', an (M, 2) array of atom indices or None, "
                             f"got {bonds!r}")
        if numbers is None:
            raise ValueError("bonds: 'guess' needs the atoms' elements (elements=...)")
        return geometry.guessed_bonds(stored, numbers, cell, workers)
    return geometry.checked_bonds(bonds, count)


def type_numbers(kinds: np.ndarray, names: list[str] | None, elements: Any) -> np.ndarray | None:
    """The atomic number of each atom, when the atoms were given by element."""
    if elements is None or names is None:
        return None
    table = np.array([atomic_number(symbol) or 0 for symbol in names], dtype=np.uint8)
    numbers: np.ndarray = table[kinds]
    return numbers


def entry_name(entry: int, entries: int, names: list[str] | None) -> str:
    """The name of the sphere node of a palette entry, as the sphere writer gives it."""
    if names is not None:
        return names[entry]
    return f"type {entry}+" if entry == entries - 1 else f"type {entry}"


def with_bonds_and_cell(glb: bytes, stored: np.ndarray, origin: Any, kinds: np.ndarray,
                        entries: int, names: list[str] | None, pairs: np.ndarray | None,
                        bond_radius: float | None, cell: np.ndarray | None) -> bytes:
    if (pairs is None or not len(pairs)) and cell is None:
        return glb
    document = GlbDocument(glb)
    if pairs is not None and len(pairs) and bond_radius is not None:
        _add_bonds(document, stored, kinds, entries, names, pairs, bond_radius, cell)
    if cell is not None:
        _add_cell(document, geometry.cell_corners(cell, origin))
    return document.tobytes()


def _add_bonds(document: GlbDocument, stored: np.ndarray, kinds: np.ndarray, entries: int,
               names: list[str] | None, pairs: np.ndarray, radius: float,
               cell: np.ndarray | None) -> None:
    halves = geometry.half_bonds(stored, pairs, cell, radius)
    positions, normals, triangles = geometry.cylinder()
    position = document.accessor(positions, 34962, bounds=True)
    normal = document.accessor(normals, 34962)
    indices = document.accessor(triangles.reshape(-1), 34963)
    materials = document.materials_by_node_name("Atoms")
    entry = np.minimum(kinds[halves.atoms], entries - 1)
    order = np.argsort(entry, kind="stable")
    present, starts = np.unique(entry[order], return_index=True)
    children = []
    for k, (value, first) in enumerate(zip(present.tolist(), starts.tolist())):
        last = starts[k + 1] if k + 1 < len(starts) else len(order)
        chosen = order[first:last]
        name = entry_name(value, entries, names)
        primitive = {"attributes": {"POSITION": position, "NORMAL": normal},
                     "indices": indices, "mode": 4}
        if name in materials:
            primitive["material"] = materials[name]
        mesh = document.add("meshes", {"name": f"bonds {name}", "primitives": [primitive]})
        attributes = {"TRANSLATION": document.accessor(halves.translations[chosen]),
                      "ROTATION": document.accessor(halves.rotations[chosen], normalized=True),
                      "SCALE": document.accessor(halves.scales[chosen])}
        children.append(document.add("nodes", {
            "name": f"bonds {name}", "mesh": mesh,
            "extensions": {"EXT_mesh_gpu_instancing": {"attributes": attributes}}}))
    document.add_top_node({"name": "Bonds", "children": children,
                           "extras": {"bondCount": len(pairs)}})
    document.use_extension("EXT_mesh_gpu_instancing", required=True)


def _add_cell(document: GlbDocument, corners: np.ndarray) -> None:
    material = document.add("materials", {"name": "Cell", "pbrMetallicRoughness": {
        "baseColorFactor": CELL_COLOR, "metallicFactor": 0, "roughnessFactor": 1}})
    primitive = {"attributes": {"POSITION": document.accessor(corners, 34962, bounds=True)},
                 "indices": document.accessor(geometry.CELL_EDGES.reshape(-1), 34963),
                 "material": material, "mode": 1}
    mesh = document.add("meshes", {"name": "Cell", "primitives": [primitive]})
    document.add_top_node({"name": "Cell", "mesh": mesh})
