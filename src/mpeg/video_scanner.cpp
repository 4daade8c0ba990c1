// Video header scanner (ISO/IEC 13818-2, 6.2.2): sequence and group-of-pictures headers,
// extensions and user data after them. Pictures are never decoded.
#include "mpeg/video_scanner.hpp"

#include <cstring>

#include "app/console.hpp"
#include "app/platform.hpp"
#include "app/run_driver.hpp"
#include "captions/caption_user_data.hpp"
#include "mpeg/bit_reader.hpp"

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
  float clock_frame_rate;   // read by the caption clock
  float output_frame_rate;  // passed to the writers; always equal to the clock's copy
  int previous_minutes;     // of the last group of pictures, for the progress dots
} scan;

void reset_video_scanner() { memset(&scan, 0, sizeof scan); }

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
float output_frame_rate() { return scan.output_frame_rate; }
void set_frame_rate(float frames_per_second) { scan.output_frame_rate = frames_per_second; }

void skip_marker_bit() { read_bits(1); }

template <size_t N>
static void trace_field(const char (&label)[N], int value) {
  char *out = put_text(console_line(), label);
  out = put_decimal(out, value);
  *out++ = '\n';
  console_end_line(out);
}

// Offset of the start code just read, in bytes of video data since the reader's reset.
static int64_t header_position() { return (reader.bits_consumed >> 3) - 4; }

// The start codes the loop acts on; every other one (pictures, slices, ...) is passed
// over by the reader's search.
static const struct ActedOn {
  bool codes[256] = {};
  ActedOn() { codes[0xB3] = codes[0xB7] = codes[0xB8] = true; }
} acted_on;

void scan_video_headers() {
  for (;;) {
    uint32_t code = read_start_code(acted_on.codes);
    if (interrupt_requested()) finish_interrupted_run();
    // Only a sequence end code can lie in the padding after the end of the input.
    if (code == 0x000001B7 && reader_past_end(header_position(), code)) return;
    if (code == 0x000001B3) {
      sequence_header();
    } else if (code == 0x000001B8) {
      group_of_pictures_header();
    }
  }
}

void sequence_header() {
  int64_t position = header_position();
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

  float rate = frame_rate_for_code(scan.frame_rate_code);
  scan.clock_frame_rate = rate;
  set_frame_rate(rate);

  if (verbosity_level > 1) {
    char *out = put_text(console_line(), "sequence header (byte ");
    out = put_decimal(out, position);
    console_end_line(put_text(out, ")\n"));
  }
  if (verbosity_level > 2) {
    trace_field("  horizontal_size=", scan.horizontal_size);
    trace_field("  vertical_size=", scan.vertical_size);
    trace_field("  aspect_ratio_information=", scan.aspect_ratio_information);
    // This line has no line end: the bit rate follows on the same console line.
    console_text("  frame_rate_code=");
    console_decimal(scan.frame_rate_code);
    trace_field("  bit_rate_value=", scan.bit_rate_value);
    trace_field("  vbv_buffer_size=", scan.vbv_buffer_size);
    trace_field("  constrained_parameters_flag=", scan.constrained_parameters_flag);
    trace_field("  load_intra_quantizer_matrix=", scan.load_intra_quantizer_matrix);
    trace_field("  load_non_intra_quantizer_matrix=", scan.load_non_intra_quantizer_matrix);
  }
  scan_after_header();
}

void group_of_pictures_header() {
  int64_t position = header_position();
  GopTimeCode &gop = scan.gop;
  gop.drop_flag = static_cast<int>(read_bits(1));
  gop.hours = static_cast<int>(read_bits(5));
  gop.minutes = static_cast<int>(read_bits(6));
  skip_marker_bit();
  gop.seconds = static_cast<int>(read_bits(6));
  gop.pictures = static_cast<int>(read_bits(6));
  gop.closed_gop = static_cast<int>(read_bits(1));
  gop.broken_link = static_cast<int>(read_bits(1));

  // One dot per new multiple of five minutes of time code.
  if (gop.minutes != scan.previous_minutes && gop.minutes % 5 == 0) console_text(".");
  scan.previous_minutes = gop.minutes;

  if (verbosity_level > 1) {
    char *out = put_text(console_line(), "group of pictures (byte ");
    out = put_decimal(out, position);
    console_end_line(put_text(out, ")\n"));
  }
  if (verbosity_level > 2) {
    trace_field("  drop_flag=", gop.drop_flag);
    char *out = put_text(console_line(), "  timecode ");
    out = put_decimal(out, gop.hours);
    *out++ = ':';
    out = put_decimal(out, gop.minutes, 2);
    *out++ = ':';
    out = put_decimal(out, gop.seconds, 2);
    *out++ = ':';
    out = put_decimal(out, gop.pictures, 2);
    *out++ = '\n';
    console_end_line(out);
    trace_field("  closed_gop=", gop.closed_gop);
    trace_field("  broken_link=", gop.broken_link);
  }
  scan_after_header();
}

void scan_after_header() {
  align_to_start_code();
  for (;;) {
    uint32_t code = peek_bits(32);
    if (code == 0x000001B5) {
      skip_bits32();
      align_to_start_code();
    } else if (code == 0x000001B2) {
      if (verbosity_level > 1) console_text("user data\n");
      skip_bits32();
      cc_user_data();
    } else {
      return;
    }
  }
}
