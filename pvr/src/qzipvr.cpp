// The exported calls.
#include "qzipvr.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "texture.h"

using qzipvr::Sink;
using qzipvr::Texture;

namespace {

// Reads the header and metadata and checks that the level lies inside the file.
int open_texture(const void* file, size_t file_size, Texture* t) {
  if (!file) return QZIPVR_ERR_ARGUMENT;
  const uint8_t* in = static_cast<const uint8_t*>(file);
  if (file_size < 44) return QZIPVR_ERR_ARGUMENT;
  if (!qzipvr::parse_header(in, file_size, t)) return QZIPVR_ERR_HEADER;
  if (!qzipvr::parse_metadata(in, file_size, t)) return QZIPVR_ERR_DATA;
  const uint64_t bytes = qzipvr::level_bytes(*t);
  if (t->data_offset > file_size || bytes > file_size - t->data_offset) return QZIPVR_ERR_DATA;
  return QZIPVR_OK;
}

int decode(const void* file, const Texture& t, Sink& out) {
  const uint8_t* data = static_cast<const uint8_t*>(file) + t.data_offset;
  out.width = t.width;
  out.height = t.height;
  out.flip_rows = t.flip_rows;
  try {
    switch (t.format) {
      case QZIPVR_FORMAT_PVRTC_2BPP:
      case QZIPVR_FORMAT_PVRTC_4BPP:
        qzipvr::decode_pvrtc(data, t.format == QZIPVR_FORMAT_PVRTC_2BPP, out);
        break;
      case QZIPVR_FORMAT_ASTC:
        if (!qzipvr::decode_astc(data, t, out)) return QZIPVR_ERR_DATA;
        break;
      default:
        if (qzipvr::block_fn(t, nullptr)) {
          qzipvr::decode_blocks(data, t, out);
        } else {
          qzipvr::decode_uncompressed(data, t.layout, out);
        }
        break;
    }
  } catch (const std::bad_alloc&) {
    return QZIPVR_ERR_MEMORY;
  }
  if (!out.failed && t.flip_columns) mirror_rows(out);
  return out.failed ? QZIPVR_ERR_OUTPUT : QZIPVR_OK;
}

struct Picture {
  uint8_t* pixels;
  size_t row_bytes;
};

uint8_t* picture_row(void* user, int y, uint8_t** alpha) {
  const Picture* p = static_cast<const Picture*>(user);
  *alpha = nullptr;
  return p->pixels + static_cast<size_t>(y) * p->row_bytes;
}

}  // namespace

extern "C" {

int qzipvr03(const void* header, int header_size, int* width, int* height, int* pixel_format) {
  if (!header || !width || !height || !pixel_format || header_size < 44) return QZIPVR_ERR_ARGUMENT;
  Texture t;
  if (!qzipvr::parse_header(static_cast<const uint8_t*>(header), static_cast<size_t>(header_size), &t)) {
    return QZIPVR_ERR_HEADER;
  }
  *width = t.width;
  *height = t.height;
  *pixel_format = t.format;
  return QZIPVR_OK;
}

size_t qzipvr04(int width, int height, int pixel_format) {
  if (width < 1 || height < 1 || width > QZIPVR_MAX_SIDE || height > QZIPVR_MAX_SIDE) return 0;
  if (pixel_format < 0 || pixel_format >= QZIPVR_FORMAT_COUNT) return 0;
  if ((pixel_format == QZIPVR_FORMAT_PVRTC_2BPP || pixel_format == QZIPVR_FORMAT_PVRTC_4BPP) &&
      !qzipvr::pvrtc_size_ok(width, height, pixel_format == QZIPVR_FORMAT_PVRTC_2BPP)) {
    return 0;
  }
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

int qzipvr05(const void* file, size_t file_size, void* pixels, size_t pixels_size) {
  if (!file || !pixels) return QZIPVR_ERR_ARGUMENT;
  Texture t;
  const int rc = open_texture(file, file_size, &t);
  if (rc != QZIPVR_OK) return rc;
  if (pixels_size / 4 / static_cast<size_t>(t.width) < static_cast<size_t>(t.height)) return QZIPVR_ERR_OUTPUT;
  Picture picture{static_cast<uint8_t*>(pixels), static_cast<size_t>(t.width) * 4};
  Sink out;
  out.pixel = 4;
  out.row_fn = picture_row;
  out.user = &picture;
  return decode(file, t, out);
}

int qzipvr06(const void* file, size_t file_size, const QZIPVR_ROWS* rows) {
  if (!file) return QZIPVR_ERR_ARGUMENT;
  Texture t;
  const int rc = open_texture(file, file_size, &t);
  if (rc != QZIPVR_OK) return rc;
  if (!rows || !rows->row) return QZIPVR_ERR_OUTPUT;
  Sink out;
  out.pixel = 3;
  out.row_fn = rows->row;
  out.user = rows->user;
  return decode(file, t, out);
}

int qzipvr07(const void* header, int header_size, char* text, size_t text_size) {
  if (!header || !text || text_size == 0 || header_size < 44) return QZIPVR_ERR_ARGUMENT;
  Texture t;
  if (!qzipvr::parse_header(static_cast<const uint8_t*>(header), static_cast<size_t>(header_size), &t)) {
    return QZIPVR_ERR_HEADER;
  }
  const std::string name = qzipvr::describe(t);
  const size_t n = std::min(name.size(), text_size - 1);
  std::memcpy(text, name.data(), n);
  text[n] = 0;
  return QZIPVR_OK;
}

}  // extern "C"
