// The table output: the figures of stats.h, one row per zone in ascending zone order, as CSV
// (RFC 4180) or as JSON (RFC 8259).
//
// CSV: a header line of the column names, then a line per zone, each ended by CR LF. No field
// needs quotes: column names are letters, digits, points, "_" and "-", figures are numbers. frac
// and classes are a column per class, frac_<class> and count_<class>:
//
//   zone,count,mean,median          zone,frac_1,frac_4,count_1,count_4
//   1,3,2,2                         1,0.75,0.25,3,1
//
// JSON: {"input": <the input grid's name>, "zones": [{<name>: <figure>, ...}, ...], "all":
// {...}}, where "all" holds the figures over every counted cell (its "zone" is null); frac and
// classes are an object of a figure per class: "frac": {"1": 0.75, "4": 0.25}.
//
// Figures: the shortest form that reads back as the same double (std::to_chars), so whole
// numbers have no point; zone and count with all their digits; nan, inf and -inf as such in
// CSV; a figure that does not exist is an empty field in CSV and null in JSON, as are non-finite
// figures in JSON. Write errors are not reported here: the caller checks the stream when it
// closes it. Nothing here allocates once the first byte is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "stats/stats.h"

void write_csv(std::FILE *out, stat_table &table);
void write_json(std::FILE *out, std::string_view input_name, stat_table &table);

// Several bands of one raster, counted against the same zones, so that their tables hold the
// same zones in the same order; each band's figures are those of write_csv or write_json of its
// table alone.
//
// CSV: rows by zone, then band in the order given, a band column right behind the zone; the
// header is the first table's, so the tables are to have the same columns (no frac or classes,
// whose columns are each table's own classes):
//
//   zone,band,count,mean
//   1,1,3,2
//   1,2,3,7.5
//   2,1,4,1.25
//
// JSON: {"input": <name>, "bands": [{"band": 1, "zones": [...], "all": {...}}, ...]}, each band's
// "zones" and "all" as write_json writes them.
struct band_table {
    std::int32_t band = 1;
    stat_table *table = nullptr;
};
void write_csv_bands(std::FILE *out, std::span<const band_table> bands);
void write_json_bands(std::FILE *out, std::string_view input_name,
                      std::span<const band_table> bands);

// The longest figure: a whole number of 309 digits.
inline constexpr std::size_t figure_capacity = 400;

// Writes the figure as CSV (json false) or JSON has it and returns its length.
std::size_t format_figure(char (&text)[figure_capacity], const stat_figure &figure, bool json);

// The bytes as a JSON string, quotes included. Valid UTF-8 stays as it is; each maximal part of
// an ill-formed sequence becomes U+FFFD (as a UTF-8 decoder that replaces does it), since a
// file name can hold any bytes but a JSON text must be UTF-8.
std::string json_string(std::string_view bytes);
