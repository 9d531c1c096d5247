"""The corpus references through qzimg: every PVR corpus file equal to its reference decode
within the tolerance the C conformance table gives (or refused without one), in both sample
types; the texture corpus by its manifest; Pillow's own DDS decoding beside ours."""
import csv
import re

import numpy as np
import pytest
from PIL import Image

import qzimg
from conftest import corpus, max_difference, pvr_files, pvr_tolerance, read_pfm, reference_png


@pytest.mark.parametrize("root, path", pvr_files())
def test_pvr_corpus_file(root, path):
    want = reference_png(path)
    if want is None:
        with pytest.raises(qzimg.Error):
            qzimg.decode(path)
        return
    with qzimg.open(path) as texture:
        got = texture.decode()
        floats = texture.decode(dtype="float32")
        assert (texture.width, texture.height) == (want.shape[1], want.shape[0])
        assert texture.srgb == ("sRGB" in texture.format)
    assert got.shape == want.shape
    assert max_difference(got, want) <= pvr_tolerance(root, path)
    np.testing.assert_array_equal(floats, got.astype(np.float32) / np.float32(255))


def texture_rows():
    root = corpus("QZI_TEXTURES_DIR")
    if not root:
        return [pytest.param(None, None, marks=pytest.mark.skip(reason="no texture corpus (QZI_TEXTURES_DIR)"))]
    with open(root / "manifest.tsv", encoding="utf-8") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    return [pytest.param(root, row, id=row["file"]) for row in rows]


def containers_read():
    """The texture containers this build reads: those of which at least one file opens."""
    root = corpus("QZI_TEXTURES_DIR")
    found = set()
    if root:
        with open(root / "manifest.tsv", encoding="utf-8") as f:
            for row in csv.DictReader(f, delimiter="\t"):
                try:
                    qzimg.open(root / row["file"]).close()
                    found.add(row["container"].split()[0])
                except qzimg.Error:
                    pass
    return found


@pytest.fixture(scope="module")
def readable():
    return containers_read()


@pytest.mark.parametrize("root, row", texture_rows())
def test_texture_corpus_file(root, row, readable):
    path = root / row["file"]
    container = row["container"].split()[0]
    if container not in readable:
        pytest.skip(f"this build reads no {container} file")
    if not row["expected"].startswith("decode"):
        with pytest.raises(qzimg.Error):
            qzimg.decode(path)
        return
    want = reference_png(path)
    tolerance = int(re.match(r"\d+", row["tolerance"]).group()) if re.match(r"\d+", row["tolerance"]) else 0
    with qzimg.open(path) as texture:
        got = texture.decode()
        floats = texture.decode(dtype="float32")
        hdr = texture.hdr
    if want is not None:
        assert max_difference(got, want) <= tolerance
    pfm = path.with_suffix(".ref.pfm")
    if pfm.exists():
        ref = read_pfm(pfm)
        np.testing.assert_array_equal(floats[..., :ref.shape[2]], ref)
    elif not hdr:
        np.testing.assert_array_equal(floats, got.astype(np.float32) / np.float32(255))


# Pillow 9.4's DDS decoding beside ours, for the codecs both read.
PILLOW_DDS = ("BC1", "BC2", "BC3", "BC4", "BC5", "BC7")


def dds_rows():
    return [p for p in texture_rows() if p.values[1] is None or (
        p.values[1]["container"].startswith("dds") and p.values[1]["codec"].split()[0] in PILLOW_DDS
        and p.values[1]["expected"].startswith("decode"))]


@pytest.mark.parametrize("root, row", dds_rows())
def test_dds_equal_to_pillow(root, row, readable):
    if "dds" not in readable:
        pytest.skip("this build reads no DDS file")
    path = root / row["file"]
    try:
        with Image.open(path) as im:
            theirs = np.asarray(im.convert("RGBA"))
    except (OSError, NotImplementedError) as e:
        pytest.skip(f"Pillow refuses it: {e}")
    ours = qzimg.decode(path)
    assert ours.shape == theirs.shape
    assert max_difference(ours, theirs) == 0
