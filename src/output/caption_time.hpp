// Caption time: the hours, minutes, seconds and frames of a byte pair, and the one rule by
// which both writers turn it into milliseconds.
#pragma once

#include <cstdint>

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
