// Video header scanner: the start-code loop over the video elementary stream. Reads the
// sequence header (frame rate) and the group-of-pictures header (time code), and hands
// the user data that follows either of them to the caption parser.
#pragma once

struct GopTimeCode {
  int drop_flag;
  int hours;
  int minutes;
  int seconds;
  int pictures;
  int closed_gop;
  int broken_link;
};

// Start-code loop; returns at the first start code read from the padding after the end of
// the input.
void scan_video_headers();
void sequence_header();
void group_of_pictures_header();
void scan_after_header();
void skip_marker_bit();
void set_frame_rate(float frames_per_second);

float frame_rate_for_code(int frame_rate_code);
const GopTimeCode &gop_time_code();
float caption_clock_frame_rate();
float output_frame_rate();

void reset_video_scanner();
