"""Harmonic values against independent truth: SciPy, mpmath, quadrature, symmetry."""

import mpmath
import numpy as np
import pytest

from conftest import random_angles, scipy_harmonics
from kelo import get_LMs, pointwise_sph

TOLERANCE = {np.float32: 3e-6, np.float64: 2e-14}


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("lmax", [0, 1, 2, 7, 20])
@pytest.mark.parametrize("negative_m", [True, False])
def test_agrees_with_scipy(rng, dtype, lmax, negative_m):
    phi, theta = random_angles(rng, 200, dtype)
    result = pointwise_sph(phi, theta, lmax, negative_m)
    expected = scipy_harmonics(lmax, phi, theta, negative_m)
    scale = np.sqrt((2 * get_LMs(lmax, negative_m)[:, 0] + 1) / (4 * np.pi))
    np.testing.assert_array_less(np.abs(result - expected) / scale, 4 * TOLERANCE[dtype])


def test_agrees_with_mpmath_at_high_degree(rng):
    lmax = 40
    lms = get_LMs(lmax)
    mpmath.mp.dps = 40
    for phi, theta in zip(*random_angles(rng, 3)):
        result = pointwise_sph([phi], [theta], lmax)[0]
        for (l, m), value in zip(lms[::7], result[::7]):
            exact = (-1) ** abs(m) * mpmath.spherharm(int(l), abs(int(m)), phi, theta)
            exact = complex(exact if m >= 0 else mpmath.conj(exact))
            assert abs(value - exact) < 1e-13, (l, m, phi)


@pytest.mark.parametrize(("dtype", "tolerance"), [(np.float32, 2e-5), (np.float64, 1e-13)])
def test_orthonormal_by_exact_quadrature(dtype, tolerance):
    lmax = 12
    x, weights = np.polynomial.legendre.leggauss(lmax + 1)
    azimuths = 2 * lmax + 2
    phi = np.repeat(np.arccos(x), azimuths)
    theta = np.tile(2 * np.pi * np.arange(azimuths) / azimuths, lmax + 1)
    weights = np.repeat(weights, azimuths) * 2 * np.pi / azimuths
    harmonics = pointwise_sph(phi.astype(dtype), theta.astype(dtype), lmax).astype(np.complex128)
    gram = harmonics.conj().T @ (weights[:, None] * harmonics)
    assert np.abs(gram - np.eye(len(gram))).max() < tolerance


def test_single_precision_tracks_double(rng):
    phi, theta = random_angles(rng, 500, np.float32)
    single = pointwise_sph(phi, theta, 25)
    double = pointwise_sph(phi.astype(np.float64), theta.astype(np.float64), 25)
    assert np.abs(single - double).max() < 3e-5  # values reach 1.4 at degree 25


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_negative_orders_are_exact_conjugates(rng, dtype):
    lmax = 9
    phi, theta = random_angles(rng, 50, dtype)
    result = pointwise_sph(phi, theta, lmax)
    lms = [tuple(row) for row in get_LMs(lmax)]
    positive = [lms.index((l, m)) for l, m in lms if m < 0 for m in [-m]]
    negative = [k for k, (l, m) in enumerate(lms) if m < 0]
    np.testing.assert_array_equal(result[:, negative], result[:, positive].conj())


def test_parity(rng):
    lmax = 10
    phi, theta = random_angles(rng, 50)
    here = pointwise_sph(phi, theta, lmax)
    opposite = pointwise_sph(np.pi - phi, theta + np.pi, lmax)
    parity = (-1.0) ** get_LMs(lmax)[:, 0]
    np.testing.assert_allclose(opposite, parity * here, atol=1e-13)


def test_north_pole_and_no_condon_shortley_phase():
    lmax = 6
    lms = get_LMs(lmax)
    pole = pointwise_sph([0.0], [1.0], lmax)[0]
    zonal = lms[:, 1] == 0
    np.testing.assert_allclose(pole[zonal].real, np.sqrt((2 * lms[zonal, 0] + 1) / (4 * np.pi)))
    assert np.all(pole[~zonal] == 0)
    equator = pointwise_sph([np.pi / 2], [0.0], 1)[0]
    assert equator[2] == pytest.approx(np.sqrt(3 / (8 * np.pi)))


def test_non_finite_angles_give_non_finite_values():
    with np.errstate(invalid="ignore"):
        result = pointwise_sph([np.nan, 1.0, np.inf], [0.5, np.nan, 0.5], 2)
    assert np.isnan(result[0, 1]) and np.isnan(result[2, 1])
    assert np.isnan(result[1]).all()
