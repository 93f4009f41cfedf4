"""Colour at more than 8 bits, and PNG colour Pillow does not read, through a
conversion. Pillow has no 16-bit or float colour mode: it gives 16-bit and
float colour JPEG XL files and 16-bit RGB(A) PNGs as 8-bit "RGB"/"RGBA"
(and grey with alpha as 8-bit "LA"), and it ignores a PNG's cICP chunk. For
those inputs the samples are read at full precision as numpy arrays (PNG
through libpng: pngfile.py), and written to JPEG XL with their depth and
colour kept (a profile, or the colour encoding cICP names) or to a PNG of
their depth (floats as 16 bits, scaled to 0-65535); other outputs get
Pillow's 8 bits."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import IO, TYPE_CHECKING, Any

from PIL import Image, ImageOps

from .. import _native
from ..colour import colour_space
from ..metadata import exif_to_box
from ..plugin import JxlImageFile
from ..save_options import lossless_for
from . import pngfile

if TYPE_CHECKING:
    import numpy.typing as npt

JXL, PNG = "JXL", "PNG"
# Formats written at full precision here.
FORMATS = (JXL, PNG)
_ORIENTATION = 0x0112
_SRGB = (1, 13, 0, 1)  # the cICP of sRGB, which every reader assumes anyway
_EXIF_PREFIX = b"Exif\0\0"
_RAW_EXIF = "Raw profile type exif"


@dataclass(frozen=True)
class Samples:
    """An input's samples beyond what its Pillow image holds."""

    array: npt.NDArray[Any]  # uint8, uint16, float16 or float32; (H, W, 1 to 4), upright
    bits: int  # of the integers as stored (a 12-bit file: 0..4095); 0 for floats
    icc: bytes | None  # the profile the samples are in
    # Of the alpha channel, where it differs from the colour's (an 8-bit
    # alpha beside 16-bit colour holds 0..255); None: as the colour.
    alpha_bits: int | None = None
    cicp: tuple[int, int, int, int] | None = None  # a PNG's colour code points; before icc
    # A PNG's own Exif (orientation applied) and XMP; None: the image's, as Pillow reads them.
    metadata: dict[str, bytes] | None = None


def _numpy_present() -> bool:
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


def _file_bytes(source: IO[bytes], count: int | None = None) -> bytes:
    """The first `count` bytes of the input (all by default), read without
    moving the position Pillow reads the image from. One read returns at
    most about 2 GiB on Linux, so reads go on until the bytes are in (or
    the file ends)."""
    fd = source.fileno()
    wanted = os.fstat(fd).st_size if count is None else count
    data = bytearray(wanted)
    view, got = memoryview(data), 0
    while got < wanted:
        read = os.preadv(fd, [view[got:]], got)
        if read == 0:
            break
        got += read
    del view
    if got < wanted:
        del data[got:]
    return bytes(data)


def read(im: Image.Image, source: IO[bytes], num_threads: int, fmt: str) -> Samples | None:
    """The samples of `im` (opened from `source`) at full precision, when its
    Pillow image has fewer bits than the file: 16-bit or float colour, or
    grey with alpha, in JPEG XL; a 16-bit PNG, or one with a cICP chunk. For
    a PNG (`fmt`) of a JPEG XL file whose colour only cICP names as such
    (HDR PQ or HLG, Display P3...), its samples with those code points. None
    for any other input (Pillow's image holds it all), or without numpy."""
    if not _numpy_present():
        return None
    if isinstance(im, JxlImageFile):
        return _jxl_samples(im, source, num_threads, fmt)
    if im.format == PNG and pngfile.needs_libpng(source):
        return _png_samples(_file_bytes(source), im.info)
    return None


