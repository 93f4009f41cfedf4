"""What tessara-convert says and keeps where a new user would look: a
larger output says so and --no-larger keeps the original, a broken file
that is only copied says it cannot be read, a directory that cannot be
written is one line, a Python without Pillow is told what to install, and
animations get defaults that keep them small (judged by djxl and Pillow)."""

import io
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image, ImageSequence

from jxltools import djxl, tool
from test_convert import convert, files, picture
from tessara_pillow.convert import animation

rng = np.random.default_rng(25)


def noise_png(path, side=64):
    """Black-and-white noise: a small PNG, a JPEG XL several times larger."""
    Image.fromarray((rng.integers(0, 2, (side, side)) * 255).astype(np.uint8)).convert("1").save(path)


def smooth_png(path):
    picture("RGB", (96, 64)).save(path)


@pytest.mark.parametrize("verbose", [False, True])
def test_a_larger_jpeg_xl_says_so_in_its_line(tmp_path, capsys, verbose):
    noise_png(tmp_path / "noise.png")
    smooth_png(tmp_path / "smooth.png")
    code, out, err = convert(capsys, tmp_path, *(["-v"] if verbose else []))
    assert code == 0 and "2 converted" in err
    size, larger = (tmp_path / "noise.png").stat().st_size, (tmp_path / "noise.jxl").stat().st_size
    assert larger > 2 * size
    lines = out.splitlines()
    said = [line for line in lines if line.startswith(f"{tmp_path / 'noise.png'} -> {tmp_path / 'noise.jxl'}: ")]
    assert len(said) == 1 and ", larger than its input (" in said[0] and "--no-larger keeps the original" in said[0]
    assert len(lines) == (2 if verbose else 1)  # the smaller one only with -v
    # Going back, larger PNGs are the rule: said only with -v.
    code, out, _ = convert(capsys, tmp_path / "smooth.jxl", "-o", tmp_path / "back", *(["-v"] if verbose else []))
    assert code == 0 and out.count(", larger than its input (") == verbose


@pytest.mark.parametrize("where", ["in place", "OUTDIR"])
def test_no_larger_keeps_the_original_and_says_so(tmp_path, capsys, where):
    src = tmp_path / "src"
    src.mkdir()
    noise_png(src / "noise.png")
    smooth_png(src / "smooth.png")
    original = (src / "noise.png").read_bytes()
    out = tmp_path / "out" if where == "OUTDIR" else src
    args = [src, "--no-larger"] + (["-o", out] if where == "OUTDIR" else [])
    for run in range(2):  # a second run finds the kept original and keeps it again
        code, said, err = convert(capsys, *args)
        assert code == 0, err
        assert "1 kept as they were (--no-larger)" in err and "0 failed" in err
        if where == "OUTDIR":
            assert f"{src / 'noise.png'} -> {out / 'noise.png'}: copied unchanged, " in said
            assert files(out) == ["noise.png", "smooth.jxl"]
            assert (out / "noise.png").read_bytes() == original
        else:
            assert f"{src / 'noise.png'}: kept as it is, " in said
            assert files(src) == ["noise.png", "smooth.jxl", "smooth.png"]
            (src / "smooth.jxl").unlink()
        assert "as JPEG XL it would be " in said
    assert (src / "noise.png").read_bytes() == original


