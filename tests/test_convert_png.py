"""tessara-convert on PNGs that need libpng: cICP colour stored as cjxl
stores it (jxlinfo judges), 16-bit layouts Pillow cannot read whole, their
metadata, and what hostile shapes and bombs cost (peak memory of a child
process, by counting, never by timing)."""

import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest
from PIL import Image

from jxltools import cjxl, jxlinfo, tool
from pngtools import chunk, header, reference_png
from reliability import SKIP_UNDER_SANITIZER, SLOW_UNDER_SANITIZER
from tessara_pillow import decode_array
from tessara_pillow.convert import main, pngfile

rng = np.random.default_rng(2100)


def convert(capsys, *args, code=0):
    result = main([str(a) for a in args])
    out, err = capsys.readouterr()
    assert result == code, err
    return out + err


def colour_report(path):
    """jxlinfo's lines on depth and colour: what cjxl and we must agree on."""
    out = subprocess.run([tool("jxlinfo"), "-v", str(path)], capture_output=True, text=True, check=True).stdout
    keep = ("JPEG XL image", "Color space", "intensity_target", "num_color_channels", "num_extra_channels")
    return [line for line in out.splitlines() if line.startswith(keep)]


def ffmpeg_png(path, pix_fmt, primaries, transfer, size="64x48"):
    subprocess.run([tool("ffmpeg"), "-v", "error", "-f", "lavfi", "-i", f"testsrc2=s={size}:d=1", "-frames:v", "1",
                    "-vf", f"format={pix_fmt},setparams=color_primaries={primaries}:color_trc={transfer}"
                    ":colorspace=gbr:range=pc", str(path)], check=True)


@pytest.mark.parametrize("pix_fmt, primaries, transfer", [
    ("rgb48be", "bt2020", "smpte2084"),  # HDR PQ
    ("rgb24", "smpte432", "iec61966-2-1"),  # Display P3
    ("gray16be", "bt2020", "arib-std-b67"),  # HLG grey
    ("rgba64be", "bt709", "linear"),
    ("ya8", "bt709", "bt709"),
])
@pytest.mark.parametrize("mode", [["--lossless"], ["-q", "80"]])
def test_cicp_is_stored_as_cjxl_stores_it(tmp_path, capsys, pix_fmt, primaries, transfer, mode):
    png = tmp_path / "in" / "c.png"
    png.parent.mkdir()
    ffmpeg_png(png, pix_fmt, primaries, transfer)
    reference = cjxl(png, tmp_path / "cjxl.jxl", *(["-d", "0"] if mode == ["--lossless"] else ["-q", "80"]))
    convert(capsys, png.parent, "-o", tmp_path / "out", *mode)
    ours = tmp_path / "out" / "c.jxl"
    assert colour_report(ours) == colour_report(tmp_path / "cjxl.jxl")
    assert not any("ICC" in line for line in colour_report(ours))
    if mode == ["--lossless"]:
        assert np.array_equal(decode_array(ours.read_bytes()), decode_array(reference))


def test_a_cicp_jpeg_xl_cannot_label_is_refused_in_one_line(tmp_path, capsys):
    samples = rng.integers(0, 65536, (5, 6, 3), dtype=np.uint16)
    png = tmp_path / "narrow.png"
    png.write_bytes(reference_png(samples, extra=chunk(b"cICP", bytes([9, 16, 0, 0]))))
    out = convert(capsys, png, code=1)
    assert "cICP chunk (9, 16, 0, 0) names colours JPEG XL has no encoding for" in out
    assert not (tmp_path / "narrow.jxl").exists()


@pytest.mark.parametrize("channels, interlaced, transparency", [
    (1, False, None), (1, True, b"\x01\x00"), (2, True, None), (3, False, b"\0\1\0\2\0\3"), (4, True, None)])
