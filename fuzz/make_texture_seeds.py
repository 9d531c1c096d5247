#!/usr/bin/env python3
"""Writes the small seed files of fuzz_texture into seeds-texture/: one or more of each
texture container (DDS legacy and DX10, KTX both byte orders, KTX2 plain, Zstandard and zlib,
.astc 2D and 3D, PKM), with block bytes from a fixed pseudo-random stream."""
import os
import random
import struct
import subprocess
import zlib

rng = random.Random(23)
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds-texture")
os.makedirs(out, exist_ok=True)


def blob(n):
    return bytes(rng.randrange(256) for _ in range(n))


def write(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


def dds(w, h, pf, data, mips=1, caps2=0, depth=0, dx10=None):
    head = struct.pack("<4sIIIIIII", b"DDS ", 124, 0x1007, h, w, 0, depth, mips) + bytes(44)
    code = pf[1] if isinstance(pf[1], bytes) else struct.pack("<I", pf[1])
    head += struct.pack("<II4sIIIII", 32, pf[0], code, *pf[2:])
    head += struct.pack("<IIIII", 0x1000, caps2, 0, 0, 0)
    if dx10:
        head += struct.pack("<IIIII", *dx10)
    return head + data


fourcc = lambda s: s.encode()
write("bc1.dds", dds(8, 8, (4, fourcc("DXT1"), 0, 0, 0, 0, 0), blob(32 + 8 + 8), mips=3))
write("bc3_cube.dds", dds(4, 4, (4, fourcc("DXT5"), 0, 0, 0, 0, 0), blob(16 * 6), caps2=0xFE00))
write("bc6h_dx10.dds", dds(4, 4, (4, fourcc("DX10"), 0, 0, 0, 0, 0), blob(16), dx10=(95, 3, 0, 1, 0)))
write("bc7_array.dds", dds(4, 4, (4, fourcc("DX10"), 0, 0, 0, 0, 0), blob(32), dx10=(98, 3, 0, 2, 0)))
write("rgba16f.dds", dds(2, 2, (4, fourcc("DX10"), 0, 0, 0, 0, 0), blob(32), dx10=(10, 3, 0, 1, 0)))
write("rgb9e5.dds", dds(2, 2, (4, fourcc("DX10"), 0, 0, 0, 0, 0), blob(16), dx10=(67, 3, 0, 1, 0)))
write("a8r8g8b8.dds", dds(2, 2, (0x41, 0, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000), blob(16)))
write("l8_volume.dds", dds(2, 2, (0x20000, 0, 8, 0xFF, 0, 0, 0), blob(8), caps2=0x200000, depth=2))
write("palette.dds", dds(2, 2, (0x20, 0, 8, 0, 0, 0, 0), blob(1024 + 4)))


def ktx(internal, fmt, typ, type_size, w, h, data, big=False, kv=b"", faces=1, mips=1):
    e = ">" if big else "<"
    head = b"\xabKTX 11\xbb\r\n\x1a\n" + struct.pack(e + "I", 0x04030201)
    head += struct.pack(e + "12I", typ, type_size, fmt, internal, fmt or internal, w, h, 0, 0, faces, mips, len(kv))
    body = b""
    for level in data:
        body += struct.pack(e + "I", len(level)) + level
    return head + kv + body


def kv(key, value):
    entry = key + b"\0" + value
    entry = struct.pack("<I", len(entry)) + entry
    return entry + bytes(-len(entry) % 4)


write("rgba8_up.ktx", ktx(0x8058, 0x1908, 0x1401, 1, 2, 2, [blob(16)], kv=kv(b"KTXorientation", b"S=r,T=u\0")))
write("rgb565_be.ktx", ktx(0x8D62, 0x1907, 0x8363, 2, 2, 2, [blob(8)], big=True))
write("etc2.ktx", ktx(0x9274, 0, 0, 1, 8, 4, [blob(16), blob(8), blob(8), blob(8)], mips=4))
write("bc6h.ktx", ktx(0x8E8F, 0, 0, 1, 4, 4, [blob(16)]))


def ktx2(vk, w, h, levels, scheme, dfd_model, transfer=1, kvd=b""):
    raw = [blob(n) for n in levels]
    stored = []
    for r in raw:
        if scheme == 2:
            stored.append(subprocess.run(["zstd", "-q", "-c", "-"], input=r, capture_output=True, check=True).stdout)
        elif scheme == 3:
            stored.append(zlib.compress(r))
        else:
            stored.append(r)
    dfd = struct.pack("<IIIBBBB", 44, 0, 2 | 40 << 16, dfd_model, 1, transfer, 0) + bytes(28)
    index_end = 80 + 24 * len(levels)
    dfd_at = index_end
    kvd_at = dfd_at + len(dfd)
    data_at = kvd_at + len(kvd)
    data_at += -data_at % 16
    head = b"\xabKTX 20\xbb\r\n\x1a\n" + struct.pack("<9I", vk, 1, w, h, 0, 0, 1, len(levels), scheme)
    head += struct.pack("<IIIIQQ", dfd_at, len(dfd), kvd_at if kvd else 0, len(kvd), 0, 0)
    offsets, at = [], data_at
    for s in reversed(stored):
        offsets.append(at)
        at += len(s)
    offsets.reverse()
    for k, s in enumerate(stored):
        head += struct.pack("<QQQ", offsets[k], len(s), len(raw[k]))
    body = head + dfd + kvd
    body += bytes(data_at - len(body))
    for s in reversed(stored):
        body += s
    return body


write("bc7_zstd.ktx2", ktx2(145, 8, 8, [64, 16], 2, 134))
write("r8_zlib_swizzle.ktx2", ktx2(9, 4, 4, [16], 3, 1, kvd=kv(b"KTXswizzle", b"111r\0")))
write("astc_plain.ktx2", ktx2(157, 4, 4, [16], 0, 162))
write("bc1_ru.ktx2", ktx2(131, 4, 4, [8], 0, 128, kvd=kv(b"KTXorientation", b"ru\0")))


def astc(bw, bh, bd, w, h, d, blocks):
    head = struct.pack("<I3B", 0x5CA1AB13, bw, bh, bd)
    head += w.to_bytes(3, "little") + h.to_bytes(3, "little") + d.to_bytes(3, "little")
    return head + blob(16 * blocks)


write("ldr_6x6.astc", astc(6, 6, 1, 7, 7, 1, 4))
write("vol_4x4x4.astc", astc(4, 4, 4, 5, 4, 5, 4))
# A constant-colour block with half floats (an HDR block).
write("hdr_void.astc", struct.pack("<I3B", 0x5CA1AB13, 4, 4, 1) + (4).to_bytes(3, "little") * 2 + (1).to_bytes(3, "little")
      + bytes([0xFC, 0xFF]) + b"\xff" * 6 + struct.pack("<4H", 0x3C00, 0x4000, 0x4400, 0x3C00))


def pkm(version, kind, w, h):
    pw, ph = (w + 3) // 4 * 4, (h + 3) // 4 * 4
    block = 16 if kind in (2, 3, 6, 8, 10) else 8
    return b"PKM " + version + struct.pack(">5H", kind, pw, ph, w, h) + blob(block * pw * ph // 16)


write("etc1.pkm", pkm(b"10", 0, 5, 3))
write("eac_rg11s.pkm", pkm(b"20", 8, 4, 4))
