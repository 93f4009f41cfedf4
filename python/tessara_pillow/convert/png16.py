"""16-bit PNG files with numpy and zlib, for what Pillow cannot do: it has
no 16-bit colour mode, so it opens a 16-bit RGB(A) or grey+alpha PNG as
8-bit and cannot write one. The writer takes grey, grey+alpha, RGB and RGBA
samples with an ICC profile, Exif and XMP; the reader reads exactly those
16-bit kinds (interlaced too), and leaves everything else to Pillow."""

from __future__ import annotations

import struct
import zlib
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy.typing as npt

SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Channels -> PNG colour type, and back.
_COLOUR_TYPES = {1: 0, 2: 4, 3: 2, 4: 6}
_CHANNELS = {t: c for c, t in _COLOUR_TYPES.items()}
# Adam7's passes: first column, first row, column step, row step.
_ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
# Rows filtered and compressed at a time: a few MiB of working memory.
_STRIP_BYTES = 4 << 20
# The most pixels read; larger files are left to Pillow's limits and path.
MAX_PIXELS = 1 << 30


class PngError(ValueError):
    """A 16-bit PNG whose data is damaged."""


def _chunk(kind: bytes, content: bytes) -> bytes:
    return struct.pack(">I", len(content)) + kind + content + struct.pack(">I", zlib.crc32(kind + content))


def _paeth_filtered(rows: npt.NDArray[Any], above: npt.NDArray[Any], bpp: int) -> npt.NDArray[Any]:
    """Rows of bytes with PNG's Paeth filter applied (`above`: the row before
    the first one, zeros at the top)."""
    import numpy as np

    x = rows.astype(np.int16)
    b = np.concatenate([above[None].astype(np.int16), x[:-1]])
    a = np.zeros_like(x)
    a[:, bpp:] = x[:, :-bpp]
    c = np.zeros_like(x)
    c[:, bpp:] = b[:, :-bpp]
    pa, pb, pc = np.abs(b - c), np.abs(a - c), np.abs(a + b - 2 * c)
    predicted = np.where((pa <= pb) & (pa <= pc), a, np.where(pb <= pc, b, c))
    filtered: npt.NDArray[Any] = ((x - predicted) & 0xFF).astype(np.uint8)
    return filtered


