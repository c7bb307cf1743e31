#include "driver/driver.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
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
    std::string stats_shown;          // the --stats option as given, for later messages
    bool ignore_crs = false;
    bool align = false; // --align
    std::vector<std::string_view> names;
    bool quiet = false;           // --quiet
    bool progress_bar = false;    // --progress
    bool table_to_stdout = false; // --stdout
    std::int32_t band = 1;        // --band
    std::int32_t zone_band = 1;   // --zone-band
    bool raw = false;             // --raw
    // --bands: a row per zone and band. The bands listed, in their order; none for all of them.
    bool band_rows = false;
    std::vector<std::int32_t> bands;
};

constexpr unsigned max_threads = 1024;
// Started even where fewer CPUs are available.
constexpr unsigned max_oversubscribed_threads = 8;

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

// Where the console's text goes, and how much of it: standard output, unless the table goes
// there, which leaves the console standard error. A quiet run prints only the questions for
// names and the messages of failures.
struct console_settings {
    std::FILE *stream = stdout;
    bool quiet = false;
};

console_settings console;

void put_console(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), console.stream);
}

// The banner and the phase messages, which a quiet run leaves out.
void say(std::string_view text) {
    if (!console.quiet) put_console(text);
}

// The one way a run fails: the message goes to the console and the run ends with the code.
// It takes the message as it stands, so that failing for want of memory needs none.
[[noreturn]] void fail(int exit_code, std::string_view message) {
    put_console(message);
    std::fflush(console.stream);
    throw run_ended{exit_code};
}

// Where the report or the table goes. A regular file is written under a temporary name beside
// it and renamed over it once whole, so that a reader never sees a part of it, nor the output of
// two runs mixed; a run that fails or is interrupted removes the temporary file. FIFOs and
// devices are written directly.
struct output_file {
    std::unique_ptr<std::FILE, file_closer> stream;
    std::string temporary; // "": the stream writes the file itself
    std::string target;    // the file the temporary one replaces: the name, through its links

    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    ~output_file() { discard(); }

    void discard() noexcept {
        stream.reset();
        if (!temporary.empty()) remove_temporary_file(temporary);
        temporary.clear();
    }
};

// A band of the input raster beyond the first that --bands lists: read in the same pass as the
// first, counted apart.
struct more_band {
    std::int32_t number = 1;
    grid_stream grid;
    zone_register reg;
    zone_stats stats;
};

struct run_state {
    std::string input_name;
    std::string zone_name;
    std::string report_name;
    grid_stream input;
    grid_stream zone;
    grid_stream aligned_zone; // with --align: the zone grid on the input grid's cells
    bool align = false;
    output_file report;
    bool table_to_stdout = false;
    bool keep_previous_output = false; // the table leaves the previous file until it is whole
    zone_register reg;
    scan_settings scan;
    const std::vector<stat_column> *columns = nullptr; // set for --csv and --json
    std::string stats_shown;
    zone_stats stats;
    // --bands: rows per zone and band. The first band is `input`, counted into reg and stats.
    bool band_rows = false;
    std::int32_t band = 1; // of input
    std::vector<std::unique_ptr<more_band>> more_bands;
};

