"""tessara-convert and the file system: runs again in place, conflicts that
stay refused, outputs' permissions and durability, names that are not
ordinary, files that vanish, outputs that cannot be made, the temporary
files a killed run left, and what a run that fails inside leaves behind."""

import contextlib
import fcntl
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from jxltools import djxl
from test_convert import arithmetic_jpeg, array, convert, entries, files, picture, pixels
from tessara_pillow import jpeg_to_jxl
from tessara_pillow.convert import cli, planning
from tessara_pillow.convert.provenance import RECORDS

HOUR_AGO = time.time() - 3600


def made_earlier(*paths):
    """Photos that were there before any run (and so older than its outputs)."""
    for path in paths:
        os.utime(path, (HOUR_AGO, HOUR_AGO))


def contents(root):
    return {name: (Path(root) / name).read_bytes() for name in files(root)}


def jpeg_tree(src):
    picture("RGB").save(src / "a.jpg", quality=85)
    (src / "deep").mkdir()
    picture("L").save(src / "deep" / "b.jpeg")


def png_tree(src):
    picture("RGB").save(src / "a.png")
    (src / "deep").mkdir()
    picture("RGBA").save(src / "deep" / "b.png")


def mixed_tree(src):
    picture("RGB").save(src / "a.jpg")
    picture("LA").save(src / "b.png")
    picture("RGB").save(src / "c.jxl", lossless=True)  # a JPEG XL photo of its own: left alone
    picture("RGB").save(src / "d.tif")


def jxl_tree(src):
    jpeg = src / "a.jpg"
    picture("RGB").save(jpeg)
    (src / "a.jxl").write_bytes(jpeg_to_jxl(jpeg.read_bytes()))
    jpeg.unlink()
    picture("RGB").save(src / "b.jxl", quality=80)


RERUNS = {
    # tree, options, the outputs the first run adds
    "jpeg": (jpeg_tree, [], ["a.jxl", "deep/b.jxl"]),
    "png": (png_tree, [], ["a.jxl", "deep/b.jxl"]),
    "mixed": (mixed_tree, [], ["a.jxl", "b.jxl", "d.jxl"]),
    "to webp": (mixed_tree, ["--to", "webp"], ["a.webp", "b.webp", "c.webp", "d.webp"]),
    "back": (jxl_tree, [], ["a.jpg", "b.png"]),
}


@pytest.mark.parametrize("case", RERUNS)
def test_a_rerun_in_place_finishes_the_work_and_then_skips_everything(tmp_path, capsys, case):
    make, options, outputs = RERUNS[case]
    make(tmp_path)
    made_earlier(*tmp_path.rglob("*.*"))
    originals = files(tmp_path)
    code, _, err = convert(capsys, tmp_path, *options)
    assert code == 0 and f"{len(outputs)} converted" in err, err
    assert files(tmp_path) == sorted(originals + outputs)
    done = contents(tmp_path)
    # As if the first run had been interrupted before its last output.
    (tmp_path / outputs[-1]).unlink()
    code, _, err = convert(capsys, tmp_path, *options)
    assert code == 0 and err.startswith("tessara-convert: 1 converted,") and "0 failed" in err, err
    for again in range(2):
        code, listing, err = convert(capsys, tmp_path, *options, *(["-n"] if again else []))
        assert code == 0 and (again or err.startswith("tessara-convert: 0 converted,")), err
        assert " -> " not in listing and "is an input" not in err + listing
    assert contents(tmp_path) == done


def test_a_rerun_in_place_with_overwrite_converts_again(tmp_path, capsys):
    png_tree(tmp_path)
    made_earlier(*tmp_path.rglob("*.png"))
    assert convert(capsys, tmp_path, "-q", 50)[0] == 0
    before = (tmp_path / "a.jxl").read_bytes()
    code, _, err = convert(capsys, tmp_path, "--overwrite", "--lossless")
    assert code == 0 and err.startswith("tessara-convert: 2 converted, 0 failed"), err
    assert len((tmp_path / "a.jxl").read_bytes()) > len(before)
    np.testing.assert_array_equal(pixels(tmp_path / "a.jxl", tmp_path, "ppm"), array(picture_of(tmp_path / "a.png")))


def picture_of(path):
    with Image.open(path) as im:
        return im.convert("RGB")


