#include "zones/zones.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

void zone_reset(zone_record &record, double zone_value) noexcept {
    record = zone_record{};
    record.zone_value = zone_value;
}

void zone_summary(const zone_record &record, zone_figures &figures) noexcept {
    figures.number = record.number;
    if (record.number > 0) figures.average = record.sum / record.number;
    figures.minimum = record.minimum;
    figures.maximum = record.maximum;
    figures.std_dev = 0;
    if (record.number > 2) {
        const double variance =
            (record.sum_sq - record.sum * record.sum / record.number) / (record.number - 1);
        if (variance > 0) figures.std_dev = std::sqrt(variance);
    }
    figures.sum = record.sum;
}

namespace {

// Adds batches until every slot up to the capacity has a record.
bool cover_capacity(zone_register &reg) {
    try {
        while (reg.kenn.size() * kenn_batch <= zone_capacity(reg))
            reg.kenn.push_back(std::make_unique<zone_record[]>(kenn_batch));
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace

register_create_result register_create(zone_register &reg, std::uint32_t &failed_slot) {
    reg = zone_register{};
    // Slot 0, the totals record, and slots for the first zone_step zones.
    if (!cover_capacity(reg)) {
        failed_slot = static_cast<std::uint32_t>(reg.kenn.size() * kenn_batch);
        return register_create_result::kenn_failed;
    }
    // calloc leaves the pages untouched until a key is used, so a run with few zones keeps
    // most of the table out of memory.
    reg.zarray.reset(static_cast<std::uint32_t *>(std::calloc(zarray_size, sizeof(std::uint32_t))));
    if (!reg.zarray) return register_create_result::zarray_failed;
    return register_create_result::ok;
}

void register_clear(zone_register &reg) noexcept {
    zone_reset(kenn_slot(reg, 0), 0);
    if (reg.zone_count != 0) std::memset(reg.zarray.get(), 0, zarray_size * sizeof(std::uint32_t));
    reg.large_keys.clear();
    reg.last_large_id = 0;
    reg.zone_count = 0;
}

bool zones_detail::register_zone(zone_register &reg, std::uint32_t &zarray_slot, double z) {
    if (reg.zone_count == std::numeric_limits<std::uint32_t>::max()) return false;
    const std::uint32_t id = reg.zone_count + 1;
    if (id > zone_capacity(reg)) {
        ++reg.grow_count;
        if (!cover_capacity(reg)) {
            --reg.grow_count;
            return false;
        }
    }
    reg.zone_count = id;
    zarray_slot = id;
    zone_reset(kenn_slot(reg, id), z);
    return true;
}

std::uint32_t zones_detail::large_zone_id(zone_register &reg, double z) {
    const double key = zone_key(z);
    if (reg.last_large_id != 0 && key == reg.last_large_key) return reg.last_large_id;
    std::uint32_t id = 0;
    try {
        const auto [entry, inserted] = reg.large_keys.try_emplace(key, 0);
        if (inserted && !register_zone(reg, entry->second, z)) {
            reg.large_keys.erase(entry);
            return 0;
        }
        id = entry->second;
    } catch (const std::bad_alloc &) {
        return 0;
    }
    reg.last_large_key = key;
    reg.last_large_id = id;
    return id;
}

zone_counter start_counting(zone_register &reg, double input_nodata) noexcept {
    zone_counter counter;
    counter.reg = &reg;
    counter.threshold = counting_threshold(input_nodata);
    return counter;
}

void zone_store(zone_record &record, double number, double sum, double sum_sq, double minimum,
                double maximum) noexcept {
    record.number = number;
    record.sum = sum;
    record.sum_sq = sum_sq;
    if (number != 0) {
        record.minimum = minimum;
        record.maximum = maximum;
    }
}

std::size_t count_cells(zone_counter &counter, const double *values, const double *zones,
                        std::size_t n) {
    if (counter.table != nullptr) return count_table_cells(counter, values, zones, n);
    report_accumulator acc(*counter.reg, counter.open.id);
    return count_with(counter, acc, values, zones, n);
}

void finish_counting(zone_counter &counter) noexcept {
    counter.open = open_zone{};
}

// Heapsort with 1-based slots: build a max-heap on zone_value over slots 1 to n, then move the
// largest remaining zone behind the shrinking heap. Strict comparisons throughout; of two equal
// children the left one is taken.
void sort_zones(zone_register &reg) noexcept {
    const std::uint32_t n = reg.zone_count;
    if (n < 2) return;
    std::uint32_t l = n / 2 + 1;
    std::uint32_t ir = n;
    for (;;) {
        zone_record temp;
        if (l > 1) {
            --l;
            temp = kenn_slot(reg, l);
        } else {
            temp = kenn_slot(reg, ir);
            kenn_slot(reg, ir) = kenn_slot(reg, 1);
            if (--ir == 1) {
                kenn_slot(reg, 1) = temp;
                return;
            }
        }
        std::uint32_t i = l;
        std::uint64_t j = std::uint64_t{l} * 2;
        while (j <= ir) {
            const auto child = static_cast<std::uint32_t>(j);
            // Deep in a large heap every level is a cache miss: ask for the grandchildren now.
            if (std::uint64_t{child} * 2 + 1 <= ir) {
                __builtin_prefetch(&kenn_slot(reg, child * 2));
                __builtin_prefetch(&kenn_slot(reg, child * 2 + 2));
            }
            std::uint32_t larger = child;
            if (child < ir &&
                kenn_slot(reg, child + 1).zone_value > kenn_slot(reg, child).zone_value)
                larger = child + 1;
            if (kenn_slot(reg, larger).zone_value > temp.zone_value) {
                kenn_slot(reg, i) = kenn_slot(reg, larger);
                i = larger;
                j = std::uint64_t{larger} * 2;
            } else {
                j = std::uint64_t{ir} + 1;
            }
        }
        kenn_slot(reg, i) = temp;
    }
}

void register_release(zone_register &reg) noexcept {
    reg = zone_register{};
}
