// Output file.
#include "output/output_file.hpp"

#include <cstdio>
#include <cstring>

#include "app/platform.hpp"

void output_reset(OutputFile &file) {
  file.name = nullptr;
  file.open = false;
  file.fd = -1;
  file.created = false;
  file.failed = false;
  file.fill = 0;
}

bool output_is_open(const OutputFile &file) { return file.open; }

bool output_open(OutputFile &file, const char *name) {
  output_reset(file);
  file.fd = open_output(name, file.created);
  if (file.fd < 0) return false;
  file.open = true;
  file.name = name;
  return true;
}

bool output_same_file(const OutputFile &file, const OutputFile &other) {
  return output_is_open(file) && output_is_open(other) && same_regular_file(file.fd, other.fd);
}

void output_abandon(OutputFile &file) {
  if (!output_is_open(file)) return;
  close_output(file.fd);
  if (file.created) remove_output(file.name);
  output_reset(file);
}

void output_start(OutputFile &file) {
  if (output_is_open(file) && !empty_output(file.fd)) file.failed = true;
}

static void write_out(OutputFile &file, const char *data, size_t length) {
  if (!file.failed && !write_output(file.fd, data, length)) file.failed = true;
}

void output_write(OutputFile &file, const char *text, size_t length) {
  if (!output_is_open(file)) return;  // an in-process harness may decode without outputs
  if (file.fill + length > kOutputBufferSize) {
    write_out(file, file.data, file.fill);
    file.fill = 0;
    if (length > kOutputBufferSize) {
      write_out(file, text, length);
      return;
    }
  }
  memcpy(file.data + file.fill, text, length);
  file.fill += length;
}

bool output_close(OutputFile &file) {
  if (!output_is_open(file)) return true;
  write_out(file, file.data, file.fill);
  if (!close_output(file.fd)) file.failed = true;
  bool ok = !file.failed;
  if (!ok) fprintf(stderr, "Error writing %s\n", file.name);
  output_reset(file);
  return ok;
}
