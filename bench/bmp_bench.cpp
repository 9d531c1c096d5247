// Decoding speed of 4096 x 4096 BMP files held in memory, one benchmark per form:
//   BM_qzi/<form>    the public API over a memory stream (create, initialise, execute, close),
//                    the bitmaps delivered to a callback that does nothing;
//   BM_stb/<form>    stb_image decoding the same bytes (forms it reads);
//   BM_floor/<form>  allocating a bitmap of the output's size and copying the pixel bytes into
//                    it once: what any decoder into a fresh bitmap pays.
//
// Every large block comes straight from the system (the mmap threshold is pinned at 1 MiB),
// so each bitmap is freshly allocated and its first-touch page faults are paid, by the floor
// and the decoders alike; otherwise the allocator recycles freed blocks and calloc turns
// into a memset.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>
#include <stb_image.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bmp_writer.h"
#include "qzimgcore.h"
#include "qzi_memstream.h"
#include "qzimgdecoder.h"

namespace {

const int kSide = 4096;

struct Form {
  const char* name;
  uint16_t bits;
  uint32_t compression;
  bool stb;  // stb_image reads this form
};

const Form kForms[] = {
    {"rgb24", 24, 0, true},        {"rgb32", 32, 0, true},     {"rgb32_bitfields", 32, 3, true},
    {"rgb16_555", 16, 0, true},    {"rgb16_565_bitfields", 16, 3, true},
    {"pal8", 8, 0, true},          {"pal4", 4, 0, true},        {"pal1", 1, 0, true},
    {"rle8", 8, 1, false},         {"rle4", 4, 2, false},
};

// Run-length codes of rows made of runs 4 to 40 pixels long, each row ended by 00 00.
bmpw::Bytes rle_stream(int bits, std::mt19937& rng) {
  bmpw::Bytes b;
  std::uniform_int_distribution<int> len(4, 40), val(0, 255);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide;) {
      const int n = std::min(len(rng), kSide - x);
      b.push_back(static_cast<uint8_t>(n));
      b.push_back(static_cast<uint8_t>(bits == 8 ? val(rng) : val(rng)));
      x += n;
    }
    b.push_back(0);
    b.push_back(0);
  }
  return b;
}

bmpw::Bytes make_file(const Form& f) {
  std::mt19937 rng(1234);
  bmpw::Spec s;
  s.width = kSide;
  s.height = kSide;
  s.bit_count = f.bits;
  s.compression = f.compression;
  if (f.bits <= 8) {
    s.palette.resize(static_cast<size_t>(1) << f.bits);
    for (auto& e : s.palette) e = bmpw::Entry{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
  }
  if (f.compression == 3) s.masks_after = f.bits == 16 ? std::vector<uint32_t>{0xF800, 0x07E0, 0x001F}
                                                       : std::vector<uint32_t>{0xFF0000, 0xFF00, 0xFF};
  if (f.compression == 1 || f.compression == 2) {
    s.pixels = rle_stream(f.bits, rng);
  } else {
    // Smooth gradients with noise: neither constant nor incompressible. The fourth byte of
    // 32-bit pixels is 0, as in most such files.
    s.pixels = bmpw::rows(f.bits, kSide, kSide, [&](int x, int y) {
      const uint32_t n = rng() & 7;
      if (f.bits < 8) return static_cast<uint32_t>((x / 16 + y / 16 + n) & ((1u << f.bits) - 1));
      if (f.bits == 8) return static_cast<uint32_t>((x + y + n) & 255);
      if (f.bits == 16) return static_cast<uint32_t>(((x >> 7) << 10) | ((y >> 7) << 5) | ((x + y) >> 8 & 31)) & 0x7FFF;
      return static_cast<uint32_t>((x & 255) | ((y & 255) << 8) | (((x + y + n) & 255) << 16));
    });
  }
  return bmpw::file(s);
}

const bmpw::Bytes& file_of(const Form& f) {
  static std::map<std::string, bmpw::Bytes> files;
  auto it = files.find(f.name);
  if (it == files.end()) it = files.emplace(f.name, make_file(f)).first;
  return it->second;
}

// Resident memory of the process. Address space that is reserved but never written (the alpha
// plane of a picture that turns out to have no alpha) costs no memory and is not counted.
size_t resident_bytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t heap_block_bytes() { return mallinfo2().uordblks; }

// The layer callback runs when everything a decode allocates is alive. Memory beside the
// delivered bitmaps is bounded by the small heap blocks alive then (handle, work buffer, state;
// bitmaps are mapped blocks, the mmap threshold being pinned) plus any memory that became
// resident beyond the delivered bitmaps (an alpha plane written but not delivered, say). Both
// count from just before the handle is created; the sum may count a new heap page twice.
struct Memory {
  size_t heap0 = 0, resident0 = 0;
  size_t beside = 0;
};

int measure_layer(QZIDEC_LAYERINFO* info, int) {
  Memory* m = reinterpret_cast<Memory*>(info->layer_user);
  const size_t heap = heap_block_bytes() - m->heap0;
  const size_t resident = resident_bytes() - m->resident0;
  const size_t delivered = info->bi_size + info->bia_size;
  m->beside = std::max(m->beside, heap + (resident > delivered ? resident - delivered : 0));
  return 0;
}

void BM_qzi(benchmark::State& state, Form f) {
  const bmpw::Bytes& file = file_of(f);
  Memory memory;
  for (auto _ : state) {
    qzi_mem::Stream m{file.data(), file.size(), 0};
    memory.heap0 = heap_block_bytes();
    memory.resident0 = resident_bytes();
    QZIDECODER d = qziCreateDecoder();
    int rc = qzi_mem::initialize(d, &m, nullptr);
    qziSetDecoderLayerCallback(d, measure_layer, &memory);
    if (rc == 0) rc = qziDecoderExecute(d);
    qziCloseDecoder(d);
    if (rc != 0) state.SkipWithError("decode failed");
  }
  // Must stay below 256 KiB: the decoder never holds the file or a second picture.
  state.counters["beside_KiB"] = static_cast<double>(memory.beside) / 1024;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSide * kSide);  // pixels
}

void BM_stb(benchmark::State& state, Form f) {
  const bmpw::Bytes& file = file_of(f);
  for (auto _ : state) {
    int w = 0, h = 0, n = 0;
    stbi_uc* p = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 0);
    if (!p) {
      state.SkipWithError(stbi_failure_reason());
      break;
    }
    benchmark::DoNotOptimize(p);
    stbi_image_free(p);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSide * kSide);
}

void BM_floor(benchmark::State& state, Form f) {
  const int depth = f.bits <= 8 ? 8 : 24;
  const size_t bytes = static_cast<size_t>(qziWidthBytes(kSide * depth / 8)) * kSide;
  std::vector<uint8_t> source(bytes, 0x5A);
  for (auto _ : state) {
    BITMAPINFO* bi = qziDIBAlloc(kSide, kSide, depth, depth == 8 ? 256 : 0);
    std::memcpy(qziDIBBits(bi), source.data(), bytes);
    benchmark::DoNotOptimize(bi);
    benchmark::ClobberMemory();
    qzifree(bi);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSide * kSide);
}

int register_all() {
  for (const Form& f : kForms) {
    benchmark::RegisterBenchmark((std::string("BM_floor/") + f.name).c_str(), BM_floor, f)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("BM_qzi/") + f.name).c_str(), BM_qzi, f)->Unit(benchmark::kMillisecond);
    if (f.stb)
      benchmark::RegisterBenchmark((std::string("BM_stb/") + f.name).c_str(), BM_stb, f)->Unit(benchmark::kMillisecond);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
