// Decoding speed of 2048 x 2048 PVR v3 textures held in memory, in megapixels per second:
//   BM_pvr/<format>/fresh     the public API over a memory stream (create, initialise, execute,
//                             close), every large block fresh from the system (first-touch page
//                             faults paid);
//   BM_pvr/<format>/recycled  the same with the allocator recycling freed blocks;
//   BM_codec/<format>         a Debian codec library alone on the same blocks: libETC1 (ETC1)
//                             and libsquish (BC1, BC3) every block into one scratch block, no
//                             picture; astcenc (ASTC) the whole picture with a context made once;
//   BM_overhead/<format>      the two alternately, recycled heap: x_codec is the whole decode's
//                             time over the library's (median of the pairs).
//
// The texture containers (DDS, KTX, KTX2) around the same blocks:
//   BM_texture/<container>_<format>  the public API as BM_pvr/recycled;
//   BM_overhead/<container>_<format> paired with the codec alone as above (BC1 and BC3).
// BC6H against BC7 is BM_texture/dds_bc6h against BM_texture/dds_bc7 (both codecs are ours).
//
// Block data is random bytes except for ASTC, which is compressed from a gradient picture
// (random ASTC blocks are mostly invalid and decode to the error colour on a short path).
#include <astcenc.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <android/ETC1/etc1.h>
#include <squish.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qzi_memview.h"
#include "qzimgdecoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

const int kSide = 2048;

struct Format {
  const char* name;
  uint32_t id;             // v3 compressed pixel-format id
  int block_w, block_h;    // texels per block
  int block_bytes;
  uint32_t channel_type;   // 1: signed
};

const Format kFormats[] = {
    {"pvrtc_4bpp", 2, 4, 4, 8, 0},  {"pvrtc_2bpp", 0, 8, 4, 8, 0}, {"etc1", 6, 4, 4, 8, 0},
    {"bc1", 7, 4, 4, 8, 0},         {"bc3", 11, 4, 4, 16, 0},      {"bc4", 12, 4, 4, 8, 0},
    {"bc5_signed", 13, 4, 4, 16, 1}, {"bc7", 15, 4, 4, 16, 0},     {"etc2_rgb", 22, 4, 4, 8, 0},
    {"etc2_rgba", 23, 4, 4, 16, 0}, {"etc2_rgb_a1", 24, 4, 4, 8, 0}, {"eac_rg11", 26, 4, 4, 16, 0},
    {"astc_4x4", 27, 4, 4, 16, 0},  {"astc_8x8", 34, 8, 8, 16, 0}, {"bc5", 13, 4, 4, 16, 0},
    {"eac_r11", 25, 4, 4, 8, 0},    {"astc_6x6", 31, 6, 6, 16, 0}, {"astc_12x12", 40, 12, 12, 16, 0},
};

void put32(Bytes& b, uint32_t v) {
  for (int s = 0; s < 32; s += 8) b.push_back(static_cast<uint8_t>(v >> s));
}

Bytes astc_blocks(const Format& f) {
  astcenc_config config;
  astcenc_context* ctx = nullptr;
  if (astcenc_config_init(ASTCENC_PRF_LDR, static_cast<unsigned>(f.block_w), static_cast<unsigned>(f.block_h), 1,
                          ASTCENC_PRE_FASTEST, 0, &config) != ASTCENC_SUCCESS ||
      astcenc_context_alloc(&config, 1, &ctx) != ASTCENC_SUCCESS) {
    return {};
  }
  Bytes rgba(static_cast<size_t>(kSide) * kSide * 4);
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * kSide + x) * 4];
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = static_cast<uint8_t>((x ^ y) >> 3);
      p[3] = static_cast<uint8_t>(255 - (x + y) / 16);
    }
  }
  void* slices[1] = {rgba.data()};
  astcenc_image image{static_cast<unsigned>(kSide), static_cast<unsigned>(kSide), 1, ASTCENC_TYPE_U8, slices};
  const astcenc_swizzle swz{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
  const size_t blocks = static_cast<size_t>((kSide + f.block_w - 1) / f.block_w) * ((kSide + f.block_h - 1) / f.block_h);
  Bytes out(blocks * 16);
  if (astcenc_compress_image(ctx, &image, &swz, out.data(), out.size(), 0) != ASTCENC_SUCCESS) out.clear();
  astcenc_context_free(ctx);
  return out;
}

