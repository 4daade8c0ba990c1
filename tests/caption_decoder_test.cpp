// The caption decoder driven pair by pair, at the tool's verbosity, with both writers open
// on temporary files: what the pairs leave in the two buffers, what they print and what
// they make the writers write.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "caption_test_support.hpp"
#include "captions/caption_interpreter.hpp"
#include "captions/caption_memory.hpp"
#include "captions/caption_time.hpp"
#include "output/sami_writer.hpp"
#include "output/srt_writer.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;
using Pair = std::pair<unsigned, unsigned>;
using Pairs = std::vector<Pair>;

const Pair kRCL{0x14, 0x20}, kDER{0x14, 0x24}, kRU2{0x14, 0x25}, kRU3{0x14, 0x26}, kRU4{0x14, 0x27},
    kRDC{0x14, 0x29}, kEDM{0x14, 0x2C}, kCR{0x14, 0x2D}, kENM{0x14, 0x2E}, kEOC{0x14, 0x2F}, kFill{0x00, 0x00},
    kRow14{0x14, 0x50}, kRow15{0x14, 0x70}, kRow15Indent28{0x14, 0x7E};

// Preamble address code rows by first byte 0x10-0x17: [0] for second bytes 0x40-0x5F,
// [1] for 0x60-0x7F.
const int kPreambleRows[8][2] = {{11, 11}, {1, 2}, {3, 4}, {12, 13}, {14, 15}, {5, 6}, {7, 8}, {9, 10}};

// A preamble address code for the row, at column 0.
Pair address(int row) {
  for (unsigned b1 = 0; b1 < 8; b1++)
    for (unsigned half = 0; half < 2; half++)
      if (kPreambleRows[b1][half] == row) return {0x10 + b1, half ? 0x60u : 0x40u};
  ADD_FAILURE() << "no preamble address code for row " << row;
  return kFill;
}

// The trace of a character that reaches Addchar, and of one that is also stored.
std::string dropped(int buffer, unsigned char ch, int row, int column) {
  char line[64];
  std::snprintf(line, sizeof line, "Addchar: buffer=%d, ch=%c row=%d, col=%d\n", buffer, ch, row, column);
  return line;
}
std::string stored(int buffer, unsigned char ch, int row, int column) {
  char line[64];
  std::snprintf(line, sizeof line, "CH: %c (%02x)--> Buffer %d, row %d col %d\n", ch, ch, buffer, row, column);
  return dropped(buffer, ch, row, column) + line;
}
std::string addressed(int row, int column) {
  return "Base row set to " + std::to_string(row) + "\nRow=> " + std::to_string(row) + ", Column=" +
         std::to_string(column) + "\n";
}
const std::string kBlankSami = "Outputting blank row to SAMI file\n";

std::string hex(const Pair &pair) {
  char text[32];
  std::snprintf(text, sizeof text, "%02x %02x", pair.first, pair.second);
  return text;
}

// A buffer as text: "*" when it has content, then every row slot that holds a character
// as "row=cells", an empty cell as '_', the empty cells at its end left out.
std::string buffer_text(int buffer) {
  const CaptionMemory &memory = caption_memory();
  std::string text = memory.has_content[buffer] ? "*" : "";
  for (int slot = 0; slot < kCaptionRows; slot++) {
    std::string cells(reinterpret_cast<const char *>(memory.buffers[buffer].cells[slot]), kCaptionColumns);
    cells.erase(cells.find_last_not_of('\0') + 1);
    if (cells.empty()) continue;
    for (char &cell : cells)
      if (cell == '\0') cell = '_';
    text += (text.empty() || text == "*" ? "" : " ") + std::to_string(slot + 1) + "=" + cells;
  }
  return text;
}

// One row of the decoder's table: `setup` is decoded first, unchecked; then `pairs`, whose
// console trace is `trace`. `shown` and `hidden` are the buffers afterwards as buffer_text
// gives them, `displays` what the SAMI writer wrote for `pairs`: one "[row/row]" for each
// display, "[]" for the empty one.
struct Case {
  std::string name;
  Pairs setup, pairs;
  std::string trace, shown, hidden;
  int column;
  std::string displays;
};

class CaptionDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { restart(); }
  void TearDown() override { close_writers(); }

  void restart() {
    close_writers();
    reset_components(4);
    open_writers();
  }
  void open_writers() {
    srt_open(srt_path_.c_str());
    srt_start();
    sami_open(sami_path_.c_str());
    sami_start();
  }
  // Closing writes the SRT entry still open; its trace is no part of any case.
  void close_writers() {
    int level = verbosity_level;
    verbosity_level = 0;
    sami_close();
    srt_close();
    verbosity_level = level;
  }

  static std::string decode(const Pairs &pairs, int64_t time = 0) {
    capture_stdout();
    for (const Pair &pair : pairs) Decode_pair(time, pair.first, pair.second);
    return captured_stdout();
  }

  std::string take_displays() {
    sami_close();
    std::string text = read_file(sami_path_);
    sami_open(sami_path_.c_str());
    sami_start();
    std::string displays;
    size_t at = text.find("<BODY>\r\n"), end = text.rfind("</BODY>\r\n");
    if (at == std::string::npos || end == std::string::npos) return "(malformed SAMI file)";
    for (at += 8; at < end;) {
      size_t next = text.find("\r\n", at);
      if (next == std::string::npos) break;
      std::string line = text.substr(at, next - at);
      at = next + 2;
      if (line.rfind("<SYNC START=", 0) == 0) {
        displays += displays.empty() ? "[" : "][";
        continue;
      }
      if (line.rfind("<P class=ENCC>", 0) == 0) line.erase(0, 14);
      if (line == "&nbsp;") continue;
      if (displays.empty() || !ends_with(line, "<BR>")) return "(malformed line " + line + ")";
      displays += (displays.back() == '[' ? "" : "/") + line.substr(0, line.size() - 4);
    }
    return displays.empty() ? displays : displays + "]";
  }

  // Reading the SAMI file back closes, syncs and reopens it, which takes milliseconds: it is
  // read only after a trace that shows a display written (the writer traces each one).
  // Without `fresh` the decoder goes on from the case before, and the setup must undo it.
  void check(const Case &c, bool fresh = true) {
    SCOPED_TRACE(c.name);
    if (fresh) restart();
    if (count_of(decode(c.setup), " to SAMI file\n") != 0) take_displays();
    const std::string trace = decode(c.pairs);
    EXPECT_EQ(trace, c.trace);
    EXPECT_EQ(buffer_text(caption_memory().displayed), c.shown);
    EXPECT_EQ(buffer_text(caption_memory().non_displayed), c.hidden);
    EXPECT_EQ(pen_state().column, c.column);
    EXPECT_EQ(count_of(trace, " to SAMI file\n") != 0 ? take_displays() : "", c.displays);
  }

  TempDir dir_{"caption-decoder"};
  std::string srt_path_ = dir_.path + "/captions.srt", sami_path_ = dir_.path + "/captions.smi";
};

