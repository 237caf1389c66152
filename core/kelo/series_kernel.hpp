#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "kelo/column_stage.hpp"
#include "kelo/complex_arithmetic.hpp"
#include "kelo/harmonic_terms.hpp"
#include "kelo/lanes.hpp"
#include "kelo/series_coefficients.hpp"
#include "kelo/streamed_rows.hpp"
#include "kelo/subnormal_assists.hpp"

namespace kelo::detail {

/**
 * Writes the series of a group of up to kLanes points at a time, bit for bit
 * as PointSPHEvaluator and its iterator define it.
 *
 * Every value is the same IEEE operation on the same operands as there; only
 * the arrangement differs:
 * - the points of a group are evaluated side by side, each table entry
 *   holding one value per point, so every loop runs across the group in
 *   vector lanes, each lane performing the same operations in the same order;
 * - the Jacobi recurrence runs by degree, keeping the last two degrees, with
 *   its coefficients stored by degree, and computes only the entries that
 *   degrees up to lmax use;
 * - what does not depend on the point is computed once: the constant
 *   polynomials p_0^(m) and the ladder factors sqrt((l + m + 1)(l - m));
 * - what depends on the order only is computed once per point: the phases
 *   exp(i m theta), the products of their parts with the zero imaginary part
 *   of a real factor, and m cot(phi);
 * - each Legendre entry is divided by sqrt(2 pi) once for m and -m;
 * - a degree's harmonics and gradients come from one pass over its orders,
 *   which keeps the harmonics of the order before for the ladder terms;
 * - near the poles, on CPUs where float products that round to subnormals,
 *   or take one, cost a microcode assist each, they are formed in double and
 *   rounded once (Lanes::productInDouble): the same bits, without the assist;
 * - a point's phases are formed one after the other, for the C library's
 *   branches to follow.
 *
 * Each degree's outputs are staged lane-major and written to the points' rows
 * in transposed blocks (ColumnStage). Past kStreamingBytes of output, the
 * rows of a group are built in cache and streamed to memory (StreamedRows).
 *
 * The products here leave out the recovery of infinite products, and the
 * gradients leave out the pole limit. Both matter only where a value is not
 * finite, so a point is written again, degree by degree, with the iterator's
 * own terms (harmonic_terms.hpp) read from the same tables, where any of its
 * Legendre entries, phases or d/dphi is not finite, or m cot(phi) is not.
 *
 * The coefficients are shared, read-only, by every kernel of a call; a kernel
 * holds tables of one entry per order, O(lmax), and the rows of one group
 * when it streams them, so each thread has its own.
 *
 * In a convention other than kelo's own (their Form), a harmonic or derivative
 * is written as its column's factor times the value above, one rounding more;
 * real output takes the parts of the orders m >= 0 and computes no other.
 */
/** Which outputs of a call a kernel streams to memory (see StreamedRows). */
struct Streaming {
    bool harmonics = false;
    bool gradients = false;
};

template <typename Real>
class SeriesKernel {
    using L = Lanes<Real>;
    using Vector = typename L::Vector;
    using Mask = typename L::Mask;

public:
    /** Points evaluated side by side, one per vector lane. */
    static constexpr std::size_t kLanes = L::count;

    /**
     * @param coefficients the call's shared tables, which must outlive the kernel
     * @param negative_m whether the orders -1..-l follow 0..l in every degree
     * @param streaming the outputs to stream, as streamingFor() advises
     * @throws std::bad_alloc if a table cannot be allocated
     */
    SeriesKernel(const SeriesCoefficients<Real>& coefficients, bool negative_m, Streaming streaming = {})
        : m_coefficients(&coefficients),
          m_lmax(coefficients.lmax()),
          m_negativeM(negative_m || coefficients.form() == Form::real),
          m_form(coefficients.form()),
          m_tinyOrders(kTinyOrders && subnormalProductsTakeAssists()),
          m_sinPowers(m_lmax + 1),
          m_cosM(m_lmax + 1),
          m_sinM(m_lmax + 1),
          m_negSinM(m_lmax + 1),
          m_zeroCosM(m_lmax + 1),
          m_zeroSinM(m_lmax + 1),
          m_zeroNegSinM(m_lmax + 1),
          m_rows{LaneTable(m_lmax + 1), LaneTable(m_lmax + 1), LaneTable(m_lmax + 1)},
          m_cotangents(coefficients.gradients() ? m_lmax + 1 : 0),
          m_negCotangents(coefficients.gradients() ? m_lmax + 1 : 0),
          m_valueColumns(ColumnStage<Real>::bufferSize(degreeWidth(m_lmax))),
          m_gradientColumns(coefficients.gradients() ? ColumnStage<Real>::bufferSize(2 * degreeWidth(m_lmax)) : 0),
          m_valueRows(kLanes, streaming.harmonics ? stagedWidth(valueWidth()) : 0),
          m_gradientRows(kLanes, streaming.gradients && coefficients.gradients() ? stagedWidth(2 * valueWidth()) : 0) {}

