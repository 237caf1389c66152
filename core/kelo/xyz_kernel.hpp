#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "kelo/column_stage.hpp"
#include "kelo/conventions.hpp"
#include "kelo/lanes.hpp"
#include "kelo/xyz_tables.hpp"

namespace kelo::detail {

/**
 * Powers of two that bring any finite vector into the range where its squares
 * neither overflow nor underflow: kUp below kSmall, kDown above kLarge.
 */
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
    using Mask = typename L::Mask;
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
          m_valueColumns(ColumnStage<Real>::bufferSize(degreeWidth(tables.lmax()))),
          m_gradientColumns(gradients ? ColumnStage<Real>::bufferSize(3 * degreeWidth(tables.lmax())) : 0) {}

    /** Reals per point of the harmonics. */
    std::size_t valueWidth() const { return m_tables.valueWidth(); }

    /** Writes the harmonics of the vectors xyz[3p..3p+2], p < n, to out + p valueWidth(). */
    KELO_VECTOR_CLONES void values(const Real* xyz, std::size_t n, Real* out) {
        Direction directions[kAhead];
        for (std::size_t start = 0; start < n; start += kAhead * kLanes) {
            const std::size_t groups = normalizeAhead(xyz, start, n, directions);
            for (std::size_t g = 0; g < groups; ++g) {
                const std::size_t first = start + g * kLanes;
                valuesOfGroup(directions[g], std::min(kLanes, n - first), out + first * valueWidth());
            }
        }
    }

    /**
     * Writes the 3 valueWidth() gradients of the vectors xyz[3p..3p+2], p < n,
     * to gradients + 3 p valueWidth(), and their harmonics to
     * harmonics + p valueWidth() unless that is null.
     */
    KELO_VECTOR_CLONES void gradients(const Real* xyz, std::size_t n, Real* gradients, Real* harmonics) {
        Direction directions[kAhead];
        for (std::size_t start = 0; start < n; start += kAhead * kLanes) {
            const std::size_t groups = normalizeAhead(xyz, start, n, directions);
            for (std::size_t g = 0; g < groups; ++g) {
                const std::size_t first = start + g * kLanes;
                gradientsOfGroup(directions[g], std::min(kLanes, n - first), gradients + 3 * first * valueWidth(),
                                 harmonics == nullptr ? nullptr : harmonics + first * valueWidth());
            }
        }
    }

private:
    /** The factors of q, q' and t in the gradients of order m, as complex pairs. */
    enum Factor { kPowerBelow, kAlongX, kAlongY, kAlongZ };

    /** A group's directions, and which of its vectors have none. */
    struct Direction {
        Vector x;
        Vector y;
        Vector z;
        Vector inverseRadius;  // 1 / |r|
        Mask special;          // the zero vector, or a non-finite component
        Mask zero;
    };

    /**
     * Groups whose directions are computed ahead of their harmonics, so that
     * the latencies of their square roots and divisions overlap.
     */
    static constexpr std::size_t kAhead = 8;

    /** The directions of the groups from vector start on, up to kAhead; returns how many. */
    KELO_LANE_INLINE static std::size_t normalizeAhead(const Real* xyz, std::size_t start, std::size_t n,
                                                      Direction* directions) {
        const std::size_t groups = std::min(kAhead, (n - start + kLanes - 1) / kLanes);
        for (std::size_t g = 0; g < groups; ++g) {
            const std::size_t first = start + g * kLanes;
            directions[g] = normalize(xyz + 3 * first, std::min(kLanes, n - first));
        }
        return groups;
    }

    /** values() for a group of n <= kLanes vectors. */
    KELO_LANE_INLINE void valuesOfGroup(const Direction& group, std::size_t n, Real* out) {
        prefetchNextGroup(out, valueWidth());
        tablePowers(group, false);
        ColumnStage<Real> values(m_valueColumns.data(), rowsOf(out, valueWidth(), n));
        for (std::size_t l = 0; l <= m_tables.lmax(); ++l) {
            stageValues(l, stepRecurrence(l, group.z), values);
        }
        values.finish();
        for (std::size_t p = 0; L::anyLane(group.special) && p < n; ++p) {
            if (L::any(group.special, p)) {
                rewriteValues(L::any(group.zero, p), out + p * valueWidth());
            }
        }
    }

