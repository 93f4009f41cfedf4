"""Which files this tool made: a record of each output, written beside it.

A modification time proves nothing (copies, restores, `touch` and `cp -p`
set it), so an output counts as this tool's only by its content: each
directory the tool writes into holds a hidden manifest, RECORDS, with a line
per output written (its name, size and SHA-256, and the same of the source it
was made from, the source named relative to the directory). A file is the
tool's output while its bytes still have the recorded digest; edited, copied
over or replaced, it is an original, which the tool never overwrites. The
source's digest tells whether the output is stale: the source changed since.

The manifest is a plain file, so it works on every file system (vfat and
NFS without extended attributes among them), travels with its directory
(`cp -r`, `cp -a`, rsync, tar) and is written by whichever process writes the
output (a cluster's workers too): lines are appended under an exclusive
lock, the last line for a name wins, and a line that cannot be read is
passed over. A file that loses its manifest (copied alone) is an original."""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

from ..transcode import jxl_to_jpeg

RECORDS = ".tessara-convert-outputs"
# A manifest has a line of about 300 bytes per output written; larger ones
# are read this far only (their later outputs then count as originals).
_MAX_RECORDS_BYTES = 256 << 20


@dataclass(frozen=True)
class Digest:
    size: int
    sha256: str


@dataclass(frozen=True)
class Record:
    """An output as the tool wrote it, and the source it was made from."""

    output: Digest
    source: str  # the source's path relative to the output's directory; "" for a generated picture
    source_digest: Digest


_NONE = Digest(0, "")


def digest_of(stream: BinaryIO) -> Digest:
    """The digest of what the open file holds, read from its start; the
    stream is left at its start again."""
    stream.seek(0)
    sha256, size = hashlib.sha256(), 0
    while chunk := stream.read(1 << 20):
        sha256.update(chunk)
        size += len(chunk)
    stream.seek(0)
    return Digest(size, sha256.hexdigest())


def digest(path: Path) -> Digest:
    with open(path, "rb") as stream:
        return digest_of(stream)


def _parse(line: bytes) -> tuple[str, Record] | None:
    try:
        entry = json.loads(line)
        output = Digest(int(entry["size"]), str(entry["sha256"]))
        source = Digest(int(entry["source_size"]), str(entry["source_sha256"]))
        return str(entry["name"]), Record(output, str(entry["source"]), source)
    except (ValueError, KeyError, TypeError):
        return None


def _line(name: str, record: Record) -> bytes:
    entry = {"name": name, "size": record.output.size, "sha256": record.output.sha256, "source": record.source,
             "source_size": record.source_digest.size, "source_sha256": record.source_digest.sha256}
    return json.dumps(entry, ensure_ascii=True).encode() + b"\n"


def read_records(directory: Path) -> dict[str, Record]:
    """The records of `directory`'s manifest, by output name (none if it has
    no manifest or it cannot be read)."""
    records: dict[str, Record] = {}
    try:
        with open(directory / RECORDS, "rb") as manifest:
            data = manifest.read(_MAX_RECORDS_BYTES)
    except OSError:
        return records
    for line in data.splitlines():
        parsed = _parse(line)
        if parsed is not None:
            records[parsed[0]] = parsed[1]
    return records


def record(output: Path, output_digest: Digest, source: Path | None, source_digest: Digest = _NONE) -> None:
    """Add `output`'s line to its directory's manifest, synced (source None:
    made from no file, as the demonstration's pictures). Raises OSError when
    it cannot be written."""
    where = "" if source is None else os.path.relpath(os.path.abspath(source), os.path.abspath(output.parent))
    line = _line(output.name, Record(output_digest, where, source_digest))
    # Only for its owner: it names files and holds digests of sources that may be private.
    fd = os.open(output.parent / RECORDS, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # lines of other threads, processes and machines stay whole
        written = os.write(fd, line)
        if written != len(line):
            raise OSError(errno.EIO, "short write")
        os.fsync(fd)
    finally:
        os.close(fd)


class Provenance:
    """What a run knows of the files it looks at: each directory's manifest
    read once, each file's digest computed once."""

    def __init__(self) -> None:
        self._records: dict[Path, dict[str, Record]] = {}
        self._digests: dict[Path, Digest | None] = {}
        self._rebuilds: dict[tuple[str, str], bool] = {}

    def digest(self, path: Path) -> Digest | None:
        """The file's digest, None if it cannot be read."""
        key = Path(os.path.realpath(path))
        if key not in self._digests:
            try:
                self._digests[key] = digest(key)
            except OSError:
                self._digests[key] = None
        return self._digests[key]

    def record(self, path: Path) -> Record | None:
        """The record of `path` if the tool made it and it is unchanged since:
        its size and then its digest are the recorded ones."""
        directory = path.parent
        if directory not in self._records:
            self._records[directory] = read_records(directory)
        found = self._records[directory].get(path.name)
        if found is None:
            return None
        try:
            if os.stat(path).st_size != found.output.size:
                return None
        except OSError:
            return None
        return found if self.digest(path) == found.output else None

    def source_of(self, path: Path) -> Path | None:
        """The source that `path`, an unchanged output of the tool, was made from."""
        found = self.record(path)
        return None if found is None or not found.source else Path(os.path.normpath(path.parent / found.source))

    def rebuilds(self, jxl: Path, jpeg: Path) -> bool:
        """Whether the JPEG XL file `jxl` rebuilds the file `jpeg` byte for
        byte: a rebuilt JPEG is this tool's output without a record."""
        key = (os.path.realpath(jxl), os.path.realpath(jpeg))
        if key not in self._rebuilds:
            try:
                rebuilt = jxl_to_jpeg(Path(jxl).read_bytes())
                self._rebuilds[key] = len(rebuilt) == os.stat(jpeg).st_size and rebuilt == Path(jpeg).read_bytes()
            except (OSError, ValueError):
                self._rebuilds[key] = False
        return self._rebuilds[key]
