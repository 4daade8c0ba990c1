// Program stream demultiplexer: the bit reader must see exactly the concatenated
// payloads of video stream 0xE0, whatever the system layer around them, and a run must
// end well at the end of the file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/console.hpp"
#include "app/run_driver.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/program_stream.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

// Contents that end the run with "Unexpected startcode" if the demultiplexer ever
// looked inside them instead of skipping them by length.
Bytes trap(size_t n) {
  Bytes out(n);
  static const uint8_t kCode[4] = {0x00, 0x00, 0x01, 0xB3};
  for (size_t i = 0; i < n; i++) out[i] = kCode[i % 4];
  return out;
}

Bytes other_packet(uint8_t stream_id, size_t length) {
  Bytes out = {0x00, 0x00, 0x01, stream_id, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  Bytes body = trap(length);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes video(const Bytes &data) { return mpeg2_packet(0xE0, data); }

// A padding packet whose whole size, start code included, is `total` (6 or more).
Bytes padding_of_size(size_t total) { return other_packet(0xBE, total - 6); }

std::string write_input(const Bytes &file) {
  static const TempDir dir("ps");
  static int counter = 0;
  std::string path = dir.path + "/input" + std::to_string(counter++) + ".mpg";
  write_file(path, file);
  return path;
}

void open_program_stream(const std::string &path) {
  alarm(60);  // a reader that never ends fails its test instead of hanging the suite
  reader.file = fopen(path.c_str(), "rb");
  if (!reader.file) abort();
  verbosity_level = 0;
  program_stream_flag = 1;
  reset_reader();
}

// The error tests: an error ends the process with status 1; without one, the end of
// the video gives status 2.
[[noreturn]] void read_video_until_the_end(const std::string &path) {
  open_program_stream(path);
  while (!video_ended()) read_bits(8);
  exit(2);
}

// ---- Delivery harness ----
// The reader runs in a child process, because every end of a program stream ends the
// process. The child sends each video byte as it takes it, and at exit the bytes still
// in the window, so the parent sees every byte the demultiplexer handed over.

struct Delivery {
  Bytes bytes;
  bool ended = false;  // the process exited on its own before the limit
  int status = -1;
  std::string err;
};

int g_sink = -1;
constexpr int kLimitReached = 42;
constexpr int kVideoEnded = 43;

void emit(uint8_t byte) {
  ssize_t written = write(g_sink, &byte, 1);
  (void)written;
}

void emit_window_at_exit() {
  for (int bit = 0; bit + 8 <= reader.valid_bits; bit += 8) emit(static_cast<uint8_t>(reader.window >> (24 - bit)));
}

// Runs body in a child reading the file as a program stream; the child ends with
// kLimitReached when body returns.
Delivery run_in_child(const Bytes &file, const std::function<void()> &body) {
  std::string path = write_input(file);
  std::string err_path = path + ".err";
  int fds[2];
  if (pipe(fds) != 0) abort();
  console_flush();
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err_fd, 2);
    g_sink = fds[1];
    atexit(emit_window_at_exit);
    open_program_stream(path);
    body();
    _exit(kLimitReached);
  }
  close(fds[1]);
  Delivery d;
  uint8_t chunk[4096];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) d.bytes.insert(d.bytes.end(), chunk, chunk + n);
  close(fds[0]);
  int raw = 0;
  waitpid(pid, &raw, 0);
  d.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  d.ended = WIFEXITED(raw) && d.status != kLimitReached;
  d.err = read_file(err_path);
  return d;
}

// Every video byte the reader takes, up to limit bytes. Once the last video packet has
// been delivered, the child takes 8 more bytes (the window's last video bytes, then the
// sequence end codes that follow the video) and ends with kVideoEnded.
Delivery deliver(const Bytes &file, size_t limit = 1u << 20) {
  return run_in_child(file, [limit] {
    int after_end = 0;
    for (size_t i = 0; i < limit; i++) {
      emit(static_cast<uint8_t>(peek_bits(8)));
      skip_bits(8);
      if (video_ended() && ++after_end == 8) _exit(kVideoEnded);
    }
  });
}

// Reading to the end of the file: every video byte, then the sequence end codes that pad
// the video after its end; any system-layer error would show here.
void expect_delivered_whole(const Bytes &file, const Bytes &expected) {
  Delivery d = deliver(file);
  EXPECT_EQ(d.status, kVideoEnded);
  EXPECT_EQ(d.err, "");
  ASSERT_GE(d.bytes.size(), expected.size() + 4);
  EXPECT_EQ(Bytes(d.bytes.begin(), d.bytes.begin() + static_cast<long>(expected.size())), expected);
  for (size_t i = expected.size(); i < d.bytes.size(); i++)
    EXPECT_EQ(d.bytes[i], kSequenceEndBytes[(i - expected.size()) % 4]) << "padding byte " << i - expected.size();
}

// ---- Muxed streams ----

