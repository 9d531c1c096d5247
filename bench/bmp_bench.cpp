// Decoding speed of BMP files held in memory, per form, picture side and heap condition:
//   BM_qzi/<form>/<side>/<heap>    the public API over a memory stream (create, initialise,
//                                  execute, close), the bitmaps delivered to a callback that
//                                  does nothing with them;
//   BM_memory/<form>/<side>/<heap> the same through the library's own memory input
//                                  (qziDecoderInitializeFromMemory, read in place);
//   BM_reuse/<form>/<side>         one handle for every picture (reset, initialise, execute);
//   BM_stb/<form>/4096/<heap>      stb_image decoding the same bytes (forms it reads).
// Each of them also runs the floor between its rounds: malloc of a block of the output's
// size (1 byte per pixel for palette forms, 3 for direct colour) and one memcpy into it,
// which any decoder into a new bitmap pays. `floor_us` is its median, `x_floor` the median
// round of the decoder divided by it: both are measured side by side, so load from other
// processes moves them together. `ours_us` is the decoder's median round per picture, and
// `over_us` the median of the per-picture differences between each round and its floor round.
//
// Heap conditions, set with mallopt before each benchmark:
//   fresh     every block of 1 MiB or more is mapped anew (mmap threshold pinned at 1 MiB),
//             so its first-touch page faults are paid: one picture per process;
//   recycled  no block is mapped and none is given back (mmap off, trimming off), so freed
//             memory comes back already touched: a program that decodes many pictures.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stb_image.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bmp_writer.h"
#include "qzi_memview.h"
#include "qzimgcore.h"
#include "qzimgdecoder.h"

namespace {

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

const int kSides[] = {64, 256, 1024, 4096};

enum Heap { kFresh, kRecycled };
const char* const kHeapNames[] = {"fresh", "recycled"};

void set_heap(Heap heap) {
  if (heap == kFresh) {
    mallopt(M_MMAP_MAX, 65536);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 10);
  } else {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
  }
}

// Run-length codes of rows made of runs 4 to 40 pixels long, each row ended by 00 00.
bmpw::Bytes rle_stream(int side, std::mt19937& rng) {
  bmpw::Bytes b;
  std::uniform_int_distribution<int> len(4, 40), val(0, 255);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side;) {
      const int n = std::min(len(rng), side - x);
      b.push_back(static_cast<uint8_t>(n));
      b.push_back(static_cast<uint8_t>(val(rng)));
      x += n;
    }
    b.push_back(0);
    b.push_back(0);
  }
  return b;
}

bmpw::Bytes make_file(const Form& f, int side) {
  std::mt19937 rng(1234);
  bmpw::Layout s;
  s.width = side;
  s.height = side;
  s.bit_count = f.bits;
  s.compression = f.compression;
  if (f.bits <= 8) {
    s.palette.resize(static_cast<size_t>(1) << f.bits);
    for (auto& e : s.palette) e = bmpw::Entry{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0};
  }
  if (f.compression == 3) s.masks_after = f.bits == 16 ? std::vector<uint32_t>{0xF800, 0x07E0, 0x001F}
                                                       : std::vector<uint32_t>{0xFF0000, 0xFF00, 0xFF};
  if (f.compression == 1 || f.compression == 2) {
    s.pixels = rle_stream(side, rng);
  } else {
    // Smooth gradients with noise: neither constant nor incompressible. The fourth byte of
    // 32-bit pixels is 0, as in most such files.
    s.pixels = bmpw::rows(f.bits, side, side, [&](int x, int y) {
      const uint32_t n = rng() & 7;
      if (f.bits < 8) return static_cast<uint32_t>((x / 16 + y / 16 + n) & ((1u << f.bits) - 1));
      if (f.bits == 8) return static_cast<uint32_t>((x + y + n) & 255);
      if (f.bits == 16) return static_cast<uint32_t>(((x >> 7) << 10) | ((y >> 7) << 5) | ((x + y) >> 8 & 31)) & 0x7FFF;
      return static_cast<uint32_t>((x & 255) | ((y & 255) << 8) | (((x + y + n) & 255) << 16));
    });
  }
  return bmpw::file(s);
}

const bmpw::Bytes& file_of(const Form& f, int side) {
  static std::map<std::pair<std::string, int>, bmpw::Bytes> files;
  const auto key = std::make_pair(std::string(f.name), side);
  auto it = files.find(key);
  if (it == files.end()) it = files.emplace(key, make_file(f, side)).first;
  return it->second;
}

size_t output_bytes(const Form& f, int side) {
  return static_cast<size_t>(qziWidthBytes(side * (f.bits <= 8 ? 1 : 3))) * side;
}

// Bytes of every block allocated and not freed, mapped blocks included.
size_t allocated_bytes() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

// Memory beside the delivered bitmaps while everything a decode allocates is alive (in the
// layer callback): blocks allocated since just before the handle was created, less the
// delivered bitmaps (handle, work buffer, module state, and an alpha plane that is not
// delivered). Measured on the first round only.
struct Memory {
  bool on = false;
  size_t allocated0 = 0;
  size_t beside = 0;
};

int on_layer(QZIDEC_LAYERINFO* info, int) {
  Memory* m = reinterpret_cast<Memory*>(info->layer_user);
  if (!m->on) return 0;
  const size_t allocated = allocated_bytes() - m->allocated0;
  const size_t delivered = info->bi_size + info->bia_size;
  m->beside = std::max(m->beside, allocated > delivered ? allocated - delivered : 0);
  return 0;
}

