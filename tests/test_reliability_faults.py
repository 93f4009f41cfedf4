"""Internal faults, injected into the fault build of the module (libjxl and
CPython calls made to fail or to return impossible values): each gives its
exception and its stderr diagnostic, and repeated faulting calls leave no
thread running and no memory behind."""

import json
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

import tessara
from jxltools import tool
from reliability import fault_module_dir, run_python

REPO = Path(__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent
WARM_UP = 100
ROUNDS, REPEATS = 5, 100

# The child: one faulting call reported, a warm-up, then ROUNDS rounds of
# REPEATS calls with the figures taken around each. What a call leaks adds up
# in every round; the interpreter's own caches settle, so some round is flat.
# The plug-in's failing load settles slowly (rounds of 4 to 126 blocks seen,
# with no object kept): five rounds make a flat one near certain.
CHILD = """
import io, json, sys
sys.path.insert(0, {tests!r})
from reliability import live_objects, resident_bytes, thread_count
import tessara
from PIL import Image
import tessara_pillow

call, path, jpeg_path, warm_up, rounds, repeats = *sys.argv[1:4], *map(int, sys.argv[4:7])
data = open(path, "rb").read()
rebuilt_jpeg = open(jpeg_path, "rb").read()
decoder = tessara.Decoder(num_threads=2)
encoder = tessara.Encoder("L", lossless=True, num_threads=2)
calls = {{
    "decode": lambda: decoder(data),
    "decode_jpeg": lambda: decoder(rebuilt_jpeg),
    "encode": lambda: encoder(bytes(128 * 128), 128, 128, False),
    "plugin": lambda: Image.open(io.BytesIO(data)).load(),
}}

def attempt():
    try:
        calls[call]()
    except BaseException as e:
        return [type(e).__name__, str(e), isinstance(e, Exception)]
    return None

threads = thread_count()
first = attempt()
for _ in range(warm_up):
    attempt()
growth = []
for _ in range(rounds):
    rss, (objects, blocks) = resident_bytes(), live_objects()
    for _ in range(repeats):
        attempt()
    rss_now, (objects_now, blocks_now) = resident_bytes(), live_objects()
    growth.append([rss_now - rss, objects_now - objects, blocks_now - blocks])
print(json.dumps({{"module": tessara.__file__, "first": first, "threads": [threads, thread_count()],
                  "growth": growth}}))
"""

FAULT_LINE = re.compile(r"^tessara: internal fault at (.+):(\d+): (.*)$", re.M)

PANIC_UNREACHABLE = "internal error: entered unreachable code"
NULL = "PyObject pointer is null"

# point, call, (exception type, text, a builtin Exception?), where the
# diagnostic comes from (None: an ordinary exception, no diagnostic)
CASES = [
    ("encoder_error_ok", "encode", ("PanicException", PANIC_UNREACHABLE, False), "src/module/errors.cpp"),
    ("decoder_status", "decode", ("RuntimeError", "Unknown status: `32767`", True), None),
    ("decoder_status", "plugin",
     ("OSError", "cannot decode JPEG XL image: libjxl's decoder stopped in an unexpected state (32767)", True),
     None),
    ("colour_channels", "decode",
     ("PanicException", PANIC_UNREACHABLE + ": NotImplementedError: Unsupported color mode", False),
     "src/decode/decoder.cpp"),
    # the plug-in lets an internal fault through untouched
    ("colour_channels", "plugin",
     ("PanicException", PANIC_UNREACHABLE + ": NotImplementedError: Unsupported color mode", False),
     "src/decode/decoder.cpp"),
    ("image_unallocated", "decode",
     ("PanicException", PANIC_UNREACHABLE + ": the decode finished without an image buffer", False),
     "src/decode/decoder.cpp"),
    # the image bytes, which libjxl decodes into: running out of memory there
    # stays an ordinary MemoryError; a rebuilt JPEG needs no image object, and
    # its JPEG and ICC bytes (copied bytes) are made as usual
    ("image_bytes_null", "decode", ("MemoryError", "", True), None),
    ("image_bytes_null", "plugin", ("MemoryError", "", True), None),
    ("image_bytes_null", "decode_jpeg", None, None),
    ("image_bytes_null", "encode", None, None),
    ("tuple_null", "decode", ("PanicException", NULL, False), "src/decode/decoder.cpp"),
    # bytes copied from a buffer: a decode's ICC profile (the first made for a
    # pixel file), a rebuilt JPEG, an encoder's output
    ("copied_bytes_null_value_error", "decode", ("PanicException", NULL, False), "src/module/convert.cpp"),
    ("copied_bytes_null_value_error", "decode_jpeg", ("PanicException", NULL, False), "src/module/convert.cpp"),
    ("copied_bytes_null_value_error", "encode", ("PanicException", NULL, False), "src/module/convert.cpp"),
    ("copied_bytes_null_memory_error", "decode", ("MemoryError", "", True), None),
    ("copied_bytes_null_memory_error", "encode", ("MemoryError", "", True), None),
    ("list_null", "decode", ("SystemError", "attempted to fetch exception but none was set", True), None),
]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A grey pixel file and a file holding a JPEG to rebuild."""
    # 16 KiB of samples: a leaked image per call would show at once
    y, x = np.mgrid[0:128, 0:128]
    pixels = ((x * 3 + y * 5) % 256).astype(np.uint8)
    folder = tmp_path_factory.mktemp("faults")
    grey, jpeg = folder / "grey.jxl", folder / "jpeg.jxl"
    grey.write_bytes(tessara.Encoder("L", lossless=True)(pixels.tobytes(), 128, 128, False))
    jpeg.write_bytes(tessara.Encoder("RGB")((TESTS / "data" / "small.jpg").read_bytes(), 0, 0, True))
    return grey, jpeg


def run_child(point, call, files, module_dir, warm_up=WARM_UP, rounds=ROUNDS, repeats=REPEATS):
    done = run_python(CHILD.format(tests=str(TESTS)), call, *files, warm_up, rounds, repeats,
                      module_dir=module_dir, env={"TESSARA_FAULT": point})
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout), done.stderr


@pytest.mark.parametrize("point, call, raised, site", CASES, ids=[f"{c[0]}-{c[1]}" for c in CASES])
def test_injected_fault(files, point, call, raised, site):
    module_dir = fault_module_dir()
    report, stderr = run_child(point, call, files, module_dir)
    assert Path(report["module"]).parent == module_dir
    assert report["first"] == (raised and list(raised))

    faults = FAULT_LINE.findall(stderr)
    if site is None:
        assert faults == []
    else:
        # one diagnostic per faulting call, naming the line that raised it
        assert len(faults) == 1 + WARM_UP + ROUNDS * REPEATS
        assert {f for f in faults} == {faults[0]}
        file, line, text = faults[0]
        assert Path(file) == REPO / site and text == raised[1]
        source_line = (REPO / site).read_text().splitlines()[int(line) - 1]
        assert re.search(r"TESSARA_FAULT|TESSARA_NULL_OBJECT|null_object_fault", source_line), source_line
    if point == "copied_bytes_null_value_error":
        # the exception the failed constructor set is reported, not lost
        assert stderr.count("ValueError: injected fault") == 1 + WARM_UP + ROUNDS * REPEATS

    threads_before, threads_after = report["threads"]
    assert threads_after == threads_before, "a faulting call left threads running"
    # Tolerances, in the flattest round of 100 calls: 512 KiB of resident
    # memory is 5 KiB a call, a third of the image each call decodes; one
    # leaked Python object a call would add 100 blocks.
    rss, objects, blocks = (min(column) for column in zip(*report["growth"]))
    assert rss < 512 << 10, report["growth"]
    assert objects < REPEATS // 4, report["growth"]
    assert blocks < REPEATS // 2, report["growth"]


def test_the_normal_module_ignores_the_fault_variable(files):
    every_point = ",".join(sorted({case[0] for case in CASES}))
    for call in ("decode", "decode_jpeg", "encode", "plugin"):
        report, _ = run_child(every_point, call, files, None, 0, 1, 1)
        assert Path(report["module"]) == Path(tessara.__file__)
        assert report["first"] is None


def test_only_the_fault_build_reads_the_environment():
    def imports(path):
        out = subprocess.run([tool("nm"), "-D", "--undefined-only", str(path)], capture_output=True,
                             text=True, check=True).stdout
        return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}

    assert "getenv" not in imports(tessara.__file__)
    assert "getenv" in imports(next(fault_module_dir().glob("tessara*.so")))
