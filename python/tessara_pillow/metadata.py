"""Exif and XMP between JPEG XL boxes and Pillow's forms: reading them from a
file's boxes, plain or brotli-compressed, and marking them upright."""

from __future__ import annotations

import importlib
import re
import struct
from types import ModuleType
from typing import BinaryIO

from .header import Box, JxlHeader, read_box

EXIF_PREFIX = b"Exif\x00\x00"
# Decompressed "brob" content beyond this is refused: metadata is small, and
# a few hundred bytes of brotli can expand to gigabytes.
MAX_BROB_SIZE = 64 << 20
# brotli 1.1 has no output limit, so input goes in 16-byte steps: one step
# expands to a few 16 MiB blocks at most, which bounds how far past the cap a
# bomb gets before it is refused.
_BROB_STEP = 16
_TIFF_MAGICS = (b"II*\x00", b"MM\x00*")
_ORIENTATION_TAG = 0x0112
_SHORT = 3
_METADATA_KEYS = {b"Exif": "exif", b"xml ": "xmp"}

_XMP_ATTRIBUTE = re.compile(rb"""(tiff:Orientation\s*=\s*(["']))\s*[0-9]+\s*(\2)""")
_XMP_ELEMENT = re.compile(rb"(<tiff:Orientation>)\s*[0-9]+\s*(</tiff:Orientation>)")


def _strip_exif_prefix(exif: bytes) -> bytes:
    # Pillow strips repeated prefixes too; some writers doubled it
    while exif.startswith(EXIF_PREFIX):
        exif = exif[len(EXIF_PREFIX):]
    return exif


def exif_from_box(content: bytes) -> bytes:
    """An "Exif" box's content in Pillow's form: b"Exif\\0\\0" + the TIFF data.

    The content starts with the big-endian offset of the TIFF header after
    those 4 bytes. Raises ValueError if it is short or holds no TIFF header."""
    if len(content) < 4:
        raise ValueError("JPEG XL: the Exif box is shorter than its TIFF offset")
    start = 4 + int.from_bytes(content[:4], "big")
    tiff = content[start:]
    if tiff[:4] not in _TIFF_MAGICS:
        raise ValueError("JPEG XL: no TIFF header where the Exif box's offset points")
    return EXIF_PREFIX + tiff


def exif_to_box(exif: bytes) -> bytes:
    """The content of an "Exif" box for Pillow-form Exif (prefix optional)."""
    return bytes(4) + _strip_exif_prefix(exif)


def _brotli() -> ModuleType:
    try:
        return importlib.import_module("brotli")
    except ImportError as error:
        raise ImportError("JPEG XL: reading a brotli-compressed (brob) box needs the "
                          "brotli module (Debian: python3-brotli)") from error


def _decompress(data: bytes, limit: int) -> bytes:
    brotli = _brotli()
    decompressor = brotli.Decompressor()
    chunks, size = [], 0
    try:
        for start in range(0, len(data), _BROB_STEP):
            chunks.append(decompressor.process(data[start:start + _BROB_STEP]))
            size += len(chunks[-1])
            if size > limit:
                raise ValueError(f"JPEG XL: a brob box decompresses to more than {limit} bytes")
        finished = decompressor.is_finished()
    except brotli.error as error:
        raise ValueError(f"JPEG XL: bad brotli data in a brob box ({error})") from error
    if not finished:
        raise ValueError("JPEG XL: the brotli data of a brob box is truncated")
    return b"".join(chunks)


def unwrap_brob(content: bytes, limit: int = MAX_BROB_SIZE) -> tuple[bytes, bytes]:
    """A "brob" box's content -> (the inner box type, its decompressed content).

    Raises ValueError for bad or truncated brotli data, or content that
    decompresses to more than limit bytes; ImportError without brotli."""
    if len(content) < 4:
        raise ValueError("JPEG XL: the brob box is shorter than its inner type")
    return content[:4], _decompress(content[4:], limit)


def _inner_type(fp: BinaryIO, box: Box) -> bytes:
    """The type a box holds: its own, or for "brob" the wrapped box's."""
    if box.type != b"brob" or box.content_size < 4:
        return box.type
    fp.seek(box.content_offset)
    return fp.read(4)


def _read_metadata(fp: BinaryIO, box: Box, key: str) -> bytes:
    content = read_box(fp, box)
    if box.type == b"brob":
        content = unwrap_brob(content)[1]
    return exif_from_box(content) if key == "exif" else content


def metadata_boxes(fp: BinaryIO, header: JxlHeader) -> dict[str, bytes]:
    """{"exif": ..., "xmp": ...} from the first readable "Exif" and "xml "
    boxes, plain or inside "brob", wherever they stand, in Pillow's forms
    (exif as exif_from_box gives it, xmp the raw XML). A box that cannot be
    read (truncated, malformed, too large, no brotli module) is passed over."""
    found: dict[str, bytes] = {}
    for box in header.boxes:
        key = _METADATA_KEYS.get(_inner_type(fp, box))
        if key is None or key in found or box.truncated:
            continue
        try:
            found[key] = _read_metadata(fp, box, key)
        except (ValueError, ImportError):
            continue
    return found


def _orientation_value(tiff: bytes) -> tuple[int, str] | None:
    """(offset in tiff, byte order) of the value of IFD0's Orientation, if a single SHORT."""
    order = {b"II*\x00": "<", b"MM\x00*": ">"}.get(tiff[:4])
    if order is None:
        return None
    try:
        ifd = struct.unpack_from(order + "I", tiff, 4)[0]
        count = struct.unpack_from(order + "H", tiff, ifd)[0]
        for entry in range(ifd + 2, ifd + 2 + 12 * count, 12):
            tag, kind, values = struct.unpack_from(order + "HHI", tiff, entry)
            if tag == _ORIENTATION_TAG:
                return (entry + 8, order) if (kind, values) == (_SHORT, 1) else None
    except struct.error:
        return None
    return None


def exif_with_orientation_1(exif: bytes) -> bytes:
    """Pillow-form Exif with IFD0's Orientation set to 1 in place (its 2 value
    bytes, in the data's byte order); unchanged if absent or unreadable."""
    tiff_start = len(exif) - len(_strip_exif_prefix(exif))
    found = _orientation_value(exif[tiff_start:])
    if found is None:
        return exif
    at = tiff_start + found[0]
    return exif[:at] + struct.pack(found[1] + "H", 1) + exif[at + 2:]


def xmp_with_orientation_1(xmp: bytes) -> bytes:
    """XMP with tiff:Orientation (attribute or element form) set to 1."""
    xmp = _XMP_ATTRIBUTE.sub(rb"\g<1>1\g<3>", xmp)
    return _XMP_ELEMENT.sub(rb"\g<1>1\g<2>", xmp)
