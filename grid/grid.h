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
// The header is read through a buffer of about 1 MiB; the cells after it are read in blocks
// (cell_block), each of a few hundred KiB of the file, decoded into doubles. A grid in a regular
// file has its blocks read at their own offsets, in any order and on any thread; a pipe or FIFO
// has them read one after the other. Either way memory stays constant for a grid of any size.
// Text numbers are read exactly as the C library's fscanf("%lf") reads them: the same value, bit
// for bit, and the same characters consumed. No number contains white space, so a text block
// takes the words that begin in its bytes, and each block decodes on its own.
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
#include <vector>

// gdal: any other raster, read through GDAL where the build has it (a GeoTIFF, say).
enum class grid_format { ascii, single, double_, gdal };

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

// How large the blocks of cells are: text blocks take this many bytes of the file (plus the
// end of their last word), binary blocks this many cells.
struct block_settings {
    std::size_t text_bytes = std::size_t{256} << 10;
    std::size_t binary_cells = std::size_t{16} << 10;
    bool in_order = false; // one block after another even where the file allows any order
    unsigned threads = 1;  // the threads of the scan, which GDAL may decode with too
};

// A raster opened through GDAL (grid/gdal_raster.h).
struct gdal_raster;
struct gdal_raster_closer {
    void operator()(gdal_raster *raster) const noexcept;
};
using gdal_raster_ptr = std::unique_ptr<gdal_raster, gdal_raster_closer>;

// A grid put on another grid's cells (grid/aligned_grid.h).
struct aligned_grid;
struct aligned_grid_closer {
    void operator()(aligned_grid *grid) const noexcept;
};
using aligned_grid_ptr = std::unique_ptr<aligned_grid, aligned_grid_closer>;

// Which band of a raster a grid reads, and how. A native grid has band 1 alone, and no scale.
struct band_choice {
    std::int32_t band = 1; // from 1
    bool raw = false;      // the stored numbers, without the band's scale and offset
};

// One open grid. The header is read through `buffer`, whose unread bytes are [pos, end), with a
// NUL at *end; at_eof is set once the file has nothing more to give. For a grid read one block
// after another, the buffer then keeps the bytes read but not yet handed to a block.
struct grid_stream {
    std::unique_ptr<std::FILE, file_closer> file; // none for a GDAL raster
    gdal_raster_ptr gdal;                         // only for a GDAL raster
    aligned_grid_ptr aligned; // only for a grid put on another's cells (align_grid)
    grid_format format = grid_format::ascii;
    grid_header header;
    std::int32_t band_count = 1; // the bands of the file: 1 for a native grid
    std::unique_ptr<char[]> buffer;
    std::size_t buffer_size = 0;
    const char *pos = nullptr;
    const char *end = nullptr;
    bool at_eof = false;
    std::uint64_t buffer_offset = 0; // where in the file buffer[0] stands
    // Set by start_cell_blocks.
    block_settings blocks;
    bool any_order = false;         // blocks read at their own offsets
    std::uint64_t cells_offset = 0; // where the first cell's bytes begin
};

// complex_values: a GDAL raster of complex numbers, which have no order. no_such_band: the file
// has fewer bands than the band asked for (grid_stream::band_count says how many).
enum class grid_open_result { ok, cannot_open, unknown_format, complex_values, no_such_band };

// True when this build reads rasters through GDAL (whether or not libgdal can be loaded).
bool gdal_built_in() noexcept;

// Opens the named file and recognises its format from its first bytes, testing "ascii", then
// "double", then "single". A file that passes none of them, or a name that can't be opened as a
// file (a GDAL virtual path such as /vsizip/..., a folder), is offered to GDAL where the build
// has it. cannot_open: the file can't be opened or read; unknown_format: it passes none of the
// tests and GDAL doesn't take it either, or GDAL must not open it (grid/gdal_access.h: memory,
// FIFOs and devices, network paths a file names). The grid is left ready for read_grid_header.
// Native grids are read buffered, never rewound or reopened, so a pipe works as a grid too.
// buffer_size (at least 128 bytes) bounds the memory used for the header and the length of one
// text token; tests make it small to split tokens across refills.
// `band` picks the band of a GDAL raster, whose cells are then read as value x scale + offset
// where the band has a scale or an offset (GDAL's unit conversion), unless band.raw; a native grid
// has only band 1.
grid_open_result open_grid(const std::string &name, grid_stream &grid,
                           std::size_t buffer_size = default_grid_buffer_size,
                           const band_choice &band = {});