// Before anything that may wait, so that a waiting run shows what it has done so far.
void flush_console() {
    std::fflush(console.stream);
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

void create_register(zone_register &reg) {
    std::uint32_t failed_slot = 0;
    switch (register_create(reg, failed_slot)) {
    case register_create_result::ok:
        return;
    case register_create_result::kenn_failed:
        fail(exit_no_name_or_memory,
             formatted("memory allocation error for kenn[%d]\n", static_cast<int>(failed_slot)));
    case register_create_result::zarray_failed:
        fail(exit_no_lookup_memory, "memory allocation error for zarray\n");
    }
}

// The names are the arguments behind the options. A table on standard output has no file to
// ask for.
void obtain_names(run_state &run, const std::vector<std::string_view> &names) {
    if (names.size() >= 2) {
        run.input_name = names[0];
        run.zone_name = names[1];
        if (names.size() >= 3) run.report_name = names[2];
        return;
    }
    put_console("usage:  <inputgrid> <zonegrid> <ASCII-statistics file>\n\n");
    put_console("input grid: ");
    run.input_name = read_console_line();
    put_console("\nzone grid  : ");
    run.zone_name = read_console_line();
    if (!run.table_to_stdout) {
        put_console("\noutput file : ");
        run.report_name = read_console_line();
    }
    put_console("\n");
}

[[noreturn]] void fail_no_such_band(const std::string &name, std::int32_t bands,
                                    std::int32_t band) {
    fail(exit_grid,
         formatted("%s has %d band%s, no band %d\n", name.c_str(), static_cast<int>(bands),
                   bands == 1 ? "" : "s", static_cast<int>(band)));
}

void open_grid_or_fail(const std::string &name, grid_stream &grid, const band_choice &band = {}) {
    flush_console(); // the open of a FIFO waits for its writer
    switch (open_grid(name, grid, default_grid_buffer_size, band)) {
    case grid_open_result::ok:
        return;
    case grid_open_result::cannot_open:
        fail(exit_grid, formatted("could not open input file %s\n", name.c_str()));
    case grid_open_result::unknown_format:
        fail(exit_grid,
             formatted("could not recognise file format (ascii, single or double) for %s\n",
                       name.c_str()));
    case grid_open_result::complex_values:
        fail(exit_grid, formatted("%s holds complex values, which have no minimum or maximum: "
                                  "the statistics need real ones\n",
                                  name.c_str()));
    case grid_open_result::no_such_band:
        fail_no_such_band(name, grid.band_count, band.band);
    }
}

// The bands of --bands after the first, which is open as the input grid: each opened as a grid
// of its own, so that each is read as the first is. None listed: every band of the raster.
void open_more_bands(run_state &run, const command_line &command) {
    std::vector<std::int32_t> numbers = command.bands;
    if (numbers.empty())
        for (std::int32_t band = 1; band <= run.input.band_count; ++band)
            numbers.push_back(band);
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        // A native grid, which may be a pipe, is not opened again to find it has one band.
        if (run.input.format != grid_format::gdal)
            fail_no_such_band(run.input_name, run.input.band_count, numbers[i]);
        auto band = std::make_unique<more_band>();
        band->number = numbers[i];
        open_grid_or_fail(run.input_name, band->grid, {numbers[i], command.raw});
        run.more_bands.push_back(std::move(band));
    }
}

// Opening the report for writing would truncate a grid given under another name, and a report
// that is the file standard output goes to would be written over by the console's own text: both
// count as a report that can't be created. The report's file is created, and emptied, here, so
// that a run that fails leaves it empty; the table's is created but keeps what it holds until
// the new table replaces it.
bool create_report(run_state &run) {
    if (is_same_file(run.report_name, run.input_name) ||
        is_same_file(run.report_name, run.zone_name) || is_standard_output_file(run.report_name))
        return false;
    flush_console(); // the open of a FIFO waits for its reader
    std::unique_ptr<std::FILE, file_closer> file(
        open_for_writing(run.report_name, !run.keep_previous_output));
    if (!file) return false;
    output_file &out = run.report;
    if (is_regular_file(file.get())) {
        std::error_code error;
        const std::filesystem::path real = std::filesystem::canonical(run.report_name, error);
        if (!error) {
            out.target = real.string();
            out.temporary = real.parent_path().string();
            out.stream.reset(create_temporary_file(out.temporary, file.get()));
            if (out.stream) return true;
            out.temporary.clear();
        }
        // Where no file can be made beside it (a folder that is not writable), the file itself
        // is written, from its start.
        if (run.keep_previous_output) {
            file.reset(std::fopen(run.report_name.c_str(), "w"));
            if (!file) return false;
        }
    }
    out.stream = std::move(file);
    return true;
}

void open_report(run_state &run) {
    if (run.table_to_stdout) return;
    for (;;) {
        run.report.discard();
        if (create_report(run)) return;
        put_console(formatted("error opening file %s \r\n", run.report_name.c_str()));
        put_console("please enter file: ");
        run.report_name = read_console_line();
        if (run.report_name.empty()) fail(exit_no_name_or_memory, "");
        put_console("\r\n");
    }
}

std::FILE *report_stream(run_state &run) {
    return run.table_to_stdout ? stdout : run.report.stream.get();
}

void read_header_or_fail(const std::string &name, grid_stream &grid) {
    if (!read_grid_header(grid))
        fail(exit_grid, formatted("invalid grid header in %s\n", name.c_str()));
}

// A number as it reads back, in as few digits as that takes: 28.5, 0.008333333333333337.
std::string shortest(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc{} ? std::string(text, end) : formatted("%.17g", value);
}

// "cellsize 90 (dem.tif) vs 28.5 (lc.tif)" for each field that differs, input grid first.
std::string geometry_differences(const run_state &run) {
    const geometry_difference d = compare_geometry(run.input, run.zone);
    const grid_header &a = run.input.header;
    const grid_header &b = run.zone.header;
    std::string text;
    const auto add = [&](bool differs, const char *field, const std::string &in,
                         const std::string &zone) {
        if (!differs) return;
        if (!text.empty()) text += ", ";
        text += formatted("%s %s (%s) vs %s (%s)", field, in.c_str(), run.input_name.c_str(),
                          zone.c_str(), run.zone_name.c_str());
    };
    add(d.ncols, "ncols", std::to_string(a.ncols), std::to_string(b.ncols));
    add(d.nrows, "nrows", std::to_string(a.nrows), std::to_string(b.nrows));
    add(d.xll, "xll", shortest(a.xll), shortest(b.xll));
    add(d.yll, "yll", shortest(a.yll), shortest(b.yll));
    add(d.cellsize, "cellsize", shortest(a.cellsize), shortest(b.cellsize));
    return text;
}

