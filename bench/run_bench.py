#!/usr/bin/env python3
"""Benchmarks of zonalstats on generated grid pairs.

  run_bench.py time       wall-clock seconds per format, side by side: the raw read of both
                          files (the floor), the plain stdio loop (zonalstats_naive) and
                          zonalstats; then zonalstats on three zone layouts
  run_bench.py callgrind  instructions per cell counted by valgrind's callgrind: the same count
                          for the same binary and grids whatever else the machine is doing

Grid pairs come from zonalstats_gridgen and are kept in the cache folder; a grid already there
is not made again (the generator is seeded, so it would come out byte for byte the same).
Python 3 standard library only.
"""

import argparse
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

FORMATS = ("ascii", "single", "double")
ZONE_LAYOUTS = (
    ("zones-500", "500 blocks"),
    ("zones-500000", "500000 blocks"),
    ("zones-random", "random of 500000"),
)

# What the tool should reach on a 5000 x 5000 pair with 500 zones, one thread, on a 2-core
# development machine.
TARGETS = {
    "ascii": {"cells_per_s": 50e6, "vs_floor": 13.0, "vs_naive": 9.0, "instructions": 230},
    "single": {"cells_per_s": 280e6, "vs_floor": 3.5, "vs_naive": 7.0, "instructions": 60},
    "double": {"cells_per_s": 250e6, "vs_floor": 2.2, "vs_naive": 6.5, "instructions": 60},
}
PEAK_MEMORY_TARGET_KIB = 8 * 1024  # up to 1000 zones
ZONE_COST_TARGET = 2.0  # 500000 zones per cell against 500 zones


def parse_size(text):
    match = re.fullmatch(r"(\d+)x(\d+)", text)
    if not match:
        raise argparse.ArgumentTypeError("size must be COLUMNSxROWS, e.g. 5000x5000")
    return int(match.group(1)), int(match.group(2))


class Bench:
    def __init__(self, args):
        self.build = Path(args.build).resolve()
        self.tool = self.build / "zonalstats"
        self.gridgen = self.build / "bench" / "zonalstats_gridgen"
        self.naive = self.build / "bench" / "zonalstats_naive"
        self.rawread = self.build / "bench" / "zonalstats_rawread"
        self.measure = self.build / "bench" / "zonalstats_measure"
        self.columns, self.rows = args.size
        self.cells = self.columns * self.rows
        self.seed = args.seed
        self.folder = Path(args.cache).resolve() / f"{self.columns}x{self.rows}-seed{self.seed}"
        self.scratch = Path(tempfile.mkdtemp(prefix="zonalstats-bench-"))
        for program in (self.tool, self.gridgen, self.naive, self.rawread, self.measure):
            if not program.is_file():
                sys.exit(f"{program} is missing: build it first (make bench does)")

    def grid(self, content, grid_format):
        path = self.folder / f"{content}.{grid_format}"
        if not path.exists():
            self.folder.mkdir(parents=True, exist_ok=True)
            print(f"generating {path} ...", flush=True)
            subprocess.run(
                [self.gridgen, "--seed", str(self.seed), str(self.columns), str(self.rows),
                 content, grid_format, path],
                check=True, stdout=subprocess.DEVNULL)
        return path

    def pair(self, grid_format, zones):
        return self.grid("values", grid_format), self.grid(zones, grid_format)

    def report_path(self):
        return self.scratch / "report.txt"

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


class Run:
    """One finished child process: wall-clock seconds, peak resident memory, its output."""

    def __init__(self, seconds, peak_kib, output):
        self.seconds = seconds
        self.peak_kib = peak_kib
        self.output = output


def run_child(bench, argv, output_path):
    """Runs argv through zonalstats_measure, with standard output into output_path."""
    argv = [str(a) for a in argv]
    measured = subprocess.run([str(bench.measure), str(output_path), *argv],
                              stdout=subprocess.PIPE, text=True)
    if measured.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed")
    fields = measured.stdout.split()
    figures = dict(zip(fields[0::2], fields[1::2]))
    return Run(float(figures["seconds"]), int(figures["peak_kib"]),
               Path(output_path).read_text(errors="replace"))


class Series:
    """Repeated runs of one program on one pair."""

    def __init__(self, label, file_bytes, cells):
        self.label = label
        self.file_bytes = file_bytes
        self.cells = cells
        self.runs = []

    @property
    def seconds(self):
        return statistics.median(r.seconds for r in self.runs)

    @property
    def peak_kib(self):
        return max(r.peak_kib for r in self.runs)

    def spread(self):
        return min(r.seconds for r in self.runs), max(r.seconds for r in self.runs)


def mib(kib):
    return f"{kib / 1024:.1f} MiB"


def totals_of_report(text):
    """The zone count and the totals row (number, minimum, maximum, sum) of a report."""
    rows = [line.split("\t") for line in text.splitlines() if re.match(r"^ +\d+\t", line)]
    if not rows:
        return None
    totals = rows[-1]
    return len(rows) - 1, [float(totals[i]) for i in (3, 4, 5, 6)]


