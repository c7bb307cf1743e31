// The table output's statistics: the --stats list, the distinct values of a zone, and every
// figure of a zone and of all zones against a model that keeps every value and sorts them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "stats/stats.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

TEST(StatList, ReadsNamesInOrder) {
    std::vector<stat_column> columns;
    ASSERT_EQ(parse_stat_list("zone,count,nodata,min,max,range,sum,mean,stddev,pstddev,median,"
                              "p0,p99.5,p100,p007,mode,minority,variety",
                              columns),
              "");
    const stat_kind kinds[] = {stat_kind::zone,       stat_kind::count,      stat_kind::nodata,
                               stat_kind::min,        stat_kind::max,        stat_kind::range,
                               stat_kind::sum,        stat_kind::mean,       stat_kind::stddev,
                               stat_kind::pstddev,    stat_kind::median,     stat_kind::percentile,
                               stat_kind::percentile, stat_kind::percentile, stat_kind::percentile,
                               stat_kind::mode,       stat_kind::minority,   stat_kind::variety};
    ASSERT_EQ(columns.size(), std::size(kinds));
    for (std::size_t i = 0; i < columns.size(); ++i)
        EXPECT_EQ(columns[i].kind, kinds[i]) << columns[i].name;
    EXPECT_EQ(columns[10].percent, 50);
    EXPECT_EQ(columns[11].percent, 0);
    EXPECT_EQ(columns[12].percent, 99.5);
    EXPECT_EQ(columns[12].name, "p99.5");
    EXPECT_EQ(columns[13].percent, 100);
    EXPECT_EQ(columns[14].percent, 7);
    ASSERT_EQ(parse_stat_list(default_stat_list, columns), "");
    EXPECT_EQ(columns.size(), 7u);
}

TEST(StatList, RefusesWhatIsNoStatistic) {
    struct bad_case {
        std::string list;
        std::string message;
    } cases[] = {
        {"", "the list of statistics is empty"},
        {"zone,,count", "an empty name in the list of statistics"},
        {"count,", "an empty name in the list of statistics"},
        {"foo", "foo is not a statistic; there are zone, count, nodata, min, max, range, sum, "
                "mean, stddev, pstddev, median, pNN (a percentile from 0 to 100), mode, minority, "
                "variety, frac and classes"},
        {"Count", "Count is not a statistic"},
        {"p", "p is not a statistic"},
        {"count,count", "count is asked for twice"},
        {"p101", "p101: a percentile is p and a number from 0 to 100, such as p90 or p99.5"},
        {"p100.5", "p100.5: a percentile"},
        {"p1e1", "p1e1: a percentile"},
        {"p.5", "p.5: a percentile"},
        {"p5.", "p5.: a percentile"},
        {"p-5", "p-5 is not a statistic"},
        {"p 5", "p 5 is not a statistic"},
        {" zone", " zone is not a statistic"},
    };
    for (const bad_case &c : cases) {
        std::vector<stat_column> columns(1);
        const std::string message = parse_stat_list(c.list, columns);
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << c.list << ": " << message;
        EXPECT_EQ(columns.size(), 1u) << "left as it was";
    }
}

// The zone comes first, once, wherever the list has it, and is added where it lacks it.
TEST(StatList, ZoneLeadsEveryList) {
    const std::pair<std::string, std::string> cases[] = {
        {"frac", "zone,frac"},
        {"count,classes", "zone,count,classes"},
        {"mean,frac,zone,classes", "zone,mean,frac,classes"},
        {"zone,classes", "zone,classes"},
        {"mean,zone", "zone,mean"},
        {"count,mean", "zone,count,mean"},
    };
    for (const auto &[list, names] : cases) {
        std::vector<stat_column> columns;
        ASSERT_EQ(parse_stat_list(list, columns), "") << list;
        std::string got;
        for (const stat_column &column : columns)
            got += (got.empty() ? "" : ",") + column.name;
        EXPECT_EQ(got, names) << list;
        EXPECT_EQ(columns[0].kind, stat_kind::zone);
    }
    std::vector<stat_column> columns;
    EXPECT_EQ(parse_stat_list("frac,zone,frac", columns), "frac is asked for twice");
    EXPECT_EQ(parse_stat_list("zone,classes,zone", columns), "zone is asked for twice");
}

// ---- distinct values ----

std::map<double, std::uint64_t> walk(const value_counts &counts) {
    std::map<double, std::uint64_t> seen;
    value_cursor cursor = cursor_start(counts);
    double value = 0;
    std::uint64_t count = 0;
    double last = -inf;
    bool first = true;
    while (cursor_next(cursor, value, count)) {
        EXPECT_TRUE(first || value > last) << "ascending, each value once: " << value;
        EXPECT_FALSE(std::signbit(value) && value == 0) << "-0 counts as 0";
        EXPECT_GT(count, 0u);
        seen[value] = count;
        last = value;
        first = false;
    }
    return seen;
}

