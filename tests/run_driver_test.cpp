// The run driver through the built binary: usage, the argument loop, the output names,
// the refusals of the input and the end of a run; and derive_output_names in-process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/run_driver.hpp"
#include "caption_test_support.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

namespace fs = std::filesystem;

std::string not_found(const std::string &input) { return "Base layer input file " + input + " not found\n"; }

std::string usage(const std::string &invoked_as) {
  return "Incorrect usage\n" + invoked_as + " <mpgfilename> [<outputdirectory>]\n";
}

// A sequence header and a group of pictures, and nothing else: no captions.
const SequenceHeader kSequence = [] {
  SequenceHeader h;
  h.horizontal_size = 352;
  h.vertical_size = 288;
  h.aspect_ratio_information = 3;
  h.frame_rate_code = 3;
  h.bit_rate_value = 1234;
  h.vbv_buffer_size = 20;
  h.constrained_parameters_flag = 1;
  return h;
}();

Bytes header_only_stream() { return StreamBuilder().sequence_header(kSequence).gop(1, 5, 3, 7).bytes(); }

// The trace of header_only_stream when its first start code is at byte `offset`: the
// sequence header fills 8 bytes after its start code, so the group starts 12 bytes later;
// minute 5 is a new multiple of five, so one progress dot comes before its lines.
std::string header_only_trace(int offset) {
  return "sequence header (byte " + std::to_string(offset) +
         ")\n"
         "  horizontal_size=352\n"
         "  vertical_size=288\n"
         "  aspect_ratio_information=3\n"
         "  frame_rate_code=3  bit_rate_value=1234\n"
         "  vbv_buffer_size=20\n"
         "  constrained_parameters_flag=1\n"
         "  load_intra_quantizer_matrix=0\n"
         "  load_non_intra_quantizer_matrix=0\n"
         ".group of pictures (byte " +
         std::to_string(offset + 12) +
         ")\n"
         "  drop_flag=0\n"
         "  timecode 1:05:03:07\n"
         "  closed_gop=1\n"
         "  broken_link=0\n";
}

// Both outputs of a run with no caption at `prefix` (path + base name).
void expect_empty_outputs(const std::string &prefix) {
  ASSERT_TRUE(file_exists(prefix + ".srt")) << prefix;
  ASSERT_TRUE(file_exists(prefix + ".smi")) << prefix;
  EXPECT_EQ(read_file(prefix + ".srt"), "");
  EXPECT_EQ(read_file(prefix + ".smi"), sami_file(""));
}

// A run over header_only_stream(), its first start code at byte `offset`, that printed the
// name lines and the whole trace and wrote empty outputs at `prefix`.
void expect_header_only_run(const RunResult &r, const std::string &input, const std::string &base,
                            const std::string &path, const std::string &prefix, int offset = 0) {
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, startup_lines() + name_lines(input, base, path) + header_only_trace(offset));
  expect_empty_outputs(prefix);
}

// ---- Usage ----

TEST(RunDriverUsage, NoArgumentPrintsUsageAfterBannerAndFails) {
  TempDir dir("drv-usage");
  RunResult r = run_zorbel({}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + usage(ZORBEL_BINARY));
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(listing(dir.path).empty());
}

