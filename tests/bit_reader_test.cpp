// Bit reader over an elementary stream: bit-exact reads, start-code alignment, the
// padding delivered after the end of the file, and the count of consumed bits.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "mpeg/bit_reader.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

constexpr uint32_t kSequenceEndCode = 0x000001B7;

// Bytes without a zero, so no start-code prefix can form.
Bytes no_zeros(size_t n, uint32_t seed = 7) {
  Bytes out = noise(n, seed);
  for (uint8_t &b : out) b |= 0x01;
  return out;
}

// What the reader must deliver for a file: its bytes, zeros up to the next multiple of
// 4, then the sequence end code 00 00 01 B7 for ever; the first n bytes of that.
Bytes delivered(const Bytes &file, size_t n) {
  Bytes out(file.begin(), file.begin() + static_cast<long>(std::min(n, file.size())));
  while (out.size() < n && out.size() % 4 != 0) out.push_back(0x00);
  static const uint8_t kEnd[4] = {0x00, 0x00, 0x01, 0xB7};
  while (out.size() < n) out.push_back(kEnd[out.size() % 4]);
  return out;
}

// Reference extraction: n bits (n <= 32) starting at bit position pos, MSB first.
uint32_t bits_at(const Bytes &stream, size_t pos, int n) {
  uint32_t value = 0;
  for (int i = 0; i < n; i++) {
    size_t bit = pos + static_cast<size_t>(i);
    value = (value << 1) | ((stream[bit / 8] >> (7 - bit % 8)) & 1u);
  }
  return value;
}

class BitReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { reset_run_state(); }
  // Writes the file, opens it as the input of an elementary stream and resets the reader.
  void open(const Bytes &bytes) {
    caption_test::reset_components(0);
    std::string path = dir_.path + "/input.m2v";
    write_file(path, bytes);
    reader.file = fopen(path.c_str(), "rb");
    ASSERT_NE(reader.file, nullptr);
    reset_reader();
  }
  // The same file from its first byte again.
  void restart() {
    fseek(reader.file, 0, SEEK_SET);
    clearerr(reader.file);
    reset_reader();
  }
  static Bytes read_bytes(size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; i++) out.push_back(static_cast<uint8_t>(read_bits(8)));
    return out;
  }

  TempDir dir_{"bitreader"};
};

// The buffer scan and the byte-wise reference search must agree everywhere.
class BitReaderAlignTest : public BitReaderTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { use_reference_search(GetParam()); }
  void TearDown() override {
    use_reference_search(false);
    BitReaderTest::TearDown();
  }
};

// ---- The end of the file ----

class BitReaderPaddingTest : public BitReaderTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(BitReaderPaddingTest, FileBytesThenZerosToMultipleOfFourThenSequenceEndCodes) {
  Bytes file = no_zeros(GetParam());
  open(file);
  // Well past the file and over several reloads of padding only.
  size_t n = file.size() + 3 * kBlockSize + 100;
  EXPECT_EQ(read_bytes(n), delivered(file, n));
}

INSTANTIATE_TEST_SUITE_P(BitReaderEndOfFile, BitReaderPaddingTest,
                         ::testing::Values(0, 1, 2, 3, 4, 5, 2047, 2048, 2049, 2050, 4096, 4101),
                         ::testing::PrintToStringParamName());

TEST_F(BitReaderTest, FiveByteFileDeliveredWithThreeZerosThenSequenceEndCodes) {
  open({0x00, 0x00, 0x01, 0xB3, 0x12});
  Bytes expected = {0x00, 0x00, 0x01, 0xB3, 0x12, 0x00, 0x00, 0x00};
  for (int i = 0; i < 600; i++) expected.insert(expected.end(), {0x00, 0x00, 0x01, 0xB7});
  EXPECT_EQ(read_bytes(expected.size()), expected);
}

TEST_F(BitReaderTest, EmptyFileWindowHoldsSequenceEndCode) {
  open({});
  EXPECT_EQ(peek_bits(32), 0x000001B7u);
  EXPECT_EQ(reader.valid_bits, 32);
  EXPECT_EQ(reader.bits_consumed, 0);
}

TEST_F(BitReaderTest, FileOfExactlyOneBlockDeliversItWholeThenABlockOfSequenceEndCodes) {
  Bytes file = no_zeros(kBlockSize);
  file[kBlockSize - 4] = 0x00;  // a start code in the last 4 bytes of the block
  file[kBlockSize - 3] = 0x00;
  file[kBlockSize - 2] = 0x01;
  file[kBlockSize - 1] = 0xB8;
  open(file);
  align_to_start_code();
  EXPECT_EQ(reader.bits_consumed, 8 * (kBlockSize - 4));
  EXPECT_EQ(read_bits32(), 0x000001B8u);
  // No zero bytes: the file ends on a multiple of 4.
  for (int i = 0; i < 520; i++) {
    align_to_start_code();
    EXPECT_EQ(reader.bits_consumed, 8 * (kBlockSize + 4 * i)) << "code " << i;
    ASSERT_EQ(read_bits32(), 0x000001B7u) << "code " << i;
  }
}

