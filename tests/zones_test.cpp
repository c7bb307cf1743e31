// Zone records, the zone register and the ordering by zone value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "zones/zones.h"

namespace {

std::string g7(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", x);
    return text;
}

zone_figures figures_of(const std::vector<double> &values) {
    zone_record record;
    zone_reset(record, 1);
    for (const double x : values)
        zone_add(record, x);
    zone_figures figures;
    zone_summary(record, figures);
    return figures;
}

TEST(ZoneRecord, FiguresFollowTheOnePassFormulas) {
    struct record_case {
        std::vector<double> values;
        double number, minimum, maximum, sum, average;
        std::string std_dev; // as the report prints it
    } cases[] = {
        {{4.5}, 1, 4.5, 4.5, 4.5, 4.5, "0"},
        {{-5}, 1, -5, -5, -5, -5, "0"},
        {{1, 3}, 2, 1, 3, 4, 2, "0"}, // two values: no std.dev.
        {{1, 2, 3}, 3, 1, 3, 6, 2, "1"},
        {{5, 5, 5}, 3, 5, 5, 15, 5, "0"},
        {{0.1, 0.1, 0.1}, 3, 0.1, 0.1, 0.1 + 0.1 + 0.1, (0.1 + 0.1 + 0.1) / 3, "0"},
        {{0.7, 0.7, 0.7}, 3, 0.7, 0.7, 0.7 + 0.7 + 0.7, (0.7 + 0.7 + 0.7) / 3, "1.053671e-08"},
        {{1e8 + 0.1, 1e8 + 0.1, 1e8 + 0.1},
         3,
         1e8 + 0.1,
         1e8 + 0.1,
         3 * (1e8 + 0.1),
         3 * (1e8 + 0.1) / 3,
         "1.414214"},
        {{5, 3, 7}, 3, 3, 7, 15, 5, "2"},
        {{5, 7, 3}, 3, 3, 7, 15, 5, "2"},
        {{-1, -3, -2}, 3, -3, -1, -6, -2, "1"},
        {{2, 2, 9, 9, 2}, 5, 2, 9, 24, 4.8, g7(std::sqrt((174 - 24.0 * 24 / 5) / 4))},
    };
    for (const auto &c : cases) {
        const zone_figures f = figures_of(c.values);
        SCOPED_TRACE(::testing::PrintToString(c.values));
        EXPECT_EQ(f.number, c.number);
        EXPECT_EQ(f.minimum, c.minimum);
        EXPECT_EQ(f.maximum, c.maximum);
        EXPECT_EQ(f.sum, c.sum);
        EXPECT_EQ(f.average, c.average);
        EXPECT_EQ(g7(f.std_dev), c.std_dev);
    }
    // Through cancellation the variance of three times 1e8 + 0.1 is exactly 2.
    EXPECT_EQ(figures_of({1e8 + 0.1, 1e8 + 0.1, 1e8 + 0.1}).std_dev, std::sqrt(2.0));
}

TEST(ZoneRecord, EmptyRecordLeavesTheAveragePlaceAlone) {
    zone_record record;
    zone_reset(record, 7);
    zone_figures figures;
    figures.average = 42;
    figures.std_dev = 42;
    zone_summary(record, figures);
    EXPECT_EQ(figures.number, 0);
    EXPECT_EQ(figures.minimum, 0);
    EXPECT_EQ(figures.maximum, 0);
    EXPECT_EQ(figures.sum, 0);
    EXPECT_EQ(figures.std_dev, 0);
    EXPECT_EQ(figures.average, 42);
    EXPECT_EQ(record.zone_value, 7);
}

class ZoneRegister : public ::testing::Test {
  protected:
    void SetUp() override {
        std::uint32_t failed = 0;
        ASSERT_EQ(register_create(reg, failed), register_create_result::ok);
        register_clear(reg);
    }
    void TearDown() override { register_release(reg); }

    void count(double v, double z) { ASSERT_TRUE(count_into_zone(reg, v, z)); }
    const zone_record &zone(std::uint32_t id) const { return kenn_slot(reg, id); }

