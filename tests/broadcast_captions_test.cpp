// Broadcast captions through the built binary: ATSC A/53 caption data after picture
// headers, put in display order and timed by the fields each picture is shown for; and
// the four caption channels of the two fields.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "caption_test_support.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;
using Pairs = CaptionPairs;

const std::pair<uint8_t, uint8_t> kErase = {0x14, 0x2C}, kFiller = {0x00, 0x00};

// A coded picture with its caption data: the pairs of each field as cc_data carries them.
struct Picture {
  int temporal_reference;
  int coding_type = 1;
  Pairs field1, field2 = {};
  PictureCoding coding = {};
};

void add_picture(StreamBuilder &b, const Picture &p, bool mpeg2 = true) {
  b.picture(p.temporal_reference, p.coding_type);
  if (mpeg2) b.picture_coding_extension(p.coding);
  b.atsc_cc_data(p.field1, p.field2).slice(30);
}

std::string run_on(const Bytes &stream, const std::vector<std::string> &options, RunResult &result,
                    const TempDir &dir) {
  write_file(dir.path + "/movie.m2v", stream);
  std::vector<std::string> arguments = options;
  arguments.push_back("movie.m2v");
  result = run_zorbel(arguments, dir.path);
  return read_file(dir.path + "/movie.smi");
}

// The caption lines of an .srt file, entries joined by "|".
std::string srt_texts(const std::string &srt) {
  std::string texts;
  size_t at = 0;
  while ((at = srt.find(" --> ", at)) != std::string::npos) {
    size_t start = srt.find("\r\n", at) + 2, end = srt.find("\r\n\r\n", start);
    texts += (texts.empty() ? "" : "|") + srt.substr(start, end - start);
    at = end;
  }
  return texts;
}

