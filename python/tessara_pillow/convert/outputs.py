"""Output files that appear whole or not at all: each is written under a
hidden temporary name beside its final one, synced, then renamed, and an
interrupted run removes the temporary files it still has open."""

from __future__ import annotations

import errno
import os
import secrets
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO

# os.link() cannot make the final name on these; the fallback checks first.
_NO_LINKS = (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK, errno.ENOSYS)


class Aborted(Exception):
    """The run was interrupted: no output is finished any more."""


def temporary_name(final: Path) -> Path:
    """Hidden, so that directory walks pass it over, and named after the
    output it will become, so that a leftover (after kill -9) explains itself."""
    return final.with_name(f".{final.name}.{secrets.token_hex(4)}.tmp")


class Outputs:
    """The outputs being written by all threads of a run."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._open: set[Path] = set()
        self._aborted = False

    @contextmanager
    def writing(self, final: Path, *, overwrite: bool) -> Iterator[BinaryIO]:
        """A file to write `final`'s content into; when the block ends without
        an exception it becomes `final` (FileExistsError if `final` exists and
        not overwrite), otherwise it is removed."""
        final.parent.mkdir(parents=True, exist_ok=True)
        with self._lock:
            if self._aborted:
                raise Aborted
            temporary = temporary_name(final)
            # 0o666: the final file gets the permissions the umask gives new files.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            self._open.add(temporary)
        try:
            with os.fdopen(fd, "wb") as stream:
                yield stream
                stream.flush()
                os.fsync(stream.fileno())
            with self._lock:
                if self._aborted:
                    raise Aborted
                _finish(temporary, final, overwrite)
                self._open.discard(temporary)
        except BaseException:
            with self._lock:
                self._remove(temporary)
            raise

    def abort(self) -> None:
        """Remove every temporary file and finish no more outputs. A thread in
        the middle of a rename holds the lock, so each output is either
        complete under its name or gone."""
        with self._lock:
            self._aborted = True
            for temporary in list(self._open):
                self._remove(temporary)

    def _remove(self, temporary: Path) -> None:
        self._open.discard(temporary)
        try:
            temporary.unlink()
        except FileNotFoundError:
            pass


def _finish(temporary: Path, final: Path, overwrite: bool) -> None:
    if overwrite:
        os.replace(temporary, final)
        return
    # A hard link refuses an existing name in one step, so a file that
    # appeared since the run was planned is never replaced.
    try:
        os.link(temporary, final)
    except FileExistsError:
        raise _appeared(final) from None
    except OSError as e:
        if e.errno not in _NO_LINKS:
            raise
        if final.exists():
            raise _appeared(final) from e
        os.replace(temporary, final)
    else:
        temporary.unlink()


def _appeared(final: Path) -> FileExistsError:
    return FileExistsError(errno.EEXIST, f"{final} appeared while it was being written (--overwrite replaces it)")
