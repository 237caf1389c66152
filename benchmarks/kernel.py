"""The angle kernel against a baseline build of kelo from an earlier revision, in the same run.

kelo built at the baseline revision (once, into build/baseline/<sha>/) and the kelo of
this tree (installed editable in .venv) are both the package `kelo`, so each runs in
worker processes of its own. The parent hands the same rows to both, alternating which
goes first, and takes for each row the least of several rounds, each the best of
several calls. One thread and warm `out=` arrays unless said:

- kelo.sph and kelo.sph_grads (with `sphs_out=`) at each degree, float64 and float32;
- float32 at lmax 64 on points near the poles against points near the equator;
- kelo.sph allocating its result, and kelo.pointwise_sph, against kelo.sph into `out=`;
- two threads against one.

The tables go to the terminal and to results/kernel.md.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import sysconfig
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np

from measuring import best_seconds, publish

ROOT = Path(__file__).resolve().parents[1]
RESULTS = Path(__file__).resolve().parent / "results"
BASELINE = "0463c5a"  # the last commit before the kernel's rewrite
LMAXES = (8, 16, 32, 64)
PRECISIONS = ("float64", "float32")
POINTS = 100_000
QUICK_POINTS = 1_000
# A row's largest arrays, gradients and harmonics in complex128, stay under this; a
# degree that would exceed it runs on fewer points (lmax 64: 26 000 instead of 20 GB).
MEMORY_CAP_BYTES = 5 * 2**30
RUNS = 5
ROUNDS = 3
SEED = 20261209
POLAR_BAND = 0.02  # polar points: phi within this of 0 or pi
EQUATORIAL_BAND = 0.5  # equatorial points: phi within this of pi/2
KINDS = {"sph": "values", "sph_grads": "values + gradients"}
POLAR_LMAX = 64
COMPARISON_LMAXES = (8, 32)  # of the fresh-result and thread rows


@dataclass(frozen=True)
class Call:
    function: str = "sph"  # sph, sph_grads or pointwise_sph
    region: str = "sphere"  # where the points lie: sphere, polar or equatorial
    threads: int = 1
    fresh: bool = False  # allocates its result instead of writing into warm out= arrays


@dataclass(frozen=True)
class Row:
    """Calls timed in one worker, on the same points: a table's row for each version."""
    lmax: int
    precision: str
    points: int
    calls: tuple  # of Call
    label: str = ""  # the comparison that an extra row makes, calls[0] over calls[1]


@dataclass(frozen=True)
class Version:
    name: str
    site: Path | None = None  # where its kelo is installed; None for the editable one in .venv

    @property
    def package(self):
        """Where its kelo's modules must come from."""
        return ROOT / "kelo" if self.site is None else self.site / "kelo"


def angles(region, points, precision):
    rng = np.random.default_rng(SEED)
    theta = rng.uniform(0, 2 * np.pi, points)
    if region == "sphere":
        phi = np.arccos(rng.uniform(-1, 1, points))
    elif region == "polar":
        offset = rng.uniform(0, POLAR_BAND, points)
        phi = np.where(rng.random(points) < 0.5, offset, np.pi - offset)
    else:
        phi = rng.uniform(np.pi / 2 - EQUATORIAL_BAND, np.pi / 2 + EQUATORIAL_BAND, points)
    return phi.astype(precision), theta.astype(precision)


def time_row(row, runs):
    """Worker side: ns per point of each call of the row, with whichever kelo comes first
    on this process's path."""
    import kelo

    outputs = {}  # one set of out= arrays per function, shared by its calls

    def call_of(call):
        phi, theta = angles(call.region, row.points, row.precision)
        function = getattr(kelo, call.function)
        if call.function == "pointwise_sph":
            return lambda: function(phi, theta, row.lmax)
        if call.fresh:
            return lambda: function(phi, theta, row.lmax, threads=call.threads)
        if call.function not in outputs:  # allocated and written before any timing
            result = function(phi, theta, row.lmax, threads=1)
            outputs[call.function] = (
                {"out": result[0], "sphs_out": result[1]} if call.function == "sph_grads"
                else {"out": result})
        return lambda: function(phi, theta, row.lmax, threads=call.threads,
                                **outputs[call.function])

    ns = [best_seconds(call_of(call), runs) / row.points * 1e9 for call in row.calls]
    return {"kelo": kelo.__file__, "ns": ns}


