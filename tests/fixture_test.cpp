// End-to-end runs on streams that real tools wrote: ffmpeg's MPEG-2 encoder (closed groups
// of pictures with B-frames, its own sequence extensions, user data after picture headers)
// and its DVD, VOB and MPEG-1 system muxers, with captions put in after every
// group-of-pictures header (tests/fixtures/make-fixtures.sh). The expected .srt and .smi of
// each file are worked out from its caption script, not taken from a run of the tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "fixtures/caption_script.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using caption_script::FixtureFile;

caption_script::Script load_script(const std::string &name) {
  return caption_script::load(source_path("tests/fixtures/" + name + ".captions"));
}

struct Outputs {
  RunResult run;
  std::string srt, smi;
};

Outputs run_on(const FixtureFile &file, bool timecode = false) {
  TempDir temp("fixture");
  const std::string &dir = temp.path;
  Outputs outputs;
  std::vector<std::string> arguments = {source_path(file.path), "/d" + dir};
  if (timecode) arguments.insert(arguments.begin(), "--timecode");
  outputs.run = run_zorbel(arguments, dir);
  std::string base = dir + "/" + caption_script::base_name(file.path);
  outputs.srt = file_exists(base + ".srt") ? read_file(base + ".srt") : "(no .srt file)";
  outputs.smi = file_exists(base + ".smi") ? read_file(base + ".smi") : "(no .smi file)";
  return outputs;
}

// Progress dots: one for each group whose minute differs from the previous group's and is
// a multiple of five. Groups are far shorter than a minute, so every minute that the file's
// time code passes starts some group.
size_t expected_dots(const caption_script::Script &script) {
  size_t dots = 0;
  int remembered = 0;
  for (int frame = 0; frame < script.frames; frame++) {
    int minute = (script.start_frame + frame) / script.fps / 60 % 60;
    if (minute != remembered && minute % 5 == 0) dots++;
    remembered = minute;
  }
  return dots;
}

class FixtureStream : public testing::TestWithParam<FixtureFile> {};

TEST_P(FixtureStream, WritesTheCaptionsOfItsScriptAndEndsWithStatusZero) {
  const FixtureFile &file = GetParam();
  caption_script::Script script = load_script(file.script);
  Outputs outputs = run_on(file);
  EXPECT_EQ(outputs.run.status, 0);
  EXPECT_EQ(outputs.run.err, "");
  EXPECT_EQ(outputs.srt, caption_script::expected_srt(script));
  EXPECT_EQ(outputs.smi, caption_script::expected_smi(script));
  EXPECT_EQ(count_of(outputs.run.out, ".group of pictures"), expected_dots(script));

  // --timecode: the times of the time code's labels; the trace after the name lines is the
  // same.
  Outputs by_timecode = run_on(file, true);
  EXPECT_EQ(by_timecode.run.status, 0);
  EXPECT_EQ(by_timecode.srt, caption_script::expected_srt(script, true));
  EXPECT_EQ(by_timecode.smi, caption_script::expected_smi(script, true));
  auto trace = [](const std::string &out) { return out.substr(out.find("sequence header")); };
  EXPECT_TRUE(trace(by_timecode.run.out) == trace(outputs.run.out));
}

INSTANTIATE_TEST_SUITE_P(FixtureFiles, FixtureStream,
                         testing::ValuesIn(caption_script::fixture_files()),
                         [](const testing::TestParamInfo<FixtureFile> &info) {
                           return std::string(info.param.name);
                         });

