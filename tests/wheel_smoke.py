"""The installed wheel, at work where no libjxl is installed (run by
tools/wheel/check):

    python wheel_smoke.py reference DIR  in the build root: files made by cjxl,
                                         and what the module built there
                                         decodes from them
    python wheel_smoke.py check DIR OUT  with the wheel installed: decode those
                                         files and compare, encode every mode,
                                         transcode a JPEG and rebuild it, stay
                                         quiet on bad files; with Pillow, the
                                         plug-in, tessara-convert and a 16-bit
                                         PNG read and written too (without,
                                         tessara-convert's one line)
    python wheel_smoke.py verify OUT     in the build root: its module decodes
                                         what the wheel encoded

Standard library only (Pillow when present): the host interpreters have
nothing else. One line per check; the exit status is 1 if any failed."""

import array
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import tessara

JPEG = Path(__file__).parent / "data" / "small.jpg"
W, H = 64, 40
# Per mode: array type code of a sample, and how far two builds of libjxl
# may disagree on a lossy file (floating-point contraction differs by
# compiler); lossless files and rebuilt JPEGs must match exactly.
SAMPLES = {"L": ("B", 1), "LA": ("B", 1), "RGB": ("B", 1), "RGBA": ("B", 1),
           "I;16": ("H", 2), "F": ("f", 1e-4)}
failures = []


def check(label, condition, detail=""):
    print(f"{'ok  ' if condition else 'FAIL'} {label}{': ' + detail if detail else ''}", flush=True)
    if not condition:
        failures.append(label)


def value(x, y, c):
    """A smooth picture with some texture, the same everywhere."""
    return 0.5 + 0.35 * math.sin(x / 9 + c) * math.cos(y / 7 - c) + 0.08 * math.sin(x / 2.3 + y / 3.1)


def pixels(channels, scale):
    return [round(value(x, y, c) * scale) if scale else value(x, y, c)
            for y in range(H) for x in range(W) for c in range(channels)]


def raw(mode):
    """Pixels of a mode as the module takes them (native byte order)."""
    channels = {"L": 1, "LA": 2, "RGB": 3, "RGBA": 4, "I;16": 1, "F": 1}[mode]
    scale = {"I;16": 65535, "F": 0}.get(mode, 255)
    return array.array(SAMPLES[mode][0], pixels(channels, scale)).tobytes()


def differences(mode, a, b):
    code = SAMPLES[mode][0]
    return [abs(p - q) for p, q in zip(array.array(code, a), array.array(code, b))] or [0]


def same_image(label, mode, got, want):
    if got == want:
        return check(label, True, f"{mode}, {len(got)} bytes equal")
    if "lossy" not in label or len(got) != len(want) or mode not in SAMPLES:
        return check(label, False, f"{mode}, {len(got)} bytes differ from {len(want)}")
    diff = max(differences(mode, got, want))
    check(label, diff <= SAMPLES[mode][1], f"{mode}, lossy, largest difference {diff:g}")


def decoded(data):
    is_jpeg, info, image, icc, boxes = tessara.Decoder()(data)
    return {"is_jpeg": is_jpeg, "mode": info.mode, "width": info.width, "height": info.height,
            "num_channels": info.num_channels, "alpha": info.has_alpha_channel,
            "icc": hashlib.sha256(icc).hexdigest(), "boxes": [b.box_type.hex() for b in boxes]}, image


# ---- reference: the build root, with cjxl ---------------------------------

def write_sources(src):
    src.mkdir(parents=True, exist_ok=True)
    (src / "rgb8.ppm").write_bytes(f"P6\n{W} {H}\n255\n".encode() + bytes(pixels(3, 255)))
    (src / "rgba8.pam").write_bytes(
        f"P7\nWIDTH {W}\nHEIGHT {H}\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n".encode()
        + bytes(pixels(4, 255)))
    grey16 = array.array("H", pixels(1, 65535))
    if sys.byteorder == "little":
        grey16.byteswap()  # PGM is big-endian
    (src / "grey16.pgm").write_bytes(f"P5\n{W} {H}\n65535\n".encode() + grey16.tobytes())
    rows = [array.array("f", pixels(1, 0)[y * W:(y + 1) * W]).tobytes() for y in range(H)]
    # PFM: rows bottom to top, a negative scale for little-endian samples
    (src / "grey.pfm").write_bytes(f"Pf\n{W} {H}\n-1.0\n".encode() + b"".join(reversed(rows)))
    shutil.copy(JPEG, src / "photo.jpg")


