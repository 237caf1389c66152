#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelo/complex_arithmetic.hpp"
#include "kelo/point_evaluator.hpp"

// The per-degree loops vectorise across orders. Where GCC can pick a clone at
// load time, they are also built for AVX2 and AVX-512 machines. Vector lanes
// perform the same IEEE operations as scalar code and no multiply-add is
// contracted, so every clone writes the same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define KELO_VECTOR_CLONES \
    __attribute__((target_clones("avx2", "default")))
#else
#define KELO_VECTOR_CLONES
#endif

namespace kelo::detail {

/**
 * Writes the series of one point at a time, bit for bit as PointSPHEvaluator
 * and its iterator define it, but degree by degree in loops over orders.
 *
 * Every value is the same IEEE operation on the same operands as there; the
 * work is only arranged differently:
 * - the Jacobi recurrence runs by degree, keeping the last two degrees, with
 *   its coefficients stored by degree, and computes only the entries that
 *   degrees up to lmax use;
 * - what does not depend on the point is computed once: the constant
 *   polynomials p_0^(m) and the ladder factors sqrt((l + m + 1)(l - m));
 * - what depends on the order only is computed once per point: the phases
 *   exp(i m theta), the products of their parts with the zero imaginary part
 *   of a real factor, and m cot(phi);
 * - each Legendre entry is divided by sqrt(2 pi) once for m and -m.
 *
 * The complex products here leave out the recovery of infinite products and
 * the gradients leave out the pole limit. A point that needs either (a
 * product came out NaN in both parts, or m cot(phi) is not finite) is
 * written again through the iterator, which has both.
 */
template <typename Real>
class SeriesKernel {
public:
    /**
     * @param lmax highest degree, inclusive; at most PointSPHEvaluator<Real>::maxLmax
     * @param negative_m whether the orders -1..-l follow 0..l in every degree
     * @param gradients whether gradients() will be called
     * @throws std::length_error if lmax is too large, std::bad_alloc if a table
     *         cannot be allocated
     */
    SeriesKernel(unsigned int lmax, bool negative_m, bool gradients)
        : m_reference(lmax),
          m_lmax(lmax),
          m_negativeM(negative_m),
          m_coefficientA(triangle(lmax)),
          m_coefficientB(triangle(lmax)),
          m_ladder(gradients ? triangle(lmax) : 0),
          m_constants(lmax + 1),
          m_sinPowers(lmax + 1),
          m_cosM(lmax + 1),
          m_sinM(lmax + 1),
          m_negSinM(lmax + 1),
          m_zeroCosM(lmax + 1),
          m_zeroSinM(lmax + 1),
          m_zeroNegSinM(lmax + 1),
          m_rows(3 * (lmax + 1)),
          m_scaled(lmax + 1),
          m_valueRe(gradients ? lmax + 1 : 0),
          m_valueIm(gradients ? lmax + 1 : 0),
          m_conjRe(gradients ? lmax + 1 : 0),
          m_conjIm(gradients ? lmax + 1 : 0),
          m_orders(gradients ? lmax + 1 : 0),
          m_negOrders(gradients ? lmax + 1 : 0),
          m_cotangents(gradients ? lmax + 1 : 0),
          m_negCotangents(gradients ? lmax + 1 : 0) {
        for (std::uint32_t l = 1; l <= lmax; ++l) {
            for (std::uint32_t m = 0; m < l; ++m) {
                m_coefficientA[triangle(l - 1) + m] = m_reference.coefficientA(m, l - m - 1);
                // B multiplies p_(k-1), which exists from k = 1 on.
                m_coefficientB[triangle(l - 1) + m] =
                    m + 1 < l ? m_reference.coefficientB(m, l - m - 1) : Real(0);
            }
        }
        for (std::uint32_t l = 1; gradients && l <= lmax; ++l) {
            for (std::uint32_t m = 0; m < l; ++m) {
                // For the order -(m + 1) the evaluator multiplies the same two factors swapped.
                m_ladder[triangle(l - 1) + m] =
                    std::sqrt(static_cast<Real>(l + m + 1) * static_cast<Real>(l - m));
            }
        }
        for (std::uint32_t m = 0; gradients && m <= lmax; ++m) {
            m_orders[m] = static_cast<Real>(static_cast<std::int32_t>(m));
            m_negOrders[m] = static_cast<Real>(-static_cast<std::int32_t>(m));
        }
        for (std::uint32_t m = 0; m <= lmax; ++m) {
            m_constants[m] = PointSPHEvaluator<Real>::constantJacobi(m, m == 0 ? Real(0) : m_constants[m - 1]);
        }
    }