struct MuxCase {
  const char *name;
  MuxOptions options;
};

MuxCase mux_case(const char *name, std::function<void(MuxOptions &)> change) {
  MuxCase c{name, MuxOptions()};
  change(c.options);
  return c;
}

const std::vector<MuxCase> &mux_cases() {
  static const std::vector<MuxCase> cases = {
      mux_case("Mpeg2Default", [](MuxOptions &) {}),
      mux_case("Mpeg1PacksAndPackets", [](MuxOptions &o) { o.mpeg1 = true; }),
      mux_case("Mpeg2PackStuffing7", [](MuxOptions &o) { o.pack_stuffing = 7; }),
      mux_case("Mpeg2PackStuffing3", [](MuxOptions &o) { o.pack_stuffing = 3; }),
      mux_case("TinyVideoPackets", [](MuxOptions &o) { o.video_payload = 7; o.audio = false; }),
      mux_case("VideoPacketsLongerThanABlock", [](MuxOptions &o) { o.video_payload = 2500; }),
      mux_case("AudioLongerThanABlock", [](MuxOptions &o) { o.audio_size = 3000; o.video_payload = 900; }),
      mux_case("Mpeg1LongAudio", [](MuxOptions &o) { o.mpeg1 = true; o.audio_size = 5000; }),
      mux_case("NoSystemHeaderNoEndCode", [](MuxOptions &o) { o.system_header = false; o.end_code = false; }),
  };
  return cases;
}

class MuxedStreamTest : public ::testing::TestWithParam<MuxCase> {};

TEST_P(MuxedStreamTest, DeliversExactlyTheVideoPayload) {
  Bytes es = noise(9001, 3);
  expect_delivered_whole(mux_program_stream(es, GetParam().options), es);
}

INSTANTIATE_TEST_SUITE_P(ProgramStreamDelivery, MuxedStreamTest, ::testing::ValuesIn(mux_cases()),
                         [](const ::testing::TestParamInfo<MuxCase> &info) { return std::string(info.param.name); });

// Zero bytes before a system-layer code (after a pack header, after a packet) are passed as
// by the search for the next prefix, also where they look like a code that follows at once.
TEST(ProgramStreamDelivery, ZeroBytesBeforeTheNextCodeArePassed) {
  Bytes a = noise(300, 1), b = noise(400, 2);
  for (size_t zeros : {1, 2, 3, 6}) {
    SCOPED_TRACE(std::to_string(zeros) + " zero bytes");
    Bytes z(zeros, 0x00);
    expect_delivered_whole(cat({mpeg2_pack_header(), z, video(a), z, mpeg2_pack_header(), z, video(b)}), cat({a, b}));
  }
}

// ---- Skipped packets ----

struct SkipCase {
  uint8_t stream_id;
  size_t length;
};

class SkippedPacketTest : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkippedPacketTest, IsPassedOverByItsLength) {
  Bytes a = noise(300, 1), b = noise(400, 2);
  Bytes file = cat({mpeg2_pack_header(), video(a), other_packet(GetParam().stream_id, GetParam().length),
                    mpeg2_pack_header(2), video(b)});
  expect_delivered_whole(file, cat({a, b}));
}

INSTANTIATE_TEST_SUITE_P(ProgramStreamDelivery, SkippedPacketTest,
                         ::testing::Values(SkipCase{0xBB, 12}, SkipCase{0xBC, 30}, SkipCase{0xBD, 0},
                                           SkipCase{0xBE, 5000}, SkipCase{0xBF, 2048}, SkipCase{0xC0, 4100},
                                           SkipCase{0xDF, 100}, SkipCase{0xE1, 2500}, SkipCase{0xEF, 10},
                                           SkipCase{0xFF, 65535}),
                         [](const ::testing::TestParamInfo<SkipCase> &info) {
                           char name[32];
                           snprintf(name, sizeof name, "Stream%02X_%zu", info.param.stream_id, info.param.length);
                           return std::string(name);
                         });

// ---- Block boundaries ----

TEST(ProgramStreamDelivery, PackHeaderEndingExactlyAtTheBlockEnd) {
  struct Pack {
    const char *name;
    Bytes bytes;
  };
  for (const Pack &pack : {Pack{"mpeg1", mpeg1_pack_header()}, Pack{"mpeg2", mpeg2_pack_header()},
                           Pack{"mpeg2 stuffed", mpeg2_pack_header(7)}}) {
    SCOPED_TRACE(pack.name);
    Bytes head = cat({mpeg2_pack_header(), video({})});
    Bytes a = noise(kBlockSize - head.size() - pack.bytes.size(), 4);
    Bytes b = noise(700, 5);
    Bytes file = cat({mpeg2_pack_header(), video(a), pack.bytes, video(b)});
    ASSERT_EQ(cat({mpeg2_pack_header(), video(a), pack.bytes}).size(), static_cast<size_t>(kBlockSize));
    expect_delivered_whole(file, cat({a, b}));
  }
}