# Every source lossy and lossless; a name without "lossy" must decode exactly.
FILES = {f"{name}-{kind}": (source, ["-d", distance])
         for name, source in (("rgb8", "rgb8.ppm"), ("rgba8", "rgba8.pam"),
                              ("grey16", "grey16.pgm"), ("float", "grey.pfm"))
         for kind, distance in (("lossy", "1"), ("lossless", "0"))}
FILES["jpeg-reconstruction"] = ("photo.jpg", ["--lossless_jpeg=1"])


def reference(directory):
    write_sources(directory / "src")
    manifest = {}
    for name, (source, options) in FILES.items():
        jxl = directory / f"{name}.jxl"
        subprocess.run(["cjxl", "--quiet", directory / "src" / source, jxl, *options], check=True)
        manifest[name], image = decoded(jxl.read_bytes())
        (directory / f"{name}.out").write_bytes(image)
        print(f"reference {name}: {manifest[name]['mode']}, {len(image)} bytes")
    (directory / "manifest.json").write_text(json.dumps(manifest, indent=1))
    # A 16-bit PNG with cICP, by ffmpeg, and its samples as ffmpeg decodes them.
    png = directory / "rgb16-pq.png"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"testsrc2=s={W}x{H}:d=1", "-frames:v", "1", "-vf",
                    "format=rgb48be,setparams=color_primaries=bt2020:color_trc=smpte2084:colorspace=gbr:range=pc",
                    png], check=True)
    samples = subprocess.run(["ffmpeg", "-v", "error", "-i", png, "-f", "rawvideo", "-pix_fmt", f"rgb48{sys.byteorder[0]}e",
                              "-"], check=True, capture_output=True).stdout
    png.with_suffix(".out").write_bytes(samples)
    print(f"reference {png.name}: {len(samples)} bytes")


# ---- check: where the wheel is installed -----------------------------------

def check_decoding(directory):
    manifest = json.loads((directory / "manifest.json").read_text())
    for name, want in manifest.items():
        facts, image = decoded((directory / f"{name}.jxl").read_bytes())
        check(f"decode {name}: header, ICC profile, boxes", facts == want,
              "" if facts == want else f"{facts} != {want}")
        same_image(f"decode {name}", facts["mode"], image, (directory / f"{name}.out").read_bytes())


def check_encoding(out):
    for mode in SAMPLES:
        data = raw(mode)
        for lossless in (True, False):
            kind = "lossless" if lossless else "lossy"
            jxl = tessara.Encoder(mode, lossless=lossless, quality=90)(data, W, H, False)
            facts, image = decoded(jxl)
            (out / f"encode-{mode.replace(';', '')}-{kind}.jxl").write_bytes(jxl)
            ok = (facts["mode"], facts["width"], facts["height"]) == (mode, W, H)
            if lossless:
                ok = ok and image == data
                check(f"encode {mode} {kind}", ok, f"{len(jxl)} bytes, decoded back exactly")
            else:
                # Quality 90 on a textured picture: small errors on average.
                errors = differences(mode, image, data) if len(image) == len(data) else [math.inf]
                mean = sum(errors) / len(errors) / {"I;16": 65535, "F": 1}.get(mode, 255)
                check(f"encode {mode} {kind}", ok and mean <= 0.01,
                      f"{len(jxl)} bytes, mean error {mean:.2%} of the range")


def check_transcoding(out):
    jpeg = JPEG.read_bytes()
    jxl = tessara.Encoder("RGB")(jpeg, 0, 0, True)
    (out / "transcoded.jxl").write_bytes(jxl)
    is_jpeg, _, rebuilt, _, _ = tessara.Decoder()(jxl)
    check("transcode a JPEG and rebuild it", is_jpeg and rebuilt == jpeg,
          f"{len(jpeg)} -> {len(jxl)} bytes, rebuilt bit for bit" if rebuilt == jpeg else "rebuilt JPEG differs")


QUIET_DECODE = """
import sys, tessara
data, jpeg = (open(path, "rb").read() for path in sys.argv[1:])
for bad in (data[: len(data) // 2], data[:40] + bytes(b ^ 0x5A for b in data[40:])):
    try:
        tessara.Decoder()(bad)
    except RuntimeError:
        pass
try:
    tessara.Encoder("RGB")(jpeg[:600], 0, 0, True)
except RuntimeError:
    pass
"""


