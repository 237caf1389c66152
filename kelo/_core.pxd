# The C++ core as the binding sees it, and the helpers that shape what it is
# handed. The guards that refuse what it cannot take are in _arguments.pxd.

from libc.stddef cimport size_t
from libc.stdint cimport int64_t
from libcpp cimport bool

cdef extern from "kelo/kelo.hpp" nogil:
    const unsigned int MAX_LMAX "kelo::PointSPHEvaluator<double>::maxLmax"

    void evaluate_SPH_f "kelo::evaluate_SPH<float>" (
        float complex* output, unsigned int lmax, const float* phi, const float* theta,
        unsigned int N, bool negative_m) except +
    void evaluate_SPH_d "kelo::evaluate_SPH<double>" (
        double complex* output, unsigned int lmax, const double* phi, const double* theta,
        unsigned int N, bool negative_m) except +
    void evaluate_SPH_with_grads_f "kelo::evaluate_SPH_with_grads<float>" (
        float complex* gradients, float complex* harmonics, unsigned int lmax,
        const float* phi, const float* theta, unsigned int N, bool negative_m) except +
    void evaluate_SPH_with_grads_d "kelo::evaluate_SPH_with_grads<double>" (
        double complex* gradients, double complex* harmonics, unsigned int lmax,
        const double* phi, const double* theta, unsigned int N, bool negative_m) except +


