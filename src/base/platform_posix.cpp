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
#include <cstring>
#include <string>
#include <initializer_list>

#include "base/platform.hpp"

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
    // The lowest free number is the one that is closed. Without a null device it stays
    // closed: the run's own files are placed above it, and a write to it fails as one to
    // a console that went away.
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != fd && null_fd >= 0) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

// A descriptor of the run's own files never takes the number of a standard one, even one
// left closed: the console's text would go into it.
static int above_standard(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

static void on_signal(int sig) {
  // The first request ends the run once the files are finished; later ones, of any kind,
  // must not cut that short.
  if (!interrupt_signal) interrupt_signal = sig;
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
  int fd = above_standard(open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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

static bool same_file(int fd, const char *name) {
  struct stat file_info, name_info;
  return fstat(fd, &file_info) == 0 && stat(name, &name_info) == 0 && file_info.st_dev == name_info.st_dev &&
         file_info.st_ino == name_info.st_ino;
}

bool same_file(FILE *file, const char *name) { return same_file(fileno(file), name); }

bool standard_descriptor_is(int fd, const char *name) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && same_file(fd, name);
}

OutputKind output_target(const char *name, std::string &target) {
  target = name;
  // As open() follows links, to the file at the end of the chain, made if it is missing.
  for (int links = 0; links < 40; links++) {
    struct stat info;
    if (lstat(target.c_str(), &info) != 0) return errno == ENOENT ? OutputKind::missing : OutputKind::other;
    if (!S_ISLNK(info.st_mode)) {
      if (S_ISREG(info.st_mode)) return OutputKind::regular;
      if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return OutputKind::device;
      if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return OutputKind::pipe;
      return OutputKind::other;
    }
    std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1, '\0');
    ssize_t length = readlink(target.c_str(), &link[0], link.size());
    if (length < 0 || static_cast<size_t>(length) >= link.size()) return OutputKind::other;
    link.resize(static_cast<size_t>(length));
    // A relative link is relative to the folder that holds it.
    size_t slash = target.rfind('/');
    target = link[0] == '/' || slash == std::string::npos ? link : target.substr(0, slash + 1) + link;
  }
  return OutputKind::other;
}

int create_replacement(const std::string &target, std::string &temp) {
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string pid = std::to_string(static_cast<long>(getpid()));
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; attempt++) {
    std::string suffix = ".incomplete-" + pid + (attempt > 0 ? "-" + std::to_string(attempt) : "");
    temp = target + suffix;
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    // A name at the system's limit leaves no room for the suffix.
    if (fd < 0 && errno == ENAMETOOLONG) {
      temp = folder + "zorbel" + suffix;
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    if (fd < 0 && errno != EEXIST) return -1;
  }
  struct stat earlier;
  if (fd >= 0 && stat(target.c_str(), &earlier) == 0 && S_ISREG(earlier.st_mode)) fchmod(fd, earlier.st_mode & 07777);
  return above_standard(fd);
}

int open_in_place(const char *target) {
  // O_NONBLOCK: a FIFO that took the name meanwhile fails at once instead of waiting.
  int fd = above_standard(open(target, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
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

bool same_existing_file(const char *name, const char *other) {
  struct stat a, b;
  return stat(name, &a) == 0 && stat(other, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

static bool is_regular(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

int64_t monotonic_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Writes all bytes to fd. Once an interrupt is pending, what is not a regular file has
// until give_up_at (set at the first such write: a second from then) to take the rest.
static ConsoleWrite write_all(int fd, const char *data, size_t length, int64_t &give_up_at) {
  constexpr int64_t kGraceMs = 1000;
  bool bounded = false;
  while (length > 0) {
    size_t piece = length;
    if (interrupt_signal && (bounded || !is_regular(fd))) {
      bounded = true;
      if (give_up_at < 0) give_up_at = monotonic_ms() + kGraceMs;
      int64_t left = give_up_at - monotonic_ms();
      // A pipe that polls writable takes PIPE_BUF bytes without waiting.
      pollfd ready{fd, POLLOUT, 0};
      if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1) return ConsoleWrite::dropped;
      if (piece > PIPE_BUF) piece = PIPE_BUF;
    }
    ssize_t written = write(fd, data, piece);
    if (written < 0) {
      if (errno == EINTR) continue;  // the pending interrupt decides above
      return ConsoleWrite::failed;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return ConsoleWrite::written;
}

bool write_output(int fd, const char *data, size_t length) {
  static int64_t give_up_at = -1;
  return write_all(fd, data, length, give_up_at) == ConsoleWrite::written;
}

bool sync_output(int fd) {
  // A file system that cannot sync says so with EINVAL; there is nothing more to do there.
  return !is_regular(fd) || fsync(fd) == 0 || errno == EINVAL;
}

bool close_output(int fd) { return close(fd) == 0; }

bool replace_output(const char *temp, const char *target) {
  if (rename(temp, target) != 0) return false;
  // The new name must reach the disk too, or a crash could bring the earlier file back
  // after a run that ended with status 0.
  const char *slash = strrchr(target, '/');
  std::string folder = slash == nullptr ? "." : slash == target ? "/" : std::string(target, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  bool synced = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return synced;
}

void remove_output(const char *name) { unlink(name); }

bool console_is_terminal() { return isatty(STDOUT_FILENO) != 0; }
bool error_console_is_terminal() { return isatty(STDERR_FILENO) != 0; }

ConsoleWrite write_console(const char *data, size_t length) {
  static int64_t give_up_at = -1;
  return write_all(STDOUT_FILENO, data, length, give_up_at);
}

void write_error_console(const char *data, size_t length) {
  static int64_t give_up_at = -1;
  write_all(STDERR_FILENO, data, length, give_up_at);
}
