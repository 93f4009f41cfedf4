"""libjxl writes its own failure notes straight to the process's standard
error, as source locations ("./lib/jxl/decode.cc:2041: premature end of
input") that name no file. A converter already gives each failed file its
one line, so while it runs, file descriptor 2 goes through a pipe that drops
those notes and passes everything else on (a fatal error's report, say)."""

from __future__ import annotations

import io
import os
import re
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TextIO

LIBJXL_NOTE = re.compile(rb"^\S*lib/(?:jxl|threads)/\S+\.(?:cc|h):\d+: ")


def _forward(read_end: int, terminal: int) -> None:
    with open(read_end, "rb", buffering=0) as pipe:
        pending = b""
        while chunk := pipe.read(65536):
            *lines, pending = (pending + chunk).split(b"\n")
            kept = b"".join(line + b"\n" for line in lines if not LIBJXL_NOTE.match(line))
            if kept:
                os.write(terminal, kept)
        if pending and not LIBJXL_NOTE.match(pending):
            os.write(terminal, pending)


@contextmanager
def without_libjxl_notes(stream: TextIO) -> Iterator[TextIO]:
    """A stream for the program's own messages while libjxl's notes are
    dropped; `stream` itself when it is not the process's standard error
    (under a test's capture, say), where nothing is redirected."""
    try:
        if stream.fileno() != 2:
            raise io.UnsupportedOperation
    except (io.UnsupportedOperation, AttributeError, ValueError):
        yield stream
        return
    stream.flush()
    terminal = os.dup(2)
    read_end, write_end = os.pipe()
    own: TextIO | None = None
    forwarder = threading.Thread(target=_forward, args=(read_end, terminal), daemon=True)
    try:
        # Within the try, so that fd 2 comes back whatever stops this half way.
        os.dup2(write_end, 2)
        os.close(write_end)
        write_end = -1
        forwarder.start()
        own = open(terminal, "w", encoding=stream.encoding, errors="backslashreplace", closefd=False)
        yield own
    finally:
        if own is not None:
            own.flush()
        os.dup2(terminal, 2)  # closes the pipe's last write end: the forwarder ends
        if write_end != -1:
            os.close(write_end)
        if forwarder.ident is not None:  # started: it closes the read end
            forwarder.join(timeout=5)
        else:
            os.close(read_end)
        if own is not None:
            own.close()
        os.close(terminal)
        sys.stderr.flush()
