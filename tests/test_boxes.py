"""The container box walk as seen through a decode call, and JxlBox."""

import struct

import numpy as np
import pytest

import tessara
from jxltools import box, cjxl, container, write_pnm

WARNING = "Warning: Failed to extract JXL boxes: ValueError: "


@pytest.fixture(scope="module")
def codestream(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("cs")
    write_pnm(tmp / "in.pgm", np.arange(12, dtype=np.uint8).reshape(3, 4))
    data = cjxl(tmp / "in.pgm", tmp / "out.jxl", "-d", "0")
    assert data.startswith(b"\xff\x0a")
    return data


def boxes_of(data):
    return [(b.box_type, b.data) for b in tessara.Decoder()(data)[4]]


def jxlc(cs):
    return (b"jxlc", cs)


@pytest.mark.parametrize(
    "extra, expected",
    [
        ([], []),
        ([box(b"Exif")], [(b"Exif", b"")]),
        ([box(b"Exif", b"\0\0\0\0II*\0"), box(b"xml ", b"<x/>")], [(b"Exif", b"\0\0\0\0II*\0"), (b"xml ", b"<x/>")]),
        ([box(b"\xffab\x00", b"z")], [(b"\xffab\x00", b"z")]),
        # size 0: the box runs to the end of the input
        ([struct.pack(">I4s", 0, b"jumb") + b"rest of file"], [(b"jumb", b"rest of file")]),
        # size 1: a 64-bit size follows the type
        ([struct.pack(">I4sQ", 1, b"big ", 16)], [(b"big ", b"")]),
        ([struct.pack(">I4sQ", 1, b"big ", 19) + b"abc"], [(b"big ", b"abc")]),
        # truncated last box and trailing bytes are dropped silently
        ([box(b"Exif", b"ok"), struct.pack(">I4s", 100, b"xml ") + b"short"], [(b"Exif", b"ok")]),
        ([box(b"Exif", b"ok"), b"\0\0\0"], [(b"Exif", b"ok")]),
        ([box(b"Exif", b"ok"), b"\0\0\0\x09abc"], [(b"Exif", b"ok")]),
        ([box(b"Exif", b"ok"), struct.pack(">I4sQ", 1, b"huge", 2**64 - 1)], [(b"Exif", b"ok")]),
        ([box(b"Exif", b"ok"), struct.pack(">I4s", 0xFFFFFFFF, b"huge")], [(b"Exif", b"ok")]),
        ([box(b"Exif", b"ok"), struct.pack(">I4s", 1, b"huge") + b"1234"], [(b"Exif", b"ok")]),
    ],
)
def test_boxes_after_the_first_two_in_file_order(codestream, capfd, extra, expected):
    data = container(codestream, *extra)
    got = boxes_of(data)
    assert got[0] == (b"jxlc", codestream)
    assert got[1:] == expected
    assert capfd.readouterr().err == ""


def codestream_box_length(cs):
    return 32 + 8 + len(cs)


@pytest.mark.parametrize("size", [2, 3, 7])
def test_invalid_small_size_warns_and_gives_no_boxes(codestream, capfd, size):
    pos = codestream_box_length(codestream) + 10
    data = container(codestream, box(b"Exif", b"ab"), struct.pack(">I4s", size, b"bad ") + bytes(8))
    assert boxes_of(data) == []
    assert capfd.readouterr().err == f"{WARNING}Invalid box size at position {pos}\n"


def test_invalid_large_size_warns(codestream, capfd):
    pos = codestream_box_length(codestream)
    data = container(codestream, struct.pack(">I4sQ", 1, b"bad ", 15) + bytes(8))
    assert boxes_of(data) == []
    assert capfd.readouterr().err == f"{WARNING}Invalid large box size at position {pos}\n"


def test_bare_codestream_and_minimal_container(codestream):
    assert boxes_of(codestream) == []


def test_jxl_box_properties(codestream):
    b = tessara.Decoder()(container(codestream, box(b"Exif", b"xyz")))[4][1]
    assert repr(b) == "JxlBox(type=Exif, size=3)"
    b.data = [1, 2, 255]
    assert b.data == b"\x01\x02\xff" and repr(b) == "JxlBox(type=Exif, size=3)"
    b.data = bytearray(b"four")
    b.box_type = [120, 109, 108, 32]
    assert (b.box_type, b.data) == (b"xml ", b"four")
    b.box_type = b"\xff\xfeab"
    assert repr(b) == "JxlBox(type=\ufffd\ufffdab, size=4)"
    cls = type(b)
    assert (cls.__module__, cls.__name__) == ("tessara", "JxlBox")
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize(
    "name, value, exc_type, message",
    [
        ("data", "abc", TypeError, "Can't extract `str` to `Vec`"),
        ("data", [256], OverflowError, "number too large to fit in target type"),
        ("data", [-1], OverflowError, "number too small to fit in target type"),
        ("data", 5, TypeError, "'int' object is not an instance of 'Sequence'"),
        ("data", None, TypeError, "'None' is not an instance of 'Sequence'"),
        ("box_type", b"abc", ValueError, "expected a sequence of length 4 (got 3)"),
        ("box_type", [1, 2, 3, 4, 5], ValueError, "expected a sequence of length 4 (got 5)"),
        ("box_type", "abcd", TypeError, None),
        ("box_type", 7, TypeError, "'int' object is not an instance of 'Sequence'"),
        ("box_type", [1, 2, 3, 300], OverflowError, "number too large to fit in target type"),
    ],
)
def test_jxl_box_setter_failures(codestream, name, value, exc_type, message):
    b = tessara.Decoder()(container(codestream, box(b"Exif", b"xyz")))[4][1]
    with pytest.raises(exc_type) as info:
        setattr(b, name, value)
    if message:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{name}'"]
    assert (b.box_type, b.data) == (b"Exif", b"xyz")
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(b, name)
