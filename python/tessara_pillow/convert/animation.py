"""Animated inputs: which images are animations, and the save options that
keep every frame's duration and the loop count in the formats that hold
animations (Pillow's writers read them inconsistently: WebP's takes one
duration and no loop count of its own)."""

from __future__ import annotations

from typing import Any

from PIL import Image

from ..plugin import JxlImageFile
from .planning import JXL, Settings
from .reasons import Refused

# The formats written with every frame (save_all); others hold one picture.
FORMATS = ("JXL", "PNG", "GIF", "WEBP")


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
        # millisecond included. GIF's palettes are kept exactly, as cjxl does.
        if im.format == "GIF" and settings.quality is None:
            options["lossless"] = True
        return options
    options["duration"] = _durations(im)
    return options


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
