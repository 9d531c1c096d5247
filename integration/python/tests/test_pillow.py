"""The Pillow plugin: PVR files through Image.open (every corpus file), frames, facts, verify,
truncated files, and DDS left to Pillow's own plugin wherever it reads the file."""
import io

import numpy as np
import pytest
from PIL import Image, UnidentifiedImageError

import qzimg
import qzimg.pillow  # noqa: F401 (registers)
from conftest import max_difference, pvr_files, pvr_rgba8, pvr_tolerance, reference_png


@pytest.mark.parametrize("root, path", pvr_files())
def test_pvr_corpus_file_through_pillow(root, path):
    want = reference_png(path)
    if want is None:
        with pytest.raises(UnidentifiedImageError):
            Image.open(path)
        return
    with qzimg.open(path) as texture:
        frames = texture.levels * texture.faces * texture.layers
        last = (texture.levels - 1, texture.faces - 1, texture.layers - 1)
        last_pixels = texture.decode(*last)
    with Image.open(path) as im:
        assert im.format == "PVR" and im.mode == "RGBA" and im.n_frames == frames
        assert im.size == (want.shape[1], want.shape[0])
        assert im.info["description"].startswith("PVR") and im.info["level"] == 0
        got = np.asarray(im)
        im.seek(frames - 1)
        assert (im.info["level"], im.info["face"], im.info["layer"]) == last
        np.testing.assert_array_equal(np.asarray(im), last_pixels)
    assert max_difference(got, want) <= pvr_tolerance(root, path)
    np.testing.assert_array_equal(got, qzimg.decode(path))
    with Image.open(path) as im:
        im.verify()


def test_made_texture_opens_from_a_file_object():
    pixels = bytes(range(4 * 2 * 4))
    with Image.open(io.BytesIO(pvr_rgba8(4, 2, pixels))) as im:
        assert (im.format, im.size, im.mode) == ("PVR", (4, 2), "RGBA")
        assert (im.n_frames, im.is_animated, im.tell()) == (1, False, 0)
        assert im.info["container"] == "PVR" and im.info["srgb"] is False and im.info["hdr"] is False
        np.testing.assert_array_equal(np.asarray(im), np.frombuffer(pixels, np.uint8).reshape(2, 4, 4))
        with pytest.raises(EOFError):
            im.seek(1)
        assert im.convert("RGB").getpixel((1, 0)) == (4, 5, 6)


def test_truncated_texture_opens_and_raises_on_load_as_pillow_does():
    data = pvr_rgba8(32, 32, bytes(32 * 32 * 4))[:-1000]
    with Image.open(io.BytesIO(data)) as im:
        assert im.size == (32, 32)
        with pytest.raises(OSError, match="PVR"):
            im.load()
    with Image.open(io.BytesIO(data)) as im:
        with pytest.raises(OSError):
            im.verify()
    with pytest.raises(UnidentifiedImageError):
        Image.open(io.BytesIO(data[:40]))


def test_other_files_are_not_ours():
    with pytest.raises(UnidentifiedImageError):
        Image.open(io.BytesIO(b"PVR\x03" + bytes(60)))
    png = io.BytesIO()
    Image.new("RGB", (2, 2)).save(png, "PNG")
    with Image.open(png) as im:
        assert im.format == "PNG"


def dds_dxt1(width, height):
    """A legacy DXT1 DDS file of black blocks, which Pillow reads itself."""
    import struct
    blocks = ((width + 3) // 4) * ((height + 3) // 4)
    pf = struct.pack("<II4s5I", 32, 4, b"DXT1", 0, 0, 0, 0, 0)
    header = struct.pack("<7I44s", 124, 0x1007, height, width, blocks * 8, 0, 1, bytes(44)) + pf + bytes(20)
    return b"DDS " + header + bytes(blocks * 8)


def test_dds_stays_with_pillow_where_it_reads_it():
    with Image.open(io.BytesIO(dds_dxt1(8, 8))) as im:
        assert type(im).__module__ == "PIL.DdsImagePlugin"
        assert im.size == (8, 8)


def test_dds_that_pillow_refuses_keeps_its_refusal_without_the_library():
    # A legacy header with an unknown FourCC: Pillow's plugin refuses it; the library reads no
    # such file either, so Pillow's own error comes out unchanged.
    data = bytearray(dds_dxt1(8, 8))
    data[84:88] = b"QZQZ"
    with pytest.raises(NotImplementedError):
        Image.open(io.BytesIO(bytes(data)))


def texture_files():
    from test_corpus import texture_rows
    return [p for p in texture_rows() if p.values[1] is None or p.values[1]["expected"].startswith("decode")]


@pytest.mark.parametrize("root, row", texture_files())
def test_texture_corpus_file_through_pillow(root, row):
    path = root / row["file"]
    try:
        ours = qzimg.decode(path)
    except qzimg.UnsupportedError:
        pytest.skip("this build does not read it")
    with Image.open(path) as im:
        if row["container"].startswith("dds") and type(im).__module__ == "PIL.DdsImagePlugin":
            return  # Pillow's own plugin keeps what it reads
        assert im.format == row["container"].split()[0].upper()
        assert type(im).__module__ == "qzimg.pillow"
        np.testing.assert_array_equal(np.asarray(im), ours)
