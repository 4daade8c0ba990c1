// Caption user data: the "CC" layout checks, field alternation over the whole run, parity
// and filler handling, the entry trace, and the caption clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "captions/caption_interpreter.hpp"
#include "captions/caption_memory.hpp"
#include "captions/caption_user_data.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/video_scanner.hpp"
#include "output/sami_writer.hpp"
#include "output/srt_writer.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

// A valid pair of two printable characters.
CcEntry chars(char a, char b) {
  return {0xFF, with_parity(static_cast<uint8_t>(a)), with_parity(static_cast<uint8_t>(b))};
}
const CcEntry kResumeCaptionLoading = {0xFF, 0x94, 0x20};

// The parser's own lines; the decoder's traces are left out.
std::string parser_lines(const std::string &out) {
  std::istringstream in(out);
  std::string line, kept;
  while (std::getline(in, line)) {
    for (const char *prefix : {">>  ", "CC Packet", "unexpected data following", "Unexpected tag"}) {
      if (line.rfind(prefix, 0) == 0) {
        kept += line + "\n";
        break;
      }
    }
  }
  return kept;
}

std::vector<std::string> entry_lines(const std::string &out) {
  std::istringstream in(out);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (line.rfind(">>  ", 0) == 0) lines.push_back(line);
  return lines;
}

class CaptionUserDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alarm(60);
    stream_ = dir_.path + "/stream.m2v";
    srt_ = dir_.path + "/out.srt";
    smi_ = dir_.path + "/out.smi";
    reset_components(0);
    srt_open(srt_.c_str());
    srt_start();
    sami_open(smi_.c_str());
    sami_start();
    // Pop-on loading at row 1: every character handed over is stored in order, and no
    // character asks for output.
    Resume_caption_loading();
    pen_state().row = 1;
    pen_state().column = 0;
    verbosity_level = 4;
  }
  void TearDown() override {
    sami_close();
    srt_close();
    alarm(0);
  }

  // The whole start-code loop over an elementary stream, console captured.
  std::string scan(const Bytes &bytes) {
    write_file(stream_, bytes);
    return scan_file(stream_);
  }

  // Sets the FrameRate and the GopTimeCode the way a stream does.
  void read_headers(int frame_rate_code, int hours, int minutes, int seconds, int pictures) {
    scan(StreamBuilder().sequence_header(header_with_rate(frame_rate_code)).gop(hours, minutes, seconds, pictures).bytes());
  }

  // Each payload as a user data block, handed straight to the parser; after each one the
  // reader must stand on the next start code, unconsumed.
  std::string parse(const std::vector<Bytes> &payloads) {
    StreamBuilder b;
    for (const Bytes &p : payloads) b.user_data(p);
    b.picture();
    write_file(stream_, b.bytes());
    reader.file = fopen(stream_.c_str(), "rb");
    EXPECT_NE(reader.file, nullptr);
    reset_reader();
    caption_test::capture_stdout();
    for (size_t i = 0; i < payloads.size(); i++) {
      align_to_start_code();
      EXPECT_EQ(read_bits32(), 0x000001B2u) << "block " << i;
      cc_user_data();
    }
    EXPECT_EQ(peek_bits(32), 0x00000100u);
    std::string out = caption_test::captured_stdout();
    fclose(reader.file);
    reader.file = nullptr;
    return out;
  }

  // The characters handed to the decoder so far, in order.
  std::string handed() const {
    const CaptionMemory &memory = caption_memory();
    const unsigned char *row = memory.buffers[memory.written].cells[0];
    std::string text;
    for (int c = 0; c < kCaptionColumns && row[c]; c++) text += static_cast<char>(row[c]);
    return text;
  }

  std::string sami_file() {
    sami_close();
    return read_file(smi_);
  }

  TempDir dir_{"ccdata"};
  std::string stream_, srt_, smi_;
};

// ---- Entry trace and hand-over ----

