#include "table/table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

std::size_t format_figure(char (&text)[figure_capacity], const stat_figure &figure, bool json) {
    char *const end = text + figure_capacity;
    char *p = text;
    const auto put = [&p](std::string_view word) {
        for (const char c : word)
            *p++ = c;
    };
    switch (figure.shape) {
    case stat_figure::form::none:
        if (json) put("null");
        break;
    case stat_figure::form::counter:
        p = std::to_chars(p, end, figure.counter).ptr;
        break;
    case stat_figure::form::number:
    case stat_figure::form::whole: {
        const double x = figure.number;
        if (std::isnan(x))
            put(json ? "null" : "nan"); // also a NaN with its sign bit set, as inf - inf gives
        else if (std::isinf(x))
            put(json ? "null" : x > 0 ? "inf" : "-inf");
        else if (figure.shape == stat_figure::form::whole)
            p = std::to_chars(p, end, x, std::chars_format::fixed, 0).ptr;
        else
            p = std::to_chars(p, end, x).ptr;
        break;
    }
    }
    return static_cast<std::size_t>(p - text);
}

std::string json_string(std::string_view bytes) {
    std::string out = "\"";
    const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = byte(i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x20) {
            static constexpr char hex[] = "0123456789abcdef";
            switch (c) {
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
            ++i;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The well-formed sequences (Unicode, table 3-7): the length from the first byte, the
        // range of the second, then continuation bytes 80 to BF.
        std::size_t length = 0;
        unsigned char second_low = 0x80;
        unsigned char second_high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) second_low = 0xA0;  // no overlong forms
            if (c == 0xED) second_high = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) second_low = 0x90;
            if (c == 0xF4) second_high = 0x8F; // nothing above U+10FFFF
        }
        std::size_t good = length == 0 ? 0 : 1;
        while (good != 0 && good < length && i + good < bytes.size()) {
            const unsigned char next = byte(i + good);
            const unsigned char low = good == 1 ? second_low : 0x80;
            const unsigned char high = good == 1 ? second_high : 0xBF;
            if (next < low || next > high) break;
            ++good;
        }
        if (length != 0 && good == length) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD"; // U+FFFD for the maximal part that begins a sequence
            i += good == 0 ? 1 : good;
        }
    }
    out += '"';
    return out;
}

