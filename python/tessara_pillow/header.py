"""Reads what a JPEG XL file announces before its pixels: the container's boxes
and the codestream's image header (size, orientation, samples, channels)."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import BinaryIO

CODESTREAM_SIGNATURE = b"\xff\x0a"
CONTAINER_SIGNATURE = bytes.fromhex("0000000c4a584c200d0a870a")

# The image header is usually a few dozen bytes; read a little and grow only
# when the header turns out longer (long channel names, many channels).
_FIRST_READ = 4096
_READ_GROWTH = 8
# Larger than any image header can be (4096 extra channels with 1071-byte
# names make about 4.4 MiB), so no valid file is refused by it.
_MAX_HEADER_BYTES = 8 << 20
# Walking the boxes costs a read and a few microseconds per box. Real files
# have a handful (a streamed animation may split its codestream into a part
# per frame): the walk stops after this many, so that opening stays within
# milliseconds, refusing the file if no codestream came before, and missing
# only metadata boxes that stand after it (the pixels are libjxl's to read).
_MAX_BOXES = 1 << 12
_DEFAULT_BOX_LIMIT = 64 << 20


class HeaderError(SyntaxError):
    """The file is not JPEG XL, or its headers are malformed or truncated."""


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
class ExtraChannel:
    """An extra channel as the image header declares it.

    type: 0 alpha, 1 depth, 2 spot colour, 3 selection mask, 4 black, 5 CFA,
    6 thermal, 16 optional; exponent_bits 0 for integer samples."""

    type: int
    bits_per_sample: int
    exponent_bits: int
    dim_shift: int
    name: str
    alpha_associated: bool


@dataclass(frozen=True)
class CodestreamHeader:
    """What a reader needs of the image header before decoding.

    width and height are as stored, before orientation (1..8) is applied;
    colour_space: 0 RGB, 1 grey, 2 XYB, 3 unknown (then want_icc is set)."""

    width: int
    height: int
    orientation: int
    bits_per_sample: int
    exponent_bits: int
    extra_channels: tuple[ExtraChannel, ...]
    xyb_encoded: bool
    want_icc: bool
    colour_space: int
    have_preview: bool
    have_animation: bool

    @property
    def is_grey(self) -> bool:
        return self.colour_space == 1

    @property
    def has_alpha(self) -> bool:
        return any(channel.type == 0 for channel in self.extra_channels)

    @property
    def alpha_bits(self) -> int:
        alphas = [c.bits_per_sample for c in self.extra_channels if c.type == 0]
        return alphas[0] if alphas else 0

    @property
    def oriented_size(self) -> tuple[int, int]:
        """The size of the decoded image, which libjxl turns upright."""
        if self.orientation >= 5:
            return self.height, self.width
        return self.width, self.height


@dataclass(frozen=True)
class JxlHeader:
    """A whole file's headers: its boxes, if a container, and the image header."""

    container: bool
    boxes: tuple[Box, ...]
    codestream: CodestreamHeader
    jpeg_reconstruction: bool

    @property
    def truncated(self) -> bool:
        """Whether the file ends inside a box (unknown for a bare codestream)."""
        return any(box.truncated for box in self.boxes)


def _error(reason: str) -> HeaderError:
    return HeaderError(f"JPEG XL: {reason}")


class _Truncated(Exception):
    """The data ended before the image header did (more may be read)."""


# A U32 field has four distributions, chosen by a 2-bit selector; each is
# (bits, offset): `bits` more bits added to `offset`, or just `offset` if 0.
_Distributions = tuple[tuple[int, int], tuple[int, int], tuple[int, int], tuple[int, int]]

_ENUM = ((0, 0), (0, 1), (4, 2), (6, 18))
_IMAGE_SIZE = ((9, 1), (13, 1), (18, 1), (30, 1))
_PREVIEW_SIZE_DIV8 = ((0, 16), (0, 32), (5, 1), (9, 33))
_PREVIEW_SIZE = ((6, 1), (8, 65), (10, 321), (12, 1345))
_TICKS_NUMERATOR = ((0, 100), (0, 1000), (10, 1), (30, 1))
_TICKS_DENOMINATOR = ((0, 1), (0, 1001), (8, 1), (10, 1))
_LOOPS = ((0, 0), (3, 0), (16, 0), (32, 0))
_INTEGER_BITS = ((0, 8), (0, 10), (0, 12), (6, 1))
_FLOAT_BITS = ((0, 32), (0, 16), (0, 24), (6, 1))
_EXTRA_CHANNEL_COUNT = ((0, 0), (0, 1), (4, 2), (12, 1))
_DIM_SHIFT = ((0, 0), (0, 3), (0, 4), (3, 1))
_NAME_LENGTH = ((0, 0), (4, 0), (5, 16), (10, 48))
_CFA_CHANNEL = ((0, 1), (2, 0), (4, 3), (8, 19))

