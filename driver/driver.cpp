#include "driver/driver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "grid/grid.h"
#include "platform/platform.h"
#include "report/report.h"
#include "zones/zones.h"

namespace {

enum exit_code : int {
    exit_ok = 0,
    exit_no_name_or_memory = 1,
    exit_no_lookup_memory = 2,
    exit_geometry = 3,
    exit_report_write = 4,
    exit_grid = 98,
};

struct run_ended {
    int exit_code;
};

__attribute__((format(printf, 1, 2))) std::string formatted(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list args_again;
    va_copy(args_again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args_again);
    va_end(args_again);
    return text;
}

// The one way a run fails: the message goes to standard output and the run ends with the code.
// It takes the message as it stands, so that failing for want of memory needs none.
[[noreturn]] void fail(int exit_code, std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stdout);
    std::fflush(stdout);
    throw run_ended{exit_code};
}

struct run_state {
    std::string input_name;
    std::string zone_name;
    std::string report_name;
    grid_stream input;
    grid_stream zone;
    std::unique_ptr<std::FILE, file_closer> report;
    zone_register reg;
};

// Before anything that may wait, so that a waiting run shows what it has done so far.
void flush_console() {
    std::fflush(stdout);
}

// One line of standard input without its line end. The end of the input reads as an empty
// line, so no prompt can wait for ever.
std::string read_console_line() {
    flush_console();
    std::string line;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        line.push_back(static_cast<char>(c));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void create_register(run_state &run) {
    std::uint32_t failed_slot = 0;
    switch (register_create(run.reg, failed_slot)) {
    case register_create_result::ok:
        return;
    case register_create_result::kenn_failed:
        fail(exit_no_name_or_memory,
             formatted("memory allocation error for kenn[%d]\n", static_cast<int>(failed_slot)));
    case register_create_result::zarray_failed:
        fail(exit_no_lookup_memory, "memory allocation error for zarray\n");
    }
}

void obtain_names(run_state &run, int argc, char **argv) {
    if (argc >= 3) {
        run.input_name = argv[1];
        run.zone_name = argv[2];
        if (argc >= 4) run.report_name = argv[3];
        return;
    }
    std::fputs("usage:  <inputgrid> <zonegrid> <ASCII-statistics file>\n\n", stdout);
    std::fputs("input grid: ", stdout);
    run.input_name = read_console_line();
    std::fputs("\nzone grid  : ", stdout);
    run.zone_name = read_console_line();
    std::fputs("\noutput file : ", stdout);
    run.report_name = read_console_line();
    std::fputs("\n", stdout);
}

void open_grid_or_fail(const std::string &name, grid_stream &grid) {
    flush_console(); // the open of a FIFO waits for its writer
    switch (open_grid(name, grid)) {
    case grid_open_result::ok:
        return;
    case grid_open_result::cannot_open:
        fail(exit_grid, formatted("could not open input file %s\n", name.c_str()));
    case grid_open_result::unknown_format:
        fail(exit_grid,
             formatted("could not recognise file format (ascii, single or double) for %s\n",
                       name.c_str()));
    }
}

// Opening the report for writing would truncate a grid given under another name, and a report
// that is the file standard output goes to would be written over by the console's own text: both
// count as a report that can't be created.
std::FILE *create_report(const run_state &run) {
    if (is_same_file(run.report_name, run.input_name) ||
        is_same_file(run.report_name, run.zone_name) || is_standard_output_file(run.report_name))
        return nullptr;
    flush_console(); // the open of a FIFO waits for its reader
    return std::fopen(run.report_name.c_str(), "w");
}

void open_report(run_state &run) {
    for (;;) {
        run.report.reset(create_report(run));
        if (run.report) return;
        std::printf("error opening file %s \r\n", run.report_name.c_str());
        std::fputs("please enter file: ", stdout);
        run.report_name = read_console_line();
        if (run.report_name.empty()) fail(exit_no_name_or_memory, "");
        std::fputs("\r\n", stdout);
    }
}

void read_header_or_fail(const std::string &name, grid_stream &grid) {
    if (!read_grid_header(grid))
        fail(exit_grid, formatted("invalid grid header in %s\n", name.c_str()));
}

[[noreturn, gnu::cold, gnu::noinline]] void
fail_missing_value(std::uint32_t row, std::uint32_t column, const std::string &name) {
    fail(exit_grid, formatted("\ncould not read a value for row %lu, column %lu from %s\n",
                              static_cast<unsigned long>(row), static_cast<unsigned long>(column),
                              name.c_str()));
}

[[noreturn, gnu::cold, gnu::noinline]] void fail_zone_memory(const zone_register &reg) {
    fail(exit_no_name_or_memory,
         formatted("not sufficient memory to get register memory for more than %ld zones on "
                   "this machine\n",
                   static_cast<long>(reg.zone_count)));
}

// Dots are flushed when a row ends and a while has passed, so they show on a terminal as the
// scan goes without a flush per row.
struct progress {
    using clock = std::chrono::steady_clock;
    clock::time_point last_flush = clock::now();
    std::uint64_t cells_since_check = 0;
};

void row_done(progress &state, std::uint32_t ncols) {
    std::putchar('.');
    state.cells_since_check += std::uint64_t{ncols} + 1;
    if (state.cells_since_check < (1u << 20)) return;
    state.cells_since_check = 0;
    const auto now = progress::clock::now();
    if (now - state.last_flush >= std::chrono::milliseconds(200)) {
        std::fflush(stdout);
        state.last_flush = now;
    }
}

// Cells come in file order, one value from each grid per cell. A pair counts when the value
// lies above the input grid's nodata and the zone value is not negative (NaN fails both).
// Specialised on both formats, so the per-cell work has no dispatch; where both grids are
// binary, the cells whose values both buffers hold are taken as a run without per-value checks.
template <grid_format input_format, grid_format zone_format>
[[gnu::noinline]] void scan(run_state &run) {
    const auto nrows = static_cast<std::uint32_t>(run.input.header.nrows);
    const auto ncols = static_cast<std::uint32_t>(run.input.header.ncols);
    // A NaN no-data value, as GDAL writes for float grids, marks the NaN cells; no value lies
    // above NaN, so taken as it stands it would leave every cell out.
    const double nodata = std::isnan(run.input.header.nodata)
                              ? -std::numeric_limits<double>::infinity()
                              : run.input.header.nodata;
    zone_counter counter{run.reg, zone_counter::no_key, nullptr, {}};
    const auto count_pair = [&counter, nodata](double v, double z) {
        if (v > nodata && z >= 0 && !count_into_zone(counter, v, z)) fail_zone_memory(counter.reg);
    };
    progress dots;
    for (std::uint32_t row = 1; row <= nrows; ++row) {
        for (std::uint32_t column = 1; column <= ncols;) {
            const std::size_t run_length =
                std::min<std::size_t>({ncols - column + 1, buffered_values<input_format>(run.input),
                                       buffered_values<zone_format>(run.zone)});
            if (run_length == 0) {
                if (!read_grid_value_as<input_format>(run.input))
                    fail_missing_value(row, column, run.input_name);
                if (!read_grid_value_as<zone_format>(run.zone))
                    fail_missing_value(row, column, run.zone_name);
                count_pair(run.input.current_value, run.zone.current_value);
                ++column;
                continue;
            }
            const char *const values = run.input.pos;
            const char *const zones = run.zone.pos;
            for (std::size_t i = 0; i < run_length; ++i) {
                // Cells of the open zone, and cells that don't count, are taken by a loop without
                // a call in it, on a copy of the open zone's sums that lives only there: so the
                // sums stay in registers.
                zone_record sums = counter.open_sums;
                for (; i < run_length; ++i) {
                    const double v = buffered_value<input_format>(values, i);
                    const double z = buffered_value<zone_format>(zones, i);
                    if (!(v > nodata && z >= 0)) continue;
                    if (!in_open_zone(counter, z)) break;
                    zone_add(sums, v);
                }
                counter.open_sums = sums;
                if (i < run_length)
                    count_pair(buffered_value<input_format>(values, i),
                               buffered_value<zone_format>(zones, i));
            }
            skip_buffered_values<input_format>(run.input, run_length);
            skip_buffered_values<zone_format>(run.zone, run_length);
            column += static_cast<std::uint32_t>(run_length);
        }
        row_done(dots, ncols);
    }
    close_zone_counter(counter);
}

template <grid_format input_format> void scan_for_zone_format(run_state &run) {
    switch (run.zone.format) {
    case grid_format::ascii:
        return scan<input_format, grid_format::ascii>(run);
    case grid_format::single:
        return scan<input_format, grid_format::single>(run);
    case grid_format::double_:
        return scan<input_format, grid_format::double_>(run);
    }
}

void scan_all_cells(run_state &run) {
    switch (run.input.format) {
    case grid_format::ascii:
        return scan_for_zone_format<grid_format::ascii>(run);
    case grid_format::single:
        return scan_for_zone_format<grid_format::single>(run);
    case grid_format::double_:
        return scan_for_zone_format<grid_format::double_>(run);
    }
}

void close_report(run_state &run) {
    const bool written = !std::ferror(run.report.get());
    if (std::fclose(run.report.release()) != 0 || !written)
        fail(exit_report_write, formatted("error writing file %s\n", run.report_name.c_str()));
}

void run_phases(int argc, char **argv) {
    run_state state;
    create_register(state);
    std::fputs("\nGetting the statistics for values of a grid sorted by zones from a zone grid\n\n",
               stdout);
    obtain_names(state, argc, argv);
    open_grid_or_fail(state.input_name, state.input);
    open_grid_or_fail(state.zone_name, state.zone);
    open_report(state);
    register_clear(state.reg);
    read_header_or_fail(state.input_name, state.input);
    read_header_or_fail(state.zone_name, state.zone);
    if (!same_geometry(state.input.header, state.zone.header))
        fail(exit_geometry,
             formatted("zonegrid %s and input grid %s \ndoes not match the same geometry!. end.\n",
                       state.zone_name.c_str(), state.input_name.c_str()));
    scan_all_cells(state);
    report_head(state.report.get(), state.input_name, state.zone_name);
    std::fputs("\nsorting...", stdout);
    sort_zones(state.reg);
    std::fputs("\nwriting output...\n", stdout);
    report_zone_rows(state.report.get(), state.reg);
    report_totals(state.report.get(), state.reg);
    state.input.file.reset();
    close_report(state);
    state.zone.file.reset();
    register_release(state.reg);
}

// Memory for zones is checked where it is obtained; memory for anything else running out
// (names, buffers) ends the run here rather than with an abort.
void run(int argc, char **argv) {
    try {
        run_phases(argc, argv);
    } catch (const std::bad_alloc &) {
        fail(exit_no_name_or_memory, "memory allocation error\n");
    }
}

constexpr const char *help_text =
    "usage: zonalstats <inputgrid> <zonegrid> <report>\n"
    "       zonalstats --help | --version\n"
    "\n"
    "Writes, per zone of <zonegrid>, the number, minimum, maximum, sum, average and\n"
    "standard deviation of the values of <inputgrid> into the tab-separated file\n"
    "<report>. Names not given are asked for on the console.\n"
    "\n"
    "A cell counts when its value lies above the input grid's no-data value and its\n"
    "zone value is not negative; the zone of a zone value z is floor(z + 0.5).\n"
    "\n"
    "Grid formats, recognised from their first bytes:\n"
    "  text    starts with \"ncol\"; six keyword and number pairs (ncols, nrows,\n"
    "          xllcorner, yllcorner, cellsize, NODATA_value), then the cells\n"
    "  single  12 little-endian float32 header numbers (ncols, nrows, xll, yll,\n"
    "          cellsize, -9999, six free ones), then float32 cells\n"
    "  double  the same with float64 numbers\n"
    "Cells come row after row, top row first. Both grids need the same ncols, nrows,\n"
    "xll, yll and cellsize.\n"
    "\n"
    "Exit codes:\n"
    "  0   report written\n"
    "  1   empty answer at \"please enter file: \", or no memory for more zones\n"
    "  2   no memory for the zone lookup table\n"
    "  3   the grids differ in geometry\n"
    "  4   the report could not be written\n"
    "  98  a grid can't be opened, is in no known format, has a broken header or\n"
    "      runs out of values\n"
    "\n"
    "More in the manual page: man zonalstats\n";

// "--help" and "--version" count only as the one argument, so that any other command line runs
// as it always did; their text goes out without the banner, for scripts to read.
bool answer_help_or_version(int argc, char **argv, int &exit_code) {
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--help") == 0)
        std::fputs(help_text, stdout);
    else if (std::strcmp(argv[1], "--version") == 0)
        std::fputs("zonalstats " ZONALSTATS_VERSION "\n", stdout);
    else
        return false;
    const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
    exit_code = written ? exit_ok : exit_report_write;
    return true;
}

} // namespace

int run_zonalstats(int argc, char **argv) {
    open_closed_standard_streams();
    if (int exit_code = exit_ok; answer_help_or_version(argc, argv, exit_code)) return exit_code;
    try {
        run(argc, argv);
    } catch (const run_ended &ended) {
        return ended.exit_code;
    }
    std::fflush(stdout);
    return exit_ok;
}