def check_quiet(directory):
    """libjxl's failure notes (source locations, bytes of the file) are
    compiled out of the wheel's build."""
    run = subprocess.run([sys.executable, "-c", QUIET_DECODE, directory / "rgb8-lossy.jxl", JPEG],
                         capture_output=True, text=True)
    check("bad files and a cut JPEG: RuntimeError, nothing on standard error",
          run.returncode == 0 and run.stderr == "", run.stderr.strip()[:200])


def check_unwinding(directory):
    """A C++ exception thrown and caught inside the module (std::bad_alloc
    for a sequence that claims 2**62 items): the unwinder linked into the
    wheel finds its way."""

    class Huge(list):
        def __len__(self):
            return 2**62

    box = tessara.Decoder()((directory / "jpeg-reconstruction.jxl").read_bytes())[4][0]
    try:
        box.data = Huge([1])
        outcome = "no exception"
    except MemoryError:
        outcome = "MemoryError"
    check("out of memory inside the module", outcome == "MemoryError", outcome)


def check_pillow(directory, out):
    from PIL import Image

    import tessara_pillow  # noqa: F401  (registers the plug-in)

    manifest = json.loads((directory / "manifest.json").read_text())
    for name, facts in manifest.items():
        with Image.open(directory / f"{name}.jxl") as im:
            im.load()
            ok = im.format == "JXL" and im.size == (facts["width"], facts["height"])
            if im.mode == facts["mode"] and not facts["is_jpeg"]:
                ok = ok and im.tobytes() == decoded((directory / f"{name}.jxl").read_bytes())[1]
            check(f"Image.open {name}", ok, f"{im.mode} {im.size[0]}x{im.size[1]}")
    with Image.open(directory / "rgba8-lossless.jxl") as im:
        im.save(out / "saved-lossless.jxl", lossless=True)
        with Image.open(out / "saved-lossless.jxl") as again:
            check("Image.save through the plug-in, lossless", again.tobytes() == im.tobytes())
    check_convert(directory, out)


def check_convert(directory, out):
    from PIL import Image

    tree, there, back = out / "tree", out / "tree-jxl", out / "tree-back"
    (tree / "sub").mkdir(parents=True)
    with Image.open(directory / "rgb8-lossless.jxl") as im:
        im.save(tree / "picture.png")
    shutil.copy(JPEG, tree / "sub" / "photo.jpg")
    convert = shutil.which("tessara-convert", path=os.path.dirname(sys.executable))
    for src, dst in ((tree, there), (there, back)):
        run = subprocess.run([convert, src, "-o", dst], capture_output=True, text=True)
        check(f"tessara-convert {src.name} -o {dst.name}", run.returncode == 0,
              run.stderr.strip().splitlines()[-1] if run.stderr.strip() else "")
    # The outputs, and in each directory the hidden record of what the tool made there.
    made = sorted(p.relative_to(back).as_posix() for p in back.rglob("*") if p.is_file()
                  and p.name != ".tessara-convert-outputs")
    check("tessara-convert: its outputs recorded", all((d / ".tessara-convert-outputs").is_file()
                                                        for d in (back, back / "sub")))
    check("tessara-convert: the tree there and back", made == ["picture.png", "sub/photo.jpg"], str(made))
    rebuilt = back / "sub" / "photo.jpg"
    check("tessara-convert: the JPEG rebuilt bit for bit",
          rebuilt.exists() and rebuilt.read_bytes() == JPEG.read_bytes())


def check_convert_without_pillow(out):
    convert = shutil.which("tessara-convert", path=os.path.dirname(sys.executable))
    run = subprocess.run([convert, out], capture_output=True, text=True)
    lines = run.stderr.splitlines()
    check("tessara-convert without Pillow: one line that says what to install",
          run.returncode == 1 and len(lines) == 1 and "needs Pillow" in run.stderr, run.stderr.strip()[-300:])


