"""An animated WebP that shows one picture twice, assembled from a still
WebP written by Pillow (libwebp): libwebp's animation encoder merges frames
it finds identical, so an animation of one picture would otherwise become a
still image and lose its duration and loop count. The picture's coded data
is stored once per frame, unchanged; only the container around it is ours."""

from __future__ import annotations

import struct
from collections.abc import Sequence

_FRAME_DATA = (b"ALPH", b"VP8 ", b"VP8L")
_KEPT = (b"ICCP", b"EXIF", b"XMP ")  # the still's metadata, kept in the animation
_FLAG_ANIMATION, _FLAG_XMP, _FLAG_EXIF, _FLAG_ALPHA, _FLAG_ICC = 0x02, 0x04, 0x08, 0x10, 0x20
_FLAGS = {b"ICCP": _FLAG_ICC, b"EXIF": _FLAG_EXIF, b"XMP ": _FLAG_XMP}
_NO_BLEND = 0x02  # an ANMF frame replaces the canvas under it, no alpha blending
_MAX_DURATION = (1 << 24) - 1  # ms, ANMF's field


def _chunk(kind: bytes, payload: bytes) -> bytes:
    return kind + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) & 1)


def _u24(value: int) -> bytes:
    return value.to_bytes(3, "little")


def _chunks(still: bytes) -> list[tuple[bytes, bytes]]:
    """The chunks of a RIFF WebP file; ValueError if it is not one."""
    if len(still) < 12 or still[:4] != b"RIFF" or still[8:12] != b"WEBP":
        raise ValueError("the WebP writer gave no WebP file")
    found, at = [], 12
    while at + 8 <= len(still):
        kind, size = still[at:at + 4], struct.unpack_from("<I", still, at + 4)[0]
        if at + 8 + size > len(still):
            raise ValueError("the WebP writer gave a truncated file")
        found.append((kind, still[at + 8:at + 8 + size]))
        at += 8 + size + (size & 1)
    return found


def shown_twice(still: bytes, size: tuple[int, int], durations: Sequence[int], loop: int, alpha: bool) -> bytes:
    """An animated WebP of `size` whose frames are the still's picture, each
    lasting its duration in ms (capped at the format's 16777215), played
    `loop` times (0: forever)."""
    chunks = _chunks(still)
    picture = b"".join(_chunk(kind, payload) for kind, payload in chunks if kind in _FRAME_DATA)
    kept = [(kind, payload) for kind, payload in chunks if kind in _KEPT]
    flags = _FLAG_ANIMATION | (_FLAG_ALPHA if alpha else 0)
    for kind, _ in kept:
        flags |= _FLAGS[kind]
    width, height = size
    canvas = _u24(width - 1) + _u24(height - 1)
    body = [_chunk(b"VP8X", bytes([flags, 0, 0, 0]) + canvas)]
    body += [_chunk(kind, payload) for kind, payload in kept if kind == b"ICCP"]
    body.append(_chunk(b"ANIM", bytes(4) + struct.pack("<H", loop)))  # background: transparent black
    for duration in durations:
        header = _u24(0) + _u24(0) + canvas + _u24(min(max(duration, 0), _MAX_DURATION)) + bytes([_NO_BLEND])
        body.append(_chunk(b"ANMF", header + picture))
    body += [_chunk(kind, payload) for kind, payload in kept if kind != b"ICCP"]
    content = b"WEBP" + b"".join(body)
    return b"RIFF" + struct.pack("<I", len(content)) + content
