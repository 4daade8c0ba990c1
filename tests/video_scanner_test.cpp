// Video header scanner: header traces, byte positions, frame rates, progress dots, the
// extension and user-data loop after headers, and how an elementary-stream run ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "captions/caption_interpreter.hpp"
#include "captions/caption_memory.hpp"
#include "captions/caption_user_data.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/video_scanner.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

uint32_t float_bits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The trace of marker(id): markers never reach the decoder, so these tests see the scanner
// and parser only.
std::string marker_line(uint8_t id, const char *time) {
  char text[128];
  snprintf(text, sizeof text, ">>  ff03%02x (ff03%02x) (IsOdd=1 oddfirst=1 time: %s)\n", id, id, time);
  return text;
}

long long here(const StreamBuilder &b) { return static_cast<long long>(b.bytes().size()); }

class VideoScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alarm(120);  // a scan that never returns fails instead of hanging
    path_ = dir_.path + "/stream.m2v";
    reset_components(4);
  }
  void TearDown() override { alarm(0); }

  // The whole start-code loop over the bytes as an elementary stream, console captured.
  std::string scan(const Bytes &bytes, int verbosity = 4) {
    write_file(path_, bytes);
    return scan_file(verbosity);
  }
  std::string scan_file(int verbosity = 4) {
    program_stream_flag = 0;
    verbosity_level = verbosity;
    return caption_test::scan_file(path_);
  }

  TempDir dir_{"scanner"};
  std::string path_;
};

// ---- Header traces ----

TEST_F(VideoScannerTest, SequenceHeaderTraceListsEveryField) {
  EXPECT_EQ(scan(StreamBuilder().sequence_header().bytes()),
            "sequence header (byte 0)\n"
            "  horizontal_size=720\n"
            "  vertical_size=480\n"
            "  aspect_ratio_information=2\n"
            "  frame_rate_code=4  bit_rate_value=20000\n"
            "  vbv_buffer_size=112\n"
            "  constrained_parameters_flag=0\n"
            "  load_intra_quantizer_matrix=0\n"
            "  load_non_intra_quantizer_matrix=0\n");
}

TEST_F(VideoScannerTest, SequenceHeaderFieldsAtTheirFullWidths) {
  SequenceHeader h;
  h.horizontal_size = 4095;
  h.vertical_size = 1;
  h.aspect_ratio_information = 15;
  h.frame_rate_code = 3;
  h.bit_rate_value = 262143;
  h.vbv_buffer_size = 1023;
  h.constrained_parameters_flag = 1;
  h.intra_matrix = true;
  EXPECT_EQ(scan(StreamBuilder().sequence_header(h).bytes()),
            "sequence header (byte 0)\n"
            "  horizontal_size=4095\n"
            "  vertical_size=1\n"
            "  aspect_ratio_information=15\n"
            "  frame_rate_code=3  bit_rate_value=262143\n"
            "  vbv_buffer_size=1023\n"
            "  constrained_parameters_flag=1\n"
            "  load_intra_quantizer_matrix=1\n"
            "  load_non_intra_quantizer_matrix=0\n");
}

TEST_F(VideoScannerTest, GroupOfPicturesTraceListsEveryField) {
  TimeCode first = time_code(1, 2, 3, 4);
  TimeCode second = time_code(23, 59, 58, 29);
  second.drop_flag = 1;
  second.closed_gop = 0;
  second.broken_link = 1;
  TimeCode widest = time_code(31, 63, 63, 63);  // read as they come, nothing validated
  EXPECT_EQ(scan(StreamBuilder().gop(first).gop(second).gop(widest).bytes()),
            "group of pictures (byte 0)\n"
            "  drop_flag=0\n"
            "  timecode 1:02:03:04\n"
            "  closed_gop=1\n"
            "  broken_link=0\n"
            "group of pictures (byte 8)\n"
            "  drop_flag=1\n"
            "  timecode 23:59:58:29\n"
            "  closed_gop=0\n"
            "  broken_link=1\n"
            "group of pictures (byte 16)\n"
            "  drop_flag=0\n"
            "  timecode 31:63:63:63\n"
            "  closed_gop=1\n"
            "  broken_link=0\n");
  EXPECT_EQ(gop_time_code().hours, 31);
  EXPECT_EQ(gop_time_code().pictures, 63);
}

