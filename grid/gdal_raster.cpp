#include "grid/gdal_raster.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>

#include "platform/platform.h"

namespace {

// The C functions of libgdal the tool uses, found in the library at run time; only their types
// come from GDAL's headers.
struct gdal_api {
    decltype(&GDALAllRegister) all_register;
    decltype(&GDALOpenEx) open;
    decltype(&GDALClose) close;
    decltype(&GDALGetRasterXSize) x_size;
    decltype(&GDALGetRasterYSize) y_size;
    decltype(&GDALGetRasterCount) band_count;
    decltype(&GDALGetRasterBand) band;
    decltype(&GDALGetGeoTransform) geotransform;
    decltype(&GDALGetBlockSize) block_size;
    decltype(&GDALGetMaskBand) mask_band;
    decltype(&GDALGetMaskFlags) mask_flags;
    decltype(&GDALRasterIO) raster_io;
    decltype(&GDALSetCacheMax64) set_cache_max;
    decltype(&CPLSetErrorHandler) set_error_handler;
    decltype(&CPLQuietErrorHandler) quiet_error_handler;
    decltype(&CPLSetThreadLocalConfigOption) set_thread_config_option;
    decltype(&GDALGetRasterDataType) data_type;
    decltype(&GDALGetDataTypeSizeBytes) data_type_size;
    decltype(&GDALGetMetadataItem) metadata_item;
};

// The names libgdal goes by: the one the build was made against first.
constexpr const char *library_names[] = {
#ifdef ZONALSTATS_GDAL_LIBRARY
    ZONALSTATS_GDAL_LIBRARY,
#endif
#ifdef _WIN32
    "gdal.dll",
    "gdal310.dll",
    "gdal309.dll",
    "gdal308.dll",
    "gdal307.dll",
    "gdal306.dll",
    "gdal305.dll",
    "gdal304.dll",
#else
    "libgdal.so",
#endif
};

// GDAL's block cache, shared by all rasters of the run: at least this, and enough for two block
// rows of each raster; far below GDAL's default of a share of the machine's memory.
constexpr std::int64_t block_cache_bytes = std::int64_t{16} << 20;

template <typename F> bool find(void *library, const char *name, F &function) {
    function = reinterpret_cast<F>(shared_library_symbol(library, name));
    return function != nullptr;
}

// Loads libgdal and its functions once per run; nullptr where that fails.
const gdal_api *load_gdal() {
    static const std::unique_ptr<gdal_api> api = []() -> std::unique_ptr<gdal_api> {
        void *library = nullptr;
        for (const char *name : library_names)
            if ((library = open_shared_library(name)) != nullptr) break;
        if (library == nullptr) return nullptr;
        auto loaded = std::make_unique<gdal_api>();
        gdal_api &g = *loaded;
        const bool whole =
            find(library, "GDALAllRegister", g.all_register) &&
            find(library, "GDALOpenEx", g.open) && find(library, "GDALClose", g.close) &&
            find(library, "GDALGetRasterXSize", g.x_size) &&
            find(library, "GDALGetRasterYSize", g.y_size) &&
            find(library, "GDALGetRasterCount", g.band_count) &&
            find(library, "GDALGetRasterBand", g.band) &&
            find(library, "GDALGetGeoTransform", g.geotransform) &&
            find(library, "GDALGetBlockSize", g.block_size) &&
            find(library, "GDALGetMaskBand", g.mask_band) &&
            find(library, "GDALGetMaskFlags", g.mask_flags) &&
            find(library, "GDALRasterIO", g.raster_io) &&
            find(library, "GDALSetCacheMax64", g.set_cache_max) &&
            find(library, "CPLSetErrorHandler", g.set_error_handler) &&
            find(library, "CPLQuietErrorHandler", g.quiet_error_handler) &&
            find(library, "CPLSetThreadLocalConfigOption", g.set_thread_config_option) &&
            find(library, "GDALGetRasterDataType", g.data_type) &&
            find(library, "GDALGetDataTypeSizeBytes", g.data_type_size) &&
            find(library, "GDALGetMetadataItem", g.metadata_item);
        if (!whole) return nullptr;
        // GDAL's messages would go to standard error; the tool's own are the only output.
        g.set_error_handler(g.quiet_error_handler);
        g.set_cache_max(block_cache_bytes);
        g.all_register();
        return loaded;
    }();
    return api.get();
}

// Cell blocks of at least this many cells, in whole rows of the raster's blocks, so that a
// raster stored in strips of one row is still read a good stretch at a time.
constexpr std::uint64_t least_block_cells = std::uint64_t{64} << 10;

// The cache the rasters of the run need: a row of their blocks, data and mask, for every thread
// that reads it.
std::int64_t cache_needed = 0;

} // namespace

