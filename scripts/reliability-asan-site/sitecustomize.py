"""Loaded only by scripts/reliability-asan-pytest, through PYTHONPATH.

The sanitizer runtime is preloaded into Python through LD_PRELOAD, which
every child process inherits. Python children need it (they import the
instrumented module too), but other programs the tests start, such as node
and Chromium, are not built for it and misbehave under it; they are started
without it.
"""

import os
import subprocess
import sys

_PYTHON = os.path.realpath(sys.executable)
_original_init = subprocess.Popen.__init__


def _program(args, kwargs) -> str:
    if kwargs.get("executable"):
        return os.fsdecode(kwargs["executable"])
    if isinstance(args, (str, bytes, os.PathLike)):
        text = os.fsdecode(args)
        return text.split()[0] if kwargs.get("shell") and text.split() else text
    return os.fsdecode(args[0]) if args else ""


def _is_python(program: str) -> bool:
    path = os.path.realpath(program) if os.sep in program else program
    return path == _PYTHON or os.path.basename(path).startswith("python")


def _init(self, args, *rest, **kwargs):
    if "LD_PRELOAD" in (kwargs.get("env") or os.environ) and not _is_python(_program(args, kwargs)):
        env = dict(kwargs.get("env") or os.environ)
        del env["LD_PRELOAD"]
        kwargs["env"] = env
    _original_init(self, args, *rest, **kwargs)


subprocess.Popen.__init__ = _init
