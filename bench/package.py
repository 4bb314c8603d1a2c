"""What the public package costs over `_plexorin`, and what threads gain.

Run by `make bench` after bench/run.py. In one process, interleaved round by
round (minimum of the rounds):
- `plexorin.atoms` on float32/uint16 input (no conversion) and on NumPy's
  defaults, float64/int64, against `_plexorin.atom_glb` on the same atoms
  with precomputed bounds;
- eight `plexorin.atoms` calls one after another against the same eight
  calls from two Python threads (the interpreter lock is released while the
  core runs; each call already uses every core for its sort, so the gain is
  what the serial parts of a call leave to the other thread).
Writes bench/results/package.md.
"""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

import _plexorin
import plexorin
from run import time_interleaved

RESULTS = Path(__file__).resolve().parent / "results" / "package.md"
RUNS = 7


def overhead_rows(count: int, rng: np.random.Generator) -> list[str]:
    xyz64 = rng.random((count, 3))
    types64 = rng.integers(0, 8, count)
    xyz, types = xyz64.astype(np.float32), types64.astype(np.uint16)
    lo, hi = xyz.min(axis=0), xyz.max(axis=0)
    timings = {t.name: t.min for t in time_interleaved({
        "_plexorin.atom_glb": lambda: _plexorin.atom_glb(xyz, types, lo, hi),
        "plexorin.atoms float32": lambda: plexorin.atoms(xyz, types),
        "plexorin.atoms float64": lambda: plexorin.atoms(xyz64, types64),
    }, RUNS)}
    base = timings["_plexorin.atom_glb"]
    return [f"| {name} | {count:,} | {seconds * 1e3:.2f} ms | {seconds / base:.2f} |"
            for name, seconds in timings.items()]


def thread_rows(count: int, rng: np.random.Generator) -> list[str]:
    clouds = [(rng.random((count, 3), dtype=np.float32), rng.integers(0, 8, count).astype(np.uint16))
              for _ in range(8)]
    pool = ThreadPoolExecutor(2)

    def serial() -> list[bytes]:
        return [plexorin.atoms(*cloud) for cloud in clouds]

    def two_threads() -> list[bytes]:
        return list(pool.map(lambda cloud: plexorin.atoms(*cloud), clouds))

    assert serial() == two_threads()
    timings = {t.name: t.min for t in time_interleaved({"serial": serial, "2 threads": two_threads}, RUNS)}
    pool.shutdown()
    gain = timings["serial"] / timings["2 threads"]
    return [f"| 8 x {count:,} atoms | {timings['serial'] * 1e3:.1f} ms | "
            f"{timings['2 threads'] * 1e3:.1f} ms | {gain:.2f}x |"]


def main() -> None:
    rng = np.random.default_rng(0)
    lines = ["# The public package over `_plexorin`, and two Python threads", "",
             "| call | atoms | min | / `_plexorin` |", "|---|---:|---:|---:|"]
    for count in (100_000, 1_000_000):
        lines += overhead_rows(count, rng)
    lines += ["", "| calls | serial | two threads | gain |", "|---|---:|---:|---:|"]
    for count in (90_000, 1_000_000):  # one worker per call below 100,000 atoms
        lines += thread_rows(count, rng)
    text = "\n".join(lines) + "\n"
    RESULTS.parent.mkdir(exist_ok=True)
    RESULTS.write_text(text)
    print(text)
    assert threading.active_count() == 1


if __name__ == "__main__":
    main()
