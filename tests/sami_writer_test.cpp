// SAMI writer, in process: captions are put on screen through the caption memory and the
// file is read back from a temporary directory.
#include "output/sami_writer.hpp"

#include <gtest/gtest.h>

#include <string>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "captions/caption_memory.hpp"
#include "mpeg/video_scanner.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

// At verbosity 4, as the tool runs, the trace captured; each test starts with the file open.
class SamiWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_components(4);
    path_ = dir_.path + "/out.smi";
    capture_stdout();
    sami_open(path_.c_str());
    sami_start();
  }
  void TearDown() override { captured_stdout(); }
  // The trace since the last call, or since the start.
  std::string trace() {
    std::string text = captured_stdout();
    capture_stdout();
    return text;
  }
  std::string close_and_read() { return close_cleanly_and_read(sami_close, path_); }
  TempDir dir_{"sami"};
  std::string path_;
};

TEST_F(SamiWriter, HeaderAndTrailerAreExact) {
  EXPECT_TRUE(sami_close());
  EXPECT_EQ(read_file(path_), sami_file(""));
  EXPECT_TRUE(sami_close());  // closing again: nothing is open, nothing happens
  EXPECT_EQ(read_file(path_), sami_file(""));
}

TEST_F(SamiWriter, SyncLinesGiveTheMilliseconds) {
  sami_write_sync(0);
  sami_write_sync(99);
  sami_write_sync(3600000);
  sami_write_sync(INT64_C(360000000000));  // no 32-bit wrap
  EXPECT_EQ(close_and_read(), sami_file("<SYNC START=\"0\">\r\n<SYNC START=\"99\">\r\n<SYNC START=\"3600000\">\r\n"
                                       "<SYNC START=\"360000000000\">\r\n"));
}

TEST_F(SamiWriter, CaptionRowsFollowTheParagraphStart) {
  show({{15, 0, "HELLO"}});
  sami_write_sync(500);
  sami_write_caption();
  show({{2, 8, "TWO"}, {11, 0, "ROWS"}});
  sami_write_caption();
  EXPECT_EQ(close_and_read(), sami_file("<SYNC START=\"500\">\r\n<P class=ENCC>HELLO<BR>\r\n"
                                       "<P class=ENCC>TWO<BR>\r\nROWS<BR>\r\n"));
}

TEST_F(SamiWriter, GapsBecomeSpacesButLeadingCellsAddNothing) {
  show({{10, 3, "ABCDE"}, {10, 10, "XYZ"}, {11, 32, "P"}, {12, 30, "12345"}, {13, 34, "Q"}, {14, 33, "R"}});
  sami_write_caption();
  EXPECT_EQ(close_and_read(), sami_file("<P class=ENCC>ABCDE  XYZ<BR>\r\nP<BR>\r\n12345<BR>\r\nQ<BR>\r\nR<BR>\r\n"));
}

TEST_F(SamiWriter, CaptionBytesAreWrittenUnchanged) {
  show({{15, 0, "100% <i>&amp; caf\xE9 %s%n"}});
  sami_write_caption();
  EXPECT_EQ(close_and_read(), sami_file("<P class=ENCC>100% <i>&amp; caf\xE9 %s%n<BR>\r\n"));
}

TEST_F(SamiWriter, EmptyDisplayIsANonBreakingSpace) {
  sami_write_sync(0);
  sami_write_caption();  // before any caption was shown
  show({{15, 0, "HI"}});
  Carriage_return();  // clears row 15 again: nothing left to show
  clear_output_pending();
  sami_write_caption();
  EXPECT_EQ(close_and_read(), sami_file("<SYNC START=\"0\">\r\n<P class=ENCC>&nbsp;\r\n<P class=ENCC>&nbsp;\r\n"));
}

TEST_F(SamiWriter, TracesRowsOrTheBlankRow) {
  show({{1, 0, "A"}, {15, 5, "B"}});
  trace();
  sami_write_sync(1000);  // no trace of its own
  sami_write_caption();
  blank();
  sami_write_caption();
  EXPECT_EQ(trace(), "Output row 1 to SAMI file\nOutput row 15 to SAMI file\nOutputting blank row to SAMI file\n");
  close_and_read();
}

}  // namespace
