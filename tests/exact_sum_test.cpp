// The exact sums of the table: figures against exact arithmetic, merges in any grouping, the
// bytes and their refusals, and the fast path that keeps common values small.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "stats/exact_sum.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
const double tiny = std::numeric_limits<double>::denorm_min();

bool same_double(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

exact_sum sums_of(const std::vector<double> &values) {
    exact_sum s;
    for (const double x : values)
        exact_add(s, x, true);
    return s;
}

// The expected figures are the exact ones rounded once to the nearest double, worked out with
// Python's fractions.Fraction (the sum also with math.fsum where no partial sum overflows) when
// these cases were written: the figures of tests/table_output_test.py's exact_figures.
TEST(ExactSum, FiguresAreTheExactOnesRoundedOnce) {
    struct figures_case {
        const char *name;
        std::vector<double> values;
        double sum, mean, stddev, pstddev;
    };
    const std::vector<figures_case> cases = {
        {"huge values that cancel",
         {1e308, -1e308, 1},
         1.0,
         0.3333333333333333,
         1e+308,
         8.16496580927726e+307},
        {"one value", {-4.5}, -4.5, -4.5, nan, 0.0},
        {"a sum past the doubles",
         {1.7976931348623157e308, 1.7976931348623157e308, -1e308},
         inf,
         8.651287565748772e+307,
         1.615248884522726e+308,
         1.3188451915601292e+308},
        {"subnormals",
         {tiny, 3 * tiny, -tiny, 1e-310},
         1.00000000000015e-310,
         2.5000000000006e-311,
         4.9999999999997e-311,
         4.330127018922e-311},
        {"squares below the doubles",
         {1e-200, 2e-200, 4e-200},
         6.999999999999999e-200,
         2.3333333333333334e-200,
         1.5275252316519466e-200,
         1.2472191289246471e-200},
        {"squares beyond the doubles",
         {1e200, -1e200, 3e200},
         3e+200,
         1e+200,
         2e+200,
         1.632993161855452e+200},
        {"magnitudes far apart",
         {1e-300, -3.5, 1e300, 2.5e-7, -1e300, 7},
         3.50000025,
         0.583333375,
         6.324555320336759e+299,
         5.773502691896258e+299},
        {"whole numbers past 2^53",
         {9007199254740993.0 - 1, 1, 1, 1, 4611686018427387904.0},
         4.620693217682129e+18,
         9.241386435364257e+17,
         2.061405339799183e+18,
         1.8437769875888105e+18},
        {"float32 values past 2^24",
         {16777216, 1, 1, 0.5f, 0.25f, 3.14159274f, -2.71828175f},
         16777219.173310995,
         2396745.596187285,
         6341191.404102407,
         5870802.4584229365},
        {"one magnitude",
         {1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 4},
         4000000010.0,
         1000000002.5,
         1.2909944487358056,
         1.118033988749895},
        {"the same value three times",
         {1e8 + 0.1, 1e8 + 0.1, 1e8 + 0.1},
         300000000.29999995,
         100000000.1,
         0.0,
         0.0},
        {"negative values",
         {-0.1, -0.2, -0.3, -1e16, 1e16, -0.7},
         -1.3,
         -0.21666666666666667,
         6324555320336759.0,
         5773502691896258.0},
        // IEEE arithmetic where a value is infinite (no-data never is NaN; the flags keep one).
        {"an infinity", {1, inf, 2}, inf, inf, nan, nan},
        {"both infinities", {-inf, 1, inf}, nan, nan, nan, nan},
        {"NaN", {1, nan}, nan, nan, nan, nan},
        {"zeros of both signs", {-0.0, 0.0, -0.0}, 0, 0, 0, 0},
    };
    for (const figures_case &c : cases) {
        SCOPED_TRACE(c.name);
        const exact_sum s = sums_of(c.values);
        EXPECT_TRUE(same_double(exact_total(s), c.sum)) << exact_total(s);
        EXPECT_TRUE(same_double(exact_mean(s), c.mean)) << exact_mean(s);
        EXPECT_TRUE(same_double(exact_stddev(s, true), c.stddev)) << exact_stddev(s, true);
        EXPECT_TRUE(same_double(exact_stddev(s, false), c.pstddev)) << exact_stddev(s, false);
    }
}

TEST(ExactSum, AMillionTenthsSumToTheRoundedExactSum) {
    exact_sum s;
    for (int i = 0; i < 1000000; ++i)
        exact_add(s, 0.1, true);
    // 0.1 is 0.1000000000000000055511151231257827...: a million of them round to 100000.
    EXPECT_EQ(exact_total(s), 100000.0);
    EXPECT_EQ(exact_mean(s), 0.1);
    EXPECT_EQ(exact_stddev(s, true), 0.0);
    EXPECT_EQ(s.count, 1000000U);
}

// Values of every kind the table meets, and some it seldom does.
std::vector<double> mixed_values(std::mt19937_64 &random, std::size_t n) {
    std::vector<double> values;
    std::uniform_real_distribution<double> unit(0, 1);
    for (std::size_t i = 0; i < n; ++i) {
        double x = 0;
        switch (random() % 6) {
        case 0: // float32 heights
            x = static_cast<double>(static_cast<float>(unit(random) * 4000 - 200));
            break;
        case 1: // whole numbers
            x = static_cast<double>(static_cast<std::int64_t>(random() % 20001) - 10000);
            break;
        case 2: // any magnitude
            x = std::ldexp(unit(random) - 0.5, static_cast<int>(random() % 2000) - 1000);
            break;
        case 3: // any bits
        {
            const std::uint64_t bits = random();
            std::memcpy(&x, &bits, sizeof x);
            if (!std::isfinite(x)) x = 1;
            break;
        }
        case 4:
            x = (random() % 2 ? 1 : -1) * tiny * static_cast<double>(random() % 100);
            break;
        default:
            x = 1e8 + 0.1 * static_cast<double>(random() % 10);
        }
        values.push_back(x);
    }
    return values;
}

// Split into random parts, each counted alone (some through bytes), merged in random groupings
// and orders: the same bytes and figures as one accumulator over all values.
TEST(ExactSum, MergesInAnyGroupingGiveTheSameBytes) {
    std::mt19937_64 random(17);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::vector<double> values = mixed_values(random, 1 + random() % 3000);
        const exact_sum whole = sums_of(values);
        const std::string want = exact_to_bytes(whole);
        std::shuffle(values.begin(), values.end(), random);
        std::vector<exact_sum> parts;
        for (std::size_t at = 0; at < values.size();) {
            const std::size_t n = std::min<std::size_t>(1 + random() % 400, values.size() - at);
            parts.push_back(sums_of({values.begin() + static_cast<std::ptrdiff_t>(at),
                                     values.begin() + static_cast<std::ptrdiff_t>(at + n)}));
            if (random() % 3 == 0) {
                exact_sum read;
                ASSERT_TRUE(exact_from_bytes(exact_to_bytes(parts.back()), read));
                parts.back() = std::move(read);
            }
            at += n;
        }
        parts.emplace_back(); // an empty one merges as nothing
        while (parts.size() > 1) {
            const std::size_t a = random() % parts.size();
            std::size_t b = random() % (parts.size() - 1);
            b += b >= a;
            exact_merge(parts[a], parts[b]);
            parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(b));
        }
        ASSERT_EQ(exact_to_bytes(parts[0]), want);
        EXPECT_TRUE(same_double(exact_total(parts[0]), exact_total(whole)));
        EXPECT_TRUE(same_double(exact_mean(parts[0]), exact_mean(whole)));
        EXPECT_TRUE(same_double(exact_stddev(parts[0], true), exact_stddev(whole, true)));
        EXPECT_TRUE(same_double(exact_stddev(parts[0], false), exact_stddev(whole, false)));
    }
}

