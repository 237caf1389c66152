"""kelo: exact and fast spherical harmonics and their gradients, point by point.

New code uses the ``kelo.sph*`` functions. They take arrays of points of any shape,
the convention in keywords (``real``, ``condon_shortley``, ``normalization``, ...)
and run on several threads, with the same bits for any number of them:

- ``sph(phi, theta, lmax)``: harmonics at polar angles ``phi`` and azimuths ``theta``;
- ``sph_grads(phi, theta, lmax)``: and their gradients (d/dphi, d/dtheta);
- ``sph_xyz(xyz, lmax)``: harmonics of the directions of vectors, shape (..., 3);
- ``sph_xyz_grads(xyz, lmax)``: and their gradients (d/dx, d/dy, d/dz);
- ``sph_sum(xyz, lmax, groups)``: their sums over groups of vectors (over each
  particle's neighbours, say), optionally weighted, without the array of them all.

``steinhardt(xyz, groups, ls)`` gives Steinhardt's order parameters q_l (and w-hat_l)
of groups of vectors from their sums. ``get_LMs(lmax, negative_m)`` gives the (l, m) of
each column of the harmonics.
``pointwise_sph`` and ``pointwise_sph_grads`` stay as they were, for existing callers.
``get_include()`` and ``get_pkgconfig_dir()`` locate the C++ headers. ``help`` on any
of them tells more.
"""

import importlib.metadata
import pathlib

from kelo._arguments import MAX_LMAX
from kelo._kelo import get_LMs, pointwise_sph, pointwise_sph_grads
from kelo._parallel import sph, sph_grads
from kelo._steinhardt import steinhardt
from kelo._sums import sph_sum
from kelo._vectors import sph_xyz, sph_xyz_grads

__all__ = ["MAX_LMAX", "get_LMs", "get_include", "get_pkgconfig_dir", "pointwise_sph",
           "pointwise_sph_grads", "sph", "sph_grads", "sph_sum", "sph_xyz",
           "sph_xyz_grads", "steinhardt"]
# meson.build's project() holds the version; the installed metadata carries it here.
__version__ = importlib.metadata.version("kelo")

_PACKAGE = pathlib.Path(__file__).parent


def get_include() -> str:
    """The folder that holds kelo's C++ headers, for ``#include "kelo/kelo.hpp"``.

    Compile with ``-I`` this folder and ``-ffp-contract=off``, which kelo's results
    need bit for bit (``get_pkgconfig_dir()`` gives both).

    Returns
    -------
    str
        The folder installed with the package; in an editable install, the
        source tree's ``core`` folder.

    Examples
    --------
    >>> import pathlib, kelo
    >>> (pathlib.Path(kelo.get_include()) / "kelo" / "kelo.hpp").is_file()
    True
    """
    installed = _PACKAGE / "include"
    return str(installed if installed.is_dir() else _PACKAGE.parent / "core")


def get_pkgconfig_dir() -> str:
    """The folder that holds ``kelo.pc``, for ``PKG_CONFIG_PATH``.

    ``pkg-config --cflags kelo`` then gives the headers' folder and the flags kelo
    needs.

    Returns
    -------
    str
        The folder installed with the package.

    Raises
    ------
    FileNotFoundError
        In an editable install, which has no ``kelo.pc``: use ``get_include()`` there.

    Examples
    --------
    >>> import pathlib, kelo
    >>> try:
    ...     folder = kelo.get_pkgconfig_dir()
    ... except FileNotFoundError:   # an editable install
    ...     folder = None
    >>> folder is None or (pathlib.Path(folder) / "kelo.pc").is_file()
    True
    """
    folder = _PACKAGE / "lib" / "pkgconfig"
    if not folder.is_dir():
        raise FileNotFoundError(f"{folder} does not exist: an editable install of kelo has no "
                                f"kelo.pc; compile with -I{get_include()} -ffp-contract=off")
    return str(folder)
