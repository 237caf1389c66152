# cython: language_level=3
"""Harmonics of points given by their angles, on several threads, in the caller's convention."""

from cython cimport floating

import numpy as np

from kelo._arguments import (
    checked_convention, degree, gradient_outputs, in_precision, output, parts, precision,
    real_numbers, result_dtype, thread_count)
from kelo._core cimport (
    Convention, core_convention, evaluate_SPH_parallel, evaluate_SPH_with_grads_parallel,
    series_count)

FLOAT32 = np.dtype(np.float32)


def sph(phi, theta, lmax, *, real=False, negative_m=True, condon_shortley=False,
        normalization="orthonormal", out=None, threads=None):
    """Spherical harmonics of degrees 0..lmax at points given by their angles, on several threads.

    In kelo's own convention (the defaults) the result equals
    ``pointwise_sph(phi, theta, lmax, negative_m)`` bit for bit; in any convention
    it is the same whatever the number of threads.

    Parameters
    ----------
    phi : array_like of real numbers
        Polar angles, nominally in [0, pi], of any shape.
    theta : array_like of real numbers
        Azimuthal angles, nominally in [0, 2 pi], of the same shape as ``phi``.
    lmax : int
        Highest degree, inclusive, from 0 to ``kelo.MAX_LMAX``.
    real : bool, optional
        Real harmonics instead of complex ones: Y_l^0 for m = 0,
        sqrt(2) Re Y_l^m for m > 0 and sqrt(2) Im Y_l^abs(m) for m < 0.
    negative_m : bool, optional
        Set to False to leave out the orders -1..-l (complex harmonics only).
    condon_shortley : bool, optional
        Include the Condon-Shortley phase: (-1)^m on the orders m > 0 of complex
        harmonics, as SciPy's ``sph_harm_y``; (-1)^abs(m) on every m != 0 of real ones.
    normalization : {"orthonormal", "4pi", "schmidt"}, optional
        Orthonormal on the unit sphere; times sqrt(4 pi); or times
        sqrt(4 pi / (2l + 1)) (Schmidt semi-normalised).
    out : numpy.ndarray, optional
        Where to write the result: C-contiguous, aligned, writable, of the
        result's shape and dtype, and not overlapping the angles.
    threads : int, optional
        The most threads to use, from 1 to 1024; by default every core available.

    Returns
    -------
    numpy.ndarray, shape phi.shape + (count,)
        The harmonics of each point along the last axis, in the order of
        ``kelo.get_LMs(lmax, negative_m)``: l = 0..lmax, and within each degree
        m = 0, 1, .., l, then m = -1, .., -l. count is (lmax + 1)**2, or
        (lmax + 1)(lmax + 2)/2 without negative orders. complex64 (float32 when
        real) when both angles are float32 or float16, complex128 (float64)
        otherwise; ``out`` if given.

    Raises
    ------
    TypeError
        If the angles are not real numbers, an integer argument is not an
        integer, or ``out`` is not an ndarray of the result's dtype.
    ValueError
        If the shapes of the angles differ, an argument is out of range,
        ``real`` is asked without negative orders, or ``out`` does not fit.

    See Also
    --------
    get_LMs : The (l, m) of each column.
    sph_xyz : The same from Cartesian vectors, without trigonometry.

    Examples
    --------
    >>> import numpy as np, kelo
    >>> phi, theta = np.array([0.0, np.pi / 2]), np.array([0.0, 0.0])
    >>> Y = kelo.sph(phi, theta, 1, real=True, normalization="4pi")
    >>> Y.shape, kelo.get_LMs(1).tolist()   # the (l, m) of each column
    ((2, 4), [[0, 0], [1, 0], [1, 1], [1, -1]])
    >>> np.allclose(Y, [[1, np.sqrt(3), 0, 0], [1, 0, np.sqrt(3), 0]])
    True
    """
    phi, theta = _angles(phi, theta)
    lmax = degree(lmax)
    real, negative_m, condon_shortley, normalization = checked_convention(
        real, negative_m, condon_shortley, normalization)
    threads = thread_count(threads)
    shape = phi.shape + (series_count(lmax, negative_m),)
    out = output(out, "out", shape, result_dtype(phi.dtype, real), phi, theta)
    if phi.size != 0:
        convention = core_convention(normalization, condon_shortley)
        if phi.dtype == FLOAT32:
            _values[float](phi.reshape(-1), theta.reshape(-1), parts(out), lmax, negative_m, real,
                           convention, threads)
        else:
            _values[double](phi.reshape(-1), theta.reshape(-1), parts(out), lmax, negative_m, real,
                            convention, threads)
    return out


