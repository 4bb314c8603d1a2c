"""Benchmark of values per point (attributes=): the cost of two attributes
(uint16 intensity, uint8 classification) on a 10^7-point scan, plain and
compressed, against the same call without them; and the compressed bytes per
point of intensity and classification on a real LiDAR file (laspy's
autzen_trim.laz, fetched from the package index by tests/python/real_data.py).

gltfpack (npm) drops custom attributes ("ignoring custom attribute"), so it
gives no peer figure for these streams.

Run by `make bench` (or `python bench/attributes.py [--quick]`). Prints the
numbers and the goals' ratios, and writes bench/results/attributes.json (not
with --quick); asserts nothing. Times are the best of a few interleaved runs
on a shared machine: compare within one run only.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import struct
import sys
import time

import numpy as np

import plexorin

REPO = pathlib.Path(__file__).resolve().parents[1]
RESULTS = REPO / "bench" / "results"
sys.path.insert(0, str(REPO / "tests" / "python"))


def scan(count: int, rng: np.random.Generator):
    """A noisy surface, shuffled as a scan's points are, with intensity
    smooth in space plus noise and classes by height and patches."""
    u, v = rng.random(count), rng.random(count)
    height = np.sin(8 * u) * np.cos(6 * v)
    positions = np.stack([u * 1000, v * 1000, 20 * height + rng.normal(0, 0.05, count)], -1)
    intensity = np.clip((height + 1) * 20000 + rng.normal(0, 800, count), 0, 65535)
    classes = np.where(height < -0.3, 2, np.where(np.sin(40 * u) * np.sin(40 * v) > 0.6, 6, 5))
    return (positions.astype(np.float32),
            {"intensity": intensity.astype(np.uint16), "classification": classes.astype(np.uint8)})


def best_time(call, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def stream_bytes(glb: bytes, semantic: str) -> int:
    """Compressed bytes of every stream of the attribute `semantic`."""
    length = struct.unpack_from("<I", glb, 12)[0]
    document = json.loads(glb[20:20 + length])
    views = document["bufferViews"]
    total = 0
    for mesh in document["meshes"]:
        for primitive in mesh["primitives"]:
            accessor = document["accessors"][primitive["attributes"][semantic]]
            total += views[accessor["bufferView"]]["extensions"]["EXT_meshopt_compression"][
                "byteLength"]
    return total


def cost_of_attributes(count: int, runs: int) -> dict:
    positions, attributes = scan(count, np.random.default_rng(1))
    row: dict = {"points": count}
    for compress in (False, True):
        times = {"without": float("inf"), "with": float("inf")}
        for _ in range(runs):  # interleaved, so that drifts of the machine hit both
            times["without"] = min(times["without"], best_time(
                lambda: plexorin.point_cloud(positions, compress=compress), 1))
            times["with"] = min(times["with"], best_time(
                lambda: plexorin.point_cloud(positions, compress=compress,
                                             attributes=attributes), 1))
        tag = "compressed" if compress else "plain"
        row[tag] = {**times, "ratio": times["with"] / times["without"]}
        print(f"{tag:<10} {count:>9} points: without {times['without']:6.3f} s, with "
              f"intensity + classification {times['with']:6.3f} s = x{row[tag]['ratio']:.2f} "
              f"(goal <= 1.3)", flush=True)
    return row


def real_file_streams() -> dict:
    import laspy

    from real_data import real_file

    path = real_file("laspy", "2.7.0", "tests/data/autzen_trim.laz")
    las = laspy.read(path)
    glb = plexorin.point_cloud(las.xyz, compress=True, up="z", attributes={
        "intensity": las.intensity, "classification": las.classification})
    count = len(las.xyz)
    row = {"file": path.name, "points": count,
           "intensity_per_point": stream_bytes(glb, "_INTENSITY") / count,
           "classification_per_point": stream_bytes(glb, "_CLASSIFICATION") / count}
    print(f"{path.name}, {count} points: intensity {row['intensity_per_point']:.3f} B/point "
          f"(goal <= 1.2), classification {row['classification_per_point']:.3f} B/point "
          f"(goal <= 0.3)", flush=True)
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^6 points, one run")
    args = parser.parse_args()
    count, runs = (10**6, 1) if args.quick else (10**7, 3)
    results = {"cost": cost_of_attributes(count, runs), "real": real_file_streams()}
    if not args.quick:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "attributes.json").write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
