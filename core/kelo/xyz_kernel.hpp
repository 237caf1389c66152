#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "kelo/column_stage.hpp"
#include "kelo/conventions.hpp"
#include "kelo/lanes.hpp"
#include "kelo/xyz_tables.hpp"

namespace kelo::detail {

/** Powers of two that bring any finite vector into the range where its squares neither overflow nor underflow. */
template <typename Real>
struct VectorScaling;

template <>
struct VectorScaling<double> {
    static constexpr double kSmall = 0x1p-256;
    static constexpr double kLarge = 0x1p+256;
    static constexpr double kUp = 0x1p+600;
    static constexpr double kDown = 0x1p-600;
};

template <>
struct VectorScaling<float> {
    static constexpr float kSmall = 0x1p-32f;
    static constexpr float kLarge = 0x1p+32f;
    static constexpr float kUp = 0x1p+90f;
    static constexpr float kDown = 0x1p-90f;
};

/**
 * Writes the harmonics of the directions of a group of up to kLanes vectors
 * at a time, and their gradients, without trigonometric functions:
 *
 *     Y_l^m(r / |r|) = q_l^m(z) w^m,   w = x + i y,   (x, y, z) = r / |r|,
 *
 * with q_l^m the polynomials of XyzTables, convention included. The powers
 * w^m come from repeated complex multiplication; the recurrence runs by
 * degree, keeping the last two degrees, and each degree's outputs are staged
 * and written to each point's row in series order.
 *
 * The gradient of F = q_l^m(z) w^m, extended to R^3, has the parts
 * dF/dx = m q w^(m-1), dF/dy = i m q w^(m-1) and dF/dz = q' w^m, with
 * q' = d_l^m q_l^(m+1). That of Y(r / |r|) is its tangential part over |r|:
 *
 *     grad Y = (grad F - rhat (rhat . grad F)) / |r|,   rhat . grad F = (m q + z q') w^m,
 *
 * so with t = m q + z q':
 *
 *     dY/dx = (m q w^(m-1) - t x w^m) / |r|
 *     dY/dy = (i m q w^(m-1) - t y w^m) / |r|
 *     dY/dz = (q' - z t) w^m / |r|
 *
 * finite on the z-axis (w = 0, w^0 = 1). The factors of q, q' and t are
 * tabled per order for each group. The columns of -m are the conjugates of
 * those of m, times a sign of the convention; real output takes the real
 * parts of the order m for the column m, the imaginary parts for -m.
 *
 * The zero vector and vectors with a non-finite component take their lanes
 * through the arithmetic like any other and are written again afterwards.
 */
template <typename Real, Output output>
class XyzKernel {
    using L = Lanes<Real>;
    using Vector = typename L::Vector;
    using Tables = XyzTables<Real>;
    static constexpr bool kComplex = output == Output::complex;

public:
    static constexpr std::size_t kLanes = L::count;

    /** Per-group workspace for the given tables, which must outlive the kernel. */
    XyzKernel(const Tables& tables, bool gradients)
        : m_tables(tables),
          m_rows{LaneTable<Real>(tables.lmax() + 1), LaneTable<Real>(tables.lmax() + 1),
                 LaneTable<Real>(tables.lmax() + 1)},
          m_powers{LaneTable<Real>(tables.lmax() + 1), LaneTable<Real>(tables.lmax() + 1)},
          m_conjugates{LaneTable<Real>(kComplex ? tables.lmax() + 1 : 0),
                       LaneTable<Real>(kComplex ? tables.lmax() + 1 : 0)},
          m_factors(gradients ? 8 * (tables.lmax() + 1) : 0),
          m_valueStage(degreeWidth(tables.lmax())),
          m_gradientStage(gradients ? 3 * degreeWidth(tables.lmax()) : 0) {}

    /** Reals per point of the harmonics. */
    std::size_t valueWidth() const { return m_tables.valueWidth(); }

