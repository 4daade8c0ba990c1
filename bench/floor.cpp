// The floor of a run: the input read with read() in the reader's chunk size and every
// start code passed over by the reader's own search (its fastest kernels), nothing else.
// One thread that reads this way cannot go faster; bench/run.sh holds zorbel against it.
// With a trace size it also writes that many bytes to standard output, in the console's
// 256 KiB pieces spread evenly over the reading: the floor of a run that writes that trace.
//
//   floor FILE [TRACE_BYTES]
#include <fcntl.h>
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
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: %s FILE [TRACE_BYTES]\n", argv[0]);
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
