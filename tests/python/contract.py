"""The documented behaviour of kelo's functions, as an oracle for any call.

check(name, args, kwargs) works out from the README's rules which exceptions
the call may raise and whether it may return, calls the function and checks
what happened. A returned result must have the documented shape and dtype and
the bits of a reference: the same function called on plain C-contiguous copies
of the angles in the dtype the rules choose (so the memory the angles came in
makes no difference), or for get_LMs the series order itself. When a call has
several faults at once, any of their exceptions will do.
"""

import copy
import inspect
import math
import operator
from dataclasses import dataclass, field

import numpy as np
from hypothesis import event

import kelo


def pointwise_sph(phi, theta, lmax, negative_m=True): ...
def pointwise_sph_grads(phi, theta, lmax, negative_m=True, return_sphs=True): ...
def get_LMs(lmax, negative_m=True): ...
def sph(phi, theta, lmax, *, negative_m=True, out=None, threads=None): ...
def sph_grads(phi, theta, lmax, *, negative_m=True, return_sphs=True, out=None, sphs_out=None,
              threads=None): ...


SIGNATURES = {stub.__name__: inspect.signature(stub)
              for stub in (pointwise_sph, pointwise_sph_grads, get_LMs, sph, sph_grads)}
FLOATS = (np.dtype(np.float32), np.dtype(np.float64))
Y00 = 0.5 / math.sqrt(math.pi)


@dataclass
class Outcome:
    errors: list = field(default_factory=list)  # exception types the call may raise
    may_return: bool = True
    verify: object = None  # checks a returned result

    def refuse(self, error):
        """The call must fail, with this exception among the acceptable ones."""
        self.errors.append(error)
        self.may_return = False


def _truth(flag, outcome, required=True):
    """A flag's truth, taken once; a flag that cannot say is a fault of the call."""
    try:
        return bool(flag)
    except Exception as error:  # whatever __bool__ raises is expected back
        outcome.errors.append(type(error))
        outcome.may_return = outcome.may_return and not required
        return None


def _angles(phi, theta, outcome):
    """The angles as evaluated: arrays of at least one dimension, integers taken as float32."""
    try:
        phi, theta = (np.atleast_1d(np.asarray(angles)) for angles in (phi, theta))
    except Exception as error:  # NumPy's own refusal is expected back
        outcome.refuse(type(error))
        return None
    phi, theta = (angles.astype(np.float32) if angles.dtype in (np.int32, np.int64) else angles
                  for angles in (phi, theta))
    if phi.shape != theta.shape or phi.dtype != theta.dtype or phi.dtype not in FLOATS:
        outcome.refuse(AssertionError)
        return None
    return np.array(phi, order="C"), np.array(theta, order="C")


def _degree(lmax, outcome):
    """lmax through int(): negative ones overflow the core's unsigned degree, large ones are refused."""
    try:
        degree = int(lmax)
    except Exception as error:  # int()'s refusal is expected back
        outcome.refuse(type(error))
        return None
    if degree < 0:
        outcome.refuse(OverflowError)
    elif degree > kelo.MAX_LMAX:
        outcome.refuse(ValueError)
    return degree


UNSIGNED = {4: np.uint32, 8: np.uint64}


def assert_same_values(actual, expected):
    """Same type, shape, dtype and bits; NaNs need only be NaN on both sides."""
    assert type(actual) is type(expected)
    if isinstance(expected, tuple):
        assert len(actual) == len(expected)
        for a, e in zip(actual, expected):
            assert_same_values(a, e)
        return
    assert actual.shape == expected.shape and actual.dtype == expected.dtype
    parts = [array.view(array.real.dtype) for array in (actual, expected)]
    bits = [part.view(UNSIGNED[part.itemsize]) for part in parts]
    assert ((bits[0] == bits[1]) | (np.isnan(parts[0]) & np.isnan(parts[1]))).all()


def _pointwise(name, arguments, outcome):
    angles = _angles(arguments["phi"], arguments["theta"], outcome)
    degree = _degree(arguments["lmax"], outcome)
    truths = [_truth(arguments[flag], outcome) for flag in ("negative_m", "return_sphs")
              if flag in arguments]
    if not outcome.may_return:
        return
    phi, theta = angles
    negative_m = truths[0]
    count = (degree + 1) ** 2 if negative_m else (degree + 1) * (degree + 2) // 2
    shape = phi.shape + (count,)
    dtype = np.complex64 if phi.dtype == np.float32 else np.complex128
    finite = np.isfinite(theta)

    def verify(result):
        if name == "pointwise_sph":
            gradients, harmonics = None, result
        elif truths[1]:
            assert isinstance(result, tuple) and len(result) == 2
            gradients, harmonics = result
        else:
            gradients, harmonics = result, None
        if harmonics is not None:
            assert harmonics.shape == shape and harmonics.dtype == dtype
            np.testing.assert_allclose(harmonics[finite, 0], Y00, rtol=1e-6)
        if gradients is not None:
            assert gradients.shape == shape + (2,) and gradients.dtype == dtype
            assert not gradients[finite, 0].any()  # Y_0^0 is constant
        assert_same_values(result, getattr(kelo, name)(phi, theta, degree, *truths))

    outcome.verify = verify


