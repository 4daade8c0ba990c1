// Whole caption streams through the built binary: the .srt, the .smi and the console
// trace are compared byte for byte with what the caption script says they must be.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "caption_test_support.hpp"
#include "fixtures/caption_script.hpp"
#include "mpeg/video_scanner.hpp"
#include "stream_builder.hpp"
#include "test_support.hpp"

namespace {

using namespace caption_test;

float rate_for_code(int code) { return code == 3 ? 25.0f : ntsc_rate(); }

struct Clock {
  int hours, minutes, seconds, frames;
};

// Entries 2k and 2k+1 of a block are k frames after the block's time code.
Clock frames_later(Clock clock, int k, float rate) {
  for (int i = 0; i < k; i++) {
    if (static_cast<double>(++clock.frames) < static_cast<double>(rate)) continue;
    clock.frames = 0;
    if (++clock.seconds <= 59) continue;
    clock.seconds = 0;
    if (++clock.minutes <= 59) continue;
    clock.minutes = 0;
    clock.hours++;
  }
  return clock;
}

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...) {
  char text[256];
  va_list args;
  va_start(args, pattern);
  vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// ---- Console traces of the decoder and the writers ----

std::string rcl() { return "RCL - Resume Caption Loading \"PopOnMode\"\n"; }
std::string eoc() { return "End Caption\n"; }
std::string rdc() { return "[RDC - Resume direct captioning]\n"; }
std::string roll_up(int rows) { return format("[Roll up %d rows]\n", rows); }
std::string pen_trace(int row, int column) { return format("Row=> %d, Column=%d\n", row, column); }
std::string pac(int row, int column) { return format("Base row set to %d\n", row) + pen_trace(row, column); }

std::string carriage_return(int base, int rows) {
  std::string text = "[CR]\n";
  for (int r = base - rows + 2; r <= base; r++) text += format("copying line %d to line %d\n", r, r - 1);
  return text + format("clearing line %d\n", base);
}

// What one output moment prints: the SAMI rows of the new display, then the SRT rows of
// the entry that it closes (none when no entry is written).
std::string outputs(const std::vector<int> &sami_rows, const std::vector<int> &srt_rows) {
  std::string text;
  for (int row : sami_rows) text += format("Output row %d to SAMI file\n", row);
  if (sami_rows.empty()) text += "Outputting blank row to SAMI file\n";
  for (int row : srt_rows) text += format("Output row %d to SRT file\n", row);
  return text;
}

struct Pen {
  int buffer, row, column;
  // Characters stored one after another from the pen's position.
  std::string put(const std::string &text) {
    std::string trace;
    for (char c : text) {
      trace += format("Addchar: buffer=%d, ch=%c row=%d, col=%d\n", buffer, c, row, column);
      trace += format("CH: %c (%02x)--> Buffer %d, row %d col %d\n", c, static_cast<unsigned char>(c), buffer, row, column);
      if (column < 34) column++;
    }
    return trace;
  }
};

// ---- Caption script -> stream and expected console output ----

struct Step {
  uint8_t byte1, byte2;
  std::string trace;  // what the decoder and the writers print for this pair
};

struct Group {
  Clock time;
  std::vector<Step> steps;  // one per frame, in field 1; field 2 idle
};

struct Script {
  int frame_rate_code;
  std::vector<Group> groups;
  std::string close_trace;  // printed when the SRT writer closes
};

Bytes build_stream(const Script &script, std::vector<size_t> &gop_positions) {
  StreamBuilder builder;
  builder.sequence_header(header_with_rate(script.frame_rate_code)).sequence_extension();
  uint32_t seed = 1;
  for (const Group &group : script.groups) {
    gop_positions.push_back(builder.bytes().size());
    std::vector<std::pair<uint8_t, uint8_t>> pairs;
    for (const Step &step : group.steps) pairs.emplace_back(step.byte1, step.byte2);
    builder.gop(group.time.hours, group.time.minutes, group.time.seconds, group.time.frames)
        .cc_block(frames_of(pairs))
        .picture(0, 1)
        .slice(100, seed++);
  }
  builder.sequence_end();
  return builder.bytes();
}

std::string entry_trace(uint8_t byte1, uint8_t byte2, const Clock &t) {
  unsigned raw = 0xFF0000u | unsigned{with_parity(byte1)} << 8 | with_parity(byte2);
  unsigned bare = 0xFF0000u | unsigned{byte1} << 8 | byte2;
  return format(">>  %06x (%06x) (IsOdd=1 oddfirst=1 time: %02d:%02d:%02d.%03d)\n", raw, bare, t.hours, t.minutes,
                t.seconds, t.frames);
}

std::string expected_stdout(const Script &script, const std::vector<size_t> &gop_positions, const std::string &names) {
  float rate = rate_for_code(script.frame_rate_code);
  std::string text = startup_lines() + names + sequence_trace(0, header_with_rate(script.frame_rate_code));
  int previous_minutes = 0;
  for (size_t g = 0; g < script.groups.size(); g++) {
    const Group &group = script.groups[g];
    // A progress dot for every new multiple of five minutes.
    if (group.time.minutes != previous_minutes && group.time.minutes % 5 == 0) text += ".";
    previous_minutes = group.time.minutes;
    const Clock &t = group.time;
    text += gop_trace(static_cast<long long>(gop_positions[g]), time_code(t.hours, t.minutes, t.seconds, t.frames)) +
            "user data\nCC Packet\n";
    for (size_t k = 0; k < group.steps.size(); k++) {
      const Step &step = group.steps[k];
      text += entry_trace(step.byte1, step.byte2, frames_later(group.time, static_cast<int>(k), rate)) + step.trace;
    }
  }
  return text + script.close_trace;
}

// The time of step k of group g on the video's timeline: the frames since the first group
// (the scripts' time codes step forward by less than ten seconds) times the frame period.
int64_t step_ms(const Script &script, size_t g, int k) {
  int n = script.frame_rate_code == 3 ? 25 : 30;
  int64_t period = script.frame_rate_code == 3 ? 1080000 : 900900;
  auto frame_number = [n](const Clock &c) { return ((c.hours * 60LL + c.minutes) * 60 + c.seconds) * n + c.frames; };
  return (frame_number(script.groups[g].time) - frame_number(script.groups[0].time) + k) * period / 27000;
}

struct Outcome {
  RunResult run;
  std::string srt, smi, expected_out;
};

Outcome run_script(const Script &script, const std::string &tag) {
  TempDir dir(tag);
  std::vector<size_t> positions;
  write_file(dir.path + "/movie.mpg", build_stream(script, positions));
  Outcome outcome;
  outcome.run = run_zorbel({"movie.mpg"}, dir.path);
  outcome.srt = read_file(dir.path + "/movie.srt");
  outcome.smi = read_file(dir.path + "/movie.smi");
  outcome.expected_out = expected_stdout(script, positions, name_lines("movie.mpg", "movie", ""));
  return outcome;
}

// The copy of a control code that directly repeats it is dropped without a trace.
Step repeat_of(uint8_t byte1, uint8_t byte2) { return {byte1, byte2, ""}; }

// Text two characters to a pair (the last one alone with a null byte), stored by the pen.
void type(std::vector<Step> &steps, Pen &pen, const std::string &text) {
  for (size_t i = 0; i < text.size(); i += 2) {
    std::string chars = text.substr(i, 2);
    steps.push_back({static_cast<uint8_t>(chars[0]), chars.size() > 1 ? static_cast<uint8_t>(chars[1]) : uint8_t{0},
                     pen.put(chars)});
  }
}

// A pop-on caption on two rows (one indented, one with a tab gap), erased, then paint-on
// text on two rows, shown as it is painted, of which a carriage return clears the lower
// and an erase the rest.
Script pop_on_then_paint_on() {
  Script script{4, {}, ""};
  Pen pop{0, 14, 4};
  Group first{{0, 0, 1, 0}, {}};
  first.steps = {{0x14, 0x20, rcl()}, repeat_of(0x14, 0x20), {0x14, 0x52, pac(14, 4)}};
  type(first.steps, pop, "HELLO");
  first.steps.push_back({0x14, 0x70, pac(15, 0)});
  pop = {0, 15, 0};
  type(first.steps, pop, "WORL");
  first.steps.push_back({0x17, 0x22, pen_trace(15, 6)});  // tab offset 2: two empty cells
  pop.column = 6;
  type(first.steps, pop, "D!");
  first.steps.push_back({0x14, 0x2F, eoc() + outputs({14, 15}, {})});  // the first call writes no entry
  first.steps.push_back(repeat_of(0x14, 0x2F));

  // The caption went to buffer 0, which the flip made the displayed one; paint-on writes there.
  Pen paint{0, 1, 4};
  Group second{{0, 0, 4, 10}, {}};
  second.steps = {{0x14, 0x2C, outputs({}, {14, 15})}, repeat_of(0x14, 0x2C), {0x14, 0x29, rdc()}, repeat_of(0x14, 0x29),
                  {0x11, 0x52, pac(1, 4)}};
  // Every pair of paint-on text is written at once; the first closes no entry, as the
  // erased display before it had none.
  auto painted = [&](const std::string &text, const std::vector<int> &shown, const std::vector<int> &closed) {
    type(second.steps, paint, text);
    second.steps.back().trace += outputs(shown, closed);
  };
  painted("PA", {1}, {});
  painted("IN", {1}, {1});
  painted("T", {1}, {1});
  second.steps.push_back({0x11, 0x70, pac(2, 0)});
  paint = {0, 2, 0};
  painted("OK", {1, 2}, {1});
  // Outside roll-up a carriage return clears only the base row (2); row 1 stays shown.
  second.steps.push_back({0x14, 0x2D, carriage_return(2, 0) + outputs({1}, {1, 2})});

  Group third{{0, 0, 6, 0}, {{0x14, 0x2C, outputs({}, {1})}, repeat_of(0x14, 0x2C)}};
  script.groups = {first, second, third};
  return script;
}

// The SAMI blocks of pop_on_then_paint_on().
std::string pop_on_then_paint_on_sami(const Script &script) {
  auto at = [&](int k) { return step_ms(script, 1, k); };
  return sami_file(sami_block(step_ms(script, 0, 11), {"HELLO", "WORL  D!"}) + sami_block(at(0), {}) +
                   sami_block(at(5), {"PA"}) + sami_block(at(6), {"PAIN"}) + sami_block(at(7), {"PAINT"}) +
                   sami_block(at(9), {"PAINT", "OK"}) + sami_block(at(10), {"PAINT"}) +
                   sami_block(step_ms(script, 2, 0), {}));
}

TEST(CaptionStreamEndToEnd, PopOnAndPaintOnGiveExactFilesAndTrace) {
  Script script = pop_on_then_paint_on();
  Outcome outcome = run_script(script, "e2e-popon");
  int64_t shown = step_ms(script, 0, 11), erased = step_ms(script, 1, 0);
  auto at = [&](int k) { return step_ms(script, 1, k); };
  int64_t cleared = step_ms(script, 2, 0);
  // Frames since the first group times 1001/30 ms: 11, 100, 110 and 150 frames.
  EXPECT_EQ(shown, 367);
  EXPECT_EQ(erased, 3336);
  EXPECT_EQ(at(10), 3670);
  EXPECT_EQ(cleared, 5005);

  EXPECT_EQ(outcome.run.status, 0);
  EXPECT_EQ(outcome.run.err, "");
  // Paint-on text is written as it is painted: the row that the carriage return clears
  // ("OK") and the one that the erase clears both reach the SRT file.
  EXPECT_EQ(outcome.srt, srt_entry(1, shown, erased, {"    HELLO", "WORL  D!"}) +
                             srt_entry(2, at(5), at(6), {"    PA"}) + srt_entry(3, at(6), at(7), {"    PAIN"}) +
                             srt_entry(4, at(7), at(9), {"    PAINT"}) +
                             srt_entry(5, at(9), at(10), {"    PAINT", "OK"}) +
                             srt_entry(6, at(10), cleared, {"    PAINT"}));
  EXPECT_EQ(outcome.smi, pop_on_then_paint_on_sami(script));
  EXPECT_EQ(outcome.run.out, outcome.expected_out);
}

// Roll-up at 25 frames per second: two rows with several carriage returns, then three.
Script roll_up_passage() {
  Script script{3, {}, ""};
  Pen pen{1, 15, 0};  // roll-up writes into the displayed buffer, 1 at start
  Group group{{0, 0, 10, 0}, {{0x14, 0x25, roll_up(2)}, repeat_of(0x14, 0x25), {0x14, 0x70, pac(15, 0)}}};
  auto text = [&](uint8_t a, uint8_t b, std::vector<int> shown, std::vector<int> closed) {
    std::string letters{static_cast<char>(a), static_cast<char>(b)};
    group.steps.push_back({a, b, pen.put(letters) + outputs(shown, closed)});
  };
  auto cr = [&](int rows, std::vector<int> shown, std::vector<int> closed) {
    group.steps.push_back({0x14, 0x2D, carriage_return(15, rows) + outputs(shown, closed)});
    pen.column = 0;
  };
  text('A', 'B', {15}, {});
  text('C', 'D', {15}, {15});
  cr(2, {14}, {15});
  group.steps.push_back(repeat_of(0x14, 0x2D));
  text('E', 'F', {14, 15}, {14});
  cr(2, {14}, {14, 15});
  group.steps.push_back({0x14, 0x26, roll_up(3)});
  text('G', 'H', {14, 15}, {14});
  cr(3, {13, 14}, {14, 15});
  text('I', 'J', {13, 14, 15}, {13, 14});
  cr(3, {13, 14}, {13, 14, 15});
  text('K', 'L', {13, 14, 15}, {13, 14});
  Group erase{{0, 0, 12, 5}, {{0x14, 0x2C, outputs({}, {13, 14, 15})}, repeat_of(0x14, 0x2C)}};
  script.groups = {group, erase};
  return script;
}

TEST(CaptionStreamEndToEnd, RollUpTwoAndThreeRowsGiveExactFilesAndTrace) {
  Script script = roll_up_passage();
  Outcome outcome = run_script(script, "e2e-rollup");
  auto at = [&](int k) { return step_ms(script, 0, k); };
  EXPECT_EQ(at(3), 120);  // 25 frames per second: 40 ms a frame
  int64_t end = step_ms(script, 1, 0);
  EXPECT_EQ(end, 2200);

  std::string srt = srt_entry(1, at(3), at(4), {"AB"}) + srt_entry(2, at(4), at(5), {"ABCD"}) +
                    srt_entry(3, at(5), at(7), {"ABCD"}) + srt_entry(4, at(7), at(8), {"ABCD", "EF"}) +
                    srt_entry(5, at(8), at(10), {"EF"}) + srt_entry(6, at(10), at(11), {"EF", "GH"}) +
                    srt_entry(7, at(11), at(12), {"EF", "GH"}) + srt_entry(8, at(12), at(13), {"EF", "GH", "IJ"}) +
                    srt_entry(9, at(13), at(14), {"GH", "IJ"}) + srt_entry(10, at(14), end, {"GH", "IJ", "KL"});
  std::string smi = sami_block(at(3), {"AB"}) + sami_block(at(4), {"ABCD"}) + sami_block(at(5), {"ABCD"}) +
                    sami_block(at(7), {"ABCD", "EF"}) + sami_block(at(8), {"EF"}) + sami_block(at(10), {"EF", "GH"}) +
                    sami_block(at(11), {"EF", "GH"}) + sami_block(at(12), {"EF", "GH", "IJ"}) +
                    sami_block(at(13), {"GH", "IJ"}) + sami_block(at(14), {"GH", "IJ", "KL"}) + sami_block(end, {});
  EXPECT_EQ(outcome.run.status, 0);
  EXPECT_EQ(outcome.run.err, "");
  EXPECT_EQ(outcome.srt, srt);
  EXPECT_EQ(outcome.smi, sami_file(smi));
  EXPECT_EQ(outcome.run.out, outcome.expected_out);
}

// Mid-row codes put spaces on the screen. In the SRT file a row of nothing but spaces is
// left out, and a caption with no other character gives no entry: SRT readers take a
// blank line for the end of the cue. The SAMI file shows every change as it is.
TEST(CaptionStreamEndToEnd, SrtLeavesOutRowsAndCaptionsOfSpacesOnly) {
  Script script{4, {}, ""};
  Pen pen{1, 15, 0};  // roll-up writes into the displayed buffer, 1 at start
  Group group{{0, 0, 1, 0},
              {{0x14, 0x25, roll_up(2)},
               repeat_of(0x14, 0x25),
               {0x14, 0x2C, outputs({}, {})},
               repeat_of(0x14, 0x2C),
               {0x14, 0x2D, carriage_return(15, 2) + outputs({}, {})},
               repeat_of(0x14, 0x2D),
               {0x14, 0x70, pac(15, 0)},
               {0x14, 0x70, pac(15, 0)}}};
  auto step = [&](uint8_t a, uint8_t b, const std::string &cells, const std::vector<int> &shown,
                  const std::vector<int> &closed) { group.steps.push_back({a, b, pen.put(cells) + outputs(shown, closed)}); };
  step(0x11, 0x2E, " ", {15}, {});  // italics: a space; the erased display closes no entry
  group.steps.push_back(repeat_of(0x11, 0x2E));
  step('H', 'E', "HE", {15}, {});  // the caption of one space gives no entry
  step('L', 'L', "LL", {15}, {15});
  step('O', 0x00, "O", {15}, {15});
  group.steps.push_back({0x14, 0x2D, carriage_return(15, 2) + outputs({14}, {15})});
  pen.column = 0;
  group.steps.push_back(repeat_of(0x14, 0x2D));
  group.steps.push_back({0x14, 0x70, pac(15, 0)});
  group.steps.push_back({0x14, 0x70, pac(15, 0)});
  step(0x11, 0x2E, " ", {14, 15}, {14});
  group.steps.push_back(repeat_of(0x11, 0x2E));
  group.steps.push_back({0x14, 0x2C, outputs({}, {14})});  // row 15 holds only a space
  group.steps.push_back(repeat_of(0x14, 0x2C));
  script.groups = {group};
  Outcome outcome = run_script(script, "e2e-blank-rows");

  auto at = [&](int k) { return step_ms(script, 0, k); };
  EXPECT_EQ(outcome.run.status, 0);
  EXPECT_EQ(outcome.run.err, "");
  EXPECT_EQ(outcome.srt, srt_entry(1, at(10), at(11), {" HE"}) + srt_entry(2, at(11), at(12), {" HELL"}) +
                             srt_entry(3, at(12), at(13), {" HELLO"}) + srt_entry(4, at(13), at(17), {" HELLO"}) +
                             srt_entry(5, at(17), at(19), {" HELLO"}));
  EXPECT_EQ(outcome.smi, sami_file(sami_block(at(2), {}) + sami_block(at(4), {}) + sami_block(at(8), {" "}) +
                                   sami_block(at(10), {" HE"}) + sami_block(at(11), {" HELL"}) +
                                   sami_block(at(12), {" HELLO"}) + sami_block(at(13), {" HELLO"}) +
                                   sami_block(at(17), {" HELLO", " "}) + sami_block(at(19), {})));
  EXPECT_EQ(outcome.run.out, outcome.expected_out);
}

// A caption still on screen when the stream ends: its SRT entry ends at the time of the
// last byte pair that reached the decoder (here a filler pair two frames into a block).
TEST(CaptionStreamEndToEnd, CaptionShowingAtTheEndEndsAtTheLastPair) {
  Script script{4, {}, "Output row 15 to SRT file\n"};
  Pen pen{0, 15, 0};
  Group shown{{0, 5, 2, 5}, {{0x14, 0x20, rcl()}, repeat_of(0x14, 0x20), {0x14, 0x70, pac(15, 0)}}};
  type(shown.steps, pen, "BYE");
  shown.steps.push_back({0x14, 0x2F, eoc() + outputs({15}, {})});
  Group idle{{0, 5, 4, 0}, {{0x00, 0x00, ""}, {0x00, 0x00, ""}, {0x00, 0x00, ""}}};
  script.groups = {shown, idle};
  Outcome outcome = run_script(script, "e2e-showing");

  int64_t start = step_ms(script, 0, 5), last_pair = step_ms(script, 1, 2);
  EXPECT_EQ(start, 166);       // 5 frames at 29.97
  EXPECT_EQ(last_pair, 1901);  // 00:05:04 and frame 2: 57 frames after 00:05:02 and frame 5
  EXPECT_EQ(outcome.run.status, 0);
  EXPECT_EQ(outcome.srt, "1       \r\n00:00:00,166 --> 00:00:01,901\r\nBYE\r\n\r\n");
  EXPECT_EQ(outcome.smi, sami_file(sami_block(start, {"BYE"})));
  // The group at minute 5 prints a progress dot before its trace.
  EXPECT_NE(outcome.expected_out.find(".group of pictures"), std::string::npos);
  EXPECT_EQ(outcome.run.out, outcome.expected_out);
}

// What a first-time user does: one caption, outputs written to a directory of their own.
TEST(CaptionStreamEndToEnd, DemoRunWritesBothFilesIntoTheOutputDirectory) {
  TempDir dir("e2e-demo");
  std::string subs = dir.path + "/subs";
  ASSERT_EQ(mkdir(subs.c_str(), 0755), 0);
  Script script{4, {}, ""};
  Pen pen{0, 15, 0};
  Group hello{{0, 0, 0, 0}, {{0x14, 0x20, rcl()}, repeat_of(0x14, 0x20), {0x14, 0x70, pac(15, 0)}}};
  type(hello.steps, pen, "HELLO");
  while (hello.steps.size() < 15) hello.steps.push_back({0x00, 0x00, ""});
  hello.steps.push_back({0x14, 0x2F, eoc() + outputs({15}, {})});  // frame 15
  hello.steps.push_back(repeat_of(0x14, 0x2F));
  Group bye{{0, 0, 2, 0}, {{0x14, 0x2C, outputs({}, {15})}, repeat_of(0x14, 0x2C)}};
  script.groups = {hello, bye};
  std::vector<size_t> positions;
  write_file(dir.path + "/movie.mpg", build_stream(script, positions));

  RunResult run = run_zorbel({"movie.mpg", "/dsubs"}, dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, expected_stdout(script, positions, name_lines("movie.mpg", "movie", "subs/")));
  EXPECT_FALSE(file_exists(dir.path + "/movie.srt"));
  EXPECT_EQ(read_file(subs + "/movie.srt"), "1       \r\n00:00:00,500 --> 00:00:02,002\r\nHELLO\r\n\r\n");
  EXPECT_EQ(read_file(subs + "/movie.smi"), caption_script::sami_header() +
                                                "<SYNC START=\"500\">\r\n<P class=ENCC>HELLO<BR>\r\n"
                                                "<SYNC START=\"2002\">\r\n<P class=ENCC>&nbsp;\r\n"
                                                "</BODY>\r\n</SAMI>\r\n");
}

// ---- Caption times on the video's timeline ----

// A group of pictures as the timeline sees it: its time code and how many frames its
// "CC" block covers (none: no user data). A marked group's block starts with an erase of
// the display, which writes a SAMI synchronisation line at the group's first frame.
struct TimedGroup {
  TimeCode time_code;
  int frames;
  bool marked;
  int frame_rate_code = -1;  // a sequence header before the group; -1: none
  int more_frames = 0;       // a second block of null pairs after the first
};

// The label a time code of n frames a second gives frame `frame`; drop-frame codes skip
// the first n/15 labels of every minute but each tenth.
TimeCode label_of_frame(int64_t frame, int n, bool drop_frame) {
  if (drop_frame) {
    int64_t drop = n / 15, per_minute = 60 * n - drop, per_ten = 10 * per_minute + drop;
    int64_t tens = frame / per_ten, rest = frame % per_ten;
    frame += 9 * drop * tens + (rest > drop ? drop * ((rest - drop) / per_minute) : 0);
  }
  TimeCode t;
  t.drop_flag = drop_frame;
  t.pictures = static_cast<int>(frame % n);
  t.seconds = static_cast<int>(frame / n % 60);
  t.minutes = static_cast<int>(frame / n / 60 % 60);
  t.hours = static_cast<int>(frame / n / 3600);
  return t;
}

// `count` groups of `size` frames from frame `first` of the time code, the first one
// after a sequence header of the rate; `marked` picks the groups that carry a block.
std::vector<TimedGroup> groups_from(int frame_rate_code, int n, bool drop_frame, int64_t first, int size, int count,
                                    const std::function<bool(int)> &marked) {
  std::vector<TimedGroup> groups;
  for (int i = 0; i < count; i++) {
    bool carries = marked(i);
    groups.push_back({label_of_frame(first + int64_t{i} * size, n, drop_frame), carries ? size : 0, carries,
                      i == 0 ? frame_rate_code : -1});
  }
  return groups;
}

Bytes timed_stream(const std::vector<TimedGroup> &groups) {
  StreamBuilder builder;
  for (const TimedGroup &group : groups) {
    if (group.frame_rate_code >= 0) builder.sequence_header(header_with_rate(group.frame_rate_code));
    builder.gop(group.time_code);
    if (group.frames > 0) {
      std::vector<std::pair<uint8_t, uint8_t>> pairs(static_cast<size_t>(group.frames), {0x00, 0x00});
      if (group.marked) pairs[0] = {0x14, 0x2C};
      builder.cc_block(frames_of(pairs));
    }
    if (group.more_frames > 0)
      builder.cc_block(frames_of(std::vector<std::pair<uint8_t, uint8_t>>(static_cast<size_t>(group.more_frames))));
    builder.picture(0, 1).slice(20);
  }
  return builder.sequence_end().bytes();
}

// The SAMI synchronisation times of a run, in order.
std::vector<int64_t> sync_times(const std::string &smi) {
  std::vector<int64_t> times;
  for (size_t at = smi.find("<SYNC START=\""); at != std::string::npos; at = smi.find("<SYNC START=\"", at + 1))
    times.push_back(std::stoll(smi.substr(at + 13)));
  return times;
}

// Each marked group's erase is shown at the moment its first frame is: frames since the
// first group times the exact frame period, whatever the time code's labels say.
TEST(CaptionTimes, FollowTheFramesShownNotTheTimeCodeLabels) {
  auto every = [](int) { return true; };
  struct Case {
    const char *label;
    std::vector<TimedGroup> groups;
    std::vector<int64_t> sync_ms;
    bool program_stream = false;  // an elementary stream must begin with a sequence header
  };
  std::vector<Case> cases;
  {
    // Non-drop labels count 30 a second: read as clock time they run 3.6 s an hour early.
    Case c{"29.97 non-drop, an hour", groups_from(4, 30, false, 0, 15, 7200, [](int i) { return i < 2 || i == 7199; }),
           {0, 500, 3603099}};
    cases.push_back(c);
  }
  {
    // From 00:58:59;00 across the minutes that drop two labels (59, 61) and the one that
    // does not (60).
    int64_t first = time_code_frame_number(GopTimeCode{1, 0, 58, 59, 0, 1, 0}, 30);
    Case c{"29.97 drop-frame, late in the hour", groups_from(4, 30, true, first, 15, 240, every), {}};
    for (int i = 0; i < 240; i++) c.sync_ms.push_back(int64_t{i} * 15 * 900900 / 27000);
    cases.push_back(c);
  }
  cases.push_back({"59.94 drop-frame, four labels dropped at minute 1",
                   groups_from(7, 60, true, 3596, 4, 2, every), {0, 66}});
  cases.push_back({"23.976, five minutes", groups_from(1, 24, false, 0, 12, 600, [](int i) { return i == 0 || i == 599; }),
                   {0, 299799}});
  cases.push_back({"25 from 01:00:00:00", groups_from(3, 25, false, 90000, 12, 101, [](int i) { return i % 50 == 0; }),
                   {0, 24000, 48000}});
  {
    // Two recordings joined, the time code starting again: the second follows the first
    // group's captions, fifteen frames, on from the first recording's last group.
    std::vector<TimedGroup> joined = groups_from(4, 30, false, 0, 15, 10, every);
    std::vector<TimedGroup> second = groups_from(4, 30, false, 0, 15, 10, every);
    joined.insert(joined.end(), second.begin(), second.end());
    Case c{"two recordings joined", joined, {}};
    for (int i = 0; i < 20; i++) c.sync_ms.push_back(int64_t{i} * 15 * 900900 / 27000);
    cases.push_back(c);
  }
  {
    // The first block of a group tells how many frames it lasts, not a later one.
    std::vector<TimedGroup> still = groups_from(3, 25, false, 0, 25, 4, every);
    for (TimedGroup &group : still) {
      group.time_code = TimeCode();
      group.more_frames = 5;
    }
    cases.push_back({"a time code that stands still", still, {0, 1000, 2000, 3000}});
  }
  {
    // Ten seconds is a step of the time code; more is a leap, and the group's block of
    // 25 frames tells where the next one starts.
    std::vector<TimedGroup> steps = groups_from(3, 25, false, 0, 25, 3, every);
    steps[1].time_code = label_of_frame(250, 25, false);
    steps[2].time_code = label_of_frame(250 + 251, 25, false);
    cases.push_back({"a step of ten seconds, then a leap of a frame more", steps, {0, 10000, 11000}});
  }
  {
    // The time code goes back after a group without captions: the last step the time
    // codes gave (12 frames) stands in, not the 10 frames of an older group's block.
    std::vector<TimedGroup> back = groups_from(3, 25, false, 0, 12, 2, [](int i) { return i == 0; });
    back[0].frames = 10;
    back.push_back({TimeCode(), 12, true});
    cases.push_back({"a time code that goes back after a group without captions", back, {0, 960}});
  }
  {
    // No rate yet: the first group's pairs all lie at its start; the time codes place the
    // second group once a sequence header has come.
    std::vector<TimedGroup> late = groups_from(-1, 30, false, 0, 15, 1, every);
    late.push_back({label_of_frame(15, 30, false), 15, true, 4});
    cases.push_back({"no sequence header before the first group", late, {0, 500}, true});
  }

  TempDir dir("e2e-timeline");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    Bytes stream = timed_stream(c.groups);
    write_file(dir.path + "/movie.m2v", c.program_stream ? mux_program_stream(stream) : stream);
    RunResult run = run_zorbel({"movie.m2v"}, dir.path);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sync_times(read_file(dir.path + "/movie.smi")), c.sync_ms);
  }
}

