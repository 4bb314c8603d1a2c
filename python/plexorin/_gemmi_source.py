"""PDB and mmCIF files through gemmi, for `plexorin.molecules`.

gemmi reads real files robustly and fast (FlatStructure gives NumPy arrays
without a Python loop over the atoms). It groups atoms by residue, and
atoms of residues that share a chain, number and name (water numbers wrap
at 10000 in files written by MD programs) join the first such residue; the
atoms are put back into the file's order by their serial numbers, which
trajectories of the file follow. When serial numbers repeat too (more than
99999 atoms), that order is lost and MDAnalysis's reader reads the file.
"""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from ._molecule_elements import ion_element, virtual_names, warn_unknown
from ._molecule_sources import (Frame, Frames, Topology, empty_universe_selector, import_module,
                                read_mdanalysis, rejected_by)
from .elements import MAX_Z, SYMBOLS
from .readers import UnreadableFile

_DEUTERIUM = 119  # gemmi's own number for D, kept apart from H


def _texts(array: Any) -> np.ndarray:
    """gemmi's fixed-width byte strings, (N, k) int8 or (N,) chars, as str."""
    raw = np.asarray(array)
    raw = raw.reshape(len(raw), -1)
    raw = raw.view(f"S{raw.shape[1]}").reshape(-1)
    unique, inverse = np.unique(raw, return_inverse=True)
    texts: np.ndarray = np.char.decode(unique, "latin-1").astype(str)
    return texts[inverse.reshape(-1)]


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
    ends = np.asarray(pairs, dtype=np.int64)
    indices = order[np.clip(np.searchsorted(serials[order], ends), 0, len(order) - 1)]
    bonds = np.sort(indices[(serials[indices] == ends).all(axis=1)], axis=1)
    return np.unique(bonds[bonds[:, 0] != bonds[:, 1]], axis=0)


def _residue_indices(chains: np.ndarray, numbers: np.ndarray, codes: np.ndarray,
                     names: np.ndarray) -> np.ndarray:
    changed = np.ones(len(chains), dtype=bool)
    changed[1:] = ((chains[1:] != chains[:-1]) | (numbers[1:] != numbers[:-1])
                   | (codes[1:] != codes[:-1]) | (names[1:] != names[:-1]))
    return np.cumsum(changed) - 1


def _ion_elements(names: np.ndarray, resnames: np.ndarray) -> np.ndarray:
    """Z of the atoms that are ions by `ion_element`, else 0; once per name and residue name."""
    _, by_name = np.unique(names, return_inverse=True)
    kinds, by_residue = np.unique(resnames, return_inverse=True)
    _, first, inverse = np.unique(by_name.reshape(-1) * len(kinds) + by_residue.reshape(-1),
                                  return_index=True, return_inverse=True)
    found = np.array([ion_element(names[i], resnames[i]) or 0 for i in first.tolist()], np.uint8)
    ions: np.ndarray = found[inverse.reshape(-1)]
    return ions


def _elements(flat: dict[str, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """(Z, virtual) per atom: gemmi's element, or an ion's; X atoms named as virtual sites are."""
    found = flat["elements"]
    found = np.where(found == _DEUTERIUM, 1, np.where(found > MAX_Z, 0, found))
    ions = _ion_elements(flat["names"], flat["resnames"])
    elements = np.where(ions > 0, ions, found).astype(np.uint8)
    virtual = (elements == 0) & virtual_names(flat["names"])
    warn_unknown(flat["names"][(elements == 0) & ~virtual])
    return elements, virtual


def _flat_arrays(flat: Any) -> dict[str, np.ndarray]:
    return {"model": np.asarray(flat.model_num), "serials": np.asarray(flat.serials, np.int64),
            "positions": np.asarray(flat.pos, dtype=np.float64),
            "elements": np.asarray(flat.elements), "names": _texts(flat.atom_names),
            "resnames": _texts(flat.residue_names), "chains": _texts(flat.chain_ids),
            "resids": np.asarray(flat.resnums), "icodes": _texts(flat.icodes),
            "het": _texts(flat.het_flags), "b_factor": np.asarray(flat.b_iso, np.float64),
            "occupancy": np.asarray(flat.occ, np.float64), "charge": np.asarray(flat.charge)}


def read_gemmi(path: Path) -> Topology:
    """A PDB or mmCIF file; the models of an ensemble are its frames."""
    gemmi = import_module("gemmi", "PDB and mmCIF files")
    with rejected_by(path, "gemmi"):
        # Chain parts stay apart, in the file's order.
        structure = gemmi.read_structure(str(path), merge_chain_parts=False)
        every = _flat_arrays(gemmi.FlatStructure(structure))
    model = every["model"]
    if len(model) == 0:
        raise UnreadableFile(f"{path}: gemmi finds no atoms in it")
    order = _file_order(model, every["serials"])
    if order is None:
        return read_mdanalysis(path)
    every = {name: values[order] for name, values in every.items()}
    models, sizes = np.unique(every["model"], return_counts=True)
    count = int(sizes[0])
    if np.any(sizes != count):
        odd = int(np.argmax(sizes != count))
        raise UnreadableFile(f"{path}: model {models[odd]} has {sizes[odd]:,} atoms, model "
                             f"{models[0]} {count:,}; every model must hold the same atoms")
    positions = every["positions"]
    flat = {name: values[:count] for name, values in every.items()}
    elements, virtual = _elements(flat)
    cell = (np.asarray(structure.cell.orth.mat, dtype=np.float64).T
            if structure.cell.is_crystal() else None)

    def read(frames: slice) -> Iterator[Frame]:
        for index in range(len(models))[frames]:
            yield Frame(positions[index * count:(index + 1) * count], None, cell)

    fields = {"names": flat["names"], "chainIDs": flat["chains"], "elements": np.array(SYMBOLS)[elements],
              "tempfactors": flat["b_factor"], "occupancies": flat["occupancy"],
              "record_types": np.where(flat["het"] == "H", "HETATM", "ATOM")}
    residues = _residue_indices(flat["chains"], flat["resids"], flat["icodes"], flat["resnames"])
    select = empty_universe_selector(fields, residues, {key: flat[key] for key in
                                                        ("resnames", "resids", "icodes")},
                                     flat["chains"])
    arrays = {key: flat[key] for key in ("b_factor", "occupancy")}
    if flat["charge"].any():
        arrays["charge"] = flat["charge"].astype(np.float64)
    return Topology(path, elements, virtual, select, Frames(len(models), read),
                    _bonds(structure, flat["serials"]), arrays)