// Reads the header. Returns false when it is not whole: a text header whose twelve tokens do
// not all convert or that the file ends inside; one with a known keyword of the format in the
// wrong place ("NODATA_value" where "cellsize" is due, "dx" and "dy" of non-square cells); ncols
// or nrows negative, NaN or outside the signed 32-bit range. A binary header is whole once the
// format was recognised. Throws std::bad_alloc when memory for a long token runs out.
bool read_grid_header(grid_stream &grid);

// How closely two geometries must agree. ncols and nrows always exactly; xll, yll and cellsize
// exactly (0 equals -0, a NaN equals nothing), or within_rounding: within 1e-9 of a cell, or
// within the last digits of the grid's edges on that axis where those are larger (4 x 2^-52 of
// the largest of them), as a raster whose bottom edge is worked out from its top,
// top - nrows x cellsize, can be off by.
enum class geometry_match : std::uint8_t { exact, within_rounding };

// Compares ncols, nrows, xll, yll and cellsize. nodata is not compared.
bool same_geometry(const grid_header &a, const grid_header &b,
                   geometry_match match = geometry_match::exact) noexcept;

// Which of the compared fields differ; none where same_geometry is true.
struct geometry_difference {
    bool ncols = false;
    bool nrows = false;
    bool xll = false;
    bool yll = false;
    bool cellsize = false;
    bool any() const noexcept { return ncols || nrows || xll || yll || cellsize; }
};
geometry_difference compare_geometry(const grid_header &a, const grid_header &b,
                                     geometry_match match = geometry_match::exact) noexcept;

// The geometries of two open grids: native grids exactly, within_rounding where either is a
// GDAL raster.
bool same_geometry(const grid_stream &a, const grid_stream &b) noexcept;
geometry_difference compare_geometry(const grid_stream &a, const grid_stream &b) noexcept;

// The coordinate systems of two open grids. Only GDAL rasters carry one; a grid without one is
// taken to be in the other's.
struct crs_comparison {
    bool differ = false; // both carry one, and they are not the same
    std::string a_name;  // where they differ, a short name of each: "WGS 84 (EPSG:4326)"
    std::string b_name;
};
// Throws std::bad_alloc when memory for the names runs out.
crs_comparison compare_crs(const grid_stream &a, const grid_stream &b);

// ---- cells, block by block ----

// How a block ends.
enum class block_end : std::uint8_t {
    more,      // the grid may have cells after the block's last
    no_value,  // there is no value for the cell after the block's last: the file ends, a binary
               // value is cut short, or a text token is not a number (or longer than the buffer)
    no_memory, // memory ran out while reading the block
};

// The cells of one block, in file order, and the bytes they were decoded from. Plain data,
// owned by one thread at a time; its buffers are kept when the block is used again.
struct cell_block {
    std::uint64_t index = 0; // which block of the grid, from 0; set before reading
    const double *cells = nullptr;
    std::size_t count = 0;
    block_end end = block_end::more;

    // The block's bytes, a NUL behind them. Set by read_cell_block for decode_cell_block.
    std::unique_ptr<char[]> bytes;
    std::size_t bytes_capacity = 0;
    std::size_t byte_count = 0;
    std::uint64_t file_offset = 0;    // where bytes[0] stands in the file
    bool at_eof = false;              // the file ends behind the bytes
    bool inside_word = false;         // a text block read at its offset begins inside a word
    std::size_t words_end = 0;        // a text word beginning at or behind it is the next block's
    std::unique_ptr<double[]> values; // where decoded cells go
    std::size_t values_capacity = 0;
};