TEST_F(CaptionDecoderTest, PairsGiveCellsTraceAndOutputs) {
  // Buffer 0 loaded with "Yo" on row 14 and "Hi" on row 15 from column 4, in pop-on.
  const Pairs kLoaded = {kRCL, {0x14, 0x72}, {0x48, 0x69}, kRow14, {0x59, 0x6F}};
  // Buffer 0 shows "Hi" on row 15; buffer 1 is loading "Yo" on row 14.
  const Pairs kBoth = {kRCL, kRow15, {0x48, 0x69}, kEOC, kRCL, kRow14, {0x59, 0x6F}};
  const std::string kRepeat = "an erase, then one again after ";
  const Case cases[] = {
      // Modes and where the characters go.
      {"no mode drops characters, even on an addressed row", {kRow15}, {{0x41, 0x42}},
       dropped(0, 'A', 15, 0) + dropped(0, 'B', 15, 0), "", "", 0, ""},
      {"every mode drops characters before any row", {}, {kRCL, {0x48, 0x69}, kRU2, {0x48, 0x69}, kRDC, {0x48, 0x69}},
       "RCL - Resume Caption Loading \"PopOnMode\"\n" + dropped(0, 'H', 0, 0) + dropped(0, 'i', 0, 0) +
           "[Roll up 2 rows]\n" + dropped(1, 'H', 0, 0) + dropped(1, 'i', 0, 0) +
           "[RDC - Resume direct captioning]\n" + dropped(1, 'H', 0, 0) + dropped(1, 'i', 0, 0),
       "", "", 0, ""},
      {"pop-on loads the hidden buffer and shows nothing", {},
       {kRCL, kRCL, {0x14, 0x72}, {0x48, 0x69}, kRow14, {0x59, 0x6F}},
       "RCL - Resume Caption Loading \"PopOnMode\"\nBase row set to 15\nRow=> 15, Column=4\n"
       "Addchar: buffer=0, ch=H row=15, col=4\nCH: H (48)--> Buffer 0, row 15 col 4\n"
       "Addchar: buffer=0, ch=i row=15, col=5\nCH: i (69)--> Buffer 0, row 15 col 5\n" +
           addressed(14, 0) + stored(0, 'Y', 14, 0) + stored(0, 'o', 14, 1),
       "", "*14=Yo 15=____Hi", 2, ""},
      {"end of caption shows the loaded caption, once", kLoaded, {kEOC, kEOC},
       "End Caption\nOutput row 14 to SAMI file\nOutput row 15 to SAMI file\n", "*14=Yo 15=____Hi", "", 0, "[Yo/Hi]"},
      {"end of caption, filler, end of caption flips twice", {kRCL, kRow15, {0x48, 0x69}}, {kEOC, kFill, kEOC},
       "End Caption\nOutput row 15 to SAMI file\nEnd Caption\n" + kBlankSami + "Output row 15 to SRT file\n", "",
       "*15=Hi", 0, "[Hi][]"},
      {"after an end of caption characters wait for a mode command and a row", {kRCL, kRow15, {0x48, 0x69}, kEOC},
       {{0x58, 0x00}, kRow14, {0x59, 0x00}}, dropped(0, 'X', 0, 0) + addressed(14, 0) + dropped(0, 'Y', 14, 0),
       "*15=Hi", "", 0, ""},
      {"mode commands move neither the cursor nor the base row", {{0x16, 0x52}},
       {kRU2, kRCL, kRU3, kRDC, kRU4, kRCL, {0x41, 0x00}, kCR},
       "[Roll up 2 rows]\nRCL - Resume Caption Loading \"PopOnMode\"\n[Roll up 3 rows]\n"
       "[RDC - Resume direct captioning]\n[Roll up 4 rows]\nRCL - Resume Caption Loading \"PopOnMode\"\n" +
           stored(0, 'A', 7, 4) + "[CR]\nclearing line 7\n" + kBlankSami,
       "", "*7=____A", 0, "[]"},
      {"end of caption in paint-on keeps the mode, which now writes the hidden buffer", {kRDC, kEOC},
       {kRow15, {0x41, 0x00}}, addressed(15, 0) + stored(1, 'A', 15, 0) + kBlankSami, "", "*15=A", 1, "[]"},
      {"paint-on text is written out as it is painted", {}, {kRDC, kRDC, {0x12, 0x44}, {0x6F, 0x6B}},
       "[RDC - Resume direct captioning]\n" + addressed(3, 0) + stored(1, 'o', 3, 0) + stored(1, 'k', 3, 1) +
           "Output row 3 to SAMI file\n",
       "*3=ok", "", 2, "[ok]"},
      {"roll-up text is written out after every pair that changes it", {kRU2, kRU2, kRow15},
       {{0x41, 0x42}, kCR, {0x43, 0x00}},
       stored(1, 'A', 15, 0) + stored(1, 'B', 15, 1) +
           "Output row 15 to SAMI file\n[CR]\ncopying line 15 to line 14\nclearing line 15\n"
           "Output row 14 to SAMI file\nOutput row 15 to SRT file\n" +
           stored(1, 'C', 15, 0) +
           "Output row 14 to SAMI file\nOutput row 15 to SAMI file\nOutput row 14 to SRT file\n",
       "*14=AB 15=C", "", 1, "[AB][AB][AB/C]"},
      // Carriage return.
      {"a carriage return that empties the display keeps the content flag", {kRU2, kRow15, {0x41, 0x00}, kCR},
       {kFill, kCR},
       "[CR]\ncopying line 15 to line 14\nclearing line 15\n" + kBlankSami + "Output row 14 to SRT file\n",
       "*", "", 0, "[]"},
      {"outside roll-up a carriage return clears the base row of the display alone",
       {kRCL, kRow14, {0x59, 0x6F}, kRow15, {0x48, 0x69}, kEOC, kRCL, kRow15, {0x6E, 0x65}, {0x77, 0x00}}, {kCR},
       "[CR]\nclearing line 15\nOutput row 14 to SAMI file\nOutput row 14 to SRT file\nOutput row 15 to SRT file\n",
       "*14=Yo", "*15=new", 0, "[Yo]"},
      {"a carriage return in paint-on clears the base row", {kRDC, kRow14, {0x59, 0x6F}, kRow15, {0x48, 0x69}}, {kCR},
       "[CR]\nclearing line 15\nOutput row 14 to SAMI file\nOutput row 14 to SRT file\nOutput row 15 to SRT file\n",
       "*14=Yo", "", 0, "[Yo]"},
      // Erases and delete to end of row.
      {"erasing the hidden buffer is not written out", kBoth, {kENM}, "", "*15=Hi", "", 2, ""},
      {"erasing the display closes the caption's entry", kBoth, {kEDM},
       kBlankSami + "Output row 15 to SRT file\n", "", "*14=Yo", 2, "[]"},
      {"erasing painted text closes its entry", {kRDC, {0x12, 0x44}, {0x6F, 0x6B}}, {kEDM},
       kBlankSami + "Output row 3 to SRT file\n", "", "", 2, "[]"},
      {"delete to end of row clears the written row from the cursor, and is written out even in pop-on",
       {kRCL, kRow14, {0x59, 0x6F}, {0x75, 0x21}}, {kRow14, {0x17, 0x22}, kDER},
       addressed(14, 0) + "Row=> 14, Column=2\nDelete_end_of_Row: Row 14 col 2\n" + kBlankSami, "", "*14=Yo", 2, "[]"},
      {"delete to end of row at column 0 in roll-up", {kRU4, kRow15, {0x48, 0x69}, kRow14, {0x59, 0x6F}},
       {kRow15, kDER},
       addressed(15, 0) +
           "Delete_end_of_Row: Row 15 col 0\nOutput row 14 to SAMI file\nOutput row 14 to SRT file\n"
           "Output row 15 to SRT file\n",
       "*14=Yo", "", 0, "[Yo]"},
      {"delete to end of row before any row clears nothing but is written out",
       {kRDC, {0x12, 0x44}, {0x41, 0x42}, {0x43, 0x00}, kEOC}, {kDER},
       "Delete_end_of_Row: Row 0 col 0\n" + kBlankSami, "", "*3=ABC", 0, "[]"},
      // The cursor.
      {"a pair adds one or two characters; fillers and bytes below 0x20 add none", {kRCL, kRow15},
       {{0x41, 0x00}, {0x42, 0x1F}, {0x20, 0x41}, {0x20, 0x20}},
       stored(0, 'A', 15, 0) + stored(0, 'B', 15, 1) + stored(0, ' ', 15, 2) + stored(0, 'A', 15, 3), "",
       "*15=AB A", 4, ""},
      {"the cursor stops at the last cell, where each character replaces the one before",
       {kRDC, kRow15Indent28, {0x41, 0x42}, {0x43, 0x44}, {0x45, 0x46}}, {{0x47, 0x48}},
       stored(1, 'G', 15, 34) + stored(1, 'H', 15, 34) + "Output row 15 to SAMI file\nOutput row 15 to SRT file\n",
       "*15=" + std::string(28, '_') + "ABCDEFH", "", 34, "[ABCDEFH]"},
      {"tab offsets move the cursor right", {kRCL, kRow15}, {{0x17, 0x21}, {0x17, 0x22}, {0x17, 0x23}, {0x5A, 0x00}},
       "Row=> 15, Column=1\nRow=> 15, Column=3\nRow=> 15, Column=6\n" + stored(0, 'Z', 15, 6), "", "*15=______Z", 7,
       ""},
      {"tab offsets stop at the last cell", {kRCL, kRow15Indent28},
       {{0x17, 0x23}, {0x17, 0x22}, {0x17, 0x23}, {0x17, 0x21}, {0x17, 0x23}, {0x5A, 0x00}},
       "Row=> 15, Column=31\nRow=> 15, Column=33\nRow=> 15, Column=34\nRow=> 15, Column=34\nRow=> 15, Column=34\n" +
           stored(0, 'Z', 15, 34),
       "", "*15=" + std::string(34, '_') + "Z", 34, ""},
      // Broadcasters send each control code twice: the directly repeated copy of a code that
      // would act again is dropped, and any pair between makes it act.
      {"a directly repeated control code acts once", {}, {kEDM, kEDM}, kBlankSami, "", "", 0, "[]"},
      {kRepeat + "a filler 00 00", {}, {kEDM, kFill, kEDM}, kBlankSami + kBlankSami, "", "", 0, "[][]"},
      {kRepeat + "a filler 20 20", {}, {kEDM, {0x20, 0x20}, kEDM}, kBlankSami + kBlankSami, "", "", 0, "[][]"},
      {kRepeat + "a dropped character", {}, {kEDM, {0x41, 0x00}, kEDM},
       kBlankSami + dropped(0, 'A', 0, 0) + kBlankSami, "", "", 0, "[][]"},
      {kRepeat + "a background attribute", {}, {kEDM, {0x10, 0x25}, kEDM}, kBlankSami + kBlankSami, "", "", 0, "[][]"},
      {kRepeat + "a code of channel 2", {}, {kEDM, {0x1C, 0x2C}, kEDM}, kBlankSami + kBlankSami, "", "", 0, "[][]"},
      // Channel 2's codes and the characters after them are passed over, until a code of
      // channel 1 (here a special character) takes the characters back.
      {"channel 2 between channel 1's text", {kRCL, kRow15},
       {{0x41, 0x00}, {0x1C, 0x2C}, {0x42, 0x43}, {0x1C, 0x70}, {0x19, 0x37}, {0x11, 0x37}, {0x44, 0x00}},
       stored(0, 'A', 15, 0) + stored(0, '#', 15, 1) + stored(0, 'D', 15, 2), "", "*15=A#D", 3, ""},
      {kRepeat + "another control code", {}, {kEDM, kENM, kEDM}, kBlankSami + kBlankSami, "", "", 0, "[][]"},
      {"a special character sent twice", {kRCL, kRow15}, {{0x11, 0x37}, {0x11, 0x37}}, stored(0, '#', 15, 0), "",
       "*15=#", 1, ""},
      {"a special character sent three times", {kRCL, kRow15}, {{0x11, 0x32}, {0x11, 0x32}, {0x11, 0x32}},
       stored(0, 0xBD, 15, 0), "", "*15=\xBD", 1, ""},
      {"a special character, a filler, the same again", {kRCL, kRow15}, {{0x11, 0x37}, kFill, {0x11, 0x37}},
       stored(0, '#', 15, 0) + stored(0, '#', 15, 1), "", "*15=##", 2, ""},
      {"two different special characters", {kRCL, kRow15}, {{0x11, 0x37}, {0x11, 0x30}},
       stored(0, '#', 15, 0) + stored(0, 0xAE, 15, 1), "", "*15=#\xAE", 2, ""},
      {"a mid-row code sent twice", {kRCL, kRow15}, {{0x11, 0x2E}, {0x11, 0x2E}, {0x41, 0x00}},
       stored(0, ' ', 15, 0) + stored(0, 'A', 15, 1), "", "*15= A", 2, ""},
      {"a mid-row code, a letter, the same code again", {kRCL, kRow15}, {{0x11, 0x20}, {0x41, 0x00}, {0x11, 0x20}},
       stored(0, ' ', 15, 0) + stored(0, 'A', 15, 1) + stored(0, ' ', 15, 2), "", "*15= A ", 3, ""},
      {"tab offset 1 sent twice", {kRCL, kRow15}, {{0x17, 0x21}, {0x17, 0x21}}, "Row=> 15, Column=1\n", "", "", 1, ""},
      {"tab offset 3 sent twice", {kRCL, kRow15}, {{0x17, 0x23}, {0x17, 0x23}}, "Row=> 15, Column=3\n", "", "", 3, ""},
      {"tab offset 2, a filler, the same again", {kRCL, kRow15}, {{0x17, 0x22}, {0x20, 0x20}, {0x17, 0x22}},
       "Row=> 15, Column=2\nRow=> 15, Column=4\n", "", "", 4, ""},
      {"repeated preamble address and attribute codes act twice", {kRDC}, {kRow15, kRow15, {0x17, 0x24}, {0x17, 0x24}},
       addressed(15, 0) + addressed(15, 0) + "[STANDARD CHAR SET, NORMAL SIZE][STANDARD CHAR SET, NORMAL SIZE]", "",
       "", 0, ""},
      // Codes that only print.
      {"attribute and character set codes print a message without a line break", {kRDC, kRow15},
       {{0x17, 0x2D}, {0x17, 0x2E}, {0x17, 0x2F}, {0x17, 0x24}, {0x17, 0x25}, {0x17, 0x26}, {0x17, 0x27}, {0x17, 0x28},
        {0x17, 0x29}, {0x17, 0x2A}},
       "[BACKGND TRANSPARENT][FOREGROUND BLACK][FOREGND BLACK UNDERLINE][STANDARD CHAR SET, NORMAL SIZE]"
       "[STANDARD CHAR SET, DOUBLE SIZE][FIRST PRIVATE CHAR SET][2ND PRIVATE CHAR SET]"
       "[PEOPLES REP OF CHINA CHAR SET][KOREAN CHAR SET][FIRST REGISTERED CHAR SET]",
       "", "", 0, ""},
      {"control codes that only print move nothing", {kRDC, kRow15, {0x41, 0x42}},
       {{0x14, 0x21}, {0x14, 0x22}, {0x14, 0x23}, {0x14, 0x2A}, {0x14, 0x2B}},
       "[Backspace]\n[Reserved - was alarm off]\n[Reserved - was alarm on]\n[Text Restart]\n[Resume Text Display]\n",
       "*15=AB", "", 2, ""},
      {"unexpected codes change nothing", kBoth,
       {{0x00, 0x41}, {0x12, 0x30}, {0x17, 0x2B}, {0x10, 0x30}, {0x15, 0x20}, {0x17, 0x20}, {0x17, 0x2C},
        {0x12, 0x20}, {0x13, 0x3F}, {0x01, 0x50}, {0x41, 0x00}},
       "unexpected code 00 41\nunexpected code 12 30\nunexpected code 17 2b\n"
       "unexpected code 10 30\nunexpected code 15 20\nunexpected code 17 20\nunexpected code 17 2c\n"
       "unexpected code 12 20\nunexpected code 13 3f\nunexpected code 01 50\n" +
           stored(1, 'A', 14, 2),
       "*15=Hi", "*14=YoA", 3, ""},
  };
  for (const Case &c : cases) check(c);
}

