"""An Exif (or XMP) orientation on save, through every save path: the pixels
are stored as given and the orientation goes into the codestream, with the
tag kept, as cjxl does. djxl (which applies the codestream's orientation),
jxlinfo and exiftool judge; what they show must be Pillow's exif_transpose
of the original."""

import io
import json
import subprocess

import numpy as np
import pytest
from PIL import Image, ImageOps, ImageSequence

import tessara_pillow  # noqa: F401  (registers the format)
from jxltools import cjxl, djxl, jxlinfo, tool, write_pnm
from tessara_pillow import decode_array, encode_array, jxl_info
from tessara_pillow.metadata import exif_to_box, orientation

W, H = 12, 5  # not square, so that turns by a quarter show
rng = np.random.default_rng(22)


def exif_bytes(value, artist="Ada"):
    exif = Image.Exif()
    exif[0x013B] = artist
    if value is not None:
        exif[0x0112] = value
    return exif.tobytes()


def display_p3(tmp_path):
    write_pnm(tmp_path / "p.ppm", np.zeros((2, 2, 3), np.uint8))
    return jxl_info(cjxl(tmp_path / "p.ppm", tmp_path / "p.jxl", "-d", "0", "-x",
                         "color_space=RGB_D65_DCI_Rel_SRG")).icc_profile


def still(path_kind, tmp_path):
    """An image that goes through one of the still save's paths."""
    if path_kind == "i16":
        return Image.fromarray(rng.integers(0, 65536, (H, W), dtype=np.uint16))
    im = Image.fromarray(rng.integers(0, 256, (H, W, 4 if path_kind == "rgba" else 3), dtype=np.uint8))
    if path_kind == "profile":
        im.info["icc_profile"] = display_p3(tmp_path)
    return im


def upright(im, exif):
    source = im.copy()
    source.info["exif"] = exif
    return np.asarray(ImageOps.exif_transpose(source))


def exiftool_orientation(path):
    out = subprocess.run([tool("exiftool"), "-j", "-n", "-IFD0:Orientation", "-Artist", str(path)],
                         capture_output=True, text=True, check=True).stdout
    found = json.loads(out)[0]
    return found.get("Orientation"), found.get("Artist")


def judge(path, value, expected_frames, tmp_path):
    """djxl shows the frames upright; jxlinfo reports the orientation in the
    codestream; exiftool reads the Exif as it was given."""
    assert jxlinfo(path)[1]["orientation"] == value
    assert exiftool_orientation(path) == (value, "Ada")
    with Image.open(djxl(path, tmp_path / "djxl.png")) as shown:
        frames = [np.asarray(f.copy()) for f in ImageSequence.Iterator(shown)]
    assert len(frames) == len(expected_frames)
    for got, want in zip(frames, expected_frames, strict=True):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("value", range(1, 9))
@pytest.mark.parametrize("path_kind", ["rgb", "rgba", "i16", "profile"])
def test_a_still_is_stored_as_given_and_shown_upright(tmp_path, path_kind, value):
    im = still(path_kind, tmp_path)
    exif = exif_bytes(value)
    im.save(tmp_path / "o.jxl", exif=exif, lossless=True)
    want = upright(im, exif)
    judge(tmp_path / "o.jxl", value, [want], tmp_path)
    with Image.open(tmp_path / "o.jxl") as back:  # reopened: upright, nothing left to turn
        assert back.getexif().get(0x0112, 1) == 1
        np.testing.assert_array_equal(np.asarray(ImageOps.exif_transpose(back)), want)


@pytest.mark.parametrize("value", [3, 6])
def test_the_image_s_own_exif_orientation_is_used_and_lossy_too(tmp_path, value):
    im = still("rgb", tmp_path).resize((48, 20))
    im.info["exif"] = exif_bytes(value)
    im.save(tmp_path / "o.jxl", quality=95)
    assert jxlinfo(tmp_path / "o.jxl")[1]["orientation"] == value
    with Image.open(tmp_path / "o.jxl") as back:
        want = np.asarray(ImageOps.exif_transpose(im)).astype(int)
        assert back.size == (want.shape[1], want.shape[0])
        assert np.abs(np.asarray(back).astype(int) - want).mean() < 4


@pytest.mark.parametrize("xmp", [b'<x:xmpmeta><rdf:Description tiff:Orientation="8"/></x:xmpmeta>',
                                 b"<x:xmpmeta><tiff:Orientation>8</tiff:Orientation></x:xmpmeta>"])
def test_an_xmp_orientation_counts_where_the_exif_has_none(tmp_path, xmp):
    im = still("rgb", tmp_path)
    im.info["XML:com.adobe.xmp"] = xmp.decode()  # as Pillow reads it from a PNG
    im.save(tmp_path / "o.jxl", exif=exif_bytes(None), lossless=True)
    assert jxlinfo(tmp_path / "o.jxl")[1]["orientation"] == 8
    with Image.open(tmp_path / "o.jxl") as back:
        np.testing.assert_array_equal(np.asarray(back), np.asarray(ImageOps.exif_transpose(im)))
    im.save(tmp_path / "e.jxl", exif=exif_bytes(1), lossless=True)  # the Exif's 1 wins, as for Pillow
    assert jxlinfo(tmp_path / "e.jxl")[1]["orientation"] == 1


def frames(count=3):
    return [Image.fromarray(rng.integers(0, 256, (H, W, 3), dtype=np.uint8)) for _ in range(count)]


