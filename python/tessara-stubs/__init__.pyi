# Types of the tessara extension module, for type checkers (PEP 561 stub-only
# package). ImageInfo and JxlBox exist only as the types of decode results.
from collections.abc import Sequence
from typing import final, type_check_only

__all__ = ["Decoder", "Encoder", "JxlException"]

@type_check_only
@final
class ImageInfo:
    @property
    def mode(self) -> str: ...
    @mode.setter
    def mode(self, value: str) -> None: ...
    @property
    def width(self) -> int: ...
    @width.setter
    def width(self, value: int) -> None: ...
    @property
    def height(self) -> int: ...
    @height.setter
    def height(self, value: int) -> None: ...
    @property
    def num_channels(self) -> int: ...
    @num_channels.setter
    def num_channels(self, value: int) -> None: ...
    @property
    def has_alpha_channel(self) -> bool: ...
    @has_alpha_channel.setter
    def has_alpha_channel(self, value: bool) -> None: ...

@type_check_only
@final
class JxlBox:
    @property
    def data(self) -> bytes: ...
    @data.setter
    def data(self, value: bytes | bytearray | Sequence[int]) -> None: ...
    @property
    def box_type(self) -> bytes: ...
    @box_type.setter
    def box_type(self, value: bytes | bytearray | Sequence[int]) -> None: ...

@final
class Decoder:
    def __new__(cls, num_threads: int = ...) -> Decoder: ...
    def __call__(self, data: bytes) -> tuple[bool, ImageInfo, bytes, bytes, list[JxlBox]]: ...

@final
class Encoder:
    def __new__(
        cls,
        mode: str,
        lossless: bool = False,
        quality: float = 1.0,
        decoding_speed: int = 0,
        effort: int = 7,
        use_container: bool = False,
        use_original_profile: bool = False,
        num_threads: int = ...,
    ) -> Encoder: ...
    def __call__(
        self,
        data: bytes,
        width: int,
        height: int,
        jpeg_encode: bool,
        exif: bytes | None = None,
        jumb: bytes | None = None,
        xmp: bytes | None = None,
        compress: bool = False,
    ) -> bytes: ...

class JxlException(RuntimeError): ...
