// The plain way to compute zonal statistics, as a yardstick for the tool: every value is read by
// its own stdio call, fscanf("%lf") for a text grid and one fread for a binary one, and counted
// by the tool's own rules (pair_counts, counting_threshold and zone_key of zones/zones.h), into
// plain per-zone sums: number, sum, sum of squares, minimum and maximum. It writes no report, only
// one line of totals, so the work can't be optimised away and the benchmark can check that both
// programs saw the same cells.
//
//   zonalstats_naive INPUTGRID ZONEGRID
//
// Binary grids are read with the host's byte order: little-endian hosts only.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "zones/zones.h"

namespace {

enum class format { ascii, single, double_ };

struct grid {
    std::FILE *file = nullptr;
    format kind = format::ascii;
    long long columns = 0;
    long long rows = 0;
    double nodata = 0;
};

struct zone {
    double number = 0;
    double sum = 0;
    double sum_sq = 0;
    double minimum = 0;
    double maximum = 0;
};

[[noreturn]] void fail(const char *what, const char *name) {
    std::fprintf(stderr, "zonalstats_naive: %s: %s\n", what, name);
    std::exit(1);
}

grid open_grid(const char *name) {
    grid g;
    g.file = std::fopen(name, "rb");
    if (g.file == nullptr) fail("cannot open", name);
    unsigned char head[96] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, g.file);
    std::rewind(g.file);
    double as_double = 0;
    float as_float = 0;
    std::memcpy(&as_double, head + 40, sizeof as_double);
    std::memcpy(&as_float, head + 20, sizeof as_float);
    if (got >= 4 && std::memcmp(head, "ncol", 4) == 0) {
        g.kind = format::ascii;
        double xll = 0, yll = 0, cellsize = 0;
        if (std::fscanf(g.file, "%*s %lld %*s %lld %*s %lf %*s %lf %*s %lf %*s %lf", &g.columns,
                        &g.rows, &xll, &yll, &cellsize, &g.nodata) != 6)
            fail("bad header", name);
        return g;
    }
    if (got >= 48 && as_double == -9999.0) {
        g.kind = format::double_;
        double numbers[12];
        if (std::fread(numbers, sizeof numbers[0], 12, g.file) != 12) fail("bad header", name);
        g.columns = static_cast<long long>(numbers[0]);
        g.rows = static_cast<long long>(numbers[1]);
        g.nodata = numbers[5];
        return g;
    }
    if (got >= 48 && as_float == -9999.0f) {
        g.kind = format::single;
        float numbers[12];
        if (std::fread(numbers, sizeof numbers[0], 12, g.file) != 12) fail("bad header", name);
        g.columns = static_cast<long long>(numbers[0]);
        g.rows = static_cast<long long>(numbers[1]);
        g.nodata = numbers[5];
        return g;
    }
    fail("unknown format", name);
}

bool read_value(const grid &g, double &value) {
    switch (g.kind) {
    case format::ascii:
        return std::fscanf(g.file, "%lf", &value) == 1;
    case format::single: {
        float cell = 0;
        if (std::fread(&cell, sizeof cell, 1, g.file) != 1) return false;
        value = cell;
        return true;
    }
    case format::double_:
        return std::fread(&value, sizeof value, 1, g.file) == 1;
    }
    return false;
}

void add(zone &z, double v) {
    if (z.number == 0) {
        z.minimum = v;
        z.maximum = v;
    }
    z.number += 1;
    z.sum += v;
    z.sum_sq += v * v;
    z.minimum = std::min(z.minimum, v);
    z.maximum = std::max(z.maximum, v);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zonalstats_naive INPUTGRID ZONEGRID\n");
        return 2;
    }
    const grid input = open_grid(argv[1]);
    const grid zones = open_grid(argv[2]);
    if (input.columns != zones.columns || input.rows != zones.rows)
        fail("the grids differ in size", argv[2]);

    const double threshold = counting_threshold(input.nodata);
    constexpr double direct_keys = 500000;
    std::vector<std::int32_t> zone_of_key(static_cast<std::size_t>(direct_keys), -1);
    std::map<double, std::int32_t> zone_of_large_key;
    std::vector<zone> zone_table;
    zone_table.reserve(1000);
    for (long long row = 0; row < input.rows; ++row) {
        for (long long column = 0; column < input.columns; ++column) {
            double v = 0, z = 0;
            if (!read_value(input, v)) fail("missing value", argv[1]);
            if (!read_value(zones, z)) fail("missing value", argv[2]);
            if (!pair_counts(v, z, threshold)) continue;
            const double key = zone_key(z);
            std::int32_t *id = nullptr;
            if (key < direct_keys)
                id = &zone_of_key[static_cast<std::size_t>(key)];
            else
                id = &zone_of_large_key.try_emplace(key, -1).first->second;
            if (*id < 0) {
                *id = static_cast<std::int32_t>(zone_table.size());
                zone_table.emplace_back();
            }
            add(zone_table[static_cast<std::size_t>(*id)], v);
        }
    }

    zone totals;
    for (const zone &z : zone_table) {
        if (totals.number == 0 || z.minimum < totals.minimum) totals.minimum = z.minimum;
        if (totals.number == 0 || z.maximum > totals.maximum) totals.maximum = z.maximum;
        totals.number += z.number;
        totals.sum += z.sum;
        totals.sum_sq += z.sum_sq;
    }
    std::printf("zones %zu number %.0f sum %.17g sum_sq %.17g minimum %.17g maximum %.17g\n",
                zone_table.size(), totals.number, totals.sum, totals.sum_sq, totals.minimum,
                totals.maximum);
    return 0;
}
