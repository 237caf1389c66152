#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace kelo {

/**
 * The scale of every harmonic. kelo's own harmonics are orthonormal on the
 * unit sphere; the others multiply them by a factor of the degree l:
 *
 *     orthonormal   1
 *     four_pi       sqrt(4 pi)              (the mean of |Y_l^m|^2 over the sphere is 1)
 *     schmidt       sqrt(4 pi / (2l + 1))   (Schmidt semi-normalised)
 */
enum class Normalization { orthonormal, four_pi, schmidt };

/** Whether the harmonics are complex, or real combinations of the complex ones. */
enum class Output { complex, real };

/**
 * How harmonics are scaled and signed, relative to kelo's
 *
 *     Y_l^m = N_l^|m| P_l^|m|(cos phi) exp(i m theta) / sqrt(2 pi),  Y_l^(-m) = conj(Y_l^m),
 *
 * (orthonormal, no Condon-Shortley phase).
 *
 * Complex output with condon_shortley multiplies the orders m > 0 by (-1)^m,
 * so that Y_l^(-m) = (-1)^m conj(Y_l^m), SciPy's convention.
 *
 * Real output holds, in the columns of the complex series with negative orders,
 *
 *     m = 0:  Y_l^0,   m > 0:  sqrt(2) Re Y_l^m,   m < 0:  sqrt(2) Im Y_l^|m|,
 *
 * and condon_shortley multiplies every order m != 0 by (-1)^|m|.
 */
struct Convention {
    Normalization normalization = Normalization::orthonormal;
    bool condon_shortley = false;
};

/** The factor of the normalisation for degree l, in double. */
inline double degreeFactor(Normalization normalization, std::uint32_t l) {
    // 4 pi in double; its square root and quotients are rounded once each.
    constexpr double kFourPi = 12.566370614359172;
    switch (normalization) {
        case Normalization::four_pi:
            return std::sqrt(kFourPi);
        case Normalization::schmidt:
            return std::sqrt(kFourPi / static_cast<double>(2 * std::uint64_t{l} + 1));
        case Normalization::orthonormal:
            break;
    }
    return 1.0;
}

/** The factor of the order m (signed) that the convention applies besides degreeFactor. */
inline double orderFactor(const Convention& convention, std::int64_t m, Output output) {
    const bool odd = std::llabs(m) % 2 == 1;
    if (output == Output::complex) {
        return convention.condon_shortley && m > 0 && odd ? -1.0 : 1.0;
    }
    if (m == 0) {
        return 1.0;
    }
    // sqrt(2) as a double.
    constexpr double kSqrt2 = 1.4142135623730951;
    return convention.condon_shortley && odd ? -kSqrt2 : kSqrt2;
}

/**
 * The real factor of the column (l, m) of a series in the given convention:
 * for complex output the column holds factor * Y_l^m; for real output it holds
 * factor * Re Y_l^|m| for m >= 0 and factor * Im Y_l^|m| for m < 0, with
 * kelo's Y_l^m in both.
 */
inline double columnFactor(const Convention& convention, std::uint32_t l, std::int64_t m, Output output) {
    return degreeFactor(convention.normalization, l) * orderFactor(convention, m, output);
}

}  // namespace kelo
