"""kelo's functions over dask arrays: lazy, each block one call of the eager function.

``import kelo.dask`` needs dask (``pip install kelo[dask]``); ``import kelo`` alone never
imports it. Each function takes the arguments of the eager function of the same name in
``kelo`` but ``out=``, and returns dask arrays: harmonics and gradients chunked as the
points are and equal to the eager ones bit for bit, sums in one chunk. A block runs on
one thread unless ``threads=`` says otherwise: dask already runs blocks side by side.
Arguments are checked when the graph is built, by the eager function itself on an empty
block, so that the errors are its own.
"""

from __future__ import annotations

import functools
import math
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex, overload

import dask.array as da
import numpy as np
from numpy.typing import ArrayLike, NDArray

import kelo
from kelo._arguments import integer_within

if TYPE_CHECKING:
    from typing import TypeAlias

    from kelo._arguments import _Normalization

    #: Points: dask arrays, or anything dask.array.asarray takes (one chunk).
    _Points: TypeAlias = da.Array | ArrayLike

__all__ = ["sph", "sph_grads", "sph_sum", "sph_xyz", "sph_xyz_grads"]

#: The names of the axes that the eager functions put after the points' axes.
_RESULT_AXES = ("harmonic", "component")


def sph(phi: _Points, theta: _Points, lmax: SupportsIndex, *, real: bool = False,
        negative_m: bool = True, condon_shortley: bool = False,
        normalization: _Normalization = "orthonormal",
        threads: SupportsIndex | None = 1) -> da.Array:
    """Lazy spherical harmonics at points given by their angles: ``kelo.sph`` block by block.

    Parameters
    ----------
    phi, theta : dask.array.Array (or array_like) of real numbers
        Polar and azimuthal angles, of the same shape and chunks.
    lmax, real, negative_m, condon_shortley, normalization
        As for ``kelo.sph``.
    threads : int or None, optional
        The most threads for each block, 1 by default; None for every core.

    Returns
    -------
    dask.array.Array, shape phi.shape + (count,)
        What ``kelo.sph`` returns, bit for bit, chunked as ``phi`` along its axes and
        in one chunk along the harmonics.

    Raises
    ------
    TypeError, ValueError
        As ``kelo.sph``, when called; ValueError also if the angles' shapes or chunks
        differ or are unknown.

    Examples
    --------
    >>> import dask.array as da, numpy as np, kelo, kelo.dask
    >>> phi = da.linspace(0, np.pi, 1000, chunks=250)
    >>> Y = kelo.dask.sph(phi, 2 * phi, 3)
    >>> Y.chunks, Y.dtype
    (((250, 250, 250, 250), (16,)), dtype('complex128'))
    >>> np.array_equal(Y.compute(), kelo.sph(phi.compute(), 2 * phi.compute(), 3))
    True
    """
    phi, theta = _angles(phi, theta)
    evaluate = functools.partial(kelo.sph, lmax=lmax, real=real, negative_m=negative_m,
                                 condon_shortley=condon_shortley,
                                 normalization=normalization, threads=threads)
    result: da.Array = _blockwise(evaluate, "(),()", phi.ndim, phi, theta)
    return result


@overload
def sph_grads(phi: _Points, theta: _Points, lmax: SupportsIndex, *, real: bool = False,
              negative_m: bool = True, condon_shortley: bool = False,
              normalization: _Normalization = "orthonormal", return_sphs: Literal[True] = True,
              threads: SupportsIndex | None = 1) -> tuple[da.Array, da.Array]: ...
@overload
def sph_grads(phi: _Points, theta: _Points, lmax: SupportsIndex, *, real: bool = False,
              negative_m: bool = True, condon_shortley: bool = False,
              normalization: _Normalization = "orthonormal", return_sphs: Literal[False],
              threads: SupportsIndex | None = 1) -> da.Array: ...
@overload
def sph_grads(phi: _Points, theta: _Points, lmax: SupportsIndex, *, real: bool = False,
              negative_m: bool = True, condon_shortley: bool = False,
              normalization: _Normalization = "orthonormal", return_sphs: bool = True,
              threads: SupportsIndex | None = 1) -> da.Array | tuple[da.Array, da.Array]: ...
