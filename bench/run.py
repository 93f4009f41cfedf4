"""Benchmarks: tessara against the same work done directly through libjxl
(bench/jxl_raw.cpp), measured in the same run. Prints ratios; 1.00 means no
overhead. Timings are best-of-N wall times; this is a shared machine, so
compare ratios, not milliseconds."""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tessara


def best_of(repeat, work):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def image(w, h, channels, dtype):
    """Smooth content with a little noise: realistic to code, quick to make."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    rng = np.random.default_rng(7)
    planes = [np.sin(x / (37 + 11 * c)) * np.cos(y / (53 + 7 * c)) for c in range(channels)]
    v = np.stack(planes, axis=-1) * 0.45 + 0.5 + rng.random((h, w, channels), dtype=np.float32) * 0.05
    return (v.clip(0, 1) * np.iinfo(dtype).max).astype(dtype)


def write_pnm(path, pixels):
    h, w, c = pixels.shape
    maxval = np.iinfo(pixels.dtype).max
    body = pixels.astype(">u2" if maxval > 255 else "u1").tobytes()
    if c == 3:
        header = f"P6\n{w} {h}\n{maxval}\n"
    else:
        header = f"P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH {c}\nMAXVAL {maxval}\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
    Path(path).write_bytes(header.encode() + body)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="directory holding jxl_raw")
    parser.add_argument("--megapixels", type=float, default=24.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    jxl_raw = str(Path(args.bin) / "jxl_raw")

    def raw(*a):
        out = subprocess.run([jxl_raw, *map(str, a)], check=True, capture_output=True, text=True)
        return float(out.stdout)

    def report(name, ours, theirs):
        print(f"{name:<34} tessara {ours * 1e3:8.1f} ms  libjxl {theirs * 1e3:8.1f} ms  ratio {ours / theirs:.3f}", flush=True)

    w = int((args.megapixels * 1e6 * 1.5) ** 0.5)
    h = int(args.megapixels * 1e6 / w)
    print(f"{w}x{h} ({w * h / 1e6:.1f} MP), best of {args.repeat}, default worker count", flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        for label, channels, dtype in [("16-bit RGB", 3, np.uint16), ("8-bit RGB", 3, np.uint8), ("8-bit RGBA", 4, np.uint8)]:
            pixels = image(w, h, channels, dtype)
            write_pnm(tmp / "img.pnm", pixels)
            subprocess.run(["cjxl", "--quiet", "-d", "1", "-e", "1", tmp / "img.pnm", tmp / "img.jxl"], check=True)
            data = (tmp / "img.jxl").read_bytes()
            dec = tessara.Decoder()
            report(f"decode {label}", best_of(args.repeat, lambda: dec(data)), raw("decode", tmp / "img.jxl", args.repeat))
            if dtype == np.uint8:
                raw_pixels = np.ascontiguousarray(pixels).tobytes()
                (tmp / "img.raw").write_bytes(raw_pixels)
                mode = "RGBA" if channels == 4 else "RGB"
                enc = tessara.Encoder(mode, quality=90, effort=3)
                ours = best_of(args.repeat, lambda: enc(raw_pixels, w, h, False))
                report(f"encode {label} q90 e3", ours, raw("encode", tmp / "img.raw", w, h, channels, 8, 90, 3, args.repeat))


if __name__ == "__main__":
    sys.exit(main())
