// Start-code search kernels.
#include "mpeg/start_code_search.hpp"

#include "base/bit_scan.hpp"

#if (defined(__SSE2__) && defined(__x86_64__)) || defined(_M_X64)
#include <emmintrin.h>
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

bool search_kernel_available(SearchKernel kernel) {
  switch (kernel) {
    case SearchKernel::scalar:
      return true;
    case SearchKernel::sse2:
      return ZORBEL_SSE2 != 0;
    case SearchKernel::avx2:
#if ZORBEL_AVX2
      __builtin_cpu_init();  // this may run before the compiler's own start-up code
      return __builtin_cpu_supports("avx2") != 0;
#else
      return false;
#endif
  }
  return false;
}

SearchKernel best_search_kernel() {
  if (search_kernel_available(SearchKernel::avx2)) return SearchKernel::avx2;
  if (search_kernel_available(SearchKernel::sse2)) return SearchKernel::sse2;
  return SearchKernel::scalar;
}

static SearchKernel chosen = best_search_kernel();

void use_search_kernel(SearchKernel kernel) {
  if (kernel == SearchKernel::avx2 && !search_kernel_available(kernel)) kernel = SearchKernel::sse2;
  if (kernel == SearchKernel::sse2 && !search_kernel_available(kernel)) kernel = SearchKernel::scalar;
  chosen = kernel;
}

// ---- The first prefix ----

static size_t find_prefix_scalar(const uint8_t *s, size_t n) {
  for (size_t i = 0; i + 3 <= n; i++)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) return i;
  return n;
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

// 64 bytes at a time: a prefix needs two zero bytes in a row, and those are rare in coded
// pictures (about one pair per kilobyte), so most blocks are passed over after a test for
// such a pair. (s[k] | s[k+1]) is zero exactly where a pair starts.
static size_t find_prefix_sse2(const uint8_t *s, size_t n) {
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
}
#endif

#if ZORBEL_AVX2
// The same test for a pair of zero bytes with 32-byte vectors: half the steps.
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
#endif

size_t find_prefix(SearchKernel kernel, const uint8_t *s, size_t n) {
  switch (kernel) {
#if ZORBEL_AVX2
    case SearchKernel::avx2:
      return find_prefix_avx2(s, n);
#endif
#if ZORBEL_SSE2
    case SearchKernel::sse2:
      return find_prefix_sse2(s, n);
#endif
    default:
      return find_prefix_scalar(s, n);
  }
}

size_t find_prefix(const uint8_t *s, size_t n) { return find_prefix(chosen, s, n); }

// ---- Prefix masks ----

// The prefixes 00 00 01 of a 64-byte stretch p[0, 64) from the masks of its zero bytes and
// its 01 bytes (bit j for p[j]) and the bytes p[64] and p[65] that follow it.
static inline uint64_t prefixes_from(uint64_t zeros, uint64_t ones, const uint8_t *p) {
  uint64_t pairs = zeros & (zeros >> 1 | uint64_t{p[64] == 0} << 63);
  if (pairs == 0) return 0;
  return pairs & (ones >> 2 | uint64_t{p[64] == 1} << 62 | uint64_t{p[65] == 1} << 63);
}

// Each loop over the stretches stays inside one function per vector width: a call per
// stretch cost more than the test itself.
static uint32_t prefix_masks_scalar(const uint8_t *s, size_t count, uint64_t *masks) {
  uint32_t found = 0;
  for (size_t w = 0; w < count; w++) {
    const uint8_t *p = s + 64 * w;
    uint64_t zeros = 0, ones = 0;
    for (int j = 0; j < 64; j++) {
      zeros |= uint64_t{p[j] == 0} << j;
      ones |= uint64_t{p[j] == 1} << j;
    }
    masks[w] = prefixes_from(zeros, ones, p);
    found |= uint32_t{masks[w] != 0} << w;
  }
  return found;
}

