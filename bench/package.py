"""What the public package costs over `_plexorin`, and what threads gain.

Run by `make bench` after bench/run.py. In one process, interleaved round by
round (minimum of the rounds):
- `plexorin.atoms` on float32/uint16 input (no conversion) and on NumPy's
  defaults, float64/int64, against `_plexorin.atom_glb` on the same atoms
  with precomputed bounds;
- eight `plexorin.atoms` calls one after another against the same eight
  calls from two Python threads (the interpreter lock is released while the
  core runs; each call already uses every core for its sort, so the gain is
  what the serial parts of a call leave to the other thread);
- float64 positions far from zero (stored as float32 offsets from an origin)
  and near it, against the former path that cast them to float32 first: the
  goal is at most 10 % slower on 10^7 points.
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


def float64_rows(count: int, rng: np.random.Generator) -> list[str]:
    far = rng.random((count, 3)) * [1000, 1000, 50] + [4.2e6, 6.3e5, 100]  # UTM metres
    near = rng.random((count, 3)) * 20 - 10
    rows = []
    for label, xyz, compress in (("far from zero", far, False), ("near zero", near, False),
                                 ("far, compressed", far, True)):
        timings = {t.name: t.min for t in time_interleaved({
            "float64": lambda: plexorin.point_cloud(xyz, compress=compress),
            "cast first": lambda: plexorin.point_cloud(xyz.astype(np.float32), compress=compress),
        }, RUNS)}
        ratio = timings["float64"] / timings["cast first"]
        rows.append(f"| {label} | {count:,} | {timings['float64'] * 1e3:.1f} ms | "
                    f"{timings['cast first'] * 1e3:.1f} ms | {ratio:.2f} "
                    f"({'met' if ratio <= 1.10 else 'MISSED'}) |")
    return rows


def main() -> None:
    rng = np.random.default_rng(0)
    lines = ["# The public package over `_plexorin`, two Python threads, float64 far from zero",
             "",
             "| call | atoms | min | / `_plexorin` |", "|---|---:|---:|---:|"]
    for count in (100_000, 1_000_000):
        lines += overhead_rows(count, rng)
    lines += ["", "| calls | serial | two threads | gain |", "|---|---:|---:|---:|"]
    for count in (90_000, 1_000_000):  # one worker per call below 100,000 atoms
        lines += thread_rows(count, rng)
    lines += ["", "| `point_cloud` of float64 | points | as given | cast to float32 first | "
              "ratio (goal <= 1.10) |", "|---|---:|---:|---:|---:|"]
    lines += float64_rows(10_000_000, rng)
    text = "\n".join(lines) + "\n"
    RESULTS.parent.mkdir(exist_ok=True)
    RESULTS.write_text(text)
    print(text)
    assert threading.active_count() == 1


if __name__ == "__main__":
    main()
