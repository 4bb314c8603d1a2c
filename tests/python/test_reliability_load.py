"""Leaks and load: many calls keep the memory flat, threads and a comma
locale do not change a single byte."""

from __future__ import annotations

import hashlib
import json
import locale
import os
import pathlib
import random
import subprocess
import sys
import threading

import numpy as np
import pytest

HERE = pathlib.Path(__file__).resolve().parent
BOX = ([0.0, 0.0, 0.0], [1.0, 1.0, 1.0])


def child_env() -> dict:
    env = dict(os.environ)
    module_dir = str(pathlib.Path(__import__("_plexorin").__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, str(HERE), env.get("PYTHONPATH", "")])
    return env


def run_child(code: str, *args: str, timeout: int = 600) -> dict:
    result = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                            timeout=timeout, env=child_env(), check=False)
    assert result.returncode == 0, f"the process died ({result.returncode}): {result.stderr[-3000:]}"
    return json.loads(result.stdout.splitlines()[-1])


# ------------------------------------------------------------- many calls --

class Unconvertible:
    """A bound whose conversion to float fails."""

    def __float__(self):
        raise ArithmeticError("no float here")


def released_view():
    """A buffer object whose export is refused with ValueError."""
    view = memoryview(b"\0" * 12)
    view.release()
    return view


def call_mix(p) -> dict:
    """Per function: a cycle of (call, expected exception or None) with valid
    and invalid arguments of every kind the module checks. An atom call
    starts ten threads even for a few atoms (about 0.5 ms here), so those
    calls are one in fifteen of the atom cycle."""
    rng = np.random.default_rng(1)
    positions = rng.random((200, 3), dtype=np.float32)
    types = rng.integers(0, 9, 200).astype(np.uint16)
    rgba = rng.random((200, 4), dtype=np.float32)
    tri = np.array([0, 0, 0, 1, 0, 0, 0, 1, 0], np.float32)
    up = np.array([0, 0, 1] * 3, np.float32)
    idx = np.array([0, 1, 2], np.uint32)
    refused = released_view()
    nan = float("nan")

    def mesh(**kw):
        return lambda: p.mesh_glb(**{
            "positions": tri, "normals": up, "indices": idx, "bounds": [0, 0, 0, 1, 1, 0],
            "base_color": [1, 1, 1, 1], "metallic": 0.0, "roughness": 0.5, "emissive": [0, 0, 0],
            "double_sided": True, **kw})

    atom_cheap = [
        (lambda: p.atom_glb(b"", b"", *BOX), None),  # zero atoms: no threads
        (lambda: p.atom_glb(positions, types[:10], *BOX), ValueError),  # types too short
        (lambda: p.atom_glb(positions, types, [0, 0], BOX[1]), ValueError),
        (lambda: p.atom_glb(positions, types, BOX[0], [1, nan, 1]), ValueError),
        (lambda: p.atom_glb(positions, types, BOX[0], [1, Unconvertible(), 1]), RuntimeError),
        (lambda: p.atom_glb(refused, types, *BOX), ValueError),
        (lambda: p.atom_glb([0.0] * 3, b"", *BOX), TypeError),
    ]
    return {
        "atom_glb": 2 * atom_cheap + [
            (lambda: p.atom_glb(positions, types, *BOX), None),
        ] + 2 * atom_cheap + [
            (lambda: p.atom_glb(positions[::2], types[::2], *BOX), None),  # copied to row-major
        ],
        "point_cloud_glb": [
            (lambda: p.point_cloud_glb(positions, rgba, *BOX), None),
            (lambda: p.point_cloud_glb(positions, rgba[:, :3].copy(), *BOX), None),
            (lambda: p.point_cloud_glb(positions[::3], rgba[::3], *BOX), None),
            (lambda: p.point_cloud_glb(b"", b"", *BOX), None),
            (lambda: p.point_cloud_glb(positions, rgba, BOX[0], []), ValueError),
            (lambda: p.point_cloud_glb(positions, rgba, [nan, 0, 0], BOX[1]), ValueError),
            (lambda: p.point_cloud_glb(positions, rgba, "abc", BOX[1]), RuntimeError),
            (lambda: p.point_cloud_glb(positions, refused, *BOX), ValueError),
            (lambda: p.point_cloud_glb(b"", "colours", *BOX), TypeError),
        ],
        "mesh_glb": [
            (mesh(), None),
            (mesh(colors=rgba[:3]), None),
            (mesh(colors=b""), None),
            (mesh(positions=tri.reshape(3, 3).T), None),  # not C-contiguous
            (mesh(colors=[1.0, 0.0, 0.0, 1.0]), TypeError),
            (mesh(base_color=[1, 1, 1]), ValueError),
            (mesh(emissive=[]), ValueError),
            (mesh(metallic=nan), ValueError),
            (mesh(bounds=[0, 0, 0, 1, None, 1]), RuntimeError),
            (mesh(indices=refused), ValueError),
            (mesh(positions=b"", normals=b"", indices=b"", double_sided="yes"), TypeError),
        ],
    }


def run_calls(calls, count: int) -> int:
    """Makes `count` calls cycling through `calls`; returns how many did not
    end as expected."""
    wrong = 0
    for i in range(count):
        call, expected = calls[i % len(calls)]
        try:
            result = call()
            wrong += expected is not None or not isinstance(result, bytes)
        except Exception as error:  # noqa: BLE001 - the type is what is checked
            wrong += expected is None or not isinstance(error, expected)
    return wrong


