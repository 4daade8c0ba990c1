// The runs whose .srt, .smi and console are reviewed files in tests/ref/: every stream
// fixture and the sample, with and without --timecode, and the whole caption streams of the
// stream builder. tests/ref/regenerate.sh writes those files from a build; the table test
// (ref_test.cpp) holds every run to them, byte for byte.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "stream_builder.hpp"

struct RefCase {
  std::string name;                  // tests/ref/<name>.srt, .smi and .out
  std::string input;                 // the input's file name, in the folder the run starts in
  std::vector<std::string> options;  // given before the input
  std::string console;               // the case whose .out the console equals: this one when empty
  std::function<Bytes()> bytes;      // the input
};

const std::vector<RefCase> &ref_cases();
// The fixture streams and the sample, as paths in the source tree.
const std::vector<std::string> &fixture_paths();