@pytest.mark.parametrize("value", range(1, 9))
def test_an_animation_is_stored_as_given_and_every_frame_shown_upright(tmp_path, value):
    first, *rest = frames()
    exif = exif_bytes(value)
    first.save(tmp_path / "a.jxl", save_all=True, append_images=rest, exif=exif, lossless=True, duration=50)
    judge(tmp_path / "a.jxl", value, [upright(f, exif) for f in (first, *rest)], tmp_path)
    with Image.open(tmp_path / "a.jxl") as back:
        assert back.n_frames == 3
        for f, source in zip(ImageSequence.Iterator(back), (first, *rest), strict=True):
            np.testing.assert_array_equal(np.asarray(f), upright(source, exif))


@pytest.mark.parametrize("value", range(1, 9))
@pytest.mark.parametrize("animated", [False, True])
def test_encode_array_with_exif_stores_the_orientation(tmp_path, value, animated):
    images = frames(2 if animated else 1)
    stack = np.stack([np.asarray(f) for f in images]) if animated else np.asarray(images[0])
    exif = exif_bytes(value)
    data = encode_array(stack, lossless=True, exif=exif, **({"duration": 40} if animated else {}))
    (tmp_path / "e.jxl").write_bytes(data)
    expected = [upright(f, exif) for f in images]
    judge(tmp_path / "e.jxl", value, expected, tmp_path)
    assert jxl_info(data).orientation == value
    np.testing.assert_array_equal(decode_array(data), np.stack(expected) if animated else expected[0])


def test_a_wrong_orientation_argument_is_refused():
    from tessara_pillow import _native

    samples = bytes(W * H * 3)
    for bad in (0, 9, -1):
        with pytest.raises(ValueError, match="orientation must be 1 to 8"):
            _native.encode(samples, W, H, 3, "uint8", 0, True, 90.0, 7, 0, None, None, None, 0, False, False, bad)
        with pytest.raises(ValueError, match="orientation must be 1 to 8"):
            _native.AnimationEncoder(W, H, 3, "uint8", 0, True, 90.0, 7, 0, 1000, 1, 0, False, None, False, 0, bad)


def tiff(order, entries):
    """A TIFF header and IFD0 of (tag, type, count, value bytes) entries."""
    body = bytearray(b"II*\0" if order == "<" else b"MM\0*")
    body += (8).to_bytes(4, "little" if order == "<" else "big")
    end = "little" if order == "<" else "big"
    body += len(entries).to_bytes(2, end)
    for tag, kind, count, value in entries:
        body += tag.to_bytes(2, end) + kind.to_bytes(2, end) + count.to_bytes(4, end) + value.ljust(4, b"\0")
    return bytes(body + bytes(4))


@pytest.mark.parametrize("exif, xmp, expected", [
    (tiff("<", [(0x0112, 3, 1, (6).to_bytes(2, "little"))]), None, 6),
    (tiff(">", [(0x0112, 3, 1, (8).to_bytes(2, "big"))]), None, 8),
    (tiff("<", [(0x0112, 4, 1, (5).to_bytes(4, "little"))]), None, 5),  # LONG, as Pillow reads it too
    (tiff("<", [(0x0112, 3, 2, b"\x06\0\x06\0")]), None, 1),  # two values: no orientation
    (tiff("<", [(0x0112, 3, 1, (9).to_bytes(2, "little"))]), b'tiff:Orientation="6"', 1),  # the Exif's entry rules
    (tiff("<", [(0x013B, 2, 4, b"Ada\0")]), b'tiff:Orientation="6"', 6),
    (None, b"<tiff:Orientation>3</tiff:Orientation>", 3),
    (b"II*\0\xff\xff", b'tiff:Orientation="7"', 7),  # unreadable Exif
    (None, b'tiff:Orientation="0"', 1),
    (None, None, 1),
])
def test_the_orientation_the_metadata_gives(exif, xmp, expected):
    assert orientation(exif_to_box(exif) if exif else None, xmp) == expected


def test_the_plug_in_and_exiftool_agree_on_what_the_metadata_says(tmp_path):
    """exiftool edits the Exif orientation of a PNG; the plug-in reads the
    same value from it on save."""
    Image.fromarray(rng.integers(0, 256, (H, W, 3), dtype=np.uint8)).save(tmp_path / "in.png", exif=exif_bytes(1))
    subprocess.run([tool("exiftool"), "-q", "-overwrite_original", "-n", "-Orientation=7", str(tmp_path / "in.png")],
                   check=True)
    with Image.open(tmp_path / "in.png") as im:
        im.save(tmp_path / "o.jxl", lossless=True)
        want = np.asarray(ImageOps.exif_transpose(im))
    assert jxlinfo(tmp_path / "o.jxl")[1]["orientation"] == 7
    with Image.open(djxl(tmp_path / "o.jxl", tmp_path / "o.png")) as shown:
        np.testing.assert_array_equal(np.asarray(shown), want)
    saved = io.BytesIO()
    with Image.open(tmp_path / "o.jxl") as back:  # saved again: upright, orientation 1
        back.save(saved, "JXL", lossless=True)
    (tmp_path / "again.jxl").write_bytes(saved.getvalue())
    assert jxlinfo(tmp_path / "again.jxl")[1]["orientation"] == 1
    with Image.open(tmp_path / "again.jxl") as again:
        np.testing.assert_array_equal(np.asarray(again), want)
