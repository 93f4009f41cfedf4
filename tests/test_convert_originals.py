"""tessara-convert never overwrites an original: a file counts as its output
only when its record (or, for a rebuilt JPEG, the rebuild itself) proves it,
whatever the modification times say. Originals edited after conversion by
Pillow, exiftool, touch, cp -p or a restore from backup make their outputs
stale: said in one line, converted again with --overwrite, and no original
ever changes (every one hashed before and after, djxl judging the outputs)."""

import hashlib
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest
from PIL import Image, ImageDraw

from jxltools import djxl, tool
from test_convert import array, convert, files, picture, pixels
from tessara_pillow.convert.provenance import RECORDS

DAY_AGO = time.time() - 86400


def digests(root, names):
    return {name: hashlib.sha256((Path(root) / name).read_bytes()).hexdigest() for name in names}


def originals(folder):
    """garden.jpg (with Exif) and desert.png, made a day ago, with a backup
    of each; converted in place."""
    folder.mkdir()
    picture("RGB").save(folder / "garden.jpg", quality=90, exif=Image.Exif().tobytes())
    picture("RGB", (36, 30)).save(folder / "desert.png")
    backup = folder.parent / "backup"
    backup.mkdir()
    for name in ("garden.jpg", "desert.png"):
        os.utime(folder / name, (DAY_AGO, DAY_AGO))
        shutil.copy2(folder / name, backup / name)
    return backup


def exiftool(*args):
    subprocess.run([tool("exiftool"), "-q", "-overwrite_original", *map(str, args)], check=True, capture_output=True)


def redrawn(path):
    with Image.open(path) as im:
        im.load()
        ImageDraw.Draw(im).rectangle((4, 4, 20, 16), fill=(250, 10, 10))
        im.save(path, **({"quality": 90} if path.suffix == ".jpg" else {}))


def older_version(path, tmp_path):
    """A backup of another version of the file, with old times."""
    version = tmp_path / f"old-{path.name}"
    picture("L").convert("RGB").save(version, **({"quality": 70} if path.suffix == ".jpg" else {}))
    os.utime(version, (DAY_AGO - 86400, DAY_AGO - 86400))
    return version


# How the original `path` is edited after its conversion; whether its content changed.
EDITS = {
    "Pillow": (lambda path, tmp_path: redrawn(path), True),
    "exiftool": (lambda path, tmp_path: exiftool("-Artist=edited", path), True),
    "exiftool keeping the time": (lambda path, tmp_path: exiftool("-P", "-Artist=edited", path), True),
    "touch": (lambda path, tmp_path: subprocess.run(["touch", path], check=True), False),
    "touch the output older": (lambda path, tmp_path: os.utime(path.with_suffix(".jxl"), (DAY_AGO - 9e5,) * 2),
                               False),
    "cp -p of another version": (lambda path, tmp_path: subprocess.run(
        ["cp", "-p", older_version(path, tmp_path), path], check=True), True),
    "restore from backup": (lambda path, tmp_path: subprocess.run(
        ["cp", "-p", tmp_path / "backup" / path.name, path], check=True), False),
}


@pytest.mark.parametrize("name", ["garden.jpg", "desert.png"])
@pytest.mark.parametrize("edit", EDITS)
def test_an_edited_original_is_never_overwritten_and_its_output_goes_stale(tmp_path, capsys, edit, name):
    folder = tmp_path / "edit"
    originals(folder)
    assert convert(capsys, folder)[0] == 0
    change, changes_content = EDITS[edit]
    if edit == "restore from backup":
        redrawn(folder / name)  # edited first, then the backup brought back
        os.utime(folder / name, (time.time(),) * 2)
    change(folder / name, tmp_path)
    kept = digests(folder, ["garden.jpg", "desert.png"])
    outputs = digests(folder, ["garden.jxl", "desert.jxl"])
    output = (folder / name).with_suffix(".jxl")

    code, _, err = convert(capsys, folder)
    stale = [line for line in err.splitlines() if "stale" in line]
    assert code == 0 and digests(folder, kept) == kept, err
    assert digests(folder, outputs) == outputs  # without --overwrite nothing is written
    if changes_content:
        assert stale == [f"tessara-convert: {folder / name}: skipped, its output {output} is stale: {folder / name} "
                         "changed since it was converted (--overwrite converts it again)"]
    else:
        assert stale == [] and err.startswith("tessara-convert: 0 converted, 2 skipped"), err

    code, _, err = convert(capsys, folder, "--overwrite")
    assert code == 0 and digests(folder, kept) == kept, err
    assert files(folder) == ["desert.jxl", "desert.png", "garden.jpg", "garden.jxl"]
    # The output is the edited original's now (djxl judges), and the other one was redone as it was.
    if name == "garden.jpg":
        assert djxl(output, tmp_path / "r.jpg").read_bytes() == (folder / name).read_bytes()
    else:
        error = np.abs(pixels(output, tmp_path, "ppm").astype(int) - array(Image.open(folder / name).convert("RGB")))
        assert error.mean() < 8
    code, _, err = convert(capsys, folder)  # and then all is up to date
    assert code == 0 and "stale" not in err and err.startswith("tessara-convert: 0 converted, 2 skipped"), err


