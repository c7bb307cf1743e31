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

// True when the stream writes to a terminal (a console window on Windows), where text can be
// redrawn in place.
bool is_terminal(std::FILE *file) noexcept;

// From now on a write to a pipe that has no reader fails with an error, which the writer sees,
// instead of ending the process with SIGPIPE. Windows has no such signal: there it does nothing.
void report_broken_pipes_as_write_errors() noexcept;

// True when both names refer to one existing file, also through links or another spelling.
// Throws std::bad_alloc when memory runs out.
bool is_same_file(const std::string &a, const std::string &b);

// True when the name refers to the regular file that standard output writes to (as with
// "zonalstats a b out.txt > out.txt", or /dev/stdout redirected to a file). Standard output as
// a pipe, a terminal or a device is never such a file.
bool is_standard_output_file(const std::string &name) noexcept;

// What tells a file from another one put in its place under the same name, and from itself
// after a change: the file's device and number on it, its size and its time of last change.
struct file_identity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds on POSIX systems, 100 ns steps on Windows
    bool operator==(const file_identity &) const = default;
};

// The identity of the existing file the name refers to, through links; false where there is
// none.
bool read_file_identity(const std::string &name, file_identity &identity) noexcept;

// True when the stream is a regular file, whose bytes can be read at any offset.
bool is_regular_file(std::FILE *file) noexcept;

// Reads up to `size` bytes at `offset` past the stream's buffer, from any thread. Returns how
// many were read: fewer only where the file ends, or on a read error, which ends it too. On
// Windows the file position then stands behind the bytes read, so a stream is read either at
// offsets or one read after another, never both.
std::size_t read_file_at(std::FILE *file, std::uint64_t offset, char *into,
                         std::size_t size) noexcept;

// Opens the file for writing text as fopen(name, "w") does, creating it where it does not exist,
// but empties an existing file only when `empty` is set. nullptr where it can't be opened.
std::FILE *open_for_writing(const std::string &name, bool empty) noexcept;

// Creates a new file in the folder named by `name`, under a name no file has, and opens it for
// writing text; `name` becomes its name. The file gets the permissions of the file `like` is
// open on. Until replace_with_temporary_file or remove_temporary_file, the file is removed
// should the process be ended by SIGINT, SIGTERM, SIGHUP or SIGPIPE (on Windows by Ctrl-C,
// Ctrl-Break or the console's closing), which then ends it as before. One such file at a time.
// nullptr where none can be made. Throws std::bad_alloc, before it creates anything, when
// memory runs out.
std::FILE *create_temporary_file(std::string &name, std::FILE *like);

// Puts the closed temporary file in the place of `target` in one step: a reader of `target` sees
// the previous file or the new one whole. False where that fails; the temporary file stays.
bool replace_with_temporary_file(const std::string &temporary, const std::string &target) noexcept;

// Removes the temporary file.
void remove_temporary_file(const std::string &temporary) noexcept;

// How many CPUs the process may run on (its affinity mask, so that taskset and container limits
// count), at least 1.
unsigned usable_cpu_count() noexcept;

// A shared library loaded at run time (dlopen, LoadLibrary): nullptr where it can't be loaded.
// On Windows the current folder is not searched.
void *open_shared_library(const char *name) noexcept;

// A function of a library that open_shared_library loaded: nullptr where it has none of that
// name.
void *shared_library_symbol(void *library, const char *name) noexcept;

// The same, as a pointer of the function's own type; false where the library has none.
template <typename Function>
bool find_shared_library_function(void *library, const char *name, Function &function) noexcept {
    function = reinterpret_cast<Function>(shared_library_symbol(library, name));
    return function != nullptr;
}
