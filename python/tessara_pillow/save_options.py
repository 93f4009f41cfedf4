"""What every save reads before it encodes, shared by the still save
(plugin.py), the animation save (animation_save.py) and the array
functions: the checks of number options (one set of messages), the options
Pillow's save() hands over in `encoderinfo`, the Exif and XMP to store, and
the table of modes: which the encoders take as they are, which are
converted to what, and which ICC profiles describe their pixels."""

from __future__ import annotations

import array
import struct
from dataclasses import dataclass

from PIL import Image

from . import colour, layouts, metadata

# The module refuses more worker threads than this (before starting any).
MAX_THREADS = 1024
# libjxl's lossy encoder takes time that grows with the square of an image's
# longest side, whatever the other side: 0.2 s for 65,536 x 1 pixels, 36 s
# for 1,048,576 x 1, days for a line at Pillow's pixel limit. Its lossless
# encoder takes time that follows the pixels (0.8 s for 1,048,576 x 1), so
# an image with a longer side than this is stored lossless.
LONGEST_LOSSY_SIDE = 1 << 17


def lossless_for(lossless: bool, width: int, height: int) -> bool:
    """Whether an image of width x height is stored lossless: where asked,
    or where a side is too long for libjxl's lossy encoder."""
    return lossless or max(width, height) > LONGEST_LOSSY_SIDE


def check_int(name: str, value: object, low: int, high: int, *,
              wrong_type: type[Exception] = TypeError) -> int:
    """value, if an integer from low to high (bool is not one): otherwise
    `wrong_type` for a value of another type, ValueError for one out of range."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise wrong_type(f"{name} must be an integer from {low} to {high}, not {value!r}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be an integer from {low} to {high}, not {value!r}")
    return value


def check_number(name: str, value: object, low: float, high: float, *,
                 wrong_type: type[Exception] = TypeError) -> float:
    """value as a float, if a real number from low to high (NaN is not)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise wrong_type(f"{name} must be a number from {low:g} to {high:g}, not {value!r}")
    if not low <= value <= high:  # false for NaN
        raise ValueError(f"{name} must be a number from {low:g} to {high:g}, not {value!r}")
    return float(value)


# ---- Pillow's save options ---------------------------------------------------


@dataclass(frozen=True)
class SaveOptions:
    """The options of im.save(...), checked. Pillow's own writers raise
    ValueError for a bad option value, whatever its type, and so do these."""

    quality: float
    effort: int
    decoding_speed: int
    num_threads: int
    lossless: bool
    use_container: bool
    compress_metadata: bool
    exif: bytes | None  # an "Exif" box's content
    xmp: bytes | None
    # What the Exif or XMP says turns the pixels upright: the file's
    # orientation, which readers apply, so the pixels are stored as given.
    orientation: int
    # (progressive DC, progressive AC, responsive), -1 each for libjxl's choice
    progression: tuple[int, int, int] = (-1, -1, -1)

    @classmethod
    def of(cls, im: Image.Image) -> SaveOptions:
        info = im.encoderinfo

        def integer(name: str, default: int, low: int, high: int) -> int:
            return check_int(name, info.get(name, default), low, high, wrong_type=ValueError)

        exif, xmp = exif_option(im), xmp_option(im)
        return cls(
            quality=check_number("quality", info.get("quality", 90), 0, 100, wrong_type=ValueError),
            effort=integer("effort", 7, 1, 10),
            decoding_speed=integer("decoding_speed", 0, 0, 4),
            num_threads=integer("num_threads", -1, -1, MAX_THREADS),
            lossless=lossless_for(bool(info.get("lossless", False)), *im.size),
            use_container=bool(info.get("use_container", False)),
            compress_metadata=bool(info.get("compress_metadata", False)),
            exif=exif,
            xmp=xmp,
            orientation=metadata.orientation(exif, xmp),
            progression=progression(info.get("progressive", False), info.get("progressive_dc"),
                                    info.get("progressive_ac"), info.get("responsive"), wrong_type=ValueError),
        )


NO_PROGRESSION = (-1, -1, -1)


def progression(progressive: object, progressive_dc: object, progressive_ac: object, responsive: object, *,
                wrong_type: type[Exception] = TypeError) -> tuple[int, int, int]:
    """The coding for progressive decoding asked for, as cjxl names it:
    (progressive_dc, progressive_ac, responsive), -1 where libjxl chooses.
    progressive_dc counts the DC frames (0 to 2; True is 1), the other two
    are on or off; progressive=True asks for all three (1, 1, 1), each of
    which may still be set apart. None leaves an option to the default."""
    def flag(value: object) -> int:
        if value is None:
            return 1 if progressive else -1
        return int(bool(value))

    if progressive_dc is None or isinstance(progressive_dc, bool):
        dc = flag(progressive_dc)
    else:
        dc = check_int("progressive_dc", progressive_dc, 0, 2, wrong_type=wrong_type)
    return dc, flag(progressive_ac), flag(responsive)


def exif_option(im: Image.Image) -> bytes | None:
    """The Exif to store, as an "Exif" box's content: the one asked for,
    else the image's own, getexif() with every edit (in IFD0 and in the
    Exif, GPS and Interop directories). Unchanged since it was read, it is
    stored as the bytes it was read from, which keep what Pillow does not
    write (the thumbnail's IFD1, maker notes with offsets)."""
    if "exif" in im.encoderinfo:
        exif = im.encoderinfo["exif"]
    else:
        raw = im.info.get("exif")
        current = im.getexif()
        if isinstance(raw, bytes) and raw:
            stored = Image.Exif()
            stored.load(raw)
            exif = raw if _same_exif(stored, current) else current
        else:
            exif = current if len(current) else None
    if isinstance(exif, Image.Exif):
        exif = exif.tobytes()
    if not exif:
        return None
    if not isinstance(exif, bytes):
        msg = f"exif must be bytes or Image.Exif, not {type(exif).__name__}"
        raise TypeError(msg)
    return metadata.exif_to_box(exif)


