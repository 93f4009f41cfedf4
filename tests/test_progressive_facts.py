"""The progressive decoder, the loads of files cut short and ImageFile.Parser
on the facts the one reader gives, for files of every layout (jbrd
placements, a JPEG first frame, mixed depths, orientations 1-8, layers, a
lossy Adobe RGB file): fed whole in random pieces, ProgressiveDecoder gives
what decode_array and Image.open give; cut short, the truncated load, Parser
and ProgressiveDecoder give one picture, in the profile the file announces."""

import io

import numpy as np
import pytest
from PIL import Image, ImageFile, ImageOps

from jxltools import ADOBE_RGB, PROPHOTO_RGB, cjxl, fixture_tool, run, walk_container
from tessara_pillow import ProgressiveDecoder, decode_array, encode_array, jxl_info, preview
from test_facts_agree import NAMES, corpus  # noqa: F401 (a fixture)
from test_progressive import feed_randomly, parse, photo


def fed(data, seed, largest=700):
    """A ProgressiveDecoder fed data in random pieces."""
    decoder = ProgressiveDecoder()
    feed_randomly(decoder, data, largest, seed)
    return decoder


def picture(image):
    return image.mode, image.size, np.asarray(image), image.info.get("icc_profile")


def loaded(data):
    with Image.open(io.BytesIO(data)) as im:
        im.load()
        return picture(im)


def parsed(data, seed):
    return picture(parse(data, 900, seed))


def assert_same(got, want):
    assert got[:2] == want[:2]
    np.testing.assert_array_equal(got[2], want[2])
    assert got[3] == want[3]


def as_stored(image, orientation):
    """An upright picture laid out as a JPEG stores it (its Exif orientation
    not applied), as the plug-in lays out a cut JPEG's pixels."""
    undo = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180, 4: Image.Transpose.FLIP_TOP_BOTTOM,
            5: Image.Transpose.TRANSPOSE, 6: Image.Transpose.ROTATE_90, 7: Image.Transpose.TRANSVERSE,
            8: Image.Transpose.ROTATE_270}
    turned = image if orientation == 1 else image.transpose(undo[orientation])
    turned.info = image.info
    return turned


def first_picture(data):
    """The fewest bytes from which preview() gives a picture (the whole file
    for a file without stages)."""
    lo, hi = 1, len(data)
    while lo < hi:
        mid = (lo + hi) // 2
        if preview(data[:mid])[0] is not None:
            hi = mid
        else:
            lo = mid + 1
    return lo


@pytest.fixture
def truncated_allowed(monkeypatch):
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)


# ---- The whole file --------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_fed_whole_in_pieces_the_decoder_gives_what_the_readers_give(corpus, name):  # noqa: F811
    data = corpus[name].read_bytes()
    info = jxl_info(data)
    decoder = fed(data, seed=len(data))
    assert decoder.stage == "complete"
    expected = decode_array(data, index=0)
    array = decoder.array()
    assert array.dtype == expected.dtype
    np.testing.assert_array_equal(array, expected)
    image = decoder.image()
    assert (decoder.mode, decoder.size, decoder.icc_profile) == (image.mode, image.size, info.icc_profile)
    if info.jpeg_reconstruction and not info.is_animated:
        # Image.open rebuilds the JPEG, as stored; the decoder gives libjxl's
        # pixels of it, upright, as decode_array does.
        with Image.open(io.BytesIO(data)) as im:
            upright = ImageOps.exif_transpose(im)
            assert (image.mode, image.size) == (upright.mode, upright.size)
        return
    assert_same(picture(image), loaded(data))


# ---- Cut short --------------------------------------------------------------------


def cut_pictures(data, seed):
    """What the truncated load, Parser and ProgressiveDecoder give of data
    (cut short), and the facts open announced."""
    with Image.open(io.BytesIO(data)) as im:
        announced = im.mode, im.size, im.info.get("icc_profile")
        jpeg = im.jpeg_reconstruction and not im.is_animated
        im.load()
        load = picture(im)
    decoder = fed(data, seed)
    image = decoder.image()
    return announced, jpeg, load, parsed(data, seed), image


