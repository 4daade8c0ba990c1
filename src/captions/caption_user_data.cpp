// Caption user data and caption clock.
#include "captions/caption_user_data.hpp"

#include <cstdint>
#include <cstring>

#include "base/console.hpp"
#include "base/run_state.hpp"
#include "captions/caption_interpreter.hpp"
#include "captions/caption_time.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/video_scanner.hpp"

namespace {
enum class Layout { unknown, dvd, atsc };

// A pair of ATSC caption data held until its picture's place in display order is known.
struct HeldPair {
  uint8_t field;  // 0 or 1 (cc_type)
  uint8_t index;  // among the picture's entries of that field: one frame each
  uint8_t byte1, byte2;  // parity checked and stripped
};
struct HeldPicture {
  int temporal_reference;
  int fields;
  int first_pair, pairs;
};

// A group of pictures longer than this is decoded in parts (one part per sequence header
// in streams without groups).
constexpr int kHeldPictures = 256;
constexpr int kHeldPairs = 4096;
}  // namespace

static struct {
  // Every second entry belongs to the decoded field, counted over the whole run: a
  // block with an odd number of entries hands the other phase to the next block, unless
  // that block's tags say where field 1 is.
  int is_odd;
  Layout layout;
  HeldPicture pictures[kHeldPictures];
  int picture_count;
  HeldPair pairs[kHeldPairs];
  int pair_count;
  int64_t group_fields;  // shown by the group's pictures decoded so far
} user_data;

void reset_caption_user_data() {
  user_data.is_odd = 1;
  user_data.layout = Layout::unknown;
  user_data.picture_count = user_data.pair_count = 0;
  user_data.group_fields = 0;
}

// EIA-608 bytes carry odd parity in bit 7.
static const struct OddParity {
  bool of[256] = {};
  OddParity() {
    for (unsigned byte = 0; byte < 256; byte++) {
      unsigned ones = 0;
      for (unsigned bits = byte; bits != 0; bits >>= 1) ones += bits & 1;
      of[byte] = ones % 2 == 1;
    }
  }
} odd_parity;

static void advance_clock(int &hours, int &minutes, int &seconds, int &frames, float frame_rate) {
  frames += 1;
  if (static_cast<double>(frames) < static_cast<double>(frame_rate)) return;
  frames = 0;
  seconds += 1;
  if (seconds <= 59) return;
  seconds = 0;
  minutes += 1;
  if (minutes <= 59) return;
  minutes = 0;
  hours += 1;
}

void advance_caption_clock(int &hours, int &minutes, int &seconds, int &frames) {
  advance_clock(hours, minutes, seconds, frames, caption_clock_frame_rate());
}

// ">>  %06x (%06x) (IsOdd=%d oddfirst=%d time: %02d:%02d:%02d.%03d)", once per selected
// entry, the most frequent line of a run: where every number fits its width the line
// has one layout, written whole and then filled in.
static void trace_entry(uint32_t entry, int oddfirst, int hours, int minutes, int seconds, int frames) {
  char *out = console_line();
  // is_odd and oddfirst are single bits.
  if (hours >= 0 && hours <= 99 && minutes >= 0 && minutes <= 99 && seconds >= 0 && seconds <= 99 && frames >= 0 &&
      frames <= 999) {
    // The places filled in, as the layout itself fixes them.
    static constexpr char kLayout[] = ">>  000000 (000000) (IsOdd=0 oddfirst=0 time: 00:00:00.000)\n";
    constexpr size_t kEntry = sizeof ">>  " - 1, kStripped = sizeof ">>  000000 (" - 1,
                     kIsOdd = sizeof ">>  000000 (000000) (IsOdd=" - 1,
                     kOddFirst = sizeof ">>  000000 (000000) (IsOdd=0 oddfirst=" - 1,
                     kHours = sizeof ">>  000000 (000000) (IsOdd=0 oddfirst=0 time: " - 1, kMinutes = kHours + 3,
                     kSeconds = kMinutes + 3, kFrames = kSeconds + 3;
    static_assert(kLayout[kStripped - 1] == '(' && kLayout[kIsOdd - 1] == '=' && kLayout[kOddFirst - 1] == '=' &&
                      kLayout[kMinutes - 1] == ':' && kLayout[kSeconds - 1] == ':' && kLayout[kFrames - 1] == '.',
                  "the places filled in");
    memcpy(out, kLayout, sizeof kLayout - 1);
    put_hex(out + kEntry, entry, 6);
    put_hex(out + kStripped, entry & 0xFF7F7F, 6);
    out[kIsOdd] = static_cast<char>('0' + user_data.is_odd);
    out[kOddFirst] = static_cast<char>('0' + oddfirst);
    memcpy(out + kHours, kDecimalPairs + 2 * hours, 2);
    memcpy(out + kMinutes, kDecimalPairs + 2 * minutes, 2);
    memcpy(out + kSeconds, kDecimalPairs + 2 * seconds, 2);
    out[kFrames] = static_cast<char>('0' + frames / 100);
    memcpy(out + kFrames + 1, kDecimalPairs + 2 * (frames % 100), 2);
    console_end_line(out + sizeof kLayout - 1);
    return;
  }
  out = put_text(out, ">>  ");
  out = put_hex(out, entry, 6);
  out = put_text(out, " (");
  out = put_hex(out, entry & 0xFF7F7F, 6);
  out = put_text(out, ") (IsOdd=");
  out = put_decimal(out, user_data.is_odd);
  out = put_text(out, " oddfirst=");
  out = put_decimal(out, oddfirst);
  out = put_text(out, " time: ");
  out = put_decimal(out, hours, 2);
  *out++ = ':';
  out = put_decimal(out, minutes, 2);
  *out++ = ':';
  out = put_decimal(out, seconds, 2);
  *out++ = '.';
  out = put_decimal(out, frames, 3);
  out = put_text(out, ")\n");
  console_end_line(out);
}

