// Start-code search kernels: pure functions of a byte span that find start-code prefixes
// (00 00 01, ISO/IEC 13818-2, 5.3) in memory. Each has a scalar reference, always built,
// and SSE2 and AVX2 versions where the compiler and the processor have them; the fastest
// one is chosen at start.
//
// Contract: a span s[0, n) may be read beyond its end by up to kSearchSlack bytes (never
// used as data), so buffers that hold spans keep that room after them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kSearchSlack = 80;

enum class SearchKernel { scalar, sse2, avx2 };

bool search_kernel_available(SearchKernel kernel);
// The kernels that the search uses from now on (tests, benchmarks); one that this build or
// processor lacks gives the next best that it has.
void use_search_kernel(SearchKernel kernel);
SearchKernel best_search_kernel();

// Index of the first prefix 00 00 01 lying wholly in s[0, n), or n. For the first code
// only, this beats the prefix masks below (which pass over many codes in one sweep): with
// them instead, a DVD program stream took a third more instructions.
size_t find_prefix(const uint8_t *s, size_t n);
size_t find_prefix(SearchKernel kernel, const uint8_t *s, size_t n);

// Bit j of masks[w] marks a prefix at s[64 w + j], for `count` (at most 32) stretches of 64
// bytes from s; bytes up to s[64 count + 1] take part. Bit w of the result is set when
// masks[w] is not 0.
uint32_t prefix_masks(SearchKernel kernel, const uint8_t *s, size_t count, uint64_t *masks);

// The first start code in s[0, n) whose last byte is marked in acted_on: the index of its
// prefix, or n when there is none. Every other code met on the way is passed over as a
// byte-wise search would: its four bytes are consumed before the search goes on, so a
// prefix that begins inside them is not one. `resume` is then where the bytes after the
// last code passed over begin where that is after s[n - 4] (a search that goes on
// byte-wise from the last four bytes needs no more), else at most n - 4. Only codes
// whose four bytes lie in s[0, n) count.
size_t find_acted_code(const uint8_t *s, size_t n, const bool (&acted_on)[256], size_t &resume);
size_t find_acted_code(SearchKernel kernel, const uint8_t *s, size_t n, const bool (&acted_on)[256], size_t &resume);
