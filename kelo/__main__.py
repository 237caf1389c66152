"""python -m kelo: evaluate a series of harmonics on many points, time it, check it.

The harmonics are evaluated from angles on a built-in grid, or with --xyz from
Cartesian vectors at random directions (either can come from a .npy file instead),
timed, and checked for orthonormality by a quadrature that is exact for them.
With --steinhardt it computes Steinhardt's order parameters of particles instead.
"""

import argparse
import math
import os
import signal
import stat
import sys
import tempfile
import time

import numpy as np

from kelo import (
    MAX_LMAX, pointwise_sph, pointwise_sph_grads, sph, sph_grads, sph_xyz, sph_xyz_grads)
from kelo._arguments import MAX_THREADS, harmonics_per_point, result_dtype

DEFAULT_LMAX = 16
DEFAULT_POINTS = 100_000
# The first call also pays for the operating system's first pages of a large
# result; the best of a few calls times the evaluation.
DEFAULT_REPEAT = 3
# The quadrature check costs about lmax^6; beyond this degree only the lower
# degrees are checked.
CHECKED_LMAX = 40
# Every run of --xyz without --input evaluates the same vectors.
VECTOR_SEED = 20261209
DEFAULT_LS = [4, 6]


class UsageError(Exception):
    """Bad input from the user, reported in one line with exit status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def parse_arguments(argv):
    parser = Parser(prog="python -m kelo", description=__doc__.splitlines()[0])
    parser.add_argument("--lmax", type=int, default=DEFAULT_LMAX,
                        help=f"highest degree, inclusive (default {DEFAULT_LMAX})")
    parser.add_argument("--points", type=int, default=DEFAULT_POINTS,
                        help=f"about this many points on the built-in grid, or as many random "
                             f"vectors with --xyz (default {DEFAULT_POINTS})")
    parser.add_argument("--float32", action="store_true", help="evaluate in single precision")
    parser.add_argument("--no-negative-m", dest="negative_m", action="store_false",
                        help="leave out the orders m < 0")
    parser.add_argument("--grads", action="store_true",
                        help="evaluate the gradients (d/dphi, d/dtheta; with --xyz d/dx, d/dy, "
                             "d/dz) instead")
    parser.add_argument("--xyz", action="store_true",
                        help="evaluate from Cartesian vectors with kelo.sph_xyz(_grads), on "
                             "--points random unit vectors")
    parser.add_argument("--real", action="store_true",
                        help="evaluate real harmonics instead of complex ones")
    parser.add_argument("--input", metavar="FILE.npy",
                        help="evaluate at these points instead: an N x 2 array of (phi, theta), "
                             "or with --xyz an N x 3 array of vectors (x, y, z)")
    parser.add_argument("--output", metavar="FILE.npy",
                        help="save the harmonics (with --grads: the gradients) to this file")
    parser.add_argument("--threads", type=int, metavar="T",
                        help="evaluate on T threads (default one), from angles with "
                             "kelo.sph(_grads) instead of pointwise_sph(_grads); the results "
                             "are the same")
    parser.add_argument("--repeat", type=int, default=DEFAULT_REPEAT, metavar="R",
                        help=f"time the best of R calls (default {DEFAULT_REPEAT})")
    order = parser.add_argument_group(
        "Steinhardt order parameters",
        "q_l (and w-hat_l) of every particle of --input, an N x 3 array of positions, from "
        "its neighbours within --cutoff; without --input, of a crystal and a liquid. Of the "
        "other options --threads, --input and --output apply.")
    order.add_argument("--steinhardt", action="store_true",
                       help="compute Steinhardt order parameters (needs SciPy)")
    order.add_argument("--cutoff", type=float, metavar="R",
                       help="neighbours lie within this distance (needed with --input)")
    order.add_argument("--box", type=float, nargs=3, metavar=("LX", "LY", "LZ"),
                       help="the periodic box [0, LX) x [0, LY) x [0, LZ) of --input's positions")
    order.add_argument("--ls", type=int, nargs="+", default=DEFAULT_LS, metavar="L",
                       help="the degrees l (default 4 6)")
    order.add_argument("--wl", action="store_true",
                       help="w-hat_l as well; --output gets the columns q_l, then w-hat_l")
    arguments = parser.parse_args(argv)
    check_options_of_mode(parser, arguments)
    if arguments.threads is not None and not 1 <= arguments.threads <= MAX_THREADS:
        raise UsageError(f"--threads must lie in 1..{MAX_THREADS}, got {arguments.threads}")
    if arguments.steinhardt:
        check_steinhardt_arguments(arguments)
        return arguments
    if not 0 <= arguments.lmax <= MAX_LMAX:
        raise UsageError(f"--lmax must lie in 0..{MAX_LMAX}, got {arguments.lmax}")
    for name in ("points", "repeat"):
        if getattr(arguments, name) < 1:
            raise UsageError(f"--{name} must be positive, got {getattr(arguments, name)}")
    if arguments.real and not arguments.negative_m:
        raise UsageError("--real needs every order: it cannot go with --no-negative-m")
    return arguments


# The options that mean something with --steinhardt, and those that mean something only there.
STEINHARDT_OPTIONS = {"steinhardt", "cutoff", "box", "ls", "wl", "input", "output", "threads"}
STEINHARDT_ONLY = {"cutoff", "box", "ls", "wl"}


def check_options_of_mode(parser, arguments):
    """Refuses options that the chosen mode, harmonics or --steinhardt, would ignore."""
    given = {name for name, value in vars(arguments).items()
             if value != parser.get_default(name)}
    foreign = given - STEINHARDT_OPTIONS if arguments.steinhardt else given & STEINHARDT_ONLY
    if foreign:
        option = "--" + min(foreign).replace("_", "-")
        mode = "goes with the harmonics, not with" if arguments.steinhardt else "needs"
        raise UsageError(f"{option} {mode} --steinhardt")


def check_steinhardt_arguments(arguments):
    """Refuses values that --steinhardt cannot work with, before any work."""
    if arguments.input is not None and arguments.cutoff is None:
        raise UsageError("--steinhardt with --input needs --cutoff")
    if arguments.input is None and arguments.box is not None:
        raise UsageError("--box describes the positions of --input")
    if arguments.cutoff is not None and not arguments.cutoff > 0:
        raise UsageError(f"--cutoff must be positive, got {arguments.cutoff}")
    if arguments.box is not None:
        if not all(0 < side < math.inf for side in arguments.box):
            raise UsageError(f"--box must have positive finite sides, got {arguments.box}")
        # Beyond half the box, a neighbour and its periodic image would both count.
        if not arguments.cutoff < min(arguments.box) / 2:
            raise UsageError(f"--cutoff {arguments.cutoff} must be less than half the box's "
                             f"shortest side, {min(arguments.box)}")
    for l in arguments.ls:
        if not 0 <= l <= MAX_LMAX:
            raise UsageError(f"--ls must lie in 0..{MAX_LMAX}, got {l}")


def quadrature_grid(polar_nodes):
    """Gauss-Legendre nodes in cos(phi) times equispaced theta, with weights.

    It integrates Y_a conj(Y_b) exactly for every degree below polar_nodes.
    """
    x, polar_weights = np.polynomial.legendre.leggauss(polar_nodes)
    azimuths = 2 * polar_nodes
    theta = 2 * np.pi * np.arange(azimuths) / azimuths
    phi = np.repeat(np.arccos(x), azimuths)
    weights = np.repeat(polar_weights, azimuths) * (2 * np.pi / azimuths)
    return phi, np.tile(theta, polar_nodes), weights


def grid_polar_nodes(points):
    """Polar nodes of the built-in grid of about this many points (twice as many azimuths)."""
    return max(1, round(np.sqrt(points / 2)))


def directions(phi, theta):
    """The unit vectors (x, y, z) at polar angles phi and azimuths theta, one per row."""
    return np.column_stack([np.sin(phi) * np.cos(theta), np.sin(phi) * np.sin(theta),
                            np.cos(phi)])


def random_unit_vectors(count):
    """Directions spread uniformly over the sphere: normalised Gaussian vectors."""
    vectors = np.random.default_rng(VECTOR_SEED).standard_normal((count, 3))
    return vectors / np.linalg.norm(vectors, axis=1, keepdims=True)


def check_result_fits(points, arguments):
    """Refuses a result larger than this machine's memory before any work on it."""
    count = harmonics_per_point(arguments.lmax, arguments.negative_m)
    precision = np.dtype(np.float32 if arguments.float32 else np.float64)
    itemsize = result_dtype(precision, arguments.real).itemsize
    components = 3 if arguments.xyz else 2
    size = points * count * itemsize * (components if arguments.grads else 1)
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    if size > memory:
        raise UsageError(f"{points} points up to degree {arguments.lmax} need {size / 2**30:.1f} "
                         f"GiB for the result, more than the {memory / 2**30:.1f} GiB of memory here")


