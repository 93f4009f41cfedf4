"""The progress line of a conversion run (count, rate, time left) and the
numbers of its summary, in the units people read."""

from __future__ import annotations

import shutil
import time
from typing import TextIO

_REDRAW_S = 0.1  # a terminal redrawn more often only flickers


def human_bytes(n: float) -> str:
    for unit in ("bytes", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1000
    raise AssertionError("unreachable")


def clock(seconds: float) -> str:
    """0:07, 3:25, 1:02:03."""
    whole = int(seconds + 0.5)
    hours, rest = divmod(whole, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02}:{secs:02}" if hours else f"{minutes}:{secs:02}"


class Progress:
    """A bar redrawn in place on a terminal; does nothing when disabled.
    Time left is estimated from the input bytes done, since a large image
    takes longer than a small one."""

    def __init__(self, files: int, size: int, stream: TextIO, enabled: bool) -> None:
        self.files, self.size = files, max(size, 1)
        self.done, self.done_size = 0, 0
        self.stream, self.enabled = stream, enabled
        self.start = time.monotonic()
        self._drawn_at = 0.0
        self._shown = False

    def advance(self, size: int) -> None:
        self.done += 1
        self.done_size += size

    def line(self, width: int) -> str:
        elapsed = time.monotonic() - self.start
        fraction = min(self.done_size / self.size, 1.0)
        rate = f"{self.done / elapsed:.1f} files/s" if elapsed > 0 and self.done else "-- files/s"
        if self.done_size and elapsed > 0:
            left = clock(elapsed * (self.size - self.done_size) / self.done_size)
        else:
            left = "--:--"
        text = f" {fraction:4.0%}  {self.done}/{self.files} files  {rate}  {left} left"
        bar_width = max(width - len(text) - 3, 0)
        if bar_width < 10:
            return text.strip()[: max(width, 0)]
        filled = int(fraction * bar_width)
        return f"[{'#' * filled}{'.' * (bar_width - filled)}]{text}"

    def draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not self.enabled or (not force and now - self._drawn_at < _REDRAW_S):
            return
        self._drawn_at = now
        width = shutil.get_terminal_size().columns - 1
        self.stream.write("\r" + self.line(width) + "\x1b[K")
        self.stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._shown = False
