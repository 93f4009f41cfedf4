import ctypes
import gc
import os

import pytest

import tessara


@pytest.fixture
def decoder():
    return tessara.Decoder()


def pytest_sessionfinish(session, exitstatus):
    """Under `tools/dev sanitize`: LeakSanitizer's check once the suite is
    done, while the interpreter still holds its own memory. At the process's
    very end the interpreter has dropped its references without freeing
    them, and all of that would be reported."""
    if "TESSARA_SANITIZER" not in os.environ:
        return
    gc.collect()
    if ctypes.CDLL(None).__lsan_do_recoverable_leak_check() != 0:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_collection_modifyitems(config, items):
    """Under `tools/dev sanitize`, the type checks are skipped: they run no
    native code, and mypy under the preloaded sanitizer runtime takes many
    minutes."""
    if "TESSARA_SANITIZER" not in os.environ:
        return
    skip = pytest.mark.skip(reason="type checking runs no native code; too slow under the sanitizer runtime")
    for item in items:
        if item.path.name == "test_typing.py":
            item.add_marker(skip)
