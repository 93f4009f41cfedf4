"""Opening JPEG XL files through Pillow: a lazy open that announces exactly
what load() produces, pixels as djxl decodes them, JPEG reconstruction, and
the refusals."""

import io

import numpy as np
import pytest
from PIL import Image, ImageOps

import tessara
import tessara_pillow  # noqa: F401  (registers the format)
from jxltools import (
    box,
    cjxl,
    container,
    declared_codestream,
    djxl,
    fixture_tool,
    jxlp_container,
    read_pfm,
    read_pnm,
    run,
    tool,
    write_pfm,
    write_pnm,
)

rng = np.random.default_rng(99)


def opened(path):
    """(size, mode) announced at open, and the image after load()."""
    im = Image.open(path)
    announced = (im.size, im.mode)
    assert im._im is None, "open decoded pixels"
    im.load()
    assert (im.size, im.mode) == announced
    return announced, im


def as_8_bits(ref):
    if ref.dtype == np.uint16:
        return (ref >> 8).astype(np.uint8)
    if ref.dtype == np.float32:
        return np.clip(np.nan_to_num(ref * np.float32(255)), 0, 255).astype(np.uint8)
    return ref


def pillow_array(im):
    a = np.asarray(im)
    return a[..., None] if a.ndim == 2 else a


@pytest.mark.parametrize(
    "source, options, suffix, mode",
    [
        ("u8-1", [], "pgm", "L"),
        ("u8-2", [], "pam", "LA"),
        ("u8-3", ["-d", "1"], "ppm", "RGB"),
        ("u8-4", [], "pam", "RGBA"),
        ("u16-1", [], "pgm", "I;16"),
        ("u16-2", [], "pam", "LA"),
        ("u16-3", [], "ppm", "RGB"),
        ("u16-4", ["-d", "2"], "pam", "RGBA"),
        ("f32-1", [], "pfm", "F"),
        ("f32-3", ["-d", "1"], "pfm", "RGB"),
    ],
)
def test_cjxl_files_open_as_djxl_decodes_them(tmp_path, source, options, suffix, mode):
    kind, channels = source.split("-")
    shape = (9, 14) if channels == "1" else (9, 14, int(channels))
    if kind == "f32":
        write_pfm(tmp_path / "in.pfm", rng.random(shape, dtype=np.float32) * 1.2 - 0.1)
        src = tmp_path / "in.pfm"
    else:
        dtype = np.uint8 if kind == "u8" else np.uint16
        src = tmp_path / "in.pnm"
        write_pnm(src, rng.integers(0, np.iinfo(dtype).max + 1, size=shape, dtype=dtype))
    cjxl(src, tmp_path / "a.jxl", *(options or ["-d", "0"]))
    (size, got_mode), im = opened(tmp_path / "a.jxl")
    assert (size, got_mode) == ((14, 9), mode)
    out = djxl(tmp_path / "a.jxl", tmp_path / f"ref.{suffix}")
    ref = read_pfm(out) if suffix == "pfm" else read_pnm(out)
    expected = ref if mode in ("I;16", "F") else as_8_bits(ref)
    np.testing.assert_array_equal(pillow_array(im), expected)


def fixture(tmp_path, *args):
    out = tmp_path / "fixture.jxl"
    run(fixture_tool(), out, *args)
    return out


