"""Sizes of real animations converted by tessara-convert at its defaults,
against the inputs and against cjxl at its own defaults (docs/converter.md).

The inputs are ffmpeg's test sources (testsrc2, mandelbrot, life: 320x240,
10 frames a second for 5 s) written by ffmpeg as GIF, APNG, lossy WebP and
lossless WebP, the same frames written by Pillow as GIF, APNG and WebP (its
default, lossy at quality 80), and a sprite over a flat background. cjxl
reads GIF and APNG; a WebP's frames go to it as an APNG of whole frames
written by ffmpeg. "q90" is JPEG XL at quality 90 through the plug-in, what
APNG and WebP animations got before the current defaults.

    python bench/animation_sizes.py WORKDIR       (needs ffmpeg, cjxl)"""

from __future__ import annotations

import argparse
import io
import subprocess
import sys
from pathlib import Path

from PIL import Image, ImageDraw, ImageSequence

import tessara_pillow  # noqa: F401  (the JXL plug-in)

SOURCES = {
    "testsrc2": "testsrc2=size=320x240:rate=10,trim=duration=5",
    "mandelbrot": "mandelbrot=size=320x240:rate=10,trim=duration=5",
    "life": "life=size=320x240:rate=10:mold=10:ratio=0.1:death_color=#C83232:life_color=#00ff00,trim=duration=5",
}
FFMPEG_OUTPUTS = {  # name ending: ffmpeg's output options
    "gif.gif": ["-filter_complex", "[0]split[a][b];[a]palettegen[p];[b][p]paletteuse", "-loop", "0"],
    "apng.png": ["-plays", "0", "-f", "apng"],
    "webp.webp": ["-c:v", "libwebp_anim", "-loop", "0"],
    "webp-lossless.webp": ["-c:v", "libwebp_anim", "-lossless", "1", "-loop", "0"],
}
PILLOW_OUTPUTS = ("gif.gif", "apng.png", "webp.webp")


def ffmpeg(*args: str | Path) -> None:
    subprocess.run(["ffmpeg", "-v", "error", "-y", *map(str, args)], check=True)


def make_inputs(work: Path) -> Path:
    src = work / "in"
    src.mkdir(parents=True, exist_ok=True)
    for name, graph in SOURCES.items():
        for ending, options in FFMPEG_OUTPUTS.items():
            ffmpeg("-f", "lavfi", "-i", graph, *options, src / f"ffmpeg-{name}-{ending}")
        ffmpeg("-f", "lavfi", "-i", graph, work / f"frames-{name}-%03d.png")
        frames = [Image.open(p).convert("RGB") for p in sorted(work.glob(f"frames-{name}-*.png"))]
        for ending in PILLOW_OUTPUTS:
            frames[0].save(src / f"pillow-{name}-{ending}", save_all=True, append_images=frames[1:], duration=100,
                           loop=0)
    sprite = []
    for i in range(40):
        im = Image.new("RGB", (240, 160), (30, 60, 120))
        ImageDraw.Draw(im).ellipse((10 + 5 * i, 60, 40 + 5 * i, 90), fill=(250, 200, 40))
        sprite.append(im)
    for ending in PILLOW_OUTPUTS:
        sprite[0].save(src / f"pillow-sprite-{ending}", save_all=True, append_images=sprite[1:], duration=50, loop=0)
    return src


def cjxl_size(path: Path, work: Path) -> str:
    source = path
    if path.suffix == ".webp":  # cjxl reads no WebP: its frames, whole, as an APNG
        frames = work / "webp-frames"
        frames.mkdir(exist_ok=True)
        for old in frames.iterdir():
            old.unlink()
        with Image.open(path) as im:
            for i, frame in enumerate(ImageSequence.Iterator(im)):
                frame.convert("RGBA").save(frames / f"{i:04}.png")
        source = work / "webp-frames.png"
        ffmpeg("-framerate", "10", "-i", frames / "%04d.png", "-plays", "0", "-f", "apng", source)
    out = work / "cjxl.jxl"
    done = subprocess.run(["cjxl", "--quiet", source, out], capture_output=True, text=True)
    if done.returncode:
        return "fails"
    return str(out.stat().st_size)


def q90_size(path: Path) -> int:
    with Image.open(path) as im:
        buffer = io.BytesIO()
        im.save(buffer, "JXL", save_all=True, quality=90)
        return len(buffer.getvalue())


def ratio(size: str | int, base: int) -> str:
    return f"{int(size):,} ({int(size) / base:.2f}x)" if str(size).isdigit() else str(size)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("work", type=Path)
    work = p.parse_args().work
    src = make_inputs(work)
    out = work / "out"
    subprocess.run([sys.executable, "-m", "tessara_pillow", src, "-o", out, "--overwrite"], check=True)
    print("| input | bytes | tessara-convert | cjxl | q90 |")
    print("| --- | ---: | ---: | ---: | ---: |")
    for path in sorted(src.iterdir()):
        size = path.stat().st_size
        ours = (out / path.name).with_suffix(".jxl")
        print(f"| {path.name} | {size:,} | {ratio(ours.stat().st_size, size)} | {ratio(cjxl_size(path, work), size)} "
              f"| {ratio(q90_size(path), size)} |", flush=True)


if __name__ == "__main__":
    main()
