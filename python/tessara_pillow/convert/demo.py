"""The demonstration: a generated photo-like image encoded through the
plug-in in every mode JPEG XL holds, lossless and lossy, decoded back and
compared, and a JPEG of it transcoded losslessly and rebuilt, as one table."""

from __future__ import annotations

import errno
import io
import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

from PIL import Image, ImageChops, ImageMath

from . import provenance, scene
from .provenance import Provenance
from ..transcode import jpeg_to_jxl, jxl_to_jpeg

DEFAULT_SIZE = (1920, 1280)

# (Pillow mode, what it is, file name part, peak sample value for PSNR)
MODES = [
    ("L", "grey 8-bit", "grey8", 255.0),
    ("LA", "grey+alpha 8-bit", "grey8-alpha", 255.0),
    ("RGB", "colour 8-bit", "colour8", 255.0),
    ("RGBA", "colour+alpha 8-bit", "colour8-alpha", 255.0),
    ("I;16", "grey 16-bit", "grey16", 65535.0),
    ("F", "grey float", "grey-float", 1.0),
]
RGB_LABEL = "RGB   colour 8-bit"
LOSSLESS = {"lossless": True, "effort": 7}
LOSSY = {"quality": 90, "effort": 7}
# The faster effort, shown on the colour image only (it is the slow part).
FASTER = [{"lossless": True, "effort": 3}, {"quality": 90, "effort": 3}]
JPEG_QUALITY = 90


@dataclass(frozen=True)
class Row:
    mode: str  # e.g. "RGB  8-bit colour"
    settings: str  # e.g. "lossless, effort 7"
    size: int  # bytes of the encoded file
    pixels: int
    encode_s: float
    decode_s: float
    result: str  # "exact", "PSNR 41.20 dB" or the JPEG rebuild's outcome
    ok: bool  # what should hold did: exact when lossless, bit for bit when rebuilt, else the same size and mode


def _settings_text(options: dict[str, Any]) -> str:
    kind = "lossless" if options.get("lossless") else f"quality {options['quality']}"
    return f"{kind}, effort {options['effort']}"


def _file_part(options: dict[str, Any]) -> str:
    kind = "lossless" if options.get("lossless") else f"q{options['quality']}"
    return f"{kind}-e{options['effort']}"


def psnr(original: Image.Image, decoded: Image.Image, peak: float) -> float:
    """Peak signal-to-noise ratio in dB over all samples, infinite when they
    are equal. With alpha, of the premultiplied samples: lossy libjxl need
    not keep the colour of pixels nobody can see."""
    if original.mode in ("LA", "RGBA"):
        premultiplied = original.mode[:-1] + "a"
        original, decoded = original.convert(premultiplied), decoded.convert(premultiplied)
    if original.mode in ("I;16", "F"):
        a, b = original.convert("F"), decoded.convert("F")
        squared = ImageMath.lambda_eval(lambda x: (x["a"] - x["b"]) * (x["a"] - x["b"]), a=a, b=b)
        assert isinstance(squared, Image.Image)
        # A box reduction to one pixel is the mean.
        mse = float(squared.resize((1, 1), Image.Resampling.BOX).getpixel((0, 0)))  # type: ignore[arg-type]
    else:
        # Band by band: histogram() of a two-band difference image counts
        # the grey band twice and the alpha band never.
        bands = ImageChops.difference(original, decoded).split()
        squares = sum(count * level**2 for band in bands for level, count in enumerate(band.histogram()))
        mse = squares / (original.width * original.height * len(bands))
    return math.inf if mse == 0 else 10 * math.log10(peak * peak / mse)


def _timed(work: Callable[[], Any]) -> tuple[Any, float]:
    start = time.perf_counter()
    value = work()
    return value, time.perf_counter() - start


def _saved(im: Image.Image, fmt: str, **options: Any) -> bytes:
    buffer = io.BytesIO()
    im.save(buffer, fmt, **options)
    return buffer.getvalue()


def _opened(data: bytes) -> Image.Image:
    im = Image.open(io.BytesIO(data))
    im.load()
    return im


def _round_trip(label: str, im: Image.Image, peak: float, options: dict[str, Any], fmt: str = "JXL",
                settings: str | None = None) -> tuple[Row, bytes]:
    data, encode_s = _timed(lambda: _saved(im, fmt, **options))
    decoded, decode_s = _timed(lambda: _opened(data))
    shaped = decoded.mode == im.mode and decoded.size == im.size
    same = shaped and decoded.tobytes() == im.tobytes()
    if same:
        result = "exact"
    elif not shaped:
        result = f"DECODED AS {decoded.size[0]}x{decoded.size[1]} {decoded.mode}"
    else:
        result = f"PSNR {psnr(im, decoded, peak):.2f} dB"
    lossless = bool(options.get("lossless")) or fmt == "PNG"
    row = Row(label, settings or _settings_text(options), len(data), im.width * im.height, encode_s, decode_s,
              result, same if lossless else shaped)
    return row, data


def _jpeg_rows(rgb: Image.Image, write: Callable[[str, bytes], None]) -> list[Row]:
    """A JPEG of the image as a reference, then its lossless transcode and rebuild."""
    pixels = rgb.width * rgb.height
    jpeg_row, jpeg = _round_trip(RGB_LABEL, rgb, 255.0, {"quality": JPEG_QUALITY}, "JPEG",
                                 f"JPEG q{JPEG_QUALITY} (Pillow)")
    write("photo.jpg", jpeg)
    jxl, encode_s = _timed(lambda: jpeg_to_jxl(jpeg, effort=7))
    rebuilt, decode_s = _timed(lambda: jxl_to_jpeg(jxl))
    # photo.jpg is where photo.jxl goes back to, so converting the folder
    # back finds it rebuilt already.
    write("photo.jxl", jxl)
    write("photo-rebuilt.jpg", rebuilt)
    same = rebuilt == jpeg
    saving = 100 * (1 - len(jxl) / len(jpeg))
    outcome = "rebuilt bit for bit" if same else "REBUILT JPEG DIFFERS"
    transcode = Row("JPEG  that JPEG file", "transcode, effort 7", len(jxl), pixels, encode_s, decode_s,
                    f"{outcome}, {saving:.1f}% smaller", same)
    return [jpeg_row, transcode]


