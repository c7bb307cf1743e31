#include "grid/gdal_raster.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include "grid/gdal_access.h"
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
    decltype(&GDALRasterIOEx) raster_io;
    decltype(&GDALSetCacheMax64) set_cache_max;
    decltype(&CPLSetErrorHandler) set_error_handler;
    decltype(&CPLQuietErrorHandler) quiet_error_handler;
    decltype(&CPLSetThreadLocalConfigOption) set_thread_config_option;
    decltype(&GDALGetRasterDataType) data_type;
    decltype(&GDALGetDataTypeSizeBytes) data_type_size;
    decltype(&GDALGetMetadataItem) metadata_item;
    decltype(&GDALGetRasterNoDataValue) nodata_value;
    decltype(&GDALGetRasterScale) scale;
    decltype(&GDALGetRasterOffset) offset;
    decltype(&GDALGetDatasetDriver) dataset_driver;
    decltype(&GDALGetDriverShortName) driver_short_name;
    decltype(&GDALGetDataCoverageStatus) data_coverage; // nullptr where libgdal lacks it
    // For the coordinate systems; all nullptr where libgdal lacks one of them (before 3.0).
    decltype(&GDALGetSpatialRef) spatial_ref;
    decltype(&OSRIsSame) same_crs;
    decltype(&OSRGetName) crs_name;
    decltype(&OSRGetAuthorityName) authority_name;
    decltype(&OSRGetAuthorityCode) authority_code;
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

// Set on the thread where GDAL reports a failure. Some failures (a damaged block) are reported
// through the error handler alone, with GDALRasterIO returning CE_None; a read that sees one
// fails.
thread_local bool gdal_failed = false;

void CPL_STDCALL note_gdal_error(CPLErr level, CPLErrorNum, const char *) {
    if (level == CE_Failure || level == CE_Fatal) gdal_failed = true;
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
            find_shared_library_function(library, "GDALAllRegister", g.all_register) &&
            find_shared_library_function(library, "GDALOpenEx", g.open) &&
            find_shared_library_function(library, "GDALClose", g.close) &&
            find_shared_library_function(library, "GDALGetRasterXSize", g.x_size) &&
            find_shared_library_function(library, "GDALGetRasterYSize", g.y_size) &&
            find_shared_library_function(library, "GDALGetRasterCount", g.band_count) &&
            find_shared_library_function(library, "GDALGetRasterBand", g.band) &&
            find_shared_library_function(library, "GDALGetGeoTransform", g.geotransform) &&
            find_shared_library_function(library, "GDALGetBlockSize", g.block_size) &&
            find_shared_library_function(library, "GDALGetMaskBand", g.mask_band) &&
            find_shared_library_function(library, "GDALGetMaskFlags", g.mask_flags) &&
            find_shared_library_function(library, "GDALRasterIOEx", g.raster_io) &&
            find_shared_library_function(library, "GDALSetCacheMax64", g.set_cache_max) &&
            find_shared_library_function(library, "CPLSetErrorHandler", g.set_error_handler) &&
            find_shared_library_function(library, "CPLQuietErrorHandler", g.quiet_error_handler) &&
            find_shared_library_function(library, "CPLSetThreadLocalConfigOption",
                                         g.set_thread_config_option) &&
            find_shared_library_function(library, "GDALGetRasterDataType", g.data_type) &&
            find_shared_library_function(library, "GDALGetDataTypeSizeBytes", g.data_type_size) &&
            find_shared_library_function(library, "GDALGetMetadataItem", g.metadata_item) &&
            find_shared_library_function(library, "GDALGetRasterNoDataValue", g.nodata_value) &&
            find_shared_library_function(library, "GDALGetRasterScale", g.scale) &&
            find_shared_library_function(library, "GDALGetRasterOffset", g.offset) &&
            find_shared_library_function(library, "GDALGetDatasetDriver", g.dataset_driver) &&
            find_shared_library_function(library, "GDALGetDriverShortName", g.driver_short_name);
        if (!whole) return nullptr;
        find_shared_library_function(library, "GDALGetDataCoverageStatus", g.data_coverage);
        if (!(find_shared_library_function(library, "GDALGetSpatialRef", g.spatial_ref) &&
              find_shared_library_function(library, "OSRIsSame", g.same_crs) &&
              find_shared_library_function(library, "OSRGetName", g.crs_name) &&
              find_shared_library_function(library, "OSRGetAuthorityName", g.authority_name) &&
              find_shared_library_function(library, "OSRGetAuthorityCode", g.authority_code)))
            g.spatial_ref = nullptr;
        // GDAL's messages would go to standard error; the tool's own are the only output. The
        // failures among them fail the read they happen in.
        g.set_error_handler(note_gdal_error);
        g.set_cache_max(block_cache_bytes);
        if (!prepare_gdal_access(library)) return nullptr;
        g.all_register();
        return loaded;
    }();
    return api.get();
}