namespace {

void put_text(std::FILE *out, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

void put_figure(std::FILE *out, const stat_figure &figure, bool json) {
    char text[figure_capacity];
    std::fwrite(text, 1, format_figure(text, figure, json), out);
}

// A class as its name has it: the whole number with all its digits.
void put_class(std::FILE *out, double value) {
    stat_figure figure;
    figure.shape = stat_figure::form::whole;
    figure.number = value;
    put_figure(out, figure, false);
}

} // namespace

namespace {

void put_band(std::FILE *out, std::int32_t band) {
    char text[16];
    const char *const end = std::to_chars(text, text + sizeof text, band).ptr;
    std::fwrite(text, 1, static_cast<std::size_t>(end - text), out);
}

// The header line; with a band, a band column right behind the zone, which leads every row.
void put_csv_header(std::FILE *out, const stat_table &table, bool band_column) {
    bool first = true;
    for (const stat_column &column : *table.columns) {
        if (!per_class(column.kind)) {
            put_text(out, first ? "" : ",");
            put_text(out, column.name);
            if (first && band_column) put_text(out, ",band");
            first = false;
            continue;
        }
        for (const double value : table.classes) {
            put_text(out, first ? "" : ",");
            put_text(out, column.kind == stat_kind::frac ? "frac_" : "count_");
            put_class(out, value);
            first = false;
        }
    }
    put_text(out, "\r\n");
}

// The row of the zone of that rank; band 0: no band column.
void put_csv_row(std::FILE *out, stat_table &table, std::size_t rank, stat_figure *figures,
                 std::int32_t band) {
    zone_row(table, rank, figures);
    for (std::size_t f = 0; f < table.fields; ++f) {
        if (f != 0) put_text(out, ",");
        put_figure(out, figures[f], false);
        if (f == 0 && band != 0) {
            put_text(out, ",");
            put_band(out, band);
        }
    }
    put_text(out, "\r\n");
}

} // namespace

void write_csv(std::FILE *out, stat_table &table) {
    std::vector<stat_figure> figures(table.fields);
    put_csv_header(out, table, false);
    for (std::size_t rank = 0; rank < table.order.size(); ++rank)
        put_csv_row(out, table, rank, figures.data(), 0);
}

void write_csv_bands(std::FILE *out, std::span<const band_table> bands) {
    if (bands.empty()) return;
    std::size_t fields = 0;
    for (const band_table &band : bands)
        fields = std::max(fields, band.table->fields);
    std::vector<stat_figure> figures(fields);
    put_csv_header(out, *bands.front().table, true);
    // The same zone grid gives every band the same zones in the same order.
    for (std::size_t rank = 0; rank < bands.front().table->order.size(); ++rank)
        for (const band_table &band : bands)
            put_csv_row(out, *band.table, rank, figures.data(), band.band);
}

namespace {

// What a table's JSON needs, had before its first byte is written.
struct json_parts {
    std::vector<std::string> keys; // per column, its name as a key: "mean":
    std::vector<stat_figure> figures;
};

json_parts json_parts_of(const stat_table &table) {
    json_parts parts;
    for (const stat_column &column : *table.columns)
        parts.keys.push_back(json_string(column.name) + ": ");
    parts.figures.resize(table.fields);
    return parts;
}

// The zones of the table and its figures over all of them, as members of an object whose
// members stand `indent` deep: "zones": [...], "all": {...}.
void put_json_zones(std::FILE *out, stat_table &table, json_parts &parts, std::string_view indent) {
    const std::vector<stat_column> &columns = *table.columns;
    const std::vector<std::string> &keys = parts.keys;
    stat_figure *const figures = parts.figures.data();
    const auto put_object = [&](const stat_figure *row) {
        put_text(out, "{");
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c != 0) put_text(out, ", ");
            put_text(out, keys[c]);
            const stat_figure *field = row + table.field_at[c];
            if (!per_class(columns[c].kind)) {
                put_figure(out, *field, true);
                continue;
            }
            // {"<class>": figure, ...}, every class of the table.
            put_text(out, "{");
            for (std::size_t j = 0; j < table.classes.size(); ++j) {
                put_text(out, j == 0 ? "\"" : ", \"");
                put_class(out, table.classes[j]);
                put_text(out, "\": ");
                put_figure(out, field[j], true);
            }
            put_text(out, "}");
        }
        put_text(out, "}");
    };
    put_text(out, "\"zones\": [");
    for (std::size_t rank = 0; rank < table.order.size(); ++rank) {
        zone_row(table, rank, figures);
        put_text(out, rank == 0 ? "\n" : ",\n");
        put_text(out, indent);
        put_text(out, "  ");
        put_object(figures);
    }
    if (!table.order.empty()) {
        put_text(out, "\n");
        put_text(out, indent);
    }
    put_text(out, "],\n");
    put_text(out, indent);
    put_text(out, "\"all\": ");
    put_object(table.totals.data());
}

} // namespace

void write_json(std::FILE *out, std::string_view input_name, stat_table &table) {
    json_parts parts = json_parts_of(table);
    const std::string input = json_string(input_name);
    put_text(out, "{\n  \"input\": ");
    put_text(out, input);
    put_text(out, ",\n  ");
    put_json_zones(out, table, parts, "  ");
    put_text(out, "\n}\n");
}

void write_json_bands(std::FILE *out, std::string_view input_name,
                      std::span<const band_table> bands) {
    std::vector<json_parts> parts;
    for (const band_table &band : bands)
        parts.push_back(json_parts_of(*band.table));
    const std::string input = json_string(input_name);
    put_text(out, "{\n  \"input\": ");
    put_text(out, input);
    put_text(out, ",\n  \"bands\": [");
    for (std::size_t b = 0; b < bands.size(); ++b) {
        put_text(out, b == 0 ? "\n    {\n      \"band\": " : ",\n    {\n      \"band\": ");
        put_band(out, bands[b].band);
        put_text(out, ",\n      ");
        put_json_zones(out, *bands[b].table, parts[b], "      ");
        put_text(out, "\n    }");
    }
    put_text(out, bands.empty() ? "]\n}\n" : "\n  ]\n}\n");
}
