"""tessara_pillow.header against libjxl's own reading of the same files:
jxlinfo's report, djxl's output, and what libjxl refuses."""

import io
import random
import struct
import subprocess
import sys
import tracemalloc
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from jxltools import (SIGNATURE, box, cjxl, codestream_header, djxl, fixture_tool, image_size,
                      jxlinfo, run, tool, walk_container, write_pfm, write_pnm)

# The package is not installed into the test venv; it is imported from the tree.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from tessara_pillow.header import (HeaderError, parse_codestream_header,  # noqa: E402
                                   read_box, read_header)

FTYP = box(b"ftyp", b"jxl \0\0\0\0jxl ")


def header_of(data):
    return read_header(io.BytesIO(data))


def summary(cs):
    """Our parse in the terms of jxlinfo's report."""
    return {
        "size": (cs.width, cs.height),
        "lossless": not cs.xyb_encoded,
        "bits": cs.bits_per_sample,
        "exponent_bits": cs.exponent_bits,
        "grey": cs.is_grey,
        "extra_channels": [{"type": c.type, "bits": c.bits_per_sample, "exponent_bits": c.exponent_bits,
                            "dim_shift": c.dim_shift, "name": c.name, "associated": c.alpha_associated}
                           for c in cs.extra_channels],
        "preview": cs.have_preview,
        "animation": cs.have_animation,
        "orientation": cs.orientation,
    }


def assert_agrees(cs, report):
    image = dict(report)
    icc, colour_space = image.pop("icc"), image.pop("colour_space")
    assert summary(cs) == image
    if icc is not None:  # libjxl got as far as the colour encoding
        assert cs.want_icc == icc
        if not icc:
            assert ["RGB", "Grayscale", "XYB"][cs.colour_space] == colour_space


def boxes_of(header):
    return [(b.type, b.size) for b in header.boxes]


def libjxl_boxes(report, file_size):
    """jxlinfo's box list with a size 0 ("to the end of the file") resolved."""
    boxes, offset = [], 0
    for kind, size in report["boxes"]:
        boxes.append((kind, size or file_size - offset))
        offset += size
    return boxes


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("images")
    rng = np.random.default_rng(1)
    write_pnm(tmp / "rgb.ppm", rng.integers(0, 256, (20, 30, 3), dtype=np.uint8))
    write_pnm(tmp / "rgba.pam", rng.integers(0, 256, (20, 30, 4), dtype=np.uint8))
    write_pnm(tmp / "grey16.pgm", rng.integers(0, 65536, (21, 17), dtype=np.uint16))
    write_pnm(tmp / "ga16.pam", rng.integers(0, 65536, (9, 40, 2), dtype=np.uint16))
    write_pfm(tmp / "rgb.pfm", rng.random((16, 24, 3), dtype=np.float32))
    write_pfm(tmp / "grey.pfm", rng.random((16, 24), dtype=np.float32))
    run(tool("cjpeg"), "-quality", "90", "-outfile", tmp / "rgb.jpg", tmp / "rgb.ppm")
    return tmp


@pytest.mark.parametrize("source, options", [
    ("rgb.ppm", ["-d", "1"]),
    ("rgb.ppm", ["-d", "0"]),
    ("rgb.ppm", ["-d", "0", "--container=1"]),
    ("rgba.pam", ["-d", "0"]),
    ("rgba.pam", ["-d", "2"]),
    ("grey16.pgm", ["-d", "0"]),
    ("ga16.pam", ["-d", "0"]),
    ("rgb.pfm", ["-d", "0"]),
    ("grey.pfm", ["-d", "1"]),
    ("rgb.jpg", []),
])
def test_cjxl_files_read_as_libjxl_reads_them(images, tmp_path, source, options):
    out = tmp_path / "out.jxl"
    data = cjxl(images / source, out, *options)
    report = jxlinfo(out)
    header = header_of(data)
    assert_agrees(header.codestream, report["image"])
    assert header.container == data.startswith(SIGNATURE)
    assert boxes_of(header) == libjxl_boxes(report, len(data))


@pytest.mark.parametrize("args", [
    ["uint", "1", "1"], ["uint", "10", "2"], ["uint", "12", "3"], ["uint", "20", "4"],
    ["uint", "24", "1"], ["float", "16", "4"], ["float", "24", "3"], ["float", "32", "2"],
    ["anim", "3", "4"], ["uint", "8", "3", "--container"],
])
def test_fixture_files_read_as_libjxl_reads_them(tmp_path, args):
    out = tmp_path / "out.jxl"
    run(fixture_tool(), out, *args[:3], "13", "7", *args[3:])
    data = out.read_bytes()
    header = header_of(data)
    assert_agrees(header.codestream, jxlinfo(out)["image"])
    assert boxes_of(header) == libjxl_boxes(jxlinfo(out), len(data))


