#include "grid/grid.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace {

using grid_detail::exact_powers_of_ten;
using grid_detail::is_digit;
using grid_detail::is_space;

constexpr int end_of_input = -1;
constexpr int beyond_buffer = -2;

int lower(int c) noexcept {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}
bool is_hex_digit(int c) noexcept {
    return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f');
}

// The character at p, or end_of_input, or beyond_buffer when more input may follow.
int peek(const char *p, const char *last, bool at_end) noexcept {
    if (p != last) return static_cast<unsigned char>(*p);
    return at_end ? end_of_input : beyond_buffer;
}

number_scan no_number() noexcept {
    return {scan_status::no_number, 0, 0};
}
number_scan need_more() noexcept {
    return {scan_status::need_more, 0, 0};
}

enum class conversion { ok, failed, no_memory };

// strtod needs a terminated copy: it would read on past the characters that fscanf takes
// ("nan(1)" is "nan" to fscanf).
conversion convert(const char *token, std::size_t length, double &value) noexcept {
    char small[64];
    std::unique_ptr<char[]> large;
    char *text = small;
    if (length >= sizeof small) {
        large.reset(new (std::nothrow) char[length + 1]);
        if (!large) return conversion::no_memory;
        text = large.get();
    }
    std::memcpy(text, token, length);
    text[length] = '\0';
    char *stop = nullptr;
    value = std::strtod(text, &stop);
    return stop != text ? conversion::ok : conversion::failed;
}

} // namespace

// Plain decimal tokens with an exponent or up to 19 digits (an integer m up to 2^53, decimal
// exponent within +-22) still convert with one correctly rounded operation, m * 10^k or
// m / 10^k. Everything else goes the general way.
number_scan grid_detail::scan_uncommon_number(const char *first, const char *last, bool at_end,
                                              const decimal_prefix &prefix) noexcept {
    const char *p = prefix.end;
    const auto at = [last](const char *q) { return q != last ? *q : '\0'; };
    std::ptrdiff_t exponent = -prefix.fraction_digits;
    if (prefix.digits != 0 && (at(p) | 0x20) == 'e') {
        // As fscanf does, "e" and a sign belong to the token even without exponent digits.
        ++p;
        const bool negative_exponent = at(p) == '-';
        if (negative_exponent || at(p) == '+') ++p;
        std::ptrdiff_t written = 0;
        const char *exponent_begin = p;
        for (; is_digit(at(p)) && p - exponent_begin < 5; ++p)
            written = written * 10 + (at(p) - '0');
        if (is_digit(at(p))) return scan_number_general(first, last, at_end);
        exponent += negative_exponent ? -written : written;
    }
    // "0x" starts a hexadecimal number; and a token that runs into last may go on.
    if (prefix.digits == 0 || prefix.digits > 19 || prefix.mantissa > (std::uint64_t{1} << 53) ||
        exponent < -22 || exponent > 22 || (at(p) | 0x20) == 'x' || (p == last && !at_end))
        return scan_number_general(first, last, at_end);
    double value = static_cast<double>(static_cast<std::int64_t>(prefix.mantissa));
    value = exponent < 0 ? value / exact_powers_of_ten[-exponent]
                         : value * exact_powers_of_ten[exponent];
    return {scan_status::ok, static_cast<std::size_t>(p - first), prefix.negative ? -value : value};
}

