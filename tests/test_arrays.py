"""tessara_pillow's arrays at the file's own precision: decode_array against
the sources cjxl coded and against djxl, encode_array judged by djxl and
jxlinfo, jxl_info, and the refusals of what cannot be stored."""

import mmap
import os
import re
import subprocess
import sys
import threading

import numpy as np
import pytest
from PIL import Image

import tessara_pillow
from jxltools import cjxl, djxl, fixture_tool, read_pfm, read_pnm, run, tool, write_pfm, write_pnm
from tessara_pillow import decode_array, encode_array, jxl_info

rng = np.random.default_rng(16)
DTYPE_OF_BITS = {1: "uint8", 8: "uint8", 10: "uint16", 12: "uint16", 16: "uint16", 24: "float32"}


def made(tmp_path, *args):
    out = tmp_path / "fixture.jxl"
    run(fixture_tool(), out, *map(str, args))
    return out.read_bytes()


def fixture_uint(bits, channels, w, h):
    """make_fixture's integer samples (see its usage text)."""
    y, x = np.mgrid[0:h, 0:w]
    v = (x[..., None] * 7 + y[..., None] * 13 + np.arange(channels) * 29) % (1 << bits)
    return v[..., 0] if channels == 1 else v


def random_samples(dtype, shape):
    if dtype in ("uint8", "uint16"):
        return rng.integers(0, np.iinfo(dtype).max + 1, shape, dtype=dtype)
    # 0.001 and up: no half-float subnormals, which lossless coding refuses
    return (rng.random(shape, dtype=np.float32) * 0.999 + 0.001).astype(dtype)


def noise_suffix(channels):
    return {1: "pgm", 2: "pam", 3: "ppm", 4: "pam"}[channels]


# cjxl codes the source losslessly; decode_array must give it back exactly,
# at its own depth, in every channel layout.
@pytest.mark.parametrize("dtype", ["uint8", "uint16"])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_lossless_cjxl_files_decode_to_their_source(tmp_path, dtype, channels):
    shape = (37, 300) if channels == 1 else (37, 300, channels)
    pixels = random_samples(dtype, shape)
    write_pnm(tmp_path / f"in.{noise_suffix(channels)}", pixels)
    data = cjxl(tmp_path / f"in.{noise_suffix(channels)}", tmp_path / "out.jxl", "-d", "0", "-e", "2")
    got = decode_array(data)
    assert got.dtype == np.dtype(dtype) and got.shape == shape and got.flags.writeable
    np.testing.assert_array_equal(got, pixels)
    info = jxl_info(data)
    assert (info.width, info.height, info.channels, info.dtype) == (300, 37, channels, dtype)
    assert info.bits_per_sample == np.dtype(dtype).itemsize * 8 and info.has_alpha == (channels % 2 == 0)


@pytest.mark.parametrize("shape", [(20, 30), (20, 30, 3)])
def test_lossless_float_pfm_decodes_exactly(tmp_path, shape):
    pixels = (rng.standard_normal(shape) * 40).astype(np.float32)
    write_pfm(tmp_path / "in.pfm", pixels)
    data = cjxl(tmp_path / "in.pfm", tmp_path / "out.jxl", "-d", "0")
    got = decode_array(data)
    assert got.dtype == np.float32
    np.testing.assert_array_equal(got, pixels)


# Depths cjxl cannot make, through libjxl's own encoder: integers as stored,
# not stretched over their dtype (24 bits come as float32, still as stored).
@pytest.mark.parametrize("bits", [1, 8, 10, 12, 16, 24])
@pytest.mark.parametrize("channels", [1, 2, 4])
def test_integer_depths_give_the_values_stored(tmp_path, bits, channels):
    data = made(tmp_path, "uint", bits, channels, 23, 11)
    got = decode_array(data)
    assert got.dtype == np.dtype(DTYPE_OF_BITS[bits])
    np.testing.assert_array_equal(got, fixture_uint(bits, channels, 23, 11))
    assert jxl_info(data).bits_per_sample == bits and jxl_info(data).dtype == DTYPE_OF_BITS[bits]


