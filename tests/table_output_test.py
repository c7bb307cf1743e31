#!/usr/bin/env python3
"""The table output of the built tool (--csv, --json) read back with Python's csv and json
modules, and every figure held against an independent computation: Python's statistics module
(median, quantiles), exact arithmetic on whole numbers and fractions (sum, mean, stddev, pstddev:
the exact figure rounded once), Counter, min and max, on random small grids full of ties, single
values, no-data and NaN cells, negative, half-way and large zone values, whole and float values;
and sums and deviations of values chosen to defeat rounding.

Needs the environment variable ZONALSTATS, the path of the built tool.
"""

import csv
import json
import math
import os
import random
import shutil
import statistics
import struct
import subprocess
import tempfile
import unittest
from collections import Counter
from fractions import Fraction

PERCENTILES = {"p0": 0, "p10": 100, "p33.3": 333, "p90": 900, "p99.5": 995, "p100": 1000}
COLUMNS = ["zone", "count", "nodata", "min", "max", "range", "sum", "mean", "stddev", "pstddev",
           "median", *PERCENTILES, "mode", "minority", "variety"]


def text_grid(ncols, nrows, cells, nodata="-9999"):
    head = (f"ncols {ncols}\nnrows {nrows}\nxllcorner 0\nyllcorner 0\ncellsize 1\n"
            f"NODATA_value {nodata}\n")
    rows = [" ".join(cells[r * ncols:(r + 1) * ncols]) for r in range(nrows)]
    return head + "\n".join(rows) + "\n"


def number_text(x):
    return repr(x) if math.isfinite(x) else ("nan" if math.isnan(x) else
                                             ("inf" if x > 0 else "-inf"))


def zone_key(z):
    return z if z >= 2.0 ** 52 else float(math.floor(z + 0.5))


def percentile(values, thousandths):
    """The percentile of R's type 7 from statistics.quantiles, whose cut points it computes in
    exact integer steps: an implementation of its own."""
    ordered = sorted(values)
    if not all(math.isfinite(x) for x in ordered):
        # The module multiplies infinities by 0; h = (n - 1) p / 100 as the definition has it.
        h = (len(ordered) - 1) * (thousandths / 10) / 100
        low, fraction = ordered[math.floor(h)], h - math.floor(h)
        if fraction == 0 or low == ordered[math.floor(h) + 1]:
            return low
        return low + fraction * (ordered[math.floor(h) + 1] - low)
    if thousandths == 0 or len(ordered) == 1:
        return ordered[0] if thousandths < 1000 else ordered[-1]
    if thousandths == 1000:
        return ordered[-1]
    return statistics.quantiles(ordered, n=1000, method="inclusive")[thousandths - 1]


def rounded_sqrt(num, den):
    """sqrt(num / den) rounded to the nearest double, for whole num >= 0 and den > 0: the root's
    integer part at about 64 bits, and a half where it is not exact, rounded once by Fraction."""
    if num == 0:
        return 0.0
    k = 64 - (num.bit_length() - den.bit_length()) // 2
    a, b = (num << 2 * k, den) if k >= 0 else (num, den << -2 * k)
    q, r = divmod(a, b)
    s = math.isqrt(q)
    halves = 2 * s + (0 if r == 0 and s * s == q else 1)
    return float(Fraction(halves, 1 << (k + 1)) if k + 1 >= 0 else halves << -(k + 1))


def exact_figures(values):
    """sum, mean, stddev and pstddev of the values, each the exact figure rounded once; with an
    infinity, what IEEE arithmetic gives for it."""
    n = len(values)
    if not all(math.isfinite(x) for x in values):
        infinities = {x for x in values if not math.isfinite(x)}
        total = infinities.pop() if len(infinities) == 1 else math.nan
        return {"sum": total, "mean": total, "stddev": math.nan, "pstddev": math.nan}
    # Whole numbers in units of 2^-1074, every double's multiple; each distinct value once.
    s1 = s2 = 0
    for x, k in Counter(values).items():
        numerator, denominator = x.as_integer_ratio()
        u = numerator << (1074 - denominator.bit_length() + 1)
        s1 += k * u
        s2 += k * u * u
    try:
        total = float(Fraction(s1, 1 << 1074))
    except OverflowError:
        total = math.inf if s1 > 0 else -math.inf
    try:
        assert total == math.fsum(values), "fsum rounds the exact sum the same"
    except OverflowError:
        pass  # partial sums beyond the doubles
    figures = {"sum": total}
    if n:
        figures["mean"] = float(Fraction(s1, n << 1074))
        d = n * s2 - s1 * s1  # n^2 times the variance, in units of 2^-2148
        figures["pstddev"] = rounded_sqrt(d, (n * n) << 2148)
        if n > 1:
            figures["stddev"] = rounded_sqrt(d, (n * (n - 1)) << 2148)
    return figures


