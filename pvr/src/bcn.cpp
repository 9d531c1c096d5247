// BC4 and BC5 (one and two channels, unsigned and signed) and BC7. Little-endian blocks.
#include "texture.h"

namespace qzipvr {
namespace {

// The 8 values of a BC4 block as 8-bit results. Interpolated values are n / d exactly and
// are rounded to nearest; signed values (-127..127 units, -128 read as -127) map -1..1 to
// 0..255 with halves rounded up.
void bc4_palette(const uint8_t* block, bool is_signed, int* out) {
  int e0 = block[0], e1 = block[1];
  int lo = 0, hi = 255;
  if (is_signed) {
    e0 = static_cast<int8_t>(block[0]);
    e1 = static_cast<int8_t>(block[1]);
    if (e0 == -128) e0 = -127;
    if (e1 == -128) e1 = -127;
    lo = -127;
    hi = 127;
  }
  int n[8], d[8];
  n[0] = e0;
  n[1] = e1;
  d[0] = d[1] = 1;
  if (e0 > e1) {
    for (int c = 2; c < 8; ++c) {
      n[c] = (8 - c) * e0 + (c - 1) * e1;
      d[c] = 7;
    }
  } else {
    for (int c = 2; c < 6; ++c) {
      n[c] = (6 - c) * e0 + (c - 1) * e1;
      d[c] = 5;
    }
    n[6] = lo;
    n[7] = hi;
    d[6] = d[7] = 1;
  }
  for (int c = 0; c < 8; ++c) {
    out[c] = is_signed ? (255 * (n[c] + 127 * d[c]) + 127 * d[c]) / (254 * d[c]) : (2 * n[c] + d[c]) / (2 * d[c]);
  }
}

void bc4_channel(const uint8_t* block, bool is_signed, uint8_t* rgba, int channel) {
  int palette[8];
  bc4_palette(block, is_signed, palette);
  uint64_t bits = 0;
  for (int k = 7; k >= 2; --k) bits = bits << 8 | block[k];
  for (int i = 0; i < 16; ++i) rgba[4 * i + channel] = static_cast<uint8_t>(palette[bits >> (3 * i) & 7]);
}

void finish(uint8_t* rgba, bool green) {
  for (int k = 0; k < 16; ++k) {
    if (!green) rgba[4 * k + 1] = 0;
    rgba[4 * k + 2] = 0;
    rgba[4 * k + 3] = 255;
  }
}

// Subset of each texel (2 bits, texel 0 lowest), two- and three-subset partitions.
const uint32_t kPartitions2[64] = {
    0x50505050, 0x40404040, 0x54545454, 0x54505040, 0x50404000, 0x55545450,
    0x55545040, 0x54504000, 0x50400000, 0x55555450, 0x55544000, 0x54400000,
    0x55555440, 0x55550000, 0x55555500, 0x55000000, 0x55150100, 0x00004054,
    0x15010000, 0x00405054, 0x00004050, 0x15050100, 0x05010000, 0x40505054,
    0x00404050, 0x05010100, 0x14141414, 0x05141450, 0x01155440, 0x00555500,
    0x15014054, 0x05414150, 0x44444444, 0x55005500, 0x11441144, 0x05055050,
    0x05500550, 0x11114444, 0x41144114, 0x44111144, 0x15055054, 0x01055040,
    0x05041050, 0x05455150, 0x14414114, 0x50050550, 0x41411414, 0x00141400,
    0x00041504, 0x00105410, 0x10541000, 0x04150400, 0x50410514, 0x41051450,
    0x05415014, 0x14054150, 0x41050514, 0x41505014, 0x40011554, 0x54150140,
    0x50505500, 0x00555050, 0x15151010, 0x54540404,
};
const uint32_t kPartitions3[64] = {
    0xAA685050, 0x6A5A5040, 0x5A5A4200, 0x5450A0A8, 0xA5A50000, 0xA0A05050,
    0x5555A0A0, 0x5A5A5050, 0xAA550000, 0xAA555500, 0xAAAA5500, 0x90909090,
    0x94949494, 0xA4A4A4A4, 0xA9A59450, 0x2A0A4250, 0xA5945040, 0x0A425054,
    0xA5A5A500, 0x55A0A0A0, 0xA8A85454, 0x6A6A4040, 0xA4A45000, 0x1A1A0500,
    0x0050A4A4, 0xAAA59090, 0x14696914, 0x69691400, 0xA08585A0, 0xAA821414,
    0x50A4A450, 0x6A5A0200, 0xA9A58000, 0x5090A0A8, 0xA8A09050, 0x24242424,
    0x00AA5500, 0x24924924, 0x24499224, 0x50A50A50, 0x500AA550, 0xAAAA4444,
    0x66660000, 0xA5A0A5A0, 0x50A050A0, 0x69286928, 0x44AAAA44, 0x66666600,
    0xAA444444, 0x54A854A8, 0x95809580, 0x96969600, 0xA85454A8, 0x80959580,
    0xAA141414, 0x96960000, 0xAAAA1414, 0xA05050A0, 0xA0A5A5A0, 0x96000000,
    0x40804080, 0xA9A8A9A8, 0xAAAAAA44, 0x2A4A5254,
};
const uint8_t kAnchor2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 2, 8, 2, 2, 8, 8, 15, 2, 8, 2, 2, 8, 8, 2, 2,
    15, 15, 6, 8, 2, 8, 15, 15, 2, 8, 2, 2, 2, 15, 15, 6,
    6, 2, 6, 8, 15, 15, 2, 2, 15, 15, 15, 15, 15, 2, 2, 15,
};
const uint8_t kAnchor3a[64] = {
    3, 3, 15, 15, 8, 3, 15, 15, 8, 8, 6, 6, 6, 5, 3, 3,
    3, 3, 8, 15, 3, 3, 6, 10, 5, 8, 8, 6, 8, 5, 15, 15,
    8, 15, 3, 5, 6, 10, 8, 15, 15, 3, 15, 5, 15, 15, 15, 15,
    3, 15, 5, 5, 5, 8, 5, 10, 5, 10, 8, 13, 15, 12, 3, 3,
};
const uint8_t kAnchor3b[64] = {
    15, 8, 8, 3, 15, 15, 3, 8, 15, 15, 15, 15, 15, 15, 15, 8,
    15, 8, 15, 3, 15, 8, 15, 8, 3, 15, 6, 10, 15, 15, 10, 8,
    15, 3, 15, 10, 10, 8, 9, 10, 6, 15, 8, 15, 3, 6, 6, 8,
    15, 3, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3, 15, 15, 8,
};

struct Bc7Mode {
  int subsets, partition_bits, rotation_bits, selection_bits, colour_bits, alpha_bits;
  int endpoint_pbits, shared_pbits, index_bits, index2_bits;
};

const Bc7Mode kModes[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0}, {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0}, {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0}};

