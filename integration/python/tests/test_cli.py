"""python3 -m qzimg prints what qzidecode --info prints, for the same files and failures."""
import os
import subprocess
import sys

import pytest

from conftest import bmp24, pvr_files, pvr_rgba8

QZIDECODE = os.environ.get("QZIDECODE")


def run(*args):
    return subprocess.run(args, capture_output=True, text=True)


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
def test_corpus_files():
    paths = [str(p.values[1]) for p in pvr_files() if p.values[1] is not None]
    if not paths:
        pytest.skip("no PVR corpus (QZI_PVR_DIR)")
    compare(paths)
