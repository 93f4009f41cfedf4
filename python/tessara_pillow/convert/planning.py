"""What a conversion run will do: the input files found, and for each one
its output path and how it gets there, or why it is skipped or refused.

Everything is decided here, before any file is written and in a fixed
order, so the same inputs give the same outputs whatever the number of jobs."""

from __future__ import annotations

import enum
import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from PIL import Image, UnidentifiedImageError

from ..plugin import JxlImageFile

JXL, JPEG, PNG = "JXL", "JPEG", "PNG"
# Camera JPEGs with extra pictures (MPF) open as "MPO"; they are JPEG files.
_JPEG_FILES = ("JPEG", "MPO")
_EXTENSIONS = {"JXL": ".jxl", "JPEG": ".jpg", "PNG": ".png", "WEBP": ".webp", "TIFF": ".tif", "GIF": ".gif",
               "BMP": ".bmp", "JPEG2000": ".jp2"}
_ALIASES = {"JPG": "JPEG", "TIF": "TIFF", "JP2": "JPEG2000"}


class Action(enum.Enum):
    ENCODE = "encode"  # decode with Pillow, encode the pixels
    TRANSCODE = "transcode"  # a JPEG file into JPEG XL, losslessly
    REBUILD = "rebuild"  # a JPEG XL file back into its original JPEG
    COPY = "copy"  # already in the format asked for


@dataclass(frozen=True)
class Settings:
    """What the command line asked for."""

    to: str | None = None  # a Pillow format name; None: to JPEG XL, or back
    quality: float | None = None  # None: each format's default
    lossless: bool = False
    effort: int = 7
    decoding_speed: int = 0
    out_dir: Path | None = None
    overwrite: bool = False
    max_pixels: int | None = 2 * Image.MAX_IMAGE_PIXELS if Image.MAX_IMAGE_PIXELS else None


@dataclass(frozen=True)
class Job:
    source: Path
    target: Path
    action: Action
    fmt: str  # the output's Pillow format
    size: int  # bytes of the source, for the progress estimate


@dataclass(frozen=True)
class Problem:
    path: Path
    reason: str


@dataclass
class Plan:
    jobs: list[Job] = field(default_factory=list)
    skipped: list[Problem] = field(default_factory=list)
    failed: list[Problem] = field(default_factory=list)


class Refused(Exception):
    """An input this tool will not convert (too large, animated...)."""


def output_format(name: str) -> str:
    """The Pillow format for a --to value ("jxl", "jpg", "webp"...); ValueError
    naming the choices when Pillow cannot write it."""
    Image.init()
    fmt = name.strip().lstrip(".").upper()
    fmt = _ALIASES.get(fmt, fmt)
    if fmt not in Image.SAVE:
        choices = ", ".join(sorted(f.lower() for f in Image.SAVE))
        msg = f"cannot write {name!r}; the formats are: {choices}"
        raise ValueError(msg)
    return fmt


def extension(fmt: str) -> str:
    if fmt in _EXTENSIONS:
        return _EXTENSIONS[fmt]
    return min((e for e, f in Image.registered_extensions().items() if f == fmt), default=f".{fmt.lower()}")


def describe(error: BaseException) -> str:
    """One line saying why a file failed, without the file's name."""
    if isinstance(error, UnidentifiedImageError):
        text = "not an image Pillow can read"
    elif isinstance(error, OSError) and error.strerror:
        text = error.strerror
    elif isinstance(error, MemoryError):
        text = "out of memory"
    elif isinstance(error, (Refused, OSError, ValueError, SyntaxError, EOFError)):
        text = str(error) or type(error).__name__
    else:
        text = f"unexpected {type(error).__name__}: {error}"
    # One line; and libjxl's generic failure text goes on to advise
    # rebuilding libjxl, which is no use to someone converting files.
    return " ".join(text.split(" Please build ")[0].split())


def check_pixels(im: Image.Image, settings: Settings) -> None:
    pixels = im.width * im.height
    if settings.max_pixels and pixels > settings.max_pixels:
        msg = (f"refused as a possible decompression bomb: {im.width}x{im.height} is {pixels} pixels, more than "
               f"--max-pixels {settings.max_pixels}")
        raise Refused(msg)


