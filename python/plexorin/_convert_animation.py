"""``plexorin convert TOPOLOGY TRAJECTORY OUTPUT --animate [START:STOP:STEP]``:
the frames of the range as one animated GLB (plexorin.animation), streamed
to the file, compressed unless --no-compress."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np

from . import _convert_bonds, animation, molecules
from .glb_text import plural

EPILOG = """\
animation:
  --animate writes the frames (of the range) into one GLB that glTF players
  (three.js, Babylon, Blender, plexorin's viewer) play: one node per frame,
  shown in turn by a STEP animation of the nodes' scale. Playback shows the
  trajectory's first time step in 1/30 s, so 30 frames per second when the
  frames are evenly spaced (one frame per 1/30 s when the file has no
  times); each frame node keeps its time in ps in its extras. Compressed
  unless --no-compress. A file that would pass 2 GiB is refused: write one
  file per frame with --frames instead, or take every STEP-th frame:
    plexorin convert adk.psf adk.dcd adk.glb --animate ::2"""


def add_arguments(parser: argparse.ArgumentParser, range_type: Any) -> None:
    parser.add_argument("--animate", nargs="?", const=":", type=range_type,
                        metavar="START:STOP:STEP",
                        help="every frame of a trajectory, or those of the range, as one "
                             "animated GLB file (compressed unless --no-compress; see "
                             "animation below)")
    parser.add_argument("--no-compress", action="store_true",
                        help="with --animate: write float positions instead of the "
                             "compressed layout")


def check(args: argparse.Namespace, error: type[Exception]) -> None:
    """What --animate and --no-compress refuse, before any file is read."""
    if args.animate is not None and args.frames is not None:
        raise error("--animate and --frames: pass one of them (--frames writes one file "
                    "per frame)")
    if args.no_compress and args.compress:
        raise error("--compress and --no-compress: pass one of them")
    if (args.animate is not None or args.frames is not None) and _convert_bonds.stick_style(args):
        option = "--animate" if args.animate is not None else "--frames"
        raise error(f"{option} and --style {args.style}: frames are drawn as points or spheres; "
                    "sticks are drawn for one structure (leave out the option)")
    if args.animate is not None and args.output.suffix.lower() != ".glb":
        raise error(f"{args.output}: the output of --animate must be a .glb file")


def _frames(molecule: molecules.Molecule, frames: slice, taken: list[int]
            ) -> Iterator[animation.Frame]:
    for frame in molecule.frames(frames.start, frames.stop, frames.step):
        taken[0] += 1
        yield animation.Frame({"positions": _as_read(frame.positions),
                               "box": molecules.cell_box(frame.cell)}, frame.time)


def _as_read(positions: np.ndarray) -> np.ndarray:
    """float32 positions when float32 holds them exactly, as MD trajectories
    store them: the file is the same, and the float64 checks are skipped."""
    single = positions.astype(np.float32)
    return single if np.array_equal(single, positions) else positions


def _frame_count(molecule: molecules.Molecule, frames: slice) -> int | None:
    return None if molecule.n_frames is None else len(range(*frames.indices(molecule.n_frames)))


def run(args: argparse.Namespace, molecule: molecules.Molecule, frames: slice, description: str,
        error: type[Exception]) -> int:
    output: Path = args.output
    count = _frame_count(molecule, frames)
    shared = {"types": None, "elements": molecule.elements, "palette": None, "box": None,
              "style": _convert_bonds.style_of(args), "compress": not args.no_compress,
              "radius": None, "radius_scale": 1.0, "up": args.up or "y"}
    taken = [0]
    bar = None
    if sys.stderr.isatty():
        from tqdm import tqdm
        bar = tqdm(desc="frames", unit="frame", total=count)
    try:
        animation.write_animation(output, _frames(molecule, frames, taken), count, shared, None,
                                  None, bar.update if bar else None)
    except OSError as failure:
        raise error(f"{output}: cannot write it ({failure.strerror or failure})") from None
    except ValueError as failure:
        if taken[0] == 0:
            raise error(f"{molecule.source}: no frames in the range {args.animate}") from None
        raise error(str(failure)) from None
    finally:
        if bar:
            bar.close()
    print(f"{output}: animation of {plural(taken[0], 'frame')} of {description}, "
          f"{output.stat().st_size:,} bytes")
    return 0
