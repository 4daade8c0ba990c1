// Every reference case through the built binary: the console, the .srt and the .smi must be
// the reviewed files of tests/ref/, byte for byte (regenerate.sh writes them on purpose).
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "ref_cases.hpp"
#include "test_support.hpp"

namespace {

std::string reference(const std::string &name, const std::string &kind) {
  std::string path = source_path("tests/ref/" + name + "." + kind);
  return file_exists(path) ? read_file(path) : "(no reference file " + path + ")";
}

struct CaseRun {
  RunResult result;
  std::string srt, smi;
};

CaseRun run_case(const RefCase &c) {
  TempDir dir("ref");
  write_file(dir.path + "/" + c.input, c.bytes());
  std::vector<std::string> arguments = c.options;
  arguments.push_back(c.input);
  CaseRun run{run_zorbel(arguments, dir.path), "", ""};
  std::string base = dir.path + "/" + c.input.substr(0, c.input.rfind('.'));
  run.srt = file_exists(base + ".srt") ? read_file(base + ".srt") : "(no .srt file)";
  run.smi = file_exists(base + ".smi") ? read_file(base + ".smi") : "(no .smi file)";
  return run;
}

class Reference : public testing::TestWithParam<RefCase> {};

TEST_P(Reference, RunGivesTheReviewedFilesAndConsole) {
  const RefCase &c = GetParam();
  CaseRun run = run_case(c);
  EXPECT_EQ(run.result.status, 0);
  EXPECT_EQ(run.result.err, "");
  EXPECT_EQ(run.srt, reference(c.name, "srt"));
  EXPECT_EQ(run.smi, reference(c.name, "smi"));
  // Compared whole, without printing a trace of hundreds of kilobytes on a failure.
  EXPECT_TRUE(run.result.out == reference(c.console.empty() ? c.name : c.console, "out"));
}

std::string test_name(const testing::TestParamInfo<RefCase> &info) {
  std::string name;
  for (char c : info.param.name) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Cases, Reference, testing::ValuesIn(ref_cases()), test_name);

// The four containers of one script hold the same video elementary stream, so the tool
// must write the same files for all of them.
TEST(ReferenceFiles, EveryContainerOfAFixtureGivesTheSameFiles) {
  std::map<std::string, std::vector<std::string>> by_stream;
  for (const std::string &path : fixture_paths()) {
    std::string name = path.substr(path.rfind('/') + 1);
    by_stream[name.substr(0, name.find_first_of("-."))].push_back(name);
  }
  for (const auto &stream : by_stream) {
    for (const std::string &name : stream.second) {
      SCOPED_TRACE(name + " against " + stream.second[0]);
      EXPECT_TRUE(reference(name, "srt") == reference(stream.second[0], "srt"));
      EXPECT_TRUE(reference(name, "smi") == reference(stream.second[0], "smi"));
    }
  }
}

}  // namespace