    /**
     * The outputs of a call on N points worth streaming (see worthStreaming);
     * either may be null.
     */
    static Streaming streamingFor(const SeriesCoefficients<Real>& coefficients, bool negative_m, std::size_t N,
                                  const Real* harmonics, const Real* gradients) {
        const bool real = coefficients.form() == Form::real;
        const std::size_t width = count(coefficients.lmax(), negative_m || real) * (real ? 1 : 2);
        const std::size_t bytes = N * width * sizeof(Real);
        return {worthStreaming(harmonics, bytes), worthStreaming(gradients, 2 * bytes)};
    }

    /** Values per point: (lmax + 1)^2, or (lmax + 1)(lmax + 2)/2 without negative orders. */
    static std::size_t count(unsigned int lmax, bool negative_m) { return seriesCount(lmax, negative_m); }

    std::size_t count() const { return count(m_lmax, m_negativeM); }

    /** Orders the rows streamed so far before any later store: the last call of a block of groups. */
    void finish() const { StreamedRows<Real>::fence(); }

    /** Reals of a point's harmonics: a real, or a complex value's two parts, per harmonic. */
    std::size_t valueWidth() const { return m_form == Form::real ? count() : 2 * count(); }

    /**
     * Writes the count() harmonics of each of the points (phi[p], theta[p]),
     * p < n <= kLanes, to out + p valueWidth().
     */
    KELO_VECTOR_CLONES void values(const Real* phi, const Real* theta, std::size_t n, Real* out) {
        switch (m_form) {
            case Form::complex:
                return valuesIn<Form::complex>(phi, theta, n, out);
            case Form::scaledComplex:
                return valuesIn<Form::scaledComplex>(phi, theta, n, out);
            case Form::real:
                return valuesIn<Form::real>(phi, theta, n, out);
        }
    }

    /**
     * Writes the count() pairs (dY/dphi, dY/dtheta) of each of the points
     * (phi[p], theta[p]), p < n <= kLanes, to gradients + 2 p valueWidth(),
     * and their harmonics to harmonics + p valueWidth() unless that is null.
     */
    KELO_VECTOR_CLONES void gradients(const Real* phi, const Real* theta, std::size_t n,
                                      Real* gradients, Real* harmonics) {
        switch (m_form) {
            case Form::complex:
                return gradientsIn<Form::complex>(phi, theta, n, gradients, harmonics);
            case Form::scaledComplex:
                return gradientsIn<Form::scaledComplex>(phi, theta, n, gradients, harmonics);
            case Form::real:
                return gradientsIn<Form::real>(phi, theta, n, gradients, harmonics);
        }
    }

private:
    /** One Vector per order m. */
    using LaneTable = detail::LaneTable<Real>;

    template <Form form>
    KELO_LANE_INLINE void valuesIn(const Real* phi, const Real* theta, std::size_t n, Real* out) {
        Real* const rows = stagedRows(m_valueRows, out, n, valueWidth());
        Group group = prepareGroup(phi, theta, n);
        ColumnStage<Real> stage = stageOf(m_valueColumns, m_valueRows, rows, out, n, valueWidth());
        for (std::size_t l = 0; l <= m_lmax; ++l) {
            degree<form, false>(l, group, stage.append(degreeWidth(l)), nullptr);
            flushBlocks(m_valueRows, stage);
        }
        stage.finish();
        finishRows(m_valueRows);
        const Mask recover = toRecover(group);
        for (std::size_t p = 0; p < n; ++p) {
            if (L::any(recover, p)) {
                recoveredValues<form>(phi[p], theta[p], out + p * valueWidth());
            }
        }
    }

