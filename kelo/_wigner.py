"""Wigner 3-j symbols of three equal degrees, (l l l; m1 m2 m3), in exact integers.

For equal degrees Racah's formula becomes a sum of products of binomial coefficients:

    (l l l; m1 m2 m3) = (-1)^m3 sqrt(R) S,    m1 + m2 + m3 = 0,
    S = sum over k of (-1)^k C(l, k) C(l, k + m1) C(l, k - m2),
    R = C(2l, l)^2 / ((2l + 1) C(3l + 1, l) C(2l, l + m1) C(2l, l + m2) C(2l, l + m3)).

S is an integer and S^2 R a fraction, both exact: nothing cancels in floating point, at
any degree. A symbol is rounded twice, converting S^2 R to a float and taking its square
root, so it is within about one unit in the last place.
"""

import functools
import math
from fractions import Fraction

import numpy as np
from numpy.typing import NDArray


@functools.cache
def wigner_3j_table(l: int) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The symbols (l l l; m1 m2 m3) of every order triple with m1 + m2 + m3 = 0.

    Returns ``(orders, symbols)``: ``orders`` of shape (K, 3) holds the rows
    (m1, m2, m3), m1 ascending and then m2, with K = 3 l^2 + 3 l + 1; ``symbols`` of
    shape (K,) holds their values. Both are read-only: the table is built once per l.
    """
    row = [math.comb(l, k) for k in range(l + 1)]  # C(l, k)
    double_row = [math.comb(2 * l, k) for k in range(2 * l + 1)]  # C(2l, k)
    common = Fraction(double_row[l] ** 2, (2 * l + 1) * math.comb(3 * l + 1, l))
    orders, symbols = [], []
    for m1 in range(-l, l + 1):
        for m2 in range(max(-l, -l - m1), min(l, l - m1) + 1):
            m3 = -m1 - m2
            # k runs where all three binomials are non-zero.
            total = sum((-1) ** k * row[k] * row[k + m1] * row[k - m2]
                        for k in range(max(0, -m1, m2), min(l, l - m1, l + m2) + 1))
            squared = total**2 * common / (double_row[l + m1] * double_row[l + m2]
                                           * double_row[l + m3])
            sign = (-1) ** (m3 % 2) * (1 if total >= 0 else -1)
            orders.append((m1, m2, m3))
            symbols.append(sign * math.sqrt(squared))
    orders_array = np.array(orders, dtype=np.int64).reshape(-1, 3)
    symbols_array = np.array(symbols, dtype=np.float64)
    orders_array.flags.writeable = symbols_array.flags.writeable = False
    return orders_array, symbols_array
