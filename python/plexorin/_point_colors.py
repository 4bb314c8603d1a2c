"""The colours `convert` gives points: RGB, or a value per point through a
colour map (classification through the ASPRS class colours, intensity as a
grey ramp by default)."""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np

from . import colormaps
from ._las_attributes import default_color_by, rgb_is_empty


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of points' colours and values (convert, tiles)."""
    parser.add_argument("--color-by", metavar="NAME",
                        help="points: colour by RGB ('rgb') or by a value per point, e.g. "
                             "intensity, classification (default: RGB unless all zero, else "
                             "classification, else intensity)")
    parser.add_argument("--cmap", metavar="NAME",
                        help="the colour map of --color-by (default: ASPRS class colours for "
                             "classification, gray for intensity, else viridis)")
    parser.add_argument("--gps-time", action="store_true",
                        help="LAS/LAZ: keep GPS time, as float32 seconds after the first")


class ColorChoiceError(ValueError):
    """--color-by names nothing the file has."""


def point_colors(colors: np.ndarray | None, attributes: dict[str, np.ndarray],
                 color_by: str | None, cmap: str | None, warn: Any) -> np.ndarray | None:
    """The COLOR_0 of converted points. `warn(text)` reports all-zero RGB."""
    if rgb_is_empty(colors):
        warn("the file's RGB is zero for every point: coloured by its other values instead")
        colors = None
    chosen = color_by if color_by is not None else default_color_by(colors, attributes)
    if chosen is None:
        return None
    if chosen == "rgb":
        if colors is None:
            raise ColorChoiceError("--color-by rgb: the file has no RGB colours")
        return colors
    if chosen not in attributes:
        known = ", ".join(["rgb", *attributes]) if colors is not None else ", ".join(attributes)
        raise ColorChoiceError(f"--color-by {chosen}: the file has no such value (it has: "
                               f"{known or 'none'})")
    values = attributes[chosen]
    if values.ndim != 1:
        raise ColorChoiceError(f"--color-by {chosen}: {values.shape[1]} values per point; "
                               f"colours need one")
    if chosen == "classification" and cmap is None:
        return colormaps.class_colors(values)
    if chosen == "intensity" and cmap is None:
        cmap = "gray"
    return colormaps.scalar_colors(values, cmap)
