"""The Pillow version the package declares is the one it checks: an older
Pillow is refused at import, with a message, rather than failing in load()."""

import re
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

from tessara_pillow import plugin

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def test_the_declared_floor_is_the_checked_one():
    dependencies = tomllib.loads(PYPROJECT.read_text())["project"]["dependencies"]
    floors = [re.fullmatch(r"Pillow>=([0-9.]+)", d) for d in dependencies if d.startswith("Pillow")]
    assert len(floors) == 1 and floors[0], dependencies
    assert tuple(map(int, floors[0][1].split("."))) == plugin.PILLOW_FLOOR


@pytest.mark.parametrize("version, refused", [
    ("10.4.0", True), ("10.3.0", True), ("9.5.0", True), ("11.0.0", False), ("11.0.0.dev0", False), ("12.1.1", False),
])
def test_an_older_pillow_is_refused_at_import(version, refused):
    code = f"import PIL.Image; PIL.__version__ = {version!r}; import tessara_pillow"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if refused:
        assert f"ImportError: tessara_pillow needs Pillow 11.0 or later, not {version}" in done.stderr
    else:
        assert done.returncode == 0, done.stderr
