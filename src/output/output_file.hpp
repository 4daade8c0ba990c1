// Output file: a subtitle file written through a buffer of its own. A regular file is
// replaced in one step: the run writes a new file beside it and renames it over the earlier
// one only once it is complete and on the disk, so the name always holds a whole file (the
// earlier one, or this run's). Opened in two steps, so that a run which cannot open both
// files leaves both as they were.
#pragma once

#include <cstddef>
#include <string>

// As large as the console's writes: writes of 64 KiB to a file cost the kernel more per
// byte, and caption-dense runs write megabytes of captions.
constexpr size_t kOutputBufferSize = 256 * 1024;

struct OutputFile {
  const char *name;  // as the messages name it
  bool open;         // false in static storage before any reset
  int fd;
  // Written where it is: a device, or a file whose folder takes no new file (its old
  // content goes at the start).
  bool in_place;
  bool device;       // a device, which both outputs may well share (/dev/null)
  bool failed;       // a write failed, so the file is incomplete
  int error;         // the system's reason for the first failure (errno), or 0
  bool finished;     // written out and synced: only the close and the rename are left
  std::string target;  // the file that the name leads to, links followed
  std::string temp;    // the new file beside it, renamed over it at the close
  size_t fill;         // bytes of data waiting to be written
  char data[kOutputBufferSize];
};

// Not open, nothing failed.
void output_reset(OutputFile &file);
bool output_is_open(const OutputFile &file);
bool output_finished(const OutputFile &file);
// Opens for writing and changes nothing yet. False when it cannot; `error` then holds why.
bool output_open(OutputFile &file, const char *name);
// Both lead to one file (hard or symbolic links): each writer would overwrite the other.
bool output_same_file(const OutputFile &file, const OutputFile &other);
// Closes an output that was opened but never started; the earlier file stays as it was.
void output_abandon(OutputFile &file);
// From here on the file holds what the run writes.
void output_start(OutputFile &file);
void output_write(OutputFile &file, const char *text, size_t length);
// Writes out what waits and syncs it to the disk; the earlier file is still in place.
void output_finish(OutputFile &file);
// Finishes the file if that is not done, closes it and puts it in the earlier file's
// place. A file that could not be written whole leaves the earlier one in place instead,
// and gives false after "Error writing <name>" and the reason on stderr. Nothing when it is
// not open.
bool output_close(OutputFile &file);
