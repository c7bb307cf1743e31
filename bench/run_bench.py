#!/usr/bin/env python3
"""Benchmarks of zonalstats on generated grid pairs.

  run_bench.py time       seconds per format, side by side: the raw read of both files (the
                          floor), the plain stdio loop (zonalstats_naive) and zonalstats; then
                          zonalstats on three zone layouts
  run_bench.py callgrind  instructions per cell counted by valgrind's callgrind: the same count
                          for the same binary and grids whatever else the machine is doing

Grid pairs come from zonalstats_gridgen and are kept in the cache folder; a grid already there
is not made again (the generator is seeded, so it would come out byte for byte the same).
Every run is started by zonalstats_measure, which reports its seconds and peak memory.
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
PEAK_MEMORY_TARGET_MIB = 8  # up to 1000 zones
ZONE_COST_TARGET = 2.0  # a run with 500000 zones against one with 500, per cell


def parse_size(text):
    match = re.fullmatch(r"(\d+)x(\d+)", text)
    if not match:
        raise argparse.ArgumentTypeError("size must be COLUMNSxROWS, e.g. 5000x5000")
    return int(match.group(1)), int(match.group(2))


def verdict(ok):
    return "ok" if ok else "MISSED"


def mib(kib):
    return f"{kib / 1024:.1f} MiB"


class Bench:
    """The built programs, the grid cache and a scratch folder for reports and output."""

    def __init__(self, args):
        build = Path(args.build).resolve()
        self.tool = build / "zonalstats"
        self.gridgen = build / "bench" / "zonalstats_gridgen"
        self.naive = build / "bench" / "zonalstats_naive"
        self.rawread = build / "bench" / "zonalstats_rawread"
        self.measure = build / "bench" / "zonalstats_measure"
        for program in (self.tool, self.gridgen, self.naive, self.rawread, self.measure):
            if not program.is_file():
                sys.exit(f"{program} is missing: build it first (make bench does)")
        self.size = args.size
        self.seed = args.seed
        self.cache = Path(args.cache).resolve()
        self.scratch = Path(tempfile.mkdtemp(prefix="zonalstats-bench-"))
        self.report = self.scratch / "report.txt"
        self.output = self.scratch / "stdout.txt"

    def grid(self, content, grid_format, size):
        columns, rows = size
        folder = self.cache / f"{columns}x{rows}-seed{self.seed}"
        path = folder / f"{content}.{grid_format}"
        if not path.exists():
            folder.mkdir(parents=True, exist_ok=True)
            print(f"generating {path}", flush=True)
            subprocess.run([self.gridgen, "--seed", str(self.seed), str(columns), str(rows),
                            content, grid_format, path], check=True, stdout=subprocess.DEVNULL)
        return path

    def pair(self, grid_format, zones, size=None):
        size = size or self.size
        return self.grid("values", grid_format, size), self.grid(zones, grid_format, size)

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


class Run:
    """One finished child process: wall-clock and CPU seconds, peak resident memory, output."""

    def __init__(self, seconds, cpu_seconds, peak_kib, output):
        self.seconds = seconds
        self.cpu_seconds = cpu_seconds
        self.peak_kib = peak_kib
        self.output = output


def run_child(bench, argv):
    """Runs argv through zonalstats_measure; the child's standard output is kept."""
    argv = [str(a) for a in argv]
    measured = subprocess.run([str(bench.measure), str(bench.output), *argv],
                              stdout=subprocess.PIPE, text=True)
    if measured.returncode != 0:
        sys.exit(f"failed: {' '.join(argv)}")
    fields = measured.stdout.split()
    figures = dict(zip(fields[0::2], fields[1::2]))
    return Run(float(figures["seconds"]), float(figures["cpu_seconds"]),
               int(figures["peak_kib"]), bench.output.read_text(errors="replace"))