TEST(ProgramStreamDelivery, VideoPacketHeadersStraddlingTheBlockEnd) {
  struct Form {
    const char *name;
    std::function<Bytes(const Bytes &)> packet;
  };
  std::vector<Form> forms = {
      {"mpeg2 pts", [](const Bytes &p) { return mpeg2_packet(0xE0, p); }},
      {"mpeg2 stuffed", [](const Bytes &p) { return mpeg2_packet(0xE0, p, true, 6); }},
      {"mpeg1 full", [](const Bytes &p) { return mpeg1_packet(0xE0, mpeg1_header_full(3), p); }},
  };
  for (const Form &form : forms) {
    for (size_t at = kBlockSize - 24; at <= kBlockSize + 1; at++) {
      SCOPED_TRACE(std::string(form.name) + ", packet at byte " + std::to_string(at));
      Bytes a = noise(3000, 6), b = noise(20, 7);
      Bytes file = cat({padding_of_size(at), form.packet(a), form.packet(b)});
      expect_delivered_whole(file, cat({a, b}));
    }
  }
}

// ---- Video packet headers ----

struct HeaderCase {
  const char *name;
  Bytes header;
};

class Mpeg1HeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Mpeg1HeaderTest, IsStrippedFromThePayload) {
  Bytes a = noise(250, 8), b = noise(260, 9);
  Bytes file = cat({mpeg1_pack_header(), mpeg1_packet(0xE0, GetParam().header, a), mpeg1_pack_header(),
                    mpeg1_packet(0xE0, mpeg1_header_plain(), b)});
  expect_delivered_whole(file, cat({a, b}));
}

Bytes stamps(uint8_t first, size_t count) {
  Bytes out(count, 0x01);
  out[0] = first;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    ProgramStreamDelivery, Mpeg1HeaderTest,
    ::testing::Values(HeaderCase{"NoTimeStamps", {0x0F}}, HeaderCase{"Pts", stamps(0x21, 5)},
                      HeaderCase{"PtsLowestFirstByte", stamps(0x20, 5)}, HeaderCase{"PtsTopNibble", stamps(0x2F, 5)},
                      HeaderCase{"PtsDts", stamps(0x31, 10)}, HeaderCase{"PtsDtsLowestFirstByte", stamps(0x30, 10)},
                      HeaderCase{"PtsDtsTopNibble", stamps(0x3F, 10)},
                      HeaderCase{"StuffingThenPlain", {0xFF, 0xFF, 0x0F}},
                      HeaderCase{"LongStuffingThenPts", cat({Bytes(40, 0xFF), stamps(0x21, 5)})},
                      HeaderCase{"BufferSizeThenPlain", {0x40, 0x00, 0x0F}},
                      HeaderCase{"BufferSizeThenPts", cat({{0x7F, 0xFF}, stamps(0x21, 5)})},
                      HeaderCase{"BufferSizeThenPtsDts", cat({{0x60, 0x2E}, stamps(0x31, 10)})},
                      HeaderCase{"StuffingBufferSizePtsDts", mpeg1_header_full(2)},
                      HeaderCase{"StuffingBufferSizePlain", {0xFF, 0x60, 0x2E, 0x0F}}),
    [](const ::testing::TestParamInfo<HeaderCase> &info) { return std::string(info.param.name); });

TEST(ProgramStreamDelivery, Mpeg2HeadersOfEveryDataLengthAreStripped) {
  for (int stuffing : {0, 1, 5, 32}) {
    for (bool pts : {false, true}) {
      SCOPED_TRACE("stuffing " + std::to_string(stuffing) + (pts ? " with pts" : " without pts"));
      Bytes a = noise(100, 10), b = noise(90, 11);
      Bytes file =
          cat({mpeg2_pack_header(), mpeg2_packet(0xE0, a, pts, stuffing), mpeg2_packet(0xE0, b, pts, stuffing)});
      expect_delivered_whole(file, cat({a, b}));
    }
  }
}

TEST(ProgramStreamDelivery, EmptyVideoPacketsAddAndLoseNothing) {
  Bytes a = noise(333, 12), b = noise(444, 13);
  Bytes empty2 = mpeg2_packet(0xE0, {}), bare2 = mpeg2_packet(0xE0, {}, false);
  Bytes empty1 = mpeg1_packet(0xE0, mpeg1_header_plain(), {}), full1 = mpeg1_packet(0xE0, mpeg1_header_full(1), {});
  struct Layout {
    const char *name;
    Bytes file;
  };
  for (const Layout &layout : {
           Layout{"mpeg2 between", cat({video(a), empty2, video(b)})},
           Layout{"mpeg2 no pts between", cat({video(a), bare2, video(b)})},
           Layout{"mpeg1 between", cat({video(a), empty1, video(b)})},
           Layout{"several in a row", cat({video(a), empty2, full1, mpeg2_pack_header(), empty1, video(b)})},
           Layout{"first packet empty", cat({mpeg2_pack_header(), empty2, video(a), video(b)})},
           Layout{"last packet empty", cat({video(a), video(b), empty2})},
       }) {
    SCOPED_TRACE(layout.name);
    expect_delivered_whole(layout.file, cat({a, b}));
  }
}

