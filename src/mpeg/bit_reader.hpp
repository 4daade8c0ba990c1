// Bit reader: the input as a stream of bits, most significant first, through a 32-bit
// window topped up a byte at a time from a 2048-byte block buffer.
//
// Contract, between operations:
//  - valid_bits is 25..32; the top valid_bits bits of window are the next unread bits,
//    the bits below them are 0. valid_bits is 32 exactly at a byte boundary, so any read
//    of up to 24 bits is exact, and a 32-bit read is exact after align_to_start_code.
//  - buffer holds consecutive 2048-byte blocks of the file, in file order.
//  - Past the end of the file the reader delivers 0 to 3 zero bytes up to the next
//    multiple of 4 (counted from the start of the file), then the sequence end code
//    00 00 01 B7 over and over. That padding is the only end marker; reading on is
//    always defined.
//  - In a program stream, bytes near the end of a video packet's payload come through
//    the demultiplexer, so the window only ever sees video payload.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int kBlockSize = 2048;

struct BitReader {
  FILE *file;
  // The current 2048-byte block. Blocks are read from the file many at a time, straight
  // into one larger chunk, and taken from it in file order: fewer reads, no copying.
  uint8_t *buffer;
  int32_t read_pos;  // next byte of buffer to enter the window; may run past 2048 in a program stream
  uint32_t window;
  // Program streams: one past the last payload byte of the current video packet,
  // counted like read_pos. 64 bits because it keeps moving back by 2048 per block
  // while long stretches of other streams are skipped.
  int64_t packet_end;
  int32_t valid_bits;
  int64_t bits_consumed;  // since the last reset_reader; 64 bits so files past 256 MiB trace true offsets
  int32_t buffer_fill;    // bytes of buffer that came from the file; the rest is padding
};

extern BitReader reader;

// The sequence end code, 00 00 01 B7: the padding after the end of the input.
extern const uint8_t kSequenceEndBytes[4];

void reset_reader();
void load_buffer();
// Makes buffer the next block of the file, padded where the file ends; read_pos and
// packet_end stay as they are, for the caller to move.
void fill_block();

inline uint32_t peek_bits(int n) { return reader.window >> (32 - n); }
// Four bytes of memory as a big-endian value, as start codes are written.
inline uint32_t load_be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void skip_bits(int n);  // n: 0 to 24
uint32_t read_bits(int n);  // n: 1 to 24
void skip_bits32();
// The next n stream bytes, from the first of the window, where they and the 4 after them
// lie in order in the buffer before the block or the video packet ends; else null.
// skip_bytes(n) then moves past them in one step, as n calls of skip_bits(8) would.
const uint8_t *stream_bytes(int32_t n);
void skip_bytes(int32_t n);
uint32_t read_bits32();
void align_to_start_code();
// align_to_start_code and read_bits32, repeated while the code read is one whose last byte
// is not marked in acted_on: those are passed over inside the buffer scan. Returns the
// first marked code, or any code met while an interrupt is pending.
uint32_t read_start_code(const bool (&acted_on)[256]);
// The byte-at-a-time start-code search instead of the buffer scan, and no stream_bytes:
// every byte through the window. Both ways give the same results, and tests compare them.
void use_reference_search(bool on);
bool reference_search_used();

// True when the start code just read, at stream offset pos, lies in the padding after the
// end of the input: no byte of the file is left to read.
bool reader_past_end(int64_t pos, uint32_t code);