class Series:
    """Repeated runs of one program on one grid pair."""

    def __init__(self, label, pair, size):
        self.label = label
        self.pair = pair
        self.cells = size[0] * size[1]
        self.file_bytes = sum(path.stat().st_size for path in pair)
        self.runs = []

    @property
    def seconds(self):
        return statistics.median(r.seconds for r in self.runs)

    @property
    def cpu_seconds(self):
        return statistics.median(r.cpu_seconds for r in self.runs)

    @property
    def peak_kib(self):
        return max(r.peak_kib for r in self.runs)

    def spread(self):
        low = min(r.seconds for r in self.runs)
        high = max(r.seconds for r in self.runs)
        return f"({low:.3f} - {high:.3f})"


def warm(bench, pair):
    run_child(bench, [bench.rawread, *pair])


def run_tool(bench, series):
    run = run_child(bench, [bench.tool, *series.pair, bench.report])
    run.output = bench.report.read_text(errors="replace")
    series.runs.append(run)
    print(".", end="", flush=True)


def totals_of_report(text):
    """The zone count and the totals row (number, minimum, maximum, sum) of a report."""
    rows = [line.split("\t") for line in text.splitlines() if re.match(r"^ +\d+\t", line)]
    if not rows:
        return None
    return len(rows) - 1, [float(rows[-1][i]) for i in (3, 4, 5, 6)]


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
        print(f"\nWARNING {grid_format}: zonalstats and the naive loop disagree: "
              f"report {tool}, naive {naive}", flush=True)


def time_formats(bench, args):
    """The floor, the naive loop and the tool on the 500-zone pair of each format."""
    results = {}
    for grid_format in FORMATS:
        pair = bench.pair(grid_format, "zones-500")
        floor = Series("raw read", pair, bench.size)
        naive = Series("naive stdio", pair, bench.size)
        tool = Series("zonalstats", pair, bench.size)
        warm(bench, pair)
        # Interleaved, so that a burst of load elsewhere hits all three alike.
        for i in range(args.runs):
            floor.runs.append(run_child(bench, [bench.rawread, *pair]))
            if i < args.naive_runs:
                naive.runs.append(run_child(bench, [bench.naive, *pair]))
            run_tool(bench, tool)
        check_agreement(grid_format, tool.runs[-1], naive.runs[-1])
        results[grid_format] = (floor, naive, tool)
    print()
    return results


def print_formats(results):
    print(f"{'format':<7} {'program':<12} {'seconds':>8} {'(min - max)':>17} {'cpu s':>7} "
          f"{'Mcells/s':>9} {'MB/s':>6} {'x raw read':>10} {'naive/this':>10} {'peak RSS':>9}")
    for grid_format, series in results.items():
        floor, naive, _ = series
        for s in series:
            print(f"{grid_format:<7} {s.label:<12} {s.seconds:8.3f} {s.spread():>17} "
                  f"{s.cpu_seconds:7.3f} {s.cells / s.seconds / 1e6:9.1f} "
                  f"{s.file_bytes / s.seconds / 1e6:6.0f} {s.seconds / floor.seconds:9.1f}x "
                  f"{naive.seconds / s.seconds:9.1f}x {mib(s.peak_kib):>9}")
        print(f"{'':<20} the pair: {floor.file_bytes / 1e6:.0f} MB, "
              f"{floor.file_bytes / floor.cells:.1f} bytes per cell")
    print()
    print("targets for zonalstats, 500 zones:")
    for grid_format, (floor, naive, tool) in results.items():
        target = TARGETS[grid_format]
        speed = tool.cells / tool.seconds
        vs_floor = tool.seconds / floor.seconds
        vs_naive = naive.seconds / tool.seconds
        peak_mib = tool.peak_kib / 1024
        print(f"  {grid_format:<7}"
              f" {speed / 1e6:6.1f} M cells/s (>= {target['cells_per_s'] / 1e6:.0f})"
              f" {verdict(speed >= target['cells_per_s']):<6}"
              f" {vs_floor:5.1f}x raw read (<= {target['vs_floor']})"
              f" {verdict(vs_floor <= target['vs_floor']):<6}"
              f" {vs_naive:5.1f}x faster than naive (>= {target['vs_naive']})"
              f" {verdict(vs_naive >= target['vs_naive']):<6}"
              f" peak {peak_mib:.1f} MiB (<= {PEAK_MEMORY_TARGET_MIB})"
              f" {verdict(peak_mib <= PEAK_MEMORY_TARGET_MIB)}")


