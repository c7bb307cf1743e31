// Grid files: format detection, header reading, cell values and the geometry comparison, on
// small files written byte by byte.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "grid/grid.h"
#include "test_support.h"

namespace {

using test_support::binary_grid;
using test_support::geometry;
using test_support::little_endian_bytes;
using test_support::text_grid;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Six used header numbers and six free ones, as written by hand.
template <typename T> std::string binary_header(std::vector<double> six) {
    std::string bytes;
    for (const double field : six)
        bytes += little_endian_bytes(static_cast<T>(field));
    for (int i = 0; i < 6; ++i)
        bytes += little_endian_bytes(static_cast<T>(i + 100));
    return bytes;
}

class GridFiles : public test_support::scratch_test {
  protected:
    grid_open_result open(const std::string &bytes, grid_stream &grid) {
        const std::string file = path("grid");
        test_support::write_file(file, bytes);
        return open_grid(file, grid);
    }
};

struct detection_case {
    const char *name;
    std::string bytes;
    grid_open_result result;
    grid_format format;
};

TEST_F(GridFiles, FormatIsRecognisedFromTheFirstBytes) {
    const std::string single_24 = binary_header<float>({3, 2, 0, 0, 1, -9999}).substr(0, 24);
    std::string both = binary_header<double>({3, 2, 0, 0, 1, -9999});
    both.replace(20, 4, little_endian_bytes(-9999.0f));
    const float below = std::nextafter(-9999.0f, -1e9f);
    const double below_double = std::nextafter(-9999.0, -1e9);
    const detection_case cases[] = {
        {"text", "ncols 1\nnrows 1\nx 0\ny 0\nc 1\nn -9999\n5\n", grid_open_result::ok,
         grid_format::ascii},
        {"any word starting ncol", "ncolumns 1 a 1 b 0 c 0 d 1 e 0 5", grid_open_result::ok,
         grid_format::ascii},
        {"just ncol", "ncol", grid_open_result::ok, grid_format::ascii},
        {"upper case", "NCOLS 1\nnrows 1\n", grid_open_result::unknown_format, {}},
        {"blank first", " ncols 1\nnrows 1\n", grid_open_result::unknown_format, {}},
        {"blank line first", "\nncols 1\nnrows 1\n", grid_open_result::unknown_format, {}},
        {"byte order mark", "\xef\xbb\xbfncols 1\n", grid_open_result::unknown_format, {}},
        {"empty", "", grid_open_result::unknown_format, {}},
        {"short", std::string(23, '\0'), grid_open_result::unknown_format, {}},
        {"single", binary_header<float>({3, 2, 0, 0, 1, -9999}), grid_open_result::ok,
         grid_format::single},
        {"single of 24 bytes", single_24, grid_open_result::ok, grid_format::single},
        {"single nodata one step off",
         binary_header<float>({3, 2, 0, 0, 1, below}),
         grid_open_result::unknown_format,
         {}},
        {"single nodata NaN",
         binary_header<float>({3, 2, 0, 0, 1, nan}),
         grid_open_result::unknown_format,
         {}},
        {"double", binary_header<double>({3, 2, 0, 0, 1, -9999}), grid_open_result::ok,
         grid_format::double_},
        {"double nodata one step off",
         binary_header<double>({3, 2, 0, 0, 1, below_double}),
         grid_open_result::unknown_format,
         {}},
        {"double of 47 bytes",
         binary_header<double>({3, 2, 0, 0, 1, -9999}).substr(0, 47),
         grid_open_result::unknown_format,
         {}},
        {"passes both binary tests", both, grid_open_result::ok, grid_format::double_},
        {"nodata -9999 but other values odd", binary_header<float>({nan, -5, nan, 1e30, 0, -9999}),
         grid_open_result::ok, grid_format::single},
    };
    for (const detection_case &c : cases) {
        grid_stream grid;
        ASSERT_EQ(open(c.bytes, grid), c.result) << c.name;
        if (c.result == grid_open_result::ok) {
            EXPECT_EQ(grid.format, c.format) << c.name;
        }
    }
}

TEST_F(GridFiles, MissingFileOrDirectoryCannotBeOpened) {
    grid_stream grid;
    EXPECT_EQ(open_grid(path("missing"), grid), grid_open_result::cannot_open);
    EXPECT_EQ(open_grid(dir.string(), grid), grid_open_result::cannot_open);
    EXPECT_EQ(open_grid("", grid), grid_open_result::cannot_open);
}

struct header_case {
    const char *name;
    std::string bytes;
    bool whole;
    grid_header expected;
};

TEST_F(GridFiles, HeadersAreReadOrRefused) {
    const std::string long_word(5000, 'k');
    const header_case cases[] = {
        {"text on six lines",
         "ncols 4\nnrows 3\nxllcorner 10.5\nyllcorner -2\ncellsize 0.25\nNODATA_value -1\n",
         true,
         {4, 3, 10.5, -2, 0.25, -1}},
        {"text on one line",
         "ncols 4 nrows 3 a 10.5 b -2 c 0.25 d -1",
         true,
         {4, 3, 10.5, -2, 0.25, -1}},
        {"text odd spacing and keywords",
         "ncolX\t\t+4\r\n\r\nfoo 3 bar 1e3 baz 0x10 q .5 r nan",
         true,
         {4, 3, 1000, 16, 0.5, nan}},
        {"text keyword of any length",
         "ncols 1 " + long_word + " 2 x 0 y 0 c 1 n 0",
         true,
         {1, 2, 0, 0, 1, 0}},
        {"text largest counts",
         "ncols 2147483647 nrows 0 x 0 y 0 c 1 n 0",
         true,
         {2147483647, 0, 0, 0, 1, 0}},
        {"text ncols 10.0", "ncols 10.0 nrows 3 x 0 y 0 c 1 n 0", false, {}},
        {"text ends inside header", "ncols 4 nrows 3 x 0 y 0 c 1 n", false, {}},
        {"text ends after a keyword", "ncols 4 nrows", false, {}},
        {"text just ncol", "ncol", false, {}},
        {"text negative ncols", "ncols -4 nrows 3 x 0 y 0 c 1 n 0", false, {}},
        {"text negative nrows", "ncols 4 nrows -1 x 0 y 0 c 1 n 0", false, {}},
        {"text ncols past int32", "ncols 2147483648 nrows 3 x 0 y 0 c 1 n 0", false, {}},
        {"text ncols far past int32", "ncols 4294967297 nrows 3 x 0 y 0 c 1 n 0", false, {}},
        {"text not a number", "ncols 4 nrows 3 x 0 y * c 1 n 0", false, {}},
        // Non-square cells: dx and dy in place of cellsize, with or without a no-data line.
        {"text dx and dy", "ncols 4 nrows 3 x 0 y 0 dx 2 dy 1 NODATA_value -1", false, {}},
        {"text dx and dy without nodata", "ncols 4 nrows 3 x 0 y 0 DX 2 dy 1 5 5 5", false, {}},
        {"text keyword only starting dx",
         "ncols 4 nrows 3 x 0 y 0 dxy 2 n 1",
         true,
         {4, 3, 0, 0, 2, 1}},
        {"single",
         binary_header<float>({4, 3, 0.5, -2, 0.25, -9999}),
         true,
         {4, 3, 0.5, -2, 0.25, -9999}},
        {"single widened",
         binary_header<float>({4, 3, 0.1, 0, 1, -9999}),
         true,
         {4, 3, static_cast<double>(0.1f), 0, 1, -9999}},
        {"single of 24 bytes",
         binary_header<float>({4, 3, 1, 2, 3, -9999}).substr(0, 24),
         true,
         {4, 3, 1, 2, 3, -9999}},
        {"single counts truncated",
         binary_header<float>({99.9, -0.5, 0, 0, 1, -9999}),
         true,
         {99, 0, 0, 0, 1, -9999}},
        {"single negative count", binary_header<float>({-1, 3, 0, 0, 1, -9999}), false, {}},
        {"single NaN count", binary_header<float>({4, nan, 0, 0, 1, -9999}), false, {}},
        {"single count past int32",
         binary_header<float>({2147483648.0, 1, 0, 0, 1, -9999}),
         false,
         {}},
        {"double",
         binary_header<double>({4, 3, 0.1, -2, 0.25, -9999}),
         true,
         {4, 3, 0.1, -2, 0.25, -9999}},
        {"double largest count",
         binary_header<double>({2147483647.9, 1, 0, 0, 1, -9999}),
         true,
         {2147483647, 1, 0, 0, 1, -9999}},
        {"double count past int32",
         binary_header<double>({2147483648.0, 1, 0, 0, 1, -9999}),
         false,
         {}},
        {"double infinite count", binary_header<double>({1, INFINITY, 0, 0, 1, -9999}), false, {}},
    };
    for (const header_case &c : cases) {
        grid_stream grid;
        ASSERT_EQ(open(c.bytes, grid), grid_open_result::ok) << c.name;
        ASSERT_EQ(read_grid_header(grid), c.whole) << c.name;
        if (!c.whole) continue;
        const grid_header &h = grid.header;
        EXPECT_EQ(h.ncols, c.expected.ncols) << c.name;
        EXPECT_EQ(h.nrows, c.expected.nrows) << c.name;
        EXPECT_EQ(h.xll, c.expected.xll) << c.name;
        EXPECT_EQ(h.yll, c.expected.yll) << c.name;
        EXPECT_EQ(h.cellsize, c.expected.cellsize) << c.name;
        if (std::isnan(c.expected.nodata)) {
            EXPECT_TRUE(std::isnan(h.nodata)) << c.name;
        } else {
            EXPECT_EQ(h.nodata, c.expected.nodata) << c.name;
        }
    }
}

// Every value the grid gives, up to the first that can't be read, in blocks of this size.
grid_cells cells_of(grid_stream &grid, const block_settings &settings) {
    start_cell_blocks(grid, settings);
    return read_grid_cells(grid, 1000);
}

TEST_F(GridFiles, CellsAreReadInFileOrderUntilTheyRunOut) {
    const geometry g{3, 1};
    struct value_case {
        const char *name;
        std::string bytes;
        std::vector<double> values;
        bool ends_early = true; // no value after these, within the first 1000
    } cases[] = {
        {"text", text_grid(g, {"1.5", "-2", "3e2"}), {1.5, -2, 300}},
        {"text stops at a non-number", text_grid(g, {"1", "*", "3"}), {1}},
        {"text 5abc reads 5", text_grid(g, {"1", "5abc", "3"}), {1, 5}},
        {"text 1-2 reads two numbers", text_grid(g, {"1-2", "3"}), {1, -2, 3}},
        {"text lines carry no meaning", "ncols 3 nrows 1 x 0 y 0 c 1 n 0 1\n\n\n2\t3", {1, 2, 3}},
        {"text CR LF", "ncols 3\r\nnrows 1\r\nx 0\r\ny 0\r\nc 1\r\nn 0\r\n1 2 3\r\n", {1, 2, 3}},
        {"text right behind the header", "ncols 3 nrows 1 x 0 y 0 c 1 n -9999abc 1", {}},
        {"text long decimals",
         text_grid(g, {"2077.699951171875", "0.10000000149011611938", "1"}),
         {2077.699951171875, 0.10000000149011611938, 1}},
        {"single widened", binary_grid<float>(g, {0.1, -2, 3}), {0.1f, -2, 3}},
        {"single cut short", binary_grid<float>(g, {1, 2, 3}).substr(0, 48 + 4 + 3), {1}},
        {"double", binary_grid<double>(g, {0.1, -2, 1e300}), {0.1, -2, 1e300}},
        {"double cut short", binary_grid<double>(g, {1, 2, 3}).substr(0, 96 + 8 + 7), {1}},
    };
    for (auto &c : cases) {
        // Blocks of one byte or cell and more, read at their offsets and one after another.
        for (const std::size_t size : {1u, 2u, 3u, 5u, 64u, 4096u}) {
            for (const bool in_order : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(size) +
                             (in_order ? ", in order" : ", at offsets"));
                grid_stream grid;
                ASSERT_EQ(open(c.bytes, grid), grid_open_result::ok);
                ASSERT_TRUE(read_grid_header(grid));
                const grid_cells got = cells_of(grid, {size, size, in_order});
                EXPECT_EQ(got.cells, c.values);
                EXPECT_EQ(got.end, block_end::no_value);
            }
        }
    }
}

