#pragma once

#include <algorithm>
#include <complex>
#include <cstddef>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "kelo/batch.hpp"
#include "kelo/series_kernel.hpp"

namespace kelo {

namespace detail {

/**
 * Harmonics a thread should have to write at least: starting a thread costs
 * tens of microseconds, the time of some 10^4 harmonics.
 */
constexpr std::size_t kHarmonicsPerThread = std::size_t{1} << 15;

/**
 * Splits the points 0..N-1 into contiguous blocks, one per thread, and runs
 * writeBlock(kernel, first, last) for each, with a kernel of its own. The
 * kernels are built before any thread starts, so an allocation failure throws
 * before anything is written; a thread that cannot be started leaves its block
 * to the calling thread, which always writes the last block itself. The split
 * decides only who writes a point, never its bits.
 */
template <typename Real, typename WriteBlock>
void forEachBlock(unsigned int lmax, bool negative_m, bool gradients, std::size_t N,
                  unsigned int threads, WriteBlock writeBlock) {
    std::vector<std::unique_ptr<SeriesKernel<Real>>> kernels;
    kernels.push_back(std::make_unique<SeriesKernel<Real>>(lmax, negative_m, gradients));
    const std::size_t work = N * kernels.front()->count();
    const std::size_t blocks = std::max<std::size_t>(
        1, std::min({std::size_t{threads}, N, work / kHarmonicsPerThread}));
    while (kernels.size() < blocks) {
        kernels.push_back(std::make_unique<SeriesKernel<Real>>(lmax, negative_m, gradients));
    }

    const std::size_t blockLength = (N + blocks - 1) / blocks;
    std::vector<std::thread> workers;
    workers.reserve(blocks - 1);
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::size_t first = block * blockLength;
        const std::size_t last = std::min(N, first + blockLength);
        SeriesKernel<Real>& kernel = *kernels[block];
        if (block + 1 < blocks) {
            try {
                workers.emplace_back(
                    [&writeBlock, &kernel, first, last] { writeBlock(kernel, first, last); });
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

}  // namespace detail

/**
 * evaluate_SPH on up to `threads` threads, for any number of points: the
 * points are split into contiguous blocks, and the output is bit for bit that
 * of evaluate_SPH. Few points use fewer threads.
 *
 * @param threads the most threads to use, the calling one included; 0 counts as 1
 * @throws as evaluate_SPH, before anything is written
 */
template <typename Real>
void evaluate_SPH_parallel(std::complex<Real>* output, unsigned int lmax, const Real* phi,
                           const Real* theta, std::size_t N, bool negative_m, unsigned int threads) {
    detail::forEachBlock<Real>(
        lmax, negative_m, false, N, threads,
        [=](detail::SeriesKernel<Real>& kernel, std::size_t first, std::size_t last) {
            detail::writeValues(kernel, output, phi, theta, first, last);
        });
}

/**
 * evaluate_SPH_with_grads on up to `threads` threads, for any number of
 * points, bit for bit.
 *
 * @param threads the most threads to use, the calling one included; 0 counts as 1
 * @throws as evaluate_SPH, before anything is written
 */
template <typename Real>
void evaluate_SPH_with_grads_parallel(std::complex<Real>* gradients, std::complex<Real>* harmonics,
                                      unsigned int lmax, const Real* phi, const Real* theta,
                                      std::size_t N, bool negative_m, unsigned int threads) {
    detail::forEachBlock<Real>(
        lmax, negative_m, gradients != nullptr, N, threads,
        [=](detail::SeriesKernel<Real>& kernel, std::size_t first, std::size_t last) {
            detail::writeGradients(kernel, gradients, harmonics, phi, theta, first, last);
        });
}

}  // namespace kelo
