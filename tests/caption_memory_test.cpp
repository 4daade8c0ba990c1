// Caption memory operations driven directly: buffers, cursor, modes, the roll-up window
// and the output requests, with their console traces.
#include <gtest/gtest.h>

#include <string>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "captions/caption_interpreter.hpp"
#include "captions/caption_memory.hpp"
#include "mpeg/video_scanner.hpp"

namespace {

using namespace caption_test;

class CaptionMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_components(4); }

  // What a preamble address code does to the memory: cursor and base row.
  static void address(int row, int column) {
    pen_state().row = row;
    pen_state().column = column;
    Set_base_row(row);
  }
  static void type(const std::string &text) {
    for (char c : text) Addchar(static_cast<unsigned char>(c));
  }
  template <class Action>
  static std::string traced(Action action) {
    caption_test::capture_stdout();
    action();
    return caption_test::captured_stdout();
  }
};

TEST_F(CaptionMemoryTest, InitialisationEmptiesEverythingButLeavesOutputRequestAlone) {
  Roll_up(3);
  address(4, 6);
  type("xyz");
  Erase_displayed_memory();  // raises the output request
  Resume_direct_captioning();
  address(9, 1);
  type("q");
  ASSERT_TRUE(output_pending());

  EXPECT_EQ(traced([] { Init_caption_decoder(); }), "");
  const CaptionMemory &memory = caption_memory();
  EXPECT_TRUE(buffer_is_empty(0));
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(memory.has_content[0], 0);
  EXPECT_EQ(memory.has_content[1], 0);
  EXPECT_EQ(memory.displayed, 1);
  EXPECT_EQ(memory.non_displayed, 0);
  EXPECT_EQ(memory.written, 0);
  EXPECT_EQ(pen_state().row, 0);
  EXPECT_EQ(pen_state().column, 0);
  EXPECT_EQ(caption_mode().pop_on, 0);
  EXPECT_EQ(caption_mode().paint_on, 0);
  EXPECT_EQ(caption_mode().roll_up_rows, 0);
  EXPECT_EQ(caption_mode().base_row, 15);
  EXPECT_TRUE(output_pending());
}

TEST_F(CaptionMemoryTest, CharacterInModeNoneOnlyPrintsItsFirstTrace) {
  EXPECT_EQ(traced([] { Addchar('A'); }), "Addchar: buffer=0, ch=A row=0, col=0\n");
  address(15, 0);
  EXPECT_EQ(traced([] { Addchar('B'); }), "Addchar: buffer=0, ch=B row=15, col=0\n");
  EXPECT_TRUE(buffer_is_empty(0));
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(caption_memory().has_content[0], 0);
  EXPECT_EQ(pen_state().column, 0);
  EXPECT_FALSE(output_pending());
}

TEST_F(CaptionMemoryTest, PopOnCaptionLoadsHiddenBufferThenFlips) {
  EXPECT_EQ(traced([] { Resume_caption_loading(); }), "RCL - Resume Caption Loading \"PopOnMode\"\n");
  EXPECT_EQ(traced([] { address(15, 0); }), "Base row set to 15\n");
  EXPECT_EQ(traced([] { type("Hi"); }),
            "Addchar: buffer=0, ch=H row=15, col=0\n"
            "CH: H (48)--> Buffer 0, row 15 col 0\n"
            "Addchar: buffer=0, ch=i row=15, col=1\n"
            "CH: i (69)--> Buffer 0, row 15 col 1\n");
  EXPECT_EQ(cells_of(0, 15), row_with("Hi"));
  EXPECT_EQ(caption_memory().has_content[0], 1);
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(caption_memory().has_content[1], 0);
  EXPECT_EQ(pen_state().column, 2);
  EXPECT_FALSE(output_pending());

  EXPECT_EQ(traced([] { End_of_caption(); }), "End Caption\n");
  EXPECT_EQ(caption_memory().displayed, 0);
  EXPECT_EQ(caption_memory().non_displayed, 1);
  EXPECT_EQ(caption_memory().written, 0);
  EXPECT_EQ(caption_memory().has_content[0], 1);
  EXPECT_EQ(pen_state().row, 0);
  EXPECT_EQ(pen_state().column, 0);
  EXPECT_EQ(caption_mode().pop_on, 0);
  EXPECT_TRUE(output_pending());
  clear_output_pending();

  // Back in mode none: the next character is dropped even once a row is addressed.
  address(15, 5);
  EXPECT_EQ(traced([] { Addchar('X'); }), "Addchar: buffer=0, ch=X row=15, col=5\n");
  EXPECT_EQ(cells_of(0, 15), row_with("Hi"));
  EXPECT_FALSE(output_pending());
}

