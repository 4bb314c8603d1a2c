"""Readers of the input files of ``plexorin convert``.

Each reader takes a path and returns one small record of NumPy arrays, ready
for the builder of the same kind:

    read_atoms(path, index=0) -> AtomsData(positions, elements, box) any file ASE reads
    iter_atoms(path)          -> AtomsData per frame                  the same, every frame
    read_ply(path)            -> PointsData | MeshData                PLY, through plyfile
    read_las(path)            -> PointsData                           LAS/LAZ, through laspy
    read(path, index=0)       the reader chosen by the file name (READERS, else ASE)

The third-party readers are the optional extra ``plexorin[io]``; a missing
one raises `MissingReader`, a file a reader rejects `UnreadableFile`, both
with a one-line message. A progress bar (tqdm, on stderr when it is a
terminal) follows reads that take more than a second.

Atoms carry their elements (atomic numbers, ``plexorin.elements``), which
``plexorin.atoms(..., elements=...)`` draws in Jmol's element colours, with
van der Waals radii as spheres.

ASE gives atoms of LAMMPS dumps without an element column the atomic number
of their LAMMPS type (type 1 is H, 2 is He, ...), so their colours follow.
"""

from __future__ import annotations

import contextlib
import io
import itertools
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from tqdm import tqdm

from . import _input_limits
from ._las_attributes import las_attributes
from .elements import atomic_numbers

EXTRA_HINT = "pip install 'plexorin[io]'"

@dataclass(frozen=True)
class AtomsData:
    """Atoms: positions (N, 3), atomic numbers (N,) uint8 (0 for X), the
    periodic cell's bounding box as (lo, hi) or None, and its vectors a, b,
    c as rows (3, 3) when it starts at zero, or None."""
    positions: np.ndarray
    elements: np.ndarray
    box: tuple[np.ndarray, np.ndarray] | None = None
    cell: np.ndarray | None = None

    def atoms_arguments(self) -> dict[str, Any]:
        """The keyword arguments of `plexorin.atoms` that draw these atoms."""
        return {"positions": self.positions, "elements": self.elements, "box": self.box}


@dataclass(frozen=True)
class PointsData:
    """Points: positions (N, 3), colours (N, 3 or 4) uint8/uint16/float, or None,
    and values per point by name (LAS intensity, classification ...)."""
    positions: np.ndarray
    colors: np.ndarray | None = None
    attributes: dict[str, np.ndarray] = field(default_factory=dict)


@dataclass(frozen=True)
class MeshData:
    """Triangles: vertex positions (V, 3), faces (M, 3), vertex colours or None."""
    positions: np.ndarray
    faces: np.ndarray
    colors: np.ndarray | None = None


InputData = AtomsData | PointsData | MeshData


class ReadError(Exception):
    """An input that cannot be read; the message is one line naming the file."""


class MissingReader(ReadError):
    """The optional package that reads this format is not installed."""


class UnknownFormat(ReadError):
    """No reader knows the file's format."""


class UnreadableFile(ReadError):
    """The reader rejected the file."""


def _rejected(path: Path, reader: str, error: BaseException) -> UnreadableFile:
    text = " ".join(str(error).split()) or type(error).__name__
    return UnreadableFile(f"{path}: {reader} cannot read it ({text[:200]})")


# ---- Progress of reads ----------------------------------------------------

class _ProgressRaw(io.RawIOBase):
    """A file whose reads and seeks move a progress bar to the file position."""

    def __init__(self, raw: io.FileIO, bar: tqdm[Any]):
        super().__init__()
        self._raw = raw
        self._bar = bar

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self._raw.seekable()

    def _follow(self) -> None:
        self._bar.update(self._raw.tell() - self._bar.n)

    def readinto(self, buffer: Any) -> int:
        count = self._raw.readinto(buffer)
        self._follow()
        return count

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        position = self._raw.seek(offset, whence)
        self._follow()
        return position

    def tell(self) -> int:
        return self._raw.tell()

    def fileno(self) -> int:
        # Readers built on numpy.fromfile (ASE's CP2K DCD) read the descriptor itself.
        return self._raw.fileno()

    def close(self) -> None:
        self._raw.close()
        super().close()