def time_zone_layouts(bench, args, results):
    """The tool on each zone layout. Sorting and writing the report cost the same whatever the
    grid size, and with 500000 zones they cost as much as a large scan; so each layout is also
    run on smaller grids of the same zones, and the difference of the two, divided by the
    difference in cells, gives the cost of one more cell. That difference is taken in CPU
    seconds: the wall clock also counts the time a run waits for a core, and on a shared
    machine that wait is of the size of the difference."""
    small = args.small_size
    with_margin = small[0] * small[1] < bench.size[0] * bench.size[1]
    layouts = {}
    for grid_format in FORMATS:
        for zones, label in ZONE_LAYOUTS:
            if zones == "zones-500":
                big = results[grid_format][2]
            else:
                big = Series(label, bench.pair(grid_format, zones), bench.size)
                warm(bench, big.pair)
                for _ in range(args.runs):
                    run_tool(bench, big)
            little = None
            if with_margin:
                little = Series(label, bench.pair(grid_format, zones, small), small)
                warm(bench, little.pair)
                for _ in range(args.runs):
                    run_tool(bench, little)
            layouts[(grid_format, zones)] = (big, little)
    print()
    return layouts


def print_zone_layouts(layouts, small):
    with_margin = next(iter(layouts.values()))[1] is not None

    def per_extra_cell(big, little):
        return (big.cpu_seconds - little.cpu_seconds) / (big.cells - little.cells) * 1e9

    margin_head = f" {'cpu ns/extra cell':>17} {'vs 500':>7}" if with_margin else ""
    print(f"{'format':<7} {'zones':<17} {'seconds':>8} {'(min - max)':>17} {'cpu s':>7} "
          f"{'Mcells/s':>9} {'ns/cell':>8} {'vs 500':>7}{margin_head} {'peak RSS':>9}")
    for grid_format in FORMATS:
        base, base_little = layouts[(grid_format, "zones-500")]
        for zones, label in ZONE_LAYOUTS:
            s, little = layouts[(grid_format, zones)]
            ratio = s.seconds / base.seconds
            margin_text = ""
            if with_margin:
                extra = per_extra_cell(s, little)
                margin_text = f" {extra:17.1f} {extra / per_extra_cell(base, base_little):6.2f}x"
            note = ""
            if zones == "zones-500000":
                note = f"  target <= {ZONE_COST_TARGET}x: {verdict(ratio <= ZONE_COST_TARGET)}"
            print(f"{grid_format:<7} {label:<17} {s.seconds:8.3f} {s.spread():>17} "
                  f"{s.cpu_seconds:7.3f} {s.cells / s.seconds / 1e6:9.1f} "
                  f"{s.seconds / s.cells * 1e9:8.1f} "
                  f"{ratio:6.2f}x{margin_text} {mib(s.peak_kib):>9}{note}")
    print("Runs with 500000 zones include sorting them and writing 500000 report rows.")
    if with_margin:
        print(f"cpu ns/extra cell: (CPU seconds here - CPU seconds on {small[0]} x {small[1]} "
              f"grids of the same zones) / the difference in cells: the sort and the report "
              f"drop out.")
        print(f"At {small[0]} x {small[1]} the random layout meets fewer zones (about 430000), "
              f"which adds a little to its figure.")


def benchmark_time(bench, args):
    columns, rows = bench.size
    for grid_format in FORMATS:
        for zones, _ in ZONE_LAYOUTS:
            bench.pair(grid_format, zones)
            bench.pair(grid_format, zones, args.small_size)
    print(f"zonalstats on {columns} x {rows} grids ({columns * rows / 1e6:.1f} M cells), "
          f"seed {bench.seed}: median of {args.runs} runs, wall-clock seconds unless said "
          f"otherwise, files warm in the page cache", flush=True)
    results = time_formats(bench, args)
    layouts = time_zone_layouts(bench, args, results)
    print()
    print_formats(results)
    print()
    print(f"zonalstats by zone layout (median of {args.runs} runs)")
    print_zone_layouts(layouts, args.small_size)


