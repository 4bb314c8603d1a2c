"""The floating-point rounding mode of the calling thread during a call.

NumPy's conversions to float32 round as the thread's rounding mode says, and
any extension or ctypes call can leave it changed; files must depend on
their inputs alone. The native core guards its own arithmetic the same way.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import platform
from collections.abc import Iterator
from contextlib import contextmanager

# <fenv.h> values of FE_TONEAREST per machine; elsewhere nothing is changed.
_TO_NEAREST = {"x86_64": 0, "AMD64": 0, "aarch64": 0}.get(platform.machine())


def _load_libm() -> ctypes.CDLL | None:
    name = ctypes.util.find_library("m")
    try:
        return ctypes.CDLL(name) if name and _TO_NEAREST is not None else None
    except OSError:
        return None


_LIBM = _load_libm()


@contextmanager
def round_to_nearest() -> Iterator[None]:
    """Round to nearest inside the block; the caller's mode is restored after."""
    if _LIBM is None:
        yield
        return
    caller = int(_LIBM.fegetround())
    if caller == _TO_NEAREST:
        yield
        return
    _LIBM.fesetround(_TO_NEAREST)
    try:
        yield
    finally:
        _LIBM.fesetround(caller)
