"""Benchmark of `_plexorin` against its peers and the memory floor.

Run by `make bench`. Every case times `_plexorin` and the alternatives on the
same arrays in one process, interleaved round by round, so that the ratios
hold even when the machine is shared and absolute times drift. Writes
bench/results/results.md, results.json and benchmark.png and prints the
ratios.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import _plexorin
import peers

# The module as built from an earlier commit (`make bench` builds it from
# BENCH_BEFORE into build-before/), loaded beside the current one so that
# "before" and "after" are timed in the same run, round by round.
_plexorin_before = None

HERE = Path(__file__).resolve().parent
BEFORE_LABEL = "none"
DESIGN_BYTES_PER_ATOM = 56  # the stated peak while the payload is filled
SLOW_CALL_SECONDS = 1.0  # contenders slower than this get SLOW_RUNS runs
SLOW_RUNS = 3
FAST_CALL_SECONDS = 0.1  # contenders faster than this get FAST_RUNS_FACTOR times the runs
FAST_RUNS_FACTOR = 3


# ---- inputs -----------------------------------------------------------------


def uniform_atoms(count: int, rng: np.random.Generator) -> np.ndarray:
    return rng.random((count, 3), dtype=np.float32)


def clustered_atoms(count: int, rng: np.random.Generator) -> np.ndarray:
    """Atoms in 64 Gaussian blobs of different sizes inside the unit box, in
    random input order, like particles or grains of a simulation."""
    centres = rng.uniform(0.1, 0.9, (64, 3))
    widths = rng.uniform(0.005, 0.05, 64)
    blob = rng.integers(0, 64, count)
    positions = centres[blob] + rng.standard_normal((count, 3)) * widths[blob, None]
    return positions.astype(np.float32)


def box_of(positions: np.ndarray) -> tuple[list[float], list[float]]:
    return positions.min(axis=0).tolist(), positions.max(axis=0).tolist()


def unit_normals(count: int, rng: np.random.Generator) -> np.ndarray:
    n = rng.standard_normal((count, 3))
    return (n / np.linalg.norm(n, axis=1, keepdims=True)).astype(np.float32)


# ---- timing -----------------------------------------------------------------


@dataclass
class Timing:
    name: str
    seconds: list[float] = field(default_factory=list)

    @property
    def min(self) -> float:
        return min(self.seconds)

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)


def time_once(function) -> float:
    gc.collect()
    start = time.perf_counter()
    result = function()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def wanted_runs(timing: Timing, runs: int) -> int:
    if timing.seconds and timing.min > SLOW_CALL_SECONDS:
        return min(runs, SLOW_RUNS)
    if timing.seconds and timing.min < FAST_CALL_SECONDS:
        return runs * FAST_RUNS_FACTOR
    return runs


def time_interleaved(contenders: dict, runs: int) -> list[Timing]:
    """Runs every contender once per round, for as many rounds as it wants:
    slow ones stop early, fast ones (the most disturbed by a busy machine)
    get more rounds."""
    timings = {name: Timing(name) for name in contenders}
    gc.disable()
    try:
        for round_number in range(runs * FAST_RUNS_FACTOR):
            for name, function in contenders.items():
                timing = timings[name]
                if round_number >= wanted_runs(timing, runs):
                    continue
                timing.seconds.append(time_once(function))
    finally:
        gc.enable()
    return list(timings.values())


@dataclass
class Case:
    name: str
    output_bytes: int
    ours: Timing
    peers: list[Timing]
    floor_fresh: Timing
    floor_warm: Timing
    before: Timing | None = None

    def as_dict(self) -> dict:
        def t(timing: Timing) -> dict:
            return {"min_s": timing.min, "median_s": timing.median, "runs": len(timing.seconds)}

        return {
            "case": self.name,
            "output_bytes": self.output_bytes,
            "ours": t(self.ours),
            "peers": {p.name: t(p) for p in self.peers},
            "memcpy_fresh": t(self.floor_fresh),
            "memcpy_warm": t(self.floor_warm),
            **({"before": t(self.before)} if self.before else {}),
        }


def run_case(name: str, ours, peer_functions: dict, runs: int, before=None) -> Case:
    result = ours()
    size = len(result)
    source = np.frombuffer(result, dtype=np.uint8)
    warm = np.empty_like(source)
    warm[:] = 0xFF  # written once, so the warm copy takes no page faults
    contenders = {"ours": ours, **peer_functions}
    if before is not None:
        contenders["before"] = before
    contenders["memcpy_fresh"] = lambda: peers.copy_fresh(source)
    contenders["memcpy_warm"] = lambda: peers.copy_warm(source, warm)
    timings = {t.name: t for t in time_interleaved(contenders, runs)}
    case = Case(
        name,
        size,
        timings.pop("ours"),
        [],
        timings.pop("memcpy_fresh"),
        timings.pop("memcpy_warm"),
        timings.pop("before", None),
    )
    case.peers = list(timings.values())
    print_case(case)
    return case


def print_case(case: Case) -> None:
    o = case.ours
    print(f"\n{case.name}: {case.output_bytes / 1e6:.1f} MB out")
    print(f"  ours            min {o.min * 1e3:9.2f} ms  median {o.median * 1e3:9.2f} ms")
    for p in case.peers:
        print(
            f"  {p.name:15} min {p.min * 1e3:9.2f} ms  median {p.median * 1e3:9.2f} ms"
            f"  -> ours {p.min / o.min:6.1f}x faster"
        )
    for label, f in (("memcpy fresh", case.floor_fresh), ("memcpy warm", case.floor_warm)):
        print(
            f"  {label:15} min {f.min * 1e3:9.2f} ms  median {f.median * 1e3:9.2f} ms"
            f"  -> ours {o.min / f.min:6.2f}x the floor"
        )
    if case.before:
        b = case.before
        print(
            f"  {'before':15} min {b.min * 1e3:9.2f} ms  median {b.median * 1e3:9.2f} ms"
            f"  -> {b.min / case.floor_warm.min:6.2f}x warm, {b.min / case.floor_fresh.min:6.2f}x fresh"
            f" (ours {o.min / case.floor_warm.min:.2f}x warm, {o.min / case.floor_fresh.min:.2f}x fresh)"
        )
    sys.stdout.flush()


# ---- the cases --------------------------------------------------------------


def atom_cases(counts: list[int], runs: int, rng: np.random.Generator) -> list[Case]:
    bmi2 = peers.processor_has_avx2_and_bmi2()
    cases = []
    for layout, make in (("uniform", uniform_atoms), ("clustered", clustered_atoms)):
        for count in counts:
            positions = make(count, rng)
            types = rng.integers(0, 10, count).astype(np.uint16)
            vmin, vmax = box_of(positions)
            ours = lambda: _plexorin.atom_glb(positions, types, vmin, vmax)  # noqa: E731
            numpy_pipeline = lambda: peers.numpy_atom_glb(positions, types, vmin, vmax, bmi2)  # noqa: E731
            if ours() != numpy_pipeline():
                raise SystemExit(f"atoms {layout} {count}: the NumPy pipeline gave other bytes")
            before = None
            if _plexorin_before is not None:
                before = lambda: _plexorin_before.atom_glb(positions, types, vmin, vmax)  # noqa: E731
                if before() != ours():
                    raise SystemExit(f"atoms {layout} {count}: the earlier build gave other bytes")
            cases.append(
                run_case(
                    f"atom_glb {layout} {count:.0e}",
                    ours,
                    {
                        "numpy pipeline": numpy_pipeline,
                        "trimesh": lambda: peers.trimesh_atom_glb(positions, types),
                    },
                    runs,
                    before,
                )
            )
            del positions, types
    return cases


def point_cloud_case(count: int, runs: int, rng: np.random.Generator) -> Case:
    positions = uniform_atoms(count, rng)
    colors = rng.random((count, 3), dtype=np.float32)
    vmin, vmax = box_of(positions)
    return run_case(
        f"point_cloud_glb {count:.0e} RGB",
        lambda: _plexorin.point_cloud_glb(positions, colors, vmin, vmax),
        {
            "trimesh": lambda: peers.trimesh_point_cloud_glb(positions, colors),
            "pygltflib": lambda: peers.pygltflib_point_cloud_glb(positions, colors, vmin, vmax),
        },
        runs,
    )


def mesh_cases(vertices: int, triangles: int, runs: int, rng: np.random.Generator) -> list[Case]:
    positions = uniform_atoms(vertices, rng)
    normals = unit_normals(vertices, rng)
    indices = rng.integers(0, vertices, (triangles, 3)).astype(np.uint32)
    vmin, vmax = box_of(positions)
    bounds = vmin + vmax
    cases = []
    for colors in (None, rng.random((vertices, 4), dtype=np.float32)):
        label = "with colours" if colors is not None else "no colours"
        cases.append(
            run_case(
                f"mesh_glb {vertices:.0e} v {triangles:.0e} t {label}",
                lambda: _plexorin.mesh_glb(
                    positions, normals, indices, bounds, [1, 1, 1, 1], 0.0, 1.0, [0, 0, 0], True, colors
                ),
                {
                    "trimesh": lambda: peers.trimesh_mesh_glb(positions, normals, indices, colors),
                    "pygltflib": lambda: peers.pygltflib_mesh_glb(positions, normals, indices, bounds,
                                                                  colors),
                },
                runs,
            )
        )
    return cases


def worker_scaling(executable: str | None, counts: list[int], runs: int) -> list[dict]:
    """1 against 2 workers, from the C++ driver (the module's count is fixed)."""
    if not executable:
        return []
    out = subprocess.run(
        [executable, str(runs), *map(str, counts)], check=True, capture_output=True, text=True
    ).stdout
    rows = [json.loads(line) for line in out.splitlines() if line.strip()]
    print("\nworker scaling (core, uniform atoms)")
    for r in rows:
        print(f"  {r['atoms']:>9} atoms, {r['workers']} worker(s): min {r['min_s'] * 1e3:8.2f} ms"
              f"  median {r['median_s'] * 1e3:8.2f} ms")
    return rows


def peak_memory(counts: list[int]) -> list[dict]:
    """Peak resident memory of one atom_glb call above the inputs, per atom,
    each in a fresh process."""
    rows = []
    for count in counts:
        out = subprocess.run(
            [sys.executable, str(HERE / "peak_memory.py"), str(count)],
            check=True, capture_output=True, text=True, env=os.environ,
        ).stdout
        rows.append(json.loads(out))
    print("\npeak memory of atom_glb above its inputs (result included)")
    for r in rows:
        print(f"  {r['atoms']:>9} atoms: {r['peak_bytes_per_atom']:6.1f} bytes per atom"
              f" (design: {DESIGN_BYTES_PER_ATOM})")
    return rows


# ---- report -----------------------------------------------------------------


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.2f}" if seconds < 10 else f"{seconds * 1e3:.0f}"


