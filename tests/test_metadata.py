"""tessara_pillow.metadata against exiftool's and Pillow's reading of the same
Exif and XMP, in files written by exiftool, cjxl and by hand."""

import io
import json
import re
import struct
import subprocess
import sys
import tracemalloc
from pathlib import Path

import brotli
import pytest
from PIL import Image, ImageOps

from jxltools import SIGNATURE, box, cjxl, codestream_header, fixture_tool, run, tool

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from tessara_pillow.header import read_header  # noqa: E402
from tessara_pillow.metadata import (exif_from_box, exif_to_box, exif_with_orientation_1,  # noqa: E402
                                     metadata_boxes, unwrap_brob, xmp_with_orientation_1)

TAGS = ["-Artist=Ann Example", "-Make=Tessara", "-Orientation=6", "-XMP-dc:Title=hello",
        "-XMP-tiff:Orientation=6"]
CODESTREAM = codestream_header(width=24, height=10)  # enough for the header reader


def exiftool(*args):
    return subprocess.run([tool("exiftool"), *map(str, args)], check=True, capture_output=True).stdout


def exiftool_ifd0(path):
    """IFD0's tags as exiftool reads them, by Exif tag number."""
    found = json.loads(exiftool("-j", "-n", "-G1", "-IFD0:all", path))[0]
    names = {"IFD0:Artist": 0x013B, "IFD0:Make": 0x010F, "IFD0:Orientation": 0x0112}
    return {number: found[name] for name, number in names.items() if name in found}


def pillow_tags(exif):
    tags = Image.Exif()
    tags.load(exif)
    return {tag: tags[tag] for tag in (0x013B, 0x010F, 0x0112) if tag in tags}


@pytest.fixture(scope="module", params=["MM", "II"])
def tagged_png(request, tmp_path_factory):
    png = tmp_path_factory.mktemp("png") / "tagged.png"
    Image.new("RGB", (24, 10), (9, 8, 7)).save(png)
    exiftool("-q", "-overwrite_original", "-n", f"-ExifByteOrder={request.param}", *TAGS, png)
    return png


def read_metadata(path):
    with open(path, "rb") as fp:
        return metadata_boxes(fp, read_header(fp))


@pytest.mark.parametrize("how", ["exiftool into a container", "cjxl, brob boxes", "cjxl, plain boxes"])
def test_metadata_read_back_as_exiftool_wrote_it(tagged_png, tmp_path, how):
    out = tmp_path / "out.jxl"
    if how == "exiftool into a container":
        Image.new("RGB", (24, 10)).save(tmp_path / "plain.png")
        cjxl(tmp_path / "plain.png", out, "-d", "0", "--container=1")
        exiftool("-q", "-overwrite_original", "-n", "-TagsFromFile", tagged_png, "-all:all", out)
        source = out  # exiftool reads its own uncompressed boxes
    else:
        cjxl(tagged_png, out, "-d", "0", f"--compress_boxes={int(how == 'cjxl, brob boxes')}")
        source = tagged_png  # exiftool cannot read brob boxes without a Perl brotli module
    found = read_metadata(out)
    assert found["exif"] == b"Exif\0\0" + exiftool("-b", "-EXIF", source)
    assert found["xmp"] == exiftool("-b", "-XMP", source)
    assert pillow_tags(found["exif"]) == exiftool_ifd0(source)
    kinds = {b.type for b in read_header(io.BytesIO(out.read_bytes())).boxes}
    assert (b"brob" in kinds) == (how == "cjxl, brob boxes")


EXIF = b"Exif\0\0" + b"MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\0\0\0\0"
XMP = b"<x:xmpmeta><tiff:Orientation>6</tiff:Orientation></x:xmpmeta>"


def brob(kind, content):
    return box(b"brob", kind + brotli.compress(content))


def file_with(*boxes, after=()):
    ftyp = box(b"ftyp", b"jxl \0\0\0\0jxl ")
    return SIGNATURE + ftyp + b"".join(boxes) + box(b"jxlc", CODESTREAM) + b"".join(after)


EXIF_BOX, XMP_BOX = box(b"Exif", exif_to_box(EXIF)), box(b"xml ", XMP)
BOMB = box(b"brob", b"xml " + brotli.compress(bytes(80 << 20), quality=2, lgwin=24))


@pytest.mark.parametrize("data, expected", [
    (file_with(EXIF_BOX, XMP_BOX), {"exif": EXIF, "xmp": XMP}),
    (file_with(after=[EXIF_BOX, XMP_BOX]), {"exif": EXIF, "xmp": XMP}),
    (file_with(brob(b"Exif", exif_to_box(EXIF)), after=[brob(b"xml ", XMP)]), {"exif": EXIF, "xmp": XMP}),
    (file_with(box(b"Exif", struct.pack(">I", 6) + EXIF)), {"exif": EXIF}),
    (file_with(box(b"Exif", b"\0\0\0"), box(b"Exif", b"\0\0\0\x50II*\0"), EXIF_BOX), {"exif": EXIF}),
    (file_with(box(b"xml ", b"<first/>"), XMP_BOX), {"xmp": b"<first/>"}),
    (file_with(box(b"brob", b"xml " + brotli.compress(XMP)[:-2]), after=[XMP_BOX]), {"xmp": XMP}),
    (file_with(box(b"brob", b"xml " + b"not brotli"), XMP_BOX), {"xmp": XMP}),
    (file_with(BOMB, XMP_BOX), {"xmp": XMP}),
    (file_with(brob(b"jumb", XMP), brob(b"Ex", b""), box(b"jumb", XMP)), {}),
    (file_with(after=[struct.pack(">I4s", 100, b"xml ") + XMP]), {}),
    (CODESTREAM, {}),
], ids=["before", "after", "brob", "offset", "bad ones first", "first wins", "cut brob",
        "bad brob", "brob bomb", "other types", "truncated", "bare codestream"])
