"""The readers behind `plexorin.molecules`: MDAnalysis and ASE (gemmi's is
in `_gemmi_source`).

Each reader turns a topology file into a `Topology` over all the file's atoms
(elements, virtual sites, bonds, per-atom arrays, a selector and the file's
own frames); `trajectory_frames` reads trajectories through MDAnalysis.
Warnings of MDAnalysis about what it had to guess are silenced: what it
guesses is reported by the element rules of `_molecule_elements`.
"""

from __future__ import annotations

import contextlib
import importlib
import warnings
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

from ._molecule_elements import infer_elements
from .readers import MissingReader, ReadError, UnreadableFile

EXTRA_HINT = "pip install 'plexorin[molecules]'"


class Frame(NamedTuple):
    """One frame: positions (N, 3) float64 in Angstrom, the time in ps (None
    when the file has none, as for the models of a structure) and the
    periodic cell as rows a, b, c (3, 3) float64, or None."""
    positions: np.ndarray
    time: float | None
    cell: np.ndarray | None


@dataclass
class Frames:
    """The frames of a file over all its atoms: `read(slice)` yields them."""
    count: int | None
    read: Callable[[slice], Iterator[Frame]]


@dataclass
class Topology:
    """What a topology file says about each of its atoms."""
    path: Path
    elements: np.ndarray                      # Z, uint8
    virtual: np.ndarray                       # bool
    select: Callable[[str, np.ndarray], np.ndarray]   # (text, positions) -> atom indices
    frames: Frames | None                     # the file's own coordinates
    bonds: np.ndarray = field(default_factory=lambda: np.zeros((0, 2), np.int64))
    arrays: dict[str, np.ndarray] = field(default_factory=dict)

    @property
    def count(self) -> int:
        return len(self.elements)


def import_module(name: str, what: str, hint: str = EXTRA_HINT) -> Any:
    """The module `name`, or a MissingReader naming its package and extra."""
    try:
        return importlib.import_module(name)
    except ImportError:
        package = name.split(".")[0]
        raise MissingReader(f"{what} are read with {package}, which is not installed "
                            f"({hint})") from None


@contextlib.contextmanager
def rejected_by(path: Path, reader: str) -> Iterator[None]:
    """Errors of a third-party reader inside the block as one UnreadableFile line."""
    try:
        yield
    except ReadError:
        raise
    except Exception as error:  # the readers raise anything on a malformed file
        text = " ".join(str(error).split()) or type(error).__name__
        raise UnreadableFile(f"{path}: {reader} cannot read it ({text[:200]})") from None


