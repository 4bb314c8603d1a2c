"""Files, folders and builder arguments under hostile use: names up to the
file system's limit, leftovers of a killed process that say what they are,
folders by the umask, boolean flags, the float32 overflow at its row."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

import plexorin
from limited_run import run_plexorin

LONG = "é" * 125 + ".glb"  # 254 bytes


@pytest.mark.parametrize("name", [LONG, "é" * 117 + ".glb"])  # 254 and 238 bytes
def test_names_up_to_the_limit_are_saved_and_errors_name_the_target(tmp_path, name):
    assert plexorin.save(tmp_path / name, b"glTF").read_bytes() == b"glTF"
    with pytest.raises(OSError) as error:
        plexorin.save(tmp_path / "missing" / name, b"glTF")
    assert error.value.filename == str(tmp_path / "missing" / name)


@pytest.mark.parametrize("killed_in, left", [
    ("os.fsync = kill; plexorin.save(LONG, b'glTF')", r"\.é+\.plexorin-[0-9a-f]{12}\.tmp"),
    ("trajectory.write_frame_arrays = kill; cli.main(['convert', '--frames', 'a.xyz', LONG])",
     r"\.é+\.plexorin-[0-9a-f]{12}\.partial")])
def test_what_a_killed_process_leaves_says_what_it_is(tmp_path, killed_in, left):
    (tmp_path / "a.xyz").write_text("2\n\nC 0 0 0\nO 1 1 1\n")
    child = ("import os, signal, plexorin; from plexorin import cli, trajectory; os.chdir(%r); "
             "LONG = %r; kill = lambda *a, **k: os.kill(os.getpid(), signal.SIGKILL); %s"
             % (str(tmp_path), LONG, killed_in))
    assert subprocess.run([sys.executable, "-c", child], check=False).returncode == -9
    names = [p.name for p in tmp_path.iterdir() if p.name != "a.xyz"]
    assert len(names) == 1 and re.fullmatch(left, names[0]) and len(os.fsencode(names[0])) <= 255


@pytest.mark.parametrize("umask, mode", [(0o022, 0o755), (0o077, 0o700)])
def test_command_line_folders_honour_the_umask(tmp_path, umask, mode):
    (tmp_path / "a.xyz").write_text("2\n\nC 0 0 0\nO 1 1 1\n")
    for command in (("convert", "--frames"), ("tiles",)):
        assert run_plexorin(*command, tmp_path / "a.xyz", tmp_path / command[-1], umask=umask,
                            memory=None).returncode == 0
        assert (tmp_path / command[-1]).stat().st_mode & 0o777 == mode


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
