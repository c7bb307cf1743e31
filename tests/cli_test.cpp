// The built tool end to end: console dialogue, exit codes, and every way a run can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

const std::string usage = "usage: zonalstats [OPTIONS] <inputgrid> <zonegrid> <report>\n"
                          "       zonalstats --help | --version\n";

// Options anywhere, with their value in the next word or after "=": each row names the file the
// output goes to and its first line, which tells the report from the CSV table.
TEST_F(Cli, OptionsAnywhereWithTheirValueBehindASpaceOrAnEqualsSign) {
    write_pair();
    const std::string report_line = "statistical parameters for in.asc within the zones from "
                                    "zones.asc\n";
    struct placed_case {
        std::vector<std::string> args;
        std::string output;
        std::string first_line;
    } cases[] = {
        {{"--csv", "--stats", "mean", "in.asc", "zones.asc", "out.csv"},
         "out.csv",
         "zone,mean\r\n"},
        {{"--csv", "in.asc", "zones.asc", "--threads=2", "out.csv"},
         "out.csv",
         "zone,count,min,max,sum,mean,stddev\r\n"},
        {{"in.asc", "--stats=count", "zones.asc", "out.csv", "--csv"}, "out.csv", "zone,count\r\n"},
        {{"--threads", "2", "in.asc", "zones.asc", "report.txt"}, "report.txt", report_line},
        // "--" ends the options wherever it stands; dashed words that are no options' names
        // stay names, also among options.
        {{"in.asc", "zones.asc", "--", "--csv"}, "--csv", report_line},
        {{"in.asc", "zones.asc", "-x.asc", "--csv"},
         "-x.asc",
         "zone,count,min,max,sum,mean,stddev\r\n"},
        {{"--csv", "--stats", "count", "in.asc", "zones.asc", "--report.txt"},
         "--report.txt",
         "zone,count\r\n"},
        {{"--json", "in.asc", "zones.asc", "--v.asc"}, "--v.asc", "{\n"},
        {{"in.asc", "zones.asc", "-"}, "-", report_line},
    };
    for (const placed_case &c : cases) {
        const std::string shown = ::testing::PrintToString(c.args);
        const auto run = run_tool(dir, c.args);
        EXPECT_EQ(run.exit_code, 0) << shown;
        EXPECT_EQ(run.console, banner + ".." + scan_ending) << shown;
        EXPECT_TRUE(read_file(path(c.output)).starts_with(c.first_line))
            << shown << ": " << read_file(path(c.output));
        for (const auto &entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "in.asc" || name == "zones.asc" || name == c.output)
                << shown << ": stray file " << name;
        }
        fs::remove(dir / c.output);
    }
}

// A word a letter or two from an option's name (letter case aside), or an option with a value it
// can't take, is refused, naming the word and the option meant.
TEST_F(Cli, MistypedOptionsAreRefused) {
    write_pair();
    struct mistyped_case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--csv", "--stat=mean", "in.asc", "zones.asc", "out"},
         "--stat=mean: no such option; did you mean --stats?"},
        {{"in.asc", "--thread=2", "zones.asc", "out"},
         "--thread=2: no such option; did you mean --threads?"},
        {{"--cvs", "in.asc", "zones.asc", "out"}, "--cvs: no such option; did you mean --csv?"},
        {{"in.asc", "zones.asc", "out", "--jsno"}, "--jsno: no such option; did you mean --json?"},
        {{"-csv", "in.asc", "zones.asc", "out"}, "-csv: no such option; did you mean --csv?"},
        {{"--JSON", "in.asc", "zones.asc", "out"}, "--JSON: no such option; did you mean --json?"},
        {{"--threadsx", "2", "in.asc", "zones.asc", "out"},
         "--threadsx: no such option; did you mean --threads?"},
        {{"--csv=1", "in.asc", "zones.asc", "out"}, "--csv=1: --csv takes no value"},
        {{"in.asc", "zones.asc", "out", "--threads"},
         "--threads: a value must follow, as in --threads N or --threads=N"},
        {{"--threads", "two", "in.asc", "zones.asc", "out"},
         "--threads two: the number of threads must be a whole number from 1 to 1024"},
    };
    for (const mistyped_case &c : cases) {
        const std::string shown = ::testing::PrintToString(c.args);
        const auto run = run_tool(dir, c.args);
        EXPECT_EQ(run.exit_code, 5) << shown;
        EXPECT_EQ(run.console, "invalid option " + c.message + "\n" + usage) << shown;
        EXPECT_FALSE(exists("out")) << shown;
    }
}