def _image_files(directory: Path, plan: Plan, skip: str | None) -> Iterator[Path]:
    """Image files below `directory`, in name order; hidden names (our
    temporary files among them), other files and the directory `skip` (the
    outputs, when they go inside an input directory) are passed over, and
    directories that cannot be read go into plan.failed."""
    Image.init()
    known = set(Image.registered_extensions())

    def unreadable(error: OSError) -> None:
        plan.failed.append(Problem(Path(error.filename), describe(error)))

    for root, dirs, files in os.walk(directory, onerror=unreadable):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and os.path.realpath(Path(root, d)) != skip)
        for name in sorted(files):
            if not name.startswith(".") and os.path.splitext(name)[1].lower() in known:
                yield Path(root, name)


def find_inputs(inputs: Sequence[str], plan: Plan, out_dir: Path | None = None) -> list[tuple[Path, Path]]:
    """(file, its path under the output directory) for every input file, each
    file once; inputs that do not exist go into plan.failed."""
    found: dict[str, tuple[Path, Path]] = {}
    skip = os.path.realpath(out_dir) if out_dir else None
    for given in inputs:
        path = Path(given)
        if path.is_dir():
            files = [(f, f.relative_to(path)) for f in _image_files(path, plan, skip)]
        elif path.exists():
            files = [(path, Path(path.name))]
        else:
            plan.failed.append(Problem(path, "No such file or directory"))
            continue
        for file, relative in files:
            found.setdefault(os.path.realpath(file), (file, relative))
    return list(found.values())


def _identify(path: Path, settings: Settings) -> tuple[str, bool]:
    """(Pillow's format, whether it is a JPEG XL with JPEG reconstruction data)."""
    with Image.open(path) as im:
        check_pixels(im, settings)
        rebuildable = isinstance(im, JxlImageFile) and im.jpeg_reconstruction
        return str(im.format), rebuildable


def _action(fmt: str, rebuildable: bool, target: str, settings: Settings) -> Action | None:
    """How an input in `fmt` becomes `target`; None when it already is and
    no new encoding is asked for."""
    pixels_asked = settings.quality is not None or settings.lossless
    if fmt == target or (fmt in _JPEG_FILES and target == JPEG):
        return Action.ENCODE if pixels_asked else None
    if target == JXL and fmt in _JPEG_FILES and not pixels_asked:
        return Action.TRANSCODE
    if target == JPEG and rebuildable and settings.quality is None:
        return Action.REBUILD
    return Action.ENCODE


def make_plan(inputs: Sequence[str], settings: Settings) -> Plan:
    result = Plan()
    files = find_inputs(inputs, result, settings.out_dir)
    sources = {os.path.realpath(f) for f, _ in files}
    known = []
    for source, relative in files:
        try:
            known.append((source, relative, *_identify(source, settings)))
        except Exception as e:
            result.failed.append(Problem(source, describe(e)))
    # Without --to a run goes one way: to JPEG XL, or back when every input
    # already is JPEG XL.
    back = settings.to is None and bool(known) and all(fmt == JXL for _, _, fmt, _ in known)
    claimed: dict[str, Path] = {}
    for source, relative, fmt, rebuildable in known:
        target_fmt = (JPEG if rebuildable else PNG) if back else settings.to or JXL
        action = _action(fmt, rebuildable, target_fmt, settings)
        if action is None:
            if settings.out_dir is None:
                result.skipped.append(Problem(source, f"already {fmt}"))
                continue
            action, target = Action.COPY, settings.out_dir / relative
        else:
            name = relative.with_suffix(extension(target_fmt))
            target = settings.out_dir / name if settings.out_dir else source.with_name(name.name)
        real = os.path.realpath(target)
        if real in sources:
            result.failed.append(Problem(source, f"its output {target} is an input of this run"))
        elif real in claimed:
            result.failed.append(Problem(source, f"its output {target} is also the output of {claimed[real]}"))
        elif target.exists() and not settings.overwrite:
            claimed[real] = source
            result.skipped.append(Problem(source, f"{target} exists"))
        else:
            claimed[real] = source
            result.jobs.append(Job(source, target, action, target_fmt if action is not Action.COPY else fmt,
                                   source.stat().st_size))
    return result