TEST_F(CaptionDecoderTest, CarriageReturnScrollsTheRollUpWindowWithinRowsOneToFifteen) {
  // Rows 1-15 hold a-o before the carriage return; '.' marks an empty row after it.
  const struct {
    Pair roll_up;
    int base;
    const char *trace, *rows_after;
  } cases[] = {
      {kRU2, 15, "[CR]\ncopying line 15 to line 14\nclearing line 15\n", "abcdefghijklmo."},
      {kRU3, 15, "[CR]\ncopying line 14 to line 13\ncopying line 15 to line 14\nclearing line 15\n", "abcdefghijklno."},
      {kRU4, 15,
       "[CR]\ncopying line 13 to line 12\ncopying line 14 to line 13\ncopying line 15 to line 14\nclearing line 15\n",
       "abcdefghijkmno."},
      {kRU4, 8, "[CR]\ncopying line 6 to line 5\ncopying line 7 to line 6\ncopying line 8 to line 7\nclearing line 8\n",
       "abcdfgh.ijklmno"},
      // Windows that would reach above row 1 stop at row 1.
      {kRU2, 2, "[CR]\ncopying line 2 to line 1\nclearing line 2\n", "b.cdefghijklmno"},
      {kRU3, 2, "[CR]\ncopying line 2 to line 1\nclearing line 2\n", "b.cdefghijklmno"},
      {kRU4, 2, "[CR]\ncopying line 2 to line 1\nclearing line 2\n", "b.cdefghijklmno"},
      {kRU4, 3, "[CR]\ncopying line 2 to line 1\ncopying line 3 to line 2\nclearing line 3\n", "bc.defghijklmno"},
      {kRU2, 1, "[CR]\nclearing line 1\n", ".bcdefghijklmno"},
      {kRU3, 1, "[CR]\nclearing line 1\n", ".bcdefghijklmno"},
      {kRU4, 1, "[CR]\nclearing line 1\n", ".bcdefghijklmno"},
  };
  for (const auto &c : cases) {
    Case row{"roll-up " + std::to_string(c.roll_up.second - 0x23) + " rows, base row " + std::to_string(c.base),
             {c.roll_up}, {kCR}, c.trace, "*", "", 0, "["};
    for (int r = 1; r <= 15; r++) {
      row.setup.push_back(address(r));
      row.setup.push_back({0x60u + static_cast<unsigned>(r), 0x00});  // 'a' on row 1
    }
    row.setup.push_back(address(c.base));
    row.setup.push_back({0x17, 0x23});  // a carriage return sends the cursor back to column 0
    for (int r = 1; r <= 15; r++) {
      const char letter = c.rows_after[r - 1];
      if (letter == '.') continue;
      row.trace += "Output row " + std::to_string(r) + " to SAMI file\n";
      row.shown += (row.shown == "*" ? "" : " ") + std::to_string(r) + "=" + letter;
      row.displays += (row.displays == "[" ? "" : "/") + std::string(1, letter);
    }
    for (int r = 1; r <= 15; r++) row.trace += "Output row " + std::to_string(r) + " to SRT file\n";
    row.displays += "]";
    check(row);
  }
}