// Follows the C library's fscanf("%lf") step by step: which characters it takes decides where
// the next value starts, and strtod of exactly those characters decides the value. fscanf takes
// characters it later cannot use ("1e+" gives 1), and rejects some prefixes outright ("infin").
number_scan scan_number_general(const char *first, const char *last, bool at_end) noexcept {
    const char *p = first;
    while (p != last && is_space(*p))
        ++p;
    if (p == last) return at_end ? no_number() : need_more();
    const char *token = p;
    int c = static_cast<unsigned char>(*p);

    // Reads the next character into c; leaves the function when the buffer runs out.
#define NEXT_CHAR()                                                                                \
    do {                                                                                           \
        ++p;                                                                                       \
        c = peek(p, last, at_end);                                                                 \
        if (c == beyond_buffer) return need_more();                                                \
    } while (false)

    bool got_sign = false;
    if (c == '-' || c == '+') {
        got_sign = true;
        NEXT_CHAR();
        if (c == end_of_input) return no_number();
    }
    bool convert_now = false;
    if (lower(c) == 'n') {
        for (const char expected : {'a', 'n'}) {
            NEXT_CHAR();
            if (lower(c) != expected) return no_number();
        }
        ++p;
        convert_now = true;
    } else if (lower(c) == 'i') {
        for (const char expected : {'n', 'f'}) {
            NEXT_CHAR();
            if (lower(c) != expected) return no_number();
        }
        NEXT_CHAR();
        if (lower(c) == 'i') {
            for (const char expected : {'n', 'i', 't', 'y'}) {
                NEXT_CHAR();
                if (lower(c) != expected) return no_number();
            }
            ++p;
        }
        convert_now = true;
    }
    if (!convert_now) {
        bool hex = false;
        bool got_digit = false;
        bool got_dot = false;
        bool got_e = false;
        int exponent_char = 'e';
        if (c == '0') {
            NEXT_CHAR();
            if (lower(c) == 'x') {
                hex = true;
                exponent_char = 'p';
                NEXT_CHAR();
            } else {
                got_digit = true;
            }
        }
        while (c != end_of_input) {
            if (is_digit(static_cast<char>(c)) || (!got_e && hex && is_hex_digit(c))) {
                got_digit = true;
            } else if (got_e && lower(static_cast<unsigned char>(p[-1])) == exponent_char &&
                       (c == '-' || c == '+')) {
            } else if (got_digit && !got_e && lower(c) == exponent_char) {
                got_e = got_dot = true;
            } else if (!got_dot && c == '.') {
                got_dot = true;
            } else {
                break;
            }
            NEXT_CHAR();
        }
        const std::ptrdiff_t length = p - token;
        if (length == (got_sign ? 1 : 0) || (hex && length == (got_sign ? 3 : 2)))
            return no_number();
    }
#undef NEXT_CHAR

    double value = 0;
    switch (convert(token, static_cast<std::size_t>(p - token), value)) {
    case conversion::ok:
        return {scan_status::ok, static_cast<std::size_t>(p - first), value};
    case conversion::failed:
        return no_number();
    case conversion::no_memory:
        break;
    }
    return {scan_status::no_memory, 0, 0};
}

