"""Saving through Pillow: every mode lands as the pixels djxl reads back,
options and refusals, metadata both ways with exiftool as the judge, and
colours that survive a profile other than sRGB."""

import io
import json
import subprocess

import numpy as np
import pytest
from PIL import Image, ImageCms

import tessara_pillow  # noqa: F401  (registers the format)
from jxltools import djxl, read_pfm, read_pnm, tool

rng = np.random.default_rng(5)


def noise(mode, size=(13, 7)):
    if mode in ("I;16", "I;16B", "I;16L", "I", "F"):
        top = {"F": 1.0, "I": 90000}.get(mode, 65535)
        values = rng.random(size[0] * size[1]) * top
        if mode == "I":
            values -= 10000  # some below 0 and above 65535
        im = Image.new(mode, size)
        im.putdata([float(v) if mode == "F" else int(v) for v in values])
        return im
    if mode in ("La", "RGBa"):
        return noise(mode.upper(), size).convert(mode)
    if mode in ("1", "P", "PA"):
        base = Image.fromarray(rng.integers(0, 256, size=(size[1], size[0], 4), dtype=np.uint8), "RGBA")
        return base.convert(mode) if mode != "P" else base.convert("RGB").quantize(16)
    bands = len(Image.new(mode, (1, 1)).getbands())
    shape = (size[1], size[0], bands) if bands > 1 else (size[1], size[0])
    return Image.fromarray(rng.integers(0, 256, size=shape, dtype=np.uint8), mode)


def saved(im, **options):
    buffer = io.BytesIO()
    im.save(buffer, "JXL", **options)
    return buffer.getvalue()


@pytest.mark.parametrize(
    "mode, stored, expected",
    [
        ("L", "pgm", lambda im: im),
        ("LA", "pam", lambda im: im),
        ("RGB", "ppm", lambda im: im),
        ("RGBA", "pam", lambda im: im),
        ("I;16", "pgm", lambda im: im),
        ("F", "pfm", lambda im: im),
        ("1", "pgm", lambda im: im.convert("L")),
        ("P", "ppm", lambda im: im.convert("RGB")),
        ("PA", "pam", lambda im: im.convert("RGBA")),
        ("La", "pam", lambda im: im.convert("LA")),
        ("RGBa", "pam", lambda im: im.convert("RGBA")),
        ("I", "pgm", lambda im: im.convert("I;16")),  # limited to 0..65535
        ("I;16B", "pgm", lambda im: Image.fromarray(np.asarray(im).astype("<u2"))),
        ("CMYK", "ppm", lambda im: im.convert("RGB")),
        ("YCbCr", "ppm", lambda im: im.convert("RGB")),
        ("HSV", "ppm", lambda im: im.convert("RGB")),
    ],
)
def test_every_mode_saves_losslessly_as_djxl_reads_it(tmp_path, mode, stored, expected):
    im = noise(mode)
    path = tmp_path / "out.jxl"
    im.save(path, lossless=True)
    out = djxl(path, tmp_path / f"ref.{stored}")
    ref = read_pfm(out) if stored == "pfm" else read_pnm(out)
    want = np.asarray(expected(im))
    np.testing.assert_array_equal(ref.reshape(want.shape), want)


def test_defaults_are_quality_90_effort_7(tmp_path):
    im = noise("RGB", (64, 48))
    data = saved(im)
    assert data == saved(im, quality=90, effort=7, lossless=False, decoding_speed=0)
    assert data != saved(im, quality=50) and data != saved(im, effort=3)
    back = np.asarray(Image.open(io.BytesIO(data))).astype(int)
    assert np.abs(back - np.asarray(im).astype(int)).mean() < 40  # lossy, but the same picture


@pytest.mark.parametrize(
    "options, error",
    [
        ({"quality": 101}, ValueError),
        ({"quality": float("nan")}, ValueError),
        ({"effort": 0}, ValueError),
        ({"effort": 11}, ValueError),
        ({"decoding_speed": 5}, ValueError),
        ({"exif": 5}, TypeError),
        ({"xmp": 5}, TypeError),
    ],
)
def test_bad_options_are_refused(options, error):
    with pytest.raises(error):
        saved(noise("L"), **options)