// Read bytes hold the same sums, and values added after them land as they would have.
TEST(ExactSum, BytesReadBackToTheSameSums) {
    std::mt19937_64 random(5);
    const std::vector<std::vector<double>> cases = {{},
                                                    {0.0},
                                                    {-3},
                                                    {inf, 2},
                                                    {-inf, inf, nan},
                                                    {1e308, -1e308, 1},
                                                    mixed_values(random, 5000)};
    for (const std::vector<double> &values : cases) {
        exact_sum s = sums_of(values);
        exact_sum read;
        const std::string bytes = exact_to_bytes(s);
        ASSERT_TRUE(exact_from_bytes(bytes, read));
        EXPECT_EQ(exact_to_bytes(read), bytes);
        EXPECT_EQ(read.count, values.size());
        for (const double x : {2.5, -1e300, 7.0}) {
            exact_add(s, x, true);
            exact_add(read, x, true);
        }
        EXPECT_EQ(exact_to_bytes(read), exact_to_bytes(s));
    }
}

TEST(ExactSum, MalformedBytesAreRefused) {
    const exact_sum s = sums_of({1.5, -1e300, 3});
    const std::string good = exact_to_bytes(s);
    // Every cut short, and one byte more.
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(exact_from_bytes(good.substr(0, n), *std::make_unique<exact_sum>()))
            << "cut to " << n;
    EXPECT_FALSE(exact_from_bytes(good + '\0', *std::make_unique<exact_sum>()));
    // Built by hand: count, flags, then sign, lowest place, digit count and digits of the sum
    // and of the squares.
    const auto bytes = [](std::initializer_list<int> list) {
        std::string text;
        for (const int b : list)
            text += static_cast<char>(b);
        return text;
    };
    const std::string one = bytes({1, 0, 0, 35, 1, 1, 0, 0, 0, 0, 70, 1, 1, 0, 0, 0});
    exact_sum read;
    ASSERT_TRUE(exact_from_bytes(one, read)); // the value 1
    EXPECT_EQ(exact_total(read), 1.0);
    EXPECT_EQ(exact_stddev(read, false), 0.0);
    const struct {
        const char *what;
        std::string bytes;
    } refused[] = {
        {"a count of more than 64 bits",
         bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0})},
        {"a count not in its shortest form", bytes({0x81, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"an unknown flag", bytes({1, 8, 0, 0, 0, 0, 0, 0})},
        {"a sign of 2", bytes({1, 0, 2, 35, 1, 1, 0, 0, 0, 0, 70, 1, 1, 0, 0, 0})},
        {"negative squares", bytes({1, 0, 0, 35, 1, 1, 0, 0, 0, 1, 70, 1, 1, 0, 0, 0})},
        {"a top digit of 0", bytes({1, 0, 0, 35, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 70, 1, 1, 0, 0, 0})},
        {"a lowest digit of 0",
         bytes({1, 0, 0, 34, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 70, 1, 1, 0, 0, 0})},
        {"digits beyond any sum", bytes({1, 0, 0, 90, 1, 1, 0, 0, 0, 0, 70, 1, 1, 0, 0, 0})},
        {"more digits than bytes", bytes({1, 0, 0, 35, 3, 1, 0, 0, 0, 0, 70, 1, 1, 0, 0, 0})},
        {"a zero with a place", bytes({1, 0, 0, 5, 0, 0, 0, 0})},
        {"a negative zero", bytes({1, 0, 1, 0, 0, 0, 0, 0})},
        {"sums without a count", bytes({0, 0, 0, 35, 1, 1, 0, 0, 0, 0, 70, 1, 1, 0, 0, 0})},
        {"a sum without squares", bytes({1, 0, 0, 35, 1, 1, 0, 0, 0, 0, 0, 0})},
        {"an infinity without a count", bytes({0, 1, 0, 0, 0, 0, 0, 0})},
    };
    for (const auto &r : refused) {
        exact_sum kept = sums_of({4});
        EXPECT_FALSE(exact_from_bytes(r.bytes, kept)) << r.what;
        EXPECT_EQ(exact_total(kept), 4.0) << r.what << ": left as it was";
    }
    // Bytes of chance: refused, or read back to exactly themselves; nothing else.
    std::mt19937_64 random(23);
    for (int i = 0; i < 20000; ++i) {
        std::string chance = good;
        for (int k = 0; k < 1 + static_cast<int>(random() % 3); ++k)
            chance[random() % chance.size()] = static_cast<char>(random());
        exact_sum maybe;
        if (exact_from_bytes(chance, maybe)) {
            ASSERT_EQ(exact_to_bytes(maybe), chance);
            // Figures of sums no values could give (n S2 below S1^2) are NaN, not a crash.
            (void)exact_stddev(maybe, true);
            (void)exact_mean(maybe);
        }
    }
}

