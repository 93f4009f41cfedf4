"""Decoding whole files: modes, byte layouts, JPEG reconstruction, errors."""

import struct
import threading

import numpy as np
import pytest

import tessara
from jxltools import cjxl, container, djxl, fixture_tool, read_pfm, read_pnm, run, tool, write_pfm, write_pnm
from reliability import ticks_during

GENERIC = (
    "Generic Error. Please build `libjxl` from source (using `vendored` feature) \n"
    "        in debug mode to get more information. Check `stderr` for any internal error messages."
)
NOT_JXL = "The input does not contain a valid codestream or container"

rng = np.random.default_rng(1234)


def lossless(tmp_path, pixels, name="in.pnm"):
    src = tmp_path / name
    (write_pfm if pixels.dtype == np.float32 else write_pnm)(src, pixels)
    return cjxl(src, tmp_path / "out.jxl", "-d", "0", "-e", "1")


def decode(data, **kw):
    return tessara.Decoder(**kw)(data)


def made(tmp_path, *args):
    out = tmp_path / "fixture.jxl"
    run(fixture_tool(), out, *args)
    return out.read_bytes()


@pytest.mark.parametrize(
    "shape, dtype, mode",
    [
        ((5, 7), np.uint8, "L"),
        ((5, 7, 2), np.uint8, "LA"),
        ((5, 7, 3), np.uint8, "RGB"),
        ((5, 7, 4), np.uint8, "RGBA"),
        ((5, 7), np.uint16, "I;16"),
        ((5, 7, 2), np.uint16, "LA"),
    ],
)
def test_lossless_integer_images_decode_exactly(tmp_path, shape, dtype, mode):
    pixels = rng.integers(0, np.iinfo(dtype).max + 1, size=shape, dtype=dtype)
    is_jpeg, info, image, icc, boxes = decode(lossless(tmp_path, pixels))
    channels = 1 if len(shape) == 2 else shape[2]
    assert (is_jpeg, info.mode, info.width, info.height) == (False, mode, 7, 5)
    assert info.num_channels == (3 if channels >= 3 else 1)
    assert info.has_alpha_channel == (channels in (2, 4))
    assert image == pixels.astype("<" + pixels.dtype.str[1:]).tobytes()
    # 16-bit files come as a container with a level box before the codestream
    assert len(icc) > 0 and {b.box_type for b in boxes} <= {b"jxll", b"jxlc"}


# Every layout, small and over several groups of 256 x 256 pixels, oriented:
# the layouts the module converts come from libjxl as runs of samples, from
# its worker threads, and land all over the result. djxl, which applies the
# orientation too, judges.
@pytest.mark.parametrize(
    "kind, bits, channels, suffix",
    [
        ("uint", 8, 4, "pam"),
        ("uint", 8, 2, "pam"),
        ("uint", 10, 3, "ppm"),
        ("uint", 12, 4, "pam"),
        ("uint", 16, 1, "pgm"),
        ("uint", 16, 2, "pam"),
        ("uint", 16, 3, "ppm"),
        ("float", 32, 1, "pfm"),
        ("float", 32, 3, "pfm"),
        ("float", 16, 3, "pfm"),
        ("float", 16, 1, "pfm"),
    ],
)
@pytest.mark.parametrize("width, height, orientation", [(23, 11, 1), (300, 270, 6), (300, 270, 7)])
def test_pixels_match_djxl(tmp_path, kind, bits, channels, suffix, width, height, orientation):
    data = made(tmp_path, kind, bits, channels, width, height, "--orientation", orientation)
    _, info, image, _, _ = decode(data, num_threads=2)
    out = djxl(tmp_path / "fixture.jxl", tmp_path / f"ref.{suffix}")
    ref = read_pfm(out) if suffix == "pfm" else read_pnm(out, scale_to_16_bits=True)
    assert (info.width, info.height) == (ref.shape[1], ref.shape[0])
    if ref.dtype == np.float32 and channels >= 3:  # * 255, limited to 0..255, truncated
        expected = np.clip(ref * np.float32(255), 0, 255).astype(np.int32).astype(np.uint8)
    elif ref.dtype == np.float32:
        expected = ref.astype("<f4")  # half floats widened exactly
    elif ref.dtype == np.uint16 and channels >= 3:
        expected = (ref >> 8).astype(np.uint8)  # colour keeps the high byte
    else:
        expected = ref.astype("<" + ref.dtype.str[1:])
    assert image == expected.tobytes()


def test_sixteen_bit_colour_gives_high_bytes(tmp_path):
    pixels = rng.integers(0, 65536, size=(4, 6, 3), dtype=np.uint16)
    _, info, image, _, _ = decode(lossless(tmp_path, pixels))
    assert info.mode == "RGB"
    assert image == (pixels >> 8).astype(np.uint8).tobytes()