TEST_F(CaptionUserDataTest, EntryTraceShowsRawAndStrippedBytesAndFrameCount) {
  read_headers(4, 0, 1, 2, 3);
  std::string out = parse({cc_payload({{0xFF, 0x94, 0x2C}}), cc_payload({kIdle, {0xFF, 0x94, 0x2C}}, false)});
  EXPECT_EQ(parser_lines(out),
            "CC Packet\n"
            ">>  ff942c (ff142c) (IsOdd=1 oddfirst=1 time: 00:01:02.003)\n"
            "CC Packet\n"
            ">>  ff942c (ff142c) (IsOdd=1 oddfirst=0 time: 00:01:02.003)\n");
  // The pair 14 2C (erase displayed memory) reached the decoder at the start of the first
  // group, 0 on the video's timeline, whatever the labels of its time code.
  EXPECT_NE(sami_file().find("<SYNC START=\"0\">"), std::string::npos);
}

TEST_F(CaptionUserDataTest, FieldAlternationRunsOnAcrossBlocks) {
  read_headers(3, 0, 0, 10, 5);
  std::string out = parse({
      cc_payload({chars('A', 'B'), chars('C', 'D'), chars('E', 'F')}),
      cc_payload({chars('G', 'H'), chars('I', 'J')}, false),  // oddfirst selects nothing
      cc_payload({chars('K', 'L')}),
      cc_payload({chars('M', 'N')}),
  });
  EXPECT_EQ(parser_lines(out),
            "CC Packet\n"
            ">>  ffc1c2 (ff4142) (IsOdd=1 oddfirst=1 time: 00:00:10.005)\n"
            ">>  ff4546 (ff4546) (IsOdd=1 oddfirst=1 time: 00:00:10.006)\n"
            "CC Packet\n"
            ">>  ff494a (ff494a) (IsOdd=1 oddfirst=0 time: 00:00:10.005)\n"
            "CC Packet\n"
            "CC Packet\n"
            ">>  ffcdce (ff4d4e) (IsOdd=1 oddfirst=1 time: 00:00:10.005)\n");
  EXPECT_EQ(handed(), "ABEFIJMN");
}

TEST_F(CaptionUserDataTest, AlternationIsNotResetByNewHeaders) {
  StreamBuilder b;
  b.sequence_header().gop(0, 0, 1, 0).cc_block({chars('A', 'B'), chars('C', 'D'), chars('E', 'F')});
  b.sequence_header().gop(0, 0, 2, 0).cc_block({chars('G', 'H'), chars('I', 'J')});
  scan(b.bytes());
  EXPECT_EQ(handed(), "ABEFIJ");
}

TEST_F(CaptionUserDataTest, EmptyBlockPrintsOnlyItsHeading) {
  for (uint8_t count : {0x00, 0x80}) {
    SCOPED_TRACE(count);
    // An entry follows, but the count says there is none.
    EXPECT_EQ(parse({{0x43, 0x43, 0x01, 0xF8, count, 0xFF, 0xC1, 0xC2}}), "CC Packet\n");
  }
  parse({cc_payload({chars('C', 'D')})});
  EXPECT_EQ(handed(), "CD");  // still the selected phase
}

