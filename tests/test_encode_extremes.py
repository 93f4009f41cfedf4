"""Encoder settings and inputs at their extremes never end the process.

libjxl asserts on some values that its own checks let through (a NaN
distance once killed the interpreter), so the sweep runs in a child process:
a crash shows up as a signal, with the case that caused it as the last line
the child printed."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tessara

SWEEP = textwrap.dedent(
    r"""
    import itertools, sys
    import tessara

    NAN = float("nan")
    QUALITIES = [NAN, -NAN, float("-inf"), float("inf"), 1e30, -1e30, 0.0, 100.0]
    MODES = {"L": 1, "LA": 2, "RGB": 3, "RGBA": 4, "I;16": 2, "F": 4}  # bytes per pixel
    SIZES = [(1, 1), (1, 7), (7, 1), (3, 5), (17, 9)]
    dec = tessara.Decoder(num_threads=0)
    outcomes = {"ok": 0, "RuntimeError": 0, "ValueError": 0}

    def attempt(case, mode, width, height, data, **settings):
        call = {k: settings.pop(k) for k in ("exif", "jumb", "xmp", "compress") if k in settings}
        print(case, flush=True)  # the last line printed names a crashing case
        try:
            out = tessara.Encoder(mode, num_threads=0, **settings)(data, width, height, False, **call)
        except (RuntimeError, ValueError) as e:
            outcomes[type(e).__name__] += 1
            return
        # whatever was written must be a readable image of the size asked for
        info = dec(out)[1]
        assert (info.width, info.height) == (width, height), (case, info.width, info.height)
        outcomes["ok"] += 1

    # every quality extreme, every effort (and the refused 0 and 11), both
    # codings, every mode; the image size rotates through the shapes
    for i, (mode, quality, effort, lossless) in enumerate(
        itertools.product(MODES, QUALITIES, range(0, 12), (False, True))
    ):
        w, h = SIZES[i % len(SIZES)]
        attempt(("settings", mode, quality, effort, lossless), mode, w, h, bytes(w * h * MODES[mode]),
                quality=quality, effort=effort, lossless=lossless)

    # every shape in every mode at every effort, lossy and lossless
    for mode, (w, h), effort, lossless in itertools.product(MODES, SIZES, range(1, 11), (False, True)):
        data = bytes(range(256)) * (w * h * MODES[mode] // 256 + 1)
        attempt(("shape", mode, w, h, effort, lossless), mode, w, h, data[: w * h * MODES[mode]],
                quality=90.0, effort=effort, lossless=lossless)

    # data of the wrong length, and sizes libjxl must refuse
    for mode, effort in itertools.product(MODES, (1, 7, 10)):
        n = 3 * 5 * MODES[mode]
        for data in (b"", b"\x01", bytes(n - MODES[mode]), bytes(n + MODES[mode]), bytes(n * 4)):
            attempt(("length", mode, effort, len(data)), mode, 3, 5, data, effort=effort, quality=50.0)
        for w, h in ((0, 5), (5, 0), (0, 0), (2**32 - 1, 1), (1, 2**32 - 1), (65536, 65536)):
            attempt(("size", mode, effort, w, h), mode, w, h, bytes(n), effort=effort)

    # float samples libjxl's lossy coder cannot take: one of them, or all
    import struct
    for value, spread, effort, lossless in itertools.product(
        (NAN, -NAN, float("inf"), float("-inf"), 3.4e38, -3.4e38, 1e35, 1e30, 5e-45),
        ("one", "all"), range(1, 11), (False, True),
    ):
        samples = [value] * 64 if spread == "all" else [0.5] * 17 + [value] + [0.5] * 46
        attempt(("float samples", value, spread, effort, lossless), "F", 8, 8,
                struct.pack("<64f", *samples), quality=90.0, effort=effort, lossless=lossless)

    # each metadata argument, empty, short and long, plain and compressed
    blobs = [b"", b"x", bytes(range(256)) * 40]
    for mode, name, blob, compress, container in itertools.product(
        MODES, ("exif", "xmp", "jumb"), blobs, (False, True), (False, True)
    ):
        attempt(("metadata", mode, name, len(blob), compress, container), mode, 3, 5,
                bytes(3 * 5 * MODES[mode]), quality=90.0, effort=3, use_container=container,
                compress=compress, **{name: blob})
    print("outcomes", outcomes)
    """
)


def test_no_setting_or_input_ends_the_process():
    done = subprocess.run([sys.executable, "-c", SWEEP], capture_output=True, text=True, timeout=600)
    lines = done.stdout.splitlines()
    assert done.returncode == 0, (
        f"exit status {done.returncode} after case {lines[-1] if lines else None}\n{done.stderr[-2000:]}"
    )
    summary = eval(lines[-1].removeprefix("outcomes "))  # our own dict literal
    # both kinds of refusal and real images occurred, so the sweep exercised each path
    assert all(summary[k] > 0 for k in ("ok", "RuntimeError", "ValueError")), summary


@pytest.mark.parametrize("lossless", [False, True])
@pytest.mark.parametrize("quality", [float("nan"), -float("nan"), float("-inf")])
def test_nan_quality_is_refused_like_an_out_of_range_distance(quality, lossless):
    enc = tessara.Encoder("RGB", quality=quality, lossless=lossless)
    with pytest.raises(RuntimeError, match="^The encoder API is used in an incorrect way$"):
        enc(bytes(12), 2, 2, False)


@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf"), 3.4e38, -1e31])
def test_float_samples_lossy_coding_cannot_take_are_invalid_input(value):
    samples = np.full((8, 8), 0.25, np.float32)
    samples[3, 5] = value
    data = samples.tobytes()
    with pytest.raises(RuntimeError, match="^Input is invalid$"):
        tessara.Encoder("F", quality=90)(data, 8, 8, False)
    # lossless coding stores the value itself
    _, info, image, _, _ = tessara.Decoder()(tessara.Encoder("F", lossless=True)(data, 8, 8, False))
    got = np.frombuffer(image, "<f4").reshape(8, 8)
    np.testing.assert_array_equal(got, samples)


def test_large_finite_float_samples_still_code_lossily():
    samples = np.linspace(-1e30, 1e30, 64, dtype=np.float32).reshape(8, 8)
    out = tessara.Encoder("F", quality=90)(samples.tobytes(), 8, 8, False)
    assert tessara.Decoder()(out)[1].mode == "F"
