// Caption memory: the EIA-608 decoder's displayed and non-displayed buffers, its cursor,
// its caption mode and its request for output.
#pragma once

#include <cstdint>

#include "base/bit_scan.hpp"

constexpr int kCaptionRows = 16;  // slots; caption rows 1-15 live in slots 0-14
constexpr int kCaptionColumns = 35;

struct CaptionBuffer {
  unsigned char cells[kCaptionRows][kCaptionColumns];  // code page 1252; 0 = empty
  // Bit s for each row slot s that may hold a character (a row emptied cell by cell keeps
  // its bit): the writers, at every change of the display, look at these rows only.
  uint16_t rows_in_use;
};

struct CaptionMemory {
  CaptionBuffer buffers[2];
  int has_content[2];  // per buffer number: set by a stored character, cleared by an erase
  int displayed;
  int non_displayed;
  int written;  // where characters and deletes go; set by the mode commands only
};

struct PenState {
  int row;     // 0 until a preamble address code, then 1-15
  int column;  // 0-34
};

struct CaptionMode {
  int pop_on;
  int paint_on;
  int roll_up_rows;  // 2, 3 or 4 in roll-up mode, else 0
  int base_row;      // bottom row of the roll-up window
};

// The lowest slot of a set of rows_in_use bits (not 0): the writers take the rows in use
// in order with `for (unsigned rows = buffer.rows_in_use; rows != 0; rows &= rows - 1)`.
inline int lowest_slot(unsigned rows) { return lowest_set_bit(rows); }

// The first and last non-empty cell of a row; false when the row is empty.
bool row_text_span(const unsigned char *cells, int &first, int &last);
// The cells first to last of a row written to out as text, an empty cell as a space;
// gives the end of the text.
char *put_row_text(char *out, const unsigned char *cells, int first, int last);

const CaptionMemory &caption_memory();
PenState &pen_state();
const CaptionMode &caption_mode();
bool output_pending();
void clear_output_pending();

void Init_caption_decoder();
void Resume_caption_loading();
void Roll_up(int rows);
void Resume_direct_captioning();
void End_of_caption();
void Flip_memories();
void Carriage_return();
void Erase_non_displayed_memory();
void Erase_displayed_memory();
void Delete_end_of_Row();
void Addchar(unsigned char ch);
void Set_base_row(int row);