// Each picture's erase is written out at the moment the picture is shown: the fields of the
// pictures before it in display order, from the group's start (one frame period at 29.97 is
// 33.37 ms, at 59.94 16.68 ms).
TEST(AtscCaptions, PicturesAreDecodedInDisplayOrderAtTheMomentTheyAreShown) {
  struct Case {
    const char *label;
    int frame_rate_code;
    bool progressive_sequence;
    std::vector<std::vector<Picture>> groups;  // each after a group header of time code 0
    std::vector<int64_t> sync_ms;
  };
  Picture erase_b0{0, 3, {kErase}}, fill_b1{1, 3, {kFiller}}, erase_p2{2, 2, {kErase}};
  // 300 pictures, and 140 of 30 pairs each: more than one group is held at a time.
  std::vector<Picture> long_group, dense_group;
  for (int i = 0; i < 300; i++) long_group.push_back({i, 1, {i == 0 || i == 280 ? kErase : kFiller}});
  for (int i = 0; i < 140; i++) {
    dense_group.push_back({i, 1, Pairs(30, kFiller)});
    if (i == 0 || i == 139) dense_group.back().field1[0] = kErase;
  }
  const Case cases[] = {
      {"B pictures sent after the picture they precede", 4, false,
       {{{3, 1, {kFiller}}, {0, 3, {kErase}}, {1, 3, {kFiller}}, {2, 3, {kErase}}, {6, 2, {kErase}},
         {4, 3, {kFiller}}, {5, 3, {{0x14, 0x2E}}}}},
       {0, 66, 200}},
      {"3:2 pulldown: repeat_first_field shows a frame for three fields", 4, false,
       {{{0, 1, {kErase}, {}, {3, true, true}}, {1, 2, {kFiller}}, {2, 2, {kErase}, {}, {3, true, true}},
         {3, 2, {kFiller}, {}, {3, false, true}}, {4, 2, {kErase}}}},
       {0, 83, 183}},
      {"progressive sequence: a repeat shows two frames, three with top_field_first", 7, true,
       {{{0, 1, {kErase}, {}, {3, true, true}}, {1, 2, {kFiller}, {}, {3, false, true}}, {2, 2, {kErase}}}},
       {0, 83}},
      {"field pictures last a field; pairs of one picture are a frame apart", 4, false,
       {{{0, 1, {kErase}, {}, {1}}, {0, 1, {kFiller}, {}, {2}}, {1, 2, {kErase, kFiller, kErase}, {}, {1}}}},
       {0, 33, 100}},
      {"a group whose time code stands still starts after the previous group's pictures", 4, false,
       {{erase_b0, fill_b1, {2, 2, {kFiller}}}, {{0, 1, {kErase}}}},
       {0, 100}},
      {"pictures before the first group, and a group of its own", 4, false,
       {{erase_b0, fill_b1, erase_p2}}, {0, 66}},
      {"a group longer than the pictures held is decoded in parts", 4, false, {long_group}, {0, 9342}},
      {"a group with more pairs than are held is decoded in parts", 4, false, {dense_group}, {0, 4637}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    StreamBuilder b;
    b.sequence_header(header_with_rate(c.frame_rate_code));
    b.sequence_extension(c.progressive_sequence);
    bool first = true;
    for (const auto &group : c.groups) {
      if (!first || std::string(c.label).find("before the first group") == std::string::npos) b.gop(0, 0, 0, 0);
      first = false;
      for (const Picture &p : group) add_picture(b, p);
    }
    TempDir dir("atsc");
    RunResult r;
    EXPECT_EQ(sync_times(run_on(b.sequence_end().bytes(), {}, r, dir)), c.sync_ms);
    EXPECT_EQ(r.status, 0);
  }
}

// The same captions as DVD "CC" blocks and as ATSC caption data in B-picture order give the
// same files; a stream that carries both is read in the layout met first, which the trace
// names.
TEST(AtscCaptions, EqualTheirDvdFormAndTheFirstLayoutMetIsRead) {
  const Pairs caption = {{0x14, 0x20}, {0x14, 0x20}, {0x14, 0x70}, {0x48, 0x69}, {0x21, 0x00}, {0x14, 0x2F},
                         {0x14, 0x2F}, kFiller,      kFiller,      {0x14, 0x2C}, kFiller,      kFiller};
  // Decode order of a group of 12: I2 B0 B1 P5 B3 B4 P8 B6 B7 P11 B9 B10.
  const int kDecodeOrder[12] = {2, 0, 1, 5, 3, 4, 8, 6, 7, 11, 9, 10};
  auto atsc_group = [&](StreamBuilder &b) {
    for (int tr : kDecodeOrder) add_picture(b, {tr, tr % 3 == 2 ? 2 : 3, {caption[static_cast<size_t>(tr)]}}, false);
  };
  StreamBuilder dvd, atsc, dvd_then_atsc, atsc_then_dvd;
  for (StreamBuilder *b : {&dvd, &atsc, &dvd_then_atsc, &atsc_then_dvd}) b->sequence_header();
  dvd.gop(0, 0, 0, 0).cc_block(frames_of(caption)).picture().slice(30);
  atsc.gop(0, 0, 0, 0);
  atsc_group(atsc);
  dvd_then_atsc.gop(0, 0, 0, 0).cc_block(frames_of(caption));
  atsc_group(dvd_then_atsc.gop(0, 0, 0, 12).cc_block(frames_of({{0x14, 0x2C}})));
  atsc_group(atsc_then_dvd.gop(0, 0, 0, 0));
  atsc_then_dvd.gop(0, 0, 0, 12).cc_block(frames_of(caption)).picture().slice(30);

  TempDir dir("layouts");
  RunResult r;
  const std::string dvd_smi = run_on(dvd.bytes(), {}, r, dir);
  const std::string dvd_srt = read_file(dir.path + "/movie.srt");
  ASSERT_EQ(srt_texts(dvd_srt), "Hi!");
  EXPECT_EQ(count_of(r.out, "ATSC A/53"), 0u);
  EXPECT_EQ(run_on(atsc.bytes(), {}, r, dir), dvd_smi);
  EXPECT_EQ(read_file(dir.path + "/movie.srt"), dvd_srt);
  EXPECT_EQ(count_of(r.out, "ATSC A/53 caption data (GA94 user data after picture headers)\n"), 1u);
  // DVD first: the second group's erase (a "CC" block) is read and its ATSC pairs are not.
  EXPECT_EQ(sync_times(run_on(dvd_then_atsc.bytes(), {}, r, dir)), (std::vector<int64_t>{166, 300, 400}));
  EXPECT_EQ(count_of(r.out, "ATSC A/53"), 0u);
  // ATSC first: the second group's "CC" block is passed over.
  EXPECT_EQ(sync_times(run_on(atsc_then_dvd.bytes(), {}, r, dir)), (std::vector<int64_t>{166, 300}));
  EXPECT_EQ(srt_texts(read_file(dir.path + "/movie.srt")), "Hi!");
}

// ffmpeg's MPEG-2 encoder re-encodes the fixtures' DVD captions as ATSC caption data, with
// B pictures; elementary, program and transport stream give the DVD files' captions.
TEST(AtscCaptions, FfmpegReencodedFixturesGiveTheDvdCaptions) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir("a53-ffmpeg");
  for (const char *name : {"ntsc", "pal"}) {
    SCOPED_TRACE(name);
    const std::string fixture = source_path(std::string("tests/fixtures/") + name + ".m2v");
    RunResult r = run_zorbel({fixture, "/d" + dir.path + "/"}, dir.path);
    ASSERT_EQ(r.status, 0);
    const std::string srt = read_file(dir.path + "/" + name + ".srt"), smi = read_file(dir.path + "/" + name + ".smi");
    for (const auto &[format, extension] : {std::make_pair("mpeg2video", "m2v"), std::make_pair("vob", "vob"),
                                            std::make_pair("mpegts", "ts")}) {
      SCOPED_TRACE(format);
      const std::string out = std::string(name) + "-a53." + extension;
      RunResult encode = run_line(dir.path, "ffmpeg -loglevel error -y -i " + shell_quote(fixture) +
                                                " -c:v mpeg2video -a53cc 1 -bf 2 -g 12 -f " + format + " " + out);
      ASSERT_EQ(encode.status, 0) << encode.err;
      r = run_zorbel({out}, dir.path);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(count_of(r.out, "ATSC A/53"), 1u);
      EXPECT_EQ(read_file(dir.path + "/" + name + "-a53.srt"), srt);
      EXPECT_EQ(read_file(dir.path + "/" + name + "-a53.smi"), smi);
    }
  }
}

