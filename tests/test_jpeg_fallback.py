"""A JPEG XL file made from a JPEG whose metadata exiftool changed since:
libjxl can no longer rebuild the JPEG, but the file still opens (the pixels,
as djxl's PNG has them), jxl_to_jpeg says why it cannot give the JPEG, and
tessara-convert refuses to go back to JPEG unless asked to re-encode."""

import io

import numpy as np
import pytest
from PIL import Image, ImageOps

from jxltools import cjxl, djxl, run, tool
from tessara_pillow import JxlImageFile, jxl_to_jpeg
from tessara_pillow.convert import main
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
