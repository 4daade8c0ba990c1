// Console number formatting against printf: every value near zero and on both sides of
// every power of the base, at every width from 0 to past the longest number.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/console.hpp"

namespace {

// What put writes into a buffer, with a note when it also wrote past the end it gives.
template <class Put>
std::string written(Put put) {
  char buffer[64];
  memset(buffer, '#', sizeof buffer);
  char *end = put(buffer);
  for (const char *p = end; p < buffer + sizeof buffer; p++)
    if (*p != '#') return std::string(buffer, end) + " and bytes past its end";
  return std::string(buffer, end);
}

template <class Value, class Put>
void expect_printf_text(const char *format, const std::vector<Value> &values, int widest, Put put) {
  int mismatches = 0;
  std::string first;
  for (int width = 0; width <= widest; width++) {
    for (Value value : values) {
      char expected[64];
      snprintf(expected, sizeof expected, format, width, value);
      std::string got = written([&](char *out) { return put(out, value, width); });
      if (got != expected && ++mismatches <= 10)
        first += "  width " + std::to_string(width) + ": \"" + got + "\" for \"" + expected + "\"\n";
    }
  }
  EXPECT_EQ(mismatches, 0) << first;
}

TEST(ConsoleFormat, PutDecimalWritesWhatPrintfWrites) {
  std::vector<int64_t> values = {INT64_MIN, INT64_MIN + 1, INT64_MAX};
  for (int64_t v = -1100; v <= 1100; v++) values.push_back(v);
  for (int64_t p = 10;; p *= 10) {
    for (int64_t v : {p - 1, p, p + 1}) values.insert(values.end(), {v, -v});
    if (p > INT64_MAX / 10) break;
  }
  expect_printf_text("%0*" PRId64, values, 22, [](char *out, int64_t value, int width) {
    return put_decimal(out, value, width);
  });
}

TEST(ConsoleFormat, PutHexWritesWhatPrintfWrites) {
  std::vector<uint32_t> values = {0x80000000u, 0xFFFFFFFFu};
  for (uint32_t v = 0; v <= 0x1100; v++) values.push_back(v);
  for (uint32_t p = 0x100; p != 0; p <<= 4) values.insert(values.end(), {p - 1, p, p + 1});
  expect_printf_text("%0*x", values, 10, [](char *out, uint32_t value, int width) {
    return put_hex(out, value, width);
  });
}

}  // namespace
