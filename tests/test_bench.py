"""The benchmark's baseline and arithmetic: bench/jxl_raw must do exactly
the module's work (same encoded bytes, same decoded samples), or its ratios
compare different things; and the statistics must pair what they claim."""

import io
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

import tessara
import tessara_pillow
from jxltools import tool, unavailable, write_pnm

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))
import inputs  # noqa: E402
from raw import RawHarness  # noqa: E402
from stats import Target, ratio, summarize  # noqa: E402


@pytest.fixture(scope="module")
def raw():
    path = Path(os.environ.get("TESSARA_FIXTURE_BIN", "build/cpp")) / "jxl_raw"
    if not path.exists():
        unavailable("jxl_raw is not built (run through tools/dev test)")
    with RawHarness(path) as harness:
        yield harness


def raw_output(raw, tmp_path, *job):
    raw.run(1, *job)
    out = tmp_path / "raw.out"
    raw.save(out)
    return out.read_bytes()


W, H = 67, 45  # odd sizes, so no row or group happens to line up


# The arrays section compares decode_array and encode_array with these jobs.
@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32])
def test_raw_does_the_work_of_the_array_functions(raw, tmp_path, dtype):
    pixels = inputs.quantize(inputs.scene(W, H, 3), dtype)
    (tmp_path / "in.jxl").write_bytes(tessara_pillow.encode_array(pixels, quality=90, effort=7))
    raw.load("in", tmp_path / "in.jxl")
    decoded = tessara_pillow.decode_array((tmp_path / "in.jxl").read_bytes())
    assert raw_output(raw, tmp_path, "decode", "in", -1, "new", "native") == decoded.tobytes()
    if dtype == np.uint8:
        (tmp_path / "in.pixels").write_bytes(pixels.tobytes())
        raw.load("px", tmp_path / "in.pixels")
        job = ("encode", "px", W, H, 3, "u8", 90, 7, 0, -1, "new")
        assert raw_output(raw, tmp_path, *job) == tessara_pillow.encode_array(pixels, quality=90, effort=7)


@pytest.mark.parametrize(
    ("mode", "channels", "sample", "dtype", "lossless", "effort"),
    [
        ("RGB", 3, "u8", np.uint8, False, 7),
        ("RGBA", 4, "u8", np.uint8, True, 3),
        ("L", 1, "u8", np.uint8, False, 5),
        ("LA", 2, "u8", np.uint8, True, 2),
        ("I;16", 1, "u16", np.uint16, False, 7),
        ("F", 1, "f32", np.float32, False, 3),
        ("F", 1, "f32", np.float32, True, 1),
    ],
)
def test_raw_encodes_and_decodes_as_the_module(raw, tmp_path, mode, channels, sample, dtype, lossless, effort):
    pixels = inputs.quantize(inputs.scene(W, H, channels), dtype)
    data = pixels.tobytes()
    (tmp_path / "in.pixels").write_bytes(data)
    raw.load("px", tmp_path / "in.pixels")
    module_jxl = tessara.Encoder(mode, lossless=lossless, quality=90.0, effort=effort)(data, W, H, False)
    raw_jxl = raw_output(raw, tmp_path, "encode", "px", W, H, channels, sample, 90.0, effort, int(lossless), -1, "new")
    assert raw_jxl == module_jxl  # same settings in the same order give the same file
    saved = io.BytesIO()  # and the plug-in's save, timed against the module, does the same work
    Image.frombytes(mode, (W, H), data).save(saved, "JXL", quality=90, effort=effort, lossless=lossless)
    if mode == "I;16":
        # Saved with the sRGB transfer through the array encoder (the module
        # tags 16-bit grey linear), which is what the bench times it against.
        assert saved.getvalue() == tessara_pillow.encode_array(pixels, quality=90, effort=effort, lossless=lossless)
        assert saved.getvalue() != module_jxl
    else:
        assert saved.getvalue() == module_jxl

    (tmp_path / "in.jxl").write_bytes(module_jxl)
    raw.load("jxl", tmp_path / "in.jxl")
    _, info, image, _, _ = tessara.Decoder()(module_jxl)
    for out, pool in [("native", "new"), ("convert", "reuse")]:
        assert raw_output(raw, tmp_path, "decode", "jxl", -1, pool, out) == image, (out, pool)


@pytest.mark.parametrize(("bits", "suffix"), [(16, ".ppm"), (32, ".pfm")])
def test_raw_converts_colour_as_the_module(raw, tmp_path, bits, suffix):
    samples = inputs.scene(W, H, 3)
    src = tmp_path / f"in{suffix}"
    if bits == 16:
        write_pnm(src, inputs.quantize(samples, np.uint16))
    else:
        inputs.write_netpbm(src, samples)
    subprocess.run([tool("cjxl"), "--quiet", "-d", "1", "-e", "3", src, tmp_path / "in.jxl"], check=True)
    raw.load("c", tmp_path / "in.jxl")
    _, info, image, _, _ = tessara.Decoder()((tmp_path / "in.jxl").read_bytes())
    assert info.mode == "RGB"
    assert raw_output(raw, tmp_path, "decode", "c", 0, "new", "convert") == image
    native = raw_output(raw, tmp_path, "decode", "c", 0, "new", "native")
    assert len(native) == len(image) * bits // 8  # libjxl's samples, unconverted
    if bits == 16:
        assert (np.frombuffer(native, "<u2") >> 8).astype(np.uint8).tobytes() == image


