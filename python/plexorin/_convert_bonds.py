"""``plexorin convert`` options of molecular drawings: --style, --bonds and
--no-cell, turned into keyword arguments of `plexorin.atoms`."""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np

STYLES = ("points", "spheres", "ball-and-stick", "licorice")
BOND_SOURCES = ("auto", "topology", "guess", "none")

EPILOG = """\
  --style ball-and-stick draws balls of a quarter of the van der Waals
  radius joined by sticks, --style licorice sticks with round ends; each
  half of a bond takes its atom's colour. --bonds auto (the default) draws
  the topology's bonds (PSF, TPR, PRMTOP, PDB CONECT) when it has any and
  guesses them from distances otherwise (MDAnalysis's rule: closer than
  0.55 times the sum of van der Waals radii, farther than 0.1 A, nearest
  image in the periodic cell). The periodic cell is drawn as its twelve
  edges unless --no-cell."""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--style", choices=STYLES,
                        help="atom files only: how atoms are drawn (default points; "
                             "--spheres is --style spheres)")
    parser.add_argument("--bonds", choices=BOND_SOURCES, default="auto",
                        help="with --style ball-and-stick or licorice: the bonds drawn "
                             "(default auto: the topology's, else guessed)")
    parser.add_argument("--no-cell", dest="cell", action="store_false",
                        help="leave out the edges of the periodic cell")


def style_of(args: argparse.Namespace) -> str:
    if args.style is not None:
        return str(args.style)
    return "spheres" if args.spheres else "points"


def stick_style(args: argparse.Namespace) -> bool:
    return style_of(args) in ("ball-and-stick", "licorice")


def drawing_arguments(args: argparse.Namespace, topology_bonds: np.ndarray | None,
                      cell: np.ndarray | None) -> dict[str, Any]:
    """style, bonds and cell for `plexorin.atoms`."""
    found: dict[str, Any] = {"style": style_of(args)}
    if stick_style(args) and args.bonds != "none":
        has_topology = topology_bonds is not None and len(topology_bonds) > 0
        if args.bonds == "guess" or (args.bonds == "auto" and not has_topology):
            found["bonds"] = "guess"
        elif has_topology:
            found["bonds"] = topology_bonds
    if args.cell and cell is not None:
        found["cell"] = cell
    return found