// Every preamble address code, sent with the cursor at column 28 of row 15. Each case
// empties the hidden buffer and addresses row 15 again, and the display stays empty.
TEST_F(CaptionDecoderTest, PreambleAddressCodesSetRowColumnAndBaseRow) {
  // By the low five bits of the second byte: attribute codes go to column 0, indent codes
  // step by 4 every two codes.
  const int kColumns[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 4, 4, 8, 8, 12, 12, 16, 16, 20, 20, 24, 24, 28, 28};
  for (unsigned b1 = 0x10; b1 <= 0x17; b1++) {
    for (unsigned b2 = 0x40; b2 <= 0x7F; b2++) {
      const int row = kPreambleRows[b1 - 0x10][b2 >= 0x60 ? 1 : 0];
      const int column = kColumns[b2 & 0x1F];
      check({hex({b1, b2}), {kENM, kRCL, kRow15Indent28}, {{b1, b2}, {0x41, 0x00}},
             addressed(row, column) + stored(0, 'A', row, column), "",
             "*" + std::to_string(row) + "=" + std::string(static_cast<size_t>(column), '_') + "A", column + 1, ""},
            false);
    }
  }
}

// Code page 1252 for the cells: ASCII but for ten EIA-608 letters and signs, each byte as
// the first and as the second of a pair, one case after the other in pop-on.
TEST_F(CaptionDecoderTest, BasicCharactersAreStoredAsCodePage1252) {
  const std::pair<unsigned, unsigned char> kNotAscii[] = {
      {0x2A, 0xE1}, {0x5C, 0xE9}, {0x5E, 0xED}, {0x5F, 0xF3}, {0x60, 0xFA},
      {0x7B, 0xE7}, {0x7C, 0xF7}, {0x7D, 0xD1}, {0x7E, 0xF1}, {0x7F, 0x83},  // the solid block has no byte
  };
  for (unsigned b = 0x20; b <= 0x7F; b++) {
    unsigned char cell = static_cast<unsigned char>(b);
    for (const auto &letter : kNotAscii)
      if (letter.first == b) cell = letter.second;
    check({hex({b, 0x00}), {kENM, kRCL, kRow15}, {{b, 0x00}, {0x41, b}},
           stored(0, cell, 15, 0) + stored(0, 'A', 15, 1) + stored(0, cell, 15, 2), "",
           "*15=" + std::string(1, static_cast<char>(cell)) + "A" + std::string(1, static_cast<char>(cell)), 3, ""},
          false);
  }
}

