"""The pixel access object that load() returns for an image whose pixels are
the decoded bytes themselves: Pillow marks such an image read-only, and its
own access object then refuses every write ("image is readonly")."""

from __future__ import annotations

from typing import Any

from PIL import Image


class MappedPixelAccess:
    """`px[x, y]` and `px[x, y] = value` as Pillow's access object gives them.

    Reads go to the decoded bytes; the first write makes the image Pillow's
    own copy, as putpixel() and ImageDraw do, and it and every later access
    go to that copy (also when another write made the copy first)."""

    __slots__ = ("_access", "_image", "_mapped")

    def __init__(self, image: Image.Image) -> None:
        self._image = image
        self._follow()

    def _follow(self) -> None:
        self._mapped = bool(self._image.readonly)
        self._access = self._image.im.pixel_access(self._mapped)

    def __getitem__(self, xy: Any) -> Any:
        if self._mapped and not self._image.readonly:
            self._follow()
        return self._access[xy]

    def __setitem__(self, xy: Any, value: Any) -> None:
        if self._mapped:
            self._image._ensure_mutable()
            self._follow()
        self._access[xy] = value
