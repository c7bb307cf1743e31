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

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

enum class grid_format { ascii, single, double_ };

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

// One open grid. The unread bytes of the file that are already buffered are [pos, end), and
// *end is always a NUL; at_eof is set once the file has nothing more to give.
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
// not all convert or that the file ends inside; one with a known keyword of the format in the
// wrong place ("NODATA_value" where "cellsize" is due, "dx" and "dy" of non-square cells); ncols
// or nrows negative, NaN or outside the signed 32-bit range. A binary header is whole once the
// format was recognised. Throws std::bad_alloc when memory for a long token runs out.
bool read_grid_header(grid_stream &grid);

// Reads the next cell value into grid.current_value. Returns false, leaving current_value as it
// was, when no value can be read: the file ends, a binary value is cut short, or a text token
// is not a number. Throws std::bad_alloc when memory for a long token runs out.
inline bool read_grid_value(grid_stream &grid);

// The same for a grid known to be in format F, so that a scan loop specialised on the formats
// pays no dispatch per cell.
template <grid_format F> inline bool read_grid_value_as(grid_stream &grid);

// Exact comparison of ncols, nrows, xll, yll and cellsize (no tolerance; 0 equals -0, a NaN
// equals nothing). nodata is not compared.
bool same_geometry(const grid_header &a, const grid_header &b) noexcept;

// Text number scanning, as fscanf("%lf") and fscanf("%d") would read the text at first:
// leading white space skipped, then the longest input that is, or starts, a number.
enum class scan_status {
    ok,
    no_number, // the conversion fails: no number here, or the input ends first
    need_more, // the scan reached last before it could decide and at_end was false
    no_memory  // a token of 64 characters or more needed a copy, and memory ran out
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
// Does not allocate for tokens under 64 characters; a longer token that is no plain decimal is
// copied for strtod, and when that copy can't be had the result is no_memory.
inline number_scan scan_number(const char *first, const char *last, bool at_end) noexcept;
// The same, step by step as fscanf takes the characters and strtod converts them, without the
// fast path for plain decimals: the reference that scan_number must agree with.
number_scan scan_number_general(const char *first, const char *last, bool at_end) noexcept;
integer_scan scan_integer(const char *first, const char *last, bool at_end) noexcept;

// ---- inline fast paths: the scan calls these once or twice per cell ----

namespace grid_detail {

inline constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// White space as the C library's isspace has it in the "C" locale.
inline constexpr auto space_table = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        table[c] = true;
    return table;
}();
inline bool is_space(char c) noexcept {
    return space_table[static_cast<unsigned char>(c)];
}
inline bool is_digit(char c) noexcept {
    return static_cast<unsigned char>(c - '0') < 10;
}

// Little-endian bytes to a number on any host: one load where the host is little-endian too.
template <typename T> inline T load_little_endian(const char *bytes) noexcept {
    using bits_type = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    bits_type bits = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&bits, bytes, sizeof bits);
    } else {
        for (std::size_t i = 0; i < sizeof bits; ++i)
            bits |= static_cast<bits_type>(static_cast<unsigned char>(bytes[i])) << (8 * i);
    }
    return std::bit_cast<T>(bits);
}

bool read_grid_value_refilling(grid_stream &grid);

template <grid_format F> inline constexpr std::size_t value_size = F == grid_format::single ? 4 : 8;

// The start of a decimal token: white space, sign, digits, point, digits; where an exponent
// or anything else would begin, it stops. With sentinel_at_last the caller guarantees a NUL at
// *last, so no character needs a bounds check; otherwise last reads as NUL. NUL can't continue
// a number, so the scan never passes last.
struct decimal_prefix {
    const char *end;
    char end_char; // the character at end
    bool negative;
    std::uint64_t mantissa; // the digits as one integer; wraps beyond 19 digits
    std::ptrdiff_t digits;
    std::ptrdiff_t fraction_digits;
};

