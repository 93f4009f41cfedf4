"""What the plug-in stores about colour: "I;16" with the sRGB transfer (or
its own grey profile), "F" linear, non-sRGB profiles kept with the pixels
unchanged, and every save option honoured on that path as on the module's.
jxlinfo, djxl, exiftool and Pillow's PNG reader judge."""

import io
import json
import subprocess

import numpy as np
import pytest
from PIL import Image, ImageCms

import tessara
from jxltools import ADOBE_RGB, PROPHOTO_RGB, cjxl, djxl, jxlinfo, tool, walk_container, write_pnm
from tessara_pillow import decode_array, encode_array, jxl_info
from tessara_pillow.convert import main

rng = np.random.default_rng(16)
XMP = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'


def colour_report(path):
    """jxlinfo's "Color space" line."""
    out = subprocess.run([tool("jxlinfo"), str(path)], capture_output=True, text=True, check=True).stdout
    return next(line for line in out.splitlines() if line.startswith("Color space"))


def profile_of(tmp_path, space, channels=3):
    """libjxl's ICC profile for a colour space it names: cjxl is told the
    input is in that space, and the file hands back its profile."""
    write_pnm(tmp_path / "p.pnm", np.zeros((2, 2, channels), np.uint8) if channels == 3 else np.zeros((2, 2), np.uint8))
    return jxl_info(cjxl(tmp_path / "p.pnm", tmp_path / "p.jxl", "-d", "0", "-x", f"color_space={space}")).icc_profile


def grey16():
    return rng.integers(0, 65536, (24, 33), dtype=np.uint16)


@pytest.mark.parametrize("lossless", [True, False])
def test_i16_keeps_its_values_with_the_srgb_transfer(tmp_path, lossless):
    samples = grey16()
    Image.fromarray(samples).save(tmp_path / "g.jxl", lossless=lossless)
    assert "Grayscale" in colour_report(tmp_path / "g.jxl")
    assert "sRGB transfer function" in colour_report(tmp_path / "g.jxl")
    with Image.open(djxl(tmp_path / "g.jxl", tmp_path / "g.png")) as png:
        assert png.mode == "I;16"
        assert png.info.get("gamma") != 1.0  # djxl's mark of linear samples
        decoded = np.asarray(png)
    if lossless:
        assert np.array_equal(decoded, samples)
    else:
        assert np.abs(decoded.astype(int) - samples).mean() < 2000  # noise, lossy, still the same picture


@pytest.mark.parametrize("mode, transfer", [("L", "sRGB"), ("I;16", "sRGB"), ("F", "Linear")])
def test_grey_transfers(tmp_path, mode, transfer):
    im = {"L": lambda: Image.fromarray(grey16() >> 8).convert("L"), "I;16": lambda: Image.fromarray(grey16()),
          "F": lambda: Image.fromarray(rng.random((8, 9), dtype=np.float32))}[mode]()
    assert im.mode == mode
    im.save(tmp_path / "g.jxl", lossless=True)
    assert f"{transfer} transfer function" in colour_report(tmp_path / "g.jxl")


def test_i16_keeps_a_grey_profile_of_its_own(tmp_path):
    icc = profile_of(tmp_path, "Gra_D65_Rel_g0.45455", channels=1)  # gamma 2.2 grey
    samples = grey16()
    im = Image.fromarray(samples)
    im.save(tmp_path / "g.jxl", lossless=True, icc_profile=icc)
    data = (tmp_path / "g.jxl").read_bytes()
    assert jxl_info(data).icc_profile == icc
    assert f'{len(icc)}-byte ICC profile, CMM type: "jxl ", color space: "GRAY"' in colour_report(tmp_path / "g.jxl")
    assert np.array_equal(np.asarray(Image.open(djxl(tmp_path / "g.jxl", tmp_path / "g.png"))), samples)
    with Image.open(tmp_path / "g.jxl") as again:  # through the plug-in and back: unchanged
        again.save(tmp_path / "again.jxl", lossless=True)
    assert jxl_info((tmp_path / "again.jxl").read_bytes()).icc_profile == icc


def from_another_program(icc):
    """The same profile as another colour engine would sign it."""
    return icc[:4] + b"lcms" + icc[8:]


