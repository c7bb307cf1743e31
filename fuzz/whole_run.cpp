// A whole run, in process, on two grid files made of the input: the bytes before the first
// "%%%%" are the input grid and the bytes after it the zone grid; without the separator the
// same file is given as both grids.
//
// The plain stdio reader predicts the run from the same files: the exit code and the whole
// console (which message, and for a missing value which row and column), whether the report
// exists, and on success every row of the report, recomputed from the cells with a map by zone
// key. The report is parsed back field by field and compared with that recomputation.
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "fuzz_support.h"
#include "grid/grid.h"

namespace {

namespace fs = std::filesystem;
using fuzz_support::clear_console;
using fuzz_support::fail;
using fuzz_support::read_console;
using fuzz_support::read_whole_file;
namespace reference = fuzz_support::reference;

constexpr std::size_t max_input_size = 1 << 16;
// A grid of no columns prints one dot per row and reads nothing; more rows than this only cost
// time.
constexpr std::int32_t max_rows_without_columns = 100000;

const std::string banner =
    "\nGetting the statistics for values of a grid sorted by zones from a zone grid\n\n";
const std::string rule =
    "------------------------------------------------------------------------------------";

__attribute__((format(printf, 1, 2))) std::string formatted(const char *format, ...) {
    char text[512];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Running sums of one zone, added to in the tool's order of operations so that the figures
// agree to the last bit.
struct zone_sums {
    double number = 0;
    double sum = 0;
    double sum_sq = 0;
    double minimum = 0;
    double maximum = 0;
    double first_zone_value = 0;
};

void add_value(zone_sums &sums, double v) {
    sums.number += 1;
    sums.sum_sq += v * v;
    sums.sum += v;
    if (sums.number == 1) {
        sums.minimum = sums.maximum = v;
    } else {
        if (v < sums.minimum) sums.minimum = v;
        if (v > sums.maximum) sums.maximum = v;
    }
}

// The nine fields of a report row as they must read.
std::vector<std::string> expected_fields(long id, double zone_value, const zone_sums &sums) {
    const double average = sums.number > 0 ? sums.sum / sums.number : 0;
    double std_dev = 0;
    if (sums.number > 2) {
        const double variance =
            (sums.sum_sq - sums.sum * sums.sum / sums.number) / (sums.number - 1);
        if (variance > 0) std_dev = std::sqrt(variance);
    }
    return {formatted("%5ld", id),
            formatted("%.0f", zone_value),
            "",
            formatted("%.0f", sums.number),
            formatted("%.7g", sums.minimum),
            formatted("%.7g", sums.maximum),
            formatted("%.7g", sums.sum),
            formatted("%.7g", average),
            formatted("%.7g", std_dev)};
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.emplace_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

const char *const column_names[] = {"ID",      "zone_value", "(empty)", "number",  "minimum",
                                    "maximum", "Sum",        "average", "std.dev."};

void expect_row(const std::string &line, const std::vector<std::string> &expected,
                const char *which) {
    const std::vector<std::string> fields = split(line, '\t');
    if (fields.size() != expected.size())
        fail("report %s row has %zu fields: \"%s\"", which, fields.size(), line.c_str());
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i] != expected[i])
            fail("report %s row, column %s: \"%s\", recomputed \"%s\"", which, column_names[i],
                 fields[i].c_str(), expected[i].c_str());
}

void expect_report(const std::string &report_name, const std::string &input_name,
                   const std::string &zone_name, const std::map<double, zone_sums> &zones) {
    const std::string report = read_whole_file(report_name);
    if (report.empty() || report.back() != '\n') fail("report does not end with a line end");
    const std::vector<std::string> lines =
        split(std::string_view(report).substr(0, report.size() - 1), '\n');
    const std::size_t expected_lines = 4 + zones.size() + 4;
    if (lines.size() != expected_lines)
        fail("report has %zu lines, expected %zu for %zu zones", lines.size(), expected_lines,
             zones.size());
    const std::vector<std::string> head = {
        "statistical parameters for " + input_name + " within the zones from " + zone_name, rule,
        "ID\tzone_value\tnumber\tminimum\tmaximum\tSum\taverage\tstd.dev.", ""};
    for (std::size_t i = 0; i < head.size(); ++i)
        if (lines[i] != head[i]) fail("report head line %zu: \"%s\"", i + 1, lines[i].c_str());

    // The map walks the zones by ascending key, which is the ascending order of the zone values
    // (each zone holds the values of one key); the totals pool them in that order.
    zone_sums totals;
    long id = 0;
    for (const auto &[key, sums] : zones) {
        ++id;
        const std::string which = formatted("zone %ld", id);
        expect_row(lines[3 + static_cast<std::size_t>(id)],
                   expected_fields(id, sums.first_zone_value, sums), which.c_str());
        totals.number += sums.number;
        totals.sum += sums.sum;
        totals.sum_sq += sums.sum_sq;
        if (id == 1) {
            totals.minimum = sums.minimum;
            totals.maximum = sums.maximum;
        } else {
            if (sums.minimum < totals.minimum) totals.minimum = sums.minimum;
            if (sums.maximum > totals.maximum) totals.maximum = sums.maximum;
        }
    }
    const std::size_t after_rows = 4 + zones.size();
    if (!lines[after_rows].empty() || lines[after_rows + 1] != rule ||
        !lines[after_rows + 2].empty())
        fail("report: no closing rule after the zone rows");
    expect_row(lines[after_rows + 3], expected_fields(0, 0, totals), "totals");
}

// What the run must do, found with the reference reader.
struct prediction {
    int exit_code = 0;
    std::string console; // after the banner
    bool report_exists = true;
    std::map<double, zone_sums> zones;
    bool too_slow = false;
};

prediction predict(const std::string &input_name, const std::string &zone_name) {
    prediction p;
    reference::grid input;
    reference::grid zone;
    if (!reference::open(input_name, input) || !reference::open(zone_name, zone))
        fail("reference cannot open the grids");
    for (const auto *grid : {&input, &zone}) {
        if (grid->kind == reference::format::unknown) {
            p.exit_code = 98;
            p.console = "could not recognise file format (ascii, single or double) for " +
                        (grid == &input ? input_name : zone_name) + "\n";
            p.report_exists = false;
            return p;
        }
    }
    for (auto *grid : {&input, &zone}) {
        if (!reference::header(*grid)) {
            p.exit_code = 98;
            p.console =
                "invalid grid header in " + (grid == &input ? input_name : zone_name) + "\n";
            return p;
        }
    }
    if (!reference::same_geometry(input, zone)) {
        p.exit_code = 3;
        p.console = "zonegrid " + zone_name + " and input grid " + input_name +
                    " \ndoes not match the same geometry!. end.\n";
        return p;
    }
    if (input.ncols == 0 && input.nrows > max_rows_without_columns) {
        p.too_slow = true;
        return p;
    }
    for (std::int64_t row = 1; row <= input.nrows; ++row) {
        for (std::int64_t column = 1; column <= input.ncols; ++column) {
            double v = 0;
            double z = 0;
            const std::string *missing = nullptr;
            if (!reference::value(input, v))
                missing = &input_name;
            else if (!reference::value(zone, z))
                missing = &zone_name;
            if (missing != nullptr) {
                p.exit_code = 98;
                p.console +=
                    formatted("\ncould not read a value for row %lld, column %lld from ",
                              static_cast<long long>(row), static_cast<long long>(column)) +
                    *missing + "\n";
                return p;
            }
            // A NaN no-data value marks the NaN cells.
            const double threshold =
                std::isnan(input.nodata) ? -std::numeric_limits<double>::infinity() : input.nodata;
            if (v > threshold && z >= 0) {
                // From 2^52 on every double is whole, and the zone key is z itself.
                const double key = z >= 0x1p52 ? z : std::floor(z + 0.5);
                const auto [entry, inserted] = p.zones.try_emplace(key);
                if (inserted) entry->second.first_zone_value = z;
                add_value(entry->second, v);
            }
        }
        p.console += '.';
    }
    p.console += "\nsorting...\nwriting output...\n";
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > max_input_size) return -1;
    const fs::path &folder = fuzz_support::scratch_folder();
    const std::string input_name = (folder / "in").string();
    std::string zone_name = (folder / "zones").string();
    const std::string report_name = (folder / "report.txt").string();

    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const std::size_t separator = bytes.find("%%%%");
    if (separator == std::string_view::npos) {
        fuzz_support::write_file(input_name, data, size);
        zone_name = input_name;
    } else {
        fuzz_support::write_file(input_name, data, separator);
        fuzz_support::write_file(zone_name, data + separator + 4, size - separator - 4);
    }
    std::error_code ignored;
    fs::remove(report_name, ignored);

