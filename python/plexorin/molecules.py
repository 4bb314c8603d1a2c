"""Molecules and their trajectories, read with the readers made for the field.

    read_molecule(topology, *trajectories, select=None, keep_virtual=False) -> Molecule

The topology's reader is chosen by its name:
  - PDB and mmCIF (.pdb .ent .cif .mmcif, also gzipped): gemmi, robust to
    real files (atom names such as 1HH1); the models of an ensemble are its
    frames, and CONECT records its bonds. A .cif without mmCIF's
    ``_atom_site.`` items is a small-molecule CIF and goes to ASE.
  - MD topologies (.psf .gro .tpr .prmtop .parm7 .top .data .pqr .crd .dms
    .mol2 .gsd): MDAnalysis, with the bonds of PSF, TPR and PRMTOP files.
  - every other file: ASE (xyz, extxyz, CIF, POSCAR, LAMMPS dumps, CP2K DCD...).
Trajectories after the topology (XTC, TRR, DCD, NetCDF, LAMMPS dumps, ...)
are read by MDAnalysis, one after the other, and must hold as many atoms per
frame as the topology.

Elements come from the file (element column, masses, or atom names through
MDAnalysis's guesser; see `_molecule_elements`). Virtual sites (TIP4P's MW,
lone pairs, atoms of mass 0) are dropped unless `keep_virtual`, and then
have element X (Z 0). `select` is MDAnalysis's selection language
("protein", "not resname SOL", "name CA and resid 1:50") over the file's
atoms, whichever reader read them.

MDAnalysis and gemmi are the optional extra ``plexorin[molecules]``, ASE
is in ``plexorin[io]``; a missing one raises `readers.MissingReader`, a
file the reader rejects `readers.UnreadableFile`, a bad selection
`readers.ReadError`, each with a one-line message.
"""

from __future__ import annotations

import gzip
import io
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from . import _gemmi_source, _molecule_sources as sources
from ._molecule_sources import Frame, Frames, Topology
from .readers import ReadError

__all__ = ["Frame", "Molecule", "read_molecule", "GEMMI_SUFFIXES", "MDANALYSIS_SUFFIXES"]

GEMMI_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif")
MDANALYSIS_SUFFIXES = (".psf", ".gro", ".tpr", ".prmtop", ".parm7", ".top", ".data", ".pqr",
                       ".crd", ".dms", ".mol2", ".gsd")


@dataclass(frozen=True, eq=False)
class Molecule:
    """The atoms of a molecular file after selection and dropping of virtual
    sites (N of them), and its frames.

    positions: (N, 3) float64, Angstrom, the first frame as read.
    elements:  (N,) uint8, atomic numbers (0 for X).
    bonds:     (M, 2) int64 indices into these atoms, from the topology
               (PSF, TPR, PRMTOP, PDB CONECT), only bonds with both atoms kept.
    cell:      rows a, b, c (3, 3) float64 of the periodic cell, or None.
    arrays:    per-atom arrays the file has, by name: "b_factor",
               "occupancy", "charge" (partial charges of MD topologies,
               formal charges of PDB/mmCIF files).
    indices:   (N,) int64, the index of each atom among the file's atoms,
               in the file's order (for a lone PDB file whose serial
               numbers repeat, gemmi's order of residues instead).
    n_frames:  frames the file or trajectories hold (None when the reader
               cannot tell without reading them all).
    """
    positions: np.ndarray
    elements: np.ndarray
    bonds: np.ndarray
    cell: np.ndarray | None
    arrays: Mapping[str, np.ndarray]
    indices: np.ndarray
    n_frames: int | None
    source: str
    _frames: Frames = field(repr=False)
    _file_atoms: int = field(repr=False, default=0)

    def frames(self, start: int | None = None, stop: int | None = None,
               step: int | None = None) -> Iterator[Frame]:
        """The frames start:stop:step (Python's slice rules) of these atoms:
        (positions float64, time in ps or None, cell or None)."""
        everything = len(self.indices) == self._file_atoms
        for frame in self._frames.read(slice(start, stop, step)):
            positions = frame.positions if everything else frame.positions[self.indices]
            yield Frame(positions, frame.time, frame.cell)

    def atoms_arguments(self, frame: Frame | None = None) -> dict[str, Any]:
        """The keyword arguments of `plexorin.atoms` that draw these atoms as
        they are in `frame` (by default the first): positions, elements (in
        Jmol's colours, with van der Waals radii as spheres), box."""
        frame = frame or Frame(self.positions, None, self.cell)
        return {"positions": frame.positions, "elements": self.elements,
                "box": cell_box(frame.cell)}


