"""The command line in a child process, as a user runs it, under an
address-space limit (so that a file that makes it allocate gigabytes fails
instead of swapping) and a time limit (so that a hang fails)."""

import os
import resource
import subprocess
import sys

MEMORY_LIMIT = 512 << 20  # about what importing plexorin and NumPy needs, plus room


def run_plexorin(*args, umask=None, timeout=60, memory=MEMORY_LIMIT):
    def limit():
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        if umask is not None:
            os.umask(umask)

    return subprocess.run([sys.executable, "-m", "plexorin", *map(str, args)], preexec_fn=limit,
                          capture_output=True, text=True, timeout=timeout, check=False)


def assert_one_line_refusal(run, path, *words):
    assert run.returncode == 2, run.stderr[-2000:]
    assert run.stderr.startswith(f"plexorin: error: {path}: ") and run.stderr.count("\n") == 1
    for word in words:
        assert word in run.stderr, run.stderr
