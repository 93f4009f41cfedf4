"""Doing one planned job: the bytes-level JPEG functions for lossless
transcodes and rebuilds, Pillow and the plug-in for pixels (every frame of
an animation), with the image's Exif, XMP and ICC profile carried over, into
an output that appears whole."""

from __future__ import annotations

import dataclasses
import io
import os
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

from PIL import Image, ImageCms, ImageOps, PngImagePlugin

from . import animation, deep
from .jpeg_frame import ends_early, transcoding_obstacle
from .opening import open_image
from .outputs import Outputs
from .planning import JPEG, JXL, PNG, Action, Job, Settings, check_pixels
from .pool import Done
from .provenance import Digest, digest_of
from .reasons import Refused, describe, truncated, where_truncated
from ..plugin import JxlImageFile
from ..transcode import JpegNotRebuilt, jpeg_to_jxl, jxl_to_jpeg

_ORIENTATION = 0x0112
# Quality for JPEG and WebP when none is asked for: Pillow's defaults (75,
# 80) are low for photographs; 90 also is the plug-in's default.
DEFAULT_QUALITY = 90
# What some formats can hold; an image in another mode is converted first.
_MODES = {
    JPEG: ("L", "RGB", "CMYK"),
    PNG: ("1", "L", "LA", "P", "RGB", "RGBA", "I", "I;16"),
    "WEBP": ("RGB", "RGBA"),
}


@dataclass(frozen=True)
class _Origin:
    """What an output takes from its source file as opened."""

    path: Path
    mode: int  # permission bits: never more readable, nor more writable by others
    digest: Digest  # of the bytes converted, recorded with the output


def run(job: Job, settings: Settings, outputs: Outputs, num_threads: int) -> Done:
    """Convert job.source into job.target. The source is opened once, so what
    it was when opened is what is converted."""
    with open(job.source, "rb") as source:
        status = os.fstat(source.fileno())
        origin = _Origin(job.source, 0o666 & (status.st_mode | 0o600), digest_of(source))
        target = _Target(job.target, outputs, settings, origin, job.replaces, None)
        if job.action is Action.COPY:
            data = source.read()
            return Done(_written(target, data), unreadable=_unreadable(data, settings, num_threads))
        if settings.no_larger:
            target = dataclasses.replace(target, larger_than=status.st_size)
        with open_image(source) as im:
            check_pixels(im, settings)
            try:
                return Done(_output(job, settings, target, source, im, num_threads))
            except _Larger as e:
                return Done(_keep_original(job, settings, outputs, origin, source), larger=e.size)
            except (OSError, SyntaxError, EOFError, ValueError) as e:
                plain = _plainly(e, im.format, status.st_size)
                if plain is e:
                    raise
                raise plain from e


def kept_original(job: Job) -> Path | None:
    """Where --no-larger puts the original instead of a larger output: under
    OUTDIR, at the output's place with the input's name; None in place, where
    it stays as it is."""
    target = job.target.with_name(job.source.name)
    return None if os.path.realpath(target) == os.path.realpath(job.source) else target


class _Larger(Exception):
    def __init__(self, size: int) -> None:
        super().__init__(size)
        self.size = size


@dataclass(frozen=True)
class _Target:
    """Where an output goes, the earlier output it may replace (--overwrite),
    and the size it may not exceed (--no-larger)."""

    path: Path
    outputs: Outputs
    settings: Settings
    origin: _Origin
    replaces: tuple[int, int, int, int] | None
    larger_than: int | None

    @contextmanager
    def writing(self) -> Iterator[BinaryIO]:
        origin = self.origin
        with self.outputs.writing(self.path, overwrite=self.settings.overwrite, mode=origin.mode,
                                  made_from=(origin.path, origin.digest), replaces=self.replaces) as stream:
            yield stream
            if self.larger_than is not None and stream.tell() > self.larger_than:
                raise _Larger(stream.tell())  # removes what was written


def _output(job: Job, settings: Settings, target: _Target, source: BinaryIO, im: Image.Image,
            num_threads: int) -> int:
    """Write the job's output; its bytes."""
    if job.action is Action.TRANSCODE:
        source.seek(0)
        return _written(target, _transcoded(source.read(), settings, num_threads))
    if job.action is Action.REBUILD:
        source.seek(0)
        return _written(target, _rebuilt(source.read(), num_threads))
    if isinstance(im, JxlImageFile):
        im.num_threads = num_threads
    if animation.is_animation(im):
        return _animation(job, settings, target, im, num_threads)
    if job.fmt in deep.FORMATS:
        samples = deep.read(im, source, num_threads, job.fmt)
        if samples is not None:
            return _write_deep(job, settings, target, im, samples, num_threads)
    im.load()
    if job.fmt == JXL:
        upright = _upright(im)
        pixels, metadata = upright, _metadata(upright)
    else:
        pixels, metadata = _for_format(im, job.fmt, _metadata(im))
    options = _encoder_options(job.fmt, settings, num_threads) | _metadata_options(job.fmt, metadata)
    with target.writing() as stream:
        pixels.save(stream, job.fmt, **options)
        return stream.tell()


