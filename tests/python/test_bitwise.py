"""kelo's harmonics and gradients, bit for bit against a scalar model of the core.

tests/python/reference.py redoes every IEEE operation of the core in Python, so
any change of evaluation order, precision, fused multiply-add, trigonometric
function or edge-case branch shows up here as a changed bit, which the
tolerance-based tests cannot see.
"""

import numpy as np
import pytest

import kelo
from reference import evaluate, series_order

PRECISIONS = {"float32": np.float32, "float64": np.float64}
UINT = {np.dtype(np.float32): np.uint32, np.dtype(np.float64): np.uint64}


def real_parts(array):
    """A complex array as real pairs: shape + (2,), (real, imaginary)."""
    real_dtype = np.dtype(np.float32 if array.dtype == np.complex64 else np.float64)
    return np.ascontiguousarray(array).view(real_dtype).reshape(array.shape + (2,))


def assert_same_bits(actual, expected, order, what):
    """Every real and imaginary part has the bits of the model.

    NaN parts only have to be NaN on both sides. Which NaN an operation
    returns depends on the order of its operands and on the processor: the
    compiler may swap the factors of a product, and x86 then propagates the
    other operand's NaN, or produces its default NaN with the sign bit set.
    Neither payload nor sign of a NaN carries meaning, so they are not part of
    what kelo promises. They do differ in practice: with a NaN or infinite
    theta the imaginary parts of the negative orders (and of gradients built
    from them) are NaNs of the opposite sign in kelo and in the model.
    """
    assert actual.dtype == expected.dtype and actual.shape == expected.shape, what
    uint = UINT[expected.dtype]
    same = (actual.view(uint) == expected.view(uint)) | (np.isnan(actual) & np.isnan(expected))
    if same.all():
        return
    bad = np.argwhere(~same)
    lines = [f"{what}: {len(bad)} parts differ in their bits; first ones:"]
    # Axes: the point (phi.shape), the series position, for gradients the
    # (d/dphi, d/dtheta) axis, and last the (real, imaginary) axis.
    trailing = 3 if what.startswith("grad") else 2
    for index in bad[:8]:
        index = tuple(int(i) for i in index)
        point = index[: len(index) - trailing]
        position = index[len(index) - trailing]
        l, m = order[position]
        part = ("real", "imag")[index[-1]]
        if trailing == 3:
            part = ("d/dphi", "d/dtheta")[index[-2]] + " " + part
        got = actual[index]
        want = expected[index]
        lines.append(
            f"  point {point}, (l, m) = ({l}, {m}), {part}: "
            f"kelo {got!r} ({got.view(uint):#x}), model {want!r} ({want.view(uint):#x})"
        )
    pytest.fail("\n".join(lines))


def check_against_model(phi, theta, lmax, negative_m, lmin=0):
    """Both kelo functions, all their outputs, against the model.

    With lmin > 0 only the degrees lmin..lmax, the tail of every series, are
    compared.
    """
    values, gradients = evaluate(phi, theta, lmax, negative_m, lmin=lmin)
    order = [(l, m) for l, m in series_order(lmax, negative_m) if l >= lmin]
    tail = slice(-len(order), None)

    harmonics = kelo.pointwise_sph(phi, theta, lmax, negative_m=negative_m)
    assert_same_bits(real_parts(harmonics)[..., tail, :], values, order, "pointwise_sph")

    grads, sphs = kelo.pointwise_sph_grads(phi, theta, lmax, negative_m=negative_m)
    assert_same_bits(real_parts(sphs)[..., tail, :], values, order, "harmonics of pointwise_sph_grads")
    assert_same_bits(real_parts(grads)[..., tail, :, :], gradients, order, "gradients")

    # Without the harmonics the core skips writing them but not computing them:
    # the gradients must not change.
    grads_only = kelo.pointwise_sph_grads(phi, theta, lmax, negative_m=negative_m, return_sphs=False)
    assert_same_bits(real_parts(grads_only)[..., tail, :, :], gradients, order, "gradients without harmonics")


@pytest.mark.parametrize("negative_m", [True, False], ids=["negative_m", "positive_m"])
@pytest.mark.parametrize("lmax", [0, 1, 5, 12])
@pytest.mark.parametrize("precision", PRECISIONS)
def test_random_points(precision, lmax, negative_m):
    real = PRECISIONS[precision]
    rng = np.random.default_rng(20240 + lmax)
    # A 2-D batch: the points must be taken in row-major order.
    phi = rng.uniform(0.0, np.pi, size=(6, 5)).astype(real)
    theta = rng.uniform(0.0, 2 * np.pi, size=(6, 5)).astype(real)
    check_against_model(phi, theta, lmax, negative_m)


