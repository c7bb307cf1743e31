#include "stats/exact_sum.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace {

constexpr int sum_unit = -1120;     // the place of digit 0 of the sum: a multiple of 32
constexpr int squares_unit = -2240; // and of the sum of squares: twice the sum's
// Digit places, by the unit: values reach 2^1024 times a 64-bit count, squares its square.
constexpr std::int32_t sum_digits = 80;
constexpr std::int32_t squares_digits = 150;
constexpr std::uint32_t adds_before_carry = 1U << 30; // each adds below 2^32 to a limb
constexpr int headroom = 16; // bits the fast sum leaves above the largest value seen

// ---- the limbs ----

// Every digit lies below this place: 2^1024 times a 64-bit count, squared, in units of 2^-2240,
// is 4352 bits, 136 digits; read bytes hold up to squares_digits.
constexpr std::int32_t digit_places = 160;

// Makes the limbs cover digits first to last, which lie within 0 to digit_places - 1.
void cover(exact_limbs &l, std::int32_t first, std::int32_t last) {
    const auto size = static_cast<std::int32_t>(l.limbs.size());
    if (size != 0 && first >= l.low && last < l.low + size) return;
    // A few digits of room on each side: the magnitudes of a zone's values seldom move far.
    std::int32_t low = std::max(first - 2, 0);
    std::int32_t high = std::min(last + 2, digit_places - 1);
    if (size != 0) {
        low = std::min(l.low, low);
        high = std::max(l.low + size - 1, high);
    }
    std::vector<std::int64_t> limbs(static_cast<std::size_t>(high - low + 1));
    if (size != 0) std::copy(l.limbs.begin(), l.limbs.end(), limbs.begin() + (l.low - low));
    l.limbs = std::move(limbs);
    l.low = low;
}

// Propagates the carries over n limbs: every limb but the last becomes a digit, 0 to 2^32 - 1,
// and the last takes the rest, the sign with it. Returns what is carried out of the last one,
// which the caller has room for where it can be other than 0.
std::int64_t carry(std::int64_t *limbs, std::size_t n) noexcept {
    std::int64_t carried = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t t = limbs[i] + carried;
        limbs[i] = t & 0xFFFFFFFF;
        carried = t >> 32; // arithmetic: the floor
    }
    return carried;
}

void carry(exact_limbs &l) {
    const std::int64_t out = carry(l.limbs.data(), l.limbs.size());
    if (out != 0) l.limbs.push_back(out); // below 2^31 in magnitude
    l.adds = 0;
}

// Adds (or subtracts) magnitude 2^(place % 32) to the limbs from `at` on: three of them.
inline void add_at(std::int64_t *at, std::uint64_t magnitude, std::int32_t place,
                   bool negative) noexcept {
    const exact_uint128 v = exact_uint128{magnitude} << (place & 31);
    const auto d0 = static_cast<std::int64_t>(static_cast<std::uint32_t>(v));
    const auto d1 = static_cast<std::int64_t>(static_cast<std::uint32_t>(v >> 32));
    const auto d2 = static_cast<std::int64_t>(static_cast<std::uint32_t>(v >> 64));
    if (negative) {
        at[0] -= d0;
        at[1] -= d1;
        at[2] -= d2;
    } else {
        at[0] += d0;
        at[1] += d1;
        at[2] += d2;
    }
}

// Adds (or subtracts) magnitude 2^place, place counted in bits from digit 0.
void add_bits(exact_limbs &l, std::uint64_t magnitude, std::int32_t place, bool negative) {
    if (magnitude == 0) return;
    const std::int32_t digit = place >> 5;
    cover(l, digit, digit + 2);
    add_at(l.limbs.data() + (digit - l.low), magnitude, place, negative);
    if (++l.adds == adds_before_carry) carry(l);
}

void add_wide(exact_limbs &l, exact_uint128 magnitude, std::int32_t place, bool negative) {
    add_bits(l, static_cast<std::uint64_t>(magnitude), place, negative);
    add_bits(l, static_cast<std::uint64_t>(magnitude >> 64), place + 64, negative);
}

