// Hostile input, end to end through the built tool: whatever stands where a grid or the report is
// due (no bytes, a folder, a FIFO, a device, random bytes, absurd headers, odd numbers, huge
// tokens), the run ends at once with its documented message and exit code, never changes a
// grid file, and writes a report only when it succeeds. Cases already in cli_test.cpp and
// report_test.cpp are not repeated here.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using test_support::banner;
using test_support::report_head;
using test_support::scan_ending;
const std::string &rule = test_support::report_rule;

namespace fs = std::filesystem;
using test_support::binary_grid;
using test_support::geometry;
using test_support::read_file;
using test_support::run_tool;
using test_support::text_grid;
using test_support::write_file;

// What stands at a grid's name: a file with these bytes, a folder, a FIFO whose writer sends
// these bytes, a symbolic link to the target, or nothing made by the test (then the name given
// is used as it is: /dev/zero, say). The others stand at "in" and "zones".
struct grid_source {
    enum class kind { file, folder, fifo, link, given } what;
    std::string bytes_or_name;
};
grid_source file(std::string bytes) {
    return {grid_source::kind::file, std::move(bytes)};
}
grid_source folder() {
    return {grid_source::kind::folder, {}};
}
grid_source fifo(std::string bytes) {
    return {grid_source::kind::fifo, std::move(bytes)};
}
grid_source link(std::string target) {
    return {grid_source::kind::link, std::move(target)};
}
grid_source given(std::string name) {
    return {grid_source::kind::given, std::move(name)};
}

struct hostile_case {
    const char *name;
    grid_source input;
    grid_source zones;
    std::string console; // after the banner
    int exit_code;
    // On success, the report after its four head lines; a failed run leaves no report or an
    // empty one.
    std::optional<std::string> report_body = std::nullopt;
    std::string report = "report.txt";                           // empty: only two names are given
    std::string answers = "";                                    // standard input
    std::vector<std::pair<std::string, std::string>> links = {}; // more links: name, target
    bool stdin_closed = false;
    std::string stdout_to = ""; // a file in the folder that takes standard output, the console
    // The report is a FIFO, opened for reading only once the console shows the banner: a run
    // that waits for its reader must say so first.
    bool report_fifo = false;
};

std::string report_body(const std::string &zone_rows, const std::string &totals_row) {
    return zone_rows + "\n" + rule + "\n" + totals_row;
}

const std::string no_cells_body = report_body("", "    0\t0\t\t0\t0\t0\t0\t0\t0\n");

std::string random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i)
        bytes.push_back(static_cast<char>(random() & 0xFF));
    return bytes;
}

std::string zone_value_shown(double z) {
    char text[400];
    std::snprintf(text, sizeof text, "%.0f", z);
    return text;
}

// The writer of a FIFO is a child process: opening a FIFO blocks until both ends are open.
pid_t start_fifo_writer(const std::string &path, const std::string &bytes) {
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGPIPE, SIG_IGN); // the tool may stop reading early
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) _exit(1);
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
            if (written <= 0) _exit(0);
            done += static_cast<std::size_t>(written);
        }
        close(fd);
        _exit(0);
    }
    return child;
}

const char *const no_dev = "Windows has no /dev: NUL is its null device, and it has no /dev/zero";

// Rows that can't apply to the Windows build, by name, with the reason.
const std::map<std::string, std::string> rows_not_on_windows = {
    {"/dev/null as a grid", no_dev},
    {"/dev/zero as the input grid", no_dev},
    {"/dev/zero as the zone grid", no_dev},
    {"standard input closed: the report prompt reads its end",
     "wine hands a Unix descriptor closed at its start to the program as a file of its own, "
     "not as a missing standard handle"},
    {"/dev/stdout as the report while standard output goes to a file",
     "Windows has no /dev/stdout"},
    {"a FIFO as the report: the run says what it did before it waits", "Windows has no FIFOs"},
};

class Hostile : public test_support::scratch_test {
  protected:
    static std::string argument(const grid_source &source, const std::string &usual_name) {
        return source.what == grid_source::kind::given ? source.bytes_or_name : usual_name;
    }

