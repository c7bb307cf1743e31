// The text number reader against the C library's own sscanf("%lf%n") and sscanf("%d%n"):
// same success, same value bit for bit, same characters consumed.
#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "grid/grid.h"
#include "test_support.h"

namespace {

struct library_read {
    bool ok;
    double value;
    int consumed;
};

library_read sscanf_double(const std::string &text) {
    double value = 0;
    int consumed = -1;
    const bool ok = std::sscanf(text.c_str(), "%lf%n", &value, &consumed) == 1;
    return {ok, value, consumed};
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
           (std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b));
}

// Checks one text against the library; the text may hold no NUL, as sscanf would stop there.
void expect_like_sscanf(const std::string &text) {
    const library_read expected = sscanf_double(text);
    const number_scan got = scan_number(text.data(), text.data() + text.size(), true);
    ASSERT_NE(got.status, scan_status::need_more) << '"' << text << '"';
    ASSERT_EQ(got.status == scan_status::ok, expected.ok) << '"' << text << '"';
    if (!expected.ok) return;
    EXPECT_TRUE(same_bits(got.value, expected.value))
        << '"' << text << "\": got " << std::hexfloat << got.value << ", expected "
        << expected.value;
    EXPECT_EQ(got.consumed, static_cast<std::size_t>(expected.consumed)) << '"' << text << '"';
}

const std::vector<std::string> awkward_tokens = {
    // plain decimals, signs, white space
    "0",
    "-0",
    "+0",
    "1",
    "-1",
    "+7",
    "42",
    "1234.56",
    "-9999",
    "-9999.0",
    "0.1",
    ".5",
    "5.",
    "-.5",
    "+.5",
    "  \t\n\v\f\r 3.25",
    "007",
    "0.000",
    "1.2.3",
    // rounding: halfway cases and long mantissas
    "9007199254740993",
    "9007199254740992",
    "9007199254740991",
    "0.1000000000000000055511151231257827",
    "2.2250738585072011e-308",
    "2.2250738585072012e-308",
    "4.9406564584124654e-324",
    "1.7976931348623157e308",
    "1.7976931348623159e308",
    "123456789012345678901234567890",
    "0.30000000000000004",
    "1e22",
    "1e23",
    "9.999999999999999e22",
    "1e-22",
    "1e-23",
    "12345678901234567",
    "1234567890123456789",
    "12345678901234567890",
    "0.49999999999999994",
    "100000000.1",
    "499999.5",
    "8.98846567431158e307",
    // exponents, complete and not
    "1e5",
    "1E5",
    "1e+5",
    "1e-5",
    "1e",
    "1e+",
    "1e-",
    "1ex",
    "1e+x",
    "1e+-3",
    "100ergs",
    "1.e3",
    ".e5",
    "e5",
    "1e0000000000000000000000001",
    "1e-99999999999999999999",
    "1e999",
    "-1e999",
    "0e999",
    "1e400",
    "1e-400",
    // hexadecimal
    "0x1p3",
    "0X1P-2",
    "0x1.8p+1q",
    "0x",
    "0x.",
    "0x.p1",
    "0xp3",
    "0x1p",
    "00x1",
    "-0x10",
    "0xffffffffffffffffffff",
    "0x1.fffffffffffff8p1023",
    "0x1e3",
    "0x1e+3",
    // infinities and NaNs
    "inf",
    "-inf",
    "INF",
    "infinity",
    "-Infinity",
    "INFINITYx",
    "infx",
    "infin",
    "infinite",
    "in",
    "i",
    "nan",
    "-nan",
    "NaN",
    "nan(12)",
    "na",
    "n",
    "nanx",
    // not numbers
    "",
    " ",
    "-",
    "+",
    ".",
    "-.",
    "+-1",
    "--1",
    "*",
    "abc",
    "5abc",
    "x1",
    ",5",
    "1,5",
    "\xef\xbb\xbf"
    "1",
    "\x80",
    "-\n1",
};

TEST(TextNumbers, AwkwardTokensReadAsTheCLibraryReadsThem) {
    for (const std::string &token : awkward_tokens) {
        expect_like_sscanf(token);
        expect_like_sscanf(token + " 7");
        expect_like_sscanf(" " + token + "\n");
    }
}

// Random tokens, mostly number-like, built from the characters that matter to the reader.
std::string random_token(std::mt19937_64 &random) {
    static const std::string pieces[] = {
        "0", "1", "5", "9", "12345", "9999999999", ".",  "e",   "E",   "-",  "+",  "x", "p", "a",
        "f", "i", "n", " ", "\n",    "00",         "0x", "inf", "nan", "e-", "e+", "3", "7"};
    std::string token;
    const auto length = random() % 8;
    for (std::uint64_t i = 0; i <= length; ++i)
        token += pieces[random() % std::size(pieces)];
    return token;
}

// Decimal numbers as grid exporters write them.
std::string random_decimal(std::mt19937_64 &random) {
    char text[64];
    const double magnitude = std::pow(10.0, static_cast<double>(random() % 24) - 8);
    const double value = std::ldexp(static_cast<double>(random() >> 11), -53) * magnitude;
    const int precision = static_cast<int>(random() % 20);
    const char *formats[] = {"%.*f", "%.*e", "%.*g", "-%.*f", "%.*E"};
    std::snprintf(text, sizeof text, formats[random() % 5], precision, value);
    return text;
}

