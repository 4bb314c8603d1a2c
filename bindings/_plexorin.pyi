"""Native builder of binary glTF (GLB) files from flat arrays.

Each function returns one complete GLB file as ``bytes``. Bulk arrays are read
in place from any object with the buffer protocol (NumPy arrays, ``bytes``,
``bytearray``, ``memoryview``, ``array.array``); a non-contiguous array is
copied once into row-major order. Bounds are never computed: the caller's
corners become the POSITION accessor's ``min`` and ``max`` unchanged.
"""

from collections.abc import Buffer, Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias

_Number: TypeAlias = SupportsFloat | SupportsIndex

class _ArrayVector(Protocol):
    # A NumPy array passes the module's sequence check although it is no
    # collections.abc.Sequence; this admits it (and other array types) as a
    # small vector such as ``positions.min(axis=0)``.
    def __array__(self) -> object: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...

# Bounds and colour factors: only the first 3, 4 or 6 elements are read, each
# converted with float(); a shorter vector raises ValueError("sequence too short").
_Vector: TypeAlias = Sequence[_Number] | _ArrayVector

def atom_glb(positions: Buffer, types: Buffer, vmin: _Vector, vmax: _Vector) -> bytes:
    """Atom cloud in Morton order, coloured by type from an eight-colour palette.

    positions: float32 x y z per atom; the atom count is the byte count // 12.
    types: one uint16 per atom (types 7 and above share the last colour).
    vmin, vmax: the bounding box corners; the Morton grid is laid over them.

    Raises ValueError when ``types`` holds fewer values than there are atoms,
    when a bound is not finite, or when the file would reach 2 GiB.
    """

def point_cloud_glb(positions: Buffer, colors: Buffer, vmin: _Vector, vmax: _Vector) -> bytes:
    """Point cloud with per-point float colours, packed unchanged in input order.

    positions: float32 x y z per point.
    colors: float32 RGB (3 per point) or RGBA (exactly 4 per point), in [0, 1].
    vmin, vmax: the bounding box corners written as POSITION min and max.

    Raises ValueError when a bound is not finite or the file would reach 2 GiB.
    """

def mesh_glb(
    positions: Buffer,
    normals: Buffer,
    indices: Buffer,
    bounds: _Vector,
    base_color: _Vector,
    metallic: SupportsFloat | SupportsIndex,
    roughness: SupportsFloat | SupportsIndex,
    emissive: _Vector,
    double_sided: bool,
    colors: Buffer | None = None,
) -> bytes:
    """Indexed triangle mesh with one metallic-roughness material.

    positions, normals: float32 x y z per vertex (unit normals).
    indices: uint32, three per triangle.
    bounds: min x y z, then max x y z.
    base_color: RGBA factor; emissive: RGB factor.
    colors: None, or float32 RGBA per vertex.

    Raises TypeError when ``colors`` is neither None nor a buffer, ValueError
    when a bound or factor is not finite or the file would reach 2 GiB.
    """