    template <Form form>
    KELO_LANE_INLINE void gradientsIn(const Real* phi, const Real* theta, std::size_t n, Real* gradients,
                                      Real* harmonics) {
        Real* const gradientRows = stagedRows(m_gradientRows, gradients, n, 2 * valueWidth());
        Real* const harmonicRows = harmonics == nullptr ? nullptr : stagedRows(m_valueRows, harmonics, n, valueWidth());
        Group group = prepareGroup(phi, theta, n);
        prepareCotangents(group);
        ColumnStage<Real> gradientStage =
            stageOf(m_gradientColumns, m_gradientRows, gradientRows, gradients, n, 2 * valueWidth());
        ColumnStage<Real> harmonicStage =
            stageOf(m_valueColumns, m_valueRows, harmonicRows, harmonics, n, valueWidth());
        for (std::size_t l = 0; l <= m_lmax; ++l) {
            degree<form, true>(l, group, harmonics == nullptr ? nullptr : harmonicStage.append(degreeWidth(l)),
                               gradientStage.append(2 * degreeWidth(l)));
            flushBlocks(m_gradientRows, gradientStage);
            if (harmonics != nullptr) {
                flushBlocks(m_valueRows, harmonicStage);
            }
        }
        gradientStage.finish();
        finishRows(m_gradientRows);
        if (harmonics != nullptr) {
            harmonicStage.finish();
            finishRows(m_valueRows);
        }
        const Mask recover = toRecover(group);
        for (std::size_t p = 0; p < n; ++p) {
            if (L::any(recover, p)) {
                recoveredGradients<form>(phi[p], theta[p], gradients + 2 * p * valueWidth(),
                                         harmonics == nullptr ? nullptr : harmonics + p * valueWidth());
            }
        }
    }

    /** What a group knows of each of its points; lanes past the last point repeat it. */
    struct Group {
        Vector cosPhi;
        Vector sinPhi;
        Vector stepCos;  // exp(-i theta), as the evaluator forms it
        Vector stepSin;
        Vector zeroStepCos;  // 0 * cos, the product with a real factor's zero imaginary part
        Vector zeroStepSin;
        Vector sums;   // of the phases, Legendre entries and d/dphi: finite unless one is not
        Mask recover;  // all ones: m cot(phi) is not finite
        // The orders whose sin(phi)^m may be tiny (mayRoundToSubnormal), if any
        // and if such products are formed in double.
        std::size_t tinyBegin;
        std::size_t tinyEnd;
    };

    /** The lanes whose points take the iterator's path. */
    KELO_LANE_INLINE static Mask toRecover(const Group& group) {
        return group.recover | L::nan(group.sums - group.sums);
    }

    /** Rows of `width` Reals, streamed unless a group's would not stay in cache: width, else 0. */
    static std::size_t stagedWidth(std::size_t width) {
        return kLanes * width * sizeof(Real) <= kStagedRowBytes ? width : 0;
    }

    /** Where a group writes its n rows of `width` Reals bound for out. */
    static Real* stagedRows(StreamedRows<Real>& streamed, Real* out, std::size_t n, std::size_t width) {
        return streamed.enabled() ? streamed.begin(out, n, width) : out;
    }

    /**
     * The stage of a group's n rows of `width` Reals, written at `rows` and
     * bound for out, from `columns`; it streams to out itself where it may.
     */
    KELO_LANE_INLINE static ColumnStage<Real> stageOf(CacheLineVector<Real>& columns,
                                                      const StreamedRows<Real>& streamed, Real* rows, Real* out,
                                                      std::size_t n, std::size_t width) {
        ColumnStage<Real> stage(columns.data(), laneRows(rows, width, n));
        if (streamed.enabled() && out != nullptr && streamed.streamsDirectly()) {
            stage.streamTo(laneRows(out, width, n));
        }
        return stage;
    }

    /** Writes the whole blocks staged, which are final; a streamed row's final lines go out. */
    KELO_LANE_INLINE static void flushBlocks(StreamedRows<Real>& streamed, ColumnStage<Real>& stage) {
        if (!streamed.enabled()) {
            stage.flushBlocks();
            return;
        }
        if (stage.streamsNext()) {
            streamed.sendCarried();
        }
        stage.flushBlocks();
        streamed.markWritten(stage.written(), stage.streamedUntil());
    }

    /**
     * Sends the rest of a group's rows. The points that take the iterator's
     * path are then written in the output itself, over lines already sent.
     */
    static void finishRows(StreamedRows<Real>& streamed) {
        if (streamed.enabled()) {
            streamed.finish();
        }
    }

    /** The row of each lane: lanes past the last point share its row. */
    static std::array<Real*, kLanes> laneRows(Real* rows, std::size_t width, std::size_t n) {
        std::array<Real*, kLanes> lanes{};
        for (std::size_t j = 0; rows != nullptr && j < kLanes; ++j) {
            lanes[j] = rows + (j < n ? j : n - 1) * width;
        }
        return lanes;
    }

    /** Position of the first order of degree l in a point's series. */
    std::size_t degreeStart(std::size_t l) const { return m_negativeM ? l * l : triangle(l); }

    /** Position of (l, m), m signed, among the orders of degree l. */
    static std::size_t orderColumn(std::size_t l, std::int64_t m) {
        return static_cast<std::size_t>(m >= 0 ? m : std::int64_t(l) - m);
    }

