from typing import Any, Final, Literal, SupportsIndex, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kelo._arguments import _ComplexHarmonics, _Normalization, _RealHarmonics

FLOAT32: Final[np.dtype[np.float32]]

@overload
def sph_xyz(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: Literal[False] = False,
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> _ComplexHarmonics: ...
@overload
def sph_xyz(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: Literal[True],
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> _RealHarmonics: ...
@overload
def sph_xyz(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: bool = False,
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> _ComplexHarmonics | _RealHarmonics: ...
@overload
def sph_xyz_grads(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: Literal[False] = False,
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    return_sphs: Literal[True] = True,
    out: NDArray[Any] | None = None,
    sphs_out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> tuple[_ComplexHarmonics, _ComplexHarmonics]: ...
@overload
def sph_xyz_grads(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: Literal[False] = False,
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    return_sphs: Literal[False],
    out: NDArray[Any] | None = None,
    sphs_out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> _ComplexHarmonics: ...
@overload
def sph_xyz_grads(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: Literal[True],
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    return_sphs: Literal[True] = True,
    out: NDArray[Any] | None = None,
    sphs_out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> tuple[_RealHarmonics, _RealHarmonics]: ...
@overload
def sph_xyz_grads(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: Literal[True],
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    return_sphs: Literal[False],
    out: NDArray[Any] | None = None,
    sphs_out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> _RealHarmonics: ...
@overload
def sph_xyz_grads(
    xyz: ArrayLike,
    lmax: SupportsIndex,
    *,
    real: bool = False,
    negative_m: bool = True,
    condon_shortley: bool = False,
    normalization: _Normalization = "orthonormal",
    return_sphs: bool = True,
    out: NDArray[Any] | None = None,
    sphs_out: NDArray[Any] | None = None,
    threads: SupportsIndex | None = None,
) -> (
    _ComplexHarmonics
    | _RealHarmonics
    | tuple[_ComplexHarmonics, _ComplexHarmonics]
    | tuple[_RealHarmonics, _RealHarmonics]
): ...
