"""The command line on files written by the real libraries (ASE, plyfile,
laspy): what `convert` writes is read back by glb_reader, summarised by
`info` and checked by the Khronos validator; bad input ends with one line on
stderr and status 2, and leaves no output file."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from element_reference import jmol_linear
from glb_reader import accessor_array, attribute_array, indices_array, parse_glb

ase = pytest.importorskip("ase")
ase_io = pytest.importorskip("ase.io")
plyfile = pytest.importorskip("plyfile")
laspy = pytest.importorskip("laspy")
plexorin = pytest.importorskip("plexorin")
from plexorin import cli  # noqa: E402

SYMBOLS = ("C", "O", "N", "S", "H")
CELL = (20.0, 30.0, 40.0)


def write_inputs(folder):
    """Input files and what went into each."""
    rng = np.random.default_rng(7)
    symbols = rng.choice(SYMBOLS, 60).tolist()
    atom_xyz = rng.integers(0, 80, (60, 3)) / 8.0  # exact in the files' decimals
    ase_io.write(folder / "atoms.xyz", ase.Atoms(symbols, atom_xyz))
    ase_io.write(folder / "atoms.pdb", ase.Atoms(symbols, atom_xyz, cell=CELL, pbc=True))

    cloud = rng.normal(size=(500, 3)).astype(np.float32)
    rgb = rng.integers(0, 256, (500, 3), dtype=np.uint8)
    vertices = np.empty(500, [(n, "f4") for n in "xyz"] + [(n, "u1") for n in ("red", "green", "blue")])
    for column, name in enumerate("xyz"):
        vertices[name] = cloud[:, column]
    for column, name in enumerate(("red", "green", "blue")):
        vertices[name] = rgb[:, column]
    plyfile.PlyData([plyfile.PlyElement.describe(vertices, "vertex")]).write(folder / "cloud.ply")

    corners = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float32)
    quads = [[0, 1, 3, 2], [4, 6, 7, 5], [0, 4, 5, 1], [2, 3, 7, 6], [0, 2, 6, 4], [1, 5, 7, 3]]
    cube = np.empty(8, [(n, "f4") for n in "xyz"])
    for column, name in enumerate("xyz"):
        cube[name] = corners[:, column]
    faces = np.empty(6, [("vertex_indices", "O")])
    faces["vertex_indices"] = [np.array(q, np.int32) for q in quads]
    plyfile.PlyData([plyfile.PlyElement.describe(cube, "vertex"),
                     plyfile.PlyElement.describe(faces, "face")], text=True).write(folder / "cube.ply")

    las_xyz = rng.integers(-4000, 4000, (300, 3)) * 0.125
    las_rgb = rng.integers(0, 65536, (300, 3)).astype(np.uint16)
    las = laspy.create(point_format=2, file_version="1.2")
    las.header.scales, las.header.offsets = [0.125] * 3, [0.0] * 3
    las.x, las.y, las.z = las_xyz.T
    las.red, las.green, las.blue = las_rgb.T
    las.write(folder / "cloud.las")
    las.write(folder / "cloud.laz")
    return {"atoms.xyz": (atom_xyz, symbols), "atoms.pdb": (atom_xyz, symbols),
            "cloud.ply": (cloud, rgb), "cube.ply": (corners, None),
            "cloud.las": (las_xyz, las_rgb), "cloud.laz": (las_xyz, las_rgb)}


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli-inputs")
    return folder, write_inputs(folder)


def info(path, capsys):
    capsys.readouterr()
    assert cli.main(["info", "--json", str(path)]) == 0
    return json.loads(capsys.readouterr().out)


def test_convert_then_info_gives_back_what_went_in(inputs, tmp_path, capsys, validate_glbs):
    folder, written = inputs
    outputs = {}
    for name, (positions, extra) in written.items():
        output = outputs[name] = tmp_path / f"{name}.glb"
        assert cli.main(["convert", str(folder / name), str(output)]) == 0
        compressed = tmp_path / f"{name}.compressed.glb"
        assert cli.main(["convert", "--compress", str(folder / name), str(compressed)]) == 0
        summary = info(compressed, capsys)
        assert "EXT_meshopt_compression" in summary["extensionsRequired"]
        spheres = tmp_path / f"{name}.spheres.glb"
        sphere_run = cli.main(["convert", "--spheres", str(folder / name), str(spheres)])
        if name.startswith("atoms"):
            assert sphere_run == 0
            assert sum(n.get("instances", {}).get("count", 0)
                       for n in info(spheres, capsys)["nodes"]) == len(positions)
        else:
            assert sphere_run != 0 and "--spheres is for atom files" in capsys.readouterr().err
        assert sum(p["vertices"] for m in summary["meshes"] if m.get("name") != "Cell"
                   for p in m["primitives"]) == len(positions)
        glb = parse_glb(output.read_bytes())
        primitive = info(output, capsys)["meshes"][0]["primitives"][0]
        expected = np.float32(positions)
        bounds = primitive["attributes"]["POSITION"]
        np.testing.assert_array_equal(np.float32([bounds["min"], bounds["max"]]),
                                      [expected.min(axis=0), expected.max(axis=0)])
        assert primitive["vertices"] == len(positions)
        stored = attribute_array(glb, "POSITION")
        if name.startswith("atoms"):  # Morton order: compare atom by atom after sorting
            order, back = np.lexsort(expected.T), np.lexsort(stored.T)
            np.testing.assert_array_equal(stored[back], expected[order])
            colours = np.array([jmol_linear(s) for s in np.array(extra)[order]])
            np.testing.assert_allclose(attribute_array(glb, "COLOR_0")[back], colours, rtol=1e-6)
        elif name == "cube.ply":
            triangles = stored[indices_array(glb).reshape(-1, 3)]
            area = np.linalg.norm(np.cross(triangles[:, 1] - triangles[:, 0],
                                           triangles[:, 2] - triangles[:, 0]), axis=1).sum() / 2
            assert primitive["elements"] == 12 and area == pytest.approx(6.0)
        else:
            np.testing.assert_array_equal(stored, expected)
            assert primitive["attributes"]["COLOR_0"]["componentType"] == (
                "UNSIGNED_BYTE" if name.endswith("ply") else "UNSIGNED_SHORT")
            np.testing.assert_array_equal(accessor_array(glb, 1), extra)
    # The pdb's cell is the Morton box, and is drawn: the same bytes as the API given both.
    positions, symbols = written["atoms.pdb"]
    boxed = plexorin.atoms(positions, elements=symbols, box=((0, 0, 0), CELL), cell=np.diag(CELL))
    assert boxed != plexorin.atoms(positions, elements=symbols, cell=np.diag(CELL))
    assert outputs["atoms.pdb"].read_bytes() == boxed
    reports = validate_glbs(list(outputs.values()))
    assert [(r["numErrors"], r["numWarnings"]) for r in reports] == [(0, 0)] * len(outputs)


def run_cli(*args, pythonpath=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([*map(str, pythonpath),
                                                       os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-m", "plexorin", *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=120, check=False)


def assert_refused(run, output):
    assert run.returncode == 2, run.stderr
    assert len(run.stderr.splitlines()) == 1 and run.stderr.startswith("plexorin: error: ")
    assert not output.exists()


def test_bad_input_gives_one_line_and_status_2(inputs, tmp_path):
    folder, _ = inputs
    real_glb = tmp_path / "real.glb"
    assert run_cli("convert", folder / "cloud.ply", real_glb).returncode == 0
    bad = {"noise.bin": bytes(np.random.default_rng(1).integers(0, 256, 300, np.uint8)),
           "broken.xyz": b"3\ncomment\nC 0 0\n",
           "broken.ply": (folder / "cloud.ply").read_bytes()[:400],
           "broken.las": (folder / "cloud.las").read_bytes()[:300],
           "far.ply": b"ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                      b"property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                      b"end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 9\n",
           "truncated.glb": real_glb.read_bytes()[:-4], "text.glb": b"plain text\n"}
    for name, data in bad.items():
        (tmp_path / name).write_bytes(data)
    output = tmp_path / "out.glb"
    runs = [run_cli("convert", tmp_path / name, output) for name in bad if not name.endswith(".glb")]
    runs += [run_cli("convert", tmp_path / "missing.xyz", output),
             run_cli("info", tmp_path / "truncated.glb"), run_cli("info", tmp_path / "text.glb")]
    for run in runs:
        assert_refused(run, output)
    assert_refused(run_cli("convert", folder / "cloud.ply", tmp_path / "out.txt"), tmp_path / "out.txt")


@pytest.mark.parametrize("module, name", [("ase", "atoms.xyz"), ("plyfile", "cloud.ply"),
                                          ("laspy", "cloud.las"), ("lazrs", "cloud.laz")])
def test_a_missing_reader_names_the_extra(inputs, tmp_path, module, name):
    shim = tmp_path / "shim" / module
    shim.mkdir(parents=True)
    (shim / "__init__.py").write_text("raise ModuleNotFoundError('not installed')\n")
    output = tmp_path / "out.glb"
    run = run_cli("convert", inputs[0] / name, output, pythonpath=[shim.parent])
    assert_refused(run, output)
    assert module in run.stderr.lower() and "pip install 'plexorin[io]'" in run.stderr


def folder_bytes(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


def test_tiles_of_npy_and_ply_are_the_api_tilesets(inputs, tmp_path, capsys):
    folder, written = inputs
    points = np.random.default_rng(3).normal(size=(5000, 3))
    np.save(tmp_path / "points.npy", points)
    cloud, rgb = written["cloud.ply"]
    runs = [("points.npy", dict(positions=points), []),
            ("points.npy", dict(positions=points, compress=False), ["--no-compress"]),
            ("cloud.ply", dict(positions=cloud, colors=rgb), [])]
    for i, (name, arrays, options) in enumerate(runs):
        source = (tmp_path if name.endswith("npy") else folder) / name
        assert cli.main(["tiles", str(source), str(tmp_path / f"cli{i}"), "--points-per-tile=700",
                         *options]) == 0
        plexorin.tileset(tmp_path / f"api{i}", points_per_tile=700, **arrays)
        assert folder_bytes(tmp_path / f"cli{i}") == folder_bytes(tmp_path / f"api{i}")
    before = folder_bytes(tmp_path / "cli0")
    again = run_cli("tiles", tmp_path / "points.npy", tmp_path / "cli0")  # not empty: refused
    assert again.returncode == 2 and folder_bytes(tmp_path / "cli0") == before and len(before) > 5
    assert_refused(run_cli("tiles", folder / "cube.ply", tmp_path / "mesh"), tmp_path / "mesh")


def test_convert_frames_writes_each_frame_as_convert_would(tmp_path):
    rng = np.random.default_rng(4)
    frames = [ase.Atoms("CHO" * (4 + i), rng.integers(0, 80, (12 + 3 * i, 3)) / 8.0)
              for i in range(5)]
    ase_io.write(tmp_path / "run.xyz", frames)
    assert cli.main(["convert", "--frames", str(tmp_path / "run.xyz"), str(tmp_path / "out")]) == 0
    written = folder_bytes(tmp_path / "out")
    assert list(written) == [f"frame_{i:05d}.glb" for i in range(5)]
    for frame, data in zip(frames, written.values()):
        symbols = frame.get_chemical_symbols()
        assert data == plexorin.atoms(frame.positions, elements=symbols)
    assert cli.main(["convert", "--frames", "--spheres", str(tmp_path / "run.xyz"),
                     str(tmp_path / "balls")]) == 0
    last = folder_bytes(tmp_path / "balls")["frame_00004.glb"]
    assert last == plexorin.atoms(frames[4].positions, elements=symbols, style="spheres")
    broken = tmp_path / "broken.xyz"
    broken.write_text((tmp_path / "run.xyz").read_text() + "3\nx\nC 0 0\n")
    assert_refused(run_cli("convert", "--frames", broken, tmp_path / "part"), tmp_path / "part")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["balls", "broken.xyz", "out", "run.xyz"]
