#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "kelo/complex_arithmetic.hpp"
#include "kelo/shared_array.hpp"

namespace kelo {

/**
 * Tables of the complex spherical harmonics of one point, for degrees up to lmax.
 *
 * Y_l^m(phi, theta) = N_l^|m| P_l^|m|(cos phi) exp(i m theta) / sqrt(2 pi), with
 * P_l^m the associated Legendre function without the Condon-Shortley phase and
 * N_l^m the factor that makes N_l^m P_l^m orthonormal on [-1, 1]. The
 * normalised Legendre value is computed as
 *
 *     N_l^m P_l^m(cos phi) = sin(phi)^m p_(l-m)^(m)(cos phi),
 *
 * where p_k^(m) is the degree-k polynomial orthonormal on [-1, 1] for the
 * weight (1 - x^2)^m, with positive leading coefficient. For each order m these
 * polynomials obey the three-term recurrence
 *
 *     p_0^(m)     = (1/sqrt 2) prod_{j=1..m} sqrt(1 + 1/(2j))
 *     p_1^(m)     = x A[m][0] p_0^(m)
 *     p_(k+1)^(m) = x A[m][k] p_k^(m) + B[m][k] p_(k-1)^(m)
 *
 *     A[m][k] = sqrt((2k+2m+1)(2k+2m+3) / ((k+1)(k+2m+1)))
 *     B[m][k] = -sqrt((2k+2m+3) k (k+2m) / ((2k+2m-1)(k+1)(k+2m+1)))
 *
 * which needs no factorials and stays bounded for every degree. A and B depend
 * on lmax only and are computed once, in double; everything per point is
 * computed in Real with a fixed evaluation order, so results are reproducible
 * bit for bit.
 *
 * The evaluator allocates all its tables on construction; compute() then
 * overwrites them for each point without allocating.
 */
template <typename Real>
class PointSPHEvaluator {
public:
    class iterator;

    /**
     * The largest degree whose tables are addressed by 32-bit indices: the
     * coefficient table holds 2 lmax (lmax + 1) entries.
     */
    static constexpr unsigned int maxLmax = 46340;

    /**
     * Builds the tables for degrees 0..lmax and fills the recurrence coefficients.
     *
     * @param lmax highest degree, inclusive; at most maxLmax
     * @throws std::length_error if lmax exceeds maxLmax, before allocating anything
     * @throws std::bad_alloc if a table cannot be allocated; nothing is leaked
     */
    explicit PointSPHEvaluator(unsigned int lmax)
        : m_lmax(checkedLmax(lmax)),
          m_sinPowers(lmax + 1),
          m_thetaHarmonics(lmax + 1),
          m_prefactors((2 * lmax + 2) * lmax),
          m_jacobi((lmax + 1) * (lmax + 1)),
          m_legendre(((lmax + 2) * (lmax + 1)) >> 1),
          m_expNegTheta(Real(0), Real(0)) {
        evaluatePrefactors();
    }

    PointSPHEvaluator(const PointSPHEvaluator&) = delete;
    PointSPHEvaluator& operator=(const PointSPHEvaluator&) = delete;

    /**
     * Evaluates every per-point table for one point.
     *
     * @param phi polar angle, nominally in [0, pi]; not checked
     * @param theta azimuthal angle, nominally in [0, 2 pi]; not checked
     */
    void compute(Real phi, Real theta) {
        const std::uint32_t lmax = m_lmax;
        const Real sn = std::sin(phi);
        Real* sinPowers = m_sinPowers.data();
        sinPowers[0] = Real(1);
        for (std::uint32_t k = 1; k <= lmax; ++k) {
            sinPowers[k] = sinPowers[k - 1] * sn;
        }
        std::complex<Real>* thetaHarmonics = m_thetaHarmonics.data();
        for (std::uint32_t m = 0; m <= lmax; ++m) {
            thetaHarmonics[m] = unitPhase(static_cast<Real>(m) * theta);
        }
        const Real cs = std::cos(phi);
        compute_jacobis(cs);

        const std::uint32_t rowLength = lmax + 1;
        const Real* jacobi = m_jacobi.data();
        Real* legendre = m_legendre.data();
        for (std::uint32_t l = 0; l <= lmax; ++l) {
            Real* degree = legendre + l * (l + 1) / 2;
            for (std::uint32_t m = 0; m <= l; ++m) {
                degree[m] = sinPowers[m] * jacobi[m * rowLength + (l - m)];
            }
        }
        m_cosPhi = cs;
        m_sinPhi = sn;

        // cos is even: the cosine of theta itself stands for that of -theta.
        const Real negTheta = -theta;
        m_expNegTheta = negTheta == Real(0)
                            ? std::complex<Real>(Real(1), negTheta)
                            : std::complex<Real>(std::cos(theta), std::sin(negTheta));
    }

    /** Start of the series at (l, m) = (0, 0); negative_m includes the orders -1..-l. */
    iterator begin(bool negative_m) const { return iterator(this, 0, negative_m); }

    /** One past the last (l, m) of the series. */
    iterator end(bool negative_m) const { return iterator(this, m_lmax + 1, negative_m); }

    unsigned int lmax() const { return m_lmax; }

