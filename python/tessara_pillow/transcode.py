"""Lossless JPEG recompression at the bytes level: a JPEG file into JPEG XL
and, from JPEG reconstruction data, back to the very same bytes."""

from __future__ import annotations

import io

import tessara

from . import errors, header
from .plugin import MAX_THREADS


def _check_int(name: str, value: int, low: int, high: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        msg = f"{name} must be an integer from {low} to {high}, not {value!r}"
        raise ValueError(msg)


def jpeg_to_jxl(jpeg: bytes, *, effort: int = 7, num_threads: int = -1) -> bytes:
    """A JPEG XL file that stores `jpeg` losslessly, rebuildable bit for bit.
    num_threads: libjxl's worker threads, -1 for its default, 0 for none."""
    if not isinstance(jpeg, bytes):
        msg = f"jpeg must be bytes, not {type(jpeg).__name__}"
        raise TypeError(msg)
    _check_int("effort", effort, 1, 10)
    _check_int("num_threads", num_threads, -1, MAX_THREADS)
    try:
        # The mode and the size are not used when a JPEG file is transcoded.
        return tessara.Encoder("RGB", effort=effort, num_threads=num_threads)(jpeg, 0, 0, True)
    except RuntimeError as e:
        msg = f"cannot store this JPEG file losslessly: {errors.plain_reason(e, 'transcode')}"
        raise ValueError(msg) from e


def jxl_to_jpeg(jxl: bytes, *, num_threads: int = -1) -> bytes:
    """The JPEG file a JPEG XL file was made from, rebuilt from its
    reconstruction data; ValueError when it carries none.
    num_threads: libjxl's worker threads, -1 for its default, 0 for none."""
    if not isinstance(jxl, bytes):
        msg = f"jxl must be bytes, not {type(jxl).__name__}"
        raise TypeError(msg)
    _check_int("num_threads", num_threads, -1, MAX_THREADS)
    try:
        headers = header.read_header(io.BytesIO(jxl))
    except SyntaxError as e:
        raise ValueError(str(e)) from e
    if not headers.jpeg_reconstruction:
        msg = "this JPEG XL file has no JPEG reconstruction data, so there is no original JPEG to rebuild"
        raise ValueError(msg)
    try:
        is_jpeg, _, data, _, _ = tessara.Decoder(num_threads=num_threads)(jxl)
    except RuntimeError as e:
        msg = f"cannot rebuild the JPEG file: {errors.plain_reason(e, truncated=headers.truncated)}"
        raise ValueError(msg) from e
    if not is_jpeg:
        msg = "libjxl did not use the file's JPEG reconstruction data"
        raise ValueError(msg)
    return data
