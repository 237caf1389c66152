"""kelo as others take it: a wheel installed into a fresh environment, and the C++
core compiled into a program through pkg-config or as a meson subproject."""

import json
import math
import os
import shutil
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TOOLS = Path(sys.executable).parent  # meson and ninja of the test environment

# Prints Y_1^0 at the polar angle given: lmax = 1 orders the series (0,0), (1,0), (1,1), (1,-1).
HARMONIC_CPP = """
#include <complex>
#include <cstdio>
#include <cstdlib>
#include "kelo/kelo.hpp"

int main(int, char** argv) {
    const double phi = std::atof(argv[1]), theta = 0.0;
    std::complex<double> series[4];
    kelo::evaluate_SPH(series, 1, &phi, &theta, 1, true);
    std::printf("%.17g\\n", series[1].real());
}
"""
PHI = 0.5


def assert_prints_y10(program):
    printed = float(subprocess.run([program, str(PHI)], capture_output=True, text=True,
                                   check=True).stdout)
    assert printed == pytest.approx(math.sqrt(3 / (4 * math.pi)) * math.cos(PHI), rel=1e-15)


def run(*command, cwd=None, **environment):
    """The output of a command that must succeed, with the test environment's tools."""
    env = dict(os.environ, PATH=f"{TOOLS}{os.pathsep}{os.environ['PATH']}", **environment)
    return subprocess.run(command, capture_output=True, text=True, check=True, env=env,
                          cwd=cwd).stdout


@pytest.fixture(scope="module")
def wheel_and_python(tmp_path_factory):
    """kelo's wheel, built from this tree, and a fresh venv's python with it installed."""
    folder = tmp_path_factory.mktemp("wheel")
    # The build folder persists, so that a second run only recompiles what changed.
    run(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
        "--wheel-dir", str(folder), f"-Cbuild-dir={ROOT / 'build' / 'wheel'}", str(ROOT))
    [wheel] = folder.glob("kelo-*.whl")
    venv.create(folder / "venv", with_pip=True)
    python = folder / "venv" / "bin" / "python"
    run(str(python), "-m", "pip", "install", "--quiet", str(wheel))  # numpy from pip's index
    return wheel, python


@pytest.mark.slow
def test_wheel_holds_modules_stubs_and_core(wheel_and_python):
    names = set(zipfile.ZipFile(wheel_and_python[0]).namelist())
    modules = [source.stem for source in (ROOT / "kelo").glob("*.pyx")]
    headers = [f"kelo/include/kelo/{header.name}" for header in (ROOT / "core/kelo").glob("*.hpp")]
    sources = [f"kelo/{source.name}" for source in (ROOT / "kelo").glob("*.py")]
    assert {f"kelo/{module}.pyi" for module in modules} | set(sources) <= names
    assert {module for module in modules
            if any(name.startswith(f"kelo/{module}.cpython-") for name in names)} == set(modules)
    assert set(headers + ["kelo/py.typed", "kelo/lib/pkgconfig/kelo.pc"]) <= names


@pytest.mark.slow
def test_installed_wheel_evaluates_and_reports_the_build_version(wheel_and_python):
    printed = run(str(wheel_and_python[1]), "-c",
                  "import kelo; print(kelo.__version__); "
                  f"print(kelo.sph_xyz([[0, 0, 1]], 0, normalization='4pi')[0, 0].real)",
                  cwd=wheel_and_python[0].parent)  # not this tree's kelo/
    project = json.loads(run("meson", "introspect", "--projectinfo", str(ROOT / "meson.build")))
    assert printed.split() == [project["version"], "1.0"]


@pytest.mark.slow
def test_cpp_program_builds_against_the_wheel_with_pkg_config(wheel_and_python, tmp_path):
    folders = run(str(wheel_and_python[1]), "-c",
                  "import kelo; print(kelo.get_include()); print(kelo.get_pkgconfig_dir())",
                  cwd=tmp_path).split()
    flags = run("pkg-config", "--cflags", "--libs", "kelo", PKG_CONFIG_PATH=folders[1]).split()
    # The flag that keeps results bit for bit comes with the headers' folder.
    assert "-ffp-contract=off" in flags
    assert Path(flags[0].removeprefix("-I")).resolve() == Path(folders[0])
    (tmp_path / "harmonic.cpp").write_text(HARMONIC_CPP)
    compiler = os.environ.get("CXX", "c++")
    run(compiler, "-std=c++17", "-O2", str(tmp_path / "harmonic.cpp"), *flags,
        "-o", str(tmp_path / "harmonic"))
    assert_prints_y10(tmp_path / "harmonic")


def test_meson_subproject_passes_its_flags_to_dependents(tmp_path):
    """A meson project that takes kelo as a subproject needs neither Python nor Cython."""
    subproject = tmp_path / "subprojects" / "kelo"
    shutil.copytree(ROOT / "core", subproject / "core")
    for name in ("meson.build", "meson.options"):
        shutil.copy(ROOT / name, subproject)
    (tmp_path / "harmonic.cpp").write_text(HARMONIC_CPP)
    (tmp_path / "meson.build").write_text(
        "project('user', 'cpp', default_options: ['cpp_std=c++17'])\n"
        "executable('harmonic', 'harmonic.cpp', dependencies: dependency('kelo'))\n")
    run("meson", "setup", str(tmp_path / "build"), cwd=tmp_path)
    run("meson", "compile", "-C", str(tmp_path / "build"))
    [command] = json.loads((tmp_path / "build" / "compile_commands.json").read_text())
    assert "-ffp-contract=off" in command["command"].split()
    assert_prints_y10(tmp_path / "build" / "harmonic")
