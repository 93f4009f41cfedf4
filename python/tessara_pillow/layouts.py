"""Sample layouts: for each kind of pixels a JPEG XL image header can declare,
what the decode call delivers and how Pillow holds it; and which Pillow modes
the encode call takes as they are. One table, read by open, load() and save;
and Pillow's image over samples decoded in its own layout."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, cast

from PIL import Image, _imaging

if TYPE_CHECKING:
    from . import _native

# The sample types libjxl is asked for; JPEG: the rebuilt JPEG file itself.
UINT8, UINT16, FLOAT16, FLOAT32, JPEG = "uint8", "uint16", "float16", "float32", "jpeg"


@dataclass(frozen=True)
class Layout:
    """One kind of pixels, from the file's samples to Pillow's image."""

    sample: str  # the sample type libjxl is asked for (one of the names above)
    grey: bool
    alpha: bool
    module_mode: str  # the decode call's mode for these pixels (a JPEG: its own mode)
    sample_bytes: int  # per sample in the decode call's bytes (0 for a JPEG)
    pillow_mode: str  # the image's mode in Pillow
    rawmode: str  # Pillow's unpacker for the bytes handed to it
    # Saving: the encode call takes an image of pillow_mode as it is, in
    # module_mode, with sample_bytes per sample.
    encodes: bool = False

    @property
    def channels(self) -> int:
        """Samples per pixel in the decode call's bytes, alpha included."""
        return (1 if self.grey else 3) + self.alpha


def _row(sample: str, grey: bool, alpha: bool, module_mode: str, sample_bytes: int, pillow_mode: str,
         rawmode: str = "", encodes: bool = False) -> Layout:
    return Layout(sample, grey, alpha, module_mode, sample_bytes, pillow_mode, rawmode or pillow_mode, encodes)


GREY, COLOUR = True, False
ALPHA, OPAQUE = True, False

# Colour comes as 8-bit samples at every depth (the module converts), grey
# with alpha keeps its depth in the decoded bytes and becomes Pillow's 8-bit
# "LA", and half floats come widened to 32 bits.
TABLE: tuple[Layout, ...] = (
    _row(UINT8, GREY, OPAQUE, "L", 1, "L", encodes=True),
    _row(UINT8, GREY, ALPHA, "LA", 1, "LA", encodes=True),
    _row(UINT8, COLOUR, OPAQUE, "RGB", 1, "RGB", encodes=True),
    _row(UINT8, COLOUR, ALPHA, "RGBA", 1, "RGBA", encodes=True),
    _row(UINT16, GREY, OPAQUE, "I;16", 2, "I;16", encodes=True),
    _row(UINT16, GREY, ALPHA, "LA", 2, "LA"),
    _row(UINT16, COLOUR, OPAQUE, "RGB", 1, "RGB"),
    _row(UINT16, COLOUR, ALPHA, "RGBA", 1, "RGBA"),
    _row(FLOAT32, GREY, OPAQUE, "F", 4, "F", "F;32F", encodes=True),
    _row(FLOAT32, GREY, ALPHA, "LA", 4, "LA"),
    _row(FLOAT32, COLOUR, OPAQUE, "RGB", 1, "RGB"),
    _row(FLOAT32, COLOUR, ALPHA, "RGBA", 1, "RGBA"),
    _row(FLOAT16, GREY, OPAQUE, "F;16", 4, "F", "F;32F"),
    _row(FLOAT16, GREY, ALPHA, "LA", 4, "LA"),
    _row(FLOAT16, COLOUR, OPAQUE, "RGB", 1, "RGB"),
    _row(FLOAT16, COLOUR, ALPHA, "RGBA", 1, "RGBA"),
    _row(JPEG, GREY, OPAQUE, "L", 0, "L"),
    _row(JPEG, COLOUR, OPAQUE, "RGB", 0, "RGB"),
)

_DECODED = {(row.sample, row.grey, row.alpha): row for row in TABLE}
_ENCODED = {row.pillow_mode: row for row in TABLE if row.encodes}
# Pillow modes the encode call takes as they are, in the table's order.
ENCODABLE_MODES = tuple(_ENCODED)


def sample_type(bits: int, exponent_bits: int) -> str | None:
    """The sample type libjxl is asked for, for samples of this depth, or None
    for a depth the decode call cannot deliver (integers of 17 to 31 bits,
    floats other than 16 and 32 bits)."""
    if exponent_bits:
        return {16: FLOAT16, 32: FLOAT32}.get(bits)
    if bits <= 8:
        return UINT8
    if bits <= 16:
        return UINT16
    return FLOAT32 if bits == 32 else None


def of_samples(bits: int, exponent_bits: int, grey: bool, alpha: bool) -> Layout | None:
    """The layout of decoded pixels of this depth (not a rebuilt JPEG's), or
    None for a depth the decode call cannot deliver."""
    sample = sample_type(bits, exponent_bits)
    return None if sample is None else decoded(sample, grey, alpha)


def decoded(sample: str, grey: bool, alpha: bool) -> Layout:
    """The layout of decoded pixels of this sample type (JPEG for a rebuilt
    JPEG, which has no alpha)."""
    return _DECODED[sample, grey, alpha and sample != JPEG]


def encoded(pillow_mode: str) -> Layout | None:
    """The layout in which the encode call takes an image of this mode as it
    is, or None for a mode that has to be converted first."""
    return _ENCODED.get(pillow_mode)


def pillow_pixels(pillow_mode: str) -> tuple[str, int]:
    """(sample type, samples a pixel) of an image of this mode (one the
    encoders take) in Pillow's own memory: a pixel of "LA", "RGB" and "RGBA"
    takes four bytes there, grey without alpha one sample. libjxl can decode
    straight into that layout (repeating grey into the colour channels,
    making missing alpha opaque), so that no copy is needed."""
    layout = _ENCODED[pillow_mode]
    return layout.sample, 1 if layout.channels == 1 else 4


def image_over(samples: _native.SampleBuffer, mode: str, size: tuple[int, int]) -> Image.Image:
    """A read-only image of `mode` over the samples, without a copy (Pillow
    copies on the first write); a copy where Pillow's mapping is not there."""
    try:
        core = _imaging.map_buffer(samples, size, "raw", 0, (mode, 0, 1))
    except (AttributeError, TypeError, ValueError):  # Pillow's internals changed
        if pillow_pixels(mode)[1] == 4:
            rgba = Image.frombuffer("RGBA", size, cast(bytes, samples), "raw", "RGBA", 0, 1)
            return rgba if mode == "RGBA" else rgba.convert(mode)
        rawmode = {"F": "F;32NF", "I;16": "I;16N"}.get(mode, mode)
        return Image.frombuffer(mode, size, cast(bytes, samples), "raw", rawmode, 0, 1)
    image = Image.new(mode, (0, 0))._new(core)
    image.readonly = 1
    return image