// CC1 and CC2 interleaved in field 1; CC3 in field 2 with an extended data service packet
// between its characters. Each channel gives its own text; a channel without pairs is
// reported with those the stream has.
TEST(CaptionChannels, EachChannelGivesItsOwnTextOnly) {
  const Pairs field1 = {{0x14, 0x20}, {0x1C, 0x20}, {0x14, 0x70}, {0x41, 0x42}, {0x1C, 0x70},
                        {0x43, 0x44}, {0x14, 0x2F}, {0x1C, 0x2F}};
  const Pairs field2 = {{0x15, 0x20}, {0x14, 0x70}, {0x48, 0x69}, {0x01, 0x03}, {0x5A, 0x5A},
                        {0x0F, 0x1D}, {0x21, 0x00}, {0x15, 0x2F}};
  std::vector<CcEntry> entries;
  for (size_t i = 0; i < field1.size(); i++) {
    entries.push_back({0xFF, with_parity(field1[i].first), with_parity(field1[i].second)});
    entries.push_back({0xFE, with_parity(field2[i].first), with_parity(field2[i].second)});
  }
  const Bytes dvd = StreamBuilder().sequence_header().gop(0, 0, 0, 0).cc_block(entries).picture().slice(30).bytes();
  StreamBuilder atsc_builder;
  atsc_builder.sequence_header().gop(0, 0, 0, 0);
  for (size_t i = 0; i < field1.size(); i++)
    add_picture(atsc_builder, {static_cast<int>(i), 1, {field1[i]}, {field2[i]}}, false);
  const struct {
    const char *channel, *texts;
  } cases[] = {{"1", "AB"}, {"2", "CD"}, {"3", "Hi!"}, {"4", ""}};
  TempDir dir("channels");
  for (const Bytes &stream : {dvd, atsc_builder.bytes()}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string("--channel ") + c.channel + (&stream == &dvd ? " DVD" : " ATSC"));
      RunResult r;
      run_on(stream, {"--channel", c.channel}, r, dir);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(srt_texts(read_file(dir.path + "/movie.srt")), c.texts);
      EXPECT_EQ(r.err, *c.texts ? ""
                                : "zorbel: no CC4 captions in movie.m2v; CC1 has 4 pairs, CC2 has 4 pairs, "
                                  "CC3 has 5 pairs\n");
    }
  }
  RunResult r = run_zorbel({"--channel", "5", "movie.m2v"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zorbel: --channel takes 1, 2, 3 or 4, not \"5\"\n");
}

}  // namespace