    /** Values per point: (lmax + 1)^2, or (lmax + 1)(lmax + 2)/2 without negative orders. */
    std::size_t count() const {
        const std::size_t rows = std::size_t{m_lmax} + 1;
        return m_negativeM ? rows * rows : rows * (rows + 1) / 2;
    }

    /** Writes the count() harmonics of the point (phi, theta) to out. */
    KELO_VECTOR_CLONES void values(Real phi, Real theta, std::complex<Real>* out) {
        preparePoint(phi, theta);
        Real* target = reinterpret_cast<Real*>(out);
        int recover = 0;
        for (std::size_t l = 0; l <= m_lmax; ++l) {
            advanceDegree(l);
            recover |= harmonics(l + 1, m_scaled.data(), m_cosM.data(), m_sinM.data(),
                                 m_zeroCosM.data(), m_zeroSinM.data(), target);
            target += 2 * (l + 1);
            if (m_negativeM) {
                recover |= harmonics(l, m_scaled.data() + 1, m_cosM.data() + 1, m_negSinM.data() + 1,
                                     m_zeroCosM.data() + 1, m_zeroNegSinM.data() + 1, target);
                target += 2 * l;
            }
        }
        if (recover != 0) {
            referenceValues(phi, theta, out);
        }
    }

    /**
     * Writes the count() pairs (dY/dphi, dY/dtheta) of the point (phi, theta) to
     * gradients, and its harmonics to harmonics unless that is null.
     */
    KELO_VECTOR_CLONES void gradients(Real phi, Real theta, std::complex<Real>* gradients,
                                      std::complex<Real>* harmonics) {
        preparePoint(phi, theta);
        if (!prepareCotangents()) {
            referenceGradients(phi, theta, gradients, harmonics);
            return;
        }
        // exp(-i theta) as the evaluator forms it; cos is even, so cos(theta) stands for cos(-theta).
        const Real negTheta = -theta;
        Step step;
        step.cos = negTheta == Real(0) ? Real(1) : std::cos(theta);
        step.sin = negTheta == Real(0) ? negTheta : std::sin(negTheta);
        step.zeroCos = Real(0) * step.cos;
        step.zeroSin = Real(0) * step.sin;

        Real* gradientTarget = reinterpret_cast<Real*>(gradients);
        Real* valueTarget = reinterpret_cast<Real*>(harmonics);
        Real* valueRe = m_valueRe.data();
        Real* valueIm = m_valueIm.data();
        Real* conjRe = m_conjRe.data();
        Real* conjIm = m_conjIm.data();
        int recover = 0;
        for (std::size_t l = 0; l <= m_lmax; ++l) {
            advanceDegree(l);
            recover |= harmonicParts(l + 1, m_scaled.data(), m_cosM.data(), m_sinM.data(),
                                     m_zeroCosM.data(), m_zeroSinM.data(), valueRe, valueIm);
            // Y_l^(m+1) of m = -1 is Y_l^0, so the conjugates start with it.
            conjRe[0] = valueRe[0];
            conjIm[0] = valueIm[0];
            if (m_negativeM) {
                recover |= harmonicParts(l, m_scaled.data() + 1, m_cosM.data() + 1, m_negSinM.data() + 1,
                                         m_zeroCosM.data() + 1, m_zeroNegSinM.data() + 1, conjRe + 1,
                                         conjIm + 1);
            }

            const Real* ladder = m_ladder.data() + (l == 0 ? 0 : triangle(l - 1));
            // m = 0..l-1, then m = l, whose ladder term vanishes.
            recover |= ladderGradients<false>(l, m_cotangents.data(), m_orders.data(), ladder, valueRe,
                                              valueIm, valueRe + 1, valueIm + 1, step, gradientTarget);
            recover |= topGradient(m_cotangents[l], m_orders[l], valueRe[l], valueIm[l],
                                   gradientTarget + 4 * l);
            gradientTarget += 4 * (l + 1);
            if (m_negativeM) {
                // m = -1..-l, whose Y_l^(m+1) are the conjugates one order lower.
                recover |= ladderGradients<true>(l, m_negCotangents.data() + 1, m_negOrders.data() + 1,
                                                 ladder, conjRe + 1, conjIm + 1, conjRe, conjIm, step,
                                                 gradientTarget);
                gradientTarget += 4 * l;
            }

            if (valueTarget != nullptr) {
                interleave(l + 1, valueRe, valueIm, valueTarget);
                valueTarget += 2 * (l + 1);
                if (m_negativeM) {
                    interleave(l, conjRe + 1, conjIm + 1, valueTarget);
                    valueTarget += 2 * l;
                }
            }
        }
        if (recover != 0) {
            referenceGradients(phi, theta, gradients, harmonics);
        }
    }

private:
    /** exp(-i theta) times a real ladder factor needs these four numbers. */
    struct Step {
        Real cos;
        Real sin;
        Real zeroCos;  // 0 * cos, the product with the ladder factor's zero imaginary part
        Real zeroSin;
    };

