"""Animations: files made by Pillow (GIF, APNG, WebP), by cjxl from them and
by the plug-in's save_all, read back frame by frame against Pillow's own
reading of the source; djxl's APNG of what the plug-in wrote judged by
Pillow's APNG reader; seeks in every order; decode_array and encode_array
with frames; the converter both ways on a folder; broken animations; and
the memory of playing a long one."""

import io
import itertools
import os
import re
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from PIL import Image, ImageSequence

import tessara_pillow
from jxltools import cjxl, djxl, fixture_tool, jxlinfo, run, tool
from reliability import UNDER_SANITIZER
from tessara_pillow import _native, decode_array, encode_array, facts, jxl_info, timing
from tessara_pillow.convert import main

W, H = 48, 32
DURATIONS = [100, 40, 250, 70]
rng = np.random.default_rng(18)


def frames_of(mode, count=len(DURATIONS), size=(W, H)):
    """Frames that differ everywhere, with a few colours (so GIF keeps them)
    and, with alpha, transparent and half-transparent areas."""
    w, h = size
    y, x = np.mgrid[0:h, 0:w]
    out = []
    for k in range(count):
        rgb = np.dstack([(x * 8 + k * 40) % 256, (y * 16 + k * 70) % 256, ((x + y + k) % 4) * 60]).astype(np.uint8)
        if mode == "RGBA":
            alpha = np.where(x < w // 3, 0, np.where(x < 2 * w // 3, 128, 255)).astype(np.uint8)
            out.append(Image.fromarray(np.dstack([rgb, alpha]), "RGBA"))
        else:
            out.append(Image.fromarray(rgb, "RGB").convert(mode))
    return out


# Sources made by Pillow: (format, mode of the frames, loop, save options).
SOURCES = {
    "gif": ("GIF", "RGB", 2, {}),
    "apng": ("PNG", "RGBA", 3, {}),
    "webp": ("WEBP", "RGBA", 0, {"lossless": True}),
}
# How often each plays: a GIF's loop counts the repeats after the first play.
PLAYS = {"gif": 3, "apng": 3, "webp": 0}


def source_file(directory, name, stem="source"):
    fmt, mode, loop, options = SOURCES[name]
    frames = frames_of(mode)
    path = directory / f"{stem}.{name}"
    frames[0].save(path, fmt, save_all=True, append_images=frames[1:], duration=DURATIONS, loop=loop, **options)
    return path


def played(im):
    """(RGBA pixels, duration, timestamp) of every frame, through ImageSequence."""
    out = []
    for frame in ImageSequence.Iterator(im):
        frame.load()  # WebP sets the duration here
        out.append((np.asarray(frame.convert("RGBA")), frame.info.get("duration"), frame.info.get("timestamp")))
    return out


def jxl_of(tmp_path, name, maker):
    """The source as JPEG XL, losslessly: by save_all, or by cjxl (which
    cannot read animated WebP)."""
    source = source_file(tmp_path, name)
    if maker == "cjxl":
        return source, cjxl(source, tmp_path / "cjxl.jxl", "-d", "0")
    out = io.BytesIO()
    with Image.open(source) as im:
        im.save(out, "JXL", save_all=True, lossless=True)
    return source, out.getvalue()


# cjxl does not read animated WebP.
@pytest.mark.parametrize("name, maker", [(n, m) for n in SOURCES for m in ("save_all", "cjxl") if (n, m) != ("webp", "cjxl")])
def test_every_frame_duration_timestamp_and_loop_as_the_source(tmp_path, name, maker):
    source, data = jxl_of(tmp_path, name, maker)
    with Image.open(source) as src:
        expected = played(src)
    im = Image.open(io.BytesIO(data))
    assert im.is_animated and im._im is None, "open decoded pixels"
    assert im.n_frames == len(DURATIONS) and im._im is None, "n_frames decoded pixels"
    assert im.tell() == 0 and im.info["duration"] == DURATIONS[0] and im.info["timestamp"] == 0
    got = played(im)
    assert len(got) == len(expected)
    starts = np.cumsum([0, *DURATIONS[:-1]]).tolist()
    for k, ((pixels, duration, timestamp), (want, *_)) in enumerate(zip(got, expected, strict=True)):
        np.testing.assert_array_equal(pixels, want, err_msg=f"frame {k}")
        assert (duration, timestamp) == (DURATIONS[k], starts[k])
    if maker == "save_all":  # cjxl 0.11 keeps no loop count but forever
        assert im.info["loop"] == PLAYS[name]


@pytest.mark.parametrize("name", SOURCES)
def test_seeks_in_every_order_give_the_same_frames(tmp_path, name):
    _, data = jxl_of(tmp_path, name, "save_all")
    reference = [pixels for pixels, *_ in played(Image.open(io.BytesIO(data)))]
    im = Image.open(io.BytesIO(data))
    starts = np.cumsum([0, *DURATIONS[:-1]]).tolist()
    for order in itertools.permutations(range(len(DURATIONS))):
        for k in order:
            im.seek(k)
            assert (im.tell(), im.info["duration"], im.info["timestamp"]) == (k, DURATIONS[k], starts[k])
            np.testing.assert_array_equal(np.asarray(im.convert("RGBA")), reference[k], err_msg=f"{order}: {k}")
    for outside in (len(DURATIONS), -1):
        with pytest.raises(EOFError):
            im.seek(outside)


def read_apng(path):
    with Image.open(path) as im:
        assert im.format == "PNG"
        return played(im), im.info.get("loop")


@pytest.mark.parametrize("name", SOURCES)
def test_djxl_plays_what_save_all_wrote(tmp_path, name):
    source, data = jxl_of(tmp_path, name, "save_all")
    (tmp_path / "saved.jxl").write_bytes(data)
    frames, loop = read_apng(djxl(tmp_path / "saved.jxl", tmp_path / "djxl.png"))
    with Image.open(source) as src:
        expected = played(src)
    assert loop == PLAYS[name]
    assert len(frames) == len(expected)
    for k, ((pixels, duration, _), (want, *_)) in enumerate(zip(frames, expected, strict=True)):
        np.testing.assert_array_equal(pixels, want, err_msg=f"frame {k}")
        assert duration == DURATIONS[k]


@pytest.mark.parametrize(
    "durations, ticks_per_second, read_back, starts",
    [
        ([100, 40, 250], 1000, [100, 40, 250], [0, 100, 140]),
        # 1/30 s: exact ticks, milliseconds rounded from the exact times
        ([1000 / 30] * 3, 3000, [33, 33, 33], [0, 33, 67]),
        # a GIF frame of 0 ms stays a frame of its own, and reads as 0 ms
        ([100, 0, 50], 10000, [100, 0, 50], [0, 100, 100]),
        # too long for APNG's 16-bit delays at the exact rate: whole ms
        ([40_000, 0.5], 1000, [40_000, 1], [0, 40_000]),
    ],
)
def test_durations_are_exact_ticks_and_rounded_milliseconds(tmp_path, durations, ticks_per_second, read_back, starts):
    frames = np.stack([np.asarray(f) for f in frames_of("RGB", len(durations))])
    data = encode_array(frames, duration=durations, lossless=True, effort=1)
    walked = facts.read(data)
    assert walked.ticks_per_second == (ticks_per_second, 1)
    im = Image.open(io.BytesIO(data))
    assert [(im.seek(k), im.info["duration"], im.info["timestamp"])[1:] for k in range(im.n_frames)] == \
        list(zip(read_back, starts, strict=True))
    (tmp_path / "t.jxl").write_bytes(data)
    apng, _ = read_apng(djxl(tmp_path / "t.jxl", tmp_path / "t.png"))
    ticks = [frame.ticks for frame in walked.frames]
    assert [d for _, d, _ in apng] == pytest.approx([t * 1000 / ticks_per_second for t in ticks])


@pytest.mark.parametrize("bad, error", [([1, 2], ValueError), (-1, ValueError), (float("nan"), ValueError),
                                        ("100", TypeError), (2.0**40, ValueError)])
def test_bad_durations_are_refused(bad, error):
    frames = frames_of("RGB", 3)
    with pytest.raises(error):
        frames[0].save(io.BytesIO(), "JXL", save_all=True, append_images=frames[1:], duration=bad)
    with pytest.raises(error):
        encode_array(np.stack([np.asarray(f) for f in frames]), duration=bad)


def saved(frames, **options):
    out = io.BytesIO()
    frames[0].save(out, "JXL", save_all=True, append_images=frames[1:], **options)
    return out.getvalue()


@pytest.mark.parametrize(
    "modes, widest",
    [(["L", "RGB"], "RGB"), (["L", "LA"], "LA"), (["RGB", "P", "LA"], "RGBA"), (["1", "L"], "L"),
     (["L", "I;16"], "I;16"), (["I;16", "F", "L"], "F")],
)
def test_frames_of_differing_modes_take_the_widest(modes, widest):
    base = frames_of("RGBA", len(modes))
    frames = [f.convert("LA").convert(m) if m in ("L", "LA", "1") else f.convert(m) for f, m in zip(base, modes)]
    grey_scale = {"I;16": 65535 / 255, "F": 1 / 255}
    for i, m in enumerate(modes):
        if m in grey_scale:  # the 8-bit grey on the deeper scale
            grey = np.asarray(base[i].convert("L"), np.float64) * grey_scale[m]
            frames[i] = Image.fromarray(grey.astype(np.uint16 if m == "I;16" else np.float32), m)
    im = Image.open(io.BytesIO(saved(frames, lossless=True, duration=50)))
    assert (im.mode, im.n_frames) == (widest, len(modes))
    for k, frame in enumerate(frames):
        im.seek(k)
        if widest in grey_scale:
            want = np.asarray(frame.convert("F") if frame.mode != "I;16" else frame, np.float64)
            if frame.mode in ("L", "1"):
                want = np.asarray(frame.convert("L"), np.float64) * grey_scale[widest]
            elif frame.mode == "I;16" and widest == "F":
                want = want / 65535
            np.testing.assert_allclose(np.asarray(im, np.float64), want, atol=1e-3 if widest == "F" else 0.5)
        else:
            np.testing.assert_array_equal(np.asarray(im), np.asarray(frame.convert(widest)), err_msg=f"frame {k}")


def test_still_options_and_metadata_hold_for_animations(tmp_path):
    frames = frames_of("RGB", 3)
    exif = Image.Exif()
    exif[0x013B] = "Ada"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/">animated</x:xmpmeta>'
    lossless = saved(frames, lossless=True, exif=exif, xmp=xmp, duration=[10, 20, 30], loop=5)
    lossy = saved(frames, quality=85, effort=3, decoding_speed=2, num_threads=0, compress_metadata=True, exif=exif)
    for data, options in ((lossless, {"lossless": True}), (lossy, {"quality": 85, "effort": 3, "decoding_speed": 2})):
        im = Image.open(io.BytesIO(data))
        assert im.getexif()[0x013B] == "Ada"
        im.seek(2)
        # each frame is coded as the still save codes it with the same options
        still = Image.open(io.BytesIO(saved([frames[2]], **options)))
        np.testing.assert_array_equal(np.asarray(im), np.asarray(still))
        assert np.array_equal(np.asarray(im), np.asarray(frames[2])) == ("lossless" in options)
    im = Image.open(io.BytesIO(lossless))
    assert im.info["xmp"] == xmp and im.info["loop"] == 5
    (tmp_path / "lossy.jxl").write_bytes(lossy)
    boxes, facts = jxlinfo(tmp_path / "lossy.jxl")
    assert b"brob" in [kind for kind, _ in boxes] and facts["animation"] and not facts["lossless"]
    with pytest.raises(ValueError, match="effort"):
        saved(frames, effort=11)
    # one frame through save_all stays a still image
    still = Image.open(io.BytesIO(saved(frames[:1], duration=40)))
    assert (still.n_frames, still.is_animated) == (1, False)


def test_an_animation_keeps_its_first_frames_profile(tmp_path):
    """A wide-gamut animation keeps its profile and its samples, as a still
    image does; a frame in sRGB among them is converted into that profile."""
    (tmp_path / "p.ppm").write_bytes(b"P6 2 2 255\n" + bytes(12))
    p3 = jxl_info(cjxl(tmp_path / "p.ppm", tmp_path / "p.jxl", "-d", "0", "-x", "color_space=RGB_D65_DCI_Rel_SRG"))
    p3 = p3.icc_profile
    frames = frames_of("RGB", 3)
    for frame in frames[:2]:
        frame.info["icc_profile"] = p3
    data = saved(frames, lossless=True)
    assert jxl_info(data).icc_profile == p3
    im = Image.open(io.BytesIO(data))
    im.load()
    assert im.info["icc_profile"] == p3
    for k in range(2):
        im.seek(k)
        np.testing.assert_array_equal(np.asarray(im), np.asarray(frames[k]))
    im.seek(2)  # sRGB grey stays grey in Display P3 (same white, same transfer)
    srgb_in_p3 = np.asarray(im, np.int16)
    assert not np.array_equal(srgb_in_p3, np.asarray(frames[2]))
    grey = Image.new("RGB", (W, H), (120, 120, 120))
    im = Image.open(io.BytesIO(saved([frames[0], grey], lossless=True)))
    im.seek(1)
    assert np.abs(np.asarray(im, np.int16) - 120).max() <= 1


def test_a_pillow_animation_saves_with_its_own_durations_and_loop():
    """save_all of an opened GIF keeps its durations (a 0 ms frame too) and
    how often it plays without being told (its loop 7 is 8 plays); the
    frames' positions are left as they were."""
    frames = frames_of("RGB", 3)
    gif = io.BytesIO()
    frames[0].save(gif, "GIF", save_all=True, append_images=frames[1:], duration=[100, 0, 50], loop=7)
    with Image.open(gif) as src:
        src.seek(1)
        data = io.BytesIO()
        src.save(data, "JXL", save_all=True, lossless=True)
        assert src.tell() == 1
    im = Image.open(data)
    assert [(im.seek(k), im.info["duration"])[1] for k in range(im.n_frames)] == [100, 0, 50]
    assert im.info["loop"] == 8


DTYPES = {"uint8": 255, "uint16": 4095, "float16": 1.0, "float32": 1.0}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", [1, 2, 3, 4])
def test_encode_array_with_duration_round_trips_every_frame(dtype, channels):
    shape = (3, 9, 14) if channels == 1 else (3, 9, 14, channels)
    top = DTYPES[dtype]
    values = rng.integers(0, 256, size=shape) / 255 * top
    frames = values.astype(dtype) if dtype.startswith("float") else np.round(values).astype(dtype)
    bits = 12 if dtype == "uint16" else None
    data = encode_array(frames, duration=[5, 10, 15], lossless=True, bits_per_sample=bits, effort=2)
    info = jxl_info(data)
    assert info.is_animated and info.dtype == dtype and (info.bits_per_sample == 12) == (bits == 12)
    stack = decode_array(data)
    assert stack.dtype == frames.dtype
    np.testing.assert_array_equal(stack, frames)
    np.testing.assert_array_equal(decode_array(data, index=1), frames[1])
    with pytest.raises(IndexError, match="no frame 3"):
        decode_array(data, index=3)


def test_encode_array_shapes_without_and_with_duration(tmp_path):
    frames = np.stack([np.asarray(f) for f in frames_of("RGB", 3)])
    still = encode_array(frames[0])  # (H, W, 3) without duration: one image
    assert not jxl_info(still).is_animated and decode_array(still).shape == (H, W, 3)
    grey = encode_array(frames[..., 0], duration=20, lossless=True)  # (N, H, W) with duration: grey frames
    assert decode_array(grey).shape == (3, H, W)
    assert decode_array(still, index=0).shape == (H, W, 3)
    with pytest.raises(IndexError):
        decode_array(still, index=1)
    with pytest.raises(ValueError, match="give duration="):
        encode_array(frames)
    with pytest.raises(ValueError, match=r"\(N, H, W\)"):
        encode_array(frames[0, :, :, 0], duration=10)
    with pytest.raises(ValueError, match="no frames"):
        encode_array(frames[:0], duration=10)
    (tmp_path / "a.jxl").write_bytes(encode_array(frames, duration=[30, 40, 50], lossless=True, loop=4))
    apng, loop = read_apng(djxl(tmp_path / "a.jxl", tmp_path / "a.png"))
    assert loop == 4 and [d for _, d, _ in apng] == [30, 40, 50]
    for k, (pixels, _, _) in enumerate(apng):
        np.testing.assert_array_equal(pixels[..., :3], frames[k])


def test_a_frame_still_referred_to_is_never_overwritten():
    """The decoder decodes into the last frame's memory only once nothing
    refers to it: a kept buffer, a view of it, or Pillow's image over it."""
    frames = np.stack([np.asarray(f) for f in frames_of("RGB", 4)])
    data = encode_array(frames, duration=10, lossless=True)
    decoder = _native.FrameDecoder(data, "uint8", 3, False, 0)
    kept = decoder.decode(0)[0]
    view = memoryview(decoder.decode(1)[0])
    for k in (2, 3, 2):
        np.testing.assert_array_equal(np.frombuffer(decoder.decode(k)[0], np.uint8).reshape(H, W, 3), frames[k])
    np.testing.assert_array_equal(np.frombuffer(kept, np.uint8).reshape(H, W, 3), frames[0])
    np.testing.assert_array_equal(np.frombuffer(view, np.uint8).reshape(H, W, 3), frames[1])
    im = Image.open(io.BytesIO(data))
    shown = []
    for frame in ImageSequence.Iterator(im):
        frame.load()
        shown.append(frame.copy() if frame.tell() % 2 else frame.im)  # cores of even frames kept as they are
    for k, kept_frame in enumerate(shown):
        pixels = np.asarray(kept_frame) if k % 2 else np.asarray(Image.new("RGB", (0, 0))._new(kept_frame))
        np.testing.assert_array_equal(pixels, frames[k], err_msg=f"frame {k}")


@pytest.mark.parametrize("mode", ["RGBA", "L"])
def test_a_pixel_access_object_stays_with_its_frame(mode):
    """As Pillow's own: after seek() it reads the frame it was made for and
    writes to none, never into the frame now shown."""
    frames = [np.asarray(f) for f in frames_of(mode, 2)]
    data = encode_array(np.stack(frames), duration=10, lossless=True)
    im = Image.open(io.BytesIO(data))
    px = im.load()
    assert im.readonly  # frames are the decoded buffers: the access object is ours
    im.seek(1)
    im.load()
    value = (1, 2, 3, 4) if mode == "RGBA" else 7
    with pytest.raises(ValueError, match="another frame"):
        px[3, 2] = value
    np.testing.assert_array_equal(np.asarray(im), frames[1])
    assert px[3, 2] == (tuple(frames[0][2, 3]) if mode == "RGBA" else frames[0][2, 3])
    fresh = im.load()  # the object load() gives now writes to frame 1
    fresh[3, 2] = value
    assert im.getpixel((3, 2)) == value


def test_a_box_asked_for_while_a_frame_is_added_finds_the_encoder_busy():
    """add_frame works without the interpreter lock: a box asked for from
    another thread meanwhile must be refused as busy, before the frame count
    that add_frame is changing is read."""
    frame = np.random.default_rng(5).integers(0, 256, (512, 512, 3), dtype=np.uint8)
    encoder = _native.AnimationEncoder(512, 512, 3, "uint8", 0, True, 90.0, 7, 0, 1000, 1, 0, False, None,
                                       False, 1)
    encoder.add_frame(frame, 10, "")
    # libjxl codes a frame when the next one comes: this add_frame takes a while
    adding = threading.Thread(target=encoder.add_frame, args=(frame[::-1].copy(), 10, ""))
    adding.start()
    seen = set()
    while adding.is_alive():
        try:
            encoder.add_box("exif", b"\0\0\0\0II*\0", False)
        except RuntimeError as e:
            seen.add(str(e))
        except ValueError as e:
            seen.add(str(e))
    adding.join()
    assert "the object is in use by another thread" in seen
    assert seen <= {"the object is in use by another thread", "boxes go before the first frame"}
    with pytest.raises(ValueError, match="boxes go before the first frame"):
        encoder.add_box("exif", b"\0\0\0\0II*\0", False)
    assert encoder.frames_added == 2 and encoder.finish()


# ---- broken animations ----------------------------------------------------------


def broken_at(data, k):
    """data cut in the middle of frame k's data: between the shortest
    prefixes whose walks list k and k + 1 whole frames."""
    def listed_at(count):
        lo, hi = 0, len(data)
        while lo < hi:
            mid = (lo + hi) // 2
            try:
                whole = len(facts.read(data[:mid]).frames)
            except ValueError:
                whole = -1
            lo, hi = (lo, mid) if whole >= count else (mid + 1, hi)
        return lo
    return data[:(listed_at(k) + listed_at(k + 1)) // 2]


def noisy_animation(count=5):
    noise = np.random.default_rng(count).integers(0, 256, size=(count, 40, 56, 3), dtype=np.uint8)
    return encode_array(noise, duration=30, lossless=True, effort=1)


@pytest.mark.parametrize("k", [1, 2, 4])
def test_a_truncated_animation_fails_cleanly_at_its_broken_frame(k):
    data = noisy_animation()
    frames = decode_array(data)
    cut = broken_at(data, k)
    im = Image.open(io.BytesIO(cut))
    assert im.is_animated and im.n_frames == k + 1
    seen = []
    with pytest.raises(OSError, match=f"^cannot decode JPEG XL animation: frame {k}: the file is truncated$"):
        for frame in ImageSequence.Iterator(im):
            frame.load()
            seen.append(np.asarray(frame))
    assert len(seen) == k
    for i in reversed(range(k)):  # still readable after the failure
        im.seek(i)
        np.testing.assert_array_equal(np.asarray(im), frames[i])
        np.testing.assert_array_equal(decode_array(cut, index=i), frames[i])
    with pytest.raises(ValueError, match=f"frame {k}: the file is truncated"):
        decode_array(cut)
    with pytest.raises(ValueError, match=f"frame {k}: the file is truncated"):
        decode_array(cut, index=k)


def test_a_corrupted_frame_fails_at_that_frame_and_no_earlier():
    data = bytearray(noisy_animation())
    whole = len(broken_at(bytes(data), 2))
    frames = decode_array(bytes(data))
    # the middle of frame 2's data overwritten; its table of contents stays
    for i in range(whole - 40, whole + 40):
        data[i] ^= 0xA5
    im = Image.open(io.BytesIO(bytes(data)))
    assert im.n_frames == 5  # the walk skips frame data by its table of contents
    for k in range(2):
        im.seek(k)
        np.testing.assert_array_equal(np.asarray(im), frames[k])
    im.seek(2)
    with pytest.raises(OSError, match="^cannot decode JPEG XL animation: frame 2: the file is corrupt$"):
        im.load()
    im.seek(0)
    np.testing.assert_array_equal(np.asarray(im), frames[0])
    with pytest.raises(ValueError, match="frame 2: the file is corrupt"):
        decode_array(bytes(data))


def test_not_even_frame_0_gives_a_clean_exception():
    data = noisy_animation(2)
    im = Image.open(io.BytesIO(broken_at(data, 0)))
    assert im.is_animated
    with pytest.raises(OSError, match="frame 0: the file is truncated"):
        im.load()


# libjxl composites every layer over the whole canvas: a frame built of more
# layers than the limit is refused where the walk of headers finds it,
# before any pixel is decoded, by every reader.
@pytest.mark.parametrize("frames", [1, 3])
def test_a_frame_of_more_layers_than_the_limit_is_refused_everywhere(tmp_path, capsys, frames):
    path = tmp_path / "layers.jxl"
    run(fixture_tool(), path, "layers", 300, 3, 64, 48, "--frames", frames)
    data = path.read_bytes()
    refusal = "frame 0: more than 256 layers to composite into one frame"
    info = jxl_info(data)
    assert (info.is_animated, info.n_frames) == (frames > 1, 1)
    with pytest.raises(ValueError, match=refusal):
        decode_array(data)
    with pytest.raises(ValueError, match=refusal):
        decode_array(data, index=0)
    with Image.open(path) as im, pytest.raises(OSError, match=refusal):
        im.load()
    assert main([str(path), "--to", "png"]) == 1
    assert refusal in capsys.readouterr().err


def test_a_frame_within_the_layer_limit_decodes_as_djxl_composites_it(tmp_path):
    path = tmp_path / "layers.jxl"
    run(fixture_tool(), path, "layers", 256, 3, 64, 48)
    with Image.open(djxl(path, tmp_path / "ref.png")) as ref:
        expected = np.asarray(ref)
    np.testing.assert_array_equal(decode_array(path.read_bytes()), expected)
    with Image.open(path) as im:
        np.testing.assert_array_equal(np.asarray(im), expected)


# ---- converter and memory ---------------------------------------------------------


def test_the_converter_takes_animations_both_ways(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    expected = {}
    for name in SOURCES:
        with Image.open(source_file(src, name, stem=name)) as im:
            expected[name] = (played(im), PLAYS[name])
    frames_of("RGB", 1)[0].save(src / "still.png")
    assert main([str(src), "-o", str(tmp_path / "jxl")]) == 0
    assert sorted(p.name for p in (tmp_path / "jxl").glob("*.jxl")) == ["apng.jxl", "gif.jxl", "still.jxl", "webp.jxl"]
    for name, (frames, plays) in expected.items():
        with Image.open(tmp_path / "jxl" / f"{name}.jxl") as im:
            assert im.is_animated and im.info["loop"] == plays
            got = played(im)
        for k, ((pixels, duration, _), (want, want_duration, _)) in enumerate(zip(got, frames, strict=True)):
            # lossless sources (GIF, APNG, lossless WebP) stay lossless by default
            np.testing.assert_array_equal(pixels, want, err_msg=f"{name} frame {k}")
            assert duration == want_duration
    # back: APNG by default (the still image as PNG), GIF and WebP on request
    for to, fmt, suffix in ((None, "PNG", ".png"), ("gif", "GIF", ".gif"), ("webp", "WEBP", ".webp")):
        back = tmp_path / f"back-{to}"
        assert main([str(tmp_path / "jxl"), "-o", str(back), *(["--to", to] if to else [])]) == 0
        for name, (frames, plays) in expected.items():
            with Image.open(back / f"{name}{suffix}") as im:
                assert im.format == fmt and im.n_frames == len(DURATIONS)
                assert im.info.get("loop") == (plays - 1 if fmt == "GIF" and plays else plays)
                assert [d for _, d, _ in played(im)] == DURATIONS
        with Image.open(back / f"still{suffix}") as im:
            assert getattr(im, "n_frames", 1) == 1
    with Image.open(tmp_path / "back-None" / "gif.png") as im:  # lossless both ways
        for k, (pixels, _, _) in enumerate(played(im)):
            np.testing.assert_array_equal(pixels, expected["gif"][0][k][0])


def jxl_timing(path):
    """(num_loops, frame durations in ms) as jxlinfo reports them."""
    out = subprocess.run([tool("jxlinfo"), "-v", str(path)], capture_output=True, text=True, check=True).stdout
    loops = re.search(r"^num_loops: (\d+)$", out, re.M)
    return int(loops[1]), [float(d) for d in re.findall(r"^frame: .*duration: ([\d.]+) ms", out, re.M)]


def gif_with(path, loop):
    """A GIF of DURATIONS whose NETSCAPE extension holds `loop` (None: none)."""
    frames = frames_of("RGB")
    frames[0].save(path, "GIF", save_all=True, append_images=frames[1:], duration=DURATIONS, loop=loop)
    with Image.open(path) as im:
        assert im.info.get("loop") == loop  # Pillow reads the file's own number
    return path


# A GIF's NETSCAPE loop (None: no extension, one play) -> plays in JPEG XL
# -> the NETSCAPE loop of the GIF it goes back to, and APNG's and WebP's plays.
LOOPS = [(None, 1, None), (0, 0, 0), (1, 2, 1), (2, 3, 2), (65535, 65536, 65535)]


@pytest.mark.parametrize("gif_loop, plays, back", LOOPS)
def test_loop_counts_are_plays_in_jpeg_xl_apng_and_webp_and_repeats_in_gif(tmp_path, gif_loop, plays, back):
    src = tmp_path / "src"
    src.mkdir()
    gif_with(src / "a.gif", gif_loop)
    assert main([str(src), "-o", str(tmp_path / "jxl")]) == 0
    assert jxl_timing(tmp_path / "jxl" / "a.jxl") == (plays, [float(d) for d in DURATIONS])
    for fmt, expected in (("gif", back), ("png", plays), ("webp", min(plays, 65535))):
        assert main([str(tmp_path / "jxl"), "-o", str(tmp_path / fmt), "--to", fmt]) == 0
        with Image.open(tmp_path / fmt / f"a.{fmt}") as im:
            assert im.n_frames == len(DURATIONS) and im.info.get("loop") == expected, fmt
    # and from APNG and WebP, which count plays as JPEG XL does
    for fmt in ("png", "webp"):
        assert main([str(tmp_path / fmt / f"a.{fmt}"), "-o", str(tmp_path / f"again-{fmt}")]) == 0
        assert jxl_timing(tmp_path / f"again-{fmt}" / "a.jxl")[0] == min(plays, 65535 if fmt == "webp" else plays)


def one_picture_animation(path, mode, count=30):
    """A JPEG XL animation of `count` frames of one picture (a few colours,
    so that GIF keeps it), 50 ms each, played twice."""
    frame = frames_of(mode, 1)[0]
    picture = frame.convert("RGB").quantize(64).convert(mode)
    if mode == "RGBA":
        picture.putalpha(frame.getchannel("A"))
    picture.save(path, save_all=True, append_images=[picture] * (count - 1), duration=50, loop=2, lossless=True)
    return picture


@pytest.mark.parametrize("fmt", ["png", "gif", "webp"])
@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_an_animation_of_one_picture_stays_an_animation_of_its_duration(tmp_path, fmt, mode):
    src = tmp_path / "src"
    src.mkdir()
    picture = one_picture_animation(src / "still.jxl", mode)
    assert main([str(src), "-o", str(tmp_path / "out"), "--to", fmt, "--lossless"][: 6 if fmt == "webp" else 5]) == 0
    with Image.open(tmp_path / "out" / f"still.{fmt}") as im:
        assert im.format == ("PNG" if fmt == "png" else fmt.upper()) and im.is_animated
        assert im.info.get("loop") == (1 if fmt == "gif" else 2)
        frames = played(im)
    assert sum(duration for _, duration, _ in frames) == 30 * 50
    want = np.asarray(picture.convert("RGBA"))
    # GIF has no partial transparency, and WebP keeps no colour where nothing shows
    shown = want[..., 3] >= {"gif": 255, "webp": 1, "png": 0}[fmt]
    for k, (pixels, _, _) in enumerate(frames):
        np.testing.assert_array_equal(pixels[shown], want[shown], err_msg=f"frame {k}")
    # and back to JPEG XL: still an animation of 1.5 s played twice
    assert main([str(tmp_path / "out"), "-o", str(tmp_path / "again")]) == 0
    loops, durations = jxl_timing(tmp_path / "again" / "still.jxl")
    assert loops == 2 and sum(durations) == 30 * 50


@pytest.mark.parametrize("transparent", [False, True])
def test_jpeg_xl_to_gif_drops_an_alpha_no_frame_uses(tmp_path, transparent):
    """An opaque alpha channel (cjxl keeps one from GIFs) made Pillow quantise
    RGBA frames, tens of levels off; as RGB they are exact."""
    frames = [f.quantize(200).convert("RGBA") for f in frames_of("RGB")]
    if transparent:  # one frame that uses it: alpha is kept
        frames[0].putalpha(Image.fromarray(np.where(np.arange(W) < 10, 0, 255).astype(np.uint8)[None].repeat(H, 0)))
    src = tmp_path / "src"
    src.mkdir()
    frames[0].save(src / "a.jxl", save_all=True, append_images=frames[1:], duration=DURATIONS, lossless=True)
    assert main([str(src), "-o", str(tmp_path / "out"), "--to", "gif"]) == 0
    with Image.open(tmp_path / "out" / "a.gif") as im:
        got = played(im)
    assert [d for _, d, _ in got] == DURATIONS
    if transparent:
        assert (got[0][0][:, :10, 3] == 0).all() and (got[0][0][:, 10:, 3] == 255).all()
        return
    for k, ((pixels, _, _), want) in enumerate(zip(got, frames, strict=True)):
        np.testing.assert_array_equal(pixels, np.asarray(want), err_msg=f"frame {k}")


# AddressSanitizer holds freed memory in quarantine, so the peak there
# counts every frame ever decoded.
@pytest.mark.skipif(UNDER_SANITIZER, reason="freed memory stays in the sanitizer's quarantine")
def test_playing_a_long_animation_holds_about_one_frame(tmp_path):
    count, w, h = 120, 640, 480
    pan = rng.integers(0, 256, size=(h, w + 4 * count, 3), dtype=np.uint8)
    frames = np.stack([pan[:, 4 * k:4 * k + w] for k in range(count)])
    path = tmp_path / "long.jxl"
    path.write_bytes(encode_array(frames, duration=20, quality=60, effort=1))
    del pan, frames
    probe = textwrap.dedent("""
        import sys
        from PIL import Image, ImageSequence
        import tessara_pillow

        def peak():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

        with Image.open(sys.argv[1]) as im:
            im.seek(0)
            im.load()
            base = peak()
            for frame in ImageSequence.Iterator(im):
                frame.load()
            print(im.n_frames, peak() - base)
    """)
    done = subprocess.run([sys.executable, "-c", probe, str(path)], capture_output=True, text=True, check=True)
    frames_seen, growth_kib = map(int, done.stdout.split())
    frame_kib = w * h * 4 / 1024  # Pillow keeps RGB as 4 bytes a pixel
    assert frames_seen == count
    assert growth_kib < 4 * frame_kib, f"{growth_kib} KiB grew while playing {count} frames of {frame_kib:.0f} KiB"