def test_an_output_edited_by_its_user_is_theirs(tmp_path, capsys):
    """Converted back in place, a.png is the tool's; edited, it is an
    original that --overwrite leaves, and so is an older unrelated PNG."""
    folder = tmp_path / "back"
    folder.mkdir()
    picture("RGB").save(folder / "a.jxl", lossless=True)
    picture("RGB").save(folder / "b.jxl", lossless=True)
    picture("L").save(folder / "c.png")  # unrelated, and older than the c.jxl beside it
    os.utime(folder / "c.png", (DAY_AGO, DAY_AGO))
    picture("RGB").save(folder / "c.jxl", lossless=True)
    (folder / "c.png").rename(tmp_path / "c.png")  # not there for the first run
    assert convert(capsys, folder)[0] == 0
    assert files(folder) == ["a.jxl", "a.png", "b.jxl", "b.png", "c.jxl", "c.png"]
    shutil.copy2(tmp_path / "c.png", folder / "c.png")
    redrawn(folder / "a.png")
    everything = digests(folder, files(folder))
    for options in ([], ["--overwrite"], ["--to", "png", "--overwrite"]):
        code, _, err = convert(capsys, folder, *options)
        assert digests(folder, everything) == everything, (options, err)
    # b.png still is the tool's: --overwrite --to png redoes it, the others are refused
    assert code == 1 and f"{folder / 'b.png'}" not in err and err.count("is an input of this run") == 2, err


def test_outputs_without_their_records_are_originals_but_a_rebuilt_jpeg_proves_itself(tmp_path, capsys):
    """Copied without the hidden records, a PNG's output can no longer be
    told from an original: --overwrite leaves it; a JPEG XL that rebuilds
    its JPEG byte for byte is that JPEG's, records or not."""
    folder = tmp_path / "edit"
    originals(folder)
    assert convert(capsys, folder)[0] == 0
    copy = tmp_path / "copy"
    copy.mkdir()
    for name in files(folder):
        shutil.copy(folder / name, copy / name)  # plain cp: new times, no hidden file
    everything = digests(copy, files(copy))
    code, _, err = convert(capsys, copy, "--overwrite", "-e", "3")
    assert code == 1 and f"its output {copy / 'desert.jxl'} is an input of this run" in err
    assert digests(copy, ["desert.png", "desert.jxl", "garden.jpg"]) == {k: everything[k] for k in
                                                                        ("desert.png", "desert.jxl", "garden.jpg")}
    assert djxl(copy / "garden.jxl", tmp_path / "r.jpg").read_bytes() == (copy / "garden.jpg").read_bytes()
    # cp -a keeps the records with the files: still the tool's outputs
    shutil.copytree(folder, tmp_path / "archive", copy_function=shutil.copy2)
    assert (tmp_path / "archive" / RECORDS).exists()
    code, _, err = convert(capsys, tmp_path / "archive", "--overwrite")
    assert code == 0 and err.startswith("tessara-convert: 2 converted"), err


def test_each_output_is_recorded_with_its_source(tmp_path, capsys):
    folder = tmp_path / "edit"
    originals(folder)
    assert convert(capsys, folder, "-o", tmp_path / "out")[0] == 0
    lines = [json.loads(line) for line in (tmp_path / "out" / RECORDS).read_text().splitlines()]
    assert sorted(line["name"] for line in lines) == ["desert.jxl", "garden.jxl"]
    for line in lines:
        output, source = tmp_path / "out" / line["name"], (tmp_path / "out" / line["source"]).resolve()
        assert source == (folder / line["name"]).with_suffix(".png" if "desert" in line["name"] else ".jpg")
        assert line["sha256"] == hashlib.sha256(output.read_bytes()).hexdigest()
        assert line["source_sha256"] == hashlib.sha256(source.read_bytes()).hexdigest()
        assert (line["size"], line["source_size"]) == (output.stat().st_size, source.stat().st_size)
