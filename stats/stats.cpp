#include "stats/stats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
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
                   "minority and variety";
        for (const stat_column &earlier : read)
            if (earlier.name == column.name) return std::string(name) + " is asked for twice";
        read.push_back(std::move(column));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    columns = std::move(read);
    return "";
}

// ---- the tree of distinct values ----

namespace {

using stats_detail::inner_slots;
using stats_detail::leaf_slots;
using stats_detail::tree_leaf;

struct tree_inner {
    std::uint32_t size = 0;       // children
    double keys[inner_slots - 1]; // keys[i]: the smallest value under children[i + 1]
    void *children[inner_slots];
};

// Every node but the root is at least half full, so 2^64 values need fewer levels than this.
constexpr std::uint32_t max_height = 64;

void free_node(void *node, std::uint32_t height) noexcept {
    if (height == 0) {
        delete static_cast<tree_leaf *>(node);
        return;
    }
    auto *inner = static_cast<tree_inner *>(node);
    for (std::uint32_t i = 0; i < inner->size; ++i)
        free_node(inner->children[i], height - 1);
    delete inner;
}

void insert_in_leaf(tree_leaf &leaf, std::uint32_t at, double x, std::uint64_t count) noexcept {
    const std::uint32_t behind = leaf.size - at;
    std::memmove(leaf.keys + at + 1, leaf.keys + at, behind * sizeof(double));
    std::memmove(leaf.counts + at + 1, leaf.counts + at, behind * sizeof(std::uint64_t));
    leaf.keys[at] = x;
    leaf.counts[at] = count;
    ++leaf.size;
}

// children[child] was split, and `right` holds its upper part, from `separator` on.
void insert_in_inner(tree_inner &inner, std::uint32_t child, double separator,
                     void *right) noexcept {
    const std::uint32_t keys = inner.size - 1;
    std::memmove(inner.keys + child + 1, inner.keys + child, (keys - child) * sizeof(double));
    std::memmove(inner.children + child + 2, inner.children + child + 1,
                 (inner.size - child - 1) * sizeof(void *));
    inner.keys[child] = separator;
    inner.children[child + 1] = right;
    ++inner.size;
}

} // namespace

value_tree::~value_tree() {
    if (root != nullptr) free_node(root, height);
}

