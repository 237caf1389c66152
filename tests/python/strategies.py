"""Hypothesis strategies for the arguments of kelo's functions, good and bad.

Angles are drawn as values, a dtype, a shape and a layout that presents them in
some memory: plain, Fortran-ordered, strided, reversed, read-only, misaligned,
byte-swapped, or as nested lists and scalars. Degrees and flags come in every
kind a caller may pass. Good arguments are drawn most of the time, so that most
calls get through to a result. Which outcome each call must have is decided by
contract.py, not here.
"""

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kelo import MAX_LMAX

__all__ = ["angle_pairs", "call_arguments", "degrees", "flags", "index_degrees", "thread_counts"]


def mostly(usual, unusual, odds=4):
    """usual, but about one draw in odds + 1 unusual; shrinks towards usual."""
    return st.sampled_from([usual] * odds + [unusual]).flatmap(lambda strategy: strategy)


ANGLE_DTYPES = [np.float32, np.float64, np.int32, np.int64]
OTHER_DTYPES = [
    np.bool_, np.int8, np.int16, np.uint8, np.uint16, np.uint32, np.uint64, np.float16,
    np.longdouble, np.complex64, np.complex128, np.clongdouble, "U3", "S3", object,
    "datetime64[s]", "timedelta64[ms]", [("phi", np.float64)], [("a", np.float32), ("b", np.int32)],
]
dtypes = mostly(st.sampled_from(ANGLE_DTYPES), st.sampled_from(OTHER_DTYPES), odds=6).map(np.dtype)

shapes = hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4)

# Angles anywhere, the poles, non-finite and huge ones included: the functions
# evaluate them all without checking.
angle_values = st.one_of(
    st.floats(0, 2 * np.pi), st.sampled_from([0.0, -0.0, np.pi, np.pi / 2]),
    st.floats(allow_nan=True, allow_infinity=True, width=32),
)


def _in_plain_memory(values, dtype):
    """The angles as a fresh C-contiguous array of dtype, values cast as NumPy casts them."""
    with np.errstate(all="ignore"):
        if dtype.fields is not None:
            array = np.zeros(values.shape, dtype)
            for name in dtype.names:
                array[name] = values
            return array
        if dtype.kind in "iumM":
            # Small integers, dates and durations, from the finite values.
            values = np.nan_to_num(values, nan=0.0, posinf=7.0, neginf=0.0).clip(0, 7)
            values = values.astype(np.int64)
        return np.asarray(values).astype(dtype)  # 0-d arithmetic gives scalars


def _every(step, array):
    """An index that takes every step-th element along each axis; a 0-d array stays one."""
    return (slice(None, None, step),) * array.ndim + (Ellipsis,)


def _misaligned(array):
    """A copy of array whose data start one byte past an aligned address."""
    if array.dtype.hasobject:
        return array  # object references cannot be laid in raw bytes
    raw = np.empty(array.nbytes + 1, np.uint8)
    copy = raw[1:].view(array.dtype).reshape(array.shape)
    copy[...] = array
    return copy


def _strided(array):
    """The same values every other element of a larger array."""
    spread = np.empty(tuple(2 * n for n in array.shape), array.dtype)
    view = spread[_every(2, array)]
    view[...] = array
    return view


def _read_only(array):
    frozen = array.copy()
    frozen.flags.writeable = False
    return frozen


LAYOUTS = {
    "plain": lambda array: array,
    "fortran": np.asfortranarray,
    "strided": _strided,
    "reversed": lambda array: array[_every(-1, array)].copy()[_every(-1, array)],
    "read-only": _read_only,
    "misaligned": _misaligned,
    "nested lists": lambda array: array.tolist() if array.ndim else array.item(),
    "byte-swapped": lambda array: array.astype(array.dtype.newbyteorder()),
}


@st.composite
def angles(draw, shape, dtype):
    """One angle argument: the given shape and dtype in a drawn layout."""
    values = draw(hnp.arrays(np.float64, shape, elements=angle_values))
    return LAYOUTS[draw(st.sampled_from(list(LAYOUTS)))](_in_plain_memory(values, dtype))


