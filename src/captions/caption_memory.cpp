// Caption memory (EIA-608 pop-on, roll-up and paint-on display memories). The caption
// modes follow 47 CFR 15.119(f): roll-up (f)(1), pop-on (f)(2), paint-on (f)(3).
#include "captions/caption_memory.hpp"

#include <cstdint>
#include <cstring>

#include "base/bit_scan.hpp"
#include "base/console.hpp"
#include "base/run_state.hpp"
#include "output/caption_display.hpp"
#include "output/sami_writer.hpp"
#include "output/srt_writer.hpp"

static struct {
  CaptionMemory memory;
  PenState pen;
  CaptionMode mode;
  int output_pending;
} decoder;

const CaptionMemory &caption_memory() { return decoder.memory; }
PenState &pen_state() { return decoder.pen; }
const CaptionMode &caption_mode() { return decoder.mode; }
bool output_pending() { return decoder.output_pending != 0; }
void clear_output_pending() { decoder.output_pending = 0; }

// Most of the 16 rows of a caption are empty, and most cells of a row: eight cells at a
// time, the 35 being four words and three cells.
static_assert(kCaptionColumns == 35, "four words and three cells make a row");

static uint64_t cell_word(const unsigned char *cells, int word) {
  uint64_t value;
  memcpy(&value, cells + 8 * word, sizeof value);
  return value;
}

// Bit i set where cell i of the word holds a character: the top bit of each filled byte,
// gathered into one byte by a multiply (no two of its partial products meet). Cell i is
// byte i of the word where memory is little-endian, as on every target of ZORBEL.
static uint64_t filled_cells(const unsigned char *cells, int word) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  uint64_t bits = 0;
  for (int i = 0; i < 8; i++) bits |= uint64_t{cells[8 * word + i] != 0} << i;
  return bits;
#else
  const uint64_t low_bits = 0x7F7F7F7F7F7F7F7Fu;
  uint64_t value = cell_word(cells, word);
  uint64_t filled = (((value & low_bits) + low_bits) | value) & ~low_bits;
  return (filled >> 7) * 0x0102040810204080u >> 56;
#endif
}

// No loop over the cells: at every change of the display, loops of varying length cost
// more in mispredicted branches than the work itself.
bool row_text_span(const unsigned char *cells, int &first, int &last) {
  uint64_t filled = filled_cells(cells, 0) | filled_cells(cells, 1) << 8 | filled_cells(cells, 2) << 16 |
                    filled_cells(cells, 3) << 24 | uint64_t{cells[32] != 0} << 32 | uint64_t{cells[33] != 0} << 33 |
                    uint64_t{cells[34] != 0} << 34;
  if (filled == 0) return false;
  first = lowest_set_bit(filled);
  last = highest_set_bit(filled);
  return true;
}

// Eight cells at a time: (c & 0x7F) + 0x7F | c has bit 7 set in a cell exactly when it is
// not empty, and that bit, taken from an empty one and moved to bit 5, makes it ' '.
static uint64_t cells_as_text(uint64_t cells) {
  const uint64_t low_bits = 0x7F7F7F7F7F7F7F7Fu;
  uint64_t filled = ((cells & low_bits) + low_bits) | cells;
  return cells | (~filled & ~low_bits) >> 2;
}

char *put_row_text(char *out, const unsigned char *cells, int first, int last) {
  size_t length = static_cast<size_t>(last - first + 1);
  const unsigned char *from = cells + first;
  if (length < 8) {
    for (size_t i = 0; i < length; i++) out[i] = from[i] ? static_cast<char>(from[i]) : ' ';
    return out + length;
  }
  // The last eight cells go in one step too, over what the steps before wrote.
  for (size_t i = 0;; i += 8) {
    size_t at = i + 8 <= length ? i : length - 8;
    uint64_t text;
    memcpy(&text, from + at, sizeof text);
    text = cells_as_text(text);
    memcpy(out + at, &text, sizeof text);
    if (at + 8 == length) return out + length;
  }
}

static unsigned char *row_cells(int buffer, int row) { return decoder.memory.buffers[buffer].cells[row - 1]; }

