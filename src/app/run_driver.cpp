// Run driver: priority, banner, command line, output names, stream-kind detection, the
// start of the run and the ways it ends.
#include "app/run_driver.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/console.hpp"
#include "base/platform.hpp"
#include "captions/caption_interpreter.hpp"
#include "captions/caption_memory.hpp"
#include "captions/caption_user_data.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/program_stream.hpp"
#include "mpeg/start_codes.hpp"
#include "mpeg/video_scanner.hpp"
#include "output/output_file.hpp"
#include "output/sami_writer.hpp"
#include "output/srt_writer.hpp"


static struct {
  const char *input_name;  // the argument itself
  // Names are as long as the command line makes them.
  std::string base_name;
  std::string output_path;
  std::string srt_name;
  std::string sami_name;
} driver;

static void (*exit_hook)(int status) = nullptr;

void set_exit_hook(void (*hook)(int status)) { exit_hook = hook; }

// The trace written out; a part of it that could not be written turns the status into 1.
static int finish_console(int status) {
  if (console_flush()) return status;
  console_error("Error writing standard output\n");
  return 1;
}

void leave_process(int status) {
  status = finish_console(status);
  // An interrupt ends the process as its signal would, so that shells and scripts (a loop
  // over many files) see it, even one that came after the last byte of the input.
  if (interrupt_requested()) {
    console_error("Interrupted\n");
    if (!exit_hook) raise_interrupt();
    status = 1;
  }
  if (exit_hook) exit_hook(status);
  exit(status);
}

void fatal_exit(const char *message) {
  console_error("%s", message);
  leave_process(1);
}

// Both files are written out and synced before either takes its earlier file's place, so a
// crash in between leaves each name with a whole file.
void finish_and_exit(int status) {
  sami_finish();
  srt_finish();
  bool sami_ok = sami_close();
  bool srt_ok = srt_close();
  leave_process(sami_ok && srt_ok ? status : 1);
}

void finish_interrupted_run() { finish_and_exit(1); }

void input_read_error() {
  console_error("Error reading %s\n", driver.input_name ? driver.input_name : "");
  finish_and_exit(1);
}

[[noreturn]] static void refuse_unrewindable_input() {
  console_error("Cannot rewind %s: the input must be a regular file\n", driver.input_name);
  leave_process(1);
}

static bool is_separator(char c) { return c == '\\' || c == ':' || c == '/'; }

OutputNames derive_output_names(const char *input_name, const char *output_dir) {
  OutputNames names{};
  long length = static_cast<long>(strlen(input_name));
  long dot = length - 1;
  while (dot > 0 && input_name[dot] != '.') dot--;
  if (dot <= 0) return names;  // no "." after the first character

  long start = dot - 1;
  while (start > 0 && !is_separator(input_name[start])) start--;
  start = start > 0 ? start + 1 : 0;

  driver.base_name.assign(input_name + start, static_cast<size_t>(dot > start ? dot - start : 0));
  driver.output_path.assign(input_name, static_cast<size_t>(start));
  if (output_dir) {
    driver.output_path = output_dir;
    // An empty directory ("/d" alone) is the current directory.
    if (!driver.output_path.empty() && driver.output_path.back() != kPathSeparator) driver.output_path += kPathSeparator;
  }
  driver.srt_name = driver.output_path + driver.base_name + ".srt";
  driver.sami_name = driver.output_path + driver.base_name + ".smi";
  names.ok = true;
  names.base_name = driver.base_name.c_str();
  names.output_path = driver.output_path.c_str();
  names.srt_name = driver.srt_name.c_str();
  names.sami_name = driver.sami_name.c_str();
  return names;
}

static bool is_directory_option(const char *argument) {
  return argument[0] == '/' && argument[1] == 'd' && !slash_d_argument_is_a_path(argument);
}

// Neither output is changed until both are open and known to be two files: a run that
// cannot write one of them leaves the earlier outputs as they were, and one that did not
// exist is not left behind.
static void open_outputs(const OutputNames &names) {
  if (!srt_open(names.srt_name)) leave_process(1);
  if (!sami_open(names.sami_name)) {
    srt_abandon();
    leave_process(1);
  }
  if (output_same_file(srt_output(), sami_output())) {
    console_error("Outputs %s and %s are one file\n", names.srt_name, names.sami_name);
    sami_abandon();
    srt_abandon();
    leave_process(1);
  }
  srt_start();
  sami_start();
}

// The first start code of the raw file tells the stream kind.
static void detect_stream_kind() {
  reset_reader();
  if (peek_bits(8) == 0x47) fatal_exit("Decoder currently does not parse transport streams\n");
  align_to_start_code();
  uint32_t code = peek_bits(32);
  if (code == start_code(kPackCode) || code == start_code(kVideoStreamCode)) {
    program_stream_flag = 1;
  } else if (code != start_code(kSequenceHeaderCode)) {
    fatal_exit("Unable to recognize stream type\n");
  }
}

