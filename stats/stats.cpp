#include "stats/stats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <system_error>

// ---- the columns ----

namespace {

struct named_kind {
    std::string_view name;
    stat_kind kind;
};
constexpr named_kind named_kinds[] = {
    {"zone", stat_kind::zone},         {"count", stat_kind::count},
    {"nodata", stat_kind::nodata},     {"min", stat_kind::min},
    {"max", stat_kind::max},           {"range", stat_kind::range},
    {"sum", stat_kind::sum},           {"mean", stat_kind::mean},
    {"stddev", stat_kind::stddev},     {"pstddev", stat_kind::pstddev},
    {"median", stat_kind::median},     {"mode", stat_kind::mode},
    {"minority", stat_kind::minority}, {"variety", stat_kind::variety},
    {"frac", stat_kind::frac},         {"classes", stat_kind::classes},
};

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// "p", digits, and optionally a point and more digits; false where that is not the form or the
// number lies above 100.
bool read_percentile(std::string_view name, double &percent) {
    const std::string_view number = name.substr(1);
    std::size_t i = 0;
    while (i < number.size() && is_digit(number[i]))
        ++i;
    if (i == 0) return false;
    if (i < number.size()) {
        if (number[i] != '.') return false;
        const std::size_t fraction = ++i;
        while (i < number.size() && is_digit(number[i]))
            ++i;
        if (i == fraction || i != number.size()) return false;
    }
    const auto [end, error] =
        std::from_chars(number.data(), number.data() + number.size(), percent);
    return error == std::errc{} && end == number.data() + number.size() && percent <= 100;
}

} // namespace