def _record(out: Path, rows: list[Row]) -> None:
    """Record the files as this tool's outputs, so that converting the folder
    back does not take them for inputs nor a later demonstration for files
    it must not replace: the rebuilt JPEG as made from photo.jxl, the PNG as
    made from the lossless colour file, whose pixels it holds exactly (when
    the table says so), the rest as made from no file."""
    made_from = {"photo-rebuilt.jpg": "photo.jxl"}
    if any(row.mode == RGB_LABEL and row.settings == _settings_text(LOSSLESS) and row.ok for row in rows):
        made_from["photo.png"] = f"colour8-{_file_part(LOSSLESS)}.jxl"
    for path in sorted(out.iterdir()):
        if path.name != provenance.RECORDS and path.is_file():
            source = out / made_from[path.name] if path.name in made_from else None
            provenance.record(path, provenance.digest(path), source,
                              provenance.digest(source) if source else provenance.Digest(0, ""))


class _Table:
    """Rows printed as they come, in fixed columns."""

    HEAD = ("mode", "settings", "bytes", "bits/px", "encode", "MP/s", "decode", "MP/s", "result")
    WIDTHS = (24, 20, 9, 7, 6, 5, 6, 5, 0)

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream

    def line(self, cells: tuple[str, ...]) -> None:
        parts = []
        for i, (cell, width) in enumerate(zip(cells, self.WIDTHS)):
            parts.append(cell.ljust(width) if i < 2 or i == len(cells) - 1 else cell.rjust(width))
        print("  ".join(parts).rstrip(), file=self.stream, flush=True)

    def head(self) -> None:
        self.line(self.HEAD)
        self.line(tuple("-" * max(w, len(h)) if w else "-" * 34 for h, w in zip(self.HEAD, self.WIDTHS)))

    def row(self, row: Row) -> None:
        megapixels = row.pixels / 1e6
        self.line((row.mode, row.settings, str(row.size), f"{8 * row.size / row.pixels:.2f}",
                   f"{row.encode_s:.2f}s", f"{megapixels / row.encode_s:.1f}", f"{row.decode_s:.2f}s",
                   f"{megapixels / row.decode_s:.1f}", row.result))


def run(out: Path, size: tuple[int, int] = DEFAULT_SIZE, stream: IO[str] | None = None, *,
        command: str = "tessara-convert", temporary: bool = False) -> list[Row]:
    """Make the image, run every row, print the table to `stream` and write
    the files into `out` (created if need be); returns the rows. The last
    line shows how to look at the files with `command` (how this program is
    run), and where `out` is `temporary`, how to remove them."""
    import shlex
    import sys

    stream = stream or sys.stdout
    start = time.perf_counter()
    out.mkdir(parents=True, exist_ok=True)
    picture, made_s = _timed(lambda: scene.landscape(size))
    print(f"A generated {size[0]}x{size[1]} landscape ({size[0] * size[1] / 1e6:.1f} megapixels, made in "
          f"{made_s:.1f} s), encoded and decoded\nthrough tessara_pillow with libjxl's default threads. "
          "Times are wall-clock; MP/s is megapixels per second.\n", file=stream)
    table = _Table(stream)
    table.head()
    rows: list[Row] = []
    written: list[int] = []

    def add(row: Row) -> None:
        rows.append(row)
        table.row(row)

    def write(name: str, data: bytes) -> None:
        path = out / name
        if path.exists() and Provenance().record(path) is None:
            msg = f"{path} exists, and the demonstration replaces only the files it made"
            raise FileExistsError(errno.EEXIST, msg)
        path.write_bytes(data)
        written.append(len(data))

    png_row, png = _round_trip(RGB_LABEL, picture.rgb, 255.0, {}, "PNG", "PNG (Pillow)")
    write("photo.png", png)
    add(png_row)
    for mode, what, part, peak in MODES:
        im = picture.in_mode(mode)
        for options in [LOSSLESS, LOSSY] + (FASTER if mode == "RGB" else []):
            row, data = _round_trip(f"{mode:<5} {what}", im, peak, options)
            write(f"{part}-{_file_part(options)}.jxl", data)
            add(row)
    for row in _jpeg_rows(picture.rgb, write):
        add(row)
    _record(out, rows)
    print("\nWith alpha, PSNR is of the premultiplied samples: lossy libjxl need not keep the colour of\n"
          "fully transparent pixels. The JPEG transcode keeps the JPEG's own data, so it rebuilds exactly.",
          file=stream)
    folder = shlex.quote(str(out))
    removal = f" (rm -r {folder} removes them)" if temporary else ""
    print(f"\nDone in {time.perf_counter() - start:.0f} s. Wrote {len(written)} files ({sum(written) / 1e6:.1f} MB)"
          f" to {out}{removal}.", file=stream)
    # Back from JPEG XL: the JPEG rebuilt, the rest as PNG, for any viewer.
    print(f"To look at them in any image viewer, as PNG and JPEG: {command} {folder}/*.jxl -o {folder}/viewable",
          file=stream)
    return rows
