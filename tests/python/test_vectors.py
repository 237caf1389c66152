"""kelo.sph_xyz and kelo.sph_xyz_grads: harmonics of directions, in every convention."""

import numpy as np
import pytest

from conftest import CONVENTIONS, convention_id, scipy_harmonics
from kelo import get_LMs, sph_xyz, sph_xyz_grads


def random_vectors(rng, count, dtype=np.float64):
    """Directions all over the sphere, the z-axis and its neighbourhood, lengths from 1e-3 to 1e3."""
    xyz = rng.normal(size=(count, 3))
    xyz[:6] = [[0, 0, 1], [0, 0, -1], [1e-300, 0, 1], [0, -1e-300, -1], [1, 0, 0], [3e-9, 4e-9, -1]]
    xyz *= 10.0 ** rng.uniform(-3, 3, (count, 1))
    return xyz.astype(dtype)


def scipy_series(xyz, lmax, **convention):
    """The series of each vector from SciPy, at the angles of its direction."""
    x, y, z = np.moveaxis(np.asarray(xyz, np.float64), -1, 0)
    return scipy_harmonics(lmax, np.arctan2(np.hypot(x, y), z), np.arctan2(y, x), **convention)


@pytest.mark.parametrize("convention", CONVENTIONS, ids=convention_id)
def test_every_convention_agrees_with_scipy(rng, convention):
    xyz = random_vectors(rng, 200)
    lmax = 64
    expected = scipy_series(xyz, lmax, **convention)
    scale = np.sqrt(4 * np.pi) if convention["normalization"] != "orthonormal" else 1.0
    tolerance = 1e-14 * scale * (get_LMs(lmax)[:, 0] + 1)
    assert np.all(np.abs(sph_xyz(xyz, lmax, **convention, threads=2) - expected) <= tolerance)


# Near the poles a harmonic of degree l changes l^2 / 2 times faster than z, whose
# rounding alone costs some 1e-7: the error grows with the degree as in double.
@pytest.mark.parametrize("real", [False, True])
def test_float32_within_a_few_units_of_single_precision(rng, real):
    xyz = random_vectors(rng, 300, np.float32)
    result = sph_xyz(xyz, 16, real=real)
    assert result.dtype == (np.float32 if real else np.complex64)
    expected = scipy_series(xyz.astype(np.float64), 16, real=real)
    assert np.all(np.abs(result - expected) <= 1e-6 * (get_LMs(16)[:, 0] + 1))


def test_without_negative_orders_the_series_is_cut(rng):
    xyz = random_vectors(rng, 30)
    full = sph_xyz(xyz, 7)
    assert sph_xyz(xyz, 7, negative_m=False).tobytes() == full[:, get_LMs(7)[:, 1] >= 0].tobytes()


@pytest.mark.parametrize("convention", [CONVENTIONS[0], CONVENTIONS[-1]], ids=["complex", "real"])
def test_gradients_are_central_differences_tangent_and_scale_as_one_over_length(rng, convention):
    xyz = random_vectors(rng, 60)
    lmax = 12
    gradients, harmonics = sph_xyz_grads(xyz, lmax, **convention)
    assert harmonics.tobytes() == sph_xyz(xyz, lmax, **convention).tobytes()

    length = np.linalg.norm(xyz, axis=1, keepdims=True)
    for axis in range(3):
        shift = np.zeros_like(xyz)
        shift[:, axis] = 1e-6 * length[:, 0]
        difference = (sph_xyz(xyz + shift, lmax, **convention)
                      - sph_xyz(xyz - shift, lmax, **convention)) / (2 * shift[:, [axis]])
        # Rounding and truncation leave some 1e-9 of the gradients' scale, lmax / length.
        assert np.all(np.abs(gradients[..., axis] - difference) < 1e-7 * lmax / length)

    radial = np.einsum("pkc,pc->pk", gradients, xyz / length)
    assert np.abs(radial).max() <= 1e-12 * np.abs(gradients).max()
    # Doubling a vector changes no bit of its direction and halves the gradients exactly.
    doubled, _ = sph_xyz_grads(2 * xyz, lmax, **convention)
    assert np.array_equal(doubled, gradients / 2)


