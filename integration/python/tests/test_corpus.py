"""The corpus references through qzimg: every PVR corpus file equal to its reference decode
within the tolerance the C conformance table gives (or refused without one), in both sample
types; the texture corpus by its manifest; Pillow's own DDS decoding beside ours."""
import csv
import os
import re
import subprocess

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
        signed = "signed" in texture.format
    assert got.shape == want.shape
    assert max_difference(got, want) <= pvr_tolerance(root, path)
    check_floats(floats, got, signed)


def check_floats(floats, got, signed):
    """Float samples against the 8-bit picture: signed ones in -1..1 giving it by the 8-bit
    rule (round(255 (f + 1) / 2), halves up; a hair either way, as n / 1023 is inexact), the
    others in 0..1 giving it by round(255 f) (the bytes widened, or values of 11 or 16 bits)."""
    if not signed:
        assert floats.min() >= 0 and floats.max() <= 1
        x = 255 * floats.astype(np.float64) + 0.5
        assert ((np.floor(x + 1e-4) == got) | (np.floor(x - 1e-4) == got)).all()
        return
    assert floats.min() >= -1 and floats.max() <= 1
    for c in range(3):
        if not floats[..., c].any() and not got[..., c].any():
            continue  # a channel the format lacks: 0 in both
        x = 255 * (floats[..., c].astype(np.float64) + 1) / 2 + 0.5
        ok = (np.floor(x + 1e-4) == got[..., c]) | (np.floor(x - 1e-4) == got[..., c])
        assert ok.all(), f"channel {c}"
    np.testing.assert_array_equal(floats[..., 3], np.float32(1))


def wider_tolerances():
    """Files allowed a larger difference than the manifest says (the C conformance table's)."""
    table = os.environ.get("QZI_TEXTURE_CONFORMANCE_TSV")
    rows = {}
    if table and os.path.exists(table):
        for line in open(table, encoding="utf-8"):
            fields = line.rstrip("\n").split("\t")
            if not line.startswith("#") and len(fields) >= 2:
                rows[fields[0]] = int(fields[1])
    return rows


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
    leading = re.match(r"\d+", row["tolerance"])
    tolerance = wider_tolerances().get(row["file"], int(leading.group()) if leading else 0)
    with qzimg.open(path) as texture:
        got = texture.decode()
        floats = texture.decode(dtype="float32")
        hdr = texture.hdr
        signed = "signed" in texture.format
    if want is not None:
        assert max_difference(got, want) <= tolerance
    if not hdr:
        check_floats(floats, got, signed)


@pytest.mark.parametrize("root, row", [p for p in texture_rows() if p.values[1] is None or (
    p.values[0] / p.values[1]["file"]).with_suffix(".ref.pfm").exists()])
def test_float_samples_equal_their_reference(root, row, readable, tmp_path):
    """The float references, exactly: through the module and through qzidecode -o x.pfm."""
    if row["container"].split()[0] not in readable:
        pytest.skip(f"this build reads no {row['container'].split()[0]} file")
    path = root / row["file"]
    floats = qzimg.decode(path, dtype="float32")
    ref = read_pfm(path.with_suffix(".ref.pfm"), top_down=True)
    np.testing.assert_array_equal(floats[..., :3], ref)
    qzidecode = os.environ.get("QZIDECODE")
    if qzidecode:
        out = tmp_path / "x.pfm"
        assert subprocess.run([qzidecode, "-o", str(out), str(path)], capture_output=True).returncode == 0
        np.testing.assert_array_equal(read_pfm(out), ref)


# Pillow 9.4's DDS decoding beside ours, for the codecs both read.
PILLOW_DDS = ("BC1", "BC2", "BC3", "BC4", "BC5", "BC7")


def dds_rows():
    return [p for p in texture_rows() if p.values[1] is None or (
        p.values[1]["container"].startswith("dds") and p.values[1]["codec"].split()[0] in PILLOW_DDS
        and p.values[1]["expected"].startswith("decode"))]


def pillow_differences():
    here = os.path.dirname(__file__)
    rows = {}
    for line in open(os.path.join(here, "pillow_dds.tsv"), encoding="utf-8"):
        fields = line.rstrip("\n").split("\t")
        if not line.startswith("#") and len(fields) >= 4:
            rows[fields[0]] = (["RGBA".index(c) for c in fields[1]], int(fields[2]))
    return rows


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
    channels, tolerance = pillow_differences().get(row["file"], ([0, 1, 2, 3], 0))
    assert max_difference(ours[..., channels], theirs[..., channels]) <= tolerance
    if row["file"] in pillow_differences():
        assert max_difference(ours, theirs) > 0, "listed as different, yet equal"
