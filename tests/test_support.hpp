// What the tests share: a temporary folder that removes itself, the runners of the built
// binary, the lines every run prints first, and small helpers for text, paths and folders.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A fresh folder under $TMPDIR (else /tmp), removed with all it holds when its owner goes
// out of scope; a forked child that inherits it (a death test, a harness) leaves it alone.
struct TempDir {
  explicit TempDir(const std::string &tag);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string path;
  bool keep = false;  // left in place, for a look at what made a test fail
  pid_t owner;
};

struct RunResult {
  int status;      // exit status; -1 when a signal or the time limit ended the run
  int signal;      // the signal that ended it, else 0
  bool timed_out;  // the time limit ended it
  std::string out, err;
};

// Runs a shell command line in dir, standard input closed, the binary's path in $ZORBEL,
// under a time limit for the whole line: a hang becomes a failed test, not a stuck suite.
// Sanitizer reports end the run with statuses of their own (86 and 87), never the tool's 1.
RunResult run_line(const std::string &dir, const std::string &line, int time_limit = 120);
// The binary on the arguments, in dir.
RunResult run_zorbel(const std::vector<std::string> &arguments, const std::string &dir, int time_limit = 120);

// A run of the binary whose console is a pipe that the test holds.
struct PipedRun {
  int status = -1;  // as waitpid gives it
  std::string out, err;
  double seconds = -1;  // from the first signal to the end of the process
};

struct PipedConsole {
  // Sent once `ready` holds and delay_ms more have passed, each 10 ms or more after the one
  // before and not before the process has taken it.
  std::vector<int> signals;
  // Asked with the console read so far, until it holds.
  std::function<bool(const std::string &out)> ready = [](const std::string &) { return true; };
  int delay_ms = 0;
  bool read = true;                // else the pipe takes nothing until the process has ended
  bool errors_in_console = false;  // standard error into the pipe too, else into `err`
};

// The binary on input in dir, standard input /dev/null, its console a pipe. A run still
// going after 60 s is killed: a hang becomes a failed test.
PipedRun run_piped(const std::string &dir, const std::string &input, const PipedConsole &console);

// The lines that every run prints first: priority and banner.
std::string startup_lines();
// The five name lines.
std::string name_lines(const std::string &input, const std::string &base, const std::string &path);

// Quoted for sh, whatever the text holds.
std::string shell_quote(const std::string &text);
bool ends_with(const std::string &text, const std::string &tail);
// How often `what` occurs in the text, overlaps included.
size_t count_of(const std::string &text, const std::string &what);
// A path in the source tree, from its root.
std::string source_path(const std::string &relative);
// Names in a folder, "." and ".." left out, sorted.
std::vector<std::string> listing(const std::string &dir);
