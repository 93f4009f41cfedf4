"""Full-precision decoding and encoding, animations and PNG files, for tessara_pillow
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
    cicp: tuple[int, int, int, int] | None = None,
    /,
) -> bytes: ...

# (cICP, ICC profile, sRGB intent (-1: none), gAMA x 100000 (0: none),
#  cHRM x 100000, Exif, XMP, acTL (frames, plays))
_PngFacts = tuple[
    tuple[int, int, int, int] | None,
    bytes,
    int,
    int,
    tuple[int, int, int, int, int, int, int, int] | None,
    bytes,
    bytes,
    tuple[int, int] | None,
]

def png_read(data: Buffer, max_pixels: int, /) -> tuple[SampleBuffer, int, int, int, str, _PngFacts]: ...
def png_write(
    samples: Buffer,
    width: int,
    height: int,
    channels: int,
    dtype: str,
    cicp: tuple[int, int, int, int] | None,
    icc: Buffer | None,
    exif: Buffer | None,
    xmp: Buffer | None,
    compress_level: int,
    /,
) -> bytes: ...
def cicp_encodable(cicp: tuple[int, int, int, int], /) -> bool: ...

# (width, height, channels, bits, exponent bits, dtype, animated, jpeg
#  reconstruction, ticks numerator, ticks denominator, loops)
_Facts = tuple[int, int, int, int, int, str, bool, bool, int, int, int]

def walk(
    data: Buffer, max_frames: int, /
) -> tuple[_Facts, list[tuple[int, str]], tuple[str, int | None, str] | None]: ...
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
        /,
    ) -> AnimationEncoder: ...
    def add_box(self, kind: str, contents: Buffer, compress: bool, /) -> None: ...
    def add_frame(self, samples: Buffer, duration_ticks: int, name: str, /) -> None: ...
    def finish(self) -> bytes: ...
    @property
    def frames_added(self) -> int: ...
