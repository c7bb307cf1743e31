#include "grid/aligned_grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

// The source's cells are taken in file order through one cursor, so that a source read one
// block after another (a pipe, a text grid) works as well as one read at offsets. Target rows
// map to source rows that never go back up, so one held source row serves every target row
// whose centres lie in it, and the rows between are passed over as their blocks go by.
struct aligned_grid {
    grid_stream *source = nullptr;
    double outside = -1;
    std::int32_t source_ncols = 0;
    std::int32_t source_nrows = 0;
    double target_top = 0;
    double target_cellsize = 1;
    double source_top = 0;
    double source_cellsize = 1;
    std::vector<std::int32_t> columns; // the source column of each target column, -1: none
    std::uint64_t rows_per_block = 1;

    // The cursor through the source: its current block and the cells of it taken.
    cell_block block;
    bool block_held = false;
    std::size_t used = 0;
    std::uint64_t next_block = 0;
    std::uint64_t position = 0;             // the source cell the cursor stands at
    block_end source_end = block_end::more; // how the source ended, once it did

    // The source row held: its first row_cells cells, the rest not read.
    std::vector<double> row;
    std::int64_t row_index = -1;
    std::size_t row_cells = 0;

    bool failed = false;
    std::uint64_t failed_cell = 0;
};

void aligned_grid_closer::operator()(aligned_grid *grid) const noexcept {
    delete grid;
}

namespace {

double top_edge(const grid_header &header) {
    return header.yll + static_cast<double>(header.nrows) * header.cellsize;
}

// The cell of `count` along an axis that holds `offset` cell sizes from its first edge, or -1.
std::int64_t cell_at(double offset, std::int32_t count) {
    const double cell = std::floor(offset);
    return cell >= 0 && cell < static_cast<double>(count) ? static_cast<std::int64_t>(cell) : -1;
}

std::int64_t source_row_of(const aligned_grid &a, std::uint64_t target_row) {
    const double y = a.target_top - (static_cast<double>(target_row) + 0.5) * a.target_cellsize;
    return cell_at((a.source_top - y) / a.source_cellsize, a.source_nrows);
}

// True when the cursor's block has a cell left; false once the source has none more, with
// source_end saying why.
bool cells_at_hand(aligned_grid &a) {
    for (;;) {
        if (a.block_held && a.used < a.block.count) return true;
        if (a.block_held && a.block.end != block_end::more) a.source_end = a.block.end;
        if (a.source_end != block_end::more) return false;
        a.block.index = a.next_block++;
        read_cell_block(*a.source, a.block);
        decode_cell_block(*a.source, a.block);
        a.block_held = true;
        a.used = 0;
    }
}

// Holds the source row, as much of it as the source gives: the rows before it are passed over.
void hold_row(aligned_grid &a, std::int64_t source_row) {
    const auto ncols = static_cast<std::uint64_t>(a.source_ncols);
    const std::uint64_t first = static_cast<std::uint64_t>(source_row) * ncols;
    a.row_index = source_row;
    a.row_cells = 0;
    while (a.position < first && cells_at_hand(a)) {
        const std::uint64_t n = std::min<std::uint64_t>(a.block.count - a.used, first - a.position);
        a.used += static_cast<std::size_t>(n);
        a.position += n;
    }
    if (a.position < first) return;
    while (a.row_cells < ncols && cells_at_hand(a)) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(a.block.count - a.used, ncols - a.row_cells));
        std::memcpy(a.row.data() + a.row_cells, a.block.cells + a.used, n * sizeof(double));
        a.used += n;
        a.row_cells += n;
        a.position += n;
    }
}

} // namespace

bool aligned_geometry_usable(const grid_header &header) noexcept {
    return std::isfinite(header.xll) && std::isfinite(header.yll) &&
           std::isfinite(header.cellsize) && header.cellsize > 0 &&
           std::isfinite(top_edge(header)) &&
           std::isfinite(header.xll + static_cast<double>(header.ncols) * header.cellsize);
}