def worker_command(version, row, runs):
    """The command and environment of a worker that times `row` with `version`'s kelo."""
    request = json.dumps({"row": asdict(row), "runs": runs})
    script = [str(Path(__file__).resolve()), "--worker", request]
    if version.site is None:
        return [sys.executable, *script], os.environ
    # Without `site`, the .pth file of the editable install cannot put its kelo first;
    # the environment's packages then come after the baseline's.
    path = [version.site, sysconfig.get_path("purelib"), sysconfig.get_path("platlib")]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, path)))
    return [sys.executable, "-S", *script], environment


def run_worker(version, row, runs):
    command, environment = worker_command(version, row, runs)
    output = subprocess.run(command, env=environment, check=True, stdout=subprocess.PIPE, text=True)
    result = json.loads(output.stdout)
    if not Path(result["kelo"]).resolve().is_relative_to(version.package):
        raise RuntimeError(f"the {version.name} worker imported kelo from {result['kelo']}, "
                           f"not from {version.package}")
    return result["ns"]


def git(*arguments):
    return subprocess.run(["git", "-C", str(ROOT), *arguments], check=True, capture_output=True,
                          text=True).stdout.strip()


def build_baseline(revision):
    """kelo at `revision`, built and installed once into build/baseline/<sha>/site."""
    sha = git("rev-parse", "--verify", f"{revision}^{{commit}}")
    home = ROOT / "build" / "baseline" / sha
    site, done = home / "site", home / "built"
    if done.exists():
        return sha, site
    print(f"building kelo at {sha[:12]} into {home}", file=sys.stderr, flush=True)
    shutil.rmtree(home, ignore_errors=True)  # what an interrupted build left
    source = home / "source"
    source.mkdir(parents=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", sha], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    # The environment's meson, ninja and cython build it, as they build the editable kelo.
    environment = dict(os.environ, PATH=os.pathsep.join([str(Path(sys.executable).parent),
                                                         os.environ.get("PATH", "")]))
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                    "--no-deps", "--target", str(site), str(source),
                    f"-Cbuild-dir={home / 'build'}"], env=environment, check=True)
    done.touch()
    return sha, site


def points_at(lmax, points):
    """`points`, or fewer in round thousands where a row would pass the memory cap."""
    per_point = 3 * np.dtype(np.complex128).itemsize * (lmax + 1) ** 2
    limit = MEMORY_CAP_BYTES // per_point
    return points if points <= limit else limit // 1000 * 1000 or limit


def plan(lmaxes, points):
    """The main rows, one call each, and the extra rows, which compare two calls."""
    main = [Row(lmax, precision, points_at(lmax, points), (Call(function),))
            for precision in PRECISIONS for function in KINDS for lmax in lmaxes]
    polar = [Row(POLAR_LMAX, "float32", points_at(POLAR_LMAX, points),
                 (Call(function, region="polar"), Call(function, region="equatorial")),
                 f"{KINDS[function]}, polar ÷ equatorial") for function in KINDS]
    fresh = [Row(lmax, "float64", points_at(lmax, points), (call, Call("sph")), label)
             for label, call in (("sph allocating ÷ out=", Call("sph", fresh=True)),
                                 ("pointwise_sph ÷ sph out=", Call("pointwise_sph")))
             for lmax in COMPARISON_LMAXES]
    threads = [Row(lmax, "float64", points_at(lmax, points),
                   (Call(function), Call(function, threads=2)),
                   f"{KINDS[function]}, 1 thread ÷ 2 threads")
               for function in KINDS for lmax in COMPARISON_LMAXES]
    return main, polar + fresh + threads


def measure(rows, versions, runs, rounds):
    """The least ns per point over the rounds, per version, row and call. In each round
    every row goes to both versions in turn, the first one alternating."""
    least = {version.name: [[float("inf")] * len(row.calls) for row in rows]
             for version in versions}
    for round_ in range(rounds):
        for index, row in enumerate(rows):
            turn = versions if (round_ + index) % 2 == 0 else versions[::-1]
            for version in turn:
                ns = run_worker(version, row, runs)
                least[version.name][index] = list(map(min, least[version.name][index], ns))
            print(f"round {round_ + 1}/{rounds}, {row.label or KINDS[row.calls[0].function]} "
                  f"{row.precision} lmax {row.lmax}: " + ", ".join(
                      f"{name} " + " / ".join(f"{value:,.0f}" for value in values[index])
                      for name, values in least.items()) + " ns/point",
                  file=sys.stderr, flush=True)
    return least


