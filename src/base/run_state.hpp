// What the whole run shares: the settings every component reads, and the ways in which the
// process ends from inside a component. The driver (app/run_driver.cpp) defines the ends,
// since only it knows the files to finish; components below it call them from here.
#pragma once

#include <cstdint>

// Gates the console trace; 4 for the whole run, so every trace is printed.
extern int verbosity_level;
// 1 once the input is known to be a program stream; the bit reader then takes its bytes
// through the demultiplexer.
extern int program_stream_flag;
// --timecode: caption times are the group-of-pictures time code's labels (as the trace
// shows them), not the moments the pictures are shown.
extern bool clock_from_timecode;
// --utf8: caption text in the files is UTF-8 instead of code page 1252.
extern bool utf8_output;
// --channel: the caption channel decoded, 1 to 4 (CC1, CC2 in field 1; CC3, CC4 in field 2).
extern int caption_channel;

// Finishes the SAMI file, then the SRT file, and ends the process. A failed write to
// either file turns the status into 1.
[[noreturn]] void finish_and_exit(int status);
// Finishes both files like any other end (none when the outputs are not open yet), says
// "Interrupted" on stderr and ends the process the way the signal would have. The reader
// calls it at its next block once an interrupt is pending, the scan at its next start code.
[[noreturn]] void finish_interrupted_run();
// A read of the input failed (not its end): reported with the system's reason (error, or 0
// for a file cut short while it was read), outputs finished, status 1.
[[noreturn]] void input_read_error(int error);

// The progress line: while it is wanted, the reader tells the driver how far it has read.
extern bool progress_wanted;
void show_progress(int64_t bytes_read, int64_t size);
