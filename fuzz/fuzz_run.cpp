// libFuzzer target for a whole run: the input bytes become the input file, and the run
// goes from the command line to the finished output files. The process-ending calls come
// back here through the exit hook.
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/run_driver.hpp"

static jmp_buf run_ended;

static void back_to_harness(int status) { longjmp(run_ended, status + 1); }

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The trace is not what is being tested; keep the console quiet.
  if (!freopen("/dev/null", "w", stdout)) abort();
  set_exit_hook(back_to_harness);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/zorbel-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) abort();
    dir = pattern;
  }
  std::string input = dir + "/input.mpg";
  FILE *file = fopen(input.c_str(), "wb");
  if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();

  std::string output_option = "/d" + dir + "/";
  char program[] = "zorbel";
  char *argv[] = {program, &input[0], &output_option[0], nullptr};
  int ended = setjmp(run_ended);
  if (ended == 0) zorbel_main(3, argv);
  int status = ended - 1;
  // Every run ends through the exit hook, with 0 or 1.
  if (status != 0 && status != 1) abort();
  return 0;
}