    /** Position of (l, m), m signed, in a point's series. */
    std::size_t column(std::size_t l, std::int64_t m) const { return degreeStart(l) + orderColumn(l, m); }

    /** Reals that degree l adds to a point's harmonics. */
    std::size_t degreeWidth(std::size_t l) const {
        return (m_negativeM ? 2 * l + 1 : l + 1) * (m_form == Form::real ? 1 : 2);
    }

    /** The tables of the group's points that depend on the order only. */
    KELO_LANE_INLINE Group prepareGroup(const Real* phi, const Real* theta, std::size_t n) {
        Group group{};
        Real perLane[4][kLanes];
        // A point's phases one after the other: the C library's branches follow
        // one angle growing step by step far better than the lanes' angles in turn.
        for (std::size_t j = 0; j < kLanes; ++j) {
            // Lanes past the last point evaluate it again and write the same bits to the same place.
            const std::size_t p = j < n ? j : n - 1;
            perLane[0][j] = std::cos(phi[p]);
            perLane[1][j] = std::sin(phi[p]);
            for (std::size_t m = 0; m <= m_lmax; ++m) {
                const std::complex<Real> phase = unitPhase(m_coefficients->order(m) * theta[p]);
                m_cosM.setLane(m, j, phase.real());
                m_sinM.setLane(m, j, phase.imag());
            }
            // cos is even, so cos(theta) stands for cos(-theta): the phase of order 1 holds it.
            const Real negTheta = -theta[p];
            perLane[2][j] = negTheta == Real(0) ? Real(1) : m_lmax >= 1 ? m_cosM.lane(1, j) : std::cos(theta[p]);
            perLane[3][j] = negTheta == Real(0) ? negTheta : std::sin(negTheta);
        }
        group.cosPhi = L::load(perLane[0]);
        group.sinPhi = L::load(perLane[1]);
        group.stepCos = L::load(perLane[2]);
        group.stepSin = L::load(perLane[3]);
        group.zeroStepCos = Real(0) * group.stepCos;
        group.zeroStepSin = Real(0) * group.stepSin;
        group.sums = group.stepCos + group.stepSin;

        group.tinyBegin = group.tinyEnd = m_lmax + 1;
        Vector sinPower = L::broadcast(Real(1));
        for (std::size_t m = 0; m <= m_lmax; ++m) {
            const Vector cosM = m_cosM[m];
            const Vector sinM = m_sinM[m];
            group.sums += cosM + sinM;
            m_negSinM.set(m, -sinM);
            m_zeroCosM.set(m, Real(0) * cosM);
            m_zeroSinM.set(m, Real(0) * sinM);
            m_zeroNegSinM.set(m, Real(0) * -sinM);
            m_sinPowers.set(m, sinPower);
            if (m_tinyOrders && mayRoundToSubnormal(sinPower)) {
                group.tinyBegin = std::min<std::size_t>(group.tinyBegin, m);
                group.tinyEnd = m + 1;
            }
            sinPower = L::productInDouble(sinPower, group.sinPhi);
        }
        return group;
    }

    /**
     * Whether a group can have tiny orders, whose products are formed in
     * double: only floats have a wider type to form them in.
     */
    static constexpr bool kTinyOrders = std::is_same_v<Real, float>;

    /**
     * Whether products of these values may round to subnormal floats in some
     * lane: the margin covers the phases and ladder factors that multiply
     * them. Zeros give zeros, which take no assist. Near the poles the Jacobi
     * factor is at least about 0.7, so only the orders whose sin(phi)^m may be
     * tiny can have tiny Legendre entries.
     */
    KELO_LANE_INLINE static bool mayRoundToSubnormal(Vector values) {
        constexpr Real kTiny = std::numeric_limits<Real>::min() * 1024;
        return kTinyOrders && L::anyLane((values < kTiny) & (values > -kTiny) & (values != Real(0)));
    }

    /** x y; for a tiny order, formed in double (L::productInDouble), which gives the same bits. */
    template <bool tiny>
    KELO_LANE_INLINE static Vector times(Vector x, Vector y) {
        if constexpr (tiny) {
            return L::productInDouble(x, y);
        } else {
            return x * y;
        }
    }

    /** m cot(phi) for m = -lmax..lmax; a point where one is not finite takes the pole limit. */
    KELO_LANE_INLINE void prepareCotangents(Group& group) {
        for (std::size_t m = 0; m <= m_lmax; ++m) {
            const Real order = m_coefficients->order(m);
            const Vector cotangent = order * group.cosPhi / group.sinPhi;
            const Vector negCotangent = -order * group.cosPhi / group.sinPhi;
            m_cotangents.set(m, cotangent);
            m_negCotangents.set(m, negCotangent);
            // Finite x gives a finite x - x; inf and NaN give NaN.
            group.recover |= L::nan(cotangent - cotangent) | L::nan(negCotangent - negCotangent);
        }
    }