TEST_F(CaptionMemoryTest, CharacterBeforeAnyRowIsDroppedInEveryMode) {
  struct Mode {
    const char *name;
    void (*enter)();
    int written;
  };
  const Mode modes[] = {
      {"pop-on", [] { Resume_caption_loading(); }, 0},
      {"paint-on", [] { Resume_direct_captioning(); }, 1},
      {"roll-up", [] { Roll_up(2); }, 1},
  };
  for (const Mode &mode : modes) {
    SCOPED_TRACE(mode.name);
    SetUp();
    mode.enter();
    std::string expected = "Addchar: buffer=" + std::to_string(mode.written) + ", ch=A row=0, col=0\n";
    EXPECT_EQ(traced([] { Addchar('A'); }), expected);
    EXPECT_TRUE(buffer_is_empty(0));
    EXPECT_TRUE(buffer_is_empty(1));
    EXPECT_EQ(caption_memory().has_content[mode.written], 0);
    EXPECT_EQ(pen_state().column, 0);
    EXPECT_FALSE(output_pending());
  }
}

TEST_F(CaptionMemoryTest, DeleteToEndOfRowBeforeAnyRowClearsNothingButRequestsOutput) {
  Resume_direct_captioning();
  address(3, 0);
  type("ABC");
  pen_state().row = 0;
  pen_state().column = 0;
  EXPECT_EQ(traced([] { Delete_end_of_Row(); }), "Delete_end_of_Row: Row 0 col 0\n");
  EXPECT_EQ(cells_of(1, 3), row_with("ABC"));
  EXPECT_EQ(cells_of(1, 1), kEmptyRow);
  EXPECT_TRUE(output_pending());
}

// Rows 1-15 of the displayed buffer hold a-o before the carriage return; '.' marks an
// empty row afterwards.
struct RollUpCase {
  int rows;
  int base;
  const char *trace;
  const char *rows_after;
};

const RollUpCase kRollUpCases[] = {
    {2, 15, "[CR]\ncopying line 15 to line 14\nclearing line 15\n", "abcdefghijklmo."},
    {3, 15, "[CR]\ncopying line 14 to line 13\ncopying line 15 to line 14\nclearing line 15\n", "abcdefghijklno."},
    {4, 15,
     "[CR]\ncopying line 13 to line 12\ncopying line 14 to line 13\ncopying line 15 to line 14\nclearing line 15\n",
     "abcdefghijkmno."},
    {4, 8, "[CR]\ncopying line 6 to line 5\ncopying line 7 to line 6\ncopying line 8 to line 7\nclearing line 8\n",
     "abcdfgh.ijklmno"},
    // Windows that would reach above row 1 stop at row 1.
    {2, 2, "[CR]\ncopying line 2 to line 1\nclearing line 2\n", "b.cdefghijklmno"},
    {3, 2, "[CR]\ncopying line 2 to line 1\nclearing line 2\n", "b.cdefghijklmno"},
    {4, 2, "[CR]\ncopying line 2 to line 1\nclearing line 2\n", "b.cdefghijklmno"},
    {4, 3, "[CR]\ncopying line 2 to line 1\ncopying line 3 to line 2\nclearing line 3\n", "bc.defghijklmno"},
    {2, 1, "[CR]\nclearing line 1\n", ".bcdefghijklmno"},
    {3, 1, "[CR]\nclearing line 1\n", ".bcdefghijklmno"},
    {4, 1, "[CR]\nclearing line 1\n", ".bcdefghijklmno"},
};

