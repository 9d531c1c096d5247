// The buffered reader over a counting memory stream.
#include <gtest/gtest.h>

#include <numeric>

#include "frame_util.h"
#include "test_stream.h"

using namespace qzimgdecoder;

namespace {

struct Handle {
  QZIDECODER h = qziCreateDecoder();
  MemStream stream;
  explicit Handle(std::vector<uint8_t> bytes) : stream(std::move(bytes)) {
    h->stream = &stream;
    h->read_func = MemStream::read;
    h->setpos_func = MemStream::setpos;
    h->file_size = static_cast<uint32_t>(stream.data.size());
  }
  ~Handle() { qziCloseDecoder(h); }
};

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return v;
}

TEST(Reader, BytesThenEndOfDataRaisesOrReturnsMinusOne) {
  for (bool eof_mode : {false, true}) {
    Handle t(counting(10));
    set_eof_mode(t.h, eof_mode);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(get_byte(t.h), t.stream.data[i]);
    EXPECT_EQ(t.stream.reads, 1);
    if (eof_mode) {
      EXPECT_EQ(get_byte(t.h), -1);
    } else {
      EXPECT_EQ(raised([&] { get_byte(t.h); }), QZIERR_READ);
    }
    EXPECT_EQ(t.stream.reads, 1) << "a short refill marks the end; no further read callback";
    EXPECT_EQ(rdpos_get(t.h), 10u);
  }
}

TEST(Reader, ExactlyOneBufferRefillsOnceMore) {
  Handle t(counting(RD_BUF_SIZE));
  set_eof_mode(t.h, true);
  for (int i = 0; i < RD_BUF_SIZE; ++i) ASSERT_EQ(get_byte_fast(t.h), t.stream.data[i]);
  EXPECT_EQ(t.stream.reads, 1);
  EXPECT_FALSE(t.h->rd_eof);
  EXPECT_EQ(get_byte(t.h), -1);
  EXPECT_EQ(t.stream.reads, 2);
  EXPECT_EQ(get_byte(t.h), -1);
  EXPECT_EQ(t.stream.reads, 3) << "a zero refill leaves rd_eof unset, so each read asks again";
}

TEST(Reader, ShortReadingStreamEndsTheInput) {
  Handle t(counting(100));
  t.stream.chunk_limit = 40;
  uint8_t buf[100];
  EXPECT_EQ(get_read(t.h, buf, 100), 40u);
  EXPECT_EQ(raised([&] { get_byte(t.h); }), QZIERR_READ);
}

TEST(Reader, FailingReadCallbackRaises105) {
  Handle t(counting(10));
  t.stream.fail_reads = true;
  EXPECT_EQ(raised([&] { get_byte(t.h); }), QZIERR_READ);
}

TEST(Reader, ByteOrders) {
  struct Case {
    bool msb;
    std::vector<uint8_t> bytes;
    uint32_t word, dword;
  } cases[] = {
      {false, {0x34, 0x12, 0x78, 0x56, 0x34, 0x12}, 0x1234, 0x12345678},
      {true, {0x34, 0x12, 0x78, 0x56, 0x34, 0x12}, 0x3412, 0x78563412},
      {false, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 0xffff, 0xffffffff},
  };
  for (const Case& c : cases) {
    Handle t(c.bytes);
    set_byte_order(t.h, c.msb);
    EXPECT_EQ(get_word(t.h), c.word);
    EXPECT_EQ(get_long(t.h), c.dword);
  }
}

TEST(Reader, WordAtEndOfDataFoldsMinusOne) {
  Handle t({0x05});
  set_eof_mode(t.h, true);
  EXPECT_EQ(get_word(t.h), 0x05u + 0xffffffffu * 256u);
}

TEST(Reader, BlockReadsAcrossTheBufferBoundary) {
  const size_t n = RD_BUF_SIZE * 2 + 500;
  Handle t(counting(n));
  std::vector<uint8_t> out(n);
  EXPECT_EQ(get_read(t.h, out.data(), 100), 100u);
  EXPECT_EQ(get_read(t.h, out.data() + 100, RD_BUF_SIZE), static_cast<uint32_t>(RD_BUF_SIZE));
  EXPECT_EQ(get_read(t.h, out.data() + 100 + RD_BUF_SIZE, n), n - 100 - RD_BUF_SIZE) << "cut at the end";
  EXPECT_EQ(out, t.stream.data);
  EXPECT_EQ(rdpos_get(t.h), n);
  EXPECT_EQ(t.stream.reads, 3);
  EXPECT_EQ(raised([&] { get_read(t.h, out.data(), 1); }), QZIERR_READ);
  set_eof_mode(t.h, true);
  EXPECT_EQ(get_read(t.h, out.data(), 1), 0xffffffffu);
}

