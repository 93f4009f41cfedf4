"""One file, one set of facts: jxl_info, decode_array, the plug-in's open
and the converter's plan agree with each other and with libjxl (jxlinfo's
report, djxl's pixels and rebuilt JPEGs) on files of every layout: JPEG
reconstruction data before and after the codestream, an animation whose
first frame is a JPEG, alpha deeper or shallower than colour, orientations
1-8, layers, and a lossy file in a profile libjxl cannot name."""

import numpy as np
import pytest
from PIL import Image, ImageOps, ImageSequence

from jxltools import ADOBE_RGB, box, cjxl, djxl, fixture_tool, jxlinfo, run, walk_container
from tessara_pillow import decode_array, jxl_info, jxl_to_jpeg
from tessara_pillow.convert.planning import JPEG, PNG, Action, Settings, make_plan

W, H = 24, 16


def _jpeg(directory, orientation=1):
    """A JPEG with an Exif orientation, from noise smooth enough to compare."""
    y, x = np.mgrid[0:H, 0:W]
    rgb = np.dstack([x * 10, y * 15, (x + y) * 6]).astype(np.uint8)
    exif = Image.Exif()
    exif[0x0112] = orientation
    path = directory / f"o{orientation}.jpg"
    Image.fromarray(rgb).save(path, quality=92, exif=exif.tobytes())
    return path


def _moved_jbrd(data):
    """The file with its JPEG reconstruction box moved after the codestream."""
    boxes = walk_container(data)
    jbrd = [content for kind, content in boxes if kind == b"jbrd"]
    rest = b"".join(box(kind, content) for kind, content in boxes if kind != b"jbrd")
    return rest + box(b"jbrd", jbrd[0])


def _made(directory, name, *args):
    path = directory / f"{name}.jxl"
    run(fixture_tool(), path, *map(str, args))
    return path


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    d = tmp_path_factory.mktemp("layouts")
    files = {}
    for o in range(1, 9):
        files[f"jpeg orientation {o}"] = d / f"jpeg{o}.jxl"
        cjxl(_jpeg(d, o), files[f"jpeg orientation {o}"])
        files[f"orientation {o}"] = _made(d, f"o{o}", "uint", 8, 4, W, H, "--orientation", o)
    after = d / "jbrd_after.jxl"
    after.write_bytes(_moved_jbrd(files["jpeg orientation 1"].read_bytes()))
    files["jbrd after the codestream"] = after
    files["animation from a JPEG"] = _made(d, "janim", "jpeg", 3, 3, W, H, "--jpeg", _jpeg(d))
    for colour, alpha in ((8, 16), (16, 8), (12, 4), (1, 8)):
        files[f"{colour}-bit colour, {alpha}-bit alpha"] = _made(d, f"c{colour}a{alpha}", "uint", colour, 4, W, H,
                                                                 "--alpha-bits", alpha)
    files["half floats, 8-bit alpha"] = _made(d, "f16a8", "float", 16, 4, W, H, "--alpha-bits", 8)
    files["animation, 16-bit alpha"] = _made(d, "anim_a16", "anim", 3, 4, W, H, "--alpha-bits", 16)
    files["layers in a still"] = _made(d, "layers", "layers", 5, 3, W, H)
    files["layers in an animation"] = _made(d, "layered_anim", "layers", 3, 3, W, H, "--frames", 4)
    y, x = np.mgrid[0:H, 0:W]
    Image.fromarray(np.dstack([x * 10, y * 15, x * 5 + 40]).astype(np.uint8)).save(d / "adobe.png",
                                                                                     icc_profile=ADOBE_RGB)
    files["lossy in Adobe RGB"] = d / "adobe.jxl"
    cjxl(d / "adobe.png", files["lossy in Adobe RGB"], "-d", "1")
    return files


def _displayed(layers):
    """jxlinfo's layers grouped into the frames a viewer shows: a frame ends
    at a layer that lasts, or at the last one."""
    frames, count = [], 0
    for k, (_, ms) in enumerate(layers):
        count += 1
        if ms or k == len(layers) - 1:
            frames.append((ms or 0.0, count))
            count = 0
    return frames


# The JPEG each file with reconstruction data was made from.
ORIGINALS = {**{f"jpeg orientation {o}": f"o{o}.jpg" for o in range(1, 9)},
             "jbrd after the codestream": "o1.jpg", "animation from a JPEG": "o1.jpg"}
NAMES = ([f"jpeg orientation {o}" for o in range(1, 9)] + [f"orientation {o}" for o in range(1, 9)] +
         ["jbrd after the codestream", "animation from a JPEG", "8-bit colour, 16-bit alpha",
          "16-bit colour, 8-bit alpha", "12-bit colour, 4-bit alpha", "1-bit colour, 8-bit alpha",
          "half floats, 8-bit alpha", "animation, 16-bit alpha", "layers in a still", "layers in an animation",
          "lossy in Adobe RGB"])