@pytest.mark.parametrize("orientation", range(1, 9))
def test_orientation_and_oriented_size_as_libjxl_decodes(tmp_path, orientation):
    # cjxl takes the orientation from the PNG's Exif, which exiftool writes
    png = tmp_path / "in.png"
    Image.new("RGB", (24, 10), (1, 2, 3)).save(png)
    run(tool("exiftool"), "-q", "-overwrite_original", "-n", f"-Orientation={orientation}", png)
    data = cjxl(png, tmp_path / "out.jxl", "-d", "0")
    cs = header_of(data).codestream
    assert_agrees(cs, jxlinfo(tmp_path / "out.jxl")["image"])
    assert cs.oriented_size == image_size(djxl(tmp_path / "out.jxl", tmp_path / "out.ppm"))


SPOT = dict(type=2, spot=(0x3C00, 0, 0x3800, 0x3C00), name=b"varnish")


@pytest.mark.parametrize("fields", [
    dict(width=1, height=1), dict(width=100000, height=100000), dict(width=2**30, height=2**30),
    dict(width=256, height=256), dict(width=264, height=8),
    *[dict(width=0, height=999, ratio=r) for r in range(1, 8)],
    dict(height=2**30, ratio=7),
    *[dict(orientation=o, width=40, height=16) for o in (2, 5, 8)],
    dict(intrinsic=(100, 50)),
    dict(preview=(40, 24, 0)), dict(preview=(4401, 23, 0)), dict(preview=(0, 5439, 3)),
    dict(animation=(1000, 1001, 3, True)), dict(animation=(7, 1024, 2**32 - 1, False)),
    dict(preview=(8, 8, 1), animation=(100, 1, 0, False), orientation=3),
    dict(bits=1), dict(bits=31), dict(bits=32), dict(bits=64),
    dict(bits=16, exponent_bits=5), dict(bits=9, exponent_bits=6), dict(bits=32, exponent_bits=8),
    dict(bits=7, exponent_bits=5), dict(bits=32, exponent_bits=2), dict(bits=33, exponent_bits=8),
    dict(bits=16, exponent_bits=1), dict(bits=32, exponent_bits=9),
    *[dict(extra_channels=[dict(type=t)]) for t in (1, 3, 4, 5, 6, 7, 14, 15, 16, 17, 63, 64, 81)],
    dict(extra_channels=[dict(type=0, bits=16, alpha_associated=True, name="alpha é".encode())]),
    dict(extra_channels=[dict(type=0, bits=16, exponent_bits=5)]),
    dict(extra_channels=[dict(type=0, bits=40)]),
    dict(extra_channels=[dict(type=1, dim_shift=3)]), dict(extra_channels=[dict(type=1, dim_shift=4)]),
    dict(extra_channels=[SPOT]), dict(extra_channels=[dict(SPOT, spot=(0, 0x7C00, 0, 0))]),
    dict(extra_channels=[dict(type=5, cfa=200)]), dict(extra_channels=[dict(type=1, name=b"n" * 1071)]),
    dict(extra_channels=[dict(type=3), dict(type=4, bits=12), dict(type=0, bits=10, dim_shift=1)]),
    dict(extra_channels=[dict(type=3), dict(type=0, bits=10, dim_shift=1)] * 150),
    dict(extra_channels=[dict(type=1, name=b"long name " * 107)] * 8),  # more than the first read
    dict(colour_space=1), dict(colour_space=2), dict(colour_space=2, xyb=False), dict(colour_space=3),
    dict(colour_space=3, want_icc=True), dict(colour_space=1, want_icc=True), dict(colour_space=4),
    dict(colour_space=64), dict(xyb=False),
], ids=lambda fields: ",".join(f"{k}={str(v)[:20]}" for k, v in fields.items()))
def test_written_headers_accepted_and_refused_as_libjxl_does(tmp_path, fields):
    data = codestream_header(**fields)
    (tmp_path / "h.jxl").write_bytes(data)
    report = jxlinfo(tmp_path / "h.jxl")["image"]
    if report is None:
        with pytest.raises(HeaderError, match="^JPEG XL: "):
            parse_codestream_header(data)
    else:
        assert_agrees(parse_codestream_header(data), report)
        assert header_of(data).codestream == parse_codestream_header(data)