    /** Writes the harmonics of the vectors xyz[3p..3p+2], p < n <= kLanes, to out + p valueWidth(). */
    KELO_VECTOR_CLONES void values(const Real* xyz, std::size_t n, Real* out) {
        const Group group = prepareGroup(xyz, n, false);
        m_valueStage.begin(rowsOf(out, valueWidth(), n));
        for (std::size_t l = 0; l <= m_tables.lmax(); ++l) {
            stageValues(l, stepRecurrence(l, group.z));
        }
        m_valueStage.finish();
        for (std::size_t p = 0; p < n; ++p) {
            if (group.special[p]) {
                rewriteValues(group.zero[p], out + p * valueWidth());
            }
        }
    }

    /**
     * Writes the 3 valueWidth() gradients of the vectors xyz[3p..3p+2],
     * p < n <= kLanes, to gradients + 3 p valueWidth(), and their harmonics
     * to harmonics + p valueWidth() unless that is null.
     */
    KELO_VECTOR_CLONES void gradients(const Real* xyz, std::size_t n, Real* gradients, Real* harmonics) {
        const Group group = prepareGroup(xyz, n, true);
        const std::size_t gradientWidth = 3 * valueWidth();
        m_gradientStage.begin(rowsOf(gradients, gradientWidth, n));
        if (harmonics != nullptr) {
            m_valueStage.begin(rowsOf(harmonics, valueWidth(), n));
        }
        for (std::size_t l = 0; l <= m_tables.lmax(); ++l) {
            const LaneTable<Real>& q = stepRecurrence(l, group.z);
            stageGradients(l, q, group.z);
            if (harmonics != nullptr) {
                stageValues(l, q);
            }
        }
        m_gradientStage.finish();
        if (harmonics != nullptr) {
            m_valueStage.finish();
        }
        for (std::size_t p = 0; p < n; ++p) {
            if (group.special[p]) {
                const Real fill = group.zero[p] ? Real(0) : std::numeric_limits<Real>::quiet_NaN();
                std::fill_n(gradients + p * gradientWidth, gradientWidth, fill);
                if (harmonics != nullptr) {
                    rewriteValues(group.zero[p], harmonics + p * valueWidth());
                }
            }
        }
    }

private:
    /** The factors of q, q' and t in the gradients of order m, as complex pairs. */
    enum Factor { kPowerBelow, kAlongX, kAlongY, kAlongZ };

    struct Group {
        Vector z;
        std::array<bool, kLanes> special;  // the zero vector, or a non-finite component
        std::array<bool, kLanes> zero;
    };

    /** Reals of degree l per point, in the harmonics. */
    std::size_t degreeWidth(std::size_t l) const {
        const std::size_t orders = m_tables.negativeM() ? 2 * l + 1 : l + 1;
        return kComplex ? 2 * orders : orders;
    }

    /** Where each lane's row starts; lanes past the last point repeat it. */
    static std::array<Real*, kLanes> rowsOf(Real* out, std::size_t width, std::size_t n) {
        std::array<Real*, kLanes> rows;
        for (std::size_t j = 0; j < kLanes; ++j) {
            rows[j] = out + std::min(j, n - 1) * width;
        }
        return rows;
    }

