# The two commands of the README:
#   make demo   set up, build, and run the main job on built-in data
#   make test   set up, build, check the C++ style, and run every test (C++ and Python)
# Set-up is idempotent: a second run with nothing changed only checks stamps.

SHELL := /bin/bash
VENV := .venv
BUILD := build
PY := $(VENV)/bin/python
JOBS ?= 2

.PHONY: all demo test setup system system-test build lint cpp-test py-test wheel-test clean

all: build

# Debian packages (installing needs root): `system` what building and the
# demo need, `system-test` also Chromium and a locale that only the tests use.
system:
	@scripts/setup-system

system-test:
	@scripts/setup-system --test

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

# The C++ style of .clang-format over every C++ file, and no include that
# reaches another folder by a relative path (the folders' libraries refuse
# every other include that climbs or crosses; see CMakeLists.txt). Then ruff
# over every Python file and mypy's strict mode over the package (both
# configured in pyproject.toml).
CPP_FILES = $(shell find glbcore bindings tests/cpp tests/fuzz bench -name '*.h' -o -name '*.cpp')

lint: system-test $(VENV)/.stamp
	@clang-format --dry-run --Werror $(CPP_FILES)
	@! grep -n '#include "\.\./' $(CPP_FILES) || { echo "lint: an include by a relative path"; exit 1; }
	@echo "lint: $(words $(CPP_FILES)) C++ files formatted, no include by a relative path"
	@$(PY) -m ruff check --quiet . && echo "lint: ruff check passed"
	@$(PY) -m mypy

cpp-test: build system-test
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

py-test: build system-test
	PYTHONPATH=$(abspath $(BUILD)) $(PY) -m pytest -q

