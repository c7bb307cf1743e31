// The built tool on real grids: text grids as GDAL's AAIGrid driver writes them (see
// tests/fixtures/gdal/README.md), and the example grids in examples/. The expected figures were
// worked out apart from the tool, from the cells of the fixtures.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::banner;
using test_support::report_head;
using test_support::scan_ending;
const std::string &rule = test_support::report_rule;
using test_support::read_file;
using test_support::run_tool;

const fs::path source_dir = ZONALSTATS_SOURCE_DIR;

std::string report(const std::string &input, const std::string &zones,
                   const std::vector<std::string> &zone_rows, const std::string &totals_row) {
    std::string text = report_head(input, zones);
    for (const std::string &row : zone_rows)
        text += row + "\n";
    return text + "\n" + rule + "\n" + totals_row + "\n";
}

class RealGrids : public test_support::scratch_test {
  protected:
    void copy_in(const fs::path &from) { fs::copy_file(from, dir / from.filename()); }
};

// The heights in metres, whatever type GDAL wrote them in: two cells are no-data.
const std::vector<std::string> coast_rows = {
    "    1\t1\t\t2\t-164\t-136\t-300\t-150\t0",
    "    2\t2\t\t13\t-39\t-1\t-80\t-6.153846\t12.71381",
    "    3\t3\t\t16\t7\t63\t578\t36.125\t16.95435",
    "    4\t4\t\t2\t349\t355\t704\t352\t0",
};
const std::string coast_totals = "    0\t0\t\t33\t-164\t355\t902\t27.33333\t96.20735";

struct gdal_case {
    const char *input;
    const char *zones;
    int exit_code;
    std::string console; // after the banner
    std::vector<std::string> zone_rows;
    std::string totals_row; // empty: the report file must be empty
};

TEST_F(RealGrids, TextGridsWrittenByGdal) {
    const gdal_case cases[] = {
        // Integer cells.
        {"heights_int16.asc", "zones.asc", 0, "....." + scan_ending, coast_rows, coast_totals},
        // Float32 cells: GDAL marks the type by writing the first one as -1.0, the rest bare.
        {"heights_float32.asc", "zones.asc", 0, "....." + scan_ending, coast_rows, coast_totals},
        // Kilometres, with GDAL's twenty significant digits (0.05900000000000000383).
        {"heights_km.asc",
         "zones.asc",
         0,
         "....." + scan_ending,
         {"    1\t1\t\t2\t-0.164\t-0.136\t-0.3\t-0.15\t0",
          "    2\t2\t\t13\t-0.039\t-0.001\t-0.08\t-0.006153846\t0.01271381",
          "    3\t3\t\t16\t0.007\t0.063\t0.578\t0.036125\t0.01695435",
          "    4\t4\t\t2\t0.349\t0.355\t0.704\t0.352\t0"},
         "    0\t0\t\t33\t-0.164\t0.355\t0.902\t0.02733333\t0.09620735"},
        // No NODATA_value line: the first two cells become a keyword and the no-data value,
        // and the grid is two values short.
        {"heights_no_nodata.asc",
         "zones.asc",
         98,
         "....\ncould not read a value for row 5, column 6 from heights_no_nodata.asc\n",
         {},
         ""},
        // dx and dy (non-square cells) are refused, also where GDAL leaves out the no-data
        // line and the header would otherwise read dy as the no-data value.
        {"heights_dxdy.asc",
         "zones_dxdy.asc",
         98,
         "invalid grid header in heights_dxdy.asc\n",
         {},
         ""},
        {"heights_dxdy_no_nodata.asc",
         "zones.asc",
         98,
         "invalid grid header in heights_dxdy_no_nodata.asc\n",
         {},
         ""},
    };
    const fs::path fixtures = source_dir / "tests/fixtures/gdal";
    for (const auto &entry : fs::directory_iterator(fixtures))
        if (entry.path().extension() == ".asc") copy_in(entry.path());
    std::string no_nodata = read_file(path("heights_dxdy.asc"));
    no_nodata.erase(no_nodata.find("NODATA_value"),
                    no_nodata.find('\n', no_nodata.find("NODATA_value")) + 1 -
                        no_nodata.find("NODATA_value"));
    test_support::write_file(path("heights_dxdy_no_nodata.asc"), no_nodata);
    for (const gdal_case &c : cases) {
        fs::remove(dir / "report.txt");
        const auto run = run_tool(dir, {c.input, c.zones, "report.txt"});
        EXPECT_EQ(run.exit_code, c.exit_code) << c.input;
        EXPECT_EQ(run.console, banner + c.console) << c.input;
        const std::string expected =
            c.totals_row.empty() ? "" : report(c.input, c.zones, c.zone_rows, c.totals_row);
        EXPECT_EQ(read_file(path("report.txt")), expected) << c.input;
    }
}

// The example grids: real heights and depths in a text and a "single" grid, with height bands
// as zones; the deep sea has zone -1 and is left out.
TEST_F(RealGrids, ExampleGridsInBothFormatsGiveTheSameReport) {
    for (const char *name : {"topobathy.asc", "topobathy.single", "bands.asc"})
        copy_in(source_dir / "examples" / name);
    const std::vector<std::string> band_rows = {
        "    1\t1\t\t1926\t-200\t-51\t-230322\t-119.5857\t40.2841",
        "    2\t2\t\t2254\t-50\t-1\t-11021\t-4.88953\t11.06843",
        "    3\t3\t\t1794\t0\t199\t147684\t82.32107\t57.04439",
        "    4\t4\t\t1323\t201\t499\t457595\t345.8768\t85.97234",
        "    5\t5\t\t1796\t501\t999\t1311294\t730.1192\t144.6249",
        "    6\t6\t\t889\t1001\t1499\t1075493\t1209.778\t142.2767",
        "    7\t7\t\t277\t1501\t2205\t478239\t1726.495\t178.5793",
    };
    const std::string totals = "    0\t0\t\t10259\t-200\t2205\t3228962\t314.7443\t478.5558";
    for (const std::string input : {"topobathy.asc", "topobathy.single"}) {
        const auto run = run_tool(dir, {input, "bands.asc", "report.txt"});
        EXPECT_EQ(run.exit_code, 0) << input;
        EXPECT_EQ(run.console, banner + std::string(91, '.') + scan_ending) << input;
        EXPECT_EQ(read_file(path("report.txt")), report(input, "bands.asc", band_rows, totals))
            << input;
    }
}

} // namespace