// ---- The shape of the file ----

TEST(ProgramStreamDelivery, ProgramEndCodeInMidBlockLosesNothingAfterIt) {
  Bytes a = noise(500, 14), b = noise(700, 15), c = noise(2600, 16);
  Bytes file = cat({mpeg2_pack_header(), system_header(), video(a), program_end_code(), mpeg2_pack_header(),
                    system_header(), video(b), program_end_code(), program_end_code(), mpeg1_pack_header(), video(c),
                    program_end_code()});
  expect_delivered_whole(file, cat({a, b, c}));
}

TEST(ProgramStreamDelivery, ConcatenatedProgramStreamsAreReadWhole) {
  Bytes first = noise(4500, 17), second = noise(3300, 18);
  MuxOptions mpeg1;
  mpeg1.mpeg1 = true;
  expect_delivered_whole(cat({mux_program_stream(first), mux_program_stream(second, mpeg1)}), cat({first, second}));
}

TEST(ProgramStreamDelivery, FileBeginningWithAVideoPacketIsReadNormally) {
  Bytes a = noise(1500, 19), b = noise(1500, 20), c = noise(5, 21);
  expect_delivered_whole(cat({video(a), video(b), mpeg1_packet(0xE0, mpeg1_header_pts(), c)}), cat({a, b, c}));
}

TEST(ProgramStreamDelivery, FinalPartialBlockIsDelivered) {
  Bytes a = noise(2500, 22), last = noise(64, 23);
  Bytes file = cat({mpeg2_pack_header(), video(a), mpeg2_pack_header(), video(last)});
  ASSERT_GT(file.size(), static_cast<size_t>(kBlockSize) + video(last).size());
  ASSERT_NE(file.size() % kBlockSize, 0u);
  expect_delivered_whole(file, cat({a, last}));
}

TEST(ProgramStreamDelivery, FileOfWholeBlocksIsDeliveredToItsLastByte) {
  Bytes a = noise(1800, 24), last = noise(100, 25);
  Bytes body = cat({mpeg2_pack_header(), video(a), mpeg2_pack_header(), video(last)});
  Bytes file = cat({body, padding_of_size(2 * kBlockSize - body.size())});
  ASSERT_EQ(file.size(), 2u * kBlockSize);
  expect_delivered_whole(file, cat({a, last}));
}

// The padding past the end of the file, by file offset: zeros up to the next multiple
// of 4 after the file's length, then 00 00 01 B7 on every multiple of 4.
uint8_t padding_byte(size_t file_length, size_t offset) {
  static const uint8_t kEnd[4] = {0x00, 0x00, 0x01, 0xB7};
  return offset < (file_length + 3) / 4 * 4 ? 0x00 : kEnd[offset % 4];
}

TEST(ProgramStreamDelivery, VideoPacketCutByTheEndOfFileIsPaddedToItsEnd) {
  Bytes a = noise(600, 26), b = noise(5000, 27);
  Bytes whole = cat({mpeg2_pack_header(), video(a), mpeg2_pack_header(), video(b), mpeg2_pack_header()});
  size_t b_start = cat({mpeg2_pack_header(), video(a), mpeg2_pack_header(), video({})}).size();
  for (size_t kept : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{777}, size_t{4096 - b_start},
                      size_t{4099 - b_start}, size_t{4999}}) {
    SCOPED_TRACE("payload bytes in the file: " + std::to_string(kept));
    Bytes file(whole.begin(), whole.begin() + static_cast<long>(b_start + kept));
    Bytes expected = cat({a, Bytes(b.begin(), b.begin() + static_cast<long>(kept))});
    for (size_t offset = file.size(); offset < b_start + b.size(); offset++)
      expected.push_back(padding_byte(file.size(), offset));
    expect_delivered_whole(file, expected);
  }
}

TEST(ProgramStreamDelivery, FileCutInsideAVideoPacketHeader) {
  Bytes a = noise(900, 28);
  Bytes head = cat({mpeg2_pack_header(), video(a)});
  Bytes next = mpeg2_packet(0xE0, noise(50, 29));
  // Whether the end falls among the header bytes that are read or among the 5 bytes of
  // time stamp that are only skipped, the packet never began: the video ends with a.
  for (size_t kept = 1; kept < 14; kept++) {
    SCOPED_TRACE("header bytes in the file: " + std::to_string(kept));
    Bytes file = cat({head, Bytes(next.begin(), next.begin() + static_cast<long>(kept))});
    expect_delivered_whole(file, a);
  }
}

// ---- skip_bits32 near the end of a packet ----