std::vector<double> pattern(const std::string &name) {
    std::mt19937_64 random(7);
    std::vector<double> values;
    for (int i = 0; i < 20000; ++i) {
        const double step = static_cast<double>(i);
        if (name == "dense whole numbers")
            values.push_back(
                std::round(300 * std::sin(step / 500) + static_cast<double>(random() % 7)));
        else if (name == "ascending")
            values.push_back(step);
        else if (name == "descending")
            values.push_back(-step);
        else if (name == "stride 1000")
            values.push_back(step * 1000);
        else if (name == "stride 3.9 on average") // just short of the window's density limit
            values.push_back(std::floor(step * 3.9));
        else if (name == "far apart")
            values.push_back(i % 2 ? 1e15 + step : -1e15 - step);
        else if (name == "floats")
            values.push_back(static_cast<double>(random() % 100000) / 7.0);
        else if (name == "few floats, many times")
            values.push_back(0.5 + static_cast<double>(random() % 40));
        else if (name == "edges") {
            const double edge[] = {-0.0,
                                   0.0,
                                   inf,
                                   9007199254740992.0,
                                   9007199254740993.0 + 1,
                                   -9007199254740992.0,
                                   1e300,
                                   -1e300,
                                   0.1,
                                   4.9e-324};
            values.push_back(edge[random() % std::size(edge)]);
        } else if (name == "mixed")
            values.push_back(random() % 3 ? static_cast<double>(random() % 500)
                                          : static_cast<double>(random() % 1000000) + 0.25);
    }
    return values;
}

TEST(ValueCounts, HoldEveryValueWithItsCountWhateverTheValues) {
    for (const std::string name :
         {"dense whole numbers", "ascending", "descending", "stride 1000", "stride 3.9 on average",
          "far apart", "floats", "few floats, many times", "edges", "mixed"}) {
        SCOPED_TRACE(name);
        value_counts counts;
        std::map<double, std::uint64_t> model;
        for (const double x : pattern(name)) {
            value_counts_add(counts, x);
            ++model[x + 0.0];
            // The window never outgrows 4 counters per distinct value, plus 16.
            ASSERT_LE(counts.window_size,
                      4 * (counts.window_distinct + counts.others.keys.size()) + 16);
            // Values wait to be merged at most until there are half as many as merged ones.
            ASSERT_LE(counts.others.recent.size(),
                      std::max<std::size_t>(32, counts.others.keys.size() / 2));
        }
        runs_merge(counts.others);
        EXPECT_EQ(walk(counts), model);
    }
}

TEST(ValueRuns, KeepManyValuesInOrder) {
    std::mt19937_64 random(5);
    value_runs runs;
    std::map<double, std::uint64_t> model;
    for (int i = 0; i < 300000; ++i) {
        const double x = static_cast<double>(random() % 200000) - 100000.5;
        runs_add(runs, x);
        ++model[x];
    }
    runs_merge(runs);
    EXPECT_TRUE(runs.recent.empty());
    ASSERT_EQ(runs.keys.size(), model.size());
    ASSERT_EQ(runs.counts.size(), model.size());
    std::size_t i = 0;
    for (const auto &[x, count] : model) {
        ASSERT_EQ(runs.keys[i], x);
        ASSERT_EQ(runs.counts[i], count);
        ++i;
    }
}

// ---- the figures, through the counter ----

struct counted_table {
    zone_register reg;
    zone_stats stats;
    std::vector<stat_column> columns;
    stat_table table;
    std::vector<std::vector<stat_figure>> rows; // table.fields each
};

const std::string all_columns = "zone,count,nodata,min,max,range,sum,mean,stddev,pstddev,median,"
                                "p0,p10,p33.3,p99.5,p100,mode,minority,variety";

// Counts the pairs through count_cells in runs of the given lengths (cycled), then makes the
// rows.
void count_table(counted_table &t, const std::vector<double> &values,
                 const std::vector<double> &zones, double nodata,
                 const std::vector<std::size_t> &runs = {1000000},
                 const std::string &list = all_columns) {
    std::uint32_t failed = 0;
    ASSERT_EQ(register_create(t.reg, failed), register_create_result::ok);
    register_clear(t.reg);
    ASSERT_EQ(parse_stat_list(list, t.columns), "");
    zone_counter counter = start_counting(t.reg, nodata);
    start_stats_counting(counter, t.stats, t.columns);
    for (std::size_t i = 0, r = 0; i < values.size(); ++r) {
        const std::size_t n = std::min(runs[r % runs.size()], values.size() - i);
        ASSERT_EQ(count_cells(counter, values.data() + i, zones.data() + i, n), n);
        i += n;
    }
    finish_counting(counter);
    ASSERT_TRUE(settle_values(t.stats, t.reg));
    prepare_table(t.table, t.columns, t.reg, t.stats, true);
    for (std::size_t rank = 0; rank < t.table.order.size(); ++rank) {
        t.rows.emplace_back(t.table.fields);
        zone_row(t.table, rank, t.rows.back().data());
    }
}