    /** gradients() for a group of n <= kLanes vectors. */
    KELO_LANE_INLINE void gradientsOfGroup(const Direction& group, std::size_t n, Real* gradients,
                                           Real* harmonics) {
        prefetchNextGroup(gradients, 3 * valueWidth());
        if (harmonics != nullptr) {
            prefetchNextGroup(harmonics, valueWidth());
        }
        tablePowers(group, true);
        const std::size_t gradientWidth = 3 * valueWidth();
        ColumnStage<Real> gradientStage(m_gradientColumns.data(), rowsOf(gradients, gradientWidth, n));
        // Without harmonics, their stage writes to the gradients and is never used.
        ColumnStage<Real> valueStage(m_valueColumns.data(),
                                     rowsOf(harmonics == nullptr ? gradients : harmonics, valueWidth(), n));
        for (std::size_t l = 0; l <= m_tables.lmax(); ++l) {
            const LaneTable<Real>& q = stepRecurrence(l, group.z);
            stageGradients(l, q, group.z, gradientStage);
            if (harmonics != nullptr) {
                stageValues(l, q, valueStage);
            }
        }
        gradientStage.finish();
        if (harmonics != nullptr) {
            valueStage.finish();
        }
        for (std::size_t p = 0; L::anyLane(group.special) && p < n; ++p) {
            if (L::any(group.special, p)) {
                const bool zero = L::any(group.zero, p);
                std::fill_n(gradients + p * gradientWidth, gradientWidth,
                            zero ? Real(0) : std::numeric_limits<Real>::quiet_NaN());
                if (harmonics != nullptr) {
                    rewriteValues(zero, harmonics + p * valueWidth());
                }
            }
        }
    }

    /**
     * Asks for the start of the next group's rows, `width` Reals each, to be
     * brought into cache for writing: the rows are separate streams, and
     * fresh output memory costs more to reach than the harmonics to compute.
     */
    KELO_LANE_INLINE static void prefetchNextGroup(const Real* rows, std::size_t width) {
        constexpr std::size_t kAheadBytes = 8192;
        constexpr std::size_t kLine = 64;
        // Past the last group the addresses lie beyond the output: prefetching
        // them is harmless, forming pointers to them is not.
        const std::size_t bytes = kLanes * width * sizeof(Real);
        const std::uintptr_t next = reinterpret_cast<std::uintptr_t>(rows) + bytes;
        for (std::size_t offset = 0; offset < std::min(kAheadBytes, bytes); offset += kLine) {
            __builtin_prefetch(reinterpret_cast<const void*>(next + offset), 1);
        }
    }

    /** Reals of degree l per point, in the harmonics. */
    std::size_t degreeWidth(std::size_t l) const {
        const std::size_t orders = m_tables.negativeM() ? 2 * l + 1 : l + 1;
        return kComplex ? 2 * orders : orders;
    }

    /** Where each lane's row starts; lanes past the last point repeat it. */
    static std::array<Real*, kLanes> rowsOf(Real* out, std::size_t width, std::size_t n) {
        std::array<Real*, kLanes> rows;
        Real* row = out;
        for (std::size_t j = 0; j < kLanes; ++j) {
            rows[j] = row;
            row += j + 1 < n ? width : 0;
        }
        return rows;
    }

    /**
     * The directions of a group of n <= kLanes vectors; lanes past the last
     * vector repeat it. Scaling by a power of two first is exact and keeps the
     * squares of any finite vector in range.
     */
    KELO_LANE_INLINE static Direction normalize(const Real* xyz, std::size_t n) {
        using Scaling = VectorScaling<Real>;
        Vector rx;
        Vector ry;
        Vector rz;
        if (n == kLanes) {
            L::loadTriples(xyz, rx, ry, rz);
        } else {
            Real padded[3 * kLanes];
            for (std::size_t j = 0; j < kLanes; ++j) {
                std::copy_n(xyz + 3 * std::min(j, n - 1), 3, padded + 3 * j);
            }
            L::loadTriples(padded, rx, ry, rz);
        }
        Direction direction;
        direction.zero = (rx == Vector{}) & (ry == Vector{}) & (rz == Vector{});
        direction.special = direction.zero | L::nan(rx - rx) | L::nan(ry - ry) | L::nan(rz - rz);

        const Vector largest = max(max(abs(rx), abs(ry)), abs(rz));
        const Vector scale = largest < Scaling::kSmall   ? L::broadcast(Scaling::kUp)
                             : largest > Scaling::kLarge ? L::broadcast(Scaling::kDown)
                                                         : L::broadcast(Real(1));
        const Vector sx = rx * scale;
        const Vector sy = ry * scale;
        const Vector sz = rz * scale;
        // Divided, not multiplied by a reciprocal: a vector along an axis lands on it exactly.
        const Vector length = L::sqrt(sx * sx + sy * sy + sz * sz);
        direction.x = sx / length;
        direction.y = sy / length;
        direction.z = sz / length;
        direction.inverseRadius = scale / length;
        return direction;
    }

