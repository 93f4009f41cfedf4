"""JPEG XL for Pillow through tessara: `import tessara_pillow` registers the
"JXL" format (open and save), and two functions work on whole files."""

from .plugin import JxlImageFile, register
from .transcode import jpeg_to_jxl, jxl_to_jpeg

__all__ = ["JxlImageFile", "jpeg_to_jxl", "jxl_to_jpeg", "register"]

register()
