#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "kelo/cache_lines.hpp"
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
 *
 * Up to degree kUnrolledLmax the degree is a constant of the code: the same
 * steps unroll, their tables live in the group's frame, and every output of a
 * group is staged before the group is written. At low degrees the cost per
 * group, not per harmonic, decides the speed.
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

    /** The highest degree whose code is unrolled. */
    static constexpr std::size_t kUnrolledLmax = 4;

    /** Per-group workspace for the given tables, which must outlive the kernel. */
    XyzKernel(const Tables& tables, bool gradients)
        : m_tables(tables), m_heap(heapWorkspace(tables.lmax() > kUnrolledLmax ? tables.lmax() + 1 : 0, gradients)) {}

    /** Reals per point of the harmonics. */
    std::size_t valueWidth() const { return m_tables.valueWidth(); }

    /** Writes the harmonics of the vectors xyz[3p..3p+2], p < n, to out + p valueWidth(). */
    KELO_VECTOR_CLONES void values(const Real* xyz, std::size_t n, Real* out) {
        withDegree([&](auto& workspace, auto lmax) KELO_LAMBDA_INLINE {
            const std::size_t width = widthUpTo(lmax);
            forEachGroup(
                xyz, n,
                [&](const Direction& group, std::size_t first, std::size_t count) KELO_LAMBDA_INLINE {
                    valuesOfGroup(workspace, lmax, group, count, out + first * width);
                },
                [&](std::size_t p, bool zero) { rewriteValues(zero, out + p * width, width); });
        });
    }

    /**
     * Writes the 3 valueWidth() gradients of the vectors xyz[3p..3p+2], p < n,
     * to gradients + 3 p valueWidth(), and their harmonics to
     * harmonics + p valueWidth() unless that is null.
     */
    KELO_VECTOR_CLONES void gradients(const Real* xyz, std::size_t n, Real* gradients, Real* harmonics) {
        withDegree([&](auto& workspace, auto lmax) KELO_LAMBDA_INLINE {
            const std::size_t width = widthUpTo(lmax);
            forEachGroup(
                xyz, n,
                [&](const Direction& group, std::size_t first, std::size_t count) KELO_LAMBDA_INLINE {
                    gradientsOfGroup(workspace, lmax, group, count, gradients + 3 * first * width,
                                     harmonics == nullptr ? nullptr : harmonics + first * width);
                },
                [&](std::size_t p, bool zero) {
                    std::fill_n(gradients + 3 * p * width, 3 * width,
                                zero ? Real(0) : std::numeric_limits<Real>::quiet_NaN());
                    if (harmonics != nullptr) {
                        rewriteValues(zero, harmonics + p * width, width);
                    }
                });
        });
    }