    /** @name Tables of the last computed point, read-only. */
    ///@{
    Real sinPower(std::uint32_t k) const { return m_sinPowers[k]; }
    std::complex<Real> thetaHarmonic(std::uint32_t m) const { return m_thetaHarmonics[m]; }
    std::complex<Real> expNegTheta() const { return m_expNegTheta; }
    Real jacobi(std::uint32_t m, std::uint32_t k) const { return m_jacobi[m * (m_lmax + 1) + k]; }
    Real legendre(std::uint32_t l, std::uint32_t m) const { return m_legendre[l * (l + 1) / 2 + m]; }
    Real cosPhi() const { return m_cosPhi; }
    Real sinPhi() const { return m_sinPhi; }
    ///@}

    /** @name Recurrence coefficients A[m][k] and B[m][k], k < lmax. */
    ///@{
    Real coefficientA(std::uint32_t m, std::uint32_t k) const { return m_prefactors[m * m_lmax + k]; }
    Real coefficientB(std::uint32_t m, std::uint32_t k) const {
        return m_prefactors[m_lmax * (m_lmax + 1) + m * m_lmax + k];
    }
    ///@}

    /**
     * p_0^(m), the constant polynomial of order m, from p_0^(m-1) (ignored for
     * m = 0). It does not depend on x; the chain runs in double so that the
     * float value carries one rounding per step.
     */
    static Real constantJacobi(std::uint32_t m, Real previous) {
        if (m == 0) {
            // 1/sqrt(2) as 1.0 / sqrt(2.0): one ulp below the correctly rounded value.
            return static_cast<Real>(1.0 / std::sqrt(2.0));
        }
        return static_cast<Real>(std::sqrt(0.5 / static_cast<double>(m) + 1.0) *
                                 static_cast<double>(previous));
    }

    /**
     * A[m][k] and B[m][k], k >= 1, as the tables hold them. Each is evaluated in
     * double in one fixed order and rounded to Real once, so the float tables
     * hold the double values rounded.
     */
    ///@{
    static Real recurrenceA(std::uint32_t m, std::uint32_t k) {
        const double mHalf = static_cast<double>(m) + (-0.5);
        double t = std::sqrt(mHalf / static_cast<double>(k + 1) + 1.0);
        t = t + t;
        const double u = std::sqrt(1.0 - mHalf / static_cast<double>(2 * m + k + 1));
        return static_cast<Real>(u * t);
    }
    static Real recurrenceB(std::uint32_t m, std::uint32_t k) {
        const double s = -std::sqrt(4.0 / static_cast<double>(2 * m + 2 * k - 1) + 1.0);
        const double t = std::sqrt(1.0 - 1.0 / static_cast<double>(k + 1)) * s;
        return static_cast<Real>(std::sqrt(1.0 - 1.0 / static_cast<double>(2 * m + k + 1)) * t);
    }
    ///@}

    /** lmax itself; @throws std::length_error if it exceeds maxLmax */
    static std::uint32_t checkedLmax(unsigned int lmax) {
        if (lmax > maxLmax) {
            throw std::length_error("kelo: lmax is " + std::to_string(lmax) + ", more than " +
                                    std::to_string(maxLmax) +
                                    ", the largest degree whose tables have 32-bit indices");
        }
        return lmax;
    }

private:
    void evaluatePrefactors() {
        const std::uint32_t lmax = m_lmax;
        if (lmax == 0) {
            return;  // no recurrence, no coefficients
        }
        Real* a = m_prefactors.data();
        Real* b = a + lmax * (lmax + 1);
        for (std::uint32_t m = 0; m <= lmax; ++m) {
            for (std::uint32_t k = 0; k < lmax; ++k) {
                a[m * lmax + k] = recurrenceA(m, k);
            }
        }
        for (std::uint32_t m = 0; m <= lmax; ++m) {
            b[m * lmax] = Real(0);  // never read: the recurrence has no second term at k = 0
            for (std::uint32_t k = 1; k < lmax; ++k) {
                b[m * lmax + k] = recurrenceB(m, k);
            }
        }
    }

    /** Fills row m of the Jacobi table with p_k^(m)(x) for k = 0..lmax, for every m. */
    void compute_jacobis(const Real& x) {
        const std::uint32_t lmax = m_lmax;
        const std::uint32_t rowLength = lmax + 1;
        const Real* a = m_prefactors.data();
        const Real* b = a + lmax * (lmax + 1);
        Real* jacobi = m_jacobi.data();
        for (std::uint32_t m = 0; m <= lmax; ++m) {
            Real* row = jacobi + m * rowLength;
            row[0] = constantJacobi(m, m == 0 ? Real(0) : jacobi[(m - 1) * rowLength]);
            if (lmax == 0) {
                return;
            }
            const Real* aRow = a + m * lmax;
            const Real* bRow = b + m * lmax;
            row[1] = (x * aRow[0]) * row[0];
            for (std::uint32_t k = 1; k < lmax; ++k) {
                row[k + 1] = (x * aRow[k]) * row[k] + bRow[k] * row[k - 1];
            }
        }
    }

    std::uint32_t m_lmax;
    SharedArray<Real> m_sinPowers;
    SharedArray<std::complex<Real>> m_thetaHarmonics;
    SharedArray<Real> m_prefactors;
    SharedArray<Real> m_jacobi;
    SharedArray<Real> m_legendre;
    std::complex<Real> m_expNegTheta;
    Real m_cosPhi;
    Real m_sinPhi;
};

}  // namespace kelo

#include "kelo/series_iterator.hpp"
