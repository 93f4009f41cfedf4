"""The installed stubs describe the module as it is, and the plug-in package
type-checks strictly, as its users' type checkers will see both."""

import ast
import importlib.util
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import tessara
from jxltools import unavailable

if importlib.util.find_spec("mypy") is None:
    unavailable("mypy is not installed")
STUBS = Path(next(p for p in map(Path, sys.path) if (p / "tessara-stubs").is_dir())) / "tessara-stubs"
PACKAGE = Path(__import__("tessara_pillow").__file__).parent


def run_mypy(*args):
    done = subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubtest_finds_no_difference():
    run_mypy("mypy.stubtest", "tessara")


def test_stubtest_finds_no_difference_in_the_private_module():
    run_mypy("mypy.stubtest", "tessara_pillow._native")


def stub_parameters(class_name, method):
    tree = ast.parse((STUBS / "__init__.pyi").read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name)
    fn = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == method)
    names = [a.arg for a in fn.args.args][1:]
    defaults = [ast.literal_eval(d) for d in fn.args.defaults]
    return names, [None] * (len(names) - len(defaults)) + defaults


# stubtest cannot see through the slot wrappers of __new__ and __call__, so the
# constructors are compared with the classes' own text signatures.
@pytest.mark.parametrize("cls", [tessara.Decoder, tessara.Encoder])
def test_stub_constructors_match_the_text_signatures(cls):
    names, defaults = stub_parameters(cls.__name__, "__new__")
    runtime = inspect.signature(cls).parameters.values()
    assert names == [p.name for p in runtime]
    shown = [None if p.default is p.empty else p.default for p in runtime]
    assert defaults == shown


def test_stub_encode_call_matches_the_argument_names():
    names, defaults = stub_parameters("Encoder", "__call__")
    assert names == ["data", "width", "height", "jpeg_encode", "exif", "jumb", "xmp", "compress"]
    assert defaults == [None, None, None, None, None, None, None, False]
    # calling with those names works; a misspelt one is refused by the module
    enc = tessara.Encoder("L", lossless=True)
    assert enc(data=b"\0", width=1, height=1, jpeg_encode=False, exif=None, jumb=None, xmp=None, compress=False)


def test_the_plug_in_package_is_strictly_typed():
    assert (PACKAGE / "py.typed").exists()
    launcher = Path(__import__("tessara_convert").__file__).parent
    run_mypy("mypy", "--strict", "--no-incremental", str(PACKAGE), str(launcher))
