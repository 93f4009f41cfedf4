"""The Pillow image plug-in for JPEG XL: a lazy open from the file's facts
alone (facts.py), one decode call on load(), and save through the module's
Encoder (or the private encoder of full-precision arrays where the module
would mislabel the pixels: 16-bit grey, ICC profiles other than sRGB, an
Exif orientation other than 1). Animated files, and lossy files whose
colour profile only libjxl's colour management can deliver, are read a
frame at a time through animated.py; animations are written by
animation_save.py."""

from __future__ import annotations

import io
import math
from typing import IO, Any

import PIL
from PIL import Image, ImageFile

import tessara

from . import (animated, animation_save, errors, facts, header, incremental, layouts, metadata, native_save,
               pixel_access, save_options, truncated)

FORMAT = "JXL"
# The oldest Pillow the package works with (also declared in pyproject.toml):
# Image._im, which load() reads, came with 11.0 (10.x kept the pixels in
# Image.im); ImageMath.lambda_eval (10.3), Image.has_transparency_data and
# the _mode attribute (10.1) are older.
PILLOW_FLOOR = (11, 0)


def _check_pillow() -> None:
    found = tuple(int(part) for part in PIL.__version__.split(".")[:2] if part.isdigit())
    if found < PILLOW_FLOOR:
        floor = ".".join(map(str, PILLOW_FLOOR))
        msg = f"tessara_pillow needs Pillow {floor} or later, not {PIL.__version__}"
        raise ImportError(msg)


_check_pillow()
MAX_THREADS = save_options.MAX_THREADS


# What turns pixels delivered upright (libjxl applies the orientation) back
# into the layout the file stores, for each orientation other than 1.
_UNDO_ORIENTATION = {
    2: Image.Transpose.FLIP_LEFT_RIGHT,
    3: Image.Transpose.ROTATE_180,
    4: Image.Transpose.FLIP_TOP_BOTTOM,
    5: Image.Transpose.TRANSPOSE,
    6: Image.Transpose.ROTATE_90,
    7: Image.Transpose.TRANSVERSE,
    8: Image.Transpose.ROTATE_270,
}


def _accept(prefix: bytes) -> bool:
    return prefix[:2] == header.CODESTREAM_SIGNATURE or prefix[:12] == header.CONTAINER_SIGNATURE


def _layout(found: facts.FileFacts, jpeg: bool) -> layouts.Layout:
    """How load() delivers this image, or OSError for a depth the module cannot decode."""
    if jpeg:
        return layouts.decoded(layouts.JPEG, found.grey, found.has_alpha)
    layout = layouts.of_samples(found.bits, found.exponent_bits, found.grey, found.has_alpha)
    if layout is None:
        numbers = "floating-point" if found.exponent_bits else "integer"
        msg = (f"JPEG XL: {found.bits}-bit {numbers} samples cannot be decoded "
               "(supported: integers up to 16 bits, 16- and 32-bit floats)")
        raise OSError(msg)
    return layout


class JxlImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "JPEG XL image"

    _header: header.JxlHeader
    _facts: facts.FileFacts
    _layout: layouts.Layout
    #: libjxl worker threads for load(): negative for libjxl's default, 0 to
    #: decode on the calling thread (set it on the image before load()).
    num_threads: int = -1

    def _open(self) -> None:
        assert self.fp is not None
        try:
            found = facts.read_file(self.fp)
        except ValueError as e:
            raise header.HeaderError(str(e)) from e
        jxl = header.read_header(self.fp)
        layout = _layout(found, self._as_jpeg(found))
        if self._as_jpeg(found):
            # The rebuilt JPEG comes back as stored, with its own orientation.
            self._size = (found.stored_width, found.stored_height)
        else:
            # libjxl delivers pixels with the codestream orientation applied.
            self._size = (found.width, found.height)
        self._mode = layout.pillow_mode
        self._header, self._facts, self._layout = jxl, found, layout
        if found.icc:
            self.info["icc_profile"] = found.icc  # the profile load() delivers the pixels in
        for key, value in metadata.metadata_boxes(self.fp, jxl).items():
            self.info[key] = value
        if not self._as_jpeg(found):
            # Already upright: Exif or XMP orientation must not turn it again.
            if "exif" in self.info:
                self.info["exif"] = metadata.exif_with_orientation_1(self.info["exif"])
            if "xmp" in self.info:
                self.info["xmp"] = metadata.xmp_with_orientation_1(self.info["xmp"])
        self._open_animation(found)
        # ImageFile.Parser decodes a still as it is fed (incremental.py);
        # load() decodes by itself.
        self.tile = incremental.tiles(self, found, self.fp.seek(0, io.SEEK_END))

    @staticmethod
    def _as_jpeg(found: facts.FileFacts) -> bool:
        """Whether load() gives the rebuilt JPEG: a still image libjxl
        rebuilds one from. An animation's frames all come from libjxl, its
        JPEG first frame included, one upright picture after another."""
        return found.jpeg_reconstruction and not found.animated

    def pixels_asked(self) -> tuple[str, int]:
        """(sample type, samples a pixel) load() asks libjxl for: Pillow's own
        layout where frames are decoded one at a time (animated.py: an
        animation, colour through libjxl's colour management, a JPEG's
        pixels), else the decode call's samples, four a pixel but for grey,
        which the plug-in then makes Pillow's."""
        if self._animation is not None or self._facts.through_cms or self._as_jpeg(self._facts):
            return layouts.pillow_pixels(self.mode)
        return self._layout.sample, 1 if self._layout.channels == 1 else 4

    @property
    def jpeg_reconstruction(self) -> bool:
        """Whether libjxl rebuilds the JPEG the file was made from:
        jxl_to_jpeg() then gives its very bytes, and load() of a still image
        its pixels, as stored."""
        return self._facts.jpeg_reconstruction

    def load(self) -> Any:
        if self._im is None:
            if self._animation is None and self._facts.through_cms:
                # The module would deliver linear sRGB: the original profile
                # comes through libjxl's colour management, frame by frame.
                assert self.fp is not None
                self.fp.seek(0)
                self._animation = animated.AnimatedFile(self.fp.read(), self._facts)
            if self._animation is not None:
                self._load_frame()
            else:
                self._refuse_broken()
                self._load_decoded()
        self.tile = []
        access = super().load()
        if self.readonly and access is not None:
            # Pillow's own object over read-only pixels refuses writes.
            return pixel_access.MappedPixelAccess(self)
        return access

    # ---- Animations: a frame at a time (animated.py); stills never get here

    _animation: animated.AnimatedFile | None = None
    _frame_index = 0

    def _open_animation(self, found: facts.FileFacts) -> None:
        """An animated header (a JPEG first frame included): the file's bytes
        are kept, and frame 0's timing and the loop count taken from the
        facts open read; frames are counted on first use."""
        if not found.animated:
            return
        assert self.fp is not None
        self.fp.seek(0)
        self._animation = animated.AnimatedFile(self.fp.read(), found)
        for key, value in self._animation.first_info().items():
            self.info[key] = value

    @property
    def n_frames(self) -> int:
        """Displayed frames (1 for a still image); a frame the file breaks in counts."""
        if not self.is_animated:
            return 1
        assert self._animation is not None
        try:
            if ImageFile.LOAD_TRUNCATED_IMAGES:
                return self._animation.whole_count()
            return self._animation.walk().count
        except OSError:
            return 1  # not even frame 0's header can be read: loading it says why

    @property
    def is_animated(self) -> bool:
        """Whether the header declares an animation (no frame is read for it)."""
        return self._facts.animated

    def _refuse_broken(self) -> None:
        """A still image whose frame composites more layers than allowed is
        refused before libjxl spends on it."""
        stopped = self._facts.stopped
        if stopped is not None and stopped.kind == "too_many_layers":
            raise OSError(f"cannot decode JPEG XL image: {stopped.text}")

    def seek(self, frame: int) -> None:
        if not self._seek_check(frame):
            return
        assert self._animation is not None and self.is_animated  # a still image has frame 0 only
        for key, value in self._animation.frame_info(frame, ImageFile.LOAD_TRUNCATED_IMAGES).items():
            self.info[key] = value
        self._frame_index = frame
        self._im = None  # one frame's pixels at a time: load() decodes this one
        self._shown_frame = object()  # pixel access objects of the last frame stay with it

    def tell(self) -> int:
        return self._frame_index

    def _load_frame(self) -> None:
        assert self._animation is not None
        try:
            image, icc = self._animation.decode(self._frame_index, self.mode, self.size, self.num_threads)
        except OSError as e:
            if not ImageFile.LOAD_TRUNCATED_IMAGES:
                raise
            image, icc = self._animation.partial(self._frame_index, self.mode, self.size, self.num_threads, e)
        self.im = image.im
        self.readonly = image.readonly
        if icc:
            self.info["icc_profile"] = icc
        if self._exclusive_fp and self.fp is not None:
            self.fp.close()
        self.fp = None

    def close(self) -> None:
        self._animation = None  # the file's bytes and libjxl's decoder
        super().close()

    def _load_decoded(self) -> None:
        assert self.fp is not None
        self.fp.seek(0)
        data = self.fp.read()
        try:
            is_jpeg, info, image, icc, _ = tessara.Decoder(num_threads=self.num_threads)(data)
        except RuntimeError as e:
            if self._as_jpeg(self._facts):
                # libjxl refuses to rebuild a JPEG whose reconstruction data no
                # longer matches the file (exiftool edited its Exif, say): the
                # pixels still decode, as djxl falls back to them.
                icc = self._take_jpeg_pixels(data, e)
            elif ImageFile.LOAD_TRUNCATED_IMAGES:
                icc = self._take_partial(data, e)
            else:
                raise OSError(self._decode_failure(e, data)) from e
        else:
            self._check_decoded(is_jpeg, info, image)
            if is_jpeg:
                self._take_jpeg(image)
            else:
                self._take_pixels(self._pillow_bytes(image))
        finally:
            del data
        if icc:
            self.info["icc_profile"] = icc
        if self._exclusive_fp and self.fp is not None:
            self.fp.close()
        self.fp = None

    def _decode_failure(self, error: RuntimeError, data: bytes) -> str:
        """The reason a whole decode of `data` failed; for a file cut short,
        where it ends, which libjxl's progressive decoder tells from the same
        bytes (the module says only that the decode failed)."""
        reason = errors.plain_reason(error, truncated=self._header.truncated)
        if reason.startswith(errors.TRUNCATED):
            where = truncated.where_it_ends(data, self.num_threads)
            if where is not None:
                reason = f"{errors.TRUNCATED}: it ends after {len(data)} bytes, {where}"
        return f"cannot decode JPEG XL image: {reason}"

    def _take_jpeg_pixels(self, data: bytes, failure: RuntimeError) -> bytes:
        """The pixels of a file whose JPEG cannot be rebuilt, laid out as the
        JPEG would have been (its orientation not applied, as the Exif still
        says it); returns the profile of the pixels."""
        upright = (self._facts.width, self._facts.height)
        try:
            image, icc = animated.AnimatedFile(data, self._facts).decode(0, self.mode, upright, self.num_threads)
        except OSError as e:
            if ImageFile.LOAD_TRUNCATED_IMAGES:
                # Its JPEG needs the whole file: the pixels that arrived.
                return self._take_partial(data, failure)
            raise OSError(self._decode_failure(failure, data)) from e
        orientation = self._facts.orientation
        if orientation != 1:
            image = image.transpose(_UNDO_ORIENTATION[orientation])
        self.im = image.im
        self.readonly = image.readonly
        return icc

    def _take_partial(self, data: bytes, failure: RuntimeError) -> bytes:
        """The picture a file cut short holds (truncated.py), laid out as
        load() lays out the whole file; returns the profile of its pixels.
        OSError with the whole decode's reason where libjxl finds the bytes
        corrupt."""
        try:
            image, icc = truncated.partial_picture(data, self.num_threads, self.pixels_asked())
        except (ValueError, RuntimeError) as e:
            raise OSError(self._decode_failure(failure, data)) from e
        orientation = self._facts.orientation
        if self._as_jpeg(self._facts) and orientation != 1:
            image = image.transpose(_UNDO_ORIENTATION[orientation])
        truncated.check_announced(image, self.mode, self.size)
        self.im = image.im
        self.readonly = image.readonly
        return icc

    def _take_pixels(self, samples: bytes) -> None:
        """Pillow's image over the decoded bytes: in place for the modes that
        Pillow stores as they are decoded ("L", "RGBA", "I;16"; read-only, so
        Pillow copies on the first write, and so does the access object that
        load() returns), one copy into its storage else ("LA" included)."""
        image = Image.frombuffer(self.mode, self.size, samples, "raw", self._layout.rawmode, 0, 1)
        self.im = image.im
        self.readonly = image.readonly

    def _check_decoded(self, is_jpeg: bool, info: Any, image: bytes) -> None:
        layout = self._layout
        expected_size = (self._facts.width, self._facts.height)
        size_ok = (info.width, info.height) == expected_size
        if is_jpeg != self._as_jpeg(self._facts) or not size_ok or info.mode != layout.module_mode:
            got = f"{'a JPEG' if is_jpeg else 'pixels'} of {info.width}x{info.height} {info.mode}"
            msg = f"JPEG XL: decoded {got}, not the {self.size[0]}x{self.size[1]} {self.mode} its header announced"
            raise OSError(msg)
        if not is_jpeg and len(image) != info.width * info.height * layout.channels * layout.sample_bytes:
            msg = f"JPEG XL: decoded {len(image)} bytes for a {info.width}x{info.height} {layout.pillow_mode} image"
            raise OSError(msg)

    def _take_jpeg(self, jpeg: bytes) -> None:
        from PIL import JpegImagePlugin

        try:
            rebuilt = JpegImagePlugin.JpegImageFile(io.BytesIO(jpeg))
        except SyntaxError as e:
            # Damaged reconstruction data can rebuild bytes that are no JPEG;
            # load() reports a broken file as OSError, never Pillow's
            # internal "not this format" signal.
            msg = f"JPEG XL: the JPEG rebuilt from the file's reconstruction data cannot be read: {e}"
            raise OSError(msg) from e
        with rebuilt:
            if rebuilt.size != self.size or rebuilt.mode != self.mode:
                msg = f"JPEG XL: rebuilt a {rebuilt.size[0]}x{rebuilt.size[1]} {rebuilt.mode} JPEG, not the announced {self.size[0]}x{self.size[1]} {self.mode}"
                raise OSError(msg)
            rebuilt.load()
            self.im = rebuilt.im
            self.readonly = rebuilt.readonly  # Pillow's own memory: writable
            # What Pillow reads from the JPEG itself (JFIF, DPI, Adobe...).
            for key, value in rebuilt.info.items():
                self.info.setdefault(key, value)

    def _pillow_bytes(self, image: bytes) -> bytes:
        layout = self._layout
        if layout.pillow_mode != "LA" or layout.sample_bytes == 1:
            return image
        if layout.sample_bytes == 2:
            return image[1::2]  # the high byte of each little-endian sample
        return _floats_to_bytes(image)