# Width over height for the non-zero 3-bit ratio codes of a size header.
_ASPECT_RATIOS = ((1, 1), (12, 10), (4, 3), (3, 2), (16, 9), (5, 4), (2, 1))
# libjxl refuses the reserved types (7..14) and "unknown" (15).
_EXTRA_CHANNEL_TYPES = frozenset({0, 1, 2, 3, 4, 5, 6, 16})
_COLOUR_SPACES = frozenset({0, 1, 2, 3})
_ALPHA, _SPOT_COLOUR, _CFA = 0, 2, 5
_UNKNOWN_COLOUR_SPACE = 3


class _BitReader:
    """Reads fields from bytes, least significant bit of each byte first."""

    def __init__(self, data: bytes) -> None:
        self._data = data
        self._end = len(data) * 8
        self._pos = 0

    def bits(self, count: int) -> int:
        if self._pos + count > self._end:
            raise _Truncated
        first, last = self._pos >> 3, (self._pos + count + 7) >> 3
        chunk = int.from_bytes(self._data[first:last], "little")
        value = (chunk >> (self._pos & 7)) & ((1 << count) - 1)
        self._pos += count
        return value

    def flag(self) -> bool:
        return self.bits(1) == 1

    def u32(self, distributions: _Distributions) -> int:
        count, offset = distributions[self.bits(2)]
        return offset + self.bits(count)

    def enum(self, what: str, valid: frozenset[int]) -> int:
        value = self.u32(_ENUM)
        if value not in valid:
            raise _error(f"invalid {what} {value}")
        return value

    def half_float(self) -> None:
        if (self.bits(16) >> 10) & 0x1F == 0x1F:
            raise _error("infinite or NaN half float in the image header")

    def byte_string(self, length: int) -> bytes:
        return self.bits(8 * length).to_bytes(length, "little")


def _read_size(r: _BitReader) -> tuple[int, int]:
    small = r.flag()
    height = (r.bits(5) + 1) * 8 if small else r.u32(_IMAGE_SIZE)
    ratio = r.bits(3)
    if ratio:
        numerator, denominator = _ASPECT_RATIOS[ratio - 1]
        return height * numerator // denominator, height
    width = (r.bits(5) + 1) * 8 if small else r.u32(_IMAGE_SIZE)
    return width, height


def _skip_preview(r: _BitReader) -> None:
    div8 = r.flag()
    distributions = _PREVIEW_SIZE_DIV8 if div8 else _PREVIEW_SIZE
    r.u32(distributions)
    if r.bits(3) == 0:
        r.u32(distributions)


def _skip_animation(r: _BitReader) -> None:
    r.u32(_TICKS_NUMERATOR)
    r.u32(_TICKS_DENOMINATOR)
    r.u32(_LOOPS)
    r.flag()  # have_timecodes


def _read_bit_depth(r: _BitReader) -> tuple[int, int]:
    """(bits per sample, exponent bits), refused as libjxl refuses them."""
    if not r.flag():
        bits = r.u32(_INTEGER_BITS)
        if bits > 31:
            raise _error(f"invalid bits per sample {bits}")
        return bits, 0
    bits = r.u32(_FLOAT_BITS)
    exponent = r.bits(4) + 1
    if not 2 <= exponent <= 8:
        raise _error(f"invalid exponent bits {exponent}")
    if not 2 <= bits - exponent - 1 <= 23:
        raise _error(f"invalid bits per float sample {bits}")
    return bits, exponent


def _read_extra_channel(r: _BitReader) -> ExtraChannel:
    if r.flag():
        return ExtraChannel(_ALPHA, 8, 0, 0, "", False)
    kind = r.enum("extra channel type", _EXTRA_CHANNEL_TYPES)
    bits, exponent = _read_bit_depth(r)
    dim_shift = r.u32(_DIM_SHIFT)
    if dim_shift > 3:
        raise _error(f"invalid extra channel dim_shift {dim_shift}")
    name = r.byte_string(r.u32(_NAME_LENGTH)).decode("utf-8", "replace")
    alpha_associated = r.flag() if kind == _ALPHA else False
    if kind == _SPOT_COLOUR:
        for _ in range(4):  # red, green, blue, solidity
            r.half_float()
    if kind == _CFA:
        r.u32(_CFA_CHANNEL)
    return ExtraChannel(kind, bits, exponent, dim_shift, name, alpha_associated)