void Init_caption_decoder() {
  decoder.pen.column = 0;
  decoder.pen.row = 0;
  memset(decoder.memory.buffers, 0, sizeof decoder.memory.buffers);
  decoder.memory.has_content[0] = decoder.memory.has_content[1] = 0;
  decoder.memory.written = 0;
  decoder.memory.displayed = 1;
  decoder.memory.non_displayed = 0;
  srt_reset();
  sami_reset();
  reset_caption_display();
  decoder.mode.pop_on = decoder.mode.paint_on = decoder.mode.roll_up_rows = 0;
  decoder.mode.base_row = 15;
}

// Pop-on: text goes to the non-displayed memory until an end of caption (15.119(f)(2)).
void Resume_caption_loading() {
  if (verbosity_level > 0) console_text("RCL - Resume Caption Loading \"PopOnMode\"\n");
  decoder.memory.written = decoder.memory.non_displayed;
  decoder.mode.pop_on = 1;
  decoder.mode.roll_up_rows = 0;
  decoder.mode.paint_on = 0;
}

// Roll-up: text goes to the displayed memory, in a window of 2, 3 or 4 rows whose bottom is
// the base row (15.119(f)(1)).
void Roll_up(int rows) {
  if (verbosity_level > 0) {
    char *out = put_text(console_line(), "[Roll up ");
    out = put_decimal(out, rows);
    console_end_line(put_text(out, " rows]\n"));
  }
  decoder.mode.roll_up_rows = rows;
  decoder.mode.paint_on = 0;
  decoder.mode.pop_on = 0;
  decoder.memory.written = decoder.memory.displayed;
}

// Paint-on: text goes to the displayed memory where the cursor stands (15.119(f)(3)).
void Resume_direct_captioning() {
  if (verbosity_level > 0) console_text("[RDC - Resume direct captioning]\n");
  decoder.memory.written = decoder.memory.displayed;
  decoder.mode.paint_on = 1;
  decoder.mode.pop_on = 0;
  decoder.mode.roll_up_rows = 0;
}

// The two memories change places, so the loaded caption is shown at once (15.119(f)(2)).
void End_of_caption() {
  if (verbosity_level > 0) console_text("End Caption\n");
  Flip_memories();
  decoder.mode.pop_on = 0;
  decoder.output_pending = 1;
}

void Flip_memories() {
  decoder.memory.non_displayed = 1 - decoder.memory.non_displayed;
  decoder.memory.displayed = 1 - decoder.memory.displayed;
  decoder.pen.row = 0;
  decoder.pen.column = 0;
}

// Roll-up: each row of the window moves up one row, the top one leaving it, and the base row
// is cleared for the new line (15.119(f)(1)). Outside roll-up the window is one row, the
// base row, which is only cleared.
void Carriage_return() {
  if (verbosity_level > 0) console_text("[CR]\n");
  int base = decoder.mode.base_row;
  int top = base - decoder.mode.roll_up_rows + 1;
  if (top < 1) top = 1;  // the window never reaches above row 1 of the 15 (15.119(f)(1))
  int shown = decoder.memory.displayed;
  uint16_t &rows = decoder.memory.buffers[shown].rows_in_use;
  for (int r = top + 1; r <= base; r++) {
    if (verbosity_level > 0) {
      char *out = put_text(console_line(), "copying line ");
      out = put_decimal(out, r);
      out = put_text(out, " to line ");
      out = put_decimal(out, r - 1);
      *out++ = '\n';
      console_end_line(out);
    }
    memcpy(row_cells(shown, r - 1), row_cells(shown, r), kCaptionColumns);
    // Slot r - 2 takes the bit of slot r - 1.
    rows = static_cast<uint16_t>((rows & ~(1u << (r - 2))) | ((rows >> (r - 1) & 1u) << (r - 2)));
  }
  if (verbosity_level > 0) {
    char *out = put_text(console_line(), "clearing line ");
    out = put_decimal(out, base);
    *out++ = '\n';
    console_end_line(out);
  }
  memset(row_cells(shown, base), 0, kCaptionColumns);
  rows = static_cast<uint16_t>(rows & ~(1u << (base - 1)));
  decoder.pen.column = 0;
  decoder.output_pending = 1;
}

void Erase_non_displayed_memory() {
  int hidden = decoder.memory.non_displayed;
  memset(&decoder.memory.buffers[hidden], 0, sizeof(CaptionBuffer));
  decoder.memory.has_content[hidden] = 0;
}

