"""The command line ``plexorin`` (also ``python -m plexorin``).

    plexorin convert INPUT OUTPUT.glb   atoms (ASE), PLY points/meshes, LAS/LAZ points to GLB
    plexorin convert --frames TRAJ DIR  one GLB per frame of a multi-frame atom file
    plexorin convert TOP [TRAJ ...] OUT molecules: MD topologies and trajectories, PDB/mmCIF
    plexorin tiles INPUT OUT_DIR        an OGC 3D Tiles 1.1 tileset (also from .npy)
    plexorin info FILE.glb [--json]     what a GLB file holds

Each subcommand is a pair of functions, ``add_NAME(commands)`` declaring its
arguments and ``run_NAME(args) -> int``, listed in SUBCOMMANDS. Bad input
(a missing or unreadable file, an unknown format, arrays the builders
refuse, a malformed GLB) prints one line ``plexorin: error: ...`` on stderr
and exits with status 2, writing no output file (commands that write a
folder build it beside its final name and rename it when complete).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import sys
import threading
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path

from tqdm import tqdm

from . import (
    _convert_bonds,
    _convert_molecules,
    _point_colors,
    files,
    glb_info,
    glb_text,
    readers,
    trajectory,
)
from ._las_attributes import AttributeWarning
from ._tiles_command import add_tiles
from ._version import __version__
from .builders import atoms, mesh, point_cloud
from .elements import SYMBOLS

UP_AXES = ("y", "z")
Z_UP_SUFFIXES = (".las", ".laz")
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130
MESSAGE_LIMIT = 300


# What add_NAME functions receive: the parser's collection of subcommands.
type Commands = argparse._SubParsersAction[argparse.ArgumentParser]


class CommandError(Exception):
    """A refusal of the command line itself; the message is one line."""


# ---- convert --------------------------------------------------------------------

CONVERT_EPILOG = f"""\
formats:
  .ply               points, or a triangle mesh when it has faces (plyfile);
                     polygons become triangle fans; vertex colours red/green/blue[/alpha]
  .las .laz          points with scaled x y z (float64) and RGB when present
                     (laspy, lazrs); z-up, so written with --up z unless told
  anything else      atoms through ASE's ase.io.read (xyz, extxyz, cif,
                     POSCAR, LAMMPS dumps, CP2K DCD, ...; pdb without gemmi):
                     the first frame; a periodic cell becomes the atoms' box

frames:
  With --frames, or when OUTPUT is an existing folder, every frame of a
  multi-frame atom file (xyz, extxyz, LAMMPS dumps, ...) or trajectory, or
  with --frames START:STOP:STEP those of the range, becomes one GLB in
  the folder OUTPUT: frame_00000.glb, frame_00001.glb, ... built in parallel.
  OUTPUT must be new or empty; it appears only once every frame is written.

atoms:
  Each element gets its own colour, Jmol's (as most molecular viewers draw
  them: C grey, O red, N blue, H white, S yellow, P orange, Fe orange-brown
  ...; stored as glTF's linear colours), and its symbol names it in the file
  and in the viewer's legend. With --spheres, balls take the element's van
  der Waals radius (Bondi's, else Alvarez's); unknown atoms and virtual
  sites are X, light grey, sized by the nearest-neighbour rule of
  plexorin.atoms.

The readers are the optional extra: pip install 'plexorin[io]'.