@pytest.mark.parametrize("name", NAMES)
def test_cut_short_the_readers_give_one_picture(corpus, truncated_allowed, name):  # noqa: F811
    whole = corpus[name].read_bytes()
    info = jxl_info(whole)
    data = whole[: len(whole) * 3 // 4]
    announced, jpeg, load, parser, image = cut_pictures(data, seed=len(data))
    assert (load[0], load[1], load[3]) == announced
    assert load[3] == info.icc_profile
    assert_same(parser, load)
    if image is not None:
        if jpeg:
            image = as_stored(image, info.orientation)
        assert_same(picture(image), load)


@pytest.fixture(scope="module")
def staged(tmp_path_factory):
    """Files large enough for the 1:8 preview to be a stage of its own."""
    d = tmp_path_factory.mktemp("staged")
    rgb = photo()
    Image.fromarray(rgb).save(d / "adobe.png", icc_profile=ADOBE_RGB)
    exif = Image.Exif()
    exif[0x0112] = 6
    Image.fromarray(rgb).save(d / "o6.jpg", quality=90, exif=exif.tobytes())
    return {
        "lossy in Adobe RGB": cjxl(d / "adobe.png", d / "adobe.jxl", "-d", "1"),
        "16-bit lossy in ProPhoto RGB": encode_array(photo(dtype=np.uint16), icc_profile=PROPHOTO_RGB),
        "lossy, orientation 6": encode_array(rgb, exif=exif.tobytes()),
        "JPEG, orientation 6": cjxl(d / "o6.jpg", d / "o6.jxl"),
    }


@pytest.mark.parametrize("name", ["lossy in Adobe RGB", "16-bit lossy in ProPhoto RGB", "lossy, orientation 6",
                                  "JPEG, orientation 6"])
def test_cut_after_the_preview_the_readers_give_one_picture(staged, truncated_allowed, name):
    whole = staged[name]
    info = jxl_info(whole)
    at = first_picture(whole)
    assert at < len(whole) * 0.6
    data = whole[: (at + len(whole)) // 2]
    announced, jpeg, load, parser, image = cut_pictures(data, seed=at)
    assert (load[0], load[1], load[3]) == announced
    assert load[3] == info.icc_profile
    assert_same(parser, load)
    assert image is not None
    if jpeg:
        image = as_stored(image, info.orientation)
    got = picture(image)
    if name.startswith("16-bit"):
        # Image.open gives libjxl's 8-bit samples of colour converted by its
        # colour management; the decoder draws Pillow's picture from its
        # 16-bit samples, as for every other 16-bit file.
        assert got[:2] == load[:2] and got[3] == load[3]
        assert np.abs(got[2].astype(int) - load[2]).max() <= 1
    else:
        assert_same(got, load)


@pytest.mark.parametrize("name", ["lossy in Adobe RGB", "16-bit lossy in ProPhoto RGB", "lossy, orientation 6"])
def test_parser_of_a_whole_file_gives_what_image_open_gives(staged, name):
    data = staged[name]
    assert_same(parsed(data, seed=3), loaded(data))
    decoder = fed(data, seed=5, largest=65536)
    np.testing.assert_array_equal(decoder.array(), decode_array(data))


def test_parser_opening_before_the_jpeg_reconstruction_data_waits_for_it(staged):
    """libjxl's encoder writes the codestream's header before the JPEG's
    reconstruction data: Parser, opening the image from that header alone,
    must not take the file for one of pixels."""
    data = staged["JPEG, orientation 6"]
    offset = 0
    for kind, content in walk_container(data):
        if kind == b"jbrd":
            break
        offset += 8 + len(content)
    with Image.open(io.BytesIO(data[:offset])) as early:
        assert not early.jpeg_reconstruction and early.size == (540, 720)
    parser = ImageFile.Parser()
    parser.feed(data[:offset])
    parser.feed(data[offset:])
    assert_same(picture(parser.close()), loaded(data))


@pytest.mark.parametrize("frames", [1, 2])
def test_a_frame_of_more_layers_than_allowed_is_refused_when_read_progressively(tmp_path, monkeypatch, frames):
    """Each layer costs libjxl a pass over the canvas: the progressive
    readers refuse a frame of too many, as decode_array does, rather than
    composite them."""
    path = tmp_path / "layers.jxl"
    run(fixture_tool(), path, "layers", 300, 3, 64, 48, "--frames", frames)
    data = path.read_bytes()
    with pytest.raises(ValueError, match="more than 256 layers"):
        decode_array(data, index=0)
    for largest in (200, 1 << 20):
        with pytest.raises(ValueError, match="more than 256 layers"):
            fed(data, seed=largest, largest=largest)
    with pytest.raises(ValueError, match="more than 256 layers"):
        preview(data)
    if frames == 1:
        with pytest.raises(OSError, match="more than 256 layers"):
            parsed(data, seed=2)
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)
    with Image.open(io.BytesIO(data[: len(data) * 9 // 10])) as im, pytest.raises(OSError, match="layers"):
        im.load()