// ---- Field order from the entries' tags ----

// A "CC" block as DVD encoders write it: per frame a field-1 entry (FF and the pair) and a
// field-2 entry (FE 80 80). `shape` then breaks that layout as real discs do.
struct CcBlock {
  Clock time;
  std::vector<CcEntry> entries;
  bool oddfirst;
};

// Two pop-on captions, HI at 1 s and YO at 3 s, erased at 5 s, after a lead-in block at 0 s
// of filler frames; the time codes start at `second`.
std::vector<CcBlock> two_captions(int second) {
  auto caption = [](uint8_t a, uint8_t b) {
    return frames_of({{0x14, 0x20}, {0x14, 0x20}, {0x14, 0x70}, {a, b}, {0x14, 0x2F}, {0x14, 0x2F}});
  };
  return {{{0, 0, second, 0}, frames_of({{0, 0}, {0, 0}, {0, 0}}), true},
          {{0, 0, second + 1, 0}, caption('H', 'I'), true},
          {{0, 0, second + 3, 0}, caption('Y', 'O'), true},
          {{0, 0, second + 5, 0}, frames_of({{0x14, 0x2C}, {0x14, 0x2C}}), true}};
}

// Each frame's two entries in the other order: the block starts with field 2.
void field_two_first(CcBlock &block) {
  for (size_t i = 0; i + 1 < block.entries.size(); i += 2) std::swap(block.entries[i], block.entries[i + 1]);
  block.oddfirst = false;
}

