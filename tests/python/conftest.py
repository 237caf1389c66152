import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from scipy.special import sph_harm_y

from kelo import get_LMs

# Failed checks in the oracle of the property-based tests show their values.
pytest.register_assert_rewrite("contract")

# Property-based tests search the same examples on every run, so that CI is
# reproducible; KELO_HYPOTHESIS_PROFILE=long searches many more, at random.
_PROFILE = {"deadline": None, "database": None, "suppress_health_check": [HealthCheck.too_slow]}
settings.register_profile("default", max_examples=1000, derandomize=True, **_PROFILE)
settings.register_profile("long", max_examples=20_000, print_blob=True, **_PROFILE)
settings.load_profile(os.environ.get("KELO_HYPOTHESIS_PROFILE", "default"))


def scipy_harmonics(lmax, phi, theta, negative_m=True, diff_n=0):
    """kelo's series from SciPy, whose harmonics carry the Condon-Shortley phase.

    kelo's Y_l^m is (-1)^m times SciPy's for m >= 0, and Y_l^(-m) = conj(Y_l^m).
    With diff_n=1 returns (values, gradients) shaped as kelo's.
    """
    lms = get_LMs(lmax, negative_m)
    l = lms[:, 0]
    m = np.abs(lms[:, 1])
    phi = np.asarray(phi, dtype=np.float64)[..., None]
    theta = np.asarray(theta, dtype=np.float64)[..., None]
    sign = (-1.0) ** m
    if diff_n == 0:
        values = sign * sph_harm_y(l, m, phi, theta)
        return np.where(lms[:, 1] < 0, values.conj(), values)
    values, gradients = sph_harm_y(l, m, phi, theta, diff_n=1)
    values = sign * values
    gradients = sign[:, None] * gradients
    negative = lms[:, 1] < 0
    return (np.where(negative, values.conj(), values),
            np.where(negative[:, None], gradients.conj(), gradients))


@pytest.fixture(autouse=True)
def scarce_memory(request):
    """Room for one more gigabyte only in tests of failed allocations: the tables of the
    largest degree then fail to allocate on any machine, rather than fill its memory."""
    if request.node.get_closest_marker("allocation_failure") is None:
        yield
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as statm:
        room = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE") + 2**30
    resource.setrlimit(resource.RLIMIT_AS, (room if hard == resource.RLIM_INFINITY else min(room, hard), hard))
    yield
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@pytest.fixture
def rng():
    return np.random.default_rng(20261209)


def random_angles(rng, shape, dtype=np.float64):
    phi = rng.uniform(0, np.pi, shape).astype(dtype)
    theta = rng.uniform(0, 2 * np.pi, shape).astype(dtype)
    return phi, theta


def run_python(code, *options, timeout=120):
    """Runs code in a fresh interpreter (with options such as -O); returns the process."""
    return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
