// The built tool end to end: console dialogue, exit codes, and every way a run can fail.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

#include <sys/wait.h>

namespace {

using test_support::banner;
using test_support::scan_ending;

namespace fs = std::filesystem;
using test_support::binary_grid;
using test_support::geometry;
using test_support::read_file;
using test_support::run_tool;
using test_support::text_grid;
using test_support::write_file;

class Cli : public test_support::scratch_test {
  protected:
    // A valid 2 x 2 pair, in.asc and zones.asc.
    void write_pair() {
        write_file(path("in.asc"), text_grid({2, 2}, {"1", "2", "3", "4"}));
        write_file(path("zones.asc"), text_grid({2, 2}, {"1", "1", "2", "2"}));
    }
    bool exists(const std::string &name) const { return fs::exists(dir / name); }
};

TEST_F(Cli, ThreeArgumentsRunWithoutPrompts) {
    write_pair();
    const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console, banner + ".." + scan_ending);
    EXPECT_NE(read_file(path("report.txt")).find("    2\t2\t\t2\t3\t4\t7\t3.5\t0\n"),
              std::string::npos);
}

TEST_F(Cli, ArgumentsBeyondTheThirdAreIgnored) {
    write_pair();
    const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt", "extra"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_FALSE(exists("extra"));
}

TEST_F(Cli, FewerThanTwoArgumentsAskForAllThreeNames) {
    write_pair();
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, std::vector<std::string>{"ignored"}}) {
        const auto run = run_tool(dir, args, "in.asc\nzones.asc\r\nreport.txt\n");
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.console, banner +
                                   "usage:  <inputgrid> <zonegrid> <ASCII-statistics file>\n\n"
                                   "input grid: \nzone grid  : \noutput file : \n" +
                                   ".." + scan_ending);
        EXPECT_TRUE(exists("report.txt"));
        fs::remove(dir / "report.txt");
    }
}

TEST_F(Cli, TwoArgumentsAskForTheReportName) {
    write_pair();
    const auto run = run_tool(dir, {"in.asc", "zones.asc"}, "report.txt\n");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.console,
              banner + "error opening file  \r\nplease enter file: \r\n.." + scan_ending);
    EXPECT_TRUE(exists("report.txt"));
}

TEST_F(Cli, ReportRetryDialogue) {
    write_pair();
    const std::string retry_prompt = "please enter file: ";
    struct retry_case {
        const char *name;
        std::string report_argument;
        std::string answers;
        int exit_code;
        std::string console_after_banner;
    } cases[] = {
        {"missing folder, then a good name", "no/such/report.txt", "report.txt\n", 0,
         "error opening file no/such/report.txt \r\n" + retry_prompt + "\r\n.." + scan_ending},
        {"empty answer ends the run", "no/such/report.txt", "\n", 1,
         "error opening file no/such/report.txt \r\n" + retry_prompt},
        {"end of input ends the run", "no/such/report.txt", "", 1,
         "error opening file no/such/report.txt \r\n" + retry_prompt},
        {"two bad names", "no/a", "no/b\nreport.txt\n", 0,
         "error opening file no/a \r\n" + retry_prompt + "\r\nerror opening file no/b \r\n" +
             retry_prompt + "\r\n.." + scan_ending},
        {"the input grid by another spelling", "./in.asc", "report.txt\n", 0,
         "error opening file ./in.asc \r\n" + retry_prompt + "\r\n.." + scan_ending},
        {"the zone grid", "zones.asc", "\n", 1, "error opening file zones.asc \r\n" + retry_prompt},
    };
    const std::string input_before = read_file(path("in.asc"));
    const std::string zones_before = read_file(path("zones.asc"));
    for (const auto &c : cases) {
        const auto run = run_tool(dir, {"in.asc", "zones.asc", c.report_argument}, c.answers);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(run.console, banner + c.console_after_banner) << c.name;
        EXPECT_EQ(read_file(path("in.asc")), input_before) << c.name;
        EXPECT_EQ(read_file(path("zones.asc")), zones_before) << c.name;
    }
}

TEST_F(Cli, ReportThroughAHardLinkToTheGridIsRefused) {
    write_pair();
    fs::create_hard_link(dir / "in.asc", dir / "link.txt");
    const auto run = run_tool(dir, {"in.asc", "zones.asc", "link.txt"}, "\n");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(read_file(path("in.asc")), text_grid({2, 2}, {"1", "2", "3", "4"}));
}

