// Helpers of the fuzz targets: the failure check, a scratch folder, the console captured in a
// file, and a plain second reader of the grid formats built on the C library's stdio, which the
// targets hold the tool against.
#pragma once

#include <bit>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzz_support {

// A wrong result is a crash: the fuzzer keeps the input, the replay test fails.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fail(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::abort();
}

// Same double, bit for bit; any two NaNs count as the same.
inline bool same_value(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// A folder of the process's own, removed when the process exits normally.
inline const std::filesystem::path &scratch_folder() {
    static const std::filesystem::path folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zonalstats-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a scratch folder");
        return std::filesystem::path(pattern);
    }();
    // Registered once the path is whole, so that at exit the removal runs before the path is
    // destroyed.
    static const bool removed_at_exit = std::atexit([] {
                                            std::error_code ignored;
                                            std::filesystem::remove_all(scratch_folder(), ignored);
                                        }) == 0;
    static_cast<void>(removed_at_exit);
    return folder;
}

inline void write_file(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || (size != 0 && std::fwrite(data, 1, size, file) != size) ||
        std::fclose(file) != 0)
        fail("cannot write %s", path.c_str());
}

// Standard output goes to a file of the scratch folder, emptied before each run.
inline int console_file() {
    static const int fd = [] {
        const std::string name = (fuzz_support::scratch_folder() / "console").string();
        const int file = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        std::fflush(stdout);
        if (file < 0 || dup2(file, STDOUT_FILENO) < 0) fail("cannot redirect standard output");
        close(file);
        return STDOUT_FILENO;
    }();
    return fd;
}

inline void clear_console() {
    std::fflush(stdout);
    if (ftruncate(console_file(), 0) != 0 || lseek(console_file(), 0, SEEK_SET) != 0)
        fail("cannot empty the console file");
}

inline std::string read_console() {
    std::fflush(stdout);
    struct stat info {};
    if (fstat(console_file(), &info) != 0) fail("cannot stat the console file");
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    if (pread(console_file(), text.data(), text.size(), 0) != info.st_size)
        fail("cannot read the console file");
    return text;
}

inline std::string read_whole_file(const std::string &name) {
    std::string text;
    std::FILE *file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) fail("cannot read %s", name.c_str());
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) != 0)
        text.append(chunk, got);
    std::fclose(file);
    return text;
}

// The grid formats read the plain way: fscanf("%s"/"%lld"/"%lf") for text, fread for binary.
namespace reference {

enum class format { unknown, ascii, single, double_ };

struct grid {
    std::FILE *file = nullptr;
    format kind = format::unknown;
    std::int32_t ncols = 0;
    std::int32_t nrows = 0;
    double xll = 0;
    double yll = 0;
    double cellsize = 0;
    double nodata = 0;

