"""Failures of the plug-in and the bytes-level functions say in plain words,
on one line, what happened; the module's own exception stays chained."""

import io

import numpy as np
import pytest
from PIL import Image

import tessara_pillow
from jxltools import cjxl, run, tool, write_pnm
from tessara_pillow.errors import plain_reason

GENERIC = ("Generic Error. Please build `libjxl` from source (using `vendored` feature) \n"
           "        in debug mode to get more information. Check `stderr` for any internal error messages.")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("errors")
    write_pnm(tmp / "in.ppm", np.random.default_rng(4).integers(0, 256, (48, 64, 3), dtype=np.uint8))
    run(tool("cjpeg"), "-outfile", tmp / "in.jpg", tmp / "in.ppm")
    run(tool("cjpeg"), "-arithmetic", "-outfile", tmp / "arith.jpg", tmp / "in.ppm")
    cmyk = io.BytesIO()
    Image.open(tmp / "in.ppm").convert("CMYK").save(cmyk, "JPEG")
    return {
        "bare": cjxl(tmp / "in.ppm", tmp / "bare.jxl", "-d", "0"),
        "container": cjxl(tmp / "in.ppm", tmp / "box.jxl", "-d", "0", "--container=1"),
        "from jpeg": cjxl(tmp / "in.jpg", tmp / "t.jxl"),
        "arithmetic": (tmp / "arith.jpg").read_bytes(),
        "cmyk": cmyk.getvalue(),
    }


def load(data):
    Image.open(io.BytesIO(data)).load()


def cut(data):
    return data[: len(data) * 2 // 3]


@pytest.mark.parametrize("call, error, words", [
    (lambda f: load(cut(f["bare"])), OSError, "cannot decode JPEG XL image: the file is truncated: it ends after"),
    (lambda f: load(cut(f["container"])), OSError, "cannot decode JPEG XL image: the file is truncated"),
    (lambda f: tessara_pillow.jxl_to_jpeg(cut(f["from jpeg"])), ValueError,
     "cannot rebuild the JPEG file: the file is truncated"),
    (lambda f: tessara_pillow.jpeg_to_jxl(f["cmyk"]), ValueError, "does not cover (CMYK, arithmetic coding"),
    (lambda f: tessara_pillow.jpeg_to_jxl(f["arithmetic"]), ValueError, "does not cover (CMYK, arithmetic coding"),
], ids=["cut codestream", "cut container", "cut rebuild", "CMYK JPEG", "arithmetic JPEG"])
def test_failures_say_what_happened_on_one_line(files, call, error, words):
    with pytest.raises(error) as raised:
        call(files)
    message = str(raised.value)
    assert words in message and "\n" not in message and "vendored" not in message
    assert isinstance(raised.value.__cause__, RuntimeError)  # the module's own, kept


def zero_tail(data):
    """The length of the whole file, its last third zeros: damaged, not cut."""
    return cut(data) + bytes(len(data) - len(cut(data)))


def flip_middle(data):
    damaged = bytearray(data)
    damaged[len(data) // 2] ^= 0xFF
    return bytes(damaged)


@pytest.mark.parametrize("damage, words", [
    (cut, "the file is truncated: it ends after {size} bytes, before its first pass is complete"),
    (zero_tail, "the file is truncated or damaged"),
    (flip_middle, "the file is truncated or damaged"),
], ids=["cut", "zeros at the end", "a flipped byte"])
def test_a_cut_codestream_says_where_it_ends_and_a_damaged_one_claims_no_end(files, damage, words):
    data = damage(files["bare"])
    with pytest.raises(OSError) as raised:
        load(data)
    assert str(raised.value) == "cannot decode JPEG XL image: " + words.format(size=len(data))


def test_the_end_of_a_cut_progressive_file_follows_its_passes():
    """Cut ever later, a progressive file says it ends in ever later stages,
    and each cut the message places after the 1:8 preview gives a preview."""
    y, x = np.mgrid[0:384, 0:512]
    noise = np.random.default_rng(5).integers(0, 24, (384, 512), dtype=np.uint8)
    pixels = np.stack([x // 2, y * 2 // 3, (x + y) % 256], -1).astype(np.uint8) + noise[..., None]
    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, "JXL", progressive=True, quality=90)
    data = buffer.getvalue()
    order = ["before its first pass is complete", "after its 1:8 preview", "after a pass, before its last"]
    seen = []
    for end in [len(data) // 50] + [len(data) * tenth // 10 for tenth in range(1, 10)]:
        prefix = data[:end]
        with pytest.raises(OSError) as raised:
            load(prefix)
        message = str(raised.value)
        head = f"cannot decode JPEG XL image: the file is truncated: it ends after {len(prefix)} bytes, "
        assert message.startswith(head)
        seen.append(order.index(message.removeprefix(head)))
        if seen[-1] > 0:
            assert tessara_pillow.preview(prefix)[0] is not None
    assert seen == sorted(seen) and set(seen) == {0, 1, 2}


@pytest.mark.parametrize("text, task, plain", [
    (GENERIC, "decode", "the file is truncated or damaged"),
    (GENERIC, "encode", "libjxl could not encode the image"),
    ("Unsupported Pixel bit width: 20", "decode", "20-bit samples are not supported"),
    ("Unknown status: `NeedMoreInput`", "decode", "libjxl's decoder stopped in an unexpected state (NeedMoreInput)"),
    ("Feature not yet implemented: box handling", "decode", "the file uses a feature not supported here (box handling)"),
    ("Input is invalid", "encode", "libjxl refused the input as invalid"),
    ("a text of\n  two lines", "decode", "a text of two lines"),
])
def test_module_texts_become_plain_words(text, task, plain):
    assert plain_reason(RuntimeError(text), task) == plain