    /**
     * Steps the Jacobi recurrence to degree l and returns its row, which holds
     * p_(l-m)^(m)(cos phi) for m = 0..l. Degrees are stepped in order from 0.
     */
    KELO_LANE_INLINE const LaneTable& stepRecurrence(std::size_t l, const Group& group) {
        LaneTable& current = m_rows[l % 3];
        const LaneTable& previous = m_rows[(l + 2) % 3];
        const LaneTable& beforePrevious = m_rows[(l + 1) % 3];
        const Vector x = group.cosPhi;
        if (l >= 1) {
            const Real* a = m_coefficients->a(l);
            const Real* b = m_coefficients->b(l);
            for (std::size_t m = 0; m + 1 < l; ++m) {
                current.set(m, (x * a[m]) * previous[m] + b[m] * beforePrevious[m]);
            }
            current.set(l - 1, (x * a[l - 1]) * previous[l - 1]);
        }
        current.set(l, L::broadcast(m_coefficients->constant(l)));
        return current;
    }

    /** The Legendre entry of order m of the degree in jacobi, divided by sqrt(2 pi). */
    template <bool tiny>
    KELO_LANE_INLINE Vector scaledLegendre(std::size_t m, const LaneTable& jacobi) const {
        return L::scaleBySqrt2Pi(times<tiny>(m_sinPowers[m], jacobi[m]));
    }

    /**
     * Steps to degree l and stages its harmonics, unless `harmonics` is null,
     * and its gradients if asked for, each among the degree's columns.
     *
     * The harmonics are (L, 0)(c, s) = (L c - 0 s, L s + 0 c) for m >= 0 and
     * the same with the conjugate phase for m < 0. The gradients are
     *
     *     d/dphi = m cot(phi) Y_l^m -+ (ladder, 0)(exp(-i theta)) Y_l^(m+1),   d/dtheta = (0, m) Y_l^m,
     *
     * with + for negative orders and no ladder term for m = l, each a full
     * complex product. Y_l^(m+1) of the order -m is the conjugate one order
     * lower, so both come from the harmonics of the orders m - 1 and m.
     */
    template <Form form, bool withGradients>
    KELO_LANE_INLINE void degree(std::size_t l, Group& group, Real* harmonics, Real* gradients) {
        if constexpr (kTinyOrders) {
            if (group.tinyBegin <= l) {
                m_tinyGroup = group;
                tinyDegree<form, withGradients>(l, harmonics, gradients);
                group.sums = m_tinyGroup.sums;
                return;
            }
        }
        degreeOf<form, withGradients, false>(l, group, harmonics, gradients);
    }

    /**
     * degree() for m_tinyGroup, some of whose orders are tiny: out of line,
     * so that the ordinary path keeps its registers and code to itself.
     */
    template <Form form, bool withGradients>
    KELO_VECTOR_CLONES [[gnu::noinline]] void tinyDegree(std::size_t l, Real* harmonics, Real* gradients) {
        degreeOf<form, withGradients, true>(l, m_tinyGroup, harmonics, gradients);
    }

