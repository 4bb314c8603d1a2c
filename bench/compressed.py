"""Benchmark of the compressed layout (compress=True): size and time against the
uncompressed call on the same input and against `gltfpack -cc` run on the
uncompressed file (npm gltfpack, WebAssembly, one thread).

Run by `make bench` (or `python bench/compressed.py [--quick]`). Prints one line
per case and the goals' ratios, and writes bench/results/compressed.json (not
with --quick); asserts nothing. Times are the best of a few
runs, interleaved, on a shared machine: compare within one run only.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import tempfile
import time

import numpy as np

import plexorin

REPO = pathlib.Path(__file__).resolve().parents[1]
GLTFPACK = REPO / "node_modules" / "gltfpack" / "cli.js"
RESULTS = REPO / "bench" / "results"
FCC_LATTICE = 3.615  # copper, in Å
THERMAL_SIGMA = 0.1  # Å, about room temperature


def fcc_atoms(count: int, rng: np.random.Generator):
    """A random binary alloy on an FCC lattice with thermal noise, shuffled."""
    cells = int(np.ceil((count / 4) ** (1 / 3)))
    grid = np.stack(np.meshgrid(*[np.arange(cells)] * 3, indexing="ij"), -1).reshape(-1, 1, 3)
    basis = np.array([[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]])
    sites = ((grid + basis).reshape(-1, 3) * FCC_LATTICE)[rng.permutation(4 * cells**3)[:count]]
    positions = (sites + rng.normal(0, THERMAL_SIGMA, sites.shape)).astype(np.float32)
    return positions, rng.integers(0, 2, count).astype(np.uint16)


def uniform_atoms(count: int, rng: np.random.Generator):
    return (rng.random((count, 3), dtype=np.float32) * 100,
            rng.integers(0, 8, count).astype(np.uint16))


def colored_cloud(count: int, rng: np.random.Generator):
    """Points on a noisy surface, coloured by height, shuffled (like a scan)."""
    u, v = rng.random(count), rng.random(count)
    height = np.sin(8 * u) * np.cos(6 * v)
    positions = np.stack([u * 100, v * 100, 5 * height + rng.normal(0, 0.05, count)], -1)
    colors = np.stack([(height + 1) * 127.5, u * 255, v * 255], -1).astype(np.uint8)
    return positions.astype(np.float32), colors


def torus_mesh(vertices: int):
    side = int(np.sqrt(vertices))
    u, v = np.meshgrid(np.linspace(0, 2 * np.pi, side, endpoint=False),
                       np.linspace(0, 2 * np.pi, side, endpoint=False), indexing="ij")
    bumps = 0.05 * np.sin(20 * u) * np.sin(20 * v)
    radius = 1 + bumps
    positions = np.stack([(3 + radius * np.cos(v)) * np.cos(u), (3 + radius * np.cos(v)) * np.sin(u),
                          radius * np.sin(v)], -1).reshape(-1, 3).astype(np.float32)
    i, j = np.meshgrid(np.arange(side), np.arange(side), indexing="ij")
    a, b = i * side + j, ((i + 1) % side) * side + j
    c, d = ((i + 1) % side) * side + (j + 1) % side, i * side + (j + 1) % side
    faces = np.concatenate([np.stack([a, b, c], -1), np.stack([a, c, d], -1)]).reshape(-1, 3)
    return positions, faces.astype(np.uint32)


def best_time(call, runs: int):
    best, result = float("inf"), None
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def gltfpack(path: pathlib.Path, runs: int):
    out = path.with_suffix(".compressed.glb")
    command = ["node", str(GLTFPACK), "-i", str(path), "-o", str(out), "-cc"]
    seconds, _ = best_time(lambda: subprocess.run(command, check=True, capture_output=True), runs)
    return seconds, out.stat().st_size


def run_case(name: str, count: int, build, folder: pathlib.Path, runs: int) -> dict:
    plain_s, plain = best_time(lambda: build(False), runs)
    compressed_s, compressed = best_time(lambda: build(True), runs)
    path = folder / f"{name}.glb"
    path.write_bytes(plain)
    del plain
    pack_s, pack_bytes = gltfpack(path, max(1, runs - 1))
    path.unlink()
    row = {"case": name, "count": count, "bytes": len(compressed), "per": len(compressed) / count,
           "gltfpack_per": pack_bytes / count, "size_vs_gltfpack": len(compressed) / pack_bytes,
           "s": compressed_s, "plain_s": plain_s, "gltfpack_s": pack_s,
           "faster_than_gltfpack": pack_s / compressed_s, "vs_plain_time": compressed_s / plain_s}
    print(f"{name:<22} {count:>9} {row['per']:6.2f} B/el (gltfpack -cc {row['gltfpack_per']:5.2f},"
          f" size ratio {row['size_vs_gltfpack']:.2f})  {compressed_s:7.3f} s (uncompressed"
          f" {plain_s:6.3f} s = x{row['vs_plain_time']:.2f}; gltfpack {pack_s:6.2f} s ="
          f" {row['faster_than_gltfpack']:.1f}x slower)", flush=True)
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="1e6 elements only")
    args = parser.parse_args()
    rng = np.random.default_rng(2024)
    sizes = [10**6] if args.quick else [10**6, 10**7]
    print("compressed files (compress=True): bytes per element, time; gltfpack -cc on the "
          "uncompressed file")
    rows = []
    with tempfile.TemporaryDirectory(prefix="plexorin-compressed-") as tmp:
        folder = pathlib.Path(tmp)
        for count in sizes:
            runs = 3 if count <= 10**6 else 2
            for label, make in (("fcc", fcc_atoms), ("uniform8", uniform_atoms)):
                positions, types = make(count, rng)
                rows.append(run_case(f"atoms-{label}", count, lambda c, p=positions, t=types:
                                     plexorin.atoms(p, t, compress=c), folder, runs))
                del positions, types
        count = sizes[-1]
        positions, colors = colored_cloud(count, rng)
        rows.append(run_case("point-cloud-rgb8", count, lambda c: plexorin.point_cloud(
            positions, colors, compress=c), folder, 2))
        del positions, colors
        positions, faces = torus_mesh(10**6)
        rows.append(run_case("mesh", len(positions), lambda c: plexorin.mesh(
            positions, faces, compress=c), folder, 3))
    print("goals: atoms <= 3.5 B (fcc), <= 4 B (uniform), smaller than and >= 10x faster than "
          "gltfpack -cc, <= 2.5x the uncompressed call; clouds and meshes within 10 % of "
          "gltfpack's size, >= 10x faster")
    for row in rows:
        atoms = row["case"].startswith("atoms")
        limit = (3.5 if "fcc" in row["case"] else 4.0) if atoms else None
        checks = [f"size/gltfpack {row['size_vs_gltfpack']:.2f}",
                  f"{row['faster_than_gltfpack']:.1f}x faster than gltfpack"]
        if atoms:
            checks += [f"{row['per']:.2f} B/atom (goal {limit})",
                       f"{row['vs_plain_time']:.2f}x the uncompressed time"]
        print(f"  {row['case']:<20} {row['count']:>9}: " + ", ".join(checks))
    if not args.quick:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "compressed.json").write_text(json.dumps(rows, indent=2) + "\n")


if __name__ == "__main__":
    main()