    /**
     * Normalises the group's vectors and tables the powers w^m, and for
     * gradients the factors of q, q' and t. Scaling by a power of two first
     * is exact and keeps the squares of any finite vector in range.
     */
    KELO_LANE_INLINE Group prepareGroup(const Real* xyz, std::size_t n, bool gradients) {
        using Scaling = VectorScaling<Real>;
        Group group{};
        Real perLane[5][kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            const Real* r = xyz + 3 * std::min(j, n - 1);
            const Real largest = std::max({std::abs(r[0]), std::abs(r[1]), std::abs(r[2])});
            const Real scale = largest < Scaling::kSmall   ? Scaling::kUp
                               : largest > Scaling::kLarge ? Scaling::kDown
                                                           : Real(1);
            const Real x = r[0] * scale;
            const Real y = r[1] * scale;
            const Real z = r[2] * scale;
            const Real inverseLength = Real(1) / std::sqrt(x * x + y * y + z * z);
            perLane[0][j] = x * inverseLength;
            perLane[1][j] = y * inverseLength;
            perLane[2][j] = z * inverseLength;
            perLane[3][j] = inverseLength * scale;
            group.zero[j] = r[0] == Real(0) && r[1] == Real(0) && r[2] == Real(0);
            group.special[j] = group.zero[j] || !std::isfinite(r[0]) || !std::isfinite(r[1]) ||
                               !std::isfinite(r[2]);
        }
        const Vector x = L::load(perLane[0]);
        const Vector y = L::load(perLane[1]);
        group.z = L::load(perLane[2]);

        const std::size_t lmax = m_tables.lmax();
        Vector re = L::broadcast(Real(1));
        Vector im = L::broadcast(Real(0));
        for (std::size_t m = 0; m <= lmax; ++m) {
            if (m == 1) {
                re = x;
                im = y;
            } else if (m > 1) {
                const Vector previousRe = re;
                re = previousRe * x - im * y;
                im = previousRe * y + im * x;
            }
            m_powers[0].set(m, re);
            m_powers[1].set(m, im);
            if constexpr (kComplex) {
                const Real sign = m_tables.conjugateSign(m);
                m_conjugates[0].set(m, sign * re);
                m_conjugates[1].set(m, -sign * im);
            }
        }
        if (gradients) {
            const Vector inverseLength = L::load(perLane[3]);
            const Vector xOverLength = x * inverseLength;
            const Vector yOverLength = y * inverseLength;
            for (std::size_t m = 0; m <= lmax; ++m) {
                const Vector powerRe = m_powers[0][m];
                const Vector powerIm = m_powers[1][m];
                const Vector belowRe = m == 0 ? Vector{} : m_powers[0][m - 1] * inverseLength;
                const Vector belowIm = m == 0 ? Vector{} : m_powers[1][m - 1] * inverseLength;
                setFactor(m, kPowerBelow, belowRe, belowIm);
                setFactor(m, kAlongX, xOverLength * powerRe, xOverLength * powerIm);
                setFactor(m, kAlongY, yOverLength * powerRe, yOverLength * powerIm);
                setFactor(m, kAlongZ, inverseLength * powerRe, inverseLength * powerIm);
            }
        }
        return group;
    }

    KELO_LANE_INLINE void setFactor(std::size_t m, Factor factor, Vector re, Vector im) {
        m_factors.set(8 * m + 2 * factor, re);
        m_factors.set(8 * m + 2 * factor + 1, im);
    }
    KELO_LANE_INLINE Vector factorRe(std::size_t m, Factor factor) const { return m_factors[8 * m + 2 * factor]; }
    KELO_LANE_INLINE Vector factorIm(std::size_t m, Factor factor) const {
        return m_factors[8 * m + 2 * factor + 1];
    }

    /**
     * Steps the recurrence to degree l and returns its row, which holds
     * q_l^m(z) for m = 0..l. Degrees are stepped in order from 0.
     */
    KELO_LANE_INLINE const LaneTable<Real>& stepRecurrence(std::size_t l, Vector z) {
        LaneTable<Real>& current = m_rows[l % 3];
        const LaneTable<Real>& previous = m_rows[(l + 2) % 3];
        const LaneTable<Real>& beforePrevious = m_rows[(l + 1) % 3];
        if (l >= 1) {
            const Real* a = m_tables.coefficientsA(l);
            const Real* b = m_tables.coefficientsB(l);
            for (std::size_t m = 0; m + 1 < l; ++m) {
                current.set(m, (z * a[m]) * previous[m] + b[m] * beforePrevious[m]);
            }
            current.set(l - 1, (z * a[l - 1]) * previous[l - 1]);
        }
        current.set(l, L::broadcast(m_tables.constant(l)));
        return current;
    }