std::string parse_stat_list(std::string_view list, std::vector<stat_column> &columns) {
    std::vector<stat_column> read;
    if (list.empty()) return "the list of statistics is empty";
    for (std::size_t start = 0;;) {
        const std::size_t comma = list.find(',', start);
        const std::string_view name = list.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (name.empty()) return "an empty name in the list of statistics";
        stat_column column;
        column.name = name;
        bool known = false;
        for (const named_kind &named : named_kinds) {
            if (named.name == name) {
                column.kind = named.kind;
                known = true;
            }
        }
        if (column.kind == stat_kind::median) column.percent = 50;
        if (!known && name.size() > 1 && name[0] == 'p' && (is_digit(name[1]) || name[1] == '.')) {
            if (!read_percentile(name, column.percent))
                return std::string(name) +
                       ": a percentile is p and a number from 0 to 100, such as p90 or p99.5";
            column.kind = stat_kind::percentile;
            known = true;
        }
        if (!known)
            return std::string(name) +
                   " is not a statistic; there are zone, count, nodata, min, max, range, sum, "
                   "mean, stddev, pstddev, median, pNN (a percentile from 0 to 100), mode, "
                   "minority, variety, frac and classes";
        for (const stat_column &earlier : read)
            if (earlier.name == column.name) return std::string(name) + " is asked for twice";
        read.push_back(std::move(column));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    // Every row is a zone's: the zone leads it, whether the list names it or not.
    const auto zone = std::find_if(read.begin(), read.end(), [](const stat_column &column) {
        return column.kind == stat_kind::zone;
    });
    if (zone == read.end())
        read.insert(read.begin(), stat_column{stat_kind::zone, 0, "zone"});
    else
        std::rotate(read.begin(), zone, zone + 1);
    columns = std::move(read);
    return "";
}

// ---- sorted runs of distinct values ----

void runs_merge(value_runs &runs) {
    std::vector<double> &recent = runs.recent;
    if (recent.empty()) return;
    std::sort(recent.begin(), recent.end());
    // How many of them are new, to make room before anything changes.
    std::size_t fresh = 0;
    const std::size_t old = runs.keys.size();
    for (std::size_t i = 0, at = 0; i < recent.size();) {
        const double x = recent[i];
        while (i < recent.size() && recent[i] == x)
            ++i;
        while (at < old && runs.keys[at] < x)
            ++at;
        fresh += !(at < old && runs.keys[at] == x);
    }
    const std::size_t size = old + fresh;
    if (size > runs.keys.capacity() || size > runs.counts.capacity()) {
        // A quarter more: little slack, and few reallocations.
        runs.keys.reserve(size + size / 4);
        runs.counts.reserve(size + size / 4);
    }
    runs.keys.resize(size);
    runs.counts.resize(size);
    // Merged in place from the top down, each run of equal recent values as one.
    std::size_t at = old;
    std::size_t to = size;
    for (std::size_t i = recent.size(); i > 0;) {
        const double x = recent[i - 1];
        std::uint64_t count = 0;
        for (; i > 0 && recent[i - 1] == x; --i)
            ++count;
        for (; at > 0 && runs.keys[at - 1] > x; --at) {
            --to;
            runs.keys[to] = runs.keys[at - 1];
            runs.counts[to] = runs.counts[at - 1];
        }
        if (at > 0 && runs.keys[at - 1] == x) count += runs.counts[--at];
        --to;
        runs.keys[to] = x;
        runs.counts[to] = count;
    }
    recent.clear();
}

// ---- value_counts ----

void stats_detail::add_outside_window(value_counts &counts, std::int64_t whole) {
    // The window may hold 4 counters per distinct value of the zone, and grows at least twice
    // as large each time, so that the copying costs O(1) per counter.
    const std::uint64_t distinct = counts.window_distinct + counts.others.keys.size() + 1;
    const std::uint64_t limit = 4 * distinct + 16;
    std::int64_t low = whole;
    std::int64_t high = whole;
    if (counts.window_size != 0) {
        const auto last = counts.window_base + static_cast<std::int64_t>(counts.window_size - 1);
        low = std::min(counts.window_base, whole);
        high = std::max(last, whole);
    }
    const auto needed = static_cast<std::uint64_t>(high - low) + 1;
    const std::uint64_t size = std::max({needed, 2 * counts.window_size, std::uint64_t{16}});
    if (size > limit) {
        runs_add(counts.others, static_cast<double>(whole));
        return;
    }
    auto window = std::make_unique<std::uint64_t[]>(size);
    std::int64_t base = low; // growing upwards: the room above
    if (counts.window_size == 0)
        base = whole - static_cast<std::int64_t>(size / 2); // room on both sides
    else if (whole < counts.window_base)
        base = high - static_cast<std::int64_t>(size) + 1; // growing downwards: the room below
    if (counts.window_size != 0)
        std::copy(counts.window.get(), counts.window.get() + counts.window_size,
                  window.get() + (counts.window_base - base));
    counts.window = std::move(window);
    counts.window_base = base;
    counts.window_size = size;
    ++counts.window[static_cast<std::uint64_t>(whole - base)];
    ++counts.window_distinct;
}

value_cursor cursor_start(const value_counts &counts) noexcept {
    value_cursor cursor;
    cursor.counts = &counts;
    return cursor;
}

bool cursor_next(value_cursor &cursor, double &value, std::uint64_t &count) noexcept {
    const value_counts &counts = *cursor.counts;
    while (cursor.window_at < counts.window_size && counts.window[cursor.window_at] == 0)
        ++cursor.window_at;
    const bool in_window = cursor.window_at < counts.window_size;
    const bool in_runs = cursor.others_at < counts.others.keys.size();
    if (!in_window && !in_runs) return false;
    const double window_value =
        in_window
            ? static_cast<double>(counts.window_base + static_cast<std::int64_t>(cursor.window_at))
            : 0;
    const double runs_value = in_runs ? counts.others.keys[cursor.others_at] : 0;
    count = 0;
    if (in_window && (!in_runs || window_value <= runs_value)) {
        value = window_value;
        count += counts.window[cursor.window_at++];
    }
    if (in_runs && (!in_window || runs_value <= window_value)) {
        value = runs_value;
        count += counts.others.counts[cursor.others_at++];
    }
    return true;
}

bool settle_values(zone_stats &stats, const zone_register &reg) noexcept {
    if (!stats.needs.values) return true;
    try {
        for (std::uint32_t id = 1; id <= reg.zone_count; ++id)
            runs_merge(extras_of(stats, id).values.others);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// ---- gathering ----

stat_needs needs_of(const std::vector<stat_column> &columns) noexcept {
    stat_needs needs;
    for (const stat_column &column : columns) {
        switch (column.kind) {
        case stat_kind::sum:
        case stat_kind::mean:
            needs.sums = true;
            break;
        case stat_kind::stddev:
        case stat_kind::pstddev:
            needs.sums = true;
            needs.squares = true;
            break;
        case stat_kind::median:
        case stat_kind::percentile:
        case stat_kind::mode:
        case stat_kind::minority:
        case stat_kind::variety:
        case stat_kind::frac:
        case stat_kind::classes:
            needs.values = true;
            break;
        default:
            break;
        }
    }
    return needs;
}

namespace {

// Stored together after a run, the compiler packs minimum and maximum into one vector register
// and unpacks them at every cell.
[[gnu::noinline]] void store_extremes(zone_record &record, double minimum,
                                      double maximum) noexcept {
    record.minimum = minimum;
    record.maximum = maximum;
}

// The table's accumulator: the register's count, sum (in file order, as the report adds it),
// minimum and maximum, and the zone's extras: its no-data cells, the fast part of its exact sums
// and its window of whole numbers held in locals while its cells come; a value outside the
// window, or one the exact sums' fast path can't take, is finished by add_slow.
template <bool sums, bool squares, bool values> struct table_accumulator {
    static constexpr bool registers_nodata_zones = true; // a zone of no-data cells has a row
    zone_register &reg;
    zone_stats &stats;
    zone_record *record; // the open zone's; while none is open, idle ones
    zone_extras *extras;
    bool exact_left = false; // the value add_slow finishes is still to go to the exact sums
    zone_record idle_record;
    zone_extras idle_extras;

    table_accumulator(zone_register &r, zone_stats &s, std::uint32_t open_id) noexcept
        : reg(r), stats(s), record(open_id == 0 ? &idle_record : &kenn_slot(r, open_id)),
          extras(open_id == 0 ? &idle_extras : &extras_of(s, open_id)) {}

    bool open(std::uint32_t id) {
        try {
            while (stats.extras.size() * extras_batch <= id)
                stats.extras.push_back(std::make_unique<zone_extras[]>(extras_batch));
        } catch (const std::bad_alloc &) {
            return false;
        }
        record = &kenn_slot(reg, id);
        extras = &extras_of(stats, id);
        return true;
    }

    bool add_slow(double x) {
        if (exact_left) {
            exact_left = false;
            try {
                exact_detail::add_slow(extras->sums, x, squares);
            } catch (const std::bad_alloc &) {
                // The cell is counted in the record but not in the exact sums: the run stops
                // here, as for want of memory for a zone.
                return false;
            }
        }
        if (values) {
            try {
                value_counts_add(extras->values, x);
            } catch (const std::bad_alloc &) {
                stats.out_of_value_memory = true;
                return false;
            }
        }
        return true;
    }

    // The count as a whole number: adding 1 to a double is exact up to 2^53 and four times as
    // slow. The first value sets minimum and maximum, as the infinities do for any value that
    // counts (never NaN, never -inf), without a test per cell. The table has no use for the sum
    // of squares.
    struct run {
        std::uint64_t number;
        double sum;
        double minimum;
        double maximum;
        std::uint64_t nodata;
        exact_int128 fast_sum;
        std::uint64_t squares0;
        std::uint64_t squares1;
        std::uint64_t squares2;
        double scale;
        bool exact_left = false;
        std::uint64_t *window;
        std::int64_t window_base;
        std::uint64_t window_size;
        std::uint64_t window_distinct;

        explicit run(const table_accumulator &acc) noexcept
            : number(static_cast<std::uint64_t>(acc.record->number)), sum(acc.record->sum),
              minimum(number == 0 ? std::numeric_limits<double>::infinity() : acc.record->minimum),
              maximum(number == 0 ? -std::numeric_limits<double>::infinity() : acc.record->maximum),
              nodata(acc.extras->nodata), fast_sum(acc.extras->sums.fast.sum),
              squares0(acc.extras->sums.fast.squares[0]),
              squares1(acc.extras->sums.fast.squares[1]),
              squares2(acc.extras->sums.fast.squares[2]), scale(acc.extras->sums.scale),
              window(acc.extras->values.window.get()), window_base(acc.extras->values.window_base),
              window_size(acc.extras->values.window_size),
              window_distinct(acc.extras->values.window_distinct) {}

        bool add(double x) noexcept {
            // zone_add, on the locals.
            number += 1;
            sum += x;
            minimum = x < minimum ? x : minimum;
            maximum = x > maximum ? x : maximum;
            if constexpr (sums) {
                if (!exact_add_fast(fast_sum, squares0, squares1, squares2, scale, x, squares)) {
                    exact_left = true;
                    return false;
                }
            }
            if constexpr (values) {
                // value_counts_add's own first step.
                constexpr double whole_limit = 9007199254740992.0; // 2^53
                if (!(std::fabs(x) <= whole_limit)) return false;
                const auto whole = static_cast<std::int64_t>(x);
                const auto slot = static_cast<std::uint64_t>(whole - window_base);
                if (static_cast<double>(whole) != x || slot >= window_size) return false;
                std::uint64_t &count = window[slot];
                window_distinct += count == 0;
                ++count;
            }
            return true;
        }
        void add_nodata() noexcept { ++nodata; }

        void close(table_accumulator &acc) const noexcept {
            zone_record &record = *acc.record;
            zone_extras &extras = *acc.extras;
            record.number = static_cast<double>(number);
            record.sum = sum;
            if (number != 0) store_extremes(record, minimum, maximum);
            extras.nodata = nodata;
            if constexpr (values) extras.values.window_distinct = window_distinct;
            if constexpr (sums) {
                extras.sums.fast = {fast_sum, {squares0, squares1, squares2}};
                extras.sums.count = number;
            }
            acc.exact_left = exact_left;
        }
    };
};

template <bool sums, bool squares, bool values>
std::size_t count_for_table(zone_counter &counter, const double *cell_values,
                            const double *cell_zones, std::size_t n) {
    table_accumulator<sums, squares, values> acc(*counter.reg, *counter.table, counter.open.id);
    return count_with(counter, acc, cell_values, cell_zones, n);
}

} // namespace

std::size_t count_table_cells(zone_counter &counter, const double *values, const double *zones,
                              std::size_t n) {
    const stat_needs needs = counter.table->needs;
    if (needs.squares)
        return needs.values ? count_for_table<true, true, true>(counter, values, zones, n)
                            : count_for_table<true, true, false>(counter, values, zones, n);
    if (needs.sums)
        return needs.values ? count_for_table<true, false, true>(counter, values, zones, n)
                            : count_for_table<true, false, false>(counter, values, zones, n);
    return needs.values ? count_for_table<false, false, true>(counter, values, zones, n)
                        : count_for_table<false, false, false>(counter, values, zones, n);
}

void start_stats_counting(zone_counter &counter, zone_stats &stats,
                          const std::vector<stat_column> &columns) {
    stats.needs = needs_of(columns);
    counter.table = &stats;
}

// ---- the figures ----

namespace {

// What a row is made of: a zone's, or the pooled figures of all zones.
struct gathered {
    bool has_zone = false;
    double zone = 0;
    double number = 0;
    double minimum = 0;
    double maximum = 0;
    std::uint64_t nodata = 0;
    const exact_sum *sums = nullptr;
};

stat_figure number_figure(double x) noexcept {
    stat_figure figure;
    figure.shape = stat_figure::form::number;
    figure.number = x;
    return figure;
}
stat_figure whole_figure(double x) noexcept {
    stat_figure figure;
    figure.shape = stat_figure::form::whole;
    figure.number = x;
    return figure;
}
stat_figure counter_figure(std::uint64_t n) noexcept {
    stat_figure figure;
    figure.shape = stat_figure::form::counter;
    figure.counter = n;
    return figure;
}

// The point a fraction f (0 < f < 1) of the way from a to b (a < b). a + f (b - a) is the
// closest where b - a is finite, as it is wherever a and b have one sign; where they lie so far
// apart on either side of 0 that b - a overflows, or one is infinite, the terms of
// a (1 - f) + b f can't overflow. Written out rather than std::lerp, so that the figure is the
// same whatever the standard library.
double interpolate(double a, double b, double f) noexcept {
    const double span = b - a;
    if (std::isfinite(span)) return a + f * span;
    return a * (1 - f) + b * f;
}

// Median, percentiles, mode, minority, variety, frac and classes from the distinct values in
// ascending order, as next_value gives them, of n values in all.
template <typename next_value>
void value_figures(stat_table &table, std::uint64_t n, next_value next, stat_figure *figures) {
    const std::vector<stat_column> &columns = *table.columns;
    const std::vector<double> &classes = table.classes;
    bool by_class = false;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (!per_class(columns[c].kind)) continue;
        by_class = true;
        // A class the zone lacks has no cells, and a share of 0 where the zone has cells at all.
        stat_figure none;
        if (columns[c].kind == stat_kind::classes)
            none = counter_figure(0);
        else if (n != 0)
            none = number_figure(0);
        std::fill_n(figures + table.field_at[c], classes.size(), none);
    }
    for (std::size_t c = 0; c < columns.size(); ++c) {
        stat_table::percentile_state &state = table.scratch[c];
        state = {};
        if (n == 0) continue;
        // Linear interpolation between the closest ranks: h = (n - 1) p / 100.
        const double h = static_cast<double>(n - 1) * columns[c].percent / 100;
        const double low = std::floor(h);
        state.low_rank = static_cast<std::uint64_t>(low);
        state.fraction = h - low;
    }
    double mode = 0;
    double minority = 0;
    std::uint64_t mode_count = 0;
    std::uint64_t minority_count = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t variety = 0;
    std::uint64_t start = 0;  // the rank of the value's first copy
    std::size_t class_at = 0; // in classes, which hold every value of every zone
    double x = 0;
    std::uint64_t k = 0;
    while (next(x, k)) {
        ++variety;
        if (by_class) {
            while (class_at < classes.size() && classes[class_at] < x)
                ++class_at;
            if (class_at < classes.size() && classes[class_at] == x) {
                for (std::size_t c = 0; c < columns.size(); ++c) {
                    const std::size_t field = table.field_at[c] + class_at;
                    if (columns[c].kind == stat_kind::classes)
                        figures[field] = counter_figure(k);
                    else if (columns[c].kind == stat_kind::frac)
                        figures[field] =
                            number_figure(static_cast<double>(k) / static_cast<double>(n));
                }
            }
        }
        // Strictly more or fewer: ties go to the smaller value.
        if (k > mode_count) {
            mode = x;
            mode_count = k;
        }
        if (k < minority_count) {
            minority = x;
            minority_count = k;
        }
        const std::uint64_t end = start + k;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (columns[c].kind != stat_kind::median && columns[c].kind != stat_kind::percentile)
                continue;
            stat_table::percentile_state &state = table.scratch[c];
            if (!state.have_low && state.low_rank < end) {
                state.low = x;
                state.have_low = true;
            }
            if (!state.have_high && state.low_rank + 1 < end) {
                state.high = x;
                state.have_high = true;
            }
        }
        start = end;
    }
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (per_class(columns[c].kind)) continue; // filled above, and maybe of no field at all
        stat_figure &figure = figures[table.field_at[c]];
        const stat_table::percentile_state &state = table.scratch[c];
        switch (columns[c].kind) {
        case stat_kind::median:
        case stat_kind::percentile:
            if (!state.have_low) break;
            if (state.fraction == 0 || !state.have_high || state.low == state.high)
                figure = number_figure(state.low);
            else
                figure = number_figure(interpolate(state.low, state.high, state.fraction));
            break;
        case stat_kind::mode:
            if (variety != 0) figure = number_figure(mode);
            break;
        case stat_kind::minority:
            if (variety != 0) figure = number_figure(minority);
            break;
        case stat_kind::variety:
            figure = counter_figure(variety);
            break;
        default:
            break;
        }
    }
}

template <typename next_value>
void fill_row(stat_table &table, const gathered &g, next_value next, stat_figure *figures) {
    const std::vector<stat_column> &columns = *table.columns;
    const bool counted = g.number > 0;
    bool wants_values = false;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (per_class(columns[c].kind)) {
            wants_values = true; // a field per class, maybe none
            continue;
        }
        stat_figure &figure = figures[table.field_at[c]];
        figure = stat_figure{};
        switch (columns[c].kind) {
        case stat_kind::zone:
            if (g.has_zone) figure = whole_figure(g.zone);
            break;
        case stat_kind::count:
            figure = whole_figure(g.number);
            break;
        case stat_kind::nodata:
            figure = counter_figure(g.nodata);
            break;
        case stat_kind::min:
            if (counted) figure = number_figure(g.minimum);
            break;
        case stat_kind::max:
            if (counted) figure = number_figure(g.maximum);
            break;
        case stat_kind::range:
            if (counted) figure = number_figure(g.maximum - g.minimum);
            break;
        case stat_kind::sum:
            figure = number_figure(exact_total(*g.sums));
            break;
        case stat_kind::mean:
            if (counted) figure = number_figure(exact_mean(*g.sums));
            break;
        case stat_kind::stddev:
            if (g.number > 1) figure = number_figure(exact_stddev(*g.sums, true));
            break;
        case stat_kind::pstddev:
            if (counted) figure = number_figure(exact_stddev(*g.sums, false));
            break;
        default:
            wants_values = true;
            break;
        }
    }
    if (wants_values) value_figures(table, static_cast<std::uint64_t>(g.number), next, figures);
}

