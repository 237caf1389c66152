#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kelo/cache_lines.hpp"
#include "kelo/complex_arithmetic.hpp"

// Kernels run their loops across the points of a group, one vector lane each.
// Where GCC can pick a clone at load time they are also built for AVX2. That
// clone enables no FMA instructions, so none can be formed behind
// -ffp-contract=off's back, and vector lanes perform the same IEEE operations
// as scalar code: every clone writes the same bits. Defining KELO_VECTOR_CLONES
// (empty, say) beforehand builds for the compiler's target alone.
#ifndef KELO_VECTOR_CLONES
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define KELO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KELO_VECTOR_CLONES
#endif
#endif

namespace kelo::detail {

/** An integer as wide as Real: the lanes of a comparison. */
template <typename Real>
using MaskOf = std::conditional_t<sizeof(Real) == 8, std::int64_t, std::int32_t>;

// productInDouble(x, y) is the product x y of Real formed in double and rounded
// once, which gives the same bits: double holds every product of two floats
// exactly. A float product that rounds to a subnormal, or has a subnormal
// factor and no zero one, takes a microcode assist of about a hundred cycles;
// the conversions to and from double do not.

// Defining KELO_SCALAR_LANES evaluates one point at a time, as compilers
// without GCC's vector extensions do.
#if defined(__GNUC__) && !defined(KELO_SCALAR_LANES)

// Vector arguments are passed differently with and without AVX (GCC's
// -Wpsabi note). Every function taking or returning one is forced inline, so
// none is ever called across the target clones.
#define KELO_LANE_INLINE [[gnu::always_inline]] inline
// The same for a lambda, after its parameters.
#define KELO_LAMBDA_INLINE __attribute__((always_inline))

/**
 * One value per point of a group, in a 32-byte vector. Arithmetic on it is
 * the IEEE operation of Real in every lane, so a lane holds the bits that
 * scalar code computes for its point.
 */
template <typename Real>
struct Lanes {
    static constexpr std::size_t count = 32 / sizeof(Real);
    typedef Real Vector __attribute__((vector_size(32)));
    typedef MaskOf<Real> Mask __attribute__((vector_size(32)));

    // Tables hold Reals: accesses through this type need only Real's alignment,
    // and alias Reals only, so the compiler keeps other pointers in registers.
    typedef Real Unaligned __attribute__((vector_size(32), aligned(alignof(Real))));

    KELO_LANE_INLINE static Vector load(const Real* from) {
        return *reinterpret_cast<const Unaligned*>(from);
    }
    KELO_LANE_INLINE static void store(Real* to, Vector v) { *reinterpret_cast<Unaligned*>(to) = v; }

    // Rows take doubles in 16-byte halves, which never split a complex value's
    // alignment: a non-temporal store each where they are streamed.
    typedef Real Half __attribute__((vector_size(16), aligned(alignof(Real))));
    /**
     * Whether a stage can stream its blocks itself: in 16-byte pieces, to rows
     * aligned to 16 bytes. A block's stores reach into one or two lines of
     * every lane's row, which stay part-written until the next block, so
     * they must all fit in the write-combining buffers: a float group's 8
     * rows streamed that way took up to 3.3 times as long as through
     * StreamedRows' buffer, on AMD Zen 4.
     */
#if defined(__SSE2__)
    static constexpr bool streamsBlocks = 2 * count <= kWriteCombiningLines;
#else
    static constexpr bool streamsBlocks = false;
#endif
    /** Two doubles at `to`; streamed, by a non-temporal store, `to` aligned to 16 bytes. */
    template <bool streamed>
    KELO_LANE_INLINE static void storeHalf(Real* to, Half half) {
        static_assert(std::is_same_v<Real, double>);
        if constexpr (streamed && streamsBlocks) {
            typedef Real Aligned __attribute__((vector_size(16)));
            __builtin_ia32_movntpd(to, Aligned(half));
        } else {
            *reinterpret_cast<Half*>(to) = half;
        }
    }
    /** Four doubles at `to`, in two halves. */
    template <bool streamed>
    KELO_LANE_INLINE static void storeHalves(Real* to, Vector v) {
        storeHalf<streamed>(to, __builtin_shufflevector(v, v, 0, 1));
        storeHalf<streamed>(to + 2, __builtin_shufflevector(v, v, 2, 3));
    }
    /** Four doubles: the two at low, then the two at high. */
    KELO_LANE_INLINE static Vector halves(const Real* low, const Real* high) {
        return __builtin_shufflevector(*reinterpret_cast<const Half*>(low), *reinterpret_cast<const Half*>(high),
                                       0, 1, 2, 3);
    }