// Every value of a zone, kept and sorted.
struct model_zone {
    std::vector<double> values; // in file order
    std::uint64_t nodata = 0;
};

// The sum correctly rounded, by another way than the table's: non-overlapping partial sums
// (Shewchuk's), then the top ones added with the last rounding corrected, as Python's
// math.fsum does. Infinities as IEEE addition has them; no finite sum here overflows.
double model_sum(const std::vector<double> &values) {
    std::vector<double> partials;
    double special = 0;
    for (double x : values) {
        if (!std::isfinite(x)) {
            special += x;
            continue;
        }
        std::size_t kept = 0;
        for (double y : partials) {
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double high = x + y;
            const double low = y - (high - x);
            if (low != 0) partials[kept++] = low;
            x = high;
        }
        partials.resize(kept);
        partials.push_back(x);
    }
    if (special != 0 || std::isnan(special)) return special;
    double high = 0;
    std::size_t n = partials.size();
    if (n == 0) return 0;
    high = partials[--n];
    double low = 0;
    while (n > 0) {
        const double x = high;
        const double y = partials[--n];
        high = x + y;
        low = y - (high - x);
        if (low != 0) break;
    }
    // Half-way between two doubles: the partials below decide the side.
    if (n > 0 && ((low < 0 && partials[n - 1] < 0) || (low > 0 && partials[n - 1] > 0))) {
        const double y = low * 2;
        const double x = high + y;
        if (y == x - high) high = x;
    }
    return high;
}

// Two passes in long double: the exact mean to within far less than the figures' precision.
long double model_squares(const std::vector<double> &values) {
    long double mean = 0;
    for (const double x : values)
        mean += x;
    mean /= static_cast<long double>(values.size());
    long double squares = 0;
    for (const double x : values)
        squares += (x - mean) * (x - mean);
    return squares;
}

std::vector<stat_figure> model_row(const std::vector<stat_column> &columns, bool has_zone,
                                   double key, const model_zone &zone) {
    std::vector<double> sorted = zone.values;
    std::sort(sorted.begin(), sorted.end());
    std::map<double, std::uint64_t> tally;
    for (const double x : sorted)
        ++tally[x];
    const std::size_t n = sorted.size();
    std::vector<stat_figure> row(columns.size());
    const auto number = [](double x) {
        stat_figure f;
        f.shape = stat_figure::form::number;
        f.number = x;
        return f;
    };
    const auto whole = [](double x) {
        stat_figure f;
        f.shape = stat_figure::form::whole;
        f.number = x;
        return f;
    };
    const auto counter = [](std::uint64_t k) {
        stat_figure f;
        f.shape = stat_figure::form::counter;
        f.counter = k;
        return f;
    };
    for (std::size_t c = 0; c < columns.size(); ++c) {
        stat_figure &f = row[c];
        switch (columns[c].kind) {
        case stat_kind::zone:
            if (has_zone) f = whole(key);
            break;
        case stat_kind::count:
            f = whole(static_cast<double>(n));
            break;
        case stat_kind::nodata:
            f = counter(zone.nodata);
            break;
        case stat_kind::min:
            if (n) f = number(sorted.front());
            break;
        case stat_kind::max:
            if (n) f = number(sorted.back());
            break;
        case stat_kind::range:
            if (n) f = number(sorted.back() - sorted.front());
            break;
        case stat_kind::sum:
            f = number(model_sum(zone.values));
            break;
        case stat_kind::mean:
            // The exact sum over n, rounded twice here: within an ulp of the table's.
            if (n) f = number(model_sum(zone.values) / static_cast<double>(n));
            break;
        case stat_kind::stddev:
            if (n > 1)
                f = number(static_cast<double>(
                    std::sqrt(model_squares(zone.values) / static_cast<long double>(n - 1))));
            break;
        case stat_kind::pstddev:
            if (n)
                f = number(static_cast<double>(
                    std::sqrt(model_squares(zone.values) / static_cast<long double>(n))));
            break;
        case stat_kind::median:
        case stat_kind::percentile:
            if (n) {
                const double h = static_cast<double>(n - 1) * columns[c].percent / 100;
                const auto k = static_cast<std::size_t>(std::floor(h));
                const double fraction = h - std::floor(h);
                const double low = sorted[k];
                const double high = k + 1 < n ? sorted[k + 1] : low;
                // Where high - low overflows, the form whose terms can't.
                const double span = high - low;
                const double between = std::isfinite(span) ? low + fraction * span
                                                           : low * (1 - fraction) + high * fraction;
                f = number(fraction == 0 || low == high ? low : between);
            }
            break;
        case stat_kind::mode:
        case stat_kind::minority:
            if (n) {
                auto best = tally.begin();
                for (auto it = tally.begin(); it != tally.end(); ++it) {
                    if (columns[c].kind == stat_kind::mode ? it->second > best->second
                                                           : it->second < best->second)
                        best = it;
                }
                f = number(best->first);
            }
            break;
        case stat_kind::variety:
            f = counter(tally.size());
            break;
        case stat_kind::frac:
        case stat_kind::classes:
            break; // a field per class: ClassFigures
        }
    }
    return row;
}