void tree_add(value_tree &tree, double x, std::uint64_t count) {
    x += 0.0; // -0 as 0
    if (tree.root == nullptr) {
        auto *leaf = new tree_leaf;
        leaf->size = 1;
        leaf->keys[0] = x;
        leaf->counts[0] = count;
        tree.root = leaf;
        tree.first = leaf;
        tree.height = 0;
        tree.size = 1;
        return;
    }
    // path[d] is the inner node at depth d (the root at 0) on the way down, path_child[d] the
    // child taken there.
    tree_inner *path[max_height];
    std::uint32_t path_child[max_height];
    void *node = tree.root;
    for (std::uint32_t depth = 0; depth < tree.height; ++depth) {
        auto *inner = static_cast<tree_inner *>(node);
        const auto child = static_cast<std::uint32_t>(
            std::upper_bound(inner->keys, inner->keys + inner->size - 1, x) - inner->keys);
        path[depth] = inner;
        path_child[depth] = child;
        node = inner->children[child];
    }
    auto *leaf = static_cast<tree_leaf *>(node);
    const auto at = static_cast<std::uint32_t>(
        std::lower_bound(leaf->keys, leaf->keys + leaf->size, x) - leaf->keys);
    if (at < leaf->size && leaf->keys[at] == x) {
        leaf->counts[at] += count;
        return;
    }
    if (leaf->size < leaf_slots) {
        insert_in_leaf(*leaf, at, x, count);
        ++tree.size;
        return;
    }

    // The leaf is full: it splits, and so does every full node above it. Every new node is had
    // before anything changes, so that running out of memory leaves the tree as it was.
    std::uint32_t full_above = 0;
    while (full_above < tree.height && path[tree.height - 1 - full_above]->size == inner_slots)
        ++full_above;
    auto right_leaf = std::make_unique<tree_leaf>();
    std::unique_ptr<tree_inner> right_inners[max_height];
    for (std::uint32_t i = 0; i < full_above; ++i)
        right_inners[i] = std::make_unique<tree_inner>();
    std::unique_ptr<tree_inner> new_root;
    if (full_above == tree.height) new_root = std::make_unique<tree_inner>();

    double keys[leaf_slots + 1];
    std::uint64_t counts[leaf_slots + 1];
    std::copy(leaf->keys, leaf->keys + at, keys);
    std::copy(leaf->counts, leaf->counts + at, counts);
    keys[at] = x;
    counts[at] = count;
    std::copy(leaf->keys + at, leaf->keys + leaf_slots, keys + at + 1);
    std::copy(leaf->counts + at, leaf->counts + leaf_slots, counts + at + 1);
    constexpr std::uint32_t left_size = (leaf_slots + 1) / 2;
    tree_leaf *right = right_leaf.release();
    leaf->size = left_size;
    std::copy(keys, keys + left_size, leaf->keys);
    std::copy(counts, counts + left_size, leaf->counts);
    right->size = leaf_slots + 1 - left_size;
    std::copy(keys + left_size, keys + leaf_slots + 1, right->keys);
    std::copy(counts + left_size, counts + leaf_slots + 1, right->counts);
    right->next = leaf->next;
    leaf->next = right;
    ++tree.size;

    double separator = right->keys[0];
    void *new_child = right;
    for (std::uint32_t k = 0; k < tree.height; ++k) {
        tree_inner &parent = *path[tree.height - 1 - k];
        const std::uint32_t child = path_child[tree.height - 1 - k];
        if (parent.size < inner_slots) {
            insert_in_inner(parent, child, separator, new_child);
            return;
        }
        double inner_keys[inner_slots];
        void *children[inner_slots + 1];
        std::copy(parent.keys, parent.keys + child, inner_keys);
        inner_keys[child] = separator;
        std::copy(parent.keys + child, parent.keys + inner_slots - 1, inner_keys + child + 1);
        std::copy(parent.children, parent.children + child + 1, children);
        children[child + 1] = new_child;
        std::copy(parent.children + child + 1, parent.children + inner_slots, children + child + 2);
        constexpr std::uint32_t left_children = (inner_slots + 2) / 2;
        tree_inner *upper = right_inners[k].release();
        parent.size = left_children;
        std::copy(inner_keys, inner_keys + left_children - 1, parent.keys);
        std::copy(children, children + left_children, parent.children);
        upper->size = inner_slots + 1 - left_children;
        std::copy(inner_keys + left_children, inner_keys + inner_slots, upper->keys);
        std::copy(children + left_children, children + inner_slots + 1, upper->children);
        separator = inner_keys[left_children - 1];
        new_child = upper;
    }
    tree_inner *top = new_root.release();
    top->size = 2;
    top->keys[0] = separator;
    top->children[0] = tree.root;
    top->children[1] = new_child;
    tree.root = top;
    ++tree.height;
}

// ---- value_counts ----

void stats_detail::add_outside_window(value_counts &counts, std::int64_t whole) {
    // The window may hold 4 counters per distinct value of the zone, and grows at least twice
    // as large each time, so that the copying costs O(1) per counter.
    const std::uint64_t distinct = counts.window_distinct + counts.others.size + 1;
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
        tree_add(counts.others, static_cast<double>(whole), 1);
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
    cursor.leaf = counts.others.first;
    return cursor;
}

bool cursor_next(value_cursor &cursor, double &value, std::uint64_t &count) noexcept {
    const value_counts &counts = *cursor.counts;
    while (cursor.window_at < counts.window_size && counts.window[cursor.window_at] == 0)
        ++cursor.window_at;
    if (cursor.leaf != nullptr && cursor.leaf_at == cursor.leaf->size) {
        cursor.leaf = cursor.leaf->next; // leaves are never empty
        cursor.leaf_at = 0;
    }
    const bool in_window = cursor.window_at < counts.window_size;
    const bool in_tree = cursor.leaf != nullptr;
    if (!in_window && !in_tree) return false;
    const double window_value =
        in_window
            ? static_cast<double>(counts.window_base + static_cast<std::int64_t>(cursor.window_at))
            : 0;
    const double tree_value = in_tree ? cursor.leaf->keys[cursor.leaf_at] : 0;
    count = 0;
    if (in_window && (!in_tree || window_value <= tree_value)) {
        value = window_value;
        count += counts.window[cursor.window_at++];
    }
    if (in_tree && (!in_window || tree_value <= window_value)) {
        value = tree_value;
        count += cursor.leaf->counts[cursor.leaf_at++];
    }
    return true;
}