def test_real_conflicts_stay_refused_in_place(tmp_path, capsys):
    out, tmp_path = tmp_path / "out", tmp_path / "photos"
    tmp_path.mkdir()
    picture("RGB").save(tmp_path / "a.jpg")
    picture("L").save(tmp_path / "a.png")
    made_earlier(tmp_path / "a.jpg", tmp_path / "a.png")
    clash = (f"{tmp_path / 'a.png'}: its output {tmp_path / 'a.jxl'} is also the output of {tmp_path / 'a.jpg'}; "
             "--keep-extension keeps their names apart (a.jpg.jxl and a.png.jxl)")
    for _ in range(2):  # two inputs with one output, however often it runs
        code, _, err = convert(capsys, tmp_path)
        assert code == 1 and err.splitlines()[0] == f"tessara-convert: {clash}"
    assert djxl(tmp_path / "a.jxl", tmp_path / "r.jpg").read_bytes() == (tmp_path / "a.jpg").read_bytes()
    (tmp_path / "r.jpg").unlink()
    # A PNG that was there before its JPEG XL is the user's, not an output of
    # it: converting the JPEG XL back over it is refused, even with --overwrite.
    (tmp_path / "a.jpg").unlink()
    original = (tmp_path / "a.png").read_bytes()
    code, _, err = convert(capsys, tmp_path, "--to", "png", "--overwrite")
    assert code == 1 and f"{tmp_path / 'a.jxl'}: its output {tmp_path / 'a.png'} is an input of this run" in err
    assert (tmp_path / "a.png").read_bytes() == original
    # Nor is the JPEG XL taken for the PNG's output because it is newer: it
    # was made from a.jpg, so with -o the two are inputs with one output.
    code, _, err = convert(capsys, tmp_path, "-o", out)
    assert code == 1 and "--keep-extension" in err
    code, _, err = convert(capsys, tmp_path, "-o", out, "--keep-extension")
    assert code == 0, err
    assert files(out) == ["a.jxl", "a.png.jxl"]


@pytest.mark.parametrize("umask", [0o022, 0o077])
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o644, 0o755, 0o400])
@pytest.mark.parametrize("kind", ["pixels", "transcode", "copy"])
def test_an_output_is_never_more_open_than_its_input(tmp_path, capsys, kind, mode, umask):
    path = tmp_path / {"pixels": "a.png", "transcode": "a.jpg", "copy": "a.jxl"}[kind]
    picture("RGB").save(path)
    path.chmod(mode)
    previous = os.umask(umask)
    try:
        assert convert(capsys, path, "-o", tmp_path / "out")[0] == 0
    finally:
        os.umask(previous)
    made, = entries(tmp_path / "out")
    assert stat.S_IMODE(made.stat().st_mode) == 0o666 & ~umask & (mode | 0o600)
    # its record names it and holds digests of its source: for its owner only
    assert stat.S_IMODE((tmp_path / "out" / RECORDS).stat().st_mode) == 0o600


def test_the_directory_of_an_output_is_synced_after_the_rename(tmp_path, capsys, monkeypatch):
    picture("RGB").save(tmp_path / "a.png")
    final = tmp_path / "out" / "deep" / "a.jxl"
    synced = []
    fsync = os.fsync

    def recording(fd):
        found = os.fstat(fd)
        if stat.S_ISDIR(found.st_mode):
            synced.append((found.st_ino, final.exists()))
        fsync(fd)

    monkeypatch.setattr(os, "fsync", recording)
    assert convert(capsys, tmp_path / "a.png", "-o", final.parent)[0] == 0
    assert (final.parent.stat().st_ino, True) in synced
    # the new directories' names too
    assert {(tmp_path.stat().st_ino, False), ((tmp_path / "out").stat().st_ino, False)} <= set(synced)


def test_odd_names_give_one_line_each(tmp_path, capsys):
    names = ["new\nline.png", "tab\tand\x1bescape.png", "caf\u00e9 \u65e5\u672c.png", "para\u2029graph.png"]
    for name in names:
        (tmp_path / name).write_text("not an image")
    raw = os.fsencode(tmp_path) + b"/caf\xe9.png"  # not UTF-8
    with open(raw, "wb") as f:
        f.write(b"not an image")
    long = "x" * 241 + ".png"  # its output's temporary name is longer than a name may be
    picture("RGB").save(tmp_path / long)
    code, _, err = convert(capsys, tmp_path, "-o", tmp_path / "out")
    lines = err.splitlines()
    assert code == 1 and len(lines) == len(names) + 2, lines
    assert lines[-1].startswith("tessara-convert: 1 converted, 5 failed")
    shown = "\n".join(lines)
    for text in ("new\\nline.png", "tab\\tand\\x1bescape.png", "caf\u00e9 \u65e5\u672c.png", "para\\u2029graph.png",
                 "caf\\xe9.png"):
        assert sum(text in line for line in lines) == 1, (text, shown)
    assert files(tmp_path / "out") == ["x" * 241 + ".jxl"]