void expect_same(const std::vector<stat_column> &columns, const std::vector<stat_figure> &got,
                 const std::vector<stat_figure> &want, const std::string &where) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
        SCOPED_TRACE(where + ", " + columns[c].name);
        ASSERT_EQ(got[c].shape, want[c].shape);
        EXPECT_EQ(got[c].counter, want[c].counter);
        const double a = got[c].number;
        const double b = want[c].number;
        if (std::isnan(b)) {
            EXPECT_TRUE(std::isnan(a)) << a;
        } else if (columns[c].kind == stat_kind::stddev || columns[c].kind == stat_kind::pstddev) {
            EXPECT_LE(std::fabs(a - b), 1e-12 * std::fabs(b) + 1e-300) << a << " " << b;
        } else if (columns[c].kind == stat_kind::mean && std::isfinite(b)) {
            EXPECT_LE(std::fabs(a - b), 0x1p-52 * std::fabs(b)) << a << " " << b;
        } else {
            EXPECT_EQ(a, b); // -0 and 0 alike
        }
    }
}

struct figures_case {
    const char *name;
    std::vector<double> values;
    std::vector<double> zones;
    double nodata = -9999;
};

void check_against_model(const figures_case &c, const std::vector<std::size_t> &runs) {
    SCOPED_TRACE(c.name);
    counted_table t;
    count_table(t, c.values, c.zones, c.nodata, runs);
    const double threshold = counting_threshold(c.nodata);
    std::map<double, model_zone> zones;
    for (std::size_t i = 0; i < c.values.size(); ++i) {
        if (!(c.zones[i] >= 0)) continue;
        model_zone &zone = zones[zone_key(c.zones[i])];
        if (c.values[i] > threshold) {
            zone.values.push_back(c.values[i]);
        } else {
            ++zone.nodata;
        }
    }
    ASSERT_EQ(t.rows.size(), zones.size());
    model_zone all;
    std::size_t rank = 0;
    for (const auto &[key, zone] : zones) {
        expect_same(t.columns, t.rows[rank], model_row(t.columns, true, key, zone),
                    "zone " + std::to_string(key));
        all.values.insert(all.values.end(), zone.values.begin(), zone.values.end());
        all.nodata += zone.nodata;
        ++rank;
    }
    expect_same(t.columns, t.table.totals, model_row(t.columns, false, 0, all), "all");
}

std::vector<figures_case> small_cases() {
    return {
        {"ties for mode and minority", {3, 1, 1, 2, 2, 3, 4, 4}, {1, 1, 1, 1, 1, 1, 1, 1}},
        {"one value", {5}, {2}},
        {"two values", {5, 8}, {2, 2}},
        {"all no-data", {-9999, -10000, -9999}, {1, 1, 2}},
        {"no-data and counted in one zone", {-9999, 4, nan, 6}, {3, 3, 3, 3}},
        {"NaN cells", {nan, 1, 2, 7}, {1, nan, 1, nan}},
        {"negative and half-way zone values",
         {1, 2, 3, 4, 5, 6, 7, 8},
         {-0.4, -0.0, 0.4, 0.5, 1.49, 2.5, -1, 3.4}},
        {"large keys",
         {1, 2, 3, 4, 5, 6},
         {4503599627370497.0, 4503599627370498.0, 1e300, inf, 1000001.3, 1000000.7}},
        {"whole numbers", {12, 15, 12, 9, 15, 15, 12, 0, -3, 12}, {1, 1, 1, 1, 1, 2, 2, 2, 2, 2}},
        {"float values",
         {0.1, 0.2, 0.30000000000000004, 1e-300, -1e300, 0.1, 2.5},
         {7, 7, 7, 7, 7, 7, 7}},
        {"-0 and 0 are one value", {-0.0, 0.0, -0.0, 1}, {1, 1, 1, 1}},
        {"infinite values", {inf, 1, inf, 2}, {1, 1, 1, 2}},
        {"NaN as no-data", {-9999, nan, -inf, 3, inf}, {1, 1, 1, 1, 1}, nan},
        {"values far apart", {0, 1e9, 1e9, -1e9, 0.5, 1e15}, {1, 1, 1, 1, 1, 1}},
        {"large offset, small spread", {1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 4}, {1, 1, 1, 1}},
        {"the same large value three times", {1e8 + 0.1, 1e8 + 0.1, 1e8 + 0.1}, {1, 1, 1}},
        {"no cell at all", {}, {}},
    };
}