// fscanf("%d"): an optional sign and at least one decimal digit.
integer_scan scan_integer(const char *first, const char *last, bool at_end) noexcept {
    constexpr integer_scan failed{scan_status::no_number, 0, 0};
    const char *p = first;
    while (p != last && is_space(*p))
        ++p;
    const bool negative = p != last && *p == '-';
    if (p != last && (*p == '-' || *p == '+')) ++p;
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max();
    std::int64_t magnitude = 0;
    const char *digits_begin = p;
    for (; p != last && is_digit(*p); ++p) {
        const int digit = *p - '0';
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    if (p == last && !at_end) return {scan_status::need_more, 0, 0};
    if (p == digits_begin) return failed;
    return {scan_status::ok, static_cast<std::size_t>(p - first),
            negative ? -magnitude : magnitude};
}

namespace {

// Keeps the unread bytes and appends what the file has next. False when nothing can be added:
// the file has ended, or the unread bytes fill the whole buffer (a token that long).
bool refill(grid_stream &grid) {
    if (grid.at_eof) return false;
    const std::size_t kept = static_cast<std::size_t>(grid.end - grid.pos);
    if (kept == grid.buffer_size) return false;
    char *const begin = grid.buffer.get();
    std::memmove(begin, grid.pos, kept);
    const std::size_t wanted = grid.buffer_size - kept;
    const std::size_t got = std::fread(begin + kept, 1, wanted, grid.file.get());
    // fread returns short only at the end of the file or on a read error; both end the input.
    grid.at_eof = got < wanted;
    grid.pos = begin;
    grid.end = begin + kept + got;
    begin[kept + got] = '\0';
    return true;
}

void skip_white_space(grid_stream &grid) {
    while (grid.pos != grid.end && is_space(*grid.pos))
        ++grid.pos;
}

// Runs one text scan, refilling the buffer until the scan can decide.
template <typename Scan> auto scan_refilling(grid_stream &grid, Scan scan) {
    for (;;) {
        auto result = scan(grid.pos, grid.end, grid.at_eof);
        if (result.status == scan_status::no_memory) throw std::bad_alloc();
        if (result.status != scan_status::need_more) {
            if (result.status == scan_status::ok) grid.pos += result.consumed;
            return result;
        }
        // White space is skipped by every scan; dropping it keeps long runs of it from filling
        // the buffer.
        skip_white_space(grid);
        if (!refill(grid)) return decltype(result){scan_status::no_number, 0, {}};
    }
}

// The first characters of a header keyword: enough to tell the known keywords apart, and
// none longer than this is one of them.
struct keyword_start {
    char text[16];
    std::size_t length = 0; // up to sizeof text; longer words are cut
};

// fscanf("%s"), for a word of any length. The word is thrown away; its first characters are
// kept in `start`.
bool skip_word(grid_stream &grid, keyword_start &start) {
    for (;;) {
        skip_white_space(grid);
        if (grid.pos != grid.end) break;
        if (!refill(grid)) return false;
    }
    for (;;) {
        for (; grid.pos != grid.end && !is_space(*grid.pos); ++grid.pos)
            if (start.length < sizeof start.text) start.text[start.length++] = *grid.pos;
        if (grid.pos != grid.end || !refill(grid)) return true;
    }
}

bool read_text_count(grid_stream &grid, std::int32_t &count) {
    const integer_scan scan = scan_refilling(grid, scan_integer);
    if (scan.status != scan_status::ok || scan.value < 0 ||
        scan.value > std::numeric_limits<std::int32_t>::max())
        return false;
    count = static_cast<std::int32_t>(scan.value);
    return true;
}

bool read_text_real(grid_stream &grid, double &value) {
    const number_scan scan = scan_refilling(grid, scan_number);
    value = scan.value;
    return scan.status == scan_status::ok;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(static_cast<unsigned char>(x)) == lower(static_cast<unsigned char>(y));
           });
}

// The keyword places take any word, but one of the format's own keywords out of its place
// means the header is not the one the positions assume: "NODATA_value" before "cellsize", or
// "dx" and "dy" of non-square cells, which without a NODATA_value line would have dy read as
// the no-data value. Read by position, such a header gives a wrong report without a word.
bool keyword_fits_place(const keyword_start &word, int place) noexcept {
    static constexpr std::string_view known[] = {
        "ncols",     "nrows",    "xllcorner", "xllcenter", "yllcorner",
        "yllcenter", "cellsize", "dx",        "dy",        "NODATA_value"};
    // The known keywords that belong in each place, as indices into `known`: ncols, nrows,
    // the x corner or centre, the y corner or centre, cellsize, NODATA_value.
    struct allowed_pair {
        int first;
        int second;
    };
    static constexpr allowed_pair allowed[] = {{0, 0}, {1, 1}, {2, 3}, {4, 5}, {6, 6}, {9, 9}};
    const std::string_view text(word.text, word.length);
    for (int i = 0; i < static_cast<int>(std::size(known)); ++i)
        if (equal_ignoring_case(text, known[i]))
            return i == allowed[place].first || i == allowed[place].second;
    return true;
}

bool read_keyword(grid_stream &grid, int place) {
    keyword_start word;
    return skip_word(grid, word) && keyword_fits_place(word, place);
}

bool read_text_header(grid_stream &grid) {
    grid_header &h = grid.header;
    return read_keyword(grid, 0) && read_text_count(grid, h.ncols) && read_keyword(grid, 1) &&
           read_text_count(grid, h.nrows) && read_keyword(grid, 2) && read_text_real(grid, h.xll) &&
           read_keyword(grid, 3) && read_text_real(grid, h.yll) && read_keyword(grid, 4) &&
           read_text_real(grid, h.cellsize) && read_keyword(grid, 5) &&
           read_text_real(grid, h.nodata);
}

