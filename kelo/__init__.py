"""kelo: complex spherical harmonics and their gradients, evaluated point by point."""

from kelo._arguments import MAX_LMAX
from kelo._kelo import get_LMs, pointwise_sph, pointwise_sph_grads
from kelo._parallel import sph, sph_grads
from kelo._vectors import sph_xyz, sph_xyz_grads

__all__ = ["MAX_LMAX", "get_LMs", "pointwise_sph", "pointwise_sph_grads", "sph", "sph_grads",
           "sph_xyz", "sph_xyz_grads"]
__version__ = "0.1.0"
