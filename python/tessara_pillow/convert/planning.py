"""What a conversion run will do: the input files found, and for each one
its output path and how it gets there, or why it is skipped or refused.

Everything is decided here, before any file is written and in a fixed
order, so the same inputs give the same outputs whatever the number of jobs."""

from __future__ import annotations

import dataclasses
import enum
import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path, PurePath

from PIL import Image

from ..plugin import JxlImageFile
from .outputs import identity
from .provenance import Provenance
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
    progressive: bool = False  # JPEG XL pixels coded for progressive decoding
    out_dir: Path | None = None
    overwrite: bool = False
    keep_extension: bool = False  # photo.jpg -> photo.jpg.jxl, and back
    max_pixels: int | None = 2 * Image.MAX_IMAGE_PIXELS if Image.MAX_IMAGE_PIXELS else None
    no_larger: bool = False  # keep the original where the output would be larger


@dataclass(frozen=True)
class Job:
    source: Path
    target: Path
    action: Action
    fmt: str  # the output's Pillow format
    size: int  # bytes of the source, for the progress estimate
    # The identity (device, inode, size, mtime) of the earlier output of this
    # tool that the job replaces (--overwrite), or None: a file found there
    # when the output is finished is then never replaced.
    replaces: tuple[int, int, int, int] | None = None


@dataclass(frozen=True)
class Problem:
    path: Path
    reason: str
    target: Path | None = None  # the output it concerns, if any
    stale: bool = False  # skipped, though its source changed since the output was made: always said


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