// A FIFO that gets `first` at once, the rest only when release() is called: a run reading it
// waits in its scan with its output open.
class held_fifo {
  public:
    held_fifo(const std::string &name, const std::string &first, const std::string &rest) {
        EXPECT_EQ(mkfifo(name.c_str(), 0600), 0);
        int control[2];
        EXPECT_EQ(pipe(control), 0);
        writer = fork();
        if (writer == 0) {
            close(control[1]);
            std::signal(SIGPIPE, SIG_IGN);
            const int fd = open(name.c_str(), O_WRONLY);
            if (fd < 0) _exit(1);
            const auto send = [fd](const std::string &bytes) {
                for (std::size_t done = 0; done < bytes.size();) {
                    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                    if (n <= 0) _exit(0);
                    done += static_cast<std::size_t>(n);
                }
            };
            send(first);
            char go = 0;
            if (read(control[0], &go, 1) != 1) _exit(0);
            send(rest);
            _exit(0);
        }
        close(control[0]);
        release_fd = control[1];
    }
    held_fifo(const held_fifo &) = delete;
    held_fifo &operator=(const held_fifo &) = delete;
    void release() {
        EXPECT_EQ(write(release_fd, "g", 1), 1);
        waitpid(writer, nullptr, 0);
        writer = -1;
    }
    ~held_fifo() {
        close(release_fd);
        if (writer > 0) {
            kill(writer, SIGKILL);
            waitpid(writer, nullptr, 0);
        }
    }

  private:
    pid_t writer = -1;
    int release_fd = -1;
};

class Output : public Cli {
  protected:
    // zones.asc, and in.asc as a held FIFO whose cells come partly at once, the rest on
    // release: more than a grid's read buffer at once, so that the run gets past opening the
    // grids and into the scan before it waits. All cells are 1, in zone 1.
    std::unique_ptr<held_fifo> hold_input() {
        const std::string grid = text_grid({1000, 1000}, std::vector<std::string>(1000000, "1"));
        write_file(path("zones.asc"), grid);
        const std::size_t at_once = std::size_t{3} << 19;
        return std::make_unique<held_fifo>(path("in.asc"), grid.substr(0, at_once),
                                           grid.substr(at_once));
    }
    // Waits until a file the test did not make shows in the folder, as the run's output being
    // written does; true if one does within five seconds.
    bool wait_for_file_besides(const std::vector<std::string> &known) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < give_up) {
            for (const auto &entry : fs::directory_iterator(dir)) {
                const std::string name = entry.path().filename().string();
                if (std::find(known.begin(), known.end(), name) == known.end()) return true;
            }
            usleep(2000);
        }
        return false;
    }
    std::vector<std::string> folder_names() const {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static unsigned mode_of(const std::string &name) {
        struct stat info {};
        EXPECT_EQ(stat(name.c_str(), &info), 0) << name;
        return info.st_mode & 0777;
    }
    static unsigned new_file_mode() {
        const mode_t mask = umask(0);
        umask(mask);
        return 0666 & ~mask;
    }
};

// The table that replaces a file is whole when it appears: an interrupted run leaves the previous
// table, and a run that ends last replaces what another wrote meanwhile, whole, with the
// permissions a new file gets.
TEST_F(Output, AnInterruptedRunLeavesThePreviousTableAndNoOtherFile) {
    ZONALSTATS_SKIP_ON_WINDOWS("the grid comes from a FIFO, and Windows has neither FIFOs nor "
                               "signals");
    const struct {
        int signal;
        const char *format;
    } cases[] = {{SIGINT, "--csv"}, {SIGTERM, "--json"}, {SIGHUP, "--csv"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.format) + " ended by signal " + std::to_string(c.signal));
        fs::remove(dir / "in.asc");
        write_file(path("out"), "previous\n");
        const auto input = hold_input();
        const auto started = test_support::start_tool(
            dir, {"--threads=2", c.format, "in.asc", "zones.asc", "out"}, {});
        EXPECT_TRUE(wait_for_file_besides({"in.asc", "zones.asc", "out", ".stdin", ".stdout"}))
            << "the run writes its table under no name of its own";
        kill(started.pid, c.signal);
        const auto run = test_support::finish_tool(started);
        EXPECT_EQ(run.exit_code, 128 + c.signal);
        EXPECT_EQ(read_file(path("out")), "previous\n");
        EXPECT_EQ(folder_names(), (std::vector<std::string>{"in.asc", "out", "zones.asc"}));
    }
}