    // Files GDAL takes as rasters are beyond what the plain reader predicts.
    for (const std::string &name : {input_name, zone_name}) {
        grid_stream grid;
        if (open_grid(name, grid) == grid_open_result::ok && grid.format == grid_format::gdal)
            return -1;
    }
    const prediction expected = predict(input_name, zone_name);
    if (expected.too_slow) return -1;

    clear_console();
    std::vector<std::string> arguments = {"zonalstats", input_name, zone_name, report_name};
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int exit_code = run_zonalstats(static_cast<int>(arguments.size()), argv.data());
    const std::string console = read_console();

    if (exit_code != 0 && exit_code != 1 && exit_code != 3 && exit_code != 4 && exit_code != 98)
        fail("exit code %d is none of the documented ones; console: %s", exit_code,
             console.c_str());
    if (exit_code != expected.exit_code)
        fail("exit code %d, expected %d; console: %s", exit_code, expected.exit_code,
             console.c_str());
    if (console != banner + expected.console)
        fail("console \"%s\", expected \"%s\"", console.c_str(),
             (banner + expected.console).c_str());
    if (fs::exists(report_name) != expected.report_exists)
        fail("report exists is %d, expected %d", !expected.report_exists, expected.report_exists);
    if (exit_code == 0)
        expect_report(report_name, input_name, zone_name, expected.zones);
    else if (expected.report_exists && fs::file_size(report_name) != 0)
        fail("a failed run left a report that is not empty");
    return 0;
}
