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

static struct {
  // Every second entry belongs to the decoded field, counted over the whole run: a
  // block with an odd number of entries hands the other phase to the next block, unless
  // that block's tags say where field 1 is.
  int is_odd;
} user_data = {1};

void reset_caption_user_data() { user_data.is_odd = 1; }

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
