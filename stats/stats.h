// The statistics of the table output (--csv, --json): the columns a run asks for, what is
// gathered per zone beyond the register's sums while the cells are counted, and each zone's
// figures at the end.
//
// Per zone, beside its record in the register: the cells of the zone whose value does not count
// (nodata), the exact sums of its values and, for stddev and pstddev, of their squares
// (exact_sum.h), and, only where median, percentiles, mode, minority, variety, frac or classes
// are asked for, the zone's distinct values with their counts (value_counts); those of frac and
// classes are the classes of a categorical raster. sum, mean, stddev and pstddev come from the
// exact sums, so they depend on the values alone, not on their order; the register's own sum is
// the report's, added in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "stats/exact_sum.h"
#include "zones/zones.h"

// ---- the columns ----

enum class stat_kind : std::uint8_t {
    zone,
    count,
    nodata,
    min,
    max,
    range,
    sum,
    mean,
    stddev,
    pstddev,
    median,
    percentile,
    mode,
    minority,
    variety,
    frac,    // the share of each class: a column per class
    classes, // the cells of each class: a column per class
};

// frac and classes spread over a field per class, every other statistic is one field.
inline bool per_class(stat_kind kind) noexcept {
    return kind == stat_kind::frac || kind == stat_kind::classes;
}

struct stat_column {
    stat_kind kind = stat_kind::zone;
    double percent = 0; // percentile and median: 0 to 100
    std::string name;   // as given, the column's name in the output
};

inline constexpr std::string_view default_stat_list = "zone,count,min,max,sum,mean,stddev";

// Reads a --stats list: names separated by commas, each at most once, in the order given. A
// percentile is "p" and a number from 0 to 100 of digits with an optional point and more digits
// (p90, p99.5). With frac or classes in the list, zone comes first, added where it is missing,
// since rows as wide as the classes need their key in front. Returns "" and sets columns, or
// says what is wrong.
std::string parse_stat_list(std::string_view list, std::vector<stat_column> &columns);

// ---- distinct values ----

// Distinct values with their counts: a sorted array of them, and the values added since it was
// last merged, as they came. When those reach half the array's size (at least 32), they are
// sorted and merged in, in place, in one sequential pass: O(log n) per value whatever the
// values, as std::sort is O(n log n) at worst; 16 bytes per distinct value (and up to a quarter
// more of room), 8 per value waiting. A merge that finds no memory leaves everything as it was.
struct value_runs {
    std::vector<double> keys; // ascending, each once
    std::vector<std::uint64_t> counts;
    std::vector<double> recent; // not merged yet
};

// Merges the recent values in. Throws std::bad_alloc.
void runs_merge(value_runs &runs);

// Counts x (not NaN; -0 as 0). Throws std::bad_alloc.
inline void runs_add(value_runs &runs, double x) {
    runs.recent.push_back(x + 0.0);
    if (runs.recent.size() >= 32 && runs.recent.size() >= runs.keys.size() / 2) runs_merge(runs);
}

// One zone's distinct values. Whole numbers go to a window of counters, one per whole number of
// its range, where they lie close together, as in class rasters and heights in whole metres; the
// window holds at most 4 counters per distinct value (plus 16), so no choice of values can make
// it large. Other values, and whole numbers the window would have to grow too far for, go to
// the sorted runs. A value in both counts once, with its counts added. -0 counts as 0.
struct value_counts {
    std::unique_ptr<std::uint64_t[]> window;
    std::int64_t window_base = 0; // the whole number counted in window[0]
    std::uint64_t window_size = 0;
    std::uint64_t window_distinct = 0; // counters above 0
    value_runs others;
};

namespace stats_detail {
void add_outside_window(value_counts &counts, std::int64_t whole);
}

// Counts x (not NaN). Throws std::bad_alloc when memory runs out.
inline void value_counts_add(value_counts &counts, double x) {
    constexpr double whole_limit = 9007199254740992.0; // 2^53: every whole number below is exact
    if (x >= -whole_limit && x <= whole_limit) {
        const auto whole = static_cast<std::int64_t>(x);
        if (static_cast<double>(whole) == x) {
            const auto slot = static_cast<std::uint64_t>(whole - counts.window_base);
            if (slot < counts.window_size) {
                std::uint64_t &count = counts.window[slot];
                counts.window_distinct += count == 0;
                ++count;
                return;
            }
            stats_detail::add_outside_window(counts, whole);
            return;
        }
    }
    runs_add(counts.others, x);
}