TEST_F(Output, ARunEndingLastReplacesTheTableWhole) {
    ZONALSTATS_SKIP_ON_WINDOWS("the grid comes from a FIFO, and Windows has no FIFOs");
    // The other run's table is longer: written over in place, its tail would stay.
    std::vector<std::string> many_zones;
    for (int i = 0; i < 400; ++i)
        many_zones.push_back(std::to_string(i));
    write_file(path("many.asc"), text_grid({20, 20}, std::vector<std::string>(400, "1")));
    write_file(path("many-zones.asc"), text_grid({20, 20}, many_zones));
    const std::string table = "zone,count,min,max,sum,mean,stddev\r\n"
                              "1,1000000,1,1,1e+06,1,0\r\n";
    for (const std::string format : {"--csv", "--json"}) {
        SCOPED_TRACE(format);
        fs::remove(dir / "in.asc");
        fs::remove(dir / "out");
        const auto input = hold_input();
        const auto held = test_support::start_tool(
            dir, {"--threads=2", "--csv", "in.asc", "zones.asc", "out"}, {});
        EXPECT_TRUE(wait_for_file_besides(
            {"in.asc", "zones.asc", "many.asc", "many-zones.asc", "out", ".stdin", ".stdout"}));
        test_support::run_options other;
        other.stdout_name = "other";
        const auto other_run = test_support::finish_tool(
            test_support::start_tool(dir, {format, "many.asc", "many-zones.asc", "out"}, other));
        EXPECT_EQ(other_run.exit_code, 0);
        const std::string other_table = read_file(path("out"));
        EXPECT_GT(other_table.size(), table.size());
        input->release();
        const auto run = test_support::finish_tool(held);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(read_file(path("out")), table);
        EXPECT_EQ(mode_of(path("out")), new_file_mode());
        fs::remove(dir / "other");
    }
}

// A disk that fills under the temporary file: the write error of any report, the previous table
// kept and no file left behind.
TEST_F(Output, AWriteErrorOnTheTemporaryFileKeepsThePreviousTable) {
    ZONALSTATS_SKIP_ON_WINDOWS("the full disk is a file size limit, which Windows does not have");
    std::vector<std::string> zones;
    for (int i = 0; i < 100; ++i)
        zones.push_back(std::to_string(i));
    write_file(path("in.asc"), text_grid({100, 1}, std::vector<std::string>(100, "1")));
    write_file(path("zones.asc"), text_grid({100, 1}, zones));
    for (const std::string format : {"--csv", "--json"}) {
        write_file(path("out.csv"), "previous\n");
        // 512-byte blocks in dash and bash's POSIX mode alike; past the limit a write fails.
        const std::string command =
            "cd '" + dir.string() + "' && ulimit -f 1 && trap '' XFSZ && '" + ZONALSTATS_BINARY +
            "' " + format + " in.asc zones.asc out.csv </dev/null >console.txt";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << format;
        EXPECT_EQ(WEXITSTATUS(status), 4) << format;
        EXPECT_EQ(read_file(path("console.txt")),
                  banner + "." + scan_ending + "error writing file out.csv\n")
            << format;
        EXPECT_EQ(read_file(path("out.csv")), "previous\n") << format;
        fs::remove(dir / "console.txt");
        EXPECT_EQ(folder_names(), (std::vector<std::string>{"in.asc", "out.csv", "zones.asc"}))
            << format;
    }
}

