"""Shared fixtures of the Python tests.

Fixtures:
    plexorin           the imported _plexorin module (session scope)
    validate_glbs      function(files) -> list of reports (session scope)
    validate_glb       function(data: bytes) -> one report (session scope)

A report is the dict printed by scripts/validate-glb.mjs for one file:
{"file", "numErrors", "numWarnings", "numInfos", "numHints", "messages"}, where
each message has "code", "severity" (0 error .. 3 hint) and "pointer" or "offset".

`validate_glbs` takes a list of GLB byte strings (or of paths) and runs the
Khronos validator over all of them in ONE node process, returning the reports in
the same order; prefer it over calling `validate_glb` in a loop.  Tests that use
either are skipped when node or node_modules/gltf-validator is missing.
"""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
VALIDATOR_SCRIPT = REPO / "scripts" / "validate-glb.mjs"

# Let test modules `import glb_reader` whatever the rootdir/import mode.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))


@pytest.fixture(scope="session")
def plexorin():
    return pytest.importorskip("_plexorin")


def _validator_available() -> bool:
    return shutil.which("node") is not None and (REPO / "node_modules" / "gltf-validator").is_dir()


def run_validator(items) -> list:
    """Validate GLB byte strings or file paths in one node process."""
    items = list(items)
    if not items:
        return []
    with tempfile.TemporaryDirectory(prefix="glb-validate-") as tmp:
        paths = []
        for number, item in enumerate(items):
            if isinstance(item, (str, os.PathLike)):
                paths.append(str(item))
            else:
                path = pathlib.Path(tmp) / f"{number:05d}.glb"
                path.write_bytes(bytes(item))
                paths.append(str(path))
        result = subprocess.run(["node", str(VALIDATOR_SCRIPT), *paths], cwd=REPO,
                                capture_output=True, text=True, timeout=600, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"validator failed ({result.returncode}): {result.stderr}")
    reports = [json.loads(line) for line in result.stdout.splitlines() if line.strip()]
    if len(reports) != len(paths):
        raise RuntimeError(f"validator gave {len(reports)} reports for {len(paths)} files")
    return reports


@pytest.fixture(scope="session")
def validate_glbs():
    if not _validator_available():
        pytest.skip("node or node_modules/gltf-validator missing (run make setup)")
    return run_validator


@pytest.fixture(scope="session")
def validate_glb(validate_glbs):
    return lambda data: validate_glbs([data])[0]
