// The geometry of rasters read through GDAL, end to end: cells square only to within rounding,
// the line that names what differs between two grids, and rasters in different coordinate
// systems. The rasters are made at test time with GDAL's command line tools from the cells of
// tests/fixtures/gdal/, under geotransforms written out in VRTs; each run that goes through is
// held against the report of the same cells as native grids.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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
using test_support::text_grid;
using test_support::write_file;

const fs::path source_dir = ZONALSTATS_SOURCE_DIR;

#if ZONALSTATS_WITH_GDAL

bool gdal_tools_installed() {
    return test_support::commands_installed({"gdal_translate"});
}

// The cells of a text grid, behind its twelve header tokens.
std::vector<std::string> cells_of(const std::string &grid) {
    std::istringstream in(grid);
    std::vector<std::string> cells;
    std::string token;
    for (int i = 0; in >> token; ++i)
        if (i >= 12) cells.push_back(token);
    return cells;
}

std::string number(double value) {
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
}

// 7 x 5 cells of heights.tif and of zones.asc, placed where a test wants them.
class GdalGeometry : public test_support::scratch_test {
  protected:
    void SetUp() override {
        scratch_test::SetUp();
        if (!gdal_tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
        for (const char *name : {"heights_float32.asc", "zones.asc", "heights.tif"})
            fs::copy_file(source_dir / "tests/fixtures/gdal" / name, dir / name);
        native_figures = figures(report_of("heights_float32.asc", "zones.asc"));
        ASSERT_NE(native_figures.find("\n    1\t"), std::string::npos);
    }

    void gdal(const std::string &command) {
        const std::string line = "cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }

    // A GeoTIFF of the heights (or, with zones, of the zones) whose top left corner is at
    // (left, top) and whose cells are width wide and height high; srs, if given, for its
    // coordinate system.
    void raster(const std::string &name, double left, double top, double width, double height,
                bool zones = false, const std::string &srs = "") {
        write_file(path(name + ".vrt"),
                   "<VRTDataset rasterXSize=\"7\" rasterYSize=\"5\">\n"
                   "  <GeoTransform>" +
                       number(left) + ", " + number(width) + ", 0, " + number(top) + ", 0, " +
                       number(-height) +
                       "</GeoTransform>\n"
                       "  <VRTRasterBand dataType=\"" +
                       (zones ? "Int16" : "Float32") +
                       "\" band=\"1\"><NoDataValue>-9999</NoDataValue><SimpleSource>\n"
                       "    <SourceFilename relativeToVRT=\"1\">" +
                       (zones ? "zones.asc" : "heights.tif") +
                       "</SourceFilename>\n"
                       "    <SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>\n"
                       "</VRTDataset>\n");
        gdal("gdal_translate -q " + (srs.empty() ? "" : "-a_srs " + srs + " ") + name + ".vrt " +
             name);
    }

    // A text grid of the zones at the given geometry.
    void native_zones(const std::string &name, const test_support::geometry &g) {
        write_file(path(name), text_grid(g, cells_of(read_file(path("zones.asc")))));
    }

    test_support::run_result run(const std::vector<std::string> &args) {
        test_support::run_options options;
        options.capture_errors = true;
        fs::remove(dir / "report.txt");
        return run_tool(dir, args, options);
    }

    // The run on the pair, which must go through without a word on standard error.
    std::string report_of(const std::string &input, const std::string &zones,
                          const std::vector<std::string> &options = {}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {input, zones, "report.txt"});
        const auto done = run(args);
        EXPECT_EQ(done.exit_code, 0) << input << " " << zones << ": " << done.console;
        EXPECT_EQ(done.errors, "") << input << " " << zones;
        return read_file(path("report.txt"));
    }

    std::string native_figures;
};

// Tools that work the cell sizes out from the extents leave width and height a few digits apart;
// such cells are square, their width the cell size, and the raster matches grids of square
// cells, its own text export included. Cells clearly not square stay refused.
TEST_F(GdalGeometry, CellsSquareToWithinRoundingAreSquare) {
    struct cell_case {
        const char *what;
        double width;
        double height;
        bool square;
    } cases[] = {
        {"geographic cells of half a minute", 0.008333333333333337, 0.008333333333333333, true},
        {"gdalwarp -ts", 28.4999999977, 28.5, true},
        {"gdalwarp -ts, the height off", 28.5, 28.4999999977, true},
        {"0.9e-9 apart", 1 + 0.9e-9, 1, true},
        {"3e-9 apart", 1 + 3e-9, 1, false},
        {"a thousandth apart", 1, 1.001, false},
    };
    const double left = 500000;
    const double top = 5000000;
    for (const cell_case &c : cases) {
        SCOPED_TRACE(c.what);
        raster("heights_cells.tif", left, top, c.width, c.height);
        if (!c.square) {
            const auto refused = run({"heights_cells.tif", "zones.asc", "report.txt"});
            EXPECT_EQ(refused.exit_code, 98);
            EXPECT_EQ(refused.console, banner + "invalid grid header in heights_cells.tif\n");
            continue;
        }
        raster("zones_cells.tif", left, top, c.width, c.height, true);
        gdal("gdal_translate -q -of AAIGrid -a_nodata -9999 zones_cells.tif zones_export.asc");
        native_zones("zones_cells.asc", {7, 5, left, top - 5 * c.height, c.height});
        for (const char *zones : {"zones_cells.asc", "zones_cells.tif", "zones_export.asc"}) {
            SCOPED_TRACE(zones);
            EXPECT_EQ(figures(report_of("heights_cells.tif", zones)), native_figures);
        }
    }
}

// After the geometry message a run with a GDAL raster or a table names each field that differs,
// with both values as they read back; two native grids into the report keep the message alone.
TEST_F(GdalGeometry, TheFieldsThatDifferAreNamed) {
    raster("dem.tif", 500000, 5000000, 90, 90);
    raster("lc.tif", 500000, 5000000, 28.5, 28.5, true);
    raster("elev.tif", 10, 50, 0.008333333333333337, 0.008333333333333333);
    native_zones("narrow.asc", {6, 5, 500000, 4999550, 90});
    native_zones("coarse.asc", {7, 5, 10, 49.9585, 0.0083});
    native_zones("dem_zones.asc", {7, 5, 500000, 4999550, 90});
    write_file(path("dem.asc"), text_grid({7, 5, 500000, 4999550, 90},
                                          cells_of(read_file(path("heights_float32.asc")))));
    const auto message = [](const std::string &zones, const std::string &input) {
        return banner + "zonegrid " + zones + " and input grid " + input +
               " \ndoes not match the same geometry!. end.\n";
    };
    struct difference_case {
        std::vector<std::string> args;
        std::string console;
    } cases[] = {
        {{"--csv", "dem.tif", "lc.tif", "report.txt"},
         message("lc.tif", "dem.tif") +
             "yll 4999550 (dem.tif) vs 4999857.5 (lc.tif), cellsize 90 (dem.tif) vs 28.5 "
             "(lc.tif); --align puts the zone grid on the value grid's cells\n"},
        {{"dem.tif", "narrow.asc", "report.txt", "--json"},
         message("narrow.asc", "dem.tif") + "ncols 7 (dem.tif) vs 6 (narrow.asc); --align puts the "
                                            "zone grid on the value grid's cells\n"},
        {{"--csv", "elev.tif", "coarse.asc", "report.txt"},
         message("coarse.asc", "elev.tif") +
             "yll 49.958333333333336 (elev.tif) vs 49.9585 (coarse.asc), cellsize "
             "0.008333333333333337 (elev.tif) vs 0.0083 (coarse.asc); --align puts the zone grid "
             "on the value grid's cells\n"},
        {{"dem.tif", "lc.tif", "report.txt"},
         message("lc.tif", "dem.tif") +
             "yll 4999550 (dem.tif) vs 4999857.5 (lc.tif), cellsize 90 (dem.tif) vs 28.5 "
             "(lc.tif); --align (with --csv or --json) puts the zone grid on the value grid's "
             "cells\n"},
        {{"--csv", "dem.asc", "narrow.asc", "report.txt"},
         message("narrow.asc", "dem.asc") + "ncols 7 (dem.asc) vs 6 (narrow.asc); --align puts the "
                                            "zone grid on the value grid's cells\n"},
        {{"dem.asc", "narrow.asc", "report.txt"}, message("narrow.asc", "dem.asc")},
    };
    for (const difference_case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
        const auto failed = run(c.args);
        EXPECT_EQ(failed.exit_code, 3);
        EXPECT_EQ(failed.console, c.console);
        EXPECT_EQ(failed.errors, "");
        EXPECT_EQ(read_file(path("report.txt")), "");
    }
    // The same corner and cells as the text grid: no difference to name.
    EXPECT_EQ(figures(report_of("dem.tif", "dem_zones.asc")), native_figures);
}

// Two rasters in different coordinate systems end the run, naming both, unless --ignore-crs;
// a grid without a coordinate system, a native one included, is taken as it is.
TEST_F(GdalGeometry, RastersInDifferentCoordinateSystemsAreRefused) {
    const double left = -14000276;
    const double top = 6293273;
    raster("heights_utm.tif", left, top, 3711, 3711, false, "EPSG:32725");
    raster("zones_wgs.tif", left, top, 3711, 3711, true, "EPSG:4326");
    raster("zones_utm.tif", left, top, 3711, 3711, true, "EPSG:32725");
    raster("zones_none.tif", left, top, 3711, 3711, true);
    raster("zones_wgs_coarse.tif", left, top, 7422, 7422, true, "EPSG:4326");
    const std::string refusal =
        "crs WGS 84 / UTM zone 25S (EPSG:32725) (heights_utm.tif) vs WGS 84 (EPSG:4326) ";
    struct crs_case {
        std::vector<std::string> options;
        std::string zones;
        std::string console; // after the banner; "": the run goes through
    } cases[] = {
        {{},
         "zones_wgs.tif",
         "input grid heights_utm.tif and zone grid zones_wgs.tif are in different coordinate "
         "systems. end.\n" +
             refusal + "(zones_wgs.tif); --ignore-crs compares the grids as they are\n"},
        {{"--csv"},
         "zones_wgs.tif",
         "input grid heights_utm.tif and zone grid zones_wgs.tif are in different coordinate "
         "systems. end.\n" +
             refusal + "(zones_wgs.tif); --ignore-crs compares the grids as they are\n"},
        // The systems first: the geometry of grids in different systems says nothing.
        {{},
         "zones_wgs_coarse.tif",
         "input grid heights_utm.tif and zone grid zones_wgs_coarse.tif are in different "
         "coordinate systems. end.\n" +
             refusal + "(zones_wgs_coarse.tif); --ignore-crs compares the grids as they are\n"},
        {{"--ignore-crs"}, "zones_wgs.tif", ""},
        {{}, "zones_utm.tif", ""},
        {{}, "zones_none.tif", ""},
        {{}, "zones.asc", ""},
    };
    for (const crs_case &c : cases) {
        SCOPED_TRACE(c.zones + (c.options.empty() ? "" : " " + c.options[0]));
        if (c.console.empty()) {
            EXPECT_EQ(figures(report_of("heights_utm.tif", c.zones, c.options)), native_figures);
            continue;
        }
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"heights_utm.tif", c.zones, "report.txt"});
        const auto refused = run(args);
        EXPECT_EQ(refused.exit_code, 3);
        EXPECT_EQ(refused.console, banner + c.console);
        EXPECT_EQ(refused.errors, "");
        EXPECT_EQ(read_file(path("report.txt")), "");
    }
    // --ignore-crs lets the geometry be compared: these differ in it.
    const auto coarse = run({"--ignore-crs", "heights_utm.tif", "zones_wgs_coarse.tif", "r.txt"});
    EXPECT_EQ(coarse.exit_code, 3);
    EXPECT_EQ(coarse.console, banner +
                                  "zonegrid zones_wgs_coarse.tif and input grid heights_utm.tif "
                                  "\ndoes not match the same geometry!. end.\n"
                                  "yll 6274718 (heights_utm.tif) vs 6256163 "
                                  "(zones_wgs_coarse.tif), cellsize 3711 (heights_utm.tif) vs "
                                  "7422 (zones_wgs_coarse.tif); --align (with --csv or --json) "
                                  "puts the zone grid on the value grid's cells\n");
}

#endif

} // namespace
