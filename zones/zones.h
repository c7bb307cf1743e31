// Zone statistics: the accumulator of one zone, the register that maps zone values to zone
// records, and the ordering of the zones by zone value.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <vector>

// Running sums of one zone. A plain value, copied by content.
struct zone_record {
    double number = 0; // how many values were added, held as a double
    double sum = 0;
    double sum_sq = 0;
    double minimum = 0; // 0 until the first value
    double maximum = 0;
    double zone_value = 0; // the zone-grid value of the zone's first cell, unrounded
};

// The published figures of one record.
struct zone_figures {
    double number = 0;
    double minimum = 0;
    double maximum = 0;
    double sum = 0;
    double average = 0;
    double std_dev = 0;
};

void zone_reset(zone_record &record, double zone_value) noexcept;

// The first value sets minimum and maximum, whatever the zeros of zone_reset say. Later values
// replace them only when strictly smaller or greater (a value equal to either changes nothing),
// which for every input, NaN and -0 included, is the chain "if minimum > x take it as the
// minimum, else if x > maximum take it as the maximum".
inline void zone_add_to_values(zone_record &record, double x) noexcept;

inline void zone_add(zone_record &record, double x) noexcept {
    if (record.number == 0) {
        record.number += 1;
        record.sum_sq += x * x;
        record.sum += x;
        record.minimum = x;
        record.maximum = x;
        return;
    }
    zone_add_to_values(record, x);
}

// zone_add for a record that holds values already, where the first-value rule can't apply.
inline void zone_add_to_values(zone_record &record, double x) noexcept {
    record.number += 1;
    record.sum_sq += x * x;
    record.sum += x;
    record.minimum = x < record.minimum ? x : record.minimum;
    record.maximum = x > record.maximum ? x : record.maximum;
}

// Fills every figure but average, which is written only when number > 0. std_dev is the
// one-pass sample standard deviation sqrt((sum_sq - sum * sum / number) / (number - 1)), given
// only for more than two values and a variance above 0; otherwise 0.
void zone_summary(const zone_record &record, zone_figures &figures) noexcept;

inline constexpr std::uint32_t zone_step = 1000;     // kenn grows by this many zones at a time
inline constexpr std::uint32_t zarray_size = 500000; // zone keys below this are indexed directly
inline constexpr std::uint32_t kenn_batch = 1024;    // records per allocation; a power of two
                                                     // keeps the per-cell lookup to a shift

struct free_deleter {
    void operator()(void *memory) const noexcept { std::free(memory); }
};

// The register. kenn slot 0 is the totals record, slots 1 to zone_count the zones in order of
// first appearance (after sort_zones, in ascending zone_value). Records live in batches of
// kenn_batch that never move, allocated as the capacity, grown in steps of zone_step, reaches
// them; slot s is kenn[s / kenn_batch][s % kenn_batch].
//
// A zone is identified by its key, zone_key(z): zarray[key] holds its zone ID (0: none yet).
// Keys of 500000 and above, +inf included, are looked up in large_keys instead: a balanced tree,
// so that no choice of keys can make a lookup cost more than O(log n), as chosen keys can for a
// hash table with a known hash.
struct zone_register {
    std::vector<std::unique_ptr<zone_record[]>> kenn;
    std::uint32_t zone_count = 0;
    std::uint32_t grow_count = 0;
    std::unique_ptr<std::uint32_t[], free_deleter> zarray;
    std::map<double, std::uint32_t> large_keys;
    double last_large_key = 0; // the large key met last, and its zone ID (0: none)
    std::uint32_t last_large_id = 0;
};

inline std::uint64_t zone_capacity(const zone_register &reg) noexcept {
    return (std::uint64_t{reg.grow_count} + 1) * zone_step;
}

inline zone_record &kenn_slot(zone_register &reg, std::uint32_t slot) noexcept {
    return reg.kenn[slot / kenn_batch][slot % kenn_batch];
}
inline const zone_record &kenn_slot(const zone_register &reg, std::uint32_t slot) noexcept {
    return reg.kenn[slot / kenn_batch][slot % kenn_batch];
}

enum class register_create_result { ok, kenn_failed, zarray_failed };

// Creates kenn with records for slots 0 to zone_step and an all-zero zarray. On kenn_failed,
// failed_slot is the first slot left without a record.
register_create_result register_create(zone_register &reg, std::uint32_t &failed_slot);

// Resets the totals record and forgets every zone.
void register_clear(zone_register &reg) noexcept;

// The key of a zone value z >= 0: floor(z + 0.5), computed in double precision, so that 2.5 and
// 3.4 are zone 3 and 0.49999999999999994 is zone 1. From 2^52 on every double is a whole number
// and z + 0.5 would round to a neighbour, merging zones: there the key is z itself.
// zarray_slot is the same key where it lies below zarray_size, and zarray_size where it doesn't;
// only these two spell the rounding out.
inline double zone_key(double z) noexcept {
    constexpr double all_whole = 4503599627370496.0; // 2^52
    return z >= all_whole ? z : std::floor(z + 0.5);
}
inline std::uint32_t zarray_slot(double z) noexcept {
    const double z_plus_half = z + 0.5;
    // z_plus_half >= 0.5, so truncation is the floor.
    return z_plus_half < static_cast<double>(zarray_size) ? static_cast<std::uint32_t>(z_plus_half)
                                                          : zarray_size;
}

