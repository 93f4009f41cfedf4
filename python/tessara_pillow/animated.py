"""What the plug-in keeps of a JPEG XL file it decodes a frame at a time (an
animation, or a still image whose colour needs libjxl's colour management):
its bytes (read once, at open), the facts of every frame header (read on
first use: no pixel is decoded for them), and one libjxl frame decoder,
which seeks forward by skipping frames and back by rewinding. Pixels are
decoded for the frame asked for only, into a buffer the image takes over,
so one frame's pixels are held at a time."""

from __future__ import annotations

from PIL import Image

from . import _native, facts, layouts, truncated


class AnimatedFile:
    """The frames of one file, for one image in Pillow."""

    def __init__(self, data: bytes, first: facts.FileFacts) -> None:
        self._data = data
        self._first = first  # up to frame 0's header, as open read them
        self._walk: facts.FileFacts | None = None
        self._decoder: _native.FrameDecoder | None = None
        self._threads = -1
        self._whole: int | None = None

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

    def whole_count(self) -> int:
        """The frames whose data the file holds, at least frame 0 (a partial
        picture of it stands for the animation). The walk lists the last
        frame from its header alone: its data is checked by decoding it."""
        if self._whole is None:
            walk = self.walk()
            count = len(walk.frames)
            if walk.stopped is None and count and not _native.frame_whole(self._data, count - 1):
                count -= 1
            self._whole = max(1, count)
        return self._whole

    def frame_info(self, index: int, partial: bool = False) -> dict[str, int]:
        """The info keys of frame `index` (< count); OSError for the frame
        the file breaks in or that composites too many layers, or with
        `partial` its loop alone."""
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
        decode) where the bytes are corrupt, or the frame composites more
        layers than allowed, which bounds a partial picture as well."""
        stopped = self.walk().stopped
        if stopped is not None and stopped.kind == "too_many_layers" and index >= (stopped.frame or 0):
            raise failure
        try:
            image, icc = truncated.partial_picture(self._data, num_threads, layouts.pillow_pixels(mode), index)
        except (ValueError, RuntimeError) as e:
            raise failure from e
        if image.mode != mode or image.size != size:
            raise failure
        return image, icc
