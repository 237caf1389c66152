# cython: language_level=3
"""The checks that kelo's threaded functions make of their arguments.

Each refuses an argument with TypeError or ValueError before anything is written.
"""

import operator
import os

import numpy as np

from kelo._core cimport MAX_LMAX as CORE_MAX_LMAX, aligned, series_count

#: The largest degree kelo evaluates: its tables are addressed with 32-bit indices.
MAX_LMAX = CORE_MAX_LMAX

#: The most threads a call may ask for: starting more is a mistake, not a request.
MAX_THREADS = 1024


def harmonics_per_point(lmax, negative_m=True):
    """How many columns get_LMs(lmax, negative_m) lists, without building that table."""
    return series_count(lmax, bool(negative_m))


cdef int require_supported_degree(lmax) except -1:
    """Refuses degrees whose tables the core cannot index."""
    if lmax > MAX_LMAX:
        raise ValueError(f"lmax is {lmax}, but kelo supports degrees up to {MAX_LMAX} only")
    return 0


cdef unsigned int core_lmax(unsigned int lmax) except? 0:
    """Passes lmax on, refusing degrees whose tables the core cannot index."""
    require_supported_degree(lmax)
    return lmax


cdef tuple supported_shape(tuple shape, lmax):
    """The shape of a result for degrees up to lmax, once the core can evaluate them:
    a degree beyond its tables is refused before memory is sought for such a result."""
    require_supported_degree(lmax)
    return shape


cdef int require_theta_for_every_point(phi, theta) except -1:
    """The core reads as many azimuths as there are polar angles."""
    if theta.size < phi.size:
        raise ValueError(f"theta has {theta.size} elements but phi has {phi.size}: "
                         f"every point needs both angles")
    return 0


def degree(lmax):
    return integer_within(lmax, "lmax", 0, MAX_LMAX)


def thread_count(threads):
    """The threads to use: as asked, or every core the process may run on."""
    if threads is not None:
        return integer_within(threads, "threads", 1, MAX_THREADS)
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # no affinity masks on this platform
        return os.cpu_count() or 1


def integer_within(value, name, low, high):
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    value = operator.index(value)
    if not low <= value <= high:
        raise ValueError(f"{name} is {value}, but must be from {low} to {high}")
    return value


def output(array, name, shape, dtype, *inputs):
    """A new array for a result, or the caller's, once it is fit to receive it.

    The checks read the plain ndarray over the caller's buffer, which parts() hands to
    the core: a subclass may report any shape or flags it likes.
    """
    if array is None:
        return np.empty(shape, dtype)
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{name} must be a numpy.ndarray, not {type(array).__name__}")
    target = np.asarray(array)
    if target.dtype != dtype:
        raise TypeError(f"{name} has dtype {target.dtype}, but the result has dtype {dtype}")
    if target.shape != shape:
        raise ValueError(f"{name} has shape {target.shape}, but the result has shape {shape}")
    if not target.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous")
    if not target.flags.writeable:
        raise ValueError(f"{name} is read-only")
    if not target.flags.aligned:
        raise ValueError(f"{name} is not aligned to its dtype")
    # Writing over an input, or over the other result, while reading it would corrupt both.
    if any(np.may_share_memory(target, other) for other in inputs):
        raise ValueError(f"{name} overlaps an input or another output")
    return array


def gradient_outputs(out, sphs_out, return_sphs, shape, components, dtype, *inputs):
    """The arrays for the gradients, shape + (components,), and with return_sphs for the
    harmonics, shape: new ones, or the caller's once they are fit to receive them."""
    if sphs_out is not None and not return_sphs:
        raise ValueError("sphs_out is given, but return_sphs is False")
    gradients = output(out, "out", shape + (components,), dtype, *inputs)
    harmonics = output(sphs_out, "sphs_out", shape, dtype, *inputs, gradients) if return_sphs else None
    return gradients, harmonics


def parts(result):
    """The real numbers of a C-contiguous real or complex array, flat, as a plain ndarray."""
    flat = np.asarray(result).reshape(-1)
    return flat.view(flat.real.dtype) if flat.dtype.kind == "c" else flat


#: The scales of the harmonics that `normalization=` names.
NORMALIZATIONS = ("orthonormal", "4pi", "schmidt")


def checked_convention(real, negative_m, condon_shortley, normalization):
    """The convention keywords, checked: (real, negative_m, condon_shortley, normalization)."""
    real, negative_m, condon_shortley = bool(real), bool(negative_m), bool(condon_shortley)
    if real and not negative_m:
        raise ValueError("real harmonics hold every order: negative_m=False needs real=False")
    if not isinstance(normalization, str) or normalization not in NORMALIZATIONS:
        raise ValueError(f"normalization is {normalization!r}, but must be one of "
                         + ", ".join(map(repr, NORMALIZATIONS)))
    return real, negative_m, condon_shortley, normalization


def real_numbers(value, name):
    """value as an ndarray, which must hold real numbers."""
    array = np.asarray(value)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, not {array.dtype}")
    return array


def in_precision(dtype, *arrays):
    """The arrays as aligned C-contiguous arrays of dtype, for the core to read."""
    return tuple(aligned(np.asarray(array, dtype=dtype, order="C")) for array in arrays)


def vectors(xyz):
    """xyz as an aligned C-contiguous array of one floating type, whose last axis is (x, y, z)."""
    xyz = real_numbers(xyz, "xyz")
    if xyz.ndim == 0 or xyz.shape[-1] != 3:
        raise ValueError(f"xyz has shape {xyz.shape}, but its last axis must hold the "
                         f"3 components x, y, z")
    return in_precision(precision(xyz), xyz)[0]


def precision(*arrays):
    """float32 when every array holds floats of 32 bits or fewer, float64 otherwise."""
    single = all(a.dtype.kind == "f" and a.dtype.itemsize <= 4 for a in arrays)
    return np.dtype(np.float32 if single else np.float64)


def result_dtype(precision, real):
    """The dtype of results computed in `precision`, real or complex."""
    return precision if real else np.result_type(precision, np.complex64)
