// The buffer-scanning start-code search with each of its kernels (scalar, 16-byte and
// 32-byte vectors, as far as the processor has them), which also passes over the start codes
// the scanner does not act on, against the byte-at-a-time reference: whole runs, in process,
// must give the same console trace, the same files and the same status on every fixture and
// on random streams, elementary and program.
#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/start_code_search.hpp"
#include "ref_cases.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

jmp_buf run_ended;

void back_to_test(int status) { longjmp(run_ended, status + 1); }

struct Outcome {
  int status;
  std::string console, srt, smi;
};

// The run's own exit comes back here through the exit hook. Without `kernel` the search
// goes byte by byte.
Outcome run_in_process(const std::string &input, const std::string &dir, const SearchKernel *kernel) {
  std::string input_arg = input, dir_arg = "/d" + dir + "/";
  char program[] = "zorbel";
  char *argv[] = {program, &input_arg[0], &dir_arg[0], nullptr};
  use_reference_search(kernel == nullptr);
  if (kernel) use_search_kernel(*kernel);
  set_exit_hook(back_to_test);
  caption_test::capture_stdout();
  testing::internal::CaptureStderr();
  int ended = setjmp(run_ended);
  if (ended == 0) zorbel_main(3, argv);
  Outcome outcome;
  outcome.console = caption_test::captured_stdout() + "--- stderr\n" + testing::internal::GetCapturedStderr();
  set_exit_hook(nullptr);
  use_reference_search(false);
  use_search_kernel(best_search_kernel());
  reset_run_state();  // later tests in this process start clean
  outcome.status = ended - 1;
  outcome.srt = read_file(dir + "/input.srt");
  outcome.smi = read_file(dir + "/input.smi");
  return outcome;
}

void expect_same_run(const Bytes &stream, const std::string &what) {
  TempDir dir("fast");
  std::string input = dir.path + "/input.mpg";
  write_file(input, stream);
  Outcome reference = run_in_process(input, dir.path, nullptr);
  struct Variant {
    SearchKernel kernel;
    const char *label;
  };
  for (const Variant &variant : {Variant{SearchKernel::scalar, " (scalar)"}, Variant{SearchKernel::sse2, " (16-byte vectors)"},
                                 Variant{SearchKernel::avx2, " (32-byte vectors)"}}) {
    if (!search_kernel_available(variant.kernel)) continue;
    Outcome fast = run_in_process(input, dir.path, &variant.kernel);
    std::string label = what + variant.label;
    EXPECT_EQ(fast.status, reference.status) << label;
    // Compare whole texts only when they differ, so a failure shows where.
    EXPECT_TRUE(fast.console == reference.console) << label << ": console traces differ";
    EXPECT_EQ(fast.srt, reference.srt) << label;
    EXPECT_EQ(fast.smi, reference.smi) << label;
  }
}

TEST(FastSearch, MatchesTheReferenceOnEveryFixture) {
  for (const std::string &path : fixture_paths()) {
    std::string bytes = read_file(source_path(path));
    ASSERT_FALSE(bytes.empty()) << path;
    expect_same_run(Bytes(bytes.begin(), bytes.end()), path);
  }
}

TEST(FastSearch, OverlappingPrefixesAtEveryOffsetBeforeABlockEnd) {
  // A picture start code whose last two bytes could begin another prefix (00 00 01 00 then
  // 00 01 B8): the group start code inside it must stay unseen, wherever the block ends.
  SequenceHeader header;
  StreamBuilder head;
  head.sequence_header(header).gop(0, 0, 1, 0);
  for (size_t at = kBlockSize - 12; at <= kBlockSize + 2; at++) {
    StreamBuilder s;
    s.raw(head.bytes()).slice(at - head.bytes().size() - 4, 7);
    Bytes bytes = s.bytes();
    bytes.resize(at);
    bytes.insert(bytes.end(), {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00});
    StreamBuilder tail;
    tail.gop(0, 0, 2, 0).cc_block(frames_of({{0x14, 0x2C}}));
    bytes.insert(bytes.end(), tail.bytes().begin(), tail.bytes().end());
    expect_same_run(bytes, "picture start code at byte " + std::to_string(at));
  }
}

// Video of one group with a caption, from a picture on: its slice codes are passed in
// memory, and its last bytes begin no prefix, so the search runs on into the next pack.
Bytes captioned_group(int second) {
  StreamBuilder s;
  s.gop(0, 0, second, 0).cc_block(frames_of({{0x14, 0x2C}, {'H', 'I'}, {0x14, 0x2F}}));
  s.picture().slice(200, static_cast<uint32_t>(second)).raw({0x55, 0x55});
  return s.bytes();
}

