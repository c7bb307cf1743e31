// A build without GDAL: no file is read as a GDAL raster.
#include "grid/gdal_raster.h"

struct gdal_raster {};

void gdal_raster_closer::operator()(gdal_raster *raster) const noexcept {
    delete raster;
}

bool gdal_built_in() noexcept {
    return false;
}

gdal_open_result open_gdal_raster(const std::string &, gdal_raster_ptr &raster, const band_choice &,
                                  std::int32_t &) {
    raster.reset();
    return gdal_open_result::not_taken;
}

bool read_gdal_header(gdal_raster &, grid_header &) noexcept {
    return false;
}

bool start_gdal_blocks(gdal_raster &, unsigned) noexcept {
    return false;
}

std::uint64_t gdal_block_cells(const gdal_raster &) noexcept {
    return 1;
}

std::uint64_t gdal_block_bytes(const gdal_raster &) noexcept {
    return 0;
}

void read_gdal_block(gdal_raster &, cell_block &block) noexcept {
    block.end = block_end::no_value;
}

crs_comparison compare_gdal_crs(gdal_raster &, gdal_raster &) {
    return {};
}
