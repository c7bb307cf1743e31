#include "report/report.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace {

constexpr const char *rule =
    "------------------------------------------------------------------------------------\n";

void write_row(std::FILE *report, long position, const zone_record &record) {
    zone_figures figures;
    zone_summary(record, figures);
    char line[report_row_capacity];
    std::fwrite(line, 1, format_report_row(line, position, record.zone_value, figures), report);
}

} // namespace

// std::to_chars is defined as printf's conversion in the "C" locale, the same characters, and
// is many times faster: with half a million zones printf would take most of the run.
std::size_t format_report_row(char (&line)[report_row_capacity], long position, double zone_value,
                              const zone_figures &figures) noexcept {
    char *const end = line + report_row_capacity;
    char *p = line;
    char digits[24];
    const char *const digits_end = std::to_chars(digits, std::end(digits), position).ptr;
    for (auto width = digits_end - digits; width < 5; ++width) // right-aligned in five
        *p++ = ' ';
    p = std::copy(static_cast<const char *>(digits), digits_end, p);
    *p++ = '\t';
    p = std::to_chars(p, end, zone_value, std::chars_format::fixed, 0).ptr;
    *p++ = '\t';
    *p++ = '\t';
    p = std::to_chars(p, end, figures.number, std::chars_format::fixed, 0).ptr;
    for (const double figure :
         {figures.minimum, figures.maximum, figures.sum, figures.average, figures.std_dev}) {
        *p++ = '\t';
        p = std::to_chars(p, end, figure, std::chars_format::general, 7).ptr;
    }
    *p++ = '\n';
    return static_cast<std::size_t>(p - line);
}

void report_head(std::FILE *report, const std::string &input_grid_name,
                 const std::string &zone_grid_name) {
    std::fprintf(report, "statistical parameters for %s within the zones from %s\n",
                 input_grid_name.c_str(), zone_grid_name.c_str());
    std::fputs(rule, report);
    std::fputs("ID\tzone_value\tnumber\tminimum\tmaximum\tSum\taverage\tstd.dev.\n", report);
    std::fputs("\n", report);
}

void report_zone_rows(std::FILE *report, zone_register &reg) {
    zone_record &totals = kenn_slot(reg, 0);
    for (std::uint32_t i = 1; i <= reg.zone_count; ++i) {
        const zone_record &zone = kenn_slot(reg, i);
        write_row(report, static_cast<long>(i), zone);
        totals.number += zone.number;
        totals.sum += zone.sum;
        totals.sum_sq += zone.sum_sq;
        if (i == 1) {
            totals.minimum = zone.minimum;
            totals.maximum = zone.maximum;
        } else {
            if (zone.minimum < totals.minimum) totals.minimum = zone.minimum;
            if (zone.maximum > totals.maximum) totals.maximum = zone.maximum;
        }
    }
}

void report_totals(std::FILE *report, zone_register &reg) {
    std::fputs("\n", report);
    std::fputs(rule, report);
    std::fputs("\n", report);
    zone_record &totals = kenn_slot(reg, 0);
    totals.zone_value = 0;
    write_row(report, 0, totals);
}
