"""Output files that appear whole or not at all: each is written under a
hidden temporary name beside its final one, locked while it is written,
synced, renamed, and its directory synced; an interrupted run removes the
temporary files it still has open, and a later run the ones that an earlier,
killed run left. A failure names the path that failed and what was being done."""

from __future__ import annotations

import errno
import fcntl
import os
import re
import secrets
import stat
import tempfile
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO

from . import provenance

# os.link() cannot make the final name on these; the fallback checks first.
_NO_LINKS = (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK, errno.ENOSYS)
# Failures of a directory rather than of one file: every output there meets them.
_DIRECTORY_ERRNOS = (errno.EACCES, errno.EPERM, errno.EROFS, errno.ENOSPC, errno.EDQUOT)
_DIRECTORY_FAILURES = ("cannot create the directory ", "cannot write in the directory ")
_NAME_MAX = 255  # bytes of one name on Linux's file systems
_TAIL = re.compile(r"\.[0-9a-f]{8}\.tmp\Z")  # what temporary_name adds
_TAIL_LENGTH = len(".01234567.tmp")


class Aborted(Exception):
    """The run was interrupted: no output is finished any more."""


def _failed(error: OSError, doing: str) -> OSError:
    """`error` saying what was being done: "cannot create the directory
    out/a: Permission denied"."""
    return type(error)(error.errno, f"{doing}: {error.strerror or error}")


def directory_failure(reason: str) -> bool:
    """Whether a file's failure is its output directory's, shared by every
    file that goes there (a run says it once)."""
    return reason.startswith(_DIRECTORY_FAILURES)


def _failed_in(error: OSError, directory: Path, doing: str) -> OSError:
    """`error` as a failure of `directory` when it is one, else of `doing`."""
    if error.errno in _DIRECTORY_ERRNOS:
        return _failed(error, f"cannot write in the directory {directory}")
    return _failed(error, doing)


def _temporary_prefix(final: Path) -> str:
    """"." and the final name, cut to leave room for the random tail within
    the longest name a directory holds."""
    prefix = os.fsencode("." + final.name)
    return os.fsdecode(prefix[: _NAME_MAX - _TAIL_LENGTH])


def temporary_name(final: Path) -> Path:
    """Hidden, so that directory walks pass it over, and named after the
    output it will become, so that a leftover (after kill -9) explains itself."""
    return final.with_name(f"{_temporary_prefix(final)}.{secrets.token_hex(4)}.tmp")


def _sync_directory(directory: Path) -> None:
    """Make the names in `directory` last through a crash."""
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
    except OSError as e:
        if e.errno != errno.EINVAL:  # file systems that cannot sync a directory
            raise _failed(e, f"cannot sync the directory {directory}") from e


def _make_directory(directory: Path) -> None:
    """`directory` and its missing parents, each one's name synced."""
    missing = []
    while not directory.is_dir() and directory != directory.parent:
        missing.append(directory)
        directory = directory.parent
    for new in reversed(missing):
        try:
            os.mkdir(new)
        except FileExistsError as e:
            if new.is_dir():  # made by another thread meanwhile
                continue
            raise FileExistsError(e.errno, f"cannot create the directory {new}: a file has that name") from e
        except OSError as e:
            raise _failed(e, f"cannot create the directory {new}") from e
        _sync_directory(new.parent)


def _create_locked(final: Path, mode: int) -> tuple[Path, int]:
    """A new temporary file for `final`, locked (flock) for as long as it is
    open, which tells a later run that it is still being written."""
    while True:
        temporary = temporary_name(final)
        try:
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
        except OSError as e:
            raise _failed_in(e, final.parent, f"cannot create {final.name}'s temporary file in {final.parent}") from e
        fcntl.flock(fd, fcntl.LOCK_EX)
        if os.fstat(fd).st_nlink:
            return temporary, fd
        # Another run took it for a leftover in the instant before it was locked.
        os.close(fd)


def check_directory(directory: Path) -> None:
    """Make `directory` (and its parents) and create a file in it, as a run
    does before it converts anything; OSError saying why it cannot."""
    _make_directory(directory)
    try:
        fd, name = tempfile.mkstemp(prefix=".tessara-convert-", suffix=".tmp", dir=directory)
    except OSError as e:
        raise _failed(e, f"cannot write in the directory {directory}") from e
    os.close(fd)
    os.unlink(name)