// The block's bytes: straight from the buffer when the whole block lies there (the reader
// then passes it in one step at the end), else through the window, which crosses block
// and packet ends.
namespace {
struct BlockBytes {
  const uint8_t *start;
  const uint8_t *at;  // null: through the window

  uint32_t take(int bytes) {
    if (at == nullptr) return read_bits(8 * bytes);
    uint32_t value = 0;
    for (int i = 0; i < bytes; i++) value = (value << 8) | *at++;
    return value;
  }
  uint32_t peek32() const { return at == nullptr ? peek_bits(32) : load_be32(at); }
  // From here on through the window: the bytes taken so far are passed first.
  void leave_buffer() {
    if (at == nullptr) return;
    skip_bytes(static_cast<int32_t>(at - start));
    at = nullptr;
  }
};
}  // namespace

// DVD encoders tag each entry with its field (0xFF field 1, 0xFE field 2). A block whose
// first two tags name both fields says which comes first, so one block that breaks the
// alternation (a field-2 start, an odd count, a cut block) cannot leave every later block
// decoding the other field. The tags of entries 0 and 1 are bytes 0 and 3 of the next four.
static void take_field_order_from_tags(const BlockBytes &bytes) {
  uint32_t first_bytes = bytes.peek32();
  unsigned first = first_bytes >> 24, second = first_bytes & 0xFF;
  if (first == 0xFF && second == 0xFE) {
    user_data.is_odd = 1;
  } else if (first == 0xFE && second == 0xFF) {
    user_data.is_odd = 0;
  }
}

// With --timecode, a pair's time is the time code's labels, as the trace shows them.
static int64_t timecode_ticks(int hours, int minutes, int seconds, int frames, float frame_rate) {
  return caption_time_milliseconds(CaptionTime{hours, minutes, seconds, frames}, frame_rate) * kTicksPerMillisecond;
}

