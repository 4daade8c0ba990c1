// The caption command interpreter driven pair by pair, with both writers open on
// temporary files so that every output request is visible in the SAMI file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "captions/caption_interpreter.hpp"
#include "captions/caption_time.hpp"
#include "captions/caption_memory.hpp"
#include "mpeg/video_scanner.hpp"
#include "output/sami_writer.hpp"
#include "output/srt_writer.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;
using Pairs = std::vector<std::pair<unsigned, unsigned>>;

std::string without_cr(std::string text) {
  std::string out;
  for (char c : text)
    if (c != '\r') out += c;
  return out;
}

class CaptionInterpreterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    srt_path_ = dir_.path + "/captions.srt";
    sami_path_ = dir_.path + "/captions.smi";
    restart();
  }
  void TearDown() override { close_writers(); }

  // A fresh decoder with both writers open on empty files.
  void restart() {
    close_writers();
    reset_components(4);
    srt_open(srt_path_.c_str());
    srt_start();
    sami_open(sami_path_.c_str());
    sami_start();
  }
  void close_writers() {
    int level = verbosity_level;
    verbosity_level = 0;
    sami_close();
    srt_close();
    verbosity_level = level;
  }

  // The SAMI synchronisation lines and paragraphs written since the last call.
  std::string take_sami() {
    sami_close();
    std::string text = without_cr(read_file(sami_path_));
    sami_open(sami_path_.c_str());
    sami_start();
    size_t body = text.find("<BODY>\n");
    size_t end = text.rfind("</BODY>\n");
    if (body == std::string::npos || end == std::string::npos) return "(malformed SAMI file)";
    body += std::strlen("<BODY>\n");
    return text.substr(body, end - body);
  }
  size_t outputs() { return count_of(take_sami(), "<SYNC START="); }

  // pair and pairs keep their traces off the console; traced returns them.
  static void pair(unsigned b1, unsigned b2) { traced(b1, b2); }
  static void pairs(const Pairs &list) { traced(list); }
  static std::string traced(unsigned b1, unsigned b2, int64_t time_ms = 0) {
    caption_test::capture_stdout();
    Decode_pair(time_ms * kTicksPerMillisecond, b1, b2);
    return caption_test::captured_stdout();
  }
  static std::string traced(const Pairs &list) {
    caption_test::capture_stdout();
    for (const auto &p : list) Decode_pair(0, p.first, p.second);
    return caption_test::captured_stdout();
  }

  TempDir dir_{"caption-interpreter"};
  std::string srt_path_, sami_path_;
};

// Frequently used pairs.
const std::pair<unsigned, unsigned> kRCL{0x14, 0x20}, kRU2{0x14, 0x25}, kRU3{0x14, 0x26}, kRU4{0x14, 0x27},
    kRDC{0x14, 0x29}, kEDM{0x14, 0x2C}, kCR{0x14, 0x2D}, kENM{0x14, 0x2E}, kEOC{0x14, 0x2F}, kDER{0x14, 0x24},
    kRow15{0x14, 0x70}, kRow14{0x14, 0x50};

