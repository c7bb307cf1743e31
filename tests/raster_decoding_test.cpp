// How GDAL rasters are decoded: layouts whose blocks GDAL decodes only forwards, damaged blocks,
// signed bytes, and sparse files with huge tiles. The rasters are made at test time with
// python3-gdal and numpy; every run is made at 1, 2, 3 and 8 threads (run_tool), which must give
// the same console, exit code and report. Without GDAL in the build, or without python3-gdal and
// numpy, the tests say so and skip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::banner;
using test_support::figures;
using test_support::read_file;
using test_support::run_tool;
using test_support::write_file;

#if ZONALSTATS_WITH_GDAL

// A python3 that has GDAL's bindings and numpy: the first on the PATH, else the system's own
// (a python3 of a virtual environment on the PATH may lack them). Empty where there is none.
const std::string &gdal_python() {
    static const std::string python = [] {
        for (const std::string candidate : {"python3", "/usr/bin/python3"}) {
            const std::string probe =
                candidate + " -c 'from osgeo import gdal; import numpy' >/dev/null 2>&1";
            if (std::system(probe.c_str()) == 0) return candidate;
        }
        return std::string();
    }();
    return python;
}

// Writes the rasters: make(name, cells, options, nodata) with cells a numpy array, rows first.
const char *const python_prelude = R"(
import sys
from osgeo import gdal
import numpy as np
gdal.UseExceptions()

def make(name, cells, options=(), nodata=None, data_type=None):
    rows, columns = cells.shape
    kinds = {np.dtype('uint8'): gdal.GDT_Byte, np.dtype('int8'): gdal.GDT_Byte,
             np.dtype('int16'): gdal.GDT_Int16, np.dtype('float32'): gdal.GDT_Float32}
    dataset = gdal.GetDriverByName('GTiff').Create(
        name, columns, rows, 1, data_type or kinds[cells.dtype], list(options))
    dataset.SetGeoTransform([1000, 10, 0, 5000, 0, -10])
    band = dataset.GetRasterBand(1)
    if nodata is not None:
        band.SetNoDataValue(nodata)
    band.WriteArray(cells.view(np.uint8) if cells.dtype == np.int8 else cells)
    dataset = None
)";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

class RasterDecoding : public test_support::scratch_test {
  protected:
    void SetUp() override {
        scratch_test::SetUp();
        ZONALSTATS_SKIP_ON_WINDOWS("the rasters are made with python3-gdal, read through GDAL");
        if (gdal_python().empty()) GTEST_SKIP() << "needs python3-gdal and python3-numpy";
    }

    // Runs the script, after the prelude, in the scratch folder; returns what it prints.
    std::string python(const std::string &script) {
        write_file(path("make.py"), std::string(python_prelude) + script);
        const std::string command = "cd '" + dir.string() + "' && " + gdal_python() +
                                    " make.py > made.txt 2> python-errors.txt";
        EXPECT_EQ(std::system(command.c_str()), 0) << read_file(path("python-errors.txt"));
        return read_file(path("made.txt"));
    }

    // The tool's run on the pair: its exit code and console, its report (empty where it wrote
    // none), and not a word on standard error.
    struct outcome {
        int exit_code = -1;
        std::string console;
        std::string report;
    };
    outcome run(const std::string &input, const std::string &zones,
                std::uint64_t address_space_limit = 0) {
        SCOPED_TRACE(input + " with " + zones);
        test_support::run_options options;
        options.capture_errors = true;
        options.address_space_limit = address_space_limit;
        fs::remove(dir / "report.txt");
        const auto result = run_tool(dir, {input, zones, "report.txt"}, options);
        EXPECT_EQ(result.errors, "") << "GDAL must not speak";
        std::error_code ignored;
        return {result.exit_code, result.console,
                fs::exists(dir / "report.txt", ignored) ? read_file(path("report.txt")) : ""};
    }
};

// The zone lines of a report: zone value -> "number minimum maximum sum".
std::map<std::string, std::string> zone_figures(const std::string &report) {
    std::map<std::string, std::string> zones;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string field; std::getline(cells, field, '\t');)
            fields.push_back(field);
        // ID, zone value, an empty column, number, minimum, maximum, sum, mean, std. dev.
        if (fields.size() != 9 || !fields[2].empty()) continue;
        const std::size_t id = fields[0].find_first_not_of(' ');
        // Not the totals line, of ID 0.
        if (id == std::string::npos || fields[0].substr(id) == "0") continue;
        zones[fields[1]] = fields[3] + " " + fields[4] + " " + fields[5] + " " + fields[6];
    }
    return zones;
}

std::map<std::string, std::string> parse_expected(const std::string &printed) {
    std::map<std::string, std::string> zones;
    std::istringstream lines(printed);
    for (std::string zone, number, minimum, maximum, sum;
         lines >> zone >> number >> minimum >> maximum >> sum;)
        zones[zone] = number + " " + minimum + " " + maximum + " " + sum;
    return zones;
}

