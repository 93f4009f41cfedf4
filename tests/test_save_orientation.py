"""An Exif (or XMP) orientation on save, through every save path: the pixels
are stored as given and the orientation goes into the codestream, the tag
kept, as cjxl does. jxlinfo, exiftool and djxl (which applies the
codestream's orientation) judge; what djxl shows, and what opens again, is
Pillow's exif_transpose of the original."""

import io
import json
import subprocess

import numpy as np
import pytest
from PIL import Image, ImageOps, ImageSequence

import tessara_pillow  # noqa: F401  (registers the format)
from jxltools import cjxl, djxl, jxlinfo, tool, write_pnm
from tessara_pillow import decode_array, encode_array, jxl_info

W, H = 12, 5  # not square, so that quarter turns show
rng = np.random.default_rng(22)


def exif_bytes(value):
    exif = Image.Exif()
    exif[0x013B] = "Ada"
    if value is not None:
        exif[0x0112] = value
    return exif.tobytes()


def sources(how, tmp_path, count):
    if how == "i16":
        return [Image.fromarray(rng.integers(0, 65536, (H, W), dtype=np.uint16))]
    images = [Image.fromarray(rng.integers(0, 256, (H, W, 3), dtype=np.uint8)) for _ in range(count)]
    if how == "profile":
        write_pnm(tmp_path / "p.ppm", np.zeros((2, 2, 3), np.uint8))
        images[0].info["icc_profile"] = jxl_info(cjxl(tmp_path / "p.ppm", tmp_path / "p.jxl", "-d", "0", "-x",
                                                      "color_space=DisplayP3")).icc_profile
    return images


def write(how, images, exif):
    """The file each save path makes of `images` with this Exif."""
    out = io.BytesIO()
    first, *rest = images
    if how == "own_exif":  # a camera photo saved as it comes
        first.info["exif"] = exif
        first.save(out, "JXL", quality=100)
    elif how == "save_all":
        first.save(out, "JXL", save_all=True, append_images=rest, exif=exif, lossless=True, duration=50)
    elif how.startswith("encode_array"):
        frames = np.stack([np.asarray(im) for im in images])
        return encode_array(frames if rest else frames[0], lossless=True, exif=exif,
                            **({"duration": 40} if rest else {}))
    else:
        first.save(out, "JXL", exif=exif, lossless=True)
    return out.getvalue()


@pytest.mark.parametrize("value", range(1, 9))
@pytest.mark.parametrize("how", ["rgb", "own_exif", "i16", "profile", "save_all", "encode_array",
                                 "encode_array_frames"])
def test_stored_as_given_and_shown_upright(tmp_path, how, value):
    images = sources(how, tmp_path, 2 if how in ("save_all", "encode_array_frames") else 1)
    exif = exif_bytes(value)
    (tmp_path / "o.jxl").write_bytes(data := write(how, images, exif))
    expected = []
    for im in images:
        source = im.copy()
        source.info["exif"] = exif
        expected.append(np.asarray(ImageOps.exif_transpose(source)))
    assert jxlinfo(tmp_path / "o.jxl")[1]["orientation"] == value
    found = json.loads(subprocess.run([tool("exiftool"), "-j", "-n", "-IFD0:Orientation", "-Artist",
                                       str(tmp_path / "o.jxl")], capture_output=True, check=True).stdout)[0]
    assert (found.get("Orientation"), found["Artist"]) == (value, "Ada")
    lossy = how == "own_exif"
    with Image.open(djxl(tmp_path / "o.jxl", tmp_path / "djxl.png")) as shown:
        for got, want in zip(ImageSequence.Iterator(shown), expected, strict=True):
            assert np.abs(np.asarray(got).astype(int) - want).mean() <= (6 if lossy else 0)
    with Image.open(tmp_path / "o.jxl") as back:  # upright, with nothing left to turn
        assert back.getexif().get(0x0112, 1) == 1 and back.size == expected[0].shape[1::-1]
        if not lossy:
            np.testing.assert_array_equal(decode_array(data), np.stack(expected) if len(expected) > 1
                                          else expected[0])


@pytest.mark.parametrize("xmp", [b'<x:xmpmeta><rdf:Description tiff:Orientation="8"/></x:xmpmeta>',
                                 b"<x:xmpmeta><tiff:Orientation>8</tiff:Orientation></x:xmpmeta>"])
def test_an_xmp_orientation_counts_where_the_exif_has_none(tmp_path, xmp):
    im = sources("rgb", tmp_path, 1)[0]
    im.info["XML:com.adobe.xmp"] = xmp.decode()  # as Pillow reads it from a PNG
    for exif, value in ((None, 8), (exif_bytes(None), 8), (exif_bytes(1), 1)):  # the Exif's own wins
        im.save(tmp_path / "o.jxl", lossless=True, **({"exif": exif} if exif else {}))
        assert jxlinfo(tmp_path / "o.jxl")[1]["orientation"] == value
        with Image.open(tmp_path / "o.jxl") as back:
            upright = ImageOps.exif_transpose(im) if value == 8 else im
            np.testing.assert_array_equal(np.asarray(back), np.asarray(upright))
