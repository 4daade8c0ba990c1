// Damaged input through the real binary: a few hundred streams derived from the real-stream
// fixtures by seeded mutations (bit flips, inserted and deleted bytes, planted start codes,
// truncations around block boundaries, elementary and program streams spliced together).
// Whatever the bytes, every run must end by itself with status 0 or 1, without a signal or
// a sanitizer report, and when it got as far as opening its outputs it must leave a complete
// SAMI file and a well-formed SRT file that describe the same captions.
//
// The cases are the same on every run (fixed seeds, std::mt19937 taken raw). A failing
// input is kept in the test's temporary directory, and its path and the mutations that
// made it are printed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "caption_test_support.hpp"
#include "ref_cases.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

// Each case gets this long; the fixtures take milliseconds even under the sanitizers.
constexpr int kTimeLimitSeconds = 30;
// A kind stops after this many failing cases, so a systematic fault does not run into the
// test's own time limit.
constexpr int kMaxFailuresPerKind = 5;

// The files in tests/fixtures (the bundled sample is long), by name: elementary or program streams.
std::vector<const char *> fixture_names(bool elementary) {
  const std::string folder = "tests/fixtures/";
  std::vector<const char *> names;
  for (const std::string &path : fixture_paths())
    if (path.rfind(folder, 0) == 0 && ends_with(path, ".m2v") == elementary) names.push_back(path.c_str() + folder.size());
  return names;
}
const std::vector<const char *> kElementary = fixture_names(true), kProgram = fixture_names(false);

// Read once; the references stay valid (map nodes do not move).
const Bytes &fixture(const std::string &name) {
  static std::map<std::string, Bytes> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  std::string path = source_path("tests/fixtures/" + name);
  std::string text = file_exists(path) ? read_file(path) : std::string();
  if (text.empty()) throw std::runtime_error("missing fixture " + path);
  return cache.emplace(name, Bytes(text.begin(), text.end())).first->second;
}

std::string extension_of(const std::string &name) { return name.substr(name.find_last_of('.')); }

// ---------------------------------------------------------------------------------------
// Running one input with a time limit

struct Ending {
  enum Kind { Exited, TimedOut, Signalled, SanitizerReport } kind;
  int status;  // exit status, or the signal number
  std::string err;
};

Ending run_bounded(const std::string &dir, const std::string &input, const std::string &program = ZORBEL_BINARY,
                   int time_limit = kTimeLimitSeconds) {
  RunResult run = run_line(dir, "exec " + shell_quote(program) + " " + shell_quote(input) + " >/dev/null", time_limit);
  Ending ending{Ending::Exited, run.status, run.err};
  if (run.timed_out) {
    ending.kind = Ending::TimedOut;
  } else if (run.status == 86 || run.status == 87 || run.err.find("Sanitizer") != std::string::npos ||
             run.err.find("runtime error:") != std::string::npos) {
    ending.kind = Ending::SanitizerReport;
  } else if (run.signal != 0) {
    ending.kind = Ending::Signalled;
    ending.status = run.signal;
  }
  return ending;
}

// ---------------------------------------------------------------------------------------
// Strict readers of the two output files


// Splits into CR LF lines; false when a line lacks its CR LF or holds a lone CR or LF.
bool crlf_lines(const std::string &text, std::vector<std::string> &lines, std::string &error) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      error = "line at byte " + std::to_string(at) + " has no CR LF";
      return false;
    }
    std::string line = text.substr(at, end - at);
    if (line.find_first_of("\r\n") != std::string::npos) {
      error = "lone CR or LF in the line at byte " + std::to_string(at);
      return false;
    }
    lines.push_back(line);
    at = end + 2;
  }
  return true;
}