    KELO_LANE_INLINE static Vector broadcast(Real value) { return Vector{} + value; }

    /** The correctly rounded square root in every lane. */
    KELO_LANE_INLINE static Vector sqrt(Vector value) {
#if defined(__SSE2__)
        // GCC's vector extensions have no square root, and a loop of std::sqrt
        // stays scalar for errno's sake; SSE2's takes half a Vector at a time.
        typedef Real Half __attribute__((vector_size(16)));
        if constexpr (count == 4) {
            const Half low = __builtin_ia32_sqrtpd(Half{value[0], value[1]});
            const Half high = __builtin_ia32_sqrtpd(Half{value[2], value[3]});
            return Vector{low[0], low[1], high[0], high[1]};
        } else {
            const Half low = __builtin_ia32_sqrtps(Half{value[0], value[1], value[2], value[3]});
            const Half high = __builtin_ia32_sqrtps(Half{value[4], value[5], value[6], value[7]});
            return Vector{low[0], low[1], low[2], low[3], high[0], high[1], high[2], high[3]};
        }
#else
        for (std::size_t j = 0; j < count; ++j) {
            value[j] = std::sqrt(value[j]);
        }
        return value;
#endif
    }

    /**
     * Splits `count` triples (x, y, z), stored one after the other, into the
     * x, y and z of every lane.
     */
    KELO_LANE_INLINE static void loadTriples(const Real* triples, Vector& x, Vector& y, Vector& z) {
        const Vector a = load(triples);
        const Vector b = load(triples + count);
        const Vector c = load(triples + 2 * count);
        // Lane j of component k is entry 3 j + k: first from a and b, then from c.
        if constexpr (count == 4) {
            x = __builtin_shuffle(__builtin_shuffle(a, b, Mask{0, 3, 6, 7}), c, Mask{0, 1, 2, 5});
            y = __builtin_shuffle(__builtin_shuffle(a, b, Mask{1, 4, 7, 0}), c, Mask{0, 1, 2, 6});
            z = __builtin_shuffle(__builtin_shuffle(a, b, Mask{2, 5, 0, 0}), c, Mask{0, 1, 4, 7});
        } else {
            x = __builtin_shuffle(__builtin_shuffle(a, b, Mask{0, 3, 6, 9, 12, 15, 0, 0}), c,
                                  Mask{0, 1, 2, 3, 4, 5, 10, 13});
            y = __builtin_shuffle(__builtin_shuffle(a, b, Mask{1, 4, 7, 10, 13, 0, 0, 0}), c,
                                  Mask{0, 1, 2, 3, 4, 8, 11, 14});
            z = __builtin_shuffle(__builtin_shuffle(a, b, Mask{2, 5, 8, 11, 14, 0, 0, 0}), c,
                                  Mask{0, 1, 2, 3, 4, 9, 12, 15});
        }
    }

    /** All ones in the lanes where value is NaN. */
    KELO_LANE_INLINE static Mask nan(Vector value) { return value != value; }

    KELO_LANE_INLINE static bool any(Mask mask, std::size_t lane) { return mask[lane] != 0; }

