// The start-code search kernels, each variant against a byte-by-byte model of what it must
// give: random buffers thick with zero and 01 bytes, and a prefix at every offset around
// the end of a span, where the bytes past the end (which a kernel may read) must never
// count.
#include "mpeg/start_code_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

const SearchKernel kKernels[] = {SearchKernel::scalar, SearchKernel::sse2, SearchKernel::avx2};

const char *name_of(SearchKernel kernel) {
  return kernel == SearchKernel::scalar ? "scalar" : kernel == SearchKernel::sse2 ? "sse2" : "avx2";
}

bool prefix_at(const std::vector<uint8_t> &s, size_t i, size_t n) {
  return i + 3 <= n && s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1;
}

size_t model_find_prefix(const std::vector<uint8_t> &s, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (prefix_at(s, i, n)) return i;
  return n;
}

// The byte-wise scan: a code passed over is consumed whole before the search goes on.
size_t model_find_acted_code(const std::vector<uint8_t> &s, size_t n, const bool (&acted_on)[256], size_t &resume) {
  resume = 0;
  for (size_t i = 0; i + 4 <= n;) {
    if (!prefix_at(s, i, n)) {
      i++;
    } else if (acted_on[s[i + 3]]) {
      return i;
    } else {
      i += 4;
      resume = i;
    }
  }
  return n;
}

// A span of n bytes and the slack after it: zero and 01 bytes common throughout, or prefixes
// hundreds of bytes apart (as in DVD-rate pictures), or stretches of each in turn, so that
// the search changes between its ways of passing codes over.
std::vector<uint8_t> random_span(std::mt19937 &rng, size_t n, int density) {
  std::vector<uint8_t> s(n + kSearchSlack);
  bool thick = density == 0;
  for (size_t i = 0; i < s.size(); i++) {
    if (density == 2 && i % 700 == 0) thick = !thick;
    unsigned pick = rng() % (thick ? 8 : 400);
    s[i] = pick < 3 ? 0 : pick < 5 ? 1 : static_cast<uint8_t>(0xB0 + rng() % 16);
    if (!thick && rng() % 300 == 0 && i + 7 < s.size()) {
      // A prefix, or a picture start code whose last byte begins a prefix that is none.
      static const uint8_t kOverlap[7] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0xB3};
      size_t length = rng() % 3 == 0 ? 7 : 3;
      for (size_t k = 0; k < length; k++) s[i + k] = kOverlap[k];
      i += length - 1;
    }
  }
  return s;
}

void expect_kernels_agree(const std::vector<uint8_t> &s, size_t n, const bool (&acted_on)[256], const std::string &what) {
  size_t model_resume;
  size_t model_acted = model_find_acted_code(s, n, acted_on, model_resume);
  for (SearchKernel kernel : kKernels) {
    if (!search_kernel_available(kernel)) continue;
    SCOPED_TRACE(what + " with " + name_of(kernel));
    EXPECT_EQ(find_prefix(kernel, s.data(), n), model_find_prefix(s, n));
    size_t resume;
    size_t acted = find_acted_code(kernel, s.data(), n, acted_on, resume);
    EXPECT_EQ(acted, model_acted);
    // Where no acted-on code is found, the search hands on from the last code passed over
    // when that ends in the last bytes of the span.
    if (model_acted == n && model_resume + 4 > n) {
      EXPECT_EQ(resume, model_resume);
    } else if (model_acted == n) {
      EXPECT_LE(resume + 4, n);
    }
    size_t count = n / 64 < 32 ? n / 64 : 32;
    uint64_t masks[32];
    uint32_t found = prefix_masks(kernel, s.data(), count, masks);
    for (size_t w = 0; w < count; w++) {
      uint64_t expected = 0;
      for (size_t j = 0; j < 64; j++) expected |= uint64_t{prefix_at(s, 64 * w + j, s.size())} << j;
      EXPECT_EQ(masks[w], expected) << "stretch " << w;
      EXPECT_EQ((found >> w) & 1, uint32_t{expected != 0}) << "stretch " << w;
    }
  }
}

