"""Brotli decompression that stops at a size limit, through libbrotlidec (the
library libjxl links, where it is a shared library): the brotli module 1.1
has no output limit, and a few bytes of its input can make 16 MiB of output
in one call. Without libbrotlidec (a wheel links libjxl statically) the
brotli module serves, in small steps, less exactly."""

from __future__ import annotations

import ctypes
import ctypes.util
import functools
import importlib
from types import ModuleType

# libbrotlidec's BrotliDecoderResult values.
_SUCCESS, _NEEDS_MORE_INPUT, _NEEDS_MORE_OUTPUT = 1, 2, 3
# Output goes through a buffer of this size, so memory follows what the data
# really holds rather than the limit.
_CHUNK = 64 << 10
# The brotli module takes input in steps this small: one step expands to a
# few 16 MiB blocks at most, which bounds how far past the limit a bomb gets.
_MODULE_STEP = 16
_size_p = ctypes.POINTER(ctypes.c_size_t)
_void_pp = ctypes.POINTER(ctypes.c_void_p)


@functools.cache
def _library() -> ctypes.CDLL | None:
    for name in ("libbrotlidec.so.1", ctypes.util.find_library("brotlidec")):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        lib.BrotliDecoderCreateInstance.restype = ctypes.c_void_p
        lib.BrotliDecoderCreateInstance.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        lib.BrotliDecoderDestroyInstance.restype = None
        lib.BrotliDecoderDestroyInstance.argtypes = [ctypes.c_void_p]
        lib.BrotliDecoderDecompressStream.restype = ctypes.c_int
        lib.BrotliDecoderDecompressStream.argtypes = [ctypes.c_void_p, _size_p, _void_pp, _size_p, _void_pp, _size_p]
        lib.BrotliDecoderGetErrorCode.restype = ctypes.c_int
        lib.BrotliDecoderGetErrorCode.argtypes = [ctypes.c_void_p]
        lib.BrotliDecoderErrorString.restype = ctypes.c_char_p
        lib.BrotliDecoderErrorString.argtypes = [ctypes.c_int]
        return lib
    return None


def decompress(data: bytes, limit: int) -> bytes:
    """The decompressed data, at most `limit` bytes of it.

    Raises ValueError for bad or truncated brotli data, data after its end,
    or output beyond the limit (through libbrotlidec no more than limit + 1
    bytes are made); ImportError without libbrotlidec and the brotli module."""
    declared = _first_block_size(data)
    if declared is not None and declared > limit:
        raise _too_large(limit)
    lib = _library()
    if lib is None:
        return _with_module(_brotli_module(), data, limit)
    state = lib.BrotliDecoderCreateInstance(None, None, None)
    if not state:
        raise MemoryError("cannot create a brotli decoder")
    try:
        return _run(lib, state, data, limit)
    finally:
        lib.BrotliDecoderDestroyInstance(state)


def _too_large(limit: int) -> ValueError:
    return ValueError(f"JPEG XL: a brob box decompresses to more than {limit} bytes")


def _brotli_module() -> ModuleType:
    try:
        return importlib.import_module("brotli")
    except ImportError as error:
        raise ImportError("JPEG XL: reading a brotli-compressed (brob) box needs libbrotlidec "
                          "(Debian: libbrotli1) or the brotli module") from error


def _with_module(brotli: ModuleType, data: bytes, limit: int) -> bytes:
    decompressor = brotli.Decompressor()
    chunks, size = [], 0
    try:
        for start in range(0, len(data), _MODULE_STEP):
            chunks.append(decompressor.process(data[start:start + _MODULE_STEP]))
            size += len(chunks[-1])
            if size > limit:
                raise _too_large(limit)
        finished = decompressor.is_finished()
    except brotli.error as error:
        raise ValueError(f"JPEG XL: bad brotli data in a brob box ({error})") from error
    if not finished:
        raise ValueError("JPEG XL: the brotli data of a brob box is truncated")
    return b"".join(chunks)


def _first_block_size(data: bytes) -> int | None:
    """The output size the stream's first meta-block declares, or None for
    one that declares none (metadata, an empty last block) or cut short.

    libbrotlidec sizes its ring buffer to the meta-block being decoded (up
    to the stream's window, 16 MiB) and fills it before it looks at the room
    left for output: a first block larger than the limit is refused before
    that work."""
    if len(data) < 8:
        return None
    bits = int.from_bytes(data[:8], "little")
    # The window size: 1, 4 or 7 bits.
    pos = 1 if not bits & 1 else 4 if (bits >> 1) & 7 else 7
    is_last = (bits >> pos) & 1
    pos += 1
    if is_last:
        if (bits >> pos) & 1:  # ISLASTEMPTY
            return None
        pos += 1
    nibbles = (4, 5, 6, 0)[(bits >> pos) & 3]
    pos += 2
    if not nibbles:  # a metadata block, which makes no output
        return None
    return ((bits >> pos) & ((1 << (4 * nibbles)) - 1)) + 1


def _run(lib: ctypes.CDLL, state: int, data: bytes, limit: int) -> bytes:
    source = ctypes.c_char_p(data)  # points into `data`, no copy
    next_in = ctypes.c_void_p(ctypes.cast(source, ctypes.c_void_p).value)
    avail_in = ctypes.c_size_t(len(data))
    chunk = ctypes.create_string_buffer(min(_CHUNK, limit + 1))
    pieces: list[bytes] = []
    total = 0
    while True:
        room = min(len(chunk), limit + 1 - total)
        next_out = ctypes.c_void_p(ctypes.addressof(chunk))
        avail_out = ctypes.c_size_t(room)
        result = lib.BrotliDecoderDecompressStream(state, ctypes.byref(avail_in), ctypes.byref(next_in),
                                                   ctypes.byref(avail_out), ctypes.byref(next_out), None)
        made = room - avail_out.value
        total += made
        if total > limit:
            raise _too_large(limit)
        pieces.append(ctypes.string_at(chunk, made))
        if result == _SUCCESS:
            if avail_in.value:
                raise ValueError("JPEG XL: data after the end of the brotli stream in a brob box")
            return b"".join(pieces)
        if result == _NEEDS_MORE_INPUT:
            raise ValueError("JPEG XL: the brotli data of a brob box is truncated")
        if result != _NEEDS_MORE_OUTPUT:
            reason = lib.BrotliDecoderErrorString(lib.BrotliDecoderGetErrorCode(state)).decode("ascii", "replace")
            raise ValueError(f"JPEG XL: bad brotli data in a brob box ({reason})")