void Erase_displayed_memory() {
  int shown = decoder.memory.displayed;
  memset(&decoder.memory.buffers[shown], 0, sizeof(CaptionBuffer));
  decoder.memory.has_content[shown] = 0;
  decoder.output_pending = 1;
}

// Clears the row from the cursor to its end (EIA-608 delete to end of row).
void Delete_end_of_Row() {
  const PenState &pen = decoder.pen;
  if (verbosity_level > 0) {
    char *out = put_text(console_line(), "Delete_end_of_Row: Row ");
    out = put_decimal(out, pen.row);
    out = put_text(out, " col ");
    out = put_decimal(out, pen.column);
    *out++ = '\n';
    console_end_line(out);
  }
  // Row 0 has no slot: there is nothing to clear before a preamble address code.
  if (pen.row != 0 && pen.column < kCaptionColumns)
    memset(row_cells(decoder.memory.written, pen.row) + pen.column, 0, kCaptionColumns - pen.column);
  decoder.output_pending = 1;
}

void Addchar(unsigned char ch) {
  PenState &pen = decoder.pen;
  int written = decoder.memory.written;
  // The two lines of each character begin alike every time: written whole, then filled
  // in (the buffer number is 0 or 1), at places that the texts themselves fix.
  static constexpr char kAdd[] = "Addchar: buffer=0, ch=  row=";
  constexpr size_t kAddBuffer = sizeof "Addchar: buffer=" - 1, kAddCharacter = sizeof "Addchar: buffer=0, ch=" - 1;
  static_assert(kAdd[kAddBuffer] == '0' && kAdd[kAddCharacter] == ' ', "the places filled in");
  static constexpr char kStored[] = "CH:   (00)--> Buffer 0, row ";
  constexpr size_t kStoredCharacter = sizeof "CH: " - 1, kStoredHex = sizeof "CH:   (" - 1,
                   kStoredBuffer = sizeof "CH:   (00)--> Buffer " - 1;
  static_assert(kStored[kStoredCharacter] == ' ' && kStored[kStoredHex] == '0' && kStored[kStoredBuffer] == '0',
                "the places filled in");
  if (verbosity_level > 0) {
    char *out = console_line();
    memcpy(out, kAdd, sizeof kAdd - 1);
    out[kAddBuffer] = static_cast<char>('0' + written);
    out[kAddCharacter] = static_cast<char>(ch);
    out = put_decimal(out + sizeof kAdd - 1, pen.row);
    out = put_text(out, ", col=");
    out = put_decimal(out, pen.column);
    *out++ = '\n';
    console_end_line(out);
  }
  const CaptionMode &mode = decoder.mode;
  if (!mode.pop_on && !mode.paint_on && mode.roll_up_rows == 0) return;
  if (pen.row == 0) return;  // no row addressed since the start or the last flip
  if (ch != 0) {
    decoder.memory.has_content[written] = 1;
    // Roll-up and paint-on text is shown as it arrives (EIA-608 direct captioning).
    if (mode.roll_up_rows > 0 || mode.paint_on) decoder.output_pending = 1;
  }
  if (verbosity_level > 0) {
    char *out = console_line();
    memcpy(out, kStored, sizeof kStored - 1);
    out[kStoredCharacter] = static_cast<char>(ch);
    memcpy(out + kStoredHex, kHexPairs + 2 * ch, 2);
    out[kStoredBuffer] = static_cast<char>('0' + written);
    out = put_decimal(out + sizeof kStored - 1, pen.row);
    out = put_text(out, " col ");
    out = put_decimal(out, pen.column);
    *out++ = '\n';
    console_end_line(out);
  }
  row_cells(written, pen.row)[pen.column] = ch;
  if (ch != 0) decoder.memory.buffers[written].rows_in_use |= static_cast<uint16_t>(1u << (pen.row - 1));
  // At the last column the cursor stays, so later characters replace the one there (EIA-608:
  // a character at the last column is overwritten by each one that follows).
  if (pen.column < kCaptionColumns - 1) pen.column += 1;
}

void Set_base_row(int row) {
  if (verbosity_level > 0) {
    char *out = put_text(console_line(), "Base row set to ");
    out = put_decimal(out, row);
    *out++ = '\n';
    console_end_line(out);
  }
  decoder.mode.base_row = row;
}
