#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "kelo/kelo.hpp"

namespace kelo::testing {

using Precisions = ::testing::Types<float, double>;

/** Absolute tolerance for values of order one, a few dozen roundings of Real. */
template <typename Real>
constexpr double tolerance() {
    return std::is_same_v<Real, float> ? 2e-6 : 4e-15;
}

constexpr double kPi = 3.141592653589793238462643383279502884;

template <typename Real>
bool sameBits(Real a, Real b) {
    return std::memcmp(&a, &b, sizeof(Real)) == 0;
}

template <typename Real>
bool sameBits(std::complex<Real> a, std::complex<Real> b) {
    return sameBits(a.real(), b.real()) && sameBits(a.imag(), b.imag());
}

inline std::size_t seriesLength(unsigned lmax, bool negative_m) {
    return negative_m ? (lmax + 1) * (lmax + 1) : (lmax + 1) * (lmax + 2) / 2;
}

/** The series of one point, through the batch function. */
template <typename Real>
std::vector<std::complex<Real>> series(unsigned lmax, Real phi, Real theta, bool negative_m = true) {
    std::vector<std::complex<Real>> values(seriesLength(lmax, negative_m));
    evaluate_SPH<Real>(values.data(), lmax, &phi, &theta, 1, negative_m);
    return values;
}

/** Index of (l, m) in the series with negative orders. */
inline std::size_t indexOf(int l, int m) {
    return static_cast<std::size_t>(l * l + (m >= 0 ? m : l - m));
}

/** Uniformly random angles, phi in [0, pi], theta in [0, 2 pi]. */
template <typename Real>
std::vector<std::pair<Real, Real>> randomPoints(std::size_t count, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> polar(0.0, kPi);
    std::uniform_real_distribution<double> azimuth(0.0, 2 * kPi);
    std::vector<std::pair<Real, Real>> points;
    for (std::size_t i = 0; i < count; ++i) {
        const Real phi = static_cast<Real>(polar(generator));
        points.emplace_back(phi, static_cast<Real>(azimuth(generator)));
    }
    return points;
}

template <typename Real>
using Vectors = std::vector<Real>;  // N x 3, contiguous

/** Random directions of lengths from 1e-3 to 1e3, then the axes. */
template <typename Real>
Vectors<Real> randomVectors(std::size_t count, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::normal_distribution<double> normal;
    Vectors<Real> xyz;
    for (std::size_t i = 0; i < count; ++i) {
        const double length = std::exp(2 * normal(generator));
        for (int k = 0; k < 3; ++k) {
            xyz.push_back(static_cast<Real>(length * normal(generator)));
        }
    }
    const Real axes[] = {0, 0, 1, 0, 0, -2, 3, 0, 0, 0, -0.5, 0, -0.0, 0.0, 7};
    xyz.insert(xyz.end(), std::begin(axes), std::end(axes));
    return xyz;
}

template <typename T>
bool sameArrays(const std::vector<T>& a, const std::vector<T>& b) {
    // memcmp must not see the null data of empty vectors.
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

}  // namespace kelo::testing
