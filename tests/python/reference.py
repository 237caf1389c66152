"""A slow, scalar Python model of the exact IEEE operations of kelo's core.

kelo promises results that are reproducible bit for bit, so its tests need more
than a tolerance: this module redoes every rounding step of the C++ core, one
scalar at a time, so that the outputs can be compared bit for bit.

How each step keeps its precision:

- Arithmetic in the working precision ("Real") is done on NumPy scalars of
  that type only (np.float32 or np.float64). Every operand is converted to
  Real first: a float32 scalar combined with a Python float would be promoted
  and rounded once, in double, instead of once per operation.
- Steps that the core does in double (the recurrence coefficients, the first
  Jacobi column, the division by sqrt(2 pi)) use Python floats and math.sqrt,
  both IEEE double with correct rounding, and are rounded to Real once.
- sin and cos come from the platform's C mathematics library through ctypes:
  sinf/cosf for float32 and sin/cos for float64, the functions the compiled
  core calls. NumPy ships its own vectorised implementations, which may differ
  from them in the last bit.

Nothing here is vectorised or clever; it is meant to be read side by side with
the core and trusted for that reason.
"""

import ctypes
import ctypes.util
import math

import numpy as np

__all__ = ["SQRT_2PI", "coefficients", "evaluate", "series_order"]

#: sqrt(2 pi) as the double the core divides by.
SQRT_2PI = 2.5066282746310002

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _libm_function(name, ctype):
    function = getattr(_libm, name)
    function.argtypes = [ctype]
    function.restype = ctype
    return function


_sinf = _libm_function("sinf", ctypes.c_float)
_cosf = _libm_function("cosf", ctypes.c_float)
_sin = _libm_function("sin", ctypes.c_double)
_cos = _libm_function("cos", ctypes.c_double)


class _Precision:
    """The working precision: its scalar type and its libm sine and cosine."""

    def __init__(self, real, sin, cos):
        self.real = real
        self._sin = sin
        self._cos = cos

    def sin(self, x):
        # A float32 argument converts to a C float exactly, and the C float
        # result converts to a Python float and back exactly.
        return self.real(self._sin(float(x)))

    def cos(self, x):
        return self.real(self._cos(float(x)))


_PRECISIONS = {
    np.dtype(np.float32): _Precision(np.float32, _sinf, _cosf),
    np.dtype(np.float64): _Precision(np.float64, _sin, _cos),
}


def series_order(lmax, negative_m):
    """The (l, m) of every series position: per degree m = 0..l, then -1..-l."""
    order = []
    for l in range(lmax + 1):
        order.extend((l, m) for m in range(l + 1))
        if negative_m:
            order.extend((l, -m) for m in range(1, l + 1))
    return order


def coefficients(lmax, real):
    """The recurrence coefficients A[m][k] and B[m][k], k < lmax, as Real.

    Each is evaluated in double in one fixed order and rounded to Real once.
    """
    a = [[None] * lmax for _ in range(lmax + 1)]
    b = [[None] * lmax for _ in range(lmax + 1)]
    for m in range(lmax + 1):
        m_half = float(m) + (-0.5)
        for k in range(lmax):
            t = math.sqrt(m_half / float(k + 1) + 1.0)
            t = t + t
            u = math.sqrt(1.0 - m_half / float(2 * m + k + 1))
            a[m][k] = real(u * t)
    for m in range(lmax + 1):
        if lmax > 0:
            b[m][0] = real(0.0)  # the recurrence never reads it
        for k in range(1, lmax):
            s = -math.sqrt(4.0 / float(2 * m + 2 * k - 1) + 1.0)
            t = math.sqrt(1.0 - 1.0 / float(k + 1)) * s
            b[m][k] = real(math.sqrt(1.0 - 1.0 / float(2 * m + k + 1)) * t)
    return a, b


def _unit_phase(x, precision):
    """exp(i x); a zero x skips the trigonometry and keeps its sign as the sine."""
    real = precision.real
    if x == real(0):
        return (real(1), x)
    return (precision.cos(x), precision.sin(x))


