"""TEMPORARY stand-in for kelo.sph_sum, which is being written in Cython (kelo/_sums.pyx).

Same signature and results up to rounding; delete this file once the real one is merged.
"""

from typing import Any, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kelo._vectors import sph_xyz


def sph_sum(xyz: ArrayLike, lmax: SupportsIndex, groups: ArrayLike, *,
            n_groups: SupportsIndex | None = None, weights: ArrayLike | None = None,
            real: bool = False, negative_m: bool = True, condon_shortley: bool = False,
            normalization: Any = "orthonormal", out: NDArray[Any] | None = None,
            threads: SupportsIndex | None = None) -> NDArray[Any]:
    harmonics = sph_xyz(xyz, lmax, real=real, negative_m=negative_m,
                        condon_shortley=condon_shortley, normalization=normalization,
                        threads=threads)
    indices = np.asarray(groups).reshape(-1)
    count = int(n_groups) if n_groups is not None else (int(indices.max()) + 1 if indices.size else 0)
    if indices.size and (indices.min() < 0 or indices.max() >= count):
        raise ValueError("a group index lies outside [0, n_groups)")
    if weights is not None:
        harmonics = np.asarray(weights)[..., None] * (
            harmonics[:, None] if np.ndim(weights) == 2 else harmonics)
    result = np.zeros((count,) + harmonics.shape[1:], harmonics.dtype)
    np.add.at(result, indices, harmonics)
    return result
