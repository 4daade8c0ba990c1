// Console trace: everything the run prints on standard output goes through one large
// buffer, formatted here without printf (the trace of a caption-dense stream is a large
// part of a run's work). Failed writes never stop the run: the trace stops at the first
// one and the run reports it at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct ConsoleBuffer {
  char *next;           // where the next byte goes
  char *flush_at;       // next may reach this, then the buffer is written out
  bool line_flush;      // standard output is a terminal: each line is shown as it ends
  bool write_failed;    // a write of standard output failed; nothing more is written
  bool dropped;         // an interrupt cut the trace short; nothing more is written
  bool quiet;           // --quiet: nothing is written, and failures go to standard error
};

extern ConsoleBuffer console;

// Room that every single append may take without a test of its own: the longest
// number, or one short piece of text.
constexpr size_t kConsoleSlack = 4096;

// Writes what the buffer holds to standard output. False once any write has failed.
bool console_flush();
// Start of a run: buffer written out, failure forgotten, terminal or not decided anew.
void console_reset();
// What waits in the buffer is never written: standard output turned out to be an output
// file, which the run must leave as it was.
void console_discard();
// Rare lines (start-up, usage, unusual codes) keep printf's formatting.
void console_printf(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A message on standard error, written at once (stderr is never buffered), with the same
// grace as the console's once an interrupt is pending.
void console_error(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A failure that the console reports (usage, an output that cannot be opened): on standard
// output with the trace, or on standard error when the run is quiet.
void console_failure(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A line on standard error that begins with the tool's name and ": ", as command-line tools
// report which file failed and why.
void console_diagnostic(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The name diagnostics begin with: the base name the tool was invoked under, without ".exe".
void set_program_name(const char *invoked_as);
const char *program_name();

inline void console_make_room() {
  if (console.next >= console.flush_at) console_flush();
}

inline void console_text(const char *text, size_t length) {
  if (length > kConsoleSlack) {
    console_flush();
    console_printf("%.*s", static_cast<int>(length), text);
    return;
  }
  memcpy(console.next, text, length);
  console.next += length;
  console_make_room();
}

template <size_t N>
inline void console_text(const char (&text)[N]) {
  console_text(text, N - 1);
  if (N > 1 && text[N - 2] == '\n' && console.line_flush) console_flush();
}

inline void console_puts(const char *text) {
  size_t length = strlen(text);
  console_text(text, length);
  if (length > 0 && text[length - 1] == '\n' && console.line_flush) console_flush();
}

// Two digits per step: "00" to "99", and "00" to "ff" for the 256 byte values.
extern const char kDecimalPairs[201];
extern const char kHexPairs[513];

// printf's "%0*d" into out: at least `width` characters (any width from 0), zeros after
// any minus sign.
// Gives the end of what was written.
inline char *put_decimal(char *out, int64_t value, int width = 1) {
  // Most numbers of the trace are rows, columns and parts of a time: up to three digits.
  if (value >= 0 && value < 1000 && width <= 3) {
    if (value < 100 && width <= 2) {
      if (value < 10 && width < 2) {
        *out = static_cast<char>('0' + value);
        return out + 1;
      }
      memcpy(out, kDecimalPairs + 2 * value, 2);
      return out + 2;
    }
    out[0] = static_cast<char>('0' + value / 100);
    memcpy(out + 1, kDecimalPairs + 2 * (value % 100), 2);
    return out + 3;
  }
  char digits[24];
  char *first = digits + sizeof digits;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  while (magnitude >= 100) {
    first -= 2;
    memcpy(first, kDecimalPairs + 2 * (magnitude % 100), 2);
    magnitude /= 100;
  }
  if (magnitude >= 10) {
    first -= 2;
    memcpy(first, kDecimalPairs + 2 * magnitude, 2);
  } else {
    *--first = static_cast<char>('0' + magnitude);
  }
  int count = static_cast<int>(digits + sizeof digits - first);
  if (value < 0) {
    *out++ = '-';
    width--;
  }
  for (int i = count; i < width; i++) *out++ = '0';
  memcpy(out, first, static_cast<size_t>(count));
  return out + count;
}

// printf's "%0*x" into out, at any width from 0.
inline char *put_hex(char *out, uint32_t value, int width) {
  // Width 0 is left out: printf writes 0 as "0" there, not as nothing.
  if (width > 0 && width <= 8 && (width == 8 || value >> (4 * width) == 0)) {
    // The usual case: the value fits the width, so the digits are written in place, a
    // byte at a time.
    int i = width;
    for (; i >= 2; i -= 2, value >>= 8) memcpy(out + i - 2, kHexPairs + 2 * (value & 0xFF), 2);
    if (i == 1) out[0] = kHexPairs[2 * value + 1];
    return out + width;
  }
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHexPairs[2 * (value & 0xF) + 1];
    value >>= 4;
  } while (value != 0);
  for (int i = count; i < width; i++) *out++ = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

// Text of a known length into out; gives the end of what was written.
template <size_t N>
inline char *put_text(char *out, const char (&text)[N]) {
  memcpy(out, text, N - 1);
  return out + N - 1;
}

// The lines that repeat per caption pair and per header are written in place: from
// console_line() up to kConsoleSlack bytes may be put, with put_text, put_decimal and
// put_hex, before console_end_line takes the end of the line. One test for room a line
// instead of one a piece.
inline char *console_line() { return console.next; }
inline void console_end_line(char *end) {
  console.next = end;
  if (console.line_flush) {
    console_flush();
  } else {
    console_make_room();
  }
}