    // Puts the source at the name; returns a FIFO writer's process id, or 0.
    pid_t place(const grid_source &source, const std::string &name) {
        switch (source.what) {
        case grid_source::kind::file:
            write_file(path(name), source.bytes_or_name);
            break;
        case grid_source::kind::folder:
            fs::create_directory(dir / name);
            break;
        case grid_source::kind::fifo:
            EXPECT_EQ(mkfifo(path(name).c_str(), 0600), 0);
            return start_fifo_writer(path(name), source.bytes_or_name);
        case grid_source::kind::link:
            fs::create_symlink(source.bytes_or_name, dir / name);
            break;
        case grid_source::kind::given:
            break;
        }
        return 0;
    }

    // Each case at every thread count, from a fresh folder.
    void run_case(const hostile_case &c) {
        if (test_support::testing_windows_build()) {
            if (const auto skip = rows_not_on_windows.find(c.name);
                skip != rows_not_on_windows.end()) {
                test_support::note_skipped_on_windows(c.name, skip->second);
                return;
            }
        }
        for (const unsigned threads : test_support::thread_counts)
            run_case_at(c, threads);
    }

    void run_case_at(const hostile_case &c, unsigned threads) {
        SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(threads) + " threads");
        for (const auto &entry : fs::directory_iterator(dir))
            fs::remove_all(entry.path());
        std::vector<pid_t> writers;
        for (const auto &[source, name] : {std::pair{&c.input, "in"}, std::pair{&c.zones, "zones"}})
            if (const pid_t writer = place(*source, name); writer != 0) writers.push_back(writer);
        for (const auto &[name, target] : c.links)
            fs::create_symlink(target, dir / name);
        if (c.report_fifo) {
            EXPECT_EQ(mkfifo(path(c.report).c_str(), 0600), 0);
        }
        std::vector<std::string> args = {argument(c.input, "in"), argument(c.zones, "zones")};
        if (!c.report.empty()) args.push_back(c.report);
        std::vector<std::pair<std::string, std::string>> files_before;
        std::error_code not_a_file; // a link to itself, say
        for (const std::string name : {"in", "zones"})
            if (fs::is_regular_file(dir / name, not_a_file))
                files_before.emplace_back(name, read_file(path(name)));

        test_support::run_options options;
        options.input = c.answers;
        options.stdin_closed = c.stdin_closed;
        options.stdout_name = c.stdout_to;
        options.deadline_seconds = 20;
        const auto start = std::chrono::steady_clock::now();
        const test_support::started_run started =
            test_support::start_tool(dir, test_support::at_thread_count(args, threads), options);
        std::string fifo_report;
        if (c.report_fifo) fifo_report = read_report_fifo(started, path(c.report));
        const auto run = test_support::finish_tool(started);
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        // A writer whose FIFO the tool never opened still waits; it is ours to end.
        for (const pid_t writer : writers) {
            kill(writer, SIGKILL);
            waitpid(writer, nullptr, 0);
        }
        EXPECT_EQ(run.exit_code, c.exit_code);
        EXPECT_EQ(run.console, banner + c.console);
        EXPECT_LT(seconds, 10.0) << "the run should end at once";
        for (const auto &[name, bytes] : files_before)
            EXPECT_TRUE(read_file(path(name)) == bytes) << name << " changed";
        expect_no_stray_files(c);
        if (c.stdout_to == c.report) return; // the report's file holds the console
        const std::string report = c.report_fifo ? fifo_report : read_file(path("report.txt"));
        if (c.report_body) {
            EXPECT_EQ(report, report_head(args[0], args[1]) + *c.report_body);
        } else {
            EXPECT_EQ(report, "");
        }
    }

    // Waits until the console shows the banner, then reads the report from its FIFO.
    std::string read_report_fifo(const test_support::started_run &started,
                                 const std::string &fifo) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (read_file(started.stdout_file.string()).size() < banner.size()) {
            if (std::chrono::steady_clock::now() > give_up) {
                ADD_FAILURE() << "the run waits for the report's reader without a word";
                break;
            }
            usleep(2000);
        }
        const int fd = open(fifo.c_str(), O_RDONLY);
        if (fd < 0) return "";
        std::string text;
        char chunk[4096];
        for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<std::size_t>(got));
        close(fd);
        return text;
    }

    // A run creates no file but its report: not one named after an answer it read from a grid.
    void expect_no_stray_files(const hostile_case &c) {
        std::vector<std::string> expected = {"in",         "zones",     c.report,
                                             "report.txt", c.stdout_to, ".stdin"};
        for (const auto &link : c.links)
            expected.push_back(link.first);
        for (const auto &entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            EXPECT_NE(std::find(expected.begin(), expected.end(), name), expected.end())
                << "stray file \"" << name << "\"";
        }
    }
};