TEST(RunDriverUsage, ThreeArgumentsPrintUsageEvenWhenTheyAreValid) {
  TempDir dir("drv-usage");
  write_file(dir.path + "/movie.mpg", header_only_stream());
  RunResult r = run_zorbel({"movie.mpg", "/dout", "/dmore"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + usage(ZORBEL_BINARY));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(listing(dir.path), std::vector<std::string>{"movie.mpg"});
}

TEST(RunDriverUsage, UnknownOptionIsNamedOnStandardErrorAndNothingIsCreated) {
  TempDir dir("drv-usage");
  write_file(dir.path + "/movie.mpg", header_only_stream());
  RunResult r = run_zorbel({"movie.mpg", "--timecodes"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines());
  EXPECT_EQ(r.err, "zorbel: unknown option --timecodes\n");
  EXPECT_EQ(listing(dir.path), std::vector<std::string>{"movie.mpg"});
}

// ---- Output names ----

struct NameCase {
  const char *label;
  std::vector<std::string> args;
  std::string input;               // the argument taken as the input
  std::optional<std::string> dir;  // the text after "/d", if any
  std::string base;
  std::string path;
};

const std::string kLongBase(3000, 'b');
const std::string kLongDir = std::string(1500, 'x') + "/" + std::string(1500, 'y');

// Worked out by hand from the naming rules: the last "." ends the base name, "\", ":" and
// "/" start it, index 0 is never examined, and a "/d" directory replaces the path with
// "/" appended unless it already ends with one.
const std::vector<NameCase> kNameCases = {
    {"two dots: the last one counts", {"a.b.mpg"}, "a.b.mpg", {}, "a.b", ""},
    {"drive prefix", {"C:movie.mpg"}, "C:movie.mpg", {}, "movie", "C:"},
    {"dot inside a directory name", {"my.dir\\file"}, "my.dir\\file", {}, "my", ""},
    {"dot inside a posix directory name", {"dir.d/movie"}, "dir.d/movie", {}, "dir", ""},
    {"separator at index 0 stays in the base", {"\\movie.mpg"}, "\\movie.mpg", {}, "\\movie", ""},
    {"posix root at index 0 stays in the base", {"/movie.mpg"}, "/movie.mpg", {}, "/movie", ""},
    {"empty base name", {"x/.mpg"}, "x/.mpg", {}, "", "x/"},
    {"windows directory", {"D:\\video\\movie.mpg"}, "D:\\video\\movie.mpg", {}, "movie", "D:\\video\\"},
    {"posix directory", {"videos/movie.mpg"}, "videos/movie.mpg", {}, "movie", "videos/"},
    {"directory replaces the input's path",
     {"D:\\video\\movie.mpg", "/dC:\\subs"}, "D:\\video\\movie.mpg", "C:\\subs", "movie", "C:\\subs/"},
    {"directory first", {"/dC:\\subs", "movie.mpg"}, "movie.mpg", "C:\\subs", "movie", "C:\\subs/"},
    {"backslash at the end does not count", {"movie.mpg", "/dC:\\subs\\"}, "movie.mpg", "C:\\subs\\", "movie",
     "C:\\subs\\/"},
    {"slash at the end is kept", {"movie.mpg", "/dsubs/"}, "movie.mpg", "subs/", "movie", "subs/"},
    {"drive and slashes", {"movie.mpg", "/dC:/subs/"}, "movie.mpg", "C:/subs/", "movie", "C:/subs/"},
    {"/d alone is the current directory", {"movie.mpg", "/d"}, "movie.mpg", "", "movie", ""},
    {"/d alone before the input", {"/d", "sub/movie.mpg"}, "sub/movie.mpg", "", "movie", ""},
    {"upper-case D is not the option", {"/Dsubs", "movie.mpg"}, "movie.mpg", {}, "movie", ""},
    {"a later input replaces an earlier one", {"a.mpg", "b.mpg"}, "b.mpg", {}, "b", ""},
    {"every argument is /d: the first stays the input",
     {"/dx.mpg", "/dy"}, "/dx.mpg", "y", "/dx", "y/"},
    {"a single /d argument is both", {"/dnowhere-zorbel/x.mpg"}, "/dnowhere-zorbel/x.mpg", "nowhere-zorbel/x.mpg",
     "x", "nowhere-zorbel/x.mpg/"},
    {"spaces in the name", {"my videos/my movie.mpg"}, "my videos/my movie.mpg", {}, "my movie", "my videos/"},
    {"spaces in the directory", {"my movie.mpg", "/dout dir"}, "my movie.mpg", "out dir", "my movie", "out dir/"},
    {"3000-character base name", {kLongBase + ".mpg"}, kLongBase + ".mpg", {}, kLongBase, ""},
    {"3000-character directory", {"movie.mpg", "/d" + kLongDir}, "movie.mpg", kLongDir, "movie", kLongDir + "/"},
    {"long base in a long path", {kLongDir + "/" + kLongBase + ".m2v"}, kLongDir + "/" + kLongBase + ".m2v", {},
     kLongBase, kLongDir + "/"},
    {"an option anywhere is no name", {"movie.mpg", "--timecode", "/dsubs"}, "movie.mpg", "subs", "movie", "subs/"},
    {"-- ends the options", {"--", "--timecode.mpg"}, "--timecode.mpg", {}, "--timecode", ""},
};

TEST(RunDriverNames, EachCasePrintsItsFiveNameLinesThenReportsTheMissingInput) {
  for (const NameCase &c : kNameCases) {
    SCOPED_TRACE(c.label);
    TempDir dir("drv-names");
    RunResult r = run_zorbel(c.args, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, startup_lines() + name_lines(c.input, c.base, c.path));
    EXPECT_EQ(r.err, not_found(c.input));
    EXPECT_TRUE(listing(dir.path).empty());
  }
}

TEST(RunDriverNames, DeriveOutputNamesInProcessMatchesTheTable) {
  for (const NameCase &c : kNameCases) {
    SCOPED_TRACE(c.label);
    OutputNames names = derive_output_names(c.input.c_str(), c.dir ? c.dir->c_str() : nullptr);
    ASSERT_TRUE(names.ok);
    EXPECT_EQ(std::string(names.base_name), c.base);
    EXPECT_EQ(std::string(names.output_path), c.path);
    EXPECT_EQ(std::string(names.srt_name), c.path + c.base + ".srt");
    EXPECT_EQ(std::string(names.sami_name), c.path + c.base + ".smi");
  }
}

struct NoExtensionCase {
  const char *label;
  std::vector<std::string> args;
  std::string input;
};

const std::vector<NoExtensionCase> kNoExtension = {
    {"no dot", {"movie"}, "movie"},
    {"dot only at index 0", {".mpg"}, ".mpg"},
    {"empty name", {""}, ""},
    {"a directory without /d becomes the input", {"movie.mpg", "C:\\subs"}, "C:\\subs"},
    {"/Dsubs after the input becomes the input", {"movie.mpg", "/Dsubs"}, "/Dsubs"},
    {"a lone /d argument is the input", {"/dsubs"}, "/dsubs"},
};

TEST(RunDriverNames, NameWithoutExtensionStopsBeforeTheNameLines) {
  for (const NoExtensionCase &c : kNoExtension) {
    SCOPED_TRACE(c.label);
    TempDir dir("drv-noext");
    RunResult r = run_zorbel(c.args, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, startup_lines() + "no extension specified\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(derive_output_names(c.input.c_str(), nullptr).ok);
  }
}

// A fresh directory whose absolute path begins with "/d": under /dev/shm when it can be
// written, else at the root of the file system.
struct SlashDDir {
  SlashDDir() {
    for (const char *pattern : {"/dev/shm/zorbel-drv-XXXXXX", "/dzorbel-drv-XXXXXX"}) {
      std::vector<char> buffer(pattern, pattern + strlen(pattern) + 1);
      if (mkdtemp(buffer.data())) {
        path = buffer.data();
        return;
      }
    }
  }
  ~SlashDDir() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
  std::string path;
};

TEST(RunDriverNames, ExistingAbsolutePathBeginningWithSlashDIsTheInput) {
  SlashDDir abs;
  ASSERT_FALSE(abs.path.empty()) << "no writable directory beginning with /d";
  ASSERT_EQ(abs.path.compare(0, 2, "/d"), 0);
  ASSERT_EQ(abs.path.find('.'), std::string::npos);
  std::string input = abs.path + "/movie.mpg";
  write_file(input, header_only_stream());
  TempDir cwd("drv-abs");

  RunResult r = run_zorbel({input}, cwd.path);
  expect_header_only_run(r, input, "movie", abs.path + "/", abs.path + "/movie");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(listing(cwd.path).empty());

  // An existing directory after the input replaces it as the input, and has no extension.
  r = run_zorbel({"movie.mpg", abs.path}, cwd.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + "no extension specified\n");

  // Once the file is gone the same argument is the directory option again.
  fs::remove(input);
  r = run_zorbel({input}, cwd.path);
  std::string as_option = input.substr(2) + "/";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + name_lines(input, "movie", as_option));
  EXPECT_EQ(r.err, not_found(input));
}

// ---- Runs that reach their outputs ----

TEST(RunDriverRun, HeaderOnlyStreamPrintsTheWholeTraceAndWritesEmptyOutputs) {
  TempDir dir("drv-run");
  write_file(dir.path + "/movie.mpg", header_only_stream());
  RunResult r = run_zorbel({"movie.mpg"}, dir.path);
  expect_header_only_run(r, "movie.mpg", "movie", "", dir.path + "/movie");
  EXPECT_EQ(r.err, "");
}

TEST(RunDriverRun, OutputsGoIntoTheGivenDirectory) {
  TempDir dir("drv-outdir");
  ASSERT_EQ(mkdir((dir.path + "/in").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir.path + "/out").c_str(), 0755), 0);
  write_file(dir.path + "/in/movie.mpg", header_only_stream());

  RunResult r = run_zorbel({"/dout", "in/movie.mpg"}, dir.path);
  expect_header_only_run(r, "in/movie.mpg", "movie", "out/", dir.path + "/out/movie");
  EXPECT_EQ(listing(dir.path + "/in"), std::vector<std::string>{"movie.mpg"});

  // An absolute directory: "/d" followed by the path.
  ASSERT_EQ(mkdir((dir.path + "/abs").c_str(), 0755), 0);
  r = run_zorbel({"in/movie.mpg", "/d" + dir.path + "/abs"}, dir.path);
  expect_header_only_run(r, "in/movie.mpg", "movie", dir.path + "/abs/", dir.path + "/abs/movie");

  // "/d" alone: the current directory, not the input's.
  r = run_zorbel({"in/movie.mpg", "/d"}, dir.path);
  expect_header_only_run(r, "in/movie.mpg", "movie", "", dir.path + "/movie");
  EXPECT_EQ(listing(dir.path + "/in"), std::vector<std::string>{"movie.mpg"});
}

TEST(RunDriverRun, NamesWithSpacesReachTheFiles) {
  TempDir dir("drv-spaces");
  ASSERT_EQ(mkdir((dir.path + "/out dir").c_str(), 0755), 0);
  write_file(dir.path + "/my movie.mpg", header_only_stream());
  RunResult r = run_zorbel({"my movie.mpg", "/dout dir"}, dir.path);
  expect_header_only_run(r, "my movie.mpg", "my movie", "out dir/", dir.path + "/out dir/my movie");
}

// Makes the nested directories of a relative path under root; each component stays
// within the file system's name limit.
std::string nested_dirs(const std::string &root, int levels, size_t width) {
  std::string relative;
  for (int i = 0; i < levels; i++) {
    relative += std::string(width, static_cast<char>('c' + i % 20)) + "/";
    if (mkdir((root + "/" + relative).c_str(), 0755) != 0) return "";
  }
  return relative;
}

TEST(RunDriverRun, LongNamesAreUsedInFullForTheOutputs) {
  TempDir dir("drv-long");
  // About 3000 characters of directories, and a base name as long as one name may be.
  std::string deep = nested_dirs(dir.path, 15, 200);
  ASSERT_FALSE(deep.empty());
  std::string base(240, 'm');
  std::string input = deep + base + ".mpg";
  ASSERT_GT(input.size(), 3000u);
  write_file(dir.path + "/" + input, header_only_stream());

  RunResult r = run_zorbel({input}, dir.path);
  expect_header_only_run(r, input, base, deep, dir.path + "/" + deep + base);
  EXPECT_EQ(r.err, "");

  // The same long directory given with /d, from a short input name.
  write_file(dir.path + "/short.mpg", header_only_stream());
  std::string out_dir = deep.substr(0, deep.size() - 1);  // without its final "/"
  r = run_zorbel({"short.mpg", "/d" + out_dir}, dir.path);
  expect_header_only_run(r, "short.mpg", "short", deep, dir.path + "/" + deep + "short");
}

// ---- Stream kind and refusals ----

// The run stopped after the name lines, with the message on stderr, and left the
// directory as it was.
void expect_refusal(const RunResult &r, const std::string &dir, const std::string &message) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + name_lines("movie.mpg", "movie", ""));
  EXPECT_EQ(r.err, message);
  EXPECT_EQ(listing(dir), std::vector<std::string>{"movie.mpg"});
}

