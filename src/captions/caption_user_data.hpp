// Caption user data: the "CC" user-data layout after sequence and group-of-pictures
// headers, turned into parity-checked, timed EIA-608 byte pairs of one caption field.
#pragma once

// Called with the user_data start code consumed; returns standing before the next
// start code, which is left unconsumed.
void cc_user_data();
// One frame forward at the caption clock's frame rate.
void advance_caption_clock(int &hours, int &minutes, int &seconds, int &frames);

void reset_caption_user_data();