def markdown(cases: list[Case], scaling: list[dict], memory: list[dict], machine: str,
             capacity: list[float]) -> str:
    lines = [
        "# plexorin benchmark",
        "",
        f"Machine: {machine}. Times in milliseconds, minimum / median of the runs"
        " (interleaved round by round); ratios from the minima, all measured in this one run.",
        f"Parallel capacity (two threads against one on equal jobs; about 2 when the machine is idle):"
        f" {capacity[0]:.2f} at the start, {capacity[1]:.2f} at the end.",
        "",
        "The floor is one copy of the output's size with NumPy: *fresh* into `np.empty` made for each"
        " call (NumPy asks for huge pages on large arrays), *warm* into an array written before."
        " Below glibc's mmap threshold, which adapts up to 32 MiB, the allocator may hand a fresh"
        " array memory that an earlier call freed, so for the 2.4 and 24 MB outputs the fresh copy"
        " is about as warm as the warm one.",
        "",
        "| case | MB out | ours | peers (min / median) | ours faster than peer | memcpy fresh | memcpy warm"
        " | ours / fresh memcpy |",
        "|---|---:|---:|---|---|---:|---:|---:|",
    ]
    for c in cases:
        peer_times = "<br>".join(f"{p.name}: {ms(p.min)} / {ms(p.median)}" for p in c.peers)
        speedups = "<br>".join(f"{p.name}: {p.min / c.ours.min:.1f}x" for p in c.peers)
        lines.append(
            f"| {c.name} | {c.output_bytes / 1e6:.1f} | {ms(c.ours.min)} / {ms(c.ours.median)}"
            f" | {peer_times} | {speedups} | {ms(c.floor_fresh.min)} / {ms(c.floor_fresh.median)}"
            f" | {ms(c.floor_warm.min)} / {ms(c.floor_warm.median)} | {c.ours.min / c.floor_fresh.min:.2f} |"
        )
    compared = [c for c in cases if c.before]
    if compared:
        lines += ["", f"## `atom_glb` before and after (before: {BEFORE_LABEL})", "",
                  "Both builds timed in this run, interleaved round by round; ratios to one copy of"
                  " the output (minima). The earlier build gave the same bytes for every case.", "",
                  "| case | before ms | after ms | before / warm copy | after / warm copy"
                  " | before / fresh copy | after / fresh copy | after faster by |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|"]
        for c in compared:
            w, f = c.floor_warm.min, c.floor_fresh.min
            lines.append(f"| {c.name} | {ms(c.before.min)} | {ms(c.ours.min)} | {c.before.min / w:.2f}"
                         f" | {c.ours.min / w:.2f} | {c.before.min / f:.2f} | {c.ours.min / f:.2f}"
                         f" | {c.before.min / c.ours.min:.2f}x |")
    if scaling:
        lines += ["", "## Worker scaling of the atom pipeline (core, uniform atoms)", "",
                  "| atoms | workers | min ms | median ms | speed-up over 1 worker |",
                  "|---:|---:|---:|---:|---:|"]
        one = {r["atoms"]: r["min_s"] for r in scaling if r["workers"] == 1}
        for r in scaling:
            lines.append(f"| {r['atoms']} | {r['workers']} | {ms(r['min_s'])} | {ms(r['median_s'])}"
                         f" | {one[r['atoms']] / r['min_s']:.2f} |")
    if memory:
        lines += ["", "## Peak memory of `atom_glb` above its inputs (the returned file included)", "",
                  "| atoms | peak MB | bytes per atom | design bytes per atom |", "|---:|---:|---:|---:|"]
        for r in memory:
            lines.append(f"| {r['atoms']} | {r['peak_bytes'] / 1e6:.1f} | {r['peak_bytes_per_atom']:.1f}"
                         f" | {DESIGN_BYTES_PER_ATOM} |")
    return "\n".join(lines) + "\n"


