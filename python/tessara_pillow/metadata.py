"""Exif and XMP between JPEG XL boxes and Pillow's forms: reading them from a
file's boxes, plain or brotli-compressed, and from a JPEG's segments, the
orientation they give, and marking them upright."""

from __future__ import annotations

import re
import struct
from typing import BinaryIO

from . import unbrotli
from .header import Box, JxlHeader, read_box

EXIF_PREFIX = b"Exif\x00\x00"
# What Image.open reads of Exif and XMP in one file, from plain boxes and
# decompressed from "brob" boxes together. Exif from cameras and JPEG files
# is at most 64 KiB (one APP1 segment), and so is ordinary XMP; 4 MiB leaves
# room for long editing histories and extended XMP, and keeps open within a
# few MiB and milliseconds whatever the boxes hold (a few hundred bytes of
# brotli can expand to gigabytes). Pillow's PNG reader allows 1 MiB per
# compressed text chunk. Metadata beyond it is passed over, as an unreadable
# box is.
MAX_METADATA_BYTES = 4 << 20
_TIFF_MAGICS = (b"II*\x00", b"MM\x00*")
_ORIENTATION_TAG = 0x0112
# The integer types of TIFF entries and their sizes: BYTE, SHORT, LONG, SBYTE,
# SSHORT, SLONG.
_INTEGER_SIZES = {1: 1, 3: 2, 4: 4, 6: 1, 8: 2, 9: 4}
_METADATA_KEYS = {b"Exif": "exif", b"xml ": "xmp"}

_XMP_ATTRIBUTE = re.compile(rb"""(tiff:Orientation\s*=\s*(["']))\s*[0-9]+\s*(\2)""")
_XMP_ELEMENT = re.compile(rb"(<tiff:Orientation>)\s*[0-9]+\s*(</tiff:Orientation>)")
# The form Pillow's getexif() reads an XMP orientation in (and exif_transpose removes).
_XMP_VALUE = re.compile(rb'tiff:Orientation(?:="|>)([0-9])')


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


def unwrap_brob(content: bytes, limit: int = MAX_METADATA_BYTES) -> tuple[bytes, bytes]:
    """A "brob" box's content -> (the inner box type, its decompressed content).

    Raises ValueError for bad or truncated brotli data, or content that
    decompresses to more than limit bytes; ImportError without a brotli
    decoder (libbrotlidec or the brotli module)."""
    if len(content) < 4:
        raise ValueError("JPEG XL: the brob box is shorter than its inner type")
    return content[:4], unbrotli.decompress(content[4:], limit)


