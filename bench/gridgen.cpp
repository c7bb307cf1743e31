// Writes one grid of a seeded, realistic grid pair for the benchmarks.
//
//   zonalstats_gridgen [--seed N] COLUMNS ROWS CONTENT FORMAT OUTPUT
//
// CONTENT
//   values        an elevation raster: a smooth field of several octaves of value noise, every
//                 cell with 1 to 3 decimals, and round holes of no-data (-9999) over 3 to 4% of
//                 the cells
//   values-whole  the same heights rounded to whole metres (half away from zero), the same holes:
//                 a raster of whole numbers, a few hundred distinct ones per block of zones-500
//   zones-500     500 rectangular blocks (25 across, 20 down) numbered 1 to 500
//   zones-500000  500000 small blocks (500 across, 1000 down) numbered by a seeded shuffle
//                 of 0 to 499999, so that neighbouring blocks have unrelated numbers
//   zones-random  every cell a random zone from 0 to 499999: no locality at all
//   Every zone grid has a few negative cells: a -9999 corner outside the study area and a
//   scattering of -1.
// FORMAT
//   ascii   header of six keyword and number lines, then one line of numbers per row
//   single  twelve little-endian float32 header numbers (ncols, nrows, xll, yll, cellsize,
//           -9999, then six zeros), then float32 cells
//   double  the same with float64
//   ascii-gdal
//           text as GDAL's AAIGrid writer writes a float32 grid: every cell is the float32
//           nearest the value (the cell of the single grid), printed with "%.20g" of that float
//           widened to double, so 2077.7 becomes 2077.699951171875 and 0.1 becomes
//           0.10000000149011611938; on these elevations four cells in five get 16 or 17
//           significant digits, the rest fewer (1161.8330078125, 1170; -9999 stays -9999). The
//           first cell of the file gets a decimal point if it has none (-9999.0), every cell is
//           followed by a space, and the header prints the corner and cell size with twelve
//           decimals
//
// Everything is integer arithmetic on a hash of the seed and the cell position, so the same
// seed gives the same bytes on any host, and the formats of one content hold the same
// values: a text value is the exact decimal, the double grid holds that decimal correctly
// rounded (what strtod makes of the text), the single grid that double rounded to float, and
// the ascii-gdal grid that float in 20 significant digits, which strtod turns back into it.
// The file is written under a temporary name and renamed when complete, so an interrupted
// run never leaves a grid that looks finished.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr double nodata = -9999;
constexpr double xll = 451200;
constexpr double yll = 5402350;
constexpr double cellsize = 25;

enum class content { values, values_whole, zones_500, zones_500000, zones_random };
enum class format { ascii, ascii_gdal, single, double_ };

