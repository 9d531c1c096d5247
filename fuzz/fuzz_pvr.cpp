// Fuzz target straight on the texture library: arbitrary bytes as a whole file through
// qzipvr03, qzipvr04 and qzipvr05, with the library's promises checked on the way: accepted
// headers report sizes and format numbers in range, the decoded size is width x height x 4,
// an output one byte short is refused, and the decode writes nothing past its picture.
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
const uint8_t kGuard = 0xA5;

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
  check(format >= 0 && format < QZIPVR_FORMAT_COUNT);
  const size_t bytes = qzipvr04(width, height, format);
  check(bytes == static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  if (bytes > kMaxOutput) return 0;

  std::vector<uint8_t> out(bytes + 16, kGuard);
  check(qzipvr05(file.data(), file.size(), out.data(), bytes - 1) != QZIPVR_OK);
  const int result = qzipvr05(file.data(), file.size(), out.data(), bytes);
  check(result >= QZIPVR_OK && result <= QZIPVR_ERR_MEMORY);
  for (size_t k = bytes; k < out.size(); ++k) check(out[k] == kGuard);
  return 0;
}
