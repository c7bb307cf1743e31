#include "grid/grid.h"

#include "grid/aligned_grid.h"
#include "grid/gdal_raster.h"
#include "platform/platform.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
// m / 10^k. Longer plain decimals, such as the 17 to 20 digits GDAL writes for float32 cells,
// go to std::from_chars, which rounds correctly as strtod does. Everything else, and results
// out of range, whose value strtod settles, go the general way.
number_scan grid_detail::scan_uncommon_number(const char *first, const char *last, bool at_end,
                                              const decimal_prefix &prefix) noexcept {
    const char *p = prefix.end;
    const auto at = [last](const char *q) { return q != last ? *q : '\0'; };
    std::ptrdiff_t exponent = -prefix.fraction_digits;
    bool exponent_fits = true;
    if (prefix.digits != 0 && (at(p) | 0x20) == 'e') {
        // As fscanf does, "e" and a sign belong to the token even without exponent digits.
        ++p;
        const bool negative_exponent = at(p) == '-';
        if (negative_exponent || at(p) == '+') ++p;
        std::ptrdiff_t written = 0;
        const char *exponent_begin = p;
        for (; is_digit(at(p)); ++p)
            if (p - exponent_begin < 5) written = written * 10 + (at(p) - '0');
        exponent_fits = p - exponent_begin <= 5;
        exponent += negative_exponent ? -written : written;
    }
    // "0x" starts a hexadecimal number; and a token that runs into last may go on.
    if (prefix.digits == 0 || (at(p) | 0x20) == 'x' || (p == last && !at_end))
        return scan_number_general(first, last, at_end);
    const auto consumed = static_cast<std::size_t>(p - first);
    if (prefix.digits <= 19 && prefix.mantissa <= (std::uint64_t{1} << 53) && exponent_fits &&
        exponent >= -22 && exponent <= 22) {
        double value = static_cast<double>(static_cast<std::int64_t>(prefix.mantissa));
        value = exponent < 0 ? value / exact_powers_of_ten[-exponent]
                             : value * exact_powers_of_ten[exponent];
        return {scan_status::ok, consumed, prefix.negative ? -value : value};
    }
    // from_chars takes a minus sign but no plus.
    const char *const number = prefix.begin + (*prefix.begin == '+' ? 1 : 0);
    double value = 0;
    if (std::from_chars(number, p, value, std::chars_format::general).ec == std::errc{})
        return {scan_status::ok, consumed, value};
    return scan_number_general(first, last, at_end);
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
    grid.buffer_offset += static_cast<std::uint64_t>(grid.pos - begin);
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

namespace {

grid_open_result open_native_grid(const std::string &name, grid_stream &grid,
                                  std::size_t buffer_size) {
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

} // namespace

grid_open_result open_grid(const std::string &name, grid_stream &grid, std::size_t buffer_size,
                           const band_choice &band) {
    grid = grid_stream{};
    const grid_open_result native = open_native_grid(name, grid, buffer_size);
    if (native == grid_open_result::ok)
        return band.band == 1 ? native : grid_open_result::no_such_band;
    // Only what no native test takes goes to GDAL, so every native grid reads as it always did;
    // and only files, folders and names that are no file (GDAL's virtual paths): GDAL would wait
    // for ever on a FIFO whose bytes the native tests have taken, or read a device without end.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(name, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
        !std::filesystem::is_directory(status))
        return native;
    grid = grid_stream{};
    switch (open_gdal_raster(name, grid.gdal, band, grid.band_count)) {
    case gdal_open_result::opened:
        grid.format = grid_format::gdal;
        return grid_open_result::ok;
    case gdal_open_result::no_such_band:
        return grid_open_result::no_such_band;
    case gdal_open_result::not_taken:
        return native;
    case gdal_open_result::refused:
        return grid_open_result::unknown_format;
    case gdal_open_result::complex_values:
        return grid_open_result::complex_values;
    }
    return native;
}

bool read_grid_header(grid_stream &grid) {
    switch (grid.format) {
    case grid_format::ascii:
        return read_text_header(grid);
    case grid_format::single:
        return read_binary_header<float>(grid);
    case grid_format::double_:
        return read_binary_header<double>(grid);
    case grid_format::gdal:
        return read_gdal_header(*grid.gdal, grid.header);
    }
    return false;
}

geometry_difference compare_geometry(const grid_header &a, const grid_header &b,
                                     geometry_match match) noexcept {
    geometry_difference d;
    d.ncols = a.ncols != b.ncols;
    d.nrows = a.nrows != b.nrows;
    if (match == geometry_match::exact) {
        d.xll = !(a.xll == b.xll);
        d.yll = !(a.yll == b.yll);
        d.cellsize = !(a.cellsize == b.cellsize);
        return d;
    }
    // Equal first, so that infinities match themselves; NaN fails both tests.
    const auto within = [](double u, double v, double tolerance) {
        return u == v || std::fabs(u - v) <= tolerance;
    };
    const double cell = std::max(std::fabs(a.cellsize), std::fabs(b.cellsize));
    const double cell_tolerance = 1e-9 * cell;
    // The farther edge of an axis of n cells from low lies no farther from 0 than this; an edge
    // worked out from the other, each rounded, is off by up to a unit in the last place of the
    // larger.
    const auto edge_tolerance = [&](double low_a, double low_b, std::int32_t n_a,
                                    std::int32_t n_b) {
        const double far = std::max(std::fabs(low_a), std::fabs(low_b)) + std::max(n_a, n_b) * cell;
        return std::max(cell_tolerance, 4 * std::numeric_limits<double>::epsilon() * far);
    };
    d.cellsize = !within(a.cellsize, b.cellsize, cell_tolerance);
    d.xll = !within(a.xll, b.xll, edge_tolerance(a.xll, b.xll, a.ncols, b.ncols));
    d.yll = !within(a.yll, b.yll, edge_tolerance(a.yll, b.yll, a.nrows, b.nrows));
    return d;
}

bool same_geometry(const grid_header &a, const grid_header &b, geometry_match match) noexcept {
    return !compare_geometry(a, b, match).any();
}

namespace {

geometry_match geometry_match_of(const grid_stream &a, const grid_stream &b) noexcept {
    const bool gdal = a.format == grid_format::gdal || b.format == grid_format::gdal;
    return gdal ? geometry_match::within_rounding : geometry_match::exact;
}

} // namespace

bool same_geometry(const grid_stream &a, const grid_stream &b) noexcept {
    return same_geometry(a.header, b.header, geometry_match_of(a, b));
}

geometry_difference compare_geometry(const grid_stream &a, const grid_stream &b) noexcept {
    return compare_geometry(a.header, b.header, geometry_match_of(a, b));
}

crs_comparison compare_crs(const grid_stream &a, const grid_stream &b) {
    if (a.format != grid_format::gdal || b.format != grid_format::gdal) return {};
    return compare_gdal_crs(*a.gdal, *b.gdal);
}

// ---- cells, block by block ----

namespace {

std::size_t value_size(grid_format format) noexcept {
    return format == grid_format::single ? 4 : 8;
}

// "double" cells on a little-endian host need no conversion: their bytes go straight to the
// values.
bool reads_into_values(grid_format format) noexcept {
    return format == grid_format::double_ && std::endian::native == std::endian::little;
}

// Makes room for `size` bytes and the NUL behind them, keeping the first `kept` bytes.
bool reserve_bytes(cell_block &block, std::size_t size, std::size_t kept) noexcept {
    if (size + 1 <= block.bytes_capacity) return true;
    const std::size_t capacity =
        std::max(size + 1, block.bytes_capacity + block.bytes_capacity / 2);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[capacity]);
    if (!bytes) return false;
    if (kept != 0) std::memcpy(bytes.get(), block.bytes.get(), kept);
    block.bytes = std::move(bytes);
    block.bytes_capacity = capacity;
    return true;
}

bool reserve_values(cell_block &block, std::size_t count, std::size_t kept) noexcept {
    if (count <= block.values_capacity) return true;
    const std::size_t capacity = std::max(count, block.values_capacity + block.values_capacity / 2);
    std::unique_ptr<double[]> values(new (std::nothrow) double[capacity]);
    if (!values) return false;
    if (kept != 0) std::memcpy(values.get(), block.values.get(), kept * sizeof(double));
    block.values = std::move(values);
    block.values_capacity = capacity;
    return true;
}

// Where the block's bytes go: the values themselves for cells that need no conversion.
char *byte_area(grid_format format, cell_block &block) noexcept {
    return reads_into_values(format) ? reinterpret_cast<char *>(block.values.get())
                                     : block.bytes.get();
}

bool reserve_byte_area(grid_format format, cell_block &block, std::size_t size,
                       std::size_t kept) noexcept {
    if (reads_into_values(format))
        return reserve_values(block, size / sizeof(double) + 1, kept / sizeof(double));
    return reserve_bytes(block, size, kept);
}

void read_block_at_offset(const grid_stream &grid, cell_block &block) {
    std::FILE *const file = grid.file.get();
    if (grid.format == grid_format::ascii) {
        // The byte before the block tells whether the block begins inside a word; a few bytes
        // behind it usually hold the end of its last word.
        constexpr std::size_t end_of_last_word = 64;
        const std::uint64_t start = grid.cells_offset + block.index * grid.blocks.text_bytes;
        const std::size_t lead = block.index == 0 ? 0 : 1;
        const std::size_t wanted = lead + grid.blocks.text_bytes + end_of_last_word;
        if (!reserve_bytes(block, wanted, 0)) {
            block.end = block_end::no_memory;
            return;
        }
        block.file_offset = start - lead;
        block.byte_count = read_file_at(file, block.file_offset, block.bytes.get(), wanted);
        block.bytes[block.byte_count] = '\0';
        block.at_eof = block.byte_count < wanted;
        block.inside_word =
            lead != 0 && block.byte_count != 0 && !grid_detail::is_space(block.bytes[0]);
        block.words_end = lead + grid.blocks.text_bytes;
        return;
    }
    const std::size_t size = value_size(grid.format);
    const std::size_t wanted = grid.blocks.binary_cells * size;
    if (!reserve_byte_area(grid.format, block, wanted, 0)) {
        block.end = block_end::no_memory;
        return;
    }
    block.file_offset = grid.cells_offset + block.index * wanted;
    block.byte_count = read_file_at(file, block.file_offset, byte_area(grid.format, block), wanted);
    block.at_eof = block.byte_count < wanted;
}

// The block takes the bytes left over from the block before (held in the grid's buffer) and as
// many again from the file; what it can't use whole, a partial value or word, is left over for
// the next one.
void read_next_block(grid_stream &grid, cell_block &block) {
    const bool text = grid.format == grid_format::ascii;
    const std::size_t kept = static_cast<std::size_t>(grid.end - grid.pos);
    const std::size_t wanted =
        text ? grid.blocks.text_bytes : grid.blocks.binary_cells * value_size(grid.format);
    if (!reserve_byte_area(grid.format, block, kept + wanted, 0)) {
        block.end = block_end::no_memory;
        return;
    }
    char *const area = byte_area(grid.format, block);
    std::memcpy(area, grid.pos, kept);
    std::size_t got = 0;
    if (!grid.at_eof) {
        got = std::fread(area + kept, 1, wanted, grid.file.get());
        grid.at_eof = got < wanted;
    }
    const std::size_t total = kept + got;
    std::size_t used = total;
    if (!grid.at_eof) {
        if (text) {
            // Up to the last white space. A partial word as long as the buffer can't be kept
            // for later: it is handed on as it stands, and reads as no number.
            std::size_t last_space = total;
            while (last_space != 0 && !grid_detail::is_space(area[last_space - 1]))
                --last_space;
            if (total - last_space < grid.buffer_size) used = last_space;
        } else {
            used = total - total % value_size(grid.format);
        }
    }
    char *const buffer = grid.buffer.get();
    std::memcpy(buffer, area + used, total - used);
    grid.pos = buffer;
    grid.end = buffer + (total - used);
    buffer[total - used] = '\0';
    block.byte_count = used;
    if (text) block.bytes[used] = '\0';
    block.at_eof = grid.at_eof && used == total;
    block.inside_word = false;
    block.words_end = used;
}

// Appends more of the file to a text block read at its offset, whose last word goes on past its
// bytes. False when memory runs out (then block.end says so).
bool extend_text_block(const grid_stream &grid, cell_block &block) {
    const std::size_t more = std::max<std::size_t>(block.byte_count, 64 << 10);
    if (!reserve_bytes(block, block.byte_count + more, block.byte_count)) {
        block.end = block_end::no_memory;
        return false;
    }
    const std::size_t got = read_file_at(grid.file.get(), block.file_offset + block.byte_count,
                                         block.bytes.get() + block.byte_count, more);
    block.byte_count += got;
    block.bytes[block.byte_count] = '\0';
    block.at_eof = got < more;
    return true;
}

void decode_binary_block(const grid_stream &grid, cell_block &block) {
    const std::size_t size = value_size(grid.format);
    const std::size_t count = block.byte_count / size;
    if (!reads_into_values(grid.format)) {
        if (!reserve_values(block, count, 0)) {
            block.end = block_end::no_memory;
            return;
        }
        const char *const bytes = block.bytes.get();
        double *const values = block.values.get();
        using grid_detail::load_little_endian;
        if (grid.format == grid_format::single) {
            for (std::size_t i = 0; i < count; ++i)
                values[i] = load_little_endian<float>(bytes + 4 * i);
        } else {
            for (std::size_t i = 0; i < count; ++i)
                values[i] = load_little_endian<double>(bytes + 8 * i);
        }
    }
    block.cells = block.values.get();
    block.count = count;
    // A value cut short at the end of the file counts as missing.
    if (block.at_eof) block.end = block_end::no_value;
}

// The common tokens from p on, as many as follow each other: where they stop, at a token that
// is not common or at a word that is the next block's, and where the next value goes.
struct common_run {
    const char *stop;
    double *out;
    bool words_done; // stop begins a word of the next block
};

inline common_run decode_common_tokens(const char *p, const char *words_end, double *out) {
    using namespace grid_detail;
    for (;;) {
        const char *q = p;
        while (is_space(*q)) // the NUL behind the bytes stops it
            ++q;
        if (q != p && q >= words_end) return {q, out, true};
        const decimal_prefix prefix = scan_decimal_prefix<true>(q, nullptr);
        if (!is_common_decimal(prefix)) return {q, out, false};
        *out++ = common_decimal_value(prefix);
        p = prefix.end;
    }
}

// Each scan takes one number, as fscanf would; a word ("1-2" is two numbers, "5abc" one and
// then none) is scanned until its end. Words that begin at or behind words_end, and the rest
// of a word the block begins inside, belong to another block.
void decode_text_block(const grid_stream &grid, cell_block &block) {
    using namespace grid_detail;
    block.cells = nullptr;
    block.count = 0;
    std::size_t p = 0;
    if (grid.any_order && block.index != 0) {
        // Behind the byte before the block; and behind the rest of a word begun before it.
        p = std::min<std::size_t>(1, block.byte_count);
        if (block.inside_word) {
            while (p < block.byte_count && !is_space(block.bytes[p]))
                ++p;
            // All of it that is at hand: no word begins in the block.
            if (p == block.byte_count) {
                if (block.at_eof) block.end = block_end::no_value;
                return;
            }
        }
    }
    std::size_t count = 0;
    if (!reserve_values(block, block.byte_count + 1, 0)) {
        block.end = block_end::no_memory;
        return;
    }
    for (;;) {
        const char *const bytes = block.bytes.get();
        const char *const last = bytes + block.byte_count;
        // Past the bytes at hand every word is the block's own.
        const char *const words_end = bytes + std::min(block.words_end, block.byte_count + 1);
        const common_run run =
            decode_common_tokens(bytes + p, words_end, block.values.get() + count);
        count = static_cast<std::size_t>(run.out - block.values.get());
        if (run.words_done) break;
        const std::size_t q = static_cast<std::size_t>(run.stop - bytes);
        if (q == block.byte_count) {
            if (block.at_eof) {
                block.end = block_end::no_value;
                break;
            }
            // A block read one after another ends behind its last word.
            if (!grid.any_order) break;
        }
        const number_scan scan = scan_uncommon_number(run.stop, last, block.at_eof,
                                                      scan_decimal_prefix<true>(run.stop, last));
        if (scan.status == scan_status::ok) {
            // A token must fit in the grid's buffer with the character behind it, unless the
            // file ends with it.
            if (scan.consumed > grid.buffer_size ||
                (scan.consumed == grid.buffer_size &&
                 !(q + scan.consumed == block.byte_count && block.at_eof))) {
                block.end = block_end::no_value;
                break;
            }
            block.values[count++] = scan.value;
            p = q + scan.consumed;
            continue;
        }
        if (scan.status == scan_status::need_more) {
            // The word goes on past the bytes at hand; one of a buffer's length or more reads
            // as no number.
            if (grid.any_order && block.byte_count - q < grid.buffer_size &&
                extend_text_block(grid, block)) {
                if (!reserve_values(block, block.byte_count + 1, count)) {
                    block.end = block_end::no_memory;
                    break;
                }
                p = q;
                continue;
            }
            if (block.end != block_end::no_memory) block.end = block_end::no_value;
            break;
        }
        block.end =
            scan.status == scan_status::no_memory ? block_end::no_memory : block_end::no_value;
        break;
    }
    block.cells = block.values.get();
    block.count = count;
}

} // namespace

