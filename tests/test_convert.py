"""tessara-convert on files: mixed trees both ways with djxl, Pillow and
exiftool as judges, JPEGs rebuilt bit for bit, metadata kept, bad files
failing alone, interrupted runs leaving no partial output, the same outputs
for any number of jobs, and the command line's own behaviour."""

import io
import json
import os
import pty
import signal
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np
import pytest
from PIL import Image, ImageCms, ImageOps, PngImagePlugin

import tessara_pillow
from jxltools import cjxl, declared_codestream, djxl, read_pnm, tool, write_pnm
from tessara_pillow.convert import main
from tessara_pillow.convert.provenance import RECORDS

rng = np.random.default_rng(7)
XMP = ('<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
       '<rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title><rdf:Alt>'
       '<rdf:li xml:lang="x-default">converted title</rdf:li></rdf:Alt></dc:title></rdf:Description>'
       '</rdf:RDF></x:xmpmeta>')


def picture(mode, size=(40, 28)):
    """A smooth picture with some noise, so that lossy coding stays close."""
    w, h = size
    y, x = np.mgrid[0:h, 0:w]
    base = (x * 5 + y * 3 + rng.integers(0, 12, size=(h, w))) % 256
    if mode == "I;16":
        return Image.fromarray((base * 257 + rng.integers(0, 256, size=(h, w))).astype(np.uint16), "I;16")
    if mode == "F":
        return Image.fromarray((base / 255).astype(np.float32), "F")
    bands = [((base + 60 * i) % 256).astype(np.uint8) for i in range(len(mode))]
    if "A" in mode:
        bands[-1] = np.where(x < w // 2, 255, 90).astype(np.uint8)
    return Image.fromarray(np.dstack(bands) if len(bands) > 1 else bands[0], mode)


def exif(artist="Ada", orientation=None):
    e = Image.Exif()
    e[0x013B] = artist
    if orientation:
        e[0x0112] = orientation
    return e.tobytes()


def srgb_icc():
    return ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


def convert(capsys, *args):
    """main() in this process: (exit status, stdout, stderr)."""
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def command(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tessara_pillow", *map(str, args)], capture_output=True,
                          text=True, **kwargs)


def pixels(path, tmp_path, suffix="pam"):
    """A .jxl file's pixels as djxl decodes them."""
    return read_pnm(djxl(path, tmp_path / f"check.{suffix}"))


def array(im):
    a = np.asarray(im)
    return a[..., None] if a.ndim == 2 else a


def exiftool(path, *tags):
    out = subprocess.run([tool("exiftool"), "-j", *tags, str(path)], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)[0]


def files(root):
    """Every file below root but the tool's records of its outputs."""
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*") if p.is_file() and p.name != RECORDS)


def entries(directory):
    """The entries of a directory but the tool's records of its outputs."""
    return [p for p in Path(directory).iterdir() if p.name != RECORDS]


@pytest.fixture
def tree(tmp_path):
    """PNGs of several modes, JPEGs with metadata, JPEG XL files with and
    without reconstruction data, nested; and files to be passed over."""
    src = tmp_path / "tree"
    (src / "photos" / "deep").mkdir(parents=True)
    (src / "jxl").mkdir()
    picture("RGB").save(src / "top.png")
    picture("RGB").save(src / "photos" / "a.jpg", quality=88, exif=exif(), xmp=XMP.encode())
    picture("L").save(src / "photos" / "b.jpeg", quality=75)
    picture("RGBA").save(src / "photos" / "deep" / "c.png")
    picture("I;16").save(src / "photos" / "deep" / "d.png")
    picture("RGB").quantize(32).save(src / "photos" / "deep" / "p.png", transparency=0)
    write_pnm(tmp_path / "e.ppm", array(picture("RGB")))
    cjxl(tmp_path / "e.ppm", src / "jxl" / "e.jxl", "-d", "0")
    picture("RGB").save(tmp_path / "f.jpg", quality=90)
    cjxl(tmp_path / "f.jpg", src / "jxl" / "f.jxl", "--lossless_jpeg=1")
    (src / "notes.txt").write_text("not an image")
    picture("L").save(src / ".hidden.png")
    return src


def test_a_mixed_tree_goes_to_jpeg_xl_and_back(tmp_path, capsys, tree):
    code, _, err = convert(capsys, tree, "-o", tmp_path / "jxl")
    assert code == 0, err
    out = tmp_path / "jxl"
    assert files(out) == ["jxl/e.jxl", "jxl/f.jxl", "photos/a.jxl", "photos/b.jxl", "photos/deep/c.jxl",
                          "photos/deep/d.jxl", "photos/deep/p.jxl", "top.jxl"]
    assert err.strip().startswith("tessara-convert: 6 converted, 2 copied, 0 failed;")
    # JPEGs are transcoded: djxl rebuilds them by itself
    for name in ("a.jpg", "b.jpeg"):
        rebuilt = djxl(out / "photos" / Path(name).with_suffix(".jxl"), tmp_path / "r.jpg").read_bytes()
        assert rebuilt == (tree / "photos" / name).read_bytes()
    # pixels at quality 90, close to the originals; JPEG XL inputs copied as they were
    for name, mode in (("top.png", "RGB"), ("photos/deep/c.png", "RGBA"), ("photos/deep/p.png", "RGBA")):
        original = array(Image.open(tree / name).convert(mode))
        decoded = pixels(out / Path(name).with_suffix(".jxl"), tmp_path).astype(int)
        assert decoded.shape == original.shape and np.abs(decoded - original).mean() < 8, name
    grey16 = pixels(out / "photos/deep/d.jxl", tmp_path, "pgm").astype(int)[..., 0]
    assert np.abs(grey16 - np.asarray(Image.open(tree / "photos/deep/d.png")).astype(int)).mean() < 1200
    for name in ("jxl/e.jxl", "jxl/f.jxl"):
        assert (out / name).read_bytes() == (tree / name).read_bytes()

    code, _, err = convert(capsys, out, "-o", tmp_path / "back")
    assert code == 0, err
    back = tmp_path / "back"
    assert files(back) == ["jxl/e.png", "jxl/f.jpg", "photos/a.jpg", "photos/b.jpg", "photos/deep/c.png",
                           "photos/deep/d.png", "photos/deep/p.png", "top.png"]
    assert (back / "photos/a.jpg").read_bytes() == (tree / "photos/a.jpg").read_bytes()
    assert (back / "photos/b.jpg").read_bytes() == (tree / "photos/b.jpeg").read_bytes()
    assert (back / "jxl/f.jpg").read_bytes() == (tmp_path / "f.jpg").read_bytes()
    np.testing.assert_array_equal(array(Image.open(back / "jxl/e.png")), read_pnm(tmp_path / "e.ppm"))
    for name in ("top", "photos/deep/c", "photos/deep/d"):
        suffix = "pgm" if name.endswith("d") else "pam"
        want = pixels(out / f"{name}.jxl", tmp_path, suffix)
        got = array(Image.open(back / f"{name}.png"))
        np.testing.assert_array_equal(got, want.reshape(got.shape))


def test_lossless_keeps_every_pixel_and_encodes_jpegs_as_pixels(tmp_path, capsys, tree):
    code, _, err = convert(capsys, tree / "photos", "-o", tmp_path / "out", "--lossless")
    assert code == 0, err
    out = tmp_path / "out"
    for name, mode in (("deep/c.png", "RGBA"), ("deep/p.png", "RGBA"), ("a.jpg", "RGB"), ("b.jpeg", "L")):
        original = array(Image.open(tree / "photos" / name).convert(mode))
        path = out / Path(name).with_suffix(".jxl")
        decoded = pixels(path, tmp_path, "pgm" if mode == "L" else "pam")
        np.testing.assert_array_equal(decoded, original)
        with Image.open(path) as im:
            assert not im.jpeg_reconstruction
    grey16 = pixels(out / "deep/d.jxl", tmp_path, "pgm")[..., 0]
    np.testing.assert_array_equal(grey16, np.asarray(Image.open(tree / "photos/deep/d.png")))


def test_a_jpeg_with_metadata_goes_to_jpeg_xl_and_back_to_the_same_bytes(tmp_path):
    jpeg = tmp_path / "photo.jpg"
    picture("RGB", (64, 48)).save(jpeg, quality=92, exif=exif("Grace", orientation=6), xmp=XMP.encode(),
                                  icc_profile=srgb_icc())
    done = command(jpeg)  # beside it
    assert done.returncode == 0, done.stderr
    found = exiftool(tmp_path / "photo.jxl", "-Artist", "-XMP:Title", "-Orientation")
    assert (found["Artist"], found["Title"], found["Orientation"]) == ("Grace", "converted title", "Rotate 90 CW")
    done = command(tmp_path / "photo.jxl", "-o", tmp_path / "back")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "back" / "photo.jpg").read_bytes() == jpeg.read_bytes()


