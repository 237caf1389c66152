"""python -m kelo: the report, its options and its one-line errors."""

import os
import signal
import stat
import subprocess
import sys

import numpy as np
import pytest

from conftest import run_python
from kelo import (
    pointwise_sph, pointwise_sph_grads, sph_grads, sph_xyz, sph_xyz_grads, steinhardt)


def kelo(*arguments, cwd=None):
    return subprocess.run([sys.executable, "-m", "kelo", *arguments], capture_output=True,
                          text=True, timeout=120, cwd=cwd)


@pytest.mark.parametrize(("options", "kind"), [([], "complex"), (["--xyz", "--real"], "real")])
def test_report_on_the_built_in_points(options, kind):
    process = kelo("--lmax", "6", "--points", "2000", *options)
    assert process.returncode == 0, process.stderr
    report = dict(line.split(None, 1) for line in process.stdout.splitlines()
                  if not line.startswith("orthonormality"))
    assert report["lmax"].startswith(f"6: 49 {kind} harmonics")
    assert report["precision"].startswith("float64")
    error = float(process.stdout.split("orthonormality error")[1].split()[0])
    assert error < 1e-13


ANGLES = np.array([[0.1, 0.2], [1.0, 3.0], [2.5, 6.0]])
VECTORS = np.array([[0.0, 0.0, 2.0], [1.0, -2.0, 0.5], [-3.0, 0.1, -1.0], [0.0, 0.0, 0.0]])


@pytest.mark.parametrize(("options", "expected"), [
    (["--lmax", "3", "--float32", "--no-negative-m"],
     lambda: pointwise_sph(*ANGLES.T.astype(np.float32), 3, False)),
    (["--lmax", "2", "--grads"], lambda: pointwise_sph_grads(*ANGLES.T, 2, True, False)),
    (["--lmax", "2", "--grads", "--threads", "2"],
     lambda: pointwise_sph_grads(*ANGLES.T, 2, True, False)),
    (["--xyz", "--lmax", "3", "--float32", "--no-negative-m"],
     lambda: sph_xyz(VECTORS.astype(np.float32), 3, negative_m=False)),
    (["--xyz", "--real", "--lmax", "3"], lambda: sph_xyz(VECTORS, 3, real=True)),
    (["--xyz", "--real", "--grads", "--lmax", "2", "--threads", "2"],
     lambda: sph_xyz_grads(VECTORS, 2, real=True, return_sphs=False)),
    (["--xyz", "--grads", "--lmax", "2"], lambda: sph_xyz_grads(VECTORS, 2, return_sphs=False)),
    (["--real", "--grads", "--lmax", "2"],
     lambda: sph_grads(*ANGLES.T, 2, real=True, return_sphs=False)),
], ids=lambda case: " ".join(case) if isinstance(case, list) else None)
def test_output_file_holds_the_library_result(tmp_path, options, expected):
    np.save(tmp_path / "points.npy", VECTORS if "--xyz" in options else ANGLES)
    process = kelo("--input", "points.npy", "--output", "out.npy", *options, cwd=tmp_path)
    assert process.returncode == 0, process.stderr
    result, expected = np.load(tmp_path / "out.npy"), expected()
    assert (result.dtype, result.shape) == (expected.dtype, expected.shape)
    assert result.tobytes() == expected.tobytes()


