from typing import Final, Literal, SupportsIndex, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kelo._arguments import _ComplexHarmonics, _Normalization, _RealHarmonics

FLOAT32: Final[np.dtype[np.float32]]

@overload
def sph_sum(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    groups: ArrayLike,
    *,
    n_groups: SupportsIndex | None = None,
    weights: ArrayLike | None = None,
    real: Literal[False] = False,
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    out: NDArray[np.complex64 | np.complex128] | None = None,
    threads: SupportsIndex | None = None,
) -> _ComplexHarmonics: ...
@overload
def sph_sum(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    groups: ArrayLike,
    *,
    n_groups: SupportsIndex | None = None,
    weights: ArrayLike | None = None,
    real: Literal[True],
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    out: NDArray[np.float32 | np.float64] | None = None,
    threads: SupportsIndex | None = None,
) -> _RealHarmonics: ...
@overload
def sph_sum(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    groups: ArrayLike,
    *,
    n_groups: SupportsIndex | None = None,
    weights: ArrayLike | None = None,
    real: bool = False,
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    out: NDArray[np.complex64 | np.complex128 | np.float32 | np.float64] | None = None,
    threads: SupportsIndex | None = None,
) -> _ComplexHarmonics | _RealHarmonics: ...