// One raster. A GDAL dataset is not to be used by two threads at once, so each thread reads
// through a handle of its own, taken from a pool; cell blocks are whole rows of the raster's
// blocks, so that no block of the file is decoded twice, and the threads decode different rows.
struct gdal_raster {
    const gdal_api *api = nullptr;
    std::string name;
    std::int32_t ncols = 0;
    std::int32_t nrows = 0;
    std::int32_t rows_per_block = 1; // whole rows of the raster's blocks
    std::uint64_t block_bytes = 0;   // of one cell block: cells and mask
    bool all_valid = false;          // no mask to read
    bool compressed = false;
    std::mutex mutex;                  // for handles
    std::vector<GDALDatasetH> handles; // the free ones; all of them once no read runs
};

void gdal_raster_closer::operator()(gdal_raster *raster) const noexcept {
    if (raster == nullptr) return;
    for (GDALDatasetH handle : raster->handles)
        raster->api->close(handle);
    delete raster;
}

bool gdal_built_in() noexcept {
    return true;
}

namespace {

GDALDatasetH open_handle(const gdal_api &api, const std::string &name) {
    return api.open(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
}

// A handle for one read, from the pool or freshly opened; nullptr when the raster can't be
// opened again, or memory runs out.
GDALDatasetH take_handle(gdal_raster &raster) noexcept {
    {
        const std::lock_guard lock(raster.mutex);
        if (!raster.handles.empty()) {
            GDALDatasetH handle = raster.handles.back();
            raster.handles.pop_back();
            return handle;
        }
    }
    return open_handle(*raster.api, raster.name);
}

void give_back(gdal_raster &raster, GDALDatasetH handle) noexcept {
    try {
        const std::lock_guard lock(raster.mutex);
        raster.handles.push_back(handle);
    } catch (...) {
        raster.api->close(handle);
    }
}

} // namespace

gdal_raster_ptr open_gdal_raster(const std::string &name) {
    const gdal_api *api = load_gdal();
    if (api == nullptr) return nullptr;
    GDALDatasetH handle = open_handle(*api, name);
    if (handle == nullptr) return nullptr;
    gdal_raster_ptr raster(new gdal_raster);
    raster->api = api;
    raster->name = name;
    raster->handles.push_back(handle);
    return raster;
}

bool read_gdal_header(gdal_raster &raster, grid_header &header) noexcept {
    const gdal_api &api = *raster.api;
    GDALDatasetH handle = raster.handles.front();
    const int ncols = api.x_size(handle);
    const int nrows = api.y_size(handle);
    if (api.band_count(handle) < 1 || ncols < 0 || nrows < 0) return false;
    double geotransform[6];
    if (api.geotransform(handle, geotransform) != CE_None) return false;
    // North up, square cells: then the grid's corner and cell size say where every cell lies.
    if (geotransform[2] != 0 || geotransform[4] != 0 || geotransform[5] != -geotransform[1])
        return false;
    header.ncols = ncols;
    header.nrows = nrows;
    header.xll = geotransform[0];
    header.yll = geotransform[3] + static_cast<double>(nrows) * geotransform[5];
    header.cellsize = geotransform[1];
    header.nodata = std::numeric_limits<double>::quiet_NaN();
    raster.ncols = ncols;
    raster.nrows = nrows;
    return true;
}

void start_gdal_blocks(gdal_raster &raster, unsigned threads) noexcept {
    const gdal_api &api = *raster.api;
    GDALRasterBandH band = api.band(raster.handles.front(), 1);
    raster.compressed =
        api.metadata_item(raster.handles.front(), "COMPRESSION", "IMAGE_STRUCTURE") != nullptr;
    int block_columns = 0;
    int block_rows = 0;
    api.block_size(band, &block_columns, &block_rows);
    block_rows = std::max(block_rows, 1);
    const std::uint64_t row_cells =
        std::max<std::uint64_t>(static_cast<std::uint64_t>(raster.ncols), 1);
    const std::uint64_t block_row_cells = row_cells * static_cast<std::uint64_t>(block_rows);
    const std::uint64_t block_rows_per_cell_block =
        (least_block_cells + block_row_cells - 1) / block_row_cells;
    raster.rows_per_block = static_cast<std::int32_t>(
        std::min<std::uint64_t>(block_rows_per_cell_block * static_cast<std::uint64_t>(block_rows),
                                static_cast<std::uint64_t>(std::max(raster.nrows, 1))));
    raster.all_valid = api.mask_flags(band) == GMF_ALL_VALID;
    const std::uint64_t cells = static_cast<std::uint64_t>(raster.rows_per_block) * row_cells;
    raster.block_bytes = cells * (sizeof(double) + (raster.all_valid ? 0 : 1));
    // Each reading thread has a block row of data and mask in the cache at a time.
    const auto cell_bytes = static_cast<std::uint64_t>(api.data_type_size(api.data_type(band))) +
                            (raster.all_valid ? 0 : 1);
    cache_needed += static_cast<std::int64_t>(block_row_cells * cell_bytes * std::max(threads, 1u));
    api.set_cache_max(std::max(cache_needed, block_cache_bytes));
}

std::uint64_t gdal_block_cells(const gdal_raster &raster) noexcept {
    return static_cast<std::uint64_t>(raster.rows_per_block) *
           static_cast<std::uint64_t>(raster.ncols);
}

std::uint64_t gdal_block_bytes(const gdal_raster &raster) noexcept {
    return raster.block_bytes;
}

void read_gdal_block(gdal_raster &raster, cell_block &block) noexcept {
    const std::int64_t first_row = static_cast<std::int64_t>(block.index) * raster.rows_per_block;
    if (first_row >= raster.nrows) {
        block.end = block_end::no_value;
        return;
    }
    const int rows =
        static_cast<int>(std::min<std::int64_t>(raster.rows_per_block, raster.nrows - first_row));
    const std::size_t count =
        static_cast<std::size_t>(rows) * static_cast<std::size_t>(raster.ncols);
    if (block.values_capacity < count) {
        block.values.reset(new (std::nothrow) double[count]);
        block.values_capacity = block.values ? count : 0;
    }
    if (!raster.all_valid && block.bytes_capacity < count + 1) {
        block.bytes.reset(new (std::nothrow) char[count + 1]);
        block.bytes_capacity = block.bytes ? count + 1 : 0;
    }
    if (!block.values || (!raster.all_valid && !block.bytes)) {
        block.end = block_end::no_memory;
        return;
    }
    GDALDatasetH handle = take_handle(raster);
    if (handle == nullptr) {
        block.end = block_end::no_value;
        return;
    }
    const gdal_api &api = *raster.api;
    GDALRasterBandH band = api.band(handle, 1);
    const int y = static_cast<int>(first_row);
    // Uncompressed blocks go straight into the cells, past the cache; compressed ones through it,
    // so that the mask finds them there.
    api.set_thread_config_option("GTIFF_DIRECT_IO", raster.compressed ? "NO" : "YES");
    double *const values = block.values.get();
    auto *const mask = reinterpret_cast<unsigned char *>(block.bytes.get());
    bool read = api.raster_io(band, GF_Read, 0, y, raster.ncols, rows, values, raster.ncols, rows,
                              GDT_Float64, 0, 0) == CE_None;
    // GDAL's mask: the no-data value, NaN, an alpha band or a mask file; 0 marks no data. The
    // block row's data is still in the cache for it.
    if (read && !raster.all_valid)
        read = api.raster_io(api.mask_band(band), GF_Read, 0, y, raster.ncols, rows, mask,
                             raster.ncols, rows, GDT_Byte, 0, 0) == CE_None;
    give_back(raster, handle);
    if (!read) {
        block.end = block_end::no_value;
        return;
    }
    if (!raster.all_valid)
        for (std::size_t i = 0; i < count; ++i)
            if (mask[i] == 0) values[i] = std::numeric_limits<double>::quiet_NaN();
    block.cells = values;
    block.count = count;
}
