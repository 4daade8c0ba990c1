// Bit reader: block reads, the window top-up paths and the start-code search.
#include "mpeg/bit_reader.hpp"

#include <cerrno>
#include <cstring>

#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "mpeg/program_stream.hpp"
#include "mpeg/start_code_search.hpp"
#include "mpeg/start_codes.hpp"

BitReader reader;

const uint8_t kSequenceEndBytes[4] = {0x00, 0x00, 0x01, kSequenceEndCode};

// A byte enters just below the valid bits. valid may be negative (down to -7, inside
// skip_bits32): the top bits of b then fall off, and they had been consumed already.
static inline void place_byte(uint32_t b, int32_t valid) {
  reader.window |= b << (24 - valid);
}

constexpr int kChunkSize = 64 * kBlockSize;
// Room after the chunk lets the start-code search read a whole vector past the bytes it
// examines (never used as data).
static uint8_t chunk[kChunkSize + kSearchSlack];

// The file behind the blocks; only the block reads and the search through the chunk use it.
static struct {
  int64_t bytes_delivered;   // of the file, in the blocks handed to buffer since the last reset_reader
  int64_t bytes_read;        // from the file into the chunk since the last reset_reader
  int64_t size_at_start;     // of a regular input file at the last reset_reader, else -1
  int32_t chunk_fill;        // bytes of the chunk that came from the file
  int32_t chunk_next;        // where the next block starts in the chunk
  bool end_of_file_met;      // nothing more is read from the file
} input;

// Blocks come out of 128 KiB reads of the unbuffered file, in file order. Reading the file
// where it lies (a mapping) measured slower than these reads: the page faults and the
// unmapping cost more than the copy.
static int32_t take_block() {
  // Every loop that reads or searches the input takes its blocks here, and the searches
  // and pack walks in memory go no further than the chunk: however long a stretch without
  // start codes or video packets, an interrupt ends the run within a chunk.
  if (interrupt_requested()) finish_interrupted_run();
  if (input.chunk_next >= kChunkSize) {
    size_t count = 0;
    if (!input.end_of_file_met) {
      count = fread(chunk, 1, kChunkSize, reader.file);
      if (count < static_cast<size_t>(kChunkSize) && ferror(reader.file)) {
        int error = errno;
        if (interrupt_requested()) finish_interrupted_run();
        input_read_error(error);
      }
      input.bytes_read += static_cast<int64_t>(count);
      if (progress_wanted) show_progress(input.bytes_read, input.size_at_start);
      if (feof(reader.file)) {
        input.end_of_file_met = true;
        // Another program cut the file short while it was read: what is missing was
        // never read, which is a failed read, not the end of the input.
        if (input.bytes_read < input.size_at_start) input_read_error(0);
      }
    }
    input.chunk_fill = static_cast<int32_t>(count);
    input.chunk_next = 0;
  }
  reader.buffer = chunk + input.chunk_next;
  int32_t count = input.chunk_fill - input.chunk_next;
  if (count < 0) count = 0;
  if (count > kBlockSize) count = kBlockSize;
  input.chunk_next += kBlockSize;
  return count;
}

