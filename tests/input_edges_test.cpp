// The edges of a run that the stream itself does not decide: what the input is (a FIFO, a
// pipe, a file cut short or past 4 GB), outputs that replace earlier files or whose writes
// fail, a run that is interrupted or loses its console, and time codes at the top of their
// range. The command line and the names and places of the outputs are in run_driver_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// A run over a copy of the NTSC fixture wrote both files, named from `base`, as the
// reviewed reference files are.
void expect_ntsc_outputs(const std::string &base) {
  ASSERT_TRUE(file_exists(base + ".srt")) << base << ".srt";
  ASSERT_TRUE(file_exists(base + ".smi")) << base << ".smi";
  EXPECT_EQ(read_file(base + ".srt"), read_file(source_path("tests/ref/ntsc.m2v.srt")));
  EXPECT_EQ(read_file(base + ".smi"), read_file(source_path("tests/ref/ntsc.m2v.smi")));
}

// ---------------------------------------------------------------------------------------
// What the input is

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
    EXPECT_EQ(run.err, "Cannot rewind live.mpg: the input must be a regular file\nzorbel: live.mpg: not a regular file\n");
    EXPECT_EQ(listing(dir.path), std::vector<std::string>{"live.mpg"});
  }
}

TEST(InputKinds, FileCutShortWhileItIsReadEndsAsAReadError) {
  TempDir dir("edges-shrink");
  // A caption, then back-to-back sequence headers: each traces some 20 bytes per input
  // byte, so the run is still early in the file when the first 8 KB of its trace come.
  SequenceHeader header;
  header.frame_rate_code = 4;
  StreamBuilder s;
  s.sequence_header(header).gop(0, 0, 1, 0);
  s.cc_block(frames_of({{0x14, 0x20}, {0x14, 0x70}, {'H', 'E'}, {'L', 'L'}, {'O', '!'}, {0x14, 0x2F}}));
  while (s.bytes().size() < (4u << 20)) s.sequence_header(header);
  const std::string input = dir.path + "/movie.m2v";
  write_file(input, s.bytes());
  // Then another program cuts the file.
  auto cut = [&](const std::string &out) { return out.size() >= 8192 && truncate(input.c_str(), 4096) == 0; };
  PipedRun run = run_piped(dir.path, "movie.m2v", {{}, cut});
  ASSERT_TRUE(WIFEXITED(run.status)) << "wait status " << run.status;
  EXPECT_EQ(WEXITSTATUS(run.status), 1);
  EXPECT_EQ(run.err, "Error reading movie.m2v\nzorbel: movie.m2v: cut short while it was read\n");
  std::string smi = read_file(dir.path + "/movie.smi");
  EXPECT_NE(smi.find("HELLO!"), std::string::npos) << smi;
  EXPECT_TRUE(ends_with(smi, kSamiTrailer)) << smi;
  EXPECT_NE(read_file(dir.path + "/movie.srt").find("HELLO!"), std::string::npos);
  EXPECT_LT(run.out.size(), size_t{16} << 20) << "the run read on past the cut";
}

// ---------------------------------------------------------------------------------------
// Caption streams

