"""Bad input through the module and the plug-in: valid files truncated and
with bytes flipped, garbage after a signature, broken containers, absurd
dimensions, and a deterministic slice of the mutation fuzzer. Each gives a
documented exception or a correct result (fuzz_python.check_one says which
exceptions those are), never a crash."""

import io
import random
import struct
from pathlib import Path

import pytest
from PIL import Image

import tessara
import tessara_pillow  # noqa: F401  (registers the format)
from fuzz_python import Finding, check_one, mutated_inputs, seeds
from jxltools import SIGNATURE, box, codestream_header, container

DATA = Path(__file__).resolve().parent / "data"


@pytest.fixture(scope="module")
def valid_files():
    return seeds()


def check(data):
    try:
        return check_one(data)
    except Finding as e:
        pytest.fail(f"{e} for input {data[:64].hex()}... ({len(data)} bytes)")


def offsets(size, count=24):
    """Every offset in the headers, then evenly spread through the rest."""
    return sorted({*range(min(size, 48)), *range(48, size, max(1, (size - 48) // count))})


def test_truncated_files_fail_cleanly_or_decode_as_the_whole(valid_files):
    outcomes = set()
    for data in valid_files:
        try:
            whole = tessara.Decoder()(data)[2]
        except RuntimeError:
            whole = None  # a header-only seed
        for cut in offsets(len(data)):
            outcomes.update(check(data[:cut]))
            try:
                part = tessara.Decoder()(data[:cut])[2]
            except RuntimeError:
                continue
            # only boxes after the codestream can be cut off and still decode
            assert part == whole, f"{cut} of {len(data)} bytes decoded to other pixels"
    assert {"not opened", "not loaded", "not decoded"} <= outcomes


def test_flipped_bytes_fail_cleanly_or_decode(valid_files):
    rng = random.Random(3)
    outcomes = set()
    for data in valid_files:
        for at in offsets(len(data)):
            flipped = bytearray(data)
            flipped[at] ^= 1 << rng.randrange(8)
            outcomes.update(check(bytes(flipped)))
    assert {"not opened", "loaded", "not loaded", "decoded", "not decoded"} <= outcomes


@pytest.mark.parametrize("signature", [b"\xff\x0a", SIGNATURE, SIGNATURE + box(b"ftyp", b"jxl \0\0\0\0jxl ")])
def test_garbage_after_a_valid_signature(signature):
    rng = random.Random(len(signature))
    for size in (0, 1, 7, 8, 31, 200, 4000):
        for _ in range(4):
            outcomes = check(signature + rng.randbytes(size))
            assert "loaded" not in outcomes and "decoded" not in outcomes


def jxlc(cs):
    return box(b"jxlc", cs)


BROKEN_CONTAINERS = {
    # sizes the box walk refuses, before and after the codestream
    "small size before": lambda cs: container(b"")[:32] + struct.pack(">I4s", 5, b"Exif") + jxlc(cs),
    "small size after": lambda cs: container(cs, struct.pack(">I4s", 7, b"Exif") + bytes(8)),
    "large size below 16": lambda cs: container(cs, struct.pack(">I4sQ", 1, b"xml ", 9) + bytes(8)),
    "large size past the end": lambda cs: container(cs, struct.pack(">I4sQ", 1, b"xml ", 2**63) + b"x"),
    "size past the end": lambda cs: container(cs, struct.pack(">I4s", 2**31, b"Exif") + b"\0\0\0\0II*\0"),
    "header cut short": lambda cs: container(cs, struct.pack(">I", 12)),
    "size 0 swallows the codestream": lambda cs: container(b"")[:32] + struct.pack(">I4s", 0, b"Exif") + jxlc(cs),
    "codestream size past the end": lambda cs: container(b"")[:32] + struct.pack(">I4s", 2**20, b"jxlc") + cs,
    "no file type box": lambda cs: SIGNATURE + jxlc(cs),
    "file type box of another brand": lambda cs: SIGNATURE + box(b"ftyp", b"avif\0\0\0\0avif") + jxlc(cs),
    "jxlp without index": lambda cs: container(b"")[:32] + box(b"jxlp", b"\x80\0") + jxlc(cs),
    "jxlp parts out of order": lambda cs: container(b"")[:32] + box(b"jxlp", b"\0\0\0\1" + cs[:5])
    + box(b"jxlp", b"\x80\0\0\0" + cs[5:]),
    "two codestreams": lambda cs: container(cs, jxlc(cs)),
    "empty codestream box": lambda cs: container(b"", jxlc(cs)),
}


@pytest.mark.parametrize("name", BROKEN_CONTAINERS)
def test_broken_containers(valid_files, name, capfd):
    cs = valid_files[0]  # a bare codestream
    assert cs.startswith(b"\xff\x0a")
    data = BROKEN_CONTAINERS[name](cs)
    outcomes = check(data)
    try:
        _, _, image, _, _ = tessara.Decoder()(data)
    except RuntimeError:
        pass
    else:
        assert image == tessara.Decoder()(cs)[2]
    # a warning of the box walk is one line, nothing else reaches stderr from us
    assert all(not line.startswith("tessara:") for line in capfd.readouterr().err.splitlines())
    assert outcomes


@pytest.mark.parametrize("width, height", [(1, 2**30), (2**30, 1), (2**30, 2**30), (100000, 100000), (2**18, 2**18)])
@pytest.mark.parametrize("tail", [b"", bytes(30), b"\xff" * 64])
def test_absurd_dimensions(width, height, tail):
    data = codestream_header(width, height) + tail
    with pytest.raises((RuntimeError, MemoryError)):
        tessara.Decoder(num_threads=0)(data)
    with pytest.raises(Image.DecompressionBombError):
        Image.open(io.BytesIO(data))
    boxed = container(data)
    with pytest.raises((RuntimeError, MemoryError)):
        tessara.Decoder(num_threads=0)(boxed)


def test_rebuilt_bytes_that_are_no_jpeg_fail_load_with_oserror():
    # found by the mutation fuzzer: damaged reconstruction data from which
    # libjxl rebuilds bytes Pillow cannot read as a JPEG
    data = (DATA / "rebuilt-jpeg-without-markers.jxl").read_bytes()
    is_jpeg, info, jpeg, _, _ = tessara.Decoder()(data)
    assert is_jpeg and jpeg[:4] == b"\xff\xd8\xff\x0a"  # no marker after the start of image
    im = Image.open(io.BytesIO(data))
    assert (im.size, im.mode) == ((info.width, info.height), "RGB")
    with pytest.raises(OSError, match="JPEG rebuilt from the file's reconstruction data cannot be read"):
        im.load()


def test_mutation_fuzzer_slice(valid_files):
    """A fixed slice of tests/fuzz_python.py (tools/dev fuzz runs it for minutes)."""
    rng = random.Random(20240611)
    outcomes = set()
    for _, data in zip(range(1500), mutated_inputs(valid_files, rng)):
        outcomes.update(check(data))
    # the slice reaches every outcome, so each check ran
    assert outcomes >= {"read", "refused", "not opened", "opened", "loaded", "not loaded", "decoded",
                        "not decoded", "jpeg"}


def test_float_samples_libjxl_asserts_on_under_srgb_encode_as_linear_grey():
    # found by encoder_fuzz: these 4x8 samples, lossy under the sRGB transfer,
    # end the process in a libjxl assertion; the module codes float samples
    # as linear grey only, where they are an ordinary image
    samples = bytes.fromhex("f224a500" + "00" * 118 + "098d75ffff50")
    for effort in (3, 8):
        out = tessara.Encoder("F", quality=73, effort=effort, decoding_speed=4)(samples, 4, 8, False)
        assert tessara.Decoder()(out)[1].mode == "F"
