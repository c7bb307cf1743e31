// The statistics report: a text file with a head, one tab-separated row per zone in ascending
// zone value, and a totals row over all zones.
//
//   statistical parameters for <input grid> within the zones from <zone grid>
//   ------------------------------------------------------------------------------------
//   ID	zone_value	number	minimum	maximum	Sum	average	std.dev.
//
//       1	2		3	1	3	6	2	1
//
//   ------------------------------------------------------------------------------------
//
//       0	0		3	1	3	6	2	1
//
// The ID is the zone's rank in ascending zone value. zone_value (the zone's first cell value)
// and number print rounded to whole numbers; the other figures with seven significant digits.
// Write errors are not reported here: the caller checks the stream when it closes it.
#pragma once

#include <cstdio>
#include <string>

#include "zones/zones.h"

// The longest row: a position, two whole numbers of up to 309 digits (%.0lf of 1e308), five
// figures of at most 14 characters, and the tabs.
inline constexpr std::size_t report_row_capacity = 1024;

// Writes one row into `line`, byte for byte as
// printf("%5ld\t%.0lf\t\t%.0lf\t%.7lg\t%.7lg\t%.7lg\t%.7lg\t%.7lg\n") writes position,
// zone_value, number, minimum, maximum, sum, average, std_dev, and returns its length.
std::size_t format_report_row(char (&line)[report_row_capacity], long position, double zone_value,
                              const zone_figures &figures) noexcept;

void report_head(std::FILE *report, const std::string &input_grid_name,
                 const std::string &zone_grid_name);

// Writes one row per zone, slots 1 to zone_count, and merges each zone's number, sums, minimum
// and maximum into the totals record kenn slot 0.
void report_zone_rows(std::FILE *report, zone_register &reg);

// Writes the closing rule and the totals row, taken from kenn slot 0 with zone value 0.
void report_totals(std::FILE *report, zone_register &reg);