const std::string good_input = text_grid({2, 2}, {"1", "2", "3", "4"});
const std::string good_zones = text_grid({2, 2}, {"1", "1", "2", "2"});
const std::string good_body = report_body("    1\t1\t\t2\t1\t2\t3\t1.5\t0\n"
                                          "    2\t2\t\t2\t3\t4\t7\t3.5\t0\n",
                                          "    0\t0\t\t4\t1\t4\t10\t2.5\t1.290994\n");

std::string unknown_format(const std::string &name) {
    return "could not recognise file format (ascii, single or double) for " + name + "\n";
}
std::string cannot_open(const std::string &name) {
    return "could not open input file " + name + "\n";
}
std::string invalid_header(const std::string &name) {
    return "invalid grid header in " + name + "\n";
}
std::string missing_value(int row, int column, const std::string &name) {
    return "\ncould not read a value for row " + std::to_string(row) + ", column " +
           std::to_string(column) + " from " + name + "\n";
}

TEST_F(Hostile, NoGridWhereAGridIsDue) {
    const std::string long_name(5000, 'n');
    const hostile_case cases[] = {
        {"empty input grid", file(""), file(good_zones), unknown_format("in"), 98},
        {"empty zone grid", file(good_input), file(""), unknown_format("zones"), 98},
        {"a folder as the input grid", folder(), file(good_zones), cannot_open("in"), 98},
        {"a folder as the zone grid", file(good_input), folder(), cannot_open("zones"), 98},
        {"/dev/null as a grid", given("/dev/null"), file(good_zones), unknown_format("/dev/null"),
         98},
        {"/dev/zero as the input grid", given("/dev/zero"), file(good_zones),
         unknown_format("/dev/zero"), 98},
        {"/dev/zero as the zone grid", file(good_input), given("/dev/zero"),
         unknown_format("/dev/zero"), 98},
        {"a link that points to itself", link("in"), file(good_zones), cannot_open("in"), 98},
        {"a name too long for the file system", given(long_name), file(good_zones),
         cannot_open(long_name), 98},
        {"random bytes as the input grid", file(random_bytes(4096, 1)), file(good_zones),
         unknown_format("in"), 98},
        {"random bytes behind ncol", file("ncol" + random_bytes(4096, 2)), file(good_zones),
         invalid_header("in"), 98},
        {"random bytes behind a whole text header", file(good_input),
         file(text_grid({2, 2}, {}) + random_bytes(4096, 3)), missing_value(1, 1, "zones"), 98},
    };
    for (const hostile_case &c : cases)
        run_case(c);
    // Windows's null device, where Linux has /dev/null.
    if (test_support::testing_windows_build())
        run_case({"NUL as a grid", given("NUL"), file(good_zones), unknown_format("NUL"), 98});
}

TEST_F(Hostile, GridsFromFifos) {
    ZONALSTATS_SKIP_ON_WINDOWS("Windows has no FIFOs");
    const hostile_case cases[] = {
        {"a FIFO feeding a text input grid", fifo(good_input), file(good_zones), ".." + scan_ending,
         0, good_body},
        {"a FIFO feeding a double zone grid", file(good_input),
         fifo(binary_grid<double>({2, 2}, {1, 1, 2, 2})), ".." + scan_ending, 0, good_body},
        {"a FIFO whose writer sends nothing", fifo(""), file(good_zones), unknown_format("in"), 98},
        {"a FIFO feeding random bytes", file(good_input), fifo(random_bytes(100000, 4)),
         unknown_format("zones"), 98},
        {"a FIFO never opened: the input grid fails first", file(""), fifo(good_zones),
         unknown_format("in"), 98},
    };
    for (const hostile_case &c : cases)
        run_case(c);
}