@pytest.mark.parametrize("when", ["while planning", "after planning"])
def test_a_file_that_vanishes_fails_with_one_line(tmp_path, capsys, monkeypatch, when):
    for name in ("a.png", "b.png"):
        picture("RGB").save(tmp_path / name)
    if when == "while planning":
        identify = planning._identify

        def identify_then_remove(found, settings):
            known = identify(found, settings)
            if (tmp_path / "a.png").exists():
                (tmp_path / "a.png").unlink()
            return known

        monkeypatch.setattr(planning, "_identify", identify_then_remove)
    else:
        make_plan = planning.make_plan

        def plan_then_remove(inputs, settings):
            plan = make_plan(inputs, settings)
            (tmp_path / "a.png").unlink()
            return plan

        monkeypatch.setattr(planning, "make_plan", plan_then_remove)
    code, _, err = convert(capsys, tmp_path)
    assert code == 1 and err.splitlines() == [f"tessara-convert: {tmp_path / 'a.png'}: No such file or directory",
                                              err.splitlines()[1]]
    assert err.splitlines()[1].startswith("tessara-convert: 1 converted, 1 failed")


def unprivileged():
    """subprocess options that run as nobody when the tests run as root, for
    whom no permission is ever denied."""
    return {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}


@contextlib.contextmanager
def reachable_by_nobody(folder):
    """Gives others the search bit on FOLDER's directories that lack it (a
    checkout in a private temporary directory), so that a child run as nobody
    reaches the interpreter and package there; takes it back afterwards."""
    changed = []
    try:
        if os.geteuid() == 0:
            for directory in [folder, *folder.parents]:
                mode = directory.stat().st_mode
                if not mode & stat.S_IXOTH:
                    directory.chmod(stat.S_IMODE(mode) | stat.S_IXOTH)
                    changed.append((directory, stat.S_IMODE(mode)))
        yield
    finally:
        for directory, mode in changed:
            directory.chmod(mode)


def test_an_output_directory_that_cannot_be_made_stops_the_run_with_one_line(tmp_path, capsys):
    for name in ("a.png", "b.png"):
        picture("RGB").save(tmp_path / name)
    (tmp_path / "file").write_text("")
    code, _, err = convert(capsys, tmp_path / "a.png", tmp_path / "b.png", "-o", tmp_path / "file" / "out")
    assert code == 1 and err.splitlines() == [f"tessara-convert: cannot create the directory {tmp_path / 'file'}: "
                                              "a file has that name; nothing was converted"]
    # A directory the user may not write into (as nobody, since root may).
    base = Path(tempfile.mkdtemp())
    try:
        base.chmod(0o755)
        picture("RGB").save(base / "a.png")
        (base / "out").mkdir(mode=0o555)
        (base / "out").chmod(0o555)
        with reachable_by_nobody(Path(sys.prefix).absolute()):
            done = subprocess.run([sys.executable, "-m", "tessara_pillow", base / "a.png", "-o", base / "out"],
                                  capture_output=True, text=True, **unprivileged())
        assert done.returncode == 1
        assert done.stderr.splitlines() == [f"tessara-convert: cannot write in the directory {base / 'out'}: "
                                            "Permission denied; nothing was converted"]
        assert os.listdir(base / "out") == []
    finally:
        shutil.rmtree(base)


def test_a_rerun_removes_what_a_killed_run_left_and_nothing_else(tmp_path, capsys):
    picture("RGB").save(tmp_path / "a.png")
    picture("RGB").save(tmp_path / "b.png")
    out = tmp_path / "out"
    out.mkdir()
    picture("RGB").save(out / "b.jxl")  # b is skipped, but its leftovers go too
    left = [out / ".a.jxl.0123abcd.tmp", out / ".b.jxl.89abcdef.tmp"]
    kept = [out / ".c.jxl.0123abcd.tmp", out / ".a.jxl.notours.tmp", out / ".a.jxl.fedcba98.tmp"]
    for path in left + kept:
        path.write_bytes(b"partial")
    # Another instance still writing this one holds its lock.
    with open(kept[-1], "rb") as writing:
        fcntl.flock(writing, fcntl.LOCK_EX)
        code, listing, err = convert(capsys, tmp_path / "a.png", tmp_path / "b.png", "-o", out, "-v")
    assert code == 0, err
    assert sorted(p.name for p in entries(out)) == sorted(["a.jxl", "b.jxl"] + [p.name for p in kept])
    assert f"{left[0]}: removed, a temporary file left by an interrupted run" in listing


