#pragma once

// Every value kelo produces is reproducible bit for bit. Reassociation,
// flushed subnormals or ignored NaNs would silently change results.
#ifdef __FAST_MATH__
#error "kelo must not be compiled with -ffast-math: its results are defined bit for bit"
#endif

#include <cmath>
#include <complex>
#include <limits>
#include <type_traits>

namespace kelo {

/** sqrt(2*pi) as a double; harmonics divide their Legendre factor by it in double. */
constexpr double kSqrt2Pi = 2.5066282746310002;

/**
 * 1/sqrt(2*pi) as a double. A float's Legendre factor is multiplied by it in
 * double instead of divided by kSqrt2Pi: once rounded to float, the two give
 * the same bits for every one of the 2^32 floats, NaNs included (tried
 * exhaustively by tests/core/test_float_scale.cpp), and a multiplication costs
 * far less than a division. Doubles keep the division: for them the two differ.
 */
constexpr double kInverseSqrt2Pi = 1 / kSqrt2Pi;

namespace detail {

/** Replaces a NaN by a zero of the same sign, as the infinity recovery needs. */
template <typename Real>
inline void zeroIfNaN(Real& value) {
    if (std::isnan(value)) {
        value = std::copysign(Real(0), value);
    }
}

/** Maps an infinity to +-1 and anything else to +-0, keeping the sign. */
template <typename Real>
inline Real boxInfinity(Real value) {
    return std::copysign(std::isinf(value) ? Real(1) : Real(0), value);
}

/**
 * Recovers an infinite product whose naive parts both came out NaN, by the
 * rules of IEC 60559-compatible complex multiplication: an infinite factor
 * times a non-zero factor is an infinity, never NaN + NaN i.
 */
template <typename Real>
[[gnu::noinline, gnu::cold]] std::complex<Real> recoverInfiniteProduct(
    Real a, Real b, Real c, Real d, Real x, Real y) {
    bool recompute = false;
    if (std::isinf(a) || std::isinf(b)) {
        a = boxInfinity(a);
        b = boxInfinity(b);
        zeroIfNaN(c);
        zeroIfNaN(d);
        recompute = true;
    }
    if (std::isinf(c) || std::isinf(d)) {
        c = boxInfinity(c);
        d = boxInfinity(d);
        zeroIfNaN(a);
        zeroIfNaN(b);
        recompute = true;
    }
    if (!recompute && (std::isinf(a * c) || std::isinf(b * d) || std::isinf(a * d) ||
                       std::isinf(b * c))) {
        zeroIfNaN(a);
        zeroIfNaN(b);
        zeroIfNaN(c);
        zeroIfNaN(d);
        recompute = true;
    }
    if (recompute) {
        const Real inf = std::numeric_limits<Real>::infinity();
        x = inf * (a * c - b * d);
        y = inf * (a * d + b * c);
    }
    return {x, y};
}

/** Reals of a complex array, or null: std::complex<Real> is laid out as Real[2]. */
template <typename Real>
Real* realParts(std::complex<Real>* values) {
    return reinterpret_cast<Real*>(values);
}

}  // namespace detail

/**
 * Full complex product (a + bi)(c + di), four products kept even where a
 * factor is zero: the zero products decide the sign of zero results and turn
 * 0 * inf into NaN. It is spelled out instead of using std::complex's operator*
 * because compilers may drop the products of a known-zero imaginary part.
 */
template <typename Real>
inline std::complex<Real> multiply(std::complex<Real> z, std::complex<Real> w) {
    const Real a = z.real();
    const Real b = z.imag();
    const Real c = w.real();
    const Real d = w.imag();
    const Real x = a * c - b * d;
    const Real y = a * d + b * c;
    if (std::isnan(x) && std::isnan(y)) {
        return detail::recoverInfiniteProduct(a, b, c, d, x, y);
    }
    return {x, y};
}

/**
 * exp(i*x). A zero argument gives (1, x) without calling the trigonometric
 * functions, so the sine part is a zero carrying the sign of x.
 */
template <typename Real>
inline std::complex<Real> unitPhase(Real x) {
    if (x == Real(0)) {
        return {Real(1), x};
    }
    return {std::cos(x), std::sin(x)};
}

/**
 * A Legendre entry divided by sqrt(2*pi), in double and rounded once to Real;
 * a float is multiplied by kInverseSqrt2Pi instead, to the same bits.
 */
template <typename Real>
inline Real scaleBySqrt2Pi(Real legendre) {
    if constexpr (std::is_same_v<Real, float>) {
        return static_cast<float>(static_cast<double>(legendre) * kInverseSqrt2Pi);
    } else {
        return static_cast<Real>(static_cast<double>(legendre) / kSqrt2Pi);
    }
}

}  // namespace kelo
