"""Files made for progressive decoding: the save options progressive_dc,
progressive_ac, responsive and progressive in the plug-in, encode_array and
save_all, and tessara-convert --progressive; judged by the stages libjxl's
decoder reports for them and by decoding them whole."""

import io

import numpy as np
import pytest
from PIL import Image, ImageSequence

from jxltools import jxlinfo
from tessara_pillow import ProgressiveDecoder, decode_array, encode_array
from tessara_pillow.convert import main


def photo(size=(720, 540), seed=3):
    w, h = size
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w] / np.float64(h)
    planes = [0.5 + 0.3 * np.sin(x * (7 + 3 * c) + y * 5) * np.cos(y * 9 - c) + rng.normal(0, 0.02, (h, w))
              for c in range(3)]
    return (np.clip(np.dstack(planes), 0, 1) * 255 + 0.5).astype(np.uint8)


def stages_of(data, pieces=200):
    """The stages libjxl reports as the file arrives in `pieces` pieces,
    each with the share of the file it took."""
    decoder = ProgressiveDecoder()
    seen = {}
    step = max(1, len(data) // pieces)
    for at in range(0, len(data), step):
        seen.setdefault(decoder.feed(data[at:at + step]), min(at + step, len(data)) / len(data))
    return seen


def saved(pixels, **options):
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "JXL", **options)
    return out.getvalue()


PIXELS = photo()


@pytest.mark.parametrize("options, passes", [
    ({}, False),
    ({"progressive_dc": 1}, False),
    ({"progressive_dc": 2}, False),
    ({"progressive_ac": True}, True),
    ({"progressive": True}, True),
    ({"progressive": True, "progressive_ac": False}, False),
])
def test_saved_files_have_the_stages_asked_for(options, passes):
    data = saved(PIXELS, **options)
    stages = stages_of(data)
    assert list(stages)[-1] == "complete"
    assert "preview" in stages and stages["preview"] < 0.5
    assert ("pass" in stages) == passes
    decoded = decode_array(data).astype(np.float64)
    assert np.mean((decoded - PIXELS) ** 2) < 40  # quality 90 smooths the grain away


def test_progressive_dc_and_responsive_change_the_file():
    plain = saved(PIXELS)
    assert saved(PIXELS, progressive_dc=1) != plain
    lossless = saved(PIXELS, lossless=True, effort=3)
    squeezed = saved(PIXELS, lossless=True, effort=3, responsive=True)
    assert squeezed != lossless
    np.testing.assert_array_equal(decode_array(squeezed), PIXELS)  # still lossless


def test_a_large_image_gives_its_preview_early_only_when_asked():
    # Wider than 2048 pixels: libjxl writes it a DC group at a time, each
    # followed by its detail, unless asked for progression.
    wide = photo((2176, 256))
    plain = stages_of(encode_array(wide, effort=3))
    progressive = stages_of(encode_array(wide, effort=3, progressive=True))
    assert plain["preview"] > 0.8
    assert progressive["preview"] < 0.4


def test_encode_array_and_save_agree():
    assert encode_array(PIXELS, progressive=True) == saved(PIXELS, progressive=True)
    assert encode_array(PIXELS, progressive_ac=True) == saved(PIXELS, progressive_ac=True)


def test_an_animation_saved_progressive_decodes_to_its_frames():
    frames = [Image.fromarray(photo((96, 64), seed)) for seed in range(3)]
    out = io.BytesIO()
    frames[0].save(out, "JXL", save_all=True, append_images=frames[1:], duration=40, lossless=True, progressive=True)
    with Image.open(out) as im:
        assert im.n_frames == 3
        for frame, expected in zip(ImageSequence.Iterator(im), frames, strict=True):
            np.testing.assert_array_equal(np.asarray(frame), np.asarray(expected))
    stack = np.stack([np.asarray(f) for f in frames])
    np.testing.assert_array_equal(decode_array(encode_array(stack, duration=40, lossless=True, responsive=True)),
                                  stack)


@pytest.mark.parametrize("options", [{"progressive_dc": 3}, {"progressive_dc": -1}, {"progressive_dc": "1"},
                                     {"progressive_dc": 1.0}])
def test_bad_values_are_refused(options):
    with pytest.raises(ValueError, match="progressive_dc must be an integer from 0 to 2"):
        saved(PIXELS, **options)
    error = ValueError if isinstance(options["progressive_dc"], int) else TypeError
    with pytest.raises(error, match="progressive_dc"):
        encode_array(PIXELS, **options)


def test_the_converter_writes_progressive_files(tmp_path, capsys):
    Image.fromarray(PIXELS).save(tmp_path / "a.png")
    for flag, out in (([], "plain"), (["--progressive"], "progressive")):
        assert main([str(tmp_path / "a.png"), "-o", str(tmp_path / out), *flag]) == 0
    capsys.readouterr()
    plain = (tmp_path / "plain" / "a.jxl").read_bytes()
    progressive = (tmp_path / "progressive" / "a.jxl").read_bytes()
    assert "pass" not in stages_of(plain) and "pass" in stages_of(progressive)
    assert jxlinfo(tmp_path / "progressive" / "a.jxl")[1]["size"] == (720, 540)
    assert main([str(tmp_path / "a.png"), "-o", str(tmp_path / "dry"), "--progressive", "-n", "-v"]) == 0
    assert "progressive" in capsys.readouterr().out