def load_points(path, columns):
    """The N x columns array of real numbers that the file holds."""
    try:
        points = np.load(path, allow_pickle=False)
    except (OSError, ValueError, EOFError) as error:
        raise UsageError(f"cannot read {path}: {error}") from None
    if not isinstance(points, np.ndarray):
        points.close()
        raise UsageError(f"{path} is an .npz archive, not one array")
    if points.ndim != 2 or points.shape[1] != columns:
        raise UsageError(f"{path} holds an array of shape {points.shape}, not N x {columns}")
    if points.dtype.kind not in "iuf":
        raise UsageError(f"{path} holds {points.dtype} data, not real numbers")
    return points


def evaluated_arrays(points, arguments, dtype):
    """The arrays the evaluators take: (xyz,) of N x 3 vectors, (phi, theta) of N x 2 angles."""
    columns = (points,) if arguments.xyz else (points[:, 0], points[:, 1])
    return tuple(np.ascontiguousarray(column, dtype=dtype) for column in columns)


def orthonormality_error(arguments, dtype):
    """Largest deviation of the quadrature Gram matrix from the identity."""
    checked = min(arguments.lmax, CHECKED_LMAX)
    phi, theta, weights = quadrature_grid(checked + 1)
    points = directions(phi, theta) if arguments.xyz else np.column_stack([phi, theta])
    harmonics = evaluate(evaluated_arrays(points, arguments, dtype), checked, False, arguments)
    harmonics = harmonics.astype(np.result_type(harmonics, np.float64))
    gram = harmonics.conj().T @ (weights[:, None] * harmonics)
    return checked, np.abs(gram - np.eye(len(gram))).max()


