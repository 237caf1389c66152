# cython: language_level=3, boundscheck=False, wraparound=False
#
# Each function normalises its angles with NumPy, allocates its results and
# hands every point to the core in one call. Tracebacks report the lines of
# these statements, so they keep their places in this file.

cimport numpy as cnp
from kelo._arguments cimport (
    core_lmax, require_supported_degree, require_theta_for_every_point, supported_shape)
from kelo._core cimport (aligned, evaluate_SPH_d, evaluate_SPH_f, evaluate_SPH_with_grads_d,
                         evaluate_SPH_with_grads_f, series_count)

import numpy as np

cnp.import_array()

def pointwise_sph(phi, theta, lmax, negative_m=True):
    """pointwise_sph(phi, theta, lmax, negative_m=True)

Evaluate a series of spherical harmonics on an array of spherical coordinates.

The array objects phi and theta should have the same length and
can hold single- or double-precision floating point numbers. The
resulting array will be of length (N_coordinates, N_sphs) where
N_coordinates is the length of the given coordinate arrays.

To map the columns of the result array to particular (l, m)
values, see :py:func:`get_LMs`.

:param phi: Array-like object of polar angles in [0, pi]
:param theta: Array-like object of azimuthal angles in [0, 2*pi]
:param lmax: Integer maximum spherical harmonic degree to compute (inclusive)
:param negative_m: Set to False to disable the negative-m spherical harmonics"""

    # The core walks the angles with unit stride: make them C-contiguous and aligned.
    phi = aligned(np.ascontiguousarray(phi))
    theta = aligned(np.ascontiguousarray(theta))
    lmax = int(lmax)
    # The core runs in float or double; integer angles are taken as float32.
    if phi.dtype in (np.int32, np.int64):
        phi = phi.astype(np.float32)
    if theta.dtype in (np.int32, np.int64):
        theta = theta.astype(np.float32)

    assert phi.shape == theta.shape and phi.dtype == theta.dtype
    assert phi.dtype in (np.float32, np.float64) and theta.dtype in (np.float32, np.float64)
    require_theta_for_every_point(phi, theta)
    sphCount = series_count(lmax, (negative_m := bool(negative_m)))
    resultShape = phi.shape + (sphCount,)

    # Inputs are only read, so read-only arrays are welcome.
    cdef const float[:] phi_f
    cdef const float[:] theta_f
    cdef float complex[:] result_f
    cdef const double[:] phi_d
    cdef const double[:] theta_d
    cdef double complex[:] result_d

    if phi.dtype == np.float32:
        result = np.empty(supported_shape(resultShape, lmax), dtype=np.complex64)
        phi_f = phi.ravel()
        theta_f = theta.ravel()
        result_f = result.ravel()
        evaluate_SPH_f(&result_f[0], core_lmax(lmax), &phi_f[0], &theta_f[0], phi.size, negative_m)
    else:
        result = np.empty(supported_shape(resultShape, lmax), dtype=np.complex128)
        phi_d = phi.ravel()
        theta_d = theta.ravel()
        result_d = result.ravel()
        evaluate_SPH_d(&result_d[0], core_lmax(lmax), &phi_d[0], &theta_d[0], phi.size, negative_m)

    return result

