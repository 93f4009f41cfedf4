"""The one reader of a file's facts (tessara_pillow.facts) against libjxl's
reading of the same files: jxlinfo's report, djxl's output, and what libjxl
refuses; and the box walk behind the metadata (tessara_pillow.header)."""

import io
import random
import struct
import tracemalloc

import numpy as np
import pytest
from PIL import Image

from jxltools import (SIGNATURE, box, cjxl, codestream_header, djxl, fixture_tool, jxlinfo, run,
                      tool, walk_container, write_pfm, write_pnm)

from tessara_pillow import facts
from tessara_pillow.header import HeaderError, read_box, read_header


def container(*boxes):
    return SIGNATURE + box(b"ftyp", b"jxl \0\0\0\0jxl ") + b"".join(boxes)


def jxlp(index, content, last=False):
    return box(b"jxlp", struct.pack(">I", index | last << 31) + content)


def split(cs, *cuts, between=b""):
    """A container with the codestream cut into jxlp parts, `between` after each but the last."""
    edges = [0, *cuts, len(cs)]
    return container(*(jxlp(i, cs[a:b], i == len(cuts)) + (between if i < len(cuts) else b"")
                       for i, (a, b) in enumerate(zip(edges, edges[1:]))))


def agrees_with_libjxl(tmp_path, data):
    """We read data as jxlinfo does, or refuse it where jxlinfo cannot read as
    far as the colour encoding."""
    (tmp_path / "f.jxl").write_bytes(data)
    boxes, image = jxlinfo(tmp_path / "f.jxl")
    if image is None or not image["colour"]:
        with pytest.raises(ValueError, match="^JPEG XL: "):
            facts.read(data)
        return None
    found = facts.read(data)
    alphas = [c for c in image["extra_channels"] if c[0] == 0]
    assert (image["size"], image["lossless"], image["bits"], image["exponent_bits"], image["grey"],
            image["animation"], image["orientation"], len(image["extra_channels"])) == (
        (found.stored_width, found.stored_height), not found.xyb, found.bits, found.exponent_bits, found.grey,
        found.animated, found.orientation, found.extra_channels)
    assert (found.alpha_bits, found.alpha_exponent_bits, found.alpha_premultiplied) == (
        (alphas[0][1], alphas[0][2], alphas[0][5]) if alphas else (0, 0, False))
    assert (found.encoding is None) == ("ICC" in image["colour"])
    # The box walk behind the metadata sees every box libjxl reports.
    if data.startswith(SIGNATURE):
        assert [(b.type, b.size) for b in read_header(io.BytesIO(data)).boxes] == boxes
    return found


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    tmp, rng = tmp_path_factory.mktemp("images"), np.random.default_rng(1)
    for name, shape in (("rgb.ppm", (20, 30, 3)), ("rgba.pam", (20, 30, 4))):
        write_pnm(tmp / name, rng.integers(0, 256, shape, dtype=np.uint8))
    for name, shape in (("grey16.pgm", (21, 17)), ("ga16.pam", (9, 40, 2))):
        write_pnm(tmp / name, rng.integers(0, 65536, shape, dtype=np.uint16))
    write_pfm(tmp / "rgb.pfm", rng.random((16, 24, 3), dtype=np.float32))
    write_pfm(tmp / "grey.pfm", rng.random((16, 24), dtype=np.float32))
    run(tool("cjpeg"), "-quality", "90", "-outfile", tmp / "rgb.jpg", tmp / "rgb.ppm")
    return tmp


CJXL = [["rgb.ppm", "-d", "1"], ["rgba.pam", "-d", "0", "--container=1"], ["rgba.pam", "-d", "2"],
        ["grey16.pgm", "-d", "0"], ["ga16.pam", "-d", "0"], ["rgb.pfm", "-d", "0"], ["grey.pfm", "-d", "1"],
        ["rgb.jpg"]]
FIXTURE = [["uint", "1", "1"], ["uint", "10", "2"], ["uint", "12", "3"], ["uint", "24", "4"],
           ["float", "16", "4"], ["float", "24", "3"], ["anim", "3", "4"]]


