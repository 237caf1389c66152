"""kelo.dask: lazy results over chunked dask arrays, equal to the eager functions'."""

import doctest
import re

import dask
import dask.array as da
import numpy as np
import pytest

import kelo
import kelo.dask
from conftest import random_angles, run_python

# Points on a 2-D grid, chunked unevenly along both axes.
SHAPE, CHUNKS = (5, 40), (3, 15)
CONVENTIONS = [dict(), dict(negative_m=False, normalization="4pi"),
               dict(real=True, condon_shortley=True, normalization="schmidt", threads=2)]
CASES = ([(name, convention) for name in ("sph", "sph_grads", "sph_xyz", "sph_xyz_grads")
          for convention in CONVENTIONS]
         + [("sph_grads", dict(return_sphs=False)),
            ("sph_xyz_grads", dict(real=True, return_sphs=False))])


def case_id(value):
    if isinstance(value, dict):
        return "-".join(f"{key}={getattr(item, 'dtype', item)}"
                        for key, item in value.items()) or "defaults"
    return str(value)


def arguments(name, rng, dtype=np.float64):
    """Arguments of a function, by name, with its arrays in NumPy."""
    if name == "sph_sum":
        return dict(xyz=rng.normal(size=(40, 3)).astype(dtype), lmax=3,
                    groups=rng.integers(0, 3, 40), n_groups=5)  # the last two empty
    if name.startswith("sph_xyz"):
        return dict(xyz=rng.normal(size=SHAPE + (3,)).astype(dtype), lmax=3)
    phi, theta = random_angles(rng, SHAPE, dtype)
    return dict(phi=phi, theta=theta, lmax=3)


def chunked(arguments):
    """The arguments with their arrays in dask, chunked as CHUNKS along the points."""
    return {key: da.from_array(value, chunks=CHUNKS[:value.ndim] + value.shape[len(CHUNKS):])
            if isinstance(value, np.ndarray) else value for key, value in arguments.items()}


def as_tuple(results):
    return results if isinstance(results, tuple) else (results,)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("name, convention", CASES, ids=case_id)
def test_results_are_the_eager_ones_bit_for_bit_chunked_as_the_points(name, convention, dtype,
                                                                     rng):
    given = arguments(name, rng, dtype)
    lazy = as_tuple(getattr(kelo.dask, name)(**chunked(given), **convention))
    eager = as_tuple(getattr(kelo, name)(**given, **convention))
    for result, computed, expected in zip(lazy, dask.compute(*lazy), eager, strict=True):
        assert result.chunks == da.core.normalize_chunks(CHUNKS, SHAPE) + tuple(
            (size,) for size in expected.shape[len(SHAPE):])
        assert type(result._meta) is np.ndarray
        assert result._meta.dtype == result.dtype == computed.dtype == expected.dtype
        assert result._meta.ndim == expected.ndim
        assert computed.shape == expected.shape and computed.tobytes() == expected.tobytes()


