"""The plug-in's worker-thread setting (a save option, an attribute read by
load(), a keyword of the bytes-level functions) reaches the module and
changes no result; and the plug-in says whether a file rebuilds a JPEG."""

import io
import subprocess

import numpy as np
import pytest
from PIL import Image

import tessara
import tessara_pillow
from jxltools import cjxl, run, tool, write_pnm

rng = np.random.default_rng(11)


@pytest.fixture(scope="module")
def jpeg(tmp_path_factory):
    path = tmp_path_factory.mktemp("jpeg") / "in.ppm"
    write_pnm(path, rng.integers(0, 256, size=(48, 64, 3), dtype=np.uint8))
    run(tool("cjpeg"), "-quality", "85", "-outfile", path.with_suffix(".jpg"), path)
    return path.with_suffix(".jpg").read_bytes()


def image():
    return Image.fromarray(rng.integers(0, 256, size=(40, 56, 3), dtype=np.uint8), "RGB")


class Recorder:
    """Stands in for a module class and notes the worker count it is made with."""

    def __init__(self, real):
        self.real, self.counts = real, []

    def __call__(self, *args, **kwargs):
        self.counts.append(kwargs.get("num_threads", "not given"))
        return self.real(*args, **kwargs)


def save(im, **options):
    buffer = io.BytesIO()
    im.save(buffer, "JXL", **options)
    return buffer.getvalue()


def load(data, num_threads=None):
    im = Image.open(io.BytesIO(data))
    if num_threads is not None:
        im.num_threads = num_threads
    im.load()
    return im.tobytes()


@pytest.fixture
def calls(jpeg):
    """entry point -> (class it makes, a call with a worker count)."""
    pixels = image()
    encoded = save(pixels, lossless=True)
    transcoded = tessara_pillow.jpeg_to_jxl(jpeg)
    def count(n):
        return {} if n is None else {"num_threads": n}

    return {
        "save": ("Encoder", lambda n: save(pixels, lossless=True, **count(n))),
        "load": ("Decoder", lambda n: load(encoded, n)),
        "jpeg_to_jxl": ("Encoder", lambda n: tessara_pillow.jpeg_to_jxl(jpeg, **count(n))),
        "jxl_to_jpeg": ("Decoder", lambda n: tessara_pillow.jxl_to_jpeg(transcoded, **count(n))),
    }


@pytest.mark.parametrize("entry", ["save", "load", "jpeg_to_jxl", "jxl_to_jpeg"])
def test_the_worker_count_reaches_the_module_and_changes_nothing(monkeypatch, calls, entry):
    cls, call = calls[entry]
    results = {n: call(n) for n in (None, -1, 0, 1, 2)}
    assert len(set(results.values())) == 1
    recorder = Recorder(getattr(tessara, cls))
    monkeypatch.setattr(tessara, cls, recorder)
    for n in (None, 0, 3):
        call(n)
    assert recorder.counts == [-1, 0, 3]


@pytest.mark.parametrize("value", [-2, 1025, True, 1.5, "2"])
@pytest.mark.parametrize("entry", ["save", "jpeg_to_jxl", "jxl_to_jpeg"])
def test_bad_worker_counts_are_refused_before_any_work(calls, entry, value):
    with pytest.raises(ValueError, match="num_threads must be an integer from -1 to 1024"):
        calls[entry][1](value)


def test_a_worker_count_the_module_refuses_fails_the_load(calls):
    # The attribute is handed over as it is; the module's refusal is the error.
    with pytest.raises(OSError, match="cannot decode JPEG XL image"):
        calls["load"][1](100_000)


def test_jpeg_reconstruction_says_what_jxlinfo_says(tmp_path, jpeg):
    (tmp_path / "in.jpg").write_bytes(jpeg)
    cases = {
        "transcoded.jxl": tessara_pillow.jpeg_to_jxl(jpeg),
        "cjxl-transcoded.jxl": cjxl(tmp_path / "in.jpg", tmp_path / "cjxl-transcoded.jxl"),
        "pixels.jxl": save(Image.open(io.BytesIO(jpeg)), quality=95),
        "cjxl-pixels.jxl": cjxl(tmp_path / "in.jpg", tmp_path / "cjxl-pixels.jxl", "--lossless_jpeg=0"),
    }
    for name, data in cases.items():
        (tmp_path / name).write_bytes(data)
        with Image.open(tmp_path / name) as im:
            reported = "JPEG bitstream reconstruction data available" in jxlinfo_text(tmp_path / name)
            assert im.jpeg_reconstruction is reported, name
            assert reported is ("transcoded" in name), name


def jxlinfo_text(path):
    return subprocess.run([tool("jxlinfo"), str(path)], capture_output=True, text=True, check=True).stdout
