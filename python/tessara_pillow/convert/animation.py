"""Animated inputs: which images are animations, and the save options that
keep every frame's duration and the loop count in the formats that hold
animations (Pillow's writers read them inconsistently: WebP's takes one
duration and no loop count of its own)."""

from __future__ import annotations

import os
import struct
from typing import IO, Any

from PIL import Image

from ..plugin import JxlImageFile
from .planning import JXL, Settings
from .reasons import Refused

# The formats written with every frame (save_all); others hold one picture.
FORMATS = ("JXL", "PNG", "GIF", "WEBP")
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
    options: dict[str, Any] = {"save_all": True, "loop": im.info.get("loop", 0)}
    if fmt == JXL:
        # The plug-in reads each frame's own duration, fractions of a
        # millisecond included.
        if settings.quality is None and not settings.lossless:
            options |= _jxl_defaults(im)
        return options
    options["duration"] = _durations(im)
    return options


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