bool all_digits(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

struct SamiBlock {
  long long ms;
  std::vector<std::string> rows;  // none for "&nbsp;"
};

std::string parse_sami(const std::string &text, std::vector<SamiBlock> &blocks) {
  if (text.size() < kSamiHeader.size() + kSamiTrailer.size()) return "SAMI file shorter than header and trailer";
  if (text.compare(0, kSamiHeader.size(), kSamiHeader) != 0) return "SAMI file does not start with the header";
  if (!ends_with(text, kSamiTrailer)) return "SAMI file does not end with the trailer";
  std::string body = text.substr(kSamiHeader.size(), text.size() - kSamiHeader.size() - kSamiTrailer.size());
  std::vector<std::string> lines;
  std::string error;
  if (!crlf_lines(body, lines, error)) return "SAMI body: " + error;
  static const std::string kSync = "<SYNC START=\"", kParagraph = "<P class=ENCC>";
  for (size_t i = 0; i < lines.size();) {
    const std::string &sync = lines[i];
    if (sync.compare(0, kSync.size(), kSync) != 0 || !ends_with(sync, "\">") ||
        !all_digits(sync.substr(kSync.size(), sync.size() - kSync.size() - 2)) || sync.size() > kSync.size() + 2 + 12)
      return "SAMI body line " + std::to_string(i + 1) + " is not a sync line: " + sync;
    SamiBlock block{std::stoll(sync.substr(kSync.size())), {}};
    if (++i >= lines.size() || lines[i].compare(0, kParagraph.size(), kParagraph) != 0)
      return "SAMI sync line " + std::to_string(i) + " is not followed by a paragraph";
    std::string first = lines[i].substr(kParagraph.size());
    i++;
    if (first != "&nbsp;") {
      std::vector<std::string> row_lines{first};
      while (i < lines.size() && lines[i].compare(0, kSync.size(), kSync) != 0) row_lines.push_back(lines[i++]);
      for (const std::string &row : row_lines) {
        if (!ends_with(row, "<BR>") || row.size() == 4) return "SAMI caption row without text or <BR>: " + row;
        std::string cells = row.substr(0, row.size() - 4);
        if (cells.find('\0') != std::string::npos) return "SAMI caption row holds a NUL byte";
        block.rows.push_back(cells);
      }
    }
    blocks.push_back(block);
  }
  return "";
}

struct SrtEntry {
  long long start, end;
  std::vector<std::string> rows;
};

// "HH:MM:SS,mmm" (hours two digits or more, minutes and seconds 00-59) as milliseconds, or
// -1.
long long srt_time_ms(const std::string &text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 2 || text.size() != colon + 10) return -1;
  std::string hours = text.substr(0, colon), minutes = text.substr(colon + 1, 2), seconds = text.substr(colon + 4, 2),
              millis = text.substr(colon + 7, 3);
  if (text[colon + 3] != ':' || text[colon + 6] != ',' || !all_digits(hours) || !all_digits(minutes) ||
      !all_digits(seconds) || !all_digits(millis) || minutes[0] > '5' || seconds[0] > '5' || hours.size() > 12)
    return -1;
  return std::stoll(hours) * 3600000 + std::stoll(minutes) * 60000 + std::stoll(seconds) * 1000 + std::stoll(millis);
}

std::string parse_srt(const std::string &text, std::vector<SrtEntry> &entries) {
  std::vector<std::string> lines;
  std::string error;
  if (!crlf_lines(text, lines, error)) return "SRT file: " + error;
  size_t i = 0;
  while (i < lines.size()) {
    std::string expected = std::to_string(entries.size() + 1);
    if (expected.size() < 8) expected.resize(8, ' ');  // "%-8u"
    if (lines[i] != expected)
      return "SRT line " + std::to_string(i + 1) + ": counter line \"" + lines[i] + "\", expected \"" + expected + "\"";
    i++;
    size_t arrow = i < lines.size() ? lines[i].find(" --> ") : std::string::npos;
    long long start = arrow == std::string::npos ? -1 : srt_time_ms(lines[i].substr(0, arrow));
    long long end = arrow == std::string::npos ? -1 : srt_time_ms(lines[i].substr(arrow + 5));
    if (start < 0 || end < 0) return "SRT line " + std::to_string(i + 1) + " is not a time line";
    SrtEntry entry{start, end, {}};
    i++;
    while (i < lines.size() && !lines[i].empty()) {
      if (lines[i].find('\0') != std::string::npos) return "SRT text line holds a NUL byte";
      entry.rows.push_back(lines[i++]);
    }
    if (i >= lines.size()) return "SRT entry " + std::to_string(entries.size() + 1) + " has no closing blank line";
    if (entry.rows.empty()) return "SRT entry " + std::to_string(entries.size() + 1) + " has no text";
    i++;
    entries.push_back(entry);
  }
  return "";
}

