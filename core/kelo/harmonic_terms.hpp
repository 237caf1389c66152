#pragma once

#include <cmath>
#include <complex>
#include <cstdint>

#include "kelo/complex_arithmetic.hpp"

namespace kelo::detail {

// The terms of one point's series, read from tables that answer as those of
// PointSPHEvaluator do: cosPhi(), sinPhi(), expNegTheta(), thetaHarmonic(m),
// sinPower(k), jacobi(m, k) and legendre(l, m). The iterator defines the
// series with them; the batch kernel writes with them the rare points that
// need the recovery of infinite products or the pole limit.

/** Y_l^absM = (P_l^absM / sqrt(2 pi)) exp(i absM theta), conjugated for the order -absM. */
template <typename Tables>
auto harmonic(const Tables& point, std::uint32_t l, std::uint32_t absM, bool conjugate) {
    using Real = decltype(point.cosPhi());
    const Real legendre = scaleBySqrt2Pi(point.legendre(l, absM));
    const std::complex<Real> phase = point.thetaHarmonic(absM);
    return multiply(std::complex<Real>(legendre, Real(0)), conjugate ? std::conj(phase) : phase);
}

/** dY_l^m/dphi as PointSPHEvaluator::iterator::grad_phi defines it, with value = Y_l^m. */
template <typename Tables, typename Real>
std::complex<Real> phiDerivative(const Tables& point, std::uint32_t l, std::int32_t m,
                                 std::complex<Real> value) {
    const bool negative = m < 0;
    const std::uint32_t absM = static_cast<std::uint32_t>(negative ? -m : m);
    const Real cotangentFactor = static_cast<Real>(m) * point.cosPhi() / point.sinPhi();
    std::complex<Real> first;
    if (std::isfinite(cotangentFactor)) {
        first = multiply(std::complex<Real>(cotangentFactor, Real(0)), value);
    } else if (m == 0) {
        first = multiply(std::complex<Real>(Real(0), Real(0)), value);
    } else {
        const Real reducedLegendre = point.sinPower(absM - 1) * point.jacobi(absM, l - absM);
        const std::complex<Real> phase = point.thetaHarmonic(absM);
        const std::complex<Real> overSin =
            multiply(std::complex<Real>(scaleBySqrt2Pi(reducedLegendre), Real(0)),
                     negative ? std::conj(phase) : phase);
        first = multiply(overSin, std::complex<Real>(static_cast<Real>(m) * point.cosPhi(), Real(0)));
    }
    if (m == static_cast<std::int32_t>(l)) {
        return first;
    }

    // Y_l^(m+1); for m = -1 it is Y_l^0, whose phase is not conjugated.
    const std::complex<Real> next =
        negative ? harmonic(point, l, absM - 1, absM > 1) : harmonic(point, l, absM + 1, false);
    const Real ladder = std::sqrt(static_cast<Real>(static_cast<std::int64_t>(l) + m + 1) *
                                  static_cast<Real>(static_cast<std::int64_t>(l) - m));
    const std::complex<Real> second =
        multiply(multiply(std::complex<Real>(ladder, Real(0)), point.expNegTheta()), next);
    return negative ? first + second : first - second;
}

}  // namespace kelo::detail