def test_16_bit_pngs_keep_every_bit_as_cjxl_reads_them(tmp_path, capsys, channels, interlaced, transparency):
    samples = rng.integers(0, 65536, (13, 9, channels), dtype=np.uint16)
    extra = chunk(b"tRNS", transparency) if transparency else b""
    png = tmp_path / "in" / "d.png"
    png.parent.mkdir()
    png.write_bytes(reference_png(samples, interlaced, extra=extra))
    convert(capsys, png.parent, "-o", tmp_path / "out", "--lossless")
    ours = decode_array((tmp_path / "out" / "d.jxl").read_bytes())
    theirs = decode_array(cjxl(png, tmp_path / "cjxl.jxl", "-d", "0"))
    assert np.array_equal(ours, theirs)
    assert np.array_equal(ours.reshape(13, 9, -1)[..., :channels], samples)


def test_a_16_bit_png_is_turned_upright_and_keeps_its_metadata(tmp_path, capsys):
    samples = rng.integers(0, 65536, (4, 7, 3), dtype=np.uint16)
    exif = Image.Exif()
    exif[0x0112] = 6
    exif[0x013B] = "Ada"
    xmp = b'<x:xmpmeta xmlns:x="adobe:ns:meta/">Ada</x:xmpmeta>'
    png = tmp_path / "o.png"
    with open(png, "wb") as f:
        pngfile.write(f, samples, exif=exif.tobytes(), xmp=xmp, cicp=(1, 13, 0, 1))
    convert(capsys, png, "--lossless")
    jxl = (tmp_path / "o.jxl").read_bytes()
    assert np.array_equal(decode_array(jxl), np.rot90(samples, -1))
    with Image.open(tmp_path / "o.jxl") as im:
        assert im.getexif().get(0x013B) == "Ada" and im.getexif().get(0x0112, 1) == 1
        assert im.info["xmp"] == xmp


def test_imagemagicks_raw_profile_exif_is_kept_where_there_is_no_exif_chunk(tmp_path, capsys):
    exif = Image.Exif()
    exif[0x013B] = "Ada"
    payload = b"Exif\0\0" + exif.tobytes()
    text = f"\nexif\n{len(payload):8d}\n{payload.hex()}\n".encode()
    png = tmp_path / "im.png"
    png.write_bytes(reference_png(rng.integers(0, 65536, (3, 4, 3), dtype=np.uint16),
                                  extra=chunk(b"tEXt", b"Raw profile type exif\0" + text)))
    convert(capsys, png, "--lossless")
    with Image.open(tmp_path / "im.jxl") as im:
        assert im.getexif().get(0x013B) == "Ada"


# ---- cost: peak memory of a child process ------------------------------------------

CHILD = textwrap.dedent("""
    import sys
    from tessara_pillow.convert import main

    def peak_kib():
        for line in open("/proc/self/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

    assert main([sys.argv[1], "--lossless"]) == 0  # imports and libjxl, warmed up
    base = peak_kib()
    assert main([sys.argv[2], "--lossless"]) == 0
    print(base, peak_kib(), file=sys.stderr)
""")


def png16(width, height, bomb_mib=0):
    """A 16-bit RGB PNG (a ramp), its image data followed by `bomb_mib` MiB
    of zeros in the same stream (about a thousandth of that in the file)."""
    row = b"\0" + (np.arange(width * 3, dtype=np.uint32) % 65536).astype(">u2").tobytes()
    compressor = zlib.compressobj(9)
    stream = b"".join(compressor.compress(row) for _ in range(height))
    zeros = bytes(1 << 20)
    stream += b"".join(compressor.compress(zeros) for _ in range(bomb_mib)) + compressor.flush()
    return header(width, height, 16, 2) + chunk(b"IDAT", stream) + chunk(b"IEND", b"")


def converted_peak_mib(tmp_path, data):
    (tmp_path / "warm").mkdir()
    (tmp_path / "warm" / "w.png").write_bytes(png16(8, 8))
    (tmp_path / "in.png").write_bytes(data)
    out = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "warm"), str(tmp_path / "in.png")],
                         capture_output=True, text=True, check=True).stderr
    base, peak = map(int, out.splitlines()[-1].split())
    assert (tmp_path / "in.jxl").exists()
    return (peak - base) / 1024


