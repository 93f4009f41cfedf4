"""What a JPEG XL file holds, read from its headers without decoding pixels:
jxl_info and its JxlInfo, from the one reader of a file's facts (facts.py)."""

from __future__ import annotations

from collections.abc import Buffer
from dataclasses import dataclass, field
from typing import NamedTuple

from . import facts

# libjxl's enumeration values by name, as jxlinfo prints them.
_SPACES = {0: "RGB", 1: "Grayscale", 2: "XYB", 3: "Unknown"}
_WHITE_POINTS = {1: "D65", 2: "Custom", 10: "E", 11: "P3"}
_PRIMARIES = {1: "sRGB", 2: "Custom", 9: "Rec.2100", 11: "P3"}
_TRANSFERS = {1: "709", 2: "Unknown", 8: "Linear", 13: "sRGB", 16: "PQ", 17: "DCI", 18: "HLG", 65535: "gamma"}
_INTENTS = {0: "Perceptual", 1: "Relative", 2: "Saturation", 3: "Absolute"}


class ColourEncoding(NamedTuple):
    """A colour space libjxl names, in jxlinfo's words: what an ICC profile
    cannot say of HDR (transfer_function "PQ" or "HLG")."""

    colour_space: str  # "RGB", "Grayscale", "XYB", "Unknown"
    white_point: str  # "D65", "E", "P3", "Custom"
    primaries: str  # "sRGB", "P3", "Rec.2100", "Custom" ("" for grey)
    transfer_function: str  # "sRGB", "Linear", "709", "PQ", "HLG", "DCI", "gamma", "Unknown"
    gamma: float  # with transfer_function "gamma", else 0
    rendering_intent: str  # "Perceptual", "Relative", "Saturation", "Absolute"


@dataclass(frozen=True)
class JxlInfo:
    """The facts decode_array's result follows from, and those it cannot
    carry (the colour profile, the stored depth, the orientation applied)."""

    width: int  # as decode_array and Image.open deliver it (oriented)
    height: int
    channels: int  # colour and alpha: 1 grey, 2 grey+alpha, 3 colour, 4 colour+alpha
    bits_per_sample: int  # of the colour samples as stored
    exponent_bits_per_sample: int  # 0 for integers, 5 half float, 8 float
    alpha_bits: int  # 0 without alpha
    dtype: str  # decode_array's dtype: "uint8", "uint16", "float16" or "float32"
    has_alpha: bool
    num_extra_channels: int  # alpha included
    icc_profile: bytes = field(repr=False)  # the profile of the samples decode_array gives
    orientation: int  # the file's Exif-style orientation (1-8), already applied by decode_array
    jpeg_reconstruction: bool  # libjxl rebuilds the JPEG the file was made from
    is_animated: bool  # decode_array stacks the frames (a JPEG first frame included)
    alpha_exponent_bits_per_sample: int  # 0 for integer alpha
    xyb_encoded: bool  # lossy colour, delivered in the file's own profile
    colour_encoding: ColourEncoding | None  # None: the original colour is an ICC profile only
    n_frames: int  # displayed frames (1 for a still image); a frame the file breaks in counts
    loop: int  # plays of an animation, 0 for forever


def _encoding(found: facts.FileFacts) -> ColourEncoding | None:
    if found.encoding is None:
        return None
    space, white, primaries, transfer, gamma, intent = found.encoding
    return ColourEncoding(_SPACES.get(space, "Unknown"), _WHITE_POINTS.get(white, "Custom"),
                          _PRIMARIES.get(primaries, "Custom") if space in (0, 3) else "",
                          _TRANSFERS.get(transfer, "Unknown"), gamma if transfer == 65535 else 0.0,
                          _INTENTS.get(intent, "Relative"))


def jxl_info(data: Buffer) -> JxlInfo:
    """The header facts and colour profile of a JPEG XL file (any bytes-like
    object, read in place). Headers only are read, frame headers included:
    this is cheap beside decode_array. Raises ValueError if data is not JPEG
    XL or is truncated or corrupt before its colour profile."""
    found = facts.read(data)
    return JxlInfo(width=found.width, height=found.height, channels=found.channels, bits_per_sample=found.bits,
                   exponent_bits_per_sample=found.exponent_bits, alpha_bits=found.alpha_bits, dtype=found.dtype,
                   has_alpha=found.has_alpha, num_extra_channels=found.extra_channels, icc_profile=found.icc,
                   orientation=found.orientation, jpeg_reconstruction=found.jpeg_reconstruction,
                   is_animated=found.animated, alpha_exponent_bits_per_sample=found.alpha_exponent_bits,
                   xyb_encoded=found.xyb, colour_encoding=_encoding(found), n_frames=found.count,
                   loop=found.loop)