TEST_F(CaptionInterpreterTest, PopOnCaptionEndToEnd) {
  EXPECT_EQ(traced(0x14, 0x20, 1000), "RCL - Resume Caption Loading \"PopOnMode\"\n");
  EXPECT_EQ(traced(0x14, 0x20, 1000), "");  // the transmitted second copy
  EXPECT_EQ(traced(0x14, 0x72, 1040), "Base row set to 15\nRow=> 15, Column=4\n");
  EXPECT_EQ(traced(0x48, 0x69, 1040),
            "Addchar: buffer=0, ch=H row=15, col=4\nCH: H (48)--> Buffer 0, row 15 col 4\n"
            "Addchar: buffer=0, ch=i row=15, col=5\nCH: i (69)--> Buffer 0, row 15 col 5\n");
  EXPECT_EQ(traced(0x14, 0x50, 1080), "Base row set to 14\nRow=> 14, Column=0\n");
  EXPECT_EQ(traced(0x59, 0x6F, 1080),
            "Addchar: buffer=0, ch=Y row=14, col=0\nCH: Y (59)--> Buffer 0, row 14 col 0\n"
            "Addchar: buffer=0, ch=o row=14, col=1\nCH: o (6f)--> Buffer 0, row 14 col 1\n");
  EXPECT_EQ(cells_of(0, 15), row_with("Hi", 4));
  EXPECT_EQ(cells_of(0, 14), row_with("Yo"));
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(caption_memory().has_content[0], 1);
  EXPECT_EQ(caption_memory().has_content[1], 0);
  EXPECT_EQ(outputs(), 0u);  // loading a pop-on caption shows nothing

  // End of caption: the loaded buffer is shown; the SRT writer only remembers it.
  EXPECT_EQ(traced(0x14, 0x2F, 2200), "End Caption\nOutput row 14 to SAMI file\nOutput row 15 to SAMI file\n");
  EXPECT_EQ(traced(0x14, 0x2F, 2200), "");
  EXPECT_EQ(caption_memory().displayed, 0);
  EXPECT_EQ(caption_memory().non_displayed, 1);
  EXPECT_EQ(caption_memory().written, 0);
  EXPECT_EQ(pen_state().row, 0);
  EXPECT_EQ(pen_state().column, 0);
  EXPECT_FALSE(output_pending());

  // A character after the end of caption, with no new mode command, is dropped.
  EXPECT_EQ(traced(0x58, 0x00, 3000), "Addchar: buffer=0, ch=X row=0, col=0\n");

  // Erasing the display closes the SRT entry of the caption.
  EXPECT_EQ(traced(0x14, 0x2C, 4400),
            "Outputting blank row to SAMI file\nOutput row 14 to SRT file\nOutput row 15 to SRT file\n");
  EXPECT_TRUE(buffer_is_empty(0));
  EXPECT_EQ(caption_memory().has_content[0], 0);
  EXPECT_EQ(take_sami(),
            "<SYNC START=\"2200\">\n<P class=ENCC>Yo<BR>\nHi<BR>\n"
            "<SYNC START=\"4400\">\n<P class=ENCC>&nbsp;\n");
  srt_close();
  EXPECT_EQ(without_cr(read_file(srt_path_)), "1       \n00:00:02,200 --> 00:00:04,400\nYo\n    Hi\n\n");
  srt_open(srt_path_.c_str());
  srt_start();
}

TEST_F(CaptionInterpreterTest, RollUpCaptionIsWrittenAfterEveryPairThatChangesIt) {
  pairs({kRU2, kRU2, kRow15});
  EXPECT_EQ(caption_mode().roll_up_rows, 2);
  EXPECT_EQ(caption_memory().written, 1);
  EXPECT_EQ(outputs(), 0u);
  // Two characters of one pair give one output.
  EXPECT_EQ(traced(0x41, 0x42),
            "Addchar: buffer=1, ch=A row=15, col=0\nCH: A (41)--> Buffer 1, row 15 col 0\n"
            "Addchar: buffer=1, ch=B row=15, col=1\nCH: B (42)--> Buffer 1, row 15 col 1\n"
            "Output row 15 to SAMI file\n");
  EXPECT_FALSE(output_pending());
  EXPECT_EQ(traced(0x14, 0x2D),
            "[CR]\ncopying line 15 to line 14\nclearing line 15\n"
            "Output row 14 to SAMI file\nOutput row 15 to SRT file\n");
  EXPECT_EQ(traced(0x43, 0x00),
            "Addchar: buffer=1, ch=C row=15, col=0\nCH: C (43)--> Buffer 1, row 15 col 0\n"
            "Output row 14 to SAMI file\nOutput row 15 to SAMI file\nOutput row 14 to SRT file\n");
  EXPECT_EQ(cells_of(1, 14), row_with("AB"));
  EXPECT_EQ(cells_of(1, 15), row_with("C"));
  EXPECT_EQ(take_sami(),
            "<SYNC START=\"0\">\n<P class=ENCC>AB<BR>\n"
            "<SYNC START=\"0\">\n<P class=ENCC>AB<BR>\n"
            "<SYNC START=\"0\">\n<P class=ENCC>AB<BR>\nC<BR>\n");
}