    /** Tables the powers w^m of a group, and for gradients the factors of q, q' and t. */
    KELO_LANE_INLINE void tablePowers(const Direction& direction, bool gradients) {
        const Vector x = direction.x;
        const Vector y = direction.y;
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
            const Vector inverseRadius = direction.inverseRadius;
            const Vector xOverRadius = x * inverseRadius;
            const Vector yOverRadius = y * inverseRadius;
            for (std::size_t m = 0; m <= lmax; ++m) {
                const Vector powerRe = m_powers[0][m];
                const Vector powerIm = m_powers[1][m];
                const Vector belowRe = m == 0 ? Vector{} : m_powers[0][m - 1] * inverseRadius;
                const Vector belowIm = m == 0 ? Vector{} : m_powers[1][m - 1] * inverseRadius;
                setFactor(m, kPowerBelow, belowRe, belowIm);
                setFactor(m, kAlongX, xOverRadius * powerRe, xOverRadius * powerIm);
                setFactor(m, kAlongY, yOverRadius * powerRe, yOverRadius * powerIm);
                setFactor(m, kAlongZ, inverseRadius * powerRe, inverseRadius * powerIm);
            }
        }
    }

    KELO_LANE_INLINE static Vector abs(Vector v) { return v < Vector{} ? -v : v; }
    KELO_LANE_INLINE static Vector max(Vector a, Vector b) { return a > b ? a : b; }

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

    /** Stages a column, lane-major. */
    KELO_LANE_INLINE static void put(Real* columns, std::size_t column, Vector value) {
        L::store(columns + column * kLanes, value);
    }

    /** Stages the harmonics of degree l from its row q. */
    KELO_LANE_INLINE void stageValues(std::size_t l, const LaneTable<Real>& q, ColumnStage<Real>& stage) const {
        Real* columns = stage.append(degreeWidth(l));
        if constexpr (kComplex) {
            put(columns, 0, q[0]);
            put(columns, 1, Vector{});
            for (std::size_t m = 1; m <= l; ++m) {
                put(columns, 2 * m, q[m] * m_powers[0][m]);
                put(columns, 2 * m + 1, q[m] * m_powers[1][m]);
            }
            for (std::size_t m = 1; m_tables.negativeM() && m <= l; ++m) {
                put(columns, 2 * (l + m), q[m] * m_conjugates[0][m]);
                put(columns, 2 * (l + m) + 1, q[m] * m_conjugates[1][m]);
            }
        } else {
            put(columns, 0, q[0]);
            for (std::size_t m = 1; m <= l; ++m) {
                put(columns, m, q[m] * m_powers[0][m]);
                put(columns, l + m, q[m] * m_powers[1][m]);
            }
        }
        stage.flushBlocks();
    }

    /** Stages the gradients of degree l from its row q. */
    KELO_LANE_INLINE void stageGradients(std::size_t l, const LaneTable<Real>& q, Vector z,
                                         ColumnStage<Real>& stage) const {
        Real* columns = stage.append(3 * degreeWidth(l));
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
                    put(columns, 6 * m + k, g[k]);
                }
                if (m > 0 && m_tables.negativeM()) {
                    const Real sign = m_tables.conjugateSign(m);
                    for (std::size_t k = 0; k < 6; k += 2) {
                        put(columns, 6 * (l + m) + k, sign * g[k]);
                        put(columns, 6 * (l + m) + k + 1, -sign * g[k + 1]);
                    }
                }
            } else {
                for (std::size_t k = 0; k < 3; ++k) {
                    put(columns, 3 * m + k, g[2 * k]);
                }
                if (m > 0) {
                    for (std::size_t k = 0; k < 3; ++k) {
                        put(columns, 3 * (l + m) + k, g[2 * k + 1]);
                    }
                }
            }
        }
        stage.flushBlocks();
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
    std::vector<Real> m_valueColumns;     // the buffers of the stages
    std::vector<Real> m_gradientColumns;
};

}  // namespace kelo::detail
