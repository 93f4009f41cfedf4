"""The boxes of a JPEG XL container, located without reading their content:
where the plug-in finds Exif and XMP. What the codestream says (size,
samples, colour, frames, JPEG reconstruction) is libjxl's to read, through
facts.py."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import BinaryIO

CODESTREAM_SIGNATURE = b"\xff\x0a"
CONTAINER_SIGNATURE = bytes.fromhex("0000000c4a584c200d0a870a")

# Walking the boxes costs a read and a few microseconds per box. Real files
# have a handful (a streamed animation may split its codestream into a part
# per frame): the walk stops after this many, so that opening stays within
# milliseconds, missing only metadata boxes that stand after them.
_MAX_BOXES = 1 << 12
_DEFAULT_BOX_LIMIT = 64 << 20


class HeaderError(SyntaxError):
    """The file is not JPEG XL."""


@dataclass(frozen=True, slots=True)
class Box:
    """One box of a container, located in the file, its content not read.

    size is the whole box with its 8- or 16-byte header (a size-0 box runs to
    the end of the file); truncated: the file ends before the box does."""

    type: bytes
    offset: int
    header_size: int
    size: int
    truncated: bool
    # How many of the box's bytes the file holds when it is truncated.
    present: int | None = None
    # For a "brob" box, the type of the box it wraps (its first 4 content bytes).
    inner_type: bytes = b""

    @property
    def content_offset(self) -> int:
        return self.offset + self.header_size

    @property
    def content_size(self) -> int:
        stored = self.size if self.present is None else self.present
        return max(0, stored - self.header_size)


@dataclass(frozen=True)
class JxlHeader:
    """A file's boxes, if it is a container (a bare codestream has none)."""

    container: bool
    boxes: tuple[Box, ...]

    @property
    def truncated(self) -> bool:
        """Whether the file ends inside a box (unknown for a bare codestream)."""
        return any(box.truncated for box in self.boxes)


def _error(reason: str) -> HeaderError:
    return HeaderError(f"JPEG XL: {reason}")


def _read_box_at(fp: BinaryIO, offset: int, file_size: int) -> Box | None:
    """The box starting at offset, or None where the file ends inside its
    header or the header is malformed (libjxl stops reading there too)."""
    fp.seek(offset)
    head = fp.read(20)
    if len(head) < 8:
        return None
    size, kind, header_size = int.from_bytes(head[:4], "big"), head[4:8], 8
    if size == 1:
        if len(head) < 16:
            return None
        size, header_size = int.from_bytes(head[8:16], "big"), 16
        if size < 16:
            return None
    elif size == 0:
        size = file_size - offset
    elif size < 8:
        return None
    present = file_size - offset
    content = head[header_size:min(size, present)]
    inner = content[:4] if kind == b"brob" and len(content) >= 4 else b""
    return Box(kind, offset, header_size, size, size > present, present if size > present else None, inner)


def _file_size(fp: BinaryIO) -> int:
    return fp.seek(0, os.SEEK_END)


def read_header(fp: BinaryIO) -> JxlHeader:
    """The boxes of the .jxl file in fp (seekable; read from offset 0), up
    to a malformed one or the walk's limit; box headers only are read, their
    contents seeked over. fp is left wherever the last read ended. Raises
    HeaderError for a file that is not JPEG XL."""
    file_size = _file_size(fp)
    fp.seek(0)
    start = fp.read(len(CONTAINER_SIGNATURE))
    if start.startswith(CODESTREAM_SIGNATURE):
        return JxlHeader(False, ())
    if start != CONTAINER_SIGNATURE:
        raise _error("not a JPEG XL file")
    boxes: list[Box] = []
    offset = 0
    while offset < file_size and len(boxes) < _MAX_BOXES:
        box = _read_box_at(fp, offset, file_size)
        if box is None:
            break
        boxes.append(box)
        offset += box.size  # past the end of the file if the box is truncated
    return JxlHeader(True, tuple(boxes))


def read_box(fp: BinaryIO, box: Box, limit: int = _DEFAULT_BOX_LIMIT) -> bytes:
    """The content of box that the file holds (less than its size if truncated).

    Raises ValueError, before reading anything, if that is more than limit bytes."""
    if box.content_size > limit:
        raise ValueError(f"JPEG XL: the {box.type!r} box holds {box.content_size} bytes, "
                         f"more than the limit of {limit}")
    fp.seek(box.content_offset)
    return fp.read(box.content_size)
