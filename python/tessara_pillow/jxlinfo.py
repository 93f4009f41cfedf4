"""What a JPEG XL file holds, read from its header without decoding pixels:
jxl_info and its JxlInfo."""

from __future__ import annotations

from collections.abc import Buffer
from dataclasses import dataclass, field

from . import _native


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
    jpeg_reconstruction: bool  # the JPEG the file was made from can be rebuilt
    is_animated: bool  # decode_array stacks the frames; never with JPEG reconstruction data


def jxl_info(data: Buffer) -> JxlInfo:
    """The header facts and colour profile of a JPEG XL file (any bytes-like
    object, read in place). Only the header and colour encoding are read, so
    this is cheap beside decode_array. Raises ValueError if data is not JPEG
    XL or its header is truncated or corrupt."""
    (width, height, colour, bits, exponent_bits, alpha_bits, _alpha_exponent_bits, extra,
     orientation, animated, dtype, icc, jpeg) = _native.info(data)
    return JxlInfo(width=width, height=height, channels=colour + (1 if alpha_bits else 0), bits_per_sample=bits,
                   exponent_bits_per_sample=exponent_bits, alpha_bits=alpha_bits, dtype=dtype,
                   has_alpha=alpha_bits > 0, num_extra_channels=extra, icc_profile=icc,
                   orientation=orientation, jpeg_reconstruction=jpeg, is_animated=animated and not jpeg)
