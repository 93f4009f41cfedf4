"""numpy arrays at a JPEG XL file's own precision, through the private module
_native: decode_array and encode_array.

Image.open gives Pillow's 8-bit "RGB"/"RGBA" for a 16-bit or float colour
file (Pillow has no deeper colour mode); decode_array gives every bit and
every channel of the same file. numpy is needed only here, and imported on
the first call."""

from __future__ import annotations

from collections.abc import Buffer, Iterable
from typing import TYPE_CHECKING, Any

from . import _native, timing
from .facts import FileFacts
from .metadata import exif_to_box, orientation
from .save_options import check_int, check_number, lossless_for, progression

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

# The most pixels (width x height) decode_array allocates for and
# encode_array accepts: a gigapixel, 16 GiB as four float32 channels. A file
# that declares more fails before memory is spent on it.
MAX_PIXELS = 1 << 30
# The largest width or height a JPEG XL codestream holds.
MAX_SIDE = 1 << 30

DTYPES = ("uint8", "uint16", "float16", "float32")
_CHANNELS = (1, 2, 3, 4)


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as e:  # pragma: no cover - numpy is in every test set-up
        raise ImportError("tessara_pillow's array functions need numpy: pip install 'tessara[numpy]'") from e
    return numpy


def _threads(num_threads: object) -> int:
    # Negative: libjxl's default worker count; the native module refuses
    # counts no pool can have.
    return check_int("num_threads", num_threads, -(1 << 63), (1 << 63) - 1)


def decode_array(data: Buffer, *, index: int | None = None, num_threads: int = -1) -> npt.NDArray[Any]:
    """The image of a JPEG XL file as a numpy array at the file's own precision.

    data is the whole file, any bytes-like object (bytes, bytearray,
    memoryview, mmap), read in place. The shape is (H, W) for grey, (H, W, 2)
    grey with alpha, (H, W, 3) colour and (H, W, 4) colour with alpha. The
    dtype is the narrowest of uint8, uint16, float16 and float32 that holds
    every sample of colour and of alpha as stored (jxl_info(data).dtype):
    uint8 for integers of up to 8 bits, uint16 for 9 to 16 bits, float16 for
    half floats and float32 for 32-bit floats and integers of more than 16
    bits (exact up to 24).

    Every sample is as stored, not rescaled: integers are their values (a
    12-bit file gives 0..4095) and floats are as they are (nominally 0..1,
    may exceed it), each channel at its own depth: 8-bit colour with 16-bit
    alpha gives uint16 with colour 0..255 and alpha 0..65535. The pixels are
    upright (the file's orientation applied, as djxl applies it; Image.open
    does so too, except for the rebuilt JPEG of a file made from one, which
    keeps its Exif orientation), in the colour profile jxl_info gives: the
    file's own, lossy files included (libjxl's colour management converts
    those whose profile libjxl cannot express). A file with JPEG
    reconstruction data gives its pixels.

    An animation (jxl_info(data).is_animated) gives every displayed frame,
    composited as a viewer shows it, stacked on a leading axis: (N, H, W) or
    (N, H, W, C). index=i gives frame i alone, shaped as a still image
    (negative counts from the end); a still image has frame 0 only. An index
    out of range raises IndexError.

    The array is writable and owns the memory libjxl decoded into: nothing is
    copied after the decode. The interpreter lock is released during the
    decode. num_threads: libjxl's worker threads, negative for its default
    (one per core), 0 for the calling thread alone.

    Raises ValueError for data that is not JPEG XL, truncated or corrupt, an
    image of more than MAX_PIXELS pixels, or a frame that composites more
    than facts.MAX_LAYERS layers (refused before it is decoded);
    MemoryError when the samples do not fit in memory."""
    np = _numpy()
    threads = _threads(num_threads)
    if index is not None:
        index = check_int("index", index, -(1 << 63), (1 << 63) - 1)
    decoder = _native.FrameDecoder(data, "", 0, True, threads)
    found = FileFacts.from_native(decoder.facts)
    if found.width * found.height > MAX_PIXELS:
        raise ValueError(f"the image has more pixels than the limit ({found.width} x {found.height})")
    shape = (found.height, found.width) if found.channels == 1 else (found.height, found.width, found.channels)
    count = found.count if found.animated else 1
    if index is not None or not found.animated:
        at = 0 if index is None else index
        if not -count <= at < count:
            raise IndexError(f"no frame {at}: the file has {count} frame{'s' if count != 1 else ''}")
        buffer, _, _ = decoder.decode(at % count)
        frame: npt.NDArray[Any] = np.frombuffer(buffer, dtype=found.dtype).reshape(shape)
        return frame
    if found.stopped is not None:
        raise ValueError(found.stopped.text)
    if count * found.width * found.height > MAX_PIXELS:
        raise ValueError(f"the animation has more pixels than the limit "
                         f"({count} frames of {found.width} x {found.height})")
    stack: npt.NDArray[Any] = np.empty((count, *shape), dtype=found.dtype)
    for i in range(count):
        buffer, _, _ = decoder.decode(i)
        stack[i] = np.frombuffer(buffer, dtype=found.dtype).reshape(shape)
        del buffer  # so that the next frame is decoded into it
    return stack


