"""What the converter says about a file that failed: one line, in plain
words, whatever the error held and whatever the file's name holds."""

from __future__ import annotations

import re
import unicodedata

from PIL import UnidentifiedImageError

from ..errors import TRUNCATED, plain_reason

NOT_AN_IMAGE = "not an image Pillow can read"
# Names people know the formats by, where Pillow's differ.
_NAMES = {"JXL": "JPEG XL", "WEBP": "WebP", "JPEG2000": "JPEG 2000", "MPO": "JPEG"}
# Pillow's texts for a file that ends too soon, wherever it noticed (the
# last: a header read from fewer bytes than it holds).
_PILLOW_TRUNCATED = re.compile(r"Truncated File Read|image file is truncated( \(\d+ bytes not processed\))?|"
                               r"truncated PNG file|unpack_from requires a buffer of at least .*")
# A text that says no more than that: the plug-in's (with where a still
# image ends, or the frame an animation ends in), or Pillow's made plain.
_ONLY_TRUNCATED = re.compile(rf"(?:.*?: )?(?:frame (\d+): )?{TRUNCATED}(?:: it ends after \d+ bytes, (.+))?")


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


def format_name(fmt: str | None) -> str:
    return _NAMES.get(fmt or "", fmt or "image")


def plain_pillow(text: str) -> str:
    """Pillow's words for a truncated file said plainly."""
    return TRUNCATED if _PILLOW_TRUNCATED.fullmatch(text) else text


def truncated(fmt: str | None, size: int, where: str = "") -> str:
    """"a truncated PNG file: it ends after 30 bytes", and where, if known."""
    return f"a truncated {format_name(fmt)} file: it ends after {size} bytes{', ' + where if where else ''}"


def where_truncated(reason: str) -> str | None:
    """For a reason that says only that the file is truncated, where ("",
    "in frame 3" or "after its 1:8 preview"); None for any other reason."""
    found = _ONLY_TRUNCATED.fullmatch(reason)
    if found is None:
        return None
    if found[1]:
        return f"in frame {found[1]}"
    return found[2] or ""


def describe(error: BaseException) -> str:
    """One line saying why a file failed, without the file's name."""
    if isinstance(error, UnidentifiedImageError):
        # Pillow's own text names the file object; the converter's opener says why.
        text = str(error)
        if not text or text.startswith("cannot identify image file"):
            text = NOT_AN_IMAGE
    elif isinstance(error, OSError) and error.strerror:
        text = error.strerror
    elif isinstance(error, MemoryError):
        text = "out of memory"
    elif isinstance(error, (Refused, OSError, ValueError, SyntaxError, EOFError)):
        text = str(error) or type(error).__name__
    else:
        text = f"unexpected {type(error).__name__}: {error}"
    if not isinstance(error, Refused):  # the converter's own words are plain already
        text = plain_pillow(_plain(error, text))
    return " ".join(text.split())


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