// The four containers of one script hold the same video elementary stream, so the tool
// must write the same files for all of them, byte for byte.
TEST(FixtureContainers, EveryContainerOfAScriptGivesTheSameFiles) {
  std::map<std::string, std::vector<FixtureFile>> by_script;
  for (const FixtureFile &file : caption_script::fixture_files())
    by_script[file.script].push_back(file);
  for (const auto &entry : by_script) {
    if (entry.second.size() < 2) continue;
    Outputs first = run_on(entry.second[0]);
    ASSERT_NE(first.srt.find("-->"), std::string::npos) << entry.second[0].path;
    for (size_t i = 1; i < entry.second.size(); i++) {
      SCOPED_TRACE(std::string(entry.second[i].path) + " against " + entry.second[0].path);
      Outputs other = run_on(entry.second[i]);
      EXPECT_EQ(other.srt, first.srt);
      EXPECT_EQ(other.smi, first.smi);
    }
  }
}

// The fixture set is what makes the runs above worth having: guard its coverage against
// edits of the scripts.
TEST(FixtureScripts, CoverEveryCaptionStyleFrameRateAndEndOfFileCaption) {
  bool popon = false, rollup = false, painton = false, midrow = false, special = false,
       basic_other = false;
  std::vector<std::string> rates;
  for (const std::string name : {"ntsc", "pal", "film", "sample"}) {
    SCOPED_TRACE(name);
    caption_script::Script script = load_script(name);
    popon |= script.has_popon;
    rollup |= script.has_rollup;
    painton |= script.has_painton;
    midrow |= script.has_midrow;
    special |= script.has_special;
    basic_other |= script.has_basic_other;
    rates.push_back(script.rate);
    ASSERT_FALSE(script.events.empty());
    EXPECT_TRUE(script.events.back().screen.has_text()) << "no caption showing at the end";
    EXPECT_LT(script.events.back().frame, script.frames - 1);
  }
  EXPECT_TRUE(popon && rollup && painton && midrow && special && basic_other);
  for (const std::string rate : {"30000/1001", "25", "24000/1001"})
    EXPECT_NE(std::find(rates.begin(), rates.end(), rate), rates.end()) << rate;
}

// The expected files follow the time rules of the tool, checked here on known values so
// that a slip in the script model cannot hide one in the tool.
TEST(FixtureScripts, TimeOfAFrameFollowsTheFramePeriodOrTheTimeCode) {
  caption_script::Script ntsc;
  ntsc.rate = "30000/1001";
  ntsc.fps = 30;
  EXPECT_EQ(caption_script::milliseconds(ntsc, 15), 500);    // 15 x 33.3667 ms
  EXPECT_EQ(caption_script::milliseconds(ntsc, 30), 1001);
  EXPECT_EQ(caption_script::milliseconds(ntsc, 107892), 3599996);  // an hour of drop-frame labels
  EXPECT_EQ(caption_script::timecode_milliseconds(ntsc, 15), 500);
  EXPECT_EQ(caption_script::timecode_milliseconds(ntsc, 29), 967);
  EXPECT_EQ(caption_script::timecode_milliseconds(ntsc, 3), 100);
  EXPECT_EQ(caption_script::timecode_milliseconds(ntsc, 30), 1000);
  caption_script::Script pal;
  pal.rate = "25";
  pal.fps = 25;
  pal.start_frame = caption_script::timecode_frames("00:59:59:24", 25);
  EXPECT_EQ(caption_script::milliseconds(pal, 1), 40);  // from the first frame, whatever its label
  EXPECT_EQ(caption_script::timecode_milliseconds(pal, 0), 3599000 + 960);
  EXPECT_EQ(caption_script::timecode_milliseconds(pal, 1), 3600000);
  EXPECT_EQ(caption_script::srt_time(3600000), "01:00:00,000");
  caption_script::Script film;
  film.rate = "24000/1001";
  film.fps = 24;
  EXPECT_EQ(caption_script::milliseconds(film, 24), 1001);
  EXPECT_EQ(caption_script::timecode_milliseconds(film, 23), 959);  // 23 x 41.70833 ms
  EXPECT_EQ(caption_script::timecode_milliseconds(film, 24), 1000);
  EXPECT_EQ(caption_script::sami_header().size(), 386u + 17u);  // 17 lines of CR LF
}

}  // namespace