{_convert_molecules.MOLECULES_EPILOG}
{_convert_bonds.EPILOG}"""


def add_convert(commands: Commands) -> None:
    parser = commands.add_parser(
        "convert", help="convert an atom, PLY or LAS/LAZ file to GLB",
        description="Convert an atom file, a PLY point cloud or mesh, or a LAS/LAZ point "
                    "cloud to one GLB file (written atomically).",
        epilog=CONVERT_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", type=Path, help="the file to read (a topology before trajectories)")
    parser.add_argument("trajectories", type=Path, nargs="*", metavar="TRAJECTORY",
                        help="trajectories of the topology INPUT (see molecules below)")
    parser.add_argument("output", type=Path,
                        help="the .glb file to write (a folder with --frames)")
    parser.add_argument("--frames", nargs="?", const=":", type=_convert_molecules.range_text,
                        metavar="START:STOP:STEP",
                        help="write every frame of an atom file or trajectory, or those of "
                             "the range, one GLB each, into the folder OUTPUT (see frames below)")
    parser.add_argument("--compress", action="store_true",
                        help="write the compressed web layout: quantised, meshopt-compressed "
                             "(KHR_mesh_quantization, EXT_meshopt_compression)")
    parser.add_argument("--spheres", action="store_true",
                        help="atom files only: a shaded sphere per atom, one GPU-instanced "
                             "sphere per element (EXT_mesh_gpu_instancing) of its van der "
                             "Waals radius")
    parser.add_argument("--up", choices=UP_AXES,
                        help="the input's up axis: z stands z-up data upright in glTF's y-up "
                             "world by a rotation of the root node (default: z for LAS/LAZ, "
                             "y for every other input)")
    _point_colors.add_arguments(parser)
    _convert_molecules.add_arguments(parser)
    _convert_bonds.add_arguments(parser)
    parser.set_defaults(run=run_convert)


def up_axis(args: argparse.Namespace) -> str:
    """--up, or the input's own: z for LAS/LAZ (z-up by definition), else y."""
    if args.up:
        return str(args.up)
    return "z" if args.input.suffix.lower() in Z_UP_SUFFIXES else "y"


def build_glb(data: readers.InputData, args: argparse.Namespace) -> bytes:
    """The GLB bytes of what a reader returned (options come from `args`)."""
    up = up_axis(args)
    if isinstance(data, readers.AtomsData):
        return atoms(**data.atoms_arguments(), compress=args.compress, up=up,
                     **_convert_bonds.drawing_arguments(args, None, data.cell))
    if args.spheres or args.style:
        option = "--spheres" if args.spheres else "--style"
        raise CommandError(f"{args.input}: {option} is for atom files; this is a "
                           f"{'mesh' if isinstance(data, readers.MeshData) else 'point cloud'}")
    if isinstance(data, readers.MeshData):
        return mesh(data.positions, data.faces, colors=data.colors, compress=args.compress, up=up)
    colors = _point_colors.point_colors(data.colors, data.attributes, args.color_by, args.cmap,
                                        warn)
    return point_cloud(data.positions, colors, compress=args.compress, up=up,
                       attributes=data.attributes or None)


