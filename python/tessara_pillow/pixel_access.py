"""The pixel access object that load() returns for an image whose pixels are
the decoded bytes themselves: Pillow marks such an image read-only, and its
own access object then refuses every write ("image is readonly")."""

from __future__ import annotations

from typing import Any

from PIL import Image


def frame_of(image: Image.Image) -> object:
    """What identifies the pixels the image shows: the plug-in gives each
    decode its own token (the next frame after seek() is another)."""
    return getattr(image, "_shown_frame", None)


class MappedPixelAccess:
    """`px[x, y]` and `px[x, y] = value` as Pillow's access object gives them.

    Reads go to the decoded bytes; the first write makes the image Pillow's
    own copy, as putpixel() and ImageDraw do, and it and every later access
    go to that copy (also when another write made the copy first). Like
    Pillow's own, the object stays with the frame it was made for: after
    seek() it reads that frame, and refuses to write, since the image now
    shows another."""

    __slots__ = ("_access", "_frame", "_image", "_mapped")

    def __init__(self, image: Image.Image) -> None:
        self._image = image
        self._frame = frame_of(image)
        self._follow()

    def _follow(self) -> None:
        self._mapped = bool(self._image.readonly)
        self._access = self._image.im.pixel_access(self._mapped)

    def _shown(self) -> bool:
        return frame_of(self._image) is self._frame

    def __getitem__(self, xy: Any) -> Any:
        if self._mapped and not self._image.readonly and self._shown():
            self._follow()
        return self._access[xy]

    def __setitem__(self, xy: Any, value: Any) -> None:
        if not self._shown():
            msg = "the image shows another frame than this pixel access object was made for: use the one load() returns"
            raise ValueError(msg)
        if self._mapped:
            self._image._ensure_mutable()
            self._follow()
        self._access[xy] = value
