"""Writing files so that a crash or a full disk never leaves a truncated one."""

from __future__ import annotations

import os
import secrets
from pathlib import Path
from typing import Union

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


def save(path: PathLike, data: bytes | bytearray | memoryview) -> Path:
    """Write `data` to `path` atomically and return the path.

    The bytes go to a temporary file in the target's folder, which is flushed
    and synced to disk and then renamed over the target. A failure (a full
    disk, a missing folder, no permission) raises OSError, removes the
    temporary file and leaves any earlier file at `path` as it was. The new
    file gets the usual permissions of the process (its umask applies).
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"data: expected bytes, got {type(data).__name__}")
    target = Path(os.fspath(path))
    directory = target.parent
    temporary = directory / f".{target.name}.{secrets.token_hex(6)}.tmp"
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with os.fdopen(fd, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_directory(directory)
    return target
