"""python -m kelo --steinhardt: Steinhardt's order parameters of every particle.

Neighbours are the particles within a cutoff, found with SciPy's k-d tree, in a periodic
orthorhombic box or in open space. Without a positions file the job compares a crystal
with a liquid: the order parameter q6 tells them apart.
"""

import numpy as np
from scipy.spatial import cKDTree  # type: ignore[import-untyped]

from kelo._steinhardt import steinhardt

# The demonstration, in units of a Lennard-Jones diameter: an fcc crystal at density 1
# (nearest neighbours at 1.12, the next at 1.59) and a liquid at density 0.85. The cutoff
# lies between the crystal's first two shells and holds some ten neighbours in the liquid.
DEMO_SEED = 20261209
DEMO_CUTOFF = 1.4
CRYSTAL_CELLS = 5
CRYSTAL_DENSITY = 1.0
# Gaussian displacements of 0.06 in each direction: a Lindemann ratio of about 0.1,
# a crystal near its melting point.
THERMAL_NOISE = 0.06
LIQUID_PARTICLES = 500
LIQUID_DENSITY = 0.85
# Spheres of this diameter fill 32% of the liquid's volume, well below the 38% at which
# random sequential addition jams.
LIQUID_DIAMETER = 0.9
LIQUID_BATCH = 256

QUANTILES = (0.1, 0.5, 0.9)
HISTOGRAM_BIN = 0.05
HISTOGRAM_WIDTH = 30
# q6 is the usual measure of crystalline order; without it the last degree asked for.
HISTOGRAM_DEGREE = 6


def bonds(positions, cutoff, box=None):
    """The vectors r_j - r_i from each particle i to every particle j within the cutoff
    (each pair in both directions), and the particle i of each.

    In a periodic box (its side lengths L) the positions must lie in [0, L); the caller
    keeps the cutoff below L / 2, so that the nearest image of a neighbour is its only one.
    """
    positions = np.asarray(positions, dtype=np.float64)
    if not np.isfinite(positions).all():
        raise ValueError("the positions hold NaN or infinite values")
    if box is not None:
        outside = np.flatnonzero(((positions < 0) | (positions >= box)).any(axis=1))
        if outside.size:
            sides = " x ".join(f"[0, {side:g})" for side in box)
            raise ValueError(f"particle {outside[0]} at {positions[outside[0]]} lies outside "
                             f"the periodic box {sides}")
    pairs = cKDTree(positions, boxsize=box).query_pairs(cutoff, output_type="ndarray")
    if not len(pairs):
        raise ValueError(f"no two particles lie within the cutoff {cutoff} of each other")
    first, second = pairs.T
    vectors = positions[second] - positions[first]
    if box is not None:
        vectors -= box * np.round(vectors / box)
    return np.concatenate([vectors, -vectors]), np.concatenate([first, second])


def order_parameters(positions, cutoff, box, ls, wl, threads):
    """q_l (and w-hat_l) of every particle, one column per degree, and its neighbour count."""
    vectors, centres = bonds(positions, cutoff, box)
    orders = steinhardt(vectors, centres, ls, n_groups=len(positions), wl=wl, threads=threads)
    return (np.hstack(orders) if wl else orders), np.bincount(centres, minlength=len(positions))


def fcc_crystal(rng):
    """An fcc crystal with thermal noise, and its periodic box."""
    spacing = (4 / CRYSTAL_DENSITY) ** (1 / 3)
    basis = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
    cells = np.stack(np.meshgrid(*[np.arange(CRYSTAL_CELLS)] * 3, indexing="ij"), -1)
    sites = (cells.reshape(-1, 1, 3) + basis).reshape(-1, 3) * spacing
    side = CRYSTAL_CELLS * spacing
    return (sites + rng.normal(0, THERMAL_NOISE, sites.shape)) % side, np.full(3, side)


def liquid(rng):
    """Hard spheres dropped at random, each kept where it overlaps none kept before it
    (random sequential addition), at liquid density; and the periodic box."""
    side = (LIQUID_PARTICLES / LIQUID_DENSITY) ** (1 / 3)
    placed = np.empty((0, 3))
    while len(placed) < LIQUID_PARTICLES:
        # A batch of candidates, first against the spheres kept before it, then those
        # that pass one by one against the spheres kept from the batch.
        batch_start = len(placed)
        candidates = rng.uniform(0, side, (LIQUID_BATCH, 3))
        nearest, _ = cKDTree(placed, boxsize=side).query(
            candidates, distance_upper_bound=LIQUID_DIAMETER)
        for candidate in candidates[nearest >= LIQUID_DIAMETER]:
            if len(placed) < LIQUID_PARTICLES and clear_of(placed[batch_start:], candidate, side):
                placed = np.vstack([placed, candidate])
    return placed, np.full(3, side)


