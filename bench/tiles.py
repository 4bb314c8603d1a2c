"""Tilesets: plexorin.tileset on a memory-mapped .npy against py3dtiles, and
on a dask.distributed LocalCluster against the default thread pool.

Prints one line per measurement and writes bench/results/tiles.json.
Wall times on a shared machine are noisy (seen here: 9.2 to 12.5 s for the
same build minutes apart), so each plexorin build runs RUNS times in fresh
processes (the thread pool and the cluster taking turns) and the run of
median time is reported, with the times of all;
the CPU seconds (user + system of the process, and of the cluster's
workers) are reported beside them. Each run starts with a sync, so that
the files of earlier runs are not written back while it is timed. The
thread pool and the cluster also build the tileset a second time in the
same process and cluster, as a pool or cluster in use would.

With --before-build (a build folder of an earlier commit, as `make bench`
makes from TILES_BENCH_BEFORE), the large build also runs on that build,
the two taking turns, and the throughputs of both are printed.

Usage: python bench/tiles.py [--points 1e8] [--peer-points 1e7] [--dask-points 2e7]
                             [--before-build DIR --before-label TEXT]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

RESULTS = pathlib.Path(__file__).resolve().parent / "results"

# Runs in a child process so that its peak RSS is the build's alone (and
# that of the cluster's client, not of its workers).
CHILD = r"""
import json, os, resource, sys, time
import numpy as np, plexorin
path, out, mode, again = sys.argv[1:5]
points = np.load(path, mmap_mode="r")
os.sync()  # the files of earlier runs are not written back during this one
def again_seconds(build):
    if again != "1":
        return None
    os.sync()
    start = time.perf_counter()
    build(out + "-again")
    return time.perf_counter() - start
def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
def peak_rss_bytes():
    # VmHWM is this process's own peak; ru_maxrss also holds the peak of
    # the parent, which Linux keeps across exec.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
cpu0 = cpu_seconds()
start = time.perf_counter()
workers_cpu = 0.0
if mode == "cluster":
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        before = client.run(cpu_seconds)
        cpu0 = cpu_seconds()
        start = time.perf_counter()  # the cluster's start-up is not the build's
        plexorin.tileset(out, points, client=client)
        wall = time.perf_counter() - start
        workers_cpu = sum(client.run(cpu_seconds).values()) - sum(before.values())
        cpu = cpu_seconds() - cpu0 + workers_cpu
        second = again_seconds(lambda folder: plexorin.tileset(folder, points, client=client))
else:
    plexorin.tileset(out, points)
    wall = time.perf_counter() - start
    cpu = cpu_seconds() - cpu0
    second = again_seconds(lambda folder: plexorin.tileset(folder, points))
print(json.dumps({"seconds": wall, "cpu_seconds": cpu, "again_seconds": second,
                  "max_rss_bytes": peak_rss_bytes()}))
