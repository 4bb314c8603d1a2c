"""The example scripts run, their files are valid, and their helpers hold what
their docstrings promise (checked against the Khronos validator, trimesh and
small references written here)."""

import itertools
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from glb_reader import attribute_array, indices_array, parse_glb

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
sys.path.insert(0, str(EXAMPLES))

import atoms  # noqa: E402  (the examples folder is on the path only now)
import exact_bounds  # noqa: E402
import mesh  # noqa: E402

# Each script with small sizes, and the files it writes into --out.
SCRIPTS = {
    "atoms.py": (["--radius", "6"], ["atoms.glb"]),
    "point_cloud.py": (["--points", "5000"], ["seashell.glb"]),
    "mesh.py": (["--segments", "60", "--sides", "12"], ["knot.glb"]),
    "demo.py": (["--small"], ["atoms.glb", "seashell.glb", "knot.glb"]),
    "exact_bounds.py": ([], []),
    "non_contiguous.py": ([], []),
}


def run_script(plexorin, name, args, out):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(pathlib.Path(plexorin.__file__).parent),
                                         env.get("PYTHONPATH", "")])
    out_args = ["--out", str(out)] if SCRIPTS[name][1] else []
    return subprocess.run([sys.executable, str(EXAMPLES / name), *args, *out_args], cwd=out,
                          env=env, capture_output=True, text=True, timeout=300, check=False)


@pytest.fixture(scope="module")
def script_runs(plexorin, tmp_path_factory):
    """Every script run once: {name: (completed process, folder of its files)}."""
    runs = {}
    for name, (args, _) in SCRIPTS.items():
        out = tmp_path_factory.mktemp(name.removesuffix(".py"))
        runs[name] = (run_script(plexorin, name, args, out), out)
    return runs


@pytest.mark.parametrize("name", SCRIPTS)
def test_example_runs_and_writes_its_files(script_runs, name):
    run, out = script_runs[name]
    assert run.returncode == 0, run.stdout + run.stderr
    for file in SCRIPTS[name][1]:
        assert parse_glb((out / file).read_bytes()).magic == 0x46546C67
        assert file in run.stdout


def test_example_files_pass_the_validator(script_runs, validate_glbs):
    files = [out / file for name, (run, out) in script_runs.items() for file in SCRIPTS[name][1]]
    reports = validate_glbs(files)
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * len(files)


def test_comparison_examples_report_the_outcomes_they_explain(script_runs):
    lines = script_runs["non_contiguous.py"][0].stdout.splitlines()
    assert [line.rsplit("= ", 1)[1] for line in lines if "same file" in line] == ["True"] * 3
    lines = script_runs["exact_bounds.py"][0].stdout.splitlines()
    assert [line.rsplit("= ", 1)[1] for line in lines] == ["False", "False", "True"]


@pytest.mark.parametrize("scale", [1e-4, 0.37, 1.0, 13.0, 2e3, 6e5])
def test_snapped_positions_give_bounds_the_validator_accepts(plexorin, validate_glb, scale):
    rng = np.random.default_rng(int(scale * 1e4) % 2**32)
    positions = exact_bounds.snap_to_six_decimals(rng.normal(scale=scale, size=(20_000, 3)))
    colors = rng.random((len(positions), 3), dtype=np.float32)
    glb = plexorin.point_cloud_glb(positions, colors, *exact_bounds.exact_bounds(positions))
    report = validate_glb(glb)
    assert report["numErrors"] == 0, report["messages"][:3]
    assert exact_bounds.bounds_are_exact(glb, positions)


