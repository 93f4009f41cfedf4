"""Test-side tools: writing PNM/PAM/PFM images, running libjxl's and
libjpeg's command-line tools (and reading jxlinfo's report), the fixture
generator, a container walk of our own for checking encoder output, and a
writer of codestream headers for values no encoder produces."""

import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

SIGNATURE = bytes.fromhex("0000000c4a584c200d0a870a")

# Set by tools/dev, whose root installs every tool and which builds every
# helper first: there a missing one is a broken set-up, and a test that
# skipped would hide it. Elsewhere (the suite run against an installed module)
# a test that needs a missing tool is skipped.
TOOLS_REQUIRED = "TESSARA_TOOLS_REQUIRED" in os.environ


def unavailable(reason):
    """Ends a test (or a test module) whose tool is missing: a failure under
    tools/dev, a skip elsewhere."""
    if TOOLS_REQUIRED:
        pytest.fail(f"{reason}, although tools/dev provides it", pytrace=False)
    pytest.skip(reason, allow_module_level=True)


def tool(name):
    path = shutil.which(name)
    if path is None:
        unavailable(f"{name} is not installed")
    return path


def fixture_tool():
    path = Path(os.environ.get("TESSARA_FIXTURE_BIN", "build/cpp")) / "make_fixture"
    if not path.exists():
        unavailable("make_fixture is not built (run through tools/dev test)")
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
        # The header ends at the one whitespace byte after maxval; the samples
        # that follow may start with bytes that look like whitespace.
        head = re.match(rb"(P[56])\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        assert head, "not a binary PNM file"
        magic, w, h, maxval = head[1], int(head[2]), int(head[3]), int(head[4])
        body = data[head.end():]
        c = {b"P5": 1, b"P6": 3}[magic]
    dtype = ">u2" if maxval > 255 else "u1"
    img = np.frombuffer(body, dtype=dtype).reshape(h, w, c).astype(np.uint16 if maxval > 255 else np.uint8)
    if scale_to_16_bits and 255 < maxval < 65535:
        img = np.round(img.astype(np.float64) * 65535 / maxval).astype(np.uint16)
    return img


def read_pfm(path):
    data = Path(path).read_bytes()
    head = re.match(rb"(P[Ff])\s+(\d+)\s+(\d+)\s+(\S+)\s", data)
    assert head, "not a PFM file"
    kind, w, h, scale = head[1], head[2], head[3], head[4]
    body = data[head.end():]
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



class BitWriter:
    """Fields as the codestream stores them: least significant bit first; a
    U32 as a 2-bit selector and the first of its four distributions (a fixed
    int, or (bits, offset)) that holds the value."""

    def __init__(self):
        self.text = ""

    def bits(self, value, n):
        assert 0 <= value < 1 << n, (value, n)
        self.text += format(value, f"0{n}b")[::-1] if n else ""
        return self

    def u32(self, value, *distributions):
        for selector, dist in enumerate(distributions):
            n, offset = (0, dist) if isinstance(dist, int) else dist
            if 0 <= value - offset < 1 << n:
                return self.bits(selector, 2).bits(value - offset, n)
        raise ValueError(f"{value} fits none of {distributions}")

    def tobytes(self):
        text = self.text + "0" * (-len(self.text) % 8)
        return bytes(int(text[i:i + 8][::-1], 2) for i in range(0, len(text), 8))


ENUM = (0, 1, (4, 2), (6, 18))
SIZE = ((9, 1), (13, 1), (18, 1), (30, 1))
PREVIEW, PREVIEW_DIV8 = ((6, 1), (8, 65), (10, 321), (12, 1345)), (16, 32, (5, 1), (9, 33))


def _size(w, width, height, ratio=0):
    small = height % 8 == 0 and height <= 256 and (ratio > 0 or (width % 8 == 0 and width <= 256))
    w.bits(small, 1)
    w.bits(height // 8 - 1, 5) if small else w.u32(height, *SIZE)
    if w.bits(ratio, 3) and ratio == 0:
        w.bits(width // 8 - 1, 5) if small else w.u32(width, *SIZE)


def _preview(w, width, height, ratio):
    div8 = width % 8 == 0 and height % 8 == 0 and max(width, height) <= 4352
    w.bits(div8, 1).u32(height // 8 if div8 else height, *(PREVIEW_DIV8 if div8 else PREVIEW))
    if w.bits(ratio, 3) and ratio == 0:
        w.u32(width // 8 if div8 else width, *(PREVIEW_DIV8 if div8 else PREVIEW))


def _depth(w, bits, exponent_bits):
    if w.bits(exponent_bits > 0, 1) and exponent_bits:
        w.u32(bits, 32, 16, 24, (6, 1)).bits(exponent_bits - 1, 4)
    else:
        w.u32(bits, 8, 10, 12, (6, 1))


def _channel(w, type=0, bits=8, exponent_bits=0, dim_shift=0, name=b"", alpha_associated=False,
             spot=(0, 0, 0, 0), cfa=1):
    w.bits(0, 1).u32(type, *ENUM)  # every field written, none left to its default
    _depth(w, bits, exponent_bits)
    w.u32(dim_shift, 0, 3, 4, (3, 1)).u32(len(name), 0, (4, 0), (5, 16), (10, 48))
    for byte in name:
        w.bits(byte, 8)
    if type == 0:
        w.bits(alpha_associated, 1)
    for half in spot if type == 2 else ():
        w.bits(half, 16)
    if type == 5:
        w.u32(cfa, 1, (2, 0), (4, 3), (8, 19))


def codestream_header(width=8, height=8, *, ratio=0, orientation=1, intrinsic=None, preview=None,
                      animation=None, bits=8, exponent_bits=0, extra_channels=(), xyb=True,
                      want_icc=False, colour_space=0):
    """A codestream's headers, complete enough for libjxl to report its basic
    information, with no frame after them. preview: (width, height, ratio);
    animation: (ticks numerator, denominator, loops, timecodes);
    extra_channels: dicts of _channel's arguments."""
    w = BitWriter().bits(0x0AFF, 16)
    _size(w, width, height, ratio)
    extra_fields = orientation != 1 or (intrinsic, preview, animation) != (None, None, None)
    w.bits(0, 1).bits(extra_fields, 1)  # not all default
    if extra_fields:
        w.bits(orientation - 1, 3)
        for fields, write in ((intrinsic, _size), (preview, _preview)):
            if w.bits(fields is not None, 1) and fields is not None:
                write(w, *fields)
        if w.bits(animation is not None, 1) and animation:
            w.u32(animation[0], 100, 1000, (10, 1), (30, 1)).u32(animation[1], 1, 1001, (8, 1), (10, 1))
            w.u32(animation[2], 0, (3, 0), (16, 0), (32, 0)).bits(animation[3], 1)
    _depth(w, bits, exponent_bits)
    w.bits(1, 1).u32(len(extra_channels), 0, 1, (4, 2), (12, 1))
    for channel in extra_channels:
        _channel(w, **channel)
    w.bits(xyb, 1).bits(0, 1).bits(want_icc, 1).u32(colour_space, *ENUM)
    if not want_icc and colour_space == 2:
        w.u32(0, *ENUM)  # XYB implies the rest, and wants the perceptual intent
    elif not want_icc:
        w.u32(1, *ENUM)  # D65
        if colour_space != 1:
            w.u32(1, *ENUM)  # sRGB primaries
        w.bits(0, 1).u32(13, *ENUM).u32(1, *ENUM)  # sRGB transfer, relative intent
    if extra_fields:
        w.bits(1, 1)  # default tone mapping
    return w.bits(0, 2).bits(1, 1).tobytes()  # no extensions, default transform data


_CHANNEL_TYPES = {"Alpha": 0, "Depth": 1, "Spotcolor": 2, "Selection": 3, "Black": 4, "CFA": 5,
                  "Thermal": 6, "Optional": 16}


def _channel_report(block):
    ec = dict(re.findall(r"^  (\w+): (.*)$", block, re.M))
    exponent = re.search(r"exponent_bits_per_sample: (\d+)", block)
    return (_CHANNEL_TYPES[ec["type"]], int(ec["bits_per_sample"]), int(exponent[1]) if exponent else 0,
            int(ec.get("dim_shift", "0").split()[0]), ec.get("name", ""),
            ec.get("alpha_premultiplied", "0")[0] == "1")


def jxlinfo(path):
    """libjxl's report on a file (jxlinfo -v): its boxes as (type, size), a
    size 0 resolved to the end of the file, and the image's basic information
    (extra channels as (type, bits, exponent bits, dim_shift, name,
    premultiplied), "colour" empty if not reached, its frames and layers),
    or None if libjxl could not read the image header."""
    out = subprocess.run([tool("jxlinfo"), "-v", str(path)], capture_output=True, text=True,
                         errors="replace").stdout
    boxes, offset, size = [], 0, os.path.getsize(path)
    for kind, length in re.findall(r'box: type: "(.{4})" size: (\d+)', out):
        boxes.append((kind.encode(), int(length) or size - offset))
        offset += int(length)
    first = re.search(r"^JPEG XL (?:image|animation), (\d+)x(\d+), (lossy|\(possibly\) lossless), "
                      r"(\d+)-bit (?:float \((\d+) exponent bits\) )?", out, re.M)
    if first is None:
        return boxes, None
    fields = dict(re.findall(r"^(\w[\w ]*): (.*)$", out, re.M))
    ticks = re.search(r"^ticks per second \(numerator / denominator\): (\d+) / (\d+)$", out, re.M)
    return boxes, {
        "size": (int(first[1]), int(first[2])), "lossless": first[3] != "lossy",
        "bits": int(first[4]), "exponent_bits": int(first[5] or 0),
        "grey": fields["num_color_channels"] == "1",
        "extra_channels": [_channel_report(b) for b in re.findall(r"^extra channel \d+:\n((?:  .*\n)*)", out, re.M)],
        "preview": fields["have_preview"] == "1", "animation": fields["have_animation"] == "1",
        "orientation": int(fields["Orientation"].split()[0]),
        "colour": fields.get("Color space", "").split(",")[0],
        "colour_space": fields.get("Color space", ""),
        "ticks_per_second": (int(ticks[1]), int(ticks[2])) if ticks else (0, 0),
        "loops": int(fields.get("num_loops", "0")),
        "jbrd": "JPEG bitstream reconstruction data available" in out,
        # Every frame libjxl reports without coalescing: ("frame" or
        # "layer", its duration in ms or None in a still image).
        "layers": [(kind, float(ms[1]) if (ms := re.search(r"duration: ([\d.]+) ms", rest)) else None)
                   for kind, rest in re.findall(r"^(frame|layer): (.*)$", out, re.M)],
    }


def declared_codestream(side=100000, tail=b""):
    """A codestream header declaring a square image `side` pixels wide,
    followed by `tail` in place of the pixel data."""
    return codestream_header(side, side) + tail


def jxlp_container(codestream, cuts, *extra_boxes):
    """The codestream split at `cuts` into "jxlp" boxes, each after its index
    (the last one flagged as last)."""
    ftyp = box(b"ftyp", b"jxl \x00\x00\x00\x00jxl ")
    edges = [0, *cuts, len(codestream)]
    parts = [codestream[a:b] for a, b in zip(edges, edges[1:])]
    boxes = [
        box(b"jxlp", struct.pack(">I", i | (0x80000000 if i == len(parts) - 1 else 0)) + part)
        for i, part in enumerate(parts)
    ]
    return SIGNATURE + ftyp + b"".join(boxes) + b"".join(extra_boxes)



# Profiles libjxl cannot express as a colour encoding when a file carries
# them (Adobe RGB, ProPhoto): made by the benchmark's input module.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from inputs import ADOBE_RGB, PROPHOTO_RGB  # noqa: E402,F401
