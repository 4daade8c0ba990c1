// Bit reader: block reads, the window top-up paths and the start-code search.
#include "mpeg/bit_reader.hpp"

#include <cstring>

#if (defined(__SSE2__) && defined(__x86_64__)) || defined(_M_X64)
#include <emmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif
#define ZORBEL_SSE2 1
#else
#define ZORBEL_SSE2 0
#endif
// 32-byte vectors where the compiler can build a function for them and the processor
// runs it (chosen at run time).
#if ZORBEL_SSE2 && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZORBEL_AVX2 1
#else
#define ZORBEL_AVX2 0
#endif

#include "app/platform.hpp"
#include "app/run_driver.hpp"
#include "mpeg/program_stream.hpp"

BitReader reader;

// A byte enters just below the valid bits. valid may be negative (down to -7, inside
// skip_bits32): the top bits of b then fall off, and they had been consumed already.
static inline void place_byte(uint32_t b, int32_t valid) {
  reader.window |= b << (24 - valid);
}

static inline uint32_t load_be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

constexpr int kChunkSize = 64 * kBlockSize;
// Room after the chunk lets the start-code search read a whole vector past the bytes it
// examines (never used as data).
static uint8_t chunk[kChunkSize + kSearchSlack];

// Blocks come out of 128 KiB reads of the unbuffered file, in file order. Reading the file
// where it lies (a mapping) measured slower than these reads: the page faults and the
// unmapping cost more than the copy.
static int32_t take_block() {
  // Every loop that reads or searches the input takes its blocks here: however long a
  // stretch without start codes or video packets, an interrupt ends the run within a block.
  if (interrupt_requested()) finish_interrupted_run();
  if (reader.chunk_next >= kChunkSize) {
    size_t count = 0;
    if (!reader.input_ended) {
      count = fread(chunk, 1, kChunkSize, reader.file);
      if (count < static_cast<size_t>(kChunkSize) && ferror(reader.file)) {
        if (interrupt_requested()) finish_interrupted_run();
        input_read_error();
      }
      reader.bytes_read += static_cast<int64_t>(count);
      if (feof(reader.file)) {
        reader.input_ended = true;
        // Another program cut the file short while it was read: what is missing was
        // never read, which is a failed read, not the end of the input.
        if (reader.bytes_read < reader.size_at_start) input_read_error();
      }
    }
    reader.chunk_fill = static_cast<int32_t>(count);
    reader.chunk_next = 0;
  }
  reader.buffer = chunk + reader.chunk_next;
  int32_t count = reader.chunk_fill - reader.chunk_next;
  if (count < 0) count = 0;
  if (count > kBlockSize) count = kBlockSize;
  reader.chunk_next += kBlockSize;
  return count;
}

void fill_block() {
  int32_t count = take_block();
  reader.file_bytes += count;
  reader.buffer_fill = count;
  if (count < kBlockSize) {
    // Blocks start at multiples of 2048, so this is the next multiple of 4 in the file.
    int32_t aligned = (count + 3) & ~3;
    memset(reader.buffer + count, 0, static_cast<size_t>(aligned - count));
    static const uint8_t kSequenceEnd[4] = {0x00, 0x00, 0x01, 0xB7};
    for (int32_t i = aligned; i < kBlockSize; i += 4) memcpy(reader.buffer + i, kSequenceEnd, 4);
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
  reader.file_bytes = 0;
  reader.chunk_fill = 0;
  reader.chunk_next = kChunkSize;  // the first block read starts a new chunk
  reader.past_end = false;
  reader.padding_phase = 0;
  reader.input_ended = false;
  reader.bytes_read = 0;
  reader.size_at_start = regular_file_size(reader.file);
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

// Stream byte i counted from the first byte of the (byte-aligned, full) window.
static inline uint32_t stream_byte(int i) {
  return i < 4 ? (reader.window >> (24 - 8 * i)) & 0xFF : reader.buffer[reader.read_pos + i - 4];
}

static inline int lowest_set_bit(uint64_t bits) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, bits);
  return static_cast<int>(index);
#else
  return __builtin_ctzll(bits);
#endif
}

#if ZORBEL_SSE2

constexpr size_t kNoPrefix = ~size_t{0};

// Bit b of `pairs` marks two zero bytes at s[i + b]: the first such pair followed by 01
// gives the prefix, n when the search has passed n, kNoPrefix when there is none.
static inline size_t prefix_at_pairs(const uint8_t *s, size_t n, size_t i, uint64_t pairs) {
  for (; pairs != 0; pairs &= pairs - 1) {
    size_t k = i + static_cast<size_t>(lowest_set_bit(pairs));
    if (k + 3 > n) return n;
    if (s[k + 2] == 0x01) return k;
  }
  return kNoPrefix;
}
#endif

