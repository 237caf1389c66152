"""The benchmark's results: the ratios that matter, the machine, Markdown and JSON files."""

import datetime
import importlib.metadata
import json
import os
import platform
import subprocess
from dataclasses import asdict, dataclass
from pathlib import Path

import kelo
from contenders import FLOOR, KELO, PARALLEL, SCIPY, SPHERICART, THREAD_COUNTS

ROOT = Path(__file__).resolve().parents[1]


@dataclass(frozen=True)
class Measurement:
    lmax: int
    case_points: int
    requested: tuple
    label: str
    role: str
    kind: str
    precision: str
    threads: int
    note: str
    points: int  # timed; fewer than case_points for SciPy
    runs: int
    seconds: float  # median of the runs

    @property
    def ns_per_point(self):
        return self.seconds / self.points * 1e9

    @property
    def ns_per_harmonic(self):
        return self.ns_per_point / (self.lmax + 1) ** 2


def find(rows, role, precision="float64", threads=None):
    return next((row for row in rows if row.role == role and row.precision == precision
                 and threads in (None, row.threads)), None)


def quotient(numerator, denominator):
    if numerator is None or denominator is None:
        return None
    return numerator.ns_per_point / denominator.ns_per_point


def groups(rows):
    """The rows of each case and kind, in the order they were measured."""
    grouped = {}
    for row in rows:
        grouped.setdefault((row.lmax, row.case_points, row.kind), []).append(row)
    return grouped.values()


def summarize(rows):
    summary = []
    for group in groups(rows):
        kelo64, kelo32 = find(group, KELO), find(group, KELO, "float32")
        first = group[0]
        summary.append({
            "lmax": first.lmax, "points": first.case_points, "requested": first.requested,
            "kind": first.kind,
            "kelo_ns_per_point": kelo64 and kelo64.ns_per_point,
            "kelo_ns_per_harmonic": kelo64 and kelo64.ns_per_harmonic,
            "kelo_over_floor": quotient(kelo64, find(group, FLOOR)),
            "kelo_float32_ns_per_point": kelo32 and kelo32.ns_per_point,
            "kelo_float32_over_floor": quotient(kelo32, find(group, FLOOR, "float32")),
            "float32_speedup": quotient(kelo64, kelo32),
            "scipy_over_kelo": quotient(find(group, SCIPY), kelo64),
            "sphericart_over_kelo": quotient(find(group, SPHERICART), kelo64),
            "thread_speedup": quotient(*(find(group, PARALLEL, threads=count)
                                         for count in THREAD_COUNTS)),
        })
    return summary


def with_ratio_to_kelo(rows):
    """Each row as a dict, with its time per point over kelo's of the same precision."""
    listed = []
    for group in groups(rows):
        for row in group:
            reference = find(group, KELO, row.precision) or find(group, KELO)
            listed.append(asdict(row) | {
                "ns_per_point": row.ns_per_point, "ns_per_harmonic": row.ns_per_harmonic,
                "over_kelo": quotient(row, reference)})
    return listed


def cpu_model():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine():
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return {"cpu": cpu_model(), "cores": os.cpu_count(), "memory_gib": round(memory / 2**30, 1),
            "platform": platform.platform()}


def compiler():
    # The compiler of kelo's editable build, as its meson build directory records it.
    try:
        compilers = json.loads((ROOT / "build/py/meson-info/intro-compilers.json").read_text())
        return compilers["host"]["cpp"]["full_version"]
    except (OSError, KeyError, ValueError):
        return None


def git_commit():
    try:
        process = subprocess.run(["git", "describe", "--always", "--dirty"], cwd=ROOT,
                                 capture_output=True, text=True, timeout=10)
    except OSError:
        return None
    return process.stdout.strip() or None


def versions():
    found = {"python": platform.python_version(), "kelo": kelo.__version__,
             "kelo_commit": git_commit(), "compiler": compiler()}
    for package in ("numpy", "scipy", "sphericart"):
        try:
            found[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            found[package] = None
    return found


def build(rows, mode, settings, skipped):
    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "mode": mode, "machine": machine(), "versions": versions(), "settings": settings,
        "skipped": skipped, "summary": summarize(rows), "measurements": with_ratio_to_kelo(rows),
    }


def number(value):
    if value is None:
        return "—"
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def points_cell(points, requested):
    if tuple(requested) == (points,):
        return f"{points:,}"
    return f"{points:,} (asked {', '.join(f'{count:,}' for count in requested)})"


