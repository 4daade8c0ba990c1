// Caption text as the files carry it: the caption memory's bytes (code page 1252) as they
// are, or with --utf8 each character in UTF-8, as EIA-608 defines it.
#pragma once

#include <cstddef>

// With --utf8 the music note (special character 0x37) is stored as this byte, which code page
// 1252 leaves unused; without it, as "#".
constexpr unsigned char kMusicNoteUtf8Cell = 0x81;
// The solid block (basic character 0x7F), stored as the florin sign of code page 1252.
constexpr unsigned char kSolidBlockCell = 0x83;

// The most bytes one stored character takes in a file.
constexpr size_t kMostBytesPerCharacter = 3;

// text[0, length) as the files carry it, written to out (room for kMostBytesPerCharacter
// bytes a character); gives the end.
char *put_caption_text(char *out, const char *text, size_t length);

// The cells first to last of a caption row as text (an empty cell as a space), as the files
// carry it; gives the end.
char *put_row_as_text(char *out, const unsigned char *cells, int first, int last);
