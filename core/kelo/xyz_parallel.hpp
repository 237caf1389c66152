#pragma once

#include <complex>
#include <cstddef>

#include "kelo/conventions.hpp"
#include "kelo/xyz.hpp"

namespace kelo {

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
                               unsigned int threads);

/** The real evaluate_SPH_xyz on up to `threads` threads, bit for bit. */
template <typename Real>
void evaluate_SPH_xyz_parallel(Real* output, unsigned int lmax, const Real* xyz, std::size_t N,
                               Convention convention, unsigned int threads);

/** evaluate_SPH_xyz_with_grads on up to `threads` threads, bit for bit. */
template <typename Real>
void evaluate_SPH_xyz_with_grads_parallel(std::complex<Real>* gradients, std::complex<Real>* harmonics,
                                          unsigned int lmax, const Real* xyz, std::size_t N,
                                          bool negative_m, Convention convention, unsigned int threads);

/** The real evaluate_SPH_xyz_with_grads on up to `threads` threads, bit for bit. */
template <typename Real>
void evaluate_SPH_xyz_with_grads_parallel(Real* gradients, Real* harmonics, unsigned int lmax,
                                          const Real* xyz, std::size_t N, Convention convention,
                                          unsigned int threads);

}  // namespace kelo
