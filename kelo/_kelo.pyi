from typing import Literal, SupportsIndex, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kelo._arguments import _ComplexHarmonics

def pointwise_sph(
    phi: ArrayLike, theta: ArrayLike, lmax: SupportsIndex, negative_m: bool = True
) -> _ComplexHarmonics: ...
@overload
def pointwise_sph_grads(
    phi: ArrayLike,
    theta: ArrayLike,
    lmax: SupportsIndex,
    negative_m: bool = True,
    return_sphs: Literal[True] = True,
) -> tuple[_ComplexHarmonics, _ComplexHarmonics]: ...
@overload
def pointwise_sph_grads(
    phi: ArrayLike,
    theta: ArrayLike,
    lmax: SupportsIndex,
    negative_m: bool,
    return_sphs: Literal[False],
) -> _ComplexHarmonics: ...
@overload
def pointwise_sph_grads(
    phi: ArrayLike,
    theta: ArrayLike,
    lmax: SupportsIndex,
    negative_m: bool = True,
    *,
    return_sphs: Literal[False],
) -> _ComplexHarmonics: ...
@overload
def pointwise_sph_grads(
    phi: ArrayLike,
    theta: ArrayLike,
    lmax: SupportsIndex,
    negative_m: bool = True,
    return_sphs: bool = True,
) -> _ComplexHarmonics | tuple[_ComplexHarmonics, _ComplexHarmonics]: ...
def get_LMs(lmax: SupportsIndex, negative_m: bool = True) -> NDArray[np.int64]: ...
