"""The facts of a JPEG XL file as the codec layer's one reader gives them
(tessara_pillow._native.facts, on libjxl's own events): size and
orientation, the samples of colour and alpha, the colour profile, animation
and frames, and whether libjxl rebuilds a JPEG from the file. jxl_info,
decode_array, the plug-in and the converter all take their facts from here,
so that they cannot disagree."""

from __future__ import annotations

import os
from collections.abc import Buffer
from dataclasses import dataclass, field
from typing import Any, BinaryIO

from . import _native, timing

# The most displayed frames read, and the most layers composited into one
# (src/codec/facts.h says why each is generous).
MAX_FRAMES = 1 << 16
MAX_LAYERS = 256
# Opening reads a little of the file and more only while the reader needs
# it: the facts up to frame 0's header are at the start of a file, after
# its image header and colour profile.
_FIRST_READ = 4096
_READ_GROWTH = 8
# Where reading stopped at a frame that fails when it is asked for.
_BROKEN = ("truncated", "corrupt", "unexpected", "too_many_layers")


@dataclass(frozen=True, slots=True)
class Frame:
    """A displayed frame: its duration in ticks, its name and the layers
    composited into it."""

    ticks: int
    name: str
    layers: int


@dataclass(frozen=True, slots=True)
class Stop:
    """Where reading ended early: kind is "truncated", "corrupt",
    "unexpected", "too_many_frames" or "too_many_layers"; frame is the frame
    it ended at (None: before the first); text says it in a line."""

    kind: str
    frame: int | None
    text: str


@dataclass(frozen=True, slots=True)
class FileFacts:
    width: int  # as delivered: orientation applied
    height: int
    stored_width: int  # as the codestream stores it
    stored_height: int
    orientation: int  # Exif's numbering, 1-8
    colour_channels: int  # 1 grey, 3 colour
    bits: int  # of the colour samples; exponent_bits 0 for integers
    exponent_bits: int
    alpha_bits: int  # 0 without alpha
    alpha_exponent_bits: int
    alpha_premultiplied: bool
    extra_channels: int  # alpha included
    dtype: str  # the one numpy type that holds colour and alpha as stored
    xyb: bool  # lossy colour
    # The original colour as libjxl's enumeration (colour space, white point,
    # primaries, transfer function, gamma, rendering intent), or None where
    # it is an ICC profile only.
    encoding: tuple[int, int, int, int, float, int] | None
    # That colour as cICP code points (primaries, transfer, matrix, full
    # range), which a PNG can carry; None where they cannot name it.
    cicp: tuple[int, int, int, int] | None
    original_icc: bytes = field(repr=False)
    icc: bytes = field(repr=False)  # the profile the pixels are delivered in
    through_cms: bool  # delivered in the original through libjxl's colour management
    animated: bool
    ticks_per_second: tuple[int, int]  # numerator, denominator; (0, 0) for a still image
    loop: int  # plays; 0 forever
    jpeg_reconstruction: bool  # libjxl rebuilds the JPEG the file was made from
    frames: tuple[Frame, ...]
    stopped: Stop | None

    @property
    def grey(self) -> bool:
        return self.colour_channels == 1

    @property
    def has_alpha(self) -> bool:
        return self.alpha_bits > 0

    @property
    def channels(self) -> int:
        return self.colour_channels + self.has_alpha

    @property
    def broken(self) -> tuple[int, str] | None:
        """(frame, text) of a frame that fails when it is asked for: the
        file breaks in it, or it composites more layers than allowed."""
        if self.stopped is None or self.stopped.kind not in _BROKEN:
            return None
        frame = self.stopped.frame
        return (len(self.frames) if frame is None else frame), self.stopped.text

    @property
    def count(self) -> int:
        """Displayed frames: those read whole, and a broken one after them."""
        return len(self.frames) + (self.broken is not None)

    def timing(self) -> tuple[list[int], list[int]]:
        """(durations, timestamps) in milliseconds of the frames read."""
        return timing.timeline([f.ticks for f in self.frames], *self.ticks_per_second)

    @classmethod
    def from_native(cls, found: dict[str, Any]) -> FileFacts:
        stopped = found["stopped"]
        return cls(
            width=found["width"], height=found["height"], stored_width=found["stored_width"],
            stored_height=found["stored_height"], orientation=found["orientation"],
            colour_channels=found["colour_channels"], bits=found["bits"], exponent_bits=found["exponent_bits"],
            alpha_bits=found["alpha_bits"], alpha_exponent_bits=found["alpha_exponent_bits"],
            alpha_premultiplied=found["alpha_premultiplied"], extra_channels=found["extra_channels"],
            dtype=found["dtype"], xyb=found["xyb"], encoding=found["encoding"], cicp=found["cicp"],
            original_icc=found["original_icc"],
            icc=found["icc"], through_cms=found["through_cms"], animated=found["animated"],
            ticks_per_second=(found["tps_numerator"], found["tps_denominator"]), loop=found["loops"],
            jpeg_reconstruction=found["jpeg_reconstruction"],
            frames=tuple(Frame(*frame) for frame in found["frames"]),
            stopped=None if stopped is None else Stop(*stopped))


def read(data: Buffer, *, all_frames: bool = True, max_frames: int = MAX_FRAMES,
         max_layers: int = MAX_LAYERS) -> FileFacts:
    """The facts of the whole file in data (read in place), with every frame
    header, or only up to the first displayed frame's. ValueError where none
    can be read: not JPEG XL, or broken before its colour profile."""
    found = _read(data, all_frames, max_frames, max_layers)
    if found is None:
        raise ValueError("JPEG XL: the file is truncated before its image header ends")
    return found


def _read(data: Buffer, all_frames: bool, max_frames: int = MAX_FRAMES,
          max_layers: int = MAX_LAYERS) -> FileFacts | None:
    """The facts, or None where data ends before them."""
    try:
        found = _native.facts(data, all_frames, max_frames, max_layers)
    except ValueError as e:
        raise ValueError(f"JPEG XL: {e}") from e
    return None if found is None else FileFacts.from_native(found)


def read_file(fp: BinaryIO) -> FileFacts:
    """The facts up to the first displayed frame of the file in fp (seekable),
    reading a growing prefix from offset 0 until they are all in it: a few
    KiB for most files, never the pixel data of a still image. fp is left
    wherever the last read ended. ValueError as read() gives it."""
    size = fp.seek(0, os.SEEK_END)
    amount = _FIRST_READ
    while True:
        fp.seek(0)
        data = fp.read(min(amount, size))
        whole = len(data) >= size
        found = _read(data, all_frames=False)
        if whole and found is None:
            raise ValueError("JPEG XL: the file is truncated before its image header ends")
        if found is not None and (whole or found.frames or found.stopped is None
                                  or found.stopped.kind != "truncated"):
            return found
        amount *= _READ_GROWTH