Bytes cc_stream(const std::vector<CcBlock> &blocks) {
  StreamBuilder builder;
  builder.sequence_header().sequence_extension();
  for (const CcBlock &block : blocks) {
    builder.gop(block.time.hours, block.time.minutes, block.time.seconds, block.time.frames)
        .cc_block(block.entries, block.oddfirst)
        .picture(0, 1)
        .slice(50);
  }
  return builder.bytes();
}

TEST(CaptionStreamEndToEnd, TagsOfABlocksFirstTwoEntriesSetTheFieldOrder) {
  const CcEntry kFieldTwoFiller = {0xFE, 0x80, 0x80};
  struct Case {
    const char *name;
    std::vector<CcBlock> blocks;
  };
  std::vector<Case> cases;
  std::vector<CcBlock> all_field_two_first = two_captions(0);
  for (CcBlock &block : all_field_two_first) field_two_first(block);
  cases.push_back({"every block starts with field 2", all_field_two_first});
  std::vector<CcBlock> odd_count = two_captions(0);
  odd_count[0].entries.push_back({0xFF, 0x80, 0x80});
  cases.push_back({"an extra field-1 entry, the next block starting with field 1", odd_count});
  std::vector<CcBlock> one_slipped = two_captions(0);
  field_two_first(one_slipped[0]);
  one_slipped[0].entries.push_back(kFieldTwoFiller);  // field 2 of a frame cut in half
  cases.push_back({"one block starts with field 2", one_slipped});
  std::vector<CcBlock> lone_entry = two_captions(0);
  lone_entry.insert(lone_entry.begin() + 1, CcBlock{{0, 0, 0, 10}, {kFieldTwoFiller}, false});
  cases.push_back({"a one-entry block between two normal blocks", lone_entry});
  for (uint8_t tag : {0xFF, 0xFE}) {
    std::vector<CcBlock> uniform = two_captions(0);
    for (CcBlock &block : uniform)
      for (CcEntry &entry : block.entries) entry.tag = tag;
    cases.push_back({tag == 0xFF ? "every entry tagged FF" : "every entry tagged FE", uniform});
  }

  TempDir dir("e2e-field-order");
  auto run = [&](const std::vector<CcBlock> &blocks) {
    write_file(dir.path + "/movie.mpg", cc_stream(blocks));
    RunResult result = run_zorbel({"movie.mpg"}, dir.path);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    return read_file(dir.path + "/movie.srt") + read_file(dir.path + "/movie.smi");
  };
  std::string expected = run(two_captions(0));
  // Frames 34, 94 and 150 at 29.97.
  EXPECT_EQ(expected.substr(0, expected.find("<SAMI>")),
            srt_entry(1, 1134, 3136, {"HI"}) + srt_entry(2, 3136, 5005, {"YO"}));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(c.blocks), expected);
  }

  // Two recordings joined, the first ending in a block of 7 entries (an odd count).
  std::vector<CcBlock> joined = two_captions(0), second = two_captions(10);
  joined.push_back({{0, 0, 6, 0}, frames_of({{0, 0}, {0, 0}, {0, 0}, {0, 0}}), true});
  joined.insert(joined.end(), second.begin(), second.end());
  std::string whole = run(joined);
  joined[4].entries.pop_back();
  EXPECT_EQ(run(joined), whole);
  EXPECT_EQ(count_of(whole, " --> "), 4u);
}

// A full disk must not look like success: the files are finished as far as possible,
// the failing one is named on stderr and the status is 1.
TEST(CaptionStreamEndToEnd, WriteFailureIsReportedWithStatusOne) {
  Script script = pop_on_then_paint_on();
  std::vector<size_t> positions;
  Bytes stream = build_stream(script, positions);

  TempDir dir("e2e-full-srt");
  write_file(dir.path + "/movie.mpg", stream);
  ASSERT_EQ(symlink("/dev/full", (dir.path + "/movie.srt").c_str()), 0);
  RunResult run = run_zorbel({"movie.mpg"}, dir.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error writing movie.srt\n");
  // The other file is still complete.
  EXPECT_EQ(read_file(dir.path + "/movie.smi"), pop_on_then_paint_on_sami(script));

  TempDir both("e2e-full-both");
  write_file(both.path + "/movie.mpg", stream);
  ASSERT_EQ(symlink("/dev/full", (both.path + "/movie.srt").c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", (both.path + "/movie.smi").c_str()), 0);
  run = run_zorbel({"movie.mpg"}, both.path);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error writing movie.srt\nError writing movie.smi\n");
}

}  // namespace