def test_a_broken_file_that_is_copied_says_it_cannot_be_read(tmp_path, capsys):
    src = tmp_path / "src"
    src.mkdir()
    smooth_png(src / "good.png")
    buffer = io.BytesIO()
    picture("RGB", (64, 64)).save(buffer, "JXL", lossless=True)
    broken = buffer.getvalue()[: len(buffer.getvalue()) // 2]
    (src / "broken.jxl").write_bytes(broken)
    # djxl cannot read it either
    assert subprocess.run([tool("djxl"), src / "broken.jxl", tmp_path / "x.png"], capture_output=True).returncode
    code, _, err = convert(capsys, src, "-o", tmp_path / "out")
    lines = err.splitlines()
    assert code == 1 and len(lines) == 2, err
    assert lines[0].startswith(f"tessara-convert: {src / 'broken.jxl'}: copied unchanged to "
                               f"{tmp_path / 'out' / 'broken.jxl'}, but it cannot be read: ")
    assert "truncated" in lines[0]
    assert lines[1].startswith("tessara-convert: 1 converted, 1 copied (1 of them unreadable), 0 failed")
    assert (tmp_path / "out" / "broken.jxl").read_bytes() == broken


@pytest.mark.parametrize("verbose", [False, True])
def test_an_output_directory_that_cannot_be_made_is_one_line(tmp_path, capsys, verbose):
    for year, count in (("2023", 19), ("2024", 2)):
        (tmp_path / "src" / year).mkdir(parents=True)
        for i in range(count):
            picture("L", (8, 8)).save(tmp_path / "src" / year / f"{i}.png")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "2023").write_text("in the way")
    code, _, err = convert(capsys, tmp_path / "src", "-o", tmp_path / "out", *(["-v"] if verbose else []))
    cause = f"cannot create the directory {tmp_path / 'out' / '2023'}: a file has that name"
    lines = [line for line in err.splitlines() if cause in line]
    assert code == 1 and err.splitlines()[-1].startswith("tessara-convert: 2 converted, 19 failed")
    if verbose:
        assert len(lines) == 19 and all(line.startswith(f"tessara-convert: {tmp_path / 'src' / '2023'}/")
                                        for line in lines)
    else:
        assert err.splitlines()[:-1] == [f"tessara-convert: {cause} (no file goes there; -v lists them)"]
    assert files(tmp_path / "out") == ["2023", "2024/0.jxl", "2024/1.jxl"]


def test_without_pillow_the_command_says_what_to_install(tmp_path):
    fake = tmp_path / "no-pillow" / "PIL"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'PIL'\", name='PIL')\n")
    script = Path(sys.executable).with_name("tessara-convert")
    done = subprocess.run([script, tmp_path], capture_output=True, text=True,
                          env={"PYTHONPATH": str(fake.parent), "PATH": "/usr/bin:/bin"})
    assert done.returncode == 1 and "Traceback" not in done.stderr
    assert done.stderr.splitlines() == [
        f"tessara-convert: needs Pillow 11.0 or later (pip install 'Pillow>=11.0', or Debian's python3-pil); "
        f"{sys.executable} has no Pillow"]


def frames_of(path):
    with Image.open(path) as im:
        return [np.asarray(frame.convert("RGBA")) for frame in ImageSequence.Iterator(im)]


def sprite_frames(count=12):
    """A small sprite moving over a flat background: what drawn animations hold."""
    frames = []
    for i in range(count):
        a = np.full((48, 64, 3), (30, 60, 120), np.uint8)
        a[10:26, 4 + 4 * i:20 + 4 * i] = (250, 200, 40)
        frames.append(Image.fromarray(a))
    return frames


@pytest.mark.parametrize("name, options, lossless", [
    ("sprite.gif", {}, True),
    ("sprite.png", {}, True),  # APNG
    ("sprite.webp", {"lossless": True}, True),
    ("lossy.webp", {"quality": 80}, False),
])
def test_animations_keep_lossless_sources_exact_and_lossy_ones_small(tmp_path, capsys, name, options, lossless):
    frames = sprite_frames()
    source = tmp_path / "src" / name
    source.parent.mkdir()
    frames[0].save(source, save_all=True, append_images=frames[1:], duration=80, loop=0, **options)
    code, _, err = convert(capsys, source, "-o", tmp_path / "out")
    assert code == 0, err
    output = tmp_path / "out" / Path(name).with_suffix(".jxl").name
    # djxl's own decode, frame by frame (an APNG), against Pillow's of the source
    decoded = frames_of(djxl(output, tmp_path / "djxl.png"))
    original = frames_of(source)
    assert len(decoded) == len(original) == 12
    worst = max(np.abs(d.astype(int) - o.astype(int)).max() for d, o in zip(decoded, original))
    if lossless:
        assert worst == 0 and output.stat().st_size < source.stat().st_size
    else:
        assert worst > 0
        with Image.open(source) as im:  # the quality a lossy WebP animation gets, and no other
            want = io.BytesIO()
            im.save(want, "JXL", save_all=True, quality=animation.LOSSY_ANIMATION_QUALITY, effort=7)
        assert output.read_bytes() == want.getvalue()