    /**
     * degree(); if anyTiny, the orders in [group.tinyBegin, group.tinyEnd)
     * form their products in double. With gradients, an order checks its
     * Legendre entries first, since degrees well above the order lift those of
     * a tiny power clear of the subnormals (the Jacobi factor grows with the
     * degree): its other products, and those of the derivatives of the order
     * before, are formed in double only where its entries, or those of the
     * order before, may be tiny. Values have too few products for the check
     * to pay.
     */
    template <Form form, bool withGradients, bool anyTiny>
    KELO_LANE_INLINE void degreeOf(std::size_t l, Group& group, Real* harmonics, Real* gradients) {
        constexpr bool kConjugates = form != Form::real;
        const LaneTable& jacobi = stepRecurrence(l, group);
        const Real* ladder = withGradients ? m_coefficients->ladder(l) : nullptr;
        Vector sums = group.sums;
        Vector previousRe{};
        Vector previousIm{};
        Vector previousConjRe{};
        Vector previousConjIm{};
        // The body of order m, from its scaled Legendre entry, with its products formed in double if tiny.
        const auto order = [&](std::size_t m, Vector scaled, auto tinyOrder) KELO_LAMBDA_INLINE {
            constexpr bool tiny = decltype(tinyOrder)::value;
            sums += scaled;
            const Vector cosPart = times<tiny>(scaled, m_cosM[m]);
            const Vector re = cosPart - m_zeroSinM[m];
            const Vector im = times<tiny>(scaled, m_sinM[m]) + m_zeroCosM[m];
            Vector conjRe = re;
            Vector conjIm = im;
            if (kConjugates && m_negativeM && m > 0) {
                conjRe = cosPart - m_zeroNegSinM[m];
                conjIm = times<tiny>(scaled, m_negSinM[m]) + m_zeroCosM[m];
            }
            if (withGradients ? harmonics != nullptr : true) {
                stageHarmonic<form, tiny>(harmonics, l, static_cast<std::int64_t>(m), re, im);
                if (kConjugates && m_negativeM && m > 0) {
                    stageHarmonic<form, tiny>(harmonics, l, -static_cast<std::int64_t>(m), conjRe, conjIm);
                }
            }
            if constexpr (withGradients) {
                if (m > 0) {
                    stageDerivatives<form, tiny>(gradients, l, static_cast<std::int64_t>(m - 1),
                                                 derivativesOfOrder<Ladder::Subtract, tiny>(
                                                     previousRe, previousIm, re, im, m_cotangents[m - 1],
                                                     m_coefficients->order(m - 1), ladder[m - 1], group, sums));
                    if (kConjugates && m_negativeM) {
                        stageDerivatives<form, tiny>(gradients, l, -static_cast<std::int64_t>(m),
                                                     derivativesOfOrder<Ladder::Add, tiny>(
                                                         conjRe, conjIm, previousConjRe, previousConjIm,
                                                         m_negCotangents[m], -m_coefficients->order(m),
                                                         ladder[m - 1], group, sums));
                    }
                }
                previousRe = re;
                previousIm = im;
                previousConjRe = conjRe;
                previousConjIm = conjIm;
            }
        };
        const auto last = [&](auto tinyOrder) KELO_LAMBDA_INLINE {
            constexpr bool tiny = decltype(tinyOrder)::value;
            stageDerivatives<form, tiny>(gradients, l, static_cast<std::int64_t>(l),
                                         derivativesOfOrder<Ladder::None, tiny>(
                                             previousRe, previousIm, Vector{}, Vector{}, m_cotangents[l],
                                             m_coefficients->order(l), Real(0), group, sums));
        };
        // The body of order m also forms the derivatives of order m - 1, from its harmonics.
        bool previousTiny = false;
        for (std::size_t m = 0; m <= l; ++m) {
            const bool tinyPower = anyTiny && group.tinyBegin <= m && m < group.tinyEnd;
            const Vector scaled = tinyPower ? scaledLegendre<true>(m, jacobi) : scaledLegendre<false>(m, jacobi);
            const bool tiny = tinyPower && (!withGradients || mayRoundToSubnormal(scaled));
            tiny || (withGradients && previousTiny) ? order(m, scaled, std::true_type{})
                                                    : order(m, scaled, std::false_type{});
            previousTiny = tiny;
        }
        if constexpr (withGradients) {
            previousTiny ? last(std::true_type{}) : last(std::false_type{});
        }
        group.sums = sums;
    }

    /**
     * Stages the harmonic (re, im) of (l, m) among its degree's columns, in the
     * form asked for; real output takes both columns of |m| from the order m >= 0.
     */
    template <Form form, bool tiny>
    KELO_LANE_INLINE void stageHarmonic(Real* staged, std::size_t l, std::int64_t m, Vector re, Vector im) const {
        if constexpr (form == Form::complex) {
            Real* const column = staged + 2 * orderColumn(l, m) * kLanes;
            L::store(column, re);
            L::store(column + kLanes, im);
        } else if constexpr (form == Form::scaledComplex) {
            const Vector factor = L::broadcast(m_coefficients->factor(l, m));
            Real* const column = staged + 2 * orderColumn(l, m) * kLanes;
            L::store(column, times<tiny>(factor, re));
            L::store(column + kLanes, times<tiny>(factor, im));
        } else {
            const Vector factor = L::broadcast(m_coefficients->factor(l, m));
            L::store(staged + orderColumn(l, m) * kLanes, times<tiny>(factor, re));
            if (m > 0) {
                const Vector conjugateFactor = L::broadcast(m_coefficients->factor(l, -m));
                L::store(staged + orderColumn(l, -m) * kLanes, times<tiny>(conjugateFactor, im));
            }
        }
    }

    /** How the ladder term joins the d/dphi of an order. */
    enum class Ladder { Subtract, None, Add };

    /** d/dphi and d/dtheta of one harmonic, in parts. */
    struct Derivatives {
        Vector phiRe;
        Vector phiIm;
        Vector thetaRe;
        Vector thetaIm;
    };