@pytest.mark.parametrize("weights", [None, (), (3,)], ids=["none", "each", "three-each"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_sums_are_the_eager_ones_to_rounding_and_bit_for_bit_from_one_chunk(weights, dtype, rng):
    given = arguments("sph_sum", rng, dtype) | dict(real=True)
    if weights is not None:
        given["weights"] = rng.normal(size=(len(given["groups"]),) + weights)
    expected = kelo.sph_sum(**given)
    assert kelo.dask.sph_sum(**given).compute().tobytes() == expected.tobytes()  # one chunk
    lazy = kelo.dask.sph_sum(**chunked(given))
    assert lazy.chunks == tuple((size,) for size in expected.shape)
    assert type(lazy._meta) is np.ndarray and lazy.dtype == expected.dtype
    # The same terms in another order: errors up to a rounding of the largest for each.
    largest = np.abs(kelo.sph_xyz(given["xyz"], 3, real=True)).max() * np.abs(
        given.get("weights", 1)).max()
    np.testing.assert_allclose(lazy.compute(), expected, rtol=0,
                               atol=len(given["groups"]) * np.finfo(dtype).eps * largest)


def test_sums_of_vectors_picked_by_a_mask_whose_sizes_dask_does_not_know(rng):
    xyz, groups = rng.normal(size=(500, 3)), rng.integers(0, 4, 500)
    upper = xyz[:, 2] > 0
    picked = da.from_array(upper, chunks=100)
    lazy = kelo.dask.sph_sum(da.from_array(xyz, chunks=(100, 3))[picked], 2,
                             da.from_array(groups, chunks=100)[picked], n_groups=4)
    np.testing.assert_allclose(lazy.compute(), kelo.sph_sum(xyz[upper], 2, groups[upper],
                                                            n_groups=4), rtol=0, atol=1e-13)


WRONG = ([(name, wrong) for name in ("sph", "sph_xyz_grads", "sph_sum")
          for wrong in (dict(lmax=-1), dict(lmax=2.0), dict(threads=0),
                        dict(real=True, negative_m=False), dict(normalization="unit"),
                        dict(dtype=np.complex128))]
         + [("sph_sum", wrong) for wrong in (dict(n_groups=-1), dict(n_groups=2.5),
                                             dict(groups=np.zeros(40)),
                                             dict(weights=np.ones((40, 2), complex)))])


@pytest.mark.parametrize("name, wrong", WRONG, ids=case_id)
def test_wrong_arguments_raise_the_eager_errors_before_any_block_runs(name, wrong, rng):
    wrong = dict(wrong)
    given = arguments(name, rng, wrong.pop("dtype", np.float64)) | wrong
    with pytest.raises((TypeError, ValueError)) as eager:
        getattr(kelo, name)(**given)
    with pytest.raises(type(eager.value), match=re.escape(str(eager.value))):
        getattr(kelo.dask, name)(**chunked(given))


@pytest.mark.parametrize("call, message", [
    (lambda: kelo.dask.sph_xyz(da.ones((10, 3), chunks=(5, 2)), 2), "along its last axis"),
    (lambda: kelo.dask.sph_xyz_grads(da.ones((10, 4)), 2), "must hold the 3 components"),
    (lambda: kelo.dask.sph(da.ones(10, chunks=5), da.ones(10, chunks=4), 2), "rechunk"),
    (lambda: kelo.dask.sph_grads(da.ones(10), da.ones(9), 2), "every point needs both"),
    (lambda: kelo.dask.sph_sum(da.ones((10, 3), chunks=(5, 3)), 2,
                               da.zeros(10, dtype=int, chunks=4), n_groups=1), "chunked alike"),
], ids=["xyz-chunked-components", "xyz-4-components", "angles-chunked-apart",
        "angles-shapes-apart", "groups-chunked-apart"])
def test_arrays_that_blocks_cannot_take_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_a_cluster_of_two_worker_processes_gives_the_same_bits(rng):
    from distributed import Client, LocalCluster

    xyz = rng.normal(size=(2000, 3))
    vectors = da.from_array(xyz, chunks=(300, 3))
    indices = da.from_array(rng.integers(0, 5, 2000), chunks=300)
    harmonics = kelo.dask.sph_xyz(vectors, 6)
    sums = kelo.dask.sph_sum(vectors, 6, indices, n_groups=5)
    with (LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                       dashboard_address=None) as cluster, Client(cluster) as client):
        remote_harmonics, remote_sums = client.compute([harmonics, sums], sync=True)
    assert remote_harmonics.tobytes() == kelo.sph_xyz(xyz, 6).tobytes()
    # The tree adds the blocks' sums in one order, wherever they run.
    assert remote_sums.tobytes() == sums.compute(scheduler="sync").tobytes()


def test_examples_in_the_docstrings_hold():
    assert doctest.testmod(kelo.dask, raise_on_error=False).failed == 0


def test_import_kelo_leaves_dask_alone():
    result = run_python("import sys, kelo; print(sorted(m for m in sys.modules if 'dask' in m))")
    assert result.stdout.strip() == "[]", result.stderr
