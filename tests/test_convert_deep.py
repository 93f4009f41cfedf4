"""tessara-convert keeps 16-bit and float colour: JPEG XL to 16-bit PNG and
back, 16-bit PNG to JPEG XL, JPEG XL to JPEG XL, with profiles and
metadata. cjxl (which reads 16-bit PNG), djxl and Pillow's PNG reader judge
the PNG writer and reader; the reader is also fed every filter type and
Adam7 interlacing from a plain reference encoder below."""

import io
import os
import struct
import subprocess

import numpy as np
import pytest
from PIL import Image, ImageOps

from jxltools import cjxl, djxl, fixture_tool, run, tool, write_pfm, write_pnm
from pngtools import chunk, reference_png
from tessara_pillow import decode_array, encode_array, jxl_info
from tessara_pillow.convert import main, pngfile

rng = np.random.default_rng(1616)


def deep_picture(channels, size=(29, 41), top=65535):
    h, w = size
    y, x = np.mgrid[0:h, 0:w]
    bands = [(x * 1500 + y * 900 + i * 7000 + rng.integers(0, 300, (h, w))) % (top + 1) for i in range(channels)]
    return np.stack(bands, -1).astype(np.uint16)


def pillow_view(im, channels):
    """Pillow's 8-bit view of a 16-bit PNG, in the PNG's channels (it opens
    16-bit grey with alpha as RGBA)."""
    view = np.asarray(im)
    return view[..., [0, 3]] if channels == 2 else view.reshape(view.shape[:2] + (channels,))