#if ZORBEL_AVX2
// find_prefix with 32-byte vectors: the same test for a pair of zero bytes, half the steps.
__attribute__((target("avx2"))) static size_t find_prefix_avx2(const uint8_t *s, size_t n) {
  const __m256i zero = _mm256_setzero_si256();
  for (size_t i = 0; i < n; i += 64) {
    const uint8_t *p = s + i;
    __m256i a = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1)));
    __m256i b = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32)),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 33)));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(a, b), zero)) == 0) continue;
    uint64_t pairs = static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, zero)))) |
                     static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, zero)))) << 32;
    size_t found = prefix_at_pairs(s, n, i, pairs);
    if (found != kNoPrefix) return found;
  }
  return n;
}

static bool wide_vectors = [] {
  __builtin_cpu_init();  // this may run before the compiler's own start-up code
  return __builtin_cpu_supports("avx2") != 0;
}();
#endif

void use_wide_vectors(bool on) {
#if ZORBEL_AVX2
  wide_vectors = on && __builtin_cpu_supports("avx2");
#else
  (void)on;
#endif
}

// Index of the first 00 00 01 lying wholly in s[0, n), or n. Bytes up to s[n + 64] may be
// read (the buffer has room for that) but never match. For the first code only, this
// beats the prefix masks below (which pass over many codes in one sweep): with them
// instead, a DVD program stream took a third more instructions.
static size_t find_prefix(const uint8_t *s, size_t n) {
#if ZORBEL_AVX2
  if (wide_vectors) return find_prefix_avx2(s, n);
#endif
#if ZORBEL_SSE2
  // 64 bytes at a time: a prefix needs two zero bytes in a row, and those are rare in
  // coded pictures (about one pair per kilobyte), so most blocks are passed over after a
  // test for such a pair. (s[k] | s[k+1]) is zero exactly where a pair starts.
  const __m128i zero = _mm_setzero_si128();
  for (size_t i = 0; i < n; i += 64) {
    const uint8_t *p = s + i;
    __m128i a = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1)));
    __m128i b = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 17)));
    __m128i c = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 33)));
    __m128i d = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 49)));
    __m128i lowest = _mm_min_epu8(_mm_min_epu8(a, b), _mm_min_epu8(c, d));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(lowest, zero)) == 0) continue;
    uint64_t pairs = static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero)))) |
                     static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero)))) << 16 |
                     static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, zero)))) << 32 |
                     static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(d, zero)))) << 48;
    size_t found = prefix_at_pairs(s, n, i, pairs);
    if (found != kNoPrefix) return found;
  }
  return n;
#else
  for (size_t i = 0; i + 3 <= n; i++)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
  return n;
#endif
}

// The prefixes 00 00 01 of a 64-byte stretch p[0, 64) from the masks of its zero bytes and
// its 01 bytes (bit j for p[j]) and the bytes p[64] and p[65] that follow it.
static inline uint64_t prefixes_from(uint64_t zeros, uint64_t ones, const uint8_t *p) {
  uint64_t pairs = zeros & (zeros >> 1 | uint64_t{p[64] == 0} << 63);
  if (pairs == 0) return 0;
  return pairs & (ones >> 2 | uint64_t{p[64] == 1} << 62 | uint64_t{p[65] == 1} << 63);
}

// Bit j of masks[w] marks a start-code prefix 00 00 01 at s[64 w + j], for the `count`
// stretches of 64 bytes from s; reads up to s[64 count + 1]. Bit w of the result is set
// when masks[w] is not 0. The loop stays inside one function per vector width: a call
// per stretch cost more than the test itself.
#if ZORBEL_AVX2
__attribute__((target("avx2"))) static uint32_t prefix_masks_avx2(const uint8_t *s, size_t count, uint64_t *masks) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi8(1);
  uint32_t found = 0;
  for (size_t w = 0; w < count; w++) {
    const uint8_t *p = s + 64 * w;
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
    uint64_t zeros = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, zero))) |
                     uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, zero)))} << 32;
    uint64_t mask = 0;
    // Most stretches of coded pictures hold no pair of zero bytes at all.
    if ((zeros & (zeros >> 1 | uint64_t{1} << 63)) != 0) {
      uint64_t ones = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, one))) |
                      uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, one)))} << 32;
      mask = prefixes_from(zeros, ones, p);
    }
    masks[w] = mask;
    found |= uint32_t{mask != 0} << w;
  }
  return found;
}
#endif

static uint32_t prefix_masks(const uint8_t *s, size_t count, uint64_t *masks) {
#if ZORBEL_AVX2
  if (wide_vectors) return prefix_masks_avx2(s, count, masks);
#endif
  uint32_t found = 0;
  for (size_t w = 0; w < count; w++) {
    const uint8_t *p = s + 64 * w;
    uint64_t zeros = 0, ones = 0;
#if ZORBEL_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    for (int i = 0; i < 64; i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
      zeros |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))} << i;
      ones |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, one)))} << i;
    }
