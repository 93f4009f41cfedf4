"""Pillow's ImageFile.Parser for JPEG XL stills: the plug-in's image has one
tile for this decoder, which libjxl's progressive decoder runs on each piece
as it is fed (Parser then keeps no growing copy of the data, and the decode
is done by the time the last piece is in). Animations have no tile: Parser
keeps their bytes and opens them whole at close().

The image is complete once libjxl has decoded it: metadata boxes stored
after the codestream are not waited for. A file made from a JPEG gives the
JPEG as Image.open does, rebuilt from the bytes (which are kept for it). At
close(), data that ended early is an OSError, or with
ImageFile.LOAD_TRUNCATED_IMAGES the picture it holds (truncated.py)."""

from __future__ import annotations

import io
import weakref
from typing import TYPE_CHECKING, Any

from PIL import Image, ImageFile

from . import _native
from .arrays import MAX_PIXELS
from .progressive import pillow_picture
from .truncated import check_announced

if TYPE_CHECKING:
    from .facts import FileFacts
    from .plugin import JxlImageFile

NAME = "jxl"


def tiles(image: JxlImageFile, found: FileFacts, opened_bytes: int) -> list[ImageFile._Tile]:
    """The one tile of a still image opened from `opened_bytes` bytes, or
    none: for an animation, and where the bytes end before the first frame's
    header (Parser opening a file early: JPEG reconstruction data may still
    come, which changes the picture). Parser then keeps the bytes and opens
    them whole at close(). The decoder holds the image weakly, so that an
    image never loaded is freed without the cycle collector."""
    early = not found.frames and found.stopped is not None and found.stopped.kind == "truncated"
    if found.animated or early:
        return []
    return [ImageFile._Tile(NAME, (0, 0) + image.size, 0, (weakref.ref(image), opened_bytes))]


class IncrementalDecoder(ImageFile.PyDecoder):
    _pulls_fd = False

    def init(self, args: tuple[Any, ...]) -> None:
        self._image: weakref.ref[JxlImageFile] = args[0]
        # Parser hands over the bytes it opened the image from with the next
        # piece, or alone from close(): then no more are coming. Later, all
        # having been consumed, close() hands over nothing.
        self._opened_bytes: int | None = args[1]
        image = self._image()
        if image is None:
            raise OSError("cannot decode JPEG XL image: the image is gone")
        self._decoder = _native.ProgressiveDecoder(image.num_threads, MAX_PIXELS, 0, *image.pixels_asked())
        jpeg = image.jpeg_reconstruction
        self._kept: bytearray | None = bytearray() if jpeg else None

    def decode(self, buffer: bytes | Image.SupportsArrayInterface) -> tuple[int, int]:
        if not isinstance(buffer, (bytes, bytearray, memoryview)):
            raise TypeError(f"JPEG XL data must be bytes, not {type(buffer).__name__}")
        data = memoryview(buffer).cast("B")
        image = self._image()
        if image is None:
            return -1, 0  # nothing left to decode into
        last = len(data) == 0 or len(data) == self._opened_bytes
        self._opened_bytes = None
        if self._kept is not None:
            self._kept += data
        try:
            stage = self._decoder.feed(data)
        except (ValueError, RuntimeError) as e:
            raise OSError(f"cannot decode JPEG XL image: {e}") from e
        if stage == "complete":
            self._finish(image, truncated=False)
        elif last:
            self._finish_truncated(image)
        else:
            return len(data), 0
        return -1, 0

    def _finish_truncated(self, image: JxlImageFile) -> None:
        if not ImageFile.LOAD_TRUNCATED_IMAGES:
            msg = (f"cannot decode JPEG XL image: the file is truncated: it ended after "
                   f"{self._decoder.bytes_fed} bytes, at stage {self._decoder.stage!r}")
            raise OSError(msg)
        self._finish(image, truncated=True)

    def _finish(self, image: JxlImageFile, truncated: bool) -> None:
        if self._kept is not None:
            # The JPEG the file was made from, rebuilt as Image.open rebuilds it.
            with Image.open(io.BytesIO(bytes(self._kept))) as whole:
                whole.load()
            picture, info = whole, whole.info
        else:
            try:
                drawn = pillow_picture(self._decoder, truncated)
            except (ValueError, RuntimeError) as e:
                raise OSError(f"cannot decode JPEG XL image: {e}") from e
            if drawn is None:
                raise OSError("cannot decode JPEG XL image: libjxl drew no picture")
            picture, info = drawn[0], drawn[0].info
        check_announced(picture, image.mode, image.size)
        image.im = picture.im
        image.readonly = picture.readonly
        for key, value in info.items():
            image.info.setdefault(key, value)