// Whole numbers, float32 heights and values of one magnitude stay in the fast sums: no limbs,
// and the accumulator is the size of a few numbers.
TEST(ExactSum, CommonValuesNeedNoMoreThanTheAccumulator) {
    static_assert(sizeof(exact_sum) <= 96);
    std::mt19937_64 random(31);
    std::uniform_real_distribution<double> unit(0, 1);
    const std::vector<std::pair<const char *, std::vector<double>>> cases = {
        {"whole metres",
         [&] {
             std::vector<double> v;
             for (int i = 0; i < 100000; ++i)
                 v.push_back(static_cast<double>(random() % 9000) - 400);
             return v;
         }()},
        {"float32 heights",
         [&] {
             std::vector<double> v;
             for (int i = 0; i < 100000; ++i)
                 v.push_back(static_cast<float>(unit(random) * 3000 + 0.5));
             return v;
         }()},
        {"float32 of one magnitude and 0",
         [&] {
             std::vector<double> v = {0.0};
             for (int i = 0; i < 100000; ++i)
                 v.push_back(static_cast<float>(-unit(random) * 1e-3));
             return v;
         }()},
    };
    for (const auto &[name, values] : cases) {
        SCOPED_TRACE(name);
        const exact_sum s = sums_of(values);
        EXPECT_EQ(s.wide, nullptr);
    }
}

} // namespace
