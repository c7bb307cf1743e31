// Memory running out at any allocation of a run, one allocation at a time: the run must end with
// a memory message and exit code 1 (or give the very report of an undisturbed run), never abort.
// This program replaces the global operator new, so it is a test program of its own; the tool
// runs in process, with standard output sent to a file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "driver/driver.h"
#include "test_support.h"

namespace {

// Counting is on only while the tool runs; the allocation numbered fail_at (from 1) fails.
std::atomic<bool> counting{false};
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> fail_at{0};

void *allocate(std::size_t size, bool may_fail) {
    if (counting.load(std::memory_order_relaxed)) {
        const std::uint64_t number = allocations.fetch_add(1, std::memory_order_relaxed) + 1;
        if (may_fail && number == fail_at.load(std::memory_order_relaxed)) return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void *allocate_or_throw(std::size_t size) {
    void *memory = allocate(size, true);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

} // namespace

void *operator new(std::size_t size) {
    return allocate_or_throw(size);
}
void *operator new[](std::size_t size) {
    return allocate_or_throw(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size, true);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size, true);
}
void operator delete(void *memory) noexcept {
    std::free(memory);
}
void operator delete[](void *memory) noexcept {
    std::free(memory);
}
void operator delete(void *memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void *memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

using test_support::read_file;
using test_support::text_grid;
using test_support::write_file;
namespace fs = std::filesystem;

struct in_process_run {
    int exit_code;
    std::string console;
    std::string report;
};

// Standard output goes to the file while the tool runs, whatever way the run ends.
class console_redirect {
  public:
    explicit console_redirect(const std::string &name) {
        std::fflush(stdout);
        saved_stdout = dup(1);
        const int console = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(console, 1);
        close(console);
    }
    console_redirect(const console_redirect &) = delete;
    console_redirect &operator=(const console_redirect &) = delete;
    ~console_redirect() {
        counting = false;
        std::fflush(stdout);
        dup2(saved_stdout, 1);
        close(saved_stdout);
    }

  private:
    int saved_stdout;
};

class AllocationFailure : public test_support::scratch_test {
  protected:
    // Runs the tool on in and zones of the scratch folder, with allocation `fail_number` failing
    // (0: none), and tells how many allocations the run made.
    in_process_run run(unsigned threads, std::uint64_t fail_number, std::uint64_t &made) {
        const std::string console_name = path("console");
        const std::string report_name = path("report.txt");
        fs::remove(report_name);
        std::vector<std::string> arguments = {"zonalstats", "--threads=" + std::to_string(threads)};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {path("in"), path("zones"), report_name});
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int exit_code = -1;
        {
            const console_redirect redirect(console_name);
            allocations = 0;
            fail_at = fail_number;
            counting = true;
            exit_code = run_zonalstats(static_cast<int>(arguments.size()), argv.data());
            counting = false;
            made = allocations;
        }
        return {exit_code, read_file(console_name), read_file(report_name)};
    }

    // With several threads the allocations come in no fixed order; each must still be handled.
    void expect_every_failure_handled(const char *what) {
        for (const unsigned threads : {1u, 3u}) {
            SCOPED_TRACE(std::string(what) + ", " + std::to_string(threads) + " threads");
            std::uint64_t total = 0;
            const in_process_run undisturbed = run(threads, 0, total);
            ASSERT_EQ(undisturbed.exit_code, 0) << undisturbed.console;
            ASSERT_GT(total, 0u);
            const std::string memory_messages[] = {
                "memory allocation error\n",
                "not sufficient memory to get register memory for more than ",
                "memory allocation error for kenn[",
                "memory allocation error for the distinct values\n",
            };
            for (std::uint64_t n = 1; n <= total; ++n) {
                std::uint64_t made = 0;
                const in_process_run failed = run(threads, n, made);
                SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
                if (failed.exit_code == 0) {
                    EXPECT_EQ(failed.report, undisturbed.report);
                    continue;
                }
                EXPECT_EQ(failed.exit_code, 1) << failed.console;
                bool memory_message = false;
                for (const std::string &message : memory_messages)
                    memory_message =
                        memory_message || failed.console.find(message) != std::string::npos;
                EXPECT_TRUE(memory_message) << failed.console;
                EXPECT_EQ(failed.report, "");
            }
        }
    }

    std::vector<std::string> options; // before the names
};

TEST_F(AllocationFailure, TextGridsWithLongTokensAndManyZones) {
    // A hexadecimal cell of 200 digits is copied for its conversion; zones past 1000 make the
    // record table grow; keys past 500000 go to the table of large keys.
    std::vector<std::string> values;
    std::vector<std::string> zones;
    for (int i = 0; i < 1200; ++i) {
        values.push_back(i == 5 ? "0x1." + std::string(200, 'f') + "p3" : std::to_string(i % 17));
        zones.push_back(std::to_string(i < 1100 ? i : 1000000 + i));
    }
    write_file(path("in"), text_grid({40, 30}, values));
    write_file(path("zones"), text_grid({40, 30}, zones));
    expect_every_failure_handled("text grids");
}

TEST_F(AllocationFailure, BinaryGrids) {
    std::vector<double> values;
    std::vector<double> zones;
    for (int i = 0; i < 600; ++i) {
        values.push_back(i * 0.5);
        zones.push_back(i % 7);
    }
    write_file(path("in"), test_support::binary_grid<float>({30, 20}, values));
    write_file(path("zones"), test_support::binary_grid<double>({30, 20}, zones));
    expect_every_failure_handled("binary grids");
}

// The table output: zones past 1024 make the table of per-zone figures grow, one zone's floats
// make its tree of distinct values split, whole numbers far apart make windows grow or go to the
// tree; then the zones are ordered and the figures over all of them merged.
TEST_F(AllocationFailure, TableWithDistinctValues) {
    std::vector<std::string> values;
    std::vector<std::string> zones;
    for (int i = 0; i < 1600; ++i) {
        if (i < 1100) {
            values.push_back(i % 100 == 0 ? std::to_string(i) : "-9999");
            zones.push_back(std::to_string(i));
        } else {
            values.push_back(i % 50 == 0 ? std::to_string(i * 1000000) : std::to_string(i) + ".5");
            zones.push_back("5000");
        }
    }
    write_file(path("in"), text_grid({40, 40}, values));
    write_file(path("zones"), text_grid({40, 40}, zones));
    options = {"--json", "--stats=zone,count,nodata,stddev,median,p90,mode,variety"};
    expect_every_failure_handled("table");
}

} // namespace
