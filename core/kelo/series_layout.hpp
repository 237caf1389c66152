#pragma once

#include <cstddef>

namespace kelo::detail {

/** Entries of the degrees before n, one per order of each: 0 + 1 + ... + n. */
constexpr std::size_t triangle(std::size_t n) { return n * (n + 1) / 2; }

/**
 * Harmonics per point for degrees 0..lmax: (lmax + 1)^2, or (lmax + 1)(lmax + 2)/2
 * without the negative orders.
 */
constexpr std::size_t seriesCount(std::size_t lmax, bool negative_m) {
    return negative_m ? (lmax + 1) * (lmax + 1) : triangle(lmax + 1);
}

}  // namespace kelo::detail
