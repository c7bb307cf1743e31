// Fixtures for the tests: scratch folders, grid files written byte by byte, and runs of the
// built tool with its console captured.
//
// With ZONALSTATS_WINDOWS_COMMAND set (tests/windows/run sets it, to wine and the .exe of the
// Windows build, words separated by spaces), the runs start that command instead of the built
// tool. Windows text files end their lines in CR LF: the console and every file a run creates
// or changes must, and the harness turns their CR LF back into LF (in the files too) before a
// test compares them. The cases that can't apply on Windows are skipped by name, with the
// reason, and listed in the file named by ZONALSTATS_WINDOWS_SKIPS.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class scratch_test : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zonalstats-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string path(const std::string &name) const { return (dir / name).string(); }
    fs::path dir;
};

inline void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

struct geometry {
    double ncols;
    double nrows;
    double xll = 0;
    double yll = 0;
    double cellsize = 1;
    double nodata = -9999;
};

inline std::string text_grid(const geometry &g, const std::vector<std::string> &cells) {
    std::ostringstream out;
    out.precision(17);
    out << "ncols " << g.ncols << "\nnrows " << g.nrows << "\nxllcorner " << g.xll << "\nyllcorner "
        << g.yll << "\ncellsize " << g.cellsize << "\nNODATA_value " << g.nodata << "\n";
    for (std::size_t i = 0; i < cells.size(); ++i)
        out << cells[i]
            << ((i + 1) % static_cast<std::size_t>(g.ncols > 0 ? g.ncols : 1) == 0 ? "\n" : " ");
    return out.str();
}

// Little-endian bytes of one number, whatever the host.
template <typename T> std::string little_endian_bytes(T value) {
    using bits_type = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    const auto bits = std::bit_cast<bits_type>(value);
    std::string bytes;
    for (std::size_t i = 0; i < sizeof bits; ++i)
        bytes.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
    return bytes;
}

// A "single" (T = float) or "double" (T = double) grid: twelve header numbers, then the cells.
template <typename T> std::string binary_grid(const geometry &g, const std::vector<double> &cells) {
    std::string bytes;
    for (const double field : {g.ncols, g.nrows, g.xll, g.yll, g.cellsize, g.nodata})
        bytes += little_endian_bytes(static_cast<T>(field));
    for (int i = 0; i < 6; ++i)
        bytes += little_endian_bytes(static_cast<T>(0));
    for (const double cell : cells)
        bytes += little_endian_bytes(static_cast<T>(cell));
    return bytes;
}

// The command that runs the Windows build, as its words; empty: the tests run the built tool.
inline const std::vector<std::string> &windows_command() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> split;
        const char *command = std::getenv("ZONALSTATS_WINDOWS_COMMAND");
        std::istringstream in(command != nullptr ? command : "");
        for (std::string word; in >> word;)
            split.push_back(word);
        return split;
    }();
    return words;
}

inline bool testing_windows_build() {
    return !windows_command().empty();
}

// Notes a case left out on Windows in the list of skips, and in the test's output.
inline void note_skipped_on_windows(const std::string &name, const std::string &reason) {
    std::cout << "not on Windows: " << name << ": " << reason << std::endl;
    if (const char *list = std::getenv("ZONALSTATS_WINDOWS_SKIPS"); list != nullptr) {
        std::ofstream(list, std::ios::app) << name << ": " << reason << "\n" << std::flush;
    }
}

// Skips the whole test when it runs against the Windows build.
#define ZONALSTATS_SKIP_ON_WINDOWS(reason)                                                         \
    do {                                                                                           \
        if (::test_support::testing_windows_build()) {                                             \
            const auto *const test = ::testing::UnitTest::GetInstance()->current_test_info();      \
            ::test_support::note_skipped_on_windows(                                               \
                std::string(test->test_suite_name()) + "." + test->name(), reason);                \
            GTEST_SKIP() << "not on Windows: " << reason;                                          \
        }                                                                                          \
    } while (false)

