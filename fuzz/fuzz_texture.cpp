// Fuzz target on the texture library's container calls: arbitrary bytes as a whole file
// through qzipvr08 (whole, and from its first bytes as a caller reading ahead would) and
// qzipvr09, with their promises checked: the first bytes either suffice, ask for more bytes
// that the file has, or give the same answer; an accepted file reports sizes, counts and a
// description in range and the same answer either way; the decode writes only inside the
// rows it is given, in 8 bits (qzipvr09) and as floats (qzipvr10, with the same result), and a
// second image and the tone map behave the same.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qzipvr.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

const size_t kMaxPixels = size_t{1} << 20;  // keeps single runs within the fuzzer's memory

// Exactly sized rows, so that any write past one is a heap overflow.
struct Planes {
  std::vector<std::vector<uint8_t>> bgr, alpha;
};

unsigned char* plane_row(void* user, int y, unsigned char** alpha) {
  Planes* p = static_cast<Planes*>(user);
  check(y >= 0 && static_cast<size_t>(y) < p->bgr.size());
  *alpha = p->alpha[static_cast<size_t>(y)].data();
  return p->bgr[static_cast<size_t>(y)].data();
}

struct FloatPlanes {
  std::vector<std::vector<float>> rows;
};

float* float_plane_row(void* user, int y) {
  FloatPlanes* p = static_cast<FloatPlanes*>(user);
  check(y >= 0 && static_cast<size_t>(y) < p->rows.size());
  return p->rows[static_cast<size_t>(y)].data();
}

void decode(const std::vector<uint8_t>& file, const QZIPVR_CHOICE* choice) {
  QZIPVR_INFO info;
  const int rc = qzipvr08(file.data(), file.size(), file.size(), choice, &info);
  check(rc != QZIPVR_ERR_SHORT && rc >= QZIPVR_OK && rc <= QZIPVR_ERR_CHOICE);
  if (rc != QZIPVR_OK) {
    check(info.reason[0] != 0);
    return;
  }
  check(info.width >= 1 && info.height >= 1 && info.width <= QZIPVR_MAX_SIDE && info.height <= QZIPVR_MAX_SIDE);
  check(info.levels >= 1 && info.faces >= 1 && info.layers >= 1 && info.depth >= 1);
  check(info.format >= 0 && info.format < QZIPVR_FORMAT_COUNT && std::strlen(info.description) > 3);
  if (static_cast<size_t>(info.width) * static_cast<size_t>(info.height) > kMaxPixels) return;
  Planes planes{std::vector<std::vector<uint8_t>>(static_cast<size_t>(info.height), std::vector<uint8_t>(static_cast<size_t>(info.width) * 3)),
                std::vector<std::vector<uint8_t>>(static_cast<size_t>(info.height), std::vector<uint8_t>(static_cast<size_t>(info.width)))};
  const QZIPVR_ROWS rows{&planes, plane_row};
  const int result = qzipvr09(file.data(), file.size(), choice, &rows);
  check(result == QZIPVR_OK || result == QZIPVR_ERR_DATA || result == QZIPVR_ERR_MEMORY);
  FloatPlanes floats{std::vector<std::vector<float>>(static_cast<size_t>(info.height),
                                                     std::vector<float>(static_cast<size_t>(info.width) * 4))};
  const QZIPVR_FLOAT_ROWS float_rows{&floats, float_plane_row};
  const int float_result = qzipvr10(file.data(), file.size(), choice, &float_rows);
  check(float_result == result || float_result == QZIPVR_ERR_MEMORY || result == QZIPVR_ERR_MEMORY);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that any read past the input is a heap overflow.
  std::vector<uint8_t> file(data, data + size);
  QZIPVR_INFO whole, first;
  const int rc = qzipvr08(file.data(), file.size(), file.size(), nullptr, &whole);
  const size_t n = size < QZIPVR_HEAD_SIZE ? size : QZIPVR_HEAD_SIZE;
  std::vector<uint8_t> head(data, data + n);
  const int rh = qzipvr08(head.data(), head.size(), size, nullptr, &first);
  if (rh == QZIPVR_ERR_SHORT) {
    check(first.head_needed > n && first.head_needed <= size);
  } else if (rh != QZIPVR_OK) {
    check(rh == rc);
  } else {
    // The whole file may still refuse what lies beyond the first bytes (a level's stored size).
    check(rc == QZIPVR_OK || rc == QZIPVR_ERR_DATA);
    if (rc == QZIPVR_OK) {
      check(whole.width == first.width && whole.height == first.height && whole.format == first.format);
      check(whole.levels == first.levels && whole.faces == first.faces && whole.layers == first.layers);
    }
  }
  decode(file, nullptr);
  if (rc == QZIPVR_OK) {
    QZIPVR_CHOICE other{};
    other.level = whole.levels - 1;
    other.face = whole.faces - 1;
    other.layer = whole.layers - 1;
    other.tone_map = 1;
    other.exposure = 4;
    decode(file, &other);
  }
  return 0;
}