def totals_of_naive(text):
    fields = text.split()
    values = dict(zip(fields[0::2], fields[1::2]))
    return int(values["zones"]), [float(values[k]) for k in ("number", "minimum", "maximum", "sum")]


def check_agreement(grid_format, tool_run, naive_run):
    """Both programs must have counted the same cells, or the comparison means nothing. The
    report prints seven significant digits, hence the tolerance."""
    tool = totals_of_report(tool_run.output)
    naive = totals_of_naive(naive_run.output)
    same = tool is not None and tool[0] == naive[0] and all(
        abs(a - b) <= 1e-6 * max(abs(a), abs(b)) for a, b in zip(tool[1], naive[1]))
    if not same:
        print(f"WARNING {grid_format}: zonalstats and the naive loop disagree: "
              f"report {tool}, naive {naive}", flush=True)


def verdict(ok):
    return "ok" if ok else "MISSED"


def time_formats(bench, args):
    print(f"zonalstats benchmark: {bench.columns} x {bench.rows} grids "
          f"({bench.cells / 1e6:.1f} M cells), seed {bench.seed}, median of {args.runs} runs, "
          f"wall clock, files warm in the page cache", flush=True)
    results = {}
    for grid_format in FORMATS:
        values, zones = bench.pair(grid_format, "zones-500")
        size = values.stat().st_size + zones.stat().st_size
        floor = Series("raw read", size, bench.cells)
        naive = Series("naive stdio", size, bench.cells)
        tool = Series("zonalstats", size, bench.cells)
        out = bench.scratch / "stdout.txt"
        run_child(bench, [bench.rawread, values, zones], out)  # warms the page cache
        # Interleaved, so that a burst of load elsewhere hits all three alike.
        for i in range(args.runs):
            floor.runs.append(run_child(bench, [bench.rawread, values, zones], out))
            if i < args.naive_runs:
                naive.runs.append(run_child(bench, [bench.naive, values, zones], out))
            run = run_child(bench, [bench.tool, values, zones, bench.report_path()], out)
            run.output = bench.report_path().read_text()
            tool.runs.append(run)
            print(".", end="", flush=True)
        check_agreement(grid_format, tool.runs[-1], naive.runs[-1])
        results[grid_format] = (floor, naive, tool)
    print()
    print()
    print(f"{'format':<7} {'program':<12} {'seconds':>8} {'(min - max)':>17} {'Mcells/s':>9} "
          f"{'MB/s':>7} {'x raw read':>11} {'naive/this':>11} {'peak RSS':>10}")
    for grid_format, series in results.items():
        floor, naive, _ = series
        for s in series:
            low, high = s.spread()
            print(f"{grid_format:<7} {s.label:<12} {s.seconds:8.3f} "
                  f"{f'({low:.3f} - {high:.3f})':>17} {s.cells / s.seconds / 1e6:9.1f} "
                  f"{s.file_bytes / s.seconds / 1e6:7.0f} {s.seconds / floor.seconds:10.1f}x "
                  f"{naive.seconds / s.seconds:10.1f}x {mib(s.peak_kib):>10}")
        print(f"{'':<7} {'':<12} files {s.file_bytes / 1e6:.0f} MB, "
              f"{s.file_bytes / s.cells:.1f} bytes per cell pair")
    print()
    print("targets for zonalstats (500 zones):")
    for grid_format, (floor, naive, tool) in results.items():
        target = TARGETS[grid_format]
        speed = tool.cells / tool.seconds
        vs_floor = tool.seconds / floor.seconds
        vs_naive = naive.seconds / tool.seconds
        print(f"  {grid_format:<7} {speed / 1e6:6.1f} M cells/s (>= {target['cells_per_s'] / 1e6:.0f}) "
              f"{verdict(speed >= target['cells_per_s']):<6}  "
              f"{vs_floor:5.1f}x raw read (<= {target['vs_floor']}) "
              f"{verdict(vs_floor <= target['vs_floor']):<6}  "
              f"{vs_naive:5.1f}x faster than naive (>= {target['vs_naive']}) "
              f"{verdict(vs_naive >= target['vs_naive']):<6}  "
              f"peak {mib(tool.peak_kib)} (<= 8) {verdict(tool.peak_kib <= PEAK_MEMORY_TARGET_KIB)}")
    return results


