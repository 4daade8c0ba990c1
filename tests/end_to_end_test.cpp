// Whole caption streams through the built binary, held to rules rather than to reference
// files: caption times on the video's timeline, and the field order that the entries' tags
// set. The reviewed files of whole runs are in tests/ref/ (ref_test.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "caption_test_support.hpp"
#include "mpeg/video_scanner.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

// ---- Caption times on the video's timeline ----

// A group of pictures as the timeline sees it: its time code and how many frames its
// "CC" block covers (none: no user data). A marked group's block starts with an erase of
// the display, which writes a SAMI synchronisation line at the group's first frame.
struct TimedGroup {
  TimeCode time_code;
  int frames;
  bool marked;
  int frame_rate_code = -1;  // a sequence header before the group; -1: none
  int more_frames = 0;       // a second block of null pairs after the first
};

// The label a time code of n frames a second gives frame `frame`; drop-frame codes skip
// the first n/15 labels of every minute but each tenth.
TimeCode label_of_frame(int64_t frame, int n, bool drop_frame) {
  if (drop_frame) {
    int64_t drop = n / 15, per_minute = 60 * n - drop, per_ten = 10 * per_minute + drop;
    int64_t tens = frame / per_ten, rest = frame % per_ten;
    frame += 9 * drop * tens + (rest > drop ? drop * ((rest - drop) / per_minute) : 0);
  }
  TimeCode t;
  t.drop_flag = drop_frame;
  t.pictures = static_cast<int>(frame % n);
  t.seconds = static_cast<int>(frame / n % 60);
  t.minutes = static_cast<int>(frame / n / 60 % 60);
  t.hours = static_cast<int>(frame / n / 3600);
  return t;
}

// `count` groups of `size` frames from frame `first` of the time code, the first one
// after a sequence header of the rate; `marked` picks the groups that carry a block.
std::vector<TimedGroup> groups_from(int frame_rate_code, int n, bool drop_frame, int64_t first, int size, int count,
                                    const std::function<bool(int)> &marked) {
  std::vector<TimedGroup> groups;
  for (int i = 0; i < count; i++) {
    bool carries = marked(i);
    groups.push_back({label_of_frame(first + int64_t{i} * size, n, drop_frame), carries ? size : 0, carries,
                      i == 0 ? frame_rate_code : -1});
  }
  return groups;
}

Bytes timed_stream(const std::vector<TimedGroup> &groups) {
  StreamBuilder builder;
  for (const TimedGroup &group : groups) {
    if (group.frame_rate_code >= 0) builder.sequence_header(header_with_rate(group.frame_rate_code));
    builder.gop(group.time_code);
    if (group.frames > 0) {
      std::vector<std::pair<uint8_t, uint8_t>> pairs(static_cast<size_t>(group.frames), {0x00, 0x00});
      if (group.marked) pairs[0] = {0x14, 0x2C};
      builder.cc_block(frames_of(pairs));
    }
    if (group.more_frames > 0)
      builder.cc_block(frames_of(std::vector<std::pair<uint8_t, uint8_t>>(static_cast<size_t>(group.more_frames))));
    builder.picture(0, 1).slice(20);
  }
  return builder.sequence_end().bytes();
}

