#pragma once

#include <complex>
#include <cstddef>

#include "kelo/batch.hpp"
#include "kelo/coefficient_cache.hpp"
#include "kelo/conventions.hpp"
#include "kelo/series_coefficients.hpp"
#include "kelo/series_kernel.hpp"
#include "kelo/thread_blocks.hpp"

namespace kelo {

namespace detail {

/**
 * Runs writeBlock(kernel, first, last) for blocks of the points 0..N-1 on up
 * to `threads` threads (see forEachBlock), with the call's coefficients
 * (sharedCoefficients) shared and a kernel of its own for each block, for a
 * call that writes the given outputs; either may be null.
 */
template <typename Real, typename WriteBlock>
void forEachKernelBlock(unsigned int lmax, bool negative_m, Convention convention, Output output,
                        const Real* harmonics, const Real* gradients, std::size_t N, unsigned int threads,
                        WriteBlock writeBlock) {
    using Kernel = SeriesKernel<Real>;
    const auto coefficients = sharedCoefficients<Real>(lmax, gradients != nullptr, convention, output);
    const Streaming streaming = Kernel::streamingFor(*coefficients, negative_m, N, harmonics, gradients);
    // A kernel's setup is filling its lane tables: up to twelve of them,
    // with (lmax + 1) kLanes entries each.
    const std::size_t setup = 12 * (std::size_t{lmax} + 1) * Kernel::kLanes;
    const std::size_t groups = (N + Kernel::kLanes - 1) / Kernel::kLanes;
    const std::size_t blocks =
        blockCount(threads, groups, N * Kernel::count(lmax, negative_m || output == Output::real), setup);
    forEachBlock(
        N, Kernel::kLanes, blocks,
        [&coefficients, negative_m, streaming] { return Kernel(*coefficients, negative_m, streaming); }, writeBlock);
}

}  // namespace detail

/**
 * evaluate_SPH on up to `threads` threads, for any number of points, in a
 * convention: the points are split into contiguous blocks, and the output is
 * bit for bit the same whatever the number of threads. In kelo's own
 * convention (the default) it is that of evaluate_SPH; in another, each value
 * is that one times its column's factor (see Convention), rounded once. Few
 * points, or little work, use fewer threads; each thread adds O(lmax) memory
 * to the O(lmax^2) tables that all share, and, for an output of more than
 * kStreamingBytes, the rows of one group of points, at most kStagedRowBytes.
 *
 * @param threads the most threads to use, the calling one included; 0 counts as 1
 * @throws as evaluate_SPH, before anything is written
 */
template <typename Real>
void evaluate_SPH_parallel(std::complex<Real>* output, unsigned int lmax, const Real* phi,
                           const Real* theta, std::size_t N, bool negative_m, Convention convention,
                           unsigned int threads) {
    detail::forEachKernelBlock<Real>(
        lmax, negative_m, convention, Output::complex, detail::realParts(output), nullptr, N, threads,
        [=](detail::SeriesKernel<Real>& kernel, std::size_t first, std::size_t last) {
            detail::writeValues(kernel, detail::realParts(output), phi, theta, first, last);
        });
}

/** evaluate_SPH_parallel in kelo's own convention. */
template <typename Real>
void evaluate_SPH_parallel(std::complex<Real>* output, unsigned int lmax, const Real* phi,
                           const Real* theta, std::size_t N, bool negative_m, unsigned int threads) {
    evaluate_SPH_parallel(output, lmax, phi, theta, N, negative_m, Convention{}, threads);
}

/**
 * The real harmonics of evaluate_SPH_parallel, (lmax + 1)^2 per point in the
 * same columns: the column of (l, m) holds its factor (see Convention) times
 * the real part of kelo's Y_l^m for m >= 0 and the imaginary part of
 * Y_l^|m| for m < 0, rounded once.
 */
template <typename Real>
void evaluate_SPH_parallel(Real* output, unsigned int lmax, const Real* phi, const Real* theta,
                           std::size_t N, Convention convention, unsigned int threads) {
    detail::forEachKernelBlock<Real>(
        lmax, true, convention, Output::real, output, nullptr, N, threads,
        [=](detail::SeriesKernel<Real>& kernel, std::size_t first, std::size_t last) {
            detail::writeValues(kernel, output, phi, theta, first, last);
        });
}

/**
 * evaluate_SPH_with_grads on up to `threads` threads, for any number of
 * points, bit for bit, in a convention as evaluate_SPH_parallel.
 *
 * @param threads the most threads to use, the calling one included; 0 counts as 1
 * @throws as evaluate_SPH, before anything is written
 */
template <typename Real>
void evaluate_SPH_with_grads_parallel(std::complex<Real>* gradients, std::complex<Real>* harmonics,
                                      unsigned int lmax, const Real* phi, const Real* theta,
                                      std::size_t N, bool negative_m, Convention convention,
                                      unsigned int threads) {
    detail::forEachKernelBlock<Real>(
        lmax, negative_m, convention, Output::complex, detail::realParts(harmonics), detail::realParts(gradients), N,
        threads,
        [=](detail::SeriesKernel<Real>& kernel, std::size_t first, std::size_t last) {
            detail::writeGradients(kernel, detail::realParts(gradients), detail::realParts(harmonics), phi,
                                   theta, first, last);
        });
}

/** evaluate_SPH_with_grads_parallel in kelo's own convention. */
template <typename Real>
void evaluate_SPH_with_grads_parallel(std::complex<Real>* gradients, std::complex<Real>* harmonics,
                                      unsigned int lmax, const Real* phi, const Real* theta,
                                      std::size_t N, bool negative_m, unsigned int threads) {
    evaluate_SPH_with_grads_parallel(gradients, harmonics, lmax, phi, theta, N, negative_m, Convention{},
                                     threads);
}

/**
 * The gradients and harmonics of the real harmonics of evaluate_SPH_parallel:
 * (N, (lmax + 1)^2, 2) real (d/dphi, d/dtheta), their columns' parts of
 * kelo's derivatives times the factors; either output may be null.
 */
template <typename Real>
void evaluate_SPH_with_grads_parallel(Real* gradients, Real* harmonics, unsigned int lmax,
                                      const Real* phi, const Real* theta, std::size_t N,
                                      Convention convention, unsigned int threads) {
    detail::forEachKernelBlock<Real>(
        lmax, true, convention, Output::real, harmonics, gradients, N, threads,
        [=](detail::SeriesKernel<Real>& kernel, std::size_t first, std::size_t last) {
            detail::writeGradients(kernel, gradients, harmonics, phi, theta, first, last);
        });
}

}  // namespace kelo