#else
    for (int j = 0; j < 64; j++) {
      zeros |= uint64_t{p[j] == 0} << j;
      ones |= uint64_t{p[j] == 1} << j;
    }
#endif
    masks[w] = prefixes_from(zeros, ones, p);
    found |= uint32_t{masks[w] != 0} << w;
  }
  return found;
}

// The first start code in s[0, n) whose last byte is marked in acted_on: the index of its
// prefix, or n when there is none. Every other code met on the way is passed over as the
// byte-wise search would: its four bytes are consumed before the search goes on, so a
// prefix that begins inside them is not one. `resume` is then where the bytes after the
// last code passed over begin. Only codes whose four bytes lie in s[0, n) count; bytes up
// to s[n + 64] may be read.
static size_t find_acted_code(const uint8_t *s, size_t n, const bool (&acted_on)[256], size_t &resume) {
  resume = 0;
  constexpr size_t kBatch = 16;  // stretches of 64 bytes whose masks are made at once
  uint64_t masks[kBatch];
  for (size_t batch = 0; batch < n; batch += 64 * kBatch) {
    size_t left = (n - batch + 63) / 64;
    uint32_t found = prefix_masks(s + batch, left < kBatch ? left : kBatch, masks);
    for (; found != 0; found &= found - 1) {
      size_t w = static_cast<size_t>(lowest_set_bit(found));
      size_t i = batch + 64 * w;
      uint64_t prefixes = masks[w];
      // Prefixes that begin inside the last code passed over are not searched for.
      if (resume > i) prefixes &= resume - i < 64 ? ~uint64_t{0} << (resume - i) : 0;
      while (prefixes != 0) {
        int bit = lowest_set_bit(prefixes);
        size_t at = i + static_cast<size_t>(bit);
        if (at + 4 > n) return n;
        if (acted_on[s[at + 3]]) return at;
        resume = at + 4;
        // This prefix and the three that its code bytes could begin; those past this
        // stretch are left out by the test against resume above.
        prefixes &= ~(uint64_t{15} << bit);
      }
    }
  }
  return n;
}

// Past the current block, the blocks that follow it in the chunk are already in memory:
// a search may run on into them. The end of the bytes it may take, counted from the
// start of buffer: at least the current block, the full blocks of the chunk, and never
// past the end of the video packet.
static int64_t search_limit() {
  int64_t limit = (reader.chunk_fill & ~(kBlockSize - 1)) - (reader.buffer - chunk);
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
  reader.chunk_next += bytes;
  reader.file_bytes += bytes;
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
  if ((reader.window & 0xFFFFFF) == 0x000001) {
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
  while (peek_bits(24) != 0x000001) {
    int ahead = static_cast<int>(search_limit() - reader.read_pos);
    // Near the end of the bytes in memory or a packet boundary the byte-wise path does
    // the reading.
    if (reference_search || ahead < 8) {
      skip_bits(8);
    } else {
      search_in_buffer(ahead);
      settle_in_block();
    }
  }
}

uint32_t read_start_code(const bool (&acted_on)[256]) {
  align_to_start_code();
  for (;;) {
    uint32_t code = reader.window;
    if (reference_search || acted_on[code & 0xFF] || interrupt_requested()) {
      skip_bits32();
      return code;
    }
    // The code is passed over; so is every further one up to the next acted-on code,
    // in the bytes that follow it in memory. The position, window and count of bits
    // afterwards are those that skip_bits32 and align_to_start_code would reach.
    int64_t ahead = search_limit() - reader.read_pos;
    if (ahead >= 8) {
      const uint8_t *next = reader.buffer + reader.read_pos;
      size_t resume;
      size_t found = find_acted_code(next, static_cast<size_t>(ahead), acted_on, resume);
      size_t stand;
      if (found < static_cast<size_t>(ahead)) {
        stand = found;
      } else if (resume + 4 <= static_cast<size_t>(ahead)) {
        // No prefix begins in the last bytes that were searched: the byte-wise path goes
        // on from there.
        stand = static_cast<size_t>(ahead) - 4;
      } else {
        // The last code passed over ends in the last bytes: the next round consumes it
        // byte-wise.
        stand = resume - 4;
      }
      reader.window = load_be32(next + stand);
      reader.read_pos += static_cast<int32_t>(stand + 4);
      reader.bits_consumed += 32 + 8 * static_cast<int64_t>(stand);
      settle_in_block();
      if (found < static_cast<size_t>(ahead) || stand + 4 == resume) continue;
    } else {
      skip_bits32();
    }
    align_to_start_code();
  }
}

bool reader_past_end(int64_t pos, uint32_t code) {
  // A program stream's padding starts after all of its video payload has entered the
  // window, so its first sequence end code leaves no video byte behind.
  if (program_stream_flag) return reader.past_end && code == 0x000001B7;
  return reader.input_ended && pos >= reader.file_bytes;
}
