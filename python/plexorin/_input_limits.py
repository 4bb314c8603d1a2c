"""What the readers hold a file to, before and after a third-party reader sees it.

ASE, plyfile and laspy trust the counts a file declares: a 22-byte xyz that
claims 10**12 atoms makes ASE read 10**12 empty lines, a LAS or PLY header's
count makes its reader allocate that many records. `check_declared_sizes`
compares such counts with what the file can hold (one atom per line, one
LAS record per record length, one PLY row per few bytes, one array element
per JSON value) before any reader starts, in one pass over the file without
copying it. `check_atomic_numbers` and `check_face_indices` refuse what a
reader returns but the builders cannot take as meant. Every refusal raises
readers.UnreadableFile naming the file, in one line.
"""

from __future__ import annotations

import json
import math
import mmap
import os
import struct
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn

import numpy as np

BLOCK = 1 << 24  # bytes scanned at a time for line ends
NEWLINE = ord("\n")
ELEMENTS = 119  # atomic numbers 0 (ASE's placeholder 'X') to 118


def _refuse(path: Path, problem: str) -> NoReturn:
    from .readers import UnreadableFile  # readers imports this module

    raise UnreadableFile(f"{path}: {problem}")


# ---- Lines of a memory-mapped file ------------------------------------------

def _newlines(data: mmap.mmap, start: int, end: int) -> int:
    count = 0
    for block in range(start, end, BLOCK):
        count += int(np.count_nonzero(
            np.frombuffer(data, np.uint8, min(BLOCK, end - block), block) == NEWLINE))
    return count


def _lines_from(data: mmap.mmap, start: int) -> int:
    """Lines from `start` to the end, a last one without a line end included."""
    size = len(data)
    if start >= size:
        return 0
    return _newlines(data, start, size) + (data[size - 1] != NEWLINE)


def _after_lines(data: mmap.mmap, start: int, lines: int) -> int | None:
    """Where the line after the next `lines` lines from `start` begins, or
    None if fewer lines follow."""
    size = len(data)
    while lines > 0:
        if start >= size:  # the last line may lack its line end
            return size if lines == 1 and data[size - 1] != NEWLINE else None
        length = min(size - start, max(lines * 64, 1 << 12), BLOCK)
        ends = np.flatnonzero(np.frombuffer(data, np.uint8, length, start) == NEWLINE)
        if len(ends) >= lines:
            return start + int(ends[lines - 1]) + 1
        lines -= len(ends)
        start += length
    return start


def _line(data: mmap.mmap, start: int) -> tuple[bytes, int]:
    """The line at `start` and where the next one begins (at most the end)."""
    end = data.find(b"\n", start)
    if end < 0:
        return data[start:], len(data)
    return data[start:end], end + 1


def _leading_integer(line: bytes) -> int | None:
    try:
        return int(line.split()[0])
    except (IndexError, ValueError):
        return None  # not a count: the reader says what is wrong


# ---- Declared counts, format by format ----------------------------------------

def _xyz(data: mmap.mmap, path: Path) -> str | None:
    """Frames of a count line, a comment line and one line per atom, walked as
    ASE's index of frames walks them (it stops at a blank count line)."""
    start, frame = 0, 0
    while start < len(data):
        line, after = _line(data, start)
        count = _leading_integer(line) if line.strip() else None
        if count is None or count < 0:
            return None
        following = _after_lines(data, after, count + 1)
        if following is None:
            return (f"frame {frame} declares {count:,} atoms, but only "
                    f"{_lines_from(data, after):,} lines follow (a comment, then one per atom)")
        start = following
        while data[start:start + 3] == b"VEC":  # lattice vectors after a frame
            start = _line(data, start)[1]
        frame += 1
    return None


def _lammps_dump(data: mmap.mmap, path: Path) -> str | None:
    """Each frame's atom count, against the lines left in the file."""
    marker = b"ITEM: NUMBER OF ATOMS"
    lines_left = _lines_from(data, 0)
    counted = start = 0
    while (found := data.find(marker, start)) >= 0:
        count_line, start = _line(data, _line(data, found)[1])
        lines_left -= _newlines(data, counted, start)
        counted = start
        count = _leading_integer(count_line)
        if count is not None and count > lines_left:
            return (f"a frame declares {count:,} atoms, more than the {lines_left:,} lines "
                    f"left in the file")
    return None


def _ase_json(data: mmap.mmap, path: Path) -> str | None:
    """Every array ASE would make (``{"__ndarray__": [shape, dtype, values]}``)
    has its values in the file; ASE fills a shorter list in by repetition."""
    size = len(data)
    problems: list[str] = []

    def check(item: dict[str, Any]) -> None:
        array = item.get("__ndarray__")
        if not problems and isinstance(array, list) and len(array) == 3:
            problems.extend(_array_problem(array, size))

    try:
        json.loads(data[:], object_hook=check)
    except RecursionError:
        return "the JSON nests arrays or objects too deeply to be read"
    except ValueError:
        return None  # not JSON: ASE says what is wrong
    return problems[0] if problems else None