TEST_F(CaptionDecoderTest, SpecialCharactersAreStoredAsCodePage1252) {
  // 0x11 0x30-0x3F; the music note (0x37) has no code-page-1252 byte.
  const unsigned char kSpecial[16] = {0xAE, 0xB0, 0xBD, 0xBF, 0x99, 0xA2, 0xA3, 0x23,
                                      0xE0, 0x20, 0xE8, 0xE2, 0xEA, 0xEE, 0xF4, 0xFB};
  for (unsigned b2 = 0x30; b2 <= 0x3F; b2++) {
    const std::string cell(1, static_cast<char>(kSpecial[b2 - 0x30]));
    check({hex({0x11, b2}), {kRDC, kRow15}, {{0x11, b2}, {0x11, b2}},
           stored(1, kSpecial[b2 - 0x30], 15, 0) + "Output row 15 to SAMI file\n", "*15=" + cell, "", 1,
           "[" + cell + "]"});
  }
}

// Mid-row codes (0x11 0x20-0x2F) and flash on keep no attribute: each shows as a space.
TEST_F(CaptionDecoderTest, MidRowCodesAndFlashOnTakeACellAsASpace) {
  Pairs codes = {{0x14, 0x28}};
  for (unsigned b2 = 0x20; b2 <= 0x2F; b2++) codes.push_back({0x11, b2});
  for (const Pair &code : codes) {
    check({hex(code), {kRDC, kRow15}, {code},
           (code.first == 0x14 ? "[Flash on]\n" : "") + stored(1, ' ', 15, 0) + "Output row 15 to SAMI file\n",
           "*15= ", "", 1, "[ ]"});
  }
}

