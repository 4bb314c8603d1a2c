"""Element colours and radii as ASE keeps them, independent of plexorin's
own table: Jmol's colours (8-bit sRGB, made linear as glTF stores colours)
and Bondi's van der Waals radii."""

import numpy as np


def jmol_linear(element):
    """The linear RGB of an element given by symbol or atomic number."""
    from ase.data import atomic_numbers
    from ase.data.colors import jmol_colors
    z = atomic_numbers[element] if isinstance(element, str) else int(element)
    srgb = np.round(jmol_colors[z] * 255) / 255
    return np.where(srgb <= 0.04045, srgb / 12.92, ((srgb + 0.055) / 1.055) ** 2.4)


def bondi_radius(element):
    from ase.data import atomic_numbers, vdw_radii
    return float(vdw_radii[atomic_numbers[element]])