def test_raw_transcodes_and_rebuilds_jpeg_as_the_module(raw, tmp_path):
    jpeg = inputs.jpeg_bytes(inputs.quantize(inputs.scene(W, H, 3), np.uint8))
    (tmp_path / "in.jpg").write_bytes(jpeg)
    raw.load("jpg", tmp_path / "in.jpg")
    jxl = raw_output(raw, tmp_path, "jpeg", "jpg", 7, -1, "new")
    assert jxl == tessara.Encoder("RGB", effort=7)(jpeg, 0, 0, True)
    (tmp_path / "in.jxl").write_bytes(jxl)
    raw.load("rebuilt", tmp_path / "in.jxl")
    assert raw_output(raw, tmp_path, "decode", "rebuilt", -1, "new", "native") == jpeg
    assert int(raw.command("run", 1, "header", "rebuilt")[1]) == 8


@pytest.mark.parametrize("interlaced", [False, True])
@pytest.mark.parametrize("channels, dtype", [(3, np.uint16), (4, np.uint8), (1, np.uint16)])
def test_raw_reads_png_samples_as_the_converter_does(raw, tmp_path, channels, dtype, interlaced):
    from pngtools import reference_png
    from tessara_pillow.convert import pngfile

    pixels = inputs.quantize(inputs.scene(W, H, channels), dtype)
    (tmp_path / "in.png").write_bytes(reference_png(pixels.reshape(H, W, channels), interlaced))
    raw.load("png", tmp_path / "in.png")
    expected = pngfile.read((tmp_path / "in.png").read_bytes()).array
    assert raw_output(raw, tmp_path, "png", "png") == expected.tobytes() == pixels.tobytes()


# The progressive section: raw libjxl fed in pieces decodes as in one shot,
# and jxl_stages (libjxl's own decoder fed prefixes) finds the preview in
# the same bytes as preview().
@pytest.mark.parametrize("chunk", [1000, 65536])
def test_raw_fed_in_pieces_decodes_as_in_one_shot(raw, tmp_path, chunk):
    pixels = inputs.quantize(inputs.scene(700, 500, 3), np.uint8)
    (tmp_path / "in.jxl").write_bytes(tessara_pillow.encode_array(pixels, progressive=True))
    raw.load("in", tmp_path / "in.jxl")
    whole = raw_output(raw, tmp_path, "decode", "in", -1, "new", "native")
    assert raw_output(raw, tmp_path, "chunked", "in", chunk, -1, "new") == whole


@pytest.mark.parametrize("options", [{}, {"progressive": True}, {"progressive_ac": True}])
def test_libjxls_preview_bytes_are_ours(tmp_path, options):
    stages = Path(os.environ.get("TESSARA_FIXTURE_BIN", "build/cpp")) / "jxl_stages"
    if not stages.exists():
        unavailable("jxl_stages is not built (run through tools/dev test)")
    data = tessara_pillow.encode_array(inputs.quantize(inputs.scene(700, 500, 3), np.uint8), **options)
    (tmp_path / "in.jxl").write_bytes(data)
    out = subprocess.run([str(stages), str(tmp_path / "in.jxl")], check=True, capture_output=True, text=True).stdout
    theirs = {stage: int(count) for stage, count in (line.split() for line in out.splitlines())}
    assert theirs["size"] == len(data) == theirs["complete"]
    for stage in ("preview", "pass"):
        if theirs[stage] == 0:
            assert stage == "pass" and not options.get("progressive_ac", options.get("progressive"))
            continue
        at = theirs[stage]
        assert tessara_pillow.preview(data[:at])[1] == stage
        assert tessara_pillow.preview(data[: at - 1])[1] != stage


def test_raw_reports_bad_commands_and_keeps_serving(raw):
    for words in [("run", 1, "decode", "missing", -1, "new", "native"), ("run", 1, "decode"), ("bogus",)]:
        with pytest.raises(RuntimeError):
            raw.command(*words)
    assert raw.rss_kib() > 0


def test_statistics_pair_rounds_and_judge_limits():
    s = summarize([5.0, 1.0, 3.0, 2.0])
    assert (s.median, s.low, s.high, s.n) == (2.5, 1.0, 5.0, 4)
    assert s.q1 <= s.median <= s.q3
    # A drifting machine: both sides slow down together in round 2.
    r = ratio([1.1, 2.2, 1.1], [1.0, 2.0, 1.0])
    assert r.value == pytest.approx(1.1) and r.low == pytest.approx(1.1) and r.high == pytest.approx(1.1)
    # Rounds are paired: one slow round for both sides does not move the
    # value (a ratio of medians would say 1.5), and the range spans the
    # per-round ratios, not ratios of extremes.
    r = ratio([1.0, 3.0, 10.0], [1.0, 2.0, 10.0])
    assert (r.value, r.low, r.high) == (1.0, 1.0, 1.5)
    r = ratio([1.0, 3.0], [2.0, 1.0])
    assert (r.low, r.high) == (0.5, 3.0)
    with pytest.raises(ValueError):
        ratio([1.0], [1.0, 2.0])
    assert Target(1.03).met(1.03) and not Target(1.03).met(1.031)
    assert Target(1.7, at_least=True).met(1.7) and not Target(1.7, at_least=True).met(1.69)
