"""What a LAS/LAZ file carries besides positions and RGB, kept as values per
point, and the colour a converted file takes by default.

Standard dimensions keep laspy's names and types: intensity, classification,
return_number, number_of_returns, scan_angle_rank (formats 0-5, int8
degrees) or scan_angle (6-10, int16 steps of 0.006 degrees),
point_source_id, user_data. Extra-bytes dimensions keep their names (made
identifiers); scaled ones become float32. GPS time, on request, is float32
seconds after the file's first (its minimum): absolute GPS times (10^8 to
10^9 s) would lose their fractions in float32."""

from __future__ import annotations

import re
import warnings
from typing import Any

import numpy as np

from . import _attributes

STANDARD = ("intensity", "classification", "return_number", "number_of_returns",
            "scan_angle_rank", "scan_angle", "point_source_id", "user_data")


class AttributeWarning(UserWarning):
    """A value of the file that was left out; the message names it."""


def las_attributes(las: Any, gps_time: bool = False) -> dict[str, np.ndarray]:
    """The values per point of a laspy LasData, by attribute name."""
    names = set(las.point_format.dimension_names)
    kept: dict[str, np.ndarray] = {}
    for name in STANDARD:
        if name in names:
            kept[name] = np.asarray(las[name])
    if gps_time and "gps_time" in names:
        times = np.asarray(las["gps_time"], dtype=np.float64)
        kept["gps_time"] = (times - times.min()).astype(np.float32) if times.size else \
            times.astype(np.float32)
    for name in las.point_format.extra_dimension_names:
        _keep_extra(kept, name, np.asarray(las[name]))
    return kept


def _identifier(name: str) -> str:
    text = re.sub(r"[^A-Za-z0-9_]", "_", name.strip())
    return text if re.match(r"^[A-Za-z_]", text) else "_" + text


def _keep_extra(kept: dict[str, np.ndarray], raw_name: str, values: np.ndarray) -> None:
    name = _identifier(raw_name)
    if any(name.upper() == other.upper() for other in kept):
        warnings.warn(f"extra dimension {raw_name!r} left out: its name collides with "
                      f"{name!r}", AttributeWarning, stacklevel=3)
        return
    if values.ndim == 2 and values.shape[1] == 1:
        values = values[:, 0]
    if values.ndim == 2 and not 2 <= values.shape[1] <= 4:
        warnings.warn(f"extra dimension {raw_name!r} left out: {values.shape[1]} values per "
                      f"point (glTF takes 1 to 4)", AttributeWarning, stacklevel=3)
        return
    if values.dtype.kind in "iu":
        try:
            narrowed = _attributes.point_attributes({name: values}, len(values))[0][1]
        except ValueError:
            warnings.warn(f"extra dimension {raw_name!r} left out: its {values.dtype} values "
                          f"do not fit a glTF type exactly", AttributeWarning, stacklevel=3)
            return
        if values.ndim == 2 and narrowed.dtype != np.float32:
            narrowed = narrowed.astype(np.float32)
        kept[name] = narrowed
    else:
        kept[name] = values.astype(np.float32)


def rgb_is_empty(colors: np.ndarray | None) -> bool:
    return colors is not None and colors.size > 0 and not colors.any()


def default_color_by(colors: np.ndarray | None, attributes: dict[str, np.ndarray]) -> str | None:
    """RGB where it is not all zero, else classification where any point has a
    class, else an intensity ramp, else none."""
    if colors is not None and not rgb_is_empty(colors):
        return "rgb"
    classes = attributes.get("classification")
    if classes is not None and classes.size and classes.any():
        return "classification"
    intensity = attributes.get("intensity")
    if intensity is not None and intensity.size and intensity.any():
        return "intensity"
    return None
