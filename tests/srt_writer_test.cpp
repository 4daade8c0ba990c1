// SRT writer, in process: captions are put on screen through the caption memory and the
// entries are read back from a temporary file.
#include "output/srt_writer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "captions/caption_memory.hpp"
#include "mpeg/video_scanner.hpp"
#include "captions/caption_time.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

// At verbosity 4, as the tool runs, the trace captured; each test starts with the file open.
class SrtWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_components(4);
    path_ = dir_.path + "/out.srt";
    capture_stdout();
    srt_open(path_.c_str());
    srt_start();
  }
  void TearDown() override { captured_stdout(); }
  // The trace since the last call, or since the start.
  std::string trace() {
    std::string text = captured_stdout();
    capture_stdout();
    return text;
  }
  std::string close_and_read() { return close_cleanly_and_read(srt_close, path_); }
  // The file after each step: the caption shown (none: the display blanked), then an entry
  // call at its time.
  struct Step {
    int64_t ms;
    std::vector<Text> shown;
  };
  std::string file_after(const std::vector<Step> &steps) {
    for (const Step &step : steps) {
      if (step.shown.empty()) {
        blank();
      } else {
        show(step.shown);
      }
      srt_write_entry(step.ms);
    }
    return close_and_read();
  }
  TempDir dir_{"srt"};
  std::string path_;
};

TEST(SrtMilliseconds, FramesBecomeMillisecondsThroughTheRoundedFactor) {
  for (int f = 0; f < 25; f++) EXPECT_EQ(frames_to_milliseconds(f, 25.0f), 40 * f) << f;
  for (int f = 0; f < 50; f++) EXPECT_EQ(frames_to_milliseconds(f, 50.0f), 20 * f) << f;
  EXPECT_EQ(frames_to_milliseconds(3, 30.0f), 99);
  EXPECT_EQ(frames_to_milliseconds(15, 30.0f), 499);
  EXPECT_EQ(frames_to_milliseconds(3, ntsc_rate()), 100);
  EXPECT_EQ(frames_to_milliseconds(15, ntsc_rate()), 500);
  EXPECT_EQ(frames_to_milliseconds(29, ntsc_rate()), 967);
  EXPECT_EQ(frames_to_milliseconds(30, ntsc_rate()), 1001);
  EXPECT_EQ(frames_to_milliseconds(1, 24.0f), 41);
  EXPECT_EQ(frames_to_milliseconds(6, 24.0f), 250);
  EXPECT_EQ(frames_to_milliseconds(3, 60.0f), 49);
  EXPECT_EQ(frames_to_milliseconds(10, 0.0f), 0);
  EXPECT_EQ(frames_to_milliseconds(29, 0.0f), 0);
}

TEST(SrtMilliseconds, CaptionTimeAddsHoursMinutesAndSeconds) {
  EXPECT_EQ(caption_time_milliseconds({1, 0, 0, 0}, ntsc_rate()), 3600000);
  EXPECT_EQ(caption_time_milliseconds({1, 2, 3, 15}, ntsc_rate()), 3723500);
  EXPECT_EQ(caption_time_milliseconds({0, 0, 2, 10}, 0.0f), 2000);
  EXPECT_EQ(caption_time_milliseconds({0, 0, 2, 0}, 0.0f), 2000);
  // Hours have no limit; the sum does not wrap.
  EXPECT_EQ(caption_time_milliseconds({1000, 0, 0, 0}, 25.0f), INT64_C(3600000000));
}

TEST_F(SrtWriter, FirstCallWritesNothingAndItsCaptionBecomesEntryOne) {
  EXPECT_EQ(file_after({{1000, {{15, 0, "HELLO"}}}, {2400, {}}}),
            "1       \r\n00:00:01,000 --> 00:00:02,400\r\nHELLO\r\n\r\n");
}

// An empty display is remembered as nothing, and a change to it ends nothing new.
TEST_F(SrtWriter, EntriesAreNumberedWithoutGapsAndRowsKeepLeadingSpaces) {
  EXPECT_EQ(file_after({{0, {}}, {1000, {{1, 0, "TOP"}, {15, 2, "HELLO"}}}, {2000, {{14, 4, "SECOND"}}}, {3000, {}},
                        {4000, {}}, {5000, {{15, 0, "THIRD"}}}, {6000, {}}}),
            "1       \r\n00:00:01,000 --> 00:00:02,000\r\nTOP\r\n  HELLO\r\n\r\n"
            "2       \r\n00:00:02,000 --> 00:00:03,000\r\n    SECOND\r\n\r\n"
            "3       \r\n00:00:05,000 --> 00:00:06,000\r\nTHIRD\r\n\r\n");
}

TEST_F(SrtWriter, CounterLineIsPaddedToEightCharacters) {
  std::vector<Step> steps;
  for (int i = 0; i < 10; i++) steps.push_back({1000 * i, {{15, 0, std::string(1, static_cast<char>('A' + i))}}});
  steps.push_back({10000, {}});
  std::string file = file_after(steps);
  EXPECT_EQ(file.substr(0, 10), "1       \r\n");
  EXPECT_NE(file.find("9       \r\n00:00:08,000 --> 00:00:09,000\r\nI\r\n\r\n"), std::string::npos);
  EXPECT_TRUE(ends_with(file, "10      \r\n00:00:09,000 --> 00:00:10,000\r\nJ\r\n\r\n")) << file;
}

