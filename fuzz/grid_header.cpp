// Grid recognition, header and first cell values on arbitrary bytes, held against the plain
// stdio reader: the same format, the same header fields, the same values up to the same first
// missing one. The tool reads once with a buffer that takes the whole file at once, as its usual
// 1 MiB buffer does for files of this size, and once with a buffer of about 128 bytes, so that
// tokens and binary values straddle refills at every offset.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "grid/grid.h"

namespace {

using fuzz_support::fail;
using fuzz_support::same_value;
namespace reference = fuzz_support::reference;

constexpr int values_to_compare = 64;

grid_format tool_format(reference::format kind) {
    switch (kind) {
    case reference::format::single:
        return grid_format::single;
    case reference::format::double_:
        return grid_format::double_;
    default:
        return grid_format::ascii;
    }
}

// A text number must fit in the buffer with the character after it; longer ones fail there by
// design, so a small buffer is only tried when every run of non-blank bytes is short.
std::size_t longest_token(const std::uint8_t *data, std::size_t size) {
    std::size_t longest = 0;
    std::size_t current = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        current = grid_detail::is_space(c) ? 0 : current + 1;
        longest = current > longest ? current : longest;
    }
    return longest;
}

void compare_with_reference(const std::string &name, std::size_t buffer_size, bool in_order) {
    reference::grid expected;
    if (!reference::open(name, expected)) fail("reference cannot open %s", name.c_str());
    grid_stream grid;
    const grid_open_result opened = open_grid(name, grid, buffer_size);
    // A file in none of the native formats that GDAL takes as a raster (GDAL reads a great
    // many formats) is beyond what the plain reader knows.
    if (opened == grid_open_result::ok && grid.format == grid_format::gdal) return;
    if (expected.kind == reference::format::unknown) {
        if (opened != grid_open_result::unknown_format)
            fail("buffer %zu: recognised a grid in no format (result %d)", buffer_size,
                 static_cast<int>(opened));
        return;
    }
    if (opened != grid_open_result::ok || grid.format != tool_format(expected.kind))
        fail("buffer %zu: format not recognised as %d (result %d)", buffer_size,
             static_cast<int>(expected.kind), static_cast<int>(opened));

    const bool header_whole = reference::header(expected);
    if (read_grid_header(grid) != header_whole)
        fail("buffer %zu: header whole is %d for the reference", buffer_size, header_whole);
    if (!header_whole) return;
    const grid_header &h = grid.header;
    if (h.ncols != expected.ncols || h.nrows != expected.nrows ||
        !same_value(h.xll, expected.xll) || !same_value(h.yll, expected.yll) ||
        !same_value(h.cellsize, expected.cellsize) || !same_value(h.nodata, expected.nodata))
        fail("buffer %zu: header %d %d %a %a %a %a, reference %d %d %a %a %a %a", buffer_size,
             h.ncols, h.nrows, h.xll, h.yll, h.cellsize, h.nodata, expected.ncols, expected.nrows,
             expected.xll, expected.yll, expected.cellsize, expected.nodata);

    // Cells block by block, with blocks of a few bytes or cells so that words and values
    // straddle block ends at every offset, read at offsets and one after another.
    std::vector<double> expected_values;
    bool expected_end = false;
    for (int i = 0; i < values_to_compare && !expected_end; ++i) {
        double value = 0;
        if (reference::value(expected, value))
            expected_values.push_back(value);
        else
            expected_end = true;
    }
    block_settings settings;
    settings.text_bytes = 1 + name.size() % 7 + buffer_size % 13;
    settings.binary_cells = 1 + buffer_size % 5;
    settings.in_order = in_order;
    start_cell_blocks(grid, settings);
    const grid_cells got = read_grid_cells(grid, values_to_compare);
    if (got.cells.size() != expected_values.size())
        fail("buffer %zu, in order %d: %zu values, reference %zu", buffer_size, in_order,
             got.cells.size(), expected_values.size());
    for (std::size_t i = 0; i < got.cells.size(); ++i)
        if (!same_value(got.cells[i], expected_values[i]))
            fail("buffer %zu, in order %d: value %zu is %a, reference %a", buffer_size, in_order, i,
                 got.cells[i], expected_values[i]);
    if ((got.end == block_end::no_value) != expected_end)
        fail("buffer %zu, in order %d: ended %d, reference %d", buffer_size, in_order,
             static_cast<int>(got.end), expected_end);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string name = (fuzz_support::scratch_folder() / "grid").string();
    fuzz_support::write_file(name, data, size);
    // Smaller than the default buffer, but as good for inputs this size, and much cheaper under
    // AddressSanitizer.
    constexpr std::size_t whole_file_buffer = std::size_t{1} << 16;
    for (const bool in_order : {false, true}) {
        compare_with_reference(
            name, size < whole_file_buffer ? whole_file_buffer : default_grid_buffer_size,
            in_order);
        const std::size_t small_buffer = 128 + size % 16;
        if (longest_token(data, size) + 1 < small_buffer)
            compare_with_reference(name, small_buffer, in_order);
    }
    return 0;
}
