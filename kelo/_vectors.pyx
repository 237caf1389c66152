# cython: language_level=3
"""Harmonics of the directions of Cartesian vectors, in the caller's convention."""

from cython cimport floating

import numpy as np

from kelo._arguments import (
    checked_convention, degree, gradient_outputs, output, parts, result_dtype, thread_count,
    vectors)
from kelo._core cimport (
    Convention, core_convention, evaluate_SPH_xyz_parallel,
    evaluate_SPH_xyz_with_grads_parallel, series_count)

FLOAT32 = np.dtype(np.float32)


def sph_xyz(xyz, lmax, *, real=False, negative_m=True, condon_shortley=False,
            normalization="orthonormal", out=None, threads=None):
    """Spherical harmonics of the directions of vectors, from their Cartesian components.

    Evaluates Y_l^m(``r / |r|``) for every degree l = 0..lmax and order m of every
    vector r = (x, y, z), without trigonometric functions, on several threads.

    Parameters
    ----------
    xyz : array_like of real numbers, shape (..., 3)
        The vectors, one per row of the last axis. Any non-zero length gives the
        harmonics of the direction; the zero vector gets the mean of each harmonic
        over the sphere (Y_0^0, and 0 for l > 0). A component that is infinite or
        NaN gives NaN.
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
        result's shape and dtype, and not overlapping ``xyz``.
    threads : int, optional
        The most threads to use, from 1 to 1024; by default every core available.
        The result does not depend on it, bit for bit.

    Returns
    -------
    numpy.ndarray, shape xyz.shape[:-1] + (count,)
        The harmonics of each vector along the last axis, in the order of
        ``kelo.get_LMs(lmax, negative_m)``: l = 0..lmax, and within each degree
        m = 0, 1, .., l, then m = -1, .., -l. count is (lmax + 1)**2, or
        (lmax + 1)(lmax + 2)/2 without negative orders. complex64 (float32 when
        real) for float32 or float16 vectors, complex128 (float64) otherwise;
        ``out`` if given.

    Raises
    ------
    TypeError
        If ``xyz`` does not hold real numbers, an integer argument is not an
        integer, or ``out`` is not an ndarray of the result's dtype.
    ValueError
        If the last axis of ``xyz`` is not 3 long, an argument is out of range,
        ``real`` is asked without negative orders, or ``out`` does not fit.

    See Also
    --------
    get_LMs : The (l, m) of each column.
    sph : The same from angles.

    Examples
    --------
    >>> import numpy as np, kelo
    >>> Y = kelo.sph_xyz(np.array([[0.0, 0.0, 2.0]]), 1)
    >>> np.allclose(Y, [[0.5 / np.sqrt(np.pi), np.sqrt(3 / (4 * np.pi)), 0, 0]])
    True
    """
    xyz = vectors(xyz)
    lmax = degree(lmax)
    real, negative_m, condon_shortley, normalization = checked_convention(
        real, negative_m, condon_shortley, normalization)
    threads = thread_count(threads)
    shape = xyz.shape[:-1] + (series_count(lmax, negative_m),)
    out = output(out, "out", shape, result_dtype(xyz.dtype, real), xyz)
    if xyz.size != 0:
        convention = core_convention(normalization, condon_shortley)
        if xyz.dtype == FLOAT32:
            _values[float](xyz.reshape(-1), parts(out), lmax, negative_m, real, convention, threads)
        else:
            _values[double](xyz.reshape(-1), parts(out), lmax, negative_m, real, convention, threads)
    return out


