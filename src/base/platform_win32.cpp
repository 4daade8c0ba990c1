// Platform layer for Windows.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "base/platform.hpp"

static volatile LONG interrupt_event = 0;

bool request_idle_priority() { return SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS) != 0; }

void guard_standard_descriptors() {
  static const struct {
    FILE *stream;
    const char *mode;
  } kStandard[3] = {{stdin, "r"}, {stdout, "w"}, {stderr, "w"}};
  for (int fd = 0; fd <= 2; fd++) {
    // A process started without standard handles (detached, or with them closed) gets
    // the null device, as the C library would give a closed descriptor nothing.
    if (_get_osfhandle(fd) >= 0 && _fileno(kStandard[fd].stream) == fd) continue;
    if (!freopen("NUL", kStandard[fd].mode, kStandard[fd].stream)) continue;
    int now = _fileno(kStandard[fd].stream);
    if (now != fd && now >= 0) _dup2(now, fd);
  }
}

static BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  // The first request ends the run once the files are finished; later ones must not cut
  // that short.
  InterlockedExchange(&interrupt_event, 1);
  // Windows ends the process when this handler returns from a close event; the main
  // thread finishes the files meanwhile and ends the process itself.
  if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
  return TRUE;
}

void install_interrupt_handlers() {
  interrupt_event = 0;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool interrupt_requested() { return interrupt_event != 0; }

// The console events have no signal to end by; the caller's exit status stands.
void raise_interrupt() {}

const char kPathSeparator = '\\';

bool slash_d_argument_is_a_path(const char *) { return false; }

static bool is_disk_file(int fd) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

FILE *open_input(const char *name, bool &not_a_file) {
  not_a_file = false;
  FILE *file = fopen(name, "rb");
  // Pipes and character devices (NUL, CON, serial ports) cannot be rewound.
  if (file && !is_disk_file(_fileno(file))) {
    fclose(file);
    not_a_file = true;
    return nullptr;
  }
  return file;
}

int64_t regular_file_size(FILE *file) {
  struct _stat64 info;
  if (!file || _fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
  return static_cast<int64_t>(info.st_size);
}

static bool identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info) {
  return handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
}

static bool same_identity(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Opens name for its attributes alone; INVALID_HANDLE_VALUE when it cannot.
static HANDLE handle_of_name(const char *name) {
  return CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

static bool same_file(HANDLE handle, const char *name) {
  BY_HANDLE_FILE_INFORMATION file_info, name_info;
  if (!identity_of(handle, file_info)) return false;
  HANDLE other = handle_of_name(name);
  if (other == INVALID_HANDLE_VALUE) return false;
  bool same = identity_of(other, name_info) && same_identity(file_info, name_info);
  CloseHandle(other);
  return same;
}

bool same_file(FILE *file, const char *name) {
  return same_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), name);
}

bool standard_descriptor_is(int fd, const char *name) {
  return is_disk_file(fd) && same_file(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), name);
}

OutputKind output_target(const char *name, std::string &target) {
  target = name;
  HANDLE handle = handle_of_name(name);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? OutputKind::missing : OutputKind::other;
  }
  OutputKind kind = OutputKind::other;
  BY_HANDLE_FILE_INFORMATION info;
  switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
      if (identity_of(handle, info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) kind = OutputKind::regular;
      break;
    case FILE_TYPE_CHAR: kind = OutputKind::device; break;  // NUL, CON, a serial port
    case FILE_TYPE_PIPE: kind = OutputKind::pipe; break;
    default: break;
  }
  CloseHandle(handle);
  return kind;
}

int create_replacement(const std::string &target, std::string &temp) {
  std::string pid = std::to_string(static_cast<unsigned long>(GetCurrentProcessId()));
  for (int attempt = 0; attempt < 100; attempt++) {
    temp = target + ".incomplete-" + pid + (attempt > 0 ? "-" + std::to_string(attempt) : "");
    int fd = _open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
  }
  return -1;
}

int open_in_place(const char *target) { return _open(target, _O_WRONLY | _O_BINARY | _O_NOINHERIT); }

bool empty_output(int fd) { return !is_disk_file(fd) || _chsize_s(fd, 0) == 0; }

bool same_existing_file(const char *name, const char *other) {
  HANDLE handle = handle_of_name(name);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool same = same_file(handle, other);
  CloseHandle(handle);
  return same;
}

bool write_output(int fd, const char *data, size_t length) {
  while (length > 0) {
    unsigned piece = length > (1u << 30) ? (1u << 30) : static_cast<unsigned>(length);
    int written = _write(fd, data, piece);
    if (written <= 0) return false;
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool sync_output(int fd) {
  return !is_disk_file(fd) || FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

bool close_output(int fd) { return _close(fd) == 0; }

bool replace_output(const char *temp, const char *target) {
  // Replaced in one step, and not reported done before the new entry is on the disk.
  return MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void remove_output(const char *name) { _unlink(name); }

// A console window, not just any character device: _isatty also says so of NUL.
bool console_is_terminal() {
  DWORD mode;
  return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))), &mode) != 0;
}

bool error_console_is_terminal() {
  DWORD mode;
  return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))), &mode) != 0;
}

int64_t monotonic_ms() { return static_cast<int64_t>(GetTickCount64()); }

ConsoleWrite write_console(const char *data, size_t length) {
  // The C library leaves a stream on a character device (NUL) unbuffered and writes it a
  // byte per system call; buffered, each piece goes out in a few writes. The console
  // layer flushes after every piece, so nothing waits in this buffer.
  static bool buffered = false;
  if (!buffered) {
    setvbuf(stdout, nullptr, _IOFBF, size_t{1} << 16);
    buffered = true;
  }
  // Through stdio, so that a Windows console or file gets its text-mode line ends.
  if ((length > 0 && fwrite(data, 1, length, stdout) != length) || fflush(stdout) != 0) return ConsoleWrite::failed;
  return ConsoleWrite::written;
}

void write_error_console(const char *data, size_t length) {
  fwrite(data, 1, length, stderr);
  fflush(stderr);
}