@pytest.mark.parametrize("fmt, xmp_kept", [("png", True), ("jpeg", True), ("webp", True), ("tiff", False)])
def test_metadata_survives_pixel_conversions(tmp_path, capsys, fmt, xmp_kept):
    info = PngImagePlugin.PngInfo()
    info.add_itxt("XML:com.adobe.xmp", XMP)
    picture("RGB").save(tmp_path / "in.png", exif=exif("Ada"), pnginfo=info, icc_profile=srgb_icc())
    assert convert(capsys, tmp_path / "in.png")[0] == 0
    assert convert(capsys, tmp_path / "in.jxl", "--to", fmt, "-o", tmp_path / "out")[0] == 0
    for path in (tmp_path / "in.jxl", *entries(tmp_path / "out")):
        found = exiftool(path, "-Artist", "-XMP:Title", "-ProfileDescription")
        assert found["Artist"] == "Ada", path
        assert found.get("Title") == ("converted title" if xmp_kept or path.suffix == ".jxl" else None), path
    # sRGB is a colour encoding in a JPEG XL file; decoded, it comes as a profile again
    assert "ProfileDescription" in found


def test_an_exif_orientation_is_applied_to_the_pixels_of_a_jpeg_xl(tmp_path, capsys):
    im = picture("RGB")
    im.save(tmp_path / "turned.png", exif=exif(orientation=6))
    assert convert(capsys, tmp_path / "turned.png", "--lossless")[0] == 0
    upright = ImageOps.exif_transpose(Image.open(tmp_path / "turned.png"))
    np.testing.assert_array_equal(pixels(tmp_path / "turned.jxl", tmp_path, "ppm"), array(upright))
    assert exiftool(tmp_path / "turned.jxl", "-Orientation#").get("Orientation", 1) == 1