cdef extern from "kelo/kelo.hpp" namespace "kelo" nogil:
    cpdef enum class Normalization:
        orthonormal
        four_pi
        schmidt

    cdef cppclass Convention:
        Normalization normalization
        bint condon_shortley

    # On several threads, in a convention, complex or real, bit for bit; overloaded on
    # the precision and on the type of the output.
    void evaluate_SPH_parallel "kelo::evaluate_SPH_parallel" (
        float complex* output, unsigned int lmax, const float* phi, const float* theta,
        size_t N, bool negative_m, Convention convention, unsigned int threads) except +
    void evaluate_SPH_parallel "kelo::evaluate_SPH_parallel" (
        double complex* output, unsigned int lmax, const double* phi, const double* theta,
        size_t N, bool negative_m, Convention convention, unsigned int threads) except +
    void evaluate_SPH_parallel "kelo::evaluate_SPH_parallel" (
        float* output, unsigned int lmax, const float* phi, const float* theta, size_t N,
        Convention convention, unsigned int threads) except +
    void evaluate_SPH_parallel "kelo::evaluate_SPH_parallel" (
        double* output, unsigned int lmax, const double* phi, const double* theta, size_t N,
        Convention convention, unsigned int threads) except +
    void evaluate_SPH_with_grads_parallel "kelo::evaluate_SPH_with_grads_parallel" (
        float complex* gradients, float complex* harmonics, unsigned int lmax,
        const float* phi, const float* theta, size_t N, bool negative_m,
        Convention convention, unsigned int threads) except +
    void evaluate_SPH_with_grads_parallel "kelo::evaluate_SPH_with_grads_parallel" (
        double complex* gradients, double complex* harmonics, unsigned int lmax,
        const double* phi, const double* theta, size_t N, bool negative_m,
        Convention convention, unsigned int threads) except +
    void evaluate_SPH_with_grads_parallel "kelo::evaluate_SPH_with_grads_parallel" (
        float* gradients, float* harmonics, unsigned int lmax, const float* phi,
        const float* theta, size_t N, Convention convention, unsigned int threads) except +
    void evaluate_SPH_with_grads_parallel "kelo::evaluate_SPH_with_grads_parallel" (
        double* gradients, double* harmonics, unsigned int lmax, const double* phi,
        const double* theta, size_t N, Convention convention, unsigned int threads) except +

    # The same from Cartesian vectors.
    void evaluate_SPH_xyz_parallel "kelo::evaluate_SPH_xyz_parallel" (
        float complex* output, unsigned int lmax, const float* xyz, size_t N, bool negative_m,
        Convention convention, unsigned int threads) except +
    void evaluate_SPH_xyz_parallel "kelo::evaluate_SPH_xyz_parallel" (
        double complex* output, unsigned int lmax, const double* xyz, size_t N, bool negative_m,
        Convention convention, unsigned int threads) except +
    void evaluate_SPH_xyz_parallel "kelo::evaluate_SPH_xyz_parallel" (
        float* output, unsigned int lmax, const float* xyz, size_t N, Convention convention,
        unsigned int threads) except +
    void evaluate_SPH_xyz_parallel "kelo::evaluate_SPH_xyz_parallel" (
        double* output, unsigned int lmax, const double* xyz, size_t N, Convention convention,
        unsigned int threads) except +
    void evaluate_SPH_xyz_with_grads_parallel "kelo::evaluate_SPH_xyz_with_grads_parallel" (
        float complex* gradients, float complex* harmonics, unsigned int lmax, const float* xyz,
        size_t N, bool negative_m, Convention convention, unsigned int threads) except +
    void evaluate_SPH_xyz_with_grads_parallel "kelo::evaluate_SPH_xyz_with_grads_parallel" (
        double complex* gradients, double complex* harmonics, unsigned int lmax, const double* xyz,
        size_t N, bool negative_m, Convention convention, unsigned int threads) except +
    void evaluate_SPH_xyz_with_grads_parallel "kelo::evaluate_SPH_xyz_with_grads_parallel" (
        float* gradients, float* harmonics, unsigned int lmax, const float* xyz, size_t N,
        Convention convention, unsigned int threads) except +
    void evaluate_SPH_xyz_with_grads_parallel "kelo::evaluate_SPH_xyz_with_grads_parallel" (
        double* gradients, double* harmonics, unsigned int lmax, const double* xyz, size_t N,
        Convention convention, unsigned int threads) except +


    # Sums of the harmonics of vectors by group, times weights (null: once each).
    void sum_SPH_xyz "kelo::sum_SPH_xyz" (
        float complex* sums, unsigned int lmax, const float* xyz, size_t N, const int64_t* groups,
        size_t n_groups, const float* weights, size_t K, bool negative_m, Convention convention,
        unsigned int threads) except +
    void sum_SPH_xyz "kelo::sum_SPH_xyz" (
        double complex* sums, unsigned int lmax, const double* xyz, size_t N,
        const int64_t* groups, size_t n_groups, const double* weights, size_t K, bool negative_m,
        Convention convention, unsigned int threads) except +
    void sum_SPH_xyz "kelo::sum_SPH_xyz" (
        float* sums, unsigned int lmax, const float* xyz, size_t N, const int64_t* groups,
        size_t n_groups, const float* weights, size_t K, Convention convention,
        unsigned int threads) except +
    void sum_SPH_xyz "kelo::sum_SPH_xyz" (
        double* sums, unsigned int lmax, const double* xyz, size_t N, const int64_t* groups,
        size_t n_groups, const double* weights, size_t K, Convention convention,
        unsigned int threads) except +

cdef inline Convention core_convention(str normalization, bint condon_shortley):
    """The core's convention of a checked normalisation name and phase."""
    cdef Convention convention
    convention.condon_shortley = condon_shortley
    if normalization == "4pi":
        convention.normalization = Normalization.four_pi
    elif normalization == "schmidt":
        convention.normalization = Normalization.schmidt
    else:
        convention.normalization = Normalization.orthonormal
    return convention


cdef inline object series_count(lmax, bint negative_m):
    """Harmonics per point for degrees 0..lmax: (lmax + 1)^2, or (lmax + 1)(lmax + 2)/2
    without negative orders; none for a negative degree."""
    if lmax < 0:
        return 0
    return (lmax + 1) ** 2 if negative_m else (lmax + 1) * (lmax + 2) // 2


cdef inline object aligned(angles):
    """Passes the array on, or an aligned copy of it: the core loads whole floats.

    A contiguous array may still start at an address that is no multiple of its
    item size (a view at an odd offset into a byte buffer, say), and NumPy keeps
    it as it is; loading floats from there is undefined behaviour in C++.
    """
    return angles if angles.flags.aligned else angles.copy()