@pytest.mark.parametrize("bits, dtype", [(16, np.float16), (32, np.float32)])
@pytest.mark.parametrize("channels, suffix", [(1, "pfm"), (3, "pfm")])
def test_floats_match_djxl(tmp_path, bits, dtype, channels, suffix):
    data = made(tmp_path, "float", bits, channels, 300, 270)
    got = decode_array(data, num_threads=2)
    assert got.dtype == dtype
    ref = read_pfm(djxl(tmp_path / "fixture.jxl", tmp_path / f"ref.{suffix}"))
    np.testing.assert_array_equal(got.astype(np.float32), ref[..., 0] if channels == 1 else ref)
    assert jxl_info(data).exponent_bits_per_sample == (5 if bits == 16 else 8)


# Image.open, with the orientation applied, is the judge; 8-bit RGB is what
# it gives exactly.
@pytest.mark.parametrize("orientation", range(1, 9))
def test_orientation_as_image_open_delivers_it(tmp_path, orientation):
    data = made(tmp_path, "uint", 8, 3, 7, 4, "--orientation", orientation)
    got = decode_array(data)
    with Image.open(tmp_path / "fixture.jxl") as im:
        np.testing.assert_array_equal(got, np.asarray(im))
    info = jxl_info(data)
    assert info.orientation == orientation and (info.height, info.width) == got.shape[:2]


def test_jpeg_reconstruction_file_decodes_to_pixels(tmp_path):
    write_pnm(tmp_path / "in.ppm", random_samples("uint8", (40, 56, 3)))
    run(tool("cjpeg"), "-outfile", tmp_path / "in.jpg", tmp_path / "in.ppm")
    data = cjxl(tmp_path / "in.jpg", tmp_path / "out.jxl")
    assert jxl_info(data).jpeg_reconstruction
    ref = read_pnm(djxl(tmp_path / "out.jxl", tmp_path / "ref.ppm"))
    np.testing.assert_array_equal(decode_array(data), ref)
    assert not jxl_info(encode_array(ref)).jpeg_reconstruction


def test_animation_gives_its_frames_stacked_or_one_by_index(tmp_path):
    data = made(tmp_path, "anim", 3, 1, 5, 4)  # frame k's samples are 10k + 1
    assert jxl_info(data).is_animated
    frames = np.stack([np.full((4, 5), 10 * k + 1, np.uint8) for k in range(3)])
    np.testing.assert_array_equal(decode_array(data), frames)
    for index in (2, 0, -1, -3, 1):
        np.testing.assert_array_equal(decode_array(data, index=index), frames[index])
    for index in (3, -4):
        with pytest.raises(IndexError, match="the file has 3 frames"):
            decode_array(data, index=index)


def fixture_floats(bits, channels, w, h):
    """make_fixture's float samples (see its usage text)."""
    y, x = np.mgrid[0:h, 0:w]
    v = ((x[..., None] + y[..., None] * w + np.arange(channels)) % 1024) / 1024
    v[0, 0, 0], v[0, 1, 0] = -0.25, 3.0
    if bits == 16:
        v[0, 2, 0] = 65504
    return v


# Alpha at a depth of its own comes as stored beside the colour, in the one
# dtype that holds both; every frame of an animation too, in the dtype
# jxl_info names.
@pytest.mark.parametrize("kind, bits, alpha_bits, dtype", [
    ("uint", 8, 16, "uint16"), ("uint", 16, 8, "uint16"), ("uint", 12, 4, "uint16"), ("uint", 1, 8, "uint8"),
    ("uint", 10, 16, "uint16"), ("uint", 24, 8, "float32"), ("float", 16, 8, "float16"),
    ("float", 16, 12, "float32"), ("float", 32, 16, "float32"), ("anim", 8, 16, "uint16"),
])
def test_alpha_comes_as_stored_at_its_own_depth(tmp_path, kind, bits, alpha_bits, dtype):
    data = made(tmp_path, kind, 2 if kind == "anim" else bits, 4, 23, 11, "--alpha-bits", alpha_bits)
    info = jxl_info(data)
    assert (info.dtype, info.alpha_bits, info.has_alpha) == (dtype, alpha_bits, True)
    if kind == "anim":
        colour = np.stack([np.full((11, 23, 3), 10 * k + 1) for k in range(2)])
    elif kind == "uint":
        colour = fixture_uint(bits, 3, 23, 11)
    else:
        colour = fixture_floats(bits, 3, 23, 11)
    alpha = fixture_uint(alpha_bits, 4, 23, 11)[..., 3]
    got = decode_array(data)
    assert got.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(got[..., :3], colour.astype(dtype))
    np.testing.assert_array_equal(got[..., 3], np.broadcast_to(alpha, got.shape[:-1]).astype(dtype))
    assert decode_array(data, index=0).dtype == got.dtype


