// Helpers shared by several test files: caption memory, stream scans and traces, expected files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/console.hpp"
#include "app/run_driver.hpp"
#include "captions/caption_memory.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/video_scanner.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace caption_test {

// The trace passes through the console buffer: it is written out before a capture
// starts and before the captured text is read.
inline void capture_stdout() {
  console_flush();
  testing::internal::CaptureStdout();
}
inline std::string captured_stdout() {
  console_flush();
  return testing::internal::GetCapturedStdout();
}

// ---- Caption memory ----

// 29.97 as the sequence header gives it.
inline float ntsc_rate() {
  uint32_t bits = 0x41EFC29E;
  float value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

struct Text {
  int row, column;
  std::string characters;
};

// Loads a pop-on caption and flips it on screen; several pieces on one row leave empty
// cells between them.
inline void show(const std::vector<Text> &pieces) {
  Resume_caption_loading();
  Erase_non_displayed_memory();
  for (const Text &piece : pieces) {
    pen_state().row = piece.row;
    pen_state().column = piece.column;
    for (char c : piece.characters) Addchar(static_cast<unsigned char>(c));
  }
  End_of_caption();
  clear_output_pending();
}

// Empties the display.
inline void blank() {
  Erase_displayed_memory();
  clear_output_pending();
}

// The 35 cells of caption row `row` (1-15) of a buffer, zeros included.
inline std::string cells_of(int buffer, int row) {
  const unsigned char *cells = caption_memory().buffers[buffer].cells[row - 1];
  return std::string(reinterpret_cast<const char *>(cells), kCaptionColumns);
}

// A row holding `text` from column `at` and empty cells elsewhere.
inline std::string row_with(const std::string &text, int at = 0) {
  std::string row(kCaptionColumns, '\0');
  row.replace(static_cast<size_t>(at), text.size(), text);
  return row;
}

inline const std::string kEmptyRow(kCaptionColumns, '\0');

inline bool buffer_is_empty(int buffer) {
  for (const auto &slot : caption_memory().buffers[buffer].cells)
    for (unsigned char cell : slot)
      if (cell) return false;
  return true;
}

// ---- In-process writers ----

// Where every in-process test starts: no input, an elementary stream, every component
// fresh and no output request left over, the trace at `verbosity`.
inline void reset_components(int verbosity) {
  reset_run_state();
  Init_caption_decoder();
  clear_output_pending();  // the initialisation leaves the flag as it was
  verbosity_level = verbosity;
}

// Closes a writer, which must succeed without a message, and reads back its file.
inline std::string close_cleanly_and_read(bool (*close)(), const std::string &path) {
  testing::internal::CaptureStderr();
  bool ok = close();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(ok);
  return read_file(path);
}

// ---- Streams and their traces ----

inline SequenceHeader header_with_rate(int frame_rate_code) {
  SequenceHeader h;
  h.frame_rate_code = frame_rate_code;
  return h;
}

// The SAMI synchronisation times of a run, in order.
inline std::vector<int64_t> sync_times(const std::string &smi) {
  std::vector<int64_t> times;
  for (size_t at = smi.find("<SYNC START=\""); at != std::string::npos; at = smi.find("<SYNC START=\"", at + 1))
    times.push_back(std::stoll(smi.substr(at + 13)));
  return times;
}

inline TimeCode time_code(int hours, int minutes, int seconds, int pictures) {
  TimeCode t;
  t.hours = hours;
  t.minutes = minutes;
  t.seconds = seconds;
  t.pictures = pictures;
  return t;
}

// An entry whose first caption byte (0x03) fails the parity test: traced when selected,
// never handed to the decoder.
inline CcEntry marker(uint8_t id) { return {0xFF, 0x03, id}; }
inline const CcEntry kIdle = {0xFE, 0x80, 0x80};

// The whole start-code loop over the file at `path` as an elementary stream, console
// captured. The caller sets verbosity_level and program_stream_flag.
inline std::string scan_file(const std::string &path) {
  reader.file = fopen(path.c_str(), "rb");
  EXPECT_NE(reader.file, nullptr);
  reset_reader();
  capture_stdout();
  scan_video_headers();
  std::string out = captured_stdout();
  fclose(reader.file);
  reader.file = nullptr;
  return out;
}

inline std::string sequence_trace(long long byte, const SequenceHeader &h) {
  char text[512];
  snprintf(text, sizeof text,
           "sequence header (byte %lld)\n  horizontal_size=%d\n  vertical_size=%d\n"
           "  aspect_ratio_information=%d\n  frame_rate_code=%d  bit_rate_value=%d\n"
           "  vbv_buffer_size=%d\n  constrained_parameters_flag=%d\n"
           "  load_intra_quantizer_matrix=%d\n  load_non_intra_quantizer_matrix=%d\n",
           byte, h.horizontal_size, h.vertical_size, h.aspect_ratio_information, h.frame_rate_code,
           h.bit_rate_value, h.vbv_buffer_size, h.constrained_parameters_flag, h.intra_matrix ? 1 : 0,
           h.non_intra_matrix ? 1 : 0);
  return text;
}

inline std::string gop_trace(long long byte, const TimeCode &t) {
  char text[256];
  snprintf(text, sizeof text,
           "group of pictures (byte %lld)\n  drop_flag=%d\n  timecode %d:%02d:%02d:%02d\n"
           "  closed_gop=%d\n  broken_link=%d\n",
           byte, t.drop_flag, t.hours, t.minutes, t.seconds, t.pictures, t.closed_gop, t.broken_link);
  return text;
}

// ---- The two output files ----

// hh:mm:ss,mmm
inline std::string srt_time(long long ms) {
  char text[32];
  snprintf(text, sizeof text, "%02lld:%02lld:%02lld,%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return text;
}

// An SRT entry: the counter padded to eight characters, the times, the rows.
inline std::string srt_entry(unsigned number, long long start, long long end, const std::vector<std::string> &rows) {
  std::string counter = std::to_string(number);
  counter.resize(8, ' ');
  std::string text = counter + "\r\n" + srt_time(start) + " --> " + srt_time(end) + "\r\n";
  for (const std::string &row : rows) text += row + "\r\n";
  return text + "\r\n";
}

// A SAMI synchronisation line and its paragraph; no rows is the empty display.
inline std::string sami_block(long long ms, const std::vector<std::string> &rows) {
  std::string text = "<SYNC START=\"" + std::to_string(ms) + "\">\r\n<P class=ENCC>";
  for (const std::string &row : rows) text += row + "<BR>\r\n";
  return rows.empty() ? text + "&nbsp;\r\n" : text;
}

// The fixed header of every SAMI file: 17 lines.
inline const std::string kSamiHeader =
    "<SAMI>\r\n<HEAD>\r\n    <STYLE type=\"text/css\"><!--\r\n      P {margin-top:3pt;\r\n"
    "         margin-left:5pt;\r\n         margin-right:5pt;\r\n         margin-bottom:5pt;\r\n"
    "         font-size: 14pt;\r\n         font-family: tahoma, sans-serif;\r\n         font-weight: normal;\r\n"
    "         color: white;}\r\n   .ENCC {Name:English; lang: en-US; SAMI_Type: CC; \r\n"
    "                samitype:CC; }\r\n-->\r\n</STYLE>\r\n</HEAD>\r\n<BODY>\r\n";
inline const std::string kSamiTrailer = "</BODY>\r\n</SAMI>\r\n";

inline std::string sami_file(const std::string &blocks) { return kSamiHeader + blocks + kSamiTrailer; }

}  // namespace caption_test