@contextlib.contextmanager
def quiet_mdanalysis() -> Iterator[None]:
    """MDAnalysis's own warnings silenced (what it guesses, deprecations)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def cell_of_dimensions(dimensions: Any) -> np.ndarray | None:
    """Rows a, b, c of the cell [a, b, c, alpha, beta, gamma], or None when
    the file has no cell (missing, or zero lengths)."""
    if dimensions is None:
        return None
    dimensions = np.asarray(dimensions, dtype=np.float64)
    if not np.all(np.isfinite(dimensions)) or np.any(dimensions[:3] <= 0):
        return None
    mdamath = import_module("MDAnalysis.lib.mdamath", "periodic cells")
    return np.asarray(mdamath.triclinic_vectors(dimensions, dtype=np.float64))


def _reader_frames(reader: Any) -> Frames:
    def read(frames: slice) -> Iterator[Frame]:
        for ts in reader[frames]:
            with quiet_mdanalysis():  # "no dt information": the time counts frames in ps
                time = float(ts.time)
            yield Frame(np.array(ts.positions, dtype=np.float64), time,
                        cell_of_dimensions(ts.dimensions))
    return Frames(int(reader.n_frames), read)


# ---- MDAnalysis -----------------------------------------------------------------

def _attribute(universe: Any, name: str) -> np.ndarray | None:
    """A per-atom attribute the file gave (not one MDAnalysis guessed)."""
    attribute = getattr(universe._topology, name, None)
    if attribute is None or getattr(attribute, "is_guessed", False):
        return None
    return np.asarray(getattr(universe.atoms, name))


def _mdanalysis_selector(universe: Any) -> Callable[[str, np.ndarray], np.ndarray]:
    def select(text: str, positions: np.ndarray) -> np.ndarray:
        if not hasattr(universe, "trajectory"):  # a PSF: the first frame's coordinates
            memory = import_module("MDAnalysis.coordinates.memory", "selections")
            universe.load_new(positions.reshape(1, -1, 3), format=memory.MemoryReader)
        return np.asarray(universe.select_atoms(text).indices)
    return select


def read_mdanalysis(path: Path) -> Topology:
    """A topology file MDAnalysis reads (PSF, GRO, TPR, PRMTOP, LAMMPS data...)."""
    mda = import_module("MDAnalysis", f"{path.suffix} files")
    guessers = import_module("MDAnalysis.guesser.default_guesser", "MD topologies")
    tables = import_module("MDAnalysis.guesser.tables", "MD topologies")
    with rejected_by(path, "MDAnalysis"), quiet_mdanalysis():
        universe = mda.Universe(str(path))
        names = _attribute(universe, "names")
        if names is None:
            names = np.asarray(universe.atoms.types)
        resnames = _attribute(universe, "resnames")
        bonds = (np.asarray(universe.atoms.bonds.indices, dtype=np.int64).reshape(-1, 2)
                 if hasattr(universe.atoms, "bonds") else np.zeros((0, 2), np.int64))
    guesser = guessers.DefaultGuesser(universe)
    with rejected_by(path, "MDAnalysis"):
        elements, virtual = infer_elements(
            names, resnames if resnames is not None else np.full(len(names), ""),
            _attribute(universe, "elements"), _attribute(universe, "masses"),
            guesser.guess_atom_element, tables.masses)
    arrays = {key: values for key, attribute in (("charge", "charges"), ("b_factor", "tempfactors"),
                                                 ("occupancy", "occupancies"))
              if (values := _attribute(universe, attribute)) is not None}
    frames = _reader_frames(universe.trajectory) if hasattr(universe, "trajectory") else None
    return Topology(path, elements, virtual, _mdanalysis_selector(universe), frames, bonds, arrays)


def trajectory_frames(paths: list[Path], topology: Topology) -> Frames:
    """Frames of trajectory files, read by MDAnalysis one file after the
    other; every file must hold as many atoms per frame as the topology."""
    open_reader = import_module("MDAnalysis.coordinates.core", "trajectories").reader
    chain = import_module("MDAnalysis.coordinates.chain", "trajectories")
    formats = {".lammpstrj": "LAMMPSDUMP", ".dump": "LAMMPSDUMP"}
    # n_atoms is for the formats that do not store it (Amber's mdcrd).
    with quiet_mdanalysis():
        for path in paths:
            with rejected_by(path, "MDAnalysis"):
                reader = open_reader(str(path), format=formats.get(path.suffix.lower()),
                                     n_atoms=topology.count)
            count = int(reader.n_atoms)
            reader.close()
            if count != topology.count:
                raise ReadError(f"{path}: {count:,} atoms per frame, but the topology "
                                f"{topology.path} has {topology.count:,} atoms")
        with rejected_by(paths[0], "MDAnalysis"):
            reader = (open_reader(str(paths[0]), format=formats.get(paths[0].suffix.lower()),
                                  n_atoms=topology.count)
                      if len(paths) == 1 else chain.ChainReader([str(p) for p in paths],
                                                                n_atoms=topology.count))
    return _reader_frames(reader)


# ---- Selections over readers other than MDAnalysis ------------------------------

SelectionFields = tuple[dict[str, np.ndarray], np.ndarray, dict[str, np.ndarray], np.ndarray | None]


def empty_universe_selector(make_fields: Callable[[], SelectionFields]
                            ) -> Callable[[str, np.ndarray], np.ndarray]:
    """MDAnalysis's selection language over the atoms of a file another
    reader read. `make_fields` gives, when a selection is made, the atoms'
    attributes (names, elements...), each atom's residue (0.. in file
    order), the residues' attributes per atom (resnames, resids) and the
    atoms' chains (segments) or None; they form an MDAnalysis Universe."""
    def select(text: str, positions: np.ndarray) -> np.ndarray:
        mda = import_module("MDAnalysis", "selections")
        atom_fields, residue_of_atom, residue_fields, chains = make_fields()
        first = np.unique(residue_of_atom, return_index=True)[1]
        segments, segment_of_residue = (np.unique(chains[first], return_inverse=True)
                                        if chains is not None else (np.array(["SYSTEM"]), None))
        with quiet_mdanalysis():
            universe = mda.Universe.empty(len(residue_of_atom), len(first), len(segments),
                                          atom_resindex=residue_of_atom,
                                          residue_segindex=segment_of_residue, trajectory=True)
            for name, values in atom_fields.items():
                universe.add_TopologyAttr(name, values)
            for name, values in residue_fields.items():
                universe.add_TopologyAttr(name, values[first])
            universe.add_TopologyAttr("segids", segments)
            universe.atoms.positions = positions
            return np.asarray(universe.select_atoms(text).indices)
    return select


# ---- ASE ------------------------------------------------------------------------

def _ase_cell(atoms: Any) -> np.ndarray | None:
    cell = np.asarray(atoms.cell, dtype=np.float64)
    return cell if atoms.pbc.any() and abs(np.linalg.det(cell)) > 0 else None


def read_ase(path: Path) -> Topology:
    """An atom file ASE reads (xyz, extxyz, CIF, POSCAR, LAMMPS dumps, CP2K DCD...)."""
    ase_io = import_module("ase.io", "atom files", "pip install 'plexorin[io]'")
    with rejected_by(path, "ASE"):
        atoms = ase_io.read(str(path), index=0)

    def read(frames: slice) -> Iterator[Frame]:
        with rejected_by(path, "ASE"):
            for frame in ase_io.iread(str(path), index=frames):
                if len(frame):  # ASE ends some multi-model files with an empty frame
                    yield Frame(np.asarray(frame.positions, dtype=np.float64), None, _ase_cell(frame))

    symbols = np.asarray(atoms.get_chemical_symbols())
    select = empty_universe_selector(lambda: ({"names": symbols, "elements": symbols, "types": symbols},
                                              np.zeros(len(symbols), np.int64), {}, None))
    return Topology(path, np.asarray(atoms.numbers, dtype=np.uint8), np.zeros(len(atoms), bool),
                    select, Frames(None, read))
