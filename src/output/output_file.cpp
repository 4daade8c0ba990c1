// Output file.
#include "output/output_file.hpp"

#include <cerrno>
#include <cstring>

#include "base/console.hpp"
#include "base/platform.hpp"

void output_reset(OutputFile &file) {
  file.name = nullptr;
  file.open = false;
  file.fd = -1;
  file.in_place = false;
  file.device = false;
  file.failed = false;
  file.error = 0;
  file.finished = false;
  file.target.clear();
  file.temp.clear();
  file.fill = 0;
}

bool output_is_open(const OutputFile &file) { return file.open; }
bool output_finished(const OutputFile &file) { return file.finished; }

bool output_open(OutputFile &file, const char *name) {
  output_reset(file);
  errno = 0;
  OutputKind kind = output_target(name, file.target);
  if (kind == OutputKind::device) {
    file.fd = open_in_place(file.target.c_str());
    file.in_place = file.device = true;
  } else if (kind == OutputKind::missing || kind == OutputKind::regular) {
    file.fd = create_replacement(file.target, file.temp);
    // A folder that takes no new file can still hold a file that may be written.
    if (file.fd < 0 && kind == OutputKind::regular) {
      file.temp.clear();
      file.fd = open_in_place(file.target.c_str());
      file.in_place = true;
    }
  }
  if (file.fd < 0) {
    int error = kind == OutputKind::other && errno == 0 ? EISDIR : errno;
    output_reset(file);
    file.error = error;
    return false;
  }
  file.open = true;
  file.name = name;
  return true;
}

bool output_same_file(const OutputFile &file, const OutputFile &other) {
  return output_is_open(file) && output_is_open(other) && !file.device && !other.device &&
         (file.target == other.target || same_existing_file(file.target.c_str(), other.target.c_str()));
}

void output_abandon(OutputFile &file) {
  if (!output_is_open(file)) return;
  close_output(file.fd);
  if (!file.temp.empty()) remove_output(file.temp.c_str());
  output_reset(file);
}

// The first failure is the one reported, with its reason.
static void fail(OutputFile &file) {
  if (!file.failed) file.error = errno;
  file.failed = true;
}

void output_start(OutputFile &file) {
  if (output_is_open(file) && file.in_place && !empty_output(file.fd)) fail(file);
}

static void write_out(OutputFile &file, const char *data, size_t length) {
  if (!file.failed && !write_output(file.fd, data, length)) fail(file);
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

void output_finish(OutputFile &file) {
  if (!output_is_open(file) || file.finished) return;
  write_out(file, file.data, file.fill);
  file.fill = 0;
  // A file system that fails when it writes the data back fails here, not silently later.
  if (!file.failed && !sync_output(file.fd)) fail(file);
  file.finished = true;
}

bool output_close(OutputFile &file) {
  if (!output_is_open(file)) return true;
  output_finish(file);
  if (!close_output(file.fd)) fail(file);
  if (!file.temp.empty()) {
    if (file.failed || !replace_output(file.temp.c_str(), file.target.c_str())) {
      fail(file);
      remove_output(file.temp.c_str());
    }
  }
  bool ok = !file.failed;
  if (!ok) {
    console_error("Error writing %s\n", file.name);
    if (file.error != 0) console_diagnostic("%s: %s\n", file.name, strerror(file.error));
  }
  output_reset(file);
  return ok;
}
