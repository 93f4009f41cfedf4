"""A mutation fuzzer for the Python side of reading JPEG XL: the fact
reader, the box walk and metadata helpers, Image.open and load() through the
plug-in, and the module's decode call, fed mutated headers of valid files.

It checks that only the documented exceptions come out, that opening never
allocates pixel memory nor calls the decoder, and that whatever decodes is
what was announced. Run for N seconds:

    python tests/fuzz_python.py SECONDS [--corpus DIR]... [--findings DIR]

(tools/dev fuzz runs it). Every finding is written to the findings directory
with its traceback; the exit status is 1 if there was one. The normal suite
runs a short deterministic slice of it (tests/test_bad_input.py)."""

from __future__ import annotations

import argparse
import faulthandler
import hashlib
import io
import os
import random
import struct
import sys
import time
import tracemalloc
import traceback
import warnings
from pathlib import Path

import numpy as np
from PIL import Image

import tessara
import tessara_pillow
from tessara_pillow import facts, header, metadata, transcode

sys.path.insert(0, str(Path(__file__).resolve().parent))
from jxltools import box, codestream_header, container, jxlp_container  # noqa: E402

# Larger images are not decoded: they would only measure the machine's memory.
MAX_DECODED_PIXELS = 1 << 20
# What Image.open may allocate besides copies of the (small) input.
OPEN_MEMORY_LIMIT = 1 << 20

OPEN_ERRORS = (SyntaxError, OSError, Image.DecompressionBombError, ValueError)  # UnidentifiedImageError is an OSError
LOAD_ERRORS = (OSError, ValueError)
# Exceptions Pillow turns into SyntaxError or UnidentifiedImageError: from
# our code they are bugs that Pillow would hide.
HIDDEN_BUGS = (IndexError, TypeError, KeyError, EOFError, struct.error, AttributeError)


class Finding(Exception):
    """An outcome the documented behaviour rules out."""


def _grey(w, h):
    y, x = np.mgrid[0:h, 0:w]
    return ((x * 7 + y * 13) % 256).astype(np.uint8)


def seeds(corpus_dirs=()):
    """Small valid files of every layout the readers know, made here, and the
    files of the given corpus directories."""
    out = []
    px = _grey(13, 9)
    exif = b"\0\0\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0"
    xmp = b'<x:xmpmeta><rdf:Description tiff:Orientation="6"/></x:xmpmeta>'
    for mode, channels in (("L", 1), ("LA", 2), ("RGB", 3), ("RGBA", 4)):
        data = np.repeat(px[..., None], channels, axis=2).tobytes()
        out.append(tessara.Encoder(mode, lossless=True, effort=1)(data, 13, 9, False))
        out.append(tessara.Encoder(mode, quality=50, effort=3, use_container=True)(
            data, 13, 9, False, exif=exif, xmp=xmp, compress=channels % 2 == 0))
    out.append(tessara.Encoder("I;16", lossless=True)((px.astype("<u2") * 257).tobytes(), 13, 9, False))
    out.append(tessara.Encoder("F", lossless=True)((px.astype("<f4") / 255).tobytes(), 13, 9, False))
    jpeg = Path(__file__).resolve().parent / "data" / "small.jpg"
    if jpeg.exists():
        out.append(transcode.jpeg_to_jxl(jpeg.read_bytes()))
    cs = out[0]
    out.append(jxlp_container(cs, [3, 11], box(b"Exif", exif)))
    out.append(container(cs, box(b"brob", b"xml " + bytes(9)), struct.pack(">I4sQ", 1, b"jumb", 20) + bytes(4)))
    # headers no encoder writes: extra channels, odd depths, orientations
    for fields in (dict(extra_channels=[dict(type=0, bits=12, name=b"alpha")], orientation=6),
                   dict(bits=20, preview=(16, 8, 0), animation=(1, 1, 0, False)),
                   dict(bits=16, exponent_bits=5, colour_space=1, xyb=False),
                   dict(extra_channels=[dict(type=2, spot=(0x3C00, 0, 0, 0x3C00)), dict(type=5)],
                        want_icc=True),
                   dict(width=40000, height=30000), dict(width=3000, height=1000)):
        out.append(codestream_header(**fields) + bytes(16))
    for directory in corpus_dirs:
        out.extend(p.read_bytes() for p in sorted(Path(directory).iterdir())
                   if p.is_file() and p.stat().st_size <= 1 << 16)
    return out


