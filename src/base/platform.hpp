// Platform layer: everything that differs between POSIX systems and Windows (priority,
// interrupts, standard descriptors, file kinds and identities, raw writes). One source per
// system, platform_posix.cpp and platform_win32.cpp; nothing else includes system headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

bool request_idle_priority();

// Descriptors 0 to 2 that are closed at start are opened on the null device: otherwise the
// input and the outputs would take their numbers, and the console's text would go into an
// output file. Where there is no null device, the files the run opens are placed above 2
// all the same, and a write to a closed descriptor fails as one to a console that went away.
void guard_standard_descriptors();

// Interrupt, terminate and hang-up signals (on Windows Ctrl-C, Ctrl-Break and closing the
// console) only set a flag, and interrupt a blocked write instead of letting it restart;
// later ones, of any kind, are ignored, so that the files are finished. Writes to a closed
// pipe or past a file-size limit fail instead of ending the process.
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
// True when standard descriptor fd (1 or 2) is the regular file that name leads to.
bool standard_descriptor_is(int fd, const char *name);

// Output files as raw descriptors, written in large pieces by their writers. A regular file,
// or one still to be made, is replaced in one step: the run writes a new file beside it,
// syncs it and renames it over the old one at the end. A device is written where it is.
enum class OutputKind {
  missing,  // to be created
  regular,
  device,   // a character or block device such as /dev/null
  pipe,     // a FIFO or a socket: a run would wait on it, or its reader would get half a file
  other,    // a directory, a broken path: it cannot be written
};
// What name leads to, symbolic links followed; target is the path of that file.
OutputKind output_target(const char *name, std::string &target);
// Creates the new file that will replace target, beside it, under a name that says what it
// is (temp), with the permission bits of the file it replaces. -1 when it cannot.
int create_replacement(const std::string &target, std::string &temp);
// Opens an existing file or device for writing where it is. -1 when it cannot.
int open_in_place(const char *target);
// Cuts a regular file to nothing; other kinds (devices) have nothing to cut.
bool empty_output(int fd);
// True when both names lead to one existing file.
bool same_existing_file(const char *name, const char *other);
// Writes all bytes. Once an interrupt is pending, a descriptor that is not a regular file
// gets the console's grace, so that a reader that takes nothing cannot hold the end.
bool write_output(int fd, const char *data, size_t length);
// The file's data on the disk; nothing to do for a device.
bool sync_output(int fd);
bool close_output(int fd);
// Puts the replacement in the target's place in one step, and syncs the folder's entry.
bool replace_output(const char *temp, const char *target);
void remove_output(const char *name);

bool console_is_terminal();
// Standard error is a terminal that a person reads (a console window on Windows).
bool error_console_is_terminal();
// Milliseconds of a clock that only goes forward, for the progress line and the run's time.
int64_t monotonic_ms();
enum class ConsoleWrite { written, failed, dropped };
// Writes to standard output. Once an interrupt is pending, nothing waits long for a
// console that takes nothing (a pipe nobody reads): what it has not taken within a second
// is dropped.
ConsoleWrite write_console(const char *data, size_t length);
// Writes to standard error, with the same grace.
void write_error_console(const char *data, size_t length);