def _read_colour_space(r: _BitReader) -> tuple[bool, int]:
    """(want_icc, colour space); the colour encoding's later fields are left."""
    if r.flag():
        return False, 0
    want_icc = r.flag()
    colour_space = r.enum("colour space", _COLOUR_SPACES)
    if colour_space == _UNKNOWN_COLOUR_SPACE and not want_icc:
        raise _error("unknown colour space without an ICC profile")
    return want_icc, colour_space


def _read_image_header(r: _BitReader) -> CodestreamHeader:
    width, height = _read_size(r)
    if r.flag():  # all fields default
        return CodestreamHeader(width, height, 1, 8, 0, (), True, False, 0, False, False)
    orientation, have_preview, have_animation = 1, False, False
    if r.flag():  # extra fields
        orientation = r.bits(3) + 1
        if r.flag():
            _read_size(r)  # intrinsic size: a display hint only
        have_preview = r.flag()
        if have_preview:
            _skip_preview(r)
        have_animation = r.flag()
        if have_animation:
            _skip_animation(r)
    bits, exponent = _read_bit_depth(r)
    r.flag()  # modular_16_bit_buffer_sufficient
    count = r.u32(_EXTRA_CHANNEL_COUNT)
    extra_channels = tuple(_read_extra_channel(r) for _ in range(count))
    xyb_encoded = r.flag()
    want_icc, colour_space = _read_colour_space(r)
    return CodestreamHeader(width, height, orientation, bits, exponent, extra_channels,
                            xyb_encoded, want_icc, colour_space, have_preview, have_animation)


def _parse(data: bytes) -> CodestreamHeader:
    """The image header; _Truncated if data ends inside it."""
    if len(data) < 2:
        raise _Truncated
    if data[:2] != CODESTREAM_SIGNATURE:
        raise _error("the codestream does not start with its signature")
    r = _BitReader(data)
    r.bits(16)
    return _read_image_header(r)


def parse_codestream_header(data: bytes) -> CodestreamHeader:
    """The image header at the start of a bare codestream (data starts FF 0A)."""
    try:
        return _parse(data)
    except _Truncated:
        raise _error("the image header is truncated") from None


# A piece of the codestream in the file: (offset, bytes present).
_Piece = tuple[int, int]


def _read_pieces(fp: BinaryIO, pieces: list[_Piece], amount: int) -> bytes:
    """Up to `amount` bytes of the codestream, joined from its pieces."""
    chunks: list[bytes] = []
    total = 0
    for offset, size in pieces:
        if total >= amount:
            break
        wanted = min(size, amount - total)
        fp.seek(offset)
        chunk = fp.read(wanted)
        chunks.append(chunk)
        total += len(chunk)
        if len(chunk) < wanted:
            break  # the file is shorter than when its boxes were walked
    return b"".join(chunks)


def _parse_pieces(fp: BinaryIO, pieces: list[_Piece],
                  cut_short: HeaderError | None = None) -> CodestreamHeader:
    """The image header, reading more of the codestream only when it needs it.
    cut_short: what ended the codestream early, if not the end of the file."""
    amount = _FIRST_READ
    while True:
        data = _read_pieces(fp, pieces, amount)
        try:
            return _parse(data)
        except _Truncated:
            if len(data) < amount or amount >= _MAX_HEADER_BYTES:
                raise cut_short or _error("the image header is truncated") from None
            amount = min(amount * _READ_GROWTH, _MAX_HEADER_BYTES)


def _read_box_at(fp: BinaryIO, offset: int, file_size: int) -> tuple[Box, bytes] | None:
    """The box starting at offset and the first bytes of its content (enough
    for a jxlp index), or None if the file ends inside the box header."""
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
            raise _error(f"invalid 64-bit box size {size} at offset {offset}")
    elif size == 0:
        size = file_size - offset
    elif size < 8:
        raise _error(f"invalid box size {size} at offset {offset}")
    present = file_size - offset
    content = head[header_size:min(size, present)]
    inner = content[:4] if kind == b"brob" and len(content) >= 4 else b""
    box = Box(kind, offset, header_size, size, size > present, present if size > present else None, inner)
    return box, content


@dataclass
class _Walk:
    """What the box walk gathers on its way through a container."""

    boxes: list[Box]
    pieces: list[_Piece]
    codestream_done: bool = False
    jpeg_reconstruction: bool = False
    broken: HeaderError | None = None  # the malformed box that ended the walk


