"""Encoding: every mode round-tripped, boxes, JPEG transcoding, failures."""

import threading

import numpy as np
import pytest

import tessara
from jxltools import djxl, read_pfm, read_pnm, run, tool, walk_container, write_pnm

rng = np.random.default_rng(99)

MODES = {
    "L": (np.uint8, 1),
    "LA": (np.uint8, 2),
    "RGB": (np.uint8, 3),
    "RGBA": (np.uint8, 4),
    "I;16": (np.uint16, 1),
    "F": (np.float32, 1),
}


def random_pixels(mode, w, h):
    dtype, c = MODES[mode]
    shape = (h, w, c)
    if dtype == np.float32:
        return rng.random(shape, dtype=np.float32)
    return rng.integers(0, np.iinfo(dtype).max + 1, size=shape, dtype=dtype)


def native(pixels):
    return np.ascontiguousarray(pixels).tobytes()


def decoded_pixels(data, mode, w, h):
    """Decode with tessara and shape the bytes as the input was."""
    is_jpeg, info, image, _, _ = tessara.Decoder()(data)
    dtype, c = MODES[mode]
    assert not is_jpeg and (info.mode, info.width, info.height) == (mode, w, h)
    wire = {np.uint8: "u1", np.uint16: "<u2", np.float32: "<f4"}[dtype]
    return np.frombuffer(image, wire).reshape(h, w, c)


@pytest.mark.parametrize("mode", MODES)
def test_lossless_round_trip_every_mode(tmp_path, mode):
    w, h = 13, 9
    pixels = random_pixels(mode, w, h)
    data = tessara.Encoder(mode, lossless=True)(native(pixels), w, h, False)
    np.testing.assert_array_equal(decoded_pixels(data, mode, w, h), pixels)
    (tmp_path / "t.jxl").write_bytes(data)
    if mode == "F":
        ref = read_pfm(djxl(tmp_path / "t.jxl", tmp_path / "t.pfm"))
    else:
        ref = read_pnm(djxl(tmp_path / "t.jxl", tmp_path / ("t.pam" if MODES[mode][1] in (2, 4) else "t.pnm")))
    np.testing.assert_array_equal(ref.reshape(pixels.shape), pixels)


@pytest.mark.parametrize("mode", ["L", "RGB", "RGBA"])
def test_lossy_round_trip_is_close(mode):
    w, h = 64, 48
    y, x = np.mgrid[0:h, 0:w]
    c = MODES[mode][1]
    pixels = ((x[..., None] + y[..., None]) * 2 + np.arange(c) * 10).astype(np.uint8)
    data = tessara.Encoder(mode, quality=90)(native(pixels), w, h, False)
    got = decoded_pixels(data, mode, w, h).astype(int)
    # a smooth gradient at quality 90: small average error, no wild pixel
    assert np.abs(got - pixels).mean() < 3
    assert np.abs(got - pixels).max() < 64


def test_two_by_two_rgb_smallest_case():
    data = tessara.Encoder("RGB")(bytes(range(12)), 2, 2, False)
    assert isinstance(data, bytes) and len(data) > 0
    assert tessara.Decoder()(data)[1].width == 2


def test_boxes_in_fixed_order_with_exact_contents():
    exif, xmp, jumb = b"\0\0\0\0MM\0*exif", b"<x:xmpmeta/>", b"jumbf-bytes"
    data = tessara.Encoder("RGB")(bytes(12), 2, 2, False, exif=exif, jumb=jumb, xmp=xmp)
    boxes = [(t, c) for t, c in walk_container(data) if t in (b"Exif", b"xml ", b"jumb")]
    assert boxes == [(b"Exif", exif), (b"xml ", xmp), (b"jumb", jumb)]
    got = [(b.box_type, b.data) for b in tessara.Decoder()(data)[4] if b.box_type in (b"Exif", b"xml ", b"jumb")]
    assert got == boxes


def test_empty_bytes_is_a_present_box_and_none_is_absent():
    data = tessara.Encoder("L")(bytes(4), 2, 2, False, exif=b"", xmp=None)
    assert [(t, c) for t, c in walk_container(data) if t in (b"Exif", b"xml ")] == [(b"Exif", b"")]


def test_compress_makes_brob_boxes_and_needs_metadata():
    xmp = b"<x:xmpmeta>" + b"a" * 400 + b"</x:xmpmeta>"
    data = tessara.Encoder("L")(bytes(4), 2, 2, False, xmp=xmp, compress=True)
    brob = [c for t, c in walk_container(data) if t == b"brob"]
    assert len(brob) == 1 and brob[0][:4] == b"xml " and len(brob[0]) < len(xmp)
    enc = tessara.Encoder("L")
    assert enc(bytes(4), 2, 2, False, compress=True) == enc(bytes(4), 2, 2, False)


