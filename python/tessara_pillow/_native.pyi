"""File facts, frames at any precision, encoding and PNG files, for tessara_pillow
(private: use tessara_pillow.decode_array, encode_array, jxl_info, and
Image.open / save with the plug-in)."""

from collections.abc import Buffer
from typing import Any, final

@final
class SampleBuffer:
    """Decoded samples that numpy arrays view; made by decode()."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

# The keys facts.FileFacts.from_native reads; None where data ends before them.
def facts(data: Buffer, all_frames: bool, max_frames: int, max_layers: int, /) -> dict[str, Any] | None: ...
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
    orientation: int = 1,
    cicp: tuple[int, int, int, int] | None = None,
    progressive_dc: int = -1,
    progressive_ac: int = -1,
    responsive: int = -1,
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

def frame_whole(data: Buffer, index: int, /) -> bool: ...
@final
class FrameDecoder:
    """A file's displayed frames one at a time; holds `data` for its life.
    dtype "": the file's own samples as stored."""

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
    @property
    def facts(self) -> dict[str, Any]: ...

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
        orientation: int = 1,
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
@final
class ProgressiveDecoder:
    """A still image (or an animation's frame) from bytes as they arrive."""

    def __new__(cls, num_threads: int, max_pixels: int, frame: int = 0, dtype: str = "", channels: int = 0,
                /) -> ProgressiveDecoder: ...
    def feed(self, data: Buffer, /) -> str: ...
    def render(self, layout: str, any_picture: bool, /) -> tuple[SampleBuffer, str, int, str, bool] | None: ...
    @property
    def stage(self) -> str: ...
    @property
    def facts(self) -> dict[str, Any] | None: ...
    @property
    def bytes_fed(self) -> int: ...