def sph_grads(phi: _Points, theta: _Points, lmax: SupportsIndex, *, real: bool = False,
              negative_m: bool = True, condon_shortley: bool = False,
              normalization: _Normalization = "orthonormal", return_sphs: bool = True,
              threads: SupportsIndex | None = 1) -> da.Array | tuple[da.Array, da.Array]:
    """Lazy gradients (d/dphi, d/dtheta) of the harmonics, and the harmonics: ``kelo.sph_grads``
    block by block.

    Parameters
    ----------
    phi, theta, lmax, real, negative_m, condon_shortley, normalization, threads
        As for ``kelo.dask.sph``.
    return_sphs : bool, optional
        Return the harmonics too, as ``(gradients, harmonics)``.

    Returns
    -------
    gradients : dask.array.Array, shape phi.shape + (count, 2)
    harmonics : dask.array.Array, shape phi.shape + (count,)
        What ``kelo.sph_grads`` returns, bit for bit, chunked as ``phi`` along its axes;
        the harmonics only with ``return_sphs``. Both come from one call of
        ``kelo.sph_grads`` for each block: compute them together (``dask.compute``)
        to run it once.

    Raises
    ------
    TypeError, ValueError
        As ``kelo.sph_grads``, when called; ValueError also if the angles' shapes or
        chunks differ or are unknown.

    Examples
    --------
    >>> import dask, dask.array as da, numpy as np, kelo, kelo.dask
    >>> phi = da.linspace(0.1, 3.0, 100, chunks=30)
    >>> dY, Y = dask.compute(*kelo.dask.sph_grads(phi, phi, 2))
    >>> m = kelo.get_LMs(2)[:, 1]
    >>> dY.shape, np.allclose(dY[..., 1], 1j * m * Y)   # d/dtheta = i m Y
    ((100, 9, 2), True)
    """
    phi, theta = _angles(phi, theta)
    evaluate = functools.partial(kelo.sph_grads, lmax=lmax, real=real, negative_m=negative_m,
                                 condon_shortley=condon_shortley, normalization=normalization,
                                 return_sphs=return_sphs, threads=threads)
    results: da.Array | tuple[da.Array, da.Array] = _blockwise(evaluate, "(),()", phi.ndim,
                                                                 phi, theta)
    return results


def sph_xyz(xyz: _Points, lmax: SupportsIndex, *, real: bool = False, negative_m: bool = True,
            condon_shortley: bool = False, normalization: _Normalization = "orthonormal",
            threads: SupportsIndex | None = 1) -> da.Array:
    """Lazy spherical harmonics of the directions of vectors: ``kelo.sph_xyz`` block by block.

    Parameters
    ----------
    xyz : dask.array.Array (or array_like) of real numbers, shape (..., 3)
        The vectors, chunked along any axis but the last, which must be one chunk.
    lmax, real, negative_m, condon_shortley, normalization
        As for ``kelo.sph_xyz``.
    threads : int or None, optional
        The most threads for each block, 1 by default; None for every core.

    Returns
    -------
    dask.array.Array, shape xyz.shape[:-1] + (count,)
        What ``kelo.sph_xyz`` returns, bit for bit, chunked as ``xyz`` along its
        leading axes and in one chunk along the harmonics.

    Raises
    ------
    TypeError, ValueError
        As ``kelo.sph_xyz``, when called; ValueError also if the last axis of ``xyz``
        is split into chunks.

    Examples
    --------
    >>> import dask.array as da, numpy as np, kelo, kelo.dask
    >>> xyz = da.random.default_rng(0).normal(size=(10_000, 3), chunks=(2_500, 3))
    >>> Y = kelo.dask.sph_xyz(xyz, 8, real=True)
    >>> Y.chunks, Y.dtype
    (((2500, 2500, 2500, 2500), (81,)), dtype('float64'))
    >>> np.array_equal(Y.compute(), kelo.sph_xyz(xyz.compute(), 8, real=True))
    True
    """
    xyz = _vectors(xyz)
    evaluate = functools.partial(kelo.sph_xyz, lmax=lmax, real=real, negative_m=negative_m,
                                 condon_shortley=condon_shortley,
                                 normalization=normalization, threads=threads)
    result: da.Array = _blockwise(evaluate, "(xyz)", xyz.ndim - 1, xyz)
    return result


