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

from jxltools import cjxl, djxl, tool
from test_convert import array, convert, files, picture, pixels
from tessara_pillow.convert import one_file, planning
from tessara_pillow.convert.outputs import Outputs
from tessara_pillow.convert.provenance import RECORDS

DAY_AGO = time.time() - 86400


def digests(root, names):
    return {name: hashlib.sha256((Path(root) / name).read_bytes()).hexdigest() for name in names}


# The originals of a folder converted in place, and their outputs.
OUTPUTS = {
    "to jpeg xl": {"garden.jpg": "garden.jxl", "desert.png": "desert.jxl"},
    "back": {"garden.jxl": "garden.jpg", "desert.jxl": "desert.png"},
}


def save_version(path, im, tmp_path):
    """`im` as the file `path` is: a JPEG, a PNG, its lossless JPEG XL, or
    the transcode of its JPEG (garden.jxl), as cjxl makes it; with an Exif
    Artist that exiftool can change without changing its length, so that
    the JPEG still rebuilds."""
    exif = Image.Exif()
    exif[0x013B] = "unedited"
    if path.name == "garden.jxl":
        im.save(tmp_path / "version.jpg", quality=90, exif=exif.tobytes())
        cjxl(tmp_path / "version.jpg", tmp_path / "version.jxl", "--lossless_jpeg=1")
        shutil.copy(tmp_path / "version.jxl", path)
    else:
        options = {".jpg": {"quality": 90}, ".jxl": {"lossless": True}}.get(path.suffix, {})
        im.save(path, exif=exif.tobytes(), **options)


def originals(folder, direction, tmp_path):
    """garden and desert, made a day ago, with a backup of each."""
    folder.mkdir()
    backup = tmp_path / "backup"
    backup.mkdir()
    for name, size in zip(OUTPUTS[direction], [(40, 28), (36, 30)]):
        save_version(folder / name, picture("RGB", size), tmp_path)
        os.utime(folder / name, (DAY_AGO, DAY_AGO))
        shutil.copy2(folder / name, backup / name)


def exiftool(*args):
    subprocess.run([tool("exiftool"), "-q", "-overwrite_original", *map(str, args)], check=True, capture_output=True)


def redrawn(path, tmp_path):
    with Image.open(path) as im:
        im = im.convert("RGB")
    ImageDraw.Draw(im).rectangle((4, 4, 20, 16), fill=(250, 10, 10))
    save_version(path, im, tmp_path)


def older_version(path, tmp_path):
    """Another version of the file, with old times, copied over it by cp -p."""
    version = tmp_path / "old" / path.name
    version.parent.mkdir()
    save_version(version, picture("L").convert("RGB"), tmp_path)
    os.utime(version, (DAY_AGO - 86400, DAY_AGO - 86400))
    subprocess.run(["cp", "-p", version, path], check=True)


def restored(path, tmp_path):
    """Edited, then the backup brought back (its old times too)."""
    redrawn(path, tmp_path)
    subprocess.run(["cp", "-p", tmp_path / "backup" / path.name, path], check=True)


# How the original is edited after its conversion, given it and its output;
# whether its content changed.
EDITS = {
    "Pillow": (lambda path, output, tmp_path: redrawn(path, tmp_path), True),
    "exiftool": (lambda path, output, tmp_path: exiftool("-Artist=modified", path), True),
    "exiftool keeping the time": (lambda path, output, tmp_path: exiftool("-P", "-Artist=modified", path), True),
    "touch": (lambda path, output, tmp_path: subprocess.run(["touch", path], check=True), False),
    "touch the output older": (lambda path, output, tmp_path: os.utime(output, (DAY_AGO - 9e5,) * 2), False),
    "cp -p of another version": (lambda path, output, tmp_path: older_version(path, tmp_path), True),
    "restore from backup": (lambda path, output, tmp_path: restored(path, tmp_path), False),
}


def judged(output, source, tmp_path):
    """That djxl finds `output` made from `source`, as it now is."""
    if output.suffix == ".jpg":  # a rebuilt JPEG: byte for byte
        assert djxl(source, tmp_path / "r.jpg").read_bytes() == output.read_bytes()
    elif source.name == "garden.jpg":  # transcoded
        assert djxl(output, tmp_path / "r.jpg").read_bytes() == source.read_bytes()
    else:  # pixels, quality 90 to JPEG XL, exactly back to PNG
        jxl, other = (output, source) if output.suffix == ".jxl" else (source, output)
        error = np.abs(pixels(jxl, tmp_path, "ppm").astype(int) - array(Image.open(other).convert("RGB")))
        assert error.mean() < (8 if jxl is output else 0.5), (output, error.mean())


