"""Colour on save: ICC profiles read through LittleCMS, to tell their kind of
colour, to tell an sRGB profile (stored as JPEG XL's own sRGB tag), and to
convert what JPEG XL does not hold (CMYK) or a frame in another profile than
its animation's."""

from __future__ import annotations

import functools
import io

from PIL import Image, ImageCms

# A profile whose transform to sRGB moves no colour of this grid by more than
# one level is sRGB for our purposes; converting through it would only add
# rounding noise (and break lossless round trips of sRGB images).
_GRID = [0, 17, 51, 85, 119, 153, 187, 221, 238, 255]
_SAME_TOLERANCE = 1


@functools.cache
def _srgb() -> ImageCms.ImageCmsProfile:
    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB"))


def _grid_image() -> Image.Image:
    colours = [(r, g, b) for r in _GRID for g in _GRID for b in _GRID]
    im = Image.new("RGB", (len(colours), 1))
    im.putdata(colours)
    return im


@functools.lru_cache(maxsize=64)
def _colour_space(icc: bytes) -> str:
    return str(ImageCms.ImageCmsProfile(io.BytesIO(icc)).profile.xcolor_space).strip()


def colour_space(icc: bytes) -> str:
    """The colour space an ICC profile describes: "RGB", "CMYK", "GRAY"...;
    OSError for data that is no profile."""
    try:
        return _colour_space(icc)
    except (OSError, ImageCms.PyCMSError) as e:
        msg = f"unusable ICC profile: {e}"
        raise OSError(msg) from e


@functools.lru_cache(maxsize=64)
def _is_srgb(icc: bytes) -> bool:
    profile = ImageCms.ImageCmsProfile(io.BytesIO(icc))
    if _colour_space(icc) != "RGB":
        return False
    grid = _grid_image()
    converted = ImageCms.profileToProfile(
        grid, profile, _srgb(), renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC, outputMode="RGB"
    )
    assert converted is not None
    return all(
        abs(a - b) <= _SAME_TOLERANCE
        for before, after in zip(grid.getdata(), converted.getdata())
        for a, b in zip(before, after)
    )


def is_srgb(icc: bytes) -> bool:
    """Whether an RGB ICC profile describes sRGB closely enough to keep pixels as they are."""
    try:
        return _is_srgb(icc)
    except (OSError, ImageCms.PyCMSError) as e:
        msg = f"unusable ICC profile: {e}"
        raise OSError(msg) from e


def to_srgb(im: Image.Image, icc: bytes) -> Image.Image:
    """`im` ("RGB", "RGBA" or "CMYK") converted from the colour space of `icc`
    (one of the image's kind) to sRGB; an sRGB image is returned as it is.
    OSError when the profile cannot be used."""
    if im.mode != "CMYK" and is_srgb(icc):
        return im
    output = "RGBA" if im.mode == "RGBA" else "RGB"
    try:
        profile = ImageCms.ImageCmsProfile(io.BytesIO(icc))
        converted = ImageCms.profileToProfile(
            im, profile, _srgb(), renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC, outputMode=output
        )
    except (OSError, ImageCms.PyCMSError) as e:
        msg = f"cannot convert the image's ICC profile to sRGB: {e}"
        raise OSError(msg) from e
    assert converted is not None
    return converted
