// The PNG writer of qzidecode: 8-bit RGBA, rows top-down, at a chosen compression level.
#ifndef QZI_PNG_WRITER_H
#define QZI_PNG_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qzi_png {

// Levels 0 to 9. 0 to 3 favour speed: the rows go unfiltered to two compressors at that level,
// zlib for the top rows on a second thread and libdeflate for the rest. 4 to 9 favour size: each
// row gets the filter libpng finds best for it, and zlib that level (6 writes what libpng writes
// by default).
constexpr int kMinLevel = 0;
constexpr int kMaxLevel = 9;
constexpr int kDefaultLevel = 1;
constexpr int kLastFastLevel = 3;

// Fills `rgba` (width * 4 bytes) with picture row y, counted from the top. Called for every row
// once, in no set order, and from two threads at once (for different rows).
using RowFunction = void (*)(const void* user, int y, uint8_t* rgba);

// Writes the PNG to `out` (not flushed). Returns 0, or an errno value when the file could not be
// written or memory ran out. `zlib_rows` (0: chosen from the size) sets how many of the top rows
// the fast levels give to zlib.
int write_rgba(FILE* out, int width, int height, int level, RowFunction row, const void* user,
               size_t zlib_rows = 0);

}  // namespace qzi_png

#endif  // QZI_PNG_WRITER_H
