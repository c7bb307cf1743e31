// Bands of GDAL rasters, end to end: --band and --zone-band pick one, --bands counts several in
// one pass, and a band's scale and offset are applied unless --raw. Every raster is made at test
// time with GDAL's tools from the example grids or small text grids; where the build has no GDAL,
// or the tools are missing, the tests say so and skip.
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
using test_support::write_file;

const fs::path source_dir = ZONALSTATS_SOURCE_DIR;

bool gdal_tools_installed() {
    return test_support::commands_installed({"gdal_translate", "gdalbuildvrt", "gdal_edit.py"});
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class Bands : public test_support::scratch_test {
  protected:
    void SetUp() override {
        scratch_test::SetUp();
#if !ZONALSTATS_WITH_GDAL
        GTEST_SKIP() << "this build reads no GDAL rasters";
#endif
        if (!gdal_tools_installed())
            GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin, python3-gdal)";
        for (const char *name : {"topobathy.asc", "bands.asc"})
            fs::copy_file(source_dir / "examples" / name, dir / name);
    }

    // Runs a GDAL command line tool in the scratch folder.
    void gdal(const std::string &command) {
        const std::string line = "cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }

    // The heights, a smooth field of fractions from them and the zones as the three bands of
    // three.tif (pixel-interleaved, so each band's blocks hold the other bands' cells too), and
    // each band alone as a raster of its own.
    void make_three_bands() {
        gdal("gdal_translate -q -ot Float32 topobathy.asc band1.tif");
        gdal("gdal_translate -q -ot Float32 -scale -10000 10000 0 1 topobathy.asc band2.tif");
        gdal("gdal_translate -q -ot Float32 bands.asc band3.tif");
        gdal("gdalbuildvrt -q -separate three.vrt band1.tif band2.tif band3.tif");
        gdal("gdal_translate -q -co INTERLEAVE=PIXEL -co TILED=YES -co BLOCKXSIZE=32 "
             "-co BLOCKYSIZE=32 three.vrt three.tif");
    }

    // The run's output file, where the run must succeed without a word on standard error.
    std::string output_of(const std::vector<std::string> &args) {
        test_support::run_options options;
        options.capture_errors = true;
        fs::remove(dir / "out");
        std::vector<std::string> line = args;
        line.push_back("out");
        const auto run = run_tool(dir, line, options);
        std::string shown;
        for (const std::string &arg : args)
            shown += arg + " ";
        EXPECT_EQ(run.exit_code, 0) << shown << run.console;
        EXPECT_EQ(run.errors, "") << shown;
        return read_file(path("out"));
    }
};

TEST_F(Bands, EachBandOfARasterGivesTheFiguresOfThatBandAlone) {
    make_three_bands();
    for (const std::string band : {"1", "2", "3"}) {
        SCOPED_TRACE("band " + band);
        const std::string alone = "band" + band + ".tif";
        EXPECT_EQ(figures(output_of({"--band=" + band, "three.tif", "bands.asc"})),
                  figures(output_of({alone, "bands.asc"})));
        EXPECT_EQ(output_of({"--csv", "--stats=zone,count,nodata,min,max,mean,median", "--band",
                             band, "three.tif", "bands.asc"}),
                  output_of({"--csv", "--stats=zone,count,nodata,min,max,mean,median", alone,
                             "bands.asc"}));
    }
    // Zones from band 3 of the raster are the zones of bands.asc.
    EXPECT_EQ(figures(output_of({"--zone-band=3", "topobathy.asc", "three.tif"})),
              figures(output_of({"topobathy.asc", "bands.asc"})));
    // Band 1 named, and --raw, on native grids change nothing.
    EXPECT_EQ(output_of({"--band=1", "--zone-band=1", "--raw", "topobathy.asc", "bands.asc"}),
              output_of({"topobathy.asc", "bands.asc"}));
}

// One pass over the zones for all bands: each band's rows are those of a run with --band=N.
TEST_F(Bands, SeveralBandsInOnePassAreTheRunsOfEachBand) {
    make_three_bands();
    const std::string stats = "--stats=zone,count,nodata,min,max,sum,mean,stddev,p90";
    std::vector<std::vector<std::string>> alone(4);
    for (int band = 1; band <= 3; ++band)
        alone[band] = lines_of(output_of(
            {"--csv", stats, "--band=" + std::to_string(band), "three.tif", "bands.asc"}));
    for (const auto &[list, order] : {std::pair<std::string, std::vector<int>>{"all", {1, 2, 3}},
                                      {"3,1", {3, 1}},
                                      {"2", {2}}}) {
        SCOPED_TRACE("--bands=" + list);
        const std::vector<std::string> rows =
            lines_of(output_of({"--csv", stats, "--bands=" + list, "three.tif", "bands.asc"}));
        ASSERT_EQ(rows.size(), 1 + (alone[1].size() - 1) * order.size());
        EXPECT_EQ(rows[0], "zone,band,count,nodata,min,max,sum,mean,stddev,p90\r");
        // By zone, then band as listed; without its band column a row is that band's own.
        for (std::size_t zone = 1; zone < alone[1].size(); ++zone)
            for (std::size_t b = 0; b < order.size(); ++b) {
                const std::string &row = rows[1 + (zone - 1) * order.size() + b];
                const std::string &own = alone[order[b]][zone];
                const std::size_t comma = own.find(',');
                EXPECT_EQ(row, own.substr(0, comma) + "," + std::to_string(order[b]) +
                                   own.substr(comma));
            }
    }

    // JSON: per band its "zones" and "all", as a run of that band alone writes them.
    const std::string json = output_of({"--json", stats, "--bands=2,3", "three.tif", "bands.asc"});
    std::string expected = "{\n  \"input\": \"three.tif\",\n  \"bands\": [";
    for (const int band : {2, 3}) {
        const std::vector<std::string> own = lines_of(output_of(
            {"--json", stats, "--band=" + std::to_string(band), "three.tif", "bands.asc"}));
        ASSERT_GT(own.size(), 4u);
        expected += std::string(band == 2 ? "" : ",") +
                    "\n    {\n      \"band\": " + std::to_string(band) + ",\n";
        // The lines between "input" and the closing brace, four more blanks in.
        for (std::size_t i = 2; i + 1 < own.size(); ++i)
            expected += "    " + own[i] + (i + 2 < own.size() ? "\n" : "");
        expected += "\n    }";
    }
    expected += "\n  ]\n}\n";
    EXPECT_EQ(json, expected);
}

// A value band with a scale and an offset counts value x scale + offset (29 x 0.1 - 1 is
// 1.9000000000000004 in doubles, as in Python), as a Float64 copy holding the scaled values does;
// --raw counts the stored numbers; a cell without data stays without, whatever its stored number
// would scale to. The zone band is scaled too.
TEST_F(Bands, ScaleAndOffsetAreAppliedUnlessRaw) {
    const test_support::geometry grid{4, 2, 0, 0, 1};
    write_file(path("counts.asc"),
               test_support::text_grid(grid, {"30", "31", "29", "30", "0", "45", "50", "52"}));
    write_file(path("halves.asc"),
               test_support::text_grid(grid, {"0", "0", "0", "0", "2", "2", "4", "4"}));
    gdal("gdal_translate -q -ot UInt16 -a_nodata none counts.asc stored.tif");
    gdal("gdal_translate -q -ot UInt16 -a_nodata none counts.asc scaled.tif");
    gdal("gdal_edit.py -scale 0.1 -offset -1 scaled.tif");
    gdal("gdal_translate -q -ot Float64 -unscale scaled.tif scaled_f64.tif");
    gdal("gdal_translate -q -ot UInt16 -a_nodata 0 counts.asc masked.tif");
    gdal("gdal_edit.py -scale 0.1 -offset -1 masked.tif");
    gdal("gdal_translate -q -ot UInt16 -a_nodata none halves.asc zones.tif");
    gdal("gdal_edit.py -scale 0.5 -offset 1 zones.tif");
    const std::string stats = "--stats=zone,count,nodata,min,max,mean";
    const std::string scaled = output_of({"--csv", stats, "scaled.tif", "halves.asc"});
    EXPECT_EQ(scaled, "zone,count,nodata,min,max,mean\r\n"
                      "0,4,0,1.9000000000000004,2.1,2\r\n"
                      "2,2,0,-1,3.5,1.25\r\n"
                      "4,2,0,4,4.2,4.1\r\n");
    EXPECT_EQ(output_of({"--csv", stats, "scaled_f64.tif", "halves.asc"}), scaled);
    EXPECT_EQ(output_of({"--csv", stats, "--raw", "scaled.tif", "halves.asc"}),
              output_of({"--csv", stats, "stored.tif", "halves.asc"}));
    EXPECT_EQ(output_of({"--csv", stats, "masked.tif", "halves.asc"}),
              "zone,count,nodata,min,max,mean\r\n"
              "0,4,0,1.9000000000000004,2.1,2\r\n"
              "2,1,1,3.5,3.5,3.5\r\n"
              "4,2,0,4,4.2,4.1\r\n");
    // Zones 0, 2 and 4 stored, 1, 2 and 3 scaled.
    EXPECT_EQ(output_of({"--csv", "--stats=zone,count,sum", "stored.tif", "zones.tif"}),
              "zone,count,sum\r\n1,4,120\r\n2,2,45\r\n3,2,102\r\n");
    EXPECT_EQ(output_of({"--csv", "--stats=zone,count,sum", "--raw", "stored.tif", "zones.tif"}),
              "zone,count,sum\r\n0,4,120\r\n2,2,45\r\n4,2,102\r\n");
}

// A band the file lacks is a grid error naming the file and its bands; a band that is no number
// from 1, or --bands where it can't go, an option error.
TEST_F(Bands, BandsThatCantBeReadAreRefused) {
    make_three_bands();
    const std::string usage = "usage: zonalstats [OPTIONS] <inputgrid> <zonegrid> <report>\n"
                              "       zonalstats --help | --version\n";
    const std::string band_number = "a band is a whole number from 1 (the first band) to "
                                    "2147483647\n";
    struct refusal {
        std::vector<std::string> args;
        int exit_code;
        std::string console;
    };
    const std::vector<refusal> refusals = {
        {{"--band=4", "three.tif", "bands.asc", "r.txt"},
         98,
         banner + "three.tif has 3 bands, no band 4\n"},
        {{"--zone-band=5", "topobathy.asc", "three.tif", "r.txt"},
         98,
         banner + "three.tif has 3 bands, no band 5\n"},
        {{"--band=2", "topobathy.asc", "bands.asc", "r.txt"},
         98,
         banner + "topobathy.asc has 1 band, no band 2\n"},
        {{"--csv", "--bands=1,4", "three.tif", "bands.asc", "r.csv"},
         98,
         banner + "three.tif has 3 bands, no band 4\n"},
        {{"--json", "--bands=1,2", "topobathy.asc", "bands.asc", "r.json"},
         98,
         banner + "topobathy.asc has 1 band, no band 2\n"},
        {{"--csv", "--bands=all", "--zone-band=2", "three.tif", "band1.tif", "r.csv"},
         98,
         banner + "band1.tif has 1 band, no band 2\n"},
        {{"--band=0", "three.tif", "bands.asc", "r.txt"},
         5,
         "invalid option --band=0: " + band_number + usage},
        {{"--band", "-1", "three.tif", "bands.asc", "r.txt"},
         5,
         "invalid option --band -1: " + band_number + usage},
        {{"--zone-band=x", "three.tif", "bands.asc", "r.txt"},
         5,
         "invalid option --zone-band=x: " + band_number + usage},
        {{"--csv", "--bands=1,,2", "three.tif", "bands.asc", "r.csv"},
         5,
         "invalid option --bands=1,,2: " + band_number + usage},
        {{"--csv", "--bands=2,1,2", "three.tif", "bands.asc", "r.csv"},
         5,
         "invalid option --bands=2,1,2: band 2 is listed twice\n" + usage},
        {{"--bands=all", "three.tif", "bands.asc", "r.txt"},
         5,
         "invalid option --bands=all: --bands writes a row per zone and band, with --csv or "
         "--json; the report takes one band (--band)\n" +
             usage},
        {{"--csv", "--band=1", "--bands=all", "three.tif", "bands.asc", "r.csv"},
         5,
         "invalid option --band=1: --band and --bands don't go together\n" + usage},
        {{"--csv", "--stats=frac", "--bands=all", "three.tif", "bands.asc", "r.csv"},
         5,
         "invalid option --bands=all: frac and classes make each band's columns its own "
         "classes, so CSV with --bands takes neither (JSON does)\n" +
             usage},
    };
    for (const refusal &r : refusals) {
        std::string shown;
        for (const std::string &arg : r.args)
            shown += arg + " ";
        SCOPED_TRACE(shown);
        test_support::run_options options;
        options.threads = {1};
        const auto run = run_tool(dir, r.args, options);
        EXPECT_EQ(run.exit_code, r.exit_code);
        EXPECT_EQ(run.console, r.console);
    }
}

} // namespace
