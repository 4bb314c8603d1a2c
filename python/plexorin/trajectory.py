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
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any, Iterable, Literal

import numpy as np

from . import builders, files


def frame_name(index: int) -> str:
    return f"frame_{index:05d}.glb"


def _write_frame(path: str, positions: np.ndarray, types: np.ndarray, box: Any,
                 compress: bool, style: Literal["points", "spheres"] = "points",
                 up: str = "y") -> int:
    # Frames are built side by side, one per executor thread.
    files.save(path, builders.atoms(positions, types, box=box, compress=compress, style=style,
                                    workers=1, up=up))
    return int(positions.shape[0])


def _cell(atoms: Any) -> np.ndarray | None:
    cell = np.asarray(atoms.cell, dtype=np.float64)
    return cell if atoms.pbc.any() and atoms.cell.rank == 3 else None


def write_frames(path: str | os.PathLike[str], out_dir: str | os.PathLike[str], *, format: str | None = None,
                 executor: Executor | None = None, client: Any = None,
                 progress: bool = False) -> list[pathlib.Path]:
    """Writes ``frame_00000.glb``, ``frame_00001.glb`` ... into `out_dir`, one
    `plexorin.atoms` file per frame of `path` (read with ``ase.io.iread``;
    frames without atoms, as ASE gives after the last model of some PDB
    files, are skipped), coloured by element as ``plexorin convert`` colours
    them; the bounds of a periodic cell are the frame's Morton box. Returns
    the paths written."""
    from ase.io import iread  # type: ignore[import-not-found, import-untyped, unused-ignore]

    from .molecules import atom_types, cell_box

    frames = ((atoms.positions, atom_types(atoms.numbers), cell_box(_cell(atoms)))
              for atoms in iread(str(path), index=":", format=format) if len(atoms))
    return write_frame_arrays(frames, out_dir, executor=executor, client=client,
                              progress=progress)


def write_frame_arrays(frames: Iterable[tuple[Any, Any, Any]], out_dir: str | os.PathLike[str], *,
                       compress: bool = False, style: Literal["points", "spheres"] = "points",
                       up: str = "y", executor: Executor | None = None, client: Any = None,
                       progress: bool = False) -> list[pathlib.Path]:
    """Writes ``frame_00000.glb`` ... into `out_dir`: the `plexorin.atoms`
    file of each (positions, types, box) of `frames`, consumed in order
    while earlier frames are built on the executor (or Dask `client`).
    `style` and `up` are those of `plexorin.atoms`; positions are converted
    to float32 as each frame is read. Returns the paths written."""
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
        for index, (positions, types, box) in enumerate(frames):
            target = out / frame_name(index)
            in_flight.append(submit(_write_frame, str(target),
                                    np.ascontiguousarray(positions, dtype=np.float32),
                                    types, box, compress, style, up))
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
