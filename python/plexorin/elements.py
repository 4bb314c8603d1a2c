"""The periodic table as molecular viewers draw it.

For each atomic number Z (0 is "X", a dummy for unknown elements and virtual
sites) the table holds:

    SYMBOLS          chemical symbols
    JMOL_COLORS      Jmol's element colours, sRGB, (119, 3) uint8
    LINEAR_COLORS    the same as linear-light floats, as glTF's colour factors take them
    VDW_RADII        van der Waals radii (Angstrom)
    COVALENT_RADII   covalent radii (Angstrom), for guessing bonds

BALL_AND_STICK_RADIUS_SCALE is the fraction of the van der Waals radius
that ball-and-stick balls take.

Sources, as kept by ASE's ``ase.data`` (the tests compare every entry):
  - colours: Jmol's table, for Z 1..109. Z 110..118, which Jmol leaves out,
    continue Meitnerium's red, 8 steps darker each; X is light grey D3D3D3.
    No two entries share a colour.
  - van der Waals: Bondi (J. Phys. Chem. 1964, 68, 441, with Mantina et al.'s
    main-group additions of 2009), where Bondi gives one; else Alvarez
    (Dalton Trans. 2013, 42, 8617), for the transition metals, lanthanides and
    actinides Bondi lacks; else FALLBACK_RADIUS (2.0 A: X, Pm, Po..Ra, Fm and
    beyond).
  - covalent: Cordero et al. (Dalton Trans. 2008, 2832) for Z 1..96, else
    FALLBACK_RADIUS; X has 0.2 A, as in ASE.

    atomic_numbers(elements)  symbols in any case ("FE", "fe", "Fe") or numbers -> Z (uint8)
    species(elements)         (types, Species): one type per element present, by Z
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

FALLBACK_RADIUS = 2.0
# The fraction of the van der Waals radius that the balls of a ball-and-stick
# drawing take (`plexorin.atoms(..., radius_scale=...)`); space-filling
# spheres take the whole radius.
BALL_AND_STICK_RADIUS_SCALE = 0.25

# Z, symbol, Jmol colour, Bondi vdW, Alvarez vdW, Cordero covalent ("-": none).
_TABLE = """\
  0 X   D3D3D3     -     -  0.20
  1 H   FFFFFF  1.20  1.20  0.31
  2 He  D9FFFF  1.40  1.43  0.28
  3 Li  CC80FF  1.82  2.12  1.28
  4 Be  C2FF00  1.53  1.98  0.96
  5 B   FFB5B5  1.92  1.91  0.84
  6 C   909090  1.70  1.77  0.76
  7 N   3050F8  1.55  1.66  0.71
  8 O   FF0D0D  1.52  1.50  0.66
  9 F   90E050  1.47  1.46  0.57
 10 Ne  B3E3F5  1.54  1.58  0.58
 11 Na  AB5CF2  2.27  2.50  1.66
 12 Mg  8AFF00  1.73  2.51  1.41
 13 Al  BFA6A6  1.84  2.25  1.21
 14 Si  F0C8A0  2.10  2.19  1.11
 15 P   FF8000  1.80  1.90  1.07
 16 S   FFFF30  1.80  1.89  1.05
 17 Cl  1FF01F  1.75  1.82  1.02
 18 Ar  80D1E3  1.88  1.83  1.06
 19 K   8F40D4  2.75  2.73  2.03
 20 Ca  3DFF00  2.31  2.62  1.76
 21 Sc  E6E6E6     -  2.58  1.70
 22 Ti  BFC2C7     -  2.46  1.60
 23 V   A6A6AB     -  2.42  1.53
 24 Cr  8A99C7     -  2.45  1.39
 25 Mn  9C7AC7     -  2.45  1.39
 26 Fe  E06633     -  2.44  1.32
 27 Co  F090A0     -  2.40  1.26
 28 Ni  50D050  1.63  2.40  1.24
 29 Cu  C88033  1.40  2.38  1.32
 30 Zn  7D80B0  1.39  2.39  1.22
 31 Ga  C28F8F  1.87  2.32  1.22
 32 Ge  668F8F  2.11  2.29  1.20
 33 As  BD80E3  1.85  1.88  1.19
 34 Se  FFA100  1.90  1.82  1.20
 35 Br  A62929  1.85  1.86  1.20
 36 Kr  5CB8D1  2.02  2.25  1.16
 37 Rb  702EB0  3.03  3.21  2.20
 38 Sr  00FF00  2.49  2.84  1.95
 39 Y   94FFFF     -  2.75  1.90
 40 Zr  94E0E0     -  2.52  1.75
 41 Nb  73C2C9     -  2.56  1.64
 42 Mo  54B5B5     -  2.45  1.54
 43 Tc  3B9E9E     -  2.44  1.47
 44 Ru  248F8F     -  2.46  1.46
 45 Rh  0A7D8C     -  2.44  1.42
 46 Pd  006985  1.63  2.15  1.39
 47 Ag  C0C0C0  1.72  2.53  1.45
 48 Cd  FFD98F  1.58  2.49  1.44
 49 In  A67573  1.93  2.43  1.42
 50 Sn  668080  2.17  2.42  1.39
 51 Sb  9E63B5  2.06  2.47  1.39
 52 Te  D47A00  2.06  1.99  1.38
 53 I   940094  1.98  2.04  1.39
 54 Xe  429EB0  2.16  2.06  1.40
 55 Cs  57178F  3.43  3.48  2.44
 56 Ba  00C900  2.49  3.03  2.15
 57 La  70D4FF     -  2.98  2.07
 58 Ce  FFFFC7     -  2.88  2.04
 59 Pr  D9FFC7     -  2.92  2.03
 60 Nd  C7FFC7     -  2.95  2.01
 61 Pm  A3FFC7     -     -  1.99
 62 Sm  8FFFC7     -  2.90  1.98
 63 Eu  61FFC7     -  2.87  1.98
 64 Gd  45FFC7     -  2.83  1.96
 65 Tb  30FFC7     -  2.79  1.94
 66 Dy  1FFFC7     -  2.87  1.92
 67 Ho  00FF9C     -  2.81  1.92
 68 Er  00E675     -  2.83  1.89
 69 Tm  00D452     -  2.79  1.90
 70 Yb  00BF38     -  2.80  1.87
 71 Lu  00AB24     -  2.74  1.87
 72 Hf  4DC2FF     -  2.63  1.75
 73 Ta  4DA6FF     -  2.53  1.70
 74 W   2194D6     -  2.57  1.62
 75 Re  267DAB     -  2.49  1.51
 76 Os  266696     -  2.48  1.44
 77 Ir  175487     -  2.41  1.41
 78 Pt  D0D0E0  1.75  2.29  1.36
 79 Au  FFD123  1.66  2.32  1.36
 80 Hg  B8B8D0  1.55  2.45  1.32
 81 Tl  A6544D  1.96  2.47  1.45
 82 Pb  575961  2.02  2.60  1.46
 83 Bi  9E4FB5  2.07  2.54  1.48
 84 Po  AB5C00  1.97     -  1.40
 85 At  754F45  2.02     -  1.50
 86 Rn  428296  2.20     -  1.50
 87 Fr  420066  3.48     -  2.60
 88 Ra  007D00  2.83     -  2.21
 89 Ac  70ABFA     -  2.80  2.15
 90 Th  00BAFF     -  2.93  2.06
 91 Pa  00A1FF     -  2.88  2.00
 92 U   008FFF  1.86  2.71  1.96
 93 Np  0080FF     -  2.82  1.90
 94 Pu  006BFF     -  2.81  1.87
 95 Am  545CF2     -  2.83  1.80
 96 Cm  785CE3     -  3.05  1.69
 97 Bk  8A4FE3     -  3.40     -
 98 Cf  A136D4     -  3.05     -
 99 Es  B31FD4     -  2.70     -
