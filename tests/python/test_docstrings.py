"""The Examples in the docstrings of kelo's public functions run and show what they get.

pytest's --doctest-modules reads Python files only, and misses the compiled functions:
doctest finds each one through the package instead.
"""

import doctest
import io

import pytest

import kelo

# Their docstrings are kept word for word for existing callers, without Examples.
UNCHANGED = {"pointwise_sph", "pointwise_sph_grads", "get_LMs"}
DOCUMENTED = [name for name in kelo.__all__
              if callable(getattr(kelo, name)) and name not in UNCHANGED]


@pytest.mark.parametrize("name", DOCUMENTED)
def test_examples_run(name):
    tests = doctest.DocTestFinder(recurse=False).find(getattr(kelo, name), f"kelo.{name}",
                                                      globs={})
    runner = doctest.DocTestRunner()
    report = io.StringIO()
    for test in tests:
        runner.run(test, out=report.write)
    outcome = runner.summarize(verbose=False)
    assert outcome.attempted > 0, f"kelo.{name} has no Examples"
    assert outcome.failed == 0, report.getvalue()