    grid() = default;
    grid(const grid &) = delete;
    grid &operator=(const grid &) = delete;
    ~grid() {
        if (file != nullptr) std::fclose(file);
    }
};

template <typename T> T little_endian(const unsigned char *bytes) {
    using bits_type = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    bits_type bits = 0;
    for (std::size_t i = 0; i < sizeof bits; ++i)
        bits |= static_cast<bits_type>(bytes[i]) << (8 * i);
    return std::bit_cast<T>(bits);
}

// Opens the file and recognises its format from its first 48 bytes.
inline bool open(const std::string &name, grid &g) {
    g.file = std::fopen(name.c_str(), "rb");
    if (g.file == nullptr) return false;
    unsigned char start[48];
    const std::size_t got = std::fread(start, 1, sizeof start, g.file);
    if (got >= 4 && std::memcmp(start, "ncol", 4) == 0)
        g.kind = format::ascii;
    else if (got >= 48 && little_endian<double>(start + 40) == -9999.0)
        g.kind = format::double_;
    else if (got >= 24 && little_endian<float>(start + 20) == -9999.0f)
        g.kind = format::single;
    std::rewind(g.file);
    return true;
}

// fscanf("%s"), telling whether the word may stand in keyword place `place` (0 to 5): any word
// but one of the format's own keywords that belongs elsewhere, in any letter case.
inline bool text_keyword(std::FILE *file, int place) {
    int c = std::getc(file);
    while (c != EOF && std::isspace(c))
        c = std::getc(file);
    if (c == EOF) return false;
    std::string word;
    for (; c != EOF && !std::isspace(c); c = std::getc(file))
        if (word.size() < 20) word.push_back(static_cast<char>(std::tolower(c)));
    if (c != EOF) std::ungetc(c, file);
    static const char *const places[6][2] = {
        {"ncols", "ncols"},         {"nrows", "nrows"},       {"xllcorner", "xllcenter"},
        {"yllcorner", "yllcenter"}, {"cellsize", "cellsize"}, {"nodata_value", "nodata_value"}};
    bool known = word == "dx" || word == "dy";
    for (const auto &names : places)
        known = known || word == names[0] || word == names[1];
    return !known || word == places[place][0] || word == places[place][1];
}

inline bool text_count(std::FILE *file, std::int32_t &count) {
    long long value = 0;
    if (std::fscanf(file, "%lld", &value) != 1 || value < 0 ||
        value > std::numeric_limits<std::int32_t>::max())
        return false;
    count = static_cast<std::int32_t>(value);
    return true;
}

inline bool text_real(std::FILE *file, double &value) {
    return std::fscanf(file, "%lf", &value) == 1;
}

// Binary counts are truncated toward zero and must lie in the signed 32-bit range.
inline bool binary_count(double stored, std::int32_t &count) {
    if (!(std::trunc(stored) >= 0 && std::trunc(stored) <= 2147483647.0)) return false;
    count = static_cast<std::int32_t>(std::trunc(stored));
    return true;
}

template <typename T> bool binary_header(grid &g) {
    unsigned char header[12 * sizeof(T)];
    // Six numbers are there: the format was recognised by the sixth.
    const std::size_t got = std::fread(header, 1, sizeof header, g.file);
    if (got < 6 * sizeof(T)) fail("reference: recognised binary grid without six header numbers");
    g.xll = little_endian<T>(header + 2 * sizeof(T));
    g.yll = little_endian<T>(header + 3 * sizeof(T));
    g.cellsize = little_endian<T>(header + 4 * sizeof(T));
    g.nodata = little_endian<T>(header + 5 * sizeof(T));
    return binary_count(little_endian<T>(header), g.ncols) &&
           binary_count(little_endian<T>(header + sizeof(T)), g.nrows);
}

inline bool header(grid &g) {
    switch (g.kind) {
    case format::ascii:
        return text_keyword(g.file, 0) && text_count(g.file, g.ncols) && text_keyword(g.file, 1) &&
               text_count(g.file, g.nrows) && text_keyword(g.file, 2) && text_real(g.file, g.xll) &&
               text_keyword(g.file, 3) && text_real(g.file, g.yll) && text_keyword(g.file, 4) &&
               text_real(g.file, g.cellsize) && text_keyword(g.file, 5) &&
               text_real(g.file, g.nodata);
    case format::single:
        return binary_header<float>(g);
    case format::double_:
        return binary_header<double>(g);
    case format::unknown:
        break;
    }
    return false;
}

inline bool value(grid &g, double &value) {
    unsigned char bytes[8];
    switch (g.kind) {
    case format::ascii:
        return text_real(g.file, value);
    case format::single:
        if (std::fread(bytes, 1, 4, g.file) != 4) return false;
        value = little_endian<float>(bytes);
        return true;
    case format::double_:
        if (std::fread(bytes, 1, 8, g.file) != 8) return false;
        value = little_endian<double>(bytes);
        return true;
    case format::unknown:
        break;
    }
    return false;
}

inline bool same_geometry(const grid &a, const grid &b) {
    return a.ncols == b.ncols && a.nrows == b.nrows && a.xll == b.xll && a.yll == b.yll &&
           a.cellsize == b.cellsize;
}

} // namespace reference
} // namespace fuzz_support
