#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>

#include "kelo/coefficient_cache.hpp"
#include "kelo/series_kernel.hpp"

namespace kelo {

namespace detail {

/** Writes the harmonics of points first..last-1 at their places in output, as Reals. */
template <typename Real>
void writeValues(SeriesKernel<Real>& kernel, Real* output, const Real* phi, const Real* theta,
                 std::size_t first, std::size_t last) {
    const std::size_t width = kernel.valueWidth();
    for (std::size_t point = first; point < last; point += SeriesKernel<Real>::kLanes) {
        const std::size_t n = std::min(SeriesKernel<Real>::kLanes, last - point);
        kernel.values(phi + point, theta + point, n, output + point * width);
    }
    kernel.finish();
}

/**
 * Writes the gradients and harmonics of points first..last-1 at their places;
 * either output may be null. The kernel's coefficients were built for gradients if
 * they are asked for.
 */
template <typename Real>
void writeGradients(SeriesKernel<Real>& kernel, Real* gradients, Real* harmonics, const Real* phi,
                    const Real* theta, std::size_t first, std::size_t last) {
    if (gradients == nullptr) {
        if (harmonics != nullptr) {
            writeValues(kernel, harmonics, phi, theta, first, last);
        }
        return;
    }
    const std::size_t width = kernel.valueWidth();
    for (std::size_t point = first; point < last; point += SeriesKernel<Real>::kLanes) {
        const std::size_t n = std::min(SeriesKernel<Real>::kLanes, last - point);
        kernel.gradients(phi + point, theta + point, n, gradients + 2 * point * width,
                         harmonics == nullptr ? nullptr : harmonics + point * width);
    }
    kernel.finish();
}

}  // namespace detail

/**
 * Evaluates the series of harmonics Y_l^m, l = 0..lmax, at N points.
 *
 * The output is point-major: the sphCount values of point 0 in series order
 * (see PointSPHEvaluator::iterator), then those of point 1, and so on, with
 * sphCount = (lmax + 1)^2, or (lmax + 1)(lmax + 2)/2 without negative orders.
 * Positions are counted in size_t, so N * sphCount may exceed 2^32.
 *
 * @param output N * sphCount writable values
 * @param lmax highest degree, inclusive; at most PointSPHEvaluator<Real>::maxLmax
 * @param phi N polar angles
 * @param theta N azimuthal angles
 * @param N number of points
 * @param negative_m whether the orders -1..-l follow 0..l in every degree
 * @throws std::length_error if lmax is too large, std::bad_alloc if the
 *         tables cannot be allocated; nothing is written then
 */
template <typename Real>
void evaluate_SPH(std::complex<Real>* output, unsigned int lmax, const Real* phi,
                  const Real* theta, unsigned int N, bool negative_m) {
    using Kernel = detail::SeriesKernel<Real>;
    const auto coefficients = detail::sharedCoefficients<Real>(lmax, false);
    Kernel kernel(*coefficients, negative_m,
                  Kernel::streamingFor(*coefficients, negative_m, N, detail::realParts(output), nullptr));
    detail::writeValues(kernel, detail::realParts(output), phi, theta, 0, N);
}

/**
 * Evaluates dY_l^m/dphi and dY_l^m/dtheta, and optionally Y_l^m, at N points in
 * one pass.
 *
 * Seen as an array of shape (N, sphCount, 2), the gradients hold the pairs
 * (d/dphi, d/dtheta) in the order of the harmonics of evaluate_SPH; the
 * harmonics, when asked for, are laid out as there. d/dtheta = i m Y_l^m.
 *
 * @param gradients 2 * N * sphCount writable values, or null to skip them
 * @param harmonics N * sphCount writable values, or null to skip them
 * @param lmax, phi, theta, N, negative_m as for evaluate_SPH
 * @throws as evaluate_SPH, before anything is written
 */
template <typename Real>
void evaluate_SPH_with_grads(std::complex<Real>* gradients, std::complex<Real>* harmonics,
                             unsigned int lmax, const Real* phi, const Real* theta,
                             unsigned int N, bool negative_m) {
    using Kernel = detail::SeriesKernel<Real>;
    const auto coefficients = detail::sharedCoefficients<Real>(lmax, gradients != nullptr);
    Kernel kernel(*coefficients, negative_m,
                  Kernel::streamingFor(*coefficients, negative_m, N, detail::realParts(harmonics),
                                       detail::realParts(gradients)));
    detail::writeGradients(kernel, detail::realParts(gradients), detail::realParts(harmonics), phi, theta,
                           0, N);
}

}  // namespace kelo
