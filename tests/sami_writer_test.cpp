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

const char kHeader[] =
    "<SAMI>\r\n"
    "<HEAD>\r\n"
    "    <STYLE type=\"text/css\"><!--\r\n"
    "      P {margin-top:3pt;\r\n"
    "         margin-left:5pt;\r\n"
    "         margin-right:5pt;\r\n"
    "         margin-bottom:5pt;\r\n"
    "         font-size: 14pt;\r\n"
    "         font-family: tahoma, sans-serif;\r\n"
    "         font-weight: normal;\r\n"
    "         color: white;}\r\n"
    "   .ENCC {Name:English; lang: en-US; SAMI_Type: CC; \r\n"
    "                samitype:CC; }\r\n"
    "-->\r\n"
    "</STYLE>\r\n"
    "</HEAD>\r\n"
    "<BODY>\r\n";
const char kTrailer[] = "</BODY>\r\n</SAMI>\r\n";

class SamiWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_components(0);
    path_ = dir_.path + "/out.smi";
  }
  void open() {
    sami_open(path_.c_str());
    sami_start();
  }
  // The body: what lies between the header and the trailer.
  std::string close_and_read_body() {
    std::string file = close_cleanly_and_read(sami_close, path_);
    std::string header = kHeader, trailer = kTrailer;
    if (file.size() < header.size() + trailer.size() || file.compare(0, header.size(), header) != 0 ||
        file.compare(file.size() - trailer.size(), trailer.size(), trailer) != 0) {
      ADD_FAILURE() << "header or trailer wrong:\n" << file;
      return file;
    }
    return file.substr(header.size(), file.size() - header.size() - trailer.size());
  }
  TempDir dir_{"sami"};
  std::string path_;
};

TEST_F(SamiWriter, HeaderAndTrailerAreExact) {
  std::string header = kHeader;
  size_t line_ends = 0;
  for (char c : header) line_ends += c == '\n';
  EXPECT_EQ(line_ends, 17u);
  EXPECT_EQ(header.size() - line_ends, 386u);  // counting each line end as one byte
  EXPECT_EQ(header.size(), 403u);

  open();
  EXPECT_TRUE(sami_close());
  EXPECT_EQ(read_file(path_), header + "</BODY>\r\n</SAMI>\r\n");
  EXPECT_TRUE(sami_close());  // closing again: nothing is open, nothing happens
  EXPECT_EQ(read_file(path_).size(), 403u + 18u);
}

TEST_F(SamiWriter, SyncLinesGiveTheMilliseconds) {
  open();
  sami_write_sync(0);
  sami_write_sync(99);
  sami_write_sync(3600000);
  sami_write_sync(INT64_C(360000000000));  // no 32-bit wrap
  EXPECT_EQ(close_and_read_body(),
            "<SYNC START=\"0\">\r\n<SYNC START=\"99\">\r\n<SYNC START=\"3600000\">\r\n"
            "<SYNC START=\"360000000000\">\r\n");
}

TEST_F(SamiWriter, CaptionRowsFollowTheParagraphStart) {
  open();
  show({{15, 0, "HELLO"}});
  sami_write_sync(500);
  sami_write_caption();
  show({{2, 8, "TWO"}, {11, 0, "ROWS"}});
  sami_write_caption();
  EXPECT_EQ(close_and_read_body(),
            "<SYNC START=\"500\">\r\n<P class=ENCC>HELLO<BR>\r\n"
            "<P class=ENCC>TWO<BR>\r\nROWS<BR>\r\n");
}

TEST_F(SamiWriter, GapsBecomeSpacesButLeadingCellsAddNothing) {
  open();
  show({{10, 3, "ABCDE"}, {10, 10, "XYZ"}, {11, 32, "P"}, {12, 30, "12345"}, {13, 34, "Q"}, {14, 33, "R"}});
  sami_write_caption();
  EXPECT_EQ(close_and_read_body(), "<P class=ENCC>ABCDE  XYZ<BR>\r\nP<BR>\r\n12345<BR>\r\nQ<BR>\r\nR<BR>\r\n");
}

TEST_F(SamiWriter, CaptionBytesAreWrittenUnchanged) {
  open();
  show({{15, 0, "100% <i>&amp; caf\xE9 %s%n"}});
  sami_write_caption();
  EXPECT_EQ(close_and_read_body(), "<P class=ENCC>100% <i>&amp; caf\xE9 %s%n<BR>\r\n");
}

TEST_F(SamiWriter, EmptyDisplayIsANonBreakingSpace) {
  open();
  sami_write_sync(0);
  sami_write_caption();  // before any caption was shown
  show({{15, 0, "HI"}});
  Carriage_return();  // clears row 15 again: nothing left to show
  clear_output_pending();
  sami_write_caption();
  EXPECT_EQ(close_and_read_body(), "<SYNC START=\"0\">\r\n<P class=ENCC>&nbsp;\r\n<P class=ENCC>&nbsp;\r\n");
}

TEST_F(SamiWriter, TracesRowsOrTheBlankRow) {
  open();
  show({{1, 0, "A"}, {15, 5, "B"}});
  verbosity_level = 4;
  caption_test::capture_stdout();
  sami_write_sync(1000);  // no trace of its own
  sami_write_caption();
  blank();
  sami_write_caption();
  EXPECT_EQ(caption_test::captured_stdout(),
            "Output row 1 to SAMI file\nOutput row 15 to SAMI file\nOutputting blank row to SAMI file\n");
  verbosity_level = 0;
  close_and_read_body();
}

TEST_F(SamiWriter, WriteFailureIsReportedAtClose) {
  // Capturing flushes every stream, so it starts before anything is written.
  testing::internal::CaptureStderr();
  sami_open("/dev/full");
  sami_start();
  show({{15, 0, "LOST"}});
  sami_write_sync(1000);
  sami_write_caption();
  EXPECT_FALSE(sami_close());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error writing /dev/full\n");
}

}  // namespace