// Prepares the grid, after its header, for reading its cells in blocks of the given size: a
// regular file has its blocks read at their own offsets, anything else one after the other.
void start_cell_blocks(grid_stream &grid, const block_settings &settings = {});

// True when blocks may be read in any order and on several threads at once.
bool blocks_in_any_order(const grid_stream &grid) noexcept;

// How many blocks hold the first n cells, where the block sizes are known in advance (a binary
// grid read at offsets); otherwise UINT64_MAX.
std::uint64_t blocks_for_cells(const grid_stream &grid, std::uint64_t n) noexcept;

// About how much memory one block of the grid takes, its bytes and its cells.
std::uint64_t block_memory(const grid_stream &grid) noexcept;

// Reads the bytes of block.index. For a grid read in any order, several threads may read
// different blocks at once; otherwise blocks must be read in index order, one at a time.
// Memory running out sets block.end to no_memory.
void read_cell_block(grid_stream &grid, cell_block &block) noexcept;

// Decodes the block's bytes into block.cells and block.count, and sets block.end. Any thread,
// any order, also while other blocks of the grid are read; a text block read at its offset may
// read the end of its last word from the file.
void decode_cell_block(const grid_stream &grid, cell_block &block) noexcept;

// ---- one grid on another's cells ----

// Makes `aligned` a grid with the geometry of `target` (its nodata that of `source`) whose cell
// (r, c) holds the value of the source cell that holds the centre of target's cell (r, c), as
// nearest-neighbour resampling does: the source column floor((x - xll) / cellsize) from its
// left edge, the row likewise from its top edge, yll + nrows x cellsize. Where the centre lies
// outside the source, the cell holds `outside`. Both grids are north up and in one coordinate
// system; their corners and cell sizes must be finite and their cell sizes above 0 (the caller
// checks, see aligned_geometry_usable). `source`, whose header has been read, must outlive
// `aligned` and is read through it only: once, from its top row down to the last row a target
// cell needs, in its own blocks, one after another. Memory: one source row, one source block,
// the column of each target column and the blocks in flight, whatever the two sizes.
// The blocks of `aligned` are read in order (blocks_in_any_order is false); they come decoded.
// Throws std::bad_alloc when memory for the columns runs out.
void align_grid(grid_stream &source, const grid_header &target, double outside,
                grid_stream &aligned);

// True when the header's corners, cell size and top edge are finite and its cell size is above
// 0, so that align_grid can place cells on it or it on others.
bool aligned_geometry_usable(const grid_header &header) noexcept;

// Where a block of `aligned` ended for want of a source value (block_end::no_value or
// no_memory): the first source cell, from 0 row after row, that could not be read. False while
// no block has ended so.
bool aligned_failed_cell(const grid_stream &aligned, std::uint64_t &source_cell) noexcept;

// The first cells of a grid read on this thread, block by block, up to max_cells, and how the
// grid ended if it ended first (block_end::more when it did not). For tests and small tools.
struct grid_cells {
    std::vector<double> cells;
    block_end end = block_end::more;
};
grid_cells read_grid_cells(grid_stream &grid, std::uint64_t max_cells);

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
    for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        table[static_cast<unsigned char>(c)] = true;
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

// The start of a decimal token: white space, sign, digits, point, digits; where an exponent
// or anything else would begin, it stops. With sentinel_at_last the caller guarantees a NUL at
// *last, so no character needs a bounds check; otherwise last reads as NUL. NUL can't continue
// a number, so the scan never passes last.
struct decimal_prefix {
    const char *begin; // the token's first character, behind the white space
    const char *end;
    char end_char; // the character at end
    bool negative;
    std::uint64_t mantissa; // the digits as one integer; wraps beyond 19 digits
    std::ptrdiff_t digits;
    std::ptrdiff_t fraction_digits;
};

template <bool sentinel_at_last>
inline decimal_prefix scan_decimal_prefix(const char *first, const char *last) noexcept {
    // [=]: where the sentinel stands in for it, last is not needed.
    const auto at = [=](const char *q) -> char {
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
    d.begin = p;
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
