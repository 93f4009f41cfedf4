"""tessara_pillow.metadata against exiftool's and Pillow's reading of the same
Exif and XMP, in files written by exiftool, cjxl, libjxl and by hand."""

import io
import json
import random
import struct
import sys
import subprocess
import tracemalloc

import brotli
import pytest
from PIL import Image, ImageOps

from jxltools import SIGNATURE, box, cjxl, codestream_header, fixture_tool, run, tool

from tessara_pillow import metadata
from tessara_pillow.header import read_header
from tessara_pillow.metadata import (exif_from_box, exif_to_box, exif_with_orientation_1,
                                     metadata_boxes, unwrap_brob, xmp_with_orientation_1)

TAGS = {0x013B: "Artist", 0x010F: "Make", 0x0112: "Orientation"}


def exiftool(*args):
    return subprocess.run([tool("exiftool"), *map(str, args)], check=True, capture_output=True).stdout


def pillow_tags(exif):
    tags = Image.Exif()
    tags.load(exif)
    return {tag: tags[tag] for tag in TAGS if tag in tags}


def read_metadata(data):
    fp = io.BytesIO(data)
    return metadata_boxes(fp, read_header(fp))


@pytest.fixture(scope="module", params=["MM", "II"])
def tagged_png(request, tmp_path_factory):
    png = tmp_path_factory.mktemp("png") / "tagged.png"
    Image.new("RGB", (24, 10)).save(png)
    exiftool("-q", "-overwrite_original", "-n", f"-ExifByteOrder={request.param}", "-Artist=Ann Example",
             "-Make=Tessara", "-Orientation=6", "-XMP-dc:Title=hello", "-XMP-tiff:Orientation=6", png)
    return png


@pytest.mark.parametrize("how", ["exiftool into a container", "cjxl, brob boxes", "cjxl, plain boxes"])
def test_metadata_read_back_as_exiftool_wrote_it(tagged_png, tmp_path, how):
    out = tmp_path / "out.jxl"
    if how.startswith("exiftool"):
        Image.new("RGB", (24, 10)).save(tmp_path / "plain.png")
        cjxl(tmp_path / "plain.png", out, "-d", "0", "--container=1")
        exiftool("-q", "-overwrite_original", "-TagsFromFile", tagged_png, "-all:all", out)
        source = out  # exiftool reads the boxes it wrote after the codestream
    else:
        cjxl(tagged_png, out, "-d", "0", f"--compress_boxes={int('brob' in how)}")
        source = tagged_png  # exiftool cannot read brob boxes without a Perl brotli module
    found = read_metadata(out.read_bytes())
    assert found["exif"] == b"Exif\0\0" + exiftool("-b", "-EXIF", source)
    assert found["xmp"] == exiftool("-b", "-XMP", source)
    by_exiftool = json.loads(exiftool("-j", "-n", "-IFD0:all", source))[0]
    assert pillow_tags(found["exif"]) == {tag: by_exiftool[name] for tag, name in TAGS.items()}
    assert (b"brob" in {b.type for b in read_header(io.BytesIO(out.read_bytes())).boxes}) == ("brob" in how)


EXIF = b"Exif\0\0MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"
XMP = b"<x:xmpmeta><tiff:Orientation>6</tiff:Orientation></x:xmpmeta>"
EXIF_BOX, XMP_BOX = box(b"Exif", exif_to_box(EXIF)), box(b"xml ", XMP)
OTHER_EXIF = EXIF.replace(b"\0\x06\0\0", b"\0\x03\0\0")  # orientation 3


def brob(kind, content, **options):
    return box(b"brob", kind + brotli.compress(content, **options))


def file_with(*before, after=()):
    cs = box(b"jxlc", codestream_header(width=24, height=10))
    return SIGNATURE + box(b"ftyp", b"jxl \0\0\0\0jxl ") + b"".join(before) + cs + b"".join(after)


def two_stage_bomb(size):
    """Brotli data whose first meta-block is small and whose next one inflates."""
    compressor = brotli.Compressor(quality=11, lgwin=24)
    return compressor.process(b"<x/>") + compressor.flush() + compressor.process(bytes(size)) + compressor.finish()


BUDGET = metadata.MAX_METADATA_BYTES
BIG_XMP = b"<x>" + bytes(BUDGET - 9) + b"</x>"  # just within the budget


