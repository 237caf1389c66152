"""pointwise_sph_grads: layout, its harmonics, and derivatives against independent truth."""

import numpy as np
import pytest

from conftest import random_angles, scipy_harmonics
from kelo import get_LMs, pointwise_sph, pointwise_sph_grads
from test_pointwise_sph import FlipFlop


@pytest.mark.parametrize(("shape", "lmax", "negative_m"), [
    ((6,), 3, True), ((6,), 3, False), ((2, 3), 2, True), ((0,), 4, True), ((1,), 0, False),
])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_shapes_and_harmonics(rng, shape, lmax, negative_m, dtype):
    phi, theta = random_angles(rng, shape, dtype)
    gradients, harmonics = pointwise_sph_grads(phi, theta, lmax, negative_m)
    columns = len(get_LMs(lmax, negative_m))
    assert gradients.shape == shape + (columns, 2)
    assert harmonics.shape == shape + (columns,)
    assert gradients.dtype == harmonics.dtype == np.result_type(dtype, np.complex64)
    np.testing.assert_array_equal(harmonics, pointwise_sph(phi, theta, lmax, negative_m))
    alone = pointwise_sph_grads(phi, theta, lmax, negative_m, return_sphs=False)
    np.testing.assert_array_equal(alone, gradients)


@pytest.mark.parametrize("return_sphs", [False, 0, [], None])
def test_false_return_sphs_gives_the_gradients_alone(return_sphs):
    assert isinstance(pointwise_sph_grads([0.5], [0.5], 1, True, return_sphs), np.ndarray)


def test_flags_are_tested_once():
    negative_m, return_sphs = FlipFlop(), FlipFlop()
    gradients, harmonics = pointwise_sph_grads([0.5, 1.0], [0.1, 0.2], 2, negative_m, return_sphs)
    assert (negative_m.tests, return_sphs.tests) == (1, 1)
    assert gradients.shape == (2, 9, 2) and harmonics.shape == (2, 9)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_theta_derivative_is_i_m_times_the_value(rng, dtype):
    phi, theta = random_angles(rng, 40, dtype)
    gradients, harmonics = pointwise_sph_grads(phi, theta, 8)
    m = get_LMs(8)[:, 1].astype(dtype)
    np.testing.assert_array_equal(gradients[..., 1], (1j * m).astype(harmonics.dtype) * harmonics)


@pytest.mark.parametrize(("dtype", "tolerance"), [(np.float32, 3e-5), (np.float64, 1e-12)])
@pytest.mark.parametrize("lmax", [1, 6, 15])
def test_agrees_with_scipy(rng, dtype, tolerance, lmax):
    phi, theta = random_angles(rng, 100, dtype)
    phi = np.clip(phi, 0.05, np.pi - 0.05)  # SciPy's phi-derivative divides by sin(phi)
    gradients = pointwise_sph_grads(phi, theta, lmax, return_sphs=False)
    _, expected = scipy_harmonics(lmax, phi, theta, diff_n=1)
    scale = (get_LMs(lmax)[:, 0] + 1.0)[:, None] ** 1.5
    assert (np.abs(gradients - expected) / scale).max() < tolerance


def central_difference(phi, theta, lmax, step=1e-6):
    ahead = pointwise_sph(phi + step, theta, lmax)
    behind = pointwise_sph(phi - step, theta, lmax)
    return (ahead - behind) / (2 * step)


def test_phi_derivative_agrees_with_central_differences(rng):
    phi, theta = random_angles(rng, 60)
    gradients = pointwise_sph_grads(phi, theta, 10, return_sphs=False)
    np.testing.assert_allclose(gradients[..., 0], central_difference(phi, theta, 10), atol=2e-8)


# Harmonics continue smoothly through the poles when phi runs past them (sin(phi)
# changes sign with the odd orders), so differences may straddle a pole.
@pytest.mark.parametrize("pole", [0.0, np.pi])
@pytest.mark.parametrize("theta", [0.0, -0.0, 0.5, 4.0])
def test_poles_agree_with_differences_across_them(pole, theta):
    gradients = pointwise_sph_grads([pole], [theta], 8, return_sphs=False)
    np.testing.assert_allclose(gradients[0, :, 0], central_difference(pole, theta, 8)[0],
                               atol=5e-8)


def test_north_pole_limits_of_degree_one():
    gradients = pointwise_sph_grads([0.0], [0.0], 1, return_sphs=False)[0, :, 0]
    r = np.sqrt(3 / (8 * np.pi))
    np.testing.assert_allclose(gradients[1:], [0, r, r], atol=1e-16)


def test_non_finite_angles_do_not_stop_the_evaluation():
    nan, inf = np.nan, np.inf
    with np.errstate(invalid="ignore"):
        gradients, harmonics = pointwise_sph_grads([nan, 1, inf, 0], [0, nan, 1, -inf], 3)
    assert gradients.shape == (4, 16, 2)
    assert np.isnan(gradients[:, 5]).any(axis=-1).all()
