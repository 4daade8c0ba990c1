// Caption command interpreter: applies one EIA-608 byte pair (caption channel 1) to the
// caption memory and, when the display changed, has both writers write it out.
#pragma once

#include <cstdint>

// bytes 1 and 2 have passed the parity test and have bit 7 cleared; time_ms is the moment
// the files give the pair.
void Decode_pair(int64_t time_ms, unsigned byte1, unsigned byte2);

// The remembered last pair (for dropping repeated control codes) back to 0, 0.
void reset_caption_interpreter();