def _shape(array: np.ndarray[Any, Any], frames: bool = False) -> tuple[int, int, int]:
    """(height, width, channels) of an image, or of each frame of a stack of
    them (frames=True: the leading axis counts the frames)."""
    lead = 1 if frames else 0
    if array.ndim - lead not in (2, 3):
        if frames:
            raise ValueError(f"encode_array with duration= takes an array of shape (N, H, W) or (N, H, W, C), "
                             f"not {array.ndim} dimensions")
        hint = " (an animation: give duration=)" if array.ndim == 4 else ""
        raise ValueError(f"encode_array takes an array of shape (H, W) or (H, W, C), not {array.ndim} dimensions"
                         + hint)
    if frames and array.shape[0] == 0:
        raise ValueError("encode_array cannot store an animation of no frames")
    height, width = int(array.shape[lead]), int(array.shape[lead + 1])
    channels = 1 if array.ndim - lead == 2 else int(array.shape[lead + 2])
    if channels not in _CHANNELS:
        raise ValueError(f"encode_array takes 1 to 4 channels (grey, grey+alpha, RGB, RGBA), not {channels}")
    if height == 0 or width == 0:
        raise ValueError(f"encode_array cannot store an empty image ({height} x {width})")
    if height > MAX_SIDE or width > MAX_SIDE or height * width > MAX_PIXELS:
        raise ValueError(f"the image is too large for JPEG XL: {height} x {width} "
                         f"(at most {MAX_SIDE} a side and {MAX_PIXELS} pixels)")
    return height, width, channels


def _bits(dtype: str, bits_per_sample: int | None) -> int:
    stored = {"uint8": 8, "uint16": 16}.get(dtype)
    if bits_per_sample is None:
        return 0
    if stored is None:
        raise ValueError(f"bits_per_sample narrows integer samples only; {dtype} samples are stored as they are")
    return check_int("bits_per_sample", bits_per_sample, 1, stored)


def _bytes_option(name: str, value: object) -> bytes | None:
    if value is None:
        return None
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes or None, not {type(value).__name__}")
    return bytes(value) or None