// Both files describe the same captions: each SAMI paragraph with text is one SRT entry,
// starting at its sync time and ending at the next sync time (the last may end at any
// time), its rows the same text with the SRT's leading blank columns.
std::string cross_check(const std::vector<SamiBlock> &blocks, const std::vector<SrtEntry> &entries) {
  size_t k = 0;
  for (size_t j = 0; j < blocks.size(); j++) {
    if (blocks[j].rows.empty()) continue;
    std::string where = "SAMI paragraph at " + std::to_string(blocks[j].ms) + " and SRT entry " + std::to_string(k + 1);
    if (k >= entries.size()) return where + ": SRT entry missing";
    const SrtEntry &entry = entries[k++];
    if (entry.start != blocks[j].ms) return where + ": start " + std::to_string(entry.start) + " differs";
    if (j + 1 < blocks.size() && entry.end != blocks[j + 1].ms)
      return where + ": end " + std::to_string(entry.end) + " is not the next sync " + std::to_string(blocks[j + 1].ms);
    if (entry.rows.size() != blocks[j].rows.size()) return where + ": different row counts";
    for (size_t r = 0; r < entry.rows.size(); r++) {
      const std::string &srt_row = entry.rows[r], &sami_row = blocks[j].rows[r];
      if (!ends_with(srt_row, sami_row) ||
          srt_row.substr(0, srt_row.size() - sami_row.size()).find_first_not_of(' ') != std::string::npos)
        return where + ": row \"" + srt_row + "\" is not \"" + sami_row + "\" after blank columns";
    }
  }
  if (k != entries.size()) return std::to_string(entries.size() - k) + " SRT entries without a SAMI paragraph";
  return "";
}

// What is wrong with a run, or "". A stream that is only cut short (a prefix of a good
// stream) must end as a stream ends: status 0, or the refusal of a cut that kept no video
// or not even the first start code.
std::string judge(const Ending &ending, const std::string &dir, const std::string &base, bool cut_short = false) {
  switch (ending.kind) {
    case Ending::TimedOut: return "no end within " + std::to_string(kTimeLimitSeconds) + " s";
    case Ending::Signalled: return "killed by signal " + std::to_string(ending.status);
    case Ending::SanitizerReport: return "sanitizer report (status " + std::to_string(ending.status) + ")";
    case Ending::Exited: break;
  }
  if (ending.status != 0 && ending.status != 1) return "exit status " + std::to_string(ending.status);
  if (ending.status == 1 && ending.err.empty()) return "status 1 without a message on stderr";
  // The one word a good run may say: that it found no caption.
  bool no_captions = ending.err.rfind("zorbel: no captions found in " + base + ".", 0) == 0 &&
                     ending.err.find('\n') == ending.err.size() - 1;
  if (ending.status == 0 && !ending.err.empty() && !no_captions) return "status 0 with a message on stderr";
  // The refusals of a cut that kept no video, or not even the first start code, and the
  // line that says which file and why.
  std::string refusal = ending.err.substr(0, ending.err.find('\n') + 1);
  if (cut_short && ending.status != 0 && refusal != "No video stream found\n" &&
      refusal != "Unable to recognize stream type\n")
    return "a stream cut short ended with status " + std::to_string(ending.status);
  bool has_srt = file_exists(dir + "/" + base + ".srt"), has_smi = file_exists(dir + "/" + base + ".smi");
  if (has_srt != has_smi) return std::string("only the ") + (has_srt ? ".srt" : ".smi") + " file exists";
  if (!has_srt) return ending.status == 0 ? "status 0 without output files" : "";
  std::vector<SamiBlock> blocks;
  std::vector<SrtEntry> entries;
  std::string problem = parse_sami(read_file(dir + "/" + base + ".smi"), blocks);
  if (problem.empty()) problem = parse_srt(read_file(dir + "/" + base + ".srt"), entries);
  if (problem.empty()) problem = cross_check(blocks, entries);
  return problem;
}

