"""A trajectory as one animated GLB file, built frame by frame.

    animate(frames, types=None, *, elements=None, times=None, ...) -> bytes
    save_animation(path, frames, types=None, *, elements=None, ...) -> Path

Each frame is drawn by `plexorin.atoms` (points, spheres, compressed or
not) on a thread pool, a few frames in flight; its bytes are appended to the
file's payload as it comes (`save_animation` streams them to a temporary
file beside the target), so memory holds a few frames, never the
trajectory. The document (see `_animation_document`) is written at the end.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np

from . import _inputs, builders, files
from ._animation_document import GLB_LIMIT, HEADER_BYTES, AnimationDocument, too_large_message
from .builders._common import ArrayLike, thread_limit
from .elements import atomic_numbers

FRAME_RATE = 30  # frames shown per second of playback when no times are given
_RECORD_BYTES = 400  # the animation's records per frame in the JSON, at most


@dataclass
class Frame:
    """One frame: the keyword arguments of `plexorin.atoms` that differ per
    frame (positions, box) and its time in the trajectory (ps), if known."""
    arguments: dict[str, Any]
    time: float | None = None


def animate(frames: Iterable[ArrayLike] | ArrayLike, types: ArrayLike | None = None, *,
            elements: ArrayLike | None = None, times: ArrayLike | None = None,
            style: str = "points", compress: bool = False, palette: ArrayLike | None = None,
            box: Any = None, radius: Any = None, radius_scale: float = 1.0, up: str = "y",
            workers: int | None = None) -> bytes:
    """A trajectory as one GLB file that glTF players play as an animation.

    Args:
        frames: the positions of every frame, an (F, N, 3) array or an
            iterable of (N, 3) arrays (read one after the other, so a
            generator keeps only a few frames in memory). Every frame holds
            the same N atoms.
        types, elements, palette, box, style, radius, radius_scale, up: as
            for `plexorin.atoms`, the same for every frame (`box` None: each
            frame's own bounds).
        times: the playback time of each frame in seconds, increasing from
            0 or more; by default frame k at k / 30 s (30 frames per second).
            The last frame is shown for one more step (that of the two last
            times, or 1/30 s for one frame).
        compress: each frame in the compressed layout of `plexorin.atoms`.
        workers: the most threads that build frames at once; by default
            one per processor. The bytes do not depend on it.

    Returns:
        The GLB file. Node "Trajectory" holds one node per frame, "frame 0",
        "frame 1" ..., each holding that frame's file as `plexorin.atoms`
        writes it. An animation "trajectory" scales frame k to 1 from its
        time until the next frame's and to 0 otherwise, by STEP samplers of
        the nodes' scale (the form every glTF player runs); without the
        animation the file shows frame 0. Points scaled to 0 still draw one
        dot at their node's origin in three.js: a player should hide nodes
        of zero scale, as plexorin's viewer does.

    Raises:
        ValueError: a frame whose atom count differs from frame 0's (named
            as frames[k]), or what `plexorin.atoms` refuses in a frame
            (prefixed with frames[k]); no frames; `times` not increasing or
            not one per frame; a file that would reach 2 GiB, refused as soon
            as frame 0 times the number of frames (when `frames` has a
            length) passes it, else when the frames built pass it.
    """
    parts: list[bytes | memoryview] = []
    head, tail = _build(_frames_of(frames), _length(frames),
                        _shared(types, elements, palette, box, style, compress, radius,
                                radius_scale, up), _checked_times(times), workers,
                        lambda data: parts.append(bytes(data)))
    return b"".join([head, *parts, tail])


def save_animation(path: str | os.PathLike[str], frames: Iterable[ArrayLike] | ArrayLike,
                   types: ArrayLike | None = None, *, elements: ArrayLike | None = None,
                   times: ArrayLike | None = None, style: str = "points", compress: bool = False,
                   palette: ArrayLike | None = None, box: Any = None, radius: Any = None,
                   radius_scale: float = 1.0, up: str = "y", workers: int | None = None) -> Path:
    """`animate`'s file written to `path` as frames are built: the payload
    goes to a temporary file beside `path` and the whole is then renamed
    over `path` (see `plexorin.save`), so memory holds a few frames only.
    Takes `animate`'s arguments; returns the path. Nothing is written at
    `path` when a frame or the file's size is refused."""
    shared = _shared(types, elements, palette, box, style, compress, radius, radius_scale, up)
    return write_animation(path, _frames_of(frames), _length(frames), shared,
                           _checked_times(times), workers)


def write_animation(path: str | os.PathLike[str], frames: Iterable[Frame], count: int | None,
                    shared: dict[str, Any], times: np.ndarray | None, workers: int | None,
                    progress: Callable[[], object] | None = None) -> Path:
    """The streaming writer behind `save_animation` and `convert --animate`:
    `frames` as `Frame`s, `shared` the arguments of `plexorin.atoms` that
    all frames share, `times` in playback seconds or None (the trajectory's
    times, else 30 frames per second)."""
    target = Path(os.fspath(path))
    with tempfile.TemporaryFile(dir=target.absolute().parent) as payload:
        head, tail = _build(frames, count, shared, times, workers, payload.write, progress)

        def write(file: BinaryIO) -> None:
            file.write(head)
            payload.seek(0)
            shutil.copyfileobj(payload, file, 1 << 20)
            file.write(tail)
        return files.save_with(target, write)


def _shared(types: Any, elements: Any = None, palette: Any = None, box: Any = None,
            style: str = "points", compress: bool = False, radius: Any = None,
            radius_scale: float = 1.0, up: str = "y") -> dict[str, Any]:
    if elements is not None:  # symbols read once, warned about once
        elements = atomic_numbers(elements)
    return {"types": types, "elements": elements, "palette": palette, "box": box, "style": style,
            "compress": compress, "radius": radius, "radius_scale": radius_scale, "up": up}


