"""The public builders: NumPy arrays in, one complete GLB file out, as bytes."""

from ._atoms import atoms
from ._common import flag as _flag, thread_limit as _workers
from ._mesh import mesh
from ._points import point_cloud, point_cloud_file

__all__ = ["atoms", "mesh", "point_cloud", "point_cloud_file", "_flag", "_workers"]
