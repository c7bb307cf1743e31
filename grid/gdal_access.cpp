#include "grid/gdal_access.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <cpl_conv.h>
#include <cpl_minixml.h>
#include <cpl_string.h>
#include <cpl_vsi.h>

namespace {

struct access_api {
    decltype(&GDALOpenEx) open;
    decltype(&GDALClose) close;
    decltype(&GDALIdentifyDriverEx) identify;
    decltype(&GDALGetFileList) file_list;
    decltype(&GDALGetRasterCount) band_count;
    decltype(&GDALGetRasterBand) band;
    decltype(&GDALGetRasterDataType) data_type;
    decltype(&GDALDataTypeIsComplex) is_complex;
    decltype(&CSLDestroy) destroy_list;
    decltype(&CPLGetConfigOption) config;
    decltype(&CPLSetConfigOption) set_config;
    decltype(&CPLSetThreadLocalConfigOption) set_thread_config;
    decltype(&CPLParseXMLFile) parse_xml_file;
    decltype(&CPLDestroyXMLNode) destroy_xml;
    decltype(&CPLGetXMLValue) xml_value;
    decltype(&CPLGetPath) path_of;
    decltype(&CPLProjectRelativeFilename) relative_name;
    decltype(&VSIStatExL) stat;
    decltype(&VSIAllocFilesystemPluginCallbacksStruct) new_handler;
    decltype(&VSIInstallPluginHandler) install_handler;
};

// Set once by prepare_gdal_access, before any raster is opened.
access_api api{};

// Drivers that read the process's memory or a network service, whatever file names them.
constexpr const char *skipped_drivers = "MEM WMS WMTS WCS HTTP EEDA EEDAI DAAS PLMOSAIC PLSCENES "
                                        "OGCAPI STACTA STACIT NGW PostGISRaster KMLSUPEROVERLAY";

// Connection strings of drivers that read no file (the ones of skipped drivers included, for
// the message), and a VRT given as its XML or as a vrt:// name, whose sources can't be checked.
bool is_refused_connection(std::string_view name) {
    const auto starts_ignoring_case = [name](std::string_view prefix) {
        return name.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), name.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) ==
                          std::tolower(static_cast<unsigned char>(b));
               });
    };
    return starts_ignoring_case("MEM:::") || starts_ignoring_case("vrt://") ||
           name.find("<VRTDataset") != std::string_view::npos;
}

// How long a network read may take, unless the environment says otherwise: a server that
// accepts and never answers ends the run instead of holding it for ever.
constexpr std::pair<const char *, const char *> network_defaults[] = {
    {"GDAL_HTTP_CONNECTTIMEOUT", "30"},
    {"GDAL_HTTP_TIMEOUT", "60"},
    {"GDAL_HTTP_MAX_RETRY", "0"},
};

// Virtual file systems no raster may reach: standard input waits for the console, the
// streaming network ones take no list of allowed names (see open_raster_dataset), and a sparse
// file's XML names files of its own.
constexpr const char *refused_file_systems[] = {
    "/vsistdin/",           "/vsisparse/",
    "/vsicurl_streaming/",  "/vsis3_streaming/",
    "/vsigs_streaming/",    "/vsiaz_streaming/",
    "/vsiadls_streaming/",  "/vsioss_streaming/",
    "/vsiswift_streaming/", "/vsiwebhdfs_streaming/",
};

void *open_nothing(void *, const char *, const char *) {
    return nullptr;
}
int stat_nothing(void *, const char *, VSIStatBufL *, int) {
    return -1;
}

// ---- virtual paths ----

// What a name stands on, layer by layer: "/vsigzip//vsizip/a.zip/b.gz" reads b.gz in the local
// file a.zip.
struct path_bottom {
    bool refused = false;
    std::string network;    // the network file at the bottom, named as its file system has it
    std::string local;      // the local file at the bottom, where one exists
    bool is_folder = false; // the local file is a folder
};

constexpr std::string_view archive_kinds[] = {"zip", "gzip", "tar", "7z", "rar"};
constexpr std::string_view network_kinds[] = {"curl", "s3",    "gs",      "az",  "adls",
                                              "oss",  "swift", "webhdfs", "hdfs"};
// Where an archive's name ends inside a network path, as GDAL's archive handlers split it.
constexpr std::string_view archive_extensions[] = {".zip",    ".kmz", ".tar", ".tgz",
                                                   ".tar.gz", ".7z",  ".rar"};

bool is_one_of(std::string_view word, const auto &words) {
    return std::find(std::begin(words), std::end(words), word) != std::end(words);
}

// The longest leading part of the local name, at a '/', that exists: the file an archive path
// reads, or the name itself.
void find_local_file(std::string_view name, path_bottom &bottom) {
    std::string part(name);
    for (;;) {
        std::error_code error;
        const auto status = std::filesystem::status(part, error);
        if (std::filesystem::exists(status)) {
            bottom.local = part;
            bottom.is_folder = std::filesystem::is_directory(status);
            // FIFOs, devices and sockets wait for ever or never end.
            if (!bottom.is_folder && !std::filesystem::is_regular_file(status))
                bottom.refused = true;
            return;
        }
        const std::size_t slash = part.find_last_of('/');
        if (slash == std::string::npos || slash == 0) return;
        part.resize(slash);
    }
}