TEST(ProgramStreamDelivery, SkipBits32NearThePacketEndTakesTheRestFromTheNextVideoPacket) {
  Bytes a = noise(200, 30), b = noise(100, 31), tail = noise(64, 32);
  Bytes file = cat({mpeg2_pack_header(), video(a), other_packet(0xC0, 50), mpeg2_pack_header(), video(b), video(tail)});
  Bytes stream = cat({a, b, tail});
  for (int ahead = 0; ahead <= 6; ahead++) {
    for (int bits : {0, 3}) {
      SCOPED_TRACE("packet end " + std::to_string(ahead) + " bytes ahead, " + std::to_string(bits) + " bits in");
      // With 32 - bits valid bits the window holds the bytes up to read_pos - 1.
      size_t bytes_in = a.size() - 4 - static_cast<size_t>(ahead);
      // The child reports the distance to the packet end before the skip, the bits the
      // skip consumed, then the next 12 bytes.
      Delivery d = run_in_child(file, [&] {
        if (bits > 0) read_bits(bits);
        for (size_t i = 0; i < bytes_in; i++) read_bits(8);
        emit(static_cast<uint8_t>(reader.packet_end - reader.read_pos));
        int64_t before = reader.bits_consumed;
        skip_bits32();
        emit(static_cast<uint8_t>(reader.bits_consumed - before));
        for (int i = 0; i < 12; i++) emit(static_cast<uint8_t>(read_bits(8)));
      });
      Bytes expected = {static_cast<uint8_t>(ahead), 32};
      for (size_t bit = 8 * bytes_in + static_cast<size_t>(bits) + 32; expected.size() < 14; bit += 8)
        expected.push_back(
            static_cast<uint8_t>(((stream[bit / 8] << 8 | stream[bit / 8 + 1]) >> (8 - bit % 8)) & 0xFF));
      EXPECT_EQ(d.status, kLimitReached) << d.err;
      EXPECT_EQ(d.bytes, expected);
    }
  }
}

// ---- Ends of the process ----

class HeaderErrorTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderErrorTest, EndsTheRunWithAMessage) {
  Bytes file = cat({mpeg1_pack_header(), mpeg1_packet(0xE0, GetParam().header, noise(100, 33)),
                    mpeg1_packet(0xE0, mpeg1_header_plain(), noise(100, 34))});
  std::string path = write_input(file);
  EXPECT_EXIT(read_video_until_the_end(path), ::testing::ExitedWithCode(1), "^Error in packet header\n$");
}

INSTANTIATE_TEST_SUITE_P(
    ProgramStreamEnd, HeaderErrorTest,
    ::testing::Values(HeaderCase{"SecondBufferSizeField", cat({{0x60, 0x2E, 0x60, 0x2E}, stamps(0x31, 10)})},
                      HeaderCase{"StuffingThenSecondBufferSize", {0xFF, 0x40, 0x00, 0x7F, 0x00, 0x0F}},
                      HeaderCase{"Mpeg2FlagsAfterStuffing", {0xFF, 0x80, 0x80, 0x05, 0x21, 0, 1, 0, 1}},
                      HeaderCase{"ByteFEAfterStuffing", {0xFF, 0xFE, 0x0F}}, HeaderCase{"FirstByteC0", {0xC0, 0x0F}},
                      HeaderCase{"Byte10", {0x10}}, HeaderCase{"Byte00", {0x00}}, HeaderCase{"Byte1F", {0x1F}},
                      HeaderCase{"Byte0E", {0x0E}}, HeaderCase{"BufferSizeThenByte10", {0x40, 0x00, 0x10}}),
    [](const ::testing::TestParamInfo<HeaderCase> &info) { return std::string(info.param.name); });

TEST(ProgramStreamEnd, VideoStartCodeInTheSystemLayerIsRefused) {
  for (uint8_t code : {0x00, 0x01, 0xAF, 0xB2, 0xB3, 0xB5, 0xB7, 0xB8}) {
    char message[80];
    snprintf(message, sizeof message, "^Unexpected startcode 000001%02x in system layer\n$", code);
    SCOPED_TRACE(message);
    std::string path =
        write_input(cat({mpeg2_pack_header(), {0x00, 0x00, 0x01, code, 0x00, 0x04}, video(noise(10, 35))}));
    EXPECT_EXIT(read_video_until_the_end(path), ::testing::ExitedWithCode(1), message);
  }
}

TEST(ProgramStreamEnd, UnexpectedStartCodeAfterVideoKeepsTheVideoDelivered) {
  Bytes a = noise(1000, 36);
  Delivery d = deliver(cat({mpeg2_pack_header(), video(a), mpeg2_pack_header(), {0x00, 0x00, 0x01, 0xB3},
                            video(noise(100, 37))}));
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.err, "Unexpected startcode 000001b3 in system layer\n");
  EXPECT_EQ(d.bytes, a);
}

