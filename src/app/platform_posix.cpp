// Platform layer for POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "app/platform.hpp"

// The signal that asked the run to stop, or 0. Only the handler sets it.
static volatile sig_atomic_t interrupt_signal = 0;

bool request_idle_priority() {
#if defined(SCHED_IDLE)
  sched_param param{};
  param.sched_priority = 0;
  return sched_setscheduler(0, SCHED_IDLE, &param) == 0;
#else
  return setpriority(PRIO_PROCESS, 0, 19) == 0;
#endif
}

void guard_standard_descriptors() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is the one that is closed.
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != fd && null_fd >= 0) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

static void on_signal(int sig) {
  if (interrupt_signal) {
    // A second request while the files are being finished ends the process at once.
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  interrupt_signal = sig;
}

void install_interrupt_handlers() {
  interrupt_signal = 0;
  // A reader that goes away (a closed pipe) or a file-size limit must not end the run: the
  // write fails, the files are finished and the failure is reported at the end.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    struct sigaction previous {};
    sigaction(sig, nullptr, &previous);
    // A signal that the caller chose to ignore (nohup, a background job) stays ignored.
    if (previous.sa_handler == SIG_IGN) continue;
    action.sa_handler = on_signal;
    // No SA_RESTART: a console write that waits on a pipe nobody reads must end when the
    // signal comes. Output writes go on by themselves (write_output).
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

bool interrupt_requested() { return interrupt_signal != 0; }

void raise_interrupt() {
  if (!interrupt_signal) return;
  signal(interrupt_signal, SIG_DFL);
  raise(interrupt_signal);
}

const char kPathSeparator = '/';

bool slash_d_argument_is_a_path(const char *argument) {
  struct stat info;
  return stat(argument, &info) == 0;
}

static bool may_block(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode); }

FILE *open_input(const char *name, bool &not_a_file) {
  not_a_file = false;
  struct stat info;
  if (stat(name, &info) == 0 && may_block(info.st_mode)) {
    not_a_file = true;
    return nullptr;
  }
  // Without O_NONBLOCK, opening a FIFO that took the name meanwhile would wait for a writer.
  int fd = open(name, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  if (fstat(fd, &info) != 0 || may_block(info.st_mode)) {
    not_a_file = true;
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE *file = fdopen(fd, "rb");
  if (!file) close(fd);
  return file;
}

int64_t regular_file_size(FILE *file) {
  struct stat info;
  if (!file || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool same_file(FILE *file, const char *name) {
  struct stat file_info, name_info;
  return fstat(fileno(file), &file_info) == 0 && stat(name, &name_info) == 0 && file_info.st_dev == name_info.st_dev &&
         file_info.st_ino == name_info.st_ino;
}

int open_output(const char *name, bool &created) {
  created = false;
  // O_NONBLOCK: a FIFO without a reader fails at once instead of waiting.
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK, 0666);
  if (fd >= 0) {
    created = true;
  } else if (errno == EEXIST) {
    // A symbolic link to a file that does not exist yet is followed, and the file created.
    struct stat info;
    bool dangling = stat(name, &info) != 0 && errno == ENOENT;
    fd = open(name, O_WRONLY | O_CREAT | O_NONBLOCK, 0666);
    created = dangling && fd >= 0;
  }
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool empty_output(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return false;
  return !S_ISREG(info.st_mode) || ftruncate(fd, 0) == 0;
}

bool same_regular_file(int fd, int other_fd) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && fstat(other_fd, &b) == 0 && S_ISREG(a.st_mode) && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool write_output(int fd, const char *data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool close_output(int fd) { return close(fd) == 0; }

void remove_output(const char *name) {
  // The file that a link led to goes, and the link stays, as it was before the run.
  struct stat info;
  if (lstat(name, &info) == 0 && S_ISLNK(info.st_mode)) {
    char *target = realpath(name, nullptr);
    if (target) unlink(target);
    free(target);
    return;
  }
  unlink(name);
}

bool console_is_terminal() { return isatty(STDOUT_FILENO) != 0; }

static int64_t now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

ConsoleWrite write_console(const char *data, size_t length) {
  // Once an interrupt is pending, the console has this long to take the rest of the trace.
  constexpr int64_t kGraceMs = 1000;
  static int64_t give_up_at = -1;
  while (length > 0) {
    size_t piece = length;
    if (interrupt_signal) {
      if (give_up_at < 0) give_up_at = now_ms() + kGraceMs;
      int64_t left = give_up_at - now_ms();
      // A pipe that polls writable takes PIPE_BUF bytes without waiting.
      pollfd ready{STDOUT_FILENO, POLLOUT, 0};
      if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) return ConsoleWrite::dropped;
      if (piece > PIPE_BUF) piece = PIPE_BUF;
    }
    ssize_t written = write(STDOUT_FILENO, data, piece);
    if (written < 0) {
      if (errno == EINTR) continue;  // the pending interrupt decides above
      return ConsoleWrite::failed;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return ConsoleWrite::written;
}
