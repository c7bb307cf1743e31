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
// faster path: when x / 2^anchor is a whole number i below 2^62 in magnitude, i goes to a 128-bit
// sum and i^2 to a 192-bit one. The anchor follows the largest and the finest values seen; a
// value the fast path can't take, and the fast sums when the anchor moves, go to the limbs.
//
// Infinite and NaN values are kept as flags: the figures are then those IEEE arithmetic gives.
#pragma once

#include <cmath>
#include <cstdint>
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

struct exact_sum {
    exact_int128 fast_sum = 0;           // sum of x / 2^anchor over the fast values
    exact_uint128 fast_squares = 0;      // sum of their squares: the low 128 bits
    std::uint64_t fast_squares_high = 0; // and the bits above
    std::uint64_t count = 0;
    double scale = 0; // 2^-anchor; 0 until the first value other than 0 fixes the anchor
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

// The fast path on the parts of an accumulator: false where x must go to add_slow. x / 2^anchor
// is exact unless it underflows, which leaves 0 for an x that is not.
inline bool exact_add_fast(exact_int128 &fast_sum, exact_uint128 &fast_squares,
                           std::uint64_t &fast_squares_high, double scale, double x,
                           bool squares) noexcept {
    const double y = x * scale;
    if (!(std::fabs(y) < 0x1p62)) return false;
    const auto i = static_cast<std::int64_t>(y);
    if (static_cast<double>(i) != y || (i == 0 && x != 0)) return false;
    fast_sum += i;
    if (squares) {
        const auto magnitude = static_cast<std::uint64_t>(i < 0 ? -i : i);
        const exact_uint128 square = exact_uint128{magnitude} * magnitude;
        fast_squares += square;
        fast_squares_high += fast_squares < square;
    }
    return true;
}

// Counts x into the sums, and into the sums of squares where `squares`; an accumulator gathers
// squares for all its values or for none. Throws std::bad_alloc.
inline void exact_add(exact_sum &sum, double x, bool squares) {
    ++sum.count;
    if (!exact_add_fast(sum.fast_sum, sum.fast_squares, sum.fast_squares_high, sum.scale, x,
                        squares))
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