INF = np.inf
NAN = np.nan

# (phi, theta) pairs where the core takes its edge-case branches: zero phases,
# zero or tiny sin(phi), the continued cotangent term, non-finite angles. A
# dict gives a value per precision. Decimal constants, pi included, are
# rounded to the precision once, as a caller's float32 array holds them; so
# the float32 south pole lies past pi, with sin(phi) about -8.7e-8.
EDGE_POINTS = {
    "north pole": (0.0, 0.0),
    "north pole, theta 0.5": (0.0, 0.5),
    "north pole, theta -0": (0.0, -0.0),
    "north pole, phi -0": (-0.0, 0.3),
    "south pole": (np.pi, 0.0),
    "south pole, theta 1.3": (np.pi, 1.3),
    "theta +0": (1.1, 0.0),
    "theta -0": (1.1, -0.0),
    "negative theta": (0.7, -2.5),
    "theta beyond 2 pi": (0.7, 9.5),
    "negative phi": (-0.8, 1.0),
    "phi beyond pi": (4.0, 2.0),
    "phi beyond 3 pi / 2": (5.9, 0.4),
    "large phi": (1.0e4, 0.6),
    "large theta": (0.9, 1.0e4),
    "large angles": (1.0e4, -1.0e4),
    # Tiny, but m cot(phi) stays finite up to m = 4.
    "phi 1e-20": (1.0e-20, 0.8),
    "phi 1e-30": (1.0e-30, 0.8),
    # cot(phi) is finite, m cot(phi) overflows from m = 4 (float32) or m = 2
    # (float64) on: both branches of the cotangent term in one series.
    "m cot(phi) overflows": ({np.float32: 1.0e-38, np.float64: 1.0e-308}, 0.8),
    # Subnormal: already cot(phi) overflows.
    "phi subnormal": ({np.float32: 1.0e-40, np.float64: 1.0e-310}, 0.8),
    "phi negative subnormal": ({np.float32: -1.0e-40, np.float64: -1.0e-310}, 2.2),
    "phi nan": (NAN, 0.5),
    "phi +inf": (INF, 0.5),
    "phi -inf": (-INF, 0.5),
    "theta nan": (0.5, NAN),
    "theta +inf": (0.5, INF),
    "theta -inf": (0.5, -INF),
    "pole, theta nan": (0.0, NAN),
    "pole, theta inf": (0.0, INF),
    "both nan": (NAN, NAN),
    "both inf": (INF, -INF),
}


def edge_point(name, real):
    phi, theta = EDGE_POINTS[name]
    if isinstance(phi, dict):
        phi = phi[real]
    return np.array([phi], dtype=real), np.array([theta], dtype=real)


@pytest.mark.parametrize("lmax", [0, 4])
@pytest.mark.parametrize("name", EDGE_POINTS)
@pytest.mark.parametrize("precision", PRECISIONS)
def test_edge_points(precision, name, lmax):
    phi, theta = edge_point(name, PRECISIONS[precision])
    check_against_model(phi, theta, lmax, negative_m=True)


@pytest.mark.parametrize("precision", PRECISIONS)
def test_edge_points_in_one_batch(precision):
    # One evaluator serves all points of a call: nothing of a pole, a NaN or a
    # zero phase may leak into the point after it.
    real = PRECISIONS[precision]
    pairs = [edge_point(name, real) for name in EDGE_POINTS]
    phi = np.concatenate([p for p, _ in pairs])
    theta = np.concatenate([t for _, t in pairs])
    # Interleave regular points so that each edge point is followed by one.
    rng = np.random.default_rng(7)
    regular = rng.uniform(0.1, 3.0, size=(2, len(phi))).astype(real)
    phi = np.stack([phi, regular[0]], axis=1).ravel()
    theta = np.stack([theta, regular[1]], axis=1).ravel()
    check_against_model(phi, theta, 3, negative_m=True)
    check_against_model(phi, theta, 3, negative_m=False)


def test_overflowing_degrees():
    # In float32 the orthonormal polynomials overflow near the poles from about
    # degree 205 on; some harmonics get infinite parts, (inf, inf) in general
    # and (inf, NaN) for a zero phase (theta = +-0). Multiplying them by the
    # finite cotangent factor gives 0 times infinity in the cross terms, so
    # NaN + NaN i, and only there does the infinity recovery of the complex
    # product come into play. Only the top degrees are compared, to keep the
    # scalar model fast.
    phi = np.array([0.22, 0.21, 0.22], dtype=np.float32)
    theta = np.array([0.3, 0.0, -0.0], dtype=np.float32)
    lmax = 210
    check_against_model(phi, theta, lmax, negative_m=True, lmin=lmax - 2)
