"""PNG files at their own depth through libpng (the private module _native),
for what Pillow's PNG support cannot do: it opens 16-bit colour as 8 bits,
cannot write it, and does not read the cICP colour chunk.

read() gives the samples as a numpy array, (H, W, C) uint8 or uint16 (palette
and low-bit grey expanded to 8 bits, a tRNS colour key as alpha), with the
colour chunks, the eXIf and XMP metadata and the APNG acTL facts. Rows
stream through libpng into the array; image data past the last row is never
inflated, and an XMP text may decompress to 1 MiB at most. write() stores
the same layouts with cICP, an ICC profile, Exif and XMP."""

from __future__ import annotations

import os
import struct
from collections.abc import Buffer
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any

from .. import _native
from ..arrays import MAX_PIXELS

if TYPE_CHECKING:
    import numpy.typing as npt

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Chunks looked at before the image data when telling whether a file needs
# this reader; colour chunks come first, and a file with more is left to Pillow.
_HEADER_CHUNKS = 64
_EXIF_PREFIX = b"Exif\0\0"


@dataclass(frozen=True)
class PngColour:
    """The colour chunks as stored; readers rank them cICP, iCCP, sRGB, then
    gAMA/cHRM."""

    cicp: tuple[int, int, int, int] | None  # primaries, transfer, matrix, full range (H.273)
    icc_profile: bytes | None
    srgb_intent: int | None
    gamma: float | None  # gAMA: the encoding exponent (0.45455 for 1/2.2)
    chromaticities: tuple[float, ...] | None  # cHRM: white x, y, red x, y, green x, y, blue x, y


@dataclass(frozen=True)
class PngImage:
    array: npt.NDArray[Any]  # (H, W, C), uint8 or uint16, the values as stored
    colour: PngColour
    exif: bytes | None  # the eXIf chunk: TIFF data, no "Exif\0\0" prefix
    xmp: bytes | None
    animation: tuple[int, int] | None  # an APNG's acTL: frames, plays (0: forever)


def read(data: Buffer, max_pixels: int = MAX_PIXELS) -> PngImage:
    """The PNG file in `data` (read in place). ValueError for a damaged,
    truncated or over-large file (more than max_pixels pixels), MemoryError
    when its samples do not fit. The interpreter lock is released while
    libpng reads."""
    import numpy as np

    buffer, height, width, channels, dtype, facts = _native.png_read(data, max_pixels)
    cicp, icc, intent, gamma, xy, exif, xmp, animation = facts
    colour = PngColour(cicp, icc or None, intent if intent >= 0 else None, gamma / 100000 if gamma else None,
                       tuple(v / 100000 for v in xy) if xy is not None else None)
    array = np.frombuffer(buffer, dtype).reshape(height, width, channels)
    return PngImage(array, colour, exif or None, xmp or None, animation)


def write(stream: IO[bytes], array: npt.NDArray[Any], *, cicp: tuple[int, int, int, int] | None = None,
          icc_profile: bytes | None = None, exif: bytes | None = None, xmp: bytes | None = None,
          compress_level: int = 6) -> None:
    """`array` ((H, W) or (H, W, 1 to 4), uint8 or uint16) as a PNG of its
    depth: grey, grey+alpha, RGB or RGBA, with a cICP chunk, an iCCP profile,
    eXIf (Pillow's "Exif\\0\\0" prefix is dropped) and the iTXt XMP chunk
    that readers look for. ValueError for what libpng will not store (a
    profile of the wrong colour space, say)."""
    import numpy as np

    height, width = array.shape[:2]
    channels = 1 if array.ndim == 2 else array.shape[2]
    samples = np.require(array, dtype=array.dtype.newbyteorder("="), requirements=["C_CONTIGUOUS", "ALIGNED"])
    if exif is not None and exif.startswith(_EXIF_PREFIX):
        exif = exif[len(_EXIF_PREFIX):]
    stream.write(_native.png_write(samples, width, height, channels, samples.dtype.name, cicp, icc_profile or None,
                                   exif or None, xmp or None, compress_level))


def needs_libpng(source: IO[bytes]) -> bool:
    """Whether the PNG file open as `source` holds what only read() keeps:
    16-bit samples, or a cICP chunk (found among the chunks before the image
    data). Reads chunk headers only, without moving the file position."""
    fd = source.fileno()
    head = os.pread(fd, 33, 0)
    if len(head) < 33 or not head.startswith(SIGNATURE) or head[12:16] != b"IHDR":
        return False
    if head[24] == 16:
        return True
    at = len(SIGNATURE)
    for _ in range(_HEADER_CHUNKS):
        header = os.pread(fd, 8, at)
        if len(header) < 8:
            return False
        length, kind = struct.unpack(">I4s", header)
        if kind == b"cICP":
            return True
        if kind in (b"IDAT", b"IEND"):
            return False
        at += 12 + length
    return False