@pytest.fixture(scope="module")
def jpeg_file(images, tmp_path_factory):
    """A JPEG recompressed by cjxl: jxlp (the headers), jbrd, jxlp (the rest)."""
    out = tmp_path_factory.mktemp("jpeg") / "rgb.jxl"
    boxes = walk_container(cjxl(images / "rgb.jpg", out))
    assert [kind for kind, _ in boxes] == [b"JXL ", b"ftyp", b"jxlp", b"jbrd", b"jxlp"]
    codestream = b"".join(content[4:] for kind, content in boxes if kind == b"jxlp")
    return codestream, boxes[3][1], (images / "rgb.jpg").read_bytes()


def jxlp(index, content, last=False):
    return box(b"jxlp", struct.pack(">I", index | (0x80000000 if last else 0)) + content)


def split(codestream, *cuts, between=b""):
    """A container whose codestream is cut into jxlp parts, `between` after each part but the last."""
    edges = [0, *cuts, len(codestream)]
    parts = [jxlp(i, codestream[a:b], last=i == len(cuts)) for i, (a, b) in enumerate(zip(edges, edges[1:]))]
    return SIGNATURE + FTYP + between.join(parts)


def test_codestream_split_anywhere_reads_like_the_whole(jpeg_file):
    codestream = jpeg_file[0]
    whole = parse_codestream_header(codestream)
    exif = box(b"Exif", bytes(4) + b"MM\0*")
    for cut in range(len(codestream)):
        assert header_of(split(codestream, cut, between=exif)).codestream == whole
    assert header_of(split(codestream, 1, 1, 2, 3, 5, 8, between=exif)).codestream == whole


# We stop reading at the colour space; libjxl reads the image header to its
# end, a few bytes further, before it reports anything.
UNREAD_HEADER_TAIL = 4


def test_truncated_files_read_when_libjxl_reads_their_header(jpeg_file, tmp_path):
    codestream, jbrd, _ = jpeg_file
    data = split(codestream, 6, between=box(b"jbrd", jbrd))
    whole = header_of(data).codestream
    lengths = [*range(80), *range(80, len(data), 101)]
    readable = []
    for length in lengths:
        (tmp_path / "t.jxl").write_bytes(data[:length])
        readable.append(jxlinfo(tmp_path / "t.jxl")["image"] is not None)
    first = lengths[readable.index(True)]
    assert all(readable[first:])
    for length in lengths:
        if length >= first:
            assert header_of(data[:length]).codestream == whole
        elif length < first - UNREAD_HEADER_TAIL:
            with pytest.raises(HeaderError, match="^JPEG XL: "):
                header_of(data[:length])


def container(*boxes):
    return SIGNATURE + FTYP + b"".join(boxes)


@pytest.fixture(scope="module")
def grey_codestream(images, tmp_path_factory):
    data = cjxl(images / "grey16.pgm", tmp_path_factory.mktemp("g") / "g.jxl", "-d", "0")
    return dict(walk_container(data))[b"jxlc"]  # cjxl adds a level box for 16 bits


