// Peer check on the real-stream fixtures: ffmpeg's own caption decoder (the lavfi "movie"
// source with its subcc output) reads the same files. Every caption it writes must be among
// the tool's .srt entries, in the same order; and every change of the display that a caption
// script puts on a frame must be in the tool's files at the presentation time that ffprobe
// gives that frame, within one frame period. ffmpeg's caption times are not compared: it
// puts every pair of a group of pictures on the group's first frame.
//
// ffmpeg reads the DVD "CC" user data after group-of-pictures headers itself (its MPEG-2
// decoder turns it into ATSC cc_data for the caption decoder), so it sees the very bytes
// the tool reads. The differences below are by design:
//  - Roll-up and paint-on steps: the tool writes the display after every pair that
//    changes it; ffmpeg writes a roll-up or paint-on display only when a carriage return,
//    an erase or an end of caption closes it. Its captions are a subsequence of the tool's.
//  - Roll-up lines still showing at the end of the file: ffmpeg never writes them.
//  - A second preamble address code on a row that holds text: ffmpeg keeps only the text
//    that follows the new code, the tool both pieces: each of ffmpeg's rows ends the tool's.
//  - Characters that code page 1252 lacks: ffmpeg writes the solid block (0x7F) and the
//    music note (0x11 0x37); the tool stores them as the florin sign and "#".
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ref_cases.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {


bool ffmpeg_installed() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

// UTF-8 <-> code points, enough for caption text.
std::vector<uint32_t> decode_utf8(const std::string &text) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
    uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1Fu) : extra == 2 ? (c & 0x0Fu) : (c & 0x07u);
    for (int k = 1; k <= extra && i + static_cast<size_t>(k) < text.size(); k++)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + static_cast<size_t>(k)]) & 0x3Fu);
    out.push_back(cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::string encode_utf8(const std::vector<uint32_t> &code_points) {
  std::string out;
  for (uint32_t cp : code_points) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// The tool's bytes are code page 1252.
std::string cp1252_to_utf8(const std::string &bytes) {
  std::vector<uint32_t> code_points;
  for (char c : bytes) {
    unsigned char b = static_cast<unsigned char>(c);
    code_points.push_back(b == 0x83 ? 0x192u : b == 0x99 ? 0x2122u : b);
  }
  return encode_utf8(code_points);
}

// By design: ffmpeg's EIA-608 glyph -> the tool's character for the same code.
std::string to_tool_characters(const std::string &text) {
  std::vector<uint32_t> code_points = decode_utf8(text);
  for (uint32_t &cp : code_points) {
    switch (cp) {
      case 0x2588: cp = 0x192; break;  // 0x7F: solid block / florin
      case 0x266A: cp = '#'; break;    // 0x11 0x37: music note / number sign
      case 0xA0: cp = ' '; break;      // transparent space
      default: break;
    }
  }
  return encode_utf8(code_points);
}

using Caption = std::vector<std::string>;  // rows, trimmed, runs of spaces made one

Caption normalise(const std::vector<std::string> &rows) {
  Caption out;
  for (const std::string &row : rows) {
    std::string clean;
    for (char c : row) {
      if (c == ' ' && (clean.empty() || clean.back() == ' ')) continue;
      clean += c;
    }
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    if (!clean.empty()) out.push_back(clean);
  }
  return out;
}

std::string shown(const Caption &caption) {
  std::string out;
  for (const std::string &row : caption) out += (out.empty() ? "" : " / ") + row;
  return out;
}

struct SrtEntry {
  long long start_ms = 0;
  std::vector<std::string> rows;
};

long long parse_ms(const std::string &text) {
  int h = 0, m = 0, s = 0, ms = 0;
  std::sscanf(text.c_str(), "%d:%d:%d,%d", &h, &m, &s, &ms);
  return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

std::vector<SrtEntry> parse_srt(const std::string &raw) {
  std::vector<SrtEntry> entries;
  std::vector<std::string> lines;
  std::string line;
  for (char c : raw + "\n") {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  for (size_t i = 0; i < lines.size();) {
    if (lines[i].empty()) {
      i++;
      continue;
    }
    SrtEntry entry;
    if (i + 1 < lines.size()) entry.start_ms = parse_ms(lines[i + 1]);
    for (i += 2; i < lines.size() && !lines[i].empty(); i++) entry.rows.push_back(lines[i]);
    entries.push_back(entry);
  }
  return entries;
}

// ffmpeg's captions: each subtitle may hold several displays (one per change within a
// packet), each beginning with an alignment override; markup is stripped.
std::vector<Caption> ffmpeg_captions(const std::string &srt) {
  std::vector<Caption> captions;
  for (const SrtEntry &entry : parse_srt(srt)) {
    std::string text;
    for (const std::string &row : entry.rows) text += (text.empty() ? "" : "\n") + row;
    std::vector<std::string> displays;
    for (size_t at = text.find("{\\an"); at != std::string::npos;) {
      size_t next = text.find("{\\an", at + 1);
      displays.push_back(text.substr(at, next == std::string::npos ? next : next - at));
      at = next;
    }
    if (displays.empty()) displays.push_back(text);
    for (const std::string &display : displays) {
      std::vector<std::string> rows(1);
      int depth_tag = 0, depth_override = 0;
      for (size_t i = 0; i < display.size(); i++) {
        char c = display[i];
        if (c == '<') depth_tag++;
        else if (c == '>' && depth_tag) depth_tag--;
        else if (c == '{') depth_override++;
        else if (c == '}' && depth_override) depth_override--;
        else if (depth_tag || depth_override) continue;
        else if (c == '\n') rows.emplace_back();
        else if (c == '\\' && i + 1 < display.size() && display[i + 1] == 'h') {
          rows.back() += ' ';
          i++;
        } else if (c == '\\' && i + 1 < display.size() && display[i + 1] == 'N') {
          rows.emplace_back();
          i++;
        } else {
          rows.back() += c;
        }
      }
      Caption caption;
      for (const std::string &row : normalise(rows)) caption.push_back(to_tool_characters(row));
      if (!caption.empty()) captions.push_back(caption);
    }
  }
  return captions;
}

// An entry of the tool shows ffmpeg's caption: as many rows, each ending in ffmpeg's row.
bool shows(const Caption &tool, const Caption &theirs) {
  if (tool.size() != theirs.size()) return false;
  for (size_t i = 0; i < tool.size(); i++)
    if (tool[i].size() < theirs[i].size() || tool[i].compare(tool[i].size() - theirs[i].size(), std::string::npos,
                                                             theirs[i]) != 0)
      return false;
  return true;
}

struct Fixture {
  std::string path, name, script;
};

std::vector<Fixture> fixtures() {
  std::vector<Fixture> list;
  for (const std::string &path : fixture_paths()) {
    std::string name = path.substr(path.rfind('/') + 1);
    list.push_back({path, name, name.substr(0, name.find_first_of("-."))});
  }
  return list;
}

// The tool's files of a fixture, run in dir.
std::string run_tool(const Fixture &fixture, const std::string &dir, const std::string &extension) {
  RunResult run = run_zorbel({source_path(fixture.path), "/d" + dir}, dir);
  EXPECT_EQ(run.status, 0) << run.err;
  return read_file(dir + "/" + fixture.name.substr(0, fixture.name.rfind('.')) + extension);
}

class FfmpegPeer : public testing::TestWithParam<Fixture> {};

TEST_P(FfmpegPeer, WritesEveryCaptionThatFfmpegWritesInTheSameOrder) {
  if (!ffmpeg_installed()) GTEST_SKIP() << "ffmpeg is not installed";
  const Fixture &fixture = GetParam();
  TempDir temp("crosscheck");
  const std::string &dir = temp.path;
  std::vector<Caption> ours;
  for (const SrtEntry &entry : parse_srt(run_tool(fixture, dir, ".srt"))) {
    Caption caption;
    for (const std::string &row : normalise(entry.rows)) caption.push_back(cp1252_to_utf8(row));
    ours.push_back(caption);
  }

  // A plain name keeps the path clear of the filter-graph syntax.
  std::string path = source_path(fixture.path);
  std::string link = dir + "/input" + path.substr(path.find_last_of('.'));
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  std::string command = "cd '" + dir + "' && ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i 'movie=" +
                        link.substr(dir.size() + 1) + "[out0+subcc]' -map 0:1 ffmpeg.srt 2>ffmpeg.err";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir + "/ffmpeg.err");
  std::vector<Caption> theirs = ffmpeg_captions(read_file(dir + "/ffmpeg.srt"));
  ASSERT_GE(theirs.size(), 5u);

  size_t next = 0;
  for (const Caption &caption : theirs) {
    while (next < ours.size() && !shows(ours[next], caption)) next++;
    ASSERT_LT(next, ours.size()) << "ffmpeg's \"" << shown(caption) << "\" is not among the tool's entries in order";
    next++;
  }
}

// Every change of the display that the script puts on a frame (a pop-on caption, an erase, a
// roll-up line) is in the SAMI file within one frame period of the presentation time of
// that frame, counted from the first frame, as a player showing the files beside the
// video places it.
TEST_P(FfmpegPeer, ShowsEachChangeWithinAFrameOfItsPresentationTime) {
  if (!ffmpeg_installed()) GTEST_SKIP() << "ffmpeg is not installed";
  const Fixture &fixture = GetParam();
  TempDir temp("presentation");
  const std::string &dir = temp.path;
  std::vector<long long> synced;
  std::string smi = run_tool(fixture, dir, ".smi");
  for (size_t at = smi.find("<SYNC START=\""); at != std::string::npos; at = smi.find("<SYNC START=\"", at + 1))
    synced.push_back(std::stoll(smi.substr(at + 13)));

  std::string command = "ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time "
                        "-of default=nw=1:nk=1 '" + source_path(fixture.path) + "' >'" + dir + "/pts.txt'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  // Seconds, per frame in display order; ffprobe gives the last frame no time.
  std::vector<double> shown_at;
  std::istringstream lines(read_file(dir + "/pts.txt"));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) shown_at.push_back(line == "N/A" ? NAN : std::stod(line));

  std::istringstream script(read_file(source_path("tests/fixtures/" + fixture.script + ".captions")));
  double period_ms = 0;
  int changes = 0;
  for (std::string line; std::getline(script, line);) {
    std::istringstream words(line);
    std::string keyword, value;
    words >> keyword >> value;
    if (keyword == "rate") period_ms = value == "30000/1001" ? 1001.0 / 30 : value == "24000/1001" ? 1001.0 / 24
                                                                                                   : 1000.0 / std::stod(value);
    if (keyword != "popon" && keyword != "clear" && keyword != "line") continue;
    size_t frame = std::stoul(value);
    ASSERT_LT(frame, shown_at.size()) << line;
    ASSERT_FALSE(std::isnan(shown_at[frame])) << line;
    double presented_ms = (shown_at[frame] - shown_at[0]) * 1000.0;
    bool found = false;
    for (long long ms : synced) found |= std::abs(static_cast<double>(ms) - presented_ms) <= period_ms;
    EXPECT_TRUE(found) << line << ": no change within a frame of " << presented_ms << " ms";
    changes++;
  }
  EXPECT_GT(period_ms, 0);
  EXPECT_GE(changes, 3);
}

// With --utf8 ffmpeg reads both files as they are: every cue of the .srt reaches an .ass
// file (with code page 1252 it drops those with the characters it cannot read as UTF-8), and
// the .smi has no text ffmpeg rejects. The film fixture has the music note and solid block.
TEST(FfmpegUtf8, ReadsEveryCueOfTheUtf8Files) {
  if (!ffmpeg_installed()) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir temp("utf8");
  const std::string &dir = temp.path;
  RunResult run = run_zorbel({"--utf8", source_path("tests/fixtures/film.m2v"), "/d" + dir}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  std::string srt = read_file(dir + "/film.srt");
  EXPECT_NE(srt.find("\xE2\x99\xAA"), std::string::npos);  // the music note
  ASSERT_EQ(std::system(("cd '" + dir + "' && ffmpeg -nostdin -v warning -y -i film.srt film.ass 2>srt.err && "
                         "ffmpeg -nostdin -v warning -y -i film.smi smi.srt 2>smi.err")
                            .c_str()),
            0);
  std::string ass = read_file(dir + "/film.ass");
  EXPECT_EQ(count_of(ass, "\nDialogue:"), count_of(srt, " --> "));
  EXPECT_EQ(read_file(dir + "/srt.err").find("Invalid UTF-8"), std::string::npos);
  EXPECT_EQ(read_file(dir + "/smi.err").find("Invalid UTF-8"), std::string::npos);
  EXPECT_NE(read_file(dir + "/smi.srt").find("\xE2\x99\xAA"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(FfmpegCrosscheck, FfmpegPeer, testing::ValuesIn(fixtures()),
                         [](const testing::TestParamInfo<Fixture> &info) {
                           std::string name;
                           for (char c : info.param.name) name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
