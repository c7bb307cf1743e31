// Whole reports, byte for byte, for small grid pairs in every combination of formats.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "report/report.h"
#include "test_support.h"

namespace {

using test_support::banner;
using test_support::report_head;
const std::string &rule = test_support::report_rule;

using test_support::binary_grid;
using test_support::geometry;
using test_support::read_file;
using test_support::run_tool;
using test_support::text_grid;
using test_support::write_file;

// Every value and zone value is exact in float32, so all formats give the same report.
const geometry pair_geometry{4, 3, 100, 200, 0.5};
const std::vector<double> values = {1.5, 2, -9999, 4, 10, 0.25, 3, -1, 7, 7, 7, 100};
const std::vector<double> zone_values = {3, 3, 1, 1, 2.75, 1, -1, 0, 0, 0, 0.25, 5};

std::string grid_in(const std::string &format, const std::vector<double> &cells) {
    if (format == "single") return binary_grid<float>(pair_geometry, cells);
    if (format == "double") return binary_grid<double>(pair_geometry, cells);
    std::vector<std::string> tokens;
    for (const double cell : cells)
        tokens.push_back(::testing::PrintToString(cell));
    return text_grid(pair_geometry, tokens);
}

class Report : public test_support::scratch_test {};

// Rows are formatted without printf; they must come out as printf writes them, byte for byte.
TEST(ReportRow, FormatsAsPrintfDoes) {
    const auto expect_like_printf = [](long position, double zone_value, const zone_figures &f) {
        char expected[report_row_capacity];
        std::snprintf(expected, sizeof expected,
                      "%5ld\t%.0lf\t\t%.0lf\t%.7lg\t%.7lg\t%.7lg\t%.7lg\t%.7lg\n", position,
                      zone_value, f.number, f.minimum, f.maximum, f.sum, f.average, f.std_dev);
        char line[report_row_capacity];
        const std::size_t length = format_report_row(line, position, zone_value, f);
        ASSERT_EQ(std::string(line, length), expected)
            << std::hexfloat << zone_value << " " << f.number << " " << f.minimum << " "
            << f.maximum << " " << f.sum << " " << f.average << " " << f.std_dev;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Halfway cases for the whole numbers, the switch to exponent notation at 1e-4 and 1e7,
    // rounding to seven digits, and the values no figure can escape.
    const double awkward[] = {0,
                              -0.0,
                              0.5,
                              1.5,
                              2.5,
                              -2.5,
                              3.5,
                              1e15 + 0.5,
                              4503599627370497.0,
                              9999999.0,
                              9999999.5,
                              99999995.0,
                              0.0001,
                              0.00009999995,
                              1e-5,
                              1.2345675,
                              0.3333333333,
                              2.0 / 3,
                              123456789.0,
                              1e22,
                              1e300,
                              5e-324,
                              std::numeric_limits<double>::max(),
                              inf,
                              -inf,
                              nan,
                              -nan};
    for (const double a : awkward)
        for (const double b : {1.0, -7.25, a})
            expect_like_printf(1, a, {b, a, b, a, b, a});
    std::mt19937_64 random(4);
    for (int i = 0; i < 100000; ++i) {
        double figures[7];
        for (double &figure : figures) {
            switch (random() % 3) {
            case 0: // any double at all
                figure = std::bit_cast<double>(random());
                break;
            case 1: // decimals as in real data
                figure =
                    static_cast<double>(static_cast<std::int64_t>(random() % 20000001) - 10000000) /
                    std::pow(10.0, static_cast<double>(random() % 6));
                break;
            default: // halves and whole numbers of any size
                figure = std::ldexp(static_cast<double>(random() % 4096),
                                    static_cast<int>(random() % 80) - 2);
            }
        }
        const long position =
            static_cast<long>(random() % 3 == 0 ? random() % 10 : random() % 5000000);
        expect_like_printf(
            position, figures[0],
            {figures[1], figures[2], figures[3], figures[4], figures[5], figures[6]});
        if (HasFailure()) return;
    }
}

TEST_F(Report, GoldenReportInEveryCombinationOfFormats) {
    const std::string expected_rows = "    1\t0\t\t4\t-1\t7\t20\t5\t4\n"
                                      "    2\t1\t\t2\t0.25\t4\t4.25\t2.125\t0\n"
                                      "    3\t3\t\t3\t1.5\t10\t13.5\t4.5\t4.769696\n"
                                      "    4\t5\t\t1\t100\t100\t100\t100\t0\n";
    const std::string expected_totals = "    0\t0\t\t10\t-1\t100\t137.75\t13.775\t30.50101\n";
    for (const std::string input_format : {"ascii", "single", "double"}) {
        for (const std::string zone_format : {"ascii", "single", "double"}) {
            write_file(path("in"), grid_in(input_format, values));
            write_file(path("zones"), grid_in(zone_format, zone_values));
            const auto run = run_tool(dir, {"in", "zones", "report.txt"});
            ASSERT_EQ(run.exit_code, 0) << input_format << " " << zone_format;
            EXPECT_EQ(read_file(path("report.txt")), report_head("in", "zones") + expected_rows +
                                                         "\n" + rule + "\n" + expected_totals)
                << input_format << " values, " << zone_format << " zones";
        }
    }
}

TEST_F(Report, RunWithoutValidCellsHasOnlyTheTotalsRow) {
    const std::string empty_totals = "\n" + rule + "\n    0\t0\t\t0\t0\t0\t0\t0\t0\n";
    struct empty_case {
        const char *name;
        std::string input;
        std::string zones;
        std::string console_dots;
    } cases[] = {
        {"all cells nodata or negative zones", text_grid({2, 1}, {"-9999", "5"}),
         text_grid({2, 1}, {"1", "-0.4"}), "."},
        {"no rows", text_grid({3, 0}, {}), text_grid({3, 0}, {}), ""},
        {"no columns", text_grid({0, 3}, {}), text_grid({0, 3}, {}), "..."},
    };
    for (const auto &c : cases) {
        write_file(path("in.asc"), c.input);
        write_file(path("zones.asc"), c.zones);
        const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt"});
        ASSERT_EQ(run.exit_code, 0) << c.name;
        EXPECT_EQ(run.console,
                  test_support::banner + c.console_dots + "\nsorting...\nwriting output...\n")
            << c.name;
        EXPECT_EQ(read_file(path("report.txt")), report_head("in.asc", "zones.asc") + empty_totals)
            << c.name;
    }
}

TEST_F(Report, ValidityTestAndZoneValues) {
    // nodata -5: equal is skipped, just above counts, below is skipped; NaN values and zones are
    // skipped; zone -0 counts into zone 0 and shows as -0; 2.4 and 1.6 share key 2, shown as the
    // first cell's value rounded.
    write_file(path("in.asc"),
               text_grid({4, 2, 0, 0, 1, -5}, {"-5", "-4.999", "-6", "nan", "1", "2", "3", "4"}));
    write_file(path("zones.asc"),
               text_grid({4, 2}, {"1", "1", "1", "1", "nan", "-0", "2.4", "1.6"}));
    const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(read_file(path("report.txt")),
              report_head("in.asc", "zones.asc") + "    1\t-0\t\t1\t2\t2\t2\t2\t0\n" +
                  "    2\t1\t\t1\t-4.999\t-4.999\t-4.999\t-4.999\t0\n" +
                  "    3\t2\t\t2\t3\t4\t7\t3.5\t0\n" + "\n" + rule + "\n" +
                  "    0\t0\t\t4\t-4.999\t4\t4.001\t1.00025\t4.081993\n");
}

// GDAL writes "NODATA_value nan" and nan cells for float grids whose no-data value is NaN:
// the NaN cells are the ones left out (and -inf with them), not every cell.
TEST_F(Report, NanNodataLeavesOutTheNanCells) {
    write_file(path("in.asc"), "ncols 5\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 1\n"
                               "NODATA_value  nan\n1 nan 3 -inf -2\n");
    write_file(path("zones.asc"), text_grid({5, 1}, {"1", "1", "1", "1", "1"}));
    const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(read_file(path("report.txt")), report_head("in.asc", "zones.asc") +
                                                 "    1\t1\t\t3\t-2\t3\t2\t0.6666667\t2.516611\n" +
                                                 "\n" + rule + "\n" +
                                                 "    0\t0\t\t3\t-2\t3\t2\t0.6666667\t2.516611\n");
}

TEST_F(Report, LargeZoneValuesAreZonesLikeAnyOther) {
    write_file(path("in.asc"), text_grid({5, 1}, {"1", "2", "3", "4", "5"}));
    write_file(path("zones.asc"),
               text_grid({5, 1}, {"1099511627776", "1000001", "499999.5", "inf", "1000001.2"}));
    const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(read_file(path("report.txt")), report_head("in.asc", "zones.asc") +
                                                 "    1\t500000\t\t1\t3\t3\t3\t3\t0\n" +
                                                 "    2\t1000001\t\t2\t2\t5\t7\t3.5\t0\n" +
                                                 "    3\t1099511627776\t\t1\t1\t1\t1\t1\t0\n" +
                                                 "    4\tinf\t\t1\t4\t4\t4\t4\t0\n" + "\n" + rule +
                                                 "\n" + "    0\t0\t\t5\t1\t5\t15\t3\t1.581139\n");
}

} // namespace