@pytest.mark.parametrize("direction", OUTPUTS)
@pytest.mark.parametrize("which", [0, 1], ids=["garden", "desert"])
@pytest.mark.parametrize("edit", EDITS)
def test_an_edited_original_is_never_overwritten_and_its_output_goes_stale(tmp_path, capsys, edit, which, direction):
    folder = tmp_path / "edit"
    originals(folder, direction, tmp_path)
    assert convert(capsys, folder)[0] == 0
    name, output_name = list(OUTPUTS[direction].items())[which]
    path, output = folder / name, folder / output_name
    change, changes_content = EDITS[edit]
    change(path, output, tmp_path)
    kept = digests(folder, OUTPUTS[direction])
    outputs = digests(folder, OUTPUTS[direction].values())

    code, _, err = convert(capsys, folder)
    stale = [line for line in err.splitlines() if "stale" in line]
    assert code == 0 and digests(folder, kept) == kept, err
    assert digests(folder, outputs) == outputs  # without --overwrite nothing is written
    if changes_content:
        assert stale == [f"tessara-convert: {path}: skipped, its output {output} is stale: {path} "
                         "changed since it was converted (--overwrite converts it again)"]
    else:
        assert stale == [] and err.startswith("tessara-convert: 0 converted, 2 skipped"), err

    code, _, err = convert(capsys, folder, "--overwrite")
    assert code == 0 and digests(folder, kept) == kept, err
    assert files(folder) == sorted([*OUTPUTS[direction], *OUTPUTS[direction].values()])
    for source, made in OUTPUTS[direction].items():  # the edited one's output is the edited original's now
        judged(folder / made, folder / source, tmp_path)
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
    redrawn(folder / "a.png", tmp_path)
    everything = digests(folder, files(folder))
    for options in ([], ["--overwrite"], ["--to", "png", "--overwrite"]):
        code, _, err = convert(capsys, folder, *options)
        assert digests(folder, everything) == everything, (options, err)
    # b.png still is the tool's: --overwrite --to png redoes it, the others are refused
    assert code == 1 and f"{folder / 'b.png'}" not in err and err.count("is an input of this run") == 2, err


def test_outputs_without_their_records_are_originals_but_a_rebuilt_jpeg_proves_itself(tmp_path, capsys):
    """Copied without the hidden records, an output can no longer be told
    from an original: --overwrite leaves it, though the JPEG XL rebuilds its
    JPEG; with them (cp -a), they are the tool's outputs."""
    folder = tmp_path / "edit"
    originals(folder, "to jpeg xl", tmp_path)
    assert convert(capsys, folder)[0] == 0
    copy = tmp_path / "copy"
    copy.mkdir()
    for name in files(folder):
        shutil.copy(folder / name, copy / name)  # plain cp: new times, no hidden file
    everything = digests(copy, files(copy))
    code, _, err = convert(capsys, copy, "--overwrite", "-e", "3")
    assert code == 1 and digests(copy, everything) == everything, err
    for name in ("desert", "garden"):
        assert f"its output {copy / name}.jxl is an input of this run" in err
    # cp -a keeps the records with the files: still the tool's outputs
    shutil.copytree(folder, tmp_path / "archive", copy_function=shutil.copy2)
    assert (tmp_path / "archive" / RECORDS).exists()
    code, _, err = convert(capsys, tmp_path / "archive", "--overwrite")
    assert code == 0 and err.startswith("tessara-convert: 2 converted"), err


def test_each_output_is_recorded_with_its_source(tmp_path, capsys):
    folder = tmp_path / "edit"
    originals(folder, "to jpeg xl", tmp_path)
    assert convert(capsys, folder, "-o", tmp_path / "out")[0] == 0
    lines = [json.loads(line) for line in (tmp_path / "out" / RECORDS).read_text().splitlines()]
    assert sorted(line["name"] for line in lines) == ["desert.jxl", "garden.jxl"]
    for line in lines:
        output, source = tmp_path / "out" / line["name"], (tmp_path / "out" / line["source"]).resolve()
        assert source == (folder / line["name"]).with_suffix(".png" if "desert" in line["name"] else ".jpg")
        assert line["sha256"] == hashlib.sha256(output.read_bytes()).hexdigest()
        assert line["source_sha256"] == hashlib.sha256(source.read_bytes()).hexdigest()
        assert (line["size"], line["source_size"]) == (output.stat().st_size, source.stat().st_size)


def test_an_output_changed_after_the_run_was_planned_is_not_replaced(tmp_path, capsys):
    folder = tmp_path / "edit"
    originals(folder, "to jpeg xl", tmp_path)
    assert convert(capsys, folder)[0] == 0
    settings = planning.Settings(overwrite=True)
    job, = [j for j in planning.make_plan([str(folder)], settings).jobs if j.target.name == "desert.jxl"]
    (folder / "desert.jxl").write_bytes(b"the user's own, written while the run converts")
    with pytest.raises(FileExistsError, match="appeared while it was being written"):
        one_file.run(job, settings, Outputs(), 0)
    assert (folder / "desert.jxl").read_bytes() == b"the user's own, written while the run converts"