TEST(StartCodeSearch, BestKernelIsAvailableAndChosenByDefault) {
  EXPECT_TRUE(search_kernel_available(SearchKernel::scalar));
  EXPECT_TRUE(search_kernel_available(best_search_kernel()));
#if defined(__x86_64__) || defined(_M_X64)
  EXPECT_TRUE(search_kernel_available(SearchKernel::sse2));
#endif
}

TEST(StartCodeSearch, EveryKernelMatchesTheModelOnRandomBuffers) {
  std::mt19937 rng(20261208);
  bool acted_on[256] = {};
  for (int round = 0; round < 3000; round++) {
    size_t n = rng() % 5000;
    std::vector<uint8_t> s = random_span(rng, n, round % 3);
    for (bool &acted : acted_on) acted = rng() % 6 == 0;
    expect_kernels_agree(s, n, acted_on, "round " + std::to_string(round) + ", " + std::to_string(n) + " bytes");
    if (HasFailure()) return;
  }
}

TEST(StartCodeSearch, PrefixAtEveryOffsetAroundTheEndOfTheSpan) {
  bool acted_on[256] = {};
  acted_on[0xB3] = true;
  for (size_t n : {1u, 3u, 4u, 63u, 64u, 65u, 127u, 128u, 1024u, 2047u, 2048u}) {
    for (size_t at = n > 70 ? n - 70 : 0; at < n + 6; at++) {
      // Nothing but the one prefix in the span; the slack after it is full of prefixes.
      std::vector<uint8_t> s(n + kSearchSlack, 0x55);
      for (size_t i = n; i + 4 <= s.size(); i += 4) {
        s[i] = 0;
        s[i + 1] = 0;
        s[i + 2] = 1;
        s[i + 3] = 0xB3;
      }
      for (size_t i = at; i < at + 4 && i < s.size(); i++) s[i] = i == at + 2 ? 0x01 : i == at + 3 ? 0xB3 : 0x00;
      expect_kernels_agree(s, n, acted_on, std::to_string(n) + " bytes, prefix at " + std::to_string(at));
      // A code passed over just before the end hands on where its bytes end.
      acted_on[0xB3] = false;
      expect_kernels_agree(s, n, acted_on, std::to_string(n) + " bytes, code passed over at " + std::to_string(at));
      acted_on[0xB3] = true;
      if (HasFailure()) return;
    }
  }
}

// A picture start code whose last byte begins what looks like a prefix (00 00 01 00 00 01
// B3), at every offset of a span that starts with two codes close together: wherever the
// search changes its way of passing codes over, the look-alike must stay unseen. One more
// picture start code before it makes the look-alike the third code of the chain, and a
// code again.
TEST(StartCodeSearch, LookAlikePrefixInsideACodePassedOverAtEveryOffset) {
  bool acted_on[256] = {};
  acted_on[0xB3] = true;
  const size_t n = 3000;
  const std::vector<uint8_t> chains[] = {{0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0xB3},
                                         {0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0xB3}};
  for (const std::vector<uint8_t> &look_alike : chains) {
    for (size_t at = 16; at + look_alike.size() <= n; at++) {
      std::vector<uint8_t> s(n + kSearchSlack, 0x55);
      const uint8_t head[] = {0x00, 0x00, 0x01, 0x00, 0x55, 0x55, 0x55, 0x55, 0x00, 0x00, 0x01, 0xAF};
      std::copy(head, head + sizeof head, s.begin());
      std::copy(look_alike.begin(), look_alike.end(), s.begin() + static_cast<long>(at));
      expect_kernels_agree(s, n, acted_on,
                           std::to_string(look_alike.size()) + "-byte look-alike at " + std::to_string(at));
      if (HasFailure()) return;
    }
  }
}

}  // namespace
