// Run driver: priority, banner, command line, output names, stream-kind detection, the
// start of the run and the ways it ends.
#include "app/run_driver.hpp"

#include <cerrno>
#include <csetjmp>
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
#include "mpeg/transport_stream.hpp"
#include "mpeg/video_scanner.hpp"
#include "output/caption_display.hpp"
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
  bool outputs_opened;      // this input's run got as far as opening both files
  bool interrupt_reported;  // "Interrupted" is said once, however many inputs
  // The progress line, for a person at a terminal: drawn on standard error while it is a
  // terminal and the trace does not go there.
  bool progress;
  size_t progress_width;  // of the line drawn last, 0 when none is shown
  int64_t next_progress_ms;
  int64_t started_ms;
} driver;

bool progress_wanted = false;

static void (*exit_hook)(int status) = nullptr;

void set_exit_hook(void (*hook)(int status)) { exit_hook = hook; }

// The trace written out; a part of it that could not be written turns the status into 1.
static int finish_console(int status) {
  if (console_flush()) return status;
  console_error("Error writing standard output\n");
  return 1;
}

static void clear_progress() {
  if (driver.progress_width == 0) return;
  std::string blank = "\r" + std::string(driver.progress_width, ' ') + "\r";
  write_error_console(blank.data(), blank.size());
  driver.progress_width = 0;
}

static std::string clock_text(int64_t ms) {
  char text[32];
  return std::string(text, srt_put_time(text, ms));
}

void show_progress(int64_t bytes_read, int64_t size) {
  int64_t now = monotonic_ms();
  if (!driver.progress || now < driver.next_progress_ms) return;
  driver.next_progress_ms = now + 200;  // five times a second at most
  SrtSummary written = srt_summary();
  char line[160];
  int length = snprintf(line, sizeof line, "\r%3lld%%  %s  %llu captions",
                        static_cast<long long>(size > 0 ? bytes_read * 100 / size : 0),
                        clock_text(written.last_pair_ms).substr(0, 8).c_str(),
                        static_cast<unsigned long long>(written.entries));
  if (length < 0) return;
  std::string text(line, static_cast<size_t>(length));
  size_t width = text.size() - 1;
  if (width < driver.progress_width) text += std::string(driver.progress_width - width, ' ');
  driver.progress_width = width;
  write_error_console(text.data(), text.size());
}

// A run without captions: when the chosen channel had no pairs but others had, which.
static void report_no_captions() {
  const uint64_t *pairs = channel_pair_counts();
  char found[128] = "";
  size_t length = 0;
  for (int channel = 1; channel <= 4; channel++) {
    if (channel == caption_channel || pairs[channel - 1] == 0) continue;
    int n = snprintf(found + length, sizeof found - length, "%sCC%d has %llu pairs", length ? ", " : "; ", channel,
                     static_cast<unsigned long long>(pairs[channel - 1]));
    if (n > 0) length += static_cast<size_t>(n);
  }
  if (pairs[caption_channel - 1] == 0 && length > 0) {
    console_diagnostic("no CC%d captions in %s%s\n", caption_channel, driver.input_name, found);
  } else {
    console_diagnostic("no captions found in %s\n", driver.input_name);
  }
}

// What a run that wrote its files says on standard error: the summary line under the
// progress line, and a word when no caption was found.
static void report_outputs(int status) {
  clear_progress();
  bool outputs_written = driver.outputs_opened;
  driver.outputs_opened = false;  // said once, however many ends follow
  if (!outputs_written || status != 0 || interrupt_requested()) return;
  SrtSummary written = srt_summary();
  if (driver.progress) {
    double seconds = static_cast<double>(monotonic_ms() - driver.started_ms) / 1000.0;
    if (written.entries == 0) {
      console_diagnostic("%s and %s: no entries, %.2f s\n", driver.srt_name.c_str(), driver.sami_name.c_str(), seconds);
    } else {
      console_diagnostic("%s and %s: %llu entries from %s to %s, %.2f s\n", driver.srt_name.c_str(),
                         driver.sami_name.c_str(), static_cast<unsigned long long>(written.entries),
                         clock_text(written.first_start_ms).c_str(), clock_text(written.last_end_ms).c_str(), seconds);
    }
  }
  if (written.entries == 0) report_no_captions();
}

