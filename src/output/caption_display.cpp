// Caption display.
#include "output/caption_display.hpp"

#include <cstring>

#include "captions/caption_memory.hpp"
#include "output/sami_writer.hpp"
#include "output/srt_writer.hpp"

bool whole_lines = false;

static struct {
  // With whole lines: the display not written yet, shown since `since`.
  bool held;
  CaptionBuffer shown;
  int has_content;
  int buffer;  // the caption memory's buffer that was displayed
  int64_t since;
} display;

void reset_caption_display() { memset(&display, 0, sizeof display); }

static void write_display(int64_t time_ms, const CaptionBuffer &shown, int has_content) {
  sami_write_sync(time_ms);
  sami_write_caption(shown);
  srt_write_entry(time_ms, shown, has_content);
}

// True when `now` holds every character of `before` in its place, and adds characters only to
// rows that already held some: the same line, written on. A row that receives its first
// character is a new line, which must not be shown before its time.
static bool only_adds_to_rows_shown(const CaptionBuffer &before, const CaptionBuffer &now) {
  for (int slot = 0; slot < kCaptionRows; slot++) {
    const unsigned char *old_cells = before.cells[slot], *new_cells = now.cells[slot];
    bool row_held_text = false, row_gains = false;
    for (int c = 0; c < kCaptionColumns; c++) {
      if (old_cells[c] != 0) {
        if (new_cells[c] != old_cells[c]) return false;
        row_held_text = true;
      } else if (new_cells[c] != 0) {
        row_gains = true;
      }
    }
    if (row_gains && !row_held_text) return false;
  }
  return true;
}

void display_changed(int64_t time_ms) {
  const CaptionMemory &memory = caption_memory();
  const CaptionBuffer &shown = memory.buffers[memory.displayed];
  int has_content = memory.has_content[memory.displayed];
  if (!whole_lines) {
    write_display(time_ms, shown, has_content);
    return;
  }
  // A pop-on caption is shown by swapping the buffers: it is never merged. Roll-up and
  // paint-on text goes into the buffer shown.
  if (display.held && display.buffer == memory.displayed && only_adds_to_rows_shown(display.shown, shown)) {
    display.shown = shown;
    display.has_content = has_content;
    return;
  }
  if (display.held) write_display(display.since, display.shown, display.has_content);
  display.held = true;
  display.shown = shown;
  display.has_content = has_content;
  display.buffer = memory.displayed;
  display.since = time_ms;
}

void display_finish() {
  if (!display.held) return;
  write_display(display.since, display.shown, display.has_content);
  display.held = false;
}
