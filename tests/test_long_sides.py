"""An image with a side too long for libjxl's lossy encoder (whose time
grows with the square of that side) is stored lossless by every save path;
jxlinfo judges what was stored, and the pixels come back exactly."""

import numpy as np
import pytest
from PIL import Image

import tessara_pillow
from jxltools import jxlinfo

LONGEST_LOSSY = 1 << 17


def frames(width, height, count):
    rng = np.random.default_rng(width + height)
    return rng.integers(0, 256, (count, height, width, 3), dtype=np.uint8)


def sideways_exif():
    exif = Image.Exif()
    exif[0x0112] = 6
    return exif.tobytes()


# Each save returns the frames a reader gets back from a lossless file.
def plugin_save(path, pixels):
    Image.fromarray(pixels[0]).save(path, quality=90)
    return pixels


def plugin_save_turned(path, pixels):
    # An orientation takes the private encoder rather than the module's;
    # the file is read back turned upright (90 degrees clockwise).
    Image.fromarray(pixels[0]).save(path, quality=90, exif=sideways_exif())
    return np.rot90(pixels, -1, axes=(1, 2))


def plugin_save_all(path, pixels):
    first, *rest = (Image.fromarray(p) for p in pixels)
    first.save(path, save_all=True, append_images=rest, duration=50, quality=90)
    return pixels


def array_still(path, pixels):
    path.write_bytes(tessara_pillow.encode_array(pixels[0], quality=90))
    return pixels


def array_animation(path, pixels):
    path.write_bytes(tessara_pillow.encode_array(pixels, quality=90, duration=50))
    return pixels


@pytest.mark.parametrize("save, count", [
    (plugin_save, 1), (plugin_save_turned, 1), (plugin_save_all, 2), (array_still, 1), (array_animation, 2),
], ids=["save", "save with orientation", "save_all", "encode_array", "encode_array animation"])
@pytest.mark.parametrize("size, lossless", [
    ((LONGEST_LOSSY + 1, 1), True), ((1, LONGEST_LOSSY + 1), True), ((LONGEST_LOSSY, 2), False),
], ids=["wide", "tall", "longest lossy"])
def test_a_side_too_long_for_lossy_coding_is_stored_lossless(tmp_path, save, count, size, lossless):
    pixels = frames(*size, count)
    path = tmp_path / "long.jxl"
    expected = save(path, pixels)
    info = jxlinfo(path)[1]
    assert info["lossless"] is lossless
    if lossless:
        back = tessara_pillow.decode_array(path.read_bytes())
        np.testing.assert_array_equal(back if count > 1 else back[np.newaxis], expected)
