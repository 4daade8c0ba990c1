// Transport stream demultiplexer: the bit reader must see exactly the payload of the first
// program's video stream, whatever else the multiplex carries and whatever damage it took
// on the way; the tool then writes what the elementary stream gives, and refuses, before any
// output exists, a program whose video it cannot read.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/run_state.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/program_stream.hpp"
#include "mpeg/transport_stream.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

struct Reading {
  bool ended_at_first_fill;
  const char *refused;
  Bytes bytes;  // every byte the bit reader took, up to 8 past the end of the video
};

// The file read in this process as the run reads a transport stream.
Reading read_transport_stream(const Bytes &file, int packet_size) {
  static const TempDir dir("ts");
  std::string path = dir.path + "/input.ts";
  write_file(path, file);
  alarm(60);  // a reader that never ends fails the suite instead of hanging it
  reader.file = fopen(path.c_str(), "rb");
  if (!reader.file) abort();
  program_stream_flag = 1;
  use_transport_stream(packet_size);
  reset_reader();
  Reading r{video_ended(), transport_refused_codec(), {}};
  for (int after_end = 0; after_end < 8 && r.bytes.size() < (1u << 22); after_end += video_ended())
    r.bytes.push_back(static_cast<uint8_t>(read_bits(8)));
  fclose(reader.file);
  reader.file = nullptr;
  program_stream_flag = 0;
  use_transport_stream(0);
  alarm(0);
  return r;
}

// The video, then only the sequence end codes that pad it after its end.
void expect_video(const Reading &r, const Bytes &video) {
  EXPECT_FALSE(r.ended_at_first_fill);
  ASSERT_GE(r.bytes.size(), video.size() + 4);
  auto differ = std::mismatch(video.begin(), video.end(), r.bytes.begin());
  EXPECT_TRUE(differ.first == video.end()) << "first wrong byte: " << differ.first - video.begin() << " of "
                                           << video.size();
  for (size_t i = video.size(); i < r.bytes.size(); i++)
    EXPECT_EQ(r.bytes[i], kSequenceEndBytes[(i - video.size()) % 4]) << "padding byte " << i - video.size();
}

struct Variant {
  std::string name;
  std::function<void(TsOptions &)> set;
  int lost_pes = -1;  // a PES whose start (or the rest of its header) is lost: all of it goes
  size_t bad_start_code_at = 0;  // a byte of the file made 0x02
};

// Damaged packets lose exactly their own payload, or the whole PES when its header is hit;
// repeated ones and garbage between packets (here away from block ends, where the sync
// byte's follower lies in the same block) lose nothing.
TEST(TransportStreamDelivery, GivesTheVideoPayloadOfEveryPacketThatArrivedWhole) {
  const Bytes es = noise(20000, 7);
  std::vector<Variant> variants = {
      {"188-byte packets", [](TsOptions &) {}},
      {"192-byte packets", [](TsOptions &o) { o.packet_size = 192; }},
      {"MPEG-1 video", [](TsOptions &o) { o.video_types = {0x01}; }},
      {"MPEG-2 video listed before H.264", [](TsOptions &o) { o.video_types = {0x02, 0x1B}; }},
      {"adaptation fields, stuffing packets", [](TsOptions &o) { o.adaptation_every = 2, o.stuffing_every = 3; }},
      {"long PMT, repeated; audio", [](TsOptions &o) { o.long_pmt = true, o.psi_every = 5, o.audio_every = 1; }},
      // The tail of program 2's PMT, which the pointer passes, runs across the first block end.
      {"long PMT after null packets", [](TsOptions &o) { o.packet_size = 192, o.long_pmt = 1, o.null_packets = 19; }},
      {"all that in 192-byte packets, short PES", [](TsOptions &o) {
         o.packet_size = 192, o.long_pmt = true, o.psi_every = 3, o.audio_every = 2, o.adaptation_every = 3;
         o.stuffing_every = 4, o.pes_payload = 500;
       }},
      {"repeated packets", [](TsOptions &o) { o.duplicated = {3, 17, 18, 40}; }},
      {"repeated packets after stuffing", [](TsOptions &o) { o.duplicated = {2, 5}, o.stuffing_every = 3; }},
      {"packets in error", [](TsOptions &o) { o.errored = {5, 41}; }},
      {"packets lost", [](TsOptions &o) { o.dropped = {5, 6, 41}; }},
      {"garbage between packets", [](TsOptions &o) { o.garbage_before = {4, 25}; }},
      {"garbage between 192-byte packets", [](TsOptions &o) { o.packet_size = 192, o.garbage_before = {4, 25}; }},
      // PES n begins in video packet 17n (a PES fills 16 and a bit); PES 1 in the file's
      // packet 19. Without a unit start the payload after it reads on from the PES before.
      {"unit starts lost and in error", [](TsOptions &o) { o.dropped = {17}, o.errored = {34}; }},
      {"unit start without a start code", [](TsOptions &) {}, 1, 19 * 188 + 4 + 2},
      // Seven bytes of PES 1's header in video packet 5, the rest in packet 6.
      {"packet lost inside a PES header",
       [](TsOptions &o) { o.unit_start_payload = 7, o.pes_payload = 700, o.dropped = {6}; }, 1},
  };
  // The PES header cut after each of its bytes, and the packets before both sides of it.
  for (size_t k = 1; k <= 14; k++)
    variants.push_back({"PES header cut after byte " + std::to_string(k), [k](TsOptions &o) {
                          o.unit_start_payload = k, o.pes_payload = 700, o.psi_every = 4;
                        }});
  for (const Variant &v : variants) {
    SCOPED_TRACE(v.name);
    TsOptions options;
    v.set(options);
    Bytes arrived;
    Bytes file = mux_transport_stream(es, options, &arrived);
    if (v.bad_start_code_at) file.at(v.bad_start_code_at) = 0x02;
    if (v.lost_pes >= 0) {
      arrived = es;
      auto from = arrived.begin() + static_cast<long>(options.pes_payload) * v.lost_pes;
      arrived.erase(from, from + static_cast<long>(options.pes_payload));
    }
    expect_video(read_transport_stream(file, options.packet_size), arrived);
  }
}