template <bool sentinel_at_last>
inline decimal_prefix scan_decimal_prefix(const char *first, const char *last) noexcept {
    const auto at = [last](const char *q) -> char {
        if constexpr (sentinel_at_last)
            return *q;
        else
            return q != last ? *q : '\0';
    };
    const auto digit_at = [&at](const char *q) -> unsigned {
        return static_cast<unsigned>(static_cast<unsigned char>(at(q))) - '0';
    };
    // Two digits a step: one multiply-add for both.
    const auto take_digits = [&digit_at](const char *&q, std::uint64_t &mantissa) {
        for (;;) {
            const unsigned first_digit = digit_at(q);
            if (first_digit >= 10) return;
            const unsigned second_digit = digit_at(q + 1);
            if (second_digit >= 10) {
                mantissa = mantissa * 10 + first_digit;
                ++q;
                return;
            }
            mantissa = mantissa * 100 + (first_digit * 10 + second_digit);
            q += 2;
        }
    };
    decimal_prefix d;
    d.mantissa = 0;
    d.fraction_digits = 0;
    const char *p = first;
    while (is_space(at(p)))
        ++p;
    d.negative = at(p) == '-';
    if (d.negative || at(p) == '+') ++p;
    const char *digits_begin = p;
    take_digits(p, d.mantissa);
    d.digits = p - digits_begin;
    if (at(p) == '.') {
        const char *fraction_begin = ++p;
        take_digits(p, d.mantissa);
        d.fraction_digits = p - fraction_begin;
        d.digits += d.fraction_digits;
    }
    d.end = p;
    d.end_char = at(p);
    return d;
}

// The common token: 1 to 15 digits (so below 2^53, and at most 15 behind the point), ended by
// white space or another control character, which can't continue a number. NUL is left out: it
// is what last reads as, and the token might go on behind it.
inline bool is_common_decimal(const decimal_prefix &d) noexcept {
    return static_cast<unsigned char>(d.end_char - 1) < ' ' &&
           static_cast<std::size_t>(d.digits - 1) < 15;
}

// The exact mantissa divided by an exact power of ten: one correctly rounded operation, which
// is what strtod gives.
inline double common_decimal_value(const decimal_prefix &d) noexcept {
    double value = static_cast<double>(static_cast<std::int64_t>(d.mantissa));
    if (d.fraction_digits != 0) value /= exact_powers_of_ten[d.fraction_digits];
    return d.negative ? -value : value;
}

// The rest of scan_number for a token that is not common: exponents, long mantissas, the end
// of the text, and everything that is no plain decimal.
number_scan scan_uncommon_number(const char *first, const char *last, bool at_end,
                                 const decimal_prefix &prefix) noexcept;

} // namespace grid_detail

inline number_scan scan_number(const char *first, const char *last, bool at_end) noexcept {
    using namespace grid_detail;
    const decimal_prefix prefix = scan_decimal_prefix<false>(first, last);
    if (is_common_decimal(prefix))
        return {scan_status::ok, static_cast<std::size_t>(prefix.end - first),
                common_decimal_value(prefix)};
    return scan_uncommon_number(first, last, at_end, prefix);
}

template <grid_format F> inline bool read_grid_value_as(grid_stream &grid) {
    using namespace grid_detail;
    if constexpr (F == grid_format::ascii) {
        // The buffer keeps a NUL behind its last byte. Only the common token is read here; the
        // others, and the end of the buffer, take the longer way.
        const decimal_prefix prefix = scan_decimal_prefix<true>(grid.pos, grid.end);
        if (is_common_decimal(prefix)) {
            grid.current_value = common_decimal_value(prefix);
            // The white space that ended the token would be skipped by the next read anyway.
            grid.pos = prefix.end + is_space(prefix.end_char);
            return true;
        }
    } else {
        using value_type = std::conditional_t<F == grid_format::single, float, double>;
        if (grid.end - grid.pos >= static_cast<std::ptrdiff_t>(sizeof(value_type))) {
            grid.current_value = load_little_endian<value_type>(grid.pos);
            grid.pos += sizeof(value_type);
            return true;
        }
    }
    return read_grid_value_refilling(grid);
}

// For scans that take binary values in runs: how many whole values of format F the buffer
// holds unread (for "ascii", 0: a text value's length is not known before it is read), the
// value i places ahead, and moving past n of them, as n reads would.
template <grid_format F> inline std::size_t buffered_values(const grid_stream &grid) noexcept {
    if constexpr (F == grid_format::ascii)
        return 0;
    else
        return static_cast<std::size_t>(grid.end - grid.pos) / grid_detail::value_size<F>;
}
template <grid_format F> inline double buffered_value(const char *values, std::size_t i) noexcept {
    using value_type = std::conditional_t<F == grid_format::single, float, double>;
    return grid_detail::load_little_endian<value_type>(values + i * sizeof(value_type));
}
template <grid_format F> inline void skip_buffered_values(grid_stream &grid, std::size_t n) {
    grid.current_value = buffered_value<F>(grid.pos, n - 1);
    grid.pos += n * grid_detail::value_size<F>;
}

inline bool read_grid_value(grid_stream &grid) {
    switch (grid.format) {
    case grid_format::ascii:
        return read_grid_value_as<grid_format::ascii>(grid);
    case grid_format::single:
        return read_grid_value_as<grid_format::single>(grid);
    case grid_format::double_:
        return read_grid_value_as<grid_format::double_>(grid);
    }
    return false;
}