def markdown(main, extra, least, context):
    base, new = least["baseline"], least["new"]
    lines = [
        "# Angle kernel against a baseline",
        "",
        f"kelo of this tree (`{context['commit']}`) against kelo built at `{context['baseline']}`"
        f" ({context['subject']}) in the same run, each in worker processes of its own. "
        f"Rounds: {context['rounds']}, each handing every row to both in turn, the first one "
        f"alternating; a time is the least over the rounds of the best of {context['runs']} calls. "
        f"ns per point, one thread and warm `out=` arrays unless said; "
        f"{context['points']:,} points (phi = arccos of uniform [-1, 1], theta uniform in "
        f"[0, 2 pi), fixed seed), fewer where the arrays would pass "
        f"{MEMORY_CAP_BYTES / 2**30:.0f} GiB. Load average {context['load'][0]:.2f} at the start "
        f"and {context['load'][1]:.2f} at the end.",
        "",
        "| precision | kind | lmax | points | baseline ns/pt | new ns/pt | speed-up |",
        "|---|---|---|---|---|---|---|",
    ]
    for row, (before,), (after,) in zip(main, base, new):
        lines.append(f"| {row.precision} | {KINDS[row.calls[0].function]} | {row.lmax} | "
                     f"{row.points:,} | {before:,.0f} | {after:,.0f} | {before / after:.2f} |")
    lines += [
        "",
        f"Comparisons of two calls in one worker: ns per point of each, and their ratio. "
        f"Polar points have phi within {POLAR_BAND} of 0 or pi, equatorial ones within "
        f"{EQUATORIAL_BAND} of pi/2.",
        "",
        "| comparison | precision | lmax | points | baseline ns/pt | baseline ratio | new ns/pt"
        " | new ratio |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for index, row in enumerate(extra, start=len(main)):
        cells = [f"{a:,.0f} / {b:,.0f} | {a / b:.2f}" for a, b in (base[index], new[index])]
        lines.append(f"| {row.label} | {row.precision} | {row.lmax} | {row.points:,} | "
                     f"{cells[0]} | {cells[1]} |")
    return "\n".join(lines) + "\n"


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", default=BASELINE, metavar="REV",
                        help="the revision to compare with (default: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke run: {QUICK_POINTS} points, one round of one call")
    parser.add_argument("--lmax", type=int, nargs="+", default=LMAXES)
    parser.add_argument("--points", type=int)
    parser.add_argument("--runs", type=int)
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--output", type=Path)
    parser.add_argument("--worker", help=argparse.SUPPRESS)  # a row to time, as JSON
    return parser.parse_args(argv)


def main(argv=None):
    arguments = parse_arguments(argv)
    if arguments.worker:
        request = json.loads(arguments.worker)
        row = request["row"]
        row = Row(**dict(row, calls=tuple(Call(**call) for call in row["calls"])))
        print(json.dumps(time_row(row, request["runs"])))
        return
    quick = arguments.quick
    points = arguments.points or (QUICK_POINTS if quick else POINTS)
    runs = arguments.runs or (1 if quick else RUNS)
    rounds = arguments.rounds or (1 if quick else ROUNDS)
    # Smoke and partial runs go to names that git ignores.
    partial = arguments.points or tuple(arguments.lmax) != LMAXES
    output = arguments.output or RESULTS / (
        "quick.kernel.md" if quick else "custom.kernel.md" if partial else "kernel.md")

    sha, site = build_baseline(arguments.baseline)
    versions = (Version("baseline", site), Version("new"))
    main_rows, extra_rows = plan(arguments.lmax, points)
    load_at_start = os.getloadavg()[0]
    least = measure(main_rows + extra_rows, versions, runs, rounds)
    context = {
        "commit": git("describe", "--always", "--dirty"), "baseline": sha[:12],
        "subject": git("log", "-1", "--format=%s", sha), "points": points, "runs": runs,
        "rounds": rounds, "load": (load_at_start, os.getloadavg()[0]),
    }
    publish(markdown(main_rows, extra_rows, least, context), output)


if __name__ == "__main__":
    main()
