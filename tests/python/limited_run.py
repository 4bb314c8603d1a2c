"""The command line in a child process under an address-space limit (a file
that makes it allocate gigabytes fails) and a time limit (a hang fails)."""

import os
import resource
import subprocess
import sys

# The address sanitizer reserves terabytes of shadow memory at start-up, which
# an address-space limit forbids; under it the limit is the sanitizer's own cap
# on one allocation instead, and since the runtime slows a run several times, the
# time limit is longer.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def run_plexorin(*args, umask=None, timeout=60, memory=512 << 20):
    def limit():
        if memory and not SANITIZED:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        if umask is not None:
            os.umask(umask)

    env = dict(os.environ)
    if memory and SANITIZED:
        env["ASAN_OPTIONS"] = f"{env.get('ASAN_OPTIONS', '')}:max_allocation_size_mb={memory >> 20}"
    return subprocess.run([sys.executable, "-m", "plexorin", *map(str, args)], preexec_fn=limit,
                          env=env, capture_output=True, text=True,
                          timeout=timeout * 5 if SANITIZED else timeout, check=False)


def assert_refused(run, path, words=""):
    assert run.returncode == 2 and run.stderr.count("\n") == 1, run.stderr[-2000:]
    assert run.stderr.startswith(f"plexorin: error: {path}: ") and words in run.stderr, run.stderr