TEST_F(Hostile, AbsurdHeaders) {
    const double most = 2147483647;
    const double most_single = 2147483520; // the largest float32 below 2^31
    const hostile_case cases[] = {
        // 2^31 - 1 is no float32: it is stored as 2^31, one past the range.
        {"single header claiming 2^31 - 1 columns and rows", file(good_input),
         file(binary_grid<float>({most, most}, {})), invalid_header("zones"), 98},
        {"single header claiming the most float32 columns and rows, no cells",
         file(binary_grid<float>({most_single, most_single}, {})),
         file(binary_grid<float>({most_single, most_single}, {})), missing_value(1, 1, "in"), 98},
        {"double header claiming 2^31 - 1 columns and rows, no cells",
         file(binary_grid<double>({most, most}, {})), file(text_grid({most, most}, {"1", "2"})),
         missing_value(1, 1, "in"), 98},
        {"2^31 - 1 columns, three cells", file(text_grid({most, 1}, {"1", "2", "3"})),
         file(text_grid({most, 1}, {"1", "1", "1", "1"})), missing_value(1, 4, "in"), 98},
        {"text ncols past the 32-bit range", file(text_grid({2147483648.0, 1}, {"1"})),
         file(good_zones), invalid_header("in"), 98},
        {"text ncols nan", file("ncols nan\nnrows 2\nx 0\ny 0\nc 1\nn 0\n1 2 3 4\n"),
         file(good_zones), invalid_header("in"), 98},
        {"text nrows -0 is no rows", file(text_grid({2, 0}, {})),
         file("ncols 2\nnrows -0\nx 0\ny 0\nc 1\nn 0\n"), scan_ending, 0, no_cells_body},
        {"single negative ncols", file(good_input), file(binary_grid<float>({-1, 2}, {})),
         invalid_header("zones"), 98},
        {"double nrows -2^31", file(binary_grid<double>({2, -2147483648.0}, {})), file(good_zones),
         invalid_header("in"), 98},
        {"double ncols NaN", file(binary_grid<double>({NAN, 2}, {1, 2, 3, 4})), file(good_zones),
         invalid_header("in"), 98},
        {"double nrows +inf", file(good_input), file(binary_grid<double>({2, INFINITY}, {})),
         invalid_header("zones"), 98},
        {"NaN cell size in both grids matches nothing",
         file(text_grid({2, 2, 0, 0, NAN}, {"1", "2", "3", "4"})),
         file(text_grid({2, 2, 0, 0, NAN}, {"1", "1", "2", "2"})),
         "zonegrid zones and input grid in \ndoes not match the same geometry!. end.\n", 3},
        {"infinite cell size in both grids matches",
         file(text_grid({2, 2, 0, 0, INFINITY}, {"1", "2", "3", "4"})),
         file(binary_grid<double>({2, 2, 0, 0, INFINITY}, {1, 1, 2, 2})), ".." + scan_ending, 0,
         good_body},
    };
    for (const hostile_case &c : cases)
        run_case(c);
}

