#include "png_writer.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace qzi_png {
namespace {

constexpr size_t kWindow = 32768;           // zlib's window: what a band may refer back to
constexpr size_t kBandBytes = 4u << 20;     // raw bytes per band at the fast levels
constexpr size_t kChunkBytes = 256u << 10;  // IDAT chunk size

void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// PNG chunks straight to the file; the IDAT data is gathered into chunks of kChunkBytes.
class ChunkWriter {
 public:
  explicit ChunkWriter(FILE* out) : out_(out) { pending_.reserve(kChunkBytes); }
  bool chunk(const char* type, const uint8_t* data, size_t size) {
    uint8_t head[8];
    put32(head, static_cast<uint32_t>(size));
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    if (size) crc = crc32(crc, data, static_cast<uInt>(size));
    uint8_t tail[4];
    put32(tail, static_cast<uint32_t>(crc));
    return std::fwrite(head, 1, 8, out_) == 8 && (size == 0 || std::fwrite(data, 1, size, out_) == size) &&
           std::fwrite(tail, 1, 4, out_) == 4;
  }
  bool idat(const uint8_t* data, size_t size) {
    while (size) {
      const size_t n = std::min(size, kChunkBytes - pending_.size());
      pending_.insert(pending_.end(), data, data + n);
      data += n;
      size -= n;
      if (pending_.size() == kChunkBytes && !flush()) return false;
    }
    return true;
  }
  bool flush() {
    if (pending_.empty()) return true;
    const bool ok = chunk("IDAT", pending_.data(), pending_.size());
    pending_.clear();
    return ok;
  }

 private:
  FILE* out_;
  std::vector<uint8_t> pending_;
};

// One band of rows as raw deflate data that continues the stream of the bands before it: the
// window is primed with the unfiltered rows just above the band, and the data ends on a byte
// boundary (a sync flush) unless it is the last band. A band slot keeps its zlib state and
// buffers from one band to the next, so that memory is taken (and paged in) once.
struct Band {
  int first = 0, end = 0;
  bool last = false;
  std::unique_ptr<uint8_t[]> data;  // not cleared: zlib writes the first `size` bytes
  size_t capacity = 0, size = 0;
  uLong adler = 1;
  size_t raw = 0;
  int error = 0;

  z_stream z{};
  bool z_ready = false;
  std::vector<uint8_t> line, dict;

  Band() = default;
  Band(const Band&) = delete;
  Band& operator=(const Band&) = delete;
  ~Band() {
    if (z_ready) deflateEnd(&z);
  }
};

void compress_band_or_fail(Band* band, int width, int level, RowFunction row, const void* user) {
  const size_t stride = 1 + static_cast<size_t>(width) * 4;
  band->adler = 1;
  band->raw = stride * static_cast<size_t>(band->end - band->first);
  band->error = 0;
  z_stream& z = band->z;
  if (!band->z_ready) {
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      band->error = ENOMEM;
      return;
    }
    band->z_ready = true;
  } else {
    deflateReset(&z);
  }
  band->line.assign(stride, 0);  // filter byte 0 (none), then the row
  uint8_t* line = band->line.data();
  if (band->first > 0) {
    const int above = static_cast<int>(std::min<size_t>(band->first, (kWindow + stride - 1) / stride));
    band->dict.assign(static_cast<size_t>(above) * stride, 0);
    for (int i = 0; i < above; ++i) row(user, band->first - above + i, &band->dict[static_cast<size_t>(i) * stride + 1]);
    const size_t keep = std::min(band->dict.size(), kWindow);
    deflateSetDictionary(&z, band->dict.data() + band->dict.size() - keep, static_cast<uInt>(keep));
  }
  // Room for the whole band however badly it compresses, and the sync flush's few bytes.
  const size_t room = deflateBound(&z, static_cast<uLong>(band->raw)) + stride + 64;
  if (band->capacity < room) {
    band->data.reset(new uint8_t[room]);
    band->capacity = room;
  }
  z.next_out = band->data.get();
  z.avail_out = static_cast<uInt>(band->capacity);
  int rc = Z_OK;
  for (int y = band->first; y < band->end && rc == Z_OK; ++y) {
    row(user, y, line + 1);
    band->adler = adler32(band->adler, line, static_cast<uInt>(stride));
    z.next_in = line;
    z.avail_in = static_cast<uInt>(stride);
    rc = deflate(&z, Z_NO_FLUSH);
    if (z.avail_in != 0) rc = Z_BUF_ERROR;
  }
  if (rc == Z_OK) rc = deflate(&z, band->last ? Z_FINISH : Z_SYNC_FLUSH);
  if (rc != (band->last ? Z_STREAM_END : Z_OK) || z.avail_in != 0) band->error = EIO;
  band->size = z.total_out;
}

