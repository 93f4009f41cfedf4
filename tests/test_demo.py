"""The demonstration: every number of its table agrees with the files it
wrote, as djxl, Pillow and numpy read them, and `tessara-convert` with no
arguments runs it on the real default image."""

import io
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from jxltools import djxl, read_pfm, read_pnm
from pngtools import pngcheck
from tessara_pillow.convert import demo, main, scene
from tessara_pillow.convert.provenance import RECORDS

SMALL = (192, 128)
SUFFIX = {"L": "pgm", "LA": "pam", "RGB": "ppm", "RGBA": "pam", "I;16": "pgm", "F": "pfm"}
PARTS = {mode: part for mode, _, part, _ in demo.MODES}


def parse(text):
    """The table's rows as dicts keyed by the header, cut at the columns the
    dashed line marks, and the line that says where the files went."""
    lines = text.splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith("----"))
    spans = [m.start() for m in re.finditer(r"-+", lines[at])] + [None]
    names = [lines[at - 1][a:b].strip() for a, b in zip(spans, spans[1:])]
    names[5], names[7] = "encode MP/s", "decode MP/s"
    rows = []
    for line in lines[at + 1:]:
        if not line.strip():
            break
        rows.append(dict(zip(names, (line[a:b].strip() for a, b in zip(spans, spans[1:])))))
    return rows, next(line for line in lines if " Wrote " in line)


def samples(mode, path, tmp_path):
    """What djxl decodes a file to, as an array shaped like Pillow's."""
    out = djxl(path, tmp_path / f"ref.{SUFFIX[mode]}")
    ref = read_pfm(out) if mode == "F" else read_pnm(out)
    return ref[..., 0] if mode in ("L", "I;16", "F") else ref


def expected_psnr(original, decoded, peak, alpha):
    a, b = original.astype(np.float64), decoded.astype(np.float64)
    if alpha:  # premultiplied, rounded as Pillow's "RGBa" and "La" are
        a = np.concatenate([np.rint(a[..., :-1] * a[..., -1:] / 255), a[..., -1:]], axis=-1)
        b = np.concatenate([np.rint(b[..., :-1] * b[..., -1:] / 255), b[..., -1:]], axis=-1)
    mse = np.mean((a - b) ** 2)
    return math.inf if mse == 0 else 10 * math.log10(peak * peak / mse)


@pytest.fixture(scope="module")
def small_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    text = io.StringIO()
    rows = demo.run(out, SMALL, text)
    return out, rows, text.getvalue()


def test_every_row_of_the_table_is_what_the_files_say(small_run, tmp_path):
    out, rows, text = small_run
    table, last = parse(text)
    assert len(table) == len(rows) == 6 * 2 + len(demo.FASTER) + 3
    assert all(row.ok for row in rows)
    pixels = SMALL[0] * SMALL[1]
    picture = scene.landscape(SMALL)
    jxl_rows = [r for r in table if re.match(r"(lossless|quality 90), effort \d$", r["settings"])]
    assert len(jxl_rows) == 14
    for row in jxl_rows:
        mode = row["mode"].split()[0]
        lossless = row["settings"].startswith("lossless")
        effort = row["settings"][-1]
        path = out / f"{PARTS[mode]}-{'lossless' if lossless else 'q90'}-e{effort}.jxl"
        assert int(row["bytes"]) == path.stat().st_size, path
        assert float(row["bits/px"]) == pytest.approx(8 * path.stat().st_size / pixels, abs=0.006)
        original = np.asarray(picture.in_mode(mode))
        decoded = samples(mode, path, tmp_path)
        if lossless:
            assert row["result"] == "exact"
            np.testing.assert_array_equal(decoded.reshape(original.shape), original)
        else:
            peak = {"I;16": 65535, "F": 1.0}.get(mode, 255)
            want = expected_psnr(original, decoded.reshape(original.shape), peak, mode in ("LA", "RGBA"))
            assert float(row["result"].split()[1]) == pytest.approx(want, abs=0.05), row
    assert "Wrote 18 files" in last and last.endswith(f" to {out}.")


def test_the_jpeg_rows_rebuild_the_jpeg_and_say_how_much_it_saved(small_run, tmp_path):
    out, _, text = small_run
    table, _ = parse(text)
    png, jpeg_row, transcode = table[0], table[-2], table[-1]
    with Image.open(out / "photo.png") as im:
        assert im.tobytes() == scene.landscape(SMALL).rgb.tobytes()
        assert png["result"] == "exact" and int(png["bytes"]) == (out / "photo.png").stat().st_size
    jpeg = (out / "photo.jpg").read_bytes()
    assert int(jpeg_row["bytes"]) == len(jpeg)
    original = np.asarray(scene.landscape(SMALL).rgb)
    want = expected_psnr(original, np.asarray(Image.open(out / "photo.jpg")), 255, False)
    assert float(jpeg_row["result"].split()[1]) == pytest.approx(want, abs=0.01)
    # djxl rebuilds the JPEG on its own, and so did the demonstration
    rebuilt = djxl(out / "photo.jxl", tmp_path / "rebuilt.jpg").read_bytes()
    assert rebuilt == jpeg == (out / "photo-rebuilt.jpg").read_bytes()
    size = (out / "photo.jxl").stat().st_size
    assert int(transcode["bytes"]) == size
    saving = re.fullmatch(r"rebuilt bit for bit, (\d+\.\d)% smaller", transcode["result"])
    assert saving and float(saving[1]) == pytest.approx(100 * (1 - size / len(jpeg)), abs=0.05)