TEST_F(Hostile, OddNumbersInCells) {
    const double max = DBL_MAX;
    const std::string body_of_odd_doubles =
        report_body("    1\t1\t\t1\tinf\tinf\tinf\tinf\t0\n"
                    "    2\t2\t\t4\t-0\t1.797693e+308\t1.797693e+308\t4.494233e+307\t0\n",
                    "    0\t0\t\t5\t-0\tinf\tinf\tinf\t0\n");
    const std::vector<double> odd_doubles = {INFINITY,
                                             -INFINITY,
                                             std::numeric_limits<double>::quiet_NaN(),
                                             std::numeric_limits<double>::signaling_NaN(),
                                             std::numeric_limits<double>::denorm_min(),
                                             -0.0,
                                             max,
                                             1};
    const hostile_case cases[] = {
        {"infinite and NaN cells of a double grid", file(binary_grid<double>({4, 2}, odd_doubles)),
         file(binary_grid<double>({4, 2}, {1, 1, 1, 1, 2, 2, 2, 2})), ".." + scan_ending, 0,
         body_of_odd_doubles},
        {"+inf and -inf text cells", file(text_grid({4, 1}, {"inf", "-inf", "1", "2"})),
         file(text_grid({4, 1}, {"1", "1", "1", "2"})), "." + scan_ending, 0,
         report_body("    1\t1\t\t2\t1\tinf\tinf\tinf\t0\n"
                     "    2\t2\t\t1\t2\t2\t2\t2\t0\n",
                     "    0\t0\t\t3\t1\tinf\tinf\tinf\t0\n")},
        {"a NaN no-data value marks the NaN cells",
         file(text_grid({2, 2, 0, 0, 1, NAN}, {"1", "nan", "3", "4"})), file(good_zones),
         ".." + scan_ending, 0,
         report_body("    1\t1\t\t1\t1\t1\t1\t1\t0\n"
                     "    2\t2\t\t2\t3\t4\t7\t3.5\t0\n",
                     "    0\t0\t\t3\t1\t4\t8\t2.666667\t1.527525\n")},
        {"NaN and infinite zone values", file(text_grid({4, 1}, {"1", "2", "3", "4"})),
         file(text_grid({4, 1}, {"nan", "-inf", "-nan", "inf"})), "." + scan_ending, 0,
         report_body("    1\tinf\t\t1\t4\t4\t4\t4\t0\n", "    0\t0\t\t1\t4\t4\t4\t4\t0\n")},
        {"a NUL byte ends a cell",
         file("ncols 2 nrows 1 x 0 y 0 c 1 n 0 1" + std::string(1, '\0') + "2"),
         file(text_grid({2, 1}, {"1", "1"})), missing_value(1, 2, "in"), 98},
    };
    for (const hostile_case &c : cases)
        run_case(c);
}

TEST_F(Hostile, ZoneValuesAtTheEndOfTheLookupTableAndFarAbove) {
    const std::string last_direct = "499999.49999999994"; // key 499999
    const std::vector<double> far = {1e300, DBL_MAX};
    const hostile_case c = {
        "zone values at the end of the lookup table and far above",
        file(text_grid({5, 1}, {"1", "2", "3", "4", "5"})),
        file(text_grid({5, 1},
                       {last_direct, "499999.5", "1e300", "1.7976931348623157e308", "499999.4"})),
        "." + scan_ending,
        0,
        report_body("    1\t499999\t\t2\t1\t5\t6\t3\t0\n"
                    "    2\t500000\t\t1\t2\t2\t2\t2\t0\n"
                    "    3\t" +
                        zone_value_shown(far[0]) + "\t\t1\t3\t3\t3\t3\t0\n" + "    4\t" +
                        zone_value_shown(far[1]) + "\t\t1\t4\t4\t4\t4\t0\n",
                    "    0\t0\t\t5\t1\t5\t15\t3\t1.581139\n")};
    run_case(c);
}