def callgrind_totals(path):
    """The Ir totals of a callgrind output file and of its numbered dumps, by file name."""
    parts = {}
    for part in sorted(path.parent.glob(path.name + "*")):
        match = re.search(r"^totals:\s*(\d+)", part.read_text(errors="replace"), re.M)
        if match:
            parts[part.name] = int(match.group(1))
    return parts


def count_instructions(bench, argv, name):
    """Runs argv under callgrind and returns (instructions up to the report, all of them).
    The count is split where the report starts (the first call of report_head), so that the
    scan shows apart from sorting and writing the rows."""
    out = bench.scratch / f"callgrind.{name}"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    "--dump-before=report_head*", *map(str, argv)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    parts = callgrind_totals(out)
    total = sum(parts.values())
    return parts.get(out.name + ".1", total), total


def benchmark_callgrind(bench, args):
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is missing (Debian package valgrind)")
    columns, rows = bench.size
    cells = columns * rows
    layouts = ZONE_LAYOUTS if args.all_layouts else ZONE_LAYOUTS[:1]
    for grid_format in FORMATS:
        for zones, _ in layouts:
            bench.pair(grid_format, zones)
    print(f"instructions per cell, valgrind --tool=callgrind, {columns} x {rows} grids "
          f"({cells / 1e6:.1f} M cells), seed {bench.seed}", flush=True)
    lines = []
    for grid_format in FORMATS:
        for zones, label in layouts:
            pair = bench.pair(grid_format, zones)
            before, total = count_instructions(bench, [bench.tool, *pair, bench.report],
                                               f"{grid_format}.{zones}")
            naive = None
            if zones == "zones-500" and not args.no_naive:
                naive, _ = count_instructions(bench, [bench.naive, *pair], f"naive.{grid_format}")
            lines.append((grid_format, label, before, total, naive))
            print(".", end="", flush=True)
    print()
    print(f"{'format':<7} {'zones':<17} {'to report':>10} {'whole run':>10} {'naive':>8} "
          f"{'naive/this':>11}  target (whole run)")
    for grid_format, label, before, total, naive in lines:
        naive_text = f"{naive / cells:8.0f} {naive / total:10.1f}x" if naive else " " * 20
        target = ""
        if label == ZONE_LAYOUTS[0][1]:
            limit = TARGETS[grid_format]["instructions"]
            target = f"<= {limit} {verdict(total / cells <= limit)}"
        print(f"{grid_format:<7} {label:<17} {before / cells:10.1f} {total / cells:10.1f} "
              f"{naive_text}  {target}")
    print("to report: start-up, headers and the scan; whole run: also sorting, the report and "
          "the exit.")
    print("naive: the plain stdio loop, which writes no report.")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=("time", "callgrind"))
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--cache", default="bench/cache",
                        help="folder for the generated grids (default: bench/cache)")
    parser.add_argument("--size", type=parse_size, default=None,
                        help="COLUMNSxROWS (default: 5000x5000 to time, 1000x1000 to count)")
    parser.add_argument("--small-size", type=parse_size, default=(1000, 1000),
                        help="time: the smaller grids whose runs are subtracted to find the "
                             "cost of one more cell (default: 1000x1000)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--runs", type=int, default=5, help="timed runs per program (default: 5)")
    parser.add_argument("--naive-runs", type=int, default=None,
                        help="time: runs of the slow naive loop (default: as --runs)")
    parser.add_argument("--no-naive", action="store_true",
                        help="callgrind: skip counting the naive loop (about 15 seconds)")
    parser.add_argument("--all-layouts", action="store_true",
                        help="callgrind: also the 500000-zone layouts (about a minute each, "
                             "most of it writing the 500000 report rows)")
    args = parser.parse_args()
    if args.size is None:
        args.size = (5000, 5000) if args.mode == "time" else (1000, 1000)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    naive_runs = args.runs if args.naive_runs is None else args.naive_runs
    args.naive_runs = max(1, min(naive_runs, args.runs))

    bench = Bench(args)
    try:
        if args.mode == "time":
            benchmark_time(bench, args)
        else:
            benchmark_callgrind(bench, args)
    finally:
        bench.close()


if __name__ == "__main__":
    main()
