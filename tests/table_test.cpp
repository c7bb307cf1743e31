// The table output end to end through the built tool: --csv, --json and --stats, their bytes,
// their options, and the ways a run with them ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using test_support::banner;
using test_support::binary_grid;
using test_support::read_file;
using test_support::run_tool;
using test_support::scan_ending;
using test_support::text_grid;
using test_support::write_file;
namespace fs = std::filesystem;

const std::string usage = "usage: zonalstats [OPTIONS] <inputgrid> <zonegrid> <report>\n"
                          "       zonalstats --help | --version\n";

class Table : public test_support::scratch_test {
  protected:
    // Zone 1 holds 1 and 2; zone 2 only a no-data cell (2.5 is zone 3); zone 3 holds 4.5, 4.5,
    // 7 and 3; the NaN cell has a negative zone value.
    void write_pair() {
        write_file(path("in.asc"),
                   text_grid({4, 2}, {"1", "2", "-9999", "4.5", "4.5", "7", "nan", "3"}));
        write_file(path("zones.asc"),
                   text_grid({4, 2}, {"1", "1", "2", "3", "3", "3", "-1", "2.5"}));
    }
};

TEST_F(Table, CsvHasAHeaderAndALinePerZone) {
    write_pair();
    const auto run = run_tool(dir, {"--csv",
                                    "--stats=zone,count,nodata,min,max,range,sum,mean,stddev,"
                                    "pstddev,median,p25,mode,minority,variety",
                                    "in.asc", "zones.asc", "out.csv"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, banner + ".." + scan_ending);
    EXPECT_EQ(read_file(path("out.csv")),
              "zone,count,nodata,min,max,range,sum,mean,stddev,pstddev,median,p25,mode,minority,"
              "variety\r\n"
              "1,2,0,1,2,1,3,1.5,0.7071067811865476,0.5,1.5,1.25,1,1,2\r\n"
              "2,0,1,,,,0,,,,,,,,0\r\n"
              "3,4,0,3,7,4,19,4.75,1.6583123951777,1.4361406616345072,4.5,4.125,4.5,3,3\r\n");
}

TEST_F(Table, JsonHasTheZonesAndAllOfThem) {
    write_pair();
    const auto run = run_tool(dir, {"--json", "in.asc", "zones.asc", "out.json"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, banner + ".." + scan_ending);
    EXPECT_EQ(
        read_file(path("out.json")),
        "{\n"
        "  \"input\": \"in.asc\",\n"
        "  \"zones\": [\n"
        "    {\"zone\": 1, \"count\": 2, \"min\": 1, \"max\": 2, \"sum\": 3, \"mean\": 1.5, "
        "\"stddev\": 0.7071067811865476},\n"
        "    {\"zone\": 2, \"count\": 0, \"min\": null, \"max\": null, \"sum\": 0, \"mean\": "
        "null, \"stddev\": null},\n"
        "    {\"zone\": 3, \"count\": 4, \"min\": 3, \"max\": 7, \"sum\": 19, \"mean\": 4.75, "
        "\"stddev\": 1.6583123951777}\n"
        "  ],\n"
        "  \"all\": {\"zone\": null, \"count\": 6, \"min\": 1, \"max\": 7, \"sum\": 22, "
        "\"mean\": 3.6666666666666665, \"stddev\": 2.136976056643281}\n"
        "}\n");
}

// Non-finite figures are words in CSV and null in JSON; zone keys print with all their digits,
// also from 2^52 on, where the key is the zone value itself.
TEST_F(Table, LargeKeysAndInfiniteValues) {
    write_file(path("in.asc"), text_grid({4, 1}, {"inf", "1", "2", "3"}));
    write_file(path("zones.asc"), text_grid({4, 1}, {"1e20", "1e20", "4503599627370497", "inf"}));
    run_tool(dir, {"--csv", "--stats=zone,mean,range,stddev", "in.asc", "zones.asc", "out.csv"});
    EXPECT_EQ(read_file(path("out.csv")), "zone,mean,range,stddev\r\n"
                                          "4503599627370497,2,0,\r\n"
                                          "100000000000000000000,inf,inf,nan\r\n"
                                          "inf,3,0,\r\n");
    run_tool(dir, {"--json", "--stats=zone,mean,stddev", "in.asc", "zones.asc", "out.json"});
    EXPECT_NE(read_file(path("out.json"))
                  .find("{\"zone\": 100000000000000000000, \"mean\": null, \"stddev\": null}"),
              std::string::npos)
        << read_file(path("out.json"));
    EXPECT_NE(read_file(path("out.json"))
                  .find("\"all\": {\"zone\": null, \"mean\": null, \"stddev\": null}"),
              std::string::npos);
}

TEST_F(Table, NoZoneAtAll) {
    write_file(path("in.asc"), text_grid({2, 1}, {"1", "2"}));
    write_file(path("zones.asc"), text_grid({2, 1}, {"-1", "nan"}));
    run_tool(dir, {"--csv", "in.asc", "zones.asc", "out.csv"});
    EXPECT_EQ(read_file(path("out.csv")), "zone,count,min,max,sum,mean,stddev\r\n");
    run_tool(dir, {"--json", "--stats=count,sum,median", "in.asc", "zones.asc", "out.json"});
    EXPECT_EQ(read_file(path("out.json")),
              "{\n  \"input\": \"in.asc\",\n  \"zones\": [],\n"
              "  \"all\": {\"zone\": null, \"count\": 0, \"sum\": 0, \"median\": null}\n}\n");
}

// The input grid's name in JSON: quotes, backslashes and control characters escaped, bytes that
// are no UTF-8 replaced by U+FFFD (one per maximal ill-formed part), valid UTF-8 kept.
TEST_F(Table, JsonEscapesTheInputGridsName) {
    write_pair();
    const std::string name = "a\"b\\c\td\x01\xC3\xA4\xFF\xE2\x82.asc";
    fs::rename(dir / "in.asc", dir / name);
    const auto run = run_tool(dir, {"--json", "--stats=count", name, "zones.asc", "out.json"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(
        read_file(path("out.json"))
            .find("\"input\": \"a\\\"b\\\\c\\td\\u0001\xC3\xA4\xEF\xBF\xBD\xEF\xBF\xBD.asc\""),
        std::string::npos)
        << read_file(path("out.json"));
}

struct option_case {
    std::vector<std::string> args;
    std::string console;
    int exit_code;
};

TEST_F(Table, OptionsAndTheirBadValues) {
    write_pair();
    const std::string p101 =
        "invalid option --stats=p101: p101: a percentile is p and a number from 0 to 100, "
        "such as p90 or p99.5\n";
    const option_case cases[] = {
        {{"--csv", "--stats=foo", "in.asc", "zones.asc", "out"},
         "invalid option --stats=foo: foo is not a statistic; there are zone, count, nodata, min, "
         "max, range, sum, mean, stddev, pstddev, median, pNN (a percentile from 0 to 100), mode, "
         "minority, variety, frac and classes\n" +
             usage,
         5},
        {{"--json", "--stats=p101", "in.asc", "zones.asc", "out"}, p101 + usage, 5},
        {{"--csv", "--stats=count,,sum", "in.asc", "zones.asc", "out"},
         "invalid option --stats=count,,sum: an empty name in the list of statistics\n" + usage,
         5},
        {{"--csv", "--stats=mean,mean", "in.asc", "zones.asc", "out"},
         "invalid option --stats=mean,mean: mean is asked for twice\n" + usage,
         5},
        {{"--csv", "--stats=", "in.asc", "zones.asc", "out"},
         "invalid option --stats=: the list of statistics is empty\n" + usage,
         5},
        {{"--csv", "--json", "in.asc", "zones.asc", "out"},
         "invalid option --json: --csv and --json don't go together\n" + usage,
         5},
        {{"--stats=mean", "in.asc", "zones.asc", "out"},
         "invalid option --stats=mean: --stats chooses the columns of --csv or --json; the "
         "report's are fixed\n" +
             usage,
         5},
        // --stats takes the next word as its list, whatever it looks like.
        {{"--stats", "zones.asc", "out"},
         "invalid option --stats zones.asc: zones.asc is not a statistic; there are zone, count, "
         "nodata, min, max, range, sum, mean, stddev, pstddev, median, pNN (a percentile from 0 "
         "to 100), mode, minority, variety, frac and classes\n" +
             usage,
         5},
        {{"--csv=1", "zones.asc", "out"},
         "invalid option --csv=1: --csv takes no value\n" + usage,
         5},
        // After "--" every word is a name; before it options stand anywhere.
        {{"--", "--csv", "zones.asc", "out"}, banner + "could not open input file --csv\n", 98},
        {{"in.asc", "--csv", "out"}, banner + "could not open input file out\n", 98},
    };
    for (const option_case &c : cases) {
        const auto run = run_tool(dir, c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args[1];
        EXPECT_EQ(run.console, c.console) << c.args[1];
        EXPECT_FALSE(fs::exists(dir / "out")) << c.args[1];
    }
}

TEST_F(Table, RepeatedOptionsCountAsGivenLast) {
    write_pair();
    const auto run = run_tool(
        dir, {"--csv", "--stats=max", "--csv", "--stats=count", "in.asc", "zones.asc", "out.csv"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(read_file(path("out.csv")), "zone,count\r\n1,2\r\n2,0\r\n3,4\r\n");
}

TEST_F(Table, NamesNotGivenAreAskedFor) {
    write_pair();
    const auto run = run_tool(dir, {"--csv", "--stats=zone"}, "in.asc\nzones.asc\nout.csv\n");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, banner +
                               "usage:  <inputgrid> <zonegrid> <ASCII-statistics file>\n\n"
                               "input grid: \nzone grid  : \noutput file : \n" +
                               ".." + scan_ending);
    EXPECT_EQ(read_file(path("out.csv")), "zone\r\n1\r\n2\r\n3\r\n");
}

TEST_F(Table, FailuresEndAsTheReportsDo) {
    write_pair();
    for (const std::string format : {"--csv", "--json"}) {
        const auto full = run_tool(dir, {format, "in.asc", "zones.asc", "/dev/full"});
        EXPECT_EQ(full.exit_code, 4);
        EXPECT_EQ(full.console, banner + ".." + scan_ending + "error writing file /dev/full\n");

        write_file(path("small.asc"), text_grid({2, 2}, {"1", "1", "1", "1"}));
        const auto geometry = run_tool(dir, {format, "in.asc", "small.asc", "out"});
        EXPECT_EQ(geometry.exit_code, 3);
        EXPECT_EQ(read_file(path("out")), "");

        const auto retry = run_tool(dir, {format, "in.asc", "zones.asc", "in.asc"}, "out2\n");
        EXPECT_EQ(retry.exit_code, 0);
        EXPECT_EQ(retry.console, banner + "error opening file in.asc \r\nplease enter file: \r\n" +
                                     ".." + scan_ending);
        EXPECT_NE(read_file(path("out2")).find("zone"), std::string::npos);
        fs::remove(dir / "out2");
    }
}

// Four million distinct values need some 100 MB; with the memory capped the run ends with a
// message instead of a crash, and the output stays empty.
TEST_F(Table, RunningOutOfMemoryForDistinctValuesEndsTheRun) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves more address space than the cap allows";
#endif
    constexpr std::size_t cells = 4000000;
    std::vector<double> values(cells);
    for (std::size_t i = 0; i < cells; ++i)
        values[i] = static_cast<double>(i) + 0.5;
    write_file(path("in.flt"), binary_grid<float>({2000, 2000}, values));
    write_file(path("zones.flt"), binary_grid<float>({2000, 2000}, std::vector<double>(cells, 1)));
    for (const unsigned threads : test_support::thread_counts) {
        test_support::run_options options;
        options.address_space_limit = 96u << 20;
        options.threads = {threads};
        const auto run =
            run_tool(dir, {"--csv", "--stats=median", "in.flt", "zones.flt", "out.csv"}, options);
        EXPECT_EQ(run.exit_code, 1) << threads;
        // With many threads their stacks and buffers may take the memory first.
        EXPECT_TRUE(run.console.ends_with("memory allocation error for the distinct values\n") ||
                    run.console.ends_with("memory allocation error\n"))
            << run.console.substr(run.console.size() - 100);
        EXPECT_EQ(read_file(path("out.csv")), "");
    }
}

TEST_F(Table, HelpNamesTheOptions) {
    const auto help = run_tool(dir, {"--help"});
    for (const char *must_mention : {"--csv", "--json", "--stats=LIST", "pstddev", "p99.5",
                                     "minority", "variety", "zone,count,min,max,sum,mean,stddev"})
        EXPECT_NE(help.console.find(must_mention), std::string::npos) << must_mention;
}

// A class raster: zone 1 holds 1, 1, 2, 2 and a no-data cell; zone 2 holds 5, 5, 1; zone 3
// holds -3 and 7; zone 4 only a no-data cell; the 9 has a negative zone value, so it is no
// class.
class Classes : public test_support::scratch_test {
  protected:
    void write_classes() {
        write_file(path("lc.asc"), text_grid({4, 3}, {"1", "1", "2", "5", "2", "-9999", "5", "1",
                                                      "-3", "7", "-9999", "9"}));
        write_file(path("zones.asc"), text_grid({4, 3}, {"1", "1", "1", "2", "1", "1", "2", "2",
                                                         "3", "3", "4", "-1"}));
    }
};

TEST_F(Classes, CsvHasAColumnPerClassInAscendingOrder) {
    write_classes();
    const auto run =
        run_tool(dir, {"--csv", "--stats=count,frac,classes", "lc.asc", "zones.asc", "out.csv"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, banner + "..." + scan_ending);
    EXPECT_EQ(read_file(path("out.csv")),
              "zone,count,frac_-3,frac_1,frac_2,frac_5,frac_7,count_-3,count_1,count_2,count_5,"
              "count_7\r\n"
              "1,4,0,0.5,0.5,0,0,0,2,2,0,0\r\n"
              "2,3,0,0.3333333333333333,0,0.6666666666666666,0,0,1,0,2,0\r\n"
              "3,2,0.5,0,0,0,0.5,1,0,0,0,1\r\n"
              "4,0,,,,,,0,0,0,0,0\r\n");
}

TEST_F(Classes, JsonHasAnObjectPerZoneAndOneOverAllZones) {
    write_classes();
    const auto run =
        run_tool(dir, {"--json", "--stats=frac,count,zone", "lc.asc", "zones.asc", "out.json"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(
        read_file(path("out.json")),
        "{\n"
        "  \"input\": \"lc.asc\",\n"
        "  \"zones\": [\n"
        "    {\"zone\": 1, \"frac\": {\"-3\": 0, \"1\": 0.5, \"2\": 0.5, \"5\": 0, \"7\": 0}, "
        "\"count\": 4},\n"
        "    {\"zone\": 2, \"frac\": {\"-3\": 0, \"1\": 0.3333333333333333, \"2\": 0, \"5\": "
        "0.6666666666666666, \"7\": 0}, \"count\": 3},\n"
        "    {\"zone\": 3, \"frac\": {\"-3\": 0.5, \"1\": 0, \"2\": 0, \"5\": 0, \"7\": 0.5}, "
        "\"count\": 2},\n"
        "    {\"zone\": 4, \"frac\": {\"-3\": null, \"1\": null, \"2\": null, \"5\": null, "
        "\"7\": null}, \"count\": 0}\n"
        "  ],\n"
        "  \"all\": {\"zone\": null, \"frac\": {\"-3\": 0.1111111111111111, \"1\": "
        "0.3333333333333333, \"2\": 0.2222222222222222, \"5\": 0.2222222222222222, \"7\": "
        "0.1111111111111111}, \"count\": 9}\n"
        "}\n");
}

// The zone leads, once, wherever the list puts it. Whole numbers far apart (counted apart from the
// close ones) and -0 are classes too, and a grid without a counted cell has none.
TEST_F(Classes, ZoneLeadsAndEveryWholeNumberIsAClass) {
    write_classes();
    write_file(path("far.asc"), text_grid({4, 3}, {"0", "1e15", "-0", "1e15", "0", "0", "0", "0",
                                                   "5e14", "0", "0", "0"}));
    write_file(path("empty.asc"), text_grid({4, 3}, std::vector<std::string>(12, "-9999")));
    struct header_case {
        std::string grid;
        std::string stats;
        std::string csv;
    } cases[] = {
        {"lc.asc", "--stats=frac", "zone,frac_-3,frac_1,frac_2,frac_5,frac_7\r\n"},
        {"lc.asc", "--stats=mean,classes,zone",
         "zone,mean,count_-3,count_1,count_2,count_5,count_7\r\n"},
        {"lc.asc", "--stats=mean,zone", "zone,mean\r\n"},
        {"far.asc", "--stats=classes",
         "zone,count_0,count_500000000000000,count_1000000000000000\r\n"
         "1,4,0,1\r\n2,2,0,1\r\n3,1,1,0\r\n4,1,0,0\r\n"},
        {"empty.asc", "--stats=frac,classes,count", "zone,count\r\n1,0\r\n2,0\r\n3,0\r\n4,0\r\n"},
    };
    for (const header_case &c : cases) {
        const auto run = run_tool(dir, {"--csv", c.stats, c.grid, "zones.asc", "out.csv"});
        EXPECT_EQ(run.exit_code, 0) << c.stats;
        EXPECT_TRUE(read_file(path("out.csv")).starts_with(c.csv))
            << c.stats << ": " << read_file(path("out.csv"));
    }
    const auto help = run_tool(dir, {"--help"});
    for (const char *must_mention : {"frac_<class>", "count_<class>"})
        EXPECT_NE(help.console.find(must_mention), std::string::npos) << must_mention;
}

// Values that are no whole numbers are no classes: the run ends with exit code 5 once the cells
// are counted, naming the smallest such value, and the previous table stays.
TEST_F(Classes, ValuesThatAreNoWholeNumbersAreRefused) {
    write_classes();
    struct refused_case {
        std::vector<std::string> cells;
        std::string value;
    } cases[] = {
        {{"1", "2.5", "2", "0.25", "1", "1", "1", "1", "1", "1", "1", "1"}, "0.25"},
        {{"1", "2", "inf", "3", "1", "1", "1", "1", "1", "1", "1", "1"}, "inf"},
        {{"1", "2", "3", "4", "1", "1", "1", "1", "1", "1", "1e-300", "1"}, "1e-300"},
    };
    for (const refused_case &c : cases) {
        write_file(path("in.asc"), text_grid({4, 3}, c.cells));
        write_file(path("out.csv"), "the previous table\r\n");
        for (const std::string format : {"--csv", "--json"}) {
            const auto run =
                run_tool(dir, {format, "--stats=count,classes", "in.asc", "zones.asc", "out.csv"});
            EXPECT_EQ(run.exit_code, 5) << c.value;
            EXPECT_EQ(run.console, banner +
                                       "...\nsorting...\ninvalid option --stats=count,classes: "
                                       "the classes of classes are whole numbers, but in.asc "
                                       "holds " +
                                       c.value + "\n");
            EXPECT_EQ(read_file(path("out.csv")), "the previous table\r\n") << c.value;
        }
    }
}

} // namespace