@pytest.mark.parametrize("name", NAMES)
def test_every_reader_tells_the_same_facts_as_libjxl(corpus, tmp_path, name):
    path = corpus[name]
    data = path.read_bytes()
    info = jxl_info(data)
    _, report = jxlinfo(path)

    # jxlinfo: the header as stored, frames and layers uncoalesced.
    stored = (info.height, info.width) if info.orientation >= 5 else (info.width, info.height)
    alphas = [c for c in report["extra_channels"] if c[0] == 0]
    assert (report["size"], report["orientation"], report["bits"], report["exponent_bits"],
            report["animation"], report["loops"]) == (
        stored, info.orientation, info.bits_per_sample, info.exponent_bits_per_sample, info.is_animated,
        info.loop)
    alpha = (alphas[0][1], alphas[0][2]) if alphas else (0, 0)
    assert (info.alpha_bits, info.alpha_exponent_bits_per_sample) == alpha
    assert report["lossless"] != info.xyb_encoded
    assert report["colour_space"].startswith("RGB, ") == (info.colour_encoding is not None)
    frames = _displayed(report["layers"]) or [(0.0, 1)]
    assert info.n_frames == len(frames)
    # libjxl rebuilds the JPEG only from data it meets before the first
    # frame; djxl writes the original then, else a JPEG of the pixels.
    rebuilt = djxl(path, tmp_path / "rebuilt.jpg").read_bytes()
    original = ORIGINALS.get(name)
    assert report["jbrd"] == (original is not None)
    assert info.jpeg_reconstruction == (original is not None and rebuilt == (path.parent / original).read_bytes())

    # decode_array: the frames, the size and the dtype jxl_info gives.
    array = decode_array(data)
    shape = (info.height, info.width) + ((info.channels,) if info.channels > 1 else ())
    assert array.shape == ((info.n_frames,) if info.is_animated else ()) + shape
    assert array.dtype == np.dtype(info.dtype)

    # The plug-in's open: the same picture, frames and reconstruction.
    with Image.open(path) as im:
        as_jpeg = info.jpeg_reconstruction and not info.is_animated
        assert im.size == (stored if as_jpeg else (info.width, info.height))
        assert (im.is_animated, im.n_frames, im.jpeg_reconstruction) == (
            info.is_animated, info.n_frames, info.jpeg_reconstruction)
        if info.is_animated:
            assert im.info["loop"] == info.loop

    # The converter's plan back from JPEG XL: the JPEG where libjxl rebuilds
    # a still one, every pixel (and frame) as PNG otherwise.
    plan = make_plan([str(path)], Settings(out_dir=tmp_path / "out"))
    assert [(j.action, j.fmt) for j in plan.jobs] == [
        (Action.REBUILD, JPEG) if as_jpeg else (Action.ENCODE, PNG)]


@pytest.mark.parametrize("name", ["animation from a JPEG", "layers in an animation", "animation, 16-bit alpha"])
def test_animation_frames_are_djxls_frames(corpus, tmp_path, name):
    """Frame 0 of an animation is the picture, a JPEG first frame too: every
    frame comes, in decode_array, by index and in the plug-in, as djxl plays it."""
    path = corpus[name]
    data = path.read_bytes()
    with Image.open(djxl(path, tmp_path / "ref.png")) as ref:
        expected = [np.asarray(frame.convert("RGB")) for frame in ImageSequence.Iterator(ref)]
    frames = decode_array(data)
    assert len(frames) == len(expected) == jxl_info(data).n_frames
    with Image.open(path) as im:
        shown = [np.asarray(frame.convert("RGB")) for frame in ImageSequence.Iterator(im)]
    for k, want in enumerate(expected):
        np.testing.assert_array_equal(shown[k], want, err_msg=f"frame {k}")
        if frames.dtype == np.uint8:
            np.testing.assert_array_equal(frames[k][..., :3], want, err_msg=f"frame {k}")
        np.testing.assert_array_equal(decode_array(data, index=k), frames[k])
    with pytest.raises(IndexError):
        decode_array(data, index=len(expected))


def test_a_jpeg_first_frame_rebuilds_the_jpeg_it_came_from(corpus):
    data = corpus["animation from a JPEG"].read_bytes()
    assert jxl_to_jpeg(data) == (corpus["animation from a JPEG"].parent / "o1.jpg").read_bytes()


@pytest.mark.parametrize("orientation", range(1, 9))
def test_a_jpeg_opens_as_stored_and_exif_transpose_gives_the_upright_array(corpus, orientation):
    """Image.open gives the rebuilt JPEG as stored, with its Exif orientation,
    as Pillow gives the JPEG itself; decode_array gives libjxl's upright
    pixels, as djxl does. exif_transpose brings the two together."""
    path = corpus[f"jpeg orientation {orientation}"]
    array = decode_array(path.read_bytes())
    with Image.open(path) as im, Image.open(path.parent / f"o{orientation}.jpg") as original:
        assert im.getexif().get(0x0112) == orientation
        np.testing.assert_array_equal(np.asarray(im), np.asarray(original))
        upright = np.asarray(ImageOps.exif_transpose(im))
    assert upright.shape == array.shape
    # Two decoders of one JPEG: libjpeg-turbo's and libjxl's rounding differ.
    assert np.abs(upright.astype(int) - array).max() <= 3
