// SAMI writer: a fixed header, then a synchronisation line and a paragraph at every change
// of the displayed caption, then a fixed trailer.
#pragma once

void sami_open(const char *file_name);
void sami_write_sync(int hours, int minutes, int seconds, int frames, float frame_rate);
void sami_write_caption();
// Writes the trailer and closes the file; nothing when no file is open. False (after
// "Error writing ..." on stderr) when any write to the file failed.
bool sami_close();

void sami_reset();
