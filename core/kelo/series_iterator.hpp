#pragma once

#include <cmath>
#include <complex>
#include <cstdint>

#include "kelo/complex_arithmetic.hpp"
#include "kelo/point_evaluator.hpp"

namespace kelo {

/**
 * Walks the series of one point: degrees l = 0..lmax, and within degree l the
 * orders m = 0, 1, .., l followed, when negative orders are included, by
 * m = -1, -2, .., -l. Position p within degree l stands for m = p when p <= l
 * and for m = l - p when p > l.
 *
 * The iterator holds no values: dereferencing reads the evaluator's tables for
 * the point computed last.
 */
template <typename Real>
class PointSPHEvaluator<Real>::iterator {
public:
    iterator(const PointSPHEvaluator* evaluator, std::uint32_t l, bool negative_m)
        : m_evaluator(evaluator), m_l(l), m_mIndex(0), m_fullM(negative_m) {}

    /** Y_l^m at the current position; Y_l^(-m) = conj(Y_l^m), no sign alternation. */
    std::complex<Real> operator*() const {
        const bool negative = m_mIndex > m_l;
        return harmonic(*m_evaluator, m_l, negative ? m_mIndex - m_l : m_mIndex, negative);
    }

    iterator& operator++() {
        const std::uint32_t next = m_mIndex + 1;
        const std::uint32_t positionsInDegree = m_fullM ? 2 * m_l + 1 : m_l + 1;
        m_mIndex = next % positionsInDegree;
        m_l += next / positionsInDegree;
        return *this;
    }

    bool operator==(const iterator& other) const {
        return m_l == other.m_l && m_mIndex == other.m_mIndex;
    }

    bool operator!=(const iterator& other) const { return !(*this == other); }

    /**
     * dY_l^m/dphi at the current position:
     *
     *     0 <= m < l:  m cot(phi) Y_l^m - sqrt((l + m + 1)(l - m)) exp(-i theta) Y_l^(m+1)
     *     m = l:       l cot(phi) Y_l^l
     *     m < 0:       m cot(phi) Y_l^m + sqrt((l + m + 1)(l - m)) exp(-i theta) Y_l^(m+1)
     *
     * Where m cot(phi) is not finite (at the poles, or where sin(phi) is so small
     * that the quotient overflows) the first term is taken as its limit
     * m cos(phi) (Y_l^m / sin(phi)), with one power of sin(phi) cancelled from
     * the Legendre entry; for m = 0 that limit is 0.
     */
    std::complex<Real> grad_phi() const { return grad_phi(**this); }

    /** grad_phi() for a caller that already holds this position's value Y_l^m. */
    std::complex<Real> grad_phi(std::complex<Real> value) const {
        const PointSPHEvaluator& evaluator = *m_evaluator;
        const std::uint32_t l = m_l;
        const bool negative = m_mIndex > l;
        const std::uint32_t absM = negative ? m_mIndex - l : m_mIndex;
        const std::int32_t m = this->m();

        const Real cotangentFactor = static_cast<Real>(m) * evaluator.m_cosPhi / evaluator.m_sinPhi;
        std::complex<Real> first;
        if (std::isfinite(cotangentFactor)) {
            first = multiply(std::complex<Real>(cotangentFactor, Real(0)), value);
        } else if (m == 0) {
            first = multiply(std::complex<Real>(Real(0), Real(0)), value);
        } else {
            const Real reducedLegendre =
                evaluator.m_sinPowers[absM - 1] * evaluator.jacobi(absM, l - absM);
            const std::complex<Real> phase = evaluator.m_thetaHarmonics[absM];
            const std::complex<Real> overSin =
                multiply(std::complex<Real>(scaleBySqrt2Pi(reducedLegendre), Real(0)),
                         negative ? std::conj(phase) : phase);
            first = multiply(overSin,
                             std::complex<Real>(static_cast<Real>(m) * evaluator.m_cosPhi, Real(0)));
        }
        if (m_mIndex == l) {
            return first;
        }

        // Y_l^(m+1), read from the tables; for m = -1 it is Y_l^0, whose phase is not conjugated.
        const std::complex<Real> next =
            negative ? harmonic(evaluator, l, absM - 1, absM > 1) : harmonic(evaluator, l, absM + 1, false);
        const Real ladder = std::sqrt(static_cast<Real>(static_cast<std::int64_t>(l) + m + 1) *
                                      static_cast<Real>(static_cast<std::int64_t>(l) - m));
        const std::complex<Real> second =
            multiply(multiply(std::complex<Real>(ladder, Real(0)), evaluator.m_expNegTheta), next);
        return negative ? first + second : first - second;
    }

    std::uint32_t l() const { return m_l; }

    /** The signed order m of the current position. */
    std::int32_t m() const {
        return m_mIndex > m_l ? static_cast<std::int32_t>(m_l) - static_cast<std::int32_t>(m_mIndex)
                              : static_cast<std::int32_t>(m_mIndex);
    }

private:
    /** (P_l^|m| / sqrt(2 pi)) * exp(i |m| theta), conjugated for negative m. */
    static std::complex<Real> harmonic(const PointSPHEvaluator& evaluator, std::uint32_t l,
                                       std::uint32_t absM, bool conjugate) {
        const Real legendre = scaleBySqrt2Pi(evaluator.m_legendre[l * (l + 1) / 2 + absM]);
        const std::complex<Real> phase = evaluator.m_thetaHarmonics[absM];
        return multiply(std::complex<Real>(legendre, Real(0)),
                        conjugate ? std::conj(phase) : phase);
    }

    const PointSPHEvaluator* m_evaluator;
    std::uint32_t m_l;
    std::uint32_t m_mIndex;
    bool m_fullM;
};

}  // namespace kelo
