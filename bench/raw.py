"""The client side of bench/jxl_raw: one long-lived process driven over a
pipe, so that each of its timed calls runs in-process like the module's."""

from __future__ import annotations

import subprocess
from pathlib import Path


class RawError(RuntimeError):
    pass


class RawHarness:
    def __init__(self, binary: Path) -> None:
        self._proc = subprocess.Popen(
            [str(binary)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1
        )

    def command(self, *words: object) -> list[str]:
        assert self._proc.stdin is not None and self._proc.stdout is not None
        self._proc.stdin.write(" ".join(map(str, words)) + "\n")
        self._proc.stdin.flush()
        reply = self._proc.stdout.readline().split()
        if not reply or reply[0] != "ok":
            raise RawError(f"jxl_raw {' '.join(map(str, words))}: {' '.join(reply) or 'no answer'}")
        return reply[1:]

    def load(self, name: str, path: Path) -> int:
        return int(self.command("load", name, path)[0])

    def run(self, reps: int, *job: object) -> float:
        """Seconds for `reps` calls of `job` in a row, timed inside jxl_raw."""
        return float(self.command("run", reps, *job)[0])

    def par(self, threads: int, calls: int, *job: object) -> float:
        return float(self.command("par", threads, calls, *job)[0])

    def save(self, path: Path) -> int:
        return int(self.command("save", path)[0])

    def rss_kib(self) -> int:
        return int(self.command("rss")[0])

    def close(self) -> None:
        if self._proc.poll() is None:
            assert self._proc.stdin is not None
            self._proc.stdin.write("quit\n")
            self._proc.stdin.close()
            self._proc.wait()

    def __enter__(self) -> RawHarness:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
