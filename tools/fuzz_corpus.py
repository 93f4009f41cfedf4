"""Seed corpora for the libFuzzer targets, made from test files: small images
coded by cjxl, cjpeg and make_fixture (every layout the decoder knows), and
for the encoder target JPEG files and pixel frames behind its choice bytes.

    python tools/fuzz_corpus.py OUT_DIR FIXTURE_BIN_DIR

writes OUT_DIR/{animation_fuzz,boxes_fuzz,decoder_fuzz,decode_call_fuzz,arrays_decode_fuzz,
encoder_fuzz,arrays_encode_fuzz,png_read_fuzz,progressive_fuzz}/."""

import hashlib
import struct
import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import tessara  # noqa: E402
from jxltools import box, cjxl, run, tool, write_pfm, write_pnm  # noqa: E402

rng = np.random.default_rng(5)


def jxl_files(tmp: Path, fixture_bin: Path) -> list[bytes]:
    out = []
    sources = {
        "grey.pgm": rng.integers(0, 256, (16, 12), dtype=np.uint8),
        "la.pam": rng.integers(0, 256, (9, 11, 2), dtype=np.uint8),
        "rgb.ppm": rng.integers(0, 256, (16, 24, 3), dtype=np.uint8),
        "rgba.pam": rng.integers(0, 256, (12, 8, 4), dtype=np.uint8),
        "grey16.pgm": rng.integers(0, 65536, (8, 8), dtype=np.uint16),
        "rgb16.ppm": rng.integers(0, 65536, (8, 10, 3), dtype=np.uint16),
    }
    for name, pixels in sources.items():
        write_pnm(tmp / name, pixels)
    write_pfm(tmp / "grey.pfm", rng.random((8, 8), dtype=np.float32))
    write_pfm(tmp / "rgb.pfm", rng.random((8, 8, 3), dtype=np.float32))
    for name in [*sources, "grey.pfm", "rgb.pfm"]:
        for options in (["-d", "0", "-e", "1"], ["-d", "1", "-e", "3"], ["-d", "2", "--container=1", "-p"]):
            out.append(cjxl(tmp / name, tmp / "out.jxl", *options))
    # JPEG reconstruction data, grey and colour
    for name in ("grey.pgm", "rgb.ppm"):
        run(tool("cjpeg"), "-outfile", tmp / "in.jpg", tmp / name)
        out.append(cjxl(tmp / "in.jpg", tmp / "out.jxl"))
    maker = fixture_bin / "make_fixture"
    for args in (["uint", "10", "3"], ["uint", "12", "4"], ["uint", "1", "1"], ["float", "16", "1"],
                 ["float", "16", "4"], ["float", "24", "3"], ["anim", "3", "2"], ["anim", "5", "3"],
                 ["anim", "4", "4"]):
        run(maker, tmp / "f.jxl", *args, "8", "6", "--orientation", "6", "--box", "Exif=0000000049492a00")
        out.append((tmp / "f.jxl").read_bytes())
    # alpha at its own depth, layers, and an animation whose first frame is a JPEG
    for args in (["uint", "8", "4", "--alpha-bits", "16"], ["uint", "16", "2", "--alpha-bits", "8"],
                 ["float", "16", "4", "--alpha-bits", "12"], ["anim", "3", "4", "--alpha-bits", "10"],
                 ["layers", "6", "3"], ["layers", "3", "3", "--frames", "3"]):
        run(maker, tmp / "f.jxl", *args[:3], "8", "6", *args[3:])
        out.append((tmp / "f.jxl").read_bytes())
    run(tool("cjpeg"), "-outfile", tmp / "in.jpg", tmp / "rgb.ppm")
    run(maker, tmp / "f.jxl", "jpeg", "3", "3", "24", "16", "--jpeg", tmp / "in.jpg")
    out.append((tmp / "f.jxl").read_bytes())
    grey = bytes(range(48))
    for compress in (False, True):
        out.append(tessara.Encoder("L", use_container=True)(grey, 8, 6, False, exif=bytes(4) + b"II*\0",
                                                            xmp=b"<x/>", jumb=b"j", compress=compress))
    # a split codestream: the first file in jxlp boxes
    cs = out[0]
    ftyp = box(b"ftyp", b"jxl \0\0\0\0jxl ")
    signature = bytes.fromhex("0000000c4a584c200d0a870a")
    parts = [cs[:10], cs[10:]]
    out.append(signature + ftyp + box(b"jxlp", struct.pack(">I", 0) + parts[0])
               + box(b"jxlp", struct.pack(">I", 0x80000001) + parts[1]))
    return out


