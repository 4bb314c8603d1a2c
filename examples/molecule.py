"""plexorin.atoms(..., style="spheres"): a small molecule as shaded balls.

tert-Butanol, (CH3)3C-OH, built from ideal tetrahedral bonds: a central carbon
with three methyl groups and a hydroxyl group, 15 atoms. Each colour type
becomes one sphere mesh drawn once per atom by GPU instancing
(EXT_mesh_gpu_instancing). The radii are given per type, smaller for
hydrogen; without them every type would get the default (0.4 times the median
distance to the nearest neighbour), here the same for all three.

Run:  PYTHONPATH=build .venv/bin/python examples/molecule.py [--out out]
"""

import argparse
import pathlib

import numpy as np

import plexorin

CARBON, OXYGEN, HYDROGEN = 0, 1, 7  # palette: grey, red, light grey
RADII = {CARBON: 0.5, OXYGEN: 0.48, HYDROGEN: 0.3}  # ångström, for the picture
BOND = {"CC": 1.54, "CO": 1.43, "CH": 1.09, "OH": 0.96}  # ångström
# Directions to the corners of a tetrahedron; the inverted set points the
# other way, as the bonds of an atom bonded along one of the first set do.
TETRAHEDRON = np.array([[1, 1, 1], [1, -1, -1], [-1, 1, -1], [-1, -1, 1]]) / np.sqrt(3)


def tert_butanol() -> tuple[np.ndarray, np.ndarray]:
    """Positions (float32, 15 x 3, ångström) and types (uint16) of the molecule."""
    atoms = [((0.0, 0.0, 0.0), CARBON)]
    for k, direction in enumerate(TETRAHEDRON):
        element, bond = ((OXYGEN, "CO") if k == 0 else (CARBON, "CC"))
        centre = BOND[bond] * direction
        atoms.append((centre, element))
        # The substituent's own bonds, staggered against the central carbon's.
        others = [-d for j, d in enumerate(TETRAHEDRON) if j != k]
        if element == OXYGEN:
            others = others[:1]
        for d in others:
            atoms.append((centre + BOND["OH" if element == OXYGEN else "CH"] * d, HYDROGEN))
    positions = np.array([p for p, _ in atoms], dtype=np.float32)
    return positions, np.array([t for _, t in atoms], dtype=np.uint16)


def write_molecule(path: pathlib.Path) -> dict:
    positions, types = tert_butanol()
    path.write_bytes(plexorin.atoms(positions, types, style="spheres", radius=RADII))
    return {"path": path, "kind": "spheres", "count": len(positions),
            "per_type": {int(t): int((types == t).sum()) for t in np.unique(types)}}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("."))
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    result = write_molecule(args.out / "molecule.glb")
    print(f"wrote {result['path']}: {result['count']} atoms as spheres, "
          f"{result['path'].stat().st_size} bytes")


if __name__ == "__main__":
    main()