// Plain decimals of 16 digits and more, which convert through std::from_chars: float32 cells as
// GDAL writes them (%.20g), decimals next to the midpoint between two neighbouring doubles (the
// hardest to round), and long runs of digits.
std::string random_long_decimal(std::mt19937_64 &random) {
    char text[128];
    switch (random() % 3) {
    case 0: {
        const auto cell = static_cast<float>(
            std::ldexp(static_cast<double>(random() >> 40), static_cast<int>(random() % 60) - 40));
        std::snprintf(text, sizeof text, "%.20g", static_cast<double>(cell));
        return text;
    }
    case 1: {
        const double below =
            std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 200) - 100);
        const long double midpoint = (static_cast<long double>(below) +
                                      static_cast<long double>(std::nextafter(below, INFINITY))) /
                                     2;
        std::snprintf(text, sizeof text, random() % 2 ? "%.*Le" : "%.*Lg",
                      static_cast<int>(16 + random() % 30), midpoint);
        return text;
    }
    default: {
        std::string digits = random() % 2 ? "-" : "";
        const auto length = 16 + random() % 300;
        const auto point = length - random() % (length / 2);
        for (std::uint64_t i = 0; i < length; ++i) {
            if (i == point) digits += '.';
            digits += static_cast<char>('0' + random() % 10);
        }
        if (random() % 3 == 0) {
            digits += 'e';
            digits += std::to_string(static_cast<int>(random() % 80) - 40);
        }
        return digits;
    }
    }
}

TEST(TextNumbers, RandomTokensReadAsTheCLibraryReadsThem) {
    std::mt19937_64 random(20261210);
    for (int i = 0; i < 200000; ++i) {
        expect_like_sscanf(random_token(random));
        expect_like_sscanf(random_decimal(random));
        expect_like_sscanf(random_long_decimal(random));
        if (HasFailure()) return;
    }
}

// A scan that runs into the end of the buffer must ask for more rather than decide early.
TEST(TextNumbers, ScanAsksForMoreWhereTheBufferEndsInsideAToken) {
    for (const std::string &token : awkward_tokens) {
        const std::string text = token + " ";
        for (std::size_t cut = 0; cut < text.size(); ++cut) {
            const number_scan whole = scan_number(text.data(), text.data() + text.size(), true);
            const number_scan part = scan_number(text.data(), text.data() + cut, false);
            if (part.status == scan_status::need_more) continue;
            // Deciding on a part is right only when the whole says the same.
            EXPECT_EQ(part.status, whole.status) << '"' << token << "\" cut at " << cut;
            if (part.status == scan_status::ok) {
                EXPECT_EQ(part.consumed, whole.consumed) << '"' << token << "\" cut at " << cut;
                EXPECT_TRUE(same_bits(part.value, whole.value)) << token;
            }
        }
    }
}

TEST(TextNumbers, IntegersReadAsTheCLibraryReadsThem) {
    const std::vector<std::string> tokens = {
        "0", "10", "-3", "+4", "10.0", "007", "2147483647", "-2147483648", " \n 12x",
        "-", "+",  "x",  "",   " ",    "1e3", "--1",        "0x10"};
    for (const std::string &token : tokens) {
        int expected = 0;
        int consumed = -1;
        const bool ok = std::sscanf(token.c_str(), "%d%n", &expected, &consumed) == 1;
        const integer_scan got = scan_integer(token.data(), token.data() + token.size(), true);
        ASSERT_EQ(got.status == scan_status::ok, ok) << '"' << token << '"';
        if (ok) {
            EXPECT_EQ(got.value, expected) << token;
            EXPECT_EQ(got.consumed, static_cast<std::size_t>(consumed)) << token;
        }
    }
    const std::string huge = "99999999999999999999999";
    EXPECT_EQ(scan_integer(huge.data(), huge.data() + huge.size(), true).value, INT64_MAX);
}

// Through a grid file with a small buffer, so that tokens are split across refills at every
// offset: the values read must be those sscanf reads one after the other.
class TextNumbersThroughAGrid : public test_support::scratch_test {};

TEST_F(TextNumbersThroughAGrid, TokensSplitAcrossRefillsReadTheSame) {
    std::mt19937_64 random(7);
    std::string cells;
    std::vector<double> expected;
    while (cells.size() < 200000) {
        const std::string token = random() % 4 == 0 ? random_token(random) : random_decimal(random);
        const library_read read = sscanf_double(token + " ");
        // Only tokens that sscanf reads whole keep the sequence in step.
        if (token.find_first_of(" \n") != std::string::npos || !read.ok ||
            static_cast<std::size_t>(read.consumed) != token.size())
            continue;
        cells += token;
        cells += std::string(1 + random() % 3, random() % 2 ? ' ' : '\n');
        expected.push_back(read.value);
    }
    const std::string file = path("grid.asc");
    test_support::write_file(file, "ncols 1 nrows 1 x 0 y 0 c 1 n -9999\n" + cells);
    // Buffers and blocks of odd sizes, so that tokens straddle their ends at every offset.
    for (const std::size_t buffer_size : {128u, 131u, 1000u}) {
        for (const bool in_order : {false, true}) {
            grid_stream grid;
            ASSERT_EQ(open_grid(file, grid, buffer_size), grid_open_result::ok);
            ASSERT_TRUE(read_grid_header(grid));
            start_cell_blocks(grid, {buffer_size / 3 + 1, 1, in_order});
            const grid_cells got = read_grid_cells(grid, expected.size() + 1);
            ASSERT_EQ(got.cells.size(), expected.size()) << buffer_size << " " << in_order;
            for (std::size_t i = 0; i < expected.size(); ++i)
                ASSERT_TRUE(same_bits(got.cells[i], expected[i]))
                    << "value " << i << " buffer " << buffer_size << " in order " << in_order;
            EXPECT_EQ(got.end, block_end::no_value);
        }
    }
}

} // namespace