def _parallel_angles(phi, theta, outcome):
    """Any real angles of one shape, in float32 when both are floats that narrow."""
    try:
        phi, theta = np.asarray(phi), np.asarray(theta)
    except Exception as error:  # NumPy's own refusal is expected back
        outcome.refuse(type(error))
        return None
    if phi.dtype.kind not in "fiu" or theta.dtype.kind not in "fiu":
        outcome.refuse(TypeError)
        return None
    if phi.shape != theta.shape:
        outcome.refuse(ValueError)
        return None
    single = all(angles.dtype.kind == "f" and angles.dtype.itemsize <= 4 for angles in (phi, theta))
    precision = np.float32 if single else np.float64
    return phi.astype(precision), theta.astype(precision)


def _integer_within(value, low, high, outcome):
    """An index, not a bool, from low to high."""
    try:
        if isinstance(value, (bool, np.bool_)):
            raise TypeError
        value = operator.index(value)
    except TypeError:
        outcome.refuse(TypeError)
        return None
    if not low <= value <= high:
        outcome.refuse(ValueError)
    return value


def _parallel(name, arguments, outcome):
    """sph and sph_grads: the bits of the pointwise function on the converted angles."""
    angles = _parallel_angles(arguments["phi"], arguments["theta"], outcome)
    degree = _integer_within(arguments["lmax"], 0, kelo.MAX_LMAX, outcome)
    truths = [_truth(arguments[flag], outcome) for flag in ("negative_m", "return_sphs")
              if flag in arguments]
    if arguments["threads"] is not None:
        _integer_within(arguments["threads"], 1, 1024, outcome)
    if not outcome.may_return:
        return
    phi, theta = angles
    pointwise = kelo.pointwise_sph if name == "sph" else kelo.pointwise_sph_grads

    def verify(result):
        # pointwise functions make a scalar point an array of one.
        expected = pointwise(np.atleast_1d(phi), np.atleast_1d(theta), degree, *truths)
        reshape = lambda array: array.reshape(phi.shape + array.shape[phi.ndim or 1:])
        assert_same_values(result, tuple(map(reshape, expected)) if isinstance(expected, tuple)
                           else reshape(expected))

    outcome.verify = verify


def _series_order(degree, negative_m):
    return [(l, m) for l in range(degree + 1)
            for m in [*range(l + 1), *(range(-1, -l - 1, -1) if negative_m else [])]]


def _get_lms(arguments, outcome):
    # A degree is an index: get_LMs refuses floats and strings with TypeError.
    try:
        degree = operator.index(arguments["lmax"])
    except TypeError:
        outcome.refuse(TypeError)
        return
    if degree > kelo.MAX_LMAX:
        outcome.refuse(ValueError)
        return
    # The flag only matters when some degree has negative orders.
    negative_m = _truth(arguments["negative_m"], outcome, required=degree >= 1)
    if not outcome.may_return:
        return

    def verify(result):
        assert result.dtype == np.int64 and result.shape[1:] == (2,)
        assert [tuple(row) for row in result.tolist()] == _series_order(degree, negative_m)

    outcome.verify = verify


def expected_outcome(name, args, kwargs):
    outcome = Outcome()
    try:
        bound = SIGNATURES[name].bind(*args, **kwargs)
    except TypeError:
        outcome.refuse(TypeError)
        return outcome
    bound.apply_defaults()
    if name == "get_LMs":
        _get_lms(bound.arguments, outcome)
    elif name in ("sph", "sph_grads"):
        _parallel(name, bound.arguments, outcome)
    else:
        _pointwise(name, bound.arguments, outcome)
    return outcome


def check(name, args, kwargs):
    """Calls kelo's function `name` and checks the outcome against the rules."""
    # The oracle works on copies: flags may count how often they are tested.
    outcome = expected_outcome(name, *copy.deepcopy((args, kwargs)))
    try:
        result = getattr(kelo, name)(*args, **kwargs)
    except Exception as error:
        event(f"raised {type(error).__name__}")
        assert isinstance(error, tuple(outcome.errors)), (
            f"{type(error).__name__}: {error}; expected one of {outcome.errors}")
        return
    event("returned")
    assert outcome.may_return, f"returned, but expected one of {outcome.errors}"
    outcome.verify(result)
