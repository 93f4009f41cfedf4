"""The built wheel (tools/dev wheel) as an installer and the dynamic linker
see it: its files and metadata, and for every native module the libraries
it needs, the newest glibc symbol version it needs and what it exports.
Skipped when dist/ holds no wheel, unless TESSARA_WHEEL names one (as
tools/dev wheel-check does, where a missing wheel fails)."""

import base64
import csv
import hashlib
import io
import os
import re
import subprocess
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
# The C library's own family (the dynamic loader provides thread-local
# storage); libjxl, brotli, lcms2, libpng, zlib and the C++ runtime are linked in.
C_LIBRARY = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
             "ld-linux-x86-64.so.2"}
ADDRESS = re.compile(r"^[0-9a-f]{16} ")


def wheel_path():
    if os.environ.get("TESSARA_WHEEL"):
        return Path(os.environ["TESSARA_WHEEL"])
    found = sorted((REPO / "dist").glob("tessara-*.whl"))
    if not found:
        pytest.skip("no wheel in dist/ (tools/dev wheel)")
    return found[-1]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    path = wheel_path()
    root = tmp_path_factory.mktemp("wheel")
    with zipfile.ZipFile(path) as archive:
        archive.extractall(root)
    dist_info = next(root.glob("*.dist-info"))
    return path, root, dist_info


def modules(root):
    found = sorted(root.rglob("*.so"))
    assert found, "no native module in the wheel"
    return found


def objdump(option, path):
    return subprocess.run(["objdump", option, str(path)], check=True, capture_output=True,
                          text=True).stdout


def dynamic_symbols(path):
    """(name, version, defined) of each dynamic symbol."""
    for line in objdump("-T", path).splitlines():
        if ADDRESS.match(line):
            fields = line.split()
            version = next((f.strip("()") for f in fields if re.match(r"\(?[A-Z]+_[\d.]+", f)), "")
            yield fields[-1], version, "*UND*" not in fields


def glibc_floor(paths):
    versions = [tuple(int(n) for n in version[len("GLIBC_"):].split("."))
                for path in paths for _, version, _ in dynamic_symbols(path)
                if version.startswith("GLIBC_")]
    return max(versions)


def test_holds_the_modules_packages_stubs_and_licences(wheel):
    _, root, dist_info = wheel
    names = {p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file()}
    wanted = {"tessara.abi3.so", "tessara_pillow/_native.abi3.so", "tessara_pillow/__init__.py", "tessara_pillow/py.typed",
              "tessara_pillow/convert/cli.py", "tessara_convert/__init__.py", "tessara-stubs/__init__.pyi"}
    assert wanted <= names
    assert {"libjxl-LICENSE", "highway-LICENSE", "brotli-LICENSE", "lcms2-LICENSE", "libpng-LICENSE", "zlib-LICENSE"} <= {
        p.name for p in (dist_info / "licenses").iterdir()}
    assert not [n for n in names if n.endswith((".pyc", ".a")) or "__pycache__" in n]
    entry_points = (dist_info / "entry_points.txt").read_text()
    assert "tessara-convert = tessara_convert:main" in entry_points


def test_record_lists_every_file_with_its_hash(wheel):
    _, root, dist_info = wheel
    rows = list(csv.reader(io.StringIO((dist_info / "RECORD").read_text())))
    files = {p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file()}
    assert {row[0] for row in rows} == files
    for name, digest, size in rows:
        if name == f"{dist_info.name}/RECORD":
            assert (digest, size) == ("", "")
            continue
        data = (root / name).read_bytes()
        sha = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        assert (digest, size) == (f"sha256={sha}", str(len(data))), name


def test_name_tag_and_metadata_agree(wheel):
    path, _, dist_info = wheel
    fields = dict(line.split(": ", 1) for line in (dist_info / "WHEEL").read_text().splitlines())
    name, version, *tag = path.stem.split("-")
    assert fields["Tag"] == "-".join(tag) and fields["Root-Is-Purelib"] == "false"
    assert tag[:2] == ["cp312", "abi3"]
    metadata = (dist_info / "METADATA").read_text()
    assert f"Name: {name}\nVersion: {version}\n" in metadata
    assert dist_info.name == f"{name}-{version}.dist-info"


def test_modules_need_only_the_c_library(wheel):
    for module in modules(wheel[1]):
        needed = set(re.findall(r"^\s*NEEDED\s+(\S+)", objdump("-p", module), re.M))
        assert needed <= C_LIBRARY, f"{module.name} needs {needed - C_LIBRARY}"
        runtime = {v for _, v, _ in dynamic_symbols(module) if v.startswith(("GLIBCXX", "CXXABI", "GCC"))}
        assert not runtime, f"{module.name} uses the system's C++ runtime: {sorted(runtime)}"


def test_each_module_exports_its_init_function_alone(wheel):
    for module in modules(wheel[1]):
        exported = {name for name, _, defined in dynamic_symbols(module) if defined}
        assert exported == {f"PyInit_{module.name.split('.')[0]}"}, module.name


def test_glibc_floor_is_the_one_the_tag_and_the_docs_state(wheel):
    path, root, _ = wheel
    floor = glibc_floor(modules(root))
    assert floor[0] == 2
    assert path.stem.endswith(f"-manylinux_2_{floor[1]}_x86_64")
    assert f"glibc 2.{floor[1]} " in (REPO / "docs" / "install.md").read_text()
