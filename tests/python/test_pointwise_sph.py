"""pointwise_sph: input normalisation, shapes, precision and the guarded faults."""

import numpy as np
import pytest

from conftest import random_angles, run_python
from kelo import MAX_LMAX, get_LMs, pointwise_sph, pointwise_sph_grads


@pytest.mark.parametrize(("shape", "lmax", "negative_m", "columns"), [
    ((5,), 2, True, 9), ((5,), 2, False, 6), ((4, 5), 3, True, 16), ((4, 5), 3, False, 10),
    ((2, 1, 3), 0, True, 1), ((0,), 2, True, 9),
])
def test_shape(rng, shape, lmax, negative_m, columns):
    phi, theta = random_angles(rng, shape)
    result = pointwise_sph(phi, theta, lmax, negative_m)
    assert result.shape == shape + (columns,)
    assert result.flags.c_contiguous
    assert columns == len(get_LMs(lmax, negative_m))


def test_points_are_taken_in_row_major_order(rng):
    phi, theta = random_angles(rng, (3, 4))
    grid = pointwise_sph(phi, theta, 4)
    flat = pointwise_sph(phi.ravel(), theta.ravel(), 4)
    np.testing.assert_array_equal(grid.reshape(12, -1), flat)
    fortran = pointwise_sph(np.asfortranarray(phi), np.asfortranarray(theta), 4)
    np.testing.assert_array_equal(fortran, grid)


@pytest.mark.parametrize(("phi", "theta", "dtype"), [
    (np.float32, np.float32, np.complex64),
    (np.float64, np.float64, np.complex128),
    (np.int32, np.int32, np.complex64),
    (np.int64, np.int32, np.complex64),
    (np.int32, np.float32, np.complex64),
])
def test_precision_follows_the_angles(phi, theta, dtype):
    angles = np.array([0, 1, 2, 3])
    result = pointwise_sph(angles.astype(phi), angles.astype(theta), 3)
    assert result.dtype == dtype


def test_python_scalars_and_lists():
    assert pointwise_sph(0.5, 1.0, 2).shape == (1, 9)
    assert pointwise_sph(0.5, 1.0, 2).dtype == np.complex128
    ints = pointwise_sph([0, 1], [0, 1], 1)
    assert ints.shape == (2, 4) and ints.dtype == np.complex64
    np.testing.assert_array_equal(ints, pointwise_sph(np.float32([0, 1]), np.float32([0, 1]), 1))


@pytest.mark.parametrize(("phi", "theta"), [
    (np.float64, np.int64), (np.float32, np.float64), (np.uint8, np.uint8), (np.int16, np.int16),
    (np.bool_, np.bool_), (np.float16, np.float16), (np.complex128, np.complex128),
    (">f8", ">f8"),
])
def test_mismatched_or_unsupported_dtypes_are_refused(phi, theta):
    angles = np.array([0, 1, 1])
    with pytest.raises(AssertionError):
        pointwise_sph(angles.astype(phi), angles.astype(theta), 2)


def test_shapes_must_agree():
    with pytest.raises(AssertionError):
        pointwise_sph(np.zeros((2, 3)), np.zeros(6), 2)
    with pytest.raises(AssertionError):
        pointwise_sph(np.zeros(3), np.zeros((3, 1)), 2)


@pytest.mark.parametrize(("lmax", "columns"), [(2.7, 9), ("2", 9), (True, 4), (np.int64(1), 4)])
def test_lmax_goes_through_int(lmax, columns):
    assert pointwise_sph([0.5], [0.5], lmax).shape == (1, columns)


