// Uncompressed layouts of the other containers: channels of any width at any bit position of
// pixels of up to 16 bytes, unsigned and signed normalised, half and single floats, the packed
// 11- and 10-bit floats, the shared-exponent form and 8-bit palette indices. Floats become 8
// bits by clamping or by the tone map, signed values by mapping -1..1 to 0..255; the float
// picture keeps them as they are.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "container.h"

namespace qzipvr {

float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
  const uint32_t exponent = h >> 10 & 31, mantissa = h & 1023;
  uint32_t bits;
  if (exponent == 0) {
    if (mantissa == 0) {
      bits = sign;
    } else {  // subnormal: normalised for single precision
      int e = -1;
      uint32_t m = mantissa;
      while (!(m & 1024)) {
        m <<= 1;
        ++e;
      }
      bits = sign | static_cast<uint32_t>(127 - 15 - e) << 23 | (m & 1023) << 13;
    }
  } else if (exponent == 31) {
    bits = sign | 0x7F800000u | mantissa << 13;
  } else {
    bits = sign | (exponent + 112) << 23 | mantissa << 13;
  }
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

uint8_t alpha_to_8(double v) {
  if (!(v > 0)) return 0;  // NaN too
  if (v >= 1) return 255;
  return static_cast<uint8_t>(std::floor(v * 255 + 0.5));
}

uint8_t float_to_8(double v, const Tone& tone) {
  if (tone.reinhard && v > 0) {
    const double x = v * tone.exposure;
    v = std::isinf(x) ? 1 : x / (1 + x);
  }
  return alpha_to_8(v);
}

namespace {

// Bits [shift, shift + bits) of a little-endian pixel.
uint32_t field(const uint8_t* p, int shift, int bits) {
  uint64_t v = 0;
  const int first = shift / 8, last = (shift + bits - 1) / 8;
  for (int k = last; k >= first; --k) v = v << 8 | p[k];
  v >>= shift % 8;
  return static_cast<uint32_t>(bits >= 32 ? v : v & ((uint64_t{1} << bits) - 1));
}

// An n-bit unsigned normalised value in 8 bits: bits repeated up to 8, rounded above 8.
uint8_t unorm_to_8(uint32_t v, int bits) {
  if (bits >= 8) {
    const uint64_t max = (uint64_t{1} << bits) - 1;
    return static_cast<uint8_t>((v * uint64_t{255} + max / 2) / max);
  }
  uint32_t r = 0;
  int have = 0;
  while (have < 8) {
    r = r << bits | v;
    have += bits;
  }
  return static_cast<uint8_t>(r >> (have - 8));
}

// A signed normalised n-bit value, -(2^(n-1) - 1) .. 2^(n-1) - 1 (the lowest code reads as the
// one above it).
int64_t snorm_units(uint32_t raw, int bits, int64_t* max) {
  *max = (int64_t{1} << (bits - 1)) - 1;
  int64_t v = static_cast<int64_t>(raw);
  if (v > *max) v -= int64_t{1} << bits;
  return v < -*max ? -*max : v;
}

// -1..1 to 0..255, halves rounded up.
uint8_t snorm_to_8(uint32_t raw, int bits) {
  int64_t max = 0;
  const int64_t v = snorm_units(raw, bits, &max);
  return static_cast<uint8_t>(((v + max) * 255 + max) / (2 * max));
}

double channel_value(const uint8_t* p, const WideChannel& c, bool* is_float) {
  const uint32_t raw = field(p, c.shift, c.bits);
  *is_float = c.kind != kUnorm && c.kind != kSnorm;
  switch (c.kind) {
    case kHalf: return half_to_float(static_cast<uint16_t>(raw));
    case kFloat: {
      float f;
      std::memcpy(&f, &raw, 4);
      return f;
    }
    case kUfloat11: return half_to_float(static_cast<uint16_t>(raw << 4));
    case kUfloat10: return half_to_float(static_cast<uint16_t>(raw << 5));
    default: return 0;
  }
}

}  // namespace

void decode_wide(const uint8_t* data, const uint8_t* palette, const Texture& t, const Tone& tone, Sink& out) {
  const WideLayout& l = t.wide;
  const size_t bpp = static_cast<size_t>(l.bytes_per_pixel);
  size_t row_bytes = static_cast<size_t>(out.width) * bpp;
  if (t.row_stride > 1) row_bytes = (row_bytes + t.row_stride - 1) / t.row_stride * t.row_stride;
  std::vector<uint8_t> rgba(static_cast<size_t>(out.width) * 4);
  uint8_t pixel[16];
  for (int y = 0; y < out.height; ++y) {
    const uint8_t* src = data + static_cast<size_t>(y) * row_bytes;
    for (int x = 0; x < out.width; ++x, src += bpp) {
      std::memcpy(pixel, src, bpp);
      if (l.swap > 1) {
        for (size_t k = 0; k + l.swap <= bpp; k += l.swap) std::reverse(pixel + k, pixel + k + l.swap);
      }
      uint8_t* d = &rgba[static_cast<size_t>(x) * 4];
      // Missing colour channels are 0, missing alpha opaque.
      d[0] = d[1] = d[2] = 0;
      d[3] = 255;
      if (l.palette) {
        std::memcpy(d, palette + 4 * pixel[0], 4);
        continue;
      }
      if (l.rgb9e5) {
        const uint32_t w = field(pixel, 0, 32);
        const double scale = std::ldexp(1.0, static_cast<int>(w >> 27) - 24);
        for (int c = 0; c < 3; ++c) d[c] = float_to_8((w >> (9 * c) & 511) * scale, tone);
        continue;
      }
      for (int k = 0; k < l.count; ++k) {
        const WideChannel& c = l.channels[k];
        bool is_float = false;
        const double v = channel_value(pixel, c, &is_float);
        uint8_t b8;
        if (c.kind == kSnorm) {
          b8 = snorm_to_8(field(pixel, c.shift, c.bits), c.bits);
        } else if (c.name == 'a') {
          b8 = is_float ? alpha_to_8(v) : unorm_to_8(field(pixel, c.shift, c.bits), c.bits);
        } else {
          b8 = is_float ? float_to_8(v, tone) : unorm_to_8(field(pixel, c.shift, c.bits), c.bits);
        }
        switch (c.name) {
          case 'r': d[0] = b8; break;
          case 'g': d[1] = b8; break;
          case 'b': d[2] = b8; break;
          case 'a': d[3] = b8; break;
          case 'l': d[0] = d[1] = d[2] = b8; break;
          default: break;
        }
      }
    }
    uint8_t* alpha = nullptr;
    uint8_t* row = out.row(y, &alpha);
    if (out.failed) return;
    put_texels(rgba.data(), 16, out.width, row, alpha, out.pixel);
  }
}

void decode_wide_floats(const uint8_t* data, const Texture& t, FloatSink& out) {
  const WideLayout& l = t.wide;
  const size_t bpp = static_cast<size_t>(l.bytes_per_pixel);
  size_t row_bytes = static_cast<size_t>(out.width) * bpp;
  if (t.row_stride > 1) row_bytes = (row_bytes + t.row_stride - 1) / t.row_stride * t.row_stride;
  uint8_t pixel[16];
  for (int y = 0; y < out.height; ++y) {
    float* d = out.row(y);
    if (out.failed) return;
    const uint8_t* src = data + static_cast<size_t>(y) * row_bytes;
    for (int x = 0; x < out.width; ++x, src += bpp, d += 4) {
      std::memcpy(pixel, src, bpp);
      if (l.swap > 1) {
        for (size_t k = 0; k + l.swap <= bpp; k += l.swap) std::reverse(pixel + k, pixel + k + l.swap);
      }
      // Missing colour channels are 0, missing alpha 1.
      d[0] = d[1] = d[2] = 0.0f;
      d[3] = 1.0f;
      if (l.rgb9e5) {
        const uint32_t w = field(pixel, 0, 32);
        const double scale = std::ldexp(1.0, static_cast<int>(w >> 27) - 24);
        for (int c = 0; c < 3; ++c) d[c] = static_cast<float>((w >> (9 * c) & 511) * scale);
        continue;
      }
      for (int k = 0; k < l.count; ++k) {
        const WideChannel& c = l.channels[k];
        const uint32_t raw = field(pixel, c.shift, c.bits);
        float v;
        if (c.kind == kUnorm) {
          v = static_cast<float>(raw / static_cast<double>((uint64_t{1} << c.bits) - 1));
        } else if (c.kind == kSnorm) {
          int64_t max = 0;
          const int64_t units = snorm_units(raw, c.bits, &max);
          v = static_cast<float>(static_cast<double>(units) / static_cast<double>(max));
        } else {
          bool is_float = false;
          v = static_cast<float>(channel_value(pixel, c, &is_float));
        }
        switch (c.name) {
          case 'r': d[0] = v; break;
          case 'g': d[1] = v; break;
          case 'b': d[2] = v; break;
          case 'a': d[3] = v; break;
          case 'l': d[0] = d[1] = d[2] = v; break;
          default: break;
        }
      }
    }
  }
}

}  // namespace qzipvr