namespace zones_detail {
bool register_zone(zone_register &reg, std::uint32_t &zarray_slot, double z);
std::uint32_t large_zone_id(zone_register &reg, double z);
} // namespace zones_detail

// The ID of the zone of z, registering the zone under the next ID if it is new. z must be >= 0
// and not NaN. 0 only when memory for a new zone can't be had; zone_count then still tells how
// many zones the register holds.
inline std::uint32_t find_zone_id(zone_register &reg, double z) {
    const std::uint32_t key = zarray_slot(z);
    if (key < zarray_size) {
        std::uint32_t &slot = reg.zarray[key];
        if (slot == 0 && !zones_detail::register_zone(reg, slot, z)) return 0;
        return slot;
    }
    return zones_detail::large_zone_id(reg, z);
}

// The record of the zone of z, as find_zone_id finds it; nullptr where that gives 0. Records
// never move, so the pointer stays good while more zones are registered.
inline zone_record *find_zone(zone_register &reg, double z) {
    const std::uint32_t id = find_zone_id(reg, z);
    return id == 0 ? nullptr : &kenn_slot(reg, id);
}

// Counts v into the zone of z, as find_zone finds it. False when memory runs out.
inline bool count_into_zone(zone_register &reg, double v, double z) {
    zone_record *const record = find_zone(reg, z);
    if (record == nullptr) return false;
    zone_add(*record, v);
    return true;
}

// ---- counting cells ----

// Which cell pairs count: the value lies above the input grid's no-data value and the zone
// value is not negative; a NaN fails both tests. A NaN no-data value, as GDAL writes for float
// grids, marks the NaN cells instead: no value lies above NaN, so taken as it stands it would
// leave every cell out; every value above -inf counts then.
inline double counting_threshold(double input_nodata) noexcept {
    return std::isnan(input_nodata) ? -std::numeric_limits<double>::infinity() : input_nodata;
}
// The two halves of the rule, for counting that looks at them apart (the table output counts
// the no-data cells of a zone too).
inline bool value_is_data(double v, double threshold) noexcept {
    return v > threshold;
}
inline bool zone_is_data(double z) noexcept {
    return z >= 0;
}
inline bool pair_counts(double v, double z, double threshold) noexcept {
    return value_is_data(v, threshold) && zone_is_data(z);
}

// The zone being counted. While cells of one zone follow each other, as they do in block-shaped
// zone grids, the lookup is skipped. Only count_with and finish_counting touch it.
struct open_zone {
    std::uint32_t id = 0; // 0: none
    // The zarray slot of the open zone; for a key beyond zarray (and while none is open) a value
    // zarray_slot never gives, so that no other zone matches it.
    std::uint32_t key = 0xFFFFFFFF;
    // The zone value last counted into it: the same value again is the same zone, whatever its
    // key. NaN (never equal) while no zone is open.
    double zone_value = std::numeric_limits<double>::quiet_NaN();
};

struct zone_stats; // stats/stats.h

// Counts cell pairs into the register, in the order given: the one place that decides which
// pair counts and adds it, exactly as count_into_zone of each counting pair would. With `table`
// set (start_stats_counting), the table's statistics are gathered too.
struct zone_counter {
    zone_register *reg = nullptr;
    double threshold = 0; // counting_threshold of the input grid's no-data value
    open_zone open;
    zone_stats *table = nullptr;
};

zone_counter start_counting(zone_register &reg, double input_nodata) noexcept;

// ---- the counting loop ----
//
// count_with runs the cells through an accumulator, which keeps what it gathers for a zone:
//
//   static constexpr bool registers_nodata_zones; // a zone value that is data registers its zone
//                                                 // even where the value does not count
//   bool open(std::uint32_t id);  // the zone of ID id is the one counted now; false: no memory
//   bool add_slow(double x);      // finishes the add that run::add left; false: no memory
//   struct run {                  // the open zone's figures, held in locals while its cells come
//       explicit run(accumulator &);
//       bool add(double x);       // x counts; false: the rest of its add needs add_slow
//       void add_nodata();        // a cell of the zone whose value does not count
//       void close(accumulator &); // writes the figures back
//   };
//
// A run is made for each stretch of cells without a call in it, so its figures stay in
// registers; it lives only in count_with and never escapes.

