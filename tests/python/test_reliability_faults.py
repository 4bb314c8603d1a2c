"""Fault injection: allocation failures under an address-space limit.

A child process prepares its inputs and the expected file, then calls the
function again and again under a soft RLIMIT_AS that leaves more room each
time, from none to enough. Every call must either return the expected bytes
or raise MemoryError; depending on the room left, the failure hits a
different allocation (a working array of the atom pipeline, the result
`bytes`, the row-major copy of a strided buffer). Afterwards, with the limit
lifted, the process must still work and hold no more heap memory than before
the faults. (Failing thread starts are injected in the C++ tests: glibc
reuses cached thread stacks, so an address-space limit does not reach them.)
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent("""
    import ctypes, json, resource, sys
    import numpy as np
    import _plexorin as p
    import plexorin

    case, step_mib, max_mib, arenas = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                     "uordblks", "fordblks", "keepcost")]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    # Keep the address space a measure of live memory: every large block is
    # mapped on its own and unmapped when freed (no adaptive threshold), the
    # heap top is given back, and threads share one malloc arena, so that
    # small blocks fail too; or, as glibc does by default, each thread
    # takes an arena of its own, whose reserve hands it small blocks even
    # under the limit while its large blocks fail.
    M_TRIM_THRESHOLD, M_MMAP_THRESHOLD, M_ARENA_MAX = -1, -3, -8
    for option, value in ((M_MMAP_THRESHOLD, 256 << 10), (M_TRIM_THRESHOLD, 256 << 10),
                          (M_ARENA_MAX, 1 if arenas == "one arena" else 0)):
        if value:
            libc.mallopt(option, value)

    def heap_in_use():
        # malloc'ed bytes of the process (heap chunks plus mmapped blocks);
        # Python's own object arenas are mapped apart and not counted.
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) << 10

    rng = np.random.default_rng(5)
    atoms = 250_000  # the multi-worker path
    positions = rng.random((atoms, 3), dtype=np.float32)
    types = rng.integers(0, 9, atoms).astype(np.uint16)
    floats = rng.random(3 * atoms, dtype=np.float32)
    strided = np.repeat(floats, 2)[::2]  # not contiguous: the module copies it
    indices = np.arange(3 * atoms, dtype=np.uint32)
    box = ([0, 0, 0], [1, 1, 1])
    # Four workers whatever the machine: the package's layouts whose work
    # runs on threads of their own, which must not allocate (a failed
    # allocation's exception cannot leave a thread under such a limit:
    # glibc aborts when it cannot allocate the thread-local storage that
    # throwing needs).
    threaded = dict(workers=4)
    calls = {
        "spheres": lambda: plexorin.atoms(positions, types, style="spheres", **threaded),
        "spheres_compressed": lambda: plexorin.atoms(positions, types, style="spheres",
                                                     compress=True, **threaded),
        "point_cloud_compressed": lambda: plexorin.point_cloud(positions, compress=True,
                                                               **threaded),
        "atom": lambda: p.atom_glb(positions, types, *box),
        "point_cloud": lambda: p.point_cloud_glb(floats, floats, *box),
        "point_cloud_strided": lambda: p.point_cloud_glb(strided, strided, *box),
        "mesh": lambda: p.mesh_glb(floats, floats, indices, [0] * 6, [1] * 4, 0, 1, [0] * 3,
                                   True, floats),
        "mesh_strided_colors": lambda: p.mesh_glb(floats, floats, indices, [0] * 6, [1] * 4, 0,
                                                  1, [0] * 3, True, strided),
    }
    call = calls[case]
    expected = call()
    call()  # settle the allocator with one more healthy call
    heap_before = heap_in_use()

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for headroom_mib in range(0, max_mib + 1, step_mib):
        limit = vm_size() + (headroom_mib << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        try:
            result = call()
            outcome = "same bytes" if result == expected else "different bytes"
            del result
        except MemoryError:
            outcome = "MemoryError"
        except BaseException as error:  # anything else is a defect
            outcome = type(error).__name__ + ": " + str(error)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        outcomes.append(outcome)

    print(json.dumps({
        "outcomes": outcomes,
        "after": "same bytes" if call() == expected else "different bytes",
        "heap_growth": heap_in_use() - heap_before,
    }))
""")

# How far each sweep goes, in MiB of room. At most, atoms need the key and
# order arrays and the sort's two scratch arrays (1 MiB each), then the order
# and a 6 MiB result; the point cloud a 6 MiB result (and 6 MiB of row-major
# copies when strided); the mesh a 12 MiB result (and a 3 MiB colour copy).
# The sweeps run well past these, so that their last calls must succeed.
CASES = {
    "atom": 24,
    "point_cloud": 20,
    "point_cloud_strided": 28,
    "mesh": 28,
    "mesh_strided_colors": 32,
}
# The package's threaded layouts: 250000 atoms as spheres (translations,
# their groups and the sort, 3 MiB each), their compressed streams, and a
# compressed point cloud's order and chunk arrays.
THREADED_CASES = {
    "spheres": 40,
    "spheres_compressed": 40,
    "point_cloud_compressed": 40,
}
STEP_MIB = 1

# A leak of any working array (1 MB) or result in any call would exceed
# this; what remains is the allocator's own bookkeeping (under 2 KiB here).
HEAP_GROWTH_BOUND = 256 << 10


def run_child(case: str, arenas: str = "one arena") -> dict:
    env = dict(os.environ)
    module_dir = str(pathlib.Path(__import__("_plexorin").__file__).parent)
    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    sweep = CASES.get(case) or THREADED_CASES[case]
    result = subprocess.run([sys.executable, "-c", CHILD, case, str(STEP_MIB), str(sweep), arenas],
                            capture_output=True, text=True, timeout=300, env=env, check=False)
    assert result.returncode == 0, f"the process died ({result.returncode}): {result.stderr[-3000:]}"
    return json.loads(result.stdout.splitlines()[-1])


def under_address_sanitizer() -> bool:
    return "libasan" in pathlib.Path("/proc/self/maps").read_text()


# AddressSanitizer's runtime maps memory of its own at every allocation and
# thread start, and aborts the process when such a mapping is refused.
@pytest.mark.skipif(under_address_sanitizer(), reason="an address-space limit kills the sanitizer")
@pytest.mark.parametrize("case, arenas", [(case, "one arena") for case in sorted(CASES)] + [
    (case, arenas) for case in sorted(THREADED_CASES) for arenas in ("one arena", "an arena each")])
def test_allocation_failure_is_memory_error_and_the_process_survives(plexorin, case, arenas):
    report = run_child(case, arenas)
    outcomes = report["outcomes"]
    assert set(outcomes) <= {"MemoryError", "same bytes"}, outcomes
    if arenas == "one arena":  # an arena's reserve may hold what a call needs
        assert outcomes[0] == "MemoryError"  # no room at all
    assert outcomes[-1] == "same bytes"  # enough room
    # Once a call succeeds, more room never makes it fail again.
    first_success = outcomes.index("same bytes")
    assert set(outcomes[first_success:]) == {"same bytes"}, outcomes
    assert report["after"] == "same bytes"
    assert report["heap_growth"] < HEAP_GROWTH_BOUND, report["heap_growth"]
