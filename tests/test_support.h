// Fixtures for the tests: scratch folders, grid files written byte by byte, and runs of the
// built tool with its console captured.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
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
};

// Runs the built tool in folder `cwd` with the arguments, feeding `input` to standard input.
// A non-zero address_space_limit (bytes) caps the tool's memory.
inline run_result run_tool(const fs::path &cwd, const std::vector<std::string> &args,
                           const std::string &input = "", std::uint64_t address_space_limit = 0) {
    const fs::path stdin_file = cwd / ".stdin";
    const fs::path stdout_file = cwd / ".stdout";
    write_file(stdin_file.string(), input);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        const int in = open(stdin_file.c_str(), O_RDONLY);
        const int out = open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        if (address_space_limit != 0) {
            const rlimit limit{address_space_limit, address_space_limit};
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
    int status = 0;
    waitpid(child, &status, 0);
    run_result result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.console = read_file(stdout_file.string());
    fs::remove(stdin_file);
    fs::remove(stdout_file);
    return result;
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
