"""Encoder construction: the mode table, validation order and repr."""

import math
import struct

import pytest

import tessara

DEFAULT_TAIL = "decoding_speed=0, effort=7, num_threads=-1)"


@pytest.mark.parametrize(
    "mode, has_alpha",
    [("L", "false"), ("LA", "true"), ("RGB", "false"), ("RGBA", "true"), ("I;16", "false"), ("F", "false")],
)
def test_mode_table(mode, has_alpha):
    expected = f"Encoder(has_alpha={has_alpha}, lossless=false, quality=1, {DEFAULT_TAIL}"
    assert repr(tessara.Encoder(mode)) == expected


@pytest.mark.parametrize("mode", ["rgb", "I;16B", "", "RGBX", "L ", "P", "RGB\0"])
def test_other_modes_are_refused(mode):
    with pytest.raises(ValueError) as info:
        tessara.Encoder(mode)
    assert str(info.value) == "Only RGB, RGBA, L, LA, I;16, F are supported."


@pytest.mark.parametrize("speed, ok", [(-1, False), (0, True), (4, True), (5, False), (2**40, False)])
def test_decoding_speed_range(speed, ok):
    if ok:
        assert f"decoding_speed={speed}," in repr(tessara.Encoder("L", decoding_speed=speed))
    else:
        with pytest.raises(ValueError) as info:
            tessara.Encoder("L", decoding_speed=speed)
        assert str(info.value) == "Decoding speed must be between 0 and 4"


def test_mode_is_checked_before_decoding_speed():
    with pytest.raises(ValueError, match="^Only RGB"):
        tessara.Encoder("XYZ", decoding_speed=9)


def test_conversion_failures_come_before_validation():
    with pytest.raises(TypeError):
        tessara.Encoder("XYZ", num_threads="x")


@pytest.mark.parametrize("effort", [0, 11, 4294967295])
def test_effort_is_not_checked_at_construction(effort):
    assert f"effort={effort}," in repr(tessara.Encoder("RGB", effort=effort))


def test_full_repr():
    enc = tessara.Encoder("RGBA", True, 92.5, 3, 9, True, True, 4)
    assert repr(enc) == (
        "Encoder(has_alpha=true, lossless=true, quality=92.5, decoding_speed=3, effort=9, num_threads=4)"
    )


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


@pytest.mark.parametrize(
    "quality, shown",
    [
        (1.0, "1"),
        (90.0, "90"),
        (0.5, "0.5"),
        (0.1, "0.1"),
        (92.5, "92.5"),
        (1e-5, "0.00001"),
        (1e20, "100000000000000000000"),
        (123456789.0, "123456790"),
        (3.4028234663852886e38, "340282350000000000000000000000000000000"),
        (1e-45, "0.000000000000000000000000000000000000000000001"),
        (-0.0, "-0"),
        (0.0, "0"),
        (-2.25, "-2.25"),
        (7, "7"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (1e300, "inf"),
        (float("nan"), "NaN"),
        (-float("nan"), "NaN"),
    ],
)
def test_quality_repr_is_shortest_round_trip(quality, shown):
    text = repr(tessara.Encoder("L", quality=quality)).split("quality=")[1].split(",")[0]
    assert text == shown
    if math.isfinite(f32(quality)):
        assert f32(float(text)) == f32(quality)


class FloatLike:
    def __float__(self):
        return 2.5


def test_quality_accepts_float_like_objects():
    assert "quality=2.5," in repr(tessara.Encoder("L", quality=FloatLike()))
