// Run driver: command line, output names, stream-kind detection, and the ways a run ends.
#pragma once

// Gates the console trace; 4 for the whole run, so every trace is printed.
extern int verbosity_level;
// 1 once the input is known to be a program stream; the bit reader then takes its
// bytes through the demultiplexer.
extern int program_stream_flag;
// --timecode: caption times are the group-of-pictures time code's labels (as the trace
// shows them), not the moments the pictures are shown.
extern bool clock_from_timecode;

// The whole run. Does not return: every way out ends the process.
[[noreturn]] void zorbel_main(int argc, char **argv);

// Ends the process before the outputs exist: the message goes to stderr as it is.
[[noreturn]] void fatal_exit(const char *message);
// Finishes the SAMI file, then the SRT file, and ends the process. A failed write to
// either file turns the status into 1.
[[noreturn]] void finish_and_exit(int status);
// Finishes both files like any other end (none when the outputs are not open yet), says
// "Interrupted" on stderr and ends the process the way the signal would have. The reader
// calls it at its next block once an interrupt is pending, the scan at its next start code.
[[noreturn]] void finish_interrupted_run();
// A read of the input failed (not its end): reported, outputs finished, status 1.
[[noreturn]] void input_read_error();

// The only place where the process ends; flushes the console first.
[[noreturn]] void leave_process(int status);
// In-process harnesses (tests, fuzzing) get the exit status here instead of the process
// ending; the hook must not return (it jumps back into the harness).
void set_exit_hook(void (*hook)(int status));
// Everything a run starts from (input closed, stream kind and outputs forgotten, decoder
// state cleared), so that an in-process harness can run again or test a component alone.
void reset_run_state();

// Output names derived from the command line, exposed for tests.
struct OutputNames {
  bool ok;  // false: the input name has no extension
  const char *base_name;
  const char *output_path;
  const char *srt_name;
  const char *sami_name;
};
OutputNames derive_output_names(const char *input_name, const char *output_dir);