TEST(FastSearch, MatchesTheReferenceWherePacksLeaveTheDvdShape) {
  StreamBuilder head;
  head.sequence_header();
  Bytes lead = cat({mpeg2_pack_header(2), mpeg2_packet(0xE0, cat({head.bytes(), captioned_group(1)}))});
  Bytes tail = cat({mpeg2_pack_header(1), mpeg2_packet(0xE0, captioned_group(2)), mpeg2_pack_header(1),
                    mpeg2_packet(0xE0, captioned_group(3))});
  // A pack and a padding packet that end at `at`.
  auto filled_to = [](const Bytes &before, size_t at) {
    size_t overhead = cat({mpeg2_pack_header(), mpeg2_packet(0xBE, {}, false)}).size();
    return cat({before, mpeg2_pack_header(), mpeg2_packet(0xBE, Bytes(at - before.size() - overhead, 0xFF), false)});
  };
  constexpr size_t kEnd = 2 * kBlockSize;  // the end of the blocks read whole
  Bytes code_in_stuffing = mpeg2_pack_header(7);
  const uint8_t kVideoCode[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x08};
  std::copy(kVideoCode, kVideoCode + 6, code_in_stuffing.end() - 6);
  Bytes header_cut = cat({filled_to(lead, kEnd - 30), mpeg2_pack_header(7), mpeg2_packet(0xE0, captioned_group(2))});
  header_cut.resize(kEnd + 2);
  // The odd pack among the blocks read whole.
  auto in_blocks = [&](const Bytes &odd) {
    Bytes stream = cat({lead, odd, tail});
    return filled_to(stream, kEnd + 100);
  };
  const std::pair<const char *, Bytes> kCases[] = {
      {"pack stuffing that holds a video packet's code",
       in_blocks(cat({code_in_stuffing, mpeg2_packet(0xE0, captioned_group(2))}))},
      {"an MPEG-1 video packet in an MPEG-2 pack",
       in_blocks(cat({mpeg2_pack_header(), mpeg1_packet(0xE0, mpeg1_header_plain(), captioned_group(2))}))},
      {"a program end code after a pack header",
       in_blocks(cat({mpeg2_pack_header(), program_end_code(), mpeg2_packet(0xE0, captioned_group(2))}))},
      {"an audio packet past the blocks read whole",
       cat({filled_to(lead, kEnd - 40), mpeg2_pack_header(), mpeg2_packet(0xC0, noise(60, 5)), tail})},
      {"a file cut in a video packet's header past the blocks read whole", header_cut},
  };
  for (const auto &[what, stream] : kCases) expect_same_run(stream, what);
}

// Streams with start codes at every offset against block and packet boundaries, runs of
// zeros, sequence end codes, captions and junk.
Bytes random_stream(std::mt19937 &rng) {
  auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  StreamBuilder s;
  if (pick(4) == 0) s.raw(Bytes(static_cast<size_t>(pick(9)), 0x00));
  SequenceHeader header;
  header.frame_rate_code = 1 + pick(8);
  s.sequence_header(header);
  for (int group = 0, groups = 4 + pick(12); group < groups; group++) {
    if (pick(3) == 0) s.sequence_header(header).sequence_extension();
    s.gop(0, pick(60), pick(60), pick(24));
    if (pick(4) != 0) {
      std::vector<std::pair<uint8_t, uint8_t>> pairs;
      const std::pair<uint8_t, uint8_t> choices[] = {{0x14, 0x20}, {0x14, 0x70}, {'A', 'b'}, {0x14, 0x2F},
                                                     {0x14, 0x2C}, {0x14, 0x25}, {0x14, 0x2D}, {'x', 0x00}};
      for (int i = 0, n = 1 + pick(30); i < n; i++) pairs.push_back(choices[pick(8)]);
      std::vector<CcEntry> entries = frames_of(pairs);
      // Blocks that start with field 2 and blocks of an odd count, as on discs whose field
      // order slips.
      if (pick(3) == 0)
        for (size_t e = 0; e + 1 < entries.size(); e += 2) std::swap(entries[e], entries[e + 1]);
      if (pick(4) == 0) entries.pop_back();
      s.cc_block(entries, pick(2) == 0);
    }
    for (int picture = 0, pictures = 1 + pick(4); picture < pictures; picture++) {
      s.picture(picture, 1 + pick(3));
      s.slice(static_cast<size_t>(pick(5000)), static_cast<uint32_t>(rng()));
      if (pick(5) == 0) s.raw(Bytes(static_cast<size_t>(1 + pick(3000)), 0x00));
      if (pick(6) == 0) s.raw({0x00, 0x00, 0x01});
      // Sequence end codes inside the stream must not be taken for the end of the input.
      if (pick(8) == 0) s.sequence_end();
    }
  }
  if (pick(2) == 0) s.sequence_end();
  Bytes bytes = s.bytes();
  if (pick(3) == 0) bytes.resize(bytes.size() - static_cast<size_t>(pick(static_cast<int>(bytes.size() / 2))));
  return bytes;
}

TEST(FastSearch, MatchesTheReferenceOnRandomStreams) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 40; i++) {
    Bytes elementary = random_stream(rng);
    expect_same_run(elementary, "elementary stream " + std::to_string(i));
    MuxOptions options;
    options.mpeg1 = rng() % 2 == 0;
    options.video_payload = 1 + rng() % 4000;
    options.audio = rng() % 2 == 0;
    options.audio_size = rng() % 5000;
    options.pack_stuffing = static_cast<int>(rng() % 8);
    options.end_code = rng() % 2 == 0;
    expect_same_run(mux_program_stream(elementary, options), "program stream " + std::to_string(i));
    TsOptions transport;
    transport.packet_size = rng() % 2 == 0 ? 188 : 192;
    transport.audio_every = rng() % 3;
    transport.adaptation_every = rng() % 4;
    transport.pes_payload = 1 + rng() % 6000;
    expect_same_run(mux_transport_stream(elementary, transport), "transport stream " + std::to_string(i));
  }
}

}  // namespace
