"""What each layer costs, side by side in one run: raw libjxl (bench/jxl_raw,
a long-lived child driven over a pipe), the tessara module, the Pillow
plug-in, and the command-line tools run as subprocesses; thread scaling; and
peak memory in fresh processes. Prints one table and the targets as ratios
with PASS/MISS; --plot FILE.png draws the ratios against their targets.

Every case runs its layers interleaved, one call of each per round in a
rotating order (A B C, B C A, ...), after one warm-up call each, so that drift
on a shared machine hits all sides alike. Times are medians with their range;
a ratio is the median of the per-round ratios, with their range.

The module and raw libjxl decode bytes already in memory. The plug-in reads
from an in-memory file object (io.BytesIO over the same bytes), so its ratio
to the module is the plug-in's own cost; opening the file by path, and the
file read alone, are reported beside it."""

from __future__ import annotations

import argparse
import contextlib
import gc
import io
import os
import platform
import re
import subprocess
import sys
import tempfile
import threading
import time
import types
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from typing import Any

import numpy as np
from PIL import Image, ImageSequence

import tessara
import tessara_pillow
from tessara_pillow import layouts, plugin, save_options
from tessara_pillow.convert.scene import landscape

sys.path.insert(0, str(Path(__file__).resolve().parent))
import inputs  # noqa: E402
from raw import RawHarness  # noqa: E402
from stats import Ratio, Summary, Target, ratio, summarize  # noqa: E402

QUALITY, EFFORT, LOSSLESS_EFFORT = 90.0, 7, 3
# The animation is made at a low effort (100 frames); decoding is measured.
ANIMATION_EFFORT = 3

# glibc's malloc adapts where large buffers come from to what the process
# freed before: the Python process, which holds and frees large test images,
# would get recycled pages where jxl_raw gets new ones (or the other way
# round), and on a machine where a page fault is dear that decides a ratio.
# Pinned at glibc's starting value, every buffer of 128 KiB and more is a new
# mapping, in every process alike: each call pays for the memory it touches,
# as a call into a process that has not decoded before does.
FRESH_PAGES = "glibc.malloc.mmap_threshold=131072"
MiB = 1024 * 1024


# ---- layers and their timing ------------------------------------------------


@dataclass
class Layer:
    name: str
    once: Callable[[], float]  # seconds for one measurement
    calls: int = 1  # calls per measurement; times are reported per call


def python_layer(name: str, work: Callable[[], object], calls: int = 1) -> Layer:
    def once() -> float:
        gc.collect()  # garbage of earlier calls is not this call's cost
        start = time.perf_counter()
        for _ in range(calls):
            result = work()
        elapsed = time.perf_counter() - start
        del result  # freeing the last result is left out, as on the raw side
        return elapsed

    return Layer(name, once, calls)


def command_layer(name: str, argv: list[str], calls: int = 1) -> Layer:
    def once() -> float:
        start = time.perf_counter()
        for _ in range(calls):
            subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start

    return Layer(name, once, calls)


def threads_once(work: Callable[[], object], threads: int, calls: int) -> float:
    """Wall time for `threads` Python threads doing `calls` calls each."""
    start_line = threading.Barrier(threads + 1)
    errors: list[BaseException] = []

    def worker() -> None:
        start_line.wait()
        try:
            for _ in range(calls):
                work()
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()
    gc.collect()
    start_line.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    if errors:
        raise errors[0]
    return elapsed


def measure(layers: list[Layer], repeat: int, slow_repeat: int) -> dict[str, list[float]]:
    """Samples per layer, one per round. A case whose slowest call took over
    a second in the warm-up gets `slow_repeat` rounds, so a run stays short."""
    slowest = max(layer.once() / layer.calls for layer in layers)
    if slowest > 1.0:
        repeat = slow_repeat
    samples: dict[str, list[float]] = {layer.name: [] for layer in layers}
    for r in range(repeat):
        k = r % len(layers)
        for layer in layers[k:] + layers[:k]:
            samples[layer.name].append(layer.once() / layer.calls)
    return samples


# ---- results ----------------------------------------------------------------


@dataclass
class Check:
    label: str
    group: str  # chart panel: "overhead", "threads", "header", "memory", "info"
    value: float
    low: float
    high: float
    target: Target | None
    note: str = ""

    @property
    def verdict(self) -> str:
        if self.target is None:
            return ""
        return "PASS" if self.target.met(self.value) else "MISS"


