// Video header scanner: the start-code loop over the video elementary stream. Reads the
// sequence header (frame rate) and the group-of-pictures header (time code), and hands
// the user data that follows either of them to the caption parser.
#pragma once

#include <cstdint>

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
// A picture header, its coding extension and the ATSC caption data after it.
void picture_header();

float frame_rate_for_code(int frame_rate_code);
const GopTimeCode &gop_time_code();
float caption_clock_frame_rate();

// The video's own timeline, in ticks of the 27 MHz system clock from the first group of
// pictures: caption times follow the pictures shown, not the time code's labels.
// The exact frame period of the sequence header in force; 0 without a frame rate.
int64_t frame_period_ticks(int frame_rate_code);
int64_t frame_period_ticks();
// Frames counted by a time code with n frames a second (drop-frame codes drop theirs).
int64_t time_code_frame_number(const GopTimeCode &time_code, int n);
// Where the latest group of pictures starts (0 before the first one).
int64_t group_start_ticks();
// The caption parser reports each "CC" block with a valid header: the first one of a
// group tells how many frames the group covers when its time code cannot.
void note_caption_block(int entries);
// The same for ATSC caption data: the frames the group's pictures are shown for.
void note_group_frames(int64_t frames);

void reset_video_scanner();
