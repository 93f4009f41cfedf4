"""What a conversion run will do: the input files found, and for each one
its output path and how it gets there, or why it is skipped or refused.

Everything is decided here, before any file is written and in a fixed
order, so the same inputs give the same outputs whatever the number of jobs."""

from __future__ import annotations

import enum
import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path

from PIL import Image

from ..plugin import JxlImageFile
from .opening import open_image
from .reasons import Refused, describe

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
    no_larger: bool = False  # keep the original where the output would be larger


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
    target: Path | None = None  # the output it concerns, if any


@dataclass
class Plan:
    jobs: list[Job] = field(default_factory=list)
    skipped: list[Problem] = field(default_factory=list)
    failed: list[Problem] = field(default_factory=list)
    # Files found in directories that are outputs of other inputs, made by an
    # earlier run: neither converted nor counted.
    earlier_outputs: list[Problem] = field(default_factory=list)

    def outputs(self) -> list[Path]:
        """Every output the run considers: those it will write and those
        skipped because they exist."""
        return [j.target for j in self.jobs] + [p.target for p in self.skipped if p.target is not None]


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


@dataclass(frozen=True)
class Found:
    """An input file."""

    path: Path
    relative: Path  # its path under the output directory
    named: bool  # given on the command line, not found in a directory


def find_inputs(inputs: Sequence[str], plan: Plan, out_dir: Path | None = None) -> list[Found]:
    """Every input file, each once; inputs that do not exist go into plan.failed."""
    found: dict[str, Found] = {}
    skip = os.path.realpath(out_dir) if out_dir else None
    for given in inputs:
        path = Path(given)
        if path.is_dir():
            files = [Found(f, f.relative_to(path), False) for f in _image_files(path, plan, skip)]
        elif path.exists():
            files = [Found(path, Path(path.name), True)]
        else:
            plan.failed.append(Problem(path, "No such file or directory"))
            continue
        for file in files:
            found.setdefault(os.path.realpath(file.path), file)
    return list(found.values())


@dataclass(frozen=True)
class Input:
    """An input file as its content says: its format, whether it is a JPEG XL
    with JPEG reconstruction data, and its size and time of change."""

    found: Found
    fmt: str
    rebuildable: bool
    size: int
    mtime_ns: int

    @property
    def path(self) -> Path:
        return self.found.path


def _identify(found: Found, settings: Settings) -> Input:
    with open(found.path, "rb") as file:
        status = os.fstat(file.fileno())
        with open_image(file) as im:
            check_pixels(im, settings)
            rebuildable = isinstance(im, JxlImageFile) and im.jpeg_reconstruction
            return Input(found, str(im.format), rebuildable, status.st_size, status.st_mtime_ns)


def _is(fmt: str, target: str) -> bool:
    return fmt == target or (fmt in _JPEG_FILES and target == JPEG)


def _action(fmt: str, rebuildable: bool, target: str, settings: Settings) -> Action | None:
    """How an input in `fmt` becomes `target`; None when it already is and
    no new encoding is asked for."""
    pixels_asked = settings.quality is not None or settings.lossless
    if _is(fmt, target):
        return Action.ENCODE if pixels_asked else None
    if target == JXL and fmt in _JPEG_FILES and not pixels_asked:
        return Action.TRANSCODE
    if target == JPEG and rebuildable and settings.quality is None:
        return Action.REBUILD
    return Action.ENCODE


def _back_format(source: Input) -> str:
    return JPEG if source.rebuildable else PNG


def _made_from(inputs: list[Input], target_format: Callable[[Input], str | None]) -> dict[Path, Input]:
    """The inputs found in directories that an earlier run made from other
    inputs beside them: each sits where its source's output goes when
    converted in place (`target_format` gives the format, or None for a
    source that is not converted), is in that format and is newer than its
    source. Keyed by path, with their sources."""
    by_path = {os.path.realpath(i.path): i for i in inputs}
    made: dict[Path, Input] = {}
    for source in inputs:
        fmt = target_format(source)
        if fmt is None:
            continue
        output = by_path.get(os.path.realpath(source.path.with_suffix(extension(fmt))))
        if output and output is not source and not output.found.named and _is(output.fmt, fmt) \
                and output.mtime_ns > source.mtime_ns:
            made[output.path] = source
    return made


def _direction(inputs: list[Input], settings: Settings) -> tuple[Callable[[Input], str | None], dict[Path, Input]]:
    """Each input's output format (None: not converted) and the inputs that
    are earlier outputs of others. Without --to a run goes one way: to JPEG
    XL, or back when every input is JPEG XL, not counting the JPEG and PNG
    files made from them in place by an earlier run going back."""
    if settings.to is None:
        back = _made_from(inputs, lambda i: _back_format(i) if i.fmt == JXL else None)
        if inputs and all(i.fmt == JXL or i.path in back for i in inputs):
            return lambda i: _back_format(i) if i.fmt == JXL else None, back
    to = settings.to or JXL

    def target_format(i: Input) -> str | None:
        return None if _is(i.fmt, to) else to

    return lambda i: to, _made_from(inputs, target_format)


def make_plan(inputs: Sequence[str], settings: Settings) -> Plan:
    result = Plan()
    known = []
    for found in find_inputs(inputs, result, settings.out_dir):
        try:
            known.append(_identify(found, settings))
        except Exception as e:
            result.failed.append(Problem(found.path, describe(e)))
    target_format, earlier = _direction(known, settings)
    for path, made_from in earlier.items():
        result.earlier_outputs.append(Problem(path, f"not an input: the output of {made_from.path}, made after it"))
    known = [i for i in known if i.path not in earlier]
    sources = {os.path.realpath(i.path) for i in known}
    claimed: dict[str, Path] = {}
    for i in known:
        source, fmt = i.path, target_format(i)
        assert fmt is not None
        action = _action(i.fmt, i.rebuildable, fmt, settings)
        if action is None:
            if settings.out_dir is None:
                result.skipped.append(Problem(source, f"already {i.fmt}"))
                continue
            action, target = Action.COPY, settings.out_dir / i.found.relative
        else:
            name = i.found.relative.with_suffix(extension(fmt))
            target = settings.out_dir / name if settings.out_dir else source.with_name(name.name)
        real = os.path.realpath(target)
        if real in claimed:
            result.failed.append(Problem(source, f"its output {target} is also the output of {claimed[real]}"))
            continue
        claimed[real] = source
        if target.exists() and not settings.overwrite:
            # Nothing is replaced, whether it is an input of this run or not.
            result.skipped.append(Problem(source, f"{target} exists", target))
        elif real in sources:
            result.failed.append(Problem(source, f"its output {target} is an input of this run"))
        else:
            result.jobs.append(Job(source, target, action, fmt if action is not Action.COPY else i.fmt, i.size))
    return result
