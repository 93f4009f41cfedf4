"""Full-precision decoding and encoding, and animations, for tessara_pillow
(private: use tessara_pillow.decode_array, encode_array, jxl_info, and
Image.open / save with the plug-in)."""

from collections.abc import Buffer
from typing import final

@final
class SampleBuffer:
    """Decoded samples that numpy arrays view; made by decode()."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

def decode(data: Buffer, num_threads: int, max_pixels: int, /) -> tuple[SampleBuffer, int, int, int, str]: ...
def info(data: Buffer, /) -> tuple[int, int, int, int, int, int, int, int, int, bool, str, bytes, bool]: ...
def encode(
    samples: Buffer,
    width: int,
    height: int,
    channels: int,
    dtype: str,
    bits: int,
    lossless: bool,
    quality: float,
    effort: int,
    decoding_speed: int,
    exif: Buffer | None,
    xmp: Buffer | None,
    icc: Buffer | None,
    num_threads: int,
    use_container: bool = False,
    compress_boxes: bool = False,
    progressive_dc: int = -1,
    progressive_ac: int = -1,
    responsive: int = -1,
    /,
) -> bytes: ...

# (width, height, channels, bits, exponent bits, dtype, animated, jpeg
#  reconstruction, ticks numerator, ticks denominator, loops)
_Facts = tuple[int, int, int, int, int, str, bool, bool, int, int, int]

def walk(
    data: Buffer, max_frames: int, /
) -> tuple[_Facts, list[tuple[int, str]], tuple[str, int | None, str] | None]: ...
def frame_whole(data: Buffer, index: int, /) -> bool: ...
@final
class FrameDecoder:
    """An animation's displayed frames one at a time; holds `data` for its life."""

    def __new__(cls, data: Buffer, dtype: str, channels: int, stored_depth: bool, num_threads: int, /) -> FrameDecoder: ...
    def decode(self, index: int, /) -> tuple[SampleBuffer, int, str]: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def dtype(self) -> str: ...
    @property
    def icc_profile(self) -> bytes: ...

@final
class AnimationEncoder:
    """An animation fed one frame at a time."""

    def __new__(
        cls,
        width: int,
        height: int,
        channels: int,
        dtype: str,
        bits: int,
        lossless: bool,
        quality: float,
        effort: int,
        decoding_speed: int,
        ticks_numerator: int,
        ticks_denominator: int,
        loops: int,
        linear: bool,
        icc: Buffer | None,
        use_container: bool,
        num_threads: int,
        progressive_dc: int = -1,
        progressive_ac: int = -1,
        responsive: int = -1,
        /,
    ) -> AnimationEncoder: ...
    def add_box(self, kind: str, contents: Buffer, compress: bool, /) -> None: ...
    def add_frame(self, samples: Buffer, duration_ticks: int, name: str, /) -> None: ...
    def finish(self) -> bytes: ...
    @property
    def frames_added(self) -> int: ...

# (width, height, channels, dtype, colour channels, alpha, bits, exponent
#  bits, orientation, animated)
_ProgressiveFacts = tuple[int, int, int, str, int, bool, int, int, int, bool]

@final
class ProgressiveDecoder:
    """A still image (or an animation's frame) from bytes as they arrive."""

    def __new__(cls, num_threads: int, max_pixels: int, frame: int = 0, /) -> ProgressiveDecoder: ...
    def feed(self, data: Buffer, /) -> str: ...
    def render(self, layout: str, any_picture: bool, /) -> tuple[SampleBuffer, str, int, str, bool] | None: ...
    @property
    def stage(self) -> str: ...
    @property
    def facts(self) -> _ProgressiveFacts | None: ...
    @property
    def icc_profile(self) -> bytes: ...
    @property
    def bytes_fed(self) -> int: ...
