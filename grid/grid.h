// Grid input: the three grid file formats, their detection, headers, cell values and the
// geometry comparison of two grids.
//
// "ascii"  text: twelve header tokens (six keyword and number pairs: ncols, nrows, xll, yll,
//          cellsize, nodata), then nrows x ncols decimal numbers separated by white space.
//          Recognised by its first four bytes being "ncol".
// "single" twelve little-endian float32 header numbers, then float32 cells.
// "double" twelve little-endian float64 header numbers, then float64 cells.
//          A binary grid is recognised by its sixth header number being exactly -9999.
//
// Cells are read one at a time in file order through a buffer of about 1 MiB, so a grid of any
// size is read in constant memory. Text numbers are read exactly as the C library's
// fscanf("%lf") reads them: the same value, bit for bit, and the same characters consumed.
#pragma once

#include <bit>
#include <type_traits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

enum class grid_format { ascii, single, double_ };

// The format's name as the tool prints it: "ascii", "single" or "double".
const char *grid_format_name(grid_format format) noexcept;

struct grid_header {
    std::int32_t ncols = 0;
    std::int32_t nrows = 0;
    double xll = 0;
    double yll = 0;
    double cellsize = 0;
    double nodata = 0;
};

struct file_closer {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};

inline constexpr std::size_t default_grid_buffer_size = std::size_t{1} << 20;

// One open grid. The unread bytes of the file that are already buffered are [pos, end);
// at_eof is set once the file has nothing more to give.
struct grid_stream {
    std::unique_ptr<std::FILE, file_closer> file;
    grid_format format = grid_format::ascii;
    grid_header header;
    double current_value = 0;
    std::unique_ptr<char[]> buffer;
    std::size_t buffer_size = 0;
    const char *pos = nullptr;
    const char *end = nullptr;
    bool at_eof = false;
};

enum class grid_open_result { ok, cannot_open, unknown_format };

// Opens the named file and recognises its format from its first bytes, testing "ascii", then
// "double", then "single". cannot_open: the file can't be opened or read (a directory, say);
// unknown_format: it passes none of the tests. The grid is left ready for read_grid_header.
// Reading is buffered, never rewound or reopened, so a pipe works as a grid too.
// buffer_size (at least 128 bytes) bounds the memory used and the length of one text token;
// tests make it small to split tokens across refills.
grid_open_result open_grid(const std::string &name, grid_stream &grid,
                           std::size_t buffer_size = default_grid_buffer_size);

// Reads the header. Returns false when it is not whole: a text header whose twelve tokens do
// not all convert or that the file ends inside; ncols or nrows negative, NaN or outside the
// signed 32-bit range. A binary header is whole once the format was recognised.
bool read_grid_header(grid_stream &grid);

// Reads the next cell value into grid.current_value. Returns false, leaving current_value as it
// was, when no value can be read: the file ends, a binary value is cut short, or a text token
// is not a number.
inline bool read_grid_value(grid_stream &grid);

// Exact comparison of ncols, nrows, xll, yll and cellsize (no tolerance; 0 equals -0, a NaN
// equals nothing). nodata is not compared.
bool same_geometry(const grid_header &a, const grid_header &b) noexcept;

// Text number scanning, as fscanf("%lf") and fscanf("%d") would read the text at first:
// leading white space skipped, then the longest input that is, or starts, a number.
enum class scan_status {
    ok,
    no_number, // the conversion fails: no number here, or the input ends first
    need_more  // the scan reached last before it could decide and at_end was false
};
struct number_scan {
    scan_status status;
    std::size_t consumed; // characters taken, white space included; like "%n"
    double value;
};
struct integer_scan {
    scan_status status;
    std::size_t consumed;
    std::int64_t value; // saturated at the int64 range; fscanf would wrap it
};

// [first, last) is the text at hand; at_end says whether the input ends at last.
// Does not allocate for tokens under 64 characters.
inline number_scan scan_number(const char *first, const char *last, bool at_end) noexcept;
number_scan scan_number_general(const char *first, const char *last, bool at_end) noexcept;
integer_scan scan_integer(const char *first, const char *last, bool at_end) noexcept;