// Each marked group's erase is shown at the moment its first frame is: frames since the
// first group times the exact frame period, whatever the time code's labels say.
TEST(CaptionTimes, FollowTheFramesShownNotTheTimeCodeLabels) {
  auto every = [](int) { return true; };
  struct Case {
    const char *label;
    std::vector<TimedGroup> groups;
    std::vector<int64_t> sync_ms;
    bool program_stream = false;  // an elementary stream must begin with a sequence header
  };
  std::vector<Case> cases;
  {
    // Non-drop labels count 30 a second: read as clock time they run 3.6 s an hour early.
    Case c{"29.97 non-drop, an hour", groups_from(4, 30, false, 0, 15, 7200, [](int i) { return i < 2 || i == 7199; }),
           {0, 500, 3603099}};
    cases.push_back(c);
  }
  {
    // From 00:58:59;00 across the minutes that drop two labels (59, 61) and the one that
    // does not (60).
    int64_t first = time_code_frame_number(GopTimeCode{1, 0, 58, 59, 0, 1, 0}, 30);
    Case c{"29.97 drop-frame, late in the hour", groups_from(4, 30, true, first, 15, 240, every), {}};
    for (int i = 0; i < 240; i++) c.sync_ms.push_back(int64_t{i} * 15 * 900900 / 27000);
    cases.push_back(c);
  }
  cases.push_back({"59.94 drop-frame, four labels dropped at minute 1",
                   groups_from(7, 60, true, 3596, 4, 2, every), {0, 66}});
  cases.push_back({"23.976, five minutes", groups_from(1, 24, false, 0, 12, 600, [](int i) { return i == 0 || i == 599; }),
                   {0, 299799}});
  cases.push_back({"25 from 01:00:00:00", groups_from(3, 25, false, 90000, 12, 101, [](int i) { return i % 50 == 0; }),
                   {0, 24000, 48000}});
  {
    // Two recordings joined, the time code starting again: the second follows the first
    // group's captions, fifteen frames, on from the first recording's last group.
    std::vector<TimedGroup> joined = groups_from(4, 30, false, 0, 15, 10, every);
    std::vector<TimedGroup> second = groups_from(4, 30, false, 0, 15, 10, every);
    joined.insert(joined.end(), second.begin(), second.end());
    Case c{"two recordings joined", joined, {}};
    for (int i = 0; i < 20; i++) c.sync_ms.push_back(int64_t{i} * 15 * 900900 / 27000);
    cases.push_back(c);
  }
  {
    // The first block of a group tells how many frames it lasts, not a later one.
    std::vector<TimedGroup> still = groups_from(3, 25, false, 0, 25, 4, every);
    for (TimedGroup &group : still) {
      group.time_code = TimeCode();
      group.more_frames = 5;
    }
    cases.push_back({"a time code that stands still", still, {0, 1000, 2000, 3000}});
  }
  {
    // Ten seconds is a step of the time code; more is a leap, and the group's block of
    // 25 frames tells where the next one starts.
    std::vector<TimedGroup> steps = groups_from(3, 25, false, 0, 25, 3, every);
    steps[1].time_code = label_of_frame(250, 25, false);
    steps[2].time_code = label_of_frame(250 + 251, 25, false);
    cases.push_back({"a step of ten seconds, then a leap of a frame more", steps, {0, 10000, 11000}});
  }
  {
    // The time code goes back after a group without captions: the last step the time
    // codes gave (12 frames) stands in, not the 10 frames of an older group's block.
    std::vector<TimedGroup> back = groups_from(3, 25, false, 0, 12, 2, [](int i) { return i == 0; });
    back[0].frames = 10;
    back.push_back({TimeCode(), 12, true});
    cases.push_back({"a time code that goes back after a group without captions", back, {0, 960}});
  }
  {
    // No rate yet: the first group's pairs all lie at its start; the time codes place the
    // second group once a sequence header has come.
    std::vector<TimedGroup> late = groups_from(-1, 30, false, 0, 15, 1, every);
    late.push_back({label_of_frame(15, 30, false), 15, true, 4});
    cases.push_back({"no sequence header before the first group", late, {0, 500}, true});
  }

  TempDir dir("e2e-timeline");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    Bytes stream = timed_stream(c.groups);
    write_file(dir.path + "/movie.m2v", c.program_stream ? mux_program_stream(stream) : stream);
    RunResult run = run_zorbel({"movie.m2v"}, dir.path);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sync_times(read_file(dir.path + "/movie.smi")), c.sync_ms);
  }
}

// ---- Field order from the entries' tags ----

// A "CC" block as DVD encoders write it: per frame a field-1 entry (FF and the pair) and a
// field-2 entry (FE 80 80). `shape` then breaks that layout as real discs do.
struct CcBlock {
  TimeCode time;
  std::vector<CcEntry> entries;
  bool oddfirst;
};