Bytes block_data(const Format& f) {
  if (f.id >= 27) return astc_blocks(f);
  const size_t blocks = static_cast<size_t>(kSide / f.block_w) * (kSide / f.block_h);
  Bytes b(blocks * static_cast<size_t>(f.block_bytes));
  std::mt19937 rng(1234);
  for (uint8_t& v : b) v = static_cast<uint8_t>(rng());
  return b;
}

const Bytes& file_of(const Format& f) {
  static std::map<std::string, Bytes> files;
  auto it = files.find(f.name);
  if (it != files.end()) return it->second;
  Bytes b;
  for (uint32_t v : {0x03525650u, 0u, f.id, 0u, 0u, f.channel_type, uint32_t(kSide), uint32_t(kSide), 1u, 1u, 1u,
                     1u, 0u}) {
    put32(b, v);
  }
  const Bytes data = block_data(f);
  b.insert(b.end(), data.begin(), data.end());
  return files.emplace(f.name, b).first->second;
}

int ignore_layer(QZIDEC_LAYERINFO*, int) { return 0; }

void set_heap(bool fresh) {
  // Fresh: blocks of 1 MiB and more are mapped and unmapped each time. Recycled: the largest
  // threshold glibc allows keeps them in the heap, and the heap is never trimmed.
  mallopt(M_MMAP_THRESHOLD, fresh ? 1 << 20 : 32 << 20);
  mallopt(M_TRIM_THRESHOLD, fresh ? 128 << 10 : 1 << 30);
}

// One decode through the public API; false when it fails.
bool decode_once(const Bytes& file) {
  qzi_mem::Stream m{file.data(), file.size(), 0};
  QZIDECODER d = qziCreateDecoder();
  int rc = qzi_mem::initialize(d, &m, nullptr);
  qziSetDecoderLayerCallback(d, ignore_layer, nullptr);
  if (rc == 0) rc = qziDecoderExecute(d);
  qziCloseDecoder(d);
  return rc == 0;
}

void BM_pvr(benchmark::State& state, Format f, bool fresh) {
  set_heap(fresh);
  const Bytes& file = file_of(f);
  for (auto _ : state) {
    if (!decode_once(file)) {
      state.SkipWithError("decode failed");
      break;
    }
  }
  state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kSide * kSide / 1e6,
                                               benchmark::Counter::kIsRate);
}

// ASTC: the whole picture into one RGBA buffer, with a context made once per format.
void astcenc_once(const Bytes& file, const Format& f, size_t offset) {
  static std::map<std::string, astcenc_context*> contexts;
  static Bytes picture(static_cast<size_t>(kSide) * kSide * 4);
  astcenc_context*& ctx = contexts[f.name];
  astcenc_config config;
  if (!ctx && (astcenc_config_init(ASTCENC_PRF_LDR, static_cast<unsigned>(f.block_w), static_cast<unsigned>(f.block_h), 1,
                                   ASTCENC_PRE_FASTEST, ASTCENC_FLG_DECOMPRESS_ONLY, &config) != ASTCENC_SUCCESS ||
               astcenc_context_alloc(&config, 1, &ctx) != ASTCENC_SUCCESS)) {
    return;
  }
  void* slices[1] = {picture.data()};
  astcenc_image image{static_cast<unsigned>(kSide), static_cast<unsigned>(kSide), 1, ASTCENC_TYPE_U8, slices};
  const astcenc_swizzle swz{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
  astcenc_decompress_image(ctx, file.data() + offset, file.size() - offset, &image, &swz, 0);
  benchmark::DoNotOptimize(picture.data());
}

// Every block of the texture decoded into one scratch block by the codec library; the blocks
// start at `offset`.
void codec_once(const Bytes& file, const Format& f, size_t offset = 52) {
  if (f.id >= 27) return astcenc_once(file, f, offset);
  const uint8_t* data = file.data() + offset;
  const size_t blocks = (file.size() - offset) / static_cast<size_t>(f.block_bytes);
  uint8_t out[64];
  for (size_t k = 0; k < blocks; ++k) {
    const uint8_t* block = data + k * static_cast<size_t>(f.block_bytes);
    if (f.id == 6) {
      etc1_decode_block(block, out);
    } else {
      squish::Decompress(out, block, f.id == 7 ? squish::kDxt1 : squish::kDxt5);
    }
    benchmark::DoNotOptimize(out);
  }
}

void BM_codec(benchmark::State& state, Format f) {
  const Bytes& file = file_of(f);
  for (auto _ : state) codec_once(file, f);
  state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kSide * kSide / 1e6,
                                               benchmark::Counter::kIsRate);
}

