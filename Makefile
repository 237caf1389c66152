# Everyday commands. `make test` and `make demo` work on a fresh clone.

# python3.12 from PATH when it runs, else the newest pyenv build of 3.12.
PYTHON312 ?= $(shell python3.12 -c '' 2>/dev/null && echo python3.12 || \
               ls -d $(HOME)/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1)
VENV := .venv
PY := $(VENV)/bin/python
CORE_BUILD := build/core

.PHONY: test test-core test-valgrind demo clean

$(VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON312)" || { echo "python3.12 not found" >&2; exit 1; }
	test -x $(PY) || $(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet --group dev
	touch $@

$(CORE_BUILD)/build.ninja: $(VENV)/.ready
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/meson setup --reconfigure $(CORE_BUILD) -Dcore_tests=enabled

test-core: $(CORE_BUILD)/build.ninja
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/meson test -C $(CORE_BUILD) --verbose --print-errorlogs

test-valgrind: $(CORE_BUILD)/build.ninja
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/meson test -C $(CORE_BUILD) --setup valgrind --no-suite allocation --print-errorlogs

test: test-core

clean:
	rm -rf build