// ---- whole numbers, without allocating ----

// Room for the digits of a sum of squares times a count, and for more below them.
constexpr std::size_t number_capacity = 2 * digit_places + 16;

// A whole number as digits 0 to 2^32 - 1 from digit `low` on, and a sign.
struct exact_number {
    bool negative = false;
    std::int32_t low = 0;
    std::size_t size = 0; // digits[size - 1] is not 0, unless size is 0
    std::uint32_t digits[number_capacity];
};

void trim(exact_number &n) noexcept {
    while (n.size != 0 && n.digits[n.size - 1] == 0)
        --n.size;
}

// A fast sum's words at the place of the lowest one: each a magnitude and a sign.
struct fast_words {
    std::uint64_t magnitude[3] = {};
    bool negative[3] = {};
    std::size_t count = 0;
    std::int32_t place = 0;
};

fast_words sum_words(const exact_sum &s) noexcept {
    fast_words w;
    // Two's complement: the low word as it is, the high one with the sign.
    const auto bits = static_cast<exact_uint128>(s.fast.sum);
    w.magnitude[0] = static_cast<std::uint64_t>(bits);
    const auto high = static_cast<std::uint64_t>(bits >> 64);
    w.negative[1] = s.fast.sum < 0;
    w.magnitude[1] = w.negative[1] ? 0 - high : high;
    w.count = 2;
    w.place = s.anchor - sum_unit;
    return w;
}

fast_words squares_words(const exact_sum &s) noexcept {
    fast_words w;
    std::copy(s.fast.squares, s.fast.squares + 3, w.magnitude);
    w.count = 3;
    w.place = 2 * s.anchor - squares_unit;
    return w;
}

// The number the limbs (none: 0) and the fast words hold together. Only the digits they reach
// are worked on: the figures of each of many zones take a few of them.
void number_of(const exact_limbs *l, const fast_words &w, exact_number &n) noexcept {
    n.negative = false;
    n.low = 0;
    n.size = 0;
    constexpr std::size_t capacity = digit_places + 16;
    std::size_t first = capacity;
    std::size_t end = 0;
    if (l != nullptr && !l->limbs.empty()) {
        first = static_cast<std::size_t>(l->low);
        end = std::min(first + l->limbs.size(), capacity - 1);
    }
    bool any_word = false;
    for (std::size_t k = 0; k < w.count; ++k)
        any_word |= w.magnitude[k] != 0;
    const auto word_digit = static_cast<std::size_t>(w.place >> 5);
    if (any_word) {
        first = std::min(first, word_digit);
        end = std::max(end, word_digit + 2 * w.count + 1);
    }
    if (first >= end) return;
    ++end; // room for the sign to settle in
    std::int64_t limbs[capacity];
    std::fill(limbs + first, limbs + end, 0);
    if (l != nullptr)
        for (std::size_t i = 0; i < l->limbs.size() && l->low + i < capacity - 1; ++i)
            limbs[static_cast<std::size_t>(l->low) + i] = l->limbs[i];
    if (any_word)
        for (std::size_t k = 0; k < w.count; ++k)
            add_at(limbs + word_digit + 2 * k, w.magnitude[k], w.place, w.negative[k]);
    const std::size_t size = end - first;
    std::int64_t *const at = limbs + first;
    // The magnitude lies below 2^(32 size - 1): what is carried out is the sign, -1 or 0.
    n.negative = carry(at, size) < 0;
    if (n.negative) {
        for (std::size_t i = 0; i < size; ++i)
            at[i] = -at[i];
        carry(at, size);
    }
    std::size_t top = size;
    while (top != 0 && at[top - 1] == 0)
        --top;
    std::size_t start = 0;
    while (start < top && at[start] == 0)
        ++start;
    if (start == top) {
        n.negative = false;
        return;
    }
    n.low = static_cast<std::int32_t>(first + start);
    n.size = top - start;
    for (std::size_t i = start; i < top; ++i)
        n.digits[i - start] = static_cast<std::uint32_t>(at[i]);
}