# encode_array's files, decoded by djxl, give the array back; jxlinfo reads
# the depth and colour space they declare.
@pytest.mark.parametrize("dtype", ["uint8", "uint16", "float16", "float32"])
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_lossless_encode_is_exact_as_djxl_reads_it(tmp_path, dtype, channels):
    shape = (19, 270) if channels == 1 else (19, 270, channels)
    pixels = random_samples(dtype, shape)
    data = encode_array(pixels, lossless=True, effort=3)
    np.testing.assert_array_equal(decode_array(data), pixels)
    (tmp_path / "a.jxl").write_bytes(data)
    if dtype.startswith("uint"):
        ref = read_pnm(djxl(tmp_path / "a.jxl", tmp_path / f"ref.{noise_suffix(channels)}"))
        np.testing.assert_array_equal(ref.reshape(shape), pixels)
    else:  # PFM holds grey or colour, no alpha
        ref = read_pfm(djxl(tmp_path / "a.jxl", tmp_path / "ref.pfm"))
        colour = pixels[..., :3] if channels >= 3 else pixels if channels == 1 else pixels[..., 0]
        np.testing.assert_array_equal(ref.reshape(colour.shape), colour.astype(np.float32))
    report = subprocess.run([tool("jxlinfo"), str(tmp_path / "a.jxl")], capture_output=True, text=True).stdout
    bits = np.dtype(dtype).itemsize * 8
    assert f"{bits}-bit" in report
    transfer = "Linear" if dtype.startswith("float") else "sRGB"
    assert re.search(rf"{transfer} transfer function", report), report


@pytest.mark.parametrize("bits, dtype", [(1, "uint8"), (5, "uint8"), (5, "uint16"), (8, "uint16"), (9, "uint16"),
                                         (12, "uint16"), (14, "uint16")])
def test_bits_per_sample_narrows_and_round_trips(tmp_path, bits, dtype):
    pixels = rng.integers(0, 1 << bits, (16, 24, 3), dtype=dtype)
    data = encode_array(pixels, lossless=True, bits_per_sample=bits)
    info = jxl_info(data)
    assert info.bits_per_sample == bits and info.dtype == ("uint8" if bits <= 8 else "uint16")
    np.testing.assert_array_equal(decode_array(data), pixels)
    (tmp_path / "a.jxl").write_bytes(data)
    ref = read_pnm(djxl(tmp_path / "a.jxl", tmp_path / "ref.ppm"))
    # djxl writes the file's own depth: maxval 2**bits - 1
    np.testing.assert_array_equal(ref, pixels)


@pytest.mark.parametrize("dtype", ["uint8", "uint16", "float16", "float32"])
def test_lossy_encode_stays_close(dtype):
    y, x = np.mgrid[0:64, 0:96]
    smooth = np.stack([x / 96, y / 64, (x + y) / 160], axis=-1)
    top = np.iinfo(dtype).max if dtype.startswith("uint") else 1.0
    pixels = (smooth * top).astype(dtype)
    got = decode_array(encode_array(pixels, quality=95))
    assert got.dtype == pixels.dtype
    assert np.abs(got.astype(np.float64) - pixels.astype(np.float64)).mean() < 0.02 * top


def test_icc_profile_is_stored_and_reported(tmp_path):
    # A profile libjxl made: linear sRGB, so not the profile of the samples' default tag.
    linear = jxl_info(encode_array(np.zeros((2, 2, 3), np.float32), lossless=True)).icc_profile
    srgb = jxl_info(encode_array(np.zeros((2, 2, 3), np.uint16), lossless=True)).icc_profile
    assert linear != srgb
    pixels = random_samples("uint16", (8, 9, 3))
    data = encode_array(pixels, lossless=True, icc_profile=linear)
    assert jxl_info(data).icc_profile == linear
    np.testing.assert_array_equal(decode_array(data), pixels)
    (tmp_path / "a.jxl").write_bytes(data)
    with Image.open(djxl(tmp_path / "a.jxl", tmp_path / "ref.png")) as im:
        assert im.info["icc_profile"] == linear