// ---- Alignment ----

TEST_P(BitReaderAlignTest, AlignOnAPrefixAtAByteBoundaryConsumesNothing) {
  open({0x00, 0x00, 0x01, 0xB3, 0x11, 0x00, 0x00, 0x01, 0xB8});
  align_to_start_code();
  EXPECT_EQ(reader.bits_consumed, 0);
  EXPECT_EQ(peek_bits(32), 0x000001B3u);
  read_bits32();
  read_bits(8);
  align_to_start_code();
  EXPECT_EQ(reader.bits_consumed, 5 * 8);
  EXPECT_EQ(peek_bits(32), 0x000001B8u);
}

TEST_P(BitReaderAlignTest, AlignAwayFromABoundarySkipsToTheBoundaryEvenBeforeAPrefix) {
  for (int k = 1; k <= 7; k++) {
    SCOPED_TRACE("bit offset " + std::to_string(k));
    open({0xFF, 0x00, 0x00, 0x01, 0xB3, 0x00, 0x00, 0x01, 0xB8});
    read_bits(k);
    align_to_start_code();
    EXPECT_EQ(reader.bits_consumed, 8);
    EXPECT_EQ(peek_bits(32), 0x000001B3u);
  }
}

TEST_P(BitReaderAlignTest, AlignIgnoresAPrefixThatIsNotByteAligned) {
  for (int k = 1; k <= 7; k++) {
    SCOPED_TRACE("bit offset " + std::to_string(k));
    // The 24 bits from bit k are 0x000001, then a real start code at byte 4.
    uint32_t word = 0x000001u << (8 - k);
    Bytes file = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 8),
                  static_cast<uint8_t>(word), 0x00, 0x00, 0x01, 0xB8, 0x40};
    ASSERT_EQ(bits_at(file, static_cast<size_t>(k), 24), 0x000001u);
    open(file);
    read_bits(k);
    align_to_start_code();
    EXPECT_EQ(reader.bits_consumed, 4 * 8);
    EXPECT_EQ(peek_bits(32), 0x000001B8u);
  }
}

TEST_P(BitReaderAlignTest, AlignOnDataWithoutStartCodesStopsAtTheFirstPaddingEndCode) {
  for (size_t length : {size_t{1}, size_t{3001}, size_t{3002}, size_t{3003}, size_t{3004}, size_t{2048}}) {
    SCOPED_TRACE("file of " + std::to_string(length) + " bytes");
    open(no_zeros(length, static_cast<uint32_t>(length)));
    align_to_start_code();
    int64_t first_end_code = static_cast<int64_t>((length + 3) / 4 * 4);
    EXPECT_EQ(reader.bits_consumed, 8 * first_end_code);
    EXPECT_EQ(peek_bits(32), 0x000001B7u);
    EXPECT_TRUE(reader_past_end(first_end_code, peek_bits(32)));
  }
}

TEST_P(BitReaderAlignTest, EveryStartCodeIsFoundInOrderAtItsOffset) {
  // Start codes at irregular offsets, some close together, some across block ends,
  // between bytes that hold lone zeros and 00 00 pairs without a 01.
  Bytes file;
  std::vector<size_t> offsets;
  for (size_t gap : {0, 1, 2, 3, 7, 8, 9, 200, 2030, 5, 4, 1500, 700, 13, 2100, 6}) {
    Bytes filler = no_zeros(gap, static_cast<uint32_t>(gap) + 1);
    for (size_t i = 0; i + 1 < filler.size(); i += 5) filler[i] = 0x00;
    if (filler.size() >= 4) {
      filler[filler.size() - 4] = filler[filler.size() - 3] = 0x00;
      filler[filler.size() - 2] = 0x80;
    }
    file.insert(file.end(), filler.begin(), filler.end());
    offsets.push_back(file.size());
    file.insert(file.end(), {0x00, 0x00, 0x01, static_cast<uint8_t>(0xB0 + offsets.size())});
  }
  open(file);
  for (size_t i = 0; i < offsets.size(); i++) {
    SCOPED_TRACE("start code " + std::to_string(i));
    align_to_start_code();
    EXPECT_EQ(reader.bits_consumed, static_cast<int64_t>(8 * offsets[i]));
    ASSERT_EQ(read_bits32(), 0x00000100u + 0xB1 + i);
  }
  align_to_start_code();
  EXPECT_EQ(reader.bits_consumed, static_cast<int64_t>(8 * ((file.size() + 3) / 4 * 4)));
  EXPECT_EQ(read_bits32(), kSequenceEndCode);
}

