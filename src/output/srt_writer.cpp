// SRT writer. Every line ends with CR LF on every platform.
#include "output/srt_writer.hpp"

#include <cstdint>
#include <cstring>

#include "base/console.hpp"
#include "base/run_state.hpp"
#include "captions/caption_memory.hpp"
#include "captions/caption_time.hpp"
#include "output/caption_text.hpp"
#include "output/output_file.hpp"

// Counter line, time line, 16 rows of at most 35 characters (in UTF-8 up to three bytes
// each), all with CR LF, and the final blank line.
constexpr size_t kEntryTextSize = 32 + 64 + kCaptionRows * (kMostBytesPerCharacter * kCaptionColumns + 2) + 2 + 1;

static struct {
  OutputFile out;
  uint64_t counter;  // last entry number written; 64 bits so it cannot wrap
  int64_t start_ms;  // when the remembered caption appeared
  CaptionBuffer snapshot;
  int snapshot_has_content;
  int64_t last_pair_time;  // 27 MHz ticks; the last entry ends here at close
  int64_t first_start_ms, last_end_ms;  // of the entries written, for the run's summary
  char entry[kEntryTextSize];
  size_t entry_length;
} srt;

void srt_reset() {
  output_reset(srt.out);
  srt.counter = 0;
  srt.start_ms = 0;
  memset(&srt.snapshot, 0, sizeof srt.snapshot);
  srt.snapshot_has_content = 0;
  srt.last_pair_time = 0;
  srt.first_start_ms = srt.last_end_ms = 0;
  srt.entry_length = 0;
}

SrtSummary srt_summary() {
  return {srt.counter, srt.first_start_ms, srt.last_end_ms, srt.last_pair_time / kTicksPerMillisecond};
}

void srt_note_pair_time(int64_t time) { srt.last_pair_time = time; }

bool srt_open(const char *file_name) {
  if (output_is_open(srt.out)) {
    console_failure("ERROR: SRT File is already open\n");
    return false;
  }
  if (!output_open(srt.out, file_name)) {
    console_failure("Unable to open SRT File\n");
    console_diagnostic("%s: %s\n", file_name, strerror(srt.out.error));
    return false;
  }
  return true;
}

const OutputFile &srt_output() { return srt.out; }
void srt_abandon() { output_abandon(srt.out); }
void srt_start() { output_start(srt.out); }

static void append(const char *text, size_t length) {
  memcpy(srt.entry + srt.entry_length, text, length);
  srt.entry_length += length;
}

// hh:mm:ss,mmm, split from the total so that a malformed time code still prints a valid
// time.
template <class Milliseconds>
static char *put_time(char *out, Milliseconds ms) {
  out = put_decimal(out, static_cast<int64_t>(ms / 3600000), 2);
  *out++ = ':';
  out = put_decimal(out, static_cast<int64_t>(ms / 60000 % 60), 2);
  *out++ = ':';
  out = put_decimal(out, static_cast<int64_t>(ms / 1000 % 60), 2);
  *out++ = ',';
  return put_decimal(out, static_cast<int64_t>(ms % 1000), 3);
}

static void append_time(int64_t ms) {
  char *out = srt.entry + srt.entry_length;
  if (ms >= 0 && ms < int64_t{100} * 3600000) {
    // Under 100 hours every part fits its width: one layout, filled in two digits at a
    // time, in 32 bits.
    uint32_t rest = static_cast<uint32_t>(ms);
    uint32_t hours = rest / 3600000, minutes = rest / 60000 % 60, seconds = rest / 1000 % 60, thousandths = rest % 1000;
    memcpy(out, kDecimalPairs + 2 * hours, 2);
    out[2] = ':';
    memcpy(out + 3, kDecimalPairs + 2 * minutes, 2);
    out[5] = ':';
    memcpy(out + 6, kDecimalPairs + 2 * seconds, 2);
    out[8] = ',';
    out[9] = static_cast<char>('0' + thousandths / 100);
    memcpy(out + 10, kDecimalPairs + 2 * (thousandths % 100), 2);
    out += 12;
  } else {
    // The times of a run fit 32 bits, whose divisions cost less, and split the same.
    out = ms >= 0 && ms <= INT32_MAX ? put_time(out, static_cast<uint32_t>(ms)) : put_time(out, ms);
  }
  srt.entry_length = static_cast<size_t>(out - srt.entry);
}

