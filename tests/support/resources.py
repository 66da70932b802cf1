"""What this process holds: open descriptors and threads, for leak checks."""

import gc
import os
import platform

PYPY = platform.python_implementation() == "PyPy"


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def thread_count():
    return len(os.listdir("/proc/self/task"))


def collect_garbage():
    """Make dropped objects go now: PyPy frees extension objects only when its GC runs."""
    gc.collect()
    if PYPY:
        gc.collect()
