// Reader: refills, positions and the exported byte, word and block reads.
#include "reader.h"
#include "stream.h"

#include <cstring>
#include <new>

namespace qzimgdecoder {

using qzimg::error_abort;

namespace {

// Reads up to kReadBufferSize bytes of the stream into `into` (the read buffer, or a
// destination of at least that size); returns the count delivered (0 leaves rd_eof alone).
// The fields change alike in both cases.
uint32_t fill(QZIDECODER_IMPL* h, uint8_t* into) {
  h->rd_remain = 0;
  if (!h->read_func(h->stream, into, kReadBufferSize, &h->rd_remain)) error_abort(QZIERR_READ);
  if (h->rd_remain > kReadBufferSize) error_abort(QZIERR_READ);  // a callback that overstates its count
  if (h->rd_remain != 0) {
    if (h->rd_remain < kReadBufferSize) h->rd_eof = true;
    h->rd_index = 0;
  }
  return h->rd_remain;
}

// Refills what the reader serves: the read buffer, taken at the first refill, or for the
// library's own memory input the rest of the bytes where they are.
uint32_t refill(QZIDECODER_IMPL* h) {
  if (h->read_func == memory_read) {
    QZIDEC_MEMORY_INPUT* m = static_cast<QZIDEC_MEMORY_INPUT*>(h->stream);
    h->rd_remain = 0;
    if (m->pos >= m->size) return 0;  // positioned at or past the end
    h->rd_data = m->data + m->pos;
    h->rd_remain = m->size - m->pos;
    h->rd_eof = true;
    h->rd_index = 0;
    m->pos = m->size;
    return h->rd_remain;
  }
  if (!h->rd_buf) {
    h->rd_buf.reset(new (std::nothrow) uint8_t[kReadBufferSize]);
    if (!h->rd_buf) error_abort(QZIERR_NO_MEMORY);
  }
  h->rd_data = h->rd_buf.get();
  return fill(h, h->rd_buf.get());
}

int end_of_data(QZIDECODER_IMPL* h) {
  if (h->eof_mode) return -1;
  error_abort(QZIERR_READ);
}

}  // namespace

int get_byte(QZIDECODER_IMPL* h) {
  if (h->rd_remain == 0) {
    if (h->rd_eof) return end_of_data(h);
    if (refill(h) == 0) return end_of_data(h);
  }
  --h->rd_remain;
  ++h->rd_pos;
  return h->rd_data[h->rd_index++];
}

uint32_t get_word(QZIDECODER_IMPL* h) {
  if (h->rd_remain >= 2) {  // both bytes buffered: no end of data to fold in
    const uint8_t* p = h->rd_data + h->rd_index;
    consume(h, 2);
    const uint32_t b0 = p[0], b1 = p[1];
    return h->byte_order ? b0 << 8 | b1 : b0 | b1 << 8;
  }
  const uint32_t b0 = static_cast<uint32_t>(get_byte_fast(h));
  const uint32_t b1 = static_cast<uint32_t>(get_byte_fast(h));
  return h->byte_order ? b0 * 256u + b1 : b0 + b1 * 256u;
}

uint32_t get_long(QZIDECODER_IMPL* h) {
  if (h->rd_remain >= 4) {
    const uint8_t* p = h->rd_data + h->rd_index;
    consume(h, 4);
    const uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    return h->byte_order ? b0 << 24 | b1 << 16 | b2 << 8 | b3 : b0 | b1 << 8 | b2 << 16 | b3 << 24;
  }
  const uint32_t w0 = get_word(h);
  const uint32_t w1 = get_word(h);
  return h->byte_order ? w0 * 65536u + w1 : w0 + w1 * 65536u;
}

uint32_t get_read(QZIDECODER_IMPL* h, void* dst, unsigned long count) {
  if (count >= 0x80000000ul) error_abort(QZIERR_CANNOT);
  if (h->rd_remain == 0 && h->rd_eof) return static_cast<uint32_t>(end_of_data(h));
  uint8_t* out = static_cast<uint8_t*>(dst);
  uint32_t copied = 0;
  uint32_t want = static_cast<uint32_t>(count);
  while (want != 0) {
    if (h->rd_remain == 0) {
      if (h->rd_eof) break;
      if (want >= kReadBufferSize) {
        // A block at least as large as the buffer is read straight into its destination:
        // the same refill with the same counts, so positions and results do not change.
        const uint32_t got = fill(h, out + copied);
        if (got == 0) {
          if (copied != 0) break;
          return static_cast<uint32_t>(end_of_data(h));
        }
        h->rd_remain = 0;
        copied += got;
        if (want == got) {
          h->rd_index = got;  // where taking the whole buffer leaves it
          break;
        }
        h->rd_index = 0;
        want -= got;
        continue;
      }
      if (refill(h) == 0) {
        if (copied != 0) break;
        return static_cast<uint32_t>(end_of_data(h));
      }
    }
    if (want <= h->rd_remain) {
      std::memcpy(out + copied, h->rd_data + h->rd_index, want);
      h->rd_index += want;
      h->rd_remain -= want;
      copied += want;
      break;
    }
    std::memcpy(out + copied, h->rd_data + h->rd_index, h->rd_remain);
    copied += h->rd_remain;
    want -= h->rd_remain;
    h->rd_remain = 0;
    h->rd_index = 0;
  }
  h->rd_pos += copied;
  return copied;
}

void rdpos_set(QZIDECODER_IMPL* h, unsigned int position) {
  if (h->rd_pos <= position && static_cast<uint64_t>(position) <= static_cast<uint64_t>(h->rd_pos) + h->rd_remain) {
    const uint32_t skip = position - h->rd_pos;
    h->rd_index += skip;
    h->rd_remain -= skip;
  } else {
    h->rd_eof = false;
    h->rd_remain = 0;
    h->rd_index = 0;
    if (!h->setpos_func(h->stream, h->rd_base + position)) error_abort(QZIERR_CANNOT);
  }
  h->rd_pos = position;
}

unsigned int rdpos_get(QZIDECODER_IMPL* h) { return h->rd_pos; }

void rdpos_set_skip(QZIDECODER_IMPL* h, int offset) {
  h->rd_base = static_cast<uint32_t>(offset);
  h->rd_pos = 0;
  h->rd_index = 0;
  h->rd_remain = 0;
  h->rd_eof = false;
  h->eof_mode = false;
  if (!h->setpos_func(h->stream, static_cast<unsigned int>(offset))) error_abort(QZIERR_CANNOT);
}

unsigned int rdfsize_get(QZIDECODER_IMPL* h) { return h->file_size; }

void set_byte_order(QZIDECODER_IMPL* h, bool msb_first) { h->byte_order = msb_first; }

void set_eof_mode(QZIDECODER_IMPL* h, bool on) { h->eof_mode = on; }

bool rd_close(QZIDECODER_IMPL* h) {
  h->rd_remain = 0;
  h->rd_index = 0;
  return true;
}

void skip_bytes(QZIDECODER_IMPL* h, uint64_t n) {
  while (n != 0) {
    const uint32_t k = static_cast<uint32_t>(h->rd_remain < n ? h->rd_remain : n);
    if (k == 0) {
      next_byte(h);  // refills the buffer, or raises at the end of the data
      --n;
      continue;
    }
    consume(h, k);
    n -= k;
  }
}

void copy_bytes(QZIDECODER_IMPL* h, uint8_t* dst, uint32_t n) {
  while (n != 0) {
    const uint32_t k = h->rd_remain < n ? h->rd_remain : n;
    if (k == 0) {
      *dst++ = next_byte(h);
      --n;
      continue;
    }
    std::memcpy(dst, h->rd_data + h->rd_index, k);
    consume(h, k);
    dst += k;
    n -= k;
  }
}

void vcheck(int low, int value, int high) {
  if (value < low || value > high) error_abort(QZIERR_UNSUPPORTED);
}

}  // namespace qzimgdecoder
