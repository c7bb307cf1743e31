// The built tool on real grids: the example grids in examples/. The expected figures were
// worked out apart from the tool, from the cells of the grids.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::banner;
using test_support::read_file;
using test_support::run_tool;

const fs::path source_dir = ZONALSTATS_SOURCE_DIR;
const std::string rule =
    "------------------------------------------------------------------------------------\n";
const std::string scan_ending = "\nsorting...\nwriting output...\n";

std::string report(const std::string &input, const std::string &zones,
                   const std::vector<std::string> &zone_rows, const std::string &totals_row) {
    std::string text = "statistical parameters for " + input + " within the zones from " + zones +
                       "\n" + rule +
                       "ID\tzone_value\tnumber\tminimum\tmaximum\tSum\taverage\tstd.dev.\n\n";
    for (const std::string &row : zone_rows)
        text += row + "\n";
    return text + "\n" + rule + "\n" + totals_row + "\n";
}

class RealGrids : public test_support::scratch_test {
  protected:
    void copy_in(const fs::path &from) { fs::copy_file(from, dir / from.filename()); }
};

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
