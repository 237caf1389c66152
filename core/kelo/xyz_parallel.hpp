#pragma once

#include <complex>
#include <cstddef>

#include "kelo/conventions.hpp"
#include "kelo/thread_blocks.hpp"
#include "kelo/xyz.hpp"
#include "kelo/xyz_kernel.hpp"
#include "kelo/xyz_tables.hpp"

namespace kelo {

namespace detail {

/**
 * Runs writeBlock(kernel, first, last) for blocks of the vectors 0..N-1 on up
 * to `threads` threads (see forEachBlock), each block with a kernel of its
 * own; the kernels share the tables.
 */
template <typename Real, Output output, typename WriteBlock>
void forEachXyzBlock(const XyzTables<Real>& tables, bool gradients, std::size_t N, unsigned int threads,
                     WriteBlock writeBlock) {
    using Kernel = XyzKernel<Real, output>;
    // A kernel's setup is filling its lane tables: up to fifteen of them, with
    // (lmax + 1) kLanes entries each (none below degree 5, a bound all the same).
    const std::size_t setup = 15 * (std::size_t{tables.lmax()} + 1) * Kernel::kLanes;
    const std::size_t groups = (N + Kernel::kLanes - 1) / Kernel::kLanes;
    const std::size_t blocks = blockCount(threads, groups, N * tables.count(), setup);
    forEachBlock(
        N, Kernel::kLanes, blocks, [&tables, gradients] { return Kernel(tables, gradients); }, writeBlock);
}

/** The values of evaluate_SPH_xyz on up to `threads` threads, into Reals. */
template <typename Real, Output output>
void writeXyzValuesParallel(Real* values, unsigned int lmax, const Real* xyz, std::size_t N, bool negative_m,
                            Convention convention, unsigned int threads) {
    const XyzTables<Real> tables(lmax, negative_m, convention, output, false);
    forEachXyzBlock<Real, output>(tables, false, N, threads,
                                  [=](XyzKernel<Real, output>& kernel, std::size_t first, std::size_t last) {
                                      writeXyzValues(kernel, values, xyz, first, last);
                                  });
}

/** The gradients and values of evaluate_SPH_xyz_with_grads on up to `threads` threads, into Reals. */
template <typename Real, Output output>
void writeXyzGradientsParallel(Real* gradients, Real* harmonics, unsigned int lmax, const Real* xyz,
                               std::size_t N, bool negative_m, Convention convention, unsigned int threads) {
    const XyzTables<Real> tables(lmax, negative_m, convention, output, gradients != nullptr);
    forEachXyzBlock<Real, output>(tables, gradients != nullptr, N, threads,
                                  [=](XyzKernel<Real, output>& kernel, std::size_t first, std::size_t last) {
                                      writeXyzGradients(kernel, gradients, harmonics, xyz, first, last);
                                  });
}

}  // namespace detail

/**
 * evaluate_SPH_xyz on up to `threads` threads: the vectors are split into
 * contiguous blocks, and the output is bit for bit that of evaluate_SPH_xyz.
 * Few vectors use fewer threads.
 *
 * @param threads the most threads to use, the calling one included; 0 counts as 1
 * @throws as evaluate_SPH_xyz, before anything is written
 */
template <typename Real>
void evaluate_SPH_xyz_parallel(std::complex<Real>* output, unsigned int lmax, const Real* xyz,
                               std::size_t N, bool negative_m, Convention convention,
                               unsigned int threads) {
    detail::writeXyzValuesParallel<Real, Output::complex>(detail::realParts(output), lmax, xyz, N, negative_m,
                                                           convention, threads);
}

/** The real evaluate_SPH_xyz on up to `threads` threads, bit for bit. */
template <typename Real>
void evaluate_SPH_xyz_parallel(Real* output, unsigned int lmax, const Real* xyz, std::size_t N,
                               Convention convention, unsigned int threads) {
    detail::writeXyzValuesParallel<Real, Output::real>(output, lmax, xyz, N, true, convention, threads);
}

/** evaluate_SPH_xyz_with_grads on up to `threads` threads, bit for bit. */
template <typename Real>
void evaluate_SPH_xyz_with_grads_parallel(std::complex<Real>* gradients, std::complex<Real>* harmonics,
                                          unsigned int lmax, const Real* xyz, std::size_t N,
                                          bool negative_m, Convention convention, unsigned int threads) {
    detail::writeXyzGradientsParallel<Real, Output::complex>(detail::realParts(gradients),
                                                              detail::realParts(harmonics), lmax, xyz, N,
                                                              negative_m, convention, threads);
}

/** The real evaluate_SPH_xyz_with_grads on up to `threads` threads, bit for bit. */
template <typename Real>
void evaluate_SPH_xyz_with_grads_parallel(Real* gradients, Real* harmonics, unsigned int lmax,
                                          const Real* xyz, std::size_t N, Convention convention,
                                          unsigned int threads) {
    detail::writeXyzGradientsParallel<Real, Output::real>(gradients, harmonics, lmax, xyz, N, true, convention,
                                                           threads);
}

}  // namespace kelo