// ---------------------------------------------------------------------------------------
// Mutations

struct Case {
  std::string seed;  // fixture name, or "a+b" for splices
  std::string description;
  Bytes data;
};

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : rng_(seed) {}

  // 0 .. n-1 from the raw generator output, the same with every standard library.
  size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng_()) % n; }
  bool chance(unsigned percent) { return below(100) < percent; }

  const char *pick(const std::vector<const char *> &names) { return names[below(names.size())]; }

  // A byte position, half the time near a start code, where the parsers are busiest.
  size_t position(const Bytes &data) {
    if (data.empty()) return 0;
    if (chance(50)) {
      std::vector<size_t> starts;
      for (size_t i = 0; i + 2 < data.size(); i++)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) starts.push_back(i);
      if (!starts.empty()) {
        long long at = static_cast<long long>(starts[below(starts.size())]) + static_cast<long long>(below(40)) - 8;
        if (at < 0) at = 0;
        if (at >= static_cast<long long>(data.size())) at = static_cast<long long>(data.size()) - 1;
        return static_cast<size_t>(at);
      }
    }
    return below(data.size());
  }

  uint8_t random_byte() {
    switch (below(4)) {
      case 0: return 0x00;
      case 1: return 0xFF;
      default: return static_cast<uint8_t>(below(256));
    }
  }

  std::string flip_bits(Bytes &data) {
    std::string text;
    size_t flips = 1 + below(8);
    for (size_t n = 0; n < flips; n++) {
      size_t at = position(data);
      int bit = static_cast<int>(below(8));
      data[at] ^= static_cast<uint8_t>(1u << bit);
      text += " flip bit " + std::to_string(bit) + " of byte " + std::to_string(at) + ";";
    }
    return text;
  }

  std::string insert_bytes(Bytes &data) {
    std::string text;
    size_t insertions = 1 + below(3);
    for (size_t n = 0; n < insertions; n++) {
      size_t at = position(data), count = 1 + below(chance(20) ? 300 : 16);
      Bytes fresh;
      for (size_t i = 0; i < count; i++) fresh.push_back(random_byte());
      data.insert(data.begin() + static_cast<long>(at), fresh.begin(), fresh.end());
      text += " insert " + std::to_string(count) + " bytes at " + std::to_string(at) + ";";
    }
    return text;
  }

  std::string delete_bytes(Bytes &data) {
    std::string text;
    size_t deletions = 1 + below(3);
    for (size_t n = 0; n < deletions && data.size() > 1; n++) {
      size_t at = position(data);
      size_t count = 1 + below(chance(25) ? 4096 : 32);
      if (count > data.size() - at) count = data.size() - at;
      data.erase(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + count));
      text += " delete " + std::to_string(count) + " bytes at " + std::to_string(at) + ";";
    }
    return text;
  }

  std::string plant_start_codes(Bytes &data) {
    static const uint8_t kCodes[] = {0xB3, 0xB8, 0xB5, 0xB2, 0xB7, 0x00, 0xBA, 0xBB, 0xB9, 0xE0, 0xE1, 0xC0, 0xBE};
    std::string text;
    size_t plants = 1 + below(4);
    for (size_t n = 0; n < plants; n++) {
      uint8_t code = kCodes[below(sizeof kCodes)];
      Bytes planted = {0x00, 0x00, 0x01, code};
      // Sometimes a header field after it: a packet length, flags, a time code.
      size_t extra = chance(50) ? below(4) : 0;
      for (size_t i = 0; i < extra; i++) planted.push_back(random_byte());
      size_t at;
      if (chance(25)) {
        // Straddling a block boundary.
        size_t blocks = data.size() / 2048;
        at = blocks > 0 ? (1 + below(blocks)) * 2048 - below(5) : 0;
      } else {
        at = position(data);
      }
      char hex[8];
      snprintf(hex, sizeof hex, "%02X", code);
      if (chance(25)) {
        data.insert(data.begin() + static_cast<long>(at), planted.begin(), planted.end());
        text += " insert";
      } else {
        if (at + planted.size() > data.size()) data.resize(at + planted.size());
        std::copy(planted.begin(), planted.end(), data.begin() + static_cast<long>(at));
        text += " overwrite";
      }
      text += " 000001" + std::string(hex) + " +" + std::to_string(extra) + " bytes at " + std::to_string(at) + ";";
    }
    return text;
  }

  std::mt19937 rng_;
};