def test_metadata_boxes_are_written(tmp_path):
    exif = b"Exif\x00\x00MM\x00*\x00\x00\x00\x08\x00\x00"
    data = encode_array(np.zeros((4, 4), np.uint8), exif=exif, xmp=b"<x:xmpmeta/>")
    (tmp_path / "a.jxl").write_bytes(data)
    with Image.open(tmp_path / "a.jxl") as im:
        assert im.info["exif"] == exif and im.info["xmp"] == b"<x:xmpmeta/>"


# libjxl 0.11.2 corrupts its heap on lossless effort 1 over noisy integers of
# more than 8 bits (seen under valgrind); effort 2 is used instead.
@pytest.mark.parametrize("bits", [9, 16])
def test_lossless_effort_one_on_wide_integers(bits):
    pixels = rng.integers(0, 1 << bits, (200, 130), dtype=np.uint16)
    np.testing.assert_array_equal(decode_array(encode_array(pixels, lossless=True, effort=1)), pixels)


# The corruption does not always crash; valgrind sees it at once (invalid
# writes inside libjxl), on every encoder that takes 16-bit samples.
@pytest.mark.skipif("TESSARA_SANITIZER" in os.environ, reason="valgrind cannot run an ASan build")
@pytest.mark.parametrize("encode", [
    'tessara.Encoder("I;16", lossless=True, effort=1, num_threads=0)(a.tobytes(), 200, 130, False)',
    "tessara_pillow.encode_array(a, lossless=True, effort=1, num_threads=0)",
])
def test_lossless_effort_one_on_16_bits_leaves_the_heap_intact(encode):
    child = ("import numpy as np, tessara, tessara_pillow\n"
             "a = np.random.default_rng(3).integers(0, 65536, (130, 200), dtype=np.uint16)\n"
             f"assert len({encode}) > 0\n")
    done = subprocess.run([tool("valgrind"), "-q", "--error-exitcode=99", sys.executable, "-c", child],
                          capture_output=True, text=True, env={**os.environ, "PYTHONMALLOC": "malloc"})
    assert done.returncode == 0, done.stderr[-3000:]


def test_strided_and_byte_swapped_arrays(tmp_path):
    base = random_samples("uint16", (30, 40, 4))
    for view in (base[::2, ::3, :3], base[:, :, 1], base.astype(">u2")[..., :3], np.asfortranarray(base)):
        np.testing.assert_array_equal(decode_array(encode_array(view, lossless=True)), view)