void cc_user_data() {
  if (user_data.layout == Layout::atsc) {
    align_to_start_code();
    return;
  }
  const GopTimeCode &gop = gop_time_code();
  int hours = gop.hours, minutes = gop.minutes, seconds = gop.seconds, frames = gop.pictures;
  int step_clock = 0;  // two entries, one per field, make one frame
  float frame_rate = caption_clock_frame_rate();
  // The moment the entry's frame is shown: the group's start, one frame period further at
  // every step of the clock.
  int64_t shown_at = group_start_ticks();
  const int64_t frame_period = frame_period_ticks();

  if (peek_bits(16) == 0x4343) {  // "CC"
    if (verbosity_level > 0) console_text("CC Packet\n");
    const uint8_t *in_buffer = stream_bytes(5);
    BlockBytes bytes = {in_buffer, in_buffer};
    bytes.take(2);
    uint32_t header = bytes.take(2);
    if (header != 0x01F8) {
      console_printf("unexpected data following CC marker (0x%0x)\n", static_cast<unsigned>(header));
    } else {
      uint32_t count = bytes.take(1);
      int oddfirst = static_cast<int>(count >> 7);
      int entries = static_cast<int>(count & 0x7F);
      note_caption_block(entries);
      user_data.layout = Layout::dvd;
      user_data.picture_count = user_data.pair_count = 0;
      if (bytes.at != nullptr && stream_bytes(5 + 3 * entries) == nullptr) bytes.leave_buffer();
      if (entries >= 2) take_field_order_from_tags(bytes);
      // Field 1's entries are those with is_odd set; CC3 and CC4 are the other field's.
      const int decoded_phase = 1 - decoded_field();
      for (int i = 0; i < entries; i++) {
        if (user_data.is_odd != decoded_phase) {
          uint32_t entry = bytes.take(3);
          unsigned byte1 = (entry >> 8) & 0xFF, byte2 = entry & 0xFF;
          if (odd_parity.of[byte1] && odd_parity.of[byte2]) count_other_field_pair(byte1 & 0x7F, byte2 & 0x7F);
        } else {
          uint32_t entry = bytes.take(3);
          if (verbosity_level > 0) trace_entry(entry, oddfirst, hours, minutes, seconds, frames);
          unsigned tag = entry >> 16;
          unsigned byte1 = (entry >> 8) & 0xFF;
          unsigned byte2 = entry & 0xFF;
          if (tag != 0xFF && tag != 0xFE) {
            console_printf("Unexpected tag 0x%0x\n", tag);
            break;
          }
          bool filler = byte1 == 0xFF && byte2 == 0xFF;
          if (!filler && odd_parity.of[byte1] && odd_parity.of[byte2])
            Decode_pair(clock_from_timecode ? timecode_ticks(hours, minutes, seconds, frames, frame_rate) : shown_at,
                        byte1 & 0x7F, byte2 & 0x7F);
        }
        user_data.is_odd = 1 - user_data.is_odd;
        if (step_clock) {
          advance_clock(hours, minutes, seconds, frames, frame_rate);
          shown_at += frame_period;
        }
        step_clock = 1 - step_clock;
      }
    }
    bytes.leave_buffer();
  }
  align_to_start_code();
}

bool caption_pictures_wanted() { return user_data.layout != Layout::dvd; }

static void decode_held_pictures(int count);

void start_caption_picture(int temporal_reference) {
  if (user_data.picture_count == kHeldPictures) flush_caption_pictures();
  HeldPicture &picture = user_data.pictures[user_data.picture_count++];
  picture = {temporal_reference, 2, user_data.pair_count, 0};
}

void set_caption_picture_fields(int fields) {
  if (user_data.picture_count > 0) user_data.pictures[user_data.picture_count - 1].fields = fields;
}

// ATSC A/53 caption data: "GA94", user_data_type_code 3, then cc_data (CEA-708 4.4):
// process_cc_data_flag and cc_count, a reserved byte, and cc_count entries of marker
// bits, cc_valid, cc_type and two bytes. Types 0 and 1 are EIA-608 field 1 and field 2;
// 2 and 3 (DTVCC) are passed over.
void atsc_user_data() {
  if (user_data.layout != Layout::dvd && user_data.picture_count > 0 && peek_bits(32) == 0x47413934) {
    read_bits(16);
    read_bits(16);
    if (read_bits(8) == 0x03) {
      uint32_t flags = read_bits(16) >> 8;
      bool process = (flags & 0x40) != 0;
      int count = static_cast<int>(flags & 0x1F);
      if (process && user_data.layout == Layout::unknown) {
        user_data.layout = Layout::atsc;
        if (verbosity_level > 0) console_text("ATSC A/53 caption data (GA94 user data after picture headers)\n");
      }
      // A second block of the same picture goes on counting its frames.
      const HeldPicture &picture = user_data.pictures[user_data.picture_count - 1];
      int of_field[2] = {0, 0};
      for (int i = 0; i < picture.pairs; i++) of_field[user_data.pairs[picture.first_pair + i].field]++;
      for (int i = 0; i < count; i++) {
        uint32_t entry = read_bits(24);
        unsigned valid = entry >> 18 & 1, type = entry >> 16 & 3;
        unsigned byte1 = entry >> 8 & 0xFF, byte2 = entry & 0xFF;
        if (!process || !valid || type > 1) continue;
        int index = of_field[type]++;
        if (!odd_parity.of[byte1] || !odd_parity.of[byte2] || index > 255) continue;
        // The held pairs of a picture stay together: a full store first decodes the
        // pictures before this one.
        if (user_data.pair_count == kHeldPairs) decode_held_pictures(user_data.picture_count - 1);
        if (user_data.pair_count == kHeldPairs) continue;  // one picture with more pairs than any field has
        user_data.pairs[user_data.pair_count++] = {static_cast<uint8_t>(type), static_cast<uint8_t>(index),
                                                   static_cast<uint8_t>(byte1 & 0x7F),
                                                   static_cast<uint8_t>(byte2 & 0x7F)};
        user_data.pictures[user_data.picture_count - 1].pairs++;
      }
    }
  }
  align_to_start_code();
}

