"""Properties of the functions that hand the angles to the core.

Odd memory reaching the core could crash the interpreter, so
test_properties.py runs this file in a child process, where a crash fails one
test instead of ending the run. Run it directly to see a failing example:
    python -m pytest tests/python/core_properties.py
"""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from contract import SIGNATURES, check
from strategies import angle_pairs, call_arguments, degrees, flags, thread_counts


def _has_points(phi):
    try:
        return np.size(phi) > 0
    except ValueError:  # ragged lists: refused before any degree is looked at
        return True


@st.composite
def calls(draw, name):
    parameters = list(SIGNATURES[name].parameters)
    phi, theta = draw(angle_pairs())
    lmax = draw(degrees(points=_has_points(phi)))
    # The flags, then for sph and sph_grads no out= arrays (tested on their own) and a thread count.
    values = [phi, theta, lmax, *(draw(thread_counts) if parameter == "threads"
                                  else None if parameter.endswith("out") else draw(flags)
                                  for parameter in parameters[3:])]
    return draw(call_arguments(parameters, values))


@given(calls("pointwise_sph"))
def test_pointwise_sph(call):
    check("pointwise_sph", *call)


@given(calls("pointwise_sph_grads"))
def test_pointwise_sph_grads(call):
    check("pointwise_sph_grads", *call)


@given(calls("sph"))
def test_sph(call):
    check("sph", *call)


@given(calls("sph_grads"))
def test_sph_grads(call):
    check("sph_grads", *call)