def _jxl_samples(im: JxlImageFile, source: IO[bytes], num_threads: int, fmt: str) -> Samples | None:
    from ..arrays import decode_array

    found = im._facts
    deep = found.bits > 8 or found.exponent_bits > 0
    # Pillow's PNG writer has no cICP chunk: the colour would be left to the
    # ICC profile libjxl makes, which HDR-aware readers pass over.
    cicp = found.cicp if fmt == PNG and found.cicp not in (None, _SRGB) else None
    # Grey without alpha is Pillow's "I;16" or "F" already; a file made from
    # a JPEG is 8-bit.
    if found.jpeg_reconstruction or (cicp is None and (not deep or (found.grey and not found.has_alpha))):
        return None
    bits = found.bits if found.exponent_bits == 0 else 0
    alpha_bits = found.alpha_bits if found.has_alpha and found.alpha_exponent_bits == 0 else 0
    if found.dtype == "float32" and (bits or alpha_bits):
        return None  # integers of more than 16 bits, or beside floats: a depth neither output is written at here
    array = decode_array(_file_bytes(source), num_threads=num_threads)
    if array.ndim == 2:
        array = array[..., None]
    alpha = None if not found.has_alpha or alpha_bits == bits else alpha_bits
    return Samples(array, bits, found.icc or None, alpha_bits=alpha, cicp=cicp)


def _png_samples(data: bytes, info: dict[str | tuple[int, int], Any]) -> Samples:
    """`info`: what Pillow read of the file's chunks before its image data."""
    png = pngfile.read(data)
    metadata = {}
    if png.exif:
        metadata["exif"] = _EXIF_PREFIX + png.exif
    elif isinstance(raw := info.get(_RAW_EXIF), str):
        # ImageMagick's Exif as hex text (after a name and a length line),
        # read as Pillow's getexif() reads it.
        try:
            metadata["exif"] = bytes.fromhex("".join(raw.split("\n")[3:]))
        except ValueError:
            pass
    if png.xmp:
        metadata["xmp"] = png.xmp
    orientation = _orientation(metadata)
    if orientation != 1:
        metadata = _upright_metadata(metadata)
    array = png.array
    bits = 16 if array.dtype.name == "uint16" else 8
    return Samples(upright(array, orientation), bits, png.colour.icc_profile, cicp=png.colour.cicp,
                   metadata=metadata)


def _orientation(metadata: dict[str, bytes]) -> int:
    if "exif" not in metadata:
        return 1
    exif = Image.Exif()
    exif.load(metadata["exif"])
    orientation = exif.get(_ORIENTATION, 1)
    return orientation if isinstance(orientation, int) and 1 <= orientation <= 8 else 1


def _upright_metadata(metadata: dict[str, bytes]) -> dict[str, bytes]:
    """Exif and XMP without the orientation that upright() applied: Pillow's
    exif_transpose does that to an image's info, here to a stand-in's."""
    stand_in = Image.new("L", (1, 1))
    for key, given in metadata.items():
        stand_in.info[key] = given
    turned = ImageOps.exif_transpose(stand_in)
    assert turned is not None
    kept = {}
    for key in ("exif", "xmp"):
        value = turned.info.get(key)
        if isinstance(value, str):
            value = value.encode()
        if isinstance(value, bytes) and value:
            kept[key] = value
    return kept


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
    return samples.icc if space == ("GRAY" if samples.array.shape[2] <= 2 else "RGB") else None


def to_sixteen_bits(samples: Samples) -> npt.NDArray[Any]:
    """uint16 samples spanning 0-65535: floats from 0.0-1.0 (outside
    clipped, NaN as 0), integers of fewer bits stretched (4095 -> 65535),
    alpha by its own depth."""
    import numpy as np

    a = samples.array
    if samples.alpha_bits is None:
        return _sixteen_bits(a, samples.bits)
    out = np.empty(a.shape, np.uint16)
    out[..., :-1] = _sixteen_bits(a[..., :-1], samples.bits)
    out[..., -1] = _sixteen_bits(a[..., -1], samples.alpha_bits)
    return out