def _check_file_type(box: Box, first_content: bytes) -> None:
    """libjxl wants a file type box of brand "jxl " right after the signature."""
    if box.type != b"ftyp":
        raise _error("the second box is not a file type box")
    if box.truncated:
        return  # the missing codestream is the error to report
    if box.content_size < 8:
        raise _error("the file type box is too small")
    if first_content[:4] != b"jxl ":
        raise _error("the file type box is not of brand 'jxl '")


def _add_codestream_part(walk: _Walk, box: Box, first_content: bytes) -> None:
    if box.type == b"jxlc":
        walk.pieces.append((box.content_offset, box.content_size))
        walk.codestream_done = True
        return
    if box.content_size < 4:
        if box.truncated:
            return
        raise _error("a jxlp box is too small to hold its index")
    walk.pieces.append((box.content_offset + 4, box.content_size - 4))
    walk.codestream_done = first_content[0] >= 0x80  # the last part's index has the top bit


def _visit(walk: _Walk, box: Box, first_content: bytes) -> None:
    if len(walk.boxes) == 1:
        _check_file_type(box, first_content)
    if box.type in (b"jxlc", b"jxlp") and not walk.codestream_done:
        _add_codestream_part(walk, box, first_content)
    elif box.type == b"jbrd" and not walk.codestream_done:
        # libjxl rebuilds the JPEG from a jbrd box it meets before the
        # codestream part holding the first frame (its encoder puts it right
        # after the part holding the image header); after that it ignores it
        walk.jpeg_reconstruction = True


def _walk_container(fp: BinaryIO, file_size: int) -> _Walk:
    """Every box from offset 0, up to a malformed one. libjxl stops there too,
    having used what came before: the image header if it was complete, and
    the boxes before it."""
    walk = _Walk([], [])
    offset = 0
    while offset < file_size and len(walk.boxes) < _MAX_BOXES:
        try:
            found = _read_box_at(fp, offset, file_size)
            if found is None:
                break
            box, first_content = found
            if walk.boxes:
                _visit(walk, box, first_content)
        except HeaderError as error:
            walk.broken = error
            break
        walk.boxes.append(box)
        offset += box.size  # past the end of the file if the box is truncated
    return walk


def _missing_codestream(walk: _Walk) -> HeaderError:
    if walk.broken is not None:
        return walk.broken
    if len(walk.boxes) >= _MAX_BOXES:
        return _error(f"no codestream in the first {_MAX_BOXES} boxes")
    if len(walk.boxes) < 2:
        return _error("the file is truncated before its file type box")
    if walk.boxes[-1].truncated:
        return _error("the file is truncated before its codestream")
    return _error("no codestream box before the end of the file")


def _file_size(fp: BinaryIO) -> int:
    return fp.seek(0, os.SEEK_END)


def read_header(fp: BinaryIO) -> JxlHeader:
    """The headers of the .jxl file in fp (seekable; read from offset 0).

    Reads box headers and only as much codestream as the image header needs;
    other boxes are seeked over. fp is left wherever the last read ended.
    Raises HeaderError when the file is not JPEG XL or its image header cannot
    be read; a file that breaks off (or is malformed) after it still reads,
    as libjxl reads it, and fails only when decoded."""
    file_size = _file_size(fp)
    fp.seek(0)
    start = fp.read(len(CONTAINER_SIGNATURE))
    if start.startswith(CODESTREAM_SIGNATURE):
        codestream = _parse_pieces(fp, [(0, file_size)])
        return JxlHeader(False, (), codestream, False)
    if start != CONTAINER_SIGNATURE:
        if CONTAINER_SIGNATURE.startswith(start) and start:
            raise _error("the file is truncated inside its signature")
        raise _error("not a JPEG XL file")
    walk = _walk_container(fp, file_size)
    if not walk.pieces:
        raise _missing_codestream(walk)
    codestream = _parse_pieces(fp, walk.pieces, walk.broken)
    return JxlHeader(True, tuple(walk.boxes), codestream, walk.jpeg_reconstruction)


def read_box(fp: BinaryIO, box: Box, limit: int = _DEFAULT_BOX_LIMIT) -> bytes:
    """The content of box that the file holds (less than its size if truncated).

    Raises ValueError, before reading anything, if that is more than limit bytes."""
    if box.content_size > limit:
        raise ValueError(f"JPEG XL: the {box.type!r} box holds {box.content_size} bytes, "
                         f"more than the limit of {limit}")
    fp.seek(box.content_offset)
    return fp.read(box.content_size)