def cell_box(cell: np.ndarray | None) -> tuple[np.ndarray, np.ndarray] | None:
    """The bounding box of the cell's eight corners (origin at 0), or None."""
    if cell is None:
        return None
    steps = np.array([[i, j, k] for i in (0, 1) for j in (0, 1) for k in (0, 1)], dtype=np.float64)
    corners = steps @ np.asarray(cell, dtype=np.float64)
    return corners.min(axis=0), corners.max(axis=0)


def suffix_of(path: Path) -> str:
    """The suffix that names the format: .pdb of x.pdb and of x.pdb.gz."""
    suffixes = [s.lower() for s in path.suffixes[-2:]]
    return suffixes[0] if len(suffixes) == 2 and suffixes[1] == ".gz" else path.suffix.lower()


def is_mmcif(path: Path) -> bool:
    """Whether a .cif holds mmCIF's _atom_site.* items (not CIF 1.1's _atom_site_*)."""
    opened = gzip.open(path, "rb") if path.suffix.lower() == ".gz" else open(path, "rb")
    with opened as raw, io.TextIOWrapper(raw, encoding="latin-1") as text:
        for line in text:
            if line.startswith("_atom_site."):
                return True
            if line.startswith("_atom_site_"):
                return False
    return False


def read_topology(path: Path, file_order: bool) -> Topology:
    """The topology file through the reader its name selects; `file_order`
    when the atoms must keep the file's order (trajectories follow)."""
    suffix = suffix_of(path)
    if suffix in GEMMI_SUFFIXES and (suffix != ".cif" or is_mmcif(path)):
        return _gemmi_source.read_gemmi(path, file_order)
    if suffix in MDANALYSIS_SUFFIXES:
        return sources.read_mdanalysis(path)
    return sources.read_ase(path)


def _checked_file(name: Any) -> Path:
    path = Path(name)
    if not path.exists():
        raise ReadError(f"{path}: no such file")
    if not path.is_file():
        raise ReadError(f"{path}: not a file")
    return path


def _first_frame(frames: Frames, source: str) -> Frame:
    first = next(frames.read(slice(0, None, None)), None)
    if first is None:
        raise ReadError(f"{source}: no frames")
    return first


def _kept_atoms(topology: Topology, positions: np.ndarray, select: str | None,
                keep_virtual: bool) -> np.ndarray:
    keep = np.ones(topology.count, dtype=bool) if keep_virtual else ~topology.virtual
    if select is not None:
        chosen = np.zeros(topology.count, dtype=bool)
        try:
            chosen[topology.select(select, positions.astype(np.float32))] = True
        except ReadError:
            raise
        except Exception as error:  # MDAnalysis's SelectionError, ValueError, ...
            text = " ".join(str(error).split()) or type(error).__name__
            raise ReadError(f"--select {select!r}: {text[:200]}") from None
        if not chosen.any():
            raise ReadError(f"--select {select!r} selects no atoms of {topology.path}")
        keep &= chosen
        if not keep.any():
            raise ReadError(f"--select {select!r} selects only virtual sites of {topology.path} "
                            f"(keep them with keep_virtual)")
    return np.flatnonzero(keep)


def intra_bonds(bonds: np.ndarray, indices: np.ndarray, count: int) -> np.ndarray:
    """The bonds between atoms both kept, renumbered to their places in `indices`."""
    new = np.full(count, -1, dtype=np.int64)
    new[indices] = np.arange(len(indices))
    renumbered = new[bonds] if len(bonds) else np.zeros((0, 2), np.int64)
    return renumbered[(renumbered >= 0).all(axis=1)]


def read_molecule(topology: Any, *trajectories: Any, select: str | None = None,
                  keep_virtual: bool = False) -> Molecule:
    """The atoms of `topology` with the frames of `trajectories` (or of the
    topology file itself when none is given); see the module's text."""
    paths = [_checked_file(t) for t in trajectories]
    top = read_topology(_checked_file(topology), file_order=bool(paths))
    frames = sources.trajectory_frames(paths, top) if paths else top.frames
    source = " ".join(str(p) for p in [top.path, *paths])
    if frames is None:
        raise ReadError(f"{top.path}: holds no coordinates; give a trajectory after it")
    first = _first_frame(frames, source)
    if len(first.positions) != top.count:
        raise ReadError(f"{source}: {len(first.positions):,} atoms in the first frame, "
                        f"{top.count:,} in the topology")
    indices = _kept_atoms(top, first.positions, select, keep_virtual)
    arrays = {name: values[indices] for name, values in top.arrays.items()}
    return Molecule(first.positions[indices], top.elements[indices],
                    intra_bonds(top.bonds, indices, top.count), first.cell, arrays, indices,
                    frames.count, source, frames, top.count)
