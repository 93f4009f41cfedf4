"""The module object, its classes and the exception classes."""

import gc
import importlib
import subprocess
import sys
import weakref

import pytest

import tessara
from jxltools import tool

CLASSES = [tessara.Decoder, tessara.Encoder]


def test_module_attributes():
    assert tessara.__all__ == ["Decoder", "Encoder", "JxlException"]
    assert tessara.__doc__ == ""
    public = {n for n in dir(tessara) if not n.startswith("__")}
    assert public == {"Decoder", "Encoder", "JxlException"}
    for hidden in ("ImageInfo", "JxlBox", "PanicException"):
        with pytest.raises(AttributeError):
            getattr(tessara, hidden)


@pytest.mark.parametrize(
    "cls, signature",
    [
        (tessara.Decoder, "(num_threads=...)"),
        (
            tessara.Encoder,
            "(mode, lossless=False, quality=1.0, decoding_speed=0, effort=7, "
            "use_container=False, use_original_profile=False, num_threads=...)",
        ),
    ],
)
def test_class_identity_and_signature(cls, signature):
    assert cls.__module__ == "tessara"
    assert cls.__qualname__ == cls.__name__
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == ""


def test_jxl_exception():
    exc = tessara.JxlException
    assert issubclass(exc, RuntimeError)
    assert (exc.__module__, exc.__name__, exc.__doc__) == ("my_module", "JxlException", "Jxl Error")


@pytest.mark.parametrize("cls", CLASSES)
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("obj", [tessara.Decoder(), tessara.Encoder("RGB")])
def test_instances_are_closed(obj):
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


def test_reimport_shares_the_classes():
    first = sys.modules.pop("tessara")
    try:
        again = importlib.import_module("tessara")
        assert again is not first
        assert again.Decoder is first.Decoder
        assert again.Encoder is first.Encoder
        assert again.JxlException is first.JxlException
        assert again.__all__ == ["Decoder", "Encoder", "JxlException"]
    finally:
        sys.modules["tessara"] = first


@pytest.mark.parametrize("make", [lambda: tessara.Decoder(3), lambda: tessara.Encoder("LA")])
def test_freeing_instances_balances_the_type_reference(make):
    cls = type(make())
    gc.collect()
    before = sys.getrefcount(cls)
    for _ in range(5000):
        make()
    assert sys.getrefcount(cls) == before


def test_exports_exactly_the_init_function():
    out = subprocess.run(
        [tool("nm"), "-D", "--defined-only", tessara.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_tessara"]