    /** Whether any lane of the mask is set. */
    KELO_LANE_INLINE static bool anyLane(Mask mask) {
        MaskOf<Real> lanes = 0;
        for (std::size_t j = 0; j < count; ++j) {
            lanes |= mask[j];
        }
        return lanes != 0;
    }

    /**
     * Transposes a block of `count` columns held lane-major (column k of lane j
     * at columns[k * count + j]) into the points' rows: rows[j][offset + k] for
     * every lane j, one store of `count` Reals per lane. Streamed, where
     * streamsBlocks, the stores are non-temporal, and every row's place must
     * be aligned to 16 bytes.
     */
    template <bool streamed = false>
    KELO_LANE_INLINE static void storeColumns(Real* const* rows, std::size_t offset, const Real* columns) {
        static_assert(!streamed || streamsBlocks);
        // Each column is loaded where it is used: an array of them would be
        // copied through the stack in halves, and read back whole.
        const auto column = [columns](std::size_t k) KELO_LAMBDA_INLINE { return load(columns + k * count); };
        if constexpr (count == 4) {
            const auto half = [columns](std::size_t k, std::size_t lane) { return columns + k * count + lane; };
            // Lanes 0 and 1 of columns 0 and 2, and so on: pairing the halves of
            // the columns as they are loaded leaves one in-lane shuffle per row.
            const Vector low02 = halves(half(0, 0), half(2, 0));
            const Vector low13 = halves(half(1, 0), half(3, 0));
            const Vector high02 = halves(half(0, 2), half(2, 2));
            const Vector high13 = halves(half(1, 2), half(3, 2));
            storeHalves<streamed>(rows[0] + offset, __builtin_shuffle(low02, low13, Mask{0, 4, 2, 6}));
            storeHalves<streamed>(rows[1] + offset, __builtin_shuffle(low02, low13, Mask{1, 5, 3, 7}));
            storeHalves<streamed>(rows[2] + offset, __builtin_shuffle(high02, high13, Mask{0, 4, 2, 6}));
            storeHalves<streamed>(rows[3] + offset, __builtin_shuffle(high02, high13, Mask{1, 5, 3, 7}));
        } else {
            // Pairs of columns, then quadruples, then the halves of the lanes.
            Vector t[8];
            for (std::size_t k = 0; k < 8; k += 2) {
                t[k] = __builtin_shuffle(column(k), column(k + 1), Mask{0, 8, 1, 9, 4, 12, 5, 13});
                t[k + 1] = __builtin_shuffle(column(k), column(k + 1), Mask{2, 10, 3, 11, 6, 14, 7, 15});
            }
            Vector u[8];
            for (std::size_t k = 0; k < 8; k += 4) {
                u[k] = __builtin_shuffle(t[k], t[k + 2], Mask{0, 1, 8, 9, 4, 5, 12, 13});
                u[k + 1] = __builtin_shuffle(t[k], t[k + 2], Mask{2, 3, 10, 11, 6, 7, 14, 15});
                u[k + 2] = __builtin_shuffle(t[k + 1], t[k + 3], Mask{0, 1, 8, 9, 4, 5, 12, 13});
                u[k + 3] = __builtin_shuffle(t[k + 1], t[k + 3], Mask{2, 3, 10, 11, 6, 7, 14, 15});
            }
            // Whole stores: floats' rows need not be aligned to 16 bytes.
            for (std::size_t j = 0; j < 4; ++j) {
                store(rows[j] + offset, __builtin_shuffle(u[j], u[j + 4], Mask{0, 1, 2, 3, 8, 9, 10, 11}));
                store(rows[j + 4] + offset, __builtin_shuffle(u[j], u[j + 4], Mask{4, 5, 6, 7, 12, 13, 14, 15}));
            }
        }
    }

    /** Doubles, one per lane. */
    typedef double Wide __attribute__((vector_size(sizeof(double) * count)));

