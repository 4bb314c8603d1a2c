# The two commands of the README:
#   make demo   set up, build, and run the main job on built-in data
#   make test   set up, build, and run every test (C++ and Python)
# Set-up is idempotent: a second run with nothing changed only checks stamps.

SHELL := /bin/bash
VENV := .venv
BUILD := build
PY := $(VENV)/bin/python
JOBS ?= 2

.PHONY: all demo test setup system build cpp-test py-test wheel-test clean

all: build

system:
	@scripts/setup-system

$(VENV)/.stamp: requirements-dev.txt scripts/find-python313
	@python313="$$(scripts/find-python313)" || exit 1; \
	  if [ ! -x $(PY) ] || ! $(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then \
	    rm -rf $(VENV) && "$$python313" -m venv $(VENV); fi
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	@touch $@

node_modules/.stamp: package.json package-lock.json
	npm ci --no-audit --no-fund --loglevel=error
	@touch $@

setup: system $(VENV)/.stamp node_modules/.stamp

$(BUILD)/CMakeCache.txt: | $(VENV)/.stamp
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPLEXORIN_WERROR=ON \
	  -DPLEXORIN_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

cpp-test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

py-test: build
	PYTHONPATH=$(abspath $(BUILD)) $(PY) -m pytest -q

# Builds a wheel from this tree as `pip install .` would, installs it into a
# throwaway venv of the same 3.13 interpreter and makes one call.
wheel-test: setup
	@tmp="$$(mktemp -d)"; trap 'rm -rf "$$tmp"' EXIT; \
	  $(PY) -m pip wheel --quiet --no-deps -w "$$tmp/dist" . && \
	  "$$(scripts/find-python313)" -m venv "$$tmp/venv" && \
	  "$$tmp/venv/bin/python" -m pip install --quiet --no-index "$$tmp"/dist/*.whl && \
	  cd "$$tmp" && "$$tmp/venv/bin/python" -c 'import _plexorin as p; \
	    assert len(p.atom_glb(bytes(12), bytes(2), (0, 0, 0), (1, 1, 1))) == 648; \
	    print("wheel-test: installed", p.__file__)' && \
	  printf '%s\n' 'import _plexorin' \
	    'ok: bytes = _plexorin.atom_glb(bytes(12), bytes(2), (0, 0, 0), (1, 1, 1))' \
	    '_plexorin.atom_glb([0.0], bytes(2), (0, 0, 0), (1, 1, 1))' > calls.py && \
	  { $(abspath $(PY)) -m mypy --no-incremental --python-executable "$$tmp/venv/bin/python" \
	    calls.py || true; } > mypy.txt && \
	  grep -q '^calls.py:3: error: .*\[arg-type\]$$' mypy.txt && \
	  [ "$$(grep -c ': error:' mypy.txt)" = 1 ] || { cat mypy.txt 2>/dev/null; exit 1; }; \
	  echo "wheel-test: mypy takes the installed stubs"

test: cpp-test py-test wheel-test

demo: build
	PYTHONPATH=$(abspath $(BUILD)) $(PY) examples/demo.py

clean:
	rm -rf $(BUILD)
