// Run driver: command line, output names, stream-kind detection, and the ways a run ends.
#pragma once

#include "base/run_state.hpp"

// The whole run. Does not return: every way out ends the process.
[[noreturn]] void zorbel_main(int argc, char **argv);

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