@pytest.mark.parametrize("options", [[], ["--keep-extension"]])
def test_the_demonstrations_folder_goes_back(small_run, tmp_path, capsys, options):
    """Its JPEG XL files become PNGs and photo.jxl its JPEG; the PNG and
    JPEG it wrote beside them are outputs of those, not inputs that would
    send the run the other way or share an output name."""
    out, _, _ = small_run
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    assert main([str(out), "-o", str(tmp_path / "back"), *options]) == 0, capsys.readouterr()
    made = sorted(p.name for p in (tmp_path / "back").iterdir() if p.name != RECORDS)
    assert made == sorted([n.replace(".jxl", ".png") for n in before if n.endswith("e7.jxl") or n.endswith("e3.jxl")]
                          + ["photo.jpg"])
    assert (tmp_path / "back" / "photo.jpg").read_bytes() == before["photo.jpg"]
    with Image.open(tmp_path / "back" / "colour8-lossless-e7.png") as back, Image.open(out / "photo.png") as png:
        assert back.tobytes() == png.tobytes()
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


def test_the_demonstration_replaces_only_its_own_files(tmp_path):
    demo.run(tmp_path, (48, 32), io.StringIO())
    demo.run(tmp_path, (48, 32), io.StringIO())  # again, over what it wrote
    Image.new("RGB", (8, 8)).save(tmp_path / "photo.png")  # the user's own file, under a name it writes
    theirs = (tmp_path / "photo.png").read_bytes()
    with pytest.raises(FileExistsError, match="photo.png exists"):
        demo.run(tmp_path, (48, 32), io.StringIO())
    assert (tmp_path / "photo.png").read_bytes() == theirs


def test_the_picture_is_the_same_every_time_and_photo_like():
    a, b = scene.landscape((96, 64)), scene.landscape((96, 64))
    for mode in ("RGB", "RGBA", "LA", "I;16", "F"):
        assert a.in_mode(mode).tobytes() == b.in_mode(mode).tobytes()
    assert scene.landscape((96, 64), seed=1).rgb.tobytes() != a.rgb.tobytes()
    # Real detail below 8 bits: far more distinct 16-bit levels than 8-bit ones.
    grey16 = np.asarray(a.in_mode("I;16"))
    assert len(np.unique(grey16)) > 4 * len(np.unique(np.asarray(a.in_mode("L"))))
    # Transparent sky above opaque land.
    alpha = np.asarray(a.alpha)
    assert alpha[0].max() == 0 and alpha[-1].min() == 255


def test_no_arguments_run_the_demonstration_on_the_default_image(tmp_path):
    """The real thing, once: the console script with no arguments (slow,
    half a minute; its timings are printed, never judged)."""
    script = Path(sys.executable).with_name("tessara-convert")
    done = subprocess.run([str(script)], capture_output=True, text=True, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    table, last = parse(done.stdout)
    assert len(table) == 17
    lossless = [r for r in table if r["settings"].startswith("lossless")]
    assert len(lossless) == 7 and all(r["result"] == "exact" for r in lossless)
    assert table[-1]["result"].startswith("rebuilt bit for bit, ")
    written = Path(re.fullmatch(r".* to (\S+) \(rm -r (\S+) removes them\)\.", last)[1])
    assert written.parent == tmp_path and len([p for p in written.iterdir() if p.name != RECORDS]) == 18
    assert last.endswith(f"(rm -r {written} removes them).")
    with Image.open(written / "photo.png") as im:
        assert im.size == demo.DEFAULT_SIZE and 2e6 < im.width * im.height < 6e6


def test_the_last_line_shows_a_command_that_makes_every_file_viewable(small_run, tmp_path):
    out, _, text = small_run
    last = text.splitlines()[-1]
    command = last.split(": ", 1)[1]
    assert last.startswith("To look at them in any image viewer") and command.startswith("tessara-convert ")
    bin_dir = Path(sys.executable).parent
    done = subprocess.run(["bash", "-c", command], capture_output=True, text=True,
                          env={**os.environ, "PATH": f"{bin_dir}:{os.environ['PATH']}"})
    assert done.returncode == 0, done.stderr
    made = sorted(p.name for p in (out / "viewable").iterdir() if p.name != RECORDS)
    assert made == sorted([f"{PARTS[m]}-{k}-e7.png" for m in PARTS for k in ("lossless", "q90")] +
                          ["colour8-lossless-e3.png", "colour8-q90-e3.png", "photo.jpg"])
    assert (out / "viewable" / "photo.jpg").read_bytes() == (out / "photo.jpg").read_bytes()
    for png in sorted((out / "viewable").glob("*.png")):
        pngcheck(png)