def check_arrays():
    """The second module, tessara_pillow._native: every sample type there and
    back losslessly, through the array functions when numpy is here."""
    from tessara_pillow import _native, jxl_info

    for dtype, code, scale in (("uint8", "B", 255), ("uint16", "H", 65535), ("float32", "f", 0)):
        samples = array.array(code, pixels(3, scale)).tobytes()
        jxl = _native.encode(samples, W, H, 3, dtype, 0, True, 90.0, 3, 0, None, None, None, -1)
        decoder = _native.FrameDecoder(jxl, "", 0, True, -1)
        buffer, _, _ = decoder.decode(0)
        found = (decoder.height, decoder.width, decoder.channels, decoder.dtype)
        check(f"arrays: {dtype} lossless there and back", found == (H, W, 3, dtype)
              and bytes(memoryview(buffer)) == samples and jxl_info(jxl).dtype == dtype)
    try:
        import numpy
    except ImportError:
        print("(no numpy here: decode_array and encode_array are checked elsewhere)")
        return
    from tessara_pillow import decode_array, encode_array

    a = numpy.arange(W * H * 4, dtype=numpy.uint16).reshape(H, W, 4) * 7 % 4096
    check("arrays: a 12-bit numpy array there and back",
          numpy.array_equal(decode_array(encode_array(a, lossless=True, bits_per_sample=12)), a))
    frames = numpy.stack([a[..., :3] // 16 + i for i in range(3)]).astype(numpy.uint8)
    clip = encode_array(frames, lossless=True, duration=[40, 50, 60])
    check("arrays: a 3-frame animation there and back, frame by frame",
          numpy.array_equal(decode_array(clip), frames) and numpy.array_equal(decode_array(clip, index=1), frames[1]))
    from PIL import Image, ImageSequence
    import io
    with Image.open(io.BytesIO(clip)) as im:
        timing = [(f.info["duration"], f.info["timestamp"]) for f in ImageSequence.Iterator(im)]
    check("plug-in: the animation's frames and their timing", timing == [(40, 0), (50, 40), (60, 90)])


def check_png(directory, out):
    """libpng, linked into the second module: a 16-bit PNG read at full
    depth with its cICP, and written back with them."""
    from tessara_pillow import _native

    png = directory / "rgb16-pq.png"
    samples = png.with_suffix(".out").read_bytes()
    buffer, h, w, c, dtype, facts = _native.png_read(png.read_bytes(), 1 << 30)
    check("png: ffmpeg's 16-bit PQ PNG read whole, with its cICP",
          (h, w, c, dtype, facts[0]) == (H, W, 3, "uint16", (9, 16, 0, 1)) and bytes(memoryview(buffer)) == samples)
    written = _native.png_write(samples, W, H, 3, "uint16", (9, 16, 0, 1), None, None, None, 6)
    (out / "rgb16-pq.png").write_bytes(written)
    buffer, *_, facts = _native.png_read(written, 1 << 30)
    check("png: written and read back", bytes(memoryview(buffer)) == samples and facts[0] == (9, 16, 0, 1))


def check_all(directory, out):
    out.mkdir(parents=True, exist_ok=True)
    print(f"tessara from {Path(tessara.__file__).parent}, Python {sys.version.split()[0]}")
    check_decoding(directory)
    check_encoding(out)
    check_transcoding(out)
    check_quiet(directory)
    check_unwinding(directory)
    try:
        import PIL  # noqa: F401
    except ImportError:
        print("(no Pillow here: the plug-in and the converter's work are checked elsewhere)")
        check_convert_without_pillow(out)
    else:
        check_pillow(directory, out)
        check_arrays()
        check_png(directory, out)
    # What the wheel decoded from its own files, for verify.
    for jxl in sorted(out.glob("*.jxl")):
        facts, image = decoded(jxl.read_bytes())
        jxl.with_suffix(".out").write_bytes(image)
        jxl.with_suffix(".json").write_text(json.dumps(facts))


def verify(out):
    for jxl in sorted(out.glob("*.jxl")):
        facts, image = decoded(jxl.read_bytes())
        check(f"verify {jxl.name}: header", facts == json.loads(jxl.with_suffix(".json").read_text()))
        same_image(f"verify {jxl.name}", facts["mode"], image, jxl.with_suffix(".out").read_bytes())


if __name__ == "__main__":
    command, *paths = sys.argv[1:]
    {"reference": reference, "check": check_all, "verify": verify}[command](*map(Path, paths))
    if failures:
        print(f"{len(failures)} check(s) failed: {', '.join(failures)}")
        sys.exit(1)
