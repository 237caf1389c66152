"""Repeated calls, returning or failing, leave memory and the inputs' reference counts flat."""

import gc
import os
import sys

import numpy as np
import pytest

from kelo import MAX_LMAX, get_LMs, pointwise_sph, pointwise_sph_grads, sph, sph_grads

CALLS = 10_000
PHI = np.linspace(0.1, 3.0, 16)
THETA = np.linspace(0.0, 6.0, 16)
NO_POINTS = np.zeros(0)
# Enough work at lmax 10 for the parallel functions to start a second thread.
WIDE_PHI = np.linspace(0.1, 3.0, 2000)
WIDE_THETA = np.linspace(0.0, 6.0, 2000)
OUT = np.empty((2000, 121), np.complex128)


def sph_into(phi, theta, lmax, out):
    return sph(phi, theta, lmax, out=out, threads=2)


def sph_grads_with(phi, theta, lmax, flag):
    return sph_grads(phi, theta, lmax, negative_m=flag, threads=2)


class Truthy:
    """A flag that is no immortal singleton, so that its reference count can move."""

    def __bool__(self):
        return True


FLAG = Truthy()

RETURNING = {
    "pointwise_sph": (pointwise_sph, (PHI, THETA, 6, FLAG)),
    "pointwise_sph_grads": (pointwise_sph_grads, (PHI, THETA, 6, FLAG, FLAG)),
    "pointwise_sph_grads, gradients alone": (pointwise_sph_grads, (PHI, THETA, 6, FLAG, False)),
    "get_LMs": (get_LMs, (6, FLAG)),
    "sph into out=": (sph_into, (WIDE_PHI, WIDE_THETA, 10, OUT)),
    "sph_grads": (sph_grads_with, (WIDE_PHI, WIDE_THETA, 10, FLAG)),
}
# Arguments that fail in each documented way, for either function that reaches the core.
FAILING = {
    AssertionError: (PHI, THETA.astype(np.float32), 6, FLAG),
    TypeError: (PHI, THETA, None, FLAG),
    OverflowError: (PHI, THETA, -1, FLAG),
    ValueError: (NO_POINTS, NO_POINTS, MAX_LMAX + 1, FLAG),
    MemoryError: (NO_POINTS, NO_POINTS, MAX_LMAX, FLAG),
}
CASES = [pytest.param(function, arguments, (), id=name)
         for name, (function, arguments) in RETURNING.items()]
CASES += [pytest.param(function, arguments, error, id=f"{function.__name__}, {error.__name__}",
                       marks=[pytest.mark.allocation_failure] if error is MemoryError else [])
          for function in (pointwise_sph, pointwise_sph_grads)
          for error, arguments in FAILING.items()]
CASES += [pytest.param(get_LMs, (2.0, FLAG), TypeError, id="get_LMs, TypeError")]
CASES += [pytest.param(sph_into, (PHI, THETA, 8, OUT), ValueError, id="sph, unfit out="),
          pytest.param(sph_grads_with, (PHI, THETA, -1, FLAG), ValueError, id="sph_grads, ValueError")]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call_repeatedly(function, arguments, error, times):
    for _ in range(times):
        try:
            function(*arguments)
        except error:
            pass


# A leak of one object or one result per call would grow by CALLS of them;
# allocator pools and caches warmed by the first calls move by far less.
@pytest.mark.slow
@pytest.mark.parametrize(("function", "arguments", "error"), CASES)
def test_repeated_calls_leave_memory_and_references_flat(function, arguments, error):
    if error:
        with pytest.raises(error):
            function(*arguments)
    call_repeatedly(function, arguments, error, CALLS // 10)
    gc.collect()
    references = [sys.getrefcount(argument) for argument in arguments]
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    call_repeatedly(function, arguments, error, CALLS)
    gc.collect()
    assert [sys.getrefcount(argument) for argument in arguments] == references
    assert sys.getallocatedblocks() - blocks < CALLS // 10
    assert resident_bytes() - resident < 4 * 2**20