@contextlib.contextmanager
def progress_file(path: Path, text: bool = False) -> Iterator[Any]:
    """`path` opened for reading (binary, or UTF-8 text) behind a progress bar
    that appears when the read takes more than a second."""
    with tqdm(total=path.stat().st_size, desc=f"reading {path.name}", unit="B", unit_scale=True,
              unit_divisor=1024, delay=1, disable=None, leave=False) as bar:
        buffered = io.BufferedReader(_ProgressRaw(open(path, "rb", buffering=0), bar))
        stream: Any = io.TextIOWrapper(buffered, encoding="utf-8", errors="replace") if text else buffered
        with stream:
            yield stream


# ---- Atoms through ASE ----------------------------------------------------

def _import_ase(path: Path) -> Any:
    try:
        import ase.io
        import ase.io.formats
    except ImportError:
        raise MissingReader(f"{path}: not PLY or LAS/LAZ, and atom files are read with ASE, "
                            f"which is not installed ({EXTRA_HINT})") from None
    return ase


def _cell_box(atoms: Any) -> tuple[np.ndarray, np.ndarray] | None:
    """The bounding box of a periodic cell (its eight corners), or None."""
    cell = np.asarray(atoms.cell, dtype=np.float64)
    if not atoms.pbc.any() or abs(np.linalg.det(cell)) == 0:
        return None
    origin = np.asarray(atoms.get_celldisp(), dtype=np.float64).reshape(3)
    steps = np.array([[i, j, k] for i in (0, 1) for j in (0, 1) for k in (0, 1)], dtype=np.float64)
    corners = origin + steps @ cell
    return corners.min(axis=0), corners.max(axis=0)


def _cell_vectors(atoms: Any) -> np.ndarray | None:
    """The periodic cell's vectors as rows, when it starts at zero (the cell
    `plexorin.atoms` draws does), or None."""
    box = _cell_box(atoms)
    if box is None or np.any(np.asarray(atoms.get_celldisp(), dtype=np.float64) != 0):
        return None
    return np.asarray(atoms.cell, dtype=np.float64)


def atoms_data(atoms: Any) -> AtomsData:
    """An ase.Atoms whose atomic numbers were checked as AtomsData (positions,
    atomic numbers, periodic cell box and vectors)."""
    return AtomsData(np.asarray(atoms.get_positions(), dtype=np.float64),
                     atomic_numbers(atoms.get_atomic_numbers()), _cell_box(atoms),
                     _cell_vectors(atoms))


def read_atoms(path: Path, index: Any = 0) -> AtomsData:
    """The frame `index` (default the first) of an atom file ASE reads
    (xyz, extxyz, pdb, cif, POSCAR, LAMMPS dumps, ...); the format is
    guessed by ASE from the name and content."""
    path = Path(path)
    ase = _import_ase(path)
    format_name = _atom_format(ase, path)
    _input_limits.check_declared_sizes(path, format_name)
    try:
        frame = _read_with_ase(ase, path, index, format_name)
    except ReadError:
        raise
    except Exception as error:  # ASE's readers raise anything on a malformed file
        raise _rejected(path, f"ASE ({format_name})", error) from None
    if isinstance(frame, list):
        raise UnreadableFile(f"{path}: index {index!r} selects {len(frame)} frames, not one")
    _input_limits.check_atomic_numbers(path, frame.numbers)
    return atoms_data(frame)


def _atom_format(ase: Any, path: Path) -> str:
    try:
        return str(ase.io.formats.filetype(str(path), guess=False))
    except Exception as error:  # ASE signals unknown types in several ways
        raise UnknownFormat(f"{path}: unknown format (not PLY, LAS/LAZ, nor a format ASE "
                            f"recognises: {' '.join(str(error).split())[:120]})") from None