@pytest.mark.parametrize("data, expected", [
    (file_with(EXIF_BOX, XMP_BOX), {"exif": EXIF, "xmp": XMP}),
    (file_with(after=[EXIF_BOX, XMP_BOX]), {"exif": EXIF, "xmp": XMP}),
    (file_with(brob(b"Exif", exif_to_box(EXIF)), after=[brob(b"xml ", XMP)]), {"exif": EXIF, "xmp": XMP}),
    (file_with(box(b"Exif", struct.pack(">I", 6) + EXIF)), {"exif": EXIF}),
    # the last box of a kind decides it, read or not; the other kind goes on
    (file_with(EXIF_BOX, XMP_BOX, box(b"Exif", b"\0\0\0\x50II*\0")), {"xmp": XMP}),
    (file_with(XMP_BOX, after=[box(b"xml ", b"<appended/>")]), {"xmp": b"<appended/>"}),
    (file_with(brob(b"Exif", exif_to_box(OTHER_EXIF)), XMP_BOX, after=[EXIF_BOX]), {"exif": EXIF, "xmp": XMP}),
    (file_with(XMP_BOX, EXIF_BOX, box(b"brob", b"xml " + brotli.compress(XMP)[:-2])), {"exif": EXIF}),
    (file_with(XMP_BOX, brob(b"xml ", bytes(80 << 20), quality=2, lgwin=24)), {}),
    (file_with(EXIF_BOX, XMP_BOX, *[box(b"brob", b"Exif" + two_stage_bomb(64 << 20))] * 200), {"xmp": XMP}),
    (file_with(EXIF_BOX, XMP_BOX, *[box(b"xml ", bytes(BUDGET + 1))] * 3), {"exif": EXIF}),
    # one budget for the file, spent in the order the boxes stand
    (file_with(brob(b"xml ", BIG_XMP), brob(b"Exif", exif_to_box(EXIF))), {"xmp": BIG_XMP}),
    (file_with(EXIF_BOX, box(b"xml ", BIG_XMP), after=[EXIF_BOX]), {"xmp": BIG_XMP}),
    (file_with(brob(b"jumb", XMP), brob(b"Ex", b""), box(b"brob", b""), box(b"jumb", XMP)), {}),
    (file_with(after=[struct.pack(">I4s", 100, b"xml ") + XMP]), {}),
    (codestream_header(), {}),
], ids=["before", "after", "brob", "offset", "bad one last", "appended wins", "plain after brob", "cut brob",
        "brob bomb", "many bombs", "many large plain", "budget brob", "budget plain", "other types", "truncated",
        "bare codestream"])
def test_metadata_boxes_found_wherever_they_stand(data, expected, monkeypatch):
    decompressed = []
    real = metadata.unbrotli.decompress
    monkeypatch.setattr(metadata.unbrotli, "decompress", lambda d, limit: decompressed.append(1) or real(d, limit))
    tracemalloc.start()
    try:
        found, peak = read_metadata(data), tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert found == expected
    # At most one box of each kind is read (the last), the whole file within
    # the budget (and a copy of what it keeps): a bomb is refused at its budget.
    assert len(decompressed) <= 2 and peak < 2 * BUDGET + (1 << 20)


@pytest.fixture(params=["libbrotlidec", "brotli module"])
def brotli_decoder(request, monkeypatch):
    """Brob boxes through libbrotlidec, or through the brotli module where it is not a shared library."""
    if request.param == "brotli module":
        monkeypatch.setattr(metadata.unbrotli, "_library", lambda: None)


def test_brob_without_a_brotli_decoder_is_passed_over(monkeypatch):
    monkeypatch.setattr(metadata.unbrotli, "_library", lambda: None)
    monkeypatch.setitem(sys.modules, "brotli", None)
    with pytest.raises(ImportError, match="libbrotlidec"):
        unwrap_brob(b"xml " + brotli.compress(XMP))
    assert read_metadata(file_with(brob(b"xml ", XMP), EXIF_BOX)) == {"exif": EXIF}


def test_boxes_libjxl_writes_before_the_codestream(tmp_path):
    exif, xmp = f"Exif={exif_to_box(EXIF).hex()}", f"xml ={XMP.hex()}"
    run(fixture_tool(), tmp_path / "b.jxl", "uint", "8", "3", "5", "4", "--box", exif, "--box", xmp)
    assert read_metadata((tmp_path / "b.jxl").read_bytes()) == {"exif": EXIF, "xmp": XMP}


@pytest.mark.parametrize("content", [b"", b"\0\0\0", b"\0\0\0\x04MM\0*", b"\0\0\0\0PNG!", b"\xff" * 8])
def test_exif_box_round_trip_and_refusals(content):
    for exif in (EXIF, EXIF[6:], b"Exif\0\0" + EXIF):
        assert exif_from_box(exif_to_box(exif)) == EXIF
    with pytest.raises(ValueError):
        exif_from_box(content)


@pytest.mark.parametrize("content, limit", [
    (b"xml " + brotli.compress(XMP)[:-2], 1000), (b"xml " + brotli.compress(XMP) + b"more", 1000),
    (b"xml " + b"\xff" * 40, 1000), (b"xm", 1000), (b"xml " + brotli.compress(bytes(5000)), 4999),
    (b"xml " + two_stage_bomb(5000), 4999), (b"xml " + brotli.compress(bytes(5000), lgwin=10), 4999),
])
def test_brob_refused_when_bad_or_beyond_its_limit(content, limit, brotli_decoder):
    with pytest.raises(ValueError):
        unwrap_brob(content, limit)


@pytest.mark.parametrize("compressed", [
    *(brotli.compress(data, quality=5) for data in (b"", XMP, bytes(5000), random.Random(3).randbytes(300_000))),
    two_stage_bomb(70_000),
], ids=["empty", "XMP", "zeros", "random", "two meta-blocks"])
def test_brob_unwraps_as_brotli_decompresses(compressed, brotli_decoder):
    expected = brotli.decompress(compressed)
    assert unwrap_brob(b"xml " + compressed, len(expected)) == (b"xml ", expected)


