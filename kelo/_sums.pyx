# cython: language_level=3
"""Sums of the harmonics of vectors over groups, without the array of every harmonic."""

from cython cimport floating
from libc.stdint cimport int64_t

import sys

import numpy as np

from kelo._arguments import (
    checked_convention, degree, in_precision, integer_within, output, parts, precision,
    real_numbers, result_dtype, thread_count)
from kelo._core cimport Convention, core_convention, series_count, sum_SPH_xyz

FLOAT32 = np.dtype(np.float32)


def sph_sum(xyz, lmax, groups, *, n_groups=None, weights=None, real=False, negative_m=True,
            condon_shortley=False, normalization="orthonormal", out=None, threads=None):
    """Sums of the spherical harmonics of vectors over groups, optionally weighted.

    For every group g, adds up ``w_e Y_l^m(r_e / |r_e|)`` over the vectors r_e whose
    group index is g: the bond-orientational sums ``q_lm(i) = sum_j Y_lm(r_ij)`` over
    the neighbours j of each particle i, radial expansions
    ``sum_j R_n(|r_ij|) Y_lm(r_ij)`` with weights R_n, or multipole moments. The harmonics of one small batch of vectors
    are held at a time, never those of all of them.

    Parameters
    ----------
    xyz : array_like of real numbers, shape (E, 3)
        The vectors, one (x, y, z) per row, with the harmonics of ``sph_xyz``: the
        zero vector adds Y_0^0 to its group, a non-finite one NaN.
    lmax : int
        Highest degree, inclusive, from 0 to ``kelo.MAX_LMAX``.
    groups : array_like of integers, shape (E,)
        The group of each vector, from 0 to n_groups - 1, in any order.
    n_groups : int, optional
        How many groups there are; by default ``groups.max() + 1``, 0 for no vectors.
        A group without vectors sums to zero.
    weights : array_like of real numbers, shape (E,) or (E, K), optional
        The weight of each vector, or K weights of it, each giving a sum of its own.
        By default each vector counts once.
    real, negative_m, condon_shortley, normalization
        The convention of the harmonics, as for ``sph_xyz``.
    out : numpy.ndarray, optional
        Where to write the result: C-contiguous, aligned, writable, of the result's
        shape and dtype, and not overlapping an input.
    threads : int, optional
        The most threads to use, from 1 to 1024; by default every core available.
        Threads sum separate ranges of groups, so the result does not depend on it,
        bit for bit.

    Returns
    -------
    numpy.ndarray, shape (n_groups, count), or (n_groups, K, count) for (E, K) weights
        The sums of each group along the last axis, in the column order of ``sph_xyz``
        and ``kelo.get_LMs(lmax, negative_m)``. Each is accumulated in the order of
        the vectors. The dtype is that of ``sph_xyz`` for the precision of ``xyz``
        and ``weights`` together (float64 weights give float64 sums); ``out`` if given.

    Raises
    ------
    TypeError
        If ``xyz`` or ``weights`` do not hold real numbers, ``groups`` does not hold
        integers, an integer argument is not an integer, or ``out`` is not an ndarray
        of the result's dtype.
    ValueError
        If the shapes do not fit together, a group index lies outside
        [0, n_groups), an argument is out of range, or ``out`` does not fit; nothing
        is written then.

    Examples
    --------
    Y_1^0 summed over two vectors along +z and one along -z, in group 0, and over
    none in group 1:

    >>> import numpy as np, kelo
    >>> xyz = np.array([[0.0, 0.0, 1.0], [0.0, 0.0, 2.0], [0.0, 0.0, -1.0]])
    >>> sums = kelo.sph_sum(xyz, 1, [0, 0, 0], n_groups=2, real=True)
    >>> sums.shape, np.allclose(sums[:, 1], [np.sqrt(3 / (4 * np.pi)), 0])
    ((2, 4), True)
    """
    xyz = real_numbers(xyz, "xyz")
    if xyz.ndim != 2 or xyz.shape[1] != 3:
        raise ValueError(f"xyz has shape {xyz.shape}, but must be (E, 3): one vector "
                         f"(x, y, z) per row")
    vectors = xyz.shape[0]
    groups = _group_indices(groups, vectors)
    if n_groups is None:
        n_groups = int(groups.max()) + 1 if vectors else 0
    n_groups = integer_within(n_groups, "n_groups", 0, sys.maxsize)
    lmax = degree(lmax)
    real, negative_m, condon_shortley, normalization = checked_convention(
        real, negative_m, condon_shortley, normalization)
    threads = thread_count(threads)

    count = series_count(lmax, negative_m)
    if weights is None:
        xyz, = in_precision(precision(xyz), xyz)
        shape = (n_groups, count)
    else:
        weights = _weights(weights, vectors)
        xyz, weights = in_precision(precision(xyz, weights), xyz, weights)
        shape = (n_groups,) + weights.shape[1:] + (count,)
    inputs = (xyz, groups) if weights is None else (xyz, groups, weights)
    out = output(out, "out", shape, result_dtype(xyz.dtype, real), *inputs)
    if out.size != 0:
        convention = core_convention(normalization, condon_shortley)
        weight_count = 1 if weights is None or weights.ndim == 1 else weights.shape[1]
        flat_weights = None if weights is None else weights.reshape(-1)
        if xyz.dtype == FLOAT32:
            _sums[float](xyz.reshape(-1), groups, flat_weights, weight_count, n_groups, parts(out),
                         lmax, negative_m, real, convention, threads)
        else:
            _sums[double](xyz.reshape(-1), groups, flat_weights, weight_count, n_groups, parts(out),
                          lmax, negative_m, real, convention, threads)
    return out


