// The scan: every cell pair of the input grid and the zone grid, in file order, counted into the
// zones, with its progress on the console: a dot for every row, a bar, or nothing.
//
// Both grids are read and decoded in blocks (grid.h) by worker threads, a few blocks ahead of
// the count; the counting itself runs on the calling thread and takes the cells strictly in file
// order, so every sum, minimum and maximum comes out the same at any number of threads. While
// the block it needs next is not decoded yet, the calling thread decodes blocks itself; with one
// thread it does all the work and no other thread is started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "grid/grid.h"
#include "zones/zones.h"

// How the scan shows how far it is: a dot after each row (also for rows of no columns), a bar
// redrawn in place with the share of rows done, or not at all.
enum class progress_display { dots, bar, none };

struct scan_settings {
    unsigned threads = 1; // threads taking part, the calling one included
    block_settings blocks;
    std::size_t blocks_in_flight = 0; // per grid; 0: 1 for one thread, else threads + 1
    progress_display progress = progress_display::dots;
    std::FILE *progress_stream = stdout;
};

enum class scan_outcome {
    ok,
    no_value,       // a grid has no value for failed_cell
    no_zone_memory, // no memory for the new zone of failed_cell
    no_memory,      // memory ran out while reading failed_cell
};

struct scan_result {
    scan_outcome outcome = scan_outcome::ok;
    std::uint64_t failed_cell = 0; // from 0, row after row
    bool in_zone_grid = false;     // which grid failed_cell failed in (no_value, no_memory)
    std::size_t band = 0;          // else which of the value grids; the band whose counter had no
                                   // memory (no_zone_memory)
};

// Scans the cells of both grids, whose headers have been read and have the same geometry, and
// counts every pair into the counter, showing its progress as the settings say; stops at the first
// cell that fails, as a scan cell by cell would, with the input grid's value of a cell read before
// the zone grid's. Whatever happens, every thread it started has ended when it returns.
scan_result scan_cells(grid_stream &input, grid_stream &zones, zone_counter &counter,
                       const scan_settings &settings);

// The same for several value grids (the bands of a raster, each opened as a grid of its own) of
// the zone grid's geometry, in one pass: the zone grid is read once, and each of its blocks is
// counted against the cells of every value grid, inputs[i] into counters[i]. Each counter gets
// exactly what scan_cells of its grid alone would give it. A cell's values are read band after
// band, then its zone, so a scan that fails stops where scan_cells of the first grid to fail
// would. Memory grows with the number of value grids, each taking what one grid of scan_cells
// takes.
scan_result scan_bands(std::span<grid_stream *const> inputs, grid_stream &zones,
                       std::span<zone_counter *const> counters, const scan_settings &settings);

// The bar for `done` of `rows` rows, as it is drawn over the previous one: a carriage return, the
// bar, the share done in whole percent (rounded down, so 100% means all rows) and the rows.
std::string progress_bar(std::uint64_t done, std::uint64_t rows);
