"""Places on Earth: a coordinate reference system, the east-north-up frame at
a dataset's centre, and points projected into it.

A tileset with a CRS holds its points in the east-north-up (ENU) frame at the
data's centre, in metres; the root tile's transform maps that frame to
Earth-centred, Earth-fixed coordinates (EPSG:4978), which is where CesiumJS and
3d-tiles-renderer on a globe place it. pyproj (the extra ``plexorin[geo]``)
does the projection.

Heights are taken as the CRS says. A CRS without a vertical part (a projected
or geographic 2D CRS such as EPSG:32610) is promoted to 3D with z as height
above its ellipsoid (for EPSG:32610, WGS 84's), in the unit of its
horizontal axes when those are lengths (US survey feet for EPSG:6880, as LAS
files in such a CRS store z) and in metres for a geographic CRS. A compound
CRS whose geoid grid is not installed is projected without the geoid
correction (tens of metres); a warning says so.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

EARTH_CENTRED = "EPSG:4978"
_CHUNK = 1 << 20


def _pyproj() -> Any:
    try:
        import pyproj
    except ImportError:
        raise ImportError("crs: coordinate systems need pyproj, which is not installed "
                          "(pip install 'plexorin[geo]')") from None
    return pyproj


def resolve_crs(crs: Any) -> Any:
    """``crs`` as a ``pyproj.CRS``: anything pyproj accepts (``"EPSG:32610"``,
    WKT, PROJ JSON, a ``pyproj.CRS``)."""
    pyproj = _pyproj()
    try:
        return pyproj.CRS.from_user_input(crs)
    except pyproj.exceptions.CRSError as error:
        raise ValueError(f"crs: {crs!r} is not a coordinate reference system pyproj knows "
                         f"({error})") from None


@dataclass(frozen=True)
class EarthFrame:
    """The east-north-up frame at ``origin`` (Earth-centred metres)."""

    origin: np.ndarray  # (3,) float64, Earth-centred
    axes: np.ndarray  # (3, 3) float64, columns east, north, up
    transformer: Any  # the CRS to Earth-centred coordinates
    z_scale: float = 1.0  # metres per unit of the input's z

    def root_transform(self) -> list[float]:
        """The column-major 4x4 that maps the frame to Earth-centred coordinates."""
        east, north, up = self.axes.T
        return [*east, 0.0, *north, 0.0, *up, 0.0, *self.origin, 1.0]

    def to_local(self, xyz: np.ndarray) -> np.ndarray:
        """(N, 3) coordinates in the CRS as float32 metres in the frame, each
        projected and moved in float64 and rounded once."""
        out = np.empty((len(xyz), 3), dtype=np.float32)
        for start in range(0, len(xyz), _CHUNK):
            # Columns apart: pyproj transforms contiguous arrays in place.
            chunk = np.array(xyz[start:start + _CHUNK], dtype=np.float64, order="F")
            x, y, z = chunk[:, 0], chunk[:, 1], chunk[:, 2]
            if self.z_scale != 1.0:
                z *= self.z_scale
            self.transformer.transform(x, y, z, inplace=True)
            if not np.isfinite(x.sum() + y.sum() + z.sum()):  # one sum: Earth is not so large
                finite = np.isfinite(chunk).all(axis=1)
                row = start + int(np.flatnonzero(~finite)[0])
                raise ValueError(f"positions[{row}] has no place on Earth in the CRS "
                                 "(not finite, or outside what the projection covers)")
            chunk -= self.origin
            for axis in range(3):  # local = R^T (p - o), column by column (no strided matmul)
                e = self.axes[:, axis]
                out[start:start + len(chunk), axis] = x * e[0] + y * e[1] + z * e[2]
        return out


def enu_axes(origin: np.ndarray) -> np.ndarray:
    """East, north and up at an Earth-centred point, as the columns of a 3x3."""
    pyproj = _pyproj()
    to_geodetic = pyproj.Transformer.from_crs(EARTH_CENTRED, "EPSG:4979", always_xy=True)
    lon_deg, lat_deg, _ = to_geodetic.transform(*map(float, origin))
    lon, lat = math.radians(lon_deg), math.radians(lat_deg)
    east = (-math.sin(lon), math.cos(lon), 0.0)
    north = (-math.sin(lat) * math.cos(lon), -math.sin(lat) * math.sin(lon), math.cos(lat))
    up = (math.cos(lat) * math.cos(lon), math.cos(lat) * math.sin(lon), math.sin(lat))
    return np.array([east, north, up], dtype=np.float64).T


def earth_transformer(crs: Any) -> Any:
    """The transformation from ``crs`` to Earth-centred coordinates; ValueError
    naming crs when pyproj has none."""
    pyproj = _pyproj()
    source = resolve_crs(crs)
    try:
        return pyproj.Transformer.from_crs(source, EARTH_CENTRED, always_xy=True)
    except pyproj.exceptions.ProjError as error:
        raise ValueError(f"crs: {source.name} has no transformation to Earth-centred "
                         f"coordinates ({error})") from None


def height_scale(source: Any) -> float:
    """Metres per unit of z: the horizontal axes' unit for a 2D projected
    CRS (PROJ would take z in metres), 1 otherwise (the CRS says)."""
    axes = source.axis_info
    if len(axes) == 2 and source.is_projected and axes[0].unit_conversion_factor:
        return float(axes[0].unit_conversion_factor)
    return 1.0


def earth_frame(crs: Any, centre: np.ndarray) -> EarthFrame:
    """The ENU frame at ``centre`` (a point in ``crs``) and the projection into it."""
    pyproj = _pyproj()
    source = resolve_crs(crs)
    transformer = earth_transformer(source)
    _warn_without_best_operation(pyproj, source)
    _warn_outside_area(source, transformer, centre)
    z_scale = height_scale(source)
    x, y, z = map(float, centre)
    origin = np.array(transformer.transform(x, y, z * z_scale), dtype=np.float64)
    if not np.isfinite(origin).all():
        raise ValueError(f"crs: the data's centre {tuple(map(float, centre))} has no place on "
                         f"Earth in {source.name}")
    return EarthFrame(origin, enu_axes(origin), transformer, z_scale)


def _warn_without_best_operation(pyproj: Any, source: Any) -> None:
    with warnings.catch_warnings():  # pyproj's own warning is replaced by ours, which says what it means
        warnings.simplefilter("ignore", UserWarning)
        group = pyproj.transformer.TransformerGroup(source, EARTH_CENTRED, always_xy=True)
    if not group.best_available:
        warnings.warn(f"crs: the most accurate transformation from {source.name} is not available "
                      "(a grid PROJ needs is not installed, e.g. a geoid model; see projsync); "
                      "heights may be off by tens of metres", UserWarning, stacklevel=3)


def _warn_outside_area(source: Any, transformer: Any, centre: np.ndarray) -> None:
    area = source.area_of_use
    if area is None:
        return
    pyproj = _pyproj()
    to_geodetic = pyproj.Transformer.from_crs(source, "EPSG:4979", always_xy=True)
    lon, lat, _ = to_geodetic.transform(*map(float, centre))
    west, south, east, north = area.bounds
    inside_lon = west <= lon <= east if west <= east else (lon >= west or lon <= east)
    if not (inside_lon and south <= lat <= north):
        warnings.warn(f"crs: the data's centre ({lon:.4f}, {lat:.4f}) lies outside the area of use of "
                      f"{source.name} ({west}, {south}, {east}, {north}); is the CRS right?",
                      UserWarning, stacklevel=3)


def las_crs(header: Any) -> Any:
    """The CRS a LAS/LAZ header records (WKT or GeoTIFF keys), or None."""
    _pyproj()
    try:
        return header.parse_crs()
    except Exception as error:  # laspy raises several kinds on malformed records
        warnings.warn(f"the file's CRS records cannot be read ({error}); its coordinates stay local",
                      UserWarning, stacklevel=2)
        return None


def describe(crs: Any) -> str:
    """The CRS's name, and its authority code when it has one."""
    authority = crs.to_authority(min_confidence=90)
    return f"{crs.name} ({':'.join(authority)})" if authority else crs.name
