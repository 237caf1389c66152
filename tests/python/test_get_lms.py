import numpy as np
import pytest

from kelo import get_LMs
from test_pointwise_sph import FlipFlop


@pytest.mark.parametrize(("negative_m", "expected"), [
    (True, [(0, 0), (1, 0), (1, 1), (1, -1), (2, 0), (2, 1), (2, 2), (2, -1), (2, -2)]),
    (False, [(0, 0), (1, 0), (1, 1), (2, 0), (2, 1), (2, 2)]),
])
def test_degree_two_table(negative_m, expected):
    assert get_LMs(2, negative_m).tolist() == [list(pair) for pair in expected]


@pytest.mark.parametrize("lmax", [0, 1, 5, 17])
@pytest.mark.parametrize("negative_m", [True, False])
def test_rows_cover_every_harmonic_once_in_order(lmax, negative_m):
    lms = get_LMs(lmax, negative_m)
    assert lms.dtype == np.int64
    assert lms.shape == ((lmax + 1) ** 2 if negative_m else (lmax + 1) * (lmax + 2) // 2, 2)
    orders = [(l, m) for l in range(lmax + 1)
              for m in [*range(l + 1), *(range(-1, -l - 1, -1) if negative_m else [])]]
    assert [tuple(row) for row in lms.tolist()] == orders
    assert not lms.flags.c_contiguous or len(lms) == 1


@pytest.mark.parametrize("lmax", [-1, -5])
def test_negative_degree_gives_an_empty_table(lmax):
    lms = get_LMs(lmax)
    assert lms.shape == (0, 2) and lms.dtype == np.int64


@pytest.mark.parametrize(("negative_m", "rows"), [
    (0, 3), (None, 3), ([], 3), ("", 3), ("no", 4), ([0], 4),
])
def test_negative_m_follows_truthiness(negative_m, rows):
    assert len(get_LMs(1, negative_m)) == rows


def test_negative_m_is_tested_once():
    flag = FlipFlop()
    assert get_LMs(3, flag).tolist() == get_LMs(3, True).tolist()
    assert flag.tests == 1


# NumPy integers have a fixed width: lmax + 1 would wrap around to an empty table.
@pytest.mark.parametrize("lmax", [np.int8(127), np.uint8(255)])
def test_largest_values_of_narrow_integer_types(lmax):
    assert len(get_LMs(lmax)) == (int(lmax) + 1) ** 2


# A table beyond the core's degrees would only exhaust memory: refused at once.
@pytest.mark.parametrize("lmax", [46341, 10**6, 2**40, np.uint64(2**64 - 1)])
def test_degrees_beyond_the_core_are_refused(lmax):
    with pytest.raises(ValueError, match="up to 46340"):
        get_LMs(lmax)


def test_integer_like_degrees():
    assert len(get_LMs(True)) == 4
    assert len(get_LMs(np.int16(2))) == 9
    with pytest.raises(TypeError):
        get_LMs(2.0)
    with pytest.raises(TypeError):
        get_LMs("2")
