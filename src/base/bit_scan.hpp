// Bit scans: the index of the lowest or the highest set bit of a value that is not 0, one
// instruction on the compilers that build ZORBEL.
#pragma once

#include <cstdint>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

inline int lowest_set_bit(uint64_t bits) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, bits);
  return static_cast<int>(index);
#else
  return __builtin_ctzll(bits);
#endif
}

inline int highest_set_bit(uint64_t bits) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanReverse64(&index, bits);
  return static_cast<int>(index);
#else
  return 63 - __builtin_clzll(bits);
#endif
}
