// The run driver through the built binary: usage and options, the output names, where the
// outputs go, the refusals of the input and of outputs the run must not write, and the
// stream kind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "caption_test_support.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

namespace fs = std::filesystem;

std::string not_found(const std::string &input, const std::string &reason = "No such file or directory") {
  return "Base layer input file " + input + " not found\nzorbel: " + input + ": " + reason + "\n";
}

// A sequence header and a group of pictures, and nothing else: no captions.
Bytes header_only_stream() { return StreamBuilder().sequence_header().gop(1, 5, 3, 7).bytes(); }

// The trace of header_only_stream when its first start code is at byte `offset`: the group
// starts 12 bytes later, and its minute 5 is a new multiple of five, so a progress dot comes
// before it.
std::string header_only_trace(int offset) {
  return sequence_trace(offset, SequenceHeader()) + "." + gop_trace(offset + 12, time_code(1, 5, 3, 7));
}

// Both outputs of a run over header_only_stream, at `prefix` (path and base name).
void expect_empty_outputs(const std::string &prefix) {
  ASSERT_TRUE(file_exists(prefix + ".srt")) << prefix;
  ASSERT_TRUE(file_exists(prefix + ".smi")) << prefix;
  EXPECT_EQ(read_file(prefix + ".srt"), "");
  EXPECT_EQ(read_file(prefix + ".smi"), sami_file(""));
}

// ---- Command lines that end before the name lines ----

TEST(CommandLine, UsageUnknownOptionsAndNamesWithoutExtensionEndBeforeTheNames) {
  const std::string usage = "Incorrect usage\n" + std::string(ZORBEL_BINARY) + " <mpgfilename> [<outputdirectory>]\n";
  const std::string no_extension = "no extension specified\n";
  struct Case {
    const char *label;
    std::vector<std::string> args;
    std::string out, err;  // out after the start-up lines; with `quiet`, all of it
    bool quiet = false;
  };
  const Case cases[] = {
      {"no argument", {}, usage, ""},
      {"three arguments, even valid ones", {"movie.mpg", "/dout", "/dmore"}, usage, ""},
      {"no dot", {"movie"}, no_extension, ""},
      {"dot only at index 0", {".mpg"}, no_extension, ""},
      {"empty name", {""}, no_extension, ""},
      {"a lone /d argument is the input", {"/dsubs"}, no_extension, ""},
      // Options are read before anything is printed.
      {"unknown option", {"movie.mpg", "--timecodes"}, "", "zorbel: unknown option --timecodes (zorbel --help lists the options)\n", true},
      {"unknown short option", {"-x", "movie.mpg"}, "", "zorbel: unknown option -x (zorbel --help lists the options)\n", true},
      // A quiet run reports on standard error what goes to standard output otherwise.
      {"quiet, no dot", {"-q", "movie"}, "", no_extension, true},
      {"quiet, no argument", {"--quiet"}, "", usage, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir("drv-usage");
    write_file(dir.path + "/movie.mpg", header_only_stream());
    RunResult r = run_zorbel(c.args, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.quiet ? c.out : startup_lines() + c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"movie.mpg"});
  }
}

// Help and version come before anything else, on standard output, with status 0.
TEST(CommandLine, HelpAndVersionAnswerAloneWithStatusZero) {
  const std::vector<std::vector<std::string>> help = {{"-h"}, {"--help"}, {"movie.mpg", "--help", "--timecode"}};
  for (const std::vector<std::string> &args : help) {
    SCOPED_TRACE(args[0]);
    TempDir dir("drv-help");
    RunResult r = run_zorbel(args, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage: zorbel [OPTION]... FILE... [/dDIRECTORY]\n", 0), 0u) << r.out;
    for (const char *option : {"-q, --quiet", "--timecode", "--utf8", "--whole-lines", "-h, --help", "-V, --version",
                               "/dDIRECTORY", "Exit status"})
      EXPECT_NE(r.out.find(option), std::string::npos) << option;
    EXPECT_TRUE(listing(dir.path).empty());
  }
  for (const char *option : {"-V", "--version"}) {
    RunResult r = run_zorbel({option}, ".");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "zorbel 0.3\n");
    EXPECT_EQ(r.err, "");
  }
}