# libjxl's own profile of one of its colour encodings is stored as that
# encoding, which readers that take no ICC profile understand; any other
# profile as its bytes. Either way the very bytes come back.
@pytest.mark.parametrize("space, stored", [
    ("RGB_D65_DCI_Rel_SRG", "RGB, D65, P3 primaries, sRGB transfer function"),  # Display P3
    ("RGB_D65_202_Rel_PeQ", "RGB, D65, Rec.2100 primaries, PQ transfer function"),
    ("RGB_D65_202_Rel_HLG", "RGB, D65, Rec.2100 primaries, HLG transfer function"),
    ("RGB_D65_202_Rel_709", "RGB, D65, Rec.2100 primaries, 709 transfer function"),  # Rec. 2020
    ("RGB_D65_SRG_Rel_Lin", "RGB, D65, sRGB primaries, Linear transfer function"),
    # libjxl's CMS measures this gamma a little off, so its profile is not
    # the one libjxl would write for what it measured: kept as the profile.
    ("RGB_D65_0.64;0.33;0.21;0.71;0.15;0.06_Rel_g0.45455", None),  # Adobe RGB's primaries, gamma 2.2
    ("RGB_D65_DCI_Rel_SRG+lcms", None),
], ids=["display-p3", "rec2100-pq", "rec2100-hlg", "rec2020", "linear", "adobe-rgb", "p3-of-another-program"])
@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_wide_gamut_is_stored_with_its_profile(tmp_path, space, stored, mode):
    icc = profile_of(tmp_path, space.removesuffix("+lcms"))
    if space.endswith("+lcms"):
        icc = from_another_program(icc)
    samples = rng.integers(0, 256, (19, 27, len(mode)), dtype=np.uint8)
    im = Image.fromarray(samples, mode)
    im.info["icc_profile"] = icc
    im.save(tmp_path / "w.jxl", lossless=True)
    data = (tmp_path / "w.jxl").read_bytes()
    cmm = icc[4:8].decode()
    expected = stored or f'{len(icc)}-byte ICC profile, CMM type: "{cmm}", color space: "RGB "'
    assert colour_report(tmp_path / "w.jxl").startswith(f"Color space: {expected}")
    assert jxl_info(data).icc_profile == icc
    assert np.array_equal(decode_array(data), samples)
    with Image.open(djxl(tmp_path / "w.jxl", tmp_path / "w.png")) as png:
        assert np.array_equal(np.asarray(png), samples)
    with Image.open(tmp_path / "w.jxl") as again:
        assert np.array_equal(np.asarray(again), samples)
        assert again.info["icc_profile"] == icc


@pytest.mark.parametrize("how", ["save", "save_all", "encode_array", "encode_array_frames"])
@pytest.mark.parametrize("space, channels, stored", [
    ("RGB_D65_202_Rel_HLG", 3, "RGB, D65, Rec.2100 primaries, HLG transfer function"),
    ("Gra_D65_Rel_SRG", 1, "Grayscale, D65, sRGB transfer function"),
], ids=["hlg", "grey"])
def test_every_lossless_write_stores_the_encoding(tmp_path, how, space, channels, stored):
    icc = profile_of(tmp_path, space, channels)
    shape = (2, 9, 11, channels) if channels > 1 else (2, 9, 11)
    frames = rng.integers(0, 256, shape, dtype=np.uint8)
    if how.startswith("encode_array"):
        data = encode_array(frames if how.endswith("frames") else frames[0], lossless=True, icc_profile=icc,
                            **({"duration": 30} if how.endswith("frames") else {}))
    else:
        images = [Image.fromarray(f) for f in frames]
        for im in images:
            im.info["icc_profile"] = icc
        out = io.BytesIO()
        images[0].save(out, "JXL", lossless=True, **({"save_all": True, "append_images": images[1:]}
                                                       if how == "save_all" else {}))
        data = out.getvalue()
    (tmp_path / "e.jxl").write_bytes(data)
    assert colour_report(tmp_path / "e.jxl").startswith(f"Color space: {stored}")
    assert jxl_info(data).icc_profile == icc
    assert np.array_equal(decode_array(data), frames if how in ("save_all", "encode_array_frames") else frames[0])


def test_a_lossy_wide_gamut_image_stays_close_in_its_own_space(tmp_path):
    icc = profile_of(tmp_path, "RGB_D65_DCI_Rel_SRG")
    y, x = np.mgrid[0:48, 0:64]
    samples = np.stack([x * 4, y * 5, x + y * 2], -1).astype(np.uint8)
    im = Image.fromarray(samples)
    im.save(tmp_path / "w.jxl", quality=90, icc_profile=icc)
    with Image.open(djxl(tmp_path / "w.jxl", tmp_path / "w.png")) as png:
        # Had the pixels been relabelled (or converted to sRGB), they would be
        # tens of levels away; compression alone moves a few.
        assert np.abs(np.asarray(png.convert("RGB")).astype(int) - samples).max() <= 12


def exiftool(path):
    out = subprocess.run([tool("exiftool"), "-j", "-G1", "-a", str(path)], capture_output=True, text=True,
                         check=True).stdout
    return {k: v for k, v in json.loads(out)[0].items() if k.startswith(("IFD0:", "XMP"))}