TEST(TableFigures, SmallCasesMatchTheModel) {
    for (const figures_case &c : small_cases()) {
        check_against_model(c, {1000000});
        check_against_model(c, {1, 2});
    }
}

// Zones that alternate and come back, runs of each zone longer than a batch of pending values,
// windows that grow, values that go to the sorted runs: every figure as the model has it, and the
// register's count, sum, minimum and maximum exactly those count_cells gives for the report.
TEST(TableFigures, RandomGridsMatchTheModelAndTheReportsSums) {
    std::mt19937_64 random(3);
    figures_case c{"random", {}, {}};
    double zone = 0;
    for (int i = 0; i < 60000; ++i) {
        if (random() % 150 == 0)
            zone = static_cast<double>(random() % 40) + (random() % 2 ? 0.3 : 0);
        if (random() % 500 == 0) zone = 1e6 + static_cast<double>(random() % 3);
        double z = zone;
        if (random() % 97 == 0) z = -1;
        if (random() % 101 == 0) z = nan;
        double v = static_cast<double>(random() % 200) + (random() % 5 == 0 ? 0.125 : 0);
        if (random() % 300 == 0) v = static_cast<double>(random() % 1000000) * 1000;
        if (random() % 89 == 0) v = -9999;
        if (random() % 103 == 0) v = nan;
        c.values.push_back(v);
        c.zones.push_back(z);
    }
    check_against_model(c, {1000000});

    zone_register plain;
    std::uint32_t failed = 0;
    ASSERT_EQ(register_create(plain, failed), register_create_result::ok);
    register_clear(plain);
    zone_counter counter = start_counting(plain, -9999);
    ASSERT_EQ(count_cells(counter, c.values.data(), c.zones.data(), c.values.size()),
              c.values.size());
    finish_counting(counter);
    counted_table t;
    count_table(t, c.values, c.zones, -9999);
    std::map<double, zone_record> by_key;
    for (std::uint32_t id = 1; id <= plain.zone_count; ++id)
        by_key[zone_key(kenn_slot(plain, id).zone_value)] = kenn_slot(plain, id);
    for (std::uint32_t id = 1; id <= t.reg.zone_count; ++id) {
        const zone_record &table_record = kenn_slot(t.reg, id);
        const auto found = by_key.find(zone_key(table_record.zone_value));
        if (found == by_key.end()) {
            EXPECT_EQ(table_record.number, 0) << "a zone only the table registers";
            continue;
        }
        const zone_record &a = found->second;
        EXPECT_EQ(table_record.number, a.number);
        EXPECT_EQ(std::memcmp(&table_record.sum, &a.sum, sizeof a.sum), 0);
        EXPECT_EQ(std::memcmp(&table_record.minimum, &a.minimum, sizeof a.minimum), 0);
        EXPECT_EQ(std::memcmp(&table_record.maximum, &a.maximum, sizeof a.maximum), 0);
    }
}