TEST_F(Hostile, LineEndsAndTokenLengths) {
    const std::string crlf = "ncols 2\r\nnrows 2\r\nxllcorner 0\r\nyllcorner 0\r\ncellsize 1\r\n"
                             "NODATA_value -9999\r\n1 2\r\n3 4\r\n";
    std::string cr_only = crlf;
    std::erase(cr_only, '\n');
    const std::string one_mib(std::size_t{1} << 20, '7');
    const hostile_case cases[] = {
        {"CR LF line ends", file(crlf), file(good_zones), ".." + scan_ending, 0, good_body},
        {"CR line ends", file(good_input), file(cr_only), ".." + scan_ending, 0,
         report_body("    1\t1\t\t1\t1\t1\t1\t1\t0\n"
                     "    2\t2\t\t1\t2\t2\t2\t2\t0\n"
                     "    3\t3\t\t1\t3\t3\t3\t3\t0\n"
                     "    4\t4\t\t1\t4\t4\t4\t4\t0\n",
                     "    0\t0\t\t4\t1\t4\t10\t2.5\t1.290994\n")},
        {"no line end after the last cell", file("ncols 2 nrows 2 x 0 y 0 c 1 n -9999 1 2 3 4"),
         file(good_zones), ".." + scan_ending, 0, good_body},
        {"a cell of five thousand digits",
         file(text_grid({2, 2}, {"3." + std::string(5000, '3'), "2", "3", "4"})), file(good_zones),
         ".." + scan_ending, 0,
         report_body("    1\t1\t\t2\t2\t3.333333\t5.333333\t2.666667\t0\n"
                     "    2\t2\t\t2\t3\t4\t7\t3.5\t0\n",
                     "    0\t0\t\t4\t2\t4\t12.33333\t3.083333\t0.8333333\n")},
        {"a zone value of three thousand digits rounds to the first large key", file(good_input),
         file(text_grid({2, 2}, {"499999.4" + std::string(3000, '9'), "1", "2", "2"})),
         ".." + scan_ending, 0,
         report_body("    1\t1\t\t1\t2\t2\t2\t2\t0\n"
                     "    2\t2\t\t2\t3\t4\t7\t3.5\t0\n"
                     "    3\t500000\t\t1\t1\t1\t1\t1\t0\n",
                     "    0\t0\t\t4\t1\t4\t10\t2.5\t1.290994\n")},
        {"a non-number of five thousand characters",
         file(text_grid({2, 2}, {"1", std::string(5000, 'x'), "3", "4"})), file(good_zones),
         missing_value(1, 2, "in"), 98},
        {"a keyword longer than the read buffer",
         file("ncols 2 " + std::string(3 << 20, 'k') + " 2 x 0 y 0 c 1 n -9999 1 2 3 4"),
         file(good_zones), ".." + scan_ending, 0, good_body},
        // By design a number must fit in the 1 MiB read buffer.
        {"a number longer than the read buffer", file(good_input),
         file(text_grid({2, 2}, {"1", one_mib, "2", "2"})), missing_value(1, 2, "zones"), 98},
    };
    for (const hostile_case &c : cases)
        run_case(c);
}

TEST_F(Hostile, ReportNamesThatWouldHitAGrid) {
    const std::string each_value_its_zone = report_body("    1\t1\t\t1\t1\t1\t1\t1\t0\n"
                                                        "    2\t2\t\t1\t2\t2\t2\t2\t0\n"
                                                        "    3\t3\t\t1\t3\t3\t3\t3\t0\n"
                                                        "    4\t4\t\t1\t4\t4\t4\t4\t0\n",
                                                        "    0\t0\t\t4\t1\t4\t10\t2.5\t1.290994\n");
    const std::string retry = "please enter file: ";
    const hostile_case cases[] = {
        {"the same file as both grids", file(good_input), given("in"), ".." + scan_ending, 0,
         each_value_its_zone},
        {.name = "the report named like the grid given as both",
         .input = file(good_input),
         .zones = given("in"),
         .console = "error opening file in \r\n" + retry,
         .exit_code = 1,
         .report = "in",
         .answers = "\n"},
        {.name = "the report through a symbolic link to the zone grid",
         .input = file(good_input),
         .zones = file(good_zones),
         .console = "error opening file link \r\n" + retry,
         .exit_code = 1,
         .report = "link",
         .links = {{"link", "zones"}}},
        {.name = "a folder as the report, then a good name",
         .input = file(good_input),
         .zones = file(good_zones),
         .console = "error opening file . \r\n" + retry + "\r\n.." + scan_ending,
         .exit_code = 0,
         .report_body = good_body,
         .report = ".",
         .answers = "report.txt\n"},
    };
    for (const hostile_case &c : cases)
        run_case(c);
    // Windows names ignore letter case and take \ for /: such a spelling names the grid too,
    // and opening it for the report would empty the grid.
    if (test_support::testing_windows_build()) {
        for (const std::string spelling : {"ZONES", ".\\zones"}) {
            const std::string name = "the zone grid spelt " + spelling;
            run_case({.name = name.c_str(),
                      .input = file(good_input),
                      .zones = file(good_zones),
                      .console = "error opening file " + spelling + " \r\n" + retry,
                      .exit_code = 1,
                      .report = spelling,
                      .answers = "\n"});
        }
    }
}

