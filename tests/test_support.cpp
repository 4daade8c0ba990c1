// The test-support layer: temporary folders and the runner of the built binary.
#include "test_support.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "stream_builder.hpp"

static std::string shell_quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

RunResult run_zorbel(const std::vector<std::string> &arguments, const std::string &dir) {
  std::string out_file = dir + "/.stdout", err_file = dir + "/.stderr";
  // A hang becomes a failed test (status -1), not a stuck suite.
  std::string command = "cd " + shell_quote(dir) + " && timeout -k 5 120 " + shell_quote(ZORBEL_BINARY);
  for (const std::string &argument : arguments) command += " " + shell_quote(argument);
  command += " >" + shell_quote(out_file) + " 2>" + shell_quote(err_file) + " </dev/null";
  int raw = std::system(command.c_str());
  RunResult result;
  result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  // The shell reports a death by signal as 128 + n, timeout a time-out as 124.
  if (result.status > 128 || result.status == 124) result.status = -1;
  result.out = read_file(out_file);
  result.err = read_file(err_file);
  unlink(out_file.c_str());
  unlink(err_file.c_str());
  return result;
}

TempDir::TempDir(const std::string &tag) : owner(getpid()) {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zorbel-" + tag + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed: " + pattern);
  path = buffer.data();
}

TempDir::~TempDir() {
  if (keep || getpid() != owner) return;
  // Modes first, so that no folder a test made unwritable holds anything back.
  std::string command = "chmod -R u+rwx " + shell_quote(path) + " 2>/dev/null; rm -rf " + shell_quote(path);
  if (std::system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string startup_lines() {
  // Lowering our own priority always succeeds on Linux.
  return "Priority set to IDLE_PRIORITY_CLASS\nZORBEL: v0.3 debug build\n";
}

std::string name_lines(const std::string &input, const std::string &base, const std::string &path) {
  return "Processing    : " + input + "\nBasefilename  : " + base + "\nPath          : " + path +
         "\nSRT Output    : " + path + base + ".srt\nSAMI Output   : " + path + base + ".smi\n";
}