std::vector<const char *> all_fixtures() {
  std::vector<const char *> names = kElementary;
  names.insert(names.end(), kProgram.begin(), kProgram.end());
  return names;
}

Case mutated(Mutator &m, std::string (Mutator::*mutation)(Bytes &)) {
  const char *name = m.pick(all_fixtures());
  Case c{name, "", fixture(name)};
  c.description = (m.*mutation)(c.data);
  return c;
}

Bytes cut(const Bytes &data, size_t size) { return Bytes(data.begin(), data.begin() + static_cast<long>(size)); }

Bytes joined(const Bytes &head, size_t head_size, const Bytes &tail, size_t tail_from) {
  Bytes out = cut(head, head_size);
  out.insert(out.end(), tail.begin() + static_cast<long>(tail_from), tail.end());
  return out;
}

// ---------------------------------------------------------------------------------------
// Running a kind of cases

class HostileInput : public testing::Test {
 protected:
  void run_all(const std::string &kind, const std::vector<Case> &cases, bool cut_short = false) {
    ASSERT_FALSE(cases.empty());
    TempDir temp("hostile-" + kind);
    const std::string &dir = temp.path;
    auto started = std::chrono::steady_clock::now();
    int failures = 0, statuses[2] = {0, 0}, with_outputs = 0;
    size_t n = 0;
    for (; n < cases.size() && failures < kMaxFailuresPerKind; n++) {
      const Case &c = cases[n];
      std::string ext = extension_of(c.seed.substr(c.seed.find('+') + 1));
      std::string input = "input" + ext;
      unlink((dir + "/input.srt").c_str());
      unlink((dir + "/input.smi").c_str());
      write_file(dir + "/" + input, c.data);
      Ending ending = run_bounded(dir, input);
      std::string problem = judge(ending, dir, "input", cut_short);
      if (problem.empty()) {
        statuses[ending.status]++;
        if (file_exists(dir + "/input.srt")) with_outputs++;
        continue;
      }
      failures++;
      std::string kept = dir + "/failing-" + kind + "-" + std::to_string(n) + ext;
      write_file(kept, c.data);
      std::string err = ending.err.size() > 3000 ? ending.err.substr(0, 3000) + "..." : ending.err;
      ADD_FAILURE() << kind << " case " << n << ": " << problem << "\n  input kept as " << kept << "\n  made from "
                    << c.seed << ":" << c.description << "\n  stderr: " << err;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("[ %s ] %zu of %zu cases run in %.1f s, %d failing; passed: %d with status 0, %d with status 1 (%d of "
           "them with output files)\n",
           kind.c_str(), n, cases.size(), seconds, failures, statuses[0], statuses[1], with_outputs - statuses[0]);
    temp.keep = failures > 0;
    if (failures >= kMaxFailuresPerKind) ADD_FAILURE() << kind << ": stopped after " << failures << " failing cases";
  }

  // `count` fixtures, each picked and changed once by the mutation, from a seeded Mutator.
  void run_mutations(const std::string &kind, uint32_t seed, int count, std::string (Mutator::*mutation)(Bytes &)) {
    Mutator m(seed);
    std::vector<Case> cases;
    for (int i = 0; i < count; i++) cases.push_back(mutated(m, mutation));
    run_all(kind, cases);
  }
};

// ---------------------------------------------------------------------------------------
// The checks themselves must catch what they are for.

TEST(HostileInputJudge, SamiHeaderIsTheSeventeenLineHeader) {
  EXPECT_EQ(kSamiHeader.size(), 403u);
  size_t lines = 0;
  for (size_t at = kSamiHeader.find("\r\n"); at != std::string::npos; at = kSamiHeader.find("\r\n", at + 1)) lines++;
  EXPECT_EQ(lines, 17u);
}

TEST(HostileInputJudge, AcceptsMatchingFilesAndRejectsDamagedOnes) {
  std::string smi = kSamiHeader + "<SYNC START=\"1000\">\r\n<P class=ENCC>HELLO<BR>\r\nWORLD<BR>\r\n" +
                    "<SYNC START=\"2500\">\r\n<P class=ENCC>&nbsp;\r\n<SYNC START=\"3000\">\r\n<P class=ENCC>BYE<BR>\r\n" +
                    kSamiTrailer;
  std::string srt =
      "1       \r\n00:00:01,000 --> 00:00:02,500\r\n    HELLO\r\nWORLD\r\n\r\n"
      "2       \r\n00:00:03,000 --> 00:00:03,100\r\nBYE\r\n\r\n";
  std::vector<SamiBlock> blocks;
  std::vector<SrtEntry> entries;
  ASSERT_EQ(parse_sami(smi, blocks), "");
  ASSERT_EQ(parse_srt(srt, entries), "");
  ASSERT_EQ(blocks.size(), 3u);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].end, 2500);
  EXPECT_EQ(cross_check(blocks, entries), "");
  EXPECT_EQ(srt_time_ms("32:00:00,040"), 115200040);
  EXPECT_EQ(srt_time_ms("100:59:59,999"), 363599999);

  auto srt_problem = [](const std::string &text) {
    std::vector<SrtEntry> e;
    return parse_srt(text, e);
  };
  auto sami_problem = [](const std::string &text) {
    std::vector<SamiBlock> b;
    return parse_sami(text, b);
  };
  EXPECT_NE(srt_problem("2       \r\n00:00:01,000 --> 00:00:02,000\r\nA\r\n\r\n"), "");  // numbering starts at 1
  EXPECT_NE(srt_problem("1\r\n00:00:01,000 --> 00:00:02,000\r\nA\r\n\r\n"), "");         // counter not padded
  EXPECT_NE(srt_problem("1       \r\n00:00:01,000 --> 00:00:02,1001\r\nA\r\n\r\n"), "");
  EXPECT_NE(srt_problem("1       \r\n00:00:63,000 --> 00:00:02,100\r\nA\r\n\r\n"), "");
  EXPECT_NE(srt_problem("1       \r\n00:60:00,000 --> 00:00:02,100\r\nA\r\n\r\n"), "");
  EXPECT_NE(srt_problem("1       \r\n0:00:01,000 --> 00:00:02,100\r\nA\r\n\r\n"), "");
  EXPECT_NE(srt_problem("1       \r\n00:00:01.000 --> 00:00:02,100\r\nA\r\n\r\n"), "");
  EXPECT_NE(srt_problem("1       \r\n00:00:01,000 -> 00:00:02,100\r\nA\r\n\r\n"), "");
  EXPECT_NE(srt_problem("1       \r\n00:00:01,000 --> 00:00:02,000\r\nA\r\n"), "");  // no blank line
  EXPECT_NE(srt_problem("1       \r\n00:00:01,000 --> 00:00:02,000\r\n\r\n"), "");   // no text
  EXPECT_NE(srt_problem("1       \n00:00:01,000 --> 00:00:02,000\nA\n\n"), "");      // LF only
  EXPECT_NE(srt_problem(srt.substr(0, srt.size() - 1)), "");
  EXPECT_NE(sami_problem(smi.substr(1)), "");
  EXPECT_NE(sami_problem(smi.substr(0, smi.size() - 2)), "");
  EXPECT_NE(sami_problem(kSamiHeader + "<SYNC START=\"1\">\r\n" + kSamiTrailer), "");

  std::vector<SrtEntry> shifted = entries;
  shifted[0].end = 2600;
  EXPECT_NE(cross_check(blocks, shifted), "");
  shifted = entries;
  shifted[1].rows = {"BY"};
  EXPECT_NE(cross_check(blocks, shifted), "");
  shifted = entries;
  shifted.pop_back();
  EXPECT_NE(cross_check(blocks, shifted), "");
}

