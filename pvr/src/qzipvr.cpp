// The three exported calls.
#include "qzipvr.h"

#include <algorithm>
#include <new>

#include "texture.h"

using qzipvr::Texture;

namespace {

void flip(uint8_t* pixels, int width, int height, bool rows, bool columns) {
  const size_t row = static_cast<size_t>(width) * 4;
  if (rows) {
    for (int y = 0; y < height / 2; ++y) {
      uint8_t* top = pixels + y * row;
      std::swap_ranges(top, top + row, pixels + (height - 1 - y) * row);
    }
  }
  if (columns) {
    for (int y = 0; y < height; ++y) {
      uint8_t* p = pixels + y * row;
      for (int l = 0, r = width - 1; l < r; ++l, --r) std::swap_ranges(p + 4 * l, p + 4 * l + 4, p + 4 * r);
    }
  }
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
  const uint8_t* in = static_cast<const uint8_t*>(file);
  Texture t;
  if (file_size < 44) return QZIPVR_ERR_ARGUMENT;
  if (!qzipvr::parse_header(in, file_size, &t)) return QZIPVR_ERR_HEADER;
  if (!qzipvr::parse_metadata(in, file_size, &t)) return QZIPVR_ERR_DATA;
  const uint64_t bytes = qzipvr::level_bytes(t);
  if (t.data_offset > file_size || bytes > file_size - t.data_offset) return QZIPVR_ERR_DATA;
  if (pixels_size / 4 / static_cast<size_t>(t.width) < static_cast<size_t>(t.height)) return QZIPVR_ERR_OUTPUT;

  const uint8_t* data = in + t.data_offset;
  uint8_t* out = static_cast<uint8_t*>(pixels);
  try {
    switch (t.format) {
      case QZIPVR_FORMAT_PVRTC_2BPP:
      case QZIPVR_FORMAT_PVRTC_4BPP:
        qzipvr::decode_pvrtc(data, t.width, t.height, t.format == QZIPVR_FORMAT_PVRTC_2BPP, out);
        break;
      case QZIPVR_FORMAT_ETC1:
        qzipvr::decode_etc1(data, t.width, t.height, out);
        break;
      case QZIPVR_FORMAT_BC1:
      case QZIPVR_FORMAT_BC2:
      case QZIPVR_FORMAT_BC3:
        qzipvr::decode_bc(data, t.width, t.height, t.format, out);
        break;
      default:
        qzipvr::decode_uncompressed(data, t.width, t.height, t.layout, out);
        break;
    }
  } catch (const std::bad_alloc&) {
    return QZIPVR_ERR_MEMORY;
  }
  flip(out, t.width, t.height, t.flip_rows, t.flip_columns);
  return QZIPVR_OK;
}

}  // extern "C"
