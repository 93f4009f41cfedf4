"""A JPEG XL file made from a JPEG whose metadata exiftool changed since:
libjxl can no longer rebuild the JPEG (or would rebuild it without the
change), but the file still opens (the pixels, as djxl's PNG has them, and
the current metadata), jxl_to_jpeg says why it cannot give the JPEG, and
tessara-convert refuses to go back to JPEG unless asked to re-encode."""

import io
import subprocess

import numpy as np
import pytest
from PIL import Image, ImageOps

from jxltools import box, cjxl, djxl, run, tool
from tessara_pillow import JxlImageFile, jxl_to_jpeg
from tessara_pillow.convert import main
from tessara_pillow.metadata import exif_to_box
from tessara_pillow.transcode import JpegNotRebuilt


def edited_transcode(tmp_path, mode="RGB", orientation=1):
    """a.jxl: a JPEG with Exif, transcoded by cjxl, then edited by exiftool."""
    y, x = np.mgrid[0:40, 0:56]
    picture = Image.fromarray(((x * 4 + y * 3) % 256).astype(np.uint8)).convert(mode)
    exif = Image.Exif()
    exif[0x010F] = "Cam"
    if orientation != 1:
        exif[0x0112] = orientation
    picture.save(tmp_path / "a.jpg", exif=exif.tobytes(), quality=90)
    cjxl(tmp_path / "a.jpg", tmp_path / "a.jxl", "--lossless_jpeg=1")
    run(tool("exiftool"), "-q", "-overwrite_original", "-Artist=someone", tmp_path / "a.jxl")
    return tmp_path / "a.jxl"


@pytest.mark.parametrize("mode, orientation", [("RGB", 1), ("L", 1), ("RGB", 6), ("RGB", 2)])
def test_the_pixels_open_when_the_jpeg_cannot_be_rebuilt(tmp_path, mode, orientation):
    path = edited_transcode(tmp_path, mode, orientation)
    with Image.open(djxl(path, tmp_path / "djxl.png")) as reference:  # djxl orients
        expected = np.asarray(reference)
    with Image.open(path) as im:
        assert isinstance(im, JxlImageFile) and im.jpeg_reconstruction
        im.load()
        assert im.mode == mode
        assert im.getexif()[0x013B] == "someone" and im.getexif()[0x010F] == "Cam"
        # As a JPEG would open: stored as is, the Exif orientation still to apply.
        assert im.getexif().get(0x0112, 1) == orientation
        upright = ImageOps.exif_transpose(im)
        assert np.array_equal(np.asarray(upright), expected)
        assert im.info["icc_profile"]  # the profile the pixels are in