def png_declaring(width, height):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"\0" * 10)) + chunk(b"IEND", b"")


def jpeg_declaring(width, height):
    buffer = io.BytesIO()
    picture("RGB", (16, 16)).save(buffer, "JPEG")
    data = buffer.getvalue()
    sof = data.index(b"\xff\xc0")
    return data[:sof + 5] + struct.pack(">HH", height, width) + data[sof + 9:]


def cut_animation(path, fmt):
    """An animation of three frames that breaks off in its last."""
    buffer = io.BytesIO()
    frames = [picture("RGB", (64, 64)) for _ in range(3)]
    frames[0].save(buffer, fmt, save_all=True, append_images=frames[1:], duration=50, lossless=True)
    path.write_bytes(buffer.getvalue()[: len(buffer.getvalue()) * 5 // 6])


def truncated(path, fmt):
    buffer = io.BytesIO()
    picture("RGB", (64, 64)).save(buffer, fmt, **({"lossless": True} if fmt == "JXL" else {}))
    path.write_bytes(buffer.getvalue()[: len(buffer.getvalue()) // 2])


BAD = {
    "empty.png": (lambda p: p.write_bytes(b""), "not an image Pillow can read"),
    "text.jpg": (lambda p: p.write_text("hello"), "not an image Pillow can read"),
    "half.png": (lambda p: truncated(p, "PNG"), "a truncated PNG file: it ends after {size} bytes"),
    "half.jxl": (lambda p: truncated(p, "JXL"),
                 "a truncated JPEG XL file: it ends after {size} bytes, before its first pass is complete"),
    "bomb.png": (lambda p: p.write_bytes(png_declaring(100_000, 100_000)), "decompression bomb: 100000x100000"),
    "bomb.jxl": (lambda p: p.write_bytes(declared_codestream()), "decompression bomb: 100000x100000"),
    "bomb.jpg": (lambda p: p.write_bytes(jpeg_declaring(60_000, 60_000)), "decompression bomb: 60000x60000"),
    "moving.gif": (lambda p: cut_animation(p, "GIF"), "a truncated GIF file: it ends after {size} bytes"),
    "moving.jxl": (lambda p: cut_animation(p, "JXL"), "a truncated JPEG XL file: it ends after {size} bytes, in frame 2"),
    "head.jxl": (lambda p: container_head(p, 30),
                 "a truncated JPEG XL file: it ends after 30 bytes, before its image header ends"),
    "head.png": (lambda p: p.write_bytes(saved_as(picture("RGB"), "PNG")[:20]),
                 "a truncated PNG file: it ends after 20 bytes"),
    "head.gif": (lambda p: p.write_bytes(saved_as(picture("RGB"), "GIF")[:8]),
                 "a truncated GIF file: it ends after 8 bytes"),
    "head.webp": (lambda p: p.write_bytes(saved_as(picture("RGB"), "WEBP")[:40]),
                  "a WebP file that cannot be read: "),
    "cut.jpg": (lambda p: p.write_bytes(saved_as(picture("RGB", (64, 64)), "JPEG")[:400]),
                "a truncated JPEG file: it ends after 400 bytes"),
    "cmyk.jpg": (lambda p: picture("CMYK").save(p), "this is a CMYK JPEG, which lossless JPEG transcoding"),
    "arith.jpg": (lambda p: arithmetic_jpeg(p), "this is an arithmetic-coded JPEG, which lossless JPEG"),
    "missing.png": (lambda p: None, "No such file or directory"),
}


def container_head(path, count):
    """The first bytes of a JPEG XL file in a container, as cjxl writes a JPEG's."""
    jpeg, whole = path.with_name("whole.jpg"), path.with_name("whole.jxl")
    picture("RGB").save(jpeg)
    cjxl(jpeg, whole, "--lossless_jpeg=1")
    data = whole.read_bytes()
    assert data[4:8] == b"JXL " and len(data) > count
    path.write_bytes(data[:count])
    jpeg.unlink()
    whole.unlink()


def arithmetic_jpeg(path, *options):
    write_pnm(path.with_suffix(".ppm"), array(picture("RGB")))
    subprocess.run([tool("cjpeg"), "-arithmetic", *options, "-outfile", path, path.with_suffix(".ppm")], check=True)
    path.with_suffix(".ppm").unlink()


def good_files(directory, suffix, count=1):
    """Good inputs beside the bad: JPEG XL ones for a bad JPEG XL file, so
    that the run decodes (every input JPEG XL) rather than copies."""
    for i in range(count):
        picture("RGB").save(directory / f"good{i}{suffix}", **({"lossless": True} if suffix == ".jxl" else {}))
    return [directory / f"good{i}{suffix}" for i in range(count)]


@pytest.mark.parametrize("name", BAD)
def test_a_bad_file_fails_alone_with_one_line(tmp_path, capsys, name):
    make, reason = BAD[name]
    make(tmp_path / name)
    suffix = ".jxl" if name.endswith(".jxl") else ".png"
    good = good_files(tmp_path, suffix)
    code, _, err = convert(capsys, *good, tmp_path / name, "-o", tmp_path / "out")
    assert code == 1
    failure, summary = err.splitlines()
    size = (tmp_path / name).stat().st_size if (tmp_path / name).exists() else 0
    assert failure.startswith(f"tessara-convert: {tmp_path / name}: ") and reason.format(size=size) in failure, failure
    assert "Generic Error" not in failure and "Please build" not in failure
    assert "1 converted" in summary and "1 failed" in summary
    assert files(tmp_path / "out") == ["good0.png" if suffix == ".jxl" else "good0.jxl"]


@pytest.mark.parametrize("suffix", [".png", ".jxl"])
def test_bad_files_among_good_ones_never_give_a_traceback(tmp_path, suffix):
    """In a separate process, where libjxl's own notes on standard error
    are dropped: one line for each bad file and the summary."""
    src = tmp_path / "src"
    src.mkdir()
    bad = [name for name in BAD if name != "missing.png" and (name.endswith(".jxl") == (suffix == ".jxl"))]
    for name in bad:
        BAD[name][0](src / name)
    good_files(src, suffix, 3)
    done = command(src, tmp_path / "missing.png", "-o", tmp_path / "out", "--max-pixels", 50_000_000, "-j", 2)
    assert done.returncode == 1
    lines = done.stderr.splitlines()
    assert "Traceback" not in done.stderr
    assert len(lines) == len(bad) + 2, lines
    assert lines[-1].startswith(f"tessara-convert: 3 converted, {len(bad) + 1} failed;")
    for name in bad:
        assert sum(line.startswith(f"tessara-convert: {src / name}: ") for line in lines) == 1, name
    assert len(files(tmp_path / "out")) == 3


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGKILL, -9)])
def test_an_interrupted_run_leaves_no_partial_output(tmp_path, signum, status):
    src, out = tmp_path / "src", tmp_path / "out"
    src.mkdir()
    count = 8  # slow ones (noise, effort 9), so that the signal comes in the middle
    for i in range(count):
        Image.fromarray(rng.integers(0, 256, size=(128, 128, 3), dtype=np.uint8)).save(src / f"{i:02}.png")
    run = subprocess.Popen([sys.executable, "-m", "tessara_pillow", src, "-o", out, "--lossless", "-e", "9", "-j", "2"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not (out.exists() and any(not p.name.startswith(".") for p in entries(out))):
        assert run.poll() is None and time.monotonic() < deadline, "no output appeared"
        time.sleep(0.02)
    run.send_signal(signum)
    _, err = run.communicate(timeout=60)
    assert run.returncode == status, err
    finished = [p for p in entries(out) if not p.name.startswith(".")]
    assert 0 < len(finished) < count, "the run was not interrupted in its middle"
    for path in finished:  # each one whole: djxl decodes exactly its source
        np.testing.assert_array_equal(pixels(path, tmp_path, "ppm"), array(Image.open(src / f"{path.stem}.png")))
    if signum != signal.SIGKILL:
        assert [p.name for p in entries(out) if p.name.startswith(".")] == []
        assert "Traceback" not in err and err.strip().splitlines()[-1].startswith("tessara-convert: interrupted")
    # Running again finishes the work, keeps what was done and removes what
    # a killed run left.
    again = command(src, "-o", out, "--lossless", "-e", "1")
    assert again.returncode == 0 and f"{len(finished)} skipped" in again.stderr
    assert sorted(p.name for p in entries(out)) == [f"{i:02}.jxl" for i in range(count)]


def test_an_output_directory_inside_the_input_is_not_an_input(tmp_path, capsys):
    picture("RGB").save(tmp_path / "a.png")
    for summary in ("1 converted, 0 failed", "0 converted, 1 skipped, 0 failed"):
        code, _, err = convert(capsys, tmp_path, "-o", tmp_path / "jxl")
        assert code == 0 and err.startswith(f"tessara-convert: {summary}"), err
    assert files(tmp_path) == ["a.png", "jxl/a.jxl"]


def test_two_jobs_give_the_same_files_as_one(tmp_path, capsys, tree):
    for jobs in (1, 2):
        assert convert(capsys, tree, "-o", tmp_path / f"jxl{jobs}", "-j", jobs)[0] == 0
        assert convert(capsys, tmp_path / f"jxl{jobs}", "-o", tmp_path / f"back{jobs}", "-j", jobs)[0] == 0
    for kind in ("jxl", "back"):
        one, two = tmp_path / f"{kind}1", tmp_path / f"{kind}2"
        assert files(one) == files(two) and len(files(one)) == 8
        for name in files(one):
            assert (one / name).read_bytes() == (two / name).read_bytes(), name


def test_outputs_are_never_overwritten_or_shared_unless_asked(tmp_path, capsys):
    src, out = tmp_path / "src", tmp_path / "out"
    src.mkdir()
    picture("RGB").save(src / "a.jpg")
    picture("RGB").save(src / "a.png")
    picture("L").save(src / "b.png")
    out.mkdir()
    (out / "b.jxl").write_bytes(b"keep")
    clash = (f"tessara-convert: {src / 'a.png'}: its output {out / 'a.jxl'} is also the output of {src / 'a.jpg'}; "
             "--keep-extension keeps their names apart (a.jpg.jxl and a.png.jxl)")

    code, listing, err = convert(capsys, src, "-o", out, "--dry-run")
    assert code == 1 and err.splitlines() == [clash]
    assert listing.splitlines() == [f"{src / 'b.png'}: skipped, {out / 'b.jxl'} exists",
                                    f"{src / 'a.jpg'} -> {out / 'a.jxl'} (lossless JPEG transcode, effort 7)"]
    assert files(out) == ["b.jxl"]

    code, _, err = convert(capsys, src, "-o", out)
    assert code == 1 and err.splitlines()[0] == clash
    assert (out / "b.jxl").read_bytes() == b"keep"
    assert djxl(out / "a.jxl", tmp_path / "r.jpg").read_bytes() == (src / "a.jpg").read_bytes()

    # --overwrite replaces only what this tool made: never a file it did not make...
    code, _, err = convert(capsys, src / "b.png", "-o", out, "--overwrite")
    assert code == 1 and f"its output {out / 'b.jxl'} exists and is not replaced" in err
    assert (out / "b.jxl").read_bytes() == b"keep"
    # ...but its own output
    (out / "b.jxl").unlink()
    assert convert(capsys, src / "b.png", "-o", out, "-q", "30")[0] == 0
    lossy = (out / "b.jxl").read_bytes()
    code, _, _ = convert(capsys, src / "b.png", "-o", out, "--overwrite", "--lossless")
    assert code == 0 and (out / "b.jxl").read_bytes() != lossy and Image.open(out / "b.jxl").size == (40, 28)
    # in place, an output that would replace an input of the run is refused
    picture("RGB").save(src / "b.jxl")
    before = (src / "b.jxl").read_bytes()
    code, _, err = convert(capsys, src / "b.png", src / "b.jxl", "--overwrite")
    assert code == 1 and f"{src / 'b.png'}: its output {src / 'b.jxl'} is an input of this run" in err
    assert (src / "b.jxl").read_bytes() == before
    # an input already in the format asked for is left alone, or copied...
    code, _, err = convert(capsys, src / "b.png", "--to", "png", "-v")
    assert code == 0 and "0 converted, 1 skipped" in err
    assert convert(capsys, src / "b.jxl", "--to", "jxl", "-o", tmp_path / "copy")[0] == 0
    assert (tmp_path / "copy" / "b.jxl").read_bytes() == before
    # ...unless a new encoding is asked for
    assert convert(capsys, src / "b.jxl", "--to", "jxl", "-q", "30", "-o", tmp_path / "again")[0] == 0
    assert len((tmp_path / "again" / "b.jxl").read_bytes()) < len(before)


@pytest.mark.parametrize(
    "mode, fmt, expected_mode, expected",
    [
        ("RGBA", "jpeg", "RGB", lambda im: on_white(np.asarray(im))),
        ("I;16", "jpeg", "L", lambda im: Image.fromarray((np.asarray(im) / 257 + 0.5).astype(np.uint8))),
        ("LA", "png", "LA", lambda im: im),
        ("I;16", "png", "I;16", lambda im: im),
        ("F", "png", "I;16", lambda im: Image.fromarray((np.asarray(im) * 65535 + 0.5).astype(np.uint16))),
        ("LA", "webp", "RGBA", lambda im: im.convert("RGBA")),
    ],
)
def test_jpeg_xl_images_become_what_the_format_can_hold(tmp_path, capsys, mode, fmt, expected_mode, expected):
    im = picture(mode)
    im.save(tmp_path / "in.jxl", lossless=True)
    options = ["--lossless"] if fmt == "webp" else []
    code, _, err = convert(capsys, tmp_path / "in.jxl", "--to", fmt, *options)
    assert code == 0, err
    with Image.open(next(p for p in entries(tmp_path) if p.suffix not in (".jxl",))) as out:
        assert out.mode == expected_mode
        want = expected(im)
        if fmt == "jpeg":  # what Pillow's JPEG writer makes of the expected pixels
            want = Image.open(io.BytesIO(saved_as(want, "JPEG", quality=90)))
        difference = np.abs(np.asarray(out).astype(int) - np.asarray(want).astype(int))
        assert difference.mean() <= (0.5 if fmt == "jpeg" else 0)


def on_white(rgba):
    a = rgba[..., 3:].astype(np.float64) / 255
    return Image.fromarray(np.rint(rgba[..., :3] * a + 255 * (1 - a)).astype(np.uint8), "RGB")


def saved_as(im, fmt, **options):
    buffer = io.BytesIO()
    im.save(buffer, fmt, **options)
    return buffer.getvalue()


def test_the_progress_line_shows_on_a_terminal_only(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for i in range(4):
        picture("RGB").save(src / f"{i}.png")
    main_end, terminal = pty.openpty()
    run = subprocess.Popen([sys.executable, "-m", "tessara_pillow", src, "-o", tmp_path / "a"],
                           stdout=subprocess.DEVNULL, stderr=terminal)
    os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(main_end, 4096)
        except OSError:  # the terminal closed with the program
            break
        if not chunk:
            break
        shown += chunk
    os.close(main_end)
    assert run.wait() == 0
    assert b"\r[" in shown and b"/4 files" in shown and b"left" in shown
    assert b"4 converted" in shown
    piped = command(src, "-o", tmp_path / "b")
    assert "\r" not in piped.stderr and piped.stderr.startswith("tessara-convert: 4 converted")


@pytest.mark.parametrize(
    "args, message",
    [
        (["--to", "nosuch", "x.png"], "cannot write 'nosuch'; the formats are: "),
        (["-e", "11", "x.png"], "11 is not from 1 to 10"),
        (["-q", "eighty", "x.png"], "'eighty' is not a number"),
        (["-q", "80"], "need INPUT files or directories"),
        (["--to", "jpeg", "--lossless", "x.png"], "JPEG has no lossless mode"),
        (["-q", "90", "--lossless", "x.png"], "not allowed with argument"),
        (["--scheduler", "local:x", "x.png"], "local:N needs N from 1 to 1024"),
        (["--scheduler", "local:2", "-j", "2", "x.png"], "--jobs: with --scheduler each worker converts"),
        (["--scheduler", "local:2"], "need INPUT files or directories"),
        (["--keep-extension"], "need INPUT files or directories"),
    ],
)
def test_usage_errors_are_one_line_and_status_2(capsys, args, message):
    with pytest.raises(SystemExit) as exit:
        main(args)
    err = capsys.readouterr().err
    assert exit.value.code == 2
    assert err.startswith("usage: tessara-convert") and message in err.splitlines()[-1]


def test_help_says_what_it_does():
    done = command("--help")
    assert done.returncode == 0
    for text in ("usage: tessara-convert [OPTION]... [INPUT]...", "--jobs N", "Exit status:", "Examples:"):
        assert text in done.stdout
    assert all(len(line) <= 80 for line in done.stdout.splitlines())