TEST_F(CaptionUserDataTest, WrongHeaderAfterTheMarkerRejectsTheBlock) {
  struct Case {
    uint8_t high, low;
    const char *message;
  };
  const Case cases[] = {
      {0x01, 0xF9, "unexpected data following CC marker (0x1f9)\n"},
      {0x00, 0x00, "unexpected data following CC marker (0x0)\n"},
      {0xF8, 0x01, "unexpected data following CC marker (0xf801)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    Bytes payload = {0x43, 0x43, c.high, c.low, 0x81, 0xFF, 0xC1, 0xC2};
    EXPECT_EQ(parse({payload}), std::string("CC Packet\n") + c.message);
  }
  EXPECT_EQ(handed(), "");
  parse({cc_payload({chars('C', 'D')})});
  EXPECT_EQ(handed(), "CD");
}

TEST_F(CaptionUserDataTest, OtherUserDataIsPassedOverSilently) {
  const std::vector<Bytes> payloads = {
      {'G', 'A', '9', '4', 0x03, 0xC1, 0xFF, 0xC1, 0xC2},
      {0x43, 0x44, 0x01, 0xF8, 0x81, 0xFF, 0xC1, 0xC2},  // "CD"
      {0x42, 0x43, 0x43, 0x01, 0xF8, 0x81, 0xFF, 0xC1},  // "CC" one byte late
      {},
  };
  EXPECT_EQ(parse(payloads), "");
  parse({cc_payload({chars('C', 'D')})});
  EXPECT_EQ(handed(), "CD");
}

// ---- Tags ----

TEST_F(CaptionUserDataTest, BadTagInASelectedEntryEndsTheBlock) {
  struct Case {
    uint8_t tag;
    const char *line;
    const char *message;
  };
  const Case cases[] = {
      {0xFC, ">>  fc942c (fc142c)", "Unexpected tag 0xfc\n"},
      {0x00, ">>  00942c (00142c)", "Unexpected tag 0x0\n"},
      {0xFD, ">>  fd942c (fd142c)", "Unexpected tag 0xfd\n"},
      {0x7F, ">>  7f942c (7f142c)", "Unexpected tag 0x7f\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<Bytes> block = {cc_payload({{c.tag, 0x94, 0x2C}, chars('A', 'B'), chars('C', 'D')})};
    EXPECT_EQ(parse(block),
              std::string("CC Packet\n") + c.line + " (IsOdd=1 oddfirst=1 time: 00:00:00.000)\n" + c.message);
  }
  EXPECT_EQ(handed(), "");
  parse({cc_payload({chars('E', 'F')})});  // no turn was taken: still selected
  EXPECT_EQ(handed(), "EF");
}

TEST_F(CaptionUserDataTest, BadTagInAnUnselectedEntryGoesUnnoticed) {
  std::string out = parse({cc_payload({chars('A', 'B'), {0xFC, 0xC1, 0xC2}, chars('C', 'D')})});
  EXPECT_EQ(parser_lines(out),
            "CC Packet\n"
            ">>  ffc1c2 (ff4142) (IsOdd=1 oddfirst=1 time: 00:00:00.000)\n"
            ">>  ff43c4 (ff4344) (IsOdd=1 oddfirst=1 time: 00:00:01.000)\n");  // frame rate 0.0
  EXPECT_EQ(handed(), "ABCD");
}

TEST_F(CaptionUserDataTest, FeTagIsTreatedLikeFf) {
  for (uint8_t tag : {0xFF, 0xFE}) {
    SCOPED_TRACE(tag);
    std::string expected = tag == 0xFF ? ">>  ffc1c2 (ff4142)" : ">>  fec1c2 (fe4142)";
    std::string out = parse({cc_payload({{tag, 0xC1, 0xC2}, kIdle})});
    EXPECT_EQ(parser_lines(out), "CC Packet\n" + expected + " (IsOdd=1 oddfirst=1 time: 00:00:00.000)\n");
  }
  EXPECT_EQ(handed(), "ABAB");
}

// ---- Parity and filler ----

TEST_F(CaptionUserDataTest, ParityFailuresAreDroppedButTakeTheirTurn) {
  read_headers(3, 0, 0, 10, 5);
  std::string out = parse({
      cc_payload({chars('A', 'B'), kIdle, {0xFF, 0x41, 0xC2}, kIdle, {0xFF, 0xC1, 0x42}, kIdle, {0xFF, 0x00, 0x80},
                  kIdle, chars('C', 'D')}),
      cc_payload({chars('E', 'F'), chars('G', 'H')}),
  });
  EXPECT_EQ(parser_lines(out),
            "CC Packet\n"
            ">>  ffc1c2 (ff4142) (IsOdd=1 oddfirst=1 time: 00:00:10.005)\n"
            ">>  ff41c2 (ff4142) (IsOdd=1 oddfirst=1 time: 00:00:10.006)\n"
            ">>  ffc142 (ff4142) (IsOdd=1 oddfirst=1 time: 00:00:10.007)\n"
            ">>  ff0080 (ff0000) (IsOdd=1 oddfirst=1 time: 00:00:10.008)\n"
            ">>  ff43c4 (ff4344) (IsOdd=1 oddfirst=1 time: 00:00:10.009)\n"
            "CC Packet\n"
            ">>  ffc7c8 (ff4748) (IsOdd=1 oddfirst=1 time: 00:00:10.005)\n");
  EXPECT_EQ(handed(), "ABCDGH");
}

// What reaches the decoder is seen through its repeat rule: a repeated control code is
// dropped unless some other pair, a 00 00 pair included, came in between.
TEST_F(CaptionUserDataTest, FillerIsNotHandedOverButEightyEightyIs) {
  struct Case {
    CcEntry between;
    size_t loads;  // resume-caption-loading commands carried out
  };
  const Case cases[] = {
      {{0xFF, 0xFF, 0xFF}, 1},
      {{0xFE, 0xFF, 0xFF}, 1},
      {{0xFF, 0x80, 0x80}, 2},
      {{0xFE, 0x80, 0x80}, 2},
      {{0xFF, 0x80, 0x00}, 1},  // 00 fails the parity test
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.between.tag) << int(c.between.byte1) << int(c.between.byte2));
    reset_caption_interpreter();
    std::string out = parse({cc_payload({kResumeCaptionLoading, kIdle, c.between, kIdle, kResumeCaptionLoading, kIdle})});
    EXPECT_EQ(count_of(out, "RCL - Resume Caption Loading"), c.loads);
    EXPECT_EQ(entry_lines(out).size(), 3u);
    EXPECT_EQ(count_of(parser_lines(out), "Unexpected"), 0u);
  }
  std::string filler = parse({cc_payload({{0xFF, 0xFF, 0xFF}, kIdle})});
  EXPECT_EQ(parser_lines(filler), "CC Packet\n>>  ffffff (ff7f7f) (IsOdd=1 oddfirst=1 time: 00:00:00.000)\n");
}

