"""A trajectory to one animated GLB against MDAnalysis reading its frames.

Run by `make bench`. Writes, with MDAnalysis's own writers, a GRO topology
and a 1,000-frame XTC of 10^4 atoms (3,334 waters diffusing in a 46 Å box,
XTC's 0.001 nm precision), then times, interleaved round by round (minimum
of the rounds): MDAnalysis reading every frame's positions, and
`plexorin convert top.gro traj.xtc out.glb --animate` (compressed) in the
same process; also MDAnalysis opening the files as well, and
`plexorin.animate` of the frames already in memory (the build alone).
Goals: at most twice MDAnalysis's time, at most 4 bytes per atom per frame. Writes bench/results/animation.md.
"""

from __future__ import annotations

import contextlib
import io
import tempfile
import warnings
from pathlib import Path

import numpy as np

from run import time_interleaved

RESULTS = Path(__file__).resolve().parent / "results" / "animation.md"
FRAMES, WATERS, BOX = 1000, 3334, 46.4  # Å; about water's density
RUNS = 3


def write_trajectory(folder: Path) -> tuple[Path, Path, int]:
    import MDAnalysis as mda

    rng = np.random.default_rng(0)
    atoms = 3 * WATERS
    universe = mda.Universe.empty(atoms, WATERS, atom_resindex=np.repeat(np.arange(WATERS), 3),
                                  trajectory=True)
    universe.add_TopologyAttr("names", ["OW", "HW1", "HW2"] * WATERS)
    universe.add_TopologyAttr("resnames", ["SOL"] * WATERS)
    universe.add_TopologyAttr("resids", np.arange(1, WATERS + 1))
    universe.dimensions = [BOX, BOX, BOX, 90, 90, 90]
    oxygens = rng.uniform(0, BOX, (WATERS, 1, 3))
    hydrogens = rng.normal(size=(WATERS, 2, 3))
    hydrogens *= 0.96 / np.linalg.norm(hydrogens, axis=2, keepdims=True)
    molecule = np.concatenate([np.zeros((WATERS, 1, 3)), hydrogens], axis=1)
    top, traj = folder / "water.gro", folder / "water.xtc"
    universe.atoms.positions = (oxygens + molecule).reshape(-1, 3)
    universe.atoms.write(str(top))
    with mda.Writer(str(traj), atoms) as writer:
        for frame in range(FRAMES):
            oxygens += rng.normal(scale=0.15, size=oxygens.shape)  # about 10 ps of diffusion
            universe.atoms.positions = (oxygens % BOX + molecule).reshape(-1, 3)
            universe.trajectory.ts.time = 10.0 * frame
            writer.write(universe.atoms)
    return top, traj, atoms


def main() -> None:
    import MDAnalysis as mda

    from plexorin import animate, cli

    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        top, traj, atoms = write_trajectory(folder)
        out = folder / "water.glb"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            universe = mda.Universe(str(top), str(traj))  # also writes XTC's offsets

        def mdanalysis() -> None:
            for ts in universe.trajectory:
                ts.positions.sum()

        def mdanalysis_opened() -> None:  # as a user starts: the topology read too
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                for ts in mda.Universe(str(top), str(traj)).trajectory:
                    ts.positions.sum()

        frames = [ts.positions.copy() for ts in universe.trajectory]
        elements = np.tile(np.array([8, 1, 1], np.uint8), WATERS)

        def build_only() -> None:  # the frames in memory: the build and the stitching alone
            animate(frames, elements=elements, compress=True)

        def plexorin() -> None:
            with contextlib.redirect_stdout(io.StringIO()):
                assert cli.main(["convert", str(top), str(traj), str(out), "--animate"]) == 0

        timings = {t.name: t.min for t in time_interleaved(
            {"MDAnalysis reads the frames": mdanalysis,
             "MDAnalysis opens the files and reads the frames": mdanalysis_opened,
             "plexorin convert --animate": plexorin,
             "plexorin.animate of the frames in memory": build_only}, RUNS)}
        size = out.stat().st_size
    base = timings["MDAnalysis reads the frames"]
    ours = timings["plexorin convert --animate"]
    per_atom = size / (FRAMES * atoms)
    text = "\n".join([
        f"# A {FRAMES:,}-frame XTC of {atoms:,} atoms to one animated compressed GLB", "",
        "| call | time | ratio | goal |", "|---|---|---|---|",
        *[f"| {name} | {seconds:.3f} s | {seconds / base:.2f} | "
          f"{'≤ 2x' if seconds == ours else ''} |" for name, seconds in timings.items()], "",
        f"File: {size:,} bytes, {per_atom:.2f} bytes per atom per frame (goal ≤ 4).", ""])
    RESULTS.parent.mkdir(exist_ok=True)
    RESULTS.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