// Two GDAL rasters in different coordinate systems have figures that mean nothing together.
void check_crs(const run_state &run, bool ignore_crs) {
    if (ignore_crs) return;
    const crs_comparison crs = compare_crs(run.input, run.zone);
    if (!crs.differ) return;
    fail(exit_geometry,
         formatted("input grid %s and zone grid %s are in different coordinate systems. end.\n"
                   "crs %s (%s) vs %s (%s); --ignore-crs compares the grids as they are\n",
                   run.input_name.c_str(), run.zone_name.c_str(), crs.a_name.c_str(),
                   run.input_name.c_str(), crs.b_name.c_str(), run.zone_name.c_str()));
}

// The geometry message is fixed; where a GDAL raster or a table is involved, a line naming what
// differs follows it, with the option that takes such grids. Two native grids into the report
// end with the message alone, as ever.
void check_geometry(const run_state &run, bool tabled) {
    if (same_geometry(run.input, run.zone)) return;
    std::string message =
        formatted("zonegrid %s and input grid %s \ndoes not match the same geometry!. end.\n",
                  run.zone_name.c_str(), run.input_name.c_str());
    const bool gdal = run.input.format == grid_format::gdal || run.zone.format == grid_format::gdal;
    if (gdal || tabled)
        message += geometry_differences(run) +
                   (tabled ? "; --align puts the zone grid on the value grid's cells\n"
                           : "; --align (with --csv or --json) puts the zone grid on the value "
                             "grid's cells\n");
    fail(exit_geometry, message);
}

// With --align the grids may differ in geometry, but each must have one that cells can be
// placed on: finite corners and a cell size above 0.
void check_aligned_geometry(run_state &run) {
    for (const auto &[grid, name] :
         {std::pair{&run.input, &run.input_name}, std::pair{&run.zone, &run.zone_name}}) {
        const grid_header &h = grid->header;
        if (!aligned_geometry_usable(h))
            fail(exit_geometry,
                 formatted("--align can't place %s: xll %s, yll %s, cellsize %s (its corners "
                           "must be finite and its cell size above 0). end.\n",
                           name->c_str(), shortest(h.xll).c_str(), shortest(h.yll).c_str(),
                           shortest(h.cellsize).c_str()));
    }
    // A negative zone: cells whose centre lies outside the zone grid count in no zone.
    align_grid(run.zone, run.input.header, -1, run.aligned_zone);
}

// The headers of the bands after the first, and their registers. The raster replaced between
// the opens of its bands would give bands of other cells.
void prepare_more_bands(run_state &run) {
    for (const std::unique_ptr<more_band> &band : run.more_bands) {
        read_header_or_fail(run.input_name, band->grid);
        if (!same_geometry(band->grid.header, run.input.header))
            fail(exit_grid,
                 formatted("the bands of %s differ in geometry\n", run.input_name.c_str()));
        create_register(band->reg);
        register_clear(band->reg);
    }
}

// One band of the run: its grid, register and statistics. The first is the run's own input.
struct band_parts {
    std::int32_t number = 1;
    grid_stream *grid = nullptr;
    zone_register *reg = nullptr;
    zone_stats *stats = nullptr;
};

std::vector<band_parts> bands_of(run_state &run) {
    std::vector<band_parts> bands{{run.band, &run.input, &run.reg, &run.stats}};
    for (const std::unique_ptr<more_band> &band : run.more_bands)
        bands.push_back({band->number, &band->grid, &band->reg, &band->stats});
    return bands;
}

// "dem.tif", or "dem.tif (band 3)" for a band other than the first.
std::string band_name(const run_state &run, std::int32_t number) {
    if (number == 1) return run.input_name;
    return formatted("%s (band %d)", run.input_name.c_str(), static_cast<int>(number));
}