// Zones that change every few cells, zone values of one key (2.6, 3.1, 3.4; 600000.2, 600000.4
// beyond zarray), values the fast paths can't take, and a zone whose cells are all no-data: both
// outputs count the same in blocks cut anywhere as in one. The zone of no-data cells has a row
// in the table (count 0) and is not in the report's register.
TEST(TableFigures, BothOutputsCountZoneSwitchesTheSameInAnyBlocks) {
    std::mt19937_64 random(17);
    const double zone_values[] = {2.6, 3.1, 3.4, 0, 9, 600000.2, 600000.4, 0x1p53, -1, nan};
    const double only_nodata = 7;
    std::vector<double> values;
    std::vector<double> zones;
    while (values.size() < 40000) {
        const bool nodata_zone = random() % 12 == 0;
        const double z = nodata_zone ? only_nodata : zone_values[random() % std::size(zone_values)];
        for (std::uint64_t k = 1 + random() % 20; k > 0; --k) {
            double v = static_cast<double>(random() % 300);
            if (random() % 7 == 0) v = std::ldexp(static_cast<double>(random() % 100000), -9);
            if (random() % 50 == 0) v = 1e300 * static_cast<double>(random() % 3 + 1);
            if (random() % 11 == 0) v = random() % 2 ? -9999.0 : nan;
            values.push_back(nodata_zone ? -9999.0 : v);
            zones.push_back(z);
        }
    }
    std::vector<std::size_t> runs;
    for (int r = 0; r < 300; ++r)
        runs.push_back(1 + random() % 60);

    const auto count_report = [&](zone_register &reg, const std::vector<std::size_t> &cuts) {
        std::uint32_t failed = 0;
        ASSERT_EQ(register_create(reg, failed), register_create_result::ok);
        register_clear(reg);
        zone_counter counter = start_counting(reg, -9999);
        for (std::size_t i = 0, r = 0; i < values.size(); ++r) {
            const std::size_t n = std::min(cuts[r % cuts.size()], values.size() - i);
            ASSERT_EQ(count_cells(counter, values.data() + i, zones.data() + i, n), n);
            i += n;
        }
        finish_counting(counter);
    };
    zone_register report_at_once;
    zone_register report_cut;
    count_report(report_at_once, {values.size()});
    count_report(report_cut, runs);
    ASSERT_EQ(report_cut.zone_count, report_at_once.zone_count);
    for (std::uint32_t id = 1; id <= report_at_once.zone_count; ++id) {
        const zone_record &a = kenn_slot(report_at_once, id);
        ASSERT_EQ(std::memcmp(&a, &kenn_slot(report_cut, id), sizeof a), 0) << "zone " << id;
        EXPECT_NE(zone_key(a.zone_value), only_nodata);
    }

    counted_table at_once;
    counted_table cut;
    count_table(at_once, values, zones, -9999);
    count_table(cut, values, zones, -9999, runs);
    ASSERT_EQ(at_once.reg.zone_count, report_at_once.zone_count + 1);
    ASSERT_EQ(cut.rows.size(), at_once.rows.size());
    bool met_only_nodata = false;
    for (std::size_t r = 0; r < at_once.rows.size(); ++r) {
        for (std::size_t c = 0; c < at_once.columns.size(); ++c) {
            const stat_figure &a = cut.rows[r][c];
            const stat_figure &b = at_once.rows[r][c];
            ASSERT_TRUE(a.shape == b.shape && a.counter == b.counter &&
                        std::memcmp(&a.number, &b.number, sizeof a.number) == 0)
                << "row " << r << ", " << at_once.columns[c].name;
        }
        if (at_once.rows[r][0].number == only_nodata) {
            met_only_nodata = true;
            EXPECT_EQ(at_once.rows[r][1].number, 0);
            EXPECT_GT(at_once.rows[r][2].counter, 0u);
        }
    }
    EXPECT_TRUE(met_only_nodata);
    // The register's own sums of the table are the report's, to the bit.
    for (std::uint32_t id = 1; id <= cut.reg.zone_count; ++id) {
        const zone_record &t = kenn_slot(cut.reg, id);
        if (zone_key(t.zone_value) == only_nodata) continue;
        bool found = false;
        for (std::uint32_t j = 1; j <= report_at_once.zone_count; ++j) {
            const zone_record &a = kenn_slot(report_at_once, j);
            if (zone_key(a.zone_value) != zone_key(t.zone_value)) continue;
            found = true;
            EXPECT_EQ(t.number, a.number);
            EXPECT_EQ(std::memcmp(&t.sum, &a.sum, sizeof a.sum), 0);
            EXPECT_EQ(std::memcmp(&t.minimum, &a.minimum, sizeof a.minimum), 0);
            EXPECT_EQ(std::memcmp(&t.maximum, &a.maximum, sizeof a.maximum), 0);
        }
        EXPECT_TRUE(found) << "zone " << t.zone_value;
    }
}

// However the scan cuts the cells into runs, the figures are the same to the bit: the batches
// of pending values follow the cells, not the runs.
TEST(TableFigures, EveryFigureIsTheSameWhateverTheRuns) {
    std::mt19937_64 random(9);
    std::vector<double> values;
    std::vector<double> zones;
    for (int i = 0; i < 50000; ++i) {
        values.push_back(std::ldexp(static_cast<double>(random() % 100000), -5) + 1e6);
        zones.push_back(static_cast<double>((i / 37 + (random() % 9 == 0)) % 50));
    }
    counted_table one_run;
    count_table(one_run, values, zones, -9999);
    for (const std::vector<std::size_t> &runs :
         {std::vector<std::size_t>{1}, {7, 1, 300}, {63, 64, 65}, {4096}}) {
        counted_table cut;
        count_table(cut, values, zones, -9999, runs);
        ASSERT_EQ(cut.rows.size(), one_run.rows.size());
        for (std::size_t r = 0; r < cut.rows.size(); ++r)
            for (std::size_t c = 0; c < cut.columns.size(); ++c) {
                const stat_figure &a = cut.rows[r][c];
                const stat_figure &b = one_run.rows[r][c];
                ASSERT_TRUE(a.shape == b.shape && a.counter == b.counter &&
                            std::memcmp(&a.number, &b.number, sizeof a.number) == 0)
                    << "row " << r << ", " << cut.columns[c].name;
            }
    }
}

