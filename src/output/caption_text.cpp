// Caption text.
#include "output/caption_text.hpp"

#include <cstring>

#include "base/run_state.hpp"
#include "captions/caption_memory.hpp"

// The UTF-8 of a stored byte above 0x7F: Latin-1 from 0xA0, and the three bytes of 0x80-0x9F
// that the decoder stores. No other byte of that range ever reaches the caption memory.
static char *put_utf8(char *out, unsigned char byte) {
  unsigned code_point = byte;
  if (byte == kMusicNoteUtf8Cell) {
    code_point = 0x266A;
  } else if (byte == kSolidBlockCell) {
    code_point = 0x2588;
  } else if (byte == 0x99) {
    code_point = 0x2122;  // trade mark sign
  } else if (byte < 0xA0) {
    code_point = 0xFFFD;
  }
  if (code_point < 0x800) {
    *out++ = static_cast<char>(0xC0 | code_point >> 6);
  } else {
    *out++ = static_cast<char>(0xE0 | code_point >> 12);
    *out++ = static_cast<char>(0x80 | (code_point >> 6 & 0x3F));
  }
  *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  return out;
}

char *put_caption_text(char *out, const char *text, size_t length) {
  if (!utf8_output) {
    memcpy(out, text, length);
    return out + length;
  }
  for (size_t i = 0; i < length; i++) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      *out++ = static_cast<char>(byte);
    } else {
      out = put_utf8(out, byte);
    }
  }
  return out;
}

char *put_row_as_text(char *out, const unsigned char *cells, int first, int last) {
  if (!utf8_output) return put_row_text(out, cells, first, last);
  char row[kCaptionColumns];
  size_t length = static_cast<size_t>(put_row_text(row, cells, first, last) - row);
  return put_caption_text(out, row, length);
}