// Two pop-on captions, HI at 1 s and YO at 3 s, erased at 5 s, after a lead-in block at 0 s
// of filler frames; the time codes start at `second`.
std::vector<CcBlock> two_captions(int second) {
  auto caption = [](uint8_t a, uint8_t b) {
    return frames_of({{0x14, 0x20}, {0x14, 0x20}, {0x14, 0x70}, {a, b}, {0x14, 0x2F}, {0x14, 0x2F}});
  };
  return {{time_code(0, 0, second, 0), frames_of({{0, 0}, {0, 0}, {0, 0}}), true},
          {time_code(0, 0, second + 1, 0), caption('H', 'I'), true},
          {time_code(0, 0, second + 3, 0), caption('Y', 'O'), true},
          {time_code(0, 0, second + 5, 0), frames_of({{0x14, 0x2C}, {0x14, 0x2C}}), true}};
}

// Each frame's two entries in the other order: the block starts with field 2.
void field_two_first(CcBlock &block) {
  for (size_t i = 0; i + 1 < block.entries.size(); i += 2) std::swap(block.entries[i], block.entries[i + 1]);
  block.oddfirst = false;
}

Bytes cc_stream(const std::vector<CcBlock> &blocks) {
  StreamBuilder builder;
  builder.sequence_header().sequence_extension();
  for (const CcBlock &block : blocks) {
    builder.gop(block.time)
        .cc_block(block.entries, block.oddfirst)
        .picture(0, 1)
        .slice(50);
  }
  return builder.bytes();
}

TEST(CaptionStreamEndToEnd, TagsOfABlocksFirstTwoEntriesSetTheFieldOrder) {
  const CcEntry kFieldTwoFiller = {0xFE, 0x80, 0x80};
  struct Case {
    const char *name;
    std::vector<CcBlock> blocks;
  };
  std::vector<Case> cases;
  std::vector<CcBlock> all_field_two_first = two_captions(0);
  for (CcBlock &block : all_field_two_first) field_two_first(block);
  cases.push_back({"every block starts with field 2", all_field_two_first});
  std::vector<CcBlock> odd_count = two_captions(0);
  odd_count[0].entries.push_back({0xFF, 0x80, 0x80});
  cases.push_back({"an extra field-1 entry, the next block starting with field 1", odd_count});
  std::vector<CcBlock> one_slipped = two_captions(0);
  field_two_first(one_slipped[0]);
  one_slipped[0].entries.push_back(kFieldTwoFiller);  // field 2 of a frame cut in half
  cases.push_back({"one block starts with field 2", one_slipped});
  std::vector<CcBlock> lone_entry = two_captions(0);
  lone_entry.insert(lone_entry.begin() + 1, CcBlock{time_code(0, 0, 0, 10), {kFieldTwoFiller}, false});
  cases.push_back({"a one-entry block between two normal blocks", lone_entry});
  for (uint8_t tag : {0xFF, 0xFE}) {
    std::vector<CcBlock> uniform = two_captions(0);
    for (CcBlock &block : uniform)
      for (CcEntry &entry : block.entries) entry.tag = tag;
    cases.push_back({tag == 0xFF ? "every entry tagged FF" : "every entry tagged FE", uniform});
  }

  TempDir dir("e2e-field-order");
  auto run = [&](const std::vector<CcBlock> &blocks) {
    write_file(dir.path + "/movie.mpg", cc_stream(blocks));
    RunResult result = run_zorbel({"movie.mpg"}, dir.path);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    return read_file(dir.path + "/movie.srt") + read_file(dir.path + "/movie.smi");
  };
  std::string expected = run(two_captions(0));
  // Frames 34, 94 and 150 at 29.97.
  EXPECT_EQ(expected.substr(0, expected.find("<SAMI>")),
            srt_entry(1, 1134, 3136, {"HI"}) + srt_entry(2, 3136, 5005, {"YO"}));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.blocks), expected);
  }

  // Two recordings joined, the first ending in a block of 7 entries (an odd count).
  std::vector<CcBlock> joined = two_captions(0), second = two_captions(10);
  joined.push_back({time_code(0, 0, 6, 0), frames_of({{0, 0}, {0, 0}, {0, 0}, {0, 0}}), true});
  joined.insert(joined.end(), second.begin(), second.end());
  std::string whole = run(joined);
  joined[4].entries.pop_back();
  EXPECT_EQ(run(joined), whole);
  EXPECT_EQ(count_of(whole, " --> "), 4u);
}

}  // namespace