// ---- inline fast paths: the scan calls these once or twice per cell ----

namespace grid_detail {

inline constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_space(char c) noexcept {
    return c == ' ' || static_cast<unsigned char>(c - '\t') < 5; // \t \n \v \f \r
}
inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// Assembled byte by byte, so it is right on any host; compilers make it one load.
template <typename T> inline T load_little_endian(const char *bytes) noexcept {
    using bits_type = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    bits_type bits = 0;
    for (std::size_t i = 0; i < sizeof bits; ++i)
        bits |= static_cast<bits_type>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    return std::bit_cast<T>(bits);
}

bool read_grid_value_refilling(grid_stream &grid);

} // namespace grid_detail

// Plain decimal tokens ([sign] digits [. digits] [e [sign] digits], at most 19 digits forming
// an integer m up to 2^53, decimal exponent within +-22) convert with one correctly rounded
// operation, m * 10^k or m / 10^k, which is what strtod gives. Everything else goes the
// general way.
inline number_scan scan_number(const char *first, const char *last, bool at_end) noexcept {
    using namespace grid_detail;
    const char *p = first;
    while (p != last && is_space(*p))
        ++p;
    const bool negative = p != last && *p == '-';
    if (p != last && (*p == '-' || *p == '+'))
        ++p;
    std::uint64_t mantissa = 0;
    const char *digits_begin = p;
    while (p != last && is_digit(*p))
        mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    std::ptrdiff_t digits = p - digits_begin;
    std::ptrdiff_t fraction_digits = 0;
    if (p != last && *p == '.') {
        const char *fraction_begin = ++p;
        while (p != last && is_digit(*p))
            mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
        fraction_digits = p - fraction_begin;
        digits += fraction_digits;
    }
    std::ptrdiff_t exponent = 0;
    if (digits != 0 && p != last && (*p | 0x20) == 'e') {
        // As fscanf does, "e" and a sign belong to the token even without exponent digits.
        ++p;
        const bool negative_exponent = p != last && *p == '-';
        if (p != last && (*p == '-' || *p == '+'))
            ++p;
        const char *exponent_begin = p;
        while (p != last && is_digit(*p) && p - exponent_begin < 5)
            exponent = exponent * 10 + (*p++ - '0');
        if (p != last && is_digit(*p))
            return scan_number_general(first, last, at_end);
        if (negative_exponent)
            exponent = -exponent;
    }
    exponent -= fraction_digits;
    const bool token_complete = p != last ? (*p | 0x20) != 'x' : at_end;
    if (digits == 0 || digits > 19 || mantissa > (std::uint64_t{1} << 53) || exponent < -22 ||
        exponent > 22 || !token_complete)
        return scan_number_general(first, last, at_end);
    double value = static_cast<double>(mantissa);
    value = exponent < 0 ? value / exact_powers_of_ten[-exponent]
                         : value * exact_powers_of_ten[exponent];
    return {scan_status::ok, static_cast<std::size_t>(p - first), negative ? -value : value};
}

inline bool read_grid_value(grid_stream &grid) {
    using namespace grid_detail;
    const std::ptrdiff_t available = grid.end - grid.pos;
    switch (grid.format) {
    case grid_format::single:
        if (available >= 4) {
            grid.current_value = load_little_endian<float>(grid.pos);
            grid.pos += 4;
            return true;
        }
        break;
    case grid_format::double_:
        if (available >= 8) {
            grid.current_value = load_little_endian<double>(grid.pos);
            grid.pos += 8;
            return true;
        }
        break;
    case grid_format::ascii: {
        const number_scan scan = scan_number(grid.pos, grid.end, grid.at_eof);
        if (scan.status == scan_status::ok) {
            grid.current_value = scan.value;
            grid.pos += scan.consumed;
            return true;
        }
        if (scan.status == scan_status::no_number)
            return false;
        break;
    }
    }
    return read_grid_value_refilling(grid);
}