int decode_once(const bmpw::Bytes& file, Memory* memory, bool in_place = false) {
  qzi_mem::Stream m{file.data(), file.size(), 0};
  if (memory->on) memory->allocated0 = allocated_bytes();
  QZIDECODER d = qziCreateDecoder();
  int rc = in_place ? qziDecoderInitializeFromMemory(d, file.data(), file.size(), nullptr)
                    : qzi_mem::initialize(d, &m, nullptr);
  qziSetDecoderLayerCallback(d, on_layer, memory);
  if (rc == 0) rc = qziDecoderExecute(d);
  qziCloseDecoder(d);
  return rc;
}

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Runs `work` in rounds of `batch` calls, each round followed by a round of as many floor
// operations; reports the median round per picture of both and their ratio.
template <typename Work>
void run_rounds(benchmark::State& state, const Form& f, int side, Work work) {
  const size_t bytes = output_bytes(f, side);
  const std::vector<uint8_t> source(bytes, 0x5A);
  // Rounds of at least about 1 MiB of output, so the clock's cost stays negligible.
  const int batch = static_cast<int>(std::clamp<size_t>((1u << 20) / bytes, 1, 256));
  std::vector<double> ours, floor, over;
  // One untimed round first: the heap reaches its size for this picture (in the recycled
  // condition that is when its pages are touched) and the memory counters are taken.
  for (int i = 0; i < batch; ++i) {
    if (!work()) {
      state.SkipWithError("decode failed");
      return;
    }
    void* block = std::malloc(bytes);
    std::memcpy(block, source.data(), bytes);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
  const long faults0 = minor_faults();
  for (auto _ : state) {
    const Clock::time_point t0 = Clock::now();
    for (int i = 0; i < batch; ++i) {
      if (!work()) {
        state.SkipWithError("decode failed");
        return;
      }
    }
    const Clock::time_point t1 = Clock::now();
    for (int i = 0; i < batch; ++i) {
      void* block = std::malloc(bytes);
      std::memcpy(block, source.data(), bytes);
      benchmark::DoNotOptimize(block);
      benchmark::ClobberMemory();
      std::free(block);
    }
    const Clock::time_point t2 = Clock::now();
    const double a = std::chrono::duration<double>(t1 - t0).count(), b = std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(a / batch);
    ours.push_back(a / batch);
    floor.push_back(b / batch);
    over.push_back((a - b) / batch);
  }
  const double pictures = static_cast<double>(state.iterations()) * batch;
  state.counters["floor_us"] = median(floor) * 1e6;
  state.counters["ours_us"] = median(ours) * 1e6;
  state.counters["x_floor"] = median(ours) / median(floor);
  // The decoder's cost beyond the floor: the median of the rounds' differences, each taken
  // from a round and the floor round right after it.
  state.counters["over_us"] = median(over) * 1e6;
  // Page faults per picture, decoder and floor together.
  state.counters["faults"] = static_cast<double>(minor_faults() - faults0) / pictures;
  state.SetItemsProcessed(static_cast<int64_t>(pictures));
}

void BM_qzi(benchmark::State& state, Form f, int side, Heap heap, bool in_place) {
  set_heap(heap);
  const bmpw::Bytes& file = file_of(f, side);
  Memory memory;
  memory.on = true;
  run_rounds(state, f, side, [&] {
    const int rc = decode_once(file, &memory, in_place);
    memory.on = false;
    return rc == 0;
  });
  // Must stay below 256 KiB: the decoder never holds the file or a second picture.
  state.counters["beside_KiB"] = static_cast<double>(memory.beside) / 1024;
}

// One handle decodes every picture: reset, initialise, execute.
void BM_reuse(benchmark::State& state, Form f, int side) {
  set_heap(kRecycled);
  const bmpw::Bytes& file = file_of(f, side);
  Memory memory;
  QZIDECODER d = qziCreateDecoder();
  run_rounds(state, f, side, [&] {
    qzi_mem::Stream m{file.data(), file.size(), 0};
    qziResetDecoder(d);
    int rc = qzi_mem::initialize(d, &m, nullptr);
    qziSetDecoderLayerCallback(d, on_layer, &memory);
    if (rc == 0) rc = qziDecoderExecute(d);
    return rc == 0;
  });
  qziCloseDecoder(d);
}

void BM_stb(benchmark::State& state, Form f, int side, Heap heap) {
  set_heap(heap);
  const bmpw::Bytes& file = file_of(f, side);
  run_rounds(state, f, side, [&] {
    int w = 0, h = 0, n = 0;
    stbi_uc* p = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 0);
    benchmark::DoNotOptimize(p);
    stbi_image_free(p);
    return p != nullptr;
  });
}

int register_all() {
  for (const Form& f : kForms) {
    for (int side : kSides) {
      const std::string tail = std::string(f.name) + "/" + std::to_string(side);
      for (Heap heap : {kFresh, kRecycled}) {
        // Small pictures never reach the mmap threshold: only the recycled condition applies.
        if (heap == kFresh && side < 1024) continue;
        const std::string cond = std::string("/") + kHeapNames[heap];
        for (bool in_place : {false, true})
          benchmark::RegisterBenchmark(((in_place ? "BM_memory/" : "BM_qzi/") + tail + cond).c_str(), BM_qzi, f,
                                       side, heap, in_place)
              ->UseManualTime()
              ->Unit(benchmark::kMicrosecond);
        if (f.stb && side == 4096)
          benchmark::RegisterBenchmark(("BM_stb/" + tail + cond).c_str(), BM_stb, f, side, heap)
              ->UseManualTime()
              ->Unit(benchmark::kMicrosecond);
      }
      if (side < 4096)
        benchmark::RegisterBenchmark(("BM_reuse/" + tail).c_str(), BM_reuse, f, side)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    }
  }
  return 0;
}

// Registered before main runs, so the library's own main finds them.
const int kRegistered = register_all();

}  // namespace

BENCHMARK_MAIN();