void sum_number(const exact_sum &s, exact_number &n) noexcept {
    number_of(s.wide ? &s.wide->sum : nullptr, sum_words(s), n);
}
void squares_number(const exact_sum &s, exact_number &n) noexcept {
    number_of(s.wide ? &s.wide->squares : nullptr, squares_words(s), n);
}

std::size_t bit_length(const exact_number &n) noexcept {
    return n.size == 0
               ? 0
               : 32 * (n.size - 1) + static_cast<std::size_t>(std::bit_width(n.digits[n.size - 1]));
}

// Bits from..from+63 of n's digits (beyond its top: 0).
std::uint64_t bits_at(const exact_number &n, std::size_t from) noexcept {
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t digit = from / 32 + k;
        if (digit >= n.size) break;
        const exact_uint128 d = exact_uint128{n.digits[digit]} << (32 * k);
        bits |= static_cast<std::uint64_t>(d >> (from % 32));
    }
    return bits;
}
// Whether any bit of n's digits below `bit` is set.
bool any_below(const exact_number &n, std::size_t bit) noexcept {
    for (std::size_t i = 0; i < n.size && 32 * i < bit; ++i) {
        const std::size_t in = std::min<std::size_t>(32, bit - 32 * i);
        const std::uint32_t mask = in == 32 ? 0xFFFFFFFFU : (1U << in) - 1;
        if (n.digits[i] & mask) return true;
    }
    return false;
}

// (n's digits 2^place, and a little more where `inexact`) rounded to the nearest double, ties
// to even: 53 bits from the top one, none below 2^-1074.
double round_to_double(const exact_number &n, std::int64_t place, bool inexact) noexcept {
    const auto length = static_cast<std::int64_t>(bit_length(n));
    if (length == 0) return 0;
    const std::int64_t unit = std::max<std::int64_t>(place + length - 53, -1074);
    double magnitude = HUGE_VAL;
    if (unit <= place) {
        magnitude = std::ldexp(static_cast<double>(bits_at(n, 0)), static_cast<int>(place));
    } else if (unit <= 1024) {
        const auto drop = static_cast<std::size_t>(unit - place);
        std::uint64_t kept = bits_at(n, drop);
        const bool half = bits_at(n, drop - 1) & 1;
        const bool rest = inexact || any_below(n, drop - 1);
        if (half && (rest || (kept & 1))) ++kept;
        magnitude = std::ldexp(static_cast<double>(kept), static_cast<int>(unit));
    }
    return n.negative ? -magnitude : magnitude;
}

// n = n / divisor, rounded down; true where that left a remainder.
bool divide(exact_number &n, std::uint64_t divisor) noexcept {
    if (divisor <= 0xFFFFFFFF) {
        // The common count: 64-bit steps, which the processor divides itself.
        std::uint64_t remainder = 0;
        for (std::size_t i = n.size; i-- > 0;) {
            const std::uint64_t t = remainder << 32 | n.digits[i];
            n.digits[i] = static_cast<std::uint32_t>(t / divisor);
            remainder = t % divisor;
        }
        trim(n);
        return remainder != 0;
    }
    exact_uint128 remainder = 0;
    for (std::size_t i = n.size; i-- > 0;) {
        const exact_uint128 t = remainder << 32 | n.digits[i];
        n.digits[i] = static_cast<std::uint32_t>(t / divisor);
        remainder = t % divisor;
    }
    trim(n);
    return remainder != 0;
}

// Moves n's digits up by `more` places, zeros below, so that n.low is `low`.
void lower_to(exact_number &n, std::int32_t low) noexcept {
    const auto more = static_cast<std::size_t>(n.low - low);
    if (n.size == 0 || more == 0) {
        n.low = low;
        return;
    }
    std::copy_backward(n.digits, n.digits + n.size, n.digits + n.size + more);
    std::fill_n(n.digits, more, 0U);
    n.size += more;
    n.low = low;
}

