"""kelo's type stubs agree with the compiled modules, give typical calls their precise
types under mypy --strict, and refuse calls that the modules refuse."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from mypy import api

ROOT = Path(__file__).resolve().parents[2]

PREAMBLE = """\
from typing import assert_type
import dask.array as da
import numpy as np
from numpy.typing import NDArray
import kelo
import kelo.dask

Complex = NDArray[np.complex64 | np.complex128]
Real = NDArray[np.float32 | np.float64]
phi = np.linspace(0.0, np.pi, 5)
theta = np.zeros(5, dtype=np.float32)
xyz = np.ones((5, 3))
"""

TYPICAL_USE = """\
assert_type(kelo.sph(phi, theta, 4, normalization="4pi", threads=2), Complex)
assert_type(kelo.sph(phi, theta, 4, real=True, out=np.empty((5, 25))), Real)
assert_type(kelo.sph(phi, theta, 4, real=bool(phi[0])), Complex | Real)
assert_type(kelo.sph_grads(phi, theta, 4, condon_shortley=True), tuple[Complex, Complex])
assert_type(kelo.sph_grads(phi, theta, 4, real=True, return_sphs=False, threads=None), Real)
assert_type(kelo.sph_xyz([[0.0, 0.0, 1.0]], np.int64(2), negative_m=False), Complex)
assert_type(kelo.sph_xyz_grads(xyz, 2, real=True), tuple[Real, Real])
assert_type(kelo.pointwise_sph(phi, theta, 3), Complex)
assert_type(kelo.pointwise_sph_grads(phi, theta, 3, True, False), Complex)
assert_type(kelo.pointwise_sph_grads(phi, theta, 3), tuple[Complex, Complex])
assert_type(kelo.get_LMs(3, negative_m=False), NDArray[np.int64])
q_and_w = kelo.steinhardt(xyz, [0, 0, 1, 1, 1], [4, 6], wl=True)
assert_type(q_and_w, tuple[NDArray[np.float64], NDArray[np.float64]])
assert_type(kelo.get_include(), str)
assert_type(kelo.dask.sph(phi, theta, 4, real=True, threads=None), da.Array)
assert_type(kelo.dask.sph_xyz_grads(xyz, 2), tuple[da.Array, da.Array])
assert_type(kelo.dask.sph_xyz_grads(xyz, 2, return_sphs=False), da.Array)
assert_type(kelo.dask.sph_sum(xyz, 2, [0, 1, 0, 1, 0], n_groups=2, weights=phi), da.Array)
assert_type(kelo.dask.sph_grads(phi, theta, 2, return_sphs=bool(phi[0])),
            da.Array | tuple[da.Array, da.Array])
assert_type(kelo.__version__, str)
"""

# One wrong call a line.
WRONG_USE = """\
kelo.sph(phi, theta, 2, threads="many")
kelo.sph(phi, theta, 2.5)
kelo.sph(phi, theta, 2, True)
kelo.sph_xyz(xyz, 2, normalization="unit")
kelo.sph_grads(phi, theta, 2).shape
kelo.pointwise_sph(phi, theta, 2, out=None)
kelo.dask.sph_xyz(xyz, 2, out=None)
kelo.dask.sph_sum(xyz, 2, [0, 1, 0, 1, 0])
kelo.steinhardt(xyz, [0, 0, 1, 1, 1], 6)
"""


@pytest.mark.slow  # imports and checks every module: about 10 s
def test_stubs_match_the_compiled_modules():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kelo",
         "--allowlist", str(ROOT / "tests" / "python" / "stubtest-allowlist.txt")],
        capture_output=True, text=True, cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_passes_typical_use_and_flags_each_wrong_call(tmp_path, monkeypatch):
    (tmp_path / "typical.py").write_text(PREAMBLE + TYPICAL_USE)
    (tmp_path / "wrong.py").write_text(PREAMBLE + WRONG_USE)
    monkeypatch.setenv("MYPYPATH", str(ROOT))  # the stubs beside the sources
    # kelo.dask, annotated Python, is checked as a source: mypy would take this tree,
    # on pytest's path, for installed code and keep quiet about it.
    report, _, _ = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"),
                            str(tmp_path / "typical.py"), str(tmp_path / "wrong.py"),
                            str(ROOT / "kelo" / "dask.py")])
    errors = re.findall(r"^(\S+?\.py):(\d+): error", report, re.MULTILINE)
    first_wrong = PREAMBLE.count("\n") + 1
    expected = {(str(tmp_path / "wrong.py"), str(line))
                for line in range(first_wrong, first_wrong + WRONG_USE.count("\n"))}
    assert set(errors) == expected, report
