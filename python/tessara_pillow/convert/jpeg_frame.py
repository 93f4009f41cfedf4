"""How a JPEG file was coded, as its frame header (SOF marker) and Adobe
marker say: enough to tell someone why libjxl's lossless transcoding, which
covers baseline and progressive Huffman-coded JPEGs of one or three
components, refused it."""

from __future__ import annotations

_SOI, _SOS, _EOI, _APP14 = 0xD8, 0xDA, 0xD9, 0xEE
# Frame markers are 0xC0 to 0xCF, except DHT (C4), JPG (C8) and DAC (CC).
_NOT_FRAMES = (0xC4, 0xC8, 0xCC)
_ARITHMETIC = range(0xC9, 0xD0)
_HIERARCHICAL = (0xC5, 0xC6, 0xC7, 0xCD, 0xCE, 0xCF)
_LOSSLESS = (0xC3, 0xC7, 0xCB, 0xCF)


def _frame(data: bytes) -> tuple[int, int, int | None] | None:
    """(SOF marker, number of components, Adobe colour transform or None),
    or None when the markers before the first scan hold no frame header."""
    if data[:2] != b"\xff" + bytes([_SOI]):
        return None
    adobe: int | None = None
    pos = 2
    while pos + 4 <= len(data):
        if data[pos] != 0xFF:
            return None
        marker = data[pos + 1]
        if marker == 0xFF:  # fill byte
            pos += 1
            continue
        if marker in (_SOS, _EOI):
            return None
        length = int.from_bytes(data[pos + 2 : pos + 4], "big")
        segment = data[pos + 4 : pos + 2 + length]
        if marker == _APP14 and segment[:5] == b"Adobe" and len(segment) >= 12:
            adobe = segment[11]
        if 0xC0 <= marker <= 0xCF and marker not in _NOT_FRAMES:
            return (marker, segment[5], adobe) if len(segment) > 5 else None
        pos += 2 + length
    return None


def transcoding_obstacle(data: bytes) -> str | None:
    """What this JPEG is that lossless transcoding does not cover ("a CMYK
    JPEG", "an arithmetic-coded JPEG"...), or None when its markers show
    nothing of the kind."""
    frame = _frame(data)
    if frame is None:
        return None
    marker, components, adobe = frame
    kinds = []
    if marker in _ARITHMETIC:
        kinds.append("arithmetic-coded")
    if marker in _HIERARCHICAL:
        kinds.append("hierarchical")
    if marker in _LOSSLESS:
        kinds.append("lossless-process")
    if components == 4:
        kinds.append("CMYK (YCCK-coded)" if adobe == 2 else "CMYK")
    elif components not in (1, 3):
        kinds.append(f"{components}-component")
    if not kinds:
        return None
    text = " ".join(kinds)
    return f"{'an' if text[0] in 'aeiou' else 'a'} {text} JPEG"


def ends_early(data: bytes) -> bool:
    """Whether the file stops inside its image data: no end marker after the
    first scan (coded data never holds one; an Exif thumbnail's comes before)."""
    scan = data.find(b"\xff" + bytes([_SOS]))
    return scan != -1 and data.rfind(b"\xff" + bytes([_EOI])) < scan
