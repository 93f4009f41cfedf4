"""The tessara module's failures in plain words: its codec texts are fixed
(the decoder's generic one even asks for a debug build of libjxl), so the
plug-in, the bytes-level functions and the converter say what they mean."""

from __future__ import annotations

from typing import Literal

Task = Literal["decode", "encode", "transcode"]

TRUNCATED = "the file is truncated"

# The module's fixed texts (its error kinds), and what each means.
_GENERIC = ("Generic Error. Please build `libjxl` from source (using `vendored` feature) \n"
            "        in debug mode to get more information. Check `stderr` for any internal error messages.")
_EXACT = {
    "Cannot create a decoder": "libjxl could not start a decoder (out of memory?)",
    "Cannot create an encoder": "libjxl could not start an encoder (out of memory?)",
    "Could not create JxlThreadsRunner": "libjxl could not start its worker threads",
    "The input does not contain a valid codestream or container": "this is not a JPEG XL file",
    "Encoder does not support it (yet)": "libjxl's encoder does not support this (yet)",
    "Out of memory": "out of memory",
    "JPEG bitstream reconstruction data could not be represented":
        "this JPEG file has a structure that JPEG XL's reconstruction data cannot describe",
    "Input is invalid": "libjxl refused the input as invalid",
    "Need more output": "libjxl's encoder stopped unexpectedly (an internal fault)",
    "The encoder API is used in an incorrect way": "libjxl's encoder was misused (an internal fault)",
}
_PREFIXES = {
    "Unsupported Pixel bit width: ": "{}-bit samples are not supported",
    "Unknown status: ": "libjxl's decoder stopped in an unexpected state ({})",
    "Feature not yet implemented: ": "the file uses a feature not supported here ({})",
}
# What a failed lossless JPEG transcode usually is.
_NOT_TRANSCODABLE = ("this JPEG file is damaged, or uses what lossless JPEG XL transcoding does not cover "
                     "(CMYK, arithmetic coding, or other than 1 or 3 colour components)")


def plain_reason(error: BaseException, task: Task = "decode", *, truncated: bool = False) -> str:
    """What a failure of the tessara module means, in plain words on one line.

    task: what the failed call did: decode a file, encode pixels, or
    transcode a JPEG file (jpeg_to_jxl). truncated: the file is known to end
    before its boxes do (header.JxlHeader.truncated), so a failed decode is
    reported as that. A text the module does not use is kept, on one line."""
    if isinstance(error, MemoryError):
        return "out of memory"
    text = str(error)
    if task == "transcode" and text in (_GENERIC, "Input is invalid", "Encoder does not support it (yet)"):
        return _NOT_TRANSCODABLE
    if text == _GENERIC:
        if task == "encode":
            return "libjxl could not encode the image"
        return TRUNCATED if truncated else f"{TRUNCATED} or damaged"
    if text in _EXACT:
        return _EXACT[text]
    for prefix, plain in _PREFIXES.items():
        if text.startswith(prefix):
            return plain.format(text[len(prefix):].strip("`"))
    return " ".join(text.split()) or type(error).__name__
