"""PDB and mmCIF files through gemmi, for `plexorin.molecules`.

gemmi reads real files robustly and fast (FlatStructure gives NumPy arrays
without a Python loop over the atoms). It groups atoms by residue, and
atoms of residues that share a chain, number and name (water numbers wrap
at 10000 in files written by MD programs) join the first such residue; the
atoms are put back into the file's order by their serial numbers, which
trajectories of the file follow. When serial numbers repeat too (written
modulo 100000 past 99999 atoms), that order is lost: MDAnalysis's reader
(30 times slower) reads the file when trajectories follow it, else gemmi's
order is kept, and CONECT records of repeated serial numbers are ignored.
"""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np

from ._molecule_elements import ion_element, virtual_names, warn_unknown
from ._molecule_sources import (
    Frame,
    Frames,
    Topology,
    empty_universe_selector,
    import_module,
    read_mdanalysis,
    rejected_by,
)
from .elements import MAX_Z, SYMBOLS
from .readers import UnreadableFile

_DEUTERIUM = 119  # gemmi's own number for D, kept apart from H


class _Texts(NamedTuple):
    """Per-atom strings as the distinct ones and a code per atom."""
    unique: np.ndarray   # str
    codes: np.ndarray    # index into unique, per atom

    def values(self) -> np.ndarray:
        values: np.ndarray = self.unique[self.codes]
        return values

    def taken(self, order: np.ndarray) -> _Texts:
        return _Texts(self.unique, self.codes[order])


def _texts(array: Any) -> _Texts:
    """gemmi's fixed-width byte strings, (N, 8) or (N,) int8: each string is
    one 64-bit integer, so the distinct ones are found at integer speed."""
    raw = np.asarray(array, dtype=np.int8)
    raw = raw.reshape(len(raw), -1)
    padded = np.zeros((len(raw), 8), dtype=np.int8)
    padded[:, :raw.shape[1]] = raw
    unique, codes = np.unique(padded.view(np.uint64).reshape(-1), return_inverse=True)
    texts = np.char.decode(unique.view("S8"), "latin-1").astype(str)
    return _Texts(texts, codes.reshape(-1))


def _file_order(model: np.ndarray, serials: np.ndarray) -> np.ndarray | None:
    """Indices that put the atoms back into the file's order, or None when
    serial numbers repeat within a model."""
    same = model[1:] == model[:-1]
    if not np.any(same & (np.diff(serials) <= 0)):
        return np.arange(len(model))
    order = np.lexsort((serials, model))
    repeated = (np.diff(serials[order]) == 0) & (model[order][1:] == model[order][:-1])
    return None if repeated.any() else order


def _bonds(structure: Any, serials: np.ndarray) -> np.ndarray:
    """CONECT records as (M, 2) atom indices, i < j, each bond once."""
    pairs = [(a, b) for a, partners in structure.conect_map.items() for b in partners]
    if not pairs:
        return np.zeros((0, 2), np.int64)
    order = np.argsort(serials, kind="stable")
    ordered = serials[order]
    repeated = ordered[1:][np.diff(ordered) == 0]
    ends = np.asarray(pairs, dtype=np.int64)
    indices = order[np.clip(np.searchsorted(ordered, ends), 0, len(order) - 1)]
    found = (serials[indices] == ends).all(axis=1) & ~np.isin(ends, repeated).any(axis=1)
    bonds = np.sort(indices[found], axis=1)
    return np.unique(bonds[bonds[:, 0] != bonds[:, 1]], axis=0)


def _residue_indices(chains: _Texts, numbers: np.ndarray, codes: _Texts, names: _Texts) -> np.ndarray:
    changed = np.ones(len(numbers), dtype=bool)
    changed[1:] = ((np.diff(chains.codes) != 0) | (np.diff(numbers) != 0)
                   | (np.diff(codes.codes) != 0) | (np.diff(names.codes) != 0))
    return np.cumsum(changed) - 1


