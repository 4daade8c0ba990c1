// The edges of a run that the stream itself does not decide: what the input is (a
// directory, a FIFO, a pipe, a file past 4 GB), what it is called (spaces, UTF-8 and
// Latin-1 bytes), where the outputs go (a directory that is missing or cannot take files,
// the input file itself), a run that is interrupted or loses its console, and time codes
// at the top of their range.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "caption_test_support.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

Bytes fixture_bytes(const std::string &fixture) {
  std::string text = read_file(source_path("tests/fixtures/" + fixture));
  return Bytes(text.begin(), text.end());
}

void copy_fixture(const std::string &fixture, const std::string &to) { write_file(to, fixture_bytes(fixture)); }

// A run over a copy of the NTSC fixture wrote both files, named from `base`, as the
// reviewed reference files are.
void expect_ntsc_outputs(const std::string &base) {
  ASSERT_TRUE(file_exists(base + ".srt")) << base << ".srt";
  ASSERT_TRUE(file_exists(base + ".smi")) << base << ".smi";
  EXPECT_EQ(read_file(base + ".srt"), read_file(source_path("tests/ref/ntsc.m2v.srt")));
  EXPECT_EQ(read_file(base + ".smi"), read_file(source_path("tests/ref/ntsc.m2v.smi")));
}

bool starts_with(const std::string &text, const std::string &head) { return text.compare(0, head.size(), head) == 0; }

// ---------------------------------------------------------------------------------------
// What the input is

TEST(InputKinds, DirectoryAsInputIsRefusedWithoutOutputs) {
  TempDir dir("edges-dir");
  ASSERT_EQ(mkdir((dir.path + "/clips.vob").c_str(), 0755), 0);
  RunResult run = run_zorbel({"clips.vob"}, dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("clips.vob"), std::string::npos) << "stderr: " << run.err;
  EXPECT_EQ(listing(dir.path), std::vector<std::string>{"clips.vob"});
  EXPECT_EQ(listing(dir.path + "/clips.vob"), std::vector<std::string>{});
}

// An input that cannot be rewound, or whose reads can wait for ever or never end, is refused
// before anything waits on it: a FIFO without a writer, with a silent writer, or fed by cat;
// standard input as a pipe; a socket; a link to an endless device.
TEST(InputKinds, FifosSocketsAndCharacterDevicesAreRefusedAtOnce) {
  struct Case {
    const char *label, *setup, *line;
  };
  const Case cases[] = {
      {"FIFO without a writer", "mkfifo live.mpg", "\"$ZORBEL\" live.mpg </dev/null"},
      {"FIFO with a silent writer", "mkfifo live.mpg", "sleep 20 >live.mpg & \"$ZORBEL\" live.mpg </dev/null"},
      {"FIFO fed by cat", "mkfifo live.mpg", "cat \"$FIXTURE\" >live.mpg & \"$ZORBEL\" live.mpg </dev/null"},
      // cat's own complaint of the closed pipe, where an earlier in-process run left SIGPIPE
      // ignored, is not the run's.
      {"pipe as standard input", "ln -s /dev/stdin live.mpg", "cat \"$FIXTURE\" 2>/dev/null | \"$ZORBEL\" live.mpg"},
      {"socket", "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"live.mpg\")'",
       "\"$ZORBEL\" live.mpg </dev/null"},
      {"link to /dev/zero", "ln -s /dev/zero live.mpg", "\"$ZORBEL\" live.mpg </dev/null"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir("edges-fifo");
    ASSERT_EQ(run_line(dir.path, c.setup).status, 0);
    std::string fixture = "FIXTURE=" + shell_quote(source_path("tests/fixtures/ntsc.m2v")) + "; ";
    // A background writer, still waiting for a reader, ends with the line; a run that waits
    // is cut by the time limit.
    RunResult run = run_line(dir.path, fixture + c.line + "; status=$?; kill $! 2>/dev/null; exit $status", 10);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Cannot rewind live.mpg: the input must be a regular file\n");
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"live.mpg"});
  }
}