def _conj(z):
    return (z[0], -z[1])


def _zero_if_nan(value, real):
    return np.copysign(real(0), value) if np.isnan(value) else value


def _box_infinity(value, real):
    return np.copysign(real(1) if np.isinf(value) else real(0), value)


def cmul(z, w, real):
    """The full complex product, with the infinity recovery of IEC 60559.

    All four real products are kept, even where a factor is a known zero: they
    decide the sign of zero parts, and 0 times infinity gives NaN. Only when
    both parts come out NaN is the product recomputed with infinities boxed to
    +-1, so that an infinite factor times a non-zero one stays infinite.
    """
    a, b = z
    c, d = w
    x = a * c - b * d
    y = a * d + b * c
    if not (np.isnan(x) and np.isnan(y)):
        return (x, y)
    recompute = False
    if np.isinf(a) or np.isinf(b):
        a, b = _box_infinity(a, real), _box_infinity(b, real)
        c, d = _zero_if_nan(c, real), _zero_if_nan(d, real)
        recompute = True
    if np.isinf(c) or np.isinf(d):
        c, d = _box_infinity(c, real), _box_infinity(d, real)
        a, b = _zero_if_nan(a, real), _zero_if_nan(b, real)
        recompute = True
    if not recompute and any(np.isinf(p) for p in (a * c, b * d, a * d, b * c)):
        a, b = _zero_if_nan(a, real), _zero_if_nan(b, real)
        c, d = _zero_if_nan(c, real), _zero_if_nan(d, real)
        recompute = True
    if recompute:
        inf = real(np.inf)
        x = inf * (a * c - b * d)
        y = inf * (a * d + b * c)
    return (x, y)


def _scale(legendre, real):
    """A Legendre entry over sqrt(2 pi): divided in double, rounded to Real once."""
    return real(float(legendre) / SQRT_2PI)


class _PointTables:
    """The per-point tables of one (phi, theta), built as the core builds them."""

    def __init__(self, phi, theta, lmax, precision, a, b):
        real = precision.real
        self.real = real
        sn = precision.sin(phi)
        self.sin_powers = [real(1)]
        for _ in range(lmax):
            self.sin_powers.append(self.sin_powers[-1] * sn)
        self.theta_harmonics = [_unit_phase(real(m) * theta, precision) for m in range(lmax + 1)]
        cs = precision.cos(phi)
        self.jacobi = self._jacobi(cs, lmax, a, b)
        self.legendre = {
            (l, m): self.sin_powers[m] * self.jacobi[m][l - m]
            for l in range(lmax + 1)
            for m in range(l + 1)
        }
        self.cos_phi = cs
        self.sin_phi = sn
        neg_theta = -theta
        if neg_theta == real(0):
            self.exp_neg_theta = (real(1), neg_theta)
        else:
            # The cosine is taken of theta itself (cos is even), the sine of -theta.
            self.exp_neg_theta = (precision.cos(theta), precision.sin(neg_theta))

    def _jacobi(self, x, lmax, a, b):
        real = self.real
        rows = []
        previous_first = None
        for m in range(lmax + 1):
            # The constant polynomials are chained in double from 1.0 / sqrt(2.0)
            # and each is rounded to Real once; the next link widens the stored
            # Real value, not the double it came from.
            if m == 0:
                first = real(1.0 / math.sqrt(2.0))
            else:
                first = real(math.sqrt(0.5 / float(m) + 1.0) * float(previous_first))
            previous_first = first
            row = [first]
            if lmax > 0:
                row.append((x * a[m][0]) * row[0])
                for k in range(1, lmax):
                    # Two products, each rounded, then the sum: no fused multiply-add.
                    row.append((x * a[m][k]) * row[k] + b[m][k] * row[k - 1])
            rows.append(row)
        return rows

    def harmonic(self, l, abs_m, conjugate):
        """(P_l^|m| / sqrt(2 pi), 0) x exp(i |m| theta), the phase conjugated on request."""
        phase = self.theta_harmonics[abs_m]
        if conjugate:
            phase = _conj(phase)
        return cmul((_scale(self.legendre[(l, abs_m)], self.real), self.real(0)), phase, self.real)

    def value(self, l, m):
        return self.harmonic(l, abs(m), m < 0)

    def grad_phi(self, l, m):
        """dY_l^m/dphi, with the first term continued where m cot(phi) is not finite."""
        real = self.real
        abs_m = abs(m)
        zero = real(0)
        value = self.value(l, m)
        q = real(m) * self.cos_phi / self.sin_phi
        if np.isfinite(q):
            first = cmul((q, zero), value, real)
        elif m == 0:
            first = cmul((zero, zero), value, real)
        else:
            # m cot(phi) Y = m cos(phi) (Y / sin(phi)): take Y over sin(phi) from a
            # Legendre entry with one power of sin(phi) fewer, so the poles and
            # the overflowing tiny angles get the limit instead of 0 or NaN.
            reduced = self.sin_powers[abs_m - 1] * self.jacobi[abs_m][l - abs_m]
            phase = self.theta_harmonics[abs_m]
            if m < 0:
                phase = _conj(phase)
            over_sin = cmul((_scale(reduced, real), zero), phase, real)
            first = cmul(over_sin, (real(m) * self.cos_phi, zero), real)
        if m == l:
            return first
        # Y_l^(m+1) from the tables; for m = -1 it is Y_l^0, its phase unconjugated.
        neighbour = self.value(l, m + 1)
        s = np.sqrt(real(l + m + 1) * real(l - m))
        ladder = cmul(cmul((s, zero), self.exp_neg_theta, real), neighbour, real)
        if m >= 0:
            return (first[0] - ladder[0], first[1] - ladder[1])
        return (first[0] + ladder[0], first[1] + ladder[1])

    def grad_theta(self, m, value):
        """i m Y_l^m as the complex product (0, m) x Y_l^m."""
        return cmul((self.real(0), self.real(m)), value, self.real)