    /**
     * Stages the derivatives of (l, m) among its degree's columns, in the form
     * asked for; real output takes both columns of |m| from the order m >= 0.
     */
    template <Form form, bool tiny>
    KELO_LANE_INLINE void stageDerivatives(Real* staged, std::size_t l, std::int64_t m,
                                           const Derivatives& d) const {
        if constexpr (form == Form::real) {
            const Vector factor = L::broadcast(m_coefficients->factor(l, m));
            Real* const column = staged + 2 * orderColumn(l, m) * kLanes;
            L::store(column, times<tiny>(factor, d.phiRe));
            L::store(column + kLanes, times<tiny>(factor, d.thetaRe));
            if (m > 0) {
                const Vector conjugateFactor = L::broadcast(m_coefficients->factor(l, -m));
                Real* const conjugate = staged + 2 * orderColumn(l, -m) * kLanes;
                L::store(conjugate, times<tiny>(conjugateFactor, d.phiIm));
                L::store(conjugate + kLanes, times<tiny>(conjugateFactor, d.thetaIm));
            }
        } else {
            const Vector parts[] = {d.phiRe, d.phiIm, d.thetaRe, d.thetaIm};
            Real* const column = staged + 4 * orderColumn(l, m) * kLanes;
            const Vector factor = L::broadcast(form == Form::complex ? Real(1) : m_coefficients->factor(l, m));
            for (std::size_t k = 0; k < 4; ++k) {
                L::store(column + k * kLanes, form == Form::complex ? parts[k] : times<tiny>(factor, parts[k]));
            }
        }
    }

    /** The derivatives of one order; sums collects d/dphi. Products by zero give no subnormals. */
    template <Ladder ladderTerm, bool tiny>
    KELO_LANE_INLINE static Derivatives derivativesOfOrder(Vector re, Vector im, Vector nextRe, Vector nextIm,
                                                           Vector cotangent, Real order, Real ladder,
                                                           const Group& group, Vector& sums) {
        const Vector firstRe = times<tiny>(cotangent, re) - Real(0) * im;
        const Vector firstIm = times<tiny>(cotangent, im) + Real(0) * re;
        const Vector thetaRe = Real(0) * re - times<tiny>(L::broadcast(order), im);
        const Vector thetaIm = Real(0) * im + times<tiny>(L::broadcast(order), re);
        Vector phiRe = firstRe;
        Vector phiIm = firstIm;
        if constexpr (ladderTerm != Ladder::None) {
            const Vector stepRe = ladder * group.stepCos - group.zeroStepSin;
            const Vector stepIm = ladder * group.stepSin + group.zeroStepCos;
            const Vector secondRe = times<tiny>(stepRe, nextRe) - times<tiny>(stepIm, nextIm);
            const Vector secondIm = times<tiny>(stepRe, nextIm) + times<tiny>(stepIm, nextRe);
            phiRe = ladderTerm == Ladder::Add ? firstRe + secondRe : firstRe - secondRe;
            phiIm = ladderTerm == Ladder::Add ? firstIm + secondIm : firstIm - secondIm;
        }
        sums += phiRe + phiIm;
        return {phiRe, phiIm, thetaRe, thetaIm};
    }

    /** The first lane of v: a group of one point holds it in every lane. */
    KELO_LANE_INLINE static Real firstLane(Vector v) {
        Real lanes[kLanes];
        L::store(lanes, v);
        return lanes[0];
    }

    /**
     * A group of one point at one degree, seen as the iterator sees the
     * evaluator's tables. It answers for that degree only: jacobi(m, k) is
     * p_k^(m) with k = l - m.
     */
    class DegreeTables {
    public:
        DegreeTables(const SeriesKernel& kernel, const Group& point, const LaneTable& jacobi)
            : m_kernel(kernel), m_point(point), m_jacobi(jacobi) {}

        Real cosPhi() const { return firstLane(m_point.cosPhi); }
        Real sinPhi() const { return firstLane(m_point.sinPhi); }
        std::complex<Real> expNegTheta() const {
            return {firstLane(m_point.stepCos), firstLane(m_point.stepSin)};
        }
        std::complex<Real> thetaHarmonic(std::uint32_t m) const {
            return {m_kernel.m_cosM.first(m), m_kernel.m_sinM.first(m)};
        }
        Real sinPower(std::uint32_t k) const { return m_kernel.m_sinPowers.first(k); }
        Real jacobi(std::uint32_t m, std::uint32_t) const { return m_jacobi.first(m); }
        Real legendre(std::uint32_t, std::uint32_t m) const { return sinPower(m) * m_jacobi.first(m); }