static void trace_held_pair(const HeldPair &pair, int temporal_reference) {
  char *out = put_text(console_line(), ">>  cc_type=");
  out = put_decimal(out, pair.field);
  out = put_text(out, " ");
  out = put_hex(out, pair.byte1, 2);
  out = put_hex(out, pair.byte2, 2);
  out = put_text(out, " (temporal_reference=");
  out = put_decimal(out, temporal_reference);
  console_end_line(put_text(out, ")\n"));
}

// --timecode: the labels of the group's time code `frames` steps of the caption clock on.
// After the first step the frame label lies below the rate; the rest are counted at once.
static int64_t timecode_ticks_after(int64_t frames) {
  const GopTimeCode &gop = gop_time_code();
  const float rate = caption_clock_frame_rate();
  int hours = gop.hours, minutes = gop.minutes, seconds = gop.seconds, frame = gop.pictures;
  if (frames > 0) {
    advance_clock(hours, minutes, seconds, frame, rate);
    int64_t per_second = 1;  // labels a second, as the clock steps them
    while (static_cast<double>(per_second) < static_cast<double>(rate)) per_second++;
    int64_t total = frame + frames - 1;
    int64_t total_seconds = seconds + total / per_second;
    int64_t total_minutes = minutes + total_seconds / 60;
    frame = static_cast<int>(total % per_second);
    seconds = static_cast<int>(total_seconds % 60);
    minutes = static_cast<int>(total_minutes % 60);
    hours += static_cast<int>(total_minutes / 60);
  }
  return timecode_ticks(hours, minutes, seconds, frame, rate);
}

// Decodes the first `count` pictures held; those after them stay, moved to the front.
static void decode_held_pictures(int count) {
  if (count <= 0) return;
  // Display order: temporal_reference counts the pictures shown, from the group's first;
  // counted from the first one held (half the 10-bit range either way), equal ones (a
  // frame's two fields) in decode order.
  int order[kHeldPictures];
  const int first = user_data.pictures[0].temporal_reference;
  auto place = [first](const HeldPicture &picture) { return (picture.temporal_reference - first + 512) & 1023; };
  for (int i = 0; i < count; i++) {
    int j = i;
    for (; j > 0 && place(user_data.pictures[order[j - 1]]) > place(user_data.pictures[i]); j--) order[j] = order[j - 1];
    order[j] = i;
  }
  const int64_t period = frame_period_ticks();
  const int decoded = decoded_field();
  for (int i = 0; i < count; i++) {
    const HeldPicture &picture = user_data.pictures[order[i]];
    for (int p = 0; p < picture.pairs; p++) {
      const HeldPair &pair = user_data.pairs[picture.first_pair + p];
      if (pair.field != decoded) {
        count_other_field_pair(pair.byte1, pair.byte2);
        continue;
      }
      if (verbosity_level > 0) trace_held_pair(pair, picture.temporal_reference);
      int64_t frames = user_data.group_fields / 2 + pair.index;
      int64_t time = group_start_ticks() + user_data.group_fields * period / 2 + pair.index * period;
      if (clock_from_timecode) time = timecode_ticks_after(frames);
      Decode_pair(time, pair.byte1, pair.byte2);
    }
    user_data.group_fields += picture.fields;
  }
  int kept_pictures = user_data.picture_count - count;
  int first_kept_pair = kept_pictures > 0 ? user_data.pictures[count].first_pair : user_data.pair_count;
  memmove(user_data.pairs, user_data.pairs + first_kept_pair,
          sizeof(HeldPair) * static_cast<size_t>(user_data.pair_count - first_kept_pair));
  memmove(user_data.pictures, user_data.pictures + count, sizeof(HeldPicture) * static_cast<size_t>(kept_pictures));
  for (int i = 0; i < kept_pictures; i++) user_data.pictures[i].first_pair -= first_kept_pair;
  user_data.picture_count = kept_pictures;
  user_data.pair_count -= first_kept_pair;
}

void flush_caption_pictures() { decode_held_pictures(user_data.picture_count); }

int64_t end_caption_group() {
  int64_t fields = user_data.group_fields;
  user_data.group_fields = 0;
  // Only groups with ATSC captions are timed by their pictures; the others keep the rules
  // of DVD groups.
  return user_data.layout == Layout::atsc ? fields : 0;
}