def _array_problem(array: list[Any], size: int) -> list[str]:
    shape, dtype, values = array
    if not isinstance(shape, list) or not all(type(n) is int and n >= 0 for n in shape):
        return ["an array's shape is not a list of counts"]
    elements = math.prod(shape)
    try:
        itemsize = np.dtype(dtype).itemsize
    except (TypeError, ValueError):
        return []  # ASE says what is wrong
    given = len(values) if isinstance(values, list) else 1
    if elements > given:
        return [f"an array declares {elements:,} elements, but the file gives {given:,} values"]
    # Each value takes at least a byte of the file; no element type widens it 16 times.
    if elements * itemsize > 16 * size:
        return [f"an array of {elements:,} elements would take {elements * itemsize:,} bytes, "
                f"far more than the file's {size:,}"]
    return []


LAS_HEADER = struct.Struct("<4s20xBB68xHIIBHI")  # up to the legacy point count
LAS_POINT_SIZES = dict(enumerate((20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67)))  # formats 0-10


def _las(data: mmap.mmap, path: Path) -> str | None:
    """A LAS header's point count times its record length, against the bytes
    after the header (LAZ files compress their records: not bounded here)."""
    if len(data) < 227:
        return None  # laspy says what is wrong
    (signature, major, minor, header_size, point_offset, _, point_format,
     record_length, count) = LAS_HEADER.unpack_from(data, 0)
    if signature != b"LASF" or point_format & 0xC0:  # bits 6 and 7 mark LAZ
        return None
    if (major, minor) >= (1, 4) and len(data) >= 255 and header_size >= 255:
        count = max(count, struct.unpack_from("<Q", data, 247)[0])
    record_length = max(record_length, LAS_POINT_SIZES.get(point_format, 1))
    room = max(len(data) - point_offset, 0)
    if count * record_length > room:
        return (f"the header declares {count:,} points of {record_length} bytes, more than "
                f"the {room:,} bytes of points in the file")
    return None


PLY_SIZES = {name: size for size, names in
             ((1, "char uchar int8 uint8"), (2, "short ushort int16 uint16"),
              (4, "int uint int32 uint32 float float32"), (8, "double float64"))
             for name in names.split()}


def _ply(data: mmap.mmap, path: Path) -> str | None:
    """Each element's rows in a PLY header take at least their bytes (binary)
    or two characters per property (ASCII): their sum fits after the header."""
    end = data.find(b"end_header")
    if data[:3] != b"ply" or end < 0:
        return None
    binary, needed = False, 0
    elements: list[tuple[str, int, list[int]]] = []  # name, rows, bytes of each property
    for words in (line.split() for line in data[:end].decode("latin-1").splitlines()):
        if words[:1] == ["format"]:
            binary = words[1:2] != ["ascii"]
        elif words[:1] == ["element"] and len(words) == 3 and words[2].isdigit():
            elements.append((words[1], int(words[2]), []))
        elif words[:1] == ["property"] and elements and len(words) >= 3:
            # A list property's least is its length alone (an empty list).
            elements[-1][2].append(PLY_SIZES.get(words[2 if words[1] == "list" else 1], 1))
    for name, count, sizes in elements:
        needed += count * (sum(sizes) if binary else max(2 * len(sizes), 1))
        if needed > len(data) - end:
            return f"the header declares {count:,} {name[:40]} elements, more than the file holds"
    return None


CHECKS: dict[str, Callable[[mmap.mmap, Path], str | None]] = {
    "xyz": _xyz, "extxyz": _xyz, "lammps-dump-text": _lammps_dump, "json": _ase_json,
    "las": _las, "ply": _ply,
}
COMPRESSED = (".gz", ".bz2", ".xz", ".laz")  # read through a decompressor: not bounded here


def check_declared_sizes(path: Path, format_name: str) -> None:
    """Refuse a file whose declared counts (atoms, points, rows, array
    elements) exceed what its size can hold; formats not in CHECKS pass."""
    check = CHECKS.get(format_name)
    if check is None or path.suffix.lower() in COMPRESSED:
        return
    with open(path, "rb") as file:
        if os.fstat(file.fileno()).st_size == 0:
            return
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
            problem = check(data, path)
    if problem:
        _refuse(path, problem)


# ---- What a reader returned ------------------------------------------------------

def check_atomic_numbers(path: Path, numbers: np.ndarray, frame: int | None = None) -> None:
    """Refuse atomic numbers outside 0..118, which name no element."""
    numbers = np.asarray(numbers)
    bad = np.flatnonzero((numbers < 0) | (numbers >= ELEMENTS))
    if bad.size:
        where = f"frame {frame}, " if frame is not None else ""
        _refuse(path, f"{where}atom {int(bad[0])} has atomic number {int(numbers[bad[0]])}, "
                      f"outside 0..{ELEMENTS - 1}")


def check_face_indices(path: Path, polygons: Sequence[Any]) -> None:
    """Refuse face indices stored as floats that are not whole numbers (every
    face of a PLY list property has the list's one type)."""
    if len(polygons) == 0 or np.asarray(polygons[0]).dtype.kind != "f":
        return
    corners = np.concatenate([np.asarray(p, dtype=np.float64).reshape(-1) for p in polygons])
    with np.errstate(invalid="ignore"):
        whole = np.isfinite(corners) & (corners == np.trunc(corners))
    if not whole.all():
        lengths = np.fromiter((len(p) for p in polygons), np.int64, len(polygons))
        face = int(np.searchsorted(np.cumsum(lengths), np.argmin(whole), side="right"))
        _refuse(path, f"face {face} has a vertex index that is not a whole number")