// A compressed TIFF of one strip, the usual layout of land-cover layers: GDAL splits it into
// one-row blocks that it decodes only forwards. Read at once by several threads, it failed at
// a row that changed from run to run.
TEST_F(RasterDecoding, SingleStripCompressedRastersGiveTheFiguresOfTheirUncompressedCopies) {
    python(R"(
rng = np.random.default_rng(7)
classes = rng.integers(0, 6, size=(3000, 3000)).astype(np.uint8)
zones = (np.arange(3000)[:, None] // 700 * 5 + np.arange(3000)[None, :] // 900).astype(np.uint8)
make('plain.tif', classes, nodata=0)
make('zones_plain.tif', zones)
make('zones_strip.tif', zones, ['COMPRESS=DEFLATE', 'BLOCKYSIZE=3000'])
for method in ('LZW', 'DEFLATE', 'ZSTD', 'PACKBITS'):
    make(method + '.tif', classes, ['COMPRESS=' + method, 'BLOCKYSIZE=3000'], nodata=0)
)");
    const outcome plain = run("plain.tif", "zones_plain.tif");
    ASSERT_EQ(plain.exit_code, 0) << plain.console;
    ASSERT_NE(plain.report.find("\n    1\t"), std::string::npos) << plain.report;
    for (const std::string method : {"LZW", "DEFLATE", "ZSTD", "PACKBITS"}) {
        SCOPED_TRACE(method);
        const outcome strip = run(method + ".tif", "zones_strip.tif");
        EXPECT_EQ(strip.exit_code, 0) << strip.console;
        EXPECT_EQ(strip.console, plain.console);
        EXPECT_EQ(figures(strip.report), figures(plain.report));
    }
}

// Damaged DEFLATE tiles, in a raster whose tiles are taller than it: GDAL's multi-threaded
// decoding let some of them through as garbage. A block GDAL fails on is never counted: the run
// stops at the first cell of the failing block row.
TEST_F(RasterDecoding, ADamagedBlockFailsTheRunAtTheSameCellAtEveryThreadCount) {
    python(R"(
rng = np.random.default_rng(3)
for name, columns, tile in (('wide', 3000, 256), ('narrow', 600, 512)):
    make(name + '.tif', rng.integers(1, 100, size=(100, columns)).astype(np.int16),
         ['TILED=YES', 'COMPRESS=DEFLATE', 'BLOCKXSIZE=%d' % tile, 'BLOCKYSIZE=%d' % tile])
    make(name + '_zones.tif', np.ones((100, columns), np.int16))
    dataset = gdal.Open(name + '.tif')
    offset = int(dataset.GetRasterBand(1).GetMetadataItem('BLOCK_OFFSET_1_0', 'TIFF'))
    dataset = None
    data = bytearray(open(name + '.tif', 'rb').read())
    for at in (offset + 10, offset + 11):
        data[at] ^= 0xFF
    open(name + '.tif', 'wb').write(data)
)");
    for (const std::string name : {"wide", "narrow"}) {
        SCOPED_TRACE(name);
        const outcome damaged = run(name + ".tif", name + "_zones.tif");
        EXPECT_EQ(damaged.exit_code, 98);
        EXPECT_EQ(damaged.console,
                  banner + "\ncould not read a value for row 1, column 1 from " + name + ".tif\n");
        EXPECT_EQ(damaged.report, "");
    }
}

// GDAL 3.6 has no signed 8-bit type: such a raster is Byte with PIXELTYPE=SIGNEDBYTE. Its -5
// is -5, not 251; a zone of -1 is no zone, not zone 255; and a negative no-data value, which
// GDAL's own mask misses, marks no data.
TEST_F(RasterDecoding, SignedBytesAreSigned) {
    python(R"(
signed = ['PIXELTYPE=SIGNEDBYTE']
values = np.array([[-5, 3, -128, 127], [0, -1, 5, -5]], np.int8)
make('values.tif', values, signed)
make('values_nodata.tif', values, signed, nodata=-5)
make('values_tiled.tif', np.tile(values, (1, 400)),
     signed + ['TILED=YES', 'COMPRESS=DEFLATE', 'BLOCKXSIZE=512', 'BLOCKYSIZE=512'])
zones = np.array([[1, 1, -1, 2], [2, -1, 1, 1]], np.int8)
make('zones.tif', zones, signed)
make('zones_tiled.tif', np.tile(zones, (1, 400)), signed + ['TILED=YES'])
)");
    struct signed_case {
        std::string input;
        std::string zones;
        std::map<std::string, std::string> figures; // zone -> number minimum maximum sum
    } cases[] = {
        {"values.tif", "zones.tif", {{"1", "4 -5 5 -2"}, {"2", "2 0 127 127"}}},
        {"values_nodata.tif", "zones.tif", {{"1", "2 3 5 8"}, {"2", "2 0 127 127"}}},
        // Block rows of 3200 x 512 cells, read once and cut into cell blocks.
        {"values_tiled.tif",
         "zones_tiled.tif",
         {{"1", "1600 -5 5 -800"}, {"2", "800 0 127 50800"}}},
    };
    for (const signed_case &c : cases) {
        SCOPED_TRACE(c.input);
        const outcome result = run(c.input, c.zones);
        EXPECT_EQ(result.exit_code, 0) << result.console;
        EXPECT_EQ(zone_figures(result.report), c.figures) << result.report;
    }
}

// Sparse files: the blocks the file doesn't hold are no data (there is a no-data value), read
// at once without decoding; with tiles so large that a row of them would take gigabytes,
// memory stays bounded. The figures are those GDAL's own reading of the written windows gives.
TEST_F(RasterDecoding, SparseRastersWithHugeTilesReadInBoundedMemory) {
    const std::string printed = python(R"(
def sparse(name, columns, rows, tile, data_type, nodata, windows):
    dataset = gdal.GetDriverByName('GTiff').Create(
        name, columns, rows, 1, data_type,
        ['TILED=YES', 'BLOCKXSIZE=%d' % tile, 'BLOCKYSIZE=%d' % tile, 'SPARSE_OK=TRUE',
         'COMPRESS=DEFLATE', 'BIGTIFF=YES'])
    dataset.SetGeoTransform([1000, 10, 0, 5000, 0, -10])
    band = dataset.GetRasterBand(1)
    band.SetNoDataValue(nodata)
    for x, y, cells in windows:
        band.WriteArray(cells, x, y)
    dataset = None

rng = np.random.default_rng(11)
for name, columns, rows, tile in (('wide', 100000, 512, 8192), ('big', 20000, 20000, 4096)):
    # Values in a few places, zones 1 to 3 in a few others that overlap them in part.
    spots = [(columns // 7, rows // 5), (columns - 300, rows - 200), (5, 7)]
    values = [(x, y, rng.integers(-50, 50, size=(150, 250)).astype(np.int16))
              for x, y in spots]
    zone_spots = [(x + 100, y + 40) for x, y in spots[:2]] + [(0, 0)]
    zones = [(min(x, columns - 200), min(y, rows - 160),
              np.full((160, 200), k + 1, np.uint8)) for k, (x, y) in enumerate(zone_spots)]
    sparse(name + '.tif', columns, rows, tile, gdal.GDT_Int16, -9999, values)
    sparse(name + '_zones.tif', columns, rows, tile, gdal.GDT_Byte, 0, zones)
    # What GDAL reads in the zone windows: every counted cell lies in one.
    figures = {}
    dataset = gdal.Open(name + '.tif')
    band = dataset.GetRasterBand(1)
    for x, y, cells in zones:
        window = band.ReadAsArray(x, y, cells.shape[1], cells.shape[0]).astype(np.int64)
        counted = window[window != -9999]
        zone = int(cells[0, 0])
        if counted.size:
            figures[zone] = (counted.size, counted.min(), counted.max(), counted.sum())
    print(name, len(figures))
    for zone, (number, low, high, total) in sorted(figures.items()):
        print(zone, number, low, high, total)
)");
    std::istringstream sections(printed);
    for (std::string name; sections >> name;) {
        SCOPED_TRACE(name);
        std::size_t zones = 0;
        sections >> zones;
        std::string expected_lines;
        for (std::size_t i = 0; i < zones * 5; ++i) {
            std::string word;
            sections >> word;
            expected_lines += word + (i % 5 == 4 ? "\n" : " ");
        }
        const std::map<std::string, std::string> expected = parse_expected(expected_lines);
        ASSERT_EQ(expected.size(), 3u) << "every zone window meets written values";
        // Far below the gigabytes a held row of these tiles takes. glibc's malloc reserves
        // 64 MiB of address space for each thread's own arena: two arenas make the limit one of
        // memory in use.
        // Under a sanitizer, whose shadow memory alone is terabytes of address space, only the
        // figures are checked.
        setenv("MALLOC_ARENA_MAX", "2", 1);
        const outcome result = run(name + ".tif", name + "_zones.tif",
                                   sanitized ? 0 : std::uint64_t{3} << 29); // 1.5 GiB
        unsetenv("MALLOC_ARENA_MAX");
        EXPECT_EQ(result.exit_code, 0)
            << result.console.substr(result.console.size() > 200 ? result.console.size() - 200 : 0);
        EXPECT_EQ(zone_figures(result.report), expected) << result.report;
    }
}

#endif

} // namespace