void scan_all_cells(run_state &run) {
    // One counter per band, all counted in one pass over the zone grid.
    const std::vector<band_parts> bands = bands_of(run);
    std::vector<zone_counter> counters;
    std::vector<grid_stream *> inputs;
    counters.reserve(bands.size());
    for (const band_parts &band : bands) {
        counters.push_back(start_counting(*band.reg, band.grid->header.nodata));
        if (run.columns != nullptr)
            start_stats_counting(counters.back(), *band.stats, *run.columns);
        inputs.push_back(band.grid);
    }
    std::vector<zone_counter *> counting;
    for (zone_counter &counter : counters)
        counting.push_back(&counter);
    const scan_result scanned =
        scan_bands(inputs, run.align ? run.aligned_zone : run.zone, counting, run.scan);
    std::uint64_t ncols = static_cast<std::uint32_t>(run.input.header.ncols);
    std::uint64_t failed_cell = scanned.failed_cell;
    // A zone grid on the input grid's cells names the cell of its own that it could not read.
    if (run.align && scanned.in_zone_grid && aligned_failed_cell(run.aligned_zone, failed_cell))
        ncols = static_cast<std::uint32_t>(run.zone.header.ncols);
    const auto row = static_cast<unsigned long>(ncols == 0 ? 1 : failed_cell / ncols + 1);
    const auto column = static_cast<unsigned long>(ncols == 0 ? 1 : failed_cell % ncols + 1);
    switch (scanned.outcome) {
    case scan_outcome::ok:
        return;
    case scan_outcome::no_value:
        // The line break ends the line of the progress shown.
        fail(exit_grid,
             formatted(
                 "%scould not read a value for row %lu, column %lu from %s\n",
                 run.scan.progress == progress_display::none ? "" : "\n", row, column,
                 (scanned.in_zone_grid ? run.zone_name : band_name(run, bands[scanned.band].number))
                     .c_str()));
    case scan_outcome::no_zone_memory:
        if (bands[scanned.band].stats->out_of_value_memory)
            fail(exit_no_name_or_memory, "memory allocation error for the distinct values\n");
        fail(exit_no_name_or_memory,
             formatted("not sufficient memory to get register memory for more than %ld zones on "
                       "this machine\n",
                       static_cast<long>(bands[scanned.band].reg->zone_count)));
    case scan_outcome::no_memory:
        fail(exit_no_name_or_memory, "memory allocation error\n");
    }
}

void close_report(run_state &run) {
    if (run.table_to_stdout) {
        if (std::fflush(stdout) != 0 || std::ferror(stdout))
            fail(exit_report_write, "error writing to standard output\n");
        return;
    }
    output_file &out = run.report;
    const bool written = !std::ferror(out.stream.get());
    bool whole = std::fclose(out.stream.release()) == 0 && written;
    if (whole && !out.temporary.empty()) {
        whole = replace_with_temporary_file(out.temporary, out.target);
        if (whole) out.temporary.clear();
    }
    if (!whole)
        fail(exit_report_write, formatted("error writing file %s\n", run.report_name.c_str()));
}

// One band's table: its values settled and its zones ordered, or the run ends.
void prepare_band_table(const run_state &run, stat_table &table, zone_register &reg,
                        zone_stats &stats, bool with_totals) {
    if (!settle_values(stats, reg))
        fail(exit_no_name_or_memory, "memory allocation error for the distinct values\n");
    prepare_table(table, *run.columns, reg, stats, with_totals);
    if (table.classes_not_whole) {
        // Refused rather than named in a column: a continuous raster would give a column per
        // distinct value.
        const auto by_class =
            std::find_if(run.columns->begin(), run.columns->end(),
                         [](const stat_column &column) { return per_class(column.kind); });
        stat_figure value;
        value.shape = stat_figure::form::number;
        value.number = table.not_whole;
        char text[figure_capacity];
        const std::size_t length = format_figure(text, value, false);
        fail(exit_bad_option,
             formatted("\ninvalid option %s: the classes of %s are whole numbers, but %s holds "
                       "%.*s\n",
                       run.stats_shown.c_str(), by_class->name.c_str(), run.input_name.c_str(),
                       static_cast<int>(length), text));
    }
}

// The table output in place of the report: the same console, all memory had before the first
// byte is written.
void write_table(run_state &run, output_format output) {
    say("\nsorting...");
    // CSV has no line for all zones.
    const bool with_totals = output == output_format::json;
    const std::vector<band_parts> parts = bands_of(run);
    std::vector<stat_table> tables(parts.size());
    std::vector<band_table> bands;
    for (std::size_t b = 0; b < parts.size(); ++b) {
        prepare_band_table(run, tables[b], *parts[b].reg, *parts[b].stats, with_totals);
        bands.push_back({parts[b].number, &tables[b]});
    }
    say("\nwriting output...\n");
    if (run.band_rows && output == output_format::csv)
        write_csv_bands(report_stream(run), bands);
    else if (run.band_rows)
        write_json_bands(report_stream(run), run.input_name, bands);
    else if (output == output_format::csv)
        write_csv(report_stream(run), tables[0]);
    else
        write_json(report_stream(run), run.input_name, tables[0]);
}

