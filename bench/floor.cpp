// The floor of a run: the input read with read() in the reader's chunk size and every
// start-code prefix found with the reader's fastest search kernel, nothing else. One thread
// that reads this way cannot go faster; bench/run.sh holds zorbel against it.
//
//   floor FILE    prints the number of prefixes
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mpeg/start_code_search.hpp"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  constexpr size_t kChunk = 64 * 2048;
  constexpr size_t kCarry = 2;  // a prefix may begin in the last two bytes of a chunk
  static uint8_t buffer[kCarry + kChunk + kSearchSlack];
  uint64_t prefixes = 0;
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
    // Each search goes on after the prefix it found, as the reader's does.
    for (size_t at = 0;;) {
      at += find_prefix(buffer + at, n - at);
      if (at + 3 > n) break;
      prefixes++;
      at += 3;
    }
    memmove(buffer, buffer + n - kCarry, kCarry);
    carried = kCarry;
  }
  close(fd);
  printf("%llu start-code prefixes\n", static_cast<unsigned long long>(prefixes));
  return 0;
}
