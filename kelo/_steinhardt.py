"""Steinhardt's bond-orientational order parameters q_l and w-hat_l of groups of vectors."""

from collections.abc import Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kelo._arguments import MAX_LMAX, integer_within
from kelo._kelo import get_LMs
from kelo._sums import sph_sum
from kelo._wigner import wigner_3j_table

# The degrees: [4, 6], or an array of integers.
_Degrees: TypeAlias = Sequence[SupportsIndex] | NDArray[np.integer[Any]]


@overload
def steinhardt(xyz: ArrayLike, groups: ArrayLike, ls: _Degrees, *,
               n_groups: SupportsIndex | None = None, wl: Literal[False] = False,
               threads: SupportsIndex | None = None) -> NDArray[np.float64]: ...
@overload
def steinhardt(xyz: ArrayLike, groups: ArrayLike, ls: _Degrees, *,
               n_groups: SupportsIndex | None = None, wl: Literal[True],
               threads: SupportsIndex | None = None
               ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
@overload
def steinhardt(xyz: ArrayLike, groups: ArrayLike, ls: _Degrees, *,
               n_groups: SupportsIndex | None = None, wl: bool = False,
               threads: SupportsIndex | None = None
               ) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.float64]]: ...
def steinhardt(xyz: ArrayLike, groups: ArrayLike, ls: _Degrees, *,
               n_groups: SupportsIndex | None = None, wl: bool = False,
               threads: SupportsIndex | None = None
               ) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Steinhardt's order parameters q_l, and optionally w-hat_l, of groups of vectors.

    Typically each vector is a bond r_j - r_i from a particle i to a neighbour j, and
    its group is i. With qbar_lm the mean of Y_l^m over the vectors of a group
    (orthonormal harmonics with the Condon-Shortley phase)::

        q_l = sqrt(4 pi / (2l + 1) sum_m |qbar_lm|^2),
        w-hat_l = sum_{m1 + m2 + m3 = 0} (l l l; m1 m2 m3) qbar_lm1 qbar_lm2 qbar_lm3
                  / (sum_m |qbar_lm|^2)^(3/2),

    with (l l l; m1 m2 m3) the Wigner 3-j symbols. Both are invariant under rotations.
    w-hat_l is real up to rounding, and its real part is returned; for odd l it vanishes
    (the symbols change sign when m1 and m2 swap), and what is returned is rounding.

    Parameters
    ----------
    xyz : array_like, shape (E, 3)
        The vectors, of any length: only their directions count.
    groups : array_like of int, shape (E,)
        The group of each vector, in any order, from 0 to ``n_groups - 1``.
    ls : sequence of int
        The degrees l, each from 0 to ``kelo.MAX_LMAX``, such as ``[4, 6]``.
    n_groups : int, optional
        The number of groups; by default ``max(groups) + 1``.
    wl : bool, default False
        Return w-hat_l as well. Its 3-j symbols are computed exactly once per degree and
        kept: some 3 l^2 of them, about 0.05 s at l = 20 and 2.5 s at l = 100.
    threads : int, optional
        Threads for the harmonics, as in ``kelo.sph_xyz``; the result does not depend
        on it.

    Returns
    -------
    q : ndarray of float64, shape (n_groups, len(ls))
        q_l of each group, one column per degree in ``ls``.
    w : ndarray of float64, shape (n_groups, len(ls))
        w-hat_l, with ``wl=True`` only: then ``(q, w)`` is returned.

    Raises
    ------
    TypeError
        ``ls`` is not a sequence of integers, or an argument is of the wrong type for
        ``kelo.sph_sum``.
    ValueError
        ``ls`` is empty or holds a degree outside 0 to ``kelo.MAX_LMAX``; ``xyz`` is not
        E x 3 or ``groups`` holds an index outside [0, ``n_groups``).

    Notes
    -----
    A group without vectors, such as a particle without neighbours, has no orientational
    order: its q_l and w-hat_l are NaN rather than a number that would read as a
    measurement. w-hat_l is also NaN where q_l is zero (odd l of a centrosymmetric
    group, for example), and mere rounding where q_l is at the level of rounding.

    Examples
    --------
    The twelve nearest neighbours of an atom of a face-centred cubic crystal:

    >>> import itertools
    >>> import numpy as np
    >>> import kelo
    >>> shell = [v for v in itertools.product((-1, 0, 1), repeat=3) if np.count_nonzero(v) == 2]
    >>> q, w = kelo.steinhardt(shell, np.zeros(12, dtype=int), [4, 6], wl=True)
    >>> q.round(5), w.round(5)
    (array([[0.19094, 0.57452]]), array([[-0.15932, -0.01316]]))
    """
    degrees = checked_degrees(ls)
    sums = sph_sum(xyz, max(degrees), groups, n_groups=n_groups, condon_shortley=True,
                   threads=threads)
    counts = np.bincount(np.asarray(groups).astype(np.intp), minlength=len(sums))
    columns = get_LMs(max(degrees))
    with np.errstate(invalid="ignore", divide="ignore"):  # empty groups: 0 / 0 = NaN
        means = sums / counts[:, None]
        blocks = [degree_block(means, columns, l) for l in degrees]
        squares = [np.sum(np.abs(block) ** 2, axis=1) for block in blocks]
        q = np.column_stack([np.sqrt(4 * np.pi / (2 * l + 1) * square)
                             for l, square in zip(degrees, squares)])
        if not wl:
            return q
        w = np.column_stack([third_order_invariant(block, l) / square**1.5
                             for l, block, square in zip(degrees, blocks, squares)])
    return q, w


def checked_degrees(ls: _Degrees) -> list[int]:
    """The degrees of ls, each an integer from 0 to MAX_LMAX, at least one."""
    if isinstance(ls, (str, bytes)) or not isinstance(ls, (Sequence, np.ndarray)):
        raise TypeError(f"ls must be a sequence of degrees, such as [4, 6], not {ls!r}")
    degrees = [integer_within(l, "a degree in ls", 0, MAX_LMAX) for l in ls]
    if not degrees:
        raise ValueError("ls is empty: it must name at least one degree")
    return degrees


def degree_block(harmonics: NDArray[Any], columns: NDArray[np.int64], l: int) -> NDArray[Any]:
    """The columns of degree l of a series laid out as get_LMs gives, ordered m = -l..l."""
    (selected,) = np.nonzero(columns[:, 0] == l)
    return harmonics[:, selected[np.argsort(columns[selected, 1])]]


def third_order_invariant(block: NDArray[Any], l: int) -> NDArray[np.float64]:
    """sum over m1 + m2 + m3 = 0 of (l l l; m1 m2 m3) b_m1 b_m2 b_m3 for each row b of block
    (columns m = -l..l), real part.

    One m1 at a time, so that the intermediate arrays hold 2l + 1 columns, not the
    3 l^2 of every order triple.
    """
    orders, symbols = wigner_3j_table(l)
    total = np.zeros(len(block), dtype=block.dtype)
    for m1 in range(-l, l + 1):
        rows = orders[:, 0] == m1
        m2, m3 = orders[rows, 1:].T + l
        total += block[:, m1 + l] * ((block[:, m2] * block[:, m3]) @ symbols[rows])
    return total.real