@SKIP_UNDER_SANITIZER
@pytest.mark.parametrize("width, height", [(1 << 20, 1), (64, 40000)])
def test_wide_and_tall_pngs_convert_in_memory_that_follows_their_pixels(tmp_path, width, height):
    image_mib = width * height * 6 / (1 << 20)
    # The samples, libjxl's own working memory (a few times the image), and
    # room to spare; a cost that grew with the shape (width + height times
    # height samples) would be gigabytes.
    assert converted_peak_mib(tmp_path, png16(width, height)) < 12 * image_mib + 64


def test_a_zlib_bomb_after_the_last_row_costs_no_more_than_the_image(tmp_path):
    data = png16(8, 8, bomb_mib=2048)  # 2 MiB of file inflating to 2 GiB
    assert len(data) < 4 << 20
    # The file itself is read whole; nothing of the stream past the rows is kept.
    assert converted_peak_mib(tmp_path, data) < 2 * len(data) / (1 << 20) + 16


@SLOW_UNDER_SANITIZER
@pytest.mark.parametrize("dtype, extra", [
    (np.uint8, b""),  # Pillow's reader, the plug-in's save
    (np.uint16, b""),  # the full-depth reader
    (np.uint16, chunk(b"cICP", bytes([9, 16, 0, 1]))),  # a colour encoding cICP names (PQ)
], ids=["8-bit", "16-bit", "16-bit PQ"])
def test_a_line_too_long_for_lossy_coding_converts_lossless(tmp_path, capsys, dtype, extra):
    """libjxl's lossy encoder takes time that grows with the square of the
    longest side (36 s for a line of 1,048,576 pixels), so a longer side
    than 131,072 is stored lossless, without being asked, by every path."""
    samples = rng.integers(0, np.iinfo(dtype).max + 1, (1, (1 << 17) + 1, 3), dtype=dtype)
    (tmp_path / "line.png").write_bytes(reference_png(samples, extra=extra))
    convert(capsys, tmp_path / "line.png")
    assert jxlinfo(tmp_path / "line.jxl")[1]["lossless"]
    np.testing.assert_array_equal(decode_array((tmp_path / "line.jxl").read_bytes()), samples)


def ffprobe_colour(path):
    """ffmpeg's reading of a PNG's colour: (primaries, transfer)."""
    out = subprocess.run([tool("ffprobe"), "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=color_primaries,color_transfer", "-of", "default=nw=1", str(path)],
                         capture_output=True, text=True, check=True).stdout
    found = dict(line.split("=", 1) for line in out.split())
    return found["color_primaries"], found["color_transfer"]


@pytest.mark.parametrize("pix_fmt, primaries, transfer", [
    ("rgb48be", "bt2020", "smpte2084"),  # HDR PQ
    ("rgb24", "smpte432", "iec61966-2-1"),  # Display P3
    ("gray16be", "bt2020", "arib-std-b67"),  # HLG grey
])
def test_a_jpeg_xl_goes_back_to_a_png_whose_cicp_says_its_colour(tmp_path, capsys, pix_fmt, primaries, transfer):
    png = tmp_path / "in" / "c.png"
    png.parent.mkdir()
    ffmpeg_png(png, pix_fmt, primaries, transfer)
    convert(capsys, png.parent, "-o", tmp_path / "jxl", "--lossless")
    convert(capsys, tmp_path / "jxl", "-o", tmp_path / "back")
    back = tmp_path / "back" / "c.png"
    assert ffprobe_colour(png) == (primaries, transfer)
    # Grey has no primaries in JPEG XL: sRGB's white is all it keeps.
    assert ffprobe_colour(back) == ("bt709" if pix_fmt.startswith("gray") else primaries, transfer)
    np.testing.assert_array_equal(pngfile.read(back.read_bytes()).array, pngfile.read(png.read_bytes()).array)
