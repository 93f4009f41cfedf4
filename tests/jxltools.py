"""Test-side tools: writing PNM/PAM/PFM images, running libjxl's and
libjpeg's command-line tools, the fixture generator, and a container walk of
our own for checking encoder output."""

import os
import shutil
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

SIGNATURE = bytes.fromhex("0000000c4a584c200d0a870a")


def tool(name):
    path = shutil.which(name)
    if path is None:
        pytest.skip(f"{name} is not installed")
    return path


def fixture_tool():
    path = Path(os.environ.get("TESSARA_FIXTURE_BIN", "build/cpp")) / "make_fixture"
    if not path.exists():
        pytest.skip("make_fixture is not built (run through tools/dev test)")
    return str(path)


def run(*args):
    subprocess.run([str(a) for a in args], check=True, capture_output=True)


def write_pnm(path, pixels):
    """pixels: uint8/uint16 array of shape (h, w) or (h, w, c) with c in 1..4."""
    pixels = np.asarray(pixels)
    if pixels.ndim == 2:
        pixels = pixels[:, :, None]
    h, w, c = pixels.shape
    maxval = 255 if pixels.dtype == np.uint8 else 65535
    body = pixels.astype(">u2" if maxval == 65535 else "u1").tobytes()
    if c in (1, 3):
        header = f"{'P5' if c == 1 else 'P6'}\n{w} {h}\n{maxval}\n"
    else:
        tupl = "GRAYSCALE_ALPHA" if c == 2 else "RGB_ALPHA"
        header = f"P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH {c}\nMAXVAL {maxval}\nTUPLTYPE {tupl}\nENDHDR\n"
    Path(path).write_bytes(header.encode() + body)


def write_pfm(path, pixels):
    """pixels: float32 array (h, w) grey or (h, w, 3) colour."""
    pixels = np.asarray(pixels, dtype="<f4")
    h, w = pixels.shape[:2]
    kind = "Pf" if pixels.ndim == 2 else "PF"
    # PFM stores rows bottom to top; a negative scale means little-endian
    Path(path).write_bytes(f"{kind}\n{w} {h}\n-1.0\n".encode() + pixels[::-1].tobytes())


def read_pnm(path, scale_to_16_bits=False):
    """Samples of a PNM/PAM file; with scale_to_16_bits, samples of a file whose
    maxval is between 256 and 65534 are scaled to 16 bits as libjxl does."""
    data = Path(path).read_bytes()
    if data.startswith(b"P7"):
        head, body = data.split(b"ENDHDR\n", 1)
        fields = dict(line.split(b" ", 1) for line in head.split(b"\n")[1:] if b" " in line)
        w, h, c, maxval = (int(fields[k]) for k in (b"WIDTH", b"HEIGHT", b"DEPTH", b"MAXVAL"))
    else:
        parts = data.split(maxsplit=4)
        magic, w, h, maxval, body = parts[0], int(parts[1]), int(parts[2]), int(parts[3]), parts[4]
        c = {b"P5": 1, b"P6": 3}[magic]
    dtype = ">u2" if maxval > 255 else "u1"
    img = np.frombuffer(body, dtype=dtype).reshape(h, w, c).astype(np.uint16 if maxval > 255 else np.uint8)
    if scale_to_16_bits and 255 < maxval < 65535:
        img = np.round(img.astype(np.float64) * 65535 / maxval).astype(np.uint16)
    return img


def read_pfm(path):
    data = Path(path).read_bytes()
    kind, w, h, scale, body = data.split(maxsplit=4)
    c = 3 if kind == b"PF" else 1
    dtype = "<f4" if float(scale) < 0 else ">f4"
    img = np.frombuffer(body, dtype=dtype).reshape(int(h), int(w), c)[::-1]
    return img.astype(np.float32)


def cjxl(src, dst, *options):
    run(tool("cjxl"), src, dst, "--quiet", *options)
    return Path(dst).read_bytes()


def djxl(src, dst, *options):
    run(tool("djxl"), src, dst, "--quiet", *options)
    return Path(dst)


def walk_container(data):
    """(type, content) of every box of a container, from its first byte."""
    assert data.startswith(SIGNATURE), "not a container"
    boxes, pos = [], 0
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos : pos + 8])
        header = 8
        if size == 1:
            size, header = struct.unpack(">Q", data[pos + 8 : pos + 16])[0], 16
        elif size == 0:
            size = len(data) - pos
        assert size >= header and pos + size <= len(data)
        boxes.append((kind, data[pos + header : pos + size]))
        pos += size
    return boxes


def box(kind, content=b""):
    return struct.pack(">I4s", 8 + len(content), kind) + content


def container(codestream, *extra_boxes):
    """A container: signature, file type box, codestream box, then the extras."""
    ftyp = box(b"ftyp", b"jxl \x00\x00\x00\x00jxl ")
    assert len(SIGNATURE + ftyp) == 32
    return SIGNATURE + ftyp + box(b"jxlc", codestream) + b"".join(extra_boxes)
