// The test-support layer: temporary folders and the runner of the built binary.
#include "test_support.hpp"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "stream_builder.hpp"

RunResult run_line(const std::string &dir, const std::string &line, int time_limit) {
  // Appended to any inherited sanitizer options, so that these win.
  std::string command = "cd " + shell_quote(dir) +
                        " && ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}exitcode=86\""
                        " UBSAN_OPTIONS=\"${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}exitcode=87:halt_on_error=1:print_stacktrace=1\""
                        " ZORBEL=" + shell_quote(ZORBEL_BINARY) + " timeout -k 5 " + std::to_string(time_limit) +
                        " sh -c " + shell_quote(line) + " >.stdout 2>.stderr </dev/null";
  int raw = std::system(command.c_str());
  RunResult run{-1, 0, false, read_file(dir + "/.stdout"), read_file(dir + "/.stderr")};
  unlink((dir + "/.stdout").c_str());
  unlink((dir + "/.stderr").c_str());
  // A death by signal comes back as the signal or, through a shell, as 128 + n; timeout
  // ends with 124 at the limit, and is killed (128 + 9) when it cannot stop its command.
  int code = raw == -1 ? -1 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  if (code == 124 || code == 137)
    run.timed_out = true;
  else if (code > 128)
    run.signal = code - 128;
  else
    run.status = code;
  return run;
}

RunResult run_zorbel(const std::vector<std::string> &arguments, const std::string &dir, int time_limit) {
  std::string line = "exec \"$ZORBEL\"";
  for (const std::string &argument : arguments) line += " " + shell_quote(argument);
  return run_line(dir, line, time_limit);
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

std::string shell_quote(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

std::string source_path(const std::string &relative) { return std::string(ZORBEL_SOURCE_DIR) + "/" + relative; }

std::vector<std::string> listing(const std::string &dir) {
  std::vector<std::string> names;
  DIR *stream = opendir(dir.c_str());
  if (!stream) return {"(cannot list " + dir + ")"};
  while (const dirent *entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}
