"""What the plug-in keeps of a JPEG XL file it decodes a frame at a time (an
animation, or a still image whose colour needs libjxl's colour management):
its bytes (read once, at open), the facts of every frame header (read on
first use: no pixel is decoded for them), and one libjxl frame decoder,
which seeks forward by skipping frames and back by rewinding. Pixels are
decoded for the frame asked for only, into a buffer the image takes over,
so one frame's pixels are held at a time."""

from __future__ import annotations

from typing import cast

from PIL import Image, _imaging

from . import _native, facts, layouts


class AnimatedFile:
    """The frames of one file, for one image in Pillow."""

    def __init__(self, data: bytes, first: facts.FileFacts) -> None:
        self._data = data
        self._first = first  # up to frame 0's header, as open read them
        self._walk: facts.FileFacts | None = None
        self._decoder: _native.FrameDecoder | None = None
        self._threads = -1

    def walk(self) -> facts.FileFacts:
        """The facts with every frame header; OSError where not even the
        image header can be read (a frame a walk stops at is in them)."""
        if self._walk is None:
            try:
                self._walk = facts.read(self._data)
            except ValueError as e:
                raise OSError(f"cannot decode JPEG XL animation: {e}") from e
        return self._walk

    def first_info(self) -> dict[str, int]:
        """info["loop"], ["duration"] and ["timestamp"] of frame 0, from the
        facts read at open (the other frames are not walked)."""
        info = {"loop": self._first.loop}
        if self._first.frames:
            durations, timestamps = self._first.timing()
            info |= {"duration": durations[0], "timestamp": timestamps[0]}
        return info

    def frame_info(self, index: int) -> dict[str, int]:
        """The info keys of frame `index` (< count); OSError for the frame
        the file breaks in or that composites too many layers."""
        walk = self.walk()
        broken = walk.broken
        if broken is not None and index >= broken[0]:
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
        return image_of(samples, mode, size), decoder.icc_profile


def image_of(samples: _native.SampleBuffer, mode: str, size: tuple[int, int]) -> Image.Image:
    """A read-only image of `mode` over the samples, without a copy (Pillow
    copies on the first write); a copy where Pillow's mapping is not there."""
    try:
        core = _imaging.map_buffer(samples, size, "raw", 0, (mode, 0, 1))
    except (AttributeError, TypeError, ValueError):  # Pillow's internals changed
        if layouts.pillow_pixels(mode)[1] == 4:
            rgba = Image.frombuffer("RGBA", size, cast(bytes, samples), "raw", "RGBA", 0, 1)
            return rgba if mode == "RGBA" else rgba.convert(mode)
        rawmode = {"F": "F;32NF", "I;16": "I;16N"}.get(mode, mode)
        return Image.frombuffer(mode, size, cast(bytes, samples), "raw", rawmode, 0, 1)
    image = Image.new(mode, (0, 0))._new(core)
    image.readonly = 1
    return image