def reference_vertex_normals(positions, triangles):
    """Area-weighted vertex normals, one triangle at a time in plain Python."""
    sums = [[0.0, 0.0, 0.0] for _ in positions]
    for tri in triangles.tolist():
        a, b, c = (positions[k].tolist() for k in tri)
        u = [b[i] - a[i] for i in range(3)]
        v = [c[i] - a[i] for i in range(3)]
        cross = [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
        for k in tri:
            sums[k] = [sums[k][i] + cross[i] for i in range(3)]
    return np.array([np.divide(s, np.sqrt(sum(x * x for x in s))) for s in sums])


def test_vertex_normals_match_a_triangle_by_triangle_reference():
    rng = np.random.default_rng(11)
    positions = rng.normal(size=(30, 3)).astype(np.float32)
    triangles = np.array([t for t in itertools.combinations(range(30), 3)
                          if rng.random() < 0.02], dtype=np.uint32)
    used = np.unique(triangles)
    normals = mesh.vertex_normals(positions, triangles)
    np.testing.assert_allclose(normals[used],
                               reference_vertex_normals(positions, triangles)[used], atol=2e-6)


def test_knot_tube_is_closed_and_its_normals_point_outwards(plexorin, tmp_path):
    import trimesh

    result = mesh.write_mesh(tmp_path / "knot.glb", segments=80, sides=10)
    glb = parse_glb(result["path"].read_bytes())
    positions = attribute_array(glb, "POSITION")
    normals = attribute_array(glb, "NORMAL")
    triangles = indices_array(glb).reshape(-1, 3)
    tube = trimesh.Trimesh(positions, triangles.astype(np.int64), process=False)
    assert tube.is_watertight and tube.is_winding_consistent
    assert tube.volume > 0  # counter-clockwise seen from outside
    # Every normal points away from the knot's centre line at its ring.
    ring_centres = np.repeat(mesh.trefoil(np.arange(80) * (2 * np.pi / 80)), 10, axis=0)
    outward = ((positions - ring_centres) * normals).sum(axis=1)
    assert (outward > 0.9 * mesh.TUBE_RADIUS).all()


def test_nanoparticle_is_a_face_centred_cubic_crystal_with_the_described_parts():
    radius = 20
    positions, types = atoms.nanoparticle(radius)
    # A truncated octahedron of 4 radius^3 unit cells, less one open octant,
    # with 4 atoms per cell: about 14 radius^3 atoms.
    assert abs(len(positions) / (14 * radius**3) - 1) < 0.1
    assert not (positions > 0).all(axis=1).any()
    assert set(np.unique(types)) == {atoms.YELLOW_CORE, atoms.RED_DOPANT, atoms.GREEN_ADSORBATE,
                                     atoms.BLUE_SURFACE, atoms.CYAN_SHELL}
    # Nearest neighbours of a face-centred cubic crystal are a / sqrt(2) apart,
    # and an atom deep inside has twelve of them.
    centre = np.argmin(np.linalg.norm(positions + atoms.LATTICE, axis=1))
    distances = np.linalg.norm(positions - positions[centre], axis=1)
    nearest = np.sort(distances)[1:14]
    np.testing.assert_allclose(nearest[:12], atoms.LATTICE / np.sqrt(2), rtol=1e-6)
    assert nearest[12] > atoms.LATTICE / np.sqrt(2) * 1.1
    # The core lies inside the shell: core atoms are nearer the centre.
    distance = np.linalg.norm(positions, axis=1)
    assert distance[types == atoms.YELLOW_CORE].max() < distance[types == atoms.BLUE_SURFACE].min()


def test_readme_quickstart_writes_a_valid_atom_file(plexorin, validate_glb, tmp_path):
    readme = (REPO / "README.md").read_text()
    start = readme.index("```python\n") + len("```python\n")  # the first example, up front
    code = readme[start:readme.index("\n```", start)]
    assert 5 < len(code.splitlines()) <= 12
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300, check=False,
                         env={**os.environ, "PYTHONPATH": str(pathlib.Path(plexorin.__file__).parent)})
    assert run.returncode == 0, run.stderr
    glb = (tmp_path / "atoms.glb").read_bytes()
    assert attribute_array(parse_glb(glb), "POSITION").shape == (1_000_000, 3)
    for name in ("atoms.glb", "cloud.glb", "mesh.glb"):
        report = validate_glb((tmp_path / name).read_bytes())
        assert (report["numErrors"], report["numWarnings"]) == (0, 0), (name, report["messages"][:3])
