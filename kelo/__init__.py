"""kelo: complex spherical harmonics and their gradients, evaluated point by point."""

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
    need bit for bit (``get_pkgconfig_dir()`` gives both). An editable install has
    the headers in the source tree, and returns its ``core`` folder.
    """
    installed = _PACKAGE / "include"
    return str(installed if installed.is_dir() else _PACKAGE.parent / "core")


def get_pkgconfig_dir() -> str:
    """The folder that holds ``kelo.pc``, for ``PKG_CONFIG_PATH``.

    ``pkg-config --cflags kelo`` then gives the headers' folder and the flags kelo
    needs. An editable install has no such file: use ``get_include()`` there.
    """
    folder = _PACKAGE / "lib" / "pkgconfig"
    if not folder.is_dir():
        raise FileNotFoundError(f"{folder} does not exist: an editable install of kelo has no "
                                f"kelo.pc; compile with -I{get_include()} -ffp-contract=off")
    return str(folder)
