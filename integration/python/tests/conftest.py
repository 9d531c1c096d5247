"""Shared helpers of the qzimg tests: writers of small BMP and PVR files, the corpora and
their references."""
import os
import pathlib
import struct

import numpy as np
import pytest


def bmp24(rows):
    """A 24-bit BMP file from rows of (r, g, b) tuples, top row first."""
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) & ~3
    bits = b""
    for row in reversed(rows):  # stored bottom-up
        line = b"".join(bytes((b, g, r)) for r, g, b in row)
        bits += line + b"\0" * (stride - len(line))
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(bits), 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 14 + len(header) + len(bits), 0, 0, 14 + len(header)) + header + bits


def pvr_rgba8(width, height, pixels):
    """A PVR v3 file of 8-bit RGBA samples (bytes, top row first)."""
    fmt = ord("r") | ord("g") << 8 | ord("b") << 16 | ord("a") << 24 | (8 | 8 << 8 | 8 << 16 | 8 << 24) << 32
    header = struct.pack("<IIQIIIIIIIII", 0x03525650, 0, fmt, 0, 0, height, width, 1, 1, 1, 1, 0)
    return header + bytes(pixels)


def corpus(variable):
    value = os.environ.get(variable)
    return pathlib.Path(value) if value and pathlib.Path(value).is_dir() else None


def pvr_files():
    """Every PVR corpus file as (corpus folder, path), or a skipped parameter without corpora."""
    found = []
    for variable in ("QZI_PVR_DIR", "QZI_PVR_MODERN_DIR"):
        root = corpus(variable)
        if root:
            found += [pytest.param(root, p, id=str(p.relative_to(root.parent))) for p in sorted(root.rglob("*.pvr"))]
    return found or [pytest.param(None, None, marks=pytest.mark.skip(reason="no PVR corpus (QZI_PVR_DIR)"))]


def pvr_tolerance(root, path):
    """The largest difference allowed against the reference (pvr_conformance.tsv)."""
    table = os.environ.get("QZI_PVR_CONFORMANCE_TSV")
    name = str(path.relative_to(root))
    if table:
        for line in open(table, encoding="utf-8"):
            fields = line.rstrip("\n").split("\t")
            if line.startswith("#") or len(fields) < 2:
                continue
            if name.startswith(fields[0]):
                return int(fields[1])
    return 0


def reference_png(path):
    """NAME.ref.png beside NAME.EXT as an RGBA array, or None."""
    from PIL import Image

    ref = path.with_suffix(".ref.png")
    if not ref.exists():
        return None
    with Image.open(ref) as im:
        return np.asarray(im.convert("RGBA"))


def read_pfm(path, top_down=False):
    """A portable float map as (height, width, channels) float32, top row first. The usual
    files store the bottom row first; the texture corpus's references are top_down."""
    data = path.read_bytes()
    parts = data.split(b"\n", 3)
    channels = 3 if parts[0] == b"PF" else 1
    width, height = map(int, parts[1].split())
    scale = float(parts[2])
    order = "<" if scale < 0 else ">"
    values = np.frombuffer(parts[3][:width * height * channels * 4], dtype=order + "f4")
    values = values.reshape(height, width, channels)
    return (values if top_down else values[::-1]).astype(np.float32)


def max_difference(a, b):
    return int(np.abs(a.astype(np.int16) - b.astype(np.int16)).max()) if a.size else 0
