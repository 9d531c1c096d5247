#include "png_writer.h"

#include <libdeflate.h>
#include <png.h>
#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace qzi_png {
namespace {

constexpr size_t kChunkBytes = 256u << 10;  // IDAT chunk size
// Below this many raw bytes a second thread costs more than it saves.
constexpr size_t kThreadBytes = 1u << 20;
// The whole-buffer compressor needs its rows in memory at once: at most this many raw bytes.
constexpr size_t kWholeBytes = 64u << 20;

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
    if (size) crc = crc32_z(crc, data, size);
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

// Rows [first, end) as raw deflate data. All but the last part of the picture end on a byte
// boundary without the final-block mark, so that the next part's data simply follows.
struct Part {
  int first = 0, end = 0;
  bool last = false;
  std::unique_ptr<uint8_t[]> data;  // not cleared: the compressor writes the first `size` bytes
  size_t size = 0;
  uLong adler = 1;  // of the raw rows, filter bytes included
  size_t raw = 0;
  int error = 0;
};

// zlib, streaming row by row (any number of rows, little memory); ends with a sync flush unless
// it is the last part.
void compress_streaming(Part* part, int width, int level, RowFunction row, const void* user) {
  const size_t stride = 1 + static_cast<size_t>(width) * 4;
  part->raw = stride * static_cast<size_t>(part->end - part->first);
  std::vector<uint8_t> line(stride, 0);  // filter byte 0 (none), then the row
  // Room for all of it however badly it compresses (zlib's bound for any settings), and the sync
  // flush's few bytes; pages that are not written are never touched.
  const size_t room = deflateBound(nullptr, static_cast<uLong>(part->raw)) + stride + 64;
  part->data.reset(new uint8_t[room]);
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    part->error = ENOMEM;
    return;
  }
  z.next_out = part->data.get();
  z.avail_out = static_cast<uInt>(std::min<size_t>(room, UINT32_MAX));
  int rc = Z_OK;
  for (int y = part->first; y < part->end && rc == Z_OK; ++y) {
    row(user, y, line.data() + 1);
    part->adler = libdeflate_adler32(static_cast<uint32_t>(part->adler), line.data(), stride);
    z.next_in = line.data();
    z.avail_in = static_cast<uInt>(stride);
    rc = deflate(&z, Z_NO_FLUSH);
    if (z.avail_in != 0) rc = Z_BUF_ERROR;
  }
  if (rc == Z_OK) rc = deflate(&z, part->last ? Z_FINISH : Z_SYNC_FLUSH);
  if (rc != (part->last ? Z_STREAM_END : Z_OK) || z.avail_in != 0) part->error = EIO;
  part->size = z.total_out;
  deflateEnd(&z);
}

// The whole-buffer compressor: faster than zlib for the same size, but it only writes complete
// streams, so it takes the last part of the picture, all its rows in memory at once.
void compress_whole(Part* part, int width, int level, RowFunction row, const void* user) {
  const size_t stride = 1 + static_cast<size_t>(width) * 4;
  part->raw = stride * static_cast<size_t>(part->end - part->first);
  // In 2 MiB pages where the system allows: a few faults instead of one for every 4 KiB.
  const size_t huge = 2u << 20, rounded = (part->raw + huge - 1) / huge * huge;
  std::unique_ptr<uint8_t, void (*)(void*)> rows(static_cast<uint8_t*>(std::aligned_alloc(huge, rounded)), std::free);
  if (!rows) throw std::bad_alloc();
  madvise(rows.get(), rounded, MADV_HUGEPAGE);
  for (int y = part->first; y < part->end; ++y) {
    uint8_t* line = rows.get() + stride * static_cast<size_t>(y - part->first);
    line[0] = 0;
    row(user, y, line + 1);
  }
  part->adler = libdeflate_adler32(1, rows.get(), part->raw);
  libdeflate_compressor* c = libdeflate_alloc_compressor(level);
  if (!c) {
    part->error = ENOMEM;
    return;
  }
  const size_t room = libdeflate_deflate_compress_bound(c, part->raw);
  part->data.reset(new (std::nothrow) uint8_t[room]);
  part->size = part->data ? libdeflate_deflate_compress(c, rows.get(), part->raw, part->data.get(), room) : 0;
  libdeflate_free_compressor(c);
  if (!part->data) part->error = ENOMEM;
  else if (part->size == 0) part->error = EIO;
}