// a = a + m b 2^(32 shift), or a - m b 2^(32 shift) where `subtract`, a and b from one digit on.
// False where a - m b would be negative.
bool multiply_add(exact_number &a, const exact_number &b, std::size_t shift, std::uint64_t m,
                  bool subtract) noexcept {
    const std::size_t size = std::max(a.size, b.size + shift) + 3;
    std::fill(a.digits + a.size, a.digits + size, 0U);
    exact_int128 carried = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const exact_uint128 term =
            i >= shift && i - shift < b.size ? exact_uint128{b.digits[i - shift]} * m : 0;
        exact_int128 t = carried + a.digits[i];
        t += subtract ? -static_cast<exact_int128>(term) : static_cast<exact_int128>(term);
        a.digits[i] = static_cast<std::uint32_t>(t & 0xFFFFFFFF);
        carried = t >> 32;
    }
    a.size = size;
    trim(a);
    return carried == 0;
}

// The square root of q (below 2^126), rounded down: Newton's steps from the double's.
std::uint64_t isqrt(exact_uint128 q) noexcept {
    auto r = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(q))) + 1;
    for (int step = 0; step < 2; ++step)
        r = static_cast<std::uint64_t>((r + q / r) / 2);
    while (exact_uint128{r} * r > q)
        --r;
    while (exact_uint128{r + 1} * (r + 1) <= q)
        ++r;
    return r;
}

} // namespace

// ---- adding ----

void exact_detail::add_slow(exact_sum &s, double x, bool squares) {
    if (!std::isfinite(x)) {
        s.specials |= std::isnan(x) ? exact_nan : x > 0 ? exact_plus_inf : exact_minus_inf;
        return;
    }
    if (x == 0) return;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    const bool negative = bits >> 63;
    const auto biased = static_cast<int>(bits >> 52 & 0x7FF);
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int e = -1074;
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        e = biased - 1075;
    }
    const int zeros = std::countr_zero(m);
    m >>= zeros;
    e += zeros;
    const int top = e + static_cast<int>(std::bit_width(m));
    s.top = static_cast<std::int16_t>(std::max<int>(s.top, top));
    s.finest = static_cast<std::int16_t>(std::min<int>(s.finest, e));
    // The anchor that takes every value seen with room above the largest; where none can, the
    // one that takes the largest.
    int anchor = std::max(s.top - 62, std::min<int>(s.finest, s.top + headroom - 62));
    // 2^-anchor a normal double, and at least 1: x / 2^anchor can't underflow. Values from 2^62
    // on take the slow path.
    anchor = std::clamp(anchor, -1022, 0);
    if (std::isnan(s.scale) || anchor != s.anchor) {
        const fast_words sum = sum_words(s);
        const fast_words squares_of = squares_words(s);
        for (std::size_t k = 0; k < 3; ++k) {
            if (sum.magnitude[k] == 0 && squares_of.magnitude[k] == 0) continue;
            if (!s.wide) s.wide = std::make_unique<exact_wide>();
            add_bits(s.wide->sum, sum.magnitude[k], sum.place + 64 * static_cast<int>(k),
                     sum.negative[k]);
            add_bits(s.wide->squares, squares_of.magnitude[k],
                     squares_of.place + 64 * static_cast<int>(k), false);
        }
        s.fast = exact_fast{};
        s.anchor = static_cast<std::int16_t>(anchor);
        s.scale = std::ldexp(1.0, -anchor);
        exact_fast &f = s.fast;
        if (exact_add_fast(f.sum, f.squares[0], f.squares[1], f.squares[2], s.scale, x, squares))
            return;
    }
    if (!s.wide) s.wide = std::make_unique<exact_wide>();
    add_bits(s.wide->sum, m, e - sum_unit, negative);
    if (squares) add_wide(s.wide->squares, exact_uint128{m} * m, 2 * e - squares_unit, false);
}

