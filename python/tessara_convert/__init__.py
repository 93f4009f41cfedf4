"""The entry point of the tessara-convert command. It imports the converter
(tessara_pillow.convert) itself, so that a Python without Pillow, or with
one too old, gets one line saying what to install rather than a traceback:
the command's script would fail on the import, before any code of ours."""

from __future__ import annotations

import sys
from collections.abc import Sequence

PROG = "tessara-convert"
PILLOW = "Pillow 11.0 or later (pip install 'Pillow>=11.0', or Debian's python3-pil)"


def main(argv: Sequence[str] | None = None) -> int:
    try:
        from tessara_pillow.convert import main as convert
    except ImportError as e:
        print(f"{PROG}: {_why(e)}", file=sys.stderr)
        return 1
    return convert(argv)


def _why(error: ImportError) -> str:
    missing = error.name or ""
    if missing == "PIL" or missing.startswith("PIL."):
        return f"needs {PILLOW}; {sys.executable} has no Pillow"
    if "needs Pillow" in str(error):  # the plug-in's own version check
        return f"{error}: install {PILLOW}"
    return f"cannot load tessara ({type(error).__name__}: {error}); install tessara again"
