// Fuzz target straight on the texture library: arbitrary bytes as a whole file through
// qzipvr03, qzipvr04, qzipvr05, qzipvr06 and qzipvr07, with the library's promises checked on
// the way: accepted headers report sizes and format numbers in range and have a name, the
// decoded size is width x height x 4, an output one byte short is refused, the decode writes
// nothing past its picture, and the row decode gives the same pixels and alpha.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qzipvr.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

const size_t kMaxOutput = size_t{1} << 26;  // keeps single runs within the fuzzer's memory
const size_t kMaxCompared = size_t{1} << 22;  // the row decode is compared on pictures up to 1M pixels
const uint8_t kGuard = 0xA5;

// Rows of 3-byte pixels and alpha planes, each an exactly sized block so that any write
// past a row is a heap overflow.
struct Planes {
  int width;
  std::vector<std::vector<uint8_t>> bgr, alpha;
};

unsigned char* plane_row(void* user, int y, unsigned char** alpha) {
  Planes* p = static_cast<Planes*>(user);
  check(y >= 0 && static_cast<size_t>(y) < p->bgr.size());
  *alpha = p->alpha[static_cast<size_t>(y)].data();
  return p->bgr[static_cast<size_t>(y)].data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exactly sized copy, so that any read past the input is a heap overflow.
  std::vector<uint8_t> file(data, data + size);
  const int head = static_cast<int>(size < QZIPVR_HEADER_SIZE ? size : QZIPVR_HEADER_SIZE);
  int width = 0, height = 0, format = -1;
  if (qzipvr03(file.data(), head, &width, &height, &format) != QZIPVR_OK) {
    check(qzipvr05(file.data(), file.size(), nullptr, 0) != QZIPVR_OK);
    return 0;
  }
  check(width >= 1 && width <= QZIPVR_MAX_SIDE && height >= 1 && height <= QZIPVR_MAX_SIDE);
  char name[64];
  check(qzipvr07(file.data(), head, name, sizeof name) == QZIPVR_OK && std::strlen(name) > 4);
  check(format >= 0 && format < QZIPVR_FORMAT_COUNT);
  const size_t bytes = qzipvr04(width, height, format);
  check(bytes == static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  if (bytes > kMaxOutput) return 0;

  std::vector<uint8_t> out(bytes + 16, kGuard);
  check(qzipvr05(file.data(), file.size(), out.data(), bytes - 1) != QZIPVR_OK);
  const int result = qzipvr05(file.data(), file.size(), out.data(), bytes);
  check(result >= QZIPVR_OK && result <= QZIPVR_ERR_MEMORY);
  for (size_t k = bytes; k < out.size(); ++k) check(out[k] == kGuard);
  if (result != QZIPVR_OK || bytes > kMaxCompared) return 0;

  Planes planes{width, std::vector<std::vector<uint8_t>>(static_cast<size_t>(height), std::vector<uint8_t>(static_cast<size_t>(width) * 3)),
                std::vector<std::vector<uint8_t>>(static_cast<size_t>(height), std::vector<uint8_t>(static_cast<size_t>(width)))};
  const QZIPVR_ROWS rows{&planes, plane_row};
  check(qzipvr06(file.data(), file.size(), &rows) == QZIPVR_OK);
  const uint8_t* p = out.data();
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    const uint8_t* bgr = planes.bgr[y].data();
    const uint8_t* alpha = planes.alpha[y].data();
    bool same = true;
    for (size_t x = 0; x < static_cast<size_t>(width); ++x, p += 4, bgr += 3) {
      same &= p[0] == bgr[0] && p[1] == bgr[1] && p[2] == bgr[2] && p[3] == alpha[x];
    }
    check(same);
  }
  return 0;
}