// Each input starts from empty buffers, in no mode, with base row 15, whatever the one
// before left.
TEST_F(CaptionDecoderTest, InitialisationEmptiesBothBuffersAndLeavesNoMode) {
  decode({kRCL, kRow14, {0x59, 0x6F}, kEOC, kRCL, kRow14, {0x7A, 0x00}, kRU3, {0x12, 0x44}, {0x78, 0x79}});
  ASSERT_EQ(buffer_text(0), "*3=xy 14=Yo");
  ASSERT_EQ(buffer_text(1), "*14=z");
  close_writers();
  capture_stdout();
  Init_caption_decoder();
  EXPECT_EQ(captured_stdout(), "");
  open_writers();
  EXPECT_EQ(decode({{0x41, 0x00}, kCR, {0x12, 0x44}, {0x42, 0x00}, kRDC, {0x43, 0x00}}),
            dropped(0, 'A', 0, 0) + "[CR]\nclearing line 15\n" + kBlankSami + addressed(3, 0) + dropped(0, 'B', 3, 0) +
                "[RDC - Resume direct captioning]\n" + stored(1, 'C', 3, 0) + "Output row 3 to SAMI file\n");
  EXPECT_EQ(buffer_text(0), "");
  EXPECT_EQ(buffer_text(1), "*3=C");
}

// The writers take the moment of the pair that changed the display, in whole milliseconds.
TEST_F(CaptionDecoderTest, WritersTakeTheMomentOfThePairThatChangedTheDisplay) {
  const struct {
    Pair pair;
    int64_t ms;
  } sent[] = {{kRCL, 1000},          {{0x14, 0x72}, 1040}, {{0x48, 0x69}, 1040}, {kRow14, 1080},
              {{0x59, 0x6F}, 1080}, {kEOC, 2200},         {kEOC, 2233},         {kEDM, 4400}};
  for (const auto &s : sent) decode({s.pair}, s.ms * kTicksPerMillisecond + kTicksPerMillisecond - 1);
  close_writers();
  EXPECT_EQ(read_file(sami_path_), sami_file(sami_block(2200, {"Yo", "Hi"}) + sami_block(4400, {})));
  EXPECT_EQ(read_file(srt_path_), srt_entry(1, 2200, 4400, {"Yo", "    Hi"}));
}

}  // namespace
