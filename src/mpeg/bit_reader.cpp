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

#include <sys/stat.h>

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

// The size of a regular input file, or -1 (a device, a pipe, an error). Reading the file
// where it lies (a mapping) measured slower than these reads on the machines we run on:
// the page faults and the unmapping cost more than the copy.
static int64_t input_size() {
#if defined(_WIN32)
  struct _stat64 info;
  if (_fstat64(_fileno(reader.file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return -1;
#else
  struct stat info;
  if (fstat(fileno(reader.file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
#endif
  return static_cast<int64_t>(info.st_size);
}

// Blocks come out of 128 KiB reads of the unbuffered file, in file order.
static int32_t take_block() {
  if (reader.chunk_next >= kChunkSize) {
    size_t count = 0;
    if (!reader.input_ended) {
      count = fread(chunk, 1, kChunkSize, reader.file);
      if (count < static_cast<size_t>(kChunkSize) && ferror(reader.file)) input_read_error();
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
  reader.size_at_start = input_size();
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

#if ZORBEL_SSE2
static inline int lowest_set_bit(uint64_t bits) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, bits);
  return static_cast<int>(index);
#else
  return __builtin_ctzll(bits);
#endif
}

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
// read (the buffer has room for that) but never match.
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

uint32_t read_start_code(const bool (&acted_on)[256]) {
  align_to_start_code();
  for (;;) {
    uint32_t code = reader.window;
    if (reference_search || acted_on[code & 0xFF] || interrupt_requested()) {
      skip_bits32();
      return code;
    }
    // The next code, when it lies wholly before the block end or packet boundary, is
    // taken straight from the buffer: the same position and count of bits as skip_bits32
    // and align_to_start_code would reach, without their byte-wise steps.
    int64_t limit = kBlockSize;
    if (program_stream_flag && reader.packet_end < limit) limit = reader.packet_end;
    int64_t ahead = limit - reader.read_pos;
    if (ahead >= 4) {
      const uint8_t *next = reader.buffer + reader.read_pos;
      int64_t step = static_cast<int64_t>(find_prefix(next, static_cast<size_t>(ahead)));
      // No code lies wholly inside: stand on the last 4 bytes (no prefix starts among
      // them either, or it would have been found) and let the byte-wise path cross.
      if (step + 4 > ahead) step = ahead - 4;
      reader.window = load_be32(next + step);
      reader.read_pos += static_cast<int32_t>(step + 4);
      reader.bits_consumed += 8 * (step + 4);
      if (step + 4 < ahead || (reader.window >> 8) == 0x000001) continue;
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