// Walks a value_counts, whose recent values are merged, in ascending order of value.
struct value_cursor {
    const value_counts *counts = nullptr;
    std::uint64_t window_at = 0;
    std::size_t others_at = 0;
};
value_cursor cursor_start(const value_counts &counts) noexcept;
// The next distinct value and its count; false after the last.
bool cursor_next(value_cursor &cursor, double &value, std::uint64_t &count) noexcept;

// ---- gathering ----

// The exact sums first: their 128-bit sum aligns them to 16 bytes, which nodata would pad.
struct zone_extras {
    exact_sum sums;
    std::uint64_t nodata = 0;
    value_counts values;
};

// What the columns need beyond the register's sums and the no-data counts.
struct stat_needs {
    bool sums = false;    // sum, mean, stddev, pstddev
    bool squares = false; // stddev, pstddev
    bool values = false;  // median, percentiles, mode, minority, variety, frac, classes
};
stat_needs needs_of(const std::vector<stat_column> &columns) noexcept;

inline constexpr std::uint32_t extras_batch = 1024;

// The extras of every zone, by zone ID.
struct zone_stats {
    stat_needs needs;
    std::vector<std::unique_ptr<zone_extras[]>> extras; // ID i at [i / extras_batch][i % ...]
    bool out_of_value_memory = false; // counting stopped for want of memory for values
};

inline zone_extras &extras_of(zone_stats &stats, std::uint32_t id) noexcept {
    return stats.extras[id / extras_batch][id % extras_batch];
}
inline const zone_extras &extras_of(const zone_stats &stats, std::uint32_t id) noexcept {
    return stats.extras[id / extras_batch][id % extras_batch];
}

// Makes the counter gather what the columns need into stats. Then a zone is registered for
// every cell whose zone value is not negative and not NaN, also where its value does not count,
// so that a zone met only through no-data cells has a row. When counting stops for want of
// memory, stats.out_of_value_memory tells whether it was memory for distinct values (else it was
// memory for zones).
void start_stats_counting(zone_counter &counter, zone_stats &stats,
                          const std::vector<stat_column> &columns);

// After the count: merges every zone's recent values, so that the values can be walked. False
// when memory runs out.
bool settle_values(zone_stats &stats, const zone_register &reg) noexcept;

// ---- the figures ----

struct stat_figure {
    enum class form : std::uint8_t {
        none,    // the figure does not exist (an empty field, null)
        number,  // any double
        whole,   // a whole double, printed with all its digits
        counter, // an unsigned count
    };
    form shape = form::none;
    double number = 0;
    std::uint64_t counter = 0;
};

// Everything the rows need, made after the count: the zones in ascending order and the figures
// over all of them.
struct stat_table {
    const std::vector<stat_column> *columns = nullptr;
    const zone_register *reg = nullptr;
    const zone_stats *stats = nullptr;
    std::vector<std::uint32_t> order; // zone IDs in ascending zone
    // frac and classes: every value counted in any zone, ascending, each a whole number.
    std::vector<double> classes;
    // Where a value that is no whole number left classes empty: the smallest such value.
    bool classes_not_whole = false;
    double not_whole = 0;
    std::vector<std::size_t> field_at; // per column, its first field in a row
    std::size_t fields = 0;            // in a row: one per column, or per class for frac, classes
    std::vector<stat_figure> totals;   // fields of them
    struct percentile_state {
        std::uint64_t low_rank = 0;
        double fraction = 0;
        double low = 0;
        double high = 0;
        bool have_low = false;
        bool have_high = false;
    };
    std::vector<percentile_state> scratch; // one per column
};

// Orders the zones, finds the classes where a column asks for them and, with_totals, works out
// the figures over all counted cells (totals). Throws std::bad_alloc; the rows then need no more
// memory.
void prepare_table(stat_table &table, const std::vector<stat_column> &columns,
                   const zone_register &reg, const zone_stats &stats, bool with_totals);

// The figures of the zone of rank `rank` (from 0, in ascending zone order), table.fields of them
// in column order: one per column, one per class of table.classes for frac (the share of the
// zone's counted cells, 0 where it has none of the class; none where it has no counted cell)
// and for classes (the count).
void zone_row(stat_table &table, std::size_t rank, stat_figure *figures) noexcept;