def layouts(cs):
    return {
        "jxlc": container(box(b"jxlc", cs)),
        "brand": SIGNATURE + box(b"ftyp", b"abcd\0\0\0\0jxl ") + box(b"jxlc", cs),
        "other compatible brand": SIGNATURE + box(b"ftyp", b"jxl \0\0\0\1abcd") + box(b"jxlc", cs),
        "ftyp short": SIGNATURE + box(b"ftyp", b"jxl ") + box(b"jxlc", cs),
        "ftyp long": SIGNATURE + box(b"ftyp", b"jxl \0\0\0\0jxl abcd") + box(b"jxlc", cs),
        "no ftyp": SIGNATURE + box(b"jxlc", cs),
        "two jxlc": container(box(b"jxlc", cs), box(b"jxlc", cs[:3])),
        "jxlp then jxlc": container(jxlp(0, cs[:5]), box(b"jxlc", cs[5:])),
        "jxlp without index": container(box(b"jxlp", b"\0\0"), jxlp(1, cs, last=True)),
        "jxlp never last": container(jxlp(0, cs[:5]), jxlp(1, cs[5:])),
        "jxlp odd indices": container(jxlp(7, cs[:5]), jxlp(3, cs[5:], last=True)),
        "jxlp after the last": container(jxlp(0, cs[:5], last=True), jxlp(1, cs[5:], last=True)),
        "empty jxlp parts": container(jxlp(0, b""), jxlp(1, cs[:1]), jxlp(2, b""), jxlp(3, cs[1:], True)),
        "jxll before": container(box(b"jxll", b"\x0a"), box(b"jxlc", cs)),
        "jxll after": container(box(b"jxlc", cs), box(b"jxll", b"\x05")),
        "size 0": container(struct.pack(">I4s", 0, b"jxlc") + cs),
        "64-bit size": container(struct.pack(">I4sQ", 1, b"jxlc", 16 + len(cs)) + cs),
        "bad size before": container(struct.pack(">I4s", 7, b"abcd") + bytes(8), box(b"jxlc", cs)),
        "bad 64-bit size before": container(struct.pack(">I4sQ", 1, b"abcd", 15), box(b"jxlc", cs)),
        "bad size between parts": container(jxlp(0, cs[:40]), struct.pack(">I4s", 7, b"abcd") + bytes(8),
                                            jxlp(1, cs[40:], last=True)),
        "bad size after": container(box(b"jxlc", cs), struct.pack(">I4s", 3, b"abcd") + bytes(8)),
        "cut box header after": container(box(b"jxlc", cs), b"\0\0\0"),
        "cut box after": container(box(b"jxlc", cs), struct.pack(">I4s", 100, b"Exif") + b"II"),
        "huge box after": container(box(b"jxlc", cs), struct.pack(">I4sQ", 1, b"jumb", 2**63)),
        "metadata around": container(box(b"Exif", bytes(4)), box(b"jxlc", cs), box(b"xml ", b"<x/>")),
        "no codestream": container(box(b"Exif", bytes(4))),
        "signature only": SIGNATURE,
        "bad signature": SIGNATURE[:-1] + b"\x0b" + FTYP + box(b"jxlc", cs),
        "brob codestream": container(box(b"brob", b"jxlc" + cs)),
        "codestream cut in the header": container(box(b"jxlc", cs[:3])),
        "bare": cs,
        "bare with trailing bytes": cs + b"trailing",
        "bare cut after the header": cs[:20],
    }


@pytest.mark.parametrize("name", layouts(b"").keys())
def test_container_layouts_accepted_and_refused_as_libjxl_does(grey_codestream, tmp_path, name):
    data = layouts(grey_codestream)[name]
    (tmp_path / "c.jxl").write_bytes(data)
    report = jxlinfo(tmp_path / "c.jxl")
    if report["image"] is None:
        with pytest.raises(HeaderError, match="^JPEG XL: "):
            header_of(data)
        return
    header = header_of(data)
    assert_agrees(header.codestream, report["image"])
    libjxl = libjxl_boxes(report, len(data))
    # jxlinfo is not told of a box after a second jxlc; we list every box
    assert boxes_of(header)[:len(libjxl)] == libjxl
    assert len(boxes_of(header)) == len(libjxl) or name == "two jxlc"


@pytest.mark.parametrize("bad", [struct.pack(">I4s", n, b"abcd") for n in range(2, 8)]
                         + [struct.pack(">I4sQ", 1, b"abcd", n) for n in range(16)])
def test_impossible_box_sizes_are_refused_by_name(grey_codestream, bad):
    with pytest.raises(HeaderError, match="invalid (64-bit )?box size"):
        header_of(container(bad + bytes(16), box(b"jxlc", grey_codestream)))


def djxl_rebuilds(path, tmp_path, original):
    out = tmp_path / "out.jpg"
    djxl(path, out)  # falls back to encoding pixels when it cannot rebuild
    return out.read_bytes() == original


def jbrd_layouts(cs, jbrd_content):
    import brotli
    jbrd = box(b"jbrd", jbrd_content)
    return {
        "cjxl": split(cs, 6, between=jbrd),
        "before jxlc": container(jbrd, box(b"jxlc", cs)),
        "after jxlc": container(box(b"jxlc", cs), jbrd),
        "after the last jxlp": split(cs, 6) + jbrd,
        "inside the header part": split(cs, 3, between=jbrd),
        "brob": container(box(b"brob", b"jbrd" + brotli.compress(jbrd_content)), box(b"jxlc", cs)),
        "after jxlc, twice": container(box(b"jxlc", cs), jbrd, jbrd),
    }


