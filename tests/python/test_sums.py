"""kelo.sph_sum: sums of harmonics over groups, against the two-step path."""

import numpy as np
import pytest

from kelo import sph_sum, sph_xyz
from test_vectors import random_vectors


def two_step_sums(xyz, lmax, groups, n_groups, weights, **convention):
    """sph_xyz, then the weighted harmonics added to their groups one vector after another."""
    harmonics = sph_xyz(xyz, lmax, **convention)
    if weights is not None:
        harmonics = (harmonics * weights[:, None] if weights.ndim == 1
                     else harmonics[:, None, :] * weights[:, :, None])
    sums = np.zeros((n_groups,) + harmonics.shape[1:], harmonics.dtype)
    np.add.at(sums, groups, harmonics)
    return sums


@pytest.mark.parametrize("weight_shape", [None, (), (3,)], ids=["unweighted", "weights", "K weights"])
@pytest.mark.parametrize("convention", [
    dict(), dict(negative_m=False), dict(real=True, condon_shortley=True, normalization="schmidt")],
    ids=["complex", "no negative m", "real"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_sums_are_the_two_step_sums_on_any_threads(rng, weight_shape, convention, dtype):
    xyz = random_vectors(rng, 1000, dtype)
    xyz[7] = 0
    xyz[8, 1] = np.nan
    n_groups = 90
    groups = rng.integers(0, n_groups - 3, len(xyz))  # unsorted, the last three empty
    weights = None if weight_shape is None else rng.normal(size=(len(xyz),) + weight_shape).astype(dtype)
    expected = two_step_sums(xyz, 9, groups, n_groups, weights, **convention)
    for threads in (1, 2, 3):
        sums = sph_sum(xyz, 9, groups, n_groups=n_groups, weights=weights, threads=threads, **convention)
        # Each sum is added up in the vectors' order, as np.add.at does.
        assert sums.dtype == expected.dtype and np.array_equal(sums, expected, equal_nan=True)
    assert not sums[-3:].any()
    assert np.isnan(sums[groups[8]]).all() and not np.isnan(np.delete(sums, groups[8], axis=0)).any()


def test_group_count_defaults_to_the_largest_index_and_empty_input_sums_to_zero():
    xyz = np.array([[0, 0, 1.0], [1.0, 0, 0]])
    assert sph_sum(xyz, 2, np.array([4, 1], np.uint8)).shape == (5, 9)
    assert sph_sum(np.zeros((0, 3)), 2, []).shape == (0, 9)
    assert not sph_sum(np.zeros((0, 3)), 2, [], n_groups=3, weights=np.zeros((0, 2))).any()


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ({"groups": [0, 5, 1]}, ValueError, r"group index 5 of vector 1 lies outside \[0, 5\)"),
    ({"groups": [0, -1, 1]}, ValueError, r"group index -1 of vector 1 lies outside"),
    ({"groups": [0, 1]}, ValueError, r"groups has shape \(2,\), but must hold one index per vector"),
    ({"groups": [0.0, 1.0, 2.0]}, TypeError, "groups must hold integers"),
    ({"xyz": np.zeros((3, 3, 1))}, ValueError, r"xyz has shape \(3, 3, 1\), but must be \(E, 3\)"),
    ({"weights": np.ones((3, 2, 1))}, ValueError, r"weights has shape \(3, 2, 1\)"),
    ({"weights": np.ones(3, complex)}, TypeError, "weights must hold real numbers"),
    ({"n_groups": -1}, ValueError, "n_groups is -1"),
    ({"out": np.empty((5, 16))}, TypeError, "out has dtype float64, but the result has dtype complex128"),
])
def test_bad_arguments_raise_before_anything_is_written(arguments, error, message):
    out = np.full((5, 16), 7 + 0j)
    call = {"xyz": np.ones((3, 3)), "lmax": 3, "groups": [0, 4, 1], "n_groups": 5, "out": out} | arguments
    with pytest.raises(error, match=message):
        sph_sum(**call)
    assert (out == 7).all()
