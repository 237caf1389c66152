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


#: Every convention: real or complex, with or without the phase, each normalisation.
CONVENTIONS = [
    dict(real=real, condon_shortley=phase, normalization=scale)
    for real in (False, True) for phase in (False, True)
    for scale in ("orthonormal", "4pi", "schmidt")
]


def convention_id(convention):
    return "-".join(map(str, convention.values()))


def scipy_harmonics(lmax, phi, theta, negative_m=True, diff_n=0, real=False,
                    condon_shortley=False, normalization="orthonormal"):
    """kelo's series, in a convention, from SciPy's sph_harm_y, which has the
    Condon-Shortley phase: kelo's own Y_l^m is (-1)^m times SciPy's for m >= 0, and
    Y_l^(-m) = conj(Y_l^m). With diff_n=1 returns (values, gradients) shaped as kelo's.
    """
    lms = get_LMs(lmax, negative_m)
    l, m = lms[:, 0], lms[:, 1]
    phi = np.asarray(phi, dtype=np.float64)[..., None]
    theta = np.asarray(theta, dtype=np.float64)[..., None]
    odd = np.abs(m) % 2 == 1
    flip = odd & (not condon_shortley)
    squared = {"orthonormal": 1.0, "4pi": 4 * np.pi, "schmidt": 4 * np.pi / (2 * l + 1)}[normalization]
    scale = np.sqrt(np.broadcast_to(squared, l.shape))

    def convert(with_phase, columns):
        """Series of SciPy's Y_l^|m| (and derivatives) along `columns` in kelo's convention."""
        shape = (-1,) + (1,) * (-1 - columns)
        negative, kept = (m < 0).reshape(shape), flip.reshape(shape)
        if real:
            parts = np.where(negative, with_phase.imag, with_phase.real)
            parts = parts * np.where(m == 0, 1, np.sqrt(2)).reshape(shape)
            series = np.where(kept, -parts, parts)
        else:
            positive = np.where(kept, -with_phase, with_phase)
            sign = np.where(odd & condon_shortley, -1, 1).reshape(shape)
            series = np.where(negative, sign * positive.conj(), positive)
        return series * scale.reshape(shape)

    if diff_n == 0:
        return convert(sph_harm_y(l, np.abs(m), phi, theta), -1)
    values, gradients = sph_harm_y(l, np.abs(m), phi, theta, diff_n=1)
    return convert(values, -1), convert(gradients, -2)


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