def evaluate(phi, theta, lmax, negative_m=True, lmin=0):
    """Harmonics and gradients of every point, as kelo's core computes them.

    phi and theta are arrays of one floating dtype (float32 or float64) and
    the same shape; the points are taken in row-major order. Returns
    (values, gradients) as real arrays of that dtype, of shapes
    phi.shape + (count, 2) and phi.shape + (count, 2, 2), whose last axis
    holds the (real, imaginary) parts; gradients[..., k, 0, :] is d/dphi and
    gradients[..., k, 1, :] is d/dtheta.

    With lmin > 0 only the series positions of degrees lmin..lmax are
    evaluated and returned (the tables are still built in full), which keeps
    checks of high degrees affordable.
    """
    phi = np.asarray(phi)
    theta = np.asarray(theta)
    assert phi.dtype == theta.dtype and phi.shape == theta.shape
    precision = _PRECISIONS[phi.dtype]
    real = precision.real
    a, b = coefficients(lmax, real)
    order = [(l, m) for l, m in series_order(lmax, negative_m) if l >= lmin]
    values = np.empty(phi.shape + (len(order), 2), dtype=phi.dtype)
    gradients = np.empty(phi.shape + (len(order), 2, 2), dtype=phi.dtype)
    flat_values = values.reshape(-1, len(order), 2)
    flat_gradients = gradients.reshape(-1, len(order), 2, 2)
    # Infinite and NaN angles are part of what is modelled: their arithmetic
    # must run silently, as it does in the core.
    with np.errstate(all="ignore"):
        for point, (p, t) in enumerate(zip(phi.ravel(), theta.ravel())):
            tables = _PointTables(p, t, lmax, precision, a, b)
            for position, (l, m) in enumerate(order):
                value = tables.value(l, m)
                flat_values[point, position] = value
                flat_gradients[point, position, 0] = tables.grad_phi(l, m)
                flat_gradients[point, position, 1] = tables.grad_theta(m, value)
    return values, gradients
