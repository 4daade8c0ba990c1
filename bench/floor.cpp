// The floor of a run: the input read with read() in the reader's chunk size and every
// start code passed over by the reader's own search (its fastest kernels), nothing else.
// One thread that reads this way cannot go faster; bench/run.sh holds zorbel against it.
// With a trace size it also writes that many bytes to standard output, in the console's
// 256 KiB pieces spread evenly over the reading: the floor of a run that writes that trace.
// With -m the file is read where it lies, in the reader's 4 MiB mapped windows, as zorbel
// reads a regular file; the rest within a window of the end is read.
//
//   floor [-m] FILE [TRACE_BYTES]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mpeg/start_code_search.hpp"

// One piece of the trace, at most `size` bytes of it.
static bool write_trace(const char *trace, size_t size, long long &left) {
  size_t piece = left < static_cast<long long>(size) ? static_cast<size_t>(left) : size;
  left -= static_cast<long long>(piece);
  return write(1, trace, piece) == static_cast<ssize_t>(piece);
}

int main(int argc, char **argv) {
  bool mapped = argc > 1 && strcmp(argv[1], "-m") == 0;
  if (mapped) {
    argv[1] = argv[0];
    argv++;
    argc--;
  }
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: %s [-m] FILE [TRACE_BYTES]\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    perror(argv[1]);
    return 1;
  }
  long long trace_left = argc == 3 ? atoll(argv[2]) : 0;
  constexpr size_t kTracePiece = size_t{1} << 18;
  static char trace[kTracePiece];
  memset(trace, '.', sizeof trace);
  // A piece of trace after every this many bytes of input.
  long long pieces = (trace_left + kTracePiece - 1) / kTracePiece;
  long long input_per_piece = pieces > 0 ? info.st_size / pieces + 1 : 0;
  long long input_since_piece = 0;

  constexpr size_t kChunk = 64 * 2048;
  constexpr size_t kCarry = 3;  // a code may begin in the last three bytes of a chunk
  static uint8_t buffer[kCarry + kChunk + kSearchSlack];
  static const bool kNone[256] = {};
  uint64_t passed = 0;
  size_t carried = 0;
  // Mapped windows, each searched whole; a code cut by a window's end is left to the
  // next (a floor, not a reader).
  constexpr size_t kWindow = size_t{4} << 20;
  for (off_t offset = 0; mapped && info.st_size - offset >= static_cast<off_t>(kWindow + kSearchSlack);
       offset += kWindow) {
    void *window = mmap(nullptr, kWindow + kSearchSlack, PROT_READ, MAP_SHARED, fd, offset);
    if (window == MAP_FAILED) {
      perror(argv[1]);
      return 1;
    }
    size_t resume;
    if (find_acted_code(static_cast<const uint8_t *>(window), kWindow, kNone, resume) != kWindow) return 1;
    passed += resume;
    munmap(window, kWindow + kSearchSlack);
    input_since_piece += static_cast<long long>(kWindow);
    for (; trace_left > 0 && input_since_piece >= input_per_piece; input_since_piece -= input_per_piece)
      if (!write_trace(trace, kTracePiece, trace_left)) return 1;
    if (lseek(fd, offset + static_cast<off_t>(kWindow), SEEK_SET) < 0) return 1;
  }
  for (;;) {
    ssize_t got = read(fd, buffer + carried, kChunk);
    if (got < 0) {
      perror(argv[1]);
      return 1;
    }
    if (got == 0) break;
    size_t n = carried + static_cast<size_t>(got);
    memset(buffer + n, 0xFF, kSearchSlack);  // nothing past the data may count
    // No code is acted on: the search passes over every one, as the reader passes over
    // those it does not act on.
    size_t resume;
    if (find_acted_code(buffer, n, kNone, resume) != n) return 1;
    passed += resume;
    memmove(buffer, buffer + n - kCarry, kCarry);
    carried = kCarry;
    input_since_piece += got;
    if (trace_left > 0 && input_since_piece >= input_per_piece) {
      if (!write_trace(trace, kTracePiece, trace_left)) return 1;
      input_since_piece = 0;
    }
  }
  while (trace_left > 0)
    if (!write_trace(trace, kTracePiece, trace_left)) return 1;
  close(fd);
  // What the searches found is used, so that no compiler leaves them out.
  return passed == ~uint64_t{0} ? 1 : 0;
}
