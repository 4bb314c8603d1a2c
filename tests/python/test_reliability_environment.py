"""What the calling thread's environment must not change: a small thread
stack, an argument too large to copy, and the floating-point rounding mode.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import platform
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from limited_run import SANITIZED

LENGTH_ERROR = "cannot create std::vector larger than max_size()"

# Sets the address-space limit to what the child maps now plus `room` MiB.
LIMIT_ROOM = """
import resource
def limit_room(room_mib):
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (room_mib << 20), resource.RLIM_INFINITY))
"""


def run_child(code: str, stack_limit: int | None = None) -> subprocess.CompletedProcess:
    def before_exec():
        if stack_limit is not None:  # glibc sizes default thread stacks by it
            resource.setrlimit(resource.RLIMIT_STACK, (stack_limit, resource.RLIM_INFINITY))

    return subprocess.run([sys.executable, "-c", LIMIT_ROOM + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=300, preexec_fn=before_exec)


def test_chunks_of_failed_thread_starts_run_on_a_32_kib_python_thread():
    # Default thread stacks of 1 GiB cannot be mapped under a limit of 256 MiB
    # of room, so every worker start fails and every chunk, the radix
    # scatter's long ones included, runs on the calling thread's 32 KiB.
    child = run_child("""
        import threading
        import numpy as np
        import _plexorin as p
        rng = np.random.default_rng(3)
        positions = rng.random((600_000, 3), dtype=np.float32)
        types = rng.integers(0, 9, 600_000).astype(np.uint16)
        box = ([0, 0, 0], [1, 1, 1])
        expected = p.atom_glb(positions, types, *box)
        limit_room(256)
        try:
            threading.Thread(target=lambda: None).start()
            raise SystemExit("a default thread could still be started")
        except RuntimeError:
            pass
        threading.stack_size(32768)
        result = []
        worker = threading.Thread(target=lambda: result.append(p.atom_glb(positions, types, *box)))
        worker.start()
        worker.join()
        print("same bytes" if result == [expected] else "different bytes")
    """, stack_limit=1 << 30)
    assert (child.returncode, child.stdout.strip()) == (0, "same bytes"), child.stderr[-2000:]


def test_too_large_strided_arguments_are_refused_before_any_copy():
    # Zero-stride views of 1 to 2 GiB: any copy would need far more than the
    # 512 MiB of room, and must not be tried before the size refusal.
    child = run_child("""
        import resource
        import numpy as np
        import _plexorin as p
        floats = np.broadcast_to(np.float32(0.5), (1 << 29,))  # 2 GiB
        xyz = np.broadcast_to(np.zeros(3, np.float32), (89_478_486, 3))  # 24 bytes per atom: 2^31
        types = np.broadcast_to(np.uint16(1), (89_478_486,))
        box = ([0, 0, 0], [1, 1, 1])
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        limit_room(512)
        calls = (
            lambda: p.point_cloud_glb(floats, b"", *box),
            lambda: p.point_cloud_glb(b"", floats, *box),
            lambda: p.atom_glb(xyz, types, *box),
            lambda: p.mesh_glb(b"", floats, b"", [0] * 6, [1] * 4, 0, 1, [0] * 3, True, None),
            lambda: p.mesh_glb(b"", b"", b"", [0] * 6, [1] * 4, 0, 1, [0] * 3, True, floats),
        )
        for call in calls:
            try:
                call()
                print("returned")
            except Exception as error:
                print(type(error).__name__, error)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before
        print("rss grew", "little" if grown < 64 << 10 else f"by {grown} KiB")
    """)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.splitlines() == [f"ValueError {LENGTH_ERROR}"] * 5 + ["rss grew little"]


FE_TONEAREST, FE_UPWARD = {"x86_64": (0, 0x800), "aarch64": (0, 0x400000)}.get(
    platform.machine(), (None, None))


@pytest.mark.skipif(FE_UPWARD is None, reason="rounding-mode constants unknown here")
def test_files_do_not_depend_on_the_callers_rounding_mode(plexorin):
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    rng = np.random.default_rng(11)
    # 0.7 rounds down to the nearest float and up in upward mode, so the
    # inverse extent, and with it the cells of some atoms, would move.
    cloud = (rng.random((200_000, 3), dtype=np.float32) * np.float32(0.7)).astype(np.float32)
    types = rng.integers(0, 9, len(cloud)).astype(np.uint16)
    floats = np.arange(12, dtype=np.float32)
    indices = np.arange(3, dtype=np.uint32)
    calls = {
        "atoms": lambda: plexorin.atom_glb(cloud, types, [0, 0, 0], [0.7, 0.7, 0.7]),
        "bounds 0.1": lambda: plexorin.point_cloud_glb(floats, floats, [0.1] * 3, [0.1] * 3),
        "metallic 0.00001": lambda: plexorin.mesh_glb(floats, floats, indices, [0.1] * 6,
                                                      [1] * 4, 0.00001, 1, [0] * 3, True),
    }
    expected = {name: call() for name, call in calls.items()}
    assert libm.fesetround(FE_UPWARD) == 0
    try:
        upward = {name: call() for name, call in calls.items()}
        with pytest.raises(ValueError):  # and restored when the call throws
            plexorin.atom_glb(cloud, types, [float("nan")] * 3, [1] * 3)
        mode_after = libm.fegetround()
    finally:
        libm.fesetround(FE_TONEAREST)
    assert [name for name in calls if upward[name] != expected[name]] == []
    assert mode_after == FE_UPWARD


def test_the_public_package_has_the_same_three_guarantees():
    # The address sanitizer's redzones make every frame several times larger.
    small_stack = 4 * 32768 if SANITIZED else 32768
    child = run_child(f"SMALL_STACK = {small_stack}\n" + textwrap.dedent("""
        import ctypes, ctypes.util, resource, threading
        import numpy as np
        import plexorin
        rng = np.random.default_rng(5)
        positions = rng.random((600_000, 3)) * 0.7
        types = rng.integers(0, 9, 600_000)
        small = rng.random((9, 3)) * 0.1
        calls = [lambda: plexorin.atoms(positions, types), lambda: plexorin.point_cloud(small, small),
                 lambda: plexorin.mesh(small, np.arange(9).reshape(3, 3),
                                       material=plexorin.Material(metallic=0.00001))]
        expected = [call() for call in calls]
        libm = ctypes.CDLL(ctypes.util.find_library("m"))
        libm.fesetround(0x800)  # upward
        upward = [call() for call in calls]
        print("rounding", "same" if upward == expected and libm.fegetround() == 0x800 else "differs")
        libm.fesetround(0)
        huge = np.broadcast_to(np.zeros(3), (89_478_486, 3))  # 2^31 bytes as atoms
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        limit_room(512)
        for call in (lambda: plexorin.atoms(huge, np.broadcast_to(1, (89_478_486,))),
                     lambda: plexorin.point_cloud(huge, np.broadcast_to(np.ones(4), (89_478_486, 4))),
                     lambda: plexorin.mesh(huge, np.broadcast_to(np.arange(3), (89_478_486, 3)))):
            try:
                call()
            except ValueError as error:
                print("refused" if "must stay below 2 GiB" in str(error) else error)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before
        print("rss grew", "little" if grown < 64 << 10 else f"by {grown} KiB")
        threading.stack_size(SMALL_STACK)  # and no thread of the pipeline can start now
        result = []
        worker = threading.Thread(target=lambda: result.append(plexorin.atoms(positions, types)))
        worker.start()
        worker.join()
        print("small stack", "same" if result == expected[:1] else "differs")
    """), stack_limit=1 << 30)
    assert child.stdout.splitlines() == ["rounding same", "refused", "refused", "refused",
                                         "rss grew little", "small stack same"], child.stderr[-2000:]


def test_compressed_calls_of_more_rows_than_the_core_counts_are_refused_before_any_copy():
    # 2^32 zero-stride rows: a copy would take 48 GiB, far more than the
    # 512 MiB of room, and must not come before the row limit's refusal.
    child = run_child("""
        import numpy as np
        import plexorin
        rows = np.broadcast_to(np.zeros(3, np.float32), (1 << 32, 3))
        limit_room(512)
        for call in (lambda: plexorin.atoms(rows, np.broadcast_to(1, (1 << 32,)), compress=True),
                     lambda: plexorin.point_cloud(rows, compress=True),
                     lambda: plexorin.mesh(rows, [[0, 1, 2]], compress=True)):
            try:
                call()
            except Exception as error:
                print(type(error).__name__, error)
    """)
    assert child.stdout.splitlines() == [
        "ValueError positions: 4294967296 rows are more than 4294967295"] * 3, child.stderr[-2000:]
