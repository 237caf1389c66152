# cython: language_level=3, boundscheck=False, wraparound=False
"""Multi-threaded evaluation into caller-provided arrays, bit for bit equal to
pointwise_sph and pointwise_sph_grads."""

import numpy as np

from kelo._arguments import degree, output, parts, precision, result_dtype, thread_count
from kelo._core cimport aligned, evaluate_SPH_parallel, evaluate_SPH_with_grads_parallel, series_count

FLOAT32 = np.dtype(np.float32)

ctypedef fused real:
    float
    double


def sph(phi, theta, lmax, *, negative_m=True, out=None, threads=None):
    """sph(phi, theta, lmax, *, negative_m=True, out=None, threads=None)

Evaluate the spherical harmonics of degrees 0..lmax at every point, on several threads.

The result equals pointwise_sph(phi, theta, lmax, negative_m) bit for bit,
whatever the number of threads.

:param phi: polar angles, an array-like of real numbers of any shape
:param theta: azimuthal angles, of the same shape as phi
:param lmax: highest degree, inclusive, from 0 to kelo.MAX_LMAX
:param negative_m: set to False to leave out the orders -1..-l
:param out: an array to write the result into: C-contiguous, writable, of
    shape phi.shape + (count,) and of the result's dtype
:param threads: the most threads to use; None uses every core available
:returns: complex64 when phi and theta are both float32 (or float16),
    complex128 otherwise, of shape phi.shape + (count,), where count is
    (lmax + 1)**2, or (lmax + 1)(lmax + 2)/2 without negative orders; out if given"""
    phi, theta = _angles(phi, theta)
    lmax = degree(lmax)
    negative_m = bool(negative_m)
    threads = thread_count(threads)
    dtype = result_dtype(phi.dtype, False)
    out = output(out, "out", phi.shape + (series_count(lmax, negative_m),), dtype, phi, theta)
    if phi.size == 0:
        return out
    if phi.dtype == FLOAT32:
        _values[float](phi.reshape(-1), theta.reshape(-1), parts(out), lmax, negative_m, threads)
    else:
        _values[double](phi.reshape(-1), theta.reshape(-1), parts(out), lmax, negative_m, threads)
    return out


def sph_grads(phi, theta, lmax, *, negative_m=True, return_sphs=True, out=None, sphs_out=None,
              threads=None):
    """sph_grads(phi, theta, lmax, *, negative_m=True, return_sphs=True, out=None, sphs_out=None, threads=None)

Evaluate the gradients (d/dphi, d/dtheta), and the harmonics, at every point, on several threads.

The results equal pointwise_sph_grads(phi, theta, lmax, negative_m,
return_sphs) bit for bit, whatever the number of threads.

:param phi, theta, lmax, negative_m, threads: as for sph
:param return_sphs: if True, return (gradients, harmonics); else the gradients alone
:param out: an array for the gradients, of shape phi.shape + (count, 2)
:param sphs_out: an array for the harmonics, of shape phi.shape + (count,);
    only with return_sphs
:returns: the gradients, or (gradients, harmonics); out and sphs_out if given"""
    phi, theta = _angles(phi, theta)
    lmax = degree(lmax)
    negative_m = bool(negative_m)
    return_sphs = bool(return_sphs)
    threads = thread_count(threads)
    if sphs_out is not None and not return_sphs:
        raise ValueError("sphs_out is given, but return_sphs is False")
    dtype = result_dtype(phi.dtype, False)
    shape = phi.shape + (series_count(lmax, negative_m),)
    out = output(out, "out", shape + (2,), dtype, phi, theta)
    sphs = output(sphs_out, "sphs_out", shape, dtype, phi, theta, out) if return_sphs else None
    if phi.size != 0:
        sph_parts = None if sphs is None else parts(sphs)
        if phi.dtype == FLOAT32:
            _gradients[float](phi.reshape(-1), theta.reshape(-1), parts(out), sph_parts, lmax,
                              negative_m, threads)
        else:
            _gradients[double](phi.reshape(-1), theta.reshape(-1), parts(out), sph_parts, lmax,
                               negative_m, threads)
    return (out, sphs) if return_sphs else out


cdef void _values(const real[::1] phi, const real[::1] theta, real[::1] out, unsigned int lmax,
                  bint negative_m, unsigned int threads) except *:
    cdef size_t n = phi.shape[0]
    with nogil:
        if real is float:
            evaluate_SPH_parallel(<float complex*>&out[0], lmax, &phi[0], &theta[0], n,
                                  negative_m, threads)
        else:
            evaluate_SPH_parallel(<double complex*>&out[0], lmax, &phi[0], &theta[0], n,
                                  negative_m, threads)


cdef void _gradients(const real[::1] phi, const real[::1] theta, real[::1] out, real[::1] sphs,
                     unsigned int lmax, bint negative_m, unsigned int threads) except *:
    cdef size_t n = phi.shape[0]
    cdef real* harmonics = NULL
    if sphs is not None:
        harmonics = &sphs[0]
    with nogil:
        if real is float:
            evaluate_SPH_with_grads_parallel(<float complex*>&out[0], <float complex*>harmonics,
                                             lmax, &phi[0], &theta[0], n, negative_m, threads)
        else:
            evaluate_SPH_with_grads_parallel(<double complex*>&out[0], <double complex*>harmonics,
                                             lmax, &phi[0], &theta[0], n, negative_m, threads)


def _angles(phi, theta):
    """phi and theta as aligned C-contiguous arrays of one floating type."""
    phi = np.asarray(phi)
    theta = np.asarray(theta)
    for name, angles in (("phi", phi), ("theta", theta)):
        if angles.dtype.kind not in "fiu":
            raise TypeError(f"{name} must hold real numbers, not {angles.dtype}")
    if phi.shape != theta.shape:
        raise ValueError(f"phi has shape {phi.shape} but theta has shape {theta.shape}: "
                         f"every point needs both angles")
    dtype = precision(phi, theta)
    return (aligned(np.asarray(phi, dtype=dtype, order="C")),
            aligned(np.asarray(theta, dtype=dtype, order="C")))
