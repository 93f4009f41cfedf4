"""JPEG XL from the bytes that have arrived: ProgressiveDecoder takes a file
piece by piece and gives the best picture so far, and preview() the picture
a prefix of a file holds (a ranged read from an object store, say).

A JPEG XL file's 1:8 preview (every DC group) comes before its detail, and
a progressive file refines the detail in passes; libjxl decodes the bytes as
they come and draws what it has when asked. The stages, as libjxl reports
them: "none" (no picture yet), "preview" (the 1:8 preview, drawn at full
size), "pass" (a later pass of the detail) and "complete". Lossy files that
span more than one 256 x 256 group and have no alpha have the middle
stages; lossless files, files with alpha and small files go from "none"
to "complete"."""

from __future__ import annotations

from collections.abc import Buffer
from typing import TYPE_CHECKING, Any, Literal, cast

from PIL import Image

from . import _native, layouts
from .arrays import MAX_PIXELS, _numpy
from .facts import FileFacts
from .layouts import image_over
from .save_options import check_int

if TYPE_CHECKING:
    import numpy.typing as npt

Stage = Literal["none", "preview", "pass", "complete"]
STAGES: tuple[Stage, ...] = ("none", "preview", "pass", "complete")


def facts_of(decoder: _native.ProgressiveDecoder) -> FileFacts | None:
    """The file's facts as the one reader gives them, once the decoder has
    read them (with the colour profile)."""
    found = decoder.facts
    return None if found is None else FileFacts.from_native(found)


def pillow_mode(found: FileFacts) -> str:
    """The mode the plug-in gives the image in (a depth it cannot decode:
    as the decoder draws it, grey floats or 8-bit colour)."""
    layout = layouts.of_samples(found.bits, found.exponent_bits, found.grey, found.has_alpha)
    if layout is not None:
        return layout.pillow_mode
    if found.grey and not found.has_alpha:
        return "F"
    return "LA" if found.grey else "RGBA" if found.has_alpha else "RGB"


def pillow_picture(decoder: _native.ProgressiveDecoder, any_picture: bool) -> tuple[Image.Image, str, bool] | None:
    """The picture so far as a Pillow image in the plug-in's mode, with the
    profile of its pixels, the stage it shows and whether libjxl drew it
    (else it is all zero), or None (no picture: before the first stage,
    unless any_picture)."""
    rendered = decoder.render("pillow", any_picture)
    found = facts_of(decoder)
    if rendered is None or found is None:
        return None
    samples, _, _, stage, drawn = rendered
    image = image_over(samples, pillow_mode(found), (found.width, found.height))
    if found.icc:
        image.info["icc_profile"] = found.icc
    return image, stage, drawn


class ProgressiveDecoder:
    """A JPEG XL still image (or an animation's first frame) from bytes fed
    as they arrive, in pieces of any size.

    feed() decodes what the new bytes add (earlier bytes are never decoded
    again), with the interpreter lock released. image() and array() draw the
    best picture so far when they are called, never before: a picture costs
    libjxl a render of the whole image, so asking only for the pictures
    wanted keeps the total near a one-shot decode. num_threads: libjxl's
    worker threads for the decoder's life, negative for its default, 0 for
    the calling thread. One thread at a time may use a decoder (another gets
    RuntimeError). Memory is bounded as for a whole decode: libjxl's state
    and one buffer of the image's samples (more than MAX_PIXELS pixels is a
    ValueError), plus each picture handed out."""

    def __init__(self, *, num_threads: int = -1) -> None:
        threads = check_int("num_threads", num_threads, -(1 << 63), (1 << 63) - 1)
        self._decoder = _native.ProgressiveDecoder(threads, MAX_PIXELS)
        self._found: FileFacts | None = None

    def feed(self, data: Buffer) -> Stage:
        """Decodes as far as data (the next bytes of the file) goes, and
        returns the stage reached. After the image is complete, more bytes
        are ignored. ValueError for bytes that are not JPEG XL or corrupt
        (the same again on every later call), MemoryError."""
        return cast(Stage, self._decoder.feed(data))

    @property
    def stage(self) -> Stage:
        """"none", "preview" (1:8), "pass" (a later pass) or "complete"."""
        return cast(Stage, self._decoder.stage)

    @property
    def bytes_fed(self) -> int:
        return self._decoder.bytes_fed

    def _facts(self) -> FileFacts | None:
        if self._found is None:
            self._found = facts_of(self._decoder)
        return self._found

    @property
    def size(self) -> tuple[int, int] | None:
        """(width, height) as delivered (oriented), once the header is in."""
        found = self._facts()
        return None if found is None else (found.width, found.height)

    @property
    def mode(self) -> str | None:
        """The Pillow mode image() gives (the plug-in's), once the header is in."""
        found = self._facts()
        return None if found is None else pillow_mode(found)

    @property
    def icc_profile(self) -> bytes:
        """The colour profile of the pixels handed out (b"" before it arrives)."""
        found = self._facts()
        return b"" if found is None else found.icc

    def image(self) -> Image.Image | None:
        """The best picture so far as a Pillow image, as Image.open would
        deliver the whole file (same mode, upright; a file made from a JPEG
        gives libjxl's pixels), or None before the first stage. Its
        info["icc_profile"] is the profile of its pixels."""
        picture = pillow_picture(self._decoder, False)
        return None if picture is None else picture[0]

    def array(self) -> npt.NDArray[Any] | None:
        """The best picture so far as a numpy array at full precision, as
        decode_array gives the whole file, or None before the first stage."""
        np = _numpy()
        rendered = self._decoder.render("array", False)
        found = self._facts()
        if rendered is None or found is None:
            return None
        samples, dtype, channels, _, _ = rendered
        shape = (found.height, found.width) if channels == 1 else (found.height, found.width, channels)
        array: npt.NDArray[Any] = np.frombuffer(samples, dtype=dtype).reshape(shape)
        return array


def preview(data: Buffer, *, num_threads: int = -1) -> tuple[Image.Image | None, Stage]:
    """The best picture the first bytes of a JPEG XL file hold, and its
    stage: (image, "preview") once the 1:8 preview is in, (None, "none")
    before it, (image, "complete") for the whole file. For ranged reads from
    object stores: docs/progressive.md says how many bytes a preview takes.
    ValueError for bytes that are not JPEG XL or corrupt."""
    decoder = ProgressiveDecoder(num_threads=num_threads)
    stage = decoder.feed(data)
    return decoder.image(), stage
