"""Images opened for a conversion: Pillow's own identification, format by
format as Image.open tries them, without its size check, and a reason in
plain words when no format can read a file.

Image.open checks the size against Image.MAX_IMAGE_PIXELS, a setting of the
whole process: a cluster's worker, shared with other people's tasks, must
keep it as it is, so --max-pixels is applied to each image instead
(planning.check_pixels). And where Image.open says only "cannot identify
image file", the plug-in whose signature the file carries knows what is
wrong with it: a truncated JPEG XL file, say."""

from __future__ import annotations

import os
import struct
from typing import BinaryIO

from PIL import Image, ImageFile, UnidentifiedImageError

from ..errors import TRUNCATED
from .reasons import NOT_AN_IMAGE, format_name, plain_pillow, truncated

# What Image.open takes for "not this format" from a plug-in's _open.
_NOT_THIS_FORMAT = (SyntaxError, IndexError, TypeError, struct.error)


def _file_size(file: BinaryIO) -> int:
    try:
        return os.fstat(file.fileno()).st_size
    except (AttributeError, OSError, ValueError):
        return file.seek(0, os.SEEK_END)


def _unreadable(fmt: str, error: BaseException, size: int) -> str:
    """Why a file that carries `fmt`'s signature cannot be opened."""
    text = plain_pillow(" ".join(str(error).split())).removeprefix(f"{format_name(fmt)}: ")
    if text.startswith(TRUNCATED):
        return truncated(fmt, size, text.removeprefix(TRUNCATED).strip(" ,;"))
    name = format_name(fmt)
    return f"{'an' if name[:1] in 'AEIOU' else 'a'} {name} file that cannot be read: {text or type(error).__name__}"


def open_image(file: BinaryIO) -> ImageFile.ImageFile:
    """The image in `file` (a seekable binary file, read from its start), as
    Image.open gives it, but never refused for its size (the caller checks
    it). UnidentifiedImageError in plain words when no format opens it."""
    file.seek(0)
    prefix = file.read(16)
    Image.preinit()
    tried: list[tuple[str, BaseException]] = []
    checked: list[str] = []
    while True:
        for fmt in [f for f in Image.ID if f not in checked]:
            checked.append(fmt)
            factory, accept = Image.OPEN[fmt]
            try:
                wanted = not accept or accept(prefix)
            except _NOT_THIS_FORMAT:  # some check more bytes than a short file has
                continue
            if not wanted or isinstance(wanted, str):
                continue
            file.seek(0)
            try:
                return factory(file, "")
            except _NOT_THIS_FORMAT as e:
                if accept:  # the file carries its signature (formats without one try every file)
                    tried.append((fmt, e))
            except EOFError as e:  # its reading ran out of file
                raise UnidentifiedImageError(truncated(fmt, _file_size(file))) from e
            except OSError as e:
                if e.errno is not None:  # reading the file failed, not its content
                    raise
                raise UnidentifiedImageError(_unreadable(fmt, e, _file_size(file))) from e
        # As Image.open: the formats registered so far, then all of Pillow's.
        if not Image.init():
            break
    if not tried:
        raise UnidentifiedImageError(NOT_AN_IMAGE)
    fmt, error = tried[0]
    raise UnidentifiedImageError(_unreadable(fmt, error, _file_size(file)))