@pytest.mark.parametrize(("arguments", "content", "message"), [
    (["--lmax", "-1"], None, "--lmax must lie in 0..46340"),
    (["--lmax", "two"], None, "invalid int value"),
    (["--lmax", "50000"], None, "46340"),
    (["--threads", "0"], None, "--threads must lie in 1..1024"),
    (["--xyz", "--real", "--no-negative-m"], None, "cannot go with --no-negative-m"),
    (["--repeat", "0"], None, "--repeat must be positive"),
    (["--input", "missing.npy"], None, "cannot read missing.npy"),
    (["--input", "bad.npy"], b"not an array", "cannot read bad.npy"),
    (["--input", "bad.npy"], b"", "cannot read bad.npy"),
    (["--input", "bad.npy"], {"points": np.zeros((3, 2))}, "an .npz archive"),
    (["--points", "100000000"], None, "GiB of memory"),
    (["--xyz", "--points", "100000000"], None, "GiB of memory"),
    (["--output", "bad.npy"], "fifo", "cannot write to bad.npy"),
    (["--input", "bad.npy"], np.zeros((4, 3)), "not N x 2"),
    (["--xyz", "--input", "bad.npy"], np.zeros((4, 2)), "not N x 3"),
    (["--xyz", "--input", "bad.npy"], np.zeros(3), "not N x 3"),
    (["--input", "bad.npy"], np.array([["a", "b"]]), "not real numbers"),
    (["--input", "bad.npy"], np.zeros((2, 2), dtype=np.complex128), "not real numbers"),
    (["--steinhardt", "--input", "bad.npy", "--cutoff", "1"], np.zeros((4, 2)), "not N x 3"),
    (["--steinhardt", "--input", "bad.npy", "--cutoff", "1"], 5 * np.eye(3), "no two particles"),
    (["--steinhardt", "--input", "bad.npy", "--cutoff", "1"], np.full((2, 3), np.nan), "NaN"),
    (["--steinhardt", "--input", "bad.npy", "--cutoff", "1", "--box", "4", "4", "4"],
     np.array([[1.0, 1, 1], [1, 4, 1]]), "outside the periodic box"),
    (["--steinhardt", "--input", "bad.npy", "--cutoff", "2.5", "--box", "4", "6", "6"], None,
     "less than half the box's shortest side"),
    (["--steinhardt", "--input", "bad.npy", "--cutoff", "1", "--box", "4", "0", "4"], None,
     "--box must have positive finite sides"),
    (["--steinhardt", "--input", "bad.npy"], None, "needs --cutoff"),
    (["--steinhardt", "--cutoff", "0"], None, "--cutoff must be positive"),
    (["--steinhardt", "--ls", "4", "-1"], None, "--ls must lie in 0..46340"),
    (["--steinhardt", "--xyz"], None, "--xyz goes with the harmonics"),
    (["--wl"], None, "--wl needs --steinhardt"),
])
def test_bad_input_is_one_line_with_status_two(tmp_path, arguments, content, message):
    if isinstance(content, bytes):
        (tmp_path / "bad.npy").write_bytes(content)
    elif isinstance(content, str):  # "fifo"
        os.mkfifo(tmp_path / "bad.npy")
    elif isinstance(content, dict):
        with open(tmp_path / "bad.npy", "wb") as stream:
            np.savez(stream, **content)
    elif content is not None:
        np.save(tmp_path / "bad.npy", content)
    quick = [] if "--steinhardt" in arguments else ["--points", "100"]
    process = kelo(*quick, "--output", "out.npy", *arguments, cwd=tmp_path)
    assert process.returncode == 2
    assert process.stdout == ""
    assert len(process.stderr.splitlines()) == 1 and message in process.stderr
    assert not (tmp_path / "out.npy").exists()
    assert [path.name for path in tmp_path.iterdir()] in ([], ["bad.npy"])


def test_steinhardt_demonstration_tells_crystal_from_liquid():
    process = kelo("--steinhardt", "--wl")
    assert process.returncode == 0, process.stderr
    table = map(str.split, process.stdout.splitlines())
    rows = {row[0]: np.array(row[1:], dtype=float) for row in table
            if len(row) == 7 and row[0][0] in "qw"}
    assert set(rows) == {"q4", "q6", "w4", "w6"}
    # Columns: 10%, 50%, 90% of the crystal, then of the liquid.
    assert rows["q6"][0] > rows["q6"][5]


def test_steinhardt_of_a_file_in_a_periodic_box(tmp_path, rng):
    box, cutoff = np.array([3.0, 4.0, 5.0]), 1.2
    positions = rng.uniform(0, box, (30, 3))
    np.save(tmp_path / "points.npy", positions)
    process = kelo("--steinhardt", "--input", "points.npy", "--cutoff", str(cutoff), "--box",
                   *map(str, box), "--ls", "2", "6", "--wl", "--output", "out.npy",
                   cwd=tmp_path)
    assert process.returncode == 0, process.stderr
    # Every pair by its nearest image.
    gaps = positions[None] - positions[:, None]
    gaps -= box * np.round(gaps / box)
    centres, others = np.nonzero(np.hypot.reduce(gaps, axis=-1) < cutoff)
    bonds = others != centres
    expected = steinhardt(gaps[centres[bonds], others[bonds]], centres[bonds], [2, 6],
                          n_groups=len(positions), wl=True)
    np.testing.assert_allclose(np.load(tmp_path / "out.npy"), np.hstack(expected), rtol=1e-12)


def test_steinhardt_without_scipy_is_one_line():
    process = run_python("import sys; sys.modules['scipy'] = None; import kelo.__main__ as job; "
                         "sys.exit(job.main(['--steinhardt']))")
    assert process.returncode == 2
    assert process.stderr == "kelo: error: --steinhardt needs SciPy: pip install 'kelo[steinhardt]'\n"


def test_output_is_written_as_np_save_writes_it(tmp_path):
    # Through a symlink into its target, with the permissions that the umask leaves.
    (tmp_path / "link.npy").symlink_to("target.npy")
    process = subprocess.run(["sh", "-c", f"umask 027 && exec {sys.executable} -m kelo "
                              "--lmax 1 --points 8 --output link.npy"],
                             capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert process.returncode == 0, process.stderr
    assert (tmp_path / "link.npy").is_symlink()
    assert stat.S_IMODE((tmp_path / "target.npy").stat().st_mode) == 0o640


def test_sigterm_during_the_save_leaves_no_file(tmp_path):
    # np.save signals its own process before it writes.
    script = ("import os, signal, sys, numpy as np, kelo.__main__ as job; save = np.save; "
              "np.save = lambda *a: (os.kill(os.getpid(), signal.SIGTERM), save(*a)); "
              "sys.exit(job.main(['--lmax', '1', '--points', '8', '--output', 'out.npy']))")
    process = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=120, cwd=tmp_path)
    assert process.returncode == 128 + signal.SIGTERM, process.stderr
    assert list(tmp_path.iterdir()) == []
