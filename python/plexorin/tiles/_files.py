"""The files of a build: a staging folder beside the target that replaces
it only once complete, tiles created exclusively in it, temporary files in
a folder inside it, and strict JSON.

A build never writes into `out_dir` itself: an earlier tileset there stays
intact until the new one is whole, and a symlink planted in `out_dir` (or
a file named like a tile) is never written through.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import shutil
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from .. import files

TILESET_JSON = "tileset.json"
_OURS = re.compile(r"r[0-7]*\.glb|tileset\.json")
# Not following links: a name in a folder the build made is the build's own.
_NEW_FILE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
_PIECE_FILE = os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC


def check_target(out: Path) -> None:
    """Refuses an `out_dir` that the new tileset cannot replace: anything
    but a missing folder, an empty one or one holding only a tileset's
    files (tileset.json and tiles r*.glb)."""
    if not os.path.lexists(out):
        return
    if out.is_symlink() or not out.is_dir():
        raise ValueError(f"out_dir: {out} exists and is not a folder")
    with os.scandir(out) as entries:
        foreign = next((entry.name for entry in entries if not _OURS.fullmatch(entry.name)), None)
    if foreign is not None:
        raise ValueError(f"out_dir: {out} holds {foreign!r}, not a file of a tileset; "
                         "give a new folder, an empty one or one holding a tileset")


@contextlib.contextmanager
def staged(out: Path) -> Iterator[tuple[Path, Path]]:
    """(stage, work): a new folder beside `out` for the tileset's files and
    a folder inside it for temporary ones (both with the umask's mode). The
    stage replaces `out` when the block completes, without the work folder;
    it is removed when the block fails, leaving `out` as it was."""
    check_target(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    stage = files.staging_folder(out)
    try:
        work = stage / ".work"
        os.mkdir(work, 0o777)
        yield stage, work
        shutil.rmtree(work)
        _replace(stage, out)
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise


def _replace(stage: Path, out: Path) -> None:
    check_target(out)  # again: the folder may have changed meanwhile
    if not os.path.lexists(out) or not any(out.iterdir()):
        os.replace(stage, out)  # a folder may replace an empty one
        return
    old = out.parent / os.fsdecode(files.temporary_name(out.name, b".old"))
    os.rename(out, old)
    try:
        os.rename(stage, out)
    except BaseException:
        os.rename(old, out)
        raise
    shutil.rmtree(old, ignore_errors=True)


def _bytes_of(data: Any) -> memoryview:
    if isinstance(data, np.ndarray):
        return memoryview(np.ascontiguousarray(data).reshape(-1).view(np.uint8))
    return memoryview(data).cast("B")


def _write_all(fd: int, data: Any, path: str) -> None:
    view = _bytes_of(data)
    try:
        while view:
            view = view[os.write(fd, view):]
    except OSError as error:
        raise OSError(error.errno, f"writing {path} failed: {error.strerror}") from None


def _open(path: str, flags: int) -> int:
    try:
        return os.open(path, flags, 0o666)
    except OSError as error:
        raise OSError(error.errno, f"creating {path} failed: {error.strerror}") from None


def write_new(path: str | Path, data: Any) -> None:
    """Writes `data` (bytes or a C-contiguous array) to a new file `path`,
    never to an existing one or through a link."""
    name = os.fspath(path)
    fd = _open(name, _NEW_FILE)
    try:
        _write_all(fd, data, name)
    finally:
        os.close(fd)


def append(path: str | Path, array: np.ndarray) -> None:
    """Appends the bytes of a C-contiguous array to the temporary file `path`."""
    name = os.fspath(path)
    fd = _open(name, _PIECE_FILE)
    try:
        _write_all(fd, array, name)
    finally:
        os.close(fd)


def read_into(path: str | Path, offset: int, out: np.ndarray) -> None:
    """Fills `out` (C-contiguous) with the bytes of `path` from `offset` on."""
    with open(path, "rb") as file:
        file.seek(offset)
        if out.nbytes and file.readinto(_bytes_of(out)) != out.nbytes:
            raise OSError(f"{path}: shorter than expected")


def json_text(document: Any) -> str:
    """Strict JSON: a NaN or an infinity raises instead of being written."""
    return json.dumps(document, separators=(",", ":"), allow_nan=False) + "\n"
