"""Real test files out of published Python distributions, fetched at test time.

    real_file("mdanalysistests", "2.11.0", "MDAnalysisTests/data/adk.psf") -> Path

`pip download --no-deps` fetches the distribution (its wheel, or its sdist
when the file is not in a wheel) into a cache outside the repository,
$PLEXORIN_TEST_DATA or ~/.cache/plexorin-test-data, and only the members
asked for are extracted, once. `member` is the path inside the archive; an
sdist's top folder (name-version/) may be left out. Without the network the
calling test is skipped with the reason; a member the archive lacks fails it.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

import pytest

CACHE = Path(os.environ.get("PLEXORIN_TEST_DATA", Path.home() / ".cache" / "plexorin-test-data"))


def _download(distribution: str, version: str, folder: Path, kind: str) -> Path | None:
    """The archive of `kind` ("wheel" or "sdist") in `folder`, fetched if missing;
    None when the index has none of that kind."""
    suffixes = (".whl",) if kind == "wheel" else (".tar.gz", ".zip")
    found = [p for p in folder.glob("*") if p.name.endswith(suffixes)] if folder.is_dir() else []
    if found or (folder / "none").exists():
        return found[0] if found else None
    folder.mkdir(parents=True, exist_ok=True)
    choice = "--only-binary=:all:" if kind == "wheel" else "--no-binary=:all:"
    with tempfile.TemporaryDirectory(dir=folder) as stage:
        run = subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--quiet",
                              "--disable-pip-version-check", "--retries", "1", "--timeout", "20",
                              choice, "-d", stage, f"{distribution}=={version}"],
                             capture_output=True, text=True, timeout=600, check=False)
        archives = [p for p in Path(stage).iterdir() if p.name.endswith(suffixes)]
        if run.returncode != 0 or not archives:
            if "No matching distribution" in run.stderr and kind == "wheel":
                (folder / "none").touch()  # an sdist only: ask once
                return None
            lines = (run.stderr or run.stdout).strip().splitlines() or ["no archive"]
            pytest.skip(f"cannot fetch {distribution}=={version} from the package index: {lines[-1]}")
        return archives[0].rename(folder / archives[0].name)


def _extract(archive: Path, member: str, target: Path) -> bool:
    """Copy `member` (or name-version/`member` of an sdist) to `target`."""
    def copy(source: object) -> bool:
        if source is None:
            return False
        with tempfile.NamedTemporaryFile(dir=target.parent, delete=False) as out:
            out.write(source.read())  # type: ignore[attr-defined]
        os.replace(out.name, target)
        return True

    if archive.name.endswith(".whl") or archive.name.endswith(".zip"):
        with zipfile.ZipFile(archive) as zipped:
            names = [n for n in zipped.namelist() if n == member or n.split("/", 1)[-1] == member]
            return bool(names) and copy(zipped.open(names[0]))
    with tarfile.open(archive) as tarred:
        for info in tarred:
            if info.isfile() and (info.name == member or info.name.split("/", 1)[-1] == member):
                return copy(tarred.extractfile(info))
    return False


def real_file(distribution: str, version: str, member: str) -> Path:
    """The file `member` of the distribution `distribution`==`version`, cached."""
    if member.startswith("/") or ".." in Path(member).parts:
        raise ValueError(f"member: a relative path inside the archive, got {member!r}")
    root = CACHE / f"{distribution}-{version}"
    target = root / "files" / member
    if target.is_file():
        return target
    target.parent.mkdir(parents=True, exist_ok=True)
    for kind in ("wheel", "sdist"):
        archive = _download(distribution, version, root / kind, kind)
        if archive is not None and _extract(archive, member, target):
            return target
    raise LookupError(f"{member} is in neither the wheel nor the sdist of {distribution}=={version}")