def expected_figures(values, nodata, zone=None):
    """Every column for one zone's values (in file order) and no-data count; zone None for
    all zones."""
    n = len(values)
    tally = Counter(values)
    figures = {"zone": zone, "count": n, "nodata": nodata, "variety": len(tally)}
    figures.update(exact_figures(values))
    if n:
        most = max(tally.values())
        fewest = min(tally.values())
        figures.update({
            "min": min(values), "max": max(values), "range": max(values) - min(values),
            "median": statistics.median(values),
            "mode": min(x for x, k in tally.items() if k == most),
            "minority": min(x for x, k in tally.items() if k == fewest),
        })
        figures.update({name: percentile(values, t) for name, t in PERCENTILES.items()})
    return figures


def close(a, b):
    if isinstance(b, float) and math.isnan(b):
        return isinstance(a, float) and math.isnan(a)
    if isinstance(b, float) and math.isinf(b):
        return a == b
    return abs(a - b) <= 1e-12 * abs(b) + 1e-300


# Interpolated figures may differ from the statistics module's in the last bits: the module
# computes exactly, then rounds once.
INEXACT = {"median", *PERCENTILES}


def csv_value(name, text):
    if text == "":
        return None
    if name in ("zone", "count", "nodata", "variety") and text not in ("inf", "nan"):
        return int(text)
    return float(text)


