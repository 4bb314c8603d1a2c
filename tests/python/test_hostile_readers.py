"""Readers: real files pass and, with a count inflated, are refused before the
third-party reader loops or allocates; so are atomic numbers of no element
and fractional face indices, by every command in one line."""

import re
import struct

import numpy as np
import pytest

from limited_run import assert_refused, run_plexorin
from real_data import real_file

ase = pytest.importorskip("ase")
ase_io = pytest.importorskip("ase.io")
plyfile = pytest.importorskip("plyfile")
laspy = pytest.importorskip("laspy")
from plexorin import readers  # noqa: E402

HOSTILE = {  # file name: (bytes, words of the message)
    "claims.xyz": (b"1000000000000\nC 0 0 0\n", "1,000,000,000,000 atoms"),
    "z300.xyz": (b'2\nProperties=species:S:1:pos:R:3:Z:I:1 pbc="F F F"\nC 0 0 0 300\nO 1 1 1 8\n',
                 "atomic number 300"),
    "fraction.ply": (b"ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                     b"property float z\nelement face 1\nproperty list uchar float vertex_indices\n"
                     b"end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 1.5\n", "face 0"),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_input_gives_one_line_from_every_command(tmp_path, name):
    data, words = HOSTILE[name]
    path = tmp_path / name
    path.write_bytes(data)
    commands = [("convert",), ("convert", "--frames"), ("tiles",)] if name.endswith("xyz") else [("convert",)]
    for command in commands:
        assert_refused(run_plexorin(*command, path, tmp_path / "out.glb", timeout=30), path, words)
    assert [p.name for p in tmp_path.iterdir()] == [name]


def test_real_writers_files_pass_and_with_a_count_inflated_are_refused(tmp_path):
    rng = np.random.default_rng(5)
    atoms = ase.Atoms("CO" * 20, rng.random((40, 3)) * 9, cell=[9, 9, 9], pbc=True)
    ase_io.write(tmp_path / "db.json", atoms)
    (tmp_path / "end.xyz").write_bytes(b"2\n\nC 0 0 0\nO 1 1 1")  # no last line end
    written = {"db.json": atoms.positions, "end.xyz": [[0, 0, 0], [1, 1, 1]]}
    for name, version, point_format in (("points14.las", "1.4", 6), ("points.las", "1.2", 2)):
        cloud = laspy.create(point_format=point_format, file_version=version)
        cloud.x, cloud.y, cloud.z = rng.random((3, 500)) * 100
        cloud.write(tmp_path / name)
        written[name] = cloud.xyz
    vertices = np.array([(*p, 255, 65535, 0) for p in rng.random((3, 3))], [
        ("x", "f4"), ("y", "f4"), ("z", "f4"), ("red", "u1"), ("green", "u2"), ("blue", "u1")])
    faces = np.array([([0, 1, 2],)], [("vertex_indices", "f4", (3,))])
    plyfile.PlyData([plyfile.PlyElement.describe(vertices, "vertex"),
                     plyfile.PlyElement.describe(faces, "face")]).write(tmp_path / "mixed.ply")
    written["mixed.ply"] = vertices[["x", "y", "z"]].tolist()
    for name, positions in written.items():
        np.testing.assert_allclose(readers.read(tmp_path / name).positions, positions, atol=0.01)
    mesh = readers.read(tmp_path / "mixed.ply")  # each colour channel scaled by its own type
    assert mesh.colors.tolist() == [[1, 1, 0]] * 3 and mesh.faces.tolist() == [[0, 1, 2]]
    # Counts no machine can allocate, so that a reader given them fails at once.
    inflate = {"db.json": (lambda d: d.replace(b"[[40, 3]", b"[[40000000000, 3]"), "120,000,000,000"),
               "points14.las": (lambda d: d[:247] + struct.pack("<Q", 10**12) + d[255:], "points"),
               "points.las": (lambda d: d[:107] + struct.pack("<I", 4 * 10**9) + d[111:], "points"),
               "mixed.ply": (lambda d: d.replace(b"vertex 3", b"vertex 3000000000000"), "3,000,000,000,000")}
    for name, (change, words) in inflate.items():
        (tmp_path / name).write_bytes(change((tmp_path / name).read_bytes()))
        with pytest.raises(readers.UnreadableFile, match=words):
            readers.read(tmp_path / name)


@pytest.mark.parametrize("name", ["2r9r-1b.xyz", "coordinates/test.xyz", "lammps/albite_triclinic.dump",
                                  "lammps/chain_dump_1.lammpstrj", "lammps/image_vf.lammpstrj"])
def test_real_files_pass_and_with_a_count_inflated_are_refused(tmp_path, name):
    path = real_file("mdanalysistests", "2.11.0", f"MDAnalysisTests/data/{name}")
    frames = [len(frame.positions) for frame in readers.iter_atoms(path)]
    assert frames == [len(atoms) for atoms in ase_io.read(path, ":")] and len(frames) > 0
    pattern = rb"\A\s*\d+" if name.endswith(".xyz") else rb"NUMBER OF ATOMS\s*\n\s*\d+"
    inflated = tmp_path / path.name
    inflated.write_bytes(re.sub(pattern, lambda m: m.group(0) + b"000000", path.read_bytes(), count=1))
    with pytest.raises(readers.UnreadableFile, match="000,000 atoms"):
        list(readers.iter_atoms(inflated))
