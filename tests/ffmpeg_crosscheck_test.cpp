// Peer check on the real-stream fixtures: ffmpeg's own caption decoder (the lavfi "movie"
// source with its subcc output) reads the same files, and the ordered caption texts that
// it writes must agree with those of the tool's .srt. ffmpeg's caption times are not
// compared (it puts every pair of a group on the group's first frame); the tool's times are
// held against the presentation time that ffprobe gives each frame instead.
//
// ffmpeg reads the DVD "CC" user data after group-of-pictures headers itself (its MPEG-2
// decoder turns it into ATSC cc_data for the caption decoder), so it sees the very bytes
// the tool reads. The differences below are by design, each named where it is applied:
//  - Roll-up and paint-on steps: the tool writes the display after every pair that
//    changes it; ffmpeg writes a roll-up or paint-on display only when a carriage return,
//    an erase or an end of caption closes it.
//  - Roll-up lines still showing at the end of the file: ffmpeg never writes them.
//  - A second preamble address code on a row that holds text: ffmpeg keeps only the text
//    that follows the new code; the tool keeps both pieces with the gap between them.
//  - Characters that code page 1252 lacks: ffmpeg writes the solid block (0x7F) and the
//    music note (0x11 0x37); the tool stores them as the florin sign and "#".
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/caption_script.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using caption_script::Change;
using caption_script::FixtureFile;

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

// Rows trimmed, runs of spaces made one, empty rows dropped.
std::string normalise(const std::vector<std::string> &rows) {
  std::string out;
  for (const std::string &row : rows) {
    std::string clean;
    for (char c : row) {
      if (c == ' ' && (clean.empty() || clean.back() == ' ')) continue;
      clean += c;
    }
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    if (clean.empty()) continue;
    if (!out.empty()) out += " / ";
    out += clean;
  }
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
std::vector<std::string> ffmpeg_captions(const std::string &srt) {
  std::vector<std::string> captions;
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
      std::string caption = to_tool_characters(normalise(rows));
      if (!caption.empty()) captions.push_back(caption);
    }
  }
  return captions;
}

// The tool's captions as ffmpeg would show them, with the script telling which change
// started and which ended each entry.
std::vector<std::string> tool_captions_for_comparison(const std::string &srt,
                                                      const caption_script::Script &script,
                                                      std::vector<std::string> &left_out) {
  std::vector<std::string> captions;
  for (const SrtEntry &entry : parse_srt(srt)) {
    size_t index = script.events.size();
    for (size_t i = 0; i < script.events.size(); i++)
      if (caption_script::milliseconds(script, script.events[i].frame) == entry.start_ms) index = i;
    if (index == script.events.size()) {
      captions.push_back("(entry at " + std::to_string(entry.start_ms) + " ms matches no change of the script)");
      continue;
    }
    const caption_script::Event &event = script.events[index];
    std::string text = cp1252_to_utf8(normalise(entry.rows));
    bool last = index + 1 == script.events.size();
    if (!last) {
      Change next = script.events[index + 1].change;
      if (next == Change::RollUpText || next == Change::PaintOnText || next == Change::PaintOnShown) {
        left_out.push_back("step: " + text);  // by design: roll-up and paint-on steps
        continue;
      }
    } else if (event.change == Change::RollUpText || event.change == Change::CarriageReturn) {
      left_out.push_back("roll-up at the end: " + text);  // by design: never written by ffmpeg
      continue;
    }
    // By design: ffmpeg keeps a row's text from its last preamble address code on. The
    // tool's rows carry one character or space per cell, so the code's column is an index.
    std::vector<std::string> rows;
    size_t row_index = 0;
    for (int row = 0; row < caption_script::kRows; row++) {
      if (caption_script::row_text(event.screen.cells[row], true).empty()) continue;
      if (row_index >= entry.rows.size()) break;
      const std::string &line = entry.rows[row_index++];
      size_t column = static_cast<size_t>(event.pac_column[row]);
      rows.push_back(column < line.size() ? line.substr(column) : line);
    }
    for (; row_index < entry.rows.size(); row_index++) rows.push_back(entry.rows[row_index]);
    captions.push_back(cp1252_to_utf8(normalise(rows)));
  }
  return captions;
}

