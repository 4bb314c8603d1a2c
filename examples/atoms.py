"""atom_glb: a core-shell nanoparticle of about a million atoms.

The particle is cut from a face-centred cubic crystal as a truncated
octahedron, with one octant left open so the core shows. atom_glb reorders
the atoms along a Morton curve over the box you pass (neighbours in space end
up near each other in the file) and colours them by type from its palette:
0 grey, 1 red, 2 green, 3 blue, 4 yellow, 5 magenta, 6 cyan, 7 and above
light grey.

Run:  PYTHONPATH=build .venv/bin/python examples/atoms.py [--radius 42] [--out out]
"""

import argparse
import pathlib
import time

import numpy as np

import _plexorin
from exact_bounds import exact_bounds

LATTICE = 4.08  # lattice constant in ångström
FCC_BASIS = np.array([[0.0, 0.0, 0.0], [0.0, 0.5, 0.5], [0.5, 0.0, 0.5], [0.5, 0.5, 0.0]])

# Atom types, named by the palette colour they get.
YELLOW_CORE, RED_DOPANT, GREEN_ADSORBATE, BLUE_SURFACE, CYAN_SHELL = 4, 1, 2, 3, 6


def fcc_sites(radius: int) -> np.ndarray:
    """Lattice sites from -radius to radius (inclusive) along each axis, in lattice units."""
    r = np.arange(-radius, radius + 1, dtype=np.float64)
    cells = np.stack(np.meshgrid(r, r, r, indexing="ij"), axis=-1).reshape(-1, 1, 3)
    return (cells + FCC_BASIS).reshape(-1, 3)


def nanoparticle(radius: int = 42, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Positions (float32, n x 3, ångström) and types (uint16) of the particle.

    About 14 * radius**3 atoms: radius 42 gives about a million.
    """
    sites = fcc_sites(radius)
    # 0 at the centre, 1 on the {100} facets (at radius) and the {111}
    # facets (at 1.5 * radius) of the truncated octahedron.
    depth = np.maximum(np.abs(sites).max(axis=1) / radius,
                       np.abs(sites).sum(axis=1) / (1.5 * radius))
    keep = (depth <= 1.0) & ~(sites > 0).all(axis=1)  # leave one octant open
    sites, depth = sites[keep], depth[keep]

    rng = np.random.default_rng(seed)
    types = np.full(len(sites), CYAN_SHELL, dtype=np.uint16)
    core = depth < 0.6
    types[core] = np.where(rng.random(core.sum()) < 0.1, RED_DOPANT, YELLOW_CORE)
    surface = depth > 1.0 - 0.75 / radius
    types[surface] = np.where(rng.random(surface.sum()) < 0.05, GREEN_ADSORBATE, BLUE_SURFACE)
    return (sites * LATTICE).astype(np.float32), types


def write_atoms(path: pathlib.Path, radius: int = 42) -> dict:
    positions, types = nanoparticle(radius)
    vmin, vmax = exact_bounds(positions)
    start = time.perf_counter()
    glb = _plexorin.atom_glb(positions, types, vmin, vmax)
    seconds = time.perf_counter() - start
    path.write_bytes(glb)
    return {"path": path, "kind": "atoms", "count": len(positions), "bytes": len(glb),
            "seconds": seconds,
            "detail": f"{len(positions):,} atoms of {len(np.unique(types))} types"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--radius", type=int, default=42, help="half width in unit cells")
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"))
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    result = write_atoms(args.out / "atoms.glb", args.radius)
    print(f"{result['detail']} -> {result['path']} ({result['bytes']:,} bytes, "
          f"atom_glb took {result['seconds'] * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
