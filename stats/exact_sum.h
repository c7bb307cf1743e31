// The exact sums of one zone's values for the table: their count, the sum of the values and the
// sum of their squares, held without rounding, so that every figure made from them depends on
// the values alone, not on the order they came in or how they were grouped.
//
// A value x is m 2^e with a whole m below 2^53, its square m^2 2^(2e) with m^2 below 2^106: both
// are whole numbers of fixed units (2^-1120 for sums, 2^-2240 for squares), which are added as
// digits of base 2^32 held in signed 64-bit limbs, covering only the digits the zone's values
// have reached. Carries wait until 2^30 additions could make a limb overflow.
//
// The common values (whole numbers, float32 values widened, values of one magnitude) take a
// faster path: when x / 2^anchor is a whole number i of at most 2^63 in magnitude, i goes to a
// 128-bit sum and i^2 to a 192-bit one. The anchor follows the largest and the finest values seen;
// a value the fast path can't take, and the fast sums when the anchor moves, go to the limbs.
//
// Infinite and NaN values are kept as flags: the figures are then those IEEE arithmetic gives.
#pragma once

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

__extension__ typedef __int128 exact_int128;
__extension__ typedef unsigned __int128 exact_uint128;

// A whole number as digits of base 2^32 from digit `low` on, each a signed 64-bit limb that may
// hold more than a digit until the carries are propagated.
struct exact_limbs {
    std::int32_t low = 0;
    std::uint32_t adds = 0; // since the carries were last propagated
    std::vector<std::int64_t> limbs;
};

struct exact_wide {
    exact_limbs sum;     // in units of 2^-1120
    exact_limbs squares; // in units of 2^-2240
};

inline constexpr std::uint8_t exact_plus_inf = 1;
inline constexpr std::uint8_t exact_minus_inf = 2;
inline constexpr std::uint8_t exact_nan = 4;

// The fast sums: the sum of x / 2^anchor over the values the fast path took, and the sum of
// their squares as words of 64 bits from the lowest.
struct exact_fast {
    exact_int128 sum = 0;
    std::uint64_t squares[3] = {};
};

struct exact_sum {
    exact_fast fast;
    std::uint64_t count = 0;
    // 2^-anchor; NaN, which the fast path takes nothing with, until the first value other than
    // 0 sets the anchor.
    double scale = std::numeric_limits<double>::quiet_NaN();
    std::int16_t anchor = 0;
    std::int16_t top = -32768;   // every finite value seen lies below 2^top in magnitude
    std::int16_t finest = 32767; // and is a whole multiple of 2^finest
    std::uint8_t specials = 0;   // exact_plus_inf, exact_minus_inf, exact_nan
    std::unique_ptr<exact_wide> wide;
};

namespace exact_detail {
// Adds x, which the fast path did not take. Throws std::bad_alloc.
void add_slow(exact_sum &sum, double x, bool squares);
} // namespace exact_detail

// y rounded toward 0 where it lies within the 64-bit range, else -2^63; on x86-64 the one
// instruction that does just that.
#if defined(__SSE2__) && defined(__x86_64__)
inline std::int64_t exact_truncate(double y) noexcept {
    return _mm_cvttsd_si64(_mm_set_sd(y));
}
#else
inline std::int64_t exact_truncate(double y) noexcept {
    return std::fabs(y) < 0x1p63 ? static_cast<std::int64_t>(y)
                                 : std::numeric_limits<std::int64_t>::min();
}
#endif

// The fast path on the parts of exact_fast: false where x must go to add_slow. The anchor is 0
// or below, so x / 2^anchor is exact: it can't underflow. It is taken where it is a whole number
// of at most 2^63 in magnitude; a NaN or a number out of range truncates to -2^63, which only
// -2^63 equals. The parts are passed one by one, with the carries written out, so that the
// compiler keeps them in registers in a loop.
inline bool exact_add_fast(exact_int128 &sum, std::uint64_t &squares0, std::uint64_t &squares1,
                           std::uint64_t &squares2, double scale, double x, bool squares) noexcept {
    const double y = x * scale;
    const std::int64_t i = exact_truncate(y);
    if (static_cast<double>(i) != y) return false;
    sum += i;
    if (squares) {
        const auto u = static_cast<std::uint64_t>(i);
        const auto magnitude = i < 0 ? 0 - u : u;
        const exact_uint128 square = exact_uint128{magnitude} * magnitude; // at most 2^126
        const auto low = static_cast<std::uint64_t>(square);
        const auto high = static_cast<std::uint64_t>(square >> 64) + (squares0 + low < low);
        squares0 += low;
        squares1 += high;
        squares2 += squares1 < high;
    }
    return true;
}

// Counts x into the sums, and into the sums of squares where `squares`; an accumulator gathers
// squares for all its values or for none. Throws std::bad_alloc.
inline void exact_add(exact_sum &sum, double x, bool squares) {
    ++sum.count;
    exact_fast &f = sum.fast;
    if (!exact_add_fast(f.sum, f.squares[0], f.squares[1], f.squares[2], sum.scale, x, squares))
        exact_detail::add_slow(sum, x, squares);
}

// Adds everything `from` holds to `into`: any grouping and order of merges and additions of the
// same values gives the same sums. Throws std::bad_alloc.
void exact_merge(exact_sum &into, const exact_sum &from);

// The state as bytes, the same bytes for the same values however they were added and merged:
// the count, the flags, then the sum and the sum of squares, each as a sign, its lowest digit's
// place and its digits, little-endian. The caller keeps a version beside them. Throws
// std::bad_alloc.
std::string exact_to_bytes(const exact_sum &sum);
// Reads what exact_to_bytes wrote into `sum`; false, with `sum` left as it was, for bytes it
// can't have written. Throws std::bad_alloc.
bool exact_from_bytes(std::string_view bytes, exact_sum &sum);

// The figures, each the exact one rounded to the nearest double (ties to even), or as IEEE
// arithmetic has them where a value is infinite: the sum; the mean (count above 0); the standard
// deviation of a sample (count above 1) or of the population (count above 0).
double exact_total(const exact_sum &sum) noexcept;
double exact_mean(const exact_sum &sum) noexcept;
double exact_stddev(const exact_sum &sum, bool sample) noexcept;