char *srt_put_time(char *out, int64_t ms) { return put_time(out, ms); }

// Spaces alone (mid-row codes, Flash On) show nothing, and SRT readers take a blank line
// for the end of the cue. 0 and ' ' are the two cell values that differ in bit 5 alone,
// so eight cells at a time are tested with that bit masked off.
static bool row_shows_text(const unsigned char *cells) {
  uint64_t words[4];
  memcpy(words, cells, sizeof words);
  return ((words[0] | words[1] | words[2] | words[3]) & 0xDFDFDFDFDFDFDFDFu) != 0 ||
         ((cells[32] | cells[33] | cells[34]) & 0xDF) != 0;
}

static bool snapshot_holds_text() {
  const CaptionBuffer &shown = srt.snapshot;
  for (unsigned rows = shown.rows_in_use; rows != 0; rows &= rows - 1)
    if (row_shows_text(shown.cells[lowest_slot(rows)])) return true;
  return false;
}

static void write_entry(int64_t end_ms) {
  srt.counter += 1;
  if (srt.counter == 1) srt.first_start_ms = srt.start_ms;
  srt.last_end_ms = end_ms;
  // The number left-aligned in eight characters: written over eight spaces.
  memcpy(srt.entry, "        ", 8);
  char *counter_end = put_decimal(srt.entry, static_cast<int64_t>(srt.counter));
  srt.entry_length = counter_end < srt.entry + 8 ? 8 : static_cast<size_t>(counter_end - srt.entry);
  append("\r\n", 2);
  append_time(srt.start_ms);
  append(" --> ", 5);
  append_time(end_ms);
  append("\r\n", 2);
  for (unsigned rows = srt.snapshot.rows_in_use; rows != 0; rows &= rows - 1) {
    int slot = lowest_slot(rows);
    const unsigned char *cells = srt.snapshot.cells[slot];
    int first, last;
    if (!row_shows_text(cells) || !row_text_span(cells, first, last)) continue;
    // Leading empty cells become spaces, and so do the gaps between words.
    char *text = srt.entry + srt.entry_length;
    srt.entry_length = static_cast<size_t>(put_row_as_text(text, cells, 0, last) - srt.entry);
    append("\r\n", 2);
    if (verbosity_level > 0) {
      char *out = put_text(console_line(), "Output row ");
      out = put_decimal(out, slot + 1);
      console_end_line(put_text(out, " to SRT file\n"));
    }
  }
  append("\r\n", 2);
  output_write(srt.out, srt.entry, srt.entry_length);
}

void srt_write_entry(int64_t now_ms) {
  const CaptionMemory &memory = caption_memory();
  srt_write_entry(now_ms, memory.buffers[memory.displayed], memory.has_content[memory.displayed]);
}

void srt_write_entry(int64_t now_ms, const CaptionBuffer &shown, int shown_has_content) {
  srt.entry_length = 0;
  if (!output_is_open(srt.out)) return;
  // A caption with nothing but spaces left gives no entry: blank cues break readers.
  if (srt.snapshot_has_content && snapshot_holds_text()) write_entry(now_ms);
  // Only the rows in use are ever read back, so only they are copied.
  srt.snapshot.rows_in_use = shown.rows_in_use;
  for (unsigned rows = shown.rows_in_use; rows != 0; rows &= rows - 1) {
    int slot = lowest_slot(rows);
    memcpy(srt.snapshot.cells[slot], shown.cells[slot], kCaptionColumns);
  }
  srt.snapshot_has_content = shown_has_content;
  srt.start_ms = now_ms;
}

void srt_finish() {
  if (!output_is_open(srt.out) || output_finished(srt.out)) return;
  srt_write_entry(srt.last_pair_time / kTicksPerMillisecond);
  output_finish(srt.out);
}

bool srt_close() {
  srt_finish();
  return output_close(srt.out);
}