// ---- gathering ----

stat_needs needs_of(const std::vector<stat_column> &columns) noexcept {
    stat_needs needs;
    for (const stat_column &column : columns) {
        switch (column.kind) {
        case stat_kind::stddev:
        case stat_kind::pstddev:
            needs.moments = true;
            break;
        case stat_kind::median:
        case stat_kind::percentile:
        case stat_kind::mode:
        case stat_kind::minority:
        case stat_kind::variety:
            needs.values = true;
            break;
        default:
            break;
        }
    }
    return needs;
}

namespace {

// Merges moments of b values (b_mean, b_squares) into those of a values: Chan's formula.
void merge_moments(double a, double &mean, double &squares, double b, double b_mean,
                   double b_squares) noexcept {
    if (a == 0) {
        mean = b_mean;
        squares = b_squares;
        return;
    }
    const double n = a + b;
    const double delta = b_mean - mean;
    mean += delta * (b / n);
    squares += b_squares + delta * delta * (a * b / n);
}

// Merges the pending values of the open zone, which holds `number` values with them, into its
// mean and squares: two passes over them, taken from the first of them, so that equal values
// give no spread at all.
void merge_pending(zone_stats &stats, double number) noexcept {
    const std::uint32_t m = stats.pending_count;
    if (m == 0) return;
    const double origin = stats.pending[0];
    double shifted_sum = 0;
    for (std::uint32_t i = 0; i < m; ++i)
        shifted_sum += stats.pending[i] - origin;
    const double batch = static_cast<double>(m);
    const double shifted_mean = shifted_sum / batch;
    double batch_squares = 0;
    for (std::uint32_t i = 0; i < m; ++i) {
        const double d = (stats.pending[i] - origin) - shifted_mean;
        batch_squares += d * d;
    }
    zone_extras &extras = *stats.open_extras;
    merge_moments(number - batch, extras.mean, extras.squares, batch, origin + shifted_mean,
                  batch_squares);
    stats.pending_count = 0;
}

void close_open_zone(zone_stats &stats) noexcept {
    if (stats.open_record != nullptr) merge_pending(stats, stats.open_record->number);
}

// Opens the zone of z, registering it if it is new. False when memory for it runs out.
bool open_zone_of(zone_register &reg, zone_stats &stats, double z) {
    const std::uint32_t id = find_zone_id(reg, z);
    if (id == 0) return false;
    stats.open_value = z;
    if (id == stats.open_id) return true;
    close_open_zone(stats);
    try {
        while (stats.extras.size() * extras_batch <= id)
            stats.extras.push_back(std::make_unique<zone_extras[]>(extras_batch));
    } catch (const std::bad_alloc &) {
        stats.open_id = 0;
        stats.open_value = std::numeric_limits<double>::quiet_NaN();
        stats.open_record = nullptr;
        stats.open_extras = nullptr;
        return false;
    }
    stats.open_id = id;
    stats.open_record = &kenn_slot(reg, id);
    stats.open_extras = &extras_of(stats, id);
    return true;
}

// The counting of count_cells, and more: every cell of a zone is taken, also where its value
// does not count. While cells of one zone follow each other, its sums and its window of whole
// numbers stay in locals, in registers: the loop over them calls nothing, and leaves it for
// whatever needs a call (another zone, a value outside the window, a full batch of pending
// values), which is then done behind it.
template <bool moments, bool values>
std::size_t count_for_table(zone_counter &counter, const double *cell_values,
                            const double *cell_zones, std::size_t n) {
    zone_stats &stats = *static_cast<zone_stats *>(counter.extension.state);
    const double threshold = counter.threshold;
    std::size_t i = 0;
    while (i < n) {
        if (stats.open_record == nullptr) {
            while (i < n && !(cell_zones[i] >= 0))
                ++i;
            if (i == n) break;
            if (!open_zone_of(*counter.reg, stats, cell_zones[i])) return i;
        }
        zone_record &record = *stats.open_record;
        zone_extras &extras = *stats.open_extras;
        value_counts &counts = extras.values;
        // The count as a whole number: adding 1 to a double is exact up to 2^53 and four times
        // as slow. The first value sets minimum and maximum, as infinities do for any value
        // that counts (never NaN, never -inf), without a test per cell. The table has no use
        // for the sum of squares.
        auto number = static_cast<std::uint64_t>(record.number);
        double sum = record.sum;
        double minimum = number == 0 ? std::numeric_limits<double>::infinity() : record.minimum;
        double maximum = number == 0 ? -std::numeric_limits<double>::infinity() : record.maximum;
        std::uint64_t nodata = extras.nodata;
        std::uint32_t pending_count = stats.pending_count;
        std::uint64_t *const window = counts.window.get();
        const std::int64_t window_base = counts.window_base;
        const std::uint64_t window_size = counts.window_size;
        std::uint64_t window_distinct = counts.window_distinct;
        const double open_value = stats.open_value;
        bool value_left = false; // cell i is counted but for what needs a call
        for (; i < n; ++i) {
            const double z = cell_zones[i];
            if (z != open_value) {
                if (z >= 0) break;
                continue;
            }
            const double x = cell_values[i];
            if (!(x > threshold)) {
                ++nodata;
                continue;
            }
            // zone_add, on the locals.
            number += 1;
            sum += x;
            minimum = x < minimum ? x : minimum;
            maximum = x > maximum ? x : maximum;
            if constexpr (moments) {
                stats.pending[pending_count++] = x;
                if (pending_count == pending_slots) {
                    value_left = true;
                    break;
                }
            }
            if constexpr (values) {
                // value_counts_add's own first step.
                constexpr double whole_limit = 9007199254740992.0; // 2^53
                if (!(std::fabs(x) <= whole_limit)) {
                    value_left = true;
                    break;
                }
                const auto whole = static_cast<std::int64_t>(x);
                const auto slot = static_cast<std::uint64_t>(whole - window_base);
                if (static_cast<double>(whole) != x || slot >= window_size) {
                    value_left = true;
                    break;
                }
                std::uint64_t &count = window[slot];
                window_distinct += count == 0;
                ++count;
            }
        }
        record.number = static_cast<double>(number);
        record.sum = sum;
        if (number != 0) {
            record.minimum = minimum;
            record.maximum = maximum;
        }
        extras.nodata = nodata;
        stats.pending_count = pending_count;
        counts.window_distinct = window_distinct;
        if (value_left) {
            if (moments && pending_count == pending_slots)
                merge_pending(stats, static_cast<double>(number));
            if (values) {
                try {
                    value_counts_add(counts, cell_values[i]);
                } catch (const std::bad_alloc &) {
                    stats.out_of_value_memory = true;
                    return i;
                }
            }
            ++i;
            continue;
        }
        if (i == n) break;
        if (!open_zone_of(*counter.reg, stats, cell_zones[i])) return i;
    }
    return n;
}

void finish_for_table(zone_counter &counter) {
    zone_stats &stats = *static_cast<zone_stats *>(counter.extension.state);
    close_open_zone(stats);
    stats.open_id = 0;
    stats.open_value = std::numeric_limits<double>::quiet_NaN();
    stats.open_record = nullptr;
    stats.open_extras = nullptr;
}

} // namespace