// Percentiles between neighbours whose difference overflows, or that are equal, denormal or
// infinite; and the figures that must stay as they were. NaN is the no-data value, so every
// value but -inf counts.
TEST(TableFigures, PercentilesInterpolateWithoutOverflow) {
    constexpr double huge = std::numeric_limits<double>::max();
    constexpr double tiny = std::numeric_limits<double>::denorm_min();
    struct percentile_case {
        const char *name;
        std::vector<double> values;
        const char *list;
        std::vector<double> expected; // one per column
        double relative = 0;          // how far from expected, of it, a figure may lie
    };
    const std::vector<percentile_case> cases = {
        {"huge values of both signs", {-1e308, 1e308}, "median,p99.999", {0, 0.99998e308}, 1e-11},
        {"the largest doubles", {huge, -huge}, "p25,median,p75", {-huge / 2, 0, huge / 2}, 1e-15},
        {"equal huge neighbours", {1e308, -1e308, 1e308}, "p75,p90", {1e308, 1e308}},
        {"whole ranks between huge values",
         {-1e308, 0, 1e308},
         "p0,median,p100",
         {-1e308, 0, 1e308}},
        {"denormals of both signs", {-tiny, tiny}, "median", {0}},
        {"denormals", {tiny, 3 * tiny}, "median", {2 * tiny}},
        {"up to an infinity", {-1e308, 1, inf}, "p25,p75", {-0.5e308, inf}, 1e-15},
        {"small values of both signs", {-1, 3}, "median,p10", {1, -0.6}},
        {"values far apart", {-1e9, 0, 0.5, 1e9, 1e15}, "p10,p90", {-6e8, 6.000004e14}, 1e-15},
    };
    for (const percentile_case &c : cases) {
        SCOPED_TRACE(c.name);
        counted_table t;
        count_table(t, c.values, std::vector<double>(c.values.size(), 1), nan, {1000000}, c.list);
        ASSERT_EQ(t.rows.size(), 1U);
        for (const std::vector<stat_figure> &row : {t.rows[0], t.table.totals}) {
            // The zone leads every row.
            ASSERT_EQ(t.columns.size(), c.expected.size() + 1);
            for (std::size_t i = 0; i < c.expected.size(); ++i) {
                SCOPED_TRACE(t.columns[i + 1].name);
                ASSERT_EQ(row[i + 1].shape, stat_figure::form::number);
                const double got = row[i + 1].number;
                const double want = c.expected[i];
                if (std::isnan(want))
                    EXPECT_TRUE(std::isnan(got)) << got;
                else if (c.relative == 0 || std::isinf(want))
                    EXPECT_EQ(got, want);
                else
                    EXPECT_LE(std::fabs(got - want), c.relative * std::fabs(want))
                        << got << " " << want;
            }
        }
    }
}

TEST(TableFigures, StandardDeviationsAreStableWhereTheReportsFormulaIsNot) {
    counted_table t;
    // Values around 1e9 whose spread is 1: one pass over sums of squares loses every digit.
    std::vector<double> values;
    for (int i = 0; i < 10000; ++i)
        values.push_back(1e9 + (i % 2 ? 0.5 : -0.5));
    count_table(t, values, std::vector<double>(values.size(), 1), -9999, {1000000},
                "stddev,pstddev");
    // Behind the zone.
    EXPECT_NEAR(t.rows[0][2].number, 0.5, 1e-12);
    EXPECT_NEAR(t.rows[0][1].number, 0.5 * std::sqrt(10000.0 / 9999.0), 1e-12);
}

// ---- classes ----

// The rows of frac and classes hold a field per class: table.fields each.
using class_table = counted_table;

void count_classes(class_table &t, const std::vector<double> &values,
                   const std::vector<double> &zones, const std::vector<std::size_t> &runs,
                   const std::string &list) {
    count_table(t, values, zones, -9999, runs, list);
}