void leave_process(int status) {
  status = finish_console(status);
  report_outputs(status);
  // An interrupt ends the process as its signal would, so that shells and scripts (a loop
  // over many files) see it, even one that came after the last byte of the input.
  if (interrupt_requested()) {
    if (!driver.interrupt_reported) console_error("Interrupted\n");
    driver.interrupt_reported = true;
    if (!exit_hook) raise_interrupt();
    status = 1;
  }
  if (exit_hook) exit_hook(status);
  exit(status);
}

// A refusal of the input: the message of old, then which file and why.
[[noreturn]] static void refuse_input(const char *message, const char *reason) {
  console_error("%s", message);
  console_diagnostic("%s: %s\n", driver.input_name, reason);
  leave_process(1);
}

// Both files are written out and synced before either takes its earlier file's place, so a
// crash in between leaves each name with a whole file.
void finish_and_exit(int status) {
  // Captions held for their pictures' display order are written too.
  flush_caption_pictures();
  display_finish();
  sami_finish();
  srt_finish();
  bool sami_ok = sami_close();
  bool srt_ok = srt_close();
  leave_process(sami_ok && srt_ok ? status : 1);
}

void finish_interrupted_run() { finish_and_exit(1); }

void input_read_error(int error) {
  const char *name = driver.input_name ? driver.input_name : "";
  console_error("Error reading %s\n", name);
  console_diagnostic("%s: %s\n", name, error != 0 ? strerror(error) : "cut short while it was read");
  finish_and_exit(1);
}

[[noreturn]] static void refuse_unrewindable_input() {
  console_error("Cannot rewind %s: the input must be a regular file\n", driver.input_name);
  console_diagnostic("%s: not a regular file\n", driver.input_name);
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
  driver.outputs_opened = false;
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
  driver.outputs_opened = true;
}

// The first start code of the raw file tells the stream kind.
static void detect_stream_kind() {
  reset_reader();
  if (int packet_size = transport_packet_size(reader.buffer, reader.buffer_fill)) {
    use_transport_stream(packet_size);
    program_stream_flag = 1;
    return;
  }
  align_to_start_code();
  uint32_t code = peek_bits(32);
  if (code == start_code(kPackCode) || code == start_code(kVideoStreamCode)) {
    program_stream_flag = 1;
  } else if (code != start_code(kSequenceHeaderCode)) {
    refuse_input("Unable to recognize stream type\n", "not an MPEG video or program stream");
  }
}

// What one input's run starts from: input closed, stream kind and decoder state cleared.
static void reset_input_state() {
  if (reader.file) fclose(reader.file);
  reader.file = nullptr;
  program_stream_flag = 0;
  use_transport_stream(0);
  reset_video_scanner();
  reset_caption_user_data();
  reset_caption_interpreter();
  driver.outputs_opened = false;
  progress_wanted = false;
  driver.progress_width = 0;
  driver.next_progress_ms = 0;
}

void reset_run_state() {
  reset_input_state();
  clock_from_timecode = false;
  utf8_output = false;
  caption_channel = 1;
  whole_lines = false;
  console.quiet = false;
  driver.interrupt_reported = false;
  driver.progress = false;
}

static const char kHelp[] =
    "Usage: %s [OPTION]... FILE... [/dDIRECTORY]\n"
    "Write the closed captions (EIA-608, line 21) of MPEG-2 video files as a SubRip file (.srt)\n"
    "and a SAMI file (.smi), named after each FILE, beside it or in DIRECTORY. FILE is a video\n"
    "elementary stream, an MPEG program stream (DVD .vob, .mpg) or a transport stream (.ts,\n"
    ".m2ts) of MPEG-1/2 video; the captions are DVD \"CC\" user data or ATSC A/53 caption data.\n"
    "\n"
    "  -q, --quiet        nothing on standard output: no banner, no trace\n"
    "      --timecode     time captions by the group-of-pictures time code's labels, not by\n"
    "                     the moment their frame is shown from the start of the file\n"
    "      --utf8         write both files in UTF-8 instead of code page 1252\n"
    "      --whole-lines  write roll-up and paint-on captions a line at a time\n"
    "      --channel N    the caption channel to write: 1 (the default) or 2 in field 1,\n"
    "                     3 or 4 in field 2\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "      --             end of the options: the arguments after it are file names\n"
    "  /dDIRECTORY        write the files into DIRECTORY (/d alone: the current directory)\n"
    "\n"
    "Several FILEs are read one after another, each as if it were the only one.\n"
    "Exit status: 0 when every FILE was read to its end and both of its files written whole;\n"
    "1 when a FILE was refused, something failed, or the run was interrupted.\n";