// A binary ncols or nrows is truncated toward zero (99.9 gives 99, -0.5 gives 0).
bool binary_count(double stored, std::int32_t &count) {
    if (!(stored > -1.0 && stored < 2147483648.0)) // NaN fails too
        return false;
    count = static_cast<std::int32_t>(stored);
    return true;
}

template <typename T> bool read_binary_header(grid_stream &grid) {
    using grid_detail::load_little_endian;
    const char *const p = grid.pos;
    grid_header &h = grid.header;
    // Detection saw the sixth number, so the six used ones are in the buffer. The other six
    // are skipped as far as the file has them.
    h.xll = load_little_endian<T>(p + 2 * sizeof(T));
    h.yll = load_little_endian<T>(p + 3 * sizeof(T));
    h.cellsize = load_little_endian<T>(p + 4 * sizeof(T));
    h.nodata = load_little_endian<T>(p + 5 * sizeof(T));
    const std::size_t header_size = 12 * sizeof(T);
    grid.pos += std::min(header_size, static_cast<std::size_t>(grid.end - grid.pos));
    return binary_count(load_little_endian<T>(p), h.ncols) &&
           binary_count(load_little_endian<T>(p + sizeof(T)), h.nrows);
}

} // namespace

grid_open_result open_grid(const std::string &name, grid_stream &grid, std::size_t buffer_size) {
    grid = grid_stream{};
    grid.file.reset(std::fopen(name.c_str(), "rb"));
    if (!grid.file) return grid_open_result::cannot_open;
    // The grid has its own buffer; stdio's would only copy the bytes once more.
    std::setvbuf(grid.file.get(), nullptr, _IONBF, 0);
    grid.buffer_size = std::max<std::size_t>(buffer_size, 128);
    grid.buffer = std::make_unique_for_overwrite<char[]>(grid.buffer_size + 1); // + the NUL
    grid.pos = grid.end = grid.buffer.get();
    refill(grid);
    if (std::ferror(grid.file.get())) // a directory, for one
        return grid_open_result::cannot_open;

    using grid_detail::load_little_endian;
    const std::size_t available = static_cast<std::size_t>(grid.end - grid.pos);
    if (available >= 4 && std::memcmp(grid.pos, "ncol", 4) == 0)
        grid.format = grid_format::ascii;
    else if (available >= 48 && load_little_endian<double>(grid.pos + 40) == -9999.0)
        grid.format = grid_format::double_;
    else if (available >= 24 && load_little_endian<float>(grid.pos + 20) == -9999.0f)
        grid.format = grid_format::single;
    else
        return grid_open_result::unknown_format;
    return grid_open_result::ok;
}

bool read_grid_header(grid_stream &grid) {
    switch (grid.format) {
    case grid_format::ascii:
        return read_text_header(grid);
    case grid_format::single:
        return read_binary_header<float>(grid);
    case grid_format::double_:
        return read_binary_header<double>(grid);
    }
    return false;
}

bool grid_detail::read_grid_value_refilling(grid_stream &grid) {
    if (grid.format == grid_format::ascii) {
        const number_scan scan = scan_refilling(grid, scan_number);
        if (scan.status != scan_status::ok) return false;
        grid.current_value = scan.value;
        return true;
    }
    const std::size_t value_size = grid.format == grid_format::single ? 4 : 8;
    while (static_cast<std::size_t>(grid.end - grid.pos) < value_size)
        if (!refill(grid))
            return false; // a value cut short at the end of the file counts as missing
    return read_grid_value(grid);
}

bool same_geometry(const grid_header &a, const grid_header &b) noexcept {
    return a.ncols == b.ncols && a.nrows == b.nrows && a.xll == b.xll && a.yll == b.yll &&
           a.cellsize == b.cellsize;
}