TEST_F(Cli, EmptyOrEndedInputAtTheGridPromptNamesNoFile) {
    for (const std::string input : {"\n\n\n", ""}) {
        const auto run = run_tool(dir, {}, input);
        EXPECT_EQ(run.exit_code, 98);
        EXPECT_EQ(run.console, banner + "usage:  <inputgrid> <zonegrid> <ASCII-statistics file>\n\n"
                                        "input grid: \nzone grid  : \noutput file : \n"
                                        "could not open input file \n");
    }
}

// Each row: the two grids, the console after the banner, the exit code, and whether the report
// file was created (it stays empty whenever the run fails).
struct failure_case {
    const char *name;
    std::string input;
    std::string zones;
    std::string console;
    int exit_code;
    bool report_created;
};

TEST_F(Cli, FailuresEndWithTheirMessageAndExitCode) {
    const std::string good = text_grid({2, 2}, {"1", "2", "3", "4"});
    const std::string zones = text_grid({2, 2}, {"1", "1", "2", "2"});
    const failure_case cases[] = {
        {"input missing", "", zones, "could not open input file in.asc\n", 98, false},
        {"zones missing", good, "", "could not open input file zones.asc\n", 98, false},
        {"input unknown format", "NCOLS 2\n", zones,
         "could not recognise file format (ascii, single or double) for in.asc\n", 98, false},
        {"zones unknown format", good, "hello",
         "could not recognise file format (ascii, single or double) for zones.asc\n", 98, false},
        {"input header not whole", "ncols 10.0 nrows 2 x 0 y 0 c 1 n 0\n1 2 3 4", zones,
         "invalid grid header in in.asc\n", 98, true},
        {"zones header ends early", good, "ncols 2 nrows 2 x 0",
         "invalid grid header in zones.asc\n", 98, true},
        {"negative nrows", text_grid({2, -2}, {}), zones, "invalid grid header in in.asc\n", 98,
         true},
        {"binary count NaN", binary_grid<float>({NAN, 2}, {1, 2, 3, 4}), zones,
         "invalid grid header in in.asc\n", 98, true},
        {"different size", good, text_grid({2, 1}, {"1", "1"}),
         "zonegrid zones.asc and input grid in.asc \ndoes not match the same geometry!. end.\n", 3,
         true},
        {"different origin", good, text_grid({2, 2, 0.5}, {"1", "1", "2", "2"}),
         "zonegrid zones.asc and input grid in.asc \ndoes not match the same geometry!. end.\n", 3,
         true},
        {"input runs out", text_grid({2, 2}, {"1", "2", "3"}), zones,
         ".\ncould not read a value for row 2, column 2 from in.asc\n", 98, true},
        {"zones hold a non-number", good, text_grid({2, 2}, {"1", "*", "2", "2"}),
         "\ncould not read a value for row 1, column 2 from zones.asc\n", 98, true},
        {"5abc reads 5, then abc is no number", text_grid({2, 2}, {"5abc", "2", "3", "4"}), zones,
         "\ncould not read a value for row 1, column 2 from in.asc\n", 98, true},
        {"binary value cut short", good,
         binary_grid<double>({2, 2}, {1, 1, 2, 2}).substr(0, 96 + 3 * 8 + 5),
         ".\ncould not read a value for row 2, column 2 from zones.asc\n", 98, true},
        {"a header claiming 2^31 - 1 columns and rows", text_grid({2147483647, 2147483647}, {}),
         text_grid({2147483647, 2147483647}, {}),
         "\ncould not read a value for row 1, column 1 from in.asc\n", 98, true},
        // Without its NODATA_value line a text grid reads its first two cells as the last
        // keyword and nodata, and then runs out of values.
        {"text grid without nodata line",
         "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\n1 2\n3 4\n", zones,
         ".\ncould not read a value for row 2, column 1 from in.asc\n", 98, true},
    };
    for (const failure_case &c : cases) {
        fs::remove(dir / "report.txt");
        fs::remove(dir / "in.asc");
        fs::remove(dir / "zones.asc");
        if (!c.input.empty()) write_file(path("in.asc"), c.input);
        if (!c.zones.empty()) write_file(path("zones.asc"), c.zones);
        const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt"});
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(run.console, banner + c.console) << c.name;
        EXPECT_EQ(exists("report.txt"), c.report_created) << c.name;
        if (c.report_created) {
            EXPECT_EQ(read_file(path("report.txt")), "") << c.name;
        }
    }
}

