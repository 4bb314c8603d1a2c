"""The main job of `make demo`: GLB files from built-in data, written with the
public package `plexorin` and each checked by the Khronos glTF validator.

    atoms.glb     a core-shell nanoparticle, about a million atoms of five types   (plexorin.atoms)
    atoms-web.glb the same, compressed for the web                                 (compress=True)
    seashell.glb  a coloured point cloud sampled from a parametric surface         (plexorin.point_cloud)
    knot.glb      a smooth-shaded, vertex-coloured mesh, normals computed          (plexorin.mesh)

Prints what each file holds, its size, how long plexorin took to build it
and the validator's verdict; exits with status 1 when the validator reports
an error. --small writes the same scenes with far fewer elements.

Run:  make demo    (or: PYTHONPATH=build .venv/bin/python examples/demo.py [--small] [--out out])
"""

import argparse
import json
import pathlib
import subprocess
import sys
import time

import numpy as np

import plexorin
from atoms import nanoparticle
from mesh import knot_mesh
from point_cloud import seashell

REPO = pathlib.Path(__file__).resolve().parent.parent
VALIDATOR = REPO / "scripts" / "validate-glb.mjs"

# Unit-cell radius of the particle, point count, and (rings, sides) of the tube.
FULL = {"atoms": 42, "points": 500_000, "rings": 2000, "sides": 48}
SMALL = {"atoms": 10, "points": 20_000, "rings": 200, "sides": 16}


def build_and_save(path: pathlib.Path, build, detail: str, **result) -> dict:
    """Times one plexorin call and saves its file; the result row of the table."""
    start = time.perf_counter()
    glb = build()
    seconds = time.perf_counter() - start
    plexorin.save(path, glb)
    return dict(result, path=path, bytes=len(glb), seconds=seconds, detail=detail,
                total_seconds=time.perf_counter() - start)


def write_atoms(out: pathlib.Path, radius: int) -> list[dict]:
    """The particle twice: the plain layout, and the compressed one for the web."""
    positions, types = nanoparticle(radius)
    detail = f"{len(positions):,} atoms of {len(np.unique(types))} types"
    return [build_and_save(out / "atoms.glb", lambda: plexorin.atoms(positions, types), detail,
                           kind="atoms", count=len(positions)),
            build_and_save(out / "atoms-web.glb",
                           lambda: plexorin.atoms(positions, types, compress=True),
                           detail + ", compressed", kind="atoms", count=len(positions))]


def write_point_cloud(out: pathlib.Path, count: int) -> dict:
    positions, colors = seashell(count)
    return build_and_save(out / "seashell.glb", lambda: plexorin.point_cloud(positions, colors),
                          f"{len(positions):,} points, RGB", kind="points", count=len(positions))


def write_mesh(out: pathlib.Path, rings: int, sides: int) -> dict:
    positions, _, triangles, colors = knot_mesh(rings, sides)
    material = plexorin.Material(metallic=0.1, roughness=0.45, double_sided=False)
    return build_and_save(
        out / "knot.glb",
        lambda: plexorin.mesh(positions, triangles, colors=colors, material=material),
        f"{len(positions):,} vertices, {len(triangles):,} triangles, RGBA",
        kind="mesh", count=len(positions), triangles=len(triangles))


def timed(write, *args) -> dict:
    start = time.perf_counter()
    result = write(*args)
    result["total_seconds"] = time.perf_counter() - start
    return result


def write_demo_files(out: pathlib.Path, small: bool = False) -> list[dict]:
    """Write the files into `out`; one dict per file (path, kind, count, bytes, ...)."""
    sizes = SMALL if small else FULL
    out.mkdir(parents=True, exist_ok=True)
    return [*write_atoms(out, sizes["atoms"]),
            timed(write_point_cloud, out, sizes["points"]),
            timed(write_mesh, out, sizes["rings"], sizes["sides"])]


def validate(paths: list[pathlib.Path]) -> list[dict]:
    """The Khronos validator's report for each file (one node process for all)."""
    run = subprocess.run(["node", str(VALIDATOR), *map(str, paths)], cwd=REPO,
                         capture_output=True, text=True, check=False)
    if run.returncode != 0:
        sys.exit(f"the validator could not run (make setup installs it):\n{run.stderr}")
    return [json.loads(line) for line in run.stdout.splitlines() if line.strip()]


def verdict(report: dict) -> str:
    counts = (f"{report['numErrors']} errors, {report['numWarnings']} warnings, "
              f"{report['numInfos']} infos")
    if report["numErrors"] == 0:
        return f"valid ({counts})"
    codes = sorted({m["code"] for m in report["messages"] if m["severity"] == 0})
    return f"INVALID ({counts}: {', '.join(codes)})"


def print_table(results: list[dict], reports: list[dict], out: pathlib.Path) -> None:
    print(f"plexorin {plexorin.__version__} demo: {len(results)} GLB files in {out.resolve()}\n")
    print(f"  {'file':<13} {'contents':<44} {'size':>9} {'plexorin':>10} {'all':>7}  validator")
    for result, report in zip(results, reports):
        print(f"  {result['path'].name:<13} {result['detail']:<44} "
              f"{result['bytes'] / 1e6:>6.1f} MB {result['seconds'] * 1e3:>7.2f} ms "
              f"{result['total_seconds']:>5.2f} s  {verdict(report)}")
    print("\n  plexorin: the one call that built the file;"
          " all: making the data, that call and writing the file")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=REPO / "out")
    parser.add_argument("--small", action="store_true", help="far fewer elements (for tests)")
    args = parser.parse_args()

    results = write_demo_files(args.out, args.small)
    start = time.perf_counter()
    reports = validate([result["path"] for result in results])
    validation_seconds = time.perf_counter() - start
    print_table(results, reports, args.out)
    print(f"  validated by the Khronos glTF validator in {validation_seconds:.2f} s\n")
    print("Look at them in a browser: .venv/bin/python viewer/serve.py")
    if any(report["numErrors"] for report in reports):
        sys.exit(1)


if __name__ == "__main__":
    main()