TEST(Geometry, ComparedExactlyWithoutNodata) {
    const grid_header base{4, 3, 0.5, 1, 2, -9999};
    const auto with = [&](auto change) {
        grid_header h = base;
        change(h);
        return h;
    };
    EXPECT_TRUE(same_geometry(base, base));
    EXPECT_TRUE(same_geometry(base, with([](grid_header &h) { h.nodata = 0; })));
    EXPECT_FALSE(same_geometry(base, with([](grid_header &h) { h.ncols = 5; })));
    EXPECT_FALSE(same_geometry(base, with([](grid_header &h) { h.nrows = 2; })));
    EXPECT_FALSE(
        same_geometry(base, with([](grid_header &h) { h.yll = std::nextafter(1.0, 2.0); })));
    EXPECT_FALSE(same_geometry(base, with([](grid_header &h) { h.cellsize = 2.5; })));
    const grid_header zero{4, 3, 0.0, 0.0, 1, 0};
    const grid_header minus_zero{4, 3, -0.0, -0.0, 1, 0};
    EXPECT_TRUE(same_geometry(zero, minus_zero));
    const grid_header no_size{4, 3, 0, 0, nan, 0};
    EXPECT_FALSE(same_geometry(no_size, no_size));
    // A "single" grid's fields are float32 widened: 0.1 differs, 0.5 does not.
    EXPECT_FALSE(same_geometry(with([](grid_header &h) { h.xll = 0.1; }),
                               with([](grid_header &h) { h.xll = static_cast<float>(0.1); })));
    EXPECT_TRUE(same_geometry(base, with([](grid_header &h) { h.xll = static_cast<float>(0.5); })));
}