void reset_run_state() {
  if (reader.file) fclose(reader.file);
  reader.file = nullptr;
  program_stream_flag = 0;
  clock_from_timecode = false;
  reset_video_scanner();
  reset_caption_user_data();
  reset_caption_interpreter();
}

// Options start with "-" and may stand anywhere before "--"; "-" alone and everything after
// "--" are names. The names are moved to argv[1] onwards, in their order; gives their count.
static int take_options(int argc, char **argv) {
  int names = 0;
  bool options_ended = false;
  for (int i = 1; i < argc; i++) {
    const char *argument = argv[i];
    if (options_ended || argument[0] != '-' || argument[1] == '\0') {
      argv[++names] = argv[i];
    } else if (strcmp(argument, "--") == 0) {
      options_ended = true;
    } else if (strcmp(argument, "--timecode") == 0) {
      clock_from_timecode = true;
    } else {
      console_error("zorbel: unknown option %s\n", argument);
      leave_process(1);
    }
  }
  return names;
}

void zorbel_main(int argc, char **argv) {
  guard_standard_descriptors();
  reset_run_state();
  install_interrupt_handlers();
  console_reset();
  console_puts(request_idle_priority() ? "Priority set to IDLE_PRIORITY_CLASS\n" : "Failed to change process priority\n");
  console_printf("ZORBEL: v%d.%d debug build\n", ZORBEL_VERSION_MAJOR, ZORBEL_VERSION_MINOR);
  verbosity_level = 4;

  int arguments = take_options(argc, argv);
  driver.input_name = arguments > 0 ? argv[1] : nullptr;
  if (arguments < 1 || arguments > 2) {
    console_text("Incorrect usage\n");
    console_printf("%s <mpgfilename> [<outputdirectory>]\n", argv[0] ? argv[0] : "zorbel");
    leave_process(1);
  }
  const char *output_dir = nullptr;
  for (int i = 1; i <= arguments; i++) {
    if (is_directory_option(argv[i])) {
      output_dir = argv[i] + 2;
    } else {
      driver.input_name = argv[i];
    }
  }

  OutputNames names = derive_output_names(driver.input_name, output_dir);
  if (!names.ok) {
    console_text("no extension specified\n");
    leave_process(1);
  }
  console_printf("Processing    : %s\n", driver.input_name);
  console_printf("Basefilename  : %s\n", names.base_name);
  console_printf("Path          : %s\n", names.output_path);
  console_printf("SRT Output    : %s\n", names.srt_name);
  console_printf("SAMI Output   : %s\n", names.sami_name);

  bool not_a_file = false;
  reader.file = open_input(driver.input_name, not_a_file);
  if (not_a_file) refuse_unrewindable_input();
  if (!reader.file) {
    console_error("Base layer input file %s not found\n", driver.input_name);
    leave_process(1);
  }
  // Replacing an output would take the input away when both names lead to one file: the
  // same name, a link, or a "/d" directory that holds the input. A console redirected onto
  // an output would write the trace over the captions; a FIFO or a socket would hold the
  // run or hand its reader half a file.
  for (const char *output : {names.srt_name, names.sami_name}) {
    std::string target;
    const char *refusal = same_file(reader.file, output)              ? "Output %s is the input file\n"
                          : standard_descriptor_is(1, output)         ? "Output %s is standard output\n"
                          : standard_descriptor_is(2, output)         ? "Output %s is standard error\n"
                          : output_target(output, target) == OutputKind::pipe ? "Cannot write %s: the output must be a regular file or a device\n"
                                                                      : nullptr;
    if (refusal) {
      console_error(refusal, output);
      if (standard_descriptor_is(1, output)) console_discard();
      leave_process(1);
    }
  }
  // The reader reads large chunks itself; a stdio buffer would only copy them once more.
  setvbuf(reader.file, nullptr, _IONBF, 0);
  detect_stream_kind();
  // The real run reads the file again from its first byte.
  if (fseek(reader.file, 0, SEEK_SET) != 0) refuse_unrewindable_input();
  clearerr(reader.file);
  reset_reader();
  // The first fill of a program stream already looks for the first video packet.
  if (program_stream_flag && video_ended()) fatal_exit("No video stream found\n");

  Init_caption_decoder();
  // An interrupt while the stream was still being found leaves every earlier output as it was.
  if (interrupt_requested()) finish_interrupted_run();
  open_outputs(names);
  scan_video_headers();

  fclose(reader.file);
  reader.file = nullptr;
  srt_finish();
  sami_finish();
  bool srt_ok = srt_close();
  bool sami_ok = sami_close();
  leave_process(srt_ok && sami_ok ? 0 : 1);
}