struct merge_entry {
    double value = 0;
    std::uint64_t count = 0;
    value_cursor cursor;
};
bool later(const merge_entry &a, const merge_entry &b) noexcept {
    return a.value > b.value;
}

// The distinct values of all zones, merged in ascending order: a heap of a cursor per zone.
std::vector<merge_entry> merge_start(const stat_table &table) {
    std::vector<merge_entry> heap;
    for (const std::uint32_t id : table.order) {
        merge_entry entry;
        entry.cursor = cursor_start(extras_of(*table.stats, id).values);
        if (cursor_next(entry.cursor, entry.value, entry.count)) heap.push_back(entry);
    }
    std::make_heap(heap.begin(), heap.end(), later);
    return heap;
}

// The next value of all zones, with the counts of the zones added; false after the last.
bool merge_next(std::vector<merge_entry> &heap, double &value, std::uint64_t &count) noexcept {
    if (heap.empty()) return false;
    value = heap.front().value;
    count = 0;
    while (!heap.empty() && heap.front().value == value) {
        count += heap.front().count;
        std::pop_heap(heap.begin(), heap.end(), later);
        merge_entry &entry = heap.back();
        if (cursor_next(entry.cursor, entry.value, entry.count))
            std::push_heap(heap.begin(), heap.end(), later);
        else
            heap.pop_back();
    }
    return true;
}

