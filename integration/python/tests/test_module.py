"""qzimg on small files made here: sources, facts, both sample types, errors, threads."""
import io
import os
import pathlib
import threading

import numpy as np
import pytest

import qzimg
from conftest import bmp24, pvr_rgba8

ROWS = [[(255, 0, 0), (0, 255, 0), (0, 0, 255)], [(1, 2, 3), (128, 127, 254), (0, 0, 0)]]
EXPECTED = np.array([[[255, 0, 0, 255], [0, 255, 0, 255], [0, 0, 255, 255]],
                     [[1, 2, 3, 255], [128, 127, 254, 255], [0, 0, 0, 255]]], dtype=np.uint8)


@pytest.fixture
def bmp_path(tmp_path):
    path = tmp_path / "small.bmp"
    path.write_bytes(bmp24(ROWS))
    return path


def sources(path):
    """The same file as each kind of source open() takes."""
    data = path.read_bytes()
    return [str(path), path, data, bytearray(data), memoryview(data), io.BytesIO(data), open(path, "rb")]


def test_every_kind_of_source_gives_the_same_pixels(bmp_path):
    for source in sources(bmp_path):
        with qzimg.open(source) as texture:
            assert (texture.container, texture.width, texture.height, texture.bits_per_pixel) == ("BMP", 3, 2, 24)
            np.testing.assert_array_equal(texture.decode(), EXPECTED)
        if hasattr(source, "close"):
            source.close()


def test_facts_of_a_texture(tmp_path):
    pixels = bytes(range(4 * 4 * 4))
    with qzimg.open(pvr_rgba8(4, 4, pixels)) as texture:
        assert texture.container == "PVR" and texture.format.startswith("PVR v3")
        assert texture.format_id == 109
        assert (texture.width, texture.height) == (4, 4)
        assert (texture.levels, texture.faces, texture.layers, texture.slices) == (1, 1, 1, 1)
        assert texture.has_alpha and not texture.srgb and not texture.hdr
        assert texture.name is None
        np.testing.assert_array_equal(texture.decode(), np.frombuffer(pixels, np.uint8).reshape(4, 4, 4))


def test_stored_form_facts():
    plain = pvr_rgba8(2, 2, bytes(16))
    premultiplied, srgb = bytearray(plain), bytearray(plain)
    premultiplied[4] = 2  # the version 3 header's premultiplied flag
    srgb[16] = 1          # its colour space
    with qzimg.open(plain) as texture:
        assert (texture.bits_per_pixel, texture.has_alpha, texture.color_space, texture.srgb,
                texture.premultiplied) == (32.0, True, "linear", False, False)
    with qzimg.open(bytes(premultiplied)) as texture:
        assert texture.premultiplied and texture.color_space == "linear"
    with qzimg.open(bytes(srgb)) as texture:
        assert texture.srgb and texture.color_space == "sRGB" and not texture.premultiplied
    with qzimg.open(bmp24(ROWS)) as texture:
        assert (texture.bits_per_pixel, texture.has_alpha, texture.color_space, texture.srgb,
                texture.premultiplied) == (24.0, False, "sRGB", True, False)


def test_float_samples_are_the_bytes_over_255(tmp_path):
    pixels = bytes(range(256))
    with qzimg.open(pvr_rgba8(8, 8, pixels)) as texture:
        as_bytes = texture.decode()
        as_floats = texture.decode(dtype="float32")
        assert texture.decode(dtype=np.float32).dtype == np.float32
    assert as_floats.dtype == np.float32 and as_floats.shape == (8, 8, 4)
    # Exactly the float nearest x / 255, so 255 is 1.0 and 0 is 0.0.
    np.testing.assert_array_equal(as_floats, as_bytes.astype(np.float32) / np.float32(255))
    assert as_floats.max() == 1.0 and as_floats.min() == 0.0


def test_arrays_wrap_the_library_buffer(bmp_path):
    with qzimg.open(bmp_path) as texture:
        a = texture.decode()
        b = texture.decode()
    assert not a.flags.owndata and a.flags.writeable and a.flags.c_contiguous
    assert a.base is not None and not np.shares_memory(a, b)
    a[0, 0] = 7  # each decode is a buffer of its own
    np.testing.assert_array_equal(b, EXPECTED)