// Counts the pairs (values[i], zones[i]) for i from 0 to n - 1, in that order, into acc. Returns
// n, or the index of the pair that found no memory (for its zone, or in add_slow).
template <typename accumulator>
inline std::size_t count_with(zone_counter &counter, accumulator &acc, const double *values,
                              const double *zones, std::size_t n) {
    const double threshold = counter.threshold;
    open_zone &open = counter.open;
    std::size_t i = 0;
    while (i < n) {
        bool slow = false;
        {
            typename accumulator::run run(acc);
            const std::uint32_t key = open.key;
            double open_value = open.zone_value;
            for (; i < n; ++i) {
                const double v = values[i];
                const double z = zones[i];
                // The open zone's value is not negative, so one equal to it is a zone.
                if (z != open_value) {
                    if (!zone_is_data(z)) continue;
                    if constexpr (!accumulator::registers_nodata_zones)
                        if (!value_is_data(v, threshold)) continue;
                    if (zarray_slot(z) != key) break;
                    open_value = z;
                }
                if (value_is_data(v, threshold)) {
                    if (!run.add(v)) {
                        slow = true;
                        break;
                    }
                } else {
                    run.add_nodata();
                }
            }
            run.close(acc);
            open.zone_value = open_value;
        }
        if (slow) {
            if (!acc.add_slow(values[i])) return i;
            ++i;
            continue;
        }
        if (i == n) break;
        // A cell of another zone: opened here, counted by the loop above.
        const double z = zones[i];
        const std::uint32_t id = find_zone_id(*counter.reg, z);
        if (id == 0) return i;
        if (id != open.id) {
            if (!acc.open(id)) return i;
            open.id = id;
        }
        const std::uint32_t key = zarray_slot(z);
        open.key = key < zarray_size ? key : open_zone{}.key;
        open.zone_value = z;
    }
    return n;
}

// Read from a record, neighbouring sums would be packed into one vector register and unpacked
// at every cell of the loop: this keeps each in a register of its own.
inline void keep_apart(double &a, double &b, double &c, double &d) noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    asm("" : "+x"(a), "+x"(b), "+x"(c), "+x"(d));
#else
    (void)a, (void)b, (void)c, (void)d;
#endif
}

// Writes a run's sums back to its record, minimum and maximum only where it holds a value. Out
// of line on purpose: stored together in the loop's function, the sums are packed into vector
// registers and unpacked again at every cell.
void zone_store(zone_record &record, double number, double sum, double sum_sq, double minimum,
                double maximum) noexcept;

// The report's accumulator: the register's sums, added in file order as zone_add adds them.
struct report_accumulator {
    static constexpr bool registers_nodata_zones = false;
    zone_register &reg;
    zone_record *record; // the open zone's; while none is open, idle
    zone_record idle;

    report_accumulator(zone_register &r, std::uint32_t open_id) noexcept
        : reg(r), record(open_id == 0 ? &idle : &kenn_slot(r, open_id)) {}
    bool open(std::uint32_t id) noexcept {
        record = &kenn_slot(reg, id);
        return true;
    }
    bool add_slow(double) noexcept { return true; }

    // The sums as plain locals: as a struct the compiler packs them into vector registers and
    // back at every cell. The first value sets minimum and maximum, as the infinities do for any
    // value that counts (never NaN, never -inf), without a test per cell: zone_add's rule.
    struct run {
        double number;
        double sum;
        double sum_sq;
        double minimum;
        double maximum;
        explicit run(const report_accumulator &acc) noexcept
            : number(acc.record->number), sum(acc.record->sum), sum_sq(acc.record->sum_sq),
              minimum(number == 0 ? std::numeric_limits<double>::infinity() : acc.record->minimum),
              maximum(number == 0 ? -std::numeric_limits<double>::infinity()
                                  : acc.record->maximum) {
            keep_apart(number, sum, minimum, maximum);
        }
        // zone_add_to_values, on the locals.
        bool add(double x) noexcept {
            number += 1;
            sum_sq += x * x;
            sum += x;
            minimum = x < minimum ? x : minimum;
            maximum = x > maximum ? x : maximum;
            return true;
        }
        void add_nodata() noexcept {}
        void close(report_accumulator &acc) const noexcept {
            zone_store(*acc.record, number, sum, sum_sq, minimum, maximum);
        }
    };
};

// Counts the pairs (values[i], zones[i]) for i from 0 to n - 1, in that order. Returns n, or the
// index of the pair whose new zone found no memory (the pairs before it are counted).
std::size_t count_cells(zone_counter &counter, const double *values, const double *zones,
                        std::size_t n);

// count_cells for a counter with a table: stats/stats.cpp.
std::size_t count_table_cells(zone_counter &counter, const double *values, const double *zones,
                              std::size_t n);

// Ends the count: the register is up to date after every count_cells; this closes the open zone.
void finish_counting(zone_counter &counter) noexcept;

// Puts slots 1 to zone_count in ascending zone_value, in place, by heapsort; record contents
// move, the batches stay. Slot 0 and the slots above zone_count are not touched.
void sort_zones(zone_register &reg) noexcept;

// Releases every record, kenn and zarray.
void register_release(zone_register &reg) noexcept;
