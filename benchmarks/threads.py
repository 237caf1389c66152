"""Time and extra peak memory of kelo.sph on one thread and on many, at awkward shapes.

Each row runs in a fresh interpreter, so that its peak resident memory (VmHWM) is its
own; the result array is allocated and touched before the peak is read, so the extra
peak is what the call itself allocates. Times are the best of --repeat calls.
"""

import argparse
import subprocess
import sys
from pathlib import Path

# (points, lmax, threads): few points at a high degree, and far more threads than groups.
ROWS = ((16, 2000, 1), (16, 2000, 16), (1024, 300, 1), (1024, 300, 1024))

CHILD = """
import sys, time
import numpy as np
import kelo
from measuring import peak_bytes

points, lmax, threads, repeat = map(int, sys.argv[1:])
rng = np.random.default_rng(20261209)
phi, theta = rng.uniform(0, np.pi, points), rng.uniform(0, 2 * np.pi, points)
out = np.empty((points, (lmax + 1) ** 2), np.complex128)
out[...] = 0  # resident before the peak is read
kelo.sph(phi[:1], theta[:1], 1, threads=1)

before = peak_bytes()
best = float("inf")
for _ in range(repeat):
    start = time.perf_counter()
    kelo.sph(phi, theta, lmax, out=out, threads=threads)
    best = min(best, time.perf_counter() - start)
print(best, peak_bytes() - before)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=3, help="calls per row (default 3)")
    repeat = parser.parse_args().repeat
    for points, lmax, threads in ROWS:
        child = subprocess.run([sys.executable, "-c", CHILD, str(points), str(lmax), str(threads),
                                str(repeat)], capture_output=True, text=True, check=True,
                               cwd=Path(__file__).resolve().parent)  # where measuring.py is
        seconds, extra = child.stdout.split()
        print(f"{points:5d} points, lmax {lmax:4d}, {threads:4d} threads: "
              f"{float(seconds):6.3f} s, +{int(extra) / 2**20:5.0f} MB")


if __name__ == "__main__":
    main()
