"""A tree of photo-like files for timing tessara-convert runs (docs/cluster.md):
JPEGs, which it transcodes losslessly, and PNGs, whose pixels it encodes, in
a few directories.

    python bench/convert_tree.py OUT [--jpegs 160] [--pngs 40] [--megapixels 0.3]"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
from PIL import Image

from inputs import jpeg_bytes, quantize, scene, size_for


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out", type=Path)
    p.add_argument("--jpegs", type=int, default=160)
    p.add_argument("--pngs", type=int, default=40)
    p.add_argument("--megapixels", type=float, default=0.3)
    args = p.parse_args()
    width, height = size_for(args.megapixels)
    for i in range(args.jpegs + args.pngs):
        folder = args.out / f"d{i % 4}"
        folder.mkdir(parents=True, exist_ok=True)
        rgb = quantize(scene(width, height, 3, seed=i), np.uint8)
        if i < args.jpegs:
            (folder / f"{i:04}.jpg").write_bytes(jpeg_bytes(rgb))
        else:  # smaller: pixels take longer to encode than a JPEG to transcode
            Image.fromarray(rgb).resize((width // 2, height // 2)).save(folder / f"{i:04}.png")
    print(f"{args.jpegs} JPEGs and {args.pngs} PNGs of {width}x{height} in {args.out}")


if __name__ == "__main__":
    main()
