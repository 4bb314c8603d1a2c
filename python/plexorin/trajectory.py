"""Trajectories: one GLB per frame of a multi-frame atom file, in parallel.

ASE reads the frames one after the other (xyz, extxyz, LAMMPS dumps and the
other formats it reads frame by frame); building and writing each frame's
file is a task on an executor, or on Dask with a client, with at most a few
frames in flight so that memory stays bounded by the frame size.
"""

from __future__ import annotations

import os
import pathlib
from collections import deque
from collections.abc import Iterable, Mapping
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any, Literal

import numpy as np

from . import builders, files


def frame_name(index: int) -> str:
    return f"frame_{index:05d}.glb"


def _write_frame(path: str, arguments: dict[str, Any], compress: bool,
                 style: Literal["points", "spheres"] = "points", up: str = "y") -> int:
    # Frames are built side by side, one per executor thread.
    files.save(path, builders.atoms(**arguments, compress=compress, style=style, workers=1,
                                    up=up))
    return int(arguments["positions"].shape[0])


def _frame_arguments(frame: Any) -> dict[str, Any]:
    """`plexorin.atoms`'s keyword arguments of a frame: a mapping of them, or
    a tuple (positions, types, box); positions as float32 rows."""
    if isinstance(frame, Mapping):
        arguments = dict(frame)
    else:
        positions, types, box = frame
        arguments = {"positions": positions, "types": types, "box": box}
    arguments["positions"] = np.ascontiguousarray(arguments["positions"], dtype=np.float32)
    return arguments


def _cell(atoms: Any) -> np.ndarray | None:
    cell = np.asarray(atoms.cell, dtype=np.float64)
    return cell if atoms.pbc.any() and atoms.cell.rank == 3 else None


def write_frames(path: str | os.PathLike[str], out_dir: str | os.PathLike[str], *, format: str | None = None,
                 executor: Executor | None = None, client: Any = None,
                 progress: bool = False) -> list[pathlib.Path]:
    """Writes ``frame_00000.glb``, ``frame_00001.glb`` ... into `out_dir`, one
    `plexorin.atoms` file per frame of `path` (read with ``ase.io.iread``;
    frames without atoms, as ASE gives after the last model of some PDB
    files, are skipped), by element (Jmol's colours, ``elements=``) as
    ``plexorin convert`` draws them; the bounds of a periodic cell are the
    frame's Morton box. Returns the paths written."""
    from ase.io import iread

    from .molecules import cell_box

    frames = ({"positions": atoms.positions, "elements": atoms.numbers,
               "box": cell_box(_cell(atoms))}
              for atoms in iread(str(path), index=":", format=format) if len(atoms))
    return write_frame_arrays(frames, out_dir, executor=executor, client=client,
                              progress=progress)


def write_frame_arrays(frames: Iterable[Any], out_dir: str | os.PathLike[str], *,
                       compress: bool = False, style: Literal["points", "spheres"] = "points",
                       up: str = "y", executor: Executor | None = None, client: Any = None,
                       progress: bool = False) -> list[pathlib.Path]:
    """Writes ``frame_00000.glb`` ... into `out_dir`: the `plexorin.atoms`
    file of each frame of `frames`, a mapping of its keyword arguments
    (``{"positions": ..., "elements": ..., "box": ...}``) or a tuple
    (positions, types, box), consumed in order while earlier frames are
    built on the executor (or Dask `client`). `style` is that of
    `plexorin.atoms`, and so is `up`. Returns the paths written."""
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    own = executor is None and client is None
    if own:
        executor = ThreadPoolExecutor(max_workers=os.cpu_count() or 1)
    pool: Any = executor
    submit = client.submit if client is not None else pool.submit
    in_flight: deque[Any] = deque()
    limit = 2 * (os.cpu_count() or 1)
    written = []
    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(desc="frames", unit="frame")
    try:
        for index, frame in enumerate(frames):
            target = out / frame_name(index)
            in_flight.append(submit(_write_frame, str(target), _frame_arguments(frame), compress,
                                    style, up))
            written.append(target)
            while len(in_flight) >= limit:
                in_flight.popleft().result()
                if bar:
                    bar.update()
        while in_flight:
            in_flight.popleft().result()
            if bar:
                bar.update()
        return written
    finally:
        for future in in_flight:
            future.cancel()
        if bar:
            bar.close()
        if own:
            pool.shutdown(cancel_futures=True)