cdef void _sums(const floating[::1] xyz, const int64_t[::1] groups, const floating[::1] weights,
                size_t weight_count, size_t n_groups, floating[::1] out, unsigned int lmax,
                bint negative_m, bint real, Convention convention, unsigned int threads) except *:
    cdef size_t n = groups.shape[0]
    cdef const floating* xyz_data = NULL
    cdef const int64_t* group_data = NULL
    cdef const floating* weight_data = NULL
    if n != 0:
        xyz_data = &xyz[0]
        group_data = &groups[0]
    if weights is not None and weights.shape[0] != 0:
        weight_data = &weights[0]
    with nogil:
        if real:
            sum_SPH_xyz(&out[0], lmax, xyz_data, n, group_data, n_groups, weight_data, weight_count,
                        convention, threads)
        elif floating is float:
            sum_SPH_xyz(<float complex*>&out[0], lmax, xyz_data, n, group_data, n_groups,
                        weight_data, weight_count, negative_m, convention, threads)
        else:
            sum_SPH_xyz(<double complex*>&out[0], lmax, xyz_data, n, group_data, n_groups,
                        weight_data, weight_count, negative_m, convention, threads)


def _group_indices(groups, vectors):
    """The group indices as an aligned C-contiguous int64 array, one per vector."""
    groups = np.asarray(groups)
    # An empty list is an array of floats.
    if groups.dtype.kind not in "iu" and groups.size != 0:
        raise TypeError(f"groups must hold integers, not {groups.dtype}")
    if groups.shape != (vectors,):
        raise ValueError(f"groups has shape {groups.shape}, but must hold one index per "
                         f"vector: ({vectors},)")
    return in_precision(np.dtype(np.int64), groups)[0]


def _weights(weights, vectors):
    """The weights as an array of real numbers, (E,) or (E, K)."""
    weights = real_numbers(weights, "weights")
    if weights.ndim not in (1, 2) or weights.shape[0] != vectors:
        raise ValueError(f"weights has shape {weights.shape}, but must be ({vectors},) or "
                         f"({vectors}, K): one weight or K weights per vector")
    return weights