TEST(InputKinds, FileCutShortWhileItIsReadEndsAsAReadError) {
  TempDir dir("edges-shrink");
  // A caption, then back-to-back sequence headers: each traces some 20 bytes per input
  // byte, so the run is still early in the file when the trace fills the pipe and stops it.
  SequenceHeader header;
  header.frame_rate_code = 4;
  StreamBuilder s;
  s.sequence_header(header).gop(0, 0, 1, 0);
  s.cc_block(frames_of({{0x14, 0x20}, {0x14, 0x70}, {'H', 'E'}, {'L', 'L'}, {'O', '!'}, {0x14, 0x2F}}));
  while (s.bytes().size() < (4u << 20)) s.sequence_header(header);
  const std::string input = dir.path + "/movie.m2v";
  write_file(input, s.bytes());

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    int err = open((dir.path + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    close(out[0]);
    if (chdir(dir.path.c_str()) != 0) _exit(126);
    execlp("timeout", "timeout", "-k", "5", "60", ZORBEL_BINARY, "movie.m2v", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string trace;
  char chunk[4096];
  ssize_t n;
  while (trace.size() < 8192 && (n = read(out[0], chunk, sizeof chunk)) > 0) trace.append(chunk, static_cast<size_t>(n));
  // Another program cuts the file while the run waits on its console.
  ASSERT_EQ(truncate(input.c_str(), 4096), 0);
  while ((n = read(out[0], chunk, sizeof chunk)) > 0) trace.append(chunk, static_cast<size_t>(n));
  close(out[0]);
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  EXPECT_EQ(read_file(dir.path + "/.stderr"), "Error reading movie.m2v\n");
  std::string smi = read_file(dir.path + "/movie.smi");
  EXPECT_NE(smi.find("HELLO!"), std::string::npos) << smi;
  EXPECT_EQ(smi.substr(smi.size() >= 9 ? smi.size() - 9 : 0), "</SAMI>\r\n") << smi;
  EXPECT_NE(read_file(dir.path + "/movie.srt").find("HELLO!"), std::string::npos);
  EXPECT_LT(trace.size(), size_t{16} << 20) << "the run read on past the cut";
}

// ---------------------------------------------------------------------------------------
// What the input is called

TEST(InputNames, SpacesAndNonAsciiBytesNameTheOutputs) {
  const std::vector<std::string> names = {
      "my clip.m2v",
      "caf\xC3\xA9 \xC3\xB1" "and\xC3\xBA.m2v",  // UTF-8
      "caf\xE9 na\xEFve.m2v",                 // Latin-1 bytes, not UTF-8
      " lead and trail .m2v",
  };
  for (const std::string &name : names) {
    SCOPED_TRACE(name);
    TempDir dir("edges-names");
    copy_fixture("ntsc.m2v", dir.path + "/" + name);
    RunResult run = run_zorbel({name}, dir.path);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::string base = name.substr(0, name.size() - 4);
    EXPECT_TRUE(starts_with(run.out, startup_lines() + name_lines(name, base, ""))) << run.out.substr(0, 400);
    expect_ntsc_outputs(dir.path + "/" + base);
    EXPECT_EQ(listing(dir.path).size(), 3u);
  }
}

TEST(InputNames, DirectoriesWithSpacesAndNonAsciiBytes) {
  TempDir dir("edges-dirnames");
  const std::string in_dir = "dossier \xC3\xA9t\xC3\xA9", out_dir = "sortie \xE9t\xE9";
  ASSERT_EQ(mkdir((dir.path + "/" + in_dir).c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir.path + "/" + out_dir).c_str(), 0755), 0);
  const std::string input = in_dir + "/vid\xC3\xA9o 1.vob";
  copy_fixture("ntsc-dvd.vob", dir.path + "/" + input);

  // Outputs beside the input, in its directory.
  RunResult beside = run_zorbel({input}, dir.path);
  EXPECT_EQ(beside.status, 0) << beside.err;
  EXPECT_TRUE(starts_with(beside.out, startup_lines() + name_lines(input, "vid\xC3\xA9o 1", in_dir + "/")));
  expect_ntsc_outputs(dir.path + "/" + in_dir + "/vid\xC3\xA9o 1");

  // Outputs in a directory given with the option, without its trailing separator.
  RunResult elsewhere = run_zorbel({input, "/d" + dir.path + "/" + out_dir}, dir.path);
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
  EXPECT_TRUE(starts_with(elsewhere.out,
                          startup_lines() + name_lines(input, "vid\xC3\xA9o 1", dir.path + "/" + out_dir + "/")));
  expect_ntsc_outputs(dir.path + "/" + out_dir + "/vid\xC3\xA9o 1");
}

// ---------------------------------------------------------------------------------------
// Where the outputs go

struct OutputFailure {
  std::string label, directory;
};

TEST(OutputPlaces, SrtFileThatCannotBeCreatedEndsTheRun) {
  TempDir dir("edges-outdir");
  copy_fixture("ntsc.m2v", dir.path + "/in.m2v");
  write_file(dir.path + "/plain", Bytes{'x'});
  // Root writes through file modes, so the failures come from the paths themselves: a
  // directory that is not there, a regular file used as a directory, and a directory of
  // a file system that takes no new files.
  const std::vector<OutputFailure> places = {
      {"missing directory", dir.path + "/missing/"},
      {"missing parent", dir.path + "/missing/deeper"},
      {"regular file as directory", dir.path + "/plain/"},
      {"proc file system", "/proc/self/"},
  };
  for (const OutputFailure &place : places) {
    SCOPED_TRACE(place.label);
    RunResult run = run_zorbel({"in.m2v", "/d" + place.directory}, dir.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(ends_with(run.out, "Unable to open SRT File\n")) << run.out;
    EXPECT_FALSE(file_exists(place.directory + "/in.srt"));
    EXPECT_FALSE(file_exists(place.directory + "/in.smi"));
  }
  EXPECT_FALSE(file_exists(dir.path + "/missing"));
  EXPECT_EQ(read_file(dir.path + "/plain"), "x");
  EXPECT_EQ(listing(dir.path), (std::vector<std::string>{"in.m2v", "plain"}));
}

// The SRT file can be written, the SAMI name is taken by a directory: the run changes
// neither place, so the subtitles of an earlier run survive and no new file is left behind.
TEST(OutputPlaces, SamiFileThatCannotBeCreatedLeavesBothPlacesAsTheyWere) {
  for (bool earlier_srt : {false, true}) {
    SCOPED_TRACE(earlier_srt ? "an earlier .srt" : "no earlier .srt");
    TempDir dir("edges-sami");
    copy_fixture("ntsc.m2v", dir.path + "/in.m2v");
    ASSERT_EQ(mkdir((dir.path + "/out").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir.path + "/out/in.smi").c_str(), 0755), 0);
    if (earlier_srt) write_file(dir.path + "/out/in.srt", Bytes{'o', 'l', 'd'});
    std::vector<std::string> before = listing(dir.path + "/out");
    RunResult run = run_zorbel({"in.m2v", "/d" + dir.path + "/out/"}, dir.path);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(ends_with(run.out, "Failed to open SAMI File for writing\n")) << run.out;
    EXPECT_EQ(listing(dir.path + "/out"), before);
    EXPECT_EQ(listing(dir.path + "/out/in.smi"), std::vector<std::string>{});
    if (earlier_srt) {
      EXPECT_EQ(read_file(dir.path + "/out/in.srt"), "old");
    }
  }
}

// ---------------------------------------------------------------------------------------
// Positions past 4 GB and time codes at the top of their range

constexpr int kPal = 3;  // frame_rate_code for 25 frames per second: a frame is 40 ms exactly

SequenceHeader pal_sequence() {
  SequenceHeader header;
  header.vertical_size = 576;
  header.frame_rate_code = kPal;
  return header;
}

long long pal_ms(long long hours, long long minutes, long long seconds, long long frames) {
  return hours * 3600000 + minutes * 60000 + seconds * 1000 + frames * 40;
}

// Pairs of a pop-on caption on row 15, column 0: RCL, PAC, the text two characters to a
// pair, EOC. The EOC is the last pair.
std::vector<std::pair<uint8_t, uint8_t>> pop_on(const std::string &text) {
  std::vector<std::pair<uint8_t, uint8_t>> pairs = {{0x14, 0x20}, {0x14, 0x60}};
  for (size_t i = 0; i < text.size(); i += 2)
    pairs.push_back({static_cast<uint8_t>(text[i]), i + 1 < text.size() ? static_cast<uint8_t>(text[i + 1]) : 0});
  pairs.push_back({0x14, 0x2F});
  return pairs;
}

// One group of pictures (with a sequence header) whose user data carries the pairs.
Bytes caption_group(int hours, int minutes, int seconds, int pictures,
                    const std::vector<std::pair<uint8_t, uint8_t>> &pairs) {
  StreamBuilder stream;
  stream.sequence_header(pal_sequence()).gop(hours, minutes, seconds, pictures).cc_block(frames_of(pairs));
  stream.picture(0, 1).slice(600, 7);
  return stream.bytes();
}

// A stream of one caption group and a sequence end code, written to dir/name and run with
// --timecode, so that the files show the time code's labels.
RunResult run_one_group_by_timecode(const std::string &dir, const std::string &name, int hours, int minutes,
                                    int seconds, int pictures, const std::vector<std::pair<uint8_t, uint8_t>> &pairs) {
  StreamBuilder stream;
  stream.raw(caption_group(hours, minutes, seconds, pictures, pairs)).sequence_end();
  write_file(dir + "/" + name, stream.bytes());
  return run_zorbel({"--timecode", name}, dir);
}

size_t sequence_header_size() { return StreamBuilder().sequence_header(pal_sequence()).bytes().size(); }

// Output names that would have a run overwrite a file it needs: one that leads to the input
// file itself (the same name, through "/d", a symbolic or a hard link; opening it for
// writing would cut the input short), or .srt and .smi names that lead to one file (each
// writer would overwrite the other). The run ends before any file is created or changed.
struct SameFile {
  std::string label, setup;  // shell commands run in the test directory first
  std::vector<std::string> arguments;
  std::string message;
  std::string kept;  // a file whose content must stay, or none
  std::string console = "";  // where the shell sends the console
};

TEST(OutputPlaces, OutputThatWouldOverwriteAFileItNeedsEndsTheRunBeforeAnyIsChanged) {
  const std::string one_file = "Outputs in.srt and in.smi are one file\n";
  const std::vector<SameFile> cases = {
      {"same name", "cp in.m2v movie.smi", {"movie.smi"}, "Output movie.smi is the input file\n", "movie.smi"},
      {"directory option", "cp in.m2v clip.srt", {"clip.srt", "/d."}, "Output ./clip.srt is the input file\n",
       "clip.srt"},
      {"symbolic link", "mkdir sub && ln -s ../in.m2v sub/in.srt", {"in.m2v", "/dsub"},
       "Output sub/in.srt is the input file\n", "in.m2v"},
      {"hard link", "ln in.m2v in.smi", {"in.m2v"}, "Output in.smi is the input file\n", "in.smi"},
      {"outputs hard-linked", "echo old >in.srt && ln in.srt in.smi", {"in.m2v"}, one_file, "in.srt"},
      {"outputs linked", "echo old >in.srt && ln -s in.srt in.smi", {"in.m2v"}, one_file, "in.srt"},
      {"outputs linked to one file", "echo old >file && ln -s file in.srt && ln -s file in.smi", {"in.m2v"}, one_file,
       "file"},
      {"outputs linked to a file not yet there", "ln -s file in.srt && ln -s file in.smi", {"in.m2v"}, one_file, ""},
      // The console would write the trace over the captions, or into them.
      {"console onto an output", "echo old >in.srt", {"in.m2v"}, "Output in.srt is standard output\n", "", ">in.srt"},
      {"console appended to an output", "echo old >in.smi", {"in.m2v"}, "Output in.smi is standard output\n", "in.smi",
       ">>in.smi"},
      {"console onto a link to an output", "echo old >in.srt && ln -s in.srt trace", {"in.m2v"},
       "Output in.srt is standard output\n", "in.srt", ">>trace"},
      {"FIFO as an output", "mkfifo in.smi", {"in.m2v"},
       "Cannot write in.smi: the output must be a regular file or a device\n", ""},
  };
  for (const SameFile &same : cases) {
    SCOPED_TRACE(same.label);
    TempDir dir("edges-same");
    copy_fixture("ntsc.m2v", dir.path + "/in.m2v");
    ASSERT_EQ(run_line(dir.path, same.setup).status, 0);
    std::vector<std::string> before = listing(dir.path);
    std::string kept = same.kept.empty() ? "" : read_file(dir.path + "/" + same.kept);
    std::string line = "\"$ZORBEL\"";
    for (const std::string &argument : same.arguments) line += " " + shell_quote(argument);
    RunResult run = same.console.empty() ? run_zorbel(same.arguments, dir.path)
                                         : run_line(dir.path, line + " " + same.console);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, same.message);
    EXPECT_EQ(listing(dir.path), before);
    if (!same.kept.empty()) {
      EXPECT_TRUE(read_file(dir.path + "/" + same.kept) == kept) << same.kept << " changed";
    }
  }
}

// The replacement takes the earlier file's permission bits, and a link is followed: the file
// it leads to is replaced, the link stays.
TEST(OutputPlaces, ReplacedFileKeepsItsPermissionBitsAndLinksStay) {
  TempDir dir("edges-replace");
  copy_fixture("ntsc.m2v", dir.path + "/in.m2v");
  write_file(dir.path + "/in.srt", Bytes{'o', 'l', 'd'});
  ASSERT_EQ(chmod((dir.path + "/in.srt").c_str(), 0604), 0);
  ASSERT_EQ(mkdir((dir.path + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub/captions.smi", (dir.path + "/in.smi").c_str()), 0);
  RunResult run = run_zorbel({"in.m2v"}, dir.path);
  EXPECT_EQ(run.status, 0) << run.err;
  expect_ntsc_outputs(dir.path + "/in");
  struct stat info;
  ASSERT_EQ(stat((dir.path + "/in.srt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  ASSERT_EQ(lstat((dir.path + "/in.smi").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(listing(dir.path + "/sub"), std::vector<std::string>{"captions.smi"});
}

TEST(OutputPlaces, OutputThatOnlyLooksLikeTheInputIsWritten) {
  TempDir dir("edges-lookalike");
  // The same names in two directories are two files: the run goes on and replaces the
  // other one.
  ASSERT_EQ(mkdir((dir.path + "/out").c_str(), 0755), 0);
  copy_fixture("ntsc.m2v", dir.path + "/in.srt");
  copy_fixture("ntsc.m2v", dir.path + "/out/in.srt");
  RunResult run = run_zorbel({"in.srt", "/dout"}, dir.path);
  EXPECT_EQ(run.status, 0) << run.err;
  expect_ntsc_outputs(dir.path + "/out/in");
  EXPECT_EQ(read_file(dir.path + "/in.srt"), read_file(source_path("tests/fixtures/ntsc.m2v")));
}

// ---------------------------------------------------------------------------------------
// A run that is interrupted, or whose console goes away

// A stream whose trace is far larger than a pipe and the console buffer together: a run
// writing into a pipe that nobody reads is held in a write long before its input ends.
// Every group shows a new pop-on caption and ends with two null pairs, so that the time
// of the last pair lies after the caption's start.
// `tag` ends every caption, for streams that differ.
void write_long_caption_stream(const std::string &path, const std::string &tag = "") {
  StreamBuilder stream;
  for (int group = 0; group < 3000; group++) {
    std::vector<std::pair<uint8_t, uint8_t>> pairs = pop_on("LINE " + std::to_string(group) + tag);
    pairs.push_back({0x00, 0x00});
    pairs.push_back({0x00, 0x00});
    stream.raw(caption_group(group / 3600, group / 60 % 60, group % 60, 0, pairs));
  }
  write_file(path, stream.sequence_end().bytes());
}

// The long stream in dir, run to its end: what an interrupted or silenced run is held against.
struct WholeRun {
  int status;
  std::string out, err, srt, smi;
};
WholeRun whole_long_run(const std::string &dir) {
  write_long_caption_stream(dir + "/long.m2v");
  RunResult run = run_zorbel({"long.m2v"}, dir);
  return {run.status, run.out, run.err, read_file(dir + "/long.srt"), read_file(dir + "/long.smi")};
}

struct Interrupted {
  int status;  // as waitpid gives it
  std::string out, err;
  double seconds;  // from the signal to the end of the process
};

// A console that reads the trace as it comes, or one that takes nothing (a pipe that
// nobody reads) until the process has ended.
enum class Console { read, unread };

// When the signal may come: given the trace read so far.
using Ready = std::function<bool(const std::string &trace)>;
Ready when_file_exists(const std::string &path) {
  return [path](const std::string &) { return file_exists(path); };
}
// The run has opened its outputs: the new file that will replace `output` is there.
Ready when_output_opened(const std::string &dir, const std::string &output) {
  return [dir, output](const std::string &) {
    for (const std::string &name : listing(dir))
      if (name.rfind(output + ".incomplete-", 0) == 0) return true;
    return false;
  };
}
// The first piece of the trace has come: the console buffer was full, a thousand captions in.
const Ready kWhenTraceBegins = [](const std::string &trace) { return !trace.empty(); };
const Ready kAtOnce = [](const std::string &) { return true; };

// Runs the binary on input in dir with its trace (and with errors_in_console its standard
// error too) going into a pipe, and sends the signals, 10 ms apart, once `ready` holds and
// `delay_ms` more have passed.
Interrupted run_interrupted(const std::string &dir, const std::string &input, const std::vector<int> &signals,
                            Console console, const Ready &ready, int delay_ms = 0, bool errors_in_console = false) {
  int fds[2];
  if (pipe(fds) != 0) abort();
  console_flush();
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    int err = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(errors_in_console ? 1 : err, 2);
    dup2(in, 0);
    for (int sig : signals) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl(ZORBEL_BINARY, "zorbel", input.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  using Clock = std::chrono::steady_clock;
  Interrupted run{-1, "", "", -1};
  auto read_trace = [&](int wait_ms) {
    pollfd ready_to_read{fds[0], POLLIN, 0};
    char chunk[65536];
    while (poll(&ready_to_read, 1, wait_ms) > 0) {
      ssize_t got = read(fds[0], chunk, sizeof chunk);
      if (got <= 0) return;
      run.out.append(chunk, static_cast<size_t>(got));
      wait_ms = 0;
    }
  };
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  Clock::time_point ready_at{}, sent_at{};
  bool is_ready = false, sent = false;
  size_t next_signal = 0;
  for (;;) {
    if (!is_ready && ready(run.out)) {
      is_ready = true;
      ready_at = Clock::now();
    }
    if (is_ready && next_signal < signals.size() &&
        Clock::now() >= ready_at + std::chrono::milliseconds(delay_ms + 10 * static_cast<int>(next_signal))) {
      kill(pid, signals[next_signal++]);
      if (!sent) sent_at = Clock::now();
      sent = true;
    }
    if (console == Console::read) {
      read_trace(1);
    } else {
      usleep(1000);
    }
    if (waitpid(pid, &run.status, WNOHANG) == pid) break;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);  // a hang becomes a failed test
      waitpid(pid, &run.status, 0);
      break;
    }
  }
  if (sent) run.seconds = std::chrono::duration<double>(Clock::now() - sent_at).count();
  read_trace(0);
  close(fds[0]);
  run.err = read_file(dir + "/.stderr");
  unlink((dir + "/.stderr").c_str());
  return run;
}

// The text up to, not including, the last occurrence of `mark`.
std::string before_last(const std::string &text, const std::string &mark) {
  size_t at = text.rfind(mark);
  return at == std::string::npos ? text : text.substr(0, at);
}

// The files of a run stopped part-way through the long stream: the SAMI file is the start
// of the whole run's, with its trailer; the SRT file holds the whole run's first entries,
// then one for the caption on screen, which it gives.
std::string expect_finished_early(const WholeRun &whole, const std::string &dir) {
  std::string smi = read_file(dir + "/long.smi");
  EXPECT_TRUE(ends_with(smi, kSamiTrailer)) << smi.substr(smi.size() > 200 ? smi.size() - 200 : 0);
  std::string smi_body = smi.substr(0, smi.size() - std::min(smi.size(), kSamiTrailer.size()));
  EXPECT_GT(count_of(smi_body, "<SYNC"), 0u);
  EXPECT_EQ(whole.smi.compare(0, smi_body.size(), smi_body), 0);
  std::string srt = read_file(dir + "/long.srt");
  EXPECT_TRUE(ends_with(srt, "\r\n\r\n"));
  size_t last_entry_end = srt.size() < 5 ? std::string::npos : srt.rfind("\r\n\r\n", srt.size() - 5);
  std::string earlier = last_entry_end == std::string::npos ? "" : srt.substr(0, last_entry_end + 4);
  EXPECT_EQ(whole.srt.compare(0, earlier.size(), earlier), 0);
  return srt.substr(earlier.size());
}

TEST(Interrupts, SignalFinishesBothFilesAndEndsTheProcessByTheSignal) {
  TempDir dir("edges-signal");
  const WholeRun whole = whole_long_run(dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;

  // Any mix of requests (a service manager's SIGTERM after Ctrl-C) finishes both files and
  // ends the process by the first.
  const std::vector<std::vector<int>> requests = {
      {SIGINT}, {SIGTERM}, {SIGHUP}, {SIGTERM, SIGHUP}, {SIGINT, SIGTERM, SIGINT, SIGHUP}};
  for (const std::vector<int> &signals : requests) {
    int sig = signals[0];
    SCOPED_TRACE(std::string(strsignal(sig)) + ", " + std::to_string(signals.size()) + " signals");
    unlink((dir.path + "/long.srt").c_str());
    unlink((dir.path + "/long.smi").c_str());
    Interrupted run = run_interrupted(dir.path, "long.m2v", signals, Console::read, kWhenTraceBegins);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == sig) << "wait status " << run.status;
    EXPECT_EQ(run.err, "Interrupted\n");

    // The trace stops where the run was asked to stop; only the last SRT entry's row
    // traces follow.
    std::string trace = run.out;
    while (ends_with(trace, " to SRT file\n")) trace = before_last(trace, "Output row ");
    ASSERT_LT(trace.size(), whole.out.size());
    EXPECT_EQ(whole.out.compare(0, trace.size(), trace), 0) << "the trace is not the start of the whole run's";

    // The caption on screen ends at the time of the last pair that was read.
    std::string last = expect_finished_early(whole, dir.path);
    size_t time_at = trace.rfind("time: ");
    ASSERT_NE(time_at, std::string::npos);
    int h = 0, m = 0, sec = 0, frames = 0;
    ASSERT_EQ(sscanf(trace.c_str() + time_at, "time: %d:%d:%d.%d", &h, &m, &sec, &frames), 4);
    std::string end_time = last.substr(last.find(" --> ") + 5, 12);
    EXPECT_EQ(end_time, srt_time(pal_ms(h, m, sec, frames))) << last;
  }
}

// The console is a pipe that nobody reads (`zorbel movie.m2v | sleep 1000`, and with
// standard error in it too, `2>&1 | less` at its prompt): the run is held in a write when
// the signal comes. The trace still pending is dropped, both files are finished, and the
// process ends by the signal.
TEST(Interrupts, ConsoleThatTakesNothingDoesNotHoldTheEnd) {
  TempDir dir("edges-signal-blocked");
  const WholeRun whole = whole_long_run(dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;
  for (bool errors_in_console : {false, true}) {
    SCOPED_TRACE(errors_in_console ? "standard error in the pipe too" : "standard error in a file");
    unlink((dir.path + "/long.srt").c_str());
    unlink((dir.path + "/long.smi").c_str());
    Interrupted run = run_interrupted(dir.path, "long.m2v", {SIGTERM}, Console::unread,
                                      when_output_opened(dir.path, "long.smi"), 300, errors_in_console);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << "wait status " << run.status;
    EXPECT_LT(run.seconds, 10.0);
    EXPECT_EQ(run.err, errors_in_console ? "" : "Interrupted\n");
    EXPECT_GT(run.out.size(), 0u);
    EXPECT_EQ(whole.out.compare(0, run.out.size(), run.out), 0) << "the trace is not the start of the whole run's";
    expect_finished_early(whole, dir.path);
  }
}

// The files are finished and the run is only writing the rest of its trace into a pipe that
// takes nothing yet (`zorbel x.mpg | (sleep 3; cat)`) when Ctrl-C comes: the process still
// ends by the signal, so that a loop over many files stops.
TEST(Interrupts, SignalAfterTheLastInputByteIsNotSwallowed) {
  TempDir dir("edges-signal-late");
  // A trace larger than a pipe takes, smaller than the console buffer: all of it is
  // written at the end.
  StreamBuilder stream;
  for (int group = 0; group < 150; group++)
    stream.raw(caption_group(0, group / 60, group % 60, 0, pop_on("LINE " + std::to_string(group))));
  write_file(dir.path + "/late.m2v", stream.sequence_end().bytes());
  RunResult whole = run_zorbel({"late.m2v"}, dir.path);
  const std::string whole_smi = read_file(dir.path + "/late.smi");
  ASSERT_GT(whole.out.size(), 65536u);
  ASSERT_LT(whole.out.size(), 262144u);
  unlink((dir.path + "/late.smi").c_str());
  Interrupted run =
      run_interrupted(dir.path, "late.m2v", {SIGTERM}, Console::unread, when_file_exists(dir.path + "/late.smi"), 100);
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << "wait status " << run.status;
  EXPECT_EQ(run.err, "Interrupted\n");
  EXPECT_TRUE(read_file(dir.path + "/late.smi") == whole_smi);
}

// Runs at once into one folder (a batch under xargs -P, two discs' VTS_01_1.VOB into one /d
// folder), and runs killed outright at any moment: under the output names there is always
// a whole file, the earlier one or a finished run's, and a killed run leaves at most its
// unfinished files under names that say so.
TEST(OutputPlaces, ConcurrentAndKilledRunsLeaveWholeFilesUnderTheOutputNames) {
  TempDir dir("edges-concurrent");
  const WholeRun whole = whole_long_run(dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::vector<std::string> kOutputs = {"long.srt", "long.smi"};
  auto whole_file = [&](const std::string &name) { return name == "long.srt" ? whole.srt : whole.smi; };

  // Eight inputs of one name with different captions, and the files of each run alone.
  std::vector<std::string> clean[2];
  std::string runs;
  for (int disc = 0; disc < 8; disc++) {
    std::string folder = dir.path + "/disc" + std::to_string(disc);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    write_long_caption_stream(folder + "/long.m2v", std::string(static_cast<size_t>(disc), '!'));
    ASSERT_EQ(run_zorbel({"long.m2v"}, folder).status, 0);
    for (int k = 0; k < 2; k++) clean[k].push_back(read_file(folder + "/" + kOutputs[static_cast<size_t>(k)]));
    runs += "\"$ZORBEL\" disc" + std::to_string(disc) + "/long.m2v /dout >/dev/null & pids=\"$pids $!\"; ";
  }
  ASSERT_EQ(mkdir((dir.path + "/out").c_str(), 0755), 0);
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    RunResult run = run_line(dir.path, "pids=; " + runs + "status=0; for p in $pids; do wait $p || status=1; done; exit $status");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (int k = 0; k < 2; k++) {
      std::string content = read_file(dir.path + "/out/" + kOutputs[static_cast<size_t>(k)]);
      EXPECT_NE(std::find(clean[k].begin(), clean[k].end(), content), clean[k].end())
          << kOutputs[static_cast<size_t>(k)] << " is no run's file";
    }
    EXPECT_EQ(listing(dir.path + "/out"), (std::vector<std::string>{"long.smi", "long.srt"}));
  }

  // SIGKILL from before the outputs exist to after the run has ended. The console is a pipe
  // that is read only after 0.2 s, so that most kills come while the run is held in the
  // middle, its outputs open.
  for (int kill_at = 0; kill_at < 12; kill_at++) {
    double delay = 0.02 * kill_at;
    SCOPED_TRACE("killed after " + std::to_string(delay) + " s");
    for (const std::string &name : kOutputs) write_file(dir.path + "/" + name, Bytes{'o', 'l', 'd'});
    char line[512];
    snprintf(line, sizeof line,
             "rm -f console; mkfifo console; (exec 3<console; sleep 0.2; cat <&3 >/dev/null) & "
             "\"$ZORBEL\" long.m2v >console 2>/dev/null & p=$!; sleep %.3f; kill -9 $p; wait; rm -f console",
             delay);
    ASSERT_EQ(run_line(dir.path, line).status, 0);
    for (const std::string &name : kOutputs) {
      std::string content = read_file(dir.path + "/" + name);
      EXPECT_TRUE(content == "old" || content == whole_file(name)) << name << " holds " << content.size() << " bytes";
    }
    for (const std::string &name : listing(dir.path)) {
      if (name == "long.m2v" || name == "long.srt" || name == "long.smi" || name == "out" || name.rfind("disc", 0) == 0)
        continue;
      EXPECT_TRUE(name.rfind("long.srt.incomplete-", 0) == 0 || name.rfind("long.smi.incomplete-", 0) == 0) << name;
      unlink((dir.path + "/" + name).c_str());
    }
  }
}

// Writes head at the start of path and tail at tail_at, with a hole of zeros between them.
// False when the file system fills the hole with blocks: such a file is too large to make.
bool write_with_hole(const std::string &path, const Bytes &head, long long tail_at, const Bytes &tail) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (fd < 0) {
    ADD_FAILURE() << "could not create " << path;
    return false;
  }
  bool written = pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
                 pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(tail_at)) == static_cast<ssize_t>(tail.size());
  struct stat info;
  bool sparse = fstat(fd, &info) == 0 && info.st_blocks * 512LL < 64LL * 1024 * 1024;
  close(fd);
  if (!written) ADD_FAILURE() << "could not write " << path;
  return written && sparse;
}

// Gigabytes of zeros hold no start code and no system-layer code: every loop that reads or
// searches them looks at the interrupt at each block, so the run ends at once. An interrupt
// while the stream kind is still being found leaves the earlier outputs as they were.
TEST(Interrupts, LongStretchesWithoutStartCodesEndAtTheSignal) {
  const long long kGigabyte = 1LL << 30;
  struct Case {
    const char *label;
    Bytes head, tail;
    long long tail_at;
    bool finished;  // the outputs were written (the signal comes 300 ms after they exist)
  };
  const Case cases[] = {
      {"elementary stream, then zeros", fixture_bytes("ntsc.m2v"), {0}, 8 * kGigabyte, true},
      {"program stream, then zeros", fixture_bytes("ntsc-dvd.vob"), {0}, 8 * kGigabyte, true},
      {"zeros before the stream", {0}, fixture_bytes("ntsc.m2v"), 16 * kGigabyte, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir("edges-signal-zeros");
    if (!write_with_hole(dir.path + "/in.mpg", c.head, c.tail_at, c.tail)) GTEST_SKIP() << "no holes here";
    write_file(dir.path + "/in.srt", Bytes{'o', 'l', 'd'});
    Interrupted run = run_interrupted(dir.path, "in.mpg", {SIGTERM}, Console::read,
                                      c.finished ? when_output_opened(dir.path, "in.smi") : kAtOnce, 300);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << "wait status " << run.status;
    EXPECT_LT(run.seconds, 5.0);
    EXPECT_EQ(run.err, "Interrupted\n");
    if (c.finished) {
      expect_ntsc_outputs(dir.path + "/in");
    } else {
      EXPECT_EQ(read_file(dir.path + "/in.srt"), "old");
      EXPECT_FALSE(file_exists(dir.path + "/in.smi"));
    }
  }
}

// With descriptors 0 to 2 closed, the input and the outputs would take their numbers.
TEST(ConsoleGoesAway, ClosedStandardDescriptorsKeepTheTraceOutOfTheOutputs) {
  TempDir dir("edges-closed");
  copy_fixture("ntsc.m2v", dir.path + "/in.m2v");
  RunResult run = run_line(dir.path, "\"$ZORBEL\" in.m2v <&- >&- 2>&-; echo $? >.status");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(dir.path + "/.status"), "0\n");
  expect_ntsc_outputs(dir.path + "/in");
}

// A file-size limit ends the run as a full disk does, not by SIGXFSZ.
TEST(ConsoleGoesAway, FileSizeLimitIsAWriteErrorOfEachFile) {
  TempDir dir("edges-fsize");
  copy_fixture("ntsc.m2v", dir.path + "/in.m2v");
  RunResult run = run_line(dir.path, "ulimit -f 1; \"$ZORBEL\" in.m2v >/dev/null");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error writing in.srt\nError writing in.smi\n");
}

TEST(ConsoleGoesAway, TraceThatCannotBeWrittenLeavesCompleteFilesAndStatusOne) {
  TempDir dir("edges-console");
  const WholeRun whole = whole_long_run(dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::vector<std::pair<std::string, std::string>> consoles = {
      // The reader quits after the first bytes: the next write meets a closed pipe.
      {"closed pipe", "{ \"$ZORBEL\" long.m2v 2>.err; echo $? >.status; } | head -c 100 >/dev/null"},
      {"full disk", "\"$ZORBEL\" long.m2v >/dev/full 2>.err; echo $? >.status"},
  };
  for (const auto &console_case : consoles) {
    SCOPED_TRACE(console_case.first);
    unlink((dir.path + "/long.srt").c_str());
    unlink((dir.path + "/long.smi").c_str());
    RunResult run = run_line(dir.path, console_case.second);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(dir.path + "/.status"), "1\n");
    EXPECT_EQ(read_file(dir.path + "/.err"), "Error writing standard output\n");
    // Compared as a whole, without printing megabytes on a failure.
    EXPECT_TRUE(read_file(dir.path + "/long.srt") == whole.srt);
    EXPECT_TRUE(read_file(dir.path + "/long.smi") == whole.smi);
  }
}

TEST(LargeInput, CaptionAfterAFourGigabyteHoleKeepsTrueOffsetsAndTimes) {
  TempDir dir("edges-sparse");
  const std::string path = dir.path + "/long.m2v";

  Bytes first = caption_group(0, 0, 10, 0, pop_on("BEFORE"));
  std::vector<std::pair<uint8_t, uint8_t>> later = pop_on("AFTER.");
  later.push_back({0x00, 0x00});  // null pairs: they still move the time of the last pair
  later.push_back({0x00, 0x00});
  Bytes second = caption_group(1, 2, 3, 4, later);
  // Past 2^32 by far, 4-aligned, and 8 bytes before a block end, so the second sequence
  // header starts in one 2048-byte block and ends in the next. The hole is zeros: the
  // start-code search passes them and finds 00 00 01 B3 at the true offset.
  const long long second_at = 2048LL * 2197266 - 8;
  ASSERT_GT(second_at, 4294967296LL + 200000000LL);
  if (!write_with_hole(path, first, second_at, second)) GTEST_SKIP() << "the file system does not keep holes";

  auto started = std::chrono::steady_clock::now();
  RunResult run = run_zorbel({"long.m2v"}, dir.path, 240);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("[ sparse ] %.1f s for %lld bytes\n", seconds, second_at + static_cast<long long>(second.size()));

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const long long gop_at = second_at + static_cast<long long>(sequence_header_size());
  EXPECT_NE(run.out.find("sequence header (byte 0)\n"), std::string::npos);
  EXPECT_NE(run.out.find("group of pictures (byte " + std::to_string(sequence_header_size()) + ")\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("sequence header (byte " + std::to_string(second_at) + ")\n"), std::string::npos)
      << run.out.substr(run.out.size() > 3000 ? run.out.size() - 3000 : 0);
  EXPECT_NE(run.out.find("group of pictures (byte " + std::to_string(gop_at) + ")\n"), std::string::npos);
  EXPECT_EQ(count_of(run.out, "sequence header (byte "), 2u);
  EXPECT_EQ(count_of(run.out, "group of pictures (byte "), 2u);
  EXPECT_NE(run.out.find("  timecode 1:02:03:04\n"), std::string::npos);

  // BEFORE shows from its EOC (frame 5 of its group) until AFTER. replaces it (frame 5 of
  // the second group), which shows until the last pair (frame 7). The time code leaps an
  // hour, so the second group starts after the six frames of the first group's captions.
  const long long before = pal_ms(0, 0, 0, 5), after = pal_ms(0, 0, 0, 6 + 5), last = pal_ms(0, 0, 0, 6 + 7);
  EXPECT_EQ(read_file(dir.path + "/long.srt"),
            srt_entry(1, before, after, {"BEFORE"}) + srt_entry(2, after, last, {"AFTER."}));
  EXPECT_EQ(read_file(dir.path + "/long.smi"),
            sami_file(sami_block(before, {"BEFORE"}) + sami_block(after, {"AFTER."})));
}

TEST(LongTimeCodes, CaptionsCrossingIntoHourThirtyTwo) {
  TempDir dir("edges-hours");
  // From 31:59:59 frame 20: LATE shows at frame 4 (31:59:59:24), is erased at frame 6
  // (the clock has passed into hour 32 at frame 5), NIGHT! shows at frame 12.
  std::vector<std::pair<uint8_t, uint8_t>> pairs = pop_on("LATE");  // frames 0-4
  pairs.push_back({0x00, 0x00});                                     // 5
  pairs.push_back({0x14, 0x2C});                                     // 6: EDM
  for (const auto &pair : pop_on("NIGHT!")) pairs.push_back(pair);   // 7-12
  pairs.push_back({0x00, 0x00});                                     // 13
  pairs.push_back({0x00, 0x00});                                     // 14

  RunResult run = run_one_group_by_timecode(dir.path, "late.m2v", 31, 59, 59, 20, pairs);
  EXPECT_EQ(run.status, 0) << run.err;
  const long long shown = pal_ms(31, 59, 59, 24), erased = pal_ms(32, 0, 0, 1), night = pal_ms(32, 0, 0, 7),
                  last = pal_ms(32, 0, 0, 9);
  ASSERT_EQ(shown, 115199960);
  ASSERT_EQ(erased, 115200040);
  EXPECT_EQ(read_file(dir.path + "/late.smi"),
            sami_file(sami_block(shown, {"LATE"}) + sami_block(erased, {}) + sami_block(night, {"NIGHT!"})));
  EXPECT_EQ(read_file(dir.path + "/late.srt"),
            srt_entry(1, shown, erased, {"LATE"}) + srt_entry(2, night, last, {"NIGHT!"}));
  EXPECT_NE(read_file(dir.path + "/late.srt").find("31:59:59,960 --> 32:00:00,040\r\n"), std::string::npos);
}

TEST(LongTimeCodes, LargestFieldValuesPrintAsTheirTotal) {
  TempDir dir("edges-maxfields");
  // Minutes and seconds at 63, the most their six bits hold. LATE shows at 31:63:63
  // frame 24; one frame later the clock carries into 32:00:00 frame 0, earlier in total
  // than the caption's start: the erase is written there unchanged.
  std::vector<std::pair<uint8_t, uint8_t>> pairs = pop_on("LATE");  // frames 0-4
  pairs.push_back({0x14, 0x2C});                                     // 5: EDM
  pairs.push_back({0x00, 0x00});                                     // 6

  RunResult run = run_one_group_by_timecode(dir.path, "max.m2v", 31, 63, 63, 20, pairs);
  EXPECT_EQ(run.status, 0) << run.err;
  const long long shown = pal_ms(31, 63, 63, 24), erased = pal_ms(32, 0, 0, 0);
  ASSERT_EQ(shown, 115443960);
  EXPECT_EQ(read_file(dir.path + "/max.smi"), sami_file(sami_block(shown, {"LATE"}) + sami_block(erased, {})));
  EXPECT_EQ(read_file(dir.path + "/max.srt"), srt_entry(1, shown, erased, {"LATE"}));
  EXPECT_NE(read_file(dir.path + "/max.srt").find("32:04:03,960 --> 32:00:00,000\r\n"), std::string::npos);
}

}  // namespace
