// Caption user data: the "CC" user-data layout after sequence and group-of-pictures
// headers (DVD), or ATSC A/53 caption data after picture headers, turned into
// parity-checked, timed EIA-608 byte pairs of one caption field. A run reads the layout
// it meets first.
#pragma once

#include <cstdint>

// Called with the user_data start code consumed; returns standing before the next
// start code, which is left unconsumed.
void cc_user_data();
// One frame forward at the caption clock's frame rate.
void advance_caption_clock(int &hours, int &minutes, int &seconds, int &frames);

// ATSC caption data: pictures come in decode order, and their pairs are held until the
// group's pictures can be put in display order (by temporal_reference) and timed.
// Whether pictures are still of interest: false once the run reads DVD captions.
bool caption_pictures_wanted();
void start_caption_picture(int temporal_reference);
// Fields the picture is shown for (2 unless its coding extension says otherwise).
void set_caption_picture_fields(int fields);
// Called with the user_data start code after a picture consumed; returns standing before
// the next start code.
void atsc_user_data();
// The pictures held so far, decoded in display order from the group's start.
void flush_caption_pictures();
// At a new group: the fields the previous group's pictures were shown for, counting
// starts again.
int64_t end_caption_group();

void reset_caption_user_data();
