"""Sums of harmonics over groups: kelo.sph_sum against the two-step NumPy path.

E vectors in groups of 12, as the neighbour lists of E / 12 particles: for each
degree it times, on one thread unless said,

- the two-step path: kelo.sph_xyz into a warm `out=`, then np.add.reduceat over the
  groups' starts; and, as a floor of any such path, then a sum over the second axis of
  the harmonics reshaped to (E / 12, 12, count), which holds for groups of one size only;
- kelo.sph_sum with the vectors in group order, on one thread and on two;
- kelo.sph_sum with the vectors shuffled, so that consecutive vectors add to far apart sums,

all complex128 with negative orders, and the peak memory of one call of the two-step
path and of sph_sum, each in a fresh process, beyond the inputs. Times are the best of
several calls. The table goes to the terminal and to results/sums.md.
"""

import argparse
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

import kelo
from measuring import best_seconds, peak_bytes, publish

LMAXES = (4, 8, 12, 16)
VECTORS = 1_000_000
NEIGHBOURS = 12
RUNS = 3
SEED = 20261209
RESULTS = Path(__file__).resolve().parent / "results" / "sums.md"


def bonds(vectors):
    """Random bond vectors, and their groups in order: NEIGHBOURS per particle."""
    particles = vectors // NEIGHBOURS
    xyz = np.random.default_rng(SEED).normal(size=(particles * NEIGHBOURS, 3))
    return xyz, np.repeat(np.arange(particles), NEIGHBOURS)


def two_step(xyz, groups, lmax, out=None):
    starts = np.flatnonzero(np.r_[True, groups[1:] != groups[:-1]])
    return np.add.reduceat(kelo.sph_xyz(xyz, lmax, threads=1, out=out), starts, axis=0)


def two_step_equal_groups(xyz, lmax, out):
    harmonics = kelo.sph_xyz(xyz, lmax, threads=1, out=out)
    return harmonics.reshape(-1, NEIGHBOURS, harmonics.shape[-1]).sum(axis=1)


def peak_megabytes(path, vectors, lmax):
    """The peak resident memory that one call adds to a fresh process holding the inputs."""
    call = (f"sums.two_step(xyz, groups, {lmax})" if path == "two-step"
            else f"sums.kelo.sph_sum(xyz, {lmax}, groups, threads=1)")
    script = (f"import sys; sys.path.insert(0, {str(Path(__file__).resolve().parent)!r}); "
              f"import sums; xyz, groups = sums.bonds({vectors}); "
              f"sums.kelo.sph_sum(xyz[:8], {lmax}, groups[:8] * 0); "  # one-time costs
              f"before = sums.peak_bytes(); {call}; print(sums.peak_bytes() - before)")
    extra = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True,
                           text=True).stdout
    return int(extra) / 2**20


def measure(lmaxes, vectors, runs):
    xyz, groups = bonds(vectors)
    order = np.random.default_rng(SEED).permutation(len(groups))
    shuffled_xyz, shuffled_groups = xyz[order], groups[order]
    rows = []
    for lmax in lmaxes:
        out = np.empty((len(xyz), (lmax + 1) ** 2), np.complex128)
        seconds = {
            "two-step": best_seconds(lambda: two_step(xyz, groups, lmax, out), runs),
            "two-step, equal groups": best_seconds(lambda: two_step_equal_groups(xyz, lmax, out),
                                                   runs),
            "sph_sum": best_seconds(lambda: kelo.sph_sum(xyz, lmax, groups, threads=1), runs),
            "sph_sum, 2 threads": best_seconds(lambda: kelo.sph_sum(xyz, lmax, groups, threads=2),
                                               runs),
            "sph_sum, shuffled": best_seconds(
                lambda: kelo.sph_sum(shuffled_xyz, lmax, shuffled_groups, threads=1), runs),
        }
        del out
        memory = {path: peak_megabytes(path, vectors, lmax) for path in ("two-step", "sph_sum")}
        result = len(xyz) // NEIGHBOURS * (lmax + 1) ** 2 * 16 / 2**20
        rows.append((lmax, seconds, memory, result))
        print(f"lmax {lmax:2}: " + ", ".join(f"{k} {v * 1e3:,.0f} ms" for k, v in seconds.items())
              + ", peak MB " + ", ".join(f"{k} {v:,.0f}" for k, v in memory.items()), flush=True)
    return rows


def markdown(rows, vectors, runs):
    lines = [
        "# Sums of harmonics over groups",
        "",
        f"{vectors:,} random vectors in groups of {NEIGHBOURS}, complex128 with negative orders, "
        f"best of {runs} calls; one thread unless said. Peak memory: what one call adds to "
        f"a fresh process, beside the result's size. Load average at the end: "
        f"{os.getloadavg()[0]:.2f}.",
        "",
        "| lmax | two-step ms | equal groups ms | sph_sum ms | two-step ÷ sph_sum"
        " | equal groups ÷ sph_sum | sph_sum 2 threads ms | 1 ÷ 2 threads | shuffled ms"
        " | two-step peak MB | sph_sum peak MB | result MB |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for lmax, s, memory, result in rows:
        lines.append(
            f"| {lmax} | {s['two-step'] * 1e3:,.0f} | {s['two-step, equal groups'] * 1e3:,.0f} | "
            f"{s['sph_sum'] * 1e3:,.0f} | {s['two-step'] / s['sph_sum']:.1f} | "
            f"{s['two-step, equal groups'] / s['sph_sum']:.1f} | {s['sph_sum, 2 threads'] * 1e3:,.0f} | "
            f"{s['sph_sum'] / s['sph_sum, 2 threads']:.2f} | {s['sph_sum, shuffled'] * 1e3:,.0f} | "
            f"{memory['two-step']:,.0f} | {memory['sph_sum']:,.0f} | {result:,.0f} |")
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lmax", type=int, nargs="+", default=LMAXES)
    parser.add_argument("--vectors", type=int, default=VECTORS)
    parser.add_argument("--runs", type=int, default=RUNS)
    parser.add_argument("--output", type=Path, default=RESULTS)
    arguments = parser.parse_args(argv)
    rows = measure(arguments.lmax, arguments.vectors, arguments.runs)
    table = markdown(rows, arguments.vectors, arguments.runs)
    publish(table, arguments.output)


if __name__ == "__main__":
    main()
