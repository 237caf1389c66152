#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelo/conventions.hpp"
#include "kelo/point_evaluator.hpp"
#include "kelo/series_layout.hpp"

namespace kelo::detail {

/**
 * How the kernel writes a harmonic Y = (re, im) of kelo's own: as it is, times
 * the real factor f of its column (f re, f im), or as the real f re for
 * m >= 0 and f im (of Y_l^|m|) for m < 0 (see Convention).
 */
enum class Form { complex, scaledComplex, real };

/**
 * What the series of every point shares, for degrees up to lmax: the Jacobi
 * recurrence's coefficients stored by degree, the ladder factors of the
 * gradients, the constant polynomials p_0^(m), the orders as Real and the
 * factors of a convention other than kelo's own: O(lmax^2) entries, built
 * for a call or kept from an earlier one (sharedCoefficients), and then only
 * read, by any number of threads at once.
 */
template <typename Real>
class SeriesCoefficients {
public:
    /**
     * @param lmax highest degree, inclusive; at most PointSPHEvaluator<Real>::maxLmax
     * @param gradients whether the ladder factors are wanted
     * @param convention, output the harmonics wanted; by default kelo's own
     * @throws std::length_error if lmax is too large, before allocating anything;
     *         std::bad_alloc if a table cannot be allocated
     */
    SeriesCoefficients(unsigned int lmax, bool gradients, Convention convention = {},
                       Output output = Output::complex)
        : m_lmax(PointSPHEvaluator<Real>::checkedLmax(lmax)),
          m_gradients(gradients),
          m_form(output == Output::real ? Form::real
                 : isDefault(convention) ? Form::complex
                                         : Form::scaledComplex),
          m_a(triangle(lmax)),
          m_b(triangle(lmax)),
          m_ladder(gradients ? triangle(lmax) : 0),
          m_constants(lmax + 1),
          m_orders(lmax + 1),
          m_factors(m_form == Form::complex ? 0 : (std::size_t{lmax} + 1) * (std::size_t{lmax} + 1)) {
        using Evaluator = PointSPHEvaluator<Real>;
        for (std::uint32_t l = 1; l <= lmax; ++l) {
            for (std::uint32_t m = 0; m < l; ++m) {
                m_a[triangle(l - 1) + m] = Evaluator::recurrenceA(m, l - m - 1);
                // B multiplies p_(k-1), which exists from k = 1 on.
                m_b[triangle(l - 1) + m] = m + 1 < l ? Evaluator::recurrenceB(m, l - m - 1) : Real(0);
                if (gradients) {
                    // For the order -(m + 1) the iterator multiplies the same factors swapped.
                    m_ladder[triangle(l - 1) + m] =
                        std::sqrt(static_cast<Real>(l + m + 1) * static_cast<Real>(l - m));
                }
            }
        }
        for (std::uint32_t m = 0; m <= lmax; ++m) {
            m_constants[m] = Evaluator::constantJacobi(m, m == 0 ? Real(0) : m_constants[m - 1]);
            m_orders[m] = static_cast<Real>(static_cast<std::int32_t>(m));
        }
        for (std::uint32_t l = 0; m_form != Form::complex && l <= lmax; ++l) {
            for (std::int64_t m = -std::int64_t{l}; m <= std::int64_t{l}; ++m) {
                m_factors[fullPosition(l, m)] = static_cast<Real>(columnFactor(convention, l, m, output));
            }
        }
    }

    std::uint32_t lmax() const { return m_lmax; }

    /** Whether ladder() may be read. */
    bool gradients() const { return m_gradients; }

    /** A[m][l - m - 1] for m = 0..l-1: the factors that step degree l - 1 to l >= 1. */
    const Real* a(std::size_t l) const { return m_a.data() + triangle(l - 1); }

    /** B[m][l - m - 1] likewise, with 0 for m = l - 1, which has no second term. */
    const Real* b(std::size_t l) const { return m_b.data() + triangle(l - 1); }

    /** sqrt((l + m + 1)(l - m)) for m = 0..l-1; none for l = 0. */
    const Real* ladder(std::size_t l) const { return m_ladder.data() + (l == 0 ? 0 : triangle(l - 1)); }

    /** p_0^(m). */
    Real constant(std::size_t m) const { return m_constants[m]; }

    /** m as Real. */
    Real order(std::size_t m) const { return m_orders[m]; }

    Form form() const { return m_form; }

    /** The factor of the column of (l, m), m signed, unless the form is complex. */
    Real factor(std::size_t l, std::int64_t m) const { return m_factors[fullPosition(l, m)]; }

private:
    /** Position of (l, m) in a series with negative orders. */
    static std::size_t fullPosition(std::size_t l, std::int64_t m) {
        return l * l + static_cast<std::size_t>(m >= 0 ? m : std::int64_t(l) - m);
    }

    static bool isDefault(Convention convention) {
        return convention.normalization == Normalization::orthonormal && !convention.condon_shortley;
    }

    std::uint32_t m_lmax;
    bool m_gradients;
    Form m_form;
    std::vector<Real> m_a;
    std::vector<Real> m_b;
    std::vector<Real> m_ladder;
    std::vector<Real> m_constants;
    std::vector<Real> m_orders;
    std::vector<Real> m_factors;  // by position in the series with negative orders
};

}  // namespace kelo::detail