class TableOutput(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zonalstats-table-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def run_tool(self, *args):
        result = subprocess.run([os.environ["ZONALSTATS"], *args], cwd=self.folder,
                                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, check=False)
        self.assertEqual(result.returncode, 0, result.stdout)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, text):
        with open(self.path(name), "w", encoding="ascii") as f:
            f.write(text)

    def check_grids(self, values, zones, ncols, nodata="-9999", columns=None):
        """Runs both formats on the grids and compares every figure (of the columns given, else
        of all)."""
        columns = columns or COLUMNS
        stats_option = "--stats=" + ",".join(columns)
        nrows = len(values) // ncols
        self.write("in.asc", text_grid(ncols, nrows, [number_text(v) for v in values], nodata))
        self.write("zones.asc", text_grid(ncols, nrows, [number_text(z) for z in zones]))
        threshold = -math.inf if nodata == "nan" else float(nodata)
        by_zone = {}
        for v, z in zip(values, zones):
            if not z >= 0:
                continue
            zone = by_zone.setdefault(zone_key(z), [[], 0])
            if v > threshold:
                zone[0].append(v)
            else:
                zone[1] += 1
        keys = sorted(by_zone)
        want = [expected_figures(*by_zone[k], zone=k) for k in keys]
        pooled = [v for k in keys for v in by_zone[k][0]]
        want_all = expected_figures(pooled, sum(by_zone[k][1] for k in keys))

        outputs = {}
        for threads in ("1", "2", "3", "8"):
            self.run_tool(f"--threads={threads}", "--csv", stats_option, "in.asc", "zones.asc",
                          f"out{threads}.csv")
            self.run_tool(f"--threads={threads}", "--json", stats_option, "in.asc", "zones.asc",
                          f"out{threads}.json")
            for ext in ("csv", "json"):
                with open(self.path(f"out{threads}.{ext}"), "rb") as f:
                    outputs.setdefault(ext, set()).add(f.read())
        self.assertEqual(len(outputs["csv"]), 1, "the same CSV at any thread count")
        self.assertEqual(len(outputs["json"]), 1, "the same JSON at any thread count")

        with open(self.path("out1.csv"), newline="", encoding="ascii") as f:
            rows = list(csv.reader(f, strict=True))
        self.assertEqual(rows[0], columns)
        self.assertEqual(len(rows) - 1, len(keys))
        with open(self.path("out1.csv"), "rb") as f:
            self.assertTrue(all(line.endswith(b"\r\n") for line in f.read().splitlines(True)))
        got_csv = [{c: csv_value(c, t) for c, t in zip(columns, row)} for row in rows[1:]]

        with open(self.path("out1.json"), "rb") as f:
            document = json.loads(f.read(), parse_constant=lambda word: self.fail(word))
        self.assertEqual(list(document), ["input", "zones", "all"])
        self.assertEqual(document["input"], "in.asc")
        self.assertEqual(len(document["zones"]), len(keys))

        for got_row, json_row, want_row in zip(got_csv, document["zones"], want):
            self.assertEqual(list(json_row), columns)
            self.compare(got_row, want_row, columns, json_like=False)
            self.compare(json_row, want_row, columns, json_like=True)
        self.compare(document["all"], want_all, columns, json_like=True)

    def compare(self, got, want, columns, json_like):
        for name in columns:
            expected = want.get(name)
            value = got[name]
            where = f"{name} of zone {want['zone']}: got {value!r}, want {expected!r}"
            if json_like and isinstance(expected, float) and not math.isfinite(expected):
                expected = None
            if name == "zone" and expected is not None and not json_like:
                expected = int(expected) if math.isfinite(expected) else expected
            if expected is None:
                self.assertIsNone(value, where)
            elif name in INEXACT:
                self.assertTrue(close(value, expected), where)
            elif isinstance(expected, float) and math.isnan(expected):
                self.assertTrue(math.isnan(value), where)
            else:
                self.assertEqual(value, expected, where)

    def test_random_grids(self):
        rng = random.Random(13)
        zone_values = [0, 0.4, 0.5, 1.49, 2.5, 3, 7, 12.5, 499999.5, 1000001.3, 2.0 ** 52 + 1,
                       2.0 ** 52 + 2, 1e20, math.inf, -1, -0.4, -9999, math.nan]
        for case in range(12):
            ncols, nrows = rng.randint(1, 9), rng.randint(1, 9)
            whole = case % 2 == 0
            values, zones = [], []
            zone = rng.choice(zone_values)
            for _ in range(ncols * nrows):
                if rng.random() < 0.3:
                    zone = rng.choice(zone_values)
                value = float(rng.randint(-5, 5)) if whole else round(rng.uniform(-50, 50),
                                                                      rng.randint(1, 3))
                if rng.random() < 0.1:
                    value = -9999.0
                elif rng.random() < 0.05:
                    value = math.nan
                elif rng.random() < 0.03:
                    value = rng.choice([1e15, -1e15, 0.1, 1e-300])
                values.append(value)
                zones.append(zone)
            with self.subTest(case=case):
                self.check_grids(values, zones, ncols)

    def test_small_cases(self):
        nan, inf = math.nan, math.inf
        cases = {
            "ties": ([3, 1, 1, 2, 2, 3, 4, 4], [1] * 8, "-9999"),
            "one value": ([5.25], [2], "-9999"),
            "all no-data": ([-9999, -10000, nan], [1, 1, 2], "-9999"),
            "NaN as no-data": ([-9999, nan, -inf, 3, inf], [1] * 5, "nan"),
            "infinite values": ([inf, 1, inf, 2], [1, 1, 1, 2], "-9999"),
            "-0 and 0": ([-0.0, 0.0, -0.0, 1], [1] * 4, "-9999"),
            "large offset": ([1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 4], [3] * 4, "-9999"),
        }
        for name, (values, zones, nodata) in cases.items():
            with self.subTest(name):
                self.check_grids([float(v) for v in values], [float(z) for z in zones],
                                 len(values), nodata)

    def test_sums_that_defeat_rounding(self):
        """Values whose sums in any order of double additions lose digits or overflow: the
        figures are still the exact ones rounded once, at every thread count."""
        rng = random.Random(41)
        tiny = 5e-324
        float32 = [struct.unpack("<f", struct.pack("<f", rng.uniform(-3e4, 3e4)))[0]
                   for _ in range(4000)]
        mixed = [rng.choice((-1, 1)) * 10.0 ** rng.uniform(-300, 300) for _ in range(500)]
        cases = {
            "huge values cancel": ([1e308, 1.0, -1e308, 1e308, -1e308], [1] * 5),
            "huge values in two zones": ([1e308, -1e308, 1.0, 1e308, 1.0, -1e308], [1, 2] * 3),
            "a million tenths": ([0.1] * 1_000_000, [7] * 1_000_000),
            "float32 values past 2^24": (float32 * 25, [1, 2, 3, 4] * 25_000),
            "magnitudes 1e-300 to 1e300": (mixed, [rng.randint(0, 3) for _ in mixed]),
            "subnormals": ([tiny, 2 * tiny, -tiny, 1e-310, -3e-320, 2.2250738585072014e-308],
                           [1, 1, 2, 2, 2, 1]),
            "squares beyond the doubles": ([1e200, -1e200, 3e200, 1e-200, 2e-200, 4e-200],
                                           [1, 1, 1, 2, 2, 2]),
            "a sum that overflows": ([1.7976931348623157e308, 1.7976931348623157e308, 1e308],
                                     [1, 1, 1]),
            "negative values, one large": ([-0.1, -0.2, -0.3, -1e16, 1e16, -0.7], [5] * 6),
            "the same value": ([1e8 + 0.1] * 3, [1] * 3),
        }
        for name, (values, zones) in cases.items():
            with self.subTest(name):
                self.check_grids(values, [float(z) for z in zones],
                                 1000 if len(values) >= 1000 else len(values),
                                 columns=["zone", "count", "min", "max", "sum", "mean", "stddev",
                                          "pstddev"])

    def test_class_shares_and_counts_of_random_grids(self):
        """frac and classes against Counter: a column per class counted anywhere, ascending, and
        per zone and over all zones the class's cells and their share of the counted cells."""
        rng = random.Random(29)
        zone_values = [0, 0.5, 2.5, 3, 7, 2.0 ** 52 + 1, 1e20, math.inf, -1, math.nan]
        class_values = [-3.0, -0.0, 0.0, 1.0, 2.0, 9.0, 40.0, 1e15, -9999.0, math.nan]
        for case in range(8):
            ncols, nrows = rng.randint(1, 9), rng.randint(1, 9)
            values = [rng.choice(class_values) for _ in range(ncols * nrows)]
            zones = [rng.choice(zone_values) for _ in range(ncols * nrows)]
            tally = {}
            for v, z in zip(values, zones):
                if z >= 0:
                    cells = tally.setdefault(zone_key(z), Counter())
                    if v > -9999:
                        cells[v + 0.0] += 1
            everywhere = sum(tally.values(), Counter())
            classes = sorted(everywhere)
            names = [str(int(c)) for c in classes]
            with self.subTest(case=case):
                self.write("in.asc", text_grid(ncols, nrows, [number_text(v) for v in values]))
                self.write("zones.asc", text_grid(ncols, nrows, [number_text(z) for z in zones]))
                self.run_tool("--csv", "--stats=count,frac,classes", "in.asc", "zones.asc",
                              "out.csv")
                self.run_tool("--json", "--stats=classes,frac", "in.asc", "zones.asc",
                              "out.json")
                with open(self.path("out.csv"), newline="", encoding="ascii") as f:
                    rows = list(csv.reader(f, strict=True))
                self.assertEqual(rows[0], ["zone", "count"] + ["frac_" + n for n in names] +
                                 ["count_" + n for n in names])
                with open(self.path("out.json"), "rb") as f:
                    document = json.loads(f.read())
                keys = sorted(tally)
                self.assertEqual(len(rows) - 1, len(keys))
                for row, json_row, key in zip(rows[1:], document["zones"], keys):
                    cells = tally[key]
                    n = sum(cells.values())
                    shares = [cells[c] / n if n else None for c in classes]
                    self.assertEqual(int(row[1]), n)
                    self.assertEqual([float(t) if t else None for t in row[2:2 + len(classes)]],
                                     shares)
                    self.assertEqual([int(t) for t in row[2 + len(classes):]],
                                     [cells[c] for c in classes])
                    self.assertEqual(list(json_row), ["zone", "classes", "frac"])
                    self.assertEqual(json_row["frac"], dict(zip(names, shares)))
                    self.assertEqual(json_row["classes"], {n: cells[c]
                                                           for n, c in zip(names, classes)})
                total = sum(everywhere.values())
                self.assertEqual(document["all"]["frac"],
                                 {n: everywhere[c] / total for n, c in zip(names, classes)})
                self.assertEqual(document["all"]["classes"],
                                 {n: everywhere[c] for n, c in zip(names, classes)})

    def test_json_loads_whatever_bytes_the_name_holds(self):
        self.write("zones.asc", text_grid(2, 1, ["1", "2"]))
        for name in (b"plain.asc", "h\u00f6he \u2192 \U0001F5FA.asc".encode(),
                     b'quote" back\\slash\ttab\x01.asc', b"latin1 \xe9t\xe9.asc",
                     b"surrogate \xed\xa0\x80.asc", b"overlong \xc0\xaf.asc",
                     b"cut short \xe2\x82.asc", b"above U+10FFFF \xf4\x90\x80\x80.asc",
                     b"\xff\xfe.asc"):
            with self.subTest(name):
                with open(os.path.join(self.folder.encode(), name), "w", encoding="ascii") as f:
                    f.write(text_grid(2, 1, ["1", "2"]))
                result = subprocess.run(
                    [os.environ["ZONALSTATS"].encode(), b"--json", name, b"zones.asc",
                     b"out.json"], cwd=self.folder, stdout=subprocess.PIPE,
                    stdin=subprocess.DEVNULL, check=False)
                self.assertEqual(result.returncode, 0, result.stdout)
                with open(self.path("out.json"), "rb") as f:
                    document = json.loads(f.read().decode("utf-8", errors="strict"))
                self.assertEqual(document["input"], name.decode("utf-8", errors="replace"))
                self.assertEqual(len(document["zones"]), 2)
                os.remove(os.path.join(self.folder.encode(), name))


if __name__ == "__main__":
    unittest.main()