def iter_atoms(path: Path) -> Iterator[AtomsData]:
    """Every frame of an atom file ASE reads frame by frame (xyz, extxyz,
    LAMMPS dumps, ...), one after the other, as `read_atoms` gives each."""
    path = Path(path)
    if not path.is_file():
        raise ReadError(f"{path}: no such file" if not path.exists() else f"{path}: not a file")
    ase = _import_ase(path)
    format_name = _atom_format(ase, path)
    _input_limits.check_declared_sizes(path, format_name)
    frames = ase.io.iread(str(path), index=":", format=format_name)
    for number in itertools.count():
        try:
            frame = next(frames)
        except StopIteration:
            return
        except Exception as error:  # ASE's readers raise anything on a malformed file
            raise _rejected(path, f"ASE ({format_name})", error) from None
        if len(frame):  # ASE ends multi-model PDB files with an empty frame
            _input_limits.check_atomic_numbers(path, frame.numbers, number)
            yield atoms_data(frame)


def _read_with_ase(ase: Any, path: Path, index: Any, format_name: str) -> Any:
    io_format = ase.io.formats.ioformats.get(format_name)
    compressed = path.suffix.lower() in (".gz", ".bz2", ".xz")
    if io_format is None or not io_format.acceptsfd or compressed:
        return ase.io.read(str(path), index=index, format=format_name)
    with progress_file(path, text=not io_format.isbinary) as stream:
        return ase.io.read(stream, index=index, format=format_name)


# ---- PLY through plyfile --------------------------------------------------

def _import(module: str, what: str) -> Any:
    try:
        return __import__(module)
    except ImportError:
        raise MissingReader(f"{what} are read with {module}, which is not installed "
                            f"({EXTRA_HINT})") from None


def _ply_colors(vertices: np.ndarray, path: Path) -> np.ndarray | None:
    names = vertices.dtype.names or ()
    channels = [name for name in ("red", "green", "blue", "alpha") if name in names]
    if len(channels) < 3 or channels[:3] != ["red", "green", "blue"]:
        return None
    columns = [vertices[name] for name in channels]
    if len({c.dtype for c in columns}) > 1 and all(c.dtype.kind in "uf" for c in columns):
        # Mixed types (uchar red, ushort green): each scaled by its own type's range.
        columns = [c / np.iinfo(c.dtype).max if c.dtype.kind == "u" else c for c in columns]
    colors = np.column_stack(columns)
    if colors.dtype.kind == "u" and colors.dtype.itemsize <= 2 or colors.dtype.kind == "f":
        return colors
    raise UnreadableFile(f"{path}: vertex colours of type {colors.dtype} are not supported "
                         f"(expected uchar, ushort or float)")


def fan_triangles(polygons: Any) -> np.ndarray:
    """Polygons (a sequence of index arrays) as triangles (M, 3), each polygon
    of k >= 3 corners split into the k - 2 triangles of a fan around its first
    corner; polygons of fewer corners are dropped."""
    lengths = np.fromiter((len(p) for p in polygons), dtype=np.int64, count=len(polygons))
    if len(polygons) == 0:
        return np.zeros((0, 3), np.int64)
    flat = np.concatenate([np.asarray(p, dtype=np.int64).reshape(-1) for p in polygons])
    if (lengths == 3).all():
        return flat.reshape(-1, 3)
    fans = np.maximum(lengths - 2, 0)
    starts = np.repeat(np.cumsum(lengths) - lengths, fans)
    step = np.arange(fans.sum()) - np.repeat(np.cumsum(fans) - fans, fans) + 1
    return np.column_stack((flat[starts], flat[starts + step], flat[starts + step + 1]))


