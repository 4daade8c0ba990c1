// Caption command interpreter: applies one EIA-608 byte pair of the chosen caption channel
// to the caption memory and, when the display changed, has both writers write it out.
#pragma once

#include <cstdint>

// bytes 1 and 2 have passed the parity test and have bit 7 cleared; time is the moment the
// files give the pair, in ticks of the 27 MHz system clock (milliseconds only when written).
// The pair belongs to the field of the chosen channel; pairs of the field's other channel
// are passed over.
void Decode_pair(int64_t time, unsigned byte1, unsigned byte2);

// The caption field of the chosen channel: 0 for CC1 and CC2, 1 for CC3 and CC4.
int decoded_field();
// A pair of the field that is not decoded, counted for the run's report (bytes as for
// Decode_pair).
void count_other_field_pair(unsigned byte1, unsigned byte2);
// The pairs of each channel, CC1 to CC4, seen so far; fillers and extended data service
// packets are no channel's.
const uint64_t *channel_pair_counts();

// The remembered last pair (for dropping repeated control codes) back to 0, 0, and the
// channels of both fields and their counts back to the start.
void reset_caption_interpreter();
