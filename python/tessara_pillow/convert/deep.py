"""Colour at more than 8 bits through a conversion. Pillow has no 16-bit or
float colour mode: it gives 16-bit and float colour JPEG XL files and 16-bit
RGB(A) PNGs as 8-bit "RGB"/"RGBA" (and grey with alpha as 8-bit "LA"). For
those inputs the samples are read at full precision as numpy arrays, and
written to JPEG XL with encode_array (depth and profile kept) or to a 16-bit
PNG (floats scaled to 0-65535); other outputs get Pillow's 8 bits."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any

from PIL import Image

from ..colour import colour_space
from ..plugin import JxlImageFile
from . import png16

if TYPE_CHECKING:
    import numpy.typing as npt

JXL, PNG = "JXL", "PNG"
# Formats written at full precision here.
FORMATS = (JXL, PNG)
_ORIENTATION = 0x0112


@dataclass(frozen=True)
class Samples:
    """An input's samples beyond what its Pillow image holds."""

    array: npt.NDArray[Any]  # uint16, float16 or float32; (H, W, 2 to 4), upright
    bits: int  # of the integers as stored (a 12-bit file: 0..4095); 0 for floats
    icc: bytes | None  # the profile the samples are in


def _numpy_present() -> bool:
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


def _file_bytes(source: IO[bytes], count: int | None = None) -> bytes:
    """The first `count` bytes of the input (all by default), read without
    moving the position Pillow reads the image from."""
    fd = source.fileno()
    return os.pread(fd, os.fstat(fd).st_size if count is None else count, 0)


def read(im: Image.Image, source: IO[bytes], num_threads: int) -> Samples | None:
    """The samples of `im` (opened from `source`) at full precision, when its
    Pillow image has fewer bits than the file: 16-bit or float colour, or
    grey with alpha, in JPEG XL; 16-bit RGB(A) or grey+alpha PNG. None for
    any other input (Pillow's image holds it all), or without numpy."""
    if not _numpy_present():
        return None
    if isinstance(im, JxlImageFile):
        return _jxl_samples(im, source, num_threads)
    if im.format == PNG and png16.deep_kind(_file_bytes(source, 33)) and "transparency" not in im.info:
        return _png_samples(im, _file_bytes(source))
    return None


def _jxl_samples(im: JxlImageFile, source: IO[bytes], num_threads: int) -> Samples | None:
    from ..arrays import decode_array
    from ..jxlinfo import jxl_info

    codestream = im._header.codestream
    deep = codestream.bits_per_sample > 8 or codestream.exponent_bits > 0
    # Grey without alpha is Pillow's "I;16" or "F" already; a file made from
    # a JPEG is 8-bit.
    if not deep or im._header.jpeg_reconstruction or (codestream.is_grey and not codestream.has_alpha):
        return None
    data = _file_bytes(source)
    info = jxl_info(data)
    array = decode_array(data, num_threads=num_threads)
    if array.dtype.name == "uint8":  # deeper alpha than colour: the colour's 8 bits are all there is
        return None
    bits = info.bits_per_sample if info.exponent_bits_per_sample == 0 else 0
    if array.dtype.name == "float32" and bits:
        return None  # integers of more than 16 bits: a depth neither output is written at here
    return Samples(array, bits, info.icc_profile or None)


def _png_samples(im: Image.Image, data: bytes) -> Samples:
    array = png16.read(data)
    orientation = im.getexif().get(_ORIENTATION, 1)
    return Samples(upright(array, orientation if isinstance(orientation, int) else 1), 16,
                   im.info.get("icc_profile") or None)


def upright(array: npt.NDArray[Any], orientation: int) -> npt.NDArray[Any]:
    """`array` (H, W, ...) turned as Pillow's ImageOps.exif_transpose turns
    an image with this Exif orientation."""
    import numpy as np

    a = array
    if orientation in (2, 3):
        a = a[:, ::-1]
    if orientation in (3, 4):
        a = a[::-1]
    if orientation in (5, 6, 7, 8):
        # 5 transposes; 6 turns clockwise, 8 anticlockwise; 7 transposes
        # across the other diagonal.
        a = {5: a, 6: a[::-1], 7: a[::-1, ::-1], 8: a[:, ::-1]}[orientation].swapaxes(0, 1)
    result: npt.NDArray[Any] = np.ascontiguousarray(a)
    return result


def _profile_for(samples: Samples) -> bytes | None:
    """The profile, if it is of the samples' kind of colour (grey for grey
    with alpha): Pillow keeps a profile in `info` through conversions."""
    if samples.icc is None:
        return None
    try:
        space = colour_space(samples.icc)
    except OSError:
        return None
    return samples.icc if space == ("GRAY" if samples.array.shape[2] == 2 else "RGB") else None


def to_sixteen_bits(samples: Samples) -> npt.NDArray[Any]:
    """uint16 samples spanning 0-65535: floats from 0.0-1.0 (outside
    clipped, NaN as 0), integers of fewer bits stretched (4095 -> 65535)."""
    import numpy as np

    a = samples.array
    if samples.bits == 0:
        scaled = np.nan_to_num(a.astype(np.float32), nan=0.0) * np.float32(65535) + np.float32(0.5)
        return np.clip(scaled, 0, 65535).astype(np.uint16)
    if samples.bits == 16:
        return a
    top = (1 << samples.bits) - 1
    return ((a.astype(np.uint32) * 65535 + top // 2) // top).astype(np.uint16)


def write(stream: IO[bytes], samples: Samples, fmt: str, options: dict[str, Any],
          metadata: dict[str, bytes]) -> None:
    """`samples` in `fmt` (one of FORMATS) with the JPEG XL save options of
    the converter and the image's Exif and XMP."""
    icc = _profile_for(samples)
    if fmt == PNG:
        png16.write(stream, to_sixteen_bits(samples), icc=icc, exif=metadata.get("exif"), xmp=metadata.get("xmp"))
        return
    from ..arrays import encode_array

    bits = samples.bits if samples.bits not in (0, 16) else None
    stream.write(encode_array(samples.array, lossless=options["lossless"], quality=options.get("quality", 90),
                              effort=options["effort"], decoding_speed=options["decoding_speed"],
                              bits_per_sample=bits, exif=metadata.get("exif"), xmp=metadata.get("xmp"),
                              icc_profile=icc, num_threads=options["num_threads"],
                              progressive=options.get("progressive", False)))