// How far apart, relatively, a cell's width and height may be for the cell to be square.
constexpr double square_tolerance = 1e-9;

// Cell blocks of about this many cells, in whole rows.
constexpr std::uint64_t block_cells_wanted = std::uint64_t{64} << 10;
// A block row of more cells than this (256-row tiles of a wide raster, say) is read once, whole,
// into a buffer, and its cell blocks are cut from it: held in several cell blocks at once, such
// rows would take tens of MiB.
constexpr std::uint64_t largest_shared_block_row = std::uint64_t{256} << 10;
// The most a raster's held rows may take, cells and mask; and the most of the file's blocks GDAL
// decodes for them at once (unless one block is larger). A block row beyond it (huge tiles) is
// held in bands of fewer rows, each decoding the blocks it meets again.
constexpr std::uint64_t largest_held_rows = std::uint64_t{128} << 20;

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

// Widens count cells of type T to doubles. `to` may lie at or in front of `from`, as where a
// cell block's own values buffer holds the raw cells at its end (from - to = (8 - sizeof(T)) x
// count bytes): each cell is read before its double is stored, and no double reaches a cell
// not read yet.
template <typename T> void widen(const unsigned char *from, std::size_t count, double *to) {
    for (std::size_t i = 0; i < count; ++i) {
        T value;
        std::memcpy(&value, from + i * sizeof(T), sizeof(T));
        to[i] = static_cast<double>(value);
    }
}

