"""Module start-up, function objects and argument conventions of kelo._kelo."""

import importlib
import sys
import traceback

import numpy as np
import pytest

from conftest import run_python
from kelo import _kelo

FUNCTIONS = {
    "pointwise_sph": (["phi", "theta", "lmax", "negative_m"], (True,)),
    "pointwise_sph_grads": (["phi", "theta", "lmax", "negative_m", "return_sphs"], (True, True)),
    "get_LMs": (["lmax", "negative_m"], (True,)),
}


def innermost_kelo_frame(error):
    frames = [frame for frame in traceback.extract_tb(error.__traceback__)
              if frame.name.startswith("kelo._kelo.")]
    return frames[-1].name, frames[-1].lineno


def test_namespace():
    assert _kelo.__doc__ is None
    assert _kelo.np is np
    assert _kelo.__test__ == {}
    for name in FUNCTIONS:
        assert callable(getattr(_kelo, name))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    function = getattr(_kelo, name)
    parameters, defaults = FUNCTIONS[name]
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "kelo._kelo"
    assert function.__defaults__ == defaults
    assert list(function.__code__.co_varnames[:len(parameters)]) == parameters
    assert function.__code__.co_argcount == len(parameters)
    assert function.__doc__.startswith(f"{name}({', '.join(parameters[:len(parameters) - len(defaults)])}")
    assert not function.__doc__.endswith("\n")


def test_docstrings():
    assert _kelo.pointwise_sph.__doc__.startswith(
        "pointwise_sph(phi, theta, lmax, negative_m=True)\n\nEvaluate a series of spherical")
    assert "exposed by kelo." in _kelo.get_LMs.__doc__
    assert _kelo.pointwise_sph_grads.__doc__.splitlines()[8] == (
        "last dimension corresponds to (phi_gradient, theta_gradient).")


def test_reimport_and_reload_keep_the_module():
    del sys.modules["kelo._kelo"]
    again = importlib.import_module("kelo._kelo")
    sys.modules["kelo._kelo"] = _kelo
    assert again is _kelo
    assert importlib.reload(_kelo) is _kelo


def test_a_second_interpreter_is_refused():
    process = run_python("""
        import _xxsubinterpreters as _interpreters
        import kelo._kelo
        # A legacy sub-interpreter: an isolated one refuses the import earlier.
        interpreter = _interpreters.create(isolated=False)
        try:
            _interpreters.run_string(interpreter, "import kelo._kelo")
        except Exception as error:
            print(error)
    """)
    assert "Interpreter change detected - this module can only be loaded into one " \
           "interpreter per process." in process.stdout + process.stderr


def test_a_failed_import_can_be_retried():
    process = run_python("""
        import sys
        sys.modules["numpy"] = None
        try:
            import kelo._kelo
        except ImportError as error:
            print(type(error).__name__)
        del sys.modules["numpy"]
        for name in [name for name in sys.modules if name.startswith("kelo")]:
            del sys.modules[name]
        import kelo._kelo
        print(kelo._kelo.pointwise_sph([0.5], [0.5], 1).shape)
    """)
    assert process.stdout.split() == ["ModuleNotFoundError", "(1,", "4)"], process.stderr


A = np.linspace(0.1, 1.0, 3)


@pytest.mark.parametrize(("call", "message"), [
    (lambda: _kelo.pointwise_sph(A, A),
     "pointwise_sph() takes at least 3 positional arguments (2 given)"),
    (lambda: _kelo.pointwise_sph(A, A, 2, True, 1),
     "pointwise_sph() takes at most 4 positional arguments (5 given)"),
    (lambda: _kelo.pointwise_sph(A, lmax=2),
     "pointwise_sph() takes at least 3 positional arguments (1 given)"),
    (lambda: _kelo.pointwise_sph(theta=A, lmax=2),
     "pointwise_sph() takes at least 3 positional arguments (0 given)"),
    (lambda: _kelo.pointwise_sph(A, A, 2, phi=A),
     "pointwise_sph() got multiple values for keyword argument 'phi'"),
    (lambda: _kelo.pointwise_sph(A, A, 2, negative=False),
     "pointwise_sph() got an unexpected keyword argument 'negative'"),
    (lambda: _kelo.pointwise_sph_grads(A, A, 2, True, True, 1),
     "pointwise_sph_grads() takes at most 5 positional arguments (6 given)"),
    (lambda: _kelo.get_LMs(), "get_LMs() takes at least 1 positional argument (0 given)"),
    (lambda: _kelo.get_LMs(negative_m=False),
     "get_LMs() takes at least 1 positional argument (0 given)"),
    (lambda: _kelo.get_LMs(1, True, 3), "get_LMs() takes at most 2 positional arguments (3 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_keywords_may_name_every_parameter():
    by_position = _kelo.pointwise_sph_grads(A, A, 2, False, False)
    by_keyword = _kelo.pointwise_sph_grads(return_sphs=False, negative_m=False, lmax=2,
                                           theta=A, phi=A)
    np.testing.assert_array_equal(by_position, by_keyword)


@pytest.mark.parametrize(("call", "error", "where"), [
    (lambda: _kelo.pointwise_sph(A, A), TypeError, ("pointwise_sph", 17)),
    (lambda: _kelo.pointwise_sph([[0, 1], [2]], A, 1), ValueError, ("pointwise_sph", 36)),
    (lambda: _kelo.pointwise_sph(A, A, "2.5"), ValueError, ("pointwise_sph", 38)),
    (lambda: _kelo.pointwise_sph(A, A.astype(np.float32), 2), AssertionError, ("pointwise_sph", 45)),
    (lambda: _kelo.pointwise_sph(A.astype(np.float16), A.astype(np.float16), 2), AssertionError,
     ("pointwise_sph", 46)),
    (lambda: _kelo.pointwise_sph(A, A, 2, np.ones(2)), ValueError, ("pointwise_sph", 48)),
    (lambda: _kelo.pointwise_sph(A, A, 2**32), ValueError, ("pointwise_sph", 66)),
    (lambda: _kelo.pointwise_sph(A, A, -1), OverflowError, ("pointwise_sph", 70)),
    (lambda: _kelo.pointwise_sph(A.astype(np.float32), A.astype(np.float32), -1), OverflowError,
     ("pointwise_sph", 64)),
    (lambda: _kelo.pointwise_sph_grads(A, A), TypeError, ("pointwise_sph_grads", 74)),
    (lambda: _kelo.pointwise_sph_grads(A, A, 2, A, A), ValueError, ("pointwise_sph_grads", 107)),
    (lambda: _kelo.pointwise_sph_grads(A, A, 2, True, A), ValueError, ("pointwise_sph_grads", 137)),
    (lambda: _kelo.pointwise_sph_grads(A, A[:, None], 2), AssertionError,
     ("pointwise_sph_grads", 104)),
    (lambda: _kelo.pointwise_sph_grads(A, A, -1), OverflowError, ("pointwise_sph_grads", 144)),
    (lambda: _kelo.get_LMs(2.0), TypeError, ("get_LMs", 162)),
    (lambda: _kelo.get_LMs(1, A), ValueError, ("get_LMs", 166)),
])
def test_failures_name_the_function_and_line(call, error, where):
    with pytest.raises(error) as caught:
        call()
    name, line = where
    assert innermost_kelo_frame(caught.value) == (f"kelo._kelo.{name}", line)


def test_np_is_looked_up_at_each_call(monkeypatch):
    monkeypatch.delattr(_kelo, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        _kelo.get_LMs(1)
