// Micro-benchmarks of the bit reader: field reads and the start-code search, over a
// file of slice-like data held in the page cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/run_driver.hpp"
#include "mpeg/bit_reader.hpp"

namespace {

// 8 MiB of pseudo-random bytes with a start code every `spacing` bytes.
std::string make_input(size_t spacing) {
  std::string path = "/tmp/zorbel-bench-" + std::to_string(spacing) + ".bin";
  if (FILE *existing = fopen(path.c_str(), "rb")) {
    fclose(existing);
    return path;
  }
  std::vector<unsigned char> data(8u << 20);
  uint32_t state = 12345;
  for (size_t i = 0; i < data.size(); i++) {
    state = state * 1103515245u + 12345u;
    data[i] = static_cast<unsigned char>((state >> 24) | 1);  // never 0: no stray prefix
  }
  for (size_t i = 0; i + 4 < data.size(); i += spacing) {
    data[i] = 0;
    data[i + 1] = 0;
    data[i + 2] = 1;
    data[i + 3] = 0x01;
  }
  FILE *out = fopen(path.c_str(), "wb");
  fwrite(data.data(), 1, data.size(), out);
  fclose(out);
  return path;
}

void open_reader(const std::string &path) {
  if (reader.file) fclose(reader.file);
  reader.file = fopen(path.c_str(), "rb");
  program_stream_flag = 0;
  reset_reader();
}

void search(benchmark::State &state, bool reference) {
  std::string path = make_input(static_cast<size_t>(state.range(0)));
  use_reference_search(reference);
  for (auto _ : state) {
    open_reader(path);
    for (;;) {
      align_to_start_code();
      uint32_t code = read_bits32();
      if (reader_past_end((reader.bits_consumed >> 3) - 4, code)) break;
    }
  }
  use_reference_search(false);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (8 << 20));
}

void BM_StartCodeSearch(benchmark::State &state) { search(state, false); }
void BM_StartCodeSearchReference(benchmark::State &state) { search(state, true); }
BENCHMARK(BM_StartCodeSearch)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_StartCodeSearchReference)->Arg(64)->Arg(4096)->Arg(65536);

void BM_ReadBits(benchmark::State &state) {
  std::string path = make_input(65536);
  for (auto _ : state) {
    open_reader(path);
    uint32_t sum = 0;
    for (int i = 0; i < (1 << 20); i++) sum += read_bits(static_cast<int>(1 + i % 24));
    benchmark::DoNotOptimize(sum);
  }
  // 12.5 bits per read on average.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (1 << 20) * 25 / 16);
}
BENCHMARK(BM_ReadBits);

}  // namespace
