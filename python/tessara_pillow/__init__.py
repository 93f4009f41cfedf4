"""JPEG XL for Pillow through tessara: `import tessara_pillow` registers the
"JXL" format (open and save), two functions work on whole files, and three
give numpy arrays at the file's own precision (docs/arrays.md)."""

from .arrays import decode_array, encode_array
from .jxlinfo import JxlInfo, jxl_info
from .plugin import JxlImageFile, register
from .transcode import jpeg_to_jxl, jxl_to_jpeg

__all__ = ["JxlImageFile", "JxlInfo", "decode_array", "encode_array", "jpeg_to_jxl", "jxl_info",
           "jxl_to_jpeg", "register"]

register()
