"""im.save(..., save_all=True) of more than one frame: the frames of the
image and of append_images (each with all of its own frames) written as one
JPEG XL animation, a frame at a time, with the still save's options (one
frame in all is the plug-in's still save)."""

from __future__ import annotations

import io
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO

from PIL import Image, ImageCms, ImageSequence

from . import _native, colour, layouts, save_options, timing
from .save_options import SaveOptions, encodable, icc_option

# The target mode for each kind of frame: colour beats grey, alpha beats
# none, and among opaque grey the deeper wins.
_GREY_DEPTH = ("L", "I;16", "F")


@dataclass
class _Frame:
    """What the first pass learns of a frame, without keeping its pixels."""

    mode: str  # as the still save would write it
    size: tuple[int, int]
    duration: object  # its own info["duration"], or None


def frame_count(im: Image.Image) -> int:
    """The frames save_all would write: the image's and append_images'."""
    sources = [im, *im.encoderinfo.get("append_images", [])]
    return sum(getattr(source, "n_frames", 1) for source in sources)


def save_all(im: Image.Image, fp: IO[bytes]) -> None:
    sources = [im, *im.encoderinfo.get("append_images", [])]
    options = SaveOptions.of(im)
    frames: list[_Frame] = []
    profile: bytes | None = None
    for f in _every_frame(sources):
        if not frames:  # the animation's profile: the first frame's, as the still save stores it
            profile = encodable(f, icc_option(im, f))[1]
        frames.append(_Frame(save_options.encoded_mode(f), f.size, f.info.get("duration")))
    mode = _widest(frame.mode for frame in frames)
    if profile is not None and colour.colour_space(profile) != save_options.PROFILE_SPACES.get(mode):
        profile = None  # a grey profile, and colour frames among the rest
    size = frames[0].size
    for index, seen in enumerate(frames):
        if seen.size != size:
            msg = (f"JPEG XL: every frame of an animation has the first one's size, {size[0]}x{size[1]}; "
                   f"frame {index} is {seen.size[0]}x{seen.size[1]}")
            raise ValueError(msg)
    numerator, denominator, ticks = timing.to_ticks(_durations(im, frames))
    layout = layouts.encoded(mode)
    assert layout is not None
    try:
        encoder = _native.AnimationEncoder(
            size[0], size[1], layout.channels, layout.sample, 0, options.lossless, options.quality,
            options.effort, options.decoding_speed, numerator, denominator, _loop(im), mode == "F", profile,
            options.use_container, options.num_threads, options.orientation, *options.progression)
        for kind, box in (("exif", options.exif), ("xmp", options.xmp)):
            if box:
                encoder.add_box(kind, box, options.compress_metadata)
        for frame, duration in zip(_every_frame(sources), ticks, strict=True):
            pixels, own = encodable(frame, icc_option(im, frame))
            pixels = _in_profile(_unified(pixels, mode), own, profile)
            encoder.add_frame(save_options.packed(pixels, layout), duration, "")
        data = encoder.finish()
    except (ValueError, RuntimeError) as e:
        raise OSError(f"cannot encode JPEG XL animation: {e}") from e
    fp.write(data)


def _in_profile(im: Image.Image, source: bytes | None, target: bytes | None) -> Image.Image:
    """A colour frame whose profile is not the animation's, converted from
    its own (None: sRGB) to the animation's, which the file stores once."""
    if source == target or im.mode not in ("RGB", "RGBA"):
        return im
    if target is None and source is not None:
        return colour.to_srgb(im, source)
    try:
        profiles = [ImageCms.ImageCmsProfile(io.BytesIO(p)) if p else ImageCms.createProfile("sRGB")
                    for p in (source, target)]
        converted = ImageCms.profileToProfile(im, profiles[0], profiles[1], outputMode=im.mode,
                                              renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC)
    except (OSError, ImageCms.PyCMSError) as e:
        msg = f"cannot convert a frame to the animation's ICC profile: {e}"
        raise OSError(msg) from e
    assert converted is not None
    return converted


def _every_frame(sources: list[Image.Image]) -> Iterator[Image.Image]:
    """Each frame of each source in turn, loaded; every source is left at the
    frame it was at."""
    for source in sources:
        position = source.tell()
        try:
            for frame in ImageSequence.Iterator(source):
                frame.load()
                yield frame
        finally:
            source.seek(position)


def _widest(modes: Iterator[str]) -> str:
    found = set(modes)
    alpha = bool(found & {"LA", "RGBA"})
    if found & {"RGB", "RGBA"}:
        return "RGBA" if alpha else "RGB"
    if alpha:
        return "LA"
    return max(found, key=_GREY_DEPTH.index)


def _unified(im: Image.Image, mode: str) -> Image.Image:
    """`im` (in a mode the still save writes) in the animation's mode: grey
    samples keep their 0..1 scale between depths ("L" 0..255, "I;16"
    0..65535, "F" 0.0..1.0)."""
    if im.mode == mode:
        return im
    full = {"L": 255.0, "I;16": 65535.0, "F": 1.0}
    if mode in ("I;16", "F"):  # from a shallower grey
        scale = full[mode] / full[im.mode]
        wide = im.convert("F").point(lambda v: v * scale)
        return wide if mode == "F" else wide.convert("I").convert("I;16")
    if im.mode in ("I;16", "F"):  # to 8 bits, rounded and limited to 0..255
        scale = 255.0 / full[im.mode]
        im = im.convert("F").point(lambda v: v * scale + 0.5).convert("L")
    return im.convert(mode)


def _durations(im: Image.Image, frames: list[_Frame]) -> list[float]:
    """ms per frame: the duration option (a number, or one per frame), else
    each frame's own info["duration"], else 100."""
    given = im.encoderinfo.get("duration")
    if given is None:
        own = [100 if frame.duration is None else frame.duration for frame in frames]
        return timing.check_durations(own)
    if isinstance(given, (list, tuple)):
        if len(given) != len(frames):
            msg = f"duration has {len(given)} entries for {len(frames)} frames"
            raise ValueError(msg)
        return timing.check_durations(given)
    return timing.check_durations([given] * len(frames))


def _loop(im: Image.Image) -> int:
    """The plays asked for, else the image's own (a GIF's loop is converted:
    it counts repeats)."""
    loop = im.encoderinfo["loop"] if "loop" in im.encoderinfo else timing.plays(im.format, im.info.get("loop"))
    return save_options.check_int("loop", loop, 0, timing.MAX_TICKS, wrong_type=ValueError)
