#include <gtest/gtest.h>

#include "run_binary.hpp"
#include "stream_builder.hpp"

TEST(Smoke, HeaderOnlyStream) {
  std::string dir = make_temp_dir("smoke");
  StreamBuilder s;
  s.sequence_header().gop(0, 0, 1, 0).cc_block(frames_of({{0x14, 0x20}, {0x14, 0x20}, {0x14, 0x70}, {'H', 'i'}, {0x14, 0x2F}, {0x14, 0x2F}})).picture();
  s.gop(0, 0, 3, 0).cc_block(frames_of({{0x14, 0x2C}, {0x14, 0x2C}}));
  write_file(dir + "/a.mpg", s.bytes());
  RunResult r = run_zorbel({"a.mpg"}, dir);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::printf("%s\n---\n%s\n", r.out.c_str(), read_file(dir + "/a.srt").c_str());
}
