// Console trace buffer.
#include "app/console.hpp"

#include <cstdarg>
#include <cstdio>

#include "app/platform.hpp"

// 1 MiB per write keeps the number of system calls small next to the trace's size.
constexpr size_t kConsoleSize = size_t{1} << 20;
static char console_storage[kConsoleSize + kConsoleSlack];

ConsoleBuffer console = {console_storage, console_storage + kConsoleSize, false, false, false};

bool console_flush() {
  size_t length = static_cast<size_t>(console.next - console_storage);
  console.next = console_storage;
  if (console.write_failed || console.dropped || length == 0) return !console.write_failed;
  switch (write_console(console_storage, length)) {
    case ConsoleWrite::written:
      break;
    case ConsoleWrite::failed:
      console.write_failed = true;
      break;
    case ConsoleWrite::dropped:
      // The run is ending by an interrupt; the trace it cuts short is no failure.
      console.dropped = true;
      break;
  }
  return !console.write_failed;
}

void console_reset() {
  console_flush();
  console.write_failed = false;
  console.dropped = false;
  console.line_flush = console_is_terminal();
}

void console_printf(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  size_t room = static_cast<size_t>(console.flush_at + kConsoleSlack - console.next);
  va_list copy;
  va_copy(copy, arguments);
  int length = vsnprintf(console.next, room, format, copy);
  va_end(copy);
  if (length >= 0 && static_cast<size_t>(length) < room) {
    console.next += length;
    console_make_room();
  } else if (length >= 0 && console_flush() && !console.dropped) {
    // Longer than the buffer can take (a very long file name): straight to stdout.
    if (vfprintf(stdout, format, arguments) < 0 || fflush(stdout) != 0) console.write_failed = true;
  }
  va_end(arguments);
  if (console.line_flush && length > 0 && format[strlen(format) - 1] == '\n') console_flush();
}
