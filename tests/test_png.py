"""PNG through libpng (tessara_pillow.convert.pngfile): what it reads is
judged by Pillow (8-bit and 16-bit grey, which it reads whole), by ffmpeg's
own decode of the files it writes and by cjxl; what it writes by pngcheck,
ffprobe, Pillow, exiftool and cjxl. Hostile files (cut, damaged, bombs,
giant text) give a ValueError and cost no more than their image."""

import io
import struct
import subprocess
import zlib

import numpy as np
import pytest
from PIL import Image

from jxltools import cjxl, djxl, tool
from pngtools import chunk, pngcheck, reference_png
from tessara_pillow import decode_array
from tessara_pillow.convert import pngfile

rng = np.random.default_rng(24)
XMP = b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF/></x:xmpmeta>'


def picture(h, w, channels, dtype=np.uint8):
    top = np.iinfo(dtype).max
    return rng.integers(0, top + 1, (h, w, channels), dtype=dtype)


def pillow_samples(data, mode):
    with Image.open(io.BytesIO(data)) as im:
        return np.asarray(im.convert(mode) if mode else im)


# ---- reading ------------------------------------------------------------------

SHAPES = [(1, 1), (1, 9), (9, 1), (5, 3), (17, 13), (8, 8)]


@pytest.mark.parametrize("size", SHAPES)
@pytest.mark.parametrize("interlaced", [False, True])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_8_bit_layouts_every_filter_and_adam7_read_as_pillow_reads_them(size, interlaced, channels):
    samples = picture(*size, channels)
    data = reference_png(samples, interlaced)
    got = pngfile.read(data).array
    assert got.dtype == np.uint8
    assert np.array_equal(got, samples)
    expected = pillow_samples(data, None).reshape(samples.shape)
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("size", SHAPES)
@pytest.mark.parametrize("interlaced", [False, True])
def test_16_bit_grey_reads_as_pillow_reads_it(size, interlaced):
    samples = picture(*size, 1, np.uint16)
    data = reference_png(samples, interlaced)
    got = pngfile.read(data).array
    assert got.dtype == np.uint16
    assert np.array_equal(got[..., 0], pillow_samples(data, None).astype(np.uint16))


@pytest.mark.parametrize("make, mode, channels", [
    (lambda im: im.quantize(16), "RGB", 3),  # 4-bit palette
    (lambda im: im.quantize(200), "RGB", 3),
    (lambda im: im.convert("1"), "L", 1),  # 1-bit grey, 0 and 1 spread to 0 and 255
])
def test_palette_and_low_bit_grey_are_expanded_as_pillow_converts_them(make, mode, channels):
    im = make(Image.fromarray(picture(11, 7, 3)))
    buffer = io.BytesIO()
    im.save(buffer, "PNG", bits=4 if getattr(im, "palette", None) and len(im.getcolors() or []) <= 16 else 8)
    got = pngfile.read(buffer.getvalue()).array
    assert got.shape == (11, 7, channels)
    assert np.array_equal(got, pillow_samples(buffer.getvalue(), mode).reshape(got.shape))


@pytest.mark.parametrize("mode, transparency, channels", [("P", 3, 4), ("L", 40, 2), ("RGB", (10, 20, 30), 4)])
def test_a_trns_colour_key_becomes_alpha_as_pillow_makes_it(mode, transparency, channels):
    base = Image.fromarray(picture(6, 9, 3) // 64 * 10)
    im = base.quantize(8) if mode == "P" else base.convert(mode)
    buffer = io.BytesIO()
    im.save(buffer, "PNG", transparency=transparency)
    got = pngfile.read(buffer.getvalue()).array
    assert got.shape[2] == channels
    assert np.array_equal(got, pillow_samples(buffer.getvalue(), "LA" if channels == 2 else "RGBA"))


FFMPEG_FORMATS = [("rgb48be", 3, ">u2"), ("rgba64be", 4, ">u2"), ("gray16be", 1, ">u2"), ("ya16be", 2, ">u2"),
                  ("rgb24", 3, "u1"), ("ya8", 2, "u1")]


@pytest.mark.parametrize("pix_fmt, channels, dtype", FFMPEG_FORMATS)
@pytest.mark.parametrize("cicp, names", [((9, 16, 0, 1), "bt2020:smpte2084"), ((12, 13, 0, 1), "smpte432:iec61966-2-1"),
                                         (None, None)])
def test_ffmpeg_pngs_read_as_ffmpeg_decodes_them(tmp_path, pix_fmt, channels, dtype, cicp, names):
    ffmpeg = tool("ffmpeg")
    params = ""
    if names:
        primaries, transfer = names.split(":")
        params = f",setparams=color_primaries={primaries}:color_trc={transfer}:colorspace=gbr:range=pc"
    png = tmp_path / "f.png"
    subprocess.run([ffmpeg, "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=38x22:d=1", "-frames:v", "1",
                    "-vf", f"format={pix_fmt}{params}", str(png)], check=True)
    raw = subprocess.run([ffmpeg, "-v", "error", "-i", str(png), "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"],
                         check=True, capture_output=True).stdout
    image = pngfile.read(png.read_bytes())
    assert np.array_equal(image.array, np.frombuffer(raw, dtype).reshape(22, 38, channels))
    assert image.colour.cicp == cicp


def test_colour_metadata_and_animation_facts_come_back_as_stored():
    samples = picture(4, 5, 3)
    extra = (chunk(b"cICP", bytes([9, 18, 0, 1])) + chunk(b"gAMA", struct.pack(">I", 45455))
             + chunk(b"cHRM", struct.pack(">8I", 31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000))
             + chunk(b"sRGB", b"\x00") + chunk(b"acTL", struct.pack(">II", 1, 3)))
    tail = chunk(b"eXIf", b"MM\0*\0\0\0\x08\0\0") + chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + XMP)
    image = pngfile.read(reference_png(samples, extra=extra, tail=tail))
    assert image.colour.cicp == (9, 18, 0, 1)
    assert image.colour.gamma == pytest.approx(0.45455)
    assert image.colour.chromaticities == pytest.approx((0.3127, 0.329, 0.64, 0.33, 0.3, 0.6, 0.15, 0.06))
    assert image.colour.srgb_intent == 0
    assert image.animation == (1, 3)
    assert image.exif == b"MM\0*\0\0\0\x08\0\0"  # after the image data too
    assert image.xmp == XMP


