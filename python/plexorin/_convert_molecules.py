"""``plexorin convert`` of molecules: a topology, its trajectories, a selection.

    plexorin convert TOPOLOGY [TRAJECTORY ...] OUTPUT [--select TEXT] [--keep-virtual]
                     [--frames [START:STOP:STEP]]

The command line sends here every conversion that needs the molecular
readers (plexorin.molecules): trajectories after the input, --select,
--keep-virtual, a range of --frames, an MD topology (PSF, GRO, TPR...), or
a PDB or mmCIF file when gemmi is installed. Single atom files of other
formats keep their path through ASE (cli.run_convert).
"""

from __future__ import annotations

import argparse
import importlib.util
import re
import sys
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Literal

import numpy as np

from . import _convert_animation, _convert_bonds, molecules, trajectory
from .builders import atoms
from .elements import SYMBOLS, UnknownElementWarning
from .glb_text import plural

MOLECULES_EPILOG = """\
molecules:
  .pdb .ent .cif .mmcif (gzipped too)  gemmi; the models of an ensemble are frames
  .psf .gro .tpr .prmtop .parm7 .top .data .pqr .crd .dms .mol2 .gsd
                     MD topologies through MDAnalysis, followed by trajectories
                     (.xtc .trr .dcd .nc .ncdf .lammpstrj .mdcrd ...) whose atoms
                     must match the topology's:
                       plexorin convert adk.psf adk.dcd out.glb
  Elements come from the file (element column, masses or atom names) and
  are drawn in Jmol's element colours (--spheres: van der Waals radii).
  Virtual sites (TIP4P's MW, lone pairs, massless atoms) are left out
  unless --keep-virtual. --select takes MDAnalysis's selection language,
  e.g. "protein" or "not resname SOL". Without --frames the first frame
  (of the range) is written. Put options before or after all the files.
  These readers are the optional extra: pip install 'plexorin[molecules]'.

""" + _convert_animation.EPILOG

_RANGE = re.compile(r"(-?\d+)?(:(-?\d+)?)?(:(-?\d+)?)?")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--select", metavar="TEXT",
                        help="keep only the atoms this MDAnalysis selection chooses, "
                             "e.g. 'protein' or 'not resname SOL'")
    parser.add_argument("--keep-virtual", action="store_true",
                        help="keep virtual sites (TIP4P's MW, lone pairs, massless atoms), "
                             "drawn as element X")
    _convert_animation.add_arguments(parser, range_text)


def frame_range(text: str) -> slice:
    """START:STOP:STEP (each part optional, Python's slice rules) or one frame N."""
    match = _RANGE.fullmatch(text)
    if not match or not text:
        raise argparse.ArgumentTypeError(f"expected START:STOP:STEP, e.g. 0:100:10, got {text!r}")
    start, stop, step = (int(g) if g else None for g in match.group(1, 3, 5))
    if match.group(2) is None and start is not None:  # one frame
        return slice(start, start + 1 or None)
    if step is not None and step <= 0:
        raise argparse.ArgumentTypeError(f"the step of --frames must be positive, got {step}")
    return slice(start, stop, step)


def range_text(text: str) -> str:
    """The --frames text, once `frame_range` accepts it."""
    frame_range(text)
    return text


def frames_before_paths(argv: list[str]) -> list[str]:
    """`--frames` directly followed by a file (a word with no colon that is
    no frame number) means every frame, as it did before --frames took a
    range: the range is made explicit."""
    out = list(argv)
    for index, word in enumerate(out[:-1]):
        following = out[index + 1]
        if word in ("--frames", "--animate") and ":" not in following and not _RANGE.fullmatch(following):
            out[index] = word + "=:"
    return out


def wanted(args: argparse.Namespace) -> bool:
    """Whether this conversion needs the molecular readers."""
    path = Path(args.input)
    suffix = molecules.suffix_of(path)
    gemmi_file = (suffix in molecules.GEMMI_SUFFIXES and importlib.util.find_spec("gemmi") is not None
                  and (suffix != ".cif" or path.is_file() and molecules.is_mmcif(path)))
    ranged = args.frames not in (None, ":")
    return bool(args.trajectories or args.animate is not None or args.select is not None
                or args.keep_virtual or ranged
                or suffix in molecules.MDANALYSIS_SUFFIXES or gemmi_file)