void start_cell_blocks(grid_stream &grid, const block_settings &settings) {
    if (grid.aligned) {
        start_aligned_blocks(grid, settings);
        return;
    }
    grid.blocks = settings;
    grid.blocks.text_bytes = std::max<std::size_t>(grid.blocks.text_bytes, 1);
    grid.blocks.binary_cells = std::max<std::size_t>(grid.blocks.binary_cells, 1);
    if (grid.format == grid_format::gdal) {
        grid.any_order = start_gdal_blocks(*grid.gdal, settings.threads);
        return;
    }
    grid.any_order = !settings.in_order && is_regular_file(grid.file.get());
    grid.cells_offset =
        grid.format == grid_format::ascii
            ? grid.buffer_offset + static_cast<std::uint64_t>(grid.pos - grid.buffer.get())
            : 12 * value_size(grid.format);
}

bool blocks_in_any_order(const grid_stream &grid) noexcept {
    return grid.any_order;
}

std::uint64_t blocks_for_cells(const grid_stream &grid, std::uint64_t n) noexcept {
    const auto blocks = [n](std::uint64_t block_cells) {
        return n / block_cells + (n % block_cells != 0 ? 1 : 0);
    };
    if (grid.aligned) return blocks(std::max<std::uint64_t>(aligned_block_cells(grid), 1));
    if (grid.format == grid_format::gdal)
        return blocks(std::max<std::uint64_t>(gdal_block_cells(*grid.gdal), 1));
    if (!grid.any_order || grid.format == grid_format::ascii)
        return std::numeric_limits<std::uint64_t>::max();
    return blocks(grid.blocks.binary_cells);
}