def test_unsupported_modes_are_refused_and_several_frames_animate():
    with pytest.raises(OSError, match="cannot write mode RGBX"):
        saved(Image.new("RGBX", (2, 2)))
    with pytest.raises(OSError, match="cannot write mode RGBX"):
        saved(noise("L"), save_all=True, append_images=[Image.new("RGBX", (13, 7))])
    with pytest.raises(ValueError, match="frame 1 is 2x2"):
        saved(noise("L"), save_all=True, append_images=[Image.new("L", (2, 2))])
    several = Image.open(io.BytesIO(saved(noise("L"), save_all=True, append_images=[noise("L")])))
    assert (several.n_frames, several.is_animated) == (2, True)
    # a single frame through save_all is an ordinary save
    one = Image.open(io.BytesIO(saved(noise("L"), save_all=True)))
    assert (one.size, one.n_frames, one.is_animated) == ((13, 7), 1, False)


def exif_with(**tags):
    exif = Image.Exif()
    for key, value in tags.items():
        exif[{"artist": 0x013B, "orientation": 0x0112, "software": 0x0131}[key]] = value
    return exif


XMP = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title><rdf:Alt><rdf:li xml:lang="x-default">tessara title</rdf:li></rdf:Alt></dc:title></rdf:Description></rdf:RDF></x:xmpmeta>'


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("exif_as", ["object", "bytes"])
def test_exif_and_xmp_round_trip_and_exiftool_reads_them(tmp_path, compress, exif_as):
    exif = exif_with(artist="Ada", software="tessara tests")
    path = tmp_path / "meta.jxl"
    noise("RGB").save(path, exif=exif if exif_as == "object" else exif.tobytes(), xmp=XMP.decode(),
                      compress_metadata=compress)
    with Image.open(path) as im:
        assert im.getexif()[0x013B] == "Ada" and im.info["xmp"] == XMP
        assert "tessara title" in json.dumps(im.getxmp())
    found = json.loads(subprocess.run([tool("exiftool"), "-j", "-Artist", "-Software", "-XMP:Title", path],
                                      check=True, capture_output=True, text=True).stdout)[0]
    assert (found["Artist"], found["Software"], found["Title"]) == ("Ada", "tessara tests", "tessara title")


def test_what_exiftool_writes_is_read_and_kept_on_save(tmp_path):
    path = tmp_path / "tool.jxl"
    noise("RGB").save(path, lossless=True)
    # -m: exiftool calls wrapping a bare codestream in a container a minor error
    run = [tool("exiftool"), "-q", "-m", "-overwrite_original", "-Artist=Grace", "-XMP:Title=from exiftool", path]
    subprocess.run(run, check=True)
    with Image.open(path) as im:
        assert im.getexif()[0x013B] == "Grace"
        assert b"from exiftool" in im.info["xmp"]
        again = saved(im)  # the image's own metadata by default
    with Image.open(io.BytesIO(again)) as im:
        assert im.getexif()[0x013B] == "Grace" and b"from exiftool" in im.info["xmp"]


def photo_exif():
    exif = exif_with(artist="Ada")
    exif.get_ifd(0x8769)[0x9003] = "2020:01:02 03:04:05"  # DateTimeOriginal
    exif.get_ifd(0x8825)[1] = "N"  # GPSLatitudeRef
    return exif


@pytest.mark.parametrize("edit, tag, value", [
    (lambda exif: exif.__setitem__(0x013B, "Lovelace"), "IFD0:Artist", "Lovelace"),
    (lambda exif: exif.get_ifd(0x8769).__setitem__(0x9003, "2021:06:07 08:09:10"),
     "ExifIFD:DateTimeOriginal", "2021:06:07 08:09:10"),
    (lambda exif: exif.get_ifd(0x8825).__setitem__(1, "S"), "GPS:GPSLatitudeRef", "S"),
    (None, "ExifIFD:DateTimeOriginal", "2020:01:02 03:04:05"),
], ids=["top level", "Exif directory", "GPS directory", "unchanged"])
def test_saving_stores_exif_edits_at_every_level(tmp_path, edit, tag, value):
    with Image.open(io.BytesIO(saved(noise("L"), exif=photo_exif()))) as im:
        if edit:
            edit(im.getexif())
        im.save(tmp_path / "edited.jxl")
        unchanged = im.info["exif"]
    found = json.loads(subprocess.run([tool("exiftool"), "-j", "-n", "-G1", "-a", "-Exif:all", tmp_path / "edited.jxl"],
                                      check=True, capture_output=True, text=True).stdout)[0]
    assert found[tag] == value
    if tag != "IFD0:Artist":
        assert found["IFD0:Artist"] == "Ada"
    with Image.open(tmp_path / "edited.jxl") as again:
        assert (again.info["exif"] == unchanged) == (edit is None)  # the bytes as read, if unchanged