class Outputs:
    """The outputs being written by all threads of a run (or of a worker
    process, when `retried`: see writing())."""

    def __init__(self, *, retried: bool = False) -> None:
        self._lock = threading.Lock()
        self._open: set[Path] = set()
        self._aborted = False
        self._retried = retried

    @contextmanager
    def writing(self, final: Path, *, overwrite: bool, mode: int = 0o666,
                made_from: tuple[Path, provenance.Digest] | None = None,
                replaces: tuple[int, int, int, int] | None = None) -> Iterator[BinaryIO]:
        """A file to write `final`'s content into; when the block ends without
        an exception it becomes `final`, otherwise it is removed. A `final`
        that exists is replaced only with overwrite and when it still is the
        file `replaces` identifies (device, inode, size, mtime), the earlier
        output planned to be replaced: otherwise FileExistsError. It is
        created with the permission bits `mode`, less the umask's. With
        `made_from` (the source and its digest) it is recorded as this tool's
        output in its directory's manifest before it takes its name. When
        `retried`, a job may be running again after a worker died with its
        output finished: a `final` that exists with the same content is then
        that output, not a conflict."""
        _make_directory(final.parent)
        with self._lock:
            if self._aborted:
                raise Aborted
            temporary, fd = _create_locked(final, mode)
            self._open.add(temporary)
        try:
            # Closed (and unlocked) only once it is renamed or removed.
            with os.fdopen(fd, "wb") as stream:
                try:
                    yield stream
                    stream.flush()
                    os.fsync(stream.fileno())
                except OSError as e:
                    if e.errno is None or e.filename is not None:
                        raise  # not the output's: the encoder's, say
                    raise _failed_in(e, final.parent, f"cannot write {final}") from e
                if made_from is not None:
                    _record(temporary, final, *made_from)
                with self._lock:
                    if self._aborted:
                        raise Aborted
                    _finish(temporary, final, replaces if overwrite else None, self._retried)
                    self._open.discard(temporary)
            _sync_directory(final.parent)
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


def _record(temporary: Path, final: Path, source: Path, source_digest: provenance.Digest) -> None:
    """The record that makes `final` provably this tool's output; an output
    that cannot be recorded (a manifest another user owns, say) is still
    written, and later runs take it for an original, which they never replace."""
    try:
        provenance.record(final, provenance.digest(temporary), source, source_digest)
    except OSError:
        pass


def identity(path: Path) -> tuple[int, int, int, int] | None:
    """What tells a file from one put in its place: (device, inode, size,
    modification time); None if there is none."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return None
    return status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns


def _finish(temporary: Path, final: Path, replaces: tuple[int, int, int, int] | None, retried: bool) -> None:
    try:
        if replaces is not None and identity(final) == replaces:
            # The earlier output the run was planned to replace, unchanged since.
            os.replace(temporary, final)
            return
        # A hard link refuses an existing name in one step, so a file that
        # appeared since the run was planned is never replaced.
        try:
            os.link(temporary, final)
        except FileExistsError:
            _found_finished(temporary, final, retried)
        except OSError as e:
            if e.errno not in _NO_LINKS:
                raise
            if final.exists():
                _found_finished(temporary, final, retried)
                return
            os.replace(temporary, final)
        else:
            temporary.unlink()
    except FileExistsError:
        raise
    except OSError as e:
        raise _failed(e, f"cannot rename {temporary.name} to {final}") from e


def _found_finished(temporary: Path, final: Path, retried: bool) -> None:
    """`final` exists: an error, unless this is a job run again and `final`
    holds the bytes it wrote, the output of its earlier run."""
    if not (retried and _same_bytes(temporary, final)):
        raise _appeared(final)
    temporary.unlink()


def _same_bytes(a: Path, b: Path) -> bool:
    try:
        with open(a, "rb") as one, open(b, "rb") as two:
            if os.fstat(one.fileno()).st_size != os.fstat(two.fileno()).st_size:
                return False
            while chunk := one.read(1 << 20):
                if chunk != two.read(len(chunk)):
                    return False
            return True
    except OSError:
        return False


def _appeared(final: Path) -> FileExistsError:
    return FileExistsError(errno.EEXIST, f"{final} appeared while it was being written, and is left as it is")


def _remove_if_abandoned(path: str) -> bool:
    """Remove a temporary file that no process has locked, so none is
    writing it."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        found = os.fstat(fd)
        if not stat.S_ISREG(found.st_mode):
            return False
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        if os.stat(path, follow_symlinks=False).st_ino != found.st_ino:
            return False
        os.unlink(path)
        return True
    except OSError:  # locked by a run that is writing it, or gone
        return False
    finally:
        os.close(fd)


def remove_leftovers(finals: Iterable[Path]) -> list[Path]:
    """Remove the temporary files that runs of this tool which were killed
    left for these outputs (this naming only; none that another running
    instance is still writing); returns their paths."""
    wanted: dict[Path, set[str]] = {}
    for final in finals:
        wanted.setdefault(final.parent, set()).add(_temporary_prefix(final))
    removed = []
    for directory, prefixes in wanted.items():
        try:
            names = os.listdir(directory)
        except OSError:
            continue
        for name in names:
            if name[:-_TAIL_LENGTH] in prefixes and _TAIL.search(name) and \
                    _remove_if_abandoned(os.path.join(directory, name)):
                removed.append(directory / name)
    return removed
