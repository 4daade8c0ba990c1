// SRT writer: one numbered SubRip entry per displayed caption, written when the display
// next changes (so each entry knows its end time), the last one at close.
#pragma once

#include <cstdint>

struct CaptionBuffer;
struct OutputFile;

// Opens the file without changing it (a run that cannot open the SAMI file as well leaves
// both as they were). False, after its message on stdout, when it cannot.
bool srt_open(const char *file_name);
const OutputFile &srt_output();
// An open file that was never started is closed; the earlier file stays as it was.
void srt_abandon();
// The old content goes; entries follow.
void srt_start();
// Called by Decode_pair after every byte pair that changed the display, once the SAMI
// writer has written the same moment: writes the entry of the caption shown until now
// (when it showed text), ending at this time, and remembers the display as the next
// entry, starting at this time. The first call only remembers.
void srt_write_entry(int64_t time_ms);
// The same with the caption that is shown from now on given, not read from the memory.
void srt_write_entry(int64_t time_ms, const CaptionBuffer &shown, int shown_has_content);
// Writes the pending entry, ending at the time of the latest byte pair, and syncs the file;
// the earlier file is still in place.
void srt_finish();
// Finishes the file if that is not done, closes it and puts it in the earlier file's place.
// False (after "Error writing ..." on stderr) when any write to the file failed; the
// earlier file then stays.
bool srt_close();

// The time of each byte pair that reaches the decoder, in 27 MHz ticks; the last entry ends
// there.
void srt_note_pair_time(int64_t time);
// No file, counter 0, times 0, nothing remembered.
void srt_reset();

// What the file holds so far: its entries and the span of time they cover.
struct SrtSummary {
  uint64_t entries;
  int64_t first_start_ms, last_end_ms;
  int64_t last_pair_ms;  // how far the captions have come
};
SrtSummary srt_summary();
// A time as the entries write it (hh:mm:ss,mmm); out needs room for 24 characters.
char *srt_put_time(char *out, int64_t ms);
