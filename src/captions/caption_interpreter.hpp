// Caption command interpreter: applies one EIA-608 byte pair (caption channel 1) to the
// caption memory and, when the display changed, has both writers write it out.
#pragma once

#include <cstdint>

// bytes 1 and 2 have passed the parity test and have bit 7 cleared; time is the moment the
// files give the pair, in ticks of the 27 MHz system clock (milliseconds only when written).
void Decode_pair(int64_t time, unsigned byte1, unsigned byte2);

// The remembered last pair (for dropping repeated control codes) back to 0, 0.
void reset_caption_interpreter();