std::uint64_t mix(std::uint64_t x) noexcept {
    // splitmix64's finaliser: every input bit affects every output bit.
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

// A random number for a position in one of several independent streams.
std::uint64_t hash(std::uint64_t seed, std::uint64_t stream, std::uint64_t a,
                   std::uint64_t b) noexcept {
    return mix(mix(mix(seed ^ (stream << 56)) ^ a) ^ (b * 0x9e3779b97f4a7c15u));
}

// Uniform in [0, bound) for bounds below 2^32, by multiply and shift of the top 32 bits.
std::uint64_t below(std::uint64_t random, std::uint64_t bound) noexcept {
    return ((random >> 32) * bound) >> 32;
}

// ---- the elevation field, in thousandths of a metre ----

struct octave {
    std::int64_t spacing;   // cells between lattice points
    std::int64_t amplitude; // lattice values are uniform in [-amplitude, amplitude]
};
constexpr octave octaves[] = {
    {1024, 900'000}, {256, 250'000}, {64, 60'000}, {16, 12'000}, {4, 1'500}};
constexpr std::int64_t base_elevation = 1'300'000;

// 3t^2 - 2t^3 in 16-bit fixed point: lattice cells join without visible creases.
std::int64_t smoothstep16(std::int64_t offset, std::int64_t spacing) noexcept {
    const std::int64_t t = (offset << 16) / spacing;
    return (t * t >> 16) * (3 * 65536 - 2 * t) >> 16;
}

std::int64_t lerp16(std::int64_t a, std::int64_t b, std::int64_t weight) noexcept {
    return a + (((b - a) * weight) >> 16); // arithmetic shift, as C++20 defines it
}

std::int64_t elevation_milli(std::uint64_t seed, std::int64_t column, std::int64_t row) {
    std::int64_t height = base_elevation;
    std::uint64_t stream = 1;
    for (const octave &o : octaves) {
        const std::int64_t ix = column / o.spacing;
        const std::int64_t iy = row / o.spacing;
        const auto lattice = [&](std::int64_t x, std::int64_t y) {
            const std::uint64_t r =
                hash(seed, stream, static_cast<std::uint64_t>(x), static_cast<std::uint64_t>(y));
            return static_cast<std::int64_t>(
                       below(r, static_cast<std::uint64_t>(2 * o.amplitude + 1))) -
                   o.amplitude;
        };
        const std::int64_t wx = smoothstep16(column % o.spacing, o.spacing);
        const std::int64_t wy = smoothstep16(row % o.spacing, o.spacing);
        const std::int64_t top = lerp16(lattice(ix, iy), lattice(ix + 1, iy), wx);
        const std::int64_t bottom = lerp16(lattice(ix, iy + 1), lattice(ix + 1, iy + 1), wx);
        height += lerp16(top, bottom, wy);
        ++stream;
    }
    return height;
}

// Round holes of no-data (lakes, gaps in the survey) covering 3 to 4% of the grid.
struct hole {
    std::int64_t column;
    std::int64_t row;
    std::int64_t radius;
};

std::vector<hole> make_holes(std::uint64_t seed, std::int64_t columns, std::int64_t rows) {
    const std::int64_t largest = std::max<std::int64_t>(4, std::min(columns, rows) / 40);
    // Radii uniform in [largest/4, largest] give a mean area of about 1.37 * largest^2.
    const double mean_area = 1.37 * static_cast<double>(largest * largest);
    const auto count = static_cast<std::uint64_t>(
        std::llround(0.03 * static_cast<double>(columns) * static_cast<double>(rows) / mean_area));
    std::vector<hole> holes;
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto pick = [&](std::uint64_t what, std::int64_t bound) {
            return static_cast<std::int64_t>(
                below(hash(seed, 10, i, what), static_cast<std::uint64_t>(bound)));
        };
        holes.push_back(
            {pick(0, columns), pick(1, rows), largest / 4 + pick(2, largest - largest / 4 + 1)});
    }
    return holes;
}

// ---- zones ----

std::vector<std::uint32_t> shuffled_keys(std::uint64_t seed, std::uint32_t count) {
    std::vector<std::uint32_t> keys(count);
    for (std::uint32_t i = 0; i < count; ++i)
        keys[i] = i;
    for (std::uint32_t i = count; i > 1; --i)
        std::swap(keys[i - 1], keys[below(hash(seed, 20, i, 0), i)]);
    return keys;
}

// ---- one grid written row by row; a cell is an integer with a number of decimals ----

struct cell {
    std::int64_t digits; // the value times 10^decimals
    int decimals;
};

constexpr double exact_powers_of_ten[] = {1, 10, 100, 1000};

void append_text(std::string &line, const cell &c) {
    char text[32];
    char *end = text + sizeof text;
    char *p = end;
    std::uint64_t magnitude = c.digits < 0 ? 0 - static_cast<std::uint64_t>(c.digits)
                                           : static_cast<std::uint64_t>(c.digits);
    for (int i = 0; i < c.decimals; ++i) {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    }
    if (c.decimals > 0) *--p = '.';
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (c.digits < 0) *--p = '-';
    line.append(p, end);
}

template <typename T> void append_binary(std::string &line, T value) {
    using bits_type = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    const auto bits = std::bit_cast<bits_type>(value);
    for (std::size_t i = 0; i < sizeof bits; ++i)
        line.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
}

// 20 significant digits are more than the 17 that take any double back to itself, so the text
// reads back as exactly the float. A file's first cell gets a decimal point if it has none, so
// that a reader that guesses the cell type from it takes the grid for floating point.
void append_gdal_text(std::string &line, float value, bool first_of_file) {
    char text[40];
    const int length = std::snprintf(text, sizeof text, "%.20g", static_cast<double>(value));
    line.append(text, static_cast<std::size_t>(length));
    if (first_of_file && std::strpbrk(text, ".eE") == nullptr) line.append(".0");
}

void append_cell(std::string &line, format f, const cell &c, bool first_of_file) {
    // Both operands are exact, so one division gives the correctly rounded decimal.
    const double value = static_cast<double>(c.digits) / exact_powers_of_ten[c.decimals];
    switch (f) {
    case format::ascii:
        append_text(line, c);
        break;
    case format::ascii_gdal:
        append_gdal_text(line, static_cast<float>(value), first_of_file);
        break;
    case format::single:
        append_binary(line, static_cast<float>(value));
        break;
    case format::double_:
        append_binary(line, value);
        break;
    }
}

std::string header(format f, std::int64_t columns, std::int64_t rows) {
    std::string text;
    if (f == format::ascii || f == format::ascii_gdal) {
        // GDAL's AAIGrid writer prints the corner and cell size with 12 decimals.
        const char *const layout =
            f == format::ascii ? "ncols         %lld\nnrows         %lld\nxllcorner     %.0f\n"
                                 "yllcorner     %.0f\ncellsize      %.0f\nNODATA_value  %.0f\n"
                               : "ncols        %lld\nnrows        %lld\nxllcorner    %.12f\n"
                                 "yllcorner    %.12f\ncellsize     %.12f\nNODATA_value %.20g\n";
        char buffer[256];
        std::snprintf(buffer, sizeof buffer, layout, static_cast<long long>(columns),
                      static_cast<long long>(rows), xll, yll, cellsize, nodata);
        text = buffer;
        return text;
    }
    const double numbers[12] = {static_cast<double>(columns),
                                static_cast<double>(rows),
                                xll,
                                yll,
                                cellsize,
                                nodata,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0};
    for (const double number : numbers) {
        if (f == format::single)
            append_binary(text, static_cast<float>(number));
        else
            append_binary(text, number);
    }
    return text;
}

struct options {
    std::uint64_t seed = 1;
    std::int64_t columns = 0;
    std::int64_t rows = 0;
    content what = content::values;
    format how = format::ascii;
    std::string output;
};

[[noreturn]] void usage(const char *message) {
    std::fprintf(stderr,
                 "zonalstats_gridgen: %s\n"
                 "usage: zonalstats_gridgen [--seed N] COLUMNS ROWS CONTENT FORMAT OUTPUT\n"
                 "  CONTENT: values, values-whole, zones-500, zones-500000 or zones-random\n"
                 "  FORMAT:  ascii, ascii-gdal, single or double\n",
                 message);
    std::exit(2);
}

std::int64_t positive_number(const char *text) {
    char *stop = nullptr;
    const long long number = std::strtoll(text, &stop, 10);
    if (*text == '\0' || *stop != '\0' || number <= 0 || number > 2147483647)
        usage("COLUMNS and ROWS must be whole numbers from 1 to 2147483647");
    return number;
}

options parse(int argc, char **argv) {
    options o;
    int next = 1;
    if (argc > 2 && std::string_view(argv[1]) == "--seed") {
        char *stop = nullptr;
        o.seed = std::strtoull(argv[2], &stop, 10);
        if (*argv[2] == '\0' || *stop != '\0') usage("the seed must be a whole number");
        next = 3;
    }
    if (argc - next != 5) usage("wrong number of arguments");
    o.columns = positive_number(argv[next]);
    o.rows = positive_number(argv[next + 1]);
    const std::string_view what = argv[next + 2];
    if (what == "values")
        o.what = content::values;
    else if (what == "values-whole")
        o.what = content::values_whole;
    else if (what == "zones-500")
        o.what = content::zones_500;
    else if (what == "zones-500000")
        o.what = content::zones_500000;
    else if (what == "zones-random")
        o.what = content::zones_random;
    else
        usage("unknown CONTENT");
    const std::string_view how = argv[next + 3];
    if (how == "ascii")
        o.how = format::ascii;
    else if (how == "ascii-gdal")
        o.how = format::ascii_gdal;
    else if (how == "single")
        o.how = format::single;
    else if (how == "double")
        o.how = format::double_;
    else
        usage("unknown FORMAT");
    o.output = argv[next + 4];
    return o;
}

// The cells of one row of the chosen content.
class row_maker {
  public:
    explicit row_maker(const options &o)
        : o_(o), holes_(is_values() ? make_holes(o.seed, o.columns, o.rows) : std::vector<hole>{}),
          keys_(o.what == content::zones_500000 ? shuffled_keys(o.seed, 500000)
                                                : std::vector<std::uint32_t>{}) {}

    void make(std::int64_t row, std::vector<cell> &cells) const {
        cells.resize(static_cast<std::size_t>(o_.columns));
        if (is_values())
            make_values(row, cells);
        else
            make_zones(row, cells);
    }

  private:
    bool is_values() const {
        return o_.what == content::values || o_.what == content::values_whole;
    }

    void make_values(std::int64_t row, std::vector<cell> &cells) const {
        for (std::int64_t column = 0; column < o_.columns; ++column) {
            const std::int64_t milli = elevation_milli(o_.seed, column, row);
            if (o_.what == content::values_whole) {
                cells[static_cast<std::size_t>(column)] = {
                    (milli >= 0 ? milli + 500 : milli - 500) / 1000, 0};
                continue;
            }
            const int decimals =
                1 + static_cast<int>(below(hash(o_.seed, 30, static_cast<std::uint64_t>(column),
                                                static_cast<std::uint64_t>(row)),
                                           3));
            const std::int64_t step =
                std::int64_t{1000} / static_cast<std::int64_t>(exact_powers_of_ten[decimals]);
            // Round half away from zero to the cell's decimals.
            const std::int64_t rounded = (milli >= 0 ? milli + step / 2 : milli - step / 2) / step;
            cells[static_cast<std::size_t>(column)] = {rounded, decimals};
        }
        for (const hole &h : holes_) {
            const std::int64_t dy = row - h.row;
            if (dy < -h.radius || dy > h.radius) continue;
            const auto half_width = static_cast<std::int64_t>(
                std::sqrt(static_cast<double>(h.radius * h.radius - dy * dy)));
            const std::int64_t first = std::max<std::int64_t>(0, h.column - half_width);
            const std::int64_t last = std::min(o_.columns - 1, h.column + half_width);
            for (std::int64_t column = first; column <= last; ++column)
                cells[static_cast<std::size_t>(column)] = {static_cast<std::int64_t>(nodata), 0};
        }
    }

    void make_zones(std::int64_t row, std::vector<cell> &cells) const {
        const bool outside_rows = row < std::max<std::int64_t>(1, o_.rows / 50);
        for (std::int64_t column = 0; column < o_.columns; ++column) {
            std::int64_t zone = 0;
            switch (o_.what) {
            case content::zones_500:
                zone = 1 + (row * 20 / o_.rows) * 25 + column * 25 / o_.columns;
                break;
            case content::zones_500000:
                zone = keys_[static_cast<std::size_t>((row * 1000 / o_.rows) * 500 +
                                                      column * 500 / o_.columns)];
                break;
            case content::zones_random:
                zone = static_cast<std::int64_t>(
                    below(hash(o_.seed, 40, static_cast<std::uint64_t>(column),
                               static_cast<std::uint64_t>(row)),
                          500000));
                break;
            case content::values:
            case content::values_whole:
                break;
            }
            if (outside_rows && column < std::max<std::int64_t>(1, o_.columns / 10))
                zone = static_cast<std::int64_t>(nodata);
            else if (below(hash(o_.seed, 41, static_cast<std::uint64_t>(column),
                                static_cast<std::uint64_t>(row)),
                           1000) == 0)
                zone = -1;
            cells[static_cast<std::size_t>(column)] = {zone, 0};
        }
    }

    const options &o_;
    std::vector<hole> holes_;
    std::vector<std::uint32_t> keys_;
};

} // namespace

int main(int argc, char **argv) {
    const options o = parse(argc, argv);
    const std::string partial = o.output + ".partial";
    std::FILE *file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr) {
        std::perror(partial.c_str());
        return 1;
    }
    const row_maker maker(o);
    std::string bytes = header(o.how, o.columns, o.rows);
    std::vector<cell> cells;
    std::uint64_t nodata_cells = 0;
    for (std::int64_t row = 0; row < o.rows; ++row) {
        maker.make(row, cells);
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (o.how == format::ascii && i != 0) bytes.push_back(' ');
            append_cell(bytes, o.how, cells[i], row == 0 && i == 0);
            if (o.how == format::ascii_gdal) bytes.push_back(' ');
            nodata_cells += cells[i].digits < 0;
        }
        if (o.how == format::ascii || o.how == format::ascii_gdal) bytes.push_back('\n');
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        bytes.clear();
    }
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written || std::rename(partial.c_str(), o.output.c_str()) != 0) {
        std::perror(o.output.c_str());
        std::remove(partial.c_str());
        return 1;
    }
    std::printf("%s: %lld x %lld, %.2f%% negative cells\n", o.output.c_str(),
                static_cast<long long>(o.columns), static_cast<long long>(o.rows),
                100.0 * static_cast<double>(nodata_cells) /
                    (static_cast<double>(o.columns) * static_cast<double>(o.rows)));
    return 0;
}
