"""
Real spherical harmonics up to degree 3
=======================================

kelo's real harmonics (``real=True``) on the unit sphere, degree l down the rows and
order m across: sqrt(2) Re Y_l^m for m > 0, Y_l^0 for m = 0 and sqrt(2) Im Y_l^abs(m)
for m < 0, where Re Y_l^-m would repeat Re Y_l^m. The z-axis points up. One colour
scale holds every panel, with zero (light grey) in its middle.
"""

import matplotlib.pyplot as plt
import numpy as np

import kelo

LMAX = 3

# Directions on a grid of polar angle (rows) and azimuth (columns).
phi, theta = np.meshgrid(np.linspace(0, np.pi, 51), np.linspace(0, 2 * np.pi, 101),
                         indexing="ij")
xyz = np.stack([np.sin(phi) * np.cos(theta), np.sin(phi) * np.sin(theta), np.cos(phi)],
               axis=-1)
harmonics = kelo.sph_xyz(xyz, LMAX, real=True)  # shape (51, 101, (LMAX + 1)**2)

limit = np.abs(harmonics).max()
norm = plt.Normalize(-limit, limit)
cmap = plt.get_cmap("coolwarm")

columns = 2 * LMAX + 1
fig = plt.figure(figsize=(10.5, 6.5), layout="constrained")
for (l, m), values in zip(kelo.get_LMs(LMAX), np.moveaxis(harmonics, -1, 0)):
    ax = fig.add_subplot(LMAX + 1, columns, l * columns + LMAX + m + 1, projection="3d")
    ax.plot_surface(*np.moveaxis(xyz, -1, 0), facecolors=cmap(norm(values)),
                    rstride=1, cstride=1, shade=False, antialiased=False)
    ax.set_box_aspect((1, 1, 1), zoom=1.6)
    ax.set_axis_off()
    ax.set_title(f"$l = {l},\\ m = {m}$", pad=0)
fig.colorbar(plt.cm.ScalarMappable(norm, cmap), ax=fig.axes, shrink=0.6,
             label="value (orthonormal on the sphere)")
plt.show()