def _same_exif(stored: Image.Exif, current: Image.Exif) -> bool:
    if dict(stored) != dict(current):
        return False
    try:
        # Written out, both hold their Exif, GPS and Interop directories too.
        return stored.tobytes() == current.tobytes()
    except (struct.error, TypeError, ValueError):
        # Pillow cannot write this (damaged) Exif, so it was not edited
        # through getexif() either: the bytes as read.
        return True


def xmp_option(im: Image.Image) -> bytes | None:
    if "xmp" in im.encoderinfo:
        xmp = im.encoderinfo["xmp"]
    else:
        xmp = im.info.get("xmp", im.info.get("XML:com.adobe.xmp"))
    if isinstance(xmp, str):
        xmp = xmp.encode("utf-8")
    if not xmp:
        return None
    if not isinstance(xmp, bytes):
        msg = f"xmp must be bytes or str, not {type(xmp).__name__}"
        raise TypeError(msg)
    return xmp


def icc_option(im: Image.Image, frame: Image.Image | None = None) -> bytes | None:
    """The ICC profile asked for, else the image's (or the frame's) own."""
    own = (frame if frame is not None else im).info.get("icc_profile")
    return im.encoderinfo.get("icc_profile", own) or None


# ---- The mode table ------------------------------------------------------------

# Modes Pillow converts before saving: to what, for the modes whose target
# does not depend on the image ("P" and "PA" do: alpha or not).
TO_RGB = ("CMYK", "YCbCr", "LAB", "HSV")
_CONVERTED = {"1": "L", "La": "LA", "RGBa": "RGBA", "I": "I;16", "I;16B": "I;16", "I;16L": "I;16",
              "I;16N": "I;16", **dict.fromkeys(TO_RGB, "RGB")}

# The colour space an ICC profile must describe to be used for an image of
# these modes. Pillow keeps a profile in `info` through convert(), so an image
# may carry one of another kind (an RGB profile on a CMYK conversion): that
# one says nothing about these pixels.
PROFILE_SPACES = {"RGB": "RGB", "RGBA": "RGB", "CMYK": "CMYK", "L": "GRAY", "LA": "GRAY", "I;16": "GRAY"}


def _palette_has_alpha(im: Image.Image) -> bool:
    return im.mode == "PA" or "transparency" in im.info or (im.palette is not None and im.palette.mode == "RGBA")


def encoded_mode(im: Image.Image) -> str:
    """The mode encodable() gives `im`, without converting it; OSError for
    a mode JPEG XL cannot store."""
    if im.mode in ("P", "PA"):
        return "RGBA" if _palette_has_alpha(im) else "RGB"
    mode = _CONVERTED.get(im.mode, im.mode)
    if layouts.encoded(mode) is None:
        msg = f"cannot write mode {im.mode} as JPEG XL"
        raise OSError(msg)
    return mode


def profile_of(im: Image.Image, icc: bytes | None) -> bytes | None:
    """icc, if it describes the kind of colour `im`'s pixels are in."""
    space = PROFILE_SPACES.get(im.mode)
    return icc if icc and space and colour.colour_space(icc) == space else None


def encodable(im: Image.Image, icc: bytes | None) -> tuple[Image.Image, bytes | None]:
    """`im` in one of the encoders' modes, and the ICC profile to store with
    it: one of its kind of colour that is not sRGB (the encoders' own tag),
    kept as Pillow's PNG, JPEG and WebP writers keep it, so wide-gamut
    pixels stay as they are. CMYK and the other ink or lab spaces become
    sRGB (through their profile, where they have one)."""
    target = encoded_mode(im)
    if im.mode in TO_RGB:
        # A CMYK profile tells how the inks look; without one, Pillow's formula.
        inks = profile_of(im, icc)
        return (colour.to_srgb(im, inks) if inks else im.convert("RGB")), None
    if target != im.mode:
        im = _sixteen_bit(im) if target == "I;16" else im.convert(target)  # "La"/"RGBa": unpremultiplied
    if im.mode == "F":
        return im, None  # linear, as the module tags it
    icc = profile_of(im, icc)
    if icc and PROFILE_SPACES[im.mode] == "RGB" and colour.is_srgb(icc):
        icc = None
    return im, icc


def _sixteen_bit(im: Image.Image) -> Image.Image:
    """An "I", "I;16B", "I;16L" or "I;16N" image as "I;16" (little-endian)."""
    if im.mode == "I":
        return im.convert("I;16")  # limits the values to 0..65535
    data = im.tobytes()
    if im.mode == "I;16B":
        words = array.array("H", data)
        words.byteswap()
        data = words.tobytes()
    return Image.frombytes("I;16", im.size, data)


def packed(im: Image.Image, layout: layouts.Layout) -> bytes:
    """The samples packed as the encoders read them, in one copy: tobytes()
    gathers chunks and then joins them, two full-size copies of the image."""
    size = im.width * im.height * layout.channels * layout.sample_bytes
    try:
        encoder = Image._getencoder(im.mode, "raw", im.mode)
        encoder.setimage(im.im, (0, 0) + im.size)
        _, status, data = encoder.encode(max(size, 1))
    except (AttributeError, TypeError, ValueError):  # Pillow's internals changed
        return im.tobytes()
    return data if status == 1 and len(data) == size else im.tobytes()