TEST(HostileInputJudge, RunnerTellsEndingsApart) {
  TempDir temp("hostile-runner");
  const std::string &dir = temp.path;
  write_file(dir + "/input.m2v", Bytes{0x00});
  Ending refusal = run_bounded(dir, "input.m2v");
  EXPECT_EQ(refusal.kind, Ending::Exited);
  EXPECT_EQ(refusal.status, 1);
  EXPECT_NE(refusal.err, "");
  EXPECT_EQ(judge(refusal, dir, "input"), "");

  // Stand-ins for a binary that hangs, crashes or reports an error.
  auto stand_in = [&](const std::string &name, const std::string &body) {
    std::string path = dir + "/" + name;
    write_file(path, Bytes(body.begin(), body.end()));
    EXPECT_EQ(chmod(path.c_str(), 0755), 0);
    return path;
  };
  Ending hang = run_bounded(dir, "input.m2v", stand_in("hang", "#!/bin/sh\nexec sleep 20\n"), 1);
  EXPECT_EQ(hang.kind, Ending::TimedOut);
  EXPECT_NE(judge(hang, dir, "input"), "");
  Ending crash = run_bounded(dir, "input.m2v", stand_in("crash", "#!/bin/sh\nkill -SEGV $$\n"));
  EXPECT_EQ(crash.kind, Ending::Signalled);
  EXPECT_EQ(crash.status, SIGSEGV);
  Ending asan = run_bounded(dir, "input.m2v", stand_in("asan", "#!/bin/sh\necho '==1==ERROR: AddressSanitizer: x' >&2; exit 1\n"));
  EXPECT_EQ(asan.kind, Ending::SanitizerReport);
  EXPECT_NE(judge(asan, dir, "input"), "");
  Ending ubsan = run_bounded(dir, "input.m2v", stand_in("ubsan", "#!/bin/sh\nexit 87\n"));
  EXPECT_EQ(ubsan.kind, Ending::SanitizerReport);
  Ending odd = run_bounded(dir, "input.m2v", stand_in("odd", "#!/bin/sh\necho oops >&2; exit 2\n"));
  EXPECT_EQ(odd.kind, Ending::Exited);
  EXPECT_NE(judge(odd, dir, "input"), "");

  // A stream that is only cut short has no reason for a system-layer error.
  Ending no_video{Ending::Exited, 1, "No video stream found\n"};
  EXPECT_EQ(judge(no_video, dir, "input", true), "");
  Ending misread{Ending::Exited, 1, "Unexpected startcode 000001b7 in system layer\n"};
  EXPECT_EQ(judge(misread, dir, "input"), "");
  EXPECT_NE(judge(misread, dir, "input", true), "");

  write_file(dir + "/input.srt", Bytes{});
  Ending half{Ending::Exited, 1, "Error in packet header\n"};
  EXPECT_NE(judge(half, dir, "input"), "");  // only one of the two files
}