    private:
        const SeriesKernel& m_kernel;
        const Group& m_point;
        const LaneTable& m_jacobi;
    };

    /**
     * Calls write(tables, l, m) for each signed order m of each degree l in
     * series order, with the tables of the point (phi, theta) at degree l.
     */
    template <typename Write>
    void forEachTerm(Real phi, Real theta, Write write) {
        Group point = prepareGroup(&phi, &theta, 1);
        for (std::uint32_t l = 0; l <= m_lmax; ++l) {
            const DegreeTables tables(*this, point, stepRecurrence(l, point));
            for (std::uint32_t m = 0; m <= l; ++m) {
                write(tables, l, static_cast<std::int32_t>(m));
            }
            for (std::uint32_t m = 1; m_negativeM && m <= l; ++m) {
                write(tables, l, -static_cast<std::int32_t>(m));
            }
        }
    }

    /**
     * Writes the value z of (l, m) in the form asked for to a point's row,
     * whose columns hold `width` Reals each, at `offset` within its column (a
     * complex value takes two Reals there). Real output takes both columns of
     * |m| from the order m >= 0 and skips m < 0.
     */
    template <Form form>
    void writeTerm(Real* row, std::size_t width, std::size_t offset, std::size_t l, std::int64_t m,
                   std::complex<Real> z) const {
        Real* entries = row + width * column(l, m) + offset;
        if constexpr (form == Form::complex) {
            entries[0] = z.real();
            entries[1] = z.imag();
        } else if constexpr (form == Form::scaledComplex) {
            const Real factor = m_coefficients->factor(l, m);
            entries[0] = factor * z.real();
            entries[1] = factor * z.imag();
        } else if (m >= 0) {
            entries[0] = m_coefficients->factor(l, m) * z.real();
            if (m > 0) {
                row[width * column(l, -m) + offset] = m_coefficients->factor(l, -m) * z.imag();
            }
        }
    }

    template <Form form>
    [[gnu::noinline, gnu::cold]] void recoveredValues(Real phi, Real theta, Real* out) {
        StreamedRows<Real>::fence();  // these stores come after any streamed to the same row
        constexpr std::size_t width = form == Form::real ? 1 : 2;
        forEachTerm(phi, theta, [&](const DegreeTables& tables, std::uint32_t l, std::int32_t m) {
            writeTerm<form>(out, width, 0, l, m,
                            harmonic(tables, l, static_cast<std::uint32_t>(m < 0 ? -m : m), m < 0));
        });
    }

    template <Form form>
    [[gnu::noinline, gnu::cold]] void recoveredGradients(Real phi, Real theta, Real* gradients, Real* harmonics) {
        StreamedRows<Real>::fence();  // these stores come after any streamed to the same row
        // A column of gradients holds d/dphi, then d/dtheta, each taking a value's width.
        constexpr std::size_t width = form == Form::real ? 1 : 2;
        forEachTerm(phi, theta, [&](const DegreeTables& tables, std::uint32_t l, std::int32_t m) {
            const std::complex<Real> value =
                harmonic(tables, l, static_cast<std::uint32_t>(m < 0 ? -m : m), m < 0);
            if (harmonics != nullptr) {
                writeTerm<form>(harmonics, width, 0, l, m, value);
            }
            writeTerm<form>(gradients, 2 * width, 0, l, m, phiDerivative(tables, l, m, value));
            writeTerm<form>(gradients, 2 * width, width, l, m,
                            multiply(std::complex<Real>(Real(0), static_cast<Real>(m)), value));
        });
    }

    const SeriesCoefficients<Real>* m_coefficients;
    std::uint32_t m_lmax;
    bool m_negativeM;
    Form m_form;
    bool m_tinyOrders;  // products that may round to subnormal floats are formed in double
    LaneTable m_sinPowers;
    LaneTable m_cosM;
    LaneTable m_sinM;
    LaneTable m_negSinM;
    LaneTable m_zeroCosM;
    LaneTable m_zeroSinM;
    LaneTable m_zeroNegSinM;
    Group m_tinyGroup;  // a group that tinyDegree() evaluates
    std::array<LaneTable, 3> m_rows;  // the Jacobi values of the last three degrees
    LaneTable m_cotangents;     // m cot(phi)
    LaneTable m_negCotangents;  // -m cot(phi), as (-m) cos(phi) / sin(phi)
    CacheLineVector<Real> m_valueColumns;  // the stages of a degree's outputs
    CacheLineVector<Real> m_gradientColumns;
    StreamedRows<Real> m_valueRows;  // a group's rows, when they are streamed
    StreamedRows<Real> m_gradientRows;
};

}  // namespace kelo::detail
