#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kelo/complex_arithmetic.hpp"

namespace kelo::detail {

/** An integer as wide as Real: the lanes of a comparison. */
template <typename Real>
using MaskOf = std::conditional_t<sizeof(Real) == 8, std::int64_t, std::int32_t>;

// Defining KELO_SCALAR_LANES evaluates one point at a time, as compilers
// without GCC's vector extensions do.
#if defined(__GNUC__) && !defined(KELO_SCALAR_LANES)

// Vector arguments are passed differently with and without AVX (GCC's
// -Wpsabi note). Every function taking or returning one is forced inline, so
// none is ever called across the target clones.
#define KELO_LANE_INLINE [[gnu::always_inline]] inline

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

    KELO_LANE_INLINE static Vector broadcast(Real value) { return Vector{} + value; }

    /** All ones in the lanes where value is NaN. */
    KELO_LANE_INLINE static Mask nan(Vector value) { return value != value; }

    KELO_LANE_INLINE static bool any(Mask mask, std::size_t lane) { return mask[lane] != 0; }

    /** Writes (first[j], second[j]) to targets[j] + offset for every lane j. */
    KELO_LANE_INLINE static void storePairs(Real* const* targets, std::size_t offset, Vector first,
                                            Vector second) {
        // Interleaved, each lane's pair is one 2-Real store.
        Vector pairs[2];
        if constexpr (count == 4) {
            pairs[0] = __builtin_shuffle(first, second, Mask{0, 4, 1, 5});
            pairs[1] = __builtin_shuffle(first, second, Mask{2, 6, 3, 7});
        } else {
            pairs[0] = __builtin_shuffle(first, second, Mask{0, 8, 1, 9, 2, 10, 3, 11});
            pairs[1] = __builtin_shuffle(first, second, Mask{4, 12, 5, 13, 6, 14, 7, 15});
        }
        const Real* flat = reinterpret_cast<const Real*>(pairs);
        for (std::size_t j = 0; j < count; ++j) {
            std::memcpy(targets[j] + offset, flat + 2 * j, 2 * sizeof(Real));
        }
    }

    /** scaleBySqrt2Pi in every lane: widened to double, divided, rounded once. */
    KELO_LANE_INLINE static Vector scaleBySqrt2Pi(Vector legendre) {
        if constexpr (std::is_same_v<Real, double>) {
            return legendre / kSqrt2Pi;
        } else {
            typedef double Wide __attribute__((vector_size(sizeof(double) * count)));
            return __builtin_convertvector(__builtin_convertvector(legendre, Wide) / kSqrt2Pi, Vector);
        }
    }
};

#else

#define KELO_LANE_INLINE inline

/** Without vector extensions a group is one point. */
template <typename Real>
struct Lanes {
    static constexpr std::size_t count = 1;
    using Vector = Real;
    using Mask = MaskOf<Real>;

    static Vector load(const Real* from) { return *from; }
    static void store(Real* to, Vector v) { *to = v; }
    static Vector broadcast(Real value) { return value; }
    static Mask nan(Vector value) { return std::isnan(value) ? Mask(-1) : Mask(0); }
    static bool any(Mask mask, std::size_t) { return mask != 0; }
    static void storePairs(Real* const* targets, std::size_t offset, Vector first, Vector second) {
        targets[0][offset] = first;
        targets[0][offset + 1] = second;
    }
    static Vector scaleBySqrt2Pi(Vector legendre) { return kelo::scaleBySqrt2Pi(legendre); }
};

#endif

}  // namespace kelo::detail
