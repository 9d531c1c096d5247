"""python3 -m qzimg prints what qzidecode --info prints, for the same files and failures."""
import json
import os
import subprocess
import sys

import pytest

from conftest import bmp24, pvr_files, pvr_rgba8

QZIDECODE = os.environ.get("QZIDECODE")


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, errors="surrogateescape")


def compare(paths, *options):
    ours = run(sys.executable, "-m", "qzimg", *options, *paths)
    theirs = run(QZIDECODE, *(options or ("--info",)), *paths)
    assert ours.stdout == theirs.stdout
    assert ours.returncode == theirs.returncode
    return ours


@pytest.mark.skipif(not QZIDECODE, reason="qzidecode not built")
def test_made_files_and_failures(tmp_path):
    files = {"a.bmp": bmp24([[(1, 2, 3)] * 5] * 3), "b.pvr": pvr_rgba8(2, 2, bytes(16)), "c.bmp": b"BM" + bytes(60),
             "d.pvr": pvr_rgba8(8, 8, bytes(256))[:-9]}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    paths = [str(tmp_path / n) for n in files]
    result = compare(paths)
    assert result.stdout.count("\n") == 2 and result.returncode != 0
    assert "a.bmp: BMP 5x3, 24 bits per pixel, no alpha" in result.stdout
    compare(paths, "--json")


@pytest.mark.skipif(not QZIDECODE, reason="qzidecode not built")
def test_names_that_are_not_utf8(tmp_path):
    folder = os.fsencode(tmp_path)
    for name in (b"\xff.bmp", b"\xc3\xa9\xe2\x82.pvr"):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bmp24([[(1, 2, 3)] * 2] * 2) if name.endswith(b".bmp") else pvr_rgba8(1, 1, bytes(4)))
    paths = [os.fsdecode(os.path.join(folder, n)) for n in (b"\xff.bmp", b"\xc3\xa9\xe2\x82.pvr", b"\xfemissing.bmp")]
    compare(paths)
    result = compare(paths, "--json")
    files = [json.loads(line)["file"] for line in result.stdout.splitlines()]
    assert [f.rsplit("/", 1)[-1] for f in files] == ["\ufffd.bmp", "\u00e9\ufffd.pvr", "\ufffdmissing.bmp"]


@pytest.mark.skipif(not QZIDECODE, reason="qzidecode not built")
def test_corpus_files():
    paths = [str(p.values[1]) for p in pvr_files() if p.values[1] is not None]
    if not paths:
        pytest.skip("no PVR corpus (QZI_PVR_DIR)")
    compare(paths)


@pytest.mark.skipif(not QZIDECODE, reason="qzidecode not built")
def test_float_outputs(tmp_path):
    import numpy as np

    import qzimg
    from conftest import read_pfm

    sources = [tmp_path / "a.bmp"]
    sources[0].write_bytes(bmp24([[(1, 2, 3), (255, 128, 0)], [(9, 8, 7), (0, 0, 255)]]))
    sources += [p.values[1] for p in pvr_files()[:3] if p.values[1] is not None]
    for i, source in enumerate(sources):
        try:
            floats = qzimg.decode(source, dtype="float32")
        except qzimg.Error:
            continue
        out = tmp_path / f"{i}.pfm"
        assert run(QZIDECODE, "-o", str(out), str(source)).returncode == 0
        np.testing.assert_array_equal(read_pfm(out), floats[..., :3])
    exr = tmp_path / "a.exr"
    result = run(QZIDECODE, "-o", str(exr), str(sources[0]))
    if "available in this build" in run(QZIDECODE, "--help").stdout:
        assert result.returncode == 0 and exr.read_bytes()[:4] == b"\x76\x2f\x31\x01"
        half = tmp_path / "h.exr"
        assert run(QZIDECODE, "--exr-half", "-o", str(half), str(sources[0])).returncode == 0
        assert 0 < half.stat().st_size <= exr.stat().st_size
    else:
        assert result.returncode == 2 and "OpenEXR" in result.stderr and not exr.exists()