def _floats_to_bytes(samples: bytes) -> bytes:
    """32-bit little-endian float samples as bytes: times 255 (in 32-bit
    arithmetic), limited to 0..255, truncated, NaN as 0, which is the rule the
    module uses for colour."""
    try:
        import numpy as np
    except ImportError:  # pragma: no cover - numpy is optional
        import array

        # A double product of two floats is exact; storing it rounds it as
        # a 32-bit multiplication would.
        scaled = array.array("f", (v * 255.0 for v in array.array("f", samples)))
        return bytes(0 if math.isnan(v) else int(min(max(v, 0.0), 255.0)) for v in scaled)
    v = np.frombuffer(samples, "<f4") * np.float32(255)
    return np.clip(np.nan_to_num(v, nan=0.0), 0, 255).astype(np.uint8).tobytes()


# ---- Saving ---------------------------------------------------------------


def _save(im: Image.Image, fp: IO[bytes], filename: str | bytes) -> None:
    o = save_options.SaveOptions.of(im)
    im.load()
    pixels, profile = save_options.encodable(im, save_options.icc_option(im))
    layout = layouts.encoded(pixels.mode)
    assert layout is not None  # encodable converted it
    if (pixels.mode == "I;16" or profile is not None or o.orientation != 1
            or o.progression != save_options.NO_PROGRESSION):
        # The module would tag these pixels as what they are not: 16-bit
        # grey as linear, every profile as sRGB, turned pixels as upright;
        # and it has no progression.
        try:
            data = native_save.encode(pixels.mode, pixels.size, save_options.packed(pixels, layout), profile, o)
        except ValueError as e:
            raise OSError(f"cannot encode JPEG XL image: {e}") from e
        fp.write(data)
        return
    encoder = tessara.Encoder(
        layout.module_mode,
        lossless=o.lossless,
        quality=o.quality,
        decoding_speed=o.decoding_speed,
        effort=o.effort,
        use_container=o.use_container,
        num_threads=o.num_threads,
    )
    try:
        data = encoder(
            save_options.packed(pixels, layout),
            pixels.width,
            pixels.height,
            False,
            exif=o.exif,
            xmp=o.xmp,
            compress=o.compress_metadata,
        )
    except RuntimeError as e:
        msg = f"cannot encode JPEG XL image: {errors.plain_reason(e, 'encode')}"
        raise OSError(msg) from e
    fp.write(data)


def _save_all(im: Image.Image, fp: IO[bytes], filename: str | bytes) -> None:
    """Every frame of the image and of append_images as one animation; one
    frame in all stays a still image."""
    if animation_save.frame_count(im) == 1:
        _save(im, fp, filename)
    else:
        animation_save.save_all(im, fp)


def register() -> None:
    Image.register_open(FORMAT, JxlImageFile, _accept)
    Image.register_decoder(incremental.NAME, incremental.IncrementalDecoder)
    Image.register_save(FORMAT, _save)
    Image.register_save_all(FORMAT, _save_all)
    Image.register_extension(FORMAT, ".jxl")
    Image.register_mime(FORMAT, "image/jxl")
