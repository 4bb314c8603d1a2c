"""Elements of the atoms of a molecular file, and which atoms are virtual sites.

Molecular-dynamics files name their atoms in many ways. The element of each
atom is taken, in this order, from:
  1. the file's element column (PDB, mmCIF, TPR, PRMTOP), when it names one;
  2. an ion's name repeated as its residue name (CA in residue CA is
     calcium, NA in NA+ sodium), which name guessers read as C and N;
  3. the atom name, through MDAnalysis's guesser (PSF, GRO, LAMMPS data...),
     checked against the mass the file gives: a mass more than 1 u above
     the guessed element's that matches another element within 0.01 u is
     that element (CHARMM's calcium CAL); without a usable name, the element
     whose mass lies within 0.1 u of the file's.
Masses never override a name otherwise, so hydrogen mass repartitioning
(3.024 u hydrogens, lighter heavy atoms) and united atoms keep their names'
elements.

Virtual sites carry no element: atoms of mass 0 in the file (TPR, PSF,
PRMTOP) and, where no element column names one, atoms named like TIP4P/5P
sites and lone pairs (MW, M, EP*, LP*) or guessed as DUMMY. They are X
(Z 0), never tungsten or phosphorus.
"""

from __future__ import annotations

import re
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from .elements import MAX_Z, SYMBOLS, UnknownElementWarning, atomic_number

_VIRTUAL_NAME = re.compile(r"MW\d*|M\d*|EP\w*|LP\w*|DUMMY|DUM\d*", re.IGNORECASE)
_ION_CHARGE = "+-0123456789"

Guess = Callable[[str], str]


def ion_element(name: str, resname: str) -> int | None:
    """Z of an ion whose atom name repeats its residue name, else None."""
    name = name.strip()
    if not 1 <= len(name) <= 2 or name.upper() != resname.strip().strip(_ION_CHARGE).upper():
        return None
    return atomic_number(name)


def is_virtual_name(name: str) -> bool:
    return _VIRTUAL_NAME.fullmatch(name.strip()) is not None


def virtual_names(names: np.ndarray) -> np.ndarray:
    """Whether each name is that of a virtual site (bool per name)."""
    unique, inverse = np.unique(names, return_inverse=True)
    return np.array([is_virtual_name(n) for n in unique.tolist()], dtype=bool)[inverse.reshape(-1)]


def warn_unknown(names: np.ndarray) -> None:
    """One UnknownElementWarning naming the atoms of no known element, if any."""
    unknown = sorted(set(np.asarray(names, dtype=str).tolist()))
    if unknown:
        shown = ", ".join(unknown[:20]) + (" ..." if len(unknown) > 20 else "")
        warnings.warn(f"atoms of no known element, drawn as {SYMBOLS[0]}: {shown}",
                      UnknownElementWarning, stacklevel=4)


def _by_mass(mass: float, tolerance: float, masses: np.ndarray) -> int | None:
    z = int(np.nanargmin(np.abs(masses - mass)))
    return z if abs(masses[z] - mass) <= tolerance else None


def _one_atom(name: str, resname: str, column: str, mass: float,
              guess: Guess | None, masses: np.ndarray) -> tuple[int, bool]:
    """(Z, virtual) of one kind of atom; `mass` is NaN when the file gives none."""
    z = atomic_number(column) if column.strip() else None
    if z is not None:
        return z, mass == 0
    if mass == 0 or is_virtual_name(name):
        return 0, True
    z = ion_element(name, resname)
    if z is not None:
        return z, False
    guessed = guess(name) if guess is not None and name.strip() else ""
    if guessed.upper() == "DUMMY":
        return 0, True
    z = atomic_number(guessed) if guessed else None
    if np.isnan(mass):
        return (z if z is not None else 0), False
    if z is not None:
        heavier = _by_mass(mass, 0.01, masses) if mass > masses[z] + 1 else None
        return (heavier if heavier is not None else z), False
    z = _by_mass(mass, 0.1, masses)
    return (z if z is not None else 0), False


def _codes(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    unique, inverse = np.unique(values, return_inverse=True)
    return unique, inverse.reshape(-1).astype(np.int64)


def infer_elements(names: Any, resnames: Any, column: Any = None, masses: Any = None,
                   guess: Guess | None = None,
                   standard_masses: dict[str, float] | None = None) -> tuple[np.ndarray, np.ndarray]:
    """(Z uint8, virtual bool) per atom from the atoms' names, residue names,
    element column (or None) and masses from the file (or None), by the
    rules of this module. Atoms of no known element get Z 0 and one
    UnknownElementWarning naming them. Each distinct kind of atom is
    worked out once."""
    names = np.asarray(names, dtype=str)
    count = len(names)
    fields = [names, np.asarray(resnames, dtype=str),
              np.full(count, "") if column is None else np.asarray(column, dtype=str),
              np.full(count, np.nan) if masses is None else np.asarray(masses, dtype=np.float64)]
    key = np.zeros(count, dtype=np.int64)
    for field in fields:
        unique, inverse = _codes(field)
        key = key * len(unique) + inverse
    _, first, inverse = np.unique(key, return_index=True, return_inverse=True)
    table = np.full(MAX_Z + 1, np.nan)
    for symbol, value in (standard_masses or {}).items():
        z = atomic_number(symbol)
        if z:
            table[z] = value
    names, resnames, column, masses = fields
    kinds = [_one_atom(str(names[i]), str(resnames[i]), str(column[i]), float(masses[i]), guess, table)
             for i in first.tolist()]
    numbers = np.array([z for z, _ in kinds], dtype=np.uint8)
    virtual = np.array([v for _, v in kinds], dtype=bool)
    warn_unknown(names[first[(numbers == 0) & ~virtual]])
    inverse = inverse.reshape(-1)
    return numbers[inverse], virtual[inverse]