def test_float_grey_is_mode_f_little_endian(tmp_path):
    pixels = rng.random((6, 5), dtype=np.float32)
    pixels[0, :3] = [-0.5, 3.0, 1e-30]
    _, info, image, _, _ = decode(lossless(tmp_path, pixels, "in.pfm"))
    assert info.mode == "F"
    np.testing.assert_array_equal(np.frombuffer(image, "<f4").reshape(6, 5), pixels)


def test_float_colour_is_scaled_clamped_and_truncated(tmp_path):
    pixels = rng.random((3, 4, 3), dtype=np.float32)
    pixels[0, 0] = [1.0, 0.5, -0.2]
    pixels[0, 1] = [3.0, 0.999, 1 / 255]
    _, info, image, _, _ = decode(lossless(tmp_path, pixels, "in.pfm"))
    got = np.frombuffer(image, np.uint8).reshape(3, 4, 3)
    assert info.mode == "RGB"
    assert list(got[0, 0]) == [255, 127, 0]
    assert list(got[0, 1]) == [255, 254, 1]
    expected = np.clip(pixels * np.float32(255), 0, 255).astype(np.int32).astype(np.uint8)
    np.testing.assert_array_equal(got, expected)


def fixture_uint(bits, channels, w, h):
    c = np.arange(channels)
    y, x = np.mgrid[0:h, 0:w]
    return (x[..., None] * 7 + y[..., None] * 13 + c * 29) % (1 << bits)


def fixture_float(channels, w, h, half):
    y, x = np.mgrid[0:h, 0:w]
    c = np.arange(channels)
    v = ((x[..., None] + y[..., None] * w + c) % 1024 / 1024).astype(np.float32)
    v[0, 0, 0], v[0, 1, 0] = -0.25, 3.0
    if half:
        v[0, 2, 0] = 65504.0
    return v


@pytest.mark.parametrize("bits", [10, 12])
def test_high_bit_depth_grey_is_i16(tmp_path, bits):
    _, info, image, _, _ = decode(made(tmp_path, "uint", bits, 1, 9, 4))
    expected = np.round(fixture_uint(bits, 1, 9, 4)[..., 0] * 65535 / ((1 << bits) - 1))
    assert info.mode == "I;16"
    np.testing.assert_array_equal(np.frombuffer(image, "<u2").reshape(4, 9), expected)


def test_half_float_grey_is_widened_to_f32(tmp_path):
    _, info, image, _, _ = decode(made(tmp_path, "float", 16, 1, 8, 3))
    assert info.mode == "F;16"
    got = np.frombuffer(image, "<f4").reshape(3, 8)
    np.testing.assert_array_equal(got, fixture_float(1, 8, 3, half=True)[..., 0])
    assert got[0, 2] == 65504.0


def test_half_float_colour_and_alpha(tmp_path):
    _, info, image, _, _ = decode(made(tmp_path, "float", 16, 4, 8, 3))
    assert (info.mode, info.num_channels, info.has_alpha_channel) == ("RGBA", 3, True)
    v = fixture_float(4, 8, 3, half=True)
    expected = np.clip(v * np.float32(255), 0, 255).astype(np.int32).astype(np.uint8)
    np.testing.assert_array_equal(np.frombuffer(image, np.uint8).reshape(3, 8, 4), expected)


def test_grey_alpha_float_keeps_four_bytes_per_sample(tmp_path):
    _, info, image, _, _ = decode(made(tmp_path, "float", 32, 2, 5, 2))
    assert info.mode == "LA"
    np.testing.assert_array_equal(np.frombuffer(image, "<f4").reshape(2, 5, 2), fixture_float(2, 5, 2, False))


@pytest.mark.parametrize("kind, bits", [("uint", 20), ("float", 24)])
def test_unsupported_bit_widths(tmp_path, kind, bits):
    with pytest.raises(RuntimeError) as info:
        decode(made(tmp_path, kind, bits, 1, 4, 4))
    assert str(info.value) == f"Unsupported Pixel bit width: {bits}"


def test_animation_returns_last_frame(tmp_path):
    _, info, image, _, _ = decode(made(tmp_path, "anim", 3, 3, 4, 2))
    assert info.mode == "RGB" and image == bytes([21]) * (4 * 2 * 3)


def make_jpeg(tmp_path, pixels, *options, name="in"):
    src = tmp_path / f"{name}.pnm"
    write_pnm(src, pixels)
    out = tmp_path / f"{name}.jpg"
    run(tool("cjpeg"), *options, "-outfile", out, src)
    return out


@pytest.mark.parametrize(
    "shape, options, mode",
    [
        ((40, 56, 3), ["-quality", "85"], "RGB"),
        ((40, 56, 3), ["-progressive"], "RGB"),
        ((40, 56), ["-quality", "70"], "L"),
        ((48, 48, 3), ["-restart", "1", "-sample", "1x1"], "RGB"),
    ],
)
def test_jpeg_reconstruction_is_bit_exact(tmp_path, shape, options, mode):
    jpg = make_jpeg(tmp_path, rng.integers(0, 256, size=shape, dtype=np.uint8), *options)
    data = cjxl(jpg, tmp_path / "t.jxl")
    is_jpeg, info, image, _, _ = decode(data)
    assert is_jpeg is True and info.mode == mode
    assert image == jpg.read_bytes()


