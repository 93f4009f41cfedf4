"""JPEG XL for Pillow through tessara: `import tessara_pillow` registers the
"JXL" format (open and save), two functions work on whole files, three
give numpy arrays at the file's own precision (docs/arrays.md), and two
decode the bytes that have arrived (docs/progressive.md)."""

from .arrays import decode_array, encode_array
from .jxlinfo import JxlInfo, jxl_info
from .plugin import JxlImageFile, register
from .progressive import ProgressiveDecoder, preview
from .transcode import jpeg_to_jxl, jxl_to_jpeg

__all__ = ["JxlImageFile", "JxlInfo", "ProgressiveDecoder", "decode_array", "encode_array", "jpeg_to_jxl",
           "jxl_info", "jxl_to_jpeg", "preview", "register"]

register()