def _plainly(error: BaseException, fmt: str | None, size: int) -> BaseException:
    """A failure that says only that the file is truncated, said with the
    format and where the file ends; any other as it is."""
    where = where_truncated(describe(error))
    return error if where is None else Refused(truncated(fmt, size, where))


def _unreadable(data: bytes, settings: Settings, num_threads: int) -> str:
    """Why a file copied unchanged cannot be read, every frame of it decoded
    ("" when it can): a copy says nothing of its content otherwise."""
    fmt = None
    try:
        with open_image(io.BytesIO(data)) as im:
            fmt = im.format
            check_pixels(im, settings)  # what was planned may have changed since
            if isinstance(im, JxlImageFile):
                im.num_threads = num_threads
            for index in range(getattr(im, "n_frames", 1)):
                im.seek(index)
                im.load()
    except MemoryError:
        raise
    except Exception as e:
        return describe(_plainly(e, fmt, len(data)))
    return ""


def _keep_original(job: Job, settings: Settings, outputs: Outputs, origin: _Origin, source: BinaryIO) -> int:
    """The original instead of a larger output: copied under OUTDIR (unless an
    earlier run put it there already), left alone in place. Its bytes."""
    original = kept_original(job)
    source.seek(0)
    data = source.read()
    if original is None or _holds(original, data):
        return len(data)
    return _written(_Target(original, outputs, settings, origin, None, None), data)


def _holds(path: Path, data: bytes) -> bool:
    try:
        return path.stat().st_size == len(data) and path.read_bytes() == data
    except OSError:
        return False


def _write_deep(job: Job, settings: Settings, target: _Target, im: Image.Image, samples: deep.Samples,
                num_threads: int) -> int:
    """An input with more bits than its Pillow image, written at its own precision."""
    metadata = samples.metadata
    if metadata is None:
        metadata = _metadata(_upright(im))  # JPEG XL's Exif and XMP are read on open
    with target.writing() as stream:
        deep.write(stream, samples, job.fmt, _encoder_options(JXL, settings, num_threads), metadata)
        return stream.tell()


def _rebuilt(jxl: bytes, num_threads: int) -> bytes:
    try:
        return jxl_to_jpeg(jxl, num_threads=num_threads)
    except JpegNotRebuilt as e:
        # Not its pixels in a new JPEG instead: a second lossy generation is
        # for the user to ask for, as for JPEGs that cannot be transcoded.
        msg = f"{e}; --quality re-encodes its pixels as JPEG, --to png keeps them exactly"
        raise Refused(msg) from e


def _transcoded(jpeg: bytes, settings: Settings, num_threads: int) -> bytes:
    try:
        return jpeg_to_jxl(jpeg, effort=settings.effort, num_threads=num_threads)
    except ValueError as e:
        kind = transcoding_obstacle(jpeg)
        if kind is None and ends_early(jpeg):
            raise Refused(truncated(JPEG, len(jpeg))) from e
        if kind is None:
            msg = f"{describe(e)}; --lossless or --quality encode its pixels instead"
        else:
            msg = (f"this is {kind}, which lossless JPEG transcoding (JPEG reconstruction) does not cover; "
                   "--lossless or --quality encode its pixels instead")
        raise Refused(msg) from e


def _animation(job: Job, settings: Settings, target: _Target, im: Image.Image, num_threads: int) -> int:
    """Every frame, with its duration and the loop count, and the metadata
    of the first frame (its pixels are not turned upright: one frame's Exif
    orientation says nothing of the others)."""
    options = _encoder_options(job.fmt, settings, num_threads) | animation.save_options(im, job.fmt, settings)
    options |= _metadata_options(job.fmt, _metadata(im))
    with target.writing() as stream:
        animation.write(im, stream, job.fmt, options)
        return stream.tell()


def _written(target: _Target, data: bytes) -> int:
    with target.writing() as stream:
        stream.write(data)
    return len(data)


def _metadata(im: Image.Image) -> dict[str, bytes]:
    """Exif (Pillow's form), XMP and the ICC profile, as the image has them.
    Not getexif() in general: for a TIFF it is the file's own structure."""
    found = {}
    exif = im.info.get("exif")
    if not exif and "Raw profile type exif" in im.info:  # PNG text chunks some tools write
        exif = im.getexif().tobytes()
    xmp = im.info.get("xmp", im.info.get("XML:com.adobe.xmp"))
    for key, value in (("exif", exif), ("xmp", xmp), ("icc_profile", im.info.get("icc_profile"))):
        if isinstance(value, str):
            value = value.encode("utf-8")
        if isinstance(value, bytes) and value:
            found[key] = value
    return found