def convert(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert code == 0, err
    return out


def png_samples_by_cjxl(tmp_path, png):
    """A PNG's samples as libjxl reads them: cjxl losslessly, then decode_array."""
    return decode_array(cjxl(png, tmp_path / "judge.jxl", "-d", "0"))


@pytest.mark.parametrize("channels", [2, 3, 4])
def test_a_16_bit_jxl_becomes_a_16_bit_png(tmp_path, capsys, channels):
    samples = deep_picture(channels)
    write_pnm(tmp_path / "s.pam", samples)
    cjxl(tmp_path / "s.pam", tmp_path / "s.jxl", "-d", "0")
    convert(capsys, tmp_path / "s.jxl", "--to", "png")
    assert np.array_equal(png_samples_by_cjxl(tmp_path, tmp_path / "s.png"), samples)
    with Image.open(tmp_path / "s.png") as im:  # Pillow: the high bytes
        assert np.array_equal(pillow_view(im, channels), (samples >> 8).astype(np.uint8))
        assert im.info["icc_profile"] == jxl_info((tmp_path / "s.jxl").read_bytes()).icc_profile


def test_a_12_bit_jxl_is_stretched_to_16_bits_in_png(tmp_path, capsys):
    samples = deep_picture(3, top=4095)
    (tmp_path / "s.jxl").write_bytes(encode_array(samples, lossless=True, bits_per_sample=12))
    convert(capsys, tmp_path / "s.jxl", "--to", "png")
    expected = np.round(samples.astype(np.float64) * 65535 / 4095).astype(np.uint16)
    assert np.array_equal(png_samples_by_cjxl(tmp_path, tmp_path / "s.png"), expected)


def test_a_float_jxl_becomes_a_16_bit_png_in_the_same_linear_space(tmp_path, capsys):
    floats = rng.random((17, 23, 3), dtype=np.float32) * 1.2 - 0.1  # a little outside 0..1 too
    write_pfm(tmp_path / "f.pfm", floats)
    cjxl(tmp_path / "f.pfm", tmp_path / "f.jxl", "-d", "0")
    convert(capsys, tmp_path / "f.jxl", "--to", "png")
    expected = np.clip(floats * np.float32(65535) + np.float32(0.5), 0, 65535).astype(np.uint16)
    assert np.array_equal(png_samples_by_cjxl(tmp_path, tmp_path / "f.png"), expected)
    with Image.open(tmp_path / "f.png") as im:
        # The float file's own (linear) profile describes the integers too.
        assert im.info["icc_profile"] == jxl_info((tmp_path / "f.jxl").read_bytes()).icc_profile


@pytest.mark.parametrize("dtype", ["uint16", "float32", "float16"])
def test_deep_jxl_to_jxl_keeps_every_value(tmp_path, capsys, dtype):
    samples = deep_picture(4) if dtype == "uint16" else (deep_picture(3) / 65535).astype(dtype)
    (tmp_path / "in.jxl").write_bytes(encode_array(samples, lossless=True))
    convert(capsys, tmp_path / "in.jxl", "--to", "jxl", "--lossless", "-o", tmp_path / "out")
    out = (tmp_path / "out" / "in.jxl").read_bytes()
    assert decode_array(out).dtype == samples.dtype
    assert np.array_equal(decode_array(out), samples)
    assert jxl_info(out).icc_profile == jxl_info((tmp_path / "in.jxl").read_bytes()).icc_profile


def test_an_input_read_in_pieces_converts_whole(tmp_path, capsys, monkeypatch):
    """One read returns at most about 2 GiB on Linux: reads of a few bytes
    here stand in for that, and the input must still come in whole."""
    samples = deep_picture(3, size=(60, 70))
    (tmp_path / "s.jxl").write_bytes(encode_array(samples, lossless=True))
    assert (tmp_path / "s.jxl").stat().st_size > 4000
    pread, preadv = os.pread, os.preadv
    monkeypatch.setattr(os, "pread", lambda fd, n, at: pread(fd, min(n, 1000), at))
    monkeypatch.setattr(os, "preadv", lambda fd, buffers, at: preadv(fd, [memoryview(buffers[0])[:1000]], at))
    convert(capsys, tmp_path / "s.jxl", "--to", "png")
    monkeypatch.undo()
    assert np.array_equal(png_samples_by_cjxl(tmp_path, tmp_path / "s.png"), samples)


@pytest.mark.parametrize("colour_bits, alpha_bits", [(16, 8), (12, 16)])
def test_alpha_at_its_own_depth_is_stretched_by_its_own_depth_in_png(tmp_path, capsys, colour_bits, alpha_bits):
    run(fixture_tool(), tmp_path / "m.jxl", "uint", colour_bits, 4, 23, 11, "--alpha-bits", alpha_bits)
    convert(capsys, tmp_path / "m.jxl", "--to", "png")
    y, x = np.mgrid[0:11, 0:23]
    stored = [(x * 7 + y * 13 + c * 29) % (1 << (alpha_bits if c == 3 else colour_bits)) for c in range(4)]
    expected = np.stack([np.round(v * 65535 / ((1 << (alpha_bits if c == 3 else colour_bits)) - 1))
                         for c, v in enumerate(stored)], -1).astype(np.uint16)
    assert np.array_equal(png_samples_by_cjxl(tmp_path, tmp_path / "m.png"), expected)


def test_a_16_bit_grey_srgb_jxl_keeps_its_transfer_through_the_converter(tmp_path, capsys):
    samples = deep_picture(1)[..., 0]
    write_pnm(tmp_path / "c.pgm", samples)
    cjxl(tmp_path / "c.pgm", tmp_path / "c.jxl", "-d", "0")
    convert(capsys, tmp_path / "c.jxl", "--to", "jxl", "--lossless", "-o", tmp_path / "out")
    report = subprocess.run([tool("jxlinfo"), tmp_path / "out" / "c.jxl"], capture_output=True, text=True).stdout
    assert "sRGB transfer function" in report or 'color space: "GRAY"' in report
    with Image.open(djxl(tmp_path / "out" / "c.jxl", tmp_path / "c.png")) as png:
        assert np.array_equal(np.asarray(png), samples)
        assert png.info.get("gamma") != 1.0


@pytest.mark.parametrize("orientation", range(1, 9))
def test_a_16_bit_png_becomes_a_16_bit_jxl_upright(tmp_path, capsys, orientation):
    samples = deep_picture(4)
    (tmp_path / "in.jxl").write_bytes(encode_array(samples, lossless=True))
    djxl(tmp_path / "in.jxl", tmp_path / "p.png")  # libpng writes the 16-bit PNG
    exif = Image.Exif()
    exif[0x0112] = orientation
    exif[0x013B] = "Ada"
    with open(tmp_path / "p.png", "rb") as f:  # add the Exif with the orientation
        data = f.read()
    (tmp_path / "p.png").write_bytes(data[:33] + chunk(b"eXIf", exif.tobytes()[6:]) + data[33:])
    convert(capsys, tmp_path / "p.png", "--lossless")
    out = (tmp_path / "p.jxl").read_bytes()
    stored = decode_array(out)
    with Image.open(tmp_path / "p.png") as pillow:  # Pillow turns its 8-bit view upright
        expected_high = np.asarray(ImageOps.exif_transpose(pillow))
    assert stored.dtype == np.uint16
    assert np.array_equal((stored >> 8).astype(np.uint8), expected_high)
    if orientation == 1:
        assert np.array_equal(stored, samples)
    with Image.open(tmp_path / "p.jxl") as im:
        assert im.getexif()[0x013B] == "Ada" and im.getexif().get(0x0112, 1) == 1


def test_a_wide_gamut_png_keeps_its_profile_both_ways(tmp_path, capsys):
    write_pnm(tmp_path / "z.ppm", np.zeros((2, 2, 3), np.uint8))
    icc = jxl_info(cjxl(tmp_path / "z.ppm", tmp_path / "z.jxl", "-d", "0", "-x",
                        "color_space=RGB_D65_DCI_Rel_SRG")).icc_profile
    samples = rng.integers(0, 256, (21, 30, 3), dtype=np.uint8)
    Image.fromarray(samples).save(tmp_path / "w.png", icc_profile=icc)
    convert(capsys, tmp_path / "w.png", "--lossless", "-o", tmp_path / "jxl")
    data = (tmp_path / "jxl" / "w.jxl").read_bytes()
    assert jxl_info(data).icc_profile == icc and np.array_equal(decode_array(data), samples)
    convert(capsys, tmp_path / "jxl" / "w.jxl", "-o", tmp_path / "back")
    with Image.open(tmp_path / "back" / "w.png") as im:
        assert im.info["icc_profile"] == icc and np.array_equal(np.asarray(im), samples)


def test_metadata_reaches_the_16_bit_png(tmp_path, capsys):
    exif = Image.Exif()
    exif[0x013B] = "Ada"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'
    (tmp_path / "m.jxl").write_bytes(encode_array(deep_picture(3), lossless=True, exif=exif.tobytes(), xmp=xmp))
    convert(capsys, tmp_path / "m.jxl", "--to", "png")
    found = subprocess.run([tool("exiftool"), "-s3", "-Artist", "-XMP-x:XMPToolkit", "-a",
                            tmp_path / "m.png"], capture_output=True, text=True, check=True).stdout
    assert "Ada" in found
    with Image.open(tmp_path / "m.png") as im:
        assert im.info.get("XML:com.adobe.xmp", "").encode() == xmp or im.info.get("xmp") == xmp


# ---- the PNG writer and reader on their own ------------------------------

@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_the_png_writer_is_read_alike_by_cjxl_and_pillow(tmp_path, channels):
    samples = deep_picture(channels, size=(70, 3))  # taller than wide, and some rows
    icc = jxl_info(encode_array(np.zeros((2, 2, 3), np.uint8))).icc_profile if channels > 2 else b""
    with open(tmp_path / "w.png", "wb") as f:
        pngfile.write(f, samples if channels > 1 else samples[..., 0], icc_profile=icc or None)
    assert np.array_equal(png_samples_by_cjxl(tmp_path, tmp_path / "w.png").reshape(samples.shape), samples)
    with Image.open(tmp_path / "w.png") as im:
        # Pillow reads 16-bit grey whole ("I;16"), the rest as its high bytes.
        expected = samples if channels == 1 else (samples >> 8).astype(np.uint8)
        assert np.array_equal(pillow_view(im, channels), expected)
        assert im.info.get("icc_profile", b"") == icc


@pytest.mark.parametrize("interlaced", [False, True])
@pytest.mark.parametrize("channels, size", [(3, (13, 11)), (4, (9, 17)), (2, (5, 3)), (3, (1, 1))])
def test_the_png_reader_undoes_every_filter_and_adam7(channels, size, interlaced):
    samples = deep_picture(channels, size=size)
    data = reference_png(samples, interlaced)
    assert np.array_equal(pngfile.read(data).array, samples)
    with Image.open(io.BytesIO(data)) as im:  # Pillow agrees on the high bytes
        assert np.array_equal(pillow_view(im, channels), (samples >> 8).astype(np.uint8))


@pytest.mark.parametrize("damage, message", [
    (lambda d: d[:-30], "ends before its last row"),
    (lambda d: d[:45] + bytes([d[45] ^ 1]) + d[46:], "CRC error"),
    (lambda d: d[:8] + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 4, 16, 2, 0, 0, 3)) + d[33:], "Invalid IHDR"),
])
def test_a_damaged_16_bit_png_is_a_clear_error(damage, message):
    data = reference_png(deep_picture(3, size=(6, 8)), False)
    with pytest.raises(ValueError, match=message):
        pngfile.read(damage(data))