// Shares and counts of every class against a tally of the counted cells, per zone and over all
// zones, beside other columns that must keep their place: classes close together and far
// apart, -0 as 0, zones without a class or without a counted cell, in runs of any length.
TEST(ClassFigures, SharesAndCountsMatchATally) {
    std::mt19937_64 random(11);
    const double class_values[] = {-2, 0, -0.0, 3, 4, 250, 1e15, -9999, nan};
    std::vector<double> values;
    std::vector<double> zones;
    for (int i = 0; i < 20000; ++i) {
        const double zone = static_cast<double>((i / 53) % 30);
        // Zone 7 holds no class 250; zone 9 no counted cell; the negative zone holds a 17.
        double v = class_values[random() % std::size(class_values)];
        if (zone == 7 && v == 250) v = 3;
        if (zone == 9) v = -9999;
        values.push_back(random() % 211 == 0 ? 17 : v);
        zones.push_back(values.back() == 17 ? -1 : zone);
    }
    std::map<double, std::map<double, std::uint64_t>> tally; // zone, class: cells
    std::map<double, std::uint64_t> all;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (zones[i] < 0) continue;
        std::map<double, std::uint64_t> &zone = tally[zones[i]];
        if (!(values[i] > -9999)) continue;
        ++zone[values[i]];
        ++all[values[i]];
    }
    const std::vector<double> classes = {-2, 0, 3, 4, 250, 1e15};
    ASSERT_EQ(all.size(), classes.size());
    const auto expect_row = [&](const std::vector<stat_column> &columns, const stat_table &table,
                                const stat_figure *row,
                                const std::map<double, std::uint64_t> &cells,
                                const std::string &where) {
        std::uint64_t n = 0;
        for (const auto &entry : cells)
            n += entry.second;
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (!per_class(columns[c].kind)) continue;
            for (std::size_t j = 0; j < classes.size(); ++j) {
                SCOPED_TRACE(where + ", " + columns[c].name + " " + std::to_string(classes[j]));
                const stat_figure &f = row[table.field_at[c] + j];
                const auto found = cells.find(classes[j]);
                const std::uint64_t k = found == cells.end() ? 0 : found->second;
                if (columns[c].kind == stat_kind::classes) {
                    ASSERT_EQ(f.shape, stat_figure::form::counter);
                    EXPECT_EQ(f.counter, k);
                } else if (n == 0) {
                    EXPECT_EQ(f.shape, stat_figure::form::none);
                } else {
                    ASSERT_EQ(f.shape, stat_figure::form::number);
                    EXPECT_EQ(f.number, static_cast<double>(k) / static_cast<double>(n));
                }
            }
        }
    };
    for (const std::vector<std::size_t> &runs :
         {std::vector<std::size_t>{1000000}, {1, 2, 7}, {53}}) {
        class_table t;
        count_classes(t, values, zones, runs, "count,frac,median,classes,mode");
        ASSERT_EQ(t.table.classes, classes);
        ASSERT_EQ(t.table.fields, 4 + 2 * classes.size());
        EXPECT_FALSE(t.table.classes_not_whole);
        ASSERT_EQ(t.rows.size(), tally.size());
        std::size_t rank = 0;
        for (const auto &[zone, cells] : tally) {
            const std::vector<stat_figure> &row = t.rows[rank++];
            EXPECT_EQ(row[0].number, zone);
            expect_row(t.columns, t.table, row.data(), cells, "zone " + std::to_string(zone));
            // The columns around them where they belong: count, median, mode.
            std::uint64_t n = 0;
            for (const auto &entry : cells)
                n += entry.second;
            EXPECT_EQ(row[t.table.field_at[1]].number, static_cast<double>(n));
            EXPECT_EQ(row[t.table.field_at[3]].shape,
                      n == 0 ? stat_figure::form::none : stat_figure::form::number);
            EXPECT_EQ(row[t.table.field_at[5]].shape,
                      n == 0 ? stat_figure::form::none : stat_figure::form::number);
        }
        expect_row(t.columns, t.table, t.table.totals.data(), all, "all");
        EXPECT_EQ(t.table.totals[0].shape, stat_figure::form::none);
    }
}

// A value that is no whole number leaves no classes and names the smallest such value, for the
// run to refuse; a list without frac and classes has none either way.
TEST(ClassFigures, ValuesThatAreNoWholeNumbersLeaveNoClasses) {
    const std::vector<double> values = {1, 7.5, 2, -0.5, inf, 3};
    const std::vector<double> zones = {1, 1, 2, 2, 2, 1};
    class_table t;
    count_classes(t, values, zones, {1000000}, "frac");
    EXPECT_TRUE(t.table.classes_not_whole);
    EXPECT_EQ(t.table.not_whole, -0.5);
    EXPECT_TRUE(t.table.classes.empty());
    EXPECT_EQ(t.table.fields, 1u); // the zone, and frac of no class
    class_table mode;
    count_classes(mode, values, zones, {1000000}, "mode");
    EXPECT_FALSE(mode.table.classes_not_whole);
    EXPECT_EQ(mode.table.fields, 2u);
}

} // namespace