// The classes of frac and classes: every value of every zone, which must be whole numbers.
void find_classes(stat_table &table) {
    std::vector<merge_entry> heap = merge_start(table);
    double x = 0;
    std::uint64_t k = 0;
    while (merge_next(heap, x, k)) {
        if (!std::isfinite(x) || std::floor(x) != x) {
            table.classes.clear();
            table.classes_not_whole = true;
            table.not_whole = x;
            return;
        }
        table.classes.push_back(x);
    }
}

} // namespace

void prepare_table(stat_table &table, const std::vector<stat_column> &columns,
                   const zone_register &reg, const zone_stats &stats, bool with_totals) {
    table.columns = &columns;
    table.reg = &reg;
    table.stats = &stats;
    table.scratch.assign(columns.size(), {});
    table.order.resize(reg.zone_count);
    for (std::uint32_t id = 1; id <= reg.zone_count; ++id)
        table.order[id - 1] = id;
    // Zone values of two zones are never equal, so any sort gives this order.
    std::sort(table.order.begin(), table.order.end(), [&reg](std::uint32_t a, std::uint32_t b) {
        return kenn_slot(reg, a).zone_value < kenn_slot(reg, b).zone_value;
    });
    const bool by_class = std::any_of(columns.begin(), columns.end(),
                                      [](const stat_column &c) { return per_class(c.kind); });
    table.classes.clear();
    table.classes_not_whole = false;
    if (by_class && stats.needs.values) find_classes(table);
    table.field_at.resize(columns.size());
    table.fields = 0;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        table.field_at[c] = table.fields;
        table.fields += per_class(columns[c].kind) ? table.classes.size() : 1;
    }
    table.totals.assign(table.fields, {});

    if (!with_totals) return;
    // The exact sums of all zones: the same whatever the order they are merged in.
    gathered all;
    exact_sum all_sums;
    all.sums = &all_sums;
    bool first = true;
    for (const std::uint32_t id : table.order) {
        const zone_record &record = kenn_slot(reg, id);
        const zone_extras &extras = extras_of(stats, id);
        all.nodata += extras.nodata;
        if (record.number == 0) continue;
        if (stats.needs.sums) exact_merge(all_sums, extras.sums);
        all.number += record.number;
        if (first || record.minimum < all.minimum) all.minimum = record.minimum;
        if (first || record.maximum > all.maximum) all.maximum = record.maximum;
        first = false;
    }
    std::vector<merge_entry> heap;
    if (stats.needs.values) heap = merge_start(table);
    fill_row(
        table, all,
        [&heap](double &value, std::uint64_t &count) { return merge_next(heap, value, count); },
        table.totals.data());
}

void zone_row(stat_table &table, std::size_t rank, stat_figure *figures) noexcept {
    const std::uint32_t id = table.order[rank];
    const zone_record &record = kenn_slot(*table.reg, id);
    const zone_extras &extras = extras_of(*table.stats, id);
    gathered g;
    g.has_zone = true;
    g.zone = zone_key(record.zone_value);
    g.number = record.number;
    g.minimum = record.minimum;
    g.maximum = record.maximum;
    g.nodata = extras.nodata;
    g.sums = &extras.sums;
    value_cursor cursor = cursor_start(extras.values);
    fill_row(
        table, g,
        [&cursor](double &value, std::uint64_t &count) {
            return cursor_next(cursor, value, count);
        },
        figures);
}