    zone_register reg;
};

TEST_F(ZoneRegister, ZonesAreNumberedInOrderOfFirstAppearance) {
    for (const double z : {7.0, 2.0, 7.4, 5.0})
        count(1, z);
    ASSERT_EQ(reg.zone_count, 3u);
    EXPECT_EQ(zone(1).zone_value, 7);
    EXPECT_EQ(zone(1).number, 2); // 7.4 has the key of 7
    EXPECT_EQ(zone(2).zone_value, 2);
    EXPECT_EQ(zone(3).zone_value, 5);
}

TEST_F(ZoneRegister, ZoneKeyIsTheFloorOfZPlusAHalf) {
    // Each row: zone values counted in order, and the zone count after each of them.
    struct key_case {
        std::vector<double> zones;
        std::uint32_t expected_zones;
        double first_zone_value;
    } cases[] = {
        {{3.2, 2.7, 2.5}, 1, 3.2},
        {{2.5, 2.4999}, 2, 2.5},
        {{0.49999999999999994, 1.2}, 1, 0.49999999999999994}, // z + 0.5 rounds to 1
        {{0.4, 0.0, -0.0, 0.3}, 1, 0.4},
        {{499999.0, 499999.4}, 1, 499999.0},
        {{499999.4, 499999.5}, 2, 499999.4},
        // From 2^52 on z + 0.5 would round to a neighbour; the key is z itself.
        {{4503599627370497.0, 4503599627370498.0}, 2, 4503599627370497.0},
        {{4503599627370495.5, 4503599627370496.0}, 1, 4503599627370495.5},
        {{9007199254740994.0, 9007199254740996.0}, 2, 9007199254740994.0},
    };
    for (const auto &c : cases) {
        register_clear(reg);
        for (const double z : c.zones)
            count(1, z);
        EXPECT_EQ(reg.zone_count, c.expected_zones) << ::testing::PrintToString(c.zones);
        EXPECT_EQ(zone(1).zone_value, c.first_zone_value);
    }
    register_clear(reg);
    count(1, 499999.4);
    EXPECT_EQ(reg.zarray[499999], 1u);
}

TEST_F(ZoneRegister, LargeZoneKeysAreCountedLikeAnyOther) {
    const double infinity = std::numeric_limits<double>::infinity();
    const double zones[] = {499999.5, 1000001,  std::ldexp(1.0, 40),
                            1e300,    infinity, 1000001.3,
                            500000.2, infinity, std::ldexp(1.0, 40) + 0.4};
    for (const double z : zones)
        count(z == infinity ? 2 : 1, z);
    ASSERT_EQ(reg.zone_count, 5u);
    EXPECT_EQ(zone(1).number, 2); // 499999.5 and 500000.2
    EXPECT_EQ(zone(2).number, 2); // 1000001 and 1000001.3
    EXPECT_EQ(zone(3).number, 2);
    EXPECT_EQ(zone(4).zone_value, 1e300);
    EXPECT_EQ(zone(5).zone_value, infinity);
    EXPECT_EQ(zone(5).sum, 4);
}

TEST_F(ZoneRegister, TableGrowsByAThousandAndKeepsItsRecords) {
    for (std::uint32_t z = 0; z < 1000; ++z)
        count(z, z);
    EXPECT_EQ(reg.grow_count, 0u);
    EXPECT_EQ(zone_capacity(reg), 1000u);
    const zone_record &first = zone(1);
    count(1000, 1000);
    EXPECT_EQ(reg.grow_count, 1u);
    EXPECT_EQ(zone_capacity(reg), 2000u);
    EXPECT_EQ(&zone(1), &first); // records never move
    for (std::uint32_t z = 1001; z < 2001; ++z)
        count(z, z);
    EXPECT_EQ(reg.grow_count, 2u);
    ASSERT_EQ(reg.zone_count, 2001u);
    for (std::uint32_t id = 1; id <= 2001; ++id) {
        ASSERT_EQ(zone(id).zone_value, id - 1);
        ASSERT_EQ(zone(id).sum, id - 1);
    }
}

TEST_F(ZoneRegister, HalfAMillionZonesFitTheLookupTable) {
    for (std::uint32_t z = 0; z < zarray_size; ++z)
        count(1, z);
    EXPECT_EQ(reg.zone_count, zarray_size);
    EXPECT_EQ(reg.grow_count, zarray_size / zone_step - 1);
    EXPECT_EQ(zone(zarray_size).zone_value, zarray_size - 1);
}

std::vector<double> sorted_zone_values(const std::vector<double> &met) {
    zone_register reg;
    std::uint32_t failed = 0;
    register_create(reg, failed);
    register_clear(reg);
    for (const double z : met)
        count_into_zone(reg, z * 2, z); // each zone's sum tells where it came from
    zone_reset(kenn_slot(reg, 0), -1);
    kenn_slot(reg, reg.zone_count + 1).zone_value = -2;
    sort_zones(reg);
    std::vector<double> values;
    for (std::uint32_t id = 1; id <= reg.zone_count; ++id) {
        values.push_back(kenn_slot(reg, id).zone_value);
        EXPECT_EQ(kenn_slot(reg, id).sum, kenn_slot(reg, id).zone_value * 2);
    }
    EXPECT_EQ(kenn_slot(reg, 0).zone_value, -1); // the totals take no part
    EXPECT_EQ(kenn_slot(reg, reg.zone_count + 1).zone_value, -2);
    return values;
}

TEST(SortZones, PutsZonesInAscendingZoneValue) {
    using values = std::vector<double>;
    EXPECT_EQ(sorted_zone_values({}), values{});
    EXPECT_EQ(sorted_zone_values({4}), values{4});
    EXPECT_EQ(sorted_zone_values({5, 3}), (values{3, 5}));
    EXPECT_EQ(sorted_zone_values({7, 2, 5}), (values{2, 5, 7}));
    EXPECT_EQ(sorted_zone_values({1, 2, 3, 4, 5, 6}), (values{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(sorted_zone_values({6, 5, 4, 3, 2, 1}), (values{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(sorted_zone_values({0.6, 0.4}), (values{0.4, 0.6}));
    values many(5000);
    std::iota(many.begin(), many.end(), 0.0);
    std::shuffle(many.begin(), many.end(), std::mt19937(3));
    values expected = many;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted_zone_values(many), expected);
}

} // namespace

namespace {

// Counting through a zone_counter, in runs of any length, must leave the register exactly as
// counting each pair that counts cell by cell: the same zones in the same order, the same sums
// to the bit, also when zones alternate, when large keys come in, when cells don't count, and
// when the table grows while a zone is open.
TEST(ZoneCounter, LeavesTheRegisterAsCountingCellByCell) {
    std::mt19937_64 random(11);
    std::vector<double> values;
    std::vector<double> zones;
    double zone = 0;
    for (int i = 0; i < 200000; ++i) {
        if (random() % 50 == 0) // mostly runs of one zone, as in block-shaped zone grids
            zone = static_cast<double>(random() % 3000) + (random() % 2 ? 0.3 : 0.0);
        if (random() % 200 == 0) zone = 1e6 + static_cast<double>(random() % 5);
        double z = zone;
        if (random() % 97 == 0) z = -1;
        if (random() % 101 == 0) z = std::numeric_limits<double>::quiet_NaN();
        double v = std::ldexp(static_cast<double>(random() % 100000), -7);
        if (random() % 89 == 0) v = -9999;
        if (random() % 103 == 0) v = std::numeric_limits<double>::quiet_NaN();
        values.push_back(v);
        zones.push_back(z);
    }
    for (const double nodata : {-9999.0, std::numeric_limits<double>::quiet_NaN()}) {
        zone_register plain;
        zone_register counted;
        std::uint32_t failed = 0;
        ASSERT_EQ(register_create(plain, failed), register_create_result::ok);
        ASSERT_EQ(register_create(counted, failed), register_create_result::ok);
        register_clear(plain);
        register_clear(counted);
        const double threshold = counting_threshold(nodata);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (pair_counts(values[i], zones[i], threshold)) {
                ASSERT_TRUE(count_into_zone(plain, values[i], zones[i]));
            }
        }
        zone_counter counter = start_counting(counted, nodata);
        for (std::size_t i = 0; i < values.size();) {
            const std::size_t n = std::min<std::size_t>(random() % 5000, values.size() - i);
            ASSERT_EQ(count_cells(counter, values.data() + i, zones.data() + i, n), n);
            i += n;
        }
        finish_counting(counter);
        ASSERT_EQ(counted.zone_count, plain.zone_count);
        ASSERT_GT(plain.grow_count, 0u);
        for (std::uint32_t id = 1; id <= plain.zone_count; ++id) {
            const zone_record &a = kenn_slot(plain, id);
            const zone_record &b = kenn_slot(counted, id);
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "zone " << id;
        }
    }
}

TEST(ZoneCounter, WhichPairsCount) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct pair_case {
        double v, z, nodata;
        bool counts;
    } cases[] = {
        {-9998.9, 0, -9999, true}, {-9999, 0, -9999, false}, {-10000, 0, -9999, false},
        {1, -0.0, -9999, true},    {1, -0.4, -9999, false},  {nan, 1, -9999, false},
        {1, nan, -9999, false},    {nan, 1, nan, false},     {-9999, 1, nan, true},
        {-inf, 1, nan, false},     {inf, inf, -9999, true},
    };
    for (const pair_case &c : cases)
        EXPECT_EQ(pair_counts(c.v, c.z, counting_threshold(c.nodata)), c.counts)
            << c.v << " " << c.z << " " << c.nodata;
}

} // namespace