def sph_xyz_grads(xyz, lmax, *, real=False, negative_m=True, condon_shortley=False,
                  normalization="orthonormal", return_sphs=True, out=None, sphs_out=None,
                  threads=None):
    """Gradients of the spherical harmonics of the directions of vectors, and the harmonics.

    The harmonics depend on the direction of r only, so their gradient with respect
    to r = (x, y, z) is tangent to the sphere through r and scales as ``1 / |r|``. It is
    finite and exact everywhere, on the z-axis too; the zero vector gets zero gradients.

    Parameters
    ----------
    xyz, lmax, real, negative_m, condon_shortley, normalization, threads
        As for ``sph_xyz``.
    return_sphs : bool, optional
        Return the harmonics too, as ``(gradients, harmonics)``.
    out : numpy.ndarray, optional
        Where to write the gradients, of shape xyz.shape[:-1] + (count, 3).
    sphs_out : numpy.ndarray, optional
        Where to write the harmonics (only with ``return_sphs``), of shape
        xyz.shape[:-1] + (count,).

    Returns
    -------
    gradients : numpy.ndarray, shape xyz.shape[:-1] + (count, 3)
        (d/dx, d/dy, d/dz) of each harmonic, in the column order of ``sph_xyz``
        and ``kelo.get_LMs(lmax, negative_m)``, and of its dtype.
    harmonics : numpy.ndarray, shape xyz.shape[:-1] + (count,)
        What ``sph_xyz`` returns, bit for bit; only with ``return_sphs``.

    Raises
    ------
    TypeError, ValueError
        As ``sph_xyz``; ValueError also for ``sphs_out`` without ``return_sphs``.

    See Also
    --------
    get_LMs : The (l, m) of each column.
    sph_grads : Gradients with respect to the angles.

    Examples
    --------
    >>> import numpy as np, kelo
    >>> dY, Y = kelo.sph_xyz_grads(np.array([[0.0, 0.0, 1.0]]), 1, real=True)
    >>> dY.shape, np.allclose(dY[0, 1], 0)   # Y_1^0 is stationary at the pole
    ((1, 4, 3), True)
    """
    xyz = vectors(xyz)
    lmax = degree(lmax)
    real, negative_m, condon_shortley, normalization = checked_convention(
        real, negative_m, condon_shortley, normalization)
    return_sphs = bool(return_sphs)
    threads = thread_count(threads)
    shape = xyz.shape[:-1] + (series_count(lmax, negative_m),)
    out, sphs = gradient_outputs(out, sphs_out, return_sphs, shape, 3,
                                 result_dtype(xyz.dtype, real), xyz)
    if xyz.size != 0:
        convention = core_convention(normalization, condon_shortley)
        sph_parts = None if sphs is None else parts(sphs)
        if xyz.dtype == FLOAT32:
            _gradients[float](xyz.reshape(-1), parts(out), sph_parts, lmax, negative_m, real,
                              convention, threads)
        else:
            _gradients[double](xyz.reshape(-1), parts(out), sph_parts, lmax, negative_m, real,
                               convention, threads)
    return (out, sphs) if return_sphs else out


cdef void _values(const floating[::1] xyz, floating[::1] out, unsigned int lmax, bint negative_m,
                  bint real, Convention convention, unsigned int threads) except *:
    cdef size_t n = xyz.shape[0] // 3
    with nogil:
        if real:
            evaluate_SPH_xyz_parallel(&out[0], lmax, &xyz[0], n, convention, threads)
        elif floating is float:
            evaluate_SPH_xyz_parallel(<float complex*>&out[0], lmax, &xyz[0], n, negative_m,
                                      convention, threads)
        else:
            evaluate_SPH_xyz_parallel(<double complex*>&out[0], lmax, &xyz[0], n, negative_m,
                                      convention, threads)


cdef void _gradients(const floating[::1] xyz, floating[::1] out, floating[::1] sphs,
                     unsigned int lmax, bint negative_m, bint real, Convention convention,
                     unsigned int threads) except *:
    cdef size_t n = xyz.shape[0] // 3
    cdef floating* harmonics = NULL
    if sphs is not None:
        harmonics = &sphs[0]
    with nogil:
        if real:
            evaluate_SPH_xyz_with_grads_parallel(&out[0], harmonics, lmax, &xyz[0], n,
                                                 convention, threads)
        elif floating is float:
            evaluate_SPH_xyz_with_grads_parallel(<float complex*>&out[0], <float complex*>harmonics,
                                                 lmax, &xyz[0], n, negative_m, convention, threads)
        else:
            evaluate_SPH_xyz_with_grads_parallel(<double complex*>&out[0],
                                                 <double complex*>harmonics, lmax, &xyz[0], n,
                                                 negative_m, convention, threads)