TEST_F(VideoScannerTest, TraceDetailFollowsVerbosity) {
  Bytes stream = StreamBuilder().sequence_header().gop(0, 0, 1, 2).cc_block({marker(0x11), kIdle}).bytes();
  EXPECT_EQ(scan(stream, 2), "sequence header (byte 0)\ngroup of pictures (byte 12)\nuser data\nCC Packet\n" +
                                 marker_line(0x11, "00:00:01.002"));
  reset_caption_user_data();
  EXPECT_EQ(scan(stream, 1), "CC Packet\n" + marker_line(0x11, "00:00:01.002"));
  reset_caption_user_data();
  EXPECT_EQ(scan(stream, 0), "");
}

// A quantiser matrix is read past in full: a fake "CC" block planted inside the matrix
// bytes is found only by a scanner that stops short of the header's end.
TEST_F(VideoScannerTest, QuantiserMatricesAreReadPastWhole) {
  struct Case {
    bool intra, non_intra;
    size_t payload;                // bytes after the start code
    std::vector<size_t> planted;  // offsets after the start code
  };
  const Case cases[] = {
      {false, false, 8, {}},
      {true, false, 72, {16}},
      {false, true, 72, {16}},
      {true, true, 136, {16, 80}},
  };
  const Bytes fake = {0x00, 0x00, 0x01, 0xB2, 0x43, 0x43, 0x01, 0xF8, 0x81, 0xFF, 0x03, 0x7E};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "intra " << c.intra << " non-intra " << c.non_intra);
    SequenceHeader h;
    h.intra_matrix = c.intra;
    h.non_intra_matrix = c.non_intra;
    Bytes header = StreamBuilder().sequence_header(h).bytes();
    ASSERT_EQ(header.size(), 4 + c.payload);
    for (size_t at : c.planted) std::copy(fake.begin(), fake.end(), header.begin() + static_cast<long>(4 + at));

    StreamBuilder b;
    b.raw(header).cc_block({marker(0x21), kIdle});
    long long gop_at = here(b);
    b.gop(0, 0, 7, 0);
    reset_video_scanner();  // the user data takes the time code of the group before it
    EXPECT_EQ(scan(b.bytes()), sequence_trace(0, h) + "user data\nCC Packet\n" + marker_line(0x21, "00:00:00.000") +
                                   gop_trace(gop_at, time_code(0, 0, 7, 0)));
  }
}

// ---- Byte positions ----

TEST_F(VideoScannerTest, BytePositionsCountFromTheFirstByteAcrossBlocks) {
  StreamBuilder b;
  b.raw({0xAA, 0x00, 0x00, 0x12, 0x00});  // junk, zeros included, before the first start code
  b.sequence_header();
  b.raw(Bytes(2046 - here(b), 0xAA));  // start code split 2 + 2 over the block boundary
  b.gop(0, 0, 0, 1);
  b.raw(Bytes(4096 - here(b), 0xAA));  // starts a block
  b.gop(0, 0, 0, 2);
  b.raw(Bytes(6141 - here(b), 0xAA));  // split 3 + 1
  b.gop(0, 0, 0, 3);
  b.raw(Bytes(8180 - here(b), 0xAA));
  b.gop(0, 0, 0, 4);
  b.cc_block({marker(0x31), kIdle, marker(0x32), kIdle});  // bytes 8188 to 8208, across 8192
  b.raw(Bytes(3, 0xAA));
  EXPECT_EQ(scan(b.bytes(), 2),
            "sequence header (byte 5)\n"
            "group of pictures (byte 2046)\n"
            "group of pictures (byte 4096)\n"
            "group of pictures (byte 6141)\n"
            "group of pictures (byte 8180)\n"
            "user data\nCC Packet\n" +
                marker_line(0x31, "00:00:00.004") + marker_line(0x32, "00:00:00.005"));
}