TEST(Reader, BlockReadEdgeCounts) {
  Handle t(counting(160));
  std::vector<uint8_t> out(200);
  EXPECT_EQ(get_read(t.h, out.data(), 100), 100u);
  EXPECT_EQ(get_read(t.h, out.data(), 100), 60u);
  EXPECT_EQ(rdpos_get(t.h), 160u);
  EXPECT_EQ(raised([&] { get_read(t.h, out.data(), 0); }), QZIERR_READ) << "empty and ended, even for 0";
  EXPECT_EQ(raised([&] { get_read(t.h, out.data(), 0x80000000ul); }), QZIERR_CANNOT);

  Handle fresh(counting(10));
  EXPECT_EQ(get_read(fresh.h, out.data(), 0), 0u);
}

TEST(Reader, PositioningInsideBufferAvoidsTheStream) {
  Handle t(counting(1000));
  EXPECT_EQ(get_byte(t.h), t.stream.data[0]);
  const size_t seeks = t.stream.seeks.size();
  rdpos_set(t.h, 1);    // where we are
  rdpos_set(t.h, 500);  // ahead, buffered
  rdpos_set(t.h, 1000); // the end of the buffered data
  EXPECT_EQ(t.stream.seeks.size(), seeks);
  rdpos_set(t.h, 500);  // backwards
  ASSERT_EQ(t.stream.seeks.size(), seeks + 1);
  EXPECT_EQ(t.stream.seeks.back(), 500u);
  EXPECT_EQ(get_byte(t.h), t.stream.data[500]);
  rdpos_set(t.h, 900);  // ahead, inside the refilled buffer
  EXPECT_EQ(get_byte(t.h), t.stream.data[900]);
}

TEST(Reader, PositioningPastBufferSeeksWithOrigin) {
  Handle t(counting(300));
  rdpos_set_skip(t.h, 128);
  EXPECT_EQ(rdpos_get(t.h), 0u);
  EXPECT_EQ(t.stream.seeks.back(), 128u);
  rdpos_set(t.h, 4);
  EXPECT_EQ(t.stream.seeks.back(), 132u);
  EXPECT_EQ(get_byte(t.h), t.stream.data[132]);
  EXPECT_EQ(rdpos_get(t.h), 5u);
}

TEST(Reader, SkipClearsEndOfDataModeButSetDoesNot) {
  Handle t(counting(10));
  set_eof_mode(t.h, true);
  rdpos_set(t.h, 0);
  EXPECT_TRUE(t.h->eof_mode);
  rdpos_set_skip(t.h, 0);
  EXPECT_FALSE(t.h->eof_mode);
}

TEST(Reader, RefusedPositioningRaises103) {
  Handle t(counting(10));
  t.stream.fail_seeks = true;
  EXPECT_EQ(raised([&] { rdpos_set_skip(t.h, 64); }), QZIERR_CANNOT);
  EXPECT_EQ(raised([&] { rdpos_set(t.h, 4); }), QZIERR_CANNOT);
}

TEST(Reader, CloseDropsBufferKeepsPosition) {
  Handle t(counting(10));
  get_byte(t.h);
  EXPECT_TRUE(rd_close(t.h));
  EXPECT_EQ(t.h->rd_remain, 0u);
  EXPECT_EQ(rdpos_get(t.h), 1u);
}

TEST(Reader, Vcheck) {
  EXPECT_EQ(raised([] { vcheck(1, 0, 5); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(raised([] { vcheck(1, 6, 5); }), QZIERR_UNSUPPORTED);
  EXPECT_EQ(raised([] { vcheck(1, 5, 5); }), -1);
  EXPECT_EQ(raised([] { vcheck(1, 1, 5); }), -1);
}

}  // namespace