TEST(ProgramStreamEnd, NoVideoPacketBeforeTheEndIsNoVideoStream) {
  struct NoVideo {
    const char *name;
    Bytes file;
  };
  Bytes packs;
  for (int i = 0; i < 400; i++) packs = cat({packs, mpeg2_pack_header(i % 8)});
  for (const NoVideo &input : {
           NoVideo{"empty file", {}},
           NoVideo{"audio only",
                   cat({mpeg2_pack_header(), system_header(), other_packet(0xC0, 900), program_end_code()})},
           NoVideo{"whole blocks of audio",
                   cat({mpeg1_pack_header(), other_packet(0xC0, 6000), other_packet(0xE1, 3000)})},
           NoVideo{"pack headers over several blocks", packs},
           NoVideo{"no start code at all", Bytes(5000, 0xFF)},
           NoVideo{"video packet cut in its start code",
                   {0x00, 0x00, 0x01, 0xBA, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0xE0}},
       }) {
    SCOPED_TRACE(input.name);
    // The reader's first fill already meets the end of the video.
    Delivery d = run_in_child(input.file, [] { _exit(video_ended() ? kVideoEnded : kLimitReached); });
    EXPECT_EQ(d.status, kVideoEnded);
    EXPECT_EQ(d.err, "");
  }
}

// ---- Whole runs of the tool ----

const char *const kFirstCaption = "HELLO!";

// Two pop-on captions at 25 frames per second. The first is shown by end of caption
// at frame 5 of the first group, 0:00:01 (0.200 s on the timeline), and erased at 0:00:03
// (2 s), the second shown at frame 4 of 0:00:04 (3.160 s).
Bytes caption_script() {
  SequenceHeader header;
  header.frame_rate_code = 3;
  StreamBuilder s;
  s.sequence_header(header).sequence_extension();
  s.gop(0, 0, 1, 0).cc_block(frames_of({{0x14, 0x20}, {0x14, 0x70}, {'H', 'E'}, {'L', 'L'}, {'O', '!'}, {0x14, 0x2F}}));
  s.picture(0, 1).slice(2500, 1).picture(1, 2).slice(1700, 2);
  s.gop(0, 0, 3, 0).cc_block(frames_of({{0x14, 0x2C}}));
  s.picture(0, 1).slice(900, 3);
  s.gop(0, 0, 4, 0).cc_block(frames_of({{0x14, 0x20}, {0x14, 0x70}, {'B', 'Y'}, {'E', '!'}, {0x14, 0x2F}}));
  s.picture(0, 1).slice(3100, 4).sequence_end();
  return s.bytes();
}

const char *const kFirstEntry = "1       \r\n00:00:00,200 --> 00:00:02,000\r\nHELLO!\r\n\r\n";

struct ToolRun {
  RunResult result;
  std::string srt, smi;
  bool srt_exists, smi_exists;
};

ToolRun run_tool(const Bytes &file, const std::string &tag) {
  TempDir dir(tag);
  write_file(dir.path + "/movie.mpg", file);
  ToolRun run;
  run.result = run_zorbel({"movie.mpg"}, dir.path);
  run.srt_exists = file_exists(dir.path + "/movie.srt");
  run.smi_exists = file_exists(dir.path + "/movie.smi");
  run.srt = read_file(dir.path + "/movie.srt");
  run.smi = read_file(dir.path + "/movie.smi");
  return run;
}

void expect_normal_end(const ToolRun &run) {
  EXPECT_EQ(run.result.status, 0);
  // A run that wrote no caption says so, and nothing else.
  if (run.srt.empty()) {
    EXPECT_EQ(run.result.err, "zorbel: no captions found in movie.mpg\n");
  } else {
    EXPECT_EQ(run.result.err, "");
  }
  EXPECT_TRUE(ends_with(run.smi, "</SAMI>\r\n")) << run.smi;
}

class SameCaptionsTest : public ::testing::TestWithParam<MuxCase> {};

TEST_P(SameCaptionsTest, ProgramStreamGivesTheElementaryStreamOutputs) {
  Bytes es = caption_script();
  ToolRun elementary = run_tool(es, "es");
  ToolRun program = run_tool(mux_program_stream(es, GetParam().options), "ps");
  expect_normal_end(elementary);
  expect_normal_end(program);
  EXPECT_EQ(program.srt.find(kFirstEntry), 0u) << program.srt;
  EXPECT_NE(program.smi.find(kFirstCaption), std::string::npos);
  EXPECT_NE(program.srt.find("BYE!"), std::string::npos) << program.srt;
  EXPECT_EQ(program.srt, elementary.srt);
  EXPECT_EQ(program.smi, elementary.smi);
}

INSTANTIATE_TEST_SUITE_P(ProgramStreamRun, SameCaptionsTest, ::testing::ValuesIn(mux_cases()),
                         [](const ::testing::TestParamInfo<MuxCase> &info) { return std::string(info.param.name); });

