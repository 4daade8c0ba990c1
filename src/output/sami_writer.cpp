// SAMI writer. Every line ends with CR LF on every platform; caption bytes are written
// as they are (code page 1252, no escaping).
#include "output/sami_writer.hpp"

#include <cstring>

#include "base/console.hpp"
#include "base/run_state.hpp"
#include "captions/caption_memory.hpp"
#include "output/caption_text.hpp"
#include "output/output_file.hpp"

// "<P class=ENCC>", 16 rows of 35 characters (in UTF-8 up to three bytes each) each with
// "<BR>" and CR LF, or "&nbsp;".
constexpr size_t kCaptionTextSize = 16 + kCaptionRows * (kMostBytesPerCharacter * kCaptionColumns + 6) + 1;

static struct {
  OutputFile out;
  char caption[kCaptionTextSize];
} sami;

static const char kHeader[] =
    "<SAMI>\r\n"
    "<HEAD>\r\n"
    "    <STYLE type=\"text/css\"><!--\r\n"
    "      P {margin-top:3pt;\r\n"
    "         margin-left:5pt;\r\n"
    "         margin-right:5pt;\r\n"
    "         margin-bottom:5pt;\r\n"
    "         font-size: 14pt;\r\n"
    "         font-family: tahoma, sans-serif;\r\n"
    "         font-weight: normal;\r\n"
    "         color: white;}\r\n"
    "   .ENCC {Name:English; lang: en-US; SAMI_Type: CC; \r\n"
    "                samitype:CC; }\r\n"
    "-->\r\n"
    "</STYLE>\r\n"
    "</HEAD>\r\n"
    "<BODY>\r\n";

// With --utf8, after "<HEAD>": the character set, for browsers and players that read SAMI as
// HTML.
static const char kUtf8Declaration[] = "<META http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\r\n";
static const char kTrailer[] = "</BODY>\r\n</SAMI>\r\n";

void sami_reset() { output_reset(sami.out); }

static void write_text(const char *text, size_t length) { output_write(sami.out, text, length); }

bool sami_open(const char *file_name) {
  if (!output_open(sami.out, file_name)) {
    console_failure("Failed to open SAMI File for writing\n");
    console_diagnostic("%s: %s\n", file_name, strerror(sami.out.error));
    return false;
  }
  return true;
}

const OutputFile &sami_output() { return sami.out; }
void sami_abandon() { output_abandon(sami.out); }

void sami_start() {
  output_start(sami.out);
  if (!utf8_output) {
    write_text(kHeader, sizeof kHeader - 1);
    return;
  }
  static const char kHead[] = "<SAMI>\r\n<HEAD>\r\n";
  static_assert(sizeof kHead - 1 <= sizeof kHeader - 1, "the header begins with <SAMI> and <HEAD>");
  write_text(kHeader, sizeof kHead - 1);
  write_text(kUtf8Declaration, sizeof kUtf8Declaration - 1);
  write_text(kHeader + sizeof kHead - 1, sizeof kHeader - sizeof kHead);
}

void sami_write_sync(int64_t time_ms) {
  static const char kStart[] = "<SYNC START=\"";
  static const char kEnd[] = "\">\r\n";
  char line[64];
  memcpy(line, kStart, sizeof kStart - 1);
  char *out = put_decimal(line + sizeof kStart - 1, time_ms);
  memcpy(out, kEnd, sizeof kEnd - 1);
  write_text(line, static_cast<size_t>(out - line) + sizeof kEnd - 1);
}

void sami_write_caption() {
  const CaptionMemory &memory = caption_memory();
  sami_write_caption(memory.buffers[memory.displayed]);
}

void sami_write_caption(const CaptionBuffer &shown) {
  static const char kParagraph[] = "<P class=ENCC>";
  static const char kBreak[] = "<BR>\r\n";
  static const char kBlank[] = "&nbsp;\r\n";
  size_t length = 0;
  memcpy(sami.caption, kParagraph, sizeof kParagraph - 1);
  length += sizeof kParagraph - 1;
  bool any_row = false;
  for (unsigned rows = shown.rows_in_use; rows != 0; rows &= rows - 1) {
    int slot = lowest_slot(rows);
    const unsigned char *cells = shown.cells[slot];
    int first, last;
    if (!row_text_span(cells, first, last)) continue;
    // Leading empty cells add nothing; a gap between words becomes spaces.
    length = static_cast<size_t>(put_row_as_text(sami.caption + length, cells, first, last) - sami.caption);
    memcpy(sami.caption + length, kBreak, sizeof kBreak - 1);
    length += sizeof kBreak - 1;
    any_row = true;
    if (verbosity_level > 0) {
      char *out = put_text(console_line(), "Output row ");
      out = put_decimal(out, slot + 1);
      console_end_line(put_text(out, " to SAMI file\n"));
    }
  }
  if (!any_row) {
    memcpy(sami.caption + length, kBlank, sizeof kBlank - 1);
    length += sizeof kBlank - 1;
    if (verbosity_level > 0) console_text("Outputting blank row to SAMI file\n");
  }
  write_text(sami.caption, length);
}

void sami_finish() {
  if (!output_is_open(sami.out) || output_finished(sami.out)) return;
  write_text(kTrailer, sizeof kTrailer - 1);
  output_finish(sami.out);
}

bool sami_close() {
  sami_finish();
  return output_close(sami.out);
}
