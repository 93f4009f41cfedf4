"""Test-side PNG tools: chunks, a plain reference encoder (every row filter
in turn, optionally Adam7-interlaced, any colour type at 8 or 16 bits) for
files no library here writes, and pngcheck's verdict."""

import struct
import subprocess
import zlib

import numpy as np

from jxltools import tool

SIGNATURE = b"\x89PNG\r\n\x1a\n"
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
COLOUR_TYPES = {1: 0, 2: 4, 3: 2, 4: 6}


def chunk(kind, content):
    return struct.pack(">I", len(content)) + kind + content + struct.pack(">I", zlib.crc32(kind + content))


def header(width, height, depth, colour_type, interlaced=False):
    return SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0,
                                                  int(interlaced)))


def filtered_stream(samples, interlaced):
    """The image data of `samples` ((H, W, C) uint8 or uint16) before
    compression: row filters 0-4 in turn, by the book."""
    h, w, c = samples.shape
    bpp = c * samples.dtype.itemsize
    stream, row_number = bytearray(), 0
    for x0, y0, dx, dy in ADAM7 if interlaced else ((0, 0, 1, 1),):
        sub = samples[y0::dy, x0::dx]
        if sub.size == 0:
            continue
        rows = sub.astype(sub.dtype.newbyteorder(">")).reshape(sub.shape[0], -1).view(np.uint8).astype(np.int64)
        previous = np.zeros(rows.shape[1], np.int64)
        for row in rows:
            kind = row_number % 5
            row_number += 1
            out = []
            for i, value in enumerate(row):
                a = row[i - bpp] if i >= bpp else 0
                b = previous[i]
                cc = previous[i - bpp] if i >= bpp else 0
                p = a + b - cc
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - cc)
                paeth = a if pa <= pb and pa <= pc else (b if pb <= pc else cc)
                predicted = (0, a, b, (a + b) // 2, paeth)[kind]
                out.append(int(value - predicted) % 256)
            stream += bytes([kind] + out)
            previous = row
    return bytes(stream)


def reference_png(samples, interlaced=False, extra=b"", idat=None, tail=b""):
    """A PNG of `samples` ((H, W, C) uint8 or uint16) with `extra` chunks
    before the image data (`idat` in place of its compressed stream) and
    `tail` chunks after it."""
    h, w, c = samples.shape
    data = zlib.compress(filtered_stream(samples, interlaced)) if idat is None else idat
    return (header(w, h, 8 * samples.dtype.itemsize, COLOUR_TYPES[c], interlaced) + extra
            + chunk(b"IDAT", data) + tail + chunk(b"IEND", b""))


def pngcheck(path):
    """pngcheck -v's report; the file must pass, apart from a cICP chunk,
    which pngcheck 3.0.3 predates (it stops there): the rest of such a file
    is checked with that chunk left out."""
    check = tool("pngcheck")
    result = subprocess.run([check, "-v", str(path)], capture_output=True, text=True)
    report = result.stdout
    if result.returncode == 0:
        return report
    data = path.read_bytes()
    at, kept = len(SIGNATURE), bytearray(SIGNATURE)
    while at < len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        if kind != b"cICP":
            kept += data[at:at + 12 + length]
        at += 12 + length
    assert b"cICP" in data and "chunk cICP at offset" in report and "length 4:" in report, report
    stripped = path.with_name(path.stem + "-without-cICP.png")
    stripped.write_bytes(bytes(kept))
    rest = subprocess.run([check, "-v", str(stripped)], capture_output=True, text=True)
    assert rest.returncode == 0, rest.stdout
    return report + rest.stdout
