"""Truncated and progressive files: the progressive decoder fed in random
pieces against the whole decode and djxl; its stages against libjxl's own
progressive output (djxl --downsampling=8); preview() of prefixes; the
plug-in's loads of files cut at every tenth with and without
ImageFile.LOAD_TRUNCATED_IMAGES against djxl --allow_partial_files;
animations cut at and inside frames; and ImageFile.Parser."""

import io
import random
import threading

import numpy as np
import pytest
from PIL import Image, ImageFile, ImageSequence

import tessara_pillow
from jxltools import cjxl, djxl, run, tool, write_pnm
from reliability import ticks_during
from tessara_pillow import ProgressiveDecoder, decode_array, encode_array, preview

W, H = 720, 540  # 3 x 3 groups: the preview and the passes are stages of their own


def photo(channels=3, dtype=np.uint8, seed=5, size=(H, W)):
    """Smooth shading, hard-edged blocks and grain, as a photo has them."""
    h, w = size
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w] / np.float64(h)
    planes = []
    for c in range(channels):
        v = 0.5 + 0.3 * np.sin(x * (7 + 3 * c) + y * 5) * np.cos(y * 9 - c)
        v = np.where(((x * 9).astype(int) + (y * 7).astype(int)) % 5 == 0, 0.2 + 0.2 * c, v)
        planes.append(v + rng.normal(0, 0.02, (h, w)))
    if channels in (2, 4):
        planes[-1] = np.where(x < w / h / 2, 1.0, 0.5)
    top = np.iinfo(dtype).max
    return (np.clip(np.dstack(planes), 0, 1) * top + 0.5).astype(dtype).squeeze()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Files as cjxl writes them from photo-like pictures, by name."""
    tmp = tmp_path_factory.mktemp("progressive")
    write_pnm(tmp / "rgb.ppm", photo())
    write_pnm(tmp / "rgba.pam", photo(4))
    write_pnm(tmp / "grey16.pgm", photo(1, np.uint16))
    run(tool("cjpeg"), "-quality", "90", "-outfile", tmp / "in.jpg", tmp / "rgb.ppm")
    return {
        "lossy": cjxl(tmp / "rgb.ppm", tmp / "lossy.jxl", "-d", "1"),
        "progressive": cjxl(tmp / "rgb.ppm", tmp / "progressive.jxl", "-d", "1", "-p"),
        "lossless": cjxl(tmp / "rgb.ppm", tmp / "lossless.jxl", "-d", "0", "-e", "1"),
        "alpha": cjxl(tmp / "rgba.pam", tmp / "alpha.jxl", "-d", "1"),
        "grey16": cjxl(tmp / "grey16.pgm", tmp / "grey16.jxl", "-d", "0", "-e", "1"),
        "jpeg": cjxl(tmp / "in.jpg", tmp / "jpeg.jxl"),
    }


def whole_load(data):
    with Image.open(io.BytesIO(data)) as im:
        im.load()
        return np.asarray(im)


def djxl_pixels(tmp_path, data, *options):
    """libjxl's own decode through djxl (PNG, read by Pillow); None where
    djxl refuses."""
    src = tmp_path / "in.jxl"
    src.write_bytes(data)
    try:
        out = djxl(src, tmp_path / "out.png", *options)
    except Exception:
        return None
    with Image.open(out) as im:
        return np.asarray(im)


def feed_randomly(decoder, data, largest, seed):
    rng = random.Random(seed)
    stages, at = [], 0
    while at < len(data):
        n = rng.randint(1, largest)
        stage = decoder.feed(data[at:at + n])
        at += n
        if not stages or stages[-1] != stage:
            stages.append(stage)
            if stage == "none":
                assert decoder.image() is None and decoder.array() is None
    return stages


def first_prefix(data, stage):
    """The fewest bytes from which preview() gives `stage` or later."""
    order = tessara_pillow.progressive.STAGES
    lo, hi = 1, len(data)
    while lo < hi:
        mid = (lo + hi) // 2
        if order.index(preview(data[:mid])[1]) >= order.index(stage):
            hi = mid
        else:
            lo = mid + 1
    return lo


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 10 * np.log10(255.0**2 / mse) if mse else np.inf


# ---- The progressive decoder -------------------------------------------------------


@pytest.mark.parametrize("largest", [1500, 65536, 1 << 22])
@pytest.mark.parametrize("name", ["lossy", "progressive", "lossless", "alpha", "grey16", "jpeg"])
def test_fed_in_random_pieces_the_last_picture_is_the_whole_decode(files, tmp_path, name, largest):
    data = files[name]
    decoder = ProgressiveDecoder()
    stages = feed_randomly(decoder, data, largest, seed=len(data) + largest)
    order = tessara_pillow.progressive.STAGES
    assert [order.index(s) for s in stages] == sorted(order.index(s) for s in stages)
    assert stages[-1] == "complete" and decoder.bytes_fed == len(data)
    np.testing.assert_array_equal(decoder.array(), decode_array(data))
    image = decoder.image()
    assert image.size == (W, H) and image.mode == decoder.mode
    reference = djxl_pixels(tmp_path, data)
    if name == "jpeg":  # Image.open gives the rebuilt JPEG; these are libjxl's pixels
        np.testing.assert_array_equal(np.asarray(image), reference)
    else:
        np.testing.assert_array_equal(np.asarray(image), whole_load(data))
        if name != "grey16":  # Pillow reads djxl's 16-bit PNG as 32-bit "I"
            np.testing.assert_array_equal(np.asarray(image), reference)
    assert image.info["icc_profile"] == decoder.icc_profile != b""


@pytest.mark.parametrize("name", ["lossy", "progressive"])
def test_the_preview_is_libjxls_own(files, tmp_path, name):
    data = files[name]
    at = first_prefix(data, "preview")
    decoder = ProgressiveDecoder(num_threads=0)
    assert decoder.feed(data[:at]) == "preview"
    # djxl stops the whole file at the same stage and draws it.
    np.testing.assert_array_equal(np.asarray(decoder.image()), djxl_pixels(tmp_path, data, "--downsampling=8"))
    full = whole_load(data)
    eighth = full[: H // 8 * 8, : W // 8 * 8].reshape(H // 8, 8, W // 8, 8, 3).mean(axis=(1, 3))
    shown = np.asarray(decoder.image())[: H // 8 * 8, : W // 8 * 8].reshape(H // 8, 8, W // 8, 8, 3).mean(axis=(1, 3))
    assert psnr(shown, eighth) > 30


def test_stages_come_in_order_and_refine(files):
    data = files["progressive"]
    full = whole_load(data)
    at = {stage: first_prefix(data, stage) for stage in ("preview", "pass", "complete")}
    assert at["preview"] < at["pass"] < at["complete"] == len(data)
    assert at["preview"] < len(data) / 2
    pictures = [preview(data[: at[stage]]) for stage in ("preview", "pass", "complete")]
    assert [stage for _, stage in pictures] == ["preview", "pass", "complete"]
    quality = [psnr(np.asarray(image), full) for image, _ in pictures]
    assert quality[0] < quality[1] < quality[2] == np.inf


def test_nothing_before_the_first_stage(files):
    data = files["lossy"]
    at = first_prefix(data, "preview")
    assert preview(data[:10]) == (None, "none")
    decoder = ProgressiveDecoder()
    assert decoder.size is None and decoder.mode is None
    assert decoder.feed(data[: at - 1]) == "none"
    assert decoder.size == (W, H) and decoder.mode == "RGB"
    assert decoder.image() is None and decoder.array() is None
    assert decoder.feed(data[at - 1 : at]) == "preview"
    assert decoder.image() is not None


def test_pictures_handed_out_are_the_callers(files):
    data = files["progressive"]
    at = first_prefix(data, "preview")
    decoder = ProgressiveDecoder()
    decoder.feed(data[:at])
    early = decoder.array()
    early_copy = early.copy()
    image = decoder.image()
    kept = np.asarray(image).copy()
    decoder.feed(data[at:])
    assert decoder.stage == "complete"
    np.testing.assert_array_equal(early, early_copy)  # not written by the decode that went on
    np.testing.assert_array_equal(np.asarray(image), kept)
    early[:] = 0  # its own memory
    np.testing.assert_array_equal(decoder.array(), decode_array(data))
    # The whole image is handed to Pillow as decoded; a write copies it first.
    whole = decoder.image()
    whole.putpixel((0, 0), (1, 2, 3))
    whole.paste((9, 9, 9), (0, 0, 50, 50))
    np.testing.assert_array_equal(np.asarray(decoder.image()), whole_load(data))
    np.testing.assert_array_equal(decoder.array(), decode_array(data))


def test_more_bytes_after_the_image_are_ignored(files):
    decoder = ProgressiveDecoder()
    decoder.feed(files["lossy"])
    assert decoder.feed(b"\0" * 100) == "complete"
    np.testing.assert_array_equal(decoder.array(), decode_array(files["lossy"]))


def test_an_animation_gives_its_first_frame():
    frames = np.stack([photo(seed=s, size=(60, 80)) for s in range(3)])
    data = encode_array(frames, duration=40, lossless=True, effort=1)
    decoder = ProgressiveDecoder()
    assert decoder.feed(data) == "complete"
    np.testing.assert_array_equal(decoder.array(), frames[0])


@pytest.mark.parametrize("data, error, words", [
    (b"\x89PNG\r\n\x1a\n" + bytes(100), ValueError, "not a JPEG XL file"),
    (b"\xff\x0a" + bytes(range(256)) * 4, ValueError, "corrupt"),
])
def test_bad_bytes_are_errors_every_time(data, error, words):
    decoder = ProgressiveDecoder()
    for _ in range(2):
        with pytest.raises(error, match=words):
            decoder.feed(data)
    with pytest.raises(error, match=words):
        preview(data)


def test_a_file_too_large_fails_before_its_pixels():
    from jxltools import declared_codestream

    decoder = ProgressiveDecoder()
    with pytest.raises(ValueError, match="more pixels than the limit"):
        decoder.feed(declared_codestream())


@pytest.mark.parametrize("num_threads, error", [(1.5, TypeError), (True, TypeError), (2000, ValueError)])
def test_bad_thread_counts(num_threads, error):
    with pytest.raises(error):
        ProgressiveDecoder(num_threads=num_threads)


def test_threads_and_pools_decode_alike(files):
    data = files["progressive"]
    results = {}

    def work(threads):
        decoder = ProgressiveDecoder(num_threads=threads)
        feed_randomly(decoder, data, 20000, seed=threads)
        results[threads] = decoder.array()

    workers = [threading.Thread(target=work, args=(n,)) for n in (0, 1, 2, -1)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert sorted(results) == [-1, 0, 1, 2]
    for array in results.values():
        np.testing.assert_array_equal(array, decode_array(data))


def test_the_lock_is_released_while_feeding(tmp_path):
    write_pnm(tmp_path / "big.ppm", np.random.default_rng(3).integers(0, 256, (1200, 1200, 3), dtype=np.uint8))
    data = cjxl(tmp_path / "big.ppm", tmp_path / "big.jxl", "-d", "0", "-e", "2")
    assert ticks_during(lambda: ProgressiveDecoder(num_threads=1).feed(data)) > 1000
    # Meanwhile the decoder refuses a second thread, rather than race with it.
    decoder = ProgressiveDecoder(num_threads=1)
    feeding = threading.Thread(target=decoder.feed, args=(data,))
    refused = set()
    feeding.start()
    while feeding.is_alive():
        for use in (lambda: decoder.stage, lambda: decoder.size, lambda: decoder.feed(b""), decoder.image):
            try:
                use()
            except RuntimeError as e:
                refused.add(str(e))
    feeding.join()
    assert refused == {"the object is in use by another thread"}
    assert decoder.stage == "complete"


# ---- The plug-in with files cut short ---------------------------------------------


@pytest.fixture
def truncated_allowed(monkeypatch):
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)


TENTHS = [k / 10 for k in range(1, 10)]


@pytest.mark.parametrize("fraction", TENTHS)
@pytest.mark.parametrize("name", ["lossy", "progressive", "lossless", "alpha", "grey16"])
def test_a_cut_file_is_an_error_without_the_flag(files, name, fraction):
    cut = files[name][: int(len(files[name]) * fraction)]
    with Image.open(io.BytesIO(cut)) as im, pytest.raises(OSError, match="truncated"):
        im.load()


@pytest.mark.parametrize("fraction", TENTHS)
@pytest.mark.parametrize("name", ["lossy", "progressive", "lossless", "alpha", "grey16", "jpeg"])
def test_with_the_flag_a_cut_file_gives_what_libjxl_draws(files, tmp_path, truncated_allowed, name, fraction):
    data = files[name]
    cut = data[: int(len(data) * fraction)]
    with Image.open(io.BytesIO(cut)) as im:
        im.load()
        got = np.asarray(im)
        assert im.size == (W, H) and im.mode == Image.open(io.BytesIO(data)).mode
    reference = djxl_pixels(tmp_path, cut, "--allow_partial_files")
    if reference is None:  # "no preview available yet": nothing drawn
        assert not got.any()
    elif name == "grey16":
        np.testing.assert_array_equal(got, reference.astype(np.uint16))
    else:
        np.testing.assert_array_equal(got, reference)


def test_with_the_flag_corrupt_bytes_still_fail(files, truncated_allowed):
    data = bytearray(files["lossy"][: len(files["lossy"]) // 2])
    data[200:260] = bytes(60)
    with Image.open(io.BytesIO(bytes(data))) as im, pytest.raises(OSError, match="cannot decode JPEG XL image"):
        im.load()


# ---- Animations cut short ----------------------------------------------------------


def noisy_frames(count=4):
    return np.random.default_rng(count).integers(0, 256, size=(count, 40, 56, 3), dtype=np.uint8)


def frame_end(data, k):
    """The fewest bytes from which frame k decodes: where its data ends."""
    lo, hi = 1, len(data)
    while lo < hi:
        mid = (lo + hi) // 2
        try:
            tessara_pillow._native.FrameDecoder(data[:mid], "uint8", 3, False, 0).decode(k)
            hi = mid
        except (ValueError, IndexError):
            lo = mid + 1
    return lo


@pytest.mark.parametrize("k", [0, 1, 2])
def test_an_animation_cut_at_the_end_of_a_frame_gives_that_frame(k):
    frames = noisy_frames()
    data = encode_array(frames, duration=30, lossless=True, effort=1)
    cut = data[: frame_end(data, k)]
    im = Image.open(io.BytesIO(cut))
    assert im.n_frames == k + 2  # the frames that are whole and the one missing
    shown = []
    with pytest.raises(OSError, match=f"^cannot decode JPEG XL animation: frame {k + 1}: the file is truncated$"):
        for frame in ImageSequence.Iterator(im):
            shown.append(np.asarray(frame))
    assert len(shown) == k + 1
    for i, pixels in enumerate(shown):
        np.testing.assert_array_equal(pixels, frames[i])
    np.testing.assert_array_equal(decode_array(cut, index=k), frames[k])


@pytest.mark.parametrize("where", ["at the end", "inside"])
@pytest.mark.parametrize("k", [1, 2])
def test_with_the_flag_an_animation_gives_its_whole_frames(truncated_allowed, k, where):
    frames = noisy_frames()
    data = encode_array(frames, duration=30, lossless=True, effort=1)
    end = frame_end(data, k)
    cut = data[:end] if where == "at the end" else data[: (end + frame_end(data, k + 1)) // 2]
    im = Image.open(io.BytesIO(cut))
    assert im.n_frames == k + 1
    shown = [np.asarray(frame) for frame in ImageSequence.Iterator(im)]
    assert len(shown) == k + 1
    for i, pixels in enumerate(shown):
        np.testing.assert_array_equal(pixels, frames[i])


def test_with_the_flag_an_animation_without_a_whole_frame_gives_what_arrived(truncated_allowed):
    frames = noisy_frames()
    data = encode_array(frames, duration=30, lossless=True, effort=1)
    im = Image.open(io.BytesIO(data[: frame_end(data, 0) // 2]))
    assert im.n_frames == 1
    im.load()
    assert im.size == (56, 40) and im.mode == "RGB"


# ---- ImageFile.Parser --------------------------------------------------------------


def parse(data, largest, seed=1):
    parser = ImageFile.Parser()
    rng = random.Random(seed)
    at = 0
    while at < len(data):
        n = rng.randint(1, largest)
        parser.feed(data[at:at + n])
        at += n
    return parser.close()


@pytest.mark.parametrize("largest", [97, 8192, 1 << 22])
@pytest.mark.parametrize("name", ["lossy", "progressive", "lossless", "alpha", "grey16", "jpeg"])
def test_parser_gives_what_image_open_gives(files, name, largest):
    data = files[name]
    im = parse(data, largest, seed=largest)
    with Image.open(io.BytesIO(data)) as whole:
        whole.load()
        assert (im.mode, im.size) == (whole.mode, whole.size)
        np.testing.assert_array_equal(np.asarray(im), np.asarray(whole))
        assert im.info.get("icc_profile") == whole.info.get("icc_profile")
        assert im.info.get("exif") == whole.info.get("exif")


def test_parser_gives_an_animation():
    frames = noisy_frames()
    data = encode_array(frames, duration=30, lossless=True, effort=1)
    im = parse(data, 500)
    assert im.n_frames == len(frames)
    for frame, expected in zip(ImageSequence.Iterator(im), frames, strict=True):
        np.testing.assert_array_equal(np.asarray(frame), expected)


@pytest.mark.parametrize("largest", [500, 1 << 22])
def test_parser_with_data_cut_short(files, monkeypatch, largest):
    cut = files["lossy"][: len(files["lossy"]) // 2]
    with pytest.raises(OSError, match="truncated"):
        parse(cut, largest)
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)
    np.testing.assert_array_equal(np.asarray(parse(cut, largest)), whole_load(cut))