    static std::size_t triangle(std::size_t n) { return n * (n + 1) / 2; }

    static int bothNaN(Real re, Real im) {
        return static_cast<int>(std::isnan(re)) & static_cast<int>(std::isnan(im));
    }

    /**
     * The products (L, 0)(c, s) = (L c - 0 s, L s + 0 c) of count Legendre
     * entries with their phases, interleaved into target; non-zero if one
     * needs the infinity recovery.
     */
    static int harmonics(std::size_t count, const Real* __restrict scaled, const Real* __restrict cosM,
                         const Real* __restrict sinM, const Real* __restrict zeroCosM,
                         const Real* __restrict zeroSinM, Real* __restrict target) {
        int recover = 0;
        for (std::size_t m = 0; m < count; ++m) {
            const Real re = scaled[m] * cosM[m] - zeroSinM[m];
            const Real im = scaled[m] * sinM[m] + zeroCosM[m];
            target[2 * m] = re;
            target[2 * m + 1] = im;
            recover |= bothNaN(re, im);
        }
        return recover;
    }

    /** As harmonics(), into separate real and imaginary parts. */
    static int harmonicParts(std::size_t count, const Real* __restrict scaled, const Real* __restrict cosM,
                             const Real* __restrict sinM, const Real* __restrict zeroCosM,
                             const Real* __restrict zeroSinM, Real* __restrict re, Real* __restrict im) {
        int recover = 0;
        for (std::size_t m = 0; m < count; ++m) {
            re[m] = scaled[m] * cosM[m] - zeroSinM[m];
            im[m] = scaled[m] * sinM[m] + zeroCosM[m];
            recover |= bothNaN(re[m], im[m]);
        }
        return recover;
    }

    static void interleave(std::size_t count, const Real* __restrict re, const Real* __restrict im,
                           Real* __restrict target) {
        for (std::size_t m = 0; m < count; ++m) {
            target[2 * m] = re[m];
            target[2 * m + 1] = im[m];
        }
    }

