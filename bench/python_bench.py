#!/usr/bin/env python3
"""Decoding through the Python module against the C one-call loader, on the same bytes.

    PYTHONPATH=build/integration/python python3 bench/python_bench.py TEXTURE [ROUNDS]

Each round times qziLoadRGBAFromMemory (called through ctypes on the very library the
extension loaded, buffer freed) and qzimg.decode(bytes) (open, decode into a NumPy array,
close), one right after the other, and the same with the file path (qziLoadRGBA against
qzimg.decode(path)). Prints the medians of both and the median of the per-round ratios
(x_c: Python time over C time; load from other processes moves both alike), for uint8 and,
as information, float32 against qziLoadRGBAF.
"""
import ctypes
import statistics
import sys
import time

import qzimg


def loaded_library():
    """The libqzimgdecoder that the extension is linked to, from this process's mappings."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            if "libqzimgdecoder.so" in line:
                return ctypes.CDLL(line.split()[-1])
    raise SystemExit("libqzimgdecoder is not loaded")


def main():
    path = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    data = open(path, "rb").read()
    lib = loaded_library()
    out, w, h = ctypes.c_void_p(), ctypes.c_int(), ctypes.c_int()
    lib.qziLoadRGBAFromMemory.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p,
                                          ctypes.c_void_p, ctypes.c_void_p]
    lib.qziLoadRGBAFFromMemory.argtypes = lib.qziLoadRGBAFromMemory.argtypes
    lib.qziLoadRGBA.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    lib.qziFreeRGBA.argtypes = [ctypes.c_void_p]
    refs = (ctypes.byref(out), ctypes.byref(w), ctypes.byref(h))
    cpath = path.encode()

    def c_memory():
        assert lib.qziLoadRGBAFromMemory(data, len(data), None, *refs) == 0
        lib.qziFreeRGBA(out)

    def c_memory_float():
        assert lib.qziLoadRGBAFFromMemory(data, len(data), None, *refs) == 0
        lib.qziFreeRGBA(out)

    def c_file():
        assert lib.qziLoadRGBA(cpath, *refs) == 0
        lib.qziFreeRGBA(out)

    cases = [
        ("memory uint8", c_memory, lambda: qzimg.decode(data)),
        ("file uint8", c_file, lambda: qzimg.decode(path)),
        ("memory float32", c_memory_float, lambda: qzimg.decode(data, dtype="float32")),
    ]
    with qzimg.open(data) as t:
        print(f"{path}: {t.format}, {t.width}x{t.height}, {rounds} rounds")
    for name, c_call, py_call in cases:
        c_call(), py_call()  # warm the heap and the caches
        c_times, py_times, ratios = [], [], []
        for _ in range(rounds):
            t0 = time.perf_counter()
            c_call()
            t1 = time.perf_counter()
            py_call()
            t2 = time.perf_counter()
            c_times.append(t1 - t0)
            py_times.append(t2 - t1)
            ratios.append((t2 - t1) / (t1 - t0))
        print(f"  {name:15s} C {statistics.median(c_times) * 1e3:8.3f} ms   Python "
              f"{statistics.median(py_times) * 1e3:8.3f} ms   x_c {statistics.median(ratios):.3f} "
              f"(quartiles {statistics.quantiles(ratios, n=4)[0]:.3f}-{statistics.quantiles(ratios, n=4)[2]:.3f})")


if __name__ == "__main__":
    main()
