// Caption time.
#include "captions/caption_time.hpp"

int64_t frames_to_milliseconds(int frames, float frame_rate) {
  if (frame_rate == 0.0f) return 0;
  float k = 1000.0f / frame_rate;
  return static_cast<int64_t>(static_cast<double>(frames) * static_cast<double>(k));
}

int64_t caption_time_milliseconds(const CaptionTime &time, float frame_rate) {
  return int64_t{time.hours} * 3600000 + int64_t{time.minutes} * 60000 + int64_t{time.seconds} * 1000 +
         frames_to_milliseconds(time.frames, frame_rate);
}