// ---- Caption clock ----

TEST_F(CaptionUserDataTest, ClockAdvancesOneFrameAtTheFrameRate) {
  struct Case {
    int code;
    int from[4];
    int to[4];
  };
  const Case cases[] = {
      {3, {0, 0, 10, 23}, {0, 0, 10, 24}},     // 25
      {3, {0, 0, 10, 24}, {0, 0, 11, 0}},
      {3, {99, 59, 59, 24}, {100, 0, 0, 0}},   // hours never wrap
      {4, {0, 0, 0, 28}, {0, 0, 0, 29}},       // 29.97
      {4, {0, 0, 59, 29}, {0, 1, 0, 0}},
      {4, {23, 59, 59, 29}, {24, 0, 0, 0}},
      {1, {0, 0, 5, 22}, {0, 0, 5, 23}},       // 23.976
      {1, {0, 0, 5, 23}, {0, 0, 6, 0}},
      {1, {0, 59, 59, 23}, {1, 0, 0, 0}},
      {2, {0, 0, 0, 23}, {0, 0, 1, 0}},        // 24
      {5, {0, 0, 0, 29}, {0, 0, 1, 0}},        // 30
      {7, {0, 0, 0, 58}, {0, 0, 0, 59}},       // 59.94
      {7, {0, 0, 0, 59}, {0, 0, 1, 0}},
      {0, {0, 0, 0, 0}, {0, 0, 1, 0}},         // 0.0: every step carries
      {0, {0, 0, 59, 7}, {0, 1, 0, 0}},
      {0, {0, 59, 59, 0}, {1, 0, 0, 0}},
      {3, {0, 0, 0, 40}, {0, 0, 1, 0}},        // frames beyond the rate carry at once
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "code " << c.code << " from " << c.from[0] << ":" << c.from[1] << ":"
                                    << c.from[2] << "." << c.from[3]);
    read_headers(c.code, 0, 0, 0, 0);
    int h = c.from[0], m = c.from[1], s = c.from[2], f = c.from[3];
    advance_caption_clock(h, m, s, f);
    EXPECT_EQ((std::vector<int>{h, m, s, f}), (std::vector<int>(c.to, c.to + 4)));
  }
}

