#pragma once

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
