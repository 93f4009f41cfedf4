"""The development commands as a newcomer meets them: tools/devroot binds
the current directory whatever lies beside the clone, and tools/dev main
hands the converter the paths its arguments name, from where it was run."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parent.parent / "tools"


def clone(tmp_path, *names):
    """A checkout of only these tools, with nothing beside it (no shared/)."""
    (tmp_path / "clone" / "tools").mkdir(parents=True)
    for name in names:
        shutil.copy(TOOLS / name, tmp_path / "clone" / "tools" / name)
    return tmp_path / "clone"


def outside(tmp_path, name="elsewhere"):
    path = tmp_path / name
    path.mkdir()
    return path


def bash(script, *args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("TESSARA_IN_ROOT", "TESSARA_DEV_INNER")}
    done = subprocess.run(["bash", str(script), *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_devroot_binds_the_current_directory_of_a_fresh_clone(tmp_path):
    repo, here = clone(tmp_path, "devroot"), outside(tmp_path)
    assert bash(repo / "tools/devroot", "mounts", cwd=here) == [f"rw {repo}", f"rw {here}"]


def test_devroot_binds_what_it_is_asked_for_once_and_parents_first(tmp_path):
    repo, here = clone(tmp_path, "devroot"), outside(tmp_path)
    data = outside(tmp_path, "data")
    asked = ["--rw", data / "in" / "out", "--ro", data / "in", "--ro", repo / "x", "--ro", here / "y",
             "--ro", data / "both", "--rw", data / "both", "--ro", data / "in" / "a.png"]
    assert bash(repo / "tools/devroot", "mounts", *asked, cwd=here) == [
        f"rw {repo}", f"rw {data / 'both'}", f"ro {data / 'in'}", f"rw {data / 'in' / 'out'}", f"rw {here}"]


@pytest.mark.parametrize(
    "args, binds",
    [
        ([], ["--rw", "/tmp"]),
        # an OUTDIR that does not exist: its nearest existing parent, where the converter makes it
        (["{data}/in.png", "-o", "out", "-q", "80"], ["--rw", "/tmp", "--rw", "{here}", "--ro", "{data}/in.png"]),
        (["-vo{data}/out", "photos"], ["--rw", "/tmp", "--rw", "{data}", "--ro", "photos"]),
        (["--output-dir={data}/out", "--", "-o"], ["--rw", "/tmp", "--rw", "{data}"]),
        (["-n", "photos", "-o", "{data}/new/out"], ["--rw", "/tmp", "--rw", "{data}", "--ro", "photos"]),
        (["--to", "bmpx", "-o", "out/deeper", "{data}/in.png"],
         ["--rw", "/tmp", "--rw", "{here}", "--ro", "{data}/in.png"]),
        # one that exists: itself
        (["-o", "photos", "{data}/in.png"], ["--rw", "/tmp", "--rw", "{here}/photos", "--ro", "{data}/in.png"]),
        (["photos/a.png", "{data}", "missing.png"], ["--rw", "/tmp", "--rw", "photos", "--rw", "{data}"]),
    ],
)
def test_dev_main_runs_the_converter_where_it_was_called_on_the_paths_it_names(tmp_path, args, binds):
    repo, here, data = clone(tmp_path, "dev"), outside(tmp_path), outside(tmp_path, "data")
    (data / "in.png").write_bytes(b"")
    (here / "photos").mkdir()
    (here / "photos" / "a.png").write_bytes(b"")
    (repo / "tools" / "devroot").write_text('#!/usr/bin/env bash\n[ "$1" != run ] || { pwd; printf "%s\\n" "$@"; }\n')
    (repo / "tools" / "devroot").chmod(0o755)
    args = [a.format(data=data) for a in args]
    before = sorted(p for p in tmp_path.rglob("*"))
    shown = bash(repo / "tools/dev", "main", *args, cwd=here)
    assert shown == [str(here), "run", *(b.format(data=data, here=here) for b in binds), "--", "env",
                     "TESSARA_DEV_INNER=1", f"TESSARA_CONVERT_COMMAND={repo}/tools/dev main", f"{repo}/tools/dev",
                     "main", *args]
    # nothing is made before the converter runs: a dry run or a usage error leaves no folder behind
    assert sorted(p for p in tmp_path.rglob("*")) == before


def test_dev_shell_starts_where_it_was_called_and_sees_the_folders_it_is_given(tmp_path):
    repo, here, data = clone(tmp_path, "dev"), outside(tmp_path), outside(tmp_path, "data")
    (repo / "tools" / "devroot").write_text('#!/usr/bin/env bash\n[ "$1" != run ] || { pwd; printf "%s\\n" "$@"; }\n')
    (repo / "tools" / "devroot").chmod(0o755)
    shown = bash(repo / "tools/dev", "shell", data, cwd=here)
    assert shown == [str(here), "run", "--rw", str(data), "--", "env", "TESSARA_DEV_INNER=1",
                     "TESSARA_CONVERT_COMMAND=tessara-convert", f"{repo}/tools/dev", "shell", str(data)]
