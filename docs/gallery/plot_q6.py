"""
q6 tells a crystal from a liquid
================================

The systems of ``python -m kelo --steinhardt``: an fcc crystal with thermal noise and a
liquid-like packing of hard spheres, each in a periodic box. Every particle's q6 comes
from its bonds to the neighbours within the cutoff, through ``kelo.steinhardt``. The
crystal's gather just below the perfect lattice's 0.575, which thermal noise lowers; the
liquid's spread far below them.
"""

import matplotlib.pyplot as plt
import numpy as np

from kelo._steinhardt_job import DEMO_CUTOFF, DEMO_SEED, fcc_crystal, liquid, order_parameters

rng = np.random.default_rng(DEMO_SEED)
systems = {"fcc crystal": fcc_crystal(rng), "liquid": liquid(rng)}  # as the main job draws them

fig, ax = plt.subplots(figsize=(7, 4), layout="constrained")
bins = np.linspace(0, 0.7, 36)
for (name, (positions, box)), colour in zip(systems.items(), ["tab:blue", "tab:orange"]):
    q, _ = order_parameters(positions, DEMO_CUTOFF, box, [6], wl=False, threads=1)
    ax.hist(q[:, 0], bins, alpha=0.7, color=colour, label=f"{name} ({len(positions)} particles)")
ax.axvline(0.57452, color="black", linestyle="--", linewidth=1, label="perfect fcc lattice")
ax.set_xlabel("$q_6$ of a particle")
ax.set_ylabel("particles")
ax.set_xlim(bins[0], bins[-1])
ax.legend(loc="upper left")
plt.show()