// Where the sync byte found again is followed in the next block, the search may give up
// its packet, and no more.
TEST(TransportStreamDelivery, SyncIsFoundAgainAcrossBlockEnds) {
  const Bytes es = noise(8000, 8);
  for (int size : {188, 192}) {
    for (size_t k = 6; k <= 10; k++) {
      SCOPED_TRACE(std::to_string(size) + "-byte packets, garbage before video packet " + std::to_string(k));
      TsOptions options;
      options.packet_size = size;
      options.garbage_before = {k};
      Bytes whole, without_k;
      Bytes file = mux_transport_stream(es, options, &whole);
      options.dropped = {k};
      mux_transport_stream(es, options, &without_k);
      Reading r = read_transport_stream(file, size);
      expect_video(r, r.bytes.size() >= whole.size() + 4 ? whole : without_k);
    }
  }
}

// A packet cut by the end of the file gives its bytes up to there, then the reader's padding
// (zeros to a multiple of 4 of the file, then sequence end codes) to the packet's end; a cut
// before its first payload byte ends the video with the packet before.
TEST(TransportStreamDelivery, FileCutInsideAPacket) {
  const Bytes es = noise(3000, 11);
  const Bytes file = mux_transport_stream(es, TsOptions());
  // Video packet 5 follows the PAT, the PMT and video packets 0 to 4, which hold 170 (after
  // the PES header) + 4 * 184 bytes of the stream.
  const size_t start = 7 * 188, before = 170 + 4 * 184;
  for (size_t kept : {1, 3, 4, 5, 6, 100, 187, 188}) {
    SCOPED_TRACE(std::to_string(kept) + " bytes of the packet in the file");
    size_t length = start + kept;
    Bytes video(es.begin(), es.begin() + static_cast<long>(before + (kept > 4 ? kept - 4 : 0)));
    for (size_t offset = length; kept > 4 && offset < start + 188; offset++)
      video.push_back(offset < (length + 3) / 4 * 4 ? 0x00 : kSequenceEndBytes[offset % 4]);
    expect_video(read_transport_stream(Bytes(file.begin(), file.begin() + static_cast<long>(length)), 188), video);
  }
}