MANY_CALLS_CHILD = """
import json, sys
import _plexorin as p
import test_reliability_load as t

def rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) << 10

calls_per_function = int(sys.argv[1])
report = {}
for name, calls in t.call_mix(p).items():
    t.run_calls(calls, 5000)  # warm up the allocators and the caches
    before = rss()
    wrong = t.run_calls(calls, calls_per_function)
    report[name] = {"calls": calls_per_function, "wrong": wrong, "rss_before": before,
                    "rss_after": rss()}
print(json.dumps(report))
"""

CALLS_PER_FUNCTION = 100_000
# RSS growth allowed over 100000 calls of one function: 2 MiB, that is 21
# bytes a call. The smallest block either allocator hands out for anything a
# call could leave behind (a Python object, a malloc chunk, a result) is 32
# bytes or more, and every one of them is written, so a leak of one per call
# would show as 3.2 MB or more.
RSS_GROWTH_BOUND = 2 << 20


def under_address_sanitizer() -> bool:
    return "libasan" in pathlib.Path("/proc/self/maps").read_text()


def test_many_calls_keep_memory_flat(plexorin):
    report = run_child(MANY_CALLS_CHILD, str(CALLS_PER_FUNCTION))
    assert sorted(report) == ["atom_glb", "mesh_glb", "point_cloud_glb"]
    for name, figures in report.items():
        assert figures["wrong"] == 0, name
        if not under_address_sanitizer():  # its quarantine holds freed memory on purpose
            growth = figures["rss_after"] - figures["rss_before"]
            assert growth < RSS_GROWTH_BOUND, (name, figures)


# ----------------------------------------------------------------- threads --

def sample_inputs() -> dict:
    """Named calls covering every function, templates and the multi-worker
    atom path (120000 atoms)."""
    rng = np.random.default_rng(7)
    many = rng.normal(0.5, 0.3, (120_000, 3)).astype(np.float32)
    many[::97] = np.nan
    many_types = rng.integers(0, 12, 120_000).astype(np.uint16)
    few = rng.random((500, 3), dtype=np.float32)
    few_types = rng.integers(0, 9, 500).astype(np.uint16)
    rgba = rng.random((500, 4), dtype=np.float32)
    vertices = rng.random((300, 3), dtype=np.float32)
    normals = rng.random((300, 3), dtype=np.float32)
    indices = rng.integers(0, 300, 900).astype(np.uint32)
    odd_box = ([-0.123456789, 2.5e-7, -1e20], [1.0000005, 3.75, 12345.678901])
    mesh_args = (vertices, normals, indices, [-1.5, 0, 0.25, 1, 1.5, 2],
                 [0.2, 0.4, 0.6, 0.8], 0.3, 0.7, [0.1, 0.2, 0.3], False)
    return {
        "atoms_120000": ("atom_glb", (many, many_types, *odd_box)),
        "atoms_500": ("atom_glb", (few, few_types, *BOX)),
        "cloud_rgba": ("point_cloud_glb", (few, rgba, *odd_box)),
        "cloud_rgb": ("point_cloud_glb", (few, rgba[:, :3].copy(), *BOX)),
        "mesh": ("mesh_glb", mesh_args),
        "mesh_colored": ("mesh_glb", mesh_args + (rgba[:300],)),
    }


def serial_results(p, inputs: dict) -> dict:
    return {name: getattr(p, function)(*args) for name, (function, args) in inputs.items()}


def threaded_results(p, inputs: dict, threads: int = 8, rounds: int = 4) -> list:
    """Each thread calls every input `rounds` times, in its own shuffled
    order, all threads released at once; returns (name, bytes) of every call."""
    start = threading.Barrier(threads)
    results = [[] for _ in range(threads)]
    errors = []

    def worker(number: int):
        order = [name for name in inputs for _ in range(rounds)]
        random.Random(number).shuffle(order)
        try:
            start.wait()
            for name in order:
                function, args = inputs[name]
                results[number].append((name, getattr(p, function)(*args)))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # hand the interpreter lock around often
    try:
        workers = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not errors, errors
    return [item for per_thread in results for item in per_thread]


def test_eight_threads_get_the_serial_bytes(plexorin):
    inputs = sample_inputs()
    serial = serial_results(plexorin, inputs)
    calls = threaded_results(plexorin, inputs)
    assert len(calls) == 8 * 4 * len(inputs)
    differing = sorted({name for name, data in calls if data != serial[name]})
    assert differing == []


# ------------------------------------------------------------ comma locale --

COMMA_LOCALE_CHILD = """
import ctypes, hashlib, json, locale
import _plexorin as p
import test_reliability_load as t

locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
text = ctypes.create_string_buffer(16)
ctypes.CDLL(None).snprintf(text, 16, b"%.1f", ctypes.c_double(0.5))
inputs = t.sample_inputs()
calls = t.threaded_results(p, inputs) + list(t.serial_results(p, inputs).items())
digests = {}
for name, data in calls:
    digests.setdefault(name, set()).add(hashlib.sha256(data).hexdigest())
print(json.dumps({"printf": text.value.decode(), "digests": {k: sorted(v) for k, v in digests.items()}}))
"""


def comma_locale_available() -> bool:
    try:
        previous = locale.setlocale(locale.LC_NUMERIC)
        locale.setlocale(locale.LC_NUMERIC, "de_DE.UTF-8")
        locale.setlocale(locale.LC_NUMERIC, previous)
        return True
    except locale.Error:
        return False


@pytest.mark.skipif(not comma_locale_available(),
                    reason="de_DE.UTF-8 is not generated (make setup generates it)")
def test_comma_locale_gives_identical_files_also_from_threads(plexorin):
    report = run_child(COMMA_LOCALE_CHILD)
    assert report["printf"] == "0,5"  # the C library really writes commas there
    expected = {name: [hashlib.sha256(data).hexdigest()]
                for name, data in serial_results(plexorin, sample_inputs()).items()}
    assert report["digests"] == expected