// ---------------------------------------------------------------------------------------
// The mutation kinds

TEST_F(HostileInput, BitFlipsEndCleanly) { run_mutations("bitflip", 0x5EED0001, 50, &Mutator::flip_bits); }

TEST_F(HostileInput, InsertedBytesEndCleanly) { run_mutations("insert", 0x5EED0002, 25, &Mutator::insert_bytes); }

TEST_F(HostileInput, DeletedBytesEndCleanly) { run_mutations("delete", 0x5EED0003, 25, &Mutator::delete_bytes); }

TEST_F(HostileInput, PlantedStartCodesEndCleanly) {
  run_mutations("startcode", 0x5EED0004, 40, &Mutator::plant_start_codes);
}

TEST_F(HostileInput, TruncationAtEveryBlockBoundaryEndsCleanly) {
  std::vector<Case> cases;
  // A DVD program stream: its packs are blocks, so every cut ends the file between packs.
  // An elementary stream: every fourth cut, the padding after the last block.
  for (const char *name : {"pal-dvd.vob", "film.m2v"}) {
    const Bytes &data = fixture(name);
    size_t step = extension_of(name) == ".m2v" ? 4 : 1;
    for (size_t block = 1; block * 2048 < data.size(); block += step)
      cases.push_back({name, " cut at " + std::to_string(block * 2048), cut(data, block * 2048)});
  }
  run_all("truncate", cases, true);
}

