"""What the plug-in keeps of an animated JPEG XL file: its bytes (read once,
at open), the walk of its frame headers (made on first use: no pixel is
decoded for it), and one libjxl frame decoder, which seeks forward by
skipping frames and back by rewinding. Pixels are decoded for the frame
asked for only, into a buffer the image takes over, so one frame's pixels
are held at a time."""

from __future__ import annotations

from dataclasses import dataclass

from . import _native, layouts, timing

# A walk that ended early because of the file, not because of the limit:
# the frame it stopped at is broken (it is counted, and fails when asked for).
_BROKEN = ("truncated", "corrupt", "unexpected")


@dataclass(frozen=True)
class Walk:
    """The frame headers of a file, read without decoding pixels."""

    ticks_per_second: tuple[int, int]  # numerator, denominator
    loop: int  # 0: forever
    ticks: tuple[int, ...]  # the duration of each whole frame
    stopped: tuple[str, int | None, str] | None  # (kind, frame, text) where the walk ended early

    @classmethod
    def of(cls, data: bytes, max_frames: int = 1 << 16) -> Walk:
        facts, frames, stopped = _native.walk(data, max_frames)
        return cls((facts[8], facts[9]), facts[10], tuple(duration for duration, _ in frames), stopped)

    @property
    def broken(self) -> tuple[int, str] | None:
        """(frame, text) of the frame the file breaks in, if it does."""
        if self.stopped is None or self.stopped[0] not in _BROKEN:
            return None
        frame = self.stopped[1]
        return (len(self.ticks) if frame is None else frame), self.stopped[2]

    @property
    def count(self) -> int:
        """Displayed frames: the whole ones and a broken one after them."""
        return len(self.ticks) + (self.broken is not None)

    def timing(self) -> tuple[list[int], list[int]]:
        return timing.timeline(self.ticks, *self.ticks_per_second)


class AnimatedFile:
    """The frames of one animated file, for one image in Pillow."""

    def __init__(self, data: bytes) -> None:
        self._data = data
        self._walk: Walk | None = None
        self._first: Walk | None = None
        self._decoder: _native.FrameDecoder | None = None
        self._threads = -1

    def walk(self) -> Walk:
        if self._walk is None:
            self._walk = Walk.of(self._data)
        return self._walk

    def first_info(self) -> dict[str, int]:
        """info["loop"], ["duration"] and ["timestamp"] of frame 0, from its
        header alone (the other frames are not walked)."""
        if self._first is None:
            self._first = Walk.of(self._data, 1)
        info = {"loop": self._first.loop}
        if self._first.ticks:
            durations, timestamps = self._first.timing()
            info |= {"duration": durations[0], "timestamp": timestamps[0]}
        return info

    def frame_info(self, index: int) -> dict[str, int]:
        """The info keys of frame `index` (< count); OSError for the frame
        the file breaks in."""
        walk = self.walk()
        broken = walk.broken
        if broken is not None and index >= broken[0]:
            raise OSError(f"cannot decode JPEG XL animation: {broken[1]}")
        durations, timestamps = walk.timing()
        return {"loop": walk.loop, "duration": durations[index], "timestamp": timestamps[index]}

    def decode(self, index: int, layout: layouts.Layout, size: tuple[int, int],
               num_threads: int) -> tuple[_native.SampleBuffer, bytes]:
        """Frame `index` as the samples Pillow's image of `layout` takes
        (8-bit, but 16-bit for "I;16" and float for "F"), and the profile
        they are in. OSError where the file is broken or not as announced."""
        try:
            if self._decoder is None or self._threads != num_threads:
                self._decoder = None  # its pool and state go before the next are made
                dtype = {"I;16": "uint16", "F": "float32"}.get(layout.pillow_mode, "uint8")
                self._decoder = _native.FrameDecoder(self._data, dtype, layout.channels, False, num_threads)
                self._threads = num_threads
            decoder = self._decoder
            if (decoder.width, decoder.height) != size:
                msg = (f"JPEG XL: frames of {decoder.width}x{decoder.height}, "
                       f"not the {size[0]}x{size[1]} its header announced")
                raise OSError(msg)
            samples, _, _ = decoder.decode(index)
        except (ValueError, IndexError, RuntimeError) as e:
            raise OSError(f"cannot decode JPEG XL animation: {e}") from e
        return samples, decoder.icc_profile