@pytest.mark.parametrize("maker, args", [("cjxl", a) for a in CJXL] + [("fixture", a) for a in FIXTURE])
def test_encoder_output_read_as_libjxl_reads_it(images, tmp_path, maker, args):
    out = tmp_path / "out.jxl"
    if maker == "cjxl":
        cjxl(images / args[0], out, *args[1:])
    else:
        run(fixture_tool(), out, *args[:3], "13", "7", *args[3:])
    assert agrees_with_libjxl(tmp_path, out.read_bytes())


@pytest.mark.parametrize("orientation", range(1, 9))
def test_orientation_and_the_size_djxl_decodes_to(tmp_path, orientation):
    Image.new("RGB", (24, 10)).save(tmp_path / "in.png")  # cjxl takes the orientation from Exif
    run(tool("exiftool"), "-q", "-overwrite_original", "-n", f"-Orientation={orientation}", tmp_path / "in.png")
    found = agrees_with_libjxl(tmp_path, cjxl(tmp_path / "in.png", tmp_path / "o.jxl", "-d", "0"))
    with Image.open(djxl(tmp_path / "o.jxl", tmp_path / "o.ppm")) as decoded:
        assert (found.width, found.height) == decoded.size


SPOT = dict(type=2, spot=(0x3C00, 0, 0x3800, 0x3C00), name=b"varnish")
HEADERS = [
    dict(width=1, height=1), dict(width=2**30, height=2**30), dict(width=256, height=256),
    dict(width=264, height=8), dict(height=2**30, ratio=7),
    *[dict(width=0, height=999, ratio=r) for r in range(1, 8)],
    *[dict(orientation=o, width=40, height=16) for o in (2, 5, 8)], dict(intrinsic=(100, 50)),
    dict(preview=(40, 24, 0)), dict(preview=(4401, 23, 0)), dict(preview=(0, 5439, 3)),
    dict(animation=(1000, 1001, 3, True)), dict(animation=(7, 1024, 2**32 - 1, False)),
    dict(preview=(8, 8, 1), animation=(100, 1, 0, False), orientation=3),
    *[dict(bits=b) for b in (1, 31, 32, 64)],
    *[dict(bits=b, exponent_bits=e) for b, e in ((9, 6), (32, 8), (7, 5), (32, 2), (33, 8), (16, 1), (32, 9))],
    *[dict(extra_channels=[dict(type=t)]) for t in (0, 1, 3, 4, 5, 6, 7, 14, 15, 16, 63, 64)],
    dict(extra_channels=[dict(bits=16, alpha_associated=True, name="alpha é".encode())]),
    dict(extra_channels=[dict(bits=16, exponent_bits=5)]), dict(extra_channels=[dict(bits=40)]),
    dict(extra_channels=[dict(type=1, dim_shift=3)]), dict(extra_channels=[dict(type=1, dim_shift=4)]),
    dict(extra_channels=[SPOT]), dict(extra_channels=[dict(SPOT, spot=(0, 0x7C00, 0, 0))]),
    dict(extra_channels=[dict(type=5, cfa=200)]), dict(extra_channels=[dict(type=1, name=b"\xff\xfe")]),
    dict(extra_channels=[dict(type=3), dict(type=4, bits=12), dict(bits=10, dim_shift=1)] * 100),
    dict(extra_channels=[dict(type=1, name=b"long name " * 107)] * 8),  # past the first read
    *[dict(colour_space=c) for c in (1, 2, 3, 4, 64)], dict(colour_space=2, xyb=False),
    dict(colour_space=3, want_icc=True), dict(colour_space=1, want_icc=True), dict(xyb=False),
]


@pytest.mark.parametrize("fields", HEADERS, ids=lambda f: ",".join(f"{k}={str(v)[:16]}" for k, v in f.items()))
def test_written_headers_accepted_and_refused_as_libjxl_does(tmp_path, fields):
    agrees_with_libjxl(tmp_path, codestream_header(**fields))


@pytest.fixture(scope="module")
def jpeg_file(images, tmp_path_factory):
    """A JPEG recompressed by cjxl: jxlp (the headers), jbrd, jxlp (the rest)."""
    boxes = walk_container(cjxl(images / "rgb.jpg", tmp_path_factory.mktemp("jpeg") / "rgb.jxl"))
    assert [kind for kind, _ in boxes] == [b"JXL ", b"ftyp", b"jxlp", b"jbrd", b"jxlp"]
    cs = b"".join(content[4:] for kind, content in boxes if kind == b"jxlp")
    return cs, boxes[3][1], (images / "rgb.jpg").read_bytes()


