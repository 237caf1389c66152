"""Property-based checks of kelo's functions against their documented behaviour (contract.py)."""

import os
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import run_python
from contract import SIGNATURES, check
from strategies import call_arguments, flags, index_degrees


@st.composite
def get_lms_calls(draw):
    values = [draw(index_degrees), draw(flags)]
    return draw(call_arguments(list(SIGNATURES["get_LMs"].parameters), values))


@pytest.mark.slow
@given(get_lms_calls())
def test_get_lms(call):
    check("get_LMs", *call)


@pytest.mark.slow
def test_functions_reaching_the_core_in_a_child_process():
    # Output is captured at the level of sys only, so that a sanitizer's or a
    # fatal signal's report, written to file descriptor 2, outlives the child.
    path = Path(__file__).with_name("core_properties.py")
    process = run_python(f"""
        import sys, pytest
        sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "--capture=sys", {str(path)!r}]))
    """, timeout=None if os.environ.get("KELO_HYPOTHESIS_PROFILE") == "long" else 900)
    assert process.returncode == 0, (
        f"exit status {process.returncode}\n{process.stdout[-6000:]}\n{process.stderr[-6000:]}")
