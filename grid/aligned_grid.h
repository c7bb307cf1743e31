// A grid put on another grid's cells (grid.h's align_grid): the grid module's view of one
// grid's cells in another's geometry. Internal to grid/: the rest of the tool sees such a grid
// as a grid_stream whose `aligned` is set, read with the same block functions as any other.
#pragma once

#include <cstdint>

#include "grid/grid.h"

// Prepares the source for reading, one block after another.
void start_aligned_blocks(grid_stream &grid, const block_settings &settings);

// How many target cells each block holds (whole target rows), and the memory one takes.
std::uint64_t aligned_block_cells(const grid_stream &grid) noexcept;
std::uint64_t aligned_block_bytes(const grid_stream &grid) noexcept;

// Reads block.index, which must be the block after the one read last, with its cells decoded.
// A block that needs a source cell the source can't give ends before the target cell that needs
// it, with the source's block_end.
void read_aligned_block(grid_stream &grid, cell_block &block) noexcept;
