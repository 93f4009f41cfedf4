"""Thread stress: eight Python threads mixing decodes and encodes through
shared Decoder and Encoder objects and through the plug-in get exactly the
serial results, and finish within a timeout that only a deadlock exceeds."""

import io
import threading
from pathlib import Path

import numpy as np
from PIL import Image

import tessara
import tessara_pillow

THREADS = 8
CALLS_PER_THREAD = 60
# Far above the few seconds the calls take; reached only by a deadlock.
TIMEOUT = 300

rng = np.random.default_rng(8)


def jobs():
    """Named calls, each returning bytes (or a tuple of them) to compare."""
    rgb = rng.integers(0, 256, (48, 40, 3), dtype=np.uint8)
    grey16 = rng.integers(0, 65536, (24, 20), dtype=np.uint16)
    jpeg = (Path(__file__).resolve().parent / "data" / "small.jpg").read_bytes()
    decoder = tessara.Decoder()
    single = tessara.Decoder(num_threads=0)
    lossy = tessara.Encoder("RGB", quality=85, effort=3)
    lossless = tessara.Encoder("I;16", lossless=True, num_threads=2)
    boxed = tessara.Encoder("RGBA", use_container=True, effort=2)
    files = {
        "rgb": lossy(rgb.tobytes(), 40, 48, False),
        "grey16": lossless(grey16.astype("<u2").tobytes(), 20, 24, False),
        "rgba": boxed(np.dstack([rgb, rgb[..., 0]]).tobytes(), 40, 48, False, exif=b"\0\0\0\0II*\0",
                      xmp=b"<x/>", compress=True),
        "jpeg": lossy(jpeg, 0, 0, True),
    }

    def decoded(dec, data):
        is_jpeg, info, image, icc, boxes = dec(data)
        return is_jpeg, info.mode, info.width, info.height, image, icc, [(b.box_type, b.data) for b in boxes]

    def plugin_load(data):
        with Image.open(io.BytesIO(data)) as im:
            return im.mode, im.size, im.tobytes(), im.info.get("exif"), im.info.get("xmp")

    def plugin_save(array, **options):
        out = io.BytesIO()
        Image.fromarray(array).save(out, "JXL", **options)
        return out.getvalue()

    calls = {}
    for name, data in files.items():
        calls[f"decode {name}"] = lambda data=data: decoded(decoder, data)
        calls[f"decode {name} on the calling thread"] = lambda data=data: decoded(single, data)
        calls[f"plug-in load {name}"] = lambda data=data: plugin_load(data)
    calls["encode lossy"] = lambda: lossy(rgb.tobytes(), 40, 48, False)
    calls["encode lossless"] = lambda: lossless(grey16.astype("<u2").tobytes(), 20, 24, False)
    calls["encode jpeg"] = lambda: lossy(jpeg, 0, 0, True)
    calls["plug-in save"] = lambda: plugin_save(rgb, quality=70, effort=2)
    calls["plug-in save lossless"] = lambda: plugin_save(rgb[..., 0], lossless=True, xmp="<x/>")
    calls["jpeg round trip"] = lambda: tessara_pillow.jxl_to_jpeg(tessara_pillow.jpeg_to_jxl(jpeg))
    return calls


def test_eight_threads_get_the_serial_results():
    calls = jobs()
    names = sorted(calls)
    expected = {name: calls[name]() for name in names}
    results = [[] for _ in range(THREADS)]
    failures = []
    start = threading.Barrier(THREADS)

    def work(index):
        try:
            start.wait()
            for step in range(CALLS_PER_THREAD):
                name = names[(index * 7 + step) % len(names)]
                results[index].append((name, calls[name]()))
        except BaseException as e:  # reported below, with the thread's index
            failures.append((index, repr(e)))

    # daemon threads, so that a deadlocked one cannot keep the run from ending
    threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(TIMEOUT)
    assert not any(t.is_alive() for t in threads), f"threads still running after {TIMEOUT} s: a deadlock"
    assert failures == []
    done = [r for thread in results for r in thread]
    assert len(done) == THREADS * CALLS_PER_THREAD
    assert {name for name, _ in done} == set(names)
    wrong = sorted({name for name, result in done if result != expected[name]})
    assert wrong == []
