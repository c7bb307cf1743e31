#include "driver/driver.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "grid/grid.h"
#include "platform/platform.h"
#include "report/report.h"
#include "scan/scan.h"
#include "stats/stats.h"
#include "table/table.h"
#include "zones/zones.h"

namespace {

enum exit_code : int {
    exit_ok = 0,
    exit_no_name_or_memory = 1,
    exit_no_lookup_memory = 2,
    exit_geometry = 3,
    exit_report_write = 4,
    exit_bad_option = 5,
    exit_grid = 98,
};

struct run_ended {
    int exit_code;
};

enum class output_format { report, csv, json };

// What the command line asks for: the options' values and the names behind them.
struct command_line {
    unsigned threads = 0; // 0: the CPUs the process may run on
    output_format output = output_format::report;
    std::vector<stat_column> columns; // of --csv and --json
    std::vector<std::string_view> names;
};

constexpr unsigned max_threads = 1024;

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
    scan_settings scan;
    const std::vector<stat_column> *columns = nullptr; // set for --csv and --json
    zone_stats stats;
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

// The names are the arguments behind the options.
void obtain_names(run_state &run, const std::vector<std::string_view> &names) {
    if (names.size() >= 2) {
        run.input_name = names[0];
        run.zone_name = names[1];
        if (names.size() >= 3) run.report_name = names[2];
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

void scan_all_cells(run_state &run) {
    zone_counter counter = start_counting(run.reg, run.input.header.nodata);
    if (run.columns != nullptr) start_stats_counting(counter, run.stats, *run.columns);
    const scan_result scanned = scan_cells(run.input, run.zone, counter, run.scan);
    const std::uint64_t ncols = static_cast<std::uint32_t>(run.input.header.ncols);
    const auto row = static_cast<unsigned long>(ncols == 0 ? 1 : scanned.failed_cell / ncols + 1);
    const auto column =
        static_cast<unsigned long>(ncols == 0 ? 1 : scanned.failed_cell % ncols + 1);
    switch (scanned.outcome) {
    case scan_outcome::ok:
        return;
    case scan_outcome::no_value:
        fail(exit_grid,
             formatted("\ncould not read a value for row %lu, column %lu from %s\n", row, column,
                       (scanned.in_zone_grid ? run.zone_name : run.input_name).c_str()));
    case scan_outcome::no_zone_memory:
        if (run.stats.out_of_value_memory)
            fail(exit_no_name_or_memory, "memory allocation error for the distinct values\n");
        fail(exit_no_name_or_memory,
             formatted("not sufficient memory to get register memory for more than %ld zones on "
                       "this machine\n",
                       static_cast<long>(run.reg.zone_count)));
    case scan_outcome::no_memory:
        fail(exit_no_name_or_memory, "memory allocation error\n");
    }
}

void close_report(run_state &run) {
    const bool written = !std::ferror(run.report.get());
    if (std::fclose(run.report.release()) != 0 || !written)
        fail(exit_report_write, formatted("error writing file %s\n", run.report_name.c_str()));
}

// The table output in place of the report: the same console, all memory had before the first
// byte is written.
void write_table(run_state &run, output_format output) {
    std::fputs("\nsorting...", stdout);
    if (!settle_values(run.stats, run.reg))
        fail(exit_no_name_or_memory, "memory allocation error for the distinct values\n");
    stat_table table;
    // CSV has no line for all zones.
    prepare_table(table, *run.columns, run.reg, run.stats, output == output_format::json);
    std::fputs("\nwriting output...\n", stdout);
    if (output == output_format::csv)
        write_csv(run.report.get(), table);
    else
        write_json(run.report.get(), run.input_name, table);
}

void run_phases(const command_line &command) {
    run_state state;
    state.scan.threads = command.threads != 0 ? command.threads : usable_cpu_count();
    if (command.output != output_format::report) state.columns = &command.columns;
    create_register(state);
    std::fputs("\nGetting the statistics for values of a grid sorted by zones from a zone grid\n\n",
               stdout);
    obtain_names(state, command.names);
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
    if (command.output != output_format::report) {
        write_table(state, command.output);
    } else {
        report_head(state.report.get(), state.input_name, state.zone_name);
        std::fputs("\nsorting...", stdout);
        sort_zones(state.reg);
        std::fputs("\nwriting output...\n", stdout);
        report_zone_rows(state.report.get(), state.reg);
        report_totals(state.report.get(), state.reg);
    }
    state.input.file.reset();
    close_report(state);
    state.zone.file.reset();
    register_release(state.reg);
}

constexpr const char *usage_text = "usage: zonalstats [OPTIONS] <inputgrid> <zonegrid> <report>\n"
                                   "       zonalstats --help | --version\n";

[[noreturn]] void fail_option(const char *option, const std::string &problem) {
    fail(exit_bad_option,
         formatted("invalid option %s: %s\n", option, problem.c_str()) + usage_text);
}

// The known options, before the names. Anything else, even with leading dashes, is the first
// name, so that every command line that names files keeps its meaning; "--" ends the options.
// A known option with a bad value fails, naming it; so do --csv and --json together, and
// --stats without either (the report's columns are fixed). A repeated option counts as given
// last.
command_line parse_command_line(int argc, char **argv) {
    command_line command;
    const char *stats_option = nullptr;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument == "--csv" || argument == "--json") {
            const output_format output =
                argument == "--csv" ? output_format::csv : output_format::json;
            if (command.output != output_format::report && command.output != output)
                fail_option(argv[i], "--csv and --json don't go together");
            command.output = output;
            continue;
        }
        constexpr std::string_view stats_prefix = "--stats=";
        if (argument.starts_with(stats_prefix)) {
            const std::string problem =
                parse_stat_list(argument.substr(stats_prefix.size()), command.columns);
            if (!problem.empty()) fail_option(argv[i], problem);
            stats_option = argv[i];
            continue;
        }
        constexpr std::string_view threads_option = "--threads=";
        if (!argument.starts_with(threads_option)) break;
        const std::string_view value = argument.substr(threads_option.size());
        unsigned threads = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), threads);
        if (error != std::errc{} || end != value.data() + value.size() || threads < 1 ||
            threads > max_threads)
            fail(exit_bad_option,
                 formatted("invalid option %s: the number of threads must be a whole number from "
                           "1 to %u\n",
                           argv[i], max_threads) +
                     usage_text);
        command.threads = threads;
    }
    for (; i < argc; ++i)
        command.names.emplace_back(argv[i]);
    if (stats_option != nullptr && command.output == output_format::report)
        fail_option(stats_option,
                    "--stats chooses the columns of --csv or --json; the report's are fixed");
    if (command.output != output_format::report && stats_option == nullptr)
        parse_stat_list(default_stat_list, command.columns);
    return command;
}