#if ZORBEL_SSE2
static uint32_t prefix_masks_sse2(const uint8_t *s, size_t count, uint64_t *masks) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  uint32_t found = 0;
  for (size_t w = 0; w < count; w++) {
    const uint8_t *p = s + 64 * w;
    uint64_t zeros = 0, ones = 0;
    for (int i = 0; i < 64; i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
      zeros |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)))} << i;
      ones |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, one)))} << i;
    }
    masks[w] = prefixes_from(zeros, ones, p);
    found |= uint32_t{masks[w] != 0} << w;
  }
  return found;
}
#endif

#if ZORBEL_AVX2
// Where codes lie close together most stretches hold a pair of zero bytes, so the prefix
// itself is tested at every byte at once: two zero bytes (their OR is zero) then 01, from
// loads at p, p + 1 and p + 2.
__attribute__((target("avx2"))) static inline uint32_t prefixes_of_32(const uint8_t *p) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i one = _mm256_set1_epi8(1);
  __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
  __m256i third = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 2));
  __m256i pair = _mm256_cmpeq_epi8(_mm256_or_si256(first, second), zero);
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(pair, _mm256_cmpeq_epi8(third, one))));
}

__attribute__((target("avx2"))) static uint32_t prefix_masks_avx2(const uint8_t *s, size_t count, uint64_t *masks) {
  uint32_t found = 0;
  for (size_t w = 0; w < count; w++) {
    const uint8_t *p = s + 64 * w;
    uint64_t mask = prefixes_of_32(p) | uint64_t{prefixes_of_32(p + 32)} << 32;
    masks[w] = mask;
    found |= uint32_t{mask != 0} << w;
  }
  return found;
}
#endif

uint32_t prefix_masks(SearchKernel kernel, const uint8_t *s, size_t count, uint64_t *masks) {
  switch (kernel) {
#if ZORBEL_AVX2
    case SearchKernel::avx2:
      return prefix_masks_avx2(s, count, masks);
#endif
#if ZORBEL_SSE2
    case SearchKernel::sse2:
      return prefix_masks_sse2(s, count, masks);
#endif
    default:
      return prefix_masks_scalar(s, count, masks);
  }
}

// ---- The first code acted on ----

// Whether the prefix at s[at] is a code, that is not the last byte and beyond of a code
// before it: only a code three bytes before can hold it (00 00 01 cannot overlap itself
// by one or two bytes), and that one is a code by the same rule. Such a chain of
// 00 00 01 00 00 01 ... is walked back to its start. Only its last prefix can end in a
// byte other than 00, and a code ending in 00 that is acted on is found at the chain's
// start, so a search walks each chain at most twice.
static bool prefix_is_code(const uint8_t *s, size_t at) {
  bool code = true;
  for (size_t k = at; k >= 3 && s[k - 3] == 0 && s[k - 2] == 0 && s[k - 1] == 1; k -= 3) code = !code;
  return code;
}

// Codes that lie further apart than this (the slices of DVD-rate pictures, about a
// kilobyte apart) are passed over faster by a search for the next prefix; closer ones (the
// slices of small pictures, some 50 bytes apart) by prefix masks, batch by batch: on the
// bench inputs each way beat the other by a fifth where its codes lie.
constexpr size_t kDenseGap = 256;
// Stretches of 64 bytes whose masks are made at once, and the codes a batch must hold for
// the next one to be made in masks too.
constexpr size_t kBatch = 16;
constexpr size_t kDenseCodes = 64 * kBatch / kDenseGap;

#if ZORBEL_AVX2
// The stretches passed between two looks at whether codes still lie close: the test of
// each is cheap enough that where codes lie a kilobyte apart (DVD-rate slices) it is about
// as fast as a search for the next prefix, so the dense way goes on for long.
constexpr size_t kDenseBatch = 256;
constexpr size_t kStillSearching = ~size_t{0};