// The module's time over the codec's, the two run alternately (recycled heap), so that load
// from other processes moves both alike: x_codec is the median of the pairs' ratios. The
// benchmark's own time is the module's.
void BM_overhead(benchmark::State& state, Format f) {
  set_heap(false);
  const Bytes& file = file_of(f);
  std::vector<double> ratios;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (!decode_once(file)) {
      state.SkipWithError("decode failed");
      break;
    }
    const auto t1 = Clock::now();
    codec_once(file, f);
    const auto t2 = Clock::now();
    const double module = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(module);
    ratios.push_back(module / std::chrono::duration<double>(t2 - t1).count());
  }
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  state.counters["x_codec"] = ratios[ratios.size() / 2];
}

// The same blocks in another container.
struct Container {
  const char* name;
  size_t header;  // bytes before the blocks
  Bytes (*make)(const Format& f, uint32_t code, const Bytes& blocks);
};

Bytes dds_file(const Format&, uint32_t dxgi, const Bytes& blocks) {
  Bytes b;
  for (uint32_t v : {0x20534444u, 124u, 0x1007u, uint32_t(kSide), uint32_t(kSide), 0u, 0u, 1u}) put32(b, v);
  b.resize(76);
  for (uint32_t v : {32u, 4u, 0x30315844u, 0u, 0u, 0u, 0u, 0u, 0x1000u, 0u, 0u, 0u, 0u, dxgi, 3u, 0u, 1u, 0u}) put32(b, v);
  b.insert(b.end(), blocks.begin(), blocks.end());
  return b;
}

Bytes ktx_file(const Format&, uint32_t gl, const Bytes& blocks) {
  Bytes b = {0xAB, 'K', 'T', 'X', ' ', '1', '1', 0xBB, '\r', '\n', 0x1A, '\n'};
  for (uint32_t v : {0x04030201u, 0u, 1u, 0u, gl, 0x1908u, uint32_t(kSide), uint32_t(kSide), 0u, 0u, 1u, 1u, 0u,
                     uint32_t(blocks.size())}) {
    put32(b, v);
  }
  b.insert(b.end(), blocks.begin(), blocks.end());
  return b;
}

Bytes ktx2_file(const Format&, uint32_t vk, const Bytes& blocks) {
  Bytes b = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
  for (uint32_t v : {vk, 1u, uint32_t(kSide), uint32_t(kSide), 0u, 0u, 1u, 1u, 0u, 0u, 0u, 0u, 0u}) put32(b, v);
  b.resize(80);
  for (uint64_t v : {uint64_t{112}, uint64_t(blocks.size()), uint64_t(blocks.size())}) {
    put32(b, static_cast<uint32_t>(v));
    put32(b, static_cast<uint32_t>(v >> 32));
  }
  b.resize(112);
  b.insert(b.end(), blocks.begin(), blocks.end());
  return b;
}

const Container kDds{"dds", 148, dds_file}, kKtx{"ktx", 68, ktx_file}, kKtx2{"ktx2", 112, ktx2_file};

