"""Atoms as spheres against atoms as points, on the same atoms.

Run by `make bench`. In one process, interleaved round by round (minimum of
the rounds): `plexorin.atoms(..., style="spheres")` against the POINTS file of
the same call (and the compressed points file), on 1e6 atoms of an FCC lattice with thermal noise and two
types, with the default radii (no SCALE) and with one radius per atom (SCALE
per instance); and, when the package has `compress=True`, the compressed
sphere file. Reports time ratios and bytes per atom against the goals (at most
twice the time of the points file; at most 12 bytes per atom uncompressed and
5 compressed). Writes bench/results/spheres.md.
"""

from __future__ import annotations

import inspect
from pathlib import Path

import numpy as np

import plexorin
from run import time_interleaved

RESULTS = Path(__file__).resolve().parent / "results" / "spheres.md"
RUNS = 7
LATTICE = 3.6  # ångström
FCC_BASIS = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])


def thermal_fcc(cells: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    grid = np.stack(np.meshgrid(*[np.arange(cells)] * 3, indexing="ij"), -1).reshape(-1, 1, 3)
    sites = (grid + FCC_BASIS).reshape(-1, 3) * LATTICE
    positions = (sites + rng.normal(scale=0.05, size=sites.shape)).astype(np.float32)
    return positions, rng.integers(0, 2, len(positions)).astype(np.uint16)


def main() -> None:
    rng = np.random.default_rng(0)
    positions, types = thermal_fcc(63, rng)  # 1,000,188 atoms
    count = len(positions)
    radii = rng.uniform(0.8, 1.2, count).astype(np.float32)
    contenders = {
        "points": lambda: plexorin.atoms(positions, types),
        "spheres": lambda: plexorin.atoms(positions, types, style="spheres"),
        "spheres, radius per atom": lambda: plexorin.atoms(positions, types, style="spheres",
                                                           radius=radii),
    }
    compress = "compress" in inspect.signature(plexorin.atoms).parameters
    if compress:
        contenders["points, compress=True"] = lambda: plexorin.atoms(positions, types, compress=True)
        contenders["spheres, compress=True"] = lambda: plexorin.atoms(
            positions, types, style="spheres", compress=True)
    sizes = {name: len(make()) for name, make in contenders.items()}
    timings = {t.name: t.min for t in time_interleaved(contenders, RUNS)}
    base = timings["points"]
    goals = {"spheres": (2.0, 12.0), "spheres, compress=True": (None, 5.0)}
    lines = [f"# Atoms as spheres: {count:,} atoms, FCC lattice with thermal noise, two types", "",
             "| call | time | time / points | bytes per atom | goal |",
             "|---|---|---|---|---|"]
    for name, seconds in timings.items():
        ratio_goal, size_goal = goals.get(name, (None, None))
        goal = ", ".join(part for part in (
            f"time ≤ {ratio_goal:g}x" if ratio_goal else "", f"≤ {size_goal:g} B/atom" if size_goal else "")
            if part)
        lines.append(f"| {name} | {seconds * 1e3:.1f} ms | {seconds / base:.2f} | "
                     f"{sizes[name] / count:.3f} | {goal} |")
    if not compress:
        lines += ["", "compress=True is not in this build of the package: no compressed row."]
    text = "\n".join(lines) + "\n"
    RESULTS.parent.mkdir(exist_ok=True)
    RESULTS.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