def write(stream: IO[bytes], samples: npt.NDArray[Any], *, icc: bytes | None = None, exif: bytes | None = None,
          xmp: bytes | None = None) -> None:
    """`samples` (uint16, shape (H, W) or (H, W, 1 to 4)) as a 16-bit PNG:
    grey, grey+alpha, RGB or RGBA; `icc` as its iCCP chunk, `exif` (with or
    without Pillow's "Exif\\0\\0" prefix) as eXIf, `xmp` as the iTXt chunk
    that readers look for."""
    import numpy as np

    height, width = samples.shape[:2]
    channels = 1 if samples.ndim == 2 else samples.shape[2]
    bpp = 2 * channels
    stream.write(SIGNATURE)
    stream.write(_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, _COLOUR_TYPES[channels], 0, 0, 0)))
    if icc:
        stream.write(_chunk(b"iCCP", b"ICC Profile\0\0" + zlib.compress(icc)))
    if exif:
        stream.write(_chunk(b"eXIf", exif[6:] if exif.startswith(b"Exif\0\0") else exif))
    if xmp:
        stream.write(_chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + xmp))
    big_endian = np.ascontiguousarray(samples, dtype=">u2").reshape(height, width * channels)
    rows = big_endian.view(np.uint8).reshape(height, width * bpp)
    compressor = zlib.compressobj(6)
    step = max(1, _STRIP_BYTES // max(1, width * bpp))
    above = np.zeros(width * bpp, np.uint8)
    for top in range(0, height, step):
        strip = rows[top:top + step]
        filtered = _paeth_filtered(strip, above, bpp)
        above = strip[-1]
        lines = np.empty((len(strip), 1 + width * bpp), np.uint8)
        lines[:, 0] = 4  # Paeth: the best single filter for photographs
        lines[:, 1:] = filtered
        data = compressor.compress(lines.tobytes())
        if data:
            stream.write(_chunk(b"IDAT", data))
    stream.write(_chunk(b"IDAT", compressor.flush()))
    stream.write(_chunk(b"IEND", b""))


def _chunks(data: bytes) -> list[tuple[bytes, bytes]]:
    """(type, content) of every chunk up to IEND; PngError for a damaged one."""
    if not data.startswith(SIGNATURE):
        raise PngError("not a PNG file")
    found, at = [], len(SIGNATURE)
    while at + 12 <= len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        end = at + 8 + length
        if end + 4 > len(data):
            raise PngError(f"the file ends inside its {kind.decode('latin-1')!r} chunk")
        content = data[at + 8:end]
        if kind in (b"IHDR", b"IDAT") and zlib.crc32(kind + content) != struct.unpack_from(">I", data, end)[0]:
            raise PngError(f"the {kind.decode()} chunk is damaged (its CRC does not match)")
        found.append((kind, content))
        if kind == b"IEND":
            break
        at = end + 4
    return found


def deep_kind(data: bytes) -> int:
    """The channels of a PNG this reader takes over from Pillow (16 bits a
    sample, grey+alpha, RGB or RGBA), or 0 for any other file (Pillow reads
    16-bit grey itself, as "I;16")."""
    if len(data) < 33 or not data.startswith(SIGNATURE) or data[12:16] != b"IHDR":
        return 0
    depth, colour_type = data[24], data[25]
    return _CHANNELS.get(colour_type, 0) if depth == 16 and colour_type != 0 else 0


def _unfiltered(raw: npt.NDArray[Any], height: int, width: int, bpp: int) -> npt.NDArray[Any]:
    """One (sub)image's filtered rows -> its bytes, shape (height, width,
    bpp). Each pixel depends on the one before it and on the row above, so
    the pixels are taken an anti-diagonal at a time (all rows at once):
    `skewed[k, y + 1]` holds pixel (y, k - y), and row 0 stays zero for the
    row above the first."""
    import numpy as np

    filters = raw[:, 0]
    if filters.size and int(filters.max()) > 4:
        raise PngError(f"a row has the unknown filter type {int(filters.max())}")
    pixels = raw[:, 1:].reshape(height, width, bpp)
    skewed = np.zeros((width + height, height + 1, bpp), np.int16)
    for y in range(height):
        skewed[y:y + width, y + 1] = pixels[y]
    kinds = filters.astype(np.int16)[:, None]
    for k in range(width + height - 1):
        first, last = max(0, k - width + 1), min(height - 1, k)
        rows = slice(first + 1, last + 2)
        f = kinds[first:last + 1]
        a = skewed[k - 1, rows] if k else np.zeros_like(skewed[k, rows])  # the pixel to the left
        b = skewed[k - 1, first:last + 1] if k else a  # the pixel above
        c = skewed[k - 2, first:last + 1] if k > 1 else np.zeros_like(a)  # above, to the left
        pa, pb, pc = np.abs(b - c), np.abs(a - c), np.abs(a + b - 2 * c)
        paeth = np.where((pa <= pb) & (pa <= pc), a, np.where(pb <= pc, b, c))
        predicted = np.select([f == 1, f == 2, f == 3, f == 4], [a, b, (a + b) >> 1, paeth], 0)
        skewed[k, rows] = (skewed[k, rows] + predicted) & 0xFF
    out = np.empty((height, width, bpp), np.uint8)
    for y in range(height):
        out[y] = skewed[y:y + width, y + 1]
    return out


def read(data: bytes) -> npt.NDArray[Any]:
    """The samples of a PNG that deep_kind() takes, as uint16, shape (H, W,
    channels): the values as stored. PngError for damaged data."""
    import numpy as np

    channels = deep_kind(data)
    if not channels:
        raise PngError("not a 16-bit grey+alpha, RGB or RGBA PNG")
    chunks = _chunks(data)
    width, height, _, _, compression, filtering, interlace = struct.unpack(">IIBBBBB", chunks[0][1][:13])
    if compression or filtering or interlace > 1 or width == 0 or height == 0:
        raise PngError("the PNG header has values no PNG reader knows")
    if width * height > MAX_PIXELS:
        raise PngError(f"{width}x{height} is more than {MAX_PIXELS} pixels")
    bpp = 2 * channels
    passes = _ADAM7 if interlace else ((0, 0, 1, 1),)
    shapes = [(-(-(height - y0) // dy), -(-(width - x0) // dx)) for x0, y0, dx, dy in passes]
    expected = sum(h * (1 + w * bpp) for h, w in shapes if h > 0 and w > 0)
    decompressor = zlib.decompressobj()
    try:
        # Never more than the image holds, whatever the stream would expand to.
        stream = decompressor.decompress(b"".join(c for k, c in chunks if k == b"IDAT"), expected)
    except zlib.error as e:
        raise PngError(f"the image data is damaged: {e}") from e
    if len(stream) < expected:
        raise PngError("the image data ends early")
    image = np.empty((height, width, bpp), np.uint8)
    at = 0
    for (x0, y0, dx, dy), (h, w) in zip(passes, shapes):
        if h <= 0 or w <= 0:
            continue
        size = h * (1 + w * bpp)
        raw = np.frombuffer(stream, np.uint8, size, at).reshape(h, 1 + w * bpp)
        image[y0::dy, x0::dx] = _unfiltered(raw, h, w, bpp)
        at += size
    return image.view(">u2").reshape(height, width, channels).astype(np.uint16)