TEST_F(CaptionUserDataTest, ClockRunsAtZeroRateBeforeAnySequenceHeader) {
  int h = 0, m = 0, s = 0, f = 5;
  advance_caption_clock(h, m, s, f);
  EXPECT_EQ((std::vector<int>{h, m, s, f}), (std::vector<int>{0, 0, 1, 0}));
}

TEST_F(CaptionUserDataTest, ClockCountsWholeMinutesAndHours) {
  struct Case {
    int code;
    int steps;
    int to[4];
  };
  const Case cases[] = {
      {1, 24 * 60, {0, 1, 0, 0}},
      {3, 25 * 3600, {1, 0, 0, 0}},
      {4, 30 * 3600 + 29, {1, 0, 0, 29}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    read_headers(c.code, 0, 0, 0, 0);
    int h = 0, m = 0, s = 0, f = 0;
    for (int i = 0; i < c.steps; i++) advance_caption_clock(h, m, s, f);
    EXPECT_EQ((std::vector<int>{h, m, s, f}), (std::vector<int>(c.to, c.to + 4)));
  }
}

// Entries 2k and 2k+1 of a block carry its starting time plus k frames.
TEST_F(CaptionUserDataTest, ClockStepsEveryTwoEntriesOfALongBlock) {
  struct Check {
    int k;
    const char *time;
  };
  struct Case {
    int code;
    int start[4];
    std::vector<Check> checks;
  };
  const Case cases[] = {
      {3, {0, 0, 10, 20}, {{0, "00:00:10.020"}, {4, "00:00:10.024"}, {5, "00:00:11.000"}, {63, "00:00:13.008"}}},
      {4, {0, 59, 59, 25}, {{4, "00:59:59.029"}, {5, "01:00:00.000"}, {35, "01:00:01.000"}, {63, "01:00:01.028"}}},
      {1, {23, 59, 59, 20}, {{3, "23:59:59.023"}, {4, "24:00:00.000"}, {63, "24:00:02.011"}}},
      {0, {0, 0, 58, 7}, {{0, "00:00:58.007"}, {1, "00:00:59.000"}, {2, "00:01:00.000"}, {63, "00:02:01.000"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    read_headers(c.code, c.start[0], c.start[1], c.start[2], c.start[3]);
    std::vector<CcEntry> entries;
    for (int i = 0; i < 127; i++) entries.push_back(marker(static_cast<uint8_t>(i)));
    std::vector<std::string> lines = entry_lines(parse({cc_payload(entries)}));
    ASSERT_EQ(lines.size(), 64u);  // entries 0, 2, ... 126
    for (const Check &check : c.checks) {
      char id[8];
      snprintf(id, sizeof id, "%02x", 2 * check.k);
      EXPECT_EQ(lines[check.k].substr(8, 2), id);
      EXPECT_NE(lines[check.k].find(std::string("time: ") + check.time + ")"), std::string::npos)
          << lines[check.k] << " for k=" << check.k;
    }
    reset_caption_user_data();  // 127 entries leave the other phase
  }
}

TEST_F(CaptionUserDataTest, PairIsStampedWithTheClockAtItsEntry) {
  read_headers(3, 0, 0, 59, 20);
  std::vector<CcEntry> entries;
  for (int i = 0; i < 12; i++) entries.push_back(marker(static_cast<uint8_t>(i)));
  entries.push_back({0xFF, 0x94, 0x2C});  // entry 12: six frames on
  entries.push_back(kIdle);
  std::string out = parse({cc_payload(entries)});
  EXPECT_EQ(entry_lines(out).back(), ">>  ff942c (ff142c) (IsOdd=1 oddfirst=1 time: 00:01:00.001)");
  // --timecode: the label that the trace shows, in milliseconds. A null pair first, so that
  // the erase is not dropped as a repeat.
  clock_from_timecode = true;
  entries[0] = {0xFF, 0x80, 0x80};
  parse({cc_payload(entries)});
  EXPECT_EQ(sami_file(), kSamiHeader + "<SYNC START=\"240\">\r\n<P class=ENCC>&nbsp;\r\n" +
                             "<SYNC START=\"60040\">\r\n<P class=ENCC>&nbsp;\r\n</BODY>\r\n</SAMI>\r\n");
}

// ---- Time codes through the scanner ----

TEST_F(CaptionUserDataTest, EveryBlockStartsFromTheLatestGroupTimeCode) {
  StreamBuilder b;
  b.sequence_header(header_with_rate(3));
  b.cc_block({chars('Y', 'Z'), kIdle});  // before any group: 00:00:00:00
  b.gop(0, 0, 10, 5).cc_block({chars('A', 'B'), kIdle, chars('C', 'D'), kIdle}).cc_block({chars('E', 'F'), kIdle});
  b.sequence_header(header_with_rate(3)).cc_block({chars('G', 'H'), kIdle});
  b.gop(0, 0, 20, 0).cc_block({chars('I', 'J'), kIdle});
  std::string out = scan(b.bytes());
  EXPECT_EQ(parser_lines(out),
            "CC Packet\n"
            ">>  ffd9da (ff595a) (IsOdd=1 oddfirst=1 time: 00:00:00.000)\n"
            "CC Packet\n"
            ">>  ffc1c2 (ff4142) (IsOdd=1 oddfirst=1 time: 00:00:10.005)\n"
            ">>  ff43c4 (ff4344) (IsOdd=1 oddfirst=1 time: 00:00:10.006)\n"
            "CC Packet\n"
            ">>  ff4546 (ff4546) (IsOdd=1 oddfirst=1 time: 00:00:10.005)\n"
            "CC Packet\n"
            ">>  ffc7c8 (ff4748) (IsOdd=1 oddfirst=1 time: 00:00:10.005)\n"
            "CC Packet\n"
            ">>  ff494a (ff494a) (IsOdd=1 oddfirst=1 time: 00:00:20.000)\n");
  EXPECT_EQ(handed(), "YZABCDEFGHIJ");
}

// ---- A count larger than the entries present ----

TEST_F(CaptionUserDataTest, LargeCountReadsTheFollowingHeaderAsEntries) {
  StreamBuilder b;
  b.sequence_header(header_with_rate(3)).gop(0, 0, 1, 2).cc_block_with_count(0x83, {chars('A', 'B')});
  b.sequence_header(header_with_rate(4)).gop(0, 0, 3, 0).cc_block({chars('C', 'D'), kIdle});
  std::string out = scan(b.bytes());
  // Entry 1 is 00 00 01; entry 2, selected, is B3 2D 01: the start code's last byte and
  // the first two bytes of the 720x480 sequence header, which is lost.
  EXPECT_EQ(parser_lines(out),
            "CC Packet\n"
            ">>  ffc1c2 (ff4142) (IsOdd=1 oddfirst=1 time: 00:00:01.002)\n"
            ">>  b32d01 (b32d01) (IsOdd=1 oddfirst=1 time: 00:00:01.003)\n"
            "Unexpected tag 0xb3\n"
            "CC Packet\n"
            ">>  ff43c4 (ff4344) (IsOdd=1 oddfirst=1 time: 00:00:03.000)\n");
  EXPECT_EQ(count_of(out, "sequence header (byte"), 1u);
  EXPECT_EQ(caption_clock_frame_rate(), 25.0f);
  EXPECT_EQ(handed(), "ABCD");
}

TEST_F(CaptionUserDataTest, LargeCountSwallowsTheNextUserDataBlock) {
  StreamBuilder b;
  b.gop(0, 0, 1, 2).cc_block_with_count(0x82, {chars('A', 'B')}).cc_block({chars('C', 'D'), kIdle});
  b.gop(0, 0, 2, 0).cc_block({chars('E', 'F'), kIdle});
  std::string out = scan(b.bytes());
  EXPECT_EQ(count_of(out, "user data\n"), 2u);
  EXPECT_EQ(entry_lines(out).size(), 2u);
  EXPECT_EQ(handed(), "ABEF");
}

}  // namespace
