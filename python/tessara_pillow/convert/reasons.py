"""What the converter says about a file that failed: one line, in plain
words, whatever the error held and whatever the file's name holds."""

from __future__ import annotations

import unicodedata

from PIL import UnidentifiedImageError

from ..errors import plain_reason


class Refused(Exception):
    """An input this tool will not convert (too large, animated...)."""


def _module_error(error: BaseException) -> RuntimeError | None:
    """The module's own codec failure behind `error`, if it has one."""
    seen: BaseException | None = error
    while seen is not None:
        if type(seen) is RuntimeError and type(seen).__module__ == "builtins" and seen.args:
            return seen
        seen = seen.__cause__
    return None


def _plain(error: BaseException, text: str) -> str:
    """`text` with a codec text of the module in it said in plain words (the
    plug-in says them itself; this catches a text that came some other way)."""
    cause = _module_error(error)
    module_text = str(cause) if cause is not None else ""
    if cause is None or not module_text or module_text not in text:
        return text
    before = text[: text.index(module_text)]
    said = plain_reason(cause, "encode" if "encode" in before else "decode")
    return text.replace(module_text, said)


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
    return " ".join(_plain(error, text).split())


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
