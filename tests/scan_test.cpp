// The scan against a plain sequential count: random grid pairs in every format, scanned with
// random block sizes, blocks in flight and thread counts, read at offsets and one after another,
// must leave the register exactly as counting the pairs one by one in file order does, and stop
// at the same cell for the same reason.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "scan/scan.h"
#include "test_support.h"

namespace {

using test_support::binary_grid;
using test_support::geometry;
using test_support::read_file;
using test_support::write_file;

// Words that read as one number or more, as fscanf reads them, and a few that end a grid.
std::string random_word(std::mt19937_64 &random, bool may_end_the_grid) {
    static const char *const odd[] = {"1-2", "5e3", "-0",    "+7",      ".5",  "1.",    "0x1p3",
                                      "inf", "1e+", "-9999", "3.25e-2", "nan", "1e400", "2e-400"};
    if (may_end_the_grid && random() % 400 == 0) return random() % 2 ? "*" : "5abc";
    switch (random() % 6) {
    case 0:
        return odd[random() % std::size(odd)];
    case 1: { // as GDAL writes float32 cells: up to 20 significant digits
        char text[64];
        std::snprintf(text, sizeof text, "%.20g",
                      static_cast<double>(
                          static_cast<float>(static_cast<double>(random() % 2000000) / 997.0)));
        return text;
    }
    case 2:
        return std::to_string(static_cast<long long>(random() % 100000) - 50000) + "." +
               std::to_string(random() % 1000);
    default:
        return std::to_string(random() % 50);
    }
}

std::string random_space(std::mt19937_64 &random) {
    static const char *const spaces[] = {" ", "\n", "\t", "  ", "\r\n", " \n  "};
    return spaces[random() % std::size(spaces)];
}

struct grid_pair {
    std::string input;
    std::string zones;
    std::uint64_t cells;
};

// A grid of `cells` cells in a random format, the zone grid's values in runs of one zone.
std::string random_grid(std::mt19937_64 &random, const geometry &g, bool zones,
                        std::uint64_t cells) {
    const int format = static_cast<int>(random() % 3);
    std::vector<double> values;
    double zone = 1;
    for (std::uint64_t i = 0; i < cells; ++i) {
        if (zones) {
            if (random() % 40 == 0) zone = static_cast<double>(random() % 60);
            if (random() % 500 == 0) zone = 1e7 + static_cast<double>(random() % 3);
            values.push_back(random() % 30 == 0 ? -1 : zone);
        } else {
            values.push_back(random() % 25 == 0 ? -9999
                                                : static_cast<double>(random() % 100000) / 8);
        }
    }
    const bool cut_short = random() % 4 == 0;
    if (format == 1 || format == 2) {
        std::string bytes =
            format == 1 ? binary_grid<float>(g, values) : binary_grid<double>(g, values);
        if (cut_short) bytes.resize(bytes.size() - random() % (bytes.size() / 3 + 1));
        return bytes;
    }
    std::string text = test_support::text_grid(g, {});
    const std::uint64_t words = cut_short ? cells - random() % (cells / 3 + 1) : cells;
    for (std::uint64_t i = 0; i < words; ++i) {
        if (zones) {
            char number[32];
            std::snprintf(number, sizeof number, "%.17g", values[i]);
            text += number;
        } else {
            text += random_word(random, true);
        }
        text += random_space(random);
    }
    if (random() % 3 == 0) text += "trailing words never read " + random_word(random, false);
    return text;
}

// The count as a plain loop: every cell of both grids read in file order, each counting pair
// counted into the register one by one.
scan_result count_one_by_one(grid_stream &input, grid_stream &zones, zone_register &reg,
                             std::uint64_t cells) {
    start_cell_blocks(input);
    start_cell_blocks(zones);
    const grid_cells values = read_grid_cells(input, cells);
    const grid_cells zone_values = read_grid_cells(zones, cells);
    const double threshold = counting_threshold(input.header.nodata);
    for (std::uint64_t cell = 0; cell < cells; ++cell) {
        if (cell == values.cells.size())
            return {values.end == block_end::no_memory ? scan_outcome::no_memory
                                                       : scan_outcome::no_value,
                    cell, false};
        if (cell == zone_values.cells.size())
            return {zone_values.end == block_end::no_memory ? scan_outcome::no_memory
                                                            : scan_outcome::no_value,
                    cell, true};
        const double v = values.cells[cell];
        const double z = zone_values.cells[cell];
        if (pair_counts(v, z, threshold) && !count_into_zone(reg, v, z))
            return {scan_outcome::no_zone_memory, cell, false};
    }
    return {};
}

class Scan : public test_support::scratch_test {
  protected:
    // Scans with the dots sent to a file; returns how many dots there were.
    scan_result scan_counting_dots(grid_stream &input, grid_stream &zones, zone_counter &counter,
                                   const scan_settings &settings, std::size_t &dots) {
        std::fflush(stdout);
        const int saved_stdout = dup(1);
        const int file = open(path("dots").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(file, 1);
        close(file);
        const scan_result result = scan_cells(input, zones, counter, settings);
        std::fflush(stdout);
        dup2(saved_stdout, 1);
        close(saved_stdout);
        dots = read_file(path("dots")).size();
        return result;
    }
};

TEST_F(Scan, RandomBlocksAndThreadsCountAsOneByOne) {
    std::mt19937_64 random(2024);
    for (int round = 0; round < 60; ++round) {
        const double ncols = static_cast<double>(1 + random() % 40);
        const double nrows = static_cast<double>(random() % 30);
        const geometry g{ncols, nrows};
        const auto cells = static_cast<std::uint64_t>(ncols * nrows);
        write_file(path("in"), random_grid(random, g, false, cells));
        write_file(path("zones"), random_grid(random, g, true, cells));

        grid_stream input;
        grid_stream zones;
        zone_register expected;
        std::uint32_t failed_slot = 0;
        ASSERT_EQ(register_create(expected, failed_slot), register_create_result::ok);
        register_clear(expected);
        ASSERT_EQ(open_grid(path("in"), input), grid_open_result::ok);
        ASSERT_EQ(open_grid(path("zones"), zones), grid_open_result::ok);
        ASSERT_TRUE(read_grid_header(input) && read_grid_header(zones));
        const scan_result plain = count_one_by_one(input, zones, expected, cells);

        for (int variant = 0; variant < 8; ++variant) {
            scan_settings settings;
            settings.threads = 1 + static_cast<unsigned>(random() % 8);
            settings.blocks.text_bytes = 1 + random() % 300;
            settings.blocks.binary_cells = 1 + random() % 50;
            settings.blocks.in_order = random() % 3 == 0;
            settings.blocks_in_flight = 1 + random() % 5;
            SCOPED_TRACE("round " + std::to_string(round) + ", " +
                         std::to_string(settings.threads) + " threads, blocks of " +
                         std::to_string(settings.blocks.text_bytes) + " bytes or " +
                         std::to_string(settings.blocks.binary_cells) + " cells" +
                         (settings.blocks.in_order ? ", in order" : ""));
            grid_stream scanned_input;
            grid_stream scanned_zones;
            ASSERT_EQ(open_grid(path("in"), scanned_input, 128 + random() % 64),
                      grid_open_result::ok);
            ASSERT_EQ(open_grid(path("zones"), scanned_zones), grid_open_result::ok);
            ASSERT_TRUE(read_grid_header(scanned_input) && read_grid_header(scanned_zones));
            zone_register reg;
            ASSERT_EQ(register_create(reg, failed_slot), register_create_result::ok);
            register_clear(reg);
            zone_counter counter = start_counting(reg, scanned_input.header.nodata);
            std::size_t dots = 0;
            const scan_result got =
                scan_counting_dots(scanned_input, scanned_zones, counter, settings, dots);

            EXPECT_EQ(got.outcome, plain.outcome);
            if (plain.outcome != scan_outcome::ok) {
                EXPECT_EQ(got.failed_cell, plain.failed_cell);
                EXPECT_EQ(got.in_zone_grid, plain.in_zone_grid);
            }
            const std::uint64_t rows_done =
                plain.outcome == scan_outcome::ok
                    ? static_cast<std::uint64_t>(nrows)
                    : plain.failed_cell / static_cast<std::uint64_t>(ncols);
            EXPECT_EQ(dots, rows_done);
            ASSERT_EQ(reg.zone_count, expected.zone_count);
            for (std::uint32_t id = 1; id <= expected.zone_count; ++id) {
                const zone_record &a = kenn_slot(expected, id);
                const zone_record &b = kenn_slot(reg, id);
                ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "zone " << id;
            }
        }
    }
}

// Several value grids against one zone grid in one pass (the bands of a raster): each counter
// ends as a scan of its grid alone leaves it. The grids are of random formats, so their blocks
// differ in size from each other and from the zone grid's; where one is cut short, the pass
// stops at the first cell any grid lacks, a cell's values before its zone, bands in order.
TEST_F(Scan, SeveralValueGridsInOnePassCountAsEachAlone) {
    std::mt19937_64 random(77);
    for (int round = 0; round < 40; ++round) {
        const double ncols = static_cast<double>(1 + random() % 30);
        const double nrows = static_cast<double>(1 + random() % 20);
        const geometry g{ncols, nrows};
        const auto cells = static_cast<std::uint64_t>(ncols * nrows);
        const std::size_t bands = 1 + random() % 3;
        for (std::size_t b = 0; b < bands; ++b)
            write_file(path("in" + std::to_string(b)), random_grid(random, g, false, cells));
        write_file(path("zones"), random_grid(random, g, true, cells));

        // Each grid alone, and where the pass must stop: the least (cell, zone grid, band).
        std::vector<zone_register> expected(bands);
        scan_result first_failure;
        first_failure.failed_cell = std::numeric_limits<std::uint64_t>::max();
        std::uint32_t failed_slot = 0;
        for (std::size_t b = 0; b < bands; ++b) {
            grid_stream input;
            grid_stream zones;
            ASSERT_EQ(register_create(expected[b], failed_slot), register_create_result::ok);
            register_clear(expected[b]);
            ASSERT_EQ(open_grid(path("in" + std::to_string(b)), input), grid_open_result::ok);
            ASSERT_EQ(open_grid(path("zones"), zones), grid_open_result::ok);
            ASSERT_TRUE(read_grid_header(input) && read_grid_header(zones));
            scan_result alone = count_one_by_one(input, zones, expected[b], cells);
            if (alone.outcome == scan_outcome::ok) continue;
            alone.band = alone.in_zone_grid ? 0 : b;
            if (std::tuple(alone.failed_cell, alone.in_zone_grid) <
                std::tuple(first_failure.failed_cell, first_failure.in_zone_grid))
                first_failure = alone;
        }

        for (int variant = 0; variant < 4; ++variant) {
            scan_settings settings;
            settings.threads = 1 + static_cast<unsigned>(random() % 8);
            settings.blocks.text_bytes = 1 + random() % 300;
            settings.blocks.binary_cells = 1 + random() % 50;
            settings.blocks_in_flight = 1 + random() % 5;
            settings.progress = progress_display::none;
            SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(bands) +
                         " bands, " + std::to_string(settings.threads) + " threads");
            std::vector<grid_stream> inputs(bands);
            std::vector<zone_register> regs(bands);
            std::vector<zone_counter> counters;
            std::vector<grid_stream *> input_grids;
            std::vector<zone_counter *> counting;
            grid_stream zones;
            counters.reserve(bands);
            for (std::size_t b = 0; b < bands; ++b) {
                ASSERT_EQ(open_grid(path("in" + std::to_string(b)), inputs[b]),
                          grid_open_result::ok);
                ASSERT_TRUE(read_grid_header(inputs[b]));
                ASSERT_EQ(register_create(regs[b], failed_slot), register_create_result::ok);
                register_clear(regs[b]);
                counters.push_back(start_counting(regs[b], inputs[b].header.nodata));
                input_grids.push_back(&inputs[b]);
                counting.push_back(&counters[b]);
            }
            ASSERT_EQ(open_grid(path("zones"), zones), grid_open_result::ok);
            ASSERT_TRUE(read_grid_header(zones));
            const scan_result got = scan_bands(input_grids, zones, counting, settings);

            if (first_failure.outcome != scan_outcome::ok) {
                EXPECT_EQ(got.outcome, first_failure.outcome);
                EXPECT_EQ(got.failed_cell, first_failure.failed_cell);
                EXPECT_EQ(got.in_zone_grid, first_failure.in_zone_grid);
                EXPECT_EQ(got.band, first_failure.band);
                continue;
            }
            ASSERT_EQ(got.outcome, scan_outcome::ok);
            for (std::size_t b = 0; b < bands; ++b) {
                ASSERT_EQ(regs[b].zone_count, expected[b].zone_count) << "band " << b;
                for (std::uint32_t id = 1; id <= expected[b].zone_count; ++id) {
                    const zone_record &x = kenn_slot(expected[b], id);
                    const zone_record &y = kenn_slot(regs[b], id);
                    ASSERT_EQ(std::memcmp(&x, &y, sizeof x), 0) << "band " << b << ", zone " << id;
                }
            }
        }
    }
}

// The bar: filled and counted in whole percent, rounded down, so that it is full only when every
// row is done; a grid of no rows is done at once.
TEST(ProgressBar, FillsWithTheShareOfRowsDone) {
    const std::string blank(40, ' ');
    const std::string full(40, '#');
    const struct {
        std::uint64_t done;
        std::uint64_t rows;
        std::string bar;
    } cases[] = {
        {0, 10, "\r[" + blank + "]   0%  0 of 10 rows"},
        {5, 10, "\r[" + full.substr(20) + blank.substr(20) + "]  50%  5 of 10 rows"},
        {1, 3, "\r[" + full.substr(27) + blank.substr(13) + "]  33%  1 of 3 rows"},
        {999, 1000, "\r[" + full.substr(1) + " ]  99%  999 of 1000 rows"},
        {1000, 1000, "\r[" + full + "] 100%  1000 of 1000 rows"},
        {0, 0, "\r[" + full + "] 100%  0 of 0 rows"},
        {4294967295u, 4294967295u, "\r[" + full + "] 100%  4294967295 of 4294967295 rows"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(progress_bar(c.done, c.rows), c.bar) << c.done << " of " << c.rows;
}

// The progress goes to the stream the settings name, in the form they name: a dot per row, a
// bar drawn at the start and at the end, or nothing. A scan that fails leaves the bar at the
// rows it finished.
TEST_F(Scan, ProgressTakesTheFormAndStreamOfTheSettings) {
    const geometry g{3, 4};
    write_file(path("in"), test_support::text_grid(g, std::vector<std::string>(12, "1")));
    write_file(path("short"), test_support::text_grid(g, std::vector<std::string>(7, "1")));
    write_file(path("zones"), test_support::text_grid(g, std::vector<std::string>(12, "2")));
    const struct {
        const char *input;
        progress_display display;
        std::string first; // all there is, but for a bar, which may be redrawn in between
        std::string last;
    } cases[] = {
        {"in", progress_display::dots, "....", ""},
        {"in", progress_display::bar, progress_bar(0, 4), progress_bar(4, 4)},
        {"in", progress_display::none, "", ""},
        {"short", progress_display::dots, "..", ""},
        {"short", progress_display::bar, progress_bar(0, 4), progress_bar(2, 4)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.input) + ", display " +
                     std::to_string(static_cast<int>(c.display)));
        for (const unsigned threads : {1u, 3u}) {
            grid_stream input;
            grid_stream zones;
            ASSERT_EQ(open_grid(path(c.input), input), grid_open_result::ok);
            ASSERT_EQ(open_grid(path("zones"), zones), grid_open_result::ok);
            ASSERT_TRUE(read_grid_header(input) && read_grid_header(zones));
            zone_register reg;
            std::uint32_t failed_slot = 0;
            ASSERT_EQ(register_create(reg, failed_slot), register_create_result::ok);
            register_clear(reg);
            zone_counter counter = start_counting(reg, input.header.nodata);
            std::FILE *const shown = std::fopen(path("shown").c_str(), "wb");
            ASSERT_NE(shown, nullptr);
            scan_settings settings;
            settings.threads = threads;
            settings.progress = c.display;
            settings.progress_stream = shown;
            std::size_t on_stdout = 0;
            scan_counting_dots(input, zones, counter, settings, on_stdout);
            std::fclose(shown);
            const std::string shown_text = read_file(path("shown"));
            if (c.display == progress_display::bar) {
                EXPECT_TRUE(shown_text.starts_with(c.first) && shown_text.ends_with(c.last))
                    << threads << " threads: " << shown_text;
            } else {
                EXPECT_EQ(shown_text, c.first) << threads << " threads";
            }
            EXPECT_EQ(on_stdout, 0u) << "nothing goes to standard output";
        }
    }
}

} // namespace