// The names and "/d" arguments, in their order: argv[1] to argv[count], where the options
// were taken out of the list.
struct CommandLine {
  char **arguments;
  int count;
  bool help, version;
};

// Options start with "-" and may stand anywhere before "--"; "-" alone and everything after
// "--" are names.
static CommandLine read_command_line(int argc, char **argv) {
  CommandLine line{argv + 1, 0, false, false};
  bool options_ended = false;
  for (int i = 1; i < argc; i++) {
    const char *argument = argv[i];
    if (options_ended || argument[0] != '-' || argument[1] == '\0') {
      line.arguments[line.count++] = argv[i];
    } else if (strcmp(argument, "--") == 0) {
      options_ended = true;
    } else if (strcmp(argument, "--timecode") == 0) {
      clock_from_timecode = true;
    } else if (strcmp(argument, "--utf8") == 0) {
      utf8_output = true;
    } else if (strcmp(argument, "--channel") == 0 || strncmp(argument, "--channel=", 10) == 0) {
      const char *value = argument[9] == '=' ? argument + 10 : i + 1 < argc ? argv[++i] : "";
      if (value[0] < '1' || value[0] > '4' || value[1] != '\0') {
        console_diagnostic("--channel takes 1, 2, 3 or 4, not \"%s\"\n", value);
        leave_process(1);
      }
      caption_channel = value[0] - '0';
    } else if (strcmp(argument, "--whole-lines") == 0) {
      whole_lines = true;
    } else if (strcmp(argument, "-q") == 0 || strcmp(argument, "--quiet") == 0) {
      console.quiet = true;
    } else if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
      line.help = true;
    } else if (strcmp(argument, "-V") == 0 || strcmp(argument, "--version") == 0) {
      line.version = true;
    } else {
      console_diagnostic("unknown option %s (%s --help lists the options)\n", argument, program_name());
      leave_process(1);
    }
  }
  return line;
}

// Why the run must not write `output`, as a message with the output's name for %s, or null.
static const char *output_refusal(const char *output) {
  std::string target;
  if (same_file(reader.file, output)) return "Output %s is the input file\n";
  if (standard_descriptor_is(1, output)) return "Output %s is standard output\n";
  if (standard_descriptor_is(2, output)) return "Output %s is standard error\n";
  if (output_target(output, target) == OutputKind::pipe)
    return "Cannot write %s: the output must be a regular file or a device\n";
  return nullptr;
}

