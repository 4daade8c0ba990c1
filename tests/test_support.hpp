// What the tests share: a temporary folder that removes itself, the runner of the built
// binary, and the lines every run prints first.
#pragma once

#include <sys/types.h>

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
  bool keep = false;  // left in place, to hold what a failure is to be looked at with
  pid_t owner;
};

struct RunResult {
  int status;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs zorbel with the arguments, in directory dir.
RunResult run_zorbel(const std::vector<std::string> &arguments, const std::string &dir);

// The lines that every run prints first: priority and banner.
std::string startup_lines();
// The five name lines.
std::string name_lines(const std::string &input, const std::string &base, const std::string &path);
