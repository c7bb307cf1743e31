// Whole runs, in process, on a raster that GDAL reads: the input's bytes are written to a file
// as they are, and the seed corpus holds small GeoTIFFs (strips and tiles, DEFLATE, LZW and
// PackBits, integer and floating types, no-data and NaN, masks, several bands), whose mutations
// reach GDAL's decoders and the tool's reading of their blocks.
//
// Three runs on the raster: as both grids; as input grid with a text zone grid of its geometry
// (zones in a pattern, some negative); and that pair again as a JSON table of the statistics
// that walk every value. Each is made at 1 and at 3 threads, which must agree on all the user
// sees: the exit code (one of the documented ones), the console, and whether the report exists
// and every byte of it; a failed run leaves the report empty. The text zone grid states the
// raster's own geometry, so those pairs must never differ in geometry.
//
// libgdal is not instrumented: coverage comes from the tool's side only.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "fuzz_support.h"
#include "grid/grid.h"

namespace {

namespace fs = std::filesystem;
using fuzz_support::fail;

constexpr std::size_t max_input_size = 1 << 16;
// Rasters of more cells only cost time: a few bytes of compressed data can claim many. Enough
// for a block row the tool cuts into cell blocks (256K cells and more).
constexpr std::uint64_t max_cells = std::uint64_t{1} << 20;

const char *const table_stats = "--stats=zone,count,nodata,min,max,sum,mean,stddev,median,p10,"
                                "p99.5,mode,minority,variety";

struct outcome {
    int exit_code = 0;
    std::string console;
    bool report_exists = false;
    std::string report;
};

outcome run(const std::vector<std::string> &words, const std::string &report_name) {
    std::error_code ignored;
    fs::remove(report_name, ignored);
    fuzz_support::clear_console();
    std::vector<std::string> arguments = {"zonalstats"};
    arguments.insert(arguments.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    outcome result;
    // On a thread of its own, as a run in a process of its own would start: GDAL keeps settings
    // per thread, and a run leaves some on the thread it ran on (GTIFF_DIRECT_IO, which changes
    // how the next dataset opened there reads a damaged block).
    std::thread([&] {
        result.exit_code = run_zonalstats(static_cast<int>(arguments.size()), argv.data());
    }).join();
    result.console = fuzz_support::read_console();
    result.report_exists = fs::exists(report_name);
    if (result.report_exists) result.report = fuzz_support::read_whole_file(report_name);
    return result;
}

// The run at 1 and at 3 threads; the outcome both had.
outcome run_at_two_thread_counts(const std::vector<std::string> &words,
                                 const std::string &report_name) {
    std::vector<std::string> one = {"--threads=1"};
    std::vector<std::string> three = {"--threads=3"};
    one.insert(one.end(), words.begin(), words.end());
    three.insert(three.end(), words.begin(), words.end());
    const outcome a = run(one, report_name);
    const outcome b = run(three, report_name);
    const std::string what = words[words.size() - 3] + " with " + words[words.size() - 2];
    if (a.exit_code != 0 && a.exit_code != 1 && a.exit_code != 3 && a.exit_code != 4 &&
        a.exit_code != 98)
        fail("%s: exit code %d is none of the documented ones; console: %s", what.c_str(),
             a.exit_code, a.console.c_str());
    if (a.exit_code != b.exit_code)
        fail("%s: exit code %d at 1 thread, %d at 3; consoles:\n%s\n---\n%s", what.c_str(),
             a.exit_code, b.exit_code, a.console.c_str(), b.console.c_str());
    if (a.console != b.console)
        fail("%s: the console at 1 thread:\n%s\n--- and at 3:\n%s", what.c_str(), a.console.c_str(),
             b.console.c_str());
    if (a.report_exists != b.report_exists)
        fail("%s: report exists at 1 thread: %d, at 3: %d", what.c_str(), a.report_exists,
             b.report_exists);
    if (a.report != b.report)
        fail("%s: the report at 1 thread:\n%s\n--- and at 3:\n%s", what.c_str(), a.report.c_str(),
             b.report.c_str());
    if (a.exit_code != 0 && !a.report.empty())
        fail("%s: a failed run (exit %d) left a report that is not empty", what.c_str(),
             a.exit_code);
    return a;
}

// A text grid of the header's geometry, every number written so that it reads back the same.
void write_zone_grid(const std::string &name, const grid_header &header) {
    std::FILE *file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) fail("cannot write %s", name.c_str());
    std::fprintf(file,
                 "ncols %d\nnrows %d\nxllcorner %.17g\nyllcorner %.17g\ncellsize %.17g\n"
                 "NODATA_value -9999\n",
                 header.ncols, header.nrows, header.xll, header.yll, header.cellsize);
    for (std::int32_t row = 0; row < header.nrows; ++row) {
        for (std::int32_t column = 0; column < header.ncols; ++column)
            std::fprintf(file, "%d ", (row / 2 + column / 3) % 5 - 1);
        std::fputc('\n', file);
    }
    if (std::fclose(file) != 0) fail("cannot write %s", name.c_str());
}

bool finite_geometry(const grid_header &header) {
    return std::isfinite(header.xll) && std::isfinite(header.yll) && std::isfinite(header.cellsize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > max_input_size) return -1;
    const fs::path &folder = fuzz_support::scratch_folder();
    const std::string raster_name = (folder / "raster").string();
    const std::string zone_name = (folder / "zones.asc").string();
    const std::string report_name = (folder / "report.txt").string();
    fuzz_support::write_file(raster_name, data, size);

    // Files in the native formats are whole_run's; files GDAL doesn't take end as any other.
    grid_header header;
    bool header_read = false;
    {
        grid_stream grid;
        if (open_grid(raster_name, grid) != grid_open_result::ok ||
            grid.format != grid_format::gdal)
            return -1;
        header_read = read_grid_header(grid);
        header = grid.header;
    }
    if (header_read &&
        static_cast<std::uint64_t>(header.ncols) * static_cast<std::uint64_t>(header.nrows) >
            max_cells)
        return -1;

    run_at_two_thread_counts({raster_name, raster_name, report_name}, report_name);
    if (!header_read) return 0;
    write_zone_grid(zone_name, header);
    for (const std::vector<std::string> &words :
         {std::vector<std::string>{raster_name, zone_name, report_name},
          {"--json", table_stats, raster_name, zone_name, report_name}}) {
        const outcome result = run_at_two_thread_counts(words, report_name);
        if (result.exit_code == 3 && finite_geometry(header))
            fail("the raster and a text grid of its own geometry differ in geometry: %s",
                 result.console.c_str());
    }
    return 0;
}
