// Bit reader: block reads, the window top-up paths and the start-code search.
#include "mpeg/bit_reader.hpp"

#include <cstring>

#include "app/run_driver.hpp"
#include "mpeg/program_stream.hpp"

BitReader reader;

// A byte enters just below the valid bits. valid may be negative (down to -7, inside
// skip_bits32): the top bits of b then fall off, and they had been consumed already.
static inline void place_byte(uint32_t b, int32_t valid) {
  reader.window |= b << (24 - valid);
}

void fill_block() {
  size_t count = 0;
  if (!feof(reader.file)) {
    count = fread(reader.buffer, 1, kBlockSize, reader.file);
    if (count < static_cast<size_t>(kBlockSize) && ferror(reader.file)) input_read_error();
  }
  reader.file_bytes += static_cast<int64_t>(count);
  reader.buffer_fill = static_cast<int32_t>(count);
  if (count < static_cast<size_t>(kBlockSize)) {
    // Blocks start at multiples of 2048, so this is the next multiple of 4 in the file.
    size_t aligned = (count + 3) & ~static_cast<size_t>(3);
    memset(reader.buffer + count, 0, aligned - count);
    static const uint8_t kSequenceEnd[4] = {0x00, 0x00, 0x01, 0xB7};
    for (size_t i = aligned; i < static_cast<size_t>(kBlockSize); i += 4) memcpy(reader.buffer + i, kSequenceEnd, 4);
  }
}

void load_buffer() {
  fill_block();
  reader.read_pos = 0;
  if (program_stream_flag) reader.packet_end -= kBlockSize;
}

void reset_reader() {
  reader.valid_bits = 0;
  reader.read_pos = kBlockSize;
  reader.packet_end = kBlockSize;
  reader.window = 0;
  reader.bits_consumed = 0;
  reader.buffer_fill = 0;
  reader.file_bytes = 0;
  reader.past_end = false;
  reader.padding_phase = 0;
  skip_bits(0);
}

void skip_bits(int n) {
  reader.window <<= n;
  reader.valid_bits -= n;
  reader.bits_consumed += n;
  if (reader.valid_bits > 24) return;
  if (program_stream_flag && reader.read_pos >= reader.packet_end - 4) {
    while (reader.valid_bits <= 24) {
      place_byte(next_payload_byte(), reader.valid_bits);
      reader.valid_bits += 8;
    }
  } else if (reader.read_pos < kBlockSize - 4) {
    // At most 4 bytes are wanted and more than 4 remain: no end test.
    while (reader.valid_bits <= 24) {
      place_byte(reader.buffer[reader.read_pos++], reader.valid_bits);
      reader.valid_bits += 8;
    }
  } else {
    while (reader.valid_bits <= 24) {
      if (reader.read_pos >= kBlockSize) load_buffer();
      place_byte(reader.buffer[reader.read_pos++], reader.valid_bits);
      reader.valid_bits += 8;
    }
  }
}

uint32_t read_bits(int n) {
  uint32_t value = peek_bits(n);
  skip_bits(n);
  return value;
}

void skip_bits32() {
  // A 32-bit shift would be undefined, so the window is cleared instead.
  reader.window = 0;
  int32_t k = reader.valid_bits - 32;
  reader.bits_consumed += 32;
  if (program_stream_flag && reader.read_pos >= reader.packet_end - 4) {
    for (; k <= 24; k += 8) place_byte(next_payload_byte(), k);
  } else {
    for (; k <= 24; k += 8) {
      if (reader.read_pos >= kBlockSize) load_buffer();
      place_byte(reader.buffer[reader.read_pos++], k);
    }
  }
  reader.valid_bits = k;
}

uint32_t read_bits32() {
  uint32_t value = peek_bits(32);
  skip_bits32();
  return value;
}

static bool reference_search = false;

void use_reference_search(bool on) { reference_search = on; }

// Stream byte i counted from the first byte of the (byte-aligned, full) window.
static inline uint32_t stream_byte(int i) {
  return i < 4 ? (reader.window >> (24 - 8 * i)) & 0xFF : reader.buffer[reader.read_pos + i - 4];
}

// Moves the byte-aligned position forward by up to `ahead` bytes, the bytes of the buffer
// that can enter the window without a block read or a packet boundary, stopping at the
// first start-code prefix. The state afterwards is exactly that of the same number of
// skip_bits(8) calls.
static void search_in_buffer(int ahead) {
  int step = ahead;
  if ((reader.window & 0xFFFFFF) == 0x000001) {
    step = 1;
  } else {
    // The 01 of a prefix at step j (2 <= j <= ahead) is buffer[read_pos + j - 2].
    const uint8_t *first = reader.buffer + reader.read_pos;
    const uint8_t *end = first + ahead - 1;
    for (const uint8_t *p = first; p < end; p++) {
      p = static_cast<const uint8_t *>(memchr(p, 0x01, static_cast<size_t>(end - p)));
      if (!p) break;
      int j = static_cast<int>(p - first) + 2;
      if (stream_byte(j) == 0 && stream_byte(j + 1) == 0) {
        step = j;
        break;
      }
    }
  }
  uint32_t window = 0;
  for (int i = 0; i < 4; i++) window = (window << 8) | stream_byte(step + i);
  reader.window = window;
  reader.read_pos += step;
  reader.bits_consumed += 8 * static_cast<int64_t>(step);
}

void align_to_start_code() {
  skip_bits(reader.valid_bits % 8);
  while (peek_bits(24) != 0x000001) {
    int64_t limit = kBlockSize;
    if (program_stream_flag && reader.packet_end < limit) limit = reader.packet_end;
    int ahead = static_cast<int>(limit - reader.read_pos);
    // Near a block end or a packet boundary the byte-wise path does the reading.
    if (reference_search || ahead < 8) {
      skip_bits(8);
    } else {
      search_in_buffer(ahead);
    }
  }
}

bool reader_past_end(int64_t pos, uint32_t code) {
  // A program stream's padding starts after all of its video payload has entered the
  // window, so its first sequence end code leaves no video byte behind.
  if (program_stream_flag) return reader.past_end && code == 0x000001B7;
  return feof(reader.file) && pos >= reader.file_bytes;
}
