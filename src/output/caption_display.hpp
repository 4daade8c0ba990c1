// Caption display: each change of the displayed caption, passed on to both writers, or with
// --whole-lines first merged with the changes that only add characters to the rows shown, so
// that roll-up and paint-on text is written a line at a time.
#pragma once

#include <cstdint>

// --whole-lines: a display that only adds characters to rows that already showed text is
// merged into the display before it, and a display equal to the one before is not written.
extern bool whole_lines;

// The displayed caption changed at time_ms: both writers are told (now, or with whole lines
// once the display is known to be whole).
void display_changed(int64_t time_ms);
// Writes a display still held back for merging; the writers' own finishing follows.
void display_finish();
void reset_caption_display();
