// Platform layer for Windows.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "app/platform.hpp"

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
  // A second request while the files are being finished ends the process at once.
  if (InterlockedExchange(&interrupt_event, 1) != 0) ExitProcess(1);
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

bool same_file(FILE *file, const char *name) {
  BY_HANDLE_FILE_INFORMATION file_info, name_info;
  if (!identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), file_info)) return false;
  HANDLE other = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  bool same = identity_of(other, name_info) && same_identity(file_info, name_info);
  CloseHandle(other);
  return same;
}

int open_output(const char *name, bool &created) {
  created = false;
  int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd >= 0) {
    created = true;
  } else if (errno == EEXIST) {
    fd = _open(name, _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  }
  return fd;
}

bool empty_output(int fd) { return !is_disk_file(fd) || _chsize_s(fd, 0) == 0; }

bool same_regular_file(int fd, int other_fd) {
  BY_HANDLE_FILE_INFORMATION a, b;
  return is_disk_file(fd) && identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), a) &&
         identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(other_fd)), b) && same_identity(a, b);
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

bool close_output(int fd) { return _close(fd) == 0; }

void remove_output(const char *name) { _unlink(name); }

bool console_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

ConsoleWrite write_console(const char *data, size_t length) {
  // Through stdio, so that a Windows console or file gets its text-mode line ends.
  if ((length > 0 && fwrite(data, 1, length, stdout) != length) || fflush(stdout) != 0) return ConsoleWrite::failed;
  return ConsoleWrite::written;
}
