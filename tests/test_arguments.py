"""Argument matching and conversions, with the exact messages callers see."""

import numpy as np
import pytest

import tessara

D, E = tessara.Decoder, tessara.Encoder


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: D(1, 2), "Decoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: D()(b"", b""), "Decoder.__call__() takes 1 positional arguments but 2 were given"),
        (lambda: D()(), "Decoder.__call__() missing 1 required positional argument: 'data'"),
        (lambda: D()(dat=b""), "Decoder.__call__() got an unexpected keyword argument 'dat'"),
        (lambda: D(**{"num_threads": 1, "x": 2}), "Decoder.__new__() got an unexpected keyword argument 'x'"),
        (lambda: E("RGB", mode="L"), "Encoder.__new__() got multiple values for argument 'mode'"),
        (lambda: E(), "Encoder.__new__() missing 1 required positional argument: 'mode'"),
        (lambda: E(lossless=True), "Encoder.__new__() missing 1 required positional argument: 'mode'"),
        (
            lambda: E("L", *[False] * 8),
            "Encoder.__new__() takes from 1 to 8 positional arguments but 9 were given",
        ),
        (
            lambda: E("RGB")(b"", 1),
            "Encoder.__call__() missing 2 required positional arguments: 'height' and 'jpeg_encode'",
        ),
        (
            lambda: E("RGB")(b""),
            "Encoder.__call__() missing 3 required positional arguments: "
            "'width', 'height', and 'jpeg_encode'",
        ),
        (
            lambda: E("RGB")(width=1),
            "Encoder.__call__() missing 3 required positional arguments: "
            "'data', 'height', and 'jpeg_encode'",
        ),
        (
            lambda: E("RGB")(b"", 1, 1, False, None, None, None, False, 9),
            "Encoder.__call__() takes from 4 to 8 positional arguments but 9 were given",
        ),
        # too many positionals is reported before any keyword is looked at
        (lambda: D(1, 2, bogus=3), "Decoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ],
)
def test_argument_matching_messages(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message


def test_non_str_keyword_key_is_unexpected():
    exc = raised(lambda: D()(**{"da\udcffta": b""}))
    assert type(exc) is TypeError
    assert str(exc) == "Decoder.__call__() got an unexpected keyword argument 'da\udcffta'"


@pytest.mark.parametrize(
    "call, exc_type, message, name",
    [
        (lambda: D(num_threads=None), TypeError, None, "num_threads"),
        (lambda: D(1.5), TypeError, None, "num_threads"),
        (lambda: D(2**63), OverflowError, None, "num_threads"),
        (lambda: E("RGB", lossless=1), TypeError, "'int' object is not an instance of 'bool'", "lossless"),
        (lambda: E("RGB", lossless=None), TypeError, "'None' is not an instance of 'bool'", "lossless"),
        (lambda: E("RGB", use_container="yes"), TypeError, "'str' object is not an instance of 'bool'", "use_container"),
        (lambda: E("RGB", effort=-1), OverflowError, "number too small to fit in target type", "effort"),
        (lambda: E("RGB", effort=2**32), OverflowError, "number too large to fit in target type", "effort"),
        (lambda: E("RGB", effort=2**64), OverflowError, None, "effort"),
        (lambda: E("RGB", quality="high"), TypeError, None, "quality"),
        (lambda: E(b"RGB"), TypeError, "'bytes' object is not an instance of 'str'", "mode"),
        (lambda: E("RGB\udcff"), UnicodeEncodeError, None, "mode"),
        (lambda: E("RGB", decoding_speed=1.0), TypeError, None, "decoding_speed"),
        (lambda: D()(bytearray(b"x")), TypeError, "'bytearray' object is not an instance of 'bytes'", "data"),
        (lambda: D()(memoryview(b"x")), TypeError, "'memoryview' object is not an instance of 'bytes'", "data"),
        (lambda: D()("text"), TypeError, "'str' object is not an instance of 'bytes'", "data"),
        (lambda: E("L")(b"", -1, 1, False), OverflowError, "number too small to fit in target type", "width"),
        (lambda: E("L")(b"", 1, 2**32, False), OverflowError, "number too large to fit in target type", "height"),
        (lambda: E("L")(b"", 1, 1, 0), TypeError, "'int' object is not an instance of 'bool'", "jpeg_encode"),
        (lambda: E("L")(b"", 1, 1, False, exif=bytearray()), TypeError, "'bytearray' object is not an instance of 'bytes'", "exif"),
        (lambda: E("L")(b"", 1, 1, False, jumb=[1]), TypeError, "'list' object is not an instance of 'bytes'", "jumb"),
        (lambda: E("L")(b"", 1, 1, False, xmp="<x/>"), TypeError, "'str' object is not an instance of 'bytes'", "xmp"),
        (lambda: E("L")(b"", 1, 1, False, compress=None), TypeError, "'None' is not an instance of 'bool'", "compress"),
    ],
)
def test_conversion_failures_carry_a_note(call, exc_type, message, name):
    exc = raised(call)
    assert type(exc) is exc_type
    if message is not None:
        assert str(exc) == message
    assert exc.__notes__ == [f"while processing '{name}'"]


def test_conversions_run_in_parameter_order():
    # both width and jpeg_encode are wrong: width is reported
    exc = raised(lambda: E("L")(b"", -1, 1, 5))
    assert exc.__notes__ == ["while processing 'width'"]
    exc = raised(lambda: E(5, lossless=5))
    assert exc.__notes__ == ["while processing 'mode'"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [0, -5, 2**63 - 1, -(2**63), True, Index(4)])
def test_signed_conversion_accepts_integers(value):
    assert repr(D(value)) == "Decoder"
    assert repr(E("L", num_threads=value)).endswith(f"num_threads={int(value)})")


@pytest.mark.parametrize("value", [0, 4294967295, Index(10)])
def test_unsigned_32_bit_boundaries(value):
    assert f"effort={int(value)}," in repr(E("L", effort=value))


@pytest.mark.parametrize("value, shown", [(np.True_, "true"), (np.False_, "false"), (True, "true")])
def test_numpy_bools_are_bools(value, shown):
    assert f"lossless={shown}," in repr(E("L", lossless=value))


@pytest.mark.parametrize("value", [np.int64(1), np.float64(0.0), np.array([True]), 1, 0, 1.0])
def test_other_truthy_values_are_not_bools(value):
    exc = raised(lambda: E("L", lossless=value))
    assert type(exc) is TypeError
    assert str(exc).endswith("object is not an instance of 'bool'")