// Memory for zones is checked where it is obtained; memory for anything else running out
// (names, buffers) ends the run here rather than with an abort.
void run(int argc, char **argv) {
    try {
        run_phases(parse_command_line(argc, argv));
    } catch (const std::bad_alloc &) {
        fail(exit_no_name_or_memory, "memory allocation error\n");
    }
}

constexpr const char *help_text =
    "\n"
    "Writes, per zone of <zonegrid>, the number, minimum, maximum, sum, average and\n"
    "standard deviation of the values of <inputgrid> into the tab-separated file\n"
    "<report>. Names not given are asked for on the console.\n"
    "\n"
    "Options, before the names (-- ends them; any other argument is a name):\n"
    "  --threads=N  threads that read and decode the grids, 1 to 1024\n"
    "               (default: the CPUs the process may run on); the report is the\n"
    "               same for every N\n"
    "  --csv        write a CSV table to <report> instead of the report: a header\n"
    "               line, then a line per zone\n"
    "  --json       write the table as JSON, with the figures over all zones\n"
    "  --stats=LIST the table's columns, comma-separated, in this order (default:\n"
    "               zone,count,min,max,sum,mean,stddev), of: zone, count, nodata,\n"
    "               min, max, range, sum, mean, stddev (sample), pstddev\n"
    "               (population), median, pNN (percentile NN, 0 to 100: p90,\n"
    "               p99.5), mode, minority, variety\n"
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
    "  GDAL    any other raster GDAL reads (GeoTIFF and the rest), band 1, where\n"
    "          this build has GDAL; its mask tells which cells have data\n"
    "Cells come row after row, top row first. Both grids need the same ncols, nrows,\n"
    "xll, yll and cellsize.\n"
    "\n"
    "Exit codes:\n"
    "  0   report written\n"
    "  1   empty answer at \"please enter file: \", or no memory\n"
    "  2   no memory for the zone lookup table\n"
    "  3   the grids differ in geometry\n"
    "  4   the report could not be written\n"
    "  5   an option with a bad value\n"
    "  98  a grid can't be opened, is in no known format, has a broken header or\n"
    "      runs out of values\n"
    "\n";

// "--help" and "--version" count only as the one argument, so that any other command line runs
// as it always did; their text goes out without the banner, for scripts to read.
bool answer_help_or_version(int argc, char **argv, int &exit_code) {
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage_text, stdout);
        std::fputs(help_text, stdout);
        std::fputs(gdal_built_in() ? "This build reads GDAL rasters.\n"
                                   : "This build reads no GDAL rasters.\n",
                   stdout);
        std::fputs("More in the manual page: man zonalstats\n", stdout);
    } else if (std::strcmp(argv[1], "--version") == 0)
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
