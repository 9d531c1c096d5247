// The buffered reader over a counting memory stream.
#include <algorithm>

#include "frame_util.h"

using namespace qzimgdecoder;

namespace {

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return v;
}

TEST(Reader, EndOfDataRaisesOrReturnsMinusOneWithoutRereading) {
  for (bool eof_mode : {false, true}) {
    StreamHandle t(counting(10));
    set_eof_mode(t.h, eof_mode);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(get_byte(t.h), t.stream.data[i]);
    EXPECT_EQ(raised([&] { EXPECT_EQ(get_byte(t.h), -1); }), eof_mode ? -1 : QZIERR_READ);
    EXPECT_EQ(t.stream.reads, 1) << "a short refill marks the end";
    EXPECT_EQ(rdpos_get(t.h), 10u);
  }
  StreamHandle failing(counting(10));
  failing.stream.fail_reads = true;
  EXPECT_EQ(raised([&] { get_byte(failing.h); }), QZIERR_READ);
}

TEST(Reader, ExactlyOneBufferAsksTheStreamAgain) {
  StreamHandle t(counting(kReadBufferSize));
  set_eof_mode(t.h, true);
  for (uint32_t i = 0; i < kReadBufferSize; ++i) ASSERT_EQ(get_byte_fast(t.h), t.stream.data[i]);
  EXPECT_EQ(get_byte(t.h), -1);
  EXPECT_EQ(get_byte(t.h), -1);
  EXPECT_EQ(t.stream.reads, 3) << "a refill of 0 bytes leaves rd_eof unset";
}

// Requests of at least a buffer go straight to the destination; what the caller can see is
// what refilling the buffer gives: bytes, result, position, buffer fields and stream calls.
TEST(Reader, LargeBlockReadsLeaveTheReaderAsTheBufferWould) {
  const uint32_t B = kReadBufferSize;
  struct Case {
    size_t size, chunk_limit, first, want;  // stream bytes, per-call limit, read before, request
    uint32_t result, index;
    bool eof;
    int reads;
  } cases[] = {
      {2 * B + 500, SIZE_MAX, 0, 2 * B + 500, 2 * B + 500, 500, true, 3},
      {B, SIZE_MAX, 0, B, B, B, false, 1},  // taking the whole buffer leaves its index at the end
      {3 * B, SIZE_MAX, 10, 2 * B, 2 * B, 10, false, 3},
      {3 * B, 1000, 0, 5 * B, 1000, 0, true, 1},  // a short call ends the stream
      {B + 1, SIZE_MAX, B + 1, B, 0xffffffffu, 1, true, 2},  // ended: -1 in end-of-data mode
      {2 * B + 500, SIZE_MAX, 100, 2 * B + 500, 2 * B + 400, 0, true, 3},  // cut at the end: buffer emptied
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    StreamHandle t(counting(c.size));
    t.stream.chunk_limit = c.chunk_limit;
    set_eof_mode(t.h, true);
    std::vector<uint8_t> out(c.first + c.want);
    if (c.first) {
      ASSERT_EQ(get_read(t.h, out.data(), c.first), c.first);
    }
    EXPECT_EQ(get_read(t.h, out.data() + c.first, c.want), c.result);
    const size_t total = c.first + (c.result == 0xffffffffu ? 0 : c.result);
    EXPECT_EQ(rdpos_get(t.h), total);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + total, t.stream.data.begin()));
    EXPECT_EQ(t.h->rd_index, c.index);
    EXPECT_EQ(t.h->rd_eof, c.eof);
    EXPECT_EQ(t.stream.reads, c.reads);
  }
}

TEST(Reader, ByteOrders) {
  const std::vector<uint8_t> bytes = {0x34, 0x12, 0x78, 0x56, 0x34, 0x12};
  for (bool msb : {false, true}) {
    StreamHandle t(bytes);
    set_byte_order(t.h, msb);
    EXPECT_EQ(get_word(t.h), msb ? 0x3412u : 0x1234u);
    EXPECT_EQ(get_long(t.h), msb ? 0x78563412u : 0x12345678u);
  }
  StreamHandle t({0x05});
  set_eof_mode(t.h, true);
  EXPECT_EQ(get_word(t.h), 0x05u + 0xffffffffu * 256u) << "-1 enters the arithmetic";
}