def _describe(molecule: molecules.Molecule) -> str:
    present = sorted(set(molecule.elements.tolist()))
    shown = " ".join(SYMBOLS[z] for z in present[:12]) + (" ..." if len(present) > 12 else "")
    cell = ", periodic cell as box" if molecule.cell is not None else ""
    bonds = f", {len(molecule.bonds):,} bonds in the topology" if len(molecule.bonds) else ""
    return f"{len(molecule.positions):,} atoms ({shown}){bonds}{cell}"


def _read(args: argparse.Namespace) -> molecules.Molecule:
    """The molecule, with the readers' warnings about unknown elements as one line each."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", UnknownElementWarning)
        molecule = molecules.read_molecule(args.input, *args.trajectories, select=args.select,
                                           keep_virtual=args.keep_virtual)
    for warning in caught:
        print(f"plexorin: warning: {warning.message}", file=sys.stderr)
    return molecule


def run(args: argparse.Namespace) -> int:
    from .cli import CommandError, activity, staged_folder  # the command line calls this module

    output: Path = args.output
    spheres = _convert_bonds.style_of(args) == "spheres"
    style: Literal["points", "spheres"] = "spheres" if spheres else "points"
    _convert_animation.check(args, CommandError)
    molecule = _read(args)
    if args.animate is not None:
        return _convert_animation.run(args, molecule, frame_range(args.animate),
                                      _describe(molecule), CommandError)
    frames = frame_range(args.frames) if args.frames is not None else slice(None)
    if args.frames is not None or output.is_dir():
        with staged_folder(output) as stage:
            paths = trajectory.write_frame_arrays(
                _frame_arguments(molecule, frames), stage, compress=args.compress, style=style,
                up=args.up or "y", progress=sys.stderr.isatty())
            if not paths:
                raise CommandError(f"{molecule.source}: no frames in the range {args.frames}")
            size = sum(path.stat().st_size for path in paths)
        print(f"{output}: {plural(len(paths), 'frame')} of {_describe(molecule)}, "
              f"frame_00000.glb to {paths[-1].name}, {size:,} bytes")
        return 0
    if output.suffix.lower() != ".glb":
        raise CommandError(f"{output}: the output must be a .glb file (or a folder, with --frames)")
    first = next(molecule.frames(frames.start, frames.stop, frames.step), None)
    if first is None:
        raise CommandError(f"{molecule.source}: no frame in the range {args.frames}")
    with activity(f"writing {output.name}"):
        glb = atoms(**molecule.atoms_arguments(first), compress=args.compress, up=args.up or "y",
                    attributes=per_atom_values(molecule),
                    **_convert_bonds.drawing_arguments(args, molecule.bonds, first.cell))
        _save(output, glb, CommandError)
    print(f"{output}: {_describe(molecule)}, {len(glb):,} bytes")
    return 0


def per_atom_values(molecule: molecules.Molecule) -> dict[str, np.ndarray] | None:
    """The file's numeric per-atom arrays (B-factor, occupancy, charge), kept
    as values per atom; one that is the same for every atom (a writer's
    default, such as occupancy 1) tells nothing and is left out."""
    kept = {}
    for name, values in molecule.arrays.items():
        array = np.asarray(values)
        if array.dtype.kind in "iuf" and array.size and not np.all(array == array.flat[0]):
            kept[name] = array
    return kept or None


def _frame_arguments(molecule: molecules.Molecule, frames: slice) -> Iterator[dict[str, Any]]:
    values = per_atom_values(molecule)
    for frame in molecule.frames(frames.start, frames.stop, frames.step):
        yield {**molecule.atoms_arguments(frame), "attributes": values}


def _save(output: Path, glb: bytes, error: type[Exception]) -> None:
    from .files import save
    try:
        save(output, glb)
    except OSError as failure:  # named by the output, not by save's temporary file
        raise error(f"{output}: cannot write it ({failure.strerror or failure})") from None