SequenceHeader pal_sequence() {
  SequenceHeader header;
  header.vertical_size = 576;
  header.frame_rate_code = 3;  // 25 frames per second: a frame is 40 ms exactly
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

size_t sequence_header_size() { return StreamBuilder().sequence_header(pal_sequence()).bytes().size(); }

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

// ---------------------------------------------------------------------------------------
// Where the outputs go

// The replacement takes the earlier file's permission bits, and a link is followed: the file
// it leads to is replaced, the link stays.
TEST(OutputPlaces, ReplacedFileKeepsItsPermissionBitsAndLinksStay) {
  TempDir dir("edges-replace");
  write_file(dir.path + "/in.m2v", fixture_bytes("ntsc.m2v"));
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


// Runs at once into one folder (a batch under xargs -P, two discs' VTS_01_1.VOB into one /d
// folder), and runs killed outright at any moment: under the output names there is always
// a whole file, the earlier one or a finished run's, and a killed run leaves at most its
// unfinished files under names that say so.
TEST(OutputPlaces, ConcurrentAndKilledRunsLeaveWholeFilesUnderTheOutputNames) {
  TempDir dir("edges-concurrent");
  const WholeRun whole = whole_long_run(dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::string kOutputs[] = {"long.srt", "long.smi"}, kWhole[] = {whole.srt, whole.smi};

  // Eight inputs of one name with different captions, and the files of each run alone.
  std::vector<std::string> clean[2];
  std::string runs;
  for (int disc = 0; disc < 8; disc++) {
    std::string folder = dir.path + "/disc" + std::to_string(disc);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    write_long_caption_stream(folder + "/long.m2v", std::string(static_cast<size_t>(disc), '!'));
    ASSERT_EQ(run_zorbel({"long.m2v"}, folder).status, 0);
    for (int k = 0; k < 2; k++) clean[k].push_back(read_file(folder + "/" + kOutputs[k]));
    runs += "\"$ZORBEL\" disc" + std::to_string(disc) + "/long.m2v /dout >/dev/null & pids=\"$pids $!\"; ";
  }
  ASSERT_EQ(mkdir((dir.path + "/out").c_str(), 0755), 0);
  for (int round = 0; round < 5; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    RunResult run = run_line(dir.path, "pids=; " + runs + "status=0; for p in $pids; do wait $p || status=1; done; exit $status");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (int k = 0; k < 2; k++) {
      std::string content = read_file(dir.path + "/out/" + kOutputs[k]);
      EXPECT_NE(std::find(clean[k].begin(), clean[k].end(), content), clean[k].end()) << kOutputs[k] << " is no run's";
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
    // A run killed before it opened the console would leave the reader waiting for a writer:
    // the shell opens the FIFO once itself (read-write, which never waits) to let it go.
    char line[512];
    snprintf(line, sizeof line,
             "rm -f console; mkfifo console; (exec 3<console; sleep 0.2; cat <&3 >/dev/null) & "
             "\"$ZORBEL\" long.m2v >console 2>/dev/null & p=$!; sleep %.3f; kill -9 $p; exec 4<>console 4>&-; wait; "
             "rm -f console",
             delay);
    ASSERT_EQ(run_line(dir.path, line).status, 0);
    for (int k = 0; k < 2; k++) {
      std::string content = read_file(dir.path + "/" + kOutputs[k]);
      EXPECT_TRUE(content == "old" || content == kWhole[k]) << kOutputs[k] << " holds " << content.size() << " bytes";
    }
    for (const std::string &name : listing(dir.path)) {
      if (name == "long.m2v" || name == "long.srt" || name == "long.smi" || name == "out" || name.rfind("disc", 0) == 0)
        continue;
      EXPECT_TRUE(name.rfind("long.srt.incomplete-", 0) == 0 || name.rfind("long.smi.incomplete-", 0) == 0) << name;
      unlink((dir.path + "/" + name).c_str());
    }
  }
}

// Every write that fails, to a file or to the console, is reported once and makes the
// status 1, and the run still finishes what it can write. A file that failed is not left
// under its name, nor its unfinished copy. The console rows need a trace far larger than a
// pipe (the long stream); the others run on movie.m2v, a copy of the NTSC fixture.
TEST(WriteFailures, EachFailedFileOrConsoleIsReportedAndTheRestIsWhole) {
  TempDir dir("edges-write");
  const WholeRun whole = whole_long_run(dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;
  write_file(dir.path + "/movie.m2v", fixture_bytes("ntsc.m2v"));
  auto both = [](const std::string &reason) {
    return "Error writing movie.srt\nzorbel: movie.srt: " + reason + "\nError writing movie.smi\nzorbel: movie.smi: " +
           reason + "\n";
  };
  const std::string console = "Error writing standard output\n";
  struct Case {
    std::string label, setup, input, console, err;
    bool srt_whole, smi_whole;
  };
  const Case cases[] = {
      {".srt a link to a full disk", "ln -s /dev/full movie.srt", "movie", ">/dev/null",
       "Error writing movie.srt\nzorbel: movie.srt: No space left on device\n", false, true},
      {"both links to a full disk", "ln -s /dev/full movie.srt; ln -s /dev/full movie.smi", "movie", ">/dev/null",
       both("No space left on device"), false, false},
      // Not ended by SIGXFSZ: a write error of each file, as on a full disk.
      {"file-size limit", "ulimit -f 1", "movie", ">/dev/null", both("File too large"), false, false},
      // The reader quits after the first bytes: the next write meets a closed pipe.
      {"console a closed pipe", "", "long", "| head -c 100 >/dev/null", console, true, true},
      {"console on a full disk", "", "long", ">/dev/full", console, true, true},
      // With descriptors 0 to 2 closed, the input and the outputs would take their numbers.
      {"standard descriptors closed", "", "movie", "<&- >&- 2>&-", "", true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    RunResult run = run_line(dir.path, "rm -f movie.s?? long.s??; " + c.setup + "\n{ \"$ZORBEL\" " + c.input +
                                           ".m2v; echo $? >.status; } " + c.console);
    EXPECT_EQ(read_file(dir.path + "/.status"), c.err.empty() ? "0\n" : "1\n");
    EXPECT_EQ(run.err, c.err);
    for (const std::string kind : {"srt", "smi"}) {
      std::string path = dir.path + "/" + c.input + "." + kind;
      if (kind == "srt" ? c.srt_whole : c.smi_whole) {
        std::string expected = c.input == "long" ? (kind == "srt" ? whole.srt : whole.smi)
                                                 : read_file(source_path("tests/ref/ntsc.m2v." + kind));
        // Compared as a whole, without printing the long stream's files on a failure.
        EXPECT_TRUE(read_file(path) == expected) << path;
      } else {
        EXPECT_FALSE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path))) << path;
      }
    }
    for (const std::string &name : listing(dir.path)) EXPECT_EQ(name.find(".incomplete-"), std::string::npos) << name;
  }
}

// ---------------------------------------------------------------------------------------
// A run that is interrupted, or whose console goes away

// When the signal may come: given the console read so far.
using Ready = std::function<bool(const std::string &out)>;
// The run has opened its outputs: the new file that will replace `output` is there.
Ready when_output_opened(const std::string &dir, const std::string &output) {
  return [dir, output](const std::string &) {
    for (const std::string &name : listing(dir))
      if (name.rfind(output + ".incomplete-", 0) == 0) return true;
    return false;
  };
}
// The first piece of the trace has come: the console buffer was full, a thousand captions in.
const Ready kWhenTraceBegins = [](const std::string &out) { return !out.empty(); };
const Ready kAtOnce = [](const std::string &) { return true; };

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

// Any mix of requests (a service manager's SIGTERM after Ctrl-C) finishes both files and
// ends the process by the first, whether the console reads the trace as it comes or is a
// pipe that nobody reads (`zorbel movie.m2v | sleep 1000`, and with standard error in it
// too, `2>&1 | less` at its prompt). Then the run is held in a write when the signals come,
// the trace still pending is dropped, and the later signals come while it waits for the
// console.
TEST(Interrupts, SignalFinishesBothFilesAndEndsTheProcessByTheSignal) {
  TempDir dir("edges-signal");
  const WholeRun whole = whole_long_run(dir.path);
  ASSERT_EQ(whole.status, 0) << whole.err;
  const Ready opened = when_output_opened(dir.path, "long.smi");
  const PipedConsole consoles[] = {
      {{SIGINT}, kWhenTraceBegins},
      {{SIGTERM}, kWhenTraceBegins},
      {{SIGHUP}, kWhenTraceBegins},
      {{SIGTERM, SIGHUP}, kWhenTraceBegins},
      {{SIGINT, SIGTERM, SIGINT, SIGHUP}, kWhenTraceBegins},
      {{SIGTERM, SIGHUP}, opened, 300, false},
      {{SIGTERM, SIGINT}, opened, 300, false, true},
  };
  for (const PipedConsole &console : consoles) {
    SCOPED_TRACE(std::string(strsignal(console.signals[0])) + ", " + std::to_string(console.signals.size()) +
                 " signals" + (console.read ? "" : ", unread console") +
                 (console.errors_in_console ? " with standard error" : ""));
    unlink((dir.path + "/long.srt").c_str());
    unlink((dir.path + "/long.smi").c_str());
    PipedRun run = run_piped(dir.path, "long.m2v", console);
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == console.signals[0]) << "wait status " << run.status;
    EXPECT_LT(run.seconds, 10.0);
    EXPECT_EQ(run.err, console.errors_in_console ? "" : "Interrupted\n");

    // The trace stops where the run was asked to stop; only the last SRT entry's row
    // traces follow.
    std::string trace = run.out;
    while (ends_with(trace, " to SRT file\n")) trace.erase(trace.rfind("Output row "));
    ASSERT_LT(trace.size(), whole.out.size());
    EXPECT_GT(trace.size(), 0u);
    EXPECT_EQ(whole.out.compare(0, trace.size(), trace), 0) << "the trace is not the start of the whole run's";

    // The caption on screen ends at the time of the last pair that was read, which only a
    // trace read whole tells.
    std::string last = expect_finished_early(whole, dir.path);
    if (!console.read) continue;
    size_t time_at = trace.rfind("time: ");
    ASSERT_NE(time_at, std::string::npos);
    int h = 0, m = 0, sec = 0, frames = 0;
    ASSERT_EQ(sscanf(trace.c_str() + time_at, "time: %d:%d:%d.%d", &h, &m, &sec, &frames), 4);
    std::string end_time = last.substr(last.find(" --> ") + 5, 12);
    EXPECT_EQ(end_time, srt_time(pal_ms(h, m, sec, frames))) << last;
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
  auto written = [&](const std::string &) { return file_exists(dir.path + "/late.smi"); };
  PipedRun run = run_piped(dir.path, "late.m2v", {{SIGTERM}, written, 100, false});
  EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGTERM) << "wait status " << run.status;
  EXPECT_EQ(run.err, "Interrupted\n");
  EXPECT_TRUE(read_file(dir.path + "/late.smi") == whole_smi);
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
    PipedRun run =
        run_piped(dir.path, "in.mpg", {{SIGTERM}, c.finished ? when_output_opened(dir.path, "in.smi") : kAtOnce, 300});
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

  RunResult run = run_zorbel({"long.m2v"}, dir.path, 240);

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

// Time codes at the top of their range, run with --timecode so that the files show their
// labels' totals. From 31:59:59 frame 20, LATE (frames 0-4) shows at 31:59:59:24 and is
// erased at frame 6, past hour 32; NIGHT! (frames 7-12) shows at frame 12 and lasts to the
// last pair. With minutes and seconds at 63, the most their six bits hold, LATE shows at
// 31:63:63 frame 24 and one frame later the clock carries into 32:00:00 frame 0, earlier in
// total than the caption's start: the erase is written there unchanged.
TEST(LongTimeCodes, LabelsPastHourThirtyOnePrintAsTheirTotal) {
  using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;
  const Pairs null = {{0x00, 0x00}}, erase = {{0x14, 0x2C}};
  auto join = [](std::initializer_list<Pairs> parts) {
    Pairs all;
    for (const Pairs &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const long long late = pal_ms(31, 59, 59, 24), erased = pal_ms(32, 0, 0, 1), night = pal_ms(32, 0, 0, 7),
                  top = pal_ms(31, 63, 63, 24), carried = pal_ms(32, 0, 0, 0);
  struct Case {
    const char *label;
    int minutes, seconds;
    Pairs pairs;
    std::string srt, smi, srt_times;
  };
  const Case cases[] = {
      {"crossing into hour 32", 59, 59, join({pop_on("LATE"), null, erase, pop_on("NIGHT!"), null, null}),
       srt_entry(1, late, erased, {"LATE"}) + srt_entry(2, night, pal_ms(32, 0, 0, 9), {"NIGHT!"}),
       sami_block(late, {"LATE"}) + sami_block(erased, {}) + sami_block(night, {"NIGHT!"}),
       "31:59:59,960 --> 32:00:00,040\r\n"},
      {"largest field values", 63, 63, join({pop_on("LATE"), erase, null}), srt_entry(1, top, carried, {"LATE"}),
       sami_block(top, {"LATE"}) + sami_block(carried, {}), "32:04:03,960 --> 32:00:00,000\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir("edges-hours");
    write_file(dir.path + "/late.m2v",
               StreamBuilder().raw(caption_group(31, c.minutes, c.seconds, 20, c.pairs)).sequence_end().bytes());
    RunResult run = run_zorbel({"--timecode", "late.m2v"}, dir.path);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir.path + "/late.smi"), sami_file(c.smi));
    std::string srt = read_file(dir.path + "/late.srt");
    EXPECT_EQ(srt, c.srt);
    EXPECT_NE(srt.find(c.srt_times), std::string::npos);
  }
}

}  // namespace
