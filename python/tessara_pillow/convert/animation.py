"""Animated inputs: which images are animations, the save options that keep
every frame's duration and the loop count in the formats that hold
animations (Pillow's writers read them inconsistently: WebP's takes one
duration and no loop count of its own), and writing them through Pillow's
GIF, APNG and WebP writers, which merge identical consecutive frames: an
animation of one picture would come out as a still image, without its
duration and loop count."""

from __future__ import annotations

import io
import os
import struct
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO, Any

from PIL import Image

from .. import timing
from ..plugin import JxlImageFile
from . import webp_frames
from .planning import JXL, Settings
from .reasons import Refused

# The formats written with every frame (save_all); others hold one picture.
FORMATS = ("JXL", "PNG", "GIF", "WEBP")
_MAX_GIF_LOOP = 0xFFFF
_MAX_WEBP_LOOP = 0xFFFF
_APNG_DISPOSE_NONE, _APNG_DISPOSE_BACKGROUND = 0, 1
_GIF_KEEP = 1  # GIF disposal: the next frame is drawn over this one
_DEEP = ("I", "I;16", "F")  # modes Pillow cannot turn into RGBA

# JPEG XL's quality for an animation from a lossy WebP (stills get 90). Its
# frames carry a loss already, and the WebP codes only what changes from
# frame to frame where JPEG XL here codes whole frames: at 90 such files came
# out up to three times their size, at 75 mostly smaller (docs/converter.md).
LOSSY_ANIMATION_QUALITY = 75


def is_animation(im: Image.Image) -> bool:
    """An animation by its header for JPEG XL (even of one frame, which it
    stays), by its frame count otherwise; an MPO's other pictures are
    previews and depth maps."""
    if isinstance(im, JxlImageFile):
        return im.is_animated
    return getattr(im, "n_frames", 1) > 1 and im.format != "MPO"


def save_options(im: Image.Image, fmt: str, settings: Settings) -> dict[str, Any]:
    """save_all and the options that keep the animation's timing in `fmt`;
    Refused for a format that holds one picture."""
    if fmt not in FORMATS:
        msg = (f"an animation ({getattr(im, 'n_frames', 1)} frames) cannot be written as {fmt}; "
               "--to jxl, png, gif or webp keep its frames")
        raise Refused(msg)
    plays = timing.plays(im.format, im.info.get("loop"))
    options: dict[str, Any] = {"save_all": True, "loop": loop_option(fmt, plays)}
    if fmt == JXL:
        # The plug-in reads each frame's own duration, fractions of a
        # millisecond included.
        if settings.quality is None and not settings.lossless:
            options |= _jxl_defaults(im)
        return options
    options["duration"] = _durations(im)
    return options


def loop_option(fmt: str, plays: int) -> int | None:
    """Pillow's `loop` for `fmt` that plays the animation `plays` times (0:
    forever): GIF counts repeats, None writing no NETSCAPE extension (one
    play); the others count plays. Counts beyond a format's field are capped."""
    if fmt == "GIF":
        return None if plays == 1 else min(max(plays - 1, 0), _MAX_GIF_LOOP)
    if fmt == "WEBP":
        return min(plays, _MAX_WEBP_LOOP)
    return plays


def _jxl_defaults(im: Image.Image) -> dict[str, Any]:
    """An animation from a lossless source (GIF, APNG, lossless WebP) stays
    lossless, its pixels exact (GIF's palettes too, as cjxl keeps them): for
    the drawn content such files hold, lossless JPEG XL came out smaller than
    the source where quality 90 came out up to four times larger."""
    if im.format in ("GIF", "PNG") or (im.format == "WEBP" and im.fp is not None and not _lossy_webp(im.fp)):
        return {"lossless": True}
    if im.format == "WEBP":
        return {"quality": LOSSY_ANIMATION_QUALITY}
    return {}


def _lossy_webp(fp: IO[bytes]) -> bool:
    """Whether a WebP file holds a lossy picture ("VP8 " data; lossless is
    "VP8L"), from its chunk headers alone. A frame of an animation (ANMF)
    holds such chunks after 16 bytes of its own."""
    position = fp.tell()
    try:
        end = fp.seek(0, os.SEEK_END)
        offset = 12  # "RIFF", its size, "WEBP"
        while offset + 8 <= end:
            fp.seek(offset)
            kind, size = struct.unpack("<4sI", fp.read(8))
            if kind == b"VP8 ":
                return True
            offset += 8 + (16 if kind == b"ANMF" else size + (size & 1))
        return False
    finally:
        fp.seek(position)