_INTERESTING_WORDS = (0, 1, 2, 7, 8, 9, 15, 16, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF)
_INTERESTING_BYTES = (0, 1, 0x7F, 0x80, 0xFF, 0x0A)


def mutate(data: bytes, rng: random.Random, others) -> bytes:
    """One to four mutations, most of them in the first bytes, where the
    signature, the box headers and the image header lie."""
    b = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        if not b:
            b = bytearray(rng.randbytes(rng.randint(1, 40)))
        head = min(len(b), rng.choice((16, 48, 128, len(b))))
        at = rng.randrange(head)
        kind = rng.randrange(9)
        if kind == 0:
            b[at] ^= 1 << rng.randrange(8)
        elif kind == 1:
            b[at] = rng.choice(_INTERESTING_BYTES)
        elif kind == 2:
            del b[rng.randrange(len(b) + 1):]
        elif kind == 3:
            b[at:at] = rng.randbytes(rng.randint(1, 8))
        elif kind == 4:
            del b[at:at + rng.randint(1, 8)]
        elif kind == 5:  # a box size or a long field
            b[at:at + 4] = struct.pack(">I", rng.choice(_INTERESTING_WORDS))
        elif kind == 6:
            b[at:at + 8] = struct.pack(">Q", rng.choice((0, 16, 17, len(b), 2**63, 2**64 - 1)))
        elif kind == 7:  # splice another file in
            other = rng.choice(others)
            cut = rng.randrange(len(other) + 1)
            b = b[:at] + bytearray(other[cut:cut + rng.randint(1, 64)]) + b[at:]
        else:
            n = rng.randint(1, 16)
            b[at:at] = b[at:at + n]
    return bytes(b)


class _Tripwire:
    """Replaces tessara.Decoder and Pillow's image allocator while a file is opened."""

    def __enter__(self):
        self.saved = tessara.Decoder, Image.core.new

        def tripped(*args, **kwargs):
            raise Finding("opening called the decoder or allocated an image")

        tessara.Decoder = tripped
        Image.core.new = tripped
        return self

    def __exit__(self, *exc):
        tessara.Decoder, Image.core.new = self.saved
        return False


def _our_bug(error: BaseException) -> bool:
    """A documented type raised on behalf of an undocumented one."""
    cause = error.__cause__ or error.__context__
    return isinstance(error, SyntaxError) and isinstance(cause, HIDDEN_BUGS)


def _expect(error: BaseException, allowed, what: str):
    if isinstance(error, Finding):
        raise error
    if not isinstance(error, allowed) or _our_bug(error):
        raise Finding(f"{what} raised {type(error).__name__}: {error}") from error


def _declared_pixels(data: bytes):
    try:
        found = facts.read(data)
    except ValueError:
        return None
    return found.width * found.height


def check_parser(data: bytes) -> str:
    """The fact reader and the box walk with the metadata behind it."""
    try:
        facts.read(data)
        facts.read(data, all_frames=False)
    except ValueError as e:
        if not str(e).startswith("JPEG XL: "):
            raise Finding(f"facts error without its prefix: {e}") from e
        return "refused"
    except BaseException as e:
        raise Finding(f"facts.read raised {type(e).__name__}: {e}") from e
    try:
        found = header.read_header(io.BytesIO(data))
        metadata.metadata_boxes(io.BytesIO(data), found)
    except BaseException as e:
        raise Finding(f"the box walk raised {type(e).__name__}: {e}") from e
    return "read"