@overload
def sph_xyz_grads(xyz: _Points, lmax: SupportsIndex, *, real: bool = False,
                  negative_m: bool = True, condon_shortley: bool = False,
                  normalization: _Normalization = "orthonormal",
                  return_sphs: Literal[True] = True,
                  threads: SupportsIndex | None = 1) -> tuple[da.Array, da.Array]: ...
@overload
def sph_xyz_grads(xyz: _Points, lmax: SupportsIndex, *, real: bool = False,
                  negative_m: bool = True, condon_shortley: bool = False,
                  normalization: _Normalization = "orthonormal", return_sphs: Literal[False],
                  threads: SupportsIndex | None = 1) -> da.Array: ...
@overload
def sph_xyz_grads(xyz: _Points, lmax: SupportsIndex, *, real: bool = False,
                  negative_m: bool = True, condon_shortley: bool = False,
                  normalization: _Normalization = "orthonormal", return_sphs: bool = True,
                  threads: SupportsIndex | None = 1) -> da.Array | tuple[da.Array, da.Array]: ...
def sph_xyz_grads(xyz: _Points, lmax: SupportsIndex, *, real: bool = False,
                  negative_m: bool = True, condon_shortley: bool = False,
                  normalization: _Normalization = "orthonormal", return_sphs: bool = True,
                  threads: SupportsIndex | None = 1) -> da.Array | tuple[da.Array, da.Array]:
    """Lazy gradients (d/dx, d/dy, d/dz) of the harmonics of the directions of vectors, and
    the harmonics: ``kelo.sph_xyz_grads`` block by block.

    Parameters
    ----------
    xyz, lmax, real, negative_m, condon_shortley, normalization, threads
        As for ``kelo.dask.sph_xyz``.
    return_sphs : bool, optional
        Return the harmonics too, as ``(gradients, harmonics)``.

    Returns
    -------
    gradients : dask.array.Array, shape xyz.shape[:-1] + (count, 3)
    harmonics : dask.array.Array, shape xyz.shape[:-1] + (count,)
        What ``kelo.sph_xyz_grads`` returns, bit for bit, chunked as ``xyz`` along its
        leading axes; the harmonics only with ``return_sphs``. Both come from one call
        of ``kelo.sph_xyz_grads`` for each block: compute them together
        (``dask.compute``) to run it once.

    Raises
    ------
    TypeError, ValueError
        As ``kelo.sph_xyz_grads``, when called; ValueError also if the last axis of
        ``xyz`` is split into chunks.

    Examples
    --------
    >>> import dask, dask.array as da, numpy as np, kelo, kelo.dask
    >>> xyz = da.random.default_rng(1).normal(size=(1_000, 3), chunks=(300, 3))
    >>> dY, Y = kelo.dask.sph_xyz_grads(xyz, 4)
    >>> dY.chunks
    ((300, 300, 300, 100), (25,), (3,))
    >>> radial = (dY * xyz[:, None, :]).sum(axis=-1)   # no change along r
    >>> bool(abs(radial).max().compute() < 1e-12)
    True
    """
    xyz = _vectors(xyz)
    evaluate = functools.partial(kelo.sph_xyz_grads, lmax=lmax, real=real,
                                 negative_m=negative_m, condon_shortley=condon_shortley,
                                 normalization=normalization, return_sphs=return_sphs,
                                 threads=threads)
    results: da.Array | tuple[da.Array, da.Array] = _blockwise(evaluate, "(xyz)", xyz.ndim - 1,
                                                                 xyz)
    return results


