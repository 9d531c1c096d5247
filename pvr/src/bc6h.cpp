// BC6H: 16-byte blocks of half-float RGB, unsigned or signed, in fourteen modes of one or two
// subsets. Blocks decode to half-float bit patterns, which a table turns into 8-bit values,
// or, for the float picture, into floats unclamped.
#include <algorithm>
#include <cstring>
#include <vector>

#include "container.h"

namespace qzipvr {
namespace {

// Endpoint fields of each mode, in the order they are stored after the mode bits, written
// as channel (r g b), endpoint (w x y z) and bits [high:low]; [low:high] is stored reversed,
// highest bit first. "d" is the partition number.
struct ModeText {
  int code, endpoint_bits, delta_bits[3];
  bool transformed;
  const char* fields;
};
const ModeText kModeTexts[14] = {
    {0, 10, {5, 5, 5}, true, "gy4 by4 bz4 rw9:0 gw9:0 bw9:0 rx4:0 gz4 gy3:0 gx4:0 bz0 gz3:0 bx4:0 bz1 by3:0 ry4:0 bz2 rz4:0 bz3 d4:0"},
    {1, 7, {6, 6, 6}, true, "gy5 gz4 gz5 rw6:0 bz0 bz1 by4 gw6:0 by5 bz2 gy4 bw6:0 bz3 bz5 bz4 rx5:0 gy3:0 gx5:0 gz3:0 bx5:0 by3:0 ry5:0 rz5:0 d4:0"},
    {2, 11, {5, 4, 4}, true, "rw9:0 gw9:0 bw9:0 rx4:0 rw10 gy3:0 gx3:0 gw10 bz0 gz3:0 bx3:0 bw10 bz1 by3:0 ry4:0 bz2 rz4:0 bz3 d4:0"},
    {6, 11, {4, 5, 4}, true, "rw9:0 gw9:0 bw9:0 rx3:0 rw10 gz4 gy3:0 gx4:0 gw10 gz3:0 bx3:0 bw10 bz1 by3:0 ry3:0 bz0 bz2 rz3:0 gy4 bz3 d4:0"},
    {10, 11, {4, 4, 5}, true, "rw9:0 gw9:0 bw9:0 rx3:0 rw10 by4 gy3:0 gx3:0 gw10 bz0 gz3:0 bx4:0 bw10 by3:0 ry3:0 bz1 bz2 rz3:0 bz4 bz3 d4:0"},
    {14, 9, {5, 5, 5}, true, "rw8:0 by4 gw8:0 gy4 bw8:0 bz4 rx4:0 gz4 gy3:0 gx4:0 bz0 gz3:0 bx4:0 bz1 by3:0 ry4:0 bz2 rz4:0 bz3 d4:0"},
    {18, 8, {6, 5, 5}, true, "rw7:0 gz4 by4 gw7:0 bz2 gy4 bw7:0 bz3 bz4 rx5:0 gy3:0 gx4:0 bz0 gz3:0 bx4:0 bz1 by3:0 ry5:0 rz5:0 d4:0"},
    {22, 8, {5, 6, 5}, true, "rw7:0 bz0 by4 gw7:0 gy5 gy4 bw7:0 gz5 bz4 rx4:0 gz4 gy3:0 gx5:0 gz3:0 bx4:0 bz1 by3:0 ry4:0 bz2 rz4:0 bz3 d4:0"},
    {26, 8, {5, 5, 6}, true, "rw7:0 bz1 by4 gw7:0 by5 gy4 bw7:0 bz5 bz4 rx4:0 gz4 gy3:0 gx4:0 bz0 gz3:0 bx5:0 by3:0 ry4:0 bz2 rz4:0 bz3 d4:0"},
    {30, 6, {6, 6, 6}, false, "rw5:0 gz4 bz0 bz1 by4 gw5:0 gy5 by5 bz2 gy4 bw5:0 gz5 bz3 bz5 bz4 rx5:0 gy3:0 gx5:0 gz3:0 bx5:0 by3:0 ry5:0 rz5:0 d4:0"},
    {3, 10, {10, 10, 10}, false, "rw9:0 gw9:0 bw9:0 rx9:0 gx9:0 bx9:0"},
    {7, 11, {9, 9, 9}, true, "rw9:0 gw9:0 bw9:0 rx8:0 rw10 gx8:0 gw10 bx8:0 bw10"},
    {11, 12, {8, 8, 8}, true, "rw9:0 gw9:0 bw9:0 rx7:0 rw10:11 gx7:0 gw10:11 bx7:0 bw10:11"},
    {15, 16, {4, 4, 4}, true, "rw9:0 gw9:0 bw9:0 rx3:0 rw10:15 gx3:0 gw10:15 bx3:0 bw10:15"}};

// One field: value `target` (endpoint * 3 + channel, 12 the partition) receives `count` bits
// from bit `low` up, or, reversed, from bit `low` down.
struct Field {
  uint8_t target, low, count;
  bool reversed;
};
struct Mode {
  bool valid = false;
  int mode_bits = 0, endpoint_bits = 0, delta_bits[3] = {};
  int subsets = 0;
  bool transformed = false;
  int nfields = 0;
  Field fields[32];
};

struct Modes {
  Mode by_code[32];  // by the low 5 bits (the 2-bit modes under every code ending in 00 or 01)
  Modes() {
    for (const ModeText& t : kModeTexts) {
      Mode m;
      m.valid = true;
      m.mode_bits = t.code < 2 ? 2 : 5;
      m.endpoint_bits = t.endpoint_bits;
      std::memcpy(m.delta_bits, t.delta_bits, sizeof m.delta_bits);
      m.transformed = t.transformed;
      m.subsets = std::strstr(t.fields, "d4:0") ? 2 : 1;
      for (const char* s = t.fields; *s;) {
        while (*s == ' ') ++s;
        Field f{};
        if (*s == 'd') {
          f.target = 12;
          ++s;
        } else {
          const int ch = s[0] == 'r' ? 0 : s[0] == 'g' ? 1 : 2;
          const int ep = s[1] - 'w';
          f.target = static_cast<uint8_t>(ep * 3 + ch);
          s += 2;
        }
        int a = 0, b = -1;
        while (*s >= '0' && *s <= '9') a = a * 10 + (*s++ - '0');
        if (*s == ':') {
          ++s;
          b = 0;
          while (*s >= '0' && *s <= '9') b = b * 10 + (*s++ - '0');
        } else {
          b = a;
        }
        f.reversed = a < b;
        f.low = static_cast<uint8_t>(b);
        f.count = static_cast<uint8_t>((a > b ? a - b : b - a) + 1);
        m.fields[m.nfields++] = f;
      }
      if (t.code < 2) {
        for (int c = t.code; c < 32; c += 4) by_code[c] = m;
      } else {
        by_code[t.code] = m;
      }
    }
  }
};
const Modes kModes;

// Two-subset partitions (the first 32 of the three-region codec's table) and their second anchors.
const uint32_t kPartitions[32] = {
    0x50505050, 0x40404040, 0x54545454, 0x54505040, 0x50404000, 0x55545450, 0x55545040, 0x54504000,
    0x50400000, 0x55555450, 0x55544000, 0x54400000, 0x55555440, 0x55550000, 0x55555500, 0x55000000,
    0x55150100, 0x00004054, 0x15010000, 0x00405054, 0x00004050, 0x15050100, 0x05010000, 0x40505054,
    0x00404050, 0x05010100, 0x14141414, 0x05141450, 0x01155440, 0x00555500, 0x15014054, 0x05414150};
const uint8_t kAnchors[32] = {15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
                              15, 2, 8, 2, 2, 8, 8, 15, 2, 8, 2, 2, 8, 8, 2, 2};
const int kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
const int kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

int sign_extend(int v, int bits) { return bits >= 32 ? v : (v ^ (1 << (bits - 1))) - (1 << (bits - 1)); }

int unquantize(int v, int bits, bool is_signed) {
  if (!is_signed) {
    if (bits >= 15 || v == 0) return v;
    if (v == (1 << bits) - 1) return 0xFFFF;
    return ((v << 16) + 0x8000) >> bits;
  }
  if (bits >= 16) return v;
  const bool negative = v < 0;
  int m = negative ? -v : v;
  int u;
  if (m == 0) {
    u = 0;
  } else if (m >= (1 << (bits - 1)) - 1) {
    u = 0x7FFF;
  } else {
    u = ((m << 15) + 0x4000) >> (bits - 1);
  }
  return negative ? -u : u;
}

// The half-float bit pattern of an interpolated value.
uint16_t finish(int v, bool is_signed) {
  if (!is_signed) return static_cast<uint16_t>((v * 31) >> 6);
  if (v < 0) return static_cast<uint16_t>(0x8000 | (((-v) * 31) >> 5));
  return static_cast<uint16_t>((v * 31) >> 5);
}

// A block's unquantised endpoints (two per subset) and its texels' subsets and weights.
struct Block {
  int subsets = 0;  // 0: a reserved mode, every texel 0
  int e[4][3];
  uint8_t subset[16];
  uint8_t weight[16];  // 0..64
};

void read_block(const uint8_t* block, bool is_signed, Block* out) {
  uint64_t lo, hi;
  std::memcpy(&lo, block, 8);  // little-endian hosts (texture.h)
  std::memcpy(&hi, block + 8, 8);
  const Mode& m = kModes.by_code[block[0] & 31];
  if (!m.valid) {
    out->subsets = 0;
    return;
  }
  BitReader r{lo, hi};
  r.pos = m.mode_bits;
  int v[13] = {};
  for (int f = 0; f < m.nfields; ++f) {
    const Field& fd = m.fields[f];
    if (!fd.reversed) {
      v[fd.target] |= static_cast<int>(r.get(fd.count)) << fd.low;
    } else {
      for (int k = 0; k < fd.count; ++k) v[fd.target] |= static_cast<int>(r.get(1)) << (fd.low - k);
    }
  }
  const int eb = m.endpoint_bits, mask = (1 << eb) - 1;
  const int ends = m.subsets * 2;
  for (int ch = 0; ch < 3; ++ch) {
    out->e[0][ch] = is_signed ? sign_extend(v[ch], eb) : v[ch];
    for (int k = 1; k < ends; ++k) {
      int x = v[k * 3 + ch];
      if (m.transformed) {
        x = (v[ch] + sign_extend(x, m.delta_bits[ch])) & mask;
        if (is_signed) x = sign_extend(x, eb);
      } else if (is_signed) {
        x = sign_extend(x, eb);
      }
      out->e[k][ch] = x;
    }
    for (int k = 0; k < ends; ++k) out->e[k][ch] = unquantize(out->e[k][ch], eb, is_signed);
  }
  out->subsets = m.subsets;
  // Indices fill the block's top bits, the first texel's (and the second anchor's) one bit short.
  if (m.subsets == 2) {
    const uint32_t map = kPartitions[v[12]];
    const int anchor2 = kAnchors[v[12]];
    uint64_t bits = hi >> 18;
    for (int i = 0; i < 16; ++i) {
      const int n = i == 0 || i == anchor2 ? 2 : 3;
      out->weight[i] = static_cast<uint8_t>(kWeights3[bits & ((1u << n) - 1)]);
      out->subset[i] = static_cast<uint8_t>(map >> (2 * i) & 3);
      bits >>= n;
    }
  } else {
    uint64_t bits = hi >> 1;
    for (int i = 0; i < 16; ++i) {
      const int n = i == 0 ? 3 : 4;
      out->weight[i] = static_cast<uint8_t>(kWeights4[bits & ((1u << n) - 1)]);
      out->subset[i] = 0;
      bits >>= n;
    }
  }
}

// The half-float bit pattern of texel i's channel.
inline uint16_t texel_half(const Block& b, int i, int ch, bool is_signed) {
  const int s = b.subset[i], w = b.weight[i];
  return finish((b.e[2 * s][ch] * (64 - w) + b.e[2 * s + 1][ch] * w + 32) >> 6, is_signed);
}

// 16 texels of red, green, blue half floats.
void bc6h_block(const uint8_t* block, bool is_signed, uint16_t* rgb) {
  Block b;
  read_block(block, is_signed, &b);
  if (!b.subsets) {
    std::memset(rgb, 0, 48 * sizeof(uint16_t));
    return;
  }
  for (int i = 0; i < 16; ++i) {
    for (int ch = 0; ch < 3; ++ch) rgb[3 * i + ch] = texel_half(b, i, ch, is_signed);
  }
}

// 8-bit values of the half-float patterns from 0 to 1.0 under the clamping rule; above 1.0 (the
// blocks make no infinities or NaN) they are 255 like 1.0 itself, negative ones 0 like 0.
// Small enough to stay in the first-level cache.
const int kUnitHalf = 0x3C00;
struct UnitTable {
  uint8_t v[kUnitHalf + 1];
  UnitTable() {
    const Tone clamp;
    for (int h = 0; h <= kUnitHalf; ++h) v[h] = float_to_8(half_to_float(static_cast<uint16_t>(h)), clamp);
  }
};

// 16 texels of red, green, blue, alpha bytes under the clamping rule, one 32-bit word each.
void bc6h_block_clamped(const uint8_t* block, bool is_signed, const uint8_t* unit, uint8_t* rgba) {
  Block b;
  read_block(block, is_signed, &b);
  if (!b.subsets) {
    for (int i = 0; i < 16; ++i) std::memcpy(rgba + 4 * i, "\0\0\0\xff", 4);
    return;
  }
  for (int i = 0; i < 16; ++i) {
    const int s = b.subset[i], w = b.weight[i];
    uint32_t word = 0xFF000000u;
    for (int ch = 0; ch < 3; ++ch) {
      const int c = (b.e[2 * s][ch] * (64 - w) + b.e[2 * s + 1][ch] * w + 32) >> 6;
      // The half pattern as finish() makes it, negative values read as 0; without branches,
      // which random-looking data would mispredict.
      const int h = is_signed ? (std::max(c, 0) * 31) >> 5 : (c * 31) >> 6;
      word |= static_cast<uint32_t>(unit[std::min(h, kUnitHalf)]) << (8 * ch);
    }
    std::memcpy(rgba + 4 * i, &word, 4);
  }
}

const int kChunkBlocks = 64;

}  // namespace

void decode_bc6h(const uint8_t* data, bool is_signed, const Tone& tone, Sink& out) {
  static const UnitTable unit;
  std::vector<uint8_t> mapped;
  const uint8_t* table = nullptr;  // the clamping rule, computed from the unit table
  if (tone.reinhard) {
    mapped.resize(65536);
    for (uint32_t h = 0; h < 65536; ++h) mapped[h] = float_to_8(half_to_float(static_cast<uint16_t>(h)), tone);
    table = mapped.data();
  }
  const int nbx = (out.width + 3) / 4, nby = (out.height + 3) / 4;
  const int chunk = nbx < kChunkBlocks ? nbx : kChunkBlocks;
  std::vector<uint8_t> strip(static_cast<size_t>(chunk) * 64);
  uint8_t* rows[4];
  uint8_t* alphas[4];
  uint16_t rgb[48];
  for (int by = 0; by < nby; ++by) {
    const int h = out.height - by * 4 < 4 ? out.height - by * 4 : 4;
    for (int ly = 0; ly < h; ++ly) rows[ly] = out.row(by * 4 + ly, &alphas[ly]);
    if (out.failed) return;
    const uint8_t* block = data + static_cast<size_t>(by) * nbx * 16;
    for (int bx0 = 0; bx0 < nbx; bx0 += chunk) {
      const int n = nbx - bx0 < chunk ? nbx - bx0 : chunk;
      for (int k = 0; k < n; ++k, block += 16) {
        uint8_t* d = &strip[static_cast<size_t>(k) * 64];
        if (!table) {
          bc6h_block_clamped(block, is_signed, unit.v, d);
          continue;
        }
        bc6h_block(block, is_signed, rgb);
        for (int i = 0; i < 16; ++i) {
          d[4 * i] = table[rgb[3 * i]];
          d[4 * i + 1] = table[rgb[3 * i + 1]];
          d[4 * i + 2] = table[rgb[3 * i + 2]];
          d[4 * i + 3] = 255;
        }
      }
      const int x = bx0 * 4;
      const int w = out.width - x < n * 4 ? out.width - x : n * 4;
      for (int ly = 0; ly < h; ++ly) {
        put_texels(&strip[static_cast<size_t>(ly) * 16], 64, w, rows[ly] + static_cast<size_t>(x) * out.pixel,
                   alphas[ly] ? alphas[ly] + x : nullptr, out.pixel);
      }
    }
  }
}

void decode_bc6h_floats(const uint8_t* data, bool is_signed, FloatSink& out) {
  const int nbx = (out.width + 3) / 4, nby = (out.height + 3) / 4;
  uint16_t rgb[48];
  for (int by = 0; by < nby; ++by) {
    const int h = out.height - by * 4 < 4 ? out.height - by * 4 : 4;
    float* rows[4];
    for (int ly = 0; ly < h; ++ly) rows[ly] = out.row(by * 4 + ly);
    if (out.failed) return;
    const uint8_t* block = data + static_cast<size_t>(by) * nbx * 16;
    for (int bx = 0; bx < nbx; ++bx, block += 16) {
      bc6h_block(block, is_signed, rgb);
      const int w = out.width - bx * 4 < 4 ? out.width - bx * 4 : 4;
      for (int ly = 0; ly < h; ++ly) {
        float* d = rows[ly] + static_cast<size_t>(bx) * 16;
        for (int lx = 0; lx < w; ++lx, d += 4) {
          const uint16_t* s = &rgb[3 * (4 * ly + lx)];
          d[0] = half_to_float(s[0]);
          d[1] = half_to_float(s[1]);
          d[2] = half_to_float(s[2]);
          d[3] = 1.0f;
        }
      }
    }
  }
}

}  // namespace qzipvr