TEST(ProgramStreamRun, VideoPacketsWithoutPackHeadersGiveTheElementaryStreamOutputs) {
  Bytes es = caption_script(), ps;
  for (size_t at = 0; at < es.size(); at += 1000) {
    Bytes part(es.begin() + static_cast<long>(at), es.begin() + static_cast<long>(std::min(es.size(), at + 1000)));
    ps = cat({ps, at % 3000 == 0 ? mpeg1_packet(0xE0, mpeg1_header_full(1), part) : video(part)});
  }
  ToolRun elementary = run_tool(es, "es-bare");
  ToolRun program = run_tool(ps, "ps-bare");
  expect_normal_end(program);
  EXPECT_EQ(program.srt.find(kFirstEntry), 0u) << program.srt;
  EXPECT_EQ(program.srt, elementary.srt);
  EXPECT_EQ(program.smi, elementary.smi);
}

TEST(ProgramStreamRun, CaptionPairInTheLastVideoBytesIsDecodedAsInTheElementaryStream) {
  // The stream ends with a single field-1 entry: its pair is the last video data.
  StreamBuilder s;
  SequenceHeader header;
  header.frame_rate_code = 3;
  s.sequence_header(header).gop(0, 0, 2, 0);
  s.cc_block(frames_of({{0x14, 0x20}, {0x14, 0x70}, {'H', 'E'}, {'L', 'L'}, {'O', '!'}}));
  s.picture(0, 1).slice(300, 5).gop(0, 0, 3, 0);
  s.cc_block({CcEntry{0xFF, with_parity(0x14), with_parity(0x2F)}});
  ToolRun elementary = run_tool(s.bytes(), "es-last");
  ToolRun program = run_tool(mux_program_stream(s.bytes()), "ps-last");
  expect_normal_end(elementary);
  expect_normal_end(program);
  EXPECT_NE(elementary.smi.find(kFirstCaption), std::string::npos);
  EXPECT_EQ(program.srt, elementary.srt);
  EXPECT_EQ(program.smi, elementary.smi);
}

TEST(ProgramStreamRun, CaptionBlockSplitBetweenVideoPacketsAnywhereIsDecodedAsInTheElementaryStream) {
  // The caption bytes are read straight from the buffer only where no packet header
  // lies among them or among the bytes the window holds.
  Bytes es = caption_script();
  const Bytes marker = {0x00, 0x00, 0x01, 0xB2, 'C', 'C'};
  size_t block = static_cast<size_t>(std::search(es.begin(), es.end(), marker.begin(), marker.end()) - es.begin());
  ASSERT_LT(block, es.size());
  ToolRun elementary = run_tool(es, "es-split");
  for (size_t split = block; split <= block + 4 + 5 + 3 * 12 + 4; split++) {
    SCOPED_TRACE("split at byte " + std::to_string(split - block) + " of the user data");
    Bytes head(es.begin(), es.begin() + static_cast<long>(split)), tail(es.begin() + static_cast<long>(split), es.end());
    // Stuffing, unlike a time stamp's last bytes, can never pass for caption bytes.
    Bytes packets = cat({mpeg2_pack_header(), video(head), mpeg2_pack_header(), mpeg2_packet(0xE0, tail, true, 4)});
    ToolRun program = run_tool(packets, "ps-split");
    expect_normal_end(program);
    EXPECT_EQ(program.srt, elementary.srt);
    EXPECT_EQ(program.smi, elementary.smi);
  }
}

TEST(ProgramStreamRun, FileCutInsideAVideoPacketEndsNormally) {
  Bytes es = caption_script();
  MuxOptions one_packet;
  one_packet.video_payload = es.size();
  Bytes ps = mux_program_stream(es, one_packet);
  // Cut in the last slice, after every caption: the audio packet and the end code follow
  // the video packet, so the file ends inside the video payload.
  size_t video_end = ps.size() - mpeg2_packet(0xC0, Bytes(one_packet.audio_size, 0xA5)).size() - 4;
  for (size_t cut : {video_end - 1500, video_end - 1501, video_end - 1502, video_end - 1503, video_end - 1}) {
    SCOPED_TRACE("file cut to " + std::to_string(cut) + " bytes");
    ToolRun run = run_tool(Bytes(ps.begin(), ps.begin() + static_cast<long>(cut)), "cut");
    expect_normal_end(run);
    EXPECT_EQ(run.srt.find(kFirstEntry), 0u) << run.srt;
    EXPECT_NE(run.srt.find("BYE!"), std::string::npos) << run.srt;
  }
}