def time_zone_layouts(bench, args, results):
    print()
    print(f"zonalstats by zone layout (median of {args.runs} runs)", flush=True)
    layouts = {}
    for grid_format in FORMATS:
        layouts[(grid_format, "zones-500")] = results[grid_format][2]
        for zones, label in ZONE_LAYOUTS[1:]:
            values, zone_grid = bench.pair(grid_format, zones)
            size = values.stat().st_size + zone_grid.stat().st_size
            series = Series(label, size, bench.cells)
            out = bench.scratch / "stdout.txt"
            run_child(bench, [bench.rawread, values, zone_grid], out)
            for _ in range(args.runs):
                series.runs.append(run_child(bench, [bench.tool, values, zone_grid, bench.report_path()], out))
                print(".", end="", flush=True)
            layouts[(grid_format, zones)] = series
    print()
    print(f"{'format':<7} {'zones':<17} {'seconds':>8} {'(min - max)':>17} {'Mcells/s':>9} "
          f"{'ns/cell':>8} {'vs 500 zones':>13} {'peak RSS':>10}")
    for grid_format in FORMATS:
        base = layouts[(grid_format, "zones-500")]
        for zones, label in ZONE_LAYOUTS:
            s = layouts[(grid_format, zones)]
            low, high = s.spread()
            ratio = s.seconds / base.seconds
            note = ""
            if zones == "zones-500000":
                note = f"  (target <= {ZONE_COST_TARGET}x: {verdict(ratio <= ZONE_COST_TARGET)})"
            print(f"{grid_format:<7} {label:<17} {s.seconds:8.3f} {f'({low:.3f} - {high:.3f})':>17} "
                  f"{s.cells / s.seconds / 1e6:9.1f} {s.seconds / s.cells * 1e9:8.1f} "
                  f"{ratio:12.2f}x {mib(s.peak_kib):>10}{note}")
    print("The 500000-zone runs include sorting and writing 500000 report rows.")


def callgrind_totals(path):
    """Sums the Ir totals of a callgrind output file and its numbered dumps."""
    parts = {}
    for part in sorted(path.parent.glob(path.name + "*")):
        match = re.search(r"^totals:\s*(\d+)", part.read_text(errors="replace"), re.M)
        if match:
            parts[part.name] = int(match.group(1))
    return parts


def count_instructions(bench, argv, name):
    """Runs argv under callgrind. The count is split where the report starts to be written
    (the first call of report_head), so the scan's share shows apart from sorting and writing
    the rows: (instructions up to the report, all instructions)."""
    out = bench.scratch / f"callgrind.{name}"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    "--dump-before=report_head*", *map(str, argv)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    parts = callgrind_totals(out)
    total = sum(parts.values())
    before_report = parts.get(out.name + ".1", total)
    return before_report, total


def callgrind(bench, args):
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is missing (Debian package valgrind)")
    print(f"instructions per cell, valgrind --tool=callgrind, {bench.columns} x {bench.rows} grids "
          f"({bench.cells / 1e6:.1f} M cells), seed {bench.seed}")
    print("'to report' counts start-up, headers and the scan; 'whole run' also sorting, the "
          "report and the exit", flush=True)
    rows = []
    for grid_format in FORMATS:
        for zones, label in ZONE_LAYOUTS:
            values, zone_grid = bench.pair(grid_format, zones)
            before, total = count_instructions(
                bench, [bench.tool, values, zone_grid, bench.report_path()],
                f"{grid_format}.{zones}")
            naive = None
            if zones == "zones-500" and not args.no_naive:
                naive, _ = count_instructions(bench, [bench.naive, values, zone_grid],
                                              f"naive.{grid_format}")
            rows.append((grid_format, label, before, total, naive))
            print(".", end="", flush=True)
    print()
    print(f"{'format':<7} {'zones':<17} {'to report':>10} {'whole run':>10} {'naive':>8} "
          f"{'naive/this':>11}  target")
    for grid_format, label, before, total, naive in rows:
        per_cell = before / bench.cells
        naive_text = f"{naive / bench.cells:8.0f} {naive / before:10.1f}x" if naive else " " * 20
        target = ""
        if label == ZONE_LAYOUTS[0][1]:
            limit = TARGETS[grid_format]["instructions"]
            target = f"<= {limit} {verdict(total / bench.cells <= limit)}"
        print(f"{grid_format:<7} {label:<17} {per_cell:10.1f} {total / bench.cells:10.1f} "
              f"{naive_text}  {target}")
    print("(instructions per cell; the target applies to the whole run)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("time", "callgrind"))
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--cache", default="bench/cache",
                        help="folder for the generated grids (default: bench/cache)")
    parser.add_argument("--size", type=parse_size, default=None,
                        help="COLUMNSxROWS (default: 5000x5000 to time, 1000x1000 to count)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--runs", type=int, default=5, help="timed runs per program (default: 5)")
    parser.add_argument("--naive-runs", type=int, default=None,
                        help="timed runs of the slow naive loop (default: as --runs)")
    parser.add_argument("--no-naive", action="store_true",
                        help="callgrind: skip counting the naive loop (about a minute)")
    args = parser.parse_args()
    if args.size is None:
        args.size = (5000, 5000) if args.mode == "time" else (1000, 1000)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    args.naive_runs = args.runs if args.naive_runs is None else max(1, min(args.naive_runs, args.runs))

    bench = Bench(args)
    try:
        if args.mode == "time":
            results = time_formats(bench, args)
            time_zone_layouts(bench, args, results)
        else:
            callgrind(bench, args)
    finally:
        bench.close()


if __name__ == "__main__":
    main()