// Zone values of 1000000 and more each make a zone of their own; with the memory capped the
// register (or, with many threads, a read buffer) runs out of room and the run ends with a
// message instead of a crash.
TEST_F(Cli, RunningOutOfMemoryForZonesEndsTheRun) {
    ZONALSTATS_SKIP_ON_WINDOWS("the memory is capped with RLIMIT_AS, which Windows does not have");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves more address space than the cap allows";
#endif
    constexpr int cells = 1500000;
    std::string values = "ncols 1000\nnrows 1500\nx 0\ny 0\nc 1\nn -9999\n";
    std::string zones = values;
    for (int i = 0; i < cells; ++i) {
        values += "1\n";
        zones += std::to_string(1000000 + i) + "\n";
    }
    write_file(path("in.asc"), values);
    write_file(path("zones.asc"), zones);
    // How many zones fit depends on the memory the threads take, so each count is on its own.
    for (const unsigned threads : test_support::thread_counts) {
        test_support::run_options options;
        options.address_space_limit = 96u << 20;
        options.threads = {threads};
        const auto run = run_tool(dir, {"in.asc", "zones.asc", "report.txt"}, options);
        EXPECT_EQ(run.exit_code, 1) << threads;
        // With many threads their stacks and buffers may take the memory first.
        const bool zone_message =
            run.console.ends_with("zones on this machine\n") &&
            run.console.find("not sufficient memory to get register memory for more than ") !=
                std::string::npos;
        EXPECT_TRUE(zone_message || run.console.ends_with("memory allocation error\n"))
            << run.console.substr(0, 200);
        EXPECT_EQ(read_file(path("report.txt")), "");
    }
}

const std::string usage_and_prompts = "usage:  <inputgrid> <zonegrid> <ASCII-statistics file>\n\n"
                                      "input grid: \nzone grid  : \noutput file : \n";

TEST_F(Cli, HelpAndVersionAloneAnswerWithoutBannerOrPrompts) {
    const auto version = run_tool(dir, {"--version"}, "in.asc\n");
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.console, std::string("zonalstats ") + ZONALSTATS_VERSION + "\n");

    const auto help = run_tool(dir, {"--help"}, "in.asc\n");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(
        help.console.rfind("usage: zonalstats [OPTIONS] <inputgrid> <zonegrid> <report>\n", 0), 0u)
        << help.console;
    for (const char *must_mention : {"--version", "--threads=N", "ncol", "single", "double",
                                     "-9999", "NODATA_value", "\n  3   ", "\n  5   ", "\n  98  "})
        EXPECT_NE(help.console.find(must_mention), std::string::npos) << must_mention;
    EXPECT_TRUE(fs::is_empty(dir)) << "no file may be created";
}

TEST_F(Cli, HelpOrVersionThatCannotBeWrittenFails) {
    ZONALSTATS_SKIP_ON_WINDOWS("Windows has no /dev/full, a device that is always full");
    for (const std::string option : {"--help", "--version"}) {
        const std::string command = std::string(ZONALSTATS_BINARY) + " " + option + " >/dev/full";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << option;
        EXPECT_EQ(WEXITSTATUS(status), 4) << option;
    }
}

// Only "--help" or "--version" as the one argument is an option; every other command line runs
// as before: near misses as the one argument ask for the names, and among several arguments
// they are file names.
TEST_F(Cli, HelpAndVersionAnywhereElseAreNotOptions) {
    write_pair();
    for (const std::string near_miss : {"-h", "-help", "--HELP", "--help=1", "--version ", "-V"}) {
        const auto run = run_tool(dir, {near_miss}, "in.asc\nzones.asc\nreport.txt\n");
        EXPECT_EQ(run.exit_code, 0) << near_miss;
        EXPECT_EQ(run.console, banner + usage_and_prompts + ".." + scan_ending) << near_miss;
    }

    const auto help_as_grid = run_tool(dir, {"--help", "zones.asc", "report.txt"});
    EXPECT_EQ(help_as_grid.exit_code, 98);
    EXPECT_EQ(help_as_grid.console, banner + "could not open input file --help\n");

    const auto version_as_report = run_tool(dir, {"in.asc", "zones.asc", "--version"});
    EXPECT_EQ(version_as_report.exit_code, 0);
    EXPECT_NE(read_file(path("--version")).find("statistical parameters for in.asc"),
              std::string::npos);

    const auto two_options = run_tool(dir, {"--help", "--version"}, "report.txt\n");
    EXPECT_EQ(two_options.exit_code, 98);
    EXPECT_EQ(two_options.console, banner + "could not open input file --help\n");
}

TEST_F(Cli, ReportThatCannotBeWrittenFails) {
    ZONALSTATS_SKIP_ON_WINDOWS("Windows has no /dev/full, a device that is always full");
    write_pair();
    const auto run = run_tool(dir, {"in.asc", "zones.asc", "/dev/full"});
    EXPECT_EQ(run.exit_code, 4);
    EXPECT_EQ(run.console, banner + ".." + scan_ending + "error writing file /dev/full\n");
}

} // namespace
