#pragma once

#include <complex>
#include <cstdint>

#include "kelo/harmonic_terms.hpp"
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
        return detail::harmonic(*m_evaluator, m_l, negative ? m_mIndex - m_l : m_mIndex, negative);
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
        return detail::phiDerivative(*m_evaluator, m_l, m(), value);
    }

    std::uint32_t l() const { return m_l; }

    /** The signed order m of the current position. */
    std::int32_t m() const {
        return m_mIndex > m_l ? static_cast<std::int32_t>(m_l) - static_cast<std::int32_t>(m_mIndex)
                              : static_cast<std::int32_t>(m_mIndex);
    }

private:
    const PointSPHEvaluator* m_evaluator;
    std::uint32_t m_l;
    std::uint32_t m_mIndex;
    bool m_fullM;
};

}  // namespace kelo