def wide_gamut_profile(tmp_path, name):
    """An ICC profile made by libjxl for a non-sRGB colour space: cjxl is told
    the input is in that space, and the decoder hands back its profile."""
    from jxltools import cjxl, write_pnm
    import tessara

    write_pnm(tmp_path / "p.ppm", np.zeros((2, 2, 3), np.uint8))
    data = cjxl(tmp_path / "p.ppm", tmp_path / "p.jxl", "-d", "0", "-x", f"color_space={name}")
    return tessara.Decoder()(data)[3]


@pytest.mark.parametrize("space", ["RGB_D65_DCI_Rel_SRG", "RGB_D65_202_Rel_SRG"])  # Display P3, Rec. 2020
def test_colours_survive_a_wide_gamut_profile(tmp_path, space):
    icc = wide_gamut_profile(tmp_path, space)
    srgb, wide = ImageCms.createProfile("sRGB"), ImageCms.ImageCmsProfile(io.BytesIO(icc))
    intent = ImageCms.Intent.RELATIVE_COLORIMETRIC
    # colours inside sRGB, expressed in the wide space
    original = noise("RGB", (32, 16))
    tagged = ImageCms.profileToProfile(original, srgb, wide, renderingIntent=intent, outputMode="RGB")
    with Image.open(io.BytesIO(saved(tagged, icc_profile=icc, lossless=True))) as im:
        # Stored as they are, with their profile: the gamut is kept.
        assert np.array_equal(np.asarray(im), np.asarray(tagged))
        assert im.info["icc_profile"] == icc
        shown = ImageCms.profileToProfile(im, wide, srgb, renderingIntent=intent, outputMode="RGB")
    # Shown through the profile they are the original colours: what two
    # 8-bit conversions lose (a few levels at most where one channel hardly counts).
    assert np.abs(np.asarray(shown).astype(int) - np.asarray(original).astype(int)).mean() < 0.5
    relabelled = np.abs(np.asarray(tagged).astype(int) - np.asarray(original).astype(int))
    assert relabelled.mean() > 5, "the wide profile should have moved the numbers"


def decoded_profile(mode):
    """The ICC profile libjxl hands back for a lossless image of this mode."""
    import tessara

    return tessara.Decoder()(saved(noise(mode), lossless=True))[3]


@pytest.mark.parametrize("source, convert", [("RGB", "CMYK"), ("L", "RGB"), ("L", "RGBA"), ("RGB", "L")])
def test_a_profile_of_another_kind_of_colour_is_not_used(source, convert):
    # Pillow keeps info["icc_profile"] through convert(): the image's old profile
    with Image.open(io.BytesIO(saved(noise(source), lossless=True))) as im:
        im.load()
        assert im.info["icc_profile"]
        converted = im.convert(convert)
    assert converted.info["icc_profile"] == im.info["icc_profile"]
    back = Image.open(io.BytesIO(saved(converted, lossless=True)))
    expected = converted.convert("RGB") if convert == "CMYK" else converted
    np.testing.assert_array_equal(np.asarray(back), np.asarray(expected))


@pytest.mark.parametrize("icc", [b"not a profile", decoded_profile("RGB")[:200]], ids=["junk", "cut"])
@pytest.mark.parametrize("mode", ["RGB", "CMYK"])
def test_an_unusable_profile_is_an_os_error(mode, icc):
    with pytest.raises(OSError, match="ICC profile"):
        saved(noise(mode), icc_profile=icc)
