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
        return "-".join(f"{key}={item}" for key, item in value.items()) or "defaults"
    return str(value)


def inputs(name, rng, dtype=np.float64):
    """The NumPy inputs of a function, and the chunks of their dask arrays."""
    if name.startswith("sph_xyz"):
        return [rng.normal(size=SHAPE + (3,)).astype(dtype)], CHUNKS + (3,)
    return list(random_angles(rng, SHAPE, dtype)), CHUNKS


def as_tuple(results):
    return results if isinstance(results, tuple) else (results,)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("name, convention", CASES, ids=case_id)
def test_results_are_the_eager_ones_bit_for_bit_chunked_as_the_points(name, convention, dtype,
                                                                     rng):
    arrays, chunks = inputs(name, rng, dtype)
    lazy = as_tuple(getattr(kelo.dask, name)(*(da.from_array(a, chunks=chunks) for a in arrays),
                                             3, **convention))
    eager = as_tuple(getattr(kelo, name)(*arrays, 3, **convention))
    for result, computed, expected in zip(lazy, dask.compute(*lazy), eager, strict=True):
        assert result.chunks == da.core.normalize_chunks(CHUNKS, SHAPE) + tuple(
            (size,) for size in expected.shape[len(SHAPE):])
        assert type(result._meta) is np.ndarray
        assert result._meta.dtype == result.dtype == computed.dtype == expected.dtype
        assert result._meta.ndim == expected.ndim
        assert computed.shape == expected.shape and computed.tobytes() == expected.tobytes()


@pytest.mark.parametrize("name", ["sph", "sph_xyz_grads"])
@pytest.mark.parametrize("wrong", [dict(lmax=-1), dict(lmax=2.0), dict(threads=0),
                                   dict(real=True, negative_m=False),
                                   dict(normalization="unit"), dict(dtype=np.complex128)],
                         ids=case_id)
def test_wrong_arguments_raise_the_eager_errors_before_any_block_runs(name, wrong, rng):
    wrong = dict(wrong)
    arrays, chunks = inputs(name, rng, wrong.pop("dtype", np.float64))
    arguments = dict(lmax=2) | wrong
    with pytest.raises((TypeError, ValueError)) as eager:
        getattr(kelo, name)(*arrays, **arguments)
    with pytest.raises(type(eager.value), match=re.escape(str(eager.value))):
        getattr(kelo.dask, name)(*(da.from_array(a, chunks=chunks) for a in arrays), **arguments)


@pytest.mark.parametrize("call, message", [
    (lambda: kelo.dask.sph_xyz(da.ones((10, 3), chunks=(5, 2)), 2), "along its last axis"),
    (lambda: kelo.dask.sph_xyz_grads(da.ones((10, 4)), 2), "must hold the 3 components"),
    (lambda: kelo.dask.sph(da.ones(10, chunks=5), da.ones(10, chunks=4), 2), "rechunk"),
    (lambda: kelo.dask.sph_grads(da.ones(10), da.ones(9), 2), "every point needs both"),
], ids=["xyz-chunked-components", "xyz-4-components", "angles-chunked-apart",
        "angles-shapes-apart"])
def test_arrays_that_blocks_cannot_take_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_examples_in_the_docstrings_hold():
    assert doctest.testmod(kelo.dask, raise_on_error=False).failed == 0


def test_import_kelo_leaves_dask_alone():
    result = run_python("import sys, kelo; print(sorted(m for m in sys.modules if 'dask' in m))")
    assert result.stdout.strip() == "[]", result.stderr
