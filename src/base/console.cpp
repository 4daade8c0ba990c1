// Console trace buffer.
#include "base/console.hpp"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/platform.hpp"

// 256 KiB per write keeps the number of system calls small next to the trace's size, and
// the buffer in the processor's cache while the kernel copies it: 1 MiB measured slower.
constexpr size_t kConsoleSize = size_t{1} << 18;
static char console_storage[kConsoleSize + kConsoleSlack];

const char kDecimalPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

const char kHexPairs[513] =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f"
    "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"
    "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
    "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
    "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf"
    "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

ConsoleBuffer console = {console_storage, console_storage + kConsoleSize, false, false, false, false};

bool console_flush() {
  size_t length = static_cast<size_t>(console.next - console_storage);
  console.next = console_storage;
  if (console.write_failed || console.dropped || console.quiet || length == 0) return !console.write_failed;
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

void console_discard() { console.next = console_storage; }

void console_reset() {
  console_flush();
  console.write_failed = false;
  console.dropped = false;
  console.line_flush = console_is_terminal() && !console.quiet;
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
  } else if (length >= 0 && console_flush() && !console.dropped && !console.quiet) {
    // Longer than the buffer can take (a very long file name): straight to stdout.
    if (vfprintf(stdout, format, arguments) < 0 || fflush(stdout) != 0) console.write_failed = true;
  }
  va_end(arguments);
  if (console.line_flush && length > 0 && format[strlen(format) - 1] == '\n') console_flush();
}

// The text of a format and its arguments, at any length.
static std::string formatted(const char *format, va_list arguments) {
  char text[1024];
  va_list copy;
  va_copy(copy, arguments);
  int length = vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  if (length < 0) return "";
  if (static_cast<size_t>(length) < sizeof text) return std::string(text, static_cast<size_t>(length));
  // Longer than the buffer (a very long file name): formatted again at its full length.
  std::string long_text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&long_text[0], long_text.size(), format, arguments);
  long_text.resize(static_cast<size_t>(length));
  return long_text;
}

void console_error(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = formatted(format, arguments);
  va_end(arguments);
  write_error_console(text.data(), text.size());
}

void console_failure(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = formatted(format, arguments);
  va_end(arguments);
  if (console.quiet) {
    write_error_console(text.data(), text.size());
  } else {
    console_text(text.data(), text.size());
    if (console.line_flush) console_flush();
  }
}

static std::string tool_name = "zorbel";

void set_program_name(const char *invoked_as) {
  std::string name = invoked_as ? invoked_as : "";
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 4) {
    std::string extension = name.substr(name.size() - 4);
    for (char &c : extension) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (extension == ".exe") name.resize(name.size() - 4);
  }
  tool_name = name.empty() ? "zorbel" : name;
}

const char *program_name() { return tool_name.c_str(); }

void console_diagnostic(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = tool_name + ": " + formatted(format, arguments);
  va_end(arguments);
  write_error_console(text.data(), text.size());
}