// Bit j: 01 at p[j + 2] and a value of the acted-on range [low, high] at p[j + 3]. As a
// signed byte, b - (low + 0x80) (`shift`) exceeds high - low - 0x80 (`top`) exactly where
// b lies outside the range: one compare tests it.
__attribute__((target("avx2"))) static inline __m256i marks_of_32(const uint8_t *p, __m256i shift, __m256i top) {
  __m256i outside =
      _mm256_cmpgt_epi8(_mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 3)), shift), top);
  return _mm256_andnot_si256(
      outside, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 2)), _mm256_set1_epi8(1)));
}

// The first code acted on among the marks of the 64 bytes from s[i], or kStillSearching.
__attribute__((target("avx2"))) static inline size_t code_at_marks(const uint8_t *s, size_t n,
                                                                   const bool (&acted_on)[256], size_t i,
                                                                   __m256i low_half, __m256i high_half) {
  uint64_t marks = uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(low_half))} |
                   uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(high_half))} << 32;
  for (; marks != 0; marks &= marks - 1) {
    size_t at = i + static_cast<size_t>(lowest_set_bit(marks));
    // Codes that the end of the span cuts are none.
    if (at + 4 > n) break;
    if (s[at] == 0 && s[at + 1] == 0 && acted_on[s[at + 3]] && prefix_is_code(s, at)) return at;
  }
  return kStillSearching;
}

// Codes that lie close, 64 bytes at a time. A code acted on needs 01 and then a last byte
// in the range [low, high] that holds every acted-on value, and that pair is rare in
// coded pictures even where codes lie close: the stretches are tested for it alone, from
// loads at p + 2 and p + 3, and the codes passed over cost no step at all. A stretch with
// such a pair is then tested byte by byte for the prefix, in the table and by the chain
// rule of prefix_is_code. Batch by batch, the last stretch tells whether codes still lie
// close. The code acted on, n at the end of the span, or kStillSearching with pos where
// the search goes on (no code passed over runs on past it).
__attribute__((target("avx2"))) static size_t dense_acted_code_avx2(const uint8_t *s, size_t n, size_t &pos,
                                                                    const bool (&acted_on)[256]) {
  // The range of acted-on values; none gives FF alone (00 00 01 FF never appears in
  // video), whose candidates the table turns down.
  const __m256i absent = _mm256_setzero_si256();
  unsigned low = 256, high = 0xFF;
  for (unsigned value = 0; value < 256; value += 32) {
    uint32_t marks = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpgt_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(acted_on + value)), absent)));
    if (marks == 0) continue;
    if (low == 256) low = value + static_cast<unsigned>(lowest_set_bit(marks));
    high = value + static_cast<unsigned>(highest_set_bit(marks));
  }
  if (low == 256) low = 0xFF;
  const __m256i shift = _mm256_set1_epi8(static_cast<char>(low + 0x80));
  const __m256i top = _mm256_set1_epi8(static_cast<char>(high - low + 0x80));
  for (;;) {
    size_t left = (n - pos + 63) / 64;
    size_t count = left < kDenseBatch ? left : kDenseBatch;
    // Two stretches a step while both lie in the batch.
    size_t w = 0;
    for (; w + 2 <= count; w += 2) {
      const uint8_t *p = s + pos + 64 * w;
      __m256i a = marks_of_32(p, shift, top), b = marks_of_32(p + 32, shift, top), c = marks_of_32(p + 64, shift, top),
              d = marks_of_32(p + 96, shift, top);
      __m256i any = _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
      if (_mm256_testz_si256(any, any)) continue;
      size_t found = code_at_marks(s, n, acted_on, pos + 64 * w, a, b);
      if (found == kStillSearching) found = code_at_marks(s, n, acted_on, pos + 64 * w + 64, c, d);
      if (found != kStillSearching) return found;
    }
    if (w < count) {
      const uint8_t *p = s + pos + 64 * w;
      size_t found =
          code_at_marks(s, n, acted_on, pos + 64 * w, marks_of_32(p, shift, top), marks_of_32(p + 32, shift, top));
      if (found != kStillSearching) return found;
    }
    pos += 64 * count;
    if (pos >= n) return n;
    // No prefix in the last stretch: none begins there whose code ends after it either.
    const uint8_t *last = s + pos - 64;
    if ((prefixes_of_32(last) | prefixes_of_32(last + 32)) == 0) return kStillSearching;
  }
}
#endif

