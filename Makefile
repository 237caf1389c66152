# Everyday commands. `make test` and `make demo` work on a fresh clone.

# python3.12 from PATH when it runs, else the newest pyenv build of 3.12.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON312 ?= $(shell python3.12 -c '' 2>/dev/null && echo python3.12 || \
               ls -d $(PYENV_ROOT)/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1)
VENV := .venv
PY := $(VENV)/bin/python
# The venv's meson, ninja and cython come first for every build step.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
CORE_BUILD := build/core

.PHONY: demo bench test test-core test-python test-valgrind test-positions test-float-scale \
        test-sanitize test-sanitize-core test-sanitize-python sanitized-module docs clean

# The virtual environment with the build and test tools.
$(VENV)/.tools: pyproject.toml
	@test -n "$(PYTHON312)" || { echo "python3.12 not found" >&2; exit 1; }
	test -x $(PY) || $(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet --group dev
	touch $@

# kelo installed into it in editable mode: importing it rebuilds the extension
# when a source changed.
$(VENV)/.ready: $(VENV)/.tools meson.build kelo/meson.build
	$(PY) -m pip install --quiet --no-build-isolation --editable . -Cbuild-dir=build/py
	touch $@

# Sphinx and the pages' needs, in the same environment as kelo.
$(VENV)/.docs: $(VENV)/.ready pyproject.toml
	$(PY) -m pip install --quiet --group docs
	touch $@

# The documentation site in build/docs, its gallery drawn by docs/gallery's scripts.
# Every warning fails the build, after all of them are shown.
docs: $(VENV)/.docs
	$(PY) -m sphinx --quiet -W --keep-going --fresh-env -b html docs build/docs

demo: $(VENV)/.ready
	$(PY) -m kelo

# A wheel in dist/: the extension modules, their type stubs, the C++ headers and kelo.pc.
.PHONY: wheel
wheel: $(VENV)/.tools
	$(PY) -m pip wheel --no-build-isolation --no-deps --wheel-dir dist . -Cbuild-dir=build/wheel

# The peers from kelo's `bench` extra, installed the way kelo itself is, then the benchmark.
bench: $(VENV)/.ready
	$(PY) -m pip install --quiet --no-build-isolation --editable '.[bench]' -Cbuild-dir=build/py
	$(PY) benchmarks/bench.py
	$(PY) benchmarks/vectors.py
	$(PY) benchmarks/sums.py
	$(PY) benchmarks/kernel.py

# GoogleTest comes from the system, else from apt-get or meson's wrap.
$(CORE_BUILD)/build.ninja: $(VENV)/.tools
	tests/core/install-gtest
	meson setup --reconfigure $(CORE_BUILD) -Dcore_tests=enabled

test-core: $(CORE_BUILD)/build.ninja
	meson test -C $(CORE_BUILD) --verbose --print-errorlogs --no-suite positions --no-suite float_scale

# Valgrind interposes operator new itself, so the allocation suite runs natively only.
test-valgrind: $(CORE_BUILD)/build.ninja
	meson test -C $(CORE_BUILD) --setup valgrind --no-suite allocation --no-suite positions \
	    --no-suite float_scale --print-errorlogs

# Output positions past 2^32: half a minute of one core, little memory.
test-positions: $(CORE_BUILD)/build.ninja
	meson test -C $(CORE_BUILD) --suite positions --verbose --print-errorlogs

# Float's scaling by 1/sqrt(2 pi) against the division in double, for all 2^32
# floats: several seconds of one core.
test-float-scale: $(CORE_BUILD)/build.ninja
	meson test -C $(CORE_BUILD) --suite float_scale --verbose --print-errorlogs

# The core tests and the extension module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, every report fatal, each in a build of its own.
SANITIZE_BUILD := build/sanitize
SANITIZE_OPTIONS := -Dbuildtype=debugoptimized -Db_sanitize=address,undefined \
                    -Dcpp_args=-fno-sanitize-recover=all
SANITIZE_VENV := .venv-sanitize
SANITIZE_PY := $(SANITIZE_VENV)/bin/python

$(SANITIZE_BUILD)/core/build.ninja: $(VENV)/.tools
	tests/core/install-gtest
	meson setup --reconfigure $(SANITIZE_BUILD)/core -Dcore_tests=enabled $(SANITIZE_OPTIONS)

# Leak checking stays on. The allocation suite's operator new replaces ASan's but
# allocates through malloc, which ASan still watches.
test-sanitize-core: $(SANITIZE_BUILD)/core/build.ninja
	meson compile -C $(SANITIZE_BUILD)/core core_tests baseline_tests scalar_tests allocation_tests
	meson test -C $(SANITIZE_BUILD)/core --no-rebuild --no-suite positions --no-suite float_scale \
	    --print-errorlogs

$(SANITIZE_VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON312)" || { echo "python3.12 not found" >&2; exit 1; }
	test -x $(SANITIZE_PY) || $(PYTHON312) -m venv $(SANITIZE_VENV)
	$(SANITIZE_PY) -m pip install --quiet --upgrade pip
	$(SANITIZE_PY) -m pip install --quiet --group dev
	touch $@

# A regular install in a venv of its own: the editable one in $(VENV) would
# import, and rebuild, the unsanitized build/py.
sanitized-module: $(SANITIZE_VENV)/.ready
	$(SANITIZE_PY) -m pip install --quiet --no-build-isolation --no-deps --force-reinstall . \
	    -Cbuild-dir=$(SANITIZE_BUILD)/py $(addprefix -Csetup-args=,$(SANITIZE_OPTIONS) -Db_lundef=false)

# CPython is not built with the sanitizers, so their runtimes must be loaded
# before it. LeakSanitizer is off for this run: CPython's arena allocator keeps
# memory alive that it would report as lost. A failed allocation returns null,
# so that NumPy raises MemoryError as it does without ASan; a failed operator new
# aborts under ASan instead of throwing, so the tests that need one are left out.
# So is the leak test, which measures resident memory: ASan holds freed blocks
# in quarantine to catch uses after free.
# PYTHONSAFEPATH keeps the source tree's kelo/ off sys.path, in child processes too.
SANITIZED_PYTHON = LD_PRELOAD="$(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1 PYTHONSAFEPATH=1 $(SANITIZE_PY)

test-sanitize-python: sanitized-module
	$(SANITIZED_PYTHON) -c 'import sys, kelo._kelo as m; f = m.__file__; \
	    assert f.startswith(sys.prefix) and b"libasan" in open(f, "rb").read(), f; \
	    print("sanitized module:", f)'
	$(SANITIZED_PYTHON) -m pytest -p no:cacheprovider -m "not allocation_failure" \
	    --ignore=tests/python/test_leaks.py

test-sanitize: test-sanitize-core test-sanitize-python

test-python: $(VENV)/.ready
	$(PY) -m pytest

test: test-core test-python docs

clean:
	rm -rf build docs/generated $(VENV) $(SANITIZE_VENV)
	rm -rf dist