def _sixteen_bits(a: npt.NDArray[Any], bits: int) -> npt.NDArray[Any]:
    import numpy as np

    if bits == 0:
        scaled = np.nan_to_num(a.astype(np.float32), nan=0.0) * np.float32(65535) + np.float32(0.5)
        return np.clip(scaled, 0, 65535).astype(np.uint16)
    if bits == 16:
        return a.astype(np.uint16, copy=False)
    top = (1 << bits) - 1
    return ((a.astype(np.uint32) * 65535 + top // 2) // top).astype(np.uint16)


def _alpha_as_colour(samples: Samples) -> npt.NDArray[Any]:
    """The samples with alpha at the colour's depth, as encode_array stores
    every channel at one depth: integers rescaled (rounded), or for float
    colour a fraction of the alpha's largest value."""
    import numpy as np

    a = samples.array
    if samples.alpha_bits is None:
        return a
    alpha = a[..., -1].astype(np.float64) / ((1 << samples.alpha_bits) - 1)
    out = a.copy()
    out[..., -1] = alpha if samples.bits == 0 else np.rint(alpha * ((1 << samples.bits) - 1))
    return out


def write(stream: IO[bytes], samples: Samples, fmt: str, options: dict[str, Any],
          metadata: dict[str, bytes]) -> None:
    """`samples` in `fmt` (one of FORMATS) with the JPEG XL save options of
    the converter and the image's Exif and XMP."""
    icc = _profile_for(samples)
    array = samples.array if samples.array.shape[2] > 1 else samples.array[..., 0]
    if fmt == PNG:
        if array.dtype.name != "uint8":
            array = to_sixteen_bits(samples)
        pngfile.write(stream, array, cicp=samples.cicp, icc_profile=icc, exif=metadata.get("exif"),
                      xmp=metadata.get("xmp"))
        return
    bits = samples.bits if samples.bits not in (0, 8, 16) else None
    if samples.cicp is not None:
        if not _native.cicp_encodable(samples.cicp):
            # Its samples are not what an sRGB or profile label would say
            # (narrow range, say): no label rather than a wrong one.
            msg = (f"its cICP chunk {samples.cicp} names colours JPEG XL has no encoding for "
                   "(RGB at full range with primaries and a transfer it knows)")
            raise ValueError(msg)
        stream.write(_encode_labelled(array, samples.cicp, options, metadata))
        return
    from ..arrays import encode_array

    deep = _alpha_as_colour(samples)
    stream.write(encode_array(deep if deep.shape[2] > 1 else deep[..., 0], lossless=options["lossless"],
                              quality=options.get("quality", 90),
                              effort=options["effort"], decoding_speed=options["decoding_speed"],
                              bits_per_sample=bits, exif=metadata.get("exif"), xmp=metadata.get("xmp"),
                              icc_profile=icc, num_threads=options["num_threads"],
                              progressive=options.get("progressive", False)))


def _encode_labelled(array: npt.NDArray[Any], cicp: tuple[int, int, int, int], options: dict[str, Any],
                     metadata: dict[str, bytes]) -> bytes:
    """A PNG's samples (uint8 or uint16, as read) as JPEG XL in the colour
    encoding its cICP names, as cjxl stores it: no profile is made up."""
    import numpy as np

    height, width = array.shape[:2]
    channels = 1 if array.ndim == 2 else array.shape[2]
    exif = metadata.get("exif")
    samples = np.ascontiguousarray(array)
    lossless = lossless_for(options["lossless"], width, height)
    return _native.encode(samples, width, height, channels, samples.dtype.name, 0, lossless,
                          float(options.get("quality", 90)), options["effort"], options["decoding_speed"],
                          exif_to_box(exif) if exif else None, metadata.get("xmp"), None, options["num_threads"],
                          False, False, 1, cicp, *_progression(options))


def _progression(options: dict[str, Any]) -> tuple[int, int, int]:
    """The encoder's (progressive DC, progressive AC, responsive) for the
    converter's --progressive: all three, as the plug-in's progressive=True."""
    from ..save_options import progression

    return progression(options.get("progressive", False), None, None, None)
