"""Colour by value: scalars through a named colour map, and the ASPRS
standard classification colours of LAS points.

Colour maps come from the `cmap` package (the ``colors`` extra), or from
matplotlib where it is installed. Their tables are sRGB display colours;
glTF's COLOR_0 is linear, so the colours are linearised and stored as
16-bit values (8 bits would lose up to 6/255 of the dark end)."""

from __future__ import annotations

from typing import Any

import numpy as np

DEFAULT_NAN_COLOR = (0.5, 0.5, 0.5)
_LUT_SIZE = 256

# ASPRS LAS 1.4 classes with the colours of a common GIS default style.
ASPRS_CLASSES: dict[int, tuple[str, str]] = {
    0: ("never classified", "BABABA"), 1: ("unclassified", "AAAAAA"), 2: ("ground", "AA5500"),
    3: ("low vegetation", "00AAAA"), 4: ("medium vegetation", "55FF55"),
    5: ("high vegetation", "00AA00"), 6: ("building", "FF5555"), 7: ("low noise", "AA0000"),
    8: ("reserved", "555555"), 9: ("water", "55FFFF"), 10: ("rail", "AA00AA"),
    11: ("road surface", "000000"), 12: ("reserved", "555555"), 13: ("wire guard", "FFFF55"),
    14: ("wire conductor", "FFFF55"), 15: ("transmission tower", "FF55FF"),
    16: ("wire connector", "FFFF55"), 17: ("bridge deck", "5555FF"), 18: ("high noise", "646464"),
}
_OTHER_CLASS = "555555"


def lookup_table(name: str) -> np.ndarray:
    """The (256, 3) sRGB float table of the colour map `name`."""
    if not isinstance(name, str):
        raise TypeError(f"cmap: expected a colour-map name, got {type(name).__name__}")
    try:
        from cmap import Colormap
    except ImportError:
        return _matplotlib_table(name)
    try:
        return np.asarray(Colormap(name).lut(_LUT_SIZE), dtype=np.float64)[:, :3]
    except (ValueError, KeyError):
        raise ValueError(f"cmap: unknown colour map {name!r}; e.g. 'viridis', 'magma', 'gray', "
                         f"'turbo', 'coolwarm'") from None


def _matplotlib_table(name: str) -> np.ndarray:
    try:
        import matplotlib
    except ImportError:
        raise ImportError("colour maps need the 'colors' extra: pip install 'plexorin[colors]'"
                          ) from None
    try:
        colormap = matplotlib.colormaps[name]
    except KeyError:
        some = ", ".join(repr(n) for n in sorted(matplotlib.colormaps)[:6])
        raise ValueError(f"cmap: unknown colour map {name!r}; e.g. 'viridis', {some}") from None
    return np.asarray(colormap(np.linspace(0.0, 1.0, _LUT_SIZE)), dtype=np.float64)[:, :3]


def srgb_to_linear(c: np.ndarray) -> np.ndarray:
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def _linear_u16(srgb: np.ndarray) -> np.ndarray:
    return np.round(srgb_to_linear(np.clip(srgb, 0.0, 1.0)) * 65535.0).astype(np.uint16)


def value_range(values: np.ndarray, clim: Any) -> tuple[float, float]:
    """(lo, hi): `clim` checked, or the finite minimum and maximum."""
    if clim is not None:
        try:
            lo, hi = (float(v) for v in clim)
        except (TypeError, ValueError):
            raise ValueError(f"clim: expected (lo, hi), got {clim!r}") from None
        if not (np.isfinite(lo) and np.isfinite(hi) and lo < hi):
            raise ValueError(f"clim: expected finite lo < hi, got ({lo}, {hi})")
        return lo, hi
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return 0.0, 1.0
    return float(finite.min()), float(finite.max())


def scalar_colors(values: Any, cmap: str | None = None, clim: Any = None,
                  nan_color: Any = None) -> np.ndarray:
    """(N, 3) linear uint16 colours of N scalars through `cmap` (default
    viridis) over `clim`, clamped at its ends; NaN takes `nan_color`."""
    array = np.asarray(values)
    if array.dtype.kind not in "iufb":
        raise TypeError(f"colors: expected numbers to colour by, got dtype {array.dtype}")
    array = array.astype(np.float64)
    table = lookup_table("viridis" if cmap is None else cmap)
    lo, hi = value_range(array, clim)
    t = np.clip((array - lo) / (hi - lo if hi > lo else 1.0), 0.0, 1.0) * (_LUT_SIZE - 1)
    t = np.nan_to_num(t, nan=0.0)
    below = np.minimum(np.floor(t).astype(np.intp), _LUT_SIZE - 2)
    weight = (t - below)[:, None]
    srgb = table[below] * (1.0 - weight) + table[below + 1] * weight
    nan = np.isnan(array)
    if nan.any():
        srgb[nan] = _nan_color(nan_color)
    return _linear_u16(srgb)


def _nan_color(value: Any) -> np.ndarray:
    color = np.asarray(DEFAULT_NAN_COLOR if value is None else value, dtype=np.float64)
    if color.shape != (3,) or not np.all((color >= 0) & (color <= 1)):
        raise ValueError(f"nan_color: expected (r, g, b) in [0, 1], got {value!r}")
    return color


def class_colors(classes: Any) -> np.ndarray:
    """(N, 3) linear uint16 colours of LAS classification codes (ASPRS)."""
    table = np.array([_hex_rgb(ASPRS_CLASSES.get(c, ("", _OTHER_CLASS))[1])
                      for c in range(256)])
    codes = np.asarray(classes).astype(np.intp) & 0xFF
    return _linear_u16(table[codes])


def _hex_rgb(text: str) -> tuple[float, float, float]:
    return tuple(int(text[i:i + 2], 16) / 255.0 for i in (0, 2, 4))  # type: ignore[return-value]


def resolve_colors(colors: Any, count: int, cmap: Any, clim: Any, nan_color: Any) -> Any:
    """`colors` as the builders take them: a 1-D array of scalars becomes
    colours through the map; (N, 3)/(N, 4) colours pass unchanged."""
    if colors is None:
        if cmap is not None or clim is not None:
            raise ValueError("cmap: given without scalar colors to map")
        return None
    array = colors if isinstance(colors, np.ndarray) else np.asarray(colors)
    if array.ndim != 1:
        if cmap is not None or clim is not None:
            raise ValueError(f"colors: cmap and clim need one value per point, shape ({count},), "
                             f"got {array.shape}")
        return colors
    if array.shape[0] != count:
        raise ValueError(f"colors: expected {count} values, one per point, got {array.shape[0]}")
    return scalar_colors(array, cmap, clim, nan_color)