const int kWeights2[4] = {0, 21, 43, 64};
const int kWeights3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
const int kWeights4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

const int* weights(int bits) { return bits == 2 ? kWeights2 : bits == 3 ? kWeights3 : kWeights4; }

struct BitReader {
  uint64_t lo, hi;
  int pos = 0;
  uint32_t get(int n) {
    if (n == 0) return 0;
    uint64_t v;
    if (pos >= 64) {
      v = hi >> (pos - 64);
    } else if (pos + n <= 64) {
      v = lo >> pos;
    } else {
      v = lo >> pos | hi << (64 - pos);
    }
    pos += n;
    return static_cast<uint32_t>(v & ((uint64_t{1} << n) - 1));
  }
};

}  // namespace

void bc4(const uint8_t* block, uint8_t* rgba) {
  bc4_channel(block, false, rgba, 0);
  finish(rgba, false);
}

void bc5(const uint8_t* block, uint8_t* rgba) {
  bc4_channel(block, false, rgba, 0);
  bc4_channel(block + 8, false, rgba, 1);
  finish(rgba, true);
}

void bc4_signed(const uint8_t* block, uint8_t* rgba) {
  bc4_channel(block, true, rgba, 0);
  finish(rgba, false);
}

void bc5_signed(const uint8_t* block, uint8_t* rgba) {
  bc4_channel(block, true, rgba, 0);
  bc4_channel(block + 8, true, rgba, 1);
  finish(rgba, true);
}

