#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelo/complex_arithmetic.hpp"
#include "kelo/conventions.hpp"
#include "kelo/point_evaluator.hpp"
#include "kelo/series_layout.hpp"

namespace kelo::detail {

/**
 * What the harmonics of Cartesian vectors need besides the vectors: the
 * coefficients of the recurrence of Q_l^m(z), with the convention folded in.
 * Built once per call, in double and rounded to Real once, and only read
 * afterwards, so the threads of a call share one.
 *
 * With q_l^m = c_l f_m Q_l^m, c_l the degree's and f_m the order's factor of
 * the convention (degreeFactor, orderFactor), the recurrence of Q_l^m in
 * PointSPHEvaluator, rewritten by degree, becomes
 *
 *     q_m^m = c_m f_m p_0^(m) / sqrt(2 pi)
 *     q_l^m = a_l^m z q_(l-1)^m + b_l^m q_(l-2)^m,
 *     a_l^m = sqrt((2l - 1)(2l + 1) / ((l - m)(l + m))) c_l / c_(l-1)
 *     b_l^m = -sqrt((2l + 1)(l - m - 1)(l + m - 1) / ((2l - 3)(l - m)(l + m))) c_l / c_(l-2)
 *
 * (b_(m+1)^m = 0), so the convention costs nothing per harmonic. The
 * gradients need dq_l^m/dz = d_l^m q_l^(m+1), with the ladder factor
 *
 *     d_l^m = sqrt((l + m + 1)(l - m)) f_m / f_(m+1),   d_l^l = 0.
 */
template <typename Real>
class XyzTables {
public:
    /**
     * @param lmax highest degree, inclusive; at most PointSPHEvaluator<Real>::maxLmax
     * @param negative_m whether the orders -1..-l follow 0..l (always, for real output)
     * @param gradients whether the ladder factors are needed
     * @throws std::length_error if lmax is too large, std::bad_alloc if a table
     *         cannot be allocated
     */
    XyzTables(unsigned int lmax, bool negative_m, Convention convention, Output output, bool gradients)
        : m_lmax(PointSPHEvaluator<Real>::checkedLmax(lmax)),
          m_negativeM(negative_m || output == Output::real),
          m_output(output),
          m_coefficientA(triangle(lmax)),
          m_coefficientB(triangle(lmax)),
          m_ladder(gradients ? triangle(lmax) : 0),
          m_constants(lmax + 1),
          m_orders(lmax + 1),
          m_conjugateSigns(lmax + 1) {
        std::vector<double> degreeFactors(lmax + 1);
        for (std::uint32_t l = 0; l <= lmax; ++l) {
            degreeFactors[l] = degreeFactor(convention.normalization, l);
        }
        for (std::uint32_t l = 1; l <= lmax; ++l) {
            const double twoL = 2.0 * l;
            for (std::uint32_t m = 0; m < l; ++m) {
                const double lm = static_cast<double>(l - m) * static_cast<double>(l + m);
                m_coefficientA[triangle(l - 1) + m] = static_cast<Real>(
                    std::sqrt((twoL - 1.0) * (twoL + 1.0) / lm) * (degreeFactors[l] / degreeFactors[l - 1]));
                m_coefficientB[triangle(l - 1) + m] =
                    m + 1 == l ? Real(0)
                               : static_cast<Real>(-std::sqrt((twoL + 1.0) * static_cast<double>(l - m - 1) *
                                                              static_cast<double>(l + m - 1) /
                                                              ((twoL - 3.0) * lm)) *
                                                   (degreeFactors[l] / degreeFactors[l - 2]));
                if (gradients) {
                    m_ladder[triangle(l - 1) + m] = static_cast<Real>(
                        std::sqrt(static_cast<double>(l + m + 1) * static_cast<double>(l - m)) *
                        (orderFactor(convention, m, output) / orderFactor(convention, m + 1, output)));
                }
            }
        }
        double constantJacobi = 1.0 / std::sqrt(2.0);
        for (std::uint32_t m = 0; m <= lmax; ++m) {
            if (m > 0) {
                constantJacobi *= std::sqrt(0.5 / static_cast<double>(m) + 1.0);
            }
            m_constants[m] = static_cast<Real>(columnFactor(convention, m, m, output) * constantJacobi / kSqrt2Pi);
            m_orders[m] = static_cast<Real>(m);
            m_conjugateSigns[m] = static_cast<Real>(orderFactor(convention, -std::int64_t{m}, output) /
                                                    orderFactor(convention, m, output));
        }
    }

    std::uint32_t lmax() const { return m_lmax; }
    bool negativeM() const { return m_negativeM; }

    /** Harmonics per point: (lmax + 1)^2, or (lmax + 1)(lmax + 2)/2 without negative orders. */
    std::size_t count() const { return count(m_lmax, m_negativeM); }
    static constexpr std::size_t count(std::size_t lmax, bool negativeM) { return seriesCount(lmax, negativeM); }

    /** Reals per point of the harmonics. */
    std::size_t valueWidth() const { return valueWidth(m_lmax, m_negativeM, m_output); }
    static constexpr std::size_t valueWidth(std::size_t lmax, bool negativeM, Output output) {
        return output == Output::complex ? 2 * count(lmax, negativeM) : count(lmax, negativeM);
    }

    /** a_l^m, b_l^m and d_l^m for m = 0..l-1 of a degree l >= 1. */
    const Real* coefficientsA(std::size_t l) const { return m_coefficientA.data() + triangle(l - 1); }
    const Real* coefficientsB(std::size_t l) const { return m_coefficientB.data() + triangle(l - 1); }
    const Real* ladder(std::size_t l) const { return m_ladder.data() + triangle(l - 1); }

    /** q_m^m. */
    Real constant(std::size_t m) const { return m_constants[m]; }

    /** m as Real. */
    Real order(std::size_t m) const { return m_orders[m]; }

    /**
     * +-1: the column of -m holds this sign times the conjugate of the column
     * of m (complex output).
     */
    Real conjugateSign(std::size_t m) const { return m_conjugateSigns[m]; }

private:
    std::uint32_t m_lmax;
    bool m_negativeM;
    Output m_output;
    std::vector<Real> m_coefficientA;  // a_l^m at triangle(l - 1) + m
    std::vector<Real> m_coefficientB;  // b_l^m likewise
    std::vector<Real> m_ladder;        // d_l^m likewise
    std::vector<Real> m_constants;
    std::vector<Real> m_orders;
    std::vector<Real> m_conjugateSigns;
};

}  // namespace kelo::detail
