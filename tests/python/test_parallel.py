"""kelo.sph and kelo.sph_grads: the serial results on any number of threads, into any fit array."""

import threading
import time

import numpy as np
import pytest

from conftest import CONVENTIONS, convention_id, random_angles, scipy_harmonics
from kelo import get_LMs, pointwise_sph, pointwise_sph_grads, sph, sph_grads


def assert_same_bits(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    assert actual.tobytes() == expected.tobytes()


def layouts(phi):
    """The same angles laid out in memory in several ways."""
    wide = np.empty(phi.shape + (3,), phi.dtype)
    wide[..., 1] = phi
    readonly = phi.copy()
    readonly.flags.writeable = False
    return {
        "contiguous": phi,
        "strided": wide[..., 1],
        "fortran": np.asfortranarray(phi),
        "negative stride": np.ascontiguousarray(phi[::-1])[::-1],
        "read-only": readonly,
        "byte-swapped": phi.astype(phi.dtype.newbyteorder()),
        "misaligned": np.frombuffer(b"\0" + phi.tobytes(), phi.dtype, offset=1).reshape(phi.shape),
    }


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("threads", [1, 2, 3, None])
def test_equal_the_serial_functions_bit_for_bit(rng, dtype, threads):
    phi, theta = random_angles(rng, (60, 7), dtype)
    phi[0, :3] = [0, np.pi, 1e-30]  # poles and a cotangent that overflows
    for negative_m in (True, False):
        assert_same_bits(sph(phi, theta, 9, negative_m=negative_m, threads=threads),
                         pointwise_sph(phi, theta, 9, negative_m))
        grads, sphs = sph_grads(phi, theta, 9, negative_m=negative_m, threads=threads)
        expected_grads, expected_sphs = pointwise_sph_grads(phi, theta, 9, negative_m)
        assert_same_bits(grads, expected_grads)
        assert_same_bits(sphs, expected_sphs)
        assert_same_bits(sph_grads(phi, theta, 9, negative_m=negative_m, return_sphs=False,
                                   threads=threads), expected_grads)


@pytest.mark.parametrize("convention", CONVENTIONS[1:], ids=convention_id)
def test_other_conventions_agree_with_scipy_on_any_number_of_threads(rng, convention):
    phi, theta = random_angles(rng, (40,))
    grads, values = sph_grads(phi, theta, 24, **convention, threads=2)
    expected_values, expected_grads = scipy_harmonics(24, phi, theta, diff_n=1, **convention)
    tolerance = 1e-13 * 24 * np.sqrt(4 * np.pi)
    assert np.abs(values - expected_values).max() <= tolerance
    assert np.abs(grads - expected_grads).max() <= 24 * tolerance
    assert_same_bits(sph(phi, theta, 24, **convention, threads=1), values)
    assert_same_bits(sph_grads(phi, theta, 24, **convention, threads=1)[0], grads)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_real_harmonics_are_their_factors_times_the_complex_ones_bits(rng, dtype):
    """Each real value is its column's factor times a part of kelo's own, rounded once."""
    phi, theta = random_angles(rng, (30,), dtype)
    # The poles take the derivatives' limits; next to them float products round to subnormals.
    phi[:4] = [0, np.pi, 1e-7, np.pi - 3e-7]
    l, m = get_LMs(6).T
    factor = np.sqrt(4 * np.pi / (2 * l + 1)) * np.where(m == 0, 1, np.sqrt(2) * (-1.0) ** m)
    factor = factor.astype(dtype)
    grads, values = pointwise_sph_grads(phi, theta, 6)
    positive = l * l + np.abs(m)  # the column of Y_l^|m|
    grads, values = grads[:, positive], values[:, positive]
    real_grads, real_values = sph_grads(phi, theta, 6, real=True, condon_shortley=True,
                                        normalization="schmidt")
    assert_same_bits(real_values, factor * np.where(m < 0, values.imag, values.real))
    assert_same_bits(real_grads, factor[:, None] * np.where(m[:, None] < 0, grads.imag, grads.real))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_any_input_layout_gives_the_same_bits(rng, dtype):
    phi, theta = random_angles(rng, (40, 6), dtype)
    expected = pointwise_sph(phi, theta, 6)
    expected_grads, _ = pointwise_sph_grads(phi, theta, 6)
    phi_layouts = layouts(phi)
    theta_layouts = layouts(theta)
    for name in phi_layouts:
        assert_same_bits(sph(phi_layouts[name], theta_layouts[name], 6, threads=2), expected)
        assert_same_bits(sph_grads(phi_layouts[name], theta_layouts[name], 6, threads=2)[0],
                         expected_grads)


def test_out_arrays_receive_the_results(rng):
    phi, theta = random_angles(rng, (30,))
    out = np.full((30, 25), np.nan, np.complex128)
    assert sph(phi, theta, 4, out=out, threads=2) is out
    assert_same_bits(out, pointwise_sph(phi, theta, 4))
    grads_out = np.empty((30, 15, 2), np.complex64)
    sphs_out = np.empty((30, 15), np.complex64)
    single = phi.astype(np.float32), theta.astype(np.float32)
    grads, sphs = sph_grads(*single, 4, negative_m=False, out=grads_out, sphs_out=sphs_out)
    assert grads is grads_out and sphs is sphs_out
    expected_grads, expected_sphs = pointwise_sph_grads(*single, 4, False)
    assert_same_bits(grads_out, expected_grads)
    assert_same_bits(sphs_out, expected_sphs)


@pytest.mark.parametrize(("phi", "theta", "dtype"), [
    (np.float32, np.float32, np.complex64), (np.float16, np.float32, np.complex64),
    (np.float64, np.float32, np.complex128), (np.int32, np.int32, np.complex128),
    (np.uint8, np.float64, np.complex128), (np.longdouble, np.float64, np.complex128),
])
def test_precision_is_single_only_for_single_or_narrower_floats(phi, theta, dtype):
    angles = np.array([0.0, 1.0, 2.0])
    result = sph(angles.astype(phi), angles.astype(theta), 2)
    precision = np.float32 if dtype == np.complex64 else np.float64
    assert_same_bits(result, pointwise_sph(angles.astype(phi).astype(precision),
                                           angles.astype(theta).astype(precision), 2))


@pytest.mark.parametrize(("shape", "expected"), [((), (9,)), ((0,), (0, 9)), ((2, 0, 3), (2, 0, 3, 9))])
def test_scalars_and_empty_arrays(shape, expected):
    phi = np.ones(shape)
    assert sph(phi, phi, 2).shape == expected
    assert sph_grads(phi, phi, 2)[0].shape == expected + (2,)
    # pointwise_sph makes a scalar a point array of one; sph keeps the scalar's shape.
    assert_same_bits(sph(phi, phi, 2).reshape(-1, 9), pointwise_sph(phi, phi, 2).reshape(-1, 9))


class ShapeLiar(np.ndarray):
    """Claims the shape of the result over a buffer of four values."""

    @property
    def shape(self):
        return (4, 9)


BAD_OUT = [
    (np.empty(4, np.complex128).view(ShapeLiar), ValueError, r"out has shape \(4,\), but the result"),
    (np.empty((4, 9), np.complex64), TypeError, "out has dtype complex64, but the result has dtype complex128"),
    (np.empty((4, 9), np.complex128).astype(">c16"), TypeError, "out has dtype >c16"),
    (np.empty((4, 8), np.complex128), ValueError, r"out has shape \(4, 8\), but the result has shape \(4, 9\)"),
    (np.empty((9, 4), np.complex128).T, ValueError, "out must be C-contiguous"),
    (np.empty((4, 18), np.complex128)[:, ::2], ValueError, "out must be C-contiguous"),
    ([[0j] * 9] * 4, TypeError, "out must be a numpy.ndarray, not list"),
    (np.zeros(4 * 9 * 16 + 1, np.uint8)[1:].view(np.complex128).reshape(4, 9), ValueError,
     "out is not aligned to its dtype"),
]


@pytest.mark.parametrize(("out", "error", "message"), BAD_OUT)
def test_unfit_out_arrays_are_refused(out, error, message):
    angles = np.linspace(0, 1, 4)
    with pytest.raises(error, match=message):
        sph(angles, angles, 2, out=out)


def test_read_only_and_overlapping_outputs_are_refused():
    angles = np.linspace(0, 1, 4)
    readonly = np.empty((4, 9), np.complex128)
    readonly.flags.writeable = False
    with pytest.raises(ValueError, match="out is read-only"):
        sph(angles, angles, 2, out=readonly)
    # A buffer that holds both the angles and the result.
    shared = np.zeros(4 * 9 * 2)
    with pytest.raises(ValueError, match="out overlaps an input or another output"):
        sph(shared[:4], shared[:4], 2, out=shared.view(np.complex128).reshape(4, 9))
    grads = np.empty((4, 9, 2), np.complex128)
    with pytest.raises(ValueError, match="sphs_out overlaps an input or another output"):
        sph_grads(angles, angles, 2, out=grads, sphs_out=grads.reshape(-1)[:36].reshape(4, 9))
    with pytest.raises(ValueError, match="sphs_out is given, but return_sphs is False"):
        sph_grads(angles, angles, 2, return_sphs=False, sphs_out=np.empty((4, 9), np.complex128))


@pytest.mark.parametrize(("arguments", "error", "message"), [
    ({"lmax": -1}, ValueError, "lmax is -1, but must be from 0 to 46340"),
    ({"lmax": 46341}, ValueError, "lmax is 46341"),
    ({"lmax": 2.0}, TypeError, "integer"),
    ({"lmax": True}, TypeError, "lmax must be an integer, not bool"),
    ({"threads": 0}, ValueError, "threads is 0, but must be from 1 to 1024"),
    ({"threads": 2.5}, TypeError, "integer"),
    ({"theta": np.zeros(3)}, ValueError, r"phi has shape \(4,\) but theta has shape \(3,\)"),
    ({"theta": np.zeros(4, complex)}, TypeError, "theta must hold real numbers, not complex128"),
    ({"phi": np.array(["a"] * 4)}, TypeError, "phi must hold real numbers"),
])
def test_bad_arguments_raise_clear_errors(arguments, error, message):
    call = {"phi": np.zeros(4), "theta": np.zeros(4), "lmax": 2} | arguments
    for function in (sph, sph_grads):
        with pytest.raises(error, match=message):
            function(call["phi"], call["theta"], call["lmax"], threads=call.get("threads"))


def test_the_interpreter_runs_on_while_the_core_works(rng):
    phi, theta = random_angles(rng, (40000,))
    finished = threading.Event()
    worker = threading.Thread(target=lambda: (sph(phi, theta, 32, threads=1), finished.set()))
    naps = 0
    worker.start()
    while not finished.is_set():
        time.sleep(0.001)
        naps += 1
    worker.join()
    # Each nap must win the interpreter lock back; a call that held it throughout
    # would leave room for a nap or two, not for the dozens the call takes.
    assert naps > 20
