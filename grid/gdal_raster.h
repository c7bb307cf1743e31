// Rasters read through GDAL: the grid module's fourth kind of grid, for any file the three native
// formats don't take (GeoTIFF and every other raster GDAL reads). Internal to grid/: the rest of
// the tool sees such a grid as a grid_stream of format gdal.
//
// libgdal is loaded at run time, on the first file that needs it, so that a run on native grids
// never maps it; a build without GDAL (gdal_absent.cpp) opens no raster this way.
#pragma once

#include <cstdint>
#include <string>

#include "grid/grid.h"

enum class gdal_open_result {
    opened,
    not_taken,      // GDAL is absent or doesn't take the name as a raster
    refused,        // it reaches what the tool doesn't read (grid/gdal_access.h)
    complex_values, // its cells are complex numbers
    no_such_band    // it has fewer bands than the one asked for
};

// Opens band `band.band` of the named raster into `raster`, loading libgdal on first use, and
// sets band_count to the raster's bands (where GDAL opens it). The band's cells are read as
// value x scale + offset, unless band.raw or the band has neither. GDAL's own messages are
// silenced.
gdal_open_result open_gdal_raster(const std::string &name, gdal_raster_ptr &raster,
                                  const band_choice &band, std::int32_t &band_count);

// The raster's header: ncols and nrows its size; xll the left edge, yll the bottom edge (the top
// edge less nrows cell heights), cellsize the cell width, all from the geotransform; nodata NaN,
// as GDAL's mask decides which cells have data, but for a text grid with a no-data value, whose
// cells above it count, as in any text grid. False when the raster has no geotransform, a
// rotated one, cells whose width and height differ by more than a relative 1e-9, or more than
// 2147483647 columns or rows.
bool read_gdal_header(gdal_raster &raster, grid_header &header) noexcept;

// Prepares the raster, after its header, for reading cell blocks on up to `threads` threads.
// True when its blocks may be read in any order, by several threads at once; false when they
// are to be read one after another.
bool start_gdal_blocks(gdal_raster &raster, unsigned threads) noexcept;

// How many cells each cell block holds (whole rows, of the raster's own blocks or a share of
// one), and the memory one takes.
std::uint64_t gdal_block_cells(const gdal_raster &raster) noexcept;
std::uint64_t gdal_block_bytes(const gdal_raster &raster) noexcept;

// Reads block.index as doubles, with every cell that GDAL's mask marks as having no data made
// NaN and every other one scaled, in the order start_gdal_blocks said. A read that fails ends the
// block before its first cell.
void read_gdal_block(gdal_raster &raster, cell_block &block) noexcept;

// The coordinate systems of two rasters (grid.h's compare_crs). A raster without one, or a
// libgdal without the functions to tell, differs from none.
crs_comparison compare_gdal_crs(gdal_raster &a, gdal_raster &b);
