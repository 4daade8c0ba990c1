// Video header scanner (ISO/IEC 13818-2, 6.2.2): sequence and group-of-pictures headers,
// extensions and user data after them. Pictures are never decoded.
#include "mpeg/video_scanner.hpp"

#include <cstring>

#include "base/console.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "captions/caption_user_data.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/start_codes.hpp"

static struct {
  int horizontal_size;
  int vertical_size;
  int aspect_ratio_information;
  int frame_rate_code;
  int bit_rate_value;
  int vbv_buffer_size;
  int constrained_parameters_flag;
  int load_intra_quantizer_matrix;
  int load_non_intra_quantizer_matrix;
  GopTimeCode gop;
  float clock_frame_rate;   // read by the caption clock, which steps the time code's labels
  int previous_minutes;     // of the last group of pictures, for the progress dots
  // The timeline. Each group starts where the previous one did plus the frames between
  // their time codes, each frame_period long.
  int time_code_rate;       // n: frames a second as the time code counts them
  int64_t frame_period;     // of the sequence header in force, in 27 MHz ticks
  bool group_seen;
  GopTimeCode previous_group;
  int64_t group_start;
  int64_t time_code_step;   // the last step the time codes gave, in frames; 0 before one
  int block_frames;         // of the group's first valid "CC" block; -1 before one
  int progressive_sequence; // of the sequence extension in force: how long a picture is shown
  // The field lines of the last sequence header traced without quantiser matrices, and
  // its eight bytes: encoders repeat one header before every group of pictures.
  uint64_t traced_header;
  bool traced_header_known;
  size_t traced_length;
  char traced_fields[512];
} scan;

void reset_video_scanner() {
  memset(&scan, 0, sizeof scan);
  scan.block_frames = -1;
}