    /**
     * (d/dphi, d/dtheta) of count consecutive orders whose d/dphi has the
     * ladder term: m cot(phi) Y -+ (ladder, 0)(exp(-i theta)) Y_l^(m+1), with
     * + for negative orders, and (0, m) Y; each a full complex product.
     */
    template <bool Negative>
    static int ladderGradients(std::size_t count, const Real* __restrict cotangents,
                               const Real* __restrict orders, const Real* __restrict ladder,
                               const Real* __restrict re, const Real* __restrict im,
                               const Real* __restrict nextRe, const Real* __restrict nextIm, Step step,
                               Real* __restrict target) {
        int recover = 0;
        for (std::size_t m = 0; m < count; ++m) {
            const Real firstRe = cotangents[m] * re[m] - Real(0) * im[m];
            const Real firstIm = cotangents[m] * im[m] + Real(0) * re[m];
            const Real stepRe = ladder[m] * step.cos - step.zeroSin;
            const Real stepIm = ladder[m] * step.sin + step.zeroCos;
            const Real secondRe = stepRe * nextRe[m] - stepIm * nextIm[m];
            const Real secondIm = stepRe * nextIm[m] + stepIm * nextRe[m];
            const Real phiRe = Negative ? firstRe + secondRe : firstRe - secondRe;
            const Real phiIm = Negative ? firstIm + secondIm : firstIm - secondIm;
            const Real thetaRe = Real(0) * re[m] - orders[m] * im[m];
            const Real thetaIm = Real(0) * im[m] + orders[m] * re[m];
            target[4 * m] = phiRe;
            target[4 * m + 1] = phiIm;
            target[4 * m + 2] = thetaRe;
            target[4 * m + 3] = thetaIm;
            recover |= bothNaN(firstRe, firstIm) | bothNaN(stepRe, stepIm) |
                       bothNaN(secondRe, secondIm) | bothNaN(thetaRe, thetaIm);
        }
        return recover;
    }

    /** (d/dphi, d/dtheta) of m = l: m cot(phi) Y and (0, m) Y. */
    static int topGradient(Real cotangent, Real order, Real re, Real im, Real* target) {
        target[0] = cotangent * re - Real(0) * im;
        target[1] = cotangent * im + Real(0) * re;
        target[2] = Real(0) * re - order * im;
        target[3] = Real(0) * im + order * re;
        return bothNaN(target[0], target[1]) | bothNaN(target[2], target[3]);
    }

    /** The tables of the point that depend on the order only. */
    void preparePoint(Real phi, Real theta) {
        m_sinPhi = std::sin(phi);
        m_cosPhi = std::cos(phi);
        m_sinPowers[0] = Real(1);
        for (std::uint32_t k = 1; k <= m_lmax; ++k) {
            m_sinPowers[k] = m_sinPowers[k - 1] * m_sinPhi;
        }
        for (std::uint32_t m = 0; m <= m_lmax; ++m) {
            const std::complex<Real> phase = unitPhase(static_cast<Real>(m) * theta);
            m_cosM[m] = phase.real();
            m_sinM[m] = phase.imag();
            m_negSinM[m] = -phase.imag();
            m_zeroCosM[m] = Real(0) * m_cosM[m];
            m_zeroSinM[m] = Real(0) * m_sinM[m];
            m_zeroNegSinM[m] = Real(0) * m_negSinM[m];
        }
    }

    /** m cot(phi) for m = -lmax..lmax; false if any is not finite. */
    bool prepareCotangents() {
        bool finite = true;
        for (std::uint32_t m = 0; m <= m_lmax; ++m) {
            m_cotangents[m] = m_orders[m] * m_cosPhi / m_sinPhi;
            m_negCotangents[m] = m_negOrders[m] * m_cosPhi / m_sinPhi;
            finite &= std::isfinite(m_cotangents[m]) & std::isfinite(m_negCotangents[m]);
        }
        return finite;
    }