def encoder_inputs(tmp: Path) -> list[bytes]:
    """Byte 0 chooses the path and settings (see encoder_fuzz.cpp)."""
    out = []
    for name in ("grey.pgm", "rgb.ppm"):
        run(tool("cjpeg"), "-outfile", tmp / "in.jpg", tmp / name)
        jpeg = (tmp / "in.jpg").read_bytes()
        out += [bytes([0x00]) + jpeg, bytes([0x0C]) + jpeg, bytes([0x1E]) + jpeg]
    for choice in (0x01, 0x03, 0x0D, 0x25, 0x41, 0x83, 0xC1, 0xC3, 0x1F):
        width, height, shape = 7, 5, 0x1A
        channels = 1 + (shape & 3) if choice >> 6 <= 1 else 1
        size = {0: 1, 1: 1, 2: 2, 3: 4}[choice >> 6] * channels * 8 * 6
        out.append(bytes([choice, width, height, shape]) + rng.integers(0, 256, size, dtype=np.uint8).tobytes())
    return out


def array_frames() -> list[bytes]:
    """Byte 0 chooses kind, channels, lossless and effort, byte 1 the size,
    byte 2 the bits (see arrays_encode_fuzz.cpp)."""
    out = []
    for kind, size in ((0, 1), (1, 2), (2, 2), (3, 4)):
        for channels in range(4):
            for lossless in (0, 16):
                choice = kind | channels << 2 | lossless | 0x20
                samples = rng.integers(0, 256, 5 * 4 * (channels + 1) * size, dtype=np.uint8)
                if kind == 2:  # halves from 0.0625 to 1: none a check refuses
                    samples = rng.integers(0x2C00, 0x3C00, samples.size // 2, dtype=np.uint16).view(np.uint8)
                if kind == 3:
                    samples = rng.random(samples.size // 4, dtype=np.float32).view(np.uint8)
                bits = 12 if kind == 1 and lossless else 0
                if bits:
                    samples = (samples.view(np.uint16) >> 4).view(np.uint8)
                out.append(bytes([choice, 0x34, bits]) + samples.tobytes())
    return out


def png_files() -> list[bytes]:
    """Every PNG layout Pillow writes (palette, low-bit and 16-bit grey,
    alpha, Adam7), and 16-bit colour with cICP, Exif and XMP from the
    module's own writer."""
    import io

    from tessara_pillow.convert import pngfile

    out = []
    rgb = Image.fromarray(rng.integers(0, 256, (9, 11, 3), dtype=np.uint8))
    images = [rgb, rgb.convert("RGBA"), rgb.convert("L"), rgb.convert("LA"), rgb.convert("1"),
              rgb.quantize(16), Image.fromarray(rng.integers(0, 65536, (7, 5), dtype=np.uint16))]
    for im in images:
        for interlace in (0, 1):
            buffer = io.BytesIO()
            im.save(buffer, "PNG", interlace=interlace, transparency=0 if im.mode in ("L", "P") else None)
            out.append(buffer.getvalue())
    for channels in (2, 3, 4):
        buffer = io.BytesIO()
        pngfile.write(buffer, rng.integers(0, 65536, (6, 7, channels), dtype=np.uint16), cicp=(9, 16, 0, 1),
                      exif=b"II*\0\x08\0\0\0\0\0", xmp=b"<x:xmpmeta/>")
        out.append(buffer.getvalue())
    return out


def write(directory: Path, inputs: list[bytes]) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    for data in inputs:
        (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main() -> None:
    out, fixture_bin = Path(sys.argv[1]), Path(sys.argv[2])
    with tempfile.TemporaryDirectory() as tmp:
        files = jxl_files(Path(tmp), fixture_bin)
        for target in ("animation_fuzz", "boxes_fuzz", "decoder_fuzz", "decode_call_fuzz", "arrays_decode_fuzz"):
            write(out / target, files)
        write(out / "encoder_fuzz", encoder_inputs(Path(tmp)))
        write(out / "arrays_encode_fuzz", array_frames())
        write(out / "png_read_fuzz", png_files())
        # Four bytes choose how the file is split and cut (progressive_fuzz.cpp).
        write(out / "progressive_fuzz", [bytes([k * 37 % 256, k, 0, 0]) + f for k, f in enumerate(files)])
    print(f"fuzz_corpus: {len(files)} JPEG XL seeds in {out}")


if __name__ == "__main__":
    main()
