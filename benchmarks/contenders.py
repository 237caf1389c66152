"""What the benchmark times: kelo, its peers and the floor, as calls ready to repeat.

Each contender prepares, from the angles of the points and lmax, a call without
arguments that does one full evaluation. Converting the inputs and allocating out=
arrays happen while preparing, outside the timings; functions that return new
arrays allocate them inside the timed call, as their users see it.
"""

import functools
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

import kelo

# sphericart parallelises with OpenMP over every core unless told otherwise, and
# OpenMP reads this once, when sphericart loads its library. kelo's pointwise
# functions run on one thread, so by default so does sphericart.
os.environ.setdefault("OMP_NUM_THREADS", "1")

try:
    from scipy.special import sph_harm_y_all
except ImportError:
    sph_harm_y_all = None

try:
    import sphericart
except ImportError:
    sphericart = None

VALUES, GRADS = "values", "grads"
KELO, PARALLEL, FLOOR, SCIPY, SPHERICART = "kelo", "kelo parallel", "floor", "scipy", "sphericart"

# SciPy is several times slower than kelo, and far slower for gradients: it is
# timed on the first points only, about this many harmonics' worth in all.
SCIPY_HARMONICS = 2_000_000
# Where the trigonometry floor's program is built.
TRIG_FLOOR_BINARY = Path(__file__).resolve().parents[1] / "build" / "bench" / "trig_floor"
# kelo's parallel functions are timed at these thread counts.
THREAD_COUNTS = (1, 2)


@dataclass(frozen=True)
class Contender:
    label: str
    role: str
    kind: str
    precision: str
    prepare: Callable  # (phi, theta, lmax) -> call without arguments
    threads: int = 1
    note: str = ""
    point_limit: Callable | None = None  # lmax -> most points to time, or None for all

    def points_timed(self, points, lmax):
        return points if self.point_limit is None else min(points, self.point_limit(lmax))


def harmonic_count(lmax):
    return (lmax + 1) ** 2


def kelo_pointwise(kind, precision):
    def prepare(phi, theta, lmax):
        phi, theta = phi.astype(precision), theta.astype(precision)
        if kind == VALUES:
            return lambda: kelo.pointwise_sph(phi, theta, lmax)
        return lambda: kelo.pointwise_sph_grads(phi, theta, lmax)
    name = "pointwise_sph" if kind == VALUES else "pointwise_sph_grads"
    return Contender(f"kelo {name}", KELO, kind, precision, prepare)


def kelo_parallel(kind, threads):
    name = "sph" if kind == VALUES else "sph_grads"
    function = getattr(kelo, name)

    def prepare(phi, theta, lmax):
        values = np.empty((phi.size, harmonic_count(lmax)), np.complex128)
        if kind == VALUES:
            return lambda: function(phi, theta, lmax, out=values, threads=threads)
        gradients = np.empty(values.shape + (2,), np.complex128)
        return lambda: function(phi, theta, lmax, out=gradients, sphs_out=values,
                                threads=threads)
    return Contender(f"kelo {name}", PARALLEL, kind, "float64", prepare,
                     threads=threads, note="into preallocated out=")


def floor(kind, precision):
    """The trigonometry every evaluation needs, and writing a result of kelo's size.

    Per point sin and cos of phi, cos and sin of theta, and cos(m theta), sin(m theta)
    for m = 1..lmax, made with the C library's functions, as kelo must make them for
    its bits (trig_floor.cpp, timed apart and added). The result is allocated and
    filled as pointwise_sph(_grads) allocate theirs: the values, and for gradients
    the (d/dphi, d/dtheta) pairs too.
    """
    def prepare(phi, theta, lmax):
        complex_type = np.result_type(precision, np.complex64)
        shapes = [(phi.size, harmonic_count(lmax))]
        if kind == GRADS:
            shapes.append(shapes[0] + (2,))

        def call():
            for shape in shapes:
                np.empty(shape, complex_type).fill(0)
        call.extra_seconds = trig_seconds_per_point(precision, lmax) * phi.size
        return call
    return Contender("floor", FLOOR, kind, precision, prepare,
                     note="libm trig calls + writing the output")


@functools.cache
def trig_seconds_per_point(precision, lmax, points=20_000, runs=5):
    binary = TRIG_FLOOR_BINARY
    source = Path(__file__).with_name("trig_floor.cpp")
    if not binary.exists() or binary.stat().st_mtime < source.stat().st_mtime:
        binary.parent.mkdir(parents=True, exist_ok=True)
        compiler = os.environ.get("CXX", "c++")
        subprocess.run([compiler, "-std=c++17", "-O2", str(source), "-o", str(binary)], check=True)
    output = subprocess.run([str(binary), precision, str(lmax), str(points), str(runs)],
                            check=True, capture_output=True, text=True).stdout
    return float(output) * 1e-9


def scipy_all(kind):
    # SciPy names the polar angle theta and puts it first, as kelo does with phi.
    # With m = lmax it returns every l <= lmax and |m| <= lmax as an
    # (lmax+1, 2 lmax+1, points) array whose entries with |m| > l are zero.
    diff_n = 0 if kind == VALUES else 1

    def prepare(phi, theta, lmax):
        return lambda: sph_harm_y_all(lmax, lmax, phi, theta, diff_n=diff_n)
    return Contender(f"scipy sph_harm_y_all(diff_n={diff_n})", SCIPY, kind, "float64", prepare,
                     note="on a subset of the points",
                     point_limit=lambda lmax: SCIPY_HARMONICS // harmonic_count(lmax))


def sphericart_threads():
    # The library reports how many OpenMP threads it uses only through this attribute.
    return getattr(sphericart.SphericalHarmonics(0), "_omp_num_threads",
                   int(os.environ["OMP_NUM_THREADS"]))


def sphericart_real(kind):
    def prepare(phi, theta, lmax):
        sin_phi = np.sin(phi)
        xyz = np.stack([sin_phi * np.cos(theta), sin_phi * np.sin(theta), np.cos(phi)], axis=-1)
        calculator = sphericart.SphericalHarmonics(lmax)
        compute = calculator.compute if kind == VALUES else calculator.compute_with_gradients
        return lambda: compute(xyz)
    name = "compute" if kind == VALUES else "compute_with_gradients"
    return Contender(f"sphericart {name}", SPHERICART, kind, "float64", prepare,
                     threads=sphericart_threads(),
                     note="real harmonics from Cartesian points")


def all_contenders():
    """The contenders available here, and a message for each one left out."""
    kinds = (VALUES, GRADS)
    contenders = [make(kind, precision) for kind in kinds for precision in ("float64", "float32")
                  for make in (kelo_pointwise, floor)]
    skipped = []
    for kind in kinds:
        name = "sph" if kind == VALUES else "sph_grads"
        if getattr(kelo, name, None) is None:
            skipped.append(f"kelo.{name} is not in this build of kelo: its rows are skipped")
        else:
            contenders += [kelo_parallel(kind, threads) for threads in THREAD_COUNTS]
    if sph_harm_y_all is None:
        skipped.append("scipy.special.sph_harm_y_all is not available: SciPy is skipped")
    else:
        contenders += [scipy_all(kind) for kind in kinds]
    if sphericart is None:
        skipped.append("sphericart is not installed: it is skipped")
    else:
        contenders += [sphericart_real(kind) for kind in kinds]
    return contenders, skipped