def sph_sum(xyz: _Points, lmax: SupportsIndex, groups: _Points, *, n_groups: SupportsIndex,
            weights: _Points | None = None, real: bool = False, negative_m: bool = True,
            condon_shortley: bool = False, normalization: _Normalization = "orthonormal",
            threads: SupportsIndex | None = 1) -> da.Array:
    """Lazy sums of the harmonics of vectors over groups: ``kelo.sph_sum`` block by block,
    the blocks' sums added up in a tree.

    Each block of vectors gives the sums of its own vectors for every group, through
    ``kelo.sph_sum`` with the full ``n_groups``; these partial sums are then added in
    pairs, in the order of the blocks, so that no task holds more than a few arrays of
    the result's size. The result therefore equals ``kelo.sph_sum``'s to rounding, not bit
    for bit, unless the vectors are one chunk; it is the same on every run and every
    scheduler.

    Parameters
    ----------
    xyz : dask.array.Array (or array_like) of real numbers, shape (E, 3)
        The vectors, chunked along E only.
    lmax
        As for ``kelo.sph_sum``.
    groups : dask.array.Array (or array_like) of integers, shape (E,)
        The group of each vector, from 0 to ``n_groups - 1``, chunked as ``xyz``.
    n_groups : int
        The number of groups. Unlike ``kelo.sph_sum``'s, it has no default: the largest
        group index of a dask array is known only once it is computed.
    weights : dask.array.Array (or array_like) of real numbers, shape (E,) or (E, K), optional
        A weight for each vector, or K of them, chunked as ``xyz`` along E.
    real, negative_m, condon_shortley, normalization
        As for ``kelo.sph_sum``.
    threads : int or None, optional
        The most threads for each block, 1 by default; None for every core.

    Returns
    -------
    dask.array.Array, shape (n_groups, count), or (n_groups, K, count) with (E, K) weights
        What ``kelo.sph_sum`` returns, to rounding; bit for bit when ``xyz`` is one
        chunk. One chunk along the groups and the harmonics.

    Raises
    ------
    TypeError, ValueError
        As ``kelo.sph_sum``, when called, but for group indices out of range, which
        raise ValueError when the blocks run; ValueError also if ``xyz`` is chunked
        along its last axis, or the arrays' lengths or chunks along E differ.

    Examples
    --------
    >>> import dask.array as da, numpy as np, kelo, kelo.dask
    >>> xyz = da.random.default_rng(2).normal(size=(1_000, 3), chunks=(250, 3))
    >>> groups = da.arange(1_000, chunks=250) % 7
    >>> sums = kelo.dask.sph_sum(xyz, 3, groups, n_groups=7)
    >>> sums.shape, sums.chunks
    ((7, 16), ((7,), (16,)))
    >>> expected = kelo.sph_sum(xyz.compute(), 3, groups.compute(), n_groups=7)
    >>> np.allclose(sums.compute(), expected, rtol=1e-13, atol=1e-13)
    True
    """
    vectors = _vectors(xyz)
    if vectors.ndim != 2:
        raise ValueError(f"xyz has shape {vectors.shape}, but must be (E, 3): one vector "
                         f"(x, y, z) per row")
    inputs = [(vectors, "ev"), (_dask_array(groups), "e")]
    if weights is not None:
        factors = _dask_array(weights)
        inputs.append((factors, "ek"[:factors.ndim]))
    for (array, _), name in zip(inputs[1:], ("groups", "weights")):
        if not _agree((array.shape[:1], array.chunks[:1]),
                      (vectors.shape[:1], vectors.chunks[:1])):
            raise ValueError(f"{name} has shape {array.shape} and chunks {array.chunks}, but "
                             f"xyz has {vectors.shape[0]} vectors in chunks {vectors.chunks[0]}: "
                             f"each vector needs its own, chunked alike")
    n_groups = integer_within(n_groups, "n_groups", 0, sys.maxsize)
    evaluate = functools.partial(kelo.sph_sum, lmax=lmax, n_groups=n_groups, real=real,
                                 negative_m=negative_m, condon_shortley=condon_shortley,
                                 normalization=normalization, threads=threads)
    # A block of one zero vector in a single group checks the other arguments and gives
    # the sums' dtype and trailing axes, without filling n_groups sums while the graph is
    # built. (An empty block would let groups of floats through, as an empty list.)
    sample = _block_sums(functools.partial(evaluate, n_groups=1),
                         *(np.zeros((1,) + array.shape[1:], array.dtype) for array, _ in inputs))
    # A block's sums for every group, on a leading axis of its own that the tree sums away.
    partial_sums = da.blockwise(  # type: ignore[no-untyped-call]
        functools.partial(_block_sums, evaluate), "eg" + "k"[:sample.ndim - 3] + "h",
        *(item for pair in inputs for item in pair), concatenate=True,
        new_axes={"g": n_groups, "h": sample.shape[-1]}, adjust_chunks={"e": 1},
        meta=np.empty((0,) * sample.ndim, sample.dtype))
    # Added in pairs, in the blocks' order: the bits do not depend on the scheduler, and
    # no task holds more than two partial sums and their total.
    total: da.Array = partial_sums.sum(axis=0, split_every=2)
    return total


