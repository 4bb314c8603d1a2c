"""The command line in a child process under an address-space limit (a file
that makes it allocate gigabytes fails) and a time limit (a hang fails)."""

import os
import resource
import subprocess
import sys


def run_plexorin(*args, umask=None, timeout=60, memory=512 << 20):
    def limit():
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        if umask is not None:
            os.umask(umask)

    return subprocess.run([sys.executable, "-m", "plexorin", *map(str, args)], preexec_fn=limit,
                          capture_output=True, text=True, timeout=timeout, check=False)


def assert_refused(run, path, words=""):
    assert run.returncode == 2 and run.stderr.count("\n") == 1, run.stderr[-2000:]
    assert run.stderr.startswith(f"plexorin: error: {path}: ") and words in run.stderr, run.stderr