TEST_F(HostileInput, TruncationNearBlockBoundariesEndsCleanly) {
  Mutator m(0x5EED0005);
  std::vector<Case> cases;
  // Cuts 1 to 4 bytes before or after a block end: inside a pack or packet header, a video
  // packet, a start code.
  for (const char *name : {"ntsc-vob.vob", "film-mpeg1.mpg", "ntsc-dvd.vob", "pal.m2v", "ntsc-a53.ts", "film.m2ts"}) {
    const Bytes &data = fixture(name);
    size_t blocks = data.size() / 2048;
    for (int n = 0; n < 10; n++) {
      size_t boundary = (1 + m.below(blocks - 1)) * 2048;
      for (int k = 0; k < 2; k++) {
        long offset = static_cast<long>(1 + m.below(4)) * (m.chance(50) ? 1 : -1);
        size_t size = static_cast<size_t>(static_cast<long>(boundary) + offset);
        cases.push_back({name, " cut at " + std::to_string(size), cut(data, size)});
      }
    }
  }
  run_all("truncate-near", cases, true);
}

TEST_F(HostileInput, SplicedElementaryAndProgramStreamsEndCleanly) {
  Mutator m(0x5EED0006);
  std::vector<Case> cases;
  // Half of each: a program stream that turns into raw video, and raw video that turns
  // into a program stream.
  for (const char *es : kElementary) {
    std::string script = std::string(es).substr(0, std::string(es).find('.'));
    for (const char *ps : kProgram) {
      if (std::string(ps).compare(0, script.size(), script) != 0) continue;
      const Bytes &e = fixture(es), &p = fixture(ps);
      cases.push_back({std::string(es) + "+" + ps, " first half of " + std::string(ps) + ", second half of " + es,
                       joined(p, p.size() / 2, e, e.size() / 2)});
      cases.push_back({std::string(ps) + "+" + es, " first half of " + std::string(es) + ", second half of " + ps,
                       joined(e, e.size() / 2, p, p.size() / 2)});
    }
  }
  // Anywhere: a stretch of one kind inside the other, or a cut at any byte.
  for (int n = 0; n < 12; n++) {
    const char *es = m.pick(kElementary);
    const char *ps = m.pick(kProgram);
    const Bytes &e = fixture(es), &p = fixture(ps);
    bool into_program = m.chance(50);
    const Bytes &host = into_program ? p : e, &guest = into_program ? e : p;
    size_t at = m.below(host.size()), from = m.below(guest.size()), count = 1 + m.below(9000);
    if (count > guest.size() - from) count = guest.size() - from;
    Bytes data = cut(host, at);
    bool rest_of_host = m.chance(50);
    data.insert(data.end(), guest.begin() + static_cast<long>(from), guest.begin() + static_cast<long>(from + count));
    if (rest_of_host) data.insert(data.end(), host.begin() + static_cast<long>(at), host.end());
    std::string host_name = into_program ? ps : es, guest_name = into_program ? es : ps;
    cases.push_back({guest_name + "+" + host_name,
                     " " + host_name + " up to " + std::to_string(at) + ", then " + std::to_string(count) + " bytes of " +
                         guest_name + " from " + std::to_string(from) + (rest_of_host ? ", then the rest of the first" : ""),
                     data});
  }
  run_all("splice", cases);
}

TEST_F(HostileInput, CombinedMutationsEndCleanly) {
  Mutator m(0x5EED0007);
  std::string (Mutator::*const kinds[])(Bytes &) = {&Mutator::flip_bits, &Mutator::insert_bytes,
                                                     &Mutator::delete_bytes, &Mutator::plant_start_codes};
  std::vector<Case> cases;
  for (int i = 0; i < 25; i++) {
    const char *name = m.pick(all_fixtures());
    Case c{name, "", fixture(name)};
    size_t rounds = 2 + m.below(4);
    for (size_t r = 0; r < rounds; r++) c.description += (m.*kinds[m.below(4)])(c.data);
    if (m.chance(30)) {
      size_t size = m.below(c.data.size());
      c.data.resize(size);
      c.description += " cut at " + std::to_string(size) + ";";
    }
    cases.push_back(c);
  }
  run_all("combined", cases);
}

}  // namespace