@pytest.mark.parametrize("orientation", range(1, 9))
def test_orientation_is_applied_and_exif_transpose_changes_nothing(tmp_path, orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation  # the same orientation in an Exif box
    box = "Exif=" + (b"\0\0\0\0" + exif.tobytes()[6:]).hex()
    path = fixture(tmp_path, "uint", 8, 3, 5, 3, "--orientation", orientation, "--box", box)
    (size, mode), im = opened(path)
    assert size == ((3, 5) if orientation >= 5 else (5, 3)) and mode == "RGB"
    ref = read_pnm(djxl(path, tmp_path / "ref.ppm"))
    np.testing.assert_array_equal(pillow_array(im), ref)
    assert im.getexif().get(0x0112) == 1
    upright = ImageOps.exif_transpose(im)
    assert upright.size == im.size and upright.tobytes() == im.tobytes()


def fixture_float(channels, w, h, half):
    y, x = np.mgrid[0:h, 0:w]
    v = ((x[..., None] + y[..., None] * w + np.arange(channels)) % 1024 / 1024).astype(np.float32)
    v[0, 0, 0], v[0, 1, 0] = -0.25, 3.0
    if half:
        v[0, 2, 0] = 65504.0
    return v


@pytest.mark.parametrize(
    "args, mode, expected",
    [
        # grey at 9-16 bits keeps 16 bits; grey+alpha at any depth becomes 8-bit LA
        (("uint", 12, 1), "I;16", lambda: read_pnm_fixture_uint(12, 1)),
        (("uint", 12, 2), "LA", lambda: as_8_bits(read_pnm_fixture_uint(12, 2))),
        (("float", 16, 1), "F", lambda: fixture_float(1, 11, 4, True)),
        (("float", 16, 2), "LA", lambda: as_8_bits(fixture_float(2, 11, 4, True))),
        (("float", 32, 2), "LA", lambda: as_8_bits(fixture_float(2, 11, 4, False))),
        (("float", 16, 4), "RGBA", lambda: as_8_bits(fixture_float(4, 11, 4, True))),
        (("anim", 3, 3), "RGB", lambda: np.full((4, 11, 3), 1, np.uint8)),  # opens at frame 0
    ],
)
def test_depths_the_decoder_widens_or_narrows(tmp_path, args, mode, expected):
    (size, got_mode), im = opened(fixture(tmp_path, *args, 11, 4, "--container"))
    assert (size, got_mode) == ((11, 4), mode)
    animated = args[0] == "anim"
    assert (im.n_frames, im.is_animated) == ((args[1], True) if animated else (1, False))
    np.testing.assert_array_equal(pillow_array(im), expected())


def read_pnm_fixture_uint(bits, channels):
    y, x = np.mgrid[0:4, 0:11]
    v = (x[..., None] * 7 + y[..., None] * 13 + np.arange(channels) * 29) % (1 << bits)
    return np.round(v * 65535 / ((1 << bits) - 1)).astype(np.uint16)


@pytest.mark.parametrize("cuts", [[1], [3], [7, 9], [20], list(range(2, 60, 5))])
def test_split_codestreams_and_late_metadata(tmp_path, cuts):
    src = tmp_path / "in.ppm"
    write_pnm(src, rng.integers(0, 256, size=(12, 10, 3), dtype=np.uint8))
    codestream = cjxl(src, tmp_path / "bare.jxl", "-d", "0")
    exif = Image.Exif()
    exif[0x013B] = "late artist"  # Artist, in an Exif box after the codestream
    data = jxlp_container(codestream, cuts, box(b"Exif", b"\0\0\0\0" + exif.tobytes()[6:]))
    (tmp_path / "split.jxl").write_bytes(data)
    (size, mode), im = opened(io.BytesIO(data))
    assert (size, mode) == ((10, 12), "RGB")
    np.testing.assert_array_equal(pillow_array(im), read_pnm(djxl(tmp_path / "split.jxl", tmp_path / "r.ppm")))
    assert im.getexif()[0x013B] == "late artist"


def make_jpeg(tmp_path, shape, *options):
    write_pnm(tmp_path / "in.pnm", rng.integers(0, 256, size=shape, dtype=np.uint8))
    out = tmp_path / "in.jpg"
    run(tool("cjpeg"), *options, "-outfile", out, tmp_path / "in.pnm")
    return out


@pytest.mark.parametrize("shape, orientation", [((40, 56, 3), None), ((24, 16), None), ((606, 500, 3), 5)])
def test_jpeg_reconstruction_opens_like_the_original_jpeg(tmp_path, shape, orientation):
    jpg = make_jpeg(tmp_path, shape, "-quality", "85")
    if orientation:
        run(tool("exiftool"), "-q", "-overwrite_original", f"-Orientation={orientation}", "-n", jpg)
    data = cjxl(jpg, tmp_path / "t.jxl")
    (size, mode), im = opened(io.BytesIO(data))
    original = Image.open(jpg)
    # The JPEG's own size, never swapped, although libjxl reports it oriented.
    assert (size, mode) == (original.size, original.mode)
    assert im.tobytes() == original.tobytes()
    assert ImageOps.exif_transpose(im).tobytes() == ImageOps.exif_transpose(original).tobytes()
    assert im.info["icc_profile"]


def test_unsupported_bit_depth_is_refused_at_open_with_the_reason(tmp_path):
    with pytest.raises(OSError, match="20-bit integer samples"):
        Image.open(fixture(tmp_path, "uint", 20, 1, 4, 4))


def test_decompression_bomb_is_refused_before_any_pixel_memory(monkeypatch):
    def no_decoding(*args):
        raise AssertionError("open decoded the file")

    monkeypatch.setattr(tessara, "Decoder", no_decoding)
    data = declared_codestream(100000)
    data += bytes(40 - len(data))  # "pixel data" to make a 40-byte file
    with pytest.raises(Image.DecompressionBombError):
        Image.open(io.BytesIO(data))
    # below the error threshold it opens, holding no pixels
    with pytest.warns(Image.DecompressionBombWarning):
        im = Image.open(io.BytesIO(declared_codestream(12000)))
    assert im.size == (12000, 12000) and im._im is None


def test_cut_pixel_data_opens_and_fails_in_load(tmp_path):
    src = tmp_path / "in.ppm"
    write_pnm(src, rng.integers(0, 256, size=(64, 64, 3), dtype=np.uint8))
    data = cjxl(src, tmp_path / "a.jxl", "-d", "0")
    im = Image.open(io.BytesIO(data[: len(data) * 2 // 3]))
    assert (im.size, im.mode) == ((64, 64), "RGB")
    with pytest.raises(OSError, match="cannot decode JPEG XL image"):
        im.load()


@pytest.mark.parametrize("data", [b"\xff\x0a", b"\xff\x0a\x00", container(b"\xff")[:40], container(b"")])
def test_unreadable_headers_are_not_identified(data):
    with pytest.raises(Image.UnidentifiedImageError):
        Image.open(io.BytesIO(data))


def test_registration_and_files_without_an_extension(tmp_path):
    assert Image.registered_extensions()[".jxl"] == "JXL" and Image.MIME["JXL"] == "image/jxl"
    src = tmp_path / "in.pgm"
    write_pnm(src, rng.integers(0, 256, size=(3, 4), dtype=np.uint8))
    for options in (["--container=0"], ["--container=1"]):
        cjxl(src, tmp_path / "noext", "-d", "0", *options)
        with Image.open(tmp_path / "noext") as im:
            assert im.format == "JXL" and im.get_format_mimetype() == "image/jxl"


def test_premultiplied_alpha_comes_as_stored_like_djxl(tmp_path):
    # libjxl leaves associated alpha as stored unless asked, and so does djxl
    path = fixture(tmp_path, "uint", 8, 4, 6, 5, "--premultiplied")
    (size, mode), im = opened(path)
    assert (size, mode) == ((6, 5), "RGBA")
    np.testing.assert_array_equal(pillow_array(im), read_pnm(djxl(path, tmp_path / "ref.pam")))


def jxl_of(tmp_path, kind):
    """A small JPEG XL file: pixels of a mode, or a JPEG's reconstruction data."""
    if kind.startswith("jpeg"):
        return cjxl(make_jpeg(tmp_path, (6, 5) if kind == "jpeg L" else (6, 5, 3), "-quality", "90"), tmp_path / "j.jxl")
    if kind == "F":
        write_pfm(tmp_path / "in.pfm", rng.random((6, 5), dtype=np.float32))
        return cjxl(tmp_path / "in.pfm", tmp_path / "a.jxl", "-d", "0")
    shape = {"L": (6, 5), "LA": (6, 5, 2), "RGB": (6, 5, 3), "RGBA": (6, 5, 4), "I;16": (6, 5)}[kind]
    dtype = np.uint16 if kind == "I;16" else np.uint8
    write_pnm(tmp_path / "in.pnm", rng.integers(0, 200, size=shape, dtype=dtype))
    return cjxl(tmp_path / "in.pnm", tmp_path / "a.jxl", "-d", "0")


@pytest.mark.parametrize("kind, mapped", [
    ("L", True), ("RGBA", True), ("I;16", True), ("LA", False), ("RGB", False), ("F", False),
    ("jpeg L", False), ("jpeg RGB", False),
])
def test_pixels_written_after_load_read_back(tmp_path, kind, mapped):
    im = Image.open(io.BytesIO(jxl_of(tmp_path, kind)))
    px = im.load()
    assert im.readonly == mapped  # the decoded bytes in place where Pillow can hold them
    before = np.asarray(im).copy()
    value = {"L": 250, "LA": (250, 251), "RGB": (250, 251, 252), "RGBA": (250, 251, 252, 253),
             "I;16": 65000, "F": 2.5}[im.mode]
    px[1, 2] = value
    assert px[1, 2] == value and im.getpixel((1, 2)) == value and im.load()[1, 2] == value
    after = np.array(im)
    assert after[2, 1].tolist() == (list(value) if isinstance(value, tuple) else value)
    after[2, 1] = before[2, 1]
    assert (after == before).all() and not im.readonly
    # an access object taken before another write follows the image's copy
    im = Image.open(io.BytesIO(jxl_of(tmp_path, kind)))
    px = im.load()
    im.putpixel((0, 0), value)
    assert px[0, 0] == value
