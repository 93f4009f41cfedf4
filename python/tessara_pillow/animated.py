"""What the plug-in keeps of an animated JPEG XL file: its bytes (read once,
at open), the walk of its frame headers (made on first use: no pixel is
decoded for it), and one libjxl frame decoder, which seeks forward by
skipping frames and back by rewinding. Pixels are decoded for the frame
asked for only, into a buffer the image takes over, so one frame's pixels
are held at a time."""

from __future__ import annotations

from dataclasses import dataclass

from PIL import Image

from . import _native, layouts, timing, truncated

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
        self._whole: int | None = None

    def walk(self) -> Walk:
        """Every frame header; OSError where not even the image header can
        be read (the broken frame of a walk that stops early is in it)."""
        if self._walk is None:
            self._walk = _walked(self._data)
        return self._walk

    def first_info(self) -> dict[str, int]:
        """info["loop"], ["duration"] and ["timestamp"] of frame 0, from its
        header alone (the other frames are not walked)."""
        if self._first is None:
            self._first = _walked(self._data, 1)
        info = {"loop": self._first.loop}
        if self._first.ticks:
            durations, timestamps = self._first.timing()
            info |= {"duration": durations[0], "timestamp": timestamps[0]}
        return info

    def whole_count(self) -> int:
        """The frames whose data the file holds, at least frame 0 (a partial
        picture of it stands for the animation). The walk lists the last
        frame from its header alone: its data is checked by decoding it."""
        if self._whole is None:
            walk = self.walk()
            count = len(walk.ticks)
            if walk.stopped is None and count and not _native.frame_whole(self._data, count - 1):
                count -= 1
            self._whole = max(1, count)
        return self._whole

    def frame_info(self, index: int, partial: bool = False) -> dict[str, int]:
        """The info keys of frame `index` (< count); OSError for the frame
        the file breaks in, or with `partial` its loop alone."""
        walk = self.walk()
        broken = walk.broken
        if broken is not None and index >= broken[0]:
            if partial:
                return {"loop": walk.loop}
            raise OSError(f"cannot decode JPEG XL animation: {broken[1]}")
        durations, timestamps = walk.timing()
        return {"loop": walk.loop, "duration": durations[index], "timestamp": timestamps[index]}

    def decode(self, index: int, mode: str, size: tuple[int, int], num_threads: int) -> tuple[Image.Image, bytes]:
        """Frame `index` as a Pillow image of `mode`, and the profile its
        samples are in. OSError where the file is broken or its frames are
        not of the announced size."""
        try:
            if self._decoder is None or self._threads != num_threads:
                self._decoder = None  # its pool and state go before the next are made
                # In the layout Pillow keeps the mode in: its image is the decoded buffer itself.
                dtype, channels = layouts.pillow_pixels(mode)
                self._decoder = _native.FrameDecoder(self._data, dtype, channels, False, num_threads)
                self._threads = num_threads
            decoder = self._decoder
            if (decoder.width, decoder.height) != size:
                msg = (f"JPEG XL: frames of {decoder.width}x{decoder.height}, "
                       f"not the {size[0]}x{size[1]} its header announced")
                raise OSError(msg)
            samples, _, _ = decoder.decode(index)
        except (ValueError, IndexError, RuntimeError) as e:
            raise OSError(f"cannot decode JPEG XL animation: {e}") from e
        return layouts.image_over(samples, mode, size), decoder.icc_profile


    def partial(self, index: int, mode: str, size: tuple[int, int], num_threads: int,
                failure: OSError) -> tuple[Image.Image, bytes]:
        """Frame `index` of a file cut short as libjxl draws what arrived of
        it (truncated.py), and its profile; `failure` (the whole frame's
        decode) where the bytes are corrupt."""
        try:
            image, icc = truncated.partial_picture(self._data, num_threads, index)
        except (ValueError, RuntimeError) as e:
            raise failure from e
        if image.mode != mode or image.size != size:
            raise failure
        return image, icc


def _walked(data: bytes, max_frames: int = 1 << 16) -> Walk:
    try:
        return Walk.of(data, max_frames)
    except (ValueError, RuntimeError) as e:
        raise OSError(f"cannot decode JPEG XL animation: {e}") from e
