"""Lossless JPEG recompression at the bytes level: a JPEG file into JPEG XL
and, from JPEG reconstruction data, back to the very same bytes."""

from __future__ import annotations

import io

import tessara

from . import _native, errors, facts, header, metadata
from .save_options import MAX_THREADS, check_int


class JpegNotRebuilt(ValueError):
    """The file carries JPEG reconstruction data, its pixels decode, but the
    JPEG cannot be rebuilt from it as the file now is: the data no longer
    matches the file, or the rebuilt JPEG would lack the file's current Exif
    or XMP, as when a tool changed its metadata after it was transcoded."""


def jpeg_to_jxl(jpeg: bytes, *, effort: int = 7, num_threads: int = -1) -> bytes:
    """A JPEG XL file that stores `jpeg` losslessly, rebuildable bit for bit.
    num_threads: libjxl's worker threads, -1 for its default, 0 for none."""
    if not isinstance(jpeg, bytes):
        msg = f"jpeg must be bytes, not {type(jpeg).__name__}"
        raise TypeError(msg)
    check_int("effort", effort, 1, 10, wrong_type=ValueError)
    check_int("num_threads", num_threads, -1, MAX_THREADS, wrong_type=ValueError)
    try:
        # The mode and the size are not used when a JPEG file is transcoded.
        return tessara.Encoder("RGB", effort=effort, num_threads=num_threads)(jpeg, 0, 0, True)
    except RuntimeError as e:
        msg = f"cannot store this JPEG file losslessly: {errors.plain_reason(e, 'transcode')}"
        raise ValueError(msg) from e


def jxl_to_jpeg(jxl: bytes, *, num_threads: int = -1) -> bytes:
    """The JPEG file a JPEG XL file was made from, rebuilt from its
    reconstruction data (of frame 0, in an animation whose first frame is a
    JPEG); ValueError when libjxl finds none to use.
    num_threads: libjxl's worker threads, -1 for its default, 0 for none."""
    if not isinstance(jxl, bytes):
        msg = f"jxl must be bytes, not {type(jxl).__name__}"
        raise TypeError(msg)
    check_int("num_threads", num_threads, -1, MAX_THREADS, wrong_type=ValueError)
    found = facts.read(jxl)
    if not found.jpeg_reconstruction:
        msg = ("this JPEG XL file has no JPEG reconstruction data that libjxl uses (none before its first frame), "
               "so there is no original JPEG to rebuild")
        raise ValueError(msg)
    if found.stopped is not None and found.stopped.kind in ("too_many_layers", "too_many_frames"):
        # libjxl decodes every frame after the JPEG's: refused before it does.
        raise ValueError(f"cannot rebuild the JPEG file: {found.stopped.text}")
    truncated = found.stopped is not None and found.stopped.kind == "truncated"
    try:
        is_jpeg, _, data, _, _ = tessara.Decoder(num_threads=num_threads)(jxl)
    except RuntimeError as e:
        if not truncated and _pixels_decode(jxl, num_threads):
            msg = ("the original JPEG cannot be rebuilt: the file's JPEG reconstruction data no longer matches it "
                   "(its metadata was probably changed since it was transcoded); its pixels still decode")
            raise JpegNotRebuilt(msg) from e
        msg = f"cannot rebuild the JPEG file: {errors.plain_reason(e, truncated=truncated)}"
        raise ValueError(msg) from e
    if not is_jpeg:
        msg = "libjxl did not use the file's JPEG reconstruction data"
        raise ValueError(msg)
    _check_metadata_kept(jxl, data)
    return data


def _check_metadata_kept(jxl: bytes, jpeg: bytes) -> None:
    """JpegNotRebuilt when the rebuilt JPEG lacks the file's current Exif or
    XMP (its last box of each kind, what Image.open reports). libjxl fills
    the JPEG from the first box of each kind, and only where the original
    JPEG had that kind: a tool that appended an edited box, or added one,
    would otherwise lose the edit without a word."""
    file = io.BytesIO(jxl)
    current = metadata.metadata_boxes(file, header.read_header(file))
    carried = metadata.jpeg_metadata(jpeg)
    lost = [name for key, name in (("exif", "Exif"), ("xmp", "XMP"))
            if key in current and carried.get(key) != current[key]]
    if lost:
        kinds, were = (lost[0], "was") if len(lost) == 1 else ("Exif and XMP", "were")
        msg = (f"the original JPEG cannot be rebuilt with the file's current {kinds}: it {were} changed or added "
               "after the file was transcoded, and a JPEG rebuilt from the reconstruction data would not carry it; "
               "its pixels still decode")
        raise JpegNotRebuilt(msg)


def _pixels_decode(jxl: bytes, num_threads: int) -> bool:
    """Whether the file's pixels decode: what tells a reconstruction that
    libjxl refuses from a damaged file (the one failure text covers both)."""
    try:
        _native.FrameDecoder(jxl, "uint8", 0, False, num_threads).decode(0)
    except (ValueError, RuntimeError, IndexError):
        return False
    return True
