// Platform layer: everything that differs between POSIX systems and Windows (priority,
// interrupts, standard descriptors, file kinds and identities, raw writes). One source per
// system, platform_posix.cpp and platform_win32.cpp; nothing else includes system headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

bool request_idle_priority();

// Descriptors 0 to 2 that are closed at start are opened on the null device: otherwise the
// input and the outputs would take their numbers, and the console's text would go into an
// output file.
void guard_standard_descriptors();

// Interrupt, terminate and hang-up signals (on Windows Ctrl-C, Ctrl-Break and closing the
// console) only set a flag, and interrupt a blocked write instead of letting it restart; a
// second one ends the process at once. Writes to a closed pipe or past a file-size limit
// fail instead of ending the process.
void install_interrupt_handlers();
bool interrupt_requested();
// Ends the process as the interrupt would have, where the system can (POSIX: by its signal).
void raise_interrupt();

// The separator appended to an output directory: '\\' on Windows, '/' elsewhere.
extern const char kPathSeparator;
// An argument that starts with "/d" but names an existing file or directory (POSIX:
// /data/movie.mpg) is an input, not the directory option. Never on Windows.
bool slash_d_argument_is_a_path(const char *argument);

// Opens the input for binary reading, never waiting: a FIFO, a socket or a character device
// (which can block a read for ever or never end) is refused before it is opened, and
// not_a_file says so.
FILE *open_input(const char *name, bool &not_a_file);
// The size of a regular file, or -1 (a device, an error).
int64_t regular_file_size(FILE *file);
// True when name leads to the same file as `file` (a link, another spelling of the path).
bool same_file(FILE *file, const char *name);

// Output files as raw descriptors, written in large pieces by their writers.
// Opens for writing without changing the file: it is created when missing (`created`), and
// its old content stays until empty_output. -1 when it cannot be opened.
int open_output(const char *name, bool &created);
// Cuts a regular file to nothing; other kinds (devices) have nothing to cut.
bool empty_output(int fd);
// True when both descriptors are one regular file (hard or symbolic links).
bool same_regular_file(int fd, int other_fd);
// Writes all bytes; a write that a signal breaks off goes on where it stopped.
bool write_output(int fd, const char *data, size_t length);
bool close_output(int fd);
void remove_output(const char *name);

bool console_is_terminal();
enum class ConsoleWrite { written, failed, dropped };
// Writes to standard output. Once an interrupt is pending, nothing waits long for a
// console that takes nothing (a pipe nobody reads): what it has not taken within a second
// is dropped.
ConsoleWrite write_console(const char *data, size_t length);
