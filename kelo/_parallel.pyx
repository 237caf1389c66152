# cython: language_level=3, boundscheck=False, wraparound=False
"""Multi-threaded evaluation into caller-provided arrays, bit for bit equal to
pointwise_sph and pointwise_sph_grads."""

import operator
import os

import numpy as np

from kelo._core cimport (
    MAX_LMAX, aligned, evaluate_SPH_parallel, evaluate_SPH_with_grads_parallel, series_count)

FLOAT32 = np.dtype(np.float32)

# Starting more threads than this is a mistake, not a request.
MAX_THREADS = 1024

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
    lmax = _degree(lmax)
    negative_m = bool(negative_m)
    threads = _thread_count(threads)
    dtype = _complex_dtype(phi)
    out = _output(out, "out", phi.shape + (series_count(lmax, negative_m),), dtype, phi, theta)
    if phi.size == 0:
        return out
    if phi.dtype == FLOAT32:
        _values[float](phi.reshape(-1), theta.reshape(-1), _parts(out), lmax, negative_m, threads)
    else:
        _values[double](phi.reshape(-1), theta.reshape(-1), _parts(out), lmax, negative_m, threads)
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
    lmax = _degree(lmax)
    negative_m = bool(negative_m)
    return_sphs = bool(return_sphs)
    threads = _thread_count(threads)
    if sphs_out is not None and not return_sphs:
        raise ValueError("sphs_out is given, but return_sphs is False")
    dtype = _complex_dtype(phi)
    shape = phi.shape + (series_count(lmax, negative_m),)
    out = _output(out, "out", shape + (2,), dtype, phi, theta)
    sphs = _output(sphs_out, "sphs_out", shape, dtype, phi, theta, out) if return_sphs else None
    if phi.size != 0:
        sph_parts = None if sphs is None else _parts(sphs)
        if phi.dtype == FLOAT32:
            _gradients[float](phi.reshape(-1), theta.reshape(-1), _parts(out), sph_parts, lmax,
                              negative_m, threads)
        else:
            _gradients[double](phi.reshape(-1), theta.reshape(-1), _parts(out), sph_parts, lmax,
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
    single = all(a.dtype.kind == "f" and a.dtype.itemsize <= 4 for a in (phi, theta))
    precision = np.float32 if single else np.float64
    return (aligned(np.asarray(phi, dtype=precision, order="C")),
            aligned(np.asarray(theta, dtype=precision, order="C")))


def _parts(result):
    """The real and imaginary parts of a C-contiguous complex array, flat, as a plain ndarray."""
    parts = np.asarray(result).reshape(-1)
    return parts.view(np.float32 if parts.dtype == np.complex64 else np.float64)


def _complex_dtype(angles):
    return np.dtype(np.complex64 if angles.dtype == FLOAT32 else np.complex128)


def _degree(lmax):
    return _integer_within(lmax, "lmax", 0, MAX_LMAX)


def series_count(lmax, negative_m):
    return (lmax + 1) ** 2 if negative_m else (lmax + 1) * (lmax + 2) // 2


def _thread_count(threads):
    if threads is not None:
        return _integer_within(threads, "threads", 1, MAX_THREADS)
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # no affinity masks on this platform
        return os.cpu_count() or 1


def _integer_within(value, name, low, high):
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    value = operator.index(value)
    if not low <= value <= high:
        raise ValueError(f"{name} is {value}, but must be from {low} to {high}")
    return value


def _output(array, name, shape, dtype, *inputs):
    """A new array for a result, or the caller's, once it is fit to receive it.

    The checks read the plain ndarray over the caller's buffer, which _parts hands to
    the core: a subclass may report any shape or flags it likes.
    """
    if array is None:
        return np.empty(shape, dtype)
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{name} must be a numpy.ndarray, not {type(array).__name__}")
    target = np.asarray(array)
    if target.dtype != dtype:
        raise TypeError(f"{name} has dtype {target.dtype}, but the result has dtype {dtype}")
    if target.shape != shape:
        raise ValueError(f"{name} has shape {target.shape}, but the result has shape {shape}")
    if not target.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous")
    if not target.flags.writeable:
        raise ValueError(f"{name} is read-only")
    if not target.flags.aligned:
        raise ValueError(f"{name} is not aligned to its dtype")
    # Writing over an input, or over the other result, while reading it would corrupt both.
    if any(np.may_share_memory(target, other) for other in inputs):
        raise ValueError(f"{name} overlaps an input or another output")
    return array