    /**
     * Steps the Jacobi recurrence to degree l, which holds p_(l-m)^(m)(cos phi)
     * for m = 0..l, and leaves the Legendre entries of degree l divided by
     * sqrt(2 pi) in m_scaled. Degrees are stepped in order from 0.
     */
    void advanceDegree(std::size_t l) {
        const std::size_t rowLength = std::size_t{m_lmax} + 1;
        Real* __restrict current = m_rows.data() + (l % 3) * rowLength;
        const Real* __restrict previous = m_rows.data() + ((l + 2) % 3) * rowLength;
        const Real* __restrict beforePrevious = m_rows.data() + ((l + 1) % 3) * rowLength;
        const Real x = m_cosPhi;
        if (l >= 1) {
            const Real* __restrict a = m_coefficientA.data() + triangle(l - 1);
            const Real* __restrict b = m_coefficientB.data() + triangle(l - 1);
            for (std::size_t m = 0; m + 1 < l; ++m) {
                current[m] = (x * a[m]) * previous[m] + b[m] * beforePrevious[m];
            }
            current[l - 1] = (x * a[l - 1]) * previous[l - 1];
        }
        current[l] = m_constants[l];
        const Real* __restrict sinPowers = m_sinPowers.data();
        Real* __restrict scaled = m_scaled.data();
        for (std::size_t m = 0; m <= l; ++m) {
            scaled[m] = scaleBySqrt2Pi(sinPowers[m] * current[m]);
        }
    }

    void referenceValues(Real phi, Real theta, std::complex<Real>* out) {
        m_reference.compute(phi, theta);
        const auto end = m_reference.end(m_negativeM);
        for (auto it = m_reference.begin(m_negativeM); it != end; ++it) {
            *out++ = *it;
        }
    }

    void referenceGradients(Real phi, Real theta, std::complex<Real>* gradients,
                            std::complex<Real>* harmonics) {
        m_reference.compute(phi, theta);
        const auto end = m_reference.end(m_negativeM);
        for (auto it = m_reference.begin(m_negativeM); it != end; ++it) {
            const std::complex<Real> value = *it;
            if (harmonics != nullptr) {
                *harmonics++ = value;
            }
            *gradients++ = it.grad_phi(value);
            *gradients++ = multiply(std::complex<Real>(Real(0), static_cast<Real>(it.m())), value);
        }
    }

    PointSPHEvaluator<Real> m_reference;
    std::uint32_t m_lmax;
    bool m_negativeM;
    std::vector<Real> m_coefficientA;  // A[m][l - m - 1] at triangle(l - 1) + m
    std::vector<Real> m_coefficientB;  // B[m][l - m - 1] likewise
    std::vector<Real> m_ladder;        // sqrt((l + m + 1)(l - m)) likewise
    std::vector<Real> m_constants;     // p_0^(m)
    std::vector<Real> m_sinPowers;
    std::vector<Real> m_cosM;
    std::vector<Real> m_sinM;
    std::vector<Real> m_negSinM;
    std::vector<Real> m_zeroCosM;
    std::vector<Real> m_zeroSinM;
    std::vector<Real> m_zeroNegSinM;
    std::vector<Real> m_rows;  // the Jacobi values of the last three degrees
    std::vector<Real> m_scaled;
    std::vector<Real> m_valueRe;
    std::vector<Real> m_valueIm;
    std::vector<Real> m_conjRe;
    std::vector<Real> m_conjIm;
    std::vector<Real> m_orders;         // m as Real
    std::vector<Real> m_negOrders;      // -m as Real
    std::vector<Real> m_cotangents;     // m cot(phi)
    std::vector<Real> m_negCotangents;  // -m cot(phi), as (-m) cos(phi) / sin(phi)
    Real m_sinPhi = Real(0);
    Real m_cosPhi = Real(0);
};

}  // namespace kelo::detail
