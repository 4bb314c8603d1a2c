"""Files and folders the package writes, and the arguments of its builders,
under hostile use: names up to the file system's limit, errors that name
what the caller asked for, leftovers of a killed process that say what they
are, folders that honour the umask, flags that take only booleans, and the
float32 overflow named at its row."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import plexorin
from limited_run import run_plexorin

KILLED_SAVE = textwrap.dedent("""
    import os, signal, sys
    import plexorin
    os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)  # killed mid-write
    plexorin.save(sys.argv[1], b"glTF" * 1000)
""")


@pytest.mark.parametrize("length", [238, 255])
def test_long_names_are_saved_and_a_killed_save_leaves_a_recognisable_file(tmp_path, length):
    target = tmp_path / ("é" * ((length - 4) // 2) + "x" * (length % 2) + ".glb")
    assert len(os.fsencode(target.name)) == length
    assert plexorin.save(target, b"glTF") == target and target.read_bytes() == b"glTF"
    killed = subprocess.run([sys.executable, "-c", KILLED_SAVE, str(target)], check=False)
    assert killed.returncode == -9
    left = [p.name for p in tmp_path.iterdir() if p != target]
    assert len(left) == 1 and left[0].startswith(".éé") and left[0].endswith(".tmp")
    assert ".plexorin-" in left[0] and len(os.fsencode(left[0])) <= 255
    with pytest.raises(OSError) as error:
        plexorin.save(tmp_path / "missing" / target.name, b"glTF")
    assert error.value.filename == str(tmp_path / "missing" / target.name)


@pytest.mark.parametrize("umask, mode", [(0o022, 0o755), (0o077, 0o700)])
def test_command_line_folders_honour_the_umask(tmp_path, umask, mode):
    atoms = tmp_path / "atoms.xyz"
    atoms.write_text("2\n\nC 0 0 0\nO 1 1 1\n" * 2)
    for command in (("convert", "--frames"), ("tiles",)):
        folder = tmp_path / command[-1].strip("-")
        assert run_plexorin(*command, atoms, folder, umask=umask, memory=None).returncode == 0
        assert folder.stat().st_mode & 0o777 == mode


@pytest.mark.parametrize("flag", ["False", 0, 1, None, [True]])
def test_material_flags_take_only_booleans(flag):
    with pytest.raises(TypeError, match="double_sided: expected a bool"):
        plexorin.Material(double_sided=flag)
    assert plexorin.Material(double_sided=np.bool_(False)).double_sided is False


def test_float32_overflow_names_the_first_row_that_overflows():
    positions = np.zeros((3, 3))
    positions[0, 0] = np.nextafter(float(np.finfo(np.float32).max), np.inf)  # rounds down
    positions[2, 1] = 1e39
    with pytest.raises(ValueError, match=r"positions\[2\] overflows float32"):
        plexorin.point_cloud(positions)


def test_a_killed_command_leaves_a_folder_that_says_what_it_is(tmp_path):
    atoms = tmp_path / "atoms.xyz"
    atoms.write_text("2\n\nC 0 0 0\nO 1 1 1\n")
    child = ("import os, signal, sys; from plexorin import cli, trajectory; "
             "trajectory.write_frame_arrays = lambda *a, **k: os.kill(os.getpid(), signal.SIGKILL); "
             "cli.main(sys.argv[1:])")
    killed = subprocess.run([sys.executable, "-c", child, "convert", "--frames", str(atoms),
                             str(tmp_path / "frames")], check=False)
    assert killed.returncode == -9
    left = sorted(p.name for p in tmp_path.iterdir() if p != atoms)
    assert len(left) == 1 and left[0].startswith(".frames.plexorin-") and left[0].endswith(".partial")