TEST_F(CaptionMemoryTest, CarriageReturnScrollsTheRollUpWindow) {
  for (const RollUpCase &c : kRollUpCases) {
    SCOPED_TRACE("rows " + std::to_string(c.rows) + ", base row " + std::to_string(c.base));
    SetUp();
    Roll_up(c.rows);
    for (int row = 1; row <= 15; row++) {
      address(row, 0);
      Addchar(static_cast<unsigned char>('a' + row - 1));
    }
    Set_base_row(c.base);
    pen_state().row = c.base;
    pen_state().column = 7;
    clear_output_pending();

    EXPECT_EQ(traced([] { Carriage_return(); }), c.trace);
    for (int row = 1; row <= 15; row++) {
      char expected = c.rows_after[row - 1];
      EXPECT_EQ(cells_of(1, row), expected == '.' ? kEmptyRow : row_with(std::string(1, expected))) << "row " << row;
    }
    EXPECT_TRUE(buffer_is_empty(0));
    EXPECT_EQ(pen_state().column, 0);
    EXPECT_EQ(pen_state().row, c.base);
    EXPECT_TRUE(output_pending());
  }
}

TEST_F(CaptionMemoryTest, CarriageReturnOutsideRollUpClearsOnlyTheBaseRowOfTheDisplayedBuffer) {
  for (bool paint_on : {false, true}) {
    SCOPED_TRACE(paint_on ? "paint-on" : "pop-on");
    SetUp();
    Resume_caption_loading();
    address(14, 0);
    type("Yo");
    address(15, 0);
    type("Hi");
    End_of_caption();  // buffer 0 is now displayed
    if (paint_on) {
      Resume_direct_captioning();
    } else {
      Resume_caption_loading();
      address(15, 0);
      type("new");  // goes to hidden buffer 1
    }
    Set_base_row(15);
    clear_output_pending();

    EXPECT_EQ(traced([] { Carriage_return(); }), "[CR]\nclearing line 15\n");
    EXPECT_EQ(cells_of(0, 14), row_with("Yo"));
    EXPECT_EQ(cells_of(0, 15), kEmptyRow);
    EXPECT_EQ(cells_of(1, 15), paint_on ? kEmptyRow : row_with("new"));
    EXPECT_EQ(caption_memory().has_content[0], 1);
    EXPECT_TRUE(output_pending());
  }
}

TEST_F(CaptionMemoryTest, BufferEmptiedByCarriageReturnKeepsItsContentFlag) {
  Roll_up(2);
  address(15, 0);
  type("A");
  Carriage_return();  // A scrolls up to row 14...
  Carriage_return();  // ...and out of the window
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(caption_memory().has_content[1], 1);
}

// Paint-on text is shown as it is painted, so like roll-up text it asks to be written.
TEST_F(CaptionMemoryTest, PaintOnWritesTheDisplayedBufferAndRequestsOutput) {
  EXPECT_EQ(traced([] { Resume_direct_captioning(); }), "[RDC - Resume direct captioning]\n");
  EXPECT_EQ(caption_memory().written, 1);
  address(5, 3);
  Addchar(0);  // an empty cell is no content
  EXPECT_FALSE(output_pending());
  type("ok");
  EXPECT_EQ(cells_of(1, 5), std::string(4, '\0') + "ok" + std::string(kCaptionColumns - 6, '\0'));
  EXPECT_EQ(caption_memory().has_content[1], 1);
  EXPECT_TRUE(buffer_is_empty(0));
  EXPECT_TRUE(output_pending());
}

