"""Peak resident memory of one `atom_glb` call, above its inputs.

Usage: python peak_memory.py COUNT. Builds COUNT uniform atoms, resets the
process's peak-RSS mark, makes one call and prints a JSON object with the
growth of the peak (the returned file included: it is still alive when the
peak is read). Linux only: reads /proc/self/status and writes "5" to
/proc/self/clear_refs, which resets the mark to the current RSS.
"""

import json
import sys

import numpy as np

import _plexorin


def status_kib(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def main() -> None:
    count = int(sys.argv[1])
    rng = np.random.default_rng(1)
    positions = rng.random((count, 3), dtype=np.float32)
    types = rng.integers(0, 10, count).astype(np.uint16)
    with open("/proc/self/clear_refs", "w", encoding="ascii") as clear_refs:
        clear_refs.write("5")
    before = status_kib("VmRSS")
    result = _plexorin.atom_glb(positions, types, [0, 0, 0], [1, 1, 1])
    peak = (status_kib("VmHWM") - before) * 1024
    print(json.dumps({"atoms": count, "file_bytes": len(result), "peak_bytes": peak,
                      "peak_bytes_per_atom": peak / count}))


if __name__ == "__main__":
    main()