def plot(cases: list[Case], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = ["ours", "numpy pipeline", "trimesh", "pygltflib", "memcpy fresh", "memcpy warm"]
    colours = ["#d62728", "#1f77b4", "#2ca02c", "#9467bd", "#7f7f7f", "#c7c7c7"]
    fig, ax = plt.subplots(figsize=(11, 0.75 * len(cases) + 1.5))
    height = 0.8 / len(names)
    for k, (name, colour) in enumerate(zip(names, colours)):
        ys, xs = [], []
        for i, c in enumerate(cases):
            t = {"ours": c.ours, "memcpy fresh": c.floor_fresh, "memcpy warm": c.floor_warm,
                 **{p.name: p for p in c.peers}}.get(name)
            if t is not None:
                ys.append(i + (k - len(names) / 2) * height)
                xs.append(t.min * 1e3)
        ax.barh(ys, xs, height=height, color=colour, label=name)
    ax.set_yticks(range(len(cases)))
    ax.set_yticklabels([c.name for c in cases])
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("milliseconds per call (minimum of the runs, log scale)")
    ax.set_title("plexorin against its peers and one memcpy of the output")
    ax.legend(loc="lower right", fontsize="small")
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def parallel_capacity() -> float:
    """How many times faster two threads finish two equal jobs than one
    thread: about 2 on an idle two-core machine, near 1 when other work
    holds a core. sha256 releases the interpreter lock on large inputs."""
    data = b"\0" * (32 << 20)

    def job() -> None:
        hashlib.sha256(data).digest()

    start = time.perf_counter()
    job()
    job()
    one_thread = time.perf_counter() - start
    threads = [threading.Thread(target=job) for _ in range(2)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return one_thread / (time.perf_counter() - start)


def machine_description() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} hardware threads, Python {platform.python_version()}, "
            f"NumPy {np.__version__}")