def test_exif_orientation_patched_in_place(tagged_png):
    with Image.open(tagged_png) as im:
        im.load()
        exif = im.info["exif"]
    patched = exif_with_orientation_1(exif)
    changed = [i for i, (a, b) in enumerate(zip(exif, patched)) if a != b]
    assert len(patched) == len(exif) and changed and changed[-1] - changed[0] <= 1
    assert pillow_tags(exif)[0x0112] == 6 and pillow_tags(patched) == {**pillow_tags(exif), 0x0112: 1}
    for data, size in ((exif, (10, 24)), (patched, (24, 10))):
        im = Image.new("RGB", (24, 10))
        im.info["exif"] = data
        assert ImageOps.exif_transpose(im).size == size


@pytest.mark.parametrize("exif", [
    EXIF.replace(b"\x01\x12", b"\x01\x0f"), EXIF[:-10], EXIF.replace(b"\0\x03\0\0\0\x01", b"\0\x05\0\0\0\x01"),
    b"Exif\0\0MM\0*\xff\xff\xff\xff", b"\0" * 30,
], ids=["no orientation", "cut short", "a RATIONAL", "bad IFD offset", "not TIFF"])
def test_exif_without_a_patchable_orientation_is_unchanged(exif):
    assert exif_with_orientation_1(exif) == exif


def exif_of(order, entries):
    """Pillow-form Exif whose IFD0 holds entries (tag, type, values, count);
    values that take more than 4 bytes stand after the directory."""
    end = "<" if order == "II" else ">"
    sizes = {1: "B", 3: "H", 4: "I", 6: "b", 8: "h", 9: "i"}
    directory, extra = b"", b""
    after = 8 + 2 + 12 * len(entries) + 4
    for tag, kind, values, count in entries:
        data = struct.pack(f"{end}{count}{sizes[kind]}", *[values] * count)
        if len(data) > 4:
            directory += struct.pack(end + "HHII", tag, kind, count, after + len(extra))
            extra += data
        else:
            directory += struct.pack(end + "HHI", tag, kind, count) + data.ljust(4, b"\0")
    head = order.encode() + struct.pack(end + "HI", 42, 8) + struct.pack(end + "H", len(entries))
    return b"Exif\0\0" + head + directory + bytes(4) + extra


ORIENTATION, ARTIST = 0x0112, 0x013B


@pytest.mark.filterwarnings("ignore:Metadata Warning, tag 274 had too many entries")
@pytest.mark.parametrize("order", ["II", "MM"])
@pytest.mark.parametrize("entries", [
    [(ORIENTATION, kind, 6, 1)] for kind in (1, 3, 4, 6, 8, 9)
] + [
    [(ORIENTATION, 3, 6, 1), (ORIENTATION, 4, 8, 1)],  # a second entry
    [(ORIENTATION, 3, 6, 2)],  # two values, in the entry
    [(ORIENTATION, 4, 6, 3)],  # three values, at an offset
], ids=["BYTE", "SHORT", "LONG", "SBYTE", "SSHORT", "SLONG", "two entries", "two values", "values elsewhere"])
def test_every_orientation_of_ifd0_is_set_to_1(tmp_path, order, entries):
    others = [(ARTIST, 3, 7, 1)]
    patched = exif_with_orientation_1(exif_of(order, [*entries, *others]))
    assert patched == exif_of(order, [(tag, kind, 1, count) for tag, kind, _, count in entries] + others)
    (tmp_path / "a.exif").write_bytes(patched[6:])
    found = json.loads(exiftool("-j", "-a", "-n", "-G1", "-IFD0:all", tmp_path / "a.exif"))[0]
    orientations = [v for k, v in found.items() if k.split(":")[-1].startswith("Orientation")]
    assert orientations and all(v in (1, "1 1", "1 1 1") for v in orientations), found
    im = Image.new("RGB", (24, 10))
    im.info["exif"] = patched
    assert ImageOps.exif_transpose(im).size == (24, 10)  # nothing left to turn


@pytest.mark.parametrize("xmp, pillow_reads_it", [
    ("a <tiff:Orientation>6</tiff:Orientation> b", True),
    ('<rdf:Description tiff:Orientation="6" tiff:Make="x"/>', True),
    ("<rdf:Description tiff:Orientation = '6'/>", False), ("<x>no orientation, just a 6</x>", False),
])
def test_xmp_orientation_patched_as_pillow_reads_it(xmp, pillow_reads_it):
    patched = xmp_with_orientation_1(xmp.encode()).decode()
    assert patched == (xmp.replace("6", "1") if "Orientation" in xmp else xmp)
    for data, orientation in ((xmp, 6), (patched, 1)) if pillow_reads_it else ():
        im = Image.new("RGB", (24, 10))
        im.info["XML:com.adobe.xmp"] = data  # Pillow 11.1 reads XMP orientation only from here
        assert im.getexif()[0x0112] == orientation