static float float_from_bits(uint32_t bits) {
  float value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

float frame_rate_for_code(int frame_rate_code) {
  // The NTSC rates are kept as these exact floats (each one below the nearest float to
  // N*1000/1001): the millisecond values of the output files depend on them.
  switch (frame_rate_code) {
    case 0: return 0.0f;
    case 1: return float_from_bits(0x41BFCEE5);  // 23.976
    case 2: return 24.0f;
    case 3: return 25.0f;
    case 4: return float_from_bits(0x41EFC29E);  // 29.97
    case 5: return 30.0f;
    case 6: return 50.0f;
    case 7: return float_from_bits(0x426FC29E);  // 59.94
    default: return 60.0f;  // 8, and the reserved codes 9 to 15
  }
}

const GopTimeCode &gop_time_code() { return scan.gop; }
float caption_clock_frame_rate() { return scan.clock_frame_rate; }

int64_t frame_period_ticks(int frame_rate_code) {
  // 27 MHz / rate, exact for every rate of ISO/IEC 13818-2 table 6-4 (1001 = NTSC).
  static const int64_t kPeriods[16] = {0,      1126125, 1125000, 1080000, 900900, 900000, 540000, 450450,
                                       450000, 450000,  450000,  450000,  450000, 450000, 450000, 450000};
  return kPeriods[frame_rate_code & 15];
}
int64_t frame_period_ticks() { return scan.frame_period; }

// Frames a second as a time code of this frame rate counts them; the NTSC rates count as
// their whole neighbours (SMPTE 12M).
static int time_code_rate_for_code(int frame_rate_code) {
  static const int kRates[16] = {0, 24, 24, 25, 30, 30, 50, 60, 60, 60, 60, 60, 60, 60, 60, 60};
  return kRates[frame_rate_code & 15];
}

int64_t time_code_frame_number(const GopTimeCode &time_code, int n) {
  int64_t minutes = int64_t{time_code.hours} * 60 + time_code.minutes;
  int64_t frames = (minutes * 60 + time_code.seconds) * n + time_code.pictures;
  // Drop-frame codes skip the first n/15 labels of every minute but each tenth (SMPTE 12M).
  if (time_code.drop_flag && (n == 30 || n == 60)) frames -= n / 15 * (minutes - minutes / 10);
  return frames;
}

int64_t group_start_ticks() { return scan.group_start; }

void note_caption_block(int entries) {
  if (scan.block_frames < 0) scan.block_frames = entries / 2;
}

void note_group_frames(int64_t frames) {
  if (scan.block_frames < 0 && frames > 0) scan.block_frames = static_cast<int>(frames < 100000 ? frames : 100000);
}

// A time code that went back, stood still or leapt more than ten seconds (a join, a
// restart, an encoder that writes one time code throughout) says nothing of the time
// between two groups: the previous group's captions then tell how many frames it held,
// else the last step of the time codes stands in.
static void place_group_on_timeline() {
  if (scan.group_seen) {
    int n = scan.time_code_rate;
    int64_t step = time_code_frame_number(scan.gop, n) - time_code_frame_number(scan.previous_group, n);
    if (step > 0 && step <= 10 * int64_t{n}) {
      scan.time_code_step = step;
    } else {
      step = scan.block_frames >= 1 ? scan.block_frames : scan.time_code_step;
    }
    scan.group_start += step * scan.frame_period;
  }
  scan.group_seen = true;
  scan.previous_group = scan.gop;
  scan.block_frames = -1;
}

void skip_marker_bit() { read_bits(1); }

// Offset of the start code just read, in bytes of video data since the reader's reset.
static int64_t header_position() { return (reader.bits_consumed >> 3) - 4; }

void scan_video_headers() {
  for (;;) {
    // Pictures are passed over in the search once the captions are known to be DVD ones.
    uint32_t code = read_start_code(caption_pictures_wanted() ? kScannerCodesWithPictures.codes : kScannerCodes.codes);
    if (interrupt_requested()) finish_interrupted_run();
    // Only a sequence end code can lie in the padding after the end of the input.
    if (code == start_code(kSequenceEndCode) && reader_past_end(header_position(), code)) {
      flush_caption_pictures();
      return;
    }
    if (code == start_code(kSequenceHeaderCode)) {
      sequence_header();
    } else if (code == start_code(kGroupOfPicturesCode)) {
      group_of_pictures_header();
    } else if (code == start_code(kPictureCode)) {
      picture_header();
    }
  }
}

template <size_t N>
static char *put_field(char *out, const char (&label)[N], int value) {
  out = put_decimal(put_text(out, label), value);
  *out++ = '\n';
  return out;
}

// The field lines of the header just read.
static size_t put_sequence_fields(char *out) {
  char *start = out;
  out = put_field(out, "  horizontal_size=", scan.horizontal_size);
  out = put_field(out, "  vertical_size=", scan.vertical_size);
  out = put_field(out, "  aspect_ratio_information=", scan.aspect_ratio_information);
  // This line has no line end: the bit rate follows on the same console line.
  out = put_decimal(put_text(out, "  frame_rate_code="), scan.frame_rate_code);
  out = put_field(out, "  bit_rate_value=", scan.bit_rate_value);
  out = put_field(out, "  vbv_buffer_size=", scan.vbv_buffer_size);
  out = put_field(out, "  constrained_parameters_flag=", scan.constrained_parameters_flag);
  out = put_field(out, "  load_intra_quantizer_matrix=", scan.load_intra_quantizer_matrix);
  out = put_field(out, "  load_non_intra_quantizer_matrix=", scan.load_non_intra_quantizer_matrix);
  return static_cast<size_t>(out - start);
}

void sequence_header() {
  // The pictures so far are timed at the frame rate they were sent with.
  flush_caption_pictures();
  int64_t position = header_position();
  // Without quantiser matrices the header is eight bytes, most often whole in the buffer.
  const uint8_t *bytes = stream_bytes(8);
  uint64_t header = 0;
  if (bytes != nullptr) {
    for (int i = 0; i < 8; i++) header = header << 8 | bytes[i];
    if ((header & 3) != 0) bytes = nullptr;
  }
  if (bytes != nullptr) {
    scan.horizontal_size = static_cast<int>(header >> 52);
    scan.vertical_size = static_cast<int>(header >> 40 & 0xFFF);
    scan.aspect_ratio_information = static_cast<int>(header >> 36 & 0xF);
    scan.frame_rate_code = static_cast<int>(header >> 32 & 0xF);
    scan.bit_rate_value = static_cast<int>(header >> 14 & 0x3FFFF);
    scan.vbv_buffer_size = static_cast<int>(header >> 3 & 0x3FF);  // after the marker bit
    scan.constrained_parameters_flag = static_cast<int>(header >> 2 & 1);
    scan.load_intra_quantizer_matrix = scan.load_non_intra_quantizer_matrix = 0;
    skip_bytes(8);
  } else {
    scan.horizontal_size = static_cast<int>(read_bits(12));
    scan.vertical_size = static_cast<int>(read_bits(12));
    scan.aspect_ratio_information = static_cast<int>(read_bits(4));
    scan.frame_rate_code = static_cast<int>(read_bits(4));
    scan.bit_rate_value = static_cast<int>(read_bits(18));
    skip_marker_bit();
    scan.vbv_buffer_size = static_cast<int>(read_bits(10));
    scan.constrained_parameters_flag = static_cast<int>(read_bits(1));
    scan.load_intra_quantizer_matrix = static_cast<int>(read_bits(1));
    if (scan.load_intra_quantizer_matrix)
      for (int i = 0; i < 64; i++) read_bits(8);
    scan.load_non_intra_quantizer_matrix = static_cast<int>(read_bits(1));
    if (scan.load_non_intra_quantizer_matrix)
      for (int i = 0; i < 64; i++) read_bits(8);
  }

  scan.clock_frame_rate = frame_rate_for_code(scan.frame_rate_code);
  scan.time_code_rate = time_code_rate_for_code(scan.frame_rate_code);
  scan.frame_period = frame_period_ticks(scan.frame_rate_code);

  if (verbosity_level > 1) {
    char *out = put_text(console_line(), "sequence header (byte ");
    out = put_decimal(out, position);
    console_end_line(put_text(out, ")\n"));
  }
  if (verbosity_level > 2) {
    if (bytes == nullptr) {
      console_end_line(console_line() + put_sequence_fields(console_line()));
    } else {
      if (!scan.traced_header_known || scan.traced_header != header) {
        scan.traced_length = put_sequence_fields(scan.traced_fields);
        scan.traced_header = header;
        scan.traced_header_known = true;
      }
      console_text(scan.traced_fields, scan.traced_length);
      if (console.line_flush) console_flush();
    }
  }
  scan_after_header();
}

void group_of_pictures_header() {
  // The previous group's pictures, timed from its start and with its time code.
  flush_caption_pictures();
  note_group_frames(end_caption_group() / 2);
  int64_t position = header_position();
  GopTimeCode &gop = scan.gop;
  // 27 bits; the rest of their fourth byte is passed as the next start code is looked for.
  const uint8_t *bytes = stream_bytes(4);
  uint32_t header;
  if (bytes != nullptr) {
    header = load_be32(bytes);
    skip_bytes(4);
  } else {
    header = read_bits(24) << 8;
    header |= read_bits(3) << 5;
  }
  gop.drop_flag = static_cast<int>(header >> 31);
  gop.hours = static_cast<int>(header >> 26 & 0x1F);
  gop.minutes = static_cast<int>(header >> 20 & 0x3F);
  gop.seconds = static_cast<int>(header >> 13 & 0x3F);  // after the marker bit
  gop.pictures = static_cast<int>(header >> 7 & 0x3F);
  gop.closed_gop = static_cast<int>(header >> 6 & 1);
  gop.broken_link = static_cast<int>(header >> 5 & 1);
  place_group_on_timeline();

  // One dot per new multiple of five minutes of time code.
  if (gop.minutes != scan.previous_minutes && gop.minutes % 5 == 0) console_text(".");
  scan.previous_minutes = gop.minutes;

  if (verbosity_level > 1) {
    char *out = put_text(console_line(), "group of pictures (byte ");
    out = put_decimal(out, position);
    console_end_line(put_text(out, ")\n"));
  }
  if (verbosity_level > 2) {
    char *out = put_field(console_line(), "  drop_flag=", gop.drop_flag);
    out = put_decimal(put_text(out, "  timecode "), gop.hours);
    *out++ = ':';
    out = put_decimal(out, gop.minutes, 2);
    *out++ = ':';
    out = put_decimal(out, gop.seconds, 2);
    *out++ = ':';
    out = put_decimal(out, gop.pictures, 2);
    *out++ = '\n';
    out = put_field(out, "  closed_gop=", gop.closed_gop);
    console_end_line(put_field(out, "  broken_link=", gop.broken_link));
  }
  scan_after_header();
}

void scan_after_header() {
  align_to_start_code();
  for (;;) {
    uint32_t code = peek_bits(32);
    if (code == start_code(kExtensionCode)) {
      skip_bits32();
      // The sequence extension (identifier 1) says whether pictures are frames or fields.
      if (peek_bits(4) == 1) scan.progressive_sequence = static_cast<int>(peek_bits(13) & 1);
      align_to_start_code();
    } else if (code == start_code(kUserDataCode)) {
      if (verbosity_level > 1) console_text("user data\n");
      skip_bits32();
      cc_user_data();
    } else {
      return;
    }
  }
}

// How many fields a picture is shown for (ISO/IEC 13818-2, 6.3.10): a field picture one, a
// frame two, or three with repeat_first_field; in a progressive sequence the repeat makes
// two frames, or three with top_field_first.
// `flags` are the extension's 13 bits from intra_dc_precision to progressive_frame.
static int picture_fields(uint32_t flags) {
  int picture_structure = static_cast<int>(flags >> 9 & 3);
  int top_field_first = static_cast<int>(flags >> 8 & 1);
  int repeat_first_field = static_cast<int>(flags >> 2 & 1);
  if (picture_structure != 3) return 1;
  if (!scan.progressive_sequence) return 2 + repeat_first_field;
  return repeat_first_field ? (top_field_first ? 6 : 4) : 2;
}

void picture_header() {
  // The byte-wise search meets every picture; DVD captions need none.
  if (!caption_pictures_wanted()) return;
  int temporal_reference = static_cast<int>(read_bits(10));
  start_caption_picture(temporal_reference);
  align_to_start_code();
  for (;;) {
    uint32_t code = peek_bits(32);
    if (code == start_code(kExtensionCode)) {
      skip_bits32();
      // The picture coding extension (identifier 8): the identifier and 16 bits of f_codes,
      // then the flags.
      if (peek_bits(4) == 8) {
        skip_bits(20);
        set_caption_picture_fields(picture_fields(read_bits(13)));
      }
      align_to_start_code();
    } else if (code == start_code(kUserDataCode)) {
      skip_bits32();
      atsc_user_data();
    } else {
      return;
    }
  }
}