// Keys whose libstdc++ std::hash<double> values are multiples of `buckets`, so that in a
// std::unordered_map of that many buckets they all share one: the hash is invertible. Only
// whole numbers of 2^53 and above are taken, whose zone key is the value itself, and below 2^100,
// to keep the report rows short.
std::vector<double> keys_colliding_in_std_hash(std::size_t count, std::uint64_t buckets) {
    constexpr std::uint64_t mul = 0xc6a4a7935bd1e995;
    constexpr std::uint64_t inverse_mul = [] {
        std::uint64_t x = mul; // Newton's iteration for the inverse modulo 2^64
        for (int i = 0; i < 6; ++i)
            x *= 2 - mul * x;
        return x;
    }();
    static_assert(mul * inverse_mul == 1);
    const auto unshift = [](std::uint64_t v) { return v ^ (v >> 47); };
    const std::uint64_t start = std::uint64_t{0xc70f6907} ^ (8 * mul);
    std::vector<double> keys;
    for (std::uint64_t k = 1; keys.size() < count; ++k) {
        // hash = shift_mix(shift_mix((start ^ shift_mix(bits * mul) * mul) * mul) * mul), undone
        const std::uint64_t before_last_mix = unshift(k * buckets);
        const std::uint64_t mixed = unshift(before_last_mix * inverse_mul);
        const std::uint64_t data = (mixed * inverse_mul) ^ start;
        const std::uint64_t bits = unshift(data * inverse_mul) * inverse_mul;
        const double key = std::bit_cast<double>(bits);
        if (key >= 9007199254740992.0 && key < 0x1p100) keys.push_back(key);
    }
    return keys;
}

// 150000 such keys take a std::unordered_map<double> past 20 s, growing with the square of their
// number; the tool's table of large keys must take them at its usual pace.
TEST_F(Hostile, ZoneKeysChosenToCollideInAHashTable) {
    constexpr std::size_t count = 150000;
    // The bucket count libstdc++'s rehash policy reaches with 150000 elements.
    const std::vector<double> keys = keys_colliding_in_std_hash(count, 172933);
    std::vector<std::string> zone_cells;
    char text[64];
    for (const double key : keys) {
        std::snprintf(text, sizeof text, "%.17g", key);
        zone_cells.emplace_back(text);
    }
    std::vector<double> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    std::string rows;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        std::snprintf(text, sizeof text, "%5zu\t", i + 1);
        rows += text + zone_value_shown(sorted[i]) + "\t\t1\t1\t1\t1\t1\t0\n";
    }
    const geometry g{static_cast<double>(count), 1};
    run_case({"zone keys chosen to share a bucket of std::hash<double>",
              file(text_grid(g, std::vector<std::string>(count, "1"))),
              file(text_grid(g, zone_cells)), "." + scan_ending, 0,
              report_body(rows, "    0\t0\t\t150000\t1\t1\t150000\t1\t0\n")});
}

TEST_F(Hostile, HugeWholeZoneValuesStayApart) {
    run_case({"zones 2^52 + 1 and 2^52 + 2 are two zones", file(text_grid({3, 1}, {"1", "2", "4"})),
              file(text_grid({3, 1}, {"4503599627370497", "4503599627370498", "4503599627370497"})),
              "." + scan_ending, 0,
              report_body("    1\t4503599627370497\t\t2\t1\t4\t5\t2.5\t0\n"
                          "    2\t4503599627370498\t\t1\t2\t2\t2\t2\t0\n",
                          "    0\t0\t\t3\t1\t4\t7\t2.333333\t1.527525\n")});
}

TEST_F(Hostile, KnownKeywordsOutOfPlace) {
    const auto grid_with_header = [](const std::string &header) { return header + "\n1 2\n3 4\n"; };
    const std::string nodata_before_cellsize = grid_with_header(
        "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\nNODATA_value -9999\ncellsize 1");
    const hostile_case cases[] = {
        {"NODATA_value before cellsize in both grids", file(nodata_before_cellsize),
         file(nodata_before_cellsize), invalid_header("in"), 98},
        {"xllcorner where nrows is due", file(good_input),
         file(
             grid_with_header("ncols 2 xllcorner 0 nrows 2 yllcorner 0 cellsize 1 nodata_value 0")),
         invalid_header("zones"), 98},
        {"dy where cellsize is due",
         file(grid_with_header("ncols 2 nrows 2 xllcorner 0 yllcorner 0 dy 1 NODATA_value -9999")),
         file(good_zones), invalid_header("in"), 98},
        {"upper-case keywords in their places",
         file(grid_with_header(
             "ncols 2\nNROWS 2\nXLLCENTER 0\nYLLCENTER 0\nCELLSIZE 1\nnodata_VALUE -9999")),
         file(good_zones), ".." + scan_ending, 0, good_body},
        {"any other word in the keyword places",
         file(grid_with_header("ncolumns 2 rows 2 x 0 y 0 size 1 nd -9999")), file(good_zones),
         ".." + scan_ending, 0, good_body},
    };
    for (const hostile_case &c : cases)
        run_case(c);
}

