#include "report/report.h"

namespace {

constexpr const char *rule =
    "------------------------------------------------------------------------------------\n";

void write_row(std::FILE *report, long position, const zone_record &record) {
    zone_figures figures;
    zone_summary(record, figures);
    std::fprintf(report, "%5ld\t%.0lf\t\t%.0lf\t%.7lg\t%.7lg\t%.7lg\t%.7lg\t%.7lg\n", position,
                 record.zone_value, figures.number, figures.minimum, figures.maximum, figures.sum,
                 figures.average, figures.std_dev);
}

} // namespace

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
            if (zone.minimum < totals.minimum)
                totals.minimum = zone.minimum;
            if (zone.maximum > totals.maximum)
                totals.maximum = zone.maximum;
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
