// The buffered input reader: the handle's read buffer over the caller's stream, logical
// positions from a base offset, byte order and end-of-data mode. Format modules read their
// input only through it; main.cpp positions it for each probe and closes it after a pass.
// Every function raises qzimg::QZIERR on failure.
#ifndef QZIMGDECODER_READER_H
#define QZIMGDECODER_READER_H

#include <cstdint>
#include <cstring>

#include "handle.h"
#include "stream.h"

namespace qzimgdecoder {

// The input is the library's memory input: the caller's bytes, read in place, which stay
// unchanged from initialisation until reset or close. A module may then keep what its probe
// read of the header for the decode pass instead of reading it again.
inline bool input_in_place(const QZIDECODER_IMPL* h) { return h->read_func == memory_read; }

// Reader. Ends of data raise QZIERR_READ unless end-of-data mode is on, when the byte
// functions return -1 (which get_word/get_long fold into their arithmetic unchanged).
QZIDEC_MODULE_API int get_byte(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API uint32_t get_word(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API uint32_t get_long(QZIDECODER_IMPL* h);
// Up to `count` bytes; fewer only where the stream ends; all bits set at the end of data in
// end-of-data mode. Counts of 2^31 or more raise QZIERR_CANNOT.
QZIDEC_MODULE_API uint32_t get_read(QZIDECODER_IMPL* h, void* dst, unsigned long count);
QZIDEC_MODULE_API void rdpos_set(QZIDECODER_IMPL* h, unsigned int position);
QZIDEC_MODULE_API unsigned int rdpos_get(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void rdpos_set_skip(QZIDECODER_IMPL* h, int offset);
QZIDEC_MODULE_API unsigned int rdfsize_get(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void set_byte_order(QZIDECODER_IMPL* h, bool msb_first);
QZIDEC_MODULE_API void set_eof_mode(QZIDECODER_IMPL* h, bool on);
QZIDEC_MODULE_API bool rd_close(QZIDECODER_IMPL* h);
QZIDEC_MODULE_API void vcheck(int low, int value, int high);

// The hot path of get_byte: served from the buffer, the exported function only refills.
inline int get_byte_fast(QZIDECODER_IMPL* h) {
  if (h->rd_remain != 0) {
    --h->rd_remain;
    ++h->rd_pos;
    return h->rd_data[h->rd_index++];
  }
  return get_byte(h);
}

// The hot paths of get_word and get_long, for headers read field by field.
inline uint32_t get_word_fast(QZIDECODER_IMPL* h) {
  if (h->rd_remain >= 2) {
    const uint8_t* p = h->rd_data + h->rd_index;
    h->rd_index += 2;
    h->rd_remain -= 2;
    h->rd_pos += 2;
    return h->byte_order ? uint32_t{p[0]} << 8 | p[1] : p[0] | uint32_t{p[1]} << 8;
  }
  return get_word(h);
}

inline uint32_t get_long_fast(QZIDECODER_IMPL* h) {
  if (h->rd_remain >= 4) {
    const uint8_t* p = h->rd_data + h->rd_index;
    h->rd_index += 4;
    h->rd_remain -= 4;
    h->rd_pos += 4;
    const uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    return h->byte_order ? b0 << 24 | b1 << 16 | b2 << 8 | b3 : b0 | b1 << 8 | b2 << 16 | b3 << 24;
  }
  return get_long(h);
}

// Reading in runs of the buffer. These consume exactly what get_byte would and raise
// QZIERR_READ where it would (whatever the end-of-data mode), but touch the buffer once per
// run instead of once per byte.

// Takes n bytes (n <= rd_remain) that the caller has used straight from the buffer.
inline void consume(QZIDECODER_IMPL* h, uint32_t n) {
  h->rd_index += n;
  h->rd_remain -= n;
  h->rd_pos += n;
}

// The next byte; the end of the data raises QZIERR_READ.
inline uint8_t next_byte(QZIDECODER_IMPL* h) {
  const int c = get_byte_fast(h);
  if (c < 0) qzimg::error_abort(QZIERR_READ);
  return static_cast<uint8_t>(c);
}

// Calls f(byte) for each of the next n input bytes.
template <typename F>
inline void for_each_byte(QZIDECODER_IMPL* h, uint32_t n, F f) {
  while (n != 0) {
    const uint32_t k = h->rd_remain < n ? h->rd_remain : n;
    if (k == 0) {
      f(next_byte(h));  // refills the buffer, or raises at the end of the data
      --n;
      continue;
    }
    const uint8_t* p = h->rd_data + h->rd_index;
    for (uint32_t i = 0; i < k; ++i) f(p[i]);
    consume(h, k);
    n -= k;
  }
}

// Calls f(x, p, n) over `count` units of U bytes: n whole units at p, for units x to
// x + n - 1, as long runs of the buffer; a unit that straddles a refill is gathered byte by
// byte and handed on alone.
template <int U, typename F>
inline void for_each_run(QZIDECODER_IMPL* h, int count, F f) {
  int x = 0;
  while (x < count) {
    const int64_t whole = h->rd_remain / U;
    const int k = static_cast<int>(count - x < whole ? count - x : whole);
    if (k == 0) {
      uint8_t unit[U];
      for (int b = 0; b < U; ++b) unit[b] = next_byte(h);
      f(x, unit, 1);
      ++x;
      continue;
    }
    f(x, h->rd_data + h->rd_index, k);
    consume(h, static_cast<uint32_t>(k) * U);
    x += k;
  }
}

// Skips n bytes; copies n bytes to dst. Both raise QZIERR_READ where the data ends.
QZIDEC_MODULE_API void skip_bytes(QZIDECODER_IMPL* h, uint64_t n);
QZIDEC_MODULE_API void copy_bytes(QZIDECODER_IMPL* h, uint8_t* dst, uint32_t n);

// The read position of the buffer held in locals, for loops that take a byte at a time
// (run-length codes): the handle's fields are brought up to date by sync() and when the
// cursor goes out of scope. Between those, nothing else may read from the handle.
class ReadCursor {
 public:
  explicit ReadCursor(QZIDECODER_IMPL* h) : h_(h) { load(); }
  ~ReadCursor() { sync(); }
  ReadCursor(const ReadCursor&) = delete;
  ReadCursor& operator=(const ReadCursor&) = delete;

  uint8_t next() {
    if (p_ != end_) return *p_++;
    return refill_next();
  }
  // Copies n bytes to dst; skips n bytes.
  void copy(uint8_t* dst, uint32_t n) {
    if (static_cast<uint32_t>(end_ - p_) >= n) {
      std::memcpy(dst, p_, n);
      p_ += n;
      return;
    }
    sync();
    copy_bytes(h_, dst, n);
    load();
  }
  void skip(uint32_t n) {
    if (static_cast<uint32_t>(end_ - p_) >= n) {
      p_ += n;
      return;
    }
    sync();
    skip_bytes(h_, n);
    load();
  }
  void sync() {
    consume(h_, static_cast<uint32_t>(p_ - start_));
    start_ = p_;
  }

 private:
  void load() {
    start_ = p_ = h_->rd_data + h_->rd_index;
    end_ = p_ + h_->rd_remain;
  }
  uint8_t refill_next() {
    sync();
    const uint8_t b = next_byte(h_);
    load();
    return b;
  }
  QZIDECODER_IMPL* h_;
  const uint8_t* start_;  // the handle's position
  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace qzimgdecoder

#endif  // QZIMGDECODER_READER_H