def test_jxl_to_jpeg_says_the_jpeg_cannot_be_rebuilt(tmp_path):
    data = edited_transcode(tmp_path).read_bytes()
    with pytest.raises(JpegNotRebuilt, match="cannot be rebuilt.*metadata") as caught:
        jxl_to_jpeg(data)
    assert isinstance(caught.value, ValueError)
    # A damaged file is not reported as an edited one.
    with pytest.raises(ValueError, match="cannot rebuild the JPEG file: the file is truncated") as damaged:
        jxl_to_jpeg(data[: len(data) * 2 // 3])
    assert not isinstance(damaged.value, JpegNotRebuilt)


def test_the_converter_refuses_to_go_back_to_jpeg_and_names_the_ways_out(tmp_path, capsys):
    path = edited_transcode(tmp_path)
    (tmp_path / "a.jpg").unlink()
    assert main([str(path)]) == 1
    out, err = capsys.readouterr()
    lines = [line for line in err.splitlines() if "a.jxl" in line]
    assert len(lines) == 1 and "cannot be rebuilt" in lines[0] and "--quality" in lines[0]
    assert "1 failed" in err
    assert not (tmp_path / "a.jpg").exists()

    assert main([str(path), "--to", "png"]) == 0
    with Image.open(tmp_path / "a.png") as png, Image.open(djxl(path, tmp_path / "djxl.png")) as reference:
        assert np.array_equal(np.asarray(png), np.asarray(reference))

    assert main([str(path), "--to", "jpeg", "--quality", "95"]) == 0
    with Image.open(tmp_path / "a.jpg") as jpeg, Image.open(tmp_path / "a.png") as png:
        assert jpeg.format == "JPEG" and jpeg.getexif()[0x013B] == "someone"
        assert np.abs(np.asarray(jpeg).astype(int) - np.asarray(png)).mean() < 2
    capsys.readouterr()


def test_a_damaged_transcode_still_fails_to_open(tmp_path):
    data = edited_transcode(tmp_path).read_bytes()
    with Image.open(io.BytesIO(data[: len(data) * 2 // 3])) as im, pytest.raises(OSError, match="truncated"):
        im.load()


def exif_of(artist):
    exif = Image.Exif()
    exif[0x010F] = "Cam"
    exif[0x013B] = artist
    return exif.tobytes()


def xmp_of(title):
    return (f'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
            f'<rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/" dc:format="{title}"/>'
            f'</rdf:RDF></x:xmpmeta>').encode()


# What an exiftool that cannot read brotli-compressed boxes (Debian 12's
# 12.57) does when it sets a tag: it appends a plain box after the brob one.
# (metadata of the JPEG, box appended to its cjxl transcode, what opens)
APPENDED = {
    "edited Exif after a brob one": ({"exif": exif_of("Ada")}, box(b"Exif", exif_to_box(exif_of("Bob"))),
                                     ("exif", "Bob")),
    "Exif added where there was none": ({}, box(b"Exif", exif_to_box(exif_of("Bob"))), ("exif", "Bob")),
    "edited XMP after a brob one": ({"xmp": xmp_of("first")}, box(b"xml ", xmp_of("second")), ("xmp", "second")),
}


def appended_transcode(tmp_path, jpeg_metadata, appended):
    y, x = np.mgrid[0:32, 0:48]
    Image.fromarray(((x * 5 + y * 3) % 256).astype(np.uint8)).convert("RGB").save(
        tmp_path / "a.jpg", quality=90, **jpeg_metadata)
    cjxl(tmp_path / "a.jpg", tmp_path / "a.jxl", "--lossless_jpeg=1", "--compress_boxes=1")
    path = tmp_path / "a.jxl"
    path.write_bytes(path.read_bytes() + appended)
    return path


@pytest.mark.parametrize("case", APPENDED)
def test_an_appended_metadata_box_is_what_opens_and_is_never_dropped(tmp_path, capsys, case):
    jpeg_metadata, appended, (key, value) = APPENDED[case]
    path = appended_transcode(tmp_path, jpeg_metadata, appended)
    with Image.open(path) as im:
        current = im.getexif().get(0x013B) if key == "exif" else im.info["xmp"]
        assert value in (current if isinstance(current, str) else current.decode())
    with pytest.raises(JpegNotRebuilt, match="current (Exif|XMP)"):
        jxl_to_jpeg(path.read_bytes())
    # libjxl itself rebuilds the JPEG without the change: the refusal is ours
    assert djxl(path, tmp_path / "djxl.jpg").read_bytes() == (tmp_path / "a.jpg").read_bytes()

    (tmp_path / "a.jpg").unlink()
    assert main([str(path)]) == 1
    err = capsys.readouterr()[1]
    line, = [line for line in err.splitlines() if "a.jxl" in line]
    assert "--quality" in line and "--to png" in line and not (tmp_path / "a.jpg").exists()
    assert main([str(path), "--to", "png"]) == 0
    found = subprocess.run([tool("exiftool"), "-s3", "-Artist" if key == "exif" else "-XMP-dc:Format",
                            tmp_path / "a.png"], capture_output=True, text=True, check=True).stdout
    assert found.strip() == value  # exiftool finds the edit in the PNG
    capsys.readouterr()


@pytest.mark.parametrize("appended", [box(b"Exif", exif_to_box(exif_of("Ada"))), b""], ids=["the same Exif", "none"])
def test_a_transcode_whose_metadata_is_current_is_rebuilt(tmp_path, appended):
    path = appended_transcode(tmp_path, {"exif": exif_of("Ada"), "xmp": xmp_of("first")}, appended)
    assert jxl_to_jpeg(path.read_bytes()) == (tmp_path / "a.jpg").read_bytes()