100 Fm  B31FBA     -     -     -
101 Md  B30DA6     -     -     -
102 No  BD0D87     -     -     -
103 Lr  C70066     -     -     -
104 Rf  CC0059     -     -     -
105 Db  D1004F     -     -     -
106 Sg  D90045     -     -     -
107 Bh  E00038     -     -     -
108 Hs  E6002E     -     -     -
109 Mt  EB0026     -     -     -
110 Ds  E30026     -     -     -
111 Rg  DB0026     -     -     -
112 Cn  D30026     -     -     -
113 Nh  CB0026     -     -     -
114 Fl  C30026     -     -     -
115 Mc  BB0026     -     -     -
116 Lv  B30026     -     -     -
117 Ts  AB0026     -     -     -
118 Og  A30026     -     -     -
"""


class UnknownElementWarning(UserWarning):
    """Element symbols that name no element; their atoms get Z 0 ("X")."""


def _column(index: int, rows: list[list[str]]) -> np.ndarray:
    return np.array([np.nan if row[index] == "-" else float(row[index]) for row in rows])


def _srgb_to_linear(srgb: np.ndarray) -> np.ndarray:
    c = srgb / 255.0
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def _frozen(array: np.ndarray) -> np.ndarray:
    array.setflags(write=False)
    return array


_ROWS = [line.split() for line in _TABLE.splitlines()]
SYMBOLS: tuple[str, ...] = tuple(row[1] for row in _ROWS)
JMOL_COLORS = _frozen(np.array([[int(row[2][i:i + 2], 16) for i in (0, 2, 4)] for row in _ROWS],
                               dtype=np.uint8))
LINEAR_COLORS = _frozen(_srgb_to_linear(JMOL_COLORS.astype(np.float64)))
BONDI_RADII = _frozen(_column(3, _ROWS))
ALVAREZ_RADII = _frozen(_column(4, _ROWS))
VDW_RADII = _frozen(np.where(np.isnan(BONDI_RADII),
                             np.where(np.isnan(ALVAREZ_RADII), FALLBACK_RADIUS, ALVAREZ_RADII),
                             BONDI_RADII))
COVALENT_RADII = _frozen(np.nan_to_num(_column(5, _ROWS), nan=FALLBACK_RADIUS))
MAX_Z = len(SYMBOLS) - 1

# Upper-case symbol -> Z; D and T (deuterium, tritium) are hydrogen.
_BY_SYMBOL = {symbol.upper(): z for z, symbol in enumerate(SYMBOLS) if z} | {"D": 1, "T": 1}


def atomic_number(symbol: str) -> int | None:
    """Z of one element symbol in any case ("FE", "fe", "Fe"), or None."""
    return _BY_SYMBOL.get(symbol.strip().upper())


def atomic_numbers(elements: Any, name: str = "elements") -> np.ndarray:
    """Z (uint8, N) of each element, given as symbols in any case or as
    atomic numbers 0..118. Unknown symbols give Z 0 and one
    UnknownElementWarning listing them; numbers out of range raise a
    ValueError naming `name` and the first bad row."""
    array = np.asarray(elements)
    if array.ndim != 1:
        array = array.reshape(-1)
    if array.dtype.kind in "iu" or array.dtype.kind == "f" and array.size == 0:
        return _checked_numbers(array, name)
    if array.dtype.kind not in "UO":
        raise TypeError(f"{name}: expected element symbols or atomic numbers, got {array.dtype}")
    unique, inverse = np.unique(array.astype(str), return_inverse=True)
    numbers = np.zeros(len(unique), dtype=np.uint8)
    unknown = []
    for index, text in enumerate(unique.tolist()):
        z = int(text) if text.strip().isdigit() and int(text) <= MAX_Z else atomic_number(text)
        if z is None:
            unknown.append(text)
        else:
            numbers[index] = z
    if unknown:
        shown = ", ".join(repr(u) for u in unknown[:20]) + (" ..." if len(unknown) > 20 else "")
        warnings.warn(f"{name}: unknown element symbols, drawn as X: {shown}",
                      UnknownElementWarning, stacklevel=2)
    return numbers[inverse.reshape(-1)]


def _checked_numbers(array: np.ndarray, name: str) -> np.ndarray:
    bad = np.flatnonzero((array < 0) | (array > MAX_Z))
    if bad.size:
        raise ValueError(f"{name}[{bad[0]}] = {array[bad[0]]} is not an atomic number 0..{MAX_Z}")
    return array.astype(np.uint8)


@dataclass(frozen=True)
class Species:
    """The elements present, one row per type, in order of Z."""
    numbers: np.ndarray         # Z per type (uint8)
    symbols: tuple[str, ...]
    colors: np.ndarray          # sRGB (types, 3) uint8
    linear_colors: np.ndarray   # linear RGB (types, 3) float64
    vdw_radii: np.ndarray       # Angstrom
    covalent_radii: np.ndarray  # Angstrom


def species(elements: Any) -> tuple[np.ndarray, Species]:
    """Types for atoms of these elements (symbols or numbers, as
    `atomic_numbers` takes them): each element present gets its own type,
    numbered by increasing Z, so no two elements share a colour. Returns the
    type of each atom (uint16) and the table of the types."""
    numbers = atomic_numbers(elements)
    present = np.flatnonzero(np.bincount(numbers, minlength=MAX_Z + 1)).astype(numbers.dtype)
    lookup = np.zeros(MAX_Z + 1, np.uint16)  # by counting: linear, once per trajectory frame
    lookup[present] = np.arange(len(present))
    types = lookup[numbers]
    table = Species(present, tuple(SYMBOLS[z] for z in present.tolist()), JMOL_COLORS[present],
                    LINEAR_COLORS[present], VDW_RADII[present], COVALENT_RADII[present])
    return types.reshape(-1).astype(np.uint16), table