def _upright(im: Image.Image) -> Image.Image:
    """The pixels turned upright by their Exif orientation, which is removed
    from the Exif and XMP they carry: the converter's files need no
    orientation applied, whatever reads them (the plug-in alone would store
    the pixels as given, with the orientation in the codestream)."""
    if im.getexif().get(_ORIENTATION, 1) == 1:
        return im
    transposed = ImageOps.exif_transpose(im)
    assert transposed is not None
    return transposed


def _colours(mode: str) -> str:
    return {"CMYK": "CMYK", "YCbCr": "YCbCr", "LAB": "LAB", "HSV": "HSV"}.get(
        mode, "RGB" if mode[:1] in ("R", "P") else "grey")


def _for_format(im: Image.Image, fmt: str, metadata: dict[str, bytes]) -> tuple[Image.Image, dict[str, bytes]]:
    """The image as `fmt` can store it, with the metadata that still fits it:
    an ICC profile describes one kind of colour, so it goes when that changes
    (a CMYK image is converted through its profile first)."""
    modes = _MODES.get(fmt)
    if modes is None or im.mode in modes:
        return im, metadata
    icc, original = metadata.get("icc_profile"), im.mode
    if original == "CMYK" and icc:
        im = _cmyk_to_srgb(im, icc)
    converted = _convert(im, modes)
    if _colours(converted.mode) != _colours(original):
        metadata = {k: v for k, v in metadata.items() if k != "icc_profile"}
    return converted, metadata


def _cmyk_to_srgb(im: Image.Image, icc: bytes) -> Image.Image:
    try:
        profile = ImageCms.ImageCmsProfile(io.BytesIO(icc))
        converted = ImageCms.profileToProfile(im, profile, ImageCms.createProfile("sRGB"), outputMode="RGB")
    except (OSError, ImageCms.PyCMSError) as e:
        msg = f"cannot convert its colours through its ICC profile: {e}"
        raise ValueError(msg) from e
    assert converted is not None
    return converted


def _convert(im: Image.Image, modes: tuple[str, ...]) -> Image.Image:
    if im.mode in ("F", "I", "I;16", "I;16B", "I;16L", "I;16N"):
        if "I;16" in modes:  # samples of float images are 0.0 to 1.0
            wide = 65535.0 if im.mode == "F" else 1.0
            return im.convert("F").point(lambda v: v * wide + 0.5).convert("I").convert("I;16")
        narrow = 255.0 if im.mode == "F" else 1 / 257
        im = im.convert("F").point(lambda v: v * narrow + 0.5).convert("L")
    elif im.mode == "1":
        im = im.convert("L")
    elif im.mode in ("La", "RGBa"):
        im = im.convert(im.mode.upper())  # unpremultiplied
    elif im.mode in ("P", "PA"):
        im = im.convert("RGBA" if im.mode == "PA" or im.has_transparency_data else "RGB")
        if im.mode == "RGBA" and im.getchannel("A").getextrema()[0] == 255:
            im = im.convert("RGB")  # a palette's transparency that no pixel uses
    if im.mode in modes:
        return im
    if im.mode in ("LA", "RGBA"):
        if "RGBA" in modes:
            return im.convert("RGBA")
        # No alpha in this format: the picture as it looks on white.
        white = Image.new("RGBA", im.size, (255, 255, 255, 255))
        flat = Image.alpha_composite(white, im.convert("RGBA"))
        return flat.convert("L" if im.mode == "LA" and "L" in modes else "RGB")
    return im.convert("RGB")


def _encoder_options(fmt: str, settings: Settings, num_threads: int) -> dict[str, Any]:
    if fmt == JXL:
        options: dict[str, Any] = {"effort": settings.effort, "decoding_speed": settings.decoding_speed,
                                   "num_threads": num_threads, "lossless": settings.lossless,
                                   "progressive": settings.progressive}
        if settings.quality is not None:
            options["quality"] = settings.quality
        return options
    quality = DEFAULT_QUALITY if settings.quality is None else settings.quality
    if fmt == JPEG:
        return {"quality": round(quality)}
    if fmt == "WEBP":
        return {"quality": quality, "lossless": settings.lossless}
    return {}


def _metadata_options(fmt: str, metadata: dict[str, bytes]) -> dict[str, Any]:
    """Save options that store the metadata, for the formats that take it."""
    options: dict[str, Any] = dict(metadata)
    if fmt == PNG and "xmp" in metadata:
        # Pillow's PNG writer takes XMP only as the text chunk readers look for.
        info = PngImagePlugin.PngInfo()
        info.add_itxt("XML:com.adobe.xmp", metadata["xmp"].decode("utf-8", "replace"))
        options["pnginfo"] = info
    return options