def output_name(name: str, fmt: str, keep_extension: bool) -> str:
    """The name of the output in `fmt` of an input named `name`: its
    extension replaced (photo.jpg -> photo.jxl), or with keep_extension kept
    (photo.jpg -> photo.jpg.jxl, photo.png -> photo.png.webp), where a JPEG XL
    name made so goes back to the name it was made from (photo.jpg.jxl ->
    photo.jpg, and clip.jxl -> clip.png)."""
    if not keep_extension:
        return PurePath(name).with_suffix(extension(fmt)).name
    base = name[: -len(".jxl")] if name.lower().endswith(".jxl") else name
    own = Image.registered_extensions().get(os.path.splitext(base)[1].lower())
    return base if own is not None and _is(own, fmt) else base + extension(fmt)


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
    still image that libjxl rebuilds a JPEG from, and its size."""

    found: Found
    fmt: str
    rebuildable: bool
    size: int

    @property
    def path(self) -> Path:
        return self.found.path


def _identify(found: Found, settings: Settings) -> Input:
    with open(found.path, "rb") as file:
        status = os.fstat(file.fileno())
        with open_image(file) as im:
            check_pixels(im, settings)
            # An animation whose first frame is a JPEG goes back with every
            # frame: its JPEG would be the first frame alone.
            rebuildable = isinstance(im, JxlImageFile) and im.jpeg_reconstruction and not im.is_animated
            return Input(found, str(im.format), rebuildable, status.st_size)


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


def _rebuilt_by(jpeg: Input, jxl: Input, provenance: Provenance) -> bool:
    """Whether `jpeg` is the JPEG that the JPEG XL file `jxl` rebuilds, byte
    for byte: the one output that proves itself without a record."""
    return jpeg.fmt in _JPEG_FILES and jxl.fmt == JXL and jxl.rebuildable and provenance.rebuilds(jxl.path, jpeg.path)


def _made_from(inputs: list[Input], target_format: Callable[[Input], str | None], settings: Settings,
               provenance: Provenance) -> dict[Path, Input]:
    """The inputs found in directories that this tool made from other inputs
    of the run: outputs it recorded, unchanged since; and, where no record
    says, a JPEG where a JPEG XL file's output goes when converted in place
    (`target_format` gives the format, or None for an input that is not
    converted) that is that file's rebuild, byte for byte. Keyed by path,
    with their sources."""
    by_path = {os.path.realpath(i.path): i for i in inputs}
    made: dict[Path, Input] = {}
    for output in inputs:
        source_path = None if output.found.named else provenance.source_of(output.path)
        source = by_path.get(os.path.realpath(source_path)) if source_path is not None else None
        if source is not None and source is not output:
            made[output.path] = source
    for source in inputs:
        fmt = target_format(source)
        if fmt is None or source.path in made:
            continue
        name = output_name(source.path.name, fmt, settings.keep_extension)
        beside = by_path.get(os.path.realpath(source.path.with_name(name)))
        if beside and beside is not source and not beside.found.named and beside.path not in made \
                and _is(beside.fmt, fmt) and _rebuilt_by(beside, source, provenance):
            made[beside.path] = source
    return made


def _direction(inputs: list[Input], settings: Settings,
               provenance: Provenance) -> tuple[Callable[[Input], str | None], dict[Path, Input]]:
    """Each input's output format (None: not converted) and the inputs that
    are earlier outputs of others. Without --to a run goes one way: to JPEG
    XL, or back when every input is JPEG XL, not counting the files made from
    them by an earlier run going back."""
    if settings.to is None:
        back = _made_from(inputs, lambda i: _back_format(i) if i.fmt == JXL else None, settings, provenance)
        if inputs and all(i.fmt == JXL or i.path in back for i in inputs):
            return lambda i: _back_format(i) if i.fmt == JXL else None, back
    to = settings.to or JXL

    def target_format(i: Input) -> str | None:
        return None if _is(i.fmt, to) else to

    return lambda i: to, _made_from(inputs, target_format, settings, provenance)


class _Found(enum.Enum):
    """What an existing output file is to the input that would replace it."""

    ORIGINAL = "original"  # nothing shows that this tool made it
    CURRENT = "current"  # this tool made it from the input as it is
    REBUILT = "rebuilt"  # the JPEG the input rebuilds: doing it again would give the same bytes
    STALE = "stale"  # this tool made it from the input, which changed since
    OTHER = "other"  # this tool made it from another file


def _existing(source: Input, target: Path, action: Action, provenance: Provenance,
              by_path: dict[str, Input]) -> tuple[_Found, Path | None]:
    """What the file at `target` is, and the source it was made from."""
    found = provenance.record(target)
    made_from = provenance.source_of(target)
    if found is not None and made_from is not None and os.path.realpath(made_from) == os.path.realpath(source.path):
        current = provenance.digest(source.path) == found.source_digest
        return (_Found.CURRENT if current else _Found.STALE), made_from
    if action is Action.COPY:
        if provenance.digest(source.path) == provenance.digest(target) is not None:
            return _Found.CURRENT, source.path
    elif action is Action.REBUILD:
        jpeg = by_path.get(os.path.realpath(target)) or _identified(target)
        if jpeg is not None and _rebuilt_by(jpeg, source, provenance):
            return _Found.REBUILT, source.path
    return (_Found.ORIGINAL, None) if found is None else (_Found.OTHER, made_from)


def _identified(path: Path) -> Input | None:
    """An output of an earlier run as an input would be seen, or None if it is not an image."""
    try:
        with open(path, "rb") as file, Image.open(file) as im:
            rebuildable = isinstance(im, JxlImageFile) and im.jpeg_reconstruction
            return Input(Found(path, Path(path.name), False), str(im.format), rebuildable, 0)
    except Exception:
        return None


def _clash(source: Path, target: Path, other: Path, fmt: str, settings: Settings) -> str:
    reason = f"its output {target} is also the output of {other}"
    if settings.keep_extension:
        return reason
    names = " and ".join(output_name(p.name, fmt, True) for p in (other, source))
    return f"{reason}; --keep-extension keeps their names apart ({names})"


def _plan_existing(plan: Plan, i: Input, job: Job, settings: Settings, provenance: Provenance,
                   by_path: dict[str, Input]) -> None:
    """An input whose output exists: skipped (said when it is stale), refused
    where that file is an original, or a job that replaces it."""
    source, target = i.path, job.target
    kind, origin = _existing(i, target, job.action, provenance, by_path)
    if not settings.overwrite:
        # Nothing is replaced, whether it is an input of this run or not.
        if kind is _Found.STALE:
            plan.skipped.append(Problem(source, f"its output {target} is stale: {source} changed since it was "
                                                "converted (--overwrite converts it again)", target, stale=True))
        else:
            made_by = f"made by tessara-convert from {origin}" if origin else "made by tessara-convert"
            what = {_Found.CURRENT: "is up to date", _Found.REBUILT: "is up to date",
                    _Found.OTHER: f"exists, {made_by}"}
            plan.skipped.append(Problem(source, f"{target} {what.get(kind, 'exists')}", target))
    elif kind is _Found.REBUILT:
        plan.skipped.append(Problem(source, f"{target} is up to date (the JPEG it rebuilds)", target))
    elif os.path.realpath(target) in by_path:
        plan.failed.append(Problem(source, f"its output {target} is an input of this run"))
    elif kind is _Found.ORIGINAL:
        plan.failed.append(Problem(source, f"its output {target} exists and is not replaced: nothing shows that "
                                           "tessara-convert made it (an original, or an output changed since), and "
                                           "--overwrite replaces only this tool's outputs"))
    else:
        try:
            plan.jobs.append(dataclasses.replace(job, replaces=identity(target)))
        except OSError as e:
            plan.failed.append(Problem(source, describe(e)))


def make_plan(inputs: Sequence[str], settings: Settings) -> Plan:
    result = Plan()
    known = []
    for found in find_inputs(inputs, result, settings.out_dir):
        try:
            known.append(_identify(found, settings))
        except Exception as e:
            result.failed.append(Problem(found.path, describe(e)))
    provenance = Provenance()
    target_format, earlier = _direction(known, settings, provenance)
    for path, made_from in earlier.items():
        result.earlier_outputs.append(Problem(path, f"not an input: made by tessara-convert from {made_from.path}"))
    known = [i for i in known if i.path not in earlier]
    by_path = {os.path.realpath(i.path): i for i in known}
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
            name = i.found.relative.with_name(output_name(i.found.relative.name, fmt, settings.keep_extension))
            target = settings.out_dir / name if settings.out_dir else source.with_name(name.name)
        real = os.path.realpath(target)
        job_fmt = fmt if action is not Action.COPY else i.fmt
        if real in claimed:
            result.failed.append(Problem(source, _clash(source, target, claimed[real], job_fmt, settings)))
            continue
        claimed[real] = source
        job = Job(source, target, action, job_fmt, i.size)
        if target.exists():
            _plan_existing(result, i, job, settings, provenance, by_path)
        else:
            result.jobs.append(job)
    return result