def _read_metadata(fp: BinaryIO, box: Box, key: str, budget: int) -> bytes:
    if box.truncated:
        raise ValueError("JPEG XL: the file ends inside the box")
    if box.type != b"brob":
        content = read_box(fp, box, budget)
    else:
        # Brotli stores data it cannot compress with a few bytes more per
        # 64 KiB; what compresses is smaller than the budget already.
        content = unwrap_brob(read_box(fp, box, budget + budget // 1024 + 64), budget)[1]
    return exif_from_box(content) if key == "exif" else content


def metadata_boxes(fp: BinaryIO, header: JxlHeader, budget: int = MAX_METADATA_BYTES) -> dict[str, bytes]:
    """{"exif": ..., "xmp": ...} from the last "Exif" and the last "xml "
    box, plain or inside "brob", wherever they stand, in Pillow's forms (exif
    as exif_from_box gives it, xmp the raw XML). A tool that cannot rewrite a
    box in place (a brob one it cannot read, say) appends a new one, so the
    last box of a kind is the file's current metadata, and only it is read:
    if it cannot be (truncated, malformed, no brotli decoder, or beyond what
    is left of `budget` bytes for the whole file), that kind is left out
    rather than reported from an older box."""
    last: dict[str, Box] = {}
    for box in header.boxes:
        key = _METADATA_KEYS.get(box.inner_type or box.type)
        if key is not None:
            last[key] = box
    found: dict[str, bytes] = {}
    for key, box in sorted(last.items(), key=lambda item: item[1].offset):
        try:
            found[key] = _read_metadata(fp, box, key, budget)
            budget -= len(found[key])
        except (ValueError, ImportError):
            pass
    return found


_XMP_NAMESPACE = b"http://ns.adobe.com/xap/1.0/\x00"
_APP1 = 0xE1
_START_OF_SCAN, _END_OF_IMAGE = 0xDA, 0xD9
_NO_LENGTH = {0x01, *range(0xD0, 0xD9)}  # markers without a segment (RSTn, SOI, TEM)


def jpeg_metadata(jpeg: bytes) -> dict[str, bytes]:
    """{"exif": ..., "xmp": ...} of a JPEG file, in the forms metadata_boxes
    gives: the first Exif and the first XMP APP1 segment before the image
    data (the ones JPEG reconstruction fills from a file's boxes)."""
    found: dict[str, bytes] = {}
    at = 2 if jpeg[:2] == b"\xff\xd8" else len(jpeg)
    while at + 4 <= len(jpeg) and jpeg[at] == 0xFF:
        marker = jpeg[at + 1]
        if marker == 0xFF:  # fill byte
            at += 1
            continue
        if marker in (_START_OF_SCAN, _END_OF_IMAGE):
            break
        if marker in _NO_LENGTH:
            at += 2
            continue
        length = int.from_bytes(jpeg[at + 2:at + 4], "big")
        payload = jpeg[at + 4:at + 2 + length]
        if marker == _APP1 and length >= 2:
            if payload.startswith(EXIF_PREFIX):
                found.setdefault("exif", payload)
            elif payload.startswith(_XMP_NAMESPACE):
                found.setdefault("xmp", payload[len(_XMP_NAMESPACE):])
        at += 2 + max(length, 2)
    return found


def _orientation_values(tiff: bytes) -> tuple[list[tuple[int, int, int]], str]:
    """[(offset in tiff, value size, value count)] of every Orientation entry
    of IFD0 whose type is an integer, and the data's byte order."""
    order = {b"II*\x00": "<", b"MM\x00*": ">"}.get(tiff[:4])
    if order is None:
        return [], "<"
    found = []
    try:
        ifd = struct.unpack_from(order + "I", tiff, 4)[0]
        count = struct.unpack_from(order + "H", tiff, ifd)[0]
        for entry in range(ifd + 2, ifd + 2 + 12 * count, 12):
            tag, kind, values = struct.unpack_from(order + "HHI", tiff, entry)
            size = _INTEGER_SIZES.get(kind)
            if tag != _ORIENTATION_TAG or size is None or values == 0:
                continue
            # Values that fit in 4 bytes stand in the entry, others at an offset.
            at = entry + 8 if size * values <= 4 else struct.unpack_from(order + "I", tiff, entry + 8)[0]
            if at + size * values <= len(tiff):
                found.append((at, size, values))
    except struct.error:
        pass  # a damaged directory: what was found before it
    return found, order


def orientation(exif_box: bytes | None, xmp: bytes | None) -> int:
    """How the pixels stored with this metadata are turned upright (1 to 8,
    Exif's numbering), as Pillow's exif_transpose reads it: the Exif's
    Orientation (an "Exif" box's content), else the XMP's tiff:Orientation,
    else 1. A value that is no orientation counts as none, as does an entry
    of several values."""
    if exif_box:
        try:
            tiff = exif_from_box(exif_box)[len(EXIF_PREFIX):]
        except ValueError:
            tiff = b""
        values, order = _orientation_values(tiff)
        if values:
            at, size, count = values[0]
            value = int.from_bytes(tiff[at:at + size], "little" if order == "<" else "big")
            return value if count == 1 and 1 <= value <= 8 else 1
    match = _XMP_VALUE.search(xmp) if xmp else None
    return int(match[1]) if match and 1 <= int(match[1]) <= 8 else 1


def exif_with_orientation_1(exif: bytes) -> bytes:
    """Pillow-form Exif with every Orientation of IFD0 set to 1 in place,
    whatever its integer type, in the data's byte order (a second entry or
    value included, as readers differ in which they take); unchanged where
    there is none or the data cannot be read."""
    tiff_start = len(exif) - len(_strip_exif_prefix(exif))
    values, order = _orientation_values(exif[tiff_start:])
    if not values:
        return exif
    patched = bytearray(exif)
    for at, size, count in values:
        one = (1).to_bytes(size, "little" if order == "<" else "big")
        patched[tiff_start + at:tiff_start + at + size * count] = one * count
    return bytes(patched)


def xmp_with_orientation_1(xmp: bytes) -> bytes:
    """XMP with tiff:Orientation (attribute or element form) set to 1."""
    xmp = _XMP_ATTRIBUTE.sub(rb"\g<1>1\g<3>", xmp)
    return _XMP_ELEMENT.sub(rb"\g<1>1\g<2>", xmp)