def test_metadata_boxes_found_wherever_they_stand(data, expected):
    fp = io.BytesIO(data)
    tracemalloc.start()
    try:
        found = metadata_boxes(fp, read_header(fp))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert found == expected
    assert peak < 160 << 20  # the 80 MiB bomb is refused at 64 MiB


def test_boxes_written_by_libjxl_before_the_codestream(tmp_path):
    out = tmp_path / "boxes.jxl"
    run(fixture_tool(), out, "uint", "8", "3", "5", "4", "--box", f"Exif={exif_to_box(EXIF).hex()}",
        "--box", f"xml ={XMP.hex()}")
    assert read_metadata(out) == {"exif": EXIF, "xmp": XMP}


@pytest.mark.parametrize("exif", [EXIF, EXIF[6:], b"Exif\0\0" + EXIF])
def test_exif_box_round_trip(exif):
    assert exif_from_box(exif_to_box(exif)) == EXIF


@pytest.mark.parametrize("content", [b"", b"\0\0\0", b"\0\0\0\x04MM\0*", b"\0\0\0\0PNG!", b"\xff" * 8])
def test_malformed_exif_boxes_are_refused(content):
    with pytest.raises(ValueError):
        exif_from_box(content)


def test_brob_content_unwraps_up_to_its_limit():
    assert unwrap_brob(b"xml " + brotli.compress(bytes(5000)), 5000) == (b"xml ", bytes(5000))


@pytest.mark.parametrize("content, limit", [
    (b"xml " + brotli.compress(XMP)[:-2], 1000),  # cut short
    (b"xml " + brotli.compress(XMP) + b"more", 1000),
    (b"xml " + b"\xff" * 40, 1000),
    (b"xm", 1000),
    (b"xml " + brotli.compress(bytes(5000)), 4999),
])
def test_bad_brob_content_is_refused(content, limit):
    with pytest.raises(ValueError):
        unwrap_brob(content, limit)


def orientation_6(png):
    with Image.open(png) as im:
        im.load()
        return im.info["exif"]


def test_exif_orientation_patch_is_two_bytes_both_orders(tagged_png):
    exif = orientation_6(tagged_png)
    patched = exif_with_orientation_1(exif)
    changed = [i for i, (a, b) in enumerate(zip(exif, patched)) if a != b]
    assert len(patched) == len(exif) and 1 <= len(changed) <= 2 and changed[-1] - changed[0] <= 1
    assert pillow_tags(patched) == {**pillow_tags(exif), 0x0112: 1}
    assert pillow_tags(exif)[0x0112] == 6
    for data, size in ((exif, (10, 24)), (patched, (24, 10))):
        im = Image.new("RGB", (24, 10))
        im.info["exif"] = data
        assert ImageOps.exif_transpose(im).size == size


@pytest.mark.parametrize("order", "<>")
def test_orientation_stored_as_long_is_patched(order):
    # some writers store it as a LONG; Pillow reads either
    magic = b"II*\0" if order == "<" else b"MM\0*"
    entries = struct.pack(order + "HHII", 0x0112, 4, 1, 6) + struct.pack(order + "HHI4s", 0x010F, 2, 2, b"A")
    exif = b"Exif\0\0" + magic + struct.pack(order + "IH", 8, 2) + entries + bytes(4)
    patched = exif_with_orientation_1(exif)
    assert (pillow_tags(exif), pillow_tags(patched)) == ({0x0112: 6, 0x010F: "A"}, {0x0112: 1, 0x010F: "A"})
    value = 6 + 8 + 2 + 8  # after the prefix, the TIFF header, the entry count, tag, type and count
    assert patched[:value] + patched[value + 4:] == exif[:value] + exif[value + 4:]


@pytest.mark.parametrize("exif", [
    b"Exif\0\0MM\0*\0\0\0\x08\0\x01\x01\x0f\0\x02\0\0\0\x02A\0\0\0\0\0\0\0",  # no orientation
    b"Exif\0\0MM\0*\0\0\0\x08\0\x05\x01\x12\0\x03",  # IFD cut short
    b"Exif\0\0MM\0*\xff\xff\xff\xff", b"Exif\0\0", b"", b"\0" * 30,
    b"Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x02\0\0\0\x06\0\x01\0",  # two values
])
def test_exif_without_a_patchable_orientation_is_unchanged(exif):
    assert exif_with_orientation_1(exif) == exif


@pytest.mark.parametrize("xmp, pillow_reads_it", [
    ("a <tiff:Orientation>6</tiff:Orientation> b", True),
    ('<rdf:Description tiff:Orientation="6" tiff:Make="x"/>', True),
    ("<rdf:Description tiff:Orientation = '6'/>", False),
    ("<x>no orientation, just a 6</x>", False),
])
def test_xmp_orientation_patch_as_pillow_reads_it(xmp, pillow_reads_it):
    patched = xmp_with_orientation_1(xmp.encode()).decode()
    assert patched == (xmp.replace("6", "1") if "Orientation" in xmp else xmp)
    if pillow_reads_it:
        for data, orientation in ((xmp, 6), (patched, 1)):
            im = Image.new("RGB", (24, 10))
            im.info["XML:com.adobe.xmp"] = data  # Pillow 11.1 reads XMP orientation only from here
            assert im.getexif()[0x0112] == orientation