// A GDAL raster's bottom edge is its top less nrows cells, rounded twice: within a billionth of a
// cell, or within the last digits of far edges, it matches; native grids still match exactly.
TEST(Geometry, WithGdalRastersComparedWithinRounding) {
    const grid_header base{4, 3, 0.1, 0.1, 0.1, -9999};
    const auto with = [&](auto change) {
        grid_header h = base;
        change(h);
        return h;
    };
    struct geometry_case {
        const char *name;
        grid_header a;
        grid_header b;
        bool within_rounding; // the answer for a GDAL raster; a native pair matches only if equal
    };
    const geometry_case cases[] = {
        {"the same", base, base, true},
        {"nodata apart", base, with([](grid_header &h) { h.nodata = 0; }), true},
        {"0.1 from 0.8 less 7 cells", base, with([](grid_header &h) { h.yll = 0.8 - 7 * 0.1; }),
         true},
        {"yll 1e-10 cells off", base, with([](grid_header &h) { h.yll += 1e-11; }), true},
        {"xll 1e-10 cells below", base, with([](grid_header &h) { h.xll -= 1e-11; }), true},
        {"cellsize 1e-10 cells off", base, with([](grid_header &h) { h.cellsize += 1e-11; }), true},
        {"yll 1e-8 cells off", base, with([](grid_header &h) { h.yll += 1e-9; }), false},
        {"xll 1e-8 cells off", base, with([](grid_header &h) { h.xll -= 1e-9; }), false},
        {"cellsize 1e-8 cells off", base, with([](grid_header &h) { h.cellsize += 1e-9; }), false},
        {"one column more", base, with([](grid_header &h) { h.ncols = 5; }), false},
        {"one row fewer", base, with([](grid_header &h) { h.nrows = 2; }), false},
        // gdal_translate's own top edge 8388660.9 less 913 cells of 0.1: 9.3e-9 cells above.
        {"a far bottom edge worked out from the top",
         {1, 913, 0, 8388569.6, 0.1, 0},
         {1, 913, 0, 8388569.600000001, 0.1, 0},
         true},
        {"a far bottom edge 1e-7 cells off",
         {1, 913, 0, 8388569.6, 0.1, 0},
         {1, 913, 0, 8388569.6 + 1e-8, 0.1, 0},
         false},
        {"0 and -0", {4, 3, 0.0, 0.0, 1, 0}, {4, 3, -0.0, -0.0, 1, 0}, true},
        {"NaN cell size", {4, 3, 0, 0, nan, 0}, {4, 3, 0, 0, nan, 0}, false},
        {"NaN corner", {4, 3, nan, 0, 1, 0}, {4, 3, nan, 0, 1, 0}, false},
        {"infinite corner", {4, 3, inf, 0, 1, 0}, {4, 3, inf, 0, 1, 0}, true},
    };
    for (const geometry_case &c : cases) {
        SCOPED_TRACE(c.name);
        const bool equal = c.a.xll == c.b.xll && c.a.yll == c.b.yll &&
                           c.a.cellsize == c.b.cellsize && c.a.ncols == c.b.ncols &&
                           c.a.nrows == c.b.nrows;
        EXPECT_EQ(same_geometry(c.a, c.b, geometry_match::within_rounding), c.within_rounding);
        EXPECT_EQ(same_geometry(c.b, c.a, geometry_match::within_rounding), c.within_rounding);
        EXPECT_EQ(same_geometry(c.a, c.b), equal);
        // Open grids: within rounding where either is a GDAL raster.
        for (const auto &[format_a, format_b] : {std::pair{grid_format::ascii, grid_format::single},
                                                 {grid_format::double_, grid_format::ascii},
                                                 {grid_format::gdal, grid_format::ascii},
                                                 {grid_format::single, grid_format::gdal},
                                                 {grid_format::gdal, grid_format::gdal}}) {
            grid_stream a;
            grid_stream b;
            a.format = format_a;
            b.format = format_b;
            a.header = c.a;
            b.header = c.b;
            const bool gdal = format_a == grid_format::gdal || format_b == grid_format::gdal;
            EXPECT_EQ(same_geometry(a, b), gdal ? c.within_rounding : equal);
        }
    }
}

