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

// GDAL's block cache, shared by all rasters of the run: at least this, and enough for the block
// rows being read of each raster with a mask; far below GDAL's default of a share of the
// machine's memory.
constexpr std::int64_t block_cache_bytes = std::int64_t{8} << 20;

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

// Cell blocks of about this many cells, in whole rows.
constexpr std::uint64_t block_cells_wanted = std::uint64_t{64} << 10;
// A block row of more cells than this (256-row tiles of a wide raster, say) is read once, whole,
// into a buffer, and its cell blocks are cut from it: held in several cell blocks at once, such
// rows would take tens of MiB.
constexpr std::uint64_t largest_shared_block_row = std::uint64_t{256} << 10;

// The cache the rasters of the run need: a row of their blocks, data and mask, for every thread
// that reads it.
std::int64_t cache_needed = 0;

// A block row is held in the raster's own type where doubles take it exactly, to take as little
// memory as the file's decoded blocks do; other types as doubles.
GDALDataType held_type(GDALDataType type) noexcept {
    switch (type) {
    case GDT_Byte:
    case GDT_UInt16:
    case GDT_Int16:
    case GDT_UInt32:
    case GDT_Int32:
    case GDT_Float32:
        return type;
    default:
        return GDT_Float64;
    }
}

template <typename T> void widen(const unsigned char *from, std::size_t count, double *to) {
    for (std::size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, from + i * sizeof(T), sizeof(T));
        to[i] = static_cast<double>(value);
    }
}

// The cells [first, first + count) of a held block row, as doubles.
void widen_cells(GDALDataType type, const unsigned char *row, std::size_t first, std::size_t count,
                 double *to) {
    switch (type) {
    case GDT_Byte:
        return widen<std::uint8_t>(row + first, count, to);
    case GDT_UInt16:
        return widen<std::uint16_t>(row + first * 2, count, to);
    case GDT_Int16:
        return widen<std::int16_t>(row + first * 2, count, to);
    case GDT_UInt32:
        return widen<std::uint32_t>(row + first * 4, count, to);
    case GDT_Int32:
        return widen<std::int32_t>(row + first * 4, count, to);
    case GDT_Float32:
        return widen<float>(row + first * 4, count, to);
    default:
        return widen<double>(row + first * 8, count, to);
    }
}

// The rows of a cell block: whole block rows as many as make block_cells_wanted, or, for a large
// block row, the smallest share of it that holds that many cells.
std::int32_t rows_per_cell_block(std::int32_t ncols, std::int32_t nrows, std::int32_t block_rows) {
    const std::uint64_t row_cells = std::max<std::uint64_t>(static_cast<std::uint64_t>(ncols), 1);
    const auto rows_wanted =
        static_cast<std::int64_t>((block_cells_wanted + row_cells - 1) / row_cells);
    std::int64_t rows = block_rows;
    if (rows_wanted >= block_rows) {
        rows = (rows_wanted + block_rows - 1) / block_rows * block_rows;
    } else if (row_cells * static_cast<std::uint64_t>(block_rows) > largest_shared_block_row) {
        for (std::int64_t share = rows_wanted; share <= block_rows; ++share)
            if (block_rows % share == 0) {
                rows = share;
                break;
            }
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(rows, 1, std::max(nrows, 1)));
}

} // namespace

// One raster, read in one of two ways, so that no block of the file is decoded twice:
// - cell blocks of whole rows of the raster's blocks, read by several threads at once, each
//   through a dataset handle of its own from a pool (a GDAL dataset is not to be used by two
//   threads at once);
// - for large block rows, cell blocks of a share of one, read one after another: each block row
//   is read once, whole, through one handle, with GDAL decoding its blocks on several threads
//   (GDAL_NUM_THREADS), and the cell blocks are cut from that.
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
    // Where cell blocks share a block row: the one read last.
    std::int32_t block_rows = 1;
    bool shared_rows = false;
    GDALDataType row_type = GDT_Float64; // the raster's own type where the cells convert exactly
    std::unique_ptr<unsigned char[]> row_values;
    std::unique_ptr<unsigned char[]> row_mask;
    std::int64_t row_first = -1; // -1: none
    std::string decoders = "1";  // GDAL_NUM_THREADS for them
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