// Positions past 2^31 bits (256 MiB) and 2^32 bits (512 MiB) are printed in full.
TEST_F(VideoScannerTest, BytePositionsBeyondFiveHundredMegabytes) {
  const long long far = (512LL << 20) + 36;
  {
    FILE *f = fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    Bytes head = StreamBuilder().sequence_header().bytes();
    fwrite(head.data(), 1, head.size(), f);
    ASSERT_EQ(ftruncate(fileno(f), far), 0);  // zeros, no start code, sparse on disk
    ASSERT_EQ(fseek(f, 0, SEEK_END), 0);
    Bytes tail = StreamBuilder().gop(0, 0, 0, 9).bytes();
    fwrite(tail.data(), 1, tail.size(), f);
    ASSERT_EQ(fclose(f), 0);
  }
  EXPECT_EQ(scan_file(2), "sequence header (byte 0)\ngroup of pictures (byte 536870948)\n");
  EXPECT_EQ(gop_time_code().pictures, 9);
}

// ---- Frame rates ----

struct RateCase {
  int code;
  uint32_t bits;
  int64_t period;  // 27 MHz ticks per frame
};
const RateCase kRates[] = {
    {0, 0x00000000, 0},        {1, 0x41BFCEE5, 1126125},  {2, 0x41C00000, 1125000},  {3, 0x41C80000, 1080000},
    {4, 0x41EFC29E, 900900},   {5, 0x41F00000, 900000},   {6, 0x42480000, 540000},   {7, 0x426FC29E, 450450},
    {8, 0x42700000, 450000},   {9, 0x42700000, 450000},   {10, 0x42700000, 450000},  {11, 0x42700000, 450000},
    {12, 0x42700000, 450000},  {13, 0x42700000, 450000},  {14, 0x42700000, 450000},  {15, 0x42700000, 450000},
};

TEST_F(VideoScannerTest, FrameRateTableGivesExactFloats) {
  for (const RateCase &r : kRates) {
    SCOPED_TRACE(r.code);
    EXPECT_EQ(float_bits(frame_rate_for_code(r.code)), r.bits);
  }
}

TEST_F(VideoScannerTest, SequenceHeaderSetsTheFrameRateAndPeriod) {
  EXPECT_EQ(float_bits(caption_clock_frame_rate()), 0u);
  EXPECT_EQ(frame_period_ticks(), 0);
  for (const RateCase &r : kRates) {
    SCOPED_TRACE(r.code);
    // Start from a different rate each time, so a header that sets nothing is seen.
    scan(StreamBuilder().sequence_header(header_with_rate(r.code == 3 ? 5 : 3)).bytes());
    std::string out = scan(StreamBuilder().sequence_header(header_with_rate(r.code)).bytes());
    EXPECT_NE(out.find("  frame_rate_code=" + std::to_string(r.code) + "  bit_rate_value=20000\n"), std::string::npos);
    EXPECT_EQ(float_bits(caption_clock_frame_rate()), r.bits);
    EXPECT_EQ(frame_period_ticks(), r.period);
  }
}

// ---- Progress dots ----

TEST_F(VideoScannerTest, ProgressDotForEachNewMultipleOfFiveMinutes) {
  struct Case {
    std::vector<int> minutes;
    std::vector<bool> dot;
  };
  const Case cases[] = {
      {{0, 0, 4, 5, 5, 9, 10, 59, 0}, {false, false, false, true, false, false, true, false, true}},
      {{0}, {false}},
      {{5, 5}, {true, false}},
      {{10, 15, 15, 20}, {true, true, false, true}},
      {{3, 0, 0}, {false, true, false}},
      {{55, 59, 1, 2}, {true, false, false, false}},
  };
  for (const Case &c : cases) {
    StreamBuilder b;
    std::string expected;
    for (size_t i = 0; i < c.minutes.size(); i++) {
      if (c.dot[i]) expected += ".";
      expected += "group of pictures (byte " + std::to_string(here(b)) + ")\n";
      b.gop(1, c.minutes[i], 30, 0);
    }
    reset_video_scanner();
    EXPECT_EQ(scan(b.bytes(), 2), expected) << "minutes[0]=" << c.minutes[0];
  }
}