void fill_block() {
  int32_t count = take_block();
  input.bytes_delivered += count;
  reader.buffer_fill = count;
  if (count < kBlockSize) {
    // Blocks start at multiples of 2048, so this is the next multiple of 4 in the file.
    int32_t aligned = (count + 3) & ~3;
    memset(reader.buffer + count, 0, static_cast<size_t>(aligned - count));
    for (int32_t i = aligned; i < kBlockSize; i += 4) memcpy(reader.buffer + i, kSequenceEndBytes, 4);
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
  reader.buffer = chunk;
  reader.buffer_fill = 0;
  input.bytes_delivered = 0;
  input.chunk_fill = 0;
  input.chunk_next = kChunkSize;  // the first block read starts a new chunk
  input.end_of_file_met = false;
  input.bytes_read = 0;
  input.size_at_start = regular_file_size(reader.file);
  reset_demultiplexer();
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
  } else if (k == 0 && reader.read_pos <= kBlockSize - 4) {
    // Byte-aligned with the next 4 bytes in the buffer, as after every start code.
    reader.window = load_be32(reader.buffer + reader.read_pos);
    reader.read_pos += 4;
    k = 32;
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
bool reference_search_used() { return reference_search; }

const uint8_t *stream_bytes(int32_t n) {
  if (reference_search || reader.valid_bits != 32 || reader.read_pos < 4) return nullptr;
  int64_t end = int64_t{reader.read_pos} + n;
  if (end > kBlockSize || (program_stream_flag && end > reader.packet_end)) return nullptr;
  const uint8_t *at = reader.buffer + reader.read_pos - 4;
  // After a packet header has been crossed, the window's bytes lie elsewhere.
  return load_be32(at) == reader.window ? at : nullptr;
}

void skip_bytes(int32_t n) {
  if (stream_bytes(n) == nullptr) {
    for (int32_t i = 0; i < n; i++) skip_bits(8);
    return;
  }
  reader.read_pos += n;
  reader.window = load_be32(reader.buffer + reader.read_pos - 4);
  reader.bits_consumed += 8 * int64_t{n};
}

// Stream byte i counted from the first byte of the (byte-aligned, full) window.
static inline uint32_t stream_byte(int i) {
  return i < 4 ? (reader.window >> (24 - 8 * i)) & 0xFF : reader.buffer[reader.read_pos + i - 4];
}

// The end of the chunk's blocks that were read whole, counted from the start of buffer.
static int64_t full_blocks_in_memory() { return (input.chunk_fill & ~(kBlockSize - 1)) - (reader.buffer - chunk); }

// Past the current block, the blocks that follow it in the chunk are already in memory:
// a search may run on into them. The end of the bytes it may take, counted from the
// start of buffer: at least the current block, the full blocks of the chunk, and never
// past the end of the video packet.
static int64_t search_limit() {
  int64_t limit = full_blocks_in_memory();
  if (limit < kBlockSize) limit = kBlockSize;
  if (program_stream_flag && reader.packet_end < limit) limit = reader.packet_end;
  return limit;
}

// After a search that ran on into later blocks of the chunk: the reader stands in the
// block that holds read_pos, as the block reads of the byte-wise search would have left it.
static void settle_in_block() {
  if (reader.read_pos <= kBlockSize) return;
  int32_t blocks = (reader.read_pos - 1) / kBlockSize;
  int32_t bytes = blocks * kBlockSize;
  reader.buffer += bytes;
  input.chunk_next += bytes;
  input.bytes_delivered += bytes;
  reader.buffer_fill = kBlockSize;
  reader.read_pos -= bytes;
  if (program_stream_flag) reader.packet_end -= bytes;
}

// Moves the byte-aligned position forward by up to `ahead` bytes, the bytes of the buffer
// that can enter the window without a block read or a packet boundary, stopping at the
// first start-code prefix. The state afterwards is exactly that of the same number of
// skip_bits(8) calls.
static void search_in_buffer(int ahead) {
  const uint8_t *next = reader.buffer + reader.read_pos;  // stream byte 4
  int step;
  if ((reader.window & 0xFFFFFF) == kStartCodePrefix) {
    step = 1;
  } else if ((reader.window & 0xFFFF) == 0 && next[0] == 0x01) {
    step = 2;
  } else if ((reader.window & 0xFF) == 0 && next[0] == 0 && next[1] == 0x01) {
    step = 3;
  } else {
    // A prefix at step j >= 4 starts at next[j - 4] and must end before next[ahead - 1].
    step = static_cast<int>(find_prefix(next, static_cast<size_t>(ahead - 1))) + 4;
    if (step > ahead) step = ahead;
  }
  if (step >= 4) {
    reader.window = load_be32(next + step - 4);
  } else {
    uint32_t window = 0;
    for (int i = 0; i < 4; i++) window = (window << 8) | stream_byte(step + i);
    reader.window = window;
  }
  reader.read_pos += step;
  reader.bits_consumed += 8 * static_cast<int64_t>(step);
}

void align_to_start_code() {
  skip_bits(reader.valid_bits % 8);
  while (peek_bits(24) != kStartCodePrefix) {
    int ahead = static_cast<int>(search_limit() - reader.read_pos);
    // Near the end of the bytes in memory or a packet boundary the byte-wise path does
    // the reading.
    if (reference_search || ahead < 4) {
      skip_bits(8);
    } else {
      search_in_buffer(ahead);
      settle_in_block();
    }
  }
}

// After a payload whose last bytes (`last`, just passed) may begin a start-code prefix, with
// read_pos at the next payload and 4 or more of its bytes in memory: the code that begins in
// those last bytes and runs on into the payload goes into the window, as the byte-wise path
// would place it. False when none does; the last bytes then stay passed.
static bool take_code_across_payloads(uint32_t last) {
  const uint8_t *next = reader.buffer + reader.read_pos;
  int from_last;  // bytes of the code before the payload
  if ((last & 0xFFFFFF) == kStartCodePrefix) {
    from_last = 3;
  } else if ((last & 0xFFFF) == 0 && next[0] == 0x01) {
    from_last = 2;
  } else if ((last & 0xFF) == 0 && next[0] == 0x00 && next[1] == 0x01) {
    from_last = 1;
  } else {
    return false;
  }
  int from_next = 4 - from_last;
  uint32_t window = last << (8 * from_next);
  for (int i = 0; i < from_next; i++) window |= uint32_t{next[i]} << (8 * (from_next - 1 - i));
  reader.window = window;
  reader.read_pos += from_next;
  reader.bits_consumed += 8 * from_next;
  return true;
}

// The code in the window is passed over; so is every further one up to the next acted-on
// code, in the bytes that follow it in memory, and in the payloads of the video packets
// after them while none of a packet's last three bytes begins a prefix that runs on into
// the next. The position, window and count of bits afterwards are those that skip_bits32
// and align_to_start_code would reach. True when the window then holds a code; false
// where the byte-wise path goes on, from a window that holds none at its start.
static bool pass_codes_in_memory(const bool (&acted_on)[256], int64_t ahead) {
  for (;;) {
    const uint8_t *next = reader.buffer + reader.read_pos;
    size_t resume;
    size_t found = find_acted_code(next, static_cast<size_t>(ahead), acted_on, resume);
    // Where the window is loaded from: the code found, or where the byte-wise path
    // takes over.
    size_t window_at;
    if (found < static_cast<size_t>(ahead)) {
      window_at = found;
    } else if (resume + 4 <= static_cast<size_t>(ahead)) {
      // No prefix begins in the last bytes that were searched: the byte-wise path goes
      // on from there.
      window_at = static_cast<size_t>(ahead) - 4;
    } else {
      // The last code passed over ends in the last bytes: the next round consumes it
      // byte-wise.
      window_at = resume - 4;
    }
    reader.window = load_be32(next + window_at);
    reader.read_pos += static_cast<int32_t>(window_at + 4);
    reader.bits_consumed += 32 + 8 * static_cast<int64_t>(window_at);
    if (found < static_cast<size_t>(ahead) || window_at + 4 == resume) {
      settle_in_block();
      return true;
    }
    // A prefix that runs on begins at one of the last three bytes, so the last or the one
    // before it is zero.
    const uint32_t last_bytes = reader.window;
    bool prefix_may_run_on = (last_bytes & 0xFF00) == 0 || (last_bytes & 0xFF) == 0;
    if (!program_stream_flag || (last_bytes >> 8) == kStartCodePrefix) break;
    // The blocks stay untaken while the packs lie in those in memory; the reader settles
    // in its block when it leaves the loop, or enter_next_payload takes them one by one.
    if (!enter_payload_in_memory(full_blocks_in_memory()) && !enter_next_payload()) return false;
    // The window's bytes are consumed by the next round, as the code's were.
    ahead = search_limit() - reader.read_pos;
    if (ahead < 4) break;
    // Transport packets are short: a code that runs on into the next payload is common
    // enough to be taken here rather than byte by byte.
    if (prefix_may_run_on && take_code_across_payloads(last_bytes)) {
      settle_in_block();
      return true;
    }
  }
  settle_in_block();
  return false;
}

uint32_t read_start_code(const bool (&acted_on)[256]) {
  align_to_start_code();
  for (;;) {
    uint32_t code = reader.window;
    if (reference_search || acted_on[code & 0xFF] || interrupt_requested()) {
      skip_bits32();
      return code;
    }
    int64_t ahead = search_limit() - reader.read_pos;
    if (ahead < 4) {
      skip_bits32();
    } else if (pass_codes_in_memory(acted_on, ahead)) {
      continue;
    }
    align_to_start_code();
  }
}

bool reader_past_end(int64_t pos, uint32_t code) {
  // A program stream's padding starts after all of its video payload has entered the
  // window, so its first sequence end code leaves no video byte behind.
  if (program_stream_flag) return video_ended() && code == start_code(kSequenceEndCode);
  return input.end_of_file_met && pos >= input.bytes_delivered;
}
