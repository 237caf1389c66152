#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "kelo/conventions.hpp"
#include "kelo/parallel.hpp"
#include "kelo/xyz.hpp"
#include "kelo/xyz_kernel.hpp"
#include "kelo/xyz_tables.hpp"

namespace kelo {

namespace detail {

/**
 * Splits the vectors 0..N-1 into contiguous blocks, one per thread, and runs
 * writeBlock(kernel, first, last) for each with a kernel of its own; the
 * kernels share the tables. As forEachBlock: everything is allocated before
 * any thread starts, a thread that cannot be started leaves its block to the
 * calling thread, and the split decides only who writes a vector.
 */
template <typename Real, Output output, typename WriteBlock>
void forEachXyzBlock(const XyzTables<Real>& tables, bool gradients, std::size_t N, unsigned int threads,
                     WriteBlock writeBlock) {
    using Kernel = XyzKernel<Real, output>;
    const std::size_t work = N * tables.count();
    const std::size_t blocks =
        std::max<std::size_t>(1, std::min({std::size_t{threads}, N, work / kHarmonicsPerThread}));
    std::vector<std::unique_ptr<Kernel>> kernels;
    while (kernels.size() < blocks) {
        kernels.push_back(std::make_unique<Kernel>(tables, gradients));
    }

    const std::size_t blockLength = (N + blocks - 1) / blocks;
    std::vector<std::thread> workers;
    workers.reserve(blocks - 1);
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t first = block * blockLength;
        const std::size_t last = std::min(N, first + blockLength);
        Kernel& kernel = *kernels[block];
        if (block + 1 < blocks) {
            try {
                workers.emplace_back([&writeBlock, &kernel, first, last] { writeBlock(kernel, first, last); });
                continue;
            } catch (const std::system_error&) {
                // No thread to spare: this one writes the block.
            }
        }
        writeBlock(kernel, first, last);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
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