def clear_of(spheres, point, side):
    """Whether the point lies a diameter or more from every sphere's nearest image."""
    gaps = spheres - point
    gaps -= side * np.round(gaps / side)
    return bool((np.einsum("ij,ij->i", gaps, gaps) >= LIQUID_DIAMETER**2).all())


def run(positions, source, arguments):
    """Computes, reports and returns the order parameters of every particle: of the file's
    positions, or without them (None) of the demonstration's crystal and then its liquid."""
    if positions is not None:
        box = arguments.box
        space = ("open space" if box is None
                 else "periodic box " + " x ".join(f"{side:g}" for side in box))
        systems = [(source, space, positions, box)]
    else:
        rng = np.random.default_rng(DEMO_SEED)
        systems = [
            ("fcc crystal", f"density {CRYSTAL_DENSITY:g}, thermal noise {THERMAL_NOISE:g}",
             *fcc_crystal(rng)),
            ("liquid", f"hard spheres of diameter {LIQUID_DIAMETER:g}, density {LIQUID_DENSITY:g}",
             *liquid(rng))]
    cutoff = arguments.cutoff or DEMO_CUTOFF
    ls, threads = arguments.ls, arguments.threads or 1
    results = [order_parameters(points, cutoff, box, ls, arguments.wl, threads)
               for _, _, points, box in systems]
    names, orders = [system[0] for system in systems], [result[0] for result in results]

    for (name, description, points, _), (_, neighbours) in zip(systems, results):
        alone = np.count_nonzero(neighbours == 0)
        print(f"{name}: {len(points)} particles, {description}; {neighbours.mean():.1f} "
              f"neighbours within {cutoff:g} on average"
              + (f", {alone} without any (NaN)" if alone else ""))
    labels = [f"q{l}" for l in ls] + [f"w{l}" for l in ls if arguments.wl]
    print_quantiles(names, labels, orders)
    shown = ls.index(HISTOGRAM_DEGREE) if HISTOGRAM_DEGREE in ls else len(ls) - 1
    print_histograms(names, labels[shown], [o[:, shown] for o in orders])
    return np.vstack(orders)


def print_quantiles(names, labels, orders):
    """One row per order parameter: its 10%, 50% and 90% quantiles in each system."""
    width = 7 * len(QUANTILES)
    print()
    print(" " * 5 + "".join(f"{name[:width - 2]:>{width}}" for name in names))
    print(" " * 5 + "".join(f"{q:>7.0%}" for q in QUANTILES) * len(names))
    for column, label in enumerate(labels):
        values = np.concatenate([finite_quantiles(o[:, column]) for o in orders])
        print(f"{label:<5}" + "".join(f"{v:7.3f}" for v in values))


def finite_quantiles(values):
    """The quantiles of the values that are numbers; NaN where there are none."""
    finite = values[np.isfinite(values)]
    return np.quantile(finite, QUANTILES) if finite.size else np.full(len(QUANTILES), np.nan)


def print_histograms(names, label, values):
    """Side by side text histograms of one order parameter in each system; a bin with any
    particle shows at least one mark."""
    edges = np.arange(0, 1 + HISTOGRAM_BIN, HISTOGRAM_BIN)
    counts = np.array([np.histogram(v[np.isfinite(v)], edges)[0] for v in values])
    used = np.flatnonzero(counts.any(axis=0))
    if not used.size:
        return
    marks = np.ceil(counts * HISTOGRAM_WIDTH / counts.max()).astype(int)
    column = HISTOGRAM_WIDTH + 2
    print()
    header = "".join(f"{name[:HISTOGRAM_WIDTH]:<{column}}" for name in names)
    print(f"{label:<12}{header}".rstrip())
    for b in range(used.min(), used.max() + 1):
        bars = "".join(f"{'#' * m:<{column}}" for m in marks[:, b])
        print(f"{edges[b]:.2f}-{edges[b + 1]:.2f}   {bars}".rstrip())