TEST_F(CaptionMemoryTest, RollUpRequestsOutputForEveryNonZeroCharacter) {
  Roll_up(3);
  address(15, 0);
  Addchar(0);  // an empty cell is no content
  EXPECT_EQ(caption_memory().has_content[1], 0);
  EXPECT_FALSE(output_pending());
  EXPECT_EQ(pen_state().column, 1);
  Addchar('A');
  EXPECT_TRUE(output_pending());
  clear_output_pending();
  Addchar('B');
  EXPECT_TRUE(output_pending());
  EXPECT_EQ(cells_of(1, 15), std::string("\0AB", 3) + std::string(kCaptionColumns - 3, '\0'));
  EXPECT_EQ(caption_memory().has_content[1], 1);
}

TEST_F(CaptionMemoryTest, ColumnStopsAtTheLastCellAndLaterCharactersOverwriteIt) {
  Resume_direct_captioning();
  address(1, 0);
  const std::string row35 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXY";
  ASSERT_EQ(row35.size(), 35u);
  type(row35);
  EXPECT_EQ(cells_of(1, 1), row35);
  EXPECT_EQ(pen_state().column, 34);
  EXPECT_EQ(traced([] { Addchar('Z'); }),
            "Addchar: buffer=1, ch=Z row=1, col=34\n"
            "CH: Z (5a)--> Buffer 1, row 1 col 34\n");
  EXPECT_EQ(cells_of(1, 1), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXZ");
  EXPECT_EQ(pen_state().column, 34);
  EXPECT_EQ(cells_of(1, 2), kEmptyRow);
}

// Buffer 0 displayed with "Hi" on row 15, buffer 1 hidden with "Yo" on row 14.
void load_both_buffers() {
  Resume_caption_loading();
  pen_state().row = 15;
  pen_state().column = 0;
  Addchar('H');
  Addchar('i');
  End_of_caption();
  Resume_caption_loading();
  pen_state().row = 14;
  pen_state().column = 0;
  Addchar('Y');
  Addchar('o');
  clear_output_pending();
}

TEST_F(CaptionMemoryTest, ErasingHiddenMemoryRequestsNoOutput) {
  load_both_buffers();
  EXPECT_EQ(traced([] { Erase_non_displayed_memory(); }), "");
  EXPECT_TRUE(buffer_is_empty(1));
  EXPECT_EQ(caption_memory().has_content[1], 0);
  EXPECT_EQ(cells_of(0, 15), row_with("Hi"));
  EXPECT_EQ(caption_memory().has_content[0], 1);
  EXPECT_FALSE(output_pending());
}

TEST_F(CaptionMemoryTest, ErasingDisplayedMemoryRequestsOutput) {
  load_both_buffers();
  EXPECT_EQ(traced([] { Erase_displayed_memory(); }), "");
  EXPECT_TRUE(buffer_is_empty(0));
  EXPECT_EQ(caption_memory().has_content[0], 0);
  EXPECT_EQ(cells_of(1, 14), row_with("Yo"));
  EXPECT_EQ(caption_memory().has_content[1], 1);
  EXPECT_TRUE(output_pending());
}

TEST_F(CaptionMemoryTest, DeleteToEndOfRowClearsTheWrittenBufferAndRequestsOutputEvenInPopOn) {
  load_both_buffers();  // pop-on, writing hidden buffer 1
  address(14, 2);
  Addchar('u');
  Addchar('!');
  ASSERT_EQ(cells_of(1, 14), row_with("You!"));
  pen_state().column = 2;
  EXPECT_EQ(traced([] { Delete_end_of_Row(); }), "Delete_end_of_Row: Row 14 col 2\n");
  EXPECT_EQ(cells_of(1, 14), row_with("Yo"));
  EXPECT_TRUE(output_pending());
  clear_output_pending();

  pen_state().column = 0;
  EXPECT_EQ(traced([] { Delete_end_of_Row(); }), "Delete_end_of_Row: Row 14 col 0\n");
  EXPECT_EQ(cells_of(1, 14), kEmptyRow);
  EXPECT_EQ(cells_of(0, 15), row_with("Hi"));  // the displayed buffer is not the written one
  EXPECT_EQ(caption_memory().has_content[1], 1);
  EXPECT_EQ(pen_state().row, 14);
  EXPECT_EQ(pen_state().column, 0);
  EXPECT_TRUE(output_pending());
}

TEST_F(CaptionMemoryTest, EndOfCaptionOutsidePopOnKeepsTheMode) {
  Resume_direct_captioning();
  End_of_caption();
  EXPECT_EQ(caption_mode().paint_on, 1);
  EXPECT_EQ(caption_memory().displayed, 0);
  EXPECT_EQ(caption_memory().written, 1);  // now the hidden buffer
  Roll_up(4);
  EXPECT_EQ(caption_memory().written, 0);
  End_of_caption();
  EXPECT_EQ(caption_mode().roll_up_rows, 4);
  EXPECT_EQ(caption_memory().displayed, 1);
  EXPECT_EQ(caption_memory().written, 0);
  SetUp();
  End_of_caption();  // mode none: only the roles swap
  EXPECT_EQ(caption_memory().displayed, 0);
  EXPECT_EQ(caption_memory().non_displayed, 1);
  EXPECT_EQ(caption_mode().pop_on + caption_mode().paint_on + caption_mode().roll_up_rows, 0);
  EXPECT_TRUE(output_pending());
}

TEST_F(CaptionMemoryTest, ModeCommandsChangeOnlyTheModeAndTheWrittenBuffer) {
  struct Command {
    void (*run)();
    const char *trace;
    int pop_on, paint_on, roll_up_rows;
  };
  const Command commands[] = {
      {[] { Roll_up(2); }, "[Roll up 2 rows]\n", 0, 0, 2},
      {[] { Resume_caption_loading(); }, "RCL - Resume Caption Loading \"PopOnMode\"\n", 1, 0, 0},
      {[] { Roll_up(3); }, "[Roll up 3 rows]\n", 0, 0, 3},
      {[] { Resume_direct_captioning(); }, "[RDC - Resume direct captioning]\n", 0, 1, 0},
      {[] { Roll_up(4); }, "[Roll up 4 rows]\n", 0, 0, 4},
      {[] { Resume_caption_loading(); }, "RCL - Resume Caption Loading \"PopOnMode\"\n", 1, 0, 0},
  };
  address(7, 4);
  for (const Command &command : commands) {
    SCOPED_TRACE(command.trace);
    EXPECT_EQ(traced(command.run), command.trace);
    EXPECT_EQ(caption_mode().pop_on, command.pop_on);
    EXPECT_EQ(caption_mode().paint_on, command.paint_on);
    EXPECT_EQ(caption_mode().roll_up_rows, command.roll_up_rows);
    EXPECT_EQ(caption_memory().written, command.pop_on ? 0 : 1);
    EXPECT_EQ(pen_state().row, 7);
    EXPECT_EQ(pen_state().column, 4);
    EXPECT_EQ(caption_mode().base_row, 7);
    EXPECT_FALSE(output_pending());
  }
}

TEST_F(CaptionMemoryTest, TracesVanishAtVerbosityZero) {
  verbosity_level = 0;
  std::string out = traced([] {
    Roll_up(2);
    Resume_direct_captioning();
    Resume_caption_loading();
    Set_base_row(15);
    pen_state().row = 15;
    Addchar('A');
    Delete_end_of_Row();
    Addchar('B');
    Carriage_return();
    Addchar('C');
    End_of_caption();
  });
  EXPECT_EQ(out, "");
  // The carriage return cleared the displayed buffer 1 and sent the cursor back to column 0.
  EXPECT_EQ(cells_of(0, 15), row_with("CB"));
  EXPECT_EQ(caption_memory().displayed, 0);
  EXPECT_EQ(caption_memory().has_content[0], 1);
}

}  // namespace