# ---- hostile files --------------------------------------------------------------


def damaged(data, at):
    return data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]


def test_every_cut_and_every_damaged_byte_gives_the_image_or_a_value_error():
    data = reference_png(picture(6, 7, 4, np.uint16), interlaced=True,
                         tail=chunk(b"tEXt", b"Comment\0hello"))
    whole = pngfile.read(data).array
    outcomes = set()
    for variant in [data[:n] for n in range(len(data))] + [damaged(data, at) for at in range(len(data))]:
        try:
            got = pngfile.read(variant).array
        except ValueError as e:
            outcomes.add(str(e).split(":")[0])
            continue
        assert got.shape == whole.shape
    assert outcomes >= {"not a PNG file", "libpng cannot read the file", "the PNG image data ends before its last row"}


@pytest.mark.parametrize("kind, body", [
    (b"zTXt", b"XML:com.adobe.xmp\0\0"),
    (b"iTXt", b"XML:com.adobe.xmp\0\1\0\0\0"),
])
def test_xmp_text_decompressing_past_1_mib_is_refused(kind, body):
    bomb = zlib.compress(b" " * (64 << 20), 9)  # 64 KiB inflating to 64 MiB
    with pytest.raises(ValueError, match="more than 1 MiB"):
        pngfile.read(reference_png(picture(3, 3, 3), extra=chunk(kind, body + bomb)))
    # Just under the limit is read.
    fits = zlib.compress(b" " * ((1 << 20) - 100))
    assert len(pngfile.read(reference_png(picture(3, 3, 3), extra=chunk(kind, body + fits))).xmp) == (1 << 20) - 100


def test_other_text_is_never_decompressed():
    bomb = zlib.compress(b"\0" * (256 << 20), 9)  # 256 MiB: decompressing it would show
    text = b"".join(chunk(b"zTXt", b"Comment\0\0" + bomb) for _ in range(4))
    assert pngfile.read(reference_png(picture(3, 3, 3), extra=text)).xmp is None


@pytest.mark.parametrize("limit, fails", [(8 * 8 - 1, True), (8 * 8, False), (7, True)])
def test_the_pixel_limit_refuses_before_pixel_memory_is_spent(limit, fails):
    data = reference_png(picture(8, 8, 3))
    if fails:
        with pytest.raises(ValueError):
            pngfile.read(data, max_pixels=limit)
    else:
        assert pngfile.read(data, max_pixels=limit).array.shape == (8, 8, 3)


def test_an_unknown_critical_chunk_is_refused_and_an_ancillary_one_passed_over():
    samples = picture(3, 3, 3)
    with pytest.raises(ValueError, match="libpng cannot read the file"):
        pngfile.read(reference_png(samples, extra=chunk(b"ZZZZ", b"x")))
    assert np.array_equal(pngfile.read(reference_png(samples, extra=chunk(b"zzZz", b"x"))).array, samples)