def encode_array(
    array: npt.ArrayLike,
    *,
    lossless: bool = False,
    quality: float = 90,
    effort: int = 7,
    decoding_speed: int = 0,
    bits_per_sample: int | None = None,
    exif: bytes | None = None,
    xmp: bytes | None = None,
    icc_profile: bytes | None = None,
    num_threads: int = -1,
    duration: float | Iterable[float] | None = None,
    loop: int = 0,
    progressive: bool = False,
    progressive_dc: int | None = None,
    progressive_ac: bool | None = None,
    responsive: bool | None = None,
) -> bytes:
    """A JPEG XL file of a numpy array: shape (H, W) or (H, W, 1) grey,
    (H, W, 2) grey with alpha, (H, W, 3) colour, (H, W, 4) colour with alpha;
    dtype uint8, uint16, float16 or float32.

    The file stores the dtype's own depth unless bits_per_sample narrows an
    integer dtype (a 12-bit array in uint16: bits_per_sample=12; a value
    above 2**bits - 1 is a ValueError; uint16 narrowed to 8 bits or fewer is
    copied to uint8 first, and decodes as uint8). Values are stored as they are, not
    rescaled, so decode_array gives them back; lossless=True keeps every
    value exactly. Unsigned integers are tagged sRGB and floats linear sRGB
    (nominally 0..1), unless icc_profile gives the profile they are in
    (lossless, libjxl's own profile of a colour encoding is stored as that
    encoding). An orientation in exif (else xmp) goes into the codestream:
    the array is stored as given and read back turned upright.

    lossy quality is 0 to 100 (libjxl's scale; 90 is visually lossless for
    most images); an image with a side longer than 131,072 pixels is stored
    lossless, as libjxl's lossy encoder takes time that grows with the
    square of such a side; effort is 1 (fastest) to 10; decoding_speed 0 to 4. exif
    is the TIFF data with or without Pillow's b"Exif\\0\\0" prefix, xmp the
    XMP packet. num_threads: libjxl's worker threads, negative for its
    default.

    duration= makes an animation: the array's leading axis is then the
    frames, shape (N, H, W) or (N, H, W, C), and duration is each frame's
    time in milliseconds, one number for all or a sequence of N (stored
    exactly: see timing.py); loop is the number of plays, 0 for forever.
    Without duration a 3-D array is one (H, W, C) image, and a 4-D array is
    refused. Every other option holds for every frame.

    progressive=True codes the file for progressive decoding (a 1:8
    preview early in the file, the detail in passes; docs/progressive.md
    says what it costs in size); progressive_dc (0 to 2 DC frames),
    progressive_ac and responsive (squeezed lossless or modular images) ask
    for each part alone, as cjxl's options of the same names do.

    C-contiguous arrays are read in place; others are first made
    contiguous by numpy. The interpreter lock is released during the encode.

    What libjxl 0.11 cannot keep or survive is refused with ValueError: NaN,
    infinity or magnitudes above 1e30 in a lossy float encode (libjxl would
    end the process), and in a lossless float16 encode NaN and the subnormals
    0x0200-0x03FF and their negatives, which libjxl changes (NaN into a
    finite value; encode such an array as float32, which keeps every bit
    pattern). Lossless effort 1 on integers of more than 8 bits is
    run at effort 2, because libjxl 0.11.2's effort 1 corrupts memory on
    noisy images of that depth. Wrong shapes, channel counts, dtypes and
    options raise ValueError or TypeError."""
    np = _numpy()
    a = array if isinstance(array, np.ndarray) else np.asarray(array)
    animated = duration is not None
    height, width, channels = _shape(a, animated)
    dtype = str(a.dtype.name)
    if dtype not in DTYPES:
        raise TypeError(f"encode_array takes uint8, uint16, float16 or float32 samples, not {dtype}")
    bits = _bits(dtype, bits_per_sample)
    if dtype == "uint16" and 0 < bits <= 8:
        # libjxl takes 16-bit samples at 9 bits and more; 8 and fewer are
        # handed over as bytes (a copy), after the range check a narrowing needs.
        if a.size and int(a.max()) >= 1 << bits:
            raise ValueError("a sample is above the largest value bits_per_sample allows")
        a, dtype = a.astype(np.uint8), "uint8"
    quality = check_number("quality", quality, 0, 100)
    effort = check_int("effort", effort, 1, 10)
    decoding_speed = check_int("decoding_speed", decoding_speed, 0, 4)
    exif_box = _bytes_option("exif", exif)
    if exif_box is not None:
        exif_box = exif_to_box(exif_box)
    xmp_box, icc = _bytes_option("xmp", xmp), _bytes_option("icc_profile", icc_profile)
    oriented = orientation(exif_box, xmp_box)
    threads = _threads(num_threads)
    coding = progression(progressive, progressive_dc, progressive_ac, responsive)
    lossless = lossless_for(bool(lossless), width, height)
    # Only a strided, misaligned or byte-swapped array is copied.
    samples = np.require(a, dtype=a.dtype.newbyteorder("="), requirements=["C_CONTIGUOUS", "ALIGNED"])
    if duration is not None:
        loop = check_int("loop", loop, 0, timing.MAX_TICKS)
        durations = timing.check_durations(list(duration) if isinstance(duration, Iterable)
                                           else [duration] * len(a))
        if len(durations) != len(a):
            raise ValueError(f"duration has {len(durations)} entries for {len(a)} frames")
        numerator, denominator, ticks = timing.to_ticks(durations)
        encoder = _native.AnimationEncoder(width, height, channels, dtype, bits, lossless, float(quality),
                                           effort, decoding_speed, numerator, denominator, loop,
                                           dtype.startswith("float") and icc is None, icc, False, threads,
                                           oriented, *coding)
        for kind, box in (("exif", exif_box), ("xmp", xmp_box)):
            if box is not None:
                encoder.add_box(kind, box, False)
        for frame, t in zip(samples, ticks, strict=True):
            encoder.add_frame(frame, t, "")
        return encoder.finish()
    return _native.encode(samples, width, height, channels, dtype, bits, lossless, float(quality),
                          effort, decoding_speed, exif_box, xmp_box, icc, threads, False, False, oriented, None,
                          *coding)