def read_ply(path: Path) -> PointsData | MeshData:
    """A PLY file (ASCII or binary): its vertices (x, y, z; colours from
    red/green/blue[/alpha] when present) as points, or, when it has faces
    (vertex_indices or vertex_index lists), as a triangle mesh."""
    path = Path(path)
    plyfile = _import("plyfile", "PLY files")
    _input_limits.check_declared_sizes(path, "ply")
    try:
        with progress_file(path) as stream:
            ply = plyfile.PlyData.read(stream)
        vertices = ply["vertex"].data
        positions = np.column_stack((vertices["x"], vertices["y"], vertices["z"]))
        polygons = _ply_polygons(ply)
    except ReadError:
        raise
    except Exception as error:  # plyfile raises its own and NumPy's errors
        raise _rejected(path, "plyfile", error) from None
    colors = _ply_colors(vertices, path)
    if polygons is None:
        return PointsData(positions, colors)
    _input_limits.check_face_indices(path, polygons)
    return MeshData(positions, fan_triangles(polygons), colors)


def _ply_polygons(ply: Any) -> Any:
    names = [element.name for element in ply.elements]
    if "face" not in names or ply["face"].count == 0:
        return None
    faces = ply["face"].data
    for name in ("vertex_indices", "vertex_index"):
        if name in (faces.dtype.names or ()):
            return faces[name]
    raise ValueError("the face element has no vertex_indices list")


# ---- LAS/LAZ through laspy ------------------------------------------------

def _las_colors(las: Any) -> np.ndarray | None:
    if not {"red", "green", "blue"} <= set(las.point_format.dimension_names):
        return None
    colors = np.column_stack((las.red, las.green, las.blue)).astype(np.uint16)
    # Many writers store 8-bit values in LAS's 16-bit fields: such files are
    # read as 8-bit colours, or they would show almost black.
    if colors.size and int(colors.max()) <= 255:
        return colors.astype(np.uint8)
    return colors


def read_las(path: Path, gps_time: bool = False) -> PointsData:
    """A LAS or LAZ point cloud: x, y, z as float64 with the file's scale and
    offset applied (z up, as LAS defines it), RGB when the point format has it
    (16-bit values; files whose colours all lie in 0..255 are taken as 8-bit),
    and its other values per point (_las_attributes.py; GPS time on request)."""
    path = Path(path)
    laspy = _import("laspy", "LAS/LAZ files")
    if path.suffix.lower() == ".laz" and not laspy.LazBackend.detect_available():
        raise MissingReader(f"{path}: LAZ files are decompressed with lazrs, which is not "
                            f"installed ({EXTRA_HINT})")
    _input_limits.check_declared_sizes(path, "las")
    try:
        with progress_file(path) as stream:
            las = laspy.read(stream)
        positions = np.asarray(las.xyz, dtype=np.float64)  # scaled, never rounded to float32
        colors = _las_colors(las)
        attributes = las_attributes(las, gps_time)
    except Exception as error:  # laspy raises its own and NumPy's errors
        raise _rejected(path, "laspy", error) from None
    return PointsData(positions, colors, attributes)


def las_header(path: Path) -> Any:
    """The header of a LAS or LAZ file (its CRS records among its VLRs)."""
    laspy = _import("laspy", "LAS/LAZ files")
    try:
        with laspy.open(path) as reader:
            return reader.header
    except OSError as error:
        raise UnreadableFile(f"{path}: {error.strerror or error}") from None
    except Exception as error:  # laspy raises its own and NumPy's errors
        raise _rejected(Path(path), "laspy", error) from None


# ---- Choice by file name --------------------------------------------------

# Suffix -> reader; every other file goes to ASE, which knows its own formats.
READERS: dict[str, Callable[[Path], InputData]] = {
    ".ply": read_ply,
    ".las": read_las,
    ".laz": read_las,
}


def read(path: Path, index: Any = 0, gps_time: bool = False) -> InputData:
    """The file at `path` through the reader its suffix selects (READERS),
    else as an atom file through ASE (`index` picks the frame); LAS GPS time
    on request."""
    path = Path(path)
    if not path.exists():
        raise ReadError(f"{path}: no such file")
    if not path.is_file():
        raise ReadError(f"{path}: not a file")
    reader = READERS.get(path.suffix.lower())
    if reader is read_las:
        return read_las(path, gps_time)
    return reader(path) if reader else read_atoms(path, index)
