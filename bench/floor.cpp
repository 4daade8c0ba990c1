// The floor of a run: the input read with read() in the reader's chunk size and every
// start code passed over by the reader's own search (its fastest kernels), nothing else.
// One thread that reads this way cannot go faster; bench/run.sh holds zorbel against it.
// With a trace size it also writes that many bytes to standard output, in the console's
// 256 KiB pieces spread evenly over the reading: the floor of a run that writes that trace.
// With --packets the input is a program stream whose packs and packet headers are walked,
// and only the payloads of video packets are searched: the least that a reader of such a
// file must do, which passes over the other packets by their lengths.
// With --transport the input is a transport stream (188- or 192-byte packets): the PAT and
// PMT give the video stream, and only the payloads of its packets are searched, each on its
// own, the PES headers passed over.
// With --acted the search stops at every code that zorbel's scanner acts on (sequence
// header, sequence end, group of pictures) and goes on after it, doing nothing there: the
// least that a reader which must find those codes does.
//
//   floor [--packets | --transport] [--acted] FILE [TRACE_BYTES]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mpeg/start_code_search.hpp"
#include "mpeg/start_codes.hpp"

namespace {

constexpr size_t kChunk = 64 * 2048;
const bool kNone[256] = {};
const bool (*acted_on)[256] = &kNone;

// Every code of s[0, n) passed over, the search stopping at each acted-on one and going on
// after it.
void pass_codes(const uint8_t *s, size_t n, uint64_t &passed) {
  size_t resume;
  for (size_t found; (found = find_acted_code(s, n, *acted_on, resume)) != n;) {
    passed += found;
    s += found + 4;
    n -= found + 4;
  }
  passed += resume;
}

// The trace, a piece after every `input_per_piece` bytes of input.
struct Trace {
  static constexpr size_t kPiece = size_t{1} << 18;
  char bytes[kPiece];
  long long left;
  long long input_per_piece;
  long long input_since_piece;