void run_phases(const command_line &command) {
    run_state state;
    // Threads beyond the CPUs would only wait for their turn. Up to 8 cost nothing measurable
    // even on one CPU, so a small machine still runs a count of 3 or 8 as asked; the result is
    // the same at any count.
    const unsigned cpus = usable_cpu_count();
    state.scan.threads = command.threads != 0
                             ? std::min(command.threads, std::max(cpus, max_oversubscribed_threads))
                             : cpus;
    if (command.output != output_format::report) {
        state.columns = &command.columns;
        state.stats_shown = command.stats_shown;
        state.keep_previous_output = true;
    }
    if (command.table_to_stdout) {
        console.stream = stderr;
        state.table_to_stdout = true;
        report_broken_pipes_as_write_errors(); // a reader gone is a write error, exit 4
    }
    console.quiet = command.quiet;
    // A bar redrawn in place only makes sense on a terminal; in a log it would be noise.
    state.scan.progress = command.quiet                 ? progress_display::none
                          : !command.progress_bar       ? progress_display::dots
                          : is_terminal(console.stream) ? progress_display::bar
                                                        : progress_display::none;
    state.scan.progress_stream = console.stream;
    create_register(state.reg);
    say("\nGetting the statistics for values of a grid sorted by zones from a zone grid\n\n");
    obtain_names(state, command.names);
    state.band_rows = command.band_rows;
    state.band = command.band_rows && !command.bands.empty() ? command.bands.front()
                 : command.band_rows                         ? 1
                                                             : command.band;
    open_grid_or_fail(state.input_name, state.input, {state.band, command.raw});
    if (command.band_rows) open_more_bands(state, command);
    open_grid_or_fail(state.zone_name, state.zone, {command.zone_band, command.raw});
    open_report(state);
    register_clear(state.reg);
    read_header_or_fail(state.input_name, state.input);
    read_header_or_fail(state.zone_name, state.zone);
    prepare_more_bands(state);
    check_crs(state, command.ignore_crs);
    state.align = command.align;
    if (command.align)
        check_aligned_geometry(state);
    else
        check_geometry(state, command.output != output_format::report);
    scan_all_cells(state);
    if (command.output != output_format::report) {
        write_table(state, command.output);
    } else {
        report_head(state.report.stream.get(), state.input_name, state.zone_name);
        say("\nsorting...");
        sort_zones(state.reg);
        say("\nwriting output...\n");
        report_zone_rows(state.report.stream.get(), state.reg);
        report_totals(state.report.stream.get(), state.reg);
    }
    state.aligned_zone = {};
    state.input.file.reset();
    close_report(state);
    state.zone.file.reset();
    register_release(state.reg);
    for (const std::unique_ptr<more_band> &band : state.more_bands)
        register_release(band->reg);
}

constexpr const char *usage_text = "usage: zonalstats [OPTIONS] <inputgrid> <zonegrid> <report>\n"
                                   "       zonalstats --help | --version\n";

enum class option_id {
    threads,
    csv,
    json,
    stats,
    band,
    zone_band,
    bands,
    raw,
    stdout_table,
    quiet,
    progress,
    ignore_crs,
    align,
    help,
    version
};

// The tool's options, for the parser, for the check of mistyped ones and for --help alike.
struct option_spec {
    option_id id;
    std::string_view name;
    std::string_view short_name; // "": none; else the whole word, as "-q", never with a value
    std::string_view value;      // what --help calls its value; "": it takes none
    bool alone;                  // an option only as the one argument, anywhere else a name
    std::string_view help;       // its lines in --help
};