def test_bytes_stay_pinned_while_the_texture_reads_them(bmp_path):
    data = bytearray(bmp_path.read_bytes())
    texture = qzimg.open(data)
    with pytest.raises(BufferError):
        data.extend(b"more")
    texture.close()
    data.extend(b"more")  # released with the texture


def test_shortcut_and_file_name_hint(bmp_path):
    np.testing.assert_array_equal(qzimg.decode(bmp_path), EXPECTED)
    np.testing.assert_array_equal(qzimg.decode(str(bmp_path), dtype="float32"), EXPECTED.astype(np.float32) / np.float32(255))
    with open(bmp_path, "rb") as f, qzimg.open(f) as texture:
        assert texture.name == str(bmp_path)


@pytest.mark.parametrize("make, error, code", [
    (lambda p: str(p / "missing.bmp"), qzimg.CannotOpenError, 100),
    (lambda p: b"not a picture at all", qzimg.UnsupportedError, 102),
    (lambda p: b"", qzimg.TruncatedError, 105),
])
def test_refused_sources_raise_with_code_and_reason(tmp_path, make, error, code):
    with pytest.raises(error) as info:
        qzimg.open(make(tmp_path))
    assert isinstance(info.value, qzimg.Error)
    assert info.value.code == code and info.value.reason and f"({code})" in str(info.value)


def test_missing_file_is_an_oserror_too(tmp_path):
    with pytest.raises(OSError):
        qzimg.open(tmp_path / "missing.pvr")


def test_truncated_files_raise_on_decode():
    # Rows that end early are the reader's truncation; a texture body that is too short is
    # refused by the texture library as undecodable.
    with qzimg.open(bmp24([[(1, 2, 3)] * 16] * 16)[:-100]) as texture:
        with pytest.raises(qzimg.TruncatedError) as info:
            texture.decode()
    assert info.value.code == 105
    with qzimg.open(pvr_rgba8(16, 16, bytes(16 * 16 * 4))[:-100]) as texture:
        with pytest.raises(qzimg.DecodeError) as info:
            texture.decode()
    assert info.value.code == 103


def test_max_pixels_refuses_before_decoding(bmp_path):
    with pytest.raises(qzimg.TooLargeError) as info:
        qzimg.open(bmp_path, max_pixels=5)
    assert info.value.code == 101
    assert qzimg.open(bmp_path, max_pixels=6).width == 3
    with pytest.raises(ValueError):
        qzimg.open(bmp_path, max_pixels=-1)


def test_wrong_arguments(bmp_path):
    with pytest.raises(TypeError):
        qzimg.open(12)
    with pytest.raises(TypeError):
        qzimg.open(io.StringIO("text"))
    texture = qzimg.open(bmp_path)
    with pytest.raises(ValueError):
        texture.decode(dtype="int16")
    for index in ("level", "face", "layer", "slice"):
        with pytest.raises(IndexError):
            texture.decode(**{index: 1})
        with pytest.raises(IndexError):
            texture.decode(**{index: -1})
    texture.close()
    assert texture.closed
    with pytest.raises(ValueError):
        texture.decode()


def test_threads_decode_separate_and_shared_objects():
    pictures = [pvr_rgba8(64, 64, bytes((i * 7 + k) % 256 for k in range(64 * 64 * 4))) for i in range(4)]
    expected = [np.frombuffer(p[52:], np.uint8).reshape(64, 64, 4) for p in pictures]
    shared = qzimg.open(pictures[0])
    failures = []

    def work(i):
        try:
            for _ in range(20):
                with qzimg.open(pictures[i]) as texture:
                    np.testing.assert_array_equal(texture.decode(), expected[i])
                np.testing.assert_array_equal(shared.decode(), expected[0])
        except Exception as e:  # reported below, in the main thread
            failures.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures


def test_version_docs_and_stubs():
    assert qzimg.__version__.count(".") == 2
    assert qzimg.open.__doc__ and qzimg.Texture.decode.__doc__ and qzimg.decode.__doc__
    package = pathlib.Path(qzimg.__file__).parent
    stubs = (package / "_qzimg.pyi").read_text()
    for name in qzimg.__all__:
        if name != "decode":
            assert name in stubs, name
    for prop in ("container", "format", "levels", "has_alpha", "srgb", "color_space", "premultiplied", "hdr"):
        assert f"def {prop}(" in stubs and isinstance(getattr(qzimg.Texture, prop).__doc__, str)
    assert (package / "py.typed").exists() and "def decode(" in (package / "__init__.pyi").read_text()
