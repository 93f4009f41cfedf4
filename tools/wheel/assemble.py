"""Assemble the tessara wheel from a CMake install tree (the native modules,
each where its install() rule put it), the Python packages under python/ and
the licences of the libraries linked in, with the metadata of pyproject.toml.

    python tools/wheel/assemble.py ROOT LICENCES OUTDIR

The platform tag is manylinux_2_NN_x86_64, NN being the highest GLIBC_2.NN
symbol version that any native module needs (objdump -T): the glibc the
wheel needs at least. Prints the wheel's path. Standard library only, so it
runs with the interpreter the module was built for."""

from __future__ import annotations

import base64
import hashlib
import io
import re
import subprocess
import sys
import tomllib
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
PACKAGES = ("tessara_pillow", "tessara_convert", "tessara-stubs")  # under python/
ABI_TAG = "cp312-abi3"  # Py_LIMITED_API 3.12 (cmake/python_module.cmake)
EPOCH = (1980, 1, 1, 0, 0, 0)  # fixed entry times: the same inputs give the same wheel
GLIBC_VERSION = re.compile(rb"\bGLIBC_2\.(\d+)\b")


def glibc_floor(modules: list[Path]) -> int:
    """The minor version of the newest glibc symbol any module needs."""
    minors = [0]
    for module in modules:
        table = subprocess.run(["objdump", "-T", str(module)], check=True, capture_output=True).stdout
        minors += [int(m) for m in GLIBC_VERSION.findall(table)]
    return max(minors)


def metadata(project: dict, readme: str) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"License: {project['license']['text']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Requires-Dist: {dep}" for dep in project.get("dependencies", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dep}; extra == "{extra}"' for dep in deps]
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme


def entry_points(project: dict) -> str:
    scripts = project.get("scripts", {})
    return "[console_scripts]\n" + "".join(f"{name} = {target}\n" for name, target in scripts.items())


def python_files() -> list[tuple[str, Path]]:
    files = []
    for package in PACKAGES:
        for path in sorted((REPO / "python" / package).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
                files.append((path.relative_to(REPO / "python").as_posix(), path))
    return files


def native_files(root: Path) -> list[tuple[str, Path]]:
    files = [(p.relative_to(root).as_posix(), p) for p in sorted(root.rglob("*")) if p.is_file()]
    strays = [name for name, _ in files if not name.endswith(".abi3.so")]
    if strays:
        sys.exit(f"assemble: the install tree holds files that are not modules: {strays}")
    if not files:
        sys.exit(f"assemble: no native module under {root}")
    return files


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build(root: Path, licences: Path, outdir: Path) -> Path:
    pyproject = tomllib.loads((REPO / "pyproject.toml").read_text())
    project = pyproject["project"]
    name, version = project["name"], project["version"]
    natives = native_files(root)
    tag = f"{ABI_TAG}-manylinux_2_{glibc_floor([path for _, path in natives])}_x86_64"
    dist_info = f"{name}-{version}.dist-info"

    entries: list[tuple[str, bytes, int]] = []  # name, contents, mode
    entries += [(arc, path.read_bytes(), 0o755) for arc, path in natives]
    entries += [(arc, path.read_bytes(), 0o644) for arc, path in python_files()]
    entries += [(f"{dist_info}/licenses/{path.name}", path.read_bytes(), 0o644)
                for path in sorted(licences.iterdir())]
    entries += [
        (f"{dist_info}/METADATA", metadata(project, (REPO / project["readme"]).read_text()).encode(), 0o644),
        (f"{dist_info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: tessara tools/wheel/assemble.py\n"
                                f"Root-Is-Purelib: false\nTag: {tag}\n").encode(), 0o644),
        (f"{dist_info}/entry_points.txt", entry_points(project).encode(), 0o644),
    ]
    record = "".join(record_line(arc, data) + "\n" for arc, data, _ in entries)
    entries.append((f"{dist_info}/RECORD", (record + f"{dist_info}/RECORD,,\n").encode(), 0o644))

    outdir.mkdir(parents=True, exist_ok=True)
    wheel = outdir / f"{name}-{version}-{tag}.whl"
    for old in outdir.glob(f"{name}-{version}-*.whl"):
        old.unlink()
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for arc, data, mode in entries:
            info = zipfile.ZipInfo(arc, EPOCH)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    wheel.write_bytes(buffer.getvalue())
    return wheel


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    print(build(Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])))