TEST_F(Hostile, StandardDescriptorsAndTheConsole) {
    const std::string retry = "please enter file: ";
    const hostile_case cases[] = {
        // The grid must not become standard input: its bytes past the first read buffer would
        // be the answer to the report prompt, and name a stray report.
        {.name = "standard input closed: the report prompt reads its end",
         .input = file(good_input + std::string(std::size_t{1} << 20, ' ') + "\nstray\n"),
         .zones = file(good_zones),
         .console = "error opening file  \r\n" + retry,
         .exit_code = 1,
         .report = "",
         .stdin_closed = true},
        {.name = "the report is the file standard output goes to",
         .input = file(good_input),
         .zones = file(good_zones),
         .console = "error opening file out.txt \r\n" + retry,
         .exit_code = 1,
         .report = "out.txt",
         .answers = "\n",
         .stdout_to = "out.txt"},
        {.name = "/dev/stdout as the report while standard output goes to a file",
         .input = file(good_input),
         .zones = file(good_zones),
         .console = "error opening file /dev/stdout \r\n" + retry + "\r\n.." + scan_ending,
         .exit_code = 0,
         .report_body = good_body,
         .report = "/dev/stdout",
         .answers = "report.txt\n",
         .stdout_to = "console.txt"},
        {.name = "a FIFO as the report: the run says what it did before it waits",
         .input = file(good_input),
         .zones = file(good_zones),
         .console = ".." + scan_ending,
         .exit_code = 0,
         .report_body = good_body,
         .report = "report.fifo",
         .report_fifo = true},
    };
    for (const hostile_case &c : cases)
        run_case(c);
    if (test_support::testing_windows_build())
        run_case({.name = "the file standard output goes to, in capitals on Windows",
                  .input = file(good_input),
                  .zones = file(good_zones),
                  .console = "error opening file OUT.TXT \r\n" + retry,
                  .exit_code = 1,
                  .report = "OUT.TXT",
                  .answers = "\n",
                  .stdout_to = "out.txt"});
}

// Standard output as a pipe is no file the report could overwrite: /dev/stdout takes the report.
TEST_F(Hostile, DevStdoutIntoAPipeTakesTheReport) {
    ZONALSTATS_SKIP_ON_WINDOWS("Windows has no /dev/stdout");
    write_file(path("in"), good_input);
    write_file(path("zones"), good_zones);
    const std::string command = "cd '" + dir.string() + "' && '" + ZONALSTATS_BINARY +
                                "' in zones /dev/stdout </dev/null | cat > piped.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string piped = read_file(path("piped.txt"));
    EXPECT_NE(piped.find(report_head("in", "zones") + good_body), std::string::npos) << piped;
    EXPECT_EQ(piped.rfind(banner, 0), 0u) << piped;
}

// The harness's own promise: a run that hangs is killed at its deadline and fails its test.
TEST_F(Hostile, ARunPastItsDeadlineIsKilledAndFailsTheTest) {
    ZONALSTATS_SKIP_ON_WINDOWS("the run that hangs waits at a FIFO, and Windows has no FIFOs");
    ASSERT_EQ(mkfifo(path("in").c_str(), 0600), 0); // no writer: the open waits for ever
    test_support::run_options options;
    options.deadline_seconds = 0.5;
    options.threads = {1};
    test_support::run_result run;
    EXPECT_NONFATAL_FAILURE(run = run_tool(dir, {"in", "zones", "report.txt"}, options),
                            "did not end within");
    EXPECT_TRUE(run.timed_out);
}

} // namespace