// One input's run, from the start-up lines to the end of the process (or of the input, when
// several are read). `arguments` are the names and "/d" arguments as a run of one input
// takes them; `input` is set when several inputs are read.
[[noreturn]] static void run_input(const CommandLine &line, const char *input, char *invoked_as) {
  console_reset();
  console_puts(request_idle_priority() ? "Priority set to IDLE_PRIORITY_CLASS\n" : "Failed to change process priority\n");
  console_printf("ZORBEL: v%d.%d debug build\n", ZORBEL_VERSION_MAJOR, ZORBEL_VERSION_MINOR);
  // A quiet run formats no trace at all.
  verbosity_level = console.quiet ? 0 : 4;

  int count = line.count;
  driver.input_name = input ? input : count > 0 ? line.arguments[0] : nullptr;
  if (!input && (count < 1 || count > 2)) {
    console_failure("Incorrect usage\n");
    console_failure("%s <mpgfilename> [<outputdirectory>]\n", invoked_as ? invoked_as : "zorbel");
    leave_process(1);
  }
  const char *output_dir = nullptr;
  for (int i = 0; i < count; i++) {
    const char *argument = line.arguments[i];
    if (is_directory_option(argument)) {
      output_dir = argument + 2;
    } else if (!input) {
      driver.input_name = argument;
    }
  }

  OutputNames names = derive_output_names(driver.input_name, output_dir);
  if (!names.ok) {
    console_failure("no extension specified\n");
    leave_process(1);
  }
  console_printf("Processing    : %s\n", driver.input_name);
  console_printf("Basefilename  : %s\n", names.base_name);
  console_printf("Path          : %s\n", names.output_path);
  console_printf("SRT Output    : %s\n", names.srt_name);
  console_printf("SAMI Output   : %s\n", names.sami_name);

  bool not_a_file = false;
  errno = 0;
  reader.file = open_input(driver.input_name, not_a_file);
  int open_error = errno;
  if (not_a_file) refuse_unrewindable_input();
  if (!reader.file) {
    console_error("Base layer input file %s not found\n", driver.input_name);
    console_diagnostic("%s: %s\n", driver.input_name, strerror(open_error != 0 ? open_error : ENOENT));
    leave_process(1);
  }
  // Replacing an output would take the input away when both names lead to one file: the
  // same name, a link, or a "/d" directory that holds the input. A console redirected onto
  // an output would write the trace over the captions; a FIFO or a socket would hold the
  // run or hand its reader half a file.
  for (const char *output : {names.srt_name, names.sami_name}) {
    if (const char *refusal = output_refusal(output)) {
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
  if (program_stream_flag && video_ended()) {
    if (transport_stream_packet_size() == 0)
      refuse_input("No video stream found\n", "a program stream without video stream 0xE0");
    const char *codec = transport_refused_codec();
    if (codec == nullptr) refuse_input("No video stream found\n", "a transport stream without MPEG-1 or MPEG-2 video");
    // No string may be alive where the run ends: an in-process harness's exit jumps out.
    static char reason[96];
    snprintf(reason, sizeof reason, "a transport stream whose video is %s, which is not read", codec);
    refuse_input("No MPEG-2 video stream found\n", reason);
  }

  Init_caption_decoder();
  // An interrupt while the stream was still being found leaves every earlier output as it was.
  if (interrupt_requested()) finish_interrupted_run();
  open_outputs(names);
  driver.started_ms = monotonic_ms();
  progress_wanted = driver.progress && regular_file_size(reader.file) > 0;
  scan_video_headers();

  fclose(reader.file);
  reader.file = nullptr;
  display_finish();
  srt_finish();
  sami_finish();
  bool srt_ok = srt_close();
  bool sami_ok = sami_close();
  leave_process(srt_ok && sami_ok ? 0 : 1);
}

static jmp_buf input_ended;

[[noreturn]] static void next_input(int status) { longjmp(input_ended, status + 1); }

void zorbel_main(int argc, char **argv) {
  guard_standard_descriptors();
  reset_run_state();
  install_interrupt_handlers();
  set_program_name(argc > 0 ? argv[0] : nullptr);
  CommandLine line = read_command_line(argc, argv);
  if (line.help || line.version) {
    console_reset();
    if (line.help) console_printf(kHelp, program_name());
    if (line.version) console_printf("%s %d.%d\n", program_name(), ZORBEL_VERSION_MAJOR, ZORBEL_VERSION_MINOR);
    leave_process(0);
  }
  // For a person at a terminal while the trace goes elsewhere: the progress line.
  driver.progress = error_console_is_terminal() && (console.quiet || !console_is_terminal());

  int inputs = 0;
  for (int i = 0; i < line.count; i++)
    if (!is_directory_option(line.arguments[i])) inputs++;
  if (inputs < 2) run_input(line, nullptr, argc > 0 ? argv[0] : nullptr);

  // Several inputs: each run ends through the exit hook, back here, and the next one starts;
  // an interrupt ends them all.
  void (*caller_hook)(int) = exit_hook;
  volatile int status = 0;
  for (int i = 0; i < line.count; i++) {
    const char *input = line.arguments[i];
    if (is_directory_option(input)) continue;
    reset_input_state();
    int ended = setjmp(input_ended);
    if (ended == 0) {
      exit_hook = next_input;
      run_input(line, input, argv[0]);
    }
    exit_hook = caller_hook;
    if (ended - 1 != 0) status = 1;
    if (interrupt_requested()) break;
  }
  leave_process(status);
}