    /** Stages the harmonics of degree l from its row q. */
    KELO_LANE_INLINE void stageValues(std::size_t l, const LaneTable<Real>& q) {
        Real* columns = m_valueStage.append(degreeWidth(l));
        const auto put = [columns](std::size_t column, Vector value) {
            L::store(columns + column * kLanes, value);
        };
        if constexpr (kComplex) {
            put(0, q[0]);
            put(1, Vector{});
            for (std::size_t m = 1; m <= l; ++m) {
                put(2 * m, q[m] * m_powers[0][m]);
                put(2 * m + 1, q[m] * m_powers[1][m]);
            }
            for (std::size_t m = 1; m_tables.negativeM() && m <= l; ++m) {
                put(2 * (l + m), q[m] * m_conjugates[0][m]);
                put(2 * (l + m) + 1, q[m] * m_conjugates[1][m]);
            }
        } else {
            put(0, q[0]);
            for (std::size_t m = 1; m <= l; ++m) {
                put(m, q[m] * m_powers[0][m]);
                put(l + m, q[m] * m_powers[1][m]);
            }
        }
        m_valueStage.flushBlocks();
    }

    /** Stages the gradients of degree l from its row q. */
    KELO_LANE_INLINE void stageGradients(std::size_t l, const LaneTable<Real>& q, Vector z) {
        Real* columns = m_gradientStage.append(3 * degreeWidth(l));
        const auto put = [columns](std::size_t column, Vector value) {
            L::store(columns + column * kLanes, value);
        };
        const Real* ladder = l == 0 ? nullptr : m_tables.ladder(l);
        for (std::size_t m = 0; m <= l; ++m) {
            const Vector qValue = q[m];
            const Vector qDerivative = m < l ? ladder[m] * q[m + 1] : Vector{};
            const Vector mq = m_tables.order(m) * qValue;
            const Vector t = mq + z * qDerivative;
            const Vector c = qDerivative - z * t;
            const Vector mqBelowRe = mq * factorRe(m, kPowerBelow);
            const Vector mqBelowIm = mq * factorIm(m, kPowerBelow);
            const Vector g[6] = {
                mqBelowRe - t * factorRe(m, kAlongX), mqBelowIm - t * factorIm(m, kAlongX),
                -mqBelowIm - t * factorRe(m, kAlongY), mqBelowRe - t * factorIm(m, kAlongY),
                c * factorRe(m, kAlongZ),             c * factorIm(m, kAlongZ),
            };
            if constexpr (kComplex) {
                for (std::size_t k = 0; k < 6; ++k) {
                    put(6 * m + k, g[k]);
                }
                if (m > 0 && m_tables.negativeM()) {
                    const Real sign = m_tables.conjugateSign(m);
                    for (std::size_t k = 0; k < 6; k += 2) {
                        put(6 * (l + m) + k, sign * g[k]);
                        put(6 * (l + m) + k + 1, -sign * g[k + 1]);
                    }
                }
            } else {
                for (std::size_t k = 0; k < 3; ++k) {
                    put(3 * m + k, g[2 * k]);
                }
                if (m > 0) {
                    for (std::size_t k = 0; k < 3; ++k) {
                        put(3 * (l + m) + k, g[2 * k + 1]);
                    }
                }
            }
        }
        m_gradientStage.flushBlocks();
    }

    /** The harmonics of the zero vector (Y_0^0, then zeros) or of a non-finite one (NaN). */
    void rewriteValues(bool zero, Real* row) const {
        if (!zero) {
            std::fill_n(row, valueWidth(), std::numeric_limits<Real>::quiet_NaN());
            return;
        }
        std::fill_n(row, valueWidth(), Real(0));
        row[0] = m_tables.constant(0);
    }

    const Tables& m_tables;
    std::array<LaneTable<Real>, 3> m_rows;  // q of the last three degrees
    std::array<LaneTable<Real>, 2> m_powers;      // w^m, real and imaginary parts
    std::array<LaneTable<Real>, 2> m_conjugates;  // the sign times conj(w^m), complex output
    LaneTable<Real> m_factors;                    // 8 per order: the Factor pairs
    ColumnStage<Real> m_valueStage;
    ColumnStage<Real> m_gradientStage;
};

}  // namespace kelo::detail