constexpr option_spec option_table[] = {
    {option_id::threads, "--threads", "", "N", false,
     "threads that read and decode the grids, 1 to 1024 (default: the\n"
     "CPUs the process may run on); no more are started than those\n"
     "CPUs, or 8 where there are fewer; the report is the same for\n"
     "every N"},
    {option_id::csv, "--csv", "", "", false,
     "write a CSV table to <report> instead of the report: a header\n"
     "line, then a line per zone"},
    {option_id::json, "--json", "", "", false,
     "write the table as JSON, with the figures over all zones"},
    {option_id::stats, "--stats", "", "LIST", false,
     "the table's columns, comma-separated, in this order behind the\n"
     "zone, which leads every row whether listed or not (default:\n"
     "zone,count,min,max,sum,mean,stddev), of: zone, count, nodata,\n"
     "min, max, range, sum, mean, stddev (sample), pstddev\n"
     "(population), median, pNN (percentile NN, 0 to 100: p90,\n"
     "p99.5), mode, minority, variety; for rasters of classes\n"
     "(whole numbers) frac, the share of each class in the zone's\n"
     "counted cells, a column frac_<class> per class met anywhere,\n"
     "and classes, their cells, count_<class>. sum, mean, stddev and\n"
     "pstddev come from exact sums, rounded once: the same whatever\n"
     "the order of the cells"},
    {option_id::band, "--band", "", "N", false,
     "read band N of the input raster (default 1); a native grid has\n"
     "only band 1"},
    {option_id::zone_band, "--zone-band", "", "N", false,
     "read band N of the zone raster (default 1)"},
    {option_id::bands, "--bands", "", "LIST", false,
     "with --csv or --json, several bands of the input raster in one\n"
     "pass: all, or their numbers, comma-separated (1,3,5); CSV gets\n"
     "a row per zone and band, by zone, then band as listed, with a\n"
     "band column behind the zone; JSON a \"bands\" list, each with\n"
     "its band, zones and figures over all zones"},
    {option_id::raw, "--raw", "", "", false,
     "the numbers a GDAL raster stores, as they are: without it, a\n"
     "band with a scale or an offset is read as value x scale +\n"
     "offset (cells without data stay without)"},
    {option_id::stdout_table, "--stdout", "", "", false,
     "write the table of --csv or --json to standard output, and name\n"
     "no <report> (or name it -); the console's text then goes to\n"
     "standard error:\n"
     "zonalstats --csv --stdout dem.tif zones.tif | head"},
    {option_id::quiet, "--quiet", "-q", "", false,
     "no banner, no progress, no \"sorting...\" or \"writing output...\";\n"
     "the questions for names not given and the error messages stay"},
    {option_id::progress, "--progress", "", "", false,
     "a bar with the share of rows done in place of the dots, where\n"
     "the console is a terminal; elsewhere no progress at all"},
    {option_id::ignore_crs, "--ignore-crs", "", "", false,
     "read two GDAL rasters in different coordinate systems as they\n"
     "are (without it such a pair ends the run with exit code 3)"},
    {option_id::align, "--align", "", "", false,
     "with --csv or --json: grids of different extent or cell size;\n"
     "each cell of <inputgrid> takes the zone of the <zonegrid> cell\n"
     "that holds its centre (as gdalwarp -r near onto it would), and\n"
     "cells whose centre lies outside <zonegrid> count in no zone"},
    {option_id::help, "--help", "", "", true, "this text (as the only argument)"},
    {option_id::version, "--version", "", "", true, "the version (as the only argument)"},
};

[[noreturn]] void fail_option(std::string_view option, const std::string &problem) {
    fail(exit_bad_option,
         "invalid option " + std::string(option) + ": " + problem + "\n" + usage_text);
}

char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// How many letters must be inserted, removed, replaced or swapped with their neighbour to turn
// one word into the other, letter case aside; anything above 2 counts as 3.
std::size_t near_distance(std::string_view a, std::string_view b) {
    constexpr std::size_t far = 3;
    if (std::max(a.size(), b.size()) - std::min(a.size(), b.size()) >= far) return far;
    // Three rows of the table of distances between the prefixes.
    std::vector<std::size_t> before(b.size() + 1);
    std::vector<std::size_t> last(b.size() + 1);
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        last[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = lower_ascii(a[i - 1]) == lower_ascii(b[j - 1]);
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && lower_ascii(a[i - 1]) == lower_ascii(b[j - 2]) &&
                lower_ascii(a[i - 2]) == lower_ascii(b[j - 1]))
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
        std::swap(before, last);
        std::swap(last, row);
    }
    return std::min(last[b.size()], far);
}

// A word that starts with a dash and is one or two letters from a name in the table (up to its
// "=", if it has one), other than --help and --version, which are names anywhere but alone.
const option_spec *option_meant(std::string_view name) {
    if (!name.starts_with('-')) return nullptr;
    const option_spec *nearest = nullptr;
    std::size_t nearest_distance = 3;
    for (const option_spec &option : option_table) {
        if (option.alone) continue;
        const std::size_t distance = near_distance(name, option.name);
        if (distance < nearest_distance) {
            nearest = &option;
            nearest_distance = distance;
        }
    }
    return nearest;
}

std::int32_t parse_band(std::string_view shown, std::string_view value) {
    std::int32_t band = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), band);
    if (error != std::errc{} || end != value.data() + value.size() || band < 1)
        fail_option(shown, "a band is a whole number from 1 (the first band) to 2147483647");
    return band;
}

// "all" (none listed), or band numbers separated by commas, each at most once.
std::vector<std::int32_t> parse_band_list(std::string_view shown, std::string_view value) {
    std::vector<std::int32_t> bands;
    if (value == "all") return bands;
    for (std::size_t at = 0;;) {
        const std::size_t comma = std::min(value.find(',', at), value.size());
        const std::int32_t band = parse_band(shown, value.substr(at, comma - at));
        if (std::find(bands.begin(), bands.end(), band) != bands.end())
            fail_option(shown, formatted("band %d is listed twice", static_cast<int>(band)));
        bands.push_back(band);
        if (comma == value.size()) return bands;
        at = comma + 1;
    }
}