// Text a Windows build wrote, with its CR LF line ends turned into LF; a line that ends in LF
// alone fails the test.
inline std::string from_windows_text(const std::string &text, const std::string &what) {
    std::string lf;
    lf.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            ADD_FAILURE() << what << ": a line ends in LF alone, at byte " << i;
            return text;
        }
        lf.push_back(text[i]);
    }
    return lf;
}

struct run_result {
    int exit_code = -1;
    std::string console; // standard output
    std::string errors;  // standard error, where run_options.capture_errors asks for it
    bool timed_out = false;
};

// The thread counts every end-to-end run is made at: the console, the exit code and every file
// the run leaves must be the same at each.
inline const std::vector<unsigned> thread_counts = {1, 2, 3, 8};

// How the built tool is started: standard input is `input` (or closed), standard output goes to
// a capture file of the harness or to the file `stdout_name` in the run's folder.
struct run_options {
    std::string input;
    bool stdin_closed = false;
    std::string stdout_name;
    std::uint64_t address_space_limit = 0; // bytes; 0: no cap
    // Every run has a deadline: past it the tool is killed and the test fails, so that a hang
    // fails the test instead of blocking the suite.
    double deadline_seconds = 120;
    // run_tool runs the tool at each of these; an empty list takes thread_counts.
    std::vector<unsigned> threads = {};
    bool capture_errors = false; // standard error to run_result.errors instead of the test's
};

// A run that was started and not yet waited for.
struct started_run {
    pid_t pid = -1;
    fs::path stdin_file;
    fs::path stdout_file;
    fs::path stderr_file; // empty: the test's own standard error
    std::chrono::steady_clock::time_point deadline;
    double deadline_seconds = 0;
    // For a run of the Windows build: the files of the folder before it, with their bytes.
    fs::path cwd;
    std::vector<std::pair<std::string, std::string>> files_before;
};

inline std::vector<std::pair<std::string, std::string>> folder_files(const fs::path &folder);

inline started_run start_tool(const fs::path &cwd, const std::vector<std::string> &args,
                              const run_options &options = {}) {
    started_run run;
    run.stdin_file = cwd / ".stdin";
    run.stdout_file = options.stdout_name.empty() ? cwd / ".stdout" : cwd / options.stdout_name;
    if (options.capture_errors) run.stderr_file = cwd / ".stderr";
    run.deadline_seconds = options.deadline_seconds;
    run.deadline = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(options.deadline_seconds));
    if (!options.stdin_closed) write_file(run.stdin_file.string(), options.input);
    run.cwd = cwd;
    if (testing_windows_build()) run.files_before = folder_files(cwd);
    run.pid = fork();
    if (run.pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        const int out = open(run.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) _exit(127);
        dup2(out, 1);
        close(out);
        if (!run.stderr_file.empty()) {
            const int errors = open(run.stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (errors < 0) _exit(127);
            dup2(errors, 2);
            close(errors);
        }
        if (options.stdin_closed) {
            close(0);
        } else {
            const int in = open(run.stdin_file.c_str(), O_RDONLY);
            if (in < 0) _exit(127);
            dup2(in, 0);
            close(in);
        }
        // Wine starts helper processes of its own that outlive the run; on the harness's
        // standard error they would keep ctest waiting for its end.
        if (testing_windows_build()) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 2);
        }
        if (options.address_space_limit != 0) {
            const rlimit limit{options.address_space_limit, options.address_space_limit};
            setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<std::string> words = windows_command();
        if (words.empty()) words.push_back(ZONALSTATS_BINARY);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return run;
}