std::uint64_t block_memory(const grid_stream &grid) noexcept {
    if (grid.aligned) return aligned_block_bytes(grid);
    switch (grid.format) {
    case grid_format::ascii:
        // The values of the shortest tokens: one digit and a blank each.
        return grid.blocks.text_bytes + grid.blocks.text_bytes / 2 * sizeof(double);
    case grid_format::single:
    case grid_format::double_:
        return grid.blocks.binary_cells * (value_size(grid.format) + sizeof(double));
    case grid_format::gdal:
        return gdal_block_bytes(*grid.gdal);
    }
    return 0;
}

void read_cell_block(grid_stream &grid, cell_block &block) noexcept {
    block.cells = nullptr;
    block.count = 0;
    block.end = block_end::more;
    if (grid.aligned)
        read_aligned_block(grid, block);
    else if (grid.format == grid_format::gdal)
        read_gdal_block(*grid.gdal, block);
    else if (grid.any_order)
        read_block_at_offset(grid, block);
    else
        read_next_block(grid, block);
}

void decode_cell_block(const grid_stream &grid, cell_block &block) noexcept {
    // A GDAL raster's blocks and those of a grid on another's cells come decoded.
    if (block.end == block_end::no_memory || grid.aligned || grid.format == grid_format::gdal)
        return;
    if (grid.format == grid_format::ascii)
        decode_text_block(grid, block);
    else
        decode_binary_block(grid, block);
}

grid_cells read_grid_cells(grid_stream &grid, std::uint64_t max_cells) {
    grid_cells result;
    cell_block block;
    for (block.index = 0; result.cells.size() < max_cells; ++block.index) {
        read_cell_block(grid, block);
        decode_cell_block(grid, block);
        const std::size_t wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(block.count, max_cells - result.cells.size()));
        result.cells.insert(result.cells.end(), block.cells, block.cells + wanted);
        // A grid that ends right behind the last cell asked for did not end first.
        if (result.cells.size() < max_cells && block.end != block_end::more) {
            result.end = block.end;
            break;
        }
    }
    return result;
}