void exact_merge(exact_sum &into, const exact_sum &from) {
    exact_number sum;
    exact_number squares;
    sum_number(from, sum);
    squares_number(from, squares);
    into.count += from.count;
    into.specials |= from.specials;
    if (sum.size == 0 && squares.size == 0) return;
    if (!into.wide) into.wide = std::make_unique<exact_wide>();
    for (std::size_t i = 0; i < sum.size; ++i)
        add_bits(into.wide->sum, sum.digits[i], 32 * (sum.low + static_cast<std::int32_t>(i)),
                 sum.negative);
    for (std::size_t i = 0; i < squares.size; ++i)
        add_bits(into.wide->squares, squares.digits[i],
                 32 * (squares.low + static_cast<std::int32_t>(i)), false);
}

// ---- bytes ----

namespace {

void put_varint(std::string &out, std::uint64_t v) {
    for (; v >= 0x80; v >>= 7)
        out += static_cast<char>((v & 0x7F) | 0x80);
    out += static_cast<char>(v);
}

void put_number(std::string &out, const exact_number &n) {
    out += static_cast<char>(n.negative);
    put_varint(out, static_cast<std::uint64_t>(n.low));
    put_varint(out, n.size);
    for (std::size_t i = 0; i < n.size; ++i)
        for (int k = 0; k < 32; k += 8)
            out += static_cast<char>(n.digits[i] >> k & 0xFF);
}

struct reader {
    std::string_view bytes;
    std::size_t at = 0;
    // The shortest form only: no final byte of 0 after others, nothing beyond 64 bits.
    bool varint(std::uint64_t &v) {
        v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at == bytes.size()) return false;
            const auto b = static_cast<unsigned char>(bytes[at++]);
            v |= std::uint64_t{b & 0x7FU} << shift;
            if (!(b & 0x80)) return !(shift == 63 && b > 1) && !(b == 0 && shift != 0);
        }
        return false;
    }
    // A number as put_number writes it, its digits within places 0 to places - 1.
    bool number(exact_number &n, std::int32_t places) {
        if (at == bytes.size()) return false;
        const auto sign = static_cast<unsigned char>(bytes[at++]);
        std::uint64_t low = 0;
        std::uint64_t size = 0;
        if (sign > 1 || !varint(low) || !varint(size)) return false;
        if (size == 0) return sign == 0 && low == 0;
        if (low >= static_cast<std::uint64_t>(places) ||
            size > static_cast<std::uint64_t>(places) - low || (bytes.size() - at) / 4 < size)
            return false;
        n.negative = sign == 1;
        n.low = static_cast<std::int32_t>(low);
        n.size = static_cast<std::size_t>(size);
        for (std::size_t i = 0; i < n.size; ++i, at += 4) {
            std::uint32_t d = 0;
            for (std::size_t k = 0; k < 4; ++k)
                d |= std::uint32_t{static_cast<unsigned char>(bytes[at + k])} << (8 * k);
            n.digits[i] = d;
        }
        return n.digits[0] != 0 && n.digits[n.size - 1] != 0;
    }
};

exact_limbs limbs_of(const exact_number &n) {
    exact_limbs l;
    l.low = n.low;
    for (std::size_t i = 0; i < n.size; ++i)
        l.limbs.push_back(n.negative ? -std::int64_t{n.digits[i]} : std::int64_t{n.digits[i]});
    return l;
}

} // namespace

std::string exact_to_bytes(const exact_sum &s) {
    exact_number sum;
    exact_number squares;
    sum_number(s, sum);
    squares_number(s, squares);
    std::string out;
    put_varint(out, s.count);
    out += static_cast<char>(s.specials);
    put_number(out, sum);
    put_number(out, squares);
    return out;
}

bool exact_from_bytes(std::string_view bytes, exact_sum &s) {
    reader r{bytes};
    std::uint64_t count = 0;
    exact_number sum;
    exact_number squares;
    if (!r.varint(count) || r.at == bytes.size()) return false;
    const auto specials = static_cast<unsigned char>(bytes[r.at++]);
    if (specials > (exact_plus_inf | exact_minus_inf | exact_nan)) return false;
    if (!r.number(sum, sum_digits) || !r.number(squares, squares_digits)) return false;
    if (r.at != bytes.size() || squares.negative) return false;
    // Nothing counted holds nothing; values whose squares add up to 0 are all 0.
    if (count == 0 && (specials != 0 || squares.size != 0)) return false;
    if (squares.size == 0 && sum.size != 0) return false;
    exact_sum read;
    read.count = count;
    read.specials = specials;
    if (squares.size != 0) {
        read.wide = std::make_unique<exact_wide>();
        read.wide->sum = limbs_of(sum);
        read.wide->squares = limbs_of(squares);
    }
    s = std::move(read);
    return true;
}