# Builds a wheel from this tree as `pip install .` would, installs it into a
# throwaway venv of the same 3.13 interpreter, and calls both modules.
wheel-test: setup
	@tmp="$$(mktemp -d)"; trap 'rm -rf "$$tmp"' EXIT; \
	  $(PY) -m pip wheel --quiet --no-deps -w "$$tmp/dist" . && \
	  "$$(scripts/find-python313)" -m venv "$$tmp/venv" && \
	  "$$tmp/venv/bin/python" -m pip install --quiet "$$tmp"/dist/*.whl && \
	  cd "$$tmp" && "$$tmp/venv/bin/python" -c 'import _plexorin as p; \
	    assert len(p.atom_glb(bytes(12), bytes(2), (0, 0, 0), (1, 1, 1))) == 648; \
	    print("wheel-test: installed", p.__file__)' && \
	  "$$tmp/venv/bin/python" -c 'import plexorin, numpy; \
	    assert plexorin.atoms(numpy.zeros((2, 3)), [0, 1])[:4] == b"glTF"; \
	    print("wheel-test: installed plexorin", plexorin.__version__, "at", plexorin.__file__)' && \
	  printf '%s\n' 'import _plexorin' \
	    'ok: bytes = _plexorin.atom_glb(bytes(12), bytes(2), (0, 0, 0), (1, 1, 1))' \
	    '_plexorin.atom_glb([0.0], bytes(2), (0, 0, 0), (1, 1, 1))' > calls.py && \
	  { $(abspath $(PY)) -m mypy --no-incremental --python-executable "$$tmp/venv/bin/python" \
	    calls.py || true; } > mypy.txt && \
	  grep -q '^calls.py:3: error: .*\[arg-type\]$$' mypy.txt && \
	  [ "$$(grep -c ': error:' mypy.txt)" = 1 ] || { cat mypy.txt 2>/dev/null; exit 1; }; \
	  echo "wheel-test: mypy takes the installed stubs"

test: lint cpp-test py-test wheel-test

demo: build
	PYTHONPATH=$(abspath $(BUILD)) $(PY) examples/demo.py

clean:
	rm -rf $(BUILD)

# ---- Benchmark (not part of `make test`) ----
# Times the three functions against NumPy, trimesh, pygltflib and one memcpy
# of the output, writes bench/results/ (table, JSON, plot) and prints ratios.
.PHONY: bench

$(VENV)/.bench-stamp: bench/requirements.txt $(VENV)/.stamp
	$(PY) -m pip install --quiet -r bench/requirements.txt
	@touch $@

# The fixed atom builder and the folders below it, linked from the top down.
ATOM_SCALING_LIBRARIES := $(addprefix $(BUILD)/libglbcore_,fixed.a order.a glb.a morton.a base.a)

$(BUILD)/atom_scaling: bench/atom_scaling.cpp build
	$(CXX) -O2 -std=c++17 -Wall -Wextra -Werror -Iglbcore $< $(ATOM_SCALING_LIBRARIES) -pthread -o $@

# "Before" is the module built from BENCH_BEFORE (the tree before the bucket
# route of the atom pipeline), timed in the same run as the current one.
BENCH_BEFORE ?= 4be7473
BEFORE_BUILD := build-before

$(BEFORE_BUILD)/$(BENCH_BEFORE)/.stamp: | $(VENV)/.stamp
	rm -rf $(BEFORE_BUILD)/$(BENCH_BEFORE) && mkdir -p $(BEFORE_BUILD)/$(BENCH_BEFORE)/src
	git archive $(BENCH_BEFORE) | tar -x -C $(BEFORE_BUILD)/$(BENCH_BEFORE)/src
	@# Renamed _plexorin_before, so that one process can import both builds.
	cd $(BEFORE_BUILD)/$(BENCH_BEFORE)/src && \
	  sed -i 's/PYBIND11_MODULE(_plexorin,/PYBIND11_MODULE(_plexorin_before,/' bindings/module.cpp && \
	  sed -i 's/\b_plexorin\b/_plexorin_before/g' CMakeLists.txt
	cmake -S $(BEFORE_BUILD)/$(BENCH_BEFORE)/src -B $(BEFORE_BUILD)/$(BENCH_BEFORE)/build \
	  -DCMAKE_BUILD_TYPE=Release -DPLEXORIN_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"
	cmake --build $(BEFORE_BUILD)/$(BENCH_BEFORE)/build -j $(JOBS) --target _plexorin_before
	@touch $@

# The tiler's "before": the package and module of TILES_BENCH_BEFORE (the
# tree before the one-pass bucket), a whole build of its own.
TILES_BENCH_BEFORE ?= 1778163
TILES_BEFORE := $(BEFORE_BUILD)/tiles-$(TILES_BENCH_BEFORE)

$(TILES_BEFORE)/.stamp: | $(VENV)/.stamp
	rm -rf $(TILES_BEFORE) && mkdir -p $(TILES_BEFORE)/src
	git archive $(TILES_BENCH_BEFORE) | tar -x -C $(TILES_BEFORE)/src
	cmake -S $(TILES_BEFORE)/src -B $(TILES_BEFORE)/build -DCMAKE_BUILD_TYPE=Release \
	  -DPLEXORIN_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"
	cmake --build $(TILES_BEFORE)/build -j $(JOBS) --target _native _plexorin
	@touch $@

bench: build $(VENV)/.bench-stamp $(BUILD)/atom_scaling $(BEFORE_BUILD)/$(BENCH_BEFORE)/.stamp \
	  $(TILES_BEFORE)/.stamp
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/run.py \
	  --scaling-exe $(BUILD)/atom_scaling \
	  --before-module "$$(ls $(BEFORE_BUILD)/$(BENCH_BEFORE)/build/_plexorin_before*.so)" \
	  --before-label "commit $(BENCH_BEFORE)"
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/package.py
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/compressed.py
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/tiles.py \
	  --before-build $(abspath $(TILES_BEFORE)/build) --before-label "commit $(TILES_BENCH_BEFORE)"
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/spheres.py
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/animation.py
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/bonds.py
	OPENBLAS_NUM_THREADS=1 PYTHONPATH=$(abspath $(BUILD)) $(PY) bench/attributes.py

# ---- Reliability: sanitizers, fuzzing, fault injection, leaks and load ----
# `make reliability` runs all of it; `make reliability-ci` is the bounded part
# that .ci/run adds to `make test` (about eight minutes on two cores). Every
# sanitizer builds in its own directory.
ASAN_BUILD := build-asan
TSAN_BUILD := build-tsan
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 120
SANITIZER_CMAKE = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLEXORIN_WERROR=ON -DPLEXORIN_BUILD_TESTS=ON

.PHONY: reliability reliability-ci reliability-setup asan-test asan-py-test tsan-test fuzz \
	reliability-py-test

reliability-setup: setup
	@scripts/reliability-setup

# C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer.
asan-test: setup system-test
	cmake -S . -B $(ASAN_BUILD) $(SANITIZER_CMAKE) -DPLEXORIN_SANITIZE=address,undefined \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The Python suite against the instrumented module of the same build, but
# for the tests whose work is done by other programs (the browser's pages,
# the viewer's server, mypy), which `make test` runs.
asan-py-test: asan-test
	scripts/reliability-asan-pytest $(ASAN_BUILD) -k "not viewer and not mypy and not test_serve"

# C++ tests under ThreadSanitizer: the atom pipeline with several workers
# and the tiler's bucket pass on threads with a scratch each,
# healthy and with failing thread starts.
tsan-test: setup system-test
	cmake -S . -B $(TSAN_BUILD) $(SANITIZER_CMAKE) -DPLEXORIN_SANITIZE=thread \
	  -DPLEXORIN_BUILD_MODULE=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# libFuzzer targets of the three builders and the compressed points, FUZZ_SECONDS each.
fuzz: reliability-setup
	scripts/reliability-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Property, fault-injection and load tests, with more examples than `make test`.
reliability-py-test: build system-test
	PLEXORIN_PROPERTY_EXAMPLES=1000 PYTHONPATH=$(abspath $(BUILD)) $(PY) -m pytest -q \
	  tests/python/test_property_*.py tests/python/test_reliability_*.py

reliability: asan-py-test tsan-test fuzz reliability-py-test

# 20 s per fuzz target. Its three parts share nothing: `make -j2
# reliability-ci` runs them side by side (the Python suite under the
# sanitizer keeps one core busy, the other builds and fuzzes).
reliability-ci: FUZZ_SECONDS = 20
reliability-ci: asan-py-test tsan-test fuzz