// Several inputs are read one after another, each as if it were alone; one that fails does
// not stop the others, and the status says that one failed.
TEST(CommandLine, SeveralInputsAreEachReadAsIfAlone) {
  TempDir dir("drv-several");
  write_file(dir.path + "/a.mpg", header_only_stream());
  write_file(dir.path + "/b.mpg", header_only_stream());
  ASSERT_EQ(mkdir((dir.path + "/out").c_str(), 0755), 0);
  RunResult r = run_zorbel({"a.mpg", "/dout", "missing.mpg", "/Dsubs", "b.mpg"}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + name_lines("a.mpg", "a", "out/") + header_only_trace(0) + startup_lines() +
                       name_lines("missing.mpg", "missing", "out/") + startup_lines() + "no extension specified\n" +
                       startup_lines() + name_lines("b.mpg", "b", "out/") + header_only_trace(0));
  EXPECT_EQ(r.err, "zorbel: no captions found in a.mpg\n" + not_found("missing.mpg") +
                       "zorbel: no captions found in b.mpg\n");
  EXPECT_EQ(listing(dir.path + "/out"), (std::vector<std::string>{"a.smi", "a.srt", "b.smi", "b.srt"}));
  r = run_zorbel({"-q", "a.mpg", "b.mpg"}, dir.path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

// For a person at a terminal whose trace goes elsewhere: a status line on standard error,
// cleared at the end, and a summary line. `script` gives the run a terminal.
TEST(CommandLine, StatusLineAndSummaryOnlyForATerminal) {
  if (std::system("script --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "script is not installed";
  TempDir dir("drv-progress");
  ASSERT_EQ(run_line(dir.path, "cp " + shell_quote(source_path("tests/fixtures/ntsc.m2v")) + " .").status, 0);
  RunResult r = run_line(dir.path, "script -qec '\"$ZORBEL\" -q ntsc.m2v' /dev/null");
  EXPECT_EQ(r.status, 0);
  // The line is drawn over itself with a carriage return, then cleared by blanks.
  EXPECT_NE(r.out.find("%  00:00:0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" captions\r"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\rzorbel: ntsc.srt and ntsc.smi: 37 entries from 00:00:01,001 to 00:00:05,972, "),
            std::string::npos)
      << r.out;
  // The trace on the terminal: no status line.
  r = run_line(dir.path, "script -qec '\"$ZORBEL\" ntsc.m2v' /dev/null");
  EXPECT_EQ(r.out.find(" captions\r"), std::string::npos);
  EXPECT_EQ(r.out.find("zorbel: ntsc.srt and ntsc.smi"), std::string::npos);
}

// ---- Output names ----

struct NameCase {
  const char *label;
  std::vector<std::string> args;
  std::string input;  // the argument taken as the input
  std::string base;
  std::string path;
  std::string reason = "No such file or directory";  // why it cannot be opened
};

const std::string kLongBase(3000, 'b');
const std::string kLongDir = std::string(1500, 'x') + "/" + std::string(1500, 'y');

// Worked out by hand from the naming rules: the last "." ends the base name, "\", ":" and
// "/" start it, index 0 is never examined, and a "/d" directory replaces the path with
// "/" appended unless it already ends with one.
const std::vector<NameCase> kNameCases = {
    {"two dots: the last one counts", {"a.b.mpg"}, "a.b.mpg", "a.b", ""},
    {"drive prefix", {"C:movie.mpg"}, "C:movie.mpg", "movie", "C:"},
    {"dot inside a directory name", {"my.dir\\file"}, "my.dir\\file", "my", ""},
    {"dot inside a posix directory name", {"dir.d/movie"}, "dir.d/movie", "dir", ""},
    {"separator at index 0 stays in the base", {"\\movie.mpg"}, "\\movie.mpg", "\\movie", ""},
    {"posix root at index 0 stays in the base", {"/movie.mpg"}, "/movie.mpg", "/movie", ""},
    {"empty base name", {"x/.mpg"}, "x/.mpg", "", "x/"},
    {"windows directory", {"D:\\video\\movie.mpg"}, "D:\\video\\movie.mpg", "movie", "D:\\video\\"},
    {"posix directory", {"videos/movie.mpg"}, "videos/movie.mpg", "movie", "videos/"},
    {"directory replaces the input's path", {"D:\\video\\movie.mpg", "/dC:\\subs"}, "D:\\video\\movie.mpg", "movie",
     "C:\\subs/"},
    {"directory first", {"/dC:\\subs", "movie.mpg"}, "movie.mpg", "movie", "C:\\subs/"},
    {"backslash at the end does not count", {"movie.mpg", "/dC:\\subs\\"}, "movie.mpg", "movie", "C:\\subs\\/"},
    {"slash at the end is kept", {"movie.mpg", "/dsubs/"}, "movie.mpg", "movie", "subs/"},
    {"drive and slashes", {"movie.mpg", "/dC:/subs/"}, "movie.mpg", "movie", "C:/subs/"},
    {"/d alone is the current directory", {"movie.mpg", "/d"}, "movie.mpg", "movie", ""},
    {"/d alone before the input", {"/d", "sub/movie.mpg"}, "sub/movie.mpg", "movie", ""},
    {"every argument is /d: the first stays the input", {"/dx.mpg", "/dy"}, "/dx.mpg", "/dx", "y/"},
    {"a single /d argument is both", {"/dnowhere-zorbel/x.mpg"}, "/dnowhere-zorbel/x.mpg", "x",
     "nowhere-zorbel/x.mpg/"},
    {"3000-character base name", {kLongBase + ".mpg"}, kLongBase + ".mpg", kLongBase, "", "File name too long"},
    {"long base in a long path", {kLongDir + "/" + kLongBase + ".m2v"}, kLongDir + "/" + kLongBase + ".m2v", kLongBase,
     kLongDir + "/", "File name too long"},
    {"an option anywhere is no name", {"movie.mpg", "--timecode", "/dsubs"}, "movie.mpg", "movie", "subs/"},
    {"-- ends the options", {"--", "--timecode.mpg"}, "--timecode.mpg", "--timecode", ""},
};

TEST(CommandLine, EachNamePrintsItsFiveNameLinesThenReportsTheMissingInput) {
  for (const NameCase &c : kNameCases) {
    SCOPED_TRACE(c.label);
    TempDir dir("drv-names");
    RunResult r = run_zorbel(c.args, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, startup_lines() + name_lines(c.input, c.base, c.path));
    EXPECT_EQ(r.err, not_found(c.input, c.reason));
    EXPECT_TRUE(listing(dir.path).empty());
  }
}

// ---- Where the outputs go, and outputs the run must not write ----

// A run in a fresh folder that holds movie.mpg (header_only_stream) and what `setup` made
// there; "@" in the arguments and the path stands for the folder.
struct RunCase {
  const char *label;
  std::string setup;
  std::vector<std::string> args;
  std::string input, base, path;  // as the name lines give them
  std::string err = "", out_end = "";  // a run that ends early: standard error, the last console line
  std::string console = "";  // where the shell sends the console; then none is captured
  bool quiet = false;        // a quiet run: nothing on standard output
};

// About 3000 characters of folders, each name within the file system's limit, and a base
// name as long as one name may be.
const std::string kDeep = [] {
  std::string deep;
  for (int i = 0; i < 15; i++) deep += std::string(200, static_cast<char>('c' + i)) + "/";
  return deep;
}();
const std::string kDeepBase(240, 'm');

const std::string kUtf8 = "caf\xC3\xA9 \xC3\xB1" "and\xC3\xBA", kLatin1 = "caf\xE9 na\xEFve";
const std::string kInDir = "dossier \xC3\xA9t\xC3\xA9", kVideo = "vid\xC3\xA9o 1", kOutDir = "sortie \xE9t\xE9";
const std::string kOneFile = "Outputs movie.srt and movie.smi are one file\n";

const std::vector<RunCase> kRuns = {
    {"outputs beside the input", "", {"movie.mpg"}, "movie.mpg", "movie", ""},
    {"/d alone: the current folder, not the input's", "mkdir in && mv movie.mpg in", {"in/movie.mpg", "/d"},
     "in/movie.mpg", "movie", ""},
    {"spaces", "mkdir 'out dir' && mv movie.mpg 'my movie.mpg'", {"my movie.mpg", "/dout dir"}, "my movie.mpg",
     "my movie", "out dir/"},
    {"UTF-8 name", "mv movie.mpg '" + kUtf8 + ".m2v'", {kUtf8 + ".m2v"}, kUtf8 + ".m2v", kUtf8, ""},
    {"Latin-1 bytes, not UTF-8", "mv movie.mpg '" + kLatin1 + ".m2v'", {kLatin1 + ".m2v"}, kLatin1 + ".m2v", kLatin1,
     ""},
    {"leading and trailing spaces", "mv movie.mpg ' lead and trail .m2v'", {" lead and trail .m2v"},
     " lead and trail .m2v", " lead and trail ", ""},
    {"non-ASCII folder", "mkdir '" + kInDir + "' && mv movie.mpg '" + kInDir + "/" + kVideo + ".vob'",
     {kInDir + "/" + kVideo + ".vob"}, kInDir + "/" + kVideo + ".vob", kVideo, kInDir + "/"},
    {"non-ASCII /d folder", "mkdir '" + kOutDir + "' && mv movie.mpg '" + kVideo + ".vob'",
     {kVideo + ".vob", "/d@/" + kOutDir}, kVideo + ".vob", kVideo, "@/" + kOutDir + "/"},
    {"long names in full", "mkdir -p " + kDeep + " && mv movie.mpg " + kDeep + kDeepBase + ".mpg",
     {kDeep + kDeepBase + ".mpg"}, kDeep + kDeepBase + ".mpg", kDeepBase, kDeep},
    {"long /d folder", "mkdir -p " + kDeep, {"movie.mpg", "/d" + kDeep.substr(0, kDeep.size() - 1)}, "movie.mpg",
     "movie", kDeep},
    // The same names in two folders are two files: the run replaces the other one.
    {"an output that only looks like the input", "mkdir out && cp movie.mpg out/movie.srt && mv movie.mpg movie.srt",
     {"movie.srt", "/dout"}, "movie.srt", "movie", "out/"},
    {"quiet: nothing on standard output", "", {"-q", "movie.mpg"}, "movie.mpg", "movie", "", "", "", "", true},
    {"quiet, and the .srt cannot be opened", "", {"--quiet", "movie.mpg", "/dmissing"}, "movie.mpg", "movie",
     "missing/", "Unable to open SRT File\nzorbel: missing/movie.srt: No such file or directory\n", "", "", true},
    {"folder as input", "mkdir clips.vob", {"clips.vob"}, "clips.vob", "clips", "",
     "Error reading clips.vob\nzorbel: clips.vob: Is a directory\n"},
    // Root writes through file modes, so the failures come from the paths themselves.
    {"missing /d folder", "", {"movie.mpg", "/dmissing/"}, "movie.mpg", "movie", "missing/",
     "zorbel: missing/movie.srt: No such file or directory\n", "Unable to open SRT File\n"},
    {"missing parent", "", {"movie.mpg", "/dmissing/deeper"}, "movie.mpg", "movie", "missing/deeper/",
     "zorbel: missing/deeper/movie.srt: No such file or directory\n", "Unable to open SRT File\n"},
    {"regular file as /d folder", "echo x >plain", {"movie.mpg", "/dplain/"}, "movie.mpg", "movie", "plain/",
     "zorbel: plain/movie.srt: Not a directory\n", "Unable to open SRT File\n"},
    {"a file system that takes no new files", "", {"movie.mpg", "/d/proc/self/"}, "movie.mpg", "movie", "/proc/self/",
     "zorbel: /proc/self/movie.srt: No such file or directory\n", "Unable to open SRT File\n"},
    // The .srt can be written, not the .smi: neither place changes, an earlier .srt stays.
    {"the .smi name taken by a folder", "mkdir -p out/movie.smi", {"movie.mpg", "/dout"}, "movie.mpg", "movie", "out/",
     "zorbel: out/movie.smi: Is a directory\n", "Failed to open SAMI File for writing\n"},
    {"the same, and an earlier .srt", "mkdir -p out/movie.smi && echo old >out/movie.srt", {"movie.mpg", "/dout"},
     "movie.mpg", "movie", "out/", "zorbel: out/movie.smi: Is a directory\n", "Failed to open SAMI File for writing\n"},
    // An output that leads to the input (opening it would cut the input short), or two that
    // lead to one file (each writer would overwrite the other).
    {"same name", "mv movie.mpg movie.smi", {"movie.smi"}, "movie.smi", "movie", "",
     "Output movie.smi is the input file\n"},
    {"/d folder of the input", "mv movie.mpg clip.srt", {"clip.srt", "/d."}, "clip.srt", "clip", "./",
     "Output ./clip.srt is the input file\n"},
    {"symbolic link", "mkdir sub && ln -s ../movie.mpg sub/movie.srt", {"movie.mpg", "/dsub"}, "movie.mpg", "movie",
     "sub/", "Output sub/movie.srt is the input file\n"},
    {"hard link", "ln movie.mpg movie.smi", {"movie.mpg"}, "movie.mpg", "movie", "",
     "Output movie.smi is the input file\n"},
    {"outputs hard-linked", "echo old >movie.srt && ln movie.srt movie.smi", {"movie.mpg"}, "movie.mpg", "movie", "",
     kOneFile},
    {"outputs linked", "echo old >movie.srt && ln -s movie.srt movie.smi", {"movie.mpg"}, "movie.mpg", "movie", "",
     kOneFile},
    {"outputs linked to one file", "echo old >file && ln -s file movie.srt && ln -s file movie.smi", {"movie.mpg"},
     "movie.mpg", "movie", "", kOneFile},
    {"outputs linked to a file not yet there", "ln -s file movie.srt && ln -s file movie.smi", {"movie.mpg"},
     "movie.mpg", "movie", "", kOneFile},
    {"FIFO as an output", "mkfifo movie.smi", {"movie.mpg"}, "movie.mpg", "movie", "",
     "Cannot write movie.smi: the output must be a regular file or a device\n"},
    // The console would write the trace over the captions, or into them.
    {"console onto an output", ": >movie.srt", {"movie.mpg"}, "movie.mpg", "movie", "",
     "Output movie.srt is standard output\n", "", ">movie.srt"},
    {"console appended to an output", "echo old >movie.smi", {"movie.mpg"}, "movie.mpg", "movie", "",
     "Output movie.smi is standard output\n", "", ">>movie.smi"},
    {"console onto a link to an output", "echo old >movie.srt && ln -s movie.srt trace", {"movie.mpg"}, "movie.mpg",
     "movie", "", "Output movie.srt is standard output\n", "", ">>trace"},
};

// Every path under dir with what it holds: a hash of a file's bytes, a link's target, else
// its kind.
std::map<std::string, std::string> tree(const std::string &dir) {
  std::map<std::string, std::string> paths;
  for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir)) {
    fs::file_status status = entry.symlink_status();
    paths[entry.path().string()] = fs::is_symlink(status)        ? "-> " + fs::read_symlink(entry.path()).string()
                                   : fs::is_regular_file(status) ? std::to_string(std::hash<std::string>()(
                                                                       read_file(entry.path().string())))
                                                                 : std::to_string(static_cast<int>(status.type()));
  }
  return paths;
}

// A run that goes through writes its outputs where its name lines say and changes nothing
// else; one that ends early changes nothing at all.
TEST(CommandLine, EachRunWritesWhereItsNameLinesSayOrChangesNothing) {
  for (const RunCase &c : kRuns) {
    SCOPED_TRACE(c.label);
    TempDir dir("drv-run");
    write_file(dir.path + "/movie.mpg", header_only_stream());
    ASSERT_EQ(run_line(dir.path, c.setup).status, 0);
    auto at = [&](std::string text) {
      for (size_t i; (i = text.find('@')) != std::string::npos;) text.replace(i, 1, dir.path);
      return text;
    };
    std::string line = "\"$ZORBEL\"";
    for (const std::string &argument : c.args) line += " " + shell_quote(at(argument));
    std::map<std::string, std::string> before = tree(dir.path);
    RunResult r = run_line(dir.path, line + " " + c.console);
    std::map<std::string, std::string> after = tree(dir.path);
    bool ends_early = !c.err.empty() || !c.out_end.empty();
    EXPECT_EQ(r.status, ends_early ? 1 : 0);
    // A run that goes through finds no caption in the header-only stream, and says so.
    EXPECT_EQ(r.err, ends_early ? c.err : "zorbel: no captions found in " + at(c.input) + "\n");
    std::string out = startup_lines() + name_lines(c.input, c.base, at(c.path)) + c.out_end;
    EXPECT_EQ(r.out, !c.console.empty() || c.quiet ? "" : ends_early ? out : out + header_only_trace(0));
    if (!ends_early) {
      std::string prefix = (at(c.path)[0] == '/' ? "" : dir.path + "/") + at(c.path) + c.base;
      expect_empty_outputs(prefix);
      after.erase(prefix + ".srt");
      after.erase(prefix + ".smi");
      before.erase(prefix + ".srt");
    }
    EXPECT_EQ(after, before);
  }
}

// Removes its folder when it goes out of scope.
struct Removed {
  std::string path;
  ~Removed() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

TEST(CommandLine, ExistingAbsolutePathBeginningWithSlashDIsTheInput) {
  // A fresh folder whose absolute path begins with "/d": under /dev/shm when it can be
  // written, else at the root of the file system.
  Removed abs;
  for (std::string pattern : {"/dev/shm/zorbel-drv-XXXXXX", "/dzorbel-drv-XXXXXX"})
    if (abs.path.empty() && mkdtemp(&pattern[0])) abs.path = pattern;
  ASSERT_FALSE(abs.path.empty()) << "no writable directory beginning with /d";
  ASSERT_EQ(abs.path.compare(0, 2, "/d"), 0);
  ASSERT_EQ(abs.path.find('.'), std::string::npos);
  std::string input = abs.path + "/movie.mpg";
  write_file(input, header_only_stream());
  TempDir cwd("drv-abs");

  RunResult r = run_zorbel({input}, cwd.path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, startup_lines() + name_lines(input, "movie", abs.path + "/") + header_only_trace(0));
  EXPECT_EQ(r.err, "zorbel: no captions found in " + input + "\n");
  expect_empty_outputs(abs.path + "/movie");
  EXPECT_TRUE(listing(cwd.path).empty());

  // An existing directory after an input is a second input, which has no extension.
  r = run_zorbel({"movie.mpg", abs.path}, cwd.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + name_lines("movie.mpg", "movie", "") + startup_lines() + "no extension specified\n");

  // Once the file is gone the same argument is the directory option again.
  fs::remove(input);
  r = run_zorbel({input}, cwd.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, startup_lines() + name_lines(input, "movie", input.substr(2) + "/"));
  EXPECT_EQ(r.err, not_found(input));
}

// ---- Stream kind ----

// Sync bytes a packet length apart, else the first start code, tell the stream kind: a
// transport stream without MPEG video and anything that does not begin with a sequence
// header, a pack header or a video packet are refused before the outputs are made. A lone
// 0x47 is no transport stream.
TEST(StreamKind, FirstStartCodeDecidesTheRunOrItsRefusal) {
  const std::string transport = "No video stream found\n"
                                "zorbel: movie.mpg: a transport stream without MPEG-1 or MPEG-2 video\n",
                    unknown = "Unable to recognize stream type\nzorbel: movie.mpg: not an MPEG video or program stream\n";
  const Bytes header = header_only_stream();
  Bytes ts(188 * 4, 0xFF);
  for (size_t i = 0; i < ts.size(); i += 188) ts[i] = 0x47;
  // Only video payload counts for the traced byte positions, so the trace is the
  // elementary stream's; the picture and slice after the headers are passed over.
  const Bytes es = StreamBuilder().sequence_header().gop(1, 5, 3, 7).picture().slice(64).bytes();
  struct Case {
    const char *label;
    Bytes content;
    std::string err;
    int offset = 0;  // of the sequence header, in a run that goes through
  };
  const Case cases[] = {
      {"transport packets", ts, transport},
      {"0x47, then a valid sequence header", cat({{0x47}, header}), "", 1},
      {"0x47 alone", {0x47}, unknown},
      {"extension start code first", StreamBuilder().sequence_extension().sequence_header().bytes(), unknown},
      {"system header first", cat({system_header(), mux_program_stream(header)}), unknown},
      {"group of pictures first", StreamBuilder().gop(0, 0, 0, 0).sequence_header().bytes(), unknown},
      {"audio packet first", mpeg2_packet(0xC0, Bytes(100, 0xA5)), unknown},
      {"empty file", {}, unknown},
      {"no start code at all", Bytes(5000, 0x11), unknown},
      {"junk before a sequence header", cat({{0x12, 0x00, 0x00, 0x34, 0x00, 0x01, 0xFF}, header}), "", 7},
      {"pack header first", mux_program_stream(es), ""},
      {"video packet first", mpeg2_packet(0xE0, es), ""},
      {"junk, then a pack header", cat({{0x01, 0x02, 0x03}, mux_program_stream(es)}), ""},
      {"transport stream", mux_transport_stream(es), ""},
      // Every byte of a program stream is used: a header in the last bytes of the final
      // video packet is read like the same header at the end of an elementary stream.
      {"a header at the end of the last video packet", mux_program_stream(header), ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir("drv-kind");
    write_file(dir.path + "/movie.mpg", c.content);
    RunResult r = run_zorbel({"movie.mpg"}, dir.path);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(r.err, c.err.empty() ? "zorbel: no captions found in movie.mpg\n" : c.err);
    EXPECT_EQ(r.out, startup_lines() + name_lines("movie.mpg", "movie", "") +
                         (c.err.empty() ? header_only_trace(c.offset) : ""));
    if (c.err.empty()) {
      expect_empty_outputs(dir.path + "/movie");
    } else {
      EXPECT_EQ(listing(dir.path), std::vector<std::string>{"movie.mpg"});
    }
  }
}

}  // namespace
