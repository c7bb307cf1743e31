// --align, end to end: a zone grid of another extent or cell size put on the input grid's cells.
// Each table is held against the table of the same input grid with the zone grid warped onto it
// by `gdalwarp -r near`, without --align: they must be the same, byte for byte. Where GDAL's
// tools are missing, the cases that need them skip.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::banner;
using test_support::binary_grid;
using test_support::geometry;
using test_support::read_file;
using test_support::run_tool;
using test_support::text_grid;
using test_support::write_file;

const std::string usage = "usage: zonalstats [OPTIONS] <inputgrid> <zonegrid> <report>\n"
                          "       zonalstats --help | --version\n";

// Every column that a cell counted into the wrong zone, or left out, would change.
const std::string stats = "--stats=zone,count,nodata,min,max,sum,mean,median";

// GeoTIFFs need a build that reads them and GDAL's tools to make them.
bool gdal_tools_installed() {
#if !ZONALSTATS_WITH_GDAL
    return false;
#endif
    return test_support::commands_installed({"gdal_translate", "gdalwarp"});
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

enum class kind { text, single, double_, geotiff };

const char *suffix(kind k) {
    switch (k) {
    case kind::text:
        return ".asc";
    case kind::single:
        return ".single";
    case kind::double_:
        return ".double";
    case kind::geotiff:
        return ".tif";
    }
    return "";
}

class Align : public test_support::scratch_test {
  protected:
    void gdal(const std::string &command) {
        const std::string line = "cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }

    // A grid of the given cells as `name` + the kind's suffix; a GeoTIFF is made from its text
    // twin, which is left beside it. Returns the name written.
    std::string grid(const std::string &name, kind k, const geometry &g,
                     const std::vector<double> &cells) {
        const std::string file = name + suffix(k);
        std::vector<std::string> words;
        for (const double cell : cells)
            words.push_back(number_text(cell));
        if (k == kind::single) write_file(path(file), binary_grid<float>(g, cells));
        if (k == kind::double_) write_file(path(file), binary_grid<double>(g, cells));
        if (k == kind::text || k == kind::geotiff)
            write_file(path(name + ".asc"), text_grid(g, words));
        if (k == kind::geotiff) gdal("gdal_translate -q -ot Float64 " + name + ".asc " + file);
        return file;
    }

    // Values with a few no-data cells; zones 0 to 5 with a few negative and no-data cells.
    static std::vector<double> values(const geometry &g, unsigned seed) {
        std::mt19937 random(seed);
        std::vector<double> cells(static_cast<std::size_t>(g.ncols * g.nrows));
        for (double &cell : cells)
            cell = random() % 17 == 0 ? g.nodata : static_cast<double>(random() % 20000) / 8;
        return cells;
    }
    static std::vector<double> zones(const geometry &g, unsigned seed) {
        std::mt19937 random(seed);
        std::vector<double> cells(static_cast<std::size_t>(g.ncols * g.nrows));
        for (double &cell : cells) {
            const auto draw = random() % 40;
            cell = draw == 0 ? g.nodata : draw == 1 ? -2 : static_cast<double>(draw % 6);
        }
        return cells;
    }

    // The run, at 1, 2 and 3 threads (which must all give the same), into table.csv.
    test_support::run_result table_run(std::vector<std::string> args) {
        test_support::run_options options;
        options.threads = {1, 2, 3};
        options.capture_errors = true;
        fs::remove(dir / "table.csv");
        args.push_back("table.csv");
        return run_tool(dir, args, options);
    }
    std::string table(const std::vector<std::string> &args) {
        const auto run = table_run(args);
        EXPECT_EQ(run.exit_code, 0) << run.console;
        EXPECT_EQ(run.errors, "");
        return read_file(path("table.csv"));
    }
};

// No value cell's centre may lie on, or within rounding of, a zone cell's edge: there the
// choice of cell is a convention (tested apart), not what the cases compare.
void expect_no_centre_on_an_edge(const geometry &values, const geometry &zones) {
    const auto clear = [](double offset) {
        const double fraction = offset - std::floor(offset);
        return fraction > 1e-6 && fraction < 1 - 1e-6;
    };
    const double values_top = values.yll + values.nrows * values.cellsize;
    const double zones_top = zones.yll + zones.nrows * zones.cellsize;
    for (int c = 0; c < values.ncols; ++c)
        ASSERT_TRUE(clear((values.xll + (c + 0.5) * values.cellsize - zones.xll) / zones.cellsize))
            << "column " << c;
    for (int r = 0; r < values.nrows; ++r)
        ASSERT_TRUE(
            clear((zones_top - (values_top - (r + 0.5) * values.cellsize)) / zones.cellsize))
            << "row " << r;
}

TEST_F(Align, GivesTheTableOfTheZoneGridWarpedOntoTheInputGrid) {
    if (!gdal_tools_installed())
        GTEST_SKIP() << "needs GDAL in the build and its tools (Debian: gdal-bin)";
    const geometry input{40, 30, 1000, 2000, 9};
    struct align_case {
        std::string name;
        geometry zones;
        kind input_kind;
        kind zone_kind;
    } cases[] = {
        // 2.85 under 9: about ten zone cells to a value cell, all of them inside.
        {"finer zones", {130, 100, 1001.3, 1998.7, 2.85}, kind::text, kind::text},
        {"finer zones, a GeoTIFF", {130, 100, 1001.3, 1998.7, 2.85}, kind::double_, kind::geotiff},
        // 31.77 over 9: a zone row serves three or four value rows.
        {"coarser zones", {13, 10, 995.13, 1993.37, 31.77}, kind::text, kind::single},
        {"coarser zones, both GeoTIFFs",
         {13, 10, 995.13, 1993.37, 31.77},
         kind::geotiff,
         kind::geotiff},
        // Covers the middle only: the value cells around it count in no zone.
        {"a smaller zone grid", {50, 40, 1061.23, 2052.37, 4.13}, kind::single, kind::double_},
        // The same cell size, shifted: the first row and column lie outside.
        {"shifted by a fraction of a cell", {40, 30, 1003.7, 1997.2, 9}, kind::text, kind::text},
        // Reaching past the value grid on every side.
        {"a larger zone grid", {60, 50, 901.93, 1911.17, 9.71}, kind::geotiff, kind::text},
    };
    for (const align_case &c : cases) {
        SCOPED_TRACE(c.name);
        expect_no_centre_on_an_edge(input, c.zones);
        const std::string values_name = grid("values", c.input_kind, input, values(input, 7));
        const std::string zones_name = grid("zones", c.zone_kind, c.zones, zones(c.zones, 11));
        // gdalwarp reads the zones' text twin (or the GeoTIFF); outside them it writes their
        // no-data value.
        const std::string warp_source = c.zone_kind == kind::geotiff ? "zones.tif" : "zones.asc";
        if (c.zone_kind != kind::geotiff && c.zone_kind != kind::text)
            grid("zones", kind::text, c.zones, zones(c.zones, 11));
        gdal("gdalwarp -q -overwrite -r near -te 1000 2000 1360 2270 -ts 40 30 " + warp_source +
             " warped.tif");
        const std::string warped = table({"--csv", stats, values_name, "warped.tif"});
        ASSERT_NE(warped.find("\n5,"), std::string::npos) << "every zone counts: " << warped;
        EXPECT_EQ(table({"--csv", "--align", stats, values_name, zones_name}), warped);
    }
}

// Several bands in one pass share the one zone grid put on their cells.
TEST_F(Align, PutsTheZonesUnderEveryBandOfOnePass) {
    if (!gdal_tools_installed() || std::system("command -v gdal_merge.py >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs GDAL in the build and its tools (Debian: gdal-bin, python3-gdal)";
    const geometry input{40, 30, 1000, 2000, 9};
    const geometry zone_geometry{130, 100, 1001.3, 1998.7, 2.85};
    for (unsigned band = 1; band <= 3; ++band)
        grid("band" + std::to_string(band), kind::text, input, values(input, band));
    gdal("gdal_merge.py -q -separate -o bands.tif band1.asc band2.asc band3.asc");
    grid("zones", kind::text, zone_geometry, zones(zone_geometry, 11));
    gdal("gdalwarp -q -overwrite -r near -te 1000 2000 1360 2270 -ts 40 30 zones.asc warped.tif");
    for (const std::string output : {"--csv", "--json"}) {
        SCOPED_TRACE(output);
        EXPECT_EQ(table({output, "--align", "--bands=3,1", stats, "bands.tif", "zones.asc"}),
                  table({output, "--bands=3,1", stats, "bands.tif", "warped.tif"}));
    }
}

// Where the geometries are the same, --align changes nothing: not the table, nor where a
// truncated zone grid is said to end.
TEST_F(Align, ChangesNothingWhereTheGeometriesMatch) {
    const geometry g{23, 17, -50.5, 12.25, 0.5};
    for (const kind k : {kind::text, kind::single, kind::double_}) {
        SCOPED_TRACE(suffix(k));
        const std::string values_name = grid("values", k, g, values(g, 3));
        const std::string zones_name = grid("zones", k, g, zones(g, 5));
        EXPECT_EQ(table({"--csv", "--align", values_name, zones_name}),
                  table({"--csv", values_name, zones_name}));
        EXPECT_EQ(table({"--json", "--align", stats, values_name, zones_name}),
                  table({"--json", stats, values_name, zones_name}));
    }
    const std::string zones_text = read_file(path("zones.asc"));
    write_file(path("cut.asc"), zones_text.substr(0, zones_text.size() * 2 / 3));
    const auto without = table_run({"--csv", "values.asc", "cut.asc"});
    const auto with = table_run({"--csv", "--align", "values.asc", "cut.asc"});
    EXPECT_EQ(without.exit_code, 98);
    EXPECT_EQ(with.exit_code, without.exit_code);
    EXPECT_EQ(with.console, without.console);
}

// A value cell's centre on a zone cell's edge takes the cell east of the edge and the one south
// of it: the column floor((x - xll) / cellsize), the row the same from the top edge.
TEST_F(Align, ACentreOnAnEdgeTakesTheCellEastAndSouthOfIt) {
    grid("values", kind::text, {2, 2, 0, 0, 2}, {10, 20, 30, 40});
    std::vector<double> numbered(16);
    for (std::size_t i = 0; i < numbered.size(); ++i)
        numbered[i] = static_cast<double>(i);
    grid("zones", kind::text, {4, 4, 0, 0, 1}, numbered);
    EXPECT_EQ(table({"--csv", "--align", "--stats=zone,sum", "values.asc", "zones.asc"}),
              "zone,sum\r\n5,10\r\n7,20\r\n13,30\r\n15,40\r\n");
}

// A zone grid that ends early is named with its own cell that could not be read; rows below the
// last one the input grid needs are never read, so a zone grid cut there goes through.
TEST_F(Align, AZoneGridThatEndsEarlyNamesItsOwnCell) {
    const geometry input{6, 4, 0, 0, 3};
    grid("values", kind::text, input, values(input, 1));
    // Finer zones, from 3 rows above the value grid to 4 below it.
    const geometry fine{18, 19, 0, -4, 1};
    const std::vector<double> cells = zones(fine, 2);
    const auto cut_at = [&](const std::string &name, kind k, std::size_t cell_count) {
        const std::vector<double> kept(cells.begin(),
                                       cells.begin() + static_cast<std::ptrdiff_t>(cell_count));
        if (k == kind::text) {
            std::vector<std::string> words;
            for (const double cell : kept)
                words.push_back(number_text(cell));
            write_file(path(name), text_grid(fine, words));
        } else {
            write_file(path(name), binary_grid<float>(fine, kept));
        }
    };
    struct cut_case {
        std::string name;
        kind zone_kind;
        std::size_t cells;   // of the zone grid, the rest cut off
        std::string failure; // "": the run goes through
    } cases[] = {
        // Row 9 of the zones, column 5: inside the value grid's third row.
        {"cut.asc", kind::text, 8 * 18 + 4, "row 9, column 5"},
        {"cut.single", kind::single, 8 * 18 + 4, "row 9, column 5"},
        // Above the value grid: its first row of cells already lacks its zones.
        {"cut_above.asc", kind::text, 2 * 18 + 7, "row 3, column 8"},
        // Below the last row a value cell's centre lies in (row 14).
        {"cut_below.asc", kind::text, 15 * 18, ""},
        {"cut_below.single", kind::single, 14 * 18, ""},
    };
    for (const cut_case &c : cases) {
        SCOPED_TRACE(c.name);
        cut_at(c.name, c.zone_kind, c.cells);
        const auto run = table_run({"--csv", "-q", "--align", "values.asc", c.name});
        if (c.failure.empty()) {
            EXPECT_EQ(run.exit_code, 0) << run.console;
            continue;
        }
        EXPECT_EQ(run.exit_code, 98);
        EXPECT_EQ(run.console,
                  "could not read a value for " + c.failure + " from " + c.name + "\n");
    }
}

// A zone grid that can only be read from its start, one block after another: the same table.
TEST_F(Align, AZoneGridFromAFifoGivesTheTableOfItsFile) {
    ZONALSTATS_SKIP_ON_WINDOWS("Windows has no FIFOs");
    const geometry input{40, 30, 1000, 2000, 9};
    const geometry fine{130, 100, 1001.3, 1998.7, 2.85};
    grid("values", kind::text, input, values(input, 7));
    for (const kind k : {kind::text, kind::single}) {
        SCOPED_TRACE(suffix(k));
        const std::string zones_name = grid("zones", k, fine, zones(fine, 11));
        const std::string from_file = table({"--csv", "--align", stats, "values.asc", zones_name});
        fs::remove(dir / "zones.fifo");
        ASSERT_EQ(mkfifo(path("zones.fifo").c_str(), 0600), 0);
        const std::string writer =
            "cat '" + path(zones_name) + "' > '" + path("zones.fifo") + "' &";
        ASSERT_EQ(std::system(writer.c_str()), 0);
        test_support::run_options options;
        options.threads = {3};
        fs::remove(dir / "table.csv");
        const auto run = run_tool(
            dir, {"--csv", "-q", "--align", stats, "values.asc", "zones.fifo", "table.csv"},
            options);
        EXPECT_EQ(run.exit_code, 0) << run.console;
        EXPECT_EQ(read_file(path("table.csv")), from_file);
    }
}

TEST_F(Align, IsRefusedWhereItCantApply) {
    grid("values", kind::text, {3, 2, 0, 0, 1}, {1, 2, 3, 4, 5, 6});
    grid("zones", kind::text, {2, 2, 0, 0, 1.5}, {0, 1, 2, 3});
    grid("flat", kind::text, {2, 2, 0, 0, 0}, {0, 1, 2, 3});
    struct refusal {
        std::vector<std::string> args;
        int exit_code;
        std::string console;
    } cases[] = {
        {{"--align", "values.asc", "zones.asc", "report.txt"},
         5,
         "invalid option --align: --align puts the zone grid on the value grid's cells for "
         "--csv or --json; the report's grids must match\n" +
             usage},
        // Without --align the line naming what differs tells of it.
        {{"--csv", "values.asc", "zones.asc", "report.txt"},
         3,
         banner + "zonegrid zones.asc and input grid values.asc \ndoes not match the same "
                  "geometry!. end.\nncols 3 (values.asc) vs 2 (zones.asc), cellsize 1 "
                  "(values.asc) vs 1.5 (zones.asc); --align puts the zone grid on the value "
                  "grid's cells\n"},
        // The native report's message stays as it was.
        {{"values.asc", "zones.asc", "report.txt"},
         3,
         banner + "zonegrid zones.asc and input grid values.asc \ndoes not match the same "
                  "geometry!. end.\n"},
        {{"--csv", "--align", "values.asc", "flat.asc", "report.txt"},
         3,
         banner + "--align can't place flat.asc: xll 0, yll 0, cellsize 0 (its corners must be "
                  "finite and its cell size above 0). end.\n"},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const auto run = run_tool(dir, c.args);
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.console, c.console);
    }
}

// The grids must still be in one coordinate system; --ignore-crs still takes them as they are.
TEST_F(Align, GridsInDifferentCoordinateSystemsAreStillRefused) {
    if (!gdal_tools_installed())
        GTEST_SKIP() << "needs GDAL in the build and its tools (Debian: gdal-bin)";
    const geometry input{8, 6, 500000, 4000000, 90};
    const geometry coarse{3, 3, 499950.5, 3999900.5, 210};
    grid("values", kind::text, input, values(input, 1));
    grid("zones", kind::text, coarse, zones(coarse, 2));
    gdal("gdal_translate -q -a_srs EPSG:32633 values.asc values.tif");
    gdal("gdal_translate -q -a_srs EPSG:4326 zones.asc zones_wgs.tif");
    gdal("gdal_translate -q -a_srs EPSG:32633 zones.asc zones_utm.tif");
    const auto refused = table_run({"--csv", "--align", "values.tif", "zones_wgs.tif"});
    EXPECT_EQ(refused.exit_code, 3);
    EXPECT_EQ(refused.console,
              banner + "input grid values.tif and zone grid zones_wgs.tif are in different "
                       "coordinate systems. end.\ncrs WGS 84 / UTM zone 33N (EPSG:32633) "
                       "(values.tif) vs WGS 84 (EPSG:4326) (zones_wgs.tif); --ignore-crs "
                       "compares the grids as they are\n");
    EXPECT_EQ(table({"--csv", "--align", "--ignore-crs", "values.tif", "zones_wgs.tif"}),
              table({"--csv", "--align", "values.tif", "zones_utm.tif"}));
}

} // namespace