TEST(ProgramStreamRun, CaptionBlockCutByTheEndReadsTheSameWhereverTheFileEnds) {
  // The last video packet ends inside a "CC" block, so its parser reads entries past the
  // last video byte: those must be the same sequence end codes whether the file ends
  // there or inside a following video packet header.
  SequenceHeader header;
  header.frame_rate_code = 3;
  Bytes next = mpeg2_packet(0xE0, noise(50, 40));
  for (size_t missing : {1, 2, 3, 4, 5}) {
    StreamBuilder s;
    s.sequence_header(header).gop(0, 0, 2, 0);
    // A last field-1 entry, so the cut entry is one that is decoded and traced.
    std::vector<CcEntry> entries = frames_of({{0x14, 0x20}, {0x14, 0x70}, {'H', 'E'}, {'L', 'L'}, {'O', '!'}});
    entries.push_back(CcEntry{0xFF, with_parity(0x14), with_parity(0x2F)});
    s.cc_block(entries);
    Bytes es = s.bytes();
    es.resize(es.size() - missing);
    Bytes last = cat({mpeg2_pack_header(), video(es)});
    ToolRun at_packet_end = run_tool(last, "cc-cut");
    for (size_t kept : {1, 6, 8, 9, 10, 13}) {
      SCOPED_TRACE(std::to_string(missing) + " bytes of the block missing, " + std::to_string(kept) +
                   " header bytes in the file");
      ToolRun in_header =
          run_tool(cat({last, mpeg2_pack_header(), Bytes(next.begin(), next.begin() + static_cast<long>(kept))}),
                   "cc-cut-header");
      expect_normal_end(in_header);
      EXPECT_EQ(in_header.result.out, at_packet_end.result.out);
      EXPECT_EQ(in_header.srt, at_packet_end.srt);
      EXPECT_EQ(in_header.smi, at_packet_end.smi);
    }
  }
}

TEST(ProgramStreamRun, CaptionInTheFinalPartialBlockIsWritten) {
  SequenceHeader header;
  header.frame_rate_code = 3;
  StreamBuilder bulk, captions;
  bulk.sequence_header(header).picture(0, 1).slice(4000, 6);
  captions.gop(0, 0, 1, 0)
      .cc_block(frames_of({{0x14, 0x20}, {0x14, 0x70}, {'H', 'E'}, {'L', 'L'}, {'O', '!'}, {0x14, 0x2F}}));
  captions.gop(0, 0, 3, 0).cc_block(frames_of({{0x14, 0x2C}})).sequence_end();
  MuxOptions options;
  options.end_code = false;
  Bytes head = mux_program_stream(bulk.bytes(), options);
  size_t gap = (kBlockSize - head.size() % kBlockSize) % kBlockSize;
  if (gap < 6) gap += kBlockSize;
  Bytes file = cat({head, padding_of_size(gap), mpeg2_pack_header(), video(captions.bytes()), program_end_code()});
  ASSERT_EQ((head.size() + gap) % kBlockSize, 0u);
  ASSERT_LT(file.size() - head.size() - gap, static_cast<size_t>(kBlockSize));
  ToolRun run = run_tool(file, "partial");
  expect_normal_end(run);
  EXPECT_EQ(run.srt, kFirstEntry);
  EXPECT_NE(run.smi.find(kFirstCaption), std::string::npos);
}

TEST(ProgramStreamRun, NoVideoStreamCreatesNoOutput) {
  for (size_t audio : {size_t{500}, size_t{7000}}) {
    SCOPED_TRACE("audio packet of " + std::to_string(audio) + " bytes");
    ToolRun run = run_tool(cat({mpeg2_pack_header(), system_header(), other_packet(0xC0, audio), program_end_code()}),
                           "novideo");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.err, "No video stream found\nzorbel: movie.mpg: a program stream without video stream 0xE0\n");
    EXPECT_FALSE(run.srt_exists);
    EXPECT_FALSE(run.smi_exists);
  }
}

const uint8_t kVideoCode[4] = {0x00, 0x00, 0x01, 0xE0};

TEST(ProgramStreamRun, SystemLayerErrorsFinishBothOutputs) {
  struct Failure {
    Bytes tail;
    const char *message;
  };
  Bytes ps = mux_program_stream(caption_script(), MuxOptions());
  // Pack stuffing that holds a video packet's code: the search for the next code finds it
  // there, before the real packet, and the bytes after it are no packet header.
  Bytes code_in_stuffing = mpeg2_pack_header(4);
  std::copy(kVideoCode, kVideoCode + 4, code_in_stuffing.end() - 4);
  for (const Failure &failure : {
           Failure{{0x00, 0x00, 0x01, 0xB8}, "Unexpected startcode 000001b8 in system layer\n"},
           Failure{mpeg1_packet(0xE0, {0xFF, 0x80, 0x0F}, noise(40, 38)), "Error in packet header\n"},
           Failure{code_in_stuffing, "Error in packet header\n"},
       }) {
    SCOPED_TRACE(failure.message);
    ToolRun run = run_tool(cat({ps, failure.tail, video(noise(3000, 39))}), "error");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.result.err, failure.message);
    EXPECT_EQ(run.srt.find(kFirstEntry), 0u) << run.srt;
    EXPECT_NE(run.srt.find("BYE!"), std::string::npos) << run.srt;
    EXPECT_TRUE(ends_with(run.smi, "</SAMI>\r\n"));
  }
}

}  // namespace