@dataclass
class Results:
    rows: list[tuple[str, str, Summary, int]] = field(default_factory=list)  # case, layer, per call, calls
    checks: list[Check] = field(default_factory=list)
    memory: list[tuple[str, str, float, str]] = field(default_factory=list)  # case, layer, MiB, note
    notes: list[str] = field(default_factory=list)

    def case(self, name: str, layers: list[Layer], args: argparse.Namespace) -> dict[str, list[float]]:
        print(f"  {name} ...", end="", flush=True, file=sys.stderr)
        start = time.perf_counter()
        samples = measure(layers, args.repeat, args.slow_repeat)
        print(f" {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
        for layer in layers:
            self.rows.append((name, layer.name, summarize(samples[layer.name]), layer.calls))
        return samples

    def compare(self, label: str, group: str, r: Ratio, target: Target | None, note: str = "", scale: float = 1.0) -> None:
        self.checks.append(Check(label, group, r.value * scale, r.low * scale, r.high * scale, target, note))


# ---- the run ----------------------------------------------------------------


def machine_line(allocator: str) -> str:
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        version = subprocess.run(["djxl", "--version"], capture_output=True, text=True).stdout
        jxl = re.search(r"v(\d+\.\d+\.\d+)", version).group(1)  # type: ignore[union-attr]
    except (OSError, AttributeError):
        jxl = "?"
    load = os.getloadavg()[0]
    return (
        f"{os.cpu_count()} cores, {model}, libjxl {jxl}, Python {platform.python_version()}, "
        f"Pillow {Image.__version__}, allocator {allocator}, load average {load:.1f} at start"
    )


class Bench:
    def __init__(self, args: argparse.Namespace, tmp: Path, raw: RawHarness) -> None:
        self.args, self.tmp, self.raw = args, tmp, raw
        self.out = Results()
        self.w, self.h = inputs.size_for(args.megapixels)
        self.mp = f"{self.w * self.h / 1e6:.1f} MP"

    # -- inputs

    def file(self, name: str, data: bytes) -> Path:
        path = self.tmp / name
        path.write_bytes(data)
        self.raw.load(name, path)
        return path

    def netpbm(self, name: str, pixels: np.ndarray) -> Path:
        path = self.tmp / name
        inputs.write_netpbm(path, pixels)
        return path

    # -- a decode case: raw, module, plug-in (memory, path), djxl

    def decode_case(self, name: str, path: Path, cli_out: str | None, target: float, *, pool_variant: bool = False,
                    extra_raw: tuple[str, ...] = (), plugin_target: float | None = 1.10,
                    copy_alone: bool = False) -> dict[str, list[float]]:
        data = path.read_bytes()
        dec = tessara.Decoder()
        raw_id = path.name
        layers = [Layer("raw libjxl", lambda: self.raw.run(1, "decode", raw_id, -1, "new", "native"))]
        if pool_variant:
            layers.append(Layer("raw, reused pool", lambda: self.raw.run(1, "decode", raw_id, -1, "reuse", "native")))
        for variant in extra_raw:
            layers.append(Layer(f"raw, {variant}", partial(self.raw.run, 1, "decode", raw_id, -1, "new", variant)))
        layers += [
            python_layer("module", lambda: dec(data)),
            python_layer("plug-in load()", lambda: Image.open(io.BytesIO(data)).load()),
        ]
        if copy_alone:
            layers += [python_layer("plug-in load(), by path", lambda: Image.open(path).load()),
                       python_layer("file read", path.read_bytes)]
            # The plug-in's one copy, into a fresh image as load() makes it.
            with Image.open(io.BytesIO(data)) as im:
                mode, size = im.mode, im.size
            pixels = dec(data)[2]
            layers.append(python_layer("Image.frombytes alone (the copy)", lambda: Image.frombytes(mode, size, pixels)))
        if self.args.cli and cli_out is not None:
            layers.append(command_layer("djxl", ["djxl", "--quiet", str(path), str(self.tmp / cli_out)]))
        s = self.out.case(name, layers, self.args)
        self.out.compare(f"{name}: module / raw", "overhead", ratio(s["module"], s["raw libjxl"]), Target(target))
        if plugin_target is not None:
            self.out.compare(f"{name}: plug-in load() / module", "overhead",
                             ratio(s["plug-in load()"], s["module"]), Target(plugin_target))
        return s

    # -- an encode case: raw, module, plug-in save, cjxl

    def encode_case(self, name: str, pixels: np.ndarray, mode: str, sample: str, *, lossless: bool, effort: int,
                    cli_in: Path | None, cli_args: list[str], target: float = 1.03, copy_alone: bool = False) -> None:
        h, w = pixels.shape[:2]
        channels = 1 if pixels.ndim == 2 else pixels.shape[2]
        data = self.file(f"{mode.replace(';', '')}{int(lossless)}.pixels", np.ascontiguousarray(pixels).tobytes())
        raw_bytes = data.read_bytes()
        enc = tessara.Encoder(mode, lossless=lossless, quality=QUALITY, effort=effort)
        im = Image.frombytes(mode, (w, h), raw_bytes)
        job = ("encode", data.name, w, h, channels, sample, QUALITY, effort, int(lossless), -1, "new")
        layers = [
            Layer("raw libjxl", lambda: self.raw.run(1, *job)),
            python_layer("module", lambda: enc(raw_bytes, w, h, False)),
            python_layer("plug-in save()", lambda: im.save(io.BytesIO(), "JXL", quality=QUALITY, effort=effort,
                                                            lossless=lossless)),
        ]
        # "I;16" is saved with the sRGB transfer through the array encoder
        # (the module tags it linear): that is the work save() is held to.
        saved_by = "module"
        if mode == "I;16":
            saved_by = "encode_array"
            layers.append(python_layer(saved_by, lambda: tessara_pillow.encode_array(
                pixels, quality=QUALITY, effort=effort, lossless=lossless)))
        if copy_alone:
            # What save() does to hand the module its samples: one packing copy.
            layout = layouts.encoded(mode)
            assert layout is not None
            layers.append(python_layer("the packing alone (in save())", partial(save_options.packed, im, layout)))
        if self.args.cli and cli_in is not None:
            layers.append(command_layer("cjxl", ["cjxl", "--quiet", *cli_args, "-e", str(effort), str(cli_in),
                                                 str(self.tmp / "cli.jxl")]))
        s = self.out.case(name, layers, self.args)
        self.out.compare(f"{name}: module / raw", "overhead", ratio(s["module"], s["raw libjxl"]), Target(target))
        self.out.compare(f"{name}: plug-in save() / {saved_by}", "overhead",
                         ratio(s["plug-in save()"], s[saved_by]), Target(1.03))

    # -- the cases

    def run(self) -> Results:
        a, w, h = self.args, self.w, self.h
        print(f"making {w}x{h} inputs ...", file=sys.stderr, flush=True)
        rgb_f = inputs.scene(w, h, 3)
        rgb8 = inputs.quantize(rgb_f, np.uint8)
        rgba8 = inputs.quantize(inputs.with_alpha(rgb_f), np.uint8)
        rgb16 = inputs.quantize(rgb_f, np.uint16)
        grey_f = np.ascontiguousarray(rgb_f @ np.array([0.2126, 0.7152, 0.0722], np.float32))
        if self.want("arrays"):
            # Made here while the float scene exists; the arrays section runs later.
            self.rgbf_array_jxl = self.file("rgbf_array.jxl", tessara_pillow.encode_array(
                rgb_f, quality=QUALITY, effort=EFFORT))
        if self.want("colour"):
            self.colour_case(inputs.quantize(rgb_f, np.uint8))
        del rgb_f
        grey16 = inputs.quantize(grey_f, np.uint16)

        rgb8_jxl = self.jxl("rgb8.jxl", "RGB", rgb8, quality=QUALITY, effort=EFFORT)
        ppm = self.netpbm("rgb8.ppm", rgb8)

        if self.want("rgb8"):
            s = self.decode_case(f"decode 8-bit RGB, lossy, {self.mp}", rgb8_jxl, "out.ppm", 1.03, pool_variant=True,
                                 copy_alone=True)
            self.out.compare(f"raw: new pool per call / reused pool ({self.mp} decode)", "info",
                             ratio(s["raw libjxl"], s["raw, reused pool"]), None)
            self.encode_case(f"encode 8-bit RGB, q{QUALITY:g} e{EFFORT}, {self.mp}", rgb8, "RGB", "u8",
                             lossless=False, effort=EFFORT, cli_in=ppm, cli_args=["-q", f"{QUALITY:g}"],
                             copy_alone=True)
        if self.want("header"):
            self.header_case(rgb8_jxl)
        if self.want("rgba"):
            self.rgba_cases(rgba8)
        del rgba8
        if self.want("grey"):
            self.grey_cases(grey16, grey_f)
        del grey16, grey_f
        if self.want("rgb16"):
            self.rgb16_case(rgb16)
        if self.want("arrays"):
            self.array_cases(rgb8, rgb8_jxl, rgb16)
        if self.want("png"):
            self.png_case(rgb16)
        del rgb16
        if self.want("jpeg"):
            self.jpeg_cases(rgb8)
        if self.want("thumb"):
            self.thumbnail_cases()
        if self.want("threads"):
            self.thread_cases(rgb8, rgb8_jxl)
        if self.want("memory") and a.memory:
            self.memory_cases(rgb8_jxl, ppm, w, h)
        if self.want("animation"):
            self.animation_cases()
        if self.want("progressive"):
            self.progressive_cases()
        return self.out

    def want(self, section: str) -> bool:
        return not self.args.only or section in self.args.only

    def jxl(self, name: str, mode: str, pixels: np.ndarray, **settings: Any) -> Path:
        ph, pw = pixels.shape[:2]
        enc = tessara.Encoder(mode, **settings)
        return self.file(name, enc(np.ascontiguousarray(pixels).tobytes(), pw, ph, False))

    def rgba_cases(self, rgba8: np.ndarray) -> None:
        rgba_jxl = self.jxl("rgba8.jxl", "RGBA", rgba8, lossless=True, quality=QUALITY, effort=LOSSLESS_EFFORT)
        pam = self.netpbm("rgba8.pam", rgba8)
        self.encode_case(f"encode 8-bit RGBA, lossless e{LOSSLESS_EFFORT}, {self.mp}", rgba8, "RGBA", "u8",
                         lossless=True, effort=LOSSLESS_EFFORT, cli_in=pam, cli_args=["-d", "0"])
        self.decode_case(f"decode 8-bit RGBA, lossless, {self.mp}", rgba_jxl, "out.pam", 1.03)

    def grey_cases(self, grey16: np.ndarray, grey_f: np.ndarray) -> None:
        # No cjxl/djxl here: the 8-bit and JPEG cases show what they cost,
        # and these files take long to code.
        grey16_jxl = self.jxl("grey16.jxl", "I;16", grey16, quality=QUALITY, effort=EFFORT)
        self.decode_case(f"decode 16-bit grey, lossy, {self.mp}", grey16_jxl, None, 1.03)
        self.encode_case(f"encode 16-bit grey, q{QUALITY:g} e{EFFORT}, {self.mp}", grey16, "I;16", "u16",
                         lossless=False, effort=EFFORT, cli_in=None, cli_args=[])
        greyf_jxl = self.jxl("greyf.jxl", "F", grey_f, quality=QUALITY, effort=EFFORT)
        self.decode_case(f"decode float grey, lossy, {self.mp}", greyf_jxl, None, 1.03)
        self.encode_case(f"encode float grey, q{QUALITY:g} e{EFFORT}, {self.mp}", grey_f, "F", "f32",
                         lossless=False, effort=EFFORT, cli_in=None, cli_args=[])

    def rgb16_case(self, rgb16: np.ndarray) -> None:
        # 16-bit colour comes back as 8-bit: the module converts, raw libjxl
        # hands out its 16-bit samples; two raw variants show the conversion's
        # own cost and what asking libjxl for 8 bits would cost instead.
        ppm16 = self.netpbm("rgb16.ppm", rgb16)
        subprocess.run(["cjxl", "--quiet", "-q", f"{QUALITY:g}", "-e", str(EFFORT), str(ppm16),
                        str(self.tmp / "rgb16.jxl")], check=True)
        self.raw.load("rgb16.jxl", self.tmp / "rgb16.jxl")
        self.decode_case(f"decode 16-bit RGB to 8-bit, lossy, {self.mp}", self.tmp / "rgb16.jxl", "out16.ppm", 1.05,
                         extra_raw=("convert", "u8"))

    def array_cases(self, rgb8: np.ndarray, rgb8_jxl: Path, rgb16: np.ndarray) -> None:
        """decode_array and encode_array against raw libjxl asked for the same
        sample type, their peak memory, and decode_array on 1 and 2 threads."""
        rgb16_jxl = self.file("rgb16_array.jxl", tessara_pillow.encode_array(rgb16, quality=QUALITY, effort=EFFORT))
        files = [("8-bit", rgb8_jxl, 1), ("16-bit", rgb16_jxl, 2), ("float", self.rgbf_array_jxl, 4)]
        for depth, path, size in files:
            data = path.read_bytes()
            layers = [Layer("raw libjxl", partial(self.raw.run, 1, "decode", path.name, -1, "new", "native")),
                      python_layer("decode_array", partial(tessara_pillow.decode_array, data))]
            name = f"decode_array {depth} RGB, lossy, {self.mp}"
            s = self.out.case(name, layers, self.args)
            self.out.compare(f"{name}: decode_array / raw (same sample type)", "overhead",
                             ratio(s["decode_array"], s["raw libjxl"]), Target(1.03))

        pixels = self.file("array_rgb8.pixels", np.ascontiguousarray(rgb8).tobytes())
        job = ("encode", pixels.name, self.w, self.h, 3, "u8", QUALITY, EFFORT, 0, -1, "new")
        layers = [Layer("raw libjxl", lambda: self.raw.run(1, *job)),
                  python_layer("encode_array", lambda: tessara_pillow.encode_array(rgb8, quality=QUALITY,
                                                                                   effort=EFFORT))]
        name = f"encode_array 8-bit RGB, q{QUALITY:g} e{EFFORT}, {self.mp}"
        s = self.out.case(name, layers, self.args)
        self.out.compare(f"{name}: encode_array / raw", "overhead", ratio(s["encode_array"], s["raw libjxl"]),
                         Target(1.03))

        calls = self.args.thread_calls
        data = rgb8_jxl.read_bytes()
        layers = []
        for n in (1, 2):
            layers.append(Layer(f"raw libjxl, {n} thread(s)",
                                partial(self.raw.par, n, calls, "decode", rgb8_jxl.name, 0, "new", "native")))
            layers.append(Layer(f"decode_array, {n} thread(s)",
                                partial(threads_once, lambda: tessara_pillow.decode_array(data, num_threads=0), n,
                                        calls)))
        s = self.out.case(f"threads: decode_array 8-bit RGB, {self.mp}, num_threads=0, {calls} calls a thread",
                          layers, self.args)
        for who, target in [("raw libjxl", None), ("decode_array", Target(1.7, at_least=True))]:
            self.out.compare(f"decode_array threads: 2 threads / 1, {who}", "threads" if target else "info",
                             ratio(s[f"{who}, 1 thread(s)"], s[f"{who}, 2 thread(s)"]), target, scale=2.0)

        if self.args.memory:
            self.array_memory_cases(files)

    def colour_case(self, rgb8: np.ndarray) -> None:
        """A lossy file in a profile libjxl cannot name (Adobe RGB) decodes
        through libjxl's colour management into that profile; its twin coded
        as sRGB, which libjxl delivers without it, is the baseline, and raw
        libjxl (its linear sRGB) what libjxl alone does with the file."""
        files = {}
        for name, icc in (("adobe", inputs.ADOBE_RGB), ("srgb", None)):
            files[name] = tessara_pillow.encode_array(rgb8, quality=QUALITY, effort=EFFORT, icc_profile=icc)
        path = self.file("adobe.jxl", files["adobe"])
        adobe, srgb = files["adobe"], files["srgb"]
        layers = [Layer("raw libjxl (linear sRGB)", partial(self.raw.run, 1, "decode", path.name, -1, "new", "native")),
                  python_layer("decode_array, Adobe RGB", partial(tessara_pillow.decode_array, adobe)),
                  python_layer("decode_array, its sRGB twin", partial(tessara_pillow.decode_array, srgb)),
                  python_layer("plug-in load(), Adobe RGB", lambda: Image.open(io.BytesIO(adobe)).load()),
                  python_layer("plug-in load(), its sRGB twin", lambda: Image.open(io.BytesIO(srgb)).load())]
        name = f"decode 8-bit RGB into its Adobe RGB profile, lossy, {self.mp}"
        s = self.out.case(name, layers, self.args)
        self.out.compare(f"{name}: decode_array / its sRGB twin (the colour management)", "info",
                         ratio(s["decode_array, Adobe RGB"], s["decode_array, its sRGB twin"]), None)
        self.out.compare(f"{name}: decode_array / raw libjxl in linear sRGB", "info",
                         ratio(s["decode_array, Adobe RGB"], s["raw libjxl (linear sRGB)"]), None)
        self.out.compare(f"{name}: plug-in load() / its sRGB twin", "info",
                         ratio(s["plug-in load(), Adobe RGB"], s["plug-in load(), its sRGB twin"]), None)

    def array_memory_cases(self, files: list[tuple[str, Path, int]]) -> None:
        probe = str(Path(__file__).resolve().parent / "peak_memory.py")
        for depth, path, size in files:
            with RawHarness(self.args.jxl_raw) as fresh:
                fresh.load("in", path)
                base = fresh.rss_kib()
                fresh.run(1, "decode", "in", -1, "new", "native")
                raw = (fresh.rss_kib() - base) / 1024
            out = subprocess.run([sys.executable, probe, "arrays", "decode", str(path)], check=True,
                                 capture_output=True, text=True).stdout
            base_kib, peak_kib = map(int, out.split())
            mine = (peak_kib - base_kib) / 1024
            out_mib = self.w * self.h * 3 * size / MiB
            name = f"peak memory, decode_array {depth} RGB {self.mp}"
            self.out.memory += [(name, "raw libjxl", raw, f"output {out_mib:.1f} MiB"), (name, "decode_array", mine, "")]
            allowance = raw + 1.1 * out_mib
            self.out.checks.append(Check(f"memory: decode_array {depth} / (raw + 1.1 x output)", "memory",
                                         mine / allowance, mine / allowance, mine / allowance, Target(1.0),
                                         f"{mine:.0f} vs {raw:.0f} + 1.1 x {out_mib:.0f} MiB"))

    def animation_cases(self) -> None:
        """A 100-frame animation of --animation-megapixels a frame: n_frames
        (a walk of the frame headers) against decoding every frame, and the
        plug-in playing it through Image.open and seeks against raw libjxl
        decoding every frame in one pass, both into 8-bit RGB; and, with
        --memory, the peak memory of playing it."""
        count = self.args.animation_frames
        aw, ah = inputs.size_for(self.args.animation_megapixels)
        print(f"making a {count}-frame {aw}x{ah} animation ...", file=sys.stderr, flush=True)
        still = inputs.quantize(inputs.scene(aw + count * 4, ah, 3), np.uint8)
        frames = np.stack([still[:, 4 * k:4 * k + aw] for k in range(count)])  # a slow pan
        del still
        path = self.file("animation.jxl", tessara_pillow.encode_array(frames, duration=40, quality=QUALITY,
                                                                       effort=ANIMATION_EFFORT))
        del frames
        data = path.read_bytes()
        mp = f"{aw * ah / 1e6:.1f} MP"

        def play() -> None:
            with Image.open(io.BytesIO(data)) as im:
                for frame in ImageSequence.Iterator(im):
                    frame.load()

        n = self.args.header_calls // 10
        layers = [
            Layer("raw libjxl, every frame", lambda: self.raw.run(1, "animation", path.name, -1, "new", "u8")),
            python_layer("plug-in, every frame (open, seek, load)", play),
            Layer("raw libjxl frame count", lambda: self.raw.run(n, "frames", path.name), n),
            python_layer("Image.open(BytesIO).n_frames", lambda: Image.open(io.BytesIO(data)).n_frames, n),
        ]
        name = f"animation, {count} frames of {mp}, lossy"
        s = self.out.case(name, layers, self.args)
        self.out.compare("animation: n_frames / raw decode of every frame", "header",
                         ratio(s["Image.open(BytesIO).n_frames"], s["raw libjxl, every frame"]), Target(0.05))
        self.out.compare("animation: plug-in playing every frame / raw one pass", "overhead",
                         ratio(s["plug-in, every frame (open, seek, load)"], s["raw libjxl, every frame"]),
                         Target(1.10))
        if self.args.memory:
            self.animation_memory_case(path, aw * ah * 3 / MiB)

    def progressive_cases(self) -> None:
        """Truncated and progressive files of photo-like pictures at each of
        --progressive-megapixels: the bytes the 1:8 preview takes (ours,
        found with preview(), against libjxl's own decoder fed prefixes,
        bench/jxl_stages), its PSNR against the whole image downscaled 8x,
        and its time against a one-shot decode; the size each coding costs;
        and feeding the file in 64 KiB pieces against a one-shot decode."""
        rows = ["| picture | coding | size | preview bytes, ours | libjxl's | PSNR (dB) |",
                "|---|---|---:|---:|---:|---:|"]
        for megapixels in self.args.progressive_megapixels:
            pw, ph = inputs.size_for(megapixels)
            mp = f"{pw * ph / 1e6:.0f} MP"
            print(f"making {pw}x{ph} progressive inputs ...", file=sys.stderr, flush=True)
            pictures = {"scene": inputs.quantize(inputs.scene(pw, ph, 3, seed=11), np.uint8),
                        "landscape": np.asarray(landscape((pw, ph)).rgb)}
            for picture, pixels in pictures.items():
                files = self.progressive_files(f"{picture}{megapixels:g}", pixels)
                del pixels
                default_size = files["cjxl"].stat().st_size
                for coding, path in files.items():
                    data = path.read_bytes()
                    ours = _preview_bytes(data)
                    theirs = self.libjxl_preview_bytes(path)
                    quality = _preview_psnr(data, ours)
                    size = f"{len(data) / 1e6:.2f} MB" + (f" ({len(data) / default_size - 1:+.1%})"
                                                           if coding not in ("cjxl", "JPEG", "Adobe RGB") else "")
                    rows.append(f"| {picture} {mp} | {coding} | {size} | {ours / len(data):.1%} | "
                                f"{theirs / len(data):.1%} | {quality:.1f} |")
                    label = f"preview bytes, {picture} {mp}, {coding}"
                    self.out.checks.append(Check(f"{label}: ours / libjxl's", "overhead", ours / theirs, ours / theirs,
                                                 ours / theirs, Target(1.0),
                                                 f"{ours / len(data):.1%} vs {theirs / len(data):.1%} of the file"))
                    if coding == "progressive=True":
                        self.out.checks.append(Check(f"{label}: share of the file", "info", ours / len(data),
                                                     ours / len(data), ours / len(data), Target(0.20)))
                if picture == "scene":
                    self.progressive_timing(f"{picture} {mp}", files)
        self.out.notes.append("Preview of progressive files (bytes as a share of the file):\n\n" + "\n".join(rows))

    def progressive_files(self, stem: str, pixels: np.ndarray) -> dict[str, Path]:
        """The picture as cjxl writes it at its defaults and with -p, as
        save(progressive=True) writes it, in Adobe RGB as encode_array writes
        it, and as a JPEG transcoded by cjxl."""
        ppm = self.netpbm(f"{stem}.ppm", pixels)
        files = {}
        for coding, options in (("cjxl", []), ("cjxl -p", ["-p"])):
            path = self.tmp / f"{stem}{len(files)}.jxl"
            subprocess.run(["cjxl", "--quiet", *options, str(ppm), str(path)], check=True)
            self.raw.load(path.name, path)
            files[coding] = path
        files["progressive=True"] = self.file(f"{stem}p.jxl", tessara_pillow.encode_array(pixels, progressive=True))
        # Lossy in a profile libjxl cannot name: decoded through its colour management.
        files["Adobe RGB"] = self.file(f"{stem}a.jxl", tessara_pillow.encode_array(pixels, icc_profile=inputs.ADOBE_RGB))
        jpeg = self.file(f"{stem}.jpg", inputs.jpeg_bytes(pixels))
        path = self.tmp / f"{stem}j.jxl"
        subprocess.run(["cjxl", "--quiet", "--lossless_jpeg=1", str(jpeg), str(path)], check=True)
        self.raw.load(path.name, path)
        files["JPEG"] = path
        ppm.unlink()
        return files

    def libjxl_preview_bytes(self, path: Path) -> int:
        out = subprocess.run([str(self.args.bin / "jxl_stages"), str(path), "preview"], check=True,
                             capture_output=True, text=True).stdout
        return int(out.split()[1])

    def progressive_timing(self, name: str, files: dict[str, Path]) -> None:
        """The 1.10 target holds where libjxl delivers the pixels itself; the
        Adobe RGB file goes through its colour management, which raw libjxl
        (giving linear sRGB) skips and the plug-in's load() does too."""
        for coding in ("cjxl", "progressive=True", "Adobe RGB"):
            path = files[coding]
            data = path.read_bytes()
            prefix = data[:_preview_bytes(data)]

            def pieces() -> None:
                decoder = tessara_pillow.ProgressiveDecoder()
                for at in range(0, len(data), 65536):
                    decoder.feed(data[at:at + 65536])
                decoder.image()

            layers = [
                Layer("raw libjxl, one-shot", lambda: self.raw.run(1, "decode", path.name, -1, "new", "native")),
                Layer("raw libjxl, 64 KiB pieces", lambda: self.raw.run(1, "chunked", path.name, 65536, -1, "new")),
                python_layer("ProgressiveDecoder, 64 KiB pieces, image()", pieces),
                python_layer("plug-in load()", lambda: Image.open(io.BytesIO(data)).load()),
                python_layer("preview() of the preview's bytes", lambda: tessara_pillow.preview(prefix)),
            ]
            case = f"progressive, {name}, {coding}"
            s = self.out.case(case, layers, self.args)
            managed = coding == "Adobe RGB"
            self.out.compare(f"{case}: 64 KiB pieces + image() / raw one-shot", "info" if managed else "overhead",
                             ratio(s["ProgressiveDecoder, 64 KiB pieces, image()"], s["raw libjxl, one-shot"]),
                             None if managed else Target(1.10))
            self.out.compare(f"{case}: 64 KiB pieces + image() / plug-in load()", "info",
                             ratio(s["ProgressiveDecoder, 64 KiB pieces, image()"], s["plug-in load()"]), None)
            self.out.compare(f"{case}: raw, 64 KiB pieces / one-shot", "info",
                             ratio(s["raw libjxl, 64 KiB pieces"], s["raw libjxl, one-shot"]), None)
            self.out.compare(f"{case}: preview() / raw one-shot decode", "info",
                             ratio(s["preview() of the preview's bytes"], s["raw libjxl, one-shot"]), None)

    def animation_memory_case(self, path: Path, frame_mib: float) -> None:
        with RawHarness(self.args.jxl_raw) as fresh:
            fresh.load("in", path)
            base = fresh.rss_kib()
            fresh.run(1, "animation", "in", -1, "new", "u8")
            raw = (fresh.rss_kib() - base) / 1024
        probe = str(Path(__file__).resolve().parent / "peak_memory.py")
        out = subprocess.run([sys.executable, probe, "plugin", "frames", str(path)], check=True,
                             capture_output=True, text=True).stdout
        base_kib, peak_kib = map(int, out.split())
        mine = (peak_kib - base_kib) / 1024
        file_mib = path.stat().st_size / MiB
        name = f"peak memory, playing the animation ({frame_mib:.1f} MiB a frame)"
        self.out.memory += [(name, "raw libjxl", raw, "one frame buffer"),
                            (name, "plug-in", mine, f"file {file_mib:.1f} MiB")]
        # The plug-in holds the file's bytes, the frame libjxl decoded into
        # and Pillow's image of it (4 bytes a pixel for RGB).
        allowance = raw + file_mib + 1.1 * frame_mib * (1 + 4 / 3)
        self.out.checks.append(Check("memory: plug-in playing / (raw + file + 1.1 x (frame + Pillow's frame))",
                                     "memory", mine / allowance, mine / allowance, mine / allowance, Target(1.0),
                                     f"{mine:.0f} vs {raw:.0f} + {file_mib:.0f} + 1.1 x {frame_mib * 7 / 3:.0f} MiB"))

    def header_case(self, path: Path) -> None:
        data = path.read_bytes()
        dec = tessara.Decoder()
        n = self.args.header_calls
        layers = [
            python_layer("module decode (full)", lambda: dec(data)),
            python_layer("Image.open(path).size", lambda: Image.open(path).size, n),
            python_layer("Image.open(BytesIO).size", lambda: Image.open(io.BytesIO(data)).size, n),
            Layer("raw libjxl basic info", lambda: self.raw.run(n, "header", path.name), n),
        ]
        s = self.out.case(f"header-only open, {self.mp}", layers, self.args)
        self.out.compare("Image.open(path).size / full decode", "header",
                         ratio(s["Image.open(path).size"], s["module decode (full)"]), Target(0.01))

    def png_case(self, rgb16: np.ndarray) -> None:
        """Reading a 16-bit RGB PNG (the converter's libpng reader) against
        libpng alone reading it row by row, in the same run."""
        from tessara_pillow.convert import pngfile

        buffer = io.BytesIO()
        pngfile.write(buffer, rgb16)
        data = buffer.getvalue()
        self.file("rgb16.png", data)
        name = f"PNG read, 16-bit RGB, {self.mp}"
        layers = [Layer("raw libpng", lambda: self.raw.run(1, "png", "rgb16.png")),
                  python_layer("pngfile.read", lambda: pngfile.read(data))]
        s = self.out.case(name, layers, self.args)
        self.out.compare(f"{name}: pngfile.read / raw libpng", "overhead",
                         ratio(s["pngfile.read"], s["raw libpng"]), Target(1.2))

    def jpeg_cases(self, rgb8: np.ndarray) -> None:
        jw, jh = inputs.size_for(self.args.jpeg_megapixels)
        jw, jh = min(jw, rgb8.shape[1]), min(jh, rgb8.shape[0])
        jpeg = inputs.jpeg_bytes(np.ascontiguousarray(rgb8[:jh, :jw]))
        jpeg_path = self.file("photo.jpg", jpeg)
        mp = f"{jw * jh / 1e6:.1f} MP"
        enc = tessara.Encoder("RGB", effort=EFFORT)
        name = f"JPEG transcode e{EFFORT}, {mp}"
        layers = [
            Layer("raw libjxl", lambda: self.raw.run(1, "jpeg", "photo.jpg", EFFORT, -1, "new")),
            python_layer("module", lambda: enc(jpeg, 0, 0, True)),
            python_layer("plug-in jpeg_to_jxl", lambda: tessara_pillow.jpeg_to_jxl(jpeg, effort=EFFORT)),
        ]
        if self.args.cli:
            layers.append(command_layer("cjxl", ["cjxl", "--quiet", "-e", str(EFFORT), str(jpeg_path),
                                                 str(self.tmp / "cli.jxl")]))
        s = self.out.case(name, layers, self.args)
        self.out.compare(f"{name}: module / raw", "overhead", ratio(s["module"], s["raw libjxl"]), Target(1.03))
        self.out.compare(f"{name}: jpeg_to_jxl / module", "overhead",
                         ratio(s["plug-in jpeg_to_jxl"], s["module"]), Target(1.03))

        jxl = enc(jpeg, 0, 0, True)
        jxl_path = self.file("photo.jxl", jxl)
        dec = tessara.Decoder()
        name = f"JPEG rebuild, {mp}"
        layers = [
            Layer("raw libjxl", lambda: self.raw.run(1, "decode", "photo.jxl", -1, "new", "native")),
            python_layer("module", lambda: dec(jxl)),
            python_layer("plug-in jxl_to_jpeg", lambda: tessara_pillow.jxl_to_jpeg(jxl)),
        ]
        if self.args.cli:
            layers.append(command_layer("djxl", ["djxl", "--quiet", str(jxl_path), str(self.tmp / "out.jpg")]))
        s = self.out.case(name, layers, self.args)
        self.out.compare(f"{name}: module / raw", "overhead", ratio(s["module"], s["raw libjxl"]), Target(1.03))
        self.out.compare(f"{name}: jxl_to_jpeg / module", "overhead",
                         ratio(s["plug-in jxl_to_jpeg"], s["module"]), Target(1.10))

    def thumbnail_cases(self) -> None:
        n = self.args.thumb_calls
        pixels = inputs.quantize(inputs.scene(256, 256, 3, seed=11), np.uint8)
        data = pixels.tobytes()
        self.file("thumb.pixels", data)
        ppm = self.netpbm("thumb.ppm", pixels)
        enc = tessara.Encoder("RGB", quality=QUALITY, effort=EFFORT)
        jxl = enc(data, 256, 256, False)
        path = self.file("thumb.jxl", jxl)
        dec = tessara.Decoder()
        im = Image.frombytes("RGB", (256, 256), data)

        name = f"thumbnail decode 256x256, {n} calls"
        layers = [
            Layer("raw libjxl", lambda: self.raw.run(n, "decode", "thumb.jxl", -1, "new", "native"), n),
            Layer("raw, reused pool", lambda: self.raw.run(n, "decode", "thumb.jxl", -1, "reuse", "native"), n),
            python_layer("module", lambda: dec(jxl), n),
            python_layer("plug-in load()", lambda: Image.open(io.BytesIO(jxl)).load(), n),
        ]
        if self.args.cli:
            layers.append(command_layer("djxl", ["djxl", "--quiet", str(path), str(self.tmp / "thumb_out.ppm")], n))
        s = self.out.case(name, layers, self.args)
        self.out.compare("thumbnail decode: module / raw", "overhead", ratio(s["module"], s["raw libjxl"]), Target(1.10))
        self.out.compare("thumbnail decode: plug-in load() / module", "info", ratio(s["plug-in load()"], s["module"]), None)
        self.out.compare("raw: new pool per call / reused pool (thumbnail decode)", "info",
                         ratio(s["raw libjxl"], s["raw, reused pool"]), None)

        name = f"thumbnail encode 256x256 q{QUALITY:g} e{EFFORT}, {n} calls"
        job = ("encode", "thumb.pixels", 256, 256, 3, "u8", QUALITY, EFFORT, 0, -1)
        layers = [
            Layer("raw libjxl", lambda: self.raw.run(n, *job, "new"), n),
            Layer("raw, reused pool", lambda: self.raw.run(n, *job, "reuse"), n),
            python_layer("module", lambda: enc(data, 256, 256, False), n),
            python_layer("plug-in save()", lambda: im.save(io.BytesIO(), "JXL", quality=QUALITY, effort=EFFORT), n),
        ]
        if self.args.cli:
            layers.append(command_layer("cjxl", ["cjxl", "--quiet", "-q", f"{QUALITY:g}", "-e", str(EFFORT), str(ppm),
                                                 str(self.tmp / "thumb_out.jxl")], n))
        s = self.out.case(name, layers, self.args)
        self.out.compare("thumbnail encode: module / raw", "overhead", ratio(s["module"], s["raw libjxl"]), Target(1.10))
        self.out.compare("thumbnail encode: plug-in save() / module", "info", ratio(s["plug-in save()"], s["module"]), None)
        self.out.compare("raw: new pool per call / reused pool (thumbnail encode)", "info",
                         ratio(s["raw libjxl"], s["raw, reused pool"]), None)

    def thread_cases(self, rgb8: np.ndarray, rgb8_jxl: Path) -> None:
        """Throughput of 1 and 2 threads, every call on its own thread (num_threads=0)."""
        calls = self.args.thread_calls
        data = rgb8_jxl.read_bytes()
        dec = tessara.Decoder(num_threads=0)
        load_threads, save_threads = plugin_thread_options()
        if load_threads is None:
            self.out.notes.append("plug-in threads: load() has no num_threads (image attribute) yet, so the bench "
                                  "gives the plug-in a Decoder(num_threads=0) in place of its own (marked *)")
        if save_threads is None:
            self.out.notes.append("plug-in threads: save() ignores num_threads, so the bench gives the plug-in an "
                                  "Encoder(..., num_threads=0) in place of its own (marked *)")

        def plugin_load() -> object:
            return Image.open(io.BytesIO(data)).load() if load_threads is None else load_threads(data)

        tw, th = inputs.size_for(self.args.thread_megapixels)
        tw, th = min(tw, rgb8.shape[1]), min(th, rgb8.shape[0])
        pixels = np.ascontiguousarray(rgb8[:th, :tw]).tobytes()
        self.file("thread.pixels", pixels)
        enc = tessara.Encoder("RGB", quality=QUALITY, effort=EFFORT, num_threads=0)
        im = Image.frombytes("RGB", (tw, th), pixels)
        save_options = save_threads or {}

        def plugin_save() -> None:
            im.save(io.BytesIO(), "JXL", quality=QUALITY, effort=EFFORT, **save_options)

        enc_job = ("encode", "thread.pixels", tw, th, 3, "u8", QUALITY, EFFORT, 0, 0, "new")
        for what, mp, raw_job, module_work, plugin_work, marked in [
            ("decode", self.mp, ("decode", rgb8_jxl.name, 0, "new", "native"), lambda: dec(data), plugin_load,
             load_threads is None),
            (f"encode q{QUALITY:g} e{EFFORT}", f"{tw * th / 1e6:.1f} MP", enc_job, lambda: enc(pixels, tw, th, False),
             plugin_save, save_threads is None),
        ]:
            layers = []
            for n in (1, 2):
                # Wall time of all the calls, not per call.
                layers.append(Layer(f"raw libjxl, {n} thread(s)", partial(self.raw.par, n, calls, *raw_job)))
                layers.append(Layer(f"module, {n} thread(s)", partial(threads_once, module_work, n, calls)))
                layers.append(Layer(f"plug-in{'*' if marked else ''}, {n} thread(s)",
                                    partial(threads_once, plugin_work, n, calls)))
            name = f"threads: {what} 8-bit RGB, {mp}, num_threads=0, {calls} calls a thread"
            with plugin_on_one_thread(marked):
                s = self.out.case(name, layers, self.args)
            for who, target in [("raw libjxl", None), ("module", Target(1.7, at_least=True)),
                                (f"plug-in{'*' if marked else ''}", Target(1.7, at_least=True))]:
                # Twice the calls in the 2-thread time: throughput ratio = 2 t1 / t2.
                self.out.compare(f"{what}: 2 threads / 1, {who}", "threads" if target else "info",
                                 ratio(s[f"{who}, 1 thread(s)"], s[f"{who}, 2 thread(s)"]), target, scale=2.0)

    def memory_cases(self, rgb8_jxl: Path, ppm: Path, w: int, h: int) -> None:
        print("  peak memory (fresh processes) ...", file=sys.stderr, flush=True)
        probe = str(Path(__file__).resolve().parent / "peak_memory.py")
        pixels = self.tmp / "memory.pixels"
        pixels.write_bytes(ppm.read_bytes()[-w * h * 3:])

        def python_extra(*argv: str) -> float:
            out = subprocess.run([sys.executable, probe, *argv], check=True, capture_output=True, text=True).stdout
            base, peak = map(int, out.split())
            return (peak - base) / 1024

        def raw_extra(name: str, path: Path, job: tuple[object, ...]) -> float:
            with RawHarness(self.args.jxl_raw) as fresh:
                fresh.load(name, path)
                base = fresh.rss_kib()
                fresh.run(1, *job)
                return (fresh.rss_kib() - base) / 1024

        out_mib = w * h * 3 / MiB
        pillow_mib = w * h * 4 / MiB  # Pillow keeps RGB as 4 bytes a pixel
        raw_d = raw_extra("in", rgb8_jxl, ("decode", "in", -1, "new", "native"))
        mod_d = python_extra("module", "decode", str(rgb8_jxl))
        plug_d = python_extra("plugin", "decode", str(rgb8_jxl))
        name = f"peak memory, decode 8-bit RGB {self.mp}"
        self.out.memory += [(name, "raw libjxl", raw_d, f"output {out_mib:.1f} MiB"),
                            (name, "module", mod_d, ""), (name, "plug-in load()", plug_d,
                                                         f"Pillow image {pillow_mib:.1f} MiB")]
        allowance = raw_d + 1.1 * out_mib
        self.out.checks.append(Check("memory: module decode / (raw + 1.1 x output)", "memory", mod_d / allowance,
                                     mod_d / allowance, mod_d / allowance, Target(1.0),
                                     f"{mod_d:.0f} vs {raw_d:.0f} + 1.1 x {out_mib:.0f} MiB"))
        allowance = mod_d + 1.1 * pillow_mib
        self.out.checks.append(Check("memory: plug-in load / (module + 1.1 x Pillow image)", "memory",
                                     plug_d / allowance, plug_d / allowance, plug_d / allowance, Target(1.0),
                                     f"{plug_d:.0f} vs {mod_d:.0f} + 1.1 x {pillow_mib:.0f} MiB"))

        rgb16_jxl = self.tmp / "rgb16.jxl"
        if rgb16_jxl.exists():
            # The module decodes 16-bit colour into scratch memory and converts it into the result.
            name = f"peak memory, decode 16-bit RGB to 8-bit {self.mp}"
            self.out.memory += [
                (name, "raw libjxl (16-bit samples)", raw_extra("in", rgb16_jxl, ("decode", "in", -1, "new", "native")),
                 f"16-bit samples {2 * out_mib:.1f} MiB"),
                (name, "raw libjxl, converted", raw_extra("in", rgb16_jxl, ("decode", "in", -1, "new", "convert")),
                 f"+ 8-bit result {out_mib:.1f} MiB"),
                (name, "module", python_extra("module", "decode", str(rgb16_jxl)), "")]

        job = ("encode", "in", w, h, 3, "u8", QUALITY, EFFORT, 0, -1, "new")
        raw_e = raw_extra("in", pixels, job)
        enc_args = ("RGB", str(w), str(h), f"{QUALITY:g}", str(EFFORT))
        mod_e = python_extra("module", "encode", str(pixels), *enc_args)
        plug_e = python_extra("plugin", "encode", str(ppm), *enc_args)
        name = f"peak memory, encode 8-bit RGB q{QUALITY:g} e{EFFORT} {self.mp}"
        self.out.memory += [(name, "raw libjxl", raw_e, f"input {out_mib:.1f} MiB"), (name, "module", mod_e, ""),
                            (name, "plug-in save()", plug_e, "")]


# ---- progressive files ---------------------------------------------------------


def _preview_bytes(data: bytes) -> int:
    """The fewest bytes from which preview() gives a picture."""
    lo, hi = 1, len(data)
    while lo < hi:
        mid = (lo + hi) // 2
        if tessara_pillow.preview(data[:mid])[0] is not None:
            hi = mid
        else:
            lo = mid + 1
    return lo


def _preview_psnr(data: bytes, prefix: int) -> float:
    """PSNR of the preview drawn from `prefix` bytes against the whole image,
    both downscaled 8x (8 x 8 means)."""
    image, _ = tessara_pillow.preview(data[:prefix])
    assert image is not None
    whole = tessara_pillow.decode_array(data)
    h, w = whole.shape[0] // 8 * 8, whole.shape[1] // 8 * 8

    def eighth(a: np.ndarray) -> np.ndarray:
        return a[:h, :w].astype(np.float64).reshape(h // 8, 8, w // 8, 8, -1).mean(axis=(1, 3))

    mse = float(np.mean((eighth(np.asarray(image)) - eighth(whole)) ** 2))
    return 10 * np.log10(255.0**2 / mse) if mse else float("inf")


# ---- the plug-in's thread options -------------------------------------------


def plugin_thread_options() -> tuple[Callable[[bytes], object] | None, dict[str, object] | None]:
    """How to ask the plug-in for one thread per call, if it can be asked:
    (a function that loads bytes that way, or None; save options, or None).
    Found by trying: a way counts only if the module's class is then made
    with num_threads=0. Load is asked through the image's `num_threads`
    attribute, save through a `num_threads` option."""
    seen: dict[str, list[object]] = {"Decoder": [], "Encoder": []}

    def recording(name: str) -> Callable[..., object]:
        real = getattr(tessara, name)

        def make(*a: object, **k: object) -> object:
            seen[name].append(k.get("num_threads"))
            return real(*a, **k)

        return make

    def load_one_thread(data: bytes) -> object:
        im = Image.open(io.BytesIO(data))
        im.num_threads = 0  # type: ignore[attr-defined]
        return im.load()

    small = tessara.Encoder("RGB")(bytes(8 * 8 * 3), 8, 8, False)
    plugin.tessara = types.SimpleNamespace(  # type: ignore[assignment]
        Decoder=recording("Decoder"), Encoder=recording("Encoder"))
    try:
        load_one_thread(small)
        Image.new("RGB", (8, 8)).save(io.BytesIO(), "JXL", num_threads=0)
    except (TypeError, ValueError):
        pass
    finally:
        plugin.tessara = tessara  # type: ignore[assignment]
    return (load_one_thread if seen["Decoder"] == [0] else None,
            {"num_threads": 0} if seen["Encoder"] == [0] else None)


@contextlib.contextmanager
def plugin_on_one_thread(active: bool) -> Iterator[None]:
    """While active, the plug-in's own Decoder and Encoder calls use
    num_threads=0: the module it calls through is swapped for one whose
    classes default to that; the plug-in's code is unchanged."""
    if not active:
        yield
        return
    plugin.tessara = types.SimpleNamespace(  # type: ignore[assignment]
        Decoder=partial(tessara.Decoder, num_threads=0), Encoder=partial(tessara.Encoder, num_threads=0))
    try:
        yield
    finally:
        plugin.tessara = tessara  # type: ignore[assignment]


# ---- output -----------------------------------------------------------------


def print_table(results: Results, header: str, file: object = sys.stdout) -> None:
    p = partial(print, file=file)
    p(header)
    p()
    p("| case | layer | median ms | range ms |")
    p("|---|---|---:|---:|")
    last = None
    for case, layer, s, calls in results.rows:
        shown = case if case != last else ""
        last = case
        unit = " per call" if calls > 1 else ""
        p(f"| {shown} | {layer}{unit} | {s.median * 1e3:.3f} | {s.low * 1e3:.3f} - {s.high * 1e3:.3f} |")
    if results.memory:
        p()
        p("| peak memory above the baseline | layer | MiB | |")
        p("|---|---|---:|---|")
        for case, layer, mib, note in results.memory:
            p(f"| {case} | {layer} | {mib:.1f} | {note} |")
    p()
    p("| ratio | value | per-round range | target | |")
    p("|---|---:|---:|---|---|")
    for c in results.checks:
        # Header-only opens are a tiny fraction of a decode: shown in percent.
        def fmt(v: float, percent: bool = c.group == "header") -> str:
            return f"{v * 100:.3f}%" if percent else f"{v:.3f}"

        rng = f"{fmt(c.low)} - {fmt(c.high)}" if c.low != c.high else ""
        note = f" ({c.note})" if c.note else ""
        target = "" if c.target is None else (f"<= {c.target.limit * 100:g}%" if c.group == "header" else c.target)
        p(f"| {c.label}{note} | {fmt(c.value)} | {rng} | {target} | {c.verdict} |")
    for note in results.notes:
        p(f"\n{note}")


def plot(results: Results, path: Path, header: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = [("overhead", "time ratio (lower is better)"), ("threads", "throughput, 2 threads / 1"),
              ("header", "header-only open / full decode"), ("memory", "peak memory / allowance")]
    present = [(g, t) for g, t in groups if any(c.group == g and c.target for c in results.checks)]
    heights = [max(1, sum(c.group == g for c in results.checks)) for g, _ in present]
    fig, axes = plt.subplots(len(present), 1, figsize=(10, 1.2 + 0.32 * sum(heights) + 0.9 * len(present)),
                             gridspec_kw={"height_ratios": heights}, squeeze=False)
    for ax, (group, title) in zip(axes[:, 0], present, strict=True):
        checks = [c for c in results.checks if c.group == group]
        ys = range(len(checks))
        colours = ["tab:green" if c.verdict == "PASS" else "tab:red" for c in checks]
        values = [c.value for c in checks]
        err = [[max(0.0, c.value - c.low) for c in checks], [max(0.0, c.high - c.value) for c in checks]]
        ax.barh(list(ys), values, color=colours, xerr=err, capsize=2, height=0.6)
        for y, c in zip(ys, checks, strict=True):
            if c.target:
                ax.plot([c.target.limit] * 2, [y - 0.42, y + 0.42], color="black", linewidth=1.5)
        ax.set_yticks(list(ys), [c.label for c in checks], fontsize=7)
        ax.invert_yaxis()
        ax.set_title(title, fontsize=9, loc="left")
        ax.tick_params(axis="x", labelsize=7)
        if group == "header":
            ax.set_xscale("log")
        elif group in ("overhead", "memory"):
            low = min([*values, *(c.target.limit for c in checks if c.target)])
            ax.set_xlim(min(0.9, low - 0.05), max([*values, *(c.high for c in checks), 1.15]) + 0.03)
    fig.suptitle("tessara: bars are measured ratios (green PASS, red MISS), black ticks the targets\n" + header,
                 fontsize=8)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path, dpi=110)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, type=Path, help="directory holding jxl_raw")
    parser.add_argument("--megapixels", type=float, default=12.0, help="size of the large images (default 12)")
    parser.add_argument("--jpeg-megapixels", type=float, default=8.0, help="size of the JPEG (default 8)")
    parser.add_argument("--thread-megapixels", type=float, default=1.0,
                        help="size of the image the thread test encodes (default 1; it decodes the large one)")
    parser.add_argument("--repeat", type=int, default=5, help="rounds per case (default 5)")
    parser.add_argument("--slow-repeat", type=int, default=3,
                        help="rounds for cases with a call over a second (default 3)")
    parser.add_argument("--thumb-calls", type=int, default=20, help="calls per thumbnail measurement")
    parser.add_argument("--header-calls", type=int, default=200, help="calls per header-only measurement")
    parser.add_argument("--animation-frames", type=int, default=100, help="frames of the animation (default 100)")
    parser.add_argument("--animation-megapixels", type=float, default=1.0,
                        help="size of each frame of the animation (default 1)")
    parser.add_argument("--thread-calls", type=int, default=2, help="calls per thread in the thread test")
    parser.add_argument("--progressive-megapixels", type=lambda v: [float(x) for x in v.split(",")],
                        default=[2.0, 12.0], help="sizes of the progressive files (default 2,12)")
    parser.add_argument("--no-cli", dest="cli", action="store_false", help="skip cjxl/djxl subprocesses")
    parser.add_argument("--no-memory", dest="memory", action="store_false", help="skip the peak memory runs")
    parser.add_argument("--only", type=lambda v: set(v.split(",")), default=set(),
                        help="comma-separated sections: rgb8,header,rgba,grey,rgb16,arrays,colour,png,jpeg,thumb,"
                             "threads,memory,animation,progressive")
    parser.add_argument("--plot", type=Path, help="write a bar chart of the ratios to this PNG")
    parser.add_argument("--markdown", type=Path, help="also write the table to this file")
    parser.add_argument("--allocator", choices=("fresh", "glibc"), default="fresh",
                        help="fresh (default): every process of the run gets new pages for each buffer of 128 KiB "
                             "and more; glibc: its own adaptive policy, which makes each process's costs depend "
                             "on what it allocated before")
    args = parser.parse_args()
    if os.environ.get("TESSARA_BENCH_ALLOCATOR") != args.allocator:
        # glibc reads its tunables at start-up, so the run starts again with
        # them; jxl_raw, the memory probes and the tools inherit them.
        env = dict(os.environ, TESSARA_BENCH_ALLOCATOR=args.allocator)
        if args.allocator == "fresh":
            env["GLIBC_TUNABLES"] = ":".join(filter(None, [env.get("GLIBC_TUNABLES"), FRESH_PAGES]))
        os.execve(sys.executable, [sys.executable, *sys.argv], env)
    args.jxl_raw = args.bin / "jxl_raw"
    shm = Path("/dev/shm")
    # Files live in memory (tmpfs), so disk latency does not enter the figures.
    with tempfile.TemporaryDirectory(dir=shm if shm.is_dir() and os.access(shm, os.W_OK) else None) as tmp, \
            RawHarness(args.jxl_raw) as raw:
        header = machine_line(args.allocator)
        start = time.perf_counter()
        results = Bench(args, Path(tmp), raw).run()
        header += (f", {os.getloadavg()[0]:.1f} at the end; {args.repeat} rounds ({args.slow_repeat} where a call "
                   f"takes over 1 s), {time.perf_counter() - start:.0f} s")
    print_table(results, header)
    if args.markdown:
        with open(args.markdown, "w") as f:
            print_table(results, header, f)
    if args.plot:
        plot(results, args.plot, header)
        print(f"\nchart: {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