def test_jpeg_above_one_mebibyte_is_rebuilt_exactly(tmp_path):
    jpg = make_jpeg(tmp_path, rng.integers(0, 256, size=(800, 800, 3), dtype=np.uint8), "-quality", "100")
    assert jpg.stat().st_size > 1 << 20
    is_jpeg, _, image, _, _ = decode(cjxl(jpg, tmp_path / "big.jxl"))
    assert is_jpeg and image == jpg.read_bytes()


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", NOT_JXL),
        (b"\xff", NOT_JXL),
        (b"GIF89a" + bytes(50), NOT_JXL),
        (bytes(100), NOT_JXL),
        (b"\x00\x00\x00\x0cJXL \r\n\x87", NOT_JXL),
        # a codestream signature with nothing behind it
        (b"\xff\x0a", GENERIC),
    ],
)
def test_not_jpeg_xl(data, message):
    with pytest.raises(RuntimeError) as info:
        decode(data)
    assert str(info.value) == message
    assert not isinstance(info.value, tessara.JxlException)


def test_truncated_files_fail_cleanly(tmp_path):
    data = lossless(tmp_path, rng.integers(0, 256, size=(64, 64, 3), dtype=np.uint8))
    for cut in sorted({3, 12, 20, *range(25, len(data), max(1, len(data) // 60)), len(data) - 1}):
        with pytest.raises(RuntimeError) as info:
            decode(data[:cut])
        assert str(info.value) in (GENERIC, NOT_JXL), cut


def test_corrupted_files_never_crash(tmp_path):
    data = bytearray(lossless(tmp_path, rng.integers(0, 256, size=(32, 32, 3), dtype=np.uint8)))
    for i in range(200):
        broken = bytearray(data)
        for pos in rng.integers(2, len(data), size=3):
            broken[pos] ^= int(rng.integers(1, 256))
        try:
            decode(bytes(broken))
        except RuntimeError:
            pass


@pytest.mark.parametrize("num_threads", [-5, -1, 0, 1, 3])
def test_worker_counts_give_identical_results(tmp_path, num_threads):
    data = lossless(tmp_path, rng.integers(0, 256, size=(70, 90, 3), dtype=np.uint8))
    assert decode(data, num_threads=num_threads)[2] == decode(data, num_threads=0)[2]


def test_threads_share_one_decoder(tmp_path):
    data = lossless(tmp_path, rng.integers(0, 256, size=(120, 100, 4), dtype=np.uint8))
    dec = tessara.Decoder(2)
    expected = dec(data)[2]
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(dec(data)[2])
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(results) == 20 and all(r == expected for r in results)


def test_lock_is_released_while_decoding(tmp_path):
    pixels = rng.integers(0, 256, size=(1200, 1200, 3), dtype=np.uint8)
    src = tmp_path / "big.ppm"
    write_pnm(src, pixels)
    data = cjxl(src, tmp_path / "big.jxl", "-d", "0", "-e", "2")
    assert ticks_during(lambda: tessara.Decoder(1)(data)) > 1000


def test_image_info_properties(tmp_path):
    info = decode(lossless(tmp_path, rng.integers(0, 256, size=(2, 3), dtype=np.uint8)))[1]
    info.width, info.mode, info.has_alpha_channel = 5, "RGBA", True
    assert (info.width, info.mode, info.has_alpha_channel, info.height) == (5, "RGBA", True, 2)
    for name, value, exc_type, message in [
        ("width", -1, OverflowError, "number too small to fit in target type"),
        ("height", 2**32, OverflowError, "number too large to fit in target type"),
        ("num_channels", "3", TypeError, None),
        ("mode", 3, TypeError, "'int' object is not an instance of 'str'"),
        ("has_alpha_channel", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ]:
        before = getattr(info, name)
        with pytest.raises(exc_type) as caught:
            setattr(info, name, value)
        assert caught.value.__notes__ == [f"while processing '{name}'"]
        if message:
            assert str(caught.value) == message
        assert getattr(info, name) == before
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del info.mode
    cls = type(info)
    assert (cls.__module__, cls.__name__, cls.__doc__) == ("tessara", "ImageInfo", None)
    with pytest.raises(TypeError):
        cls()


def test_an_absurd_worker_count_is_a_clean_error():
    # libjxl would start threads until the system refuses one, then throw and
    # leave the started ones running; such counts are refused up front
    with pytest.raises(RuntimeError, match="^Could not create JxlThreadsRunner$"):
        tessara.Decoder(num_threads=200_000)(b"\xff\x0a")
    with pytest.raises(RuntimeError, match="^Could not create JxlThreadsRunner$"):
        tessara.Encoder("L", num_threads=200_000)(b"\0", 1, 1, False)