bool start_gdal_blocks(gdal_raster &raster, unsigned threads) noexcept {
    const gdal_api &api = *raster.api;
    GDALDatasetH first = raster.handles.front();
    GDALRasterBandH band = api.band(first, 1);
    raster.compressed = api.metadata_item(first, "COMPRESSION", "IMAGE_STRUCTURE") != nullptr;
    int block_columns = 0;
    int block_rows = 0;
    api.block_size(band, &block_columns, &block_rows);
    raster.block_rows = std::max(block_rows, 1);
    raster.rows_per_block = rows_per_cell_block(raster.ncols, raster.nrows, raster.block_rows);
    raster.shared_rows = raster.rows_per_block < raster.block_rows;
    raster.all_valid = api.mask_flags(band) == GMF_ALL_VALID;
    const std::uint64_t row_cells =
        std::max<std::uint64_t>(static_cast<std::uint64_t>(raster.ncols), 1);
    const std::uint64_t block_row_cells = row_cells * static_cast<std::uint64_t>(raster.block_rows);
    raster.block_bytes = static_cast<std::uint64_t>(raster.rows_per_block) * row_cells *
                         (sizeof(double) + (raster.all_valid ? 0 : 1));
    // The cache holds a block row of data and mask for each thread that reads one: for the
    // mask, which GDAL computes from the data it has just decoded.
    const auto cell_bytes = static_cast<std::uint64_t>(api.data_type_size(api.data_type(band))) + 1;
    const unsigned readers = raster.shared_rows ? 1 : std::max(threads, 1u);
    if (!raster.all_valid)
        cache_needed += static_cast<std::int64_t>(block_row_cells * cell_bytes * readers);
    raster.row_type = held_type(api.data_type(band));
    api.set_cache_max(std::max(cache_needed + cache_needed / 8, block_cache_bytes));
    if (raster.shared_rows) {
        // The number of threads GDAL decodes with, taken where it opens the raster and where
        // it reads (both on threads of the scan, so set for each).
        raster.decoders = std::to_string(std::max(threads, 1u));
        api.set_thread_config_option("GDAL_NUM_THREADS", raster.decoders.c_str());
        GDALDatasetH reopened = open_handle(api, raster.name);
        if (reopened != nullptr) {
            api.close(first);
            raster.handles.front() = reopened;
        }
    }
    return !raster.shared_rows;
}

std::uint64_t gdal_block_cells(const gdal_raster &raster) noexcept {
    return static_cast<std::uint64_t>(raster.rows_per_block) *
           static_cast<std::uint64_t>(raster.ncols);
}

std::uint64_t gdal_block_bytes(const gdal_raster &raster) noexcept {
    return raster.block_bytes;
}

namespace {

// Reads `rows` rows from `first_row` on as `type`, and their mask where there is one.
bool read_rows(const gdal_raster &raster, GDALDatasetH handle, std::int64_t first_row, int rows,
               void *values, GDALDataType type, unsigned char *mask) noexcept {
    const gdal_api &api = *raster.api;
    GDALRasterBandH band = api.band(handle, 1);
    const int y = static_cast<int>(first_row);
    // Uncompressed blocks go straight into the cells, past the cache; compressed ones through
    // it, so that the mask finds them there.
    api.set_thread_config_option("GTIFF_DIRECT_IO", raster.compressed ? "NO" : "YES");
    api.set_thread_config_option("GDAL_NUM_THREADS",
                                 raster.shared_rows ? raster.decoders.c_str() : "1");
    if (api.raster_io(band, GF_Read, 0, y, raster.ncols, rows, values, raster.ncols, rows, type, 0,
                      0) != CE_None)
        return false;
    // GDAL's mask: the no-data value, NaN, an alpha band or a mask file; 0 marks no data.
    return raster.all_valid || api.raster_io(api.mask_band(band), GF_Read, 0, y, raster.ncols, rows,
                                             mask, raster.ncols, rows, GDT_Byte, 0, 0) == CE_None;
}

// Makes the block row that holds first_row the one in the raster's buffers.
block_end hold_block_row(gdal_raster &raster, std::int64_t first_row) noexcept {
    const std::int64_t row_first = first_row / raster.block_rows * raster.block_rows;
    if (row_first == raster.row_first) return block_end::more;
    const std::size_t cells =
        static_cast<std::size_t>(raster.block_rows) * static_cast<std::size_t>(raster.ncols);
    if (!raster.row_values) {
        const auto size = static_cast<std::size_t>(raster.api->data_type_size(raster.row_type));
        raster.row_values.reset(new (std::nothrow) unsigned char[cells * size]);
    }
    if (!raster.all_valid && !raster.row_mask)
        raster.row_mask.reset(new (std::nothrow) unsigned char[cells]);
    if (!raster.row_values || (!raster.all_valid && !raster.row_mask)) return block_end::no_memory;
    raster.row_first = -1;
    const int rows =
        static_cast<int>(std::min<std::int64_t>(raster.block_rows, raster.nrows - row_first));
    if (!read_rows(raster, raster.handles.front(), row_first, rows, raster.row_values.get(),
                   raster.row_type, raster.row_mask.get()))
        return block_end::no_value;
    raster.row_first = row_first;
    return block_end::more;
}

} // namespace

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
    double *const values = block.values.get();
    auto *const mask = reinterpret_cast<unsigned char *>(block.bytes.get());
    if (raster.shared_rows) {
        block.end = hold_block_row(raster, first_row);
        if (block.end != block_end::more) return;
        const std::size_t offset = static_cast<std::size_t>(first_row - raster.row_first) *
                                   static_cast<std::size_t>(raster.ncols);
        widen_cells(raster.row_type, raster.row_values.get(), offset, count, values);
        if (!raster.all_valid) std::memcpy(mask, raster.row_mask.get() + offset, count);
    } else {
        GDALDatasetH handle = take_handle(raster);
        const bool read = handle != nullptr &&
                          read_rows(raster, handle, first_row, rows, values, GDT_Float64, mask);
        if (handle != nullptr) give_back(raster, handle);
        if (!read) {
            block.end = block_end::no_value;
            return;
        }
    }
    if (!raster.all_valid)
        for (std::size_t i = 0; i < count; ++i)
            if (mask[i] == 0) values[i] = std::numeric_limits<double>::quiet_NaN();
    block.cells = values;
    block.count = count;
}