def pointwise_sph_grads(phi, theta, lmax, negative_m=True, return_sphs=True):
    """pointwise_sph_grads(phi, theta, lmax, negative_m=True, return_sphs=True)

Evaluate a spherical harmonic gradients on an array of spherical coordinates.

The array objects phi and theta should have the same length and
can hold single- or double-precision floating point numbers. The
resulting array will be of length (N_coordinates, N_sphs, 2) where
N_coordinates is the length of the given coordinate arrays and the
last dimension corresponds to (phi_gradient, theta_gradient).

To map the columns of the result array to particular (l, m)
values, see :py:func:`get_LMs`.

:param phi: Array-like object of polar angles in [0, pi]
:param theta: Array-like object of azimuthal angles in [0, 2*pi]
:param lmax: Integer maximum spherical harmonic degree to compute (inclusive)
:param negative_m: Set to False to disable the negative-m spherical harmonics
:param return_sphs: If True, return the spherical harmonics (as from :py:func:`pointwise_sph`) in addition to the gradients as a (gradients, spherical_harmonics) tuple"""

    # As in pointwise_sph, up to the trailing (d/dphi, d/dtheta) axis.
    phi = aligned(np.ascontiguousarray(phi))
    theta = aligned(np.ascontiguousarray(theta))
    lmax = int(lmax)

    if phi.dtype in (np.int32, np.int64):
        phi = phi.astype(np.float32)
    if theta.dtype in (np.int32, np.int64):
        theta = theta.astype(np.float32)

    assert phi.shape == theta.shape and phi.dtype == theta.dtype
    assert phi.dtype in (np.float32, np.float64) and theta.dtype in (np.float32, np.float64)
    require_theta_for_every_point(phi, theta)
    sphCount = series_count(lmax, (negative_m := bool(negative_m)))
    resultShape = phi.shape + (sphCount, 2)
    sphShape = resultShape[:-1]

    # A null harmonics pointer tells the core to skip writing them.
    cdef const float[:] phi_f
    cdef const float[:] theta_f
    cdef float complex[:] result_f
    cdef float complex[:] sph_f
    cdef float complex* sph_target_f = NULL
    cdef const double[:] phi_d
    cdef const double[:] theta_d
    cdef double complex[:] result_d
    cdef double complex[:] sph_d
    cdef double complex* sph_target_d = NULL
    sphs = None

    # The precision follows phi; the assertions made theta agree.
    if phi.dtype == np.float32:
        result = np.empty(supported_shape(resultShape, lmax), dtype=np.complex64)
        if return_sphs:
            sphs = np.empty(sphShape, dtype=np.complex64)
            sph_f = sphs.ravel()
            sph_target_f = &sph_f[0]
        phi_f = phi.ravel()
        theta_f = theta.ravel()
        result_f = result.ravel()
        evaluate_SPH_with_grads_f(&result_f[0], sph_target_f, core_lmax(lmax), &phi_f[0], &theta_f[0], phi.size, negative_m)
    else:
        result = np.empty(supported_shape(resultShape, lmax), dtype=np.complex128)
        if return_sphs:
            sphs = np.empty(sphShape, dtype=np.complex128)
            sph_d = sphs.ravel()
            sph_target_d = &sph_d[0]
        phi_d = phi.ravel()
        theta_d = theta.ravel()
        result_d = result.ravel()
        evaluate_SPH_with_grads_d(&result_d[0], sph_target_d, core_lmax(lmax), &phi_d[0], &theta_d[0], phi.size, negative_m)

    if sphs is not None:
        return result, sphs
    return result


def get_LMs(lmax, negative_m=True):
    """get_LMs(lmax, negative_m=True)

Returns the (l, m) indices in the order that they are exposed by kelo.

Creates a (N_sphs, 2) array where the first column corresponds to
the l values and the second column corresponds to the m values for
any index in the series."""
    # Filled in place degree by degree: a list of Python integers per entry
    # would take many times the table's memory and time.
    # range() reads lmax as an index: a NumPy integer would wrap around at + 1.
    lmax = range(lmax).stop
    require_supported_degree(lmax)

    # Tested once, as the other functions do, and only when there is a degree.
    negative_m = lmax >= 0 and bool(negative_m)
    table = np.empty((2, series_count(lmax, negative_m)), dtype=np.int64)
    fill_series_table(table, lmax, negative_m)

    return table.T


cdef void fill_series_table(long long[:, ::1] table, long long lmax, bint negative_m) noexcept nogil:
    """Row 0 gets the degree and row 1 the order of each position of the series."""
    cdef long long l, m, start = 0
    for l in range(lmax + 1):
        for m in range(l + 1):
            table[0, start + m] = l
            table[1, start + m] = m
        start += l + 1
        if negative_m:
            for m in range(1, l + 1):
                table[0, start + m - 1] = l
                table[1, start + m - 1] = -m
            start += l