unsigned parse_threads(std::string_view shown, std::string_view value) {
    unsigned threads = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), threads);
    if (error != std::errc{} || end != value.data() + value.size() || threads < 1 ||
        threads > max_threads)
        fail_option(shown, formatted("the number of threads must be a whole number from 1 to %u",
                                     max_threads));
    return threads;
}

// GNU style: the options of the table anywhere, as --option VALUE or --option=VALUE, and "--"
// ends them. Every other word, even one with leading dashes, is a name, so that every command
// line that names files keeps its meaning; only a word a letter or two from an option's name is
// refused as the option mistyped. A known option with a bad value fails, naming it; so do --csv
// and --json together, and --stats without either (the report's columns are fixed). A repeated
// option counts as given last.
command_line parse_command_line(int argc, char **argv) {
    // Even a mistake on a line that puts the table on standard output is told on the console
    // the run would have had, so that a pipe gets no message.
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i)
        if (std::string_view(argv[i]) == "--stdout") console.stream = stderr;
    command_line command;
    std::string &stats_shown = command.stats_shown;
    std::string band_shown;
    std::string bands_shown;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options_ended) {
            command.names.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        // A short name counts only as the whole word: "-q=1" and "-qq" stay names.
        const auto known = std::find_if(
            std::begin(option_table), std::end(option_table), [&](const option_spec &option) {
                return !option.alone && (option.name == name || (!option.short_name.empty() &&
                                                                 option.short_name == argument));
            });
        if (known == std::end(option_table)) {
            if (const option_spec *meant = option_meant(name); meant != nullptr)
                fail_option(argument,
                            "no such option; did you mean " + std::string(meant->name) + "?");
            command.names.emplace_back(argument);
            continue;
        }
        std::string shown(argument);
        std::string_view value;
        if (known->value.empty()) {
            if (equals != std::string_view::npos)
                fail_option(shown, std::string(known->name) + " takes no value");
        } else if (equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
            shown += " ";
            shown += value;
        } else {
            fail_option(shown, formatted("a value must follow, as in %s %s or %s=%s", argv[i],
                                         std::string(known->value).c_str(), argv[i],
                                         std::string(known->value).c_str()));
        }
        switch (known->id) {
        case option_id::threads:
            command.threads = parse_threads(shown, value);
            break;
        case option_id::csv:
        case option_id::json: {
            const output_format output =
                known->id == option_id::csv ? output_format::csv : output_format::json;
            if (command.output != output_format::report && command.output != output)
                fail_option(shown, "--csv and --json don't go together");
            command.output = output;
            break;
        }
        case option_id::stats:
            if (const std::string problem = parse_stat_list(value, command.columns);
                !problem.empty())
                fail_option(shown, problem);
            stats_shown = shown;
            break;
        case option_id::band:
            command.band = parse_band(shown, value);
            band_shown = shown;
            break;
        case option_id::zone_band:
            command.zone_band = parse_band(shown, value);
            break;
        case option_id::bands:
            command.bands = parse_band_list(shown, value);
            command.band_rows = true;
            bands_shown = shown;
            break;
        case option_id::raw:
            command.raw = true;
            break;
        case option_id::stdout_table:
            command.table_to_stdout = true;
            break;
        case option_id::quiet:
            command.quiet = true;
            break;
        case option_id::progress:
            command.progress_bar = true;
            break;
        case option_id::ignore_crs:
            command.ignore_crs = true;
            break;
        case option_id::align:
            command.align = true;
            break;
        case option_id::help:
        case option_id::version:
            break;
        }
    }
    if (!stats_shown.empty() && command.output == output_format::report)
        fail_option(stats_shown,
                    "--stats chooses the columns of --csv or --json; the report's are fixed");
    if (!bands_shown.empty() && command.output == output_format::report)
        fail_option(bands_shown, "--bands writes a row per zone and band, with --csv or --json; "
                                 "the report takes one band (--band)");
    if (!bands_shown.empty() && !band_shown.empty())
        fail_option(band_shown, "--band and --bands don't go together");
    if (!bands_shown.empty() && command.output == output_format::csv &&
        std::any_of(command.columns.begin(), command.columns.end(),
                    [](const stat_column &column) { return per_class(column.kind); }))
        fail_option(bands_shown, "frac and classes make each band's columns its own classes, "
                                 "so CSV with --bands takes neither (JSON does)");
    // A table named "-" goes to standard output, as with --stdout; the report keeps "-" as the
    // name of a file.
    if (command.output != output_format::report && command.names.size() >= 3 &&
        command.names[2] == "-") {
        command.names.resize(2);
        command.table_to_stdout = true;
    }
    if (command.align && command.output == output_format::report)
        fail_option("--align", "--align puts the zone grid on the value grid's cells for --csv "
                               "or --json; the report's grids must match");
    if (command.table_to_stdout && command.output == output_format::report)
        fail_option("--stdout", "--stdout writes the table of --csv or --json; the report goes "
                                "to a file");
    if (command.table_to_stdout && command.names.size() >= 3)
        fail_option("--stdout", "the table goes to standard output, so no <report> is named, "
                                "but " +
                                    std::string(command.names[2]) + " is");
    if (command.output != output_format::report && stats_shown.empty())
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