// Runs on the helper thread too, where an exception would end the program.
void compress_band(Band* band, int width, int level, RowFunction row, const void* user) {
  try {
    compress_band_or_fail(band, width, level, row, user);
  } catch (const std::bad_alloc&) {
    band->error = ENOMEM;
  }
}

bool write_header(ChunkWriter& chunks, FILE* out, int width, int height) {
  static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  uint8_t ihdr[13] = {};
  put32(ihdr, static_cast<uint32_t>(width));
  put32(ihdr + 4, static_cast<uint32_t>(height));
  ihdr[8] = 8;  // bits per channel
  ihdr[9] = 6;  // RGBA
  return std::fwrite(signature, 1, 8, out) == 8 && chunks.chunk("IHDR", ihdr, sizeof ihdr);
}

// Levels 0 to 3: bands compressed two at a time, the second on a thread of its own, and
// written in order as one zlib stream.
int write_fast(FILE* out, int width, int height, int level, RowFunction row, const void* user, size_t band_rows) {
  const size_t stride = 1 + static_cast<size_t>(width) * 4;
  if (band_rows == 0) band_rows = std::max<size_t>(1, kBandBytes / stride);
  ChunkWriter chunks(out);
  if (!write_header(chunks, out, width, height)) return errno ? errno : EIO;
  // zlib header: 32 KiB window, the level class in FLEVEL, check bits making it a multiple of 31.
  const unsigned flevel = level < 2 ? 0 : level < 6 ? 1 : 2;
  const unsigned cmf = 0x78, flg = flevel << 6;
  const uint8_t zhead[2] = {static_cast<uint8_t>(cmf), static_cast<uint8_t>(flg + 31 - (cmf * 256 + flg) % 31)};
  if (!chunks.idat(zhead, 2)) return errno ? errno : EIO;

  uLong adler = 1;
  int first = 0;
  Band bands[2];
  while (first < height) {
    int count = 0;
    for (Band& b : bands) {
      if (first >= height) break;
      b.first = first;
      b.end = static_cast<int>(std::min<size_t>(height, first + band_rows));
      b.last = b.end == height;
      first = b.end;
      ++count;
    }
    std::thread helper;
    if (count == 2) {
      try {
        helper = std::thread(compress_band, &bands[1], width, level, row, user);
      } catch (const std::exception&) {
        compress_band(&bands[1], width, level, row, user);  // no thread to be had: in turn
      }
    }
    compress_band(&bands[0], width, level, row, user);
    if (helper.joinable()) helper.join();
    for (int i = 0; i < count; ++i) {
      if (bands[i].error) return bands[i].error;
      if (!chunks.idat(bands[i].data.get(), bands[i].size)) return errno ? errno : EIO;
      adler = adler32_combine(adler, bands[i].adler, static_cast<z_off_t>(bands[i].raw));
    }
  }
  uint8_t tail[4];
  put32(tail, static_cast<uint32_t>(adler));
  if (!chunks.idat(tail, 4) || !chunks.flush() || !chunks.chunk("IEND", nullptr, 0)) return errno ? errno : EIO;
  return 0;
}

// Levels 4 to 9: libpng, which picks a filter for every row. Kept free of C++ objects with
// destructors, since libpng leaves through longjmp.
int write_small(FILE* out, int width, int height, int level, RowFunction row, const void* user, uint8_t* line) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return errno ? errno : EIO;
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, level);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    row(user, y, line);
    png_write_row(png, line);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return 0;
}

}  // namespace

int write_rgba(FILE* out, int width, int height, int level, RowFunction row, const void* user, size_t band_rows) {
  errno = 0;
  level = std::clamp(level, kMinLevel, kMaxLevel);
  try {
    if (level <= kLastFastLevel) return write_fast(out, width, height, level, row, user, band_rows);
    std::vector<uint8_t> line(static_cast<size_t>(width) * 4);
    return write_small(out, width, height, level, row, user, line.data());
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

}  // namespace qzi_png