TEST(Reader, BlockReadsOfNothingAndOfTooMuch) {
  StreamHandle t(counting(100));
  std::vector<uint8_t> out(100);
  EXPECT_EQ(get_read(t.h, out.data(), 0), 0u);
  EXPECT_EQ(get_read(t.h, out.data(), 100), 100u);
  EXPECT_EQ(raised([&] { get_read(t.h, out.data(), 0); }), QZIERR_READ) << "empty and ended, even for 0";
  EXPECT_EQ(raised([&] { get_read(t.h, out.data(), 0x80000000ul); }), QZIERR_CANNOT);
}

TEST(Reader, Positioning) {
  StreamHandle t(counting(1000));
  get_byte(t.h);
  rdpos_set(t.h, 1);
  rdpos_set(t.h, 500);
  rdpos_set(t.h, 1000);
  EXPECT_TRUE(t.stream.seeks.empty()) << "forward within the buffer";
  rdpos_set(t.h, 500);
  EXPECT_EQ(t.stream.seeks, std::vector<unsigned>{500});
  EXPECT_EQ(get_byte(t.h), t.stream.data[500]);
  rdpos_set(t.h, 900);
  EXPECT_EQ(get_byte(t.h), t.stream.data[900]);

  set_eof_mode(t.h, true);
  rdpos_set_skip(t.h, 128);
  EXPECT_FALSE(t.h->eof_mode) << "a new origin switches end-of-data mode off";
  EXPECT_EQ(rdpos_get(t.h), 0u);
  rdpos_set(t.h, 4);
  EXPECT_EQ(t.stream.seeks.back(), 132u) << "positions count from the origin";
  EXPECT_EQ(get_byte(t.h), t.stream.data[132]);
  rd_close(t.h);
  EXPECT_EQ(t.h->rd_remain, 0u);
  EXPECT_EQ(rdpos_get(t.h), 5u);

  t.stream.fail_seeks = true;
  EXPECT_EQ(raised([&] { rdpos_set_skip(t.h, 64); }), QZIERR_CANNOT);
  EXPECT_EQ(raised([&] { rdpos_set(t.h, 4); }), QZIERR_CANNOT);
}

// The read buffer is taken at the first refill from a caller's stream and kept across a
// reset; the library's memory input is served in place and never takes it.
TEST(Reader, BufferOnlyForCallersStreams) {
  const std::vector<uint8_t> bytes = counting(100);
  QZIDECODER h = qziCreateDecoder();
  EXPECT_EQ(h->rd_buf, nullptr) << "a new handle holds no read buffer";
  // Not a file of any format: every probe reads it, and nothing is accepted.
  EXPECT_EQ(qziDecoderInitializeFromMemory(h, bytes.data(), bytes.size(), nullptr), QZIERR_UNSUPPORTED);
  EXPECT_EQ(h->rd_buf, nullptr);
  EXPECT_EQ(h->rd_data, bytes.data()) << "the bytes are served where they are";
  qziResetDecoder(h);
  MemStream m(bytes);
  EXPECT_EQ(qziDecoderInitialize(h, &m, 100, MemStream::read, MemStream::setpos, nullptr, nullptr), QZIERR_UNSUPPORTED);
  ASSERT_NE(h->rd_buf, nullptr);
  EXPECT_EQ(h->rd_data, h->rd_buf.get());
  const uint8_t* const buffer = h->rd_buf.get();
  qziResetDecoder(h);
  EXPECT_EQ(h->rd_buf.get(), buffer) << "kept across a reset";
  qziCloseDecoder(h);
}

TEST(Reader, Vcheck) {
  EXPECT_EQ(raised([] { vcheck(1, 0, 5); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(raised([] { vcheck(1, 6, 5); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(raised([] { vcheck(1, 5, 5); }), -1);
}

}  // namespace