def test_libpng_warnings_stay_off_standard_error(tmp_path):
    # A damaged ancillary chunk and image data running on past the last row
    # are both warnings inside libpng.
    samples = picture(4, 4, 3)
    stream = zlib.compress(__import__("pngtools").filtered_stream(samples, False) + bytes(5000))
    data = reference_png(samples, idat=stream, extra=damaged(chunk(b"gAMA", struct.pack(">I", 45455)), 10))
    (tmp_path / "w.png").write_bytes(data)
    script = ("import sys; from tessara_pillow.convert import pngfile; "
              "print(pngfile.read(open(sys.argv[1], 'rb').read()).array.shape)")
    run = subprocess.run([__import__("sys").executable, "-c", script, str(tmp_path / "w.png")],
                         capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "(4, 4, 3)" and run.stderr == ""


# ---- writing --------------------------------------------------------------------

LAYOUTS = [(c, d) for c in (1, 2, 3, 4) for d in (np.uint8, np.uint16)]


@pytest.mark.parametrize("channels, dtype", LAYOUTS)
def test_what_is_written_passes_pngcheck_and_reads_back(tmp_path, channels, dtype):
    samples = picture(21, 34, channels, dtype)
    path = tmp_path / "w.png"
    exif = Image.Exif()
    exif[0x013B] = "Ada"
    with open(path, "wb") as f:
        pngfile.write(f, samples if channels > 1 else samples[..., 0], cicp=(9, 16, 0, 1), exif=exif.tobytes(),
                      xmp=XMP)
    report = pngcheck(path)
    assert "eXIf" in report and "iTXt" in report
    back = pngfile.read(path.read_bytes())
    assert np.array_equal(back.array, samples)
    assert back.colour.cicp == (9, 16, 0, 1) and back.xmp == XMP
    found = subprocess.run([tool("exiftool"), "-s3", "-Artist", "-XMPToolkit", "-TransferCharacteristics", str(path)],
                           capture_output=True, text=True, check=True).stdout
    assert "Ada" in found and "2084" in found
    with Image.open(path) as im:
        if dtype is np.uint8 or channels == 1:  # what Pillow reads whole
            assert np.array_equal(np.asarray(im).reshape(samples.shape).astype(dtype), samples)
        assert im.info.get("xmp", im.info.get("XML:com.adobe.xmp", b"")) in (XMP, XMP.decode())


@pytest.mark.parametrize("cicp, primaries, transfer", [((9, 16, 0, 1), "bt2020", "smpte2084"),
                                                       ((12, 13, 0, 1), "smpte432", "iec61966-2-1"),
                                                       ((1, 8, 0, 1), "bt709", "linear"),
                                                       ((9, 18, 0, 1), "bt2020", "arib-std-b67")])
def test_ffmpeg_reads_the_cicp_written(tmp_path, cicp, primaries, transfer):
    path = tmp_path / "c.png"
    with open(path, "wb") as f:
        pngfile.write(f, picture(8, 8, 3, np.uint16), cicp=cicp)
    probe = subprocess.run([tool("ffprobe"), "-v", "error", "-show_entries",
                            "stream=color_primaries,color_transfer,color_range", "-of", "default=nw=1", str(path)],
                           capture_output=True, text=True, check=True).stdout.split()
    assert probe == ["color_range=pc", f"color_transfer={transfer}", f"color_primaries={primaries}"]


def test_icc_profile_written_is_what_pillow_and_cjxl_read(tmp_path):
    from PIL import ImageCms
    profile = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    samples = picture(9, 10, 3, np.uint16)
    path = tmp_path / "p.png"
    with open(path, "wb") as f:
        pngfile.write(f, samples, icc_profile=profile)
    pngcheck(path)
    with Image.open(path) as im:
        assert im.info["icc_profile"] == profile
    assert pngfile.read(path.read_bytes()).colour.icc_profile == profile
    assert np.array_equal(decode_array(cjxl(path, tmp_path / "p.jxl", "-d", "0")), samples)


@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_cjxl_and_djxl_round_trips_agree_with_the_reader_and_writer(tmp_path, channels):
    samples = picture(19, 23, channels, np.uint16)
    path = tmp_path / "w.png"
    with open(path, "wb") as f:
        pngfile.write(f, samples if channels > 1 else samples[..., 0])
    jxl = cjxl(path, tmp_path / "w.jxl", "-d", "0")
    assert np.array_equal(decode_array(jxl).reshape(samples.shape), samples)
    djxl(tmp_path / "w.jxl", tmp_path / "back.png")
    assert np.array_equal(pngfile.read((tmp_path / "back.png").read_bytes()).array, samples)


@pytest.mark.parametrize("array, options, message", [
    (np.zeros((2, 2, 5), np.uint8), {}, "channels"),
    (np.zeros((2, 2, 3), np.float32), {}, "uint8 or uint16"),
    (np.zeros((0, 2, 3), np.uint8), {}, "channels"),
    (np.zeros((2, 2, 3), np.uint8), {"cicp": (9, 16, 1, 1)}, "cICP"),
    (np.zeros((2, 2, 3), np.uint8), {"icc_profile": b"not a profile, not at all, no"}, "libpng refused"),
    (np.zeros((2, 2, 3), np.uint8), {"cicp": (300, 1, 0, 1)}, "byte integer"),
])
def test_what_png_cannot_hold_is_refused(array, options, message):
    with pytest.raises((ValueError, TypeError, OverflowError), match=message):
        pngfile.write(io.BytesIO(), array, **options)
