// Caption command interpreter (EIA-608 / 47 CFR 15.119): one of the four caption channels.
#include "captions/caption_interpreter.hpp"

#include "base/console.hpp"
#include "base/run_state.hpp"
#include "captions/caption_memory.hpp"
#include "captions/caption_time.hpp"
#include "output/caption_display.hpp"
#include "output/caption_text.hpp"
#include "output/srt_writer.hpp"

static struct {
  // Most recent pair, fillers included; only used to drop the directly repeated copy of a
  // code that would act again (broadcasters send each one twice).
  unsigned last_byte1;
  unsigned last_byte2;
  // Per field: the channel of the last control code (0 the field's first, 1 its second),
  // and whether an extended data service packet is under way (field 2 only).
  int second_channel[2];
  bool in_service_data[2];
  uint64_t pair_counts[4];
} interpreter;

void reset_caption_interpreter() { interpreter = {}; }

int decoded_field() { return caption_channel >= 3 ? 1 : 0; }

const uint64_t *channel_pair_counts() { return interpreter.pair_counts; }

// The channel, 0 to 3, of a pair of `field`, or -1 for a filler and the extended data
// service. A control code selects its channel (first byte 0x10-0x17 the field's first,
// 0x18-0x1F its second); characters belong to the channel of the last one (EIA-608-B 8.4).
static int channel_of_pair(int field, unsigned byte1, unsigned byte2) {
  if (byte1 == 0 && byte2 == 0) return -1;
  if (byte1 >= 0x10 && byte1 <= 0x1F) {
    interpreter.second_channel[field] = byte1 >= 0x18;
    interpreter.in_service_data[field] = false;
  } else if (field == 1 && byte1 >= 0x01 && byte1 <= 0x0F) {
    // Field 2's extended data service: 0x01-0x0E start or continue a packet, 0x0F and its
    // checksum end it; the characters in between are data, not text.
    interpreter.in_service_data[field] = byte1 != 0x0F;
    return -1;
  } else if (interpreter.in_service_data[field]) {
    return -1;
  }
  int channel = 2 * field + interpreter.second_channel[field];
  interpreter.pair_counts[channel]++;
  return channel;
}

void count_other_field_pair(unsigned byte1, unsigned byte2) { channel_of_pair(1 - decoded_field(), byte1, byte2); }

// The EIA-608 basic character set in code page 1252: ASCII but for ten cells (0x23 is
// '#'; the pound sign has a special-character code of its own). The solid
// block (0x7F) has no code-page-1252 byte and is stored as 0x83.
static const unsigned char kBasicCharacters[128] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0xE1, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0xE9, 0x5D, 0xED, 0xF3,
    0xFA, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xE7, 0xF7, 0xD1, 0xF1, 0x83,
};

// Special characters 0x11 0x30 to 0x11 0x3F; the music note (0x37) has no code-page-1252
// byte and is stored as "#".
static const unsigned char kSpecialCharacters[16] = {
    0xAE, 0xB0, 0xBD, 0xBF, 0x99, 0xA2, 0xA3, 0x23, 0xE0, 0x20, 0xE8, 0xE2, 0xEA, 0xEE, 0xF4, 0xFB,
};

// Preamble address code rows by first byte 0x10-0x17; [0] for second bytes 0x40-0x5F,
// [1] for 0x60-0x7F.
static const int kPreambleRows[8][2] = {
    {11, 11}, {1, 2}, {3, 4}, {12, 13}, {14, 15}, {5, 6}, {7, 8}, {9, 10},
};

// Codes whose second copy would act again: miscellaneous control codes, mid-row codes,
// special characters and tab offsets. EIA-608 sends every control code twice
// (47 CFR 15.119) and a decoder acts on the first copy only.
static bool repeat_is_dropped(unsigned byte1, unsigned byte2) {
  return (byte1 == 0x14 && byte2 >= 0x20 && byte2 <= 0x2F) || (byte1 == 0x11 && byte2 >= 0x20 && byte2 <= 0x3F) ||
         (byte1 == 0x17 && byte2 >= 0x21 && byte2 <= 0x23);
}

static void trace_pen() {
  if (verbosity_level <= 0) return;
  char *out = put_text(console_line(), "Row=> ");
  out = put_decimal(out, pen_state().row);
  out = put_text(out, ", Column=");
  out = put_decimal(out, pen_state().column);
  *out++ = '\n';
  console_end_line(out);
}

static void preamble_address_code(unsigned byte1, unsigned byte2) {
  PenState &pen = pen_state();
  pen.column = 0;
  pen.row = kPreambleRows[byte1 - 0x10][byte2 >= 0x60 ? 1 : 0];
  Set_base_row(pen.row);
  unsigned attribute = byte2 & 0x1F;
  if (attribute >= 0x10) pen.column = 4 * static_cast<int>((attribute - 0x10) / 2);  // indent codes
  trace_pen();
}

static void trace_only(const char *text) {
  if (verbosity_level > 0) console_puts(text);
}

