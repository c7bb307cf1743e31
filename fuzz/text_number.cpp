// The text number reader against the C library on arbitrary bytes.
//
// scan_number must read as "%lf%n" reads and scan_integer as "%d%n" reads: the same success, the
// same value (bit for bit; NaNs only need to be NaN), the same characters consumed. Two library
// readings serve: sscanf on the text up to its first NUL, as sscanf sees it, and fscanf on a
// memory stream of all the bytes, as a grid file would be read, NULs included. Then the
// need_more contract: a scan of any prefix that does not ask for more must decide as the scan of
// the whole does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "fuzz_support.h"
#include "grid/grid.h"

namespace {

using fuzz_support::fail;
using fuzz_support::same_value;

// One library reading: whether it converted, the value and the characters it consumed.
template <typename T> struct library_read {
    bool ok = false;
    T value{};
    int consumed = -1;
};

template <typename T> const char *conversion() {
    return std::is_same_v<T, double> ? "%lf%n" : "%d%n";
}

template <typename T> library_read<T> read_with_sscanf(const std::string &text) {
    library_read<T> read;
    read.ok = std::sscanf(text.c_str(), conversion<T>(), &read.value, &read.consumed) == 1;
    return read;
}

template <typename T> library_read<T> read_with_fscanf(const std::uint8_t *data, std::size_t size) {
    library_read<T> read;
    // A memory stream of no bytes is refused by some C libraries; a file of no bytes is empty.
    if (size == 0) return read;
    std::FILE *stream = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (stream == nullptr) fail("fmemopen failed");
    read.ok = std::fscanf(stream, conversion<T>(), &read.value, &read.consumed) == 1;
    std::fclose(stream);
    return read;
}

const char *status_name(scan_status status) {
    switch (status) {
    case scan_status::ok:
        return "ok";
    case scan_status::no_number:
        return "no_number";
    case scan_status::need_more:
        return "need_more";
    case scan_status::no_memory:
        return "no_memory";
    }
    return "?";
}

void expect_like_library(const number_scan &got, const library_read<double> &expected,
                         const char *reading) {
    if (got.status == scan_status::need_more)
        fail("%s: scan of the whole input asks for more", reading);
    if ((got.status == scan_status::ok) != expected.ok)
        fail("%s: scan says %s, the library %s", reading, status_name(got.status),
             expected.ok ? "ok" : "no number");
    if (!expected.ok) return;
    if (!same_value(got.value, expected.value))
        fail("%s: value %a, the library %a", reading, got.value, expected.value);
    if (got.consumed != static_cast<std::size_t>(expected.consumed))
        fail("%s: consumed %zu, the library %d", reading, got.consumed, expected.consumed);
}

// "%d" converts through a long and keeps its low 32 bits; scan_integer saturates at the int64
// range instead. Values that fit in an int must agree exactly.
void expect_like_library(const integer_scan &got, const library_read<int> &expected,
                         const char *reading) {
    if (got.status == scan_status::need_more)
        fail("%s: integer scan of the whole input asks for more", reading);
    if ((got.status == scan_status::ok) != expected.ok)
        fail("%s: integer scan says %s, the library %s", reading, status_name(got.status),
             expected.ok ? "ok" : "no number");
    if (!expected.ok) return;
    if (got.consumed != static_cast<std::size_t>(expected.consumed))
        fail("%s: integer consumed %zu, the library %d", reading, got.consumed, expected.consumed);
    if (got.value >= std::numeric_limits<int>::min() &&
        got.value <= std::numeric_limits<int>::max() && got.value != expected.value)
        fail("%s: integer %lld, the library %d", reading, static_cast<long long>(got.value),
             expected.value);
}

bool same_decision(const number_scan &a, const number_scan &b) {
    return a.status == b.status && (a.status != scan_status::ok ||
                                    (a.consumed == b.consumed && same_value(a.value, b.value)));
}

bool same_decision(const integer_scan &a, const integer_scan &b) {
    return a.status == b.status &&
           (a.status != scan_status::ok || (a.consumed == b.consumed && a.value == b.value));
}

// Scans of [first, first + cut) with more input to come may ask for more; when they decide, the
// decision must be that of the whole.
template <typename Scan>
void expect_prefixes_agree(const char *first, std::size_t size, Scan scan, const char *what) {
    const auto whole = scan(first, first + size, true);
    for (std::size_t cut = 0; cut <= size; ++cut) {
        const auto part = scan(first, first + cut, false);
        if (part.status == scan_status::need_more) continue;
        if (!same_decision(part, whole))
            fail("%s: a scan cut at %zu says %s after %zu, the whole %s after %zu", what, cut,
                 status_name(part.status), part.consumed, status_name(whole.status),
                 whole.consumed);
        if (part.status == scan_status::ok && part.consumed > cut)
            fail("%s: a scan cut at %zu consumed %zu", what, cut, part.consumed);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The prefix checks cost the square of the size; numbers are short.
    if (size > 2048) return 0;
    const char *const first = reinterpret_cast<const char *>(data);
    const char *const last = first + size;
    const std::string up_to_nul(first, strnlen(first, size));
    const char *const nul = first + up_to_nul.size();

    expect_like_library(scan_number(first, nul, true), read_with_sscanf<double>(up_to_nul),
                        "sscanf %lf");
    expect_like_library(scan_number(first, last, true), read_with_fscanf<double>(data, size),
                        "fscanf %lf");
    expect_like_library(scan_integer(first, nul, true), read_with_sscanf<int>(up_to_nul),
                        "sscanf %d");
    expect_like_library(scan_integer(first, last, true), read_with_fscanf<int>(data, size),
                        "fscanf %d");

    // The fast path hands over to the general scan for anything it does not convert itself; both
    // must read every input the same.
    if (!same_decision(scan_number(first, last, true), scan_number_general(first, last, true)))
        fail("scan_number and scan_number_general differ");

    expect_prefixes_agree(first, size, scan_number, "scan_number");
    expect_prefixes_agree(first, size, scan_number_general, "scan_number_general");
    expect_prefixes_agree(first, size, scan_integer, "scan_integer");
    return 0;
}