def _block_sums(evaluate: Callable[..., NDArray[Any]], xyz: NDArray[Any], groups: NDArray[Any],
                weights: NDArray[Any] | None = None) -> NDArray[Any]:
    return evaluate(xyz, groups=groups, weights=weights)[np.newaxis]


def _angles(phi: _Points, theta: _Points) -> tuple[da.Array, da.Array]:
    polar, azimuth = _dask_array(phi), _dask_array(theta)
    # dask's generalised ufuncs cannot match two arrays whose sizes are still unknown.
    if any(map(math.isnan, polar.shape + azimuth.shape)):
        raise ValueError(f"phi has shape {polar.shape} and theta {azimuth.shape}, unknown "
                         f"until computed: compute_chunk_sizes() on each gives them")
    if polar.shape != azimuth.shape:
        raise ValueError(f"phi has shape {polar.shape} but theta has shape {azimuth.shape}: "
                         f"every point needs both angles")
    if polar.chunks != azimuth.chunks:
        raise ValueError(f"phi has chunks {polar.chunks} but theta has chunks "
                         f"{azimuth.chunks}: rechunk them alike")
    return polar, azimuth


def _vectors(xyz: _Points) -> da.Array:
    vectors = _dask_array(xyz)
    if vectors.ndim == 0 or vectors.shape[-1] != 3:
        raise ValueError(f"xyz has shape {vectors.shape}, but its last axis must hold the "
                         f"3 components x, y, z")
    if len(vectors.chunks[-1]) != 1:
        raise ValueError(f"xyz is split into chunks {vectors.chunks[-1]} along its last axis, "
                         f"but every block needs whole vectors: xyz.rechunk({{-1: 3}}) joins them")
    return vectors


def _agree(first: Any, second: Any) -> bool:
    """Whether two sizes, or tuples of them, are equal where known. dask leaves the sizes
    that only computing tells as NaN: the eager function checks those in each block."""
    if isinstance(first, tuple) and isinstance(second, tuple):
        return len(first) == len(second) and all(map(_agree, first, second))
    return bool(first == second or math.isnan(first) or math.isnan(second))


def _dask_array(points: _Points) -> da.Array:
    # dask.array.asarray and apply_gufunc carry no annotations.
    array: da.Array = da.asarray(points)  # type: ignore[no-untyped-call]
    return array


def _blockwise(evaluate: Callable[..., Any], core_axes: str, points_ndim: int,
               *inputs: da.Array) -> Any:
    """``evaluate`` over the blocks of ``inputs``: dask arrays whose first ``points_ndim``
    axes run along the points and whose other axes are ``core_axes``, the inputs' side of
    a generalised ufunc's signature. One dask array for each array ``evaluate`` returns.

    ``evaluate`` runs on an empty block first, which checks its arguments and gives the
    dtype and the trailing axes of each result.
    """
    samples = evaluate(*(np.empty((0,) * points_ndim + a.shape[points_ndim:], a.dtype)
                         for a in inputs))
    results = samples if isinstance(samples, tuple) else (samples,)
    axes = [_RESULT_AXES[:result.ndim - points_ndim] for result in results]
    sizes = {name: size for names, result in zip(axes, results)
             for name, size in zip(names, result.shape[points_ndim:])}
    metas = tuple(np.empty((0,) * result.ndim, result.dtype) for result in results)
    signature = core_axes + "->" + ",".join(f"({','.join(names)})" for names in axes)
    # Several results share one call of `evaluate` per block: apply_gufunc keeps the tuple
    # it returns as one task and takes each result out of it, without copying.
    return da.apply_gufunc(  # type: ignore[no-untyped-call]
        evaluate, signature, *inputs, output_sizes=sizes,
        meta=metas if isinstance(samples, tuple) else metas[0])
