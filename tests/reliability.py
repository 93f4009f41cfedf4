"""Shared by the reliability tests: Python children running a chosen build of
the module, and the process figures (threads, resident memory, live objects)
that show whether a run gave back what it took."""

import gc
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

# Set by `tools/dev sanitize`: the suite runs an AddressSanitizer build of the
# module with the sanitizer runtime preloaded into the interpreter.
UNDER_SANITIZER = "TESSARA_SANITIZER" in os.environ
SKIP_UNDER_SANITIZER = pytest.mark.skipif(
    UNDER_SANITIZER, reason="needs the plain allocator: AddressSanitizer keeps freed memory in "
    "quarantine and reserves terabytes of shadow address space")
SLOW_UNDER_SANITIZER = pytest.mark.skipif(
    UNDER_SANITIZER, reason="libjxl's many allocations, each recorded with its whole stack under the "
    "sanitizer, take minutes; the native calls it makes are run there by smaller tests")


def ticks_during(call):
    """How often a Python thread counted while `call` ran: with the
    interpreter lock held by the call, it could only run at switch intervals."""
    ticks = []
    done = threading.Event()

    def counter():
        while not done.is_set():
            ticks.append(1)

    t = threading.Thread(target=counter)
    t.start()
    try:
        before = len(ticks)
        call()
        return len(ticks) - before
    finally:
        done.set()
        t.join()


def fault_module_dir():
    """The directory holding the fault-injection build of the module, or
    skip (fail under tools/dev)."""
    from jxltools import unavailable  # not in the children, which import this module

    path = Path(os.environ.get("TESSARA_FAULT_BIN", "build/fault"))
    if not list(path.glob("tessara*.so")):
        unavailable("the fault-injection module is not built (run through tools/dev test)")
    return path.resolve()


def run_python(code, *args, module_dir=None, env=None, timeout=600):
    """Runs `code` in a new interpreter; module_dir puts that build of the
    module first on its path."""
    child_env = dict(os.environ, **(env or {}))
    if module_dir is not None:
        # That build is not instrumented: it runs on the plain allocator,
        # whose memory figures mean what they say. Under the sanitizers the
        # inherited path leads to the instrumented tessara_pillow, whose
        # _native cannot load without the runtime: the child takes the
        # installed (plain) package instead.
        inherited = None if UNDER_SANITIZER else child_env.get("PYTHONPATH")
        child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), inherited]))
        for name in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS"):
            child_env.pop(name, None)
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=child_env)


def thread_count():
    return len(os.listdir("/proc/self/task"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def live_objects():
    """(objects the collector tracks, memory blocks the interpreter holds)."""
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks()