// No code acted on in s[0, n). Of the codes that the dense way passed over since `resume`
// was last set, only one that ends after s[n - 4] must be found, and it begins in
// s[n - 7, n - 4]: the last prefix there, or the code three bytes before it that holds it.
static size_t none_acted(const uint8_t *s, size_t n, bool passed_since_resume, size_t &resume) {
  if (!passed_since_resume || n < 4) return n;
  size_t first = n >= 7 ? n - 7 : 0;
  for (size_t k = n - 4 + 1; k-- > first;) {
    if (s[k] != 0 || s[k + 1] != 0 || s[k + 2] != 1) continue;
    size_t end = prefix_is_code(s, k) ? k + 4 : k + 1;
    if (end > resume) resume = end;
    break;
  }
  return n;
}

size_t find_acted_code(SearchKernel kernel, const uint8_t *s, size_t n, const bool (&acted_on)[256], size_t &resume) {
  resume = 0;
  size_t pos = 0;  // where the search goes on: every code before it has been passed over
  bool dense = false;
  bool passed_since_resume = false;  // by the dense way, which does not keep resume
  while (pos < n) {
    if (!dense) {
      size_t at = pos + find_prefix(kernel, s + pos, n - pos);
      if (at + 4 > n) return none_acted(s, n, passed_since_resume, resume);
      if (acted_on[s[at + 3]]) return at;
      dense = at - pos < kDenseGap;
      // The code's four bytes are consumed: a prefix that begins inside them is not one.
      resume = pos = at + 4;
      passed_since_resume = false;
      continue;
    }
#if ZORBEL_AVX2
    if (kernel == SearchKernel::avx2) {
      size_t found = dense_acted_code_avx2(s, n, pos, acted_on);
      if (found == n) return none_acted(s, n, true, resume);
      if (found != kStillSearching) return found;
      passed_since_resume = true;
      dense = false;
      continue;
    }
#endif
    uint64_t masks[kBatch];
    size_t left = (n - pos + 63) / 64;
    size_t count = left < kBatch ? left : kBatch;
    uint32_t found = prefix_masks(kernel, s + pos, count, masks);
    size_t codes = 0;
    for (; found != 0; found &= found - 1) {
      size_t w = static_cast<size_t>(lowest_set_bit(found));
      size_t i = pos + 64 * w;
      uint64_t prefixes = masks[w];
      // Prefixes that begin inside the last code passed over are not searched for.
      if (resume > i) prefixes &= resume - i < 64 ? ~uint64_t{0} << (resume - i) : 0;
      // Nor those of codes that the end of the span cuts: the loop below need not test.
      if (i + 64 + 3 > n) {
        size_t whole = n - 3 > i ? n - 3 - i : 0;  // bits of the codes that end by n
        prefixes &= (uint64_t{1} << whole) - 1;
      }
      while (prefixes != 0) {
        int bit = lowest_set_bit(prefixes);
        size_t at = i + static_cast<size_t>(bit);
        if (acted_on[s[at + 3]]) return at;
        resume = at + 4;
        codes++;
        // This prefix and the three that its code bytes could begin; those past this
        // stretch are left out by the test against resume above.
        prefixes &= ~(uint64_t{15} << bit);
      }
    }
    dense = codes >= kDenseCodes;
    pos += 64 * count;
    if (resume > pos) pos = resume;
  }
  return none_acted(s, n, passed_since_resume, resume);
}

size_t find_acted_code(const uint8_t *s, size_t n, const bool (&acted_on)[256], size_t &resume) {
  return find_acted_code(chosen, s, n, acted_on, resume);
}
