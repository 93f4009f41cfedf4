"""Saving what the module's encoder would mislabel, through the private
module _native: "I;16" with the sRGB transfer (the module tags 16-bit grey
linear, while a 16-bit grey file is sRGB-encoded unless it says otherwise),
images whose ICC profile is not sRGB with that profile stored (the module
tags everything sRGB), and images whose Exif or XMP orientation is not 1
with that orientation in the codestream (the module writes every image
upright). The samples are stored as they are; numpy is not needed."""

from __future__ import annotations

import array
import sys

from . import _native, layouts
from .save_options import SaveOptions

def encode(mode: str, size: tuple[int, int], packed: bytes, icc: bytes | None, options: SaveOptions) -> bytes:
    """A JPEG XL file of Pillow's raw bytes of an image of `mode` (one the
    encoders take; "I;16" little-endian). Without `icc` integer samples are
    tagged sRGB (grey: the sRGB transfer) and "F" linear, as the module tags
    it. ValueError when libjxl refuses the image,
    the profile or the settings."""
    layout = layouts.encoded(mode)
    assert layout is not None
    dtype, channels = layout.sample, layout.channels
    samples: bytes | array.array[int] = packed
    if dtype == "uint16" and sys.byteorder == "big":
        words = array.array("H", packed)
        words.byteswap()
        samples = words
    o = options
    try:
        return _native.encode(samples, size[0], size[1], channels, dtype, 0, o.lossless, o.quality, o.effort,
                              o.decoding_speed, o.exif, o.xmp, icc, o.num_threads, o.use_container,
                              o.compress_metadata, o.orientation, None, *o.progression)
    except RuntimeError as e:
        raise ValueError(str(e)) from e