// The archive's own name in a network path that goes on inside it.
std::string network_archive(const std::string &name) {
    std::string lower = name;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t end = std::string::npos;
    for (const std::string_view extension : archive_extensions)
        for (std::size_t at = lower.find(extension); at != std::string::npos;
             at = lower.find(extension, at + 1)) {
            const std::size_t behind = at + extension.size();
            if (behind == lower.size() || lower[behind] == '/') {
                end = std::min(end, behind);
                break;
            }
        }
    return end == std::string::npos ? name : name.substr(0, end);
}

void find_bottom(std::string_view name, path_bottom &bottom, int depth) {
    if (!name.starts_with("/vsi")) {
        find_local_file(name, bottom);
        return;
    }
    const std::size_t end = name.find_first_of("/?", 4);
    if (end == std::string_view::npos || depth > 8) {
        bottom.refused = true;
        return;
    }
    const std::string_view kind = name.substr(4, end - 4);
    if (is_one_of(kind, network_kinds)) {
        bottom.network = name;
        return;
    }
    if (name[end] != '/') {
        bottom.refused = true;
        return;
    }
    const std::string_view rest = name.substr(end + 1);
    if (kind == "subfile") {
        const std::size_t comma = rest.find(',');
        if (comma == std::string_view::npos)
            bottom.refused = true;
        else
            find_bottom(rest.substr(comma + 1), bottom, depth + 1);
        return;
    }
    if (!is_one_of(kind, archive_kinds)) {
        bottom.refused = true;
        return;
    }
    if (rest.starts_with('{')) {
        // {archive}/member: the braces hold the archive's name whole.
        int open = 0;
        for (std::size_t i = 0; i < rest.size(); ++i) {
            open += rest[i] == '{' ? 1 : rest[i] == '}' ? -1 : 0;
            if (open == 0) {
                find_bottom(rest.substr(1, i - 1), bottom, depth + 1);
                return;
            }
        }
        bottom.refused = true;
        return;
    }
    find_bottom(rest, bottom, depth + 1);
    if (!bottom.network.empty() && kind != "gzip") bottom.network = network_archive(bottom.network);
}

path_bottom bottom_of(const std::string &name) {
    path_bottom bottom;
    find_bottom(name, bottom, 0);
    return bottom;
}

// ---- VRT sources ----

bool is_vrt(const std::string &name) {
    const char *const vrt_only[] = {"VRT", nullptr};
    return api.identify(name.c_str(), GDAL_OF_RASTER, vrt_only, nullptr) != nullptr;
}

bool vrt_sources_allowed(const std::string &name, int depth);

// A source of a VRT: a regular file, local or in a local archive, or a VRT whose sources are.
bool source_allowed(const std::string &name, int depth) {
    const path_bottom bottom = bottom_of(name);
    if (bottom.refused || !bottom.network.empty() || is_refused_connection(name)) return false;
    VSIStatBufL info{};
    if (api.stat(name.c_str(), &info, VSI_STAT_EXISTS_FLAG | VSI_STAT_NATURE_FLAG) != 0 ||
        !VSI_ISREG(info.st_mode))
        return false;
    return !is_vrt(name) || vrt_sources_allowed(name, depth);
}

bool nodes_allowed(const CPLXMLNode *node, const std::string &vrt_folder, int depth) {
    for (; node != nullptr; node = node->psNext) {
        if (node->eType != CXT_Element) continue;
        const std::string_view element = node->pszValue;
        if (std::string_view(api.xml_value(node, "subClass", "")) == "VRTRawRasterBand")
            return false;
        if (element == "SourceFilename" || element == "SourceDataset") {
            const char *value = api.xml_value(node, nullptr, "");
            const bool relative = std::atoi(api.xml_value(node, "relativeToVRT", "0")) != 0;
            const std::string source =
                relative ? std::string(api.relative_name(vrt_folder.c_str(), value)) : value;
            if (!source_allowed(source, depth + 1)) return false;
            continue;
        }
        if (!nodes_allowed(node->psChild, vrt_folder, depth)) return false;
    }
    return true;
}

bool vrt_sources_allowed(const std::string &name, int depth) {
    if (depth > 8) return false; // a VRT among its own sources, say
    CPLXMLNode *const root = api.parse_xml_file(name.c_str());
    // GDAL's VRT driver can't read it either.
    if (root == nullptr) return true;
    const std::string folder = api.path_of(name.c_str());
    const bool allowed = nodes_allowed(root, folder, depth);
    api.destroy_xml(root);
    return allowed;
}

// ---- the opened raster ----