INSTANTIATE_TEST_SUITE_P(BitReaderAlign, BitReaderAlignTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return std::string(info.param ? "ByteWiseSearch" : "BufferScan");
                         });

// ---- Bit-exact reads ----

TEST_F(BitReaderTest, Read24IsExactAtEveryBitOffsetAcrossBlocks) {
  Bytes file = no_zeros(3 * kBlockSize + 17, 3);
  for (int k = 0; k < 8; k++) file[static_cast<size_t>(500 * k + 3)] = 0x00;  // zero bytes too
  open(file);
  Bytes stream = delivered(file, file.size() + 64);
  for (int k = 0; k < 8; k++) {
    SCOPED_TRACE("bit offset " + std::to_string(k));
    restart();
    if (k > 0) {
      EXPECT_EQ(read_bits(k), bits_at(stream, 0, k));
    }
    size_t pos = static_cast<size_t>(k);
    while (pos + 24 <= 8 * (file.size() + 16)) {
      ASSERT_EQ(read_bits(24), bits_at(stream, pos, 24)) << "at bit " << pos;
      pos += 24;
    }
  }
}

TEST_F(BitReaderTest, MixedWidthsMatchTheReferenceAndCountEveryBit) {
  Bytes file = no_zeros(2 * kBlockSize + 333, 11);
  open(file);
  Bytes stream = delivered(file, file.size() + 64);
  static const int kWidths[] = {1, 4, 5, 6, 8, 10, 12, 16, 18, 24, 3, 7};
  size_t pos = 0;
  for (size_t i = 0; pos + 24 <= 8 * file.size(); i++) {
    int n = kWidths[i % (sizeof kWidths / sizeof kWidths[0])];
    ASSERT_EQ(read_bits(n), bits_at(stream, pos, n)) << "width " << n << " at bit " << pos;
    pos += static_cast<size_t>(n);
    ASSERT_EQ(reader.bits_consumed, static_cast<int64_t>(pos));
    ASSERT_GE(reader.valid_bits, 25);
    ASSERT_LE(reader.valid_bits, 32);
  }
}

TEST_F(BitReaderTest, Peek32AwayFromABoundaryGivesTheValidBitsThenZeros) {
  Bytes file = no_zeros(64, 5);
  open(file);
  for (int k = 1; k <= 7; k++) {
    SCOPED_TRACE("bit offset " + std::to_string(k));
    restart();
    read_bits(k);
    EXPECT_EQ(peek_bits(32), bits_at(file, static_cast<size_t>(k), 32 - k) << k);
  }
}

// skip_bits32 from byte `start` plus k bits: lands exactly 32 bits on, also when the
// four new bytes straddle a block end.
TEST_F(BitReaderTest, SkipBits32IsExactAtAnyBitPositionAndAcrossTheBlockEnd) {
  Bytes file = no_zeros(2 * kBlockSize + 40, 9);
  open(file);
  for (size_t start : {size_t{0}, size_t{2030}, size_t{2040}, size_t{2043}, size_t{2044}, size_t{2045}, size_t{2047}}) {
    for (int k = 0; k < 8; k++) {
      SCOPED_TRACE("byte " + std::to_string(start) + " bit " + std::to_string(k));
      restart();
      for (size_t i = 0; i < start; i++) read_bits(8);
      if (k > 0) read_bits(k);
      size_t pos = 8 * start + static_cast<size_t>(k);
      skip_bits32();
      pos += 32;
      EXPECT_EQ(reader.bits_consumed, static_cast<int64_t>(pos));
      EXPECT_EQ(reader.valid_bits, 32 - k);
      for (int j = 0; j < 4; j++, pos += 24) EXPECT_EQ(read_bits(24), bits_at(file, pos, 24)) << "read " << j;
    }
  }
}

