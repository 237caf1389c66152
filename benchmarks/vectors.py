"""Harmonics from Cartesian vectors: kelo against sphericart, its own angle path and the floor.

Every call allocates its result, as a user's call does. For each degree, precision
and kind (values, or values with gradients) it times, on the same unit vectors:

- kelo.sph_xyz(_grads)(real=True) on one thread, and on two;
- sphericart's SphericalHarmonics(lmax).compute(_with_gradients), on one thread;
- kelo.sph_xyz(_grads) with complex output, and kelo.sph(_grads) from the angles of
  the same vectors, on one thread;
- writing the output alone: allocating and filling arrays of the real result's size.

Times are the best of several calls, so that other work on the machine shows less.
The table goes to the terminal and to results/vectors.md.
"""

import argparse
import os
from pathlib import Path

# sphericart takes every core through OpenMP unless told otherwise, once, at load.
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import kelo  # noqa: E402
from measuring import best_seconds, publish  # noqa: E402

try:
    import sphericart
except ImportError:
    sphericart = None

LMAXES = (1, 2, 4, 8, 16, 32)
POINTS = 100_000
RUNS = 7
SEED = 20261209
RESULTS = Path(__file__).resolve().parent / "results" / "vectors.md"


def unit_vectors(points, precision):
    xyz = np.random.default_rng(SEED).normal(size=(points, 3))
    return (xyz / np.linalg.norm(xyz, axis=1, keepdims=True)).astype(precision)


def calls(xyz, lmax, grads):
    """The contenders of one row, as calls without arguments."""
    x, y, z = xyz.T
    phi = np.arccos(np.clip(z, -1, 1))
    theta = np.arctan2(y, x) % (2 * np.pi)
    count = (lmax + 1) ** 2
    shapes = [(len(xyz), count)] + ([(len(xyz), count, 3)] if grads else [])
    vectors = kelo.sph_xyz_grads if grads else kelo.sph_xyz
    angles = kelo.sph_grads if grads else kelo.sph
    table = {
        "kelo real": lambda: vectors(xyz, lmax, real=True, threads=1),
        "kelo real, 2 threads": lambda: vectors(xyz, lmax, real=True, threads=2),
        "kelo complex": lambda: vectors(xyz, lmax, threads=1),
        "kelo.sph angles": lambda: angles(phi, theta, lmax, threads=1),
        "write": lambda: [np.empty(shape, xyz.dtype).fill(0) for shape in shapes],
    }
    if sphericart is not None:
        calculator = sphericart.SphericalHarmonics(lmax)
        compute = calculator.compute_with_gradients if grads else calculator.compute
        table["sphericart"] = lambda: compute(xyz)
    return table


def measure(lmaxes, points, runs):
    rows = []
    for precision in ("float64", "float32"):
        xyz = unit_vectors(points, precision)
        for grads in (False, True):
            for lmax in lmaxes:
                ns = {name: best_seconds(call, runs) / points * 1e9
                      for name, call in calls(xyz, lmax, grads).items()}
                rows.append((precision, "values + gradients" if grads else "values", lmax, ns))
                print(f"{precision} {rows[-1][1]:18} lmax {lmax:2}: "
                      + ", ".join(f"{name} {value:,.0f}" for name, value in ns.items()), flush=True)
    return rows


def ratio(numerator, denominator):
    return "" if numerator is None or denominator is None else f"{numerator / denominator:.2f}"


def markdown(rows, points, runs):
    lines = [
        "# Harmonics from Cartesian vectors",
        "",
        f"{points:,} random unit vectors, best of {runs} calls, every call allocating its result; "
        f"ns per vector. One thread unless said. Load average at the end: "
        f"{os.getloadavg()[0]:.2f}.",
        "",
        "| precision | kind | lmax | kelo real | sphericart | sphericart ÷ kelo | kelo ÷ write"
        " | kelo complex | kelo.sph (angles) | angles ÷ complex | 1 ÷ 2 threads |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for precision, kind, lmax, ns in rows:
        theirs = ns.get("sphericart")
        lines.append(
            f"| {precision} | {kind} | {lmax} | {ns['kelo real']:,.0f} | "
            f"{'' if theirs is None else f'{theirs:,.0f}'} | {ratio(theirs, ns['kelo real'])} | "
            f"{ratio(ns['kelo real'], ns['write'])} | {ns['kelo complex']:,.0f} | "
            f"{ns['kelo.sph angles']:,.0f} | {ratio(ns['kelo.sph angles'], ns['kelo complex'])} | "
            f"{ratio(ns['kelo real'], ns['kelo real, 2 threads'])} |")
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lmax", type=int, nargs="+", default=LMAXES)
    parser.add_argument("--points", type=int, default=POINTS)
    parser.add_argument("--runs", type=int, default=RUNS)
    parser.add_argument("--output", type=Path, default=RESULTS)
    arguments = parser.parse_args(argv)
    if sphericart is None:
        print("sphericart is not installed: its column stays empty")
    rows = measure(arguments.lmax, arguments.points, arguments.runs)
    table = markdown(rows, arguments.points, arguments.runs)
    publish(table, arguments.output)


if __name__ == "__main__":
    main()