@st.composite
def angle_pairs(draw):
    """(phi, theta): mostly of one shape and dtype, sometimes not, rarely ragged lists."""
    shape = draw(shapes)
    dtype = draw(dtypes)
    phi = draw(mostly(angles(shape, dtype), st.just([[0.5, 1.0], [0.5]]), odds=19))
    theta_shape = draw(mostly(st.just(shape), shapes, odds=9))
    theta = draw(angles(theta_shape, draw(mostly(st.just(dtype), dtypes, odds=9))))
    return phi, theta


class Flag:
    """A flag whose successive truth tests give `answers`; an exception type is raised."""

    def __init__(self, answers):
        self.answers = list(answers)
        self.tests = 0

    def __bool__(self):
        answer = self.answers[min(self.tests, len(self.answers) - 1)]
        self.tests += 1
        if isinstance(answer, type):
            raise answer("this flag refuses to be tested")
        return answer

    def __repr__(self):
        return f"Flag({self.answers!r})"


flags = mostly(
    st.one_of(st.booleans(), st.sampled_from([0, 1, None, "", "no", [], [0], np.bool_(False),
                                              np.float64(0.0), np.array([1])])),
    st.one_of(st.just(np.array([True, False])),  # no truth at all
              st.lists(st.sampled_from([True, False, RuntimeError, ZeroDivisionError]),
                       min_size=2, max_size=3).map(Flag)),
)


class Integral:
    """An integer that offers nothing but __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Integral({self.value})"


INTEGER_TYPES = [int, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
                 np.uint64]


def _integer_of_any_type(value):
    """value as any integer type that holds it."""
    fitting = [kind for kind in INTEGER_TYPES
               if kind is int or np.iinfo(kind).min <= value <= np.iinfo(kind).max]
    fitting += [Integral] + ([bool] if value in (0, 1) else [])
    return st.sampled_from(fitting).map(lambda kind: kind(value))


def _degrees(usual, negative, large):
    integers = st.one_of(negative, large).flatmap(_integer_of_any_type)
    return mostly(usual.flatmap(_integer_of_any_type), st.one_of(
        integers,
        integers.map(str),
        st.floats(-60, 12).map(lambda x: float(np.float32(x))),  # int() truncates these
        st.sampled_from([np.float32(2.5), np.float64(-0.5), float("inf"), float("nan"), 1e300,
                         None, "2.5", "two", b"3", 3j, [2], object(), np.array(3)]),
    ), odds=3)


def degrees(points):
    """Degrees of few harmonics, negative ones and ones beyond MAX_LMAX.

    The negative ones stay small: the functions allocate their result, sized by
    lmax, before the core refuses the degree. For the same reason a degree too
    large comes with points only from 2^32 on, a result NumPy cannot even describe,
    rather than just above MAX_LMAX, where it would first allocate gigabytes.
    """
    large = st.integers(2**32, 2**70) if points else st.integers(MAX_LMAX + 1, 2**70)
    return _degrees(st.integers(0, 10), st.integers(-60, -1), large)


# get_LMs builds its table in Python lists and has no upper limit of its own:
# its degrees stay small enough for that.
index_degrees = _degrees(st.integers(0, 180), st.integers(-10**20, -1), st.integers(181, 300))


# Thread counts: None for every core, small ones, and ones out of range or of the wrong kind.
thread_counts = mostly(st.sampled_from([None, 1, 2, 3]), st.sampled_from(
    [0, -1, 1025, True, 2.5, "2", np.int8(2), np.uint64(3), object()]))


@st.composite
def call_arguments(draw, parameters, values):
    """(args, kwargs) passing values for the named parameters in a drawn way.

    Usually a prefix goes by position and the rest by keyword. Sometimes an
    argument is left out, one is given twice, an unknown keyword joins, or one
    positional argument too many follows.
    """
    mistake = draw(mostly(st.just(None), st.sampled_from(["omit", "twice", "unknown", "extra"])))
    omitted = draw(st.integers(0, len(values) - 1)) if mistake == "omit" else len(values)
    kept = [pair for i, pair in enumerate(zip(parameters, values)) if i != omitted]
    split = draw(st.integers(0, omitted))  # positional ones keep their places
    args = [value for _, value in kept[:split]]
    kwargs = dict(kept[split:])
    if mistake == "twice" and args:
        kwargs[parameters[0]] = values[0]
    elif mistake == "unknown":
        kwargs["negative"] = False
    elif mistake == "extra":
        args, kwargs = [*values, True], {}
    return args, kwargs
