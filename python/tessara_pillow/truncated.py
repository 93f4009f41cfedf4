"""What the plug-in loads from a file that ends early when Pillow's
ImageFile.LOAD_TRUNCATED_IMAGES is set: the picture the bytes hold, as
libjxl draws it from them (djxl --allow_partial_files draws the same).

From the 1:8 preview on, that is the whole image: the groups and passes
that arrived in full detail, the rest from the preview, upsampled. Before
it, libjxl draws the groups that arrived of a lossless image (the others
are black, alpha transparent) and nothing of a lossy one: the picture is
then black (all samples zero, alpha transparent), as Pillow leaves the
rows a truncated PNG lacks. Corrupt bytes still fail."""

from __future__ import annotations

from PIL import Image

from . import _native
from .arrays import MAX_PIXELS
from .progressive import pillow_picture


def check_announced(picture: Image.Image, mode: str, size: tuple[int, int]) -> None:
    """OSError unless `picture` has the mode and size the header announced."""
    if picture.mode != mode or picture.size != size:
        msg = (f"JPEG XL: decoded a {picture.size[0]}x{picture.size[1]} {picture.mode} picture, "
               f"not the {size[0]}x{size[1]} {mode} its header announced")
        raise OSError(msg)


def partial_picture(data: bytes, num_threads: int, pixels: tuple[str, int], frame: int = 0) -> tuple[Image.Image, bytes]:
    """Displayed frame `frame` (0 for a still image) of a file cut short, in
    the plug-in's mode, upright, decoded from libjxl's `pixels` (sample type,
    samples a pixel: what load() asks libjxl for, JxlImageFile.pixels_asked);
    and the profile of its pixels. ValueError (with libjxl's reason) for
    corrupt bytes or a header that did not arrive, MemoryError."""
    decoder = _native.ProgressiveDecoder(num_threads, MAX_PIXELS, frame, *pixels)
    decoder.feed(data)
    picture = pillow_picture(decoder, True)
    if picture is None:  # no header: render() refuses first
        raise ValueError("the file ends before its image header")
    return picture[0], picture[0].info.get("icc_profile", b"")


# Where a still image's bytes end, by the stage libjxl's progressive
# decoder reached with them.
_ENDS = {
    "none": "before its first pass is complete",
    "preview": "after its 1:8 preview",
    "pass": "after a pass, before its last",
}


def where_it_ends(data: bytes, num_threads: int) -> str | None:
    """Where the bytes of a still image that libjxl finds cut short end, in
    words ("after its 1:8 preview"); None where they are corrupt or hold the
    whole image (the decode failed for another reason). It decodes what
    arrived once more: only a failed load pays for it."""
    try:
        decoder = _native.ProgressiveDecoder(num_threads, MAX_PIXELS)
        stage = decoder.feed(data)
    except (ValueError, RuntimeError, MemoryError):
        return None
    return _ENDS.get(stage)  # None for "complete"