@pytest.mark.parametrize("layout", jbrd_layouts(b"", b"").keys())
def test_jpeg_reconstruction_as_djxl_uses_it(jpeg_file, tmp_path, layout):
    cs, jbrd, original = jpeg_file
    data = jbrd_layouts(cs, jbrd)[layout]
    (tmp_path / "j.jxl").write_bytes(data)
    assert header_of(data).jpeg_reconstruction == djxl_rebuilds(tmp_path / "j.jxl", tmp_path, original)


def test_two_jpeg_reconstruction_boxes_are_refused_as_libjxl_does(jpeg_file):
    # djxl hides the failure by decoding pixels; the module, which asks for
    # the JPEG as the plug-in will, sees it
    tessara = pytest.importorskip("tessara")
    cs, jbrd, _ = jpeg_file
    data = container(box(b"jbrd", jbrd), box(b"jbrd", jbrd), box(b"jxlc", cs))
    with pytest.raises(RuntimeError):
        tessara.Decoder()(data)
    with pytest.raises(HeaderError, match="more than one JPEG reconstruction box"):
        header_of(data)


def mutations(data, rng):
    for _ in range(300):
        choice = rng.randrange(4)
        if choice == 0:
            yield data[:rng.randrange(len(data))]
        elif choice == 1:
            yield data[:rng.randrange(len(data))] + bytes([rng.randrange(256)]) + data[rng.randrange(len(data)):]
        elif choice == 2:
            at = rng.randrange(min(len(data), 80))
            yield data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:]
        else:
            at = rng.randrange(min(len(data), 80))
            yield data[:at] + struct.pack(">I", rng.choice([0, 1, 2, 8, 9, 2**31, 2**32 - 1])) + data[at + 4:]


def test_bad_input_raises_only_header_error(jpeg_file, grey_codestream):
    rng = random.Random(7)
    cs = jpeg_file[0]
    corpus = [grey_codestream, split(cs, 3, 6, between=box(b"jbrd", jpeg_file[1])),
              codestream_header(extra_channels=[dict(type=0, name=b"abc")], preview=(8, 8, 0)),
              container(box(b"Exif", bytes(8)), struct.pack(">I4sQ", 1, b"jxlc", 16 + len(cs)) + cs)]
    outcomes = set()
    for data in corpus:
        for bad in mutations(data, rng):
            for parse in (header_of, parse_codestream_header):
                try:
                    parse(bad)
                    outcomes.add("read")
                except HeaderError as e:
                    assert str(e).startswith("JPEG XL: ")
                    outcomes.add("refused")
    assert outcomes == {"read", "refused"}


class CountingFile(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.bytes_read = 0

    def read(self, size=-1):
        chunk = super().read(size)
        self.bytes_read += len(chunk)
        return chunk


def test_reads_box_headers_and_the_image_header_only(tmp_path):
    noise = np.random.default_rng(2).integers(0, 256, (512, 512, 3), dtype=np.uint8)
    write_pnm(tmp_path / "noise.ppm", noise)
    cs = cjxl(tmp_path / "noise.ppm", tmp_path / "noise.jxl", "-d", "0", "-e", "1")
    assert len(cs) > 500_000
    exif = box(b"Exif", bytes(4) + b"II*\0" + bytes(100))
    fp = CountingFile(container(box(b"jxlc", cs), exif, box(b"xml ", b"<x/>" * 1000)))
    header = read_header(fp)
    assert [b.type for b in header.boxes] == [b"JXL ", b"ftyp", b"jxlc", b"Exif", b"xml "]
    assert fp.bytes_read < 8192
    assert read_box(fp, header.boxes[3]) == exif[8:]


def test_declared_sizes_cost_no_memory():
    tracemalloc.start()
    try:
        small = header_of(codestream_header(width=100000, height=100000))
        huge_box = header_of(container(box(b"jxlc", codestream_header()),
                                       struct.pack(">I4sQ", 1, b"jumb", 2**60) + b"abc"))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20
    assert small.codestream.oriented_size == (100000, 100000)
    jumb = huge_box.boxes[-1]
    assert (jumb.size, jumb.truncated, jumb.content_size) == (2**60, True, 3)
    fp = io.BytesIO(container(box(b"jxlc", codestream_header()), box(b"Exif", bytes(100))))
    exif = read_header(fp).boxes[-1]
    assert read_box(fp, exif, limit=100) == bytes(100)
    with pytest.raises(ValueError):
        read_box(fp, exif, limit=99)
