from typing import Any, Final, Literal, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

# The types that kelo's signatures share.
_Normalization: TypeAlias = Literal["orthonormal", "4pi", "schmidt"]
# The precision of the results follows the inputs': single for float32 and float16.
_ComplexHarmonics: TypeAlias = NDArray[np.complex64 | np.complex128]
_RealHarmonics: TypeAlias = NDArray[np.float32 | np.float64]

MAX_LMAX: Final[int]
MAX_THREADS: Final[int]
NORMALIZATIONS: Final[tuple[_Normalization, ...]]

def harmonics_per_point(lmax: SupportsIndex, negative_m: bool = True) -> int: ...
def degree(lmax: SupportsIndex) -> int: ...
def thread_count(threads: SupportsIndex | None) -> int: ...
def integer_within(value: SupportsIndex, name: str, low: int, high: int) -> int: ...
def output(
    array: NDArray[Any] | None,
    name: str,
    shape: tuple[int, ...],
    dtype: np.dtype[Any],
    *inputs: NDArray[Any],
) -> NDArray[Any]: ...
def gradient_outputs(
    out: NDArray[Any] | None,
    sphs_out: NDArray[Any] | None,
    return_sphs: bool,
    shape: tuple[int, ...],
    components: int,
    dtype: np.dtype[Any],
    *inputs: NDArray[Any],
) -> tuple[NDArray[Any], NDArray[Any] | None]: ...
def parts(result: NDArray[Any]) -> NDArray[np.float32 | np.float64]: ...
def checked_convention(
    real: bool, negative_m: bool, condon_shortley: bool, normalization: _Normalization
) -> tuple[bool, bool, bool, _Normalization]: ...
def real_numbers(value: ArrayLike, name: str) -> NDArray[Any]: ...
def in_precision(dtype: np.dtype[Any], *arrays: ArrayLike) -> tuple[NDArray[Any], ...]: ...
def vectors(xyz: ArrayLike) -> NDArray[np.float32 | np.float64]: ...
def precision(*arrays: NDArray[Any]) -> np.dtype[np.float32 | np.float64]: ...
def result_dtype(
    precision: np.dtype[np.float32 | np.float64], real: bool
) -> np.dtype[np.float32 | np.float64 | np.complex64 | np.complex128]: ...
