// SAMI writer: a fixed header, then a synchronisation line and a paragraph at every change
// of the displayed caption, then a fixed trailer.
#pragma once

#include <cstdint>

struct CaptionBuffer;
struct OutputFile;

// Opens the file without changing it. False, after its message on stdout, when it cannot.
bool sami_open(const char *file_name);
const OutputFile &sami_output();
// An open file that was never started is closed; the earlier file stays as it was.
void sami_abandon();
// The old content goes and the header is written.
void sami_start();
// "<SYNC START=...>" with the milliseconds of the change.
void sami_write_sync(int64_t time_ms);
// The paragraph of the caption displayed now, or of `shown`.
void sami_write_caption();
void sami_write_caption(const CaptionBuffer &shown);
// Writes the trailer and syncs the file; the earlier file is still in place.
void sami_finish();
// Finishes the file if that is not done, closes it and puts it in the earlier file's place;
// nothing when no file is open. False (after "Error writing ..." on stderr) when any write
// to the file failed; the earlier file then stays.
bool sami_close();

void sami_reset();