// The raster's files, each allowed; false where one is not.
bool list_files(GDALDatasetH dataset, std::vector<raster_file> &files) {
    files.clear();
    char **const list = api.file_list(dataset);
    bool allowed = true;
    for (char **name = list; allowed && name != nullptr && *name != nullptr; ++name) {
        const path_bottom bottom = bottom_of(*name);
        allowed = !bottom.refused;
        raster_file file;
        file.name = *name;
        if (bottom.network.empty() && !bottom.local.empty())
            file.local = read_file_identity(bottom.local, file.identity);
        files.push_back(std::move(file));
    }
    api.destroy_list(list);
    return allowed;
}

bool has_complex_values(GDALDatasetH dataset, int band) {
    return band >= 1 && api.band_count(dataset) >= band &&
           api.is_complex(api.data_type(api.band(dataset, band))) != 0;
}

} // namespace

bool prepare_gdal_access(void *library) noexcept {
    access_api &a = api;
    const bool whole =
        find_shared_library_function(library, "GDALOpenEx", a.open) &&
        find_shared_library_function(library, "GDALClose", a.close) &&
        find_shared_library_function(library, "GDALIdentifyDriverEx", a.identify) &&
        find_shared_library_function(library, "GDALGetFileList", a.file_list) &&
        find_shared_library_function(library, "GDALGetRasterCount", a.band_count) &&
        find_shared_library_function(library, "GDALGetRasterBand", a.band) &&
        find_shared_library_function(library, "GDALGetRasterDataType", a.data_type) &&
        find_shared_library_function(library, "GDALDataTypeIsComplex", a.is_complex) &&
        find_shared_library_function(library, "CSLDestroy", a.destroy_list) &&
        find_shared_library_function(library, "CPLGetConfigOption", a.config) &&
        find_shared_library_function(library, "CPLSetConfigOption", a.set_config) &&
        find_shared_library_function(library, "CPLSetThreadLocalConfigOption",
                                     a.set_thread_config) &&
        find_shared_library_function(library, "CPLParseXMLFile", a.parse_xml_file) &&
        find_shared_library_function(library, "CPLDestroyXMLNode", a.destroy_xml) &&
        find_shared_library_function(library, "CPLGetXMLValue", a.xml_value) &&
        find_shared_library_function(library, "CPLGetPath", a.path_of) &&
        find_shared_library_function(library, "CPLProjectRelativeFilename", a.relative_name) &&
        find_shared_library_function(library, "VSIStatExL", a.stat) &&
        find_shared_library_function(library, "VSIAllocFilesystemPluginCallbacksStruct",
                                     a.new_handler) &&
        find_shared_library_function(library, "VSIInstallPluginHandler", a.install_handler);
    if (!whole) return false;
    try {
        // The user's own list of drivers to leave out stays.
        std::string skip = a.config("GDAL_SKIP", "");
        skip += std::string(skip.empty() ? "" : " ") + skipped_drivers;
        a.set_config("GDAL_SKIP", skip.c_str());
    } catch (...) {
        return false;
    }
    a.set_config("GDAL_VRT_ENABLE_PYTHON", "NO");
    // A text grid's numbers as written, not rounded to float32 where they have decimals.
    if (a.config("AAIGRID_DATATYPE", nullptr) == nullptr)
        a.set_config("AAIGRID_DATATYPE", "Float64");
    // No network file but the one named, set for each open (open_raster_dataset).
    a.set_config("CPL_VSIL_CURL_ALLOWED_FILENAME", "");
    for (const auto &[option, value] : network_defaults)
        if (a.config(option, nullptr) == nullptr) a.set_config(option, value);
    // GDAL keeps the handlers, whose callbacks refuse every name.
    VSIFilesystemPluginCallbacksStruct *const refusing = a.new_handler();
    if (refusing == nullptr) return false;
    refusing->open = open_nothing;
    refusing->stat = stat_nothing;
    for (const char *prefix : refused_file_systems)
        a.install_handler(prefix, refusing);
    return true;
}

raster_access open_raster_dataset(const std::string &name, GDALDatasetH &dataset,
                                  std::vector<raster_file> &files, int band) {
    dataset = nullptr;
    const path_bottom bottom = bottom_of(name);
    if (bottom.refused || is_refused_connection(name)) return raster_access::refused;
    // GDAL's network file systems (but the streaming ones, refused) open no file but this one,
    // on this thread: reads of the raster on other threads open nothing new.
    api.set_thread_config("CPL_VSIL_CURL_ALLOWED_FILENAME", bottom.network.c_str());
    if (is_vrt(name) && !vrt_sources_allowed(name, 0)) return raster_access::refused;
    dataset = api.open(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (dataset == nullptr) return raster_access::not_opened;
    raster_access access = raster_access::opened;
    try {
        if (!list_files(dataset, files))
            access = raster_access::refused;
        else if (has_complex_values(dataset, band))
            access = raster_access::complex_values;
    } catch (...) {
        api.close(dataset);
        dataset = nullptr;
        throw;
    }
    if (access != raster_access::opened) {
        api.close(dataset);
        dataset = nullptr;
    }
    return access;
}
