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

.PHONY: demo test test-core test-python test-valgrind test-positions clean

# The virtual environment with the build and test tools, and kelo installed in
# editable mode: importing it rebuilds the extension when a source changed.
$(VENV)/.ready: pyproject.toml meson.build kelo/meson.build
	@test -n "$(PYTHON312)" || { echo "python3.12 not found" >&2; exit 1; }
	test -x $(PY) || $(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet --group dev
	$(PY) -m pip install --quiet --no-build-isolation --editable . -Cbuild-dir=build/py
	touch $@

demo: $(VENV)/.ready
	$(PY) -m kelo

$(CORE_BUILD)/build.ninja: $(VENV)/.ready
	meson setup --reconfigure $(CORE_BUILD) -Dcore_tests=enabled

test-core: $(CORE_BUILD)/build.ninja
	meson test -C $(CORE_BUILD) --verbose --print-errorlogs --no-suite positions

# Valgrind interposes operator new itself, so the allocation suite runs natively only.
test-valgrind: $(CORE_BUILD)/build.ninja
	meson test -C $(CORE_BUILD) --setup valgrind --no-suite allocation --no-suite positions \
	    --print-errorlogs

# Output positions past 2^32, on request: over two minutes of one core, little memory.
test-positions: $(CORE_BUILD)/build.ninja
	meson test -C $(CORE_BUILD) --suite positions --verbose --print-errorlogs

test-python: $(VENV)/.ready
	$(PY) -m pytest

test: test-core test-python

clean:
	rm -rf build $(VENV)