def table(headers, rows):
    cells = [headers] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[column]) for row in cells) for column in range(len(headers))]
    lines = ["| " + " | ".join(cell.ljust(width) for cell, width in zip(row, widths)) + " |"
             for row in cells]
    lines.insert(1, "|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(lines)


SUMMARY_HEADERS = ["lmax", "N", "kind", "kelo ns/point", "ns/harmonic", "÷ floor",
                   "f32 ns/point", "f32 ÷ floor", "f64 ÷ f32", "scipy ÷ kelo",
                   "sphericart ÷ kelo", "2 threads speed-up"]
MEASUREMENT_HEADERS = ["lmax", "N", "kind", "implementation", "precision", "threads",
                       "points timed", "runs", "ns/point", "ns/harmonic", "÷ kelo", "note"]


def summary_table(summary):
    return table(SUMMARY_HEADERS, [
        [entry["lmax"], points_cell(entry["points"], entry["requested"]), entry["kind"]]
        + [number(entry[key]) for key in (
            "kelo_ns_per_point", "kelo_ns_per_harmonic", "kelo_over_floor",
            "kelo_float32_ns_per_point", "kelo_float32_over_floor", "float32_speedup",
            "scipy_over_kelo", "sphericart_over_kelo", "thread_speedup")]
        for entry in summary])


def measurement_table(measurements):
    return table(MEASUREMENT_HEADERS, [
        [row["lmax"], points_cell(row["case_points"], row["requested"]), row["kind"],
         row["label"], row["precision"], row["threads"], f"{row['points']:,}", row["runs"],
         number(row["ns_per_point"]), number(row["ns_per_harmonic"]), number(row["over_kelo"]),
         row["note"]]
        for row in measurements])


def notes(results):
    settings, repeats = results["settings"], results["settings"]["repeats"]
    threads = next((row["threads"] for row in results["measurements"]
                    if row["role"] == SPHERICART), None)
    return "\n".join([
        f"- Points: phi uniform in [0, pi], theta in [0, 2 pi], seed {settings['seed']}; every"
        " implementation of a case sees the same points. Times are medians of"
        f" {repeats['min_runs']} to {repeats['max_runs']} calls (more while they take under"
        f" {repeats['budget']} s), after a warm-up call on a few points.",
        f"- N: a case whose largest result (values and gradients in complex128) would exceed"
        f" {settings['output_cap_bytes'] / 2**30:g} GiB runs on fewer points; \"asked\" lists"
        " the point counts it stands for.",
        "- ns/harmonic divides the time per point by the (lmax+1)^2 harmonics of a point."
        " \"÷ kelo\" and \"peer ÷ kelo\" divide a time per point by kelo's pointwise function"
        " of the same kind and precision: above 1, kelo is faster.",
        "- Floor: per point sin and cos of phi, cos and sin of theta, and cos(m theta),"
        " sin(m theta) for m = 1..lmax, with the C library's functions that kelo's bits depend"
        " on (trig_floor.cpp, same precision), plus allocating and filling with NumPy a complex"
        " result of kelo's size: (N, count) for values, and (N, count, 2) besides for"
        " gradients. \"÷ floor\" is kelo's time over it.",
        "- SciPy: sph_harm_y_all(lmax, lmax, phi, theta, diff_n=0 or 1), float64 only, timed on"
        f" the first {settings['scipy_harmonics_per_call']:,} / (lmax+1)^2 points. It returns"
        " (lmax+1, 2 lmax+1, N) arrays, points last, orders 0..lmax then -lmax..-1, zeros where"
        " |m| > l, with the Condon-Shortley phase; gradients add a trailing axis of 2."
        " Reordering to kelo's layout is not timed.",
        "- sphericart: real spherical harmonics from Cartesian unit vectors, float64, with"
        " Cartesian gradients: a neighbouring task, not the same output."
        f" It ran on {threads if threads is not None else '—'} OpenMP thread(s)"
        f" (OMP_NUM_THREADS={settings['omp_num_threads']}).",
        "- kelo sph / sph_grads write into preallocated out= arrays; the speed-up of 2 threads"
        " over 1 is measured on a machine that may be running other work.",
    ])


def markdown(results):
    machine_, versions_ = results["machine"], results["versions"]
    header = [
        f"# kelo benchmark, {results['date']} ({results['mode']} run)",
        "",
        f"- Machine: {machine_['cpu']}, {machine_['cores']} cores,"
        f" {machine_['memory_gib']} GiB, {machine_['platform']}",
        "- Versions: " + ", ".join(f"{name} {version}" for name, version in versions_.items()
                                   if version is not None),
        "- Load average over 1 minute: {:.2f} at the start, {:.2f} at the end".format(
            *results["settings"]["load_average"]),
    ]
    header += [f"- Skipped: {message}" for message in results["skipped"]]
    return "\n".join(header + [
        "", "## Summary", "", summary_table(results["summary"]),
        "", "## Notes", "", notes(results),
        "", "## All measurements", "", measurement_table(results["measurements"]), ""])


def write(results, directory):
    """Writes <name>.md and <name>.json: latest for a full run, which records its date
    inside (git keeps the earlier ones), else the mode's name."""
    directory.mkdir(parents=True, exist_ok=True)
    name = "latest" if results["mode"] == "full" else results["mode"]
    paths = []
    for suffix, text in ((".md", markdown(results)),
                         (".json", json.dumps(results, indent=1) + "\n")):
        path = directory / (name + suffix)
        path.write_text(text, encoding="utf-8")
        paths.append(path)
    return paths