def test_codestream_split_anywhere_reads_like_the_whole(jpeg_file):
    cs, exif = jpeg_file[0], box(b"Exif", bytes(4) + b"MM\0*")
    whole = facts.read(cs)
    for cuts in [(cut,) for cut in range(len(cs))] + [(1, 1, 2, 3, 5, 8)]:
        assert facts.read(split(cs, *cuts, between=exif)) == whole


def test_truncated_files_read_once_libjxl_reads_their_header(jpeg_file, tmp_path):
    data = split(jpeg_file[0], 6, between=box(b"jbrd", jpeg_file[1]))
    lengths = [*range(80), *range(80, len(data), 101)]
    readable = [agrees_with_libjxl(tmp_path, data[:n]) is not None for n in lengths]
    first = readable.index(True)
    assert all(readable[first:]) and lengths[first] > 32 + 8 + 4  # the header part's box starts at 32


def layouts(cs):
    return {
        "jxlc": container(box(b"jxlc", cs)),
        "brand": SIGNATURE + box(b"ftyp", b"abcd\0\0\0\0jxl ") + box(b"jxlc", cs),
        "short ftyp": SIGNATURE + box(b"ftyp", b"jxl ") + box(b"jxlc", cs),
        "jxlp then jxlc": container(jxlp(0, cs[:5]), box(b"jxlc", cs[5:])),
        "jxlp without index": container(box(b"jxlp", b"\0\0"), jxlp(1, cs, last=True)),
        "jxlp after the last": container(jxlp(0, cs[:5], last=True), jxlp(1, cs[5:], last=True)),
        "empty jxlp": container(jxlp(0, b""), jxlp(1, cs[:1]), jxlp(2, b""), jxlp(3, cs[1:], True)),
        "size 0": container(struct.pack(">I4s", 0, b"jxlc") + cs),
        "64-bit size": container(struct.pack(">I4sQ", 1, b"jxlc", 16 + len(cs)) + cs),
        "bad size": container(struct.pack(">I4s", 7, b"abcd") + bytes(8), box(b"jxlc", cs)),
        "bad 64-bit size": container(struct.pack(">I4sQ", 1, b"abcd", 15), box(b"jxlc", cs)),
        "bad size mid-codestream": container(jxlp(0, cs[:40]), struct.pack(">I4s", 7, b"abcd"),
                                             jxlp(1, cs[40:], last=True)),
        "cut after": container(box(b"jxlc", cs), box(b"Exif", bytes(4)), struct.pack(">I4s", 99, b"xml ")),
        "huge box after": container(box(b"jxlc", cs), struct.pack(">I4sQ", 1, b"jumb", 2**63)),
        "no codestream": container(box(b"Exif", bytes(4)), box(b"brob", b"jxlc" + cs)),
        "bad signature": SIGNATURE[:-1] + b"\x0b" + container(box(b"jxlc", cs))[12:],
        "bare": cs + b"trailing bytes",
        "bare, cut after the header": cs[:20],
    }


@pytest.mark.parametrize("name", layouts(b"").keys())
def test_container_layouts_accepted_and_refused_as_libjxl_does(images, tmp_path, name):
    cs = dict(walk_container(cjxl(images / "grey16.pgm", tmp_path / "g.jxl", "-d", "0")))[b"jxlc"]
    agrees_with_libjxl(tmp_path, layouts(cs)[name])


@pytest.mark.parametrize("layout", ["cjxl", "before jxlc", "after jxlc", "after the last jxlp",
                                    "inside the header part", "brob", "twice"])
def test_jpeg_reconstruction_where_djxl_uses_it(jpeg_file, tmp_path, layout):
    import brotli
    cs, content, original = jpeg_file
    jbrd = box(b"jbrd", content)
    data = {"cjxl": split(cs, 6, between=jbrd), "before jxlc": container(jbrd, box(b"jxlc", cs)),
            "after jxlc": container(box(b"jxlc", cs), jbrd), "after the last jxlp": split(cs, 6) + jbrd,
            "inside the header part": split(cs, 3, between=jbrd),
            "brob": container(box(b"brob", b"jbrd" + brotli.compress(content)), box(b"jxlc", cs)),
            "twice": container(box(b"jxlc", cs), jbrd, jbrd)}[layout]
    (tmp_path / "j.jxl").write_bytes(data)
    rebuilt = djxl(tmp_path / "j.jxl", tmp_path / "j.jpg").read_bytes() == original  # else from pixels
    assert facts.read(data).jpeg_reconstruction == rebuilt
    assert facts.read(data, all_frames=False).jpeg_reconstruction == rebuilt