// The PMT's first video stream decides; one the tool cannot read ends the video before it
// began, naming the codec. Tables that fail their CRC are not read.
TEST(TransportStreamDelivery, ProgramsWithoutMpegVideoEndAtTheFirstFill) {
  struct Case {
    const char *name;
    std::vector<uint8_t> types;
    const char *codec;
    bool psi = true, damaged_pmt = false;
  };
  const Case cases[] = {
      {"H.264", {0x1B}, "H.264"},
      {"HEVC", {0x24}, "HEVC"},
      {"MPEG-4 Visual", {0x10}, "MPEG-4 Visual"},
      {"VC-1", {0xEA}, "VC-1"},
      {"AVS", {0x42}, "AVS"},
      {"H.264 before MPEG-2 video", {0x1B, 0x02}, "H.264"},
      {"audio only", {}, nullptr},
      {"no PAT or PMT", {0x02}, nullptr, false},
      {"MPEG-2 video turned H.264 in a PMT whose CRC then fails", {0x02}, nullptr, true, true},
  };
  const Bytes es = noise(3000, 9);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TsOptions options;
    options.video_types = c.types;
    options.psi = c.psi;
    Bytes file = mux_transport_stream(es, options);
    if (c.damaged_pmt) {
      const Bytes entry = {0x02, 0xE1, 0xE1};  // stream_type, then the video PID
      auto at = std::search(file.begin(), file.end(), entry.begin(), entry.end());
      ASSERT_NE(at, file.end());
      *at = 0x1B;
    }
    Reading r = read_transport_stream(file, 188);
    EXPECT_TRUE(r.ended_at_first_fill);
    EXPECT_STREQ(r.refused, c.codec);
  }
  // Two recordings joined: the second's first video packet has the counter of the first's
  // last (17 packets), and is no repeat for that. Once video went out, a PMT that turns the
  // program's video into H.264 stops nothing. (The first part repeats its tables, so that
  // the second's PMT is no repeat either.)
  TsOptions mpeg2, h264;
  mpeg2.psi_every = 4;
  h264.video_types = {0x1B};
  Bytes video = es, file = mux_transport_stream(video, mpeg2), tail = mux_transport_stream(es, h264);
  file.insert(file.end(), tail.begin(), tail.end());
  video.insert(video.end(), es.begin(), es.end());
  expect_video(read_transport_stream(file, 188), video);
}

struct ToolRun {
  RunResult result;
  std::string srt, smi;
  std::vector<std::string> files;
};

ToolRun run_tool(const Bytes &input) {
  TempDir dir("ts-run");
  write_file(dir.path + "/movie.mpg", input);
  ToolRun run{run_zorbel({"movie.mpg"}, dir.path), read_file(dir.path + "/movie.srt"),
              read_file(dir.path + "/movie.smi"), listing(dir.path)};
  return run;
}

// Byte positions in the trace count video bytes only, so the console is the elementary
// stream's too.
TEST(TransportStreamRun, GivesTheElementaryStreamsFilesAndConsole) {
  std::string fixture = read_file(source_path("tests/fixtures/ntsc.m2v"));
  const Bytes es(fixture.begin(), fixture.end());
  ToolRun elementary = run_tool(es);
  ASSERT_EQ(elementary.result.status, 0);
  ASSERT_GT(count_of(elementary.srt, " --> "), 10u);
  std::vector<Variant> variants = {
      {"188-byte packets", [](TsOptions &) {}},
      {"192-byte packets, everything a multiplex holds, repeats and garbage", [](TsOptions &o) {
         o.packet_size = 192, o.long_pmt = true, o.psi_every = 40, o.audio_every = 3, o.adaptation_every = 5;
         o.stuffing_every = 7, o.duplicated = {100, 500}, o.garbage_before = {300};
       }},
  };
  for (const Variant &v : variants) {
    SCOPED_TRACE(v.name);
    TsOptions options;
    v.set(options);
    ToolRun ts = run_tool(mux_transport_stream(es, options));
    EXPECT_EQ(ts.result.status, 0);
    EXPECT_EQ(ts.result.err, elementary.result.err);
    EXPECT_EQ(ts.result.out, elementary.result.out);
    EXPECT_EQ(ts.srt, elementary.srt);
    EXPECT_EQ(ts.smi, elementary.smi);
  }
}

TEST(TransportStreamRun, ProgramsWithoutMpegVideoAreRefusedBeforeAnyOutput) {
  TsOptions h264, no_tables;
  h264.video_types = {0x1B};
  no_tables.psi = false;
  for (const auto &c : {std::make_pair(h264, "No MPEG-2 video stream found\nzorbel: movie.mpg: a transport stream "
                                             "whose video is H.264, which is not read\n"),
                        std::make_pair(no_tables, "No video stream found\nzorbel: movie.mpg: a transport stream "
                                                  "without MPEG-1 or MPEG-2 video\n")}) {
    SCOPED_TRACE(c.second);
    ToolRun run = run_tool(mux_transport_stream(noise(5000, 10), c.first));
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.err, c.second);
    EXPECT_EQ(run.result.out, startup_lines() + name_lines("movie.mpg", "movie", ""));
    EXPECT_EQ(run.files, std::vector<std::string>{"movie.mpg"});
  }
}

}  // namespace
