"""plexorin: scientific arrays to binary glTF 2.0 (GLB) files.

The functions take NumPy arrays (or anything NumPy reads as one) and return
one complete GLB file as bytes, with exact bounds, ready for three.js,
Babylon, Cesium, Blender or any glTF reader:

    atoms(positions, types, *, box=None)          atoms in Morton order, coloured by type
    atoms(positions, elements=symbols)            ... or by element (Jmol's colours)
    point_cloud(positions, colors=None)           points with optional colours
    mesh(positions, faces, *, normals=None, colors=None, material=None)
    save(path, data)                              write a file atomically
    tileset(out_dir, positions, ...)              an OGC 3D Tiles 1.1 tileset of GLB tiles
    animate(frames, types=None, *, elements=None) a trajectory as one animated GLB
    save_animation(path, frames, ...)             ... streamed to a file

Example:
    >>> import numpy as np, plexorin
    >>> xyz = np.random.default_rng(0).normal(size=(1000, 3))
    >>> glb = plexorin.atoms(xyz, np.zeros(1000, dtype=int))
    >>> plexorin.save("atoms.glb", glb)  # doctest: +SKIP

The same inputs always give the same bytes. The low-level module
``_plexorin`` below this package keeps its own fixed interface.
"""

from ._version import __version__
from .animation import animate, save_animation
from .builders import atoms, mesh, point_cloud
from .files import save
from .material import Material
from .tiles import tileset

__all__ = ["Material", "__version__", "animate", "atoms", "mesh", "point_cloud", "save",
           "save_animation", "tileset"]