// Runs on the helper thread too, where an exception would end the program.
void compress_part(Part* part, bool whole, int width, int level, RowFunction row, const void* user) {
  try {
    if (whole) {
      compress_whole(part, width, level, row, user);
    } else {
      compress_streaming(part, width, level, row, user);
    }
  } catch (const std::bad_alloc&) {
    part->error = ENOMEM;
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

// Levels 0 to 3: the top rows go through zlib on a thread of their own while this one gives
// the rest to the whole-buffer compressor; the two parts are written in order as one zlib
// stream.
int write_fast(FILE* out, int width, int height, int level, RowFunction row, const void* user, size_t zlib_rows) {
  const size_t stride = 1 + static_cast<size_t>(width) * 4;
  if (zlib_rows == 0) {
    // About 2/5 of the rows: there the two finish together (the whole-buffer compressor is about
    // 1.3 times as fast), and more go to zlib where the rest would not fit kWholeBytes.
    const size_t rows = static_cast<size_t>(height);
    const size_t most = std::max<size_t>(1, kWholeBytes / stride);
    const size_t whole_rows = stride * rows < kThreadBytes ? std::min(rows, most) : std::min(rows - rows * 2 / 5, most);
    zlib_rows = rows - whole_rows;
  }
  zlib_rows = std::min<size_t>(zlib_rows, static_cast<size_t>(height));
  ChunkWriter chunks(out);
  if (!write_header(chunks, out, width, height)) return errno ? errno : EIO;
  // zlib header: 32 KiB window, the level class in FLEVEL, check bits making it a multiple of 31.
  const unsigned flevel = level < 2 ? 0 : level < 6 ? 1 : 2;
  const unsigned cmf = 0x78, flg = flevel << 6;
  const uint8_t zhead[2] = {static_cast<uint8_t>(cmf), static_cast<uint8_t>(flg + 31 - (cmf * 256 + flg) % 31)};
  if (!chunks.idat(zhead, 2)) return errno ? errno : EIO;

  Part top, rest;
  top.end = static_cast<int>(zlib_rows);
  top.last = top.end == height;
  rest.first = top.end;
  rest.end = height;
  rest.last = true;
  std::thread helper;
  if (top.end > 0) {
    if (rest.first < rest.end) {
      try {
        helper = std::thread(compress_part, &top, false, width, level, row, user);
      } catch (const std::exception&) {
        compress_part(&top, false, width, level, row, user);  // no thread to be had: in turn
      }
    } else {
      compress_part(&top, false, width, level, row, user);
    }
  }
  if (rest.first < rest.end) compress_part(&rest, true, width, level, row, user);
  if (helper.joinable()) helper.join();
  uLong adler = 1;
  for (const Part* p : {&top, &rest}) {
    if (p->first == p->end) continue;
    if (p->error) return p->error;
    if (!chunks.idat(p->data.get(), p->size)) return errno ? errno : EIO;
    adler = adler32_combine(adler, p->adler, static_cast<z_off_t>(p->raw));
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

int write_rgba(FILE* out, int width, int height, int level, RowFunction row, const void* user, size_t zlib_rows) {
  errno = 0;
  level = std::clamp(level, kMinLevel, kMaxLevel);
  try {
    if (level <= kLastFastLevel) return write_fast(out, width, height, level, row, user, zlib_rows);
    std::vector<uint8_t> line(static_cast<size_t>(width) * 4);
    return write_small(out, width, height, level, row, user, line.data());
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

}  // namespace qzi_png
