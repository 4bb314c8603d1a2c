"""Writing files so that a crash or a full disk never leaves a truncated one."""

from __future__ import annotations

import os
import secrets
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO, Union

PathLike = Union[str, "os.PathLike[str]"]


def _sync_directory(directory: Path) -> None:
    # The rename is durable only once the directory entry is on disk too.
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# Every file system we write to allows names of 255 bytes; the temporary
# name keeps within that whatever the target's name.
NAME_MAX = 255
TEMPORARY_MARK = b"plexorin-"


def temporary_name(name: str, suffix: bytes = b".tmp") -> bytes:
    """A fresh name for the temporary file of `name`: ``.NAME.plexorin-XXXXXXXXXXXX.tmp``
    (or another suffix), with NAME cut at a character boundary so that the
    whole fits NAME_MAX."""
    tail = TEMPORARY_MARK + secrets.token_hex(6).encode() + suffix
    whole = os.fsencode(name)
    cut = min(len(whole), NAME_MAX - len(tail) - 2)
    while 0 < cut < len(whole) and (whole[cut] & 0xC0) == 0x80:  # no UTF-8 character cut in two
        cut -= 1
    return b"." + whole[:cut] + b"." + tail


def save(path: PathLike, data: bytes | bytearray | memoryview) -> Path:
    """Write `data` to `path` atomically and return the path.

    The bytes go to a temporary file ``.NAME.plexorin-XXXXXXXXXXXX.tmp`` in
    the target's folder (NAME shortened when the target's name is long),
    which is flushed and synced to disk and then renamed over the target. A
    failure (a full disk, a missing folder, no permission) raises OSError
    naming `path`, removes the temporary file and leaves any earlier file at
    `path` as it was; only a process killed outright leaves the temporary
    file behind. The new file gets the usual permissions of the process (its
    umask applies).
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"data: expected bytes, got {type(data).__name__}")
    return save_with(path, lambda file: file.write(data))


def save_with(path: PathLike, write: Callable[[BinaryIO], object]) -> Path:
    """`save` of what `write` writes into the open temporary file, for data
    written in parts."""
    target = Path(os.fspath(path))
    directory = target.parent
    temporary = os.path.join(os.fsencode(directory), temporary_name(target.name))
    try:
        _write_and_replace(temporary, target, write)
    except OSError as error:
        # The temporary name means nothing to the caller: name the target.
        raise OSError(error.errno, error.strerror or str(error), str(target)) from None
    _sync_directory(directory)
    return target


def _write_and_replace(temporary: bytes, target: Path, write: Callable[[BinaryIO], object]) -> None:
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with os.fdopen(fd, "wb") as file:
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def staging_folder(target: Path) -> Path:
    """A new empty folder ``.NAME.plexorin-XXXXXXXXXXXX.partial`` beside
    `target`, made with the usual permissions of the process (its umask
    applies, as for any folder it makes), for building what is renamed to
    `target` when complete."""
    parent = os.fsencode(target.absolute().parent)
    while True:
        folder = os.path.join(parent, temporary_name(target.name, b".partial"))
        try:
            os.mkdir(folder, 0o777)
        except FileExistsError:
            continue
        return Path(os.fsdecode(folder))