// Roll-up (and paint-on) text is written out after every pair that adds to it: each call
// ends the entry of the text shown until then and starts one for the longer text.
TEST_F(SrtWriter, RollUpTextGivesAnEntryForEveryPairThatAddsToIt) {
  EXPECT_EQ(file_after({{0, {{15, 0, "HE"}}}, {1000, {{15, 0, "HELL"}}}, {2000, {{15, 0, "HELLO"}}}, {3000, {}}}),
            "1       \r\n00:00:00,000 --> 00:00:01,000\r\nHE\r\n\r\n"
            "2       \r\n00:00:01,000 --> 00:00:02,000\r\nHELL\r\n\r\n"
            "3       \r\n00:00:02,000 --> 00:00:03,000\r\nHELLO\r\n\r\n");
}

TEST_F(SrtWriter, GapsBecomeSpacesAndTheLastThreeColumnsAreWritten) {
  EXPECT_EQ(file_after({{0, {{10, 3, "ABCDE"}, {10, 10, "XYZ"}, {11, 32, "P"}, {12, 30, "12345"}, {13, 34, "Q"},
                             {14, 33, "R"}}},
                        {1000, {}}}),
            "1       \r\n00:00:00,000 --> 00:00:01,000\r\n"
            "   ABCDE  XYZ\r\n" +
                std::string(32, ' ') + "P\r\n" + std::string(30, ' ') + "12345\r\n" + std::string(34, ' ') + "Q\r\n" +
                std::string(33, ' ') + "R\r\n\r\n");
}

TEST_F(SrtWriter, CaptionBytesAreWrittenUnchanged) {
  EXPECT_EQ(file_after({{0, {{15, 0, "100% <i>&amp; caf\xE9 \x83"}}}, {1000, {}}}),
            "1       \r\n00:00:00,000 --> 00:00:01,000\r\n100% <i>&amp; caf\xE9 \x83\r\n\r\n");
}

TEST_F(SrtWriter, CaptionEmptiedByCarriageReturnGivesNoEntry) {
  show({{15, 0, "ONE"}});
  srt_write_entry(1000);
  Carriage_return();  // clears the base row; the buffer keeps its has-content flag
  clear_output_pending();
  ASSERT_EQ(caption_memory().has_content[caption_memory().displayed], 1);
  srt_write_entry(2000);
  show({{15, 0, "TWO"}});
  srt_write_entry(3000);  // ends the empty caption: no entry, no number used
  blank();
  srt_write_entry(4000);
  EXPECT_EQ(close_and_read(),
            "1       \r\n00:00:01,000 --> 00:00:02,000\r\nONE\r\n\r\n"
            "2       \r\n00:00:03,000 --> 00:00:04,000\r\nTWO\r\n\r\n");
}

// Equal start and end, a time code that went backwards, and past 99 hours.
TEST_F(SrtWriter, UnusualTimesAreWrittenAsTheyCome) {
  EXPECT_EQ(file_after({{5000, {{15, 0, "SAME"}}}, {5000, {{15, 0, "BACK"}}}, {3000, {{15, 0, "ODD"}}},
                        {1001, {{15, 0, "LATE"}}}, {INT64_C(360000000), {}}}),
            "1       \r\n00:00:05,000 --> 00:00:05,000\r\nSAME\r\n\r\n"
            "2       \r\n00:00:05,000 --> 00:00:03,000\r\nBACK\r\n\r\n"
            "3       \r\n00:00:03,000 --> 00:00:01,001\r\nODD\r\n\r\n"
            "4       \r\n00:00:01,001 --> 100:00:00,000\r\nLATE\r\n\r\n");
}

TEST_F(SrtWriter, CloseEndsTheLastEntryAtTheLatestPair) {
  show({{15, 0, "STILL HERE"}});
  srt_write_entry(4100);
  srt_note_pair_time(7500 * kTicksPerMillisecond);
  srt_note_pair_time(67500 * kTicksPerMillisecond);  // the latest pair counts
  EXPECT_EQ(close_and_read(), "1       \r\n00:00:04,100 --> 00:01:07,500\r\nSTILL HERE\r\n\r\n");
}

TEST_F(SrtWriter, CloseWithNothingRememberedWritesNothing) {
  srt_write_entry(1000);
  show({{15, 0, "NEVER CLOSED BY A CHANGE"}});  // shown after the last call: not remembered
  srt_note_pair_time(9000 * kTicksPerMillisecond);
  EXPECT_EQ(close_and_read(), "");
}

TEST_F(SrtWriter, CallsWhileClosedChangeNothing) {
  EXPECT_EQ(close_and_read(), "");
  show({{15, 0, "EARLY"}});
  srt_write_entry(1000);  // no file: nothing remembered
  EXPECT_TRUE(srt_close());
  srt_open(path_.c_str());
  srt_start();
  blank();
  srt_write_entry(2000);
  EXPECT_EQ(close_and_read(), "");
}

TEST_F(SrtWriter, TracesEachRowItWrites) {
  show({{3, 0, "A"}, {15, 0, "B"}});
  srt_write_entry(1000);
  blank();
  trace();
  srt_write_entry(2000);
  srt_write_entry(3000);  // no entry: no trace
  EXPECT_EQ(trace(), "Output row 3 to SRT file\nOutput row 15 to SRT file\n");
  close_and_read();
}

}  // namespace
