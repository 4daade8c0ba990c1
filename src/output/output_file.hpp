// Output file: a subtitle file written through a buffer of its own, opened in two steps so
// that a run which cannot open both files leaves both as they were.
#pragma once

#include <cstddef>

// As large as the console's writes: writes of 64 KiB to a file cost the kernel more per
// byte, and caption-dense runs write megabytes of captions.
constexpr size_t kOutputBufferSize = 256 * 1024;

struct OutputFile {
  const char *name;  // as the messages name it
  bool open;         // false in static storage before any reset
  int fd;
  bool created;      // the open created it: a run that ends before writing removes it again
  bool failed;       // a write failed, so the file is incomplete
  size_t fill;       // bytes of data waiting to be written
  char data[kOutputBufferSize];
};

// Not open, nothing failed.
void output_reset(OutputFile &file);
bool output_is_open(const OutputFile &file);
// Opens for writing, creating a missing file, and changes nothing yet. False when it cannot.
bool output_open(OutputFile &file, const char *name);
// Both are one regular file (hard or symbolic links): each writer would overwrite the other.
bool output_same_file(const OutputFile &file, const OutputFile &other);
// Closes an output that was opened but never started; a file that the open created is removed.
void output_abandon(OutputFile &file);
// The old content goes: from here on the file holds what the run writes.
void output_start(OutputFile &file);
void output_write(OutputFile &file, const char *text, size_t length);
// Writes out what waits and closes the file. False, after "Error writing <name>" on stderr,
// when any part of the file could not be written. Nothing when it is not open.
bool output_close(OutputFile &file);