def test_every_bytes_like_input(tmp_path):
    data = encode_array(random_samples("uint16", (5, 7, 3)), lossless=True)
    (tmp_path / "a.jxl").write_bytes(data)
    with open(tmp_path / "a.jxl", "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for source in (bytearray(data), memoryview(data), mapped):
            np.testing.assert_array_equal(decode_array(source), decode_array(data))
            assert jxl_info(source) == jxl_info(data)


def test_float_bit_patterns_round_trip_losslessly():
    words = rng.integers(0, 1 << 32, (64, 96, 3), dtype=np.uint64).astype(np.uint32)
    got = decode_array(encode_array(words.view(np.float32), lossless=True))
    np.testing.assert_array_equal(got.view(np.uint32), words)
    # Every half float, infinities too, but NaN and the subnormals libjxl changes.
    halves = np.arange(1 << 16, dtype=np.uint32).astype(np.uint16)
    magnitude = halves & 0x7FFF
    halves = halves[((magnitude & 0x7E00) != 0x0200) & (magnitude <= 0x7C00)].reshape(-1, 718)
    got = decode_array(encode_array(halves.view(np.float16), lossless=True))
    np.testing.assert_array_equal(got.view(np.uint16), halves)


def ramp(dtype, shape=(8, 8, 3)):
    return np.zeros(shape, dtype)


def with_value(dtype, value, shape=(8, 8, 3)):
    a = np.zeros(shape, dtype)
    a[3, 4, 1] = value
    return a


def half(bits):
    return np.full((4, 4), bits, np.uint16).view(np.float16)


@pytest.mark.parametrize("array, options, error, text", [
    (np.zeros(5, np.uint8), {}, ValueError, "shape"),
    (np.zeros((2, 2, 2, 2), np.uint8), {}, ValueError, "shape"),
    (np.zeros((4, 4, 5), np.uint8), {}, ValueError, "1 to 4 channels"),
    (np.zeros((0, 4, 3), np.uint8), {}, ValueError, "empty"),
    (np.broadcast_to(np.uint8(0), (1 << 16, 1 << 15, 3)), {}, ValueError, "too large"),
    (np.zeros((4, 4), np.int32), {}, TypeError, "int32"),
    (np.zeros((4, 4), np.float64), {}, TypeError, "float64"),
    (np.zeros((4, 4), bool), {}, TypeError, "bool"),
    (ramp("uint16"), {"bits_per_sample": 17}, ValueError, "bits_per_sample"),
    (ramp("uint8"), {"bits_per_sample": 0}, ValueError, "bits_per_sample"),
    (ramp("float32"), {"bits_per_sample": 16}, ValueError, "integer"),
    (with_value("uint16", 4096), {"bits_per_sample": 12}, ValueError, "above"),
    (with_value("uint16", 256), {"bits_per_sample": 8}, ValueError, "above"),
    (with_value("uint8", 2), {"bits_per_sample": 1, "lossless": True}, ValueError, "above"),
    (with_value("float32", np.nan), {}, ValueError, "NaN"),
    (with_value("float32", np.inf), {}, ValueError, "NaN"),
    (with_value("float32", -1e35), {}, ValueError, "NaN"),
    (with_value("float16", np.inf), {}, ValueError, "NaN"),
    (half(0x7E01), {"quality": 50}, ValueError, "NaN"),
    (half(0x0200), {"lossless": True}, ValueError, "subnormal"),
    (half(0x83FF), {"lossless": True}, ValueError, "subnormal"),
    (half(0xFE00), {"lossless": True}, ValueError, "NaN"),
    (ramp("uint8"), {"quality": 101}, ValueError, "quality"),
    (ramp("uint8"), {"quality": "high"}, TypeError, "quality"),
    (ramp("uint8"), {"effort": 0}, ValueError, "effort"),
    (ramp("uint8"), {"effort": 11}, ValueError, "effort"),
    (ramp("uint8"), {"decoding_speed": 5}, ValueError, "decoding_speed"),
    (ramp("uint8"), {"num_threads": 100000}, ValueError, "num_threads"),
    (ramp("uint8"), {"num_threads": 1.5}, TypeError, "num_threads"),
    (ramp("uint8"), {"exif": "Exif"}, TypeError, "exif"),
    (ramp("uint8"), {"icc_profile": b"not a profile" * 20, "lossless": True}, ValueError, "refused"),
])
def test_encode_refuses_bad_input(array, options, error, text):
    with pytest.raises(error, match=text):
        encode_array(array, **options)


def test_decode_refuses_bad_input(tmp_path):
    from jxltools import declared_codestream

    good = encode_array(random_samples("uint8", (30, 30, 3)))
    for data, error, text in [
        (b"", ValueError, "not a JPEG XL"),
        (b"\x89PNG\r\n\x1a\n" + bytes(20), ValueError, "not a JPEG XL"),
        (good[: len(good) // 2], ValueError, "truncated"),
        (declared_codestream(), ValueError, "more pixels than the limit"),
        ("text", TypeError, ""),
    ]:
        with pytest.raises(error, match=text):
            decode_array(data)
        if error is ValueError and text != "more pixels than the limit" and text != "truncated":
            with pytest.raises(error, match=text):
                jxl_info(data)
    with pytest.raises(ValueError, match="num_threads"):
        decode_array(good, num_threads=5000)
    # The header alone is whole: jxl_info reads it, decode_array needs the rest.
    assert jxl_info(declared_codestream()).width == 100000


def test_several_python_threads_at_once():
    arrays = [random_samples(dtype, (300, 280, 3)) for dtype in ("uint8", "uint16", "float16", "float32")]
    files = [encode_array(a, lossless=True, effort=1) for a in arrays]
    results = {}

    def work(i):
        for _ in range(2):
            data = encode_array(arrays[i], lossless=True, effort=1, num_threads=2)
            results[i] = (data, decode_array(files[i], num_threads=2))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(arrays))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, a in enumerate(arrays):
        assert results[i][0] == files[i]
        np.testing.assert_array_equal(results[i][1], a)


def test_package_exports_the_array_functions():
    assert {"decode_array", "encode_array", "jxl_info", "JxlInfo"} <= set(tessara_pillow.__all__)