@pytest.mark.parametrize("real", [False, True])
def test_the_zero_vector_gets_the_mean_over_the_sphere(real):
    gradients, harmonics = sph_xyz_grads(np.zeros((2, 3)), 5, real=real, normalization="4pi")
    expected = np.zeros(36)
    expected[0] = 1.0
    np.testing.assert_allclose(harmonics, [expected] * 2, rtol=1e-15, atol=0)
    assert not gradients.any()


@pytest.mark.parametrize("real", [False, True])
def test_non_finite_vectors_give_nan_and_leave_the_others_alone(rng, real):
    xyz = random_vectors(rng, 9)
    xyz[[2, 5]] = [[np.inf, 0, 1], [0, np.nan, 0]]
    gradients, harmonics = sph_xyz_grads(xyz, 4, real=real)
    assert np.isnan(harmonics[[2, 5]]).all() and np.isnan(gradients[[2, 5]]).all()
    finite = [0, 1, 3, 4, 6, 7, 8]
    assert harmonics[finite].tobytes() == sph_xyz(xyz[finite], 4, real=real).tobytes()


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("real", [False, True])
def test_the_same_bits_on_any_number_of_threads_and_in_any_layout(rng, dtype, real):
    xyz = random_vectors(rng, 3001, dtype)
    values = sph_xyz(xyz, 10, real=real, threads=1)
    gradients, _ = sph_xyz_grads(xyz, 10, real=real, threads=1)
    strided = np.asfortranarray(np.repeat(xyz, 2, axis=0)[::2])
    for threads in (2, 3, None):
        assert sph_xyz(strided, 10, real=real, threads=threads).tobytes() == values.tobytes()
        assert sph_xyz_grads(xyz, 10, real=real, threads=threads)[0].tobytes() == gradients.tobytes()


def test_shapes_and_dtypes():
    xyz = np.ones((2, 5, 3), np.int32)
    assert sph_xyz(xyz, 3).shape == (2, 5, 16) and sph_xyz(xyz, 3).dtype == np.complex128
    gradients, harmonics = sph_xyz_grads(xyz.astype(np.float16), 3, real=True)
    assert gradients.shape == (2, 5, 16, 3) and gradients.dtype == harmonics.dtype == np.float32
    assert sph_xyz([0, 0, 1], 2, negative_m=False).shape == (6,)
    assert sph_xyz_grads(np.zeros((0, 3)), 2, return_sphs=False).shape == (0, 9, 3)


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ({"xyz": np.zeros((4, 2))}, ValueError, r"xyz has shape \(4, 2\), but its last axis"),
    ({"xyz": 1.0}, ValueError, "last axis must hold the 3 components"),
    ({"xyz": np.zeros((4, 3), complex)}, TypeError, "xyz must hold real numbers"),
    ({"real": True, "negative_m": False}, ValueError, "negative_m=False needs real=False"),
    ({"normalization": "unit"}, ValueError, "normalization is 'unit', but must be one of"),
    ({"normalization": ["4pi"]}, ValueError, "normalization is"),
    ({"lmax": -1}, ValueError, "lmax is -1"),
    ({"threads": 0}, ValueError, "threads is 0"),
    ({"out": np.empty((4, 9, 1), complex)}, ValueError, r"out has shape \(4, 9, 1\), but the result"),
])
def test_bad_arguments_raise_before_anything_is_written(arguments, error, message):
    call = {"xyz": np.zeros((4, 3)), "lmax": 2} | arguments
    for function in (sph_xyz, sph_xyz_grads):
        with pytest.raises(error, match=message):
            function(**call)


def test_real_harmonics_are_sphericarts_in_kelos_columns(rng):
    sphericart = pytest.importorskip("sphericart")
    xyz = random_vectors(rng, 100)
    lms = get_LMs(9)
    theirs = sphericart.SphericalHarmonics(9).compute(xyz)[:, lms[:, 0] ** 2 + lms[:, 0] + lms[:, 1]]
    np.testing.assert_allclose(sph_xyz(xyz, 9, real=True), theirs, rtol=0, atol=1e-13)
