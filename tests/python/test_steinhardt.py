"""kelo.steinhardt and its 3-j symbols, against SymPy's symbols and SciPy's harmonics."""

import itertools

import numpy as np
import pytest
from scipy.spatial.transform import Rotation
from scipy.special import sph_harm_y
from sympy.physics.wigner import wigner_3j

import kelo
from kelo._wigner import wigner_3j_table


def sympy_3j(l, orders):
    return np.array([float(wigner_3j(l, l, l, *triple)) for triple in orders])


@pytest.mark.parametrize("l", [0, 1, 2, 5, 8, 20, 40])
def test_3j_symbols(l, rng):
    orders, symbols = wigner_3j_table(l)
    assert len(orders) == 3 * l * l + 3 * l + 1 and not orders.sum(axis=1).any()
    checked = rng.choice(len(orders), min(len(orders), 40), replace=False)
    np.testing.assert_allclose(symbols[checked], sympy_3j(l, orders[checked]), rtol=4e-16)
    # Orthogonality: sum over m1, m2 of (l l l; m1 m2 m3)^2 = 1 / (2l + 1) for every m3.
    sums = np.bincount(orders[:, 2] + l, weights=symbols**2)
    np.testing.assert_allclose(sums, 1 / (2 * l + 1), rtol=1e-14)


def reference(vectors, l):
    """q_l and w-hat_l of one group, from SciPy's harmonics and SymPy's 3-j symbols."""
    x, y, z = np.transpose(vectors)
    polar, azimuth = np.arccos(z / np.linalg.norm(vectors, axis=1)), np.arctan2(y, x)
    means = {m: sph_harm_y(l, m, polar, azimuth).mean() for m in range(-l, l + 1)}
    square = sum(abs(mean) ** 2 for mean in means.values())
    triples = [(a, b, -a - b) for a in means for b in means if abs(a + b) <= l]
    products = [means[a] * means[b] * means[c] for a, b, c in triples]
    w = np.dot(sympy_3j(l, triples), products).real / square**1.5
    return np.sqrt(4 * np.pi / (2 * l + 1) * square), w


def shell(nonzero):
    """Nearest neighbours of a cubic lattice: the vectors of -1, 0, 1 with this many
    non-zero components: 1 simple cubic, 2 face-centred, 3 body-centred."""
    return np.array([v for v in itertools.product((-1, 0, 1), repeat=3)
                     if np.count_nonzero(v) == nonzero], dtype=float)


@pytest.mark.parametrize(("nonzero", "q4", "q6"), [
    (1, 0.76376, 0.35355), (2, 0.19094, 0.57452), (3, 0.50918, 0.62854)],
    ids=["simple cubic", "fcc", "bcc"])
def test_perfect_shells(nonzero, q4, q6):
    vectors = shell(nonzero)
    q, w = kelo.steinhardt(vectors, np.zeros(len(vectors), dtype=int), [4, 6], wl=True)
    np.testing.assert_allclose(q[0], [q4, q6], atol=5e-6)
    np.testing.assert_allclose(w[0], [reference(vectors, 4)[1], reference(vectors, 6)[1]],
                               rtol=1e-12)


def test_groups_in_any_order_with_an_empty_one(rng):
    sizes = [5, 0, 1, 12]
    groups = rng.permutation(np.repeat(np.arange(len(sizes)), sizes))
    vectors = rng.normal(size=(len(groups), 3))
    ls = [0, 2, 3, 6]
    q, w = kelo.steinhardt(vectors, groups, ls, n_groups=len(sizes) + 1, wl=True)
    expected = np.full((2, len(sizes) + 1, len(ls)), np.nan)
    for group, l in itertools.product(np.unique(groups), range(len(ls))):
        expected[:, group, l] = reference(vectors[groups == group], ls[l])
    np.testing.assert_allclose(q, expected[0], rtol=1e-12)
    # w-hat_l vanishes for odd l: there both are rounding.
    np.testing.assert_allclose(w, expected[1], rtol=1e-9, atol=1e-16)


def test_rotations_leave_the_orders_alone(rng):
    groups = rng.integers(0, 20, 300)
    vectors = rng.normal(size=(300, 3))
    q, w = kelo.steinhardt(vectors, groups, [4, 6, 12], wl=True)
    for rotation in Rotation.random(3, rng=rng):
        turned = kelo.steinhardt(rotation.apply(vectors), groups, [4, 6, 12], wl=True)
        np.testing.assert_allclose(turned, (q, w), rtol=1e-11)


@pytest.mark.parametrize(("ls", "error", "message"), [
    (6, TypeError, "sequence of degrees"), ([], ValueError, "ls is empty"),
    ([4, 6.0], TypeError, "integer"), ([-1], ValueError, "a degree in ls is -1")])
def test_bad_degrees(ls, error, message):
    with pytest.raises(error, match=message):
        kelo.steinhardt(np.ones((2, 3)), [0, 0], ls)