// Threads beyond the CPUs the run may use (or 8, where there are fewer) are not started, however
// many the option asks for.
TEST_F(Output, NoMoreThreadsThanCpus) {
    ZONALSTATS_SKIP_ON_WINDOWS("threads are counted in /proc");
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const auto cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    const auto input = hold_input();
    const auto started =
        test_support::start_tool(dir, {"--threads=1024", "in.asc", "zones.asc", "report.txt"}, {});
    // The workers start once the headers are read, just after the report is created.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!exists("report.txt") && std::chrono::steady_clock::now() < give_up)
        usleep(2000);
    usleep(200000);
    std::size_t threads = 0;
    for ([[maybe_unused]] const auto &task :
         fs::directory_iterator("/proc/" + std::to_string(started.pid) + "/task"))
        ++threads;
#if defined(__SANITIZE_THREAD__)
    threads -= 1; // ThreadSanitizer's own background thread
#endif
    EXPECT_LE(threads, std::max<std::size_t>(cpus, 8));
    input->release();
    EXPECT_EQ(test_support::finish_tool(started).exit_code, 0);
}

// The console for scripts: --quiet, the table on standard output, the progress bar.
class Console : public Cli {
  protected:
    // The CSV table of write_pair's grids at the default columns.
    static std::string pair_csv() {
        return "zone,count,min,max,sum,mean,stddev\r\n"
               "1,2,1,2,3,1.5,0.7071067811865476\r\n"
               "2,2,3,4,7,3.5,0.7071067811865476\r\n";
    }
    // True when `shown` is `head`, then progress bars redrawn over each other, then `tail`.
    static bool bars_between(const std::string &shown, const std::string &head,
                             const std::string &tail) {
        if (!shown.starts_with(head) || !shown.ends_with(tail) ||
            shown.size() < head.size() + tail.size())
            return false;
        std::string_view middle(shown);
        middle = middle.substr(head.size(), shown.size() - head.size() - tail.size());
        while (!middle.empty()) {
            const std::size_t next = middle.find('\r', 1);
            const std::string_view bar = middle.substr(0, next);
            if (!bar.starts_with("\r[") || !bar.ends_with(" rows")) return false;
            middle.remove_prefix(bar.size());
        }
        return true;
    }
    static bool have_script() { return std::system("command -v script >/dev/null 2>&1") == 0; }
    // Runs the tool with the arguments, as a shell words (after `cd` into the folder), on a
    // terminal of its own, and returns what the terminal showed, its CR LF line ends made LF.
    std::string on_terminal(const std::string &words, int &exit_code) {
        const std::string command = "cd '" + dir.string() + "' && script -qec \"'" +
                                    ZONALSTATS_BINARY + "' " + words +
                                    "\" /dev/null </dev/null >.terminal 2>&1";
        const int status = std::system(command.c_str());
        exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string shown = read_file(path(".terminal"));
        fs::remove(dir / ".terminal");
        std::string lf;
        for (std::size_t i = 0; i < shown.size(); ++i)
            if (!(shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n'))
                lf.push_back(shown[i]);
        return lf;
    }
};

// Quiet: no banner, no dots, no phase messages; the questions for missing names and the
// messages of failures stay, those without a line of dots to end.
TEST_F(Console, QuietLeavesOnlyQuestionsAndFailures) {
    write_pair();
    write_file(path("short.asc"), text_grid({2, 2}, {"1", "2", "3"}));
    write_file(path("narrow.asc"), text_grid({1, 2}, {"1", "2"}));
    struct quiet_case {
        std::vector<std::string> args;
        std::string input;
        int exit_code;
        std::string console;
    } cases[] = {
        {{"-q", "in.asc", "zones.asc", "report.txt"}, "", 0, ""},
        {{"in.asc", "zones.asc", "report.txt", "--quiet"}, "", 0, ""},
        {{"-q", "--csv", "in.asc", "zones.asc", "report.txt"}, "", 0, ""},
        {{"-q", "--progress", "in.asc", "zones.asc", "report.txt"}, "", 0, ""},
        {{"-q"}, "in.asc\nzones.asc\nreport.txt\n", 0, usage_and_prompts},
        {{"-q", "in.asc", "zones.asc"},
         "report.txt\n",
         0,
         "error opening file  \r\nplease enter file: \r\n"},
        {{"-q", "in.asc", "zones.asc", "no/such/report.txt"},
         "\n",
         1,
         "error opening file no/such/report.txt \r\nplease enter file: "},
        {{"-q", "missing.asc", "zones.asc", "report.txt"},
         "",
         98,
         "could not open input file missing.asc\n"},
        {{"-q", "short.asc", "zones.asc", "report.txt"},
         "",
         98,
         "could not read a value for row 2, column 2 from short.asc\n"},
        {{"-q", "in.asc", "narrow.asc", "report.txt"},
         "",
         3,
         "zonegrid narrow.asc and input grid in.asc \ndoes not match the same geometry!. end.\n"},
        {{"-q", "--threads=0", "in.asc", "zones.asc", "report.txt"},
         "",
         5,
         "invalid option --threads=0: the number of threads must be a whole number from 1 to "
         "1024\n" +
             usage},
        {{"--quite", "in.asc", "zones.asc", "report.txt"},
         "",
         5,
         "invalid option --quite: no such option; did you mean --quiet?\n" + usage},
    };
    const auto loud = run_tool(dir, {"in.asc", "zones.asc", "report.txt"});
    const std::string loud_report = read_file(path("report.txt"));
    for (const quiet_case &c : cases) {
        const std::string shown = ::testing::PrintToString(c.args);
        fs::remove(dir / "report.txt");
        const auto run = run_tool(dir, c.args, c.input);
        EXPECT_EQ(run.exit_code, c.exit_code) << shown;
        EXPECT_EQ(run.console, c.console) << shown;
        if (c.exit_code == 0 && std::find(c.args.begin(), c.args.end(), "--csv") == c.args.end()) {
            EXPECT_EQ(read_file(path("report.txt")), loud_report) << shown;
        }
    }
}

// "-q" is the option only as a word of its own; the other words that start with a dash stay
// names, for the report and for the table alike, and so does "-" for the report (a table named
// "-" goes to standard output).
TEST_F(Console, OnlyTheWholeWordIsTheShortOption) {
    write_pair();
    for (const std::string name : {"-", "-q=1", "-qq", "-Q"}) {
        for (const std::string format : {"", "--json"}) {
            std::vector<std::string> args = {"in.asc", "zones.asc", name};
            if (!format.empty()) args.push_back(format);
            const auto run = run_tool(dir, args);
            EXPECT_EQ(run.exit_code, 0) << name << " " << format;
            if (name == "-" && !format.empty()) {
                EXPECT_TRUE(run.console.starts_with("{\n  \"input\"")) << run.console;
                EXPECT_FALSE(fs::exists(dir / name));
                continue;
            }
            EXPECT_EQ(run.console, banner + ".." + scan_ending) << name << " " << format;
            EXPECT_TRUE(read_file(path(name)).starts_with(format.empty() ? "statistical" : "{"))
                << name << " " << format;
            fs::remove(dir / name);
        }
    }
}

// --stdout: the table alone on standard output, and all the console's text, the questions and
// the messages of failures included, on standard error.
TEST_F(Console, TheTableOnStandardOutputAndTheConsoleOnStandardError) {
    ZONALSTATS_SKIP_ON_WINDOWS("the tests do not capture the standard error of a run under wine");
    write_pair();
    write_file(path("narrow.asc"), text_grid({1, 2}, {"1", "2"}));
    const std::string json = "{\n"
                             "  \"input\": \"in.asc\",\n";
    struct stdout_case {
        std::vector<std::string> args;
        std::string input;
        int exit_code;
        std::string table; // all of it, or its first lines for JSON
        std::string console;
    } cases[] = {
        {{"--csv", "--stdout", "in.asc", "zones.asc"},
         "",
         0,
         pair_csv(),
         banner + ".." + scan_ending},
        {{"in.asc", "--stdout", "zones.asc", "--json"}, "", 0, json, banner + ".." + scan_ending},
        // A table named "-" is the same as --stdout.
        {{"--csv", "in.asc", "zones.asc", "-"}, "", 0, pair_csv(), banner + ".." + scan_ending},
        {{"in.asc", "zones.asc", "-", "--stats=zone", "--json", "-q"}, "", 0, json, ""},
        {{"--csv", "--stdout", "in.asc", "zones.asc", "-"},
         "",
         0,
         pair_csv(),
         banner + ".." + scan_ending},
        {{"-q", "--csv", "--stdout", "in.asc", "zones.asc"}, "", 0, pair_csv(), ""},
        {{"--stdout", "--stats=zone,sum", "--csv", "in.asc", "zones.asc"},
         "",
         0,
         "zone,sum\r\n1,3\r\n2,7\r\n",
         banner + ".." + scan_ending},
        {{"--csv", "--stdout"},
         "in.asc\nzones.asc\n",
         0,
         pair_csv(),
         banner +
             "usage:  <inputgrid> <zonegrid> <ASCII-statistics file>\n\n"
             "input grid: \nzone grid  : \n" +
             ".." + scan_ending},
        {{"--csv", "--stdout", "missing.asc", "zones.asc"},
         "",
         98,
         "",
         banner + "could not open input file missing.asc\n"},
        {{"--csv", "--stdout", "in.asc", "narrow.asc"},
         "",
         3,
         "",
         banner + "zonegrid narrow.asc and input grid in.asc \ndoes not match the same geometry!. "
                  "end.\nncols 2 (in.asc) vs 1 (narrow.asc); --align puts the zone grid on the "
                  "value grid's cells\n"},
        {{"--csv", "--threads=0", "--stdout", "in.asc", "zones.asc"},
         "",
         5,
         "",
         "invalid option --threads=0: the number of threads must be a whole number from 1 to "
         "1024\n" +
             usage},
        {{"--stdout", "in.asc", "zones.asc"},
         "",
         5,
         "",
         "invalid option --stdout: --stdout writes the table of --csv or --json; the report goes "
         "to a file\n" +
             usage},
        {{"--csv", "--stdout", "in.asc", "zones.asc", "out.csv"},
         "",
         5,
         "",
         "invalid option --stdout: the table goes to standard output, so no <report> is named, "
         "but out.csv is\n" +
             usage},
    };
    for (const stdout_case &c : cases) {
        const std::string shown = ::testing::PrintToString(c.args);
        test_support::run_options options;
        options.input = c.input;
        options.capture_errors = true;
        const auto run = run_tool(dir, c.args, options);
        EXPECT_EQ(run.exit_code, c.exit_code) << shown;
        if (c.table.starts_with("{"))
            EXPECT_TRUE(run.console.starts_with(c.table) && run.console.ends_with("}\n"))
                << shown << ": " << run.console;
        else
            EXPECT_EQ(run.console, c.table) << shown;
        EXPECT_EQ(run.errors, c.console) << shown;
        for (const auto &entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "in.asc" || name == "zones.asc" || name == "narrow.asc")
                << shown << ": stray file " << name;
        }
    }
}

// A table that can't be written to standard output, a full device or a pipe whose reader has
// gone, fails as any table that can't be written: exit 4, the message on standard error.
TEST_F(Console, WriteErrorsOnStandardOutputEndTheRunWithExit4) {
    ZONALSTATS_SKIP_ON_WINDOWS("Windows has neither /dev/full nor SIGPIPE");
    write_pair();
    const std::string failed = banner + ".." + scan_ending + "error writing to standard output\n";
    const std::string command = "cd '" + dir.string() + "' && '" + ZONALSTATS_BINARY +
                                "' --csv --stdout in.asc zones.asc </dev/null >/dev/full "
                                "2>errors.txt";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_EQ(read_file(path("errors.txt")), failed);

    // The reader is gone before the run starts, and SIGPIPE has its default action.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        if (chdir(dir.c_str()) != 0) _exit(127);
        dup2(ends[1], 1);
        const int errors = open("errors.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (errors < 0) _exit(127);
        dup2(errors, 2);
        const int null = open("/dev/null", O_RDONLY);
        if (null < 0) _exit(127);
        dup2(null, 0);
        execl(ZONALSTATS_BINARY, ZONALSTATS_BINARY, "--json", "--stdout", "in.asc", "zones.asc",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    int piped = 0;
    ASSERT_EQ(waitpid(child, &piped, 0), child);
    ASSERT_TRUE(WIFEXITED(piped)) << "ended by signal " << WTERMSIG(piped);
    EXPECT_EQ(WEXITSTATUS(piped), 4);
    EXPECT_EQ(read_file(path("errors.txt")), failed);
}

// --progress: a bar in place of the dots, where the console is a terminal, and no progress at
// all where it is not; without the option a terminal shows the dots as ever.
TEST_F(Console, ProgressBarOnATerminalOnly) {
    ZONALSTATS_SKIP_ON_WINDOWS("the terminal is a pseudo-terminal of util-linux's script");
    write_pair();
    write_file(path("short.asc"), text_grid({2, 2}, {"1", "2", "3"}));
    const std::string full_bar = "\r[" + std::string(40, '#') + "] 100%  2 of 2 rows";

    const auto piped = run_tool(dir, {"--progress", "in.asc", "zones.asc", "report.txt"});
    EXPECT_EQ(piped.exit_code, 0);
    EXPECT_EQ(piped.console, banner + scan_ending);
    const auto piped_failure = run_tool(dir, {"--progress", "short.asc", "zones.asc", "r.txt"});
    EXPECT_EQ(piped_failure.exit_code, 98);
    EXPECT_EQ(piped_failure.console,
              banner + "could not read a value for row 2, column 2 from short.asc\n");

    if (!have_script()) GTEST_SKIP() << "no script (util-linux) to run the tool on a terminal";
    int exit_code = -1;
    const std::string blank_bar = "\r[" + std::string(40, ' ') + "]   0%  0 of 2 rows";
    std::string shown = on_terminal("--progress in.asc zones.asc report.txt", exit_code);
    EXPECT_TRUE(bars_between(shown, banner + blank_bar, full_bar + scan_ending)) << shown;
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(on_terminal("in.asc zones.asc report.txt", exit_code), banner + ".." + scan_ending);
    EXPECT_EQ(on_terminal("-q --progress in.asc zones.asc report.txt", exit_code), "");
    // A failure ends the bar's line, where the bar stopped.
    shown = on_terminal("--progress short.asc zones.asc report.txt", exit_code);
    EXPECT_TRUE(bars_between(shown, banner + blank_bar,
                             "\r[" + std::string(20, '#') + std::string(20, ' ') +
                                 "]  50%  1 of 2 rows" +
                                 "\ncould not read a value for row 2, column 2 from short.asc\n"))
        << shown;
    EXPECT_EQ(exit_code, 98);
    // With the table on standard output the console, and so the bar, is standard error.
    shown = on_terminal("--csv --stdout --progress in.asc zones.asc >out.csv", exit_code);
    EXPECT_TRUE(bars_between(shown, banner + blank_bar, full_bar + scan_ending)) << shown;
    EXPECT_EQ(read_file(path("out.csv")), pair_csv());
    // With the report, standard output is the console: not a terminal, no bar.
    EXPECT_EQ(on_terminal("--progress in.asc zones.asc report.txt >console.txt", exit_code), "");
    EXPECT_EQ(read_file(path("console.txt")), banner + scan_ending);
}

// A long scan redraws the bar a few times a second, not once a row.
TEST_F(Console, TheBarIsRedrawnAFewTimesASecond) {
    ZONALSTATS_SKIP_ON_WINDOWS("the terminal is a pseudo-terminal of util-linux's script");
    if (!have_script()) GTEST_SKIP() << "no script (util-linux) to run the tool on a terminal";
    const std::string grid = text_grid({200, 5000}, std::vector<std::string>(1000000, "1"));
    write_file(path("in.asc"), grid);
    write_file(path("zones.asc"), grid);
    const auto started = std::chrono::steady_clock::now();
    int exit_code = -1;
    const std::string shown =
        on_terminal("--threads=1 --progress in.asc zones.asc report.txt", exit_code);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(exit_code, 0);
    const auto draws = static_cast<double>(std::count(shown.begin(), shown.end(), '\r'));
    EXPECT_GE(draws, 2);
    EXPECT_LE(draws, 2 + seconds * 5 + 1) << seconds << " s";
    EXPECT_NE(shown.find("] 100%  5000 of 5000 rows\nsorting..."), std::string::npos);
}

} // namespace
