// The BC1 to BC5 and EAC block decoders, compiled in here: the SIMD runs (where the processor
// has them) and the general block-by-block code give the same texels, and for BC1 to BC3 the
// same as libsquish, on random blocks and on every BC1-BC3 block of the corpora.
#include <gtest/gtest.h>
#include <squish.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "qzipvr.h"
#include "texture.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

struct Kind {
  int format;
  bool is_signed;
  int bytes;
  qzipvr::BlockFn block;
  int squish_flags;  // 0: no libsquish form
};
const Kind kKinds[] = {
    {QZIPVR_FORMAT_BC1, false, 8, qzipvr::bc1, squish::kDxt1},
    {QZIPVR_FORMAT_BC2, false, 16, qzipvr::bc2, squish::kDxt3},
    {QZIPVR_FORMAT_BC3, false, 16, qzipvr::bc3, squish::kDxt5},
    {QZIPVR_FORMAT_BC4, false, 8, qzipvr::bc4, 0},
    {QZIPVR_FORMAT_BC4, true, 8, qzipvr::bc4_signed, 0},
    {QZIPVR_FORMAT_BC5, false, 16, qzipvr::bc5, 0},
    {QZIPVR_FORMAT_BC5, true, 16, qzipvr::bc5_signed, 0},
    {QZIPVR_FORMAT_EAC_R11, false, 8, qzipvr::eac_r11, 0},
    {QZIPVR_FORMAT_EAC_R11, true, 8, qzipvr::eac_r11_signed, 0},
    {QZIPVR_FORMAT_EAC_RG11, false, 16, qzipvr::eac_rg11, 0},
    {QZIPVR_FORMAT_EAC_RG11, true, 16, qzipvr::eac_rg11_signed, 0},
};

// Decodes `blocks` three ways and returns the index of the first block where they differ
// (the count of blocks when none does).
size_t first_difference(const Kind& kind, const Bytes& blocks) {
  const size_t n = blocks.size() / static_cast<size_t>(kind.bytes);
  Bytes runs(n * 64), single(n * 64), reference(n * 64);
  qzipvr::ChunkFn chunk = qzipvr::bcn_chunk(kind.format, kind.is_signed);
  if (!chunk) chunk = qzipvr::eac_chunk(kind.format, kind.is_signed);  // none without SIMD
  for (size_t k = 0; k < n && chunk; k += 64) {  // in runs of up to 64, as the library decodes
    chunk(&blocks[k * kind.bytes], static_cast<int>(std::min<size_t>(64, n - k)), &runs[k * 64]);
  }
  for (size_t k = 0; k < n; ++k) {
    kind.block(&blocks[k * kind.bytes], &single[k * 64]);
    if (!chunk) std::copy_n(&single[k * 64], 64, &runs[k * 64]);
    if (kind.squish_flags) {
      squish::Decompress(&reference[k * 64], &blocks[k * kind.bytes], kind.squish_flags);
    } else {
      std::copy_n(&single[k * 64], 64, &reference[k * 64]);
    }
  }
  for (size_t k = 0; k < n; ++k) {
    if (!std::equal(&runs[k * 64], &runs[k * 64] + 64, &single[k * 64]) ||
        !std::equal(&single[k * 64], &single[k * 64] + 64, &reference[k * 64])) {
      return k;
    }
  }
  return n;
}

// Random blocks; a quarter have equal endpoints and an eighth swapped ones, the cases where the
// palettes change form.
TEST(BlockRuns, RandomBlocks) {
  std::mt19937 rng(24);
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(testing::Message() << "format " << kind.format << (kind.is_signed ? " signed" : ""));
    Bytes blocks(20000 * static_cast<size_t>(kind.bytes));
    for (uint8_t& b : blocks) b = static_cast<uint8_t>(rng());
    for (size_t at = 0; at < blocks.size(); at += static_cast<size_t>(kind.bytes)) {
      const unsigned pick = rng() % 8;
      for (size_t part = at; part < at + static_cast<size_t>(kind.bytes); part += 8) {
        // Colour endpoints are 16-bit (bytes 0-3), value endpoints 8-bit (bytes 0-1).
        if (pick < 2) {
          blocks[part + 1] = blocks[part];
          std::copy_n(&blocks[part], 2, &blocks[part + 2]);
        }
        if (pick == 2) std::swap(blocks[part], blocks[part + 1]);
      }
    }
    const size_t n = blocks.size() / static_cast<size_t>(kind.bytes);
    EXPECT_EQ(first_difference(kind, blocks), n);
  }
}

// The BC1-BC3 data of a PVR version 3 or DDS file from its data offset to its end (lower mip
// levels and further faces included): libsquish flags, 0 for other files.
int bc_data(const Bytes& f, size_t* offset) {
  auto u32 = [&](size_t at) {
    return at + 4 <= f.size() ? uint32_t(f[at] | f[at + 1] << 8 | f[at + 2] << 16 | uint32_t(f[at + 3]) << 24) : 0u;
  };
  uint32_t id = 0;
  if (u32(0) == 0x03525650 && u32(12) == 0) {
    id = u32(8);
    *offset = 52 + size_t{u32(48)};
  } else if (u32(0) == 0x20534444) {  // "DDS "
    const uint32_t fourcc = u32(84);
    *offset = 128;
    if (fourcc == 0x30315844) {  // "DX10": BC1 70-72, BC2 73-75, BC3 76-78
      const uint32_t dxgi = u32(128);
      *offset = 148;
      id = dxgi >= 70 && dxgi <= 78 ? 7 + (dxgi - 70) / 3 * 2 : 0;
    } else if ((fourcc & 0x00FFFFFF) == 0x00545844) {  // "DXT1" to "DXT5"
      const uint32_t digit = (fourcc >> 24) - '0';
      id = digit == 1 ? 7 : digit == 2 || digit == 3 ? 9 : digit == 4 || digit == 5 ? 11 : 0;
    }
  }
  return id == 7 ? squish::kDxt1 : id == 9 ? squish::kDxt3 : id == 11 ? squish::kDxt5 : 0;
}

TEST(BlockRuns, CorpusBc1ToBc3EqualLibsquish) {
  std::vector<fs::path> files;
  for (const char* variable : {"QZI_PVR_DIR", "QZI_PVR_MODERN_DIR", "QZI_TEXTURES_DIR"}) {
    const char* dir = std::getenv(variable);
    if (!dir || !*dir || !fs::is_directory(dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      const std::string ext = entry.path().extension().string();
      if (ext == ".pvr" || ext == ".dds") files.push_back(entry.path());
    }
  }
  if (files.empty()) GTEST_SKIP() << "no corpus folder is set";
  size_t blocks = 0;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const Bytes f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t offset = 0;
    const int flags = bc_data(f, &offset);
    if (!flags || offset >= f.size()) continue;
    SCOPED_TRACE(file.string());
    const Kind& kind = kKinds[flags == squish::kDxt1 ? 0 : flags == squish::kDxt3 ? 1 : 2];
    const size_t n = (f.size() - offset) / static_cast<size_t>(kind.bytes);
    const Bytes data(f.begin() + static_cast<long>(offset), f.begin() + static_cast<long>(offset + n * kind.bytes));
    EXPECT_EQ(first_difference(kind, data), n);
    blocks += n;
  }
  EXPECT_GT(blocks, 0u);
  std::cout << "[          ] " << blocks << " corpus blocks compared\n";
}

}  // namespace