def current_umask():
    mask = os.umask(0)  # reading the umask means setting it
    os.umask(mask)
    return mask


def save(path, array):
    """Saves the array as np.save does, but a regular file or a new path gets the whole
    array or nothing: a failed or interrupted run leaves no partial file.

    A symlink's target is written. A device is written to directly: replacing it would
    destroy it. A FIFO or a socket is refused, since np.save needs a file position.
    """
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and (stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)):
        raise UsageError(f"cannot write to {path}: it is neither a file nor a device")
    if mode is not None and not stat.S_ISREG(mode):
        with open(path, "wb") as stream:
            np.save(stream, array)
        return
    target = os.path.realpath(path)
    handle, temporary = tempfile.mkstemp(suffix=".npy", dir=os.path.dirname(target))
    try:
        # mkstemp's file is private; the result gets the permissions np.save would give.
        os.fchmod(handle, stat.S_IMODE(mode) if mode is not None else 0o666 & ~current_umask())
        with os.fdopen(handle, "wb") as stream:
            np.save(stream, array)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def evaluate(arrays, lmax, grads, arguments):
    """The harmonics, or with grads the gradients alone, of every point of arrays."""
    if arguments.xyz:
        function = sph_xyz_grads if grads else sph_xyz
        keywords = {"real": arguments.real, "threads": arguments.threads or 1}
    elif arguments.threads is None and not arguments.real:
        function = pointwise_sph_grads if grads else pointwise_sph
        keywords = {}
    else:
        function = sph_grads if grads else sph
        keywords = {"real": arguments.real, "threads": arguments.threads or 1}
    if grads:
        keywords["return_sphs"] = False
    return function(*arrays, lmax, negative_m=arguments.negative_m, **keywords)


