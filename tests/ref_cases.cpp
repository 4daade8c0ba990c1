// The reference cases.
#include "ref_cases.hpp"

#include <utility>

#include "test_support.hpp"

namespace {

using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;

// A caption group of pictures: its time code and the field-1 pair of each of its frames.
struct Group {
  int hours, minutes, seconds, pictures;
  Pairs pairs;
};

// Sequence header and extension, then per group a time code, its "CC" block and a picture.
Bytes caption_stream(int frame_rate_code, const std::vector<Group> &groups) {
  SequenceHeader header;
  header.frame_rate_code = frame_rate_code;
  StreamBuilder builder;
  builder.sequence_header(header).sequence_extension();
  uint32_t seed = 1;
  for (const Group &group : groups)
    builder.gop(group.hours, group.minutes, group.seconds, group.pictures)
        .cc_block(frames_of(group.pairs))
        .picture(0, 1)
        .slice(100, seed++);
  return builder.sequence_end().bytes();
}

// Text two characters to a pair, the last one alone with a null byte.
Pairs text(const std::string &characters) {
  Pairs pairs;
  for (size_t i = 0; i < characters.size(); i += 2)
    pairs.push_back({static_cast<uint8_t>(characters[i]),
                     i + 1 < characters.size() ? static_cast<uint8_t>(characters[i + 1]) : uint8_t{0}});
  return pairs;
}

Pairs operator+(Pairs a, const Pairs &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::pair<uint8_t, uint8_t> kRCL{0x14, 0x20}, kRU2{0x14, 0x25}, kRU3{0x14, 0x26},
    kRDC{0x14, 0x29}, kEDM{0x14, 0x2C}, kCR{0x14, 0x2D}, kEOC{0x14, 0x2F}, kRow15{0x14, 0x70},
    kItalics{0x11, 0x2E}, kNull{0x00, 0x00};

// A pop-on caption on two rows (one indented, one with a tab gap), erased; then paint-on text
// on two rows, shown as it is painted, of which a carriage return clears the lower and an
// erase the rest. 29.97 frames a second.
Bytes pop_on_then_paint_on() {
  return caption_stream(
      4, {{0, 0, 1, 0,
           Pairs{kRCL, kRCL, {0x14, 0x52}} + text("HELLO") + Pairs{kRow15} + text("WORL") + Pairs{{0x17, 0x22}} +
               text("D!") + Pairs{kEOC, kEOC}},
          {0, 0, 4, 10,
           Pairs{kEDM, kEDM, kRDC, kRDC, {0x11, 0x52}} + text("PAINT") + Pairs{{0x11, 0x70}} + text("OK") + Pairs{kCR}},
          {0, 0, 6, 0, {kEDM, kEDM}}});
}

// Roll-up at 25 frames a second: two rows with several carriage returns, then three.
Bytes roll_up() {
  return caption_stream(3, {{0, 0, 10, 0,
                             Pairs{kRU2, kRU2, kRow15} + text("ABCD") + Pairs{kCR, kCR} + text("EF") +
                                 Pairs{kCR, kRU3} + text("GH") + Pairs{kCR} + text("IJ") + Pairs{kCR} + text("KL")},
                            {0, 0, 12, 5, {kEDM, kEDM}}});
}

// Mid-row codes put spaces on the screen: rows and captions of spaces only.
Bytes rows_of_spaces() {
  return caption_stream(4, {{0, 0, 1, 0,
                             Pairs{kRU2, kRU2, kEDM, kEDM, kCR, kCR, kRow15, kRow15, kItalics, kItalics} +
                                 text("HELLO") + Pairs{kCR, kCR, kRow15, kRow15, kItalics, kItalics, kEDM, kEDM}}});
}

// A caption still on screen when the stream ends, at minute 5 of the time code (a progress
// dot); it ends at the last pair, a null two frames into the last block.
Bytes showing_at_the_end() {
  return caption_stream(4, {{0, 5, 2, 5, Pairs{kRCL, kRCL, kRow15} + text("BYE") + Pairs{kEOC}},
                            {0, 5, 4, 0, {kNull, kNull, kNull}}});
}

// What a first-time user tries: one caption, shown at frame 15 and erased two seconds in.
Bytes hello() {
  Pairs shown = Pairs{kRCL, kRCL, kRow15} + text("HELLO");
  while (shown.size() < 15) shown.push_back(kNull);
  return caption_stream(4, {{0, 0, 0, 0, shown + Pairs{kEOC, kEOC}}, {0, 0, 2, 0, {kEDM, kEDM}}});
}

Bytes file_bytes(const std::string &path) {
  std::string text = read_file(path);
  return Bytes(text.begin(), text.end());
}

std::vector<RefCase> make_cases() {
  std::vector<RefCase> cases;
  for (const std::string &path : fixture_paths()) {
    std::string name = path.substr(path.rfind('/') + 1);
    std::function<Bytes()> bytes = [path] { return file_bytes(source_path(path)); };
    cases.push_back({name, name, {}, "", bytes});
    // --timecode changes the files' times only.
    cases.push_back({name + "-timecode", name, {"--timecode"}, name, bytes});
  }
  const std::pair<const char *, Bytes (*)()> streams[] = {
      {"pop-on-then-paint-on", pop_on_then_paint_on}, {"roll-up", roll_up},
      {"rows-of-spaces", rows_of_spaces},             {"showing-at-the-end", showing_at_the_end},
      {"hello", hello},
  };
  for (const auto &stream : streams) cases.push_back({stream.first, "movie.m2v", {}, "", stream.second});
  // The options that change the files: roll-up and paint-on a line at a time, UTF-8 (the
  // film fixture has the characters that code page 1252 lacks), and all of them at once.
  auto fixture = [](const std::string &name) {
    return [name] { return file_bytes(source_path("tests/fixtures/" + name)); };
  };
  cases.push_back({"ntsc.m2v-whole-lines", "ntsc.m2v", {"--whole-lines"}, "", fixture("ntsc.m2v")});
  cases.push_back({"roll-up-whole-lines", "movie.m2v", {"--whole-lines"}, "", roll_up});
  cases.push_back({"pop-on-then-paint-on-whole-lines", "movie.m2v", {"--whole-lines"}, "", pop_on_then_paint_on});
  cases.push_back({"film.m2v-utf8", "film.m2v", {"--utf8"}, "", fixture("film.m2v")});
  cases.push_back({"film-dvd.vob-all-options", "film-dvd.vob", {"-q", "--utf8", "--whole-lines", "--timecode"}, "",
                   fixture("film-dvd.vob")});
  return cases;
}

}  // namespace

const std::vector<std::string> &fixture_paths() {
  static const std::vector<std::string> paths = {
      "tests/fixtures/ntsc.m2v",       "tests/fixtures/ntsc-dvd.vob",  "tests/fixtures/ntsc-vob.vob",
      "tests/fixtures/ntsc-mpeg1.mpg", "tests/fixtures/pal.m2v",       "tests/fixtures/pal-dvd.vob",
      "tests/fixtures/pal-vob.vob",    "tests/fixtures/pal-mpeg1.mpg", "tests/fixtures/film.m2v",
      "tests/fixtures/film-dvd.vob",   "tests/fixtures/film-vob.vob",  "tests/fixtures/film-mpeg1.mpg",
      "tests/fixtures/pal.ts",         "tests/fixtures/film.m2ts",     "tests/fixtures/ntsc-a53.ts",
      "samples/sample.mpg",
  };
  return paths;
}

const std::vector<RefCase> &ref_cases() {
  static const std::vector<RefCase> cases = make_cases();
  return cases;
}