std::string joined(const std::vector<std::string> &items) {
  std::string out;
  for (const std::string &item : items) out += "  " + item + "\n";
  return out;
}

class FfmpegPeer : public testing::TestWithParam<FixtureFile> {};

TEST_P(FfmpegPeer, AgreesOnTheOrderedCaptionTexts) {
  if (!ffmpeg_installed()) GTEST_SKIP() << "ffmpeg is not installed";
  const FixtureFile &file = GetParam();
  caption_script::Script script =
      caption_script::load(source_path("tests/fixtures/" + std::string(file.script) + ".captions"));
  TempDir temp("crosscheck");
  const std::string &dir = temp.path;

  RunResult run = run_zorbel({source_path(file.path), "/d" + dir}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  std::string tool_srt = read_file(dir + "/" + caption_script::base_name(file.path) + ".srt");

  // A plain name keeps the path clear of the filter-graph syntax.
  std::string path = source_path(file.path);
  std::string link = dir + "/input" + path.substr(path.find_last_of('.'));
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  std::string command = "cd '" + dir + "' && ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i 'movie=" +
                        link.substr(dir.size() + 1) + "[out0+subcc]' -map 0:1 ffmpeg.srt 2>ffmpeg.err";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir + "/ffmpeg.err");
  std::vector<std::string> theirs = ffmpeg_captions(read_file(dir + "/ffmpeg.srt"));

  std::vector<std::string> left_out;
  std::vector<std::string> ours = tool_captions_for_comparison(tool_srt, script, left_out);
  EXPECT_FALSE(ours.empty());
  EXPECT_EQ(ours, theirs) << "tool:\n" << joined(ours) << "ffmpeg:\n" << joined(theirs)
                          << "tool entries left out by design:\n" << joined(left_out);
}

// Every caption starts within one frame period of the presentation time of the frame that
// its script puts it on, counted from the first frame shown, as a player showing the .srt
// beside the video would place it.
TEST_P(FfmpegPeer, StartsEachCaptionWithinAFrameOfItsPresentationTime) {
  if (!ffmpeg_installed()) GTEST_SKIP() << "ffmpeg is not installed";
  const FixtureFile &file = GetParam();
  caption_script::Script script =
      caption_script::load(source_path("tests/fixtures/" + std::string(file.script) + ".captions"));
  TempDir temp("presentation");
  const std::string &dir = temp.path;
  RunResult run = run_zorbel({source_path(file.path), "/d" + dir}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<SrtEntry> entries = parse_srt(read_file(dir + "/" + caption_script::base_name(file.path) + ".srt"));
  ASSERT_FALSE(entries.empty());

  std::string command = "ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time "
                        "-of default=nw=1:nk=1 '" + source_path(file.path) + "' >'" + dir + "/pts.txt'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  // Seconds, per frame in display order; ffprobe gives the last frame no time.
  std::vector<double> shown_at;
  std::istringstream lines(read_file(dir + "/pts.txt"));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) shown_at.push_back(line == "N/A" ? NAN : std::stod(line));
  ASSERT_EQ(shown_at.size(), static_cast<size_t>(script.frames));

  double period_ms = 1000.0 / static_cast<double>(caption_script::frame_rate(script.rate));
  for (const SrtEntry &entry : entries) {
    int frame = -1;
    for (const caption_script::Event &event : script.events)
      if (caption_script::milliseconds(script, event.frame) == entry.start_ms) frame = event.frame;
    ASSERT_GE(frame, 0) << "entry at " << entry.start_ms << " ms matches no change of the script";
    ASSERT_FALSE(std::isnan(shown_at[static_cast<size_t>(frame)])) << "frame " << frame;
    double presented_ms = (shown_at[static_cast<size_t>(frame)] - shown_at[0]) * 1000.0;
    EXPECT_LE(std::abs(static_cast<double>(entry.start_ms) - presented_ms), period_ms)
        << "frame " << frame << ": " << entry.start_ms << " ms against " << presented_ms << " ms";
  }
}

INSTANTIATE_TEST_SUITE_P(FfmpegCrosscheck, FfmpegPeer,
                         testing::ValuesIn(caption_script::fixture_files()),
                         [](const testing::TestParamInfo<FixtureFile> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
