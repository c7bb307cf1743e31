// The few operating-system calls the tool makes beyond standard C++, behind one small interface
// so that each system has one file of its own, chosen at build time: platform_posix.cpp for
// Linux and the other POSIX systems, platform_windows.cpp for Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Opens the null device onto each of the standard descriptors 0, 1 and 2 that is closed, so
// that no file the run opens later takes a standard descriptor's number: a grid opened as
// descriptor 0 would be read by the console prompts, a report opened as 1 would receive the
// console's text. Closed standard input then reads as an empty input.
void open_closed_standard_streams() noexcept;

// True when both names refer to one existing file, also through links or another spelling.
// Throws std::bad_alloc when memory runs out.
bool is_same_file(const std::string &a, const std::string &b);

// True when the name refers to the regular file that standard output writes to (as with
// "zonalstats a b out.txt > out.txt", or /dev/stdout redirected to a file). Standard output as
// a pipe, a terminal or a device is never such a file.
bool is_standard_output_file(const std::string &name) noexcept;

// True when the stream is a regular file, whose bytes can be read at any offset.
bool is_regular_file(std::FILE *file) noexcept;

// Reads up to `size` bytes at `offset` past the stream's buffer, from any thread. Returns how
// many were read: fewer only where the file ends, or on a read error, which ends it too. On
// Windows the file position then stands behind the bytes read, so a stream is read either at
// offsets or one read after another, never both.
std::size_t read_file_at(std::FILE *file, std::uint64_t offset, char *into,
                         std::size_t size) noexcept;

// How many CPUs the process may run on (its affinity mask, so that taskset and container limits
// count), at least 1.
unsigned usable_cpu_count() noexcept;

// A shared library loaded at run time (dlopen, LoadLibrary): nullptr where it can't be loaded.
// On Windows the current folder is not searched.
void *open_shared_library(const char *name) noexcept;

// A function of a library that open_shared_library loaded: nullptr where it has none of that
// name.
void *shared_library_symbol(void *library, const char *name) noexcept;
