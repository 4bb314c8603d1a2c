"""The command line's ``plexorin tiles``: its arguments, its input (a
memory-mapped .npy or what a reader gives) and the CRS that places the
tileset on Earth (--crs, or a LAS/LAZ file's own unless --no-crs)."""

from __future__ import annotations

import argparse
import json
import sys
import warnings
from pathlib import Path
from typing import Any

import numpy as np

from . import _point_colors, geo, glb_text, readers
from .elements import LINEAR_COLORS
from .tiles import DEFAULT_POINTS_PER_TILE, tileset

TILES_EPILOG = """input:
  .npy               x y z per point, shape (N, 3), memory-mapped (np.load with
                     mmap_mode="r"), so it may be larger than memory
  anything else      what `plexorin convert` reads: PLY or LAS/LAZ points with their
                     colours, atoms through ASE (the first frame, as points in
                     Jmol's element colours)

The tileset is OUT_DIR/tileset.json with one GLB per tile (r.glb the root);
OUT_DIR must be new or empty, and appears only once the tileset is complete.
Open it with viewer/tiles.html.

A LAS/LAZ file's CRS (or --crs) places the tileset on the globe, in the
east-north-up frame at its centre (pyproj: pip install 'plexorin[geo]'); without
a vertical CRS, z is height above the ellipsoid in the horizontal axes' unit."""


def add_tiles(commands: Any) -> None:
    parser = commands.add_parser(
        "tiles", help="write an OGC 3D Tiles 1.1 tileset of points or atoms",
        description="Write an OGC 3D Tiles 1.1 tileset (octree, refinement ADD, GLB tiles) "
                    "of a point cloud or an atom file, built out of core in parallel.",
        epilog=TILES_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", type=Path, help="the file to read (.npy, PLY, LAS/LAZ, atoms)")
    parser.add_argument("out_dir", type=Path, metavar="OUT_DIR", help="the folder to write")
    parser.add_argument("--points-per-tile", type=int, default=DEFAULT_POINTS_PER_TILE,
                        metavar="N", help="split octree nodes holding more than N points "
                                          f"(default {DEFAULT_POINTS_PER_TILE:,})")
    parser.add_argument("--no-compress", dest="compress", action="store_false",
                        help="write float tiles instead of quantised, meshopt-compressed ones")
    place = parser.add_mutually_exclusive_group()
    place.add_argument("--crs", metavar="CRS",
                       help="the input's coordinate reference system (EPSG:32610, WKT, PROJ "
                            "JSON...): place the tileset on Earth")
    place.add_argument("--no-crs", action="store_true",
                       help="keep the data's own coordinates, ignoring a LAS/LAZ file's CRS")
    _point_colors.add_arguments(parser)
    parser.set_defaults(run=run_tiles)


def tile_input(args: argparse.Namespace) -> dict[str, Any]:
    """The tileset's arrays from args.input: a memory-mapped .npy or a
    reader's data (points with their values per point, coloured as
    `convert` colours them)."""
    from .cli import CommandError, one_line, read_points_or_atoms, warn
    path: Path = args.input
    if path.suffix.lower() != ".npy":
        data = read_points_or_atoms(args)
        if isinstance(data, readers.MeshData):
            raise CommandError(f"{path}: a triangle mesh; tiles hold points "
                               f"(plexorin convert writes meshes)")
        if isinstance(data, readers.AtomsData):  # points in element colours
            return {"positions": data.positions, "colors": LINEAR_COLORS[data.elements],
                    "box": data.box}
        colors = _point_colors.point_colors(data.colors, data.attributes, args.color_by,
                                            args.cmap, warn)
        return {"positions": data.positions, "colors": colors,
                "attributes": data.attributes or None}
    if args.color_by is not None:
        raise CommandError(f"--color-by {args.color_by}: {path} holds positions alone")
    if not path.is_file():
        raise readers.ReadError(f"{path}: no such file" if not path.exists() else f"{path}: not a file")
    try:
        positions = np.load(path, mmap_mode="r")
    except (ValueError, OSError, EOFError) as error:
        raise readers.UnreadableFile(f"{path}: NumPy cannot read it ({one_line(error)})") from None
    if positions.ndim != 2 or positions.shape[1] != 3 or positions.dtype.kind not in "fiu":
        raise CommandError(f"{path}: expected numbers of shape (N, 3), x y z per point; "
                           f"got {positions.dtype} of shape {positions.shape}")
    return {"positions": positions}


def given_crs(args: argparse.Namespace) -> Any:
    """--crs as a pyproj.CRS (refused before any file is read), or None."""
    from .cli import CommandError
    try:
        return None if args.crs is None else geo.resolve_crs(args.crs)
    except ImportError as error:
        raise CommandError(str(error)) from None


def tile_crs(args: argparse.Namespace, given: Any) -> tuple[Any, str | None]:
    """(CRS for `tileset` or None, the line that tells which): --crs, else a
    LAS/LAZ file's own unless --no-crs."""
    if given is None:
        if args.no_crs or args.input.suffix.lower() not in (".las", ".laz"):
            return None, None
        try:
            given = geo.las_crs(readers.las_header(args.input))
        except ImportError as error:
            return None, f"crs: not read, coordinates kept local ({error})"
    if given is None:
        return None, "crs: none, coordinates kept local"
    return given, f"crs: {geo.describe(given)}"


def run_tiles(args: argparse.Namespace) -> int:
    from .cli import staged_folder, warn
    given = given_crs(args)
    arrays = tile_input(args)
    # The CRS's warnings (a centre outside its area, a missing grid) as the
    # command's own one-line warnings.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", UserWarning)
        crs, crs_line = tile_crs(args, given)
        with staged_folder(args.out_dir) as stage:
            path = tileset(stage, points_per_tile=args.points_per_tile, compress=args.compress,
                           crs=crs, progress=sys.stderr.isatty(), **arrays)
            document = json.loads(path.read_text())
            size = sum(p.stat().st_size for p in stage.iterdir())
            tiles = sum(1 for p in stage.glob("*.glb"))
    for warning in caught:
        warn(" ".join(str(warning.message).split()))
    points = document["asset"]["extras"]["points"]
    if crs_line:
        print(crs_line)
    print(f"{args.out_dir / 'tileset.json'}: {glb_text.plural(points, 'point')} in "
          f"{glb_text.plural(tiles, 'tile')}, {size:,} bytes")
    return 0
