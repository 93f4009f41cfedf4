"""Test-side tools: writing PNM/PAM/PFM images, running libjxl's and
libjpeg's command-line tools (and reading jxlinfo's report), the fixture
generator, a container walk of our own for checking encoder output, and a
writer of codestream headers for values no encoder produces."""

import os
import re
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


class BitWriter:
    """Writes fields the way the codestream stores them: bits least significant
    first, U32 fields as a 2-bit selector and the chosen distribution."""

    def __init__(self):
        self.out = bytearray()
        self.pending = 0  # bits not yet in a whole byte
        self.pending_count = 0

    def bits(self, value, n):
        assert 0 <= value < (1 << n), (value, n)
        self.pending |= value << self.pending_count
        self.pending_count += n
        while self.pending_count >= 8:
            self.out.append(self.pending & 0xFF)
            self.pending >>= 8
            self.pending_count -= 8
        return self

    def bool(self, flag):
        return self.bits(int(flag), 1)

    def u32(self, value, *distributions):
        """distributions: four entries, each a fixed value (int) or (bits, offset);
        the first that can hold value is chosen."""
        for selector, dist in enumerate(distributions):
            if isinstance(dist, int):
                if value == dist:
                    return self.bits(selector, 2)
            elif 0 <= value - dist[1] < (1 << dist[0]):
                return self.bits(selector, 2).bits(value - dist[1], dist[0])
        raise ValueError(f"{value} fits no distribution of {distributions}")

    def enum(self, value):
        return self.u32(value, 0, 1, (4, 2), (6, 18))

    def tobytes(self):
        tail = bytes([self.pending]) if self.pending_count else b""
        return bytes(self.out) + tail