def test_a_run_that_fails_inside_stops_its_threads_and_restores_what_it_changed(tmp_path, monkeypatch):
    for i in range(4):
        Image.fromarray(np.random.default_rng(i).integers(0, 256, (96, 96, 3), dtype=np.uint8)).save(
            tmp_path / f"{i}.png")

    def failing(self, job, outcome):
        raise RuntimeError("a fault in reporting")

    monkeypatch.setattr(cli._Run, "_finished", failing)
    limit, handler = Image.MAX_IMAGE_PIXELS, signal.getsignal(signal.SIGTERM)
    with pytest.raises(RuntimeError, match="a fault in reporting"):
        cli.main([str(tmp_path), "-o", str(tmp_path / "out"), "-j", "2", "--lossless", "-e", "9"])
    assert not [t for t in threading.enumerate() if t.name.startswith("tessara-convert")]
    assert (Image.MAX_IMAGE_PIXELS, signal.getsignal(signal.SIGTERM)) == (limit, handler)
    # Nothing partial and nothing started after the fault: at most the two
    # jobs running when it came (both can end before the first is reported),
    # each one whole.
    written = files(tmp_path / "out")
    assert 1 <= len(written) <= 2 and all(not n.startswith(".") for n in written), written
    for name in written:
        with Image.open(tmp_path / "out" / name) as im, Image.open(tmp_path / name.replace(".jxl", ".png")) as src:
            assert im.tobytes() == src.tobytes()


@pytest.mark.parametrize("options", [[], ["-progressive"]])
def test_a_jpeg_that_cannot_be_transcoded_converts_as_the_refusal_says(tmp_path, capsys, options):
    arithmetic_jpeg(tmp_path / "arith.jpg", *options)
    picture("CMYK").save(tmp_path / "cmyk.jpg")
    code, _, err = convert(capsys, tmp_path)
    assert code == 1 and "2 failed" in err
    assert "--lossless or --quality encode its pixels instead" in err
    code, _, err = convert(capsys, tmp_path, "--lossless")
    assert code == 0 and "2 converted" in err, err
    for name in ("arith", "cmyk"):
        with Image.open(tmp_path / f"{name}.jpg") as im:
            want = array(im.convert("RGB"))
        assert np.abs(pixels(tmp_path / f"{name}.jxl", tmp_path, "ppm").astype(int) - want).max() <= 1


def same_name_tree(src):
    src.mkdir()
    picture("RGB").save(src / "photo.jpg", quality=85)
    picture("L").save(src / "photo.png")
    frames = [picture("RGB").quantize(64).convert("RGB").rotate(90 * k) for k in range(3)]
    frames[0].save(src / "clip.gif", save_all=True, append_images=frames[1:], duration=80, loop=0)
    picture("RGBA").save(src / "clip.png")


def test_same_name_inputs_are_refused_and_keep_extension_keeps_them_apart_both_ways(tmp_path, capsys):
    src = tmp_path / "src"
    same_name_tree(src)
    code, _, err = convert(capsys, src, "-o", tmp_path / "refused")
    lines = err.splitlines()[:-1]
    assert code == 1 and len(lines) == 2, err
    for line, (a, b) in zip(sorted(lines), [("clip.gif", "clip.png"), ("photo.jpg", "photo.png")]):
        assert line.endswith(f"; --keep-extension keeps their names apart ({a}.jxl and {b}.jxl)"), line
    assert convert(capsys, src, "-o", tmp_path / "jxl", "--keep-extension")[0] == 0
    assert files(tmp_path / "jxl") == ["clip.gif.jxl", "clip.png.jxl", "photo.jpg.jxl", "photo.png.jxl"]
    assert djxl(tmp_path / "jxl" / "photo.jpg.jxl", tmp_path / "r.jpg").read_bytes() == \
        (src / "photo.jpg").read_bytes()
    # in place too, and a rerun finds its outputs by their records
    assert convert(capsys, src, "--keep-extension")[0] == 0
    code, _, err = convert(capsys, src, "--keep-extension")
    assert code == 0 and err.startswith("tessara-convert: 0 converted, 4 skipped"), err
    # back: each name made so goes back to the name it was made from, where the format allows
    code, _, err = convert(capsys, tmp_path / "jxl", "-o", tmp_path / "back", "--keep-extension")
    assert code == 0, err
    assert files(tmp_path / "back") == ["clip.gif.png", "clip.png", "photo.jpg", "photo.png"]
    assert (tmp_path / "back" / "photo.jpg").read_bytes() == (src / "photo.jpg").read_bytes()
    with Image.open(tmp_path / "back" / "clip.gif.png") as apng:
        assert apng.n_frames == 3
    assert convert(capsys, tmp_path / "jxl" / "clip.gif.jxl", "-o", tmp_path / "gif", "--to", "gif",
                   "--keep-extension")[0] == 0
    assert files(tmp_path / "gif") == ["clip.gif"]
