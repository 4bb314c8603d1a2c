"""Readers on hostile inputs: tiny files declaring huge counts are refused
before a third-party reader loops or allocates, as are atomic numbers of no
element and fractional face indices, by every command with one line and
status 2; files of the real writers pass the same checks."""

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

PLY = b"ply\nformat %s 1.0\nelement vertex %d\nproperty float x\nproperty float y\nproperty float z\n"
DUMP = (b"ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n%d\nITEM: BOX BOUNDS pp pp pp\n0 1\n0 1\n0 1\n"
        b"ITEM: ATOMS id type x y z\n1 1 0 0 0\n")
ASE_JSON = ('{"1": {"numbers": {"__ndarray__": [[1], "int64", [6]]}, "positions": {"__ndarray__": '
            '[[100000000, 3], "float64", [0.0]]}, "unique_id": "a", "ctime": 1.0, "mtime": 1.0, '
            '"user": "u"}, "ids": [1], "nextid": 2}')


def las(count, minor, point_format, record):
    header = bytearray(227 if minor < 4 else 375)
    struct.pack_into("<4s20xBB68xHIIBHI", header, 0, b"LASF", 1, minor, len(header), len(header),
                     0, point_format, record, min(count, 2**32 - 1))
    struct.pack_into("<3d", header, 131, 0.01, 0.01, 0.01)
    if minor == 4:
        struct.pack_into("<Q", header, 247, count)
    return bytes(header) + bytes(2 * record)


HOSTILE = {  # file name: (bytes, words of the message)
    "claims.xyz": (b"1000000000000\nC 0 0 0\n", "1,000,000,000,000 atoms"),
    "second.xyz": (b"1\na\nC 0 0 0\n100000000000\nb\nC 0 0 0\n", "frame 1 declares"),
    "claims.lammpstrj": (DUMP % 10**11, "100,000,000,000 atoms"),
    "claims.las": (las(200_000_000, 2, 0, 20), "200,000,000 points"),
    "claims14.las": (las(10**12, 4, 6, 30), "1,000,000,000,000 points"),
    "claims.json": (ASE_JSON.encode(), "300,000,000 elements"),
    "claims.ply": (PLY % (b"binary_little_endian", 10**12) + b"end_header\n" + bytes(24), "vertex"),
    "claims_ascii.ply": (PLY % (b"ascii", 10**9) + b"end_header\n0 0 0\n", "vertex"),
    "fraction.ply": (PLY % (b"ascii", 3) + b"element face 1\nproperty list uchar float vertex_indices"
                     b"\nend_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 1.5\n", "face 0"),
    "z300.xyz": (b'2\nProperties=species:S:1:pos:R:3:Z:I:1 pbc="F F F"\nC 0 0 0 300\nO 1 1 1 8\n',
                 "atomic number 300"),
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


def test_files_of_the_real_writers_pass_the_checks(tmp_path):
    rng = np.random.default_rng(5)
    frames = [ase.Atoms("CO" * 20, rng.random((40, 3)) * 9, cell=[9, 9, 9], pbc=True) for _ in range(3)]
    ase_io.write(tmp_path / "frames.xyz", frames)
    ase_io.write(tmp_path / "db.json", frames[0])
    (tmp_path / "end.xyz").write_bytes(b"2\n\nC 0 0 0\nO 1 1 1")  # no last line end
    cloud = laspy.create(point_format=6, file_version="1.4")
    cloud.x, cloud.y, cloud.z = rng.random((3, 500)) * 100
    cloud.write(tmp_path / "points14.las")
    vertices = np.array([(*p, 255, 65535, 0) for p in rng.random((3, 3))], [
        ("x", "f4"), ("y", "f4"), ("z", "f4"), ("red", "u1"), ("green", "u2"), ("blue", "u1")])
    faces = np.array([([0, 1, 2],)], [("vertex_indices", "f4", (3,))])
    plyfile.PlyData([plyfile.PlyElement.describe(vertices, "vertex"),
                     plyfile.PlyElement.describe(faces, "face")]).write(tmp_path / "mixed.ply")
    written = {"frames.xyz": frames[0].positions, "db.json": frames[0].positions,
               "end.xyz": [[0, 0, 0], [1, 1, 1]],
               "points14.las": cloud.xyz, "mixed.ply": vertices[["x", "y", "z"]].tolist()}
    for name, positions in written.items():
        np.testing.assert_allclose(readers.read(tmp_path / name).positions, positions, atol=0.01)
    assert len(list(readers.iter_atoms(tmp_path / "frames.xyz"))) == 3
    mesh = readers.read(tmp_path / "mixed.ply")  # each colour channel scaled by its own type
    assert mesh.colors.tolist() == [[1, 1, 0]] * 3 and mesh.faces.tolist() == [[0, 1, 2]]


@pytest.mark.parametrize("name", ["2r9r-1b.xyz", "coordinates/test.xyz", "lammps/albite_triclinic.dump",
                                  "lammps/chain_dump_1.lammpstrj", "lammps/image_vf.lammpstrj"])
def test_real_files_pass_and_with_a_count_inflated_are_refused(tmp_path, name):
    path = real_file("mdanalysistests", "2.11.0", f"MDAnalysisTests/data/{name}")
    frames = [len(frame.positions) for frame in readers.iter_atoms(path)]
    assert frames == [len(atoms) for atoms in ase_io.read(path, ":")] and len(frames) > 0
    pattern = rb"\A\s*\d+" if name.endswith(".xyz") else rb"NUMBER OF ATOMS\s*\n\s*\d+"
    inflated = tmp_path / path.name
    inflated.write_bytes(re.sub(pattern, lambda m: m.group(0) + b"000000", path.read_bytes(), 1))
    with pytest.raises(readers.UnreadableFile, match="000,000 atoms"):
        list(readers.iter_atoms(inflated))
