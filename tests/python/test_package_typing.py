"""mypy --strict accepts the package's own hints and a user's correct calls,
and flags a wrong one, finding the package as a user's would (py.typed)."""

import os
import pathlib
import subprocess
import sys

import pytest

CALLS = """\
import numpy as np
import plexorin
xyz = np.zeros((4, 3))
data: bytes = plexorin.atoms(xyz, [0, 1, 2, 3], box=([0, 0, 0], [1, 1, 1]))
data = plexorin.point_cloud(xyz.tolist(), np.ones((4, 4), np.uint8))
data = plexorin.mesh(xyz, [[0, 1, 2]], material=plexorin.Material(base_color=(1, 0, 0, 1)))
path: pathlib.Path = plexorin.save("x.glb", data)
text: str = plexorin.point_cloud(xyz)
"""


def test_mypy_strict_on_the_package_and_its_callers(tmp_path):
    plexorin = pytest.importorskip("plexorin")
    package = pathlib.Path(plexorin.__file__).parent
    (tmp_path / "calls.py").write_text("import pathlib\n" + CALLS)
    env = dict(os.environ, PYTHONPATH=str(package.parent))
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir", str(tmp_path / "cache"), "calls.py", str(package)],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, run.stdout
    assert errors[0].startswith("calls.py:9:") and "[assignment]" in errors[0], run.stdout
