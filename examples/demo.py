"""Builds an atom cloud from generated data and prints its size and header."""
import struct

import numpy as np

import _plexorin

rng = np.random.default_rng(7)
positions = rng.random((1_000_000, 3), dtype=np.float32)
types = rng.integers(0, 8, len(positions), dtype=np.uint16)
glb = _plexorin.atom_glb(positions, types, [0, 0, 0], [1, 1, 1])
magic, version, length = struct.unpack_from("<4sII", glb)
print(f"atom cloud: {len(glb)} bytes, magic {magic!r}, version {version}, length {length}")