void bc7(const uint8_t* block, uint8_t* rgba) {
  BitReader r{0, 0};
  for (int k = 7; k >= 0; --k) {
    r.lo = r.lo << 8 | block[k];
    r.hi = r.hi << 8 | block[8 + k];
  }
  int mode = 0;
  while (mode < 8 && !(block[0] >> mode & 1)) ++mode;
  if (mode == 8) {  // reserved: no colour at all
    for (int k = 0; k < 64; ++k) rgba[k] = 0;
    return;
  }
  const Bc7Mode& m = kModes[mode];
  r.pos = mode + 1;
  const int partition = static_cast<int>(r.get(m.partition_bits));
  const int rotation = static_cast<int>(r.get(m.rotation_bits));
  const int selection = static_cast<int>(r.get(m.selection_bits));

  // Endpoints [subset][end][channel]: colour channels by end, then subset; alpha likewise.
  int e[3][2][4];
  for (int ch = 0; ch < 3; ++ch) {
    for (int s = 0; s < m.subsets; ++s) {
      for (int k = 0; k < 2; ++k) e[s][k][ch] = static_cast<int>(r.get(m.colour_bits));
    }
  }
  for (int s = 0; s < m.subsets; ++s) {
    for (int k = 0; k < 2; ++k) e[s][k][3] = static_cast<int>(r.get(m.alpha_bits));
  }
  int pbit[3][2] = {};
  if (m.endpoint_pbits) {
    for (int s = 0; s < m.subsets; ++s) {
      for (int k = 0; k < 2; ++k) pbit[s][k] = static_cast<int>(r.get(1));
    }
  } else if (m.shared_pbits) {
    for (int s = 0; s < m.subsets; ++s) pbit[s][0] = pbit[s][1] = static_cast<int>(r.get(1));
  }
  const bool has_pbit = m.endpoint_pbits || m.shared_pbits;
  for (int s = 0; s < m.subsets; ++s) {
    for (int k = 0; k < 2; ++k) {
      for (int ch = 0; ch < 4; ++ch) {
        int bits = ch < 3 ? m.colour_bits : m.alpha_bits;
        if (bits == 0) {
          e[s][k][ch] = 255;
          continue;
        }
        int v = e[s][k][ch];
        if (has_pbit) {
          v = v << 1 | pbit[s][k];
          ++bits;
        }
        // The top bits repeated into the free low bits.
        v <<= 8 - bits;
        e[s][k][ch] = v | v >> bits;
      }
    }
  }

  const uint32_t map = m.subsets == 2 ? kPartitions2[partition] : m.subsets == 3 ? kPartitions3[partition] : 0;
  int subset[16];
  bool anchor[16] = {};
  for (int i = 0; i < 16; ++i) subset[i] = static_cast<int>(map >> (2 * i) & 3);
  anchor[0] = true;
  if (m.subsets == 2) anchor[kAnchor2[partition]] = true;
  if (m.subsets == 3) {
    anchor[kAnchor3a[partition]] = true;
    anchor[kAnchor3b[partition]] = true;
  }
  int index[16], index2[16] = {};
  for (int i = 0; i < 16; ++i) index[i] = static_cast<int>(r.get(m.index_bits - (anchor[i] ? 1 : 0)));
  if (m.index2_bits) {
    for (int i = 0; i < 16; ++i) index2[i] = static_cast<int>(r.get(m.index2_bits - (i == 0 ? 1 : 0)));
  }

  for (int i = 0; i < 16; ++i) {
    const int (*ends)[4] = e[subset[i]];
    int wc = weights(m.index_bits)[index[i]], wa = wc;
    if (m.index2_bits) {
      const int w2 = weights(m.index2_bits)[index2[i]];
      if (selection) {
        wc = w2;
      } else {
        wa = w2;
      }
    }
    int out[4];
    for (int ch = 0; ch < 4; ++ch) {
      const int w = ch < 3 ? wc : wa;
      out[ch] = (ends[0][ch] * (64 - w) + ends[1][ch] * w + 32) >> 6;
    }
    if (rotation) {
      const int t = out[3];
      out[3] = out[rotation - 1];
      out[rotation - 1] = t;
    }
    for (int ch = 0; ch < 4; ++ch) rgba[4 * i + ch] = static_cast<uint8_t>(out[ch]);
  }
}

}  // namespace qzipvr