def read_points_or_atoms(args: argparse.Namespace) -> readers.InputData:
    """What a reader gives for args.input, a value it leaves out warned of
    in one line."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", AttributeWarning)
        data = readers.read(args.input, gps_time=args.gps_time)
    for warning in caught:
        warn(str(warning.message))
    return data


def warn(text: str) -> None:
    print(f"plexorin: warning: {text}", file=sys.stderr)


def describe_input(data: readers.InputData) -> str:
    if isinstance(data, readers.AtomsData):
        present = sorted(set(data.elements.tolist()))
        shown = " ".join(SYMBOLS[z] for z in present[:12]) + (" ..." if len(present) > 12 else "")
        cell = ", periodic cell as box" if data.box is not None else ""
        return f"{len(data.positions):,} atoms ({shown}){cell}"
    colored = ", coloured" if data.colors is not None else ""
    if isinstance(data, readers.MeshData):
        return f"{len(data.positions):,} vertices, {len(data.faces):,} triangles{colored}"
    return f"{len(data.positions):,} points{colored}"


@contextlib.contextmanager
def activity(description: str) -> Iterator[None]:
    """A bar with the elapsed time on stderr while the block runs more than
    a second. The ticker thread runs while the block releases the
    interpreter lock (the builders and the file write do)."""
    with tqdm(desc=description, bar_format="{desc} {elapsed}", delay=1, disable=None,
              leave=False) as bar:
        done = threading.Event()

        def tick() -> None:
            while not done.wait(0.25):
                bar.update(0)

        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        try:
            yield
        finally:
            done.set()
            ticker.join()


def run_convert(args: argparse.Namespace) -> int:
    if _convert_molecules.wanted(args):
        return _convert_molecules.run(args)
    output: Path = args.output
    if args.frames or output.is_dir():
        return run_convert_frames(args)
    if output.suffix.lower() != ".glb":
        raise CommandError(f"{output}: the output must be a .glb file (or a folder, "
                           f"with --frames)")
    data = read_points_or_atoms(args)
    with activity(f"writing {output.name}"):
        glb = build_glb(data, args)
        try:
            files.save(output, glb)
        except OSError as error:  # named by the output, not by save's temporary file
            raise CommandError(f"{output}: cannot write it ({error.strerror or error})") from None
    print(f"{output}: {describe_input(data)}, {len(glb):,} bytes")
    return 0


@contextlib.contextmanager
def staged_folder(target: Path) -> Iterator[Path]:
    """A new folder beside `target`, renamed to `target` when the block
    completes and removed when it fails, so that no partial output remains.
    `target` must be missing or an empty folder."""
    if target.exists() and (not target.is_dir() or any(target.iterdir())):
        raise CommandError(f"{target}: exists and is not an empty folder")
    parent = target.absolute().parent
    if not parent.is_dir():
        raise CommandError(f"{parent}: no such folder")
    stage = files.staging_folder(target)
    try:
        yield stage
        if target.exists():
            target.rmdir()
        os.rename(stage, target)
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise


def run_convert_frames(args: argparse.Namespace) -> int:
    output: Path = args.output
    if readers.READERS.get(args.input.suffix.lower()):
        raise CommandError(f"{args.input}: --frames reads atom files (through ASE), "
                           f"not {args.input.suffix} files")
    frames = (d.atoms_arguments() for d in readers.iter_atoms(args.input))
    with staged_folder(output) as stage:
        paths = trajectory.write_frame_arrays(
            frames, stage, compress=args.compress,
            style="spheres" if args.spheres else "points", up=up_axis(args),
            progress=sys.stderr.isatty())
        if not paths:
            raise CommandError(f"{args.input}: no frames")
        size = sum(path.stat().st_size for path in paths)
    print(f"{output}: {len(paths):,} frames, frame_00000.glb to {paths[-1].name}, "
          f"{size:,} bytes")
    return 0


# ---- info -----------------------------------------------------------------------

def add_info(commands: Commands) -> None:
    parser = commands.add_parser(
        "info", help="show what a GLB file holds",
        description="Show what a GLB file holds: generator, extensions, nodes, meshes and "
                    "primitives with their counts, attribute types and POSITION bounds, "
                    "chunk sizes, compressed views and instancing. Only the JSON is read.")
    parser.add_argument("file", type=Path, help="the .glb file")
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    parser.set_defaults(run=run_info)


def run_info(args: argparse.Namespace) -> int:
    summary = glb_info.read_summary(args.file)
    # JSON has no NaN or infinities: read_summary gives None for them.
    print(json.dumps(summary, indent=2, allow_nan=False) if args.json
          else glb_text.describe(summary))
    return 0


# ---- Entry point ----------------------------------------------------------------

SUBCOMMANDS: tuple[Callable[[Commands], None], ...] = (add_convert, add_tiles, add_info)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="plexorin", description="Scientific data to binary glTF (GLB) files.")
    parser.add_argument("--version", action="version", version=f"plexorin {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in SUBCOMMANDS:
        add(commands)
    return parser


def one_line(error: BaseException) -> str:
    """The error as one short line: OSErrors as 'path: reason', others' text."""
    if isinstance(error, OSError) and error.strerror:
        text = f"{error.filename}: {error.strerror}" if error.filename else error.strerror
    else:
        text = str(error) or type(error).__name__
    text = glb_text.printable(" ".join(text.split()))  # no terminal controls from a file
    return text if len(text) <= MESSAGE_LIMIT else text[:MESSAGE_LIMIT - 3] + "..."


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else argv
    args = build_parser().parse_args(_convert_molecules.frames_before_paths(argv))
    try:
        status = int(args.run(args))
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # `plexorin info x.glb | head` closed stdout early: not an error of
        # ours; stdout goes to /dev/null so the flush at exit stays silent.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (CommandError, readers.ReadError, glb_info.GlbError, ValueError, TypeError,
            OSError) as error:
        print(f"plexorin: error: {one_line(error)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
