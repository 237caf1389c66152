"""Times kelo against its peers and against the floor of its algorithm.

Every contender sees the same random points of each case (lmax, N). The tables go
to the terminal and, as Markdown and JSON, to the output directory.
"""

import argparse
import os
import statistics
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import contenders
import report

GRID_LMAX = (2, 4, 8, 16, 32, 64)
GRID_POINTS = (10**3, 10**5, 10**6)
QUICK_LMAX = (2, 8)
QUICK_POINTS = (1000,)
SEED = 20261209
# The largest result of one call (values and gradients in complex128) stays below
# this; cases that would exceed it are run on fewer points.
OUTPUT_CAP_BYTES = 4 * 2**30
# A first call on this many points takes one-time costs out of the timings.
WARMUP_POINTS = 16
DEFAULT_OUTPUT_DIR = Path(__file__).resolve().parent / "results"


@dataclass(frozen=True)
class Case:
    lmax: int
    points: int
    requested: tuple  # the point counts asked for that this case stands for


@dataclass(frozen=True)
class Repeats:
    """Runs of one call: at least min_runs, then more until budget seconds or max_runs."""
    min_runs: int
    max_runs: int
    budget: float


FULL_REPEATS = Repeats(min_runs=3, max_runs=9, budget=2.0)
QUICK_REPEATS = Repeats(min_runs=1, max_runs=3, budget=0.05)


def points_within_cap(points, lmax):
    limit = OUTPUT_CAP_BYTES // (3 * np.dtype(np.complex128).itemsize
                                 * contenders.harmonic_count(lmax))
    if points <= limit:
        return points
    leading = 10 ** (len(str(limit)) - 1)
    return limit // leading * leading  # round numbers read better in the tables


def plan(lmaxes, point_counts):
    """The cases to run; requests that the cap makes equal share one case."""
    requests = {}
    for lmax in lmaxes:
        for points in point_counts:
            requests.setdefault((lmax, points_within_cap(points, lmax)), []).append(points)
    return [Case(lmax, points, tuple(asked)) for (lmax, points), asked in requests.items()]


def median_seconds(call, repeats):
    times = []
    while len(times) < repeats.max_runs and (
            len(times) < repeats.min_runs or sum(times) < repeats.budget):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), len(times)


def random_points(count):
    rng = np.random.default_rng(SEED)
    return rng.uniform(0, np.pi, count), rng.uniform(0, 2 * np.pi, count)


def measure(case, contestants, repeats, log):
    phi, theta = random_points(case.points)
    rows = []
    for contender in contestants:
        points = contender.points_timed(case.points, case.lmax)
        contender.prepare(phi[:WARMUP_POINTS], theta[:WARMUP_POINTS], case.lmax)()
        call = contender.prepare(phi[:points], theta[:points], case.lmax)
        seconds, runs = median_seconds(call, repeats)
        seconds += getattr(call, "extra_seconds", 0.0)  # work timed apart, as the floor's trigonometry
        del call  # frees its preallocated outputs before the next contender allocates
        row = report.Measurement(
            lmax=case.lmax, case_points=case.points, requested=case.requested,
            label=contender.label, role=contender.role, kind=contender.kind,
            precision=contender.precision, threads=contender.threads, note=contender.note,
            points=points, runs=runs, seconds=seconds)
        log(f"lmax {case.lmax:3d}  N {case.points:>9,d}  {contender.label} {contender.precision}"
            f" x{contender.threads}: {row.ns_per_point:,.0f} ns/point")
        rows.append(row)
    return rows


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke run: lmax {QUICK_LMAX}, N {QUICK_POINTS}, few repeats")
    parser.add_argument("--lmax", type=int, nargs="+", metavar="L",
                        help=f"degrees to run instead of {GRID_LMAX}")
    parser.add_argument("--points", type=int, nargs="+", metavar="N",
                        help=f"point counts to run instead of {GRID_POINTS}")
    parser.add_argument("--output-dir", type=Path, default=DEFAULT_OUTPUT_DIR,
                        help="where the Markdown and JSON tables go (default: %(default)s)")
    arguments = parser.parse_args(argv)
    for name in ("lmax", "points"):
        values = getattr(arguments, name) or ()
        lowest = 0 if name == "lmax" else 1
        if any(value < lowest for value in values):
            parser.error(f"--{name} takes numbers of at least {lowest}")
    return arguments


def main(argv=None):
    arguments = parse_arguments(argv)
    lmaxes = arguments.lmax or (QUICK_LMAX if arguments.quick else GRID_LMAX)
    point_counts = arguments.points or (QUICK_POINTS if arguments.quick else GRID_POINTS)
    repeats = QUICK_REPEATS if arguments.quick else FULL_REPEATS
    contestants, skipped = contenders.all_contenders()
    for message in skipped:
        print(message)

    def log(line):
        print(line, file=sys.stderr, flush=True)

    # Other work on the machine slows and scatters the timings: the load tells of it.
    load_at_start = os.getloadavg()[0]
    rows = [row for case in plan(lmaxes, point_counts)
            for row in measure(case, contestants, repeats, log)]
    settings = {
        "load_average": [load_at_start, os.getloadavg()[0]],
        "seed": SEED,
        "output_cap_bytes": OUTPUT_CAP_BYTES,
        "scipy_harmonics_per_call": contenders.SCIPY_HARMONICS,
        "repeats": vars(repeats),
        "omp_num_threads": os.environ["OMP_NUM_THREADS"],
    }
    if arguments.quick:
        mode = "quick"
    elif arguments.lmax or arguments.points:
        mode = "custom"
    else:
        mode = "full"
    results = report.build(rows, mode, settings, skipped)
    print(report.markdown(results))
    for path in report.write(results, arguments.output_dir):
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