  // One piece of the trace, at most kPiece bytes of it.
  bool write_piece() {
    size_t piece = left < static_cast<long long>(kPiece) ? static_cast<size_t>(left) : kPiece;
    left -= static_cast<long long>(piece);
    return write(1, bytes, piece) == static_cast<ssize_t>(piece);
  }
  bool after_input(ssize_t got) {
    input_since_piece += got;
    if (left <= 0 || input_since_piece < input_per_piece) return true;
    input_since_piece = 0;
    return write_piece();
  }
  bool finish() {
    while (left > 0)
      if (!write_piece()) return false;
    return true;
  }
};
Trace trace;

// Every code of the file passed over. False on a failed read.
bool search_all(int fd, uint64_t &passed) {
  constexpr size_t kCarry = 3;  // a code may begin in the last three bytes of a chunk
  static uint8_t buffer[kCarry + kChunk + kSearchSlack];
  size_t carried = 0;
  for (;;) {
    ssize_t got = read(fd, buffer + carried, kChunk);
    if (got < 0) return false;
    if (got == 0) return true;
    size_t n = carried + static_cast<size_t>(got);
    memset(buffer + n, 0xFF, kSearchSlack);  // nothing past the data may count
    // Without --acted no code is acted on: the search passes over every one, as the reader
    // passes over those it does not act on.
    pass_codes(buffer, n, passed);
    memmove(buffer, buffer + n - kCarry, kCarry);
    carried = kCarry;
    if (!trace.after_input(got)) return false;
  }
}

// The codes of the video payloads passed over, the packs and packets walked by their
// headers. A packet is searched once it lies whole in the buffer. False on a failed read
// or where the system layer holds no code.
bool search_video_payloads(int fd, uint64_t &passed) {
  constexpr size_t kLongestPacket = 6 + 65535;
  static uint8_t buffer[kLongestPacket + kChunk + kSearchSlack];
  size_t fill = 0, at = 0;
  bool file_ended = false;
  for (;;) {
    // The next header, or packet, lies whole from `at` up to `end`.
    size_t end = at + 14 + 7;
    const uint8_t *p = buffer + at;
    if (end <= fill) {
      if ((p[0] | p[1]) != 0 || p[2] != 1) return false;
      if (p[3] == kPackCode) {
        end = at + ((p[4] >> 6) == 1 ? 14 + (p[13] & 7) : 12);
      } else if (p[3] == kProgramEndCode) {
        end = at + 4;
      } else {
        end = at + 6 + ((p[4] << 8) | p[5]);
      }
    }
    if (end > fill) {
      if (file_ended) return true;
      memmove(buffer, buffer + at, fill - at);
      fill -= at;
      at = 0;
      ssize_t got = read(fd, buffer + fill, kChunk);
      if (got < 0) return false;
      file_ended = got == 0;
      fill += static_cast<size_t>(got);
      memset(buffer + fill, 0xFF, kSearchSlack);
      if (!trace.after_input(got)) return false;
      continue;
    }
    if (p[3] == kVideoStreamCode) {
      size_t payload = (p[6] >> 6) == 2 ? 9 + p[8] : 6;
      if (at + payload < end) pass_codes(p + payload, end - at - payload, passed);
    }
    at = end;
  }
}

// The PSI section that begins in a packet's payload (after its pointer field), when it lies
// whole in the packet, as the tables of a muxer usually do; else null.
const uint8_t *section_in(const uint8_t *payload, const uint8_t *end) {
  const uint8_t *section = payload + 1 + payload[0];
  if (section + 3 > end || section + 3 + (((section[1] & 0x0F) << 8) | section[2]) > end) return nullptr;
  return section;
}

bool search_transport_payloads(int fd, uint64_t &passed) {
  static uint8_t buffer[kChunk + 192 + kSearchSlack];
  size_t fill = 0, size = 0, prefix = 0;
  int pmt_pid = -1, video_pid = -1;
  for (;;) {
    ssize_t got = read(fd, buffer + fill, kChunk);
    if (got < 0) return false;
    if (got == 0) return true;
    fill += static_cast<size_t>(got);
    memset(buffer + fill, 0xFF, kSearchSlack);
    if (!trace.after_input(got)) return false;
    if (size == 0) {
      size = buffer[4] == 0x47 && buffer[196] == 0x47 ? 192 : 188;
      prefix = size - 188;
    }
    size_t at = 0;
    for (; at + size <= fill; at += size) {
      const uint8_t *p = buffer + at + prefix, *end = p + 188;
      if (p[0] != 0x47) return false;
      int pid = ((p[1] & 0x1F) << 8) | p[2];
      bool unit_start = (p[1] & 0x40) != 0;
      const uint8_t *payload = p + 4;
      if (p[3] & 0x20) payload += 1 + p[4];
      if (!(p[3] & 0x10) || payload >= end) continue;
      if (pid == video_pid) {
        if (unit_start) payload += 9 + payload[8];
        if (payload < end) pass_codes(payload, static_cast<size_t>(end - payload), passed);
      } else if (unit_start && (pid == 0 || pid == pmt_pid)) {
        const uint8_t *section = section_in(payload, end);
        if (section == nullptr) continue;
        const uint8_t *section_end = section + 3 + (((section[1] & 0x0F) << 8) | section[2]) - 4;
        if (pid == 0) {
          for (const uint8_t *program = section + 8; program + 4 <= section_end; program += 4)
            if ((program[0] | program[1]) != 0) {
              pmt_pid = ((program[2] & 0x1F) << 8) | program[3];
              break;
            }
        } else {
          const uint8_t *stream = section + 12 + (((section[10] & 0x0F) << 8) | section[11]);
          for (; stream + 5 <= section_end && video_pid < 0; stream += 5 + (((stream[3] & 0x0F) << 8) | stream[4]))
            if (stream[0] == 0x01 || stream[0] == 0x02) video_pid = ((stream[1] & 0x1F) << 8) | stream[2];
        }
      }
    }
    memmove(buffer, buffer + at, fill - at);
    fill -= at;
  }
}

}  // namespace

int main(int argc, char **argv) {
  bool packets = false, transport = false;
  int first = 1;
  for (; first < argc && strncmp(argv[first], "--", 2) == 0; first++) {
    if (strcmp(argv[first], "--packets") == 0) {
      packets = true;
    } else if (strcmp(argv[first], "--transport") == 0) {
      transport = true;
    } else if (strcmp(argv[first], "--acted") == 0) {
      acted_on = &kScannerCodes.codes;
    } else {
      break;
    }
  }
  if (argc != first + 1 && argc != first + 2) {
    fprintf(stderr, "usage: %s [--packets | --transport] [--acted] FILE [TRACE_BYTES]\n", argv[0]);
    return 2;
  }
  const char *name = argv[first];
  int fd = open(name, O_RDONLY);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    perror(name);
    return 1;
  }
  trace.left = argc == first + 2 ? atoll(argv[first + 1]) : 0;
  memset(trace.bytes, '.', sizeof trace.bytes);
  long long pieces = (trace.left + Trace::kPiece - 1) / Trace::kPiece;
  trace.input_per_piece = pieces > 0 ? info.st_size / pieces + 1 : 0;
  uint64_t passed = 0;
  bool ok = transport ? search_transport_payloads(fd, passed)
            : packets  ? search_video_payloads(fd, passed)
                       : search_all(fd, passed);
  if (!ok || !trace.finish()) {
    fprintf(stderr, "%s: failed\n", name);
    return 1;
  }
  close(fd);
  // What the searches found is used, so that no compiler leaves them out.
  return passed == ~uint64_t{0} ? 1 : 0;
}
