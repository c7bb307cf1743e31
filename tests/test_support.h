// Fixtures for the tests: scratch folders, grid files written byte by byte, and runs of the
// built tool with its console captured.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
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
};

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
        if (options.address_space_limit != 0) {
            const rlimit limit{options.address_space_limit, options.address_space_limit};
            setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<char *> argv;
        std::string program = ZONALSTATS_BINARY;
        argv.push_back(program.data());
        std::vector<std::string> copies(args);
        for (auto &arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
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

} // namespace test_support