// The cells [first, first + count) of held cells, as doubles; Byte cells as signed ones where
// the raster says so (GDAL before 3.7 has no signed 8-bit type).
void widen_cells(GDALDataType type, bool signed_bytes, const unsigned char *row, std::size_t first,
                 std::size_t count, double *to) {
    switch (type) {
    case GDT_Byte:
        if (signed_bytes) return widen<std::int8_t>(row + first, count, to);
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
        if (reinterpret_cast<const unsigned char *>(to) != row + first * 8)
            std::memmove(to, row + first * 8, count * 8);
        return;
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

// How a raster's cell blocks are read; none of it depends on the number of threads, so that a
// failing block fails at the same cell at any number of them.
enum class block_reading : unsigned char {
    // Each cell block is a window of its own, read by any thread, through a dataset handle of
    // its own from a pool (a GDAL dataset is not to be used by two threads at once).
    windows,
    // The same, one after another through one handle: for files GDAL decodes only forwards.
    in_order,
    // A large block row is read once, whole (or in bands of rows where it would take more than
    // largest_held_rows), in slices of whole blocks side by side on several threads, each
    // through a handle of its own; its cell blocks are cut from it in order.
    held_rows,
};

// Where the cells' mask comes from.
enum class mask_source : unsigned char {
    none,  // every cell has data
    gdal,  // GDAL's mask: the no-data value, NaN, an alpha band or a mask file; 0 marks no data
    value, // the cells equal to the no-data value: for signed bytes, whose negative no-data
           // value GDAL's mask doesn't see
};

} // namespace

// One raster and how its cell blocks are read; GDAL decodes the file's blocks of each read on
// the thread that reads (its own multi-threaded decoding lets some damaged blocks through).
struct gdal_raster {
    const gdal_api *api = nullptr;
    std::string name;
    int band = 1; // the band read, from 1
    // value x scale + offset, where the band has them and the run doesn't read the stored numbers
    bool scaled = false;
    double scale = 1;
    double offset = 0;
    // A text grid that GDAL reads (its keywords in capitals, say) has its cells judged as a
    // text grid's are: those above its no-data value count, whatever GDAL's mask would say.
    bool judged_by_nodata = false;
    double nodata = 0;
    std::int32_t ncols = 0;
    std::int32_t nrows = 0;
    std::int32_t rows_per_block = 1; // whole rows of the raster's blocks
    std::uint64_t block_bytes = 0;   // of one cell block: cells and mask
    bool compressed = false;
    std::mutex mutex;                  // for handles
    std::vector<GDALDatasetH> handles; // the free ones; all of them once no read runs
    block_reading reading = block_reading::windows;
    unsigned threads = 1;
    std::int32_t block_columns = 1;
    std::int32_t block_rows = 1;
    GDALDataType row_type = GDT_Float64; // the raster's own type where the cells convert exactly
    std::size_t cell_size = 8;           // of row_type
    bool signed_bytes = false;
    mask_source mask = mask_source::none;
    std::uint8_t nodata_byte = 0; // for mask_source::value
    // Windows whose blocks the file doesn't hold (sparse files) are filled at once, as GDAL
    // would fill them: no data where the mask comes from the no-data value, 0 where every cell
    // has data.
    bool fill_empty = false;
    // The held rows: band_rows from row_first on, or none (-1); none of their blocks in the file
    // where row_empty.
    std::int32_t band_rows = 1;
    std::size_t slices = 1; // read side by side
    std::unique_ptr<unsigned char[]> row_values;
    std::unique_ptr<unsigned char[]> row_mask;
    std::int64_t row_first = -1;
    bool row_empty = false;
    // The files of the raster when it was first opened: each handle opened later must read
    // the same ones, not a raster put in its place since.
    std::vector<raster_file> files;
    std::condition_variable handle_given_back;
    bool reopen_refused = false;  // a handle opened later read other files
    std::size_t handles_open = 1; // the pool has room for all of them
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

// The raster opened once more, by its name; nullptr where that fails, or where the name now
// leads to other files than it did at first (the raster was replaced, say).
GDALDatasetH reopen_handle(const gdal_raster &raster) noexcept {
    try {
        GDALDatasetH handle = nullptr;
        std::vector<raster_file> files;
        if (open_raster_dataset(raster.name, handle, files, raster.band) != raster_access::opened)
            return nullptr;
        if (files == raster.files) return handle;
        raster.api->close(handle);
    } catch (...) {
    }
    return nullptr;
}

// A handle for one read, from the pool or freshly opened; where the raster can't be opened
// again as it was, the next one given back. nullptr when memory runs out.
GDALDatasetH take_handle(gdal_raster &raster) noexcept {
    try {
        std::unique_lock lock(raster.mutex);
        if (raster.handles.empty() && !raster.reopen_refused) {
            lock.unlock();
            GDALDatasetH handle = reopen_handle(raster);
            lock.lock();
            if (handle != nullptr) {
                // Room for it in the pool, so that give_back needs no memory.
                try {
                    raster.handles.reserve(raster.handles_open + 1);
                    ++raster.handles_open;
                    return handle;
                } catch (...) {
                    raster.api->close(handle);
                }
            }
            raster.reopen_refused = true;
        }
        raster.handle_given_back.wait(lock, [&raster] { return !raster.handles.empty(); });
        GDALDatasetH handle = raster.handles.back();
        raster.handles.pop_back();
        return handle;
    } catch (...) {
        return nullptr;
    }
}

void give_back(gdal_raster &raster, GDALDatasetH handle) noexcept {
    {
        const std::lock_guard lock(raster.mutex);
        raster.handles.push_back(handle); // within the room take_handle made
    }
    raster.handle_given_back.notify_one();
}

} // namespace

gdal_open_result open_gdal_raster(const std::string &name, gdal_raster_ptr &raster,
                                  const band_choice &band, std::int32_t &band_count) {
    raster.reset();
    const gdal_api *api = load_gdal();
    if (api == nullptr) return gdal_open_result::not_taken;
    auto opened = std::make_unique<gdal_raster>();
    GDALDatasetH handle = nullptr;
    switch (open_raster_dataset(name, handle, opened->files, band.band)) {
    case raster_access::opened:
        break;
    case raster_access::not_opened:
        return gdal_open_result::not_taken;
    case raster_access::refused:
        return gdal_open_result::refused;
    case raster_access::complex_values:
        return gdal_open_result::complex_values;
    }
    band_count = api->band_count(handle);
    // A raster of no bands at all fails as a header, as it always did.
    if (band.band < 1 || (band.band > band_count && band.band > 1)) {
        api->close(handle);
        return gdal_open_result::no_such_band;
    }
    try {
        opened->handles.push_back(handle);
    } catch (...) {
        api->close(handle);
        throw;
    }
    opened->api = api;
    opened->name = name;
    opened->band = band.band;
    GDALRasterBandH band_handle = api->band(handle, band.band);
    opened->scale = api->scale(band_handle, nullptr);
    opened->offset = api->offset(band_handle, nullptr);
    // Without either the stored numbers are read as they are, with no multiply in the way.
    opened->scaled = !band.raw && (opened->scale != 1 || opened->offset != 0);
    const char *driver = api->driver_short_name(api->dataset_driver(handle));
    int has_nodata = 0;
    opened->nodata = api->nodata_value(band_handle, &has_nodata);
    opened->judged_by_nodata =
        has_nodata != 0 && driver != nullptr && std::strcmp(driver, "AAIGrid") == 0;
    raster.reset(opened.release());
    return gdal_open_result::opened;
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
    // Cells whose width and height agree to a relative 1e-9 are square: tools that work the
    // sizes out from the extents (gdalwarp -ts, say) leave them a few digits apart.
    const double width = geotransform[1];
    const double height = -geotransform[5];
    if (geotransform[2] != 0 || geotransform[4] != 0 ||
        !(std::fabs(width - height) <=
          square_tolerance * std::max(std::fabs(width), std::fabs(height))))
        return false;
    header.ncols = ncols;
    header.nrows = nrows;
    header.xll = geotransform[0];
    header.yll = geotransform[3] + static_cast<double>(nrows) * geotransform[5];
    header.cellsize = width;
    header.nodata =
        raster.judged_by_nodata ? raster.nodata : std::numeric_limits<double>::quiet_NaN();
    raster.ncols = ncols;
    raster.nrows = nrows;
    return true;
}

namespace {

// The system's name and, where it has one, its authority's code: "WGS 84 (EPSG:4326)".
std::string crs_short_name(const gdal_api &api, OGRSpatialReferenceH crs) {
    const char *name = api.crs_name(crs);
    std::string text = name != nullptr && *name != '\0' ? name : "an unnamed system";
    const char *authority = api.authority_name(crs, nullptr);
    const char *code = api.authority_code(crs, nullptr);
    if (authority != nullptr && code != nullptr) {
        text += " (";
        text += authority;
        text += ':';
        text += code;
        text += ')';
    }
    return text;
}

} // namespace

crs_comparison compare_gdal_crs(gdal_raster &a, gdal_raster &b) {
    const gdal_api &api = *a.api;
    if (api.spatial_ref == nullptr) return {};
    // Before the cells are read: each raster has its first handle only.
    OGRSpatialReferenceH a_crs = api.spatial_ref(a.handles.front());
    OGRSpatialReferenceH b_crs = api.spatial_ref(b.handles.front());
    if (a_crs == nullptr || b_crs == nullptr || api.same_crs(a_crs, b_crs)) return {};
    crs_comparison differing;
    differing.differ = true;
    differing.a_name = crs_short_name(api, a_crs);
    differing.b_name = crs_short_name(api, b_crs);
    return differing;
}

bool start_gdal_blocks(gdal_raster &raster, unsigned threads) noexcept {
    const gdal_api &api = *raster.api;
    GDALDatasetH first = raster.handles.front();
    GDALRasterBandH band = api.band(first, raster.band);
    raster.threads = std::max(threads, 1u);
    raster.compressed = api.metadata_item(first, "COMPRESSION", "IMAGE_STRUCTURE") != nullptr;
    int block_columns = 0;
    int block_rows = 0;
    api.block_size(band, &block_columns, &block_rows);
    raster.block_columns = std::max(block_columns, 1);
    raster.block_rows = std::max(block_rows, 1);
    const GDALDataType type = api.data_type(band);
    const char *pixel_type = api.metadata_item(band, "PIXELTYPE", "IMAGE_STRUCTURE");
    raster.signed_bytes =
        type == GDT_Byte && pixel_type != nullptr && std::strcmp(pixel_type, "SIGNEDBYTE") == 0;
    raster.row_type = held_type(type);
    raster.cell_size = static_cast<std::size_t>(api.data_type_size(raster.row_type));

    const int flags = api.mask_flags(band);
    int has_nodata = 0;
    const double nodata = api.nodata_value(band, &has_nodata);
    raster.mask =
        flags == GMF_ALL_VALID || raster.judged_by_nodata ? mask_source::none : mask_source::gdal;
    if (raster.signed_bytes && (flags == GMF_ALL_VALID || flags == GMF_NODATA) && has_nodata &&
        nodata >= -128 && nodata <= 127 && nodata == std::floor(nodata)) {
        raster.mask = mask_source::value;
        raster.nodata_byte = static_cast<std::uint8_t>(static_cast<std::int8_t>(nodata));
    }
    raster.fill_empty =
        api.data_coverage != nullptr && (raster.mask == mask_source::none ||
                                         (raster.mask == mask_source::gdal && flags == GMF_NODATA));

    // A compressed TIFF of one strip: GDAL splits it into one-row blocks that it decodes only
    // forwards, from the strip's start. Its blocks have no offsets of their own.
    const bool forwards_only = raster.compressed && raster.block_rows == 1 && raster.nrows > 1 &&
                               api.metadata_item(band, "BLOCK_OFFSET_0_0", "TIFF") != nullptr &&
                               api.metadata_item(band, "BLOCK_OFFSET_0_1", "TIFF") == nullptr;

    raster.rows_per_block = rows_per_cell_block(raster.ncols, raster.nrows, raster.block_rows);
    const std::uint64_t row_cells =
        std::max<std::uint64_t>(static_cast<std::uint64_t>(raster.ncols), 1);
    const std::uint64_t mask_byte = raster.mask == mask_source::none ? 0 : 1;
    // GDAL's cache holds a read's blocks for the mask, which GDAL computes from the data it has
    // just decoded.
    const std::uint64_t cached_cell_bytes = static_cast<std::uint64_t>(api.data_type_size(type)) +
                                            (raster.mask == mask_source::gdal ? 1 : 0);
    const std::uint64_t block_row_cells = row_cells * static_cast<std::uint64_t>(raster.block_rows);
    std::uint64_t cached_cells = 0;
    if (forwards_only) {
        raster.reading = block_reading::in_order;
        cached_cells = row_cells * static_cast<std::uint64_t>(raster.rows_per_block);
    } else if (raster.rows_per_block >= raster.block_rows) {
        raster.reading = block_reading::windows;
        cached_cells = row_cells * static_cast<std::uint64_t>(raster.rows_per_block) *
                       static_cast<std::uint64_t>(raster.threads);
    } else {
        raster.reading = block_reading::held_rows;
        // Bands of whole cell blocks, as many as fit, that divide the block row.
        const std::uint64_t block_bytes = static_cast<std::uint64_t>(raster.rows_per_block) *
                                          row_cells * (raster.cell_size + mask_byte);
        const std::int32_t shares = raster.block_rows / raster.rows_per_block;
        std::int32_t fit = static_cast<std::int32_t>(
            std::clamp<std::uint64_t>(largest_held_rows / block_bytes, 1, shares));
        while (shares % fit != 0)
            --fit;
        raster.band_rows = raster.rows_per_block * fit;
        // GDAL decodes a block whole, in its cache: no more of them at once than fit.
        const std::uint64_t block_cells = static_cast<std::uint64_t>(raster.block_columns) *
                                          static_cast<std::uint64_t>(raster.block_rows);
        const std::uint64_t at_once =
            std::max<std::uint64_t>(largest_held_rows / (block_cells * cached_cell_bytes), 1);
        const std::int64_t blocks =
            (std::int64_t{raster.ncols} + raster.block_columns - 1) / raster.block_columns;
        raster.slices = static_cast<std::size_t>(
            std::max<std::int64_t>(std::min<std::int64_t>({std::int64_t{raster.threads}, blocks,
                                                           static_cast<std::int64_t>(at_once)}),
                                   1));
        cached_cells = std::min(block_row_cells, largest_held_rows / cached_cell_bytes);
    }
    raster.block_bytes = static_cast<std::uint64_t>(raster.rows_per_block) * row_cells *
                         (sizeof(double) + mask_byte);
    if (raster.mask == mask_source::gdal)
        cache_needed += static_cast<std::int64_t>(cached_cells * cached_cell_bytes);
    api.set_cache_max(std::max(cache_needed + cache_needed / 8, block_cache_bytes));
    return raster.reading == block_reading::windows;
}

std::uint64_t gdal_block_cells(const gdal_raster &raster) noexcept {
    return static_cast<std::uint64_t>(raster.rows_per_block) *
           static_cast<std::uint64_t>(raster.ncols);
}

std::uint64_t gdal_block_bytes(const gdal_raster &raster) noexcept {
    return raster.block_bytes;
}

namespace {

// Reads the window of w x h cells at column x, row y as the raster's held type into `values`,
// and its mask into `mask` (where the raster has one), both with rows line_cells cells apart.
// False where GDAL fails, or reports a failure.
bool read_window(const gdal_raster &raster, GDALDatasetH handle, int x, int y, int w, int h,
                 unsigned char *values, std::size_t line_cells, unsigned char *mask) noexcept {
    const gdal_api &api = *raster.api;
    GDALRasterBandH band = api.band(handle, raster.band);
    const std::size_t size = raster.cell_size;
    if (raster.fill_empty) {
        const int status = api.data_coverage(band, x, y, w, h, 0, nullptr);
        if (status == GDAL_DATA_COVERAGE_STATUS_EMPTY) {
            for (int r = 0; r < h; ++r) {
                const std::size_t at = static_cast<std::size_t>(r) * line_cells;
                std::memset(values + at * size, 0, static_cast<std::size_t>(w) * size);
                if (mask != nullptr) std::memset(mask + at, 0, static_cast<std::size_t>(w));
            }
            return true;
        }
        // Some of it empty: the blocks side by side, each read or filled.
        if ((status & GDAL_DATA_COVERAGE_STATUS_EMPTY) != 0 && w > raster.block_columns) {
            for (int piece = x; piece < x + w;) {
                const int end =
                    std::min(x + w, (piece / raster.block_columns + 1) * raster.block_columns);
                const auto offset = static_cast<std::size_t>(piece - x);
                if (!read_window(raster, handle, piece, y, end - piece, h, values + offset * size,
                                 line_cells, mask != nullptr ? mask + offset : nullptr))
                    return false;
                piece = end;
            }
            return true;
        }
    }
    // Uncompressed blocks go straight into the cells, past the cache; compressed ones through
    // it, so that the mask finds them there. The file's blocks are decoded on this thread.
    api.set_thread_config_option("GTIFF_DIRECT_IO", raster.compressed ? "NO" : "YES");
    api.set_thread_config_option("GDAL_NUM_THREADS", "1");
    gdal_failed = false;
    const auto line = static_cast<GSpacing>(line_cells);
    if (api.raster_io(band, GF_Read, x, y, w, h, values, w, h, raster.row_type,
                      static_cast<GSpacing>(size), line * static_cast<GSpacing>(size),
                      nullptr) != CE_None)
        return false;
    if (raster.mask == mask_source::gdal &&
        api.raster_io(api.mask_band(band), GF_Read, x, y, w, h, mask, w, h, GDT_Byte, 1, line,
                      nullptr) != CE_None)
        return false;
    if (raster.mask == mask_source::value)
        for (int r = 0; r < h; ++r) {
            const std::size_t at = static_cast<std::size_t>(r) * line_cells;
            for (std::size_t i = at; i < at + static_cast<std::size_t>(w); ++i)
                mask[i] = values[i] == raster.nodata_byte ? 0 : 1;
        }
    return !gdal_failed;
}

// Reads a window through a handle from the pool. A window of no block of the file is, where
// `empty` is given, not read: *empty is set instead.
bool read_window_from_pool(gdal_raster &raster, int x, int y, int w, int h, unsigned char *values,
                           std::size_t line_cells, unsigned char *mask,
                           bool *empty = nullptr) noexcept {
    // Where it opens a raster, GDAL takes the number of threads it decodes with too.
    raster.api->set_thread_config_option("GDAL_NUM_THREADS", "1");
    GDALDatasetH handle = take_handle(raster);
    if (handle == nullptr) return false;
    if (empty != nullptr)
        *empty = raster.fill_empty &&
                 raster.api->data_coverage(raster.api->band(handle, raster.band), x, y, w, h, 0,
                                           nullptr) == GDAL_DATA_COVERAGE_STATUS_EMPTY;
    const bool read = (empty != nullptr && *empty) ||
                      read_window(raster, handle, x, y, w, h, values, line_cells, mask);
    give_back(raster, handle);
    return read;
}

// Reads the band of rows from row_first on into the raster's buffers: its blocks side by side
// in slices, each on a thread of its own (this one the first). Sets row_empty where the file
// holds none of its blocks, and leaves the buffers as they were.
bool read_band(gdal_raster &raster, std::int64_t row_first) noexcept {
    const int rows =
        static_cast<int>(std::min<std::int64_t>(raster.band_rows, raster.nrows - row_first));
    const std::int64_t blocks =
        (std::int64_t{raster.ncols} + raster.block_columns - 1) / raster.block_columns;
    const std::size_t slices = raster.slices;
    struct slice_read {
        bool read = false;
        bool empty = false;
    };
    std::unique_ptr<slice_read[]> done(new (std::nothrow) slice_read[slices]);
    if (!done) return false;
    const auto read_slice = [&raster, &done, row_first, rows, blocks, slices](std::size_t slice) {
        const auto block_at = [&](std::size_t s) {
            return static_cast<std::int64_t>(s) * blocks / static_cast<std::int64_t>(slices);
        };
        const std::int64_t x = block_at(slice) * raster.block_columns;
        const std::int64_t end =
            std::min<std::int64_t>(block_at(slice + 1) * raster.block_columns, raster.ncols);
        const auto offset = static_cast<std::size_t>(x);
        done[slice].read = read_window_from_pool(
            raster, static_cast<int>(x), static_cast<int>(row_first), static_cast<int>(end - x),
            rows, raster.row_values.get() + offset * raster.cell_size,
            static_cast<std::size_t>(raster.ncols),
            raster.mask == mask_source::none ? nullptr : raster.row_mask.get() + offset,
            &done[slice].empty);
    };
    std::vector<std::thread> helpers;
    std::size_t started = 1;
    try {
        helpers.reserve(slices - 1);
        for (; started < slices; ++started)
            helpers.emplace_back(read_slice, started);
    } catch (...) {
        // The slices no thread took are read here.
    }
    for (std::size_t slice = started; slice < slices; ++slice)
        read_slice(slice);
    read_slice(0);
    for (std::thread &helper : helpers)
        helper.join();
    bool read = true;
    bool empty = true;
    for (std::size_t slice = 0; slice < slices; ++slice) {
        read = read && done[slice].read;
        empty = empty && done[slice].empty;
    }
    if (read && !empty)
        for (std::size_t slice = 0; slice < slices; ++slice)
            if (done[slice].empty) {
                // Fill the slice: the others were read into the buffers.
                const std::int64_t x = static_cast<std::int64_t>(slice) * blocks /
                                       static_cast<std::int64_t>(slices) * raster.block_columns;
                const std::int64_t end = std::min<std::int64_t>(
                    static_cast<std::int64_t>(slice + 1) * blocks /
                        static_cast<std::int64_t>(slices) * raster.block_columns,
                    raster.ncols);
                for (int r = 0; r < rows; ++r) {
                    const std::size_t at =
                        static_cast<std::size_t>(r) * static_cast<std::size_t>(raster.ncols) +
                        static_cast<std::size_t>(x);
                    const auto width = static_cast<std::size_t>(end - x);
                    std::memset(raster.row_values.get() + at * raster.cell_size, 0,
                                width * raster.cell_size);
                    if (raster.row_mask) std::memset(raster.row_mask.get() + at, 0, width);
                }
            }
    raster.row_empty = empty;
    return read;
}

// Makes the band of rows that holds first_row the one in the raster's buffers.
block_end hold_band(gdal_raster &raster, std::int64_t first_row) noexcept {
    const std::int64_t row_first = first_row / raster.band_rows * raster.band_rows;
    if (row_first == raster.row_first) return block_end::more;
    const std::size_t cells = static_cast<std::size_t>(std::min(raster.band_rows, raster.nrows)) *
                              static_cast<std::size_t>(raster.ncols);
    if (!raster.row_values)
        raster.row_values.reset(new (std::nothrow) unsigned char[cells * raster.cell_size]);
    const bool masked = raster.mask != mask_source::none;
    if (masked && !raster.row_mask) raster.row_mask.reset(new (std::nothrow) unsigned char[cells]);
    if (!raster.row_values || (masked && !raster.row_mask)) return block_end::no_memory;
    raster.row_first = -1;
    if (!read_band(raster, row_first)) return block_end::no_value;
    raster.row_first = row_first;
    return block_end::more;
}

// Cells of no block of the file, as GDAL would fill them: no data, or zeros where every cell has
// data.
void fill_as_empty(const gdal_raster &raster, double *values, std::size_t count) noexcept {
    std::fill(values, values + count,
              raster.mask == mask_source::none ? 0.0 : std::numeric_limits<double>::quiet_NaN());
}

// The band's unit conversion, after the mask: a cell without data is NaN and stays NaN. A
// multiply and an add, each rounded, as a copy of the band written with the scaled values holds
// them.
void scale_cells(const gdal_raster &raster, double *values, std::size_t count) noexcept {
    if (!raster.scaled) return;
    const double scale = raster.scale;
    const double offset = raster.offset;
    for (std::size_t i = 0; i < count; ++i)
        values[i] = values[i] * scale + offset;
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
    const bool masked = raster.mask != mask_source::none;
    if (block.values_capacity < count) {
        block.values.reset(new (std::nothrow) double[count]);
        block.values_capacity = block.values ? count : 0;
    }
    if (masked && block.bytes_capacity < count + 1) {
        block.bytes.reset(new (std::nothrow) char[count + 1]);
        block.bytes_capacity = block.bytes ? count + 1 : 0;
    }
    if (!block.values || (masked && !block.bytes)) {
        block.end = block_end::no_memory;
        return;
    }
    double *const values = block.values.get();
    auto *const mask = masked ? reinterpret_cast<unsigned char *>(block.bytes.get()) : nullptr;
    if (raster.reading == block_reading::held_rows) {
        block.end = hold_band(raster, first_row);
        if (block.end != block_end::more) return;
        if (raster.row_empty) {
            fill_as_empty(raster, values, count);
            scale_cells(raster, values, count);
            block.cells = values;
            block.count = count;
            return;
        }
        const std::size_t offset = static_cast<std::size_t>(first_row - raster.row_first) *
                                   static_cast<std::size_t>(raster.ncols);
        widen_cells(raster.row_type, raster.signed_bytes, raster.row_values.get(), offset, count,
                    values);
        if (masked) std::memcpy(mask, raster.row_mask.get() + offset, count);
    } else {
        // The raw cells go to the end of the block's own values, and are widened in place:
        // no buffer besides.
        unsigned char *const raw =
            reinterpret_cast<unsigned char *>(values) + (sizeof(double) - raster.cell_size) * count;
        bool empty = false;
        if (!read_window_from_pool(raster, 0, static_cast<int>(first_row), raster.ncols, rows, raw,
                                   static_cast<std::size_t>(raster.ncols), mask, &empty)) {
            block.end = block_end::no_value;
            return;
        }
        if (empty) {
            fill_as_empty(raster, values, count);
            scale_cells(raster, values, count);
            block.cells = values;
            block.count = count;
            return;
        }
        widen_cells(raster.row_type, raster.signed_bytes, raw, 0, count, values);
    }
    if (masked)
        for (std::size_t i = 0; i < count; ++i)
            if (mask[i] == 0) values[i] = std::numeric_limits<double>::quiet_NaN();
    scale_cells(raster, values, count);
    block.cells = values;
    block.count = count;
}