constexpr const char *help_before_options =
    "\n"
    "Writes, per zone of <zonegrid>, the number, minimum, maximum, sum, average and\n"
    "standard deviation of the values of <inputgrid> into the tab-separated file\n"
    "<report>. Names not given are asked for on the console.\n"
    "\n"
    "Options, anywhere on the line, as --option VALUE or --option=VALUE (\"--\" ends\n"
    "them; any other argument is a name, but one that is an option's name mistyped\n"
    "by a letter or two is refused):\n";

constexpr const char *help_after_options =
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
    "  GDAL    any other raster GDAL reads (GeoTIFF and the rest), band 1 (or\n"
    "          --band, --zone-band), where this build has GDAL; its mask tells\n"
    "          which cells have data, and a band with a scale or an offset is\n"
    "          read as value x scale + offset (--raw: as stored)\n"
    "Cells come row after row, top row first. Both grids need the same ncols, nrows,\n"
    "xll, yll and cellsize, unless --align puts the zone grid on the input grid's\n"
    "cells (nearest neighbour, north-up grids in one coordinate system):\n"
    "  zonalstats --csv --align dem.tif landcover.tif table.csv\n"
    "gives the table of the zone grid warped onto the input grid's cells first:\n"
    "  gdalwarp -r near -te XMIN YMIN XMAX YMAX -ts NCOLS NROWS landcover.tif lc.tif\n"
    "\n"
    "GDAL rasters: cells whose width and height agree to a relative 1e-9 are square\n"
    "(their width is the cell size); where either grid is one, xll, yll and cellsize\n"
    "may differ by 1e-9 of a cell, and with --csv or --json a line after the geometry\n"
    "message names each field that differs, and tells of --align:\n"
    "  cellsize 90 (dem.tif) vs 28.5 (lc.tif); --align puts the zone grid on ...\n"
    "Two GDAL rasters in different coordinate systems end the run, naming both:\n"
    "  crs NAD83 (EPSG:4269) (dem.tif) vs WGS 84 (EPSG:4326) (lc.tif)\n"
    "unless --ignore-crs is given; a grid without one (a native grid) is taken as it\n"
    "is.\n"
    "\n"
    "Exit codes:\n"
    "  0   report written\n"
    "  1   empty answer at \"please enter file: \", or no memory\n"
    "  2   no memory for the zone lookup table\n"
    "  3   the grids differ in geometry, or in coordinate system; with --align, a\n"
    "      grid's corners or cell size can't place cells\n"
    "  4   the report or the table could not be written (also to standard output)\n"
    "  5   an option with a bad value, or a mistyped option; also frac or classes\n"
    "      where the values are not all whole numbers\n"
    "  98  a grid can't be opened, is in no known format, lacks the band asked for,\n"
    "      has a broken header or runs out of values\n"
    "\n";

// The options of the table, each as --name=VALUE with its help lines beside it.
std::string option_shown(const option_spec &option) {
    std::string shown;
    if (!option.short_name.empty()) {
        shown += option.short_name;
        shown += ", ";
    }
    shown += option.name;
    if (!option.value.empty()) {
        shown += '=';
        shown += option.value;
    }
    return shown;
}

std::string options_help() {
    std::size_t width = 0;
    for (const option_spec &option : option_table)
        width = std::max(width, option_shown(option).size());
    std::string text;
    for (const option_spec &option : option_table) {
        std::string head = "  " + option_shown(option);
        head.resize(width + 3, ' ');
        std::string_view lines = option.help;
        for (bool first = true; !lines.empty(); first = false) {
            const std::size_t end = std::min(lines.find('\n'), lines.size());
            text += first ? head : std::string(width + 3, ' ');
            text += lines.substr(0, end);
            text += '\n';
            lines.remove_prefix(std::min(end + 1, lines.size()));
        }
    }
    return text;
}

// "--help" and "--version" count only as the one argument, so that any other command line runs
// as it always did; their text goes out without the banner, for scripts to read.
bool answer_help_or_version(int argc, char **argv, int &exit_code) {
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage_text, stdout);
        std::fputs(help_before_options, stdout);
        std::fputs(options_help().c_str(), stdout);
        std::fputs(help_after_options, stdout);
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
    console = {}; // a process may hold several runs, as the fuzz targets do
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
