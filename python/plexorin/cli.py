"""The command line ``plexorin`` (also ``python -m plexorin``).

    plexorin convert INPUT OUTPUT.glb   atoms (ASE), PLY points/meshes, LAS/LAZ points to GLB
    plexorin info FILE.glb [--json]     what a GLB file holds

Each subcommand is a pair of functions, ``add_NAME(commands)`` declaring its
arguments and ``run_NAME(args) -> int``, listed in SUBCOMMANDS. Bad input
(a missing or unreadable file, an unknown format, arrays the builders
refuse, a malformed GLB) prints one line ``plexorin: error: ...`` on stderr
and exits with status 2, writing no output file.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TypeAlias

from tqdm import tqdm

from . import files, glb_info, readers
from ._version import __version__
from .builders import atoms, mesh, point_cloud

EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130
MESSAGE_LIMIT = 300


# What add_NAME functions receive: the parser's collection of subcommands.
Commands: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


class CommandError(Exception):
    """A refusal of the command line itself; the message is one line."""


# ---- convert --------------------------------------------------------------------

CONVERT_EPILOG = f"""\
formats:
  .ply               points, or a triangle mesh when it has faces (plyfile);
                     polygons become triangle fans; vertex colours red/green/blue[/alpha]
  .las .laz          points with scaled x y z and RGB when present (laspy, lazrs)
  anything else      atoms through ASE's ase.io.read (xyz, extxyz, pdb, cif,
                     POSCAR, LAMMPS dumps, ...): the first frame; a periodic
                     cell becomes the atoms' box

atom types (elements to palette colours):
{readers.element_table_text()}

The readers are the optional extra: pip install 'plexorin[io]'."""


def add_convert(commands: Commands) -> None:
    parser = commands.add_parser(
        "convert", help="convert an atom, PLY or LAS/LAZ file to GLB",
        description="Convert an atom file, a PLY point cloud or mesh, or a LAS/LAZ point "
                    "cloud to one GLB file (written atomically).",
        epilog=CONVERT_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", type=Path, help="the file to read")
    parser.add_argument("output", type=Path, help="the .glb file to write")
    parser.add_argument("--compress", action="store_true",
                        help="write the compact web layout: quantised, meshopt-compressed "
                             "(KHR_mesh_quantization, EXT_meshopt_compression)")
    parser.add_argument("--spheres", action="store_true",
                        help="atom files only: a shaded sphere per atom, one GPU-instanced "
                             "sphere per type (EXT_mesh_gpu_instancing), radii by the default "
                             "rule of plexorin.atoms")
    parser.set_defaults(run=run_convert)


def build_glb(data: readers.InputData, args: argparse.Namespace) -> bytes:
    """The GLB bytes of what a reader returned (options come from `args`)."""
    if isinstance(data, readers.AtomsData):
        return atoms(data.positions, data.types, box=data.box, compress=args.compress,
                     style="spheres" if args.spheres else "points")
    if args.spheres:
        raise CommandError(f"{args.input}: --spheres is for atom files; this is a "
                           f"{'mesh' if isinstance(data, readers.MeshData) else 'point cloud'}")
    if isinstance(data, readers.MeshData):
        return mesh(data.positions, data.faces, colors=data.colors, compress=args.compress)
    return point_cloud(data.positions, data.colors, compress=args.compress)


def describe_input(data: readers.InputData) -> str:
    if isinstance(data, readers.AtomsData):
        kinds = len(set(data.types.tolist()))
        cell = ", periodic cell as box" if data.box is not None else ""
        return f"{len(data.positions):,} atoms of {kinds} palette types{cell}"
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
    output: Path = args.output
    if output.suffix.lower() != ".glb":
        raise CommandError(f"{output}: the output must be a .glb file")
    data = readers.read(args.input)
    with activity(f"writing {output.name}"):
        glb = build_glb(data, args)
        try:
            files.save(output, glb)
        except OSError as error:  # named by the output, not by save's temporary file
            raise CommandError(f"{output}: cannot write it ({error.strerror or error})") from None
    print(f"{output}: {describe_input(data)}, {len(glb):,} bytes")
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
    print(json.dumps(summary, indent=2) if args.json else glb_info.describe(summary))
    return 0


# ---- Entry point ----------------------------------------------------------------

SUBCOMMANDS: tuple[Callable[[Commands], None], ...] = (add_convert, add_info)


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
    text = " ".join(text.split())
    return text if len(text) <= MESSAGE_LIMIT else text[:MESSAGE_LIMIT - 3] + "..."


def main(argv: list[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = build_parser().parse_args(argv)
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