def check_plugin(data: bytes, decode: bool) -> str:
    """Opens (directly, so Pillow hides nothing, and through Image.open) and,
    when `decode`, loads."""
    tracemalloc.start()
    try:
        with _Tripwire(), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                tessara_pillow.JxlImageFile(io.BytesIO(data)).close()
                im = Image.open(io.BytesIO(data))
            except BaseException as e:
                _expect(e, OPEN_ERRORS, "open")
                return "not opened"
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    if peak > OPEN_MEMORY_LIMIT + 4 * len(data):
        raise Finding(f"open allocated {peak} bytes")
    if im._im is not None:
        raise Finding("open holds pixels")
    announced = im.size, im.mode
    if not decode or im.size[0] * im.size[1] > MAX_DECODED_PIXELS:
        return "opened"
    try:
        im.load()
    except BaseException as e:
        _expect(e, LOAD_ERRORS, "load")
        return "not loaded"
    if (im.size, im.mode) != announced:
        raise Finding(f"announced {announced}, loaded {(im.size, im.mode)}")
    return "loaded"


# Bytes per pixel by mode; grey with alpha keeps its sample size (1, 2 or 4).
_PIXEL_BYTES = {"L": (1,), "LA": (2, 4, 8), "RGB": (3,), "RGBA": (4,), "I;16": (2,), "F": (4,), "F;16": (4,)}


def check_module(data: bytes) -> str:
    try:
        is_jpeg, info, image, icc, boxes = tessara.Decoder(num_threads=0)(data)
    except BaseException as e:
        _expect(e, RuntimeError, "Decoder()")
        return "not decoded"
    pixels = info.width * info.height
    if not is_jpeg and len(image) not in [pixels * n for n in _PIXEL_BYTES[info.mode]]:
        raise Finding(f"{len(image)} bytes for {info.width}x{info.height} {info.mode}")
    for b in boxes:
        if len(b.box_type) != 4:
            raise Finding(f"box type {b.box_type!r}")
    try:
        transcode.jxl_to_jpeg(data)
    except ValueError:
        pass
    except BaseException as e:
        raise Finding(f"jxl_to_jpeg raised {type(e).__name__}: {e}") from e
    return "jpeg" if is_jpeg else "decoded"


def check_one(data: bytes, decode: bool = True) -> list[str]:
    """Every check on one input; raises Finding. The outcomes, for statistics."""
    outcomes = [check_parser(data), check_plugin(data, decode)]
    pixels = _declared_pixels(data)
    if decode and (pixels is None or pixels <= MAX_DECODED_PIXELS):
        outcomes.append(check_module(data))
    return outcomes


def mutated_inputs(corpus, rng: random.Random):
    while True:
        yield mutate(rng.choice(corpus), rng, corpus)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("seconds", type=float)
    parser.add_argument("--corpus", action="append", default=[], type=Path)
    parser.add_argument("--findings", type=Path, default=Path("build/fuzz/findings/python"))
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    rng = random.Random(seed)
    corpus = seeds(args.corpus)
    # A crash takes the process with it: the input is kept here first.
    args.findings.mkdir(parents=True, exist_ok=True)
    current = args.findings / "current-input"
    faulthandler.enable(open(args.findings / "crash-traceback.txt", "w"))
    # libjxl explains every refusal on stderr; findings are reported on stdout.
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
    counts: dict[str, int] = {}
    findings = executions = 0
    start = time.monotonic()
    for data in mutated_inputs(corpus, rng):
        if time.monotonic() - start >= args.seconds:
            break
        current.write_bytes(data)
        executions += 1
        try:
            for outcome in check_one(data):
                counts[outcome] = counts.get(outcome, 0) + 1
        except Finding:
            findings += 1
            name = hashlib.sha1(data).hexdigest()[:16]
            (args.findings / f"{name}.jxl").write_bytes(data)
            (args.findings / f"{name}.txt").write_text(traceback.format_exc())
            print(f"finding {name}:\n{traceback.format_exc()}", flush=True)
    current.unlink()
    elapsed = time.monotonic() - start
    print(f"fuzz_python: seed {seed}, {len(corpus)} seeds, {executions} inputs in {elapsed:.0f} s, "
          f"{findings} findings; outcomes {dict(sorted(counts.items()))}")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