struct Wrapped {
  const Container* container;
  const char* format;  // a name of kFormats
  uint32_t code;       // the container's number for it
};
const Wrapped kWrapped[] = {{&kDds, "bc1", 71},     {&kDds, "bc3", 77},     {&kDds, "bc7", 98},
                            {&kKtx, "bc1", 0x83F1}, {&kKtx2, "bc1", 133}, {&kKtx2, "bc3", 137}};

const Format& format_named(const char* name) {
  for (const Format& f : kFormats) {
    if (std::string(f.name) == name) return f;
  }
  return kFormats[0];
}

const Bytes& wrapped_file(const Wrapped& w) {
  static std::map<std::string, Bytes> files;
  const std::string key = std::string(w.container->name) + "_" + w.format;
  auto it = files.find(key);
  if (it != files.end()) return it->second;
  const Bytes& pvr = file_of(format_named(w.format));
  const Bytes blocks(pvr.begin() + 52, pvr.end());
  return files.emplace(key, w.container->make(format_named(w.format), w.code, blocks)).first->second;
}

// BC6H blocks: random bytes, as the other formats' (a few of the 32 mode numbers are reserved).
const Bytes& bc6h_file() {
  static Bytes file;
  if (file.empty()) {
    Bytes blocks(static_cast<size_t>(kSide / 4) * (kSide / 4) * 16);
    std::mt19937 rng(1234);
    for (uint8_t& v : blocks) v = static_cast<uint8_t>(rng());
    file = dds_file(kFormats[0], 95, blocks);
  }
  return file;
}

void BM_texture(benchmark::State& state, const Bytes* file) {
  set_heap(false);
  for (auto _ : state) {
    if (!decode_once(*file)) {
      state.SkipWithError("decode failed");
      break;
    }
  }
  state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kSide * kSide / 1e6,
                                               benchmark::Counter::kIsRate);
}

void BM_texture_overhead(benchmark::State& state, Wrapped w) {
  set_heap(false);
  const Bytes& file = wrapped_file(w);
  const Format& f = format_named(w.format);
  std::vector<double> ratios;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (!decode_once(file)) {
      state.SkipWithError("decode failed");
      break;
    }
    const auto t1 = Clock::now();
    codec_once(file, f, w.container->header);
    const auto t2 = Clock::now();
    const double module = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(module);
    ratios.push_back(module / std::chrono::duration<double>(t2 - t1).count());
  }
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  state.counters["x_codec"] = ratios[ratios.size() / 2];
}

int register_textures() {
  for (const Wrapped& w : kWrapped) {
    const std::string n = std::string(w.container->name) + "_" + w.format;
    benchmark::RegisterBenchmark(("BM_texture/" + n).c_str(), BM_texture, &wrapped_file(w))->Unit(benchmark::kMillisecond);
    if (std::string(w.format) != "bc7") {
      benchmark::RegisterBenchmark(("BM_overhead/" + n).c_str(), BM_texture_overhead, w)
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime();
    }
  }
  benchmark::RegisterBenchmark("BM_texture/dds_bc6h", BM_texture, &bc6h_file())->Unit(benchmark::kMillisecond);
  return 0;
}

int register_all() {
  for (const Format& f : kFormats) {
    const std::string n = f.name;
    benchmark::RegisterBenchmark(("BM_pvr/" + n + "/fresh").c_str(), BM_pvr, f, true)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_pvr/" + n + "/recycled").c_str(), BM_pvr, f, false)->Unit(benchmark::kMillisecond);
    if (f.id == 6 || f.id == 7 || f.id == 11 || f.id >= 27) {
      benchmark::RegisterBenchmark(("BM_codec/" + n).c_str(), BM_codec, f)->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("BM_overhead/" + n).c_str(), BM_overhead, f)
          ->Unit(benchmark::kMillisecond)
          ->UseManualTime();
    }
  }
  return 0;
}

// Registered before main runs, so the library's own main finds them.
const int kRegistered = register_all() + register_textures();

}  // namespace

BENCHMARK_MAIN();