static void miscellaneous_control_code(unsigned byte2) {
  switch (byte2) {
    case 0x20: Resume_caption_loading(); break;
    case 0x21: trace_only("[Backspace]\n"); break;
    case 0x22: trace_only("[Reserved - was alarm off]\n"); break;
    case 0x23: trace_only("[Reserved - was alarm on]\n"); break;
    case 0x24: Delete_end_of_Row(); break;
    case 0x25: Roll_up(2); break;
    case 0x26: Roll_up(3); break;
    case 0x27: Roll_up(4); break;
    case 0x28:
      // Flash on is shown as a standard space (47 CFR 15.119(h)(1)(i)).
      trace_only("[Flash on]\n");
      Addchar(0x20);
      break;
    case 0x29: Resume_direct_captioning(); break;
    case 0x2A: trace_only("[Text Restart]\n"); break;
    case 0x2B: trace_only("[Resume Text Display]\n"); break;
    case 0x2C: Erase_displayed_memory(); break;
    case 0x2D: Carriage_return(); break;
    case 0x2E: Erase_non_displayed_memory(); break;
    default: End_of_caption(); break;  // 0x2F
  }
}

// Messages printed at every verbosity level, without a line break.
static const char *const kAttributeMessages[] = {
    "[BACKGND TRANSPARENT]", "[FOREGROUND BLACK]", "[FOREGND BLACK UNDERLINE]",
};
static const char *const kCharacterSetMessages[] = {
    "[STANDARD CHAR SET, NORMAL SIZE]", "[STANDARD CHAR SET, DOUBLE SIZE]", "[FIRST PRIVATE CHAR SET]",
    "[2ND PRIVATE CHAR SET]",           "[PEOPLES REP OF CHINA CHAR SET]",  "[KOREAN CHAR SET]",
    "[FIRST REGISTERED CHAR SET]",
};

void Decode_pair(int64_t time, unsigned byte1, unsigned byte2) {
  srt_note_pair_time(time);
  if ((byte1 == 0x20 && byte2 == 0x20) || (byte1 == 0x00 && byte2 == 0x00)) {
    interpreter.last_byte1 = byte1;
    interpreter.last_byte2 = byte2;
    return;
  }
  int field = decoded_field();
  bool wanted = channel_of_pair(field, byte1, byte2) == caption_channel - 1;
  unsigned raw_byte1 = byte1;
  // The second channel's codes are the first's with bit 3 set; field 2 sends the
  // miscellaneous control codes as 0x15 and 0x1D.
  if (byte1 >= 0x18 && byte1 <= 0x1F) byte1 -= 0x08;
  if (field == 1 && byte1 == 0x15 && byte2 >= 0x20 && byte2 <= 0x2F) byte1 = 0x14;
  // The repeat of a code is that of the field, whatever its channel.
  if (repeat_is_dropped(byte1, byte2) && raw_byte1 == interpreter.last_byte1 && byte2 == interpreter.last_byte2)
    return;
  if (!wanted) {
    interpreter.last_byte1 = raw_byte1;
    interpreter.last_byte2 = byte2;
    return;
  }

  if (byte1 >= 0x20 && byte1 <= 0x7F) {
    Addchar(kBasicCharacters[byte1]);
    if (byte2 >= 0x20 && byte2 <= 0x7F) Addchar(kBasicCharacters[byte2]);
  } else if (byte1 >= 0x10 && byte1 <= 0x17 && byte2 >= 0x40 && byte2 <= 0x7F) {
    preamble_address_code(byte1, byte2);
  } else if (byte1 == 0x14 && byte2 >= 0x20 && byte2 <= 0x2F) {
    miscellaneous_control_code(byte2);
  } else if (byte1 == 0x17 && byte2 >= 0x21 && byte2 <= 0x23) {
    // Tab offsets never move the cursor past the last column.
    PenState &pen = pen_state();
    pen.column += static_cast<int>(byte2 - 0x20);
    if (pen.column > kCaptionColumns - 1) pen.column = kCaptionColumns - 1;
    trace_pen();
  } else if (byte1 == 0x10 && byte2 >= 0x20 && byte2 <= 0x2F) {
    // Background attribute: not kept.
  } else if (byte1 == 0x17 && byte2 >= 0x2D && byte2 <= 0x2F) {
    console_puts(kAttributeMessages[byte2 - 0x2D]);
  } else if (byte1 == 0x17 && byte2 >= 0x24 && byte2 <= 0x2A) {
    console_puts(kCharacterSetMessages[byte2 - 0x24]);
  } else if (byte1 == 0x11 && byte2 >= 0x20 && byte2 <= 0x2F) {
    // A mid-row code shows as a standard space (47 CFR 15.119(h)(1)(i)); its colour,
    // underline or italics attribute is not kept.
    Addchar(0x20);
  } else if (byte1 == 0x11 && byte2 >= 0x30 && byte2 <= 0x3F) {
    // The music note has a byte of its own only where the files are UTF-8.
    Addchar(byte2 == 0x37 && utf8_output ? kMusicNoteUtf8Cell : kSpecialCharacters[byte2 - 0x30]);
  } else if (verbosity_level > 0) {
    console_printf("unexpected code %02x %02x\n", raw_byte1, byte2);
  }

  interpreter.last_byte1 = raw_byte1;
  interpreter.last_byte2 = byte2;
  if (output_pending()) {
    display_changed(time / kTicksPerMillisecond);
    clear_output_pending();
  }
}
