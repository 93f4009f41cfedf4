"""What the converter says about a file that failed: one line, in plain
words, whatever the error held and whatever the file's name holds."""

from __future__ import annotations

import unicodedata

from PIL import UnidentifiedImageError


class Refused(Exception):
    """An input this tool will not convert (too large, animated...)."""


# The module's fixed texts for codec failures (the start of each), and what
# they mean to someone converting files: (when reading, when encoding).
# The module's generic text goes on to advise rebuilding libjxl, of no use here.
_MODULE_TEXTS = {
    "Generic Error.": ("the file is truncated or damaged", "libjxl could not encode the image"),
    "The input does not contain a valid codestream or container": ("the file is damaged: it holds no JPEG XL "
                                                                   "codestream",) * 2,
    "Unsupported Pixel bit width": ("its sample bit depth is not supported",) * 2,
    "Feature not yet implemented": ("it uses a JPEG XL feature that is not supported",) * 2,
    "Unknown status": ("the file is damaged (libjxl stopped in a state it does not explain)",) * 2,
    "Input is invalid": ("the JPEG file is damaged, or coded in a way lossless transcoding does not cover",) * 2,
    "JPEG bitstream reconstruction data could not be represented": ("lossless transcoding cannot represent "
                                                                     "this JPEG file",) * 2,
    "Out of memory": ("out of memory",) * 2,
}


def _module_error(error: BaseException) -> RuntimeError | None:
    """The module's own codec failure behind `error`, if it has one."""
    seen: BaseException | None = error
    while seen is not None:
        if type(seen) is RuntimeError and type(seen).__module__ == "builtins" and seen.args:
            return seen
        seen = seen.__cause__
    return None


def _plain(error: BaseException, text: str) -> str:
    """`text` with the module's codec text in it said in plain words. (The
    plug-in may say them itself one day; then the module's text is not in
    `text` any more and nothing changes here.)"""
    cause = _module_error(error)
    module_text = str(cause) if cause is not None else ""
    if not module_text or module_text not in text:
        return text
    before = text[: text.index(module_text)]
    for start, (reading, encoding) in _MODULE_TEXTS.items():
        if module_text.startswith(start):
            detail = module_text.partition(": ")[2] if ": " in module_text else ""
            said = encoding if "encode" in before else reading
            return text.replace(module_text, f"{said} ({detail})" if detail else said)
    return text


def describe(error: BaseException) -> str:
    """One line saying why a file failed, without the file's name."""
    if isinstance(error, UnidentifiedImageError):
        text = "not an image Pillow can read"
    elif isinstance(error, OSError) and error.strerror:
        text = error.strerror
    elif isinstance(error, MemoryError):
        text = "out of memory"
    elif isinstance(error, (Refused, OSError, ValueError, SyntaxError, EOFError)):
        text = str(error) or type(error).__name__
    else:
        text = f"unexpected {type(error).__name__}: {error}"
    # Should a codec text come some other way, its advice to rebuild libjxl goes.
    return " ".join(_plain(error, text).split(" Please build ")[0].split())


def _escaped(char: str) -> str:
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a file name that is not UTF-8
        return f"\\x{code - 0xDC00:02x}"
    return char.encode("unicode_escape").decode("ascii")


def printable(text: str) -> str:
    """`text` on one line: control characters, line and paragraph separators
    and the bytes of names that are not UTF-8 written as escapes (a newline
    as \\n), everything else as it is, so ordinary names stay readable."""
    if text.isprintable():
        return text
    return "".join(_escaped(c) if unicodedata.category(c) in ("Cc", "Cs", "Zl", "Zp") else c for c in text)