// Waits for the run to end, or kills it at its deadline and fails the test.
inline run_result finish_tool(const started_run &run) {
    run_result result;
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(run.pid, &status, WNOHANG);
        if (ended == run.pid) break;
        if (ended < 0) {
            ADD_FAILURE() << "waitpid failed";
            return result;
        }
        if (std::chrono::steady_clock::now() >= run.deadline) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            result.timed_out = true;
            ADD_FAILURE() << "the run did not end within " << run.deadline_seconds
                          << " s and was killed";
            break;
        }
        usleep(2000);
    }
    if (!result.timed_out)
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.console = read_file(run.stdout_file.string());
    if (testing_windows_build()) {
        result.console = from_windows_text(result.console, "the console");
        // Every file the run created or changed is text it wrote: its report, or the console.
        for (const auto &[name, bytes] : folder_files(run.cwd)) {
            if (std::find(run.files_before.begin(), run.files_before.end(),
                          std::pair{name, bytes}) != run.files_before.end())
                continue;
            write_file((run.cwd / name).string(), from_windows_text(bytes, name));
        }
    }
    std::error_code ignored;
    if (!run.stderr_file.empty()) {
        result.errors = read_file(run.stderr_file.string());
        fs::remove(run.stderr_file, ignored);
    }
    fs::remove(run.stdin_file, ignored);
    if (run.stdout_file.filename() == ".stdout") fs::remove(run.stdout_file, ignored);
    return result;
}

// The arguments with --threads=N in front, unless they are --help or --version alone.
inline std::vector<std::string> at_thread_count(const std::vector<std::string> &args,
                                                unsigned threads) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "--version")) return args;
    std::vector<std::string> with_option = {"--threads=" + std::to_string(threads)};
    with_option.insert(with_option.end(), args.begin(), args.end());
    return with_option;
}

// Every regular file of the folder but the harness's own, with its bytes.
inline std::vector<std::pair<std::string, std::string>> folder_files(const fs::path &folder) {
    std::vector<std::pair<std::string, std::string>> files;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(folder, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name == ".stdin" || name == ".stdout" || name == ".stderr" ||
            !entry.is_regular_file(ignored))
            continue;
        files.emplace_back(name, read_file(entry.path().string()));
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Runs the built tool in folder `cwd` with the arguments, once at each thread count, and
// expects the same outcome from each; returns the first.
inline run_result run_tool(const fs::path &cwd, const std::vector<std::string> &args,
                           const run_options &options) {
    run_result first;
    std::vector<std::pair<std::string, std::string>> first_files;
    const std::vector<unsigned> &counts = options.threads.empty() ? thread_counts : options.threads;
    for (const unsigned threads : counts) {
        const run_result run =
            finish_tool(start_tool(cwd, at_thread_count(args, threads), options));
        const auto files = folder_files(cwd);
        if (threads == counts.front()) {
            first = run;
            first_files = files;
            continue;
        }
        EXPECT_EQ(run.exit_code, first.exit_code) << "at " << threads << " threads";
        EXPECT_EQ(run.console, first.console) << "at " << threads << " threads";
        EXPECT_EQ(run.errors, first.errors) << "at " << threads << " threads";
        EXPECT_TRUE(files == first_files) << "the files differ at " << threads << " threads";
    }
    return first;
}

// The same, feeding `input` to standard input; a non-zero address_space_limit (bytes) caps the
// tool's memory.
inline run_result run_tool(const fs::path &cwd, const std::vector<std::string> &args,
                           const std::string &input = "", std::uint64_t address_space_limit = 0) {
    run_options options;
    options.input = input;
    options.address_space_limit = address_space_limit;
    return run_tool(cwd, args, options);
}

inline const std::string banner =
    "\nGetting the statistics for values of a grid sorted by zones from a zone grid\n\n";

// What the console shows after the dots of a scan that went through.
inline const std::string scan_ending = "\nsorting...\nwriting output...\n";

inline const std::string report_rule =
    "------------------------------------------------------------------------------------\n";

// The four head lines of a report on these grids.
inline std::string report_head(const std::string &input, const std::string &zones) {
    return "statistical parameters for " + input + " within the zones from " + zones + "\n" +
           report_rule + "ID\tzone_value\tnumber\tminimum\tmaximum\tSum\taverage\tstd.dev.\n\n";
}

// The report without its title line, which names the grids.
inline std::string figures(const std::string &report) {
    const std::size_t line_end = report.find('\n');
    return line_end == std::string::npos ? report : report.substr(line_end + 1);
}

// True when every one of the commands is on the PATH (the tools that make test rasters).
inline bool commands_installed(std::initializer_list<const char *> commands) {
    std::string line = "true";
    for (const char *command : commands)
        line += std::string(" && command -v ") + command + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

} // namespace test_support