def _elements(raw: np.ndarray, names: _Texts, resnames: _Texts) -> tuple[np.ndarray, np.ndarray]:
    """(Z, virtual) per atom: gemmi's element, or an ion's (`ion_element`),
    worked out once per name and residue name; X atoms named as virtual
    sites are virtual."""
    raw = np.where(raw == _DEUTERIUM, 1, np.where(raw > MAX_Z, 0, raw))
    pairs = names.codes.astype(np.int64) * len(resnames.unique) + resnames.codes
    _, first, inverse = np.unique(pairs, return_index=True, return_inverse=True)
    ions = np.array([ion_element(names.unique[names.codes[i]], resnames.unique[resnames.codes[i]])
                     or 0 for i in first.tolist()], np.uint8)[inverse.reshape(-1)]
    elements = np.where(ions > 0, ions, raw).astype(np.uint8)
    virtual = (elements == 0) & virtual_names(names.unique)[names.codes]
    warn_unknown(names.unique[np.unique(names.codes[(elements == 0) & ~virtual])])
    return elements, virtual


def _flat_arrays(flat: Any) -> dict[str, Any]:
    return {"model": np.asarray(flat.model_num), "serials": np.asarray(flat.serials, np.int64),
            "positions": np.asarray(flat.pos, dtype=np.float64),
            "elements": np.asarray(flat.elements), "names": _texts(flat.atom_names),
            "resnames": _texts(flat.residue_names), "chains": _texts(flat.chain_ids),
            "resids": np.asarray(flat.resnums), "icodes": _texts(flat.icodes),
            "het": _texts(flat.het_flags), "b_factor": np.asarray(flat.b_iso, np.float64),
            "occupancy": np.asarray(flat.occ, np.float64), "charge": np.asarray(flat.charge)}


def _take(values: Any, order: Any) -> Any:
    return values.taken(order) if isinstance(values, _Texts) else values[order]


def read_gemmi(path: Path, file_order: bool = True) -> Topology:
    """A PDB or mmCIF file; the models of an ensemble are its frames. With
    `file_order`, the atoms are in the file's order, whatever it costs."""
    gemmi = import_module("gemmi", "PDB and mmCIF files")
    with rejected_by(path, "gemmi"):
        # Chain parts stay apart, in the file's order.
        structure = gemmi.read_structure(str(path), merge_chain_parts=False)
        every = _flat_arrays(gemmi.FlatStructure(structure))
    model = every["model"]
    if len(model) == 0:
        raise UnreadableFile(f"{path}: gemmi finds no atoms in it")
    order = _file_order(model, every["serials"])
    if order is None and file_order:
        return read_mdanalysis(path)
    if order is None:
        order = np.lexsort((np.arange(len(model)), model))
    every = {name: _take(values, order) for name, values in every.items()}
    models, sizes = np.unique(every["model"], return_counts=True)
    count = int(sizes[0])
    if np.any(sizes != count):
        odd = int(np.argmax(sizes != count))
        raise UnreadableFile(f"{path}: model {models[odd]} has {sizes[odd]:,} atoms, model "
                             f"{models[0]} {count:,}; every model must hold the same atoms")
    positions = every["positions"]
    flat = {name: _take(values, slice(0, count)) for name, values in every.items()}
    elements, virtual = _elements(flat["elements"], flat["names"], flat["resnames"])
    cell = (np.asarray(structure.cell.orth.mat, dtype=np.float64).T
            if structure.cell.is_crystal() else None)

    def read(frames: slice) -> Iterator[Frame]:
        for index in range(len(models))[frames]:
            yield Frame(positions[index * count:(index + 1) * count], None, cell)

    def fields() -> tuple[dict[str, np.ndarray], np.ndarray, dict[str, np.ndarray], np.ndarray]:
        atoms = {"names": flat["names"].values(), "chainIDs": flat["chains"].values(),
                 "elements": np.array(SYMBOLS)[elements], "tempfactors": flat["b_factor"],
                 "occupancies": flat["occupancy"],
                 "record_types": np.where(flat["het"].values() == "H", "HETATM", "ATOM")}
        residues = {"resnames": flat["resnames"].values(), "resids": flat["resids"],
                    "icodes": flat["icodes"].values()}
        return (atoms, _residue_indices(flat["chains"], flat["resids"], flat["icodes"],
                                        flat["resnames"]), residues, flat["chains"].values())
    arrays = {key: flat[key] for key in ("b_factor", "occupancy")}
    if flat["charge"].any():
        arrays["charge"] = flat["charge"].astype(np.float64)
    return Topology(path, elements, virtual, empty_universe_selector(fields), Frames(len(models), read),
                    _bonds(structure, flat["serials"]), arrays)