def _length(frames: Any) -> int | None:
    try:
        return len(frames)
    except TypeError:
        return None


def _frames_of(frames: Any) -> Iterator[Frame]:
    if isinstance(frames, np.ndarray) and frames.ndim != 3:
        raise ValueError(f"frames: expected an (F, N, 3) array or (N, 3) arrays, got shape "
                         f"{frames.shape}")
    if isinstance(frames, (str, bytes)) or not isinstance(frames, Iterable):
        raise TypeError(f"frames: expected an (F, N, 3) array or an iterable of (N, 3) arrays, "
                        f"got {type(frames).__name__}")
    return (Frame({"positions": positions}) for positions in frames)


def _checked_times(times: Any) -> np.ndarray | None:
    if times is None:
        return None
    values = _inputs.as_array(times, "times")
    if values.ndim != 1 or values.dtype.kind not in "iuf":
        raise ValueError(f"times: expected one number per frame, got shape {values.shape}")
    stored = values.astype(np.float32)
    if not np.all(np.isfinite(stored)) or (len(stored) and stored[0] < 0):
        raise ValueError("times: expected finite seconds from 0 on")
    if np.any(np.diff(stored) <= 0):
        raise ValueError("times: must increase from frame to frame (as float32)")
    return values.astype(np.float64)


def playback_times(given: np.ndarray | None, trajectory: list[float | None]) -> np.ndarray:
    """F + 1 keyframe times in seconds: `given`, else the trajectory's times
    with its first step shown in 1/30 s (so gaps keep their proportions),
    else one frame per 1/30 s; the last entry one step after the last frame."""
    count = len(trajectory)
    if given is not None:
        if len(given) != count:
            raise ValueError(f"times: {len(given)} values for {count} frames")
        seconds = given
    elif count > 1 and None not in trajectory and np.all(np.diff(np.asarray(trajectory, float)) > 0):
        ps = np.asarray(trajectory, np.float64)
        seconds = (ps - ps[0]) / (ps[1] - ps[0]) / FRAME_RATE
    else:
        seconds = np.arange(count) / FRAME_RATE
    step = seconds[-1] - seconds[-2] if count > 1 else 1 / FRAME_RATE
    out = np.append(seconds, seconds[-1] + step)
    if np.any(np.diff(out.astype(np.float32)) <= 0):  # float32 keyframes must still increase
        out = np.arange(count + 1) / FRAME_RATE
    return out


class _Stream:
    """The frames taken so far: the document, their trajectory times and
    an upper bound of the file's size."""

    def __init__(self, count: int | None, write: Callable[[Any], Any],
                 progress: Callable[[], object] | None) -> None:
        self.document = AnimationDocument()
        self.trajectory: list[float | None] = []
        self.bound = HEADER_BYTES
        self.count, self.write, self.progress = count, write, progress

    def take(self, index: int, future: Future[bytes], time: float | None) -> None:
        try:
            glb = future.result()
        except (ValueError, TypeError) as error:
            raise type(error)(f"frames[{index}]: {error}") from None
        if index == 0 and self.count:  # refused before anything is written
            _check_size(HEADER_BYTES + (len(glb) + _RECORD_BYTES) * self.count)
        self.bound += len(glb) + _RECORD_BYTES  # its payload, its records and more
        _check_size(self.bound)
        payload, padding = self.document.add_frame(glb, None if time is None else {"time": time})
        self.trajectory.append(time)
        self.write(payload)
        self.write(padding)
        if self.progress:
            self.progress()


def _build(frames: Iterable[Frame], count: int | None, shared: dict[str, Any],
           times: np.ndarray | None, workers: int | None, write: Callable[[Any], Any],
           progress: Callable[[], object] | None = None) -> tuple[bytes, bytes]:
    """Build every frame, hand each one's payload to `write` in order, and
    return the file's start and the payload's tail."""
    if times is not None and count is not None and len(times) != count:
        raise ValueError(f"times: {len(times)} values for {count} frames")
    stream = _Stream(count, write, progress)
    atoms = None
    threads = thread_limit(workers) or os.cpu_count() or 1
    in_flight: deque[tuple[int, Future[bytes], float | None]] = deque()
    with ThreadPoolExecutor(max_workers=threads) as pool:
        try:
            for index, frame in enumerate(frames):
                rows = _inputs.xyz_rows(frame.arguments["positions"], f"frames[{index}]",
                                        "x y z per atom")
                if atoms is None:
                    atoms = len(rows)
                elif len(rows) != atoms:
                    raise ValueError(f"frames[{index}]: {len(rows):,} atoms, but frames[0] has "
                                     f"{atoms:,}; every frame must hold the same atoms")
                arguments = {**shared, **frame.arguments, "positions": rows}
                in_flight.append((index, pool.submit(_frame_file, arguments), frame.time))
                while len(in_flight) > 2 * threads or (in_flight and in_flight[0][1].done()):
                    stream.take(*in_flight.popleft())
            while in_flight:
                stream.take(*in_flight.popleft())
        finally:
            for _, future, _ in in_flight:
                future.cancel()
    if not stream.trajectory:
        raise ValueError("frames: no frames")
    extras: dict[str, Any] = {"frameCount": len(stream.trajectory)}
    if None not in stream.trajectory:
        extras["timeUnit"] = "ps"
    return stream.document.finish(playback_times(times, stream.trajectory), extras)


def _frame_file(arguments: dict[str, Any]) -> bytes:
    return builders.atoms(**arguments, workers=1)  # frames are built side by side


def _check_size(total: int) -> None:
    if total >= GLB_LIMIT:
        raise ValueError(too_large_message(total))