@pytest.mark.parametrize("container, compress", [(False, False), (True, False), (True, True)])
def test_the_array_path_stores_metadata_as_the_module_path_does(tmp_path, container, compress):
    """I;16 and a wide-gamut RGB image go through the array encoder, "L"
    through the module's: the same options give the same boxes."""
    exif = Image.Exif()
    exif[0x013B] = "Ada"
    options = dict(exif=exif.tobytes(), xmp=XMP, use_container=container, compress_metadata=compress,
                   lossless=True, effort=3, num_threads=0)
    wide = Image.fromarray(rng.integers(0, 256, (9, 8, 3), dtype=np.uint8))
    wide.info["icc_profile"] = profile_of(tmp_path, "RGB_D65_DCI_Rel_SRG")
    found = {}
    for name, im in (("module", Image.fromarray(grey16()).convert("L")), ("i16", Image.fromarray(grey16())),
                     ("wide", wide)):
        im.save(tmp_path / f"{name}.jxl", **options)
        data = (tmp_path / f"{name}.jxl").read_bytes()
        boxes = sorted(kind for kind, _ in walk_container(data) if kind not in (b"jxlc", b"jxlp", b"jxll"))
        found[name] = (boxes, exiftool(tmp_path / f"{name}.jxl"))
    assert found["i16"] == found["module"] == found["wide"]
    assert found["module"][1]["IFD0:Artist"] == "Ada"
    assert (b"brob" in found["module"][0]) == compress


@pytest.mark.parametrize("container", [False, True])
def test_use_container_reaches_the_array_encoder(container):
    saved = io.BytesIO()
    Image.fromarray(grey16()).save(saved, "JXL", use_container=container, effort=3)  # no metadata
    assert saved.getvalue().startswith(b"\0\0\0\x0cJXL " if container else b"\xff\x0a")


@pytest.mark.parametrize("mode", ["I;16", "RGB"])
def test_quality_reaches_the_array_encoder(tmp_path, mode):
    im = Image.fromarray(grey16()) if mode == "I;16" else Image.fromarray(
        rng.integers(0, 256, (24, 33, 3), dtype=np.uint8))
    if mode == "RGB":
        im.info["icc_profile"] = profile_of(tmp_path, "RGB_D65_DCI_Rel_SRG")
    sizes = {}
    for quality in (30, 95):
        im.save(tmp_path / f"{quality}.jxl", quality=quality)
        sizes[quality] = (tmp_path / f"{quality}.jxl").stat().st_size
        assert jxlinfo(tmp_path / f"{quality}.jxl")[1]["lossless"] is False
    assert sizes[30] < sizes[95]


def test_a_damaged_profile_is_a_clear_error():
    im = Image.fromarray(grey16())
    with pytest.raises(OSError, match="ICC profile"):
        im.save(io.BytesIO(), "JXL", icc_profile=b"not a profile at all")


def to_srgb(pixels, icc):
    """8-bit RGB pixels in the profile icc, taken to sRGB by LittleCMS."""
    profile = ImageCms.ImageCmsProfile(io.BytesIO(icc))
    srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB"))
    converted = ImageCms.profileToProfile(Image.fromarray(np.asarray(pixels)), profile, srgb,
                                          renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC)
    return np.asarray(converted).astype(int)


def smooth_scene():
    """Gentle gradients sRGB holds (so that the comparison in sRGB clips
    nothing), from deep shadows to light, with no edge for lossy coding to
    ring at."""
    y, x = np.mgrid[0:64, 0:96]
    grey, hue = 12 + y * 200 / 63, x / 95
    return np.stack([grey + 24 * hue, grey + 14 - 14 * hue, grey + 10 - 20 * hue * (1 - hue)], -1).astype(np.uint8)


# A lossy file keeps its original profile only as ICC when libjxl cannot
# name it; libjxl alone then delivers 8-bit linear sRGB. Image.open,
# decode_array and the converter deliver the original profile, through
# libjxl's colour management; LittleCMS judges the colours.
@pytest.mark.parametrize("name, icc", [("Adobe RGB", ADOBE_RGB), ("ProPhoto RGB", PROPHOTO_RGB)])
def test_a_lossy_file_in_a_profile_libjxl_cannot_name_decodes_into_it(tmp_path, capsys, name, icc):
    source = smooth_scene()
    Image.fromarray(source).save(tmp_path / "s.png", icc_profile=icc)
    data = cjxl(tmp_path / "s.png", tmp_path / "s.jxl", "-d", "1")
    info = jxl_info(data)
    assert info.xyb_encoded and info.colour_encoding is None and info.icc_profile == icc
    assert f"{len(icc)}-byte ICC profile" in colour_report(tmp_path / "s.jxl")
    with Image.open(tmp_path / "s.jxl") as im:
        assert im.mode == "RGB" and im.info["icc_profile"] == icc
        shown = np.asarray(im)
    array = decode_array(data)
    assert array.dtype == np.uint8
    np.testing.assert_array_equal(array, shown)
    error = np.abs(to_srgb(shown, icc) - to_srgb(source, icc))
    assert np.percentile(error, 99) <= 3 and error.max() <= 10, (np.percentile(error, 99), error.max())
    # The converter writes what the plug-in gives, with the profile.
    assert main([str(tmp_path / "s.jxl"), "--to", "png", "-o", str(tmp_path / "out")]) == 0, capsys.readouterr()
    with Image.open(tmp_path / "out" / "s.png") as png:
        assert png.info["icc_profile"] == icc
        np.testing.assert_array_equal(np.asarray(png), shown)
    # The module keeps its own result: libjxl's linear sRGB.
    assert tessara.Decoder()(data)[3] != icc
