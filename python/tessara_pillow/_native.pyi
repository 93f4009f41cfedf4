"""Full-precision decoding and encoding for tessara_pillow's array functions
(private: use tessara_pillow.decode_array, encode_array and jxl_info)."""

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
    /,
) -> bytes: ...