def run_steinhardt(arguments):
    """--steinhardt: order parameters of the --input file's particles, or a demonstration."""
    try:
        from kelo import _steinhardt_job
    except ModuleNotFoundError as error:
        if (error.name or "").partition(".")[0] != "scipy":
            raise
        raise UsageError("--steinhardt needs SciPy: pip install 'kelo[steinhardt]'") from None
    positions = None if arguments.input is None else load_points(arguments.input, 3)
    result = _steinhardt_job.run(positions, arguments.input, arguments)
    if arguments.output is not None:
        save(arguments.output, result)
        print(f"\noutput      {arguments.output}: {result.shape} {result.dtype}")


def run(arguments):
    if arguments.steinhardt:
        run_steinhardt(arguments)
        return
    dtype = np.float32 if arguments.float32 else np.float64
    if arguments.input is not None:
        points = load_points(arguments.input, 3 if arguments.xyz else 2)
        check_result_fits(len(points), arguments)
        source = arguments.input
    elif arguments.xyz:
        check_result_fits(arguments.points, arguments)
        points = random_unit_vectors(arguments.points)
        source = "random unit vectors"
    else:
        polar_nodes = grid_polar_nodes(arguments.points)
        check_result_fits(2 * polar_nodes**2, arguments)
        points = np.column_stack(quadrature_grid(polar_nodes)[:2])
        source = "Gauss-Legendre x equispaced grid"
    arrays = evaluated_arrays(points, arguments, dtype)

    elapsed = float("inf")
    for _ in range(arguments.repeat):
        start = time.perf_counter()
        result = evaluate(arrays, arguments.lmax, arguments.grads, arguments)
        elapsed = min(elapsed, time.perf_counter() - start)
    if arguments.output is not None:
        save(arguments.output, result)

    count = harmonics_per_point(arguments.lmax, arguments.negative_m)
    checked, error = orthonormality_error(arguments, dtype)
    rate = len(points) / elapsed if elapsed > 0 else float("inf")
    print(f"points      {len(points)} ({source})")
    coordinates = "Cartesian vectors (x, y, z)" if arguments.xyz else "angles (phi, theta)"
    print(f"input       {coordinates}")
    print(f"lmax        {arguments.lmax}: {count} {'real' if arguments.real else 'complex'} "
          f"harmonics per point{'' if arguments.negative_m else ', m >= 0 only'}")
    gradients = "gradients (d/dx, d/dy, d/dz)" if arguments.xyz else "gradients (d/dphi, d/dtheta)"
    print(f"precision   {np.dtype(dtype).name}, {gradients if arguments.grads else 'values'}")
    threads = "1 thread" if arguments.threads is None else f"{arguments.threads} threads"
    print(f"time        {elapsed * 1e3:.2f} ms (best of {arguments.repeat}, {threads})")
    print(f"throughput  {rate:.4g} points/s, {rate * count:.4g} harmonics/s")
    print(f"orthonormality error  {error:.2e} (degrees up to {checked})")
    if arguments.output is not None:
        print(f"output      {arguments.output}: {result.shape} {result.dtype}")


def stop(signum, frame):
    """Ends the run on SIGTERM as on SIGINT: through an exception, which removes
    a half-written output file on its way out."""
    raise SystemExit(128 + signum)


def main(argv=None):
    signal.signal(signal.SIGTERM, stop)
    try:
        run(parse_arguments(argv))
    except UsageError as error:
        print(f"kelo: error: {error}", file=sys.stderr)
        return 2
    except (ValueError, MemoryError, OSError) as error:
        print(f"kelo: error: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
