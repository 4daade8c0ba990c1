// The test-support layer: temporary folders and the runners of the built binary.
#include "test_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

// Whether sig, sent to the process, waits there still: not yet taken by its handler.
static bool pending(pid_t pid, int sig) {
  std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("ShdPnd:");
  return at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> (sig - 1) & 1) != 0;
}

PipedRun run_piped(const std::string &dir, const std::string &input, const PipedConsole &console) {
  int fds[2];
  if (pipe(fds) != 0) abort();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(fds[1], 1);
    dup2(console.errors_in_console ? 1 : open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    close(fds[0]);
    close(fds[1]);
    // The run starts as from a shell, whatever the test process ignores or blocks.
    for (int sig : console.signals) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl(ZORBEL_BINARY, "zorbel", input.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  Clock::time_point ready_at{}, sent_at{};
  bool ready = false;
  size_t sent = 0;
  PipedRun run;
  char chunk[65536];
  for (;;) {
    if (!ready && (ready = console.ready(run.out))) ready_at = Clock::now();
    // Each signal once the one before has been taken: of two pending at once, the handler
    // of the higher number runs first, whichever was sent first.
    if (ready && sent < console.signals.size() && (sent == 0 || !pending(pid, console.signals[sent - 1])) &&
        Clock::now() >= ready_at + std::chrono::milliseconds(console.delay_ms + 10 * static_cast<int>(sent))) {
      if (sent == 0) sent_at = Clock::now();
      kill(pid, console.signals[sent++]);
    }
    // A piece at a time, so that `ready` sees the console grow.
    pollfd readable{fds[0], POLLIN, 0};
    if (!console.read) {
      usleep(1000);
    } else if (poll(&readable, 1, 1) > 0) {
      ssize_t got = read(fds[0], chunk, sizeof chunk);
      if (got > 0) run.out.append(chunk, static_cast<size_t>(got));
    }
    if (waitpid(pid, &run.status, WNOHANG) == pid) break;
    if (Clock::now() > deadline) kill(pid, SIGKILL);
  }
  if (sent > 0) run.seconds = std::chrono::duration<double>(Clock::now() - sent_at).count();
  for (ssize_t got; (got = read(fds[0], chunk, sizeof chunk)) > 0;) run.out.append(chunk, static_cast<size_t>(got));
  close(fds[0]);
  run.err = read_file(dir + "/.stderr");
  unlink((dir + "/.stderr").c_str());
  return run;
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