RunResult run_on(const std::string &dir, const Bytes &content) {
  write_file(dir + "/movie.mpg", content);
  return run_zorbel({"movie.mpg"}, dir);
}

TEST(RunDriverRefusals, MissingInputIsNotFound) {
  TempDir dir("drv-ref");
  RunResult r = run_zorbel({"movie.mpg"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + name_lines("movie.mpg", "movie", ""));
  EXPECT_EQ(r.err, not_found("movie.mpg"));
  EXPECT_TRUE(listing(dir.path).empty());
}

TEST(RunDriverRefusals, FirstByte0x47IsATransportStream) {
  const std::string message = "Decoder currently does not parse transport streams\n";
  {
    TempDir dir("drv-ref");
    Bytes ts(188 * 4, 0xFF);
    for (size_t i = 0; i < ts.size(); i += 188) ts[i] = 0x47;
    expect_refusal(run_on(dir.path, ts), dir.path, message);
  }
  {
    // A valid sequence header straight after the 0x47 does not rescue it.
    TempDir dir("drv-ref");
    Bytes content = {0x47};
    const Bytes &rest = header_only_stream();
    content.insert(content.end(), rest.begin(), rest.end());
    expect_refusal(run_on(dir.path, content), dir.path, message);
  }
  {
    TempDir dir("drv-ref");
    expect_refusal(run_on(dir.path, {0x47}), dir.path, message);
  }
}

TEST(RunDriverRefusals, UnrecognisedFirstStartCode) {
  const std::string message = "Unable to recognize stream type\n";
  struct Case {
    const char *label;
    Bytes content;
  };
  Bytes extension_first = StreamBuilder().sequence_extension().sequence_header().bytes();
  Bytes system_header_first = system_header();
  Bytes video_after = mux_program_stream(header_only_stream());
  system_header_first.insert(system_header_first.end(), video_after.begin(), video_after.end());
  Bytes gop_first = StreamBuilder().gop(0, 0, 0, 0).sequence_header().bytes();
  Bytes audio_first = mpeg2_packet(0xC0, Bytes(100, 0xA5));
  const std::vector<Case> cases = {
      {"extension start code", extension_first},
      {"system header", system_header_first},
      {"group of pictures", gop_first},
      {"audio packet", audio_first},
      {"empty file", {}},
      {"no start code at all", Bytes(5000, 0x11)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir("drv-ref");
    expect_refusal(run_on(dir.path, c.content), dir.path, message);
  }
}

TEST(RunDriverRefusals, DirectoryAsInputFailsCleanly) {
  TempDir dir("drv-ref");
  ASSERT_EQ(mkdir((dir.path + "/movie.mpg").c_str(), 0755), 0);
  RunResult r = run_zorbel({"movie.mpg"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + name_lines("movie.mpg", "movie", ""));
  // A host may refuse to open it at all, or open it and fail on the first read.
  EXPECT_TRUE(r.err == "Error reading movie.mpg\n" || r.err == not_found("movie.mpg")) << r.err;
  EXPECT_EQ(listing(dir.path), std::vector<std::string>{"movie.mpg"});
}

TEST(RunDriverRefusals, ProgramStreamWithoutVideoPacket) {
  const std::string message = "No video stream found\n";
  Bytes audio_only = mpeg2_pack_header();
  for (const Bytes &piece : {system_header(), mpeg2_packet(0xC0, Bytes(3000, 0xA5)), mpeg2_pack_header(),
                             mpeg2_packet(0xE1, header_only_stream()), mpeg2_packet(0xBD, Bytes(900, 0x5A)),
                             program_end_code()})
    audio_only.insert(audio_only.end(), piece.begin(), piece.end());
  const std::vector<Bytes> streams = {audio_only, mpeg2_pack_header()};
  for (const Bytes &stream : streams) {
    SCOPED_TRACE(stream.size());
    TempDir dir("drv-ref");
    expect_refusal(run_on(dir.path, stream), dir.path, message);
  }
}

TEST(RunDriverStreamKind, LeadingJunkBeforeASequenceHeaderIsAccepted) {
  TempDir dir("drv-kind");
  Bytes content = {0x12, 0x00, 0x00, 0x34, 0x00, 0x01, 0xFF};
  const Bytes &rest = header_only_stream();
  content.insert(content.end(), rest.begin(), rest.end());
  RunResult r = run_on(dir.path, content);
  expect_header_only_run(r, "movie.mpg", "movie", "", dir.path + "/movie", 7);
  EXPECT_EQ(r.err, "");
}

TEST(RunDriverStreamKind, ProgramStreamsAreAcceptedByPackOrVideoPacket) {
  // Only video payload counts for the traced byte positions, so the trace is the
  // elementary stream's; the picture and slice after the headers are passed over.
  Bytes es = StreamBuilder().sequence_header(kSequence).gop(1, 5, 3, 7).picture().slice(64).bytes();
  Bytes junk_then_pack = {0x01, 0x02, 0x03};
  Bytes ps = mux_program_stream(es);
  junk_then_pack.insert(junk_then_pack.end(), ps.begin(), ps.end());
  const std::vector<std::pair<const char *, Bytes>> cases = {
      {"pack header first", ps},
      {"video packet first", mpeg2_packet(0xE0, es)},
      {"junk, then a pack header", junk_then_pack},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    TempDir dir("drv-kind");
    RunResult r = run_on(dir.path, c.second);
    expect_header_only_run(r, "movie.mpg", "movie", "", dir.path + "/movie");
    EXPECT_EQ(r.err, "");
  }
}

// Every byte of a program stream is used: a header in the last bytes of the final video
// packet is read like the same header at the end of an elementary stream.
TEST(RunDriverStreamKind, ProgramStreamReadsAHeaderAtTheEndOfItsLastVideoPacket) {
  TempDir dir("drv-kind");
  RunResult r = run_on(dir.path, mux_program_stream(header_only_stream()));
  expect_header_only_run(r, "movie.mpg", "movie", "", dir.path + "/movie");
  EXPECT_EQ(r.err, "");
}

}  // namespace
