#pragma once

#include <complex>
#include <cstddef>

#include "kelo/conventions.hpp"
#include "kelo/xyz_kernel.hpp"
#include "kelo/xyz_tables.hpp"

namespace kelo {

namespace detail {

/** Writes the harmonics of vectors first..last-1 at their places in output. */
template <typename Real, Output output>
void writeXyzValues(XyzKernel<Real, output>& kernel, Real* values, const Real* xyz, std::size_t first,
                    std::size_t last) {
    kernel.values(xyz + 3 * first, last - first, values + first * kernel.valueWidth());
}

/**
 * Writes the gradients and harmonics of vectors first..last-1 at their places;
 * either output may be null. The kernel was built for gradients if they are asked for.
 */
template <typename Real, Output output>
void writeXyzGradients(XyzKernel<Real, output>& kernel, Real* gradients, Real* harmonics, const Real* xyz,
                       std::size_t first, std::size_t last) {
    if (gradients == nullptr) {
        if (harmonics != nullptr) {
            writeXyzValues(kernel, harmonics, xyz, first, last);
        }
        return;
    }
    const std::size_t width = kernel.valueWidth();
    kernel.gradients(xyz + 3 * first, last - first, gradients + 3 * first * width,
                     harmonics == nullptr ? nullptr : harmonics + first * width);
}

}  // namespace detail

/**
 * Evaluates the harmonics Y_l^m, l = 0..lmax, of the directions of N vectors,
 * without trigonometric functions:
 *
 *     Y_l^m(r / |r|) = Q_l^m(z) (x + i y)^m,   (x, y, z) = r / |r|,
 *
 * with Q_l^m(z) = N_l^m P_l^m(z) / ((1 - z^2)^(m/2) sqrt(2 pi)) a polynomial in z.
 *
 * A vector of any finite non-zero length gives the harmonics of its direction;
 * it is normalised without overflow or underflow. The zero vector has no
 * direction: it gets the mean of each harmonic over the sphere, which is Y_0^0
 * for l = 0 and 0 for every l > 0. A vector with an infinite or NaN component
 * gets NaN in every value.
 *
 * The output is point-major, as for evaluate_SPH: the sphCount values of
 * vector 0 in series order (l = 0..lmax; within degree l the orders m = 0..l,
 * then m = -1..-l when negative_m), then those of vector 1, and so on, with
 * sphCount = (lmax + 1)^2, or (lmax + 1)(lmax + 2)/2 without negative orders.
 * Positions are counted in size_t.
 *
 * @param output N * sphCount writable values
 * @param lmax highest degree, inclusive; at most PointSPHEvaluator<Real>::maxLmax
 * @param xyz N vectors, each three contiguous components x, y, z
 * @param N number of vectors
 * @param negative_m whether the orders -1..-l follow 0..l in every degree
 * @param convention normalisation and phase of the harmonics (see Convention)
 * @throws std::length_error if lmax is too large, std::bad_alloc if the
 *         tables cannot be allocated; nothing is written then
 */
template <typename Real>
void evaluate_SPH_xyz(std::complex<Real>* output, unsigned int lmax, const Real* xyz, std::size_t N,
                      bool negative_m, Convention convention = {}) {
    const detail::XyzTables<Real> tables(lmax, negative_m, convention, Output::complex, false);
    detail::XyzKernel<Real, Output::complex> kernel(tables, false);
    detail::writeXyzValues(kernel, detail::realParts(output), xyz, 0, N);
}

/**
 * Evaluates the real harmonics, l = 0..lmax, of the directions of N vectors:
 * the column of (l, m) holds Y_l^0 for m = 0, sqrt(2) Re Y_l^m for m > 0 and
 * sqrt(2) Im Y_l^|m| for m < 0, times the convention's factor (see
 * Convention), always with the negative orders: (lmax + 1)^2 values per
 * vector, in the order of evaluate_SPH_xyz.
 *
 * @param output N * (lmax + 1)^2 writable values
 * @param lmax, xyz, N, convention as for the complex evaluate_SPH_xyz
 * @throws as the complex evaluate_SPH_xyz, before anything is written
 */
template <typename Real>
void evaluate_SPH_xyz(Real* output, unsigned int lmax, const Real* xyz, std::size_t N,
                      Convention convention = {}) {
    const detail::XyzTables<Real> tables(lmax, true, convention, Output::real, false);
    detail::XyzKernel<Real, Output::real> kernel(tables, false);
    detail::writeXyzValues(kernel, output, xyz, 0, N);
}

/**
 * Evaluates the gradients with respect to the vector, and optionally the
 * values, of the complex harmonics of evaluate_SPH_xyz, in one pass.
 *
 * The harmonics depend on the direction only, so their gradient at r is
 * tangential to the sphere through r and scales as 1 / |r|. Seen as an array
 * of shape (N, sphCount, 3), the gradients hold (d/dx, d/dy, d/dz) in the order
 * of the harmonics. The zero vector gets zero gradients; a vector with an
 * infinite or NaN component gets NaN.
 *
 * @param gradients 3 * N * sphCount writable values, or null to skip them
 * @param harmonics N * sphCount writable values, or null to skip them
 * @param lmax, xyz, N, negative_m, convention as for evaluate_SPH_xyz
 * @throws as evaluate_SPH_xyz, before anything is written
 */
template <typename Real>
void evaluate_SPH_xyz_with_grads(std::complex<Real>* gradients, std::complex<Real>* harmonics,
                                 unsigned int lmax, const Real* xyz, std::size_t N, bool negative_m,
                                 Convention convention = {}) {
    const bool withGradients = gradients != nullptr;
    const detail::XyzTables<Real> tables(lmax, negative_m, convention, Output::complex, withGradients);
    detail::XyzKernel<Real, Output::complex> kernel(tables, withGradients);
    detail::writeXyzGradients(kernel, detail::realParts(gradients), detail::realParts(harmonics), xyz, 0, N);
}

/**
 * evaluate_SPH_xyz_with_grads for the real harmonics: the gradients are an
 * array of shape (N, (lmax + 1)^2, 3).
 *
 * @param gradients 3 * N * (lmax + 1)^2 writable values, or null to skip them
 * @param harmonics N * (lmax + 1)^2 writable values, or null to skip them
 * @param lmax, xyz, N, convention as for evaluate_SPH_xyz
 * @throws as evaluate_SPH_xyz, before anything is written
 */
template <typename Real>
void evaluate_SPH_xyz_with_grads(Real* gradients, Real* harmonics, unsigned int lmax, const Real* xyz,
                                 std::size_t N, Convention convention = {}) {
    const bool withGradients = gradients != nullptr;
    const detail::XyzTables<Real> tables(lmax, true, convention, Output::real, withGradients);
    detail::XyzKernel<Real, Output::real> kernel(tables, withGradients);
    detail::writeXyzGradients(kernel, gradients, harmonics, xyz, 0, N);
}

}  // namespace kelo