TEST_F(VideoScannerTest, ProgressDotsPrintedAtEveryVerbosity) {
  StreamBuilder b;
  for (int m : {0, 0, 4, 5, 5, 9, 10, 59, 0}) b.gop(0, m, 0, 0);
  EXPECT_EQ(scan(b.bytes(), 0), "...");
}

// ---- Extensions and user data after headers ----

TEST_F(VideoScannerTest, ExtensionsPassedOverAndUserDataTakesTheLatestTimeCode) {
  StreamBuilder b;
  b.gop(1, 2, 3, 4);
  long long seq_at = here(b);
  b.sequence_header().sequence_extension().sequence_extension().cc_block({marker(0x01), kIdle});
  long long gop_at = here(b);
  b.gop(1, 2, 4, 5).cc_block({marker(0x02), kIdle}).picture().cc_block({marker(0x03), kIdle});
  EXPECT_EQ(scan(b.bytes()), gop_trace(0, time_code(1, 2, 3, 4)) + sequence_trace(seq_at, SequenceHeader()) +
                                 "user data\nCC Packet\n" + marker_line(0x01, "01:02:03.004") +
                                 gop_trace(gop_at, time_code(1, 2, 4, 5)) + "user data\nCC Packet\n" +
                                 marker_line(0x02, "01:02:04.005"));
}

TEST_F(VideoScannerTest, ExtensionsAndUserDataInAnyOrderAfterAHeader) {
  StreamBuilder b;
  b.gop(0, 0, 2, 0).cc_block({marker(0x01), kIdle}).sequence_extension().user_data({0x47, 0x41, 0x39, 0x34, 0x03});
  b.sequence_extension().cc_block({marker(0x02), kIdle});
  std::string out = scan(b.bytes());
  EXPECT_EQ(out, gop_trace(0, time_code(0, 0, 2, 0)) + "user data\nCC Packet\n" + marker_line(0x01, "00:00:02.000") +
                     "user data\nuser data\nCC Packet\n" + marker_line(0x02, "00:00:02.000"));
}

TEST_F(VideoScannerTest, UserDataBeforeAnySequenceHeaderUsesFrameRateZero) {
  Bytes stream = StreamBuilder().gop(0, 0, 5, 10).cc_block({marker(0x01), kIdle, marker(0x02), kIdle}).bytes();
  EXPECT_EQ(scan(stream), gop_trace(0, time_code(0, 0, 5, 10)) + "user data\nCC Packet\n" +
                              marker_line(0x01, "00:00:05.010") + marker_line(0x02, "00:00:06.000"));
  EXPECT_EQ(float_bits(caption_clock_frame_rate()), 0u);
}

