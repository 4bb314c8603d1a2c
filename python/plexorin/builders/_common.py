"""What the builders share: the compressed layout's docstring and the checks of flags and thread limits."""

from __future__ import annotations

import inspect
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

ArrayLike = npt.ArrayLike


# The part of the docstrings that every builder shares.
_COMPRESSED_LAYOUT = """With ``compress=True`` the file is the compressed web layout instead:
    glTF 2.0 with KHR_mesh_quantization and EXT_meshopt_compression (both
    required; three.js reads it with GLTFLoader's meshopt decoder). Positions
    are unsigned 16-bit integers over the exact bounds with 14 bits used per
    axis, turned back into coordinates by the node's translation and scale:
    each coordinate is off by at most half a step, (max - min) / 32766 of its
    axis. POSITION bounds are the integers stored. Every stream is compressed
    by meshoptimizer's codecs; the bytes depend only on the inputs."""

# How positions are stored, and the up axis (see _origin.py for the rule).
_STORED_POSITIONS = """float32 positions (and float16,
            8- and 16-bit integers) as given. Others (float64, wider
            integers) as given when float32 keeps each coordinate within
            2^-22 * E, E the largest extent; otherwise as float32 offsets from
            an origin, the middle of their float64 bounds, that the file's
            root node "Frame" adds back (its translation, as float64): each
            coordinate is then within 2^-25 * E of the input, at any
            distance from zero. Readers that ignore node transforms see the
            offsets. Values that overflow float32 raise."""

_UP = """"y" (the default) keeps the coordinates as glTF's y-up world
            takes them; "z" stands z-up data (LiDAR, GIS, most CAD) upright:
            the root node "Frame" turns (x, y, z) into (x, z, -y), the data
            unchanged."""

_ATTRIBUTES = """a mapping of names to one value per point (per vertex
            for meshes): 1-D of any integer or float dtype, or (N, 2..4)
            floats. Each is the glTF attribute "_" + the name in upper case
            (``intensity`` -> ``_INTENSITY``), described by
            EXT_structural_metadata (class "point", one property each):
            8- and 16-bit integers as given, wider ones in the narrowest
            8/16-bit type holding their values, else float32 when exact
            (|v| <= 2^24, refused otherwise), floats as float32. They follow
            their points through every reordering, and compressed files hold
            them unchanged. Names must be identifiers, distinct in upper
            case."""

def with_compressed_layout[F: Callable[..., bytes]](function: F) -> F:
    # CPython 3.13 strips the docstrings' indentation; cleandoc strips the
    # constants' first line's, and their later lines are indented as the
    # arguments' text.
    text = function.__doc__ or ""
    for name, value in (("compressed_layout", inspect.cleandoc(_COMPRESSED_LAYOUT)),
                        ("stored_positions", _STORED_POSITIONS.replace("\n            ", "\n        ")),
                        ("up", _UP.replace("\n            ", "\n        ")),
                        ("attributes", _ATTRIBUTES.replace("\n            ", "\n        "))):
        text = text.replace("{" + name + "}", value)
    function.__doc__ = text
    return function


def flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected True or False, got {type(value).__name__}")
    return bool(value)


def thread_limit(value: Any) -> int:
    """The core's thread limit: 0 for its default of one per processor."""
    if value is None:
        return 0
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"workers: expected a positive integer or None, got {type(value).__name__}")
    if not 1 <= value <= 1024:
        raise ValueError(f"workers: expected 1..1024 threads, got {value}")
    return int(value)