private:
    /** The factors of q, q' and t in the gradients of order m, as complex pairs. */
    enum Factor { kPowerBelow, kAlongX, kAlongY, kAlongZ };

    /** A group's directions, and which of its vectors have none. */
    struct Direction {
        Vector x;
        Vector y;
        Vector z;
        Vector scale;          // of the vector before its length was taken
        Vector length;         // of the scaled vector: |r| = length / scale
        Mask special;          // the zero vector, or a non-finite component
        Mask zero;
    };

    /**
     * Groups whose directions are computed ahead of their harmonics, so that
     * the latencies of their square roots and divisions overlap.
     */
    static constexpr std::size_t kAhead = 8;

    /** The lane tables and stage buffers that a group works in. */
    template <typename OrderTable, typename FactorTable, typename Buffer>
    struct Workspace {
        std::array<OrderTable, 3> rows;        // q of the last three degrees
        std::array<OrderTable, 2> powers;      // w^m, real and imaginary parts
        std::array<OrderTable, 2> conjugates;  // the sign times conj(w^m), complex output
        FactorTable factors;                   // 8 per order: the Factor pairs
        Buffer valueColumns;                   // the buffers of the stages
        Buffer gradientColumns;
    };

    /** For any degree, on the heap; its stages hold one degree at a time. */
    using HeapWorkspace = Workspace<LaneTable<Real>, LaneTable<Real>, CacheLineVector<Real>>;

    /** Up to kUnrolledLmax, in the frame; its stages hold all the outputs of a group. */
    static constexpr std::size_t kUnrolledOrders = kUnrolledLmax + 1;
    static constexpr std::size_t kUnrolledColumns = 3 * 2 * kUnrolledOrders * kUnrolledOrders;  // complex gradients
    using FrameWorkspace = Workspace<FixedLaneTable<Real, kUnrolledOrders>, FixedLaneTable<Real, 8 * kUnrolledOrders>,
                                     std::array<Real, ColumnStage<Real>::bufferSize(kUnrolledColumns)>>;

    /** The heap workspace for the given number of orders, none for unrolled degrees. */
    HeapWorkspace heapWorkspace(std::size_t orders, bool gradients) const {
        const std::size_t conjugates = kComplex ? orders : 0;
        const std::size_t widest = orders == 0 ? 0 : degreeWidth(orders - 1);
        return {{LaneTable<Real>(orders), LaneTable<Real>(orders), LaneTable<Real>(orders)},
                {LaneTable<Real>(orders), LaneTable<Real>(orders)},
                {LaneTable<Real>(conjugates), LaneTable<Real>(conjugates)},
                LaneTable<Real>(gradients ? 8 * orders : 0),
                CacheLineVector<Real>(ColumnStage<Real>::bufferSize(widest)),
                CacheLineVector<Real>(gradients ? ColumnStage<Real>::bufferSize(3 * widest) : 0)};
    }

    /**
     * Calls run(workspace, lmax): up to kUnrolledLmax with lmax a constant
     * and a workspace in the frame, beyond with the heap's.
     */
    template <typename Run, std::size_t kLmax = 0>
    KELO_LANE_INLINE void withDegree(Run run) {
        if constexpr (kLmax > kUnrolledLmax) {
            run(m_heap, std::size_t{m_tables.lmax()});
        } else if (m_tables.lmax() == kLmax) {
            FrameWorkspace frame{};  // zeros: whole blocks of a stage may read columns past the staged ones
            run(frame, std::integral_constant<std::size_t, kLmax>{});
        } else {
            withDegree<Run, kLmax + 1>(run);
        }
    }

    /** Calls step(l) for l = 0..lmax in order, unrolled if lmax is a constant. */
    template <typename Step>
    KELO_LANE_INLINE static void forEachDegree(std::size_t lmax, Step step) {
        for (std::size_t l = 0; l <= lmax; ++l) {
            step(l);
        }
    }
    template <std::size_t kLmax, typename Step>
    KELO_LANE_INLINE static void forEachDegree(std::integral_constant<std::size_t, kLmax>, Step step) {
        forEachDegree(step, std::make_index_sequence<kLmax + 1>{});
    }
    template <typename Step, std::size_t... l>
    KELO_LANE_INLINE static void forEachDegree(Step step, std::index_sequence<l...>) {
        (step(l), ...);
    }

    /** Writes the whole blocks of a heap stage after each degree; a frame stage waits for the group's end. */
    template <typename W>
    KELO_LANE_INLINE static void endDegree(ColumnStage<Real>& stage) {
        if constexpr (std::is_same_v<W, HeapWorkspace>) {
            stage.flushBlocks();
        }
    }

    /**
     * Calls write(direction, first, count) for the groups of the vectors
     * xyz[3p..3p+2], p < n, in order, then rewrite(p, zero) for the vectors
     * p without a direction, zero or not. Directions are computed kAhead
     * groups at a time, and such vectors looked for once per kAhead groups.
     */
    template <typename Write, typename Rewrite>
    KELO_LANE_INLINE static void forEachGroup(const Real* xyz, std::size_t n, Write write, Rewrite rewrite) {
        Direction directions[kAhead];
        for (std::size_t start = 0; start < n; start += kAhead * kLanes) {
            const std::size_t groups = std::min(kAhead, (n - start + kLanes - 1) / kLanes);
            Mask special{};
            for (std::size_t g = 0; g < groups; ++g) {
                const std::size_t first = start + g * kLanes;
                directions[g] = normalize(xyz + 3 * first, std::min(kLanes, n - first));
                special |= directions[g].special;
            }
            for (std::size_t g = 0; g < groups; ++g) {
                const std::size_t first = start + g * kLanes;
                write(directions[g], first, std::min(kLanes, n - first));
            }
            for (std::size_t g = 0; L::anyLane(special) && g < groups; ++g) {
                const std::size_t first = start + g * kLanes;
                for (std::size_t p = 0; p < std::min(kLanes, n - first); ++p) {
                    if (L::any(directions[g].special, p)) {
                        rewrite(first + p, L::any(directions[g].zero, p));
                    }
                }
            }
        }
    }

    /** values() for a group of n <= kLanes vectors. */
    template <typename W, typename Degree>
    KELO_LANE_INLINE void valuesOfGroup(W& work, Degree lmax, const Direction& group, std::size_t n, Real* out) {
        const std::size_t width = widthUpTo(lmax);
        prefetchNextGroup(out, width);
        tablePowers(work, lmax, group, false);
        ColumnStage<Real> values(work.valueColumns.data(), rowsOf(out, width, n));
        forEachDegree(lmax, [&](std::size_t l) KELO_LAMBDA_INLINE {
            stageValues(work, l, stepRecurrence(work.rows, l, group.z), values);
            endDegree<W>(values);
        });
        values.finish();
    }

    /** gradients() for a group of n <= kLanes vectors. */
    template <typename W, typename Degree>
    KELO_LANE_INLINE void gradientsOfGroup(W& work, Degree lmax, const Direction& group, std::size_t n,
                                           Real* gradients, Real* harmonics) {
        const std::size_t width = widthUpTo(lmax);
        const std::size_t gradientWidth = 3 * width;
        prefetchNextGroup(gradients, gradientWidth);
        if (harmonics != nullptr) {
            prefetchNextGroup(harmonics, width);
        }
        tablePowers(work, lmax, group, true);
        ColumnStage<Real> gradientStage(work.gradientColumns.data(), rowsOf(gradients, gradientWidth, n));
        // Without harmonics, their stage writes to the gradients and is never used.
        ColumnStage<Real> valueStage(work.valueColumns.data(),
                                     rowsOf(harmonics == nullptr ? gradients : harmonics, width, n));
        forEachDegree(lmax, [&](std::size_t l) KELO_LAMBDA_INLINE {
            const auto& q = stepRecurrence(work.rows, l, group.z);
            stageGradients(work, l, q, group.z, gradientStage);
            endDegree<W>(gradientStage);
            if (harmonics != nullptr) {
                stageValues(work, l, q, valueStage);
                endDegree<W>(valueStage);
            }
        });
        gradientStage.finish();
        if (harmonics != nullptr) {
            valueStage.finish();
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

    /** Whether the orders -1..-l follow 0..l: always for real output. */
    bool negativeM() const { return !kComplex || m_tables.negativeM(); }

    /** Reals of degree l per point, in the harmonics. */
    std::size_t degreeWidth(std::size_t l) const {
        const std::size_t orders = negativeM() ? 2 * l + 1 : l + 1;
        return kComplex ? 2 * orders : orders;
    }

    /** Reals per point of the harmonics up to degree lmax: a constant for real output at an unrolled degree. */
    template <typename Degree>
    std::size_t widthUpTo(Degree lmax) const {
        return Tables::valueWidth(lmax, negativeM(), output);
    }

    /** Where each lane's row starts; lanes past the last point repeat it. */
    static std::array<Real*, kLanes> rowsOf(Real* out, std::size_t width, std::size_t n) {
        std::array<Real*, kLanes> rows;
        for (std::size_t j = 0; j < kLanes; ++j) {
            rows[j] = out + (n == kLanes ? j : std::min(j, n - 1)) * width;
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
        direction.scale = scale;
        direction.length = length;
        return direction;
    }

    /** Tables the powers w^m of a group, and for gradients the factors of q, q' and t. */
    template <typename W, typename Degree>
    KELO_LANE_INLINE void tablePowers(W& work, Degree lmax, const Direction& direction, bool gradients) const {
        const Vector x = direction.x;
        const Vector y = direction.y;
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
            work.powers[0].set(m, re);
            work.powers[1].set(m, im);
            if constexpr (kComplex) {
                const Real sign = m_tables.conjugateSign(m);
                work.conjugates[0].set(m, sign * re);
                work.conjugates[1].set(m, -sign * im);
            }
        }
        if (gradients) {
            // Divided here, where only gradients pay for it.
            const Vector inverseRadius = direction.scale / direction.length;
            const Vector xOverRadius = x * inverseRadius;
            const Vector yOverRadius = y * inverseRadius;
            for (std::size_t m = 0; m <= lmax; ++m) {
                const Vector powerRe = work.powers[0][m];
                const Vector powerIm = work.powers[1][m];
                const Vector belowRe = m == 0 ? Vector{} : work.powers[0][m - 1] * inverseRadius;
                const Vector belowIm = m == 0 ? Vector{} : work.powers[1][m - 1] * inverseRadius;
                auto& factors = work.factors;
                setFactor(factors, m, kPowerBelow, belowRe, belowIm);
                setFactor(factors, m, kAlongX, xOverRadius * powerRe, xOverRadius * powerIm);
                setFactor(factors, m, kAlongY, yOverRadius * powerRe, yOverRadius * powerIm);
                setFactor(factors, m, kAlongZ, inverseRadius * powerRe, inverseRadius * powerIm);
            }
        }
    }

    KELO_LANE_INLINE static Vector abs(Vector v) { return v < Vector{} ? -v : v; }
    KELO_LANE_INLINE static Vector max(Vector a, Vector b) { return a > b ? a : b; }

    template <typename Table>
    KELO_LANE_INLINE static void setFactor(Table& factors, std::size_t m, Factor factor, Vector re, Vector im) {
        factors.set(8 * m + 2 * factor, re);
        factors.set(8 * m + 2 * factor + 1, im);
    }
    template <typename Table>
    KELO_LANE_INLINE static Vector factorRe(const Table& factors, std::size_t m, Factor factor) {
        return factors[8 * m + 2 * factor];
    }
    template <typename Table>
    KELO_LANE_INLINE static Vector factorIm(const Table& factors, std::size_t m, Factor factor) {
        return factors[8 * m + 2 * factor + 1];
    }

    /**
     * Steps the recurrence to degree l and returns its row, which holds
     * q_l^m(z) for m = 0..l. Degrees are stepped in order from 0.
     */
    template <typename Table>
    KELO_LANE_INLINE const Table& stepRecurrence(std::array<Table, 3>& rows, std::size_t l, Vector z) const {
        Table& current = rows[l % 3];
        const Table& previous = rows[(l + 2) % 3];
        const Table& beforePrevious = rows[(l + 1) % 3];
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
    template <typename W, typename Table>
    KELO_LANE_INLINE void stageValues(const W& work, std::size_t l, const Table& q, ColumnStage<Real>& stage) const {
        const auto& powers = work.powers;
        Real* columns = stage.append(degreeWidth(l));
        if constexpr (kComplex) {
            put(columns, 0, q[0]);
            put(columns, 1, Vector{});
            for (std::size_t m = 1; m <= l; ++m) {
                put(columns, 2 * m, q[m] * powers[0][m]);
                put(columns, 2 * m + 1, q[m] * powers[1][m]);
            }
            for (std::size_t m = 1; negativeM() && m <= l; ++m) {
                put(columns, 2 * (l + m), q[m] * work.conjugates[0][m]);
                put(columns, 2 * (l + m) + 1, q[m] * work.conjugates[1][m]);
            }
        } else {
            put(columns, 0, q[0]);
            for (std::size_t m = 1; m <= l; ++m) {
                put(columns, m, q[m] * powers[0][m]);
                put(columns, l + m, q[m] * powers[1][m]);
            }
        }
    }

    /** Stages the gradients of degree l from its row q. */
    template <typename W, typename Table>
    KELO_LANE_INLINE void stageGradients(const W& work, std::size_t l, const Table& q, Vector z,
                                         ColumnStage<Real>& stage) const {
        const auto& factors = work.factors;
        Real* columns = stage.append(3 * degreeWidth(l));
        const Real* ladder = l == 0 ? nullptr : m_tables.ladder(l);
        for (std::size_t m = 0; m <= l; ++m) {
            const Vector qValue = q[m];
            const Vector qDerivative = m < l ? ladder[m] * q[m + 1] : Vector{};
            const Vector mq = m_tables.order(m) * qValue;
            const Vector t = mq + z * qDerivative;
            const Vector c = qDerivative - z * t;
            const Vector mqBelowRe = mq * factorRe(factors, m, kPowerBelow);
            const Vector mqBelowIm = mq * factorIm(factors, m, kPowerBelow);
            const Vector g[6] = {
                mqBelowRe - t * factorRe(factors, m, kAlongX), mqBelowIm - t * factorIm(factors, m, kAlongX),
                -mqBelowIm - t * factorRe(factors, m, kAlongY), mqBelowRe - t * factorIm(factors, m, kAlongY),
                c * factorRe(factors, m, kAlongZ),             c * factorIm(factors, m, kAlongZ),
            };
            if constexpr (kComplex) {
                for (std::size_t k = 0; k < 6; ++k) {
                    put(columns, 6 * m + k, g[k]);
                }
                if (m > 0 && negativeM()) {
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
    }

    /** The harmonics of the zero vector (Y_0^0, then zeros) or of a non-finite one (NaN). */
    void rewriteValues(bool zero, Real* row, std::size_t width) const {
        if (!zero) {
            std::fill_n(row, width, std::numeric_limits<Real>::quiet_NaN());
            return;
        }
        std::fill_n(row, width, Real(0));
        row[0] = m_tables.constant(0);
    }

    const Tables& m_tables;
    HeapWorkspace m_heap;
};

}  // namespace kelo::detail