@pytest.mark.parametrize(("lmax", "error", "message"), [
    (-1, OverflowError, "can't convert negative value to unsigned int"),
    ("2.5", ValueError, "invalid literal"),
    (None, TypeError, "int()"),
])
def test_bad_lmax(lmax, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        pointwise_sph([0.5], [0.5], lmax)


@pytest.mark.parametrize(("negative_m", "columns"), [(0, 6), ("", 6), (None, 6), ("yes", 9)])
def test_negative_m_truthiness(negative_m, columns):
    assert pointwise_sph([0.5], [0.5], 2, negative_m).shape == (1, columns)


def test_inputs_are_never_modified(rng):
    phi, theta = random_angles(rng, 10)
    before = phi.copy(), theta.copy()
    pointwise_sph(phi, theta, 5)
    np.testing.assert_array_equal(phi, before[0])
    np.testing.assert_array_equal(theta, before[1])


# The angles are only read, so read-only arrays (memory maps, frombuffer, arrays
# handed out under copy-on-write) are accepted.
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int64])
def test_read_only_inputs_are_accepted(rng, dtype):
    phi, theta = random_angles(rng, 7)
    phi, theta = phi.astype(dtype), theta.astype(dtype)
    expected = pointwise_sph(phi, theta, 3)
    frozen_phi = np.frombuffer(phi.tobytes(), dtype=dtype)
    theta.flags.writeable = False
    np.testing.assert_array_equal(pointwise_sph(frozen_phi, theta, 3), expected)


# A contiguous view at an odd offset into a byte buffer: NumPy keeps it as it is,
# but the core may only load floats from aligned addresses (the sanitizer build of
# `make test-sanitize` reports any misaligned load).
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("function", [pointwise_sph, pointwise_sph_grads])
def test_misaligned_inputs_are_accepted(rng, dtype, function):
    phi, theta = (np.frombuffer(b"\0" + angles.astype(dtype).tobytes(), dtype, offset=1)
                  for angles in random_angles(rng, 7))
    assert not phi.flags.aligned and not theta.flags.aligned
    np.testing.assert_equal(function(phi, theta, 3), function(phi.copy(), theta.copy(), 3))


class FlipFlop:
    """True at its first truth test, false after: a flag that cannot be trusted twice."""

    def __init__(self):
        self.tests = 0

    def __bool__(self):
        self.tests += 1
        return self.tests == 1


def test_negative_m_is_tested_once():
    flag = FlipFlop()
    result = pointwise_sph([0.5, 1.0], [0.1, 0.2], 3, flag)
    assert flag.tests == 1
    np.testing.assert_array_equal(result, pointwise_sph([0.5, 1.0], [0.1, 0.2], 3, True))


# Refused before a result is sized from the degree: with points, one that wide
# could not even be allocated; without any, the core would still build its
# tables. A negative degree fails as negative, not as a huge allocation.
@pytest.mark.parametrize("function", [pointwise_sph, pointwise_sph_grads])
@pytest.mark.parametrize(("points", "lmax", "error"), [
    (0, MAX_LMAX + 1, ValueError), (1, MAX_LMAX + 1, ValueError), (1, -MAX_LMAX - 2, OverflowError),
])
def test_degrees_beyond_the_core_are_refused(function, points, lmax, error):
    with pytest.raises(error, match="46340|negative"):
        function(np.full(points, 0.5), np.full(points, 0.5), lmax)


@pytest.mark.allocation_failure
@pytest.mark.parametrize("function", [pointwise_sph, pointwise_sph_grads])
def test_tables_too_large_for_memory_raise_memory_error(function):
    # The largest degree needs 17 GB of recurrence coefficients in double.
    with pytest.raises(MemoryError):
        function(np.zeros(0), np.zeros(0), MAX_LMAX)
    assert pointwise_sph([0.5], [0.5], 1).shape == (1, 4)
    assert pointwise_sph_grads([0.5], [0.5], 1)[0].shape == (1, 4, 2)


def test_optimised_interpreter_skips_assertions_but_guards_the_core():
    process = run_python("""
        import numpy as np
        from kelo import pointwise_sph, pointwise_sph_grads
        a = np.linspace(0, 1, 6)
        print(pointwise_sph(a.reshape(2, 3), a, 1).shape)
        for function in (pointwise_sph, pointwise_sph_grads):
            for phi, theta in [(a, a[:5]), (a.astype(np.float32), a), (a, a.astype(np.float32))]:
                try:
                    function(phi, theta, 2)
                except ValueError as error:
                    print(error)
    """, "-O")
    assert process.returncode == 0, process.stderr
    assert process.stdout.splitlines() == [
        "(2, 3, 4)",
        *2 * ["theta has 5 elements but phi has 6: every point needs both angles",
              "Buffer dtype mismatch, expected 'const float' but got 'double'",
              "Buffer dtype mismatch, expected 'const double' but got 'float'"],
    ]