def sph_grads(phi, theta, lmax, *, real=False, negative_m=True, condon_shortley=False,
              normalization="orthonormal", return_sphs=True, out=None, sphs_out=None,
              threads=None):
    """Gradients (d/dphi, d/dtheta) of the spherical harmonics, and the harmonics, on several threads.

    In kelo's own convention (the defaults) the results equal
    ``pointwise_sph_grads(phi, theta, lmax, negative_m, return_sphs)`` bit for bit;
    in any convention they are the same whatever the number of threads. At the
    poles d/dphi takes its limit: only abs(m) = 1 has one there.

    Parameters
    ----------
    phi, theta, lmax, real, negative_m, condon_shortley, normalization, threads
        As for ``sph``.
    return_sphs : bool, optional
        Return the harmonics too, as ``(gradients, harmonics)``.
    out : numpy.ndarray, optional
        Where to write the gradients, of shape phi.shape + (count, 2).
    sphs_out : numpy.ndarray, optional
        Where to write the harmonics (only with ``return_sphs``), of shape
        phi.shape + (count,).

    Returns
    -------
    gradients : numpy.ndarray, shape phi.shape + (count, 2)
        (d/dphi, d/dtheta) of each harmonic, in the column order of ``sph`` and
        ``kelo.get_LMs(lmax, negative_m)``, and of its dtype.
    harmonics : numpy.ndarray, shape phi.shape + (count,)
        What ``sph`` returns, bit for bit; only with ``return_sphs``.

    Raises
    ------
    TypeError, ValueError
        As ``sph``; ValueError also for ``sphs_out`` without ``return_sphs``.

    See Also
    --------
    get_LMs : The (l, m) of each column.
    sph_xyz_grads : Gradients with respect to Cartesian vectors.

    Examples
    --------
    >>> import numpy as np, kelo
    >>> dY, Y = kelo.sph_grads(np.array([0.5]), np.array([0.25]), 2)
    >>> m = kelo.get_LMs(2)[:, 1]
    >>> np.allclose(dY[..., 1], 1j * m * Y)   # d/dtheta = i m Y
    True
    """
    phi, theta = _angles(phi, theta)
    lmax = degree(lmax)
    real, negative_m, condon_shortley, normalization = checked_convention(
        real, negative_m, condon_shortley, normalization)
    return_sphs = bool(return_sphs)
    threads = thread_count(threads)
    shape = phi.shape + (series_count(lmax, negative_m),)
    out, sphs = gradient_outputs(out, sphs_out, return_sphs, shape, 2,
                                 result_dtype(phi.dtype, real), phi, theta)
    if phi.size != 0:
        convention = core_convention(normalization, condon_shortley)
        sph_parts = None if sphs is None else parts(sphs)
        if phi.dtype == FLOAT32:
            _gradients[float](phi.reshape(-1), theta.reshape(-1), parts(out), sph_parts, lmax,
                              negative_m, real, convention, threads)
        else:
            _gradients[double](phi.reshape(-1), theta.reshape(-1), parts(out), sph_parts, lmax,
                               negative_m, real, convention, threads)
    return (out, sphs) if return_sphs else out


cdef void _values(const floating[::1] phi, const floating[::1] theta, floating[::1] out,
                  unsigned int lmax, bint negative_m, bint real, Convention convention,
                  unsigned int threads) except *:
    cdef size_t n = phi.shape[0]
    with nogil:
        if real:
            evaluate_SPH_parallel(&out[0], lmax, &phi[0], &theta[0], n, convention, threads)
        elif floating is float:
            evaluate_SPH_parallel(<float complex*>&out[0], lmax, &phi[0], &theta[0], n, negative_m,
                                  convention, threads)
        else:
            evaluate_SPH_parallel(<double complex*>&out[0], lmax, &phi[0], &theta[0], n, negative_m,
                                  convention, threads)


cdef void _gradients(const floating[::1] phi, const floating[::1] theta, floating[::1] out,
                     floating[::1] sphs, unsigned int lmax, bint negative_m, bint real,
                     Convention convention, unsigned int threads) except *:
    cdef size_t n = phi.shape[0]
    cdef floating* harmonics = NULL
    if sphs is not None:
        harmonics = &sphs[0]
    with nogil:
        if real:
            evaluate_SPH_with_grads_parallel(&out[0], harmonics, lmax, &phi[0], &theta[0], n,
                                             convention, threads)
        elif floating is float:
            evaluate_SPH_with_grads_parallel(<float complex*>&out[0], <float complex*>harmonics,
                                             lmax, &phi[0], &theta[0], n, negative_m, convention,
                                             threads)
        else:
            evaluate_SPH_with_grads_parallel(<double complex*>&out[0], <double complex*>harmonics,
                                             lmax, &phi[0], &theta[0], n, negative_m, convention,
                                             threads)


def _angles(phi, theta):
    """phi and theta as aligned C-contiguous arrays of one floating type."""
    phi, theta = real_numbers(phi, "phi"), real_numbers(theta, "theta")
    if phi.shape != theta.shape:
        raise ValueError(f"phi has shape {phi.shape} but theta has shape {theta.shape}: "
                         f"every point needs both angles")
    return in_precision(precision(phi, theta), phi, theta)