def load_before(path: Path, label: str) -> None:
    """Imports the earlier build, compiled under the name _plexorin_before."""
    import importlib.util

    global _plexorin_before, BEFORE_LABEL
    found = importlib.util.spec_from_file_location("_plexorin_before", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    _plexorin_before, BEFORE_LABEL = module, label
    print(f"before: {path} ({label})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=5, help="rounds per case (slow peers stop at 3)")
    parser.add_argument("--quick", action="store_true", help="small sizes only, to try the script")
    parser.add_argument("--out", type=Path, default=HERE / "results")
    parser.add_argument("--scaling-exe", help="the atom_scaling driver built from bench/atom_scaling.cpp")
    parser.add_argument("--before-module", type=Path,
                        help="a _plexorin extension file built from an earlier commit, timed beside")
    parser.add_argument("--before-label", default="an earlier build", help="what --before-module is")
    args = parser.parse_args()
    if args.before_module:
        load_before(args.before_module, args.before_label)

    rng = np.random.default_rng(2024)
    big = 10**5 if args.quick else 10**7
    atom_counts = [10**4, 10**5] if args.quick else [10**5, 10**6, 10**7]
    started = time.perf_counter()
    capacity = [parallel_capacity()]
    print(f"parallel capacity at the start: {capacity[0]:.2f} (2 threads against 1; about 2 when idle)")
    cases = atom_cases(atom_counts, args.runs, rng)
    cases.append(point_cloud_case(big, args.runs, rng))
    cases += mesh_cases(big // 10, big // 5, args.runs, rng)
    scaling = worker_scaling(args.scaling_exe, [big // 100, big // 10, big], args.runs)
    memory = peak_memory(atom_counts)
    capacity.append(parallel_capacity())
    print(f"parallel capacity at the end: {capacity[1]:.2f}")

    args.out.mkdir(parents=True, exist_ok=True)
    machine = machine_description()
    (args.out / "results.md").write_text(markdown(cases, scaling, memory, machine, capacity))
    (args.out / "results.json").write_text(json.dumps(
        {"machine": machine, "parallel_capacity": capacity, "cases": [c.as_dict() for c in cases],
         "worker_scaling": scaling, "peak_memory": memory}, indent=1) + "\n")
    plot(cases, args.out / "benchmark.png")
    print(f"\nwrote {args.out / 'results.md'}, results.json and benchmark.png"
          f" in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
