// Rasters read through GDAL, end to end: GeoTIFFs and other rasters made with GDAL's command
// line tools at test time from the native grids of tests/fixtures/gdal/ and examples/, each
// report held against the report of the same cells as native grids (every figure below the title
// line the same), and the rasters the tool must refuse. Where the build has no GDAL, or GDAL's
// tools (Debian's gdal-bin) are missing, the tests say so and skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::banner;
using test_support::figures;
using test_support::read_file;
using test_support::run_tool;
using test_support::write_file;

const fs::path source_dir = ZONALSTATS_SOURCE_DIR;

bool gdal_tools_installed() {
    return test_support::commands_installed({"gdal_translate", "gdalwarp", "gdalbuildvrt"});
}

class GdalRasters : public test_support::scratch_test {
  protected:
    void SetUp() override {
        scratch_test::SetUp();
        for (const char *name : {"heights_float32.asc", "zones.asc", "heights.tif"})
            fs::copy_file(source_dir / "tests/fixtures/gdal" / name, dir / name);
        for (const char *name : {"topobathy.asc", "bands.asc"})
            fs::copy_file(source_dir / "examples" / name, dir / name);
    }

    // Runs a GDAL command line tool in the scratch folder.
    void gdal(const std::string &command) {
        const std::string line = "cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }

    // The tool's run on the pair, which must succeed without a word on standard error.
    // At every thread count of the tests, or only at those given.
    std::string report_of(const std::string &input, const std::string &zones,
                          const std::vector<unsigned> &threads = {}) {
        test_support::run_options options;
        options.capture_errors = true;
        options.threads = threads;
        fs::remove(dir / "report.txt");
        const auto run = run_tool(dir, {input, zones, "report.txt"}, options);
        EXPECT_EQ(run.exit_code, 0) << input << " " << zones << ": " << run.console;
        EXPECT_EQ(run.errors, "") << input << " " << zones;
        return read_file(path("report.txt"));
    }

    void expect_same_figures(const std::string &input, const std::string &zones,
                             const std::string &native_input, const std::string &native_zones,
                             const std::vector<unsigned> &threads = {}) {
        SCOPED_TRACE(input + " with " + zones);
        const std::string expected = figures(report_of(native_input, native_zones, threads));
        ASSERT_NE(expected.find("\n    1\t"), std::string::npos) << "the native pair counts zones";
        EXPECT_EQ(figures(report_of(input, zones, threads)), expected);
    }
};

#if !ZONALSTATS_WITH_GDAL
TEST_F(GdalRasters, WithoutGdalAGeoTiffIsInNoKnownFormat) {
    const auto run = run_tool(dir, {"heights.tif", "zones.asc", "report.txt"});
    EXPECT_EQ(run.exit_code, 98);
    EXPECT_EQ(run.console,
              banner +
                  "could not recognise file format (ascii, single or double) for heights.tif\n");
}
#else

// The fixture heights.tif is committed, so this runs wherever the build has GDAL.
TEST_F(GdalRasters, AGeoTiffGivesTheFiguresOfItsNativeCopy) {
    expect_same_figures("heights.tif", "zones.asc", "heights_float32.asc", "zones.asc");
}

TEST_F(GdalRasters, RastersOfEveryKindGiveTheFiguresOfTheirNativeCopies) {
    if (!gdal_tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
    // Strip and tiled GeoTIFFs, DEFLATE and LZW, Float32 and Int16 and Byte, no-data as -9999,
    // as NaN and above the data, several bands, a text grid with upper-case keywords (which the
    // native reader refuses), and a grid in a zip file.
    gdal("gdal_translate -q -ot Float32 -co TILED=YES -co BLOCKXSIZE=16 -co BLOCKYSIZE=16 "
         "-co COMPRESS=DEFLATE -co PREDICTOR=3 topobathy.asc topobathy_deflate.tif");
    gdal("gdal_translate -q -ot Int16 -co TILED=YES -co BLOCKXSIZE=32 -co BLOCKYSIZE=16 "
         "-co COMPRESS=LZW bands.asc bands_lzw.tif");
    gdal("gdal_translate -q -ot Int16 zones.asc zones_int16.tif");
    gdal("gdal_translate -q -ot Byte -a_nodata none zones.asc zones_byte.tif");
    gdal("gdalwarp -q -dstnodata nan heights.tif heights_nan.tif");
    gdal("gdalwarp -q -ot Int16 -dstnodata 32767 heights.tif heights_nodata_above.tif");
    gdal("gdalbuildvrt -q -separate bands.vrt heights.tif zones_int16.tif");
    gdal("gdal_translate -q bands.vrt heights_two_bands.tif");
    std::string upper = read_file(path("heights_float32.asc"));
    for (const auto &[lower, capitals] : {std::pair{"ncols", "NCOLS"},
                                          {"nrows", "NROWS"},
                                          {"xllcorner", "XLLCORNER"},
                                          {"yllcorner", "YLLCORNER"},
                                          {"cellsize", "CELLSIZE"},
                                          {"NODATA_value", "NODATA_VALUE"}})
        upper.replace(upper.find(lower), std::string(lower).size(), capitals);
    write_file(path("heights_upper.asc"), upper);
    gdal("'" CMAKE_COMMAND "' -E tar cf rasters.zip --format=zip heights.tif");

    // Block rows of 256 x 1200 cells, read once each and cut into cell blocks, against the same
    // cells as text grids.
    gdal("gdal_translate -q -ot Float32 -outsize 1200 910 -r nearest -co TILED=YES "
         "-co COMPRESS=DEFLATE topobathy.asc wide_deflate.tif");
    gdal("gdal_translate -q -ot Int16 -outsize 1200 910 -r nearest -co TILED=YES "
         "-co COMPRESS=LZW bands.asc wide_bands.tif");
    gdal("gdal_translate -q -of AAIGrid wide_deflate.tif wide.asc");
    gdal("gdal_translate -q -of AAIGrid wide_bands.tif wide_bands.asc");
    expect_same_figures("wide_deflate.tif", "wide_bands.tif", "wide.asc", "wide_bands.asc");
    expect_same_figures("topobathy_deflate.tif", "bands_lzw.tif", "topobathy.asc", "bands.asc");
    expect_same_figures("topobathy_deflate.tif", "bands.asc", "topobathy.asc", "bands.asc");
    expect_same_figures("topobathy.asc", "bands_lzw.tif", "topobathy.asc", "bands.asc");
    for (const std::string zones : {"zones_int16.tif", "zones_byte.tif"})
        expect_same_figures("heights.tif", zones, "heights_float32.asc", "zones.asc");
    for (const std::string input :
         {"heights_nan.tif", "heights_nodata_above.tif", "heights_two_bands.tif",
          "heights_upper.asc", "/vsizip/rasters.zip/heights.tif"})
        expect_same_figures(input, "zones.asc", "heights_float32.asc", "zones.asc");
}

// GDAL's mask decides, not "above the no-data value": no-data of 0 under depths keeps every
// depth, which the native rule would drop.
TEST_F(GdalRasters, TheMaskDecidesWhichCellsCount) {
    if (!gdal_tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
    write_file(path("depths.asc"), test_support::text_grid({3, 1, 0, 0, 1, 0}, {"-5", "0", "-7"}));
    write_file(path("zone.asc"), test_support::text_grid({3, 1}, {"1", "1", "1"}));
    gdal("gdal_translate -q -ot Float32 depths.asc depths.tif");
    const std::string report = report_of("depths.tif", "zone.asc");
    EXPECT_NE(report.find("\n    1\t1\t\t2\t-7\t-5\t-12\t-6\t0\n"), std::string::npos) << report;
}

// A class raster through GDAL gives the class shares and counts of its native copy, and its
// no-data value is no class: bands.asc as land cover, class 7 made no-data, over four
// catchments, its quarters.
TEST_F(GdalRasters, ClassSharesOfALandCoverRasterAreThoseOfItsNativeCopy) {
    if (!gdal_tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
    const test_support::geometry grid{120, 91, -14026253, 6107723, 3711};
    std::vector<std::string> catchments;
    std::vector<std::string> classes;
    std::istringstream bands(read_file(path("bands.asc")));
    std::string token;
    for (int i = 0; i < 12; ++i)
        bands >> token;
    for (int cell = 0; cell < 120 * 91 && bands >> token; ++cell) {
        catchments.push_back(std::to_string(cell / 120 / 46 * 2 + cell % 120 / 60 + 1));
        classes.push_back(token == "7" ? "-9999" : token);
    }
    ASSERT_EQ(classes.size(), 120u * 91u);
    write_file(path("catchments.asc"), test_support::text_grid(grid, catchments));
    write_file(path("landcover.asc"), test_support::text_grid(grid, classes));
    gdal("gdal_translate -q -ot Int16 -a_nodata 7 bands.asc landcover.tif");
    test_support::run_options options;
    options.capture_errors = true;
    std::string tables[2];
    for (int i = 0; i < 2; ++i) {
        const std::string input = i == 0 ? "landcover.asc" : "landcover.tif";
        const auto run = run_tool(
            dir,
            {"--csv", "--stats=count,nodata,frac,classes", input, "catchments.asc", "shares.csv"},
            options);
        EXPECT_EQ(run.exit_code, 0) << input << ": " << run.console;
        EXPECT_EQ(run.errors, "") << input;
        tables[i] = read_file(path("shares.csv"));
    }
    EXPECT_TRUE(tables[0].starts_with(
        "zone,count,nodata,frac_-1,frac_1,frac_2,frac_3,frac_4,frac_5,frac_6,count_-1,count_1,"
        "count_2,count_3,count_4,count_5,count_6\r\n1,"))
        << tables[0];
    EXPECT_EQ(std::count(tables[0].begin(), tables[0].end(), '\n'), 5);
    EXPECT_EQ(tables[1], tables[0]);
}

// gdal_translate's GeoTIFF of a text grid states the top edge; the bottom edge worked out from
// it is off by the rounding. Each grid, either way round and GeoTIFF with GeoTIFF, must still
// match its own GeoTIFF, and give the figures of the text grids.
TEST_F(GdalRasters, TextGridsMatchTheirOwnGeoTiffs) {
    if (!gdal_tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
    // Decimals of up to three places, from near 0 to northings of thousands of kilometres.
    std::mt19937 random(46);
    const auto decimal = [&random](int whole_digits) {
        const int places = std::uniform_int_distribution<int>(0, 3)(random);
        const auto digits = std::uniform_int_distribution<long long>(
            0, static_cast<long long>(std::pow(10, whole_digits + places)) - 1)(random);
        // As the text grid will say it: the decimal, rounded once.
        return std::stod(std::to_string(digits) + "e-" + std::to_string(places));
    };
    const double cell_sizes[] = {0.1, 0.2, 0.3, 0.25, 0.05, 1, 2.7, 25, 30};
    std::vector<test_support::geometry> geometries = {
        {3, 7, 0.1, 0.1, 0.1},
        {5, 13, 0.1, 0.1, 25},
        {2, 11, 0.1, 0.1, 30},
        {1, 913, 0, 8388569.6, 0.1}, // a northing whose bottom edge comes back 9.3e-9 cells off
    };
    while (geometries.size() < 40) {
        test_support::geometry g{};
        g.ncols = std::uniform_int_distribution<int>(1, 6)(random);
        g.nrows = std::uniform_int_distribution<int>(1, 40)(random);
        g.xll = decimal(std::uniform_int_distribution<int>(0, 6)(random));
        g.yll = decimal(std::uniform_int_distribution<int>(0, 7)(random));
        if (random() % 4 == 0) g.xll = -g.xll;
        g.cellsize = cell_sizes[random() % std::size(cell_sizes)];
        geometries.push_back(g);
    }
    for (const test_support::geometry &g : geometries) {
        std::vector<std::string> values;
        std::vector<std::string> zones;
        for (int i = 0; i < static_cast<int>(g.ncols * g.nrows); ++i) {
            values.push_back(std::to_string(i % 7) + ".5");
            zones.push_back(std::to_string(i / 2 % 3 + 1));
        }
        write_file(path("values.asc"), test_support::text_grid(g, values));
        write_file(path("zones.asc"), test_support::text_grid(g, zones));
        gdal("gdal_translate -q values.asc values.tif && gdal_translate -q zones.asc zones.tif");
        std::ostringstream name;
        name.precision(17);
        name << g.ncols << " x " << g.nrows << " at " << g.xll << ", " << g.yll << ", cells of "
             << g.cellsize;
        SCOPED_TRACE(name.str());
        for (const auto &[input, zone_grid] : {std::pair{"values.asc", "zones.tif"},
                                               {"values.tif", "zones.asc"},
                                               {"values.tif", "zones.tif"}}) {
            expect_same_figures(input, zone_grid, "values.asc", "zones.asc", {1});
            if (HasFailure()) return;
        }
    }
}

// A text grid whose keywords are in capitals is read through GDAL; its cells are still judged
// as a text grid's: a value at or below its no-data value does not count, a zone cell holding
// the no-data value of the zone grid is a zone where it is not negative, and decimals keep every
// digit (not rounded to float32).
TEST_F(GdalRasters, ATextGridInCapitalsCountsAsItsLowerCaseTwin) {
    const auto text_grid = [](bool capitals, const std::string &nodata, const std::string &cells) {
        const char *const keywords[2][6] = {
            {"ncols", "nrows", "xllcorner", "yllcorner", "cellsize", "NODATA_value"},
            {"NCOLS", "NROWS", "XLLCORNER", "YLLCORNER", "CELLSIZE", "NODATA_VALUE"}};
        const char *const *k = keywords[capitals ? 1 : 0];
        return std::string(k[0]) + " 4\n" + k[1] + " 2\n" + k[2] + " 0\n" + k[3] + " 0\n" + k[4] +
               " 1\n" + k[5] + " " + nodata + "\n" + cells;
    };
    const std::string values = "1.1 -10000 -9999 3.3\n0.7 2.2 -9998.5 5.25\n";
    const std::string zones = "1 1 2 2\n5 5 -9999 1\n";
    for (const bool capitals : {false, true}) {
        write_file(path(capitals ? "VALUES.asc" : "values.asc"),
                   text_grid(capitals, "-9999", values));
        write_file(path(capitals ? "ZONES.asc" : "zones.asc"), text_grid(capitals, "5", zones));
    }
    const std::string expected = figures(report_of("values.asc", "zones.asc"));
    ASSERT_NE(expected.find("\n    3\t5\t\t2\t0.7\t2.2\t"), std::string::npos) << expected;
    EXPECT_EQ(figures(report_of("VALUES.asc", "ZONES.asc")), expected);
    EXPECT_EQ(figures(report_of("VALUES.asc", "zones.asc")), expected);
    const auto table = [this](const std::string &input, const std::string &zone_grid) {
        test_support::run_options options;
        options.capture_errors = true;
        const auto run = run_tool(
            dir, {"-q", "--csv", "--stats=zone,count,nodata,min,max,sum", input, zone_grid, "-"},
            options);
        EXPECT_EQ(run.exit_code, 0) << run.errors;
        return run.console;
    };
    EXPECT_EQ(table("VALUES.asc", "ZONES.asc"), table("values.asc", "zones.asc"));
}

TEST_F(GdalRasters, RastersTheToolMustRefuse) {
    if (!gdal_tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
    // A rotated geotransform, cells that are not square, no geotransform at all.
    write_file(path("rotated.vrt"),
               "<VRTDataset rasterXSize=\"7\" rasterYSize=\"5\">\n"
               "  <GeoTransform>-14000276, 3711, 10, 6293273, 10, -3711</GeoTransform>\n"
               "  <VRTRasterBand dataType=\"Float32\" band=\"1\"><SimpleSource>\n"
               "    <SourceFilename relativeToVRT=\"1\">heights.tif</SourceFilename>\n"
               "    <SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>\n"
               "</VRTDataset>\n");
    std::string no_geotransform = read_file(path("rotated.vrt"));
    no_geotransform.erase(no_geotransform.find("  <GeoTransform>"),
                          no_geotransform.find("</GeoTransform>\n") + 16 -
                              no_geotransform.find("  <GeoTransform>"));
    write_file(path("no_geotransform.vrt"), no_geotransform);
    gdal("gdal_translate -q -outsize 7 10 heights.tif not_square.tif");
    // A tiled raster cut short: the blocks behind the cut can't be read.
    gdal("gdal_translate -q -ot Float32 -outsize 1200 910 -r nearest -co TILED=YES "
         "-co COMPRESS=DEFLATE topobathy.asc big.tif");
    gdal("gdal_translate -q -ot Int16 -outsize 1200 910 -r nearest bands.asc big_zones.tif");
    const std::string big = read_file(path("big.tif"));
    write_file(path("big_cut.tif"), big.substr(0, big.size() * 6 / 10));
    write_file(path("not_a_raster.tif"), "II*\0 not a raster at all");

    struct refusal {
        std::string input;
        std::string zones;
        std::string console; // after the banner
    } cases[] = {
        {"rotated.vrt", "zones.asc", "invalid grid header in rotated.vrt\n"},
        {"no_geotransform.vrt", "zones.asc", "invalid grid header in no_geotransform.vrt\n"},
        {"heights.tif", "not_square.tif", "invalid grid header in not_square.tif\n"},
        {"big_cut.tif", "big_zones.tif",
         std::string(512, '.') +
             "\ncould not read a value for row 513, column 1 from big_cut.tif\n"},
        {"not_a_raster.tif", "zones.asc",
         "could not recognise file format (ascii, single or double) for not_a_raster.tif\n"},
        {"/vsizip/none.zip/heights.tif", "zones.asc",
         "could not open input file /vsizip/none.zip/heights.tif\n"},
        {"heights.tif", "topobathy.asc",
         "zonegrid topobathy.asc and input grid heights.tif \ndoes not match the same "
         "geometry!. end.\nncols 7 (heights.tif) vs 120 (topobathy.asc), nrows 5 (heights.tif) "
         "vs 91 (topobathy.asc), xll -14000276 (heights.tif) vs -14026253 (topobathy.asc), yll "
         "6274718 (heights.tif) vs 6107723 (topobathy.asc); --align (with --csv or --json) puts "
         "the zone grid on the value grid's cells\n"},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.input + " with " + c.zones);
        test_support::run_options options;
        options.capture_errors = true;
        const auto run = run_tool(dir, {c.input, c.zones, "report.txt"}, options);
        EXPECT_EQ(run.exit_code, c.console.rfind("zonegrid", 0) == 0 ? 3 : 98);
        EXPECT_EQ(run.console, banner + c.console);
        EXPECT_EQ(run.errors, "") << "GDAL must not speak";
    }
}

// A run on native grids never maps libgdal: the dynamic loader's own log says what it loads.
TEST_F(GdalRasters, NativeGridsDoNotLoadGdal) {
    const std::string log = path("loader.log");
    const auto loads_gdal = [&](const std::string &input) {
        const std::string command = "cd '" + dir.string() + "' && LD_DEBUG=libs LD_DEBUG_OUTPUT='" +
                                    log + "' '" + ZONALSTATS_BINARY + "' " + input +
                                    " zones.asc report.txt >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::string everything;
        for (const auto &entry : fs::directory_iterator(dir))
            if (entry.path().filename().string().rfind("loader.log", 0) == 0) {
                everything += read_file(entry.path().string());
                fs::remove(entry.path());
            }
        EXPECT_NE(everything, "") << "the loader wrote no log";
        return everything.find("libgdal") != std::string::npos;
    };
    EXPECT_FALSE(loads_gdal("heights_float32.asc"));
    EXPECT_TRUE(loads_gdal("heights.tif"));
}
#endif

} // namespace