void align_grid(grid_stream &source, const grid_header &target, double outside,
                grid_stream &aligned) {
    aligned_grid_ptr a(new aligned_grid);
    a->source = &source;
    a->outside = outside;
    a->source_ncols = std::max(source.header.ncols, 0);
    a->source_nrows = std::max(source.header.nrows, 0);
    a->target_top = top_edge(target);
    a->target_cellsize = target.cellsize;
    a->source_top = top_edge(source.header);
    a->source_cellsize = source.header.cellsize;
    const std::int32_t ncols = std::max(target.ncols, 0);
    a->columns.resize(static_cast<std::size_t>(ncols));
    for (std::int32_t c = 0; c < ncols; ++c) {
        const double x = target.xll + (static_cast<double>(c) + 0.5) * target.cellsize;
        a->columns[static_cast<std::size_t>(c)] = static_cast<std::int32_t>(
            cell_at((x - source.header.xll) / source.header.cellsize, a->source_ncols));
    }
    a->row.resize(static_cast<std::size_t>(a->source_ncols));
    aligned.header = target;
    aligned.header.nodata = source.header.nodata;
    aligned.format = source.format;
    aligned.aligned = std::move(a);
}

bool aligned_failed_cell(const grid_stream &aligned, std::uint64_t &source_cell) noexcept {
    if (!aligned.aligned || !aligned.aligned->failed) return false;
    source_cell = aligned.aligned->failed_cell;
    return true;
}

void start_aligned_blocks(grid_stream &grid, const block_settings &settings) {
    aligned_grid &a = *grid.aligned;
    grid.blocks = settings;
    grid.any_order = false;
    // Whole target rows of about as many cells as a binary grid's block.
    const auto ncols = static_cast<std::uint64_t>(std::max(grid.header.ncols, 1));
    a.rows_per_block = std::max<std::uint64_t>(settings.binary_cells / ncols, 1);
    start_cell_blocks(*a.source, settings);
}

std::uint64_t aligned_block_cells(const grid_stream &grid) noexcept {
    return grid.aligned->rows_per_block * static_cast<std::uint64_t>(grid.header.ncols);
}

std::uint64_t aligned_block_bytes(const grid_stream &grid) noexcept {
    return aligned_block_cells(grid) * sizeof(double);
}

void read_aligned_block(grid_stream &grid, cell_block &block) noexcept {
    aligned_grid &a = *grid.aligned;
    const auto nrows = static_cast<std::uint64_t>(std::max(grid.header.nrows, 0));
    const std::size_t ncols = a.columns.size();
    const std::uint64_t first_row = block.index * a.rows_per_block;
    const std::uint64_t rows =
        first_row < nrows ? std::min(a.rows_per_block, nrows - first_row) : 0;
    const std::size_t cells = static_cast<std::size_t>(rows) * ncols;
    if (cells > block.values_capacity) {
        std::unique_ptr<double[]> values(new (std::nothrow) double[cells]);
        if (!values) {
            block.end = block_end::no_memory;
            return;
        }
        block.values = std::move(values);
        block.values_capacity = cells;
    }
    double *const out = block.values.get();
    block.cells = out;
    std::size_t count = 0;
    for (std::uint64_t r = first_row; r < first_row + rows; ++r) {
        const std::int64_t source_row = source_row_of(a, r);
        if (source_row < 0) {
            std::fill(out + count, out + count + ncols, a.outside);
            count += ncols;
            continue;
        }
        if (source_row != a.row_index) hold_row(a, source_row);
        for (std::size_t c = 0; c < ncols; ++c) {
            const std::int32_t source_column = a.columns[c];
            if (source_column < 0) {
                out[count++] = a.outside;
            } else if (static_cast<std::size_t>(source_column) < a.row_cells) {
                out[count++] = a.row[static_cast<std::size_t>(source_column)];
            } else {
                // The source ended before this cell's row was whole.
                block.count = count;
                block.end = a.source_end;
                if (!a.failed) {
                    a.failed = true;
                    a.failed_cell = a.position;
                }
                return;
            }
        }
    }
    block.count = count;
    block.end = rows == 0 ? block_end::no_value : block_end::more;
}