// What differs is told field by field, by the same rule as the whole comparison: a field within
// rounding is not named where a GDAL raster is involved, and is where two native grids differ.
TEST(Geometry, TheFieldsThatDifferAreNamed) {
    const grid_header base{7, 5, 500000, 4999550, 90, -9999};
    const auto with = [&](auto change) {
        grid_header h = base;
        change(h);
        return h;
    };
    // Which fields differ, as a word of the letters c (ncols), r (nrows), x, y and s (cellsize).
    const auto named = [](const geometry_difference &d) {
        std::string letters;
        if (d.ncols) letters += 'c';
        if (d.nrows) letters += 'r';
        if (d.xll) letters += 'x';
        if (d.yll) letters += 'y';
        if (d.cellsize) letters += 's';
        return letters;
    };
    struct difference_case {
        const char *name;
        grid_header b;
        const char *exact;
        const char *within_rounding;
    };
    const difference_case cases[] = {
        {"the same", base, "", ""},
        {"one column narrower", with([](grid_header &h) { h.ncols = 6; }), "c", "c"},
        {"one column narrower, its corner a rounding off", with([](grid_header &h) {
             h.ncols = 6;
             h.xll = std::nextafter(h.xll, 0.0);
         }),
         "cx", "c"},
        {"cells of 28.5, bottom edge worked out from the same top", with([](grid_header &h) {
             h.cellsize = 28.5;
             h.yll = 5000000 - 5 * 28.5;
         }),
         "ys", "ys"},
        {"cells a rounding apart", with([](grid_header &h) { h.cellsize *= 1 + 1e-12; }), "s", ""},
        {"rows and bottom edge", with([](grid_header &h) {
             h.nrows = 4;
             h.yll += 90;
         }),
         "ry", "ry"},
        {"NaN cell size", with([](grid_header &h) { h.cellsize = nan; }), "s", "s"},
    };
    for (const difference_case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(named(compare_geometry(base, c.b)), c.exact);
        EXPECT_EQ(named(compare_geometry(c.b, base, geometry_match::within_rounding)),
                  c.within_rounding);
        EXPECT_EQ(compare_geometry(base, c.b).any(), !same_geometry(base, c.b));
        EXPECT_EQ(compare_geometry(base, c.b, geometry_match::within_rounding).any(),
                  !same_geometry(base, c.b, geometry_match::within_rounding));
    }
}

} // namespace