def _durations(im: Image.Image) -> list[float]:
    """Each frame's info["duration"] (100 where a frame has none); seeking a
    JPEG XL animation decodes nothing."""
    position, durations = im.tell(), []
    try:
        for index in range(getattr(im, "n_frames", 1)):
            im.seek(index)
            durations.append(im.info.get("duration", 100))
    finally:
        im.seek(position)
    return durations


def write(im: Image.Image, stream: IO[bytes], fmt: str, options: dict[str, Any]) -> None:
    """The animation `im` saved as `fmt` with save_options' `options` (and
    others): an animation of one picture stays an animation of two frames
    with the total duration, and GIF gets no alpha channel that no frame
    uses (Pillow quantises RGBA frames far worse than RGB ones)."""
    if fmt == JXL:
        im.save(stream, fmt, **options)
        return
    survey = _survey(im, drop_alpha=fmt == "GIF")
    if survey.one_picture is not None:
        _write_one_picture(survey.one_picture, stream, fmt, options)
    elif survey.opaque is not None:
        first, *rest = survey.opaque
        first.save(stream, fmt, **options, append_images=rest)
    else:
        im.save(stream, fmt, **options)


@dataclass
class _Survey:
    one_picture: Image.Image | None  # the picture every frame shows, when they all show one
    opaque: list[Image.Image] | None  # every frame without its alpha, when asked and no frame uses it


def _frames(im: Image.Image) -> Iterator[Image.Image]:
    position = im.tell()
    try:
        for index in range(getattr(im, "n_frames", 1)):
            im.seek(index)
            yield im
    finally:
        im.seek(position)


def _survey(im: Image.Image, drop_alpha: bool) -> _Survey:
    """One pass over the frames, stopped as soon as neither question is open:
    usually the second frame differs and there is no alpha to drop."""
    first: bytes | None = None
    picture: Image.Image | None = None
    same = getattr(im, "n_frames", 1) > 1
    opaque: list[Image.Image] | None = [] if drop_alpha and "A" in im.mode else None
    for frame in _frames(im):
        # A GIF's frames may change mode (P, then RGB): compare what they show.
        pixels = frame.tobytes() if frame.mode in _DEEP else frame.convert("RGBA").tobytes()
        if first is None:
            first, picture = pixels, frame.copy()
        elif same and pixels != first:
            same = False
        if opaque is not None:
            if frame.convert("RGBA").getchannel("A").getextrema()[0] == 255:
                opaque.append(_without_alpha(frame))
            else:
                opaque = None
        if not same and opaque is None:
            break
    if opaque is not None and picture is not None:
        picture = _without_alpha(picture)
    return _Survey(picture if same else None, opaque if not same else None)


def _without_alpha(frame: Image.Image) -> Image.Image:
    return frame.convert("L" if frame.mode[:1] == "L" else "RGB")


def _split(durations: list[float]) -> list[float]:
    """The total duration over two frames: the first frame's own and the
    rest, or halves where either would be 0 (browsers stretch GIF frames of
    0 ms)."""
    total = sum(durations)
    first = durations[0]
    if first <= 0 or first >= total:
        first = total / 2
    return [first, total - first]


def _write_one_picture(picture: Image.Image, stream: IO[bytes], fmt: str, options: dict[str, Any]) -> None:
    """Two frames of the picture, made different where the writer compares
    them: an APNG frame cleared before the next (which then draws every
    pixel), a GIF frame followed by a wholly transparent one, and a WebP
    assembled from a still (libwebp merges frames it finds identical)."""
    durations = _split(options["duration"])
    options = options | {"duration": durations}
    if fmt == "PNG":
        options["disposal"] = [_APNG_DISPOSE_BACKGROUND, _APNG_DISPOSE_NONE]
        picture.save(stream, fmt, **options, append_images=[picture.copy()])
    elif fmt == "GIF":
        clear = Image.new("RGBA", picture.size, (0, 0, 0, 0))
        options["disposal"] = [_GIF_KEEP, _GIF_KEEP]
        picture.save(stream, fmt, **options, append_images=[clear])
    else:
        still = io.BytesIO()
        keep = {k: v for k, v in options.items() if k not in ("save_all", "duration", "loop")}
        picture.save(still, fmt, **keep)
        stream.write(webp_frames.shown_twice(still.getvalue(), picture.size, [round(d) for d in durations],
                                             options["loop"], "A" in picture.mode))