// ---- the figures ----

namespace {

// NaN where the values hold a NaN or both infinities, else the infinity they hold.
double special_sum(std::uint8_t specials) noexcept {
    if ((specials & exact_nan) || (specials & exact_plus_inf && specials & exact_minus_inf))
        return std::numeric_limits<double>::quiet_NaN();
    return specials & exact_plus_inf ? HUGE_VAL : -HUGE_VAL;
}

} // namespace

double exact_total(const exact_sum &s) noexcept {
    if (s.specials) return special_sum(s.specials);
    exact_number sum;
    sum_number(s, sum);
    return round_to_double(sum, 32 * std::int64_t{sum.low} + sum_unit, false);
}

double exact_mean(const exact_sum &s) noexcept {
    if (s.count == 0) return std::numeric_limits<double>::quiet_NaN();
    if (s.specials) return special_sum(s.specials);
    exact_number sum;
    sum_number(s, sum);
    if (sum.size == 0) return 0;
    // Three digits below: the divisor, below 2^64, leaves a quotient of 65 bits or more.
    lower_to(sum, sum.low - 3);
    const bool inexact = divide(sum, s.count);
    return round_to_double(sum, 32 * std::int64_t{sum.low} + sum_unit, inexact);
}

double exact_stddev(const exact_sum &s, bool sample) noexcept {
    // With an infinity, n S2 - S1^2 is inf - inf.
    if (s.specials || s.count < (sample ? 2U : 1U)) return std::numeric_limits<double>::quiet_NaN();
    exact_number sum;
    exact_number d; // n S2 - S1^2 in units of 2^-2240, exactly: never negative
    sum_number(s, sum);
    squares_number(s, d);
    if (d.size == 0) return 0;
    const std::uint64_t n = s.count;
    const std::int32_t low = sum.size == 0 ? d.low : std::min(d.low, 2 * sum.low);
    lower_to(d, low);
    if (!multiply_add(d, d, 0, n - 1, false)) return std::numeric_limits<double>::quiet_NaN();
    // S1^2 is the sum over i of S1 times digit i of S1, 2^(32 i) up.
    const auto shift = static_cast<std::size_t>(2 * sum.low - low);
    for (std::size_t i = 0; i < sum.size; ++i)
        if (!multiply_add(d, sum, shift + i, sum.digits[i], true))
            return std::numeric_limits<double>::quiet_NaN();
    if (d.size == 0) return 0;
    // Enough digits below that the quotient keeps 160 bits or more, and its root 80.
    lower_to(d, d.low - static_cast<std::int32_t>(d.size < 10 ? 10 - d.size : 0));
    bool inexact = divide(d, n);
    inexact |= divide(d, sample ? n - 1 : n);
    // The top 124 or 125 bits, from an even place.
    const std::int64_t place = 32 * std::int64_t{d.low} + squares_unit;
    std::int64_t cut = static_cast<std::int64_t>(bit_length(d)) - 125;
    if ((place + cut) % 2 != 0) ++cut;
    const auto from = static_cast<std::size_t>(cut);
    inexact |= any_below(d, from);
    const exact_uint128 top = exact_uint128{bits_at(d, from + 64)} << 64 | bits_at(d, from);
    const std::uint64_t root = isqrt(top);
    inexact |= exact_uint128{root} * root != top;
    exact_number r;
    r.digits[0] = static_cast<std::uint32_t>(root);
    r.digits[1] = static_cast<std::uint32_t>(root >> 32);
    r.size = 2;
    trim(r);
    return round_to_double(r, (place + cut) / 2, inexact);
}