def make_jpeg(tmp_path, pixels, *options):
    write_pnm(tmp_path / "in.pnm", pixels)
    run(tool("cjpeg"), *options, "-outfile", tmp_path / "in.jpg", tmp_path / "in.pnm")
    return (tmp_path / "in.jpg").read_bytes()


@pytest.mark.parametrize(
    "shape, options",
    [
        ((40, 56, 3), ["-quality", "90"]),
        ((40, 56, 3), ["-progressive", "-quality", "60"]),
        ((33, 41), ["-quality", "75"]),
        ((64, 64, 3), ["-restart", "2", "-quality", "95"]),
    ],
)
@pytest.mark.parametrize("quality", [1.0, 50.0, 100.0])
def test_jpeg_transcode_rebuilds_bit_for_bit(tmp_path, shape, options, quality):
    jpeg = make_jpeg(tmp_path, rng.integers(0, 256, size=shape, dtype=np.uint8), *options)
    # width, height and metadata are ignored on this path
    data = tessara.Encoder("RGB", quality=quality)(jpeg, 0, 0, True, exif=b"ignored")
    types = [t for t, _ in walk_container(data)]
    assert b"jbrd" in types and b"Exif" not in types
    (tmp_path / "t.jxl").write_bytes(data)
    assert djxl(tmp_path / "t.jxl", tmp_path / "back.jpg").read_bytes() == jpeg
    is_jpeg, _, image, _, _ = tessara.Decoder()(data)
    assert is_jpeg and image == jpeg


def test_output_above_one_mebibyte_is_whole(tmp_path):
    pixels = random_pixels("RGB", 700, 700)
    data = tessara.Encoder("RGB", lossless=True, effort=1)(native(pixels), 700, 700, False)
    assert len(data) > 1 << 20
    (tmp_path / "big.jxl").write_bytes(data)
    np.testing.assert_array_equal(read_pnm(djxl(tmp_path / "big.jxl", tmp_path / "big.ppm")), pixels)


def test_output_is_identical_across_worker_counts():
    pixels = native(random_pixels("RGBA", 150, 130))
    outputs = {tessara.Encoder("RGBA", num_threads=n)(pixels, 150, 130, False) for n in (-1, 0, 1, 2)}
    assert len(outputs) == 1


def test_threads_share_one_encoder():
    enc = tessara.Encoder("RGB", quality=80, num_threads=1)
    pixels = native(random_pixels("RGB", 96, 80))
    expected = enc(pixels, 96, 80, False)
    results = []
    threads = [threading.Thread(target=lambda: results.extend(enc(pixels, 96, 80, False) for _ in range(3))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 12


API_USAGE = "The encoder API is used in an incorrect way"


@pytest.mark.parametrize(
    "mode, kwargs, call, exc_type, message",
    [
        ("RGB", {"effort": 0}, (bytes(12), 2, 2, False), ValueError, "Invalid effort"),
        ("RGB", {"effort": 11}, (bytes(12), 2, 2, False), ValueError, "Invalid effort"),
        ("RGB", {"effort": 11}, (b"not a jpeg", 0, 0, True), ValueError, "Invalid effort"),
        ("RGB", {"effort": 0}, (b"", 0, 0, True), ValueError, "Invalid effort"),
        ("RGB", {}, (bytes(11), 2, 2, False), RuntimeError, API_USAGE),
        ("RGB", {}, (bytes(12), 0, 2, False), RuntimeError, API_USAGE),
        ("RGB", {}, (b"definitely not a jpeg", 0, 0, True), RuntimeError, "Input is invalid"),
        ("I;16", {}, (bytes(7), 2, 2, False), ValueError, "Failed to cast I;16 data to u16 slice: OutputSliceWouldHaveSlop"),
        ("F", {}, (bytes(6), 2, 2, False), ValueError, "Failed to cast F data to f32 slice: OutputSliceWouldHaveSlop"),
        ("I;16", {}, (bytes(7), 2, 2, False, b"exif"), ValueError, "Failed to cast I;16 data to u16 slice: OutputSliceWouldHaveSlop"),
    ],
)
def test_failures(mode, kwargs, call, exc_type, message):
    with pytest.raises(exc_type) as info:
        tessara.Encoder(mode, **kwargs)(*call)
    assert str(info.value) == message
    assert not isinstance(info.value, tessara.JxlException)


def test_lossless_sets_original_profile_for_grey_alpha():
    pixels = random_pixels("LA", 8, 8)
    data = tessara.Encoder("LA", lossless=True)(native(pixels), 8, 8, False)
    np.testing.assert_array_equal(decoded_pixels(data, "LA", 8, 8), pixels)
