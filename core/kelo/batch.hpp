#pragma once

#include <complex>
#include <cstddef>

#include "kelo/series_kernel.hpp"

namespace kelo {

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
 *         evaluator's tables cannot be allocated; nothing is written then
 */
template <typename Real>
void evaluate_SPH(std::complex<Real>* output, unsigned int lmax, const Real* phi,
                  const Real* theta, unsigned int N, bool negative_m) {
    detail::SeriesKernel<Real> kernel(lmax, negative_m, false);
    const std::size_t count = kernel.count();
    for (unsigned int point = 0; point < N; ++point) {
        kernel.values(phi[point], theta[point], output + point * count);
    }
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
    detail::SeriesKernel<Real> kernel(lmax, negative_m, gradients != nullptr);
    const std::size_t count = kernel.count();
    for (unsigned int point = 0; point < N; ++point) {
        const std::size_t position = point * count;
        if (gradients != nullptr) {
            kernel.gradients(phi[point], theta[point], gradients + 2 * position,
                             harmonics == nullptr ? nullptr : harmonics + position);
        } else if (harmonics != nullptr) {
            kernel.values(phi[point], theta[point], harmonics + position);
        }
    }
}

}  // namespace kelo