"""


def make_points(path: pathlib.Path, count: int) -> None:
    """A terrain-like scan: a wavy surface with noise, 100 x 100 x 10 units."""
    rng = np.random.default_rng(7)
    array = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(count, 3))
    step = 1 << 22
    for start in range(0, count, step):
        n = min(count, start + step) - start
        xy = rng.uniform(0, 100, size=(n, 2))
        z = 5 + 3 * np.sin(xy[:, 0] / 7) * np.cos(xy[:, 1] / 11) + rng.normal(scale=0.2, size=n)
        array[start:start + n] = np.column_stack((xy, z)).astype(np.float32)
    array.flush()
    del array


RUNS = 3
# The thread pool and the cluster alternate, run by run, so that both see
# the same drift of a shared machine (seen here: the same build 1.5 to 3.7 s
# within minutes); their ratio is that of the medians.
COMPARED_RUNS = 5


def run_plexorin(path, outs: dict, build_dir, runs: int = RUNS, again: bool = False,
                 builds: dict | None = None) -> dict:
    """The median of `runs` builds per mode (mode -> output folder), the
    modes taking turns, and with `again` that of a second build in each
    run's process; the last run of each mode goes into its folder,
    earlier ones beside it. Nothing is deleted until the end: on ext4
    without a journal, files made within minutes of deleting others take
    far longer to create (the inode allocator steps over recently freed
    inodes), which would time this script's own clean-up."""
    builds = builds or {}
    runs_of = {mode: [] for mode in outs}
    for run in range(runs):
        for mode, out in outs.items():
            folder = out if run == runs - 1 else out.with_name(f"{out.name}-{run}")
            env = {"PYTHONPATH": str(builds.get(mode, build_dir)), "OPENBLAS_NUM_THREADS": "1",
                   "PATH": "/usr/bin:/bin"}
            done = subprocess.run([sys.executable, "-c", CHILD, str(path), str(folder),
                                   "cluster" if mode == "cluster" else "executor",
                                   "1" if again else "0"],
                                  env=env, capture_output=True, text=True, check=True)
            runs_of[mode].append(json.loads(done.stdout.strip().splitlines()[-1]))
    results = {}
    for mode, out in outs.items():
        result = sorted(runs_of[mode], key=lambda r: r["seconds"])[runs // 2]
        result["seconds_of_each_run"] = [r["seconds"] for r in runs_of[mode]]
        if again:
            seconds = [r["again_seconds"] for r in runs_of[mode]]
            result["again_seconds"] = sorted(seconds)[runs // 2]
            result["again_seconds_of_each_run"] = seconds
        else:
            del result["again_seconds"]
        result["max_rss_bytes"] = max(r["max_rss_bytes"] for r in runs_of[mode])
        result["tiles"] = sum(1 for _ in pathlib.Path(out).glob("*.glb"))
        results[mode] = result
    return results


def spread(result: dict) -> str:
    return "median of " + ", ".join(f"{s:.2f}" for s in result["seconds_of_each_run"]) + " s"


def write_ply(path: pathlib.Path, points: np.ndarray) -> None:
    header = ("ply\nformat binary_little_endian 1.0\n"
              f"element vertex {len(points)}\nproperty float x\nproperty float y\n"
              "property float z\nend_header\n")
    with open(path, "wb") as file:
        file.write(header.encode())
        np.ascontiguousarray(points, dtype="<f4").tofile(file)


def run_py3dtiles(ply: pathlib.Path, out: pathlib.Path) -> dict:
    exe = pathlib.Path(sys.executable).with_name("py3dtiles")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([str(exe), "convert", str(ply), "--out", str(out), "--overwrite", "--jobs", "2"],
                   check=True, capture_output=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return {"seconds": time.perf_counter() - start,
            "cpu_seconds": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=float, default=1e8)
    parser.add_argument("--peer-points", type=float, default=1e7)
    parser.add_argument("--dask-points", type=float, default=2e7)
    parser.add_argument("--build", default=str(pathlib.Path(__file__).resolve().parents[1] / "build"))
    parser.add_argument("--before-build", help="the build folder of an earlier commit")
    parser.add_argument("--before-label", default="before")
    args = parser.parse_args()
    count, peer, dask_count = int(args.points), int(args.peer_points), int(args.dask_points)
    results = {}
    with tempfile.TemporaryDirectory(prefix="plexorin-tiles-bench-", dir="/tmp") as tmp:
        tmp = pathlib.Path(tmp)
        data = tmp / "points.npy"
        make_points(data, count)
        mapping = data.stat().st_size
        outs = {"executor": tmp / "big"}
        if args.before_build:
            outs["before"] = tmp / "big-before"
        timed = run_plexorin(data, outs, args.build, builds={"before": args.before_build})
        big = timed["executor"]
        if args.before_build:
            before = timed["before"]
            before["points_per_second"] = count / before["seconds"]
            results[f"plexorin {count:.0e} points, {args.before_label}"] = before
            print(f"plexorin.tileset, {count:.0e} points: {args.before_label} "
                  f"{before['points_per_second'] / 1e6:.2f} M points/s ({spread(before)}), "
                  f"this tree {count / big['seconds'] / 1e6:.2f} M points/s ({spread(big)}): "
                  f"{before['seconds'] / big['seconds']:.2f}x", flush=True)
        big["points_per_second"] = count / big["seconds"]
        big["peak_rss_above_mapping_bytes"] = big["max_rss_bytes"] - mapping
        results[f"plexorin {count:.0e} points"] = big
        print(f"plexorin.tileset, {count:.0e} points from a mapped .npy: {big['seconds']:.1f} s "
              f"({spread(big)}; {big['points_per_second'] / 1e6:.1f} M points/s, "
              f"{big['cpu_seconds']:.1f} CPU s), "
              f"{big['tiles']} tiles, peak RSS {big['max_rss_bytes'] / 2**30:.2f} GiB "
              f"({big['peak_rss_above_mapping_bytes'] / 2**30:.2f} GiB above the "
              f"{mapping / 2**30:.2f} GiB mapping)", flush=True)

        small = tmp / "small.npy"
        np.save(small, np.load(data, mmap_mode="r")[:peer])
        ours = run_plexorin(small, {"executor": tmp / "ours"}, args.build)["executor"]
        results[f"plexorin {peer:.0e} points"] = ours
        if pathlib.Path(sys.executable).with_name("py3dtiles").exists():
            ply = tmp / "small.ply"
            write_ply(ply, np.load(small, mmap_mode="r"))
            theirs = run_py3dtiles(ply, tmp / "py3dtiles")
            results[f"py3dtiles {peer:.0e} points"] = theirs
            print(f"{peer:.0e} points: plexorin {ours['seconds']:.2f} s "
                  f"({peer / ours['seconds'] / 1e6:.2f} M/s), py3dtiles {theirs['seconds']:.1f} s "
                  f"({peer / theirs['seconds'] / 1e6:.2f} M/s): "
                  f"{theirs['seconds'] / ours['seconds']:.0f}x", flush=True)
        else:
            print(f"{peer:.0e} points: plexorin {ours['seconds']:.2f} s "
                  f"({peer / ours['seconds'] / 1e6:.2f} M/s, {ours['cpu_seconds']:.1f} CPU s); "
                  f"py3dtiles is not installed (pip install -r bench/requirements.txt)", flush=True)

        part = tmp / "dask.npy"
        np.save(part, np.load(data, mmap_mode="r")[:dask_count])
        compared = run_plexorin(part, {"executor": tmp / "pool", "cluster": tmp / "cluster"},
                                args.build, COMPARED_RUNS, again=True)
        pool, cluster = compared["executor"], compared["cluster"]
        same = all((tmp / pool_folder / p.name).read_bytes() == p.read_bytes()
                   for pool_folder, cluster_folder in (("pool", "cluster"),
                                                       ("pool-again", "cluster-again"))
                   for p in (tmp / cluster_folder).iterdir())
        results[f"thread pool {dask_count:.0e} points"] = pool
        results[f"LocalCluster(2) {dask_count:.0e} points"] = cluster
        each_again = [", ".join(f"{t:.2f}" for t in r["again_seconds_of_each_run"])
                      for r in (pool, cluster)]
        print(f"{dask_count:.0e} points: thread pool {pool['seconds']:.2f} s ({spread(pool)}; "
              f"{pool['cpu_seconds']:.1f} CPU s), LocalCluster of 2 workers "
              f"{cluster['seconds']:.2f} s ({spread(cluster)}; {cluster['cpu_seconds']:.1f} CPU s "
              f"with the workers'; {cluster['seconds'] / pool['seconds']:.2f}x); built again "
              f"in the same process and cluster: {pool['again_seconds']:.2f} and "
              f"{cluster['again_seconds']:.2f} s "
              f"({cluster['again_seconds'] / pool['again_seconds']:.2f}x; runs of "
              f"{each_again[0]} and {each_again[1]} s), same bytes: {same}", flush=True)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "tiles.json").write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