void start_stats_counting(zone_counter &counter, zone_stats &stats,
                          const std::vector<stat_column> &columns) {
    stats.needs = needs_of(columns);
    counter.extension.state = &stats;
    counter.extension.finish_counting = finish_for_table;
    if (stats.needs.moments)
        counter.extension.count_cells =
            stats.needs.values ? count_for_table<true, true> : count_for_table<true, false>;
    else
        counter.extension.count_cells =
            stats.needs.values ? count_for_table<false, true> : count_for_table<false, false>;
}

// ---- the figures ----

namespace {

// What a row is made of: a zone's, or the pooled figures of all zones.
struct gathered {
    bool has_zone = false;
    double zone = 0;
    double number = 0;
    double sum = 0;
    double minimum = 0;
    double maximum = 0;
    std::uint64_t nodata = 0;
    double mean = 0;
    double squares = 0;
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

// Median, percentiles, mode, minority and variety from the distinct values in ascending order,
// as next_value gives them, of n values in all.
template <typename next_value>
void value_figures(stat_table &table, std::uint64_t n, next_value next, stat_figure *figures) {
    const std::vector<stat_column> &columns = *table.columns;
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
    std::uint64_t start = 0; // the rank of the value's first copy
    double x = 0;
    std::uint64_t k = 0;
    while (next(x, k)) {
        ++variety;
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
        stat_figure &figure = figures[c];
        const stat_table::percentile_state &state = table.scratch[c];
        switch (columns[c].kind) {
        case stat_kind::median:
        case stat_kind::percentile:
            if (!state.have_low) break;
            if (state.fraction == 0 || !state.have_high || state.low == state.high)
                figure = number_figure(state.low);
            else
                figure = number_figure(state.low + state.fraction * (state.high - state.low));
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
    // Rounding can't make the squares negative, but keep sqrt away from them; a NaN (from
    // infinite values) stays.
    const double squares = g.squares < 0 ? 0 : g.squares;
    bool wants_values = false;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        stat_figure &figure = figures[c];
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
            figure = number_figure(g.sum);
            break;
        case stat_kind::mean:
            if (counted) figure = number_figure(g.sum / g.number);
            break;
        case stat_kind::stddev:
            if (g.number > 1) figure = number_figure(std::sqrt(squares / (g.number - 1)));
            break;
        case stat_kind::pstddev:
            if (counted) figure = number_figure(std::sqrt(squares / g.number));
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

} // namespace

void prepare_table(stat_table &table, const std::vector<stat_column> &columns,
                   const zone_register &reg, const zone_stats &stats) {
    table.columns = &columns;
    table.reg = &reg;
    table.stats = &stats;
    table.scratch.assign(columns.size(), {});
    table.totals.assign(columns.size(), {});
    table.order.resize(reg.zone_count);
    for (std::uint32_t id = 1; id <= reg.zone_count; ++id)
        table.order[id - 1] = id;
    // Zone values of two zones are never equal, so any sort gives this order.
    std::sort(table.order.begin(), table.order.end(), [&reg](std::uint32_t a, std::uint32_t b) {
        return kenn_slot(reg, a).zone_value < kenn_slot(reg, b).zone_value;
    });

    // Pooled as the report's totals row pools them, in ascending zone order.
    gathered all;
    bool first = true;
    for (const std::uint32_t id : table.order) {
        const zone_record &record = kenn_slot(reg, id);
        const zone_extras &extras = extras_of(stats, id);
        all.nodata += extras.nodata;
        if (record.number == 0) continue;
        merge_moments(all.number, all.mean, all.squares, record.number, extras.mean,
                      extras.squares);
        all.number += record.number;
        all.sum += record.sum;
        if (first || record.minimum < all.minimum) all.minimum = record.minimum;
        if (first || record.maximum > all.maximum) all.maximum = record.maximum;
        first = false;
    }
    std::vector<merge_entry> heap;
    if (stats.needs.values) {
        for (const std::uint32_t id : table.order) {
            merge_entry entry;
            entry.cursor = cursor_start(extras_of(stats, id).values);
            if (cursor_next(entry.cursor, entry.value, entry.count)) heap.push_back(entry);
        }
        std::make_heap(heap.begin(), heap.end(), later);
    }
    // The distinct values of all zones, merged in ascending order.
    const auto next = [&heap](double &value, std::uint64_t &count) {
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
    };
    fill_row(table, all, next, table.totals.data());
}

void zone_row(stat_table &table, std::size_t rank, stat_figure *figures) noexcept {
    const std::uint32_t id = table.order[rank];
    const zone_record &record = kenn_slot(*table.reg, id);
    const zone_extras &extras = extras_of(*table.stats, id);
    gathered g;
    g.has_zone = true;
    g.zone = zone_key(record.zone_value);
    g.number = record.number;
    g.sum = record.sum;
    g.minimum = record.minimum;
    g.maximum = record.maximum;
    g.nodata = extras.nodata;
    g.mean = extras.mean;
    g.squares = extras.squares;
    value_cursor cursor = cursor_start(extras.values);
    fill_row(
        table, g,
        [&cursor](double &value, std::uint64_t &count) {
            return cursor_next(cursor, value, count);
        },
        figures);
}
