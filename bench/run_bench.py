#!/usr/bin/env python3
"""Benchmarks of zonalstats on generated grid pairs.

  run_bench.py time       seconds per format, side by side: the raw read of both files (the
                          floor), the plain stdio loop (zonalstats_naive), zonalstats with all
                          the CPUs the run may use and zonalstats pinned to one CPU (taskset);
                          then zonalstats on three zone layouts; then the table output
                          (--csv --stats=...) against the plain run, on whole-number heights
                          and on the usual ones
  run_bench.py callgrind  instructions per cell counted by valgrind's callgrind: the same count
                          for the same binary and grids whatever else the machine is doing

Grid pairs come from zonalstats_gridgen and are kept in the cache folder; a grid already there
is not made again (the generator is seeded, so it would come out byte for byte the same).
Every run is started by zonalstats_measure, which reports its seconds and peak memory.
Python 3 standard library only.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

# The tool's three grid formats, and "ascii-gdal": the values as text the way GDAL's AAIGrid
# writer prints float32 cells (up to 20 significant digits, mostly 16 or 17 on these values),
# paired with the usual text zones.
NATIVE_FORMATS = ("ascii", "single", "double")
FORMATS = ("ascii", "ascii-gdal", "single", "double")
ZONE_LAYOUTS = (
    ("zones-500", "500 blocks"),
    ("zones-500000", "500000 blocks"),
    ("zones-random", "random of 500000"),
)

# What the tool should reach on a 5000 x 5000 pair with 500 zones on a 2-core development
# machine, with the files in the page cache: cells per second with all CPUs and pinned to one,
# and the all-CPU time against the raw read of both files. The instruction counts are for
# make bench-callgrind (1000 x 1000 pairs); there is none for ascii-gdal.
TARGETS = {
    "ascii": {"all_cpus": 90e6, "one_cpu": 50e6, "vs_floor": 6.0, "instructions": 230},
    "ascii-gdal": {"all_cpus": 50e6, "one_cpu": 28e6, "vs_floor": 9.0, "instructions": None},
    "single": {"all_cpus": 400e6, "one_cpu": 280e6, "vs_floor": 2.2, "instructions": 60},
    "double": {"all_cpus": 350e6, "one_cpu": 230e6, "vs_floor": 1.6, "instructions": 60},
}
PEAK_MEMORY_TARGET_MIB = 16  # up to 1000 zones
ZONE_COST_TARGET = 2.0  # a run with 500000 zones against one with 500, per cell
# The table output with a median, a percentile and the mode, which keep each zone's distinct
# values: on the heights in whole metres against the plain run on them.
TABLE_OPTIONS = ("--csv", "--stats=zone,count,mean,median,p90,mode")
TABLE_TIME_TARGET = 1.5
TABLE_MEMORY_TARGET_MIB = 64


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
        self.gdal_decode = build / "bench" / "zonalstats_gdal_decode"
        for program in (self.tool, self.gridgen, self.naive, self.rawread, self.measure):
            if not program.is_file():
                sys.exit(f"{program} is missing: build it first (make bench does)")
        self.size = args.size
        self.seed = args.seed
        self.cache = Path(args.cache).resolve()
        self.scratch = Path(tempfile.mkdtemp(prefix="zonalstats-bench-"))
        self.report = self.scratch / "report.txt"
        self.output = self.scratch / "stdout.txt"
        self.cpus = sorted(os.sched_getaffinity(0))
        self.has_taskset = shutil.which("taskset") is not None
        # Pinned runs go to the first CPU this process may use: CPU 0 unless the run is
        # already limited to others, where "taskset -c 0" would fail.
        self.pin = self.pin_to(self.cpus[0]) if self.has_taskset else None
        self.threads_option = []

    @staticmethod
    def pin_to(cpu):
        return ["taskset", "-c", str(cpu)]

    def tool_argv(self, pair, pinned=False):
        """The tool on a pair, with all CPUs (and --threads=N if asked for) or, pinned, with
        its default: the one CPU it may use."""
        if pinned:
            return [self.tool, *pair, self.report]
        return [self.tool, *self.threads_option, *pair, self.report]

    def takes_threads_option(self):
        """Whether the tool runs with --threads=1 before the file names, tried on a 4 x 3
        pair; a tool without the option takes it for the input grid's name and fails."""
        pair = self.pair("ascii", "zones-500", (4, 3))
        self.report.unlink(missing_ok=True)
        tried = subprocess.run([self.tool, "--threads=1", *pair, self.report], cwd=self.scratch,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return tried.returncode == 0 and self.report.is_file()

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

    def pair(self, grid_format, zones, size=None, values="values"):
        size = size or self.size
        # GDAL writes integer zones as plain integers: the usual text zone grid.
        zones_format = "ascii" if grid_format == "ascii-gdal" else grid_format
        return self.grid(values, grid_format, size), self.grid(zones, zones_format, size)

    def close(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


class Run:
    """One finished child process: wall-clock and CPU seconds, peak resident memory, output."""

    def __init__(self, seconds, cpu_seconds, peak_kib, output):
        self.seconds = seconds
        self.cpu_seconds = cpu_seconds
        self.peak_kib = peak_kib
        self.output = output


def run_child(bench, argv, pin=None):
    """Runs argv through zonalstats_measure; the child's standard output is kept. With pin (a
    taskset command), taskset starts zonalstats_measure, whose child inherits the CPU: taskset's
    own start (a few milliseconds) stays out of the time and the peak."""
    argv = [str(a) for a in argv]
    measured = subprocess.run([*(pin or []), str(bench.measure), str(bench.output), *argv],
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


def run_tool(bench, series, pinned=False):
    run = run_child(bench, bench.tool_argv(series.pair, pinned), bench.pin if pinned else None)
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


def figures_of_report(text):
    """A report without its first line, which names the grids."""
    return text.split("\n", 1)[-1]


def check_same_reports(results):
    """Every report byte must be the same whatever the number of threads; and the GDAL-style
    text holds the single grid's floats to the last bit, so its figures are the single
    grid's."""
    for grid_format, series in results.items():
        one_cpu = series["one_cpu"]
        if one_cpu is None:
            continue
        reports = {r.output for r in series["tool"].runs + one_cpu.runs}
        if len(reports) != 1:
            print(f"WARNING {grid_format}: the reports differ from run to run "
                  f"(all CPUs and one CPU)", flush=True)
    if "ascii-gdal" in results and "single" in results:
        gdal = figures_of_report(results["ascii-gdal"]["tool"].runs[-1].output)
        single = figures_of_report(results["single"]["tool"].runs[-1].output)
        if gdal != single:
            print("WARNING ascii-gdal: the figures differ from those of the single grid, "
                  "which holds the same floats", flush=True)


def probe_cpus(bench):
    """CPU seconds of the tool on a 1000 x 1000 text pair pinned to each CPU in turn (median
    of 3). On a virtual machine one CPU can run much slower than another for minutes, while
    the host gives its core to someone else; that skews the one-CPU times and the scaling."""
    pair = bench.pair("ascii", "zones-500", (1000, 1000))
    warm(bench, pair)
    times = {cpu: [] for cpu in bench.cpus}
    for _ in range(3):
        for cpu in bench.cpus:
            times[cpu].append(run_child(bench, bench.tool_argv(pair, pinned=True),
                                        bench.pin_to(cpu)).cpu_seconds)
    return {cpu: statistics.median(t) for cpu, t in times.items()}


def print_cpu_speeds(probes):
    """The probes before and after the timed runs, as times relative to the fastest CPU."""
    print("CPU speeds (the tool pinned to each CPU on a 1000 x 1000 text pair, CPU seconds "
          "against the fastest):")
    worst = 1.0
    for when, probe in probes:
        fastest = min(probe.values())
        worst = max(worst, max(probe.values()) / fastest)
        print(f"  {when:<7}" + "".join(f" cpu{cpu} {t / fastest:.2f}" for cpu, t in probe.items()))
    if worst > 1.1:
        print(f"WARNING: the CPUs ran up to {worst:.2f}x apart (a busy host?): the one-CPU times "
              f"and the scaling are skewed; run again when they agree.")


def time_formats(bench, args):
    """The floor, the naive loop and the tool, with all CPUs and on one, on the 500-zone pair
    of each format."""
    results = {}
    for grid_format in FORMATS:
        pair = bench.pair(grid_format, "zones-500")
        series = {
            "floor": Series("raw read", pair, bench.size),
            "naive": Series("naive stdio", pair, bench.size),
            "tool": Series("zonalstats", pair, bench.size),
            "one_cpu": Series("zs 1 CPU", pair, bench.size) if bench.pin else None,
        }
        warm(bench, pair)
        # Interleaved, so that a burst of load elsewhere hits all of them alike.
        for i in range(args.runs):
            series["floor"].runs.append(run_child(bench, [bench.rawread, *pair]))
            if i < args.naive_runs:
                series["naive"].runs.append(run_child(bench, [bench.naive, *pair]))
            run_tool(bench, series["tool"])
            if series["one_cpu"] is not None:
                run_tool(bench, series["one_cpu"], pinned=True)
        check_agreement(grid_format, series["tool"].runs[-1], series["naive"].runs[-1])
        results[grid_format] = series
    print()
    check_same_reports(results)
    return results


def print_formats(bench, results):
    print(f"{'format':<10} {'program':<12} {'seconds':>8} {'(min - max)':>17} {'cpu s':>7} "
          f"{'Mcells/s':>9} {'MB/s':>6} {'x raw read':>10} {'naive/this':>10} {'peak RSS':>9}")
    for grid_format, series in results.items():
        floor, naive = series["floor"], series["naive"]
        for s in series.values():
            if s is None:
                continue
            print(f"{grid_format:<10} {s.label:<12} {s.seconds:8.3f} {s.spread():>17} "
                  f"{s.cpu_seconds:7.3f} {s.cells / s.seconds / 1e6:9.1f} "
                  f"{s.file_bytes / s.seconds / 1e6:6.0f} {s.seconds / floor.seconds:9.1f}x "
                  f"{naive.seconds / s.seconds:9.1f}x {mib(s.peak_kib):>9}")
        print(f"{'':<23} the pair: {floor.file_bytes / 1e6:.0f} MB, "
              f"{floor.file_bytes / floor.cells:.1f} bytes per cell")
    if bench.pin:
        print(f"zonalstats: all the CPUs the run may use; zs 1 CPU: pinned with "
              f"{' '.join(bench.pin)}.")
    print()
    print(f"zonalstats, 500 zones, against the targets ({len(bench.cpus)} CPUs; "
          f"scaling = one-CPU seconds / all-CPU seconds; peak of both):")
    print(f"{'format':<10} {'all CPUs: s':>11} {'M cells/s':>9} {'target':<13} "
          f"{'one CPU: s':>10} {'M cells/s':>9} {'target':<13} {'scaling':>7} "
          f"{'x raw read':>10} {'target':<12} {'peak RSS':>9} {'target'}")
    for grid_format, series in results.items():
        target = TARGETS[grid_format]
        floor, tool, one_cpu = series["floor"], series["tool"], series["one_cpu"]
        speed = tool.cells / tool.seconds
        vs_floor = tool.seconds / floor.seconds
        peak_kib = max(s.peak_kib for s in (tool, one_cpu) if s is not None)
        line = (f"{grid_format:<10} {tool.seconds:11.3f} {speed / 1e6:9.1f} "
                f"{'>= ' + format(target['all_cpus'] / 1e6, '.0f'):>6} "
                f"{verdict(speed >= target['all_cpus']):<6} ")
        if one_cpu is not None:
            one_speed = one_cpu.cells / one_cpu.seconds
            line += (f"{one_cpu.seconds:10.3f} {one_speed / 1e6:9.1f} "
                     f"{'>= ' + format(target['one_cpu'] / 1e6, '.0f'):>6} "
                     f"{verdict(one_speed >= target['one_cpu']):<6} "
                     f"{one_cpu.seconds / tool.seconds:6.2f}x ")
        else:
            line += f"{'-':>10} {'-':>9} {'':<13} {'-':>7} "
        peak_ok = peak_kib / 1024 <= PEAK_MEMORY_TARGET_MIB
        line += (f"{vs_floor:9.1f}x {'<= ' + format(target['vs_floor'], 'g'):>5} "
                 f"{verdict(vs_floor <= target['vs_floor']):<6} {mib(peak_kib):>9} "
                 f"<= {PEAK_MEMORY_TARGET_MIB} {verdict(peak_ok)}")
        print(line)
    if bench.pin is None:
        print("taskset (util-linux) is missing: no runs pinned to one CPU, no scaling.")
    elif len(bench.cpus) == 1:
        print("This run may use one CPU only: both columns are one-CPU runs, the scaling says "
              "nothing.")


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
    for grid_format in NATIVE_FORMATS:
        for zones, label in ZONE_LAYOUTS:
            if zones == "zones-500":
                big = results[grid_format]["tool"]
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
    for grid_format in NATIVE_FORMATS:
        base, base_little = layouts[(grid_format, "zones-500")]
        for zones, label in ZONE_LAYOUTS:
            s, little = layouts[(grid_format, zones)]
            ratio = s.seconds / base.seconds
            margin_text = ""
            # The target is per cell: the extra cell's cost where it is measured, which leaves
            # out the fixed cost of sorting 500000 zones and writing their rows.
            per_cell_ratio = ratio
            if with_margin:
                extra = per_extra_cell(s, little)
                per_cell_ratio = extra / per_extra_cell(base, base_little)
                margin_text = f" {extra:17.1f} {per_cell_ratio:6.2f}x"
            note = ""
            if zones == "zones-500000":
                note = (f"  target <= {ZONE_COST_TARGET}x per cell: "
                        f"{verdict(per_cell_ratio <= ZONE_COST_TARGET)}")
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


def run_table(bench, series, options):
    run = run_child(bench, [bench.tool, *bench.threads_option, *options, *series.pair,
                            bench.report])
    run.output = bench.report.read_text(errors="replace")
    series.runs.append(run)
    print(".", end="", flush=True)


def csv_column(text, name):
    lines = text.splitlines()
    column = lines[0].split(",").index(name)
    return [line.split(",")[column] for line in lines[1:]]


def time_table(bench, args, results):
    """The table output against the plain run, all CPUs, 500 block zones: on the heights in
    whole metres (the target) and on the usual heights with 1 to 3 decimals, whose distinct
    values are counted by one more, untimed run to give the memory per distinct value."""
    table = {}
    for grid_format in NATIVE_FORMATS:
        whole = bench.pair(grid_format, "zones-500", values="values-whole")
        series = {
            "plain": Series("plain", whole, bench.size),
            "table": Series("table", whole, bench.size),
            "table floats": Series("table", bench.pair(grid_format, "zones-500"), bench.size),
        }
        warm(bench, whole)
        warm(bench, series["table floats"].pair)
        for _ in range(args.runs):
            run_tool(bench, series["plain"])
            run_table(bench, series["table"], TABLE_OPTIONS)
            run_table(bench, series["table floats"], TABLE_OPTIONS)
        # The table counts what the report counts.
        counted = sum(int(c) for c in csv_column(series["table"].runs[-1].output, "count"))
        report = totals_of_report(series["plain"].runs[-1].output)
        if report is None or counted != report[1][0]:
            print(f"\nWARNING {grid_format}: the table counted {counted} cells, the report "
                  f"{report}", flush=True)
        distinct_run = Series("distinct", series["table floats"].pair, bench.size)
        run_table(bench, distinct_run, ("--csv", "--stats=variety"))
        series["distinct"] = sum(int(v) for v in csv_column(distinct_run.runs[-1].output,
                                                            "variety"))
        table[grid_format] = series
    print()
    return table


def print_table(results, table):
    print(f"The table output, {' '.join(TABLE_OPTIONS)}, against the plain run, all CPUs, 500 "
          f"zones (target on whole-number values: <= {TABLE_TIME_TARGET}x, "
          f"<= {TABLE_MEMORY_TARGET_MIB} MiB):")
    print(f"{'format':<7} {'values':<14} {'plain s':>8} {'table s':>8} {'(min - max)':>17} "
          f"{'x plain':>8} {'peak RSS':>9} {'distinct':>10} {'B/distinct':>10}  target")
    for grid_format, series in table.items():
        plain, whole = series["plain"], series["table"]
        ratio = whole.seconds / plain.seconds
        ok = ratio <= TABLE_TIME_TARGET and whole.peak_kib / 1024 <= TABLE_MEMORY_TARGET_MIB
        print(f"{grid_format:<7} {'whole metres':<14} {plain.seconds:8.3f} {whole.seconds:8.3f} "
              f"{whole.spread():>17} {ratio:7.2f}x {mib(whole.peak_kib):>9} {'':>10} {'':>10}  "
              f"{verdict(ok)}")
        floats, base = series["table floats"], results[grid_format]["tool"]
        per_value = (floats.peak_kib - base.peak_kib) * 1024 / max(series["distinct"], 1)
        print(f"{grid_format:<7} {'1-3 decimals':<14} {base.seconds:8.3f} {floats.seconds:8.3f} "
              f"{floats.spread():>17} {floats.seconds / base.seconds:7.2f}x "
              f"{mib(floats.peak_kib):>9} {series['distinct']:>10} {per_value:10.1f}")
    print("B/distinct: the table run's peak memory above the plain run's, over the number of "
          "distinct values of all zones (from --stats=variety).")


def use_threads_option(bench, args):
    """--threads N passes --threads=N to the all-CPU runs, if the tool takes it."""
    takes_it = bench.takes_threads_option()
    if args.threads is not None:
        if not takes_it:
            sys.exit(f"--threads {args.threads}: {bench.tool} does not take --threads=N")
        bench.threads_option = [f"--threads={args.threads}"]
    return takes_it


def benchmark_time(bench, args):
    columns, rows = bench.size
    takes_threads = use_threads_option(bench, args)
    bench.pair("ascii-gdal", "zones-500")
    for grid_format in NATIVE_FORMATS:
        bench.pair(grid_format, "zones-500", values="values-whole")
        for zones, _ in ZONE_LAYOUTS:
            bench.pair(grid_format, zones)
            bench.pair(grid_format, zones, args.small_size)
    print(f"zonalstats on {columns} x {rows} grids ({columns * rows / 1e6:.1f} M cells), "
          f"seed {bench.seed}: median of {args.runs} runs, wall-clock seconds unless said "
          f"otherwise, files warm in the page cache", flush=True)
    cpus = ",".join(map(str, bench.cpus))
    threads_text = (f"all-CPU runs with {bench.threads_option[0]}" if bench.threads_option
                    else "all-CPU runs with the tool's default threads")
    print(f"CPUs this run may use: {len(bench.cpus)} ({cpus}) of {os.cpu_count()}; "
          f"{threads_text}; the tool "
          f"{'takes' if takes_threads else 'does not take'} --threads=N", flush=True)
    if bench.pin is None:
        print("taskset (util-linux) is missing: skipping the runs pinned to one CPU", flush=True)
    probes = [("before", probe_cpus(bench))] if bench.has_taskset else []
    results = time_formats(bench, args)
    if bench.has_taskset:
        probes.append(("after", probe_cpus(bench)))
    layouts = time_zone_layouts(bench, args, results)
    table = time_table(bench, args, results)
    print()
    print_formats(bench, results)
    if probes:
        print_cpu_speeds(probes)
    print()
    print(f"zonalstats by zone layout, all CPUs (median of {args.runs} runs)")
    print_zone_layouts(layouts, args.small_size)
    print()
    print_table(results, table)
    print()
    benchmark_gdal(bench, args)


# GDAL rasters: the "single" pair as GeoTIFFs, against the same cells as "single" grids and
# against GDAL alone decoding them on one thread.
GDAL_TARGETS = {"strip_vs_single": 1.6, "deflate_vs_floor_one_cpu": 1.3, "peak_mib": 96}
# gridgen's corner and cell size.
GRID_XLL, GRID_YLL, GRID_CELLSIZE = 451200, 5402350, 25


def gdal_pairs(bench):
    """The "single" pair as uncompressed strip GeoTIFFs and as tiled DEFLATE ones, made with
    GDAL's gdal_translate through a VRT over the raw cells behind the 48-byte header; None where
    gdal_translate or the decode floor is missing."""
    if shutil.which("gdal_translate") is None or not bench.gdal_decode.is_file():
        return None
    columns, rows = bench.size
    single = bench.pair("single", "zones-500")
    folder = single[0].parent
    made = {}
    for kind, options in (("strip", []),
                          ("deflate", ["-co", "TILED=YES", "-co", "COMPRESS=DEFLATE"])):
        pair = []
        for source, is_zones in ((single[0], False), (single[1], True)):
            tif = folder / f"{source.stem}.{kind}.tif"
            if not tif.exists():
                vrt = folder / f"{source.stem}.vrt"
                top = GRID_YLL + rows * GRID_CELLSIZE
                nodata = "" if is_zones else "<NoDataValue>-9999</NoDataValue>"
                vrt.write_text(
                    f'<VRTDataset rasterXSize="{columns}" rasterYSize="{rows}">\n'
                    f"  <GeoTransform>{GRID_XLL}, {GRID_CELLSIZE}, 0, {top}, 0, "
                    f"-{GRID_CELLSIZE}</GeoTransform>\n"
                    f'  <VRTRasterBand dataType="Float32" band="1" subClass="VRTRawRasterBand">\n'
                    f"    {nodata}<SourceFilename relativetoVRT=\"0\">{source}</SourceFilename>\n"
                    f"    <ImageOffset>48</ImageOffset><PixelOffset>4</PixelOffset>"
                    f"<LineOffset>{4 * columns}</LineOffset><ByteOrder>LSB</ByteOrder>\n"
                    f"  </VRTRasterBand>\n</VRTDataset>\n")
                typed = ["-ot", "Int16"] if is_zones else []
                predictor = (["-co", f"PREDICTOR={2 if is_zones else 3}"] if kind == "deflate"
                             else [])
                print(f"generating {tif}", flush=True)
                subprocess.run(["gdal_translate", "-q", *typed, *options, *predictor, vrt, tif],
                               check=True)
            pair.append(tif)
        made[kind] = tuple(pair)
    return single, made


def benchmark_gdal(bench, args):
    pairs = gdal_pairs(bench)
    if pairs is None:
        print("GDAL rasters: skipped (needs gdal_translate from gdal-bin and a build with GDAL)")
        return
    single, made = pairs
    size = bench.size
    runs = {
        "single, all CPUs": (Series("single", single, size), False),
        "strip GeoTIFF, all CPUs": (Series("strip", made["strip"], size), False),
        "DEFLATE GeoTIFF, all CPUs": (Series("deflate", made["deflate"], size), False),
        "DEFLATE GeoTIFF, 1 CPU": (Series("deflate1", made["deflate"], size), True),
    }
    floor = Series("floor", made["deflate"], size)
    for series, _ in runs.values():
        warm(bench, series.pair)
    for _ in range(args.runs):
        for series, pinned in runs.values():
            if pinned and bench.pin is None:
                continue
            run_tool(bench, series, pinned)
        floor.runs.append(run_child(bench, [bench.gdal_decode, *floor.pair], bench.pin))
        print(".", end="", flush=True)
    print()
    reference = runs["single, all CPUs"][0]
    expected = reference.runs[0].output.split("\n", 1)[1]
    print(f"GDAL rasters: the {size[0]} x {size[1]} 'single' pair as GeoTIFFs (median of "
          f"{args.runs} runs)")
    print(f"{'pair':<27} {'seconds':>8} {'(min - max)':>17} {'cpu s':>7} {'Mcells/s':>9} "
          f"{'peak RSS':>9}")
    for label, (series, _) in runs.items():
        if not series.runs:
            continue
        same = all(r.output.split("\n", 1)[1] == expected for r in series.runs)
        print(f"{label:<27} {series.seconds:8.3f} {series.spread():>17} "
              f"{series.cpu_seconds:7.3f} {series.cells / series.seconds / 1e6:9.1f} "
              f"{mib(series.peak_kib):>9}{'' if same else '  FIGURES DIFFER'}")
    print(f"{'GDAL alone, DEFLATE, 1 CPU':<27} {floor.seconds:8.3f} {floor.spread():>17} "
          f"{floor.cpu_seconds:7.3f} {floor.cells / floor.seconds / 1e6:9.1f} "
          f"{mib(floor.peak_kib):>9}")
    strip = runs["strip GeoTIFF, all CPUs"][0]
    deflate = runs["DEFLATE GeoTIFF, all CPUs"][0]
    deflate_one = runs["DEFLATE GeoTIFF, 1 CPU"][0]
    strip_ratio = strip.seconds / reference.seconds
    print(f"strip GeoTIFF / single: {strip_ratio:.2f}x, target <= "
          f"{GDAL_TARGETS['strip_vs_single']}: "
          f"{verdict(strip_ratio <= GDAL_TARGETS['strip_vs_single'])}")
    if deflate_one.runs:
        one_ratio = deflate_one.seconds / floor.seconds
        print(f"DEFLATE on 1 CPU / GDAL alone: {one_ratio:.2f}x, target <= "
              f"{GDAL_TARGETS['deflate_vs_floor_one_cpu']}: "
              f"{verdict(one_ratio <= GDAL_TARGETS['deflate_vs_floor_one_cpu'])}")
    all_ratio = deflate.seconds / floor.seconds
    print(f"DEFLATE on all CPUs / GDAL alone: {all_ratio:.2f}x, target < 1: "
          f"{verdict(all_ratio < 1)}")
    peak = max(series.peak_kib for label, (series, _) in runs.items()
               if "GeoTIFF" in label and series.runs)
    print(f"peak RSS of the GeoTIFF runs: {mib(peak)}, target <= {GDAL_TARGETS['peak_mib']} MiB: "
          f"{verdict(peak / 1024 <= GDAL_TARGETS['peak_mib'])}")


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

    def layouts_of(grid_format):
        # The GDAL-style text is timed with the 500 block zones only.
        return layouts[:1] if grid_format not in NATIVE_FORMATS else layouts

    # Worker threads would add their hand-overs to the count, and valgrind runs them one at a
    # time anyway: a tool that takes --threads counts with one thread unless told otherwise.
    if bench.takes_threads_option():
        bench.threads_option = [f"--threads={args.threads or 1}"]
    elif args.threads is not None:
        sys.exit(f"--threads {args.threads}: {bench.tool} does not take --threads=N")
    for grid_format in FORMATS:
        for zones, _ in layouts_of(grid_format):
            bench.pair(grid_format, zones)
    threads_text = f", {bench.threads_option[0]}" if bench.threads_option else ""
    print(f"instructions per cell, valgrind --tool=callgrind, {columns} x {rows} grids "
          f"({cells / 1e6:.1f} M cells), seed {bench.seed}{threads_text}", flush=True)
    lines = []
    for grid_format in FORMATS:
        for zones, label in layouts_of(grid_format):
            pair = bench.pair(grid_format, zones)
            before, total = count_instructions(bench, bench.tool_argv(pair),
                                               f"{grid_format}.{zones}")
            naive = None
            if zones == "zones-500" and not args.no_naive:
                naive, _ = count_instructions(bench, [bench.naive, *pair], f"naive.{grid_format}")
            lines.append((grid_format, label, before, total, naive))
            print(".", end="", flush=True)
    print()
    print(f"{'format':<10} {'zones':<17} {'to report':>10} {'whole run':>10} {'naive':>8} "
          f"{'naive/this':>11}  target (whole run)")
    for grid_format, label, before, total, naive in lines:
        naive_text = f"{naive / cells:8.0f} {naive / total:10.1f}x" if naive else " " * 20
        target = ""
        if label == ZONE_LAYOUTS[0][1]:
            limit = TARGETS[grid_format]["instructions"]
            target = (f"<= {limit} {verdict(total / cells <= limit)}" if limit is not None
                      else "none")
        print(f"{grid_format:<10} {label:<17} {before / cells:10.1f} {total / cells:10.1f} "
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
    parser.add_argument("--threads", type=int, default=None, metavar="N",
                        help="pass --threads=N to the tool (its all-CPU runs when timing; "
                             "callgrind passes --threads=1 by default), for a tool that takes "
                             "the option: tried first on a tiny pair")
    parser.add_argument("--all-layouts", action="store_true",
                        help="callgrind: also the 500000-zone layouts (about a minute each, "
                             "most of it writing the 500000 report rows)")
    args = parser.parse_args()
    if args.size is None:
        args.size = (5000, 5000) if args.mode == "time" else (1000, 1000)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    if args.threads is not None and args.threads < 1:
        parser.error("--threads must be at least 1")
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