def _size_fields(w, bits_per_field, width, height, ratio):
    """A SizeHeader-like bundle; small form when both sides allow it."""
    small = height % 8 == 0 and height <= 256 and (ratio > 0 or (width % 8 == 0 and width <= 256))
    w.bool(small)
    if small:
        w.bits(height // 8 - 1, 5)
    else:
        w.u32(height, *bits_per_field)
    w.bits(ratio, 3)
    if ratio == 0:
        if small:
            w.bits(width // 8 - 1, 5)
        else:
            w.u32(width, *bits_per_field)


SIZE_FIELDS = ((9, 1), (13, 1), (18, 1), (30, 1))


def _bit_depth(w, bits, exponent_bits):
    w.bool(exponent_bits > 0)
    if exponent_bits:
        w.u32(bits, 32, 16, 24, (6, 1)).bits(exponent_bits - 1, 4)
    else:
        w.u32(bits, 8, 10, 12, (6, 1))


def _extra_channel(w, type=0, bits=8, exponent_bits=0, dim_shift=0, name=b"",
                   alpha_associated=False, spot=(0, 0, 0, 0), cfa=1):
    default = (type, bits, exponent_bits, dim_shift, name, alpha_associated) == (0, 8, 0, 0, b"", False)
    w.bool(default)
    if default:
        return
    w.enum(type)
    _bit_depth(w, bits, exponent_bits)
    w.u32(dim_shift, 0, 3, 4, (3, 1))
    w.u32(len(name), 0, (4, 0), (5, 16), (10, 48))
    for byte in name:
        w.bits(byte, 8)
    if type == 0:
        w.bool(alpha_associated)
    if type == 2:
        for half in spot:
            w.bits(half, 16)
    if type == 5:
        w.u32(cfa, 1, (2, 0), (4, 3), (8, 19))


def codestream_header(width=8, height=8, *, ratio=0, orientation=1, intrinsic=None,
                      preview=None, animation=None, bits=8, exponent_bits=0,
                      extra_channels=(), xyb=True, want_icc=False, colour_space=0):
    """The bytes of a codestream's headers, complete enough for libjxl to
    report its basic information, with nothing after them (no frame).
    preview: (width, height, ratio); animation: (tps_num, tps_den, loops,
    timecodes); extra_channels: dicts of _extra_channel's arguments."""
    w = BitWriter().bits(0x0AFF, 16)
    _size_fields(w, SIZE_FIELDS, width, height, ratio)
    extra_fields = orientation != 1 or (intrinsic, preview, animation) != (None, None, None)
    default_colour = colour_space == 0 and not want_icc
    all_default = not extra_fields and (bits, exponent_bits) == (8, 0) and not extra_channels \
        and xyb and default_colour
    w.bool(all_default)
    if not all_default:
        w.bool(extra_fields)
        if extra_fields:
            w.bits(orientation - 1, 3)
            w.bool(intrinsic is not None)
            if intrinsic is not None:
                _size_fields(w, SIZE_FIELDS, *intrinsic, 0)
            w.bool(preview is not None)
            if preview is not None:
                _preview(w, *preview)
            w.bool(animation is not None)
            if animation is not None:
                num, den, loops, timecodes = animation
                w.u32(num, 100, 1000, (10, 1), (30, 1)).u32(den, 1, 1001, (8, 1), (10, 1))
                w.u32(loops, 0, (3, 0), (16, 0), (32, 0)).bool(timecodes)
        _bit_depth(w, bits, exponent_bits)
        w.bool(True)  # modular 16-bit buffers suffice
        w.u32(len(extra_channels), 0, 1, (4, 2), (12, 1))
        for channel in extra_channels:
            _extra_channel(w, **channel)
        w.bool(xyb)
        _colour_encoding(w, want_icc, colour_space)
        if extra_fields:
            w.bool(True)  # default tone mapping
        w.bits(0, 2)  # no extensions
    w.bool(True)  # default transform data
    return w.tobytes()


def _preview(w, width, height, ratio):
    div8 = height % 8 == 0 and height <= 4352 and (ratio > 0 or (width % 8 == 0 and width <= 4352))
    w.bool(div8)
    div8_fields = (16, 32, (5, 1), (9, 33))
    fields = ((6, 1), (8, 65), (10, 321), (12, 1345))
    if div8:
        w.u32(height // 8, *div8_fields)
    else:
        w.u32(height, *fields)
    w.bits(ratio, 3)
    if ratio == 0:
        if div8:
            w.u32(width // 8, *div8_fields)
        else:
            w.u32(width, *fields)


def _colour_encoding(w, want_icc, colour_space):
    default = colour_space == 0 and not want_icc
    w.bool(default)
    if default:
        return
    w.bool(want_icc).enum(colour_space)
    if want_icc:
        return
    if colour_space != 2:
        w.enum(1)  # D65 white point
    if colour_space not in (1, 2):
        w.enum(1)  # sRGB primaries
    if colour_space != 2:  # XYB implies its transfer function
        w.bool(False).enum(13)  # sRGB transfer function
    w.enum(0 if colour_space == 2 else 1)  # XYB needs the perceptual intent


_CHANNEL_TYPES = {"Alpha": 0, "Depth": 1, "Spotcolor": 2, "Selection": 3, "Black": 4,
                  "CFA": 5, "Thermal": 6, "Optional": 16}


def jxlinfo(path):
    """libjxl's report on a file (jxlinfo -v): {"boxes": [(type, size), ...]
    with size 0 meaning "to the end of the file", "image": None if libjxl
    could not read the image header, else a dict of what it says about it}."""
    out = subprocess.run([tool("jxlinfo"), "-v", str(path)], capture_output=True,
                         text=True, errors="replace").stdout
    boxes = [(m[1].encode(), int(m[2])) for m in re.finditer(r'box: type: "(.{4})" size: (\d+)', out)]
    first = re.search(r"^JPEG XL (image|animation), (\d+)x(\d+), (lossy|\(possibly\) lossless), "
                      r"(\d+)-bit (?:float \((\d+) exponent bits\) )?(\S+)", out, re.M)
    if first is None:
        return {"boxes": boxes, "image": None}
    fields = dict(re.findall(r"^(\w[\w ]*): (.*)$", out, re.M))
    channels = []
    for block in re.findall(r"^extra channel \d+:\n((?:  .*\n)*)", out, re.M):
        ec = dict(re.findall(r"^  (\w+): (.*)$", block, re.M))
        exponent = re.search(r"exponent_bits_per_sample: (\d+)", block)
        channels.append({
            "type": _CHANNEL_TYPES[ec["type"]],
            "bits": int(ec["bits_per_sample"]),
            "exponent_bits": int(exponent[1]) if exponent else 0,
            "dim_shift": int(ec.get("dim_shift", "0").split()[0]),
            "name": ec.get("name", ""),
            "associated": ec.get("alpha_premultiplied", "0").startswith("1"),
        })
    colour = fields.get("Color space")
    return {"boxes": boxes, "image": {
        "size": (int(first[2]), int(first[3])),
        "lossless": first[4] != "lossy",
        "bits": int(first[5]),
        "exponent_bits": int(first[6] or 0),
        "grey": fields["num_color_channels"] == "1",
        "extra_channels": channels,
        "preview": fields["have_preview"] == "1",
        "animation": fields["have_animation"] == "1",
        "orientation": int(fields["Orientation"].split()[0]),
        # None when libjxl stopped before the colour encoding (an ICC profile missing)
        "icc": None if colour is None else "ICC profile" in colour,
        "colour_space": None if colour is None else colour.split(",")[0],
    }}


def image_size(path):
    """(width, height) of a PNM/PAM file, e.g. djxl's output."""
    data = Path(path).read_bytes()
    if data.startswith(b"P7"):
        fields = dict(re.findall(rb"^(WIDTH|HEIGHT) (\d+)$", data.split(b"ENDHDR")[0], re.M))
        return int(fields[b"WIDTH"]), int(fields[b"HEIGHT"])
    parts = data.split(maxsplit=3)
    return int(parts[1]), int(parts[2])


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
