// Caption time: the moment of a byte pair, in ticks of the 27 MHz system clock as the video
// timeline counts it; and the hours, minutes, seconds and frames of a time code's labels,
// with the rule by which --timecode turns them into the milliseconds of the files.
#pragma once

#include <cstdint>

constexpr int64_t kTicksPerMillisecond = 27000;

struct CaptionTime {
  int hours;
  int minutes;
  int seconds;
  int frames;
};

// Milliseconds of a frame count: k = 1000 / rate as a 32-bit float, frames * k in
// double, truncated; 0 while the rate is 0.
int64_t frames_to_milliseconds(int frames, float frame_rate);
// hours, minutes, seconds and the milliseconds of frames, in 64 bits.
int64_t caption_time_milliseconds(const CaptionTime &time, float frame_rate);