TEST_F(VideoScannerTest, UserDataNotAfterASequenceOrGroupHeaderIsNeverRead) {
  struct Case {
    const char *name;
    Bytes stream;
  };
  const std::vector<CcEntry> lost = {marker(0x66), kIdle};
  const Case cases[] = {
      {"at the start", StreamBuilder().cc_block(lost).bytes()},
      {"after a picture", StreamBuilder().gop(0, 0, 1, 0).picture().cc_block(lost).bytes()},
      {"after a slice", StreamBuilder().gop(0, 0, 1, 0).picture().slice(40).cc_block(lost).bytes()},
      {"after a sequence end", StreamBuilder().sequence_header().sequence_end().cc_block(lost).bytes()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StreamBuilder b;
    b.raw(c.stream).gop(0, 0, 9, 0).cc_block({marker(0x77), kIdle});
    reset_caption_user_data();
    std::string out = scan(b.bytes());
    EXPECT_EQ(count_of(out, "user data\n"), 1u);
    EXPECT_EQ(out.find("ff0366"), std::string::npos);
    EXPECT_NE(out.find(marker_line(0x77, "00:00:09.000")), std::string::npos);
  }
}

// ---- End of the stream ----

TEST_F(VideoScannerTest, SequenceEndCodeInsideTheStreamIsPassedOver) {
  StreamBuilder b;
  b.sequence_header().sequence_end();
  long long gop_at = here(b);
  b.gop(0, 0, 3, 1).cc_block({marker(0x05), kIdle}).sequence_end();
  long long seq_at = here(b);
  b.sequence_header(header_with_rate(3));
  EXPECT_EQ(scan(b.bytes()), sequence_trace(0, SequenceHeader()) + gop_trace(gop_at, time_code(0, 0, 3, 1)) +
                                 "user data\nCC Packet\n" + marker_line(0x05, "00:00:03.001") +
                                 sequence_trace(seq_at, header_with_rate(3)));
  EXPECT_EQ(caption_clock_frame_rate(), 25.0f);
}

TEST_F(VideoScannerTest, ScanReturnsAtTheEndOfTheFile) {
  struct Case {
    Bytes tail;
    std::string trace;  // of what the tail adds
  };
  const Case cases[] = {
      {{}, ""},
      {{0xAA}, ""},
      {Bytes(2040, 0xAA), ""},  // exactly one block: the end shows only at the next read
      {{0x00, 0x00}, ""},
      {{0x00, 0x00, 0x01}, ""},        // with its zero padding a picture start code, passed over
      {{0x00, 0x00, 0x01, 0xB7}, ""},  // a real sequence end code last
      // A truncated sequence header, read on from the padding 00 00 00 | 00 00 01 B7 ...
      {{0x00, 0x00, 0x01, 0xB3, 0x2D},
       "sequence header (byte 8)\n  horizontal_size=720\n  vertical_size=0\n  aspect_ratio_information=0\n"
       "  frame_rate_code=0  bit_rate_value=0\n  vbv_buffer_size=54\n  constrained_parameters_flag=1\n"
       "  load_intra_quantizer_matrix=1\n  load_non_intra_quantizer_matrix=1\n"},
      // A real start code last: its header is read from the padding 00 00 01 B7.
      {{0x00, 0x00, 0x01, 0xB8},
       "group of pictures (byte 8)\n  drop_flag=0\n  timecode 0:00:00:03\n  closed_gop=0\n  broken_link=1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "tail of " << c.tail.size() << " bytes");
    StreamBuilder b;
    b.gop(0, 0, 1, 0).raw(c.tail);
    EXPECT_EQ(scan(b.bytes()), gop_trace(0, time_code(0, 0, 1, 0)) + c.trace);
  }
}

TEST_F(VideoScannerTest, EntryCountRunningPastTheEndOfTheFile) {
  // Ends at byte 32, so the padding is 00 00 01 B7 repeated; the count promises 5 entries.
  Bytes stream = StreamBuilder()
                     .sequence_header(header_with_rate(3))
                     .gop(0, 0, 1, 5)
                     .cc_block_with_count(0x85, {marker(0x09)})
                     .bytes();
  ASSERT_EQ(stream.size(), 32u);
  // Entry 1 is 00 00 01 (not selected); entry 2, B7 00 00, is selected one frame on and
  // its tag ends the block.
  EXPECT_EQ(scan(stream), sequence_trace(0, header_with_rate(3)) + gop_trace(12, time_code(0, 0, 1, 5)) +
                              "user data\nCC Packet\n" + marker_line(0x09, "00:00:01.005") +
                              ">>  b70000 (b70000) (IsOdd=1 oddfirst=1 time: 00:00:01.006)\nUnexpected tag 0xb7\n");
}

}  // namespace