def test_mutated_files_raise_only_value_error(jpeg_file):
    rng, cs = random.Random(7), jpeg_file[0]
    corpus = [cs, split(cs, 3, 6, between=box(b"jbrd", jpeg_file[1])),
              codestream_header(extra_channels=[dict(name=b"abc")], preview=(8, 8, 0)),
              container(box(b"Exif", bytes(8)), struct.pack(">I4sQ", 1, b"jxlc", 16 + len(cs)) + cs)]
    outcomes = set()
    for data in corpus:
        for _ in range(400):
            at, end = rng.randrange(min(len(data), 80)), rng.randrange(len(data))
            bad = rng.choice([data[:end], data[:at] + bytes([rng.randrange(256)]) + data[end:],
                              data[:at] + bytes([data[at] ^ 1 << rng.randrange(8)]) + data[at + 1:],
                              data[:at] + struct.pack(">I", rng.choice([0, 1, 7, 9, 2**32 - 1])) + data[at + 4:]])
            for all_frames in (True, False):
                try:
                    outcomes.add(type(facts.read(bad, all_frames=all_frames)).__name__)
                except ValueError as error:
                    outcomes.add(str(error)[:9])
            try:
                outcomes.add(type(read_header(io.BytesIO(bad))).__name__)
            except HeaderError as error:
                outcomes.add(str(error)[:9])
    assert outcomes == {"FileFacts", "JxlHeader", "JPEG XL: "}


class CountingFile(io.BytesIO):
    bytes_read = 0

    def read(self, size=-1):
        chunk = super().read(size)
        self.bytes_read += len(chunk)
        return chunk


def test_reads_little_and_allocates_nothing_declared(tmp_path):
    write_pnm(tmp_path / "noise.ppm", np.random.default_rng(2).integers(0, 256, (512, 512, 3), dtype=np.uint8))
    cs = cjxl(tmp_path / "noise.ppm", tmp_path / "noise.jxl", "-d", "0", "-e", "1")
    exif = box(b"Exif", bytes(4) + b"II*\0" + bytes(100))
    fp = CountingFile(container(box(b"jxlc", cs), exif, struct.pack(">I4sQ", 1, b"jumb", 2**60) + b"abc"))
    tracemalloc.start()
    try:
        found = facts.read_file(fp)
        header, peak = read_header(fp), tracemalloc.get_traced_memory()[1]
        huge = facts.read(codestream_header(width=100000, height=100000) + bytes(16))
        peak = max(peak, tracemalloc.get_traced_memory()[1])
    finally:
        tracemalloc.stop()
    assert len(cs) > 500_000 and fp.bytes_read < 8192 and peak < 1 << 20
    assert (found.width, found.height, len(found.frames)) == (512, 512, 1)
    assert (huge.width, huge.height) == (100000, 100000)
    assert [(b.type, b.truncated, b.content_size) for b in header.boxes[2:]] == [
        (b"jxlc", False, len(cs)), (b"Exif", False, 108), (b"jumb", True, 3)]
    assert read_box(fp, header.boxes[3], limit=108) == exif[8:]
    with pytest.raises(ValueError):
        read_box(fp, header.boxes[3], limit=107)


@pytest.mark.parametrize("codestream_first", [True, False])
def test_the_box_walk_stops_after_a_bounded_number_of_boxes(codestream_first):
    # 65,000 empty boxes: a 520 KB file; the walk reads and keeps a few thousand
    many = [box(b"free")] * 65_000
    cs = box(b"jxlc", codestream_header())
    data = container(cs, *many, box(b"xml ", b"<late/>")) if codestream_first else container(*many, cs)
    tracemalloc.start()
    try:
        header, peak = read_header(io.BytesIO(data)), tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20 and len(header.boxes) == 4096
    assert facts.read(data).width == 8  # libjxl's own walk reaches the codestream