TEST_F(CaptionInterpreterTest, RollUpCodesSetTheWindowDepthAndCarriageReturnStaysInsideRowsOneToFifteen) {
  struct Case {
    std::pair<unsigned, unsigned> roll_up, address;
    int rows;
    const char *carriage_return_trace;
  };
  const Case cases[] = {
      {kRU2, {0x14, 0x70}, 2, "[CR]\ncopying line 15 to line 14\nclearing line 15\n"},
      {kRU3, {0x14, 0x70}, 3, "[CR]\ncopying line 14 to line 13\ncopying line 15 to line 14\nclearing line 15\n"},
      {kRU4, {0x14, 0x70}, 4,
       "[CR]\ncopying line 13 to line 12\ncopying line 14 to line 13\ncopying line 15 to line 14\nclearing line 15\n"},
      {kRU2, {0x11, 0x60}, 2, "[CR]\ncopying line 2 to line 1\nclearing line 2\n"},
      {kRU3, {0x11, 0x60}, 3, "[CR]\ncopying line 2 to line 1\nclearing line 2\n"},
      {kRU4, {0x11, 0x60}, 4, "[CR]\ncopying line 2 to line 1\nclearing line 2\n"},
      {kRU2, {0x11, 0x40}, 2, "[CR]\nclearing line 1\n"},
      {kRU3, {0x11, 0x40}, 3, "[CR]\nclearing line 1\n"},
      {kRU4, {0x11, 0x40}, 4, "[CR]\nclearing line 1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.carriage_return_trace);
    restart();
    pairs({c.roll_up, c.address, {0x4D, 0x65}});  // "Me" on the base row
    EXPECT_EQ(caption_mode().roll_up_rows, c.rows);
    take_sami();
    const int base = pen_state().row;
    // Then the SAMI writer shows what is left, and the SRT writer closes the "Me" entry.
    std::string writers = base > 1 ? "Output row " + std::to_string(base - 1) + " to SAMI file\n"
                                   : std::string("Outputting blank row to SAMI file\n");
    writers += "Output row " + std::to_string(base) + " to SRT file\n";
    EXPECT_EQ(traced(0x14, 0x2D), c.carriage_return_trace + writers);
    EXPECT_EQ(cells_of(1, base), kEmptyRow);
    if (base > 1) {
      EXPECT_EQ(cells_of(1, base - 1), row_with("Me"));
    }
    EXPECT_EQ(outputs(), 1u);
  }
}

// Paint-on text is shown as it is painted (direct captioning), so it is written after every
// pair that adds to it, as roll-up text is; an erase that follows no longer loses it.
TEST_F(CaptionInterpreterTest, PaintOnCaptionIsWrittenAfterEveryPairThatAddsText) {
  EXPECT_EQ(traced({kRDC, kRDC}), "[RDC - Resume direct captioning]\n");
  EXPECT_EQ(traced(0x12, 0x44), "Base row set to 3\nRow=> 3, Column=0\n");
  EXPECT_EQ(traced(0x6F, 0x6B),
            "Addchar: buffer=1, ch=o row=3, col=0\nCH: o (6f)--> Buffer 1, row 3 col 0\n"
            "Addchar: buffer=1, ch=k row=3, col=1\nCH: k (6b)--> Buffer 1, row 3 col 1\n"
            "Output row 3 to SAMI file\n");
  EXPECT_EQ(cells_of(1, 3), row_with("ok"));
  EXPECT_EQ(traced(0x14, 0x2C), "Outputting blank row to SAMI file\nOutput row 3 to SRT file\n");
  EXPECT_EQ(take_sami(), "<SYNC START=\"0\">\n<P class=ENCC>ok<BR>\n<SYNC START=\"0\">\n<P class=ENCC>&nbsp;\n");
  srt_close();
  EXPECT_EQ(without_cr(read_file(srt_path_)), "1       \n00:00:00,000 --> 00:00:00,000\nok\n\n");
  srt_open(srt_path_.c_str());
  srt_start();
}

TEST_F(CaptionInterpreterTest, DirectlyRepeatedControlCodeIsCarriedOutOnce) {
  struct Case {
    const char *name;
    Pairs between;
    size_t outputs;
  };
  const Case cases[] = {
      {"nothing", {}, 1},
      {"filler 00 00", {{0x00, 0x00}}, 2},
      {"filler 20 20", {{0x20, 0x20}}, 2},
      {"a dropped character", {{0x41, 0x00}}, 2},
      {"a background attribute", {{0x10, 0x25}}, 2},
      {"a channel-2 erase", {{0x1C, 0x2C}}, 2},
      {"another control code", {{0x14, 0x2E}}, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    pair(kEDM.first, kEDM.second);
    pairs(c.between);
    pair(kEDM.first, kEDM.second);
    EXPECT_EQ(outputs(), c.outputs);
  }
}

TEST_F(CaptionInterpreterTest, RepeatedEndOfCaptionFlipsOnce) {
  pairs({kRCL, kRow15, {0x48, 0x69}, kEOC, kEOC});
  EXPECT_EQ(caption_memory().displayed, 0);
  EXPECT_EQ(outputs(), 1u);
  pairs({kRCL, kRow15, {0x48, 0x69}, kEOC, {0x00, 0x00}, kEOC});
  EXPECT_EQ(caption_memory().displayed, 0);  // flipped twice
  EXPECT_EQ(outputs(), 2u);
}

TEST_F(CaptionInterpreterTest, RepeatedCopyAndFillerSkipTheOutputCheck) {
  pair(kEDM.first, kEDM.second);
  ASSERT_EQ(outputs(), 1u);
  Erase_displayed_memory();  // a request that only a checked pair would serve
  pair(kEDM.first, kEDM.second);
  EXPECT_TRUE(output_pending());
  pair(0x00, 0x00);
  pair(0x20, 0x20);
  EXPECT_TRUE(output_pending());
  EXPECT_EQ(outputs(), 0u);
  pair(0x10, 0x25);  // any other pair ends with the check
  EXPECT_FALSE(output_pending());
  EXPECT_EQ(outputs(), 1u);
}

// Encoders send every code twice: the copy of a code that would act again is dropped
// (miscellaneous control codes, mid-row codes, special characters, tab offsets)...
TEST_F(CaptionInterpreterTest, DirectlyRepeatedMidRowCodeSpecialCharacterAndTabOffsetActOnce) {
  struct Case {
    const char *name;
    Pairs sent;
    std::string row15;  // from column 0
    int column;
  };
  const Case cases[] = {
      {"special character twice", {{0x11, 0x37}, {0x11, 0x37}}, "#", 1},
      {"special character three times", {{0x11, 0x32}, {0x11, 0x32}, {0x11, 0x32}}, "\xBD", 1},
      {"special character, filler, again", {{0x11, 0x37}, {0x00, 0x00}, {0x11, 0x37}}, "##", 2},
      {"two different special characters", {{0x11, 0x37}, {0x11, 0x30}}, "#\xAE", 2},
      {"mid-row code twice", {{0x11, 0x2E}, {0x11, 0x2E}, {0x41, 0x00}}, " A", 2},
      {"mid-row code, letter, again", {{0x11, 0x20}, {0x41, 0x00}, {0x11, 0x20}}, " A ", 3},
      {"tab offset 1 twice", {{0x17, 0x21}, {0x17, 0x21}}, "", 1},
      {"tab offset 3 twice", {{0x17, 0x23}, {0x17, 0x23}}, "", 3},
      {"tab offset 2, filler, again", {{0x17, 0x22}, {0x20, 0x20}, {0x17, 0x22}}, "", 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    restart();
    pairs({kRCL, kRow15});
    pairs(c.sent);
    EXPECT_EQ(cells_of(0, 15), c.row15.empty() ? kEmptyRow : row_with(c.row15));
    EXPECT_EQ(pen_state().column, c.column);
  }
  // The dropped copy prints nothing.
  restart();
  pairs({kRCL, kRow15, {0x17, 0x21}});
  EXPECT_EQ(traced(0x17, 0x21), "");
}

// ...while codes whose repeat changes nothing act and trace twice.
TEST_F(CaptionInterpreterTest, RepeatedPreambleAddressAndAttributeCodesActTwice) {
  pairs({kRDC, kRow15});
  EXPECT_EQ(traced({{0x14, 0x70}, {0x14, 0x70}}),
            "Base row set to 15\nRow=> 15, Column=0\nBase row set to 15\nRow=> 15, Column=0\n");
  EXPECT_EQ(traced({{0x17, 0x24}, {0x17, 0x24}}), "[STANDARD CHAR SET, NORMAL SIZE][STANDARD CHAR SET, NORMAL SIZE]");
}

TEST_F(CaptionInterpreterTest, PreambleAddressCodesSetRowColumnAndBaseRow) {
  // Rows by first byte 0x10-0x17, for second bytes 0x40-0x5F and 0x60-0x7F.
  const int kRows[8][2] = {{11, 11}, {1, 2}, {3, 4}, {12, 13}, {14, 15}, {5, 6}, {7, 8}, {9, 10}};
  // Columns for the low five bits of the second byte: attribute codes keep column 0,
  // indent codes step by 4 every two codes.
  const int kColumns[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 4, 4, 8, 8, 12, 12, 16, 16, 20, 20, 24, 24, 28, 28};
  verbosity_level = 4;
  for (unsigned b1 = 0x10; b1 <= 0x17; b1++) {
    for (unsigned b2 = 0x40; b2 <= 0x7F; b2++) {
      SCOPED_TRACE(testing::Message() << std::hex << b1 << " " << b2);
      pen_state().row = 9;
      pen_state().column = 17;
      int row = kRows[b1 - 0x10][b2 >= 0x60 ? 1 : 0];
      int column = kColumns[b2 & 0x1F];
      EXPECT_EQ(traced(b1, b2), "Base row set to " + std::to_string(row) + "\nRow=> " + std::to_string(row) +
                                    ", Column=" + std::to_string(column) + "\n");
      EXPECT_EQ(pen_state().row, row);
      EXPECT_EQ(pen_state().column, column);
      EXPECT_EQ(caption_mode().base_row, row);
    }
  }
  EXPECT_TRUE(buffer_is_empty(0));
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(outputs(), 0u);

  const struct {
    unsigned b1, b2;
    int row, column;
  } examples[] = {{0x14, 0x60, 15, 0}, {0x14, 0x70, 15, 0}, {0x11, 0x5E, 1, 28}, {0x10, 0x7F, 11, 28}, {0x13, 0x4E, 12, 0}};
  for (const auto &e : examples) {
    pair(e.b1, e.b2);
    EXPECT_EQ(pen_state().row, e.row);
    EXPECT_EQ(pen_state().column, e.column);
  }
}

TEST_F(CaptionInterpreterTest, BasicCharactersAreStoredAsCodePage1252) {
  // The EIA-608 letters (a, i, o, u acute, division sign); the solid block has no
  // code-page-1252 byte.
  const std::map<unsigned, unsigned char> kExceptions = {
      {0x2A, 0xE1}, {0x5C, 0xE9}, {0x5E, 0xED}, {0x5F, 0xF3}, {0x60, 0xFA},
      {0x7B, 0xE7}, {0x7C, 0xF7}, {0x7D, 0xD1}, {0x7E, 0xF1}, {0x7F, 0x83},
  };
  pair(kRCL.first, kRCL.second);  // pop-on: nothing is written out while loading
  verbosity_level = 0;
  int translated = 0;
  for (unsigned b = 0x20; b <= 0x7F; b++) {
    SCOPED_TRACE(testing::Message() << "byte " << std::hex << b);
    auto exception = kExceptions.find(b);
    unsigned char expected = exception == kExceptions.end() ? static_cast<unsigned char>(b) : exception->second;
    if (expected != b) translated++;
    // As the first byte of a pair (a second byte below 0x20 adds nothing)...
    pair(0x14, 0x70);
    pair(b, 0x00);
    EXPECT_EQ(cells_of(0, 15), row_with(std::string(1, static_cast<char>(expected))));
    EXPECT_EQ(pen_state().column, 1);
    // ...and as the second.
    pair(0x13, 0x50);
    pair(0x41, b);
    EXPECT_EQ(cells_of(0, 12), row_with(std::string("A") + static_cast<char>(expected)));
    EXPECT_EQ(pen_state().column, 2);
  }
  EXPECT_EQ(translated, 10);  // 0x23 is '#' as in ASCII
  EXPECT_EQ(caption_memory().has_content[0], 1);
  EXPECT_EQ(outputs(), 0u);
}

TEST_F(CaptionInterpreterTest, SpecialCharactersAreStoredAsCodePage1252) {
  // EIA-608's registered sign, degree sign and trade mark included; the music note (0x37)
  // has no code-page-1252 byte.
  const unsigned char kSpecial[16] = {0xAE, 0xB0, 0xBD, 0xBF, 0x99, 0xA2, 0xA3, 0x23,
                                      0xE0, 0x20, 0xE8, 0xE2, 0xEA, 0xEE, 0xF4, 0xFB};
  pair(kRDC.first, kRDC.second);
  for (unsigned b2 = 0x30; b2 <= 0x3F; b2++) {
    SCOPED_TRACE(testing::Message() << "11 " << std::hex << b2);
    pair(0x14, 0x70);
    pair(0x11, b2);
    pair(0x11, b2);  // the transmitted second copy
    EXPECT_EQ(cells_of(1, 15), row_with(std::string(1, static_cast<char>(kSpecial[b2 - 0x30]))));
    EXPECT_EQ(pen_state().column, 1);
  }
}

TEST_F(CaptionInterpreterTest, PrintablePairsAddOneOrTwoCharacters) {
  pairs({kRDC, kRow15});
  EXPECT_EQ(traced(0x41, 0x00), "Addchar: buffer=1, ch=A row=15, col=0\nCH: A (41)--> Buffer 1, row 15 col 0\n"
                                "Output row 15 to SAMI file\n");  // paint-on text is written at once
  pair(0x42, 0x1F);
  EXPECT_EQ(cells_of(1, 15), row_with("AB"));
  pair(0x20, 0x41);
  EXPECT_EQ(cells_of(1, 15), row_with("AB A"));
  EXPECT_EQ(traced(0x20, 0x20), "");
  EXPECT_EQ(cells_of(1, 15), row_with("AB A"));
  EXPECT_EQ(pen_state().column, 4);
}

TEST_F(CaptionInterpreterTest, ColumnNeverPassesTheLastCell) {
  pairs({kRDC, kRow15});
  const std::string text = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghi";  // 35 characters
  for (size_t i = 0; i < text.size(); i += 2)
    pair(static_cast<unsigned char>(text[i]), i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u);
  EXPECT_EQ(cells_of(1, 15), text);
  EXPECT_EQ(pen_state().column, 34);
  pair(0x6A, 0x00);
  EXPECT_EQ(cells_of(1, 15), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghj");
  EXPECT_EQ(pen_state().column, 34);
  EXPECT_EQ(cells_of(1, 14), kEmptyRow);
}

TEST_F(CaptionInterpreterTest, TabOffsetsClampTheColumnAtTheLastCell) {
  const struct {
    int start;
    unsigned b2;
    int column;
  } cases[] = {
      {0, 0x21, 1},   {0, 0x22, 2},   {0, 0x23, 3},   {31, 0x23, 34}, {32, 0x21, 33},
      {32, 0x22, 34}, {32, 0x23, 34}, {33, 0x21, 34}, {33, 0x22, 34}, {33, 0x23, 34},
      {34, 0x21, 34}, {34, 0x22, 34}, {34, 0x23, 34},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "column " << c.start << ", 17 " << std::hex << c.b2);
    restart();
    pairs({kRDC, kRow15});
    pen_state().column = c.start;
    EXPECT_EQ(traced(0x17, c.b2), "Row=> 15, Column=" + std::to_string(c.column) + "\n");
    EXPECT_EQ(pen_state().column, c.column);
    pair(0x5A, 0x00);
    EXPECT_EQ(cells_of(1, 15), row_with("Z", c.column));
  }
  // Reached through codes alone: indent 28, then 3 and 3 again (a pair between, or the
  // second is dropped as a repeat).
  restart();
  pairs({kRDC, {0x14, 0x7E}, {0x17, 0x23}, {0x00, 0x00}});
  EXPECT_EQ(traced(0x17, 0x23), "Row=> 15, Column=34\n");
}

TEST_F(CaptionInterpreterTest, MidRowCodesAndFlashOnTakeACellAsASpace) {
  Pairs codes;
  for (unsigned b2 = 0x20; b2 <= 0x2F; b2++) codes.push_back({0x11, b2});
  codes.push_back({0x14, 0x28});
  struct Mode {
    const char *name;
    Pairs setup;
    int buffer;      // where the space goes; -1 when it is dropped
    size_t outputs;  // output requests of the code alone
  };
  const Mode modes[] = {
      {"mode none", {kRow15}, -1, 0},
      {"pop-on", {kRCL, kRow15}, 0, 0},
      {"paint-on", {kRDC, kRow15}, 1, 1},  // paint-on text is written at once
      {"roll-up", {kRU3, kRow15}, 1, 1},
      {"pop-on before any row", {kRCL}, -1, 0},
  };
  for (const Mode &mode : modes) {
    for (const auto &code : codes) {
      SCOPED_TRACE(testing::Message() << mode.name << ", code " << std::hex << code.first << " " << code.second);
      restart();
      pairs(mode.setup);
      take_sami();
      const int row = pen_state().row;
      const int written = caption_memory().written;
      std::string expected = code.first == 0x14 ? "[Flash on]\n" : "";
      expected += "Addchar: buffer=" + std::to_string(written) + ", ch=  row=" + std::to_string(row) + ", col=0\n";
      if (mode.buffer >= 0) expected += "CH:   (20)--> Buffer " + std::to_string(written) + ", row 15 col 0\n";
      if (mode.outputs) expected += "Output row 15 to SAMI file\n";
      EXPECT_EQ(traced(code.first, code.second), expected);
      if (mode.buffer >= 0) {
        EXPECT_EQ(cells_of(mode.buffer, 15), row_with(" "));
        EXPECT_EQ(caption_memory().has_content[mode.buffer], 1);
        EXPECT_EQ(pen_state().column, 1);
      } else {
        EXPECT_TRUE(buffer_is_empty(0));
        EXPECT_TRUE(buffer_is_empty(1));
        EXPECT_EQ(pen_state().column, 0);
      }
      EXPECT_EQ(outputs(), mode.outputs);
    }
  }
}

TEST_F(CaptionInterpreterTest, MidRowCodesSeparateWordsButRepeatedCodesAreDropped) {
  pairs({kRDC, kRow15, {0x49, 0x00}, {0x11, 0x2E}, {0x72, 0x65}, {0x14, 0x28}, {0x14, 0x28}, {0x11, 0x20}, {0x11, 0x20}});
  EXPECT_EQ(cells_of(1, 15), row_with("I re  "));
}

TEST_F(CaptionInterpreterTest, CharactersBeforeAnyPreambleAddressCodeAreDropped) {
  EXPECT_EQ(traced({kRCL, {0x48, 0x69}}),
            "RCL - Resume Caption Loading \"PopOnMode\"\n"
            "Addchar: buffer=0, ch=H row=0, col=0\nAddchar: buffer=0, ch=i row=0, col=0\n");
  pairs({kRU2, {0x48, 0x69}, kRDC, {0x48, 0x69}});
  EXPECT_TRUE(buffer_is_empty(0));
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(caption_memory().has_content[0], 0);
  EXPECT_EQ(caption_memory().has_content[1], 0);
  EXPECT_EQ(outputs(), 0u);
  // A flip sends the row back to 0.
  pairs({kRow15, {0x41, 0x00}, kEOC, {0x42, 0x00}});
  EXPECT_EQ(cells_of(1, 15), row_with("A"));
  EXPECT_TRUE(buffer_is_empty(0));
}

TEST_F(CaptionInterpreterTest, ErasingDisplayedMemoryIsWrittenOutInEveryModeButErasingHiddenMemoryIsNot) {
  struct Mode {
    const char *name;
    Pairs setup;
    const char *srt_trace;  // the entry closed by the erase
  };
  const Mode modes[] = {
      {"none", {}, "Output row 15 to SRT file\n"},
      {"pop-on", {kRCL, kRow14, {0x59, 0x6F}}, "Output row 15 to SRT file\n"},
      // Paint-on "Yo" was written at once, so the entry that the erase closes holds it.
      {"paint-on", {kRDC, kRow14, {0x59, 0x6F}}, "Output row 14 to SRT file\nOutput row 15 to SRT file\n"},
      {"roll-up", {kRU2, kRow14, {0x59, 0x6F}}, "Output row 14 to SRT file\nOutput row 15 to SRT file\n"},
  };
  for (const Mode &mode : modes) {
    SCOPED_TRACE(mode.name);
    restart();
    pairs({kRCL, kRow15, {0x48, 0x69}, kEOC});  // buffer 0 shows "Hi"
    pairs(mode.setup);
    take_sami();
    const bool hidden_loaded = std::string(mode.name) == "pop-on";
    EXPECT_EQ(cells_of(1, 14), hidden_loaded ? row_with("Yo") : kEmptyRow);

    EXPECT_EQ(traced(kENM.first, kENM.second), "");
    EXPECT_TRUE(buffer_is_empty(1));
    EXPECT_EQ(caption_memory().has_content[1], 0);
    EXPECT_EQ(cells_of(0, 15), row_with("Hi"));
    EXPECT_EQ(outputs(), 0u);

    EXPECT_EQ(traced(kEDM.first, kEDM.second), std::string("Outputting blank row to SAMI file\n") + mode.srt_trace);
    EXPECT_TRUE(buffer_is_empty(0));
    EXPECT_EQ(caption_memory().has_content[0], 0);
    EXPECT_EQ(take_sami(), "<SYNC START=\"0\">\n<P class=ENCC>&nbsp;\n");
  }
}

TEST_F(CaptionInterpreterTest, DeleteToEndOfRowAtColumnZeroClearsTheWrittenRowAndIsWrittenOut) {
  const struct {
    const char *name;
    std::pair<unsigned, unsigned> mode;
    int written;
  } modes[] = {{"pop-on", kRCL, 0}, {"paint-on", kRDC, 1}, {"roll-up", kRU4, 1}};
  for (const auto &mode : modes) {
    SCOPED_TRACE(mode.name);
    restart();
    pairs({mode.mode, kRow15, {0x48, 0x69}, kRow14, {0x59, 0x6F}, kRow15});
    take_sami();
    verbosity_level = 0;
    pair(kDER.first, kDER.second);
    verbosity_level = 4;
    EXPECT_EQ(cells_of(mode.written, 15), kEmptyRow);
    EXPECT_EQ(cells_of(mode.written, 14), row_with("Yo"));
    EXPECT_EQ(caption_memory().has_content[mode.written], 1);
    EXPECT_EQ(outputs(), 1u);
  }
  EXPECT_EQ(traced({kRow15, kDER}), "Base row set to 15\nRow=> 15, Column=0\nDelete_end_of_Row: Row 15 col 0\n"
                                    "Output row 14 to SAMI file\nOutput row 14 to SRT file\n");
}

TEST_F(CaptionInterpreterTest, CarriageReturnThatEmptiesTheDisplayKeepsItsContentFlag) {
  pairs({kRU2, kRow15, {0x41, 0x00}, kCR, {0x00, 0x00}, kCR});  // A scrolls up, then out
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(caption_memory().has_content[1], 1);
}

TEST_F(CaptionInterpreterTest, AttributeAndCharacterSetMessagesPrintAtEveryLevelWithoutLineBreak) {
  const std::pair<unsigned, const char *> messages[] = {
      {0x2D, "[BACKGND TRANSPARENT]"},
      {0x2E, "[FOREGROUND BLACK]"},
      {0x2F, "[FOREGND BLACK UNDERLINE]"},
      {0x24, "[STANDARD CHAR SET, NORMAL SIZE]"},
      {0x25, "[STANDARD CHAR SET, DOUBLE SIZE]"},
      {0x26, "[FIRST PRIVATE CHAR SET]"},
      {0x27, "[2ND PRIVATE CHAR SET]"},
      {0x28, "[PEOPLES REP OF CHINA CHAR SET]"},
      {0x29, "[KOREAN CHAR SET]"},
      {0x2A, "[FIRST REGISTERED CHAR SET]"},
  };
  pairs({kRDC, kRow15});
  for (int level : {4, 0}) {
    verbosity_level = level;
    for (const auto &m : messages) {
      SCOPED_TRACE(m.second);
      EXPECT_EQ(traced(0x17, m.first), m.second);
    }
  }
  EXPECT_EQ(pen_state().column, 0);
  EXPECT_TRUE(buffer_is_empty(1));
}

TEST_F(CaptionInterpreterTest, OtherTracesVanishAtVerbosityZero) {
  verbosity_level = 0;
  EXPECT_EQ(traced({kRCL, kRow14, {0x41, 0x00}, {0x17, 0x21}, {0x14, 0x21}, {0x00, 0x41}, {0x17, 0x2D}, kRow15,
                    kEOC, kCR}),
            "[BACKGND TRANSPARENT]");
  EXPECT_EQ(cells_of(0, 14), row_with("A"));
  EXPECT_EQ(caption_memory().displayed, 0);
  EXPECT_EQ(outputs(), 2u);
}

TEST_F(CaptionInterpreterTest, TraceOnlyControlCodesMoveNothing) {
  const std::pair<unsigned, const char *> codes[] = {
      {0x21, "[Backspace]\n"},
      {0x22, "[Reserved - was alarm off]\n"},
      {0x23, "[Reserved - was alarm on]\n"},
      {0x2A, "[Text Restart]\n"},
      {0x2B, "[Resume Text Display]\n"},
  };
  pairs({kRDC, kRow15, {0x41, 0x42}});
  take_sami();  // the paint-on text itself is written
  for (const auto &c : codes) {
    SCOPED_TRACE(c.second);
    EXPECT_EQ(traced(0x14, c.first), c.second);
    EXPECT_EQ(cells_of(1, 15), row_with("AB"));
    EXPECT_EQ(pen_state().column, 2);
  }
  EXPECT_EQ(outputs(), 0u);
}

TEST_F(CaptionInterpreterTest, UnexpectedCodesOnlyPrintTheirTrace) {
  const std::pair<unsigned, unsigned> codes[] = {
      {0x00, 0x41}, {0x1C, 0x2C}, {0x12, 0x30}, {0x17, 0x2B}, {0x10, 0x30}, {0x15, 0x20},
      {0x17, 0x20}, {0x17, 0x2C}, {0x12, 0x20}, {0x13, 0x3F}, {0x01, 0x50}, {0x1F, 0x7F},
  };
  // Buffer 0 shows "Hi", buffer 1 is loading "Yo".
  pairs({kRCL, kRow15, {0x48, 0x69}, kEOC, kRCL, kRow14, {0x59, 0x6F}});
  take_sami();
  for (const auto &c : codes) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "unexpected code %02x %02x\n", c.first, c.second);
    SCOPED_TRACE(expected);
    CaptionMemory before;
    std::memcpy(&before, &caption_memory(), sizeof before);
    PenState pen = pen_state();
    EXPECT_EQ(traced(c.first, c.second), expected);
    EXPECT_EQ(std::memcmp(&before.buffers, &caption_memory().buffers, sizeof before.buffers), 0);
    EXPECT_EQ(caption_memory().displayed, before.displayed);
    EXPECT_EQ(caption_memory().has_content[0], 1);
    EXPECT_EQ(caption_memory().has_content[1], 1);
    EXPECT_EQ(pen_state().row, pen.row);
    EXPECT_EQ(pen_state().column, pen.column);
    EXPECT_EQ(caption_mode().pop_on, 1);
  }
  EXPECT_EQ(outputs(), 0u);
  EXPECT_EQ(cells_of(0, 15), row_with("Hi"));
}

}  // namespace