    /** scaleBySqrt2Pi in every lane, by the same operations: a float is widened to double. */
    KELO_LANE_INLINE static Vector scaleBySqrt2Pi(Vector legendre) {
        if constexpr (std::is_same_v<Real, double>) {
            return legendre / kSqrt2Pi;
        } else {
            return __builtin_convertvector(__builtin_convertvector(legendre, Wide) * kInverseSqrt2Pi, Vector);
        }
    }

    /** x y in every lane, formed in double for float: the same bits, without assists. */
    KELO_LANE_INLINE static Vector productInDouble(Vector x, Vector y) {
        if constexpr (std::is_same_v<Real, double>) {
            return x * y;
        } else {
            return __builtin_convertvector(__builtin_convertvector(x, Wide) * __builtin_convertvector(y, Wide),
                                           Vector);
        }
    }
};

#else

#define KELO_LANE_INLINE inline
#define KELO_LAMBDA_INLINE

/** Without vector extensions a group is one point. */
template <typename Real>
struct Lanes {
    static constexpr std::size_t count = 1;
    using Vector = Real;
    using Mask = MaskOf<Real>;

    static Vector load(const Real* from) { return *from; }
    static void store(Real* to, Vector v) { *to = v; }
    static Vector broadcast(Real value) { return value; }
    static Vector sqrt(Vector value) { return std::sqrt(value); }
    static void loadTriples(const Real* triples, Vector& x, Vector& y, Vector& z) {
        x = triples[0];
        y = triples[1];
        z = triples[2];
    }
    static Mask nan(Vector value) { return std::isnan(value) ? Mask(-1) : Mask(0); }
    static bool any(Mask mask, std::size_t) { return mask != 0; }
    static bool anyLane(Mask mask) { return mask != 0; }
    /** A block of one Real has no 16-byte pieces to stream. */
    static constexpr bool streamsBlocks = false;
    template <bool streamed = false>
    static void storeColumns(Real* const* rows, std::size_t offset, const Real* columns) {
        rows[0][offset] = columns[0];
    }
    static Vector scaleBySqrt2Pi(Vector legendre) { return kelo::scaleBySqrt2Pi(legendre); }
    static Vector productInDouble(Vector x, Vector y) {
        return static_cast<Real>(static_cast<double>(x) * static_cast<double>(y));
    }
};

#endif

/**
 * One Vector per entry, stored as Lanes<Real>::count values of Real each, in
 * cache lines of its own: each thread writes its kernel's tables.
 */
template <typename Real>
class LaneTable {
    using L = Lanes<Real>;

public:
    explicit LaneTable(std::size_t entries) : m_values(entries * L::count) {}
    KELO_LANE_INLINE typename L::Vector operator[](std::size_t entry) const {
        return L::load(m_values.data() + entry * L::count);
    }
    KELO_LANE_INLINE void set(std::size_t entry, typename L::Vector value) {
        L::store(m_values.data() + entry * L::count, value);
    }
    /** Sets one lane of an entry. */
    void setLane(std::size_t entry, std::size_t lane, Real value) { m_values[entry * L::count + lane] = value; }
    /** One lane of an entry. */
    Real lane(std::size_t entry, std::size_t lane) const { return m_values[entry * L::count + lane]; }
    /** The entry of the first point. */
    Real first(std::size_t entry) const { return m_values[entry * L::count]; }

private:
    CacheLineVector<Real> m_values;
};

/**
 * A LaneTable of at most kEntries entries held in the object itself: in a
 * kernel's frame, the compiler sees that no output aliases it.
 */
template <typename Real, std::size_t kEntries>
class FixedLaneTable {
    using L = Lanes<Real>;

public:
    KELO_LANE_INLINE typename L::Vector operator[](std::size_t entry) const {
        return L::load(m_values + entry * L::count);
    }
    KELO_LANE_INLINE void set(std::size_t entry, typename L::Vector value) {
        L::store(m_values + entry * L::count, value);
    }

private:
    Real m_values[kEntries * L::count];
};

}  // namespace kelo::detail