// The bytes ahead straight from the buffer while they and the window's next refill lie in
// the block, and skip_bytes lands where as many 8-bit skips would, in the buffer or not.
TEST_F(BitReaderTest, StreamBytesWithinTheBlockAndSkipBytesAcrossItsEnd) {
  Bytes file = no_zeros(2 * kBlockSize + 400, 13);
  open(file);
  for (size_t start : {size_t{0}, size_t{4}, size_t{1000}, size_t{1660}, size_t{2040}, size_t{2044}}) {
    for (int32_t n : {1, 5, 8, 386}) {
      SCOPED_TRACE("byte " + std::to_string(start) + ", " + std::to_string(n) + " bytes");
      restart();
      for (size_t i = 0; i < start; i++) read_bits(8);
      const uint8_t *bytes = stream_bytes(n);
      // Byte `start` is the window's first; the refill after n bytes reads up to start + n + 4.
      bool in_block = start + static_cast<size_t>(n) + 4 <= kBlockSize;
      ASSERT_EQ(bytes != nullptr, in_block);
      if (bytes) {
        Bytes expected(file.begin() + static_cast<long>(start), file.begin() + static_cast<long>(start) + n);
        EXPECT_EQ(Bytes(bytes, bytes + n), expected);
      }
      skip_bytes(n);
      size_t pos = 8 * (start + static_cast<size_t>(n));
      EXPECT_EQ(reader.bits_consumed, static_cast<int64_t>(pos));
      EXPECT_EQ(reader.valid_bits, 32);
      for (int j = 0; j < 4; j++, pos += 24) EXPECT_EQ(read_bits(24), bits_at(file, pos, 24)) << "read " << j;
    }
  }
}

TEST_P(BitReaderAlignTest, StartCodesAcrossTheBlockBoundaryAreFoundAndReadWhole) {
  // A start code at every offset that makes it straddle bytes 2047 and 2048.
  for (size_t at = kBlockSize - 3; at <= kBlockSize; at++) {
    SCOPED_TRACE("start code at byte " + std::to_string(at));
    Bytes file = no_zeros(kBlockSize + 64, static_cast<uint32_t>(at));
    file[at] = 0x00;
    file[at + 1] = 0x00;
    file[at + 2] = 0x01;
    file[at + 3] = 0xB5;
    open(file);
    read_bits(3);
    align_to_start_code();
    EXPECT_EQ(reader.bits_consumed, static_cast<int64_t>(8 * at));
    EXPECT_EQ(read_bits32(), 0x000001B5u);
    EXPECT_EQ(read_bits(8), file[at + 4]);
  }
}

// ---- bits_consumed ----

TEST_F(BitReaderTest, BitsConsumedIsZeroAfterResetAnd32AfterTheFirstStartCode) {
  open({0x00, 0x00, 0x01, 0xB3, 0x16, 0x00});
  EXPECT_EQ(reader.bits_consumed, 0);
  align_to_start_code();
  EXPECT_EQ(read_bits32(), 0x000001B3u);
  EXPECT_EQ(reader.bits_consumed, 32);
  read_bits(8);
  restart();
  EXPECT_EQ(reader.bits_consumed, 0);
}

TEST_F(BitReaderTest, BitsConsumedDoesNotWrapPastTwoGigabits) {
  open(no_zeros(256));
  // As if 256 MiB of video had gone by already.
  int64_t base = (int64_t{1} << 31) - 4;
  reader.bits_consumed = base;
  read_bits(8);
  skip_bits32();
  EXPECT_EQ(reader.bits_consumed, base + 40);
  reader.bits_consumed = int64_t{1} << 40;
  align_to_start_code();
  read_bits(24);
  EXPECT_GT(reader.bits_consumed, int64_t{1} << 40);
}

// ---- reader_past_end ----

TEST_F(BitReaderTest, PastEndHoldsFromTheFirstByteAfterTheFile) {
  open(no_zeros(10));
  EXPECT_FALSE(reader_past_end(0, kSequenceEndCode));
  EXPECT_FALSE(reader_past_end(9, kSequenceEndCode));
  EXPECT_TRUE(reader_past_end(10, kSequenceEndCode));
  EXPECT_TRUE(reader_past_end(12, kSequenceEndCode));
  // A program stream's end is the demultiplexer's: the raw file end does not count.
  program_stream_flag = 1;
  EXPECT_FALSE(reader_past_end(12, kSequenceEndCode));
  program_stream_flag = 0;
}

TEST_F(BitReaderTest, PastEndOfAFileOfWholeBlocksHoldsOnceItsEndHasBeenRead) {
  open(no_zeros(2 * kBlockSize));
  read_bytes(kBlockSize + 100);
  EXPECT_FALSE(reader_past_end(kBlockSize + 100, kSequenceEndCode));
  read_bytes(kBlockSize);  // into the padding
  EXPECT_FALSE(reader_past_end(2 * kBlockSize - 1, kSequenceEndCode));
  EXPECT_TRUE(reader_past_end(2 * kBlockSize, kSequenceEndCode));
}

}  // namespace
